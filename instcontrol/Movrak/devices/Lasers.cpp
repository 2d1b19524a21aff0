#include "devices/Lasers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Pellux/ScanDataPort.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Flash.h"
#include "link/MessageTable.h"
#include "platform/clock.h"

using namespace movrak;

namespace {

constexpr double kDefaultSetPointMWatt = 13.0;
constexpr double kDefaultPDGain = 16;
constexpr double kDefaultMotorSpeed = 150;
constexpr double kDeratedShare = 0.8;
constexpr unsigned short kCalibWaitSec = 120;
constexpr unsigned kDefaultRedRangePct = 10;
constexpr unsigned kDefaultGreenStableSec = 30;
constexpr double kDefaultErraticWatchLevel = 1.0;
constexpr int kStabilitySamples = 10;
constexpr auto kSampleGap = std::chrono::milliseconds(500);
constexpr auto kGainSettle = std::chrono::milliseconds(1000);
constexpr int kGainStep = 10;

// The warm-up values of the process: the registry levels (0 = not read yet), the time the
// green READY bit was first seen (seconds, 0 = not seen), the last red power and the
// erratic-drop watch level. The status thread and automation calls both use them.
std::atomic<unsigned> g_redWarmUpRangePct{0};
std::atomic<unsigned> g_greenReadyStableSec{0};
std::atomic<std::int64_t> g_greenFirstReadySec{0};
std::atomic<double> g_lastRedPower{0};
std::atomic<double> g_erraticWatchLevel{kDefaultErraticWatchLevel};

const char* LaserName(bool red) { return red ? "Red" : "Green"; }

std::string ErrorText(int id) {
  std::string text;
  return LoadMessageString(id, text) ? text : FormatText("Unknown error: %d", id);
}

// A FLASH text as a number: nullopt unless it is a whole finite number.
std::optional<double> ParseNumber(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double v = std::strtod(begin, &end);
  if (end == begin || !std::isfinite(v)) return std::nullopt;
  while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') ++end;
  if (*end != '\0') return std::nullopt;
  return v;
}

// A count of 16 bits from a product: truncated, never wrapped (a negative or undefined
// product gives 0, one beyond the range 65535).
std::uint16_t ToCount16(double v) {
  if (!(v > 0)) return 0;
  if (v >= 65535.0) return 65535;
  return static_cast<std::uint16_t>(v);
}

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(platform::systemNow().time_since_epoch()).count();
}

// A registry level of this process: read once; a value that reads as 0 (or is missing)
// becomes the default, which is written back.
unsigned ReadWarmUpLevel(const char* name, unsigned def) {
  CRegEdit reg(HKEY_LOCAL_MACHINE, zeva::kScannerKey);
  unsigned v = reg.ReadUInt(name, 0u);
  if (v == 0) {
    v = def;
    reg.WriteInt(name, v);
  }
  return v;
}

struct PowerSamples {
  double average = 0, minimum = 30.0, maximum = 0;
};

}  // namespace

// ---- factors and conversions ---------------------------------------------------------------

double CLasers::LaserFlashValue(const char* key, double def) {
  std::string text;
  try {
    text = m_Flash.GetString(key);
  } catch (int e) {
    if (e != kErrNoSuchFlashKey) throw;
    LogInfo("No FLASH value for %s, using default value of %f", key, def);
    return def;
  }
  const auto v = ParseNumber(text);
  if (!v) {
    LogWarning("Invalid FLASH value for %s (%s), using default value of %f", key, text.c_str(), def);
    return def;
  }
  return *v;
}

void CLasers::LoadLaserPowerFactors() {
  struct Factor {
    const char* key;
    double fallback;
    std::atomic<double>* target;
  };
  const Factor factors[] = {{"LaserMWattToSetPointCt_G", 174.5, &m_dGreenSetPointPerMWatt},
                            {"LaserPDCtToMWatt_G", 2228.6, &m_dGreenPDPerMWatt},
                            {"LaserPDCtToMWatt_R", 2920.0, &m_dRedPDPerMWatt}};
  for (const Factor& f : factors) {
    double v = LaserFlashValue(f.key, f.fallback);
    // Powers are divided by these: a factor that is not positive would make every
    // conversion meaningless.
    if (!(v > 0)) {
      LogWarning("Invalid FLASH value for %s (%f), using default value of %f", f.key, v, f.fallback);
      v = f.fallback;
    }
    *f.target = v;
  }
}

