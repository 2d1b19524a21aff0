// The autoloader sequences and the carousel browse on the simulated instrument (with the
// simulated board, which closes the laser shutters on the way).
#include <cctype>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include "DeviceFixture.h"
#include "Jotwell/Utilities.h"
#include "devices/DeviceErrors.h"
#include "okSim/okSim.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;
using Axis = zevasim::MotorFamily::Axis;
using Motors = zevasim::MotorFamily;
using Slide = zevasim::AutoloaderFamily::Slide;

class AutoloaderTest : public DeviceTest {
 protected:
  AutoloaderTest() : clock_(std::make_shared<platform::ManualClock>()), scoped_(clock_) {
    clock_->setAutoAdvance(true);  // settling sleeps cost no time
    okSim_Reset();
    const std::string bitFile = tempDir() + "/keth.bit";
    testsupport::writeFile(bitFile, "simulated configuration version=32\n");
    if (loaded_) opened_ = scanner.GetDataPort().OpenDataPort(nullptr, bitFile.c_str()) == PortStatusSuccess;
    for (auto id :
         {Motors::kSlowStage, Motors::kVCStage, Motors::kAutofocus, Motors::kCarousel, Motors::kArm})
      devices.motors->update(id, [](Axis& a) { a.initialised = a.homed = true; });
    connect();
  }
  ~AutoloaderTest() override {
    releaseReplies();
    if (watcher_.joinable()) watcher_.join();
  }
  static void SetUpTestSuite() { loaded_ = CScanDataPort::InitPortLib(""); }
  void SetUp() override {
    ASSERT_TRUE(loaded_);
    ASSERT_TRUE(opened_);
  }

  void setSlots(int n) {
    devices.flash->set("ALCarouselNumSlots", std::to_string(n));
    devices.motors->setCarouselSlots(n);
  }
  void carouselAt(int slot) {
    devices.motors->update(Motors::kCarousel, [slot](Axis& a) { a.slot = slot; });
  }
  void armAt(int location) {
    devices.motors->update(Motors::kArm, [location](Axis& a) { a.location = location; });
  }
  void slowStageAt(long position) {
    devices.motors->update(Motors::kSlowStage,
                           [position](Axis& a) { a.position = static_cast<std::int32_t>(position); });
  }
  int armLocation() const { return devices.motors->axis(Motors::kArm).location; }
  int carouselSlot() const { return devices.motors->axis(Motors::kCarousel).slot; }
  int count(const std::string& line) const {
    int n = 0;
    for (const auto& l : lines()) n += l == line;
    return n;
  }

  // A command from another thread: 634 when the command mutex is still held (the clock
  // is moved past the mutex's wait then).
  int commandFromAnotherThread() {
    auto other =
        std::async(std::launch::async, [this] { return thrown([this] { scanner.IsDoorClosed(); }); });
    driveUntilReady(*clock_, other, 1s);
    return other.get();
  }
  // The map goes out unblocked: its line may reach the instrument after the start returned.
  std::string sentMap() const {
    const auto all = sim.lines();
    if (all.empty() || all.back().rfind("mapcarousel", 0) != 0) {
      EXPECT_TRUE(sim.waitForLines(all.size() + 1));
    }
    return sim.lines().back();
  }
  int abortEvents() const {
    int n = 0;
    for (const auto& e : manager.events()) n += e.type == brokla::kEventCmdAbort;
    return n;
  }
  // The instrument holds its map reply until the host posts an abort, then sends it (as
  // the instrument ends a command that the connection manager aborts).
  void holdMapUntilAbort(zevasim::Reply reply) {
    holdReplies("mapcarousel", std::move(reply));
    const std::size_t seen = manager.events().size();
    watcher_ = std::thread([this, seen] {
      for (;;) {
        if (!manager.waitForEvents(seen + 1)) break;
        const auto events = manager.events();
        bool abort = false;
        for (std::size_t i = seen; i < events.size(); ++i)
          abort = abort || events[i].type == brokla::kEventCmdAbort;
        if (abort) break;
      }
      releaseReplies();
    });
  }
  struct Info {
    int present = -1;
    char symbology = 'x';
    std::string barcode;
  };
  Info info(int slot) {
    Info i;
    char barcode[50];
    std::memset(barcode, 'x', sizeof barcode);
    scanner.GetBrowseCarouselInfo(slot, &i.present, &i.symbology, barcode);
    i.barcode.assign(barcode, strnlen(barcode, sizeof barcode));
    return i;
  }

