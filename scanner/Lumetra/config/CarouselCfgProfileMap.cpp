#include "config/CarouselCfgProfileMap.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "config/ConfigUi.h"
#include "config/ScanCfgRules.h"
#include "config/ScanRegionInfoMap.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace {

constexpr std::size_t kMaxText = 1023;  // texts are read into 1024-byte buffers
constexpr int kDefaultResolution = 2;
constexpr const char* kCustomize = "<Customize>";
constexpr const char* kDefaultPrefix1 = "<Instrument Serial #>";
constexpr const char* kDefaultPrefix2 = "<Slot #>";

std::string noCustomize(std::string prefix) { return prefix == kCustomize ? std::string() : prefix; }

// A text is what one line holds: it ends at a stray CR or a NUL in the value (trimmed as
// the value is). Kept, such a character could not be written back, and the next save
// would leave the profile out.
std::string readText(const platform::profile::Document& doc, const std::string& section, const char* key,
                     const char* def) {
  std::string s = doc.getString(section, key, def);
  if (const auto end = s.find_first_of(std::string_view("\r\n\0", 3)); end != std::string::npos)
    s = std::string(platform::trimRight(std::string_view(s).substr(0, end)));
  if (s.size() > kMaxText) s.resize(kMaxText);
  return s;
}

std::int32_t readFlag(const platform::profile::Document& doc, const std::string& section, const char* key) {
  return doc.getInt(section, key, 0) > 0 ? 1 : 0;
}

std::int32_t toLong32(const std::string& text) {
  errno = 0;
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(v);
}

}  // namespace

std::string OutputFolderDefault() {
  // The system drive's root of the original becomes the user's data folder.
  for (const char* name : {"ZEVA_DATA_DIR", "HOME"})
    if (const char* v = std::getenv(name); v && *v) return v;
  return "/";
}

std::string FormatWin32Error(const char* operation) {
  const int code = platform::lastError();
  const std::string name = operation && *operation ? operation : "Command";
  return name + " failed with error " + std::to_string(code) + ": " + platform::systemErrorText(code);
}

tagScanCfgStruct* CCarouselCfgProfileMap::Lookup(const std::string& name) const {
  const auto it = m_Profiles.find(name);
  return it == m_Profiles.end() ? nullptr : it->second.get();
}

tagScanCfgStruct* CCarouselCfgProfileMap::SetAt(std::unique_ptr<tagScanCfgStruct> profile) {
  if (!profile) return nullptr;
  tagScanCfgStruct* p = profile.get();
  m_Profiles[p->Name] = std::move(profile);
  return p;
}

bool CCarouselCfgProfileMap::RemoveKey(const std::string& name) { return m_Profiles.erase(name) > 0; }

