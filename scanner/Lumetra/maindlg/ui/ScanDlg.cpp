#include "maindlg/ui/ScanDlg.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/evtloop.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/persist.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "Jotwell/Logger.h"
#include "Pellux/ScanDataPort.h"
#include "config/ui/CarouselCfgGrid.h"
#include "config/ui/CfgProfileEditDlg.h"
#include "config/ui/WindowPlacement.h"
#include "config/ui/WxText.h"
#include "diag/ConnectToScannerFailedDlg.h"
#include "maindlg/tools/AboutDlg.h"
#include "maindlg/tools/ExLaserCalib.h"
#include "maindlg/tools/ExLaserCalibMsgDlg.h"
#include "maindlg/tools/LaserAutoOffMsgDlg.h"
#include "maindlg/tools/LaserPwrSaveTaskDlg.h"
#include "maindlg/tools/MainDlgTimers.h"
#include "maindlg/tools/SplashWnd.h"
#include "platform/syswatch.h"
#include "platform/ui.h"
#include "run/ScanMgr.h"
#include "run/ui/CheckCarouselDlg.h"
#include "run/ui/RunProgressDlg.h"
#include "run/ui/WxMessageTarget.h"

namespace lumetra::maindlg {

namespace ui = platform::ui;

namespace {

// wx keeps menu item ids below 0x7FFF: the menu's items carry these, mapped to the
// commands' own numbers.
constexpr int kCommands[] = {ID_APP_EXIT,
                             ID_TOOLS_PROFILE_EDITOR,
                             ID_TOOLS_QUILLMARK,
                             ID_TOOLS_LASER_AUTO_ONOFF,
                             ID_TOOLS_CAROUSEL_CHECK,
                             ID_TOOLS_UNLOCK_DOOR,
                             ID_TOOLS_RESET_CALIB_WARNINGS,
                             ID_TOOLS_EXT_LASER_CALIB,
                             ID_HELP_LOG_FILE_FINDER,
                             ID_HELP_ONLINE_HELP,
                             ID_HELP_TECH_SUPPORT,
                             ID_APP_ABOUT};
constexpr int kFirstMenuItemId = 20000;

int CommandOfItem(int itemId) {
  const int index = itemId - kFirstMenuItemId;
  return index >= 0 && index < static_cast<int>(std::size(kCommands)) ? kCommands[index] : 0;
}

// The window's own messages from the desktop channel's thread.
constexpr unsigned kRaiseHostMessage = platform::WM_USER + 900;
constexpr unsigned kRaiseWindowMessage = platform::WM_USER + 901;

wxString StatusText(const std::string& text) {
  wxString s = ToWx(text);
  s.Replace("\r\n", "\n");
  return s;
}

}  // namespace

wxWindow* MessageBoxParent() {
  // The innermost modal dialog owns the box: given to the main window, the box would
  // bring that window up over the dialog the operator is working in when it closes.
  for (auto it = wxTopLevelWindows.rbegin(); it != wxTopLevelWindows.rend(); ++it) {
    auto* dialog = dynamic_cast<wxDialog*>(*it);
    if (dialog && dialog->IsModal() && dialog->IsShown()) return dialog;
  }
  return wxGetActiveWindow();
}

int WxMessageBox(const std::string& text, const std::string& caption, unsigned type) {
  long style = 0;
  const unsigned buttons = type & ui::MB_TYPEMASK;
  switch (buttons) {
    case ui::MB_OKCANCEL:
    case ui::MB_RETRYCANCEL:
      style = wxOK | wxCANCEL;
      break;
    case ui::MB_YESNO:
      style = wxYES_NO;
      break;
    case ui::MB_YESNOCANCEL:
    case ui::MB_ABORTRETRYIGNORE:
      style = wxYES_NO | wxCANCEL;
      break;
    default:
      style = wxOK;
      break;
  }
  switch (type & 0xF0) {
    case ui::MB_ICONERROR:
      style |= wxICON_ERROR;
      break;
    case ui::MB_ICONQUESTION:
      style |= wxICON_QUESTION;
      break;
    case ui::MB_ICONWARNING:
      style |= wxICON_WARNING;
      break;
    case ui::MB_ICONINFORMATION:
      style |= wxICON_INFORMATION;
      break;
    default:
      break;
  }
  wxMessageDialog box(MessageBoxParent(), ToWx(text), ToWx(caption), style);
  if (buttons == ui::MB_RETRYCANCEL) box.SetOKCancelLabels("&Retry", wxID_CANCEL);
  if (buttons == ui::MB_ABORTRETRYIGNORE) box.SetYesNoCancelLabels("&Abort", "&Retry", "&Ignore");
  const int answer = box.ShowModal();
  switch (answer) {
    case wxID_OK:
      return buttons == ui::MB_RETRYCANCEL ? ui::IDRETRY : ui::IDOK;
    case wxID_YES:
      return buttons == ui::MB_ABORTRETRYIGNORE ? ui::IDABORT : ui::IDYES;
    case wxID_NO:
      return buttons == ui::MB_ABORTRETRYIGNORE ? ui::IDRETRY : ui::IDNO;
    default:
      return buttons == ui::MB_ABORTRETRYIGNORE ? ui::IDIGNORE : ui::IDCANCEL;
  }
}

// ---- construction ------------------------------------------------------------------------------------

CScanDlg::CScanDlg(wxWindow* parent)
    : wxFrame(parent, wxID_ANY, kCaption, wxDefaultPosition, wxSize(1100, 640)) {
  m_pTarget = WxMessageTarget::Create([this](unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                             bool) { return OnWindowMessage(message, wParam, lParam); });
  m_pTimers = std::make_unique<CMainDlgTimers>(*this);
  m_pCore = std::make_unique<CScanDlgCore>(*this, m_pTarget.get());
  m_pCore->m_InitPortLib = [] { return CScanDataPort::InitPortLib(nullptr); };
  m_pSystemEvents = CreateSystemEvents();
  BuildMenu();
  BuildControls();

  Bind(wxEVT_CLOSE_WINDOW, &CScanDlg::OnClose, this);
  Bind(wxEVT_CHAR_HOOK, &CScanDlg::OnCharHook, this);
  Bind(wxEVT_TIMER, &CScanDlg::OnTimer, this);
  Bind(wxEVT_MAXIMIZE, &CScanDlg::OnMaximize, this);

  m_pGuiServer = std::make_unique<CScannerGuiServer>(
      CScannerGuiServer::Handlers{[target = m_pTarget] { return target->send(kRaiseHostMessage, 0, 0) != 0; },
                                  [target = m_pTarget] { target->send(kRaiseWindowMessage, 0, 0); }});
}

CScanDlg::~CScanDlg() {
  // No worker reaches the window from here on; the logic stops its threads.
  StopSystemEvents();
  m_pTarget->Detach();
  m_pGuiServer.reset();
  if (m_pStatusDlg) DestroyStatusDlg();
  for (auto& [id, timer] : m_Timers) timer->Stop();
  m_pCore.reset();
  m_pTimers.reset();
  if (wxPersistenceManager::Get().Find(this)) wxPersistenceManager::Get().SaveAndUnregister(this);
}

platform::Window* CScanDlg::MessageTarget() const { return m_pTarget.get(); }

int CScanDlg::MenuItemId(int command) {
  for (std::size_t i = 0; i < std::size(kCommands); ++i)
    if (kCommands[i] == command) return kFirstMenuItemId + static_cast<int>(i);
  return wxID_ANY;
}

void CScanDlg::BuildMenu() {
  auto* file = new wxMenu;
  file->Append(MenuItemId(ID_APP_EXIT), "&Exit");
  auto* tools = new wxMenu;
  tools->Append(MenuItemId(ID_TOOLS_PROFILE_EDITOR), "&Profile Editor...");
  tools->Append(MenuItemId(ID_TOOLS_QUILLMARK), "&Quillmark...");
  tools->Append(MenuItemId(ID_TOOLS_LASER_AUTO_ONOFF), "&Laser Auto ON/OFF Settings...");
  tools->AppendSeparator();
  tools->Append(MenuItemId(ID_TOOLS_CAROUSEL_CHECK), "&Carousel Check ...");
  tools->AppendSeparator();
  tools->Append(MenuItemId(ID_TOOLS_UNLOCK_DOOR), "&Unlock Door");
  tools->Append(MenuItemId(ID_TOOLS_RESET_CALIB_WARNINGS), "Reset Calibration &Warnings");
  tools->Append(MenuItemId(ID_TOOLS_EXT_LASER_CALIB), "&Extended Laser Calibration...");
  auto* help = new wxMenu;
  help->Append(MenuItemId(ID_HELP_LOG_FILE_FINDER), "Log &File Finder...");
  help->AppendSeparator();
  help->Append(MenuItemId(ID_HELP_ONLINE_HELP), "&OnLine Help");
  help->Append(MenuItemId(ID_HELP_TECH_SUPPORT), "&Technical Support");
  help->Append(MenuItemId(ID_APP_ABOUT), "&About");
  auto* bar = new wxMenuBar;
  bar->Append(file, "&File");
  bar->Append(tools, "&Tools");
  bar->Append(help, "&Help");
  SetMenuBar(bar);
  Bind(wxEVT_MENU, &CScanDlg::OnMenu, this, kFirstMenuItemId, kFirstMenuItemId + std::size(kCommands) - 1);
  Bind(wxEVT_UPDATE_UI, &CScanDlg::OnUpdateMenu, this, kFirstMenuItemId,
       kFirstMenuItemId + std::size(kCommands) - 1);
}

void CScanDlg::BuildControls() {
  auto* panel = new wxPanel(this);
  auto* top = new wxStaticBoxSizer(wxHORIZONTAL, panel);
  wxWindow* box = top->GetStaticBox();
  const auto label = [box](const char* text) { return new wxStaticText(box, wxID_ANY, text); };
  m_StartSlot = new wxChoice(box, IDC_START_SLOT);
  m_EndSlot = new wxChoice(box, IDC_END_SLOT);
  m_Profile = new wxChoice(box, IDC_PROFILE, wxDefaultPosition, wxSize(220, -1), 0, nullptr, wxCB_SORT);
  m_Operator = new wxTextCtrl(box, IDC_OPERATOR, "", wxDefaultPosition, wxSize(200, -1));
  top->Add(label("St&art slot:"), 0, wxALIGN_CENTER_VERTICAL | wxALL, 4);
  top->Add(m_StartSlot, 0, wxALIGN_CENTER_VERTICAL | wxALL, 4);
  top->Add(label("E&nd slot:"), 0, wxALIGN_CENTER_VERTICAL | wxALL, 4);
  top->Add(m_EndSlot, 0, wxALIGN_CENTER_VERTICAL | wxALL, 4);
  top->Add(label("Profile:"), 0, wxALIGN_CENTER_VERTICAL | wxALL, 4);
  top->Add(m_Profile, 0, wxALIGN_CENTER_VERTICAL | wxALL, 4);
  top->AddStretchSpacer();
  top->Add(label("&Operator:"), 0, wxALIGN_CENTER_VERTICAL | wxALL, 4);
  top->Add(m_Operator, 0, wxALIGN_CENTER_VERTICAL | wxALL, 4);

  auto* gridBox = new wxStaticBoxSizer(wxVERTICAL, panel);
  m_Grid = new CCarouselCfgGrid(gridBox->GetStaticBox(), IDC_GRID);
  m_Grid->EstimateChanged = [this] { m_pCore->UpdateStatusBar(true); };
  gridBox->Add(m_Grid, 1, wxEXPAND | wxALL, 2);

  auto* bottom = new wxBoxSizer(wxHORIZONTAL);
  m_Status = new wxTextCtrl(panel, IDC_STATUS, "", wxDefaultPosition, wxSize(-1, 64),
                            wxTE_MULTILINE | wxTE_READONLY);
  m_Scan = new wxButton(panel, wxID_OK, "&Scan...");
  m_Scan->Disable();
  bottom->Add(m_Status, 1, wxEXPAND | wxALL, 4);
  bottom->Add(m_Scan, 0, wxALIGN_BOTTOM | wxALL, 4);

  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(top, 0, wxEXPAND | wxALL, 4);
  sizer->Add(gridBox, 1, wxEXPAND | wxLEFT | wxRIGHT, 4);
  sizer->Add(bottom, 0, wxEXPAND);
  panel->SetSizer(sizer);

  wxStatusBar* bar = CreateStatusBar(kPaneCount);
  if (!bar) {
    LogError("Failed to create status bar");
  } else {
    const int widths[kPaneCount] = {120, 130, -1, 210, 210};
    bar->SetStatusWidths(kPaneCount, widths);
    const char* labels[kPaneCount] = {
        "Compress: ", "Split/Rotate: ", "Naming: ", "Total file size: ", "Total run time: "};
    for (int i = 0; i < kPaneCount; ++i) bar->SetStatusText(labels[i], i);
  }

  m_StartSlot->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) {
    long slot = 0;
    if (m_StartSlot->GetStringSelection().ToLong(&slot)) m_pCore->OnStartSlotChanged(static_cast<int>(slot));
  });
  m_EndSlot->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) {
    long slot = 0;
    if (m_EndSlot->GetStringSelection().ToLong(&slot)) m_pCore->OnEndSlotChanged(static_cast<int>(slot));
  });
  m_Profile->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) {
    m_pCore->OnProfileSelected(FromWx(m_Profile->GetStringSelection()));
  });
  m_Scan->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { m_pCore->OnOK(); });
}

