#pragma once
// "About Tarsel Halvorn": the versions of the host program, this library and the
// automation server, and the connected scanner's model, serial number, firmware and DSP
// versions ("Unknown" for what cannot be read now).
#include <wx/dialog.h>

#include "Movrak/IScanCtrl.h"
#include "platform/com.h"
#include "run/ScannerInfo.h"

class wxStaticText;

class CAboutDlg : public wxDialog {
 public:
  enum ControlId {
    kIdPicture = 3009,
    kIdLumetra = 3010,
    kIdRuntime = 3012,
    kIdMovrak = 3013,
    kIdBootRom = 3014,
    kIdScanDsp = 3016,
    kIdVcDsp = 3017,
    kIdAfDsp = 3018,
    kIdModel = 3110,
    kIdSerialNumber = 3111,
    kIdHost = 3222,
  };

  // Reads the texts (a counted reference to `scanCtrl` is held while the dialog lives);
  // while `offline` or `busy` a message box says why the scanner's fields stay "Unknown".
  CAboutDlg(wxWindow* parent, IScanCtrl* scanCtrl, bool offline, bool busy);
  ~CAboutDlg() override;

  const lumetra::run::CAboutInfo& Info() const { return m_Info; }
  // The text a control shows.
  wxString Text(int controlId) const;

 private:
  void OnOK(wxCommandEvent& event);

  platform::com::ComPtr<IScanCtrl> m_pScanCtrl;
  lumetra::run::CAboutInfo m_Info;
};
