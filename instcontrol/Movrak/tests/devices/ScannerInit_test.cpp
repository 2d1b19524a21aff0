// The initialisation steps (synchronous and in the status thread) and the status thread's
// state table, on the simulated instrument and board. The status thread's 3000 ms pauses
// are held by the test clock, so the test decides when each pass runs; every other wait
// passes at once.
#include "devices/ScannerInit.h"

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "ScannerBoardFixture.h"
#include "devices/DeviceErrors.h"
#include "link/MessageTable.h"

namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

constexpr auto kRealLimit = 30s;

// A manual clock on which every sleep passes at once, except the gated ones of threads
// other than the test's: those pause until the test lets them go on.
class GatedClock final : public platform::Clock {
 public:
  GatedClock() : manual_(std::make_shared<platform::ManualClock>()), owner_(std::this_thread::get_id()) {
    manual_->setAutoAdvance(true);
  }

  platform::SteadyTime steadyNow() override { return manual_->steadyNow(); }
  platform::SystemTime systemNow() override { return manual_->systemNow(); }
  void sleepFor(std::chrono::nanoseconds d) override {
    if (std::this_thread::get_id() != owner_ && gated(d)) pause(d);
    manual_->sleepFor(d);
  }
  bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 platform::SteadyTime deadline, const std::function<bool()>& pred) override {
    return manual_->waitUntil(cv, lock, deadline, pred);
  }

  void gate(std::chrono::milliseconds d) {
    std::lock_guard lock(m_);
    gated_.insert(d);
  }
  void ungate(std::chrono::milliseconds d) {
    std::lock_guard lock(m_);
    gated_.erase(d);
  }
  // Waits (in real time, bounded) until a thread pauses.
  bool waitForPause() {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, kRealLimit, [&] { return arrived_ > released_; });
  }
  // Lets the paused thread go on.
  void release() {
    std::lock_guard lock(m_);
    if (arrived_ > released_) ++released_;
    cv_.notify_all();
  }
  // Lets the paused thread go on and waits until it pauses again.
  bool step() {
    release();
    return waitForPause();
  }
  // From now on nothing pauses.
  void open() {
    std::lock_guard lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  std::chrono::nanoseconds lastPause() const {
    std::lock_guard lock(m_);
    return last_;
  }
  int pauses(std::chrono::milliseconds d) const {
    std::lock_guard lock(m_);
    const auto it = counts_.find(d);
    return it == counts_.end() ? 0 : it->second;
  }
  platform::ManualClock& manual() { return *manual_; }

 private:
  bool gated(std::chrono::nanoseconds d) {
    std::lock_guard lock(m_);
    return !open_ && gated_.count(std::chrono::duration_cast<std::chrono::milliseconds>(d)) &&
           std::chrono::duration_cast<std::chrono::milliseconds>(d) == d;
  }
  void pause(std::chrono::nanoseconds d) {
    std::unique_lock lock(m_);
    const long ticket = ++arrived_;
    last_ = d;
    ++counts_[std::chrono::duration_cast<std::chrono::milliseconds>(d)];
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_ || released_ >= ticket; });
  }

  std::shared_ptr<platform::ManualClock> manual_;
  const std::thread::id owner_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::set<std::chrono::milliseconds> gated_{kStatusCycle};
  std::map<std::chrono::milliseconds, int> counts_;
  long arrived_ = 0;
  long released_ = 0;
  bool open_ = false;
  std::chrono::nanoseconds last_{0};
};

struct GatedClockHolder {
  std::shared_ptr<GatedClock> clock = std::make_shared<GatedClock>();
};

