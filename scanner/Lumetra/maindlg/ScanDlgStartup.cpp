// CScanDlgCore: start-up (connection, settings, regions, profiles) and shut-down.
#include <exception>
#include <stdexcept>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "config/ScanCfgRules.h"
#include "maindlg/ScanDlgCore.h"
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

namespace {

std::string BusyText() { return MainDlgText(2006, "Cannot exit application....application is busy."); }

// Begins a traced operation of the log and ends it on every way out.
class TracedFunction {
 public:
  explicit TracedFunction(CLogger::EFunction f) : m_Function(f) { CLogger::OnFunctionBegin(f); }
  ~TracedFunction() { CLogger::OnFunctionEnd(m_Function); }
  TracedFunction(const TracedFunction&) = delete;
  TracedFunction& operator=(const TracedFunction&) = delete;

 private:
  CLogger::EFunction m_Function;
};

}  // namespace

// ---- start-up ---------------------------------------------------------------------------------------

void CScanDlgCore::OnInitDialog() {
  TracedFunction traced(CLogger::SESSION_INITIALIZATION);
  m_bBusy = true;
  m_bOffline = false;

  m_View.ShowSplash();
  SetScanButtonCaption();
  LoadLaserPowerSaverSettings(&m_LPSSettings);
  m_View.LpsSettingsChanged(m_LPSSettings);

  if (m_InitPortLib && !m_InitPortLib()) {
    const char* text = "Scanner Init:  Failed to load Scan Data Port device library.";
    LogErrorNoFormat(text);
    ErrorBox(text);
  }
  // The window watches the system's device changes itself (from before this start-up to
  // its end) and only hands them here to be logged, so the registration is a flag.
  m_bDevNotify = true;

  m_pScanCtrl.reset();
  std::string why;
  try {
    if (m_CreateScanCtrl) m_pScanCtrl = m_CreateScanCtrl();
  } catch (const std::exception& e) {
    LogError("Scanner Init:  %s", e.what());
    why = e.what();
  }
  if (!m_pScanCtrl) {
    m_View.HideSplash();
    std::string text = MainDlgText(9922, "Error:  Missing Movrak.DLL.");
    if (!why.empty()) text += "\r\n\r\n(" + why + ")";
    ErrorBox(text);
    LogError("Scanner Init:  Failed to create instance of scanner interface.");
    m_bBusy = false;
    EndDialog(ui::IDCANCEL);
    return;
  }

  try {
    if (m_CreateScanMgr) m_pScanMgr = m_CreateScanMgr(m_pWindow, m_pScanCtrl.get());
  } catch (const std::exception&) {
    m_pScanMgr.reset();
  }
  if (!m_pScanMgr) {
    m_View.HideSplash();
    ErrorBox("Out of Memory");
    LogError("Scanner Init:  Failed to create instance of ScanMgr object.");
    m_bBusy = false;
    EndDialog(ui::IDCANCEL);
    return;
  }
  m_pScanMgr->SetMainWindow(m_pWindow);
  m_View.ScanCtrlChanged(m_pScanCtrl.get());

  std::string failure;
  const bool connected = Connect(failure);
  m_View.HideSplash();
  if (!connected) {
    failure += "\n\nContinue in offline mode?";
    if (m_View.RunConnectFailedDlg(failure) != ui::IDYES) {
      EndDialog(ui::IDCANCEL);
      return;
    }
    m_bBusy = false;
    m_bOffline = true;
    m_nScannerType = 2;
  }

  m_View.FillStartSlotList(1, 48, 1);
  m_View.FillEndSlotList(1, 48, 48);
  if (!LoadSettings()) return;

  if (m_bOffline) {
    // The state text says why Scan stays off; no poll thread will ever show one.
    ShowStateText(kStateOffline);
    CheckDoorClosed(true);
    return;
  }

  // The data port's clock phase and keep-alive. Their own failures are shown; an
  // instrument error while asking is reported the same way and start-up goes on.
  try {
    IScanCtrl::BOOL32 open = 0, configured = 0;
    CheckScanCtrl(m_pScanCtrl->SDPIsOpen(&open));
    if (open) CheckScanCtrl(m_pScanCtrl->SDPIsConfigured(&configured));
    if (open && configured) {
      IScanCtrl::BOOL32 phaseOk = 0, result = 0;
      CheckScanCtrl(m_pScanCtrl->SDPIsDCMPhaseOK(&phaseOk));
      if (!phaseOk) CheckScanCtrl(m_pScanCtrl->SDPAutoAdjustDCMPhases(&phaseOk));
      if (!phaseOk) {
        const char* text = "Falied to auto adjust DCM phases";
        ErrorBox(text);
        LogError("InitCalib: %s.", text);
      } else {
        CheckScanCtrl(m_pScanCtrl->SDPKeepAlive(&result));
        if (!result) {
          const char* text = "Falied to enable Data Port Master";
          ErrorBox(text);
          LogError("InitCalib: %s.", text);
        }
      }
    }
  } catch (const ComError& e) {
    const std::string text = FormatComError(e);
    LogError("InitCalib: %s.", text.c_str());
    ErrorBox(text);
  }

  if (m_View.StartTimer(kKeepAliveTimer, kKeepAliveInterval)) m_nKeepAliveTimer = kKeepAliveTimer;
  GetScannerType(false);

  CRegEdit scannerKey(HKEY_LOCAL_MACHINE, zeva::kScannerKey);
  if (scannerKey.ReadInt("BarcodeCount", -1) < 0) scannerKey.WriteInt("BarcodeCount", 1);

  if (!CheckDoorClosed(false)) {
    m_bBusy = false;
    ExitApplication();
    return;
  }

  try {
    CheckScanCtrl(m_pScanCtrl->Initialize());
  } catch (const ComError& e) {
    const std::string text = "Failed to initialize the scanner: " + FormatComError(e);
    ErrorBox(text);
    LogErrorNoFormat(text.c_str());
    m_bBusy = false;
    EndDialog(ui::IDCANCEL);
    return;
  }
  m_bInitialized = true;
  if (m_LPSSettings.EnableSaverAutoTasks && m_nScannerType != 0) m_View.ArmDailyLpsTimers();
  m_pScanMgr->StartStatusThread();
  // Busy until the first scanner-state message.
}

