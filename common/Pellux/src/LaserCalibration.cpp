// Bringing a laser to a desired photodiode level, the range tests, and the red laser's
// warm-up bookkeeping (it may only be adjusted after it has been on for a while).
#include <cmath>

#include "Jotwell/Logger.h"
#include "Pellux/ScanDataPort.h"
#include "PortInternal.h"

using namespace pellux;

// ---- range tests ---------------------------------------------------------------------------

double CheckLaserPowerInRange(double measured, double target, double percent) {
  if (percent == 0) return measured - target;
  const double band = target * percent / 100.0;
  if (measured < target - band) return measured - (target - band);
  if (measured > target + band) return measured - (target + band);
  return 0;
}

int CheckLaserPowerPDInRange(unsigned short measured, unsigned short target, unsigned short percent) {
  return static_cast<int>(CheckLaserPowerInRange(measured, target, percent));
}

bool IsMeasuredLaserPDDesired(unsigned short measured, unsigned short desired, double tolerancePercent) {
  if (tolerancePercent <= 0) return measured >= desired;
  const double deviation =
      desired == 0 ? 0.0 : std::fabs(static_cast<double>(measured) - desired) / desired * 100.0;
  return deviation <= tolerancePercent;
}

// ---- red-laser readiness -----------------------------------------------------------------------

std::int64_t CScanDataPort::GetRedLaserLastOnMinutes() {
  const std::int64_t onTime = m_tRedLaserOnTime;
  if (onTime == 0) return 0;
  PortCtrlStatus status;
  if (!GetCtrlStatus(&status)) return -1;
  if (!status.IsLaserPwrOn(true)) {
    LogDebug(1,
             "<GetRedLaserLastOnMinutes> Recorded the Red laser has been turned ON already, but the current "
             "Control "
             "Status shows OFF");
    return -1;
  }
  return (NowSeconds() - onTime) / 60;
}

int CScanDataPort::GetLaserPowerReadyToAdjustWaitTimeLeftRed() {
  const std::int64_t minutes = GetRedLaserLastOnMinutes();
  if (minutes < 1) return -1;
  const std::int64_t left = m_nRedLaserMinOnMinutes - minutes;
  return left > 0 ? static_cast<int>(left) : 0;
}

bool CScanDataPort::IsRedLaserReadyToAdjust() {
  const std::int64_t minutes = GetRedLaserLastOnMinutes();
  return minutes >= 1 && minutes >= m_nRedLaserMinOnMinutes;
}

// ---- green calibration ---------------------------------------------------------------------------

namespace {
// 100 x delta / desired, rounded to nearest (ties to even) after adding 0.5; 0 for a desired 0.
int TolerancePercent(unsigned short delta, unsigned short desiredPD) {
  if (desiredPD == 0) return 0;
  return static_cast<int>(std::nearbyint(100.0 * delta / desiredPD + 0.5));
}
}  // namespace

