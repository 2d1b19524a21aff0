// PMT voltages from a sensitivity ratio, the calibration of both tubes against the
// instrument's calibration light, and the dark offsets the instrument subtracts.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "Jotwell/Logger.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"

using namespace movrak;

namespace {

constexpr const char* kDefaultExponent = "7.833";
constexpr long kStatSamples = 1048576;
constexpr unsigned kMaxVoltage = 9990;  // tenths of volts
constexpr int kMaxAttempts = 5;
constexpr double kWeakSignal = 25.0;

const char* ChannelName(int ch) { return ch == kRedPMT ? "Red" : "Green"; }

// A finite number from a FLASH text, nullopt otherwise.
std::optional<double> ParseNumber(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double v = std::strtod(begin, &end);
  if (end == begin || !std::isfinite(v)) return std::nullopt;
  return v;
}

// A whole number of tenths from a computed voltage: truncated; what is not a number or
// is negative gives 0, what lies beyond the type the largest value (which surpasses any
// voltage that may be set).
unsigned ToTenths(double v) {
  if (!(v > 0)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<unsigned>::max()))
    return std::numeric_limits<unsigned>::max();
  return static_cast<unsigned>(v);
}

// For log lines that print a percentage as a whole number.
int Percent(double ratio) {
  const double v = std::trunc(ratio * 100);
  if (!std::isfinite(v) || v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min())
    return 0;
  return static_cast<int>(v);
}

// 646 (factory voltage) is the worse outcome and is never replaced by 645.
int Worse(int current, int next) { return current == kErrPMTCalibLost ? current : next; }

// The statistics of the two channels, [0] red, [1] green.
struct Stats {
  RawDataStatsInfo info[2];
};

}  // namespace

unsigned CScanner::CalculatePMTVoltage(int channel, double ratio, unsigned referenceVoltage) {
  // A ratio that is not a number, or below 0, has no voltage.
  if (!std::isfinite(ratio) || ratio < 0) throw kErrBadParameter;
  const char* key = channel == kRedPMT ? "PMT1_Exponent" : "PMT2_Exponent";
  std::string text;
  try {
    text = m_Flash.GetString(key);
  } catch (int e) {
    if (e != kErrNoSuchFlashKey) throw;
    LogInfo("No FLASH value for %s, using default value of %s", key, kDefaultExponent);
    text = kDefaultExponent;
  }
  auto exponent = ParseNumber(text);
  if (!exponent || *exponent <= 0) {
    LogWarning("Invalid FLASH value for %s (%s), using default value of %s", key, text.c_str(),
               kDefaultExponent);
    exponent = ParseNumber(kDefaultExponent);
  }
  // reference x ratio^(1/e): the same as 10^(log10(reference^e x ratio) / e), without the
  // rounding that would turn a ratio of 1.0 into a voltage a tenth below the reference.
  return ToTenths(referenceVoltage * std::pow(ratio, 1.0 / *exponent));
}

