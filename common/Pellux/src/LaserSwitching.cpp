// Switching the lasers to a wanted level, and measuring what each laser can deliver.
#include <algorithm>
#include <exception>

#include "Jotwell/Logger.h"
#include "Pellux/ScanDataPort.h"
#include "PortInternal.h"

using namespace pellux;

namespace {
constexpr double kWithinPercent = 5.0;
// The longest the green READY flag is waited for, whatever the caller asks.
constexpr unsigned kGreenReadyLimitMs = 121000;
}  // namespace

bool CScanDataPort::WaitGreenLaserReady(const char* who, PortCtrlStatus& status, unsigned int waitMs) {
  const unsigned limit = std::max(waitMs, kGreenReadyLimitMs);
  unsigned counted = 0;
  while (!status.IsLaserReadyGreen() || counted < waitMs) {
    if (counted >= limit) {
      LogDebug(1, "<DataPort::%s> Timed-out when waiting for the 'READY' flag", who);
      return false;
    }
    SleepMs(100);
    counted += 100;
    if (!GetCtrlStatus(&status)) return false;
  }
  SleepMs(60000);
  return GetCtrlStatus(&status);
}

// ---- green -----------------------------------------------------------------------------------

bool CScanDataPort::TurnOnGreenLaser(unsigned short setPoint, unsigned short /*desiredPD*/,
                                     unsigned int waitMs) {
  PortCtrlStatus status;
  if (GetCtrlStatus(&status))
    LogDebug(2, "<DataPort::TurnOnGreenLaser> Starting status: %s", status.GetStatusString(0).c_str());
  LogDebug(2, "<DataPort::TurnOnGreenLaser> Try to set green laser setting: SetPoint = %d", setPoint);
  if (!ChangeLaserSetPt(setPoint, false)) {
    LogDebug(1, "<DataPort::TurnOnGreenLaser> Failed to change the green laser's SetPoint");
    return false;
  }
  if (!GetCtrlStatus(&status)) return false;
  if (waitMs != 0 && !WaitGreenLaserReady("TurnOnGreenLaser", status, waitMs)) return false;
  LogDebug(2, "<DataPort::TurnOnGreenLaser> Exiting status : %s", status.GetStatusString(0).c_str());
  return true;
}

bool CScanDataPort::ChangeGreenLaserPower(unsigned short setPoint, unsigned short desiredPD,
                                          unsigned int waitMs) {
  PortCtrlStatus status;
  if (!GetCtrlStatus(&status)) return false;
  const auto pd = static_cast<unsigned short>(GetLaserPower(false));
  if (!IsMeasuredLaserPDDesired(pd, desiredPD, kWithinPercent) && !ChangeLaserSetPt(setPoint, false))
    return false;
  if (waitMs == 0) return true;
  if (!GetCtrlStatus(&status)) return false;
  return WaitGreenLaserReady("ChangeGreenLaserPower", status, waitMs);
}

bool CScanDataPort::TurnOffGreenLaser() {
  PortCtrlStatus status;
  if (!GetCtrlStatus(&status)) return false;  // nothing known about the laser: not off
  if (!status.IsLaserOnGreen() && !status.IsLaserPwrOn(false)) return true;
  if (status.IsLaserOnGreen()) {
    if (!SetLaserOnOff(false, false)) return false;
    SleepMs(1000);
  }
  if (status.IsLaserPwrOn(false) && !SwitchLaserPower(false, false, false)) return false;
  if (!GetCtrlStatus(&status)) return false;
  return !status.IsLaserOnGreen();
}

// ---- red -----------------------------------------------------------------------------------------

bool CScanDataPort::TurnOnRedLaser(unsigned short pdSetPoint, unsigned short desiredPD, unsigned int waitMs) {
  PortCtrlStatus status;
  if (!GetCtrlStatus(&status)) return false;
  LogDebug(2, "<DataPort::TurnOnRedLaser> Starting status: %s", status.GetStatusString(0).c_str());
  if (!status.IsLaserPwrOn(true) && !SwitchLaserPower(true, true, true)) return false;
  if (IsMeasuredLaserPDDesired(static_cast<unsigned short>(GetLaserPower(true)), desiredPD, kWithinPercent))
    return true;
  return ChangeRedLaserPower(pdSetPoint, desiredPD, waitMs);
}

bool CScanDataPort::TurnOnOffRedLaser(bool bOn) { return SendLaserPowerOnOffCmd(bOn, true); }

