// A scan through the COM layer over the instrument link: set-up, start, lines, end; the
// start positions and the autofocus homing points.
#include <cstring>
#include <future>

#include "ComFixture.h"

namespace {

using platform::com::S_OK;
using testing::Contains;
using testing::HasSubstr;
using Axis = zevasim::MotorFamily::Axis;

class ScanCtrlScanTest : public ComTest {
 protected:
  ScanCtrlScanTest() {
    ctrl = create();
    connect(*ctrl);
    // Three pixels and two rows of 5 um, both channels, whose tubes have their voltages.
    ctrl->put_ScanRegionWidth(15);
    ctrl->put_ScanRegionHeight(10);
    ctrl->put_ScanRed(1);
    ctrl->put_ScanGreen(1);
    EXPECT_EQ(ctrl->PMTChangeVoltage(kRedPMT, 6000), S_OK) << description();
    EXPECT_EQ(ctrl->PMTChangeVoltage(kGreenPMT, 6000), S_OK) << description();
    // The board reads back the word last written: the counts of 600 V, as if the tubes had it.
    EXPECT_EQ(ctrl->SDPSetPMTVoltage(1, 39321), S_OK);
    EXPECT_EQ(ctrl->SDPSetPMTVoltage(0, 39321), S_OK);
    EXPECT_EQ(ctrl->SetPackageType(0), S_OK) << description();
    forget();
  }
  ~ScanCtrlScanTest() override {
    if (ctrl) ctrl->Disconnect();
  }
  // The bytes of scan line `line`: for each channel of the mask, its pixels big-endian.
  static std::vector<std::uint8_t> lineBytes(int line, int pixels) {
    std::vector<std::uint8_t> bytes;
    for (int channel : {0, 1})
      for (int pixel = 0; pixel < pixels; ++pixel) {
        const std::uint16_t v = zevasim::ScanFamily::sample(line, pixel, channel);
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        bytes.push_back(static_cast<std::uint8_t>(v & 0xFF));
      }
    return bytes;
  }
  void setSlowStage(std::int32_t position) {
    devices.motors->update(zevasim::MotorFamily::kSlowStage, [=](Axis& a) { a.position = position; });
  }

