#pragma once
// Small text helpers shared by every deliverable: printf into a std::string, hexadecimal
// digits and numbers, ASCII case folding (names in the registry and INI files compare
// case-insensitively) and trimming of blanks.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// printf into a std::string; nullopt when the C library rejects the format. `args` is
// left untouched (the caller may use it again).
inline std::optional<std::string> formatV(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));
inline std::optional<std::string> formatV(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n < 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  va_copy(copy, args);
  std::vsnprintf(out.data(), out.size() + 1, fmt, copy);
  va_end(copy);
  return out;
}

// 0-15 for a hexadecimal digit, -1 for anything else.
constexpr int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to maxDigits hexadecimal digits and nothing else (no prefix, no sign).
constexpr std::optional<std::uint32_t> parseHexDigits(std::string_view s, std::size_t maxDigits = 8) {
  if (s.empty() || s.size() > maxDigits || maxDigits > 8) return std::nullopt;
  std::uint32_t v = 0;
  for (const char c : s) {
    const int d = hexDigit(c);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  return v;
}

constexpr char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string foldedAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = foldAscii(c);
  return out;
}

constexpr bool equalsFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  return true;
}

constexpr bool startsWithFolded(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && equalsFolded(s.substr(0, prefix.size()), prefix);
}

// Blanks are spaces and tabs (line ends are not trimmed: they are the callers' business).
constexpr bool isBlank(char c) { return c == ' ' || c == '\t'; }

constexpr std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  return s;
}

constexpr std::string_view trimRight(std::string_view s) {
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

constexpr std::string_view trim(std::string_view s) { return trimRight(trimLeft(s)); }

}  // namespace platform
