#pragma once
// Message boxes and shell open for code without a window of its own. A replaceable
// hook: the user interface installs its dialogs, headless processes log, tests script
// the answers.
#include <functional>
#include <string>

namespace platform::ui {

// Box types and results (the usual numbers, so callers can keep their constants).
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_OKCANCEL = 0x1;
inline constexpr unsigned MB_ABORTRETRYIGNORE = 0x2;
inline constexpr unsigned MB_YESNOCANCEL = 0x3;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_RETRYCANCEL = 0x5;
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_TYPEMASK = 0xF;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

using MessageBoxHook = std::function<int(const std::string& text, const std::string& caption, unsigned type)>;
// Installs a hook (empty: the default, which writes the text to stderr and answers the
// box's first button); returns the previous one.
MessageBoxHook setMessageBoxHook(MessageBoxHook hook);
int messageBox(const std::string& text, const std::string& caption = {}, unsigned type = MB_OK);
// The answer the default hook gives for a box type (its first button).
int defaultAnswer(unsigned type);

// Opens a document or address with the desktop's handler ("xdg-open target", as an
// argument vector, never through a shell). Returns a value above 32 on success, else
// one of the classic error numbers: 2 file not found, 31 no association, 0 out of
// resources, 1 when the handler failed otherwise, or kShellOpenerMissing when this
// computer has no xdg-open at all.
int shellOpen(const std::string& target);
inline constexpr int kShellOpenerMissing = 4;
inline constexpr const char* kShellOpenerMissingText =
    "No program to open it was found: \"xdg-open\" is not installed (package xdg-utils).";
using ShellOpenHook = std::function<int(const std::string& target)>;
ShellOpenHook setShellOpenHook(ShellOpenHook hook);

}  // namespace platform::ui
