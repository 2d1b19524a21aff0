#include "maindlg/tools/MainDlgTimers.h"

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "config/ConfigUi.h"
#include "platform/clock.h"
#include "platform/ui.h"
#include "run/ComError.h"

using lumetra::RunDlgState;
using lumetra::run::CheckScanCtrl;
using lumetra::run::FormatComError;
using platform::com::ComError;

namespace {

constexpr unsigned kMsPerMinute = 60000;

}  // namespace

CMainDlgTimers::CMainDlgTimers(lumetra::IScanDlgHooks& hooks) : m_Hooks(hooks) {}

CMainDlgTimers::~CMainDlgTimers() {
  // A result still on its way finds nobody to report to.
  m_Alive.reset();
  (void)m_RedLaserCalibThread.join();  // never on its own thread: the join cannot fail
}

void CMainDlgTimers::SetScanCtrl(IScanCtrl* scanCtrl) {
  if (scanCtrl) scanCtrl->AddRef();
  m_pScanCtrl = platform::com::ComPtr<IScanCtrl>(scanCtrl);
}

const char* CMainDlgTimers::LPSTimerName(unsigned nTimerId) {
  switch (nTimerId) {
    case kDailyOnTimerId:
      return "DAILY-ON";
    case kDailyOffTimerId:
      return "DAILY-OFF";
    case kNonUseOffTimerId:
      return "NONUSE-OFF";
    default:
      return nullptr;
  }
}

int CMainDlgTimers::MinutesUntil(int target, int nowMinutes) {
  int minutes = target - nowMinutes + 1440;
  if (minutes != 1440) minutes %= 1440;
  return minutes;
}

int* CMainDlgTimers::StoredId(unsigned nTimerId) {
  if (nTimerId < kDailyOnTimerId || nTimerId > kNonUseOffTimerId) return nullptr;
  return &m_nLPSTimer[nTimerId - kDailyOnTimerId];
}

int CMainDlgTimers::LPSTimer(unsigned nTimerId) const {
  if (nTimerId < kDailyOnTimerId || nTimerId > kNonUseOffTimerId) return -1;
  return m_nLPSTimer[nTimerId - kDailyOnTimerId];
}

bool CMainDlgTimers::IsPowerSavingModel() {
  const int type = m_Hooks.GetScannerType(true);
  return type == 1 || type == 2;
}

bool CMainDlgTimers::StartKeepAliveTimer() {
  // Offline there is no data port master to keep alive.
  if (m_Hooks.IsOffline()) return false;
  if (!m_Hooks.SetTimer(kKeepAliveTimerId, kKeepAlivePeriodMs)) {
    LogError("Failed to set the keep-alive timer of the Data Port.");
    m_nKeepAliveTimer = -1;
    return false;
  }
  m_nKeepAliveTimer = kKeepAliveTimerId;
  return true;
}

bool CMainDlgTimers::StartRedLaserCalibTimer(unsigned elapseMs) {
  if (!m_Hooks.SetTimer(kRedLaserCalibTimerId, elapseMs)) {
    LogError("Failed to set the 1st-time Red laser power calibration timer.");
    m_nRedLaserCalibTimer = -1;
    return false;
  }
  m_nRedLaserCalibTimer = kRedLaserCalibTimerId;
  return true;
}

void CMainDlgTimers::StopAllTimers() {
  for (int* id :
       {&m_nKeepAliveTimer, &m_nRedLaserCalibTimer, &m_nLPSTimer[0], &m_nLPSTimer[1], &m_nLPSTimer[2]}) {
    if (*id > 0) m_Hooks.KillTimer(static_cast<unsigned>(*id));
    *id = -1;
  }
  (void)m_RedLaserCalibThread.join();  // never on its own thread: the join cannot fail
}

