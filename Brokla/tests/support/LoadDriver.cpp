#include "support/LoadDriver.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "BroklaProtocol/BroklaAppMessage.h"
#include "platform/localpipe.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "support/StandIn.h"
#include "zevasim/SimUdp.h"

namespace brokla_test {

namespace {

namespace fs = std::filesystem;
namespace net = platform::net;
namespace reg = platform::registry;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using platform::localpipe::Pipe;

constexpr const char* kKey = "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla";

// The applications' pace: one step each per tick; of five steps one asks a status.
constexpr auto kTick = 100ms;
constexpr int kSteps = 5;
constexpr int kAbortEvery = 25;  // ticks between two aborts of a holder
constexpr int kChurnEvery = 20;  // ticks between two comings of the application that churns
// The instruments' pace: one instrument acts per tick; one of its turns in five is a
// soft boot, the others switch its laser.
constexpr auto kInstrumentTick = 80ms;
constexpr int kRebootEvery = 5;
// Ids nobody has: each application asks about its own, so that an answer about another's
// would show.
constexpr std::uint32_t kUnknownIdBase = 0x40000000;
constexpr auto kEventPoll = 100ms;
constexpr auto kBaselineEvery =
    50ms;  // between two status questions of the baseline  // how soon an event reader sees it is to stop

// Phases of the run: the measured figures count only what happens during `load`.
enum Phase : int { kSetup, kWarmUp, kLoad, kDrain };

Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

CBroklaAppMessage Message(int type, const Bytes& data) {
  CBroklaAppMessage m;
  m.SetType(type);
  m.SetData(0, data.data(), static_cast<int>(data.size()));
  m.SetDataLength(static_cast<int>(data.size()));
  return m;
}

std::uint16_t FreePort(net::Socket::Type type) {
  net::Socket s = net::Socket::create(type);
  if (!s || !s.bind({net::kLoopbackAddress, 0})) return 0;
  return s.localEndpoint().value_or(net::Endpoint{}).port;
}

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

Latency FiguresOf(std::vector<double> us) {
  Latency l;
  l.count = us.size();
  if (us.empty()) return l;
  std::sort(us.begin(), us.end());
  l.medianUs = us[us.size() / 2];
  l.p99Us = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  l.maxUs = us.back();
  return l;
}

std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
  return names;
}

// The address sanitizer holds freed blocks back from reuse (its quarantine, up to 256 MB)
// to catch late uses of them, so a sanitized daemon's memory grows with the work done
// whatever the daemon keeps. While it lives, the daemon started gets no quarantine; every
// other check of the sanitizer stays on.
class SanitizerQuarantineOff {
 public:
#if defined(__SANITIZE_ADDRESS__)
  SanitizerQuarantineOff() {
    const char* old = std::getenv("ASAN_OPTIONS");
    if (old) saved_ = old;
    const std::string options = (old && *old ? std::string(old) + ":" : std::string()) +
                                "quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
  }
  ~SanitizerQuarantineOff() {
    if (saved_)
      ::setenv("ASAN_OPTIONS", saved_->c_str(), 1);
    else
      ::unsetenv("ASAN_OPTIONS");
  }

 private:
  std::optional<std::string> saved_;
#endif
};

// Faults from every thread of the run, in the order they were seen.
class Faults {
 public:
  void add(std::string what) {
    std::lock_guard lock(m_);
    // The first ones tell the story; a broken daemon would otherwise fill the report.
    if (list_.size() < 40) list_.push_back(std::move(what));
    ++count_;
  }
  std::vector<std::string> take() {
    std::lock_guard lock(m_);
    auto out = list_;
    if (count_ > list_.size()) out.push_back("... and " + std::to_string(count_ - list_.size()) + " more");
    return out;
  }
  bool any() {
    std::lock_guard lock(m_);
    return count_ > 0;
  }

