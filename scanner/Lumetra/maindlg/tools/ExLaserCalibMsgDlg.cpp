#include "maindlg/tools/ExLaserCalibMsgDlg.h"
CExLaserCalibMsgDlg::CExLaserCalibMsgDlg(wxWindow* parent, IScanCtrl* scanCtrl, const std::string& message)
    : wxDialog(parent, wxID_ANY, "Extended Laser Calibration"), m_pScanCtrl(scanCtrl), m_strMessage(message) {}
CExLaserCalibMsgDlg::~CExLaserCalibMsgDlg() = default;
int CExLaserCalibMsgDlg::ShowModal() { return wxID_OK; }
void CExLaserCalibMsgDlg::Tick() {}
