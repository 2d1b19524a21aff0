#include "config/CarouselCfgProfileMap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "ConfigFixture.h"
#include "config/ScanRegionInfoMap.h"
#include "platform/registry.h"

namespace {

using testsupport::readFile;
using testsupport::writeFile;

constexpr const char* kOptions = "Software\\Tarsel\\ZevazOdizo\\Scanner\\ScanOptions";

const char* const kRegions =
    "[ScanRegions]\nNumRegions=2\n"
    "[TarselDefault]\nRegion=Region1\nX=2000\nY=500\nAFX=500\nAFY=500\n"
    "[Region1]\nName=Full Slide\nType=TarselDefault\nX=0\nY=0\nW=61000\nH=21600\n"
    "[Region2]\nName=Left Half\nType=TarselDefault\nX=0\nY=0\nW=30500\nH=21600\n";

class ProfileMapTest : public ConfigTest {
 protected:
  ProfileMapTest() {
    writeSampleDb();
    writeFile(tempDir() + "/ChipRegions.ini", kRegions);
    regions_.LoadScanRegions((tempDir() + "/ChipRegions.ini").c_str(), 0);
  }
  static CRegEdit options() { return CRegEdit(HKEY_CURRENT_USER, kOptions); }
  static void clearOptions() {
    (void)platform::registry::deleteKey(HKEY_CURRENT_USER, "Software\\Tarsel\\ZevazOdizo\\Scanner",
                                        "ScanOptions");
  }
  // The default profile built from the values that `set` writes.
  tagScanCfgStruct defaultWith(const std::function<void(CRegEdit&)>& set) {
    clearOptions();
    CRegEdit reg = options();
    set(reg);
    CCarouselCfgProfileMap map;
    const tagScanCfgStruct* p = map.LoadDefaultProfile(&regions_);
    EXPECT_NE(p, nullptr);
    return p ? *p : tagScanCfgStruct{};
  }
  std::string pfl(const std::string& name = "CarouselCfg.pfl") const { return tempDir() + "/" + name; }

