#pragma once
// Events, a recursive timed mutex that notices abandonment, and a critical section.
// All timed waits go through platform::clock().
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "platform/clock.h"

namespace platform {

inline constexpr std::chrono::milliseconds kInfinite{-1};

class Event {
 public:
  explicit Event(bool manualReset = true, bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset();
  bool isSet() const;
  // true when the event was set within the timeout (kInfinite: no limit). An
  // auto-reset event is reset by the wait that sees it.
  [[nodiscard]] bool wait(std::chrono::milliseconds timeout = kInfinite);

  // Waits until any of `events` is set; returns its index, or -1 on time-out.
  [[nodiscard]] static int waitAny(std::span<Event* const> events,
                                   std::chrono::milliseconds timeout = kInfinite);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

enum class LockResult { acquired, abandoned, timedOut };

// Recursive, owner-tracked mutex. A lock by another thread while the owner thread has
// ended holding it returns `abandoned` (and the caller owns it). unlock() by a thread
// that does not own it fails.
class TimedMutex {
 public:
  TimedMutex();
  ~TimedMutex();
  TimedMutex(const TimedMutex&) = delete;
  TimedMutex& operator=(const TimedMutex&) = delete;

  [[nodiscard]] LockResult lock(std::chrono::milliseconds timeout = kInfinite);
  [[nodiscard]] bool unlock();
  bool ownedByCurrentThread() const;
  int recursionCount() const;

 private:
  struct Impl;
  // Shared so that an owning thread's exit can reach the mutex without outliving it.
  std::shared_ptr<Impl> impl_;
};

// Recursive lock for short sections (std::lock_guard compatible).
class CriticalSection {
 public:
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }
  [[nodiscard]] bool try_lock() { return m_.try_lock(); }
  void Lock() { lock(); }
  void Unlock() { unlock(); }

 private:
  std::recursive_mutex m_;
};

}  // namespace platform
