// What the run progress dialog shows and reports for the run's messages.
#include "run/ui/RunProgressModel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Jotwell/Logger.h"
#include "run/Reporter.h"

namespace {

using lumetra::RunProgressModel;
using lumetra::run::ScanFileRecord;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Entry = std::pair<int, std::string>;

class RunProgressModelTest : public ::testing::Test {
 protected:
  RunProgressModelTest() : model_([this](int c, const std::string& t) { report_.emplace_back(c, t); }) {}
  std::vector<Entry> report_;
  RunProgressModel model_;
};

TEST_F(RunProgressModelTest, EachLineKindIsReportedAndShownByItsKind) {
  struct Case {
    int kind;
    std::string text;
    int category;  // -1: not reported
    bool shown;
  };
  const Case cases[] = {
      {0, "progress", -1, true},
      {1, "success", REPORT_HEADER, true},
      {2, "info", REPORT_HEADER, false},
      {3, "retry", REPORT_INFO, true},
      {4, "warning", REPORT_WARNING, false},
      {5, "error", REPORT_ERROR, true},
      {6, "six", -1, false},
      {7, "serious", REPORT_ATTENTION1, true},
      {8, "mismatch", REPORT_ATTENTION2, false},
      {9, "nine", REPORT_ATTENTION3, false},
      {10, "ten", -1, false},
      {-1, "negative", -1, false},
      {5, "", -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    RunProgressModel model([this](int cat, const std::string& t) { report_.emplace_back(cat, t); });
    report_.clear();
    const bool changed = model.OnStatusLine(c.kind, c.text);
    EXPECT_EQ(changed, c.category >= 0 || c.shown);
    if (c.category >= 0)
      EXPECT_THAT(report_, ElementsAre(Entry{c.category, c.text}));
    else
      EXPECT_TRUE(report_.empty());
    EXPECT_EQ(model.StatusText(), c.shown ? "\r\n" + c.text : "");
  }
}

TEST_F(RunProgressModelTest, StatusLinesAreSeparatedByOneLineEnd) {
  model_.OnStatusText("");
  EXPECT_EQ(model_.StatusText(), "");
  model_.AppendStatus("first");  // an empty box gets a line end first
  model_.OnStatusText("second\r\n");
  model_.AppendStatus("third");  // the text already ends with CR LF
  EXPECT_EQ(model_.StatusText(), "\r\nfirst\r\nsecond\r\nthird");
}

TEST_F(RunProgressModelTest, LongFileNamesAreShortenedForDisplay) {
  const std::string exact = "/data/" + std::string(36, 'a') + ".tif";  // 46 characters
  ASSERT_EQ(exact.size(), 46u);
  std::string log;
  EXPECT_EQ(RunProgressModel::ShortenFileName(exact, &log), exact);
  EXPECT_EQ(log, "");

  const std::string longer = "/data/scans/" + std::string(23, 'b') + "/slide_0001.tif";  // 47
  ASSERT_EQ(longer.size(), 50u);
  const std::string shown = RunProgressModel::ShortenFileName(longer, &log);
  EXPECT_LE(shown.size(), 45u);
  EXPECT_THAT(shown, HasSubstr("..."));
  EXPECT_TRUE(shown.ends_with("/slide_0001.tif")) << shown;
  EXPECT_TRUE(shown.starts_with("/data/")) << shown;
  EXPECT_EQ(log, "StatusDlg: scan file name is too long - '" + longer + "', compacted to '" + shown +
                     "' by PathCompactPathEx");

  const std::string name47 = std::string(43, 'c') + ".tif";  // no folder
  EXPECT_EQ(RunProgressModel::ShortenFileName(name47).size(), 45u);
  const std::string longFile = "/d/" + std::string(60, 'e') + ".tif";
  EXPECT_LE(RunProgressModel::ShortenFileName(longFile).size(), 45u);

  const std::string huge = "/mnt/" + std::string(250, 'x') + "/deep/scan.tif";  // over 260
  EXPECT_EQ(RunProgressModel::ShortenFileName(huge, &log), "/.../scan.tif");
  EXPECT_EQ(
      log, "StatusDlg: scan file name is exceed MAX_PATH 260 - '" + huge + "', compacted to '/.../scan.tif'");
  const std::string hugeRelative = "scans/" + std::string(260, 'y') + "/x.tif";
  EXPECT_EQ(RunProgressModel::ShortenFileName(hugeRelative), "scans/.../x.tif");
}

TEST_F(RunProgressModelTest, ANewSlideIsReportedAndResetsTheScanProgress) {
  ScanFileRecord record;
  record.slot = 7;
  record.fileName = "/out/Slide7.tif";
  record.barcode = "BC7";
  record.lines = 200;
  model_.OnScanData(1, 0, true);
  model_.OnNewSlide(record);
  EXPECT_THAT(report_, ElementsAre(Entry{REPORT_HEADER, "Scanned image: /out/Slide7.tif\r\n"}));
  EXPECT_EQ(model_.FileName(), "/out/Slide7.tif");
  EXPECT_EQ(model_.Barcode(), "BC7");
  EXPECT_EQ(model_.SlotNumber(), "7");
  EXPECT_EQ(model_.ScanProgressText(), "0 %");
  EXPECT_EQ(model_.ExpectedLines(), 200u);

  model_.OnScanData(2, 50, true);
  EXPECT_EQ(model_.ScanProgressText(), "25 %");
  EXPECT_EQ(model_.ScanBar(), 25);
  model_.OnScanData(2, 150, false);  // no scan running: a late message changes nothing
  EXPECT_EQ(model_.ScanBar(), 25);
  model_.OnScanData(2, 230, true);  // more lines than expected: the bar stops at its end
  EXPECT_EQ(model_.ScanProgressText(), "115 %");
  EXPECT_EQ(model_.ScanBar(), 100);
  EXPECT_EQ(model_.OnScanData(5, 4, true), 4);  // a data failure goes to the run manager
  EXPECT_EQ(model_.OnScanData(3, 0, true), std::nullopt);

  record.lines = 0;  // nothing to divide by: no percentage
  record.fileName = nullptr;
  record.barcode = nullptr;
  model_.OnNewSlide(record);
  EXPECT_EQ(model_.FileName(), "");
  model_.OnScanData(2, 10, true);
  EXPECT_EQ(model_.LinesReceived(), 10u);
  EXPECT_EQ(model_.ScanProgressText(), "0 %");
  EXPECT_EQ(model_.ScanBar(), 0);
}

TEST_F(RunProgressModelTest, CarouselProgressCountsSlidesAndSkipsAZeroTotal) {
  model_.OnSlideCompleted();
  EXPECT_EQ(model_.CarouselProgressText(), "2 % (1 of 48 slides completed)");  // before the real total
  model_.OnTotalSlides(4);
  EXPECT_EQ(model_.CarouselProgressText(), "25 % (1 of 4 slides completed)");
  EXPECT_EQ(model_.CarouselBar(), 25);
  model_.OnSlideCompleted();
  EXPECT_EQ(model_.CarouselProgressText(), "50 % (2 of 4 slides completed)");

  model_.OnTotalSlides(0);  // no slide found: the bar and text stay
  model_.OnSlideCompleted();
  EXPECT_EQ(model_.CompletedSlides(), 3);
  EXPECT_EQ(model_.CarouselProgressText(), "50 % (2 of 4 slides completed)");
  EXPECT_EQ(model_.CarouselBar(), 50);
}

TEST_F(RunProgressModelTest, AbortTexts) {
  EXPECT_EQ(RunProgressModel::AbortLine(true), "Trying to abort carousel run (pending) ...");
  EXPECT_EQ(RunProgressModel::AbortLine(false), "Trying to abort carousel run ...");
  EXPECT_EQ(
      RunProgressModel::AbortQuestion(),
      "Do you want to abort the carousel run now?\r\n\r\nClick Yes to abort the run now; you may lose scan "
      "data.\r\nClick No to abort the run after the current scan is done.\r\nClick Cancel to cancel your "
      "abort command.");
}

TEST_F(RunProgressModelTest, RunEndDecisions) {
  struct Case {
    RunProgressModel::RunEndInput input;
    bool reinit, rearm, show, attention;
  };
  using In = RunProgressModel::RunEndInput;
  const Case cases[] = {
      {In{0, "", false, 1, false, 1, ""}, false, false, true, false},
      {In{2, "", false, 1, false, 1, ""}, true, false, true, false},
      {In{1, "", true, 1, false, 1, ""}, false, true, true, false},
      {In{1, "", true, 0, false, 1, ""}, false, false, true, false},  // K7431A keeps its timer
      {In{0, "", false, 1, true, 0, ""}, false, false, false, true},  // no report shown, attention still
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.outcome);
    RunProgressModel model([this](int cat, const std::string& t) { report_.emplace_back(cat, t); });
    report_.clear();
    model.SetBusy(true);
    const auto actions = model.OnRunEnded(c.input);
    EXPECT_FALSE(model.IsBusy());
    EXPECT_EQ(actions.reinitialize, c.reinit);
    EXPECT_EQ(actions.rearmLaserTimer, c.rearm);
    EXPECT_EQ(actions.showReport, c.show);
    EXPECT_EQ(!actions.attentionMessage.empty(), c.attention);
    EXPECT_EQ(model.StatusText(), c.reinit ? std::string("\r\n") + RunProgressModel::kEjectFailedText : "");
    EXPECT_EQ(report_.size(), c.attention ? 25u : 0u);
  }
  RunProgressModel model;
  model.OnRunEnded(In{2, "Resource text", false, 1, false, 1, ""});
  EXPECT_EQ(model.StatusText(), "\r\nResource text");
  // A report that lacks entries is said so where the run ends.
  RunProgressModel incomplete;
  incomplete.OnRunEnded(
      In{0, "", false, 1, false, 1, "The run report 'r.xml' is incomplete: 2 entries could not be written."});
  EXPECT_EQ(incomplete.StatusText(),
            "\r\nThe run report 'r.xml' is incomplete: 2 entries could not be written.");
}

TEST_F(RunProgressModelTest, AttentionBlockAndMessage) {
  // The texts name the folder the log is really written to.
  const std::string savedLogPath = CLogger::m_FilePathStr;
  CLogger::m_FilePathStr = "/opt/zevazodizo/Logs/scanner-host";
  model_.WriteAttentionBlock();
  ASSERT_EQ(report_.size(), 25u);
  EXPECT_EQ(report_[3], (Entry{REPORT_ATTENTION1, "ATTENTION!"}));
  EXPECT_EQ(report_[11], (Entry{REPORT_NORMAL_IB, "Before rescanning or starting the next scan run..."}));
  EXPECT_EQ(report_[15], (Entry{REPORT_HEADER, "/opt/zevazodizo/Logs/"}));
  EXPECT_EQ(report_[20], (Entry{REPORT_ATTENTION3, RunProgressModel::kSupportAddress}));
  EXPECT_EQ(report_[24], (Entry{REPORT_NORMAL, "****************************************"}));
  const std::string message = RunProgressModel::AttentionMessage();
  EXPECT_TRUE(
      message.starts_with("New scanner diagnostic software has detected an intermittent Autofocus error "
                          "\r\nfrom which"));
  EXPECT_THAT(message,
              HasSubstr("\r\n\r\nBEFORE RESCANNING OR STARTING THE NEXT SCAN RUN...\r\n\r\n\tCopy all"));
  EXPECT_THAT(message,
              HasSubstr(std::string("\r\n\r\n\t\t") + RunProgressModel::kSupportAddress + "\r\n\r\n\t"));
  EXPECT_THAT(message, HasSubstr("from:\r\n\r\n\t\t/opt/zevazodizo/Logs/\r\n"));
  CLogger::m_FilePathStr = savedLogPath;
  EXPECT_TRUE(
      message.ends_with("center\r\n\r\n[You will see this message on the CAROUSEL REPORT LOG as well]"));
}

}  // namespace
