#pragma once
// IPv4 TCP and UDP sockets with time-outs measured on platform::clock(), error numbers
// in the WinSock numbering that the system's log lines print, the services database
// (a file of our own first), and the loopback-only guard.
//
// Loopback-only guard: when ZEVA_NET_LOOPBACK_ONLY=1 is set, connect() and sendTo()
// refuse every destination outside 127.0.0.0/8 (error WSAEACCES), and the refusal is
// reported through the log hook. Tests, CI and the demo set it, so that no packet of
// theirs ever leaves the machine.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::net {

// Error numbers, WinSock numbering (errno values are mapped onto them).
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;  // also the "no socket" marker of the instrument link
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSANO_DATA = 11004;

// errno -> the number above (EAGAIN -> WSAEWOULDBLOCK, EPIPE -> WSAECONNABORTED: the
// peer is gone, ...). 0 stays 0; an errno without a counterpart gives 20000 + errno (clear of
// the WinSock range), so nothing is lost in a log line.
int errorFromErrno(int e);
// The last error of a failed call of this module on the calling thread.
int lastError();
void setLastError(int code);
// A readable text for a number of this module ("Connection reset by peer" ...).
std::string errorText(int code);

// No limit for a time-out.
inline constexpr std::chrono::milliseconds kNoLimit{-1};

// IPv4 address in host order: the first octet is the high byte.
inline constexpr std::uint32_t kAnyAddress = 0;
inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001;

struct Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// "a.b.c.d" with four decimal octets 0-255, nothing else.
std::optional<std::uint32_t> parseAddress(std::string_view dotted);
std::string formatAddress(std::uint32_t address);
std::string formatEndpoint(const Endpoint& e);  // "a.b.c.d:port"
bool isLoopback(std::uint32_t address);         // 127.0.0.0/8

// ZEVA_NET_LOOPBACK_ONLY=1 (read on every call, so a test may set it).
bool loopbackOnly();
// True when a packet may go to `address`. Otherwise reports the refusal through the log
// hook, sets lastError() to WSAEACCES and returns false.
[[nodiscard]] bool mayReach(std::uint32_t address);

// Where the module's own reports go (the loopback refusal). Empty: stderr.
using LogHook = std::function<void(const std::string& line)>;
LogHook setLogHook(LogHook hook);

// Where an installation keeps its services file: the folder named by this registry value
// (HKEY_LOCAL_MACHINE) holds a file "services" (the /etc/services format). The first-run
// step of an installation writes it.
inline constexpr const char* kServicesDatabaseKey = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
inline constexpr const char* kServicesDatabaseValue = "DataBasePath";

// The services files servicePort() reads before the system's database, in order: the file
// named by $ZEVA_SERVICES_FILE, then "services" in the registry's DataBasePath folder
// (each only when set).
std::vector<std::string> servicesFiles();
// Port of a service by name and protocol ("tcp", "udp"), in host order: the first of
// servicesFiles() that has it, then the system's database (/etc/services).
std::optional<std::uint16_t> servicePort(std::string_view name, std::string_view protocol);
// Protocol number by name ("tcp" 6, "udp" 17), from the system's database.
std::optional<int> protocolNumber(std::string_view name);
// This machine's host name, and the first IPv4 address of a host name (dotted addresses
// are taken as they are).
std::string hostName();
std::optional<std::uint32_t> resolveHost(std::string_view name);

enum class Wait { ready, timedOut, failed };

// Result of a transfer: bytes moved, and 0 or the error number. A stream receive of 0
// bytes with no error means the peer closed its side.
struct IoResult {
  std::size_t bytes = 0;
  int error = 0;
  bool ok() const { return error == 0; }
};

// One IPv4 socket (move-only, closed by its destructor). Every call that fails sets
// lastError(). Time-outs run on platform::clock(); kNoLimit waits without one. A
// time-out of 0 only looks.
class Socket {
 public:
  enum class Type { stream, datagram };

  Socket() = default;
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // A new socket; not valid() on failure.
  [[nodiscard]] static Socket create(Type type);

  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int fd() const { return fd_; }
  void close();

  // Connects within the time-out (refused by the loopback guard, WSAEACCES). A stream
  // socket that failed to connect must not be reused: make a new one.
  [[nodiscard]] bool connect(const Endpoint& to, std::chrono::milliseconds timeout = kNoLimit);
  [[nodiscard]] bool bind(const Endpoint& local);
  [[nodiscard]] bool listen(int backlog);
  // An accepted connection, or an invalid socket on time-out (WSAETIMEDOUT) or failure.
  [[nodiscard]] Socket accept(std::chrono::milliseconds timeout = kNoLimit, Endpoint* peer = nullptr);
  std::optional<Endpoint> localEndpoint() const;
  std::optional<Endpoint> peerEndpoint() const;

  [[nodiscard]] bool setReuseAddress(bool on);
  [[nodiscard]] bool setBroadcast(bool on);
  [[nodiscard]] bool setNoDelay(bool on);

  // Waits until a receive would not block (data, end of stream or an error is pending).
  [[nodiscard]] Wait waitReadable(std::chrono::milliseconds timeout);
  [[nodiscard]] Wait waitWritable(std::chrono::milliseconds timeout);
  // Bytes that can be received at once.
  std::size_t available() const;

  // Stream: sends every byte (WSAETIMEDOUT when the time-out ends first; bytes tells how
  // many went). Never raises SIGPIPE.
  [[nodiscard]] IoResult send(std::span<const std::uint8_t> bytes,
                              std::chrono::milliseconds timeout = kNoLimit);
  // Stream: receives at least one byte and at most buffer.size() once something is there.
  [[nodiscard]] IoResult receive(std::span<std::uint8_t> buffer,
                                 std::chrono::milliseconds timeout = kNoLimit);
  // Ends both directions; wakes a thread waiting on a connected socket (it sees the end).
  // An unconnected datagram socket has nothing to shut down and wakes nobody: send it a
  // datagram of its own to wake its reader.
  [[nodiscard]] bool shutdown();

  // Datagram: one datagram (refused by the loopback guard, WSAEACCES).
  [[nodiscard]] IoResult sendTo(std::span<const std::uint8_t> bytes, const Endpoint& to);
  // Datagram: one datagram, cut to the buffer (WSAEMSGSIZE with the cut bytes).
  [[nodiscard]] IoResult receiveFrom(std::span<std::uint8_t> buffer, Endpoint* from,
                                     std::chrono::milliseconds timeout = kNoLimit);

  // Waits until any of `sockets` could receive without blocking; its index, -1 on
  // time-out, -2 on failure (lastError()). Invalid sockets are never ready.
  [[nodiscard]] static int waitAnyReadable(std::span<Socket* const> sockets,
                                           std::chrono::milliseconds timeout);

 private:
  explicit Socket(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace platform::net
