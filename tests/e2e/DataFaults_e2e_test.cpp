// Faults of the scan data on the whole system across processes: a board that stops
// sending lines in the middle of a scan, and a disk that fills while the image is written.
// Each run must end as the operator is told, leave no corrupt image under a scan's name,
// keep the images of the slides before it, and the next run must work with nothing
// restarted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CarouselE2eFixture.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "RunTestSupport.h"
#include "Tessary/MultiChannelTiffHandler.h"
#include "config/CarouselCfgInfo.h"
#include "okSim/okSim.h"
#include "run/RunStatus.h"
#include "run/ScanDataProc.h"
#include "testsupport/FileSizeLimit.h"
#include "testsupport/TestEnv.h"

namespace e2e_test {
namespace {

using lumetra::run::CScanDataProc;
using lumetra_test::ProgressWindow;
using testing::HasSubstr;

std::string MessageText(int id) {
  std::string text;
  lumetra::run::GetMessageText(id, text);
  return text;
}

std::string LinesOfKind(const ProgressWindow& window, int kind) {
  std::string out;
  for (const auto& line : window.Lines())
    if (line.kind == kind) out += line.text + "\n";
  return out;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (!std::filesystem::exists(folder)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  return names;
}

class DataFaultsE2eTest : public CarouselRunE2eTest {
 protected:
  // The daemon ready and the instrument serving `slides`; a connected automation object.
  ComPtr<IScanCtrl> Connected(const std::vector<Slide>& slides) {
    if (!m_Daemon.Ready()) {
      ADD_FAILURE() << m_Daemon.Log() << m_Daemon.program().Err();
      return {};
    }
    if (!m_Port) {
      m_Port = StartInstrument(slides);
      if (!m_Port) return {};
      if (!WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) {
        ADD_FAILURE() << m_Daemon.Log();
        return {};
      }
    }
    ComPtr<IScanCtrl> ctrl = create();
    if (ctrl->Connect("127.0.0.2_" + std::to_string(*m_Port)) != platform::com::S_OK) {
      ADD_FAILURE() << description() << log();
      return {};
    }
    return ctrl;
  }

  // The image at `path` holds both channels of the first `rows` rows of the region (of
  // the fixture's scans, `pixels` wide), each pixel the slide's after the line offset
  // measured over the `records` lines the data processor decoded.
  void ExpectExactRows(const std::string& path, int rows, int records, double darkRed, double darkGreen,
                       int pixels = kPixels) {
    const auto pages = lumetra_test::ReadTiff(path);
    ASSERT_EQ(pages.size(), 2u) << path;
    for (int channel : {0, 1}) {
      SCOPED_TRACE(path + " channel " + std::to_string(channel));
      ExpectRows(pages[static_cast<std::size_t>(channel)], path, channel, pixels, rows, records, darkRed,
                 darkGreen, true);
    }
  }

  // A page of `rows` rows of `pixels` holding a channel (0 red, 1 green) of the slide the
  // image at `path` shows, each row corrected by half the line offset (or, without
  // `corrected`, as the scan wrote it).
  void ExpectRows(const lumetra_test::TiffPage& page, const std::string& path, int channel, int pixels,
                  int rows, int records, double darkRed, double darkGreen, bool corrected) {
    ASSERT_EQ(page.width, static_cast<std::uint32_t>(pixels));
    ASSERT_EQ(page.length, static_cast<std::uint32_t>(rows));
    ASSERT_EQ(page.bits, 16);
    lumetra_test::SlideScan scan = RegionScan(BarcodeOf(path));
    scan.pixels = pixels;
    const lumetra_test::SlideImage want(scan, darkRed, darkGreen, records);
    for (int row = 0; row < rows; ++row) {
      std::vector<std::uint32_t> expected(static_cast<std::size_t>(pixels));
      for (int p = 0; p < pixels; ++p)
        expected[static_cast<std::size_t>(p)] = static_cast<std::uint32_t>(
            corrected ? want.Pixel(channel, row, p) : want.Placed(channel, row, p));
      ASSERT_EQ(page.rows[static_cast<std::size_t>(row)], expected) << "row " << row;
    }
  }

  std::optional<std::uint16_t> m_Port;
};

TEST_F(DataFaultsE2eTest, ABoardThatStopsSendingMidScanSkipsThatSlideOnlyAndTheNextRunWorks) {
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}};
  constexpr int kDelivered = kRecords / 2;  // the lead-in and the region's first 15 rows
  {
    ComPtr<IScanCtrl> ctrl = Connected(slides);
    ASSERT_TRUE(ctrl);
    const auto config = MakeRunConfig(1, 2, {1, 2});
    ProgressWindow window;
    // The second slide's board goes quiet half-way; the first scans whole. While that
    // slide's data flows, time runs evenly for every thread (no sleep moves it on by
    // itself), as it does for a real scanner whose data stops coming.
    int started = 0;
    bool failed = false;
    window.OnMessage = [&](unsigned message, std::uintptr_t code, std::intptr_t) {
      if (message != lumetra::run::WM_SCANDATA_PROGRESS) return;
      if (code == lumetra::run::kScanDataStarted && ++started == 2) {
        clock_->setAutoAdvance(false);
        okSim_SetScanLinesDelivered(kDelivered);
      }
      if (code == lumetra::run::kScanDataFailed && started == 2 && !failed) {
        failed = true;
        clock_->setAutoAdvance(true);
      }
    };
    const RunResult run = RunCarousel(*ctrl, *config, window);
    clock_->setAutoAdvance(true);
    okSim_SetScanLinesDelivered(-1);
    ctrl->Disconnect();
    ASSERT_EQ(started, 2) << window.Transcript();

    // The slide is given up with the data processing's reason, the run goes on to its end.
    ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();
    const std::string reason = CScanDataProc::GetStatusText(lumetra::run::kDataStatusReadFailed);
    EXPECT_EQ(LinesOfKind(window, 5), "Scan failed: Failed to process scan data - " + reason + ".\n" +
                                          reason + "\nSlide skipped in slot(#): 2.\n")
        << window.Transcript();
    EXPECT_EQ(LinesOfKind(window, 7), "Slide skipped.\r\n\r\n\n") << window.Transcript();
    EXPECT_THAT(LinesOfKind(window, 1), HasSubstr(MessageText(9937))) << window.Transcript();
    EXPECT_THAT(log(), HasSubstr("the Scan Data Port failed to retrieve any of the data we expected"));
    const auto history = HistoryRecords(kSerial);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_THAT(history[0], testing::Contains("Success"));
    EXPECT_THAT(history[1], testing::Contains("Skipped"));

    // The first slide's image is whole; the second holds the rows that came, each exact,
    // and says it is not a whole scan.
    const auto files = window.ScanFiles();
    ASSERT_EQ(files.size(), 2u) << window.Transcript();
    ExpectExactImage(files[0].fileName, run.darkRed, run.darkGreen);
    EXPECT_EQ(FilesIn(outDir()), (std::vector<std::string>{files[0].fileName, files[1].fileName}));
    ExpectExactRows(files[1].fileName, kDelivered - kLeadIn, kDelivered, run.darkRed, run.darkGreen);
    EXPECT_THAT(testsupport::readFile(files[1].fileName), HasSubstr("Slide skipped."));
    // Nothing of the scans is left behind unnamed.
    for (const std::string& left : FilesIn(MultiChannelTiffHandler::GetTempScanPath()))
      EXPECT_THAT(log(), HasSubstr("scan data kept in '" + left + "'"));
  }

