#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <unordered_map>
#include <utility>

#include "platform/files.h"
#include "platform/text.h"

namespace platform {
namespace registry {
namespace {

// Limits that keep a damaged or hostile hive file from exhausting memory or the stack.
constexpr std::size_t kMaxHiveBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxKeyNameBytes = 255;
constexpr std::size_t kMaxValueNameBytes = 16383;
constexpr std::size_t kMaxKeyDepth = 512;
// Hives cached per process; each test has folders of its own, so the cache must not grow forever.
constexpr std::size_t kMaxCachedHives = 32;
// Where a hex list is wrapped, as a person would lay it out.
constexpr std::size_t kHexLineWidth = 77;

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

struct RootInfo {
  HKEY root;
  std::string_view name;
};
constexpr RootInfo kRoots[] = {{HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
                               {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
                               {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
                               {HKEY_USERS, "HKEY_USERS"}};

// ---------------------------------------------------------------------------------------------
// Names

// Line breaks and NULs cannot be written to a hive file, so no name may hold them.
bool hasForbiddenChar(std::string_view s) { return s.find_first_of(std::string_view("\0\r\n", 3)) != s.npos; }

bool validKeyName(std::string_view s) {
  return !s.empty() && s.size() <= kMaxKeyNameBytes && !hasForbiddenChar(s);
}

bool validValueName(std::string_view s) { return s.size() <= kMaxValueNameBytes && !hasForbiddenChar(s); }

// Splits an API key path at backslashes. Empty parts (a leading, trailing or doubled
// backslash) are dropped, so "\\A\\\\B\\" means "A\\B". Empty result: the root itself.
std::optional<std::vector<std::string_view>> splitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t cut = path.find('\\');
    const std::string_view part = path.substr(0, cut);
    if (!part.empty()) {
      if (!validKeyName(part) || parts.size() == kMaxKeyDepth) return std::nullopt;
      parts.push_back(part);
    }
    if (cut == path.npos) break;
    path.remove_prefix(cut + 1);
  }
  return parts;
}

// ---------------------------------------------------------------------------------------------
// The hive in memory

// Entries in insertion order with case-insensitive lookup; the order is what the file shows.
template <class T>
class NamedList {
 public:
  struct Entry {
    std::string name;
    T item;
  };

  T* find(std::string_view name) {
    const auto it = index_.find(foldedAscii(name));
    return it == index_.end() ? nullptr : &entries_[it->second].item;
  }
  // Adds at the end; the caller has checked that the name is new.
  T& add(std::string_view name, T item) {
    index_.emplace(foldedAscii(name), entries_.size());
    entries_.push_back(Entry{std::string(name), std::move(item)});
    return entries_.back().item;
  }
  bool erase(std::string_view name) {
    const auto it = index_.find(foldedAscii(name));
    if (it == index_.end()) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(it->second));
    index_.clear();
    for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(foldedAscii(entries_[i].name), i);
    return true;
  }
  const std::vector<Entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

struct Key {
  NamedList<std::unique_ptr<Key>> children;
  NamedList<Value> values;

  Key* child(std::string_view name) {
    auto* found = children.find(name);
    return found ? found->get() : nullptr;
  }
  Key& childOrAdd(std::string_view name, bool& added) {
    if (Key* found = child(name)) return *found;
    added = true;
    return *children.add(name, std::make_unique<Key>());
  }
};

Key* findKey(Key& root, std::span<const std::string_view> parts) {
  Key* key = &root;
  for (const auto part : parts) {
    key = key->child(part);
    if (!key) return nullptr;
  }
  return key;
}

// ---------------------------------------------------------------------------------------------
// Parsing

struct ParseError {
  std::size_t line = 0;
  std::string reason;
};

// The file split into lines; CRLF and LF both end a line.
class Lines {
 public:
  explicit Lines(std::string_view text) : text_(text) {}
  bool next(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    const std::size_t end = text_.find('\n', pos_);
    line = text_.substr(pos_, end == text_.npos ? text_.npos : end - pos_);
    pos_ = end == text_.npos ? text_.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++number_;
    return true;
  }
  std::size_t number() const { return number_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t number_ = 0;
};

class Parser {
 public:
  Parser(std::string_view text, std::string_view rootName) : lines_(text), rootName_(rootName) {}

  std::unique_ptr<Key> run(ParseError& error) {
    auto root = std::make_unique<Key>();
    // A zero-length file holds nothing to lose; treating it as an empty hive lets a hive that a
    // crash left empty recover.
    std::string_view line;
    if (!lines_.next(line)) return root;
    if (line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    if (line.starts_with("\xFF\xFE") || line.starts_with("\xFE\xFF"))
      return fail(error, "the file is UTF-16 text; save it as 8-bit text");
    line = trimRight(line);
    if (line != kHeader4 && line != kHeader5) return fail(error, "the first line must be REGEDIT4");

    Key* current = nullptr;
    while (lines_.next(line)) {
      const std::string_view t = trimRight(trimLeft(line));
      if (t.empty() || t.front() == ';') continue;
      if (t.front() == '[') {
        current = section(*root, t, error);
        if (!current) return nullptr;
      } else if (t.front() == '"' || t.front() == '@') {
        if (!current) return fail(error, "a value before any [key] section");
        if (!value(*current, t, error)) return nullptr;
      } else {
        return fail(error, "not a section, value or comment");
      }
    }
    return root;
  }

 private:
  std::unique_ptr<Key> fail(ParseError& error, std::string reason) {
    error.line = lines_.number();
    error.reason = std::move(reason);
    return nullptr;
  }
  bool failed(ParseError& error, std::string reason) {
    fail(error, std::move(reason));
    return false;
  }

  Key* failKey(ParseError& error, std::string reason) {
    fail(error, std::move(reason));
    return nullptr;
  }

  Key* section(Key& root, std::string_view t, ParseError& error) {
    if (t.size() < 2 || t.back() != ']') return failKey(error, "a section line must end with ']'");
    std::string_view rest = t.substr(1, t.size() - 2);
    if (rest.starts_with('-')) return failKey(error, "deleting keys ([-...]) is not supported");
    std::size_t cut = rest.find('\\');
    if (!equalsFolded(rest.substr(0, cut), rootName_))
      return failKey(error, "a section of another root than " + std::string(rootName_));
    Key* key = &root;
    std::size_t depth = 0;
    while (cut != rest.npos) {
      rest.remove_prefix(cut + 1);
      cut = rest.find('\\');
      const std::string_view part = rest.substr(0, cut);
      if (part.empty()) return failKey(error, "an empty key name in the section");
      if (!validKeyName(part)) return failKey(error, "a key name longer than 255 bytes");
      if (++depth > kMaxKeyDepth) return failKey(error, "keys nested too deeply");
      bool added = false;
      key = &key->childOrAdd(part, added);
    }
    return key;
  }

  // `s` starts at an opening quote; on success it is left just past the closing one.
  bool quoted(std::string_view& s, std::string& out, ParseError& error) {
    s.remove_prefix(1);
    while (!s.empty()) {
      const char c = s.front();
      s.remove_prefix(1);
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (s.empty()) break;
      const char e = s.front();
      s.remove_prefix(1);
      if (e != '\\' && e != '"') return failed(error, std::string("a bad escape \\") + e + " in quoted text");
      out += e;
    }
    return failed(error, "unterminated quoted text");
  }

  bool value(Key& key, std::string_view t, ParseError& error) {
    std::string name;
    if (t.front() == '@') {
      t.remove_prefix(1);
    } else if (!quoted(t, name, error)) {
      return false;
    }
    if (!validValueName(name)) return failed(error, "a value name longer than 16383 bytes");
    t = trimLeft(t);
    if (!t.starts_with('=')) return failed(error, "'=' expected after the value name");
    t = trimLeft(t.substr(1));

    Value v;
    if (t.starts_with('"')) {
      std::string text;
      if (!quoted(t, text, error)) return false;
      if (!trimLeft(t).empty()) return failed(error, "text after the closing quote");
      v.type = REG_SZ;
      v.data.assign(text.begin(), text.end());
      v.data.push_back(0);
    } else if (startsWithFolded(t, "dword:")) {
      const auto n = parseHexDigits(t.substr(6), 8);
      if (!n) return failed(error, "a dword needs 1 to 8 hex digits");
      v.type = REG_DWORD;
      for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<std::uint8_t>(*n >> (8 * i)));
    } else if (startsWithFolded(t, "hex")) {
      t.remove_prefix(3);
      v.type = REG_BINARY;
      if (t.starts_with('(')) {
        const std::size_t close = t.find(')');
        const auto n = close == t.npos ? std::nullopt : parseHexDigits(t.substr(1, close - 1), 8);
        if (!n) return failed(error, "a bad type number in hex(...)");
        v.type = *n;
        t.remove_prefix(close + 1);
      }
      if (!t.starts_with(':')) return failed(error, "':' expected after hex");
      t.remove_prefix(1);
      if (!hexList(t, v.data, error)) return false;
    } else if (t.starts_with('-')) {
      return failed(error, "deleting values (=-) is not supported");
    } else {
      return failed(error, "an unknown kind of value");
    }
    if (Value* existing = key.values.find(name))
      *existing = std::move(v);  // a later line for the same name wins, as on import
    else
      key.values.add(name, std::move(v));
    return true;
  }

  // Comma-separated bytes; a trailing backslash continues the list on the next line.
  bool hexList(std::string_view first, std::vector<std::uint8_t>& out, ParseError& error) {
    const std::size_t startLine = lines_.number();
    std::string joined;
    std::string_view part = trimRight(first);
    while (part.ends_with('\\')) {
      joined += part.substr(0, part.size() - 1);
      std::string_view line;
      if (!lines_.next(line)) return failed(error, "a hex list continues past the end of the file");
      part = trimRight(trimLeft(line));
    }
    joined += part;
    std::string_view list = joined;
    if (trimLeft(list).empty()) return true;
    while (true) {
      const std::size_t comma = list.find(',');
      const auto byte = parseHexDigits(trimRight(trimLeft(list.substr(0, comma))), 2);
      if (!byte) {
        error.line = startLine;
        error.reason = "bad hex bytes (two hex digits between commas expected)";
        return false;
      }
      out.push_back(static_cast<std::uint8_t>(*byte));
      if (comma == list.npos) return true;
      list.remove_prefix(comma + 1);
    }
  }

  Lines lines_;
  std::string_view rootName_;
};

// ---------------------------------------------------------------------------------------------
// Writing

void appendQuoted(std::string& out, std::string_view s) {
  out += '"';
  for (const char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// A REG_SZ is written as "text" only when reading that text back gives the same bytes.
bool writableAsText(const std::vector<std::uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
  return true;
}

void appendHex(std::string& out, std::uint32_t v, int minDigits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*x", minDigits, v);
  out += buf;
}

void appendValue(std::string& out, const std::string& name, const Value& v) {
  const std::size_t lineStart = out.size();
  if (name.empty())
    out += '@';
  else
    appendQuoted(out, name);
  out += '=';
  if (v.type == REG_SZ && writableAsText(v.data)) {
    appendQuoted(out, std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    out += "dword:";
    appendHex(out,
              static_cast<std::uint32_t>(v.data[0]) | static_cast<std::uint32_t>(v.data[1]) << 8 |
                  static_cast<std::uint32_t>(v.data[2]) << 16 | static_cast<std::uint32_t>(v.data[3]) << 24,
              8);
  } else {
    if (v.type == REG_BINARY) {
      out += "hex:";
    } else {
      out += "hex(";
      appendHex(out, v.type, 1);
      out += "):";
    }
    std::size_t column = out.size() - lineStart;
    for (std::size_t i = 0; i < v.data.size(); ++i) {
      const std::size_t width = i + 1 < v.data.size() ? 3 : 2;
      if (i > 0 && column + width > kHexLineWidth) {
        out += "\\\n  ";
        column = 2;
      }
      appendHex(out, v.data[i], 2);
      if (width == 3) out += ',';
      column += width;
    }
  }
  out += '\n';
}

// Parents come before their children and every key gets a section, as an export shows it.
void appendKey(std::string& out, const Key& key, std::string& path, bool isRoot) {
  if (!isRoot || !key.values.empty()) {
    out += '[';
    out += path;
    out += "]\n";
    for (const auto& [name, value] : key.values.entries()) appendValue(out, name, value);
    out += '\n';
  }
  for (const auto& [name, child] : key.children.entries()) {
    const std::size_t length = path.size();
    path += '\\';
    path += name;
    appendKey(out, *child, path, false);
    path.resize(length);
  }
}

std::string serialize(const Key& root, std::string_view rootName) {
  std::string out(kHeader4);
  out += "\n\n";
  std::string path(rootName);
  appendKey(out, root, path, true);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Files and locks

void report(const std::string& message) {
  const std::string line = "zeva registry: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string errorText(int code) { return std::strerror(code); }

// What identifies one version of a hive file. The generation lives in the lock file and is
// bumped by every write of this module, which catches a rewrite that inode, size and a coarse
// modification time alone could miss.
struct Signature {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  std::int64_t mtimeSec = 0;
  std::int64_t mtimeNsec = 0;
  std::uint64_t generation = 0;
  bool operator==(const Signature&) const = default;
};

void fillSignature(const struct stat& st, Signature& sig) {
  sig.exists = true;
  sig.dev = st.st_dev;
  sig.ino = st.st_ino;
  sig.size = st.st_size;
  sig.mtimeSec = st.st_mtim.tv_sec;
  sig.mtimeNsec = st.st_mtim.tv_nsec;
}

// The flock on "<hive>.lock": shared for reads, exclusive for writes. A fresh open file
// description per call, so a forked child never shares its parent's lock.
class HiveLock {
 public:
  // Reads go ahead unlocked when no lock file can be had (a missing or read-only folder):
  // there is nothing to protect then but the reader's own view.
  long acquire(const std::string& path, bool exclusive) {
    fd_ = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!fd_ && !exclusive) fd_ = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_) {
      if (!exclusive) return kOk;
      report("cannot open the lock file " + path + ": " + errorText(errno));
      return kErrorWriteFault;
    }
    int rc;
    do rc = ::flock(fd_.get(), exclusive ? LOCK_EX : LOCK_SH);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      if (!exclusive) return kOk;
      report("cannot lock " + path + ": " + errorText(errno));
      return kErrorWriteFault;
    }
    return kOk;
  }
  std::uint64_t generation() const {
    std::uint8_t b[8];
    if (!fd_ || ::pread(fd_.get(), b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) return 0;
    std::uint64_t g = 0;
    for (int i = 7; i >= 0; --i) g = (g << 8) | b[i];
    return g;
  }
  std::uint64_t bumpGeneration() {
    const std::uint64_t g = generation() + 1;
    std::uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(g >> (8 * i));
    if (!fd_ || ::pwrite(fd_.get(), b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) return generation();
    return g;
  }

 private:
  UniqueFd fd_;  // closing it releases the lock
};

struct CachedHive {
  Signature sig;
  std::unique_ptr<Key> root;  // null when the hive cannot be used; `error` says why
  long error = kOk;
};

// State shared by all threads of the process; every call holds `mutex` throughout.
struct State {
  std::mutex mutex;
  std::unordered_map<std::string, CachedHive> cache;
  // Files (path and content hash) already reported as unreadable, so a broken hive is
  // reported once per content rather than on every call.
  std::set<std::pair<std::string, std::size_t>> reported;
};

State& state() {
  static State s;
  return s;
}

void reportOnce(State& st, const std::string& path, std::string_view content, const std::string& message) {
  if (st.reported.emplace(path, std::hash<std::string_view>{}(content)).second) report(message);
}

CachedHive readHive(State& st, const std::string& path, std::string_view rootName, std::uint64_t generation) {
  CachedHive hive;
  hive.sig.generation = generation;
  // Never blocks: a FIFO in a hive's place would hold the registry's lock for ever.
  UniqueFd fd = openStoredFile(path);
  if (!fd) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) {  // no file, or no folder: an empty hive
      hive.root = std::make_unique<Key>();
      return hive;
    }
    if (err == ENODEV || err == EISDIR) {
      hive.error = kErrorIoFailed;
      reportOnce(st, path, "not a file", path + " is not a regular file");
      return hive;
    }
    hive.error = err == EACCES || err == EPERM ? kErrorAccessDenied : kErrorIoFailed;
    reportOnce(st, path, errorText(err), "cannot open " + path + ": " + errorText(err));
    return hive;
  }
  struct stat sb {};
  if (::fstat(fd.get(), &sb) != 0 || !S_ISREG(sb.st_mode)) {
    hive.error = kErrorIoFailed;
    reportOnce(st, path, "not a file", path + " is not a regular file");
    return hive;
  }
  fillSignature(sb, hive.sig);
  const auto tooLarge = [&] {
    hive.error = kErrorBadDb;
    reportOnce(st, path, "too large",
               path + " is larger than " + std::to_string(kMaxHiveBytes) + " bytes; it is left untouched");
  };
  if (static_cast<std::uint64_t>(sb.st_size) > kMaxHiveBytes) {
    tooLarge();
    return hive;
  }
  std::string text;
  text.resize(static_cast<std::size_t>(sb.st_size) + 1);  // one more byte notices growth
  std::size_t have = 0;
  while (true) {
    if (have == text.size()) {
      if (text.size() > kMaxHiveBytes) {
        tooLarge();
        return hive;
      }
      text.resize(std::min(text.size() * 2, kMaxHiveBytes + 1));
    }
    const ssize_t n = ::read(fd.get(), text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      hive.error = kErrorIoFailed;
      reportOnce(st, path, errorText(err), "cannot read " + path + ": " + errorText(err));
      return hive;
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  text.resize(have);

  ParseError error;
  hive.root = Parser(text, rootName).run(error);
  if (!hive.root) {
    hive.error = kErrorBadDb;
    reportOnce(st, path, text,
               path + " line " + std::to_string(error.line) + ": " + error.reason +
                   ". The file is left untouched and every call on " + std::string(rootName) +
                   " fails until it is repaired.");
  }
  return hive;
}

// The cached hive when the file is still the one it was read from, else a fresh read.
CachedHive& loadHive(State& st, const std::string& path, std::string_view rootName,
                     std::uint64_t generation) {
  Signature now;
  now.generation = generation;
  struct stat sb {};
  bool known = true;
  if (::stat(path.c_str(), &sb) == 0)
    fillSignature(sb, now);
  else if (errno != ENOENT && errno != ENOTDIR)
    known = false;
  const auto it = st.cache.find(path);
  if (it != st.cache.end() && known && it->second.sig == now) return it->second;
  if (it == st.cache.end() && st.cache.size() >= kMaxCachedHives) st.cache.clear();
  CachedHive& slot = st.cache[path];
  slot = readHive(st, path, rootName, generation);
  return slot;
}

// Replaces the hive file through a temporary file in the same folder, so readers see either
// the old or the new file whole, never a half-written one.
long storeHive(CachedHive& hive, const std::string& dir, const std::string& path, std::string_view rootName,
               HiveLock& lock) {
  const std::string text = serialize(*hive.root, rootName);
  if (text.size() > kMaxHiveBytes) {
    report("not writing " + path + ": it would grow beyond " + std::to_string(kMaxHiveBytes) +
           " bytes; the old file is unchanged");
    return kErrorWriteFault;
  }
  // One fixed name is enough: the exclusive lock admits one writer, and a name left by a
  // crash is reused instead of piling up.
  const std::string temp = dir + "/." + std::string(rootName) + ".reg.tmp";
  ::unlink(temp.c_str());
  if (!replaceFileContents(path, text, temp)) {
    report("cannot write " + path + ": " + errorText(errno) + "; the old file is unchanged");
    return kErrorWriteFault;
  }

  hive.sig = Signature{};
  hive.sig.generation = lock.bumpGeneration();
  struct stat sb {};
  if (::stat(path.c_str(), &sb) == 0) fillSignature(sb, hive.sig);
  return kOk;
}

enum class Access { read, write };

// A change to the hive: returns the call's result and sets `changed` when the hive must be
// written back.
using HiveFn = std::function<long(Key& root, bool& changed)>;

// Runs `fn` on the hive of `root` under the process mutex and the hive's file lock.
long withHive(HKEY root, Access access, const HiveFn& fn) {
  const std::string name = rootName(root);
  if (name.empty()) return kErrorInvalidParameter;
  const std::string dir = directory();
  const std::string path = dir + "/" + name + ".reg";
  State& st = state();
  std::lock_guard guard(st.mutex);

  if (access == Access::write) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      report("cannot create the folder " + dir + ": " + ec.message());
      return kErrorWriteFault;
    }
  }
  HiveLock lock;
  if (const long rc = lock.acquire(path + ".lock", access == Access::write); rc != kOk) return rc;
  CachedHive& hive = loadHive(st, path, name, lock.generation());
  if (!hive.root) return hive.error;

  bool changed = false;
  const long result = fn(*hive.root, changed);
  if (access == Access::read || !changed) return result;
  if (const long rc = storeHive(hive, dir, path, name, lock); rc != kOk) {
    st.cache.erase(path);  // the change in memory never reached the file
    return rc;
  }
  return result;
}

}  // namespace

bool isPredefinedRoot(HKEY root) { return !rootName(root).empty(); }

std::string rootName(HKEY root) {
  for (const auto& r : kRoots)
    if (r.root == root) return std::string(r.name);
  return {};
}

std::string directory() {
  if (const char* env = std::getenv("ZEVA_REGISTRY_DIR"); env && *env) {
    std::string dir(env);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
  }
  std::string home;
  if (const char* env = std::getenv("HOME"); env && *env) {
    home = env;
  } else {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
      home = found->pw_dir;
  }
  if (home.empty()) home = "/tmp";
  return home + "/.config/zevazodizo/registry";
}

std::string hivePath(HKEY root) {
  const std::string name = rootName(root);
  return name.empty() ? std::string() : directory() + "/" + name + ".reg";
}

long keyExists(HKEY root, std::string_view path) {
  const auto parts = splitPath(path);
  if (!parts) return kErrorInvalidParameter;
  return withHive(root, Access::read,
                  [&](Key& hive, bool&) { return findKey(hive, *parts) ? kOk : kErrorFileNotFound; });
}

long createKey(HKEY root, std::string_view path) {
  const auto parts = splitPath(path);
  if (!parts) return kErrorInvalidParameter;
  return withHive(root, Access::write, [&](Key& hive, bool& changed) {
    Key* key = &hive;
    for (const auto part : *parts) key = &key->childOrAdd(part, changed);
    return kOk;
  });
}

long deleteKey(HKEY root, std::string_view path, std::string_view child) {
  auto parts = splitPath(path);
  const auto childParts = splitPath(child);
  if (!parts || !childParts || childParts->empty() || parts->size() + childParts->size() > kMaxKeyDepth)
    return kErrorInvalidParameter;
  parts->insert(parts->end(), childParts->begin(), childParts->end() - 1);
  const std::string_view leaf = childParts->back();
  return withHive(root, Access::write, [&](Key& hive, bool& changed) {
    Key* parent = findKey(hive, *parts);
    Key* target = parent ? parent->child(leaf) : nullptr;
    if (!target) return kErrorFileNotFound;
    if (!target->children.empty()) return kErrorAccessDenied;
    parent->children.erase(leaf);
    changed = true;
    return kOk;
  });
}

long queryValue(HKEY root, std::string_view path, std::string_view name, Value& out) {
  const auto parts = splitPath(path);
  if (!parts) return kErrorInvalidParameter;
  return withHive(root, Access::read, [&](Key& hive, bool&) {
    Key* key = findKey(hive, *parts);
    const Value* v = key ? key->values.find(name) : nullptr;
    if (!v) return kErrorFileNotFound;
    out = *v;
    return kOk;
  });
}

long setValue(HKEY root, std::string_view path, std::string_view name, const Value& value) {
  const auto parts = splitPath(path);
  if (!parts || !validValueName(name)) return kErrorInvalidParameter;
  return withHive(root, Access::write, [&](Key& hive, bool& changed) {
    Key* key = findKey(hive, *parts);
    if (!key) return kErrorFileNotFound;
    if (Value* existing = key->values.find(name)) {
      // The name keeps the case it was created with, as the key names do.
      if (existing->type == value.type && existing->data == value.data) return kOk;
      *existing = value;
    } else {
      key->values.add(name, value);
    }
    changed = true;
    return kOk;
  });
}

long deleteValue(HKEY root, std::string_view path, std::string_view name) {
  const auto parts = splitPath(path);
  if (!parts) return kErrorInvalidParameter;
  return withHive(root, Access::write, [&](Key& hive, bool& changed) {
    Key* key = findKey(hive, *parts);
    if (!key || !key->values.erase(name)) return kErrorFileNotFound;
    changed = true;
    return kOk;
  });
}

long enumSubKeys(HKEY root, std::string_view path, std::vector<std::string>& names) {
  names.clear();
  const auto parts = splitPath(path);
  if (!parts) return kErrorInvalidParameter;
  return withHive(root, Access::read, [&](Key& hive, bool&) {
    Key* key = findKey(hive, *parts);
    if (!key) return kErrorFileNotFound;
    for (const auto& entry : key->children.entries()) names.push_back(entry.name);
    return kOk;
  });
}

long enumValues(HKEY root, std::string_view path, std::vector<std::pair<std::string, Value>>& values) {
  values.clear();
  const auto parts = splitPath(path);
  if (!parts) return kErrorInvalidParameter;
  return withHive(root, Access::read, [&](Key& hive, bool&) {
    Key* key = findKey(hive, *parts);
    if (!key) return kErrorFileNotFound;
    for (const auto& entry : key->values.entries()) values.emplace_back(entry.name, entry.item);
    return kOk;
  });
}

Value makeString(std::string_view text, std::uint32_t type) {
  Value v;
  v.type = type;
  v.data.assign(text.begin(), text.end());
  v.data.push_back(0);
  return v;
}

Value makeDword(std::uint32_t n) {
  Value v;
  v.type = REG_DWORD;
  for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  return v;
}

Value makeQword(std::uint64_t n) {
  Value v;
  v.type = REG_QWORD;
  for (int i = 0; i < 8; ++i) v.data.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  return v;
}

Value makeBinary(const void* data, std::size_t size) {
  Value v;
  v.type = REG_BINARY;
  if (data && size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    v.data.assign(bytes, bytes + size);
  }
  return v;
}

}  // namespace registry
}  // namespace platform
