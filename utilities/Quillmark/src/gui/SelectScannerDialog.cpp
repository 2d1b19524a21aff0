#include <wx/button.h>
#include <wx/sizer.h>

#include "Windows.h"

namespace quillmark {

SelectScannerDialog::SelectScannerDialog(wxWindow* parent, Global& g)
    : wxDialog(parent, wxID_ANY, "Select Scanner"), g_(g) {
  auto* top = new wxBoxSizer(wxVERTICAL);
  top->Add(new wxStaticText(this, wxID_ANY, "Select a scanner to edit scan regions"), 0, wxALL, 10);
  cboScanner = new wxChoice(this, wxID_ANY);
  for (const std::string& m : g_.Models) cboScanner->Append(ToWx(m));
  if (!g_.Models.empty()) cboScanner->SetSelection(static_cast<int>(g_.Models.size()) - 1);
  top->Add(cboScanner, 0, wxEXPAND | wxLEFT | wxRIGHT, 10);
  auto* ok = new wxButton(this, wxID_OK, "OK");
  ok->SetDefault();
  top->Add(ok, 0, wxALIGN_CENTRE | wxALL, 10);
  SetSizerAndFit(top);
  CentreOnScreen();
  ok->Bind(wxEVT_BUTTON, &SelectScannerDialog::OnOK, this);
  // F1 opens the help document here too.
  Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& e) {
    if (e.GetKeyCode() == WXK_F1)
      g_.ShowHelp();
    else
      e.Skip();
  });
}

void SelectScannerDialog::OnOK(wxCommandEvent&) {
  const bool ok =
      RegionList::RunCommand([&] { g_.LoadModelRegionLimits(FromWx(cboScanner->GetStringSelection())); });
  const int code = ok ? wxID_OK : wxID_ABORT;
  if (IsModal())
    EndModal(code);
  else
    SetReturnCode(code);
}

}  // namespace quillmark
