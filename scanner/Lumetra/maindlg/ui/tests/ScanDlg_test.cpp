// The main window on a real (virtual) display, over the fake instrument.
#include "maindlg/ui/ScanDlg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/config.h>
#include <wx/dialog.h>
#include <wx/display.h>
#include <wx/menu.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include <future>
#include <thread>

#include "FakeScanCtrl.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "ProfileFixture.h"
#include "config/ConfigUi.h"
#include "config/ui/CarouselCfgGrid.h"
#include "maindlg/SingleInstance.h"
#include "run/RunStatus.h"
#include "run/ui/RunProgressDlg.h"
#include "testsupport/TestEnv.h"
#include "testsupport/WxTestEnv.h"

namespace {

using namespace lumetra::maindlg;
using wxtest::gDisplay;
namespace ui = platform::ui;

testsupport::TempDir gConfigDir;
::testing::Environment* const gEnvironment = ::testing::AddGlobalTestEnvironment(
    new wxtest::WxEnvironment("Lumetra_maindlg_gui_tests", gConfigDir.file("placement.ini")));

class ScanDlgWindowTest : public ProfileTest {
 protected:
  void SetUp() override {
    if (!gDisplay) GTEST_SKIP() << "no display";
    appDir_ = tempDir() + "/host";
    EXPECT_TRUE(platform::createDirectories(appDir_));
    testsupport::writeFile(appDir_ + "/ChipRegions.ini", kRegions);
    scan_ = lumetra_test::FakeScanCtrl::Create();
    scan_->model = "K7431C";
    dialog_ = new CScanDlg(nullptr);
    CScanDlgCore& core = dialog_->Core();
    core.m_strAppDir = appDir_;
    core.m_InitPortLib = [] { return true; };
    core.m_CreateScanCtrl = [this] {
      scan_->AddRef();
      return platform::com::ComPtr<IScanCtrl>(scan_.get());
    };
    // Should a scripted step fail to end the window, the test fails instead of hanging.
    watchdog_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
      ADD_FAILURE() << "the window was still open after 60 s";
      for (wxWindow* w : wxTopLevelWindows)
        if (auto* d = dynamic_cast<wxDialog*>(w); d && d->IsModal()) d->EndModal(wxID_CANCEL);
      dialog_->EndDialog(ui::IDCANCEL);
    });
    watchdog_.StartOnce(60000);
  }
  void TearDown() override {
    watchdog_.Stop();
    if (dialog_) dialog_->Destroy();
    if (gDisplay) wxtest::settle();
  }
  // Runs the window with `steps` run inside its modal loop; the end code.
  int run(std::function<void()> steps) {
    dialog_->WhenRunning(std::move(steps));
    return dialog_->DoModal();
  }
  // Posts a state report as the status-poll thread does, and lets the window handle it.
  void reportState(tagScannerState state) {
    dialog_->MessageTarget()->post(lumetra::run::WM_SCANNER_STATE, 0, state);
    wxtest::settle();
  }

  std::string appDir_;
  platform::com::ComPtr<lumetra_test::FakeScanCtrl> scan_;
  CScanDlg* dialog_ = nullptr;
  wxTimer watchdog_;
};

