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
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "platform/com.h"
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

  static std::set<std::string> entries(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
    return names;
  }

  // Every file of a folder with its size and modification time: what a program changed.
  static std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> snapshot(
      const std::string& folder) {
    std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> files;
    for (const auto& e : fs::recursive_directory_iterator(folder))
      files[e.path().string()] = {e.is_regular_file() ? e.file_size() : 0, e.last_write_time()};
    return files;
  }

  // The simulators too, as the demo installs them.
  void installSimulators(const std::string& prefix) {
    ScopedEnv noDestdir("DESTDIR", nullptr);
    const RunResult r =
        run({ZEVA_CMAKE, "--install", ZEVA_BUILD_DIR, "--prefix", prefix, "--component", "simulators"},
            tempDir(), 300s);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
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
       {"bin/brokla", "bin/zevazodizo-setup", "bin/movrak-register", "lib/zevazodizo/libplatform_net.so",
        "lib/zevazodizo/libJotwell.so", "lib/zevazodizo/libMovrak.so", "share/zevazodizo/logfile.dtd",
        "share/zevazodizo/logfile.xsl", "share/zevazodizo/services", "share/zevazodizo/ChipRegions.ini",
        "share/zevazodizo/RegionDB.sys", "lib/systemd/user/brokla.service"}) {
    EXPECT_TRUE(fs::exists(root_ + "/" + file)) << file;
  }
  // The simulators are test equipment: installed only on request.
  EXPECT_FALSE(fs::exists(root_ + "/bin/zevasim"));
  EXPECT_FALSE(fs::exists(root_ + "/bin/libokFrontPanel.so"));
  EXPECT_FALSE(fs::exists(root_ + "/share/zevazodizo/keth.bit"));
  // The project's libraries keep to their own folder.
  EXPECT_EQ(entries(root_ + "/lib"), (std::set<std::string>{"systemd", "zevazodizo"}));

  // Nothing from the build or the test's environment helps the installed programs.
  ScopedEnv noServices("ZEVA_SERVICES_FILE", nullptr);
  ScopedEnv noLibraries("LD_LIBRARY_PATH", nullptr);
  const RunResult version = run({root_ + "/bin/brokla", "--version"}, tempDir());
  ASSERT_EQ(version.exitCode, 0) << version.err;  // its libraries found from bin/ through ../lib
  EXPECT_THAT(version.out,
              testing::MatchesRegex("brokla [0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+ \\(built .*\\)\n"));

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

TEST_F(InstallTest, TheFirstRunMakesOneInstallationFolderThatEveryProgramReadsAndBinStaysUntouched) {
  // Spaces in both folders: every path the installation and the first run write into a
  // file (registry, registration, services entry) must come back whole.
  const std::string prefix = tempDir() + "/zeva prefix";
  ASSERT_NO_FATAL_FAILURE(installInto(prefix));
  ASSERT_NO_FATAL_FAILURE(installSimulators(prefix));
  EXPECT_TRUE(fs::exists(prefix + "/share/zevazodizo/keth.bit"));
  EXPECT_EQ(entries(prefix + "/lib"), (std::set<std::string>{"systemd", "zevazodizo"}));
  // One version, CMake's, in every program's --version.
  std::set<std::string> versions;
  for (const char* program : {"brokla", "zevazodizo-setup", "movrak-register", "zevasim"}) {
    const RunResult v = run({prefix + "/bin/" + program, "--version"}, tempDir());
    ASSERT_EQ(v.exitCode, 0) << program << v.err;
    versions.insert(v.out.substr(v.out.find(' ') + 1, v.out.find(" (") - v.out.find(' ') - 1));
  }
  EXPECT_EQ(versions.size(), 1u) << testing::PrintToString(versions);

  const auto bin = snapshot(prefix + "/bin");
  ScopedEnv noServices("ZEVA_SERVICES_FILE", nullptr);
  ScopedEnv noLibraries("LD_LIBRARY_PATH", nullptr);
  const std::string folder = tempDir() + "/user folder";
  // Without a folder, --path says what it needs.
  const RunResult bare = run({prefix + "/bin/zevazodizo-setup", "--path"}, tempDir());
  EXPECT_EQ(bare.exitCode, 2);
  EXPECT_THAT(bare.err, HasSubstr("--path needs a folder"));
  const RunResult setup = run({prefix + "/bin/zevazodizo-setup", "--path", folder}, tempDir());
  ASSERT_EQ(setup.exitCode, 0) << setup.out << setup.err;
  // The steps that start the service name this installation's unit, quoted for the shell
  // as the unit's own comments quote it; link first, since systemd does not look there.
  const std::vector<std::string> steps = {
      "systemctl --user link '" + prefix + "/lib/systemd/user/brokla.service'",
      "systemctl --user daemon-reload", "systemctl --user enable --now brokla",
      "loginctl enable-linger $USER"};
  std::string printed, commented;
  for (const std::string& step : steps) {
    printed += "  " + step + "\n";
    commented += "#   " + step + "\n";
  }
  EXPECT_THAT(setup.out, HasSubstr(printed));
  EXPECT_THAT(setup.out, HasSubstr("run '" + prefix + "/bin/brokla' in a terminal"));
  EXPECT_THAT(testsupport::readFile(prefix + "/lib/systemd/user/brokla.service"), HasSubstr(commented));
  // What every program reads from the installation folder is there.
  for (const char* file : {"ChipRegions.ini", "RegionDB.sys", "logfile.dtd", "logfile.xsl", "keth.bit"})
    EXPECT_TRUE(fs::exists(folder + "/" + file)) << file;
  // The automation server, both classes, from the installed library.
  const std::string library = prefix + "/lib/zevazodizo/libMovrak.so";
  for (const char* progId : {"Movrak.ScanCtrl", "Movrak.ScanLL"}) {
    platform::com::CLSID clsid{};
    std::string path;
    ASSERT_TRUE(platform::com::Succeeded(platform::com::ClsidFromProgId(progId, &clsid))) << progId;
    ASSERT_TRUE(platform::com::Succeeded(platform::com::GetInprocServerPath(clsid, &path)));
    EXPECT_EQ(path, library) << progId;
  }
  // Registering again with the installed tool names the same library.
  const RunResult again = run({prefix + "/bin/movrak-register"}, tempDir());
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.out, "movrak-register: registered " + library + "\n");

  // The installed daemon serves with the first run's settings alone (ports of the test's).
  testsupport::writeFile(prefix + "/share/zevazodizo/services", servicesWithFreePorts());
  const std::string serviceKey = "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla";
  ASSERT_EQ(reg::createKey(platform::HKEY_LOCAL_MACHINE, serviceKey), reg::kOk);
  ASSERT_EQ(reg::setValue(platform::HKEY_LOCAL_MACHINE, serviceKey, "BCastAddr", reg::makeDword(0x7F0000FE)),
            reg::kOk);
  auto daemon = platform::process::Child::spawn(
      {prefix + "/bin/brokla"}, {tempDir(), tempDir() + "/brokla.out", tempDir() + "/brokla.err"});
  ASSERT_GT(daemon.pid(), 0);
  EXPECT_TRUE(waitForText(folder + "/Logs/brokla0.log", "Processing the startup REFRESH request"))
      << testsupport::readFile(tempDir() + "/brokla.err");
  const RunResult publish = run({prefix + "/bin/brokla", "--control", "publish"}, tempDir());
  EXPECT_EQ(publish.exitCode, 0) << publish.err;
  EXPECT_THAT(publish.out, HasSubstr("published the instrument list"));
  EXPECT_TRUE(daemon.signal(SIGTERM));
  EXPECT_EQ(daemon.wait(30s), 0);

  // Nothing of it was written to bin/.
  EXPECT_EQ(snapshot(prefix + "/bin"), bin);
}

