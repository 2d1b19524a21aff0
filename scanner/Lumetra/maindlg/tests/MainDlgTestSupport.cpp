#include "MainDlgTestSupport.h"

#include <algorithm>

#include "platform/files.h"
#include "platform/ui.h"
#include "run/RunStatus.h"
#include "run/ScanMgr.h"
#include "testsupport/TestEnv.h"

namespace maindlg_test {

int RecordingView::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
  return platform::ui::messageBox(text, caption, type);
}

MainDlgTest::MainDlgTest() {
  appDir_ = tempDir() + "/host";
  EXPECT_TRUE(platform::createDirectories(appDir_));
  testsupport::writeFile(appDir_ + "/ChipRegions.ini", kRegions);
  scan_ = lumetra_test::FakeScanCtrl::Create();
  scan_->model = "K7431C";
}

MainDlgTest::~MainDlgTest() { core_.reset(); }

lumetra::maindlg::CScanDlgCore& MainDlgTest::core() {
  if (!core_) {
    core_ = std::make_unique<lumetra::maindlg::CScanDlgCore>(view_, &window_);
    core_->m_strAppDir = appDir_;
    core_->m_CreateScanCtrl = [this] {
      platform::com::ComPtr<IScanCtrl> p(scan_.get());
      scan_->AddRef();
      return p;
    };
    core_->m_InitPortLib = [] { return true; };
  }
  return *core_;
}

void MainDlgTest::startUp() { core().OnInitDialog(); }

void MainDlgTest::startReady() {
  startUp();
  ASSERT_EQ(view_.endCode, 0) << (boxes_.empty() ? "" : boxes_.back());
  core().OnScannerStateMsg(0, kStateInitializing);
  core().OnScannerStateMsg(0, kStateReady);
}

bool MainDlgTest::boxShown(const std::string& text) const {
  return std::find(boxes_.begin(), boxes_.end(), text) != boxes_.end();
}

}  // namespace maindlg_test
