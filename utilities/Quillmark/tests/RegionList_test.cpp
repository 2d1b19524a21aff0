#include "RegionList.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "QuillFixture.h"
#include "RegUtils.h"
#include "platform/registry.h"

namespace {

using namespace quillmark;
using ::testing::ElementsAre;

class RegionListTest : public QuillTest {
 protected:
  RegionList list_{g_};
  static std::string storedDefault() {
    // Read under the scanner window's spelling of the key: one key for both.
    platform::registry::Value v;
    if (platform::registry::queryValue(platform::HKEY_CURRENT_USER,
                                       "Software\\Tarsel\\ZevazOdizo\\Scanner\\ScanOptions", "RegionName",
                                       v) != platform::registry::kOk)
      return "<missing>";
    std::string s(v.data.begin(), v.data.end());
    return s.substr(0, s.find('\0'));
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& r : list_.Rows) out.push_back(r.cells[kColName]);
    return out;
  }
};

TEST_F(RegionListTest, RowsAreMarkedWhereTheyLeaveTheLimits) {
  // K7431A: X 2..63, Y 0.5..22.1, width 1..61, height 1..21.6 (mm).
  struct Case {
    const char* what;
    const char *x, *y, *w, *h;  // micrometres as in the file
    std::array<bool, 4> bad;    // X, Y, Width, Height
  } cases[] = {
      {"inside", "2000", "500", "61000", "21600", {false, false, false, false}},
      {"0.02 mm past the maximum", "63020", "500", "1000", "1000", {true, false, true, false}},
      {"61.01 against 61 is not past", "2000", "500", "61010", "1000", {false, false, false, false}},
      {"x + width beyond MaxX marks the width", "3000", "500", "60020", "1000", {false, false, true, false}},
      {"y + height beyond MaxY marks the height",
       "2000",
       "1000",
       "1000",
       "21200",
       {false, false, false, true}},
      {"below the minimum", "1980", "480", "980", "980", {true, true, true, true}},
      {"not numbers", "abc", "1e3", "", "x", {true, true, true, true}},
  };
  std::string text = "[ScanRegions]\nNumRegions=" + std::to_string(std::size(cases)) + "\n";
  int i = 0;
  for (const auto& c : cases) {
    const std::string n = std::to_string(++i);
    text += "[Region" + n + "]\nName=" + c.what + "\nType=Slide" + n + "\nCustom=YES\nW=" + c.w +
            "\nH=" + c.h + "\n[Slide" + n + "]\nX=" + c.x + "\nY=" + c.y + "\n";
  }
  writeIni(text);
  list_.Load(false);
  ASSERT_EQ(list_.Rows.size(), std::size(cases));
  for (std::size_t r = 0; r < std::size(cases); ++r) {
    const auto& bad = list_.Rows[r].invalid;
    EXPECT_EQ((std::array<bool, 4>{bad[kColX], bad[kColY], bad[kColWidth], bad[kColHeight]}), cases[r].bad)
        << cases[r].what;
  }
  EXPECT_TRUE(list_.InvalidFound);
  EXPECT_EQ(list_.Rows[0].cells[kColX], "2.00");
  EXPECT_EQ(list_.Rows[6].cells[kColX], "abc");
  EXPECT_EQ(list_.Rows[0].cells[kColSection], "Region1");
  EXPECT_EQ(list_.HeightColumnWidth(), 1100);
}

TEST_F(RegionListTest, FilterCountsAndTheMakersDefault) {
  writeIni(regionFile(3) + "[Region6]\nName=Lower yes\nType=CustomerSlide5\nCustom=yes\n");
  ASSERT_TRUE(platform::profile::writeString(g_.IniPath, "ScanRegions", "NumRegions", "6"));
  list_.Load(false);
  EXPECT_THAT(names(), ElementsAre("Maker 1", "Maker 2", "Custom 1", "Custom 2", "Custom 3", "Lower yes"));
  EXPECT_EQ(list_.MakerDefaultName, "Maker 1");
  EXPECT_EQ(list_.HeightColumnWidth(), 1100);  // six rows and the header
  list_.Load(true);
  EXPECT_THAT(names(), ElementsAre("Custom 1", "Custom 2", "Custom 3"));  // only exactly "YES"
  EXPECT_EQ(list_.HeightColumnWidth(), 1340);

  for (const char* text : {"[ScanRegions]\nNumRegions=0\n", "[Other]\n"}) {
    writeIni(text);
    list_.Load(false);
    EXPECT_TRUE(list_.Rows.empty());
  }
  writeIni("[ScanRegions]\nNumRegions=lots\n");
  EXPECT_THROW(list_.Load(false), QuillError);
}

