#include "maindlg/tools/LaserPwrSaveTaskDlg.h"
CLaserPwrSaveTaskDlg::CLaserPwrSaveTaskDlg(LaserPowerSaverSettings* record, lumetra::ILaserPowerControl& control,
                                           wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Laser Auto ON/OFF Settings"), m_pRecord(record), m_Control(control),
      m_Model(*record) {}
CLaserPwrSaveTaskDlg::~CLaserPwrSaveTaskDlg() = default;
wxPGProperty* CLaserPwrSaveTaskDlg::Item(lumetra::LaserPwrSaveTaskModel::Item) const { return nullptr; }
void CLaserPwrSaveTaskDlg::OnLaserButton() {}
void CLaserPwrSaveTaskDlg::OnReset() {}
bool CLaserPwrSaveTaskDlg::OnOK() { return true; }