tagScanCfgStruct* CCarouselCfgProfileMap::LoadDefaultProfile(CScanRegionInfoMap* regionMap) {
  if (tagScanCfgStruct* existing = GetDefault()) return existing;
  if (!regionMap) return nullptr;

  auto profile = std::make_unique<tagScanCfgStruct>();
  tagScanCfgStruct& p = *profile;
  p.Name = kDefaultProfileName;
  p.Description = "Default configuration settings";
  p.RegionMap = regionMap;

  CRegEdit reg(HKEY_CURRENT_USER, zeva::kScanOptionsKey);
  p.RegionName = reg.ReadString("RegionName", "");
  const bool red = reg.ReadInt("UseRedChannel", 1) != 0;
  const bool green = reg.ReadInt("UseGreenChannel", 1) != 0;
  p.DyeChannel = red && !green ? "R" : (!red && green ? "G" : "R+G");
  const auto pmt = [](int v) { return v > 100 ? 100 : (v < 1 ? 1 : v); };
  p.PMTRed = pmt(reg.ReadInt("RedPMTScale", 100));
  p.PMTGreen = pmt(reg.ReadInt("GreenPMTScale", 100));
  p.DyxRatioType = reg.ReadInt("DyxRatioType", 0);
  if (p.DyxRatioType > 5 || p.DyxRatioType < 0) p.DyxRatioType = 0;
  p.ResolutionType = reg.ReadInt("ScanResolution", kDefaultResolution);
  if (p.ResolutionType < 1 || p.ResolutionType > 5) {
    LogInfo("LoadDefaultProfile: defined Scan Resolution type %d is invalid, use Tarsel default %d instead",
            p.ResolutionType, kDefaultResolution);
    p.ResolutionType = kDefaultResolution;
  }
  p.DoublePassScan = reg.ReadInt("ScanDoublePass", 0) != 0 ? 1 : 0;
  if (p.ResolutionType == 1 || p.ResolutionType == 4) p.DoublePassScan = 0;
  p.OutputPath = reg.ReadString("Directory", OutputFolderDefault());
  p.AutoNamingPrefix1 = noCustomize(reg.ReadString("AutoNamingPrefix1", kDefaultPrefix1));
  p.AutoNamingPrefix2 = noCustomize(reg.ReadString("AutoNamingPrefix2", kDefaultPrefix2));
  p.ScanDescription = reg.ReadString("ScanDescription", "");
  p.SplitAndRotate = reg.ReadInt("SplitAndRotate", 0) != 0 ? 1 : 0;
  p.RotateType = reg.ReadInt("RotateType", -1);
  if (p.RotateType < 0) {
    p.RotateType = 2;
    reg.WriteInt("RotateType", 2);
  }
  p.CompressTiff = reg.ReadInt("CompressTiff", 0) != 0 ? 1 : 0;
  p.Tiff32Bit = reg.ReadInt("ScanTiff32Bites", 0) != 0 ? 1 : 0;

  if (p.RegionName.empty()) {
    if (const ScanRegionInfo* def = regionMap->GetDefaultRegion()) {
      p.RegionName = def->Name;
      reg.WriteString("RegionName", p.RegionName);
      LogInfo(
          "The scan region in the Default profile has not been defined yet, the Tarsel default region '%s' "
          "will be used instead.",
          p.RegionName.c_str());
    }
  }
  if (p.SplitAndRotate) {
    if (p.DyxRatioType != 0) {
      p.DyxRatioType = 0;
      reg.WriteInt("DyxRatioType", 0);
    }
    if (p.Tiff32Bit) {
      p.Tiff32Bit = 0;
      reg.WriteInt("ScanTiff32Bites", 0);
    }
  }
  return SetAt(std::move(profile));
}

