// The main window tools' windows on a real (virtual) display.
#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/config.h>
#include <wx/display.h>
#include <wx/frame.h>
#include <wx/propgrid/manager.h>
#include <wx/timer.h>

#include <future>

#include "FakeLaserControl.h"
#include "Jotwell/Utilities.h"
#include "ToolsFixture.h"
#include "maindlg/tools/AboutDlg.h"
#include "maindlg/tools/ExLaserCalibMsgDlg.h"
#include "maindlg/tools/LaserAutoOffMsgDlg.h"
#include "maindlg/tools/LaserPwrSaveTaskDlg.h"
#include "maindlg/tools/MainDlgTimers.h"
#include "maindlg/tools/SplashWnd.h"
#include "platform/dynlib.h"
#include "testsupport/WxTestEnv.h"

namespace wxtest {
inline testsupport::TempDir gConfigDir;
inline ::testing::Environment* const gEnvironment = ::testing::AddGlobalTestEnvironment(
    new WxEnvironment("Lumetra_maindlg_tools_gui_tests", gConfigDir.file("placement.ini")));
}  // namespace wxtest

namespace tools_test {
namespace {

using Item = lumetra::LaserPwrSaveTaskModel::Item;

class ToolsWindowTest : public ToolsTest {
 protected:
  void SetUp() override {
    if (!wxtest::gDisplay) GTEST_SKIP() << "no display";
    frame_ = new wxFrame(nullptr, wxID_ANY, "Scanner");
    frame_->Show();
  }
  void TearDown() override {
    if (!wxtest::gDisplay) return;
    frame_->Destroy();
    wxtest::settle();
  }
  void click(wxWindow* button) {
    wxCommandEvent e(wxEVT_BUTTON, button->GetId());
    e.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(e);
  }
  std::uint32_t references() {
    scanCtrl_->AddRef();
    return scanCtrl_->Release();
  }

