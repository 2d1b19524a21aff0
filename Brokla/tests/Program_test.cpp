// The program around the service: a start that cannot succeed says why on stderr (cause,
// fix, exit code) while the log keeps its own line, and `--control` takes the codes by
// name as well as by number.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "support/DaemonFixture.h"

namespace brokla_test {
namespace {

using testing::HasSubstr;

class ProgramTest : public DaemonTest {
 protected:
  struct Run {
    std::optional<int> exitCode;
    std::string out, err;
  };
  Run brokla(const std::vector<std::string>& args) {
    std::vector<std::string> argv{BROKLA_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string stem = tempDir() + "/run" + std::to_string(++runs_);
    auto c = platform::process::Child::spawn(argv, {tempDir(), stem + ".out", stem + ".err"});
    Run r{c.wait(kWait), {}, {}};
    r.out = testsupport::readFile(stem + ".out");
    r.err = testsupport::readFile(stem + ".err");
    return r;
  }
  int runs_ = 0;
};

TEST_F(ProgramTest, StartUpFailuresSayWhyOnStderrAndKeepTheirLogLines) {
  const std::string services = tempDir() + "/services";
  const std::string complete = testsupport::readFile(services);
  const std::string open = tempDir() + "/open";
  ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
  const struct {
    const char* what;
    std::string servicesFile;  // ZEVA_SERVICES_FILE
    std::string servicesText;  // written to it ("": left as it is)
    std::string runtime;       // ZEVA_RUNTIME_DIR ("": the test's)
    bool holdControlPort;      // another socket holds the control port
    std::vector<std::string> stderrSays;
    const char* logSays;
  } cases[] = {
      {"no services file",
       tempDir() + "/missing",
       "",
       "",
       false,
       {"no port for the service \"vrelcntrl\" (udp) in " + tempDir() +
            "/missing (ZEVA_SERVICES_FILE, which does not exist), or /etc/services",
        "run 'zevazodizo-setup' once"},
       "failed to get 'udp' service information : error = 11004"},
      {"no instrument ports",
       services,
       "vrelevent 1/udp\nvrelcntrl " + std::to_string(controlPort_) + "/udp\n",
       "",
       false,
       {"no port for the service \"vrelinstr\" (tcp) in " + services + " (ZEVA_SERVICES_FILE)"},
       " [VREL_SVC] Unable to find vrelinstr in services file"},
      {"runtime folder open to others",
       services,
       complete,
       open,
       false,
       {"the runtime folder " + open + " (from ZEVA_RUNTIME_DIR) is open to other users (mode 0755",
        "chmod 700 " + open},
       "StartServiceCtrlDispatcher error = 13"},
      {"control port taken",
       services,
       complete,
       "",
       true,
       {"can't bind to vrelcntrl port: 10048 (Address already in use)", "another program holds that port"},
       "can't bind to vrelcntrl port: 10048"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.servicesText.empty()) testsupport::writeFile(c.servicesFile, c.servicesText);
    ::setenv("ZEVA_SERVICES_FILE", c.servicesFile.c_str(), 1);
    ::setenv("ZEVA_RUNTIME_DIR", (c.runtime.empty() ? runtimeDir() : c.runtime).c_str(), 1);
    platform::net::Socket holder;
    if (c.holdControlPort) {
      holder = platform::net::Socket::create(platform::net::Socket::Type::datagram);
      ASSERT_TRUE(holder.bind({platform::net::kLoopbackAddress, controlPort_}));
    }
    const int logged = log_.count(c.logSays);
    const Run r = brokla({});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("brokla: cannot start: "));
    for (const std::string& text : c.stderrSays) EXPECT_THAT(r.err, HasSubstr(text));
    EXPECT_THAT(r.err, HasSubstr("brokla: exit code 1; the log is " + tempDir() + "/logs/brokla"));
    EXPECT_EQ(log_.count(c.logSays), logged + 1);
  }
  ::setenv("ZEVA_SERVICES_FILE", services.c_str(), 1);
  ::setenv("ZEVA_RUNTIME_DIR", runtimeDir().c_str(), 1);
}

TEST_F(ProgramTest, AFileInThePlaceOfItsPipeIsNamedWithTheFix) {
  const std::string appmon = runtimeDir() + "/appmon";
  testsupport::writeFile(appmon, "not a pipe");
  const Run r = brokla({});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.err, HasSubstr("brokla: cannot start: its pipe " + appmon +
                               " cannot be made: a file that is not a pipe has that name (CreatePipe: "));
  EXPECT_THAT(r.err, HasSubstr("brokla: to fix it, remove " + appmon));
  EXPECT_EQ(testsupport::readFile(appmon), "not a pipe");  // left as it was
}

TEST_F(ProgramTest, WithoutAnInstallationFolderTheLogIsTheUsersOwn) {
  // No "LogFile", no "Path": not the shared temporary folder, but below the user's data
  // folder, where the first run's default installation folder keeps its logs.
  (void)platform::registry::deleteValue(platform::HKEY_LOCAL_MACHINE,
                                        "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla", "LogFile");
  const std::string data = tempDir() + "/data";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  ::setenv("ZEVA_SERVICES_FILE", (tempDir() + "/missing").c_str(), 1);
  const Run r = brokla({});
  ::setenv("ZEVA_SERVICES_FILE", (tempDir() + "/services").c_str(), 1);
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.err, HasSubstr("the log is " + data + "/zevazodizo/Logs/brokla0.log"));
  EXPECT_TRUE(platform::fileExists(data + "/zevazodizo/Logs/brokla0.log"));
}

