#pragma once
// A thread with a stop event and an exit code; joined before its owner dies.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/sync.h"

namespace platform {

// The kernel's id of the calling thread (gettid).
long currentThreadId();

enum class ThreadPriority { idle, lowest, belowNormal, normal, aboveNormal, highest, timeCritical };

// How a thread is scheduled: real-time round-robin at a priority (1-99), or time-sharing at
// a nice value (-20 most urgent, 19 least).
struct Scheduling {
  bool realTime = false;
  int value = 0;
  // "real-time round-robin, priority 30" or "time-sharing, nice 0".
  std::string describe() const;
  bool operator==(const Scheduling&) const = default;
};

class Thread {
 public:
  using Body = std::function<std::uint32_t(Event& stop)>;

  Thread() = default;
  ~Thread();  // sets the stop event and joins
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the body on a new thread; false with errno when a thread is already running
  // (EBUSY), a previous run cannot be collected (EDEADLK: called on that thread) or the
  // system refuses (EAGAIN). An exception escaping the body ends the thread with exit code
  // kUncaughtExceptionExit after reporting it on stderr.
  [[nodiscard]] bool start(Body body, std::string name = {});
  void requestStop();
  Event& stopEvent();
  // Waits for the thread to end; true when it ended within the timeout.
  [[nodiscard]] bool join(std::chrono::milliseconds timeout = kInfinite);
  bool joinable() const;
  bool running() const;
  // The body's result once ended.
  std::optional<std::uint32_t> exitCode() const;
  long id() const;  // kernel thread id, 0 before start
  // Best effort: a refusal by the system is not an error.
  void setPriority(ThreadPriority p);
  // The running thread to the nearest Linux has to the real-time priority class (see
  // raiseToRealTime below); what it has afterwards. Best effort, never an error.
  Scheduling raiseToRealTime(ThreadPriority p);

  static constexpr std::uint32_t kStillActive = 259;
  static constexpr std::uint32_t kUncaughtExceptionExit = 0xE0000001u;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Best-effort priority of the calling thread.
void setCurrentThreadPriority(ThreadPriority p);

// What this process may ask for: the highest real-time priority (0: none; CAP_SYS_NICE
// allows all, else RLIMIT_RTPRIO), and the most urgent nice value (-20 with CAP_SYS_NICE,
// else 20 - RLIMIT_NICE).
struct SchedulingLimits {
  int maxRealTimePriority = 0;
  int lowestNice = 20;
};
SchedulingLimits schedulingLimits();

// The nearest to the real-time priority class for a thread of priority `p` within `limits`:
// round-robin real-time scheduling where it is allowed, else the most urgent nice value
// allowed up to the one `p` stands for, never less urgent than `currentNice`.
Scheduling chooseRealTimeScheduling(ThreadPriority p, const SchedulingLimits& limits, int currentNice);
// What thread `tid` has now.
Scheduling currentScheduling(long tid);
// Asks for chooseRealTimeScheduling for thread `tid` and returns what the thread has
// afterwards; a refusal leaves the thread as it was.
Scheduling raiseToRealTime(long tid, ThreadPriority p);

}  // namespace platform
