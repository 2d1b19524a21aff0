#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace platform::net {

namespace {

thread_local int t_lastError = 0;

int fail(int code) {
  t_lastError = code;
  return code;
}
int failErrno() { return fail(errorFromErrno(errno)); }

std::mutex& hookMutex() {
  static std::mutex m;
  return m;
}
LogHook& hookSlot() {
  static LogHook hook;
  return hook;
}

void report(const std::string& line) {
  LogHook hook;
  {
    std::lock_guard lock(hookMutex());
    hook = hookSlot();
  }
  if (hook)
    hook(line);
  else
    std::fprintf(stderr, "%s\n", line.c_str());
}

sockaddr_in toSockaddr(const Endpoint& e) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(e.port);
  a.sin_addr.s_addr = htonl(e.address);
  return a;
}

Endpoint fromSockaddr(const sockaddr_in& a) { return {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)}; }

// Longest real pause of one poll while a time-out runs: the deadline lives on
// platform::clock(), which a test may move at will, so it is looked at again this often.
constexpr std::chrono::milliseconds kSlice{20};

// 1: an event of `events` (or an error or hang-up) is pending; 0: time-out; -1: failure.
int waitFd(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd p{fd, events, 0};
  if (timeout < std::chrono::milliseconds::zero()) {
    for (;;) {
      const int r = ::poll(&p, 1, -1);
      if (r > 0) return 1;
      if (r < 0 && errno != EINTR) return -1;
    }
  }
  const SteadyTime deadline = clock().steadyNow() + timeout;
  for (;;) {
    const SteadyTime now = clock().steadyNow();
    int ms = 0;
    if (now < deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
      ms = static_cast<int>(std::min(left, kSlice).count());
    }
    const int r = ::poll(&p, 1, ms);
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) return -1;
    if (now >= deadline) return 0;  // looked once more at the deadline
  }
}

std::chrono::milliseconds remainingUntil(SteadyTime deadline) {
  const SteadyTime now = clock().steadyNow();
  if (now >= deadline) return std::chrono::milliseconds::zero();
  return std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
}

SteadyTime deadlineFor(std::chrono::milliseconds timeout) {
  if (timeout < std::chrono::milliseconds::zero()) return SteadyTime::max();
  return clock().steadyNow() + timeout;
}

std::chrono::milliseconds timeoutFor(SteadyTime deadline) {
  return deadline == SteadyTime::max() ? kNoLimit : remainingUntil(deadline);
}

// One "name port/protocol [aliases] [# comment]" line; nullopt when it does not name
// the service or is malformed.
std::optional<std::uint16_t> matchServicesLine(const std::string& rawLine, std::string_view name,
                                               std::string_view protocol) {
  std::string line = rawLine.substr(0, rawLine.find('#'));
  std::istringstream in(line);
  std::string first, portProto;
  if (!(in >> first >> portProto)) return std::nullopt;
  const auto slash = portProto.find('/');
  if (slash == std::string::npos || slash == 0) return std::nullopt;
  unsigned port = 0;
  const char* begin = portProto.data();
  const char* end = begin + slash;
  const auto [ptr, ec] = std::from_chars(begin, end, port);
  if (ec != std::errc() || ptr != end || port == 0 || port > 65535) return std::nullopt;
  if (!platform::equalsFolded(std::string_view(portProto).substr(slash + 1), protocol)) return std::nullopt;
  bool named = platform::equalsFolded(first, name);
  std::string alias;
  while (!named && in >> alias) named = platform::equalsFolded(alias, name);
  if (!named) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

}  // namespace

int errorFromErrno(int e) {
  switch (e) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAEBADF;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EAGAIN:
      return WSAEWOULDBLOCK;
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
    case EPIPE:  // the peer is gone; the other system reports the same as an abort
      return WSAECONNABORTED;
    case ECONNRESET:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    default:
      return 20000 + e;
  }
}

int lastError() { return t_lastError; }
void setLastError(int code) { t_lastError = code; }

