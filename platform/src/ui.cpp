#include "platform/ui.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/text.h"

extern char** environ;

namespace platform::ui {

namespace {

struct Hooks {
  std::mutex mutex;
  MessageBoxHook messageBox;
  ShellOpenHook shellOpen;
  DispatchHook dispatch;
};

Hooks& hooks() {
  static Hooks h;
  return h;
}

constexpr std::chrono::milliseconds kShellOpenPoll{10};

constexpr int kShellOpenOk = 42;  // any value above 32 means success
constexpr int kFileNotFound = 2;
constexpr int kOutOfResources = 0;
constexpr int kFailed = 1;

// Starts xdg-open; a value above 32 with `pid` set, else why it did not start.
int spawnXdgOpen(const std::string& target, pid_t* pid) {
  std::string program = "xdg-open";
  // xdg-open takes a leading '-' for an option of its own; such a target can only be a
  // file name relative to the working folder.
  std::string arg = !target.empty() && target.front() == '-' ? "./" + target : target;
  char* argv[] = {program.data(), arg.data(), nullptr};
  const int rc = ::posix_spawnp(pid, program.c_str(), nullptr, nullptr, argv, environ);
  if (rc == 0) return kShellOpenOk;
  // The target was not looked at yet: what is missing is the opener.
  if (rc == ENOENT) return kShellOpenerMissing;
  if (rc == ENOMEM || rc == EAGAIN) return kOutOfResources;
  return kFailed;
}

// xdg-open's exit codes: 1 bad command line, 2 no such file, 3 no tool for it, 4 the
// tool failed.
int outcomeOf(int status) {
  if (!WIFEXITED(status)) return kShellOpenFailed;
  switch (WEXITSTATUS(status)) {
    case 0:
      return kShellOpenOk;
    case 1:
      return kShellOpenBadRequest;
    case 2:
      return kFileNotFound;
    case 3:
      return kShellOpenNoProgram;
    default:
      return kShellOpenFailed;
  }
}

void deliver(ShellOpenDone done, int result) {
  if (!done) return;
  std::unique_lock lock(hooks().mutex);
  if (hooks().dispatch) {
    // Queued under the lock, so that a program removing its hook (its event loop about to
    // go) waits for a report being queued.
    hooks().dispatch([done = std::move(done), result] { done(result); });
    return;
  }
  lock.unlock();
  done(result);
}

// Reaps the handlers started and reports how each ended within the grace time. One
// thread, idle while no outcome is pending; a handler still running after its grace is
// only reaped (checked again whenever the thread works).
class Watcher {
 public:
  static Watcher& get() {
    static Watcher w;
    return w;
  }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;
  ~Watcher() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void watch(pid_t pid, ShellOpenDone done) {
    {
      std::lock_guard lock(mutex_);
      children_.push_back(Child{pid, steadyNow() + kShellOpenGrace, std::move(done), false});
      if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    wake_.notify_all();
  }

 private:
  // The hooks and the clock are made first, so that they outlive the thread that reports
  // through them and reads the time (statics end in the reverse order of their making).
  Watcher() {
    hooks();
    (void)clock();
  }

  struct Child {
    pid_t pid;
    SteadyTime deadline;
    ShellOpenDone done;
    bool decided;
  };

  bool anyUndecided() const {
    return std::any_of(children_.begin(), children_.end(), [](const Child& c) { return !c.decided; });
  }

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || anyUndecided(); });
      if (stop_) return;
      std::vector<std::pair<ShellOpenDone, int>> reports;
      const SteadyTime now = steadyNow();
      for (auto it = children_.begin(); it != children_.end();) {
        int status = 0;
        pid_t w = ::waitpid(it->pid, &status, WNOHANG);
        while (w < 0 && errno == EINTR) w = ::waitpid(it->pid, &status, WNOHANG);
        if (w != 0) {
          // Ended; reaped elsewhere (w < 0) its outcome is unknown: no report rather than a
          // false one.
          if (!it->decided)
            reports.emplace_back(std::move(it->done), w == it->pid ? outcomeOf(status) : kShellOpenOk);
          it = children_.erase(it);
          continue;
        }
        if (!it->decided && now >= it->deadline) {
          it->decided = true;  // still running: the viewer has the document
          reports.emplace_back(std::move(it->done), kShellOpenOk);
        }
        ++it;
      }
      if (!reports.empty()) {
        lock.unlock();
        for (auto& [done, result] : reports) {
          try {
            deliver(std::move(done), result);
          } catch (...) {
            // A report that throws is lost; the watcher goes on for the others.
          }
        }
        lock.lock();
      }
      if (stop_) return;
      if (anyUndecided())
        (void)clock().waitUntil(wake_, lock, steadyNow() + kShellOpenPoll, [this] { return stop_; });
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Child> children_;
  bool stop_ = false;
  std::thread thread_;
};

std::string kindOfProgram(const std::string& target) {
  const auto endsWith = [&](std::string_view suffix) {
    return target.size() >= suffix.size() &&
           equalsFolded(std::string_view(target).substr(target.size() - suffix.size()), suffix);
  };
  const auto startsWith = [&](const char* prefix) { return target.rfind(prefix, 0) == 0; };
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "a file manager";
  if (startsWith("http://") || startsWith("https://") || endsWith(".htm") || endsWith(".html"))
    return "a web browser";
  if (endsWith(".pdf")) return "a PDF viewer";
  return "a program for this kind of file";
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

DispatchHook setDispatchHook(DispatchHook hook) {
  std::lock_guard lock(hooks().mutex);
  return std::exchange(hooks().dispatch, std::move(hook));
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

int shellOpen(const std::string& target, ShellOpenDone done) {
  ShellOpenHook hook;
  {
    std::lock_guard lock(hooks().mutex);
    hook = hooks().shellOpen;
  }
  if (hook) return hook(target);
  pid_t pid = -1;
  const int started = spawnXdgOpen(target, &pid);
  if (started <= 32) return started;
  Watcher::get().watch(pid, std::move(done));
  return started;
}

std::string shellOpenErrorText(int result, const std::string& target) {
  switch (result) {
    case kShellOpenerMissing:
      return kShellOpenerMissingText;
    case kShellOpenBadRequest:
      return "\"xdg-open\" did not accept the request: check its installation (package xdg-utils).";
    case kShellOpenNoProgram:
      return "No program to open it was found: install " + kindOfProgram(target) +
             " for \"xdg-open\" (package xdg-utils) to start.";
    case kShellOpenFailed:
      return "The program that \"xdg-open\" started for it failed: check that " + kindOfProgram(target) +
             " is installed and works.";
    default:
      return {};
  }
}

}  // namespace platform::ui