void CLasers::EnsureLaserPowerFactors() {
  if (!(m_dGreenSetPointPerMWatt > 0) || !(m_dGreenPDPerMWatt > 0) || !(m_dRedPDPerMWatt > 0))
    LoadLaserPowerFactors();
}

double CLasers::LaserPDFactor(bool bRed) {
  EnsureLaserPowerFactors();
  return bRed ? m_dRedPDPerMWatt : m_dGreenPDPerMWatt;
}

double CLasers::GetLaserPower(bool bRed, bool bInMilliwatts) {
  const auto count = static_cast<std::uint16_t>(m_DataPort.GetLaserPower(bRed));
  return bInMilliwatts ? PDToLaserPower(bRed, count) : count;
}

std::uint16_t CLasers::LaserPowerToPD(bool bRed, double milliwatts) {
  return ToCount16(milliwatts * LaserPDFactor(bRed));
}

double CLasers::PDToLaserPower(bool bRed, std::uint16_t count) { return count / LaserPDFactor(bRed); }

// ---- set points and switching ---------------------------------------------------------------------

int CLasers::GetGreenLaserSetPoint() {
  EnsureLaserPowerFactors();
  const double setPoint = LaserFlashValue("LaserSetPointMWatt_G", kDefaultSetPointMWatt);
  return m_DataPort.TurnOnGreenLaser(ToCount16(setPoint * m_dGreenSetPointPerMWatt),
                                     ToCount16(setPoint * m_dGreenPDPerMWatt), 0)
             ? 1
             : 0;
}

int CLasers::GetRedLaserSetPoint() {
  EnsureLaserPowerFactors();
  const double gain = LaserFlashValue("LaserPDGainSetPoint_R", kDefaultPDGain);
  const double setPoint = LaserFlashValue("LaserSetPointMWatt_R", kDefaultSetPointMWatt);
  return m_DataPort.TurnOnRedLaser(ToCount16(gain), ToCount16(setPoint * m_dRedPDPerMWatt), 0) ? 1 : 0;
}

int CLasers::ChangeLaserSetPoint(bool bRed, double level, bool bInMilliwatts) {
  if (bRed) {
    LogError("Try to set RED laser's setpoint: Not supported yet!");
    return 0;
  }
  if (bInMilliwatts) EnsureLaserPowerFactors();
  const double factor = bInMilliwatts ? m_dGreenSetPointPerMWatt.load() : 1.0;
  return m_DataPort.ChangeLaserSetPt(ToCount16(level * factor), false) ? 1 : 0;
}

int CLasers::SetOnOffLaserPowers(bool bPowerOn) {
  bool any = false;
  if (bPowerOn) {
    const int green = GetGreenLaserSetPoint();
    const int red = GetRedLaserSetPoint();
    any = green != 0 || red != 0;
  } else {
    const bool red = m_DataPort.SendLaserPowerOnOffCmd(false, true);
    const bool green = m_DataPort.SendLaserPowerOnOffCmd(false, false);
    any = red || green;
  }
  if (!any) return 0;
  const tagScannerState state = bPowerOn ? kStateWarming : kStateLasersOff;
  m_Host.SetScannerState(state);
  m_Host.SetStatusMsgId(m_nStatusMsgBase + static_cast<unsigned>(state));
  return 1;
}

int CLasers::GetPortCtrlStatus(bool bRed) {
  if (!m_DataPort.IsPortOpen()) throw kErrDataPortNotConnected;
  PortCtrlStatus status;
  if (!m_DataPort.GetCtrlStatus(&status)) throw kErrDataPortUnknown;
  return status.IsLaserPwrOn(bRed) ? 1 : 0;
}