TEST_F(ScanDlgWindowTest, StartsUpShowsTheStateAndClosesThroughExit) {
  bool closeRefused = false;
  const int code = run([&] {
    EXPECT_EQ(dialog_->GetTitle(), "Tarsel Halvorn");
    EXPECT_EQ(dialog_->StartSlotList()->GetCount(), 48u);
    EXPECT_EQ(dialog_->EndSlotList()->GetStringSelection(), "48");
    EXPECT_EQ(dialog_->ProfileList()->GetStringSelection(), "<Default>");
    EXPECT_EQ(dialog_->ScanButton()->GetLabel(), "&Scan Slot 1-48");
    EXPECT_FALSE(dialog_->ScanButton()->IsEnabled());  // busy until the first state report
    EXPECT_EQ(dialog_->Grid()->GetNumberRows(), 48);

    dialog_->Close();  // the close box while busy: refused, the window stays
    wxtest::settle();
    closeRefused =
        dialog_->IsRunningModal() && !boxes_.empty() &&
        boxes_.back() ==
            "The application is busy.  Cannot exit until it is no longer busy or  scan is aborted.";

    reportState(kStateInitializing);
    reportState(kStateReady);
    EXPECT_TRUE(dialog_->ScanButton()->IsEnabled());
    EXPECT_EQ(dialog_->StatusTextCtrl()->GetValue(), "Scanner ready.");
    wxtest::screenshot(dialog_, "maindlg-ready.png");
    // It opens within the display, whichever of the two sizes the tests run on.
    EXPECT_TRUE(wxGetClientDisplayRect().Contains(dialog_->GetScreenRect()));
    for (const wxSize screen : {wxSize(1280, 1024), wxSize(1024, 768)})
      EXPECT_THAT(wxtest::layoutFaultsOnScreen(dialog_, screen), testing::IsEmpty()) << screen.x;

    wxCommandEvent pick(wxEVT_CHOICE, CScanDlg::IDC_START_SLOT);
    dialog_->StartSlotList()->SetStringSelection("12");
    dialog_->StartSlotList()->GetEventHandler()->ProcessEvent(pick);
    EXPECT_EQ(dialog_->ScanButton()->GetLabel(), "&Scan Slot 12-48");
    EXPECT_EQ(dialog_->EndSlotList()->GetCount(), 37u);
    EXPECT_EQ(dialog_->Grid()->GetNumberRows(), 37);

    dialog_->Close();  // idle now: the Exit routine ends the window
  });
  EXPECT_TRUE(closeRefused);
  EXPECT_EQ(code, ui::IDCANCEL);
  EXPECT_EQ(scan_->CallCount("Disconnect"), 1);
  EXPECT_EQ(CRegEdit(HKEY_CURRENT_USER, zeva::kScannerKey).ReadString("LastUsedProfile", ""), "<Default>");
}

// A placement saved on a larger screen (2000x1600, beyond this display's right and bottom
// edges) comes back inside the display: the Scan button and the status bar can be reached.
TEST_F(ScanDlgWindowTest, APlacementSavedOnALargerScreenOpensInsideThisOne) {
  const wxString key = wxString("Persistent_Options/Window/") + CScanDlg::kPlacementName + "/";
  wxConfigBase* config = wxConfigBase::Get();
  for (const auto& [name, value] : {std::pair{"x", 1500}, {"y", 1100}, {"w", 2000}, {"h", 1600}})
    config->Write(key + name, value);
  const int code = run([&] {
    reportState(kStateReady);
    const wxRect area = wxDisplay(0u).GetClientArea();
    EXPECT_TRUE(area.Contains(dialog_->GetScreenRect()));
    EXPECT_TRUE(area.Contains(dialog_->ScanButton()->GetScreenRect()));
    ASSERT_NE(dialog_->GetStatusBar(), nullptr);
    EXPECT_TRUE(area.Contains(dialog_->GetStatusBar()->GetScreenRect()));
    wxtest::screenshot(dialog_, "maindlg-restored.png");
    dialog_->Close();
  });
  EXPECT_EQ(code, ui::IDCANCEL);
}

