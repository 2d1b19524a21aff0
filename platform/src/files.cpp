#include "platform/files.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <link.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

namespace platform {

namespace {

// Keeps errno across cleanup calls (close, unlink) that may overwrite it.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int saved_;
};

bool writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) {  // no progress and no error: the device is full in all but name
      errno = EIO;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// For a file opened with O_NONBLOCK: true when it is a regular file, whose reads and
// writes then block as usual again; else false with errno EISDIR for a folder and ENODEV
// for anything else (a pipe, socket or device).
bool makeRegularBlocking(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    return false;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

SystemTime toSystemTime(std::int64_t sec, std::int64_t nsec) {
  return SystemTime(std::chrono::duration_cast<SystemTime::duration>(std::chrono::seconds(sec) +
                                                                     std::chrono::nanoseconds(nsec)));
}

// `path` itself when it exists, else its nearest existing parent ("." for a relative
// path none of whose folders exist); empty when nothing on the way exists.
std::string nearestExisting(const std::string& path) {
  std::string p = path.empty() ? std::string(".") : path;
  for (;;) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) == 0) return p;
    if (p == "/" || p == ".") return {};
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos)
      p.assign(1, '.');
    else
      p.resize(slash == 0 ? 1 : slash);  // keeps the leading '/' of an absolute path
  }
}

std::string canonical(const std::string& path) {
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> real(::realpath(path.c_str(), nullptr));
  return real ? std::string(real.get()) : std::string();
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescapeMountField(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

struct MountEntry {
  std::string mountPoint;
  std::string fsType;
  unsigned major = 0, minor = 0;
};

// The mount that holds `path` (longest mount point prefix; the later of equal ones, since
// a later mount hides an earlier one on the same point).
std::optional<MountEntry> findMount(const std::string& path) {
  const std::string existing = nearestExisting(path);
  if (existing.empty()) return std::nullopt;
  const std::string real = canonical(existing);
  if (real.empty()) return std::nullopt;

  std::ifstream in("/proc/self/mountinfo");
  if (!in) return std::nullopt;
  std::optional<MountEntry> best;
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mountpoint options [optional...] - fstype source super
    std::istringstream fields(line);
    std::string id, parent, devno, root, mp;
    if (!(fields >> id >> parent >> devno >> root >> mp)) continue;
    std::string word;
    bool sawSeparator = false;
    while (fields >> word) {
      if (word == "-") {
        sawSeparator = true;
        break;
      }
    }
    std::string fsType;
    if (!sawSeparator || !(fields >> fsType)) continue;
    MountEntry e;
    e.mountPoint = unescapeMountField(mp);
    e.fsType = fsType;
    if (std::sscanf(devno.c_str(), "%u:%u", &e.major, &e.minor) != 2) continue;
    const std::string& m = e.mountPoint;
    const bool holds = m == "/" || real == m ||
                       (real.size() > m.size() && real.compare(0, m.size(), m) == 0 && real[m.size()] == '/');
    if (holds && (!best || m.size() >= best->mountPoint.size())) best = std::move(e);
  }
  return best;
}

bool isRemoteFsType(const std::string& type) {
  // fuse.* types are listed one by one: most FUSE file systems are local (archives,
  // encrypted folders, portals).
  static constexpr std::string_view kRemote[] = {"nfs",
                                                 "nfs4",
                                                 "cifs",
                                                 "smb3",
                                                 "smbfs",
                                                 "ncpfs",
                                                 "9p",
                                                 "afs",
                                                 "ceph",
                                                 "glusterfs",
                                                 "davfs",
                                                 "coda",
                                                 "lustre",
                                                 "gpfs",
                                                 "beegfs",
                                                 "orangefs",
                                                 "pvfs2",
                                                 "fuse.sshfs",
                                                 "fuse.rclone",
                                                 "fuse.s3fs",
                                                 "fuse.gcsfuse",
                                                 "fuse.glusterfs",
                                                 "fuse.ceph-fuse",
                                                 "fuse.davfs2",
                                                 "fuse.smbnetfs",
                                                 "fuse.curlftpfs",
                                                 "fuse.goofys",
                                                 "fuse.juicefs"};
  return std::find(std::begin(kRemote), std::end(kRemote), type) != std::end(kRemote);
}

bool readsOne(const std::string& file) {
  std::ifstream in(file);
  int v = 0;
  return in >> v && v == 1;
}

// The block device's folder in sysfs; empty for none (virtual file systems have none).
std::string blockDeviceFolder(unsigned major, unsigned minor, const std::string& sysfs) {
  if (major == 0) return {};
  return canonical(sysfs + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor));
}

