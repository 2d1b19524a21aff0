#pragma once
// Shared between the logger's source files.
#include <cstdarg>
#include <string>

namespace jotwell {

inline constexpr long kDefaultMaxSize = 64000;
inline constexpr long kMinMaxSize = 5000;
inline constexpr unsigned long kMaxMaxFiles = 9999;

// printf into a string; throws CInvalidParamException for a format the library rejects.
std::string FormatV(const char* fmt, va_list args);
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "%s%u.log"
std::string LogFileName(const std::string& prefix, unsigned number);
// Why the first log file could not be used, when the log went on under a lettered prefix
// for a reason other than another writer holding it; told in the log once it is open
// (under the logger's lock), then cleared.
std::string& UnusableFirstFileNote();

}  // namespace jotwell
