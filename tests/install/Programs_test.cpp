// Every program as a user meets it first: --help and --version without a display, and a
// start that cannot succeed says why on stderr, with the setting that fixes it and the
// exit code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ProgramRun.h"
#include "platform/net.h"
#include "testsupport/TestEnv.h"

namespace install_test {
namespace {

using testing::HasSubstr;

struct Program {
  const char* name;
  const char* path;  // "" when the build has no such program
};
const Program kPrograms[] = {
    {"brokla", BROKLA_PROGRAM},
    {"quillmark", QUILLMARK_PROGRAM},
    {"zevasim", ZEVASIM_PROGRAM},
    {"zevazodizo-setup", SETUP_PROGRAM},
};

class ProgramsTest : public testsupport::ZevaTest {};

TEST_F(ProgramsTest, HelpAndVersionNeedNoDisplay) {
  ScopedEnv noDisplay("DISPLAY", nullptr);
  ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
  for (const Program& p : kPrograms) {
    if (!*p.path) continue;
    SCOPED_TRACE(p.name);
    const RunResult help = run({p.path, "--help"}, tempDir());
    EXPECT_EQ(help.exitCode, 0) << help.err;
    EXPECT_THAT(help.out, testing::StartsWith(std::string("Usage: ") + p.name));
    EXPECT_THAT(help.out, HasSubstr("--version"));
    EXPECT_EQ(help.err, "");
    const RunResult version = run({p.path, "--version"}, tempDir());
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_THAT(version.out, testing::MatchesRegex(std::string(p.name) + " .*[0-9]+\\.[0-9]+.*\n"));
    EXPECT_EQ(version.err, "");
  }
}

TEST_F(ProgramsTest, QuillmarkSaysWhyItCannotStart) {
  if (!*QUILLMARK_PROGRAM) GTEST_SKIP() << "built without the user interface";
  const std::string open = tempDir() + "/open";
  ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
  const struct {
    const char* what;
    const char* display;
    const char* runtime;  // nullptr: the test's own (private) folder
    std::vector<const char*> says;
  } cases[] = {
      {"no display", nullptr, nullptr, {"no display", "DISPLAY is not set", "set DISPLAY"}},
      // Checked before the display is opened: a display is named, none needs to exist.
      {"runtime folder open to others", ":12345", open.c_str(), {"mode 0755, 0700 is required", "chmod 700"}},
      {"display that cannot be opened", ":12345", nullptr, {"the display \":12345\" cannot be opened"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv display("DISPLAY", c.display);
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    ScopedEnv runtime("ZEVA_RUNTIME_DIR", c.runtime ? c.runtime : runtimeDir().c_str());
    const RunResult r = run({QUILLMARK_PROGRAM, "K7431A"}, tempDir());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("quillmark: cannot start: "));
    for (const char* text : c.says) EXPECT_THAT(r.err, HasSubstr(text));
    EXPECT_THAT(r.err, HasSubstr("exit code 1"));
  }
  // The open folder was refused, not loosened further or tightened behind the user's back.
  struct stat st {};
  ASSERT_EQ(::stat(open.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(ProgramsTest, ZevasimSaysWhyItCannotStart) {
  // A port somebody else holds.
  auto holder = platform::net::Socket::create(platform::net::Socket::Type::stream);
  ASSERT_TRUE(holder && holder.bind({platform::net::kLoopbackAddress, 0}) && holder.listen(1));
  const auto port = holder.localEndpoint().value_or(platform::net::Endpoint{}).port;
  const RunResult taken = run({ZEVASIM_PROGRAM, "--port", std::to_string(port)}, tempDir());
  EXPECT_EQ(taken.exitCode, 1);
  EXPECT_THAT(taken.err, HasSubstr("cannot listen on 127.0.0.1:" + std::to_string(port)));
  EXPECT_THAT(taken.err, HasSubstr("choose another --port"));
  EXPECT_THAT(taken.err, HasSubstr("exit code 1"));

  // No event port to announce on.
  ScopedEnv noServices("ZEVA_SERVICES_FILE", nullptr);
  const RunResult noPort =
      run({ZEVASIM_PROGRAM, "--address", "127.0.0.2", "--announce", "127.0.0.1"}, tempDir());
  EXPECT_EQ(noPort.exitCode, 1);
  EXPECT_THAT(noPort.err, HasSubstr("no \"vrelevent\" udp port"));
  EXPECT_THAT(noPort.err, HasSubstr("ZEVA_SERVICES_FILE"));
  EXPECT_THAT(noPort.err, HasSubstr("exit code 1"));
}

TEST_F(ProgramsTest, ZevasimRefusesBadDemoSettings) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--slide", "3"}, "bad slide '3'"},
      {{"--slide", ":A1"}, "bad slide ':A1'"},
      {{"--slide", "0:A1"}, "bad slide '0:A1'"},
      {{"--slide", "49:A1"}, "bad slide '49:A1'"},
      {{"--slide", "2x:A1"}, "bad slide '2x:A1'"},
      {{"--line-records", "0"}, "--line-records needs a count of 1-65535"},
      {{"--line-records", "70000"}, "--line-records needs a count of 1-65535"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> command{ZEVASIM_PROGRAM};
    command.insert(command.end(), c.args.begin(), c.args.end());
    const RunResult result = run(command, tempDir());
    EXPECT_EQ(result.exitCode, 2) << c.args[0] << " " << c.args[1];
    EXPECT_THAT(result.err, HasSubstr(c.says));
  }
}

}  // namespace
}  // namespace install_test
