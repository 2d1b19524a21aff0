#include "platform/net.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/registry.h"
#include "testsupport/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using platform::net::Endpoint;
using platform::net::kLoopbackAddress;
using platform::net::Socket;

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Moves a manual clock on until `f` is ready; each step waits a moment in real time for
// the worker to notice. Bounded: a worker that never finishes fails the test.
template <typename T>
void driveUntilReady(platform::ManualClock& clock, std::future<T>& f,
                     std::chrono::milliseconds step = 1000ms) {
  const auto start = std::chrono::steady_clock::now();
  while (f.wait_for(5ms) != std::future_status::ready) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, 20s) << "worker did not finish";
    clock.advance(step);
  }
}

class NetTest : public testsupport::ZevaTest {
 protected:
  NetTest() { ::setenv("ZEVA_NET_LOOPBACK_ONLY", "1", 1); }
  ~NetTest() override {
    platform::net::setLogHook(nullptr);
    ::setenv("ZEVA_NET_LOOPBACK_ONLY", "1", 1);
  }

  // A listening TCP socket on an ephemeral loopback port.
  static Socket listener(Endpoint* where) {
    Socket s = Socket::create(Socket::Type::stream);
    EXPECT_TRUE(s.bind({kLoopbackAddress, 0}));
    EXPECT_TRUE(s.listen(4));
    *where = *s.localEndpoint();
    return s;
  }
};

TEST_F(NetTest, AddressesParseStrictlyAndFormatBack) {
  const struct {
    const char* text;
    std::optional<std::uint32_t> value;
  } cases[] = {
      {"127.0.0.1", 0x7F000001u},
      {"10.0.0.255", 0x0A0000FFu},
      {"255.255.255.255", 0xFFFFFFFFu},
      {"0.0.0.0", 0u},
      {"256.0.0.1", {}},
      {"1.2.3", {}},
      {"1.2.3.4.5", {}},
      {"1.2.3.4 ", {}},
      {"", {}},
      {"a.b.c.d", {}},
      {"1..2.3", {}},
      {"0001.2.3.4", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(platform::net::parseAddress(c.text), c.value);
    if (c.value) {
      EXPECT_EQ(platform::net::formatAddress(*c.value), c.text);
    }
  }
  EXPECT_EQ(platform::net::formatEndpoint({0x0A000005, 3001}), "10.0.0.5:3001");
  EXPECT_TRUE(platform::net::isLoopback(0x7FFFFFFF));
  EXPECT_FALSE(platform::net::isLoopback(0x80000001));
}

TEST_F(NetTest, ErrnoMapsOntoTheSystemsErrorNumbers) {
  const struct {
    int errnoValue, code;
  } cases[] = {
      {0, 0},
      {ECONNRESET, platform::net::WSAECONNRESET},
      {ECONNABORTED, platform::net::WSAECONNABORTED},
      {EPIPE, platform::net::WSAECONNABORTED},
      {EAGAIN, platform::net::WSAEWOULDBLOCK},
      {ECONNREFUSED, platform::net::WSAECONNREFUSED},
      {ENETDOWN, platform::net::WSAENETDOWN},
      {ETIMEDOUT, platform::net::WSAETIMEDOUT},
      {EHOSTUNREACH, platform::net::WSAEHOSTUNREACH},
      {ENOTSOCK, platform::net::WSAENOTSOCK},
      {ENOSPC, 20000 + ENOSPC},  // no counterpart: kept apart from the WinSock numbers
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.errnoValue);
    EXPECT_EQ(platform::net::errorFromErrno(c.errnoValue), c.code);
    EXPECT_FALSE(platform::net::errorText(c.code).empty());
  }
}

