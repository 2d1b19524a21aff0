#pragma once
// libtiff handles on files of our own: every byte goes through one I/O layer so that
// writes are buffered, every failure is kept and reported, new final files appear only
// when they are complete, and tests can stage full disks.
#include <tiffio.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Jotwell/Utilities.h"
#include "Tessary/FileSystemHooks.h"

namespace tessary::detail {

std::optional<std::uint64_t> FreeSpace(const std::string& path);
platform::DriveKind DriveKind(const std::string& path);

// printf into a std::string.
// The system's text for an error number ("Unknown error N" when it has none).
std::string ErrorText(int code);

// Whether a file's samples lie in it exactly as in memory (uncompressed, in this
// machine's byte and bit order): its bytes may then be moved without libtiff's copy.
bool SamplesStoredAsIs(TIFF* tif);

class FileIo;

class TiffFile {
 public:
  enum class Kind {
    read,     // "r"
    edit,     // "r+": read and rewrite in place
    scratch,  // "w" straight onto the path: temporary data nobody else reads
    atomic,   // "w" into a temporary file beside the path, synced and renamed into place on Close
  };

  // Opens or creates `path`; null on failure with the errno in `error` (0 when the file
  // opened but libtiff refused its contents). A file created `big` is 64-bit TIFF (BigTIFF),
  // whose offsets pass the 4 GiB that classic TIFF can address.
  static std::unique_ptr<TiffFile> Open(const std::string& path, Kind kind, int& error, bool big = false);
  struct Token {};  // only Open makes these
  explicit TiffFile(Token);
  ~TiffFile();
  TiffFile(const TiffFile&) = delete;
  TiffFile& operator=(const TiffFile&) = delete;

  TIFF* tif() const { return tif_; }
  const std::string& path() const { return path_; }
  Kind kind() const { return kind_; }
  // errno of the first failed read or write (0: none so far).
  int error() const;
  // The whole file mapped read-only (a file opened for reading); empty when it cannot be.
  platform::MappedFile Map() const;
  // Room first, bytes later (a created file): while reserving, libtiff's writes only take
  // their room in the file (nothing is read from them); Fill then writes into that room
  // in any order. False on a failure, which sticks as every other.
  bool Reserve(bool on);
  bool Fill(const void* data, std::size_t size, std::uint64_t offset);
  // Whether libtiff refused a write because a classic TIFF file cannot grow past 4 GiB.
  bool ClassicLimitHit() const { return classicLimitHit_.load(); }

  // Flushes and closes. A created file counts only when every write succeeded; an atomic
  // file is then synced and renamed onto its path, else removed. False on any failure.
  bool Close();
  // Closes without keeping: a created file (or its temporary) is removed.
  void Discard();

 private:
  bool CloseHandle();
  static int OnError(TIFF* tif, void* self, const char* module, const char* format, va_list args);

  TIFF* tif_ = nullptr;
  std::unique_ptr<FileIo> io_;
  std::string path_;      // the path asked for
  std::string diskPath_;  // where the bytes go (a temporary for atomic files)
  Kind kind_ = Kind::read;
  // Set from whichever thread writes the strips.
  std::atomic<bool> classicLimitHit_{false};
};

// Copies `src` onto `dst` through a temporary file beside `dst`, which is synced and
// renamed into place (replacing `dst`); on failure nothing of the copy is left and the
// errno is in `error`.
bool CopyFileReplacing(const std::string& src, const std::string& dst, int& error);

// A new file beside `path` ("<path>.part-XXXXXX", created exclusively with the usual
// permissions); returns its descriptor (empty with errno) and its name.
platform::UniqueFd CreateSiblingTemp(const std::string& path, std::string& tempPath);

}  // namespace tessary::detail
