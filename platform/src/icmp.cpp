#include "platform/icmp.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/net.h"

namespace platform::icmp {

namespace {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kUnreachable = 3;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::size_t kHeaderSize = 8;
// Longest real pause of one poll: the deadline lives on platform::clock(), which a test
// may move, so it is looked at again this often.
constexpr std::chrono::milliseconds kSlice{20};

std::atomic<std::uint16_t> gInstances{0};

std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

std::string errnoText(int e) { return net::errorText(net::errorFromErrno(e)); }

// The ICMP message of a datagram read from the socket: raw sockets deliver the IP header
// in front of it, datagram sockets do not. Empty when the datagram is too short or not IPv4.
std::span<const std::uint8_t> icmpPart(std::span<const std::uint8_t> datagram, bool withIpHeader,
                                       std::uint32_t* source) {
  if (!withIpHeader) return datagram.size() >= kHeaderSize ? datagram : std::span<const std::uint8_t>{};
  if (datagram.size() < 20 || (datagram[0] >> 4) != 4) return {};
  const std::size_t ipHeader = static_cast<std::size_t>(datagram[0] & 0x0F) * 4;
  if (ipHeader < 20 || datagram.size() < ipHeader + kHeaderSize) return {};
  if (source)
    *source = static_cast<std::uint32_t>(datagram[12]) << 24 |
              static_cast<std::uint32_t>(datagram[13]) << 16 | static_cast<std::uint32_t>(datagram[14]) << 8 |
              datagram[15];
  return datagram.subspan(ipHeader);
}

}  // namespace

std::uint16_t checksum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) sum += read16(&bytes[i]);
  if (i < bytes.size()) sum += static_cast<std::uint32_t>(bytes[i]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

std::string errorMessageText(int type, int code) {
  if (type == kUnreachable) {
    static const char* const kCodes[] = {"destination network unreachable",
                                         "destination host unreachable",
                                         "destination protocol unreachable",
                                         "destination port unreachable",
                                         "fragmentation needed",
                                         "source route failed",
                                         "destination network unknown",
                                         "destination host unknown",
                                         "source host isolated",
                                         "destination network prohibited",
                                         "destination host prohibited",
                                         "network unreachable for the type of service",
                                         "host unreachable for the type of service",
                                         "communication administratively prohibited"};
    if (code >= 0 && code < static_cast<int>(std::size(kCodes))) return kCodes[code];
    return "destination unreachable (code " + std::to_string(code) + ")";
  }
  if (type == kTimeExceeded)
    return code == 0 ? "time to live exceeded in transit" : "fragment reassembly time exceeded";
  return "ICMP error type " + std::to_string(type) + " code " + std::to_string(code);
}

Pinger Pinger::open() {
  Pinger p;
  p.buffer_.resize(65536);
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) {
    // ICMP errors about our requests arrive on the error queue instead of being dropped.
    const int on = 1;
    (void)::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    p.fd_ = fd;
    p.kind_ = Kind::datagram;
    return p;
  }
  const int datagramError = errno;
  fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) {
    p.fd_ = fd;
    p.kind_ = Kind::raw;
    p.id_ = static_cast<std::uint16_t>(::getpid() * 31 + gInstances.fetch_add(1));
    return p;
  }
  const int rawError = errno;
  p.whyNot_ = "unprivileged ICMP sockets: " + errnoText(datagramError) +
              " (not allowed for this user's group by net.ipv4.ping_group_range); raw ICMP sockets: " +
              errnoText(rawError) + " (they need CAP_NET_RAW)";
  return p;
}

Pinger::~Pinger() { close(); }

Pinger::Pinger(Pinger&& other) noexcept
    : fd_(other.fd_),
      kind_(other.kind_),
      id_(other.id_),
      sequence_(other.sequence_),
      whyNot_(std::move(other.whyNot_)),
      buffer_(std::move(other.buffer_)) {
  other.fd_ = -1;
  other.kind_ = Kind::none;
}

Pinger& Pinger::operator=(Pinger&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    kind_ = other.kind_;
    id_ = other.id_;
    sequence_ = other.sequence_;
    whyNot_ = std::move(other.whyNot_);
    buffer_ = std::move(other.buffer_);
    other.fd_ = -1;
    other.kind_ = Kind::none;
  }
  return *this;
}

void Pinger::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