  // The board sends whole scans again: the next run, with nothing restarted, is whole.
  ComPtr<IScanCtrl> ctrl = Connected(slides);
  ASSERT_TRUE(ctrl);
  const auto config = MakeRunConfig(1, 2, {1, 2});
  ProgressWindow window;
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ExpectWholeImages(run, window, 2);
  for (const auto& line : window.Lines()) EXPECT_LE(line.kind, 3) << line.text << "\n" << window.Transcript();
}

// ---- a disk that fills while the image is written ------------------------------------------
//
// A size limit on the files of one process (RLIMIT_FSIZE, with SIGXFSZ ignored) makes a
// write past it fail as on a full disk, with no privileges needed. The limit must hold
// only for the process that writes the images: the scanning side (automation server,
// board and run manager) runs in a child process of the test, this test binary again
// with the filter of the scanning side's test below; the connection manager and the
// instrument stay the parent's programs. The child runs two carousels, the first under
// the limit, the second without it, and leaves what each did in a folder for the parent.

// The scanning side's scan: large enough that its image files outgrow the limits used,
// while the logs, report and history of the run stay far below them.
constexpr int kWidePixels = 1000, kLongLines = 600;

// What the parent hands the scanning side (environment variables).
constexpr const char* kSideRuntime = "ZEVA_E2E_SIDE_RUNTIME";         // the connection manager's pipes
constexpr const char* kSideInstrument = "ZEVA_E2E_SIDE_INSTRUMENT";   // connect string
constexpr const char* kSideCommandLog = "ZEVA_E2E_SIDE_COMMAND_LOG";  // the instrument's command log
constexpr const char* kSideImages = "ZEVA_E2E_SIDE_IMAGES";           // run N's images go to <it>/runN
constexpr const char* kSideTemp = "ZEVA_E2E_SIDE_TEMP";               // temporary image folder
constexpr const char* kSideLimit = "ZEVA_E2E_SIDE_FILE_LIMIT";        // bytes, for the first run
constexpr const char* kSideResults = "ZEVA_E2E_SIDE_RESULTS";         // where each run's record goes

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

using testsupport::FileSizeLimit;

class ScanningSideTest : public lumetra_test::CarouselRunTest {
 protected:
  ScanningSideTest()
      : m_DaemonPipes("ZEVA_RUNTIME_DIR", Env(kSideRuntime).c_str()), m_CommandLog(Env(kSideCommandLog)) {
    okSim_SetCalibrationLightProbe(&LightFromInstrumentLog, &m_CommandLog);
    // The instrument is the parent's program: it describes each scan beside its command log.
    okSim_SetScanFile(ScanFileBeside(m_CommandLog).c_str());
  }
  ~ScanningSideTest() override {
    okSim_SetCalibrationLightProbe(nullptr, nullptr);
    okSim_SetScanFile("");
  }

