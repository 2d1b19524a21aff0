// The region editor and the connection manager share the user's runtime folder: whichever
// starts first, the platform layer makes it (private), and the other uses it. Here the
// editor comes first in a fresh folder, as it did when it left the folder open to others
// and the daemon then refused to start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
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

void setString(platform::HKEY root, const std::string& key, const std::string& name,
               const std::string& value) {
  ASSERT_EQ(reg::createKey(root, key), reg::kOk);
  ASSERT_EQ(reg::setValue(root, key, name, reg::makeString(value)), reg::kOk);
}

class SharedRuntimeFolderTest : public testsupport::ZevaTest {};

TEST_F(SharedRuntimeFolderTest, DaemonServesInTheFolderTheEditorMadeFirst) {
  if (!*QUILLMARK_PROGRAM) GTEST_SKIP() << "built without the user interface";
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display: run the gui tests under xvfb-run";

  // Both find the folder the usual way: under the user's runtime folder, not yet there.
  const std::string xdg = tempDir() + "/xdg";
  ASSERT_TRUE(fs::create_directories(xdg));
  fs::permissions(xdg, fs::perms::owner_all);
  ScopedEnv noOverride("ZEVA_RUNTIME_DIR", nullptr);
  ScopedEnv userRuntime("XDG_RUNTIME_DIR", xdg.c_str());
  const std::string folder = xdg + "/zevazodizo";

  // The editor's installation folder with the installed region files, a default region
  // (so that it asks nothing) and the model on its command line.
  const std::string install = tempDir() + "/install";
  fs::create_directories(install);
  for (const char* file : {"ChipRegions.ini", "RegionDB.sys"})
    fs::copy_file(std::string(ZEVA_BUILD_DIR) + "/share/zevazodizo/" + file, install + "/" + file);
  setString(platform::HKEY_LOCAL_MACHINE, "Software\\Tarsel\\Zevazodizo", "Path", install);
  setString(platform::HKEY_CURRENT_USER, "Software\\Tarsel\\Zevazodizo\\Scanner\\ScanOptions", "RegionName",
            "Full Slide");

  auto editor = platform::process::Child::spawn(
      {QUILLMARK_PROGRAM, "K7431A"}, {tempDir(), tempDir() + "/quillmark.out", tempDir() + "/quillmark.err"});
  ASSERT_GT(editor.pid(), 0);
  // Its activation socket is the last thing it makes when it has started.
  ASSERT_TRUE(waitForText(folder + "/quillmark.ipc", "", 30s))
      << testsupport::readFile(tempDir() + "/quillmark.err");
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // The daemon, with ports of this test's own, in the same folder.
  const std::string services = tempDir() + "/services";
  testsupport::writeFile(services, servicesWithFreePorts());
  ScopedEnv servicesFile("ZEVA_SERVICES_FILE", services.c_str());
  const std::string serviceKey = "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla";
  setString(platform::HKEY_LOCAL_MACHINE, serviceKey, "LogFile", tempDir() + "/brokla.log");
  ASSERT_EQ(reg::setValue(platform::HKEY_LOCAL_MACHINE, serviceKey, "BCastAddr", reg::makeDword(0x7F0000FE)),
            reg::kOk);
  auto daemon = platform::process::Child::spawn(
      {BROKLA_PROGRAM}, {tempDir(), tempDir() + "/brokla.out", tempDir() + "/brokla.err"});
  ASSERT_GT(daemon.pid(), 0);
  const bool serving = waitForText(tempDir() + "/brokla0.log", "Processing the startup REFRESH request");
  EXPECT_TRUE(serving) << testsupport::readFile(tempDir() + "/brokla.err");
  if (serving) {
    EXPECT_EQ(platform::service::sendControl("Brokla", platform::service::SERVICE_CONTROL_INTERROGATE),
              platform::service::State::running);
    EXPECT_TRUE(fs::exists(folder + "/appmon"));
  }
  // The waits below tell how each ended.
  (void)daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait(30s), 0);
  (void)editor.signal(SIGTERM);
  EXPECT_TRUE(editor.wait(30s));
}

}  // namespace
}  // namespace install_test