std::optional<std::string> CCarouselCfgProfileMap::ReadProfile(const platform::profile::Document* doc,
                                                               const std::string& section,
                                                               const std::string& name,
                                                               CScanRegionInfoMap* regionMap) {
  const ScanRegionInfo* defaultRegion = regionMap->GetDefaultRegion();
  auto profile = std::make_unique<tagScanCfgStruct>();
  tagScanCfgStruct& p = *profile;
  p.Name = name;
  p.Description = readText(*doc, section, "Description", "");
  p.DyeChannel = readText(*doc, section, "DyeChannel", "");
  if (p.DyeChannel != "R" && p.DyeChannel != "G" && p.DyeChannel != "R+G")
    return "its DyeChannel '" + p.DyeChannel + "' is not R, G or R+G";

  p.RegionName = readText(*doc, section, "RegionName", "");
  if (p.RegionName.empty()) return std::string("it names no scan region");
  if (!regionMap->Lookup(p.RegionName)) {
    if (!defaultRegion)
      return "its scan region '" + p.RegionName + "' is not loaded and there is no default region";
    LogInfo("LoadCfgProfiles: defined Scan Region %s is not loaded currently, use Tarsel default %s instead",
            p.RegionName.c_str(), defaultRegion->Name.c_str());
    p.RegionName = defaultRegion->Name;
  }
  p.ResolutionType = doc->getInt(section, "ResolutionType", 0);
  if (p.ResolutionType < 1 || p.ResolutionType > 5) {
    LogInfo("LoadCfgProfiles: defined Scan Resolution type %d is invalid, use Tarsel default %d instead",
            p.ResolutionType, kDefaultResolution);
    p.ResolutionType = kDefaultResolution;
  }
  p.DoublePassScan = readFlag(*doc, section, "DoublePassScan");
  p.Tiff32Bit = readFlag(*doc, section, "Tiff32Bit");
  p.PMTRed = doc->getInt(section, "PMTRed", 0);
  if (p.PMTRed < 1 || p.PMTRed > 100) return FormatText("its PMTRed %d is not 1 to 100", p.PMTRed);
  p.PMTGreen = doc->getInt(section, "PMTGreen", 0);
  if (p.PMTGreen < 1 || p.PMTGreen > 100) return FormatText("its PMTGreen %d is not 1 to 100", p.PMTGreen);
  p.DyxRatioType = doc->getInt(section, "DyxRatioType", 0);
  if (p.DyxRatioType < 0 || p.DyxRatioType > 5) {
    LogInfo("LoadCfgProfiles: defined Dyx Ratio type %d is invalid, use Tarsel default %d instead",
            p.DyxRatioType, 0);
    p.DyxRatioType = 0;
  }
  p.OutputPath = readText(*doc, section, "OutputPath", OutputFolderDefault().c_str());
  p.ScanDescription = readText(*doc, section, "ScanDescription", "");
  p.AutoNamingPrefix1 = noCustomize(readText(*doc, section, "AutoNamingPrefix1", kDefaultPrefix1));
  p.AutoNamingPrefix2 = noCustomize(readText(*doc, section, "AutoNamingPrefix2", kDefaultPrefix2));
  p.SplitAndRotate = readFlag(*doc, section, "SplitAndRotate");
  if (p.SplitAndRotate) {
    if (p.DyxRatioType != 0) {
      LogInfo("LoadCfgProfiles: SplitAndRotate option has been set, no Dyx scans are allowed");
      p.DyxRatioType = 0;
    }
    if (p.Tiff32Bit) {
      LogInfo("LoadCfgProfiles: %s, only 16 bit TIFF is allowed", "SplitAndRotate option has been set");
      p.Tiff32Bit = 0;
    }
  }
  p.CompressTiff = readFlag(*doc, section, "CompressTiff");
  p.LaserPowerMaxRed = std::max(0, doc->getInt(section, "LaserPowerMaxRed", 0));
  p.LaserPowerMaxGreen = std::max(0, doc->getInt(section, "LaserPowerMaxGreen", 0));
  p.CfgReserved = toLong32(readText(*doc, section, "CfgReserved", ""));
  p.RegionMap = regionMap;
  SetAt(std::move(profile));
  return std::nullopt;
}

void CCarouselCfgProfileMap::KeepSkipped(const platform::profile::Document& doc, const std::string& section,
                                         const std::string& name, const std::string& reason) {
  // The user's profile is not ours to lose: it is written back as it was by every save,
  // until it loads (the region it needs may come back) or a profile of its name replaces it.
  for (const SkippedProfile& already : m_Skipped)
    if (already.Name == name) return;  // the same file loaded again
  SkippedProfile kept;
  kept.Name = name;
  platform::profile::Document lines;
  // The section exists (its Name was read from it) and "Profile" is a valid new name.
  (void)lines.copySection(doc, section, "Profile");
  kept.Section = lines.text();
  LogWarning(
      "LoadCfgProfiles: profile '%s' ([%s] of '%s') is not loaded: %s; it is kept in the file as it is.",
      name.c_str(), section.c_str(), FilePath.c_str(), reason.c_str());
  m_Skipped.push_back(std::move(kept));
}

int CCarouselCfgProfileMap::ReloadSkippedProfiles(CScanRegionInfoMap* regionMap) {
  if (m_Skipped.empty() || !regionMap) return 0;
  std::vector<SkippedProfile> skipped = std::move(m_Skipped);
  m_Skipped.clear();
  int loaded = 0;
  for (SkippedProfile& kept : skipped) {
    if (Lookup(kept.Name)) continue;  // replaced meanwhile by a profile of its name
    const platform::profile::Document doc(kept.Section);
    if (const auto reason = ReadProfile(&doc, "Profile", kept.Name, regionMap)) {
      m_Skipped.push_back(std::move(kept));
    } else {
      LogInfo("LoadCfgProfiles: profile '%s' is loaded now that the scan regions changed.",
              kept.Name.c_str());
      ++loaded;
    }
  }
  return loaded;
}

