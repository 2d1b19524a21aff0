// Everything the host tells the board apart from the data stream: lasers, shutters, PMT
// voltages over the SPI link, the red laser's photodiode and half-wave-plate motor,
// keep-alive, time-out, duplication, error counts and the control status.
#include <mutex>

#include "FrontPanelTable.h"
#include "Jotwell/Logger.h"
#include "Pellux/ScanDataPort.h"
#include "PortInternal.h"
#include "platform/ui.h"

using pellux::okApi;
using namespace pellux;

// ---- PortCtrlStatus --------------------------------------------------------------------

std::string PortCtrlStatus::GetStatusString(int verbose) const {
  auto yes = [](bool b) { return b ? "Yes" : "No"; };
  struct Row {
    const char* name;
    bool value;
  };
  const Row rows[] = {
      {"MasterAlive", IsMasterAlive()},
      {"PMTFault_R", IsPMTFault(true)},
      {"PMTFault_G", IsPMTFault(false)},
      {"LaserPwrOn_R", IsLaserPwrOn(true)},
      {"LaserPwrOn_G", IsLaserPwrOn(false)},
      {"LaserOn_G", IsLaserOnGreen()},
      {"LaserReady_G", IsLaserReadyGreen()},
      {"Shutter1On", IsShutter1On()},
      {"SPIBusy", IsSPIBusy()},
      {"MasterTimeout", IsMasterTimeout()},
      {"DuplicationDisabled", (dwStatus2 & kDuplicationDisabled) != 0},
      {"TimeoutDisabled", (dwStatus2 & kTimeoutDisabled) != 0},
      {"LaserOverCurrent_G", (dwStatus1 & kLaserOverCurrent_G) != 0},
      {"LaserOverTemp_G", (dwStatus1 & kLaserOverTemp_G) != 0},
      {"LaserHSOverTemp_G", (dwStatus1 & kLaserHSOverTemp_G) != 0},
  };
  const std::size_t shown = verbose ? std::size(rows) : 12;
  std::string text;
  for (std::size_t i = 0; i < shown; ++i) {
    if (i) text += ", ";
    text += rows[i].name;
    text += " = ";
    text += yes(rows[i].value);
  }
  return text;
}

// ---- primitives -----------------------------------------------------------------------------

bool CScanDataPort::SetOKTriggerIn(unsigned ep, unsigned char bit) {
  ok_ErrorCode rc = kOkUnsupportedFeature;
  {
    std::lock_guard guard(m_BoardGuard);
    if (okApi().okUsbFrontPanel_ActivateTriggerIn)
      rc = okApi().okUsbFrontPanel_ActivateTriggerIn(m_hBoard, static_cast<int>(ep), bit);
  }
  if (rc == 0) return true;
  LogError("Failed to set triggle point: address = %04x, point = %d, error code = %d", ep, bit, rc);
  return false;
}

bool CScanDataPort::SetOKWireIn(unsigned address, unsigned char bit) {
  if (bit >= 16) {
    platform::ui::messageBox(FormatText("Invalid point %d for config address: %04x", bit, address));
    return false;
  }
  const unsigned value = 1u << bit;
  const ok_ErrorCode rc = WriteWireIn(static_cast<int>(address), value, value);
  if (rc == 0) return true;
  platform::ui::messageBox(FormatText(
      "Failed to set config point: address = %04x, point = %d, error code = %d", address, bit, rc));
  return false;
}

// ---- status ---------------------------------------------------------------------------------

bool CScanDataPort::GetMiscFeedbackInfo(int& status1, int& status2) {
  if (!IsPortOpen()) return false;
  status1 = status2 = 0;
  std::lock_guard guard(m_BoardGuard);
  const auto& api = okApi();
  if (api.okUsbFrontPanel_UpdateWireOuts && api.okUsbFrontPanel_GetWireOutValue) {
    api.okUsbFrontPanel_UpdateWireOuts(m_hBoard);
    status1 = api.okUsbFrontPanel_GetWireOutValue(m_hBoard, kOutCtrlStatus1);
    status2 = api.okUsbFrontPanel_GetWireOutValue(m_hBoard, kOutCtrlStatus2);
  }
  return true;
}

bool CScanDataPort::GetCtrlStatus(PortCtrlStatus* status) {
  if (!status) return false;
  *status = PortCtrlStatus{};
  int s1 = 0, s2 = 0;
  if (!GetMiscFeedbackInfo(s1, s2)) {
    LogDebug(1, "<GetCtrlStatus>: Failed to get Keth control status");
    return false;
  }
  status->dwStatus1 = static_cast<std::uint32_t>(s1);
  status->dwStatus2 = static_cast<std::uint32_t>(s2);
  return true;
}

