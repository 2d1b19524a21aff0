// The first run of an installation: what it leaves in the registry and the user's
// installation folder, that the net layer then finds the installed services file, and
// that a run that cannot finish says why and touches nothing it should not.
#include "FirstRun.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/com.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/registry.h"
#include "testsupport/TestEnv.h"

namespace {

namespace reg = platform::registry;
using testing::HasSubstr;

constexpr const char* kProductKey = "Software\\Tarsel\\ZevazOdizo";

class FirstRunTest : public testsupport::ZevaTest {
 protected:
  FirstRunTest() {
    share_ = tempDir() + "/prefix/share/zevazodizo";
    ::mkdir((tempDir() + "/prefix").c_str(), 0755);
    ::mkdir((tempDir() + "/prefix/share").c_str(), 0755);
    ::mkdir(share_.c_str(), 0755);
    testsupport::writeFile(share_ + "/services",
                           "vrelevent 47401/udp\nvrelcntrl 47402/udp\nvrelinstr 47410/tcp\n");
    testsupport::writeFile(share_ + "/ChipRegions.ini", "[ScanRegions]\nNumRegions=0\n");
    testsupport::writeFile(share_ + "/RegionDB.sys", std::string("\x01\0\0\0", 4));
    testsupport::writeFile(share_ + "/logfile.dtd", "<!ELEMENT x ANY>\n");
    testsupport::writeFile(share_ + "/logfile.xsl", "<xsl/>\n");
    ::unsetenv("ZEVA_SERVICES_FILE");
  }

  static std::optional<std::string> value(const char* key, const char* name) {
    reg::Value v;
    if (reg::queryValue(platform::HKEY_LOCAL_MACHINE, key, name, v) != reg::kOk || v.type != platform::REG_SZ)
      return std::nullopt;
    std::string s(v.data.begin(), v.data.end());
    return s.substr(0, s.find('\0'));
  }

  setup::FirstRunResult run(const std::string& folder) {
    return setup::RunFirstRun({share_ + "/", folder, library_});
  }

  // The registered library of a ProgID; "" when none.
  static std::string registeredLibrary(const char* progId) {
    platform::com::CLSID clsid{};
    std::string path;
    if (platform::com::Failed(platform::com::ClsidFromProgId(progId, &clsid)) ||
        platform::com::Failed(platform::com::GetInprocServerPath(clsid, &path)))
      return {};
    return path;
  }

  std::string library_ = MOVRAK_LIBRARY;