bool CScanDataPort::ChangeRedLaserPower(unsigned short pdSetPoint, unsigned short desiredPD,
                                        unsigned int longestWaitMs) {
  PortCtrlStatus status;
  if (!GetCtrlStatus(&status)) return false;
  if (!status.IsLaserPwrOn(true)) return false;
  auto within = [&] {
    return IsMeasuredLaserPDDesired(static_cast<unsigned short>(GetLaserPower(true)), desiredPD,
                                    kWithinPercent);
  };
  if (!within() && !SetHeNePhotodiode(pdSetPoint)) return false;
  bool ok = within();
  if (longestWaitMs == 0 || ok) return true;
  for (unsigned counted = 0; !ok && counted < longestWaitMs;) {
    SleepMs(100);
    counted += 100;
    ok = within();
  }
  return ok;
}

// ---- laser tests -----------------------------------------------------------------------------------

void CScanDataPort::PulseHWPMotor(bool bForward, unsigned short speed, int ms) {
  RunHeNeHWPMotor(bForward, static_cast<short>(speed));
  SleepMs(ms);
  RunHeNeHWPMotor(bForward, 0);
}

HWPhase CScanDataPort::TestHeNeHWPhase(unsigned short speed) {
  if (!IsRedLaserReadyToAdjust()) {
    const std::int64_t m = GetRedLaserLastOnMinutes();
    if (m < 0)
      LogDebug(1, "<DataPort::GetHeNeHWPhase> Failed to get Red laser last on time");
    else if (m == 0)
      LogDebug(1, "<DataPort::GetHeNeHWPhase> the Red laser is OFF");
    else
      LogDebug(1, "<DataPort::GetHeNeHWPhase> the Red laser is not ready for testing [LastOnTime = %ld min.]",
               static_cast<long>(m));
    return HWPhaseUnknown;
  }
  auto red = [this] { return static_cast<unsigned short>(GetLaserPower(true)); };
  const unsigned short start = red();
  PulseHWPMotor(true, speed, 2000);
  const unsigned short fwd = red();
  PulseHWPMotor(false, speed, 200);
  PulseHWPMotor(false, speed, 4000);
  const unsigned short back = red();
  PulseHWPMotor(true, speed, 200);
  for (int i = 0; i < 26; ++i) {
    PulseHWPMotor(true, speed, 100);
    const double now = red();
    if (now > 0.95 * start && now < 1.05 * start) break;
  }
  PulseHWPMotor(false, speed, 200);

  if (fwd > start && start > back) return HWPhaseForwardRaises;
  if (fwd < start && start < back) return HWPhaseForwardLowers;
  if (start > fwd && start > back) return HWPhaseNearMaximum;
  if (start < fwd && start < back) return HWPhaseNearMinimum;
  return HWPhaseUnknown;
}

LaserStatus CScanDataPort::TestLaserPowerPDMinMaxRed(int& minPD, int& maxPD, unsigned short speed) {
  if (!IsRedLaserReadyToAdjust()) {
    const std::int64_t m = GetRedLaserLastOnMinutes();
    if (m < 0) {
      LogDebug(1, "<DataPort::TestLaserPowerPDMinMaxRed> Failed to get Red laser last on time");
      return LaserStatusOnTimeUnknown;
    }
    if (m == 0) {
      LogDebug(1, "<DataPort::TestLaserPowerPDMinMaxRed> the Red laser is OFF");
      return LaserStatusOff;
    }
    LogDebug(1,
             "<DataPort::TestLaserPowerPDMinMaxRed> the Red laser is not ready for testing [LastOnTime = %ld "
             "min.]",
             static_cast<long>(m));
    return LaserStatusNotReadyToAdjust;
  }
  auto red = [this] { return static_cast<unsigned short>(GetLaserPower(true)); };
  minPD = 65535;
  maxPD = 0;
  const unsigned short start = red();
  TestHeNeHWPhase(150);
  for (int i = 0; i < 602; ++i) {
    PulseHWPMotor(true, speed, 200);
    const unsigned short pd = red();
    if (pd == 0) break;
    maxPD = std::max<int>(maxPD, pd);
    minPD = std::min<int>(minPD, pd);
  }
  PulseHWPMotor(false, speed, 200);
  const unsigned short cur = red();
  LogDebug(1, "<DataPort::TestLaserPowerPDMinMaxRed> MaxPD = %d, MinPD = %d, StartPD = %d, CurPD = %d", maxPD,
           minPD, start, cur);
  return LaserStatusDone;
}

