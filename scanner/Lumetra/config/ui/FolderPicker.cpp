#include "config/ui/FolderPicker.h"

#include <wx/dirdlg.h>

#include "config/ui/WxText.h"
#include "platform/files.h"

namespace {

using lumetra::FromWx;
using lumetra::ToWx;

std::optional<std::string> runDirDialog(wxWindow* parent, const std::string& title,
                                        const std::string& initial) {
  // Without wxDD_CHANGE_DIR: the dialog leaves the current folder alone.
  wxDirDialog dialog(parent, ToWx(title), ToWx(initial), wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return std::nullopt;
  return FromWx(dialog.GetPath());
}

CFolderPicker::Runner& runner() {
  static CFolderPicker::Runner r = runDirDialog;
  return r;
}

// The first `max` bytes, not cutting a UTF-8 sequence in two.
std::string cut(const std::string& text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

}  // namespace

CFolderPicker::CFolderPicker(wxWindow* parent, const std::string& title)
    : m_Parent(parent), m_Title(cut(title, kMaxTitle)) {}

CFolderPicker::Runner CFolderPicker::SetRunner(Runner r) {
  Runner previous = std::move(runner());
  runner() = r ? std::move(r) : Runner(runDirDialog);
  return previous;
}

bool CFolderPicker::DoModal() {
  const std::string initial =
      !InitialFolder.empty() && platform::directoryExists(InitialFolder) ? InitialFolder : std::string();
  const std::optional<std::string> chosen = runner()(m_Parent, m_Title, initial);
  if (!chosen || chosen->empty()) return false;
  m_Path = *chosen;
  return true;
}
