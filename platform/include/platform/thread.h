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

class Thread {
 public:
  using Body = std::function<std::uint32_t(Event& stop)>;

  Thread() = default;
  ~Thread();  // sets the stop event and joins
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the body on a new thread; false when a thread is already running or the
  // system refuses. An exception escaping the body ends the thread with exit code
  // kUncaughtExceptionExit after reporting it on stderr.
  bool start(Body body, std::string name = {});
  void requestStop();
  Event& stopEvent();
  // Waits for the thread to end; true when it ended within the timeout.
  bool join(std::chrono::milliseconds timeout = kInfinite);
  bool joinable() const;
  bool running() const;
  // The body's result once ended.
  std::optional<std::uint32_t> exitCode() const;
  long id() const;  // kernel thread id, 0 before start
  // Best effort: a refusal by the system is not an error.
  void setPriority(ThreadPriority p);

  static constexpr std::uint32_t kStillActive = 259;
  static constexpr std::uint32_t kUncaughtExceptionExit = 0xE0000001u;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Best-effort priority of the calling thread.
void setCurrentThreadPriority(ThreadPriority p);

}  // namespace platform
