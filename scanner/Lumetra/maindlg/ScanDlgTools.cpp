// CScanDlgCore: the menu commands and the tools they start.
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
using detail::kQuillmark;

namespace {

// A failure that the desktop's handler reports after the command returned: the window
// may be gone by then, so the box goes through the program's message hook.
void LateErrorBox(const std::string& text) {
  ui::messageBox(text, "Tarsel Halvorn", ui::MB_OK | ui::MB_ICONERROR);
}

}  // namespace

// ---- menu commands ---------------------------------------------------------------------------------

void CScanDlgCore::OnCommand(int command) {
  switch (command) {
    case ID_APP_EXIT:
      ExitApplication();
      break;
    case ID_TOOLS_PROFILE_EDITOR:
      RunProfileEditor();
      break;
    case ID_TOOLS_QUILLMARK:
      StartQuillmark();
      break;
    case ID_TOOLS_LASER_AUTO_ONOFF:
      RunLaserPowerSaveSettings();
      break;
    case ID_TOOLS_CAROUSEL_CHECK:
      RunCarouselCheck();
      break;
    case ID_TOOLS_UNLOCK_DOOR:
      if (!m_bBusy && !m_bOffline && !m_bTaskRunning && m_pScanCtrl) {
        try {
          CheckScanCtrl(m_pScanCtrl->UnLockDoor());
        } catch (const ComError& e) {
          const std::string text = FormatComError(e);
          LogErrorNoFormat(text.c_str());
          ErrorBox(text);
        }
      }
      break;
    case ID_TOOLS_RESET_CALIB_WARNINGS:
      if (!m_bBusy && !m_bOffline && !m_bTaskRunning) ResetCalibrationWarnings();
      break;
    case ID_TOOLS_EXT_LASER_CALIB:
      m_View.RunExtendedLaserCalibration();
      break;
    case ID_HELP_LOG_FILE_FINDER:
      OpenLogFileFolder();
      break;
    case ID_HELP_ONLINE_HELP:
      OpenHelp();
      break;
    case ID_HELP_TECH_SUPPORT:
      OpenTechSupport();
      break;
    case ID_APP_ABOUT:
      if (!m_bBusy) m_View.RunAboutDlg();
      break;
    default:
      break;
  }
}

void CScanDlgCore::WriteDefaultProfile() {
  const tagScanCfgStruct* p = m_ProfileMap.GetDefault();
  if (!p) return;
  const bool green = p->DyeChannel != "R";
  const bool red = p->DyeChannel != "G";
  const auto prefix = [](const std::string& v) { return v == "<Customize>" ? std::string() : v; };
  CRegEdit reg(HKEY_CURRENT_USER, zeva::kScanOptionsKey);
  reg.WriteInt("UseRedChannel", red ? 1 : 0);
  reg.WriteInt("UseGreenChannel", green ? 1 : 0);
  reg.WriteInt("RedPMTScale", p->PMTRed);
  reg.WriteInt("GreenPMTScale", p->PMTGreen);
  reg.WriteInt("DyxRatioType", p->DyxRatioType);
  reg.WriteInt("ScanResolution", p->ResolutionType);
  reg.WriteInt("ScanDoublePass", p->DoublePassScan);
  reg.WriteString("Directory", p->OutputPath);
  reg.WriteString("RegionName", p->RegionName);
  reg.WriteString("AutoNamingPrefix1", prefix(p->AutoNamingPrefix1));
  reg.WriteString("AutoNamingPrefix2", prefix(p->AutoNamingPrefix2));
  reg.WriteString("ScanDescription", p->ScanDescription);
  reg.WriteInt("SplitAndRotate", p->SplitAndRotate);
  reg.WriteInt("CompressTiff", p->CompressTiff);
  reg.WriteInt("ScanTiff32Bites", p->Tiff32Bit);
  m_bUseGreen = green;
  m_bUseRed = red;
}

