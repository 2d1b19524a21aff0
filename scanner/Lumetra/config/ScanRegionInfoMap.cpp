#include "config/ScanRegionInfoMap.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>

#include "Jotwell/Logger.h"
#include "config/ConfigUi.h"
#include "platform/files.h"
#include "platform/profile.h"

namespace {

constexpr int kMissing = INT_MIN;      // the reader's default: the key is missing
constexpr std::size_t kMaxText = 255;  // texts are read into 256-byte buffers

std::string readText(const platform::profile::Document& doc, const std::string& section, const char* key) {
  std::string s = doc.getString(section, key, "");
  if (s.size() > kMaxText) s.resize(kMaxText);
  return s;
}

// A missing value raises its error text.
int readNumber(const platform::profile::Document& doc, const std::string& section, const char* key,
               const char* error) {
  const int v = doc.getInt(section, key, kMissing);
  if (v == kMissing) throw std::runtime_error(error);
  return v;
}

std::int32_t sat(std::int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(v);
}

}  // namespace

CScanRegionInfoMap::~CScanRegionInfoMap() {
  m_Monitor.Stop();
  RemoveAll();
}

ScanRegionInfo* CScanRegionInfoMap::Lookup(const std::string& name) const {
  const auto it = m_Regions.find(name);
  return it == m_Regions.end() ? nullptr : it->second.get();
}

void CScanRegionInfoMap::RemoveAll() {
  DefaultRegion = nullptr;
  m_Regions.clear();
}