bool CMainDlgTimers::SetLPSTimer(unsigned nTimerId, bool bSet, unsigned nElapseMs) {
  const char* name = LPSTimerName(nTimerId);
  const auto fail = [this](const std::string& text) {
    LogError("SetLPSTimer(): %s", text.c_str());
    m_Hooks.MessageBox(text, lumetra::kMessageCaption, platform::ui::MB_OK | platform::ui::MB_ICONERROR);
    return false;
  };
  if (!name) return fail(FormatText("Found an invalid LPS timer ID (%d).", static_cast<int>(nTimerId)));
  int* stored = StoredId(nTimerId);
  if (*stored >= static_cast<int>(kDailyOnTimerId)) {
    const int id = *stored;
    if (!m_Hooks.KillTimer(static_cast<unsigned>(id)))
      return fail(FormatText("Failed to stop the %s laser power saving timer.", name));
    *stored = -1;
    LogInfo("SetLPSTimer(): the %s laser power saving timer has been stopped [TimerID = %d]", name, id);
  }
  if (!bSet) return true;
  if (!m_LPSSettings.EnableSaverAutoTasks || !IsPowerSavingModel()) return false;

  int minutes = 0;
  unsigned elapse = nElapseMs;
  if (nElapseMs == 0) {
    if (nTimerId == kNonUseOffTimerId) {
      minutes = m_LPSSettings.MaxNonUsePeriod;
    } else {
      const std::tm now = platform::localTime();
      const int target =
          nTimerId == kDailyOnTimerId ? m_LPSSettings.DailyTurnOnAt : m_LPSSettings.DailyTurnOffAt;
      minutes = MinutesUntil(target, now.tm_hour * 60 + now.tm_min);
    }
    elapse = static_cast<unsigned>(minutes) * kMsPerMinute;
  }

  switch (nTimerId) {
    case kDailyOnTimerId:
      if (!m_LPSSettings.AutoDailyOnOption) return true;
      break;
    case kDailyOffTimerId:
      if (!m_LPSSettings.EnableDailyOff) return true;
      break;
    default: {
      if (!m_LPSSettings.EnableMaxNonUsePeriod || !m_LPSSettings.MaxNonUsePeriod) return true;
      tagScannerState state = kStateError;
      try {
        if (!m_pScanCtrl) throw ComError(platform::com::E_POINTER, "No scanner interface.");
        CheckScanCtrl(m_pScanCtrl->get_ScannerState(&state));
      } catch (const ComError& e) {
        LogError("%s", FormatComError(e).c_str());
        state = kStateError;
      }
      if (state != kStateReady) {
        LogInfo("SetLPSTimer (NONUSE-OFF timer): the scanner is not ready yet, skip to set the timer.");
        return true;
      }
    }
  }

  if (!m_Hooks.SetTimer(nTimerId, elapse)) {
    const std::string text = FormatText("Failed to set the %s laser power saving timer.", name);
    LogError("<SetLPSTimer>: %s", text.c_str());
    m_Hooks.MessageBox(text, lumetra::kMessageCaption, platform::ui::MB_OK | platform::ui::MB_ICONERROR);
    return false;
  }
  *stored = static_cast<int>(nTimerId);
  LogInfo(
      "<SetLPSTimer>: the %s laser power saving timer has been set (time-out = %d minutes) [TimerID = %d].",
      name, minutes, *stored);
  return true;
}

void CMainDlgTimers::ResetLPSTasks(bool bKeepNonUse) {
  if (!IsPowerSavingModel()) return;
  if (!bKeepNonUse) SetLPSTimer(kNonUseOffTimerId, false, 0);
  SetLPSTimer(kDailyOnTimerId, false, 0);
  SetLPSTimer(kDailyOffTimerId, false, 0);
  if (!m_LPSSettings.EnableSaverAutoTasks) return;
  if (m_LPSSettings.AutoDailyOnOption) SetLPSTimer(kDailyOnTimerId, true, 0);
  if (m_LPSSettings.EnableDailyOff) SetLPSTimer(kDailyOffTimerId, true, 0);
  if (!bKeepNonUse && m_LPSSettings.EnableMaxNonUsePeriod) SetLPSTimer(kNonUseOffTimerId, true, 0);
}

bool CMainDlgTimers::IsDataPortNotReady() {
  if (!m_pScanCtrl) return true;
  try {
    IScanCtrl::BOOL32 open = 0, configured = 0;
    CheckScanCtrl(m_pScanCtrl->SDPIsOpen(&open));
    if (!open) return true;
    CheckScanCtrl(m_pScanCtrl->SDPIsConfigured(&configured));
    return !configured;
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
    return true;
  }
}

bool CMainDlgTimers::GetLaserPowerStatus(bool* pbOn) {
  if (!pbOn || IsDataPortNotReady()) return false;
  try {
    IScanCtrl::BOOL32 red = 0, green = 0;
    CheckScanCtrl(m_pScanCtrl->LaserPowerStatus(1, &red));
    CheckScanCtrl(m_pScanCtrl->LaserPowerStatus(0, &green));
    *pbOn = red && green;
    return true;
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
    return false;
  }
}

bool CMainDlgTimers::SetLaserPower(bool bOn) {
  bool on = false;
  if (!GetLaserPowerStatus(&on)) return false;
  if (on == bOn) return true;
  try {
    IScanCtrl::BOOL32 done = 0;
    CheckScanCtrl(m_pScanCtrl->SetOnOffLaserPowers(bOn ? 1 : 0, &done));
    if (!done) {
      LogError("Failed to turn the lasers %s.", bOn ? "on" : "off");
      return false;
    }
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
    return false;
  }
  // A period without use starts when the lasers come on.
  SetLPSTimer(kNonUseOffTimerId, bOn, 0);
  return true;
}

