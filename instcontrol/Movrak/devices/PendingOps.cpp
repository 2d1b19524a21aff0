// STAND-IN, to be deleted at merge: simple versions of the autoloader and laser
// operations that the initialisation and the status thread call, so that they build and
// run on the simulators until the real ones arrive. They act on the simulated board and
// instrument the way the real ones roughly do, and nothing else relies on them.
#include <cmath>

#include "Jotwell/Logger.h"
#include "devices/DeviceErrors.h"
#include "devices/Scanner.h"

using namespace movrak;

namespace {
constexpr double kStandInSetPointMWatt = 13.0;

PortCtrlStatus ReadStatus(CScanDataPort& port) {
  if (!port.IsPortOpen()) throw kErrDataPortNotOpen;
  PortCtrlStatus status;
  if (!port.GetCtrlStatus(&status)) throw kErrDataPortUnknown;
  return status;
}
}  // namespace

void CScanner::EjectCarousel() {
  LogDebug(1, "EjectCarousel (stand-in)");
  m_pCarousel->Init(true);
}

int CScanner::GetGreenLaserSetPoint() {
  const auto setPoint =
      static_cast<unsigned short>(std::trunc(kStandInSetPointMWatt * m_dGreenSetPointPerMWatt));
  const auto pd = static_cast<unsigned short>(std::trunc(kStandInSetPointMWatt * m_dGreenPDPerMWatt));
  return m_DataPort.TurnOnGreenLaser(setPoint, pd, 0) ? 1 : 0;
}

int CScanner::GetRedLaserSetPoint() {
  const auto pd = static_cast<unsigned short>(std::trunc(kStandInSetPointMWatt * m_dRedPDPerMWatt));
  return m_DataPort.TurnOnRedLaser(16, pd, 0) ? 1 : 0;
}

double CScanner::GetLaserPower(bool bRed, bool bInMilliwatts) {
  const double pd = m_DataPort.GetLaserPower(bRed);
  const double factor = bRed ? m_dRedPDPerMWatt : m_dGreenPDPerMWatt;
  return bInMilliwatts && factor > 0 ? pd / factor : pd;
}

void CScanner::CheckLaserPowerOnOffStatus(bool& redPowerOn, bool& greenPowerOn, bool /*bLogStatus*/) {
  const PortCtrlStatus status = ReadStatus(m_DataPort);
  redPowerOn = status.IsLaserPwrOn(true);
  greenPowerOn = status.IsLaserPwrOn(false);
}

int CScanner::CheckLaserWarmingUpStatus(int& errorId, bool /*reserved*/, bool /*bLogLevels*/) {
  LogDebug(5, "Check Laser WarmingUp Status");
  errorId = 0;
  const PortCtrlStatus status = ReadStatus(m_DataPort);
  if (!status.IsLaserPwrOn(true)) {
    errorId = kErrRedLaserOff;
    return 0;
  }
  if (!status.IsLaserPwrOn(false)) {
    errorId = kErrGreenLaserPowerOff;
    return 0;
  }
  return status.IsLaserReadyGreen() ? 1 : 0;
}
