#pragma once
// The baselines the file-writing benchmarks measure against: the same number of bytes
// written in 1 MiB pieces and synced, the disk's best. Two ways, as the disk may favour
// either: all written and then synced; or handed to the disk every 8 MiB while being
// written (as the project's durable files are) and then synced.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Seconds taken, or a negative number when a write failed. The file is removed again.
inline double WriteAndSync(const std::string& path, std::uint64_t bytes, bool writeBehind) {
  constexpr std::uint64_t kWriteBackStep = 8 << 20;
  std::vector<std::uint8_t> piece(1 << 20, 0x5A);
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = fd >= 0;
  std::uint64_t handedOver = 0;
  for (std::uint64_t done = 0; ok && done < bytes;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), bytes - done));
    ok = ::write(fd, piece.data(), n) == static_cast<ssize_t>(n);
    done += n;
    if (writeBehind && done - handedOver >= kWriteBackStep) {
      ::sync_file_range(fd, static_cast<off_t>(handedOver), static_cast<off_t>(done - handedOver),
                        SYNC_FILE_RANGE_WRITE);
      handedOver = done;
    }
  }
  ok = ok && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::unlink(path.c_str());
  return ok ? seconds : -1.0;
}

inline double WritePlainAndSync(const std::string& path, std::uint64_t bytes) {
  return WriteAndSync(path, bytes, false);
}

inline double WriteBehindAndSync(const std::string& path, std::uint64_t bytes) {
  return WriteAndSync(path, bytes, true);
}

}  // namespace bench