bool CMainDlgTimers::IsSystemIdle() {
  if (m_Hooks.IsOffline() || IsDataPortNotReady() || m_Hooks.IsTaskRunning()) return false;
  if (!m_Hooks.IsBusy()) return true;
  return m_Hooks.RunProgressState() == RunDlgState::idle;
}

void CMainDlgTimers::OnTimer(unsigned nIDEvent) {
  if (!IsPowerSavingModel()) {
    LogDebug(1, "<CScanDlg::OnTimer> invalid time out task, (this is not a B/C model scanner).");
    return;
  }
  switch (nIDEvent) {
    case kKeepAliveTimerId:
      OnKeepAliveTimer();
      break;
    case kRedLaserCalibTimerId:
      OnRedLaserCalibTimer(nIDEvent);
      break;
    default:
      OnLPSTimer(nIDEvent);
      break;
  }
}

void CMainDlgTimers::OnKeepAliveTimer() {
  if (!m_pScanCtrl) return;
  try {
    IScanCtrl::BOOL32 open = 0;
    CheckScanCtrl(m_pScanCtrl->SDPIsOpen(&open));
    if (!open) {
      LogDebug(1, "Couldn't send keep master alive command: The Data Port is not open.");
      return;
    }
    IScanCtrl::BOOL32 done = 0;
    CheckScanCtrl(m_pScanCtrl->SDPKeepAlive(&done));
    if (!done) LogError("Falied to enable Data Port Master");
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
  }
}

void CMainDlgTimers::OnRedLaserCalibTimer(unsigned nIDEvent) {
  LogDebug(1, "<CScanDlg::OnTimer> The 1st-time Red laser power calibration task time out (ID = %d).",
           static_cast<int>(nIDEvent));
  if (m_Hooks.KillTimer(kRedLaserCalibTimerId)) m_nRedLaserCalibTimer = -1;
  if (!m_pScanCtrl) return;
  try {
    IScanCtrl::BOOL32 ready = 0;
    CheckScanCtrl(m_pScanCtrl->IsRedLaserReadyToAdjust(&ready));
    if (!ready) {
      LogInfo(
          "<CScanDlg::OnTimer> Skip the scheduled 1st-time Red laser power calibration task - either the "
          "laser is "
          "OFF or is not ready to adjust yet.");
      return;
    }
    IScanCtrl::BOOL32 did = 0;
    CheckScanCtrl(m_pScanCtrl->IsRedLaserDid1stCalibration(&did));
    if (did || m_bRedLaserCalibrating || m_Hooks.RunProgressState() != RunDlgState::none) {
      LogInfo(
          "<CScanDlg::OnTimer> Skip the scheduled 1st-time Red laser power calibration task - either did "
          "already "
          "or the system is in Carousel Run.");
      return;
    }
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
    return;
  }
  m_bRedLaserCalibrating = true;
  m_Hooks.SetStatusText("Calibrating red laser power...");
  m_Hooks.OnScannerStateMsg(0, kStateCalibLasers);
  StartRedLaserCalibThread();
}

void CMainDlgTimers::StartRedLaserCalibThread() {
  platform::com::ComPtr<IScanCtrl> scanCtrl = m_pScanCtrl;
  std::weak_ptr<bool> alive = m_Alive;
  // Only the instrument is called on the worker; the rest happens on the user-interface
  // thread.
  auto body = [this, scanCtrl, alive](platform::Event&) -> std::uint32_t {
    std::optional<tagScannerState> state;
    std::string errorText;
    try {
      tagScannerState s = kStateError;
      CheckScanCtrl(scanCtrl->get_ScannerState(&s));
      state = s;
      IScanCtrl::BOOL32 done = 0;
      CheckScanCtrl(scanCtrl->CalibrateLaser(1, &done));
    } catch (const ComError& e) {
      errorText = FormatComError(e);
      LogError("%s", errorText.c_str());
    }
    m_Hooks.PostToUiThread([this, alive, state, errorText] {
      if (alive.lock()) OnRedLaserCalibDone(state, errorText);
    });
    return 0;
  };
  if (!scanCtrl || !m_RedLaserCalibThread.start(std::move(body), "red laser calibration")) {
    LogError("Failed to start the 1st-time Red laser power calibration.");
    OnRedLaserCalibDone(std::nullopt, {});
  }
}

void CMainDlgTimers::OnRedLaserCalibDone(std::optional<tagScannerState> state, const std::string& errorText) {
  // The worker has posted its result and only returns now: collect it, so that the next
  // calibration can start. The message comes on the window's thread: the join cannot fail.
  (void)m_RedLaserCalibThread.join();
  m_bRedLaserCalibrating = false;
  if (!errorText.empty()) m_Hooks.SetStatusText(errorText);
  if (!state && m_pScanCtrl) {
    tagScannerState s = kStateError;
    try {
      CheckScanCtrl(m_pScanCtrl->get_ScannerState(&s));
      state = s;
    } catch (const ComError& e) {
      LogError("%s", FormatComError(e).c_str());
    }
  }
  if (state)
    m_Hooks.OnScannerStateMsg(1, *state);
  else
    m_Hooks.CheckDoorClosed(true);  // state unknown: do not leave the door locked
}

