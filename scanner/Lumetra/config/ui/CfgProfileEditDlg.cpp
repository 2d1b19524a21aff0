#include "config/ui/CfgProfileEditDlg.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/display.h>
#include <wx/filedlg.h>
#include <wx/propgrid/manager.h>
#include <wx/propgrid/props.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <cstdlib>

#include "config/CarouselCfgProfileMap.h"
#include "config/ui/FolderPicker.h"
#include "config/ui/WindowPlacement.h"
#include "config/ui/WxText.h"

namespace {

using lumetra::FromWx;
using lumetra::ProfileEditModel;
using lumetra::ToWx;
using M = ProfileEditModel;

constexpr const char* kFolderTitle = "Select A File Directory";

// The output path: free text, and a "..." button that opens the folder picker.
class FolderProperty : public wxLongStringProperty {
 public:
  FolderProperty(const wxString& label, const wxString& name, const wxString& value)
      : wxLongStringProperty(label, name, value) {}
  bool DisplayEditorDialog(wxPropertyGrid* grid, wxVariant& value) override {
    CFolderPicker picker(grid, kFolderTitle);
    picker.InitialFolder = FromWx(value.GetString());
    if (!picker.DoModal()) return false;
    value = ToWx(picker.GetPath());
    return true;
  }
};

wxString nameOf(int id) { return wxString::Format("%d", id); }

wxArrayString labelsOf(const M::Item& item) {
  wxArrayString labels;
  for (const std::string& c : item.choices) labels.Add(ToWx(c));
  // A value that is no longer among the choices (a region the file lost) still shows.
  if (!item.text.empty() && labels.Index(ToWx(item.text)) == wxNOT_FOUND) labels.Add(ToWx(item.text));
  return labels;
}

}  // namespace

CCfgProfileEditDlg::CCfgProfileEditDlg(CCarouselCfgProfileMap* map, const std::string& currentProfile,
                                       wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Profile Editor", wxDefaultPosition, wxSize(640, 560),
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      m_Model(map, currentProfile) {
  AskProfileName = [this](const std::string& oldName) -> std::optional<std::string> {
    CProfileNameDlg dialog(oldName, m_Model.Map(), this);
    if (dialog.ShowModal() != wxID_OK) return std::nullopt;
    return dialog.NewName();
  };
  AskFile = [this](bool exporting) { return RunFileDialog(exporting); };

  auto* top = new wxBoxSizer(wxHORIZONTAL);
  top->Add(new wxStaticText(this, 3188, "Current &Profile:"), 0, wxALIGN_CENTRE_VERTICAL | wxRIGHT, 6);
  m_ProfileList =
      new wxChoice(this, kIdProfileList, wxDefaultPosition, wxSize(220, -1), 0, nullptr, wxCB_SORT);
  top->Add(m_ProfileList, 0, wxALIGN_CENTRE_VERTICAL);
  top->AddStretchSpacer();
  m_Import = new wxButton(this, kIdImport, "&Import");
  m_Export = new wxButton(this, kIdExport, "&Export");
  top->Add(m_Import, 0, wxLEFT, 6);
  top->Add(m_Export, 0, wxLEFT, 6);

  m_Grid = new wxPropertyGridManager(this, kIdGrid, wxDefaultPosition, wxSize(460, 400),
                                     wxPG_SPLITTER_AUTO_CENTER | wxPG_DESCRIPTION | wxPG_BOLD_MODIFIED);
  m_Grid->AddPage();
  auto* side = new wxBoxSizer(wxVERTICAL);
  m_Save = new wxButton(this, kIdSave, "&Save");
  m_SaveAs = new wxButton(this, kIdSaveAs, "Save &As...");
  m_Remove = new wxButton(this, kIdRemove, "&Remove");
  side->Add(m_Save, 0, wxEXPAND | wxBOTTOM, 6);
  side->Add(m_SaveAs, 0, wxEXPAND | wxBOTTOM, 6);
  side->Add(m_Remove, 0, wxEXPAND);
  auto* middle = new wxBoxSizer(wxHORIZONTAL);
  middle->Add(m_Grid, 1, wxEXPAND | wxRIGHT, 8);
  middle->Add(side, 0);

  auto* bottom = new wxBoxSizer(wxHORIZONTAL);
  bottom->AddStretchSpacer();
  bottom->Add(new wxButton(this, wxID_OK, "Close"));
  // Closing the window any way ends with OK: the caller must learn what changed.
  SetEscapeId(wxID_OK);

  auto* all = new wxBoxSizer(wxVERTICAL);
  all->Add(top, 0, wxEXPAND | wxALL, 8);
  all->Add(middle, 1, wxEXPAND | wxLEFT | wxRIGHT, 8);
  all->Add(bottom, 0, wxEXPAND | wxALL, 8);
  SetSizer(all);
  SetMinSize(wxSize(520, 420));

  m_ProfileList->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) { OnProfileSelected(); });
  m_Save->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnSave(); });
  m_SaveAs->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnSaveAs(); });
  m_Remove->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnRemove(); });
  m_Import->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnImport(); });
  m_Export->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnExport(); });
  m_Grid->Bind(wxEVT_PG_CHANGING, &CCfgProfileEditDlg::OnGridChanging, this);
  m_Grid->Bind(wxEVT_PG_CHANGED, &CCfgProfileEditDlg::OnGridChanged, this);
  m_Grid->Bind(wxEVT_PG_SELECTED, &CCfgProfileEditDlg::OnGridSelected, this);

  if (m_Model.Open()) FillProfileList();
  BuildGrid();
  UpdateButtons();
  lumetra::WindowPlacement::RegisterAndRestore(this, "CfgProfileEditor");
}

