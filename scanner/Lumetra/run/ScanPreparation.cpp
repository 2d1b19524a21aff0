// Scan preparation: the port's raw statistics and the instrument's calibration keys
// become the values the write thread's pixel decoding uses.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "Jotwell/Logger.h"
#include "run/ComError.h"
#include "run/ScanDataProc.h"

namespace lumetra::run {

using platform::com::ComError;

namespace {

constexpr long kStatsSamples = 0x100000;

// The leading decimal integer of a text, as the C library's atoi reads it, kept within
// 32 bits.
std::int32_t IntegerText(const std::string& text) {
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  return static_cast<std::int32_t>(std::clamp<long long>(v, INT32_MIN, INT32_MAX));
}

double NumberText(const std::string& text) {
  const double v = std::strtod(text.c_str(), nullptr);
  return std::isfinite(v) ? v : 0.0;
}

// Truncated toward zero, within 32 bits.
std::int32_t Truncate(double v) {
  if (!(v == v)) return 0;
  return static_cast<std::int32_t>(std::clamp(std::trunc(v), double{INT32_MIN}, double{INT32_MAX}));
}

}  // namespace

int CScanDataProc::StatsFetch(const char* function, const char* kind, long sampleCount, long green) {
  if (!m_pScanCtrl) return 0;
  IScanCtrl::BOOL32 ready = 0;
  CheckScanCtrl(m_pScanCtrl->SDPIsReady(&ready));
  if (!ready) return 0;

  const char* colour = green ? "Green" : "Red";
  const std::string name = std::string(colour) + "_" + kind;
  double hiMean = 0, hiStDev = 0, loMean = 0, loStDev = 0;
  bool fetched = false;
  for (int attempt = 0; attempt < 2 && !fetched; ++attempt) {
    std::string failure;
    try {
      double hi = 0, hiSd = 0, lo = 0, loSd = 0;
      IScanCtrl::BOOL32 result = 0, saturated = 0;
      const auto samples = static_cast<IScanCtrl::LONG>(sampleCount);
      const IScanCtrl::BOOL32 isGreen = green ? 1 : 0;
      const std::string kindText = kind;
      if (kindText == "Raw")
        CheckScanCtrl(m_pScanCtrl->SDPGetRawDataStats(samples, isGreen, m_nPixelSizeX, "", &hi, &hiSd, &lo,
                                                      &loSd, &saturated, &result));
      else if (kindText == "Offset")
        CheckScanCtrl(m_pScanCtrl->SDPGetRawOffsetStats(samples, isGreen, m_nPixelSizeX, "", &hi, &hiSd, &lo,
                                                        &loSd, &result));
      else
        CheckScanCtrl(m_pScanCtrl->SDPGetRawGainStats(samples, isGreen, m_nPixelSizeX, "", &hi, &hiSd, &lo,
                                                      &loSd, &result));
      if (result) {
        hiMean = hi, hiStDev = hiSd, loMean = lo, loStDev = loSd;
        fetched = true;
        break;
      }
    } catch (const ComError& e) {
      failure = FormatComError(e);
    } catch (...) {
      failure = "Unknown error";
    }
    LogDebug(1, "<ScanDataProc::%s> Failed to get %s measuring data: %s, [retry = %d]", function, colour,
             failure.c_str(), attempt);
  }
  if (!fetched) return 0;

  LogDebug(
      1,
      "<ScanDataProc::%s> Stats info for %s: HiMean = %.3f, HiStDev = %.3f, LoMean = %.3f, LoStDev = %.3f "
      "[Samples = %ld]",
      function, name.c_str(), hiMean, hiStDev, loMean, loStDev, sampleCount);
  Colour& c = green ? m_Green : m_Red;
  const std::string kindText = kind;
  if (kindText == "Raw") {
    c.rawMean = hiMean;
    c.rawStDev = hiStDev;
    c.adjustedRawMean = hiMean;
    LogDebug(3, "<ScanDataProc::SetRawDataStats> Img %d has num %ld, median %f, ave %f, SD %f", 1,
             sampleCount, hiMean, hiMean, hiStDev);
  } else if (kindText == "Offset") {
    c.offsetLevel = hiMean;
    c.offsetLevelLow = loMean;
  } else {
    c.gainLevel = hiMean;
    c.gainLevelLow = loMean;
  }
  return 1;
}

int CScanDataProc::SetRawDataStats(long sampleCount, long green) {
  return StatsFetch("SetRawDataStats", "Raw", sampleCount, green);
}
int CScanDataProc::SetRawOffsetStats(long sampleCount, long green) {
  return StatsFetch("SetRawOffsetStats", "Offset", sampleCount, green);
}
int CScanDataProc::SetRawGainStats(long sampleCount, long green) {
  return StatsFetch("SetRawGainStats", "Gain", sampleCount, green);
}

int CScanDataProc::GetStatsSummary() {
  if (!m_pScanCtrl) return 0;
  IScanCtrl::BOOL32 ready = 0;
  CheckScanCtrl(m_pScanCtrl->SDPIsReady(&ready));
  if (!ready) return 0;
  SetRawDataStats(kStatsSamples, 0);
  SetRawDataStats(kStatsSamples, 1);
  SetRawOffsetStats(kStatsSamples, 0);
  SetRawOffsetStats(kStatsSamples, 1);
  SetRawGainStats(kStatsSamples, 0);
  SetRawGainStats(kStatsSamples, 1);
  return 1;
}

int CScanDataProc::PrepareScan(int lines, int pixelsPerLine, bool averagedPair, unsigned int samplingMode) {
  if (!m_pScanCtrl) return 0;
  IScanCtrl::BOOL32 open = 0;
  CheckScanCtrl(m_pScanCtrl->SDPIsOpen(&open));
  if (!open || lines < 1 || pixelsPerLine < 1) return 0;
  // A line must fit the room a read needs, or the ring could never hand it over.
  const std::uint64_t lineLength =
      std::uint64_t{static_cast<unsigned>(pixelsPerLine)} * kPixelBytes + kHeaderBytes;
  if (lineLength > m_Ring.GetGeometry().minRoom || m_nLineResolution < 1) {
    LogError("<CScanDataProc::PrepareScan> Cannot prepare a scan of %d lines of %d pixels at %d microns",
             lines, pixelsPerLine, m_nLineResolution);
    return 0;
  }

  const auto flashText = [this](const char* key) {
    std::string value;
    CheckScanCtrl(m_pScanCtrl->FlashGetString(key, &value));
    return value;
  };

  // Registration of red against green, and of odd against even lines.
  try {
    const std::int32_t h = IntegerText(flashText("RedGreenOffsetDeltaH"));
    const std::int32_t v = Truncate(NumberText(flashText("RedGreenOffsetDeltaV")));
    m_nRedGreenOffsetH = h;
    m_nRedGreenOffsetV = v;
  } catch (const ComError&) {
    m_nRedGreenOffsetH = m_nRedGreenOffsetV = 0;
    LogDebug(1, "No FLASH value for the Red/Green Offset Correction (%s or %s). Using 0 and 0 as defaults.",
             "RedGreenOffsetDeltaH", "RedGreenOffsetDeltaV");
  }
  LogInfo("The Red/Green Offset Correction is: %d,%d microns.", m_nRedGreenOffsetH, m_nRedGreenOffsetV);
  try {
    m_nOddEvenOffset = IntegerText(flashText("LeftRightOffsetDeltaH"));
  } catch (const ComError&) {
    m_nOddEvenOffset = 0;
    LogDebug(1, "No FLASH value for the Odd/Even Offset Correction (%s). Using 0 as default.",
             "LeftRightOffsetDeltaH");
  }
  LogInfo("The Odd/Even Offset Correction is: %d microns.", m_nOddEvenOffset);

  // Laser reference powers: set point x photodiode factor, in single precision.
  const auto laser = [&](Colour& c, const char* setPointKey, const char* factorKey, float fallback,
                         const char* name) {
    try {
      const auto setPoint = static_cast<float>(NumberText(flashText(setPointKey)));
      const auto factor = static_cast<float>(NumberText(flashText(factorKey)));
      c.referencePower = setPoint * factor;
      LogInfo("Expected %s Laser is %f", name, static_cast<double>(c.referencePower));
    } catch (const ComError&) {
      c.referencePower = fallback;
      LogInfo("No FLASH value for %s or %s, Expected %s Laser is %f", setPointKey, factorKey, name,
              static_cast<double>(fallback));
    }
  };
  laser(m_Green, "LaserSetPointMWatt_G", "LaserPDCtToMWatt_G", 30004.91f, "green");
  laser(m_Red, "LaserSetPointMWatt_R", "LaserPDCtToMWatt_R", 15086.37f, "red");

  m_nRunMode = 1;
  m_bAveragedPair = averagedPair;
  m_nLines = lines;
  m_nPixels = pixelsPerLine;
  m_LineSlots.assign(static_cast<std::size_t>(std::max(m_nLineSlots, 1)),
                     std::vector<std::uint32_t>(2 * static_cast<std::size_t>(pixelsPerLine), 0u));
  m_Header = Header{};

  m_nLineLength = static_cast<std::uint32_t>(lineLength);
  m_nExpectedBytes = (std::int64_t{lines} + 50 / m_nLineResolution) * std::int64_t{m_nLineLength};
  if (averagedPair || m_nLineResolution == 10) m_nExpectedBytes *= 2;

  // Red is seen a number of lines after green; the slots can hold at most that many lines ahead.
  const int delay =
      Truncate((m_nRedBaseOffsetV + static_cast<double>(m_nRedGreenOffsetV)) / m_nLineResolution + 0.5);
  const int slots = static_cast<int>(m_LineSlots.size());
  m_nRedLineDelay = std::clamp(delay, 0, slots - 1);
  if (m_nRedLineDelay != delay)
    LogWarning("The red line delay of %d lines is outside 0 to %d; using %d lines.", delay, slots - 1,
               m_nRedLineDelay);

  // Low-gain ratios.
  const auto ratio = [](const Colour& c, bool& ok) {
    const double denominator = c.gainLevelLow - c.offsetLevelLow;
    ok = denominator != 0;
    return ok ? (c.gainLevel - c.offsetLevel) / denominator : 1.0;
  };
  bool ok = true;
  m_Red.lowGainRatio = ratio(m_Red, ok);
  if (!ok) LogError("Failed to compute Red raw gain ratio: gain Lo average equals offset Lo average.");
  m_Green.lowGainRatio = ratio(m_Green, ok);

  // Dark offset and saturation, recorded in the channel files.
  TiffHandler* file0 = m_Tiff.GetTiffByChannel(0);
  if (file0 && file0->IsOpen()) {
    int pmt = 0;
    file0->GetPMTChannel(pmt);
    IScanCtrl::LONG redDark = 0, greenDark = 0;
    CheckScanCtrl(m_pScanCtrl->SetDarkSubtractionValue(m_Red.rawMean, m_Green.rawMean, &redDark, &greenDark));
    const bool sixteen = file0->GetDepth() == 16;
    int saturation[2] = {0, 0};
    Colour* colours[2] = {&m_Red, &m_Green};
    const IScanCtrl::LONG darks[2] = {redDark, greenDark};
    for (int i = 0; i < 2; ++i) {
      Colour& c = *colours[i];
      c.channelOffset = c.rawMean - darks[i];
      // From the fetched mean: a preparation after a failed fetch must not subtract again.
      c.adjustedRawMean = c.rawMean - darks[i];
      saturation[i] = Truncate(sixteen ? 65535 - c.channelOffset
                                       : (65535 - c.offsetLevelLow) * c.lowGainRatio - c.channelOffset);
    }
    const auto record = [&](int file, int colour) {
      if (TiffHandler* f = m_Tiff.GetTiffByChannel(file))
        f->SetDarkOffSet(0, colours[colour]->channelOffset, colours[colour]->adjustedRawMean,
                         colours[colour]->rawStDev);
    };
    const auto saturate = [&](int file, int colour) {
      if (TiffHandler* f = m_Tiff.GetTiffByChannel(file)) f->SetSaturationValue(saturation[colour]);
    };
    if (m_nChannels == 2) {
      record(0, 0);
      record(1, 1);
      saturate(0, 0);
      saturate(1, 1);
    } else if (m_nChannels == 1 && (pmt == kRedPMT || pmt == kGreenPMT)) {
      record(0, pmt);
      saturate(0, pmt);
    }
  }
  return SetupRunMode(m_nRunMode, samplingMode);
}

}  // namespace lumetra::run
