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
#include <future>
#include <memory>
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
  // Opens `target` and waits (bounded) for the handler's outcome; the start's result when
  // it did not start.
  static int openAndWait(const std::string& target) {
    auto outcome = std::make_shared<std::promise<int>>();
    std::future<int> result = outcome->get_future();
    const int started = shellOpen(target, [outcome](int r) { outcome->set_value(r); });
    if (started <= 32) return started;
    if (result.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return -1;
    return result.get();
  }
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
    EXPECT_EQ(openAndWait(target), 42);
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
      {"0", 42},                    // success is anything above 32
      {"1", kShellOpenBadRequest},  // bad command line
      {"2", 2},                     // file not found
      {"3", kShellOpenNoProgram},   // no program for it
      {"4", kShellOpenFailed},      // the program failed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exitCode);
    ::setenv("ZEVA_FAKE_EXIT", c.exitCode, 1);
    EXPECT_EQ(openAndWait("/data/a.tif"), c.result);
  }

  installFake("kill -9 $$\n");
  EXPECT_EQ(openAndWait("/data/a.tif"), kShellOpenFailed);

  // Only our folder on PATH from here, so that no real xdg-open is found.
  ::setenv("PATH", bin_.c_str(), 1);

  // Found but not executable: a spawn failure other than "not found", told at once.
  installFake("exit 0\n");
  ::chmod((bin_ + "/xdg-open").c_str(), 0644);
  bool late = false;
  EXPECT_EQ(shellOpen("/data/a.tif", [&late](int) { late = true; }), 1);

  // Nothing called xdg-open anywhere on PATH: the opener is missing, not the file.
  ::unlink((bin_ + "/xdg-open").c_str());
  EXPECT_EQ(shellOpen("/data/a.tif", [&late](int) { late = true; }), kShellOpenerMissing);
  EXPECT_FALSE(late) << "a start that failed was reported a second time";
}

TEST_F(ShellOpenTest, TheTextsSayWhatToInstallForTheTarget) {
  const std::string folder = tempDir();
  struct Case {
    int result;
    std::string target;
    std::string text;
  };
  const Case cases[] = {
      {kShellOpenNoProgram, folder,
       "No program to open it was found: install a file manager for \"xdg-open\" (package xdg-utils) to "
       "start."},
      {kShellOpenNoProgram, "/data/CarouselRunLog.htm",
       "No program to open it was found: install a web browser for \"xdg-open\" (package xdg-utils) to "
       "start."},
      {kShellOpenNoProgram, "/opt/zeva/help/Scanner.PDF",
       "No program to open it was found: install a PDF viewer for \"xdg-open\" (package xdg-utils) to "
       "start."},
      {kShellOpenFailed, "https://support.example.invalid/",
       "The program that \"xdg-open\" started for it failed: check that a web browser is installed and "
       "works."},
      {kShellOpenFailed, "/data/a.tif",
       "The program that \"xdg-open\" started for it failed: check that a program for this kind of file is "
       "installed and works."},
      {kShellOpenBadRequest, "/data/a.tif",
       "\"xdg-open\" did not accept the request: check its installation (package xdg-utils)."},
      {kShellOpenerMissing, "/data/a.tif", kShellOpenerMissingText},
      {2, "/data/a.tif", ""},  // the classic numbers' texts are the callers'
      {31, "/data/a.tif", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(shellOpenErrorText(c.result, c.target), c.text) << c.target;
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

// A viewer kept in the foreground: the call returns while it runs, it is not killed, and
// once the grace time has passed it counts as success.
TEST_F(ShellOpenTest, AHandlerStillRunningAfterTheGraceTimeHasTheDocument) {
  const std::string pidFile = tempDir() + "/pid";
  installFake("echo $$ > \"" + pidFile + ".part\"\nmv \"" + pidFile + ".part\" \"" + pidFile +
              "\"\nexec sleep 600\n");
  auto clock = std::make_shared<ManualClock>();
  ScopedClock scoped(clock);
  auto outcome = std::make_shared<std::promise<int>>();
  std::future<int> result = outcome->get_future();
  EXPECT_EQ(shellOpen("/data/a.tif", [outcome](int r) { outcome->set_value(r); }), 42);

  // The handler runs; no outcome before the grace time.
  pid_t pid = 0;
  for (int i = 0; i < 3000 && pid <= 0; ++i) {
    if (::access(pidFile.c_str(), F_OK) == 0) pid = static_cast<pid_t>(std::atoi(readFile(pidFile).c_str()));
    if (pid <= 0) ::poll(nullptr, 0, 10);  // bounded: 30 s at most
  }
  ASSERT_GT(pid, 0) << "the stand-in never started";
  EXPECT_NE(result.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);

  clock->advance(kShellOpenGrace);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_GT(result.get(), 32);
  EXPECT_EQ(::kill(pid, 0), 0) << "the viewer was ended";
  ::kill(pid, SIGKILL);  // the stand-in this test started
}

}  // namespace
}  // namespace platform::ui
