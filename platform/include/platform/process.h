#pragma once
// Processes: starting programs (detached, or as children to wait for), listing the
// running programs from /proc, and asking whether a service runs. Programs are started
// with an argument vector, never through a shell.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::process {

// Starts argv[0] (looked up in PATH when it holds no '/') with the arguments, in its own
// session, with standard input from /dev/null and no descriptor but 0-2 inherited, in
// `workingDirectory` (empty: the caller's). The program is not a child of the caller:
// nothing needs to wait for it. Returns its process id; nullopt when it could not be
// started, with the errno in *error (ENOENT for a missing program, a bad folder ...).
[[nodiscard]] std::optional<int> spawnDetached(const std::vector<std::string>& argv,
                                               const std::string& workingDirectory = {},
                                               int* error = nullptr);

// A child process to wait for (tests, tools). The destructor kills a child still running
// and reaps it, so none is left behind.
class Child {
 public:
  struct Options {
    std::string workingDirectory;
    std::string stdoutPath;  // empty: inherited
    std::string stderrPath;  // empty: inherited
  };

  Child() = default;
  ~Child();
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Not running() on failure, with error() holding the errno.
  static Child spawn(const std::vector<std::string>& argv, const Options& options);
  static Child spawn(const std::vector<std::string>& argv) { return spawn(argv, Options{}); }

  int pid() const { return pid_; }
  int error() const { return error_; }
  bool running();
  [[nodiscard]] bool signal(int signalNumber);
  // Waits (in real time, bounded) for the end; the exit code, or 128 + signal for a
  // child a signal ended. nullopt when it still runs at the time-out.
  [[nodiscard]] std::optional<int> wait(std::chrono::milliseconds timeout);
  std::optional<int> exitCode() const { return status_; }

 private:
  int pid_ = -1;
  int error_ = 0;
  std::optional<int> status_;
  void reap(bool block);
  void release();
};

struct ProcessInfo {
  int pid = 0;
  std::string name;        // the kernel's short name (comm, at most 15 characters)
  std::string executable;  // the program file, when this user may see it
  std::vector<std::string> arguments;
  std::optional<unsigned> owner;  // its effective user id, when it could be read
};

// Every process this user may look at.
std::vector<ProcessInfo> listProcesses();
// The effective user id of the calling process.
unsigned currentUser();
// True when one of `processes` runs a program of that name (file name of its program, or
// its short name; case-insensitive; a ".exe" ending of `name` is ignored) and, when
// `owner` is given, belongs to that user (a process whose owner is unknown does not).
bool runsProgram(const std::vector<ProcessInfo>& processes, std::string_view name,
                 std::optional<unsigned> owner = std::nullopt);
// runsProgram() over the running processes: any user's.
bool isProgramRunning(std::string_view name);
// True when the service runs for this user: its control socket in this user's runtime
// folder answers (see service.h), or a process of this user runs a program of the
// service's name. Another user's instance serves that user only.
bool isServiceRunning(std::string_view serviceName);

// What systemd says of a unit ("firewalld.service"): active (or reloading), inactive (also
// failed, starting, stopping, not installed), or unknown when the service manager cannot be
// asked (no systemd, no bus, `program` missing, no answer within the time-out).
enum class UnitState { active, inactive, unknown };
enum class ServiceManager { system, user };
UnitState serviceUnitState(std::string_view unit, ServiceManager manager = ServiceManager::system,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5),
                           const std::string& program = "systemctl");

}  // namespace platform::process
