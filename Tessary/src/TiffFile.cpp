#include "TiffFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
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

bool SamplesStoredAsIs(TIFF* tif) {
  std::uint16_t compression = 0, fillOrder = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fillOrder);
  return compression == COMPRESSION_NONE && fillOrder == FILLORDER_MSB2LSB && !TIFFIsByteSwapped(tif);
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
  FileIo(platform::UniqueFd fd, std::string diskPath, bool durable)
      : fd_(std::move(fd)), diskPath_(std::move(diskPath)), durable_(durable) {
    // Nobody else writes our files: their size is known from here on without asking.
    size_ = platform::openFileSize(fd_.get()).value_or(0);
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
    if (reserving_) {
      // Room only: the bytes come later through Fill.
      pos_ += static_cast<std::uint64_t>(size);
      reservedEnd_ = std::max(reservedEnd_, pos_);
      return size;
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

  toff_t Size() const {
    return std::max<std::uint64_t>({size_, bufferStart_ + buffer_.size(), reservedEnd_});
  }

  // From `on` until it is called with false, writes only take room in the file.
  bool Reserve(bool on) {
    if (on && !FlushBuffer()) return false;
    window_.clear();
    reserving_ = on;
    return error_ == 0;
  }

  // Writes bytes into room taken before, anywhere in it.
  bool Fill(const void* data, std::size_t size, std::uint64_t offset) {
    if (error_ != 0) {
      errno = error_;
      return false;
    }
    return WriteAt(data, size, offset, false);
  }

  platform::MappedFile Map() const {
    return buffer_.empty() ? platform::MappedFile::map(fd_.get(), Size()) : platform::MappedFile();
  }

  // Writes out what is buffered, syncs a durable file and closes the descriptor.
  bool Finish() {
    bool ok = FlushBuffer();
    if (fd_) {
      if (ok && durable_) {
        if (!platform::syncFile(fd_.get())) {
          ok = Fail(errno);
        } else if (const auto hooks = CurrentHooks(); hooks->synced) {
          hooks->synced(diskPath_);
        }
      }
      if (!fd_.close() && ok) ok = Fail(errno);
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
    int error = 0;
    const std::size_t done = platform::readAt(fd_.get(), out, size, offset, error);
    if (error != 0) {
      Fail(error);
      return done > 0 ? static_cast<tmsize_t>(done) : -1;
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

  bool WriteAt(const void* data, std::size_t size, std::uint64_t offset, bool inOrder = true) {
    std::size_t allowed = size;
    const auto hooks = CurrentHooks();
    if (hooks->writeLimit) allowed = std::min(size, hooks->writeLimit(diskPath_, offset, size));
    int error = 0;
    const std::size_t done = platform::writeAt(fd_.get(), data, allowed, offset, error);
    if (error != 0) return Fail(error);
    size_ = std::max<std::uint64_t>(size_, offset + done);
    if (allowed < size) return Fail(ENOSPC);
    if (durable_ && inOrder) StartWriteBack(offset + done);
    return true;
  }

  // Starts (without waiting) the disk writes of what was written up to `end` in steps.
  void StartWriteBack(std::uint64_t end) {
    if (end < writeBackFrom_ + kWriteBackStep) return;
    platform::startWriteBack(fd_.get(), writeBackFrom_, end - writeBackFrom_);
    writeBackFrom_ = end;
  }

  platform::UniqueFd fd_;
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
  bool reserving_ = false;
  std::uint64_t reservedEnd_ = 0;
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

}  // namespace

platform::UniqueFd CreateSiblingTemp(const std::string& path, std::string& tempPath) {
  return platform::createSiblingFile(path, ".part-", tempPath);
}

int TiffFile::OnError(TIFF*, void* self, const char*, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char text[256];
  std::vsnprintf(text, sizeof text, format, copy);
  va_end(copy);
  if (std::strstr(text, "Maximum TIFF file size exceeded"))
    static_cast<TiffFile*>(self)->classicLimitHit_ = true;
  return 0;  // the process's handler logs it as every other error
}

std::unique_ptr<TiffFile> TiffFile::Open(const std::string& path, Kind kind, int& error, bool big) {
  InstallTiffTagExtender();
  auto file = std::make_unique<TiffFile>(Token{});
  file->path_ = path;
  file->kind_ = kind;
  platform::UniqueFd fd;
  const char* mode = "r";
  switch (kind) {
    case Kind::read:
      fd = platform::openFile(path, platform::FileAccess::read);  // a folder: EISDIR
      file->diskPath_ = path;
      break;
    case Kind::edit:
      mode = "r+";
      fd = platform::openFile(path, platform::FileAccess::readWrite);
      file->diskPath_ = path;
      break;
    case Kind::scratch:
      mode = big ? "w8" : "w";
      // Not O_TRUNC: truncating makes ext4 write the whole file out when it is closed
      // (its guard for files replaced by truncation), which a temporary file does not need.
      // A scratch path is normally a new, empty file; anything in it is cut away here.
      fd = platform::openFile(path, platform::FileAccess::create);
      file->diskPath_ = path;
      if (fd && platform::openFileSize(fd.get()).value_or(0) > 0 && !platform::truncateFile(fd.get(), 0))
        fd.reset();  // keeps errno
      break;
    case Kind::atomic:
      mode = big ? "w8" : "w";
      fd = CreateSiblingTemp(path, file->diskPath_);
      break;
  }
  if (!fd) {
    error = errno;
    return nullptr;
  }
  file->io_ = std::make_unique<FileIo>(std::move(fd), file->diskPath_, kind == Kind::atomic);
  errno = 0;
  // The file's own error handler notes the one failure a caller can cure (the classic
  // format's size limit); it returns 0, so every error still reaches the process's handler.
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options) TIFFOpenOptionsSetErrorHandlerExtR(options, &TiffFile::OnError, file.get());
  file->tif_ = TIFFClientOpenExt(path.c_str(), mode, file->io_.get(), ReadProc, WriteProc, SeekProc,
                                 CloseProc, SizeProc, MapProc, UnmapProc, options);
  TIFFOpenOptionsFree(options);
  if (!file->tif_) {
    error = file->io_->error();
    file->io_.reset();
    // Clean-up after the failure returned here.
    if (kind == Kind::scratch || kind == Kind::atomic) (void)platform::removeFile(file->diskPath_);
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

platform::MappedFile TiffFile::Map() const { return io_ ? io_->Map() : platform::MappedFile(); }

bool TiffFile::Reserve(bool on) { return io_ && io_->Reserve(on); }

bool TiffFile::Fill(const void* data, std::size_t size, std::uint64_t offset) {
  return io_ && io_->Fill(data, size, offset);
}

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
    if (ok && !platform::renameFile(diskPath_, path_)) {
      const int code = errno;
      LogError("Failed to move '%s' to '%s': %s [error code: %d]", diskPath_.c_str(), path_.c_str(),
               ErrorText(code).c_str(), code);
      ok = false;
    }
    if (!ok) (void)platform::removeFile(diskPath_);  // clean-up after the failure logged above
  }
  return ok;
}

void TiffFile::Discard() {
  if (!tif_) return;
  CloseHandle();
  // Missing already is fine: nothing of it is wanted.
  if (kind_ == Kind::scratch || kind_ == Kind::atomic) (void)platform::removeFile(diskPath_);
}

bool CopyFileReplacing(const std::string& src, const std::string& dst, int& error) {
  const platform::UniqueFd in = platform::openFile(src, platform::FileAccess::read);
  if (!in) {
    error = errno;
    return false;
  }
  std::string temp;
  platform::UniqueFd out = CreateSiblingTemp(dst, temp);
  if (!out) {
    error = errno;
    return false;
  }
  FileIo io(std::move(out), temp, true);
  std::vector<std::uint8_t> buf(1 << 20);
  bool ok = true;
  for (std::uint64_t offset = 0;;) {
    int readError = 0;
    const std::size_t n = platform::readAt(in.get(), buf.data(), buf.size(), offset, readError);
    if (readError != 0) {
      error = readError;
      ok = false;
      break;
    }
    if (n == 0) break;
    offset += n;
    if (io.Write(buf.data(), static_cast<tmsize_t>(n)) != static_cast<tmsize_t>(n)) {
      error = io.error();
      ok = false;
      break;
    }
  }
  if (ok && !io.Finish()) {
    error = io.error();
    ok = false;
  }
  if (ok && !platform::renameFile(temp, dst)) {
    error = errno;
    ok = false;
  }
  if (!ok) (void)platform::removeFile(temp);  // clean-up after the failure returned here
  return ok;
}

}  // namespace detail
}  // namespace tessary
