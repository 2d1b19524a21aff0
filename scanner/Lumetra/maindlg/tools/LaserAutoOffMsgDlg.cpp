#include "maindlg/tools/LaserAutoOffMsgDlg.h"
CLaserAutoOffMsgDlg::CLaserAutoOffMsgDlg(lumetra::ILaserPowerControl& control, const std::string&, wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Laser Auto Off Task"), m_Control(control) {}
CLaserAutoOffMsgDlg::~CLaserAutoOffMsgDlg() = default;
int CLaserAutoOffMsgDlg::RunNotice() { return wxID_OK; }
void CLaserAutoOffMsgDlg::CloseNotice(int) {}
void CLaserAutoOffMsgDlg::OnTurnOnLasers() {}
