#pragma once
// The main scanner window's logic without a display: start-up and shut-down, the
// scanner-state rules and control enabling, starting a carousel run, the window messages,
// the menu commands and the selection lists. It drives the instrument through IScanCtrl
// and its window through IScanDlgView; the wx main window forwards its events here.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Movrak/IScanCtrl.h"
#include "config/CarouselCfgInfo.h"
#include "config/CarouselCfgProfileMap.h"
#include "config/LaserPowerSaver.h"
#include "config/ScanRegionInfoMap.h"
#include "maindlg/RunSpaceCheck.h"
#include "maindlg/ScanDlgView.h"
#include "platform/com.h"
#include "platform/window.h"

namespace lumetra::run {
class CScanMgr;
struct ScanFileRecord;
}  // namespace lumetra::run

namespace lumetra::maindlg {

// Commands of the main window's menu.
enum MenuCommand : int {
  ID_APP_EXIT = 32771,
  ID_TOOLS_PROFILE_EDITOR = 32780,
  ID_TOOLS_QUILLMARK = 32775,
  ID_TOOLS_LASER_AUTO_ONOFF = 32777,
  ID_TOOLS_CAROUSEL_CHECK = 32774,
  ID_TOOLS_UNLOCK_DOOR = 32787,
  ID_TOOLS_RESET_CALIB_WARNINGS = 32789,
  ID_TOOLS_EXT_LASER_CALIB = 32790,
  ID_HELP_LOG_FILE_FINDER = 32781,
  ID_HELP_ONLINE_HELP = 57670,
  ID_HELP_TECH_SUPPORT = 32782,
  ID_APP_ABOUT = 57664,
};

// Timers of the main window.
inline constexpr int kKeepAliveTimer = 1;
inline constexpr int kRedLaserCalibTimer = 2;
inline constexpr unsigned kKeepAliveInterval = 300000;

// The registered message by which another process recognises the running window, and
// its answer.
inline constexpr const char* kScannerGuiName = "ScannerGUI";
inline constexpr std::intptr_t kScannerGuiAnswer = static_cast<std::intptr_t>(0xA1B2C3D4u);

// The main window's other message numbers (the run side's are in run/RunStatus.h).
inline constexpr unsigned WM_SCAN_PROGRESS = platform::WM_USER + 104;  // lines done, lines in total

// Device-change events (as the system reports them) and the kinds of port they concern.
inline constexpr unsigned DBT_DEVICEARRIVAL = 0x8000;
inline constexpr unsigned DBT_DEVICEREMOVECOMPLETE = 0x8004;
// The data port's device-interface class (the one its driver registers).
inline constexpr const char* kScanDataPortInterfaceClass = "{2B5C3A9E-6F41-4D0B-9A2E-7C1F0D8B4E63}";
// The port kind of a device interface of class `classId` ("{...}" text; empty or not a
// device interface: kind 5, "Unknown port"), with its name.
int ClassifyDeviceInterface(const std::string& classId, std::string* name = nullptr);

// A text of the main window's string table (the run side's texts too); `fallback` when
// neither holds the id.
std::string MainDlgText(int id, const char* fallback);
// "&Scan Slot %d" or "&Scan Slot %d-%d".
std::string ScanCaption(int start, int end);
// The shell's error text of a failed open (result 32 or less); this platform's own
// outcomes say what to install or check for `target`.
std::string ShellErrorText(int result, const std::string& target = {});
// "Scanning: %d %% done"; empty (nothing to show) when the total is not above 0.
std::string ProgressText(long done, long total);
// The region editor's command line for a model index.
std::string QuillmarkCommandLine(int scannerType);

class CScanDlgCore {
 public:
  // Creates the automation server's object; a failure throws or returns empty.
  using ScanCtrlFactory = std::function<platform::com::ComPtr<IScanCtrl>()>;

  CScanDlgCore(IScanDlgView& view, platform::Window* window);
  ~CScanDlgCore();
  CScanDlgCore(const CScanDlgCore&) = delete;
  CScanDlgCore& operator=(const CScanDlgCore&) = delete;