// Escape is for the control that has the keyboard (a cell editor closes, typing lost in
// that cell only); the window ends through Exit or its close box, never by a stray key.
TEST_F(ScanDlgWindowTest, EscapeClosesTheCellEditorOnlyAndMenuItemsFollowTheState) {
  bool stayedAfterEscape = false;
  bool editorClosed = false;
  const int code = run([&] {
    reportState(kStateInitializing);
    reportState(kStateReady);
    wxMenuBar* bar = dialog_->GetMenuBar();
    ASSERT_NE(bar, nullptr);
    dialog_->UpdateWindowUI();
    EXPECT_TRUE(bar->IsEnabled(CScanDlg::MenuItemId(ID_TOOLS_CAROUSEL_CHECK)));

    // Typing a Slide ID: Escape reaches the editor (the window lets it through) and
    // closes it; the window and the connection stay. No events run between opening the
    // editor and Escape: a grid editor closes itself when it loses the keyboard, and
    // another test's window on the same display may take the keyboard at any time.
    CCarouselCfgGrid* grid = dialog_->Grid();
    grid->SetGridCursor(0, lumetra::CarouselGridModel::kColSlideID);
    grid->EnableCellEditControl();
    ASSERT_TRUE(grid->IsCellEditControlShown());
    wxGridCellEditor* cellEditor = grid->GetCellEditor(0, lumetra::CarouselGridModel::kColSlideID);
    wxWindow* editor = cellEditor->GetWindow();
    cellEditor->DecRef();
    ASSERT_NE(editor, nullptr);
    wxKeyEvent hook(wxEVT_CHAR_HOOK);
    hook.m_keyCode = WXK_ESCAPE;
    hook.SetEventObject(editor);
    const bool consumed = dialog_->GetEventHandler()->ProcessEvent(hook);
    EXPECT_FALSE(consumed);  // left to the control with the keyboard
    if (!consumed) {
      wxKeyEvent down(wxEVT_KEY_DOWN);
      down.m_keyCode = WXK_ESCAPE;
      down.SetEventObject(editor);
      editor->GetEventHandler()->ProcessEvent(down);
    }
    editorClosed = wxtest::runUntil([&] { return !grid->IsCellEditControlShown(); });  // closed after the key
    stayedAfterEscape = dialog_->IsRunningModal() && scan_->CallCount("Disconnect") == 0;

    // Escape with nothing open does nothing either.
    wxKeyEvent escape(wxEVT_CHAR_HOOK);
    escape.m_keyCode = WXK_ESCAPE;
    dialog_->GetEventHandler()->ProcessEvent(escape);
    wxtest::settle();
    stayedAfterEscape = stayedAfterEscape && dialog_->IsRunningModal() && scan_->CallCount("Disconnect") == 0;

    reportState(kStateError);  // the instrument failed: offline from here on
    dialog_->UpdateWindowUI();
    EXPECT_FALSE(bar->IsEnabled(CScanDlg::MenuItemId(ID_TOOLS_CAROUSEL_CHECK)));
    EXPECT_FALSE(bar->IsEnabled(CScanDlg::MenuItemId(ID_TOOLS_UNLOCK_DOOR)));
    EXPECT_TRUE(bar->IsEnabled(CScanDlg::MenuItemId(ID_APP_EXIT)));
    EXPECT_FALSE(dialog_->ScanButton()->IsEnabled());

    // File > Exit ends the window.
    wxCommandEvent exit(wxEVT_MENU, CScanDlg::MenuItemId(ID_APP_EXIT));
    dialog_->GetEventHandler()->ProcessEvent(exit);
  });
  EXPECT_TRUE(editorClosed);
  EXPECT_TRUE(stayedAfterEscape);
  EXPECT_EQ(code, ui::IDCANCEL);
  EXPECT_EQ(scan_->CallCount("Disconnect"), 1);
}

// A message box raised from a dialog over the window (the run's progress dialog saying
// the report cannot be shown) belongs to that dialog, so the dialog stays in front.
TEST_F(ScanDlgWindowTest, AMessageBoxBelongsToTheDialogInFrontNotToTheWindow) {
  wxWindow* fromDialog = nullptr;
  wxDialog* progress = nullptr;
  const int code = run([&] {
    progress = new wxDialog(dialog_, wxID_ANY, "Carousel Run");
    progress->CallAfter([&] {
      fromDialog = MessageBoxParent();
      progress->EndModal(wxID_OK);
    });
    progress->ShowModal();
    dialog_->EndDialog(ui::IDCANCEL);
  });
  EXPECT_EQ(code, ui::IDCANCEL);
  EXPECT_EQ(fromDialog, progress);
  if (progress) progress->Destroy();
}

