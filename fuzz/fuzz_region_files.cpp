// The scanner window's region files: ChipRegions.ini, each region checked against the
// limits that RegionDB.sys holds for the scanner model.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "RegionFiles.h"
#include "config/ScanRegionInfoMap.h"

void zeva_fuzz::Setup() { SetUpInstallFolder(); }

void zeva_fuzz::WriteSeeds(const std::string& folder) { WriteRegionSeeds(folder); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = zeva_fuzz::SplitRegionInput(data, size);
  const std::string ini = zeva_fuzz::WriteFile("install/ChipRegions.ini", input.ini);
  zeva_fuzz::WriteFile("install/RegionDB.sys", input.db);
  CScanRegionInfoMap map;
  const int count = map.LoadScanRegions(ini.c_str(), input.selector % 4);
  if (count > 0) {
    for (const auto& [name, region] : map.Regions()) {
      if (map.Lookup(name) != region.get()) std::abort();
      // Width and height come back from the edges only where those were not saturated.
      const std::int64_t w64 = std::int64_t{region->Right} - region->Left;
      const std::int64_t h64 = std::int64_t{region->Bottom} - region->Top;
      const auto edge = [](std::int32_t v) { return v == INT32_MAX || v == INT32_MIN; };
      if (edge(region->Right) || edge(region->Bottom) || w64 != static_cast<int>(w64) ||
          h64 != static_cast<int>(h64))
        continue;
      int x = region->OriginX, y = region->OriginY, w = static_cast<int>(w64), h = static_cast<int>(h64),
          afx = region->AFX, afy = region->AFY;
      // A region that was loaded is within the limits: checking it again changes nothing.
      if (CheckScanRegion(input.selector % 4, &x, &y, &w, &h, &afx, &afy) != 0) std::abort();
    }
  }
  // The limits applied to values at the edges of the ranges.
  int x = INT32_MIN, y = INT32_MAX, w = -1, h = INT32_MAX, afx = INT32_MIN, afy = 0;
  CheckScanRegion(input.selector % 4, &x, &y, &w, &h, &afx, &afy);
  return 0;
}
