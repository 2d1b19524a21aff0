#pragma once
// The editor's windows (wxWidgets). Their logic lives in the plain classes of the core
// (Global, RegionList, EditRegionModel); the windows show it and pass the user's actions on.
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/dialog.h>
#include <wx/frame.h>
#include <wx/grid.h>
#include <wx/panel.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <functional>
#include <map>
#include <string>

#include "EditRegionModel.h"
#include "Global.h"
#include "RegionList.h"

namespace quillmark {

// Twips (1/1440 inch) at 96 dots per inch, then scaled for the display.
int Twips(const wxWindow* w, int twips);
wxString ToWx(const std::string& s);
std::string FromWx(const wxString& s);

// Model selection: the models of the region database, the last one preselected.
class SelectScannerDialog : public wxDialog {
 public:
  SelectScannerDialog(wxWindow* parent, Global& g);
  // OK: the limits of the chosen model. A failure is shown and the dialog ends with
  // wxID_ABORT; closing the window by its frame ends it with wxID_CANCEL.
  void OnOK(wxCommandEvent&);
  wxChoice* cboScanner;
  int Result() const { return GetReturnCode(); }

 private:
  Global& g_;
};

class AboutDialog : public wxDialog {
 public:
  AboutDialog(wxWindow* parent, const Global& g);
  wxStaticText* lblVersion;
};

// "Version: major.minor.x.revision" of the running program.
std::string VersionText();

// The form of one region, over an EditRegionModel.
class EditRegionDialog : public wxDialog {
 public:
  EditRegionDialog(wxWindow* parent, Global& g, const std::string& mode);
  EditRegionModel& Model() { return model_; }
  wxTextCtrl* Box(quillmark::Box b);
  // The handlers, open to tests.
  void OnSave(wxCommandEvent&);
  void OnExit(wxCommandEvent&);
  void LostFocus(quillmark::Box b);
  quillmark::Box LastFocus() const { return lastFocus_; }
  bool Saved() const { return saved_; }
  wxStaticText *lblMinX, *lblMaxX, *lblMinY, *lblMaxY, *lblMinWidth, *lblMaxWidth, *lblMinHeight,
      *lblMaxHeight;

 private:
  void Pull();  // boxes -> model
  void Push();  // model -> boxes and labels
  void Focus(quillmark::Box b);
  void Finish(int code);  // ends the modal loop, or hides a dialog shown without one
  void OnChar(wxKeyEvent& e, quillmark::Box b);
  void OnText(quillmark::Box b);
  EditRegionModel model_;
  Global& g_;
  std::map<quillmark::Box, wxTextCtrl*> boxes_;
  quillmark::Box lastFocus_ = quillmark::Box::None;
  bool saved_ = false;
  bool pushing_ = false;
};

// The main window: the region list.
class RegionFrame : public wxFrame {
 public:
  RegionFrame(Global& g);
  // Start-up steps with the model asked for on the command line; false when the editor
  // must end (a failure was shown, or no model was chosen).
  bool Startup(const std::string& modelAsked, const std::string& programFolder);
  void LoadRegionList();
  void SelectGridRows(int first, int last);
  std::pair<int, int> GetSelectedRows() const;
  RegionList& List() { return list_; }

  // Replaceable for tests: the model selection (true when a model was chosen) and the
  // edit window (true when it wrote the region).
  std::function<bool()> ChooseModel;
  EditRegionFn EditRegion;

  wxGrid* MSFlexGrid1;
  wxCheckBox* chkCustomOnly;
  wxStaticText *lblScanner, *lblULC, *lblLRC;

  void NewRegion();
  void ModifyRegions();
  void DeleteRegions();
  void ShowInvalidMessage();

 private:
  void SetupGrid();
  void SetColumnWidth(int col, int twips);
  Global& g_;
  RegionList list_;
};

}  // namespace quillmark
