#pragma once
// What the main window's timers, the laser power-saving dialogs and the extended laser
// calibration need of the main window. The main window implements IScanDlgHooks; every
// call arrives on the user-interface thread.
//
// Wiring in the main window (CScanDlg):
//   - own one CMainDlgTimers (MainDlgTimers.h), constructed with the hooks, and hand it
//     the IScanCtrl pointer once created (SetScanCtrl) and null before releasing it;
//   - start-up: LoadLaserPowerSaverSettings(&timers.LPSSettings()), then after the data
//     port's keep-alive step StartKeepAliveTimer(); after Initialize
//     SetLPSTimer(3, true, 0) and SetLPSTimer(4, true, 0);
//   - first Ready after an initialisation: StartRedLaserCalibTimer(wait in ms);
//   - control refresh: SetLPSTimer(5, ScanButtonEnabled, 0) when online with power saving
//     enabled and a model other than K7431A;
//   - each wx timer tick: OnTimer(id); WM_TIMECHANGE: ResetLPSTasks(true); saved
//     settings: ResetLPSTasks(false); exit: StopAllTimers() before Disconnect;
//   - a state report with kStateReady while IsRedLaserCalibrating() keeps the door locked.
#include <functional>
#include <memory>
#include <string>

#include "Movrak/IScanCtrl.h"

namespace lumetra {

// The laser-off notice as the timers see it (CLaserAutoOffMsgDlg implements it).
class IAutoOffNotice {
 public:
  virtual ~IAutoOffNotice() = default;
  // Set while the notice is shown.
  virtual bool Showing() const = 0;
  virtual void ClearShowing() = 0;
  // Runs the notice modally; IDOK (1) when the user closed it, else what CloseNotice gave.
  virtual int RunNotice() = 0;
  // Ends the running notice with `result` (called from inside its modal loop).
  virtual void CloseNotice(int result) = 0;
};

// The run progress dialog as far as the timers care.
enum class RunDlgState {
  none,  // no run progress dialog exists
  idle,  // one exists and its run has ended (its busy flag is clear)
  busy,  // one exists and its run goes on
};

class IScanDlgHooks {
 public:
  virtual ~IScanDlgHooks() = default;

  // ---- the main window's state ---------------------------------------------------------
  virtual bool IsOffline() const = 0;      // m_bOffline
  virtual bool IsBusy() const = 0;         // m_bBusy
  virtual bool IsTaskRunning() const = 0;  // m_bTaskRunning: a modal Tools task runs
  virtual RunDlgState RunProgressState() const = 0;
  // GetScannerType(bSkipWhenBusy): 0 K7431A, 1 K7431B, 2 K7431C, 3 not recognised.
  virtual int GetScannerType(bool bSkipWhenBusy) = 0;

  // ---- what the main window does for them ------------------------------------------------
  // OnScannerStateMsg(bForce, state).
  virtual void OnScannerStateMsg(int bForce, tagScannerState state) = 0;
  // Replaces the status text.
  virtual void SetStatusText(const std::string& text) = 0;
  // CheckDoorClosed(bUnlock): locks (false) or unlocks (true) the door and refreshes the
  // controls.
  virtual bool CheckDoorClosed(bool bUnlock) = 0;
  // m_bExLaserCalib (the Scan button is left alone while it is set).
  virtual void SetExLaserCalib(bool on) = 0;
  // A message box of the main window (brought to the front first).
  virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;

  // ---- window timers: start (or restart) timer `id`; stop it. False when refused. -------
  virtual bool SetTimer(unsigned id, unsigned elapseMs) = 0;
  virtual bool KillTimer(unsigned id) = 0;

  // Runs `f` on the user-interface thread later (wx: CallAfter on the main window). Any
  // thread may call it.
  virtual void PostToUiThread(std::function<void()> f) = 0;

  // A new laser-off notice with `text`, parented to the run progress dialog if one
  // exists, else to the laser settings dialog if it is open, else to the main window.
  virtual std::unique_ptr<IAutoOffNotice> CreateAutoOffNotice(const std::string& text) = 0;
};

}  // namespace lumetra
