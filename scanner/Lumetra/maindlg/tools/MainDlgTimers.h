#pragma once
// The main window's five timers: the data port keep-alive (1), the one-shot first
// red-laser calibration (2) and the laser power-saving tasks DAILY-ON (3), DAILY-OFF (4)
// and NONUSE-OFF (5). No display needed: the window timers, the notice and the main
// window's state come through IScanDlgHooks (see ScanDlgHooks.h for the wiring).
//
// Threads: everything runs on the user-interface thread except the first red-laser
// calibration, whose worker only calls the instrument and posts its result back
// (PostToUiThread); the flags and the door are touched on the user-interface thread only.
#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "Movrak/IScanCtrl.h"
#include "config/LaserPowerSaver.h"
#include "maindlg/tools/LaserPowerControl.h"
#include "maindlg/tools/ScanDlgHooks.h"
#include "platform/com.h"
#include "platform/thread.h"

class CMainDlgTimers : public lumetra::ILaserPowerControl {
 public:
  enum TimerId : unsigned {
    kKeepAliveTimerId = 1,
    kRedLaserCalibTimerId = 2,
    kDailyOnTimerId = 3,
    kDailyOffTimerId = 4,
    kNonUseOffTimerId = 5,
  };
  static constexpr unsigned kKeepAlivePeriodMs = 300000;

  explicit CMainDlgTimers(lumetra::IScanDlgHooks& hooks);
  // Waits for a running calibration worker.
  ~CMainDlgTimers() override;
  CMainDlgTimers(const CMainDlgTimers&) = delete;
  CMainDlgTimers& operator=(const CMainDlgTimers&) = delete;

  // The main window's automation interface (a counted reference is kept; null drops it).
  void SetScanCtrl(IScanCtrl* scanCtrl);
  // m_LPSSettings: loaded by the main window at start-up, saved after the settings dialog.
  LaserPowerSaverSettings& LPSSettings() { return m_LPSSettings; }

  // Timer 1, every 300000 ms; not armed while offline. Returns whether it runs.
  bool StartKeepAliveTimer();
  // Timer 2, once after `elapseMs`; false when the system refused it.
  bool StartRedLaserCalibTimer(unsigned elapseMs);
  // Exit: stops every timer and waits for a running calibration worker.
  void StopAllTimers();

  // Stops a power-saving timer (3, 4 or 5) and, with bSet, arms it again (nElapseMs 0:
  // the delay from the settings).
  bool SetLPSTimer(unsigned nTimerId, bool bSet, unsigned nElapseMs);
  // Re-arms the power-saving timers from the settings (K7431B and K7431C only).
  void ResetLPSTasks(bool bKeepNonUse);
  // A tick of timer `nIDEvent`.
  void OnTimer(unsigned nIDEvent);

  // ILaserPowerControl
  bool IsOffline() const override { return m_Hooks.IsOffline(); }
  bool IsBusy() const override { return m_Hooks.IsBusy(); }
  bool IsDataPortNotReady() override;
  bool GetLaserPowerStatus(bool* pbOn) override;
  bool SetLaserPower(bool bOn) override;

  // False when offline, the data port is not ready or a Tools task runs; else true when
  // not busy, or busy only because a finished run's progress dialog is still open.
  bool IsSystemIdle();
  // Starts the first red-laser calibration worker (the caller has set the flag and the
  // state).
  void StartRedLaserCalibThread();
  // m_bRedLaserCalibrating.
  bool IsRedLaserCalibrating() const { return m_bRedLaserCalibrating; }

  // Stored timer ids, -1 when the timer is not running.
  int KeepAliveTimer() const { return m_nKeepAliveTimer; }
  int RedLaserCalibTimer() const { return m_nRedLaserCalibTimer; }
  int LPSTimer(unsigned nTimerId) const;  // 3, 4 or 5
  // Whether a laser-off notice is open now.
  bool AutoOffNoticeOpen() const { return m_pLaserAutoOffDlg != nullptr; }

  // The names of the power-saving timers ("DAILY-ON", ...); null for another id.
  static const char* LPSTimerName(unsigned nTimerId);
  // Minutes until the next `target` minute of the day from `nowMinutes` (a full day when
  // they are equal).
  static int MinutesUntil(int target, int nowMinutes);

 private:
  bool IsPowerSavingModel();
  void OnKeepAliveTimer();
  void OnRedLaserCalibTimer(unsigned nIDEvent);
  void OnLPSTimer(unsigned nIDEvent);
  // On the user-interface thread; `state` is the one read before the calibration.
  void OnRedLaserCalibDone(std::optional<tagScannerState> state, const std::string& errorText);
  int* StoredId(unsigned nTimerId);

  lumetra::IScanDlgHooks& m_Hooks;
  platform::com::ComPtr<IScanCtrl> m_pScanCtrl;
  LaserPowerSaverSettings m_LPSSettings;
  int m_nLPSTimer[3] = {-1, -1, -1};
  int m_nKeepAliveTimer = -1;
  int m_nRedLaserCalibTimer = -1;
  bool m_bRedLaserCalibrating = false;
  // The notice while its modal loop runs; cleared when it returns.
  std::unique_ptr<lumetra::IAutoOffNotice> m_pLaserAutoOffDlg;
  // Results the worker posts are dropped once this object is gone.
  std::shared_ptr<bool> m_Alive = std::make_shared<bool>(true);
  platform::Thread m_RedLaserCalibThread;
};