  wxFrame* frame_ = nullptr;
};

TEST_F(ToolsWindowTest, AboutBoxShowsWhatCanBeReadNow) {
  struct Case {
    bool offline, busy;
    const char* box;
  } cases[] = {
      {true, false,
       "About Halvorn System: Some system information are not available right now since the scanner is not "
       "connected yet.\n\nPlease try later."},
      {false, true,
       "About Halvorn System: Some system information are not available right now since the scanner is "
       "busy.\n\nPlease try later."},
  };
  for (const auto& c : cases) {
    boxes_.clear();
    CAboutDlg about(frame_, scanCtrl_.get(), c.offline, c.busy);
    EXPECT_EQ(boxes_, std::vector<std::string>{c.box});
    EXPECT_EQ(about.Text(CAboutDlg::kIdMovrak), scanCtrl_->softwareVersion);
    for (int id : {CAboutDlg::kIdModel, CAboutDlg::kIdSerialNumber, CAboutDlg::kIdRuntime,
                   CAboutDlg::kIdBootRom, CAboutDlg::kIdScanDsp, CAboutDlg::kIdVcDsp, CAboutDlg::kIdAfDsp})
      EXPECT_EQ(about.Text(id), "Unknown") << id;
  }

  boxes_.clear();
  const std::uint32_t before = references();
  CAboutDlg about(frame_, scanCtrl_.get(), false, false);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(references(), before + 1);  // held while the box lives
  EXPECT_EQ(about.Text(CAboutDlg::kIdModel), "K7431B");
  EXPECT_EQ(about.Text(CAboutDlg::kIdSerialNumber), "SN000001");
  EXPECT_EQ(about.Text(CAboutDlg::kIdRuntime), "RT 1.0");
  EXPECT_EQ(about.Text(CAboutDlg::kIdBootRom), "BOOT 1.0");
  EXPECT_EQ(about.Text(CAboutDlg::kIdScanDsp), "SCAN 1.0");
  EXPECT_EQ(about.Text(CAboutDlg::kIdVcDsp), "VC 1.0");
  EXPECT_EQ(about.Text(CAboutDlg::kIdAfDsp), "AF 1.0");
  EXPECT_EQ(about.Text(CAboutDlg::kIdHost), GetVersionString(platform::mainProgramModule()));
  wxtest::screenshot(&about, "about.png");
  click(about.FindWindow(wxID_OK));
  EXPECT_EQ(references(), before);
}

TEST_F(ToolsWindowTest, SplashGoesAtTheFirstPressAndSwallowsIt) {
  CSplashWnd::EnableSplashScreen(false);
  CSplashWnd::ShowSplashScreen(frame_);
  EXPECT_EQ(CSplashWnd::Current(), nullptr);

  CSplashWnd::EnableSplashScreen(true);
  CSplashWnd::ShowSplashScreen(frame_);
  CSplashWnd* splash = CSplashWnd::Current();
  ASSERT_NE(splash, nullptr);
  EXPECT_EQ(splash->GetTimeout(), CSplashWnd::kTimeoutMs);
  EXPECT_TRUE(splash->IsShown());
  CSplashWnd::ShowSplashScreen(frame_);
  EXPECT_EQ(CSplashWnd::Current(), splash);
  wxtest::screenshot(splash, "splash.png");

  int keys = 0;
  frame_->Bind(wxEVT_KEY_DOWN, [&](wxKeyEvent&) { ++keys; });
  wxKeyEvent key(wxEVT_KEY_DOWN);
  key.SetEventObject(frame_);
  EXPECT_TRUE(frame_->GetEventHandler()->ProcessEvent(key));
  EXPECT_EQ(keys, 0);
  EXPECT_EQ(CSplashWnd::Current(), nullptr);
  wxtest::settle();
  // Gone: presses reach the window again.
  wxKeyEvent again(wxEVT_KEY_DOWN);
  again.SetEventObject(frame_);
  frame_->GetEventHandler()->ProcessEvent(again);
  EXPECT_EQ(keys, 1);
  EXPECT_FALSE(CSplashWnd::PreTranslateAppMessage(again));

  // A new one can be shown; hiding it leaves none.
  CSplashWnd::ShowSplashScreen(frame_);
  ASSERT_NE(CSplashWnd::Current(), nullptr);
  CSplashWnd::HideSplashScreen();
  EXPECT_EQ(CSplashWnd::Current(), nullptr);
  CSplashWnd::EnableSplashScreen(false);
  wxtest::settle();
}

TEST_F(ToolsWindowTest, CalibrationWaitDialogClosesOnlyWhenTheWorkerEnds) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  scanCtrl_->Hook("CalibrateLaser", [released] {
    released.wait_for(std::chrono::seconds(30));
    return platform::com::S_OK;
  });
  CExLaserCalibMsgDlg dialog(frame_, scanCtrl_.get(), "Calibration is in progress");
  EXPECT_FALSE(dialog.HasFlag(wxCLOSE_BOX));
  wxtest::Watchdog watchdog;
  bool stillOpen = false;
  std::string waitText;
  wxTheApp->CallAfter([&] {
    ASSERT_TRUE(scanCtrl_->WaitForCalls("CalibrateLaser", 1));
    dialog.Close();  // the close box, as the window manager sends it
    wxKeyEvent escape(wxEVT_CHAR_HOOK);
    escape.m_keyCode = WXK_ESCAPE;
    dialog.GetEventHandler()->ProcessEvent(escape);
    wxtest::settle();
    stillOpen = dialog.IsModal();
    for (int i = 0; i < 22; ++i) dialog.Tick();
    waitText = dialog.WaitText();
    wxtest::screenshot(&dialog, "exlasercalib.png");
    release.set_value();
  });
  EXPECT_EQ(dialog.ShowModal(), wxID_OK);
  EXPECT_TRUE(stillOpen);
  // The dialog's own second plus 22 ticks: the text started again at tick 20.
  EXPECT_EQ(waitText.rfind("Please wait ", 0), 0u);
  EXPECT_LT(waitText.size(), std::string("Please wait ").size() + 4);
  EXPECT_EQ(scanCtrl_->Calls("CalibrateLaser").size(), 2u);
  EXPECT_TRUE(logged("END FUNCTION EXTENDED_LASER_CALIBRATION"));
}

TEST_F(ToolsWindowTest, LaserOffNoticeIgnoresEscapeAndTheCloseBox) {
  FakeLaserControl control;
  control.on = false;
  CLaserAutoOffMsgDlg notice(control, "Lasers have been turned off...", frame_);
  EXPECT_FALSE(notice.Showing());
  wxtest::Watchdog watchdog;
  bool stillOpen = false, showing = false;
  wxTheApp->CallAfter([&] {
    notice.Close();
    wxKeyEvent escape(wxEVT_CHAR_HOOK);
    escape.m_keyCode = WXK_ESCAPE;
    notice.GetEventHandler()->ProcessEvent(escape);
    wxtest::settle();
    stillOpen = notice.IsModal();
    showing = notice.Showing();
    wxtest::screenshot(&notice, "laserautooff.png");
    click(notice.FindWindow(wxID_OK));
  });
  EXPECT_EQ(notice.RunNotice(), platform::ui::IDOK);
  EXPECT_TRUE(stillOpen);
  EXPECT_TRUE(showing);
  EXPECT_FALSE(notice.Showing());
  EXPECT_EQ(control.switched, std::vector<bool>{true});
  EXPECT_TRUE(logged("User is asking to turn on laser powers"));
}

// The main window's side, as the main-window engineer wires it: real notices, timer ticks
// arriving while the notice's modal loop runs.
class NoticeHooks : public FakeScanDlgHooks {
 public:
  NoticeHooks(wxWindow* parent) : parent_(parent) {}
  CMainDlgTimers* timers = nullptr;
  std::unique_ptr<lumetra::IAutoOffNotice> CreateAutoOffNotice(const std::string& text) override {
    notices.push_back(text);
    return std::make_unique<CLaserAutoOffMsgDlg>(*timers, text, parent_);
  }

