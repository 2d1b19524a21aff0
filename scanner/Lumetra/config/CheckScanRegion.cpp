// CheckScanRegion: the limits of RegionDB.sys for one scanner type, applied to a region.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <sstream>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "config/ConfigUi.h"
#include "config/ScanRegionInfoMap.h"
#include "platform/files.h"

namespace {

constexpr const char* kRegionDbName = "RegionDB.sys";
constexpr std::size_t kRecordSize = 72;
constexpr std::size_t kLimitsOffsetV2 = 40;
constexpr std::size_t kOldBlockRest = 36;  // after the 4-byte version

struct Limits {
  std::int32_t MinX, MinY, MaxX, MaxY, MaxWidth, MaxHeight, MinWidth, MinHeight;
};

std::int32_t le32(const unsigned char* p) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                                   static_cast<std::uint32_t>(p[2]) << 16 |
                                   static_cast<std::uint32_t>(p[3]) << 24);
}

Limits limitsAt(const unsigned char* p) {
  return Limits{le32(p),      le32(p + 4),  le32(p + 8),  le32(p + 12),
                le32(p + 16), le32(p + 20), le32(p + 24), le32(p + 28)};
}

bool readExactly(std::istream& in, unsigned char* buffer, std::size_t size) {
  in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(size));
  return static_cast<std::size_t>(in.gcount()) == size;
}

void prematureEnd() { LogError("CheckScanRegion: premature end of file."); }

// The limits for `scannerType`, or nullopt after the logged reason.
std::optional<Limits> readLimits(int scannerType) {
  const std::string folder =
      CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).ReadString(zeva::kInstallPathValue, "");
  if (folder.empty()) {
    LogError(
        "CheckScanRegion:: Cannot find the registry key '%s' with Value '%s' -- Cannot check Scan Region",
        zeva::kProductKey, zeva::kInstallPathValue);
    return std::nullopt;
  }
  const std::string path = folder + (folder.back() == '/' ? "" : "/") + kRegionDbName;
  // The header and 32767 records at most: a file larger than that, or one that is not a
  // regular file, is not read (a FIFO would hold the caller for ever).
  constexpr std::uint64_t kMaxBytes = 8 + kRecordSize * 32767;
  const auto bytes = platform::readStoredFile(path, kMaxBytes);
  if (!bytes) {
    if (errno == ENOENT)
      LogError("CheckScanRegion -- Cannot Verify Scan Region -- no region Database '%s'", path.c_str());
    else
      LogError("CheckScanRegion -- Cannot Verify Scan Region -- %s",
               platform::storedFileError(path, errno, kMaxBytes).c_str());
    return std::nullopt;
  }
  std::istringstream in(*bytes);
  unsigned char word[4];
  if (!readExactly(in, word, sizeof word)) {
    prematureEnd();
    return std::nullopt;
  }
  const std::int32_t version = le32(word);
  if (version > 2) {
    LogError("CheckScanRegion: Unrecognized (newer) version of RegionDB.Sys file.");
    return std::nullopt;
  }
  if (version < 2) {
    if (scannerType != 0) {
      LogError("CheckScanRegion: Old version of RegionDB.Sys file. Please update.");
      return std::nullopt;
    }
    LogError("CheckScanRegion: Old version of RegionDB.Sys file.  Please update.");
    std::array<unsigned char, kOldBlockRest> rest{};
    if (!readExactly(in, rest.data(), rest.size())) {
      prematureEnd();
      return std::nullopt;
    }
    return limitsAt(rest.data() + 4);
  }
  if (!readExactly(in, word, sizeof word)) {
    prematureEnd();
    return std::nullopt;
  }
  const std::int32_t count = le32(word);
  // A type outside the mask's 32 bits matches no record.
  const std::uint32_t bit = scannerType >= 0 && scannerType < 32 ? 1u << scannerType : 0u;
  for (std::int32_t i = 0; i < count; ++i) {
    std::array<unsigned char, kRecordSize> record{};
    if (!readExactly(in, record.data(), record.size())) {
      prematureEnd();
      return std::nullopt;
    }
    if (static_cast<std::uint32_t>(le32(record.data() + 32)) & bit)
      return limitsAt(record.data() + kLimitsOffsetV2);
  }
  LogError("CheckScanRegion: Scanner type not supported by RegionDB.Sys file");
  return std::nullopt;
}

// Arithmetic of the corrections: in 64 bits, stored back saturated, so that no file
// value can overflow a 32-bit operation.
std::int32_t sat(std::int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(v);
}
std::uint32_t u(std::int64_t v) { return static_cast<std::uint32_t>(v); }

void negativeValue(const char* what, int incoming, const char* setting, int value, bool corruptLine = true) {
  LogError("CheckScanRegion::incoming %s value is negative (%d)!", what, incoming);
  LogError("CheckScanRegion::setting to %s valid value: %d", setting, value);
  if (corruptLine) LogError("CheckScanRegion::Is ChipRegions.ini or XML file corrupted?");
}

}  // namespace

