#pragma once
// Local message channels in place of named pipes: AF_UNIX SOCK_SEQPACKET sockets, so
// message boundaries are kept the way message-mode pipes keep them. They live in the
// runtime folder ($ZEVA_RUNTIME_DIR, else $XDG_RUNTIME_DIR/zevazodizo, else
// /tmp/zevazodizo-<uid>, created with mode 0700); the pipe "\\.\pipe\appmon" is the
// socket <folder>/appmon. Time-outs run on platform::clock().
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync.h"

namespace platform::localpipe {

// The runtime folder, created (mode 0700) when missing; empty when it cannot be made
// or is not a folder owned by this user with no access for others. Every program gets
// the folder here and nowhere else, so that none makes it with a looser mode. When it is
// refused, `problem` (if given) receives why and what fixes it, in words for the user.
[[nodiscard]] std::string runtimeDirectory(std::string* problem = nullptr);
// The socket path of a pipe: "\\.\pipe\appmon", "\\\\.\\pipe\\appmon" and "appmon"
// all give <runtime folder>/appmon. Empty for a name that is not a plain file name
// (empty, ".", "..", with '/' or NUL) or longer than a socket path may be.
std::string pipePath(std::string_view name);

// This process's id: what a client names itself by, and what the server's peer
// credentials show for it.
int currentProcessId();

struct PeerCredentials {
  int pid = 0;
  unsigned uid = 0;
  unsigned gid = 0;
};

enum class ReadStatus { ok, timedOut, closed, failed };

struct ReadResult {
  ReadStatus status = ReadStatus::failed;
  std::size_t size = 0;    // bytes placed in the buffer
  bool truncated = false;  // the message was longer than the buffer; the rest is gone
  bool ok() const { return status == ReadStatus::ok; }
};

// One connected end of a message channel (move-only; closed by its destructor). Meant
// for one thread at a time, or one reader and one writer.
class Pipe {
 public:
  Pipe() = default;
  ~Pipe();
  Pipe(Pipe&& other) noexcept;
  Pipe& operator=(Pipe&& other) noexcept;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // Opens the client end of pipe `name`, trying again every `retry` while nobody serves
  // it, until `timeout` has passed (then not isOpen(), and error() holds the last
  // connect error: ENOENT, ECONNREFUSED ...). A time-out of 0 tries once. The pauses
  // between tries are sleeps on platform::clock().
  [[nodiscard]] static Pipe connect(std::string_view name, std::chrono::milliseconds timeout,
                                    std::chrono::milliseconds retry = std::chrono::milliseconds(20));

  // Takes over a connected socket of this kind (one another process connected and
  // handed over, as tests do to appear as several processes).
  [[nodiscard]] static Pipe adopt(int fd);

  bool isOpen() const { return fd_ >= 0; }
  void close();
  // errno of the last failure of this end.
  int error() const { return error_; }

  // Sends one whole message (1 byte at least); false when it could not go out whole
  // within the time-out, or the other end is gone.
  [[nodiscard]] bool write(std::span<const std::uint8_t> message,
                           std::chrono::milliseconds timeout = kInfinite);
  // Receives one message into `buffer`; a longer message is cut (truncated) and its rest
  // dropped, as reading a message pipe with a short buffer and giving up would.
  [[nodiscard]] ReadResult read(std::span<std::uint8_t> buffer,
                                std::chrono::milliseconds timeout = kInfinite);
  // Without blocking: the size of the next message (0: none waiting); nullopt when the
  // other end closed with nothing left to read, or on failure.
  [[nodiscard]] std::optional<std::size_t> peek();
  // As peek(), but first gives the other end up to `grace` of real time (not on
  // platform::clock(): a moment for a peer's reply or close, never a time-out of its own
  // that tests would have to move) to send a message or close.
  [[nodiscard]] std::optional<std::size_t> peekWithin(std::chrono::milliseconds grace);
  // Who is at the other end.
  std::optional<PeerCredentials> peer() const;
  int fd() const { return fd_; }

 private:
  friend class PipeServer;
  explicit Pipe(int fd) : fd_(fd) {}
  int fd_ = -1;
  int error_ = 0;
};

// The serving side: listens on one or more pipe names and keeps up to `maxClients`
// connected clients. A client beyond the limit is accepted and closed at once (it sees
// the pipe end), and the server goes on. Driven by one thread through wait(); wake()
// and send() may be called from any thread.
class PipeServer {
 public:
  explicit PipeServer(int maxClients);
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Serves pipe `name`: returns its listener number (0, 1, ...), or -1 on failure
  // (error() tells why; EADDRINUSE when another server serves it, EEXIST when a file that
  // is not a socket has the name). A socket file left by a server that is gone is replaced.
  [[nodiscard]] int listen(std::string_view name);
  int error() const { return error_; }

  struct Activity {
    enum class Kind {
      connected,  // a new client (client, listener)
      message,    // a message from a client (client, bytes)
      closed,     // a client's end closed; it is removed (client)
      refused,    // a client beyond the limit was turned away (listener)
      timedOut,
      woken,   // wake() was called
      failed,  // the wait itself failed (error())
    };
    Kind kind = Kind::timedOut;
    int client = -1;
    int listener = -1;
    std::vector<std::uint8_t> message;
    bool truncated = false;  // the message was longer than maxMessage and was cut
  };
  // The next activity; clients are served in turn so that none starves another.
  [[nodiscard]] Activity wait(std::chrono::milliseconds timeout = kInfinite);
  // Ends the current or next wait() with `woken`.
  void wake();

  // Sends one whole message to a client, waiting at most 5 s (or `timeout`; 0 only
  // tries) for room in a client's full queue: a client that stops reading must not stall
  // the server. False (error() tells why: ETIMEDOUT, EBADF ...) when it did not go out.
  [[nodiscard]] bool send(int client, std::span<const std::uint8_t> message);
  [[nodiscard]] bool send(int client, std::span<const std::uint8_t> message,
                          std::chrono::milliseconds timeout);
  // Closes a client's end now (from the thread that drives wait()).
  void disconnect(int client);
  bool isConnected(int client) const;
  int listenerOf(int client) const;
  std::optional<PeerCredentials> peer(int client) const;
  int clientCount() const;
  int refusedCount() const;
  int maxClients() const { return maxClients_; }

  // Longest message wait() takes whole.
  static constexpr std::size_t kMaxMessage = 65536;

 private:
  struct State;
  std::unique_ptr<State> state_;
  int maxClients_;
  int error_ = 0;
};

}  // namespace platform::localpipe