void CLasers::CheckLaserPowerOnOffStatus(bool& redPowerOn, bool& greenPowerOn, bool bLogStatus) {
  if (!m_DataPort.IsPortOpen()) throw kErrDataPortNotConnected;
  PortCtrlStatus status;
  if (!m_DataPort.GetCtrlStatus(&status)) throw kErrDataPortUnknown;
  redPowerOn = status.IsLaserPwrOn(true);
  greenPowerOn = status.IsLaserPwrOn(false);
  if ((!redPowerOn || !greenPowerOn) && bLogStatus)
    LogDebug(1, "<CheckLaserPowerOnOffStatus> current Keth ctrl status: %s",
             status.GetStatusString(0).c_str());
}

// ---- warm-up ------------------------------------------------------------------------------------------

void CLasers::ResetLaserWarmUpValues() {
  g_redWarmUpRangePct = 0;
  g_greenReadyStableSec = 0;
  g_greenFirstReadySec = 0;
  g_lastRedPower = 0;
  g_erraticWatchLevel = kDefaultErraticWatchLevel;
}

void CLasers::OnEnterWarming() {
  CRegEdit reg(HKEY_LOCAL_MACHINE, zeva::kScannerKey);
  double level = reg.ReadDouble("RLaserWarmingUpErraticWatchLevel", 0.0);
  if (level == 0 || !std::isfinite(level)) {
    level = kDefaultErraticWatchLevel;
    reg.WriteDouble("RLaserWarmingUpErraticWatchLevel", level);
  }
  g_erraticWatchLevel = level;
  LogDebug(1, "<InitTrunOnRedLaser> Current Red Laser WarmingUp Erratic Watch Level = %.2f", level);
  g_lastRedPower = 0;
}

namespace {

PowerSamples SamplePower(CLasers& lasers, bool red) {
  PowerSamples s;
  double sum = 0;
  for (int i = 0; i < kStabilitySamples; ++i) {
    platform::sleepFor(kSampleGap);
    const double p = lasers.GetLaserPower(red, true);
    sum += p;
    s.minimum = std::min(s.minimum, p);
    s.maximum = std::max(s.maximum, p);
  }
  s.average = sum / kStabilitySamples;
  return s;
}

}  // namespace

void CLasers::TestRedPDGains() {
  int gain = static_cast<int>(kDefaultPDGain);
  bool moved = false;  // the photodiode is away from its gain
  try {
    gain = std::clamp(static_cast<int>(LaserFlashValue("LaserPDGainSetPoint_R", kDefaultPDGain)), 0,
                      65535 - kGainStep);
    const PowerSamples s = SamplePower(*this, true);
    LogInfo(
        "Detected Red laser is ready. Stablilty measuring: Average power = %.2f mWatts [PD = %d], Range = "
        "%.2f "
        "~ %.2f mWatts",
        s.average, static_cast<int>(LaserPowerToPD(true, s.average)), s.minimum, s.maximum);

    const auto setGain = [&](int value, const char* failure) {
      moved = true;
      if (!m_DataPort.SetHeNePhotodiode(static_cast<unsigned short>(value))) {
        LogError(failure, value);
        throw kErrDataPortCommand;
      }
      platform::sleepFor(kGainSettle);
      return static_cast<std::uint16_t>(m_DataPort.GetLaserPower(true));
    };
    std::uint16_t pd =
        setGain(gain + kGainStep, "<LaserWarmingUpStatus> Failed to set Red photodiode value to %d");
    LogDebug(1,
             "<LaserWarmingUpStatus> Tested Red laser power at PDGain+10:  Power = %.2f mWatts [PD = %d], at "
             "PDGain = %d ",
             PDToLaserPower(true, pd), static_cast<int>(pd), gain + kGainStep);
    const int lower = gain <= kGainStep ? 1 : gain - kGainStep;
    pd = setGain(lower, "<LaserWarmingUpStatus> Failed to set Red photodiode value to %d");
    LogDebug(1,
             "<LaserWarmingUpStatus> Tested Red laser power at PDGain-10: Power = %.2f mWatts [PD = %d], at "
             "PDGain = %d",
             PDToLaserPower(true, pd), static_cast<int>(pd), lower);
    pd = setGain(gain, "<LaserWarmingUpStatus> Failed to set Red photodiode value back to %d");
    moved = false;
    LogDebug(1,
             "<LaserWarmingUpStatus> Set Red photodiode back to original PDGain: Power = %.2f mWatts [PD = "
             "%d], at "
             "PDGain = %d",
             PDToLaserPower(true, pd), static_cast<int>(pd), gain);
  } catch (int e) {
    // The red power is read through this photodiode: never leave it at a test gain.
    if (moved && !m_DataPort.SetHeNePhotodiode(static_cast<unsigned short>(gain)))
      LogError("<LaserWarmingUpStatus> Failed to set Red photodiode value back to %d", gain);
    LogDebug(
        1,
        "<LaserWarmingUpStatus> Failed to test Red laser power level at different PDGain level: error = %d",
        e);
  }
}

