#pragma once
// A folder that really refuses new files, for tests of what the run and its checks say
// about it. Write bits alone do not stop root, so where the test may mount, the folder
// becomes a small read-only file system of its own; elsewhere its write bits are cleared.
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/files.h"

namespace lumetra_test {

class ReadOnlyFolder {
 public:
  // `path` must be an existing, empty folder.
  explicit ReadOnlyFolder(std::string path) : path_(std::move(path)) {
    if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV, "size=64k") == 0) {
      mounted_ = true;
    } else {
      why_ = std::string("no read-only mount (") + std::strerror(errno) + ")";
      (void)::chmod(path_.c_str(), 0555);
    }
    // Whichever way it was made, it must refuse a new file, or tests cannot rely on it.
    const std::string trial = platform::uniqueTempFile(path_, ".probe-");
    refuses_ = trial.empty();
    if (!refuses_) {
      (void)platform::removeFile(trial);
      why_ += "; the folder still takes new files";
    }
  }
  ~ReadOnlyFolder() {
    if (mounted_)
      (void)::umount2(path_.c_str(), MNT_DETACH);
    else
      (void)::chmod(path_.c_str(), 0755);
  }
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

  // False when no folder refusing new files could be made here; Why() says why.
  bool Refuses() const { return refuses_; }
  const std::string& Why() const { return why_; }
  // The error a new file there meets: EROFS for the mount, EACCES for the write bits.
  int ExpectedError() const { return mounted_ ? EROFS : EACCES; }

 private:
  std::string path_;
  bool mounted_ = false;
  bool refuses_ = false;
  std::string why_;
};

}  // namespace lumetra_test
