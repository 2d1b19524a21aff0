#include "zevasim/SimInstrument.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "SimClient.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "testsupport/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using platform::net::Socket;
using simclient::Bytes;
using simclient::frame;
using simclient::parse;
using simclient::receive;
using simclient::Response;
using zevasim::Fault;

class SimTest : public testsupport::ZevaTest {
 protected:
  SimTest() { EXPECT_TRUE(sim.start()); }

  Socket connect() {
    Socket s = Socket::create(Socket::Type::stream);
    EXPECT_TRUE(s.connect({platform::net::kLoopbackAddress, sim.port()}, 5000ms));
    return s;
  }
  zevasim::Instrument sim;
};

TEST_F(SimTest, AnswersCommandsInFramesAndLogsEveryLine) {
  const std::string logFile = tempDir() + "/lines.log";
  zevasim::Instrument logged({platform::net::kLoopbackAddress, 0, "S", 1, logFile, 0ms});
  ASSERT_TRUE(logged.start());
  Socket s = Socket::create(Socket::Type::stream);
  ASSERT_TRUE(s.connect({platform::net::kLoopbackAddress, logged.port()}, 5000ms));

  const std::vector<std::pair<Bytes, std::string>> exchanges = {
      {frame("poke 10 A5\n"), "00\n"},      {frame("peek 10\n"), "00,A5\n"},
      {frame("peek 0x10\n", 0), "00,A5\n"},  // a text frame with its NUL
      {frame("nosuch 1 2\n"), "17\n"},      {frame("peek\n"), "05\n"},
  };
  for (const auto& [request, expected] : exchanges) {
    SCOPED_TRACE(expected);
    ASSERT_TRUE(s.send(request).ok());
    const auto replies = parse(receive(s, 16 + expected.size()));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].length, 16 + expected.size());
    EXPECT_EQ(replies[0].instrId, 7u);
    EXPECT_EQ(replies[0].flags, 0);
    EXPECT_EQ(replies[0].cmdId, 0x4B);
    EXPECT_EQ(replies[0].timeout, 10);
    EXPECT_EQ(replies[0].payload, expected);
  }
  EXPECT_THAT(logged.lines(),
              testing::ElementsAre("poke 10 A5", "peek 10", "peek 0x10", "nosuch 1 2", "peek"));
  EXPECT_EQ(testsupport::readFile(logFile), "poke 10 A5\npeek 10\npeek 0x10\nnosuch 1 2\npeek\n");
}

TEST_F(SimTest, KeepsTheLastRequestsOnlyAndCountsThemAll) {
  zevasim::Options options;
  options.requestLogSize = 3;
  zevasim::Instrument small(options);
  ASSERT_TRUE(small.start());
  Socket s = Socket::create(Socket::Type::stream);
  ASSERT_TRUE(s.connect({platform::net::kLoopbackAddress, small.port()}, 5000ms));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(s.send(frame("poke " + std::to_string(i) + " 1\n")).ok());
    ASSERT_EQ(parse(receive(s, 16 + 3)).size(), 1u);
  }
  EXPECT_TRUE(small.waitForLines(5));
  EXPECT_EQ(small.linesReceived(), 5u);
  EXPECT_THAT(small.lines(), testing::ElementsAre("poke 2 1", "poke 3 1", "poke 4 1"));
  ASSERT_EQ(small.requests().size(), 3u);
  EXPECT_EQ(small.requests().front().line, "poke 2 1");
}