  CScanRegionInfoMap regions_;
};

TEST_F(ProfileMapTest, DefaultProfileFromTheRegistry) {
  const tagScanCfgStruct fresh = defaultWith([](CRegEdit&) {});
  EXPECT_EQ(fresh.Name, "<Default>");
  EXPECT_EQ(fresh.Description, "Default configuration settings");
  EXPECT_EQ(fresh.RegionMap, &regions_);
  EXPECT_EQ(fresh.RegionName, "Full Slide");  // the maker's default region, written back
  EXPECT_EQ(options().ReadString("RegionName", ""), "Full Slide");
  EXPECT_TRUE(
      logged("INFO: The scan region in the Default profile has not been defined yet, the Tarsel default "
             "region 'Full Slide' will be used instead."));
  EXPECT_EQ(fresh.DyeChannel, "R+G");
  EXPECT_EQ(fresh.PMTRed, 100);
  EXPECT_EQ(fresh.PMTGreen, 100);
  EXPECT_EQ(fresh.ResolutionType, 2);
  EXPECT_EQ(fresh.OutputPath, dataDir());
  EXPECT_EQ(fresh.AutoNamingPrefix1, "<Instrument Serial #>");
  EXPECT_EQ(fresh.AutoNamingPrefix2, "<Slot #>");
  EXPECT_EQ(fresh.RotateType, 2);
  EXPECT_EQ(options().ReadInt("RotateType", -1), 2);

  struct Case {
    const char* what;
    std::function<void(CRegEdit&)> set;
    std::function<void(const tagScanCfgStruct&)> expect;
  } cases[] = {
      {"red only", [](CRegEdit& r) { r.WriteInt("UseGreenChannel", 0); },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.DyeChannel, "R"); }},
      {"green only", [](CRegEdit& r) { r.WriteInt("UseRedChannel", 0); },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.DyeChannel, "G"); }},
      {"neither",
       [](CRegEdit& r) {
         r.WriteInt("UseRedChannel", 0);
         r.WriteInt("UseGreenChannel", 0);
       },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.DyeChannel, "R+G"); }},
      {"PMT scales",
       [](CRegEdit& r) {
         r.WriteInt("RedPMTScale", 150);
         r.WriteInt("GreenPMTScale", -5);
       },
       [](const tagScanCfgStruct& p) {
         EXPECT_EQ(p.PMTRed, 100);
         EXPECT_EQ(p.PMTGreen, 1);
       }},
      {"PMT zero", [](CRegEdit& r) { r.WriteInt("RedPMTScale", 0); },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.PMTRed, 1); }},
      {"Dyx too high", [](CRegEdit& r) { r.WriteInt("DyxRatioType", 6); },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.DyxRatioType, 0); }},
      {"Dyx negative", [](CRegEdit& r) { r.WriteInt("DyxRatioType", -1); },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.DyxRatioType, 0); }},
      {"Dyx kept", [](CRegEdit& r) { r.WriteInt("DyxRatioType", 4); },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.DyxRatioType, 4); }},
      {"resolution 0", [](CRegEdit& r) { r.WriteInt("ScanResolution", 0); },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.ResolutionType, 2); }},
      {"resolution 7", [](CRegEdit& r) { r.WriteInt("ScanResolution", 7); },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.ResolutionType, 2); }},
      {"double pass at 10 um",
       [](CRegEdit& r) {
         r.WriteInt("ScanResolution", 1);
         r.WriteInt("ScanDoublePass", 1);
       },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.DoublePassScan, 0); }},
      {"double pass at type 4",
       [](CRegEdit& r) {
         r.WriteInt("ScanResolution", 4);
         r.WriteInt("ScanDoublePass", 1);
       },
       [](const tagScanCfgStruct& p) { EXPECT_EQ(p.DoublePassScan, 0); }},
      {"double pass at 3 um",
       [](CRegEdit& r) {
         r.WriteInt("ScanResolution", 3);
         r.WriteInt("ScanDoublePass", 1);
       },
       [](const tagScanCfgStruct& p) {
         EXPECT_EQ(p.DoublePassScan, 1);
         EXPECT_EQ(p.ResolutionType, 3);
       }},
      {"customised prefixes",
       [](CRegEdit& r) {
         r.WriteString("AutoNamingPrefix1", "<Customize>");
         r.WriteString("AutoNamingPrefix2", "x");
       },
       [](const tagScanCfgStruct& p) {
         EXPECT_EQ(p.AutoNamingPrefix1, "");
         EXPECT_EQ(p.AutoNamingPrefix2, "x");
       }},
      {"stored region and folder",
       [](CRegEdit& r) {
         r.WriteString("RegionName", "Left Half");
         r.WriteString("Directory", "/scans");
       },
       [](const tagScanCfgStruct& p) {
         EXPECT_EQ(p.RegionName, "Left Half");
         EXPECT_EQ(p.OutputPath, "/scans");
       }},
      {"split and rotate",
       [](CRegEdit& r) {
         r.WriteInt("SplitAndRotate", 1);
         r.WriteInt("DyxRatioType", 3);
         r.WriteInt("ScanTiff32Bites", 1);
         r.WriteInt("RotateType", 1);
       },
       [](const tagScanCfgStruct& p) {
         EXPECT_EQ(p.SplitAndRotate, 1);
         EXPECT_EQ(p.DyxRatioType, 0);
         EXPECT_EQ(p.Tiff32Bit, 0);
         EXPECT_EQ(p.RotateType, 1);
         EXPECT_EQ(options().ReadInt("DyxRatioType", -1), 0);
         EXPECT_EQ(options().ReadInt("ScanTiff32Bites", -1), 0);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.expect(defaultWith(c.set));
  }

  CCarouselCfgProfileMap map;
  EXPECT_EQ(map.LoadDefaultProfile(nullptr), nullptr);
  tagScanCfgStruct* first = map.LoadDefaultProfile(&regions_);
  options().WriteInt("RedPMTScale", 5);
  EXPECT_EQ(map.LoadDefaultProfile(nullptr), first);  // already there: returned unchanged
  EXPECT_EQ(first->PMTRed, 100);
}

