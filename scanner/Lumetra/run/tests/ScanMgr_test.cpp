#include "run/ScanMgr.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeScanCtrl.h"
#include "RecordingWindow.h"
#include "RunFixture.h"
#include "run/RunStatus.h"

namespace {

using namespace lumetra::run;
using lumetra_test::FakeScanCtrl;
using lumetra_test::RecordingWindow;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Message = RecordingWindow::Message;

// Keeps what arrives by reference while the message is handled: posted status texts,
// sent check texts and slot records.
class StatusWindow : public RecordingWindow {
 public:
  StatusWindow() {
    OnMessage = [this](const Message& m) {
      std::lock_guard lock(textsMutex_);
      if (m.message == WM_SCANNER_STATUS_TEXT) texts_.push_back(MessageText(m.lParam));
      if (m.message == WM_CHECK_CAROUSEL && m.wParam == kCheckFailed)
        check_.push_back("text:" + std::string(reinterpret_cast<const char*>(m.lParam)));
      if (m.message == WM_CHECK_CAROUSEL && m.wParam == kCheckStarted) check_.push_back("started");
      if (m.message == WM_CHECK_CAROUSEL && m.wParam == kCheckEnded) check_.push_back("ended");
      if (m.message == WM_CHECK_CAROUSEL && m.wParam == kCheckSlot) {
        const auto* r = reinterpret_cast<const BrowsedSlotRecord*>(m.lParam);
        check_.push_back("slot " + std::to_string(r->slot) + ":" + std::to_string(r->present) + ":" +
                         (r->barcode ? r->barcode : "-"));
      }
      if (m.message == WM_SCAN_STATUS_LINE)
        lines_.push_back(std::to_string(m.wParam) + ":" + reinterpret_cast<const char*>(m.lParam));
    };
  }
  std::vector<std::string> Texts() {
    std::lock_guard lock(textsMutex_);
    return texts_;
  }
  std::vector<std::string> Check() {
    std::lock_guard lock(textsMutex_);
    return check_;
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(textsMutex_);
    return lines_;
  }
  std::vector<std::intptr_t> States() const {
    std::vector<std::intptr_t> out;
    for (const auto& [w, l] : Of(WM_SCANNER_STATE)) out.push_back(l);
    return out;
  }

 private:
  std::mutex textsMutex_;
  std::vector<std::string> texts_, check_, lines_;
};

class ScanMgrTest : public RunTest {
 protected:
  ScanMgrTest() : fake_(FakeScanCtrl::Create()), mgr_(&window_, fake_.get(), true) {
    mgr_.SetMainWindow(&window_);
  }
  void SetState(tagScannerState s) {
    fake_->Locked([&] { fake_->state = s; });
  }

  StatusWindow window_;
  platform::com::ComPtr<FakeScanCtrl> fake_;
  CScanMgr mgr_;
};

TEST_F(ScanMgrTest, PollStepSendsChangesRepeatsReadyAndSkipsBusyStates) {
  struct Step {
    tagScannerState state;
    bool stateSent, textSent;
  };
  std::vector<Step> steps = {
      {kStateInitializing, true, true},   // changed from offline
      {kStateInitializing, false, true},  // initialising: the text at every poll
      {kStateBrowsing, true, true},      {kStateBrowsing, false, false}, {kStateCalibLasers, true, true},
      {kStateCalibLasers, false, false}, {kStateReady, true, true},
  };
  for (int i = 0; i < 10; ++i) steps.push_back({kStateReady, false, false});
  steps.push_back({kStateReady, true, true});  // the 11th unchanged poll repeats the state
  steps.push_back({kStateReady, false, false});
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SetState(steps[i].state);
    const auto states = window_.States().size();
    const auto texts = window_.Texts().size();
    mgr_.PollScannerStatus();
    EXPECT_EQ(window_.States().size(), states + (steps[i].stateSent ? 1 : 0)) << "step " << i;
    EXPECT_EQ(window_.Texts().size(), texts + (steps[i].textSent ? 1 : 0)) << "step " << i;
  }
  for (const auto& m : window_.Messages()) EXPECT_FALSE(m.sent) << m.message;  // never blocks the window
  EXPECT_EQ(window_.Texts().back(), "Scanner ready.");
  EXPECT_EQ(window_.States().back(), kStateReady);
}

TEST_F(ScanMgrTest, PollStepKeepsAChangeButSendsNothingWhileAnotherWindowIsTheStatusWindow) {
  RecordingWindow progress;
  mgr_.SetStatusWindow(&progress);
  SetState(kStateCarouselRun);
  mgr_.PollScannerStatus();
  EXPECT_TRUE(progress.Messages().empty());
  mgr_.SetStatusWindow(&window_);
  mgr_.PollScannerStatus();  // unchanged now: counted, not sent
  EXPECT_TRUE(window_.Messages().empty());
}

