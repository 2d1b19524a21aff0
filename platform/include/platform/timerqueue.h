#pragma once
// Timers that run callbacks at times on platform::clock(), one after another on a thread
// of the queue's own (in place of waitable timers). Tests drive it with a ManualClock.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class TimerQueue {
 public:
  using Callback = std::function<void()>;
  using TimerId = std::uint64_t;  // 0 is never a timer

  TimerQueue();
  ~TimerQueue();  // cancels every timer and joins the thread
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // Runs `callback` once `delay` has passed (a negative delay counts as 0), and then
  // every `period` while that is above 0. Missed periods are not made up: a periodic
  // timer that falls behind runs once and goes on from the current time.
  TimerId schedule(std::chrono::milliseconds delay, Callback callback,
                   std::chrono::milliseconds period = std::chrono::milliseconds::zero());
  // Removes a timer; true when it was still scheduled (a one-shot timer that has run is
  // gone). When its callback is running on the queue's thread, waits for it to return,
  // unless called from that callback: after cancel() returns, it never runs again.
  bool cancel(TimerId id);
  void cancelAll();
  bool isScheduled(TimerId id) const;
  std::size_t size() const;
  // Callbacks run so far (tests).
  std::uint64_t runs() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform
