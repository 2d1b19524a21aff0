#pragma once
// The region-file targets' shared set-up: an installation folder of the run's own named by
// the registry's "Path", and inputs that carry ChipRegions.ini and RegionDB.sys together.
#include <cstdint>
#include <string>
#include <string_view>

namespace zeva_fuzz {

// Points $ZEVA_REGISTRY_DIR into the run's folder and "Path" at Folder()/install.
void SetUpInstallFolder();
const std::string& InstallFolder();
std::string ReadDistFile(const std::string& name);

// One input: a selector byte, ChipRegions.ini as a part, then RegionDB.sys to the end.
struct RegionInput {
  std::uint8_t selector = 0;
  std::string_view ini;
  std::string_view db;
};
RegionInput SplitRegionInput(const std::uint8_t* data, std::size_t size);
std::string MakeRegionInput(std::uint8_t selector, std::string_view ini, std::string_view db);
// Writes a few region inputs made from the shipped files and from hand-made databases.
void WriteRegionSeeds(const std::string& folder);

}  // namespace zeva_fuzz