TEST_F(ScanMgrTest, PollFailureIsReportedAsTheStatusText) {
  fake_->Fail("get_ScannerState", 77, 1, "Link down");
  mgr_.PollScannerStatus();
  ASSERT_EQ(window_.Texts().size(), 1u);
  EXPECT_EQ(window_.Texts()[0], "Scanner status thread error.\r\nDescription: Link down");
  EXPECT_TRUE(window_.States().empty());
}

TEST_F(ScanMgrTest, PollThreadPollsEveryTickSkipsDuringARunAndIsJoinedOnStop) {
  ASSERT_TRUE(mgr_.StartStatusThread());
  EXPECT_EQ(mgr_.GetPollState(), 2);
  EXPECT_TRUE(mgr_.StartStatusThread());  // already running
  ASSERT_TRUE(clock_->waitForWaiters(1));
  clock_->advance(CScanMgr::kPollInterval);
  ASSERT_TRUE(window_.WaitFor([](const Message& m) { return m.message == WM_SCANNER_STATE; }));
  EXPECT_THAT(window_.States(), ElementsAre(kStateReady));

  mgr_.SetRunInProgress(true);
  ASSERT_TRUE(fake_->WaitForCalls("get_StatusMsg", 1));
  const int polls = fake_->CallCount("get_ScannerState");
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(clock_->waitForWaiters(1));
    clock_->advance(CScanMgr::kPollInterval);
  }
  ASSERT_TRUE(clock_->waitForWaiters(1));
  EXPECT_EQ(fake_->CallCount("get_ScannerState"), polls);
  EXPECT_EQ(mgr_.GetPollState(), 2);  // still polling, only the step is skipped

  mgr_.SetRunInProgress(false);
  SetState(kStateInitializing);
  clock_->advance(CScanMgr::kPollInterval);
  ASSERT_TRUE(window_.WaitFor(
      [](const Message& m) { return m.message == WM_SCANNER_STATE && m.lParam == kStateInitializing; }));

  EXPECT_TRUE(mgr_.StopStatusThread());
  EXPECT_EQ(mgr_.GetPollState(), 0);
  EXPECT_TRUE(mgr_.StopStatusThread());   // nothing left to stop
  ASSERT_TRUE(mgr_.StartStatusThread());  // and it can start again
  EXPECT_TRUE(mgr_.StopStatusThread());
}

TEST_F(ScanMgrTest, StopEndsThePollThreadWhileAPollStepIsBusy) {
  platform::Event inStep, release;
  fake_->Hook("get_ScannerState", [&] {
    inStep.set();
    (void)release.wait(std::chrono::seconds(10));
    return platform::com::S_OK;
  });
  ASSERT_TRUE(mgr_.StartStatusThread());
  ASSERT_TRUE(clock_->waitForWaiters(1));
  clock_->advance(CScanMgr::kPollInterval);
  ASSERT_TRUE(inStep.wait(std::chrono::seconds(10)));
  release.set();
  EXPECT_TRUE(mgr_.StopStatusThread());
  EXPECT_EQ(fake_->CallCount("get_ScannerState"), 1);
}

TEST_F(ScanMgrTest, CheckReportsEachSlotWithBarcodesAndStopsTheBrowse) {
  fake_->slots[1] = {1, 0, "BC-1"};
  fake_->slots[3] = {1, 0, "BC-3"};
  ASSERT_TRUE(mgr_.StartCheckCarousel(1, 3, true));
  ASSERT_TRUE(mgr_.WaitForCheckCarousel(std::chrono::seconds(30)));
  EXPECT_THAT(window_.Check(),
              ElementsAre("started", "slot 1:1:BC-1", "slot 2:0:", "slot 3:1:BC-3", "ended"));
  EXPECT_THAT(fake_->Calls("StartBrowseCarousel"), ElementsAre("StartBrowseCarousel(1,3,1)"));
  EXPECT_EQ(fake_->CallCount("StopBrowseCarousel"), 1);

  window_.OnMessage = nullptr;
  EXPECT_FALSE(mgr_.StartCheckCarousel(0, 3, false));
  EXPECT_FALSE(mgr_.StartCheckCarousel(5, 4, false));
  EXPECT_FALSE(mgr_.StartCheckCarousel(1, 49, false));
  EXPECT_EQ(fake_->CallCount("StartBrowseCarousel"), 1);
}

