#include "BroklaProtocol/BroklaAppMessage.h"

#include <algorithm>
#include <cstring>

CBroklaAppMessage::CBroklaAppMessage() { m_Buffer[0] = kHeaderSize; }

bool CBroklaAppMessage::Assign(std::span<const std::uint8_t> bytes) {
  m_Buffer.fill(0);
  m_Buffer[0] = kHeaderSize;
  if (bytes.size() < static_cast<std::size_t>(kHeaderSize)) return false;
  const std::size_t length = bytes[0];
  if (length < static_cast<std::size_t>(kHeaderSize) || length > bytes.size()) return false;
  std::copy_n(bytes.begin(), length, m_Buffer.begin());
  return true;
}

bool CBroklaAppMessage::SetDataLength(int n) {
  if (n < 0 || n > kMaxDataLength) return false;
  m_Buffer[0] = static_cast<std::uint8_t>(n + kHeaderSize);
  return true;
}

std::uint8_t CBroklaAppMessage::GetDataByte(int offset) const {
  return InData(offset, 1) ? m_Buffer[static_cast<std::size_t>(kHeaderSize + offset)] : 0;
}

bool CBroklaAppMessage::GetData(int offset, void* out, int n) const {
  if (!out || !InData(offset, n)) return false;
  std::memcpy(out, m_Buffer.data() + kHeaderSize + offset, static_cast<std::size_t>(n));
  return true;
}

std::uint16_t CBroklaAppMessage::GetDataU16(int offset) const {
  if (!InData(offset, 2)) return 0;
  const std::uint8_t* p = m_Buffer.data() + kHeaderSize + offset;
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t CBroklaAppMessage::GetDataU32(int offset) const {
  if (!InData(offset, 4)) return 0;
  const std::uint8_t* p = m_Buffer.data() + kHeaderSize + offset;
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool CBroklaAppMessage::SetDataByte(int offset, std::uint8_t value) {
  if (!InRoom(offset, 1)) return false;
  m_Buffer[static_cast<std::size_t>(kHeaderSize + offset)] = value;
  return true;
}

bool CBroklaAppMessage::SetData(int offset, const void* in, int n) {
  if (!in || !InRoom(offset, n)) return false;
  std::memcpy(m_Buffer.data() + kHeaderSize + offset, in, static_cast<std::size_t>(n));
  return true;
}

bool CBroklaAppMessage::SetDataU16(int offset, std::uint16_t value) {
  const std::uint8_t b[2] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
  return SetData(offset, b, 2);
}

bool CBroklaAppMessage::SetDataU32(int offset, std::uint32_t value) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                             static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return SetData(offset, b, 4);
}

namespace brokla {

bool PutInstrumentEntry(CBroklaAppMessage& message, int offset, const InstrumentEntry& entry) {
  if (offset < 0 || offset + kInstrumentEntrySize > CBroklaAppMessage::kMaxDataLength) return false;
  std::uint8_t serial[kSerialNumberSize] = {};
  std::memcpy(serial, entry.serialNumber.data(),
              std::min<std::size_t>(entry.serialNumber.size(), kSerialNumberSize));
  return message.SetDataU32(offset, entry.id) && message.SetDataU32(offset + 4, entry.address) &&
         message.SetDataU16(offset + 8, entry.port) && message.SetDataByte(offset + 10, entry.type) &&
         message.SetData(offset + 11, serial, kSerialNumberSize);
}

std::optional<InstrumentEntry> ParseInstrumentEntry(std::span<const std::uint8_t> bytes) {
  constexpr std::size_t kFixed = 11;
  if (bytes.size() < kFixed) return std::nullopt;
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
  };
  InstrumentEntry e;
  e.id = u32(0);
  e.address = u32(4);
  e.port = static_cast<std::uint16_t>(bytes[8] | (bytes[9] << 8));
  e.type = bytes[10];
  const auto serial = bytes.subspan(kFixed, std::min<std::size_t>(bytes.size() - kFixed, kSerialNumberSize));
  const auto end = std::find(serial.begin(), serial.end(), std::uint8_t{0});
  e.serialNumber.assign(serial.begin(), end);
  return e;
}

}  // namespace brokla
