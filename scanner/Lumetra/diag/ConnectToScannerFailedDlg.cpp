#include "diag/ConnectToScannerFailedDlg.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include "diag/ConnectionFailedDiagnosticsDlg.h"
#include "platform/ui.h"

namespace lumetra {

CConnectToScannerFailedDlg::CConnectToScannerFailedDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Connect to K7431C Scanner") {
  auto* top = new wxBoxSizer(wxVERTICAL);
  m_Text = new wxStaticText(this, IDC_CONNECT_FAILED_TEXT, wxEmptyString);
  top->Add(m_Text, 1, wxEXPAND | wxALL, FromDIP(12));
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  auto* yes = new wxButton(this, wxID_YES, "Yes");
  auto* no = new wxButton(this, wxID_NO, "No");
  auto* diagnostics = new wxButton(this, IDC_DIAGNOSTICS, "Diagnostics");
  buttons->Add(yes, 0, wxRIGHT, FromDIP(6));
  buttons->Add(no, 0, wxRIGHT, FromDIP(6));
  buttons->Add(diagnostics, 0);
  top->Add(buttons, 0, wxALIGN_CENTRE | wxLEFT | wxRIGHT | wxBOTTOM, FromDIP(12));
  SetSizer(top);
  yes->SetDefault();
  yes->SetFocus();

  Bind(wxEVT_INIT_DIALOG, &CConnectToScannerFailedDlg::OnInitDialog, this);
  yes->Bind(wxEVT_BUTTON, &CConnectToScannerFailedDlg::OnYes, this);
  no->Bind(wxEVT_BUTTON, &CConnectToScannerFailedDlg::OnNo, this);
  diagnostics->Bind(wxEVT_BUTTON, &CConnectToScannerFailedDlg::OnDiagnostics, this);
}

int CConnectToScannerFailedDlg::DoModal() {
  const int r = ShowModal();
  return r == wxID_YES ? platform::ui::IDYES : r == wxID_NO ? platform::ui::IDNO : platform::ui::IDCANCEL;
}

void CConnectToScannerFailedDlg::OnInitDialog(wxInitDialogEvent& event) {
  event.Skip();  // the base initialisation
  m_Text->SetLabel(ToWxText(m_strMessage));
  m_Text->Wrap(FromDIP(420));
  GetSizer()->SetSizeHints(this);
  CentreOnParent();
}

void CConnectToScannerFailedDlg::OnDiagnostics(wxCommandEvent&) {
  // Runs and ends inside this call; this dialog stays open.
  CConnectionFailedDiagnosticsDlg diagnostics(this);
  diagnostics.DoModal();
}

void CConnectToScannerFailedDlg::OnYes(wxCommandEvent&) { Finish(wxID_YES); }
void CConnectToScannerFailedDlg::OnNo(wxCommandEvent&) { Finish(wxID_NO); }

void CConnectToScannerFailedDlg::Finish(int code) {
  if (IsModal())
    EndModal(code);
  else {
    SetReturnCode(code);
    Hide();
  }
}

}  // namespace lumetra