TEST_F(ScanMgrTest, CheckEndsWithTheRightMessagesOnBusyScannerFailureAndAbort) {
  {  // busy: nothing browsed
    SetState(kStateBrowsing);
    mgr_.DoCheckCarousel();
    EXPECT_THAT(window_.Check(), ElementsAre("text:The scanner is busy now, please try later", "ended"));
    EXPECT_EQ(fake_->CallCount("StartBrowseCarousel"), 0);
    SetState(kStateReady);
  }
  {  // a failed slot: reported, the browse is still stopped
    StatusWindow w;
    mgr_.SetStatusWindow(&w);
    ASSERT_EQ(mgr_.CheckSlotRange(1, 3), 1);
    fake_->Fail("GetBrowseCarouselInfo", 12, 1, "Carousel jammed");
    mgr_.DoCheckCarousel();
    EXPECT_THAT(w.Check(), ElementsAre("started", "text:Description: Carousel jammed", "ended"));
    EXPECT_EQ(fake_->CallCount("StopBrowseCarousel"), 1);
  }
  {  // abort during the browse: no further slot, the browse stopped
    StatusWindow w;
    w.OnMessage = [&, inner = w.OnMessage](const Message& m) {
      inner(m);
      if (m.message == WM_CHECK_CAROUSEL && m.wParam == kCheckSlot) mgr_.RequestAbort(true, false);
    };
    mgr_.SetStatusWindow(&w);
    mgr_.DoCheckCarousel();
    EXPECT_THAT(w.Check(), ElementsAre("started", "slot 1:0:-", "ended"));
    EXPECT_EQ(fake_->CallCount("StopBrowseCarousel"), 2);
    mgr_.SetStatusWindow(&window_);
  }
}

TEST_F(ScanMgrTest, TheWaitForTheBrowseToEndIsBoundedAndEndsOnFailureOrAbort) {
  clock_->setAutoAdvance(true);
  // The scanner keeps browsing after the stop.
  fake_->Hook("StopBrowseCarousel", [&] {
    SetState(kStateBrowsing);
    return platform::com::S_OK;
  });
  std::array<std::int32_t, CScanMgr::kLastSlot> used{};
  EXPECT_EQ(mgr_.CheckCarouselForRun(1, 2, used), -1);
  EXPECT_THAT(window_.Lines(),
              ElementsAre(HasSubstr("5:Checking carousel failed.\r\nThe scanner did not stop "
                                    "browsing the carousel within 60 s.")));
  EXPECT_GE(fake_->CallCount("get_ScannerState"), 100);

  // A failed state query ends the wait at once.
  SetState(kStateReady);
  fake_->Fail("get_ScannerState", 40, 1, "Gone");
  mgr_.DoCheckCarousel();  // the first query fails: reported, nothing browsed
  EXPECT_THAT(window_.Check(), ElementsAre("text:Description: Gone", "ended"));
  fake_->ClearCalls();
  fake_->Hook("StopBrowseCarousel", [&] {
    fake_->Fail("get_ScannerState", 40, 1, "Gone");
    return platform::com::S_OK;
  });
  SetState(kStateReady);
  EXPECT_EQ(mgr_.CheckCarouselForRun(1, 2, used), -1);
  EXPECT_EQ(fake_->CallCount("get_ScannerState"), 1);
  EXPECT_THAT(window_.Lines().back(), HasSubstr("Checking carousel failed.\r\nDescription: Gone"));

  // An abort ends it too, without a report.
  SetState(kStateReady);
  fake_->ClearCalls();
  const auto lines = window_.Lines().size();
  fake_->Hook("GetBrowseCarouselInfo", [&] {
    mgr_.RequestAbort(true, true);
    return platform::com::S_OK;
  });
  EXPECT_EQ(mgr_.CheckCarouselForRun(1, 2, used), -1);
  EXPECT_EQ(fake_->CallCount("get_ScannerState"), 1);
  EXPECT_EQ(window_.Lines().size(), lines);
}

TEST_F(ScanMgrTest, RunCheckCountsSlidesAndMarksTheUsedSlots) {
  fake_->slots[2] = {1, 0, ""};
  fake_->slots[4] = {1, 0, ""};
  std::array<std::int32_t, CScanMgr::kLastSlot> used{};
  used[0] = 7;  // outside the range: kept
  EXPECT_EQ(mgr_.CheckCarouselForRun(2, 5, used), 2);
  EXPECT_EQ(used[0], 7);
  EXPECT_EQ(used[1], 1);
  EXPECT_EQ(used[2], 0);
  EXPECT_EQ(used[3], 1);
  EXPECT_TRUE(window_.Lines().empty());
  EXPECT_THAT(fake_->Calls("StartBrowseCarousel"), ElementsAre("StartBrowseCarousel(2,5,0)"));

  EXPECT_EQ(mgr_.CheckCarouselForRun(3, 49, used), -1);
  EXPECT_THAT(
      window_.Lines(),
      ElementsAre("5:Checking carousel failed.\r\nInternal error: invalid start/end slots specified for "
                  "checking carousel"));
}

TEST_F(ScanMgrTest, ADCResetIsFalseOnFailure) {
  fake_->adcReset = 1;
  EXPECT_TRUE(mgr_.IsADCReset());
  fake_->Fail("IsADCReset", 3);
  EXPECT_FALSE(mgr_.IsADCReset());
}

}  // namespace
