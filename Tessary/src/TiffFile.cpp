#include "TiffFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <utility>

#include "Jotwell/Logger.h"
#include "Tessary/TiffTags.h"

namespace tessary {
namespace {

std::mutex g_hooksMutex;
std::shared_ptr<const FileSystemHooks> g_hooks = std::make_shared<FileSystemHooks>();

std::shared_ptr<const FileSystemHooks> CurrentHooks() {
  std::lock_guard lock(g_hooksMutex);
  return g_hooks;
}

}  // namespace

FileSystemHooks SetFileSystemHooks(FileSystemHooks hooks) {
  std::lock_guard lock(g_hooksMutex);
  FileSystemHooks previous = *g_hooks;
  g_hooks = std::make_shared<const FileSystemHooks>(std::move(hooks));
  return previous;
}

namespace detail {

std::optional<std::uint64_t> FreeSpace(const std::string& path) {
  const auto hooks = CurrentHooks();
  return hooks->freeSpace ? hooks->freeSpace(path) : platform::freeSpace(path);
}

platform::DriveKind DriveKind(const std::string& path) {
  const auto hooks = CurrentHooks();
  return hooks->driveKind ? hooks->driveKind(path) : platform::driveKind(path);
}

std::string ErrorText(int code) {
  std::string text = platform::systemErrorText(code);
  return text.empty() ? FormatText("Unknown error %d", code) : text;
}

// The file under one libtiff handle. Writes collect in a buffer and go out with pwrite in
// large pieces (libtiff hands over a few kilobytes at a time); small reads are served from
// a read-ahead window, so reading a file row by row costs one system call per window, not
// one per row. Reads and size queries see the buffered bytes. The first failure sticks:
// later writes fail at once, so a file with a hole is never reported as written.
//
// A durable file (one that is synced before it counts) is handed to the disk while it is
// written: the final sync then waits only for the tail instead of the whole file.
class FileIo {
 public:
  FileIo(int fd, std::string diskPath, bool durable)
      : fd_(fd), diskPath_(std::move(diskPath)), durable_(durable) {
    // Nobody else writes our files: their size is known from here on without asking.
    struct stat st {};
    if (::fstat(fd_, &st) == 0) size_ = static_cast<std::uint64_t>(st.st_size);
  }
  ~FileIo() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileIo(const FileIo&) = delete;
  FileIo& operator=(const FileIo&) = delete;

  int error() const { return error_; }

  tmsize_t Read(void* data, tmsize_t size) {
    if (size < 0 || !FlushBuffer()) return -1;
    auto* out = static_cast<std::uint8_t*>(data);
    const auto n = static_cast<std::size_t>(size);
    // Within the read-ahead window: no system call.
    if (pos_ >= windowStart_ && pos_ + n <= windowStart_ + window_.size()) {
      std::memcpy(out, window_.data() + (pos_ - windowStart_), n);
      pos_ += n;
      return size;
    }
    if (n >= kReadWindow) return ReadDirect(out, n);
    window_.resize(kReadWindow);
    windowStart_ = pos_;
    const tmsize_t got = PreadFully(window_.data(), kReadWindow, windowStart_);
    if (got < 0) {
      window_.clear();
      return -1;
    }
    window_.resize(static_cast<std::size_t>(got));
    const std::size_t served = std::min(n, window_.size());
    std::memcpy(out, window_.data(), served);
    pos_ += served;
    return static_cast<tmsize_t>(served);
  }

  tmsize_t Write(const void* data, tmsize_t size) {
    if (error_ != 0 || size < 0) {
      errno = error_ != 0 ? error_ : EINVAL;
      return -1;
    }
    window_.clear();  // what was read ahead may be overwritten
    const auto n = static_cast<std::size_t>(size);
    if (!buffer_.empty() && bufferStart_ + buffer_.size() != pos_ && !FlushBuffer()) return -1;
    if (buffer_.empty()) bufferStart_ = pos_;
    if (n >= kBufferSize) {
      if (!FlushBuffer() || !WriteAt(data, n, pos_)) return -1;
    } else {
      const auto* p = static_cast<const std::uint8_t*>(data);
      buffer_.insert(buffer_.end(), p, p + n);
      if (buffer_.size() >= kBufferSize && !FlushBuffer()) return -1;
    }
    pos_ += n;
    return size;
  }

