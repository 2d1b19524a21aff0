#pragma once
// Watches the folder of the region file on a worker thread and reports when the file
// itself changed (a new modification stamp). The thread only detects: the region map is
// reloaded on the user-interface thread, which the report reaches as a posted message.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/profile.h"
#include "platform/sync.h"
#include "platform/thread.h"

class CScanRegionInfoMap;

class CFileChangeMonitor {
 public:
  // Write changes (the classic last-write filter); other kinds are watched the same way.
  static constexpr std::uint32_t kNotifyLastWrite = 16;

  CFileChangeMonitor() = default;
  // Stops and joins the thread.
  ~CFileChangeMonitor();
  CFileChangeMonitor(const CFileChangeMonitor&) = delete;
  CFileChangeMonitor& operator=(const CFileChangeMonitor&) = delete;

  // False when the path is empty, the owner is null, a watch already runs, or the folder
  // cannot be watched or the thread started. `known` is the stamp the owner loaded; a file
  // that differs from it already is reported at once.
  bool Start(CScanRegionInfoMap* owner, const char* path, std::uint32_t filter = kNotifyLastWrite,
             std::optional<platform::profile::FileStamp> known = std::nullopt);
  // Ends the thread and waits for it; true when no thread runs afterwards.
  bool Stop();
  bool IsRunning() const { return Running.load(); }

 private:
  std::uint32_t Run();

  CScanRegionInfoMap* Owner = nullptr;
  std::string WatchPath;
  // The folder's change notification; its wake() is the stop signal of the thread.
  platform::profile::FolderWatch ChangeHandle;
  std::atomic<bool> Running{false};
  std::atomic<bool> StopRequested{false};
  std::uint32_t NotifyFilter = kNotifyLastWrite;
  std::optional<platform::profile::FileStamp> LastSeen;  // the watch thread's alone while it runs
  platform::Thread Thread;                               // last: joined before the rest goes
};
