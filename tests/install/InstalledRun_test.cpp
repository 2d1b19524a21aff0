// The installed system at work: the demo's own steps (cmake --install with the simulators,
// zevazodizo-setup, brokla) into a folder of the test's; then, on a virtual display as a
// user would, a new scan region made in the installed region editor and a one-slide
// carousel run of it from the installed scanner-host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "ProgramRun.h"
#include "TiffPages.h"
#include "platform/profile.h"
#include "testsupport/TestEnv.h"

namespace install_test {
namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

// The region the test makes in the region editor (millimetres): over spots of the slide's
// microarray and the gaps between its blocks, 400 pixels by 300 lines at the demo's 10 um.
struct EditorRegion {
  std::string name;
  int x, y, width, height;
  std::string demoSetting() const {
    return name + "," + std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(width) + "," +
           std::to_string(height);
  }
};
const EditorRegion kRegion{"Editor Spots", 12, 3, 4, 3};
constexpr int kMicrons = 10;             // the demo's scan resolution
const std::string kSlide = "DEMO-0001";  // the demo's slide in slot 1

// The section of the region named `name` in a region file, as the window looks it up.
std::optional<std::string> RegionSection(const platform::profile::Document& doc, const std::string& name) {
  for (const std::string& section : doc.sectionNames())
    if (platform::profile::sectionNumber(section, "Region") > 0 && doc.getString(section, "Name") == name)
      return section;
  return std::nullopt;
}

class InstalledRunTest : public testsupport::ZevaTest {};

TEST_F(InstalledRunTest, RegionFromTheInstalledEditorIsScannedByTheInstalledScannerHostPixelForPixel) {
  for (const char* tool : {"/usr/bin/xdotool", "/usr/bin/Xvfb"})
    if (!fs::exists(tool)) GTEST_SKIP() << tool << " is not installed: the windows cannot be worked";
  if (std::string(QUILLMARK_PROGRAM).empty()) GTEST_SKIP() << "the region editor is not in this build";

  const std::string demo = tempDir() + "/demo";
  ScopedEnv prebuilt("ZEVA_DEMO_PREBUILT", "1");
  ScopedEnv build("ZEVA_DEMO_BUILD_DIR", ZEVA_BUILD_DIR);
  ScopedEnv folder("ZEVA_DEMO_DIR", demo.c_str());
  ScopedEnv slides("ZEVA_DEMO_SLIDES", "1");
  ScopedEnv region("ZEVA_DEMO_REGION", kRegion.demoSetting().c_str());
  ScopedEnv display("DISPLAY", nullptr);  // a virtual display of its own
  // The window programs keep the toolkit's caches until they end (a sanitizer build would
  // report them as leaks and fail the editor's exit).
  ScopedEnv leaks("ASAN_OPTIONS", "detect_leaks=0");
  ScopedEnv runLimit("ZEVA_DEMO_RUN_LIMIT", "180");  // the driver's own failure, with its logs, comes first
  const RunResult r = run({std::string(ZEVA_SOURCE_DIR) + "/scripts/demo", "--headless"}, tempDir(), 280s);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err << "\n--- quillmark ---\n"
                           << testsupport::readFile(demo + "/logs/quillmark.out")
                           << "\n--- scanner-host ---\n"
                           << testsupport::readFile(demo + "/logs/scanner-host.out");
  EXPECT_THAT(r.out, HasSubstr("the region editor saved the region '" + kRegion.name + "'"));
  EXPECT_THAT(r.out, HasSubstr("the carousel run of slots 1-1 completed"));

  // The editor wrote the region into the installation folder's region file: a new
  // region of its own slide section, in micrometres.
  const auto regions = platform::profile::read(demo + "/install/ChipRegions.ini");
  ASSERT_TRUE(regions);
  const auto section = RegionSection(*regions, kRegion.name);
  ASSERT_TRUE(section) << regions->text();
  const std::string slideSection = regions->getString(*section, "Type");
  EXPECT_EQ(regions->getString(*section, "Custom"), "YES");
  EXPECT_EQ(regions->getInt(*section, "W", -1), kRegion.width * 1000) << regions->text();
  EXPECT_EQ(regions->getInt(*section, "H", -1), kRegion.height * 1000) << regions->text();
  EXPECT_EQ(regions->getInt(slideSection, "X", -1), kRegion.x * 1000) << regions->text();
  EXPECT_EQ(regions->getInt(slideSection, "Y", -1), kRegion.y * 1000) << regions->text();

  // One image, of that region: the slide's picture there less the dark levels the run
  // set, pixel for pixel and channel by channel.
  std::set<std::string> images;
  for (const auto& e : fs::directory_iterator(demo + "/images"))
    if (e.path().extension() == ".tif") images.insert(e.path().string());
  ASSERT_EQ(images.size(), 1u);
  const std::string image = *images.begin();
  const std::string window = testsupport::readFile(demo + "/install/Logs/scanner-host0.log");
  const std::string darkLine = "Setting Dark Subtraction Value (";
  const auto at = window.find(darkLine);
  int darkRed = -1, darkGreen = -1;
  ASSERT_NE(at, std::string::npos) << "the window's log names no dark levels";
  ASSERT_EQ(std::sscanf(window.c_str() + at + darkLine.size(), "Red=%d, Green=%d", &darkRed, &darkGreen), 2);
  lumetra_test::SlideScan scan;
  scan.slide = kSlide;
  scan.originX = kRegion.x * 1000;
  scan.originY = kRegion.y * 1000;
  scan.pixelSize = scan.lineResolution = kMicrons;
  scan.pixels = kRegion.width * 1000 / kMicrons;
  scan.rows = kRegion.height * 1000 / kMicrons;
  const lumetra_test::SlideImage want(scan, darkRed, darkGreen);
  EXPECT_EQ(lumetra_test::ImageDifference(lumetra_test::ReadTiff(image), scan, want), "") << image;

  const std::string xml = testsupport::readFile(demo + "/report/CarouselRunLog.xml");
  EXPECT_THAT(xml, HasSubstr("Carousel run completed."));
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
  EXPECT_EQ(names, (std::set<std::string>{"brokla", "movrak-register", "scanner-host", "zevazodizo-setup",
                                          "zevasim", "libokFrontPanel.so", "quillmark"}));
  // The libraries in their own folder only.
  std::set<std::string> lib;
  for (const auto& e : fs::directory_iterator(demo + "/prefix/lib")) lib.insert(e.path().filename().string());
  EXPECT_EQ(lib, (std::set<std::string>{"systemd", "zevazodizo"}));
}

}  // namespace
}  // namespace install_test