LaserStatus CScanDataPort::CalibrateGreenLaser(unsigned short setPoint, unsigned short desiredPD,
                                               unsigned short delta, unsigned short calibWaitTime,
                                               unsigned short stableTime, unsigned short checkStability) {
  const int percent = TolerancePercent(delta, desiredPD);
  LogDebug(2,
           "<DataPort::CalibrateLaser_Green> SetPt = %d, desiredPD = %d, delta = %d [%d percent], "
           "calibWaitTime = %d "
           "sec, stableTime = %d sec.",
           setPoint, desiredPD, delta, percent, calibWaitTime, stableTime);
  PortCtrlStatus status;
  GetCtrlStatus(&status);
  LogDebug(2, "<DataPort::CalibrateLaser_Green> Control status before calibrating: %s",
           status.GetStatusString(0).c_str());

  if (!status.IsLaserPwrOn(false)) {
    LogWarning("<DataPort::CalibrateLaser_Green> The laser POWER is OFF befor the calibration starts");
    if (!SwitchLaserPower(true, false, false)) {
      LogError("<DataPort::CalibrateLaser_Green> Falied to turn on the laser POWER");
      return LaserStatusPowerOnFailed;
    }
    SleepMs(1000);
    if (!GetCtrlStatus(&status)) return LaserStatusCtrlStatusFailed;
    if (!status.IsLaserPwrOn(false)) {
      LogError("<DataPort::CalibrateLaser_Green> the laser POWER couldn't be turned ON");
      return LaserStatusPowerOnFailed;
    }
    LogInfo("<DataPort::CalibrateLaser_Green> the laser POWER has been turned on now");
  } else if (!status.IsLaserOnGreen()) {
    LogWarning("<DataPort::CalibrateLaser_Green> The laser is OFF befor the calibration starts");
  }

  if (!status.IsLaserOnGreen()) {
    if (!SetLaserOnOff(true, false)) {
      LogError("<DataPort::CalibrateLaser_Green> Falied to turn on the laser");
      return LaserStatusLaserOnFailed;
    }
    if (!GetCtrlStatus(&status)) return LaserStatusCtrlStatusFailed;
    if (!status.IsLaserOnGreen()) {
      LogError("<DataPort::CalibrateLaser_Green> the laser couldn't be turned ON");
      return LaserStatusLaserOnFailed;
    }
    LogInfo("<DataPort::CalibrateLaser_Green> the laser has been turned on now");
  }

  auto readPD = [this] { return static_cast<unsigned short>(GetLaserPower(false)); };
  if (CheckLaserPowerInRange(readPD(), desiredPD, percent) == 0) {
    LogDebug(2, "<DataPort::CalibrateLaser_Green> Current laser power level is fine, calibrating skipped");
    return LaserStatusDone;
  }
  if (!ChangeLaserSetPt(setPoint, false)) {
    LogDebug(1, "<DataPort::CalibrateLaser_Green> Failed to change the laser's SetPoint");
    return LaserStatusSetPointFailed;
  }

  int seconds = 0;
  for (;;) {
    if (!GetCtrlStatus(&status)) return LaserStatusCtrlStatusFailed;
    if (status.IsLaserReadyGreen()) break;
    SleepMs(1000);
    if (++seconds > calibWaitTime) {
      LogDebug(1, "<DataPort::CalibrateLaser_Green> Timed-out when waiting for the 'READY' flag");
      return LaserStatusTimeout;
    }
  }
  LogDebug(2, "<DataPort::CalibrateLaser_Green> The laser power is 'READY'");
  if (calibWaitTime - seconds > 59) {
    SleepMs(20000);
    seconds += 20;
  }

  int overCount = 0;
  bool inRange = false;
  while (seconds <= calibWaitTime) {
    const unsigned short pd = readPD();
    const double off = CheckLaserPowerInRange(pd, desiredPD, percent);
    if (off == 0) {
      inRange = true;
      break;
    }
    if (off > 0) {
      LogDebug(2, "<DataPort::CalibrateLaser_Green> The current power level is over the range: PD count = %d",
               pd);
      if (++overCount > 10) {
        LogDebug(1, "<DataPort::CalibrateLaser_Green> The current power level is too high");
        return LaserStatusPDTooHigh;
      }
    }
    SleepMs(1000);
    ++seconds;
  }
  if (!inRange) {
    LogDebug(1,
             "<DataPort::CalibrateLaser_Green> Timed-out when waiting for the measured power meets the "
             "desired level");
    return LaserStatusPDTimeout;
  }

  if (checkStability && stableTime > 0) {
    int inRangeCount = 0;
    for (int s = 0; s < stableTime; ++s) {
      const unsigned short pd = readPD();
      if (CheckLaserPowerInRange(pd, desiredPD, percent) != 0) {
        LogDebug(2,
                 "<DataPort::CalibrateLaser_Green> Check power stability: current level is out of the "
                 "desired range [PD "
                 "count = %d]",
                 pd);
        break;
      }
      ++inRangeCount;
      SleepMs(1000);
    }
    LogDebug(2, "<DataPort::CalibrateLaser_Green> Checked the stability: Retry = %d, nInRange = %d", 1,
             inRangeCount);
  }
  GetCtrlStatus(&status);
  LogDebug(2, "<DataPort::CalibrateLaser_Green> Control status after calibrating: %s",
           status.GetStatusString(0).c_str());
  return LaserStatusDone;
}

// ---- red calibration -------------------------------------------------------------------------------