// ---- running ------------------------------------------------------------------------------------------

int CScanDlg::DoModal() {
  if (m_pGuiServer && !m_pGuiServer->Start())
    LogDebug(1, "The desktop's scanner window channel is held by another window.");
  // A smaller screen (1024x768) than the window's first size: the window takes the screen.
  const wxRect screen = wxGetClientDisplayRect();
  SetSize(std::min(GetSize().x, screen.width), std::min(GetSize().y, screen.height));
  Centre();
  WindowPlacement::RegisterAndRestore(this, kPlacementName);
  const wxSize size = GetSize();
  m_nMinWidth = size.x;
  m_nMinHeight = size.y;
  Show();
  wxWindowDisabler others(this);
  StartSystemEvents();
  m_pCore->OnInitDialog();
  if (!m_bEndRequested) {
    wxGUIEventLoop loop;
    m_pLoop = &loop;
    if (m_WhenRunning) CallAfter([this] { m_WhenRunning(); });
    loop.Run();
    m_pLoop = nullptr;
  }
  StopSystemEvents();
  // The window is done: nothing reaches it any more, so the channel's thread cannot wait
  // for it while it is stopped.
  m_pTarget->Detach();
  if (m_pGuiServer) m_pGuiServer->Stop();
  Hide();
  return m_nEndCode;
}