bool CScanDlgCore::Connect(std::string& failure) {
  try {
    run::ReadScannerInfo(m_pScanCtrl.get(), m_pScanMgr->m_Info);
    const run::CScannerInfoTexts& info = m_pScanMgr->m_Info;
    LogInfo(
        "Halvorn software version info:\r\n\tScanner Executable: %s\r\n\tLumetra DLL: %s\r\n\tMovrak DLL: %s",
        info.hostVersion.c_str(), info.libraryVersion.c_str(), info.movrakVersion.c_str());
    if (m_strConnectString.empty())
      LogDebug(3, "No connect string specified.");
    else
      LogDebug(3, "Connect string is: %s", m_strConnectString.c_str());
    CheckScanCtrl(m_pScanCtrl->Connect(m_strConnectString));
    run::ReadScannerInfo(m_pScanCtrl.get(), m_pScanMgr->m_Info);
    LogInfo(
        "Halvorn firmware version info:\r\n\tRuntime: %s\r\n\tBootROM: %s\r\n\tScanDSP: %s\r\n\tAFDSP: "
        "%s\r\n\tVCDSP: %s",
        info.firmwareRuntime.c_str(), info.bootRom.c_str(), info.scanDsp.c_str(), info.afDsp.c_str(),
        info.vcDsp.c_str());
  } catch (const ComError& e) {
    failure = "Failed to connect to K7431C scanner!\n" + FormatComError(e);
    return false;
  }
  if (GetScannerType(false) == 2) return true;
  failure = "Connected scanner is not K7431C, the software will disconnect from the scanner!\n";
  try {
    CheckScanCtrl(m_pScanCtrl->Disconnect());
  } catch (const ComError& e) {
    LogError("Failed to disconnect from the scanner (unsupported model): %s", FormatComError(e).c_str());
  }
  return false;
}

