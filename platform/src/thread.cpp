#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {

long currentThreadId() {
  thread_local const long id = static_cast<long>(::gettid());
  return id;
}

namespace {

int niceValue(ThreadPriority p) {
  switch (p) {
    case ThreadPriority::idle:
      return 19;
    case ThreadPriority::lowest:
      return 10;
    case ThreadPriority::belowNormal:
      return 5;
    case ThreadPriority::normal:
      return 0;
    case ThreadPriority::aboveNormal:
      return -5;
    case ThreadPriority::highest:
      return -10;
    case ThreadPriority::timeCritical:
      return -20;
  }
  return 0;
}

// On Linux a nice value set for a thread id applies to that thread alone. Raising the
// priority needs privileges the process usually lacks; that refusal is expected.
void applyPriority(long tid, ThreadPriority p) {
  if (tid <= 0) return;
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), niceValue(p));
}

}  // namespace

void setCurrentThreadPriority(ThreadPriority p) { applyPriority(currentThreadId(), p); }

std::string Scheduling::describe() const {
  return realTime ? "real-time round-robin, priority " + std::to_string(value)
                  : "time-sharing, nice " + std::to_string(value);
}

namespace {

constexpr int kCapSysNice = 23;

bool hasCapSysNice() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    try {
      return (std::stoull(line.substr(7), nullptr, 16) >> kCapSysNice) & 1u;
    } catch (const std::exception&) {
      return false;
    }
  }
  return false;
}

// Real-time priorities of the classic thread priorities: well below the kernel's own
// interrupt threads (50), in the same order.
int realTimePriority(ThreadPriority p) {
  switch (p) {
    case ThreadPriority::idle:
      return 1;
    case ThreadPriority::lowest:
      return 5;
    case ThreadPriority::belowNormal:
      return 10;
    case ThreadPriority::normal:
      return 15;
    case ThreadPriority::aboveNormal:
      return 20;
    case ThreadPriority::highest:
      return 25;
    case ThreadPriority::timeCritical:
      return 30;
  }
  return 15;
}

}  // namespace

SchedulingLimits schedulingLimits() {
  SchedulingLimits limits;
  const int systemMax = ::sched_get_priority_max(SCHED_RR);
  if (hasCapSysNice()) {
    limits.maxRealTimePriority = systemMax > 0 ? systemMax : 0;
    limits.lowestNice = -20;
    return limits;
  }
  rlimit rt{};
  if (::getrlimit(RLIMIT_RTPRIO, &rt) == 0 && systemMax > 0)
    limits.maxRealTimePriority =
        rt.rlim_cur == RLIM_INFINITY ? systemMax : static_cast<int>(std::min<rlim_t>(rt.rlim_cur, systemMax));
  rlimit nice{};
  if (::getrlimit(RLIMIT_NICE, &nice) == 0)
    limits.lowestNice =
        nice.rlim_cur == RLIM_INFINITY ? -20 : 20 - static_cast<int>(std::min<rlim_t>(nice.rlim_cur, 40));
  return limits;
}

Scheduling chooseRealTimeScheduling(ThreadPriority p, const SchedulingLimits& limits, int currentNice) {
  if (limits.maxRealTimePriority >= 1)
    return {true, std::clamp(realTimePriority(p), 1, limits.maxRealTimePriority)};
  const int wanted = std::max(niceValue(p), limits.lowestNice);
  return {false, std::min(wanted, currentNice)};
}

Scheduling currentScheduling(long tid) {
  if (tid <= 0) return {};
  const int policy = ::sched_getscheduler(static_cast<pid_t>(tid));
  if (policy == SCHED_RR || policy == SCHED_FIFO) {
    sched_param param{};
    if (::sched_getparam(static_cast<pid_t>(tid), &param) == 0) return {true, param.sched_priority};
  }
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  return {false, errno == 0 ? nice : 0};
}

Scheduling raiseToRealTime(long tid, ThreadPriority p) {
  if (tid <= 0) return {};
  const Scheduling now = currentScheduling(tid);
  SchedulingLimits limits = schedulingLimits();
  Scheduling want = chooseRealTimeScheduling(p, limits, now.realTime ? 0 : now.value);
  if (want.realTime) {
    const sched_param param{want.value};
    if (::sched_setscheduler(static_cast<pid_t>(tid), SCHED_RR, &param) == 0) return currentScheduling(tid);
    limits.maxRealTimePriority = 0;  // refused after all: the best time-sharing instead
    want = chooseRealTimeScheduling(p, limits, now.value);
  }
  if (!now.realTime && want.value < now.value)
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), want.value);
  return currentScheduling(tid);
}

