#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "ConfigFixture.h"
#include "config/ScanRegionInfoMap.h"

namespace {

using testsupport::writeFile;

// K7431A of the sample database: MinX 2000, MinY 500, MaxX 63000, MaxY 22100,
// MaxWidth 61000, MaxHeight 21600, MinWidth 1000, MinHeight 1000.
struct Region {
  int x, y, w, h, afX, afY;
  bool operator==(const Region&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Region& r) {
  return o << "(" << r.x << ", " << r.y << ", " << r.w << "x" << r.h << ", af " << r.afX << ", " << r.afY
           << ")";
}

class RegionCheckTest : public ConfigTest {
 protected:
  int check(int type, Region& r) { return CheckScanRegion(type, &r.x, &r.y, &r.w, &r.h, &r.afX, &r.afY); }
};

TEST_F(RegionCheckTest, EveryCorrection) {
  writeSampleDb();
  struct Case {
    const char* what;
    Region in, out;
    int result;
  } cases[] = {
      {"inside", {2000, 500, 61000, 21600, 500, 500}, {2000, 500, 61000, 21600, 500, 500}, 0},
      {"negative x", {-5, 600, 10000, 10000, 100, 100}, {2000, 600, 10000, 10000, 100, 100}, 1},
      {"negative y", {3000, -1, 10000, 10000, 100, 100}, {3000, 500, 10000, 10000, 100, 100}, 1},
      {"negative width", {3000, 600, -1, 10000, 100, 100}, {3000, 600, 1000, 10000, 100, 100}, 1},
      {"negative height", {3000, 600, 10000, -7, 100, 100}, {3000, 600, 10000, 1000, 100, 100}, 1},
      {"negative AF x", {3000, 600, 10000, 10000, -1, 100}, {3000, 600, 10000, 10000, 3000, 100}, 1},
      {"negative AF y", {3000, 600, 10000, 10000, 100, -1}, {3000, 600, 10000, 10000, 100, 600}, 1},
      {"left of MinX", {1000, 600, 30000, 10000, 100, 100}, {2000, 600, 29000, 10000, 500, 100}, 1},
      {"left of MinX, width kept at MinWidth",
       {1000, 600, 500, 10000, 100, 100},
       {2000, 600, 1000, 10000, 500, 100},
       1},
      {"at MaxX", {63000, 600, 1000, 10000, 100, 100}, {2000, 600, 1000, 10000, 500, 100}, 1},
      {"right edge beyond MaxX",
       {10000, 600, 60000, 10000, 100, 100},
       {10000, 600, 53000, 10000, 100, 100},
       1},
      {"at MaxY", {3000, 22100, 1000, 1000, 100, 100}, {3000, 500, 1000, 1000, 100, 500}, 1},
      {"above MinY", {3000, 100, 1000, 5000, 100, 100}, {3000, 500, 1000, 4600, 100, 500}, 1},
      {"above MinY, nothing left", {3000, 100, 1000, 300, 100, 100}, {3000, 500, 1000, 1000, 100, 500}, 1},
      {"bottom beyond MaxY", {3000, 1000, 1000, 21600, 100, 100}, {3000, 1000, 1000, 21100, 100, 100}, 1},
      {"narrower than MinWidth", {3000, 600, 0, 10000, 100, 100}, {3000, 600, 1000, 10000, 100, 100}, 1},
      {"lower than MinHeight", {3000, 600, 1000, 999, 100, 100}, {3000, 600, 1000, 1000, 100, 100}, 1},
      // Values far beyond 32-bit sums must not overflow.
      {"huge",
       {2147483647, 2147483647, 2147483647, 2147483647, 0, 0},
       {2000, 500, 61000, 21600, 500, 500},
       1},
  };
  for (const auto& c : cases) {
    Region r = c.in;
    EXPECT_EQ(check(0, r), c.result) << c.what;
    EXPECT_EQ(r, c.out) << c.what;
  }
}

TEST_F(RegionCheckTest, WidthAndHeightAboveTheirMaximum) {
  // Room beyond the maxima, so that only the size checks fire.
  writeDb(regiondb::version2({{"Wide", 0x1, {0, 0, 100000, 100000, 50000, 40000, 1000, 2000}}}));
  Region r{0, 0, 60000, 45000, 0, 0};
  EXPECT_EQ(check(0, r), 1);
  EXPECT_EQ(r, (Region{0, 0, 50000, 40000, 0, 0}));
  EXPECT_TRUE(
      logged("INFO: The Width (60000) of the Scan is greater than the Max allowable width of 50000 -- "
             "Setting the Width to 50000"));
  EXPECT_TRUE(
      logged("INFO: The Height (45000) of the Scan is greater than the max allowable height of 40000 -- "
             "Setting the Height to 40000"));
}

TEST_F(RegionCheckTest, CorrectionsAreLogged) {
  writeSampleDb();
  Region r{-5, 600, 10000, -7, 100, 100};
  ASSERT_EQ(check(0, r), 1);
  EXPECT_TRUE(logged("ERROR: CheckScanRegion::incoming left X value is negative (-5)!"));
  EXPECT_TRUE(logged("ERROR: CheckScanRegion::setting to leftmost valid value: 2000"));
  EXPECT_TRUE(logged("ERROR: CheckScanRegion::incoming height value is negative (-7)!"));
  // Three lines for x, two for the height: the "corrupted?" line appears once.
  EXPECT_EQ(loggedCount("ERROR: CheckScanRegion::Is ChipRegions.ini or XML file corrupted?"), 1u);

  Region left{1000, 600, 30000, 10000, 100, 100};
  ASSERT_EQ(check(0, left), 1);
  EXPECT_TRUE(
      logged("INFO: The Horizontal Extent of the Upper Left Corner (1000, 600) falls outside the the max "
             "allowable ScanRegion -- setting Left Corner to (2000, 600)"));
  Region narrow{3000, 600, 0, 10000, 100, 100};
  ASSERT_EQ(check(0, narrow), 1);
  EXPECT_TRUE(
      logged("INFO: The Width (0) of the Scan is less than the min allowable width of 1000 -- Setting the "
             "Width to 1000"));
}

TEST_F(RegionCheckTest, DatabaseVersionsAndDamagedFiles) {
  const regiondb::Limits a = regiondb::sampleModels()[0].limits;
  const std::string v2 = regiondb::version2(regiondb::sampleModels());
  const std::string dbPath = install() + "/RegionDB.sys";
  struct Case {
    const char* what;
    std::string bytes;
    int type;
    int result;
    std::string line;  // "" when the check goes through
  } cases[] = {
      {"version 2", v2, 2, 0, ""},
      {"version 1, type 0", regiondb::version1(a), 0, 0,
       "ERROR: CheckScanRegion: Old version of RegionDB.Sys file.  Please update."},
      {"version 0, type 0", regiondb::version1(a, 0), 0, 0,
       "ERROR: CheckScanRegion: Old version of RegionDB.Sys file.  Please update."},
      {"version 1, type 1", regiondb::version1(a), 1, 2,
       "ERROR: CheckScanRegion: Old version of RegionDB.Sys file. Please update."},
      {"version 3", regiondb::version2(regiondb::sampleModels(), std::nullopt, 3), 2, 2,
       "ERROR: CheckScanRegion: Unrecognized (newer) version of RegionDB.Sys file."},
      {"empty file", "", 0, 2, "ERROR: CheckScanRegion: premature end of file."},
      {"short version", std::string("\x02\x00", 2), 0, 2, "ERROR: CheckScanRegion: premature end of file."},
      {"version 2 without count", v2.substr(0, 4), 0, 2, "ERROR: CheckScanRegion: premature end of file."},
      {"version 1 cut short", regiondb::version1(a).substr(0, 30), 0, 2,
       "ERROR: CheckScanRegion: premature end of file."},
      {"record cut short", v2.substr(0, 8 + 72 + 40), 1, 2, "ERROR: CheckScanRegion: premature end of file."},
      {"count beyond the records", regiondb::version2({regiondb::sampleModels()[0]}, 1000), 2, 2,
       "ERROR: CheckScanRegion: premature end of file."},
      {"count 0", regiondb::version2({}, 0), 0, 2,
       "ERROR: CheckScanRegion: Scanner type not supported by RegionDB.Sys file"},
      {"negative count", regiondb::version2(regiondb::sampleModels(), -5), 0, 2,
       "ERROR: CheckScanRegion: Scanner type not supported by RegionDB.Sys file"},
      {"mask 0x1, type 2", regiondb::version2({regiondb::sampleModels()[0]}), 2, 2,
       "ERROR: CheckScanRegion: Scanner type not supported by RegionDB.Sys file"},
      {"type 3", v2, 3, 2, "ERROR: CheckScanRegion: Scanner type not supported by RegionDB.Sys file"},
      {"type 40", v2, 40, 2, "ERROR: CheckScanRegion: Scanner type not supported by RegionDB.Sys file"},
      {"type -1", v2, -1, 2, "ERROR: CheckScanRegion: Scanner type not supported by RegionDB.Sys file"},
  };
  for (const auto& c : cases) {
    writeDb(c.bytes);
    Region r{3000, 600, 10000, 10000, 100, 100};
    const Region before = r;
    const std::size_t lines = loggedCount(c.line);
    EXPECT_EQ(check(c.type, r), c.result) << c.what;
    if (c.result == 2) {
      EXPECT_EQ(r, before) << c.what;
    }
    if (!c.line.empty()) {
      EXPECT_EQ(loggedCount(c.line), lines + 1) << c.what;
    }
  }

  // A database that is no file, or far larger than any, is not read, and the caller is not held.
  std::filesystem::remove(dbPath);
  testsupport::makeFifo(dbPath);
  Region held{3000, 600, 10000, 10000, 100, 100};
  int result = 0;
  ASSERT_TRUE(testsupport::endsWithoutAWriter([&] { result = check(2, held); }, dbPath));
  EXPECT_EQ(result, 2);
  EXPECT_TRUE(logged("ERROR: CheckScanRegion -- Cannot Verify Scan Region -- " + dbPath +
                     " is not a regular file (a pipe, socket or device); it is not read"));
  std::filesystem::remove(dbPath);
  writeDb(v2 + std::string(72u * 32767u, '\0'));
  EXPECT_EQ(check(2, held), 2);
  EXPECT_TRUE(logged("ERROR: CheckScanRegion -- Cannot Verify Scan Region -- " + dbPath +
                     " is larger than 2359232 bytes; it is not read"));

  std::filesystem::remove(dbPath);
  Region r{3000, 600, 10000, 10000, 100, 100};
  EXPECT_EQ(check(0, r), 2);
  EXPECT_TRUE(
      logged("ERROR: CheckScanRegion -- Cannot Verify Scan Region -- no region Database '" + dbPath + "'"));
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo").DeleteValue("Path");
  EXPECT_EQ(check(0, r), 2);
  EXPECT_TRUE(
      logged("ERROR: CheckScanRegion:: Cannot find the registry key 'Software\\Tarsel\\ZevazOdizo' with "
             "Value 'Path' -- Cannot check Scan Region"));
}

// Regions of every kind the reader meets; NumRegions counts two sections beyond the file.
const char* const kRegionFile =
    "[ScanRegions]\r\nNumRegions=11\r\n\r\n"
    "[TarselDefault]\r\nRegion=Region1\r\nX=2000\r\nY=500\r\nAFX=500\r\nAFY=500\r\n\r\n"
    "[Region1]\r\nName=Full "
    "Slide\r\nType=TarselDefault\r\nX=0\r\nY=0\r\nW=61000\r\nH=21600\r\nCustom=NO\r\n\r\n"
    "[Region2]\r\nType=TarselDefault\r\nX=0\r\nY=0\r\nW=1000\r\nH=1000\r\n\r\n"
    "[Region3]\r\nName=Full Slide\r\nType=TarselDefault\r\nX=0\r\nY=0\r\nW=2000\r\nH=2000\r\n\r\n"
    "[Region4]\r\nName=No Type\r\nX=0\r\nY=0\r\nW=2000\r\nH=2000\r\n\r\n"
    "[Region5]\r\nName=Bad Slide\r\nType=Nowhere\r\nX=0\r\nY=0\r\nW=2000\r\nH=2000\r\n\r\n"
    "[Region6]\r\nName=Too Narrow\r\nType=TarselDefault\r\nX=0\r\nY=0\r\nW=0\r\nH=2000\r\n\r\n"
    "[Region7]\r\nName=Custom\r\nType=CustomerSlide6\r\nX=0\r\nY=0\r\nW=20000\r\nH=10000\r\nCustom="
    "YES\r\n\r\n"
    "[CustomerSlide6]\r\nX=10000\r\nY=5000\r\nAFX=8500\r\nAFY=5000\r\nPKG=5\r\n\r\n"
    "[Region8]\r\nName=No Height\r\nType=TarselDefault\r\nX=0\r\nY=0\r\nW=2000\r\n\r\n"
    "[Region9]\r\nName=Too Low\r\nType=CustomerSlide8\r\nX=0\r\nY=0\r\nW=2000\r\nH=2000\r\n"
    "[CustomerSlide8]\r\nX=3000\r\nY=21000\r\nAFX=1500\r\nAFY=21000\r\n";

class RegionMapTest : public ConfigTest {
 protected:
  std::string regionFile(const std::string& text) {
    const std::string path = tempDir() + "/ChipRegions.ini";
    writeFile(path, text);
    return path;
  }
  CScanRegionInfoMap map_;
};

TEST_F(RegionMapTest, LoadsTheValidRegionsAndReportsTheRest) {
  writeSampleDb();
  const std::string path = regionFile(kRegionFile);
  EXPECT_EQ(map_.LoadScanRegions(path.c_str(), 0), 2);
  EXPECT_EQ(map_.FilePath, path);
  EXPECT_EQ(map_.ScannerType, 0);
  EXPECT_EQ(map_.LastWriteTime, platform::profile::fileStamp(path));

  const ScanRegionInfo* full = map_.Lookup("Full Slide");
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(map_.GetDefaultRegion(), full);
  EXPECT_EQ(full->IsDefault, 1);
  EXPECT_EQ(full->Type, "TarselDefault");
  EXPECT_EQ(full->Right, 61000);
  EXPECT_EQ(full->Bottom, 21600);
  EXPECT_EQ(full->OriginX, 2000);
  EXPECT_EQ(full->PKG, 0);  // missing PKG
  EXPECT_EQ(map_.Lookup("full slide"), nullptr);

  const ScanRegionInfo* custom = map_.Lookup("Custom");
  ASSERT_NE(custom, nullptr);
  EXPECT_EQ(custom->IsDefault, 0);
  EXPECT_EQ((std::vector<int>{custom->Left, custom->Top, custom->Right, custom->Bottom, custom->OriginX,
                              custom->OriginY, custom->AFX, custom->AFY, custom->PKG}),
            (std::vector<int>{0, 0, 20000, 10000, 10000, 5000, 8500, 5000, 5}));

  for (const char* line : {
           "ERROR: LoadScanRegions: Failed to read region Name for section 'Region2'",
           "ERROR: LoadScanRegions: Repeated region name found 'Full Slide', skipped loading",
           "ERROR: LoadScanRegions: Failed to read ChipType for region 'No Type'",
           "ERROR: LoadScanRegions: Failed to read OriginX for region 'Bad Slide'",
           "ERROR: LoadScanRegions: Failed to read RegionHeight for region 'No Height'",
           "INFO: Region Too Narrow was found to be invalid and will not be included in the scan region "
           "selection list",
           "INFO: Region Too Low was found to be invalid and will not be included in the scan region "
           "selection list",
           "ERROR: LoadScanRegions: Failed to read region Name for section 'Region10' to 'Region11'",
           "INFO: The following scan regions were invalid: 'Too Narrow', 'Too Low'",
       })
    EXPECT_TRUE(logged(line)) << line;
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(RegionMapTest, FailuresKeepOrEmptyTheMapAsTheyShould) {
  writeSampleDb();
  const std::string good = regionFile(kRegionFile);
  ASSERT_EQ(map_.LoadScanRegions(good.c_str(), 0), 2);

  // Unusable counts leave what was loaded.
  for (const char* text :
       {"[ScanRegions]\nNumRegions=0\n", "[Other]\nX=1\n", "[ScanRegions]\nNumRegions=abc\n"}) {
    const std::string bad = tempDir() + "/Bad.ini";
    writeFile(bad, text);
    boxes_.clear();
    EXPECT_EQ(map_.LoadScanRegions(bad.c_str(), 0), -1) << text;
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0], "LoadScanRegions: Missing or corrupt " + bad + " file.");
    EXPECT_EQ(map_.GetCount(), 2);
  }
  boxes_.clear();
  EXPECT_EQ(map_.LoadScanRegions(good.c_str(), kScannerTypeUnknown), -1);
  EXPECT_EQ(boxes_, std::vector<std::string>{
                        "LoadScanRegions: Failed to load scan regions - Unrecognized scanner model number"});

