#pragma once
// The scan regions of ChipRegions.ini, each checked against the limits of the region
// database RegionDB.sys for the connected scanner model, by name.
//
// Threads: the map is loaded, reloaded and read on the user-interface thread only. Its
// file monitor merely posts kRegionMapMessage (wParam kRegionFileChanged) to the notify
// window; that window's handler calls ReloadIfChanged(), which reloads and then sends
// kRegionMapMessage (wParam kRegionMapReloaded) so that views refresh from the new map.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "config/FileChangeMonitor.h"
#include "platform/profile.h"
#include "platform/window.h"

// Scanner types: 0 = K7431A, 1 = K7431B, 2 = K7431C, 3 = not recognised.
inline constexpr int kScannerTypeUnknown = 3;

inline constexpr unsigned kRegionMapMessage = platform::WM_USER + 200;
inline constexpr std::uintptr_t kRegionMapReloaded = 0;
inline constexpr std::uintptr_t kRegionFileChanged = 1;

struct ScanRegionInfo {
  std::string Type;  // the slide section holding the slide values
  std::string Name;
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Right = 0;
  std::int32_t Bottom = 0;
  std::int32_t OriginX = 0;
  std::int32_t OriginY = 0;
  std::int32_t AFX = 0;
  std::int32_t AFY = 0;
  std::int32_t PKG = 0;
  std::int32_t IsDefault = 0;
};

// 0: within the limits, unchanged; 1: corrected in place; 2: the database could not be
// used (values unchanged). Reads the registry's "Path" and RegionDB.sys on every call.
int CheckScanRegion(int scannerType, int* x, int* y, int* width, int* height, int* afX, int* afY);

class CScanRegionInfoMap {
 public:
  using Map = std::map<std::string, std::unique_ptr<ScanRegionInfo>>;

  CScanRegionInfoMap() = default;
  // Ends the monitor first, then frees the records.
  ~CScanRegionInfoMap();
  CScanRegionInfoMap(const CScanRegionInfoMap&) = delete;
  CScanRegionInfoMap& operator=(const CScanRegionInfoMap&) = delete;

  // Number of regions loaded; -1 when nothing could be loaded; 0 when the file could not
  // be accessed. A null or empty path reloads FilePath.
  int LoadScanRegions(const char* path, int scannerType);
  ScanRegionInfo* Lookup(const std::string& name) const;
  ScanRegionInfo* GetDefaultRegion() const { return DefaultRegion; }
  void RemoveAll();
  int GetCount() const { return static_cast<int>(m_Regions.size()); }
  const Map& Regions() const { return m_Regions; }

  bool IsFileModified() const;
  // Reloads when the file changed and then tells NotifyWnd (kRegionMapReloaded). Call it
  // on the thread of NotifyWnd.
  bool ReloadIfChanged();
  bool StartMonitor(platform::Window* window);
  bool StopMonitor();

  // The monitor thread's report: posted, so that the reload runs on the window's thread.
  void OnFileChangeDetected() const;

  platform::Window* NotifyWnd = nullptr;
  std::string FilePath;
  std::int32_t ScannerType = 2;
  ScanRegionInfo* DefaultRegion = nullptr;
  std::optional<platform::profile::FileStamp> LastWriteTime;

 private:
  Map m_Regions;
  CFileChangeMonitor m_Monitor;  // last: stopped before the map goes
};
