#pragma once
// INI files read and written with the semantics of the classic profile-string functions:
// sections and keys compare case-insensitively (ASCII) and keep their case, the first
// matching section and the first matching key in it win, values are trimmed of blanks and
// tabs, CRLF and LF line ends are both read, and everything a change does not touch
// (comments, blank lines, line ends, unknown lines) stays byte for byte.
//
// Lines: "[name]" opens a section; "key=value" is a key (split at the first '='); lines
// starting with ';' are comments; anything else is kept but means nothing. Text is bytes.
//
// A change rewrites the whole file through a temporary file in the same folder and a
// rename, under an exclusive lock on the folder, so readers see the old or the new file
// whole and a failed write leaves the old file as it was. A file whose write bits are all
// clear (the read-only attribute) is never replaced, not even by root.
//
// Failures set platform::lastError() (errno values).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace platform::profile {

// n for a section name "<prefix><n>" written as the writers of numbered sections write it
// ("Region7": 7; "Region07", "Region", "Region-1" and names of other prefixes: 0). The
// prefix compares case-insensitively, as section names do.
constexpr int sectionNumber(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.size() > prefix.size() + 9) return 0;
  if (!startsWithFolded(name, prefix)) return 0;
  const std::string_view digits = name.substr(prefix.size());
  if (digits.front() == '0') return 0;
  int n = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

// Larger files are refused: a reader of outside bytes bounds what it takes in.
inline constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;

// One INI file in memory.
class Document {
 public:
  Document() = default;
  // Parses `text`; never fails (lines that mean nothing are kept as they are).
  explicit Document(std::string_view text);

  // The file's bytes as they would be written.
  std::string text() const;

  // The value of the first `key` in the first section `section`; nullopt when missing.
  std::optional<std::string> get(std::string_view section, std::string_view key) const;
  std::string getString(std::string_view section, std::string_view key, std::string_view def = {}) const;
  // The value read as a decimal whole number: an optional sign and the digits up to the
  // first other character ("12abc" is 12, "abc" is 0); saturated to the int range. The
  // default when the key is missing or its value is empty.
  int getInt(std::string_view section, std::string_view key, int def) const;
  bool hasSection(std::string_view section) const;
  // Section names in file order (duplicates listed once, as first written).
  std::vector<std::string> sectionNames() const;
  // Key names of the first matching section, in file order.
  std::vector<std::string> keyNames(std::string_view section) const;

  // Sets the key, creating the section (at the end, after a blank line) or the key (after
  // the section's last line that is not blank) when missing. False, and nothing changed,
  // when a name or the value cannot be written: names must be non-empty; no name or value
  // may hold CR, LF or NUL; a section name may not hold ']'; a key may not hold '=' nor
  // start with '[' or ';'.
  [[nodiscard]] bool set(std::string_view section, std::string_view key, std::string_view value);
  // False when there was nothing to remove.
  [[nodiscard]] bool removeKey(std::string_view section, std::string_view key);
  // Removes the first matching section: its header and every line up to the next section.
  [[nodiscard]] bool removeSection(std::string_view section);
  // Gives the first section `from` the name `to`, keeping its lines as they are. False
  // when `from` is missing, `to` is not a valid section name, or another section is
  // already called `to`.
  [[nodiscard]] bool renameSection(std::string_view from, std::string_view to);

  // Appends a new section `to` (after a blank line, as set() makes one) holding the lines
  // of the first section `fromSection` of `from` byte for byte, line ends included: bytes
  // that set() refuses in a value (a lone CR, a NUL) go across as they are. False, and
  // nothing changed, when `to` is not a valid section name (EINVAL), already exists here
  // (EEXIST) or `from` has no such section (ENOENT).
  [[nodiscard]] bool copySection(const Document& from, std::string_view fromSection, std::string_view to);

  bool operator==(const Document& other) const { return text() == other.text(); }

 private:
  struct Line {
    std::string content;  // without its line end
    std::string eol;      // "\r\n", "\n" or "" (last line without an end)
  };
  struct Range {
    std::size_t header;  // index of the "[...]" line
    std::size_t end;     // one past the section's last line
  };
  std::optional<Range> findSection(std::string_view section) const;
  std::optional<std::size_t> findKey(const Range& range, std::string_view key) const;
  std::string newLineEnd() const;

  std::vector<Line> lines_;
};

// Reads a file. A missing file is an empty document. nullopt (lastError set) when the
// file exists but cannot be read, is not a regular file, or is larger than kMaxFileBytes.
std::optional<Document> read(const std::string& path);
// Replaces the file with `doc` (temporary file + rename; the old file's permissions are
// kept). False, with the old file unchanged, when it cannot be written.
[[nodiscard]] bool write(const std::string& path, const Document& doc);
// Reads the file, lets `change` edit it and writes it back once, all under the folder's
// lock so that concurrent edits do not lose each other's changes. When `change` returns
// false nothing is written and edit returns false (lastError 0 unless `change` set one).
// A document left unchanged is not rewritten.
[[nodiscard]] bool edit(const std::string& path, const std::function<bool(Document&)>& change);

// The single-call forms. Reads give the default when the file cannot be read.
std::string getString(const std::string& path, std::string_view section, std::string_view key,
                      std::string_view def = {});
int getInt(const std::string& path, std::string_view section, std::string_view key, int def);
std::vector<std::string> sectionNames(const std::string& path);
std::vector<std::string> keyNames(const std::string& path, std::string_view section);
[[nodiscard]] bool writeString(const std::string& path, std::string_view section, std::string_view key,
                               std::string_view value);
// Removing what is not there succeeds.
[[nodiscard]] bool deleteKey(const std::string& path, std::string_view section, std::string_view key);
[[nodiscard]] bool deleteSection(const std::string& path, std::string_view section);

// True when the file exists with all its write bits clear (the read-only attribute).
bool isReadOnly(const std::string& path);

// What tells one version of a file from another: a replaced file has a new inode even
// when its time and size did not change.
struct FileStamp {
  std::int64_t modifiedNs = 0;  // modification time, nanoseconds since the epoch
  std::uint64_t size = 0;
  std::uint64_t inode = 0;
  std::uint64_t device = 0;
  bool operator==(const FileStamp&) const = default;
};
// nullopt when the file's status cannot be read.
std::optional<FileStamp> fileStamp(const std::string& path);

// Change notification on one folder (not its subfolders): wakes when an entry of the
// folder is written, created, deleted, renamed or has its attributes changed.
class FolderWatch {
 public:
  enum class Wake { changed, woken, failed };

  FolderWatch() = default;
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // False (lastError set) when the folder cannot be watched.
  [[nodiscard]] bool open(const std::string& folder);
  bool isOpen() const { return notify_ >= 0; }
  void close();
  // Blocks until a change (all pending changes are taken at once) or a wake(). A wake()
  // given while nobody waits is kept for the next wait.
  Wake wait();
  // Any thread: ends the current or the next wait() with `woken`.
  void wake();

 private:
  int notify_ = -1;
  int wakeFd_ = -1;
};

}  // namespace platform::profile