TEST_F(ProgramTest, ALogFolderThatIsNotThereIsSaidAndTheLogGoesToTheTemporaryFolder) {
  const std::string serviceKey = "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla";
  const std::string productKey = "Software\\Tarsel\\ZevazOdizo";
  const std::string installed = tempDir() + "/installed";
  ASSERT_TRUE(platform::createDirectories(installed));
  const struct {
    const char* what;
    std::string logFile;  // "LogFile" ("": none)
    std::string path;     // "Path"
    std::string says;
  } cases[] = {
      {"installation folder gone", "", tempDir() + "/gone",
       "the installation folder " + tempDir() + "/gone (registry \"Path\") does not exist"},
      {"installation folder without its Logs", "", installed,
       "its folder " + installed + "/Logs does not exist"},
      {"folder of \"LogFile\" gone", tempDir() + "/nowhere/brokla.log", installed,
       "its folder " + tempDir() + "/nowhere/ (from \"LogFile\") does not exist"},
  };
  // The start fails quickly (no services file); what matters is what it says on the way.
  ::setenv("ZEVA_SERVICES_FILE", (tempDir() + "/missing").c_str(), 1);
  const std::string fallBack = tempDir() + "/brokla0.log";  // TMPDIR is the test's folder
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.logFile.empty())
      (void)platform::registry::deleteValue(platform::HKEY_LOCAL_MACHINE, serviceKey, "LogFile");
    else
      setString("LogFile", c.logFile);
    ASSERT_EQ(platform::registry::setValue(platform::HKEY_LOCAL_MACHINE, productKey, "Path",
                                           platform::registry::makeString(c.path)),
              platform::registry::kOk);
    const Run r = brokla({});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("brokla: the log cannot go where its settings put it: " + c.says));
    EXPECT_THAT(r.err, HasSubstr("brokla: it goes to " + fallBack + " instead"));
    EXPECT_THAT(r.err, HasSubstr("the log is " + fallBack));
    EXPECT_THAT(testsupport::readFile(fallBack), HasSubstr(c.says));
  }
  ::setenv("ZEVA_SERVICES_FILE", (tempDir() + "/services").c_str(), 1);
  EXPECT_FALSE(platform::directoryExists(tempDir() + "/gone"));
}