  // The connection manager is the parent's program: its pipes are in the parent's folder.
  ScopedEnvironment m_DaemonPipes;
  std::string m_CommandLog;
};

// Only ever run by the parent below (hence disabled): the runs of the scanning side.
TEST_F(ScanningSideTest, DISABLED_TwoRunsTheFirstWithLimitedFileSizes) {
  for (const char* name :
       {kSideRuntime, kSideInstrument, kSideCommandLog, kSideImages, kSideTemp, kSideLimit, kSideResults})
    ASSERT_FALSE(Env(name).empty()) << name << " is not set";
  CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).WriteString("TemporaryImageFolder", Env(kSideTemp));
  ComPtr<IScanCtrl> ctrl = create();
  ASSERT_EQ(ctrl->Connect(Env(kSideInstrument)), platform::com::S_OK) << description() << log();
  for (int run = 1; run <= 2; ++run) {
    const auto config = MakeRunConfig(1, 1, {1});
    CSlotScanCfgInfo& slot = *config->GetAt(1);
    slot.RegionWidth = kWidePixels * kMicrons;
    slot.RegionHeight = kLongLines * kMicrons;
    slot.OutputPath = Env(kSideImages) + "/run" + std::to_string(run);
    std::filesystem::create_directories(slot.OutputPath);
    ProgressWindow window;
    RunResult result;
    {
      std::optional<FileSizeLimit> limit;
      if (run == 1) {
        limit.emplace(static_cast<rlim_t>(std::stoll(Env(kSideLimit))));
        ASSERT_TRUE(limit->IsSet());
      }
      result = RunCarousel(*ctrl, *config, window);
    }
    std::string record = "code " + (result.code ? std::to_string(*result.code) : std::string("none")) + "\n";
    char dark[96];
    std::snprintf(dark, sizeof dark, "dark %.17g %.17g\n", result.darkRed, result.darkGreen);
    record += dark;
    for (const auto& file : window.ScanFiles()) record += "file " + file.fileName + "\n";
    const auto history = HistoryRecords(kSerial);
    if (!history.empty()) record += "result " + history.back().back() + "\n";
    const std::string results = Env(kSideResults) + "/run" + std::to_string(run);
    testsupport::writeFile(results + ".txt", record);
    testsupport::writeFile(results + ".transcript", window.Transcript());
    testsupport::writeFile(results + ".log", log());
  }
  ctrl->Disconnect();
}