  std::shared_ptr<platform::ManualClock> clock_;
  platform::ScopedClock scoped_;
  static inline bool loaded_ = false;
  bool opened_ = false;
  std::thread watcher_;
};

// ---- loading slides --------------------------------------------------------------------

TEST_F(AutoloaderTest, LoadChipTurnsCounterClockwiseToTheSlotAndLeavesTheSlideInTheHolder) {
  setSlots(10);
  struct Case {
    int slot;
    int position;
    int rotate;  // 0: no turn
  };
  const Case cases[] = {
      {0, 5, 1},  // slot 0 is the next slot: exactly one
      {2, 5, 7},  // behind the current position: round the carousel
      {7, 3, 4}, {6, 6, 0}, {9, 0, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "slot " << c.slot << " from " << c.position);
    const int target = (c.position + c.rotate) % 10;
    devices.autoloader->setHeldSlide(std::nullopt);
    devices.autoloader->putSlide(target, {"250000000042", "7"});
    carouselAt(c.position);
    armAt(Motors::kArmAtCarousel);
    forget();
    EXPECT_EQ(scanner.LoadChip(0, c.slot), "");
    const std::string turn = FormatText("movemotor 0x6000001 0x1 0x1 %d", c.rotate);
    EXPECT_EQ(count(turn), c.rotate > 0 ? 1 : 0);
    EXPECT_EQ(carouselSlot(), target);
    EXPECT_EQ(armLocation(), Motors::kArmAtHolder);
    ASSERT_TRUE(devices.autoloader->heldSlide());
    EXPECT_FALSE(devices.autoloader->slide(target));
  }
  EXPECT_THAT(log(), HasSubstr("Moving Carousel CCW by 7 Slots"));
  EXPECT_THAT(log(), HasSubstr("LoadChip Starting <slot 2>"));
  EXPECT_THAT(log(), HasSubstr("LoadChip Complete <slot 2>"));
}

TEST_F(AutoloaderTest, LoadChipEjectsTheHeldSlideIntoItsSlotFirst) {
  devices.autoloader->putSlide(4, {"250000000004", "7"});
  carouselAt(3);
  armAt(Motors::kArmAtHolder);
  devices.autoloader->setHeldSlide(Slide{"250000000003", "7"});
  EXPECT_EQ(scanner.LoadChip(1, 4), "250000000004");
  EXPECT_TRUE(devices.autoloader->slide(3));  // the earlier slide went back
  EXPECT_EQ(devices.autoloader->heldSlide()->barcode, "250000000004");
  EXPECT_THAT(log(), HasSubstr("A chip was ejected into the carousel"));
  EXPECT_THAT(log(), HasSubstr("Read barcode 250000000004 in 1 attempt(s)"));
  EXPECT_EQ(devices.motors->axis(Motors::kSlowStage).position, 150000);  // at "EjectStagePos"
}

TEST_F(AutoloaderTest, BarcodeAttemptsReadAtHolderAndCarouselUntilTheTriesRunOut) {
  devices.autoloader->putSlide(2, {"", "7"});  // no readable label
  carouselAt(1);
  forget();
  EXPECT_EQ(scanner.LoadChip(3, 2), "");
  EXPECT_EQ(count("readbarcode"), 6);  // holder and carousel, three times
  EXPECT_EQ(armLocation(), Motors::kArmAtHolder);
  EXPECT_TRUE(devices.autoloader->heldSlide());
  EXPECT_THAT(log(), HasSubstr("No Barcode Read"));
  EXPECT_THAT(log(), HasSubstr("Moving Arm Back to Holder Position."));

  // A read that fails otherwise ends the sequence.
  devices.autoloader->setHeldSlide(std::nullopt);
  devices.autoloader->putSlide(3, {"250000000003", "7"});
  carouselAt(2);
  armAt(Motors::kArmAtCarousel);
  sim.injectFault("readbarcode", {zevasim::Fault::Kind::errorStatus, 0x05});
  EXPECT_EQ(thrown([&] { scanner.LoadChip(2, 3); }), 4096 + 5);
}

