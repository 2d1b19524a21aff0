// The installation as lab IT makes it: `cmake --install` into a staging folder (DESTDIR),
// the first run of the installed setup, and the installed daemon started from there with
// nothing but what the installation and the first run provide. Then the installed user
// unit, checked by systemd's own tools where they exist.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "ProgramRun.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "testsupport/TestEnv.h"

namespace install_test {
namespace {

namespace fs = std::filesystem;
namespace reg = platform::registry;
using testing::HasSubstr;

constexpr const char* kPrefix = "/opt/zevazodizo";

class InstallTest : public testsupport::ZevaTest {
 protected:
  // Installs the build as a package would be staged: into <temp>/destdir<prefix>.
  void installStaged() {
    destdir_ = tempDir() + "/destdir";
    root_ = destdir_ + kPrefix;
    ScopedEnv destdir("DESTDIR", destdir_.c_str());
    install(kPrefix);
  }
  // Installs the build straight into a prefix of the test's, chosen at install time.
  void installInto(const std::string& prefix) {
    root_ = prefix;
    ScopedEnv noDestdir("DESTDIR", nullptr);
    install(prefix);
  }

  std::string destdir_;
  std::string root_;

 private:
  void install(const std::string& prefix) {
    const RunResult r = run({ZEVA_CMAKE, "--install", ZEVA_BUILD_DIR, "--prefix", prefix}, tempDir(), 300s);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  }
};

TEST_F(InstallTest, InstalledDaemonRunsWithTheFirstRunSettingsAlone) {
  ASSERT_NO_FATAL_FAILURE(installStaged());
  for (const char* file :
       {"bin/brokla", "bin/zevazodizo-setup", "lib/libplatform_net.so", "lib/libJotwell.so",
        "lib/logfile.dtd", "lib/logfile.xsl", "share/zevazodizo/services", "share/zevazodizo/ChipRegions.ini",
        "share/zevazodizo/RegionDB.sys", "lib/systemd/user/brokla.service"}) {
    EXPECT_TRUE(fs::exists(root_ + "/" + file)) << file;
  }
  // The simulators are test equipment: installed only on request.
  EXPECT_FALSE(fs::exists(root_ + "/bin/zevasim"));
  EXPECT_FALSE(fs::exists(root_ + "/bin/libokFrontPanel.so"));

  // Nothing from the build or the test's environment helps the installed programs.
  ScopedEnv noServices("ZEVA_SERVICES_FILE", nullptr);
  ScopedEnv noLibraries("LD_LIBRARY_PATH", nullptr);
  const RunResult version = run({root_ + "/bin/brokla", "--version"}, tempDir());
  ASSERT_EQ(version.exitCode, 0) << version.err;  // its libraries found from bin/ through ../lib
  EXPECT_THAT(version.out, testing::StartsWith("brokla Version "));

  // Before the first run the daemon cannot find its ports, and says so.
  const RunResult early = run({root_ + "/bin/brokla"}, tempDir());
  EXPECT_EQ(early.exitCode, 1);
  EXPECT_THAT(early.err, HasSubstr("zevazodizo-setup"));

  const std::string userFolder = tempDir() + "/user";
  const RunResult setup = run({root_ + "/bin/zevazodizo-setup", "--path", userFolder}, tempDir());
  ASSERT_EQ(setup.exitCode, 0) << setup.out << setup.err;
  EXPECT_THAT(setup.out, HasSubstr("registry \"Path\" = " + userFolder));
  EXPECT_TRUE(fs::exists(userFolder + "/ChipRegions.ini"));
  EXPECT_EQ(platform::net::servicesFiles(), std::vector<std::string>{root_ + "/share/zevazodizo/services"});

  // The installed services file holds fixed ports; this machine may be running other
  // tests, so the staged copy gets free ones. It is still found through the first run's
  // registry value alone.
  testsupport::writeFile(root_ + "/share/zevazodizo/services", servicesWithFreePorts());
  // The identify broadcast goes to a loopback address nobody listens on.
  const std::string serviceKey = "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla";
  ASSERT_EQ(reg::createKey(platform::HKEY_LOCAL_MACHINE, serviceKey), reg::kOk);
  ASSERT_EQ(reg::setValue(platform::HKEY_LOCAL_MACHINE, serviceKey, "BCastAddr", reg::makeDword(0x7F0000FE)),
            reg::kOk);

  auto daemon = platform::process::Child::spawn(
      {root_ + "/bin/brokla"}, {tempDir(), tempDir() + "/brokla.out", tempDir() + "/brokla.err"});
  ASSERT_GT(daemon.pid(), 0);
  // It logs where the first run put the installation folder, and serves.
  const std::string log = userFolder + "/Logs/brokla0.log";
  ASSERT_TRUE(waitForText(log, "Processing the startup REFRESH request"))
      << testsupport::readFile(log) << testsupport::readFile(tempDir() + "/brokla.err");
  EXPECT_EQ(platform::service::sendControl("Brokla", platform::service::SERVICE_CONTROL_INTERROGATE),
            platform::service::State::running);
  const RunResult refresh = run({root_ + "/bin/brokla", "--control", "refresh"}, tempDir());
  EXPECT_EQ(refresh.exitCode, 0) << refresh.err;
  EXPECT_TRUE(waitForText(log, "Refresh Instrument List Control Request."));
  (void)daemon.signal(SIGTERM);  // the wait below tells how it ended
  EXPECT_EQ(daemon.wait(30s), 0);
}

TEST_F(InstallTest, InstalledUnitNamesTheInstalledDaemonAndPassesSystemdsChecks) {
  // Installed where it runs (no staging folder), so that systemd finds the program it names.
  const std::string prefix = tempDir() + "/prefix";
  ASSERT_NO_FATAL_FAILURE(installInto(prefix));
  const std::string unit = prefix + "/lib/systemd/user/brokla.service";
  const std::string text = testsupport::readFile(unit);
  EXPECT_THAT(text, HasSubstr("ExecStart=" + prefix + "/bin/brokla\n"));
  EXPECT_THAT(text, HasSubstr("Type=notify\n"));
  // A user manager has no network-online target to wait for.
  EXPECT_THAT(text, testing::Not(HasSubstr("network-online")));
  EXPECT_THAT(text, testing::Not(testing::ContainsRegex("@[A-Z_]+@")));

  const char* analyze = "/usr/bin/systemd-analyze";
  if (!fs::exists(analyze)) GTEST_SKIP() << "systemd-analyze is not installed: the unit is not verified";
  // systemd-analyze wants a runtime folder of its own for a user manager.
  const std::string runtime = tempDir() + "/xdg";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.c_str());

  const RunResult verify = run({analyze, "verify", "--user", unit}, tempDir());
  EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
  EXPECT_EQ(verify.err, "");

  const RunResult security = run({analyze, "security", "--user", "--offline=true", unit}, tempDir());
  ASSERT_EQ(security.exitCode, 0) << security.out << security.err;
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(security.out, m, std::regex("Overall exposure level for brokla.service: ([0-9.]+)")))
      << security.out;
  EXPECT_LT(std::stod(m[1].str()), 5.0) << security.out;
}

}  // namespace
}  // namespace install_test
