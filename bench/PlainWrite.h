#pragma once
// The baseline the file-writing benchmarks measure against: the same number of bytes
// written in 1 MiB pieces and synced, the disk's best.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Seconds taken, or a negative number when a write failed. The file is removed again.
inline double WritePlainAndSync(const std::string& path, std::uint64_t bytes) {
  std::vector<std::uint8_t> piece(1 << 20, 0x5A);
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = fd >= 0;
  for (std::uint64_t done = 0; ok && done < bytes;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), bytes - done));
    ok = ::write(fd, piece.data(), n) == static_cast<ssize_t>(n);
    done += n;
  }
  ok = ok && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::unlink(path.c_str());
  return ok ? seconds : -1.0;
}

}  // namespace bench
