// The simulated board's own promises: latching, snapshots, scripts, and scan lines in
// the layout the scanner's data processing decodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Pellux/okFrontPanelApi.h"
#include "okSim/SlidePicture.h"
#include "okSim/okSim.h"
#include "platform/clock.h"
#include "testsupport/TestEnv.h"

extern "C" {
#define SIMTEST_DECLARE(name, ret, params) ret name params;
OK_FRONTPANEL_ENTRIES(SIMTEST_DECLARE)
#undef SIMTEST_DECLARE
}

namespace {
class OkSimBoardTest : public testsupport::ZevaTest {
 protected:
  OkSimBoardTest() : clock_(std::make_shared<platform::ManualClock>()), scoped_(clock_) {
    okSim_Reset();
    board_ = okUsbFrontPanel_Construct();
    const std::string bit = tempDir() + "/sim.bit";
    testsupport::writeFile(bit, "version=41");
    EXPECT_EQ(okUsbFrontPanel_OpenBySerial(board_, "SIM-KETH-0001"), 0);
    EXPECT_EQ(okUsbFrontPanel_ConfigureFPGA(board_, bit.c_str()), 0);
  }
  ~OkSimBoardTest() override { okUsbFrontPanel_Destruct(board_); }
  int wireOut(int ep) {
    okUsbFrontPanel_UpdateWireOuts(board_);
    return okUsbFrontPanel_GetWireOutValue(board_, ep);
  }

  std::shared_ptr<platform::ManualClock> clock_;
  platform::ScopedClock scoped_;
  okBoardHandle board_ = nullptr;
};
}  // namespace

TEST_F(OkSimBoardTest, WireInsLatchOnUpdateAndWireOutsAreSnapshots) {
  EXPECT_EQ(wireOut(0x29), 41);
  okUsbFrontPanel_SetWireInValue(board_, 0x05, 0x8123, 0xFFFF);
  EXPECT_EQ(okSim_GetWireIn(0x05), 0u);
  okUsbFrontPanel_UpdateWireIns(board_);
  EXPECT_EQ(okSim_GetWireIn(0x05), 0x8123u);
  okUsbFrontPanel_SetWireInValue(board_, 0x05, 0x0000, 0x8000);  // only the masked bit
  okUsbFrontPanel_UpdateWireIns(board_);
  EXPECT_EQ(okSim_GetWireIn(0x05), 0x0123u);

  okUsbFrontPanel_UpdateWireOuts(board_);
  EXPECT_EQ(okUsbFrontPanel_ActivateTriggerIn(board_, 0x40, 8), 0);      // red supply on
  EXPECT_EQ(okUsbFrontPanel_GetWireOutValue(board_, 0x31) & 0x8000, 0);  // the old snapshot
  EXPECT_EQ(wireOut(0x31) & 0x8000, 0x8000);
}

TEST_F(OkSimBoardTest, APMTReadsBackItsWordOrTheVoltageThatWordSet) {
  okUsbFrontPanel_SetWireInValue(board_, 0x00, 2457, 0xFFFF);  // 600.0 V at 4.095 counts per volt
  okUsbFrontPanel_UpdateWireIns(board_);
  EXPECT_EQ(okUsbFrontPanel_ActivateTriggerIn(board_, 0x40, 2), 0);  // red PMT
  EXPECT_EQ(wireOut(0x2E), 2457);
  okSim_SetPMTReadsVoltage(1);
  EXPECT_EQ(wireOut(0x2E), 39321);  // 600.0 V of 1000 V over 16 bits
  EXPECT_EQ(wireOut(0x2F), 0);      // the green tube was never set
  okSim_Reset();
  EXPECT_EQ(wireOut(0x2E), 0);
}

TEST_F(OkSimBoardTest, ScriptedResultsAreOneShotOrSticky) {
  okSim_ScriptResult("okUsbFrontPanel_OpenBySerial", -5, 0);
  EXPECT_EQ(okUsbFrontPanel_OpenBySerial(board_, "SIM-KETH-0001"), -5);
  EXPECT_EQ(okUsbFrontPanel_OpenBySerial(board_, "SIM-KETH-0001"), 0);
  okSim_ScriptResult("okUsbFrontPanel_OpenBySerial", -1, 1);
  EXPECT_EQ(okUsbFrontPanel_OpenBySerial(board_, "SIM-KETH-0001"), -1);
  EXPECT_EQ(okUsbFrontPanel_OpenBySerial(board_, "SIM-KETH-0001"), -1);
  okSim_ClearScripts();
  EXPECT_EQ(okUsbFrontPanel_OpenBySerial(board_, "NO-SUCH-BOARD"), -8);
  EXPECT_EQ(oksim::calls("OpenBySerial").back(), "okUsbFrontPanel_OpenBySerial(NO-SUCH-BOARD)");
}