CCfgProfileEditDlg::~CCfgProfileEditDlg() { wxPersistenceManager::Get().SaveAndUnregister(this); }

void CCfgProfileEditDlg::FillProfileList() {
  m_ProfileList->Clear();
  for (const std::string& name : m_Model.ProfileNames()) m_ProfileList->Append(ToWx(name));
  m_ProfileList->SetStringSelection(ToWx(m_Model.LoadedName()));
}

void CCfgProfileEditDlg::BuildGrid() {
  m_Syncing = true;
  wxPropertyGridPage* page = m_Grid->GetPage(0);
  page->Clear();
  m_Items.clear();
  std::string category;
  for (int id : m_Model.ItemOrder()) {
    const M::Item& item = m_Model.GetItem(id);
    if (item.category != category) {
      category = item.category;
      page->Append(new wxPropertyCategory(ToWx(category), ToWx(category + " category")));
    }
    wxPGProperty* p = nullptr;
    switch (item.kind) {
      case M::Kind::Text:
        p = new wxStringProperty(ToWx(item.caption), nameOf(id), ToWx(item.text));
        break;
      case M::Kind::Folder:
        p = new FolderProperty(ToWx(item.caption), nameOf(id), ToWx(item.text));
        break;
      case M::Kind::List:
      case M::Kind::YesNo: {
        const wxArrayString labels = labelsOf(item);
        p = new wxEnumProperty(ToWx(item.caption), nameOf(id), labels);
        p->SetValueFromString(ToWx(item.text));
        break;
      }
    }
    p->SetHelpString(ToWx(item.description));
    if (item.parent)
      page->AppendIn(Item(item.parent), p);
    else
      page->Append(p);
    m_Items[id] = p;
  }
  m_Syncing = false;
  SyncGrid();
  m_Grid->ExpandAll();
}

void CCfgProfileEditDlg::SyncGrid() {
  m_Syncing = true;
  for (int id : m_Model.ItemOrder()) {
    wxPGProperty* p = Item(id);
    if (!p) continue;
    const M::Item& item = m_Model.GetItem(id);
    if (item.kind == M::Kind::List || item.kind == M::Kind::YesNo) {
      const wxArrayString labels = labelsOf(item);
      if (p->GetChoices().GetLabels() != labels) p->SetChoices(wxPGChoices(labels));
    }
    if (FromWx(p->GetValueAsString()) != item.text) p->SetValueFromString(ToWx(item.text));
    if (p->HasFlag(wxPG_PROP_READONLY) != item.readOnly) m_Grid->SetPropertyReadOnly(p, item.readOnly, 0);
    if (p->HasFlag(wxPG_PROP_HIDDEN) != item.hidden) {
      m_Grid->HideProperty(p, item.hidden, 0);
      if (!item.hidden && item.parent) m_Grid->Expand(Item(item.parent));
    }
  }
  m_Syncing = false;
  m_Grid->RefreshGrid();
  FitRows();
}

// Rows shown or hidden change the grid's height: the window grows until every row shows
// (the last one too), as far as the screen allows; beyond that the grid scrolls.
void CCfgProfileEditDlg::FitRows() {
  wxPropertyGrid* rows = m_Grid->GetGrid();
  int count = 0;
  for (auto it = rows->GetIterator(wxPG_ITERATE_VISIBLE); !it.AtEnd(); ++it) ++count;
  const int needed = count * rows->GetRowHeight() + 2;
  const int missing = needed - rows->GetClientSize().y;
  if (missing <= 0) return;
  m_Grid->SetMinSize(wxSize(m_Grid->GetMinSize().x, m_Grid->GetSize().y + missing));
  const int screen = wxDisplay(wxDisplay::GetFromWindow(this) == wxNOT_FOUND
                                   ? 0u
                                   : static_cast<unsigned>(wxDisplay::GetFromWindow(this)))
                         .GetClientArea()
                         .height;
  const wxSize size = GetSize();
  SetSize(wxSize(size.x, std::min(size.y + missing, screen)));
  Layout();
}

wxPGProperty* CCfgProfileEditDlg::Item(int id) const {
  const auto it = m_Items.find(id);
  return it == m_Items.end() ? nullptr : it->second;
}

void CCfgProfileEditDlg::UpdateButtons() {
  m_Save->Enable(m_Model.SaveEnabled());
  m_Remove->Enable(m_Model.RemoveEnabled());
  m_SaveAs->Enable(m_Model.Loaded());
  m_Import->Enable(m_Model.Map() != nullptr);
  m_Export->Enable(m_Model.Map() != nullptr);
}