void CScanDlgCore::RunProfileEditor() {
  const ProfileEditResult result = m_View.RunProfileEditor(m_ProfileMap, m_strCurProfile);
  // The editor changes the map in place: the current profile may have been removed.
  m_pCurProfile = m_ProfileMap.Lookup(m_strCurProfile);
  bool profileGone = false;
  if (!m_pCurProfile) {
    profileGone = true;
    m_strCurProfile = kDefaultProfileName;
    m_pCurProfile = m_ProfileMap.GetDefault();
  }
  if (result.result == ui::IDOK) {
    if (result.defaultChanged) WriteDefaultProfile();
    if (m_ProfileMap.GetCount() >= 2 && result.listChanged) m_ProfileMap.SaveCfgProfiles(nullptr);
    if (result.currentChanged && !profileGone) {
      const bool update =
          m_View.MessageBox(
              "The current profile has been modified.  Do you want to update the slot settings?",
              "Current Profile Modified", ui::MB_YESNO | ui::MB_ICONQUESTION) == ui::IDYES;
      m_View.GridSetCurrentProfile(m_pCurProfile, update);
      if (update) UpdateStatusBar(false);
    }
  }
  if (profileGone) {
    m_View.GridSetCurrentProfile(m_pCurProfile, true);
    UpdateStatusBar(false);
  }
  std::vector<std::string> names;
  for (const auto& entry : m_ProfileMap.Profiles()) names.push_back(entry.first);
  m_View.FillProfileList(names, m_strCurProfile);
}

void CScanDlgCore::StartQuillmark() {
  const int type = GetScannerType(true);
  std::vector<std::string> argv{"quillmark"};
  // The editor is installed beside the running program (bin/ of an installation or the
  // build tree's programs); else it is looked up in PATH.
  const std::string beside = platform::directoryOf(m_strProgramPath) + "quillmark";
  if (platform::fileExists(beside)) argv[0] = beside;
  if (type >= 0 && type <= 2)
    argv.push_back(QuillmarkCommandLine(type).substr(std::string(kQuillmark).size() + 1));
  int error = 0;
  if (m_Spawn && m_Spawn(argv, &error)) return;
  const std::string system = platform::systemErrorText(error);
  const std::string text = system.empty() ? FormatText("Call %s failed, system returned an error code: %u",
                                                       kQuillmark, static_cast<unsigned>(error))
                                          : FormatText("Call %s failed: %s", kQuillmark, system.c_str());
  m_View.MessageBox(text, "Customize Scan Region Error", ui::MB_OK | ui::MB_ICONINFORMATION);
}

void CScanDlgCore::RunLaserPowerSaveSettings() {
  bool created = true;
  const bool changed = m_View.RunLaserPowerSaveTaskDlg(m_LPSSettings, created);
  if (!created) {
    const char* text = "Failed to start Laser Power Save Task Setup: Memory allocation failed";
    LogErrorNoFormat(text);
    m_View.MessageBox(text, "Laser Power Save Task Setup", ui::MB_OK | ui::MB_ICONERROR);
    return;
  }
  if (!changed) return;
  SaveLaserPowerSaverSettings(&m_LPSSettings);
  m_View.LpsSettingsChanged(m_LPSSettings);
  if (!m_bOffline) m_View.ResetLpsTasks(false);
}

void CScanDlgCore::RunCarouselCheck() {
  if (!m_pScanMgr) return;
  m_bTaskRunning = true;
  UpdateControls();
  m_View.RunCheckCarouselDlg(*m_pScanMgr, m_nStartSlot, m_nEndSlot);
  m_bTaskRunning = false;
  UpdateControls();
  try {
    tagScannerState state = kStateOffline;
    CheckScanCtrl(m_pScanCtrl->get_ScannerState(&state));
    OnScannerStateMsg(1, state);
    std::string text;
    CheckScanCtrl(m_pScanCtrl->ScannerStateMsg(state, &text));
    SetStatusText(text);
  } catch (const ComError& e) {
    LogError("Failed to get the current scanner's state info: %s", FormatComError(e).c_str());
  }
  m_pScanMgr->SetStatusWindow(m_pWindow);
}