template <typename Pred>
bool waitFor(Pred pred) {
  const auto end = std::chrono::steady_clock::now() + kRealLimit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

class ScannerInitTest : protected GatedClockHolder, public ScannerBoardTest {
 protected:
  ScannerInitTest() : ScannerBoardTest(clock) {
    redLaserAtTarget();
    forget();
  }
  ~ScannerInitTest() override {
    releaseReplies();
    scanner.StopStatusThread();
    clock->open();
    EXPECT_TRUE(waitFor([&] { return !scanner.IsStatusThreadRunning(); }));
  }

  CScanDataPort& port() { return scanner.GetDataPort(); }
  tagScannerState state() const { return const_cast<CScanner&>(scanner).GetScannerState(); }

  // Starts the thread and waits for the end of its first pass (Offline to Initializing).
  void start() {
    scanner.StartStatusThread();
    ASSERT_TRUE(clock->waitForPause());
  }
  // One more pass (more when a state change lets the next one follow at once).
  void pass() { ASSERT_TRUE(clock->step()); }
  // Passes until the state is `s` (at most `limit` pauses).
  void passUntil(tagScannerState s, int limit = 12) {
    for (int i = 0; i < limit && state() != s; ++i) pass();
    ASSERT_EQ(state(), s);
  }
  // A settled red laser: its power is the calibration target wherever the half-wave plate
  // stands, so the warm-up check finds it inside its range.
  void redLaserAtTarget() {
    bool derated = false;
    const double target = scanner.GetLaserCalibrationTargets(true, derated, true);
    const int pd = scanner.LaserPowerToPD(true, target);
    okSim_SetRedLaser(pd, pd, 0.01);
  }
  // Started, initialised and warming up: the thread pauses after the pass that follows
  // the one that entered Warming. The green laser is kept from getting ready.
  void toWarming() {
    okSim_ForceStatusBits(1, 0, PortCtrlStatus::kLaserReady_G);
    start();
    pass();
    ASSERT_EQ(state(), kStateWarming);
  }
  // Lets the green laser's READY bit show and passes until the warm-up check finds both
  // lasers ready. The checks come every fifth pass (15 s apart): the first sees the bit,
  // the one that finds it held for its stable time (30 s) passes.
  void warmUpUntilReady() {
    okSim_ForceStatusBits(1, 0, 0);
    passUntil(kStateReady, kPassesUntilReady);
  }
  void toReady() {
    toWarming();
    warmUpUntilReady();
    pass();  // the pass that enters Ready
  }
  static constexpr int kPassesUntilReady = 20;
  int warmupChecks() const { return logCount("Check Laser WarmingUp Status"); }
  bool doorLocked() const { return devices.autoloader->doorLocked(); }
  std::string statusText() { return scanner.GetStatusMsg(); }
};

// ---- initialisation on the caller's thread ---------------------------------------------------

TEST_F(ScannerInitTest, InitializeSyncRunsTheStepsWithoutLasersAndEndsReady) {
  scanner.SetInitRequested(true);
  scanner.InitializeSync();

  EXPECT_EQ(state(), kStateReady);
  EXPECT_EQ(scanner.GetStatusMsgId(), 3003u);
  EXPECT_FALSE(scanner.IsInitRequested());
  EXPECT_FALSE(scanner.IsStatusThreadEnabled());
  EXPECT_TRUE(doorLocked());
  const auto sent = lines();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.front(), "lockdoor");
  EXPECT_EQ(sent.back(), "bcrlasercontrol 0");
  EXPECT_THAT(linesOf("initmotor").front(), "initmotor 0x4000001 1");
  EXPECT_THAT(log(), HasSubstr("InitStep: Skip turn on lasers!"));
  EXPECT_THAT(log(), Not(HasSubstr("InitStep: Turn on Green laser")));
  EXPECT_NEAR(boardVoltage(kRedPMT), 6000, 10);
  EXPECT_NEAR(boardVoltage(kGreenPMT), 6000, 10);
  // The steps in their order, each announced before it acts.
  const std::string all = log();
  std::size_t at = 0;
  for (const char* step :
       {"Scanner Initialization started.", "InitStep: Block lasers", "InitStep: Get scanner Model",
        "InitStep: Initialize Fast-Stage", "InitStep: Skip turn on lasers!", "InitStep: Set Red PMT Voltage",
        "InitStep: Set Green PMT Voltage", "InitStep: Check Red PMT Voltage",
        "InitStep: Check Green PMT Voltage", "InitStep: Eject Carousel",
        "InitStep: Turn off Barcode Reader Laser", "Initialization completed."}) {
    const std::size_t found = all.find(step, at);
    ASSERT_NE(found, std::string::npos) << step;
    at = found;
  }
}

