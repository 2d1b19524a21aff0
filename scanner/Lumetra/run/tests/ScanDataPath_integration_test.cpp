// The scan data path on the real automation server (created through the COM layer from
// the built library) over the simulated instrument and board: the board's lines of its
// slide through SDPGetData, the ring and the write thread into a closed, merged image,
// checked pixel for pixel against the slide.
#include <algorithm>
#include <cmath>

#include "ComFixture.h"
#include "RecordingWindow.h"
#include "RunTestSupport.h"
#include "SlideImage.h"
#include "okSim/okSim.h"
#include "platform/files.h"
#include "run/ScanDataProc.h"

namespace {

using lumetra::run::CScanDataProc;
using lumetra::run::WM_SCANDATA_PROGRESS;
using lumetra_test::ReadTiff;
using lumetra_test::RecordingWindow;
using lumetra_test::SlideImage;
using lumetra_test::SlideScan;

class ScanDataPathTest : public ComTest {
 protected:
  // Scans `scan` of the board's slide through the data path into a merged image; with
  // `unmirrored` the board sends its backward lines left to right (a fault). The image's
  // pixels that differ from the slide (-1 when the scan did not end well).
  long long ScanAndCompare(IScanCtrl* ctrl, const SlideScan& scan, bool unmirrored = false) {
    for (auto [key, value] : {std::pair{"RedGreenOffsetDeltaH", scan.redGreenH},
                              {"RedGreenOffsetDeltaV", scan.redGreenV},
                              {"LeftRightOffsetDeltaH", scan.leftRightH}})
      devices.flash->set(key, std::to_string(value));
    okSim_SetSlideScan(scan.slide.c_str(), scan.originX, scan.originY, scan.pixelSize, scan.lineResolution,
                       scan.pixels, scan.rows, scan.averagedPairs ? 1 : 0);
    okSim_SetScanOffsets(scan.redGreenH, scan.redGreenV, scan.leftRightH);
    okSim_SetBackwardLinesUnmirrored(unmirrored ? 1 : 0);

    const std::string file = tempDir() + "/out/" + scan.slide + ".tif";
    CScanDataProc proc(ctrl, "");
    proc.CreateTiff(file.c_str(), scan.pixels, scan.rows, 2, scan.pixelSize, scan.lineResolution, false,
                    false, false);
    proc.SetLineResolution(scan.lineResolution);
    proc.SetPixelSizeX(scan.pixelSize);
    EXPECT_EQ(proc.GetStatsSummary(), 1);
    if (proc.PrepareScan(scan.rows, scan.pixels, scan.averagedPairs, 0) != 1) {
      ADD_FAILURE() << log();
      return -1;
    }
    EXPECT_EQ(proc.GetRedLineDelay(), scan.RedDelay());
    RecordingWindow window;
    proc.DoRecvScanData(&window);
    if (!proc.WaitUntilDone(std::chrono::minutes(2))) return -1;
    EXPECT_EQ(proc.GetLinesConsidered(), scan.rows + scan.LeadIn());
    const auto progress = window.Of(WM_SCANDATA_PROGRESS);
    EXPECT_FALSE(progress.empty());
    if (progress.empty() || progress.back() != std::pair<std::uintptr_t, std::intptr_t>{3, scan.rows})
      return -1;
    if (proc.CloseAndSaveScan() != 0) return -1;
    okSim_SetBackwardLinesUnmirrored(0);

    // With laser factor 1 the dark level cancels: a pixel is the slide's value less the
    // instrument's dark value of its colour.
    const SlideImage want(scan, proc.m_Red.rawMean - proc.m_Red.channelOffset,
                          proc.m_Green.rawMean - proc.m_Green.channelOffset);
    const auto pages = ReadTiff(file);
    // Below 5 um the decimated pages follow the two channels.
    EXPECT_GE(pages.size(), 2u);
    if (pages.size() < 2u) return -1;
    long long differing = 0;
    for (int channel : {0, 1}) {
      const auto& page = pages[static_cast<std::size_t>(channel)];
      EXPECT_EQ(page.length, static_cast<std::uint32_t>(scan.rows));
      EXPECT_EQ(page.width, static_cast<std::uint32_t>(scan.pixels));
      if (page.length != static_cast<std::uint32_t>(scan.rows) ||
          page.width != static_cast<std::uint32_t>(scan.pixels))
        return -1;
      for (int row = 0; row < scan.rows; ++row)
        for (int p = 0; p < scan.pixels; ++p) {
          const long long got = page.rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(p)];
          if (got == want.Pixel(channel, row, p)) continue;
          if (differing++ == 0 && !unmirrored)
            ADD_FAILURE() << "first difference: channel " << channel << " row " << row << " pixel " << p
                          << ": " << got << " instead of " << want.Pixel(channel, row, p);
        }
    }
    return differing;
  }

  void SetUpLasers() {
    // Laser references equal to the photodiode counts in the lines' headers.
    okSim_ForcePd(0, 1000);
    okSim_ForcePd(1, 2000);
    for (auto [key, value] : {std::pair{"LaserSetPointMWatt_G", "1000"},
                              {"LaserPDCtToMWatt_G", "1"},
                              {"LaserSetPointMWatt_R", "2000"},
                              {"LaserPDCtToMWatt_R", "1"}})
      devices.flash->set(key, value);
    okSim_SetIntegrationCount(40);
    EXPECT_TRUE(platform::createDirectories(tempDir() + "/out"));
  }
};

// Every arrangement of lines the data path knows, from the board's slide into a closed,
// merged image that is the slide itself, pixel for pixel: backward lines mirrored back,
// pairs averaged, red delayed and both channels registered by the instrument's offsets.
TEST_F(ScanDataPathTest, EveryLineArrangementGivesTheSlidePixelForPixel) {
  const struct Case {
    const char* name;
    SlideScan scan;
  } cases[] = {
      {"5 um, forward and backward lines", {"SLIDE-FB", 12040, 1540, 5, 5, 60, 40}},
      {"10 um, averaged pairs", {"SLIDE-10", 12040, 1540, 10, 10, 50, 30}},
      {"5 um, a double pass in averaged pairs", {"SLIDE-DP", 12040, 1540, 5, 5, 50, 30, true}},
      {"5 um, red/green and left/right offsets", {"SLIDE-OF", 12040, 1540, 5, 5, 60, 40, false, 10, 10, 5}},
      {"5 um, an odd red delay and negative offsets",
       {"SLIDE-OD", 12040, 1540, 5, 5, 60, 40, false, -10, 5, 10}},
      {"3 um, an odd delay of its own", {"SLIDE-3", 12040, 1540, 3, 3, 70, 40, false, 0, 0, 6}},
      {"10 um pairs with a red/green offset", {"SLIDE-10H", 12040, 1540, 10, 10, 50, 30, true, 20, 0, 10}},
  };
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  SetUpLasers();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ScanAndCompare(ctrl.get(), c.scan), 0);
  }
  ctrl->Disconnect();
}

// The comparison sees a board that sends its backward lines unmirrored: every other row
// of the image is the slide mirrored.
TEST_F(ScanDataPathTest, BackwardLinesSentUnmirroredDoNotGiveTheSlide) {
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  SetUpLasers();
  const SlideScan scan{"SLIDE-UM", 12040, 1540, 5, 5, 60, 40};
  const long long differing = ScanAndCompare(ctrl.get(), scan, true);
  EXPECT_GT(differing, scan.pixels * scan.rows / 2) << "of " << 2 * scan.pixels * scan.rows;
  ctrl->Disconnect();
}

}  // namespace