// One run of the scanning side as the parent reads it back.
struct SideRun {
  std::optional<int> code;
  double darkRed = 0, darkGreen = 0;
  std::vector<std::string> files;
  std::string result;  // of the slide's scan-history line
  std::string transcript, log;
};

SideRun ReadSideRun(const std::string& folder, int run) {
  SideRun out;
  const std::string base = folder + "/run" + std::to_string(run);
  std::istringstream record(testsupport::readFile(base + ".txt"));
  for (std::string key; record >> key;) {
    if (key == "code") {
      std::string code;
      record >> code;
      if (code != "none") out.code = std::stoi(code);
    } else if (key == "dark") {
      record >> out.darkRed >> out.darkGreen;
    } else if (key == "result") {
      record >> out.result;
    } else if (key == "file") {
      std::string file;
      record >> file;
      out.files.push_back(file);
    }
  }
  out.transcript = testsupport::readFile(base + ".transcript");
  out.log = testsupport::readFile(base + ".log");
  return out;
}

struct DiskFullCase {
  const char* name;
  long long limit;  // bytes a file may hold
  // What the run under the limit tells the operator (in this order), its end code and
  // the slide's scan-history result.
  std::vector<std::string> lines;
  int code;
  const char* result;
  // Where the scan data stays: the channel files in the temporary folder as they were
  // written (the scan failed), or copies of whole channel files next to the image's name
  // (only the merged image failed).
  bool keptInTemp;
};

// A channel file holds 1.2 MB, the merged image twice that.
const DiskFullCase kDiskFullCases[] = {
    {"WhileTheScanIsWritten",
     512 * 1024,
     {"[5] Scan failed: Failed to process scan data - Failed to write to the scan file.",
      "[7] Slide skipped.", "[5] Failed to write to the scan file",
      "[5] Carousel run ended without scanning a slide.", "[5] Slide skipped in slot(#): 1."},
     1,
     "Skipped",
     true},
    {"WhileTheImageIsMerged",
     1800 * 1000,
     {"[5] Failed to write to the scan file", "[5] Scan failed.\r\nFailed to write to the scan file\r\n",
      "[5] Slide failed in slot(#): 1."},
     1,
     "Failed",
     false},
};

void PrintTo(const DiskFullCase& c, std::ostream* os) { *os << c.name; }

class DiskFullE2eTest : public DataFaultsE2eTest, public testing::WithParamInterface<DiskFullCase> {};