const char* const kProfiles =
    "[Profiles]\nCount=9\n"
    "[Profile1]\nName=Alpha\nDescription=first\nDyeChannel=R\nRegionName=Left Half\nResolutionType=3\n"
    "DoublePassScan=1\nTiff32Bit=1\nPMTRed=40\nPMTGreen=60\nDyxRatioType=2\nOutputPath=/data/a\n"
    "ScanDescription=desc\nAutoNamingPrefix1=<Customize>\nAutoNamingPrefix2=run\nSplitAndRotate=0\n"
    "CompressTiff=1\nLaserPowerMaxRed=-3\nLaserPowerMaxGreen=12\nCfgReserved=-12\n"
    "[Profile2]\nDescription=no name\nDyeChannel=R\nRegionName=Full Slide\nPMTRed=50\nPMTGreen=50\n"
    "[Profile3]\nName=Gamma\nDyeChannel=G\nRegionName=Full Slide\nPMTRed=0\nPMTGreen=50\n"
    "[Profile4]\nName=Delta\nDyeChannel=R+G\nRegionName=Full "
    "Slide\nResolutionType=7\nPMTRed=50\nPMTGreen=50\n"
    "[Profile5]\nName=Eps\nDyeChannel=G\nRegionName=Gone\nResolutionType=2\nPMTRed=50\nPMTGreen=50\n"
    "[Profile6]\nName=Zeta\nDyeChannel=G\nRegionName=Full Slide\nResolutionType=2\nPMTRed=50\nPMTGreen=50\n"
    "DyxRatioType=3\nTiff32Bit=1\nSplitAndRotate=1\n"
    "[Profile7]\nName=alpha\nDyeChannel=R\nRegionName=Full Slide\nResolutionType=1\nPMTRed=50\nPMTGreen=101\n"
    "[Profile8]\nName=Theta\nDyeChannel=RG\nRegionName=Full Slide\nResolutionType=1\nPMTRed=50\nPMTGreen=50\n"
    "[Profile9]\nName=iota\nDyeChannel=R\nRegionName=Full Slide\nResolutionType=1\nPMTRed=50\nPMTGreen=50\n"
    "DyxRatioType=-2\n";

