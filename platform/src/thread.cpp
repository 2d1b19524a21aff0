#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <exception>
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
  if (running()) return false;
  if (!join(kInfinite)) return false;  // a previous run: collect it first

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
  } catch (const std::system_error&) {
    s.running = false;
    s.done.set();
    return false;
  }
  // id() must be valid once start() returns.
  s.started.wait(kInfinite);
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

void Thread::setPriority(ThreadPriority p) {
  if (!state_) state_ = std::make_shared<State>();
  state_->priority = p;
  state_->hasPriority = true;
  if (running()) applyPriority(state_->tid, p);
}

}  // namespace platform
