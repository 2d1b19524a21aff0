// The command and response frames: no socket here, so that what reads a frame can be
// tried on bytes alone.
#include <algorithm>

#include "link/LanLink.h"

namespace {

std::uint32_t readBE32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

void writeBE32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

std::int64_t ResponsePayloadLength(const LanHeader& h) {
  const std::int64_t n = static_cast<std::int64_t>(h.length) - static_cast<std::int64_t>(LanHeader::kSize);
  if (n < 0 || n > kMaxResponsePayload) return -1;
  return n;
}

void LanHeader::Encode(std::uint8_t* out) const {
  writeBE32(out, length);
  writeBE32(out + 4, instrId);
  out[8] = flags;
  out[9] = cmdId;
  out[10] = static_cast<std::uint8_t>(timeoutSec >> 8);
  out[11] = static_cast<std::uint8_t>(timeoutSec);
  writeBE32(out + 12, reserved);
}

LanHeader LanHeader::Decode(const std::uint8_t* in) {
  LanHeader h;
  h.length = readBE32(in);
  h.instrId = readBE32(in + 4);
  h.flags = in[8];
  h.cmdId = in[9];
  h.timeoutSec = static_cast<std::uint16_t>((in[10] << 8) | in[11]);
  h.reserved = readBE32(in + 12);
  return h;
}

LanFrame LanFrame::Text(std::string_view line) {
  LanFrame f;
  f.header_.flags = 0;
  f.header_.length = static_cast<std::uint32_t>(LanHeader::kSize + line.size());
  f.buffer_.assign(LanHeader::kSize + line.size() + 1, 0);  // the NUL rides along uncounted
  std::copy(line.begin(), line.end(), f.buffer_.begin() + LanHeader::kSize);
  return f;
}

LanFrame LanFrame::Binary(std::span<const std::uint8_t> bytes) {
  LanFrame f;
  f.header_.flags = LanHeader::kFlagBinary;
  f.header_.length = static_cast<std::uint32_t>(LanHeader::kSize + bytes.size());
  if (!bytes.empty()) {
    f.buffer_.assign(LanHeader::kSize + bytes.size(), 0);
    std::copy(bytes.begin(), bytes.end(), f.buffer_.begin() + LanHeader::kSize);
  }
  return f;
}

void LanFrame::AssignBinary(std::span<const std::uint8_t> bytes) {
  header_ = LanHeader{};
  header_.flags = LanHeader::kFlagBinary;
  header_.length = static_cast<std::uint32_t>(LanHeader::kSize + bytes.size());
  buffer_.clear();
  if (bytes.empty()) return;
  buffer_.resize(LanHeader::kSize);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

LanFrame LanFrame::Binary(std::string_view bytes) {
  return Binary(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void LanFrame::SetTimeout(int timeoutSec) {
  header_.timeoutSec = static_cast<std::uint16_t>(timeoutSec == 0 ? kDefaultCommandTimeoutSec : timeoutSec);
}

std::span<const std::uint8_t> LanFrame::Finalize() {
  if (buffer_.empty()) return {};
  header_.Encode(buffer_.data());
  return buffer_;
}
