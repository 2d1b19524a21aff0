#include "run/ui/RunProgressDlg.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "platform/ui.h"
#include "run/ScanDataProc.h"
#include "run/ScanMgr.h"
#include "run/ui/WxMessageTarget.h"

namespace lumetra {

namespace ui = platform::ui;
using run::CScanMgr;

namespace {

constexpr const char* kLoggingKey = "Software\\Tarsel\\ZevazOdizo\\Scanner\\Logging\\";
// How long the dialog, going while its run still works, waits for the run thread.
constexpr std::chrono::seconds kRunEndWait{30};

wxString ToWx(const std::string& s) {
  wxString w = wxString::FromUTF8(s.data(), s.size());
  if (w.empty() && !s.empty()) w = wxString(s.data(), wxConvISO8859_1, s.size());
  return w;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

}  // namespace

CRunProgressDlg::CRunProgressDlg(wxWindow* parent, run::CScanMgr& scanMgr, RunMainWindowHooks hooks)
    : wxDialog(parent, wxID_ANY, RunProgressModel::kCaption, wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      m_ScanMgr(scanMgr),
      m_Hooks(std::move(hooks)),
      m_Report("logfile", "logfile", "") {
  SetName("ScanProgress");
  m_Model.SetReportSink(
      [this](int category, const std::string& text) { m_Report.AddLog(category, text.c_str()); });
  m_pTarget =
      WxMessageTarget::Create([this](unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                     bool sent) { return OnRunMessage(message, wParam, lParam, sent); });

  const int gap = FromDIP(6);
  auto* top = new wxBoxSizer(wxVERTICAL);
  auto* slide = new wxFlexGridSizer(2, gap, gap);
  slide->AddGrowableCol(1);
  slide->Add(new wxStaticText(this, wxID_ANY, "Slot:"), 0, wxALIGN_CENTRE_VERTICAL);
  m_SlotNumber = new wxStaticText(this, IDC_SLOT_NUMBER, wxEmptyString);
  slide->Add(m_SlotNumber, 1, wxEXPAND);
  slide->Add(new wxStaticText(this, wxID_ANY, "Barcode:"), 0, wxALIGN_CENTRE_VERTICAL);
  m_Barcode = new wxStaticText(this, IDC_BARCODE, wxEmptyString);
  slide->Add(m_Barcode, 1, wxEXPAND);
  slide->Add(new wxStaticText(this, wxID_ANY, "File:"), 0, wxALIGN_CENTRE_VERTICAL);
  m_FileName = new wxStaticText(this, IDC_FILE_NAME, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                wxST_NO_AUTORESIZE);
  slide->Add(m_FileName, 1, wxEXPAND);
  top->Add(slide, 0, wxEXPAND | wxALL, 2 * gap);

  m_StatusText = new wxTextCtrl(this, IDC_STATUS_TEXT, wxEmptyString, wxDefaultPosition,
                                FromDIP(wxSize(520, 220)), wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP);
  top->Add(m_StatusText, 1, wxEXPAND | wxLEFT | wxRIGHT, 2 * gap);

  auto* bars = new wxFlexGridSizer(3, gap, gap);
  bars->AddGrowableCol(1);
  bars->Add(new wxStaticText(this, wxID_ANY, "Scan:"), 0, wxALIGN_CENTRE_VERTICAL);
  m_ScanProgress = new wxGauge(this, IDC_SCAN_PROGRESS, 100);
  bars->Add(m_ScanProgress, 1, wxEXPAND | wxALIGN_CENTRE_VERTICAL);
  m_ScanProgressText = new wxStaticText(this, IDC_SCAN_PROGRESS_TEXT, wxEmptyString, wxDefaultPosition,
                                        FromDIP(wxSize(240, -1)), wxST_NO_AUTORESIZE);
  bars->Add(m_ScanProgressText, 0, wxALIGN_CENTRE_VERTICAL);
  bars->Add(new wxStaticText(this, wxID_ANY, "Carousel:"), 0, wxALIGN_CENTRE_VERTICAL);
  m_CarouselProgress = new wxGauge(this, IDC_CAROUSEL_PROGRESS, 100);
  bars->Add(m_CarouselProgress, 1, wxEXPAND | wxALIGN_CENTRE_VERTICAL);
  m_CarouselProgressText = new wxStaticText(this, IDC_CAROUSEL_PROGRESS_TEXT, wxEmptyString,
                                            wxDefaultPosition, FromDIP(wxSize(240, -1)), wxST_NO_AUTORESIZE);
  bars->Add(m_CarouselProgressText, 0, wxALIGN_CENTRE_VERTICAL);
  top->Add(bars, 0, wxEXPAND | wxALL, 2 * gap);

  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  m_AbortButton = new wxButton(this, IDC_ABORT, "&Abort");
  m_ReportButton = new wxButton(this, IDC_VIEW_REPORT, "View &Report");
  m_CloseButton = new wxButton(this, wxID_OK, "Close");
  buttons->Add(m_AbortButton, 0, wxRIGHT, gap);
  buttons->Add(m_ReportButton, 0, wxRIGHT, gap);
  buttons->Add(m_CloseButton, 0);
  top->Add(buttons, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 2 * gap);
  SetSizerAndFit(top);
  SetEscapeId(wxID_OK);  // Escape asks to close like the Close button

  Bind(wxEVT_INIT_DIALOG, &CRunProgressDlg::OnInitDialog, this);
  Bind(wxEVT_CLOSE_WINDOW, &CRunProgressDlg::OnCloseWindow, this);
  m_AbortButton->Bind(wxEVT_BUTTON, &CRunProgressDlg::OnAbort, this);
  m_ReportButton->Bind(wxEVT_BUTTON, &CRunProgressDlg::OnViewReport, this);
  Bind(wxEVT_BUTTON, &CRunProgressDlg::OnClose, this, wxID_OK);
  Bind(wxEVT_BUTTON, &CRunProgressDlg::OnClose, this, wxID_CANCEL);
}

CRunProgressDlg::~CRunProgressDlg() { DetachFromRun(); }

int CRunProgressDlg::DoModal() {
  ShowModal();
  return m_nEndCode;
}

void CRunProgressDlg::OnInitDialog(wxInitDialogEvent& event) {
  event.Skip();
  CentreOnParent();
  InitRun();
}

bool CRunProgressDlg::InitRun() {
  CRegEdit reg(HKEY_LOCAL_MACHINE, kLoggingKey);
  m_pPreviousStatusWindow = m_ScanMgr.SetStatusWindow(m_pTarget.get());
  m_bInstalled = true;
  m_AbortButton->Enable();
  m_CloseButton->Disable();
  TransferTexts();

  m_strHtmlPath = reg.ReadString("HTMLLogPath", "");
  if (m_strHtmlPath.empty()) m_strHtmlPath = GetModuleDir() + "CarouselRunLog.htm";
  m_strXmlPath = reg.ReadString("XMLFilesPath", "");
  if (m_strXmlPath.empty()) m_strXmlPath = GetModuleDir() + "CarouselRunLog.xml";
  m_strDtdName = reg.ReadString("DTDFileName", "logfile");
  m_strXslName = reg.ReadString("XSLFileName", "logfile");
  LogInfo("HTML Log File Set to %s", m_strHtmlPath.c_str());
  LogInfo("XML, DTD and XSL File Path Set to %s", m_strXmlPath.c_str());

  m_Report.SetXslFile(m_strXslName.c_str());
  m_Report.SetDtdFile(m_strDtdName.c_str());
  try {
    m_Report.SetHtmlPath(m_strHtmlPath.c_str());
  } catch (const std::string& text) {
    // The run goes on; the page is then written beside the XML report, and the user is told.
    LogError("%s", text.c_str());
    m_Model.AppendStatus(text + " The report page is written beside the XML report.");
  }
  try {
    CReporter::CheckPath(FolderOf(m_strXmlPath).c_str());
  } catch (const std::string& text) {
    LogError("%s", text.c_str());
    m_Model.AppendStatus(text + " The run report cannot be written.");
  }
  m_Report.Open(m_strXmlPath.c_str(), RunProgressModel::kReportTitle);
  // "View Report" opens the page the report really writes.
  if (const std::string page = m_Report.GetHtmlFile(); !page.empty()) m_strHtmlPath = page;

  m_Model.SetBusy(true);
  m_bRunStarted = m_ScanMgr.StartCarouselRunThread();
  if (!m_bRunStarted) {
    const std::string text = "The carousel run could not be started.";
    LogError("%s", text.c_str());
    m_Report.AddLog(REPORT_ERROR, text.c_str());
    m_Model.AppendStatus(text);
    m_Model.SetBusy(false);
    m_AbortButton->Disable();
    m_CloseButton->Enable();
  }
  TransferTexts();
  return m_bRunStarted;
}

std::intptr_t CRunProgressDlg::OnRunMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                            bool /*sent*/) {
  switch (message) {
    case run::WM_SCANNER_STATUS_TEXT: {
      m_Model.OnStatusText(run::MessageText(lParam));
      break;
    }
    case run::WM_SCAN_STATUS_LINE:
      if (wParam <= 9)
        m_Model.OnStatusLine(static_cast<int>(wParam), lParam ? reinterpret_cast<const char*>(lParam) : "");
      break;
    case run::WM_SCAN_FILE_INFO:
      if (lParam) m_Model.OnNewSlide(*reinterpret_cast<const run::ScanFileRecord*>(lParam));
      break;
    case run::WM_RUN_ENDED:
      OnRunEnded(static_cast<int>(lParam));
      return 0;
    case run::WM_SLOT_RECORDED:
      m_Model.OnSlideCompleted();
      break;
    case run::WM_CAROUSEL_CHECKED:
      m_Model.OnTotalSlides(static_cast<int>(std::min<std::uintptr_t>(wParam, INT_MAX)));
      break;
    case run::WM_SCANDATA_PROGRESS: {
      // The run thread owns the flag; reading it whole is all this window needs.
      const bool scanStarted = m_ScanMgr.m_nScanStarted.load() != 0;
      if (const auto status = m_Model.OnScanData(static_cast<unsigned>(wParam), lParam, scanStarted))
        m_ScanMgr.SetDataStatus(*status);
      break;
    }
    default:
      return 0;
  }
  TransferTexts();
  return 0;
}

void CRunProgressDlg::OnRunEnded(int outcome) {
  m_AbortButton->Disable();
  RunProgressModel::RunEndInput input;
  input.outcome = outcome;
  if (outcome == 2)
    input.ejectFailedText = run::LoadResourceString(RunProgressModel::kEjectFailedTextId).value_or("");
  input.saverAutoTasks = m_Hooks.IsSaverAutoTasksEnabled && m_Hooks.IsSaverAutoTasksEnabled();
  if (input.saverAutoTasks && m_Hooks.GetScannerType) input.scannerType = m_Hooks.GetScannerType(true);
  input.adcReset = m_ScanMgr.IsADCReset();
  input.autoDisplayReport =
      CRegEdit(HKEY_CURRENT_USER, zeva::kScannerKey).ReadUInt("AutoDisplayScanReport", 1u);
  // Entries a full disk held back get a last chance before the run is over.
  m_Report.WritePending();
  input.reportIncomplete = m_Report.IncompleteText();
  const bool wasBusy = m_Model.IsBusy();
  const RunProgressModel::RunEndActions actions = m_Model.OnRunEnded(input);
  if (wasBusy) m_nEndCode = outcome;
  if (actions.reinitialize && m_Hooks.SetReinitAfterRun) m_Hooks.SetReinitAfterRun();
  if (actions.rearmLaserTimer && m_Hooks.SetLPSTimer) m_Hooks.SetLPSTimer(5, true, 0);
  TransferTexts();
  if (actions.showReport) ShowReport();
  if (!actions.attentionMessage.empty())
    ui::messageBox(actions.attentionMessage, RunProgressModel::kAttentionCaption,
                   ui::MB_OK | ui::MB_ICONWARNING);
  m_CloseButton->Enable();
}

void CRunProgressDlg::OnAbort(wxCommandEvent&) {
  const int answer = ui::messageBox(RunProgressModel::AbortQuestion(), RunProgressModel::kAbortCaption,
                                    ui::MB_YESNOCANCEL | ui::MB_ICONQUESTION);
  if (answer != ui::IDYES && answer != ui::IDNO) return;
  if (!m_Model.IsBusy()) return;  // the run ended while the question was open
  const bool afterCurrentScan = answer == ui::IDNO;
  m_ScanMgr.RequestAbort(true, afterCurrentScan);
  m_AbortButton->Disable();
  m_Model.AppendStatus(RunProgressModel::AbortLine(afterCurrentScan));
  TransferTexts();
}

void CRunProgressDlg::OnViewReport(wxCommandEvent&) { ShowReport(); }

void CRunProgressDlg::ShowReport() { ShowReportFile(m_strHtmlPath); }

void CRunProgressDlg::OnClose(wxCommandEvent&) {
  if (m_Model.IsBusy()) {
    ui::messageBox(RunProgressModel::kBusyText, RunProgressModel::kCaption,
                   ui::MB_OK | ui::MB_ICONINFORMATION);
    return;
  }
  if (IsModal())
    EndModal(wxID_OK);
  else
    Hide();
}

void CRunProgressDlg::OnCloseWindow(wxCloseEvent& event) {
  if (m_Model.IsBusy() && event.CanVeto()) {
    event.Veto();
    ui::messageBox(RunProgressModel::kBusyText, RunProgressModel::kCaption,
                   ui::MB_OK | ui::MB_ICONINFORMATION);
    return;
  }
  if (IsModal())
    EndModal(wxID_OK);
  else
    Hide();
}

void CRunProgressDlg::TransferTexts() {
  m_FileName->SetLabel(ToWx(m_Model.FileName()));
  m_FileName->SetToolTip(ToWx(m_Model.FullFileName()));
  m_Barcode->SetLabel(ToWx(m_Model.Barcode()));
  m_SlotNumber->SetLabel(ToWx(m_Model.SlotNumber()));
  m_ScanProgressText->SetLabel(ToWx(m_Model.ScanProgressText()));
  m_CarouselProgressText->SetLabel(ToWx(m_Model.CarouselProgressText()));
  m_ScanProgress->SetValue(m_Model.ScanBar());
  m_CarouselProgress->SetValue(m_Model.CarouselBar());
  const wxString status = ToWx(m_Model.StatusText());
  if (m_StatusText->GetValue() != status) {
    m_StatusText->ChangeValue(status);
    m_StatusText->ShowPosition(m_StatusText->GetLastPosition());  // the last line in view
  }
}

void CRunProgressDlg::DetachFromRun() {
  if (!m_pTarget) return;
  m_pTarget->Detach();
  if (m_bInstalled && m_ScanMgr.GetStatusWindow() == m_pTarget.get())
    m_ScanMgr.SetStatusWindow(m_pPreviousStatusWindow);
  m_bInstalled = false;
  if (m_bRunStarted) {
    if (m_Model.IsBusy()) {
      LogWarning("Scan Progress closes while the carousel run works: aborting the run.");
      m_ScanMgr.RequestAbort(true, false);
    }
    if (!m_ScanMgr.WaitForCarouselRun(kRunEndWait)) {
      // The run thread may still hold this window's target: it stays (answering nothing).
      LogError("The carousel run did not end within %d s after its progress window closed.",
               static_cast<int>(kRunEndWait.count()));
      WxMessageTarget::Retire(m_pTarget);
    }
  }
  m_pTarget.reset();
}

}  // namespace lumetra