TEST_F(SimTest, FramesWithALengthOutOfRangeEndTheConnection) {
  for (const std::uint32_t length : {0u, 15u, zevasim::Instrument::kMaxCommandFrame + 1, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    Socket s = connect();
    Bytes bad = frame("peek 0\n");
    bad[0] = static_cast<std::uint8_t>(length >> 24);
    bad[1] = static_cast<std::uint8_t>(length >> 16);
    bad[2] = static_cast<std::uint8_t>(length >> 8);
    bad[3] = static_cast<std::uint8_t>(length);
    ASSERT_TRUE(s.send(bad).ok());
    EXPECT_TRUE(receive(s, 1).empty());  // closed, nothing sent
    EXPECT_EQ(sim.lines().back(), "<frame rejected: length " + std::to_string(length) + ">");
  }
  Socket s = connect();  // and it serves the next connection
  ASSERT_TRUE(s.send(frame("peek 0\n")).ok());
  EXPECT_EQ(parse(receive(s, 22))[0].payload, "00,00\n");
}

TEST_F(SimTest, FaultsChangeWhatGoesOutAndWearOff) {
  sim.setHandler("map", [](const zevasim::Request&) {
    zevasim::Reply r;
    r.frames = {"00,", "a,", "b\n"};
    return r;
  });
  const struct {
    const char* what;
    std::string command;
    std::optional<Fault> fault;
    std::size_t bytes;  // what arrives
    std::vector<std::string> payloads;
    std::vector<std::uint8_t> flags;
  } cases[] = {
      {"status", "peek 0\n", Fault{Fault::Kind::errorStatus, 0x3F}, 19, {"3F\n"}, {0}},
      {"split", "peek 0\n", Fault{Fault::Kind::splitReply, 3}, 22, {"00,00\n"}, {0}},
      {"several frames", "map\n", std::nullopt, 16 * 3 + 7, {"00,", "a,", "b\n"}, {2, 2, 0}},
      {"fault worn off", "peek 0\n", std::nullopt, 22, {"00,00\n"}, {0}},
  };
  Socket s = connect();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.fault) sim.injectFault("peek", *c.fault);
    ASSERT_TRUE(s.send(frame(c.command)).ok());
    const auto replies = parse(receive(s, c.bytes));
    ASSERT_EQ(replies.size(), c.payloads.size());
    for (std::size_t i = 0; i < replies.size(); ++i) {
      EXPECT_EQ(replies[i].payload, c.payloads[i]);
      EXPECT_EQ(replies[i].flags, c.flags[i]);
    }
  }

  // Stale bytes follow the reply.
  sim.injectFault("peek", {Fault::Kind::staleBytes, 120});
  ASSERT_TRUE(s.send(frame("peek 0\n")).ok());
  const Bytes stale = receive(s, 22 + 120);
  ASSERT_EQ(stale.size(), 22u + 120u);
  EXPECT_EQ(std::string(stale.begin() + 22, stale.end()), std::string(120, 'Z'));

  // A bogus length: only a header.
  sim.injectFault("peek", {Fault::Kind::bogusLength, 100017});
  ASSERT_TRUE(s.send(frame("peek 0\n")).ok());
  const auto bogus = parse(receive(s, 16));
  ASSERT_EQ(bogus.size(), 1u);
  EXPECT_EQ(bogus[0].length, 100017u);

  // Closing in the middle of the reply.
  sim.injectFault("*", {Fault::Kind::closeMidReply, 0});
  ASSERT_TRUE(s.send(frame("peek 0\n")).ok());
  const Bytes cut = receive(s, 1000);
  EXPECT_EQ(cut.size(), 16u + 3u);
}

TEST_F(SimTest, DelayRunsOnTheClock) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  sim.injectFault("peek", {Fault::Kind::delay, 12000});
  Socket s = connect();
  ASSERT_TRUE(s.send(frame("peek 0\n")).ok());
  ASSERT_TRUE(clock->waitForWaiters(1));
  std::uint8_t b[32];
  EXPECT_EQ(s.receive(b, 0ms).error, platform::net::WSAETIMEDOUT);
  clock->advance(11999ms);
  EXPECT_FALSE(sim.waitForReplies(1, 20ms));
  clock->advance(1ms);
  EXPECT_TRUE(sim.waitForReplies(1));
  EXPECT_EQ(parse(receive(s, 22))[0].payload, "00,00\n");
}

TEST_F(SimTest, BootRestartsOnANewPortWhenAsked) {
  int announced = 0;
  std::promise<std::uint16_t> back;
  sim.setRebootListener([&](zevasim::Instrument& in) {
    if (++announced == 1) back.set_value(in.port());
  });
  sim.injectFault("boot", {Fault::Kind::reboot, 1});
  const std::uint16_t oldPort = sim.port();
  Socket s = connect();
  ASSERT_TRUE(s.send(frame("boot\n")).ok());
  const Bytes reply = receive(s, 1000);  // the reply, then the end of the connection
  EXPECT_EQ(parse(reply)[0].payload, "00\n");
  auto newPort = back.get_future();
  ASSERT_EQ(newPort.wait_for(10s), std::future_status::ready);
  EXPECT_NE(newPort.get(), oldPort);
  EXPECT_EQ(sim.reboots(), 1);

  Socket old = Socket::create(Socket::Type::stream);
  EXPECT_FALSE(old.connect({platform::net::kLoopbackAddress, oldPort}, 5000ms));
  Socket fresh = connect();
  ASSERT_TRUE(fresh.send(frame("peek 0\n")).ok());
  EXPECT_EQ(parse(receive(fresh, 22))[0].payload, "00,00\n");
}

TEST(SimOptions, OnlyLoopbackIsServed) {
  zevasim::Instrument outside({0x0A000001, 0, "S", 1, "", 0ms});
  EXPECT_FALSE(outside.start());
  EXPECT_EQ(zevasim::faultKindFromName("bogus-length"), Fault::Kind::bogusLength);
  EXPECT_EQ(zevasim::faultKindFromName("nonsense"), std::nullopt);
}

}  // namespace
