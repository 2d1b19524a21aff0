#pragma once
// File system queries and the exclusive file used for logs and images.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace platform {

// errno of the calling thread's last failed call, like a "last error" code.
int lastError();
void setLastError(int code);
// The system's text for an error code; empty when the system has none for it.
std::string systemErrorText(int code);

enum class OpenError { none, badPath, inUse, other };

enum class OpenMode {
  create,  // create or empty
  append,  // create if missing, keep contents, write at the end
};

// A file opened for writing by this process alone: other writers that use this class
// are refused (flock), readers are not. Writes go straight to the kernel (no user-space
// buffer), so every written line is on disk for readers at once.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path` for exclusive writing, without blocking: only a regular file is taken
  // (other, with errorCode() EISDIR for a folder, ENODEV for a pipe, socket or device). On
  // failure the file stays closed and error() tells a bad path (missing or invalid folder)
  // from a file in use from the rest.
  [[nodiscard]] bool openExclusive(const std::string& path, OpenMode mode);
  bool isOpen() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  OpenError error() const { return error_; }
  int errorCode() const { return errno_; }  // errno of the last failure

  [[nodiscard]] bool write(std::string_view bytes);
  [[nodiscard]] bool write(const void* data, std::size_t size);
  // Writes all of `bytes` at the current position or nothing: a write that stops part way
  // (a full disk) cuts the file back to where it was, so that no half record stays for
  // the next one to be glued to. False with errorCode() of the failed write.
  [[nodiscard]] bool writeWhole(std::string_view bytes);
  // The open file is still the one its path names: false once it was deleted, renamed or
  // replaced (as an archiver does), so that the writer can open the path anew.
  bool isStillAtPath() const;
  [[nodiscard]] bool flush();  // fdatasync
  [[nodiscard]] bool seekToEnd();
  std::optional<std::uint64_t> size() const;
  void close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::string path_;
  OpenError error_ = OpenError::none;
  int errno_ = 0;
};

// Owns a file descriptor: closed when the owner goes (keeping errno as it was, so a
// clean-up never hides the error being reported).
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);
  // Closes and reports whether the close itself succeeded (it can carry a delayed write
  // error); true when nothing was open.
  [[nodiscard]] bool close();

 private:
  int fd_;
};