void CLasers::CheckGreenLaserFaults(const PortCtrlStatus& status) {
  struct Fault {
    std::atomic<bool>& memory;
    std::uint32_t bit;
    int id;
    const char* reset;
    bool resetIsInfo;
  };
  Fault faults[] = {
      {m_bGreenHSOverTemp, PortCtrlStatus::kLaserHSOverTemp_G, kErrGreenHSOverTemp,
       "<LaserWarmingUpStatus> Green laser heat sink OverTemperature flag got reset", true},
      {m_bGreenOverTemp, PortCtrlStatus::kLaserOverTemp_G, kErrGreenOverTemp,
       "<LaserWarmingUpStatus> Green laser OverTemperature flag got reset", false},
      {m_bGreenOverCurrent, PortCtrlStatus::kLaserOverCurrent_G, kErrGreenOverCurrent,
       "<LaserWarmingUpStatus> Green laser OverCurrent flag got reset", false},
  };
  for (Fault& f : faults) {
    const bool set = (status.dwStatus1 & f.bit) != 0;
    if (set && !f.memory.exchange(true)) {
      LogWarning("<LaserWarmingUpStatus> %s", ErrorText(f.id).c_str());
    } else if (!set && f.memory.exchange(false)) {
      if (f.resetIsInfo)
        LogInfo("%s", f.reset);
      else
        LogWarning("%s", f.reset);
    }
  }
}