TEST_F(ScannerInitTest, AFailedInitializeSyncUnlocksTheDoorExceptAfterATimeOut) {
  // A failing fast-stage initialisation.
  sim.injectFault("initmotor", {zevasim::Fault::Kind::errorStatus, 0x1B, 1});
  EXPECT_EQ(thrown([&] { scanner.InitializeSync(); }), 4096 + 0x1B);
  EXPECT_EQ(state(), kStateError);
  EXPECT_EQ(scanner.GetStatusMsgId(), static_cast<unsigned>(4096 + 0x1B));
  EXPECT_EQ(lines().back(), "unlockdoor");
  EXPECT_FALSE(doorLocked());
  EXPECT_THAT(logLine("Initialization failed."), HasSubstr("ERROR: "));
  EXPECT_FALSE(scanner.IsStatusThreadEnabled());

  // A command that times out leaves the door locked.
  forget();
  holdReplies("initmotor");
  auto result = std::async(std::launch::async, [&] { return thrown([&] { scanner.InitializeSync(); }); });
  ASSERT_TRUE(waitFor([&] { return !linesOf("initmotor").empty(); }));
  LinkTest::driveUntilReady(clock->manual(), result);
  releaseReplies();
  EXPECT_EQ(result.get(), movrak::kErrTimedOut);
  EXPECT_EQ(state(), kStateError);
  EXPECT_TRUE(linesOf("unlockdoor").empty());
  EXPECT_TRUE(doorLocked());
}

TEST_F(ScannerInitTest, InitializeSyncLeavesARunningStatusThreadRunning) {
  start();
  ASSERT_TRUE(scanner.IsStatusThreadEnabled());
  scanner.InitializeSync();
  EXPECT_TRUE(scanner.IsStatusThreadEnabled());
  EXPECT_TRUE(scanner.IsStatusThreadRunning());
  pass();  // the thread still makes its passes

  // A stop while it runs is not undone by its end.
  forget();
  holdReplies("bcrlasercontrol");
  auto result = std::async(std::launch::async, [&] { return thrown([&] { scanner.InitializeSync(); }); });
  ASSERT_TRUE(waitFor([&] { return !linesOf("bcrlasercontrol").empty(); }));
  scanner.StopStatusThread();
  releaseReplies();
  EXPECT_EQ(result.get(), movrak::kErrInitAborted);
  EXPECT_FALSE(scanner.IsStatusThreadEnabled());
  clock->release();
  EXPECT_TRUE(waitFor([&] { return !scanner.IsStatusThreadRunning(); }));
}

// ---- the status thread's life --------------------------------------------------------------

TEST_F(ScannerInitTest, StartingTwiceStartsOneThreadAndOnlyRequestsAnotherInitialisation) {
  start();
  EXPECT_EQ(state(), kStateInitializing);
  EXPECT_TRUE(scanner.IsStatusThreadRunning());
  scanner.StartStatusThread();
  EXPECT_TRUE(scanner.IsInitRequested());
  EXPECT_EQ(logCount("Registering interest in event: 0x1"), 1);

  scanner.StopStatusThread();
  clock->release();
  ASSERT_TRUE(waitFor([&] { return !scanner.IsStatusThreadRunning(); }));
  EXPECT_EQ(logCount("Unregistering interest in event: 0x1"), 1);
  // Stopped, it starts anew.
  start();
  EXPECT_EQ(logCount("Registering interest in event: 0x1"), 2);
}

TEST_F(ScannerInitTest, TheFirstPassesInitialiseWithLasersAndSelfTestThenWarmUp) {
  start();
  EXPECT_EQ(state(), kStateInitializing);
  EXPECT_EQ(scanner.GetStatusMsgId(), 3001u);
  pass();
  EXPECT_EQ(state(), kStateWarming);
  EXPECT_EQ(scanner.GetStatusMsgId(), 3005u);
  EXPECT_EQ(scanner.GetErrorId(), 0);
  EXPECT_FALSE(scanner.IsInitRequested());
  EXPECT_TRUE(doorLocked());
  EXPECT_THAT(log(),
              HasSubstr("---------------------- Scanner Initialization started ----------------------"));
  EXPECT_THAT(log(),
              HasSubstr("---------------------- Scanner Initialization completed ----------------------"));
  // Both lasers lase at once: the wait ends after its first poll.
  EXPECT_EQ(logCount("Detected Red laser is lasing [current power = "), 1);
  EXPECT_EQ(logCount("Detected Green laser is lasing [current power = "), 1);
  EXPECT_THAT(log(), Not(HasSubstr("when waiting for laser being lasing")));
  EXPECT_THAT(log(), HasSubstr("-------------------SelfTest Complete------------------------"));
  EXPECT_EQ(logCount("BEGIN FUNCTION SELFTEST"), 1);
  EXPECT_EQ(logCount("END FUNCTION SELFTEST"), 1);
  EXPECT_THAT(log(), Not(HasSubstr("<SelfTest::ScanDataPort> Current")));  // the self test skips the lasers
  EXPECT_EQ(linesOf("bcrlasercontrol").size(), 1u);
}

