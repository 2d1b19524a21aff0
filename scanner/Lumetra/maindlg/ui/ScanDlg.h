#pragma once
// The operator's main window "Tarsel Halvorn": slot range, profile and operator, the
// carousel configuration grid, the status text, the Scan button, the menu and the status
// bar. It is a frame run modally by ShowScannerUI. Every decision is CScanDlgCore's; this
// window shows what it says, forwards its events to it, keeps the window timers for the
// timer logic (CMainDlgTimers) and opens the other windows of the library.
#include <wx/frame.h>
#include <wx/timer.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "maindlg/ScanDlgCore.h"
#include "maindlg/ScanDlgView.h"
#include "maindlg/SingleInstance.h"
#include "maindlg/tools/ScanDlgHooks.h"

class wxButton;
class wxChoice;
class wxGUIEventLoop;
class wxTextCtrl;
class CCarouselCfgGrid;
class CMainDlgTimers;
class CLaserPwrSaveTaskDlg;

namespace lumetra {
class WxMessageTarget;
class CRunProgressDlg;
}  // namespace lumetra

namespace lumetra::maindlg {

// The system's clock-change and device-change broadcasts as the window receives them.
// The callbacks may run on any thread; none runs once Stop has returned.
class ISystemEvents {
 public:
  using TimeChangeFn = std::function<void()>;
  using DeviceChangeFn =
      std::function<void(unsigned eventType, bool deviceInterface, const std::string& classId)>;
  virtual ~ISystemEvents() = default;
  // False (errno) when device changes cannot be watched.
  virtual bool Start(TimeChangeFn onTimeChange, DeviceChangeFn onDeviceChange) = 0;
  virtual void Stop() = 0;
};
// The machine's own: the wall clock being set, devices arriving and leaving.
std::unique_ptr<ISystemEvents> CreateSystemEvents();

class CScanDlg : public wxFrame, public IScanDlgView, public IScanDlgHooks {
 public:
  enum ControlId {
    IDC_START_SLOT = 3056,
    IDC_END_SLOT = 3057,
    IDC_PROFILE = 3185,
    IDC_OPERATOR = 3003,
    IDC_GRID = 3174,
    IDC_STATUS = 3006,
  };
  static constexpr const char* kCaption = "Tarsel Halvorn";
  static constexpr const char* kPlacementName = "ScanCfgDlg";

  explicit CScanDlg(wxWindow* parent);
  ~CScanDlg() override;

  // Runs start-up, then the window modally until it ends; the end code (IDCANCEL).
  int DoModal();
  // What the window runs on: set m_strConnectString (and, in tests, the factories) before
  // DoModal.
  CScanDlgCore& Core() { return *m_pCore; }
  bool IsRunningModal() const { return m_pLoop != nullptr; }
  // Runs `f` on the user-interface thread once the modal loop runs (tests drive the window
  // from there).
  void WhenRunning(std::function<void()> f) { m_WhenRunning = std::move(f); }
  // Where the window learns of clock and device changes (tests give their own before DoModal).
  void SetSystemEvents(std::unique_ptr<ISystemEvents> source) { m_pSystemEvents = std::move(source); }

  // The controls, open to tests.
  wxChoice* StartSlotList() const { return m_StartSlot; }
  wxChoice* EndSlotList() const { return m_EndSlot; }
  wxChoice* ProfileList() const { return m_Profile; }
  wxTextCtrl* StatusTextCtrl() const { return m_Status; }
  wxButton* ScanButton() const { return m_Scan; }
  CCarouselCfgGrid* Grid() const { return m_Grid; }
  platform::Window* MessageTarget() const;