  // A folder where the file should be cannot be accessed.
  const std::string folder = tempDir() + "/Folder.ini";
  std::filesystem::create_directory(folder);
  boxes_.clear();
  EXPECT_EQ(map_.LoadScanRegions(folder.c_str(), 0), 0);
  EXPECT_EQ(boxes_,
            std::vector<std::string>{"Failed to access chip region file '" + folder + "': Is a directory"});

  // Without a usable database the load stops at the first region.
  std::filesystem::remove(install() + "/RegionDB.sys");
  boxes_.clear();
  EXPECT_EQ(map_.LoadScanRegions(good.c_str(), 0), 0);
  EXPECT_EQ(map_.GetCount(), 0);
  EXPECT_EQ(map_.GetDefaultRegion(), nullptr);
  EXPECT_THAT(boxes_,
              ::testing::ElementsAre(
                  "LoadScanRegions: Failed to validate scan regions - Missing or corrupt RegionDB.sys file"));

  // Nothing valid at all.
  writeSampleDb();
  boxes_.clear();
  const std::string none = regionFile(
      "[ScanRegions]\nNumRegions=1\n[Region1]\nName=Tiny\nType=TarselDefault\nX=0\nY=0\nW=1\nH=1\n"
      "[TarselDefault]\nX=2000\nY=500\nAFX=500\nAFY=500\n");
  EXPECT_EQ(map_.LoadScanRegions(none.c_str(), 0), 0);
  EXPECT_THAT(boxes_, ::testing::ElementsAre(
                          "LoadScanRegions: No any valid scan region found from ChipRegions.ini file"));
  EXPECT_TRUE(logged("INFO: The following scan region was invalid: 'Tiny'"));

