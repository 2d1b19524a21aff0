// CScanDlgCore: the scanner's model and door, its state on the window, and window messages.
#include <algorithm>
#include <exception>
#include <stdexcept>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "config/ScanCfgRules.h"
#include "maindlg/ScanDlgCore.h"
#include "maindlg/ScanDlgShared.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "run/ComError.h"
#include "run/RunStatus.h"
#include "run/ScanMgr.h"
#include "run/ScannerInfo.h"

namespace lumetra::maindlg {

using platform::com::ComError;
using run::CheckScanCtrl;
using run::FormatComError;
namespace ui = platform::ui;
using detail::UnhandledText;

// ---- model and door -------------------------------------------------------------------------------

int CScanDlgCore::GetScannerType(bool bSkipWhenBusy) {
  if (m_nScannerType != kScannerTypeUnknown) return m_nScannerType;
  if (bSkipWhenBusy && m_bBusy) return kScannerTypeUnknown;
  if (!m_pScanCtrl) return kScannerTypeUnknown;
  try {
    std::string model;
    CheckScanCtrl(m_pScanCtrl->get_InstrumentModel(&model));
    m_nScannerType = run::ScannerModelIndex(model);
    if (m_nScannerType == kScannerTypeUnknown)
      LogError("GetScannerType: Unrecognized model number '%s'", model.c_str());
    else
      LogInfo("Connected scanner model = %s", model.c_str());
  } catch (const ComError& e) {
    LogError("GetScannerType: %s", FormatComError(e).c_str());
  }
  return m_nScannerType;
}

bool CScanDlgCore::CheckDoorClosed(bool bUnlock) {
  bool result = true;
  if (!m_bOffline) {
    m_bBusy = true;
    try {
      if (bUnlock) {
        CheckScanCtrl(m_pScanCtrl->UnLockDoor());
        m_bBusy = false;
      } else {
        IScanCtrl::BOOL32 closed = 0;
        CheckScanCtrl(m_pScanCtrl->IsDoorClosed(&closed));
        if (!closed) {
          ErrorBox("Error: You must close the door first.");
          m_bBusy = false;
          return false;
        }
        CheckScanCtrl(m_pScanCtrl->LockDoor());
        m_bBusy = true;
      }
    } catch (const std::exception& e) {
      const auto* com = dynamic_cast<const ComError*>(&e);
      const std::string text = com ? FormatComError(*com) : UnhandledText();
      LogErrorNoFormat(text.c_str());
      ErrorBox(text);
      // A failed unlock leaves the door as it was; staying busy would refuse Exit and
      // Scan for good, so the window is given back to the user either way.
      m_bBusy = false;
      if (!bUnlock) return false;
      result = false;
    }
  }
  RefreshControls();
  return result;
}

void CScanDlgCore::RefreshControls() {
  UpdateControls();
  if (!m_bExLaserCalib) {
    const bool enable = !m_bBusy && m_bRunReady && !m_bOffline;
    m_View.EnableScanButton(enable);
    if (!m_bOffline && PowerSavingApplies()) m_View.SetNonUseLpsTimer(enable);
  }
}

bool CScanDlgCore::PowerSavingApplies() {
  return m_LPSSettings.EnableSaverAutoTasks && GetScannerType(true) != 0;
}

void CScanDlgCore::UpdateControls() { m_View.EnableSlotLists(!m_bTaskRunning); }

std::string CScanDlgCore::GetScannerSN() {
  try {
    std::string serial;
    CheckScanCtrl(m_pScanCtrl ? m_pScanCtrl->get_InstrumentSerialNumber(&serial) : platform::com::E_POINTER);
    return serial;
  } catch (const ComError& e) {
    LogError("<ScanDlg::GetScannerSN> Failed to get scanner's serial number - %s", FormatComError(e).c_str());
    return "UNKNOWN";
  }
}

// ---- scanner state ---------------------------------------------------------------------------------

void CScanDlgCore::ShowStateText(int state) {
  if (!m_pScanCtrl) return;
  std::string text;
  try {
    CheckScanCtrl(m_pScanCtrl->ScannerStateMsg(static_cast<tagScannerState>(state), &text));
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
    return;
  }
  if (!text.empty()) SetStatusText(text);
}

void CScanDlgCore::OnScannerStateMsg(std::uintptr_t bForce, std::intptr_t nNewState) {
  m_bRunReady = false;
  if (nNewState == m_nCurState && bForce == 0) return;
  LogDebug(1,
           "<CScanDlg::OnScannerStateMsg> Trying to update the current scanner's state: new_state = %d, "
           "cur_state = %d, pre_state = %d",
           static_cast<int>(nNewState), m_nCurState, m_nPrevState);
  if (nNewState != m_nCurState) {
    m_nPrevState = m_nCurState;
    m_nCurState = static_cast<int>(nNewState);
  }
  const auto openMotor = [this] {
    try {
      if (m_pScanCtrl) CheckScanCtrl(m_pScanCtrl->SetFSMotorCtrlMode(kMotorCtrlOpen));
    } catch (const ComError& e) {
      LogError("%s", FormatComError(e).c_str());
    }
  };

  switch (m_nCurState) {
    case kStateError:
    case kStateOffline:
      if (m_nCurState == kStateError) openMotor();
      m_bOffline = true;
      CheckDoorClosed(true);
      m_bBusy = false;
      break;
    case kStateInitializing:
      m_bInitialized = true;
      CheckDoorClosed(false);
      break;
    case kStateReady: {
      openMotor();
      if (m_bInitialized && m_pScanCtrl) {
        try {
          IScanCtrl::BOOL32 done = 1;
          CheckScanCtrl(m_pScanCtrl->IsRedLaserDid1stCalibration(&done));
          if (!done) {
            IScanCtrl::ULONG onMinutes = 0;
            IScanCtrl::LONG waitLeft = 0;
            CheckScanCtrl(m_pScanCtrl->GetRedLaserLastOnMinutes(&onMinutes));
            CheckScanCtrl(m_pScanCtrl->GetRedLaserPowerReadyToAdjustWaitTimeLeft(&waitLeft));
            if (waitLeft < 0) {
              LogError("<StateReady> System Error: Red laser is off");
            } else {
              long wait = CRegEdit(HKEY_LOCAL_MACHINE, zeva::kScannerKey)
                              .ReadInt("RLaserPower1stCalibWaitTimeMin", 0L);
              if (wait > 0) {
                LogDebug(
                    1,
                    "<StateReady> Got the minimum waiting time for the 1st time red laser power calibration "
                    "from Sys Reg [wait = %ld minutes]",
                    wait);
              } else {
                wait = std::max<long>(waitLeft, 1);
              }
              // Longer than a timer can count is as good as never; keep it in range.
              wait = std::min<long>(wait, 60L * 24 * 30);
              if (m_View.StartTimer(kRedLaserCalibTimer, static_cast<unsigned>(wait) * 60000u))
                m_nRedLaserCalibTimer = kRedLaserCalibTimer;
              LogDebug(1,
                       "<StateReady> The red laser has been turned on for %ld minutes, set ReadyToCalibTimer "
                       "for %d minutes",
                       static_cast<long>(onMinutes), static_cast<int>(wait));
            }
          }
        } catch (const ComError& e) {
          LogError("Failed to get red laser last-on time: %s", FormatComError(e).c_str());
        }
      }
      m_bInitialized = false;
      if (m_bRedLaserCalibrating || m_View.RedLaserCalibrating()) {
        CheckDoorClosed(false);
        break;
      }
      ShowStateText(kStateReady);
      m_bRunReady = true;
      CheckDoorClosed(true);
      break;
    }
    case kStateWarming:
    case kStateLasersOff:
      openMotor();
      CheckDoorClosed(true);
      break;
    case kStateCalibLasers:
      CheckDoorClosed(false);
      break;
    default:  // browsing, carousel run and anything unknown
      break;
  }
}

void CScanDlgCore::OnInitScannerMsg(std::intptr_t nAction) {
  try {
    if (nAction == 2) {
      CheckDoorClosed(false);
      if (m_pScanCtrl) CheckScanCtrl(m_pScanCtrl->Initialize());
      m_bInitialized = true;
    } else {
      CheckDoorClosed(true);
    }
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
  }
}

void CScanDlgCore::SetStatusText(const std::string* text, bool bAppend) {
  if (!text) return;
  m_strStatus = bAppend ? m_strStatus + *text : *text;
  m_View.ShowStatusText(m_strStatus);
}

void CScanDlgCore::UpdateStatusBar(bool bTotalsOnly) {
  if (m_pCurProfile) LoadCarouselCfgInfo();
  if (!bTotalsOnly && m_pCurProfile) {
    const tagScanCfgStruct& p = *m_pCurProfile;
    m_View.SetStatusPane(kPaneCompress, FormatText(" %s [%s]", "Compress: ", p.CompressTiff ? "On" : "Off"));
    m_View.SetStatusPane(kPaneSplitRotate,
                         FormatText(" %s [%s]", "Split/Rotate: ", p.SplitAndRotate ? "On" : "Off"));
    std::string naming = "Naming: ";
    naming += " ";
    if (!p.AutoNamingPrefix1.empty()) {
      if (p.AutoNamingPrefix1 == "<Instrument Serial #>" && !m_bOffline && m_pScanCtrl) {
        std::string serial;
        try {
          CheckScanCtrl(m_pScanCtrl->get_InstrumentSerialNumber(&serial));
        } catch (const ComError& e) {
          LogError("%s", FormatComError(e).c_str());
        }
        naming += serial;
      } else {
        naming += p.AutoNamingPrefix1;
      }
      naming += "_";
    }
    if (!p.AutoNamingPrefix2.empty()) naming += p.AutoNamingPrefix2 + "_";
    naming += "S<Scan #>";
    m_View.SetStatusPane(kPaneNaming, naming);
  }
  const std::int64_t bytes = m_pCarouselCfg ? m_pCarouselCfg->GetTotalImageBytes(0, 0) : 0;
  if (bytes >= 1000LL * 1024 * 1024)
    m_View.SetStatusPane(kPaneFileSize, FormatText(" %s %.1f GB", "Total file size: ", bytes / 1073741824.0));
  else
    m_View.SetStatusPane(kPaneFileSize, FormatText(" %s %.1f MB", "Total file size: ", bytes / 1048576.0));
  const unsigned minutes = m_pCarouselCfg ? m_pCarouselCfg->GetTotalScanTime(0, 0) : 0;
  m_View.SetStatusPane(kPaneRunTime,
                       FormatText(" %s %d hr %d min", "Total run time: ", static_cast<int>(minutes / 60),
                                  static_cast<int>(minutes % 60)));
}

bool CScanDlgCore::IsCommandEnabled(int command) {
  const bool idle = !m_bBusy && !m_bOffline && !m_bTaskRunning;
  switch (command) {
    case ID_APP_EXIT:
      return !m_bBusy;
    case ID_TOOLS_PROFILE_EDITOR:
    case ID_HELP_LOG_FILE_FINDER:
    case ID_APP_ABOUT:
    case ID_TOOLS_QUILLMARK:
    case ID_HELP_TECH_SUPPORT:
      return true;
    case ID_HELP_ONLINE_HELP:
      return platform::fileExists(platform::joinPath(m_strAppDir, "help/Scanner.pdf"));
    case ID_TOOLS_LASER_AUTO_ONOFF:
      return !m_bBusy && GetScannerType(true) != 0;
    case ID_TOOLS_CAROUSEL_CHECK:
    case ID_TOOLS_UNLOCK_DOOR:
    case ID_TOOLS_RESET_CALIB_WARNINGS:
      return idle;
    case ID_TOOLS_EXT_LASER_CALIB: {
      if (m_bOffline || m_bBusy || !m_pScanCtrl) return false;
      try {
        IScanCtrl::LONG left = -1;
        CheckScanCtrl(m_pScanCtrl->GetRedLaserPowerReadyToAdjustWaitTimeLeft(&left));
        return left == 0;
      } catch (const ComError& e) {
        LogError("%s", FormatComError(e).c_str());
        return false;
      }
    }
    default:
      return true;
  }
}

// ---- window messages ------------------------------------------------------------------------------

std::intptr_t CScanDlgCore::OnMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  switch (message) {
    case run::WM_SCANNER_STATUS_TEXT: {
      const std::string text = run::MessageText(lParam);
      if (!text.empty()) SetStatusText(text);
      return 0;
    }
    case run::WM_SCAN_STATUS_LINE: {
      const char* text = reinterpret_cast<const char*>(lParam);
      if (text && *text) SetStatusText(std::string(text));
      return 0;
    }
    case run::WM_SCANNER_STATE:
      OnScannerStateMsg(wParam, lParam);
      return 0;
    case run::WM_SCAN_FILE_INFO: {
      const auto* record = reinterpret_cast<const run::ScanFileRecord*>(lParam);
      if (!record) return 0;
      std::string text = "Scan File: ";
      text += record->fileName ? record->fileName : "";
      text += "\r\nBarCode: ";
      text += record->barcode ? record->barcode : "";
      text += FormatText("\r\nSlot: %d \r\n", record->slot);
      SetStatusText(text);
      return 0;
    }
    case WM_SCAN_PROGRESS: {
      const std::string text = ProgressText(static_cast<long>(wParam), static_cast<long>(lParam));
      if (!text.empty()) SetStatusText(text);
      return 0;
    }
    case run::WM_RUN_ENDED:
      OnInitScannerMsg(lParam);
      return 0;
    case kRegionMapMessage:
      if (wParam == kRegionFileChanged) {
        // The monitor only detects; the reload runs here, on the window's thread.
        if (m_RegionMap.ReloadIfChanged() && m_ProfileMap.ReloadSkippedProfiles(&m_RegionMap) > 0) {
          // Profiles that needed the regions back are offered again.
          std::vector<std::string> names;
          for (const auto& entry : m_ProfileMap.Profiles()) names.push_back(entry.first);
          m_View.FillProfileList(names, m_strCurProfile);
        }
      } else {
        LogDebug(1, "OnScanRegionFileModified: detected a LAST_WRITE change");
        m_View.GridRefreshAll();
      }
      return 0;
    default:
      return 0;
  }
}

void CScanDlgCore::OnDeviceChange(unsigned eventType, bool deviceInterface, const std::string& classId) {
  if (eventType != DBT_DEVICEARRIVAL && eventType != DBT_DEVICEREMOVECOMPLETE) return;
  std::string name;
  const int kind = deviceInterface ? ClassifyDeviceInterface(classId, &name) : 5;
  if (kind == 5) return;
  if (eventType == DBT_DEVICEARRIVAL)
    LogDebug(1, "<Device_Arrival> Detected: device = %s", name.c_str());
  else
    LogDebug(1, "<Device_Removed> Detected: device = %s", name.c_str());
}

void CScanDlgCore::OnTimeChange() {
  if (!m_LPSSettings.EnableSaverAutoTasks || GetScannerType(true) == 0) return;
  LogInfo("OnTimeChange(): the Windows system's clock has been updated, reset the LPS auto tasks");
  m_View.ResetLpsTasks(true);
}

}  // namespace lumetra::maindlg