TEST_F(ScannerInitTest, TheLasingWaitGivesUpAfterThreeHundredPollsWithoutFailing) {
  okSim_ForcePd(1, 0);
  okSim_ForcePd(0, 0);
  const auto before = clock->steadyNow();
  start();
  pass();
  EXPECT_EQ(state(), kStateWarming);
  EXPECT_EQ(logCount("<DoInitSteps> Timed out when waiting for laser being lasing"), 1);
  EXPECT_EQ(logCount("laser is lasing"), 0);
  EXPECT_GE(clock->steadyNow() - before, 300s);
}

TEST_F(ScannerInitTest, ALaserSwitchedOffDuringTheLasingWaitEndsTheWaitNotTheInitialisation) {
  okSim_ForcePd(1, 0);
  port().SendLaserPowerOnOffCmd(true, false);  // no settling pause when the set point is made
  clock->gate(kLasingPoll);
  start();
  clock->release();
  ASSERT_TRUE(clock->waitForPause());
  ASSERT_EQ(clock->lastPause(), kLasingPoll);
  port().SendLaserPowerOnOffCmd(false, true);
  clock->ungate(kLasingPoll);
  pass();
  EXPECT_EQ(state(), kStateLasersOff);
  EXPECT_EQ(
      logCount("<DoInitSteps> Detected one fo the laser is turned OFF during waiting for laser being lasing"),
      1);
  EXPECT_EQ(logCount("<DoInitSteps> Failed to record (at least one) laser start lasing time"), 1);
  EXPECT_THAT(log(),
              HasSubstr("---------------------- Scanner Initialization completed ----------------------"));
  EXPECT_EQ(scanner.GetErrorId(), movrak::kErrRedLaserOff);
}

TEST_F(ScannerInitTest, AStopDuringTheLasingWaitEndsItAtOnceWithTheDoorUnlocked) {
  okSim_ForcePd(1, 0);
  okSim_ForcePd(0, 0);
  port().SendLaserPowerOnOffCmd(true, false);
  clock->gate(kLasingPoll);
  start();
  clock->release();
  ASSERT_TRUE(clock->waitForPause());
  ASSERT_EQ(clock->lastPause(), kLasingPoll);

  scanner.StopStatusThread();
  clock->release();
  ASSERT_TRUE(waitFor([&] { return !scanner.IsStatusThreadRunning(); }));
  EXPECT_EQ(clock->pauses(kLasingPoll), 1);
  EXPECT_EQ(state(), kStateError);
  EXPECT_EQ(scanner.GetErrorId(), movrak::kErrInitAborted);
  EXPECT_EQ(scanner.GetStatusMsgId(), static_cast<unsigned>(movrak::kErrInitAborted));
  EXPECT_THAT(logLine("Scanner initialization aborted."), HasSubstr("ERROR: "));
  EXPECT_THAT(logLine("Scanner Initialization failed."), HasSubstr("ERROR: "));
  EXPECT_THAT(log(), Not(HasSubstr("when waiting for laser being lasing")));
  EXPECT_THAT(log(), Not(HasSubstr("InitStep: Set Red PMT Voltage")));
  EXPECT_EQ(linesOf("unlockdoor").size(), 1u);
  EXPECT_FALSE(doorLocked());
  // The thread left after a pass that changed the state: it gave the command mutex back.
  ASSERT_TRUE(scanner.GetComm().LockComm());
  scanner.GetComm().UnlockComm();
  EXPECT_THAT(log(), Not(HasSubstr("WAIT_ABANDONED")));
}

TEST_F(ScannerInitTest, AnInitialisationAbortedAtAStepCheckUnlocksTheDoor) {
  // The stop arrives while the fast stage initialises; the check after it ends the steps.
  holdReplies("initmotor");
  scanner.StartStatusThread();
  ASSERT_TRUE(clock->waitForPause());
  clock->release();
  ASSERT_TRUE(waitFor([&] { return !linesOf("initmotor").empty(); }));
  scanner.StopStatusThread();
  releaseReplies();
  ASSERT_TRUE(waitFor([&] { return !scanner.IsStatusThreadRunning(); }));
  EXPECT_EQ(scanner.GetErrorId(), movrak::kErrInitAborted);
  EXPECT_EQ(linesOf("unlockdoor").size(), 1u);
  EXPECT_FALSE(doorLocked());
  EXPECT_THAT(log(), Not(HasSubstr("InitStep: Turn on Green laser")));
  EXPECT_TRUE(linesOf("bcrlasercontrol").empty());
}

