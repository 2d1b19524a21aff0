#include "maindlg/tools/ExLaserCalibMsgDlg.h"

#include <wx/sizer.h>
#include <wx/stattext.h>

#include "config/ui/WxText.h"
#include "maindlg/tools/ExLaserCalib.h"

using lumetra::ToWx;

CExLaserCalibMsgDlg::CExLaserCalibMsgDlg(wxWindow* parent, IScanCtrl* scanCtrl, const std::string& message)
    // A caption without a close box: the calibration cannot be cancelled.
    : wxDialog(parent, wxID_ANY, "Extended Laser Calibration", wxDefaultPosition, wxDefaultSize, wxCAPTION),
      m_pScanCtrl(scanCtrl),
      m_strMessage(message),
      m_nTimer(this, kAnimationTimerId) {
  m_Message = new wxStaticText(this, kIdMessage, ToWx(m_strMessage), wxDefaultPosition, wxSize(300, -1),
                               wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
  m_Wait = new wxStaticText(this, kIdWait, "Please wait....................", wxDefaultPosition,
                            wxSize(300, -1), wxST_NO_AUTORESIZE);
  auto* all = new wxBoxSizer(wxVERTICAL);
  all->Add(m_Message, 0, wxEXPAND | wxALL, 16);
  all->Add(m_Wait, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 16);
  SetSizerAndFit(all);
  CentreOnParent();
  SetEscapeId(wxID_NONE);
  Bind(wxEVT_CLOSE_WINDOW, &CExLaserCalibMsgDlg::OnClose, this);
  Bind(wxEVT_TIMER, &CExLaserCalibMsgDlg::OnTimer, this, kAnimationTimerId);
}

CExLaserCalibMsgDlg::~CExLaserCalibMsgDlg() {
  m_nTimer.Stop();
  (void)m_Worker.join();  // never on its own thread: the join cannot fail
}

int CExLaserCalibMsgDlg::ShowModal() {
  m_nTicks = 0;
  m_bWorkerDone = false;
  m_Message->SetLabel(ToWx(m_strMessage));
  m_nTimer.Start(1000);
  IScanCtrl* scanCtrl = m_pScanCtrl;
  const bool started = m_Worker.start(
      [this, scanCtrl](platform::Event&) -> std::uint32_t {
        if (scanCtrl) lumetra::OnExLaserCalibrating(scanCtrl);
        // The window is the user-interface thread's: it closes itself there.
        CallAfter([this] {
          m_bWorkerDone = true;
          m_nTimer.Stop();
          if (IsModal()) EndModal(wxID_OK);
        });
        return 0;
      },
      "extended laser calibration");
  if (!started) {
    m_nTimer.Stop();
    return wxID_CANCEL;
  }
  const int result = wxDialog::ShowModal();
  m_nTimer.Stop();
  (void)m_Worker.join();  // never on its own thread: the join cannot fail
  return result;
}

void CExLaserCalibMsgDlg::Tick() {
  m_strWait = lumetra::ExLaserCalibWaitText(m_nTicks, m_strWait);
  m_Wait->SetLabel(ToWx(m_strWait));
  ++m_nTicks;
}

void CExLaserCalibMsgDlg::OnTimer(wxTimerEvent&) { Tick(); }

void CExLaserCalibMsgDlg::OnClose(wxCloseEvent& event) {
  // Only the end of the calibration closes the dialog.
  if (!m_bWorkerDone && event.CanVeto()) {
    event.Veto();
    return;
  }
  event.Skip();
}
