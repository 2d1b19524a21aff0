#pragma once
// "Laser Auto Off Task": tells the user that the lasers were switched off and offers to
// switch them on again. Only its button closes it (no Escape, no close box) unless the
// main window ends it when the lasers come on by schedule.
#include <wx/dialog.h>

#include <string>

#include "maindlg/tools/LaserPowerControl.h"
#include "maindlg/tools/ScanDlgHooks.h"

class CLaserAutoOffMsgDlg : public wxDialog, public lumetra::IAutoOffNotice {
 public:
  enum ControlId { kIdMessage = 3219 };

  CLaserAutoOffMsgDlg(lumetra::ILaserPowerControl& control, const std::string& message, wxWindow* parent);
  ~CLaserAutoOffMsgDlg() override;

  // IAutoOffNotice
  bool Showing() const override { return m_bShowing; }
  void ClearShowing() override { m_bShowing = false; }
  int RunNotice() override;
  void CloseNotice(int result) override;

  // The button "Turn On Lasers".
  void OnTurnOnLasers();

 private:
  void OnClose(wxCloseEvent& event);
  void OnCharHook(wxKeyEvent& event);

  lumetra::ILaserPowerControl& m_Control;
  bool m_bShowing = false;
};