LaserStatus CScanDataPort::CalibrateRedLaser(unsigned short pdGainSetPoint, unsigned short desiredPD,
                                             unsigned short delta, double pdCountsPerMilliwatt,
                                             unsigned short speed, unsigned short calibWaitTime,
                                             unsigned short stableTime, unsigned short /*unused*/) {
  LogDebug(
      2,
      "<DataPort::CalibrateLaser_Red> PDGainSetPt = %d, desiredPD = %d, delta = %d [%d percent], speed = %d, "
      "stableTime = %d sec, calibWaitTime = %d sec.",
      pdGainSetPoint, desiredPD, delta, TolerancePercent(delta, desiredPD), speed, stableTime, calibWaitTime);
  PortCtrlStatus status;
  GetCtrlStatus(&status);
  LogDebug(2, "<DataPort::CalibrateLaser_Red> Control status before calibrating: %s",
           status.GetStatusString(0).c_str());
  // Powers are PD counts divided by this factor.
  if (!(pdCountsPerMilliwatt > 0)) {
    LogError("<DataPort::CalibrateLaser_Red> Invalid PD counts per mWatt factor: %.2f", pdCountsPerMilliwatt);
    return LaserStatusTimeout;
  }

  if (!status.IsLaserPwrOn(true)) {
    LogWarning("<DataPort::CalibrateLaser_Red> The laser power is OFF befor the calibration starts");
    if (!SwitchLaserPower(true, true, true)) {
      LogError("<DataPort::CalibrateLaser_Red> Falied to turn on the laser POWER");
      return LaserStatusPowerOnFailed;
    }
    SleepMs(1000);
    if (!GetCtrlStatus(&status)) {
      LogError("<DataPort::CalibrateLaser_Red> Failed to get laser's control status");
      return LaserStatusCtrlStatusFailed;
    }
    if (!status.IsLaserPwrOn(true)) {
      LogError("<DataPort::CalibrateLaser_Red> the laser POWER couldn't be turned ON");
      return LaserStatusPowerOnFailed;
    }
    LogInfo("<DataPort::CalibrateLaser_Red> the laser POWER has been turned on now");
  }

  long elapsedMs = 0;
  auto power = [&] { return static_cast<unsigned short>(GetLaserPower(true)) / pdCountsPerMilliwatt; };
  double current = power();
  auto pulse = [&](bool forward) {
    RunHeNeHWPMotor(forward, static_cast<short>(speed));
    SleepMs(200);
    RunHeNeHWPMotor(forward, 0);
    const unsigned short pd = static_cast<unsigned short>(GetLaserPower(true));
    current = pd / pdCountsPerMilliwatt;
    LogDebug(3, "<DataPort::CalibrateLaser_Red> current power level = %.2f [PD count = %d]", current, pd);
    elapsedMs += 200;
  };
  auto close = [&](double aim) { return aim != 0 && std::fabs(current - aim) / aim * 100.0 <= 1.0; };
  // Pulses one way until the power is close to the aim or has reached it; false when the
  // elapsed time passes the limit first. Then one pulse back.
  auto approach = [&](double aim, bool forward, long limitMs) {
    bool ok = true;
    for (;;) {
      if (close(aim) || (forward ? current >= aim : current <= aim)) break;
      if (elapsedMs > limitMs) {
        ok = false;
        break;
      }
      pulse(forward);
    }
    pulse(!forward);
    return ok;
  };

  const double target = desiredPD / pdCountsPerMilliwatt;
  const long calibLimitMs = static_cast<long>(calibWaitTime) * 1000;
  const bool forward = current < target;
  LogDebug(2, "<DataPort::CalibrateLaser_Red> Try to set power level close to desired %.2f mWatts", target);
  bool ok = approach(target, forward, calibLimitMs);
  LogDebug(
      2,
      "<DataPort::CalibrateLaser_Red> %s to set power level close to desired: current = %.2f, motor running "
      "direction = %s, total time = %ld ms",
      ok ? "OK" : "Failed", current, forward ? "forward" : "backward", elapsedMs);
  if (ok) {
    LogDebug(2,
             "<DataPort::CalibrateLaser_Red> Test if the motor is in the middle postion for the desired "
             "power level");
    ok = approach(target - 1.0, false, 120000);
    LogDebug(2,
             "<DataPort::CalibrateLaser_Red> %s to set power level down 1 mWatt: target = %.2f, current = "
             "%.2f, motor "
             "running direction = %s, total time = %ld ms",
             ok ? "OK" : "Failed", target - 1.0, current, "backward", elapsedMs);
  }
  if (ok) {
    ok = approach(target + 1.0, true, calibLimitMs);
    LogDebug(2,
             "<DataPort::CalibrateLaser_Red> %s to set power level up 1 mWatt: target = %.2f, current = "
             "%.2f, motor "
             "running direction = %s, total time = %ld ms",
             ok ? "OK" : "Failed", target + 1.0, current, "forward", elapsedMs);
  }
  if (ok) {
    ok = approach(target, false, 120000);
    LogDebug(2,
             "<DataPort::CalibrateLaser_Red> %s to set power level back to desired mWatts: target = %.2f, "
             "current = "
             "%.2f, motor running direction = %s, total time = %ld ms",
             ok ? "OK" : "Failed", target, current, "backward", elapsedMs);
  }
  if (!ok) return LaserStatusTimeout;
  LogDebug(1, "<DataPort::CalibrateLaser_Red> Done : current = %.2f", current);
  GetCtrlStatus(&status);
  LogDebug(2, "<DataPort::CalibrateLaser_Red> Control status after calibrating: %s",
           status.GetStatusString(0).c_str());
  return LaserStatusDone;
}
