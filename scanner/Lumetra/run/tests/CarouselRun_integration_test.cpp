// A whole carousel run on the real automation server over the simulated instrument and
// board: two barcoded slides loaded, scanned and saved, every pixel of the images checked
// against the board's pattern, and the run report, its page and the scan-history lines
// checked as the operator would read them; a slide whose data stops coming is skipped and
// the run goes on.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
#include "RunTestSupport.h"
#include "okSim/okSim.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "run/RunStatus.h"
#include "run/ScanDataProc.h"
#include "run/ScanLogFile.h"
#include "run/ScanMgr.h"

namespace {

using lumetra_test::CarouselRunTest;
using lumetra_test::ProgressWindow;
using lumetra_test::ReportEntry;
using lumetra_test::StatusText;
using testing::HasSubstr;
using testing::Not;

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

// The report's story of a run that scanned slots 1 and 2 whole into these images.
std::vector<std::string> WholeRunOfSlots1And2(const std::string& image1, const std::string& image2) {
  return {
      ReportEntry("HEADER", "Total number of slide(s) detected: 2."),
      ReportEntry("HEADER", "Slot 1 ----------------\r\n"),
      ReportEntry("HEADER", "Scanned image: " + image1 + "\r\n"),
      ReportEntry("HEADER", "Scan completed.\r\n\r\n"),
      ReportEntry("HEADER", "Slot 2 ----------------\r\n"),
      ReportEntry("HEADER", "Scanned image: " + image2 + "\r\n"),
      ReportEntry("HEADER", "Scan completed.\r\n\r\n"),
      ReportEntry("HEADER", StatusText(9937)),
  };
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
  EXPECT_THAT(window.StatusText(), HasSubstr(StatusText(9937)));
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
  ExpectStory(xml, WholeRunOfSlots1And2(files[0].fileName, files[1].fileName));
  for (const char* category : {"WARNING", "ERROR", "ATTENTION1", "ATTENTION2", "ATTENTION3"})
    EXPECT_THAT(xml, Not(HasSubstr("category=\"" + std::string(category) + "\""))) << xml;
  EXPECT_EQ(window.HtmlPath(), reportDir() + "/CarouselRunLog.htm");
  const std::string page = testsupport::readFile(window.HtmlPath());
  EXPECT_THAT(page, HasSubstr("TARSEL SCANNER -- CAROUSEL REPORT LOG"));
  EXPECT_THAT(page, HasSubstr(StatusText(9937)));

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
                       ReportEntry("HEADER", "Scanned image: " + files[0].fileName + "\r\n"),
                       ReportEntry("ERROR", failure),
                       ReportEntry("ATTENTION1", "Slide skipped.\r\n\r\n"),
                       ReportEntry("HEADER", "Scanned image: " + files[1].fileName + "\r\n"),
                       ReportEntry("HEADER", "Scan completed.\r\n\r\n"),
                       ReportEntry("HEADER", StatusText(9937)),
                   });
}