void CScanDlgCore::ResetCalibrationWarnings() {
  struct Flag {
    const char* key;
    const char* detected;
    const char* reset;
    const char* name;
  };
  static constexpr Flag kFlags[] = {
      {"PMTCalibErrorFlag", "Detected the PMT Calibration waring flag has been set on this instrument.",
       "The PMT Calibration warning flag has been reset.", "PMT"},
      {"LaserCompensationRequired_R",
       "Detected the Red Laser Calibration Warning flag has been set on this instrument.",
       "The Red Laser Calibration Warning flag has been reset.", "Red Laser"},
      {"LaserCompensationRequired_G",
       "Detected the Green Laser Calibration Warning flag has been set on this instrument.",
       "The Green Laser Calibration Warning flag has been reset.", "Green Laser"},
  };
  LogInfo("User is asking to reset scanner calibration warning flag(s)...");
  try {
    std::string names;
    for (const Flag& flag : kFlags) {
      IScanCtrl::ULONG value = 0;
      CheckScanCtrl(m_pScanCtrl->FlashGetUnsignedDef(flag.key, 0, &value));
      if (value == 0) continue;
      LogInfo("%s", flag.detected);
      CheckScanCtrl(m_pScanCtrl->FlashSetUnsigned(flag.key, 0));
      LogInfo("%s", flag.reset);
      if (std::string(flag.key) == "PMTCalibErrorFlag" && m_pScanMgr) m_pScanMgr->DeleteLastGoodPMTVoltages();
      if (!names.empty()) names += ", ";
      names += flag.name;
    }
    if (!names.empty()) {
      CheckScanCtrl(m_pScanCtrl->FlashBurn());
      SetStatusText(FormatText("Reset calibration warning flag: %s", names.c_str()));
    } else {
      LogInfo("Detected no calibration warning flag has been set on this instrument.");
      SetStatusText(std::string("No calibration warning flag needs to be reset."));
    }
  } catch (const ComError& e) {
    const std::string text = FormatComError(e);
    LogErrorNoFormat(text.c_str());
    ErrorBox(text);
  }
}

void CScanDlgCore::OpenLogFileFolder() {
  const std::string file =
      CRegEdit(HKEY_LOCAL_MACHINE, std::string(zeva::kScannerKey) + "Logging").ReadString("File", "");
  if (file.empty()) {
    m_View.MessageBox("Couldn't find log file folder", "Open Log File Folder", ui::MB_OK | ui::MB_ICONERROR);
    return;
  }
  std::string folder = platform::directoryOf(file);
  if (folder.empty()) folder = ".";
  const auto text = [folder](int result) {
    return ShellErrorText(result, folder) + "\n\nLog file folder: " + folder;
  };
  const int result = ui::shellOpen(folder, [text](int outcome) {
    if (outcome <= 32) LateErrorBox(text(outcome));
  });
  if (result <= 32) ErrorBox(text(result));
}

void CScanDlgCore::OpenHelp() {
  const std::string path = platform::joinPath(m_strAppDir, "help/Scanner.pdf");
  if (!platform::fileExists(path)) {
    ErrorBox(FormatText("Cannot find help file %s", path.c_str()));
    return;
  }
  const auto text = [path](int result) {
    std::string reason = ui::shellOpenErrorText(result, path);
    return FormatText("Cannot open help file %s", path.c_str()) + (reason.empty() ? "" : "\n\n" + reason);
  };
  const int result = ui::shellOpen(path, [text](int outcome) {
    if (outcome < 32) LateErrorBox(text(outcome));
  });
  if (result < 32) ErrorBox(text(result));
}

void CScanDlgCore::OpenTechSupport() {
  std::string link =
      CRegEdit(HKEY_CURRENT_USER, zeva::kScannerKey).ReadString("CurrentTechSupportHyperlink", "");
  if (link.empty())
    link = CRegEdit(HKEY_LOCAL_MACHINE, std::string(zeva::kProductKey) + "\\")
               .ReadString("DefaultTechSupportHyperlink", kDefaultTechSupportHyperlink);
  const auto text = [link](int result) {
    return ShellErrorText(result, link) + "\n\nTechnical support address: " + link;
  };
  const int result = ui::shellOpen(link, [text](int outcome) {
    if (outcome <= 32) LateErrorBox(text(outcome));
  });
  if (result <= 32) ErrorBox(text(result));
}

}  // namespace lumetra::maindlg