  // No path and none stored.
  CScanRegionInfoMap fresh;
  EXPECT_EQ(fresh.LoadScanRegions(nullptr, 0), -1);
  EXPECT_EQ(fresh.LoadScanRegions("", 0), -1);
}

TEST_F(RegionMapTest, TheDefaultSectionMustMatchExactly) {
  writeSampleDb();
  const std::string path = regionFile(
      "[ScanRegions]\nNumRegions=1\n[TarselDefault]\nRegion=region1\nX=2000\nY=500\nAFX=500\nAFY=500\n"
      "[Region1]\nName=Full Slide\nType=TarselDefault\nX=0\nY=0\nW=61000\nH=21600\n");
  ASSERT_EQ(map_.LoadScanRegions(path.c_str(), 0), 1);
  EXPECT_EQ(map_.GetDefaultRegion(), nullptr);
  EXPECT_EQ(map_.Lookup("Full Slide")->IsDefault, 0);
}

TEST_F(RegionMapTest, AHugeRegionCountEndsQuickly) {
  writeSampleDb();
  std::string text = kRegionFile;
  text.replace(text.find("NumRegions=11"), 13, "NumRegions=2147483647");
  const std::string path = regionFile(text);
  EXPECT_EQ(map_.LoadScanRegions(path.c_str(), 0), 2);
  EXPECT_TRUE(logged(
      "ERROR: LoadScanRegions: Failed to read region Name for section 'Region10' to 'Region2147483647'"));
}

}  // namespace