// Clock and device changes reach the logic on this thread, as the system's broadcasts would.
void CScanDlg::StartSystemEvents() {
  if (!m_pSystemEvents || m_bSystemEvents) return;
  m_bSystemEvents = true;
  const bool started = m_pSystemEvents->Start(
      [this] {
        CallAfter([this] {
          if (m_bSystemEvents) m_pCore->OnTimeChange();
        });
      },
      [this](unsigned eventType, bool deviceInterface, const std::string& classId) {
        CallAfter([this, eventType, deviceInterface, classId] {
          if (m_bSystemEvents) m_pCore->OnDeviceChange(eventType, deviceInterface, classId);
        });
      });
  if (!started) LogDebug(1, "Regist <ScanDataPort> DeviceNotification failed: %d\n", errno);
}

void CScanDlg::StopSystemEvents() {
  if (!m_bSystemEvents) return;
  m_bSystemEvents = false;  // what is still queued is dropped
  m_pSystemEvents->Stop();
}

void CScanDlg::EndDialog(int code) {
  m_bEndRequested = true;
  m_nEndCode = code;
  if (m_pLoop) m_pLoop->Exit(code);
}

void CScanDlg::BringToFront() {
  if (IsIconized()) Iconize(false);
  Show();
  Raise();
}

std::intptr_t CScanDlg::OnWindowMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  switch (message) {
    case kRaiseHostMessage:
      for (wxWindow* w : wxTopLevelWindows) {
        auto* top = dynamic_cast<wxTopLevelWindow*>(w);
        if (top && top != this && top->GetTitle() == kHostWindowTitle) {
          top->Raise();
          return 1;
        }
      }
      return 0;
    case kRaiseWindowMessage:
      BringToFront();
      return 0;
    default:
      return m_pCore->OnMessage(message, wParam, lParam);
  }
}

