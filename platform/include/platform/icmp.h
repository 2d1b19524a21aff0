#pragma once
// ICMP echo (ping) over IPv4. An unprivileged ICMP datagram socket where the system allows
// it for this user's group (net.ipv4.ping_group_range), else a raw socket (needs
// CAP_NET_RAW), else no pinger at all, with the reason. Waits run on platform::clock().
//
// The loopback-only guard of the net layer applies: with ZEVA_NET_LOOPBACK_ONLY=1 an echo
// to an address outside 127.0.0.0/8 is refused (and reported through the net log hook)
// before anything is sent.
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace platform::icmp {

enum class EchoStatus {
  reply,     // the echo reply arrived
  timedOut,  // nothing came back in time
  failed,    // the request could not be sent, or an ICMP error (unreachable ...) came back
  refused,   // the loopback-only guard stopped it; nothing was sent
};

struct EchoResult {
  EchoStatus status = EchoStatus::failed;
  std::string text;  // for failed and refused: what went wrong, in words
};

class Pinger {
 public:
  enum class Kind { none, datagram, raw };

  // Opens the best socket this process may have; kind() none when it may have neither.
  static Pinger open();

  Pinger() = default;
  ~Pinger();
  Pinger(Pinger&& other) noexcept;
  Pinger& operator=(Pinger&& other) noexcept;
  Pinger(const Pinger&) = delete;
  Pinger& operator=(const Pinger&) = delete;

  Kind kind() const { return kind_; }
  bool valid() const { return fd_ >= 0; }
  // Why open() found no socket (both attempts' errors), empty otherwise.
  const std::string& whyNot() const { return whyNot_; }

  // One echo request with `payload` to `address` (host order), waiting at most `timeout`
  // for its reply. Replies to earlier requests and other traffic are passed over.
  EchoResult echo(std::uint32_t address, std::span<const std::uint8_t> payload,
                  std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
  Kind kind_ = Kind::none;
  std::uint16_t id_ = 0;  // raw sockets only; the kernel picks it for datagram ones
  std::uint16_t sequence_ = 0;
  std::string whyNot_;
  std::vector<std::uint8_t> buffer_;  // room for any datagram, so that no reply is cut
  void close();
};

// The standard Internet checksum of `bytes` (the ICMP header's).
std::uint16_t checksum(std::span<const std::uint8_t> bytes);
// "destination host unreachable" ... for an ICMP error type and code.
std::string errorMessageText(int type, int code);

}  // namespace platform::icmp