// Best effort: the block device (or, for a partition, its disk) says it is removable.
bool isRemovableDevice(const std::string& device) {
  if (device.empty()) return false;
  if (readsOne(device + "/removable")) return true;
  return readsOne(device + "/../removable");
}

// Best effort: the device (or a partition's disk) is an optical drive: SCSI peripheral
// type 5, which every CD/DVD/BD drive reports whatever its bus.
bool isOpticalDevice(const std::string& device) {
  if (device.empty()) return false;
  for (const std::string& type : {device + "/device/type", device + "/../device/type"}) {
    std::ifstream in(type);
    int v = -1;
    if (in >> v) return v == 5;
  }
  return false;
}

// A loop device (major 7, named loop* by the kernel).
bool isLoopDevice(unsigned major, const std::string& device) {
  constexpr unsigned kLoopMajor = 7;
  return major == kLoopMajor || (!device.empty() && fileNameOf(device).starts_with("loop"));
}

// Load base of the main program (first entry of the loaded-object list), the same
// address dladdr reports as dli_fbase for addresses inside it.
const void* mainProgramBase() {
  const void* base = nullptr;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) noexcept -> int {
        ElfW(Addr) lowest = ~ElfW(Addr){0};
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i)
          if (info->dlpi_phdr[i].p_type == PT_LOAD) lowest = std::min(lowest, info->dlpi_phdr[i].p_vaddr);
        if (lowest != ~ElfW(Addr){0}) {
          const auto page = static_cast<ElfW(Addr)>(::sysconf(_SC_PAGESIZE));
          *static_cast<const void**>(data) =
              reinterpret_cast<const void*>((info->dlpi_addr + lowest) & ~(page - 1));
        }
        return 1;  // the main program comes first; stop there
      },
      &base);
  return base;
}

}  // namespace

int lastError() { return errno; }
void setLastError(int code) { errno = code; }

std::string systemErrorText(int code) {
  std::array<char, 256> buf{};
  // The GNU strerror_r returns the text (maybe not in buf); the XSI one fills buf.
  const auto pick = [&](auto result) -> const char* {
    if constexpr (std::is_same_v<decltype(result), char*>)
      return result;
    else
      return result == 0 ? buf.data() : nullptr;
  };
  const char* text = pick(::strerror_r(code, buf.data(), buf.size()));
  if (!text || !*text) return {};
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  // glibc makes up "Unknown error N" (translated) for codes it has no text for.
  if (!::strerrorname_np(code)) return {};
#endif
  const std::string s(text);
  if (s.rfind("Unknown error", 0) == 0) return {};
  return s;
}

// ---- File ------------------------------------------------------------------

File::~File() { close(); }

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      error_(std::exchange(other.error_, OpenError::none)),
      errno_(std::exchange(other.errno_, 0)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    error_ = std::exchange(other.error_, OpenError::none);
    errno_ = std::exchange(other.errno_, 0);
  }
  return *this;
}

bool File::openExclusive(const std::string& path, OpenMode mode) {
  close();
  path_ = path;
  error_ = OpenError::none;
  errno_ = 0;

  const auto fail = [this](OpenError e) {
    errno_ = errno;
    error_ = e;
    return false;
  };

  // Opened without blocking, like a stored file that is read: a FIFO in the file's place
  // would otherwise hold the writer until some reader came.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0) {
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
      case ENAMETOOLONG:
      case EINVAL:
      case ELOOP:
        return fail(OpenError::badPath);
      case ENXIO:  // a FIFO nobody reads, a socket, a device without its driver
        errno = ENODEV;
        return fail(OpenError::other);
      default:
        return fail(OpenError::other);
    }
  }
  UniqueFd guard(fd);
  if (!makeRegularBlocking(fd)) return fail(OpenError::other);
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail(errno == EWOULDBLOCK ? OpenError::inUse : OpenError::other);
  // Emptying only now that the lock is ours: a file another writer holds is never cut.
  if (mode == OpenMode::create && ::ftruncate(fd, 0) != 0) return fail(OpenError::other);
  if (mode == OpenMode::append && ::lseek(fd, 0, SEEK_END) < 0) return fail(OpenError::other);
  fd_ = guard.release();
  return true;
}