  // ---- set before start-up --------------------------------------------------------------------
  std::string m_strConnectString;
  // The host program's folder (the region and profile files, the help file).
  std::string m_strAppDir;
  std::string m_strProgramPath;  // the running program: its fellow programs are beside it
  ScanCtrlFactory m_CreateScanCtrl;
  std::function<bool()> m_InitPortLib;
  std::function<std::unique_ptr<run::CScanMgr>(platform::Window*, IScanCtrl*)> m_CreateScanMgr;
  FileSystemQueries m_FileSystem;
  // Starts a program detached; false with the error code on failure.
  std::function<bool(const std::vector<std::string>& argv, int* error)> m_Spawn;

  // ---- start-up and shut-down ------------------------------------------------------------------
  // The start-up sequence; on failure the window has been ended through the view.
  void OnInitDialog();
  // Refused (false) while busy; otherwise the whole shut-down and the end of the window.
  bool ExitApplication();
  // The close box, Escape and every other close: refused while busy, else the Exit command.
  bool OnClose();
  void OnDestroy();
  int GetScannerType(bool bSkipWhenBusy);
  bool CheckDoorClosed(bool bUnlock);
  std::string GetScannerSN();

  // ---- state and controls ---------------------------------------------------------------------
  void OnScannerStateMsg(std::uintptr_t bForce, std::intptr_t nNewState);
  void OnInitScannerMsg(std::intptr_t nAction);
  void UpdateControls();
  void SetStatusText(const std::string* text, bool bAppend = false);
  void SetStatusText(const std::string& text) { SetStatusText(&text, false); }
  void UpdateStatusBar(bool bTotalsOnly);
  bool IsCommandEnabled(int command);
  // The window's messages; the result the sender gets.
  std::intptr_t OnMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
  void OnDeviceChange(unsigned eventType, bool deviceInterface, const std::string& classId);
  void OnTimeChange();

  // ---- carousel run ---------------------------------------------------------------------------
  void OnOK();
  bool LoadCarouselCfgInfo();

  // ---- menu and lists -------------------------------------------------------------------------
  void OnCommand(int command);
  void OnStartSlotChanged(int slot);
  void OnEndSlotChanged(int slot);
  void OnProfileSelected(const std::string& name);

  // ---- state (named as the window's members) --------------------------------------------------
  platform::com::ComPtr<IScanCtrl> m_pScanCtrl;
  std::unique_ptr<run::CScanMgr> m_pScanMgr;
  std::unique_ptr<CCarouselCfgInfo> m_pCarouselCfg;
  tagScanCfgStruct* m_pCurProfile = nullptr;
  CCarouselCfgProfileMap m_ProfileMap;
  CScanRegionInfoMap m_RegionMap;
  std::string m_strCurProfile;
  std::string m_strStatus;
  bool m_bBusy = false;
  int m_nStartSlot = 1;
  int m_nEndSlot = 48;
  bool m_bUseGreen = false;
  bool m_bUseRed = false;
  bool m_bInitialized = false;
  LaserPowerSaverSettings m_LPSSettings;
  int m_nKeepAliveTimer = -1;
  int m_nRedLaserCalibTimer = -1;
  int m_nScannerType = kScannerTypeUnknown;
  bool m_bOffline = false;
  bool m_bDevNotify = false;
  int m_nCurState = kStateOffline;
  int m_nPrevState = kStateOffline;
  bool m_bRunReady = false;
  bool m_bRedLaserCalibrating = false;
  bool m_bTaskRunning = false;
  bool m_bExLaserCalib = false;
  bool m_bReinitAfterRun = false;
  bool m_bRunDialogOpen = false;
  bool m_bEnded = false;
  int m_nEndCode = 0;

 private:
  void EndDialog(int code);
  int ErrorBox(const std::string& text);
  bool Connect(std::string& failure);
  bool LoadSettings();
  void LoadScanRegions();
  void LoadCarouselCfgProfile();
  void ApplyProfile(const std::string& name);
  void RefreshControls();
  bool PowerSavingApplies();
  void SetScanButtonCaption();
  void TakeUpScannerState();
  void ResetCalibrationWarnings();
  void OpenLogFileFolder();
  void OpenHelp();
  void OpenTechSupport();
  void StartQuillmark();
  void RunProfileEditor();
  void RunLaserPowerSaveSettings();
  void RunCarouselCheck();
  void WriteDefaultProfile();
  void ShowStateText(int state);

  IScanDlgView& m_View;
  platform::Window* m_pWindow;
};

}  // namespace lumetra::maindlg
