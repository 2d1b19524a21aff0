#include "platform/ui.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "testsupport/TestEnv.h"

namespace platform::ui {
namespace {

using ::testing::ElementsAre;
using testsupport::readFile;
using testsupport::writeFile;

// Restores an environment variable at the end of a scope.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v;
  }
  ~EnvGuard() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Restores the previous hook at the end of a scope, so one test's hook never leaks into
// the next.
template <typename Hook, Hook (*Set)(Hook)>
class HookGuard {
 public:
  explicit HookGuard(Hook h) : previous_(Set(std::move(h))) {}
  ~HookGuard() { Set(std::move(previous_)); }
  HookGuard(const HookGuard&) = delete;
  HookGuard& operator=(const HookGuard&) = delete;

 private:
  Hook previous_;
};
using MessageBoxHookGuard = HookGuard<MessageBoxHook, &setMessageBoxHook>;
using ShellOpenHookGuard = HookGuard<ShellOpenHook, &setShellOpenHook>;

TEST(MessageBox, DefaultAnswersTheFirstButtonAndWritesToStderr) {
  struct Case {
    unsigned type;
    int answer;
  };
  const Case cases[] = {
      {MB_OK, IDOK},
      {MB_OKCANCEL | MB_ICONQUESTION, IDOK},
      {MB_YESNO | MB_ICONWARNING, IDYES},
      {MB_YESNOCANCEL, IDYES},
      {MB_ABORTRETRYIGNORE | MB_ICONERROR, IDABORT},
      {MB_RETRYCANCEL | MB_ICONINFORMATION, IDRETRY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(defaultAnswer(c.type), c.answer);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(messageBox("Door open", "Scanner", c.type), c.answer);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Scanner: Door open\n");
  }
}

TEST(MessageBox, AnInstalledHookAnswersUntilItIsReplaced) {
  struct Call {
    std::string text, caption;
    unsigned type;
  };
  std::vector<Call> calls;
  {
    MessageBoxHookGuard guard([&](const std::string& text, const std::string& caption, unsigned type) {
      calls.push_back({text, caption, type});
      return IDNO;
    });
    EXPECT_EQ(messageBox("Overwrite?", "Save", MB_YESNO | MB_ICONQUESTION), IDNO);

    // The returned previous hook is the one just installed; putting it back keeps it.
    MessageBoxHook mine = setMessageBoxHook({});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(messageBox("Overwrite?", "Save", MB_YESNO), IDYES);  // the default again
    ::testing::internal::GetCapturedStderr();
    setMessageBoxHook(std::move(mine));
    EXPECT_EQ(messageBox("Again", "", MB_OK), IDNO);
  }
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].text, "Overwrite?");
  EXPECT_EQ(calls[0].caption, "Save");
  EXPECT_EQ(calls[0].type, MB_YESNO | MB_ICONQUESTION);
  EXPECT_EQ(calls[1].caption, "");
}

// A stand-in xdg-open at the front of PATH: records its arguments (NUL-separated) and
// exits with the code in $ZEVA_FAKE_EXIT.
class ShellOpenTest : public testsupport::ZevaTest {
 protected:
  ShellOpenTest() {
    bin_ = tempDir() + "/bin";
    ::mkdir(bin_.c_str(), 0755);
    const char* old = std::getenv("PATH");
    ::setenv("PATH", (bin_ + ":" + (old && *old ? old : "/usr/bin:/bin")).c_str(), 1);
  }

  void installFake(const std::string& body) {
    const std::string script = bin_ + "/xdg-open";
    writeFile(script, "#!/bin/sh\n" + body);
    ::chmod(script.c_str(), 0755);
  }
  void installRecorder() {
    installFake("for a; do printf '%s\\0' \"$a\"; done > \"" + argsFile() + "\"\nexit \"$ZEVA_FAKE_EXIT\"\n");
  }
  std::string argsFile() const { return tempDir() + "/args"; }
  std::vector<std::string> recordedArgs() const {
    const std::string all = readFile(argsFile());
    std::vector<std::string> args;
    for (std::size_t start = 0; start < all.size();) {
      const auto end = all.find('\0', start);
      args.push_back(all.substr(start, end - start));
      start = end + 1;
    }
    return args;
  }

  EnvGuard pathGuard_{"PATH"};
  EnvGuard exitGuard_{"ZEVA_FAKE_EXIT"};
  std::string bin_;
};

