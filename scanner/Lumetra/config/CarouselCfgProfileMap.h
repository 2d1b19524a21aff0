#pragma once
// Scan-setting profiles by name: "<Default>" built from the user's scan options in the
// registry, the others kept in the profile file CarouselCfg.pfl.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/CarouselCfgInfo.h"

class CScanRegionInfoMap;
namespace platform::profile {
class Document;
}

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
  void RemoveAll() {
    m_Profiles.clear();
    m_Skipped.clear();
  }
  int GetCount() const { return static_cast<int>(m_Profiles.size()); }
  const Map& Profiles() const { return m_Profiles; }

  tagScanCfgStruct* LoadDefaultProfile(CScanRegionInfoMap* regionMap);
  // A profile of the file that cannot be loaded (bad values, or a scan region that is not
  // loaded and no default region) is logged and kept as it stands in the file.
  bool LoadCfgProfiles(const char* path, CScanRegionInfoMap* regionMap);
  // A null or empty path saves to FilePath. The previous file is kept as "<name>.bak".
  // Profiles kept unloaded are written back as they were, unless the map now holds a
  // profile of their name.
  bool SaveCfgProfiles(const char* path);
  // Tries the kept profiles again (the scan regions were reloaded); how many loaded.
  int ReloadSkippedProfiles(CScanRegionInfoMap* regionMap);
  int GetSkippedCount() const { return static_cast<int>(m_Skipped.size()); }

  std::string FilePath;

 private:
  struct SkippedProfile {
    std::string Name;
    // Its lines as the file held them, byte for byte, under the section "[Profile]": a
    // value the writer's checks would refuse (a lone CR, a NUL) must still go back.
    std::string Section;
  };
  std::optional<std::string> ReadProfile(const platform::profile::Document* doc, const std::string& section,
                                         const std::string& name, CScanRegionInfoMap* regionMap);
  void KeepSkipped(const platform::profile::Document& doc, const std::string& section,
                   const std::string& name, const std::string& reason);

  Map m_Profiles;
  std::vector<SkippedProfile> m_Skipped;
};
