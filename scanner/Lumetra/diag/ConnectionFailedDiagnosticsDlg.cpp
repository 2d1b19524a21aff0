#include "diag/ConnectionFailedDiagnosticsDlg.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <vector>

#include "Jotwell/Logger.h"
#include "diag/ConnectionDiagnostics.h"

namespace lumetra {

wxString ToWxText(const std::string& bytes) {
  const wxString utf8 = wxString::FromUTF8(bytes.data(), bytes.size());
  if (!utf8.empty() || bytes.empty()) return utf8;
  return wxString::From8BitData(bytes.data(), bytes.size());
}

CConnectionFailedDiagnosticsDlg::CConnectionFailedDiagnosticsDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Connection failed diagnostics", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER) {
  // The edit fills the dialog but for a margin m; the Exit button sits centred below it,
  // m/2 from the edit and from the bottom. The sizer keeps it so on every resize.
  const int m = FromDIP(8);
  auto* top = new wxBoxSizer(wxVERTICAL);
  m_Edit = new wxTextCtrl(this, IDC_DIAGNOSTICS_TEXT, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                          wxTE_MULTILINE | wxTE_READONLY | wxVSCROLL);
  top->Add(m_Edit, 1, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, m);
  m_Exit = new wxButton(this, wxID_OK, "Exit");
  top->Add(m_Exit, 0, wxALIGN_CENTRE | wxTOP | wxBOTTOM, m / 2);
  SetSizer(top);
  SetMinSize(FromDIP(wxSize(320, 200)));
  SetSize(FromDIP(wxSize(640, 420)));
  m_Exit->SetDefault();
  SetEscapeId(wxID_OK);
  Bind(wxEVT_INIT_DIALOG, &CConnectionFailedDiagnosticsDlg::OnInitDialog, this);
}

int CConnectionFailedDiagnosticsDlg::DoModal() { return ShowModal(); }

void CConnectionFailedDiagnosticsDlg::OnInitDialog(wxInitDialogEvent& event) {
  event.Skip();  // the base initialisation
  const wxBusyCursor wait;
  CConnectionDiagnostics results;
  std::vector<std::string> lines;
  RunConnectionDiagnostics(results, lines);
  text_.clear();
  for (const std::string& line : lines) {
    text_ += line + "\r\n";
    LogInfo("Diagnostics: %s", line.c_str());
  }
  m_Edit->SetValue(ToWxText(text_));
  m_Edit->SetInsertionPoint(0);
  CentreOnParent();
}

}  // namespace lumetra