std::string errorText(int code) {
  static const struct {
    int code;
    int errnoValue;
  } table[] = {
      {WSAEINTR, EINTR},
      {WSAEBADF, EBADF},
      {WSAEACCES, EACCES},
      {WSAEFAULT, EFAULT},
      {WSAEINVAL, EINVAL},
      {WSAEMFILE, EMFILE},
      {WSAEWOULDBLOCK, EAGAIN},
      {WSAEINPROGRESS, EINPROGRESS},
      {WSAEALREADY, EALREADY},
      {WSAENOTSOCK, ENOTSOCK},
      {WSAEDESTADDRREQ, EDESTADDRREQ},
      {WSAEMSGSIZE, EMSGSIZE},
      {WSAEPROTOTYPE, EPROTOTYPE},
      {WSAENOPROTOOPT, ENOPROTOOPT},
      {WSAEPROTONOSUPPORT, EPROTONOSUPPORT},
      {WSAEOPNOTSUPP, EOPNOTSUPP},
      {WSAEAFNOSUPPORT, EAFNOSUPPORT},
      {WSAEADDRINUSE, EADDRINUSE},
      {WSAEADDRNOTAVAIL, EADDRNOTAVAIL},
      {WSAENETDOWN, ENETDOWN},
      {WSAENETUNREACH, ENETUNREACH},
      {WSAENETRESET, ENETRESET},
      {WSAECONNABORTED, ECONNABORTED},
      {WSAECONNRESET, ECONNRESET},
      {WSAENOBUFS, ENOBUFS},
      {WSAEISCONN, EISCONN},
      {WSAENOTCONN, ENOTCONN},
      {WSAESHUTDOWN, ESHUTDOWN},
      {WSAETIMEDOUT, ETIMEDOUT},
      {WSAECONNREFUSED, ECONNREFUSED},
      {WSAEHOSTDOWN, EHOSTDOWN},
      {WSAEHOSTUNREACH, EHOSTUNREACH},
  };
  if (code == 0) return "Success";
  if (code == WSAHOST_NOT_FOUND) return "Host not found";
  if (code == WSANO_DATA) return "No address for the name";
  int e = 0;
  for (const auto& t : table)
    if (t.code == code) e = t.errnoValue;
  if (e == 0 && code > 20000) e = code - 20000;
  if (e == 0) return "Unknown error " + std::to_string(code);
  char buffer[256];
  return ::strerror_r(e, buffer, sizeof buffer);
}

std::optional<std::uint32_t> parseAddress(std::string_view dotted) {
  std::uint32_t result = 0;
  std::size_t pos = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (pos >= dotted.size() || dotted[pos] != '.') return std::nullopt;
      ++pos;
    }
    const std::size_t start = pos;
    while (pos < dotted.size() && pos - start < 4 && dotted[pos] >= '0' && dotted[pos] <= '9') ++pos;
    if (pos == start || pos - start > 3) return std::nullopt;
    unsigned value = 0;
    std::from_chars(dotted.data() + start, dotted.data() + pos, value);
    if (value > 255) return std::nullopt;
    result = (result << 8) | value;
  }
  if (pos != dotted.size()) return std::nullopt;
  return result;
}

std::string formatAddress(std::uint32_t a) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", (a >> 24) & 0xFFu, (a >> 16) & 0xFFu, (a >> 8) & 0xFFu,
                a & 0xFFu);
  return buffer;
}

std::string formatEndpoint(const Endpoint& e) {
  return formatAddress(e.address) + ":" + std::to_string(e.port);
}

bool isLoopback(std::uint32_t address) { return (address >> 24) == 127; }

bool loopbackOnly() {
  const char* v = std::getenv("ZEVA_NET_LOOPBACK_ONLY");
  return v && std::string_view(v) == "1";
}

bool mayReach(std::uint32_t address) {
  if (!loopbackOnly() || isLoopback(address)) return true;
  report("net: refused to reach " + formatAddress(address) +
         ": ZEVA_NET_LOOPBACK_ONLY=1 allows only 127.0.0.0/8");
  fail(WSAEACCES);
  return false;
}

LogHook setLogHook(LogHook hook) {
  std::lock_guard lock(hookMutex());
  LogHook previous = std::move(hookSlot());
  hookSlot() = std::move(hook);
  return previous;
}

std::vector<std::string> servicesFiles() {
  std::vector<std::string> files;
  if (const char* file = std::getenv("ZEVA_SERVICES_FILE"); file && *file) files.emplace_back(file);
  registry::Value v;
  if (registry::queryValue(HKEY_LOCAL_MACHINE, kServicesDatabaseKey, kServicesDatabaseValue, v) ==
          registry::kOk &&
      (v.type == REG_SZ || v.type == REG_EXPAND_SZ)) {
    std::string folder(v.data.begin(), v.data.end());
    folder = folder.substr(0, folder.find('\0'));
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!folder.empty()) files.push_back(folder + "/services");
  }
  return files;
}

// A services file is a few hundred lines; anything far larger is not one.
constexpr std::uint64_t kMaxServicesFileBytes = 4u << 20;