// A FIFO where its log goes held the start in open(), before any pipe existed and with
// the stop signals already blocked: brokla must serve, log elsewhere and say why, and
// stop on SIGTERM.
TEST_F(ProgramTest, AFifoWhereItsLogGoesHoldsNeitherItsStartNorItsStop) {
  // A folder of its own: the fixture's log watch reads every log file of its folder.
  const std::string folder = tempDir() + "/fifolog";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  testsupport::makeFifo(folder + "/brokla0.log");
  setString("LogFile", folder + "/brokla.log");
  const std::string log = folder + "/broklaA0.log";

  auto daemon = platform::process::Child::spawn(
      {BROKLA_PROGRAM}, {tempDir(), tempDir() + "/fifolog.out", tempDir() + "/fifolog.err"});
  ASSERT_GT(daemon.pid(), 0);
  const auto end = std::chrono::steady_clock::now() + kWait;
  while (testsupport::readFile(log).find("Processing the startup REFRESH request") == std::string::npos &&
         daemon.running() && std::chrono::steady_clock::now() < end)
    platform::sleepFor(std::chrono::milliseconds(5));  // the log is a file: looked at until the time-out
  const std::string text = testsupport::readFile(log);
  EXPECT_NE(text.find("Processing the startup REFRESH request"), std::string::npos)
      << "brokla did not start:\n"
      << text << testsupport::readFile(tempDir() + "/fifolog.err");
  EXPECT_NE(text.find("WARNING: The log file " + folder +
                      "/brokla0.log cannot be used: it is not a regular file (a pipe, socket or device)."),
            std::string::npos)
      << text;
  ASSERT_TRUE(daemon.signal(SIGTERM));
  EXPECT_EQ(daemon.wait(kWait), 0);
}

TEST_F(ProgramTest, ASecondInstanceSaysWhichOneServes) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  EXPECT_EQ(runSecondDaemon(), 1);
  const std::string err = testsupport::readFile(tempDir() + "/second.stderr");
  EXPECT_THAT(err, HasSubstr("another brokla serves this user already (its control socket " + runtimeDir() +
                             "/brokla.control is in use)"));
  EXPECT_THAT(err, HasSubstr("systemctl --user stop brokla"));
  EXPECT_TRUE(daemonRunning());
}

TEST_F(ProgramTest, ControlCodesByNameOrNumber) {
  // Refused before anybody is asked, running service or not.
  for (const char* bad : {"", "stopp", "-1", "4294967296", "1x", "re fresh", "4294967295", "2", "139"}) {
    SCOPED_TRACE(bad);
    const Run r = brokla({"--control", bad});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_THAT(r.err, HasSubstr("bad control code"));
    EXPECT_THAT(r.err,
                HasSubstr("stop (1), interrogate (4), publish (138), break-lock (148), reopen-log (158), "
                          "refresh (168)"));
  }
  const Run nobody = brokla({"--control", "refresh"});
  EXPECT_EQ(nobody.exitCode, 1);
  EXPECT_THAT(nobody.err, HasSubstr("the service is not running"));

  ASSERT_NO_FATAL_FAILURE(startDaemon());
  const struct {
    const char* code;
    const char* logged;
    const char* says;  // what the user reads it did
  } codes[] = {
      {"refresh", "Refresh Instrument List Control Request.",
       "brokla: asked the instruments to identify themselves again;"},
      {"PUBLISH", "Display Instrument List Control Request.",
       "brokla: published the instrument list in the registry (\"InstrOnNetwork\", \"Instr1\""},
      {"Break-Lock", "Break Instrument Lock Control Request.",
       "brokla: broke the lock of the instrument named by"},
      {"reopen-log", "Log File Change Control Request.", "brokla: reopened the log file"},
      {"158", "Log File Change Control Request.", "brokla: reopened the log file"},
      {"168", "Refresh Instrument List Control Request.", "brokla: asked the instruments to identify"},
  };
  for (const auto& c : codes) {
    SCOPED_TRACE(c.code);
    const int before = log_.count(c.logged);
    const Run r = brokla({"--control", c.code});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, testing::StartsWith(c.says));
    EXPECT_THAT(r.out, testing::EndsWith("; the service is running\n"));
    EXPECT_TRUE(log_.waitFor(c.logged, before + 1));
  }
  const Run interrogate = brokla({"--control", "interrogate"});
  EXPECT_EQ(interrogate.out, "brokla: asked the service for its state; the service is running\n");

  const Run stop = brokla({"--control", "stop"});
  EXPECT_EQ(stop.exitCode, 0) << stop.err;
  EXPECT_THAT(stop.out, testing::StartsWith("brokla: asked the service to stop; the service is "));
  EXPECT_EQ(waitDaemonExit(), 0);
}

}  // namespace
}  // namespace brokla_test
