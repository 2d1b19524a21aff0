#pragma once
// The scan record: the 3176-byte block in private tag 37701 that holds a scan's settings
// and the instrument state per channel. Readers of scan images depend on its byte layout,
// so it is kept as typed fields in memory and turned into bytes (little-endian, IEEE 754
// doubles, no padding) field by field; the in-memory layout plays no part.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Tessary/Export.h"

// One channel's dark-offset entry (28 bytes in the file).
struct TiffDarkOffset {
  std::int32_t type = 0;
  double offset = 0;  // channel offset
  double mean = 0;    // adjusted raw mean
  double stdDev = 0;  // raw standard deviation
};

struct TESSARY_API TiffScanRecord {
  static constexpr std::size_t kSize = 3176;
  static constexpr std::uint32_t kVersion = 11;
  using Guid = std::array<std::uint8_t, 16>;
  using Bytes = std::array<std::uint8_t, kSize>;

  // Offsets of the fields in the file (part of the file format).
  enum Offset : std::size_t {
    kOffRecordVersion = 0,
    kOffChannelCount = 4,
    kOffPmtChannel = 8,
    kOffCrossTalk = 24,
    kOffPixelSizeX = 152,
    kOffPixelSizeY = 160,
    kOffScanIdText = 168,
    kOffSerialNumber = 208,
    kOffDecimation = 336,
    kOffDecimationFactor = 340,
    kOffReScans = 344,
    kOffCropRegion = 348,
    kOffScanRegion = 380,
    kOffPmtVoltage = 412,
    kOffLaserPower = 444,
    kOffFileGuid = 476,
    kOffSourceGuid = 492,
    kOffDarkOffset = 508,
    kOffXBinning = 620,
    kOffYBinning = 624,
    kOffBarcode = 628,
    kOffScanStatus = 756,
    kOffReserved1012 = 1012,
    kOffReserved1016 = 1016,
    kOffLineLength = 1024,
    kOffReserved1032 = 1032,
    kOffDecimatedSetPresent = 1040,
    kOffPercentAutoFocusHold = 1044,
    kOffSensitivity = 1052,
    kOffMerged = 1084,
    kOffChannelCountHalf = 1088,
    kOffOrientation = 1092,
    kOffSaturation = 1104,
    kOffGlassThickness = 1120,
    kOffScanStatusMore = 1128,
  };

  std::uint32_t recordVersion = 0;
  std::int32_t channelCount = 0;
  std::array<std::int32_t, 4> pmtChannel{};
  std::array<double, 16> crossTalk{};  // (row, column) at column + 4 * row
  double pixelSizeX = 0;               // micrometres
  double pixelSizeY = 0;
  std::array<char, 40> scanIdText{};
  std::array<char, 128> serialNumber{};
  std::int32_t decimation = 0;
  std::uint32_t decimationFactor = 0;
  std::uint32_t reScans = 0;
  std::array<double, 4> cropRegion{};
  std::array<double, 4> scanRegion{};
  std::array<double, 4> pmtVoltage{};
  std::array<double, 4> laserPower{};
  Guid fileGuid{};
  Guid sourceGuid{};
  std::array<TiffDarkOffset, 4> darkOffset{};
  std::int32_t xBinning = 0;
  std::int32_t yBinning = 0;
  std::array<char, 128> barcode{};
  std::array<char, 256> scanStatus{};
  std::uint32_t reserved1012 = 0;
  std::array<std::uint8_t, 8> reserved1016{};
  double lineLength = 0;  // unpacked samples per line
  std::array<std::uint8_t, 8> reserved1032{};
  std::int32_t decimatedSetPresent = 0;
  double percentAutoFocusHold = 0;
  std::array<double, 4> sensitivity{};
  std::int32_t merged = 0;
  std::int32_t channelCountHalf = 0;
  std::array<char, 12> orientation{};
  std::array<std::int32_t, 4> saturation{};
  double glassThickness = 0;
  std::array<char, 2048> scanStatusMore{};

  Bytes Serialize() const;
  static TiffScanRecord Deserialize(std::span<const std::uint8_t, kSize> bytes);

  // Text fields: read up to the first NUL; written cut to the field size less one, the
  // rest of the field zeroed.
  template <std::size_t N>
  static std::string Text(const std::array<char, N>& field) {
    std::size_t n = 0;
    while (n < N && field[n] != '\0') ++n;
    return std::string(field.data(), n);
  }
  template <std::size_t N>
  static void SetText(std::array<char, N>& field, std::string_view text) {
    field.fill('\0');
    const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    for (std::size_t i = 0; i < n; ++i) field[i] = text[i];
  }
};