TEST_F(ProfileMapTest, ProfileFileIsReadWithItsCorrections) {
  writeFile(pfl(), kProfiles);
  CCarouselCfgProfileMap map;
  ASSERT_TRUE(map.LoadCfgProfiles(pfl().c_str(), &regions_));
  EXPECT_EQ(map.FilePath, pfl());
  std::vector<std::string> names;
  for (const auto& [name, p] : map.Profiles()) names.push_back(name);
  EXPECT_THAT(names, ::testing::UnorderedElementsAre("<Default>", "Alpha", "Delta", "Eps", "Zeta", "iota"));
  EXPECT_TRUE(
      logged("INFO: LoadCfgProfiles: 9 carousel configuration profiles loaded from file '" + pfl() + "'"));

  const tagScanCfgStruct& a = *map.Lookup("Alpha");
  EXPECT_EQ(a.Description, "first");
  EXPECT_EQ(a.DyeChannel, "R");
  EXPECT_EQ(a.RegionName, "Left Half");
  EXPECT_EQ(a.ResolutionType, 3);
  EXPECT_EQ(a.DoublePassScan, 1);
  EXPECT_EQ(a.Tiff32Bit, 1);
  EXPECT_EQ(a.PMTRed, 40);
  EXPECT_EQ(a.PMTGreen, 60);
  EXPECT_EQ(a.DyxRatioType, 2);
  EXPECT_EQ(a.OutputPath, "/data/a");
  EXPECT_EQ(a.AutoNamingPrefix1, "");
  EXPECT_EQ(a.AutoNamingPrefix2, "run");
  EXPECT_EQ(a.CompressTiff, 1);
  EXPECT_EQ(a.LaserPowerMaxRed, 0);
  EXPECT_EQ(a.LaserPowerMaxGreen, 12);
  EXPECT_EQ(a.CfgReserved, -12);
  EXPECT_EQ(a.RegionMap, &regions_);

  // Profiles that cannot be loaded are said so, each with its reason.
  EXPECT_TRUE(logged("WARNING: LoadCfgProfiles: profile 'Gamma' ([Profile3] of '" + pfl() +
                     "') is not loaded: its PMTRed 0 is not 1 to 100; it is kept in the file as it is."));
  EXPECT_TRUE(logged("WARNING: LoadCfgProfiles: profile 'alpha' ([Profile7] of '" + pfl() +
                     "') is not loaded: its PMTGreen 101 is not 1 to 100; it is kept in the file as it is."));
  EXPECT_TRUE(
      logged("WARNING: LoadCfgProfiles: profile 'Theta' ([Profile8] of '" + pfl() +
             "') is not loaded: its DyeChannel 'RG' is not R, G or R+G; it is kept in the file as it is."));
  EXPECT_EQ(map.GetSkippedCount(), 3);

  EXPECT_EQ(map.Lookup("Delta")->ResolutionType, 2);
  EXPECT_TRUE(logged(
      "INFO: LoadCfgProfiles: defined Scan Resolution type 7 is invalid, use Tarsel default 2 instead"));
  EXPECT_EQ(map.Lookup("Delta")->OutputPath, dataDir());
  EXPECT_EQ(map.Lookup("Delta")->AutoNamingPrefix1, "<Instrument Serial #>");
  EXPECT_EQ(map.Lookup("Eps")->RegionName, "Full Slide");
  EXPECT_TRUE(
      logged("INFO: LoadCfgProfiles: defined Scan Region Gone is not loaded currently, use Tarsel default "
             "Full Slide instead"));
  EXPECT_EQ(map.Lookup("Zeta")->DyxRatioType, 0);
  EXPECT_EQ(map.Lookup("Zeta")->Tiff32Bit, 0);
  EXPECT_TRUE(logged("INFO: LoadCfgProfiles: SplitAndRotate option has been set, no Dyx scans are allowed"));
  EXPECT_TRUE(
      logged("INFO: LoadCfgProfiles: SplitAndRotate option has been set, only 16 bit TIFF is allowed"));
  EXPECT_EQ(map.Lookup("iota")->DyxRatioType, 0);
  EXPECT_TRUE(
      logged("INFO: LoadCfgProfiles: defined Dyx Ratio type -2 is invalid, use Tarsel default 0 instead"));

  // Without a default region, a profile whose region is not loaded is dropped.
  CScanRegionInfoMap noDefault;
  writeFile(
      tempDir() + "/NoDefault.ini",
      std::string(kRegions).replace(std::string(kRegions).find("Region=Region1"), 14, "Region=Region9"));
  ASSERT_EQ(noDefault.LoadScanRegions((tempDir() + "/NoDefault.ini").c_str(), 0), 2);
  CCarouselCfgProfileMap other;
  ASSERT_TRUE(other.LoadCfgProfiles(pfl().c_str(), &noDefault));
  EXPECT_EQ(other.Lookup("Eps"), nullptr);
  EXPECT_NE(other.Lookup("Alpha"), nullptr);

  CCarouselCfgProfileMap none;
  EXPECT_FALSE(none.LoadCfgProfiles(pfl().c_str(), nullptr));  // no region map and no default profile
  EXPECT_FALSE(none.LoadCfgProfiles("", &regions_));
  writeFile(pfl("huge.pfl"),
            "[Profiles]\nCount=2147483647\n[Profile1]\nName=Only\nDyeChannel=R\n"
            "RegionName=Full Slide\nPMTRed=5\nPMTGreen=5\n");
  ASSERT_TRUE(none.LoadCfgProfiles(pfl("huge.pfl").c_str(), &regions_));
  EXPECT_NE(none.Lookup("Only"), nullptr);
}

