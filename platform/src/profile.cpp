#include "platform/profile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <utility>

#include "platform/files.h"
#include "platform/text.h"

namespace platform::profile {
namespace {

// ---------------------------------------------------------------------------------------------
// Text helpers

bool hasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos;
}

bool validSectionName(std::string_view s) {
  return !trim(s).empty() && !hasLineBreakOrNul(s) && s.find(']') == s.npos;
}

bool validKeyName(std::string_view s) {
  const std::string_view t = trim(s);
  return !t.empty() && !hasLineBreakOrNul(s) && s.find('=') == s.npos && t.front() != '[' && t.front() != ';';
}

// "[name]" -> name (trimmed); nullopt for any other line. A header without its ']' names
// the rest of the line, as the classic reader takes it.
std::optional<std::string_view> sectionOf(std::string_view line) {
  const std::string_view t = trim(line);
  if (t.empty() || t.front() != '[') return std::nullopt;
  std::string_view name = t.substr(1);
  if (const auto close = name.find(']'); close != name.npos) name = name.substr(0, close);
  return trim(name);
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyLine> keyOf(std::string_view line) {
  const std::string_view t = trim(line);
  if (t.empty() || t.front() == ';' || t.front() == '[') return std::nullopt;
  const auto eq = t.find('=');
  if (eq == t.npos) return std::nullopt;
  const std::string_view key = trim(t.substr(0, eq));
  if (key.empty()) return std::nullopt;
  return KeyLine{key, trim(t.substr(eq + 1))};
}

int parseInt(std::string_view s) {
  s = trim(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  long long v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') break;
    v = v * 10 + (c - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) break;  // saturated below
  }
  if (negative) v = -v;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// ---------------------------------------------------------------------------------------------
// Files

// The folder holding a file, as a path that can be opened ("." for a bare name).
std::string folderOf(const std::string& path) {
  const std::string folder = directoryOf(path);
  return folder.empty() ? "." : folder;
}

// The file a write must replace: a symbolic link is followed so that the link survives.
std::string resolveTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      std::string out(real);
      std::free(real);
      return out;
    }
  }
  return path;
}

bool readOnlyMode(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// Exclusive lock on a folder, so that read-change-write cycles of several processes on the
// files in it do not interleave. A folder that cannot be opened is not locked: the write
// that follows fails on its own then.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (!fd_) return;
    int rc;
    do rc = ::flock(fd_.get(), LOCK_EX);
    while (rc != 0 && errno == EINTR);
  }

 private:
  UniqueFd fd_;
};

std::optional<Document> readUnlocked(const std::string& path) {
  // Never blocks: a FIFO or device in the file's place is refused, not waited on.
  UniqueFd fd = openStoredFile(path);
  if (!fd) {
    if (errno == ENOENT) return Document{};
    if (errno == ENODEV) errno = EINVAL;
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return std::nullopt;
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
    errno = EFBIG;
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(st.st_size) + 1, '\0');  // one more byte notices growth
  std::size_t have = 0;
  for (;;) {
    if (have == text.size()) {
      if (text.size() > kMaxFileBytes) {
        errno = EFBIG;
        return std::nullopt;
      }
      text.resize(std::min(text.size() * 2, kMaxFileBytes + 1));
    }
    const ssize_t n = ::read(fd.get(), text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  text.resize(have);
  return Document(text);
}

bool writeUnlocked(const std::string& target, const Document& doc) {
  const std::string text = doc.text();
  if (text.size() > kMaxFileBytes) {
    errno = EFBIG;
    return false;
  }
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists) {
    if (!S_ISREG(old.st_mode)) {
      errno = S_ISDIR(old.st_mode) ? EISDIR : EINVAL;
      return false;
    }
    // rename() would replace a read-only file whose folder is writable; the classic
    // functions refuse to write it, and so does this.
    if (readOnlyMode(old) || ::access(target.c_str(), W_OK) != 0) {
      errno = EACCES;
      return false;
    }
  }
  return replaceFileContents(target, text);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Document

Document::Document(std::string_view text) {
  while (!text.empty()) {
    const auto nl = text.find('\n');
    Line line;
    if (nl == text.npos) {
      line.content = std::string(text);
      text = {};
    } else {
      std::string_view content = text.substr(0, nl);
      if (!content.empty() && content.back() == '\r') {
        content.remove_suffix(1);
        line.eol = "\r\n";
      } else {
        line.eol = "\n";
      }
      line.content = std::string(content);
      text.remove_prefix(nl + 1);
    }
    lines_.push_back(std::move(line));
  }
}

std::string Document::text() const {
  std::string out;
  for (const Line& l : lines_) {
    out += l.content;
    out += l.eol;
  }
  return out;
}

namespace {
// A byte-order mark in front of the first line is kept but does not belong to its text.
std::string_view withoutBom(std::string_view s, std::size_t index) {
  if (index == 0 && s.starts_with("\xEF\xBB\xBF")) s.remove_prefix(3);
  return s;
}
}  // namespace

std::optional<Document::Range> Document::findSection(std::string_view section) const {
  const std::string_view wanted = trim(section);
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const auto name = sectionOf(withoutBom(lines_[i].content, i));
    if (!name || !equalsFolded(*name, wanted)) continue;
    std::size_t end = i + 1;
    while (end < lines_.size() && !sectionOf(lines_[end].content)) ++end;
    return Range{i, end};
  }
  return std::nullopt;
}

std::optional<std::size_t> Document::findKey(const Range& range, std::string_view key) const {
  const std::string_view wanted = trim(key);
  for (std::size_t i = range.header + 1; i < range.end; ++i) {
    const auto k = keyOf(lines_[i].content);
    if (k && equalsFolded(k->key, wanted)) return i;
  }
  return std::nullopt;
}

std::string Document::newLineEnd() const {
  for (const Line& l : lines_)
    if (!l.eol.empty()) return l.eol;
  return "\n";
}

std::optional<std::string> Document::get(std::string_view section, std::string_view key) const {
  const auto range = findSection(section);
  if (!range) return std::nullopt;
  const auto at = findKey(*range, key);
  if (!at) return std::nullopt;
  return std::string(keyOf(lines_[*at].content)->value);
}

std::string Document::getString(std::string_view section, std::string_view key, std::string_view def) const {
  auto v = get(section, key);
  return v ? std::move(*v) : std::string(def);
}

int Document::getInt(std::string_view section, std::string_view key, int def) const {
  const auto v = get(section, key);
  if (!v || v->empty()) return def;
  return parseInt(*v);
}

bool Document::hasSection(std::string_view section) const { return findSection(section).has_value(); }

std::vector<std::string> Document::sectionNames() const {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const auto name = sectionOf(withoutBom(lines_[i].content, i));
    if (!name) continue;
    bool seen = false;
    for (const auto& n : names) seen = seen || equalsFolded(n, *name);
    if (!seen) names.emplace_back(*name);
  }
  return names;
}

