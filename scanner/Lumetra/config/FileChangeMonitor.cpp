#include "config/FileChangeMonitor.h"

#include "Jotwell/Logger.h"
#include "config/ScanRegionInfoMap.h"
#include "platform/files.h"

CFileChangeMonitor::~CFileChangeMonitor() { Stop(); }

bool CFileChangeMonitor::Start(CScanRegionInfoMap* owner, const char* path, std::uint32_t filter,
                               std::optional<platform::profile::FileStamp> known) {
  if (!path || !*path || !owner || Running) return false;
  Stop();  // collects a thread that ended on its own
  Owner = owner;
  WatchPath = path;
  NotifyFilter = filter;
  LastSeen = known;
  std::string folder = platform::directoryOf(WatchPath);
  if (folder.empty()) folder = ".";
  if (!ChangeHandle.open(folder)) {
    LogError("Cannot watch the folder '%s' for changes of the region file: %s", folder.c_str(),
             platform::systemErrorText(platform::lastError()).c_str());
    return false;
  }
  StopRequested = false;
  Running = true;
  if (!Thread.start([this](platform::Event&) { return Run(); }, "region-monitor")) {
    Running = false;
    ChangeHandle.close();
    return false;
  }
  return true;
}

bool CFileChangeMonitor::Stop() {
  if (!Thread.joinable()) return true;
  StopRequested = true;
  ChangeHandle.wake();
  (void)Thread.join();  // never on its own thread: the join cannot fail
  ChangeHandle.close();
  return !Running;
}

std::uint32_t CFileChangeMonitor::Run() {
  LogDebug(1, "ChipRegion file monitoring started...");
  while (!StopRequested) {
    // Checked before each wait, so a change between the first load and this start counts.
    // Only a new stamp of the file itself is reported: other files of the folder and
    // rewrites that leave the file as it was are not.
    const auto stamp = platform::profile::fileStamp(WatchPath);
    if (stamp && stamp != LastSeen) {
      LastSeen = stamp;
      Owner->OnFileChangeDetected();
    }
    const auto wake = ChangeHandle.wait();
    if (wake == platform::profile::FolderWatch::Wake::failed) {
      LogError("ChipRegion file monitoring failed: %s",
               platform::systemErrorText(platform::lastError()).c_str());
      break;
    }
  }
  Running = false;
  LogDebug(1, "ChipRegion file monitoring stopped");
  return 0;
}
