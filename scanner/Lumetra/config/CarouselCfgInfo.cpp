#include "config/CarouselCfgInfo.h"

namespace {
// The area of a full 61 mm x 21.6 mm slide, in square micrometres.
constexpr double kFullSlideArea = 1.3176e9;
constexpr std::int64_t kHeaderBytes = 0x100000;
}  // namespace

bool tagScanCfgStruct::CopyFrom(const tagScanCfgStruct* source) {
  if (!source) return false;
  Name = source->Name;
  Description = source->Description;
  DyeChannel = source->DyeChannel;
  RegionName = source->RegionName;
  ResolutionType = source->ResolutionType;
  DoublePassScan = source->DoublePassScan;
  Tiff32Bit = source->Tiff32Bit;
  PMTRed = source->PMTRed;
  PMTGreen = source->PMTGreen;
  DyxRatioType = source->DyxRatioType;
  OutputPath = source->OutputPath;
  ScanDescription = source->ScanDescription;
  AutoNamingPrefix1 = source->AutoNamingPrefix1;
  AutoNamingPrefix2 = source->AutoNamingPrefix2;
  SplitAndRotate = source->SplitAndRotate;
  RotateType = source->RotateType;
  CompressTiff = source->CompressTiff;
  LaserPowerMaxRed = source->LaserPowerMaxRed;
  LaserPowerMaxGreen = source->LaserPowerMaxGreen;
  CfgReserved = source->CfgReserved;
  RegionMap = source->RegionMap;
  return true;
}

bool tagScanCfgStruct::IsEqual(const tagScanCfgStruct* other) const {
  if (!other) return false;
  return Name == other->Name && Description == other->Description && DyeChannel == other->DyeChannel &&
         RegionName == other->RegionName && ResolutionType == other->ResolutionType &&
         DoublePassScan == other->DoublePassScan && Tiff32Bit == other->Tiff32Bit &&
         PMTRed == other->PMTRed && PMTGreen == other->PMTGreen && DyxRatioType == other->DyxRatioType &&
         OutputPath == other->OutputPath && ScanDescription == other->ScanDescription &&
         AutoNamingPrefix1 == other->AutoNamingPrefix1 && AutoNamingPrefix2 == other->AutoNamingPrefix2 &&
         SplitAndRotate == other->SplitAndRotate && CompressTiff == other->CompressTiff &&
         RotateType == other->RotateType;
}

std::int32_t CSlotScanCfgInfo::EstimateScanTime() const {
  double minutes;
  switch (ResolutionType) {
    case 1:
    case 2:
      minutes = 8.0;
      break;
    case 3:
    case 4:
      minutes = 15.0;
      break;
    default:
      minutes = 20.0;
      break;
  }
  if (DoublePass) minutes *= 2.0;
  if (DyxRatio > 0.0) minutes *= 2.0;
  // 64-bit: a large region's area does not fit 32 bits.
  const std::int64_t area = static_cast<std::int64_t>(RegionWidth) * RegionHeight;
  minutes = minutes * static_cast<double>(area) / kFullSlideArea + 0.5;
  if (minutes < 1.0) minutes = 1.0;
  if (minutes > 2147483647.0) minutes = 2147483647.0;
  return static_cast<std::int32_t>(minutes);
}

std::int64_t CSlotScanCfgInfo::EstimateImageBytes() const {
  const std::int64_t w = RegionWidth, h = RegionHeight;
  std::int64_t p;
  double f;
  switch (ResolutionType) {
    case 1:
      p = (w / 10) * (h / 10), f = 1.0;
      break;
    case 2:
      p = (w / 5) * (h / 5), f = 4.0;
      break;
    case 3:
      p = (w / 3) * (h / 3), f = 9.0;
      break;
    case 4:
      p = (w / 2) * (h / 3), f = 15.0;
      break;
    default:
      p = (w / 2) * (h / 2), f = 25.0;
      break;
  }
  std::int64_t bytes;
  if (Tiff32Bit) {
    bytes = static_cast<std::int64_t>(2.0 * static_cast<double>(p) / f) +
            static_cast<std::int64_t>(2.5 * static_cast<double>(p));
  } else {
    bytes = 2 * p;
    if (ResolutionType != 1 && ResolutionType != 2)
      bytes += static_cast<std::int64_t>(2.0 * static_cast<double>(p) / f);
  }
  bytes += kHeaderBytes;
  bytes *= (UseGreen ? 1 : 0) + (UseRed ? 1 : 0);
  if (DyxRatio > 0.0) bytes *= 2;
  return bytes;
}

CSlotScanCfgInfo* CCarouselCfgInfo::GetAt(int slot) const {
  if (slot < FirstSlot || slot > LastSlot || slot < 1 || slot > GetSize()) return nullptr;
  return m_Slots[static_cast<std::size_t>(slot - 1)].get();
}

bool CCarouselCfgInfo::SetAt(int slot, std::unique_ptr<CSlotScanCfgInfo> record) {
  if (slot < 1 || slot > GetSize()) return false;
  m_Slots[static_cast<std::size_t>(slot - 1)] = std::move(record);
  return true;
}

void CCarouselCfgInfo::RemoveAll() {
  for (auto& s : m_Slots) s.reset();
}

void CCarouselCfgInfo::Reset(int size) {
  FirstSlot = LastSlot = 0;
  OperatorName.clear();
  Text2.clear();
  AutoNamingPrefix1.clear();
  AutoNamingPrefix2.clear();
  ScanNumberToken.clear();
  Text4.clear();
  UseSlideID = 0;
  SplitAndRotate = 0;
  SlotUsed.fill(0);
  RotateType = 0;
  DyxScanLoPMTFirst = 0;
  DyxScanNameUseSuffix = 1;
  CompressTiff = 0;
  // The use words exist for 48 slots only, so the array never grows beyond them.
  if (size < 0) size = 0;
  if (size > kSlotCount) size = kSlotCount;
  m_Slots.resize(static_cast<std::size_t>(size));
}

bool CCarouselCfgInfo::InRange(int& first, int& last) const {
  if (first == 0) first = FirstSlot;
  if (last == 0) last = LastSlot;
  return !(first < FirstSlot || last > LastSlot || last < first);
}

std::uint32_t CCarouselCfgInfo::GetTotalScanTime(int first, int last) const {
  if (!InRange(first, last)) return 0;
  std::uint32_t total = 0;
  for (int slot = first; slot <= last; ++slot) {
    const CSlotScanCfgInfo* s = GetAt(slot);
    if (s && SlotUsed[static_cast<std::size_t>(slot - 1)])
      total += static_cast<std::uint32_t>(s->EstimateScanTime());
  }
  return total;
}

std::int64_t CCarouselCfgInfo::GetTotalImageBytes(int first, int last) const {
  if (!InRange(first, last)) return 0;
  std::int64_t total = 0;
  for (int slot = first; slot <= last; ++slot) {
    const CSlotScanCfgInfo* s = GetAt(slot);
    if (!s || !SlotUsed[static_cast<std::size_t>(slot - 1)]) continue;
    std::int64_t bytes = s->EstimateImageBytes();
    if (CompressTiff) bytes = static_cast<std::int64_t>(static_cast<double>(bytes) * 0.75);
    total += bytes;
  }
  return total;
}
