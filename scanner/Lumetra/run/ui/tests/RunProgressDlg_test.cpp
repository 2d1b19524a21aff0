// The run progress dialog on a real (virtual) display, over the run manager and a fake
// automation server.
#include "run/ui/RunProgressDlg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <wx/button.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/process.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <memory>
#include <string>

#include "FakeScanCtrl.h"
#include "RecordingWindow.h"
#include "RunWindowsFixture.h"
#include "config/CarouselCfgInfo.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "run/RunStatus.h"
#include "run/ScanDataProc.h"
#include "run/ScanMgr.h"

namespace {

using lumetra::CRunProgressDlg;
using lumetra::RunProgressModel;
using lumetra::run::CScanMgr;
using lumetra_test::FakeScanCtrl;
using lumetra_test::RecordingWindow;
using ::testing::HasSubstr;
using namespace lumetra::run;
namespace ui = platform::ui;

std::string label(wxWindow* w) { return std::string(w->GetLabel().utf8_str()); }

class RunProgressDlgTest : public wxtest::RunWindowTest {
 protected:
  void SetUp() override {
    RunWindowTest::SetUp();
    if (IsSkipped()) return;
    fake_ = FakeScanCtrl::Create();
    mgr_ = std::make_unique<CScanMgr>(&main_, fake_.get(), true);
    config_.FirstSlot = 1;
    config_.LastSlot = 3;
    mgr_->SetRunConfig(&config_);
  }
  void TearDown() override {
    RunWindowTest::TearDown();
    mgr_.reset();
  }
  CRunProgressDlg* open(lumetra::RunMainWindowHooks hooks = {}) {
    auto* dlg = keep(new CRunProgressDlg(nullptr, *mgr_, std::move(hooks)));
    dlg->Show();  // its initialisation starts the run
    return dlg;
  }
  std::string report() const { return testsupport::readFile(tempDir() + "/CarouselRunLog.xml"); }

