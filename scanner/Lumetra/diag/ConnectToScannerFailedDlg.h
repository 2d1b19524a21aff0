#pragma once
// Shown when the scanner cannot be reached at start-up: the failure text with Yes and No
// (the text says what they mean; the caller acts on the answer), and "Diagnostics", which
// runs the connection diagnostics in a dialog of their own and comes back here.
#include <wx/dialog.h>

#include <string>

class wxStaticText;

namespace lumetra {

inline constexpr int IDD_CONNECT_FAILED = 138;
inline constexpr int IDC_CONNECT_FAILED_TEXT = 3219;
inline constexpr int IDC_DIAGNOSTICS = 3;

class CConnectToScannerFailedDlg : public wxDialog {
 public:
  explicit CConnectToScannerFailedDlg(wxWindow* parent);

  // Runs the dialog modally: IDYES, IDNO, or IDCANCEL when it was closed otherwise.
  int DoModal();

  // Set before the dialog runs.
  std::string m_strMessage;

  // The handlers, open to tests.
  void OnInitDialog(wxInitDialogEvent& event);
  void OnDiagnostics(wxCommandEvent& event);
  void OnYes(wxCommandEvent& event);
  void OnNo(wxCommandEvent& event);

  wxStaticText* m_Text;

 private:
  void Finish(int code);
};

}  // namespace lumetra