  // ---- IScanDlgView ---------------------------------------------------------------------------
  void ShowStatusText(const std::string& text) override;
  void EnableScanButton(bool enable) override;
  void SetScanCaption(const std::string& caption) override;
  void EnableSlotLists(bool enable) override;
  void FillStartSlotList(int first, int last, int selected) override;
  void FillEndSlotList(int first, int last, int selected) override;
  void FillProfileList(const std::vector<std::string>& names, const std::string& selected) override;
  void SetStatusPane(StatusPane pane, const std::string& text) override;
  std::string OperatorName() const override;
  CarouselGridModel& GridModel() override;
  void GridSetCurrentProfile(tagScanCfgStruct* profile, bool applyToAllSlots) override;
  void GridChangeSlotRange(int first, int last) override;
  void GridRefreshAll() override;
  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
  void EndDialog(int code) override;
  void ShowSplash() override;
  void HideSplash() override;
  bool StartTimer(int id, unsigned milliseconds) override;
  bool StopTimer(int id) override;
  void BeginWaitCursor() override;
  void EndWaitCursor() override;
  int RunConnectFailedDlg(const std::string& message) override;
  ProfileEditResult RunProfileEditor(CCarouselCfgProfileMap& map, const std::string& current) override;
  bool CreateStatusDlg(run::CScanMgr& manager) override;
  void RunStatusDlg() override;
  void DestroyStatusDlg() override;
  void RunCheckCarouselDlg(run::CScanMgr& manager, int first, int last) override;
  void RunAboutDlg() override;
  bool RunLaserPowerSaveTaskDlg(LaserPowerSaverSettings& settings, bool& created) override;
  void RunExtendedLaserCalibration() override;
  void ArmDailyLpsTimers() override;
  void SetNonUseLpsTimer(bool arm) override;
  void StopLpsTimers() override;
  void ResetLpsTasks(bool keepNonUse) override;
  void LpsSettingsChanged(const LaserPowerSaverSettings& settings) override;
  bool RedLaserCalibrating() override;
  void ScanCtrlChanged(IScanCtrl* scanCtrl) override;

  // ---- IScanDlgHooks (the timers and tools) ------------------------------------------------------
  bool IsOffline() const override;
  bool IsBusy() const override;
  bool IsTaskRunning() const override;
  RunDlgState RunProgressState() const override;
  int GetScannerType(bool bSkipWhenBusy) override;
  void OnScannerStateMsg(int bForce, tagScannerState state) override;
  void SetStatusText(const std::string& text) override;
  bool CheckDoorClosed(bool bUnlock) override;
  void SetExLaserCalib(bool on) override;
  bool SetTimer(unsigned id, unsigned elapseMs) override;
  bool KillTimer(unsigned id) override;
  void PostToUiThread(std::function<void()> f) override;
  std::unique_ptr<IAutoOffNotice> CreateAutoOffNotice(const std::string& text) override;

  // The menu item of a command (wx keeps item ids below 0x7FFF).
  static int MenuItemId(int command);
  // Brings the window forward (restored when minimised).
  void BringToFront();

 private:
  void BuildControls();
  void BuildMenu();
  std::intptr_t OnWindowMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
  void OnClose(wxCloseEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void OnMenu(wxCommandEvent& event);
  void OnUpdateMenu(wxUpdateUIEvent& event);
  void OnTimer(wxTimerEvent& event);
  void OnMaximize(wxMaximizeEvent& event);
  void StartSystemEvents();
  void StopSystemEvents();

  std::shared_ptr<WxMessageTarget> m_pTarget;
  std::unique_ptr<CMainDlgTimers> m_pTimers;
  std::unique_ptr<CScanDlgCore> m_pCore;
  std::unique_ptr<CScannerGuiServer> m_pGuiServer;
  std::map<unsigned, std::unique_ptr<wxTimer>> m_Timers;
  wxGUIEventLoop* m_pLoop = nullptr;
  bool m_bEndRequested = false;
  int m_nEndCode = 0;
  std::function<void()> m_WhenRunning;
  std::unique_ptr<ISystemEvents> m_pSystemEvents;
  bool m_bSystemEvents = false;  // their handlers run only while set
  lumetra::CRunProgressDlg* m_pStatusDlg = nullptr;
  CLaserPwrSaveTaskDlg* m_pLPSTaskDlg = nullptr;
  int m_nMinWidth = 0, m_nMinHeight = 0;

  wxChoice* m_StartSlot = nullptr;
  wxChoice* m_EndSlot = nullptr;
  wxChoice* m_Profile = nullptr;
  wxTextCtrl* m_Operator = nullptr;
  CCarouselCfgGrid* m_Grid = nullptr;
  wxTextCtrl* m_Status = nullptr;
  wxButton* m_Scan = nullptr;
};

// Message boxes of the operator's process as wx dialogs (installed by ShowScannerUI for
// the life of the window).
int WxMessageBox(const std::string& text, const std::string& caption, unsigned type);
// The window a message box belongs to: the innermost modal dialog, else the active window.
wxWindow* MessageBoxParent();

}  // namespace lumetra::maindlg