bool CCfgProfileEditDlg::EditItem(int id, const std::string& value) {
  if (!m_Model.Changing(id, value)) {
    SyncGrid();
    return false;
  }
  m_Model.Changed(id, value);
  SyncGrid();
  UpdateButtons();
  return true;
}

void CCfgProfileEditDlg::OnGridChanging(wxPropertyGridEvent& event) {
  if (m_Syncing || !event.GetProperty()) return;
  wxVariant value = event.GetValue();
  const std::string text = FromWx(event.GetProperty()->ValueToString(value));
  const int id = std::atoi(event.GetProperty()->GetBaseName().utf8_str());
  if (!m_Model.Changing(id, text)) {
    event.SetValidationFailureBehavior(0);  // the rule showed its own message
    event.Veto();
  }
  UpdateButtons();
}

void CCfgProfileEditDlg::OnGridChanged(wxPropertyGridEvent& event) {
  if (m_Syncing || !event.GetProperty()) return;
  const int id = std::atoi(event.GetProperty()->GetBaseName().utf8_str());
  m_Model.Changed(id, FromWx(event.GetProperty()->GetValueAsString()));
  SyncGrid();
  UpdateButtons();
}

void CCfgProfileEditDlg::OnGridSelected(wxPropertyGridEvent& event) {
  // The region list is about to be used: let the map catch up with its file first.
  if (event.GetProperty() && event.GetProperty()->GetBaseName() == nameOf(M::kScanRegion)) {
    m_Model.RegionListOpening();
    SyncGrid();
  }
}

void CCfgProfileEditDlg::OnProfileSelected() {
  const std::string chosen = FromWx(m_ProfileList->GetStringSelection());
  if (chosen == m_Model.LoadedName() && m_Model.Loaded()) return;
  if (m_Model.SelectProfile(chosen)) BuildGrid();
  m_ProfileList->SetStringSelection(ToWx(m_Model.LoadedName()));
  UpdateButtons();
}

void CCfgProfileEditDlg::OnSave() {
  m_Model.Save();
  UpdateButtons();
}

void CCfgProfileEditDlg::OnSaveAs() {
  if (!m_Model.Loaded()) return;
  const std::optional<std::string> name = AskProfileName(m_Model.LoadedName());
  if (!name || !m_Model.SaveAs(*name)) return;
  FillProfileList();
  SyncGrid();
  UpdateButtons();
}

void CCfgProfileEditDlg::OnRemove() {
  if (!m_Model.RemoveEnabled() || !m_Model.Remove()) return;
  FillProfileList();
  BuildGrid();
  UpdateButtons();
}

void CCfgProfileEditDlg::OnImport() {
  const std::optional<std::string> path = AskFile(false);
  if (!path) return;
  const M::ImportResult result = m_Model.Import(*path);
  if (result.added == 0 && result.overwritten == 0) return;
  FillProfileList();
  BuildGrid();
  UpdateButtons();
}

void CCfgProfileEditDlg::OnExport() {
  if (const std::optional<std::string> path = AskFile(true)) m_Model.Export(*path);
}

std::optional<std::string> CCfgProfileEditDlg::RunFileDialog(bool exporting) {
  // Without wxFD_CHANGE_DIR: the process's current folder stays as it is.
  wxFileDialog dialog(
      this, exporting ? "Export Carousel Configuration Profile" : "Import Carousel Configuration Profile",
      wxEmptyString, exporting ? ToWx(M::ProposedExportName()) : wxString(), ToWx(M::FileFilter()),
      exporting ? wxFD_SAVE | wxFD_OVERWRITE_PROMPT : wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return std::nullopt;
  return FromWx(dialog.GetPath());
}

// --- name dialog

CProfileNameDlg::CProfileNameDlg(const std::string& oldName, const CCarouselCfgProfileMap* map,
                                 wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Save Profile As"), m_Map(map), m_OldName(oldName) {
  auto* all = new wxBoxSizer(wxVERTICAL);
  all->Add(new wxStaticText(this, wxID_ANY, "Profile Name:"), 0, wxLEFT | wxRIGHT | wxTOP, 10);
  m_Name = new wxTextCtrl(this, kIdName, ToWx(m_NewName), wxDefaultPosition, wxSize(260, -1));
  all->Add(m_Name, 0, wxEXPAND | wxALL, 10);
  all->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 10);
  SetSizerAndFit(all);
  Bind(
      wxEVT_BUTTON, [this](wxCommandEvent&) { TryOk(); }, wxID_OK);
  m_Name->SetFocus();
  m_Name->SelectAll();
}

bool CProfileNameDlg::TryOk() {
  std::string name = FromWx(m_Name->GetValue());
  if (!ProfileEditModel::NameDialogAccepts(m_Map, name)) return false;
  m_NewName = name;
  if (IsModal()) EndModal(wxID_OK);
  return true;
}
