// The sample region files in dist/ load completely for every model.
#include <gtest/gtest.h>

#include "ConfigFixture.h"
#include "config/ScanRegionInfoMap.h"
#include "platform/profile.h"

namespace {

class SampleFilesTest : public ConfigTest {};

TEST_F(SampleFilesTest, DatabaseIsWhatTheGeneratorWrites) {
  // Regenerate with: make_regiondb dist/RegionDB.sys
  EXPECT_EQ(testsupport::readFile(std::string(ZEVA_DIST_DIR) + "/RegionDB.sys"),
            regiondb::version2(regiondb::sampleModels()));
}

TEST_F(SampleFilesTest, EveryRegionIsValidForEveryModel) {
  writeDb(testsupport::readFile(std::string(ZEVA_DIST_DIR) + "/RegionDB.sys"));
  const std::string path = std::string(ZEVA_DIST_DIR) + "/ChipRegions.ini";
  const int sections = platform::profile::getInt(path, "ScanRegions", "NumRegions", 0);
  ASSERT_GT(sections, 0);
  for (int type = 0; type <= 2; ++type) {
    CScanRegionInfoMap map;
    EXPECT_EQ(map.LoadScanRegions(path.c_str(), type), sections) << type;
    ASSERT_NE(map.GetDefaultRegion(), nullptr);
    EXPECT_EQ(map.GetDefaultRegion()->Name, "Full Slide");
  }
  EXPECT_TRUE(boxes_.empty());
}

}  // namespace