int CScanDataPort::GetSimpleErrCounts() {
  if (!IsPortOpen()) return -1;
  return ReadWireOut(kOutSimpleErrCounts);
}

bool CScanDataPort::ClearSimpleErrCounts() {
  const bool ok = SetOKTriggerIn(kTriggerDCM, 13);
  if (!ok) LogDebug(1, "<DataPort> Send ClearSimpleErrCounts command failed");
  return ok;
}

bool CScanDataPort::ClearMiscErrorFlags() {
  const bool ok = SetOKTriggerIn(kTriggerDCM, 6);
  LogDebug(2, "<DataPort> Send ClearMiscErrorFlags command %s", ok ? "succeeded" : "failed");
  return ok;
}

bool CScanDataPort::EnableMasterTimeout(bool bEnable) {
  const char* what = bEnable ? "enable" : "disable";
  if (WriteWireIn(kWireMode, bEnable ? 0 : 0x0200, 0x0200) != 0) {
    LogError("Failed to %s Keth Master Timeout control", what);
    return false;
  }
  LogDebug(1, "<DataPort::EnableMasterTimeout> Sent command to %s Keth Master Timeout control", what);
  return true;
}

bool CScanDataPort::EnableSimpleDuplication(bool bEnable) {
  const char* what = bEnable ? "enable" : "disable";
  if (WriteWireIn(kWireMode, bEnable ? 0 : 0x0100, 0x0100) != 0) {
    LogError("Failed to %s Keth Simple Duplication control", what);
    return false;
  }
  LogDebug(1, "<DataPort::EnableSimpleDuplication> Sent command to %s Keth Simple Duplication control", what);
  return true;
}

// ---- lasers -----------------------------------------------------------------------------------

bool CScanDataPort::SwitchLaserPower(bool bOn, bool bRed, bool recordRedOnTime) {
  const char* laser = bRed ? "Red" : "Green";
  const char* state = bOn ? "ON" : "OFF";
  LogDebug(1, "<DataPort::SendLaserPowerOnOffCmd> Try to turn %s laser power %s", laser, state);
  const unsigned char bit = bRed ? (bOn ? 8 : 9) : (bOn ? 0 : 1);
  if (!SetOKTriggerIn(kTriggerCtrl, bit)) {
    LogDebug(1, "<DataPort::SendLaserPowerOnOffCmd> Failed to turn %s the %s laser power", state, laser);
    return false;
  }
  SleepMs(100);
  if (bRed && recordRedOnTime) {
    m_tRedLaserOnTime = 0;
    PortCtrlStatus status;
    const bool read = GetCtrlStatus(&status);
    if (bOn || (read && status.IsLaserPwrOn(true))) m_tRedLaserOnTime = NowSeconds();
  }
  LogDebug(1, "<DataPort::SendLaserPowerOnOffCmd> %s laser power has been turned %s", laser, state);
  return true;
}

bool CScanDataPort::SendLaserPowerOnOffCmd(bool bOn, bool bRed) { return SwitchLaserPower(bOn, bRed, true); }

bool CScanDataPort::SetLaserOnOff(bool bOn, bool bRed) {
  LogDebug(1, "<DataPort::SetLaserOnOff> Try to turn %s laser %s", bRed ? "Red" : "Green",
           bOn ? "ON" : "OFF");
  if (bRed) return false;  // the red laser has no emission switch on the board
  if (WriteWireIn(kWireGreenLaser, bOn ? 0x8000 : 0, 0x8000) != 0) {
    LogDebug(1, "Failed to set the %s laser %s!", "Green", bOn ? "ON" : "OFF");
    return false;
  }
  return true;
}

bool CScanDataPort::SetLaserSetting(unsigned short setPoint, bool bRed) {
  if (bRed) return false;
  LogDebug(2, "<DataPort::SetLaserSetting> Laser = %s, SetPoint = %d", "Green", setPoint);
  const unsigned value = setPoint & 0x0FFFu;
  if (WriteWireIn(kWireGreenLaser, value, 0x0FFF) != 0) {
    LogError("Failed to set the Green laser to level %d", setPoint);
    return false;
  }
  SleepMs(100);
  // The set point is taken on the strobe's rising edge.
  if (WriteWireIn(kWireGreenLaser, 0, 0x4000) != 0) {
    LogError("Failed to set the Green laser to level %d", 0);
    return false;
  }
  SleepMs(5);
  if (WriteWireIn(kWireGreenLaser, 0x4000, 0x4000) != 0) {
    LogError("Failed to set the Green laser to level %d", 0x4000);
    return false;
  }
  return true;
}

