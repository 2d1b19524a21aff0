#pragma once
// The message of the connection manager's pipes, shared by the application side and the
// manager. On the wire: one length byte (data length + 2), one type byte, the data.
// Multi-byte values inside the data are little-endian.
//
// The length byte is unsigned on both sides, so a message holds at most 253 data bytes.
// A received message is valid only when its length byte is at least 2 and no more than
// the bytes that arrived.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

class CBroklaAppMessage {
 public:
  static constexpr int kHeaderSize = 2;
  static constexpr int kBufferSize = 2056;
  static constexpr int kMaxDataLength = 255 - kHeaderSize;

  CBroklaAppMessage();  // no data, type 0

  // Takes a received message. False (and the message left empty) when `bytes` is not a
  // whole message: fewer than 2 bytes, or a length byte below 2 or beyond bytes.size().
  // Bytes beyond the length byte's count are ignored.
  bool Assign(std::span<const std::uint8_t> bytes);

  std::uint8_t* GetBuffer() { return m_Buffer.data(); }
  const std::uint8_t* GetBuffer() const { return m_Buffer.data(); }
  // The wire bytes: exactly GetTotalLength() of them.
  std::span<const std::uint8_t> GetWire() const {
    return {m_Buffer.data(), static_cast<std::size_t>(GetTotalLength())};
  }

  int GetHeaderSize() const { return m_nHeaderSize; }
  int GetTotalLength() const { return m_Buffer[0]; }
  int GetDataLength() const { return GetTotalLength() - kHeaderSize; }
  // False (nothing changed) for a length outside 0..kMaxDataLength.
  bool SetDataLength(int n);
  int GetType() const { return m_Buffer[1]; }
  void SetType(int type) { m_Buffer[1] = static_cast<std::uint8_t>(type); }

  // Reads stay inside the data the message holds: a byte outside gives 0, a copy that
  // would reach outside copies nothing and answers false.
  std::uint8_t GetDataByte(int offset) const;
  bool GetData(int offset, void* out, int n) const;
  std::uint16_t GetDataU16(int offset) const;
  std::uint32_t GetDataU32(int offset) const;
  // Writes may go anywhere in the first kMaxDataLength data bytes; they do not change
  // the data length.
  bool SetDataByte(int offset, std::uint8_t value);
  bool SetData(int offset, const void* in, int n);
  bool SetDataU16(int offset, std::uint16_t value);
  bool SetDataU32(int offset, std::uint32_t value);

 private:
  bool InData(int offset, int n) const { return offset >= 0 && n >= 0 && offset + n <= GetDataLength(); }
  static bool InRoom(int offset, int n) { return offset >= 0 && n >= 0 && offset + n <= kMaxDataLength; }

  int m_nHeaderSize = kHeaderSize;
  std::array<std::uint8_t, kBufferSize> m_Buffer{};
};

namespace brokla {

// Pipe names.
inline constexpr const char* kAppPipe = "\\\\.\\pipe\\appmon";
inline constexpr const char* kEventPipe = "\\\\.\\pipe\\eventmon";
inline constexpr const char* kInstrThreadPipe = "\\\\.\\pipe\\instr_thread";

// Requests on the application pipe; each reply carries the request's type.
inline constexpr int kMsgHello = 50;
inline constexpr int kMsgEnumerate = 51;
inline constexpr int kMsgLock = 52;
inline constexpr int kMsgStatus = 53;
inline constexpr int kMsgLaserPowerRequest = 54;
inline constexpr int kMsgRemoveLaserTimers = 55;

// Operation byte of a lock request.
inline constexpr std::uint8_t kLockOpUnlock = 0;
inline constexpr std::uint8_t kLockOpLock = 1;
inline constexpr std::uint8_t kLockOpQuery = 2;
inline constexpr std::uint8_t kLockOpForceClear = 3;

// Event codes on the event pipe.
inline constexpr int kEventNewInstrument = 0;
inline constexpr int kEventReboot = 1;
inline constexpr int kEventNewApp = 2;
inline constexpr int kEventLaserPowerChange = 5;
inline constexpr int kEventCmdAbort = 23;

// One instrument as the enumeration reply and the reboot event describe it (43 bytes).
inline constexpr int kInstrumentEntrySize = 43;
inline constexpr int kSerialNumberSize = 32;
inline constexpr int kMaxInstrumentsPerMessage = CBroklaAppMessage::kMaxDataLength / kInstrumentEntrySize;

struct InstrumentEntry {
  std::uint32_t id = 0;
  std::uint32_t address = 0;  // IPv4, first octet in the high byte
  std::uint16_t port = 0;
  std::uint8_t type = 0;
  std::string serialNumber;  // at most 32 characters on the wire
  friend bool operator==(const InstrumentEntry&, const InstrumentEntry&) = default;
};

// Writes the entry's 43 bytes at data offset `offset` (serial number cut to 32 and
// NUL-padded); false when they do not fit.
bool PutInstrumentEntry(CBroklaAppMessage& message, int offset, const InstrumentEntry& entry);
// Reads an entry from raw entry bytes: at least the 11 fixed bytes; the serial number
// runs to its first NUL, the 32-byte field's end or the bytes' end, whichever is first.
std::optional<InstrumentEntry> ParseInstrumentEntry(std::span<const std::uint8_t> bytes);

}  // namespace brokla
