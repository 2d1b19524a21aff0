#include "ProgramRun.h"

#include <signal.h>

#include <cstdlib>
#include <filesystem>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/process.h"
#include "testsupport/TestEnv.h"

namespace install_test {

RunResult run(const std::vector<std::string>& argv, const std::string& folder,
              std::chrono::milliseconds timeout) {
  static int n = 0;
  const std::string stem = folder + "/run" + std::to_string(++n);
  auto child = platform::process::Child::spawn(argv, {folder, stem + ".out", stem + ".err"});
  RunResult r;
  if (child.pid() <= 0) {
    r.err = "cannot start " + argv.front() + ": errno " + std::to_string(child.error());
    return r;
  }
  r.exitCode = child.wait(timeout);
  if (!r.exitCode) {
    // The run already failed by its time-out. Asked first, a script ends the programs it
    // started (the demo's exit trap); only then is it killed and reaped.
    (void)child.signal(SIGTERM);
    if (!child.wait(10s)) {
      (void)child.signal(SIGKILL);
      (void)child.wait(10s);
    }
  }
  r.out = testsupport::readFile(stem + ".out");
  r.err = testsupport::readFile(stem + ".err");
  return r;
}

bool waitForText(const std::string& path, const std::string& needle, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec) &&
        (needle.empty() || testsupport::readFile(path).find(needle) != std::string::npos))
      return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    platform::sleepFor(10ms);  // another process's file: looked at again until the time-out
  }
}

std::string servicesWithFreePorts() {
  namespace net = platform::net;
  const auto freePort = [](net::Socket::Type type) -> std::uint16_t {
    auto s = net::Socket::create(type);
    if (!s || !s.bind({net::kLoopbackAddress, 0})) return 0;
    return s.localEndpoint().value_or(net::Endpoint{}).port;
  };
  return "vrelevent " + std::to_string(freePort(net::Socket::Type::datagram)) + "/udp\nvrelcntrl " +
         std::to_string(freePort(net::Socket::Type::datagram)) + "/udp\nvrelinstr " +
         std::to_string(freePort(net::Socket::Type::stream)) + "/tcp\n";
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    ::setenv(name_.c_str(), old_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

}  // namespace install_test