TEST_F(ScannerInitTest, AnInitialisationThatTimesOutLeavesTheDoorLocked) {
  holdReplies("initmotor");
  start();
  clock->release();
  ASSERT_TRUE(waitFor([&] { return !linesOf("initmotor").empty(); }));
  // The stage's 30 s pass without an answer.
  ASSERT_TRUE(waitFor([&] {
    clock->manual().advance(1s);
    return state() == kStateError;
  }));
  releaseReplies();
  ASSERT_TRUE(clock->waitForPause());
  EXPECT_EQ(scanner.GetErrorId(), movrak::kErrTimedOut);
  EXPECT_EQ(statusText(), "Fatal System Error.\r\nCommand timed out.");
  EXPECT_TRUE(linesOf("unlockdoor").empty());
  EXPECT_TRUE(doorLocked());
}

// ---- the state table -------------------------------------------------------------------------

TEST_F(ScannerInitTest, TheWarmUpCheckIsFirstMadeOnTheFifthPassAfterEnteringWarming) {
  // Warming was entered by pass 2 and pass 3 followed at once; the thread pauses after 4.
  toWarming();
  std::vector<int> checks{warmupChecks()};
  for (int passNo = 5; passNo <= 13; ++passNo) {
    pass();
    checks.push_back(warmupChecks());
  }
  // After passes 4 to 13: the first check on pass 7, the next on pass 12.
  EXPECT_THAT(checks, ElementsAre(0, 0, 0, 1, 1, 1, 1, 1, 2, 2));
  EXPECT_EQ(state(), kStateWarming);
  EXPECT_EQ(devices.controller->leds(), (std::array<unsigned, 4>{0, 0, 0, 0}));
}

TEST_F(ScannerInitTest, WarmingBecomesReadyWhenTheCheckPassesAndTheLEDsSayReady) {
  toWarming();
  warmUpUntilReady();
  // The first check sees the green READY bit, the second finds it not yet held for its
  // stable time, the third finds both ready; until then Warming stays, red ready or not.
  EXPECT_EQ(warmupChecks(), 3);
  EXPECT_EQ(logCount("Green laser got its first READY flag set - start stability waiting"), 1);
  EXPECT_EQ(logCount("Red laser is ready, Green laser is still warming."), 2);
  EXPECT_THAT(log(), HasSubstr("Detected Green laser is ready. Stablilty measuring"));
  EXPECT_EQ(scanner.GetStatusMsgId(), 3003u);
  EXPECT_EQ(devices.controller->leds(), (std::array<unsigned, 4>{1, 0, 3, 1}));
  EXPECT_THAT(log(), HasSubstr("<StatusProc::StateWarming> Lasers are ready."));
  pass();
  EXPECT_EQ(state(), kStateReady);
  EXPECT_EQ(statusText(), "Scanner ready.");
}

TEST_F(ScannerInitTest, ALaserPowerSwitchedOffInWarmingOrReadyGivesLasersOff) {
  const struct {
    const char* what;
    bool red;
    bool green;
    int error;
    const char* line;
  } cases[] = {
      {"green off", true, false, movrak::kErrGreenPowerOff, "Detected green laser power switched OFF."},
      {"red off", false, true, movrak::kErrRedLaserOff, "Detected red laser power switched OFF."},
      {"both off", false, false, movrak::kErrRedLaserOff, "Detected both laser powers switched OFF."},
  };
  toWarming();
  for (const tagScannerState from : {kStateWarming, kStateReady}) {
    const std::string where = from == kStateWarming ? "StateWarming" : "StateReady";
    for (const auto& c : cases) {
      SCOPED_TRACE(where + ": " + c.what);
      if (from == kStateReady) {
        warmUpUntilReady();
        pass();
      }
      ASSERT_EQ(state(), from);
      if (!c.red) port().SendLaserPowerOnOffCmd(false, true);
      if (!c.green) port().SendLaserPowerOnOffCmd(false, false);
      pass();
      EXPECT_EQ(state(), kStateLasersOff);
      EXPECT_EQ(scanner.GetErrorId(), c.error);
      EXPECT_EQ(scanner.GetStatusMsgId(), 3006u);
      EXPECT_EQ(logCount("<StatusProc::" + where + "> " + c.line), 1);
      // Both on again, the green laser not ready yet: back to Warming.
      okSim_ForceStatusBits(1, 0, PortCtrlStatus::kLaserReady_G);
      port().SendLaserPowerOnOffCmd(true, true);
      port().SendLaserPowerOnOffCmd(true, false);
      passUntil(kStateWarming);
      EXPECT_EQ(devices.controller->leds(), (std::array<unsigned, 4>{1, 1, 3, 1}));
      EXPECT_EQ(scanner.GetStatusMsgId(), 3005u);
    }
  }
}

