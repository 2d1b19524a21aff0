#include "maindlg/tools/LaserAutoOffMsgDlg.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include "config/ui/WxText.h"
#include "maindlg/tools/LaserPwrSaveTaskModel.h"
#include "platform/ui.h"

CLaserAutoOffMsgDlg::CLaserAutoOffMsgDlg(lumetra::ILaserPowerControl& control, const std::string& message,
                                         wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Laser Auto Off Task", wxDefaultPosition, wxDefaultSize, wxCAPTION),
      m_Control(control) {
  auto* all = new wxBoxSizer(wxVERTICAL);
  all->Add(new wxStaticText(this, kIdMessage, lumetra::ToWx(message), wxDefaultPosition, wxSize(280, -1)), 0,
           wxEXPAND | wxALL, 16);
  auto* button = new wxButton(this, wxID_OK, "Turn On Lasers");
  button->SetDefault();
  all->Add(button, 0, wxALIGN_CENTRE_HORIZONTAL | wxLEFT | wxRIGHT | wxBOTTOM, 16);
  SetSizerAndFit(all);
  CentreOnParent();
  SetEscapeId(wxID_NONE);
  button->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnTurnOnLasers(); });
  Bind(wxEVT_CLOSE_WINDOW, &CLaserAutoOffMsgDlg::OnClose, this);
  Bind(wxEVT_CHAR_HOOK, &CLaserAutoOffMsgDlg::OnCharHook, this);
}

CLaserAutoOffMsgDlg::~CLaserAutoOffMsgDlg() { m_bShowing = false; }

int CLaserAutoOffMsgDlg::RunNotice() {
  m_bShowing = true;
  const int result = ShowModal();
  m_bShowing = false;
  return result == wxID_OK ? platform::ui::IDOK : platform::ui::IDCANCEL;
}

void CLaserAutoOffMsgDlg::CloseNotice(int result) {
  if (IsModal()) EndModal(result == platform::ui::IDOK ? wxID_OK : wxID_CANCEL);
}

void CLaserAutoOffMsgDlg::OnTurnOnLasers() {
  lumetra::TurnOnLasersAsked(m_Control);
  m_bShowing = false;
  if (IsModal())
    EndModal(wxID_OK);
  else
    Hide();
}

void CLaserAutoOffMsgDlg::OnClose(wxCloseEvent& event) {
  // The close box does nothing: only the button (or the morning's switch-on) ends it.
  if (event.CanVeto()) {
    event.Veto();
    return;
  }
  event.Skip();
}

void CLaserAutoOffMsgDlg::OnCharHook(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_ESCAPE) return;
  event.Skip();
}
