#pragma once
// A bare client of the simulated instrument for its tests: builds command frames and
// splits what comes back into framed replies.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net.h"

namespace simclient {

using Bytes = std::vector<std::uint8_t>;

inline Bytes frame(const std::string& payload, std::uint8_t flags = 1, std::uint32_t instrId = 7,
                   std::uint16_t timeout = 10) {
  Bytes f(16 + payload.size());
  const auto length = static_cast<std::uint32_t>(f.size());
  f[0] = static_cast<std::uint8_t>(length >> 24);
  f[1] = static_cast<std::uint8_t>(length >> 16);
  f[2] = static_cast<std::uint8_t>(length >> 8);
  f[3] = static_cast<std::uint8_t>(length);
  f[7] = static_cast<std::uint8_t>(instrId);
  f[8] = flags;
  f[9] = 0x4B;
  f[10] = static_cast<std::uint8_t>(timeout >> 8);
  f[11] = static_cast<std::uint8_t>(timeout);
  std::copy(payload.begin(), payload.end(), f.begin() + 16);
  if (flags == 0) f.push_back(0);  // a text frame's uncounted NUL
  return f;
}

// Everything the simulator sends until it closes the connection or `n` bytes came.
inline Bytes receive(platform::net::Socket& s, std::size_t n) {
  Bytes got;
  std::uint8_t buffer[4096];
  while (got.size() < n) {
    const auto r = s.receive(buffer, std::chrono::milliseconds(5000));
    if (!r.ok() || r.bytes == 0) break;
    got.insert(got.end(), buffer, buffer + r.bytes);
  }
  return got;
}

// One reply: its header fields and payload.
struct Response {
  std::uint32_t length;
  std::uint32_t instrId;
  std::uint8_t flags, cmdId;
  std::uint16_t timeout;
  std::string payload;
};

inline std::vector<Response> parse(const Bytes& b) {
  std::vector<Response> out;
  std::size_t at = 0;
  while (at + 16 <= b.size()) {
    Response r{};
    r.length = (static_cast<std::uint32_t>(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
    r.instrId =
        (static_cast<std::uint32_t>(b[at + 4]) << 24) | (b[at + 5] << 16) | (b[at + 6] << 8) | b[at + 7];
    r.flags = b[at + 8];
    r.cmdId = b[at + 9];
    r.timeout = static_cast<std::uint16_t>((b[at + 10] << 8) | b[at + 11]);
    const std::size_t end = std::min(b.size(), at + std::max<std::size_t>(r.length, 16));
    r.payload.assign(b.begin() + static_cast<long>(at + 16), b.begin() + static_cast<long>(end));
    out.push_back(r);
    at = end;
  }
  return out;
}

}  // namespace simclient