void CMainDlgTimers::OnLPSTimer(unsigned nIDEvent) {
  const int id = static_cast<int>(nIDEvent);
  LogDebug(1, "<CScanDlg::OnTimer> LPS time out (ID = %d).", id);
  const char* name = LPSTimerName(nIDEvent);
  if (!m_LPSSettings.EnableSaverAutoTasks) {
    LogInfo("<CScanDlg::OnTimer> invalid LPS time out task, (none auto task has been defined yet).");
    if (name)
      SetLPSTimer(nIDEvent, false, 0);
    else
      m_Hooks.KillTimer(nIDEvent);
    return;
  }
  const std::tm now = platform::localTime();
  bool skip = false, rearm = false, on = false;
  switch (nIDEvent) {
    case kDailyOnTimerId:
      if (!m_LPSSettings.AutoDailyOnOption) {
        LogInfo(
            "<CScanDlg::OnTimer> Got an invalid LPS DAILY-ON time out task - the task has not been defined "
            "yet).");
        skip = true;
        break;
      }
      rearm = true;
      on = true;
      if (m_LPSSettings.AutoDailyOnOption == 1 && (now.tm_wday == 0 || now.tm_wday == 6)) {
        skip = true;
      } else if (m_Hooks.IsTaskRunning() ||
                 (m_Hooks.IsBusy() && m_Hooks.RunProgressState() == RunDlgState::busy)) {
        LogInfo("Got a LPS %s time out task - the system is busy, task skipped", name);
        skip = true;
      }
      break;
    case kDailyOffTimerId:
      if (!m_LPSSettings.EnableDailyOff) {
        LogInfo(
            "<CScanDlg::OnTimer> Got an invalid LPS DAILY-OFF time out task - the task has not been defined "
            "yet).");
        skip = true;
        break;
      }
      rearm = true;
      if (!IsSystemIdle()) {
        LogInfo("Got a LPS DAILY-OFF task - the system is busy, task skipped.");
        skip = true;
      }
      break;
    case kNonUseOffTimerId:
      if (!m_LPSSettings.EnableMaxNonUsePeriod || !m_LPSSettings.MaxNonUsePeriod) {
        LogInfo(
            "<CScanDlg::OnTimer> Got an invalid LPS NONUSE-OFF time out task - the task has not been defined "
            "yet).");
        skip = true;
      } else if (!IsSystemIdle()) {
        LogInfo("Got a LPS NONUSE-OFF task - the system is busy, task skipped.");
        skip = true;
      }
      break;
    default:
      LogInfo("<CScanDlg::OnTimer> Got an invalid LPS timer ID (%d).", id);
      // Not one of ours: stop it, or it fires for ever.
      m_Hooks.KillTimer(nIDEvent);
      return;
  }
  SetLPSTimer(nIDEvent, rearm, 0);
  if (skip) return;

  LogInfo("Got a LPS %s task - lasers will be turned %s now", name, on ? "ON" : "OFF");
  bool lasersOn = false;
  if (!GetLaserPowerStatus(&lasersOn)) {
    LogWarning("The LPS %s task skipped - couldn't get the current laser power status", name);
    return;
  }
  if (!on && !lasersOn) return;
  if (!SetLaserPower(on)) return;
  if (!on) {
    if (m_pLaserAutoOffDlg) return;
    LogDebug(1, "<CScanDlg::OnTimer> Will display a laser power auto-off message dialog box");
    m_pLaserAutoOffDlg = m_Hooks.CreateAutoOffNotice("Lasers have been turned off...");
    if (m_pLaserAutoOffDlg && !m_pLaserAutoOffDlg->Showing()) {
      // Timer ticks keep arriving in the notice's modal loop: the morning's DAILY-ON
      // closes it through CloseNotice.
      const int result = m_pLaserAutoOffDlg->RunNotice();
      LogInfo("<CScanDlg::OnTimer> The laser power auto-off message dialog box closed by %s",
              result == platform::ui::IDOK ? "user" : "auto-on task");
    }
    m_pLaserAutoOffDlg.reset();
  } else if (m_pLaserAutoOffDlg && m_pLaserAutoOffDlg->Showing()) {
    m_pLaserAutoOffDlg->ClearShowing();
    m_pLaserAutoOffDlg->CloseNotice(platform::ui::IDCANCEL);
    LogInfo("<CScanDlg::OnTimer> Try to close the laser power auto-off message dialog box");
  }
}
