#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "QuillFixture.h"
#include "platform/registry.h"

namespace {

using quillmark::Global;
using quillmark::QuillError;
using testsupport::writeFile;

class RegionDbTest : public QuillTest {
 protected:
  // The number and text of the failure of `fn`; 0 when it succeeds.
  template <class F>
  std::pair<int, std::string> failure(F fn) {
    try {
      fn();
    } catch (const QuillError& e) {
      return {e.Number(), e.what()};
    }
    return {0, ""};
  }
};

TEST_F(RegionDbTest, ModelsAndLimits) {
  EXPECT_EQ(g_.ReadRegionDBHeader(), 2);
  EXPECT_THAT(g_.Models, ::testing::ElementsAre("K7431A", "K7431B", "K7431C"));
  EXPECT_TRUE(g_.ModelExists("K7431B"));
  EXPECT_FALSE(g_.ModelExists("k7431b"));
  g_.LoadModelRegionLimits("K7431B");
  EXPECT_EQ(g_.ModelName, "K7431B");
  EXPECT_DOUBLE_EQ(g_.RegionLimits.MaxX, 73.0);
  EXPECT_DOUBLE_EQ(g_.RegionLimits.MinWidth, 0.5);
  EXPECT_EQ(failure([&] { g_.LoadModelRegionLimits("K9999"); }),
            std::make_pair(
                5000, "Unable to locate the scan region K9999 in system file (" + g_.RegionDbPath + ")"));

  // Names padded with blanks and NULs.
  writeFile(g_.RegionDbPath, regiondb::version2({{"  K7431B  ", 2, {1, 2, 3, 4, 5, 6, 7, 8}}}));
  g_.LoadScannerModels();
  EXPECT_THAT(g_.Models, ::testing::ElementsAre("K7431B"));
  EXPECT_EQ(Global::FixedToString(std::string("K7431B  \0\0garbage", 17)), "K7431B");

  // The old layout describes K7431A alone.
  writeFile(g_.RegionDbPath, regiondb::version1({1000, 2000, 60000, 20000, 55000, 18000, 500, 600}));
  EXPECT_EQ(g_.ReadRegionDBHeader(), 1);
  g_.LoadScannerLimits();
  EXPECT_EQ(g_.ModelName, "K7431A");
  EXPECT_DOUBLE_EQ(g_.RegionLimits.MinY, 2.0);
  EXPECT_DOUBLE_EQ(g_.RegionLimits.MinHeight, 0.6);
}

TEST_F(RegionDbTest, ShortOrMissingFilesAreError5000) {
  const std::string v2 = regiondb::version2(regiondb::sampleModels());
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"half a header", v2.substr(0, 5)},
      {"last record cut", v2.substr(0, v2.size() - 1)},
      {"count beyond the file", regiondb::version2({regiondb::sampleModels()[0]}, 500)},
      {"negative count", regiondb::version2({}, -1)},
  };
  for (const auto& c : cases) {
    writeFile(g_.RegionDbPath, c.bytes);
    const auto f = failure([&] {
      g_.LoadScannerModels();
      g_.LoadModelRegionLimits("K7431A");
    });
    EXPECT_EQ(f.first, 5000) << c.what;
    EXPECT_THAT(f.second, ::testing::HasSubstr(g_.RegionDbPath)) << c.what;
  }
  writeFile(g_.RegionDbPath, regiondb::version1({1, 2, 3, 4, 5, 6, 7, 8}).substr(0, 39));
  EXPECT_EQ(failure([&] { g_.LoadScannerLimits(); }).first, 5000);

  std::remove(g_.RegionDbPath.c_str());
  EXPECT_EQ(failure([&] { g_.ReadRegionDBHeader(); }),
            std::make_pair(5000, "Unable to locate the scan region system file (" + g_.RegionDbPath + ")"));

  // No file but a FIFO: refused at once, never waited on.
  testsupport::makeFifo(g_.RegionDbPath);
  std::pair<int, std::string> fifo;
  ASSERT_TRUE(testsupport::endsWithoutAWriter([&] { fifo = failure([&] { g_.LoadScannerModels(); }); },
                                              g_.RegionDbPath));
  EXPECT_EQ(fifo,
            std::make_pair(5000, "The scan region system file cannot be read: " + g_.RegionDbPath +
                                     " is not a regular file (a pipe, socket or device); it is not read"));
  std::remove(g_.RegionDbPath.c_str());
}

TEST_F(RegionDbTest, FilesAreFoundInTheInstallFolderElseBesideTheProgram) {
  Global g;
  const std::string program = tempDir() + "/bin";
  EXPECT_TRUE(platform::createDirectories(program));
  EXPECT_EQ(failure([&] { g.LocateFiles(program); }),
            std::make_pair(5001, "Unable to locate " + program + "/ChipRegions.ini"));
  writeFile(program + "/ChipRegions.ini", "");
  EXPECT_EQ(failure([&] { g.LocateFiles(program); }),
            std::make_pair(5001, "Unable to locate " + program + "/RegionDB.sys"));
  writeFile(program + "/RegionDB.sys", "");
  g.LocateFiles(program);
  EXPECT_EQ(g.InstallPath, program + "/");

  // "Path" under the key spelled as the editor spells it, read back trimmed.
  writeIni("");
  EXPECT_EQ(platform::registry::createKey(platform::HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo"),
            platform::registry::kOk);
  EXPECT_EQ(platform::registry::setValue(platform::HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo", "Path",
                                         platform::registry::makeString("  " + tempDir() + "  ")),
            platform::registry::kOk);
  g.LocateFiles(program);
  EXPECT_EQ(g.InstallPath, tempDir() + "/");
  EXPECT_EQ(g.IniPath, tempDir() + "/ChipRegions.ini");
  EXPECT_EQ(g.RegionDbPath, tempDir() + "/RegionDB.sys");
}

}  // namespace
