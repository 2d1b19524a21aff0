// Bad input from the network and from local applications: each is logged and dropped,
// and the daemon serves on. Also the limit on applications.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/DaemonFixture.h"

namespace brokla_test {
namespace {

namespace udp = zevasim::udp;

class MalformedTest : public DaemonTest {};

struct Row {
  const char* what;
  Bytes bytes;
  const char* logged;  // "" : dropped without a line
};

TEST_F(MalformedTest, DatagramsThatDoNotHoldTogetherAreDroppedAndNothingElseChanges) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto sim = instrument(2, "SN-A");
  ASSERT_TRUE(announce(*sim));

  Bytes longOne(300, 'X');  // cut to 100 bytes on receipt; its serial number to 31
  longOne[0] = 255;
  longOne[1] = udp::kNewInstr;
  longOne[2] = longOne[3] = longOne[4] = longOne[5] = 0;
  longOne[6] = 1;
  const Row eventPort[] = {
      {"empty", {}, "Recvfrom: packet too small: 0 bytes"},
      {"five bytes", {6, 0, 0, 0, 0}, "Recvfrom: packet too small: 5 bytes"},
      {"length byte below the header", {3, 0, 0, 0, 0, 0, 1}, "its length field is below 6"},
      {"announcement without data", {6, 0, 0, 0, 0, 0}, "Dropped NEW_INSTR from 127.0.0.99"},
      {"length byte beyond the bytes", {200, 3, 0, 0, 0, 9, 0, 1}, "Dropped STATUS_CHANGE from 127.0.0.99"},
      {"short identify answer", {9, 4, 0, 0, 0, 1, 1, 2, 3}, "Dropped INSTR_IDENTIFY from 127.0.0.99"},
      {"identify request heard back", {10, 4, 0, 0, 0, 1, 127, 0, 0, 1}, ""},
      {"stop from the network", {6, 24, 0, 0, 0, 0}, ""},
      {"laser command from the network", {10, 25, 0, 0, 0, 0, 127, 0, 0, 2}, ""},
      {"unknown type", {6, 99, 0, 0, 0, 0}, ""},
      {"status of an unknown instrument",
       {9, 3, 0, 0, 0, 1, 0, 1, 1},
       "Received STATUS_CHANGE message from unrecognized instrument"},
      {"reboot of an unknown instrument",
       {6, 1, 0, 0, 0, 1},
       "Received REBOOT message from unrecognized instrument"},
      {"announcement longer than taken", longOne, "New Instrument (IP=127.0.0.99"},
  };
  for (const Row& r : eventPort) {
    SCOPED_TRACE(r.what);
    // A silent drop is known done once a later datagram (a 1-byte one) has been logged.
    const std::string expect = *r.logged ? r.logged : "Recvfrom: packet too small: 1 bytes";
    const int before = log_.count(expect);
    ASSERT_TRUE(sendDatagram(r.bytes, eventPort_));
    if (!*r.logged) {
      ASSERT_TRUE(sendDatagram({0xEE}, eventPort_));
    }
    EXPECT_TRUE(log_.waitFor(expect, before + 1));
  }
  // Commands on the control port come from the daemon itself only.
  ASSERT_TRUE(sendDatagram({6, 24, 0, 0, 0, 0}, controlPort_));
  EXPECT_TRUE(log_.waitFor("Dropped a control datagram from 127.0.0.99"));
  ASSERT_TRUE(sendDatagram({10, 23, 0, 0, 0, 0, 127, 0, 0, 2}, controlPort_));
  EXPECT_TRUE(log_.waitFor("Dropped a control datagram from 127.0.0.99", 2));

  EXPECT_TRUE(daemonRunning());
  EXPECT_TRUE(sim->received(udp::kLaserOn).empty());
  EXPECT_TRUE(sim->received(udp::kCmdAbort).empty());
  auto app = connectedApp();
  const auto entries = app->enumerate();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].address, loopback(99));
  EXPECT_EQ(entries[1].serialNumber, std::string(31, 'X'));
  auto late = instrument(3, "SN-LATE");
  EXPECT_TRUE(announce(*late));
}