  toff_t Seek(toff_t offset, int whence) {
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) {
      base = pos_;
    } else if (whence == SEEK_END) {
      base = Size();
    } else if (whence != SEEK_SET) {
      return static_cast<toff_t>(-1);
    }
    pos_ = base + offset;
    return pos_;
  }

  toff_t Size() const { return std::max<std::uint64_t>(size_, bufferStart_ + buffer_.size()); }

  // Writes out what is buffered, syncs a durable file and closes the descriptor.
  bool Finish() {
    bool ok = FlushBuffer();
    if (fd_ >= 0) {
      if (ok && durable_ && ::fsync(fd_) != 0) ok = Fail(errno);
      if (::close(std::exchange(fd_, -1)) != 0 && ok) ok = Fail(errno);
    }
    return ok && error_ == 0;
  }

 private:
  static constexpr std::size_t kBufferSize = 1 << 20;
  static constexpr std::size_t kReadWindow = 1 << 20;
  // How much of a durable file is handed to the disk at a time while it is written.
  static constexpr std::uint64_t kWriteBackStep = 8 << 20;

  bool Fail(int code) {
    if (error_ == 0) error_ = code != 0 ? code : EIO;
    errno = error_;
    return false;
  }

  tmsize_t PreadFully(std::uint8_t* out, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        Fail(errno);
        return done > 0 ? static_cast<tmsize_t>(done) : -1;
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    return static_cast<tmsize_t>(done);
  }

  tmsize_t ReadDirect(std::uint8_t* out, std::size_t size) {
    const tmsize_t got = PreadFully(out, size, pos_);
    if (got > 0) pos_ += static_cast<std::uint64_t>(got);
    return got;
  }

  bool FlushBuffer() {
    if (error_ != 0) {
      errno = error_;
      return false;
    }
    if (buffer_.empty()) return true;
    const bool ok = WriteAt(buffer_.data(), buffer_.size(), bufferStart_);
    buffer_.clear();
    return ok;
  }

  bool WriteAt(const void* data, std::size_t size, std::uint64_t offset) {
    std::size_t allowed = size;
    const auto hooks = CurrentHooks();
    if (hooks->writeLimit) allowed = std::min(size, hooks->writeLimit(diskPath_, offset, size));
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < allowed) {
      const ssize_t n = ::pwrite(fd_, p + done, allowed - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return Fail(errno);
      }
      if (n == 0) return Fail(EIO);
      done += static_cast<std::size_t>(n);
    }
    size_ = std::max<std::uint64_t>(size_, offset + done);
    if (allowed < size) return Fail(ENOSPC);
    if (durable_) StartWriteBack(offset + done);
    return true;
  }

  // Starts (without waiting) the disk writes of what was written up to `end` in steps.
  void StartWriteBack(std::uint64_t end) {
    if (end < writeBackFrom_ + kWriteBackStep) return;
    platform::startWriteBack(fd_, writeBackFrom_, end - writeBackFrom_);
    writeBackFrom_ = end;
  }

  int fd_;
  std::string diskPath_;
  bool durable_;
  int error_ = 0;
  std::uint64_t pos_ = 0;
  std::uint64_t size_ = 0;
  std::uint64_t bufferStart_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t windowStart_ = 0;
  std::vector<std::uint8_t> window_;
  std::uint64_t writeBackFrom_ = 0;
};

namespace {

tmsize_t ReadProc(thandle_t h, void* data, tmsize_t size) {
  return static_cast<FileIo*>(h)->Read(data, size);
}
tmsize_t WriteProc(thandle_t h, void* data, tmsize_t size) {
  return static_cast<FileIo*>(h)->Write(data, size);
}
toff_t SeekProc(thandle_t h, toff_t offset, int whence) {
  return static_cast<FileIo*>(h)->Seek(offset, whence);
}
int CloseProc(thandle_t h) { return static_cast<FileIo*>(h)->Finish() ? 0 : -1; }
toff_t SizeProc(thandle_t h) { return static_cast<FileIo*>(h)->Size(); }
int MapProc(thandle_t, void**, toff_t*) { return 0; }  // never mapped: every read goes through Read
void UnmapProc(thandle_t, void*, toff_t) {}

std::string RandomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 rng{std::random_device{}()};
  std::string s(6, 'x');
  for (auto& c : s) c = kChars[rng() % (sizeof(kChars) - 1)];
  return s;
}

}  // namespace