std::optional<std::uint16_t> servicePort(std::string_view name, std::string_view protocol) {
  if (name.empty() || protocol.empty()) {
    fail(WSANO_DATA);
    return std::nullopt;
  }
  for (const std::string& file : servicesFiles()) {
    const auto text = readStoredFile(file, kMaxServicesFileBytes);
    if (!text) {
      if (errno != ENOENT) report("net: " + storedFileError(file, errno, kMaxServicesFileBytes));
      continue;
    }
    std::string_view rest = *text;
    while (!rest.empty()) {
      const auto end = rest.find('\n');
      if (auto port = matchServicesLine(std::string(rest.substr(0, end)), name, protocol)) return port;
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
  }
  const std::string n(name), p(protocol);
  servent entry{};
  servent* found = nullptr;
  std::vector<char> buffer(4096);
  while (::getservbyname_r(n.c_str(), p.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (!found) {
    fail(WSANO_DATA);
    return std::nullopt;
  }
  return ntohs(static_cast<std::uint16_t>(found->s_port));
}

std::optional<int> protocolNumber(std::string_view name) {
  const std::string n(name);
  protoent entry{};
  protoent* found = nullptr;
  std::vector<char> buffer(1024);
  while (::getprotobyname_r(n.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 16))
    buffer.resize(buffer.size() * 2);
  if (found) return found->p_proto;
  // A system without the protocols file still knows these two.
  if (platform::equalsFolded(name, "tcp")) return IPPROTO_TCP;
  if (platform::equalsFolded(name, "udp")) return IPPROTO_UDP;
  fail(WSANO_DATA);
  return std::nullopt;
}

std::string hostName() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) {
    failErrno();
    return {};
  }
  return buffer;
}

std::optional<std::uint32_t> resolveHost(std::string_view name) {
  if (auto a = parseAddress(name)) return a;
  if (name.empty()) {
    fail(WSAHOST_NOT_FOUND);
    return std::nullopt;
  }
  // A name lookup may ask a name server, which is a packet beyond loopback: under the
  // guard only this machine's own names are resolved, to loopback.
  if (loopbackOnly()) {
    if (platform::equalsFolded(name, "localhost") || platform::equalsFolded(name, hostName()))
      return kLoopbackAddress;
    report("net: refused to look up \"" + std::string(name) + "\": ZEVA_NET_LOOPBACK_ONLY=1");
    fail(WSAHOST_NOT_FOUND);
    return std::nullopt;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  const std::string n(name);
  if (::getaddrinfo(n.c_str(), nullptr, &hints, &list) != 0 || !list) {
    fail(WSAHOST_NOT_FOUND);
    return std::nullopt;
  }
  std::optional<std::uint32_t> result;
  for (addrinfo* p = list; p && !result; p = p->ai_next)
    if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in))
      result = ntohl(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(list);
  if (!result) fail(WSANO_DATA);
  return result;
}

// ---------------------------------------------------------------------------------------
// Socket. Descriptors stay non-blocking; every wait is a poll bounded by the time-out.

Socket::~Socket() { close(); }

Socket::Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Socket Socket::create(Type type) {
  const int kind = (type == Type::stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC;
  const int fd = ::socket(AF_INET, kind, 0);
  if (fd < 0) failErrno();
  return Socket(fd);
}

void Socket::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool Socket::connect(const Endpoint& to, std::chrono::milliseconds timeout) {
  if (!valid()) return fail(WSAENOTSOCK), false;
  if (!mayReach(to.address)) return false;
  const sockaddr_in a = toSockaddr(to);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return failErrno(), false;
  const int w = waitFd(fd_, POLLOUT, timeout);
  if (w == 0) return fail(WSAETIMEDOUT), false;
  if (w < 0) return failErrno(), false;
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return failErrno(), false;
  if (error != 0) return fail(errorFromErrno(error)), false;
  return true;
}

bool Socket::bind(const Endpoint& local) {
  if (!valid()) return fail(WSAENOTSOCK), false;
  const sockaddr_in a = toSockaddr(local);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return failErrno(), false;
  return true;
}

bool Socket::listen(int backlog) {
  if (!valid()) return fail(WSAENOTSOCK), false;
  if (::listen(fd_, backlog) != 0) return failErrno(), false;
  return true;
}

Socket Socket::accept(std::chrono::milliseconds timeout, Endpoint* peer) {
  if (!valid()) return fail(WSAENOTSOCK), Socket();
  const SteadyTime deadline = deadlineFor(timeout);
  for (;;) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      if (peer) *peer = fromSockaddr(a);
      return Socket(fd);
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN) return failErrno(), Socket();
    const int w = waitFd(fd_, POLLIN, timeoutFor(deadline));
    if (w == 0) return fail(WSAETIMEDOUT), Socket();
    if (w < 0) return failErrno(), Socket();
    // A shut-down listener reports readiness and then fails the accept: that ends us.
  }
}

std::optional<Endpoint> Socket::localEndpoint() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (!valid() || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    failErrno();
    return std::nullopt;
  }
  return fromSockaddr(a);
}

std::optional<Endpoint> Socket::peerEndpoint() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (!valid() || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    failErrno();
    return std::nullopt;
  }
  return fromSockaddr(a);
}

namespace {
bool setIntOption(int fd, int level, int name, int value) {
  if (::setsockopt(fd, level, name, &value, sizeof value) != 0) return failErrno(), false;
  return true;
}
}  // namespace