TEST_F(ScannerInitTest, LasersOffWaitsForBothPowersAndMayGoStraightToReady) {
  toReady();
  port().SendLaserPowerOnOffCmd(false, true);
  port().SendLaserPowerOnOffCmd(false, false);
  pass();
  ASSERT_EQ(state(), kStateLasersOff);
  pass();
  EXPECT_EQ(state(), kStateLasersOff);  // neither on: nothing
  port().SendLaserPowerOnOffCmd(true, true);
  pass();
  EXPECT_EQ(state(), kStateLasersOff);
  EXPECT_THAT(log(), HasSubstr("<StatusProc::StateLasersOff> Detected only Red laser power switched ON."));
  const int checks = warmupChecks();
  const auto leds = devices.controller->leds();
  port().SendLaserPowerOnOffCmd(true, false);
  // The green laser shows READY again 3 s after its supply: by the next pass, whose
  // check finds both ready (the READY bit was never seen to drop).
  pass();
  EXPECT_EQ(state(), kStateReady);
  EXPECT_EQ(warmupChecks(), checks + 1);
  EXPECT_THAT(log(), HasSubstr("<StatusProc::StateLasersOff> Detected both laser powers switched ON."));
  EXPECT_EQ(devices.controller->leds(), leds);  // not set on this path
}

TEST_F(ScannerInitTest, DuringACarouselRunReadyDoesNotCheckTheLasers) {
  toReady();
  ASSERT_EQ(scanner.OnStartExitCarouselRun(true), 1);
  port().SendLaserPowerOnOffCmd(false, false);
  pass();
  pass();
  EXPECT_EQ(state(), kStateReady);
  EXPECT_EQ(scanner.GetErrorId(), 0);
  ASSERT_EQ(scanner.OnStartExitCarouselRun(false), 1);
  pass();
  EXPECT_EQ(state(), kStateLasersOff);
  EXPECT_EQ(scanner.GetErrorId(), movrak::kErrGreenPowerOff);
}

TEST_F(ScannerInitTest, AnInitialisationRequestInReadyOrErrorInitialisesAgain) {
  toReady();
  scanner.StartStatusThread();  // running: only the request
  passUntil(kStateWarming);
  EXPECT_EQ(logCount("---------------------- Scanner Initialization started ----------------------"), 2);
  passUntil(kStateReady, kPassesUntilReady);

  // A failed initialisation stays in Error until it is asked for again.
  sim.injectFault("initmotor", {zevasim::Fault::Kind::errorStatus, 0x1B, 1});
  scanner.SetInitRequested(true);
  passUntil(kStateError);
  EXPECT_EQ(scanner.GetErrorId(), 4096 + 0x1B);
  EXPECT_FALSE(doorLocked());
  EXPECT_THAT(logLine("Scanner Initialization failed."), HasSubstr("ERROR: "));
  pass();
  pass();
  EXPECT_EQ(state(), kStateError);
  EXPECT_EQ(scanner.GetStatusMsgId(), 3000u);
  scanner.SetInitRequested(true);
  passUntil(kStateWarming);
  EXPECT_EQ(scanner.GetErrorId(), 0);
  EXPECT_TRUE(doorLocked());
  EXPECT_EQ(logCount("---------------------- Scanner Initialization started ----------------------"), 4);
}