TEST_F(AutoloaderTest, AnArmTimedOutTowardsTheHolderIsBroughtBackOrReportedUnrecovered) {
  // The arm sticks only once the carousel stands at the slot to load.
  auto stickAtSlot = [this](int slot, bool backToo) {
    sim.setHandler("doorclosed", [this, slot, backToo](const zevasim::Request&) {
      if (devices.motors->axis(Motors::kCarousel).slot == slot)
        devices.motors->update(Motors::kArm, [backToo](Axis& a) {
          a.stuckTowardsHolder = true;
          a.stuckTowardsCarousel = backToo;
        });
      return zevasim::Reply::ok("1");
    });
  };
  struct Case {
    bool backToo;
    bool aligned;
    int error;
    int location;
  };
  const Case cases[] = {
      {false, true, movrak::kErrArmToHolderTimedOut, Motors::kArmAtCarousel},
      {true, true, movrak::kErrArmToHolderTimedOutUnrecovered, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    devices.motors->update(Motors::kArm, [](Axis& a) {
      a.stuckTowardsHolder = a.stuckTowardsCarousel = false;
      a.location = Motors::kArmAtCarousel;
    });
    devices.autoloader->setHeldSlide(std::nullopt);
    devices.autoloader->putSlide(5, {"250000000005", "7"});
    carouselAt(1);
    stickAtSlot(5, c.backToo);
    EXPECT_EQ(thrown([&] { scanner.LoadChip(0, 5); }), c.error);
    EXPECT_EQ(armLocation(), c.location);
    EXPECT_THAT(log(), HasSubstr("Check Carousel Alignment: properly seated"));
    EXPECT_THAT(log(), HasSubstr("RecoverArmToCarousel Complete"));
  }
  EXPECT_THAT(log(), HasSubstr("Unable to move arm back to carousel position [error code: 4129]."));
}

TEST_F(AutoloaderTest, LoadChipRefusesASlotOutsideTheCarouselBeforeAnythingMoves) {
  for (int slot : {-1, -12, 12, 1000}) {
    SCOPED_TRACE(slot);
    forget();
    EXPECT_EQ(thrown([&] { scanner.LoadChip(0, slot); }), movrak::kErrBadParameter);
    for (const auto& line : lines()) EXPECT_EQ(line, "getparam ALCarouselNumSlots");
  }
  EXPECT_THAT(log(), HasSubstr("LoadChip: Non-existent slot (-1) requested"));
  EXPECT_THAT(log(), Not(HasSubstr("LoadChip Starting")));
}

// ---- refusals ------------------------------------------------------------------------------

class AutoloaderRefusalTest;

struct Refusal {
  const char* what;
  std::function<void(AutoloaderRefusalTest&)> setup;
  std::function<void(CScanner&)> call;
  int error;
  const char* logged;
};

class AutoloaderRefusalTest : public AutoloaderTest, public testing::WithParamInterface<Refusal> {
 public:
  // For the table's set-ups.
  using AutoloaderTest::armAt;
  using AutoloaderTest::carouselAt;
  using AutoloaderTest::slowStageAt;
  zevasim::DeviceFamilies& sims() { return devices; }
};

TEST_P(AutoloaderRefusalTest, RefusesWithItsErrorAndClosingBanner) {
  const Refusal& r = GetParam();
  r.setup(*this);
  EXPECT_EQ(thrown([&] { r.call(scanner); }), r.error);
  EXPECT_THAT(log(), HasSubstr(r.logged));
}

using T = AutoloaderRefusalTest;
INSTANTIATE_TEST_SUITE_P(
    Autoloader, AutoloaderRefusalTest,
    testing::Values(
        Refusal{"LoadCarousel without a carousel",
                [](T& t) { t.sims().autoloader->setCarouselPresent(false); },
                [](CScanner& s) { s.LoadCarousel(); }, movrak::kErrCarouselNotPresent,
                "Chip Present Sensor Not Tripped so Carousel is Just Missing"},
        Refusal{"LoadChip without a carousel", [](T& t) { t.sims().autoloader->setCarouselPresent(false); },
                [](CScanner& s) { s.LoadChip(0, 3); }, movrak::kErrCarouselNotPresent,
                "Carousel Not Present. Call EjectCarousel and Terminate..."},
        Refusal{"LoadCarousel, askew", [](T& t) { t.sims().autoloader->setAskew(true); },
                [](CScanner& s) { s.LoadCarousel(); }, movrak::kErrCarouselAskew,
                "Chip Present Sensor Tripped so Carousel Must be Askew"},
        Refusal{"EjectChip, askew", [](T& t) { t.sims().autoloader->setAskew(true); },
                [](CScanner& s) { s.EjectChip(); }, movrak::kErrCarouselAskew,
                "----------------------EjectChip Complete--------------------"},
        Refusal{"LoadCarousel, arm in the middle, carousel not seated",
                [](T& t) {
                  t.armAt(0);
                  t.sims().autoloader->setAligned(false);
                },
                [](CScanner& s) { s.LoadCarousel(); }, movrak::kErrArmPositionUnknown,
                "Unknown Arm Position. Is it in the Middle? LoadCarousel Terminating."},
        Refusal{"EjectChip, arm in the middle, slide in the slot",
                [](T& t) {
                  t.armAt(0);
                  t.sims().autoloader->putSlide(0, {"250000000000", "7"});
                },
                [](CScanner& s) { s.EjectChip(); }, movrak::kErrArmPositionUnknown,
                "Unknown Arm Position. Is it in the Middle? EjectChip Terminating."},
        Refusal{"browse, arm in the middle, stage in the way",
                [](T& t) {
                  t.armAt(0);
                  t.slowStageAt(120000);
                },
                [](CScanner& s) { s.StartBrowseCarousel(1, 3, false); }, movrak::kErrArmPositionUnknown,
                "-------------------BrowseCarousel Complete------------------"},
        Refusal{"LoadChip of an empty slot", [](T&) {}, [](CScanner& s) { s.LoadChip(0, 3); },
                movrak::kErrNoChipToLoad, "No Chip in this Slot to Load.  LoadChip Terminating."},
        Refusal{"LoadCarousel, slide in the home slot",
                [](T& t) {
                  t.sims().autoloader->putSlide(0, {"", "7"});
                },
                [](CScanner& s) { s.LoadCarousel(); }, movrak::kErrChipInHomeSlot,
                "Chip Found in the Home Slot!  LoadCarousel Terminating."},
        Refusal{"EjectChip, slide in the current slot and in the home slot",
                [](T& t) {
                  t.carouselAt(4);
                  t.armAt(Motors::kArmAtHolder);
                  t.sims().autoloader->putSlide(4, {"", "7"});
                  t.sims().autoloader->putSlide(0, {"", "7"});
                },
                [](CScanner& s) { s.EjectChip(); }, movrak::kErrChipInHomeSlot,
                "Chip in home slot! EjectChip Terminating."},
        Refusal{"EjectChip into the home slot",
                [](T& t) {
                  t.armAt(Motors::kArmAtHolder);
                  t.sims().autoloader->setHeldSlide(Slide{"250000000001", "7"});
                },
                [](CScanner& s) { s.EjectChip(); }, movrak::kErrChipEjectedToHome,
                "A chip was ejected into the home slot."},
        Refusal{
            "LoadCarousel, slow stage in the arm's way", [](T& t) { t.slowStageAt(100001); },
            [](CScanner& s) { s.LoadCarousel(); }, movrak::kErrArmMoveUnsafe,
            "Slow stage position is close to but not at the eject position.  Cannot determine if slow stage "
            "will interfere with the arm movement. LoadCarousel Terminating."},
        Refusal{"LoadCarousel, slow stage not homed",
                [](T& t) {
                  t.sims().motors->update(Motors::kSlowStage,
                                          [](Axis& a) { a.initialised = a.homed = false; });
                },
                [](CScanner& s) { s.LoadCarousel(); }, movrak::kErrArmMoveUnsafe,
                "Slow stage not homed.  Cannot determine if it's safe to home it since we don't know it's "
                "current position and the arm is in the carousel position.  LoadCarousel Terminating."},
        Refusal{"browse info for a slot before the browsed range",
                [](T& t) {
                  t.sims().autoloader->putSlide(2, {"", "7"});
                },
                [](CScanner& s) {
                  s.StartBrowseCarousel(2, 3, false);
                  try {
                    int present = 0;
                    s.GetBrowseCarouselInfo(1, &present, nullptr, nullptr);
                  } catch (int) {
                    s.StopBrowseCarousel();
                    throw;
                  }
                },
                movrak::kErrBadParameter, "GetBrowseCarouselInfo: slot 1 was not browsed (slots 2 to 3)"},
        Refusal{"browse info without a browse", [](T&) {},
                [](CScanner& s) {
                  int present = 0;
                  s.GetBrowseCarouselInfo(1, &present, nullptr, nullptr);
                },
                movrak::kErrNoBrowse, ""}),
    [](const testing::TestParamInfo<Refusal>& info) {
      std::string name = info.param.what;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST_F(AutoloaderTest, AStrandedArmIsRecoveredToTheHolderWhenItIsSafe) {
  armAt(0);
  scanner.LoadCarousel();
  EXPECT_EQ(armLocation(), Motors::kArmAtHolder);
  EXPECT_THAT(log(), HasSubstr("----------------RecoverArmToHolder Complete-----------------"));
  EXPECT_EQ(devices.motors->axis(Motors::kAutofocus).speed, -1);  // open loop

  armAt(0);
  slowStageAt(120000);
  EXPECT_FALSE(scanner.RecoverArmToHolder());
  EXPECT_EQ(armLocation(), 0);
}

TEST_F(AutoloaderTest, TheArmMayMoveBelowTheBoundOrWithinTwentyOfTheEjectPosition) {
  struct Case {
    long position;
    std::optional<long> eject;
    bool safe;
  };
  const Case cases[] = {
      {0, 150000, true},       {100000, 150000, true},  {100000, std::nullopt, true},  {100001, 100021, true},
      {100001, 99981, true},   {100001, 100022, false}, {100001, std::nullopt, false}, {150020, 150000, true},
      {150021, 150000, false}, {149979, 150000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.position << " eject " << c.eject.value_or(-1));
    slowStageAt(c.position);
    if (c.eject)
      devices.flash->set("EjectStagePos", std::to_string(*c.eject));
    else
      devices.flash->erase("EjectStagePos");
    EXPECT_EQ(scanner.IsArmMoveSafe(), c.safe);
  }
}

// ---- carousel browse ------------------------------------------------------------------------

TEST_F(AutoloaderTest, BrowseReadsPresenceAndBarcodesAcrossFrames) {
  devices.autoloader->putSlide(1, {"250000000001", "7"});
  devices.autoloader->putSlide(3, {std::string(60, 'B'), "Q"});
  devices.autoloader->putSlide(4, {"", "7"});
  devices.autoloader->setMapFrameSize(4);  // records cut across frames
  scanner.SetScannerState(kStateReady);
  const int timeout = scanner.GetComm().GetTimeout();
  forget();
  scanner.StartBrowseCarousel(1, 5, true);
  EXPECT_EQ(sentMap(), "mapcarousel 1 1,5");
  EXPECT_EQ(lastTimeoutSec(), 180);
  EXPECT_EQ(scanner.GetScannerState(), kStateBrowsing);
  EXPECT_EQ(scanner.GetStatusMsgId(), 3004u);
  EXPECT_EQ(scanner.IsBrowseCarouselDone(), 0);

  // Out of order: slot 3 reads 1 to 3 from the reply, slot 1 then comes from the results.
  const Info third = info(3);
  EXPECT_EQ(third.present, 1);
  EXPECT_EQ(third.symbology, 'Q');
  EXPECT_EQ(third.barcode, std::string(49, 'B'));  // 49 characters and the terminator
  const Info first = info(1);
  EXPECT_EQ(first.present, 1);
  EXPECT_EQ(first.symbology, '7');
  EXPECT_EQ(first.barcode, "250000000001");
  EXPECT_EQ(info(2).present, 0);
  EXPECT_EQ(scanner.IsBrowseCarouselDone(), 0);
  int present = -1;
  scanner.GetBrowseCarouselInfo(4, &present, nullptr, nullptr);  // null outputs are skipped
  EXPECT_EQ(present, 1);

  // A slot past the last answers the last one, which ends the browse.
  const Info fifth = info(9);
  EXPECT_EQ(fifth.present, 0);
  EXPECT_EQ(fifth.barcode, "");
  EXPECT_EQ(scanner.IsBrowseCarouselDone(), 1);
  EXPECT_EQ(scanner.GetScannerState(), kStateReady);  // no status thread: back by itself
  EXPECT_EQ(scanner.GetComm().GetTimeout(), timeout);
  EXPECT_EQ(info(3).barcode, std::string(49, 'B'));  // kept until stopped
  EXPECT_THAT(log(), HasSubstr("BrowseCarousel: Slot 1: PRESENT Type 7 Barcode 250000000001"));
  EXPECT_THAT(log(), HasSubstr("GetBrowseCarouselInfo: slot # > lastSlot, returning last slot info"));
  EXPECT_EQ(logCount("-------------------BrowseCarousel Complete------------------"), 1);

  scanner.StopBrowseCarousel();
  EXPECT_EQ(thrown([&] { info(1); }), movrak::kErrNoBrowse);
}

TEST_F(AutoloaderTest, BrowseWithoutBarcodesHandsOutNoSymbologyOrText) {
  devices.autoloader->putSlide(2, {"250000000002", "7"});
  scanner.StartBrowseCarousel(2, 3, false);
  const Info second = info(2);
  EXPECT_EQ(second.present, 1);
  EXPECT_EQ(second.symbology, '\0');
  EXPECT_EQ(second.barcode, "");
  EXPECT_EQ(info(3).present, 0);
  EXPECT_THAT(log(), HasSubstr("BrowseCarousel: Slot 2: PRESENT"));
  scanner.StopBrowseCarousel();
}

TEST_F(AutoloaderTest, BrowseRangeIsCorrectedIntoTheCarouselsSlots) {
  struct Case {
    int first, last;
    const char* line;
    const char* logged;
  };
  const Case cases[] = {
      {0, 3, "mapcarousel 0 1,3", "StartBrowseCarousel: first slot must be >= 1"},
      {-4, -1, "mapcarousel 0 1,1", "StartBrowseCarousel: last slot must be >= first slot"},
      {5, 2, "mapcarousel 0 5,5", "StartBrowseCarousel: last slot must be >= first slot"},
      {3, 20, "mapcarousel 0 3,b", "StartBrowseCarousel: Non-existent slot (20) requested"},
      {20, 30, "mapcarousel 0 b,b", "StartBrowseCarousel: Non-existent slot (30) requested"},
      {1, 11, "mapcarousel 0 1,b", "Starting BrowseCarousel: slot 1 through slot 11, Do not scan barcodes."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    scanner.StartBrowseCarousel(c.first, c.last, false);
    EXPECT_EQ(sentMap(), c.line);
    EXPECT_THAT(log(), HasSubstr(c.logged));
    scanner.StopBrowseCarousel();
  }
}

TEST_F(AutoloaderTest, AShortBrowseReplyEndsTheBrowseAndFreesTheCommandMutex) {
  devices.autoloader->putSlide(1, {"250000000001", "7"});
  devices.autoloader->setMapLength(3 + 18 + 5);  // slot 1 whole, slot 2 without its barcode
  scanner.StartBrowseCarousel(1, 3, true);
  EXPECT_EQ(info(1).barcode, "250000000001");
  EXPECT_EQ(thrown([&] { info(2); }), movrak::kErrTimedOut);
  EXPECT_THAT(log(), HasSubstr("GetBrowseCarouselInfo: not enough data reading barcode for slot 2"));
  EXPECT_EQ(scanner.IsBrowseCarouselDone(), 1);
  EXPECT_EQ(commandFromAnotherThread(), 0);
  EXPECT_EQ(thrown([&] { info(3); }), movrak::kErrTimedOut);  // it never came
  EXPECT_EQ(info(1).present, 1);
  scanner.StopBrowseCarousel();
  EXPECT_EQ(abortEvents(), 0);

  // A refused map ends the browse at its reply code.
  devices.autoloader->setMapLength(std::nullopt);
  sim.injectFault("mapcarousel", {zevasim::Fault::Kind::errorStatus, 0x05});
  scanner.StartBrowseCarousel(1, 3, true);
  EXPECT_EQ(thrown([&] { info(1); }), 4096 + 5);
  EXPECT_EQ(commandFromAnotherThread(), 0);
  scanner.StopBrowseCarousel();
}

TEST_F(AutoloaderTest, StoppingARunningBrowseAbortsDrainsAndReleasesTheMutex) {
  scanner.SetScannerState(kStateReady);
  zevasim::Reply partial;
  partial.frames = {"00,", "1000,"};
  holdMapUntilAbort(partial);
  scanner.StartBrowseCarousel(1, 6, false);
  ASSERT_TRUE(sim.waitForLines(1));
  EXPECT_EQ(commandFromAnotherThread(), movrak::kErrInstrumentBusy);  // the browse holds it

  scanner.StopBrowseCarousel();
  EXPECT_EQ(abortEvents(), 1);
  EXPECT_THAT(log(), HasSubstr("Sending ABORT Message to Instrument"));
  EXPECT_THAT(log(), HasSubstr("BrowseCarousel Terminating."));
  EXPECT_EQ(scanner.IsBrowseCarouselDone(), 1);
  EXPECT_EQ(scanner.GetScannerState(), kStateReady);
  EXPECT_EQ(commandFromAnotherThread(), 0);
  EXPECT_EQ(thrown([&] { info(1); }), movrak::kErrNoBrowse);
  EXPECT_NO_THROW(scanner.GetCarouselSlotCount());
}

TEST_F(AutoloaderTest, StoppingAFinishedBrowseNeitherAbortsNorReleasesAnotherOwnersMutex) {
  scanner.StartBrowseCarousel(1, 2, false);
  info(2);
  EXPECT_EQ(commandFromAnotherThread(), 0);  // given back after the last slot

  ASSERT_TRUE(scanner.GetComm().LockComm());  // now this thread holds it for a command of its own
  scanner.StopBrowseCarousel();
  EXPECT_EQ(abortEvents(), 0);
  EXPECT_THAT(log(), Not(HasSubstr("Sending ABORT Message to Instrument")));
  EXPECT_TRUE(scanner.GetComm().UnlockComm());  // still ours: the stop left it alone
  EXPECT_EQ(commandFromAnotherThread(), 0);

  // A stop without a browse, and one twice over, are harmless.
  forget();
  scanner.StopBrowseCarousel();
  scanner.StopBrowseCarousel();
  EXPECT_TRUE(lines().empty());
}

TEST_F(AutoloaderTest, ASecondBrowseWhileOneRunsIsBusyAndTheFirstStillStops) {
  scanner.StartBrowseCarousel(1, 2, false);
  forget();
  EXPECT_EQ(thrown([&] { scanner.StartBrowseCarousel(1, 2, false); }), movrak::kErrInstrumentBusy);
  EXPECT_TRUE(lines().empty());
  scanner.StopBrowseCarousel();
  EXPECT_EQ(commandFromAnotherThread(), 0);

  // Started again after a stop, it runs as the first did.
  scanner.StartBrowseCarousel(1, 2, false);
  EXPECT_EQ(info(2).present, 0);
  scanner.StopBrowseCarousel();
  EXPECT_EQ(commandFromAnotherThread(), 0);
}

}  // namespace
