// A whole carousel run on the real automation server over the simulated instrument and
// board: two barcoded slides loaded, scanned and saved, every pixel of the images checked
// against the board's pattern, and the run report, its page and the scan-history lines
// checked as the operator would read them; a slide whose data stops coming is skipped and
// the run goes on.
#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "CarouselRunFixture.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "okSim/okSim.h"
#include "run/RunStatus.h"
#include "run/ScanDataProc.h"
#include "run/ScanMgr.h"

namespace {

using lumetra::run::GetMessageText;
using lumetra_test::CarouselRunTest;
using lumetra_test::ProgressWindow;
using testing::HasSubstr;
using testing::Not;

std::string MessageText(int id) {
  std::string text;
  GetMessageText(id, text);
  return text;
}

std::string Entry(const std::string& category, const std::string& text) {
  return "<log category=\"" + category + "\"> " + text + " </log>";
}

// Parses the report against its DTD; the number of errors (-1: not parsed at all).
int ValidationErrors(const std::string& path) {
  xercesc::XMLPlatformUtils::Initialize();
  int errors = -1;
  {
    xercesc::XercesDOMParser parser;
    parser.setValidationScheme(xercesc::XercesDOMParser::Val_Always);
    xercesc::HandlerBase handler;
    parser.setErrorHandler(&handler);
    try {
      parser.parse(path.c_str());
      errors = static_cast<int>(parser.getErrorCount());
    } catch (...) {
    }
  }
  xercesc::XMLPlatformUtils::Terminate();
  return errors;
}

// The history record of a slide: everything but the time, which only has its form.
void ExpectHistory(const std::vector<std::string>& record, const std::string& barcode,
                   const std::string& result) {
  ASSERT_EQ(record.size(), 11u) << testing::PrintToString(record);
  EXPECT_TRUE(std::regex_match(record[0], std::regex(R"(\[\d\d-\d\d-\d\d \d\d:\d\d:\d\d\])"))) << record[0];
  EXPECT_EQ(std::vector<std::string>(record.begin() + 1, record.end()),
            (std::vector<std::string>{barcode, "R+G", "2x3", "5", "16", "100%", "100%", "0", "", result}));
}

// The entries in this order somewhere in the report.
void ExpectStory(const std::string& xml, const std::vector<std::string>& story) {
  std::size_t at = 0;
  for (const std::string& entry : story) {
    at = xml.find(entry, at);
    ASSERT_NE(at, std::string::npos) << "missing or out of order: " << entry << "\n" << xml;
  }
}

std::string ImageName(const std::string& folder, const CarouselRunTest::Slide& slide) {
  return folder + "/" + slide.barcode + "_SLOT0" + std::to_string(slide.slot) + "_S01.tif";
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(CarouselRunTest, TwoBarcodedSlidesGiveExactImagesTheReportAndTheHistory) {
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}};
  LoadCarousel(slides);
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  const auto config = MakeRunConfig(1, 2, {1, 2});
  ProgressWindow window;  // outlives the run manager, whose threads talk to it
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();

  // What the operator saw: no warning or failure of any kind, both slides done.
  for (const auto& line : window.Lines()) EXPECT_LE(line.kind, 3) << line.text << "\n" << window.Transcript();
  EXPECT_EQ(window.TotalSlides(), 2);
  EXPECT_EQ(window.SlidesCompleted(), 2);
  EXPECT_THAT(window.StatusText(), HasSubstr("Total number of slide(s) detected: 2."));
  EXPECT_THAT(window.StatusText(), HasSubstr(MessageText(9937)));
  for (const auto& [code, value] : window.DataProgress())
    EXPECT_NE(code, lumetra::run::kScanDataFailed) << "data status " << value;

