#include "link/LanLink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "LinkFixture.h"
#include "link/ErrorIds.h"
#include "link/LinkState.h"
#include "platform/net.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

class InstrumentLinkTest : public LinkTest {
 protected:
  // Sends a line, blocking; the channel's result (0, or a link code).
  static int send(CLanComm& comm, const std::string& line) {
    int written = 0;
    return comm.WriteString(line.c_str(), static_cast<int>(line.size()), &written);
  }
  static std::string readAll(CLanComm& comm) {
    char buffer[256];
    int read = 0;
    comm.ReadString(buffer, sizeof buffer, &read);
    return std::string(buffer, static_cast<std::size_t>(read));
  }
  static int localLockCount(CLanComm& comm) { return FindLockRecord(comm.GetInstrument())->lockCount; }
  int linesSoFar() const { return static_cast<int>(sim.lines().size()); }

  TestOwner owner;
};

TEST_F(InstrumentLinkTest, FramesOnTheWireCarryTheInstrumentIdAndTimeOut) {
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  comm.SetTimeout(0);
  ASSERT_EQ(send(comm, "peek 0\n"), 0);
  comm.SetTimeout(300000);
  ASSERT_EQ(send(comm, "peek 0\n"), 0);

  const auto requests = sim.requests();
  ASSERT_EQ(requests.size(), 3u);  // the open's peek, then ours
  const struct { std::uint8_t timeoutHigh, timeoutLow; } expected[] = {{0, 10}, {0, 5}, {0x01, 0x2C}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const Bytes header(requests[i].rawHeader.begin(), requests[i].rawHeader.end());
    EXPECT_EQ(header, (Bytes{0, 0, 0, 23, 0, 0, 0, kInstrumentId, 1, 0x4B, expected[i].timeoutHigh,
                             expected[i].timeoutLow, 0, 0, 0, 0}));
    EXPECT_EQ(std::string(requests[i].payload.begin(), requests[i].payload.end()), "peek 0\n");
  }
}

TEST_F(InstrumentLinkTest, TimedOutCommandLeavesStaleBytesThatTheNextCommandFlushes) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  sim.setHandler("dump", [](const zevasim::Request&) { return zevasim::Reply::ok(std::string(150, 'A')); });
  // Far beyond the link's 10 s, so it cannot come in time however the threads run.
  sim.injectFault("dump", {zevasim::Fault::Kind::delay, 600000});
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);

  auto dump = std::async(std::launch::async, [&] { return send(comm, "dump\n"); });
  driveUntilReady(*clock, dump);
  EXPECT_EQ(dump.get(), movrak::kErrTimedOut);
  EXPECT_EQ(localLockCount(comm), 1);  // the command's own lock was given back
  EXPECT_THAT(log(), HasSubstr("DoRecv: WSAWaitForMultipleEvents timed out"));

  // The late reply arrives now and waits in the socket.
  clock->advance(600s);
  ASSERT_TRUE(sim.waitForReplies(2));
  sim.setMemory(0, 0x5A);
  ASSERT_EQ(send(comm, "peek 0\n"), 0);
  int status = -1;
  std::string text;
  ASSERT_EQ(comm.ReadResponse(&status, text), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text, "5A");  // this command's reply, not the stale one
  EXPECT_THAT(log(), HasSubstr("DoSend: Flushed receive pipe 1 times. Buffer size is 100. (hdr sz 16)."));
}

