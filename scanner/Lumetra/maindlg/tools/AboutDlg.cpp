#include "maindlg/tools/AboutDlg.h"
CAboutDlg::CAboutDlg(wxWindow* parent, IScanCtrl*, bool, bool) : wxDialog(parent, wxID_ANY, "About Tarsel Halvorn") {}
CAboutDlg::~CAboutDlg() = default;
wxString CAboutDlg::Text(int) const { return {}; }
void CAboutDlg::OnOK(wxCommandEvent&) {}
