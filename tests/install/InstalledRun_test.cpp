// The installed system at work: the demo's own steps (cmake --install with the simulators,
// zevazodizo-setup, brokla) into a folder of the test's, then a one-slide carousel run
// from the installed scanner-host, worked on a virtual display as an operator would.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "ProgramRun.h"
#include "testsupport/TestEnv.h"

namespace install_test {
namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

class InstalledRunTest : public testsupport::ZevaTest {};

TEST_F(InstalledRunTest, OneSlideCarouselFromTheInstalledScannerHostReadsOnlyTheInstallationFolder) {
  for (const char* tool : {"/usr/bin/xdotool", "/usr/bin/Xvfb"})
    if (!fs::exists(tool)) GTEST_SKIP() << tool << " is not installed: the window cannot be worked";

  const std::string demo = tempDir() + "/demo";
  ScopedEnv prebuilt("ZEVA_DEMO_PREBUILT", "1");
  ScopedEnv build("ZEVA_DEMO_BUILD_DIR", ZEVA_BUILD_DIR);
  ScopedEnv folder("ZEVA_DEMO_DIR", demo.c_str());
  ScopedEnv slides("ZEVA_DEMO_SLIDES", "1");
  ScopedEnv display("DISPLAY", nullptr);  // a virtual display of its own
  const RunResult r = run({std::string(ZEVA_SOURCE_DIR) + "/scripts/demo", "--headless"}, tempDir(), 600s);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err << "\n--- scanner-host ---\n"
                           << testsupport::readFile(demo + "/logs/scanner-host.out");
  EXPECT_THAT(r.out, HasSubstr("the carousel run of slots 1-1 completed"));

  // One image, of the region the installation folder's region files define (the files the
  // region editor edits there): 300 x 200 um at 5 um.
  std::set<std::string> images;
  for (const auto& e : fs::directory_iterator(demo + "/images"))
    if (e.path().extension() == ".tif") images.insert(e.path().string());
  ASSERT_EQ(images.size(), 1u);
  const std::string xml = testsupport::readFile(demo + "/report/CarouselRunLog.xml");
  EXPECT_THAT(xml, HasSubstr("Carousel run completed."));
  const std::string window = testsupport::readFile(demo + "/install/Logs/scanner-host0.log");
  EXPECT_THAT(window, testing::Not(HasSubstr("LoadScanRegions: Missing")));
  EXPECT_THAT(window, testing::Not(HasSubstr("Invalid scan region defined")));

  // The programs' folder holds what the installation put there, unchanged since.
  const std::string bin = demo + "/prefix/bin";
  const auto installed = fs::last_write_time(demo + "/logs/install.txt");
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(bin)) {
    names.insert(e.path().filename().string());
    EXPECT_LE(e.last_write_time(), installed) << e.path();
  }
  std::set<std::string> expected{"brokla",           "movrak-register", "scanner-host",
                                 "zevazodizo-setup", "zevasim",         "libokFrontPanel.so"};
  if (fs::exists(bin + "/quillmark")) expected.insert("quillmark");
  EXPECT_EQ(names, expected);
  // The libraries in their own folder only.
  std::set<std::string> lib;
  for (const auto& e : fs::directory_iterator(demo + "/prefix/lib")) lib.insert(e.path().filename().string());
  EXPECT_EQ(lib, (std::set<std::string>{"systemd", "zevazodizo"}));
}

}  // namespace
}  // namespace install_test