TEST_F(MalformedTest, PipeMessagesThatDoNotHoldTogetherAreIgnoredAndGetNoReply) {
  setDword("Spawn", 1);
  setString("SpawnApp", tempDir() + "/never.sh");
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto app = connectedApp();
  Bytes huge(70000, 0);
  huge[0] = 2;
  huge[1] = brokla::kMsgEnumerate;
  const Row requests[] = {
      {"length byte 0", {0, 51}, "Ignoring a malformed request (2 bytes) from Application (msg channel 0)."},
      {"length beyond the bytes", {10, 51, 0}, "Ignoring a malformed request (3 bytes)"},
      {"one byte", {1}, "Ignoring a malformed request (1 bytes)"},
      {"lock without its operation",
       {6, 52, 1, 0, 0, 0},
       "Ignoring Request 52 from Application (msg channel 0): 4 data bytes, 5 needed."},
      {"hello without a process id",
       {3, 50, 7},
       "Ignoring Request 50 from Application (msg channel 0): 1 data bytes"},
      {"laser request one byte short",
       [] {
         Bytes b(49, 0);
         b[0] = 49;
         b[1] = 54;
         return b;
       }(),
       "47 data bytes, 48 needed."},
      {"unknown request", {2, 99}, "Unrecognized Request 99 Received from Application"},
      {"request type above 127", {2, 200}, "Unrecognized Request 200 Received from Application"},
      {"longer than any message", huge, "Ignoring a malformed request (65536 bytes)"},
  };
  for (const Row& r : requests) {
    SCOPED_TRACE(r.what);
    const int before = log_.count(r.logged);
    ASSERT_TRUE(app->sendRaw(r.bytes));
    EXPECT_TRUE(log_.waitFor(r.logged, before + 1));
    // No reply went out for it: the next reply is this request's own.
    const auto reply = app->request(brokla::kMsgEnumerate, {});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->GetType(), brokla::kMsgEnumerate);
  }
  // A length byte of 128 or more is a length like any other.
  Bytes big(200, 0);
  big[0] = 200;
  big[1] = brokla::kMsgStatus;
  big[2] = 77;
  ASSERT_TRUE(app->sendRaw(big));
  EXPECT_EQ(app->readRaw(kWait), (Bytes{9, brokla::kMsgStatus, 77, 0, 0, 0, 1, 0, 0}));

  // The event pipe takes only what applications may post.
  const Row events[] = {
      {"new instrument from an application", {12, 0, 1, 0, 0, 0, '1', '.', '2', '_', '3', 0}, ""},
      {"laser change from an application", {6, 5, 1, 0, 0, 0}, ""},
      {"reboot from an application", {6, 1, 1, 0, 0, 0}, ""},
      {"announcement without a process id",
       {3, 2, 1},
       "Ignoring Event 2 from Application (event channel 0): 1 data bytes, 4 needed."},
      {"length byte 0", {0, 2}, "Ignoring a malformed event (2 bytes)"},
  };
  for (const Row& r : events) {
    SCOPED_TRACE(r.what);
    const std::string expect =
        *r.logged ? r.logged : "Refused Event 2 from Application (channel 0): it states pid 55555";
    const int before = log_.count(expect);
    ASSERT_TRUE(app->postRawEvent(r.bytes));
    if (!*r.logged) {
      ASSERT_TRUE(app->postEvent(brokla::kEventNewApp, 55555));
    }
    EXPECT_TRUE(log_.waitFor(expect, before + 1));
  }
  EXPECT_EQ(log_.count("Event Monitor Notified"), 0);
  EXPECT_EQ(log_.count("Spawning"), 0);
  EXPECT_TRUE(daemonRunning());
}

TEST_F(MalformedTest, ApplicationsBeyondTheLimitAreTurnedAwayAndTheRestServed) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  // Fourteen applications; some never say a word, and that holds up nobody.
  std::vector<std::unique_ptr<TestApp>> apps;
  for (int i = 0; i < 14; ++i) {
    apps.push_back(app());
    if (i % 2 == 0)
      ASSERT_TRUE(apps.back()->connectRequestsOnly()) << i;
    else
      ASSERT_TRUE(
          (apps.back()->requestPipe() = platform::localpipe::Pipe::connect(brokla::kAppPipe, 5s)).isOpen());
  }
  auto extra = app();
  ASSERT_TRUE((extra->requestPipe() = platform::localpipe::Pipe::connect(brokla::kAppPipe, 5s)).isOpen());
  EXPECT_TRUE(log_.waitFor("Maximum number of pipe channels exceeded!"));
  EXPECT_FALSE(extra->readRaw(kWait));  // its pipe was closed on it
  EXPECT_TRUE(daemonRunning());
  EXPECT_EQ(apps[12]->enumerate().size(), 0u);
  EXPECT_TRUE(apps[12]->request(brokla::kMsgEnumerate, {}));

  // One leaves; the next one is served.
  const int closed = log_.count("Closing pipes on channel");
  apps[1]->closeRequests();
  ASSERT_TRUE(log_.waitFor("Closing pipes on channel", closed + 1));
  auto next = app();
  EXPECT_TRUE(next->connectRequestsOnly());
}

