#include "platform/ui.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <mutex>
#include <utility>

#include "platform/clock.h"

extern char** environ;

namespace platform::ui {

namespace {

struct Hooks {
  std::mutex mutex;
  MessageBoxHook messageBox;
  ShellOpenHook shellOpen;
};

Hooks& hooks() {
  static Hooks h;
  return h;
}

// xdg-open normally hands over and exits within a second; a handler that keeps it
// waiting (a browser run in the foreground) must not block the caller for ever.
constexpr std::chrono::seconds kShellOpenTimeout{10};
constexpr std::chrono::milliseconds kShellOpenPoll{10};

constexpr int kShellOpenOk = 42;  // any value above 32 means success
constexpr int kFileNotFound = 2;
constexpr int kNoAssociation = 31;
constexpr int kOutOfResources = 0;
constexpr int kFailed = 1;

int spawnXdgOpen(const std::string& target) {
  std::string program = "xdg-open";
  // xdg-open takes a leading '-' for an option of its own; such a target can only be a
  // file name relative to the working folder.
  std::string arg = !target.empty() && target.front() == '-' ? "./" + target : target;
  char* argv[] = {program.data(), arg.data(), nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ);
  if (rc != 0) {
    // The target was not looked at yet: what is missing is the opener.
    if (rc == ENOENT) return kShellOpenerMissing;
    if (rc == ENOMEM || rc == EAGAIN) return kOutOfResources;
    return kFailed;
  }

  const SteadyTime deadline = steadyNow() + kShellOpenTimeout;
  int status = 0;
  for (;;) {
    const pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return kFailed;  // reaped elsewhere (SIGCHLD ignored): the outcome is unknown
    if (steadyNow() >= deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return kFailed;
    }
    sleepFor(kShellOpenPoll);
  }
  if (!WIFEXITED(status)) return kFailed;
  switch (WEXITSTATUS(status)) {
    case 0:
      return kShellOpenOk;
    case 2:  // the file does not exist
      return kFileNotFound;
    case 3:  // no tool for this kind of target
      return kNoAssociation;
    default:
      return kFailed;
  }
}

}  // namespace

MessageBoxHook setMessageBoxHook(MessageBoxHook hook) {
  std::lock_guard lock(hooks().mutex);
  return std::exchange(hooks().messageBox, std::move(hook));
}

ShellOpenHook setShellOpenHook(ShellOpenHook hook) {
  std::lock_guard lock(hooks().mutex);
  return std::exchange(hooks().shellOpen, std::move(hook));
}

int defaultAnswer(unsigned type) {
  switch (type & MB_TYPEMASK) {
    case MB_OK:
    case MB_OKCANCEL:
      return IDOK;
    case MB_ABORTRETRYIGNORE:
      return IDABORT;
    case MB_YESNOCANCEL:
    case MB_YESNO:
      return IDYES;
    case MB_RETRYCANCEL:
      return IDRETRY;
    default:
      return IDOK;
  }
}

int messageBox(const std::string& text, const std::string& caption, unsigned type) {
  MessageBoxHook hook;
  {
    // Called outside the lock: a hook may show a dialog for as long as the operator needs.
    std::lock_guard lock(hooks().mutex);
    hook = hooks().messageBox;
  }
  if (hook) return hook(text, caption, type);
  std::cerr << (caption.empty() ? text : caption + ": " + text) << std::endl;
  return defaultAnswer(type);
}

int shellOpen(const std::string& target) {
  ShellOpenHook hook;
  {
    std::lock_guard lock(hooks().mutex);
    hook = hooks().shellOpen;
  }
  if (hook) return hook(target);
  return spawnXdgOpen(target);
}

}  // namespace platform::ui
