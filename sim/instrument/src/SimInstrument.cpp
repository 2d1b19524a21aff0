#include "zevasim/SimInstrument.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/text.h"

namespace zevasim {

namespace net = platform::net;

namespace {

constexpr std::size_t kHeaderSize = 16;
constexpr std::uint8_t kCmdId = 0x4B;
constexpr std::uint8_t kFlagMore = 0x02;

void putBE32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t getBE32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

std::vector<std::uint8_t> frameOf(const std::string& payload, const Request& request, bool more,
                                  std::optional<std::uint32_t> lengthField = std::nullopt) {
  std::vector<std::uint8_t> f(kHeaderSize + payload.size());
  putBE32(f.data(), lengthField.value_or(static_cast<std::uint32_t>(f.size())));
  putBE32(f.data() + 4, request.instrId);
  f[8] = more ? kFlagMore : 0;
  f[9] = kCmdId;
  f[10] = static_cast<std::uint8_t>(request.timeoutSec >> 8);
  f[11] = static_cast<std::uint8_t>(request.timeoutSec);
  std::copy(payload.begin(), payload.end(), f.begin() + kHeaderSize);
  return f;
}

// Reads exactly buffer.size() bytes; false at the end of the stream or on failure.
bool readExact(net::Socket& s, std::span<std::uint8_t> buffer) {
  std::size_t got = 0;
  while (got < buffer.size()) {
    const auto r = s.receive(buffer.subspan(got), net::kNoLimit);
    if (!r.ok() || r.bytes == 0) return false;
    got += r.bytes;
  }
  return true;
}

std::string hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02X", v & 0xFFu);
  return b;
}

// "peek", "poke" and "boot": what the link itself sends.
class CoreCommands final : public CommandFamily {
 public:
  void registerCommands(Instrument& in) override {
    in.setHandler("peek", [&in](const Request& r) {
      if (r.args.size() != 1) return Reply::error(0x05);  // bad parameters
      const auto address = platform::parseHexNumber(r.args[0]);
      if (!address) return Reply::error(0x05);
      return Reply::ok(hex2(in.memory(*address)));
    });
    in.setHandler("poke", [&in](const Request& r) {
      if (r.args.size() != 2) return Reply::error(0x05);
      const auto address = platform::parseHexNumber(r.args[0]);
      const auto value = platform::parseHexNumber(r.args[1]);
      if (!address || !value || *value > 0xFF) return Reply::error(0x05);
      in.setMemory(*address, static_cast<std::uint8_t>(*value));
      return Reply::ok();
    });
    in.setHandler("boot", [](const Request&) {
      Reply r = Reply::ok();
      r.reboot = true;
      return r;
    });
  }
};

}  // namespace

std::vector<std::string> Reply::payloads() const {
  if (!frames.empty()) return frames;
  std::string p = hex2(static_cast<unsigned>(status));
  if (rest) p += "," + *rest;
  p += "\n";
  return {p};
}

std::optional<Fault::Kind> faultKindFromName(const std::string& name) {
  static const std::map<std::string, Fault::Kind> kinds = {{"error", Fault::Kind::errorStatus},
                                                           {"delay", Fault::Kind::delay},
                                                           {"close", Fault::Kind::closeMidReply},
                                                           {"stale", Fault::Kind::staleBytes},
                                                           {"bogus-length", Fault::Kind::bogusLength},
                                                           {"split", Fault::Kind::splitReply},
                                                           {"reboot", Fault::Kind::reboot}};
  const auto it = kinds.find(name);
  if (it == kinds.end()) return std::nullopt;
  return it->second;
}

struct Instrument::State {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  net::Socket listener;
  net::Socket* connection = nullptr;  // the one being served, for stop()
  std::thread thread;
  bool stopping = false;
  std::uint16_t port = 0;

  std::map<std::string, Handler> handlers;
  std::vector<std::shared_ptr<CommandFamily>> families;
  std::map<std::string, std::deque<Fault>> faults;
  RebootListener rebootListener;
  std::map<std::uint32_t, std::uint8_t> memory;

  std::deque<std::string> lines;  // the last requestLogSize
  std::deque<Request> requests;
  std::size_t linesReceived = 0;
  int connections = 0;
  int replies = 0;
  int reboots = 0;

  // Notes a received line (and its request), keeping the last `limit` (caller holds mutex).
  void keep(std::string line, const Request* request, std::size_t limit) {
    ++linesReceived;
    lines.push_back(std::move(line));
    if (request) requests.push_back(*request);
    while (lines.size() > limit) lines.pop_front();
    while (requests.size() > limit) requests.pop_front();
  }

  // Waits `d` on platform::clock(), ending early when the simulator stops.
  void pause(std::chrono::milliseconds d) {
    if (d <= std::chrono::milliseconds::zero()) return;
    std::unique_lock lock(mutex);
    // The caller looks at `stopping` itself.
    (void)platform::clock().waitUntil(changed, lock, platform::steadyNow() + d, [&] { return stopping; });
  }

  template <typename Pred>
  bool waitFor(std::chrono::milliseconds timeout, Pred pred) const {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, pred);
  }
};