TEST_F(MalformedTest, ConnectionsThatNeverSayHelloAreDroppedAndTheApplicationsStayServed) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto served = app();
  ASSERT_TRUE(served->connectRequestsOnly());
  // Every other channel is taken by a connection that never says a word.
  std::vector<platform::localpipe::Pipe> silent;
  for (int i = 0; i < 13; ++i) {
    silent.push_back(platform::localpipe::Pipe::connect(brokla::kAppPipe, 5s));
    ASSERT_TRUE(silent.back().isOpen()) << i;
  }
  ASSERT_TRUE(log_.waitFor("Message pipe established.", 14));
  ASSERT_TRUE(log_.waitFor("no hello within 5 s.", 13, 30s));
  for (auto& pipe : silent) EXPECT_FALSE(pipe.peek()) << "still open";
  EXPECT_TRUE(served->request(brokla::kMsgEnumerate, {}));  // the application that said hello stays
  auto next = app();
  EXPECT_TRUE(next->connectRequestsOnly());
  EXPECT_TRUE(next->request(brokla::kMsgEnumerate, {}));
  EXPECT_EQ(log_.count("no hello within"), 13);
  EXPECT_TRUE(daemonRunning());
}

TEST_F(MalformedTest, SilentConnectionsAreDroppedOnTimeWhileFurtherOnesAreTurnedAway) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  std::vector<platform::localpipe::Pipe> silent;
  for (int i = 0; i < 14; ++i) {
    silent.push_back(platform::localpipe::Pipe::connect(brokla::kAppPipe, 5s));
    ASSERT_TRUE(silent.back().isOpen()) << i;
  }
  ASSERT_TRUE(log_.waitFor("Message pipe established.", 14));
  // Another connection about every second, each turned away: none may put the silent
  // ones' deadline off.
  const auto end = std::chrono::steady_clock::now() + 30s;
  while (!log_.waitFor("no hello within 5 s.", 14, 1s)) {
    ASSERT_LT(std::chrono::steady_clock::now(), end) << "the silent connections are still held";
    auto extra = platform::localpipe::Pipe::connect(brokla::kAppPipe, 5s);
    ASSERT_TRUE(extra.isOpen());
    Bytes buffer(16);
    (void)extra.read(buffer, kWait);  // closed at once while every channel is taken
  }
  for (auto& pipe : silent) EXPECT_FALSE(pipe.peek()) << "still open";
  auto next = app();
  EXPECT_TRUE(next->connect());
  EXPECT_TRUE(next->request(brokla::kMsgEnumerate, {}));
  EXPECT_TRUE(daemonRunning());
}

TEST_F(MalformedTest, SilentEventConnectionsAreDroppedAndAnnouncedOnesKept) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto early = app();
  ASSERT_TRUE(early->connect());  // its event channel is announced: it stays
  std::vector<platform::localpipe::Pipe> silent;
  for (int i = 0; i < 13; ++i) {
    silent.push_back(platform::localpipe::Pipe::connect(brokla::kEventPipe, 5s));
    ASSERT_TRUE(silent.back().isOpen()) << i;
  }
  ASSERT_TRUE(log_.waitFor("no NEW APP within 5 s.", 13, 30s));
  for (auto& pipe : silent) EXPECT_FALSE(pipe.peek()) << "still open";
  EXPECT_EQ(log_.count("no NEW APP within"), 13);
  EXPECT_TRUE(early->eventPipe().peek().has_value()) << "the announced event channel was closed";
  auto next = app();
  EXPECT_TRUE(next->connect());
  EXPECT_TRUE(daemonRunning());
}

TEST_F(MalformedTest, SilentConnectionsToTheControlSocketAreDroppedAndControlWorksAgain) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  std::vector<platform::localpipe::Pipe> silent;
  for (int i = 0; i < 4; ++i) {
    silent.push_back(platform::localpipe::Pipe::connect("brokla.control", 5s));
    ASSERT_TRUE(silent.back().isOpen()) << i;
  }
  ASSERT_TRUE(log_.waitFor("no control code within 5 s.", 4, 30s));
  for (auto& pipe : silent) EXPECT_FALSE(pipe.peek()) << "still open";
  EXPECT_EQ(control(4), 0);
  EXPECT_TRUE(daemonRunning());
}

}  // namespace
}  // namespace brokla_test