// The program a unit's ExecStart names, read as systemd reads a quoted word.
std::string ExecStartProgram(const std::string& unitText) {
  std::smatch m;
  if (!std::regex_search(unitText, m, std::regex("\nExecStart=(.*)\n"))) return "(no ExecStart)";
  const std::string value = m[1].str();
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return "(not quoted) " + value;
  std::string word;
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '\\' || value[i] == '"') return "(not one quoted word) " + value;
    if (value[i] == '%' && value[i + 1] != '%') return "(a specifier) " + value;
    if (value[i] == '%') ++i;
    word += value[i];
  }
  return word;
}

TEST_F(InstallTest, InstalledUnitNamesTheInstalledDaemonAndPassesSystemdsChecks) {
  const char* analyze = "/usr/bin/systemd-analyze";
  const bool canVerify = fs::exists(analyze);
  // systemd-analyze wants a runtime folder of its own for a user manager.
  const std::string runtime = tempDir() + "/xdg";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.c_str());

  // Installed where it runs (no staging folder), so that systemd finds the program it
  // names; prefixes with spaces, a specifier sign and signs of the shell too.
  for (const char* name : {"prefix", "zeva prefix", "50% zeva $HOME;x"}) {
    SCOPED_TRACE(name);
    const std::string prefix = tempDir() + "/" + name;
    ASSERT_NO_FATAL_FAILURE(installInto(prefix));
    const std::string unit = prefix + "/lib/systemd/user/brokla.service";
    const std::string text = testsupport::readFile(unit);
    EXPECT_EQ(ExecStartProgram(text), prefix + "/bin/brokla");
    EXPECT_THAT(text, HasSubstr("Type=notify\n"));
    // A user manager has no network-online target to wait for.
    EXPECT_THAT(text, testing::Not(HasSubstr("network-online")));
    EXPECT_THAT(text, testing::Not(testing::ContainsRegex("@[A-Z_]+@")));
    if (!canVerify) continue;
    const RunResult verify = run({analyze, "verify", "--user", unit}, tempDir());
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.err, "");
  }
  if (!canVerify) GTEST_SKIP() << "systemd-analyze is not installed: the unit is not verified";

  const std::string unit = tempDir() + "/prefix/lib/systemd/user/brokla.service";
  const RunResult security = run({analyze, "security", "--user", "--offline=true", unit}, tempDir());
  ASSERT_EQ(security.exitCode, 0) << security.out << security.err;
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(security.out, m, std::regex("Overall exposure level for brokla.service: ([0-9.]+)")))
      << security.out;
  EXPECT_LT(std::stod(m[1].str()), 5.0) << security.out;
}

TEST_F(InstallTest, APrefixTheUnitCannotNameIsRefusedBeforeAnythingIsInstalled) {
  ScopedEnv noDestdir("DESTDIR", nullptr);
  for (const char* name : {"zeva\"prefix", "zeva'prefix", "zeva\\prefix", "zeva\nprefix"}) {
    SCOPED_TRACE(name);
    const std::string prefix = tempDir() + "/" + name;
    const RunResult r = run({ZEVA_CMAKE, "--install", ZEVA_BUILD_DIR, "--prefix", prefix}, tempDir(), 300s);
    EXPECT_NE(r.exitCode, 0) << r.out;
    // CMake wraps its messages.
    const std::string err = std::regex_replace(r.err, std::regex("\\s+"), " ");
    EXPECT_THAT(err, HasSubstr("cannot install into the prefix"));
    EXPECT_THAT(err,
                HasSubstr("systemd refuses a program path with a quote, a backslash or a control character"));
    EXPECT_FALSE(fs::exists(prefix));
  }
}

}  // namespace
}  // namespace install_test