TEST_F(ScannerInitTest, ARebootInAnyStateLeadsToInitialisation) {
  scanner.SetAutoInit(true);
  toReady();
  ASSERT_TRUE(manager.waitForEventClients(1));
  ASSERT_TRUE(manager.sendRebootEvent(simEntry()));
  forget();
  pass();
  EXPECT_THAT(logLine("<StatusProc> Detected instrument reboot.  Need to re-initialize"),
              HasSubstr("DEBUG(3)"));
  EXPECT_EQ(linesOf("peek").size(), 1u);
  // With auto-initialise the steps run again at once, without a request.
  passUntil(kStateWarming);
  EXPECT_EQ(logCount("---------------------- Scanner Initialization started ----------------------"), 2);
}

TEST_F(ScannerInitTest, ARebootWithoutAutoInitialiseWaitsInInitializing) {
  toWarming();
  ASSERT_TRUE(manager.waitForEventClients(1));
  ASSERT_TRUE(manager.sendRebootEvent(simEntry()));
  pass();
  EXPECT_EQ(state(), kStateInitializing);
  pass();
  pass();
  // Handled like Warming: the laser powers are still watched.
  EXPECT_EQ(state(), kStateInitializing);
  port().SendLaserPowerOnOffCmd(false, false);
  pass();
  EXPECT_EQ(state(), kStateLasersOff);
  EXPECT_EQ(logCount("---------------------- Scanner Initialization started ----------------------"), 1);
}

TEST_F(ScannerInitTest, BrowsingReturnsToTheStateBeforeItWhenTheBrowseIsDone) {
  toReady();
  manager.setStatus(kInstrumentId, {true, 1, 0});  // the instrument is still busy browsing
  scanner.SetScannerState(kStateBrowsing);
  pass();
  pass();
  EXPECT_EQ(state(), kStateBrowsing);
  EXPECT_THAT(log(),
              HasSubstr("<StatusProc::StateBrowsing> Enter kStateBrowsing, save the previous state [3]"));
  manager.setStatus(kInstrumentId, {true, 0, 0});
  pass();
  EXPECT_EQ(state(), kStateReady);
  EXPECT_THAT(log(),
              HasSubstr("<StatusProc::StateBrowsing> Exit kStateBrowsing, back to previous state [3]"));
}

// The pass that finds the lasers ready pauses before it reads the state back; a browse
// that starts in that pause (an operator pressing Scan at the first "Scanner ready.")
// must still come back to Ready, and a run after it must not see warm-up checks.
TEST_F(ScannerInitTest, ABrowseStartedAtTheFirstReadyReturnsToReadyNotToWarming) {
  toWarming();
  warmUpUntilReady();  // paused in the pass that set Ready, before reading it back
  ASSERT_EQ(statusText(), "Scanner ready.");
  manager.setStatus(kInstrumentId, {true, 1, 0});
  scanner.SetScannerState(kStateBrowsing);
  pass();
  EXPECT_EQ(logCount("<StatusProc::StateBrowsing> Enter kStateBrowsing, save the previous state [3]"), 1);
  manager.setStatus(kInstrumentId, {true, 0, 0});
  pass();
  EXPECT_EQ(state(), kStateReady);
  EXPECT_EQ(logCount("<StatusProc::StateBrowsing> Exit kStateBrowsing, back to previous state [3]"), 1);

  ASSERT_EQ(scanner.OnStartExitCarouselRun(true), 1);
  const int checks = warmupChecks();
  for (int i = 0; i < 12; ++i) pass();
  EXPECT_EQ(state(), kStateReady);
  EXPECT_EQ(warmupChecks(), checks);
  EXPECT_EQ(scanner.OnStartExitCarouselRun(false), 1);
}

TEST_F(ScannerInitTest, AnErrorWhileHandlingAStateGoesToErrorAndTheThreadGoesOn) {
  toReady();
  okSim_ScriptResult("okUsbFrontPanel_IsOpen", 0, 1);  // the laser check cannot reach the port
  pass();
  EXPECT_EQ(state(), kStateError);
  EXPECT_EQ(scanner.GetErrorId(), movrak::kErrDataPortNotConnected);
  EXPECT_THAT(log(), HasSubstr("<StatusProc> Caught error (0x2ee9) while processing Scanner ready. state"));
  EXPECT_THAT(log(), HasSubstr("<StatusProc> Unsafe to continue, going to error state..."));
  okSim_ClearScripts();
  pass();
  pass();
  EXPECT_TRUE(scanner.IsStatusThreadRunning());
  EXPECT_EQ(statusText(), "Fatal System Error.\r\nThe Scan Data Port is not connected.");
}

}  // namespace