namespace {

// One line of a scan run's stream, decoded: direction and each pixel's values.
struct SentLine {
  int number = 0, direction = 0;
  std::vector<unsigned> red, green;
};

std::vector<SentLine> ReadScanRun(okBoardHandle board, int pixels, int lines) {
  okUsbFrontPanel_SetWireInValue(board, 0x02, 0x8080, 0xFFFF);
  okUsbFrontPanel_UpdateWireIns(board);
  const long lineBytes = 32 + 8L * pixels;
  std::vector<unsigned char> data(static_cast<std::size_t>(lines * lineBytes));
  EXPECT_EQ(okUsbFrontPanel_ReadFromBlockPipeOut(board, 0xA0, 8, lines * lineBytes, data.data()),
            lines * lineBytes);
  std::vector<SentLine> out;
  for (int line = 0; line < lines; ++line) {
    const unsigned char* h = &data[static_cast<std::size_t>(line * lineBytes)];
    EXPECT_EQ(h[0], 0xFF);
    EXPECT_EQ(h[3], 0x01);
    EXPECT_EQ(h[8] | (h[9] << 8), pixels);
    SentLine sent{h[4] | (h[5] << 8), h[6] | (h[7] << 8), {}, {}};
    for (int px = 0; px < pixels; ++px) {
      const unsigned char* p = h + 32 + 8 * px;
      const unsigned count = p[0] + 256u * (p[1] & 0x03);
      sent.green.push_back(((p[4] * 256u + p[7]) * 256u + p[6]) * 4 / count);
      sent.red.push_back(((p[3] * 256u + p[2]) * 256u + p[5]) * 4 / count);
    }
    out.push_back(std::move(sent));
  }
  okUsbFrontPanel_SetWireInValue(board, 0x02, 0x0000, 0xFFFF);
  okUsbFrontPanel_UpdateWireIns(board);
  return out;
}

}  // namespace

TEST(SlidePictureTest, LooksLikeASlideAndDiffersByChannelAndSlide) {
  const oksim::SlidePicture a("250000000001"), b("250000000002");
  // Deterministic, red and green differ, slides differ.
  int differentChannels = 0, differentSlides = 0, spotPixels = 0, maximum = 0;
  for (long y = 1500; y < 4500; y += 5)
    for (long x = 12000; x < 15000; x += 5) {
      const int red = a.Value(0, x, y), green = a.Value(1, x, y);
      ASSERT_EQ(red, oksim::SlidePicture("250000000001").Value(0, x, y));
      differentChannels += red != green;
      differentSlides += red != b.Value(0, x, y);
      spotPixels += red > 2000 || green > 2000;
      maximum = std::max({maximum, red, green});
    }
  EXPECT_GT(differentChannels, 300000);
  EXPECT_GT(differentSlides, 100000);
  EXPECT_GT(spotPixels, 10000);  // bright spots
  EXPECT_LE(maximum, oksim::SlidePicture::kMaxValue);
  // The background between the blocks is faint and has a gradient; the label is dark;
  // nothing shines beyond the glass.
  EXPECT_LT(a.Value(0, 14500, 1000), 600);
  EXPECT_LT(a.Value(0, 14500, 1000), a.Value(0, 70000, 24000));
  EXPECT_LT(a.Value(0, 5000, 12000), 50);
  EXPECT_LT(a.Value(1, 5000, 12000), 50);
  EXPECT_EQ(a.Value(1, -1, 12000), 0);
  EXPECT_EQ(a.Value(1, 12000, 25000), 0);
}