bool Socket::setReuseAddress(bool on) { return setIntOption(fd_, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }
bool Socket::setBroadcast(bool on) { return setIntOption(fd_, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }
bool Socket::setNoDelay(bool on) { return setIntOption(fd_, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

Wait Socket::waitReadable(std::chrono::milliseconds timeout) {
  if (!valid()) return fail(WSAENOTSOCK), Wait::failed;
  const int w = waitFd(fd_, POLLIN, timeout);
  if (w < 0) return failErrno(), Wait::failed;
  return w > 0 ? Wait::ready : Wait::timedOut;
}

Wait Socket::waitWritable(std::chrono::milliseconds timeout) {
  if (!valid()) return fail(WSAENOTSOCK), Wait::failed;
  const int w = waitFd(fd_, POLLOUT, timeout);
  if (w < 0) return failErrno(), Wait::failed;
  return w > 0 ? Wait::ready : Wait::timedOut;
}

std::size_t Socket::available() const {
  int n = 0;
  if (!valid() || ::ioctl(fd_, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<std::size_t>(n);
}

IoResult Socket::send(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout) {
  IoResult result;
  if (!valid()) return {0, fail(WSAENOTSOCK)};
  const SteadyTime deadline = deadlineFor(timeout);
  while (result.bytes < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + result.bytes, bytes.size() - result.bytes, MSG_NOSIGNAL);
    if (n > 0) {
      result.bytes += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      result.error = failErrno();
      return result;
    }
    const int w = waitFd(fd_, POLLOUT, timeoutFor(deadline));
    if (w == 0) {
      result.error = fail(WSAETIMEDOUT);
      return result;
    }
    if (w < 0) {
      result.error = failErrno();
      return result;
    }
  }
  return result;
}

IoResult Socket::receive(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
  if (!valid()) return {0, fail(WSAENOTSOCK)};
  if (buffer.empty()) return {};
  const SteadyTime deadline = deadlineFor(timeout);
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n >= 0) return {static_cast<std::size_t>(n), 0};
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return {0, failErrno()};
    const int w = waitFd(fd_, POLLIN, timeoutFor(deadline));
    if (w == 0) return {0, fail(WSAETIMEDOUT)};
    if (w < 0) return {0, failErrno()};
  }
}

bool Socket::shutdown() {
  if (!valid()) return fail(WSAENOTSOCK), false;
  if (::shutdown(fd_, SHUT_RDWR) != 0 && errno != ENOTCONN) return failErrno(), false;
  return true;
}

IoResult Socket::sendTo(std::span<const std::uint8_t> bytes, const Endpoint& to) {
  if (!valid()) return {0, fail(WSAENOTSOCK)};
  if (!mayReach(to.address)) return {0, WSAEACCES};
  const sockaddr_in a = toSockaddr(to);
  for (;;) {
    const ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&a), sizeof a);
    if (n >= 0) return {static_cast<std::size_t>(n), 0};
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return {0, failErrno()};
    if (waitFd(fd_, POLLOUT, kNoLimit) < 0) return {0, failErrno()};
  }
}

IoResult Socket::receiveFrom(std::span<std::uint8_t> buffer, Endpoint* from,
                             std::chrono::milliseconds timeout) {
  if (!valid()) return {0, fail(WSAENOTSOCK)};
  const SteadyTime deadline = deadlineFor(timeout);
  for (;;) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    const ssize_t n =
        ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&a), &len);
    if (n >= 0) {
      if (from) *from = fromSockaddr(a);
      const auto size = static_cast<std::size_t>(n);
      if (size > buffer.size()) return {buffer.size(), fail(WSAEMSGSIZE)};
      return {size, 0};
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return {0, failErrno()};
    const int w = waitFd(fd_, POLLIN, timeoutFor(deadline));
    if (w == 0) return {0, fail(WSAETIMEDOUT)};
    if (w < 0) return {0, failErrno()};
  }
}

int Socket::waitAnyReadable(std::span<Socket* const> sockets, std::chrono::milliseconds timeout) {
  std::vector<pollfd> fds;
  fds.reserve(sockets.size());
  for (Socket* s : sockets) fds.push_back({s && s->valid() ? s->fd_ : -1, POLLIN, 0});
  const SteadyTime deadline = deadlineFor(timeout);
  for (;;) {
    const bool last = deadline != SteadyTime::max() && clock().steadyNow() >= deadline;
    const int ms = deadline == SteadyTime::max()
                       ? -1
                       : static_cast<int>(std::min(remainingUntil(deadline), kSlice).count());
    const int r = ::poll(fds.data(), fds.size(), ms);
    if (r < 0 && errno != EINTR) return failErrno(), -2;
    if (r > 0)
      for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents) return static_cast<int>(i);
    if (last) return -1;
  }
}

}  // namespace platform::net