void CScanDlg::OnClose(wxCloseEvent& event) {
  // Every close ends through the Exit routine, which the busy window refuses.
  if (event.CanVeto()) event.Veto();
  if (!m_bEndRequested) m_pCore->OnClose();
}

void CScanDlg::OnCharHook(wxKeyEvent& event) {
  if (CSplashWnd::PreTranslateAppMessage(event)) return;
  // Escape belongs to the control with the keyboard (a cell editor or an open list);
  // the window itself ends only through Exit and its close box.
  event.Skip();
}

void CScanDlg::OnMenu(wxCommandEvent& event) { m_pCore->OnCommand(CommandOfItem(event.GetId())); }

void CScanDlg::OnUpdateMenu(wxUpdateUIEvent& event) {
  event.Enable(m_pCore->IsCommandEnabled(CommandOfItem(event.GetId())));
}

void CScanDlg::OnTimer(wxTimerEvent& event) {
  if (m_pTimers) m_pTimers->OnTimer(static_cast<unsigned>(event.GetId()));
}

void CScanDlg::OnMaximize(wxMaximizeEvent& event) {
  event.Skip();
  m_Grid->RunMenuCommand(CCarouselCfgGrid::kMenuFitColumns);
}

// ---- IScanDlgView --------------------------------------------------------------------------------------