void CLasers::LaserWarmingUpStatus(bool& redReady, bool& greenReady, bool reserved, bool bLogLevels) {
  LogDebug(5, "Check Laser WarmingUp Status");
  if (!m_DataPort.IsPortOpen()) throw kErrDataPortNotConnected;
  PortCtrlStatus status;
  const auto readStatus = [&] {
    if (!m_DataPort.GetCtrlStatus(&status)) throw kErrDataPortUnknown;
  };
  readStatus();

  const auto greenOn = [&] {
    if (!m_DataPort.SetLaserOnOff(true, false)) {
      LogError("<LaserWarmingUpStatus> Failed to turn on Green laser");
      throw kErrGreenLaserOff;
    }
  };
  if (!status.IsLaserPwrOn(false)) {
    LogWarning("<LaserWarmingUpStatus> Green laser power is off, trying to turn the power on and wait...");
    if (!m_DataPort.SendLaserPowerOnOffCmd(true, false)) {
      LogError("<LaserWarmingUpStatus> Failed to turn on Green laser power");
      throw kErrGreenPowerOff;
    }
    greenOn();
    readStatus();
  } else if (!status.IsLaserOnGreen()) {
    LogWarning("<LaserWarmingUpStatus> Green laser is off, trying to turn it on and wait...");
    greenOn();
    readStatus();
  }
  if (!status.IsLaserPwrOn(true)) {
    LogWarning("<LaserWarmingUpStatus> Red laser power is off, trying to turn the power on and wait...");
    if (!m_DataPort.SendLaserPowerOnOffCmd(true, true)) {
      LogError("<LaserWarmingUpStatus> Failed to turn on Red laser power");
      throw kErrRedLaserOff;
    }
    readStatus();
  }

  redReady = greenReady = false;
  bool compensation = false;
  const double redTarget = GetLaserCalibrationTargets(true, compensation, reserved);

  if (g_redWarmUpRangePct == 0 || g_greenReadyStableSec == 0) {
    g_redWarmUpRangePct = ReadWarmUpLevel("RLaserWarmingUpTargetLevel", kDefaultRedRangePct);
    g_greenReadyStableSec = ReadWarmUpLevel("GLaserWarmingUpTargetLevel", kDefaultGreenStableSec);
    LogDebug(1, "<LaserWarmingUpStatus> Get red laser warming up target delta range = %d percent",
             static_cast<int>(g_redWarmUpRangePct.load()));
    LogDebug(1, "<LaserWarmingUpStatus> Get green laser warming up target READY stable time = %d",
             static_cast<int>(g_greenReadyStableSec.load()));
  }

  // Green: ready once its READY bit has stayed set for the stable time.
  const std::int64_t now = NowSeconds();
  const std::int64_t firstSeen = g_greenFirstReadySec;
  const std::int64_t elapsed = firstSeen != 0 ? now - firstSeen : 0;
  if (!status.IsLaserReadyGreen()) {
    // A bit that drops, even within its first second, starts the wait again.
    if (firstSeen != 0) g_greenFirstReadySec = 0;
    if (elapsed > 0)
      LogDebug(
          1,
          "<LaserWarmingUpStatus> Green laser READY flag got reset after %ld seconds - need a re-start the "
          "stability waiting",
          static_cast<long>(elapsed));
  } else if (firstSeen == 0) {
    g_greenFirstReadySec = now;
    LogDebug(1, "<LaserWarmingUpStatus> Green laser got its first READY flag set - start stability waiting");
  } else {
    greenReady = elapsed >= static_cast<std::int64_t>(g_greenReadyStableSec.load());
  }

  const auto greenPD = static_cast<std::uint16_t>(m_DataPort.GetLaserPower(false));
  const double greenPower = PDToLaserPower(false, greenPD);
  LogDebug(2, "<LaserWarmingUpStatus> Current Green laser power level = %2.f mWatts [PD = %d]", greenPower,
           static_cast<int>(greenPD));
  if (bLogLevels || greenReady)
    LogInfo("Current Green laser power level = %2.f mWatts [PD = %d]", greenPower, static_cast<int>(greenPD));
  if (greenReady) {
    const PowerSamples s = SamplePower(*this, false);
    LogInfo(
        "Detected Green laser is ready. Stablilty measuring: Average power = %.2f mWatts [PD = %d], Range = "
        "%.2f ~ %.2f mWatts",
        s.average, static_cast<int>(LaserPowerToPD(false, s.average)), s.minimum, s.maximum);
  }

  // Red: ready within its warm-up range of the target, or once calibrated to it.
  double redPower = GetLaserPower(true, true);
  const double offset = CheckLaserPowerInRange(redPower, redTarget, g_redWarmUpRangePct);
  LogDebug(2, "<LaserWarmingUpStatus> Current red laser power level = %.2f, offset to target range = %.2f",
           redPower, offset);
  if (bLogLevels)
    LogInfo("Current Red laser power level = %.2f, offset to target range = %.2f", redPower, offset);
  const double lastPower = g_lastRedPower;
  if (lastPower > 0 && lastPower - redPower >= g_erraticWatchLevel)
    LogDebug(1,
             "<LaserWarmingUpStatus> Detected an erratic drop on Red laser power level [current check = "
             "%.2f, last "
             "check = %.2f]",
             redPower, lastPower);
  g_lastRedPower = redPower;

  if (offset == 0) {
    redReady = true;
    LogDebug(1, "<LaserWarmingUpStatus> Red laser is ready");
  } else if (m_DataPort.IsRedLaserReadyToAdjust()) {
    try {
      redReady = CheckLaserPowerSpec(true) != 0;
    } catch (int) {
      m_bRedLaserDid1stCalibration = true;
      throw;
    }
    m_bRedLaserDid1stCalibration = true;
    if (redReady) redPower = GetLaserPower(true, true);
  }
  if (redReady) TestRedPDGains();

  CheckGreenLaserFaults(status);
}

