#include "link/LanLink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

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

constexpr std::uint8_t kRawId = 8;  // what the manager lists for the raw instrument

// A bare TCP instrument for the faults the simulator does not make: it reads framed
// commands, one connection after another, and the test's script writes whatever bytes it
// likes back, when it likes (pausing on the platform clock).
class RawInstrument {
 public:
  struct Command {
    int connection = 0;  // 1 for the first connection
    std::string line;    // without its line end
  };
  using Script = std::function<void(RawInstrument&, const Command&)>;

  explicit RawInstrument(Script script) : script_(std::move(script)) {
    namespace net = platform::net;
    listener_ = net::Socket::create(net::Socket::Type::stream);
    (void)listener_.setReuseAddress(true);
    if (!listener_.bind({net::kLoopbackAddress, 0}) || !listener_.listen(4)) ADD_FAILURE() << "no listener";
    port_ = listener_.localEndpoint()->port;
    thread_ = std::thread([this] { Serve(); });
  }
  ~RawInstrument() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      (void)listener_.shutdown();
      if (connection_) (void)connection_->shutdown();
    }
    changed_.notify_all();
    thread_.join();
  }

  std::uint16_t port() const { return port_; }
  // A reply frame: header (the command's id, 'K') and payload; `length` overrides the
  // length field.
  static Bytes Frame(const std::string& payload, std::uint8_t flags = 0,
                     std::optional<std::uint32_t> length = std::nullopt) {
    Bytes f(16, 0);
    const std::uint32_t n = length.value_or(static_cast<std::uint32_t>(16 + payload.size()));
    f[0] = static_cast<std::uint8_t>(n >> 24);
    f[1] = static_cast<std::uint8_t>(n >> 16);
    f[2] = static_cast<std::uint8_t>(n >> 8);
    f[3] = static_cast<std::uint8_t>(n);
    f[7] = kRawId;
    f[8] = flags;
    f[9] = 0x4B;
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
  }
  // Sends on the connection being served (from the script).
  void Send(const Bytes& bytes) {
    if (connection_) (void)connection_->send(bytes);
  }
  // Waits `d` on the platform clock; ends early when the instrument stops.
  void Pause(std::chrono::milliseconds d) {
    std::unique_lock lock(mutex_);
    (void)platform::clock().waitUntil(changed_, lock, platform::steadyNow() + d, [&] { return stopping_; });
  }
  int Connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
  }

 private:
  void Serve() {
    namespace net = platform::net;
    for (;;) {
      net::Socket c = listener_.accept(net::kNoLimit);
      int number = 0;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        if (!c) continue;
        (void)c.setNoDelay(true);
        connection_ = &c;
        number = ++connections_;
      }
      for (;;) {
        std::uint8_t header[16];
        if (!ReadExact(c, header, 16)) break;
        const std::uint32_t length = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                                     (std::uint32_t{header[2]} << 8) | header[3];
        if (length < 16 || length > 4096) break;
        std::string line(length - 16, '\0');
        if (!ReadExact(c, reinterpret_cast<std::uint8_t*>(line.data()), line.size())) break;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        script_(*this, {number, line});
      }
      std::lock_guard lock(mutex_);
      connection_ = nullptr;
      if (stopping_) return;
    }
  }
  static bool ReadExact(platform::net::Socket& s, std::uint8_t* p, std::size_t n) {
    for (std::size_t got = 0; got < n;) {
      const auto r = s.receive({p + got, n - got}, platform::net::kNoLimit);
      if (!r.ok() || r.bytes == 0) return false;
      got += r.bytes;
    }
    return true;
  }

  Script script_;
  platform::net::Socket listener_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  platform::net::Socket* connection_ = nullptr;
  int connections_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

// The link against a raw instrument: the manager lists it in place of the simulator.
class RawInstrumentTest : public LinkTest {
 protected:
  void Open(RawInstrument& raw) {
    manager.removeInstrument(kInstrumentId);
    manager.addInstrument({kRawId, platform::net::kLoopbackAddress, raw.port(), 1, "RAW"});
    ASSERT_EQ(comm.OpenDevice(("127.0.0.1_" + std::to_string(raw.port())).c_str()), 0);
  }
  int Send(const std::string& line) {
    int written = 0;
    return comm.WriteString(line.c_str(), static_cast<int>(line.size()), &written);
  }
  // The rest of the kept reply, or the read's error as "error N".
  std::string Rest() {
    int status = -1;
    std::string text;
    if (const int r = comm.ReadResponse(&status, text); r != 0) return "error " + std::to_string(r);
    return text;
  }
  // Every command gets its own reply "00,<line>" at once, unless the script says more.
  static bool AnswerPlainly(RawInstrument& raw, const RawInstrument::Command& c) {
    if (c.line.rfind("peek", 0) != 0) return false;
    raw.Send(RawInstrument::Frame("00," + c.line + "\n"));
    return true;
  }

  TestOwner owner;
  CLanComm comm{&owner};
};

TEST_F(RawInstrumentTest, AReplyPastItsTimeOutIsNeverTakenForTheNextCommands) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  // The reply to "late" comes only when the next command is already on its way, ahead
  // of that command's own reply: what a slow instrument does.
  int lateOn = 0;
  RawInstrument raw([&](RawInstrument& r, const RawInstrument::Command& c) {
    if (c.line == "late") {
      lateOn = c.connection;
      return;
    }
    if (c.connection == lateOn) r.Send(RawInstrument::Frame("00,stale\n"));
    AnswerPlainly(r, c);
  });
  ASSERT_NO_FATAL_FAILURE(Open(raw));
  comm.SetTimeout(3000);
  auto late = std::async(std::launch::async, [&] { return Send("late\n"); });
  driveUntilReady(*clock, late);
  EXPECT_EQ(late.get(), movrak::kErrTimedOut);

  ASSERT_EQ(Send("peek 1\n"), 0);
  EXPECT_EQ(Rest(), "peek 1");
  EXPECT_EQ(raw.Connections(), 2);  // a fresh connection carries nothing of the old one
  EXPECT_THAT(log(), HasSubstr("LAN: Reply stream out of step (a reply did not come whole in time): "
                               "reconnecting before the next command."));
  ASSERT_EQ(Send("peek 2\n"), 0);
  EXPECT_EQ(Rest(), "peek 2");
  EXPECT_EQ(raw.Connections(), 2);
}