TEST_F(ProfileMapTest, SaveAndLoadRoundTripWithBackup) {
  writeFile(pfl(), kProfiles);
  CCarouselCfgProfileMap map;
  ASSERT_TRUE(map.LoadCfgProfiles(pfl().c_str(), &regions_));
  const std::string original = readFile(pfl());

  ASSERT_TRUE(map.SaveCfgProfiles(nullptr));  // to FilePath
  EXPECT_EQ(readFile(tempDir() + "/CarouselCfg.bak"), original);
  EXPECT_TRUE(logged("INFO: SaveCfgProfiles: Updating " + pfl() + ", the original file has been renamed as " +
                     tempDir() + "/CarouselCfg.bak"));
  EXPECT_TRUE(
      logged("INFO: Profiles '" + pfl() + "' has been modified: total 8 profiles updated [expected 8]"));
  const std::string saved = readFile(pfl());
  EXPECT_EQ(saved.find("<Default>"), std::string::npos);
  EXPECT_NE(saved.find("AutoNamingPrefix1=\n"), std::string::npos);

  CCarouselCfgProfileMap back;
  ASSERT_TRUE(back.LoadCfgProfiles(pfl().c_str(), &regions_));
  ASSERT_EQ(back.GetCount(), map.GetCount());
  for (const auto& [name, p] : map.Profiles()) {
    const tagScanCfgStruct* q = back.Lookup(name);
    ASSERT_NE(q, nullptr) << name;
    EXPECT_TRUE(q->IsEqual(p.get())) << name;
    EXPECT_EQ(q->LaserPowerMaxGreen, p->LaserPowerMaxGreen) << name;
    EXPECT_EQ(q->CfgReserved, p->CfgReserved) << name;
  }

  // A second save keeps the first save's file as the backup.
  ASSERT_TRUE(map.SaveCfgProfiles(pfl().c_str()));
  EXPECT_EQ(readFile(tempDir() + "/CarouselCfg.bak"), saved);
}

// Found by fuzzing: a stray CR (the first profile) or a NUL (the second) inside a value
// was read into the text, which the save could not write, so the profile vanished.
TEST_F(ProfileMapTest, ATextEndsAtAStrayCarriageReturnOrNulAndSurvivesASave) {
  using namespace std::string_literals;  // the text holds a NUL
  const std::string file =
      "[Profiles]\r\nCount=2\r\n"
      "[Profile1]\r\nName=A\rype=3\r\nDyeChannel=R\r\nRegionName=Full Slide\r\nPMTRed=50\r\nPMTGreen=62\r\n"
      "[Profile2]\r\nName=B\r\nDescription=x \t\0y\r\nDyeChannel=G\r\nRegionName=Full Slide\r\nPMTRed=5\r\n"
      "PMTGreen=5\r\n"s;
  writeFile(pfl(), file);
  CCarouselCfgProfileMap map;
  ASSERT_TRUE(map.LoadCfgProfiles(pfl().c_str(), &regions_));
  ASSERT_NE(map.Lookup("A"), nullptr);
  ASSERT_NE(map.Lookup("B"), nullptr);
  EXPECT_EQ(map.Lookup("B")->Description, "x");

  ASSERT_TRUE(map.SaveCfgProfiles(pfl("saved.pfl").c_str()));
  CCarouselCfgProfileMap back;
  ASSERT_TRUE(back.LoadCfgProfiles(pfl("saved.pfl").c_str(), &regions_));
  ASSERT_EQ(back.GetCount(), map.GetCount());
  for (const char* name : {"A", "B"}) {
    ASSERT_NE(back.Lookup(name), nullptr) << name;
    EXPECT_TRUE(back.Lookup(name)->IsEqual(map.Lookup(name))) << name;
  }
}

