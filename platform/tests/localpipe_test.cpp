#include "platform/localpipe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "testsupport/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using platform::localpipe::Pipe;
using platform::localpipe::PipeServer;
using Kind = PipeServer::Activity::Kind;

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::string text(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

class LocalPipeTest : public testsupport::ZevaTest {
 protected:
  // The next activity of the server, bounded so that a missing one fails the test.
  static PipeServer::Activity next(PipeServer& server) { return server.wait(10s); }
};

TEST_F(LocalPipeTest, RuntimeFolderIsPrivateAndPipeNamesMapIntoIt) {
  const std::string nested = tempDir() + "/run/zeva";
  ::setenv("ZEVA_RUNTIME_DIR", nested.c_str(), 1);
  EXPECT_EQ(platform::localpipe::runtimeDirectory(), nested);
  struct stat st {};
  ASSERT_EQ(::stat(nested.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const struct {
    const char* name;
    const char* file;  // nullptr: refused
  } cases[] = {
      {"\\\\.\\pipe\\appmon", "appmon"},
      {"eventmon", "eventmon"},
      {"", nullptr},
      {".", nullptr},
      {"..", nullptr},
      {"a/b", nullptr},
      {"a\\b", nullptr},
      {"\\\\.\\pipe\\", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::localpipe::pipePath(c.name), c.file ? nested + "/" + c.file : "");
  }
  EXPECT_EQ(platform::localpipe::pipePath(std::string(200, 'x')), "");

  // Others may enter: refused rather than used (or loosened), and the user is told why.
  ASSERT_EQ(::chmod(nested.c_str(), 0755), 0);
  std::string problem;
  EXPECT_EQ(platform::localpipe::runtimeDirectory(&problem), "");
  EXPECT_THAT(problem, testing::AllOf(testing::HasSubstr(nested + " (from ZEVA_RUNTIME_DIR)"),
                                      testing::HasSubstr("mode 0755, 0700 is required"),
                                      testing::HasSubstr("chmod 700 " + nested)));
  struct stat after {};
  ASSERT_EQ(::stat(nested.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 0777, 0755u);

  // Fallback under the user's runtime folder.
  ::unsetenv("ZEVA_RUNTIME_DIR");
  ::setenv("XDG_RUNTIME_DIR", tempDir().c_str(), 1);
  EXPECT_EQ(platform::localpipe::runtimeDirectory(), tempDir() + "/zevazodizo");
}

TEST_F(LocalPipeTest, RuntimeFolderRefusalsSayWhy) {
  const std::string file = tempDir() + "/plainfile";
  testsupport::writeFile(file, "x");
  const struct {
    std::string folder;
    const char* why;
  } cases[] = {
      {file, "is not a folder"},
      {file + "/below", "cannot be created: Not a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    ::setenv("ZEVA_RUNTIME_DIR", c.folder.c_str(), 1);
    std::string problem = "stale";
    EXPECT_EQ(platform::localpipe::runtimeDirectory(&problem), "");
    EXPECT_THAT(problem, testing::HasSubstr("the runtime folder " + c.folder));
    EXPECT_THAT(problem, testing::HasSubstr(c.why));
    EXPECT_THAT(problem, testing::HasSubstr("set ZEVA_RUNTIME_DIR"));
  }
  ::setenv("ZEVA_RUNTIME_DIR", (tempDir() + "/fine").c_str(), 1);
  std::string problem = "stale";
  EXPECT_EQ(platform::localpipe::runtimeDirectory(&problem), tempDir() + "/fine");
  EXPECT_EQ(problem, "");
}

TEST_F(LocalPipeTest, MessagesKeepTheirBoundariesBothWays) {
  PipeServer server(4);
  ASSERT_EQ(server.listen("\\\\.\\pipe\\appmon"), 0);
  Pipe client = Pipe::connect("appmon", 1000ms);
  ASSERT_TRUE(client.isOpen()) << client.error();
  auto a = next(server);
  ASSERT_EQ(a.kind, Kind::connected);
  EXPECT_EQ(a.listener, 0);
  const int id = a.client;
  auto cred = server.peer(id);
  ASSERT_TRUE(cred);
  EXPECT_EQ(cred->pid, ::getpid());
  EXPECT_EQ(cred->uid, ::geteuid());

  for (const char* m : {"\x03\x32\x01", "x", "a longer message"}) ASSERT_TRUE(client.write(bytes(m)));
  for (const char* m : {"\x03\x32\x01", "x", "a longer message"}) {
    a = next(server);
    ASSERT_EQ(a.kind, Kind::message);
    EXPECT_EQ(a.client, id);
    EXPECT_EQ(text(a.message), m);
  }

  // A short buffer cuts a message and the rest is gone; the next message is whole.
  ASSERT_TRUE(server.send(id, bytes("0123456789")));
  ASSERT_TRUE(server.send(id, bytes("next")));
  std::vector<std::uint8_t> small(4);
  auto r = client.read(small, 1000ms);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(text(small), "0123");
  std::vector<std::uint8_t> buffer(64);
  r = client.read(buffer, 1000ms);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r.truncated);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(r.size)), "next");
  EXPECT_FALSE(client.write({}));  // an empty message would read as the end of the pipe
}

TEST_F(LocalPipeTest, PeekTellsTheWaitingMessageWithoutBlocking) {
  PipeServer server(1);
  ASSERT_GE(server.listen("eventmon"), 0);
  Pipe client = Pipe::connect("eventmon", 1000ms);
  ASSERT_TRUE(client.isOpen());
  const int id = next(server).client;

  EXPECT_EQ(client.peek(), 0u);
  ASSERT_TRUE(server.send(id, bytes("\x07\x01\x01\x02\x03\x04\x05")));
  EXPECT_EQ(client.peek(), 7u);
  EXPECT_EQ(client.peek(), 7u);  // still there
  std::vector<std::uint8_t> buffer(7);
  ASSERT_TRUE(client.read(buffer, 0ms).ok());
  EXPECT_EQ(client.peek(), 0u);

  // A message sent just before the server closes is still delivered; then the end shows.
  ASSERT_TRUE(server.send(id, bytes("last")));
  server.disconnect(id);
  EXPECT_EQ(client.peek(), 4u);
  ASSERT_TRUE(client.read(buffer, 0ms).ok());
  EXPECT_EQ(client.peek(), std::nullopt);
  EXPECT_EQ(client.read(buffer, 1000ms).status, platform::localpipe::ReadStatus::closed);
}

TEST_F(LocalPipeTest, PeekWithinGivesTheOtherEndAMomentToSendOrClose) {
  PipeServer server(1);
  ASSERT_GE(server.listen("eventmon"), 0);
  Pipe client = Pipe::connect("eventmon", 1000ms);
  ASSERT_TRUE(client.isOpen());
  const int id = next(server).client;

  EXPECT_EQ(client.peekWithin(1ms), 0u);  // nothing came: still open

  // What the other end does from another thread while the client waits is seen.
  std::thread sender([&] { ASSERT_TRUE(server.send(id, bytes("late"))); });
  EXPECT_EQ(client.peekWithin(10s), 4u);
  sender.join();
  std::vector<std::uint8_t> buffer(8);
  ASSERT_TRUE(client.read(buffer, 0ms).ok());

  std::thread closer([&] { server.disconnect(id); });
  EXPECT_EQ(client.peekWithin(10s), std::nullopt);
  closer.join();
}

TEST_F(LocalPipeTest, ServerRefusesClientsBeyondItsLimitAndGoesOn) {
  PipeServer server(2);
  ASSERT_EQ(server.listen("appmon"), 0);
  ASSERT_EQ(server.listen("eventmon"), 1);
  Pipe first = Pipe::connect("appmon", 1000ms);
  Pipe second = Pipe::connect("eventmon", 1000ms);
  Pipe third = Pipe::connect("appmon", 1000ms);
  ASSERT_TRUE(first.isOpen() && second.isOpen() && third.isOpen());

  std::vector<Kind> kinds;
  std::vector<int> listeners;
  for (int i = 0; i < 3; ++i) {
    auto a = next(server);
    kinds.push_back(a.kind);
    listeners.push_back(a.listener);
  }
  EXPECT_THAT(kinds, testing::UnorderedElementsAre(Kind::connected, Kind::connected, Kind::refused));
  EXPECT_EQ(server.clientCount(), 2);
  EXPECT_EQ(server.refusedCount(), 1);

  // The refused client (whichever it was) sees the end of its pipe; the others are served.
  std::vector<std::uint8_t> buffer(8);
  std::vector<Pipe*> served;
  for (Pipe* p : {&first, &second, &third})
    if (p->read(buffer, 0ms).status != platform::localpipe::ReadStatus::closed) served.push_back(p);
  ASSERT_EQ(served.size(), 2u);

  // A client that leaves frees its place for the next one.
  const int before = server.clientCount();
  served.front()->close();
  auto a = next(server);
  EXPECT_EQ(a.kind, Kind::closed);
  EXPECT_EQ(server.clientCount(), before - 1);
  Pipe fourth = Pipe::connect("eventmon", 1000ms);
  a = next(server);
  EXPECT_EQ(a.kind, Kind::connected);
  EXPECT_EQ(a.listener, 1);
}

TEST_F(LocalPipeTest, ClientsAreServedInTurn) {
  PipeServer server(2);
  ASSERT_EQ(server.listen("appmon"), 0);
  Pipe a = Pipe::connect("appmon", 1000ms);
  Pipe b = Pipe::connect("appmon", 1000ms);
  ASSERT_EQ(next(server).kind, Kind::connected);
  ASSERT_EQ(next(server).kind, Kind::connected);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(a.write(bytes("a")));
    ASSERT_TRUE(b.write(bytes("b")));
  }
  std::string order;
  for (int i = 0; i < 6; ++i) order += text(next(server).message);
  // A busy client does not keep the other waiting behind all its messages.
  EXPECT_THAT(order, testing::AnyOf("ababab", "bababa"));
}

TEST_F(LocalPipeTest, SendToAClientThatStopsReadingGivesUpWithinItsTimeOut) {
  PipeServer server(1);
  ASSERT_EQ(server.listen("eventmon"), 0);
  Pipe client = Pipe::connect("eventmon", 1000ms);
  ASSERT_EQ(next(server).kind, Kind::connected);
  const std::vector<std::uint8_t> message(4096, 'e');
  // Fill the client's queue without waiting; bounded, the queue is finite.
  int sent = 0;
  while (sent < 100000 && server.send(0, message, 0ms)) ++sent;
  ASSERT_LT(sent, 100000);
  EXPECT_EQ(server.error(), ETIMEDOUT);
  EXPECT_TRUE(server.isConnected(0));
  // Once the client reads, there is room again.
  std::vector<std::uint8_t> buffer(message.size());
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(client.read(buffer, 1000ms).ok());
  EXPECT_TRUE(server.send(0, message, 0ms));
}

TEST_F(LocalPipeTest, ConnectTriesAgainUntilItsTimeOut) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  clock->setAutoAdvance(true);  // the pauses between tries cost no real time
  const auto before = clock->steadyNow();
  Pipe p = Pipe::connect("appmon", 1000ms, 20ms);
  EXPECT_FALSE(p.isOpen());
  EXPECT_EQ(p.error(), ENOENT);
  EXPECT_GE(clock->steadyNow() - before, 1000ms);
  EXPECT_LT(clock->steadyNow() - before, 1100ms);

  Pipe once = Pipe::connect("appmon", 0ms);
  EXPECT_FALSE(once.isOpen());

  PipeServer server(1);
  ASSERT_EQ(server.listen("appmon"), 0);
  const auto start = clock->steadyNow();
  EXPECT_TRUE(Pipe::connect("appmon", 1000ms).isOpen());
  EXPECT_EQ(clock->steadyNow(), start);  // served: no pause at all
}