Instrument::Instrument(Options options) : options_(std::move(options)), state_(std::make_unique<State>()) {
  addFamily(std::make_shared<CoreCommands>());
}

Instrument::~Instrument() { stop(); }

namespace {
bool openListener(net::Socket& listener, std::uint32_t address, std::uint16_t port, std::uint16_t& bound) {
  listener = net::Socket::create(net::Socket::Type::stream);
  if (!listener) return false;
  // A reboot on the same port must not wait for old connections; without it the bind
  // below fails and says so.
  (void)listener.setReuseAddress(true);
  if (!listener.bind({address, port}) || !listener.listen(4)) return false;
  bound = listener.localEndpoint()->port;
  return true;
}
}  // namespace

bool Instrument::start() {
  if (!net::isLoopback(options_.address)) {
    std::fprintf(stderr, "zevasim: %s is not a loopback address; the simulator serves loopback only\n",
                 net::formatAddress(options_.address).c_str());
    return false;
  }
  State& s = *state_;
  std::uint16_t bound = 0;
  if (!openListener(s.listener, options_.address, options_.port, bound)) {
    std::fprintf(stderr, "zevasim: cannot listen on %s:%u: %s\n",
                 net::formatAddress(options_.address).c_str(), static_cast<unsigned>(options_.port),
                 net::errorText(net::lastError()).c_str());
    return false;
  }
  {
    std::lock_guard lock(s.mutex);
    s.port = bound;
    s.stopping = false;
  }

  s.thread = std::thread([this] {
    State& st = *state_;
    for (;;) {
      net::Socket connection = st.listener.accept(net::kNoLimit);
      {
        std::lock_guard lock(st.mutex);
        if (st.stopping) return;
        if (!connection) continue;
        (void)connection.setNoDelay(true);  // without it replies only go a little later
        st.connection = &connection;
        ++st.connections;
      }
      st.changed.notify_all();

      bool reboot = false;
      bool newPort = false;
      for (bool open = true; open && !reboot;) {
        // Header, payload, and the uncounted NUL of a text frame.
        Request request;
        if (!readExact(connection, request.rawHeader)) break;
        const std::uint8_t* h = request.rawHeader.data();
        const std::uint32_t length = getBE32(h);
        request.instrId = getBE32(h + 4);
        request.flags = h[8];
        request.cmdId = h[9];
        request.timeoutSec = static_cast<std::uint16_t>((h[10] << 8) | h[11]);
        request.reserved = getBE32(h + 12);
        if (length < kHeaderSize || length > kMaxCommandFrame) {
          std::lock_guard lock(st.mutex);
          st.keep("<frame rejected: length " + std::to_string(length) + ">", nullptr,
                  options_.requestLogSize);
          st.changed.notify_all();
          break;
        }
        request.payload.resize(length - kHeaderSize);
        if (!readExact(connection, request.payload)) break;
        if (request.flags == 0) {
          std::uint8_t nul = 0;
          if (!readExact(connection, {&nul, 1})) break;
        }
        request.line.assign(request.payload.begin(), request.payload.end());
        if (!request.line.empty() && request.line.back() == '\n') request.line.pop_back();
        if (!request.line.empty() && request.line.back() == '\r') request.line.pop_back();
        std::istringstream words(request.line);
        words >> request.word;
        for (std::string a; words >> a;) request.args.push_back(a);

        Handler handler;
        std::optional<Fault> fault;
        {
          std::lock_guard lock(st.mutex);
          st.keep(request.line, &request, options_.requestLogSize);
          if (!options_.logPath.empty())
            std::ofstream(options_.logPath, std::ios::app) << request.line << "\n";
          for (const std::string& key : {request.word, std::string("*")}) {
            auto it = st.faults.find(key);
            if (it == st.faults.end() || it->second.empty()) continue;
            fault = it->second.front();
            if (it->second.front().times > 0 && --it->second.front().times == 0) it->second.pop_front();
            break;
          }
          if (auto it = st.handlers.find(request.word); it != st.handlers.end()) handler = it->second;
        }
        st.changed.notify_all();

        Reply reply = handler ? handler(request) : Reply::error(kStatusUnknownCommand);
        using Kind = Fault::Kind;
        if (fault && fault->kind == Kind::errorStatus) reply = Reply::error(static_cast<int>(fault->value));
        if (fault && fault->kind == Kind::delay) st.pause(std::chrono::milliseconds(fault->value));
        if (fault && fault->kind == Kind::reboot) {
          reply.reboot = true;
          newPort = fault->value == 1;
        }

        auto sendAll = [&](const std::vector<std::uint8_t>& bytes) {
          if (!connection.send(bytes).ok()) open = false;
        };
        if (fault && fault->kind == Kind::bogusLength) {
          sendAll(frameOf("", request, false, static_cast<std::uint32_t>(fault->value)));
        } else {
          const auto payloads = reply.payloads();
          for (std::size_t i = 0; i < payloads.size() && open; ++i) {
            const auto frame = frameOf(payloads[i], request, i + 1 < payloads.size());
            if (fault && fault->kind == Kind::closeMidReply) {
              const std::size_t cut = kHeaderSize + payloads[i].size() / 2;
              sendAll({frame.begin(), frame.begin() + static_cast<long>(cut)});
              open = false;
              break;
            }
            if (fault && fault->kind == Kind::splitReply && fault->value > 0) {
              // Separate segments (no delay on this socket), so the reader sees them apart.
              for (std::size_t at = 0; at < frame.size() && open;
                   at += static_cast<std::size_t>(fault->value)) {
                const auto end = std::min(frame.size(), at + static_cast<std::size_t>(fault->value));
                sendAll({frame.begin() + static_cast<long>(at), frame.begin() + static_cast<long>(end)});
              }
            } else {
              sendAll(frame);
            }
          }
          if (open && !reply.rawAfter.empty()) sendAll(reply.rawAfter);
          if (open && fault && fault->kind == Kind::staleBytes)
            sendAll(std::vector<std::uint8_t>(static_cast<std::size_t>(std::max(fault->value, 0L)), 'Z'));
        }
        {
          std::lock_guard lock(st.mutex);
          ++st.replies;
        }
        st.changed.notify_all();
        reboot = reply.reboot;
      }

      {
        std::lock_guard lock(st.mutex);
        st.connection = nullptr;
        if (st.stopping) return;
      }
      connection.close();
      if (!reboot) continue;

      // Restart: away for the reboot time, then back (on a new port when asked).
      if (newPort) {
        net::Socket fresh;
        std::uint16_t bound2 = 0;
        if (openListener(fresh, options_.address, 0, bound2)) {
          std::lock_guard lock(st.mutex);
          if (st.stopping) return;
          st.listener = std::move(fresh);
          st.port = bound2;
        }
      }
      st.pause(options_.rebootTime);
      RebootListener listener;
      {
        std::lock_guard lock(st.mutex);
        if (st.stopping) return;
        ++st.reboots;
        listener = st.rebootListener;
      }
      st.changed.notify_all();
      if (listener) listener(*this);
    }
  });
  return true;
}