void CScanDlg::ShowStatusText(const std::string& text) { m_Status->ChangeValue(StatusText(text)); }

void CScanDlg::EnableScanButton(bool enable) { m_Scan->Enable(enable); }

void CScanDlg::SetScanCaption(const std::string& caption) {
  m_Scan->SetLabel(ToWx(caption));
  // The caption's width changes with the slots: the row makes room for it now.
  m_Scan->GetParent()->Layout();
}

void CScanDlg::EnableSlotLists(bool enable) {
  m_StartSlot->Enable(enable);
  m_EndSlot->Enable(enable);
}

namespace {
void FillSlots(wxChoice* list, int first, int last, int selected) {
  list->Clear();
  for (int slot = first; slot <= last; ++slot) list->Append(wxString::Format("%d", slot));
  if (selected >= first && selected <= last) list->SetSelection(selected - first);
}
}  // namespace

void CScanDlg::FillStartSlotList(int first, int last, int selected) {
  FillSlots(m_StartSlot, first, last, selected);
}

void CScanDlg::FillEndSlotList(int first, int last, int selected) {
  FillSlots(m_EndSlot, first, last, selected);
}

void CScanDlg::FillProfileList(const std::vector<std::string>& names, const std::string& selected) {
  m_Profile->Clear();
  for (const std::string& name : names) m_Profile->Append(ToWx(name));
  m_Profile->SetStringSelection(ToWx(selected));
}

void CScanDlg::SetStatusPane(StatusPane pane, const std::string& text) {
  if (wxStatusBar* bar = GetStatusBar()) bar->SetStatusText(ToWx(text), pane);
}

std::string CScanDlg::OperatorName() const { return FromWx(m_Operator->GetValue()); }

CarouselGridModel& CScanDlg::GridModel() { return m_Grid->Model(); }

void CScanDlg::GridSetCurrentProfile(tagScanCfgStruct* profile, bool applyToAllSlots) {
  m_Grid->SetCurrentProfile(profile, applyToAllSlots);
}

void CScanDlg::GridChangeSlotRange(int first, int last) { m_Grid->ChangeSlotRange(first, last); }

void CScanDlg::GridRefreshAll() { m_Grid->RefreshRows(false, false); }

int CScanDlg::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
  if (IsShown()) Raise();
  return ui::messageBox(text, caption, type);
}

void CScanDlg::ShowSplash() {
  CSplashWnd::EnableSplashScreen(true);
  CSplashWnd::ShowSplashScreen(this);
}

void CScanDlg::HideSplash() { CSplashWnd::HideSplashScreen(); }

bool CScanDlg::StartTimer(int id, unsigned milliseconds) {
  if (id == CMainDlgTimers::kKeepAliveTimerId) return m_pTimers->StartKeepAliveTimer();
  if (id == CMainDlgTimers::kRedLaserCalibTimerId) return m_pTimers->StartRedLaserCalibTimer(milliseconds);
  return SetTimer(static_cast<unsigned>(id), milliseconds);
}

