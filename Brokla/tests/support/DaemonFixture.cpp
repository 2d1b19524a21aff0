#include "support/DaemonFixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace brokla_test {

namespace fs = std::filesystem;
namespace net = platform::net;
namespace reg = platform::registry;
using platform::localpipe::Pipe;

namespace {

std::uint16_t freePort(net::Socket::Type type) {
  net::Socket s = net::Socket::create(type);
  if (!s || !s.bind({net::kLoopbackAddress, 0})) return 0;
  return s.localEndpoint().value_or(net::Endpoint{}).port;
}

std::string keyOf(const std::string& subKey) {
  return subKey.empty() ? kServiceKey : std::string(kServiceKey) + "\\" + subKey;
}

Bytes le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

CBroklaAppMessage message(int type, const Bytes& data) {
  CBroklaAppMessage m;
  m.SetType(type);
  m.SetData(0, data.data(), static_cast<int>(data.size()));
  m.SetDataLength(static_cast<int>(data.size()));
  return m;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TestApp

bool TestApp::connectRequestsOnly() {
  app_ = process_->connect(brokla::kAppPipe);
  if (!app_.isOpen()) return false;
  const auto reply = request(brokla::kMsgHello, le32(static_cast<std::uint32_t>(pid_)));
  return reply && reply->GetType() == brokla::kMsgHello && reply->GetDataLength() == 0;
}

bool TestApp::connect() {
  if (!connectRequestsOnly()) return false;
  events_ = process_->connect(brokla::kEventPipe);
  if (!events_.isOpen()) return false;
  const int before = log_.count("Event Monitor Connection Established");
  return postEvent(brokla::kEventNewApp, static_cast<std::uint32_t>(pid_)) &&
         log_.waitFor("Event Monitor Connection Established", before + 1);
}

std::optional<CBroklaAppMessage> TestApp::request(const CBroklaAppMessage& m,
                                                  std::chrono::milliseconds timeout) {
  if (!app_.write(m.GetWire(), 5s)) return std::nullopt;
  Bytes buffer(1024);
  const auto r = app_.read(buffer, timeout);
  if (!r.ok()) return std::nullopt;
  CBroklaAppMessage reply;
  if (!reply.Assign({buffer.data(), r.size})) return std::nullopt;
  return reply;
}

std::optional<CBroklaAppMessage> TestApp::request(int type, const Bytes& data,
                                                  std::chrono::milliseconds timeout) {
  return request(message(type, data), timeout);
}

bool TestApp::sendRaw(const Bytes& bytes) { return app_.write(bytes, 5s); }

std::optional<Bytes> TestApp::readRaw(std::chrono::milliseconds timeout) {
  Bytes buffer(1024);
  const auto r = app_.read(buffer, timeout);
  if (!r.ok()) return std::nullopt;
  buffer.resize(r.size);
  return buffer;
}

std::vector<brokla::InstrumentEntry> TestApp::enumerate() {
  std::vector<brokla::InstrumentEntry> entries;
  const auto reply = request(brokla::kMsgEnumerate, {});
  if (!reply || reply->GetType() != brokla::kMsgEnumerate) return entries;
  const auto wire = reply->GetWire();
  for (int at = 0; at + brokla::kInstrumentEntrySize <= reply->GetDataLength();
       at += brokla::kInstrumentEntrySize)
    if (auto e = brokla::ParseInstrumentEntry(
            wire.subspan(static_cast<std::size_t>(2 + at), brokla::kInstrumentEntrySize)))
      entries.push_back(*e);
  return entries;
}

std::optional<LockReply> TestApp::lock(std::uint32_t id, int operation) {
  Bytes data = le32(id);
  data.push_back(static_cast<std::uint8_t>(operation));
  const auto reply = request(brokla::kMsgLock, data);
  if (!reply || reply->GetType() != brokla::kMsgLock || reply->GetDataU32(0) != id) return std::nullopt;
  LockReply r;
  r.status = reply->GetDataByte(4);
  if (reply->GetDataLength() >= 7) {
    r.before = static_cast<std::int8_t>(reply->GetDataByte(5));
    r.after = static_cast<std::int8_t>(reply->GetDataByte(6));
  }
  return r;
}

std::optional<StatusReply> TestApp::status(std::uint32_t id, std::chrono::milliseconds timeout) {
  const auto reply = request(brokla::kMsgStatus, le32(id), timeout);
  if (!reply || reply->GetType() != brokla::kMsgStatus || reply->GetDataU32(0) != id ||
      reply->GetDataLength() != 7)
    return std::nullopt;
  return StatusReply{reply->GetDataByte(4), reply->GetDataByte(5), reply->GetDataByte(6)};
}

std::optional<int> TestApp::laserRequest(std::uint32_t id, const std::vector<std::uint32_t>& fields) {
  Bytes data = le32(id);
  for (std::uint32_t f : fields) {
    const Bytes b = le32(f);
    data.insert(data.end(), b.begin(), b.end());
  }
  const auto reply = request(brokla::kMsgLaserPowerRequest, data);
  if (!reply || reply->GetType() != brokla::kMsgLaserPowerRequest || reply->GetDataU32(0) != id)
    return std::nullopt;
  return reply->GetDataByte(4);
}

std::optional<int> TestApp::removeTimers(std::uint32_t id) {
  const auto reply = request(brokla::kMsgRemoveLaserTimers, le32(id));
  if (!reply || reply->GetType() != brokla::kMsgRemoveLaserTimers) return std::nullopt;
  return reply->GetDataByte(4);
}

bool TestApp::postEvent(int type, std::uint32_t value) {
  return events_.write(message(type, le32(value)).GetWire(), 5s);
}

bool TestApp::postRawEvent(const Bytes& bytes) { return events_.write(bytes, 5s); }

std::optional<CBroklaAppMessage> TestApp::nextEvent(std::chrono::milliseconds timeout) {
  Bytes buffer(1024);
  const auto r = events_.read(buffer, timeout);
  if (!r.ok()) return std::nullopt;
  CBroklaAppMessage m;
  if (!m.Assign({buffer.data(), r.size})) return std::nullopt;
  return m;
}

bool TestApp::eventWaiting() {
  const auto n = events_.peek();
  return n && *n > 0;
}

// ---------------------------------------------------------------------------------------
// DaemonTest

DaemonTest::DaemonTest() : log_(tempDir() + "/logs") {
  ::setenv("ZEVA_NET_LOOPBACK_ONLY", "1", 1);
  choosePorts();
  ::setenv("ZEVA_SERVICES_FILE", (tempDir() + "/services").c_str(), 1);
  fs::create_directories(tempDir() + "/logs");
  setString("LogFile", tempDir() + "/logs/brokla.log");
  setDword("DebugLevel", 2, "Logging");
  // Where the identify broadcast goes unless a test says otherwise: nowhere anybody listens.
  setDword("BCastAddr", loopback(254));
}

void DaemonTest::choosePorts() {
  eventPort_ = freePort(net::Socket::Type::datagram);
  controlPort_ = freePort(net::Socket::Type::datagram);
  instrBase_ = freePort(net::Socket::Type::stream);
  testsupport::writeFile(tempDir() + "/services",
                         "# this test's ports\n"
                         "vrelevent " +
                             std::to_string(eventPort_) +
                             "/udp\n"
                             "vrelcntrl " +
                             std::to_string(controlPort_) +
                             "/udp\n"
                             "vrelinstr " +
                             std::to_string(instrBase_) + "/tcp\n");
}

DaemonTest::~DaemonTest() { ::unsetenv("ZEVA_SERVICES_FILE"); }

void DaemonTest::TearDown() {
  if (daemon_.pid() > 0 && daemon_.running()) {
    // Every test ends with a clean stop: SIGTERM, exit code 0, nothing leaked.
    EXPECT_EQ(stopDaemon(), 0);
  }
  if (HasFailure() || std::getenv("BROKLA_TEST_SHOW_LOG"))
    std::printf("---- brokla log ----\n%s---- brokla stderr ----\n%s", log_.text().c_str(),
                daemonStderr().c_str());
}

void DaemonTest::setDword(const std::string& name, std::uint32_t value, const std::string& subKey) {
  (void)reg::createKey(platform::HKEY_LOCAL_MACHINE, keyOf(subKey));
  ASSERT_EQ(reg::setValue(platform::HKEY_LOCAL_MACHINE, keyOf(subKey), name, reg::makeDword(value)),
            reg::kOk);
}

void DaemonTest::setString(const std::string& name, const std::string& value, const std::string& subKey) {
  (void)reg::createKey(platform::HKEY_LOCAL_MACHINE, keyOf(subKey));
  ASSERT_EQ(reg::setValue(platform::HKEY_LOCAL_MACHINE, keyOf(subKey), name, reg::makeString(value)),
            reg::kOk);
}

std::optional<std::uint32_t> DaemonTest::dword(const std::string& name, const std::string& subKey) const {
  reg::Value v;
  if (reg::queryValue(platform::HKEY_LOCAL_MACHINE, keyOf(subKey), name, v) != reg::kOk ||
      v.type != platform::REG_DWORD || v.data.size() != 4)
    return std::nullopt;
  return static_cast<std::uint32_t>(v.data[0]) | (static_cast<std::uint32_t>(v.data[1]) << 8) |
         (static_cast<std::uint32_t>(v.data[2]) << 16) | (static_cast<std::uint32_t>(v.data[3]) << 24);
}

std::optional<std::string> DaemonTest::string(const std::string& name, const std::string& subKey) const {
  reg::Value v;
  if (reg::queryValue(platform::HKEY_LOCAL_MACHINE, keyOf(subKey), name, v) != reg::kOk ||
      v.type != platform::REG_SZ)
    return std::nullopt;
  std::string s(v.data.begin(), v.data.end());
  return s.substr(0, s.find('\0'));
}

bool DaemonTest::keyExists(const std::string& subKey) const {
  return reg::keyExists(platform::HKEY_LOCAL_MACHINE, keyOf(subKey)) == reg::kOk;
}

void DaemonTest::startDaemon() {
  for (int attempt = 1;; ++attempt) {
    const int started = log_.count("Processing the startup REFRESH request");
    const int clashes = log_.count("can't bind to");
    daemon_ = platform::process::Child::spawn(
        {BROKLA_PROGRAM}, {tempDir(), tempDir() + "/brokla.stdout", tempDir() + "/brokla.stderr"});
    ASSERT_GT(daemon_.pid(), 0) << "cannot start " << BROKLA_PROGRAM << ": " << daemon_.error();
    const auto end = std::chrono::steady_clock::now() + kWait;
    while (log_.count("Processing the startup REFRESH request") <= started) {
      if (!daemon_.running()) break;
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "brokla did not start:\n" << log_.text();
      platform::sleepFor(5ms);
    }
    if (daemon_.running()) return;
    // The free ports chosen were taken by someone else meanwhile: choose again.
    if (attempt < 3 && log_.count("can't bind to") > clashes) {
      choosePorts();
      continue;
    }
    FAIL() << "brokla ended at start:\n" << log_.text() << daemonStderr();
  }
}

std::optional<int> DaemonTest::stopDaemon() {
  (void)daemon_.signal(SIGTERM);  // a daemon that already ended shows in the wait
  return daemon_.wait(kWait);
}

std::optional<int> DaemonTest::runSecondDaemon() {
  auto second = platform::process::Child::spawn(
      {BROKLA_PROGRAM}, {tempDir(), tempDir() + "/second.stdout", tempDir() + "/second.stderr"});
  return second.wait(kWait);
}

int DaemonTest::control(std::uint32_t code) {
  std::error_code ec;
  fs::remove(tempDir() + "/control.stdout", ec);  // what this call printed, alone
  auto c = platform::process::Child::spawn(
      {BROKLA_PROGRAM, "--control", std::to_string(code)},
      {tempDir(), tempDir() + "/control.stdout", tempDir() + "/control.stderr"});
  return c.wait(kWait).value_or(-1);
}

std::string DaemonTest::daemonStderr() const { return testsupport::readFile(tempDir() + "/brokla.stderr"); }

std::unique_ptr<zevasim::UdpSide> DaemonTest::instrument(int host, const std::string& serial,
                                                         std::uint8_t type) {
  zevasim::UdpOptions o;
  o.address = loopback(host);
  o.eventPort = eventPort_;
  o.managerAddress = net::kLoopbackAddress;
  o.serialNumber = serial;
  o.type = type;
  auto sim = std::make_unique<zevasim::UdpSide>(o);
  EXPECT_TRUE(sim->start());
  return sim;
}

std::optional<std::uint16_t> DaemonTest::announce(zevasim::UdpSide& sim) {
  const std::size_t before = sim.received(zevasim::udp::kNewInstr).size();
  if (!sim.announce() || !sim.waitForReceived(zevasim::udp::kNewInstr, before + 1)) return std::nullopt;
  return sim.received(zevasim::udp::kNewInstr).back().dataU16(0);
}

std::optional<std::uint32_t> DaemonTest::idOf(TestApp& app, std::uint32_t address) {
  for (const auto& e : app.enumerate())
    if (e.address == address) return e.id;
  return std::nullopt;
}

std::unique_ptr<TestApp> DaemonTest::connectedApp() {
  auto a = app();
  EXPECT_TRUE(a->connect());
  return a;
}

bool DaemonTest::sendDatagram(const Bytes& bytes, std::uint16_t port, std::uint32_t from) {
  net::Socket s = net::Socket::create(net::Socket::Type::datagram);
  return s && s.bind({from, 0}) && s.sendTo(bytes, {net::kLoopbackAddress, port}).ok();
}

}  // namespace brokla_test