  ComPtr<IScanCtrl> ctrl;
};

TEST_F(ScanCtrlScanTest, SetUpStartReadTheLinesAndEnd) {
  // The instrument streams the whole scan after the first line request.
  sim.setHandler("getscanline", [](const zevasim::Request&) {
    zevasim::Reply reply = zevasim::Reply::ok();
    for (int line : {0, 1})
      for (std::uint8_t b : lineBytes(line, 3)) reply.rawAfter.push_back(b);
    return reply;
  });
  float x = -1, y = -1, slope = -1;
  ASSERT_EQ(ctrl->InitStartScan(&x, &y, &slope, 0), S_OK) << description();
  EXPECT_EQ(x, 0.0f);
  EXPECT_EQ(y, 0.0f);
  EXPECT_EQ(slope, 0.0f);
  EXPECT_THAT(lines(), Contains("setscanregion 0x3 0x2 0x0 0x0 5.000000 5.000000 0x1 0x1"));
  EXPECT_THAT(log(), HasSubstr("\r\n\tNum Pixels: 3,  Num Rows:  2"));
  EXPECT_THAT(log(), HasSubstr("End Init StartScan"));

  forget();
  ASSERT_EQ(ctrl->StartScan_C(), S_OK) << description();
  EXPECT_THAT(lines(), Contains("startscan 0x3 0x1 0x0"));
  EXPECT_THAT(log(), HasSubstr("Scan Parameters (more): ChannelMask: 0x3, Num Passes: 1, OutScale: 0"));
  for (int line : {0, 1}) {
    std::vector<std::uint16_t> points(6);
    ASSERT_EQ(ctrl->GetScanLine(6, points.data()), S_OK) << description();
    std::vector<std::uint8_t> bytes(12);
    std::memcpy(bytes.data(), points.data(), 12);
    EXPECT_EQ(bytes, lineBytes(line, 3)) << line;
  }

  forget();
  auto ended = std::async(std::launch::async, [&] { return ctrl->EndScan(); });
  driveUntilReady(ended);
  EXPECT_EQ(ended.get(), S_OK) << description();
  EXPECT_THAT(lines(), Contains("getscanresults"));
  EXPECT_FALSE(devices.scans->scanning());
  EXPECT_THAT(log(), HasSubstr("Ending Scan"));
}

TEST_F(ScanCtrlScanTest, PassesAndOutputScaleFollowTheDoublePassAndThePixelSize) {
  float x = 0, y = 0, slope = 0;
  ASSERT_EQ(ctrl->InitStartScan(&x, &y, &slope, 0), S_OK) << description();
  const struct {
    unsigned pixelSizeY;
    LONG doublePass;
    const char* start;
  } cases[] = {
      {5, 1, "startscan 0x3 0x2 0x1"}, {10, 1, "startscan 0x3 0x1 0x0"}, {5, 0, "startscan 0x3 0x1 0x0"}};
  for (const auto& c : cases) {
    ctrl->put_PixelSizeY(c.pixelSizeY);
    ctrl->put_ScanDoublePass(c.doublePass);
    forget();
    ASSERT_EQ(ctrl->StartScan_C(), S_OK) << description();
    EXPECT_THAT(lines(), Contains(c.start));
    auto ended = std::async(std::launch::async, [&] { return ctrl->EndScan(); });
    driveUntilReady(ended);
    ended.get();
  }
}

TEST_F(ScanCtrlScanTest, TheSlowStageComesBackPastTheRegionsLowerEdgeInStageCounts) {
  // Start row at stage count 0; the region's lower edge lies 2 x 5 um x 2 rows = 20 counts
  // below it. A stage at 15 lies inside the region and first goes to that edge.
  setSlowStage(15);
  float x = 0, y = 0, slope = 0;
  ASSERT_EQ(ctrl->InitStartScan(&x, &y, &slope, 0), S_OK) << description();
  EXPECT_THAT(log(), HasSubstr("we need to move to the lowerRightY pos [20]"));
  // The glass's left edge (x 0) is the voice-coil stage's upper end, 100000.
  EXPECT_THAT(log(),
              HasSubstr("Now move VC-stage to 200 um to the right of the scan region lowerRightX [99785]"));
  EXPECT_THAT(log(), HasSubstr("Ready to move S-Stage into start position [0]"));
  EXPECT_EQ(devices.motors->axis(zevasim::MotorFamily::kSlowStage).position, 0);

  // Beyond the lower edge it goes straight to the start row.
  setSlowStage(500);
  forget();
  ASSERT_EQ(ctrl->InitStartScan(&x, &y, &slope, 0), S_OK) << description();
  EXPECT_EQ(devices.motors->axis(zevasim::MotorFamily::kSlowStage).position, 0);
}

TEST_F(ScanCtrlScanTest, AutofocusHomesAtTheClampedFirstPointAndKeepsTheThickness) {
  devices.scans->setAutofocus(620.5, 0, 25);
  ctrl->put_AFPosX(0);
  ctrl->put_AFPosY(30000);
  float x = 0, y = 0, slope = 0;
  ASSERT_EQ(ctrl->InitStartScan(&x, &y, &slope, 1), S_OK) << description();
  EXPECT_FLOAT_EQ(x, 1.25f);
  EXPECT_FLOAT_EQ(y, 2.5f);
  EXPECT_FLOAT_EQ(slope, 0.75f);
  EXPECT_THAT(log(), HasSubstr("Homing autofocus at coordinate (2500,23900)..."));
  EXPECT_THAT(log(), HasSubstr("Autofocus homed successfully."));
  EXPECT_THAT(log(), HasSubstr("End AF Homing"));
  double thickness = 0;
  ASSERT_EQ(ctrl->get_ChipThickness(&thickness), S_OK);
  EXPECT_DOUBLE_EQ(thickness, 620.5);
}

TEST_F(ScanCtrlScanTest, AStartOffTheGlassOrBeyondAStagesTravelIsRefusedBeforeAnythingMoves) {
  // The simulated glass: 75000 x 25000 um from its corner keys; the voice-coil stage at
  // 100000 - x (travel 0-100000), the slow stage at 2 y (travel 0-200000).
  ctrl->put_PixelSizeX(5);
  ctrl->put_PixelSizeY(5);
  const struct {
    const char* what;
    LONG chipX, chipY, regionX, regionY, width, height;
  } cases[] = {
      {"left of the glass (beyond the voice-coil stage's upper end)", 0, 0, 100, 0, 15, 10},
      {"right of the glass corner", 75100, 0, 0, 0, 15, 10},
      {"above the glass (the slow stage below its travel)", 2000, 500, 0, 800, 15, 10},
      {"below the glass corner", 0, 25100, 0, 0, 15, 10},
      {"its right end beyond the voice-coil stage's lower end", 2000, 0, 0, 0, 99000, 10},
      {"its lower end beyond the slow stage's travel", 0, 0, 0, 0, 15, 100005},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ctrl->put_ChipOriginX(c.chipX);
    ctrl->put_ChipOriginY(c.chipY);
    ctrl->put_ScanRegionOriginX(c.regionX);
    ctrl->put_ScanRegionOriginY(c.regionY);
    ctrl->put_ScanRegionWidth(c.width);
    ctrl->put_ScanRegionHeight(c.height);
    forget();
    float x = 0, y = 0, slope = 0;
    // With the autofocus homing, which moves both stages, asked for.
    EXPECT_EQ(static_cast<std::uint32_t>(ctrl->InitStartScan(&x, &y, &slope, 1)), 0x80040000u | 600u)
        << description();
    EXPECT_THAT(description(), HasSubstr("Bad parameter specified."));
    for (const std::string& line : lines())
      for (const char* word : {"movemotor", "homemotor", "enableautofocus", "setscanregion"})
        EXPECT_NE(line.rfind(word, 0), 0u) << line;
    EXPECT_THAT(log(), HasSubstr("Init StartScan: the scan region"));
  }

  // The glass's far corner is still a start.
  ctrl->put_ChipOriginX(75000);
  ctrl->put_ChipOriginY(25000);
  ctrl->put_ScanRegionOriginX(0);
  ctrl->put_ScanRegionOriginY(0);
  ctrl->put_ScanRegionWidth(15);
  ctrl->put_ScanRegionHeight(10);
  float x = 0, y = 0, slope = 0;
  EXPECT_EQ(ctrl->InitStartScan(&x, &y, &slope, 1), S_OK) << description();
}

}  // namespace
