#pragma once
// Small parsing and formatting helpers shared by the device families.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "zevasim/DeviceFamilies.h"

namespace zevasim::detail {

// A whole argument as a C number: optional sign, then decimal, 0x-hexadecimal or
// 0-octal. nullopt for anything else or a value beyond 64 bits.
inline std::optional<std::int64_t> number(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;
    s.remove_prefix(1);
  }
  std::uint64_t v = 0;
  for (char c : s) {
    const int digit = platform::hexDigit(c);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return std::nullopt;
    const auto d = static_cast<unsigned>(digit);
    if (v > (UINT64_MAX - d) / base) return std::nullopt;
    v = v * base + d;
  }
  if (v > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  const auto value = static_cast<std::int64_t>(v);
  return negative ? -value : value;
}

// A C number that must fit 32 bits (signed or unsigned); returned as its bit pattern.
inline std::optional<std::uint32_t> word32(std::string_view s) {
  const auto v = number(s);
  if (!v || *v < INT32_MIN || *v > static_cast<std::int64_t>(UINT32_MAX)) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

inline std::string hex(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%X", v);
  return b;
}

// A 16-bit word as the instrument's processor holds it in memory: low byte first.
inline void putLE16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

// A reply of status, a separator and raw bytes (read as three characters, then data).
inline Reply rawReply(const std::string& bytes) {
  Reply r;
  r.frames = {"00," + bytes};
  return r;
}

inline Reply bad() { return Reply::error(kStatusBadParameters); }

// The text of a request's line after its first `skip` blank-separated fields.
inline std::string restOfLine(const std::string& line, int skip) {
  std::size_t at = 0;
  for (int i = 0; i < skip; ++i) {
    while (at < line.size() && line[at] == ' ') ++at;
    while (at < line.size() && line[at] != ' ') ++at;
  }
  if (at < line.size() && line[at] == ' ') ++at;
  return line.substr(at);
}

}  // namespace zevasim::detail
