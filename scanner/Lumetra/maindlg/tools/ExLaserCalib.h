#pragma once
// The extended laser calibration of the Tools menu: measures both lasers' power range and
// recalibrates them. It takes minutes and cannot be cancelled; the calibration runs on a
// worker while the wait dialog (CExLaserCalibMsgDlg) keeps the window alive.
#include <functional>
#include <string>

#include "Movrak/IScanCtrl.h"
#include "maindlg/tools/ScanDlgHooks.h"

namespace lumetra {

// Error groups of CheckErrorCode that the red calibration looks at.
inline constexpr unsigned kRedLaserPowerFailsSpecGroup = 41;  // contact support: stop
inline constexpr unsigned kRedLaserPowerOutOfSpecGroup = 35;  // try once more
inline constexpr unsigned kCalibMissedTargetGroup = 47;       // try once more

// The calibration itself (on the worker thread): power tests when the registry asks for
// them, green, then red with one retry for the recoverable errors. Failures are logged.
void OnExLaserCalibrating(IScanCtrl* scanCtrl);

// The wait dialog's animated text after `ticks` seconds: restarts at "Please wait " every
// 20 ticks, else gains a dot.
std::string ExLaserCalibWaitText(unsigned ticks, const std::string& current);

// The menu command: asks, locks the door, runs the wait dialog (`runWaitDialog` returns
// when the calibration ended), re-applies the scanner state, unlocks the door. False when
// the user declined.
bool ExLaserCalibCommand(IScanDlgHooks& hooks, IScanCtrl* scanCtrl,
                         const std::function<void()>& runWaitDialog);

}  // namespace lumetra
