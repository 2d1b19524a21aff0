#pragma once
// A service in the foreground, in place of the service control manager: the program runs
// its work on the thread that calls it (systemd keeps it alive), and control codes reach
// its handler from signals (SIGTERM and SIGINT: stop, 1; SIGHUP: 158, reopen the log) and
// from the service's control socket in the runtime folder, which sendControl() writes to
// (`brokla --control CODE`). The handler runs on the host's threads, one code at a time.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform::service {

inline constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr std::uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr std::uint32_t SERVICE_CONTROL_SHUTDOWN = 5;
// The code SIGHUP stands for.
inline constexpr std::uint32_t kControlReopenLog = 158;

// Service states (the usual numbers).
enum class State : std::uint32_t { stopped = 1, startPending = 2, stopPending = 3, running = 4 };

using Handler = std::function<void(std::uint32_t code)>;
// Where the host reports what it did on its own (a dropped connection), in words.
using LogSink = std::function<void(const std::string& text)>;

// How long a connection to the control socket may stay without sending a code before it
// is dropped: silent connections would otherwise hold every channel and lock out control.
inline constexpr std::chrono::milliseconds kControlSilenceLimit{5000};

// The local pipe name of a service's control socket: "<name in lower case>.control".
std::string controlPipeName(std::string_view serviceName);

class ServiceHost {
 public:
  explicit ServiceHost(std::string name);
  ~ServiceHost();  // stop()
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // Blocks SIGTERM, SIGINT and SIGHUP in the calling thread. Call it first in main(),
  // before any thread starts, so that every thread inherits the mask and the signals
  // reach the host's signal thread only.
  static void blockControlSignals();

  // Starts taking control codes: the signal thread (when the signals are blocked in the
  // calling thread) and the control socket. False when the control socket cannot be
  // served; error() is EADDRINUSE when another instance of the service runs. `log`, if
  // given, hears of connections dropped for silence.
  [[nodiscard]] bool start(Handler handler, LogSink log = {});
  // Stops taking control codes, waiting for a handler that is running. From inside the
  // handler it only asks the threads to end; a later stop() (or the destructor) joins.
  void stop();
  int error() const;

  // Runs the handler for a code, as a signal or the control socket would.
  void control(std::uint32_t code);

  // The state reported to sendControl() callers and to systemd (READY=1 on the first
  // running, STOPPING=1 on stop pending). Starts as startPending.
  void reportStatus(State state);
  State status() const;
  // Control codes handled so far.
  int controlsHandled() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Sends a control code to a running service and waits until its handler has run.
// Returns the state the service reports afterwards; nullopt when it does not run or did
// not answer within the time-out.
[[nodiscard]] std::optional<State> sendControl(std::string_view serviceName, std::uint32_t code,
                                               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Tells systemd (through $NOTIFY_SOCKET) "READY=1", "STOPPING=1", "STATUS=..." ...;
// false when no supervisor listens.
[[nodiscard]] bool notifySupervisor(std::string_view state);

}  // namespace platform::service
