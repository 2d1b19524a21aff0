#include "run/ui/CheckCarouselDlg.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/gauge.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <chrono>
#include <stdexcept>

#include "Jotwell/Logger.h"
#include "config/ui/CarouselCfgGrid.h"
#include "platform/com.h"
#include "run/ComError.h"
#include "run/RunStatus.h"
#include "run/ScanMgr.h"
#include "run/ui/WxMessageTarget.h"

namespace lumetra {

namespace {

// How long the dialog, going while its check still browses, waits for the check thread.
constexpr std::chrono::seconds kCheckEndWait{30};

wxString ToWx(const std::string& s) {
  wxString w = wxString::FromUTF8(s.data(), s.size());
  if (w.empty() && !s.empty()) w = wxString(s.data(), wxConvISO8859_1, s.size());
  return w;
}

}  // namespace

CCheckCarouselDlg::CCheckCarouselDlg(wxWindow* parent, CCarouselCfgGrid* grid, int startSlot, int endSlot,
                                     IScanCtrl* scanCtrl, run::CScanMgr* scanMgr, bool checkAllowed)
    : wxDialog(parent, wxID_ANY, "Check Carousel / Read Barcode"),
      m_pGrid(grid),
      m_pScanCtrl(scanCtrl),
      m_pScanMgr(scanMgr),
      m_bCheckAllowed(checkAllowed),
      m_Model(startSlot, endSlot) {
  SetName("CheckCarousel");
  m_pTarget =
      WxMessageTarget::Create([this](unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                     bool sent) { return OnCheckMessage(message, wParam, lParam, sent); });

  const int gap = FromDIP(6);
  auto* top = new wxBoxSizer(wxVERTICAL);
  m_ActionInfo = new wxStaticText(this, IDC_CHECK_ACTION_INFO, wxEmptyString);
  top->Add(m_ActionInfo, 0, wxEXPAND | wxALL, 2 * gap);
  m_ReadBarcode = new wxCheckBox(this, IDC_CHECK_READ_BARCODE, "Read &barcode");
  top->Add(m_ReadBarcode, 0, wxLEFT | wxRIGHT, 2 * gap);
  m_ProgressInfo = new wxStaticText(this, IDC_CHECK_PROGRESS_INFO, wxEmptyString, wxDefaultPosition,
                                    FromDIP(wxSize(420, -1)), wxST_NO_AUTORESIZE);
  top->Add(m_ProgressInfo, 0, wxEXPAND | wxALL, 2 * gap);
  auto* bar = new wxBoxSizer(wxHORIZONTAL);
  m_Progress = new wxGauge(this, IDC_CHECK_PROGRESS, 100);
  bar->Add(m_Progress, 1, wxALIGN_CENTRE_VERTICAL | wxRIGHT, gap);
  m_DoneText = new wxStaticText(this, IDC_CHECK_DONE_TEXT, "0 %", wxDefaultPosition, FromDIP(wxSize(50, -1)),
                                wxST_NO_AUTORESIZE);
  bar->Add(m_DoneText, 0, wxALIGN_CENTRE_VERTICAL);
  top->Add(bar, 0, wxEXPAND | wxLEFT | wxRIGHT, 2 * gap);
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  m_CheckButton = new wxButton(this, IDC_CHECK_START, "Chec&k");
  m_CancelButton = new wxButton(this, wxID_CANCEL, "Cancel");
  buttons->Add(m_CheckButton, 0, wxRIGHT, gap);
  buttons->Add(m_CancelButton, 0);
  top->Add(buttons, 0, wxALIGN_RIGHT | wxALL, 2 * gap);
  SetSizerAndFit(top);

  Bind(wxEVT_INIT_DIALOG, &CCheckCarouselDlg::OnInitDialog, this);
  Bind(wxEVT_CLOSE_WINDOW, &CCheckCarouselDlg::OnCloseWindow, this);
  m_CheckButton->Bind(wxEVT_BUTTON, &CCheckCarouselDlg::OnCheck, this);
  Bind(wxEVT_BUTTON, &CCheckCarouselDlg::OnCancel, this, wxID_CANCEL);
  m_ReadBarcode->Bind(wxEVT_CHECKBOX, &CCheckCarouselDlg::OnReadBarcode, this);
}

CCheckCarouselDlg::~CCheckCarouselDlg() {
  DetachFromCheck();
  if (m_Model.IsBusy()) LockDoor(false);  // the check never reported its end
}

int CCheckCarouselDlg::DoModal() {
  ShowModal();
  return wxID_CANCEL;
}

void CCheckCarouselDlg::OnInitDialog(wxInitDialogEvent& event) {
  event.Skip();
  m_Progress->SetValue(0);
  TransferTexts();
  UpdateActionInfo();
  m_CheckButton->Enable(m_bCheckAllowed);
  CentreOnParent();
}

void CCheckCarouselDlg::UpdateActionInfo() {
  m_ActionInfo->SetLabel(ToWx(m_Model.ActionInfo(m_ReadBarcode->GetValue())));
  GetSizer()->SetSizeHints(this);
}

void CCheckCarouselDlg::OnReadBarcode(wxCommandEvent&) { UpdateActionInfo(); }

void CCheckCarouselDlg::LockDoor(bool lock) {
  if (!m_pScanCtrl) return;
  try {
    run::CheckScanCtrl(lock ? m_pScanCtrl->LockDoor() : m_pScanCtrl->UnLockDoor());
  } catch (const platform::com::ComError& e) {
    LogError("%s", run::FormatComError(e).c_str());
  }
}

void CCheckCarouselDlg::OnCheck(wxCommandEvent&) {
  if (m_Model.IsBusy()) return;
  const bool readBarcode = m_ReadBarcode->GetValue();
  LockDoor(true);
  m_Model.Begin(readBarcode);
  bool started = false;
  if (m_pScanMgr) {
    m_pScanMgr->RequestAbort(false, false);
    if (!m_bInstalled) {
      m_pPreviousStatusWindow = m_pScanMgr->SetStatusWindow(m_pTarget.get());
      m_bInstalled = true;
    }
    started = m_pScanMgr->StartCheckCarousel(m_Model.StartSlot(), m_Model.EndSlot(), readBarcode);
  }
  if (!started) {
    // Nothing browses, so no end will come: the dialog ends the check itself.
    LogError("The carousel check could not be started.");
    m_Model.OnMessage(run::kCheckFailed, "The carousel check could not be started.", nullptr);
    OnCheckMessage(run::WM_CHECK_CAROUSEL, run::kCheckEnded, 0, true);
  }
  m_Progress->SetValue(m_Model.Percent());
  TransferTexts();
  m_CheckButton->Disable();
}

std::intptr_t CCheckCarouselDlg::OnCheckMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                                bool /*sent*/) {
  if (message == run::WM_SCANNER_STATUS_TEXT) return 0;  // the poll thread's status text: not shown here
  if (message != run::WM_CHECK_CAROUSEL) return 0;
  const char* text = wParam == run::kCheckFailed ? reinterpret_cast<const char*>(lParam) : nullptr;
  const auto* slot =
      wParam == run::kCheckSlot ? reinterpret_cast<const run::BrowsedSlotRecord*>(lParam) : nullptr;
  const CheckCarouselModel::MessageResult result = m_Model.OnMessage(wParam, text, slot);
  if (result.mark && m_pGrid) {
    try {
      m_pGrid->SetSlotEnabled(result.mark->slot, result.mark->used, &result.mark->slideId);
    } catch (const std::invalid_argument& e) {
      LogError("%s", e.what());
    }
  }
  if (result.finished) {
    if (m_pGrid) m_pGrid->RefreshRows(false, true);
    m_CancelButton->SetLabel("Close");
    m_CancelButton->Enable();
    LockDoor(false);
  }
  TransferTexts();
  return 0;
}