// A profile kept unloaded goes back as the file held it, whatever bytes its values hold:
// the writer's checks refuse a lone CR and a NUL, and two saves used to lose it from the
// file and from the backup.
TEST_F(ProfileMapTest, AKeptProfileSurvivesEverySaveByteForByte) {
  using namespace std::string_literals;  // the text holds a NUL
  const std::string kept =
      "Name=Odd\r\nDescription=one\rtwo\r\nDyeChannel=X\r\nRegionName=Full Slide\r\n"
      "ScanDescription=a\0b\r\nOutputPath=  /data/odd  \r\nPMTRed=50\r\nPMTGreen=50\r\n"s;
  writeFile(pfl(), "[Profiles]\r\nCount=2\r\n[Profile1]\r\n" + kept +
                       "[Profile2]\r\nName=Good\r\nDyeChannel=R\r\nRegionName=Full Slide\r\nPMTRed=5\r\n"
                       "PMTGreen=5\r\n");
  CCarouselCfgProfileMap map;
  ASSERT_TRUE(map.LoadCfgProfiles(pfl().c_str(), &regions_));
  ASSERT_EQ(map.GetSkippedCount(), 1);
  ASSERT_NE(map.Lookup("Good"), nullptr);

  ASSERT_TRUE(map.SaveCfgProfiles(nullptr));
  ASSERT_TRUE(map.SaveCfgProfiles(nullptr));  // the backup is now the first save
  for (const std::string& file : {pfl(), tempDir() + "/CarouselCfg.bak"}) {
    SCOPED_TRACE(file);
    const std::string text = readFile(file);
    EXPECT_NE(text.find("[Profile2]\n" + kept), std::string::npos) << text;
    const auto doc = platform::profile::read(file);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->getInt("Profiles", "Count", 0), 2);
    EXPECT_EQ(doc->getString("Profile1", "Name"), "Good");
  }
  EXPECT_FALSE(
      logged("ERROR: Save profile Odd failed [Save PROFILE_NAME failed with error 22: Invalid argument]"));

  // Loaded again, it is kept again, and it loads once its values are good.
  CCarouselCfgProfileMap back;
  ASSERT_TRUE(back.LoadCfgProfiles(pfl().c_str(), &regions_));
  EXPECT_EQ(back.GetSkippedCount(), 1);
  EXPECT_EQ(back.Lookup("Odd"), nullptr);
}

// What may sit where the profile file is: the save neither waits on it nor copies it
// without end into the backup; it fails, says which file and why, and keeps the old one.
TEST_F(ProfileMapTest, ASaveOverWhatIsNoRegularFileFailsAtOnceAndSaysWhy) {
  CCarouselCfgProfileMap map;
  map.LoadDefaultProfile(&regions_);
  auto p = std::make_unique<tagScanCfgStruct>(*map.GetDefault());
  p->Name = "A";
  map.SetAt(std::move(p));

  const struct {
    const char* name;
    std::function<void(const std::string&)> make;
    const char* reason;
  } cases[] = {
      {"fifo.pfl", [](const std::string& path) { testsupport::makeFifo(path); },
       "it is not a regular file (a pipe, socket or device)"},
      {"zero.pfl", [](const std::string& path) { ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0); },
       "it is not a regular file (a pipe, socket or device)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = pfl(c.name);
    const std::string backup = tempDir() + "/" + platform::stemOf(c.name) + ".bak";
    c.make(target);
    boxes_.clear();
    bool saved = true;
    ASSERT_TRUE(
        testsupport::endsWithoutAWriter([&] { saved = map.SaveCfgProfiles(target.c_str()); }, target));
    EXPECT_FALSE(saved);
    EXPECT_THAT(boxes_,
                ::testing::ElementsAre("Failed to access profile file '" + target + "': " + c.reason));
    EXPECT_FALSE(platform::fileExists(backup)) << "nothing partial is left as the backup";
  }
}

