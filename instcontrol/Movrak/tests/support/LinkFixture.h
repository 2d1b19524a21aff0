#pragma once
// A simulated instrument, a fake connection manager that lists it, and a log with every
// debug line, per test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "FakeConnectionManager.h"
#include "link/LanComm.h"
#include "platform/clock.h"
#include "testsupport/TestEnv.h"
#include "zevasim/SimInstrument.h"

// The owner the channel reports to: controller statuses become 4096 + code.
class TestOwner : public ILanCommOwner {
 public:
  int TranslateRuntimeError(unsigned code) override {
    translated.push_back(code);
    return 4096 + static_cast<int>(code);
  }
  void Set68KCurrentDateTime() override { ++clockSets; }
  std::vector<unsigned> translated;
  std::atomic<int> clockSets{0};
};

class LinkTest : public testsupport::ZevaTest {
 protected:
  static constexpr std::uint32_t kInstrumentId = 7;
  static constexpr const char* kSerial = "ZS000001";

  LinkTest();
  ~LinkTest() override;

  // What the manager lists for the simulator (its current port).
  brokla::InstrumentEntry simEntry(std::uint32_t id = kInstrumentId) const;
  // "127.0.0.1_<port>"
  std::string connectString() const;
  // Everything logged so far.
  std::string log() const;

  // Moves a manual clock on in `step`s until `f` is ready (bounded in real time).
  template <typename T>
  static void driveUntilReady(platform::ManualClock& clock, std::future<T>& f,
                              std::chrono::milliseconds step = std::chrono::seconds(1)) {
    const auto start = std::chrono::steady_clock::now();
    while (f.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
      ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30))
          << "worker did not finish";
      clock.advance(step);
    }
  }

  zevasim::Instrument sim;
  FakeConnectionManager manager;
};