TEST_F(RegionListTest, ModifyAndDeleteExplainWhatTheyCannotDo) {
  writeIni("[ScanRegions]\nNumRegions=0\n");
  list_.Load(false);
  int edits = 0;
  const EditRegionFn edit = [&](const std::string&) {
    ++edits;
    return true;
  };
  list_.ModifyRegions(0, 0, edit);
  list_.DeleteRegions(0, 0);
  list_.NewRegion([&](const std::string& mode) {
    EXPECT_EQ(mode, "New");
    ++edits;
    return false;
  });
  EXPECT_EQ(edits, 1);

  writeIni(regionFile(2));
  list_.Load(false);
  boxes.clear();
  list_.ModifyRegions(0, 0, edit);
  list_.DeleteRegions(0, 0);
  list_.ModifyRegions(1, 3, edit);  // two maker rows passed over, one custom edited
  EXPECT_EQ(edits, 2);
  EXPECT_THAT(boxes, ElementsAre(" Select a scan region to modify", " Select a scan region to delete",
                                 "Cannot modify Tarsel supplied regions Maker 1",
                                 "Cannot modify Tarsel supplied regions Maker 2"));
  EXPECT_EQ(captions[0], kEditorTitle);

  ::chmod(g_.IniPath.c_str(), 0444);
  boxes.clear();
  list_.NewRegion(edit);
  list_.ModifyRegions(3, 3, edit);
  list_.DeleteRegions(3, 3);
  EXPECT_EQ(edits, 2);
  EXPECT_THAT(boxes, ElementsAre("Unable to open readonly file ", "Unable to open readonly file ",
                                 "Unable to open readonly file "));
}

TEST_F(RegionListTest, DeletingRowsKeepsTheFileAndTheDefaultConsistent) {
  writeIni(regionFile(4));  // rows 3-6 are custom
  WriteRegValue(platform::HKEY_CURRENT_USER, kScanOptionsKey, "RegionName", "Custom 2");
  ASSERT_TRUE(list_.ReadDefaultRegionName());
  list_.Load(false);

  answers = {platform::ui::IDNO};
  list_.DeleteRegions(4, 6);
  EXPECT_EQ(g_.ReadRegionCount(g_.ReadIni()), 6);  // "No": nothing deleted

  list_.DeleteRegions(4, 6);  // rows 6, 5, 4 in that order
  list_.Load(false);
  EXPECT_THAT(names(), ElementsAre("Maker 1", "Maker 2", "Custom 1"));
  EXPECT_EQ(platform::profile::getString(g_.IniPath, "Region3", "Type"), "CustomerSlide2");
  EXPECT_EQ(storedDefault(), "Maker 1");  // the default region went: the maker's default takes over
  EXPECT_EQ(list_.DefaultRegionName, "Maker 1");

  // A selection reaching a maker row stops there, after the rows below it.
  writeIni(regionFile(2));
  list_.Load(false);
  boxes.clear();
  list_.DeleteRegions(2, 4);
  list_.Load(false);
  EXPECT_THAT(names(), ElementsAre("Maker 1", "Maker 2"));
  EXPECT_THAT(boxes, ElementsAre("Are you sure you want to delete scan region(s)?",
                                 "Cannot delete Tarsel supplied region Maker 2"));

  // Without a maker's default in the file, the stored default becomes empty, not "*Unknown*".
  writeIni(regionFile(1) + "");
  ASSERT_TRUE(platform::profile::deleteKey(g_.IniPath, "TarselDefault", "Region"));
  WriteRegValue(platform::HKEY_CURRENT_USER, kScanOptionsKey, "RegionName", "Custom 1");
  list_.ReadDefaultRegionName();
  list_.Load(false);
  list_.DeleteRegions(3, 3);
  EXPECT_EQ(storedDefault(), "");
}

TEST_F(RegionListTest, RenamingTheDefaultRegionMovesTheRegistryOnlyWhenWritten) {
  writeIni(regionFile(2));
  WriteRegValue(platform::HKEY_CURRENT_USER, kScanOptionsKey, "RegionName", "Custom 1");
  list_.ReadDefaultRegionName();
  list_.Load(false);

  // The edit window's write fails: the registry stays.
  list_.ModifyRegions(3, 3, [&](const std::string& mode) {
    EXPECT_EQ(mode, "Modify");
    return false;
  });
  EXPECT_EQ(storedDefault(), "Custom 1");

  list_.ModifyRegions(3, 4, [&](const std::string&) {
    RegionRecord r = g_.CurrentRegion;
    r.Name += " renamed";
    g_.WriteRegion(r, false);
    return true;
  });
  EXPECT_EQ(storedDefault(), "Custom 1 renamed");  // only the default region's new name
  EXPECT_EQ(list_.DefaultRegionName, "Custom 1 renamed");
}

}  // namespace
