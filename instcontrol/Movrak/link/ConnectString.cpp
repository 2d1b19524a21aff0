#include "link/ConnectString.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

std::optional<ConnectTarget> parseConnectString(std::string_view s) {
  ConnectTarget t;
  const char* p = s.data();
  const char* end = p + s.size();
  for (int i = 0; i < 5; ++i) {
    if (i > 0) {
      const char sep = i < 4 ? '.' : '_';
      if (p == end || *p != sep) return std::nullopt;
      ++p;
    }
    long value = 0;
    const auto [next, ec] = std::from_chars(p, end, value);
    if (ec != std::errc() || next == p || value < 0) return std::nullopt;
    (i < 4 ? t.octets[i] : t.port) = value;
    p = next;
  }
  if (p != end) return std::nullopt;
  return t;
}

bool ConnectStringNames(const char* connectString, const CLanInstrEntry& entry) {
  if (!connectString) return false;
  const auto target = parseConnectString(connectString);
  // Address and port compared as numbers, exactly: "10.0.0.5_3001" is not the
  // instrument on port 300.
  if (!target || target->port > 65535 ||
      !std::all_of(target->octets, target->octets + 4, [](long o) { return o <= 255; }))
    return false;
  const auto address = static_cast<std::uint32_t>((target->octets[0] << 24) | (target->octets[1] << 16) |
                                                  (target->octets[2] << 8) | target->octets[3]);
  return entry.address == address && entry.port == target->port;
}

std::string ConnectStringOf(const CLanInstrEntry& entry) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    text += std::to_string((entry.address >> shift) & 0xFFu);
    text += shift > 0 ? '.' : '_';
  }
  return text + std::to_string(entry.port);
}