  RecordingWindow main_;
  platform::Event release_{true};  // outlives the run thread (joined in TearDown)
  platform::com::ComPtr<FakeScanCtrl> fake_;
  CCarouselCfgInfo config_;
  std::unique_ptr<CScanMgr> mgr_;
};

TEST_F(RunProgressDlgTest, ARunWithoutSlidesIsReportedAndEndsWithTheAttentionMessage) {
  fake_->Locked([&] { fake_->adcReset = 1; });
  bool reinit = false;
  lumetra::RunMainWindowHooks hooks;
  hooks.SetReinitAfterRun = [&] { reinit = true; };
  CRunProgressDlg* dlg = open(std::move(hooks));
  EXPECT_NE(mgr_->GetStatusWindow(), &main_);  // the dialog is the status window now
  EXPECT_FALSE(dlg->m_CloseButton->IsEnabled());

  ASSERT_TRUE(wxtest::runUntil([&] { return !dlg->IsBusy(); }));
  EXPECT_EQ(dlg->GetEndCode(), 1);
  EXPECT_FALSE(reinit);
  EXPECT_TRUE(dlg->m_CloseButton->IsEnabled());
  EXPECT_FALSE(dlg->m_AbortButton->IsEnabled());
  const std::string status(dlg->m_StatusText->GetValue().utf8_str());
  EXPECT_TRUE(status.starts_with("\r\nChecking carousel...")) << status;
  EXPECT_THAT(status, HasSubstr("Scan failed.\r\nThere is no chip to scan."));
  EXPECT_EQ(label(dlg->m_CarouselProgressText), "");  // no slide found: no percentage
  EXPECT_EQ(dlg->m_CarouselProgress->GetValue(), 0);

  const std::string xml = report();
  EXPECT_THAT(xml, HasSubstr("<title>TARSEL SCANNER -- CAROUSEL REPORT LOG</title>"));
  EXPECT_THAT(xml, HasSubstr("<log category=\"HEADER\"> Scanner SN: SN000001 </log>"));
  EXPECT_THAT(xml,
              HasSubstr("<log category=\"ATTENTION1\"> Scan failed.\r\nThere is no chip to scan. </log>"));
  EXPECT_THAT(xml, HasSubstr("<log category=\"ATTENTION1\"> ATTENTION! </log>"));
  EXPECT_TRUE(xml.ends_with("\t\t</message_logger>\r\n\t</Corvane>\r\n</project>\r\n"));
  EXPECT_EQ(opened_, std::vector<std::string>{tempDir() + "/CarouselRunLog.htm"});
  EXPECT_EQ(boxWith(RunProgressModel::kAttentionCaption), RunProgressModel::AttentionMessage());

  wxtest::click(dlg, wxID_OK);
  EXPECT_FALSE(dlg->IsShown());
  dlg->Destroy();
  windows_.clear();
  wxtest::settle();
  EXPECT_EQ(mgr_->GetStatusWindow(), &main_);  // given back
  EXPECT_FALSE(mgr_->IsRunInProgress());
}

TEST_F(RunProgressDlgTest, ClosingIsRefusedWhileBusyAndAbortAsksFirst) {
  fake_->Hook("StartBrowseCarousel", [this] {
    (void)release_.wait(std::chrono::seconds(30));
    return platform::com::S_OK;
  });
  CRunProgressDlg* dlg = open();
  ASSERT_TRUE(wxtest::runUntil([&] { return fake_->CallCount("StartBrowseCarousel") == 1; }));

  wxtest::click(dlg, wxID_OK);
  EXPECT_EQ(boxWith(RunProgressModel::kCaption), "Cannot exit..., system is busy.");
  EXPECT_TRUE(dlg->IsShown());
  wxCloseEvent close(wxEVT_CLOSE_WINDOW, dlg->GetId());
  close.SetCanVeto(true);
  dlg->GetEventHandler()->ProcessEvent(close);
  EXPECT_TRUE(close.GetVeto());
  EXPECT_TRUE(dlg->IsShown());

  answers_ = {ui::IDCANCEL, ui::IDNO};
  wxtest::click(dlg, lumetra::IDC_ABORT);  // Cancel: nothing happens
  EXPECT_EQ(mgr_->GetAbortRequest(), 0);
  EXPECT_TRUE(dlg->m_AbortButton->IsEnabled());
  wxtest::click(dlg, lumetra::IDC_ABORT);  // No: after the current scan
  EXPECT_EQ(boxWith(RunProgressModel::kAbortCaption), RunProgressModel::AbortQuestion());
  EXPECT_EQ(mgr_->GetAbortRequest(), 2);
  EXPECT_FALSE(dlg->m_AbortButton->IsEnabled());
  EXPECT_TRUE(dlg->Model().StatusText().ends_with("\r\nTrying to abort carousel run (pending) ..."));

  release_.set();
  ASSERT_TRUE(wxtest::runUntil([&] { return !dlg->IsBusy(); }));
  EXPECT_EQ(dlg->GetEndCode(), 1);
  wxtest::click(dlg, wxID_OK);
  EXPECT_FALSE(dlg->IsShown());
}

TEST_F(RunProgressDlgTest, GoingWhileTheRunWaitsOnItAbortsTheRunWithoutHanging) {
  CRunProgressDlg* dlg = open();
  // No events run: the run thread waits on the dialog with its first status line.
  windows_.clear();
  delete dlg;
  EXPECT_FALSE(mgr_->IsRunInProgress());
  EXPECT_EQ(mgr_->GetAbortRequest(), 1);
  EXPECT_EQ(mgr_->GetStatusWindow(), &main_);
  wxtest::settle();  // what the run sent meanwhile meets a closed window
}

TEST_F(RunProgressDlgTest, RunMessagesReachTheControls) {
  fake_->Hook("StartBrowseCarousel", [] { return platform::com::E_FAIL; });  // the run ends at once
  CRunProgressDlg* dlg = open();
  ASSERT_TRUE(wxtest::runUntil([&] { return !dlg->IsBusy(); }));
  EXPECT_FALSE(dlg->m_AbortButton->IsEnabled());
  EXPECT_TRUE(dlg->m_CloseButton->IsEnabled());

  const std::string name = "/data/scans/2024/" + std::string(40, 'n') + "/Slide12.tif";
  ScanFileRecord record;
  record.slot = 12;
  record.fileName = name.c_str();
  record.barcode = "BC-12";
  record.lines = 400;
  dlg->OnRunMessage(WM_SCAN_FILE_INFO, 0, reinterpret_cast<std::intptr_t>(&record), true);
  EXPECT_EQ(label(dlg->m_SlotNumber), "12");
  EXPECT_EQ(label(dlg->m_Barcode), "BC-12");
  EXPECT_EQ(label(dlg->m_FileName), RunProgressModel::ShortenFileName(name));
  EXPECT_EQ(label(dlg->m_ScanProgressText), "0 %");
  EXPECT_THAT(report(), HasSubstr("<log category=\"HEADER\"> Scanned image: " + name + "\r\n </log>"));

  mgr_->m_nScanStarted = 1;
  dlg->OnRunMessage(WM_SCANDATA_PROGRESS, kScanDataProgress, 100, false);
  EXPECT_EQ(label(dlg->m_ScanProgressText), "25 %");
  EXPECT_EQ(dlg->m_ScanProgress->GetValue(), 25);
  dlg->OnRunMessage(WM_SCANDATA_PROGRESS, kScanDataFailed, kDataStatusNoDiskSpace, false);
  EXPECT_EQ(mgr_->GetDataStatus(), kDataStatusNoDiskSpace);
  mgr_->m_nScanStarted = 0;

  dlg->OnRunMessage(WM_CAROUSEL_CHECKED, 3, 0, true);
  dlg->OnRunMessage(WM_SLOT_RECORDED, 0, 12, false);
  EXPECT_EQ(label(dlg->m_CarouselProgressText), "33 % (1 of 3 slides completed)");
  EXPECT_EQ(dlg->m_CarouselProgress->GetValue(), 33);

  dlg->OnRunMessage(WM_SCAN_STATUS_LINE, kLineRetry, reinterpret_cast<std::intptr_t>("Retrying."), true);
  dlg->OnRunMessage(WM_SCANNER_STATUS_TEXT, 0, reinterpret_cast<std::intptr_t>("Posted."), false);
  const std::string status(dlg->m_StatusText->GetValue().utf8_str());
  EXPECT_TRUE(status.ends_with("\r\nRetrying.\r\nPosted.")) << status;

  wxtest::click(dlg, lumetra::IDC_VIEW_REPORT);
  EXPECT_EQ(opened_.back(), tempDir() + "/CarouselRunLog.htm");
  EXPECT_FALSE(dlg->m_AbortButton->IsEnabled());
  EXPECT_TRUE(dlg->m_CloseButton->IsEnabled());
  wxtest::screenshot(dlg, "lumetra-run-progress.png");
}

// The report goes to the desktop's real handler, here a stand-in xdg-open: the window
// never waits for it. A viewer still running holds the report (no box, not ended); a
// handler that ends with an error is told, later, with what to install.
TEST_F(RunProgressDlgTest, TheReportOpensWithoutWaitingForTheViewer) {
  const std::string bin = tempDir() + "/bin", pidFile = tempDir() + "/viewer.pid";
  ASSERT_TRUE(platform::createDirectories(bin));
  const std::string oldPath =
      wxGetenv("PATH") ? std::string(wxString(wxGetenv("PATH")).utf8_str()) : "/usr/bin:/bin";
  wxSetEnv("PATH", bin + ":" + oldPath);
  const auto fake = [&](const std::string& body) {
    testsupport::writeFile(bin + "/xdg-open", "#!/bin/sh\n" + body);
    ASSERT_EQ(::chmod((bin + "/xdg-open").c_str(), 0755), 0);
  };
  int reports = 0;  // outcomes queued for the window's thread
  auto previousDispatch = ui::setDispatchHook([&reports](std::function<void()> report) {
    wxTheApp->CallAfter([&reports, report = std::move(report)] {
      ++reports;
      report();
    });
  });
  CRunProgressDlg* dlg = open();
  ASSERT_TRUE(wxtest::runUntil([&] { return !dlg->IsBusy(); }));
  wxtest::settle();
  boxes_.clear();
  ui::setShellOpenHook({});  // the handler on PATH from here (the fixture puts its recorder back)

  // A viewer kept in the foreground: the click returns while it runs.
  fake("echo $$ > \"" + pidFile + ".part\"; mv \"" + pidFile + ".part\" \"" + pidFile +
       "\"\nexec sleep 600\n");
  wxtest::click(dlg, lumetra::IDC_VIEW_REPORT);
  ASSERT_TRUE(wxtest::runUntil([&] { return wxFileName::FileExists(pidFile); }));
  const long pid = std::atol(testsupport::readFile(pidFile).c_str());
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(wxProcess::Exists(static_cast<int>(pid))) << "the window waited for the viewer";
  ASSERT_TRUE(wxtest::runUntil([&] { return reports == 1; }));  // its grace time is over
  wxtest::settle();
  EXPECT_TRUE(boxes_.empty()) << (boxes_.empty() ? "" : boxes_.front());
  EXPECT_TRUE(wxProcess::Exists(static_cast<int>(pid))) << "the viewer was ended";
  wxProcess::Kill(static_cast<int>(pid), wxSIGKILL);  // the stand-in this test started

  struct Case {
    const char* exit;
    const char* text;
  };
  const Case cases[] = {
      {"3",
       "Failed to display the report file: No program to open it was found: install a web browser for "
       "\"xdg-open\" (package xdg-utils) to start."},
      {"4",
       "Failed to display the report file: The program that \"xdg-open\" started for it failed: check that a "
       "web browser is installed and works."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exit);
    boxes_.clear();
    fake(std::string("exit ") + c.exit + "\n");
    wxtest::click(dlg, lumetra::IDC_VIEW_REPORT);
    ASSERT_TRUE(wxtest::runUntil([&] { return !boxes_.empty(); }));
    EXPECT_EQ(boxes_.front(), c.text);
  }
  ui::setDispatchHook(std::move(previousDispatch));
  wxSetEnv("PATH", oldPath);
}

TEST_F(RunProgressDlgTest, AMissingReportFolderIsToldAndTheRunStillStarts) {
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Scanner\\Logging\\")
      .WriteString("HTMLLogPath", tempDir() + "/gone/CarouselRunLog.htm");
  CRunProgressDlg* dlg = open();
  EXPECT_THAT(dlg->Model().StatusText(),
              HasSubstr("CheckPath:: The path specified by '" + tempDir() + "/gone/"));
  ASSERT_TRUE(wxtest::runUntil([&] { return !dlg->IsBusy(); }));
  EXPECT_GT(fake_->CallCount("StartBrowseCarousel"), 0);                   // the run was started
  EXPECT_EQ(dlg->GetHtmlReportPath(), tempDir() + "/CarouselRunLog.htm");  // the page beside the XML report
}

}  // namespace
