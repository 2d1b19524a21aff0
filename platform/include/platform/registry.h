#pragma once
// The registry: hive files in the text ".reg" format, one file per root, in
// $ZEVA_REGISTRY_DIR (default ~/.config/zevazodizo/registry).
//
// Key paths and value names compare case-insensitively and keep the case they were
// created with. Every call locks the hive (flock on a lock file beside it), re-reads it
// when it changed on disk, and writes it back through a temporary file and rename, so
// several processes share one hive safely. A hive that cannot be parsed is never
// overwritten: calls on it fail with kErrorBadDb and the file stays byte for byte.
//
// Results are Win32-style error numbers (0 = success) so callers can keep the
// conventions of the code that uses them.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

using HKEY = std::uint32_t;
inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKEY HKEY_USERS = 0x80000003u;

// Value types (the registry's own numbers).
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;
inline constexpr std::uint32_t REG_QWORD = 11;

namespace registry {

inline constexpr long kOk = 0;
inline constexpr long kErrorFileNotFound = 2;       // key or value missing
inline constexpr long kErrorAccessDenied = 5;       // e.g. deleting a key that has subkeys
inline constexpr long kErrorInvalidParameter = 87;  // unknown root, empty or unwritable name
inline constexpr long kErrorMoreData = 234;         // caller's buffer too small
inline constexpr long kErrorBadDb = 1009;           // hive file cannot be parsed
inline constexpr long kErrorWriteFault = 29;        // hive file cannot be written
inline constexpr long kErrorIoFailed = 1016;        // hive file exists but cannot be read

struct Value {
  std::uint32_t type = REG_NONE;
  std::vector<std::uint8_t> data;  // raw bytes as stored (REG_SZ includes its terminating NUL)
};

bool isPredefinedRoot(HKEY root);
// "HKEY_LOCAL_MACHINE" etc.; empty for an unknown root.
std::string rootName(HKEY root);
// The folder holding the hive files (from $ZEVA_REGISTRY_DIR, read at every call).
std::string directory();
// The hive file of a root, e.g. "<dir>/HKEY_LOCAL_MACHINE.reg".
std::string hivePath(HKEY root);

// Paths use backslashes ("Software\\Tarsel\\ZevazOdizo"); a leading, trailing or doubled
// backslash is ignored, and "" is the root itself. Key names are at most 255 bytes, value
// names at most 16383; names holding CR, LF or NUL are kErrorInvalidParameter.
// A hive that cannot be read fails every call on its root with kErrorBadDb (unparseable),
// kErrorIoFailed or kErrorAccessDenied.

// kOk when the key exists, kErrorFileNotFound when it does not.
[[nodiscard]] long keyExists(HKEY root, std::string_view path);
// Creates the key and every missing parent; kOk when it exists afterwards.
[[nodiscard]] long createKey(HKEY root, std::string_view path);
// Deletes the child key `child` of `path` (`child` may itself be a path);
// kErrorAccessDenied when it has subkeys.
[[nodiscard]] long deleteKey(HKEY root, std::string_view path, std::string_view child);
// Value name "" is the key's default value.
[[nodiscard]] long queryValue(HKEY root, std::string_view path, std::string_view name, Value& out);
// The key must exist (createKey first); kErrorFileNotFound otherwise.
[[nodiscard]] long setValue(HKEY root, std::string_view path, std::string_view name, const Value& value);
[[nodiscard]] long deleteValue(HKEY root, std::string_view path, std::string_view name);
[[nodiscard]] long enumSubKeys(HKEY root, std::string_view path, std::vector<std::string>& names);
[[nodiscard]] long enumValues(HKEY root, std::string_view path,
                              std::vector<std::pair<std::string, Value>>& values);

// Convenience constructors for values.
// Appends the terminating NUL: makeString("") stores one NUL byte. For REG_MULTI_SZ pass
// every string followed by its NUL; the final NUL of the list is the one appended here.
Value makeString(std::string_view text, std::uint32_t type = REG_SZ);
Value makeDword(std::uint32_t v);
Value makeQword(std::uint64_t v);
Value makeBinary(const void* data, std::size_t size);

}  // namespace registry
}  // namespace platform