  std::string share_;
};

TEST_F(FirstRunTest, SetsUpTheUsersFolderAndTheRegistryAndKeepsTheUsersFilesWhenRunAgain) {
  const std::string folder = tempDir() + "/home/.local/share/zevazodizo";
  ASSERT_EQ(platform::net::servicePort("vrelcntrl", "udp"), std::nullopt);

  const auto first = run(folder + "/");
  ASSERT_TRUE(first.ok) << first.error;
  EXPECT_EQ(value(kProductKey, "Path"), folder);
  // The scanner window's Log File Finder opens the folder of this file: the host's log.
  EXPECT_EQ(value("Software\\Tarsel\\ZevazOdizo\\Scanner\\Logging", "File"), folder + "/Logs/scanner-host");
  EXPECT_EQ(value(platform::net::kServicesDatabaseKey, platform::net::kServicesDatabaseValue), share_);
  EXPECT_EQ(testsupport::readFile(folder + "/ChipRegions.ini"), "[ScanRegions]\nNumRegions=0\n");
  EXPECT_EQ(testsupport::readFile(folder + "/RegionDB.sys").size(), 4u);
  struct stat logs {};
  EXPECT_EQ(::stat((folder + "/Logs").c_str(), &logs), 0);
  EXPECT_THAT(first.done, testing::Contains(HasSubstr("copied " + folder + "/ChipRegions.ini")));
  // The report's files are read from the installation folder too; the data board's
  // configuration only when the installation has one (the simulators component).
  EXPECT_EQ(testsupport::readFile(folder + "/logfile.xsl"), "<xsl/>\n");
  EXPECT_TRUE(platform::fileExists(folder + "/logfile.dtd"));
  EXPECT_FALSE(platform::fileExists(folder + "/keth.bit"));
  // Both classes of the automation server, registered from the given library.
  EXPECT_EQ(registeredLibrary("Movrak.ScanCtrl"), library_);
  EXPECT_EQ(registeredLibrary("Movrak.ScanLL"), library_);

  // What the connection manager needs is now found without any environment.
  EXPECT_EQ(platform::net::servicePort("vrelcntrl", "udp"), 47402);
  EXPECT_EQ(platform::net::servicePort("vrelinstr", "tcp"), 47410);

  // The user's edits survive a second run; a file the user lost comes back.
  testsupport::writeFile(folder + "/ChipRegions.ini", "edited by the user\n");
  std::remove((folder + "/RegionDB.sys").c_str());
  const auto again = run(folder);
  ASSERT_TRUE(again.ok) << again.error;
  EXPECT_EQ(testsupport::readFile(folder + "/ChipRegions.ini"), "edited by the user\n");
  EXPECT_EQ(testsupport::readFile(folder + "/RegionDB.sys").size(), 4u);
  EXPECT_THAT(again.done, testing::Contains("kept " + folder + "/ChipRegions.ini"));

  // The simulators component added the board's configuration file: a later run copies it.
  testsupport::writeFile(share_ + "/keth.bit", "simulated configuration version=32\n");
  ASSERT_TRUE(run(folder).ok);
  EXPECT_EQ(testsupport::readFile(folder + "/keth.bit"), "simulated configuration version=32\n");
}

TEST_F(FirstRunTest, StopsWithTheReasonAndWritesNoRegistryValue) {
  testsupport::writeFile(tempDir() + "/afile", "x");
  const struct {
    const char* what;
    std::string folder;
    const char* missing;  // an installed file taken away first, or nullptr
    const char* reason;
  } cases[] = {
      {"relative folder", "zevazodizo", nullptr, "must be an absolute path"},
      {"empty folder", "", nullptr, "must be an absolute path"},
      {"folder below a file", tempDir() + "/afile/zevazodizo", nullptr,
       "cannot create the installation folder"},
      {"incomplete installation", tempDir() + "/user", "services", "services is missing"},
      {"no region database", tempDir() + "/user", "RegionDB.sys", "RegionDB.sys is missing"},
      {"no report style sheet", tempDir() + "/user", "logfile.xsl", "logfile.xsl is missing"},
      {"no automation server", tempDir() + "/user", "", "libMovrak.so is missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const bool noLibrary = c.missing && !*c.missing;
    const std::string removed = c.missing && !noLibrary ? share_ + "/" + c.missing : "";
    const std::string keep = removed.empty() ? "" : testsupport::readFile(removed);
    if (!removed.empty()) std::remove(removed.c_str());
    if (noLibrary) library_ = tempDir() + "/lib/zevazodizo/libMovrak.so";
    const auto r = run(c.folder);
    library_ = MOVRAK_LIBRARY;
    EXPECT_FALSE(r.ok);
    EXPECT_THAT(r.error, HasSubstr(c.reason));
    EXPECT_EQ(value(kProductKey, "Path"), std::nullopt);
    EXPECT_EQ(value(platform::net::kServicesDatabaseKey, platform::net::kServicesDatabaseValue),
              std::nullopt);
    EXPECT_EQ(registeredLibrary("Movrak.ScanCtrl"), "");
    if (!removed.empty()) testsupport::writeFile(removed, keep);
  }
  struct stat st {};
  EXPECT_NE(::stat((tempDir() + "/user").c_str(), &st), 0)
      << "nothing is created for an incomplete installation";
}

// What may already have the name of a file the run copies is the user's: it is never
// replaced, and the run stops naming what it found, before any registry value is written.
TEST_F(FirstRunTest, WhatIsNoRegularFileWhereARegionFileGoesStopsTheRunWithWhatItIs) {
  const std::string folder = tempDir() + "/user";
  const std::string target = folder + "/ChipRegions.ini";
  const std::string elsewhere = tempDir() + "/share-not-mounted/ChipRegions.ini";
  const struct {
    const char* what;
    std::function<void()> make;
    std::string says;
  } cases[] = {
      {"dangling link", [&] { ASSERT_EQ(::symlink(elsewhere.c_str(), target.c_str()), 0); },
       target + " is a link to " + elsewhere +
           ", which does not exist; restore that file, or remove the link for the installation's copy, then "
           "run "
           "zevazodizo-setup again"},
      {"folder", [&] { ASSERT_EQ(::mkdir(target.c_str(), 0700), 0); },
       target + " is a folder, not a file; move it away, then run zevazodizo-setup again"},
      {"fifo", [&] { testsupport::makeFifo(target); },
       target + " is not a regular file (a pipe, socket or device); move it away, then run zevazodizo-setup "
                "again"},
      {"link to /dev/zero", [&] { ASSERT_EQ(::symlink("/dev/zero", target.c_str()), 0); },
       target + " is not a regular file (a pipe, socket or device); move it away, then run zevazodizo-setup "
                "again"},
  };
  ASSERT_TRUE(platform::createDirectories(folder));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.make();
    struct stat before {};
    ASSERT_EQ(::lstat(target.c_str(), &before), 0);
    setup::FirstRunResult r;
    ASSERT_TRUE(testsupport::endsWithoutAReader([&] { r = run(folder); }, target));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, c.says);
    struct stat after {};
    ASSERT_EQ(::lstat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "left as it was";
    EXPECT_EQ(value(kProductKey, "Path"), std::nullopt);
    std::filesystem::remove(target);
  }
  // With the name free again the run copies the installation's file.
  const auto r = run(folder);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(testsupport::readFile(target), "[ScanRegions]\nNumRegions=0\n");
}

TEST_F(FirstRunTest, FoldersFollowTheEnvironmentAndTheProgramsPlace) {
  const char* savedHome = std::getenv("HOME");
  const std::string home = savedHome ? savedHome : "";
  ::setenv("HOME", "/home/operator", 1);
  ::setenv("XDG_DATA_HOME", "/data/operator/", 1);
  EXPECT_EQ(setup::DefaultInstallFolder(), "/data/operator/zevazodizo");
  // A relative one is invalid by the convention that defines it: ignored, not refused.
  for (const char* relative : {"data/operator", "./data", "~/data"}) {
    ::setenv("XDG_DATA_HOME", relative, 1);
    EXPECT_EQ(setup::DefaultInstallFolder(), "/home/operator/.local/share/zevazodizo") << relative;
  }
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(setup::DefaultInstallFolder(), "/home/operator/.local/share/zevazodizo");
  ::unsetenv("HOME");
  EXPECT_EQ(setup::DefaultInstallFolder(), "");
  if (savedHome) ::setenv("HOME", home.c_str(), 1);

  EXPECT_EQ(setup::ShareFolderOf("/opt/zeva/bin/zevazodizo-setup"), "/opt/zeva/share/zevazodizo");
  EXPECT_EQ(setup::ShareFolderOf("/usr/local/bin/zevazodizo-setup"), "/usr/local/share/zevazodizo");
}

}  // namespace