struct Thread::State {
  Event stop{true, false};
  Event done{true, false};
  Event started{true, false};
  std::thread thread;
  std::string name;
  std::atomic<long> tid{0};
  std::atomic<bool> running{false};
  std::atomic<bool> hasPriority{false};
  std::atomic<ThreadPriority> priority{ThreadPriority::normal};
  mutable std::mutex mutex;  // exitCode, and joining std::thread
  std::optional<std::uint32_t> exitCode;

  void run(const Body& body) {
    tid = currentThreadId();
    if (!name.empty()) {
      // The kernel keeps 15 characters of a thread's name.
      (void)::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
    }
    if (hasPriority) applyPriority(tid, priority);
    started.set();

    std::uint32_t code = kUncaughtExceptionExit;
    try {
      code = body(stop);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "thread '%s' (%ld) ended by an uncaught exception: %s\n", name.c_str(), tid.load(),
                   e.what());
    } catch (...) {
      std::fprintf(stderr, "thread '%s' (%ld) ended by an uncaught exception of unknown type\n", name.c_str(),
                   tid.load());
    }
    {
      std::lock_guard lock(mutex);
      exitCode = code;
    }
    running = false;
    done.set();
  }
};

Thread::~Thread() {
  if (!state_) return;
  state_->stop.set();
  if (!join(kInfinite) && state_->thread.joinable()) {
    // Destroyed by its own thread: it cannot wait for itself.
    std::lock_guard lock(state_->mutex);
    if (state_->thread.joinable()) state_->thread.detach();
  }
}

bool Thread::start(Body body, std::string name) {
  if (!state_) state_ = std::make_shared<State>();
  if (running()) {
    errno = EBUSY;
    return false;
  }
  if (!join(kInfinite)) {  // a previous run: collect it first
    errno = EDEADLK;       // only its own thread cannot
    return false;
  }

  State& s = *state_;
  s.stop.reset();
  s.done.reset();
  s.started.reset();
  {
    std::lock_guard lock(s.mutex);
    s.exitCode.reset();
  }
  s.name = std::move(name);
  s.tid = 0;
  s.running = true;

  try {
    s.thread = std::thread([state = state_, body = std::move(body)] { state->run(body); });
  } catch (const std::system_error& e) {
    s.running = false;
    s.done.set();
    errno = e.code().value();  // EAGAIN: the system has no room for another thread
    return false;
  }
  // id() must be valid once start() returns.
  (void)s.started.wait(kInfinite);  // no limit: it returns once set
  return true;
}

void Thread::requestStop() { stopEvent().set(); }

Event& Thread::stopEvent() {
  if (!state_) state_ = std::make_shared<State>();
  return state_->stop;
}

bool Thread::join(std::chrono::milliseconds timeout) {
  if (!state_) return true;
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (!s.thread.joinable()) return true;
    if (s.thread.get_id() == std::this_thread::get_id()) return false;
  }
  if (!s.done.wait(timeout)) return false;
  // The body is over; what remains is the thread's own teardown.
  std::lock_guard lock(s.mutex);
  if (s.thread.joinable()) s.thread.join();
  return true;
}

bool Thread::joinable() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return state_->thread.joinable();
}

bool Thread::running() const { return state_ && state_->running; }

std::optional<std::uint32_t> Thread::exitCode() const {
  if (!state_ || state_->running) return std::nullopt;
  std::lock_guard lock(state_->mutex);
  return state_->exitCode;
}

long Thread::id() const { return state_ ? state_->tid.load() : 0; }

Scheduling Thread::raiseToRealTime(ThreadPriority p) {
  if (!running()) return {};
  return platform::raiseToRealTime(state_->tid, p);
}

void Thread::setPriority(ThreadPriority p) {
  if (!state_) state_ = std::make_shared<State>();
  state_->priority = p;
  state_->hasPriority = true;
  if (running()) applyPriority(state_->tid, p);
}

}  // namespace platform