TEST_F(InstrumentLinkTest, ResponseLengthOutOfRangeGives602AndReleasesTheLock) {
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  for (const long length : {0L, 15L, 16L + 100001L, 0xFFFFFFFFL}) {
    SCOPED_TRACE(length);
    sim.injectFault("peek", {zevasim::Fault::Kind::bogusLength, length});
    EXPECT_EQ(send(comm, "peek 0\n"), movrak::kErrCommandOverlap);
    EXPECT_EQ(localLockCount(comm), 1);
    EXPECT_EQ(send(comm, "peek 0\n"), 0);  // the link goes on
  }
  EXPECT_THAT(log(),
              HasSubstr("LAN: Bogus header data received - failed to fully flush the pipeline after an "
                        "aborted command? [HDR: len = 0x186b1 <100017>"));

  // The largest payload still taken.
  sim.setHandler("big", [](const zevasim::Request&) {
    zevasim::Reply r;
    r.frames = {std::string(100000, '0')};
    return r;
  });
  EXPECT_EQ(send(comm, "big\n"), 0);
  EXPECT_EQ(readAll(comm), std::string(256, '0'));
}

TEST_F(InstrumentLinkTest, LostConnectionIsReconnectedOnceAndNotTwice) {
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  ASSERT_EQ(sim.connections(), 1);
  const zevasim::Fault close{zevasim::Fault::Kind::closeMidReply, 0, 1};

  sim.injectFault("peek", close);
  int lines = linesSoFar();
  EXPECT_EQ(send(comm, "peek 0\n"), 0);
  EXPECT_EQ(linesSoFar(), lines + 2);
  EXPECT_EQ(sim.connections(), 2);

  sim.injectFault("peek", {zevasim::Fault::Kind::closeMidReply, 0, 2});
  lines = linesSoFar();
  EXPECT_EQ(send(comm, "peek 0\n"), movrak::kErrConnectionLost);
  EXPECT_EQ(linesSoFar(), lines + 2);  // one retry after one reconnect, no more
  EXPECT_EQ(sim.connections(), 3);
  EXPECT_EQ(localLockCount(comm), 1);

  EXPECT_EQ(send(comm, "peek 0\n"), 0);  // the next command reconnects by itself
}

TEST_F(InstrumentLinkTest, ReplySentJustBeforeACloseIsStillRead) {
  sim.setHandler("bye", [](const zevasim::Request&) {
    zevasim::Reply r = zevasim::Reply::ok("last words");
    r.reboot = true;  // the instrument closes the connection right after its reply
    return r;
  });
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  ASSERT_EQ(send(comm, "bye\n"), 0);
  ASSERT_TRUE(sim.waitForReboots(1));
  int status = -1;
  std::string text;
  ASSERT_EQ(comm.ReadResponse(&status, text), 0);
  EXPECT_EQ(text, "last words");
}

TEST_F(InstrumentLinkTest, UnblockedCommandIsCollectedWholeAcrossFrames) {
  std::promise<void> release;
  auto released = release.get_future().share();
  sim.setHandler("map", [released](const zevasim::Request&) {
    released.wait();
    zevasim::Reply r;
    r.frames = {"00,", "first,", "second\n"};
    return r;
  });
  sim.injectFault("map", {zevasim::Fault::Kind::splitReply, 5});
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  ASSERT_EQ(comm.SendUnblockedCommand("map\n", 4), 0);
  ASSERT_TRUE(sim.waitForLines(2));

  // While it runs, no other command goes out.
  const int lines = linesSoFar();
  LanFrame other = LanFrame::Binary(std::string("peek 0\n"));
  LanResponseList otherResponses;
  EXPECT_EQ(ExecuteInstrCmd(comm.GetInstrument(), other, otherResponses, 10, true),
            movrak::kErrLockedByOther);
  EXPECT_EQ(linesSoFar(), lines);
  EXPECT_THAT(log(), HasSubstr("ExecuteInstrCmd called while unblocked command still in progress"));

  release.set_value();
  std::string collected;
  for (;;) {
    char piece[4];
    int read = 0;
    ASSERT_EQ(comm.ReadStringUnblocked(piece, sizeof piece, &read), 0);
    if (read == 0) break;
    collected.append(piece, static_cast<std::size_t>(read));
  }
  EXPECT_EQ(collected, "00,first,second\n");
  EXPECT_EQ(AwaitInstrCmd(comm.GetInstrument(), 0, false), movrak::kResultCompleted);
  EXPECT_EQ(localLockCount(comm), 1);  // the monitor gave its lock back
  EXPECT_EQ(send(comm, "peek 0\n"), 0);
}

