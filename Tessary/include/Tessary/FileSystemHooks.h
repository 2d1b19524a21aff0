#pragma once
// Seams for tests: free space, drive kinds and short writes cannot be staged on a
// development machine without mounting file systems, so the library asks these hooks
// first; and when a file reaches the disk cannot be seen from outside, so the library
// tells. An empty hook means the real system.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Tessary/Export.h"
#include "platform/files.h"

namespace tessary {

struct FileSystemHooks {
  // Bytes available to the caller on the file system holding a path.
  std::function<std::optional<std::uint64_t>(const std::string& path)> freeSpace{};
  // What kind of drive holds a path.
  std::function<platform::DriveKind(const std::string& path)> driveKind{};
  // How many of `size` bytes may be written at `offset` of the file at `path` (the name
  // on disk); fewer than `size` makes the write stop there and fail with ENOSPC.
  std::function<std::size_t(const std::string& path, std::uint64_t offset, std::size_t size)> writeLimit{};
  // Told of each file synced to disk (the name on disk), once the sync has succeeded.
  std::function<void(const std::string& path)> synced{};
};

// Installs hooks for the whole process; returns the previous ones.
TESSARY_API FileSystemHooks SetFileSystemHooks(FileSystemHooks hooks);

}  // namespace tessary