bool File::write(std::string_view bytes) { return write(bytes.data(), bytes.size()); }

bool File::write(const void* data, std::size_t size) {
  if (fd_ < 0) {
    errno = errno_ = EBADF;
    return false;
  }
  if (!writeAll(fd_, static_cast<const char*>(data), size)) {
    errno_ = errno;
    return false;
  }
  return true;
}

bool File::writeWhole(std::string_view bytes) {
  if (fd_ < 0) {
    errno = errno_ = EBADF;
    return false;
  }
  const off_t start = ::lseek(fd_, 0, SEEK_CUR);
  if (start < 0) {
    errno_ = errno;
    return false;
  }
  if (writeAll(fd_, bytes.data(), bytes.size())) return true;
  errno_ = errno;
  // Shrinking needs no free space; when even that fails the file keeps what it had.
  if (::ftruncate(fd_, start) == 0) ::lseek(fd_, start, SEEK_SET);
  errno = errno_;
  return false;
}

bool File::isStillAtPath() const {
  struct stat open {};
  struct stat named {};
  return fd_ >= 0 && ::fstat(fd_, &open) == 0 && ::stat(path_.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

bool File::flush() {
  if (fd_ < 0) {
    errno = errno_ = EBADF;
    return false;
  }
  if (::fdatasync(fd_) != 0) {
    errno_ = errno;
    return false;
  }
  return true;
}

bool File::seekToEnd() {
  if (fd_ < 0) {
    errno = errno_ = EBADF;
    return false;
  }
  if (::lseek(fd_, 0, SEEK_END) < 0) {
    errno_ = errno;
    return false;
  }
  return true;
}

std::optional<std::uint64_t> File::size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

void File::close() {
  if (fd_ >= 0) {
    ErrnoKeeper keep;
    ::close(fd_);  // releases the lock with the last descriptor of this open file
    fd_ = -1;
  }
}

// ---- queries ------------------------------------------------------------------

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool directoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::uint64_t> fileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<SystemTime> modificationTime(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return toSystemTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

std::optional<SystemTime> creationTime(const std::string& path) {
  struct statx stx {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &stx) == 0) {
    if (stx.stx_mask & STATX_BTIME) return toSystemTime(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
    if (stx.stx_mask & STATX_MTIME) return toSystemTime(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
  } else if (errno != ENOSYS && errno != EPERM) {
    return std::nullopt;
  }
  return modificationTime(path);  // kernels or sandboxes without statx
}

bool createDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  if (errno == EEXIST && directoryExists(path)) return true;
  if (errno == EEXIST) errno = ENOTDIR;
  return false;
}

bool createDirectories(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  if (directoryExists(path)) return true;
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string prefix = path.substr(0, pos);
    if (prefix.back() == '/') continue;  // "a//b"
    if (!createDirectory(prefix)) return false;
  }
  return createDirectory(path);
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) {
    ErrnoKeeper keep;
    ::close(fd_);
  }
  fd_ = fd;
}

bool UniqueFd::close() {
  const int fd = release();
  return fd < 0 || ::close(fd) == 0;
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

namespace {

// Closes descriptors of unlinked files on its own thread: the last close of an unlinked
// file is where the file system frees its blocks.
class DeferredCloser {
 public:
  ~DeferredCloser() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
  }

  void add(int fd) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(fd);
      ++pending_;
      if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
    }
    wake_.notify_all();
  }

  void waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return pending_ == 0; });
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left to free
      const int fd = queue_.front();
      queue_.pop_front();
      lock.unlock();
      ::close(fd);
      lock.lock();
      if (--pending_ == 0) idle_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<int> queue_;
  std::size_t pending_ = 0;
  bool stopping_ = false;
  std::thread worker_;
};

DeferredCloser& deferredCloser() {
  static DeferredCloser closer;
  return closer;
}

}  // namespace

bool removeFileDeferred(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (::unlink(path.c_str()) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    errno = error;
    return false;
  }
  if (fd >= 0) deferredCloser().add(fd);
  return true;
}

void waitForDeferredRemovals() { deferredCloser().waitIdle(); }

