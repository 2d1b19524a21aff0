#pragma once
// The main window's tools under test: a scriptable main window (FakeScanDlgHooks), a
// scriptable automation server, a log without stamps whose lines a test can look for, a
// clock set to a chosen local time, and message boxes recorded instead of shown.
#include <gtest/gtest.h>

#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FakeScanCtrl.h"
#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "maindlg/tools/ScanDlgHooks.h"
#include "platform/clock.h"
#include "platform/ui.h"
#include "testsupport/TestEnv.h"

namespace tools_test {

// A notice whose modal loop is a function the test gives (it may call back into the
// timers, as timer ticks do inside a real modal loop).
class FakeNotice : public lumetra::IAutoOffNotice {
 public:
  explicit FakeNotice(std::function<int(FakeNotice&)> loop) : loop_(std::move(loop)) {}
  bool Showing() const override { return showing_; }
  void ClearShowing() override { showing_ = false; }
  int RunNotice() override {
    showing_ = true;
    ended_ = false;
    const int answer = loop_ ? loop_(*this) : platform::ui::IDOK;
    showing_ = false;
    return ended_ ? result_ : answer;
  }
  void CloseNotice(int result) override {
    ended_ = true;
    result_ = result;
  }

 private:
  std::function<int(FakeNotice&)> loop_;
  bool showing_ = false, ended_ = false;
  int result_ = 0;
};

class FakeScanDlgHooks : public lumetra::IScanDlgHooks {
 public:
  bool offline = false, busy = false, taskRunning = false;
  lumetra::RunDlgState runDlg = lumetra::RunDlgState::none;
  int scannerType = 2;
  bool timersRefused = false, killRefused = false;
  int messageAnswer = platform::ui::IDYES;
  // What the main window was asked to do, in order ("state 1 3", "door lock", ...).
  std::vector<std::string> actions;
  std::map<unsigned, unsigned> timers;  // running timers: id -> period in ms
  std::vector<std::string> notices;     // texts of the notices created
  std::function<int(FakeNotice&)> noticeLoop;

  bool IsOffline() const override { return offline; }
  bool IsBusy() const override { return busy; }
  bool IsTaskRunning() const override { return taskRunning; }
  lumetra::RunDlgState RunProgressState() const override { return runDlg; }
  int GetScannerType(bool) override { return scannerType; }
  void OnScannerStateMsg(int bForce, tagScannerState state) override {
    actions.push_back("state " + std::to_string(bForce) + " " + std::to_string(static_cast<int>(state)));
  }
  void SetStatusText(const std::string& text) override { actions.push_back("status " + text); }
  bool CheckDoorClosed(bool bUnlock) override {
    actions.push_back(bUnlock ? "door unlock" : "door lock");
    return true;
  }
  void SetExLaserCalib(bool on) override { actions.push_back(on ? "exlaser on" : "exlaser off"); }
  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
    actions.push_back("box " + caption + ": " + text);
    boxTypes.push_back(type);
    return messageAnswer;
  }
  bool SetTimer(unsigned id, unsigned elapseMs) override {
    if (timersRefused) return false;
    timers[id] = elapseMs;
    return true;
  }
  bool KillTimer(unsigned id) override {
    if (killRefused) return false;
    timers.erase(id);
    return true;
  }
  void PostToUiThread(std::function<void()> f) override {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(f));
    cv_.notify_all();
  }
  std::unique_ptr<lumetra::IAutoOffNotice> CreateAutoOffNotice(const std::string& text) override {
    notices.push_back(text);
    return std::make_unique<FakeNotice>(noticeLoop);
  }

  // Waits (real time, bounded) for a post from a worker and runs it here, as the
  // user-interface thread would.
  bool RunPosted(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    std::function<void()> f;
    {
      std::unique_lock lock(mutex_);
      if (!cv_.wait_for(lock, timeout, [this] { return !posted_.empty(); })) return false;
      f = std::move(posted_.front());
      posted_.pop_front();
    }
    f();
    return true;
  }
  bool Did(const std::string& action) const {
    for (const auto& a : actions)
      if (a == action) return true;
    return false;
  }
  std::vector<unsigned> boxTypes;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> posted_;
};

class ToolsTest : public testsupport::ZevaTest {
 protected:
  ToolsTest() : clock_(std::make_shared<platform::ManualClock>()), scoped_(clock_) {
    CRegEdit lm(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo");
    lm.WriteInt("EnableTimestamp", 0u);
    lm.WriteInt("EnableThreadIdStamp", 0u);
    lm.WriteInt("DebugLevel", 1u);
    CLogger::SetRegKey(nullptr);
    CLogger::SetDebugLogging(true);
    logPrefix_ = tempDir() + "/test";
    CLogger::Open(logPrefix_.c_str());
    previousHook_ = platform::ui::setMessageBoxHook(
        [this](const std::string& text, const std::string& caption, unsigned type) {
          boxes_.push_back(caption + ": " + text);
          return platform::ui::defaultAnswer(type);
        });
    scanCtrl_ = lumetra_test::FakeScanCtrl::Create();
    setLocalTime(2026, 12, 9, 12, 0);  // a Wednesday
  }
  ~ToolsTest() override {
    platform::ui::setMessageBoxHook(previousHook_);
    CLogger::Close();
  }

  // Sets the clock to a local date and time (month 1-12).
  void setLocalTime(int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    clock_->setSystemTime(std::chrono::system_clock::from_time_t(std::mktime(&tm)));
  }

  std::string log() const { return testsupport::readFile(logPrefix_ + "0.log"); }
  bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }

  std::shared_ptr<platform::ManualClock> clock_;
  platform::com::ComPtr<lumetra_test::FakeScanCtrl> scanCtrl_;
  std::vector<std::string> boxes_;

 private:
  platform::ScopedClock scoped_;
  std::string logPrefix_;
  platform::ui::MessageBoxHook previousHook_;
};

}  // namespace tools_test
