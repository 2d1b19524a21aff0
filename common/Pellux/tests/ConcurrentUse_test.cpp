// One port used from several threads at once: whole operations must not interleave.
#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "BoardFixture.h"

namespace {

using PelluxConcurrencyTest = BoardTest;

// Runs `body(thread, round)` on `threads` threads for `rounds` rounds each, all
// released together; the failures come back as text.
std::vector<std::string> RunTogether(int threads, int rounds,
                                     const std::function<std::string(int, int)>& body) {
  std::promise<void> go;
  std::shared_future<void> started = go.get_future().share();
  std::vector<std::future<std::vector<std::string>>> workers;
  for (int t = 0; t < threads; ++t)
    workers.push_back(std::async(std::launch::async, [&, t] {
      started.wait();
      std::vector<std::string> failures;
      for (int r = 0; r < rounds; ++r)
        if (std::string f = body(t, r); !f.empty()) failures.push_back(f);
      return failures;
    }));
  go.set_value();
  std::vector<std::string> all;
  for (auto& w : workers)
    for (std::string& f : w.get()) all.push_back(std::move(f));
  return all;
}

}  // namespace

// Each open downloads the configuration (which resets the clock managers) and then walks
// the clock phases: another thread's download in the middle of that walk spoils it.
TEST_F(PelluxConcurrencyTest, OpensFromSeveralThreadsRunOneAfterTheOther) {
  CScanDataPort port;
  okSim_ClearCallLog();
  const auto failures = RunTogether(4, 6, [&](int t, int r) {
    const PortStatus s = port.OpenDataPort(nullptr, bitFile_.c_str());
    return s == PortStatusSuccess ? std::string()
                                  : "thread " + std::to_string(t) + " round " + std::to_string(r) +
                                        ": status " + std::to_string(static_cast<int>(s));
  });
  EXPECT_TRUE(failures.empty()) << testing::PrintToString(failures);
  EXPECT_TRUE(port.IsReady());
  EXPECT_FALSE(port.IsInitCfgSkipped());

  // In the board's calls each open runs whole: open, clock set-up, download, then the
  // phase walk, before the next open begins.
  const std::vector<std::string> calls = oksim::calls();
  std::string shape;
  for (const std::string& c : calls) {
    if (c.rfind("okUsbFrontPanel_OpenBySerial", 0) == 0)
      shape += 'O';
    else if (c.rfind("okUsbFrontPanel_LoadDefaultPLLConfiguration", 0) == 0)
      shape += 'P';
    else if (c.rfind("okUsbFrontPanel_ConfigureFPGA", 0) == 0)
      shape += 'C';
    else if (c.rfind("okUsbFrontPanel_ActivateTriggerIn(0x41,", 0) == 0 &&
             (shape.empty() || shape.back() != 'D'))
      shape += 'D';
  }
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