bool CCarouselCfgProfileMap::LoadCfgProfiles(const char* path, CScanRegionInfoMap* regionMap) {
  if (!path || !*path) return false;
  tagScanCfgStruct* def = GetDefault();
  if (!def) def = LoadDefaultProfile(regionMap);
  if (!def) return false;
  if (!regionMap) regionMap = def->RegionMap;
  if (!regionMap) return false;
  FilePath = path;

  const auto doc = platform::profile::read(FilePath);
  if (!doc) {
    LogError("LoadCfgProfiles: cannot read the profile file '%s': %s", FilePath.c_str(),
             platform::systemErrorText(platform::lastError()).c_str());
    return false;
  }
  const int count = doc->getInt("Profiles", "Count", 0);
  LogInfo("LoadCfgProfiles: %d carousel configuration profiles loaded from file '%s'", count,
          FilePath.c_str());
  if (count < 1) return true;

  // Sections that do not exist are skipped anyway; a huge Count must not make the loop
  // walk billions of them.
  int highest = 0;
  for (const std::string& s : doc->sectionNames())
    highest = std::max(highest, platform::profile::sectionNumber(s, "Profile"));
  const int last = std::min(count, highest);

  for (int n = 1; n <= last; ++n) {
    const std::string section = "Profile" + std::to_string(n);
    const std::string name = readText(*doc, section, "Name", "");
    if (name.empty() || Lookup(name)) continue;
    if (const auto reason = ReadProfile(&*doc, section, name, regionMap))
      KeepSkipped(*doc, section, name, *reason);
  }
  return true;
}