TEST_F(NetTest, LoopbackGuardRefusesEveryOutsideDestinationAndSaysSo) {
  std::vector<std::string> reports;
  platform::net::setLogHook([&](const std::string& line) { reports.push_back(line); });

  Socket tcp = Socket::create(Socket::Type::stream);
  EXPECT_FALSE(tcp.connect({0x0A000005, 3001}, 1000ms));
  EXPECT_EQ(platform::net::lastError(), platform::net::WSAEACCES);

  Socket udp = Socket::create(Socket::Type::datagram);
  ASSERT_TRUE(udp.setBroadcast(true));
  const auto payload = bytes("identify");
  EXPECT_EQ(udp.sendTo(payload, {0x0A0000FF, 9}).error, platform::net::WSAEACCES);
  EXPECT_FALSE(platform::net::resolveHost("instrument.example"));

  ASSERT_EQ(reports.size(), 3u);
  EXPECT_THAT(reports[0], testing::HasSubstr("10.0.0.5"));
  EXPECT_THAT(reports[1], testing::HasSubstr("10.0.0.255"));
  EXPECT_THAT(reports[0], testing::HasSubstr("ZEVA_NET_LOOPBACK_ONLY=1"));

  // Anywhere in 127/8 is fine; own names resolve to loopback without asking a name server.
  Socket receiver = Socket::create(Socket::Type::datagram);
  ASSERT_TRUE(receiver.bind({kLoopbackAddress, 0}));
  EXPECT_TRUE(udp.sendTo(payload, *receiver.localEndpoint()).ok());
  EXPECT_EQ(platform::net::resolveHost("localhost"), kLoopbackAddress);
  EXPECT_EQ(platform::net::resolveHost(platform::net::hostName()), kLoopbackAddress);

  // Without the variable the guard lets addresses through (checked without sending).
  ::unsetenv("ZEVA_NET_LOOPBACK_ONLY");
  EXPECT_TRUE(platform::net::mayReach(0x0A000005));
  EXPECT_EQ(reports.size(), 3u);
}

TEST_F(NetTest, ServicesFileComesBeforeTheSystemDatabase) {
  const std::string file = tempDir() + "/services";
  testsupport::writeFile(file,
                         "# instrument services\n"
                         "vrelevent\t47001/udp\t\t# events\n"
                         "vrelcntrl 47002/udp ctl control\n"
                         "vrelinstr 47010/tcp\n"
                         "ssh 2222/tcp\n"  // shadows the system's entry
                         "broken\n"
                         "zero 0/tcp\n"
                         "huge 70000/tcp\n"
                         "letters abc/tcp\n"
                         "noproto 5000\n");
  ::setenv("ZEVA_SERVICES_FILE", file.c_str(), 1);
  const struct {
    const char* name;
    const char* protocol;
    std::optional<std::uint16_t> port;
  } cases[] = {
      {"vrelevent", "udp", 47001}, {"vrelcntrl", "udp", 47002}, {"control", "udp", 47002},
      {"VRELINSTR", "tcp", 47010}, {"vrelinstr", "udp", {}},    {"vrelevent", "tcp", {}},
      {"ssh", "tcp", 2222},        {"zero", "tcp", {}},         {"huge", "tcp", {}},
      {"letters", "tcp", {}},      {"noproto", "tcp", {}},      {"", "tcp", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "/" + c.protocol);
    EXPECT_EQ(platform::net::servicePort(c.name, c.protocol), c.port);
  }
  ::unsetenv("ZEVA_SERVICES_FILE");
  if (platform::net::servicePort("ssh", "tcp")) {
    EXPECT_EQ(platform::net::servicePort("ssh", "tcp"), 22);  // the system's database, when it has one
  }
  EXPECT_EQ(platform::net::protocolNumber("tcp"), 6);
  EXPECT_EQ(platform::net::protocolNumber("udp"), 17);
}

TEST_F(NetTest, ServicesFilesThatAreNoFilesOrHaveNoEndAreSkippedAtOnce) {
  const std::string fifo = tempDir() + "/fifo";
  testsupport::makeFifo(fifo);
  const std::string zero = tempDir() + "/zero";
  ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
  const std::string endless = tempDir() + "/endless";
  testsupport::writeFile(endless, std::string(5u << 20, 'v'));  // no line break at all
  for (const std::string& file : {fifo, zero, endless}) {
    SCOPED_TRACE(file);
    ::setenv("ZEVA_SERVICES_FILE", file.c_str(), 1);
    std::optional<std::uint16_t> port = 1;
    ASSERT_TRUE(testsupport::endsWithoutAWriter(
        [&] { port = platform::net::servicePort("vrelevent", "udp"); }, fifo));
    EXPECT_EQ(port, std::nullopt);
  }
  ::unsetenv("ZEVA_SERVICES_FILE");
}

