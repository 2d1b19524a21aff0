#include "platform/localpipe.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/clock.h"

namespace platform::localpipe {

namespace {

constexpr std::chrono::milliseconds kSlice{20};

bool isInfinite(std::chrono::milliseconds t) { return t < std::chrono::milliseconds::zero(); }

SteadyTime deadlineFor(std::chrono::milliseconds timeout) {
  return isInfinite(timeout) ? SteadyTime::max() : clock().steadyNow() + timeout;
}

// Real milliseconds for one poll towards `deadline` (a time-out on platform::clock(),
// which tests move at will, so it is looked at again every slice); -1 without deadline.
int sliceTowards(SteadyTime deadline) {
  if (deadline == SteadyTime::max()) return -1;
  const SteadyTime now = clock().steadyNow();
  if (now >= deadline) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  return static_cast<int>(std::min(left, kSlice).count());
}

bool passed(SteadyTime deadline) { return deadline != SteadyTime::max() && clock().steadyNow() >= deadline; }

// 1 ready, 0 time-out, -1 failure (errno).
int waitFd(int fd, short events, SteadyTime deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    const bool last = passed(deadline);
    const int r = ::poll(&p, 1, sliceTowards(deadline));
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) return -1;
    if (last) return 0;
  }
}

bool makeDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return false;
  if (!makeDirectory(path.substr(0, slash), 0755)) return false;
  return ::mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

bool fillAddress(const std::string& path, sockaddr_un& a) {
  a = {};
  a.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof a.sun_path) return false;
  std::memcpy(a.sun_path, path.data(), path.size());
  return true;
}

}  // namespace

namespace {
// getpid() is a system call each time; the link names its process with every command.
// A forked child forgets the parent's id.
std::atomic<int> g_processId{0};
void forgetProcessId() { g_processId.store(0, std::memory_order_relaxed); }
}  // namespace

int currentProcessId() {
  int pid = g_processId.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const bool registered = ::pthread_atfork(nullptr, nullptr, forgetProcessId) == 0;
    pid = static_cast<int>(::getpid());
    if (registered) g_processId.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

std::string runtimeDirectory(std::string* problem) {
  std::string dir;
  const char* chosenBy = "ZEVA_RUNTIME_DIR";
  if (const char* v = std::getenv("ZEVA_RUNTIME_DIR"); v && *v) {
    dir = v;
  } else if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) {
    dir = std::string(x) + "/zevazodizo";
    chosenBy = "XDG_RUNTIME_DIR";
  } else {
    dir = "/tmp/zevazodizo-" + std::to_string(::geteuid());
    chosenBy = nullptr;
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const auto refuse = [&](const std::string& why, int error) {
    if (problem) {
      *problem = "the runtime folder " + dir + (chosenBy ? std::string(" (from ") + chosenBy + ")" : "") +
                 " " + why + "; set ZEVA_RUNTIME_DIR to a private folder of this user to use another";
    }
    errno = error;
    return std::string();
  };
  if (!makeDirectory(dir, 0700)) {
    const int error = errno;
    return refuse("cannot be created: " + std::string(std::strerror(error)), error);
  }
  // Another user's folder, or one others may enter, could hand our pipes to a stranger.
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    const int error = errno;
    return refuse("cannot be examined: " + std::string(std::strerror(error)), error);
  }
  if (!S_ISDIR(st.st_mode)) return refuse("is not a folder", EACCES);
  if (st.st_uid != ::geteuid())
    return refuse("belongs to another user (uid " + std::to_string(st.st_uid) + ")", EACCES);
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return refuse(std::string("is open to other users (mode ") + mode +
                      ", 0700 is required): run 'chmod 700 " + dir +
                      "' or remove it so that it is made afresh",
                  EACCES);
  }
  if (problem) problem->clear();
  return dir;
}

std::string pipePath(std::string_view name) {
  constexpr std::string_view kPrefix = "\\\\.\\pipe\\";  // \\.\pipe\ as written in the system
  if (name.substr(0, kPrefix.size()) == kPrefix) name.remove_prefix(kPrefix.size());
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\\\0", 3)) != name.npos) {
    errno = EINVAL;
    return {};
  }
  const std::string dir = runtimeDirectory();
  if (dir.empty()) return {};
  std::string path = dir + "/" + std::string(name);
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    errno = ENAMETOOLONG;
    return {};
  }
  return path;
}

// ---------------------------------------------------------------------------------------
// Pipe

