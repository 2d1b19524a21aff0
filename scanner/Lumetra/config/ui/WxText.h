#pragma once
// Texts of the scanner software are byte strings; the windows show them through wx.
#include <wx/string.h>

#include <string>

namespace lumetra {

// UTF-8 when the bytes are UTF-8, else read as Latin-1, so that no text shows empty.
inline wxString ToWx(const std::string& s) {
  wxString w = wxString::FromUTF8(s.data(), s.size());
  if (w.empty() && !s.empty()) w = wxString(s.data(), wxConvISO8859_1, s.size());
  return w;
}
inline std::string FromWx(const wxString& s) { return std::string(s.utf8_str()); }

}  // namespace lumetra
