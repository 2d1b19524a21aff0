// The carousel configuration profile file (CarouselCfg.pfl) as the scanner window reads
// it, against the shipped region files; what it loaded is saved and read again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "RegionFiles.h"
#include "config/CarouselCfgProfileMap.h"
#include "config/ScanRegionInfoMap.h"
#include "platform/profile.h"

namespace {

CScanRegionInfoMap* g_regions = nullptr;

}  // namespace

void zeva_fuzz::Setup() {
  SetUpInstallFolder();
  WriteFile("install/RegionDB.sys", ReadDistFile("RegionDB.sys"));
  const std::string ini = WriteFile("install/ChipRegions.ini", ReadDistFile("ChipRegions.ini"));
  static CScanRegionInfoMap regions;
  if (regions.LoadScanRegions(ini.c_str(), 0) < 1) std::abort();
  g_regions = &regions;
}

void zeva_fuzz::WriteSeeds(const std::string& folder) {
  // Profiles as the scanner window saves them.
  CCarouselCfgProfileMap map;
  tagScanCfgStruct* def = map.LoadDefaultProfile(g_regions);
  if (!def) std::abort();
  for (int i = 0; i < 3; ++i) {
    auto p = std::make_unique<tagScanCfgStruct>(*def);
    p->Name = "Profile " + std::to_string(i);
    p->Description = "made for the fuzz corpus";
    p->DyeChannel = i == 0 ? "R" : i == 1 ? "G" : "R+G";
    p->ResolutionType = 1 + i;
    p->PMTRed = 50;
    p->PMTGreen = 60 + i;
    p->SplitAndRotate = i == 2;
    map.SetAt(std::move(p));
  }
  const std::string path = Folder() + "/seed.pfl";
  if (!map.SaveCfgProfiles(path.c_str())) std::abort();
  WriteSeed(folder, "saved.pfl", ReadFile(path));
  WriteSeed(folder, "hand.pfl",
            "[Profiles]\r\nCount=2\r\n[Profile1]\r\nName=A\r\nDyeChannel=R+G\r\nRegionName=Nowhere\r\n"
            "ResolutionType=9\r\nPMTRed=100\r\nPMTGreen=1\r\nDyxRatioType=-3\r\nSplitAndRotate=1\r\n"
            "Tiff32Bit=1\r\n[Profile2]\r\nName=A\r\n");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path =
      zeva_fuzz::WriteFile("CarouselCfg.pfl", std::string_view(reinterpret_cast<const char*>(data), size));
  CCarouselCfgProfileMap map;
  if (!map.LoadCfgProfiles(path.c_str(), g_regions)) return 0;
  for (const auto& [name, profile] : map.Profiles())
    if (map.Lookup(name) != profile.get()) std::abort();

  // What was loaded is saved whole and loads again as the same profiles.
  const std::string saved = zeva_fuzz::Folder() + "/saved.pfl";
  if (!map.SaveCfgProfiles(saved.c_str())) std::abort();
  CCarouselCfgProfileMap again;
  if (!again.LoadCfgProfiles(saved.c_str(), g_regions)) std::abort();
  if (again.GetCount() != map.GetCount()) std::abort();
  for (const auto& [name, profile] : map.Profiles()) {
    const tagScanCfgStruct* p = again.Lookup(name);
    if (!p || !p->IsEqual(profile.get())) std::abort();
  }
  return 0;
}