void CScanner::CalibratePMT(int channelMask, unsigned pixelSizeX, double ratioRed, double ratioGreen,
                            unsigned fullVoltRed, unsigned fullVoltGreen, unsigned& newVoltRed,
                            unsigned& newVoltGreen, int& badCalibration, float /*laserCompensationRed*/,
                            float /*laserCompensationGreen*/) {
  badCalibration = 0;
  LogInfo("----- Starting PMT Calibration: Red = %d%% / Green = %d%% -----", Percent(ratioRed),
          Percent(ratioGreen));
  LogDebug(
      1,
      "Calibrating reference - the last known good PMT voltages calibrated at 100%%: Red = %d, Green = %d.",
      static_cast<int>(fullVoltRed), static_cast<int>(fullVoltGreen));

  const double requested[2] = {ratioRed, ratioGreen};
  const unsigned fullVolt[2] = {fullVoltRed, fullVoltGreen};
  unsigned* output[2] = {&newVoltRed, &newVoltGreen};
  const int groupFactor = static_cast<int>(std::min<unsigned>(pixelSizeX, std::numeric_limits<int>::max()));

  // Every voltage decided here is set through the channel, and handed out only once set.
  const auto setVoltage = [&](int ch, unsigned tenths) {
    m_Channels[static_cast<std::size_t>(ch)].ChangeVoltage(tenths, true, false);
    *output[ch] = tenths;
  };
  const auto factoryVoltage = [&](int ch) {
    return static_cast<unsigned>(m_Flash.GetUnsigned(ch == kRedPMT ? "PMT1" : "PMT2"));
  };

  try {
    for (const double r : requested)
      if (!std::isfinite(r) || r < 0) throw kErrBadParameter;

    const auto maxIncrease = static_cast<double>(m_Flash.GetUnsignedDef("PMT_MaxDeltaIncrease", 10));
    const auto maxDecrease = static_cast<double>(m_Flash.GetUnsignedDef("PMT_MaxDeltaDecrease", 10));
    const unsigned nominal[2] = {static_cast<unsigned>(m_Flash.GetUnsigned("PMT1_NominalCalibrationSignal")),
                                 static_cast<unsigned>(m_Flash.GetUnsigned("PMT2_NominalCalibrationSignal"))};
    const unsigned target[2] = {ToTenths(nominal[0] * ratioRed + 0.5),
                                ToTenths(nominal[1] * ratioGreen + 0.5)};
    LogDebug(1,
             "Load initial parameters: NomCalSigRed = %u, targetCalSigRed = %u, NomCalSigGreen = %u, "
             "targetCalSigGreen = %u",
             nominal[0], target[0], nominal[1], target[1]);
    LogInfo("  No PMT Compensation is required, Laser Set Points are not changed");

    unsigned reference[2] = {fullVoltRed != 0 ? fullVoltRed : factoryVoltage(kRedPMT),
                             fullVoltGreen != 0 ? fullVoltGreen : factoryVoltage(kGreenPMT)};

    if (m_Flash.GetUnsignedDef("PMTCalibErrorFlag", 0) == 1) {
      LogWarning(
          "PMT Calibration Warning Flag set on this Instrument.  Unable to Use PMT Calibration Light "
          "Source.");
      LogError("Estimating PMT Voltage Based on Mathematical Calculation Only.");
      for (int ch = 0; ch < 2; ++ch) setVoltage(ch, CalculatePMTVoltage(ch, requested[ch], reference[ch]));
      badCalibration = 1;
      throw fullVoltRed == 0 || fullVoltGreen == 0 ? kErrPMTCalibLost : kErrPMTCalibUnstable;
    }

    // A statistics call; a read that throws its port status counts as failed.
    using StatsCall = bool (CScanDataPort::*)(long, bool, int, RawDataStatsInfo*, const char*);
    const auto stats = [&](StatsCall call, int ch, RawDataStatsInfo& info) {
      try {
        return (m_DataPort.*call)(kStatSamples, ch != kRedPMT, groupFactor, &info, nullptr);
      } catch (PortStatus) {
        return false;
      }
    };

    // Gain and offset of both channels, whatever the mask.
    double gainRatio[2] = {1.0, 1.0};
    m_DataPort.ClearSimpleErrCounts();
    Stats gain, offset;
    for (int ch = 0; ch < 2; ++ch) {
      if (!stats(&CScanDataPort::GetRawGainStats, ch, gain.info[ch])) {
        LogError("Failed to get %s raw gain.", ChannelName(ch));
        throw kErrPMTRawGain;
      }
    }
    LogDebug(2, "Get measured raw gain stats: HiMean_R = %.2f, LoMean_R = %.2f, HiMean_G = %.2f, LoMean_G",
             gain.info[0].dHiAve, gain.info[0].dLoAve, gain.info[1].dHiAve);
    for (int ch = 0; ch < 2; ++ch) {
      if (!stats(&CScanDataPort::GetRawOffsetStats, ch, offset.info[ch])) {
        LogError("Failed to get %s raw offset.", ChannelName(ch));
        throw kErrPMTRawOffset;
      }
    }
    LogDebug(2, "Get measured raw offset stats: HiMean_R = %.2f, LoMean_R = %.2f, HiMean_G = %.2f, LoMean_G",
             offset.info[0].dHiAve, offset.info[0].dLoAve, offset.info[1].dHiAve);
    for (int ch = 0; ch < 2; ++ch) {
      const double lo = gain.info[ch].dLoAve - offset.info[ch].dLoAve;
      if (lo == 0)
        LogDebug(1, "Failed to compute %s raw gain ratio: gain Lo average equals offset Lo average.",
                 ChannelName(ch));
      else
        gainRatio[ch] = (gain.info[ch].dHiAve - offset.info[ch].dHiAve) / lo;
    }
    LogDebug(1, "Computed raw gain ratio: GainRatio_R = %.2f, GainRatio_G = %.2f", gainRatio[0],
             gainRatio[1]);

    // A channel's signal from one measurement, with the suffix of its log line.
    const auto signalOf = [&](int ch, const RawDataStatsInfo& info, const char*& suffix) {
      if (!info.bIsSaturated) {
        suffix = "";
        return info.dHiAve - offset.info[ch].dHiAve;
      }
      suffix = "[Hi saturated]";
      return (info.dLoAve - offset.info[ch].dLoAve) * gainRatio[ch];
    };
    const auto measure = [&](int ch, const char* light) {
      RawDataStatsInfo info;
      if (!stats(&CScanDataPort::GetRawDataStats, ch, info)) {
        LogError("Failed to get %s raw data [%s].", ChannelName(ch), light);
        throw kErrPMTRawData;
      }
      return info;
    };

    const int initialMask = channelMask & 3;
    int mask = initialMask;
    double current[2] = {ratioRed, ratioGreen};
    double first[2] = {0, 0}, last[2] = {0, 0};
    bool overMax[2] = {false, false};
    for (int attempt = 0; mask != 0 && attempt < kMaxAttempts; ++attempt) {
      for (int ch = 0; ch < 2; ++ch) {
        if (!(mask & (1 << ch))) continue;
        const unsigned v = CalculatePMTVoltage(ch, current[ch], reference[ch]);
        if (v <= kMaxVoltage) {
          setVoltage(ch, v);
          reference[ch] = v;
          continue;
        }
        LogError(
            "  Calibration for %s Channel Surpassing Maximum Voltage.  Terminating %s Channel Calibration.",
            ChannelName(ch), ChannelName(ch));
        unsigned fallback;
        if (fullVolt[ch] == 0) {
          LogError("  Calculating %s Voltage Mathematically Based on Factory Setting.", ChannelName(ch));
          fallback = factoryVoltage(ch);
        } else {
          LogError("  Calculating %s Voltage Mathematically Based on Last Successful Calibration Result.",
                   ChannelName(ch));
          fallback = fullVolt[ch];
        }
        setVoltage(ch, CalculatePMTVoltage(ch, requested[ch], fallback));
        overMax[ch] = true;
        mask &= ~(1 << ch);
      }
      if (mask == 0) break;

      double on[2] = {0, 0};
      m_pScanObj->CalibrationLightSource(true);
      for (int ch = 0; ch < 2; ++ch) {
        if (!(mask & (1 << ch))) continue;
        const char* suffix = "";
        on[ch] = signalOf(ch, measure(ch, "light-on"), suffix);
        LogDebug(2, "Light source = On, avg%s = %.2f %s", ChannelName(ch), on[ch], suffix);
      }
      m_pScanObj->CalibrationLightSource(false);
      for (int ch = 0; ch < 2; ++ch) {
        if (!(mask & (1 << ch))) continue;
        const char* suffix = "";
        const double off = signalOf(ch, measure(ch, "light-off"), suffix);
        LogDebug(2, "Light source = Off, avg%s = %.2f %s", ChannelName(ch), off, suffix);
        const double measured = std::fabs(on[ch] - off);
        LogDebug(1, "measuredCalSig%s = %.2f", ChannelName(ch), measured);
        if (measured < kWeakSignal) {
          LogWarning("  Less than 25 counts signal between calibration light source on and off.");
          LogWarning("  Is calibration light source coming on and %s PMT voltage connected?",
                     ChannelName(ch));
        }
        if (on[ch] < off) {
          LogWarning(
              "  Signal measured with light source ON is less than that measured with light source OFF!");
          LogWarning("  Is calibration light source coming on and %s PMT voltage connected?",
                     ChannelName(ch));
        }
        if (attempt == 0 && requested[ch] == 1.0) first[ch] = measured;
        last[ch] = measured;
        // Without a signal there is nothing to correct by: the ratio stays and the channel
        // cannot converge on it.
        const bool usable = measured > 0 && std::isfinite(measured);
        if (usable) current[ch] = target[ch] / measured;
        LogDebug(1, "Computed newRatio%s = %.2f [retry = %d]", ChannelName(ch), current[ch], attempt + 1);
        const bool wide = attempt == kMaxAttempts - 1 && requested[ch] < 0.02;
        const double low = wide ? 0.95 : 0.99, high = wide ? 1.05 : 1.01;
        if (usable && current[ch] > low && current[ch] < high) mask &= ~(1 << ch);
      }
    }

    const int errCounts = m_DataPort.GetSimpleErrCounts();
    if (errCounts < 0)
      LogError("<CScanner::CalibratePMT> Failed to get SimpleErrorCounts from Data Port");
    else if (errCounts > 0)
      LogDebug(1, "<CScanner::CalibratePMT> Got SimpleErrorCounts = %d", errCounts);

    if (overMax[0] || overMax[1]) {
      int error = 0;
      for (int ch = 0; ch < 2; ++ch)
        if (overMax[ch]) error = Worse(error, fullVolt[ch] == 0 ? kErrPMTCalibLost : kErrPMTCalibUnstable);
      LogError("  %s Surpassed Maximum Voltage, Preventing Further Attempts at Calibration.",
               overMax[0] && overMax[1] ? "Red and Green Voltages"
               : overMax[0]             ? "Red Voltage"
                                        : "Green Voltage");
      LogWarning("  setting PMT Calibration Warning Flag in Instrument FLASH");
      m_Flash.SetUnsigned("PMTCalibErrorFlag", 1);
      m_Flash.Burn();
      badCalibration = 1;
      throw error;
    }

    if (mask != 0) {
      badCalibration = 1;
      int error = 0;
      for (int ch = 0; ch < 2; ++ch) {
        if (!(mask & (1 << ch))) continue;
        LogError("  Too Many %s Channel PMT Calibration Attempts.", ChannelName(ch));
        LogError("  Is Calibration Light Source or PMT Voltage Unstable?");
        unsigned fallback;
        if (fullVolt[ch] == 0) {
          LogError("  Calculating Voltage Mathematically Based on Factory Setting.");
          fallback = factoryVoltage(ch);
          error = Worse(error, kErrPMTCalibLost);
        } else {
          LogError("  Calculating Voltage Mathematically Based on Last Successful Calibration Result.");
          fallback = fullVolt[ch];
          error = Worse(error, kErrPMTCalibUnstable);
        }
        setVoltage(ch, CalculatePMTVoltage(ch, requested[ch], fallback));
      }
      throw error;
    }

    // Drift of the light source since the last calibration at full sensitivity.
    int error = 0;
    bool flagWritten = false;
    for (int ch = 0; ch < 2; ++ch) {
      if (!(initialMask & (1 << ch)) || requested[ch] != 1.0 || fullVolt[ch] == 0 || overMax[ch]) continue;
      // Without a first signal there is no drift to speak of.
      if (!(first[ch] > 0)) continue;
      const double pct = (last[ch] - first[ch]) / first[ch] * 100.0;
      if (!std::isfinite(pct)) continue;
      const double delta = std::fabs(std::round(pct));  // half away from zero, both ways
      const bool rose = last[ch] > first[ch];
      LogInfo("  %s Intensity has %s by %3.2f%% since last full sensitivity PMT calibration", ChannelName(ch),
              rose ? "increased" : "decreased", std::fabs(pct));
      if (!(rose ? delta > maxIncrease : delta > maxDecrease)) continue;
      if (!flagWritten) {
        LogError("  Calibration Light Source %s Signal Delta > %d%% Since Last Calibration.", ChannelName(ch),
                 delta > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                         : static_cast<int>(delta));
        LogWarning(
            "  Calibration Result Cannot be Trusted, setting PMT Calibration Warning Flag in Instrument "
            "FLASH");
        m_Flash.SetUnsigned("PMTCalibErrorFlag", 1);
        m_Flash.Burn();
        flagWritten = true;
      }
      LogError("  Calculating Voltage Mathematically Based on Last Successful Calibration Result.");
      setVoltage(ch, CalculatePMTVoltage(ch, 1.0, fullVolt[ch]));
      error = Worse(error, kErrPMTCalibUnstable);
    }
    if (error != 0) throw error;
  } catch (int) {
    try {
      m_pScanObj->CalibrationLightSource(false);
    } catch (int) {
      // The calibration's own error is the one to report.
    }
    LogInfo("--------------------PMT Calibration Complete-------------------");
    badCalibration = 1;
    throw;
  }
  m_pScanObj->CalibrationLightSource(false);
  LogInfo("--------------------PMT Calibration Complete-------------------");
}