EchoResult Pinger::echo(std::uint32_t address, std::span<const std::uint8_t> payload,
                        std::chrono::milliseconds timeout) {
  if (!net::mayReach(address))
    return {EchoStatus::refused, "ZEVA_NET_LOOPBACK_ONLY=1 allows only 127.0.0.0/8"};
  if (!valid()) return {EchoStatus::failed, whyNot_.empty() ? "no ICMP socket" : whyNot_};
  if (payload.size() > 65000) return {EchoStatus::failed, "payload too large"};

  const std::uint16_t sequence = ++sequence_;
  std::vector<std::uint8_t> request(kHeaderSize + payload.size());
  request[0] = kEchoRequest;
  request[4] = static_cast<std::uint8_t>(id_ >> 8);
  request[5] = static_cast<std::uint8_t>(id_);
  request[6] = static_cast<std::uint8_t>(sequence >> 8);
  request[7] = static_cast<std::uint8_t>(sequence);
  if (!payload.empty()) std::memcpy(request.data() + kHeaderSize, payload.data(), payload.size());
  const std::uint16_t sum = checksum(request);
  request[2] = static_cast<std::uint8_t>(sum >> 8);
  request[3] = static_cast<std::uint8_t>(sum);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  for (;;) {
    const ssize_t n =
        ::sendto(fd_, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n >= 0) break;
    if (errno == EINTR) continue;
    return {EchoStatus::failed, errnoText(errno)};
  }

  const bool raw = kind_ == Kind::raw;
  // Whether an ICMP message is about our request: its copy of the request header.
  const auto isOurs = [&](std::span<const std::uint8_t> header) {
    return header.size() >= kHeaderSize && header[0] == kEchoRequest && read16(&header[6]) == sequence &&
           (!raw || read16(&header[4]) == id_);
  };

  const SteadyTime deadline = clock().steadyNow() + timeout;
  for (;;) {
    const SteadyTime now = clock().steadyNow();
    int ms = 0;
    if (now < deadline)
      ms = static_cast<int>(
          std::min(std::chrono::ceil<std::chrono::milliseconds>(deadline - now), kSlice).count());
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, ms);
    if (r < 0 && errno != EINTR) return {EchoStatus::failed, errnoText(errno)};
    if (r > 0 && (p.revents & POLLERR)) {
      // Datagram sockets: an ICMP error (or a local one) about something we sent.
      std::uint8_t original[512];
      alignas(cmsghdr) char control[512];
      iovec io{original, sizeof original};
      msghdr m{};
      m.msg_iov = &io;
      m.msg_iovlen = 1;
      m.msg_control = control;
      m.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(fd_, &m, MSG_ERRQUEUE | MSG_DONTWAIT);
      if (n >= 0) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
          if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
          sock_extended_err err{};
          std::memcpy(&err, CMSG_DATA(c), sizeof err);
          if (!isOurs({original, static_cast<std::size_t>(n)})) continue;
          if (err.ee_origin == SO_EE_ORIGIN_ICMP)
            return {EchoStatus::failed, errorMessageText(err.ee_type, err.ee_code)};
          return {EchoStatus::failed, errnoText(static_cast<int>(err.ee_errno))};
        }
      }
    } else if (r > 0 && (p.revents & POLLIN)) {
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return {EchoStatus::failed, errnoText(errno)};
      std::uint32_t source = ntohl(from.sin_addr.s_addr);
      const auto message = n < 0 ? std::span<const std::uint8_t>{}
                                 : icmpPart({buffer_.data(), static_cast<std::size_t>(n)}, raw, &source);
      if (message.empty()) {
        // not ICMP we can read: passed over
      } else if (message[0] == kEchoReply) {
        if (source == address && read16(&message[6]) == sequence && (!raw || read16(&message[4]) == id_))
          return {EchoStatus::reply, {}};
      } else if (raw && (message[0] == kUnreachable || message[0] == kTimeExceeded)) {
        // The error quotes the IP header and the first 8 bytes of the request.
        const auto quoted = icmpPart(message.subspan(kHeaderSize), true, nullptr);
        if (isOurs(quoted)) return {EchoStatus::failed, errorMessageText(message[0], message[1])};
      }
    }
    if (now >= deadline) return {EchoStatus::timedOut, {}};
  }
}

}  // namespace platform::icmp
