// The check-carousel dialog on a real (virtual) display, over the run manager, a fake
// automation server and the carousel configuration grid.
#include "run/ui/CheckCarouselDlg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/gauge.h>
#include <wx/stattext.h>

#include <memory>
#include <string>

#include "FakeScanCtrl.h"
#include "RecordingWindow.h"
#include "RunWindowsFixture.h"
#include "config/CarouselGridModel.h"
#include "config/ui/CarouselCfgGrid.h"
#include "run/ScanMgr.h"

namespace {

using lumetra::CCheckCarouselDlg;
using lumetra::run::CScanMgr;
using lumetra_test::FakeScanCtrl;
using lumetra_test::RecordingWindow;
using M = lumetra::CarouselGridModel;

std::string label(wxWindow* w) { return std::string(w->GetLabel().utf8_str()); }

class CheckCarouselDlgTest : public wxtest::RunWindowTest {
 protected:
  void SetUp() override {
    RunWindowTest::SetUp();
    if (IsSkipped()) return;
    fake_ = FakeScanCtrl::Create();
    fake_->slots[1] = {1, 0, "AB-1"};
    fake_->slots[2] = {0, 0, ""};
    fake_->slots[3] = {1, 0, ""};
    mgr_ = std::make_unique<CScanMgr>(&main_, fake_.get(), true);
    profile_ = profile("Lab");
    frame_ = keep(new wxFrame(nullptr, wxID_ANY, "Carousel", wxDefaultPosition, wxSize(1200, 420)));
    grid_ = new CCarouselCfgGrid(frame_);
    grid_->SetCurrentProfile(&profile_, true);
    grid_->ChangeSlotRange(1, 3);
    frame_->Show();
  }
  void TearDown() override {
    RunWindowTest::TearDown();
    mgr_.reset();
  }
  CCheckCarouselDlg* open(bool allowed = true, bool withMgr = true) {
    auto* dlg = keep(
        new CCheckCarouselDlg(frame_, grid_, 1, 3, fake_.get(), withMgr ? mgr_.get() : nullptr, allowed));
    dlg->Show();
    return dlg;
  }
  std::string slideId(int row) const {
    return std::string(grid_->GetCellValue(row, M::kColSlideID).utf8_str());
  }