int CLasers::CheckLaserWarmingUpStatus(int& errorId, bool reserved, bool bLogLevels) {
  bool redReady = false, greenReady = false;
  try {
    LaserWarmingUpStatus(redReady, greenReady, reserved, bLogLevels);
  } catch (int e) {
    if (e == kErrGreenPowerOff || e == kErrRedLaserOff) {
      LogWarning("<CheckLaserWarmingUpStatus> Detected that %s laser's power is off",
                 e == kErrRedLaserOff ? "Red" : "Green");
    } else if (e >= kErrRedSpecFailed && e <= kErrRedAboveSpec) {
      LogError(
          "<CheckLaserWarmingUpStatus> Detected that red laser couldn't reach the minimum power level to "
          "scan.");
    } else if (e >= kErrGreenSpecFailed && e <= kErrGreenAboveSpec) {
      LogError(
          "<CheckLaserWarmingUpStatus> Detected that green laser couldn't reach the minimum power level to "
          "scan");
    } else if (e == kErrGreenUnstable) {
      LogError("<CheckLaserWarmingUpStatus> Detected that green laser power is unstable.");
    } else if (e == kErrRedUnstable) {
      LogError("<CheckLaserWarmingUpStatus> Detected that red laser power is unstable.");
    } else {
      if (e == kErrGreenLaserOff) LogWarning("<CheckLaserWarmingUpStatus> Detected that Green laser is off");
      throw;
    }
    errorId = e;
    return 0;
  }
  errorId = 0;
  if (redReady && greenReady) return 1;
  if (greenReady)
    LogInfo("Green laser is ready, Red laser is still warming.");
  else if (redReady)
    LogInfo("Red laser is ready, Green laser is still warming.");
  return 0;
}

// ---- calibration ---------------------------------------------------------------------------------------

double CLasers::GetLaserCalibrationTargets(bool bRed, bool& compensationRequired, bool bReload) {
  const std::size_t i = bRed ? 1 : 0;
  {
    std::lock_guard lock(m_LaserTargetsLock);
    if (!bReload && m_dLaserTarget[i] > 0.1) {
      compensationRequired = m_bLaserCompensation[i];
      return m_dLaserTarget[i];
    }
  }
  // The store is read without the cache's lock: its commands wait for the command mutex.
  const char* key = bRed ? "LaserSetPointMWatt_R" : "LaserSetPointMWatt_G";
  double target = kDefaultSetPointMWatt;
  try {
    const std::string text = m_Flash.GetString(key);
    const auto v = ParseNumber(text);
    if (v && *v > 0)
      target = *v;
    else
      LogWarning("Invalid FLASH value for %s (%s), using default value of %f", key, text.c_str(), target);
  } catch (int e) {
    if (e == kErrNoSuchFlashKey)
      LogInfo("No FLASH value for %s, using default value of %f", key, target);
    else
      LogWarning("Failed to get FLASH value for %s: %s, using default value of %f", key, ErrorText(e).c_str(),
                 target);
  }
  const std::string flag =
      m_Flash.GetStringDef(bRed ? "LaserCompensationRequired_R" : "LaserCompensationRequired_G", "0");
  const bool required = std::strtoul(flag.c_str(), nullptr, 0) != 0;
  if (required) {
    LogWarning(
        "The %s Laser Calibration Warning flag has been set on this Instrument.  The target power will be "
        "derated.",
        LaserName(bRed));
    target *= kDeratedShare;
  }
  std::lock_guard lock(m_LaserTargetsLock);
  m_dLaserTarget[i] = target;
  m_bLaserCompensation[i] = required;
  compensationRequired = required;
  return target;
}

