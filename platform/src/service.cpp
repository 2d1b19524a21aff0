#include "platform/service.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/localpipe.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace platform::service {

namespace {

sigset_t controlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

std::uint32_t codeOfSignal(int signalNumber) {
  return signalNumber == SIGHUP ? kControlReopenLog : SERVICE_CONTROL_STOP;
}

void putU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t getU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

std::string controlPipeName(std::string_view serviceName) {
  return platform::foldedAscii(serviceName) + ".control";
}

struct ServiceHost::Impl {
  std::string name;
  Handler handler;
  LogSink log;
  std::recursive_mutex handlerMutex;  // one code at a time
  std::atomic<State> state{State::startPending};
  std::atomic<bool> notifiedReady{false};
  std::atomic<int> handled{0};
  int error = 0;

  std::unique_ptr<localpipe::PipeServer> control;
  std::thread controlThread;
  std::atomic<bool> stopping{false};

  int signalFd = -1;
  int wakeFd = -1;
  std::thread signalThread;

  void run(std::uint32_t code) {
    std::lock_guard lock(handlerMutex);
    if (handler) handler(code);
    ++handled;
  }

  void serveControl() {
    using Kind = localpipe::PipeServer::Activity::Kind;
    // Per client: until when it may stay silent (re-armed by each code it sends).
    std::vector<std::optional<SteadyTime>> quietUntil(static_cast<std::size_t>(control->maxClients()));
    while (!stopping) {
      const SteadyTime now = steadyNow();
      std::optional<SteadyTime> first;
      for (std::size_t i = 0; i < quietUntil.size(); ++i) {
        if (!quietUntil[i]) continue;
        if (*quietUntil[i] <= now) {
          quietUntil[i].reset();
          control->disconnect(static_cast<int>(i));
          if (log)
            log("Dropped a connection to the control socket " + localpipe::pipePath(controlPipeName(name)) +
                ": no control code within " +
                std::to_string(
                    std::chrono::duration_cast<std::chrono::seconds>(kControlSilenceLimit).count()) +
                " s.");
          continue;
        }
        if (!first || *quietUntil[i] < *first) first = quietUntil[i];
      }
      const auto timeout = first ? std::max(std::chrono::ceil<std::chrono::milliseconds>(*first - now),
                                            std::chrono::milliseconds(0))
                                 : kInfinite;
      auto a = control->wait(timeout);
      if (a.kind == Kind::failed) return;
      if (a.kind == Kind::connected)
        quietUntil[static_cast<std::size_t>(a.client)] = steadyNow() + kControlSilenceLimit;
      if (a.kind == Kind::closed) quietUntil[static_cast<std::size_t>(a.client)].reset();
      if (a.kind != Kind::message) continue;
      // Only this user (or root) may control the service; the folder is private anyway.
      const auto peer = control->peer(a.client);
      if (!peer || (peer->uid != ::geteuid() && peer->uid != 0) || a.message.size() != 4) {
        quietUntil[static_cast<std::size_t>(a.client)].reset();
        control->disconnect(a.client);
        continue;
      }
      run(getU32(a.message.data()));
      std::uint8_t reply[4];
      putU32(reply, static_cast<std::uint32_t>(state.load()));
      // A client gone or not reading misses only its own reply.
      (void)control->send(a.client, reply, std::chrono::milliseconds(1000));
      if (control->isConnected(a.client))
        quietUntil[static_cast<std::size_t>(a.client)] = steadyNow() + kControlSilenceLimit;
    }
  }

  void serveSignals() {
    for (;;) {
      pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      const int r = ::poll(fds, 2, -1);
      if (r < 0 && errno != EINTR) return;
      if (stopping) return;
      if (r <= 0 || !(fds[0].revents & POLLIN)) continue;
      signalfd_siginfo info{};
      if (::read(signalFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
      run(codeOfSignal(static_cast<int>(info.ssi_signo)));
    }
  }
};

ServiceHost::ServiceHost(std::string name) : impl_(std::make_unique<Impl>()) {
  impl_->name = std::move(name);
}

ServiceHost::~ServiceHost() { stop(); }

void ServiceHost::blockControlSignals() {
  const sigset_t set = controlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool ServiceHost::start(Handler handler, LogSink log) {
  Impl& s = *impl_;
  s.handler = std::move(handler);
  s.log = std::move(log);
  s.stopping = false;

  s.control = std::make_unique<localpipe::PipeServer>(4);
  if (s.control->listen(controlPipeName(s.name)) < 0) {
    s.error = s.control->error();
    s.control.reset();
    return false;
  }
  s.controlThread = std::thread([&s] { s.serveControl(); });

  // Signals are taken only when they are blocked here (and so, by inheritance, in every
  // thread started from now on); otherwise their default action stays.
  sigset_t current;
  pthread_sigmask(SIG_SETMASK, nullptr, &current);
  if (sigismember(&current, SIGTERM) == 1 && sigismember(&current, SIGHUP) == 1) {
    const sigset_t set = controlSignals();
    s.signalFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    s.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.signalFd >= 0 && s.wakeFd >= 0) s.signalThread = std::thread([&s] { s.serveSignals(); });
  }
  return true;
}

void ServiceHost::stop() {
  Impl& s = *impl_;
  s.stopping = true;
  if (s.control) s.control->wake();
  if (s.wakeFd >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(s.wakeFd, &one, sizeof one);
  }
  // From a handler: the threads end on their own; the owner's stop() joins them.
  const auto self = std::this_thread::get_id();
  if (s.controlThread.get_id() == self || s.signalThread.get_id() == self) return;
  if (s.controlThread.joinable()) s.controlThread.join();
  if (s.signalThread.joinable()) s.signalThread.join();
  s.control.reset();
  if (s.signalFd >= 0) ::close(s.signalFd);
  if (s.wakeFd >= 0) ::close(s.wakeFd);
  s.signalFd = s.wakeFd = -1;
}

int ServiceHost::error() const { return impl_->error; }

void ServiceHost::control(std::uint32_t code) { impl_->run(code); }

void ServiceHost::reportStatus(State state) {
  Impl& s = *impl_;
  const State previous = s.state.exchange(state);
  // Best effort: false only means no supervisor listens (run from a shell or a test).
  if (state == State::running && !s.notifiedReady.exchange(true)) (void)notifySupervisor("READY=1");
  if (state == State::stopPending && previous != State::stopPending) (void)notifySupervisor("STOPPING=1");
}

State ServiceHost::status() const { return impl_->state.load(); }

int ServiceHost::controlsHandled() const { return impl_->handled.load(); }

std::optional<State> sendControl(std::string_view serviceName, std::uint32_t code,
                                 std::chrono::milliseconds timeout) {
  auto pipe = localpipe::Pipe::connect(controlPipeName(serviceName), std::chrono::milliseconds::zero());
  if (!pipe.isOpen()) return std::nullopt;
  std::uint8_t message[4];
  putU32(message, code);
  if (!pipe.write(message, timeout)) return std::nullopt;
  std::uint8_t reply[8] = {};
  const auto r = pipe.read(reply, timeout);
  if (!r.ok() || r.size != 4) return std::nullopt;
  return static_cast<State>(getU32(reply));
}

bool notifySupervisor(std::string_view state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (!path || !*path || state.empty()) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract name
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  const bool sent =
      ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
               size) == static_cast<ssize_t>(state.size());
  ::close(fd);
  return sent;
}

}  // namespace platform::service