bool CScanDlg::StopTimer(int id) {
  KillTimer(static_cast<unsigned>(id));
  // The timer logic keeps its own two timers and says whether they still run.
  if (id == CMainDlgTimers::kKeepAliveTimerId) return m_pTimers->KeepAliveTimer() < 0;
  if (id == CMainDlgTimers::kRedLaserCalibTimerId) return m_pTimers->RedLaserCalibTimer() < 0;
  return true;
}

void CScanDlg::BeginWaitCursor() { wxBeginBusyCursor(); }

void CScanDlg::EndWaitCursor() { wxEndBusyCursor(); }

int CScanDlg::RunConnectFailedDlg(const std::string& message) {
  CConnectToScannerFailedDlg dialog(this);
  dialog.m_strMessage = message;
  return dialog.DoModal();
}

ProfileEditResult CScanDlg::RunProfileEditor(CCarouselCfgProfileMap& map, const std::string& current) {
  CCfgProfileEditDlg dialog(&map, current, this);
  ProfileEditResult result;
  result.result = dialog.ShowModal() == wxID_OK ? ui::IDOK : ui::IDCANCEL;
  result.defaultChanged = dialog.DefaultProfileChanged();
  result.listChanged = dialog.ProfileListChanged();
  result.currentChanged = dialog.CurrentProfileChanged();
  return result;
}

bool CScanDlg::CreateStatusDlg(run::CScanMgr& manager) {
  RunMainWindowHooks hooks;
  hooks.SetReinitAfterRun = [this] { m_pCore->m_bReinitAfterRun = true; };
  hooks.IsSaverAutoTasksEnabled = [this] { return m_pCore->m_LPSSettings.EnableSaverAutoTasks != 0; };
  hooks.GetScannerType = [this](bool skip) { return m_pCore->GetScannerType(skip); };
  hooks.SetLPSTimer = [this](int timer, bool set, int elapse) {
    m_pTimers->SetLPSTimer(static_cast<unsigned>(timer), set, static_cast<unsigned>(std::max(elapse, 0)));
  };
  m_pStatusDlg = new CRunProgressDlg(this, manager, std::move(hooks));
  return true;
}

void CScanDlg::RunStatusDlg() {
  if (m_pStatusDlg) m_pStatusDlg->DoModal();
}

void CScanDlg::DestroyStatusDlg() {
  if (!m_pStatusDlg) return;
  m_pStatusDlg->Destroy();
  m_pStatusDlg = nullptr;
}

void CScanDlg::RunCheckCarouselDlg(run::CScanMgr& manager, int first, int last) {
  CCheckCarouselDlg dialog(this, m_Grid, first, last, m_pCore->m_pScanCtrl.get(), &manager,
                           !m_pCore->m_bOffline && !m_pCore->m_bBusy);
  dialog.DoModal();
}

void CScanDlg::RunAboutDlg() {
  CAboutDlg dialog(this, m_pCore->m_pScanCtrl.get(), m_pCore->m_bOffline, m_pCore->m_bBusy);
  dialog.ShowModal();
}

bool CScanDlg::RunLaserPowerSaveTaskDlg(LaserPowerSaverSettings& settings, bool& created) {
  created = true;
  CLaserPwrSaveTaskDlg dialog(&settings, *m_pTimers, this);
  m_pLPSTaskDlg = &dialog;
  const bool changed = dialog.ShowModal() == wxID_OK && dialog.Changed();
  m_pLPSTaskDlg = nullptr;
  return changed;
}

void CScanDlg::RunExtendedLaserCalibration() {
  IScanCtrl* scanCtrl = m_pCore->m_pScanCtrl.get();
  ExLaserCalibCommand(*this, scanCtrl, [this, scanCtrl] {
    CExLaserCalibMsgDlg dialog(this, scanCtrl, "Calibration is in progress");
    dialog.ShowModal();
  });
}

void CScanDlg::ArmDailyLpsTimers() {
  m_pTimers->SetLPSTimer(CMainDlgTimers::kDailyOnTimerId, true, 0);
  m_pTimers->SetLPSTimer(CMainDlgTimers::kDailyOffTimerId, true, 0);
}

void CScanDlg::SetNonUseLpsTimer(bool arm) {
  m_pTimers->SetLPSTimer(CMainDlgTimers::kNonUseOffTimerId, arm, 0);
}