LaserStatus CLasers::CalibrateLaser(bool bRed, double desiredPower, double deltaPercent, int minStableTimeSec,
                                    int retries) {
  LogInfo("----- Starting Laser Power Calibration: laser = %s, desired power = %.2f mW -----",
          LaserName(bRed), desiredPower);
  const auto logPower = [&] {
    try {
      LogInfo("<CalibrateLaser> Current %s laser power = %.2f mW", LaserName(bRed),
              GetLaserPower(bRed, true));
    } catch (int e) {
      LogError("<CalibrateLaser> Failed to get the current laser power level: %s", ErrorText(e).c_str());
    }
  };
  logPower();

  EnsureLaserPowerFactors();
  if (!(desiredPower > 0))
    desiredPower =
        LaserFlashValue(bRed ? "LaserSetPointMWatt_R" : "LaserSetPointMWatt_G", kDefaultSetPointMWatt);
  const double factor = bRed ? m_dRedPDPerMWatt.load() : m_dGreenPDPerMWatt.load();
  const std::uint16_t target = ToCount16(desiredPower * factor);
  const std::uint16_t delta = ToCount16(target * deltaPercent / 100.0);
  LogDebug(1, "<CalibrateLaser> laser = %s, target level = %.2f mW, delta = %.2f", bRed ? "red" : "green",
           desiredPower, deltaPercent);
  const auto stable = static_cast<unsigned short>(std::clamp(minStableTimeSec, 0, 65535));
  const auto tries = static_cast<unsigned short>(std::clamp(retries, 0, 65535));

  LaserStatus result;
  if (bRed) {
    const std::uint16_t gain = ToCount16(LaserFlashValue("LaserPDGainSetPoint_R", kDefaultPDGain));
    const std::uint16_t speed = ToCount16(LaserFlashValue("RedLaserMotorSpeedMax", kDefaultMotorSpeed));
    CLogger::OnFunctionBegin(CLogger::RED_LASER_CALIBRATION);
    result = m_DataPort.CalibrateRedLaser(gain, target, delta, factor, speed, kCalibWaitSec, stable, tries);
    CLogger::OnFunctionEnd(CLogger::RED_LASER_CALIBRATION);
  } else {
    const std::uint16_t setPoint = ToCount16(desiredPower * m_dGreenSetPointPerMWatt);
    CLogger::OnFunctionBegin(CLogger::GREEN_LASER_CALIBRATION);
    result = m_DataPort.CalibrateGreenLaser(setPoint, target, delta, kCalibWaitSec, stable, tries);
    CLogger::OnFunctionEnd(CLogger::GREEN_LASER_CALIBRATION);
  }

  if (result == LaserStatusDone)
    LogInfo("<CalibrateLaser> Calibrating done");
  else
    LogInfo("<CalibrateLaser> Calibrating failed [calibErrCode = %d]", static_cast<int>(result));
  logPower();
  LogInfo("--------------------Laser Power Calibration Complete-------------------");
  return result;
}

int CLasers::LaserStatusError(bool bRed, int result) {
  switch (result) {
    case LaserStatusPowerOnFailed:
      return bRed ? kErrRedLaserOff : kErrGreenPowerOff;
    case LaserStatusLaserOnFailed:
      return kErrGreenLaserOff;
    case LaserStatusCtrlStatusFailed:
    case LaserStatusSetPointFailed:
      return kErrDataPortCommand;
    case LaserStatusUnstable:
      return bRed ? kErrRedUnstable : kErrGreenUnstable;
    default:
      return kErrUnknown;
  }
}

int CLasers::CalibrateToSpec(bool bRed, bool& compensationRequired) {
  const double target = GetLaserCalibrationTargets(bRed, compensationRequired, true);
  const int result = CalibrateLaser(bRed, target, 10.0, 20, 2);
  if (result == LaserStatusDone) return 1;
  if (result == LaserStatusTimeout || result == LaserStatusPDTimeout || result == LaserStatusPDTooHigh)
    return 0;
  throw LaserStatusError(bRed, result);
}

