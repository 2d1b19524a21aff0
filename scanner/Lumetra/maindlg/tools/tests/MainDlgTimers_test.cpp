#include "maindlg/tools/MainDlgTimers.h"

#include <gtest/gtest.h>

#include "ToolsFixture.h"

namespace tools_test {
namespace {

using lumetra::RunDlgState;

class TimersTest : public ToolsTest {
 protected:
  TimersTest() {
    timers_.SetScanCtrl(scanCtrl_.get());
    LaserPowerSaverSettings& s = timers_.LPSSettings();
    s.EnableSaverAutoTasks = 1;
    s.AutoDailyOnOption = 2;
    s.EnableDailyOff = 1;
    s.EnableMaxNonUsePeriod = 1;
    s.DailyTurnOnAt = 420;
    s.DailyTurnOffAt = 1020;
    s.MaxNonUsePeriod = 60;
  }
  bool armed(unsigned id) const { return hooks_.timers.count(id) > 0; }
  unsigned minutes(unsigned id) const { return hooks_.timers.at(id) / 60000; }
  int calls(const std::string& method) const { return scanCtrl_->CallCount(method); }

  FakeScanDlgHooks hooks_;
  CMainDlgTimers timers_{hooks_};
};

TEST_F(TimersTest, DailyTimersRunUntilTheNextTargetMinute) {
  struct Case {
    int hour, minute;
    unsigned expected;
  } cases[] = {{6, 30, 30}, {7, 0, 1440}, {8, 0, 1380}, {0, 0, 420}, {23, 59, 421}};
  for (const auto& c : cases) {
    setLocalTime(2026, 12, 9, c.hour, c.minute);
    ASSERT_TRUE(timers_.SetLPSTimer(CMainDlgTimers::kDailyOnTimerId, true, 0));
    EXPECT_EQ(minutes(3), c.expected) << c.hour << ":" << c.minute;
    EXPECT_EQ(timers_.LPSTimer(3), 3);
  }
  setLocalTime(2026, 12, 9, 18, 0);
  ASSERT_TRUE(timers_.SetLPSTimer(CMainDlgTimers::kDailyOffTimerId, true, 0));
  EXPECT_EQ(minutes(4), 1380u);
  EXPECT_TRUE(
      logged("<SetLPSTimer>: the DAILY-OFF laser power saving timer has been set (time-out = 1380 minutes) "
             "[TimerID = 4]."));
  // A given period is taken as it is.
  ASSERT_TRUE(timers_.SetLPSTimer(CMainDlgTimers::kNonUseOffTimerId, true, 1234));
  EXPECT_EQ(hooks_.timers.at(5), 1234u);
  // Stopping kills the running timer and forgets its id.
  ASSERT_TRUE(timers_.SetLPSTimer(CMainDlgTimers::kDailyOnTimerId, false, 0));
  EXPECT_FALSE(armed(3));
  EXPECT_EQ(timers_.LPSTimer(3), -1);
  EXPECT_TRUE(logged("SetLPSTimer(): the DAILY-ON laser power saving timer has been stopped [TimerID = 3]"));
}

TEST_F(TimersTest, TimersAreArmedOnlyWhenTheSettingsAndTheScannerAllowIt) {
  using Set = std::function<void(LaserPowerSaverSettings&, FakeScanDlgHooks&, lumetra_test::FakeScanCtrl&)>;
  struct Case {
    const char* what;
    Set set;
    unsigned id;
    bool result;
  } cases[] = {
      {"master switch off", [](auto& s, auto&, auto&) { s.EnableSaverAutoTasks = 0; }, 3, false},
      {"model K7431A", [](auto&, auto& h, auto&) { h.scannerType = 0; }, 4, false},
      {"model not recognised", [](auto&, auto& h, auto&) { h.scannerType = 3; }, 5, false},
      {"no daily switch-on", [](auto& s, auto&, auto&) { s.AutoDailyOnOption = 0; }, 3, true},
      {"no daily switch-off", [](auto& s, auto&, auto&) { s.EnableDailyOff = 0; }, 4, true},
      {"no idle switch-off", [](auto& s, auto&, auto&) { s.EnableMaxNonUsePeriod = 0; }, 5, true},
      {"idle period 0", [](auto& s, auto&, auto&) { s.MaxNonUsePeriod = 0; }, 5, true},
      {"scanner not ready", [](auto&, auto&, auto& c) { c.state = kStateWarming; }, 5, true},
      {"state unreadable", [](auto&, auto&, auto& c) { c.Fail("get_ScannerState", 600); }, 5, true},
  };
  for (const auto& c : cases) {
    FakeScanDlgHooks hooks;
    CMainDlgTimers timers(hooks);
    timers.SetScanCtrl(scanCtrl_.get());
    timers.LPSSettings() = timers_.LPSSettings();
    c.set(timers.LPSSettings(), hooks, *scanCtrl_);
    EXPECT_EQ(timers.SetLPSTimer(c.id, true, 0), c.result) << c.what;
    EXPECT_TRUE(hooks.timers.empty()) << c.what;
    EXPECT_EQ(timers.LPSTimer(c.id), -1) << c.what;
    scanCtrl_->state = kStateReady;
    scanCtrl_->ClearFailures();
  }
  EXPECT_TRUE(logged("SetLPSTimer (NONUSE-OFF timer): the scanner is not ready yet, skip to set the timer."));
}

TEST_F(TimersTest, TimerFailuresAreShownAndReported) {
  EXPECT_FALSE(timers_.SetLPSTimer(7, true, 0));
  EXPECT_TRUE(hooks_.Did("box Tarsel Halvorn: Found an invalid LPS timer ID (7)."));
  EXPECT_TRUE(logged("SetLPSTimer(): Found an invalid LPS timer ID (7)."));

  hooks_.timersRefused = true;
  EXPECT_FALSE(timers_.SetLPSTimer(3, true, 0));
  EXPECT_TRUE(hooks_.Did("box Tarsel Halvorn: Failed to set the DAILY-ON laser power saving timer."));
  EXPECT_EQ(timers_.LPSTimer(3), -1);

  hooks_.timersRefused = false;
  ASSERT_TRUE(timers_.SetLPSTimer(3, true, 0));
  hooks_.killRefused = true;
  EXPECT_FALSE(timers_.SetLPSTimer(3, false, 0));
  EXPECT_TRUE(hooks_.Did("box Tarsel Halvorn: Failed to stop the DAILY-ON laser power saving timer."));
  EXPECT_EQ(timers_.LPSTimer(3), 3);
  for (unsigned type : hooks_.boxTypes) EXPECT_EQ(type, platform::ui::MB_OK | platform::ui::MB_ICONERROR);
}

TEST_F(TimersTest, ResetLPSTasksKeepsTheIdleTimerOnlyWhenAsked) {
  ASSERT_TRUE(timers_.SetLPSTimer(5, true, 1000));
  timers_.ResetLPSTasks(true);
  EXPECT_EQ(hooks_.timers.at(5), 1000u);
  EXPECT_TRUE(armed(3) && armed(4));

  timers_.ResetLPSTasks(false);
  EXPECT_EQ(minutes(5), 60u);

  timers_.LPSSettings().EnableSaverAutoTasks = 0;
  timers_.ResetLPSTasks(false);
  EXPECT_TRUE(hooks_.timers.empty());

  // K7431A: nothing is touched at all.
  timers_.LPSSettings().EnableSaverAutoTasks = 1;
  timers_.ResetLPSTasks(false);
  hooks_.scannerType = 0;
  timers_.ResetLPSTasks(false);
  EXPECT_TRUE(armed(3) && armed(4) && armed(5));
}

TEST_F(TimersTest, AnA_ModelOnlyLogsEveryTimerEvent) {
  hooks_.scannerType = 0;
  for (unsigned id : {1u, 2u, 3u, 4u, 5u}) timers_.OnTimer(id);
  EXPECT_TRUE(scanCtrl_->Calls().empty());
  const std::string text = log();
  std::size_t n = 0;
  const std::string line = "<CScanDlg::OnTimer> invalid time out task, (this is not a B/C model scanner).";
  for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  EXPECT_EQ(n, 5u);
}

TEST_F(TimersTest, KeepAliveReachesTheOpenDataPortOnly) {
  hooks_.offline = true;
  EXPECT_FALSE(timers_.StartKeepAliveTimer());
  EXPECT_FALSE(armed(1));
  hooks_.offline = false;
  ASSERT_TRUE(timers_.StartKeepAliveTimer());
  EXPECT_EQ(hooks_.timers.at(1), 300000u);
  EXPECT_EQ(timers_.KeepAliveTimer(), 1);

  timers_.OnTimer(1);
  EXPECT_EQ(calls("SDPKeepAlive"), 1);
  scanCtrl_->keepAliveResult = 0;
  timers_.OnTimer(1);
  EXPECT_TRUE(logged("Falied to enable Data Port Master"));
  scanCtrl_->sdpOpen = 0;
  timers_.OnTimer(1);
  EXPECT_EQ(calls("SDPKeepAlive"), 2);
  EXPECT_TRUE(logged("Couldn't send keep master alive command: The Data Port is not open."));
  scanCtrl_->Fail("SDPIsOpen", 634, 1, "Instrument is busy.");
  timers_.OnTimer(1);
  EXPECT_TRUE(logged("Description: Instrument is busy."));

  timers_.StopAllTimers();
  EXPECT_TRUE(hooks_.timers.empty());
  EXPECT_EQ(timers_.KeepAliveTimer(), -1);
}

TEST_F(TimersTest, TheFirstRedCalibrationIsSkippedUnlessDueAndPossible) {
  struct Case {
    const char* what;
    bool ready, did;
    RunDlgState runDlg;
    const char* line;
  } cases[] = {
      {"laser not ready", false, false, RunDlgState::none,
       "either the laser is OFF or is not ready to adjust yet."},
      {"done already", true, true, RunDlgState::none, "either did already or the system is in Carousel Run."},
      {"run dialog open", true, false, RunDlgState::idle,
       "either did already or the system is in Carousel Run."},
  };
  for (const auto& c : cases) {
    scanCtrl_->redLaserReadyToAdjust = c.ready;
    scanCtrl_->redLaserDid1stCalibration = c.did;
    hooks_.runDlg = c.runDlg;
    hooks_.actions.clear();
    ASSERT_TRUE(timers_.StartRedLaserCalibTimer(90000));
    EXPECT_EQ(hooks_.timers.at(2), 90000u);
    timers_.OnTimer(2);
    EXPECT_FALSE(armed(2)) << c.what;
    EXPECT_EQ(timers_.RedLaserCalibTimer(), -1);
    EXPECT_FALSE(timers_.IsRedLaserCalibrating()) << c.what;
    EXPECT_TRUE(hooks_.actions.empty()) << c.what;
    EXPECT_TRUE(logged(c.line)) << c.what;
  }
  EXPECT_EQ(calls("CalibrateLaser"), 0);
  EXPECT_TRUE(logged("<CScanDlg::OnTimer> The 1st-time Red laser power calibration task time out (ID = 2)."));
}

TEST_F(TimersTest, TheFirstRedCalibrationRunsOnAWorkerAndReportsOnTheUiThread) {
  scanCtrl_->redLaserDid1stCalibration = 0;
  scanCtrl_->state = kStateReady;
  platform::Event release(true);
  scanCtrl_->Hook("CalibrateLaser", [&] {
    (void)release.wait(std::chrono::seconds(30));
    return platform::com::S_OK;
  });
  timers_.StartRedLaserCalibTimer(60000);
  timers_.OnTimer(2);
  EXPECT_TRUE(timers_.IsRedLaserCalibrating());
  EXPECT_EQ(hooks_.actions, (std::vector<std::string>{"status Calibrating red laser power...", "state 0 7"}));
  // A second tick while it runs starts nothing.
  timers_.StartRedLaserCalibTimer(60000);
  timers_.OnTimer(2);
  release.set();
  ASSERT_TRUE(hooks_.RunPosted());
  EXPECT_FALSE(timers_.IsRedLaserCalibrating());
  EXPECT_EQ(hooks_.actions.back(), "state 1 3");
  EXPECT_EQ(scanCtrl_->Calls("CalibrateLaser"), std::vector<std::string>{"CalibrateLaser(1)"});

  // A failed calibration shows its text; the state read before is applied.
  scanCtrl_->Hook("CalibrateLaser", nullptr);
  scanCtrl_->Fail("CalibrateLaser", 4321, 1, "Red laser power is below specification.");
  scanCtrl_->state = kStateWarming;
  hooks_.actions.clear();
  timers_.StartRedLaserCalibTimer(60000);
  timers_.OnTimer(2);
  ASSERT_TRUE(hooks_.RunPosted());
  EXPECT_EQ(hooks_.actions, (std::vector<std::string>{
                                "status Calibrating red laser power...", "state 0 7",
                                "status Description: Red laser power is below specification.", "state 1 5"}));
}

TEST_F(TimersTest, AResultArrivingAfterTheTimersWentIsDropped) {
  scanCtrl_->redLaserDid1stCalibration = 0;
  FakeScanDlgHooks hooks;
  {
    CMainDlgTimers timers(hooks);
    timers.SetScanCtrl(scanCtrl_.get());
    timers.StartRedLaserCalibTimer(1000);
    timers.OnTimer(2);
  }
  hooks.actions.clear();
  ASSERT_TRUE(hooks.RunPosted());
  EXPECT_TRUE(hooks.actions.empty());
}

TEST_F(TimersTest, DailyOnSkipsWeekendsWhenAskedButKeepsItsSchedule) {
  timers_.LPSSettings().AutoDailyOnOption = 1;
  scanCtrl_->redLaserOn = scanCtrl_->greenLaserOn = 0;
  setLocalTime(2026, 12, 12, 7, 0);  // Saturday
  timers_.OnTimer(3);
  EXPECT_EQ(calls("SetOnOffLaserPowers"), 0);
  EXPECT_EQ(minutes(3), 1440u);

  setLocalTime(2026, 12, 14, 7, 0);  // Monday
  timers_.OnTimer(3);
  EXPECT_EQ(scanCtrl_->Calls("SetOnOffLaserPowers"), std::vector<std::string>{"SetOnOffLaserPowers(1)"});
  EXPECT_TRUE(logged("Got a LPS DAILY-ON task - lasers will be turned ON now"));
  EXPECT_EQ(minutes(3), 1440u);
  // The lasers came on: a period without use starts.
  EXPECT_EQ(minutes(5), 60u);

  // Every day: Sunday too.
  timers_.LPSSettings().AutoDailyOnOption = 2;
  scanCtrl_->redLaserOn = 0;
  setLocalTime(2026, 12, 13, 7, 0);
  timers_.OnTimer(3);
  EXPECT_EQ(calls("SetOnOffLaserPowers"), 2);
}

TEST_F(TimersTest, BusyTasksAreSkipped) {
  scanCtrl_->redLaserOn = 0;
  hooks_.taskRunning = true;
  timers_.OnTimer(3);
  EXPECT_TRUE(logged("Got a LPS DAILY-ON time out task - the system is busy, task skipped"));
  EXPECT_TRUE(armed(3));

  // A run goes on: the idle switch-off is skipped and not re-armed.
  hooks_.taskRunning = false;
  hooks_.busy = true;
  hooks_.runDlg = RunDlgState::busy;
  scanCtrl_->redLaserOn = 1;
  ASSERT_TRUE(timers_.SetLPSTimer(5, true, 0));
  timers_.OnTimer(5);
  EXPECT_TRUE(logged("Got a LPS NONUSE-OFF task - the system is busy, task skipped."));
  EXPECT_FALSE(armed(5));
  timers_.OnTimer(4);
  EXPECT_TRUE(logged("Got a LPS DAILY-OFF task - the system is busy, task skipped."));
  EXPECT_TRUE(armed(4));
  EXPECT_EQ(calls("SetOnOffLaserPowers"), 0);
}

TEST_F(TimersTest, IsSystemIdle) {
  struct Case {
    bool offline, portOpen, task, busy;
    RunDlgState runDlg;
    bool idle;
  } cases[] = {
      {false, true, false, false, RunDlgState::none, true},
      {true, true, false, false, RunDlgState::none, false},
      {false, false, false, false, RunDlgState::none, false},
      {false, true, true, false, RunDlgState::none, false},
      {false, true, false, true, RunDlgState::none, false},
      {false, true, false, true, RunDlgState::busy, false},
      {false, true, false, true, RunDlgState::idle, true},
  };
  for (const auto& c : cases) {
    hooks_.offline = c.offline;
    scanCtrl_->sdpOpen = c.portOpen;
    hooks_.taskRunning = c.task;
    hooks_.busy = c.busy;
    hooks_.runDlg = c.runDlg;
    EXPECT_EQ(timers_.IsSystemIdle(), c.idle) << &c - cases;
  }
}

TEST_F(TimersTest, EveningSwitchOffShowsTheNoticeUntilTheUserOrTheMorningClosesIt) {
  // Lasers already off: nothing to switch, no notice.
  scanCtrl_->redLaserOn = scanCtrl_->greenLaserOn = 0;
  timers_.OnTimer(4);
  EXPECT_TRUE(hooks_.notices.empty());
  EXPECT_EQ(calls("SetOnOffLaserPowers"), 0);

  // The user closes it.
  scanCtrl_->redLaserOn = scanCtrl_->greenLaserOn = 1;
  timers_.OnTimer(4);
  EXPECT_EQ(hooks_.notices, std::vector<std::string>{"Lasers have been turned off..."});
  EXPECT_EQ(scanCtrl_->Calls("SetOnOffLaserPowers"), std::vector<std::string>{"SetOnOffLaserPowers(0)"});
  EXPECT_TRUE(logged("<CScanDlg::OnTimer> The laser power auto-off message dialog box closed by user"));
  EXPECT_FALSE(timers_.AutoOffNoticeOpen());

  // Timer ticks arrive inside the notice's loop: another switch-off adds no second
  // notice, the morning's switch-on closes it.
  scanCtrl_->redLaserOn = scanCtrl_->greenLaserOn = 1;
  bool openInside = false;
  hooks_.noticeLoop = [&](FakeNotice& notice) {
    openInside = timers_.AutoOffNoticeOpen();
    scanCtrl_->redLaserOn = 1;  // someone switched the red one on again
    timers_.OnTimer(5);
    timers_.OnTimer(3);
    EXPECT_FALSE(notice.Showing());
    return platform::ui::IDOK;
  };
  timers_.OnTimer(4);
  EXPECT_TRUE(openInside);
  EXPECT_EQ(hooks_.notices.size(), 2u);
  EXPECT_TRUE(logged("<CScanDlg::OnTimer> Try to close the laser power auto-off message dialog box"));
  EXPECT_TRUE(
      logged("<CScanDlg::OnTimer> The laser power auto-off message dialog box closed by auto-on task"));
  EXPECT_FALSE(timers_.AutoOffNoticeOpen());
  EXPECT_EQ(scanCtrl_->redLaserOn, 1);
  EXPECT_EQ(scanCtrl_->greenLaserOn, 1);
}

TEST_F(TimersTest, UndefinedTasksStopTheirTimers) {
  ASSERT_TRUE(timers_.SetLPSTimer(3, true, 0));
  timers_.LPSSettings().EnableSaverAutoTasks = 0;
  timers_.OnTimer(3);
  EXPECT_TRUE(
      logged("<CScanDlg::OnTimer> invalid LPS time out task, (none auto task has been defined yet)."));
  EXPECT_FALSE(armed(3));

  timers_.LPSSettings().EnableSaverAutoTasks = 1;
  ASSERT_TRUE(timers_.SetLPSTimer(4, true, 0));
  timers_.LPSSettings().EnableDailyOff = 0;
  timers_.OnTimer(4);
  EXPECT_TRUE(logged("Got an invalid LPS DAILY-OFF time out task - the task has not been defined yet)."));
  EXPECT_FALSE(armed(4));

  hooks_.timers[9] = 1;
  timers_.OnTimer(9);
  EXPECT_TRUE(logged("<CScanDlg::OnTimer> Got an invalid LPS timer ID (9)."));
  EXPECT_FALSE(armed(9));
  EXPECT_EQ(calls("SetOnOffLaserPowers"), 0);
}

TEST_F(TimersTest, LaserPowerSwitching) {
  bool on = false;
  ASSERT_TRUE(timers_.GetLaserPowerStatus(&on));
  EXPECT_TRUE(on);
  scanCtrl_->greenLaserOn = 0;
  ASSERT_TRUE(timers_.GetLaserPowerStatus(&on));
  EXPECT_FALSE(on);

  // Already in the asked state: nothing is sent.
  scanCtrl_->greenLaserOn = 1;
  EXPECT_TRUE(timers_.SetLaserPower(true));
  EXPECT_EQ(calls("SetOnOffLaserPowers"), 0);

  // The server refuses: the switch is not reported as done.
  scanCtrl_->laserPowersResult = 0;
  EXPECT_FALSE(timers_.SetLaserPower(false));
  scanCtrl_->laserPowersResult = 1;
  scanCtrl_->Fail("SetOnOffLaserPowers", 700);
  EXPECT_FALSE(timers_.SetLaserPower(false));

  // Switching off stops the idle timer.
  ASSERT_TRUE(timers_.SetLPSTimer(5, true, 0));
  EXPECT_TRUE(timers_.SetLaserPower(false));
  EXPECT_FALSE(armed(5));

  // Without a ready data port nothing can be read or switched.
  scanCtrl_->sdpConfigured = 0;
  EXPECT_TRUE(timers_.IsDataPortNotReady());
  EXPECT_FALSE(timers_.GetLaserPowerStatus(&on));
  EXPECT_FALSE(timers_.SetLaserPower(true));
  scanCtrl_->sdpConfigured = 1;
  scanCtrl_->Fail("LaserPowerStatus", 700);
  EXPECT_FALSE(timers_.GetLaserPowerStatus(&on));
}

}  // namespace
}  // namespace tools_test
