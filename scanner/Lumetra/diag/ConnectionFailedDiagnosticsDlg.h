#pragma once
// The connection diagnostics' findings, one line each, in a resizable read-only text box.
// The checks run when the dialog opens (they block for up to several seconds while the
// ping sweep waits, so the wait cursor shows meanwhile), anew at every opening.
#include <wx/dialog.h>

#include <string>

class wxButton;
class wxTextCtrl;

namespace lumetra {

inline constexpr int IDD_CONNECTION_DIAGNOSTICS = 139;
inline constexpr int IDC_DIAGNOSTICS_TEXT = 3220;

class CConnectionFailedDiagnosticsDlg : public wxDialog {
 public:
  explicit CConnectionFailedDiagnosticsDlg(wxWindow* parent);

  int DoModal();
  void OnInitDialog(wxInitDialogEvent& event);

  wxTextCtrl* m_Edit;
  wxButton* m_Exit;
  // The lines as shown, each followed by CR LF.
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// The UI's text from the system's byte strings: UTF-8 when valid, else Latin-1.
wxString ToWxText(const std::string& bytes);

}  // namespace lumetra
