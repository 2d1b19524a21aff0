#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/clock.h"
#include "platform/localpipe.h"
#include "platform/process.h"
#include "platform/service.h"
#include "testsupport/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using platform::process::Child;

class ProcessTest : public testsupport::ZevaTest {
 protected:
  // Bounded: a file the started program should write.
  bool waitForFile(const std::string& path) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
      if (!testsupport::readFile(path).empty()) return true;
      platform::sleepFor(10ms);
    }
    return false;
  }
};

TEST_F(ProcessTest, DetachedProgramStartsInItsFolderWithItsArgumentsAndNothingInherited) {
  const std::string out = tempDir() + "/out.txt";
  // The arguments reach the program untouched: no shell splits or expands them.
  const std::string script =
      "printf '%s|%s|%s|' \"$PWD\" \"$1\" \"$2\" > out.tmp; ls /proc/self/fd | wc -l >> out.tmp; "
      "mv out.tmp out.txt";
  int error = -1;
  const auto pid = platform::process::spawnDetached(
      {"/bin/sh", "-c", script, "sh", "10.0.0.5_3001", "a b;$(x)"}, tempDir(), &error);
  ASSERT_TRUE(pid.has_value()) << error;
  EXPECT_EQ(error, 0);
  EXPECT_GT(*pid, 0);
  ASSERT_TRUE(waitForFile(out));
  const std::string text = testsupport::readFile(out);
  EXPECT_THAT(text, testing::StartsWith(tempDir() + "|10.0.0.5_3001|a b;$(x)|"));
  // 0, 1, 2 and the one ls opens to read the folder: nothing of ours leaked in.
  EXPECT_THAT(text, testing::EndsWith("|4\n"));
}