TEST_F(LocalPipeTest, ReadsTimeOutOnTheClockAndWakeEndsAServersWait) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  PipeServer server(1);
  ASSERT_EQ(server.listen("appmon"), 0);
  Pipe client = Pipe::connect("appmon", 0ms);
  ASSERT_TRUE(client.isOpen());

  std::vector<std::uint8_t> buffer(8);
  auto reading = std::async(std::launch::async, [&] { return client.read(buffer, 30000ms); });
  const auto start = std::chrono::steady_clock::now();
  while (reading.wait_for(5ms) != std::future_status::ready) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, 20s);
    clock->advance(1s);
  }
  EXPECT_EQ(reading.get().status, platform::localpipe::ReadStatus::timedOut);

  ASSERT_EQ(server.wait(0ms).kind, Kind::connected);
  auto waiting = std::async(std::launch::async, [&] { return server.wait(platform::kInfinite).kind; });
  server.wake();
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(waiting.get(), Kind::woken);
}

TEST_F(LocalPipeTest, StaleSocketFileIsReplacedButALiveServerIsNot) {
  const std::string path = platform::localpipe::pipePath("appmon");
  ASSERT_FALSE(path.empty());
  {
    // What a crashed server leaves behind: a socket file nobody listens on.
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::close(fd);
  }
  auto live = std::make_unique<PipeServer>(1);
  ASSERT_EQ(live->listen("appmon"), 0);
  PipeServer second(1);
  EXPECT_EQ(second.listen("appmon"), -1);
  EXPECT_EQ(second.error(), EADDRINUSE);
  EXPECT_TRUE(Pipe::connect("appmon", 0ms).isOpen());  // still the first server's

  // A file that is no socket is left alone.
  testsupport::writeFile(platform::localpipe::pipePath("notasocket"), "data");
  EXPECT_EQ(second.listen("notasocket"), -1);
  EXPECT_EQ(second.error(), EEXIST);  // said as such, not as a refused connection
  EXPECT_EQ(testsupport::readFile(platform::localpipe::pipePath("notasocket")), "data");

  live.reset();  // removes its socket file
  struct stat st {};
  EXPECT_NE(::lstat(path.c_str(), &st), 0);
}

}  // namespace