TEST_F(NetTest, InstalledServicesFileIsFoundThroughTheRegistry) {
  namespace reg = platform::registry;
  const std::string installed = tempDir() + "/share";
  ASSERT_EQ(::mkdir(installed.c_str(), 0755), 0);
  testsupport::writeFile(installed + "/services", "vrelevent 47101/udp\nvrelinstr 47110/tcp\n");
  const std::string own = tempDir() + "/own-services";
  testsupport::writeFile(own, "vrelevent 47201/udp\n");
  ::unsetenv("ZEVA_SERVICES_FILE");
  EXPECT_TRUE(platform::net::servicesFiles().empty());
  EXPECT_EQ(platform::net::servicePort("vrelevent", "udp"), std::nullopt);

  ASSERT_EQ(reg::createKey(platform::HKEY_LOCAL_MACHINE, platform::net::kServicesDatabaseKey), reg::kOk);
  ASSERT_EQ(reg::setValue(platform::HKEY_LOCAL_MACHINE, platform::net::kServicesDatabaseKey,
                          platform::net::kServicesDatabaseValue, reg::makeString(installed + "/")),
            reg::kOk);
  EXPECT_EQ(platform::net::servicesFiles(), std::vector<std::string>{installed + "/services"});
  EXPECT_EQ(platform::net::servicePort("vrelevent", "udp"), 47101);

  // The environment's file is read first; what it lacks still comes from the installed one.
  ::setenv("ZEVA_SERVICES_FILE", own.c_str(), 1);
  EXPECT_EQ(platform::net::servicesFiles(), (std::vector<std::string>{own, installed + "/services"}));
  EXPECT_EQ(platform::net::servicePort("vrelevent", "udp"), 47201);
  EXPECT_EQ(platform::net::servicePort("vrelinstr", "tcp"), 47110);
  ::unsetenv("ZEVA_SERVICES_FILE");

  // A value of another type names no folder.
  ASSERT_EQ(reg::setValue(platform::HKEY_LOCAL_MACHINE, platform::net::kServicesDatabaseKey,
                          platform::net::kServicesDatabaseValue, reg::makeDword(1)),
            reg::kOk);
  EXPECT_TRUE(platform::net::servicesFiles().empty());
}

TEST_F(NetTest, StreamCarriesBytesAndReportsTheEnd) {
  Endpoint where;
  Socket server = listener(&where);
  Socket client = Socket::create(Socket::Type::stream);
  ASSERT_TRUE(client.connect(where, 5000ms));
  Endpoint peer;
  Socket accepted = server.accept(5000ms, &peer);
  ASSERT_TRUE(accepted.valid());
  EXPECT_EQ(peer.address, kLoopbackAddress);

  // Larger than a socket buffer, so the send has to wait for the reader.
  std::vector<std::uint8_t> big(4 << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  auto sent = std::async(std::launch::async, [&] { return client.send(big); });
  std::vector<std::uint8_t> got;
  std::vector<std::uint8_t> chunk(65536);
  while (got.size() < big.size()) {
    auto r = accepted.receive(chunk, 5000ms);
    ASSERT_TRUE(r.ok());
    ASSERT_GT(r.bytes, 0u);
    got.insert(got.end(), chunk.begin(), chunk.begin() + static_cast<long>(r.bytes));
  }
  EXPECT_EQ(sent.get().bytes, big.size());
  EXPECT_EQ(got, big);

  // Bytes sent just before a close are still read; then the end shows as 0 bytes.
  ASSERT_TRUE(client.send(bytes("00\n")).ok());
  client.close();
  auto r = accepted.receive(chunk, 5000ms);
  EXPECT_EQ(r.bytes, 3u);
  r = accepted.receive(chunk, 5000ms);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.bytes, 0u);
  // Sending to a gone peer fails without killing the process (no SIGPIPE).
  for (int i = 0; i < 2; ++i) (void)accepted.send(bytes("x"));
  EXPECT_FALSE(accepted.send(bytes("x")).ok());
}

TEST_F(NetTest, ConnectToAClosedPortIsRefused) {
  Socket placeholder = Socket::create(Socket::Type::stream);
  ASSERT_TRUE(placeholder.bind({kLoopbackAddress, 0}));  // bound, not listening
  Socket client = Socket::create(Socket::Type::stream);
  EXPECT_FALSE(client.connect(*placeholder.localEndpoint(), 5000ms));
  EXPECT_EQ(platform::net::lastError(), platform::net::WSAECONNREFUSED);
}

