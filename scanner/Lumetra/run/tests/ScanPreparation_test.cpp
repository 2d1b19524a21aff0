// Scan preparation with a scripted IScanCtrl: the FLASH calibration groups and their
// fallbacks, the byte budget and line delay, gain ratios, dark offset and saturation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeScanCtrl.h"
#include "RunTestSupport.h"
#include "Tessary/TiffHandler.h"
#include "run/ScanDataProc.h"

namespace {

using lumetra::run::CScanDataProc;
using lumetra_test::FakeScanCtrl;
using testing::HasSubstr;
using testing::Not;

class ScanPreparationTest : public lumetra_test::RunTest {
 protected:
  ScanPreparationTest() : ctrl(FakeScanCtrl::Create()), proc(ctrl.get(), "") {}

  void Create(int channels, bool highDynamicRange = false) {
    const std::string file = outDir() + "/prep.tif";
    proc.CreateTiff(file.c_str(), 100, 10, channels, 5, 5, highDynamicRange, false, false);
  }
  double DarkOffset(int file) {
    int type = 0;
    double offset = 0, mean = 0, sd = 0;
    proc.GetTiffByChannel(file)->GetDarkOffSet(type, offset, mean, sd);
    return offset;
  }

  platform::com::ComPtr<FakeScanCtrl> ctrl;
  CScanDataProc proc;
};

TEST_F(ScanPreparationTest, FlashTextsConvertAsTheCLibraryReadsThem) {
  struct Case {
    const char* h;
    const char* v;
    int wantH, wantV;
  } cases[] = {{"1e2", "1e2", 1, 100}, {"-12.9", "-12.9", -12, -12}, {"", "", 0, 0}, {"7", "3", 7, 3}};
  for (const Case& c : cases) {
    ctrl->flash = {{"RedGreenOffsetDeltaH", c.h}, {"RedGreenOffsetDeltaV", c.v}};
    ASSERT_EQ(proc.PrepareScan(10, 100, false, 0), 1);
    EXPECT_EQ(proc.m_nRedGreenOffsetH, c.wantH) << c.h;
    EXPECT_EQ(proc.m_nRedGreenOffsetV, c.wantV) << c.v;
  }
}

TEST_F(ScanPreparationTest, AGroupWithAMissingKeyFallsBackAloneAndNamesItsKeys) {
  ctrl->flash = {{"RedGreenOffsetDeltaH", "4"},
                 {"LeftRightOffsetDeltaH", "3"},
                 {"LaserSetPointMWatt_G", "10"},
                 {"LaserSetPointMWatt_R", "2.5"},
                 {"LaserPDCtToMWatt_R", "4"}};
  ASSERT_EQ(proc.PrepareScan(10, 100, false, 0), 1);
  EXPECT_EQ(proc.m_nRedGreenOffsetH, 0);
  EXPECT_EQ(proc.m_nRedGreenOffsetV, 0);
  EXPECT_EQ(proc.m_nOddEvenOffset, 3);
  EXPECT_EQ(proc.m_Green.referencePower, 30004.91f);
  EXPECT_EQ(proc.m_Red.referencePower, 10.0f);
  const std::string log = logText();
  EXPECT_THAT(log, HasSubstr("No FLASH value for the Red/Green Offset Correction (RedGreenOffsetDeltaH or "
                             "RedGreenOffsetDeltaV). Using 0 and 0 as defaults."));
  EXPECT_THAT(
      log, HasSubstr("No FLASH value for LaserSetPointMWatt_G or LaserPDCtToMWatt_G, Expected green Laser is "
                     "30004.910156"));
  EXPECT_THAT(log, HasSubstr("Expected red Laser is 10.000000"));
  EXPECT_THAT(log, HasSubstr("The Odd/Even Offset Correction is: 3 microns."));
}

TEST_F(ScanPreparationTest, SizesLineDelayAndByteBudget) {
  struct Case {
    int resolution, v, lines, pixels;
    bool pair;
    int delay;
    long long expected;
  } cases[] = {
      {5, 3, 1000, 2000, false, 11, 1010LL * 16032},  // (50 + 3) / 5 + 0.5
      {5, 3, 1000, 2000, true, 11, 2 * 1010LL * 16032},
      {10, 0, 10, 4, false, 5, 2 * 15LL * 64},  // 10 um: pairs of lines
      {2, 0, 3, 1, false, 25, 28LL * 40},
      {5, -300, 10, 4, false, 0, 20LL * 64},  // below zero: 0
      {2, 200, 10, 4, false, 49, 35LL * 64},  // beyond the slots: the last one
  };
  for (const Case& c : cases) {
    ctrl->flash = {{"RedGreenOffsetDeltaH", "0"}, {"RedGreenOffsetDeltaV", std::to_string(c.v)}};
    proc.SetLineResolution(c.resolution);
    ASSERT_EQ(proc.PrepareScan(c.lines, c.pixels, c.pair, 0), 1);
    EXPECT_EQ(proc.GetRedLineDelay(), c.delay) << c.resolution << " " << c.v;
    EXPECT_EQ(proc.GetExpectedBytes(), c.expected) << c.resolution << " " << c.v;
    EXPECT_EQ(proc.GetLineLength(), static_cast<std::uint32_t>(8 * c.pixels + 32));
    EXPECT_EQ(proc.GetLineSlotCount(), 50);
  }
  EXPECT_THAT(logText(), HasSubstr("The red line delay of -49 lines is outside 0 to 49; using 0 lines."));
  EXPECT_THAT(logText(), HasSubstr("The red line delay of 125 lines is outside 0 to 49; using 49 lines."));
}

TEST_F(ScanPreparationTest, NothingIsPreparedOnAClosedPortOrAnEmptySize) {
  ctrl->sdpOpen = 0;
  EXPECT_EQ(proc.PrepareScan(10, 10, false, 0), 0);
  EXPECT_TRUE(ctrl->Calls("FlashGetString").empty());
  ctrl->sdpOpen = 1;
  EXPECT_EQ(proc.PrepareScan(0, 10, false, 0), 0);
  EXPECT_EQ(proc.PrepareScan(10, 0, false, 0), 0);
  EXPECT_TRUE(ctrl->Calls("SDPInitRunMode").empty());
  EXPECT_EQ(proc.PrepareScan(10, 10, false, 7), 1);
  EXPECT_EQ(ctrl->Calls("SDPInitRunMode"), std::vector<std::string>{"SDPInitRunMode(1,7)"});
}

TEST_F(ScanPreparationTest, GainRatiosDarkOffsetsAndSaturationGoIntoTheChannelFiles) {
  Create(2);
  ctrl->stats[{"Raw", 0}] = {100.7, 2.5, 0, 0};
  ctrl->stats[{"Raw", 1}] = {50, 1.5, 0, 0};
  ctrl->stats[{"Offset", 0}] = {3, 0, 8, 0};
  ctrl->stats[{"Offset", 1}] = {4, 0, 6, 0};
  ctrl->stats[{"Gain", 0}] = {23, 0, 8, 0};   // red low denominator 8 - 8 = 0
  ctrl->stats[{"Gain", 1}] = {44, 0, 16, 0};  // green (44 - 4) / (16 - 6) = 4
  ctrl->darkRed = -20;
  ctrl->darkGreen = 10;
  ASSERT_EQ(proc.GetStatsSummary(), 1);
  ASSERT_EQ(proc.PrepareScan(10, 100, false, 0), 1);
  EXPECT_EQ(ctrl->darkRedMean, 100.7);
  EXPECT_EQ(proc.m_Red.lowGainRatio, 1.0);
  EXPECT_EQ(proc.m_Green.lowGainRatio, 4.0);
  EXPECT_THAT(logText(),
              HasSubstr("Failed to compute Red raw gain ratio: gain Lo average equals offset Lo average."));
  EXPECT_DOUBLE_EQ(proc.m_Red.channelOffset, 120.7);
  EXPECT_DOUBLE_EQ(DarkOffset(0), 120.7);
  EXPECT_DOUBLE_EQ(DarkOffset(1), 40.0);
  EXPECT_EQ(proc.GetTiffByChannel(0)->GetSaturationValue(), 65414);  // 65535 - 120.7
  EXPECT_EQ(proc.GetTiffByChannel(1)->GetSaturationValue(), 65495);

  // A raw fetch failing twice keeps the means; the dark value is not taken off twice.
  ctrl->Fail("SDPGetRawDataStats", 12016, -1);
  ASSERT_EQ(proc.GetStatsSummary(), 1);
  ASSERT_EQ(proc.PrepareScan(10, 100, false, 0), 1);
  EXPECT_EQ(proc.m_Red.rawMean, 100.7);
  EXPECT_DOUBLE_EQ(proc.m_Red.adjustedRawMean, 120.7);
  EXPECT_THAT(logText(),
              HasSubstr("<ScanDataProc::SetRawDataStats> Failed to get Red measuring data: Description: "
                        "Unknown error: 12016, [retry = 1]"));
}

TEST_F(ScanPreparationTest, ThirtyTwoBitSaturationUsesTheLowGainRange) {
  Create(1, /*highDynamicRange=*/true);
  proc.GetTiffByChannel(0)->SetPMTChannel(1);  // green only
  ctrl->stats[{"Raw", 1}] = {30, 0, 0, 0};
  ctrl->stats[{"Offset", 1}] = {5, 0, 35, 0};
  ctrl->stats[{"Gain", 1}] = {85, 0, 55, 0};  // (85 - 5) / (55 - 35) = 4
  ASSERT_EQ(proc.GetStatsSummary(), 1);
  ASSERT_EQ(proc.PrepareScan(10, 100, false, 0), 1);
  EXPECT_DOUBLE_EQ(DarkOffset(0), 30.0);
  EXPECT_EQ(proc.GetTiffByChannel(0)->GetSaturationValue(), (65535 - 35) * 4 - 30);
}

TEST_F(ScanPreparationTest, StatisticsNeedAReadyPortAndAreFetchedInOrder) {
  ctrl->sdpReady = 0;
  EXPECT_EQ(proc.GetStatsSummary(), 0);
  ctrl->sdpReady = 1;
  proc.SetPixelSizeX(2);
  ctrl->ClearCalls();
  EXPECT_EQ(proc.GetStatsSummary(), 1);
  std::vector<std::string> fetches;
  for (const auto& call : ctrl->Calls("SDPGetRaw")) fetches.push_back(call);
  EXPECT_EQ(fetches, (std::vector<std::string>{
                         "SDPGetRawDataStats(1048576,0,2)", "SDPGetRawDataStats(1048576,1,2)",
                         "SDPGetRawOffsetStats(1048576,0,2)", "SDPGetRawOffsetStats(1048576,1,2)",
                         "SDPGetRawGainStats(1048576,0,2)", "SDPGetRawGainStats(1048576,1,2)"}));
  EXPECT_THAT(logText(),
              HasSubstr("<ScanDataProc::SetRawGainStats> Stats info for Green_Gain: HiMean = 0.000"));
}

}  // namespace