void Instrument::stop() {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (!s.thread.joinable()) return;
    s.stopping = true;
    // Only wakes the threads: a socket that has nothing to shut down has nobody waiting.
    (void)s.listener.shutdown();
    if (s.connection) (void)s.connection->shutdown();
  }
  s.changed.notify_all();  // ends a delay or a reboot pause
  s.thread.join();
  s.listener.close();
}

std::uint16_t Instrument::port() const {
  std::lock_guard lock(state_->mutex);
  return state_->port;
}

void Instrument::setHandler(const std::string& word, Handler handler) {
  std::lock_guard lock(state_->mutex);
  state_->handlers[word] = std::move(handler);
}

void Instrument::addFamily(std::shared_ptr<CommandFamily> family) {
  family->registerCommands(*this);
  std::lock_guard lock(state_->mutex);
  state_->families.push_back(std::move(family));
}

void Instrument::injectFault(const std::string& word, Fault fault) {
  std::lock_guard lock(state_->mutex);
  state_->faults[word].push_back(fault);
}

void Instrument::clearFaults() {
  std::lock_guard lock(state_->mutex);
  state_->faults.clear();
}

void Instrument::setRebootListener(RebootListener listener) {
  std::lock_guard lock(state_->mutex);
  state_->rebootListener = std::move(listener);
}

std::uint8_t Instrument::memory(std::uint32_t address) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->memory.find(address);
  return it == state_->memory.end() ? 0 : it->second;
}

void Instrument::setMemory(std::uint32_t address, std::uint8_t value) {
  std::lock_guard lock(state_->mutex);
  state_->memory[address] = value;
}

std::vector<std::string> Instrument::lines() const {
  std::lock_guard lock(state_->mutex);
  return {state_->lines.begin(), state_->lines.end()};
}

std::vector<Request> Instrument::requests() const {
  std::lock_guard lock(state_->mutex);
  return {state_->requests.begin(), state_->requests.end()};
}

std::size_t Instrument::linesReceived() const {
  std::lock_guard lock(state_->mutex);
  return state_->linesReceived;
}

int Instrument::connections() const {
  std::lock_guard lock(state_->mutex);
  return state_->connections;
}

int Instrument::repliesSent() const {
  std::lock_guard lock(state_->mutex);
  return state_->replies;
}

int Instrument::reboots() const {
  std::lock_guard lock(state_->mutex);
  return state_->reboots;
}

bool Instrument::waitForLines(std::size_t n, std::chrono::milliseconds t) const {
  return state_->waitFor(t, [&] { return state_->linesReceived >= n; });
}
bool Instrument::waitForConnections(int n, std::chrono::milliseconds t) const {
  return state_->waitFor(t, [&] { return state_->connections >= n; });
}
bool Instrument::waitForReplies(int n, std::chrono::milliseconds t) const {
  return state_->waitFor(t, [&] { return state_->replies >= n; });
}
bool Instrument::waitForReboots(int n, std::chrono::milliseconds t) const {
  return state_->waitFor(t, [&] { return state_->reboots >= n; });
}

}  // namespace zevasim
