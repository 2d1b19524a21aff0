#include "BroklaLan.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "BroklaConfig.h"
#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"

namespace net = platform::net;

// ---------------------------------------------------------------------------------------
// CBroklaLanMessage

CBroklaLanMessage::CBroklaLanMessage() { m_Wire[0] = kHeaderSize; }

CBroklaLanMessage::Parse CBroklaLanMessage::Assign(std::span<const std::uint8_t> bytes) {
  m_Wire.fill(0);
  m_Wire[0] = kHeaderSize;
  m_nDataLength = 0;
  if (bytes.size() < static_cast<std::size_t>(kHeaderSize)) return Parse::tooSmall;
  const std::size_t length = std::min<std::size_t>(bytes[0], bytes.size());
  if (length < static_cast<std::size_t>(kHeaderSize)) return Parse::badLength;
  std::copy_n(bytes.begin(), length, m_Wire.begin());
  m_Wire[0] = static_cast<std::uint8_t>(length);
  m_nDataLength = static_cast<int>(length) - kHeaderSize;
  return Parse::ok;
}

bool CBroklaLanMessage::SetDataLength(int n) {
  if (n < 0 || n > kMaxDataLength) return false;
  m_nDataLength = n;
  m_Wire[0] = static_cast<std::uint8_t>(n + kHeaderSize);
  return true;
}

std::uint32_t CBroklaLanMessage::GetSequence() const {
  return (static_cast<std::uint32_t>(m_Wire[2]) << 24) | (static_cast<std::uint32_t>(m_Wire[3]) << 16) |
         (static_cast<std::uint32_t>(m_Wire[4]) << 8) | m_Wire[5];
}

void CBroklaLanMessage::SetSequence(std::uint32_t sequence) {
  for (int i = 0; i < 4; ++i) m_Wire[2 + i] = static_cast<std::uint8_t>(sequence >> (24 - 8 * i));
}

std::uint8_t CBroklaLanMessage::GetDataByte(int at) const {
  return at >= 0 && at < m_nDataLength ? m_Wire[static_cast<std::size_t>(kHeaderSize + at)] : 0;
}

std::uint16_t CBroklaLanMessage::GetDataU16(int at) const {
  if (at < 0 || at + 2 > m_nDataLength) return 0;
  return static_cast<std::uint16_t>((GetDataByte(at) << 8) | GetDataByte(at + 1));
}

std::uint32_t CBroklaLanMessage::GetDataU32(int at) const {
  if (at < 0 || at + 4 > m_nDataLength) return 0;
  return (static_cast<std::uint32_t>(GetDataByte(at)) << 24) |
         (static_cast<std::uint32_t>(GetDataByte(at + 1)) << 16) |
         (static_cast<std::uint32_t>(GetDataByte(at + 2)) << 8) | GetDataByte(at + 3);
}

std::string CBroklaLanMessage::GetDataText(int at, std::size_t max) const {
  std::string text;
  for (int i = at; i >= 0 && i < m_nDataLength && text.size() < max; ++i) {
    const char c = static_cast<char>(GetDataByte(i));
    if (c == '\0') break;
    text.push_back(c);
  }
  return text;
}

bool CBroklaLanMessage::SetData(int at, const void* bytes, int n) {
  if (!bytes || at < 0 || n < 0 || at + n > kMaxDataLength) return false;
  std::memcpy(m_Wire.data() + kHeaderSize + at, bytes, static_cast<std::size_t>(n));
  if (at + n > m_nDataLength) SetDataLength(at + n);
  return true;
}

bool CBroklaLanMessage::SetDataU16(int at, std::uint16_t value) {
  const std::uint8_t b[2] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  return SetData(at, b, 2);
}

bool CBroklaLanMessage::SetDataU32(int at, std::uint32_t value) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                             static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  return SetData(at, b, 4);
}

CBroklaLanMessage MakeLanMessage(int type, std::optional<std::uint32_t> address) {
  CBroklaLanMessage m;
  m.SetType(type);
  if (address) m.SetDataU32(0, *address);
  return m;
}

std::string DottedAddress(std::uint32_t a) { return net::formatAddress(a); }

// ---------------------------------------------------------------------------------------
// Sockets

namespace {

// The passive UDP socket of a service name: the services-file port, else the name read
// as a number.
net::Socket OpenPassiveSocket(const char* service, const char* protocol, std::uint32_t address) {
  std::uint16_t port = 0;
  if (const auto p = net::servicePort(service, protocol)) {
    port = *p;
  } else {
    char* end = nullptr;
    const unsigned long n = std::strtoul(service, &end, 10);
    if (end && *end == '\0' && n <= 65535) port = static_cast<std::uint16_t>(n);
  }
  if (port == 0) FatalError("can't get \"%s\" service entry\n", service);
  if (!net::protocolNumber(protocol)) FatalError("can't get \"%s\" protocol entry\n", protocol);
  net::Socket s = net::Socket::create(net::Socket::Type::datagram);
  if (!s) FatalError("can't create socket: %d\n", net::lastError());
  if (!s.bind({address, port})) FatalError("can't bind to %s port: %d\n", service, net::lastError());
  return s;
}

}  // namespace

