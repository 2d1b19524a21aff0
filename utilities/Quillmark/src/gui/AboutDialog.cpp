#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>

#include "Windows.h"
#include "platform/dynlib.h"

namespace quillmark {

std::string VersionText() {
  const auto v = platform::moduleVersion(platform::mainProgramModule());
  if (!v) return "Version: 0.0.x.0";
  return "Version: " + std::to_string(v->major) + "." + std::to_string(v->minor) + ".x." +
         std::to_string(v->fourth);
}

AboutDialog::AboutDialog(wxWindow* parent, const Global& g)
    : wxDialog(parent, wxID_ANY, wxString("About ") + kEditorTitle) {
  auto* top = new wxBoxSizer(wxVERTICAL);
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  row->Add(new wxStaticBitmap(this, wxID_ANY, wxArtProvider::GetBitmap(wxART_INFORMATION, wxART_MESSAGE_BOX)),
           0, wxALL, 10);
  auto* texts = new wxBoxSizer(wxVERTICAL);
  auto* title = new wxStaticText(this, wxID_ANY, kEditorTitle);
  title->SetFont(title->GetFont().Bold().Larger());
  texts->Add(title, 0, wxBOTTOM, 6);
  texts->Add(
      new wxStaticText(this, wxID_ANY, "Keeps the custom scan regions of the Zevazodizo slide scanner."), 0,
      wxBOTTOM, 6);
  lblVersion = new wxStaticText(this, wxID_ANY, ToWx(VersionText()));
  texts->Add(lblVersion);
  row->Add(texts, 1, wxALL, 10);
  top->Add(row, 1, wxEXPAND);
  auto* ok = new wxButton(this, wxID_OK, "OK");
  ok->SetDefault();
  top->Add(ok, 0, wxALIGN_RIGHT | wxALL, 10);
  SetSizerAndFit(top);
  const wxSize fixed(std::max(Twips(this, 8010), GetSize().x), std::max(Twips(this, 3870), GetSize().y));
  SetSize(fixed);
  SetSizeHints(fixed, fixed);
  CentreOnScreen();
  Bind(wxEVT_CHAR_HOOK, [&g](wxKeyEvent& e) {
    if (e.GetKeyCode() == WXK_F1)
      g.ShowHelp();
    else
      e.Skip();
  });
}

}  // namespace quillmark
