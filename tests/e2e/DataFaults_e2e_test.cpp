// Faults of the scan data on the whole system across processes: a board that stops
// sending lines in the middle of a scan, and a disk that fills while the image is written.
// Each run must end as the operator is told, leave no corrupt image under a scan's name,
// keep the images of the slides before it, and the next run must work with nothing
// restarted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "CarouselE2eFixture.h"
#include "RunTestSupport.h"
#include "Tessary/MultiChannelTiffHandler.h"
#include "okSim/okSim.h"
#include "run/RunStatus.h"
#include "run/ScanDataProc.h"
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

  // The image at `path` holds both channels of the first `rows` rows of the region, each
  // pixel as the board's pattern gives it after the line offset measured over the
  // `records` lines the data processor decoded.
  void ExpectExactRows(const std::string& path, int rows, int records, double darkRed, double darkGreen) {
    const auto pages = lumetra_test::ReadTiff(path);
    ASSERT_EQ(pages.size(), 2u) << path;
    for (int channel : {0, 1}) {
      const int ddn = MeasuredDdn(channel, records, darkRed, darkGreen);
      const auto& page = pages[static_cast<std::size_t>(channel)];
      ASSERT_EQ(page.width, static_cast<std::uint32_t>(kPixels));
      ASSERT_EQ(page.length, static_cast<std::uint32_t>(rows)) << path;
      for (int row = 0; row < rows; ++row)
        for (int p = 0; p < kPixels; ++p)
          ASSERT_EQ(page.rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(p)],
                    ExpectedPixel(channel, row, p, darkRed, darkGreen, ddn))
              << path << " channel " << channel << " row " << row << " pixel " << p;
    }
  }

  // The odd/even line offset of a channel over the first `records` lines the board sent.
  static int MeasuredDdn(int channel, int records, double darkRed, double darkGreen) {
    double sum[2] = {0, 0};
    int count[2] = {0, 0};
    for (int n = 0; n < records; ++n) {
      double mean = 0;
      for (int j = 0; j < kPixels; ++j) {
        const double dark = channel == 0 ? darkRed : darkGreen;
        mean +=
            static_cast<double>(std::max<long long>(okSim_PixelValue(n, j, channel) - std::llround(dark), 0));
      }
      sum[n & 1] += mean / kPixels;
      ++count[n & 1];
    }
    if (count[0] == 0 || count[1] == 0) return 0;
    return static_cast<int>(std::floor(sum[1] / count[1] - sum[0] / count[0] + 0.5));
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
    EXPECT_EQ(LinesOfKind(window, 5),
              "Scan failed: Failed to process scan data - " + reason + ".\n" + reason + "\n")
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
  ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();
  for (const auto& line : window.Lines()) EXPECT_LE(line.kind, 3) << line.text << "\n" << window.Transcript();
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), 2u) << window.Transcript();
  for (const auto& file : files) ExpectExactImage(file.fileName, run.darkRed, run.darkGreen);
}

}  // namespace
}  // namespace e2e_test