void CCheckCarouselDlg::OnCancel(wxCommandEvent&) {
  if (!m_Model.IsBusy()) {
    if (IsModal())
      EndModal(wxID_CANCEL);
    else
      Hide();
    return;
  }
  m_Model.RequestCancel();
  if (m_pScanMgr) m_pScanMgr->RequestAbort(true, false);
  m_CancelButton->Disable();
}

void CCheckCarouselDlg::OnCloseWindow(wxCloseEvent& event) {
  if (m_Model.IsBusy() && event.CanVeto()) {
    // Like Cancel: the check stops at its next slot and the dialog stays until it ends.
    event.Veto();
    wxCommandEvent cancel(wxEVT_BUTTON, wxID_CANCEL);
    OnCancel(cancel);
    return;
  }
  if (IsModal())
    EndModal(wxID_CANCEL);
  else
    Hide();
}

void CCheckCarouselDlg::TransferTexts() {
  m_ProgressInfo->SetLabel(ToWx(m_Model.ProgressInfo()));
  m_DoneText->SetLabel(ToWx(m_Model.DoneText()));
  m_Progress->SetValue(m_Model.Percent());
}

void CCheckCarouselDlg::DetachFromCheck() {
  if (!m_pTarget) return;
  m_pTarget->Detach();
  if (m_pScanMgr && m_bInstalled) {
    if (m_pScanMgr->GetStatusWindow() == m_pTarget.get())
      m_pScanMgr->SetStatusWindow(m_pPreviousStatusWindow);
    if (m_Model.IsBusy()) {
      LogWarning("Check Carousel closes while the check browses: aborting the check.");
      m_pScanMgr->RequestAbort(true, false);
    }
    if (!m_pScanMgr->WaitForCheckCarousel(kCheckEndWait)) {
      LogError("The carousel check did not end within %d s after its window closed.",
               static_cast<int>(kCheckEndWait.count()));
      WxMessageTarget::Retire(m_pTarget);
    }
  }
  m_bInstalled = false;
  m_pTarget.reset();
}

}  // namespace lumetra