std::vector<std::string> Document::keyNames(std::string_view section) const {
  std::vector<std::string> names;
  const auto range = findSection(section);
  if (!range) return names;
  for (std::size_t i = range->header + 1; i < range->end; ++i) {
    const auto k = keyOf(lines_[i].content);
    if (!k) continue;
    bool seen = false;
    for (const auto& n : names) seen = seen || equalsFolded(n, k->key);
    if (!seen) names.emplace_back(k->key);
  }
  return names;
}

bool Document::set(std::string_view section, std::string_view key, std::string_view value) {
  if (!validSectionName(section) || !validKeyName(key) || hasLineBreakOrNul(value)) {
    errno = EINVAL;
    return false;
  }
  const std::string eol = newLineEnd();
  const auto range = findSection(section);
  if (!range) {
    if (!lines_.empty()) {
      if (lines_.back().eol.empty()) lines_.back().eol = eol;
      if (!trim(lines_.back().content).empty()) lines_.push_back(Line{"", eol});
    }
    std::string header(1, '[');
    header.append(trim(section)).push_back(']');
    lines_.push_back(Line{std::move(header), eol});
    lines_.push_back(Line{std::string(trim(key)) + "=" + std::string(value), eol});
    return true;
  }
  if (const auto at = findKey(*range, key)) {
    // The key keeps the spelling the file gave it.
    lines_[*at].content = std::string(keyOf(lines_[*at].content)->key) + "=" + std::string(value);
    return true;
  }
  std::size_t after = range->header;
  for (std::size_t i = range->header + 1; i < range->end; ++i)
    if (!trim(lines_[i].content).empty()) after = i;
  if (lines_[after].eol.empty()) lines_[after].eol = eol;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(after + 1),
                Line{std::string(trim(key)) + "=" + std::string(value), eol});
  return true;
}

bool Document::removeKey(std::string_view section, std::string_view key) {
  const auto range = findSection(section);
  if (!range) return false;
  const auto at = findKey(*range, key);
  if (!at) return false;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*at));
  return true;
}

bool Document::removeSection(std::string_view section) {
  const auto range = findSection(section);
  if (!range) return false;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(range->header),
               lines_.begin() + static_cast<std::ptrdiff_t>(range->end));
  return true;
}

bool Document::copySection(const Document& from, std::string_view fromSection, std::string_view to) {
  if (!validSectionName(to)) {
    errno = EINVAL;
    return false;
  }
  if (findSection(to)) {
    errno = EEXIST;
    return false;
  }
  const auto range = from.findSection(fromSection);
  if (!range) {
    errno = ENOENT;
    return false;
  }
  const std::string eol = newLineEnd();
  std::vector<Line> copied(from.lines_.begin() + static_cast<std::ptrdiff_t>(range->header + 1),
                           from.lines_.begin() + static_cast<std::ptrdiff_t>(range->end));
  if (!lines_.empty()) {
    if (lines_.back().eol.empty()) lines_.back().eol = eol;
    if (!trim(lines_.back().content).empty()) lines_.push_back(Line{"", eol});
  }
  std::string header(1, '[');
  header.append(trim(to)).push_back(']');
  lines_.push_back(Line{std::move(header), eol});
  for (Line& line : copied) lines_.push_back(std::move(line));
  // The source's last line may have ended its file; here more may follow.
  if (lines_.back().eol.empty()) lines_.back().eol = eol;
  return true;
}

