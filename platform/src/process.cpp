#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sstream>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/localpipe.h"
#include "platform/service.h"
#include "platform/text.h"

extern char** environ;

namespace platform::process {

namespace {

constexpr std::chrono::milliseconds kSlice{20};

std::vector<char*> argvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> p;
  p.reserve(argv.size() + 1);
  for (const auto& a : argv) p.push_back(const_cast<char*>(a.c_str()));
  p.push_back(nullptr);
  return p;
}

// In a forked child: only calls that are safe between fork and exec.
void resetSignalsInChild() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int s = 1; s < NSIG; ++s)
    if (s != SIGKILL && s != SIGSTOP) signal(s, SIG_DFL);
}

void closeInheritedInChild() {
#ifdef CLOSE_RANGE_CLOEXEC
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
  const long max = sysconf(_SC_OPEN_MAX);
  const int limit = static_cast<int>(max > 0 && max < 65536 ? max : 65536);
  for (int fd = 3; fd < limit; ++fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
}

struct Report {
  char tag;  // 'P' the program's process id, 'E' why it did not start
  int value;
};

void writeReport(int fd, char tag, int value) {
  const Report r{tag, value};
  (void)!::write(fd, &r, sizeof r);
}

// Reads a /proc file with plain reads: the process may end while it is read, and a stream
// would throw on that (ESRCH); what was read so far, or nothing, is the answer then.
std::string readSmallFile(const std::string& path) {
  std::string out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || out.size() > (1u << 20)) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

}  // namespace

std::optional<int> spawnDetached(const std::vector<std::string>& argv, const std::string& workingDirectory,
                                 int* error) {
  auto fail = [&](int e) -> std::optional<int> {
    if (error) *error = e;
    return std::nullopt;
  };
  if (argv.empty() || argv[0].empty()) return fail(EINVAL);
  std::vector<char*> args = argvPointers(argv);
  const char* folder = workingDirectory.empty() ? nullptr : workingDirectory.c_str();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(errno);

  const pid_t middle = ::fork();
  if (middle < 0) {
    const int e = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return fail(e);
  }
  if (middle == 0) {
    // The middle process leaves at once, so the program is nobody's child to reap.
    ::close(fds[0]);
    ::setsid();
    const pid_t program = ::fork();
    if (program < 0) {
      writeReport(fds[1], 'E', errno);
      ::_exit(1);
    }
    if (program > 0) {
      writeReport(fds[1], 'P', static_cast<int>(program));
      ::_exit(0);
    }
    resetSignalsInChild();
    if (folder && ::chdir(folder) != 0) {
      writeReport(fds[1], 'E', errno);
      ::_exit(127);
    }
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0 && devNull != 0) {
      ::dup2(devNull, 0);
      ::close(devNull);
    }
    closeInheritedInChild();
    ::execvp(args[0], args.data());
    writeReport(fds[1], 'E', errno);
    ::_exit(127);
  }

  ::close(fds[1]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  // Both writers are gone once the program has started (the pipe closes on exec) or failed.
  std::optional<int> pid;
  int startError = 0;
  for (;;) {
    Report r{};
    const ssize_t n = ::read(fds[0], &r, sizeof r);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof r)) break;
    if (r.tag == 'P') pid = r.value;
    if (r.tag == 'E') startError = r.value;
  }
  ::close(fds[0]);
  if (startError != 0) return fail(startError);
  if (!pid) return fail(ECHILD);
  if (error) *error = 0;
  return pid;
}

// ---------------------------------------------------------------------------------------
// Child

Child::~Child() { release(); }

void Child::release() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  pid_ = -1;
}

Child::Child(Child&& other) noexcept : pid_(other.pid_), error_(other.error_), status_(other.status_) {
  other.pid_ = -1;
  other.status_.reset();
}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = other.pid_;
    error_ = other.error_;
    status_ = other.status_;
    other.pid_ = -1;
    other.status_.reset();
  }
  return *this;
}

Child Child::spawn(const std::vector<std::string>& argv, const Options& options) {
  Child child;
  if (argv.empty() || argv[0].empty()) {
    child.error_ = EINVAL;
    return child;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (!options.workingDirectory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
  if (!options.stdoutPath.empty())
    posix_spawn_file_actions_addopen(&actions, 1, options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
  if (!options.stderrPath.empty())
    posix_spawn_file_actions_addopen(&actions, 2, options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
  std::vector<char*> args = argvPointers(argv);
  pid_t pid = -1;
  const int r = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (r != 0) {
    child.error_ = r;
    return child;
  }
  child.pid_ = pid;
  return child;
}

void Child::reap(bool block) {
  if (pid_ <= 0 || status_) return;
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      status_ = -1;  // not ours to wait for any more
      return;
    }
    if (r == 0) return;
    break;
  }
  if (WIFEXITED(status))
    status_ = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    status_ = 128 + WTERMSIG(status);
  else
    status_ = -1;
}

bool Child::running() {
  reap(false);
  return pid_ > 0 && !status_;
}

bool Child::signal(int signalNumber) { return running() && ::kill(pid_, signalNumber) == 0; }

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  reap(false);
  if (status_) return status_;
  const SteadyTime deadline = clock().steadyNow() + timeout;
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  for (;;) {
    const SteadyTime now = clock().steadyNow();
    const bool last = now >= deadline;
    const int ms =
        last ? 0
             : static_cast<int>(
                   std::min(std::chrono::ceil<std::chrono::milliseconds>(deadline - now), kSlice).count());
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      (void)::poll(&p, 1, ms);
    } else {
      clock().sleepFor(std::chrono::milliseconds(std::min(ms, 5)));
    }
    reap(false);
    if (status_ || last) break;
  }
  if (pidfd >= 0) ::close(pidfd);
  return status_;
}

