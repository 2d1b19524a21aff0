#pragma once
// Helpers the device classes share: text formatting, the command exchange on the
// channel, the raw status readers, the command time-out scope and the data folder.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Jotwell/Utilities.h"
#include "link/LanComm.h"

class CScanDataPort;

namespace movrak {

// Holds the data port's access lock for a scope (12010 when it cannot be had): what writes
// the shared SPI word and fires its trigger must not interleave with another such write.
class PortAccess {
 public:
  explicit PortAccess(CScanDataPort& port);
  ~PortAccess();
  PortAccess(const PortAccess&) = delete;
  PortAccess& operator=(const PortAccess&) = delete;

 private:
  CScanDataPort& port_;
};

inline constexpr int kErrUnknown = 512;  // "Unknown error occurred." (a reply that makes no sense)

// The scanner's own registry values (HKEY_LOCAL_MACHINE).

// Sends `line` and reads its reply through the channel's reply reader: the result is the
// link's error, else the translated status; `rest` gets what follows the status.
int Exchange(CLanComm& comm, const std::string& line, std::string* rest = nullptr);
// Sends raw bytes (binary parameters after a line) and reads the reply the same way.
int ExchangeBinary(CLanComm& comm, const std::string& bytes, std::string* rest = nullptr);

// Reads up to `max` characters of the kept reply and takes the hexadecimal status at
// its start, translated by the channel (its owner's translation) when not 0.
// A link error is the result; a reply without a status gives 512.
int ReadRawStatus(CLanComm& comm, int max, std::string* text = nullptr);
// Reads exactly `count` bytes of the kept reply; 0, a link error, or 603 when fewer came.
int ReadRawBytes(CLanComm& comm, std::uint8_t* buffer, int count);

// A 32-bit controller value read as hexadecimal, as its signed pattern ("FFFFFFFF" = -1).
std::optional<std::int32_t> ParseHex32(std::string_view text);
// A whole blank-free token: no blanks, control characters or DEL, not empty.
bool IsSingleToken(const char* text);
bool HasControlCharacters(const char* text);

// Replaces the channel's time-out for a scope.
class CTimeoutScope {
 public:
  CTimeoutScope(CLanComm& comm, int timeoutMs) : comm_(comm), previous_(comm.SetTimeout(timeoutMs)) {}
  ~CTimeoutScope() { comm_.SetTimeout(previous_); }
  CTimeoutScope(const CTimeoutScope&) = delete;
  CTimeoutScope& operator=(const CTimeoutScope&) = delete;

 private:
  CLanComm& comm_;
  int previous_;
};

// Writes `contents` to `path` so that the old file stays whole when it fails.
bool WriteWholeFile(const std::string& path, std::string_view contents);

}  // namespace movrak