void adviseLargePages(void* buffer, std::size_t bytes) {
  constexpr std::uintptr_t kLarge = std::uintptr_t{2} << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(buffer) + kLarge - 1) & ~(kLarge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(buffer) + bytes) & ~(kLarge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void startWriteBack(int fd, std::uint64_t offset, std::uint64_t length) {
  ::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
}

MappedFile MappedFile::map(int fd, std::uint64_t size) {
  MappedFile m;
  if (size == 0 || size > SIZE_MAX) {
    errno = EINVAL;
    return m;
  }
  void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return m;
  m.data_ = static_cast<const std::uint8_t*>(p);
  m.size_ = static_cast<std::size_t>(size);
  return m;
}

void MappedFile::release(std::size_t offset, std::size_t length) const {
  if (!data_ || offset >= size_) return;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t begin = offset / page * page;
  const std::size_t end = std::min(size_, offset + std::min(length, size_ - offset)) / page * page;
  // A shared mapping of a file: dropping its pages loses nothing.
  if (end > begin) ::madvise(const_cast<std::uint8_t*>(data_) + begin, end - begin, MADV_DONTNEED);
}

void MappedFile::reset() {
  if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

std::vector<std::string> listDirectory(const std::string& dir, const std::string& pattern) {
  std::vector<std::string> names;
  struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, DirCloser> d(::opendir(dir.empty() ? "." : dir.c_str()));
  if (!d) return names;
  while (const dirent* e = ::readdir(d.get())) {
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    if (::fnmatch(pattern.c_str(), e->d_name, 0) == 0) names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// ---- descriptors ----------------------------------------------------------------

UniqueFd openStoredFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd && !makeRegularBlocking(fd.get())) fd.reset();  // reset keeps errno
  return fd;
}

std::optional<std::string> readStoredFile(const std::string& path, std::uint64_t maxBytes) {
  UniqueFd fd = openStoredFile(path);
  if (!fd) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    errno = EFBIG;
    return std::nullopt;
  }
  // Read one byte past the size seen: a file that grew meanwhile is still bounded.
  std::string data(static_cast<std::size_t>(st.st_size) + 1, '\0');
  int error = 0;
  const std::size_t got = readAt(fd.get(), data.data(), data.size(), 0, error);
  if (error != 0) {
    errno = error;
    return std::nullopt;
  }
  if (got > maxBytes) {
    errno = EFBIG;
    return std::nullopt;
  }
  if (got == data.size()) {
    // It grew: read on, within the bound.
    while (data.size() <= maxBytes) {
      char chunk[4096];
      const std::size_t n = readAt(fd.get(), chunk, sizeof chunk, data.size(), error);
      if (error != 0) {
        errno = error;
        return std::nullopt;
      }
      if (n == 0) return data;
      data.append(chunk, n);
    }
    errno = EFBIG;
    return std::nullopt;
  }
  data.resize(got);
  return data;
}

std::string storedFileError(const std::string& path, int error, std::uint64_t maxBytes) {
  switch (error) {
    case EISDIR:
      return path + " is a folder, not a file";
    case ENODEV:
      return path + " is not a regular file (a pipe, socket or device); it is not read";
    case EFBIG:
      return path + " is larger than " + std::to_string(maxBytes) + " bytes; it is not read";
    default:
      return "cannot read " + path + ": " + std::strerror(error);
  }
}

std::string fileErrorText(int error) {
  if (error == ENODEV) return "it is not a regular file (a pipe, socket or device)";
  return systemErrorText(error);
}

UniqueFd openFile(const std::string& path, FileAccess access) {
  int flags = O_CLOEXEC;
  switch (access) {
    case FileAccess::read:
      flags |= O_RDONLY;
      break;
    case FileAccess::readWrite:
      flags |= O_RDWR;
      break;
    case FileAccess::create:
      flags |= O_RDWR | O_CREAT;
      break;
  }
  // A FIFO in the file's place would hold the caller in open() until a peer came.
  UniqueFd fd(::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY, 0666));
  if (!fd && errno == ENXIO) errno = ENODEV;  // a FIFO nobody reads, a socket, a device without its driver
  if (fd && !makeRegularBlocking(fd.get())) fd.reset();  // reset keeps errno
  return fd;
}

