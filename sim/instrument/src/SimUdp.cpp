#include "zevasim/SimUdp.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace zevasim {

namespace net = platform::net;

namespace udp {

std::vector<std::uint8_t> encode(std::uint8_t type, std::uint32_t sequence,
                                 std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> bytes(kHeaderSize + data.size());
  bytes[0] = static_cast<std::uint8_t>(std::min<std::size_t>(bytes.size(), 255));
  bytes[1] = type;
  for (int i = 0; i < 4; ++i) bytes[2 + i] = static_cast<std::uint8_t>(sequence >> (24 - 8 * i));
  std::copy(data.begin(), data.end(), bytes.begin() + kHeaderSize);
  return bytes;
}

}  // namespace udp

std::uint16_t Datagram::dataU16(std::size_t at) const {
  if (at + 2 > data.size()) return 0;
  return static_cast<std::uint16_t>((data[at] << 8) | data[at + 1]);
}

std::uint32_t Datagram::dataU32(std::size_t at) const {
  if (at + 4 > data.size()) return 0;
  return (static_cast<std::uint32_t>(data[at]) << 24) | (static_cast<std::uint32_t>(data[at + 1]) << 16) |
         (static_cast<std::uint32_t>(data[at + 2]) << 8) | data[at + 3];
}

struct UdpSide::State {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  net::Socket socket;
  std::thread thread;
  bool stopping = false;
  std::uint16_t port = 0;
  std::uint32_t sequence = 0;
  std::uint16_t comm = 0;
  std::uint8_t laser = 0;
  bool answerIdentify = true;
  std::optional<std::uint16_t> assigned;
  std::optional<std::uint16_t> serving;  // set by a reboot: the port it serves from then on
  PortListener portListener;
  std::vector<Datagram> received;
};

UdpSide::UdpSide(UdpOptions options) : options_(std::move(options)), state_(std::make_unique<State>()) {
  state_->comm = options_.commStatus;
  state_->laser = options_.laserState;
  state_->answerIdentify = options_.answerIdentify;
}

UdpSide::~UdpSide() { stop(); }

std::uint16_t UdpSide::eventPort() const {
  std::lock_guard lock(state_->mutex);
  return state_->port;
}

bool UdpSide::start() {
  State& s = *state_;
  if (!net::isLoopback(options_.address) || !net::isLoopback(options_.managerAddress)) {
    std::fprintf(stderr, "zevasim: the UDP side talks on loopback (127.0.0.0/8) only\n");
    return false;
  }
  std::uint16_t port = options_.eventPort;
  if (port == 0) {
    const auto p = net::servicePort("vrelevent", "udp");
    if (!p) {
      std::fprintf(stderr, "zevasim: no \"vrelevent\" udp port in the services file\n");
      return false;
    }
    port = *p;
  }
  s.socket = net::Socket::create(net::Socket::Type::datagram);
  if (!s.socket || !s.socket.bind({options_.address, port})) {
    std::fprintf(stderr, "zevasim: cannot bind %s:%u: %s\n", net::formatAddress(options_.address).c_str(),
                 static_cast<unsigned>(port), net::errorText(net::lastError()).c_str());
    s.socket.close();
    return false;
  }
  {
    std::lock_guard lock(s.mutex);
    s.port = port;
    s.stopping = false;
  }
  s.thread = std::thread([this] {
    State& st = *state_;
    std::vector<std::uint8_t> buffer(2048);
    for (;;) {
      net::Endpoint from;
      const auto r = st.socket.receiveFrom(buffer, &from, net::kNoLimit);
      {
        std::lock_guard lock(st.mutex);
        if (st.stopping) return;
      }
      if (!r.ok() && r.error != net::WSAEMSGSIZE) continue;
      Datagram d;
      d.raw.assign(buffer.begin(), buffer.begin() + static_cast<long>(r.bytes));
      d.from = from;
      if (d.raw.size() >= 2) d.type = d.raw[1];
      if (d.raw.size() >= udp::kHeaderSize) {
        for (int i = 0; i < 4; ++i) d.sequence = (d.sequence << 8) | d.raw[2 + i];
        const std::size_t end = std::min<std::size_t>(d.raw[0], d.raw.size());
        if (end > udp::kHeaderSize)
          d.data.assign(d.raw.begin() + udp::kHeaderSize, d.raw.begin() + static_cast<long>(end));
      }

      bool answer = false, report = false;
      PortListener listener;
      std::optional<std::uint16_t> port;
      {
        std::lock_guard lock(st.mutex);
        switch (d.raw.size() >= udp::kHeaderSize ? d.type : 0xFF) {
          case udp::kNewInstr:
          case udp::kInstrReboot:
            if (d.data.size() >= 2) {
              port = d.dataU16(0);
              st.assigned = port;
              listener = st.portListener;
            }
            break;
          case udp::kInstrIdentify:
            answer = st.answerIdentify;
            break;
          case udp::kLaserOn:
          case udp::kLaserOff:
            st.laser = d.type == udp::kLaserOn ? 1 : 0;
            report = options_.reportLaserChanges;
            break;
          default:
            break;
        }
      }
      // Recorded once its effects are out, so that a test that saw it sees them too.
      if (listener && port) listener(*port);
      if (answer) sendIdentifyReply();
      if (report) sendStatusChange(commStatus(), laserState());
      {
        std::lock_guard lock(st.mutex);
        st.received.push_back(std::move(d));
      }
      st.changed.notify_all();
    }
  });
  return true;
}

