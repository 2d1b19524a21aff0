#include <wx/button.h>
#include <wx/settings.h>
#include <wx/sizer.h>

#include "Numbers.h"
#include "Windows.h"

namespace quillmark {

EditRegionDialog::EditRegionDialog(wxWindow* parent, Global& g, const std::string& mode)
    : wxDialog(parent, wxID_ANY, kEditorTitle), model_(g), g_(g) {
  model_.Mode = mode;
  auto* top = new wxBoxSizer(wxVERTICAL);
  auto* fields = new wxFlexGridSizer(3, 4, 6);
  const auto addBox = [&](quillmark::Box b, const char* label, bool mm) {
    fields->Add(new wxStaticText(this, wxID_ANY, label), 0, wxALIGN_CENTRE_VERTICAL);
    auto* box = new wxTextCtrl(this, wxID_ANY, "", wxDefaultPosition,
                               wxSize(b == quillmark::Box::Name ? FromDIP(170) : FromDIP(70), -1));
    box->SetMaxLength(b == quillmark::Box::Name ? EditRegionModel::kNameLimit
                                                : EditRegionModel::kLengthLimit);
    boxes_[b] = box;
    fields->Add(box);
    fields->Add(new wxStaticText(this, wxID_ANY, mm ? "mm" : ""), 0, wxALIGN_CENTRE_VERTICAL);
    box->Bind(wxEVT_SET_FOCUS, [box](wxFocusEvent& e) {
      box->CallAfter([box] { box->SelectAll(); });
      e.Skip();
    });
    if (b == quillmark::Box::Name) return;
    box->Bind(wxEVT_CHAR, [this, b](wxKeyEvent& e) { OnChar(e, b); });
    box->Bind(wxEVT_TEXT, [this, b](wxCommandEvent&) { OnText(b); });
    box->Bind(wxEVT_KILL_FOCUS, [this, b](wxFocusEvent& e) {
      LostFocus(b);
      e.Skip();
    });
  };
  addBox(quillmark::Box::Name, "Name:", false);
  addBox(quillmark::Box::XPos, "X:", true);
  addBox(quillmark::Box::YPos, "Y:", true);
  addBox(quillmark::Box::Width, "Width:", true);
  addBox(quillmark::Box::Height, "Height:", true);
  top->Add(fields, 0, wxALL, 10);

  top->Add(new wxStaticText(this, wxID_ANY, "Ranges(mm):"), 0, wxLEFT | wxRIGHT, 10);
  auto* ranges = new wxFlexGridSizer(4, 4, 6);
  const auto addRange = [&](const char* name, wxStaticText*& min, wxStaticText*& max) {
    ranges->Add(new wxStaticText(this, wxID_ANY, name));
    min = new wxStaticText(this, wxID_ANY, "", wxDefaultPosition, wxSize(FromDIP(50), -1), wxALIGN_RIGHT);
    ranges->Add(min);
    ranges->Add(new wxStaticText(this, wxID_ANY, "-"));
    max = new wxStaticText(this, wxID_ANY, "", wxDefaultPosition, wxSize(FromDIP(50), -1), wxALIGN_RIGHT);
    ranges->Add(max);
  };
  addRange("X", lblMinX, lblMaxX);
  addRange("Y", lblMinY, lblMaxY);
  addRange("Width", lblMinWidth, lblMaxWidth);
  addRange("Height", lblMinHeight, lblMaxHeight);
  top->Add(ranges, 0, wxALL, 10);

  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  auto* save = new wxButton(this, wxID_ANY, "Save");
  auto* exit = new wxButton(this, wxID_ANY, "Exit");
  save->SetDefault();
  buttons->Add(save, 0, wxRIGHT, 10);
  buttons->Add(exit);
  top->Add(buttons, 0, wxALIGN_CENTRE | wxALL, 10);
  SetSizerAndFit(top);
  // One size (3495 x 3990 twips, or what the contents need).
  const wxSize fixed(std::max(Twips(this, 3495), GetSize().x), std::max(Twips(this, 3990), GetSize().y));
  SetSize(fixed);
  SetSizeHints(fixed, fixed);
  CentreOnScreen();

  save->Bind(wxEVT_BUTTON, &EditRegionDialog::OnSave, this);
  exit->Bind(wxEVT_BUTTON, &EditRegionDialog::OnExit, this);
  // Closing by the frame is Exit as in add mode: nothing checked, nothing written.
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { Finish(wxID_CANCEL); });
  Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& e) {
    if (e.GetKeyCode() == WXK_F1)
      g_.ShowHelp();
    else
      e.Skip();
  });

  model_.Load();
  SetTitle(ToWx(model_.Activate()));
  Push();
}