bool Document::renameSection(std::string_view from, std::string_view to) {
  if (!validSectionName(to)) {
    errno = EINVAL;
    return false;
  }
  const auto range = findSection(from);
  if (!range) return false;
  if (const auto other = findSection(to); other && other->header != range->header) {
    errno = EEXIST;
    return false;
  }
  Line& header = lines_[range->header];
  const std::string_view bom = header.content.starts_with("\xEF\xBB\xBF") ? "\xEF\xBB\xBF" : "";
  header.content = std::string(bom) + "[" + std::string(trim(to)) + "]";
  return true;
}

// ---------------------------------------------------------------------------------------------
// Files

std::optional<Document> read(const std::string& path) { return readUnlocked(path); }

bool write(const std::string& path, const Document& doc) {
  const std::string target = resolveTarget(path);
  FolderLock lock(folderOf(target));
  return writeUnlocked(target, doc);
}

bool edit(const std::string& path, const std::function<bool(Document&)>& change) {
  const std::string target = resolveTarget(path);
  FolderLock lock(folderOf(target));
  auto doc = readUnlocked(target);
  if (!doc) return false;
  const std::string before = doc->text();
  errno = 0;
  if (!change(*doc)) return false;
  if (doc->text() == before) return true;
  return writeUnlocked(target, *doc);
}

std::string getString(const std::string& path, std::string_view section, std::string_view key,
                      std::string_view def) {
  const auto doc = read(path);
  return doc ? doc->getString(section, key, def) : std::string(def);
}

int getInt(const std::string& path, std::string_view section, std::string_view key, int def) {
  const auto doc = read(path);
  return doc ? doc->getInt(section, key, def) : def;
}

std::vector<std::string> sectionNames(const std::string& path) {
  const auto doc = read(path);
  return doc ? doc->sectionNames() : std::vector<std::string>{};
}

std::vector<std::string> keyNames(const std::string& path, std::string_view section) {
  const auto doc = read(path);
  return doc ? doc->keyNames(section) : std::vector<std::string>{};
}

bool writeString(const std::string& path, std::string_view section, std::string_view key,
                 std::string_view value) {
  return edit(path, [&](Document& d) { return d.set(section, key, value); });
}

bool deleteKey(const std::string& path, std::string_view section, std::string_view key) {
  return edit(path, [&](Document& d) {
    (void)d.removeKey(section, key);  // removing what is not there succeeds
    return true;
  });
}

bool deleteSection(const std::string& path, std::string_view section) {
  return edit(path, [&](Document& d) {
    (void)d.removeSection(section);  // removing what is not there succeeds
    return true;
  });
}

bool isReadOnly(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && readOnlyMode(st);
}

std::optional<FileStamp> fileStamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  FileStamp s;
  s.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  s.size = static_cast<std::uint64_t>(st.st_size);
  s.inode = static_cast<std::uint64_t>(st.st_ino);
  s.device = static_cast<std::uint64_t>(st.st_dev);
  return s;
}

// ---------------------------------------------------------------------------------------------
// FolderWatch

FolderWatch::~FolderWatch() { close(); }

bool FolderWatch::open(const std::string& folder) {
  close();
  UniqueFd notify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!notify) return false;
  constexpr std::uint32_t kMask = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE | IN_DELETE |
                                  IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;
  if (::inotify_add_watch(notify.get(), folder.c_str(), kMask) < 0) return false;
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return false;
  notify_ = notify.release();
  wakeFd_ = wake.release();
  return true;
}

void FolderWatch::close() {
  if (notify_ >= 0) ::close(notify_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  notify_ = wakeFd_ = -1;
}

FolderWatch::Wake FolderWatch::wait() {
  if (!isOpen()) {
    errno = EBADF;
    return Wake::failed;
  }
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {notify_, POLLIN, 0}};
  for (;;) {
    // No time limit: only a change or a wake() ends the wait.
    const int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Wake::failed;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t r = ::read(wakeFd_, &count, sizeof count);
      return Wake::woken;
    }
    if (fds[1].revents & POLLIN) {
      alignas(inotify_event) char buffer[4096];
      bool any = false;
      for (;;) {
        const ssize_t r = ::read(notify_, buffer, sizeof buffer);
        if (r > 0) {
          any = true;
          continue;
        }
        if (r < 0 && errno == EINTR) continue;
        break;  // EAGAIN: drained
      }
      if (any) return Wake::changed;
      continue;
    }
    if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) {
      errno = EBADF;
      return Wake::failed;
    }
  }
}

void FolderWatch::wake() {
  if (wakeFd_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t r = ::write(wakeFd_, &one, sizeof one);
}

}  // namespace platform::profile
