// What a carousel run says at its end when slides were not scanned, on the real
// automation server over the simulated instrument and board: an output folder that
// refuses new files skips every slide and the run does not pass for completed; a pass
// whose command times out ends the run, keeps its slide's history line and says that no
// image was kept.
#include <string>
#include <vector>

#include "CarouselRunFixture.h"
#include "ReadOnlyFolder.h"
#include "RunTestSupport.h"
#include "platform/files.h"
#include "run/OutputNaming.h"
#include "run/RunStatus.h"
#include "testsupport/TestEnv.h"

namespace {

using lumetra_test::CarouselRunTest;
using lumetra_test::ProgressWindow;
using lumetra_test::ReportEntry;
using lumetra_test::StatusText;
using testing::HasSubstr;
using testing::Not;

// The history record's result (its last field).
std::vector<std::string> Results(const std::vector<std::vector<std::string>>& records) {
  std::vector<std::string> results;
  for (const auto& record : records) results.push_back(record.empty() ? "" : record.back());
  return results;
}

TEST_F(CarouselRunTest, AnOutputFolderThatRefusesNewFilesScansNothingAndTheRunSaysSo) {
  lumetra_test::ReadOnlyFolder readOnly(outDir());
  if (!readOnly.Refuses()) GTEST_SKIP() << readOnly.Why();
  LoadCarousel({{1, "250000000001"}});
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  const auto config = MakeRunConfig(1, 1, {1});
  ProgressWindow window;
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ASSERT_TRUE(run.code) << window.Transcript() << log();

  // Nothing was scanned: the run failed, and its end names the slot and the folder's cause.
  EXPECT_EQ(*run.code, 1) << window.Transcript();
  const std::string cause = FolderNotWritableText(outDir(), readOnly.ExpectedError());
  const std::string status = window.StatusText();
  EXPECT_THAT(status, HasSubstr(StatusText(9909) + "\r\n" + StatusText(9949) + "\r\n" + cause));
  EXPECT_THAT(status, HasSubstr("Carousel run ended without scanning a slide."));
  EXPECT_THAT(status, HasSubstr("Slide skipped in slot(#): 1."));
  EXPECT_THAT(status, Not(HasSubstr(StatusText(9937))));
  EXPECT_TRUE(window.ScanFiles().empty());
  EXPECT_TRUE(platform::listDirectory(outDir()).empty());
  EXPECT_EQ(Results(HistoryRecords("ZS000001")), std::vector<std::string>{"Skipped"});

  const std::string xml = testsupport::readFile(reportDir() + "/CarouselRunLog.xml");
  EXPECT_THAT(xml, HasSubstr(ReportEntry("ERROR", "Carousel run ended without scanning a slide.")));
  EXPECT_THAT(xml, HasSubstr(ReportEntry("ERROR", "Slide skipped in slot(#): 1.")));
  EXPECT_THAT(xml, Not(HasSubstr(StatusText(9937))));
}

TEST_F(CarouselRunTest, APassWhoseCommandTimesOutEndsTheRunRecordsItsSlideAndKeepsNoImage) {
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}};
  LoadCarousel(slides);
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  // The first scan line's status never comes in time: the scan does not start, and the
  // instrument's time-out ends the run.
  sim.injectFault("getscanline", {zevasim::Fault::Kind::delay, 60000, 1});
  const auto config = MakeRunConfig(1, 2, {1, 2});
  ProgressWindow window;
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ASSERT_TRUE(run.code) << window.Transcript() << log();

  EXPECT_EQ(*run.code, 1) << window.Transcript();
  const std::string status = window.StatusText();
  EXPECT_THAT(status, HasSubstr(StatusText(9909) + "\r\nDescription: Command timed out."))
      << window.Transcript();
  EXPECT_THAT(status, HasSubstr("Slide failed in slot(#): 1."));
  EXPECT_THAT(status, Not(HasSubstr(StatusText(9937))));

  // The image announced for slot 1 was never written: the operator is told, and the
  // folder holds nothing; slot 2 was not reached.
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), 1u) << window.Transcript();
  const std::string noImage = "No image was kept for '" + files[0].fileName + "': the scan did not start.";
  EXPECT_THAT(status, HasSubstr(noImage));
  EXPECT_TRUE(platform::listDirectory(outDir()).empty());
  const std::string xml = testsupport::readFile(reportDir() + "/CarouselRunLog.xml");
  EXPECT_THAT(xml, HasSubstr(ReportEntry("HEADER", "Scanned image: " + files[0].fileName + "\r\n")));
  EXPECT_THAT(xml, HasSubstr(ReportEntry("ERROR", noImage)));

  // Its history line, like that of any other failed slide.
  EXPECT_EQ(Results(HistoryRecords("ZS000001")), std::vector<std::string>{"Failed"});
}

}  // namespace
