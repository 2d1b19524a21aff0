#pragma once
// The instrument UDP protocol: the datagram, the service's two receiving sockets (the
// instruments' event port and its own control port), the sender of internal commands,
// the TCP ports handed to new instruments, and the fatal-error exit.
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform/net.h"

// Datagram types (names as the log lines spell them).
enum LanMsgType : int {
  NEW_INSTR = 0,
  INSTR_REBOOT = 1,
  STATUS_CHANGE = 3,
  INSTR_IDENTIFY = 4,
  GET_STATUS = 21,
  REFRESH = 22,
  CMD_ABORT = 23,
  SVC_STOP = 24,
  LASER_ON = 25,
  LASER_OFF = 26,
};

// One datagram: length (data + 6), type, sequence number, data; big-endian fields.
class CBroklaLanMessage {
 public:
  static constexpr int kHeaderSize = 6;
  static constexpr int kMaxDataLength = 255 - kHeaderSize;
  // What is taken of one received datagram; the rest is cut.
  static constexpr std::size_t kMaxReceive = 100;

  enum class Parse { ok, tooSmall, badLength };

  CBroklaLanMessage();  // length 6, no data

  // Takes received bytes. The length byte is not trusted: the data runs to
  // min(length byte, bytes received). tooSmall: under 6 bytes; badLength: a length byte
  // below 6. Either leaves the message empty.
  Parse Assign(std::span<const std::uint8_t> bytes);

  std::span<const std::uint8_t> GetWire() const {
    return {m_Wire.data(), static_cast<std::size_t>(kHeaderSize + m_nDataLength)};
  }
  int GetTotalLength() const { return kHeaderSize + m_nDataLength; }
  int GetDataLength() const { return m_nDataLength; }
  bool SetDataLength(int n);
  int GetType() const { return m_Wire[1]; }
  void SetType(int type) { m_Wire[1] = static_cast<std::uint8_t>(type); }
  std::uint32_t GetSequence() const;
  void SetSequence(std::uint32_t sequence);

  // Reads outside the data give 0 (or "").
  std::uint8_t GetDataByte(int at) const;
  std::uint16_t GetDataU16(int at) const;
  std::uint32_t GetDataU32(int at) const;
  // Text from `at` to its NUL or the data's end, cut to `max` characters.
  std::string GetDataText(int at, std::size_t max) const;
  // Writes grow the data length to cover what they wrote.
  bool SetData(int at, const void* bytes, int n);
  bool SetDataU16(int at, std::uint16_t value);
  bool SetDataU32(int at, std::uint32_t value);

 private:
  std::array<std::uint8_t, 256> m_Wire{};
  int m_nDataLength = 0;
};

// A message of `type` whose data is an address (when given), ready to stamp and send.
CBroklaLanMessage MakeLanMessage(int type, std::optional<std::uint32_t> address = std::nullopt);

// "%d.%d.%d.%d" of a host-order address.
std::string DottedAddress(std::uint32_t address);

// The instrument thread's sockets.
class CBroklaLan {
 public:
  enum class Port { event, control };
  struct Incoming {
    Port port = Port::event;
    platform::net::Endpoint from;
    std::size_t bytes = 0;  // received (at most kMaxReceive)
    CBroklaLanMessage::Parse parse = CBroklaLanMessage::Parse::tooSmall;
    CBroklaLanMessage message;
  };

  CBroklaLan() = default;
  CBroklaLan(const CBroklaLan&) = delete;
  CBroklaLan& operator=(const CBroklaLan&) = delete;

  // Binds the event port ("vrelevent") on `listenAddress` with broadcasts allowed, and
  // the control port ("vrelcntrl") on 127.0.0.1 only. Failures are fatal.
  void OpenServer(std::uint32_t listenAddress);
  void Close();
  // Waits for the next datagram on either port.
  Incoming Receive();
  // Sends from the event socket; 0 or the error number (never fatal).
  int Send(const CBroklaLanMessage& message, const platform::net::Endpoint& to);
  std::uint16_t EventPort() const { return m_nEventPort; }

 private:
  platform::net::Socket m_EventSocket;
  platform::net::Socket m_ControlSocket;
  std::uint16_t m_nEventPort = 0;
};

// Internal commands to the instrument thread's control port on 127.0.0.1, from one
// socket shared by every thread of the service; the instrument thread takes control
// datagrams from this socket only.
class CBroklaLanSender {
 public:
  // Binds 127.0.0.1 on a free port and looks up "vrelcntrl". Failures are fatal.
  void Open();
  // Sends `type` with the address as data (when given); false when it could not go.
  bool Send(int type, std::optional<std::uint32_t> address = std::nullopt);
  platform::net::Endpoint LocalEndpoint() const { return m_Local; }

 private:
  std::mutex m_Mutex;
  platform::net::Socket m_Socket;
  platform::net::Endpoint m_Local;
  platform::net::Endpoint m_Target;
  std::uint32_t m_nSendCounter = 0;
};

// The TCP ports handed to new instruments: B ... B+9 in turn ("vrelinstr" is B), the
// last one kept in "NextPortNum" so the cycle goes on across restarts.
class CPortCycle {
 public:
  // The next port; fatal when "vrelinstr" is not in the services file.
  std::uint16_t GetNextPortNum();

 private:
  std::optional<std::uint16_t> m_nBase;
  std::uint32_t m_nLast = 0;
};

// Logs the message (at most 127 characters), runs the clean-up set below, closes the
// log and ends the process with exit code 1.
[[noreturn]] void FatalError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SetFatalCleanup(std::function<void()> cleanup);
