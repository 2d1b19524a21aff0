// zevazodizo-setup as a user runs it (from the build tree, whose share folder holds the
// installation's files): the folder it chooses from the environment, and what it says
// when a region file's name is taken by a link to nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "testsupport/TestEnv.h"

namespace {

using testing::HasSubstr;
namespace reg = platform::registry;

// Sets an environment variable for the test's scope (nullptr: unset), as it was after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class SetupProgramTest : public testsupport::ZevaTest {
 protected:
  struct Run {
    std::optional<int> exitCode;
    std::string out, err;
  };
  Run setupProgram(const std::vector<std::string>& args) {
    std::vector<std::string> argv{SETUP_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string stem = tempDir() + "/run" + std::to_string(++runs_);
    auto c = platform::process::Child::spawn(argv, {tempDir(), stem + ".out", stem + ".err"});
    Run r{c.wait(std::chrono::seconds(30)), {}, {}};
    r.out = testsupport::readFile(stem + ".out");
    r.err = testsupport::readFile(stem + ".err");
    return r;
  }
  static std::optional<std::string> installPath() {
    reg::Value v;
    if (reg::queryValue(platform::HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo", "Path", v) != reg::kOk)
      return std::nullopt;
    std::string s(v.data.begin(), v.data.end());
    return s.substr(0, s.find('\0'));
  }
  int runs_ = 0;
};

TEST_F(SetupProgramTest, ARelativeDataHomeIsIgnoredForTheFolderBelowHome) {
  const std::string home = tempDir() + "/home";
  ASSERT_TRUE(platform::createDirectories(home));
  ScopedEnv homeEnv("HOME", home.c_str());
  ScopedEnv dataEnv("XDG_DATA_HOME", "relative/data");
  const Run r = setupProgram({});
  const std::string folder = home + "/.local/share/zevazodizo";
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("zevazodizo-setup: installation folder " + folder));
  EXPECT_EQ(installPath(), folder);
  EXPECT_TRUE(platform::isRegularFile(folder + "/ChipRegions.ini"));
}

TEST_F(SetupProgramTest, ALinkToNothingWhereTheRegionFileGoesIsNamedAndLeftAsItIs) {
  const std::string folder = tempDir() + "/user";
  ASSERT_TRUE(platform::createDirectories(folder));
  const std::string target = folder + "/ChipRegions.ini";
  const std::string elsewhere = tempDir() + "/share-not-mounted/ChipRegions.ini";
  ASSERT_EQ(::symlink(elsewhere.c_str(), target.c_str()), 0);
  const Run r = setupProgram({"--path", folder});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.err, HasSubstr("zevazodizo-setup: stopped: " + target + " is a link to " + elsewhere +
                               ", which does not exist; restore that file, or remove the link for the "
                               "installation's copy, then run zevazodizo-setup again\n"));
  EXPECT_EQ(platform::linkTarget(target), elsewhere);
  EXPECT_EQ(installPath(), std::nullopt);
}

}  // namespace
