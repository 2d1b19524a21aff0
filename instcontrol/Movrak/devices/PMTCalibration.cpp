// PMT voltages from a sensitivity ratio, the calibration of both tubes against the
// instrument's calibration light, and the dark offsets the instrument subtracts.
#include "devices/PMTCalibration.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "Jotwell/Logger.h"
#include "Pellux/ScanDataPort.h"
#include "devices/Channel.h"
#include "devices/DeviceErrors.h"
#include "devices/Flash.h"
#include "devices/ScanObj.h"
#include "devices/ScannerTypes.h"

using namespace movrak;

namespace {

constexpr const char* kDefaultExponent = "7.833";
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

}  // namespace

// ---- the instrument's bench ------------------------------------------------------------------

std::string CInstrumentPMTBench::FlashString(const char* key) { return m_Flash.GetString(key); }
std::string CInstrumentPMTBench::FlashStringDef(const char* key, const char* def) {
  return m_Flash.GetStringDef(key, def);
}
unsigned long CInstrumentPMTBench::FlashUnsigned(const char* key) { return m_Flash.GetUnsigned(key); }
unsigned long CInstrumentPMTBench::FlashUnsignedDef(const char* key, unsigned long def) {
  return m_Flash.GetUnsignedDef(key, def);
}
void CInstrumentPMTBench::RaiseCalibrationFlag() {
  m_Flash.SetUnsigned("PMTCalibErrorFlag", 1);
  m_Flash.Burn();
}
void CInstrumentPMTBench::SetVoltage(int channel, unsigned tenths) {
  m_Channels[static_cast<std::size_t>(channel)].ChangeVoltage(tenths, true, false);
}
bool CInstrumentPMTBench::Stats(Stat which, int channel, int groupFactor, RawDataStatsInfo& info) {
  const bool green = channel != kRedPMT;
  // A read that throws its port status counts as failed.
  try {
    switch (which) {
      case Stat::gain:
        return m_Port.GetRawGainStats(CPMTCalibration::kStatSamples, green, groupFactor, &info, nullptr);
      case Stat::offset:
        return m_Port.GetRawOffsetStats(CPMTCalibration::kStatSamples, green, groupFactor, &info, nullptr);
      case Stat::data:
        return m_Port.GetRawDataStats(CPMTCalibration::kStatSamples, green, groupFactor, &info, nullptr);
    }
  } catch (PortStatus) {
  }
  return false;
}
void CInstrumentPMTBench::ClearErrorCounts() { m_Port.ClearSimpleErrCounts(); }
int CInstrumentPMTBench::ErrorCounts() { return m_Port.GetSimpleErrCounts(); }
void CInstrumentPMTBench::CalibrationLight(bool on) { m_Scan.CalibrationLightSource(on); }
void CInstrumentPMTBench::SetDarkSubtraction(unsigned red, unsigned green) {
  m_Scan.SetDarkSubtractionValue(red, green);
}

// ---- the calibration ---------------------------------------------------------------------------