int CLasers::CheckLaserPowerSpec(bool bRed) {
  bool compensation = false;
  const double target = GetLaserCalibrationTargets(bRed, compensation, true);
  const int result = CalibrateLaser(bRed, target, 10.0, 20, 2);
  if (result == LaserStatusDone) return 1;
  const bool outOfSpec =
      result == LaserStatusTimeout || result == LaserStatusPDTimeout || result == LaserStatusPDTooHigh;
  if (!outOfSpec) throw LaserStatusError(bRed, result);

  if (!compensation) {
    LogWarning(
        "%s laser power is %s specification, setting Laser Calibration Warning Flag in Instrument FLASH",
        LaserName(bRed),
        result == LaserStatusPDTooHigh   ? "above"
        : result == LaserStatusPDTimeout ? "below"
                                         : "out of");
    m_Flash.SetUnsigned(bRed ? "LaserCompensationRequired_R" : "LaserCompensationRequired_G", 1);
    m_Flash.Burn();
    // One more calibration, at the derated target; whatever the flag then reads back,
    // a second miss is final.
    bool derated = false;
    if (CalibrateToSpec(bRed, derated) != 0) return 1;
  }
  LogError("<CalibrateLaser> %s laser power calibrating failed in the compensation mode", LaserName(bRed));
  const int error = bRed ? kErrRedSpecFailed : kErrGreenSpecFailed;
  m_Host.SetScannerState(kStateError);
  m_Host.SetErrorId(error);
  throw error;
}

// ---- min/max test -------------------------------------------------------------------------------------

void CLasers::TestLaserPowerMinMax(bool bRed, double& minMilliwatts, double& maxMilliwatts) {
  LogInfo("-------------- %s Laser Power Min/Max Test Starting-------------", LaserName(bRed));
  int held = 0;
  try {
    if (!m_DataPort.IsPortOpen()) {
      LogDebug(1, "<CScanner::TestLaserPowerMinMax> Port is not open!");
      throw kErrDataPortNotConnected;
    }
    const double before = GetLaserPower(bRed, true);
    int minPD = 0, maxPD = 0;
    LaserStatus result;
    if (bRed) {
      const std::uint16_t speed = ToCount16(LaserFlashValue("RedLaserMotorSpeedMax", kDefaultMotorSpeed));
      result = m_DataPort.TestLaserPowerPDMinMaxRed(minPD, maxPD, speed);
    } else {
      EnsureLaserPowerFactors();
      const double perSetPoint = m_dGreenSetPointPerMWatt;
      const double ratio = perSetPoint != 0 ? m_dGreenPDPerMWatt / perSetPoint : 0.0;
      result = m_DataPort.TestLaserPowerPDMinMaxGreen(minPD, maxPD, ratio);
    }
    if (result != LaserStatusDone) {
      LogDebug(1, "<CScanner::TestLaserPowerMinMax> Failed the test: LaserStatus error = %d",
               static_cast<int>(result));
      if (result >= LaserStatusCtrlStatusFailed && result <= LaserStatusSetPointFailed)
        throw kErrDataPortCommand;
      if (result == LaserStatusOff) throw kErrGreenLaserOff;
      throw kErrUnknown;
    }
    const double factor = LaserPDFactor(bRed);
    minMilliwatts = minPD / factor;
    maxMilliwatts = maxPD / factor;
    const double after = GetLaserPower(bRed, true);
    LogDebug(
        1,
        "<CScanner::TestLaserPowerMinMax> %s laser: mWattsMin = %.2f, mWattsMax = %.2f [powerBefore = %.2f, "
        "powerAfter = %.2f",
        LaserName(bRed), minMilliwatts, maxMilliwatts, before, after);
  } catch (int e) {
    held = e;
  } catch (...) {
    LogError("TestLaserPowerMinMax - caught an exception");
    held = kErrUnknown;
  }
  LogInfo("-------------- %s Laser Power Min/Max Test Complete-------------", LaserName(bRed));
  if (held != 0) throw held;
}