unsigned short CScanDataPort::TestGreenLaserPowerBySetPt(unsigned short setPoint, int samples) {
  LogDebug(2, "<DataPort::TestGreenLaserPowerBySetPt> Try to set Green laser SetPoint to %d", setPoint);
  if (!ChangeLaserSetPt(setPoint, false)) throw static_cast<int>(LaserStatusSetPointFailed);
  PortCtrlStatus status;
  int waited = 0;
  for (;; ++waited) {
    if (!GetCtrlStatus(&status)) {
      LogDebug(1, "<DataPort::TestGreenLaserPowerBySetPt> Failed to get current control status");
      throw static_cast<int>(LaserStatusCtrlStatusFailed);
    }
    if (status.IsLaserReadyGreen()) break;
    SleepMs(1000);
    if (waited == 120) {
      LogDebug(1, "<DataPort::TestGreenLaserPowerBySetPt> Timed-out when waiting for the 'READY' flag");
      throw static_cast<int>(LaserStatusSetPointFailed);
    }
  }
  LogDebug(2, "<DataPort::TestGreenLaserPowerBySetPt> The laser power is 'READY' [timeWaited = %d sec]",
           waited);
  if (waited <= 60) SleepMs(20000);

  const int n = std::max(samples, 1);
  unsigned short lo = 65535, hi = 0, reading = 0;
  std::uint32_t sum = 0;
  for (int i = 0; i < n; ++i) {
    reading = static_cast<unsigned short>(GetLaserPower(false));
    lo = std::min(lo, reading);
    hi = std::max(hi, reading);
    sum += reading;
    if (n > 1) LogDebug(2, "<DataPort::TestGreenLaserPowerBySetPt> Current PD = %d, [try = %d]", reading, i);
  }
  if (n == 1) {
    LogDebug(1, "<DataPort::TestGreenLaserPowerBySetPt> Tested PD = %d", reading);
    return reading;
  }
  const auto average = static_cast<unsigned short>(sum / static_cast<std::uint32_t>(n));
  LogDebug(1, "<DataPort::TestGreenLaserPowerBySetPt> Tested average PD = %d [Range = %d ~ %d]", average, lo,
           hi);
  return average;
}

LaserStatus CScanDataPort::TestLaserPowerPDMinMaxGreen(int& minPD, int& maxPD, double pdPerSetPointFactor) {
  minPD = 65535;
  maxPD = 0;
  const auto start = static_cast<unsigned short>(GetLaserPower(false));
  LogDebug(1,
           "<DataPort::TestLaserPowerPDMinMaxGreen> Start testing, current PD = %d, [provided PD2SetPtFactor "
           "= %.2f",
           start, pdPerSetPointFactor);
  try {
    LogDebug(1, "<DataPort::TestLaserPowerPDMinMaxGreen> Try to set Green laser SetPoint to max level: %d",
             4094);
    maxPD = TestGreenLaserPowerBySetPt(4094, 10);
    LogDebug(1, "<DataPort::TestLaserPowerPDMinMaxGreen> Tested max Green laser power PD = %d", maxPD);
  } catch (int v) {
    LogDebug(1,
             "<DataPort::TestLaserPowerPDMinMaxGreen> Failed to test Green laser max power level: error = %d",
             v);
    return static_cast<LaserStatus>(v);
  } catch (...) {
    LogDebug(
        1,
        "<DataPort::TestLaserPowerPDMinMaxGreen> Failed to test Green laser max power level: Unknown error");
    return LaserStatusOnTimeUnknown;
  }
  try {
    minPD = TestGreenLaserPowerBySetPt(1, 10);
    LogDebug(1, "<DataPort::TestLaserPowerPDMinMaxGreen> Tested min Green laser power PD = %d", minPD);
  } catch (int v) {
    return static_cast<LaserStatus>(v);
  } catch (...) {
    return LaserStatusOnTimeUnknown;
  }
  if (pdPerSetPointFactor > 0) {
    // Clamped: a set point outside 12 bits would wrap to an arbitrary level.
    const double wanted = std::clamp(start / pdPerSetPointFactor, 0.0, 4095.0);
    const auto setPoint = static_cast<unsigned short>(wanted);
    try {
      LogDebug(1,
               "<DataPort::TestLaserPowerPDMinMaxGreen> Try to set Green laser SetPoint back to its original "
               "level: %d "
               "[using provided PD2SetPtFactor]",
               setPoint);
      const unsigned short pd = TestGreenLaserPowerBySetPt(setPoint, 10);
      LogDebug(1, "<DataPort::TestLaserPowerPDMinMaxGreen> Tested current Green laser power PD = %d", pd);
    } catch (int v) {
      LogDebug(1,
               "<DataPort::TestLaserPowerPDMinMaxGreen> Failed to set Green laser SetPoint back to its "
               "original level: "
               "error = %d",
               v);
      return static_cast<LaserStatus>(v);
    } catch (...) {
      LogDebug(1,
               "<DataPort::TestLaserPowerPDMinMaxGreen> Failed to set Green laser SetPoint back to its "
               "original level: "
               "Unknown error");
      return LaserStatusOnTimeUnknown;
    }
  }
  LogDebug(1, "<DataPort::TestLaserPowerPDMinMaxGreen> Exit testing, current PD = %d", GetLaserPower(false));
  return LaserStatusDone;
}
