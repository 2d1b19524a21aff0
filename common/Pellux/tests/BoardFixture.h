#pragma once
// Each test gets a fresh simulated board, a manual clock (sleeps pass at once unless a
// test drives the clock itself), an install folder, a plain-text log at the highest debug
// level and a recording message-box hook. The board's library is loaded once per process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "Pellux/ScanDataPort.h"
#include "okSim/okSim.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "testsupport/TestEnv.h"

// The board library the tests load ("": the one beside the executable).
#ifndef PELLUX_TEST_BOARD_LIB
#define PELLUX_TEST_BOARD_LIB ""
#endif

class BoardTest : public testsupport::ZevaTest {
 protected:
  static constexpr const char* kProductKey = "Software\\Tarsel\\ZevazOdizo";
  static constexpr const char* kDataPortKey = "Software\\Tarsel\\ZevazOdizo\\Services\\DataPort";

  BoardTest() : clock_(std::make_shared<platform::ManualClock>()), scoped_(clock_) {
    clock_->setAutoAdvance(true);
    okSim_Reset();
    install_ = tempDir() + "/install";
    EXPECT_TRUE(platform::createDirectories(install_));
    CRegEdit product(HKEY_LOCAL_MACHINE, kProductKey);
    product.WriteString("Path", install_);
    product.WriteInt("DebugLevel", 6);
    product.WriteInt("MaxSize", 1000000000);
    product.WriteInt("EnableTimestamp", 0);
    product.WriteInt("EnableThreadIdStamp", 0);
    CLogger::SetRegKey(nullptr);
    CLogger::Open((tempDir() + "/pellux").c_str());
    previousHook_ =
        platform::ui::setMessageBoxHook([this](const std::string& text, const std::string&, unsigned) {
          std::lock_guard lock(boxMutex_);
          boxes_.push_back(text);
          return platform::ui::IDOK;
        });
    bitFile_ = tempDir() + "/keth.bit";
    testsupport::writeFile(bitFile_, "simulated configuration version=32\n");
    loaded_ = CScanDataPort::InitPortLib(PELLUX_TEST_BOARD_LIB);
  }

  ~BoardTest() override {
    CLogger::Close();
    platform::ui::setMessageBoxHook(previousHook_);
  }

  void SetUp() override { ASSERT_TRUE(loaded_); }

  // Opens and configures the port on the default simulated board.
  void open(CScanDataPort& port) {
    ASSERT_EQ(port.OpenDataPort(nullptr, bitFile_.c_str()), PortStatusSuccess);
  }

  std::string log() const { return testsupport::readFile(tempDir() + "/pellux0.log"); }
  bool logHas(const std::string& text) const { return log().find(text) != std::string::npos; }
  int logCount(const std::string& text) const {
    const std::string all = log();
    int n = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }
  std::vector<std::string> boxes() {
    std::lock_guard lock(boxMutex_);
    return boxes_;
  }
  static void setDataPortDword(const char* name, int value) {
    ASSERT_TRUE(CRegEdit(HKEY_LOCAL_MACHINE, kDataPortKey).WriteInt(name, value));
  }
  long long nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_->steadyNow().time_since_epoch())
        .count();
  }
  // Runs the clock by hand: whenever a thread waits on it, time moves by `step`, until
  // `done` holds (bounded in real time). A waiter that is slow to wake may see several
  // steps at once, so tests must not depend on how far the time runs.
  bool driveClockUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds step = std::chrono::milliseconds(100)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (clock_->waitForWaiters(1, std::chrono::milliseconds(20))) clock_->advance(step);
    }
    return true;
  }

  std::shared_ptr<platform::ManualClock> clock_;
  platform::ScopedClock scoped_;
  std::string install_;
  std::string bitFile_;
  bool loaded_ = false;

 private:
  platform::ui::MessageBoxHook previousHook_;
  std::mutex boxMutex_;
  std::vector<std::string> boxes_;
};

// The board's calls of one kind, without the entry-name prefix, e.g. "(0x02,0x8000,0xF003)".
inline std::vector<std::string> simArgs(const std::string& entry) {
  std::vector<std::string> out;
  for (const std::string& line : oksim::calls(entry + "(")) out.push_back(line.substr(entry.size()));
  return out;
}
