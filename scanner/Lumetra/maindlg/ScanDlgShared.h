// Texts and helpers that several parts of the main window's logic share; private to maindlg.
#pragma once

#include <string>

#include "maindlg/ScanDlgCore.h"

namespace lumetra::maindlg::detail {

inline constexpr const char* kQuillmark = "Quillmark";

inline std::string UnhandledText() { return MainDlgText(9919, "An unhandled error occurred."); }

}  // namespace lumetra::maindlg::detail
