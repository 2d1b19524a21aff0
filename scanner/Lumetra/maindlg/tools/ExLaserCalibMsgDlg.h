#pragma once
// "Extended Laser Calibration": the wait dialog of the extended laser calibration. It
// starts the calibration worker when it opens, animates its wait text every second, has
// no close box and closes itself when the worker ends.
#include <wx/dialog.h>
#include <wx/timer.h>

#include <string>

#include "Movrak/IScanCtrl.h"
#include "platform/thread.h"

class wxStaticText;

class CExLaserCalibMsgDlg : public wxDialog {
 public:
  enum ControlId { kIdWait = 3217, kIdMessage = 3218 };
  static constexpr int kAnimationTimerId = 1001;

  // `scanCtrl` is the main window's (null: nothing to calibrate, the dialog closes at once).
  CExLaserCalibMsgDlg(wxWindow* parent, IScanCtrl* scanCtrl, const std::string& message);
  // Waits for the worker.
  ~CExLaserCalibMsgDlg() override;

  // Starts the worker and the animation, then runs modally until the worker ends.
  int ShowModal() override;

  const std::string& WaitText() const { return m_strWait; }
  unsigned Ticks() const { return m_nTicks; }
  // One animation step, as the timer runs it.
  void Tick();

 private:
  void OnClose(wxCloseEvent& event);
  void OnTimer(wxTimerEvent& event);

  IScanCtrl* m_pScanCtrl;
  std::string m_strMessage;
  std::string m_strWait = "Please wait";
  wxTimer m_nTimer;
  unsigned m_nTicks = 0;
  wxStaticText* m_Message = nullptr;
  wxStaticText* m_Wait = nullptr;
  bool m_bWorkerDone = false;
  platform::Thread m_Worker;
};