void CScanDlg::StopLpsTimers() { m_pTimers->StopAllTimers(); }

void CScanDlg::ResetLpsTasks(bool keepNonUse) { m_pTimers->ResetLPSTasks(keepNonUse); }

void CScanDlg::LpsSettingsChanged(const LaserPowerSaverSettings& settings) {
  m_pTimers->LPSSettings() = settings;
}

bool CScanDlg::RedLaserCalibrating() { return m_pTimers->IsRedLaserCalibrating(); }

void CScanDlg::ScanCtrlChanged(IScanCtrl* scanCtrl) { m_pTimers->SetScanCtrl(scanCtrl); }

// ---- IScanDlgHooks -------------------------------------------------------------------------------------

bool CScanDlg::IsOffline() const { return m_pCore->m_bOffline; }
bool CScanDlg::IsBusy() const { return m_pCore->m_bBusy; }
bool CScanDlg::IsTaskRunning() const { return m_pCore->m_bTaskRunning; }

RunDlgState CScanDlg::RunProgressState() const {
  if (!m_pStatusDlg) return RunDlgState::none;
  return m_pStatusDlg->IsBusy() ? RunDlgState::busy : RunDlgState::idle;
}

int CScanDlg::GetScannerType(bool bSkipWhenBusy) { return m_pCore->GetScannerType(bSkipWhenBusy); }

void CScanDlg::OnScannerStateMsg(int bForce, tagScannerState state) {
  m_pCore->OnScannerStateMsg(static_cast<std::uintptr_t>(bForce), state);
}

void CScanDlg::SetStatusText(const std::string& text) { m_pCore->SetStatusText(text); }

bool CScanDlg::CheckDoorClosed(bool bUnlock) { return m_pCore->CheckDoorClosed(bUnlock); }

void CScanDlg::SetExLaserCalib(bool on) { m_pCore->m_bExLaserCalib = on; }

bool CScanDlg::SetTimer(unsigned id, unsigned elapseMs) {
  auto& timer = m_Timers[id];
  if (!timer) timer = std::make_unique<wxTimer>(this, static_cast<int>(id));
  return timer->Start(static_cast<int>(std::min<unsigned>(elapseMs, 0x7FFFFFFF)));
}

bool CScanDlg::KillTimer(unsigned id) {
  const auto found = m_Timers.find(id);
  if (found == m_Timers.end() || !found->second->IsRunning()) return false;
  found->second->Stop();
  return true;
}

void CScanDlg::PostToUiThread(std::function<void()> f) { CallAfter(std::move(f)); }

std::unique_ptr<IAutoOffNotice> CScanDlg::CreateAutoOffNotice(const std::string& text) {
  wxWindow* parent = this;
  if (m_pStatusDlg)
    parent = m_pStatusDlg;
  else if (m_pLPSTaskDlg)
    parent = m_pLPSTaskDlg;
  return std::make_unique<CLaserAutoOffMsgDlg>(*m_pTimers, text, parent);
}

// ---- the system's broadcasts ---------------------------------------------------------------------------

namespace {

class SystemEvents : public ISystemEvents {
 public:
  bool Start(TimeChangeFn onTimeChange, DeviceChangeFn onDeviceChange) override {
    if (!m_Clock.Start(std::move(onTimeChange))) LogDebug(1, "The system clock cannot be watched: %d", errno);
    // Every change is a device-interface change of the class the watch names.
    return m_Devices.Start(
        [onDeviceChange = std::move(onDeviceChange)](const platform::syswatch::DeviceChange& c) {
          onDeviceChange(c.action == platform::syswatch::DeviceAction::Arrival ? DBT_DEVICEARRIVAL
                                                                               : DBT_DEVICEREMOVECOMPLETE,
                         true, c.classId);
        });
  }
  void Stop() override {
    m_Devices.Stop();
    m_Clock.Stop();
  }

 private:
  platform::syswatch::ClockWatch m_Clock;
  platform::syswatch::DeviceWatch m_Devices;
};

}  // namespace

std::unique_ptr<ISystemEvents> CreateSystemEvents() { return std::make_unique<SystemEvents>(); }

}  // namespace lumetra::maindlg
