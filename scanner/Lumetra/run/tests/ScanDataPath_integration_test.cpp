// The scan data path on the real automation server (created through the COM layer from
// the built library) over the simulated instrument and board: the board's deterministic
// lines through SDPGetData, the ring and the write thread into a closed, merged image,
// checked pixel for pixel.
#include <algorithm>
#include <cmath>

#include "ComFixture.h"
#include "RecordingWindow.h"
#include "RunTestSupport.h"
#include "okSim/okSim.h"
#include "platform/files.h"
#include "run/ScanDataProc.h"

namespace {

using lumetra::run::CScanDataProc;
using lumetra::run::WM_SCANDATA_PROGRESS;
using lumetra_test::ReadTiff;
using lumetra_test::RecordingWindow;

long long DdnShift(int ddn, bool oddRow) {
  const long long magnitude = std::llabs(ddn);
  const long long down = (magnitude + 1) / 2, up = magnitude / 2;
  if (!oddRow) return ddn < 0 ? -down : up;
  return ddn > 0 ? -down : up;
}

class ScanDataPathTest : public ComTest {};

TEST_F(ScanDataPathTest, BoardLinesBecomeAClosedMergedImagePixelForPixel) {
  constexpr int kLines = 40, kPixels = 60, kMicrons = 5, kLeadIn = 50 / kMicrons, kRecords = kLines + kLeadIn;
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  // Laser references equal to the photodiode counts in the lines' headers; no offsets.
  okSim_ForcePd(0, 1000);
  okSim_ForcePd(1, 2000);
  for (auto [key, value] : {std::pair{"LaserSetPointMWatt_G", "1000"},
                            {"LaserPDCtToMWatt_G", "1"},
                            {"LaserSetPointMWatt_R", "2000"},
                            {"LaserPDCtToMWatt_R", "1"},
                            {"RedGreenOffsetDeltaH", "0"},
                            {"RedGreenOffsetDeltaV", "0"},
                            {"LeftRightOffsetDeltaH", "0"}})
    devices.flash->set(key, value);
  okSim_SetScanGeometry(kPixels, kRecords);
  okSim_SetIntegrationCount(40);

  const std::string out = tempDir() + "/out";
  platform::createDirectories(out);
  const std::string file = out + "/slide.tif";
  CScanDataProc proc(ctrl.get(), "");
  proc.CreateTiff(file.c_str(), kPixels, kLines, 2, kMicrons, kMicrons, false, false, false);
  proc.SetLineResolution(kMicrons);
  proc.SetPixelSizeX(kMicrons);
  ASSERT_EQ(proc.GetStatsSummary(), 1);
  ASSERT_EQ(proc.PrepareScan(kLines, kPixels, false, 0), 1) << log();
  ASSERT_EQ(proc.GetRedLineDelay(), 10);

  RecordingWindow window;
  proc.DoRecvScanData(&window);
  ASSERT_TRUE(proc.WaitUntilDone(std::chrono::minutes(2)));
  EXPECT_EQ(proc.GetLinesConsidered(), kRecords);
  const auto progress = window.Of(WM_SCANDATA_PROGRESS);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), (std::pair<std::uintptr_t, std::intptr_t>{3, kLines})) << log();
  ASSERT_EQ(proc.CloseAndSaveScan(), 0) << log();

  // With laser factor 1 the dark level cancels: a pixel is the board's value less the
  // instrument's dark value of its colour.
  const double dark[2] = {proc.m_Red.rawMean - proc.m_Red.channelOffset,
                          proc.m_Green.rawMean - proc.m_Green.channelOffset};
  const auto decoded = [&](int line, int j, int channel) {
    return std::max<long long>(okSim_PixelValue(line, j, channel) - std::llround(dark[channel]), 0);
  };
  const auto pages = ReadTiff(file);
  ASSERT_EQ(pages.size(), 2u);
  for (int channel : {0, 1}) {
    double sum[2] = {0, 0};
    for (int n = 0; n < kRecords; ++n) {
      double mean = 0;
      for (int j = 0; j < kPixels; ++j) mean += static_cast<double>(decoded(n, j, channel));
      sum[n & 1] += mean / kPixels;
    }
    const int ddn = static_cast<int>(std::floor(sum[1] / (kRecords / 2) - sum[0] / (kRecords / 2) + 0.5));
    const auto& page = pages[static_cast<std::size_t>(channel)];
    ASSERT_EQ(page.length, static_cast<std::uint32_t>(kLines));
    ASSERT_EQ(page.width, static_cast<std::uint32_t>(kPixels));
    for (int row = 0; row < kLines; ++row) {
      // Red is seen ten lines after green; backward lines arrive mirrored.
      const int line = row + kLeadIn - (channel == 0 ? 10 : 0);
      for (int p = 0; p < kPixels; ++p) {
        const int j = (line & 1) ? kPixels - 1 - p : p;
        const long long want =
            std::clamp<long long>(decoded(line, j, channel) + DdnShift(ddn, row & 1), 0, 65535);
        ASSERT_EQ(page.rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(p)], want)
            << "channel " << channel << " row " << row << " pixel " << p;
      }
    }
  }
  ctrl->Disconnect();
}

}  // namespace