wxTextCtrl* EditRegionDialog::Box(quillmark::Box b) { return boxes_.at(b); }

void EditRegionDialog::Pull() {
  for (const auto& [b, box] : boxes_) model_.SetText(b, FromWx(box->GetValue()));
}

void EditRegionDialog::Push() {
  pushing_ = true;
  for (const auto& [b, box] : boxes_)
    if (FromWx(box->GetValue()) != model_.Text(b)) box->ChangeValue(ToWx(model_.Text(b)));
  const std::pair<wxStaticText*, const std::string*> labels[] = {
      {lblMinX, &model_.lblMinX},           {lblMaxX, &model_.lblMaxX},
      {lblMinY, &model_.lblMinY},           {lblMaxY, &model_.lblMaxY},
      {lblMinWidth, &model_.lblMinWidth},   {lblMaxWidth, &model_.lblMaxWidth},
      {lblMinHeight, &model_.lblMinHeight}, {lblMaxHeight, &model_.lblMaxHeight}};
  for (const auto& [label, text] : labels) label->SetLabel(ToWx(*text));
  const wxColour normal = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNTEXT);
  lblMaxWidth->SetForegroundColour(model_.maxWidthRed ? wxColour(255, 0, 0) : normal);
  lblMaxHeight->SetForegroundColour(model_.maxHeightRed ? wxColour(255, 0, 0) : normal);
  lblMaxWidth->Refresh();
  lblMaxHeight->Refresh();
  pushing_ = false;
}

void EditRegionDialog::Focus(quillmark::Box b) {
  lastFocus_ = b;
  if (b != quillmark::Box::None) Box(b)->SetFocus();
}

void EditRegionDialog::OnChar(wxKeyEvent& e, quillmark::Box b) {
  // Control keys (arrows, delete, Ctrl+C/V/X) reach the box; typed characters are filtered.
  const int code = e.GetUnicodeKey() != WXK_NONE ? static_cast<int>(e.GetUnicodeKey()) : e.GetKeyCode();
  if (code >= 32 && code != WXK_DELETE) {
    long from = 0, to = 0;
    Box(b)->GetSelection(&from, &to);
    if (EditRegionModel::NumericKeys(FromWx(Box(b)->GetValue()), code, static_cast<int>(from),
                                     static_cast<int>(to - from), g_.Sep) == 0)
      return;
  }
  e.Skip();
}

void EditRegionDialog::OnText(quillmark::Box b) {
  if (pushing_) return;
  wxTextCtrl* box = Box(b);
  std::string text = FromWx(box->GetValue());
  int caret = static_cast<int>(box->GetInsertionPoint());
  if (!EditRegionModel::LimitDecimals(text, caret, g_.Sep)) return;
  pushing_ = true;
  box->ChangeValue(ToWx(text));
  box->SetInsertionPoint(caret);
  pushing_ = false;
}

void EditRegionDialog::LostFocus(quillmark::Box b) {
  Pull();
  model_.LostFocus(b);
  Push();
}

void EditRegionDialog::OnSave(wxCommandEvent&) {
  Pull();
  const auto outcome = [&] {
    wxBusyCursor busy;
    return model_.Save();
  }();
  Push();
  if (outcome.close) {
    saved_ = model_.Wrote();
    Finish(wxID_OK);
  } else {
    Focus(outcome.focus);
  }
}

void EditRegionDialog::OnExit(wxCommandEvent&) {
  Pull();
  const auto outcome = model_.Exit();
  Push();
  if (outcome.close)
    Finish(wxID_CANCEL);
  else
    Focus(outcome.focus);
}

void EditRegionDialog::Finish(int code) {
  if (IsModal()) {
    EndModal(code);
  } else {
    SetReturnCode(code);
    Hide();
  }
}

}  // namespace quillmark
