#pragma once
// Scan-setting profiles by name: "<Default>" built from the user's scan options in the
// registry, the others kept in the profile file CarouselCfg.pfl.
#include <map>
#include <memory>
#include <string>

#include "config/CarouselCfgInfo.h"

class CScanRegionInfoMap;

inline constexpr const char* kDefaultProfileName = "<Default>";

// "%s failed with error %d: %s": the operation ("Command" when empty), the calling
// thread's last system error and its text.
std::string FormatWin32Error(const char* operation);

// The output folder a profile gets when none is set (the original's system-drive root):
// $ZEVA_DATA_DIR, else the home folder, else "/".
std::string OutputFolderDefault();

class CCarouselCfgProfileMap {
 public:
  using Map = std::map<std::string, std::unique_ptr<tagScanCfgStruct>>;

  CCarouselCfgProfileMap() = default;
  ~CCarouselCfgProfileMap() { RemoveAll(); }
  CCarouselCfgProfileMap(const CCarouselCfgProfileMap&) = delete;
  CCarouselCfgProfileMap& operator=(const CCarouselCfgProfileMap&) = delete;

  tagScanCfgStruct* Lookup(const std::string& name) const;
  tagScanCfgStruct* GetDefault() const { return Lookup(kDefaultProfileName); }
  // Takes the profile under its Name, replacing one of that name.
  tagScanCfgStruct* SetAt(std::unique_ptr<tagScanCfgStruct> profile);
  bool RemoveKey(const std::string& name);
  void RemoveAll() { m_Profiles.clear(); }
  int GetCount() const { return static_cast<int>(m_Profiles.size()); }
  const Map& Profiles() const { return m_Profiles; }

  tagScanCfgStruct* LoadDefaultProfile(CScanRegionInfoMap* regionMap);
  bool LoadCfgProfiles(const char* path, CScanRegionInfoMap* regionMap);
  // A null or empty path saves to FilePath. The previous file is kept as "<name>.bak".
  bool SaveCfgProfiles(const char* path);

  std::string FilePath;

 private:
  Map m_Profiles;
};