int CheckScanRegion(int scannerType, int* x, int* y, int* width, int* height, int* afX, int* afY) {
  if (!x || !y || !width || !height || !afX || !afY) return 2;
  const auto limits = readLimits(scannerType);
  if (!limits) return 2;
  const Limits& L = *limits;
  int result = 0;

  if (*x < 0) {
    negativeValue("left X", *x, "leftmost", L.MinX);
    *x = L.MinX;
    result = 1;
  }
  if (*y < 0) {
    negativeValue("upper Y", *y, "uppermost", L.MinY);
    *y = L.MinY;
    result = 1;
  }
  if (*width < 0) {
    negativeValue("width", *width, "smallest", L.MinWidth);
    *width = L.MinWidth;
    result = 1;
  }
  if (*height < 0) {
    negativeValue("height", *height, "smallest", L.MinHeight, false);
    *height = L.MinHeight;
    result = 1;
  }
  if (*afX < 0) {
    LogError("CheckScanRegion::incoming AF X value is negative (%d)!", *afX);
    LogError("CheckScanRegion::setting to scan region origin X value: %d", *x);
    LogError("CheckScanRegion::Is ChipRegions.ini or XML file corrupted?");
    *afX = *x;
    result = 1;
  }
  if (*afY < 0) {
    LogError("CheckScanRegion::incoming AF Y value is negative (%d)!", *afY);
    LogError("CheckScanRegion::setting to scan region origin Y value: %d", *y);
    LogError("CheckScanRegion::Is ChipRegions.ini or XML file corrupted?");
    *afY = *y;
    result = 1;
  }

  const char* kUpperLeftH =
      "The Horizontal Extent of the Upper Left Corner (%d, %d) falls outside the the max allowable "
      "ScanRegion -- "
      "setting Left Corner to (%d, %d)";
  const char* kUpperLeftV =
      "The Vertical Extent of the Upper Left Corner (%d, %d) falls outside the the max allowable ScanRegion "
      "-- "
      "setting Left Corner to (%d, %d)";
  if (u(*x) < u(L.MinX)) {
    LogInfo(kUpperLeftH, *x, *y, L.MinX, *y);
    *width = sat(std::int64_t{*width} + *x - L.MinX);
    if (*width < L.MinWidth) *width = L.MinWidth;
    *x = L.MinX;
    *afX = sat(std::int64_t{L.MinX} - 1500);
    result = 1;
  }
  if (u(*x) >= u(L.MaxX)) {
    LogInfo(kUpperLeftH, *x, *y, L.MinX, *y);
    *x = L.MinX;
    *afX = sat(std::int64_t{L.MinX} - 1500);
    result = 1;
  }
  if (u(std::int64_t{*x} + *width) > u(L.MaxX)) {
    LogInfo(
        "The Horizontal Extent of the Lower Right Corner (%d, %d) falls outside the the max allowable "
        "ScanRegion -- setting Right Corner to (%d, %d)",
        sat(std::int64_t{*x} + *width), sat(std::int64_t{*y} + *height), L.MaxX,
        sat(std::int64_t{*y} + *height));
    *width = sat(std::int64_t{L.MaxX} - *x);
    result = 1;
  }
  if (u(*y) >= u(L.MaxY)) {
    LogInfo(kUpperLeftV, *x, *y, *x, L.MinY);
    *y = L.MinY;
    *afY = L.MinY;
    result = 1;
  }
  if (u(*y) < u(L.MinY)) {
    LogInfo(kUpperLeftV, *x, *y, *x, L.MinY);
    *height = sat(std::int64_t{*height} + *y - L.MinY);
    if (*height < 0) *height = L.MinHeight;
    *y = L.MinY;
    *afY = L.MinY;
    result = 1;
  }
  if (u(std::int64_t{*y} + *height) > u(L.MaxY)) {
    LogInfo(
        "The Vertical Extent of the Lower Right Corner (%d, %d) falls outside the the max allowable "
        "ScanRegion -- setting Right Corner to (%d, %d)",
        sat(std::int64_t{*x} + *width), sat(std::int64_t{*y} + *height), sat(std::int64_t{*x} + *width),
        L.MaxY);
    *height = sat(std::int64_t{L.MaxY} - *y);
    result = 1;
  }
  const char* kExtent = "The %s (%d) of the Scan is %s of %d -- Setting the %s to %d";
  if (*width < L.MinWidth) {
    LogInfo(kExtent, "Width", *width, "less than the min allowable width", L.MinWidth, "Width", L.MinWidth);
    *width = L.MinWidth;
    result = 1;
  }
  if (u(*width) > u(L.MaxWidth)) {
    LogInfo(kExtent, "Width", *width, "greater than the Max allowable width", L.MaxWidth, "Width",
            L.MaxWidth);
    *width = L.MaxWidth;
    result = 1;
  }
  if (*height < L.MinHeight) {
    LogInfo(kExtent, "Height", *height, "less than the min allowable height", L.MinHeight, "Height",
            L.MinHeight);
    *height = L.MinHeight;
    result = 1;
  }
  if (u(*height) > u(L.MaxHeight)) {
    LogInfo(kExtent, "Height", *height, "greater than the max allowable height", L.MaxHeight, "Height",
            L.MaxHeight);
    *height = L.MaxHeight;
    result = 1;
  }
  return result;
}
