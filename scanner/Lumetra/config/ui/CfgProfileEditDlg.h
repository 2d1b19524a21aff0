#pragma once
// The "Profile Editor": pick a profile, edit its values on a property grid, save it,
// save it under a new name, remove, import and export profiles. The editing state and
// every rule live in ProfileEditModel; this dialog shows it and passes edits back.
#include <wx/dialog.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "config/ProfileEditModel.h"

class wxButton;
class wxChoice;
class wxPropertyGridManager;
class wxPropertyGridEvent;
class wxPGProperty;
class wxTextCtrl;
class CCarouselCfgProfileMap;

class CCfgProfileEditDlg : public wxDialog {
 public:
  enum ControlId {
    kIdProfileList = 3189,
    kIdSave = 3191,
    kIdSaveAs = 3190,
    kIdRemove = 3192,
    kIdImport = 3200,
    kIdExport = 3201,
    kIdGrid = 3193,
  };

  // `map` is the caller's and is changed in place; `currentProfile` names the main
  // window's profile.
  CCfgProfileEditDlg(CCarouselCfgProfileMap* map, const std::string& currentProfile, wxWindow* parent);
  ~CCfgProfileEditDlg() override;

  // The flags the caller reads after the dialog closed.
  bool ProfileListChanged() const { return m_Model.ListChanged; }
  bool CurrentProfileChanged() const { return m_Model.CurrentChanged; }
  bool DefaultProfileChanged() const { return m_Model.DefaultChanged; }

  lumetra::ProfileEditModel& Model() { return m_Model; }
  wxPropertyGridManager* Grid() const { return m_Grid; }
  wxChoice* ProfileList() const { return m_ProfileList; }
  wxButton* SaveButton() const { return m_Save; }
  wxButton* RemoveButton() const { return m_Remove; }
  // The grid item of an item id, or null.
  wxPGProperty* Item(int id) const;

  // Button handlers, as the buttons call them.
  void OnSave();
  void OnSaveAs();
  void OnRemove();
  void OnImport();
  void OnExport();
  void OnProfileSelected();
  // An edit of an item as the grid delivers it: checked, then taken; false when refused.
  bool EditItem(int id, const std::string& value);

  // What asks for a new profile name (the name dialog) and for a file (import: false,
  // export: true). Tests replace them.
  std::function<std::optional<std::string>(const std::string& oldName)> AskProfileName;
  std::function<std::optional<std::string>(bool exporting)> AskFile;

 private:
  void BuildGrid();
  void SyncGrid();
  void FitRows();
  void FillProfileList();
  void UpdateButtons();
  void OnGridChanging(wxPropertyGridEvent& event);
  void OnGridChanged(wxPropertyGridEvent& event);
  void OnGridSelected(wxPropertyGridEvent& event);
  std::optional<std::string> RunFileDialog(bool exporting);

  lumetra::ProfileEditModel m_Model;
  wxChoice* m_ProfileList = nullptr;
  wxPropertyGridManager* m_Grid = nullptr;
  wxButton* m_Save = nullptr;
  wxButton* m_SaveAs = nullptr;
  wxButton* m_Remove = nullptr;
  wxButton* m_Import = nullptr;
  wxButton* m_Export = nullptr;
  std::map<int, wxPGProperty*> m_Items;  // owned by the grid
  bool m_Syncing = false;
};

// "Save Profile As": asks for the new profile's name, refusing names the map holds.
class CProfileNameDlg : public wxDialog {
 public:
  static constexpr int kIdName = 3202;
  CProfileNameDlg(const std::string& oldName, const CCarouselCfgProfileMap* map, wxWindow* parent);
  // True (and the dialog ends with OK) when the name in the box may be used.
  bool TryOk();
  const std::string& NewName() const { return m_NewName; }
  wxTextCtrl* NameBox() const { return m_Name; }

 private:
  const CCarouselCfgProfileMap* m_Map;
  std::string m_OldName;
  std::string m_NewName = "NewProfile";
  wxTextCtrl* m_Name = nullptr;
};