 private:
  std::mutex m_;
  std::vector<std::string> list_;
  std::size_t count_ = 0;
};

// Lets paced loops wait for their next moment, and ends every such wait at once.
class Pacer {
 public:
  // False when the run is to stop.
  bool waitUntil(Clock::time_point t) {
    std::unique_lock lock(m_);
    return !cv_.wait_until(lock, t, [&] { return stop_; });
  }
  void stop() {
    {
      std::lock_guard lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
};

struct Instrument {
  std::unique_ptr<zevasim::UdpSide> sim;
  brokla::InstrumentEntry entry;  // as the daemon must describe it
  std::uint8_t comm = 0;          // its own, so that a status shows whose it is
  std::uint8_t laser = 0;
  std::atomic<int> toggles{0}, reboots{0};  // sent, each an event for its holder
};

struct App {
  int index = 0;
  int pid = 0;
  int holds = -1;  // the instrument it holds throughout, or -1
  std::unique_ptr<StandInProcess> process;
  Pipe requests, events;
  int aborts = 0;              // posted (request thread)
  std::vector<double> loadUs;  // status round trips during the load (request thread)
  bool broken = false;         // a reply went missing: its pipe is out of step
  bool churns = false;         // goes and comes back as a new process now and then

  // Events, counted by its event reader.
  std::mutex m;
  std::condition_variable cv;
  int laserEvents = 0, rebootEvents = 0;
  std::atomic<bool> stopEvents{false};

  std::thread requestThread, eventThread;
};

class Run {
 public:
  explicit Run(const LoadOptions& o) : o_(o), log_(o.folder + "/logs") {}
  LoadResult go();

 private:
  bool startDaemon();
  void choosePorts();
  bool startInstruments();
  bool connect(App& app);
  bool connectApps();
  void reconnect(App& app);
  bool learnInstruments();
  void baseline();
  void appLoop(App& app, Clock::time_point start);
  void appStep(App& app, int k);
  void eventLoop(App& app);
  void instrumentLoop(Clock::time_point start);
  void drain();
  void stopDaemon();
  std::uint64_t datagramsSoFar() const;

  std::optional<CBroklaAppMessage> ask(App& app, int type, const Bytes& data, const std::string& what);
  // `in` null: an id nobody has. `laser` -1: either state (it switches meanwhile).
  void checkStatus(App& app, std::uint32_t id, const Instrument* in, bool timed, int laser = -1);
  void checkLock(App& app, std::uint32_t id, int operation, const std::string& what,
                 const std::function<bool(int, int)>& expected);
  void checkEnumeration(App& app);
  void fault(const App& app, const std::string& what) {
    faults_.add("application " + std::to_string(app.index) + " (pid " + std::to_string(app.pid) +
                "): " + what);
  }

  const LoadOptions& o_;
  LogWatch log_;
  Faults faults_;
  Pacer pacer_;
  LoadResult r_;
  platform::process::Child daemon_;
  std::uint16_t eventPort_ = 0, controlPort_ = 0, instrBase_ = 0;
  std::vector<std::unique_ptr<Instrument>> instruments_;
  std::vector<brokla::InstrumentEntry> listing_;  // the enumeration as it must read
  std::vector<std::unique_ptr<App>> apps_;
  std::atomic<int> phase_{kSetup};
  std::atomic<std::uint64_t> statusAsked_{0}, abortsPosted_{0}, loadRequests_{0};
  std::atomic<std::uint64_t> replies_{0}, events_{0}, reconnects_{0};
};

// ---------------------------------------------------------------------------------------
// The daemon

void Run::choosePorts() {
  eventPort_ = FreePort(net::Socket::Type::datagram);
  controlPort_ = FreePort(net::Socket::Type::datagram);
  instrBase_ = FreePort(net::Socket::Type::stream);
  std::ofstream(o_.folder + "/services", std::ios::trunc)
      << "# the load run's ports\nvrelevent " << eventPort_ << "/udp\nvrelcntrl " << controlPort_
      << "/udp\nvrelinstr " << instrBase_ << "/tcp\n";
}

bool Run::startDaemon() {
  ::setenv("ZEVA_NET_LOOPBACK_ONLY", "1", 1);
  ::setenv("ZEVA_SERVICES_FILE", (o_.folder + "/services").c_str(), 1);
  fs::create_directories(o_.folder + "/logs");
  const bool configured =
      reg::createKey(platform::HKEY_LOCAL_MACHINE, kKey) == reg::kOk &&
      reg::createKey(platform::HKEY_LOCAL_MACHINE, std::string(kKey) + "\\Logging") == reg::kOk &&
      reg::setValue(platform::HKEY_LOCAL_MACHINE, kKey, "LogFile",
                    reg::makeString(o_.folder + "/logs/brokla.log")) == reg::kOk &&
      reg::setValue(platform::HKEY_LOCAL_MACHINE, std::string(kKey) + "\\Logging", "DebugLevel",
                    reg::makeDword(static_cast<std::uint32_t>(o_.debugLevel))) == reg::kOk &&
      // The identify broadcast goes where nobody listens.
      reg::setValue(platform::HKEY_LOCAL_MACHINE, kKey, "BCastAddr", reg::makeDword(0x7F0000FE)) == reg::kOk;
  if (!configured) {
    std::fprintf(stderr, "the daemon's settings cannot be written to the registry in %s\n",
                 platform::registry::directory().c_str());
    return false;
  }

  for (int attempt = 1; attempt <= 3; ++attempt) {
    choosePorts();
    const int started = log_.count("Processing the startup REFRESH request");
    const int clashes = log_.count("can't bind to");
    {
      [[maybe_unused]] SanitizerQuarantineOff quarantineOff;
      daemon_ = platform::process::Child::spawn(
          {o_.program}, {o_.folder, o_.folder + "/brokla.stdout", o_.folder + "/brokla.stderr"});
    }
    if (daemon_.pid() <= 0) {
      faults_.add("cannot start " + o_.program + ": errno " + std::to_string(daemon_.error()));
      return false;
    }
    r_.daemonPid = daemon_.pid();
    const auto end = Clock::now() + kWait;
    while (log_.count("Processing the startup REFRESH request") <= started && daemon_.running() &&
           Clock::now() < end)
      std::this_thread::sleep_for(5ms);  // the log is a file: looked at again until the time-out
    if (daemon_.running() && log_.count("Processing the startup REFRESH request") > started) return true;
    // Someone took a free port meanwhile: choose again.
    if (!daemon_.running() && log_.count("can't bind to") > clashes) continue;
    break;
  }
  faults_.add("brokla did not start");
  return false;
}

void Run::stopDaemon() {
  if (!daemon_.running()) {
    faults_.add("brokla ended before it was stopped, exit code " +
                (daemon_.exitCode() ? std::to_string(*daemon_.exitCode()) : std::string("unknown")));
    r_.exitCode = daemon_.exitCode();
    return;
  }
  const auto t0 = Clock::now();
  (void)daemon_.signal(SIGTERM);  // a daemon that already ended shows in the wait
  r_.exitCode = daemon_.wait(kWait);
  r_.stopMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  if (!r_.exitCode) faults_.add("brokla did not end within 10 s of SIGTERM");
}

// ---------------------------------------------------------------------------------------
// Set-up

bool Run::startInstruments() {
  for (int i = 0; i < o_.instruments; ++i) {
    auto in = std::make_unique<Instrument>();
    in->comm = static_cast<std::uint8_t>(0x31 + i);
    zevasim::UdpOptions u;
    u.address = 0x7F000000u | static_cast<std::uint32_t>(20 + i);
    u.eventPort = eventPort_;
    u.managerAddress = net::kLoopbackAddress;
    char serial[16];
    std::snprintf(serial, sizeof serial, "LOAD%04d", i + 1);
    u.serialNumber = serial;
    u.type = static_cast<std::uint8_t>(1 + i % 2);
    u.commStatus = in->comm;
    in->sim = std::make_unique<zevasim::UdpSide>(u);
    if (!in->sim->start() || !in->sim->announce() || !in->sim->waitForReceived(zevasim::udp::kNewInstr, 1)) {
      faults_.add(std::string("instrument ") + serial + " could not announce itself");
      return false;
    }
    in->entry.address = u.address;
    in->entry.port = in->sim->received(zevasim::udp::kNewInstr).back().dataU16(0);
    in->entry.type = u.type;
    in->entry.serialNumber = serial;
    // The daemon takes a new instrument's laser as on: say how it is, before anybody holds it.
    in->sim->sendStatusChange(in->comm, 0);
    instruments_.push_back(std::move(in));
  }
  return true;
}

bool Run::connect(App& app) {
  app.process = std::make_unique<StandInProcess>();
  app.pid = app.process->pid();
  app.requests = app.process->connect(brokla::kAppPipe);
  const auto hello = app.requests.isOpen()
                         ? ask(app, brokla::kMsgHello, Le32(static_cast<std::uint32_t>(app.pid)), "hello")
                         : std::nullopt;
  if (!hello || hello->GetDataLength() != 0) {
    fault(app, "no answer to its hello");
    return false;
  }
  app.events = app.process->connect(brokla::kEventPipe);
  // The event monitor takes the announcement whole before it does anything else: once
  // it has logged it, events for this application find it.
  const std::string seen =
      "New Application (pid=" + std::to_string(app.pid) + ") Connection Request to Event Monitor";
  if (!app.events.isOpen() ||
      !app.events.write(Message(brokla::kEventNewApp, Le32(static_cast<std::uint32_t>(app.pid))).GetWire(),
                        5s) ||
      !log_.waitFor(seen)) {
    fault(app, "its event pipe was not taken");
    return false;
  }
  return true;
}

bool Run::connectApps() {
  for (int a = 0; a < o_.applications; ++a) {
    auto app = std::make_unique<App>();
    app->index = a;
    app->holds = a < o_.instruments ? a : -1;
    // The last one comes and goes, as applications do, when it holds nothing.
    app->churns = o_.churn && a == o_.applications - 1 && app->holds < 0;
    if (!connect(*app)) return false;
    apps_.push_back(std::move(app));
  }
  return true;
}

void Run::reconnect(App& app) {
  // It holds nothing: whatever event it got was somebody else's.
  if (const auto waiting = app.events.peek(); !waiting || *waiting > 0)
    fault(app, "an event it was not meant to get was waiting when it went");
  app.requests.close();
  app.events.close();
  if (connect(app))
    ++reconnects_;
  else
    app.broken = true;
}

bool Run::learnInstruments() {
  App& first = *apps_.front();
  const auto reply = ask(first, brokla::kMsgEnumerate, {}, "enumeration");
  if (!reply) return false;
  const auto wire = reply->GetWire();
  for (int at = 0; at + brokla::kInstrumentEntrySize <= reply->GetDataLength();
       at += brokla::kInstrumentEntrySize)
    if (auto e = brokla::ParseInstrumentEntry(
            wire.subspan(static_cast<std::size_t>(2 + at), brokla::kInstrumentEntrySize)))
      listing_.push_back(*e);
  if (listing_.size() != instruments_.size()) {
    faults_.add("the enumeration lists " + std::to_string(listing_.size()) + " instruments, not " +
                std::to_string(instruments_.size()));
    return false;
  }
  for (auto& in : instruments_) {
    const auto it = std::find_if(listing_.begin(), listing_.end(),
                                 [&](const auto& e) { return e.address == in->entry.address; });
    if (it == listing_.end()) {
      faults_.add("instrument " + in->entry.serialNumber + " is not listed");
      return false;
    }
    in->entry.id = it->id;
    if (*it != in->entry) {
      faults_.add("instrument " + in->entry.serialNumber + " is listed with other details");
      return false;
    }
  }
  // Each instrument as it is now: its own communication status, laser off.
  for (auto& in : instruments_) checkStatus(first, in->entry.id, in.get(), false, 0);
  for (auto& app : apps_) {
    if (app->holds < 0) continue;
    checkLock(*app, instruments_[static_cast<std::size_t>(app->holds)]->entry.id, brokla::kLockOpLock,
              "taking its instrument", [](int b, int a) { return b == 0 && a == 1; });
  }
  return !faults_.any();
}

void Run::baseline() {
  App& first = *apps_.front();
  std::vector<double> us;
  // At the pace of the load's questions, not back to back: a thread woken from idle
  // answers slower than one kept busy, and the load's own questions come sparse.
  const auto start = Clock::now();
  for (int n = 0; n < o_.baselineRounds; ++n) {
    if (!pacer_.waitUntil(start + kBaselineEvery * n)) return;
    const Instrument& in = *instruments_[static_cast<std::size_t>(n) % instruments_.size()];
    const auto t0 = Clock::now();
    const auto reply = ask(first, brokla::kMsgStatus, Le32(in.entry.id), "status");
    if (!reply) return;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  r_.statusIdle = FiguresOf(std::move(us));
}

// ---------------------------------------------------------------------------------------
// Requests and their answers

std::optional<CBroklaAppMessage> Run::ask(App& app, int type, const Bytes& data, const std::string& what) {
  if (app.broken) return std::nullopt;
  if (!app.requests.write(Message(type, data).GetWire(), 5s)) {
    fault(app, what + ": the request could not be written");
    app.broken = true;
    return std::nullopt;
  }
  Bytes buffer(512);
  const auto r = app.requests.read(buffer, kWait);
  if (!r.ok()) {
    fault(app, what + ": no answer within 10 s (lost)");
    app.broken = true;  // a late answer would be taken for the next one
    return std::nullopt;
  }
  CBroklaAppMessage reply;
  if (!reply.Assign({buffer.data(), r.size})) {
    fault(app, what + ": malformed answer of " + std::to_string(r.size) + " bytes");
    return std::nullopt;
  }
  if (reply.GetType() != type) {
    fault(app, what + ": answered with type " + std::to_string(reply.GetType()) + " (misrouted)");
    return std::nullopt;
  }
  ++replies_;
  if (phase_ == kLoad) ++loadRequests_;
  return reply;
}

void Run::checkStatus(App& app, std::uint32_t id, const Instrument* in, bool timed, int laser) {
  if (in) ++statusAsked_;
  const auto t0 = Clock::now();
  const auto r = ask(app, brokla::kMsgStatus, Le32(id), "status of id " + Hex(id));
  if (!r) return;
  if (timed && phase_ == kLoad)
    app.loadUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  const std::string what = "status of id " + Hex(id) + ": ";
  if (r->GetDataLength() != 7 || r->GetDataU32(0) != id)
    return fault(app, what + "the answer names id " + Hex(r->GetDataU32(0)) + " (misrouted)");
  const int result = r->GetDataByte(4), comm = r->GetDataByte(5), shown = r->GetDataByte(6);
  if (!in) {
    if (result != 1 || comm != 0 || shown != 0) fault(app, what + "an unknown id is answered as known");
    return;
  }
  if (result != 0)
    return fault(app, what + "answered as not answering (result " + std::to_string(result) + ")");
  if (comm != in->comm)
    return fault(app, what + "communication status " + Hex(static_cast<std::uint32_t>(comm)) +
                          ", the instrument's is " + Hex(in->comm) + " (another instrument's answer)");
  if (laser >= 0 ? shown != laser : shown > 1) fault(app, what + "laser state " + std::to_string(shown));
}

void Run::checkLock(App& app, std::uint32_t id, int operation, const std::string& what,
                    const std::function<bool(int, int)>& expected) {
  const auto r = ask(
      app, brokla::kMsgLock,
      [&] {
        Bytes d = Le32(id);
        d.push_back(static_cast<std::uint8_t>(operation));
        return d;
      }(),
      what);
  if (!r) return;
  if (r->GetDataU32(0) != id)
    return fault(app, what + ": the answer names id " + Hex(r->GetDataU32(0)) + " (misrouted)");
  if (!expected) {  // an id nobody has
    if (r->GetDataLength() != 5 || r->GetDataByte(4) != 1)
      fault(app, what + ": an unknown id is answered as known");
    return;
  }
  const int before = static_cast<std::int8_t>(r->GetDataByte(5));
  const int after = static_cast<std::int8_t>(r->GetDataByte(6));
  if (r->GetDataLength() != 7 || r->GetDataByte(4) != 0 || !expected(before, after))
    fault(app, what + ": answered " + std::to_string(before) + " -> " + std::to_string(after));
}

void Run::checkEnumeration(App& app) {
  const auto r = ask(app, brokla::kMsgEnumerate, {}, "enumeration");
  if (!r) return;
  std::vector<brokla::InstrumentEntry> got;
  const auto wire = r->GetWire();
  for (int at = 0; at + brokla::kInstrumentEntrySize <= r->GetDataLength();
       at += brokla::kInstrumentEntrySize)
    if (auto e = brokla::ParseInstrumentEntry(
            wire.subspan(static_cast<std::size_t>(2 + at), brokla::kInstrumentEntrySize)))
      got.push_back(*e);
  if (got != listing_ || r->GetDataLength() % brokla::kInstrumentEntrySize != 0)
    fault(app,
          "enumeration: " + std::to_string(got.size()) + " entries that differ from the instrument list");
}

// ---------------------------------------------------------------------------------------
// The load

void Run::appStep(App& app, int k) {
  const int n = static_cast<int>(instruments_.size());
  const auto a = static_cast<std::uint32_t>(app.index);
  const std::uint32_t unknown = kUnknownIdBase + a;
  // A holder's count is 1 between its own steps; anybody else only ever sees it held.
  const auto heldByOther = [](int b, int after) { return b == after && (b == 1 || b == 2); };
  switch ((k + app.index) % kSteps) {
    case 0: {
      const Instrument& in = *instruments_[static_cast<std::size_t>((app.index + k / kSteps) % n)];
      checkStatus(app, in.entry.id, &in, true);
      break;
    }
    case 1:
      checkEnumeration(app);
      break;
    case 2:
      if (app.holds >= 0)
        checkLock(app, instruments_[static_cast<std::size_t>(app.holds)]->entry.id, brokla::kLockOpQuery,
                  "querying its lock", [](int b, int after) { return b == 1 && after == 1; });
      else
        checkLock(app, instruments_[static_cast<std::size_t>((app.index + k) % n)]->entry.id,
                  brokla::kLockOpLock, "locking a held instrument", heldByOther);
      break;
    case 3:
      if (app.holds >= 0) {
        const std::uint32_t id = instruments_[static_cast<std::size_t>(app.holds)]->entry.id;
        checkLock(app, id, brokla::kLockOpLock, "nesting its lock",
                  [](int b, int after) { return b == 1 && after == 2; });
        checkLock(app, id, brokla::kLockOpUnlock, "unnesting its lock",
                  [](int b, int after) { return b == 2 && after == 1; });
      } else {
        checkLock(app, instruments_[static_cast<std::size_t>((app.index + k) % n)]->entry.id,
                  brokla::kLockOpUnlock, "unlocking another's instrument", heldByOther);
      }
      break;
    default:
      if (k % 2)
        checkStatus(app, unknown, nullptr, false);
      else
        checkLock(app, unknown, brokla::kLockOpQuery, "querying an unknown id", nullptr);
      break;
  }
  if (app.churns && k % kChurnEvery == kChurnEvery - 1) reconnect(app);
  if (app.holds >= 0 && k % kAbortEvery == (app.index * 7) % kAbortEvery) {
    if (app.events.write(Message(brokla::kEventCmdAbort, Le32(static_cast<std::uint32_t>(app.pid))).GetWire(),
                         5s)) {
      ++app.aborts;
      ++abortsPosted_;
    } else {
      fault(app, "its abort could not be written");
    }
  }
}

void Run::appLoop(App& app, Clock::time_point start) {
  // Spread over the tick, so that the applications do not all ask at once.
  const auto offset = kTick * app.index / std::max(1, o_.applications);
  for (int k = 0;; ++k) {
    if (!pacer_.waitUntil(start + offset + kTick * k)) return;
    if (app.broken) return;
    appStep(app, k);
  }
}

void Run::eventLoop(App& app) {
  Bytes buffer(512);
  const Instrument* held = app.holds >= 0 ? instruments_[static_cast<std::size_t>(app.holds)].get() : nullptr;
  while (!app.stopEvents) {
    const auto r = app.events.read(buffer, kEventPoll);
    if (r.status == platform::localpipe::ReadStatus::timedOut) continue;
    if (!r.ok()) {
      fault(app, "its event pipe closed");
      return;
    }
    ++events_;
    CBroklaAppMessage m;
    if (!m.Assign({buffer.data(), r.size})) {
      fault(app, "a malformed event of " + std::to_string(r.size) + " bytes");
      continue;
    }
    if (!held) {
      fault(app, "event " + std::to_string(m.GetType()) + ", but it holds no instrument (misrouted)");
      continue;
    }
    if (m.GetType() == brokla::kEventLaserPowerChange) {
      std::lock_guard lock(app.m);
      ++app.laserEvents;
    } else if (m.GetType() == brokla::kEventReboot) {
      const auto e = m.GetDataLength() == brokla::kInstrumentEntrySize
                         ? brokla::ParseInstrumentEntry(m.GetWire().subspan(2, brokla::kInstrumentEntrySize))
                         : std::nullopt;
      if (!e || *e != held->entry)
        fault(app, "a reboot event for " +
                       (e ? e->serialNumber + " id " + Hex(e->id) : std::string("nothing")) + ", it holds " +
                       held->entry.serialNumber + " (misrouted)");
      std::lock_guard lock(app.m);
      ++app.rebootEvents;
    } else {
      fault(app, "unexpected event " + std::to_string(m.GetType()));
    }
    app.cv.notify_all();
  }
}

void Run::instrumentLoop(Clock::time_point start) {
  const std::size_t n = instruments_.size();
  for (std::size_t k = 0;; ++k) {
    if (!pacer_.waitUntil(start + kInstrumentTick * static_cast<long>(k))) return;
    Instrument& in = *instruments_[k % n];
    // Counted before it goes, so that the holder never sees more than was sent.
    if ((k / n) % kRebootEvery == kRebootEvery - 1) {
      ++in.reboots;
      in.sim->sendReboot();
    } else {
      ++in.toggles;
      in.laser ^= 1;
      in.sim->sendStatusChange(in.comm, in.laser);
    }
  }
}

std::uint64_t Run::datagramsSoFar() const {
  // What the instruments received and answered, what they sent of their own, and the
  // daemon's internal commands on its control port.
  std::uint64_t n = statusAsked_ + abortsPosted_;
  for (const auto& in : instruments_) {
    n += in->sim->received().size() + in->sim->received(zevasim::udp::kInstrIdentify).size();
    n += static_cast<std::uint64_t>(in->toggles + in->reboots);
  }
  return n;
}

void Run::drain() {
  phase_ = kDrain;
  // Marks the end of each holder's events: one more laser switch, whose event comes after
  // every event of the run (the daemon's event monitor keeps their order).
  for (auto& in : instruments_) {
    ++in->toggles;
    in->laser ^= 1;
    in->sim->sendStatusChange(in->comm, in->laser);
  }
  for (auto& app : apps_) {
    if (app->holds < 0) continue;
    const Instrument& in = *instruments_[static_cast<std::size_t>(app->holds)];
    std::unique_lock lock(app->m);
    const bool all = app->cv.wait_for(
        lock, kWait, [&] { return app->laserEvents >= in.toggles && app->rebootEvents >= in.reboots; });
    if (!all || app->laserEvents != in.toggles || app->rebootEvents != in.reboots)
      fault(*app, "events of " + in.entry.serialNumber + ": " + std::to_string(app->laserEvents) +
                      " laser of " + std::to_string(in.toggles) + ", " + std::to_string(app->rebootEvents) +
                      " reboot of " + std::to_string(in.reboots));
    r_.checkedEvents += static_cast<std::uint64_t>(app->laserEvents + app->rebootEvents);
  }
  for (auto& app : apps_) {
    app->stopEvents = true;
    if (app->eventThread.joinable()) app->eventThread.join();
    // Anything still waiting was sent before the marks: to somebody it was not meant for.
    if (const auto left = app->events.peek(); left && *left > 0)
      fault(*app, "an event it was not meant to get is still waiting");
  }
  // Commands: each holder's aborts went to its instrument and no other; each soft boot
  // was answered with the instrument's port.
  for (auto& app : apps_) {
    if (app->holds < 0) continue;
    const Instrument& in = *instruments_[static_cast<std::size_t>(app->holds)];
    in.sim->waitForReceived(zevasim::udp::kCmdAbort, static_cast<std::size_t>(app->aborts));
    const auto aborts = in.sim->received(zevasim::udp::kCmdAbort);
    if (aborts.size() != static_cast<std::size_t>(app->aborts))
      fault(*app, in.entry.serialNumber + " got " + std::to_string(aborts.size()) + " aborts of " +
                      std::to_string(app->aborts) + " posted");
    for (const auto& d : aborts)
      if (d.dataU32(0) != in.entry.address)
        fault(*app, in.entry.serialNumber + " got an abort for another address");
    r_.checkedCommands += aborts.size();
  }
  for (auto& in : instruments_) {
    const auto want = static_cast<std::size_t>(in->reboots);
    in->sim->waitForReceived(zevasim::udp::kInstrReboot, want);
    const auto replies = in->sim->received(zevasim::udp::kInstrReboot);
    if (replies.size() != want)
      faults_.add(in->entry.serialNumber + ": " + std::to_string(replies.size()) + " answers to " +
                  std::to_string(want) + " soft boots");
    for (const auto& d : replies)
      if (d.dataU16(0) != in->entry.port)
        faults_.add(in->entry.serialNumber + ": a soft boot answered with another port");
    r_.checkedCommands += replies.size();
  }
  // Replies: one more question each; after its answer nothing may be left.
  for (auto& app : apps_) {
    checkEnumeration(*app);
    if (const auto left = app->requests.peek(); left && *left > 0)
      fault(*app, "an answer nobody asked for is waiting");
  }
}

LoadResult Run::go() {
  // The services file is this run's only: the caller's setting comes back afterwards.
  struct KeepServicesFile {
    std::optional<std::string> saved;
    KeepServicesFile() {
      if (const char* v = std::getenv("ZEVA_SERVICES_FILE")) saved = v;
    }
    ~KeepServicesFile() {
      if (saved)
        ::setenv("ZEVA_SERVICES_FILE", saved->c_str(), 1);
      else
        ::unsetenv("ZEVA_SERVICES_FILE");
    }
  } keepServicesFile;
  const std::string runtime = platform::localpipe::runtimeDirectory();
  const std::set<std::string> before = Listing(runtime);
  if (!startDaemon() || !startInstruments() || !connectApps() || !learnInstruments()) {
    pacer_.stop();
    if (daemon_.pid() > 0) stopDaemon();
    r_.faults = faults_.take();
    return r_;
  }
  baseline();

  const auto sample = [&](ProcessSample& into) {
    if (const auto s = SampleProcess(daemon_.pid())) into = *s;
  };
  sample(r_.beforeWarmUp);
  const auto start = Clock::now() + 20ms;
  std::thread instrumentThread([&] { instrumentLoop(start); });
  for (auto& app : apps_) {
    App* p = app.get();
    // The one that churns has no reader: it looks for stray events itself when it goes.
    if (!p->churns) p->eventThread = std::thread([this, p] { eventLoop(*p); });
    p->requestThread = std::thread([this, p, start] { appLoop(*p, start); });
  }
  phase_ = kWarmUp;
  // Paced by the clock: the phases are lengths of time, nothing is waited for.
  const bool warm = pacer_.waitUntil(start + o_.warmUp);
  sample(r_.afterWarmUp);
  const std::uint64_t datagrams0 = datagramsSoFar();
  const auto load0 = Clock::now();
  phase_ = kLoad;
  if (warm) pacer_.waitUntil(load0 + o_.load);
  phase_ = kDrain;
  r_.loadSeconds = std::chrono::duration<double>(Clock::now() - load0).count();
  pacer_.stop();
  instrumentThread.join();
  for (auto& app : apps_)
    if (app->requestThread.joinable()) app->requestThread.join();
  r_.datagrams = datagramsSoFar() - datagrams0;
  r_.requests = loadRequests_;

  drain();
  sample(r_.atEnd);
  r_.sampled = r_.beforeWarmUp.fds >= 0 && r_.afterWarmUp.fds >= 0 && r_.atEnd.fds >= 0;

  std::vector<double> us;
  for (auto& app : apps_) us.insert(us.end(), app->loadUs.begin(), app->loadUs.end());
  r_.statusLoaded = FiguresOf(std::move(us));

  // The holders let go, as applications do, and all go away before the daemon stops.
  for (auto& app : apps_)
    if (app->holds >= 0)
      checkLock(*app, instruments_[static_cast<std::size_t>(app->holds)]->entry.id, brokla::kLockOpUnlock,
                "letting its instrument go", [](int b, int a) { return b == 1 && a == 0; });
  r_.checkedReplies = replies_;
  r_.events = events_;
  r_.reconnects = reconnects_;
  apps_.clear();
  stopDaemon();
  for (auto& in : instruments_) in->sim->stop();
  for (const std::string& name : Listing(runtime))
    if (!before.count(name)) r_.leftInRuntime.push_back(name);
  r_.faults = faults_.take();
  return r_;
}

}  // namespace

std::optional<ProcessSample> SampleProcess(int pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  ProcessSample s;
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::strtol(line.c_str() + 6, nullptr, 10);
  std::error_code ec;
  int fds = 0;
  for (auto it = fs::directory_iterator(proc + "/fd", ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    ++fds;
  if (ec || s.rssKiB < 0) return std::nullopt;
  s.fds = fds;
  return s;
}

LoadResult RunLoad(const LoadOptions& options) { return Run(options).go(); }

}  // namespace brokla_test
