#include "config/CarouselCfgInfo.h"

#include <gtest/gtest.h>

namespace {

CSlotScanCfgInfo slot(int resolution, bool doublePass, double dyx, int w, int h, bool tiff32 = false) {
  CSlotScanCfgInfo s;
  s.ResolutionType = resolution;
  s.DoublePass = doublePass;
  s.DyxRatio = dyx;
  s.RegionWidth = w;
  s.RegionHeight = h;
  s.Tiff32Bit = tiff32;
  return s;
}

TEST(ScanCfgRecords, ScanTimeEstimates) {
  struct Case {
    CSlotScanCfgInfo slot;
    int minutes;
  } cases[] = {
      {slot(1, false, 0.0, 61000, 21600), 8},  // a full slide at 10 um
      {slot(5, true, 0.1, 61000, 21600), 80},  // 2 um, double pass, Dyx: 20 x 2 x 2
      {slot(3, false, 0.0, 61000, 21600), 15},
      {slot(4, false, 0.0, 61000, 21600), 15},
      {slot(2, false, 0.0, 30500, 21600), 4},  // half a slide: 4.0 + 0.5 truncates to 4
      {slot(1, false, 0.0, 1, 1), 1},          // never below one minute
      {slot(1, false, 0.0, 0, 0), 1},
      // 200 mm x 100 mm: the product overflows 32 bits but not the estimate.
      {slot(1, false, 0.0, 200000, 100000), 121},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.slot.EstimateScanTime(), c.minutes)
        << c.slot.ResolutionType << " " << c.slot.RegionWidth << "x" << c.slot.RegionHeight;
}

TEST(ScanCfgRecords, ImageSizeEstimates) {
  constexpr std::int64_t kHeader = 0x100000;
  struct Case {
    CSlotScanCfgInfo slot;
    std::int64_t bytes;
  } cases[] = {
      // 10 um: 6100 x 2160 pixels, 2 bytes each, two channels.
      {slot(1, false, 0.0, 61000, 21600), 2 * (2LL * 6100 * 2160 + kHeader)},
      // 3 um: pixels 20333 x 7200, plus the preview of 2p / 9.
      {slot(3, false, 0.0, 61000, 21600),
       2 * (2LL * 20333 * 7200 + static_cast<std::int64_t>(2.0 * 20333 * 7200 / 9.0) + kHeader)},
      // type 4: W / 2 across, H / 3 down, factor 15.
      {slot(4, false, 0.0, 1000, 900),
       2 * (2LL * 500 * 300 + static_cast<std::int64_t>(2.0 * 500 * 300 / 15.0) + kHeader)},
      // 32-bit at 5 um: trunc(2p / 4) + trunc(2.5 p).
      {slot(2, false, 0.0, 1000, 1000, true), 2 * (20000 + 100000 + kHeader)},
      // Dyx doubles everything.
      {slot(1, false, 0.5, 100, 100), 2 * 2 * (2LL * 100 + kHeader)},
      // 2 um over 200 mm x 100 mm: 5e9 pixels, far beyond 32 bits.
      {slot(5, false, 0.0, 200000, 100000),
       2 * (2LL * 100000 * 50000 + static_cast<std::int64_t>(2.0 * 100000 * 50000 / 25.0) + kHeader)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.slot.EstimateImageBytes(), c.bytes) << c.slot.ResolutionType;

  CSlotScanCfgInfo none = slot(1, false, 0.0, 61000, 21600);
  none.UseGreen = none.UseRed = 0;
  EXPECT_EQ(none.EstimateImageBytes(), 0);
  none.UseRed = 1;
  EXPECT_EQ(none.EstimateImageBytes(), 2LL * 6100 * 2160 + kHeader);
}

TEST(ScanCfgRecords, TotalsCoverUsedSlotsInRange) {
  CCarouselCfgInfo run;
  run.FirstSlot = 2;
  run.LastSlot = 6;
  for (int s = 1; s <= 7; ++s) {
    if (s == 4) continue;  // no record
    run.SetAt(s, std::make_unique<CSlotScanCfgInfo>(slot(1, false, 0.0, 61000, 21600)));
    run.SlotUsed[s - 1] = s != 5;  // slot 5 not used
  }
  // Slots 2, 3 and 6 count: 8 minutes each.
  EXPECT_EQ(run.GetTotalScanTime(0, 0), 24u);
  EXPECT_EQ(run.GetTotalScanTime(3, 0), 16u);
  EXPECT_EQ(run.GetTotalScanTime(5, 3), 0u);
  EXPECT_EQ(run.GetTotalScanTime(1, 6), 0u);  // before FirstSlot
  EXPECT_EQ(run.GetTotalScanTime(2, 7), 0u);  // beyond LastSlot
  const std::int64_t one = slot(1, false, 0.0, 61000, 21600).EstimateImageBytes();
  EXPECT_EQ(run.GetTotalImageBytes(0, 0), 3 * one);
  run.CompressTiff = 1;
  EXPECT_EQ(run.GetTotalImageBytes(0, 0), 3 * static_cast<std::int64_t>(static_cast<double>(one) * 0.75));

  EXPECT_EQ(run.GetAt(1), nullptr);  // outside FirstSlot..LastSlot
  EXPECT_NE(run.GetAt(2), nullptr);
  EXPECT_EQ(run.GetAt(4), nullptr);
  EXPECT_FALSE(run.SetAt(49, nullptr));

  run.ClearSlotFlags();
  EXPECT_EQ(run.GetTotalScanTime(0, 0), 0u);
  run.Reset(48);
  EXPECT_EQ(run.DyxScanNameUseSuffix, 1);
  EXPECT_EQ(run.FirstSlot, 0);
  run.RemoveAll();
  run.FirstSlot = 1;
  run.LastSlot = 48;
  for (int s = 1; s <= 48; ++s) EXPECT_EQ(run.GetAt(s), nullptr);
}

TEST(ScanCfgRecords, ProfilesCopyAndCompareTheEditableFields) {
  tagScanCfgStruct a;
  a.Name = "P";
  a.RegionName = "Full Slide";
  a.PMTRed = 50;
  a.DyeChannel = "R+G";
  a.LaserPowerMaxRed = 7;
  a.Reserved[0] = 9;
  a.ReservedText = "kept apart";

  tagScanCfgStruct b;
  ASSERT_TRUE(b.CopyFrom(&a));
  EXPECT_TRUE(b.IsEqual(&a));
  EXPECT_EQ(b.LaserPowerMaxRed, 7);
  EXPECT_EQ(b.Reserved[0], 0);  // reserved fields are not copied
  EXPECT_EQ(b.ReservedText, "");

  b.LaserPowerMaxRed = 99;
  b.CfgReserved = 3;
  EXPECT_TRUE(b.IsEqual(&a));  // differences outside the editable fields do not count
  b.Name = "p";
  EXPECT_FALSE(b.IsEqual(&a));  // texts compare case-sensitively
  EXPECT_FALSE(b.IsEqual(nullptr));

  const tagScanCfgStruct before = b;
  EXPECT_FALSE(b.CopyFrom(nullptr));
  EXPECT_TRUE(b.IsEqual(&before));
  EXPECT_EQ(b.LaserPowerMaxRed, 99);
}

TEST(ScanCfgRecords, SlotRecordsCopyEveryField) {
  CSlotScanCfgInfo a;
  a.Text2 = "t2";
  a.Text3 = "t3";
  a.Double2 = 2.5;
  a.Word1 = 4;
  a.PKG = 5;
  CSlotScanCfgInfo b;
  b = a;
  EXPECT_EQ(b.Text2, "t2");
  EXPECT_EQ(b.Text3, "t3");
  EXPECT_EQ(b.Double2, 2.5);
  EXPECT_EQ(b.Word1, 4);
  EXPECT_EQ(b.PKG, 5);
  const auto fresh = CSlotScanCfgInfo::CreateObject();
  EXPECT_EQ(fresh->PMTGreen, 100);
  EXPECT_EQ(fresh->ResolutionType, 1);
  EXPECT_EQ(fresh->UseRed, 1);
}

}  // namespace