bool CCarouselCfgProfileMap::SaveCfgProfiles(const char* path) {
  const std::string target = path && *path ? std::string(path) : FilePath;
  if (m_Profiles.empty() && m_Skipped.empty()) return true;
  std::vector<const SkippedProfile*> kept;
  for (const SkippedProfile& skipped : m_Skipped)
    if (!Lookup(skipped.Name)) kept.push_back(&skipped);
  const int expected = GetCount() - (GetDefault() ? 1 : 0) + static_cast<int>(kept.size());

  // The whole file is built first and replaces the old one in one step; a failure leaves
  // the old file in place, and its copy under the backup name.
  platform::profile::Document doc;
  if (!doc.set("Profiles", "Count", std::to_string(expected))) {
    LogError("Save profile file '%s' failed [%s]", target.c_str(),
             FormatWin32Error("Save PROFILES_COUNT").c_str());
    return false;
  }
  int written = 0;
  for (auto& [key, profile] : m_Profiles) {
    if (key == kDefaultProfileName) continue;
    tagScanCfgStruct& p = *profile;
    if (p.AutoNamingPrefix1 == kCustomize) p.AutoNamingPrefix1.clear();
    if (p.AutoNamingPrefix2 == kCustomize) p.AutoNamingPrefix2.clear();
    const std::string section = "Profile" + std::to_string(written + 1);
    const auto flag = [](std::int32_t v) { return std::string(v ? "1" : "0"); };
    struct Item {
      const char* key;
      std::string value;
      const char* operation;
    };
    const Item required[] = {
        {"Name", p.Name, "Save PROFILE_NAME"},
        {"Description", p.Description, "Save PROFILE_DESC"},
        {"DyeChannel", p.DyeChannel, "Save SCAN_DYE"},
        {"RegionName", p.RegionName, "Save SCAN_REGION"},
        {"ResolutionType", std::to_string(p.ResolutionType), "Save SCAN_RES_TYPE"},
        {"DoublePassScan", flag(p.DoublePassScan), "Save SCAN_DOUBLE_PASS"},
        {"Tiff32Bit", flag(p.Tiff32Bit), "Save SCAN_TIFF_DEPTH"},
        {"PMTRed", std::to_string(p.PMTRed), "Save SCAN_PMT_RED"},
        {"PMTGreen", std::to_string(p.PMTGreen), "Save SCAN_PMT_GREEN"},
        {"DyxRatioType", std::to_string(p.DyxRatioType), "Save SCAN_DYX_RATIO_TYPE"},
        {"OutputPath", p.OutputPath, "Save SCAN_OUTPUT_PATH"},
        {"ScanDescription", p.ScanDescription, "Save SCAN_SCAN_DESC"},
        {"AutoNamingPrefix1", p.AutoNamingPrefix1, "Save SCAN_NAMING_PREFIX1"},
        {"AutoNamingPrefix2", p.AutoNamingPrefix2, "Save SCAN_NAMING_PREFIX2"},
        {"SplitAndRotate", flag(p.SplitAndRotate), "Save SCAN_SPLIT_ROTATE"},
        {"CompressTiff", flag(p.CompressTiff), "Save SCAN_COMPRESS_TIFF"},
    };
    bool ok = true;
    for (const Item& item : required) {
      if (doc.set(section, item.key, item.value)) continue;
      LogError("Save profile %s failed [%s]", p.Name.c_str(), FormatWin32Error(item.operation).c_str());
      ok = false;
      break;
    }
    if (!ok) {
      // The next profile takes this section number: nothing of this one may stay in it.
      (void)doc.removeSection(section);  // false: nothing of it was written yet
      continue;
    }
    const Item optional[] = {
        {"LaserPowerMaxRed", std::to_string(p.LaserPowerMaxRed), "Save SCAN_LASERPOWER_RED"},
        {"LaserPowerMaxGreen", std::to_string(p.LaserPowerMaxGreen), "Save SCAN_LASERPOWER_GREEN"},
        {"CfgReserved", std::to_string(static_cast<long>(p.CfgReserved)), "Save SCAN_CFG_RESERVED"},
    };
    for (const Item& item : optional)
      if (!doc.set(section, item.key, item.value))
        LogDebug(1, "Save profile %s failed [%s]", p.Name.c_str(), FormatWin32Error(item.operation).c_str());
    ++written;
  }
  for (const SkippedProfile* skipped : kept) {
    // Its lines go back as they were read. Dropping it would lose the user's profile for
    // good once the backup is replaced too: when it cannot be written, nothing is saved.
    const std::string section = "Profile" + std::to_string(written + 1);
    if (!doc.copySection(platform::profile::Document(skipped->Section), "Profile", section)) {
      LogError("Save profile file '%s' failed: the kept profile %s cannot be written back [%s]",
               target.c_str(), skipped->Name.c_str(), FormatWin32Error("Save PROFILE_NAME").c_str());
      return false;
    }
    ++written;
  }
  // Fixed names and a number: nothing set() could refuse.
  if (written < expected) (void)doc.set("Profiles", "Count", std::to_string(written));

  if (platform::fileExists(target)) {
    const std::string backup = platform::directoryOf(target) + platform::stemOf(target) + ".bak";
    if (backup != target) {
      const bool ok = (!platform::fileExists(backup) || platform::removeFile(backup)) &&
                      platform::copyFileNoOverwrite(target, backup);
      if (!ok) {
        lumetra::ShowErrorMessage("Failed to access profile file '" + target +
                                  "': " + platform::fileErrorText(platform::lastError()));
        return false;
      }
      LogInfo("SaveCfgProfiles: Updating %s, the original file has been renamed as %s", target.c_str(),
              backup.c_str());
    }
  }
  if (!platform::profile::write(target, doc)) {
    LogError("Save profile file '%s' failed [%s]", target.c_str(),
             FormatWin32Error("Save PROFILES_COUNT").c_str());
    return false;
  }
  LogInfo("Profiles '%s' has been modified: total %d profiles updated [expected %d]", target.c_str(), written,
          expected);
  return true;
}