TEST_F(RawInstrumentTest, TwoRepliesToOneCommandAreNeverHandedOut) {
  // Cases: the second reply comes with the first, or only ahead of the next command's
  // reply; and one that announces more responses to a blocking command.
  int twiceOn = 0;
  std::string mode;
  RawInstrument raw([&](RawInstrument& r, const RawInstrument::Command& c) {
    if (c.line == "twice") {
      twiceOn = c.connection;
      Bytes both = RawInstrument::Frame("00,first\n", mode == "more" ? 0x02 : 0);
      if (mode == "together") {
        const Bytes second = RawInstrument::Frame("00,second\n");
        both.insert(both.end(), second.begin(), second.end());
      }
      r.Send(both);
      return;
    }
    Bytes out;
    if (mode == "later" && c.connection == twiceOn) out = RawInstrument::Frame("00,second\n");
    const Bytes own = RawInstrument::Frame("00," + c.line + "\n");
    out.insert(out.end(), own.begin(), own.end());
    r.Send(out);
  });
  ASSERT_NO_FATAL_FAILURE(Open(raw));
  const struct {
    const char* mode;
    int twice;  // the result of the command answered twice
    int next;   // and of the one after it
  } cases[] = {
      {"together", movrak::kErrCommandOverlap, 0},
      {"later", 0, movrak::kErrCommandOverlap},
      {"more", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    mode = c.mode;
    const int connections = raw.Connections();
    EXPECT_EQ(Send("twice\n"), c.twice);
    const int next = Send("peek 1\n");
    EXPECT_EQ(next, c.next);
    if (next == 0) {
      EXPECT_EQ(Rest(), "peek 1");  // never "second"
    }
    // Whatever happened, the link is back in step with one new connection.
    ASSERT_EQ(Send("peek 2\n"), 0);
    EXPECT_EQ(Rest(), "peek 2");
    EXPECT_EQ(raw.Connections(), connections + 1);
  }
  EXPECT_THAT(log(), HasSubstr("LAN: Two responses arrived for one command; neither is taken."));
  EXPECT_THAT(log(), HasSubstr("(a blocking command's reply announced further responses)"));
}

TEST_F(RawInstrumentTest, OneDeadlineBoundsAReplyThatTricklesIn) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  // One byte every 9 s: each comes within the 10 s time-out, the whole reply never does.
  RawInstrument raw([](RawInstrument& r, const RawInstrument::Command& c) {
    if (AnswerPlainly(r, c)) return;
    for (std::uint8_t b : RawInstrument::Frame("00,slow reply\n")) {
      r.Pause(9s);
      r.Send({b});
    }
  });
  ASSERT_NO_FATAL_FAILURE(Open(raw));
  const auto before = clock->steadyNow();
  auto slow = std::async(std::launch::async, [&] { return Send("slow\n"); });
  driveUntilReady(*clock, slow);
  EXPECT_EQ(slow.get(), movrak::kErrTimedOut);
  const auto took = clock->steadyNow() - before;
  EXPECT_GE(took, 10s);
  EXPECT_LT(took, 30s);  // not the 270 s the bytes take
  // The command's own lock was given back.
  EXPECT_EQ(FindLockRecord(comm.GetInstrument())->lockCount, 1);
}

TEST_F(RawInstrumentTest, AReplyIsWholeOnlyWithItsLineEnd) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  std::string answer;
  RawInstrument raw([&](RawInstrument& r, const RawInstrument::Command& c) {
    if (AnswerPlainly(r, c)) return;
    if (answer == "cut") {  // "00,abc" and then nothing, though the header says more
      r.Send(RawInstrument::Frame("00,abc", 0, 16 + 7));
      return;
    }
    r.Send(RawInstrument::Frame(answer));
  });
  ASSERT_NO_FATAL_FAILURE(Open(raw));
  const struct {
    const char* answer;
    int sent;
    const char* rest;
  } cases[] = {
      {"00,abc", 0, "error 603"}, {"00", 0, "error 603"}, {"cut", movrak::kErrTimedOut, nullptr},
      {"00,abc\n", 0, "abc"},     {"00,abc\r", 0, "abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    answer = c.answer;
    auto sent = std::async(std::launch::async, [&] { return Send("q\n"); });
    driveUntilReady(*clock, sent);
    ASSERT_EQ(sent.get(), c.sent);
    if (c.rest) {
      EXPECT_EQ(Rest(), c.rest);
    }
  }
  EXPECT_THAT(log(), HasSubstr("Reply from instrument without its line end: \"00,abc\""));

  // The counted reader says the same.
  answer = "00,12,34";
  ASSERT_EQ(Send("q\n"), 0);
  int status = -1;
  char values[16];
  EXPECT_EQ(comm.ReadResponseCount(&status, values, 8), movrak::kErrTimedOut);
}

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

TEST_F(InstrumentLinkTest, TimedOutCommandMakesTheNextOneReconnectAndLeavesTheLateReplyBehind) {
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
  EXPECT_EQ(sim.connections(), 2);
  EXPECT_THAT(log(), HasSubstr("LAN: Reply stream out of step (a reply did not come whole in time)"));
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