// ---- a full disk under the logs -------------------------------------------------------------
//
// The run's report and history live on a small file system of their own (a tmpfs, which
// needs the right to mount), filled up by another file at the moments the test chooses:
// writes there then fail for real, part way where a page still has room.
class FullLogsDiskTest : public CarouselRunTest {
 protected:
  void SetUp() override {
    m_Logs = installDir() + "/Logs";
    if (::mount("tmpfs", m_Logs.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k,mode=0755") != 0)
      GTEST_SKIP() << "no small disk for the logs: mounting a tmpfs needs privileges here ("
                   << std::strerror(errno) << ")";
    m_bMounted = true;
    CRegEdit logging(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Scanner\\Logging\\");
    logging.WriteString("XMLFilesPath", m_Logs + "/CarouselRunLog.xml");
    logging.WriteString("HTMLLogPath", m_Logs + "/CarouselRunLog.htm");
  }
  void TearDown() override {
    if (m_bMounted) ::umount2(m_Logs.c_str(), MNT_DETACH);
  }

  // Takes every free block of the logs' file system.
  void FillDisk() {
    const int fd = ::open((m_Logs + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    ::close(fd);
  }
  void FreeDisk() { std::filesystem::remove(m_Logs + "/filler"); }

  // Earlier years' lines ending 30 bytes short of a page boundary, so that the next line
  // only partly fits in the page the file already has.
  std::string EarlierHistory() {
    const std::string line = "[01-02-24 10:00:00]\tE\tR+G\t2x3\t5\t16\t100%\t100%\t0\t\tSuccess\r\n";
    const std::size_t total = 4096 - 30;
    std::string text;
    while (text.size() + 2 * line.size() <= total) text += line;
    // The last line's barcode takes up what is left.
    const std::size_t pad = total - text.size() - line.size();
    return text + "[01-02-24 10:00:00]\tE" + std::string(pad, 'E') + line.substr(21);
  }

  std::string m_Logs;
  bool m_bMounted = false;
};

// The disk is full from the carousel check until slot 1 is recorded and has room again
// for slot 2: slot 1's history line is not there at all (nothing of it is glued to slot 2's),
// the operator is told at the run's end, and the report holds every entry of the run in
// order, those of the full disk written once there was room.
TEST_F(FullLogsDiskTest, HistoryLinesAreWholeOrToldAndReportEntriesWaitForRoom) {
  const std::string earlier = EarlierHistory();
  ASSERT_EQ(earlier.size(), 4096u - 30u);
  const std::string historyPath =
      m_Logs + "/" + CScanLogFile::FileName(platform::localTime().tm_year + 1900, "ZS000001");
  testsupport::writeFile(historyPath, earlier);

  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}};
  LoadCarousel(slides);
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  const auto config = MakeRunConfig(1, 2, {1, 2});
  ProgressWindow window;
  window.OnMessage = [this](unsigned message, std::uintptr_t, std::intptr_t lParam) {
    if (message == lumetra::run::WM_CAROUSEL_CHECKED) FillDisk();
    if (message == lumetra::run::WM_SLOT_RECORDED && lParam == 1) FreeDisk();
  };
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();

  // The history: the earlier lines as they were and slot 2's whole line after them.
  const std::string history = testsupport::readFile(historyPath);
  ASSERT_EQ(history.compare(0, earlier.size(), earlier), 0) << history;
  EXPECT_TRUE(std::regex_match(
      history.substr(earlier.size()),
      std::regex("\\[\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]\\t250000000002\\tR\\+G\\t2x3\\t5"
                 "\\t16\\t100%\\t100%\\t0\\t\\tSuccess\\r\\n")))
      << history.substr(earlier.size());

  // The operator is told which slot's line is missing, and why.
  const std::string told = "The scan-history line of slot(s) 1 could not be written to '" + historyPath + "'";
  EXPECT_THAT(window.StatusText(), HasSubstr(told)) << window.Transcript();
  EXPECT_THAT(window.StatusText(), HasSubstr(platform::systemErrorText(ENOSPC)));
  EXPECT_THAT(window.StatusText(), Not(HasSubstr("is incomplete")));

  // The report: every entry of the run in order, valid against its DTD.
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), 2u) << window.Transcript();
  const std::string xml = testsupport::readFile(m_Logs + "/CarouselRunLog.xml");
  ExpectStory(xml, WholeRunOfSlots1And2(files[0].fileName, files[1].fileName));
  EXPECT_THAT(xml, HasSubstr(told));
}

// The disk stays full to the run's end: the report cannot catch up, and the run's end
// says that it is incomplete and why.
TEST_F(FullLogsDiskTest, AReportStillMissingEntriesAtTheRunsEndIsToldIncomplete) {
  const std::vector<Slide> slides = {{1, "250000000001"}};
  LoadCarousel(slides);
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  const auto config = MakeRunConfig(1, 1, {1});
  ProgressWindow window;
  window.OnMessage = [this](unsigned message, std::uintptr_t, std::intptr_t) {
    if (message == lumetra::run::WM_CAROUSEL_CHECKED) FillDisk();
  };
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();
  EXPECT_THAT(window.StatusText(), testing::ContainsRegex("The run report '" + m_Logs +
                                                          "/CarouselRunLog.xml' is incomplete: [0-9]+ "
                                                          "entries could not be written \\(" +
                                                          platform::systemErrorText(ENOSPC) + "\\)."))
      << window.StatusText();
  // The head written before the disk filled is still whole.
  EXPECT_EQ(ValidationErrors(m_Logs + "/CarouselRunLog.xml"), 0);
}

}  // namespace
