#include "maindlg/ScanDlgCore.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <stdexcept>
#include <utility>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "config/ScanCfgRules.h"
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

constexpr const char* kCaption = "Tarsel Halvorn";
constexpr const char* kQuillmark = "Quillmark";

}  // namespace

std::string MainDlgText(int id, const char* fallback) {
  switch (id) {
    case 2003:
      return "Unable to allocate memory. ";
    case 2006:
      return "The application is busy.  Cannot exit until it is no longer busy or  scan is aborted.";
    default:
      break;
  }
  return run::LoadResourceString(id).value_or(fallback);
}

namespace {

std::string BusyText() { return MainDlgText(2006, "Cannot exit application....application is busy."); }
std::string UnhandledText() { return MainDlgText(9919, "An unhandled error occurred."); }

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

// The leading whole number of a "%d%%" text (0 when there is none).
int LeadingNumber(const std::string& text) {
  int value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

struct DeviceClass {
  const char* id;
  int kind;
  const char* name;
};
// Tested in this order.
constexpr DeviceClass kDeviceClasses[] = {
    {kScanDataPortInterfaceClass, 1, "ScannerDataPort"},
    {"{4d36e972-e325-11ce-bfc1-08002be10318}", 2, "ScannerCmdPort"},     // network adapters
    {"{4d36e978-e325-11ce-bfc1-08002be10318}", 3, "ScannerSerialPort"},  // serial ports
    {"{36fc9e60-c465-11cf-8056-444553540000}", 0, "ScanerHub"},          // USB hubs and hosts
    {"{50906cb8-ba12-11d1-bf5d-0000f805f530}", 4, "TISerialAdapter"},    // multi-port serial
};

}  // namespace

// ---- free helpers ---------------------------------------------------------------------------------

int ClassifyDeviceInterface(const std::string& classId, std::string* name) {
  // A text that does not parse is the all-zero identifier, which no class has.
  const platform::com::GUID id = platform::com::GuidFromString(classId).value_or(platform::com::GUID{});
  for (const DeviceClass& c : kDeviceClasses) {
    if (platform::com::GuidFromString(c.id).value_or(platform::com::GUID{}) == id && !classId.empty()) {
      if (name) *name = c.name;
      return c.kind;
    }
  }
  if (name) *name = "Unknown port";
  return 5;
}

std::string ScanCaption(int start, int end) {
  return start == end ? FormatText("&Scan Slot %d", start) : FormatText("&Scan Slot %d-%d", start, end);
}

std::string ShellErrorText(int result) {
  switch (result) {
    case 0:
      return "The operating system is out of memory or resources";
    case 2:
      return "File not found";
    case 3:
      return "The specified path was not found";
    case ui::kShellOpenerMissing:
      return ui::kShellOpenerMissingText;
    case 5:
      return "Access denied";
    case 8:
      return "Not enough memory to complete the operation";
    case 11:
      return "The .exe file is invalid (non-Win32?.exe or error in .exe image)";
    case 26:
      return "A sharing violation occurred";
    case 27:
      return "Incomplete or invalid file association";
    case 28:
      return "DDE Time out";
    case 29:
      return "DDE transaction failed";
    case 30:
      return "DDE busy";
    case 31:
      return "No association for file extension";
    case 32:
      return "DLL not found";
    default:
      return "Unknown error";
  }
}

std::string ProgressText(long done, long total) {
  if (total <= 0) return {};
  return FormatText("Scanning: %d %% done", static_cast<int>(static_cast<long long>(done) * 100 / total));
}

std::string QuillmarkCommandLine(int scannerType) {
  static const char* const kModels[] = {" K7431A", " K7431B", " K7431C"};
  std::string line = kQuillmark;
  if (scannerType >= 0 && scannerType <= 2) line += kModels[scannerType];
  return line;
}

// ---- construction ---------------------------------------------------------------------------------

CScanDlgCore::CScanDlgCore(IScanDlgView& view, platform::Window* window)
    : m_FileSystem(FileSystemQueries::System()), m_View(view), m_pWindow(window) {
  // The region files and the profiles: the installation folder, which the region editor
  // shares (beside the program only when none is registered).
  m_strAppDir = GetModuleDir();
  m_strProgramPath = GetAppPath();
  m_CreateScanCtrl = [] {
    platform::com::ComPtr<platform::com::IUnknown> unknown;
    platform::com::Check(
        platform::com::CreateInstance(kScanCtrlProgId, platform::com::IUnknown::kIID, unknown.put()));
    return unknown.as<IScanCtrl>();
  };
  m_CreateScanMgr = [](platform::Window* w, IScanCtrl* scanner) {
    return std::make_unique<run::CScanMgr>(w, scanner, true);
  };
  m_Spawn = [](const std::vector<std::string>& argv, int* error) {
    return platform::process::spawnDetached(argv, {}, error).has_value();
  };
}

CScanDlgCore::~CScanDlgCore() {
  // The monitor reports to the window: it goes before anything it may report to.
  m_RegionMap.StopMonitor();
  m_pScanMgr.reset();
  m_ProfileMap.RemoveAll();
  m_RegionMap.RemoveAll();
  m_pScanCtrl.reset();
}

void CScanDlgCore::EndDialog(int code) {
  m_bEnded = true;
  m_nEndCode = code;
  m_View.EndDialog(code);
}

int CScanDlgCore::ErrorBox(const std::string& text) {
  return m_View.MessageBox(text, kCaption, ui::MB_OK | ui::MB_ICONERROR);
}

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

// ---- carousel run ----------------------------------------------------------------------------------

void CScanDlgCore::TakeUpScannerState() {
  int state = m_nCurState;
  if (m_pScanCtrl) {
    try {
      tagScannerState s = kStateOffline;
      CheckScanCtrl(m_pScanCtrl->get_ScannerState(&s));
      state = s;
    } catch (const ComError& e) {
      LogError("Failed to get the current scanner's state info: %s", FormatComError(e).c_str());
    }
  }
  OnScannerStateMsg(1, state);
  ShowStateText(state);
}

void CScanDlgCore::OnOK() {
  if (!m_pScanCtrl || !m_pScanMgr) return;
  if (!CheckDoorClosed(false)) return;
  const auto motor = [this](tagMotorCtrlMode mode) { CheckScanCtrl(m_pScanCtrl->SetFSMotorCtrlMode(mode)); };
  try {
    if (!LoadCarouselCfgInfo()) throw std::runtime_error("Failed to load carousel scanning configuration");
    if (!CheckDiskSpace(m_pCarouselCfg.get(), m_FileSystem))
      throw std::runtime_error("Invalid carousel run configuration");
    const tagScanCfgStruct& p = *m_pCurProfile;
    LogDebug(
        1,
        "Loaded profile info: Name = %s, Prefix1 = %s, Prefix2 = %s, CompressTiff = %s, SplitAndRotate = %s",
        p.Name.c_str(), p.AutoNamingPrefix1.c_str(), p.AutoNamingPrefix2.c_str(),
        p.CompressTiff ? "On" : "Off", p.SplitAndRotate ? "On" : "Off");
    const int disable = CRegEdit(HKEY_LOCAL_MACHINE, zeva::kDataPortKey).ReadInt("DisableShutdownCtrl", 0);
    CheckScanCtrl(m_pScanCtrl->SDPEnablingShutdown(disable == 0 ? 1 : 0));
    m_pScanMgr->RequestAbort(false, false);
    if (!m_View.CreateStatusDlg(*m_pScanMgr)) {
      SetStatusText(std::string());
      throw std::runtime_error(MainDlgText(2003, "Memory allocation failed"));
    }
    m_bRunDialogOpen = true;
    SetStatusText(std::string());
    try {
      motor(kMotorCtrlHold);
      try {
        CheckScanCtrl(m_pScanCtrl->OnStartExitCarouselRun(1));
      } catch (const ComError& e) {
        LogDebug(1, "Failed to notify ScanCtrl to start the carousel run: %s", FormatComError(e).c_str());
      }
      m_View.RunStatusDlg();
    } catch (...) {
      m_View.DestroyStatusDlg();
      m_bRunDialogOpen = false;
      m_pScanMgr->SetStatusWindow(m_pWindow);
      throw;
    }
    try {
      CheckScanCtrl(m_pScanCtrl->OnStartExitCarouselRun(0));
    } catch (const ComError& e) {
      LogDebug(1, "Failed to notify ScanCtrl to exit the carousel run: %s", FormatComError(e).c_str());
    }
    m_pScanMgr->SetStatusWindow(m_pWindow);
    m_View.DestroyStatusDlg();
    m_bRunDialogOpen = false;
    TakeUpScannerState();
    if (m_bReinitAfterRun) {
      if (PowerSavingApplies()) m_View.SetNonUseLpsTimer(false);
      try {
        CheckScanCtrl(m_pScanCtrl->Initialize());
      } catch (const ComError& e) {
        const std::string text = FormatComError(e);
        LogErrorNoFormat(text.c_str());
        ErrorBox(text);
      }
      m_bInitialized = true;
      m_bReinitAfterRun = false;
    }
    try {
      motor(kMotorCtrlOpen);
    } catch (const ComError& e) {
      LogError("%s", FormatComError(e).c_str());
    }
  } catch (const std::exception& e) {
    std::string reason;
    if (const auto* com = dynamic_cast<const ComError*>(&e))
      reason = FormatComError(*com);
    else if (dynamic_cast<const std::runtime_error*>(&e))
      reason = e.what();
    else
      reason = "Unknown error";
    const std::string text = "Couldn't start carousel run: " + reason;
    LogErrorNoFormat(text.c_str());
    ErrorBox(text);
    TakeUpScannerState();
    try {
      motor(kMotorCtrlOpen);
    } catch (const ComError& com) {
      LogError("%s", FormatComError(com).c_str());
    }
  }
}

bool CScanDlgCore::LoadCarouselCfgInfo() {
  if (!m_pCarouselCfg) m_pCarouselCfg = std::make_unique<CCarouselCfgInfo>();
  CCarouselCfgInfo& cfg = *m_pCarouselCfg;
  cfg.RemoveAll();
  cfg.Reset(CCarouselCfgInfo::kSlotCount);

  cfg.OperatorName = m_View.OperatorName();
  cfg.FirstSlot = m_nStartSlot;
  cfg.LastSlot = m_nEndSlot;
  if (m_pCurProfile) {
    cfg.SplitAndRotate = m_pCurProfile->SplitAndRotate;
    cfg.RotateType = m_pCurProfile->RotateType;
    cfg.CompressTiff = m_pCurProfile->CompressTiff;
    cfg.AutoNamingPrefix1 = m_pCurProfile->AutoNamingPrefix1;
    cfg.AutoNamingPrefix2 = m_pCurProfile->AutoNamingPrefix2;
  }
  CRegEdit options(HKEY_CURRENT_USER, zeva::kScanOptionsKey);
  cfg.DyxScanLoPMTFirst = options.ReadInt("DyxScanLoPMTFirst", 0);
  cfg.DyxScanNameUseSuffix = options.ReadInt("DyxScanNameUseSuffix", 1);
  cfg.ScanNumberToken = "<Scan #>";
  cfg.UseSlideID = cfg.AutoNamingPrefix1 == "<Slide ID>" || cfg.AutoNamingPrefix2 == "<Slide ID>";

  CarouselGridModel& grid = m_View.GridModel();
  CScanRegionInfoMap* regions = m_pCurProfile ? m_pCurProfile->RegionMap : nullptr;
  for (int slot = 1; slot <= CCarouselCfgInfo::kSlotCount; ++slot) {
    cfg.SlotUsed[slot - 1] = grid.IsSlotUsed(slot) ? 1 : 0;
    if (slot < cfg.FirstSlot || slot > cfg.LastSlot) {
      cfg.SetAt(slot, nullptr);
      continue;
    }
    const tagSlotCfgRow* row = grid.GetSlotCfg(slot);
    if (!row) {
      ErrorBox(UnhandledText());
      LogError("LoadCarouselCfgInfo():  Failed to access the ScanCfgInfo object of slot %d.", slot);
      return false;
    }
    auto info = CSlotScanCfgInfo::CreateObject();
    info->ScanDescription = row->Description;
    info->OutputPath = row->OutputPath;
    info->SlideID = row->SlideID;
    info->RegionName = row->RegionName;
    info->PMTGreen = LeadingNumber(row->PMTGreen);
    info->PMTRed = LeadingNumber(row->PMTRed);
    info->DyxRatio = row->DyxRatio;
    info->Tiff32Bit = row->Tiff20Bit;
    info->UseGreen = row->DyeChannels != "R";
    info->UseRed = row->DyeChannels != "G";
    int type = 0;
    bool doublePass = false;
    if (!ParseResolutionName(row->Resolution, &type, &doublePass)) {
      const std::string text = FormatText(
          "LoadCarouselCfgInfo:  Failed to configurate scan for slot %d - invalide scan resolution '%s'.",
          slot, row->Resolution.c_str());
      LogErrorNoFormat(text.c_str());
      ErrorBox(text);
      return false;
    }
    info->ResolutionType = type;
    info->DoublePass = doublePass ? 1 : 0;
    const ScanRegionInfo* region = regions ? regions->Lookup(info->RegionName) : nullptr;
    if (!region) {
      ErrorBox("Invalid scan region defined.");
      LogError("LoadCarouselCfgInfo():  Failed to access RegionInfo object - invalid scan region?.");
      return false;
    }
    info->RegionLeft = region->Left;
    info->RegionTop = region->Top;
    info->RegionWidth = region->Right - region->Left;
    info->RegionHeight = region->Bottom - region->Top;
    info->OriginX = region->OriginX;
    info->OriginY = region->OriginY;
    info->AFX = region->AFX;
    info->AFY = region->AFY;
    info->PKG = region->PKG;
    cfg.SetAt(slot, std::move(info));
  }
  if (m_pScanMgr) m_pScanMgr->SetRunConfig(m_pCarouselCfg.get());
  return true;
}

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
  const int result = ui::shellOpen(folder);
  if (result <= 32) ErrorBox(ShellErrorText(result));
}

