#pragma once
// The one source of "now", local time, sleeping and timed waiting. Tests replace it
// with a ManualClock so that long waits cost no real time and run deterministically.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

using SteadyTime = std::chrono::steady_clock::time_point;
using SystemTime = std::chrono::system_clock::time_point;
using Millis = std::chrono::milliseconds;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual SteadyTime steadyNow() = 0;
  virtual SystemTime systemNow() = 0;
  virtual void sleepFor(std::chrono::nanoseconds d) = 0;
  // Waits on `cv` (with `lock` held on entry and exit) until `pred` holds or `deadline`
  // passes on this clock; returns pred() at the end. SteadyTime::max() means no limit:
  // only a notification of `cv` ends such a wait.
  [[nodiscard]] virtual bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                                       SteadyTime deadline, const std::function<bool()>& pred) = 0;
};

// The clock in use (the system clock unless a test installed another).
Clock& clock();
// Installs `c` (nullptr: the system clock again); returns the previous one. Not meant to
// be called while other threads wait on the clock.
std::shared_ptr<Clock> setClock(std::shared_ptr<Clock> c);

// Shorthands through clock().
inline SteadyTime steadyNow() { return clock().steadyNow(); }
inline SystemTime systemNow() { return clock().systemNow(); }
inline void sleepFor(std::chrono::nanoseconds d) { clock().sleepFor(d); }
// Milliseconds since an arbitrary start, like a tick counter.
std::uint64_t tickCountMs();
// Local broken-down time of clock().systemNow() (or of `t`).
std::tm localTime();
std::tm localTime(SystemTime t);
// strftime of the local time with `format`.
std::string formatLocalTime(const char* format);
std::string formatLocalTime(const char* format, SystemTime t);

// A clock for tests: time moves only by advance() (or instantly on sleeps with
// setAutoAdvance(true)). Timed waits re-check the fake time in short real slices, so a
// waiter wakes promptly after advance().
class ManualClock : public Clock {
 public:
  explicit ManualClock(SystemTime start = SystemTime(std::chrono::hours(24 * 365 * 50)));
  SteadyTime steadyNow() override;
  SystemTime systemNow() override;
  void sleepFor(std::chrono::nanoseconds d) override;
  [[nodiscard]] bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                               SteadyTime deadline, const std::function<bool()>& pred) override;

  void advance(std::chrono::nanoseconds d);
  void setSystemTime(SystemTime t);
  // Sleeps advance the time by their own length at once instead of blocking.
  void setAutoAdvance(bool on);
  // Number of threads blocked in a timed wait or sleep on this clock right now.
  int waiters() const;
  // Blocks (in real time, at most `realTimeout`) until at least n threads wait on the clock.
  [[nodiscard]] bool waitForWaiters(int n,
                                    std::chrono::milliseconds realTimeout = std::chrono::seconds(10)) const;
  // The same for waits without a time limit. They are not polled (time cannot end them),
  // so a test can block a thread for sure and then check that its wake-up arrives.
  int untimedWaiters() const;
  [[nodiscard]] bool waitForUntimedWaiters(
      int n, std::chrono::milliseconds realTimeout = std::chrono::seconds(10)) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Installs a clock for the life of a scope (tests).
class ScopedClock {
 public:
  explicit ScopedClock(std::shared_ptr<Clock> c) : previous_(setClock(std::move(c))) {}
  ~ScopedClock() { setClock(previous_); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  std::shared_ptr<Clock> previous_;
};

}  // namespace platform
