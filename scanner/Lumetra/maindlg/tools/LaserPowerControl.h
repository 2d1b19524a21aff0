#pragma once
// Switching the lasers, as the laser power-saving dialogs use it; CMainDlgTimers
// implements it for the main window.
namespace lumetra {

class ILaserPowerControl {
 public:
  virtual ~ILaserPowerControl() = default;
  virtual bool IsOffline() const = 0;
  virtual bool IsBusy() const = 0;
  // True unless the scan-data port is open and configured (an error counts as not ready).
  virtual bool IsDataPortNotReady() = 0;
  // False when the state cannot be read; else *pbOn = red and green both on.
  virtual bool GetLaserPowerStatus(bool* pbOn) = 0;
  // False when the state cannot be read or the switch failed; true when the lasers are
  // (now) in the asked state.
  virtual bool SetLaserPower(bool bOn) = 0;
};

}  // namespace lumetra
