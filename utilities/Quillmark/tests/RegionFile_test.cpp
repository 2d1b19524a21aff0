#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "QuillFixture.h"

namespace {

using quillmark::QuillError;
using quillmark::RegionRecord;
namespace profile = platform::profile;

class RegionFileTest : public QuillTest {
 protected:
  profile::Document doc() const { return *profile::read(g_.IniPath); }
  // Every section but the named ones, as text, to show that nothing else moved.
  static std::string without(const profile::Document& d, std::initializer_list<const char*> names) {
    std::string out;
    for (const std::string& s : d.sectionNames()) {
      bool skip = false;
      for (const char* n : names) skip = skip || s == n;
      if (skip) continue;
      out += "[" + s + "]";
      for (const std::string& k : d.keyNames(s)) out += k + "=" + d.getString(s, k) + ";";
    }
    return out;
  }
  template <class F>
  std::pair<int, std::string> failure(F fn) {
    try {
      fn();
    } catch (const QuillError& e) {
      return {e.Number(), e.what()};
    }
    return {0, ""};
  }
  RegionRecord newRegion(const std::string& name, const std::string& x = "12.30") {
    RegionRecord r;
    r.Name = name;
    r.Custom = "YES";
    r.X = r.Y = "0";
    r.Width = "12.35";
    r.Height = "5.00";
    r.SlideX = x;
    r.SlideY = "3.00";
    r.AFX = "10.5";
    r.AFY = "3.00";
    r.PKG = "5";
    return r;
  }
};

TEST_F(RegionFileTest, LoadsARegionAsMillimetreText) {
  writeIni(regionFile(1) + "\n[Region4]\nName=Odd\nType=Nowhere\nW=abc\n");
  const RegionRecord r = g_.LoadRegion("Region3");
  EXPECT_EQ(r, (RegionRecord{"Region3", "Custom 1", "CustomerSlide2", "YES", "0", "0", "1.35", "5.00", "3.00",
                             "1.00", "1.50", "1.00", "5"}));
  EXPECT_EQ(g_.CurrentRegion, r);
  const RegionRecord odd = g_.LoadRegion("Region4");  // defaults and text that is no number
  EXPECT_EQ(odd.Width, "abc");
  EXPECT_EQ(odd.Custom, "NO");
  EXPECT_EQ(odd.SlideX, "0.00");
  EXPECT_EQ(odd.PKG, "0");
  EXPECT_EQ(g_.LoadRegion("Region9").Name, "*Unknown*");
}

TEST_F(RegionFileTest, ANewRegionGoesToTheNextSectionInOneWrite) {
  writeIni("");  // no ScanRegions at all
  const RegionRecord written = g_.WriteRegion(newRegion("First"), true);
  EXPECT_EQ(written.Section, "Region1");
  EXPECT_EQ(written.Type, "CustomerSlide0");
  EXPECT_EQ(ini(),
            "[ScanRegions]\nNumRegions=1\n\n"
            "[Region1]\nType=CustomerSlide0\nName=First\nCustom=YES\nX=0\nY=0\nW=12350\nH=5000\n\n"
            "[CustomerSlide0]\nX=12300\nY=3000\nAFX=10500\nAFY=3000\nPKG=5\n");
  EXPECT_EQ(g_.CurrentRegion, written);
  EXPECT_EQ(g_.LoadRegion("Region1").Width, "12.35");  // read back as written

  writeIni(regionFile(5));
  const profile::Document before = doc();
  EXPECT_EQ(g_.WriteRegion(newRegion("Sixth"), true).Section, "Region8");
  EXPECT_EQ(doc().getString("Region8", "Type"), "CustomerSlide7");
  EXPECT_EQ(without(doc(), {"ScanRegions", "Region8", "CustomerSlide7"}),
            without(before, {"ScanRegions"}));  // every other region intact
}

TEST_F(RegionFileTest, AModifyRewritesOnlyItsRegion) {
  writeIni(regionFile(3));
  const profile::Document before = doc();
  RegionRecord r = g_.LoadRegion("Region4");
  r.Name = "Renamed";
  r.Width = "2.01";  // 2009.9999999999998 um in double arithmetic
  g_.WriteRegion(r, false);
  EXPECT_EQ(doc().getString("Region4", "Name"), "Renamed");
  EXPECT_EQ(doc().getString("Region4", "W"), "2010");
  EXPECT_EQ(without(doc(), {"Region4", "CustomerSlide3"}), without(before, {"Region4", "CustomerSlide3"}));
}

TEST_F(RegionFileTest, AFailedWriteChangesNothing) {
  writeIni(regionFile(2));
  const std::string original = ini();
  const RegionRecord loaded = g_.LoadRegion("Region3");

  // A value that is no number, met after the keys that would have gone before it.
  RegionRecord bad = loaded;
  bad.Name = "Changed";
  bad.AFY = "1.0.0";
  EXPECT_EQ(failure([&] { g_.WriteRegion(bad, false); }).first, 500);
  RegionRecord lineBreak = loaded;
  lineBreak.Name = "two\r\nlines";
  EXPECT_EQ(failure([&] { g_.WriteRegion(lineBreak, false); }).first, 500);
  // The file cannot be replaced.
  ::chmod(g_.IniPath.c_str(), 0444);
  RegionRecord fine = loaded;
  fine.Name = "Changed";
  const auto f = failure([&] { g_.WriteRegion(fine, false); });
  EXPECT_EQ(f.first, 500);
  EXPECT_THAT(f.second, ::testing::StartsWith("Error writing Region Type in " + g_.IniPath));
  EXPECT_EQ(failure([&] { g_.WriteRegion(newRegion("New"), true); }).first, 500);

  EXPECT_EQ(ini(), original);
  EXPECT_EQ(g_.CurrentRegion, loaded);  // the loaded values are kept apart
}

TEST_F(RegionFileTest, WritesThatWouldHitOtherRegionsAreRefused) {
  writeIni(regionFile(2));
  const std::string original = ini();
  RegionRecord maker = g_.LoadRegion("Region1");
  maker.Custom = "YES";  // a hand-edited file may say so
  EXPECT_EQ(failure([&] { g_.WriteRegion(maker, false); }).first, 5001);
  RegionRecord gone = g_.LoadRegion("Region3");
  gone.Section = "Region9";
  EXPECT_EQ(failure([&] { g_.WriteRegion(gone, false); }).first, 5001);
  // NumRegions that is not a number: no new section on a guess.
  writeIni("[ScanRegions]\nNumRegions=two\n");
  EXPECT_EQ(failure([&] { g_.WriteRegion(newRegion("X"), true); }).first, 5001);
  writeIni(original);
  EXPECT_EQ(ini(), original);
}

TEST_F(RegionFileTest, DeleteRenumbersVerbatimAndKeepsSharedSections) {
  writeIni(regionFile(5));  // Region1-2 maker, Region3-7 custom with CustomerSlide2-6
  const profile::Document before = doc();
  g_.DeleteRegion(g_.LoadRegion("Region4"));  // the second custom region
  const profile::Document after = doc();
  EXPECT_EQ(after.getInt("ScanRegions", "NumRegions", 0), 6);
  for (int i = 5; i <= 7; ++i) {
    const std::string from = "Region" + std::to_string(i), to = "Region" + std::to_string(i - 1);
    EXPECT_EQ(after.getString(to, "Name"), before.getString(from, "Name"));
    EXPECT_EQ(after.getString(to, "W"), before.getString(from, "W"));  // 2345, not rounded to 2350
    EXPECT_EQ(after.getString(to, "Type"), "CustomerSlide" + std::to_string(i - 2));
    EXPECT_EQ(after.getString("CustomerSlide" + std::to_string(i - 2), "X"),
              before.getString("CustomerSlide" + std::to_string(i - 1), "X"));
  }
  EXPECT_FALSE(after.hasSection("Region7"));
  EXPECT_FALSE(after.hasSection("CustomerSlide6"));
  EXPECT_EQ(
      without(after, {"ScanRegions", "Region3", "Region4", "Region5", "Region6", "CustomerSlide2",
                      "CustomerSlide3", "CustomerSlide4", "CustomerSlide5"}),
      without(before, {"ScanRegions", "Region3", "Region4", "Region5", "Region6", "Region7", "CustomerSlide2",
                       "CustomerSlide3", "CustomerSlide4", "CustomerSlide5", "CustomerSlide6"}));
  EXPECT_EQ(after.getString("Region3", "Name"), "Custom 1");
}

TEST_F(RegionFileTest, DeleteInAHandEditedFileKeepsTheMakerSections) {
  // A custom region first, then a maker region and one sharing its slide section.
  writeIni(
      "[ScanRegions]\nNumRegions=4\n"
      "[TarselDefault]\nRegion=Region3\nX=2000\nY=500\nAFX=500\nAFY=500\n"
      "[Region1]\nName=Mine\nType=CustomerSlide0\nCustom=YES\nW=1000\nH=1000\n"
      "[CustomerSlide0]\nX=3000\nY=1000\nAFX=1500\nAFY=1000\n"
      "[Region2]\nName=Maker A\nType=TarselDefault\nCustom=no\nW=1000\nH=1000\n"
      "[Region3]\nName=Maker Default\nType=TarselDefault\nCustom=NO\nW=1000\nH=1000\n"
      "[Region4]\nName=Twin\nType=Shared\nCustom=YES\nW=1000\nH=1000\n"
      "[Shared]\nX=1\nY=1\nAFX=1\nAFY=1\n");
  g_.DeleteRegion(g_.LoadRegion("Region2"));  // "no" is not exactly "NO": a custom region here
  profile::Document d = doc();
  EXPECT_TRUE(d.hasSection("TarselDefault"));
  EXPECT_EQ(d.getString("TarselDefault", "Region"), "Region2");  // still names "Maker Default"
  EXPECT_EQ(d.getString("Region2", "Name"), "Maker Default");
  EXPECT_EQ(d.getString("Region2", "Type"), "TarselDefault");
  EXPECT_EQ(d.getString("Region3", "Type"), "Shared");  // not a CustomerSlide section: left as it is

  // The region the maker's default names cannot go; a shared slide section stays.
  EXPECT_EQ(failure([&] { g_.DeleteRegion(g_.LoadRegion("Region2")); }),
            std::make_pair(5001, std::string("Cannot delete Tarsel supplied region Maker Default")));
  writeIni(ini() + "[Region4]\nName=Twin 2\nType=Shared\nCustom=YES\n");
  ASSERT_TRUE(profile::writeString(g_.IniPath, "ScanRegions", "NumRegions", "4"));
  g_.DeleteRegion(g_.LoadRegion("Region3"));
  EXPECT_TRUE(doc().hasSection("Shared"));
  EXPECT_EQ(doc().getString("Region3", "Name"), "Twin 2");
}

TEST_F(RegionFileTest, NameExistsIgnoresCaseAndTheRegionItself) {
  writeIni(regionFile(2) + "[Region5]\nType=CustomerSlide4\n");
  ASSERT_TRUE(profile::writeString(g_.IniPath, "ScanRegions", "NumRegions", "5"));
  EXPECT_TRUE(g_.NameExists("custom 1", ""));
  EXPECT_FALSE(g_.NameExists("Custom 1", "Region3"));  // itself
  EXPECT_TRUE(g_.NameExists(" *UNKNOWN* ", ""));       // a section without a Name
  EXPECT_FALSE(g_.NameExists("Nobody", ""));
}

}  // namespace
