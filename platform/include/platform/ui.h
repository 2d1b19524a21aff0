#pragma once
// Message boxes and shell open for code without a window of its own. A replaceable
// hook: the user interface installs its dialogs, headless processes log, tests script
// the answers.
#include <chrono>
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

// Opens a document, folder or address with the desktop's handler ("xdg-open target", as
// an argument vector, never through a shell) without waiting for it: a handler may keep
// its viewer in the foreground for as long as the user reads.
// Returns at once: a value above 32 when the handler started, else one of the classic
// error numbers (0 out of resources, 1 failed otherwise) or kShellOpenerMissing when this
// computer has no xdg-open at all. The handler's outcome comes later, through `done`: its
// error number when it ends with an error within kShellOpenGrace, else a value above 32
// (a handler still running then has the document). `done` runs through the dispatch
// hook, else on the module's watcher thread; it is not called when the start failed.
using ShellOpenDone = std::function<void(int result)>;
int shellOpen(const std::string& target, ShellOpenDone done = {});
inline constexpr std::chrono::seconds kShellOpenGrace{3};

// Outcomes of this platform's handler besides the classic numbers (2: file not found).
inline constexpr int kShellOpenerMissing = 4;    // no xdg-open
inline constexpr int kShellOpenBadRequest = 17;  // xdg-open refused its command line
inline constexpr int kShellOpenNoProgram = 18;   // no program for this kind of target
inline constexpr int kShellOpenFailed = 19;      // the program chosen failed
inline constexpr const char* kShellOpenerMissingText =
    "No program to open it was found: \"xdg-open\" is not installed (package xdg-utils).";
// The text of one of this platform's own outcomes above, saying what to install or check
// for this target (a folder, a PDF file, a web page or address ...); empty for the
// classic numbers, whose texts the callers own.
std::string shellOpenErrorText(int result, const std::string& target);

// A replacement of the handler (tests): its result is taken as the start's; `done` is
// not called.
using ShellOpenHook = std::function<int(const std::string& target)>;
ShellOpenHook setShellOpenHook(ShellOpenHook hook);

// Where late reports such as a handler's outcome run: a window program queues them on
// its event loop (empty: on the reporting thread). Returns the previous hook.
using DispatchHook = std::function<void(std::function<void()>)>;
DispatchHook setDispatchHook(DispatchHook hook);

}  // namespace platform::ui