TEST_P(DiskFullE2eTest, TheRunTellsTheImageWasNotWrittenLeavesNoCorruptImageAndTheNextRunWorks) {
  const DiskFullCase& c = GetParam();
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  const std::vector<Slide> slides = {{1, "250000000001"}};
  const auto port = StartInstrument(slides, 0, kLongLines);
  ASSERT_TRUE(port);
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();

  const std::string temp = tempDir() + "/scan-temp", results = tempDir() + "/side";
  std::filesystem::create_directories(results);
  const std::string instrument = "127.0.0.2_" + std::to_string(*port);
  const std::string limit = std::to_string(c.limit);
  const ScopedEnvironment env[] = {{kSideRuntime, m_Runtime.c_str()},
                                   {kSideInstrument, instrument.c_str()},
                                   {kSideCommandLog, m_InstrumentLog.c_str()},
                                   {kSideImages, outDir().c_str()},
                                   {kSideTemp, temp.c_str()},
                                   {kSideLimit, limit.c_str()},
                                   {kSideResults, results.c_str()}};
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  Program side("scanning-side",
               {self, "--gtest_filter=ScanningSideTest.DISABLED_TwoRunsTheFirstWithLimitedFileSizes",
                "--gtest_also_run_disabled_tests"},
               tempDir());
  ASSERT_EQ(side.Wait(std::chrono::seconds(120)), std::optional<int>(0)) << side.Out() << side.Err();

  // Under the limit: the operator is told the scan file could not be written, the slide
  // is not taken for scanned, and the run ends as it says.
  const SideRun first = ReadSideRun(results, 1);
  ASSERT_EQ(first.files.size(), 1u) << first.transcript;
  std::size_t at = 0;
  for (const std::string& line : c.lines) {
    at = first.transcript.find(line, at);
    ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << first.transcript;
  }
  EXPECT_EQ(first.code, std::optional<int>(c.code)) << first.transcript;
  EXPECT_EQ(first.result, c.result);
  EXPECT_THAT(first.log, HasSubstr("[error code: " + std::to_string(EFBIG) + "]"));

  // No image under the scan's name, nor a part of one; every file the run left is named
  // in its log with what it holds.
  const std::string image = first.files[0];
  EXPECT_FALSE(std::filesystem::exists(image));
  const auto kept = FilesIn(temp), beside = FilesIn(outDir() + "/run1");
  for (const std::string& left : kept) EXPECT_THAT(first.log, HasSubstr("scan data kept in '" + left + "'"));
  for (const std::string& left : beside) EXPECT_THAT(first.log, HasSubstr("recovered into '" + left + "'"));
  if (c.keptInTemp) {
    EXPECT_EQ(kept.size(), 2u);
    EXPECT_THAT(beside, testing::IsEmpty());
  } else {
    // Each channel's rows as the scan wrote them, whole (the line offset is corrected only
    // in a merged image).
    EXPECT_THAT(kept, testing::IsEmpty());
    const std::string base = image.substr(0, image.size() - 4);
    ASSERT_EQ(beside, (std::vector<std::string>{base + "_Green.tif", base + "_Red.tif"}));
    for (int channel : {0, 1}) {
      const auto pages = lumetra_test::ReadTiff(beside[channel == 0 ? 1 : 0]);
      ASSERT_EQ(pages.size(), 1u);
      SCOPED_TRACE(beside[channel == 0 ? 1 : 0]);
      ExpectRows(pages[0], image, channel, kWidePixels, kLongLines, kLongLines + kLeadIn, first.darkRed,
                 first.darkGreen, false);
    }
  }

  // Without the limit, the next run (the same instrument and connection manager) is whole.
  const SideRun second = ReadSideRun(results, 2);
  ASSERT_EQ(second.code, std::optional<int>(0)) << second.transcript << second.log;
  ASSERT_EQ(second.files.size(), 1u) << second.transcript;
  EXPECT_EQ(second.result, "Success");
  EXPECT_THAT(second.transcript, testing::Not(HasSubstr("[5]")));
  ExpectExactRows(second.files[0], kLongLines, kLongLines + kLeadIn, second.darkRed, second.darkGreen,
                  kWidePixels);
}

INSTANTIATE_TEST_SUITE_P(, DiskFullE2eTest, testing::ValuesIn(kDiskFullCases),
                         [](const testing::TestParamInfo<DiskFullCase>& info) { return info.param.name; });

}  // namespace
}  // namespace e2e_test
