#include "platform/timerqueue.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include "platform/clock.h"

namespace platform {

struct TimerQueue::State {
  struct Timer {
    SteadyTime due;
    std::chrono::milliseconds period{0};
    std::shared_ptr<Callback> callback;
  };

  mutable std::mutex mutex;
  std::condition_variable changed;  // timers added or removed, a run ended, or stopping
  std::map<TimerId, Timer> timers;
  TimerId nextId = 1;
  TimerId running = 0;  // the timer whose callback runs now
  std::uint64_t runs = 0;
  std::uint64_t generation = 0;  // bumped on every change, so the thread re-plans its wait
  bool stopping = false;
  std::thread thread;

  void loop() {
    std::unique_lock lock(mutex);
    while (!stopping) {
      auto first = std::min_element(timers.begin(), timers.end(),
                                    [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
      const SteadyTime now = clock().steadyNow();
      if (first == timers.end() || first->second.due > now) {
        const SteadyTime until = first == timers.end() ? SteadyTime::max() : first->second.due;
        const std::uint64_t seen = generation;
        // The loop looks again, whatever ended the wait.
        (void)clock().waitUntil(changed, lock, until, [&] { return stopping || generation != seen; });
        continue;
      }
      const TimerId id = first->first;
      std::shared_ptr<Callback> callback = first->second.callback;
      if (first->second.period > std::chrono::milliseconds::zero()) {
        SteadyTime next = first->second.due + first->second.period;
        if (next <= now) next = now + first->second.period;
        first->second.due = next;
      } else {
        timers.erase(first);
      }
      running = id;
      lock.unlock();
      try {
        (*callback)();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "TimerQueue: a timer callback failed: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "TimerQueue: a timer callback failed\n");
      }
      lock.lock();
      running = 0;
      ++runs;
      ++generation;
      changed.notify_all();
    }
  }
};

TimerQueue::TimerQueue() : state_(std::make_unique<State>()) {
  state_->thread = std::thread([s = state_.get()] { s->loop(); });
}

TimerQueue::~TimerQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->timers.clear();
  }
  state_->changed.notify_all();
  if (state_->thread.joinable()) {
    if (state_->thread.get_id() == std::this_thread::get_id())
      state_->thread.detach();  // destroyed from its own callback: nothing left to wait for
    else
      state_->thread.join();
  }
}

TimerQueue::TimerId TimerQueue::schedule(std::chrono::milliseconds delay, Callback callback,
                                         std::chrono::milliseconds period) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  const TimerId id = s.nextId++;
  s.timers[id] = {clock().steadyNow() + std::max(delay, std::chrono::milliseconds::zero()), period,
                  std::make_shared<Callback>(std::move(callback))};
  ++s.generation;
  s.changed.notify_all();
  return id;
}

bool TimerQueue::cancel(TimerId id) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  const bool scheduled = s.timers.erase(id) > 0;
  ++s.generation;
  s.changed.notify_all();
  if (std::this_thread::get_id() != s.thread.get_id()) s.changed.wait(lock, [&] { return s.running != id; });
  return scheduled;
}

void TimerQueue::cancelAll() {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  s.timers.clear();
  ++s.generation;
  s.changed.notify_all();
  if (std::this_thread::get_id() != s.thread.get_id()) s.changed.wait(lock, [&] { return s.running == 0; });
}

bool TimerQueue::isScheduled(TimerId id) const {
  std::lock_guard lock(state_->mutex);
  return state_->timers.count(id) > 0;
}

std::size_t TimerQueue::size() const {
  std::lock_guard lock(state_->mutex);
  return state_->timers.size();
}

std::uint64_t TimerQueue::runs() const {
  std::lock_guard lock(state_->mutex);
  return state_->runs;
}

}  // namespace platform
