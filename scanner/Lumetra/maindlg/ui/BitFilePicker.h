#pragma once
// The data port's bit-file picker as a wx open-file dialog, for the operator's process.
#include <wx/string.h>

#include <chrono>
#include <string>

#include "Pellux/ScanDataPort.h"

namespace lumetra::maindlg {

// A wx wildcard from a filter in the "Name|pattern|Name|pattern||" form: the empty pair at
// the end goes, and "*.*" (any file) becomes "*", which here matches names without a dot too.
wxString WildcardOfFilter(const std::string& filter);

// How long a caller on another thread waits for the user-interface thread to show the picker.
inline constexpr std::chrono::seconds kBitFilePickerStartLimit{60};

// Shows the picker on the user-interface thread (a caller on another thread waits for the
// answer); the chosen path, or "" when cancelled, when the application is ending, or when
// the user interface did not take the picker up within kBitFilePickerStartLimit.
std::string ShowBitFilePicker(const OpenFilePickerRequest& request);

// Installs ShowBitFilePicker for the life of the object, then puts back what was there.
class BitFilePickerInstalled {
 public:
  BitFilePickerInstalled() : m_Previous(SetConfigBitFilePickerHook(ShowBitFilePicker)) {}
  ~BitFilePickerInstalled() { SetConfigBitFilePickerHook(m_Previous); }
  BitFilePickerInstalled(const BitFilePickerInstalled&) = delete;
  BitFilePickerInstalled& operator=(const BitFilePickerInstalled&) = delete;

 private:
  OpenFilePickerHook m_Previous;
};

}  // namespace lumetra::maindlg