// The lines sample the slide where each of their pixels belongs: forward lines left to
// right, backward lines right to left; first the lines the red delay needs above the
// region, and in averaged pairs every row twice.
TEST_F(OkSimBoardTest, ScanLinesSampleTheSlideInTheirDirection) {
  const struct Case {
    const char* name;
    int pixelSize, lineResolution;
    bool pairs;
  } cases[] = {{"5 um, one pass", 5, 5, false},
               {"10 um, averaged pairs", 10, 10, false},
               {"3 um, double pass", 3, 3, true}};
  constexpr int kPixels = 40, kRows = 6;
  constexpr long kX = 12400, kY = 1700;
  const oksim::SlidePicture picture("SLIDE-7");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    okSim_SetSlideScan("SLIDE-7", kX, kY, c.pixelSize, c.lineResolution, kPixels, kRows, c.pairs ? 1 : 0);
    const int leadIn = 50 / c.lineResolution, delay = (50 + c.lineResolution / 2) / c.lineResolution;
    const bool pairs = c.pairs || c.lineResolution == 10;
    const int lines = (kRows + leadIn) * (pairs ? 2 : 1);
    ASSERT_EQ(okSim_ScanLines(), lines);
    const auto sent = ReadScanRun(board_, kPixels, lines);
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(lines));
    for (int n = 0; n < lines; ++n) {
      EXPECT_EQ(sent[static_cast<std::size_t>(n)].number, n);
      EXPECT_EQ(sent[static_cast<std::size_t>(n)].direction, n & 1);
      const long row = (pairs ? n / 2 : n) - leadIn;
      for (int j = 0; j < kPixels; ++j) {
        const long x = kX + ((n & 1) ? kPixels - 1 - j : j) * c.pixelSize;
        // The red spot runs 50 um ahead: the red of this line belongs that many rows on,
        // rounded (17 at 3 um).
        ASSERT_EQ(sent[static_cast<std::size_t>(n)].green[static_cast<std::size_t>(j)],
                  static_cast<unsigned>(picture.Value(1, x, kY + row * c.lineResolution)))
            << "line " << n << " pixel " << j;
        ASSERT_EQ(sent[static_cast<std::size_t>(n)].red[static_cast<std::size_t>(j)],
                  static_cast<unsigned>(picture.Value(0, x, kY + (row + delay) * c.lineResolution)))
            << "line " << n << " pixel " << j;
      }
    }
  }
}

// An instrument in another process describes each scan in a file; the board follows it
// until the run's stream is first read, and keeps its scan when the file says nonsense.
TEST_F(OkSimBoardTest, TheScanFileDecidesTheScanUntilTheRunIsRead) {
  const std::string file = tempDir() + "/scan.txt";
  okSim_SetScanFile(file.c_str());
  testsupport::writeFile(file, "scan 30 4 12000 2000 5 5 1 SLIDE A\n");
  okUsbFrontPanel_SetWireInValue(board_, 0x02, 0x8080, 0xFFFF);
  okUsbFrontPanel_UpdateWireIns(board_);
  EXPECT_EQ(wireOut(0x2A), 14 * (32 + 8 * 30));
  // Written once the run was set up, as the instrument does when its scan starts.
  testsupport::writeFile(file, "scan 20 3 12000 2000 10 10 1 SLIDE B\n");
  EXPECT_EQ(wireOut(0x2A), 16 * (32 + 8 * 20));  // (3 rows + 5) x 2 at 10 um
  std::vector<unsigned char> line(32 + 8 * 20);
  ASSERT_EQ(
      okUsbFrontPanel_ReadFromBlockPipeOut(board_, 0xA0, 8, static_cast<long>(line.size()), line.data()),
      static_cast<long>(line.size()));
  testsupport::writeFile(file, "scan 50 3 12000 2000 10 10 1 SLIDE C\n");
  EXPECT_EQ(wireOut(0x2A), 15 * (32 + 8 * 20));  // the run keeps its scan
  okUsbFrontPanel_SetWireInValue(board_, 0x02, 0x0000, 0xFFFF);
  okUsbFrontPanel_UpdateWireIns(board_);

  for (const char* bad : {"scan 0 3 1 1 5 5 1 S\n", "scan 20 3 1 1 5 5 3 S\n", "scan 20 3 1 1 5 5 1\n",
                          "scan twenty 3 1 1 5 5 1 S\n", "", "frame 20 3 1 1 5 5 1 S\n"}) {
    testsupport::writeFile(file, bad);
    okUsbFrontPanel_SetWireInValue(board_, 0x02, 0x8080, 0xFFFF);
    okUsbFrontPanel_UpdateWireIns(board_);
    EXPECT_EQ(wireOut(0x2A), 16 * (32 + 8 * 20)) << bad;  // slide B's scan, as it was
    okUsbFrontPanel_SetWireInValue(board_, 0x02, 0x0000, 0xFFFF);
    okUsbFrontPanel_UpdateWireIns(board_);
  }
  okSim_SetScanFile("");
}