TEST_F(ProcessTest, DetachedStartFailuresSayWhy) {
  int error = 0;
  EXPECT_FALSE(platform::process::spawnDetached({tempDir() + "/missing"}, {}, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(platform::process::spawnDetached({"/bin/true"}, tempDir() + "/no/such/folder", &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(platform::process::spawnDetached({}, {}, &error));
  EXPECT_EQ(error, EINVAL);
}

TEST_F(ProcessTest, ChildIsWaitedForAndSignalled) {
  Child ok = Child::spawn({"/bin/sh", "-c", "echo hello; echo oops >&2; exit 3"},
                          {tempDir(), tempDir() + "/stdout", tempDir() + "/stderr"});
  ASSERT_GT(ok.pid(), 0);
  EXPECT_EQ(ok.wait(10s), 3);
  EXPECT_EQ(testsupport::readFile(tempDir() + "/stdout"), "hello\n");
  EXPECT_EQ(testsupport::readFile(tempDir() + "/stderr"), "oops\n");

  Child sleeper = Child::spawn({"sleep", "30"});
  ASSERT_GT(sleeper.pid(), 0);
  EXPECT_TRUE(sleeper.running());
  EXPECT_FALSE(sleeper.wait(0ms).has_value());
  // It is listed while it runs, under its program's name. The spawn returns while the
  // child may still be in its exec (still named as this program): looked for, bounded,
  // until it is the new program.
  std::vector<platform::process::ProcessInfo> list;
  auto it = list.end();
  for (const auto end = std::chrono::steady_clock::now() + 10s;;) {
    list = platform::process::listProcesses();
    it = std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.pid == sleeper.pid(); });
    if ((it != list.end() && it->name == "sleep") || std::chrono::steady_clock::now() >= end) break;
  }
  ASSERT_NE(it, list.end());
  EXPECT_EQ(it->name, "sleep");
  EXPECT_THAT(it->arguments, testing::ElementsAre("sleep", "30"));
  EXPECT_EQ(it->owner, platform::process::currentUser());
  EXPECT_TRUE(platform::process::isProgramRunning("SLEEP.exe"));
  ASSERT_TRUE(sleeper.signal(SIGTERM));
  EXPECT_EQ(sleeper.wait(10s), 128 + SIGTERM);
  EXPECT_FALSE(sleeper.running());

  Child missing = Child::spawn({tempDir() + "/missing"});
  EXPECT_EQ(missing.pid(), -1);
  EXPECT_EQ(missing.error(), ENOENT);
}

TEST_F(ProcessTest, ServiceRunsWhileItsControlSocketAnswers) {
  EXPECT_FALSE(platform::process::isServiceRunning("Nosuchsvc"));
  {
    platform::service::ServiceHost host("Nosuchsvc");
    ASSERT_TRUE(host.start([](std::uint32_t) {}));
    EXPECT_TRUE(platform::process::isServiceRunning("Nosuchsvc"));
  }
  EXPECT_FALSE(platform::process::isServiceRunning("Nosuchsvc"));
}

TEST_F(ProcessTest, AServiceRunsForThisUserOnlyInThisUsersProcesses) {
  using platform::process::ProcessInfo;
  const unsigned me = platform::process::currentUser();
  const unsigned other = me + 1;
  const auto process = [](const char* executable, const char* name, std::optional<unsigned> owner) {
    ProcessInfo p;
    p.pid = 100;
    p.executable = executable;
    p.name = name;
    p.arguments = {executable};
    p.owner = owner;
    return p;
  };
  const struct {
    const char* what;
    std::vector<ProcessInfo> processes;
    bool anyUser, thisUser;
  } cases[] = {
      {"another user's", {process("/opt/z/bin/brokla", "brokla", other)}, true, false},
      {"this user's", {process("/opt/z/bin/brokla", "brokla", me)}, true, true},
      {"owner unknown", {process("", "brokla", std::nullopt)}, true, false},
      {"another user's and this user's",
       {process("/usr/bin/brokla", "brokla", other), process("/opt/z/bin/brokla", "brokla", me)},
       true,
       true},
      {"this user's other program", {process("/usr/bin/bash", "bash", me)}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(platform::process::runsProgram(c.processes, "Brokla"), c.anyUser);
    EXPECT_EQ(platform::process::runsProgram(c.processes, "Brokla", me), c.thisUser);
  }

  // The same with a real process of another user: only root can start one.
  if (me != 0 || ::access("/usr/bin/setpriv", X_OK) != 0 || ::access("/bin/bash", X_OK) != 0)
    GTEST_SKIP() << "starting a process as another user needs root and setpriv";
  Child foreign = Child::spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                "/bin/bash", "-c", "exec -a Nosuchsvc sleep 30"});
  ASSERT_GT(foreign.pid(), 0);
  // Bounded: until the exec chain has reached the named program.
  bool listed = false;
  for (const auto end = std::chrono::steady_clock::now() + 10s;
       !listed && std::chrono::steady_clock::now() < end;)
    for (const auto& p : platform::process::listProcesses())
      listed = listed || (p.pid == foreign.pid() && !p.arguments.empty() && p.arguments[0] == "Nosuchsvc");
  ASSERT_TRUE(listed);
  EXPECT_TRUE(platform::process::isProgramRunning("Nosuchsvc"));
  EXPECT_FALSE(platform::process::isServiceRunning("Nosuchsvc"));
}

TEST_F(ProcessTest, UnitStateIsWhatTheServiceManagerPrints) {
  using platform::process::ServiceManager;
  using platform::process::UnitState;
  // A stand-in for systemctl: records its arguments and prints the state named by the unit.
  const std::string fake = tempDir() + "/systemctl";
  testsupport::writeFile(fake,
                         "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/calls\"\n"
                         "for u; do :; done\n"
                         "case \"$u\" in\n"
                         "  on.service) echo active ;;\n"
                         "  reload.service) echo reloading ;;\n"
                         "  off.service) echo inactive; exit 3 ;;\n"
                         "  broken.service) echo failed; exit 3 ;;\n"
                         "  hang.service) exec sleep 30 ;;\n"
                         "  *) echo 'Failed to connect to bus' >&2; exit 1 ;;\n"
                         "esac\n");
  ASSERT_EQ(::chmod(fake.c_str(), 0755), 0);
  struct Case {
    const char* unit;
    UnitState state;
  } cases[] = {{"on.service", UnitState::active},     {"reload.service", UnitState::active},
               {"off.service", UnitState::inactive},  {"broken.service", UnitState::inactive},
               {"nobus.service", UnitState::unknown}, {"hang.service", UnitState::unknown},
               {"--version", UnitState::unknown},     {"", UnitState::unknown}};
  for (const auto& c : cases)
    EXPECT_EQ(platform::process::serviceUnitState(c.unit, ServiceManager::system, 2s, fake), c.state)
        << c.unit;
  EXPECT_EQ(platform::process::serviceUnitState("on.service", ServiceManager::user, 2s, fake),
            UnitState::active);
  EXPECT_EQ(
      platform::process::serviceUnitState("on.service", ServiceManager::system, 2s, tempDir() + "/none"),
      UnitState::unknown);
  // Option-like names never reach the program.
  const std::string calls = testsupport::readFile(tempDir() + "/calls");
  EXPECT_THAT(calls, testing::Not(testing::HasSubstr("--version")));
  EXPECT_THAT(calls, testing::HasSubstr("--user is-active on.service\n"));
}

}  // namespace