// A file's first bytes mapped read-only into memory: read in place, without a copy, pages
// coming in as they are touched. Empty when the file cannot be mapped (errno says why).
// The file must not shrink while it is mapped.
class MappedFile {
 public:
  MappedFile() = default;
  [[nodiscard]] static MappedFile map(int fd, std::uint64_t size);
  ~MappedFile() { reset(); }
  MappedFile(MappedFile&& other) noexcept { *this = std::move(other); }
  MappedFile& operator=(MappedFile&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }
  void reset();
  // Gives back the memory the mapping holds for the whole pages of a range that will not
  // be read again soon: the file keeps its data, and a later read maps it anew.
  void release(std::size_t offset, std::size_t length) const;

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

bool fileExists(const std::string& path);  // exists and is not a folder
bool directoryExists(const std::string& path);
std::optional<std::uint64_t> fileSize(const std::string& path);
std::optional<SystemTime> modificationTime(const std::string& path);
// Birth time where the file system records it, else the modification time.
std::optional<SystemTime> creationTime(const std::string& path);
[[nodiscard]] bool createDirectory(const std::string& path);    // one level; true if it exists afterwards
[[nodiscard]] bool createDirectories(const std::string& path);  // with parents
[[nodiscard]] bool removeFile(const std::string& path);         // sets lastError on failure
// Removes the name at once but lets the file system free a large file's blocks on a
// worker thread, so the caller does not wait for it (freeing a gigabyte takes a good
// fraction of a second). Pending work is finished before the process exits normally.
[[nodiscard]] bool removeFileDeferred(const std::string& path);  // sets lastError on failure
// Waits until every deferred removal has freed its blocks.
void waitForDeferredRemovals();
// Asks the system to start writing a range of an open file to the disk without waiting
// for it (a later fsync then has less to do). Best effort: nothing happens where the
// system cannot.
void startWriteBack(int fd, std::uint64_t offset, std::uint64_t length);
// Asks for large pages behind a big buffer not yet touched: touching fresh memory page by
// page is what costs most when a large working buffer is filled. Best effort.
void adviseLargePages(void* buffer, std::size_t bytes);
// Names (not paths) of the entries of `dir` matching a shell pattern like "*.log".
std::vector<std::string> listDirectory(const std::string& dir, const std::string& pattern = "*");

// Copies src to dst, failing (lastError EEXIST) when dst exists; nothing partial is left
// behind on failure. src must be a regular file: it is opened as openStoredFile does
// (EISDIR for a folder, ENODEV for a pipe, socket or device).
[[nodiscard]] bool copyFileNoOverwrite(const std::string& src, const std::string& dst);

// Replaces (or creates) `path` with `contents` so that readers see the old file or the new
// one whole, never a mix: written to `tempPath` (which must not exist; a hidden unique name
// beside `path` when empty), synced, given the old file's permissions and renamed over
// `path`. On failure the temporary file is removed, `path` is unchanged and errno says why.
[[nodiscard]] bool replaceFileContents(const std::string& path, std::string_view contents,
                                       const std::string& tempPath = {});

// ---- descriptors, for writers that buffer and place their bytes themselves (image files)
enum class FileAccess {
  read,       // an existing file, read only
  readWrite,  // an existing file, read and written
  create,     // read and written, created (usual permissions) when missing, never truncated here
};
// Opens `path` (close-on-exec) without blocking on what sits in the file's place, and only
// a regular file: a folder is refused with EISDIR, a pipe, socket or device with ENODEV.
// An empty UniqueFd with errno on failure.
[[nodiscard]] UniqueFd openFile(const std::string& path, FileAccess access);
// Opens a stored file (settings, registry hive, region file ...) for reading: opened
// without blocking, so a FIFO or a device in its place never holds the caller, and
// refused unless it is a regular file (EISDIR for a folder, ENODEV for anything else).
// Empty with errno on failure.
[[nodiscard]] UniqueFd openStoredFile(const std::string& path);
// Reads a whole stored file opened as openStoredFile does, at most `maxBytes` (EFBIG for
// a larger one). nullopt with errno on failure.
[[nodiscard]] std::optional<std::string> readStoredFile(const std::string& path, std::uint64_t maxBytes);
// Says in words why openStoredFile or readStoredFile failed with `error` (an errno).
std::string storedFileError(const std::string& path, int error, std::uint64_t maxBytes = 0);
// Says in words why a file could not be written or copied: "not a regular file ..." for
// ENODEV (what the writers here give for a pipe, socket or device), else the system's text.
std::string fileErrorText(int error);
// Creates a new file "<path><infix>XXXXXX" (random letters and digits) beside `path`,
// exclusively and with the usual permissions, for a writer that renames it into place
// once complete; its name goes to `tempPath`. Empty with errno on failure.
[[nodiscard]] UniqueFd createSiblingFile(const std::string& path, const std::string& infix,
                                         std::string& tempPath);
std::optional<std::uint64_t> openFileSize(int fd);
[[nodiscard]] bool truncateFile(int fd, std::uint64_t size);  // errno on failure
// Reads up to `size` bytes at `offset`, going on after interruptions and short reads until
// the end of the file. Returns the bytes read; `error` is 0 or the errno that stopped it.
[[nodiscard]] std::size_t readAt(int fd, void* data, std::size_t size, std::uint64_t offset, int& error);
// Writes `size` bytes at `offset`, going on after interruptions and short writes. Returns
// the bytes written; `error` is 0 or the errno that stopped it (EIO for a write that
// makes no progress without saying why).
[[nodiscard]] std::size_t writeAt(int fd, const void* data, std::size_t size, std::uint64_t offset,
                                  int& error);
[[nodiscard]] bool syncFile(int fd);  // everything written so far is on the disk; errno on failure
// Renames `from` onto `to`, replacing it in one step; errno on failure.
[[nodiscard]] bool renameFile(const std::string& from, const std::string& to);
// Whether two paths name the same file (false when either is missing).
bool sameFile(const std::string& a, const std::string& b);
// True for an existing regular file; false with errno (EINVAL for something that exists
// but is no regular file).
bool isRegularFile(const std::string& path);
// What the symbolic link `path` points at, as written in it (whether that exists or not);
// nullopt with errno when `path` is missing or no link (EINVAL).
std::optional<std::string> linkTarget(const std::string& path);

// Space available to the caller on the file system holding `path` (or its nearest
// existing parent).
std::optional<std::uint64_t> freeSpace(const std::string& path);

enum class DriveKind { local, remote, removable, cdrom, ramDisk, noRoot };
// What kind of file system holds `path`: remote for nfs, cifs, smb, sshfs and other
// network file systems; cdrom for iso9660, udf on a loop device (a disc image), or any
// file system on an optical drive;
// ramDisk for tmpfs and ramfs; removable for a block device that says so; noRoot when no
// mount point can be found for it.
DriveKind driveKind(const std::string& path);
// The same decision for a mounted file system of type `fsType` on block device
// major:minor (0:n for none), reading the devices' descriptions under `sysfs`.
DriveKind classifyDrive(const std::string& fsType, unsigned major, unsigned minor,
                        const std::string& sysfs = "/sys");
// The mount point holding `path` (the stand-in for a drive root); empty when none.
std::string mountPoint(const std::string& path);

std::string tempDirectory();     // $TMPDIR or /tmp, without a trailing '/'
std::string currentDirectory();  // the process's working folder; empty when it cannot be told
// The user's own data folder of this software, without a trailing '/':
// $XDG_DATA_HOME/zevazodizo, else ~/.local/share/zevazodizo; "" when neither
// XDG_DATA_HOME nor HOME is set. A relative XDG_DATA_HOME is ignored.
std::string userDataFolder();
// Creates a new empty file "<dir>/<prefix>XXXXXX" and returns its path (empty on failure).
[[nodiscard]] std::string uniqueTempFile(const std::string& dir, const std::string& prefix);

// The first 15 characters of the host name.
std::string computerName();
// Full path of the running executable.
std::string executablePath();
// The folder (with a trailing '/') of the project's shared libraries for the program at
// `programPath`: <prefix>/lib/zevazodizo/ when that folder exists beside the program's
// <prefix>/bin/ (an installation), else the program's own folder (a build tree keeps
// programs and libraries together).
std::string projectLibraryFolder(const std::string& programPath);
// The process's arguments as given (argv), read from /proc/self/cmdline.
std::vector<std::string> commandLineArguments();
// Full path of the loaded module (executable or shared library) containing `address`.
std::string modulePathOf(const void* address);
// The file the kernel maps at `address` (from /proc/self/maps); empty when none.
std::string mappedFileAt(const void* address);

// Path pieces ('/' separated).
// folder + "/" + name, with the folder's own trailing separators ('/' or '\\') dropped.
std::string joinPath(std::string folder, const std::string& name);
std::string directoryOf(const std::string& path);  // with trailing '/', empty when none
std::string fileNameOf(const std::string& path);
std::string stemOf(const std::string& path);       // file name without its extension
std::string extensionOf(const std::string& path);  // with the dot, empty when none

}  // namespace platform