void CScanDlgCore::OpenHelp() {
  const std::string path = platform::joinPath(m_strAppDir, "help/Scanner.pdf");
  if (!platform::fileExists(path)) {
    ErrorBox(FormatText("Cannot find help file %s", path.c_str()));
    return;
  }
  if (ui::shellOpen(path) < 32) ErrorBox(FormatText("Cannot open help file %s", path.c_str()));
}

void CScanDlgCore::OpenTechSupport() {
  std::string link =
      CRegEdit(HKEY_CURRENT_USER, zeva::kScannerKey).ReadString("CurrentTechSupportHyperlink", "");
  if (link.empty())
    link = CRegEdit(HKEY_LOCAL_MACHINE, std::string(zeva::kProductKey) + "\\")
               .ReadString("DefaultTechSupportHyperlink", kDefaultTechSupportHyperlink);
  const int result = ui::shellOpen(link);
  if (result <= 32) ErrorBox(ShellErrorText(result));
}

// ---- selection lists ----------------------------------------------------------------------------------

void CScanDlgCore::SetScanButtonCaption() { m_View.SetScanCaption(ScanCaption(m_nStartSlot, m_nEndSlot)); }

void CScanDlgCore::OnStartSlotChanged(int slot) {
  if (slot == m_nStartSlot || slot < 1 || slot > m_nEndSlot) return;
  m_nStartSlot = slot;
  m_View.FillEndSlotList(m_nStartSlot, 48, m_nEndSlot);
  m_View.GridChangeSlotRange(m_nStartSlot, m_nEndSlot);
  UpdateStatusBar(true);
  UpdateControls();
  SetScanButtonCaption();
}