unsigned CPMTCalibration::CalculatePMTVoltage(int channel, double ratio, unsigned referenceVoltage) {
  // A ratio that is not a number, or below 0, has no voltage.
  if (!std::isfinite(ratio) || ratio < 0) throw kErrBadParameter;
  const char* key = channel == kRedPMT ? "PMT1_Exponent" : "PMT2_Exponent";
  std::string text;
  try {
    text = m_Bench.FlashString(key);
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

unsigned CPMTCalibration::FactoryVoltage(int channel) {
  return static_cast<unsigned>(m_Bench.FlashUnsigned(channel == kRedPMT ? "PMT1" : "PMT2"));
}

void CPMTCalibration::SetVoltage(Run& run, int channel, unsigned tenths) {
  m_Bench.SetVoltage(channel, tenths);
  *run.output[channel] = tenths;
}

void CPMTCalibration::Calibrate(int channelMask, unsigned pixelSizeX, double ratioRed, double ratioGreen,
                                unsigned fullVoltRed, unsigned fullVoltGreen, unsigned& newVoltRed,
                                unsigned& newVoltGreen, int& badCalibration) {
  badCalibration = 0;
  LogInfo("----- Starting PMT Calibration: Red = %d%% / Green = %d%% -----", Percent(ratioRed),
          Percent(ratioGreen));
  LogDebug(
      1,
      "Calibrating reference - the last known good PMT voltages calibrated at 100%%: Red = %d, Green = %d.",
      static_cast<int>(fullVoltRed), static_cast<int>(fullVoltGreen));

  Run run;
  run.requested[0] = ratioRed;
  run.requested[1] = ratioGreen;
  run.fullVolt[0] = fullVoltRed;
  run.fullVolt[1] = fullVoltGreen;
  run.output[0] = &newVoltRed;
  run.output[1] = &newVoltGreen;
  run.groupFactor = static_cast<int>(std::min<unsigned>(pixelSizeX, std::numeric_limits<int>::max()));
  run.initialMask = run.mask = channelMask & 3;
  run.current[0] = ratioRed;
  run.current[1] = ratioGreen;
  try {
    Steps(run, badCalibration);
  } catch (int) {
    try {
      m_Bench.CalibrationLight(false);
    } catch (int) {
      // The calibration's own error is the one to report.
    }
    LogInfo("--------------------PMT Calibration Complete-------------------");
    badCalibration = 1;
    throw;
  }
  m_Bench.CalibrationLight(false);
  LogInfo("--------------------PMT Calibration Complete-------------------");
}

void CPMTCalibration::Steps(Run& run, int& badCalibration) {
  for (const double r : run.requested)
    if (!std::isfinite(r) || r < 0) throw kErrBadParameter;

  const auto maxIncrease = static_cast<double>(m_Bench.FlashUnsignedDef("PMT_MaxDeltaIncrease", 10));
  const auto maxDecrease = static_cast<double>(m_Bench.FlashUnsignedDef("PMT_MaxDeltaDecrease", 10));
  const unsigned nominal[2] = {static_cast<unsigned>(m_Bench.FlashUnsigned("PMT1_NominalCalibrationSignal")),
                               static_cast<unsigned>(m_Bench.FlashUnsigned("PMT2_NominalCalibrationSignal"))};
  run.target[0] = ToTenths(nominal[0] * run.requested[0] + 0.5);
  run.target[1] = ToTenths(nominal[1] * run.requested[1] + 0.5);
  LogDebug(1,
           "Load initial parameters: NomCalSigRed = %u, targetCalSigRed = %u, NomCalSigGreen = %u, "
           "targetCalSigGreen = %u",
           nominal[0], run.target[0], nominal[1], run.target[1]);
  LogInfo("  No PMT Compensation is required, Laser Set Points are not changed");

  for (int ch = 0; ch < 2; ++ch)
    run.reference[ch] = run.fullVolt[ch] != 0 ? run.fullVolt[ch] : FactoryVoltage(ch);

  if (m_Bench.FlashUnsignedDef("PMTCalibErrorFlag", 0) == 1) EstimateWithoutLight(run, badCalibration);

  MeasureGainAndOffset(run);
  for (int attempt = 0; run.mask != 0 && attempt < kMaxAttempts; ++attempt) {
    SetAttemptVoltages(run);
    if (run.mask == 0) break;
    MeasureAttempt(run, attempt);
  }

  const int errCounts = m_Bench.ErrorCounts();
  if (errCounts < 0)
    LogError("<CScanner::CalibratePMT> Failed to get SimpleErrorCounts from Data Port");
  else if (errCounts > 0)
    LogDebug(1, "<CScanner::CalibratePMT> Got SimpleErrorCounts = %d", errCounts);

  if (run.overMax[0] || run.overMax[1]) FailOverMaximum(run, badCalibration);
  if (run.mask != 0) FailTooManyAttempts(run, badCalibration);
  CheckDrift(run, maxIncrease, maxDecrease);
}

void CPMTCalibration::EstimateWithoutLight(Run& run, int& badCalibration) {
  LogWarning(
      "PMT Calibration Warning Flag set on this Instrument.  Unable to Use PMT Calibration Light "
      "Source.");
  LogError("Estimating PMT Voltage Based on Mathematical Calculation Only.");
  for (int ch = 0; ch < 2; ++ch)
    SetVoltage(run, ch, CalculatePMTVoltage(ch, run.requested[ch], run.reference[ch]));
  badCalibration = 1;
  throw run.fullVolt[0] == 0 || run.fullVolt[1] == 0 ? kErrPMTCalibLost : kErrPMTCalibUnstable;
}

bool CPMTCalibration::ReadStats(IPMTBench::Stat which, const Run& run, int channel, RawDataStatsInfo& info) {
  return m_Bench.Stats(which, channel, run.groupFactor, info);
}

void CPMTCalibration::MeasureGainAndOffset(Run& run) {
  // Both channels, whatever the mask.
  m_Bench.ClearErrorCounts();
  RawDataStatsInfo gain[2];
  for (int ch = 0; ch < 2; ++ch) {
    if (!ReadStats(IPMTBench::Stat::gain, run, ch, gain[ch])) {
      LogError("Failed to get %s raw gain.", ChannelName(ch));
      throw kErrPMTRawGain;
    }
  }
  LogDebug(2, "Get measured raw gain stats: HiMean_R = %.2f, LoMean_R = %.2f, HiMean_G = %.2f, LoMean_G",
           gain[0].dHiAve, gain[0].dLoAve, gain[1].dHiAve);
  for (int ch = 0; ch < 2; ++ch) {
    if (!ReadStats(IPMTBench::Stat::offset, run, ch, run.offset[ch])) {
      LogError("Failed to get %s raw offset.", ChannelName(ch));
      throw kErrPMTRawOffset;
    }
  }
  LogDebug(2, "Get measured raw offset stats: HiMean_R = %.2f, LoMean_R = %.2f, HiMean_G = %.2f, LoMean_G",
           run.offset[0].dHiAve, run.offset[0].dLoAve, run.offset[1].dHiAve);
  for (int ch = 0; ch < 2; ++ch) {
    const double lo = gain[ch].dLoAve - run.offset[ch].dLoAve;
    if (lo == 0)
      LogDebug(1, "Failed to compute %s raw gain ratio: gain Lo average equals offset Lo average.",
               ChannelName(ch));
    else
      run.gainRatio[ch] = (gain[ch].dHiAve - run.offset[ch].dHiAve) / lo;
  }
  LogDebug(1, "Computed raw gain ratio: GainRatio_R = %.2f, GainRatio_G = %.2f", run.gainRatio[0],
           run.gainRatio[1]);
}

double CPMTCalibration::SignalOf(const Run& run, int channel, const RawDataStatsInfo& info,
                                 const char*& suffix) const {
  if (!info.bIsSaturated) {
    suffix = "";
    return info.dHiAve - run.offset[channel].dHiAve;
  }
  suffix = "[Hi saturated]";
  return (info.dLoAve - run.offset[channel].dLoAve) * run.gainRatio[channel];
}

RawDataStatsInfo CPMTCalibration::Measure(const Run& run, int channel, const char* light) {
  RawDataStatsInfo info;
  if (!ReadStats(IPMTBench::Stat::data, run, channel, info)) {
    LogError("Failed to get %s raw data [%s].", ChannelName(channel), light);
    throw kErrPMTRawData;
  }
  return info;
}

void CPMTCalibration::SetAttemptVoltages(Run& run) {
  for (int ch = 0; ch < 2; ++ch) {
    if (!(run.mask & (1 << ch))) continue;
    const unsigned v = CalculatePMTVoltage(ch, run.current[ch], run.reference[ch]);
    if (v <= kMaxVoltage) {
      SetVoltage(run, ch, v);
      run.reference[ch] = v;
      continue;
    }
    LogError("  Calibration for %s Channel Surpassing Maximum Voltage.  Terminating %s Channel Calibration.",
             ChannelName(ch), ChannelName(ch));
    unsigned fallback;
    if (run.fullVolt[ch] == 0) {
      LogError("  Calculating %s Voltage Mathematically Based on Factory Setting.", ChannelName(ch));
      fallback = FactoryVoltage(ch);
    } else {
      LogError("  Calculating %s Voltage Mathematically Based on Last Successful Calibration Result.",
               ChannelName(ch));
      fallback = run.fullVolt[ch];
    }
    SetVoltage(run, ch, CalculatePMTVoltage(ch, run.requested[ch], fallback));
    run.overMax[ch] = true;
    run.mask &= ~(1 << ch);
  }
}

void CPMTCalibration::MeasureAttempt(Run& run, int attempt) {
  double on[2] = {0, 0};
  m_Bench.CalibrationLight(true);
  for (int ch = 0; ch < 2; ++ch) {
    if (!(run.mask & (1 << ch))) continue;
    const char* suffix = "";
    on[ch] = SignalOf(run, ch, Measure(run, ch, "light-on"), suffix);
    LogDebug(2, "Light source = On, avg%s = %.2f %s", ChannelName(ch), on[ch], suffix);
  }
  m_Bench.CalibrationLight(false);
  for (int ch = 0; ch < 2; ++ch) {
    if (!(run.mask & (1 << ch))) continue;
    const char* suffix = "";
    const double off = SignalOf(run, ch, Measure(run, ch, "light-off"), suffix);
    LogDebug(2, "Light source = Off, avg%s = %.2f %s", ChannelName(ch), off, suffix);
    const double measured = std::fabs(on[ch] - off);
    LogDebug(1, "measuredCalSig%s = %.2f", ChannelName(ch), measured);
    if (measured < kWeakSignal) {
      LogWarning("  Less than 25 counts signal between calibration light source on and off.");
      LogWarning("  Is calibration light source coming on and %s PMT voltage connected?", ChannelName(ch));
    }
    if (on[ch] < off) {
      LogWarning("  Signal measured with light source ON is less than that measured with light source OFF!");
      LogWarning("  Is calibration light source coming on and %s PMT voltage connected?", ChannelName(ch));
    }
    if (attempt == 0 && run.requested[ch] == 1.0) run.first[ch] = measured;
    run.last[ch] = measured;
    // Without a signal there is nothing to correct by: the ratio stays and the channel
    // cannot converge on it.
    const bool usable = measured > 0 && std::isfinite(measured);
    if (usable) run.current[ch] = run.target[ch] / measured;
    LogDebug(1, "Computed newRatio%s = %.2f [retry = %d]", ChannelName(ch), run.current[ch], attempt + 1);
    const bool wide = attempt == kMaxAttempts - 1 && run.requested[ch] < 0.02;
    const double low = wide ? 0.95 : 0.99, high = wide ? 1.05 : 1.01;
    if (usable && run.current[ch] > low && run.current[ch] < high) run.mask &= ~(1 << ch);
  }
}

void CPMTCalibration::FailOverMaximum(Run& run, int& badCalibration) {
  int error = 0;
  for (int ch = 0; ch < 2; ++ch)
    if (run.overMax[ch])
      error = Worse(error, run.fullVolt[ch] == 0 ? kErrPMTCalibLost : kErrPMTCalibUnstable);
  LogError("  %s Surpassed Maximum Voltage, Preventing Further Attempts at Calibration.",
           run.overMax[0] && run.overMax[1] ? "Red and Green Voltages"
           : run.overMax[0]                 ? "Red Voltage"
                                            : "Green Voltage");
  LogWarning("  setting PMT Calibration Warning Flag in Instrument FLASH");
  m_Bench.RaiseCalibrationFlag();
  badCalibration = 1;
  throw error;
}

void CPMTCalibration::FailTooManyAttempts(Run& run, int& badCalibration) {
  badCalibration = 1;
  int error = 0;
  for (int ch = 0; ch < 2; ++ch) {
    if (!(run.mask & (1 << ch))) continue;
    LogError("  Too Many %s Channel PMT Calibration Attempts.", ChannelName(ch));
    LogError("  Is Calibration Light Source or PMT Voltage Unstable?");
    unsigned fallback;
    if (run.fullVolt[ch] == 0) {
      LogError("  Calculating Voltage Mathematically Based on Factory Setting.");
      fallback = FactoryVoltage(ch);
      error = Worse(error, kErrPMTCalibLost);
    } else {
      LogError("  Calculating Voltage Mathematically Based on Last Successful Calibration Result.");
      fallback = run.fullVolt[ch];
      error = Worse(error, kErrPMTCalibUnstable);
    }
    SetVoltage(run, ch, CalculatePMTVoltage(ch, run.requested[ch], fallback));
  }
  throw error;
}

void CPMTCalibration::CheckDrift(Run& run, double maxIncrease, double maxDecrease) {
  int error = 0;
  bool flagWritten = false;
  for (int ch = 0; ch < 2; ++ch) {
    if (!(run.initialMask & (1 << ch)) || run.requested[ch] != 1.0 || run.fullVolt[ch] == 0 ||
        run.overMax[ch])
      continue;
    // Without a first signal there is no drift to speak of.
    if (!(run.first[ch] > 0)) continue;
    const double pct = (run.last[ch] - run.first[ch]) / run.first[ch] * 100.0;
    if (!std::isfinite(pct)) continue;
    // Half a percent added, then cut toward zero: a fall of up to 11.5 % still counts as
    // 10. No stricter than that, for the warning flag it raises stays in the FLASH.
    const double delta = std::fabs(std::trunc(pct + 0.5));
    const bool rose = run.last[ch] > run.first[ch];
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
      m_Bench.RaiseCalibrationFlag();
      flagWritten = true;
    }
    LogError("  Calculating Voltage Mathematically Based on Last Successful Calibration Result.");
    SetVoltage(run, ch, CalculatePMTVoltage(ch, 1.0, run.fullVolt[ch]));
    error = Worse(error, kErrPMTCalibUnstable);
  }
  if (error != 0) throw error;
}

void CPMTCalibration::SetDarkSubtractionValue(double redMean, double greenMean, std::int32_t& redValue,
                                              std::int32_t& greenValue) {
  LogDebug(5, "CScanner::SetDarkSubtractionValue (RedMean=%f GreenMean=%f)", redMean, greenMean);
  bool missing = false;
  double sd = 0;
  for (const char* key : {"DarkNoiseSD_Red", "DarkNoiseSD_Green"}) {
    const std::string text = m_Bench.FlashStringDef(key, "");
    const auto v = text.empty() ? std::nullopt : ParseNumber(text);
    if (!v || *v < 0)
      missing = true;
    else
      sd = std::max(sd, *v);
  }
  const unsigned long multiplier[2] = {m_Bench.FlashUnsignedDef("DarkNoiseMultiplier_Red", 0),
                                       m_Bench.FlashUnsignedDef("DarkNoiseMultiplier_Green", 0)};
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
  m_Bench.SetDarkSubtraction(static_cast<unsigned>(value[0]), static_cast<unsigned>(value[1]));
  LogDebug(5, "CScanner::SetDarkSubtraction Value returning %d (R) : %d (G)", static_cast<int>(value[0]),
           static_cast<int>(value[1]));
  redValue = value[0];
  greenValue = value[1];
}