TEST_F(ScanDlgWindowTest, AnotherCallerFindsTheRunningWindow) {
  RunningInstance found = RunningInstance::none;
  bool told = false;
  const int code = run([&] {
    // The caller waits for the window's answer, so it asks from a thread of its own while
    // this thread keeps handling the window's events.
    auto asked = std::async(std::launch::async, [&] { return FindRunningInstance([&] { told = true; }); });
    while (asked.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) wxTheApp->Yield(true);
    found = asked.get();
    dialog_->EndDialog(ui::IDCANCEL);
  });
  EXPECT_EQ(code, ui::IDCANCEL);
  EXPECT_EQ(found, RunningInstance::windowRaised);  // no host window titled for the scanner here
  EXPECT_TRUE(told);
  EXPECT_EQ(FindRunningInstance([] {}), RunningInstance::none);  // gone with the window
}

TEST_F(ScanDlgWindowTest, RefusedConnectionAnsweredNoEndsTheWindow) {
  scan_->Fail("Connect", 643, 1, "Failed to communicate with Connection Manager.");
  bool ran = false;
  // The connection-failed dialog is answered No by closing it.
  wxTimer answer;
  answer.Bind(wxEVT_TIMER, [](wxTimerEvent&) {
    for (wxWindow* w : wxTopLevelWindows)
      if (auto* d = dynamic_cast<wxDialog*>(w); d && d->IsModal()) {
        if (wxWindow* button = d->FindWindow(wxID_NO)) {
          wxCommandEvent no(wxEVT_BUTTON, wxID_NO);
          no.SetEventObject(button);
          button->GetEventHandler()->ProcessEvent(no);
        }
      }
  });
  answer.Start(100);
  const int code = run([&] { ran = true; });
  answer.Stop();
  EXPECT_EQ(code, ui::IDCANCEL);
  EXPECT_FALSE(ran);  // ended before its loop ran
  EXPECT_EQ(scan_->CallCount("Initialize"), 0);
}

// Offline after the connection failed: the window says so (the reason Scan is off) and
// fits its screen.
TEST_F(ScanDlgWindowTest, OfflineWindowSaysItIsOfflineAndFits) {
  scan_->Fail("Connect", 643, 1, "Failed to communicate with Connection Manager.");
  wxTimer answer;
  answer.Bind(wxEVT_TIMER, [](wxTimerEvent&) {
    for (wxWindow* w : wxTopLevelWindows)
      if (auto* d = dynamic_cast<wxDialog*>(w); d && d->IsModal())
        if (wxWindow* button = d->FindWindow(wxID_YES)) {
          wxCommandEvent yes(wxEVT_BUTTON, wxID_YES);
          yes.SetEventObject(button);
          button->GetEventHandler()->ProcessEvent(yes);
        }
  });
  answer.Start(100);
  const int code = run([&] {
    answer.Stop();
    wxtest::settle();
    EXPECT_EQ(dialog_->StatusTextCtrl()->GetValue(), "Scanner Offline (or awaiting initialization).");
    EXPECT_FALSE(dialog_->ScanButton()->IsEnabled());
    wxtest::screenshot(dialog_, "maindlg-offline.png");
    for (const wxSize screen : {wxSize(1280, 1024), wxSize(1024, 768)})
      EXPECT_THAT(wxtest::layoutFaultsOnScreen(dialog_, screen), testing::IsEmpty()) << screen.x;
    dialog_->EndDialog(ui::IDCANCEL);
  });
  answer.Stop();
  EXPECT_EQ(code, ui::IDCANCEL);
}

