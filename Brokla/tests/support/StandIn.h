#pragma once
// What the daemon tests and the load driver share, free of the test framework: the
// daemon's log read as it grows, and child processes that connect pipes so that the
// daemon sees each application as a process of its own.
#include <chrono>
#include <string>

#include "platform/localpipe.h"

namespace brokla_test {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kWait = 10s;

// The daemon's log, read as it grows.
class LogWatch {
 public:
  explicit LogWatch(std::string folder) : folder_(std::move(folder)) {}
  std::string text() const;  // every log file of the folder, in name order
  int count(const std::string& needle) const;
  // Until `needle` is in the log at least `n` times.
  bool waitFor(const std::string& needle, int n = 1, std::chrono::milliseconds timeout = kWait) const;

 private:
  std::string folder_;
};

// A child process that connects pipes for the test and hands them over, so that the
// daemon sees that process at the other end (each application its own process id, as
// it checks). It ends when the test lets it go. When it cannot be started, pid() is
// below 0 (and why went to stderr); its connects then fail.
class StandInProcess {
 public:
  StandInProcess();
  ~StandInProcess();
  StandInProcess(const StandInProcess&) = delete;
  StandInProcess& operator=(const StandInProcess&) = delete;
  int pid() const { return pid_; }
  // A pipe to `name` that this process connected; not open on failure.
  platform::localpipe::Pipe connect(const char* name);

 private:
  int pid_ = -1;
  int control_ = -1;  // socket pair end: names go out, connected sockets come back
};

}  // namespace brokla_test