TEST_F(NetTest, TimeOutsRunOnTheClockAndShutdownWakesAWaiter) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  Endpoint where;
  Socket server = listener(&where);
  Socket client = Socket::create(Socket::Type::stream);
  ASSERT_TRUE(client.connect(where, 5000ms));
  Socket accepted = server.accept(5000ms);
  ASSERT_TRUE(accepted.valid());

  std::vector<std::uint8_t> buffer(16);
  // 0 only looks.
  EXPECT_EQ(accepted.receive(buffer, 0ms).error, platform::net::WSAETIMEDOUT);
  // 5 s pass only when the test moves the clock.
  const auto before = clock->steadyNow();
  auto waiting = std::async(std::launch::async, [&] { return accepted.receive(buffer, 5000ms); });
  driveUntilReady(*clock, waiting);
  EXPECT_EQ(waiting.get().error, platform::net::WSAETIMEDOUT);
  EXPECT_GE(clock->steadyNow() - before, 5000ms);

  // A wait without limit ends when another thread shuts the socket down.
  auto accepting = std::async(std::launch::async, [&] { return server.accept(platform::net::kNoLimit); });
  EXPECT_EQ(accepting.wait_for(20ms), std::future_status::timeout);
  ASSERT_TRUE(server.shutdown());
  ASSERT_EQ(accepting.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(accepting.get().valid());
}

TEST_F(NetTest, DatagramsArriveWholeOrCutToTheBuffer) {
  Socket a = Socket::create(Socket::Type::datagram);
  Socket b = Socket::create(Socket::Type::datagram);
  ASSERT_TRUE(a.bind({kLoopbackAddress, 0}));
  ASSERT_TRUE(b.bind({kLoopbackAddress, 0}));
  ASSERT_TRUE(a.sendTo(bytes("hello"), *b.localEndpoint()).ok());
  ASSERT_TRUE(a.sendTo(bytes("0123456789"), *b.localEndpoint()).ok());
  std::vector<std::uint8_t> buffer(6);
  Endpoint from;
  auto r = b.receiveFrom(buffer, &from, 5000ms);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "hello");
  EXPECT_EQ(from, *a.localEndpoint());
  r = b.receiveFrom(buffer, &from, 5000ms);
  EXPECT_EQ(r.error, platform::net::WSAEMSGSIZE);
  EXPECT_EQ(r.bytes, 6u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "012345");
  EXPECT_EQ(b.receiveFrom(buffer, &from, 0ms).error, platform::net::WSAETIMEDOUT);
}

TEST_F(NetTest, WaitAnyReadableNamesTheSocketThatHasADatagram) {
  Socket a = Socket::create(Socket::Type::datagram);
  Socket b = Socket::create(Socket::Type::datagram);
  Socket sender = Socket::create(Socket::Type::datagram);
  ASSERT_TRUE(a.bind({kLoopbackAddress, 0}));
  ASSERT_TRUE(b.bind({kLoopbackAddress, 0}));
  Socket none;  // never ready, never an error
  Socket* const sockets[] = {&a, &none, &b};
  EXPECT_EQ(Socket::waitAnyReadable(sockets, 0ms), -1);
  ASSERT_TRUE(sender.sendTo(bytes("x"), *b.localEndpoint()).ok());
  EXPECT_EQ(Socket::waitAnyReadable(sockets, 5000ms), 2);
  // A broadcast-enabled socket still sends to a plain loopback address.
  ASSERT_TRUE(sender.setBroadcast(true));
  ASSERT_TRUE(sender.sendTo(bytes("y"), *a.localEndpoint()).ok());
  std::vector<std::uint8_t> buffer(4);
  ASSERT_TRUE(b.receiveFrom(buffer, nullptr, 0ms).ok());
  EXPECT_EQ(Socket::waitAnyReadable(sockets, 5000ms), 0);

  // The time-out runs on the clock.
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  ASSERT_TRUE(a.receiveFrom(buffer, nullptr, 0ms).ok());
  auto waited = std::async(std::launch::async, [&] { return Socket::waitAnyReadable(sockets, 60000ms); });
  driveUntilReady(*clock, waited, 10000ms);
  EXPECT_EQ(waited.get(), -1);
}

}  // namespace