void CBroklaLan::OpenServer(std::uint32_t listenAddress) {
  m_EventSocket = OpenPassiveSocket(brokla::kEventService, "udp", listenAddress);
  // The identify broadcast goes out from this socket.
  if (!m_EventSocket.setBroadcast(true)) LogError("Unable to allow broadcasts: %d", net::lastError());
  m_nEventPort = m_EventSocket.localEndpoint().value_or(net::Endpoint{}).port;
  // Internal commands only: nobody beyond this machine may send stop, laser or abort.
  m_ControlSocket = OpenPassiveSocket(brokla::kControlService, "udp", net::kLoopbackAddress);
}

void CBroklaLan::Close() {
  m_ControlSocket.close();
  m_EventSocket.close();
}

CBroklaLan::Incoming CBroklaLan::Receive() {
  net::Socket* const sockets[] = {&m_EventSocket, &m_ControlSocket};
  for (;;) {
    const int which = net::Socket::waitAnyReadable(sockets, net::kNoLimit);
    if (which < 0) FatalError("Socket wait failed: %d", net::lastError());
    std::uint8_t buffer[CBroklaLanMessage::kMaxReceive];
    Incoming in;
    in.port = which == 0 ? Port::event : Port::control;
    const auto r = sockets[which]->receiveFrom(buffer, &in.from, std::chrono::milliseconds::zero());
    if (r.error == net::WSAEWOULDBLOCK || r.error == net::WSAETIMEDOUT) continue;
    // Longer datagrams are cut to what is taken of them; errors a peer causes (an
    // unreachable port reported back) are not the service's failure.
    if (!r.ok() && r.error != net::WSAEMSGSIZE) {
      if (r.error == net::WSAECONNREFUSED || r.error == net::WSAECONNRESET ||
          r.error == net::WSAEHOSTUNREACH || r.error == net::WSAENETUNREACH) {
        LogDebug(1, "Recvfrom: error %d", r.error);
        continue;
      }
      FatalError("Recvfrom: error %d", r.error);
    }
    in.bytes = r.bytes;
    in.parse = in.message.Assign({buffer, r.bytes});
    return in;
  }
}

int CBroklaLan::Send(const CBroklaLanMessage& message, const net::Endpoint& to) {
  const auto r = m_EventSocket.sendTo(message.GetWire(), to);
  return r.ok() ? 0 : r.error;
}

void CBroklaLanSender::Open() {
  const auto port = net::servicePort(brokla::kControlService, "udp");
  if (!port) {
    const int e = net::lastError();
    LogError("<CBroklaLan::CBroklaLan()> failed to get 'udp' service information : error = %d", e);
    FatalError("Failed to get udp port service information for '%s': %d", brokla::kControlService, e);
  }
  m_Target = {net::kLoopbackAddress, *port};
  m_Socket = net::Socket::create(net::Socket::Type::datagram);
  if (!m_Socket || !m_Socket.bind({net::kLoopbackAddress, 0}))
    FatalError("Can't create socket: %d", net::lastError());
  m_Local = m_Socket.localEndpoint().value_or(net::Endpoint{});
}

bool CBroklaLanSender::Send(int type, std::optional<std::uint32_t> address) {
  CBroklaLanMessage m = MakeLanMessage(type, address);
  std::lock_guard lock(m_Mutex);
  m.SetSequence(m_nSendCounter++);
  const auto r = m_Socket.sendTo(m.GetWire(), m_Target);
  if (!r.ok()) LogError("Sendto: error %d", r.error);
  return r.ok();
}

// ---------------------------------------------------------------------------------------
// Ports for instruments

std::uint16_t CPortCycle::GetNextPortNum() {
  CRegEdit reg(HKEY_LOCAL_MACHINE, zeva::kBroklaKey);
  if (!m_nBase) {
    const auto base = net::servicePort(brokla::kInstrService, "tcp");
    if (!base) FatalError(" [VREL_SVC] Unable to find %s in services file", brokla::kInstrService);
    m_nBase = *base;
    m_nLast = reg.ReadUInt("NextPortNum", 0u);
    if ((m_nLast & 0xFFFFu) == 0) m_nLast = *m_nBase - 1u;
  }
  const std::uint32_t base = *m_nBase;
  m_nLast = m_nLast + 1;
  // A stored value outside the range (edited, or from another base) starts it again.
  if (m_nLast >= base + 10 || m_nLast < base) m_nLast = base;
  reg.WriteInt("NextPortNum", static_cast<unsigned>(m_nLast));
  return static_cast<std::uint16_t>(m_nLast);
}

// ---------------------------------------------------------------------------------------
// Fatal errors

namespace {
// A fatal message is cut to the 127 characters the service has always logged.
constexpr std::size_t kFatalTextMax = 127;

std::mutex& FatalMutex() {
  static std::mutex m;
  return m;
}
std::function<void()>& FatalCleanup() {
  static std::function<void()> f;
  return f;
}
}  // namespace

void SetFatalCleanup(std::function<void()> cleanup) {
  std::lock_guard lock(FatalMutex());
  FatalCleanup() = std::move(cleanup);
}

void FatalError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatTextV(format, args);
  va_end(args);
  if (text.size() > kFatalTextMax) text.resize(kFatalTextMax);
  LogInfo("%s", text.c_str());
  std::function<void()> cleanup;
  {
    std::lock_guard lock(FatalMutex());
    cleanup = FatalCleanup();
  }
  if (cleanup) cleanup();
  CLogger::Close();
  // Other threads are still running: no static destructors under their feet.
  std::_Exit(1);
}
