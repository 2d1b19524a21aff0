#include "maindlg/tools/ExLaserCalib.h"

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "platform/ui.h"
#include "run/ComError.h"

namespace lumetra {

using platform::com::ComError;
using run::CheckScanCtrl;
using run::FormatComError;

namespace {

// The red calibration's failure decides: stop, or try once more.
bool InGroup(IScanCtrl* scanCtrl, int errorId, unsigned group) {
  IScanCtrl::BOOL32 match = 0;
  CheckScanCtrl(scanCtrl->CheckErrorCode(errorId, group, &match));
  return match != 0;
}

void TestPower(IScanCtrl* scanCtrl, bool red) {
  double minimum = 0, maximum = 0;
  CheckScanCtrl(scanCtrl->TestLaserPowerMinMax(red ? 1 : 0, &minimum, &maximum));
  LogInfo("Tested %s laser power: minimum = %.2f, maximum = %.2f", red ? "Red" : "Green", minimum, maximum);
}

void Calibrate(IScanCtrl* scanCtrl, bool red) {
  IScanCtrl::BOOL32 done = 0;
  CheckScanCtrl(scanCtrl->CalibrateLaser(red ? 1 : 0, &done));
}

}  // namespace

void OnExLaserCalibrating(IScanCtrl* scanCtrl) {
  if (!scanCtrl) return;
  CLogger::OnFunctionBegin(CLogger::EXTENDED_LASER_CALIBRATION);
  try {
    CRegEdit reg(HKEY_LOCAL_MACHINE, zeva::kScannerKey);
    const bool testPower = reg.ReadInt("ExLaserCalibTestPowerMinMax", 1) != 0;

    if (testPower) TestPower(scanCtrl, false);
    try {
      Calibrate(scanCtrl, false);
    } catch (const ComError& e) {
      LogError("<OnExLaserCalibrating> Failed to calibrate the Green laser: %s", FormatComError(e).c_str());
    }

    if (testPower) TestPower(scanCtrl, true);
    try {
      Calibrate(scanCtrl, true);
    } catch (const ComError& e) {
      const int errorId = static_cast<int>(static_cast<std::uint32_t>(e.Error()) & 0xFFFF);
      if (InGroup(scanCtrl, errorId, kRedLaserPowerFailsSpecGroup)) throw;
      if (!InGroup(scanCtrl, errorId, kRedLaserPowerOutOfSpecGroup) &&
          !InGroup(scanCtrl, errorId, kCalibMissedTargetGroup))
        throw;
      try {
        Calibrate(scanCtrl, true);
      } catch (const ComError& again) {
        LogError("<OnExLaserCalibrating> Failed to calibrate the Red laser: %s",
                 FormatComError(again).c_str());
      }
    }
  } catch (const ComError& e) {
    LogError("Extended Laser Calibration failed: %s", FormatComError(e).c_str());
  }
  CLogger::OnFunctionEnd(CLogger::EXTENDED_LASER_CALIBRATION);
}

std::string ExLaserCalibWaitText(unsigned ticks, const std::string& current) {
  return ticks % 20 == 0 ? std::string("Please wait ") : current + ".";
}

bool ExLaserCalibCommand(IScanDlgHooks& hooks, IScanCtrl* scanCtrl,
                         const std::function<void()>& runWaitDialog) {
  const int answer = hooks.MessageBox(
      "This feature is intended for service personel.  It will take over 5 minutes to complete\n and cannot "
      "be "
      "canceled once started.  Do you want to continue?",
      "Warning", platform::ui::MB_YESNO | platform::ui::MB_ICONWARNING);
  if (answer != platform::ui::IDYES) return false;
  hooks.CheckDoorClosed(false);
  hooks.SetExLaserCalib(true);
  if (runWaitDialog) runWaitDialog();
  if (scanCtrl) {
    try {
      tagScannerState state = kStateError;
      CheckScanCtrl(scanCtrl->get_ScannerState(&state));
      hooks.OnScannerStateMsg(1, state);
    } catch (const ComError& e) {
      LogError("%s", FormatComError(e).c_str());
    }
  }
  hooks.SetExLaserCalib(false);
  hooks.CheckDoorClosed(true);
  return true;
}

}  // namespace lumetra