TEST_F(ShellOpenTest, PassesTheTargetAsOneUntouchedArgument) {
  installRecorder();
  ::setenv("ZEVA_FAKE_EXIT", "0", 1);
  const std::string targets[] = {
      "/data/scan results/slide 1.tif",
      "it's \"quoted\"; rm -rf / $(touch " + tempDir() + "/pwned) `id` && echo *",
      "https://example.invalid/a?b=c&d=e",
      "-rf",  // would be an option to xdg-open; goes as a relative file instead
  };
  for (const auto& target : targets) {
    SCOPED_TRACE(target);
    ::unlink(argsFile().c_str());
    EXPECT_EQ(shellOpen(target), 42);
    const std::string expected = target.front() == '-' ? "./" + target : target;
    EXPECT_THAT(recordedArgs(), ElementsAre(expected));
  }
  EXPECT_FALSE(::access((tempDir() + "/pwned").c_str(), F_OK) == 0) << "the target went through a shell";
}

TEST_F(ShellOpenTest, MapsTheHandlersOutcome) {
  installRecorder();
  struct Case {
    const char* exitCode;
    int result;
  };
  const Case cases[] = {
      {"0", 42},  // success is anything above 32
      {"1", 1},   // bad syntax
      {"2", 2},   // file not found
      {"3", 31},  // no tool for it: no association
      {"4", 1},   // the tool failed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exitCode);
    ::setenv("ZEVA_FAKE_EXIT", c.exitCode, 1);
    EXPECT_EQ(shellOpen("/data/a.tif"), c.result);
  }

  installFake("kill -9 $$\n");
  EXPECT_EQ(shellOpen("/data/a.tif"), 1);

  // Only our folder on PATH from here, so that no real xdg-open is found.
  ::setenv("PATH", bin_.c_str(), 1);

  // Found but not executable: a spawn failure other than "not found".
  installFake("exit 0\n");
  ::chmod((bin_ + "/xdg-open").c_str(), 0644);
  EXPECT_EQ(shellOpen("/data/a.tif"), 1);

  // Nothing called xdg-open anywhere on PATH: the opener is missing, not the file.
  ::unlink((bin_ + "/xdg-open").c_str());
  EXPECT_EQ(shellOpen("/data/a.tif"), kShellOpenerMissing);
}

TEST_F(ShellOpenTest, AHookReplacesTheHandler) {
  installRecorder();
  ::setenv("ZEVA_FAKE_EXIT", "0", 1);
  std::vector<std::string> opened;
  {
    ShellOpenHookGuard guard([&](const std::string& target) {
      opened.push_back(target);
      return 31;
    });
    EXPECT_EQ(shellOpen("/data/report.html"), 31);
  }
  EXPECT_THAT(opened, ElementsAre("/data/report.html"));
  EXPECT_FALSE(::access(argsFile().c_str(), F_OK) == 0) << "xdg-open ran although a hook was installed";
  EXPECT_EQ(shellOpen("/data/report.html"), 42);  // the hook is gone again
}

// Fake time that only moves by the waiter's own sleeps; the first sleep blocks until the
// handler has reported its pid, so the time-out strikes a handler that surely runs.
class HandlerStartedClock : public ManualClock {
 public:
  explicit HandlerStartedClock(std::string fifo) : fifo_(std::move(fifo)) { setAutoAdvance(true); }
  void sleepFor(std::chrono::nanoseconds d) override {
    if (!pid_) pid_ = readPid();
    slept_ += d;
    ManualClock::sleepFor(d);
  }
  std::optional<pid_t> pid() const { return pid_; }
  std::chrono::nanoseconds slept() const { return slept_; }

 private:
  std::optional<pid_t> readPid() {
    const int fd = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return pid_t{-1};
    std::string text;
    pollfd p{fd, POLLIN, 0};
    // Bounded: a handler that never starts fails the test instead of hanging it.
    while (text.find('\n') == std::string::npos && ::poll(&p, 1, 10'000) > 0) {
      char buf[32];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text.empty() ? pid_t{-1} : static_cast<pid_t>(std::atoi(text.c_str()));
  }

  std::string fifo_;
  std::optional<pid_t> pid_;
  std::chrono::nanoseconds slept_{0};
};

TEST_F(ShellOpenTest, AHandlerThatNeverReturnsIsKilledAfterTheTimeOut) {
  const std::string fifo = tempDir() + "/started";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Opening the fifo for writing blocks until the clock opens it for reading.
  installFake("echo $$ > \"" + fifo + "\"\nexec sleep 600\n");
  auto clock = std::make_shared<HandlerStartedClock>(fifo);
  {
    ScopedClock scoped(clock);
    EXPECT_EQ(shellOpen("/data/a.tif"), 1);
  }
  ASSERT_TRUE(clock->pid());
  ASSERT_GT(*clock->pid(), 0);
  // Killed and reaped: the pid names no process any more.
  EXPECT_EQ(::kill(*clock->pid(), 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_GE(clock->slept(), std::chrono::seconds(10) - std::chrono::milliseconds(100));
  EXPECT_LE(clock->slept(), std::chrono::seconds(11));
}

}  // namespace
}  // namespace platform::ui
