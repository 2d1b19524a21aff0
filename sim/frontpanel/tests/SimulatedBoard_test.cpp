// The simulated board's own promises: latching, snapshots, scripts, and scan lines in
// the layout the scanner's data processing decodes.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Pellux/okFrontPanelApi.h"
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

TEST_F(OkSimBoardTest, ScanLinesDecodeToThePixelValues) {
  okSim_SetScanGeometry(50, 3);
  okUsbFrontPanel_SetWireInValue(board_, 0x02, 0x8080, 0xFFFF);
  okUsbFrontPanel_UpdateWireIns(board_);
  const long lineBytes = 32 + 8 * 50;
  EXPECT_EQ(wireOut(0x2A), 3 * lineBytes);
  std::vector<unsigned char> data(3 * lineBytes);
  EXPECT_EQ(okUsbFrontPanel_ReadFromBlockPipeOut(board_, 0xA0, 8, 3 * lineBytes + 8, data.data()),
            -2);  // too much
  ASSERT_EQ(okUsbFrontPanel_ReadFromBlockPipeOut(board_, 0xA0, 8, 3 * lineBytes, data.data()), 3 * lineBytes);
  EXPECT_EQ(wireOut(0x2A), 0);
  for (int line = 0; line < 3; ++line) {
    const unsigned char* h = &data[static_cast<std::size_t>(line * lineBytes)];
    ASSERT_EQ(h[0], 0xFF);
    ASSERT_EQ(h[3], 0x01);
    EXPECT_EQ(h[4] | (h[5] << 8), line);
    EXPECT_EQ(h[6] | (h[7] << 8), line & 1);
    EXPECT_EQ(h[8] | (h[9] << 8), 50);
    for (int px = 0; px < 50; px += 7) {
      const unsigned char* p = h + 32 + 8 * px;
      const unsigned count = p[0] + 256u * (p[1] & 0x03);
      const unsigned green = ((p[4] * 256u + p[7]) * 256u + p[6]) * 4;
      const unsigned red = ((p[3] * 256u + p[2]) * 256u + p[5]) * 4;
      EXPECT_EQ(green / count, static_cast<unsigned>(okSim_PixelValue(line, px, 1)));
      EXPECT_EQ(red / count, static_cast<unsigned>(okSim_PixelValue(line, px, 0)));
    }
  }
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