Pipe::~Pipe() { close(); }

Pipe Pipe::adopt(int fd) {
  // Like the ends this module makes: non-blocking (the time-outs wait in poll), not inherited.
  if (fd >= 0) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return Pipe(fd);
}

Pipe::Pipe(Pipe&& other) noexcept : fd_(other.fd_), error_(other.error_) { other.fd_ = -1; }

Pipe& Pipe::operator=(Pipe&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    error_ = other.error_;
    other.fd_ = -1;
  }
  return *this;
}

void Pipe::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Pipe Pipe::connect(std::string_view name, std::chrono::milliseconds timeout,
                   std::chrono::milliseconds retry) {
  Pipe result;
  const std::string path = pipePath(name);
  sockaddr_un address{};
  if (!fillAddress(path, address)) {
    result.error_ = errno ? errno : EINVAL;
    return result;
  }
  const SteadyTime deadline = deadlineFor(timeout);
  if (retry <= std::chrono::milliseconds::zero()) retry = std::chrono::milliseconds(1);
  for (;;) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      result.error_ = errno;
      return result;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      result.fd_ = fd;
      result.error_ = 0;
      return result;
    }
    result.error_ = errno;
    ::close(fd);
    // Nobody serves the name yet, or its queue is full: worth another try.
    const bool transient = result.error_ == ENOENT || result.error_ == ECONNREFUSED ||
                           result.error_ == EAGAIN || result.error_ == EINTR;
    if (!transient || passed(deadline) || timeout == std::chrono::milliseconds::zero()) return result;
    const auto left = deadline == SteadyTime::max()
                          ? retry
                          : std::chrono::ceil<std::chrono::milliseconds>(deadline - clock().steadyNow());
    clock().sleepFor(std::min(retry, std::max(left, std::chrono::milliseconds(1))));
  }
}

bool Pipe::write(std::span<const std::uint8_t> message, std::chrono::milliseconds timeout) {
  if (fd_ < 0) return error_ = EBADF, false;
  if (message.empty()) return error_ = EINVAL, false;
  const SteadyTime deadline = deadlineFor(timeout);
  for (;;) {
    const ssize_t n = ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_EOR);
    if (n >= 0) {
      if (static_cast<std::size_t>(n) == message.size()) return true;
      return error_ = EIO, false;  // a message socket sends all or nothing
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return error_ = errno, false;
    const int w = waitFd(fd_, POLLOUT, deadline);
    if (w == 0) return error_ = ETIMEDOUT, false;
    if (w < 0) return error_ = errno, false;
  }
}

ReadResult Pipe::read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
  ReadResult result;
  if (fd_ < 0) {
    error_ = EBADF;
    return result;
  }
  const SteadyTime deadline = deadlineFor(timeout);
  for (;;) {
    // MSG_TRUNC: the message's real length, even when the buffer is shorter.
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_TRUNC);
    if (n > 0) {
      const auto length = static_cast<std::size_t>(n);
      result.status = ReadStatus::ok;
      result.size = std::min(length, buffer.size());
      result.truncated = length > buffer.size();
      return result;
    }
    if (n == 0) {  // no empty messages are ever written: this is the other end closing
      error_ = EPIPE;
      result.status = ReadStatus::closed;
      return result;
    }
    if (errno == EINTR) continue;
    if (errno == ECONNRESET || errno == EPIPE) {
      error_ = errno;
      result.status = ReadStatus::closed;
      return result;
    }
    if (errno != EAGAIN) {
      error_ = errno;
      return result;
    }
    const int w = waitFd(fd_, POLLIN, deadline);
    if (w == 0) {
      error_ = ETIMEDOUT;
      result.status = ReadStatus::timedOut;
      return result;
    }
    if (w < 0) {
      error_ = errno;
      return result;
    }
  }
}

std::optional<std::size_t> Pipe::peek() {
  if (fd_ < 0) {
    error_ = EBADF;
    return std::nullopt;
  }
  std::uint8_t byte = 0;
  for (;;) {
    const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) {
      error_ = EPIPE;
      return std::nullopt;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    error_ = errno;
    return std::nullopt;
  }
}

std::optional<std::size_t> Pipe::peekWithin(std::chrono::milliseconds grace) {
  const auto waiting = peek();
  if (!waiting || *waiting > 0) return waiting;
  pollfd p{fd_, POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + grace;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r > 0) break;
    if (r < 0 && errno != EINTR) {
      error_ = errno;
      return std::nullopt;
    }
  }
  return peek();
}