UniqueFd createSiblingFile(const std::string& path, const std::string& infix, std::string& tempPath) {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 rng{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix(6, 'x');
    for (auto& c : suffix) c = kChars[rng() % (sizeof(kChars) - 1)];
    tempPath = path + infix + suffix;
    UniqueFd fd(::open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return UniqueFd();
}

std::optional<std::uint64_t> openFileSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool truncateFile(int fd, std::uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

std::size_t readAt(int fd, void* data, std::size_t size, std::uint64_t offset, int& error) {
  auto* out = static_cast<char*>(data);
  std::size_t done = 0;
  error = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::size_t writeAt(int fd, const void* data, std::size_t size, std::uint64_t offset, int& error) {
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  error = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, p + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (n == 0) {
      error = EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool syncFile(int fd) { return ::fsync(fd) == 0; }

bool renameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::optional<std::string> linkTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  if (!S_ISLNK(st.st_mode)) {
    errno = EINVAL;
    return std::nullopt;
  }
  std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
  const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
  if (n < 0) return std::nullopt;
  target.resize(std::min(static_cast<std::size_t>(n), target.size()));
  return target;
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (S_ISREG(st.st_mode)) return true;
  errno = EINVAL;
  return false;
}

bool copyFileNoOverwrite(const std::string& src, const std::string& dst) {
  // A FIFO would hold the copy and a device (a link to /dev/zero) would never end it.
  UniqueFd inGuard = openStoredFile(src);
  if (!inGuard) return false;
  const int in = inGuard.get();
  struct stat st {};
  if (::fstat(in, &st) != 0) return false;
  const int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) return false;  // EEXIST: the target stays as it was
  UniqueFd outGuard(out);

  // From here on the target is ours: any failure removes it, keeping the cause in errno.
  const auto abandon = [&] {
    ErrnoKeeper keep;
    ::close(outGuard.release());
    ::unlink(dst.c_str());
    return false;
  };
  std::array<char, 64 * 1024> buf;
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon();
    }
    if (n == 0) break;
    if (!writeAll(out, buf.data(), static_cast<std::size_t>(n))) return abandon();
  }
  if (::fsync(out) != 0) return abandon();
  if (::close(outGuard.release()) != 0) {
    ErrnoKeeper keep;
    ::unlink(dst.c_str());
    return false;
  }
  return true;
}

bool replaceFileContents(const std::string& path, std::string_view contents, const std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  const std::string dir = directoryOf(path);
  const std::string temp = !tempPath.empty()
                               ? tempPath
                               : dir + "." + fileNameOf(path) + "." + std::to_string(::getpid()) + "." +
                                     std::to_string(counter++) + ".tmp";
  UniqueFd guard(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (guard.get() < 0) return false;
  const auto fail = [&] {
    ErrnoKeeper keep;
    ::close(guard.release());
    ::unlink(temp.c_str());
    return false;
  };
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0) ::fchmod(guard.get(), old.st_mode & 07777);
  if (!writeAll(guard.get(), contents.data(), contents.size())) return fail();
  if (::fsync(guard.get()) != 0) return fail();
  if (::close(guard.release()) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    ErrnoKeeper keep;
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself is durable only once the folder is synced.
  const int d = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d >= 0) {
    ::fsync(d);
    ::close(d);
  }
  return true;
}

std::optional<std::uint64_t> freeSpace(const std::string& path) {
  const std::string existing = nearestExisting(path);
  if (existing.empty()) return std::nullopt;
  struct statvfs sv {};
  if (::statvfs(existing.c_str(), &sv) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(sv.f_bavail) * static_cast<std::uint64_t>(sv.f_frsize);
}

DriveKind classifyDrive(const std::string& fsType, unsigned major, unsigned minor, const std::string& sysfs) {
  if (isRemoteFsType(fsType)) return DriveKind::remote;
  if (fsType == "tmpfs" || fsType == "ramfs") return DriveKind::ramDisk;
  if (fsType == "iso9660") return DriveKind::cdrom;
  const std::string device = blockDeviceFolder(major, minor, sysfs);
  if (isOpticalDevice(device)) return DriveKind::cdrom;
  // UDF is the format of DVDs and disc images, but USB disks use it too: only on a loop
  // device (a mounted image) is it a disc.
  if (fsType == "udf" && isLoopDevice(major, device)) return DriveKind::cdrom;
  if (isRemovableDevice(device)) return DriveKind::removable;
  return DriveKind::local;
}

DriveKind driveKind(const std::string& path) {
  const auto m = findMount(path);
  if (!m) return DriveKind::noRoot;
  return classifyDrive(m->fsType, m->major, m->minor);
}

std::string mountPoint(const std::string& path) {
  const auto m = findMount(path);
  return m ? m->mountPoint : std::string();
}

std::string tempDirectory() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = env && *env ? env : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string currentDirectory() {
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  const std::unique_ptr<char, Free> cwd(::getcwd(nullptr, 0));
  return cwd ? std::string(cwd.get()) : std::string();
}

std::string uniqueTempFile(const std::string& dir, const std::string& prefix) {
  std::string base = dir.empty() ? tempDirectory() : dir;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string templ = (base == "/" ? std::string() : base) + "/" + prefix + "XXXXXX";
  const int fd = ::mkostemp(templ.data(), O_CLOEXEC);
  if (fd < 0) return {};
  ::close(fd);
  return templ;
}

std::string computerName() {
  std::array<char, 256> buf{};
  if (::gethostname(buf.data(), buf.size() - 1) != 0) return {};
  buf.back() = '\0';
  std::string name(buf.data());
  if (name.size() > 15) name.resize(15);
  return name;
}

std::string userDataFolder() {
  const auto withoutSlash = [](std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  };
  // A relative XDG_DATA_HOME is invalid by the convention that defines it: ignored.
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
    return withoutSlash(data) + "/zevazodizo";
  if (const char* home = std::getenv("HOME"); home && *home)
    return withoutSlash(home) + "/.local/share/zevazodizo";
  return {};
}

std::string projectLibraryFolder(const std::string& programPath) {
  std::string bin = directoryOf(programPath);
  while (bin.size() > 1 && bin.back() == '/') bin.pop_back();
  const std::string installed = directoryOf(bin) + "lib/zevazodizo/";
  if (!directoryOf(bin).empty() && directoryExists(installed)) return installed;
  return directoryOf(programPath);
}

std::string executablePath() {
  std::string buf(PATH_MAX, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

std::vector<std::string> commandLineArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::size_t start = 0;
  while (start < all.size()) {
    auto end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

std::string mappedFileAt(const void* address) {
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream in("/proc/self/maps");
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long from = 0, to = 0;
    int pathStart = -1;
    if (std::sscanf(line.c_str(), "%llx-%llx %*s %*s %*s %*s %n", &from, &to, &pathStart) < 2) continue;
    if (a < from || a >= to) continue;
    if (pathStart < 0 || static_cast<std::size_t>(pathStart) >= line.size() || line[pathStart] != '/')
      return {};
    return line.substr(static_cast<std::size_t>(pathStart));
  }
  return {};
}

std::string modulePathOf(const void* address) {
  Dl_info info{};
  if (!address || ::dladdr(address, &info) == 0) return {};
  // For the main program dladdr gives a name like argv[0], not the file.
  if (info.dli_fbase && info.dli_fbase == mainProgramBase()) return executablePath();
  if (info.dli_fname && info.dli_fname[0] == '/') return info.dli_fname;
  // A library loaded by a relative name: the kernel knows the file it maps.
  std::string mapped = mappedFileAt(info.dli_fbase ? info.dli_fbase : address);
  if (!mapped.empty()) return mapped;
  return info.dli_fname ? std::string(info.dli_fname) : std::string();
}

// ---- path pieces ---------------------------------------------------------------

std::string joinPath(std::string folder, const std::string& name) {
  while (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  return folder + "/" + name;
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string fileNameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {
// Position of the extension's dot in a file name, npos when it has none. A leading dot
// names a hidden file, not an extension.
std::size_t extensionDot(const std::string& name) {
  if (name == "." || name == "..") return std::string::npos;
  const auto dot = name.rfind('.');
  return dot == 0 ? std::string::npos : dot;
}
}  // namespace

std::string stemOf(const std::string& path) {
  const std::string name = fileNameOf(path);
  const auto dot = extensionDot(name);
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string extensionOf(const std::string& path) {
  const std::string name = fileNameOf(path);
  const auto dot = extensionDot(name);
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

}  // namespace platform