 private:
  wxWindow* parent_;
};

TEST_F(ToolsWindowTest, TheMorningSwitchOnClosesTheEveningNotice) {
  NoticeHooks hooks(frame_);
  CMainDlgTimers timers(hooks);
  hooks.timers = &timers;
  timers.SetScanCtrl(scanCtrl_.get());
  timers.LPSSettings().EnableSaverAutoTasks = 1;
  timers.LPSSettings().AutoDailyOnOption = 2;
  wxtest::Watchdog watchdog;
  bool noticeOpen = false;
  wxTheApp->CallAfter([&] {
    noticeOpen = timers.AutoOffNoticeOpen();
    timers.OnTimer(CMainDlgTimers::kDailyOnTimerId);
  });
  timers.OnTimer(CMainDlgTimers::kDailyOffTimerId);
  EXPECT_TRUE(noticeOpen);
  EXPECT_FALSE(timers.AutoOffNoticeOpen());
  EXPECT_EQ(scanCtrl_->Calls("SetOnOffLaserPowers"),
            (std::vector<std::string>{"SetOnOffLaserPowers(0)", "SetOnOffLaserPowers(1)"}));
  EXPECT_TRUE(
      logged("<CScanDlg::OnTimer> The laser power auto-off message dialog box closed by auto-on task"));
}

TEST_F(ToolsWindowTest, SettingsDialogEditsTheRecordOnlyOnOkAfterAChange) {
  FakeLaserControl control;
  LaserPowerSaverSettings record;  // master switch off
  {
    CLaserPwrSaveTaskDlg dialog(&record, control, frame_);
    wxPropertyGridManager* grid = dialog.Grid();
    EXPECT_EQ(dialog.LaserButton()->GetLabel(), "&Turn Lasers Off Now");
    EXPECT_TRUE(dialog.LaserButton()->IsEnabled());
    EXPECT_FALSE(dialog.ResetButton()->IsEnabled());
    for (Item item : {Item::DailyOn, Item::DailyOnAt, Item::DailyOff, Item::NonUseOff, Item::IdleHours})
      EXPECT_TRUE(dialog.Item(item)->HasFlag(wxPG_PROP_READONLY)) << static_cast<int>(item);
    EXPECT_FALSE(dialog.Item(Item::EnableAuto)->HasFlag(wxPG_PROP_READONLY));

    // The master switch on: the schedule opens up.
    grid->ChangePropertyValue(dialog.Item(Item::EnableAuto), wxVariant(1L));
    EXPECT_TRUE(dialog.ResetButton()->IsEnabled());
    EXPECT_FALSE(dialog.Item(Item::DailyOnAt)->HasFlag(wxPG_PROP_READONLY));
    // "Turn OFF when idle" off: its slider is read-only and folded away.
    grid->ChangePropertyValue(dialog.Item(Item::NonUseOff), wxVariant(0L));
    EXPECT_TRUE(dialog.Item(Item::IdleHours)->HasFlag(wxPG_PROP_READONLY));
    EXPECT_FALSE(dialog.Item(Item::NonUseOff)->IsExpanded());
    wxtest::screenshot(&dialog, "laserpwrsavetask.png");

    // Equal on and off times are refused.
    grid->ChangePropertyValue(dialog.Item(Item::DailyOffAt), wxVariant(14L));  // 07:00, as the on time
    EXPECT_FALSE(dialog.OnOK());
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(record.EnableSaverAutoTasks, 0);

    grid->ChangePropertyValue(dialog.Item(Item::DailyOffAt), wxVariant(40L));  // 20:00
    EXPECT_TRUE(dialog.OnOK());
    EXPECT_TRUE(dialog.Changed());
  }
  EXPECT_EQ(record.EnableSaverAutoTasks, 1);
  EXPECT_EQ(record.EnableMaxNonUsePeriod, 0);
  EXPECT_EQ(record.DailyTurnOffAt, 1200);
  EXPECT_EQ(record.DailyTurnOnAt, 420);

  {
    CLaserPwrSaveTaskDlg dialog(&record, control, frame_);
    EXPECT_TRUE(dialog.OnOK());
    EXPECT_FALSE(dialog.Changed());
  }
  {
    CLaserPwrSaveTaskDlg dialog(&record, control, frame_);
    dialog.OnReset();
    EXPECT_FALSE(dialog.Item(Item::IdleHours)->HasFlag(wxPG_PROP_READONLY));
    EXPECT_TRUE(dialog.OnOK());
    EXPECT_TRUE(dialog.Changed());
  }
  EXPECT_EQ(record.EnableMaxNonUsePeriod, 1);
  EXPECT_EQ(record.DailyTurnOffAt, 1020);
  EXPECT_EQ(record.MaxNonUsePeriod, 60);

  // The laser button switches and renames itself; without a data port it is off.
  {
    CLaserPwrSaveTaskDlg dialog(&record, control, frame_);
    click(dialog.LaserButton());
    EXPECT_EQ(control.switched, std::vector<bool>{false});
    EXPECT_EQ(dialog.LaserButton()->GetLabel(), "&Turn Lasers on Now");
  }
  control.portNotReady = true;
  CLaserPwrSaveTaskDlg dialog(&record, control, frame_);
  EXPECT_FALSE(dialog.LaserButton()->IsEnabled());
}

// Saved at 2000x1600 beyond the right and bottom of a larger screen: the dialog opens
// inside this display, OK and Cancel within reach.
TEST_F(ToolsWindowTest, SettingsDialogSavedOnALargerScreenOpensInsideThisOne) {
  const wxString key = "Persistent_Options/Window/LaserPowerSaver/";
  wxConfigBase* config = wxConfigBase::Get();
  for (const auto& [name, value] : {std::pair{"x", 1500}, {"y", 1100}, {"w", 2000}, {"h", 1600}})
    config->Write(key + name, value);
  FakeLaserControl control;
  LaserPowerSaverSettings record;
  CLaserPwrSaveTaskDlg dialog(&record, control, frame_);
  dialog.Show();
  wxtest::settle();
  const wxRect area = wxDisplay(0u).GetClientArea();
  EXPECT_TRUE(area.Contains(dialog.GetScreenRect()));
  for (const int id : {wxID_OK, wxID_CANCEL}) {
    wxWindow* button = dialog.FindWindow(id);
    ASSERT_NE(button, nullptr) << id;
    EXPECT_TRUE(area.Contains(button->GetScreenRect())) << id;
  }
  wxtest::screenshot(&dialog, "laserpwrsavetask-restored.png");
}

}  // namespace
}  // namespace tools_test