void UdpSide::stop() {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (!s.thread.joinable()) return;
    s.stopping = true;
  }
  // Wakes the receiving thread with an empty datagram to itself (shutting a datagram
  // socket down does not end a wait on it).
  if (const net::IoResult woken = s.socket.sendTo({}, {options_.address, s.port}); !woken.ok())
    std::fprintf(stderr, "simulated instrument: its datagram thread cannot be woken to stop: %s\n",
                 net::errorText(woken.error).c_str());
  s.thread.join();
  s.socket.close();
}

namespace {
// Numbered datagrams are stamped and sent under the state's lock, so that they leave in
// the order of their numbers whichever thread sends: the manager drops one numbered
// below one it has taken as a repeat, and its status (the identify answer) must not
// overtake the status change it follows.
bool sendTo(net::Socket& socket, std::span<const std::uint8_t> bytes, const net::Endpoint& to) {
  return socket.valid() && socket.sendTo(bytes, to).ok();
}
}  // namespace

bool UdpSide::announce() {
  std::vector<std::uint8_t> data;
  data.push_back(options_.type);
  data.insert(data.end(), options_.serialNumber.begin(), options_.serialNumber.end());
  data.push_back(0);
  std::lock_guard lock(state_->mutex);
  state_->sequence = 0;
  return sendTo(state_->socket, udp::encode(udp::kNewInstr, state_->sequence++, data),
                {options_.managerAddress, state_->port});
}

bool UdpSide::sendReboot() {
  std::lock_guard lock(state_->mutex);
  return sendTo(state_->socket, udp::encode(udp::kInstrReboot, state_->sequence++),
                {options_.managerAddress, state_->port});
}

bool UdpSide::sendStatusChange(std::uint16_t comm, std::uint8_t laser) {
  const std::uint8_t data[3] = {static_cast<std::uint8_t>(comm >> 8), static_cast<std::uint8_t>(comm), laser};
  std::lock_guard lock(state_->mutex);
  state_->comm = comm;
  state_->laser = laser;
  return sendTo(state_->socket, udp::encode(udp::kStatusChange, state_->sequence++, data),
                {options_.managerAddress, state_->port});
}

bool UdpSide::sendIdentifyReply() {
  std::lock_guard lock(state_->mutex);
  const std::uint16_t port = state_->serving.value_or(state_->assigned.value_or(options_.tcpPort));
  std::vector<std::uint8_t> data = {static_cast<std::uint8_t>(state_->comm), state_->laser,
                                    static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port),
                                    options_.type};
  data.insert(data.end(), options_.serialNumber.begin(), options_.serialNumber.end());
  data.push_back(0);
  return sendTo(state_->socket, udp::encode(udp::kInstrIdentify, state_->sequence++, data),
                {options_.managerAddress, state_->port});
}

bool UdpSide::reportReboot(std::uint16_t tcpPort) {
  {
    std::lock_guard lock(state_->mutex);
    state_->serving = tcpPort;
  }
  return sendIdentifyReply() && sendReboot();
}

bool UdpSide::sendRaw(std::span<const std::uint8_t> bytes) {
  return sendRaw(bytes, {options_.managerAddress, eventPort()});
}

bool UdpSide::sendRaw(std::span<const std::uint8_t> bytes, const net::Endpoint& to) {
  if (!net::isLoopback(to.address)) return false;
  return sendTo(state_->socket, bytes, to);
}

void UdpSide::setNextSequence(std::uint32_t sequence) {
  std::lock_guard lock(state_->mutex);
  state_->sequence = sequence;
}

std::uint32_t UdpSide::nextSequence() const {
  std::lock_guard lock(state_->mutex);
  return state_->sequence;
}

void UdpSide::setAnswerIdentify(bool on) {
  std::lock_guard lock(state_->mutex);
  state_->answerIdentify = on;
}

void UdpSide::setStatus(std::uint16_t comm, std::uint8_t laser) {
  std::lock_guard lock(state_->mutex);
  state_->comm = comm;
  state_->laser = laser;
}

std::uint8_t UdpSide::laserState() const {
  std::lock_guard lock(state_->mutex);
  return state_->laser;
}

std::uint16_t UdpSide::commStatus() const {
  std::lock_guard lock(state_->mutex);
  return state_->comm;
}

std::optional<std::uint16_t> UdpSide::assignedPort() const {
  std::lock_guard lock(state_->mutex);
  return state_->assigned;
}

void UdpSide::setPortListener(PortListener listener) {
  std::lock_guard lock(state_->mutex);
  state_->portListener = std::move(listener);
}

std::vector<Datagram> UdpSide::received() const {
  std::lock_guard lock(state_->mutex);
  return state_->received;
}

std::vector<Datagram> UdpSide::received(std::uint8_t type) const {
  std::lock_guard lock(state_->mutex);
  std::vector<Datagram> out;
  for (const auto& d : state_->received)
    if (d.raw.size() >= udp::kHeaderSize && d.type == type) out.push_back(d);
  return out;
}

bool UdpSide::waitForReceived(std::uint8_t type, std::size_t n, std::chrono::milliseconds realTimeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, realTimeout, [&] {
    return static_cast<std::size_t>(std::count_if(
               state_->received.begin(), state_->received.end(),
               [&](const Datagram& d) { return d.raw.size() >= udp::kHeaderSize && d.type == type; })) >= n;
  });
}

}  // namespace zevasim
