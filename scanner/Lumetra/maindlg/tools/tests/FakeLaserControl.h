#pragma once
// A scriptable laser switch for the laser power-saving dialogs.
#include <string>
#include <vector>

#include "maindlg/tools/LaserPowerControl.h"

namespace tools_test {

class FakeLaserControl : public lumetra::ILaserPowerControl {
 public:
  bool offline = false, busy = false, portNotReady = false, statusFails = false, switchFails = false;
  bool on = true;
  std::vector<bool> switched;  // every SetLaserPower request

  bool IsOffline() const override { return offline; }
  bool IsBusy() const override { return busy; }
  bool IsDataPortNotReady() override { return portNotReady; }
  bool GetLaserPowerStatus(bool* pbOn) override {
    if (statusFails || portNotReady) return false;
    *pbOn = on;
    return true;
  }
  bool SetLaserPower(bool bOn) override {
    switched.push_back(bOn);
    if (switchFails || statusFails) return false;
    on = bOn;
    return true;
  }
};

}  // namespace tools_test