  // Each slide's image, named by its barcode and slot, pixel for pixel; the channel files
  // were merged away.
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), slides.size()) << window.Transcript();
  for (std::size_t i = 0; i < slides.size(); ++i) {
    const std::string path = ImageName(outDir(), slides[i]);
    EXPECT_EQ(files[i].fileName, path);
    EXPECT_EQ(files[i].barcode, slides[i].barcode);
    EXPECT_EQ(files[i].slot, slides[i].slot);
    EXPECT_EQ(files[i].lines, kLines);
    ExpectExactImage(path, run.darkRed, run.darkGreen);
  }
  EXPECT_EQ(FolderEntries(outDir()),
            (std::vector<std::string>{"250000000001_SLOT01_S01.tif", "250000000002_SLOT02_S01.tif"}));

  // The report: valid against its DTD, the run's story in order, nothing alarming; and
  // its page made from the last entry.
  const std::string xml = testsupport::readFile(reportDir() + "/CarouselRunLog.xml");
  EXPECT_EQ(ValidationErrors(reportDir() + "/CarouselRunLog.xml"), 0);
  ExpectStory(xml, {
                       Entry("HEADER", "Total number of slide(s) detected: 2."),
                       Entry("HEADER", "Slot 1 ----------------\r\n"),
                       Entry("HEADER", "Scanned image: " + files[0].fileName + "\r\n"),
                       Entry("HEADER", "Scan completed.\r\n\r\n"),
                       Entry("HEADER", "Slot 2 ----------------\r\n"),
                       Entry("HEADER", "Scanned image: " + files[1].fileName + "\r\n"),
                       Entry("HEADER", "Scan completed.\r\n\r\n"),
                       Entry("HEADER", MessageText(9937)),
                   });
  for (const char* category : {"WARNING", "ERROR", "ATTENTION1", "ATTENTION2", "ATTENTION3"})
    EXPECT_THAT(xml, Not(HasSubstr("category=\"" + std::string(category) + "\""))) << xml;
  EXPECT_EQ(window.HtmlPath(), reportDir() + "/CarouselRunLog.htm");
  const std::string page = testsupport::readFile(window.HtmlPath());
  EXPECT_THAT(page, HasSubstr("TARSEL SCANNER -- CAROUSEL REPORT LOG"));
  EXPECT_THAT(page, HasSubstr(MessageText(9937)));

  // The scan history: one line per slide in the instrument's file of the year.
  const auto history = HistoryRecords("ZS000001");
  ASSERT_EQ(history.size(), slides.size());
  for (std::size_t i = 0; i < slides.size(); ++i) ExpectHistory(history[i], slides[i].barcode, "Success");

  // Both tubes were confirmed at 100 % during the run: their voltages are remembered for
  // this instrument.
  CRegEdit scanner(HKEY_LOCAL_MACHINE, zeva::kScannerKey);
  EXPECT_EQ(scanner.ReadString("InstSerialNumber", ""), "ZS000001");
  EXPECT_EQ(scanner.ReadInt("LastPMT1Volt", 0), static_cast<int>(kFactoryVoltage));
  EXPECT_EQ(scanner.ReadInt("LastPMT2Volt", 0), static_cast<int>(kFactoryVoltage));
}

TEST_F(CarouselRunTest, ABoardThatStopsDeliveringSkipsItsSlideAndTheRunGoesOn) {
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}};
  LoadCarousel(slides);
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  const auto config = MakeRunConfig(1, 2, {1, 2});
  ProgressWindow window;
  // Once the first slide's data starts, every read of the board's pipe fails, until the
  // data threads have reported it; the second slide meets a healthy board.
  bool failed = false;
  window.OnMessage = [&failed](unsigned message, std::uintptr_t code, std::intptr_t) {
    if (message != lumetra::run::WM_SCANDATA_PROGRESS || failed) return;
    if (code == lumetra::run::kScanDataStarted)
      okSim_ScriptResult("okUsbFrontPanel_ReadFromBlockPipeOut", -1, 1);
    if (code == lumetra::run::kScanDataFailed) {
      okSim_ClearScripts();
      failed = true;
    }
  };
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();

  // The data threads' failure reached the one-slide scan through the window.
  const auto progress = window.DataProgress();
  EXPECT_EQ(std::count(progress.begin(), progress.end(),
                       std::pair<std::uintptr_t, std::intptr_t>{lumetra::run::kScanDataFailed,
                                                                lumetra::run::kDataStatusReadFailed}),
            1)
      << testing::PrintToString(progress);
  const std::string failure =
      "Scan failed: Failed to process scan data - " +
      lumetra::run::CScanDataProc::GetStatusText(lumetra::run::kDataStatusReadFailed) + ".";
  EXPECT_THAT(window.StatusText(), HasSubstr(failure)) << window.Transcript();
  EXPECT_EQ(window.SlidesCompleted(), 2);

  // The second slide is whole; the first is recorded as skipped.
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), slides.size()) << window.Transcript();
  ExpectExactImage(ImageName(outDir(), slides[1]), run.darkRed, run.darkGreen);
  const auto history = HistoryRecords("ZS000001");
  ASSERT_EQ(history.size(), slides.size());
  ExpectHistory(history[0], slides[0].barcode, "Skipped");
  ExpectHistory(history[1], slides[1].barcode, "Success");

  const std::string xml = testsupport::readFile(reportDir() + "/CarouselRunLog.xml");
  EXPECT_EQ(ValidationErrors(reportDir() + "/CarouselRunLog.xml"), 0);
  ExpectStory(xml, {
                       Entry("HEADER", "Scanned image: " + files[0].fileName + "\r\n"),
                       Entry("ERROR", failure),
                       Entry("ATTENTION1", "Slide skipped.\r\n\r\n"),
                       Entry("HEADER", "Scanned image: " + files[1].fileName + "\r\n"),
                       Entry("HEADER", "Scan completed.\r\n\r\n"),
                       Entry("HEADER", MessageText(9937)),
                   });
}

}  // namespace