TEST_F(ProfileMapTest, AProfileThatCannotBeWrittenGivesUpItsNumber) {
  CCarouselCfgProfileMap map;
  map.LoadDefaultProfile(&regions_);
  for (const char* name : {"A", "B", "C"}) {
    auto p = std::make_unique<tagScanCfgStruct>();
    p->Name = name;
    p->DyeChannel = "R";
    p->RegionName = "Full Slide";
    p->ResolutionType = 2;
    p->PMTRed = p->PMTGreen = 50;
    if (std::string(name) == "B") p->Description = "two\nlines";  // cannot be written as one value
    map.SetAt(std::move(p));
  }
  ASSERT_TRUE(map.SaveCfgProfiles(pfl().c_str()));
  EXPECT_TRUE(
      logged("ERROR: Save profile B failed [Save PROFILE_DESC failed with error 22: Invalid argument]"));
  EXPECT_TRUE(
      logged("INFO: Profiles '" + pfl() + "' has been modified: total 2 profiles updated [expected 3]"));
  const auto doc = platform::profile::read(pfl());
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->getInt("Profiles", "Count", 0), 2);
  EXPECT_EQ(doc->getString("Profile1", "Name"), "A");
  EXPECT_EQ(doc->getString("Profile2", "Name"), "C");
  EXPECT_FALSE(doc->hasSection("Profile3"));
  EXPECT_EQ(readFile(pfl()).find("two"), std::string::npos);
}

TEST_F(ProfileMapTest, EdgeCasesOfSaving) {
  CCarouselCfgProfileMap empty;
  EXPECT_TRUE(empty.SaveCfgProfiles(pfl().c_str()));
  EXPECT_FALSE(platform::fileExists(pfl()));  // nothing to write

  writeFile(pfl(), kProfiles);
  CCarouselCfgProfileMap onlyDefault;
  onlyDefault.LoadDefaultProfile(&regions_);
  ASSERT_TRUE(onlyDefault.SaveCfgProfiles(pfl().c_str()));
  EXPECT_EQ(readFile(tempDir() + "/CarouselCfg.bak"), kProfiles);
  EXPECT_EQ(readFile(pfl()), "[Profiles]\nCount=0\n");

  // A read-only file is not replaced: the save fails and the old file stays.
  ::chmod(pfl().c_str(), 0444);
  CCarouselCfgProfileMap map;
  ASSERT_TRUE(map.LoadCfgProfiles((tempDir() + "/CarouselCfg.bak").c_str(), &regions_));
  EXPECT_FALSE(map.SaveCfgProfiles(pfl().c_str()));
  EXPECT_EQ(readFile(pfl()), "[Profiles]\nCount=0\n");
  EXPECT_TRUE(logged("ERROR: Save profile file '" + pfl() +
                     "' failed [Save PROFILES_COUNT failed with error 13: Permission denied]"));
  EXPECT_EQ(FormatWin32Error(nullptr).rfind("Command failed with error ", 0), 0u);
}

