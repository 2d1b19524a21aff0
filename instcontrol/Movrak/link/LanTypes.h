#pragma once
// Records shared by the connection-manager pipe client and the instrument TCP link:
// instrument tables, event interest, the response list and the per-instrument lock
// record.
#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "platform/thread.h"

// One process's registration of interest in an instrument event.
struct CEventInterest {
  int processId = 0;
  std::uint32_t reserved = 0;
};
using CEventInterestList = std::list<CEventInterest>;

inline constexpr int kEventInterestLists = 6;  // one list per event code 0-5

// One instrument as the connection manager lists it.
struct CLanInstrEntry {
  std::uint32_t id = 0;       // the manager's id, also the frame's instrId
  std::uint32_t address = 0;  // IPv4, first octet in the high byte
  std::uint16_t port = 0;     // TCP port of the instrument's command service
  std::uint32_t type = 0;     // the manager's type byte
  std::string serialNumber;   // at most 32 characters
  std::array<CEventInterestList, kEventInterestLists> interest;
};

// An instrument table: the instruments of an enumeration, or the one instrument that a
// command channel locked. The table's address identifies its lock record.
struct CLanInstr {
  std::vector<CLanInstrEntry> entries;

  int Count() const { return static_cast<int>(entries.size()); }
  CLanInstrEntry& First() { return entries.front(); }
  const CLanInstrEntry& First() const { return entries.front(); }
};

// A 32-bit set of event codes: bit n stands for code n.
class EventMask {
 public:
  EventMask() = default;
  explicit EventMask(std::uint32_t bits) : bits_(bits) {}
  void ClearAll() { bits_ = 0; }
  void SetBit(int code) {
    if (code >= 0 && code < 32) bits_ |= 1u << code;
  }
  bool TestBit(int code) const { return code >= 0 && code < 32 && (bits_ & (1u << code)) != 0; }
  std::uint32_t Bits() const { return bits_; }

 private:
  std::uint32_t bits_ = 0;
};

// The 16-byte frame header ahead of every command and response; big-endian on the wire.
struct LanHeader {
  static constexpr std::size_t kSize = 16;
  static constexpr std::uint8_t kCmdId = 0x4B;       // 'K'
  static constexpr std::uint8_t kFlagBinary = 0x01;  // sent: the payload is raw bytes
  static constexpr std::uint8_t kFlagMore = 0x02;    // received: more responses follow

  std::uint32_t length = 0;  // payload + 16
  std::uint32_t instrId = 0;
  std::uint8_t flags = 0;
  std::uint8_t cmdId = kCmdId;
  std::uint16_t timeoutSec = 0;
  std::uint32_t reserved = 0;

  void Encode(std::uint8_t* out) const;
  static LanHeader Decode(const std::uint8_t* in);
};

// One received response: its header and its payload (with one NUL after it, so a text
// payload can be used as a C string).
struct LanResponse {
  LanHeader header;
  std::vector<std::uint8_t> data;
  std::size_t Length() const { return data.empty() ? 0 : data.size() - 1; }
};
using LanResponseList = std::list<LanResponse>;

// What the link keeps per locked instrument table: the lock as this process sees it, and
// the state of a running unblocked command, shared with its response-monitor thread.
struct CLanInstrInfo {
  CLanInstr* instrument = nullptr;  // the table it stands for (the lookup key)
  bool locked = false;              // this process holds the connection manager's lock
  int lockCount = 0;
  int ownerPid = 0;

  std::atomic<int> result{604};  // of the last unblocked command; 601 while it runs
  std::atomic<bool> unblockedBusy{false};
  std::atomic<bool> responsePending{false};
  int timeoutSec = 0;
  LanResponseList* responses = nullptr;  // where the running unblocked command's responses go
  CLanInstr* instrument2 = nullptr;
  platform::Event completion{true, false};  // set when an unblocked command ends
  platform::Event activity{false, false};   // set on each response appended, and at the end
  std::unique_ptr<platform::Thread> monitor;
};