TEST_F(OkSimBoardTest, ABoardThatStopsSendingHasOnlyItsFirstLinesForEveryRun) {
  okSim_SetScanGeometry(50, 5);
  okSim_SetScanLinesDelivered(2);
  const long lineBytes = 32 + 8 * 50;
  std::vector<unsigned char> data(5 * lineBytes);
  for (int run = 0; run < 2; ++run) {
    okUsbFrontPanel_SetWireInValue(board_, 0x02, 0x8080, 0xFFFF);
    okUsbFrontPanel_UpdateWireIns(board_);
    EXPECT_EQ(wireOut(0x2A), 2 * lineBytes);
    EXPECT_EQ(okUsbFrontPanel_ReadFromBlockPipeOut(board_, 0xA0, 8, 3 * lineBytes, data.data()), -2);
    ASSERT_EQ(okUsbFrontPanel_ReadFromBlockPipeOut(board_, 0xA0, 8, 2 * lineBytes, data.data()),
              2 * lineBytes);
    EXPECT_EQ(data[static_cast<std::size_t>(lineBytes) + 4], 1);  // the second line, as sent
    clock_->advance(std::chrono::seconds(60));
    EXPECT_EQ(wireOut(0x2A), 0);  // the rest never comes
    okUsbFrontPanel_SetWireInValue(board_, 0x02, 0x0000, 0xFFFF);
    okUsbFrontPanel_UpdateWireIns(board_);
  }
  okSim_SetScanLinesDelivered(-1);
  okUsbFrontPanel_SetWireInValue(board_, 0x02, 0x8080, 0xFFFF);
  okUsbFrontPanel_UpdateWireIns(board_);
  EXPECT_EQ(wireOut(0x2A), 5 * lineBytes);
}

TEST_F(OkSimBoardTest, ABoundedBoardHoldsNoMoreThanItsBufferUnread) {
  okSim_SetScanGeometry(50, 5);
  okSim_SetScanBuffer(2 * (32 + 8 * 50));
  const long lineBytes = 32 + 8 * 50;
  okUsbFrontPanel_SetWireInValue(board_, 0x02, 0x8080, 0xFFFF);
  okUsbFrontPanel_UpdateWireIns(board_);
  std::vector<unsigned char> data(5 * lineBytes);
  for (long left = 5 * lineBytes; left > 0; left -= lineBytes) {
    EXPECT_EQ(wireOut(0x2A), std::min(left, 2 * lineBytes));
    ASSERT_EQ(okUsbFrontPanel_ReadFromBlockPipeOut(board_, 0xA0, 8, lineBytes, data.data()), lineBytes);
  }
  EXPECT_EQ(wireOut(0x2A), 0);
  okSim_SetScanBuffer(0);
}

TEST_F(OkSimBoardTest, TheDcmEyeAndItsNeighbours) {
  okSim_SetDcmEye(1, 0, 10, 5);
  okSim_SetDcmPosition(1, 0);
  auto bits = [&] { return static_cast<unsigned>(wireOut(0x26)) & 0x2AAAu; };
  EXPECT_EQ(bits(), 0x2A80u);
  EXPECT_EQ(wireOut(0x21) & 0x4300, 0x4300);  // locked, done, phase OK
  okSim_SetDcmPosition(1, 10);
  const unsigned above = bits();
  okSim_SetDcmPosition(1, 15);
  EXPECT_NE(bits(), above);
  EXPECT_NE(above, 0x2A80u);
  okSim_SetDcmPosition(1, 101);  // past the boundary
  EXPECT_EQ(wireOut(0x21) & 0x0100, 0);
  EXPECT_EQ(okUsbFrontPanel_ActivateTriggerIn(board_, 0x41, 15), 0);  // reset
  EXPECT_EQ(okSim_GetDcmPosition(1), 0);
  EXPECT_EQ(wireOut(0x21) & 0x0300, 0);  // locks 20 ms later
  clock_->advance(std::chrono::milliseconds(20));
  EXPECT_EQ(wireOut(0x21) & 0x0300, 0x0300);
}
