#include "platform/service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/localpipe.h"
#include "testsupport/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using platform::service::ServiceHost;
using platform::service::State;

// The codes a handler saw; waits are bounded in real time.
class Codes {
 public:
  void add(std::uint32_t code) {
    std::lock_guard lock(mutex_);
    codes_.push_back(code);
    changed_.notify_all();
  }
  bool waitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return codes_.size() >= n; });
  }
  std::vector<std::uint32_t> all() {
    std::lock_guard lock(mutex_);
    return codes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::uint32_t> codes_;
};

class ServiceTest : public testsupport::ZevaTest {};

TEST_F(ServiceTest, ControlSocketRunsTheHandlerAndAnswersWithTheReportedState) {
  ServiceHost host("TestSvc");
  Codes codes;
  ASSERT_TRUE(host.start([&](std::uint32_t code) {
    codes.add(code);
    if (code == platform::service::SERVICE_CONTROL_STOP) host.reportStatus(State::stopPending);
  }));
  EXPECT_EQ(host.status(), State::startPending);
  host.reportStatus(State::running);

  EXPECT_EQ(platform::service::sendControl("TestSvc", 138), State::running);
  EXPECT_EQ(platform::service::sendControl("testsvc", 1), State::stopPending);  // names ignore case
  host.control(168);  // what a test does without a socket
  EXPECT_THAT(codes.all(), testing::ElementsAre(138u, 1u, 168u));
  EXPECT_EQ(host.controlsHandled(), 3);

  // One instance per service name; nobody answers once it has stopped.
  ServiceHost second("TestSvc");
  EXPECT_FALSE(second.start([](std::uint32_t) {}));
  EXPECT_EQ(second.error(), EADDRINUSE);
  EXPECT_FALSE(platform::service::sendControl("OtherSvc", 4).has_value());
  host.stop();
  EXPECT_FALSE(platform::service::sendControl("TestSvc", 4).has_value());
}

TEST_F(ServiceTest, ControlConnectionsThatStaySilentAreDroppedAndSaidSo) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  ServiceHost host("QuietSvc");
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> said;
  ASSERT_TRUE(host.start([](std::uint32_t) {},
                         [&](const std::string& text) {
                           std::lock_guard lock(mutex);
                           said.push_back(text);
                           changed.notify_all();
                         }));
  host.reportStatus(State::running);

  // Every channel held: one connection that never sends, and three that sent their code,
  // got the answer and stay.
  using platform::localpipe::Pipe;
  std::vector<Pipe> held;
  held.push_back(Pipe::connect("quietsvc.control", 0ms));
  ASSERT_TRUE(held.back().isOpen());
  for (int i = 0; i < 3; ++i) {
    held.push_back(Pipe::connect("quietsvc.control", 0ms));
    const std::uint8_t code[4] = {4, 0, 0, 0};
    ASSERT_TRUE(held.back().write(code, 1000ms));
    std::uint8_t reply[4] = {};
    ASSERT_TRUE(held.back().read(reply, 1000ms).ok()) << i;
  }
  EXPECT_FALSE(platform::service::sendControl("QuietSvc", 4, 1000ms).has_value());  // turned away

  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::unique_lock lock(mutex);
    if (changed.wait_for(lock, 5ms, [&] { return said.size() >= 4; })) break;
    lock.unlock();
    ASSERT_LT(std::chrono::steady_clock::now() - start, 20s) << "still held";
    clock->advance(1s);
  }
  for (auto& pipe : held) EXPECT_FALSE(pipe.peek()) << "still open";
  {
    std::lock_guard lock(mutex);
    for (const std::string& text : said)
      EXPECT_THAT(text, testing::AllOf(testing::HasSubstr("quietsvc.control"),
                                       testing::HasSubstr("no control code within 5 s.")));
  }
  EXPECT_EQ(platform::service::sendControl("QuietSvc", 4, 1000ms), State::running);
  host.stop();
}

TEST_F(ServiceTest, SignalsBecomeStopAndReopenCodes) {
  ServiceHost::blockControlSignals();
  Codes codes;
  {
    ServiceHost host("SigSvc");
    ASSERT_TRUE(host.start([&](std::uint32_t code) { codes.add(code); }));
    ::kill(::getpid(), SIGHUP);
    ASSERT_TRUE(codes.waitFor(1));
    ::kill(::getpid(), SIGTERM);
    ASSERT_TRUE(codes.waitFor(2));
    ::kill(::getpid(), SIGINT);
    ASSERT_TRUE(codes.waitFor(3));
  }
  EXPECT_THAT(codes.all(), testing::ElementsAre(158u, 1u, 1u));
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

TEST_F(ServiceTest, SupervisorHearsReadyOnceAndStopping) {
  const std::string path = tempDir() + "/notify";
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);

  auto next = [&] {
    char buffer[64] = {};
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  };
  ServiceHost host("NotifySvc");
  host.reportStatus(State::running);
  host.reportStatus(State::running);
  host.reportStatus(State::stopPending);
  EXPECT_EQ(next(), "READY=1");
  EXPECT_EQ(next(), "STOPPING=1");
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(platform::service::notifySupervisor("READY=1"));
  ::close(fd);
}

}  // namespace