// The region file is damaged at start, so that no region loads and the user's profiles
// cannot; the user adds a profile and saves twice: the profiles of the file are still in
// it (not only in the backup, which the second save overwrites). Once the regions are
// back they load again, and a profile saved under the name of a kept one replaces it.
TEST_F(ProfileMapTest, ProfilesThatCouldNotLoadSurviveSavesAndLoadWhenTheRegionsComeBack) {
  const std::string userProfiles =
      "[Profiles]\nCount=3\n"
      "[Profile1]\nName=Arrays\nDescription=mine\nDyeChannel=R\nRegionName=Left Half\nResolutionType=3\n"
      "PMTRed=40\nPMTGreen=60\nOutputPath=/data/a\n"
      "[Profile2]\nName=Beads\nDyeChannel=G\nRegionName=Full "
      "Slide\nResolutionType=2\nPMTRed=50\nPMTGreen=50\n"
      "[Profile3]\nName=Cells\nDyeChannel=R+G\nRegionName=Full Slide\nResolutionType=5\nPMTRed=70\n"
      "PMTGreen=80\nCfgReserved=7\n";
  writeFile(pfl(), userProfiles);
  writeFile(tempDir() + "/Damaged.ini", "[ScanRegions]\nNumRegions=x\n\x01\x02garbage");
  CScanRegionInfoMap damaged;
  damaged.LoadScanRegions((tempDir() + "/Damaged.ini").c_str(), 0);
  ASSERT_EQ(damaged.GetDefaultRegion(), nullptr);

  CCarouselCfgProfileMap map;
  ASSERT_TRUE(map.LoadCfgProfiles(pfl().c_str(), &damaged));
  EXPECT_EQ(map.GetCount(), 1);  // <Default> only
  EXPECT_EQ(map.GetSkippedCount(), 3);
  EXPECT_TRUE(logged("WARNING: LoadCfgProfiles: profile 'Beads' ([Profile2] of '" + pfl() +
                     "') is not loaded: its scan region 'Full Slide' is not loaded and there is no default "
                     "region; it is kept in the file as it is."));

  auto added = std::make_unique<tagScanCfgStruct>(*map.GetDefault());
  added->Name = "New";
  added->RegionName = "Full Slide";
  map.SetAt(std::move(added));
  ASSERT_TRUE(map.SaveCfgProfiles(nullptr));
  ASSERT_TRUE(map.SaveCfgProfiles(nullptr));  // the backup is now the first save
  for (const std::string& file : {pfl(), tempDir() + "/CarouselCfg.bak"}) {
    CCarouselCfgProfileMap back;
    ASSERT_TRUE(back.LoadCfgProfiles(file.c_str(), &regions_));
    std::vector<std::string> names;
    for (const auto& [name, p] : back.Profiles()) names.push_back(name);
    EXPECT_THAT(names, ::testing::UnorderedElementsAre("<Default>", "Arrays", "Beads", "Cells", "New"))
        << file;
    if (names.size() != 5) continue;
    // Kept as they stood in the file.
    EXPECT_EQ(back.Lookup("Arrays")->Description, "mine");
    EXPECT_EQ(back.Lookup("Arrays")->RegionName, "Left Half");
    EXPECT_EQ(back.Lookup("Arrays")->OutputPath, "/data/a");
    EXPECT_EQ(back.Lookup("Cells")->CfgReserved, 7);
    EXPECT_EQ(back.Lookup("Cells")->PMTGreen, 80);
  }

  // The region monitor reloaded the repaired file: the kept profiles load now.
  EXPECT_EQ(map.ReloadSkippedProfiles(&regions_), 3);
  EXPECT_EQ(map.GetSkippedCount(), 0);
  ASSERT_NE(map.Lookup("Beads"), nullptr);
  EXPECT_EQ(map.Lookup("Beads")->RegionMap, &regions_);
  EXPECT_EQ(map.Lookup("Arrays")->ResolutionType, 3);

  // A kept profile whose name a new one takes is replaced, not written twice.
  CCarouselCfgProfileMap again;
  ASSERT_TRUE(again.LoadCfgProfiles(pfl().c_str(), &damaged));
  auto beads = std::make_unique<tagScanCfgStruct>(*again.GetDefault());
  beads->Name = "Beads";
  beads->Description = "replaced";
  again.SetAt(std::move(beads));
  ASSERT_TRUE(again.SaveCfgProfiles(nullptr));
  const std::string saved = readFile(pfl());
  EXPECT_NE(saved.find("Count=4"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("Name=Beads"), saved.rfind("Name=Beads")) << saved;
  EXPECT_NE(saved.find("Description=replaced"), std::string::npos) << saved;
}

}  // namespace