// During a run the progress dialog is in front of the window, and the window behind it
// still fits its screen.
TEST_F(ScanDlgWindowTest, DuringARunTheWindowFitsBehindTheProgressDialog) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  scan_->Hook("StartBrowseCarousel", [released] {
    released.wait_for(std::chrono::seconds(30));
    return platform::com::E_FAIL;  // the run then ends at once
  });
  bool sawProgress = false;
  const int code = run([&] {
    reportState(kStateInitializing);
    reportState(kStateReady);
    ASSERT_TRUE(dialog_->ScanButton()->IsEnabled());
    // Runs inside the progress dialog's own loop, while the run waits in the hook.
    dialog_->CallAfter([&] {
      lumetra::CRunProgressDlg* progress = nullptr;
      const bool running = wxtest::runUntil([&] {
        for (wxWindow* w : wxTopLevelWindows)
          if (auto* d = dynamic_cast<lumetra::CRunProgressDlg*>(w); d && d->IsModal()) progress = d;
        return progress && scan_->CallCount("StartBrowseCarousel") == 1;
      });
      if (running) {
        sawProgress = true;
        wxtest::screenshot(dialog_, "maindlg-run.png");
        for (const wxSize screen : {wxSize(1280, 1024), wxSize(1024, 768)})
          EXPECT_THAT(wxtest::layoutFaultsOnScreen(dialog_, screen), testing::IsEmpty()) << screen.x;
      }
      release.set_value();
      if (progress && wxtest::runUntil([&] { return !progress->IsBusy(); })) progress->EndModal(wxID_OK);
    });
    dialog_->Core().OnOK();  // the Scan button: the progress dialog runs until it is closed
    wxtest::settle();        // had no dialog opened, the step above runs here, while its locals live
    dialog_->EndDialog(ui::IDCANCEL);
  });
  EXPECT_TRUE(sawProgress);
  EXPECT_EQ(code, ui::IDCANCEL);
}

// Stands for the system's broadcasts: the test fires them from a thread of its own.
class FakeSystemEvents : public ISystemEvents {
 public:
  bool Start(TimeChangeFn onTimeChange, DeviceChangeFn onDeviceChange) override {
    ++starts;
    timeChange = std::move(onTimeChange);
    deviceChange = std::move(onDeviceChange);
    return true;
  }
  void Stop() override { ++stops; }
  TimeChangeFn timeChange;
  DeviceChangeFn deviceChange;
  int starts = 0, stops = 0;
};

TEST_F(ScanDlgWindowTest, ClockAndDeviceChangesReachTheWindowOnItsThread) {
  const std::string kTimeChanged =
      "INFO: OnTimeChange(): the Windows system's clock has been updated, reset the LPS auto tasks";
  CRegEdit(HKEY_LOCAL_MACHINE, lumetra::kLaserPowerSaverKey).WriteInt("EnableSaverAutoTasks", 1);
  auto owned = std::make_unique<FakeSystemEvents>();
  FakeSystemEvents* events = owned.get();
  dialog_->SetSystemEvents(std::move(owned));
  const int code = run([&] {
    EXPECT_EQ(events->starts, 1);
    reportState(kStateInitializing);
    reportState(kStateReady);
    std::thread system([&] {
      events->deviceChange(DBT_DEVICEARRIVAL, true, "{36fc9e60-c465-11cf-8056-444553540000}");
      events->deviceChange(DBT_DEVICEREMOVECOMPLETE, true, kScanDataPortInterfaceClass);
      events->deviceChange(DBT_DEVICEARRIVAL, true, "{00000000-0000-0000-0000-000000000001}");
      events->timeChange();
    });
    system.join();
    wxtest::settle();
    EXPECT_TRUE(logged("DEBUG(1): <Device_Arrival> Detected: device = ScanerHub"));
    EXPECT_TRUE(logged("DEBUG(1): <Device_Removed> Detected: device = ScannerDataPort"));
    EXPECT_EQ(loggedCount("DEBUG(1): <Device_Arrival> Detected: device = ScanerHub"), 1u);
    EXPECT_EQ(loggedCount(kTimeChanged), 1u);
    dialog_->EndDialog(ui::IDCANCEL);
  });
  EXPECT_EQ(code, ui::IDCANCEL);
  EXPECT_EQ(events->stops, 1);
  // Reported after the window ended: nothing reaches the ended window.
  events->timeChange();
  wxtest::settle();
  EXPECT_EQ(loggedCount(kTimeChanged), 1u);
}

}  // namespace