bool CScanDataPort::ChangeLaserSetPt(unsigned short setPoint, bool bRed) {
  if (!SetLaserSetting(setPoint, bRed)) return false;
  PortCtrlStatus status;
  GetCtrlStatus(&status);
  if (!status.IsLaserPwrOn(false)) {
    if (!SwitchLaserPower(true, false, false)) return false;
    SleepMs(1000);
  }
  if (!status.IsLaserOnGreen() && !SetLaserOnOff(true, false)) return false;
  GetCtrlStatus(&status);
  LogDebug(2, "<DataPort::ChangeLaserSetPt> Control status after changing: %s",
           status.GetStatusString(0).c_str());
  return true;
}

int CScanDataPort::GetLaserPower(bool bRed) { return ReadWireOut(bRed ? kOutPDRed : kOutPDGreen); }

// ---- shutters -----------------------------------------------------------------------------------

bool CScanDataPort::SetShutterOpenClose(bool bOpen, bool bShutter1) {
  const unsigned char bit = bShutter1 ? (bOpen ? 11 : 10) : (bOpen ? 13 : 12);
  if (!SetOKTriggerIn(kTriggerCtrl, bit)) return false;
  SleepMs(500);
  return true;
}

// ---- PMT voltage and SPI ---------------------------------------------------------------------------

bool CScanDataPort::SetSPIWriteData(unsigned short data) {
  PortCtrlStatus status;
  if (!GetCtrlStatus(&status)) return false;
  // A busy link is waited for a while and then written regardless.
  for (int waits = 0; status.IsSPIBusy() && waits < 50; ++waits) {
    SleepMs(100);
    if (!GetCtrlStatus(&status)) return false;
  }
  if (!SetOKTriggerIn(kTriggerCtrl, 7)) {
    LogError("Failed to reset the SPI!");
    return false;
  }
  if (WriteWireIn(kWireSPIData, data, 0xFFFF) != 0) {
    LogError("Failed to write data %d into SPI!", data);
    return false;
  }
  return true;
}

bool CScanDataPort::SetPMTVoltage(unsigned short value, bool bRed, bool bNeedDisableShutdown) {
  if (bNeedDisableShutdown) LogDebug(2, "<SetPMTVoltage>: Need to disable shutdown");
  PortCtrlStatus status;
  if (GetCtrlStatus(&status))
    LogDebug(2, "<SetPMTVoltage>: Control status before SetSPIWriteData: %s",
             status.GetStatusString(0).c_str());
  if (!SetSPIWriteData(value)) return false;
  if (GetCtrlStatus(&status))
    LogDebug(2, "<SetPMTVoltage>: Control status after SetSPIWriteData: %s",
             status.GetStatusString(0).c_str());
  const bool ok = SetOKTriggerIn(kTriggerCtrl, bRed ? 2 : 3);
  if (GetCtrlStatus(&status))
    LogDebug(2, "<SetPMTVoltage>: Control status after sent trigger to write the data: %s",
             status.GetStatusString(0).c_str());
  return ok;
}

int CScanDataPort::GetPMTVoltage(bool bRed) { return ReadWireOut(bRed ? kOutPMTRed : kOutPMTGreen); }

bool CScanDataPort::SetHeNePhotodiode(unsigned short value) {
  return SetSPIWriteData(value) && SetOKTriggerIn(kTriggerCtrl, 4);
}

// ---- red laser half-wave-plate motor --------------------------------------------------------------

bool CScanDataPort::SetHeNeHWPMotorSpeed(unsigned short speed) {
  if (WriteWireIn(kWireHWPMotor, speed, 0x00FF) != 0) {
    LogDebug(1, "<DataPort> Failed to set the speed of red laser motor to %d", speed);
    return false;
  }
  return true;
}

bool CScanDataPort::SetHeNeHWPMotorDirection(bool bForward) {
  if (WriteWireIn(kWireHWPMotor, bForward ? 0x8000 : 0, 0x8000) != 0) {
    LogDebug(1, "<DataPort> Failed to set the direction of the red laser to %s",
             bForward ? "Forward" : "Backward");
    return false;
  }
  return true;
}

bool CScanDataPort::RunHeNeHWPMotor(bool bForward, short speed) {
  const char* dir = bForward ? "Forward" : "Backward";
  if (speed == 0)
    LogDebug(3, "<DataPort> command to stop the red laser motor");
  else if (speed < 0)
    LogDebug(3, "<DataPort> command to set the direction of the red laser motor to %s", dir);
  else
    LogDebug(3, "<DataPort> command to run the red laser motor [dir = %s, speed = %d]", dir, speed);
  if (!SetHeNeHWPMotorDirection(bForward)) return false;
  if (speed < 0) return true;
  return SetHeNeHWPMotorSpeed(static_cast<unsigned short>(speed));
}
