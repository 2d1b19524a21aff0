#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace platform {

namespace {

class SystemClock final : public Clock {
 public:
  SteadyTime steadyNow() override { return std::chrono::steady_clock::now(); }
  SystemTime systemNow() override { return std::chrono::system_clock::now(); }
  void sleepFor(std::chrono::nanoseconds d) override {
    if (d > std::chrono::nanoseconds::zero()) std::this_thread::sleep_for(d);
  }
  bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, SteadyTime deadline,
                 const std::function<bool()>& pred) override {
    // No deadline at all: avoid handing time_point::max() to the timed wait.
    if (deadline == SteadyTime::max()) {
      cv.wait(lock, pred);
      return true;
    }
    return cv.wait_until(lock, deadline, pred);
  }
};

const std::shared_ptr<Clock>& systemClock() {
  static const std::shared_ptr<Clock> instance = std::make_shared<SystemClock>();
  return instance;
}

// clock() hands out a plain reference, and a thread may still be inside a call on a
// clock when a test swaps it. Installed clocks are therefore kept alive until the
// process ends, which lets clock() read the current one without taking a lock.
struct Installed {
  std::mutex mutex;
  std::shared_ptr<Clock> current;
  std::vector<std::shared_ptr<Clock>> keptAlive;
};

Installed& installed() {
  static Installed instance;
  return instance;
}

std::atomic<Clock*> g_current{nullptr};

}  // namespace

Clock& clock() {
  Clock* c = g_current.load(std::memory_order_acquire);
  return c ? *c : *systemClock();
}

std::shared_ptr<Clock> setClock(std::shared_ptr<Clock> c) {
  if (!c) c = systemClock();
  Installed& in = installed();
  std::lock_guard lock(in.mutex);
  std::shared_ptr<Clock> previous = in.current ? in.current : systemClock();
  if (std::find(in.keptAlive.begin(), in.keptAlive.end(), c) == in.keptAlive.end()) in.keptAlive.push_back(c);
  in.current = c;
  g_current.store(c.get(), std::memory_order_release);
  return previous;
}

std::uint64_t tickCountMs() {
  // Monotonic, like a tick counter: it must not jump when the wall clock is set.
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<Millis>(clock().steadyNow().time_since_epoch()).count());
}

std::tm localTime() { return localTime(clock().systemNow()); }

std::tm localTime(SystemTime t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm result{};
  ::localtime_r(&tt, &result);
  return result;
}

std::string formatLocalTime(const char* format) { return formatLocalTime(format, clock().systemNow()); }

std::string formatLocalTime(const char* format, SystemTime t) {
  if (!format || !*format) return {};
  const std::tm tm = localTime(t);
  // strftime returns 0 both for "too small" and for an empty result; grow a few times
  // and then accept that the result is empty.
  std::string buffer(64 + 4 * std::strlen(format), '\0');
  for (int attempt = 0; attempt < 6; ++attempt) {
    const std::size_t n = std::strftime(buffer.data(), buffer.size(), format, &tm);
    if (n > 0) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(buffer.size() * 4);
  }
  return {};
}

// ---------------------------------------------------------------------------------------
// ManualClock

namespace {
// Real time between re-checks of the fake time in a timed wait. advance() also wakes
// the waiters directly; the slice covers a wake-up that races with a waiter going to sleep.
constexpr auto kPollSlice = std::chrono::milliseconds(2);
}  // namespace

struct ManualClock::State {
  std::mutex mutex;
  // Signalled on every change of time, auto-advance or the number of waiters.
  std::condition_variable changed;
  SteadyTime steady;
  SystemTime system;
  bool autoAdvance = false;
  int waiters = 0;
  int untimedWaiters = 0;
  // Condition variables of callers currently in waitUntil, woken on advance().
  std::vector<std::condition_variable*> waitingOn;

  void moveBy(std::chrono::nanoseconds d) {
    steady += std::chrono::duration_cast<SteadyTime::duration>(d);
    system += std::chrono::duration_cast<SystemTime::duration>(d);
  }
  void wakeAll() {
    changed.notify_all();
    for (auto* cv : waitingOn) cv->notify_all();
  }
};

ManualClock::ManualClock(SystemTime start) : state_(std::make_shared<State>()) {
  state_->system = start;
  state_->steady = SteadyTime(std::chrono::duration_cast<SteadyTime::duration>(start.time_since_epoch()));
}

SteadyTime ManualClock::steadyNow() {
  std::lock_guard lock(state_->mutex);
  return state_->steady;
}

SystemTime ManualClock::systemNow() {
  std::lock_guard lock(state_->mutex);
  return state_->system;
}

void ManualClock::sleepFor(std::chrono::nanoseconds d) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  if (d <= std::chrono::nanoseconds::zero()) return;
  const SteadyTime deadline = s.steady + std::chrono::duration_cast<SteadyTime::duration>(d);
  if (!s.autoAdvance) {
    ++s.waiters;
    s.changed.notify_all();
    s.changed.wait(lock, [&] { return s.steady >= deadline || s.autoAdvance; });
    --s.waiters;
    s.changed.notify_all();
  }
  // Auto-advance (also when switched on during the sleep): the sleep moves the time.
  if (s.steady < deadline) {
    s.moveBy(deadline - s.steady);
    s.wakeAll();
  }
}

bool ManualClock::waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            SteadyTime deadline, const std::function<bool()>& pred) {
  State& s = *state_;
  if (deadline == SteadyTime::max()) {
    struct Count {
      State& s;
      explicit Count(State& st) : s(st) { change(+1); }
      ~Count() { change(-1); }
      void change(int d) {
        std::lock_guard g(s.mutex);
        s.untimedWaiters += d;
        s.changed.notify_all();
      }
    } count{s};
    cv.wait(lock, pred);
    return true;
  }
  {
    std::lock_guard g(s.mutex);
    ++s.waiters;
    s.waitingOn.push_back(&cv);
    s.changed.notify_all();
  }
  struct Leave {
    State& s;
    std::condition_variable* cv;
    ~Leave() {
      std::lock_guard g(s.mutex);
      --s.waiters;
      s.waitingOn.erase(std::find(s.waitingOn.begin(), s.waitingOn.end(), cv));
      s.changed.notify_all();
    }
  } leave{s, &cv};

  for (;;) {
    if (pred()) return true;
    if (steadyNow() >= deadline) return false;
    cv.wait_for(lock, kPollSlice);
  }
}

void ManualClock::advance(std::chrono::nanoseconds d) {
  std::lock_guard lock(state_->mutex);
  state_->moveBy(d);
  state_->wakeAll();
}

void ManualClock::setSystemTime(SystemTime t) {
  std::lock_guard lock(state_->mutex);
  state_->system = t;
  state_->wakeAll();
}

void ManualClock::setAutoAdvance(bool on) {
  std::lock_guard lock(state_->mutex);
  state_->autoAdvance = on;
  state_->wakeAll();
}

int ManualClock::waiters() const {
  std::lock_guard lock(state_->mutex);
  return state_->waiters;
}

bool ManualClock::waitForWaiters(int n, std::chrono::milliseconds realTimeout) const {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  return s.changed.wait_for(lock, realTimeout, [&] { return s.waiters >= n; });
}

int ManualClock::untimedWaiters() const {
  std::lock_guard lock(state_->mutex);
  return state_->untimedWaiters;
}

bool ManualClock::waitForUntimedWaiters(int n, std::chrono::milliseconds realTimeout) const {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  return s.changed.wait_for(lock, realTimeout, [&] { return s.untimedWaiters >= n; });
}

}  // namespace platform