int CreateSiblingTemp(const std::string& path, std::string& tempPath) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = path + ".part-" + RandomSuffix();
    const int fd = ::open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

std::unique_ptr<TiffFile> TiffFile::Open(const std::string& path, Kind kind, int& error) {
  InstallTiffTagExtender();
  auto file = std::make_unique<TiffFile>(Token{});
  file->path_ = path;
  file->kind_ = kind;
  int fd = -1;
  const char* mode = "r";
  switch (kind) {
    case Kind::read:
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      file->diskPath_ = path;
      break;
    case Kind::edit:
      mode = "r+";
      fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      file->diskPath_ = path;
      break;
    case Kind::scratch:
      mode = "w";
      // Not O_TRUNC: truncating makes ext4 write the whole file out when it is closed
      // (its guard for files replaced by truncation), which a temporary file does not need.
      // A scratch path is normally a new, empty file; anything in it is cut away here.
      fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      file->diskPath_ = path;
      if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::ftruncate(fd, 0) != 0) {
          const int code = errno;
          ::close(fd);
          errno = code;
          fd = -1;
        }
      }
      break;
    case Kind::atomic:
      mode = "w";
      fd = CreateSiblingTemp(path, file->diskPath_);
      break;
  }
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  if (kind == Kind::read || kind == Kind::edit) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      error = S_ISDIR(st.st_mode) ? EISDIR : errno;
      ::close(fd);
      return nullptr;
    }
  }
  file->io_ = std::make_unique<FileIo>(fd, file->diskPath_, kind == Kind::atomic);
  errno = 0;
  file->tif_ = TIFFClientOpen(path.c_str(), mode, file->io_.get(), ReadProc, WriteProc, SeekProc, CloseProc,
                              SizeProc, MapProc, UnmapProc);
  if (!file->tif_) {
    error = file->io_->error();
    file->io_.reset();
    if (kind == Kind::scratch || kind == Kind::atomic) ::unlink(file->diskPath_.c_str());
    return nullptr;
  }
  error = 0;
  return file;
}

TiffFile::TiffFile(Token) {}

TiffFile::~TiffFile() {
  if (tif_) {
    if (kind_ == Kind::atomic)
      Discard();  // never finished: the target stays as it was
    else
      Close();
  }
}

int TiffFile::error() const { return io_ ? io_->error() : 0; }

bool TiffFile::CloseHandle() {
  bool ok = true;
  if (kind_ != Kind::read && !TIFFFlush(tif_)) ok = false;
  TIFFClose(std::exchange(tif_, nullptr));  // ends in CloseProc, which writes out and closes
  if (io_->error() != 0) ok = false;
  return ok;
}

bool TiffFile::Close() {
  if (!tif_) return true;
  bool ok = CloseHandle();
  if (kind_ == Kind::atomic) {
    if (ok && ::rename(diskPath_.c_str(), path_.c_str()) != 0) {
      const int code = errno;
      LogError("Failed to move '%s' to '%s': %s [error code: %d]", diskPath_.c_str(), path_.c_str(),
               ErrorText(code).c_str(), code);
      ok = false;
    }
    if (!ok) ::unlink(diskPath_.c_str());
  }
  return ok;
}

void TiffFile::Discard() {
  if (!tif_) return;
  CloseHandle();
  if (kind_ == Kind::scratch || kind_ == Kind::atomic) ::unlink(diskPath_.c_str());
}

bool CopyFileReplacing(const std::string& src, const std::string& dst, int& error) {
  const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    error = errno;
    return false;
  }
  std::string temp;
  const int out = CreateSiblingTemp(dst, temp);
  if (out < 0) {
    error = errno;
    ::close(in);
    return false;
  }
  FileIo io(out, temp, true);
  std::vector<std::uint8_t> buf(1 << 20);
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      ok = false;
      break;
    }
    if (n == 0) break;
    if (io.Write(buf.data(), n) != n) {
      error = io.error();
      ok = false;
      break;
    }
  }
  ::close(in);
  if (ok && !io.Finish()) {
    error = io.error();
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), dst.c_str()) != 0) {
    error = errno;
    ok = false;
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace detail
}  // namespace tessary
