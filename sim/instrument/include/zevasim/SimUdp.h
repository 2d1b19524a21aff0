#pragma once
// The simulated instrument's UDP side: what the scanner's controller says to the
// connection manager and how it answers. It announces itself (NEW_INSTR) and learns its
// TCP command port from the reply, reports soft boots and status changes, answers
// identify requests, and records every datagram it receives (abort and laser requests,
// replies). Tests steer the sequence numbers and may send raw bytes.
//
// Datagrams: one length byte (data length + 6), one type byte, a 4-byte sequence number,
// the data; multi-byte fields big-endian. Loopback only: it binds its own 127.x.y.z
// address on the event port ("vrelevent") and talks to the manager on the same port.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/net.h"

namespace zevasim {

namespace udp {
inline constexpr std::uint8_t kNewInstr = 0;
inline constexpr std::uint8_t kInstrReboot = 1;
inline constexpr std::uint8_t kStatusChange = 3;
inline constexpr std::uint8_t kInstrIdentify = 4;
inline constexpr std::uint8_t kCmdAbort = 23;
inline constexpr std::uint8_t kLaserOn = 25;
inline constexpr std::uint8_t kLaserOff = 26;
inline constexpr std::size_t kHeaderSize = 6;

// The wire bytes of one datagram (the length byte says data + 6, cut to 255).
std::vector<std::uint8_t> encode(std::uint8_t type, std::uint32_t sequence,
                                 std::span<const std::uint8_t> data = {});
}  // namespace udp

struct Datagram {
  std::uint8_t type = 0;
  std::uint32_t sequence = 0;
  std::vector<std::uint8_t> data;  // what the length byte and the bytes received allow
  std::vector<std::uint8_t> raw;   // as received
  platform::net::Endpoint from;
  // Big-endian fields of the data (0 when the data is too short).
  std::uint16_t dataU16(std::size_t at) const;
  std::uint32_t dataU32(std::size_t at) const;
};

struct UdpOptions {
  std::uint32_t address = 0x7F000002;         // the instrument's own, in 127.0.0.0/8
  std::uint16_t eventPort = 0;                // 0: "vrelevent"/"udp" from the services file
  std::uint32_t managerAddress = 0x7F000001;  // where it announces itself
  std::string serialNumber = "ZS000001";
  std::uint8_t type = 1;
  std::uint16_t commStatus = 0;
  std::uint8_t laserState = 0;
  std::uint16_t tcpPort = 0;        // reported in identify replies until the manager assigns one
  bool answerIdentify = true;       // answer INSTR_IDENTIFY requests
  bool reportLaserChanges = false;  // after LASER_ON / LASER_OFF, send a STATUS_CHANGE
};

class UdpSide {
 public:
  using PortListener = std::function<void(std::uint16_t port)>;

  explicit UdpSide(UdpOptions options = {});
  ~UdpSide();
  UdpSide(const UdpSide&) = delete;
  UdpSide& operator=(const UdpSide&) = delete;

  // Binds address:eventPort and starts answering; false (and why on stderr) when the
  // address is not loopback or the port cannot be had.
  bool start();
  void stop();
  std::uint32_t address() const { return options_.address; }
  std::uint16_t eventPort() const;

  // Datagrams to the manager, each stamped with the next sequence number. The
  // announcement is what a fresh boot sends: the numbering starts again at 0 with it.
  bool announce();
  bool sendReboot();
  bool sendStatusChange(std::uint16_t comm, std::uint8_t laser);
  bool sendIdentifyReply();
  // What the controller says after a soft boot: where it serves now (an identify reply
  // with `tcpPort`, which the manager takes over when it differs from what it had), then
  // INSTR_REBOOT (the manager answers with the port and tells the lock owner).
  bool reportReboot(std::uint16_t tcpPort);
  // Bytes exactly as given (no stamping), to the manager or elsewhere on loopback.
  bool sendRaw(std::span<const std::uint8_t> bytes);
  bool sendRaw(std::span<const std::uint8_t> bytes, const platform::net::Endpoint& to);
  void setNextSequence(std::uint32_t sequence);
  std::uint32_t nextSequence() const;

  void setAnswerIdentify(bool on);
  void setStatus(std::uint16_t comm, std::uint8_t laser);
  std::uint8_t laserState() const;
  std::uint16_t commStatus() const;

  // The TCP port of the manager's last NEW_INSTR or INSTR_REBOOT reply; the listener
  // hears every assignment (on the receiving thread).
  std::optional<std::uint16_t> assignedPort() const;
  void setPortListener(PortListener listener);

  // What arrived, in order; the waits are bounded in real time.
  std::vector<Datagram> received() const;
  std::vector<Datagram> received(std::uint8_t type) const;
  bool waitForReceived(std::uint8_t type, std::size_t n,
                       std::chrono::milliseconds realTimeout = std::chrono::seconds(10)) const;

 private:
  struct State;
  UdpOptions options_;
  std::unique_ptr<State> state_;
};

}  // namespace zevasim