void CScanner::SetDarkSubtractionValue(double redMean, double greenMean, std::int32_t& redValue,
                                       std::int32_t& greenValue) {
  LogDebug(5, "CScanner::SetDarkSubtractionValue (RedMean=%f GreenMean=%f)", redMean, greenMean);
  bool missing = false;
  double sd = 0;
  for (const char* key : {"DarkNoiseSD_Red", "DarkNoiseSD_Green"}) {
    const std::string text = m_Flash.GetStringDef(key, "");
    const auto v = text.empty() ? std::nullopt : ParseNumber(text);
    if (!v || *v < 0)
      missing = true;
    else
      sd = std::max(sd, *v);
  }
  const unsigned long multiplier[2] = {m_Flash.GetUnsignedDef("DarkNoiseMultiplier_Red", 0),
                                       m_Flash.GetUnsignedDef("DarkNoiseMultiplier_Green", 0)};
  if (multiplier[0] == 0 || multiplier[1] == 0) missing = true;

  std::int32_t value[2] = {0, 0};
  if (missing) {
    LogWarning("Dark Subtraction FLASH Values Missing or Invalid, Skipping Dark Offset Subtraction.");
  } else {
    const double mean[2] = {redMean, greenMean};
    bool negative = false;
    for (int ch = 0; ch < 2; ++ch) {
      const double v = std::trunc(mean[ch] - multiplier[ch] * sd + 0.5);
      // A value that is no number or does not fit is as unusable as a negative one.
      if (!std::isfinite(v) || v < 0 || v > std::numeric_limits<std::int32_t>::max()) {
        negative = true;
        if (!std::isfinite(v) || v > std::numeric_limits<std::int32_t>::max()) {
          LogWarning("%s Dark Value is out of range: (long)((%f - (%d * %f)) + 0.5)", ChannelName(ch),
                     mean[ch], static_cast<int>(multiplier[ch]), sd);
          continue;
        }
      }
      value[ch] = static_cast<std::int32_t>(
          std::max(v, static_cast<double>(std::numeric_limits<std::int32_t>::min())));
      LogInfo("%s Dark Value: [ %d ]  = (long)((%f - (%d * %f)) + 0.5)", ChannelName(ch),
              static_cast<int>(value[ch]), mean[ch], static_cast<int>(multiplier[ch]), sd);
    }
    if (negative) {
      LogError("Dark Subtraction Value is Negative!  Setting Values to Zero.");
      value[0] = value[1] = 0;
    }
  }
  m_pScanObj->SetDarkSubtractionValue(static_cast<unsigned>(value[0]), static_cast<unsigned>(value[1]));
  LogDebug(5, "CScanner::SetDarkSubtraction Value returning %d (R) : %d (G)", static_cast<int>(value[0]),
           static_cast<int>(value[1]));
  redValue = value[0];
  greenValue = value[1];
}
