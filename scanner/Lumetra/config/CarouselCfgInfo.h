#pragma once
// The scan-setting records shared by the configuration and run sides: one profile's
// settings, one slot's scan, and a run's 48 slots with its run-wide fields. Lengths are
// micrometres, PMT sensitivities whole percent.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CScanRegionInfoMap;

// One named scan-setting profile.
struct tagScanCfgStruct {
  std::string Name;
  std::string Description;
  CScanRegionInfoMap* RegionMap = nullptr;  // not owned; never stored
  std::string RegionName;
  std::int32_t PMTRed = 0;
  std::int32_t PMTGreen = 0;
  std::int32_t DyxRatioType = 0;
  std::string DyeChannel;  // "R", "G" or "R+G"
  std::int32_t ResolutionType = 0;
  std::int32_t Tiff32Bit = 0;
  std::int32_t DoublePassScan = 0;
  std::string AutoNamingPrefix1;
  std::string AutoNamingPrefix2;
  std::string OutputPath;
  std::string ScanDescription;
  std::int32_t SplitAndRotate = 0;
  std::int32_t RotateType = 0;
  std::int32_t CompressTiff = 0;
  std::int32_t LaserPowerMaxRed = 0;
  std::int32_t LaserPowerMaxGreen = 0;
  std::int32_t CfgReserved = 0;
  std::array<std::int32_t, 3> Reserved{};  // never stored
  std::string ReservedText;
  std::array<std::int32_t, 6> Reserved2{};

  // Copies the settings (not the reserved fields); false for a null source.
  bool CopyFrom(const tagScanCfgStruct* source);
  // Equal in everything a user edits; the laser maxima, CfgReserved, the region map and
  // the reserved fields do not count.
  bool IsEqual(const tagScanCfgStruct* other) const;
};

// The settings of one carousel slot for one run; copyable as a whole.
class CSlotScanCfgInfo {
 public:
  CSlotScanCfgInfo() = default;
  // The stand-in for creation by class name.
  static std::unique_ptr<CSlotScanCfgInfo> CreateObject() { return std::make_unique<CSlotScanCfgInfo>(); }

  // Minutes, at least 1.
  std::int32_t EstimateScanTime() const;
  std::int64_t EstimateImageBytes() const;

  std::string ScanDescription;
  std::string OutputPath;
  std::string Text2;  // not set by the configuration side
  std::string SlideID;
  std::string Text3;  // not set by the configuration side
  std::int32_t PMTGreen = 100;
  std::int32_t PMTRed = 100;
  std::int32_t UseGreen = 1;
  std::int32_t UseRed = 1;
  std::int32_t ResolutionType = 1;
  std::int32_t DoublePass = 0;
  double DyxRatio = 0.0;
  std::int32_t Tiff32Bit = 0;
  std::string RegionName;
  std::int32_t RegionLeft = 0;
  std::int32_t RegionTop = 0;
  std::int32_t RegionWidth = 0;
  std::int32_t RegionHeight = 0;
  std::int32_t OriginX = 0;
  std::int32_t OriginY = 0;
  std::int32_t AFX = 0;
  std::int32_t AFY = 0;
  std::int32_t PKG = 0;
  double Double1 = 0.0;  // not set by the configuration side
  double Double2 = 0.0;
  std::int32_t Word1 = 0;
};

// A run: element i is the record of slot i + 1 (or null), with the run-wide fields.
class CCarouselCfgInfo {
 public:
  static constexpr int kSlotCount = 48;

  CCarouselCfgInfo() { Reset(kSlotCount); }
  CCarouselCfgInfo(const CCarouselCfgInfo&) = delete;
  CCarouselCfgInfo& operator=(const CCarouselCfgInfo&) = delete;

  // Null when `slot` lies outside FirstSlot..LastSlot or has no record.
  CSlotScanCfgInfo* GetAt(int slot) const;
  // Gives slot `slot` (1-based) its record; false when the slot is outside the array.
  bool SetAt(int slot, std::unique_ptr<CSlotScanCfgInfo> record);
  int GetSize() const { return static_cast<int>(m_Slots.size()); }
  void RemoveAll();
  // Run-wide fields to their initial values; the array to `size` elements (0..48).
  void Reset(int size);
  void ClearSlotFlags() { SlotUsed.fill(0); }

  // Over the used slots first..last that have a record; 0 or a bound of 0 means
  // FirstSlot or LastSlot; a range outside FirstSlot..LastSlot gives 0.
  std::uint32_t GetTotalScanTime(int first, int last) const;
  std::int64_t GetTotalImageBytes(int first, int last) const;

  std::int32_t FirstSlot = 0;
  std::int32_t LastSlot = 0;
  std::string OperatorName;
  std::string Text2;
  std::string AutoNamingPrefix1;
  std::string AutoNamingPrefix2;
  std::string ScanNumberToken;  // "<Scan #>"
  std::string Text4;
  std::int32_t UseSlideID = 0;  // a prefix is "<Slide ID>"
  std::int32_t SplitAndRotate = 0;
  std::array<std::int32_t, kSlotCount> SlotUsed{};
  std::int32_t RotateType = 0;
  std::int32_t DyxScanLoPMTFirst = 0;
  std::int32_t DyxScanNameUseSuffix = 1;
  std::int32_t CompressTiff = 0;

 private:
  bool InRange(int& first, int& last) const;
  std::vector<std::unique_ptr<CSlotScanCfgInfo>> m_Slots;
};