  RecordingWindow main_;
  platform::com::ComPtr<FakeScanCtrl> fake_;
  std::unique_ptr<CScanMgr> mgr_;
  tagScanCfgStruct profile_;
  wxFrame* frame_ = nullptr;
  CCarouselCfgGrid* grid_ = nullptr;
};

TEST_F(CheckCarouselDlgTest, ACheckWithBarcodesMarksTheGridAndEndsWithClose) {
  CCheckCarouselDlg* dlg = open();
  EXPECT_TRUE(dlg->m_CheckButton->IsEnabled());
  EXPECT_EQ(label(dlg->m_DoneText), "0 %");
  dlg->m_ReadBarcode->SetValue(true);
  dlg->UpdateActionInfo();
  EXPECT_EQ(label(dlg->m_ActionInfo),
            "Check the presence of slides from slot1 to slot3 and read the barcode.\r\n"
            "This operation will be completed in 1 minute.");

  wxtest::click(dlg, lumetra::IDC_CHECK_START);
  EXPECT_FALSE(dlg->m_CheckButton->IsEnabled());
  ASSERT_TRUE(wxtest::runUntil([&] { return !dlg->IsBusy(); }));
  EXPECT_EQ(slideId(0), "AB-1");
  EXPECT_EQ(slideId(1), "<No chip>");
  EXPECT_FALSE(grid_->IsSlotUsed(2));
  EXPECT_TRUE(grid_->IsSlotUsed(3));
  EXPECT_EQ(label(dlg->m_ProgressInfo), "Reading barcode completed");
  EXPECT_EQ(label(dlg->m_DoneText), "100 %");
  EXPECT_EQ(dlg->m_Progress->GetValue(), 100);
  EXPECT_EQ(label(dlg->m_CancelButton), "Close");
  EXPECT_TRUE(dlg->m_CancelButton->IsEnabled());
  EXPECT_FALSE(dlg->m_CheckButton->IsEnabled());  // a new check needs a new dialog
  EXPECT_EQ(fake_->Calls("LockDoor"), std::vector<std::string>{"LockDoor()"});
  EXPECT_EQ(fake_->CallCount("UnLockDoor"), 1);
  EXPECT_EQ(fake_->Calls("StartBrowseCarousel"), std::vector<std::string>{"StartBrowseCarousel(1,3,1)"});
  wxtest::screenshot(dlg, "lumetra-check-carousel.png");

  wxtest::click(dlg, wxID_CANCEL);
  EXPECT_FALSE(dlg->IsShown());
  dlg->Destroy();
  windows_.erase(std::find(windows_.begin(), windows_.end(), dlg));
  wxtest::settle();
  EXPECT_EQ(mgr_->GetStatusWindow(), &main_);
}

TEST_F(CheckCarouselDlgTest, CheckIsOfferedOnlyWhenConnectedAndIdle) {
  CCheckCarouselDlg* dlg = open(false);
  EXPECT_FALSE(dlg->m_CheckButton->IsEnabled());
  EXPECT_EQ(
      label(dlg->m_ActionInfo),
      "Check the presence of slides from slot1 to slot3.\r\nThis operation will be completed in 28 seconds.");
}

TEST_F(CheckCarouselDlgTest, CancelStopsTheCheckAndTheDialogStaysUntilItEnds) {
  CCheckCarouselDlg* dlg = open();
  wxtest::click(dlg, lumetra::IDC_CHECK_START);
  wxtest::click(dlg, wxID_CANCEL);  // before the check thread's first message is handled
  EXPECT_TRUE(dlg->IsShown());
  EXPECT_TRUE(dlg->Model().IsCancelRequested());
  EXPECT_FALSE(dlg->m_CancelButton->IsEnabled());
  EXPECT_EQ(mgr_->GetAbortRequest(), 1);
  ASSERT_TRUE(wxtest::runUntil([&] { return !dlg->IsBusy(); }));
  EXPECT_EQ(dlg->Model().SlotsDone(), 0);
  EXPECT_EQ(slideId(0), "<Auto detect>");  // nothing marked
  EXPECT_EQ(label(dlg->m_CancelButton), "Close");
  EXPECT_TRUE(dlg->m_CancelButton->IsEnabled());
  EXPECT_EQ(fake_->CallCount("UnLockDoor"), 1);
}

TEST_F(CheckCarouselDlgTest, WithoutARunManagerTheCheckEndsAtOnce) {
  CCheckCarouselDlg* dlg = open(true, false);
  wxtest::click(dlg, lumetra::IDC_CHECK_START);
  EXPECT_FALSE(dlg->IsBusy());
  EXPECT_EQ(label(dlg->m_ProgressInfo), "Browsing carousel failed:The carousel check could not be started.");
  EXPECT_EQ(label(dlg->m_CancelButton), "Close");
  EXPECT_EQ(fake_->CallCount("LockDoor"), 1);
  EXPECT_EQ(fake_->CallCount("UnLockDoor"), 1);
}

TEST_F(CheckCarouselDlgTest, GoingWhileTheCheckWaitsOnItEndsTheCheckWithoutHanging) {
  fake_->Fail("LockDoor", 651);  // a door failure does not stop the check
  CCheckCarouselDlg* dlg = open();
  wxtest::click(dlg, lumetra::IDC_CHECK_START);
  // No events run: the check thread waits on the dialog with its first message.
  windows_.erase(std::find(windows_.begin(), windows_.end(), dlg));
  delete dlg;
  EXPECT_TRUE(mgr_->WaitForCheckCarousel(std::chrono::milliseconds(0)));
  EXPECT_EQ(mgr_->GetStatusWindow(), &main_);
  EXPECT_EQ(fake_->CallCount("UnLockDoor"), 1);
  EXPECT_EQ(fake_->CallCount("StopBrowseCarousel"), 1);
  wxtest::settle();
}

}  // namespace