int CScanRegionInfoMap::LoadScanRegions(const char* path, int scannerType) {
  if (path && *path) {
    if (FilePath != path) FilePath = path;
  } else if (FilePath.empty()) {
    return -1;
  }
  if (const auto stamp = platform::profile::fileStamp(FilePath)) LastWriteTime = stamp;

  ScannerType = scannerType;
  if (scannerType == kScannerTypeUnknown) {
    const char* text = "LoadScanRegions: Failed to load scan regions - Unrecognized scanner model number";
    LogErrorNoFormat(text);
    lumetra::ShowErrorMessage(text);
    return -1;
  }

  // One snapshot of the file: a region file replaced meanwhile is read wholly old or new.
  const auto doc = platform::profile::read(FilePath);
  if (!doc) {
    const std::string text = "Failed to access chip region file '" + FilePath +
                             "': " + platform::systemErrorText(platform::lastError());
    LogErrorNoFormat(text.c_str());
    lumetra::ShowErrorMessage(text);
    return 0;
  }

  const int count = doc->getInt("ScanRegions", "NumRegions", kMissing);
  if (count < 1) {
    const std::string text = "LoadScanRegions: Missing or corrupt " + FilePath + " file.";
    LogErrorNoFormat(text.c_str());
    lumetra::ShowErrorMessage(text);
    return -1;
  }
  if (!m_Regions.empty()) RemoveAll();

  const std::string defaultSection = readText(*doc, "TarselDefault", "Region");
  std::string invalidList;
  int invalidCount = 0;
  const auto countInvalid = [&](const std::string& name) {
    ++invalidCount;
    if (!name.empty()) invalidList += (invalidList.empty() ? "'" : ", '") + name + "'";
  };

  // Sections beyond the last one in the file are all missing alike: one line says so, and
  // a huge NumRegions cannot make the loop walk billions of them.
  int highest = 0;
  for (const std::string& s : doc->sectionNames())
    highest = std::max(highest, platform::profile::sectionNumber(s, "Region"));
  for (int n = 1; n <= std::min(count, highest); ++n) {
    const std::string section = "Region" + std::to_string(n);
    const std::string name = readText(*doc, section, "Name");
    if (name.empty()) {
      LogError("LoadScanRegions: Failed to read region Name for section '%s'", section.c_str());
      countInvalid({});
      continue;
    }
    if (m_Regions.count(name)) {
      LogError("LoadScanRegions: Repeated region name found '%s', skipped loading", name.c_str());
      continue;
    }
    auto info = std::make_unique<ScanRegionInfo>();
    info->Name = name;
    info->IsDefault = section == defaultSection ? 1 : 0;
    int w = 0, h = 0;
    try {
      info->Type = readText(*doc, section, "Type");
      if (info->Type.empty()) throw std::runtime_error("Failed to read ChipType");
      const int x = readNumber(*doc, section, "X", "Failed to read RegionLeft");
      const int y = readNumber(*doc, section, "Y", "Failed to read RegionTop");
      w = readNumber(*doc, section, "W", "Failed to read RegionWidth");
      h = readNumber(*doc, section, "H", "Failed to read RegionHeight");
      info->OriginX = readNumber(*doc, info->Type, "X", "Failed to read OriginX");
      info->OriginY = readNumber(*doc, info->Type, "Y", "Failed to read OriginY");
      info->AFX = readNumber(*doc, info->Type, "AFX", "Failed to read AFPosX");
      info->AFY = readNumber(*doc, info->Type, "AFY", "Failed to read AFPosY");
      info->PKG = doc->getInt(info->Type, "PKG", 0);
      info->Left = x;
      info->Top = y;
      info->Right = sat(std::int64_t{x} + w);
      info->Bottom = sat(std::int64_t{y} + h);
    } catch (const std::runtime_error& e) {
      LogError("LoadScanRegions: %s for region '%s'", e.what(), name.c_str());
      countInvalid({});
      continue;
    } catch (...) {
      LogError("LoadScanRegions: Failed to load region '%s' - unknown error", name.c_str());
      countInvalid({});
      continue;
    }

    const int check =
        CheckScanRegion(scannerType, &info->OriginX, &info->OriginY, &w, &h, &info->AFX, &info->AFY);
    if (check == 0) {
      ScanRegionInfo* stored = info.get();
      m_Regions.emplace(name, std::move(info));
      if (stored->IsDefault) DefaultRegion = stored;
    } else if (check == 1) {
      LogInfo("Region %s was found to be invalid and will not be included in the scan region selection list",
              name.c_str());
      countInvalid(name);
    } else {
      const char* text =
          "LoadScanRegions: Failed to validate scan regions - Missing or corrupt RegionDB.sys file";
      LogErrorNoFormat(text);
      lumetra::ShowErrorMessage(text);
      return GetCount();
    }
  }

  if (count > highest) {
    LogError("LoadScanRegions: Failed to read region Name for section '%s'",
             ("Region" + std::to_string(highest + 1) +
              (count > highest + 1 ? "' to 'Region" + std::to_string(count) : ""))
                 .c_str());
    invalidCount += count - highest;
  }
  if (m_Regions.empty()) {
    const char* text = "LoadScanRegions: No any valid scan region found from ChipRegions.ini file";
    LogErrorNoFormat(text);
    lumetra::ShowErrorMessage(text);
  }
  if (invalidCount > 0)
    LogInfo("The following scan %s invalid: %s", invalidCount == 1 ? "region was" : "regions were",
            invalidList.c_str());
  return GetCount();
}

bool CScanRegionInfoMap::IsFileModified() const {
  const auto stamp = platform::profile::fileStamp(FilePath);
  if (!stamp || stamp == LastWriteTime) return false;
  LogDebug(1, "Detected the %s file might have been modified", FilePath.c_str());
  return true;
}

bool CScanRegionInfoMap::ReloadIfChanged() {
  if (!IsFileModified()) return false;
  LoadScanRegions(FilePath.c_str(), ScannerType);
  if (NotifyWnd) NotifyWnd->send(kRegionMapMessage, kRegionMapReloaded, 0);
  return true;
}

bool CScanRegionInfoMap::StartMonitor(platform::Window* window) {
  NotifyWnd = window;
  return m_Monitor.Start(this, FilePath.c_str(), CFileChangeMonitor::kNotifyLastWrite, LastWriteTime);
}

bool CScanRegionInfoMap::StopMonitor() {
  LogDebug(1, "Try to stop ChipRegion file monitoring...");
  return m_Monitor.Stop();
}

void CScanRegionInfoMap::OnFileChangeDetected() const {
  if (NotifyWnd) NotifyWnd->post(kRegionMapMessage, kRegionFileChanged, 0);
}