namespace {
std::optional<PeerCredentials> credentialsOf(int fd) {
  ucred c{};
  socklen_t len = sizeof c;
  if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &c, &len) != 0) return std::nullopt;
  return PeerCredentials{static_cast<int>(c.pid), static_cast<unsigned>(c.uid), static_cast<unsigned>(c.gid)};
}
}  // namespace

std::optional<PeerCredentials> Pipe::peer() const { return credentialsOf(fd_); }

// ---------------------------------------------------------------------------------------
// PipeServer

struct PipeServer::State {
  struct Listener {
    int fd = -1;
    std::string path;
    ino_t inode = 0;
  };
  struct Client {
    int fd = -1;
    int listener = -1;
  };
  mutable std::mutex mutex;
  std::vector<Listener> listeners;
  std::vector<Client> clients;  // a slot per client number; fd -1 when free
  int refused = 0;
  int wakeFd = -1;
  std::size_t turn = 0;  // where the next wait starts looking, so every client gets its turn
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kMaxMessage);
};

PipeServer::PipeServer(int maxClients)
    : state_(std::make_unique<State>()), maxClients_(std::max(maxClients, 0)) {
  state_->clients.resize(static_cast<std::size_t>(maxClients_));
  state_->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

PipeServer::~PipeServer() {
  for (auto& c : state_->clients)
    if (c.fd >= 0) ::close(c.fd);
  for (auto& l : state_->listeners) {
    // Remove the socket file only while it is still ours (a successor may have replaced it).
    struct stat st {};
    if (::lstat(l.path.c_str(), &st) == 0 && st.st_ino == l.inode) ::unlink(l.path.c_str());
    ::close(l.fd);
  }
  if (state_->wakeFd >= 0) ::close(state_->wakeFd);
}

int PipeServer::listen(std::string_view name) {
  const std::string path = pipePath(name);
  sockaddr_un address{};
  if (!fillAddress(path, address)) return error_ = errno ? errno : EINVAL, -1;
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return error_ = errno, -1;
  auto bindIt = [&] { return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0; };
  if (!bindIt()) {
    if (errno != EADDRINUSE) {
      error_ = errno;
      ::close(fd);
      return -1;
    }
    // The name is taken: by a live server (keep off), or by the file of one that is gone.
    const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool live =
        probe >= 0 && (::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                       errno == EAGAIN);
    if (probe >= 0) ::close(probe);
    struct stat st {};
    const bool present = !live && ::lstat(path.c_str(), &st) == 0;
    if (present && !S_ISSOCK(st.st_mode)) {
      // Something that is no pipe has the name: left alone, and said as such.
      error_ = EEXIST;
      ::close(fd);
      return -1;
    }
    if (live || !present || ::unlink(path.c_str()) != 0 || !bindIt()) {
      error_ = live ? EADDRINUSE : errno;
      ::close(fd);
      return -1;
    }
  }
  if (::listen(fd, 16) != 0) {
    error_ = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return -1;
  }
  struct stat st {};
  ::lstat(path.c_str(), &st);
  std::lock_guard lock(state_->mutex);
  state_->listeners.push_back({fd, path, st.st_ino});
  return static_cast<int>(state_->listeners.size()) - 1;
}

void PipeServer::wake() {
  const std::uint64_t one = 1;
  if (state_->wakeFd >= 0) (void)!::write(state_->wakeFd, &one, sizeof one);
}

PipeServer::Activity PipeServer::wait(std::chrono::milliseconds timeout) {
  using Kind = Activity::Kind;
  Activity activity;
  State& s = *state_;
  const SteadyTime deadline = deadlineFor(timeout);
  // What each polled descriptor is: -1 the wake event, listener i as -(i + 2), client n as n.
  std::vector<pollfd> fds;
  std::vector<int> roles;
  for (;;) {
    fds.clear();
    roles.clear();
    {
      std::lock_guard lock(s.mutex);
      fds.push_back({s.wakeFd, POLLIN, 0});
      roles.push_back(-1);
      for (std::size_t i = 0; i < s.listeners.size(); ++i) {
        fds.push_back({s.listeners[i].fd, POLLIN, 0});
        roles.push_back(-static_cast<int>(i) - 2);
      }
      for (std::size_t n = 0; n < s.clients.size(); ++n) {
        if (s.clients[n].fd < 0) continue;
        fds.push_back({s.clients[n].fd, POLLIN, 0});
        roles.push_back(static_cast<int>(n));
      }
    }
    const bool last = passed(deadline);
    const int r = ::poll(fds.data(), fds.size(), sliceTowards(deadline));
    if (r < 0 && errno != EINTR) {
      error_ = errno;
      activity.kind = Kind::failed;
      return activity;
    }
    if (r > 0) {
      if (fds[0].revents) {
        std::uint64_t value = 0;
        (void)!::read(s.wakeFd, &value, sizeof value);
        activity.kind = Kind::woken;
        return activity;
      }
      const std::size_t count = fds.size() - 1;
      for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = 1 + (s.turn + k) % count;
        if (!fds[i].revents) continue;
        const int role = roles[i];
        if (role < -1) {
          const int listener = -role - 2;
          const int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (fd < 0) continue;  // the client gave up already, or nothing was there
          std::lock_guard lock(s.mutex);
          auto slot = std::find_if(s.clients.begin(), s.clients.end(),
                                   [](const State::Client& c) { return c.fd < 0; });
          s.turn = (s.turn + k + 1) % count;
          activity.listener = listener;
          if (slot == s.clients.end()) {
            ::close(fd);
            ++s.refused;
            activity.kind = Kind::refused;
            return activity;
          }
          slot->fd = fd;
          slot->listener = listener;
          activity.kind = Kind::connected;
          activity.client = static_cast<int>(slot - s.clients.begin());
          return activity;
        }
        const int client = role;
        const ssize_t n = ::recv(fds[i].fd, s.buffer.data(), s.buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        s.turn = (s.turn + k + 1) % count;
        activity.client = client;
        activity.listener = listenerOf(client);
        if (n > 0) {
          const auto length = static_cast<std::size_t>(n);
          activity.kind = Kind::message;
          activity.truncated = length > s.buffer.size();
          activity.message.assign(s.buffer.begin(), s.buffer.begin() + std::min(length, s.buffer.size()));
          return activity;
        }
        disconnect(client);
        activity.kind = Kind::closed;
        return activity;
      }
    }
    if (last) {
      activity.kind = Kind::timedOut;
      return activity;
    }
  }
}

bool PipeServer::send(int client, std::span<const std::uint8_t> message) {
  return send(client, message, std::chrono::seconds(5));
}

bool PipeServer::send(int client, std::span<const std::uint8_t> message, std::chrono::milliseconds timeout) {
  if (message.empty()) return error_ = EINVAL, false;
  std::lock_guard lock(state_->mutex);
  if (client < 0 || client >= maxClients_ || state_->clients[client].fd < 0) return error_ = EBADF, false;
  const int fd = state_->clients[client].fd;
  // A client that stops reading must not stall the server for ever.
  const SteadyTime deadline = clock().steadyNow() + std::max(timeout, std::chrono::milliseconds::zero());
  for (;;) {
    const ssize_t n = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_EOR);
    if (n >= 0) return static_cast<std::size_t>(n) == message.size() ? true : (error_ = EIO, false);
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return error_ = errno, false;
    const int w = waitFd(fd, POLLOUT, deadline);
    if (w == 0) return error_ = ETIMEDOUT, false;
    if (w < 0) return error_ = errno, false;
  }
}

void PipeServer::disconnect(int client) {
  std::lock_guard lock(state_->mutex);
  if (client < 0 || client >= maxClients_) return;
  auto& c = state_->clients[client];
  if (c.fd >= 0) ::close(c.fd);
  c = {};
}

bool PipeServer::isConnected(int client) const {
  std::lock_guard lock(state_->mutex);
  return client >= 0 && client < maxClients_ && state_->clients[client].fd >= 0;
}

int PipeServer::listenerOf(int client) const {
  std::lock_guard lock(state_->mutex);
  if (client < 0 || client >= maxClients_) return -1;
  return state_->clients[client].listener;
}

std::optional<PeerCredentials> PipeServer::peer(int client) const {
  std::lock_guard lock(state_->mutex);
  if (client < 0 || client >= maxClients_) return std::nullopt;
  return credentialsOf(state_->clients[client].fd);
}

int PipeServer::clientCount() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(std::count_if(state_->clients.begin(), state_->clients.end(),
                                        [](const State::Client& c) { return c.fd >= 0; }));
}

int PipeServer::refusedCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->refused;
}

}  // namespace platform::localpipe
