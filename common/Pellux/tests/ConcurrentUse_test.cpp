// One port used from several threads at once: whole operations must not interleave.
#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "BoardFixture.h"
#include "testsupport/RunTogether.h"

namespace {

using PelluxConcurrencyTest = BoardTest;

using testsupport::RunTogether;

}  // namespace

// Each open downloads the configuration (which resets the clock managers) and then walks
// the clock phases: another thread's download in the middle of that walk spoils it.
TEST_F(PelluxConcurrencyTest, OpensFromSeveralThreadsRunOneAfterTheOther) {
  CScanDataPort port;
  okSim_ClearCallLog();
  // Meanwhile the state the open sets is read, as the automation getters do.
  std::atomic<bool> opening{true};
  auto reader = std::async(std::launch::async, [&] {
    int seen = 0;
    while (opening) seen += port.GetLaserPowerReadyToAdjustMinWaitTimeRed() + port.IsInitCfgSkipped();
    return seen;
  });
  const auto failures = RunTogether(4, 6, [&](int t, int r) {
    const PortStatus s = port.OpenDataPort(nullptr, bitFile_.c_str());
    return s == PortStatusSuccess ? std::string()
                                  : "thread " + std::to_string(t) + " round " + std::to_string(r) +
                                        ": status " + std::to_string(static_cast<int>(s));
  });
  opening = false;
  EXPECT_GT(reader.get(), 0);
  EXPECT_TRUE(failures.empty()) << testing::PrintToString(failures);
  EXPECT_TRUE(port.IsReady());
  EXPECT_FALSE(port.IsInitCfgSkipped());

  // In the board's calls each open runs whole: open, clock set-up, download, then the
  // phase walk, before the next open begins.
  const std::string shape = oksim::openSteps();
  std::string expected;
  for (int i = 0; i < 24; ++i) expected += "OPCD";
  EXPECT_EQ(shape, expected);
}

// The statistics read into the port's own sample buffer, which a larger request
// replaces: every thread must get its own mode's samples, whole, and no "busy".
TEST_F(PelluxConcurrencyTest, MeasurementsFromSeveralThreadsEachGetTheirOwnSamples) {
  CScanDataPort port;
  open(port);
  using Stats = bool (CScanDataPort::*)(long, bool, int, RawDataStatsInfo*, const char*);
  struct Mode {
    Stats read;
    int code;  // the sampling mode: the board's samples are 1000 + 10 x code and 8000 + 10 x code
  };
  const Mode modes[] = {{&CScanDataPort::GetRawDataStats, 0},
                        {&CScanDataPort::GetRawGainStats, 5},
                        {&CScanDataPort::GetRawOffsetStats, 2},
                        {&CScanDataPort::GetRawGatedStats, 12}};
  const auto failures = RunTogether(4, 6, [&](int t, int r) {
    const Mode& m = modes[t];
    // Growing requests, so that the buffer is replaced now and then.
    const long samples = 2200L * (1 + 4 * r + t);
    RawDataStatsInfo stats;
    const std::string where = "thread " + std::to_string(t) + " round " + std::to_string(r);
    try {
      if (!(port.*m.read)(samples, (m.code & 4) != 0, 5, &stats, nullptr)) return where + ": read failed";
    } catch (PortStatus s) {
      return where + ": status " + std::to_string(static_cast<int>(s));
    }
    if (stats.dLoAve != 4.0 * (1000 + 10 * m.code) || stats.dHiAve != 4.0 * (8000 + 10 * m.code))
      return where + ": averages " + std::to_string(stats.dLoAve) + " / " + std::to_string(stats.dHiAve);
    return std::string();
  });
  EXPECT_TRUE(failures.empty()) << testing::PrintToString(failures);
  EXPECT_FALSE(port.IsBusy());
}

// A whole operation waits for those in progress, but not without end: after a minute it
// gives up as busy without touching the board.
TEST_F(PelluxConcurrencyTest, OperationsGiveUpAsBusyWhenThePortStaysLockedElsewhere) {
  CScanDataPort port;
  open(port);
  struct Case {
    const char* name;
    std::function<std::string(CScanDataPort&)> run;  // the outcome as text
    const char* expected;
  };
  std::vector<unsigned char> buffer(4400 * 4);
  const Case cases[] = {
      {"open",
       [&](CScanDataPort& p) {
         return std::to_string(static_cast<int>(p.OpenDataPort(nullptr, bitFile_.c_str())));
       },
       "10"},
      {"configure",
       [&](CScanDataPort& p) {
         return std::string(p.ConfigurePort("", bitFile_.c_str()) ? "true" : "false");
       },
       "false"},
      {"phase adjustment",
       [](CScanDataPort& p) { return std::string(p.AutoAdjustDCMPhases() ? "true" : "false"); }, "false"},
      {"one phase",
       [](CScanDataPort& p) { return std::string(p.DoDCMPhaseAutoAdjust(1) ? "true" : "false"); }, "false"},
      {"statistics",
       [](CScanDataPort& p) {
         RawDataStatsInfo stats;
         return std::string(p.GetRawDataStats(4400, false, 5, &stats, nullptr) ? "true" : "false");
       },
       "false"},
      {"measuring into the port's buffer",
       [](CScanDataPort& p) { return std::string(p.GetMeasuringData(4400, 0) ? "data" : "null"); }, "null"},
      {"measuring into the caller's buffer",
       [&](CScanDataPort& p) {
         try {
           return std::string(p.GetMeasuringData(4400, 0, buffer.data(), static_cast<long>(buffer.size()))
                                  ? "true"
                                  : "false");
         } catch (PortStatus s) {
           return "status " + std::to_string(static_cast<int>(s));
         }
       },
       "status 10"},
  };
  clock_->setAutoAdvance(false);
  std::promise<void> held, release;
  std::thread holder([&] {
    ASSERT_TRUE(port.LockAccess());
    held.set_value();
    release.get_future().wait();
    port.ReleaseAccess();
  });
  held.get_future().wait();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    okSim_ClearCallLog();
    auto outcome = std::async(std::launch::async, [&] { return c.run(port); });
    ASSERT_TRUE(clock_->waitForWaiters(1));
    clock_->advance(CScanDataPort::kOperationLockWait - std::chrono::milliseconds(1));
    EXPECT_EQ(outcome.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    clock_->advance(std::chrono::milliseconds(1));
    EXPECT_EQ(outcome.get(), c.expected);
    EXPECT_TRUE(oksim::calls().empty()) << testing::PrintToString(oksim::calls());
  }
  release.set_value();
  holder.join();
  EXPECT_TRUE(
      logHas("<DataPort::OpenDataPort> The port is in use by other operations that did not end within 60 s"));
  EXPECT_TRUE(boxes().empty());
  // Once free, the port is whole.
  clock_->setAutoAdvance(true);
  EXPECT_EQ(port.OpenDataPort(nullptr, bitFile_.c_str()), PortStatusSuccess);
}