TEST_F(InstrumentLinkTest, ClosingStopsARunningResponseMonitorFirst) {
  std::promise<void> release;
  auto released = release.get_future().share();
  sim.setHandler("map", [released](const zevasim::Request&) {
    released.wait();
    return zevasim::Reply::ok();
  });
  {
    CLanComm comm(&owner);
    ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
    ASSERT_EQ(comm.SendUnblockedCommand("map\n", 4), 0);
    ASSERT_TRUE(sim.waitForLines(2));
    EXPECT_EQ(comm.CloseDevice(), 0);  // returns although no reply ever came
    EXPECT_FALSE(comm.IsConnected());
  }
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
  release.set_value();
}

TEST_F(InstrumentLinkTest, TimeOutZeroWaitsFiveSecondsAndAZeroReceiveOnlyLooks) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);

  std::uint8_t buffer[16];
  int count = 16;
  EXPECT_EQ(DoRecv(count, buffer, 0), movrak::kErrTimedOut);
  EXPECT_EQ(count, 16);

  // Sent as 5 s, and waited for 5 s here too: a reply 3 s late is still taken.
  comm.SetTimeout(0);
  sim.injectFault("peek", {zevasim::Fault::Kind::delay, 3000});
  auto slow = std::async(std::launch::async, [&] { return send(comm, "peek 0\n"); });
  ASSERT_TRUE(clock->waitForWaiters(1));  // the simulator sits in its delay
  clock->advance(3000ms);
  ASSERT_EQ(slow.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(slow.get(), 0);
  EXPECT_EQ(sim.requests().back().rawHeader[11], 5);

  // And no longer than that.
  sim.injectFault("peek", {zevasim::Fault::Kind::delay, 600000});
  const auto before = clock->steadyNow();
  auto late = std::async(std::launch::async, [&] { return send(comm, "peek 0\n"); });
  driveUntilReady(*clock, late, 500ms);
  EXPECT_EQ(late.get(), movrak::kErrTimedOut);
  EXPECT_GE(clock->steadyNow() - before, 5s);
  clock->advance(600s);
}

TEST_F(InstrumentLinkTest, ScanDataIsReadRawAfterTheReply) {
  Bytes pattern(4096);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 31 + 7);
  sim.setHandler("scan", [pattern](const zevasim::Request&) {
    zevasim::Reply r = zevasim::Reply::ok();
    r.rawAfter = pattern;
    return r;
  });
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  ASSERT_EQ(send(comm, "scan\n"), 0);
  Bytes got(4096);
  int count = 4096;
  EXPECT_EQ(comm.ReadScanData(got.data(), &count, 10), movrak::kResultCompleted);
  EXPECT_EQ(count, 4096);
  EXPECT_EQ(got, pattern);
  count = 100;
  EXPECT_EQ(comm.ReadScanData(got.data(), &count, 0), movrak::kErrTimedOut);  // nothing more
  EXPECT_EQ(count, 0);
  EXPECT_EQ(localLockCount(comm), 1);
}

TEST_F(InstrumentLinkTest, TwoFailedConnectionAttemptsTakeThreeSecondsAndLeaveNoSocket) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  clock->setAutoAdvance(true);
  platform::net::Socket placeholder = platform::net::Socket::create(platform::net::Socket::Type::stream);
  ASSERT_TRUE(placeholder.bind({platform::net::kLoopbackAddress, 0}));  // bound, not listening: refused
  const auto before = clock->steadyNow();
  EXPECT_FALSE(CreateTCPSocket(platform::net::kLoopbackAddress, placeholder.localEndpoint()->port));
  EXPECT_GE(clock->steadyNow() - before, 3s);
  EXPECT_FALSE(IsInstrumentOpen());
  EXPECT_THAT(log(), HasSubstr("Trying again..."));
}

}  // namespace
