#include "support/StandIn.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/clock.h"

namespace brokla_test {

namespace fs = std::filesystem;
using platform::localpipe::Pipe;

namespace {
std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
}  // namespace

// ---------------------------------------------------------------------------------------
// LogWatch

std::string LogWatch::text() const {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder_, ec))
    if (e.path().extension() == ".log") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& f : files) all += ReadWhole(f);
  return all;
}

int LogWatch::count(const std::string& needle) const {
  const std::string all = text();
  int n = 0;
  for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + needle.size()))
    ++n;
  return n;
}

bool LogWatch::waitFor(const std::string& needle, int n, std::chrono::milliseconds timeout) const {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (count(needle) >= n) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    platform::sleepFor(5ms);  // the log is a file: looked at again until the time-out
  }
}

// ---------------------------------------------------------------------------------------
// StandInProcess

namespace {

// In the child: only calls that are safe after a fork of a threaded process.
[[noreturn]] void StandInLoop(int control) {
  for (;;) {
    sockaddr_un address{};
    const ssize_t n = ::read(control, address.sun_path, sizeof address.sun_path - 1);
    if (n <= 0) ::_exit(0);  // the test let it go
    address.sun_family = AF_UNIX;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const bool connected =
        fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    char ok = connected ? 1 : 0;
    iovec iov{&ok, 1};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (connected) {
      msg.msg_control = space;
      msg.msg_controllen = sizeof space;
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    if (::sendmsg(control, &msg, MSG_NOSIGNAL) < 0) ::_exit(1);
    if (fd >= 0) ::close(fd);
  }
}

}  // namespace

StandInProcess::StandInProcess() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    std::perror("stand-in process: socketpair");
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    // Nothing of the test's but its own channel: a pipe the test closes must close.
    if (pair[1] != 3 && ::dup2(pair[1], 3) < 0) ::_exit(1);
    ::close_range(4, ~0u, 0);
    StandInLoop(3);
  }
  ::close(pair[1]);
  control_ = pair[0];
  if (pid_ < 0) std::perror("stand-in process: fork");
}

StandInProcess::~StandInProcess() {
  if (control_ >= 0) ::close(control_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

Pipe StandInProcess::connect(const char* name) {
  const std::string path = platform::localpipe::pipePath(name);
  // The daemon may be a moment from serving: try again, bounded.
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (control_ >= 0 && !path.empty()) {
    if (::write(control_, path.data(), path.size()) != static_cast<ssize_t>(path.size())) break;
    char ok = 0;
    iovec iov{&ok, 1};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = space;
    msg.msg_controllen = sizeof space;
    if (::recvmsg(control_, &msg, MSG_CMSG_CLOEXEC) <= 0) break;
    if (ok) {
      const cmsghdr* c = CMSG_FIRSTHDR(&msg);
      if (!c || c->cmsg_type != SCM_RIGHTS) break;
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
      return Pipe::adopt(fd);
    }
    if (std::chrono::steady_clock::now() >= end) break;
    platform::sleepFor(20ms);
  }
  return {};
}

}  // namespace brokla_test
