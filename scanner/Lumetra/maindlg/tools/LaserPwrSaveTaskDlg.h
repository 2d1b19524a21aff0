#pragma once
// "Laser Auto ON/OFF Settings": edits the laser power-saver settings on a property grid
// and switches the lasers by hand. The rules live in LaserPwrSaveTaskModel.
#include <wx/dialog.h>

#include "config/LaserPowerSaver.h"
#include "maindlg/tools/LaserPowerControl.h"
#include "maindlg/tools/LaserPwrSaveTaskModel.h"

class wxButton;
class wxPropertyGridManager;
class wxPropertyGridEvent;
class wxPGProperty;

class CLaserPwrSaveTaskDlg : public wxDialog {
 public:
  enum ControlId { kIdLaserButton = 3196, kIdReset = 3199, kIdGrid = 3198 };

  // `record` is the caller's and changes only on OK after an edit.
  CLaserPwrSaveTaskDlg(LaserPowerSaverSettings* record, lumetra::ILaserPowerControl& control,
                       wxWindow* parent);
  ~CLaserPwrSaveTaskDlg() override;

  // After OK: whether the record was modified.
  bool Changed() const { return m_bChanged; }

  lumetra::LaserPwrSaveTaskModel& Model() { return m_Model; }
  wxPropertyGridManager* Grid() const { return m_Grid; }
  wxButton* LaserButton() const { return m_LaserButton; }
  wxButton* ResetButton() const { return m_Reset; }
  wxPGProperty* Item(lumetra::LaserPwrSaveTaskModel::Item item) const;
  bool TwelveHour() const { return m_bTwelveHour; }

  // Button handlers, as the buttons call them.
  void OnLaserButton();
  void OnReset();
  // OK: false when the dialog stays open.
  bool OnOK();

 private:
  void BuildGrid();
  void ApplyReadOnly();
  void TakeGrid();
  void OnGridChanged(wxPropertyGridEvent& event);

  LaserPowerSaverSettings* m_pRecord;
  lumetra::ILaserPowerControl& m_Control;
  lumetra::LaserPwrSaveTaskModel m_Model;
  bool m_bChanged = false;
  bool m_bTwelveHour = false;
  long m_IdleHours = 1;
  bool m_bBuilding = false;
  wxPGProperty* m_Items[7] = {};
  wxPropertyGridManager* m_Grid = nullptr;
  wxButton* m_LaserButton = nullptr;
  wxButton* m_Reset = nullptr;
};