void CScanDlgCore::OnEndSlotChanged(int slot) {
  if (slot == m_nEndSlot || slot < m_nStartSlot || slot > 48) return;
  m_nEndSlot = slot;
  m_View.FillStartSlotList(1, m_nEndSlot, m_nStartSlot);
  m_View.GridChangeSlotRange(m_nStartSlot, m_nEndSlot);
  UpdateStatusBar(true);
  UpdateControls();
  SetScanButtonCaption();
}

void CScanDlgCore::OnProfileSelected(const std::string& name) {
  if (name == m_strCurProfile) return;
  tagScanCfgStruct* profile = m_ProfileMap.Lookup(name);
  if (!profile) return;
  if (!m_strCurProfile.empty()) {
    const int answer = m_View.MessageBox(
        "Selecting a new profile will overwrite the slot settings.\r\n\r\nClick OK to continue.",
        "New Profile Selected", ui::MB_OKCANCEL | ui::MB_ICONWARNING);
    if (answer == ui::IDCANCEL) {
      std::vector<std::string> names;
      for (const auto& entry : m_ProfileMap.Profiles()) names.push_back(entry.first);
      m_View.FillProfileList(names, m_strCurProfile);
      return;
    }
  }
  m_strCurProfile = name;
  m_pCurProfile = profile;
  m_View.GridSetCurrentProfile(profile, true);
  UpdateStatusBar(false);
}

}  // namespace lumetra::maindlg