bool CScanDlgCore::LoadSettings() {
  const char* step = "LoadScanRegions()";
  try {
    LoadScanRegions();
    step = "LoadCarouselCfgProfile()";
    LoadCarouselCfgProfile();
    std::string last =
        CRegEdit(HKEY_CURRENT_USER, zeva::kScannerKey).ReadString("LastUsedProfile", kDefaultProfileName);
    if (!m_ProfileMap.Lookup(last)) last = kDefaultProfileName;
    m_View.FillProfileList(
        [this] {
          std::vector<std::string> names;
          for (const auto& entry : m_ProfileMap.Profiles()) names.push_back(entry.first);
          return names;
        }(),
        last);
    OnProfileSelected(last);
    return true;
  } catch (const std::exception& e) {
    std::string message = e.what();
    if (message.size() > 256) message.resize(256);
    const std::string text = std::string(step) + " failed: " + message;
    ErrorBox(text);
    LogErrorNoFormat(text.c_str());
  } catch (...) {
    const std::string text = std::string(step) + " failed: unknown error";
    ErrorBox(text);
    LogErrorNoFormat(text.c_str());
  }
  m_bBusy = false;
  EndDialog(ui::IDCANCEL);
  return false;
}

void CScanDlgCore::LoadScanRegions() {
  const std::string path = platform::joinPath(m_strAppDir, "ChipRegions.ini");
  m_RegionMap.LoadScanRegions(path.c_str(), GetScannerType(true));
  m_RegionMap.StartMonitor(m_pWindow);
}

void CScanDlgCore::LoadCarouselCfgProfile() {
  m_ProfileMap.RemoveAll();
  m_pCurProfile = nullptr;
  if (const tagScanCfgStruct* def = m_ProfileMap.LoadDefaultProfile(&m_RegionMap)) {
    m_bUseRed = def->DyeChannel == "R+G" || def->DyeChannel == "R";
    m_bUseGreen = def->DyeChannel != "R";
  }
  const std::string path = platform::joinPath(m_strAppDir, "CarouselCfg.pfl");
  m_ProfileMap.LoadCfgProfiles(path.c_str(), &m_RegionMap);
  std::vector<std::string> names;
  for (const auto& entry : m_ProfileMap.Profiles()) names.push_back(entry.first);
  m_View.FillProfileList(names, m_strCurProfile);
}

// ---- shut-down ----------------------------------------------------------------------------------

bool CScanDlgCore::ExitApplication() {
  m_View.BeginWaitCursor();
  struct EndWait {
    IScanDlgView& view;
    ~EndWait() { view.EndWaitCursor(); }
  } endWait{m_View};

  if (m_bBusy) {
    ErrorBox(BusyText());
    return false;
  }
  m_RegionMap.StopMonitor();
  if (m_pScanMgr) m_pScanMgr->StopStatusThread();
  m_View.StopLpsTimers();
  if (m_nKeepAliveTimer > 0 && m_View.StopTimer(m_nKeepAliveTimer)) m_nKeepAliveTimer = -1;
  if (m_nRedLaserCalibTimer > 0 && m_View.StopTimer(m_nRedLaserCalibTimer)) m_nRedLaserCalibTimer = -1;

  if (m_pScanCtrl) {
    try {
      CheckScanCtrl(m_pScanCtrl->Disconnect());
    } catch (const ComError& e) {
      ErrorBox(FormatComError(e));
    }
    m_View.ScanCtrlChanged(nullptr);
    m_pScanCtrl.reset();
  }
  if (m_pCurProfile)
    CRegEdit(HKEY_CURRENT_USER, zeva::kScannerKey).WriteString("LastUsedProfile", m_pCurProfile->Name);
  m_bDevNotify = false;
  LogDebug(1, "Exit application....");
  EndDialog(ui::IDCANCEL);
  return true;
}

bool CScanDlgCore::OnClose() {
  if (m_bEnded) return true;
  if (m_bBusy) {
    ErrorBox(BusyText());
    return false;
  }
  OnCommand(ID_APP_EXIT);
  return m_bEnded;
}

void CScanDlgCore::OnDestroy() {
  {
    TracedFunction traced(CLogger::SESSION_SHUTDOWN);
    if (m_pScanCtrl) {
      try {
        CheckScanCtrl(m_pScanCtrl->Disconnect());
      } catch (const ComError& e) {
        ErrorBox(FormatComError(e));
      }
    }
  }
  if (m_pScanCtrl) m_View.ScanCtrlChanged(nullptr);
  m_pScanCtrl.reset();
}

}  // namespace lumetra::maindlg