// ---------------------------------------------------------------------------------------
// Listing

namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD
// Reads of a process caught between its new name and its new argument area.
constexpr int kExecRereads = 200;

std::vector<std::string> splitArguments(const std::string& cmdline) {
  std::vector<std::string> arguments;
  for (std::size_t at = 0; at < cmdline.size();) {
    const auto end = cmdline.find('\0', at);
    arguments.push_back(cmdline.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return arguments;
}

// Whether a process without arguments may have them soon: not a kernel thread (which has
// none) and not a zombie (whose are gone). From /proc/<pid>/stat: state after the
// name's closing parenthesis, the flags six fields on.
bool argumentsMayCome(const std::string& base) {
  const std::string stat = readSmallFile(base + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  long ppid = 0, pgrp = 0, session = 0, tty = 0, tpgid = 0;
  unsigned long flags = 0;
  if (!(fields >> state >> ppid >> pgrp >> session >> tty >> tpgid >> flags)) return false;
  return state != "Z" && state != "X" && (flags & kKernelThreadFlag) == 0;
}

// The effective user id from /proc/<pid>/status ("Uid:\treal\teffective\tsaved\tfs").
std::optional<unsigned> ownerOf(const std::string& base) {
  std::istringstream status(readSmallFile(base + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Uid:", 0) != 0) continue;
    std::istringstream ids(line.substr(4));
    unsigned real = 0, effective = 0;
    if (ids >> real >> effective) return effective;
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::vector<ProcessInfo> listProcesses() {
  std::vector<ProcessInfo> result;
  DIR* dir = ::opendir("/proc");
  if (!dir) return result;
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name(e->d_name);
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    ProcessInfo info;
    info.pid = std::atoi(e->d_name);
    const std::string base = "/proc/" + std::string(name);
    info.name = readSmallFile(base + "/comm");
    if (info.name.empty()) continue;  // gone meanwhile
    std::string cmdline = readSmallFile(base + "/cmdline");
    // During execve the kernel names the process before its new argument area exists:
    // for a moment it reads as a program without arguments. Read again until it has
    // them (the moment is short), rather than report it so.
    if (cmdline.empty() && argumentsMayCome(base)) {
      for (int i = 0; i < kExecRereads && cmdline.empty(); ++i) {
        ::sched_yield();
        cmdline = readSmallFile(base + "/cmdline");
      }
      if (!cmdline.empty()) info.name = readSmallFile(base + "/comm");  // the name that goes with them
      if (info.name.empty()) continue;
    }
    if (info.name.back() == '\n') info.name.pop_back();
    char link[PATH_MAX];
    const ssize_t n = ::readlink((base + "/exe").c_str(), link, sizeof link - 1);
    if (n > 0) info.executable.assign(link, static_cast<std::size_t>(n));
    info.arguments = splitArguments(cmdline);
    info.owner = ownerOf(base);
    result.push_back(std::move(info));
  }
  ::closedir(dir);
  return result;
}

unsigned currentUser() { return ::geteuid(); }

bool runsProgram(const std::vector<ProcessInfo>& processes, std::string_view name,
                 std::optional<unsigned> owner) {
  if (name.size() > 4 && platform::equalsFolded(name.substr(name.size() - 4), ".exe")) name.remove_suffix(4);
  if (name.empty()) return false;
  for (const auto& p : processes) {
    if (owner && p.owner != owner) continue;
    if (platform::equalsFolded(fileNameOf(p.executable), name) ||
        platform::equalsFolded(p.name, name.substr(0, 15)) ||
        (!p.arguments.empty() && platform::equalsFolded(fileNameOf(p.arguments[0]), name)))
      return true;
  }
  return false;
}

bool isProgramRunning(std::string_view name) { return runsProgram(listProcesses(), name); }

bool isServiceRunning(std::string_view serviceName) {
  if (serviceName.empty()) return false;
  if (localpipe::Pipe::connect(service::controlPipeName(serviceName), std::chrono::milliseconds::zero())
          .isOpen())
    return true;
  return runsProgram(listProcesses(), serviceName, currentUser());
}

UnitState serviceUnitState(std::string_view unit, ServiceManager manager, std::chrono::milliseconds timeout,
                           const std::string& program) {
  // A unit name is one argument; one that looks like an option is not a unit.
  if (unit.empty() || unit.front() == '-' || unit.find('\0') != std::string_view::npos)
    return UnitState::unknown;
  std::vector<std::string> argv{program};
  if (manager == ServiceManager::user) argv.emplace_back("--user");
  argv.emplace_back("is-active");
  argv.emplace_back(unit);
  const std::string out = uniqueTempFile(tempDirectory(), "unitstate");
  if (out.empty()) return UnitState::unknown;
  std::optional<int> exit;
  {
    Child c = Child::spawn(argv, {.workingDirectory = {}, .stdoutPath = out, .stderrPath = "/dev/null"});
    if (c.pid() > 0) exit = c.wait(timeout);
  }  // a program that did not answer in time is killed here
  std::string answer = readSmallFile(out);
  (void)removeFile(out);  // a temporary file left behind harms nothing
  if (!exit) return UnitState::unknown;
  answer = answer.substr(0, answer.find('\n'));
  // It prints the state whatever its exit code; nothing printed means it could not ask.
  if (answer == "active" || answer == "reloading" || answer == "refreshing") return UnitState::active;
  if (answer == "inactive" || answer == "failed" || answer == "activating" || answer == "deactivating" ||
      answer == "maintenance" || answer == "unknown")
    return UnitState::inactive;
  return UnitState::unknown;
}

}  // namespace platform::process
