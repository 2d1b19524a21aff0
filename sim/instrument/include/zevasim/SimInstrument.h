#pragma once
// A simulated instrument for tests and demos: the TCP command service of the scanner's
// controller. It accepts one connection at a time on a loopback port, reads commands in
// the 16-byte big-endian frame, answers each with one framed reply (or several, all but
// the last flagged 0x02) made of "%02X" status, optionally "," and the rest, and "\n".
// It logs every line it receives and can be told to misbehave (fault injection).
//
// Commands are served by handlers registered per command word; a command family (a
// class of related commands with their state) registers its words at once. The core
// family ("peek", "poke", "boot") is always there.
//
// Loopback only: it never binds or sends beyond 127.0.0.0/8. Time (delays, the reboot)
// runs on platform::clock().
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zevasim {

// One received command.
struct Request {
  std::array<std::uint8_t, 16> rawHeader{};
  std::uint32_t instrId = 0;
  std::uint8_t flags = 0;
  std::uint8_t cmdId = 0;
  std::uint16_t timeoutSec = 0;
  std::uint32_t reserved = 0;
  std::vector<std::uint8_t> payload;  // as it arrived
  std::string line;                   // the payload without its line end
  std::string word;                   // the command word
  std::vector<std::string> args;      // the blank-separated arguments
};

struct Reply {
  int status = 0;
  std::optional<std::string> rest;  // sent after a comma
  // Several responses: each string is one response's payload, sent as it is; all but
  // the last are flagged "more follow". When empty, the one reply of status and rest.
  std::vector<std::string> frames;
  std::vector<std::uint8_t> rawAfter;  // unframed bytes after the reply (scan data)
  bool reboot = false;                 // restart after this reply

  static Reply ok(std::optional<std::string> rest = std::nullopt) {
    return {0, std::move(rest), {}, {}, false};
  }
  static Reply error(int status) { return {status, std::nullopt, {}, {}, false}; }
  // The payloads as they go out.
  std::vector<std::string> payloads() const;
};

// Controller status for a command word nobody serves ("Unknown runtime command").
inline constexpr int kStatusUnknownCommand = 0x17;

struct Fault {
  enum class Kind {
    errorStatus,    // reply with status `value` instead
    delay,          // wait `value` ms (on the clock) before replying
    closeMidReply,  // send the header and part of the payload, then close the connection
    staleBytes,     // after the reply, send `value` junk bytes (left over, as from an aborted command)
    bogusLength,    // reply with nothing but a header whose length field is `value`
    splitReply,     // send the reply in pieces of `value` bytes
    reboot,         // reboot after the reply; `value` 1: come back on a new port
  };
  Kind kind = Kind::errorStatus;
  long value = 0;
  int times = 1;  // commands it hits; -1 every one
};

// "error", "delay", "close", "stale", "bogus-length", "split", "reboot".
std::optional<Fault::Kind> faultKindFromName(const std::string& name);

class Instrument;

// A group of related commands and their state.
class CommandFamily {
 public:
  virtual ~CommandFamily() = default;
  virtual void registerCommands(Instrument& instrument) = 0;
};

struct Options {
  std::uint32_t address = 0x7F000001;  // must be in 127.0.0.0/8
  std::uint16_t port = 0;              // 0: any free port
  std::string serialNumber = "ZS000001";
  std::uint8_t type = 1;
  std::string logPath;  // every received line is also appended to this file
  std::chrono::milliseconds rebootTime{0};
  // Received lines and requests kept for lines() and requests(): the last this many, so
  // that long runs and load tests stay flat. The counts and waits go on past it.
  std::size_t requestLogSize = 10000;
};

class Instrument {
 public:
  using Handler = std::function<Reply(const Request&)>;
  using RebootListener = std::function<void(Instrument&)>;

  explicit Instrument(Options options = {});
  ~Instrument();
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  // Binds and starts serving; false (and why on stderr) when the port cannot be had or
  // the address is not loopback.
  bool start();
  void stop();
  std::uint16_t port() const;
  std::uint32_t address() const { return options_.address; }
  const Options& options() const { return options_; }

  void setHandler(const std::string& word, Handler handler);
  void addFamily(std::shared_ptr<CommandFamily> family);
  // `word` "*" hits every command. Faults of one word apply in the order injected.
  void injectFault(const std::string& word, Fault fault);
  void clearFaults();
  // Called when the instrument is back from a reboot (on its new port, if it moved).
  void setRebootListener(RebootListener listener);

  // Memory of the core family ("peek ADDR", "poke ADDR VALUE", hexadecimal).
  std::uint8_t memory(std::uint32_t address) const;
  void setMemory(std::uint32_t address, std::uint8_t value);

  // What happened, for tests: lines() and requests() hold the last
  // Options::requestLogSize; linesReceived() and waitForLines() count every line. The
  // waits are bounded in real time. A frame the simulator
  // rejects (length field below 16 or above kMaxCommandFrame) ends the connection and
  // shows in lines() as "<frame rejected: length N>".
  std::vector<std::string> lines() const;
  std::vector<Request> requests() const;
  std::size_t linesReceived() const;
  int connections() const;
  int repliesSent() const;
  int reboots() const;
  bool waitForLines(std::size_t n, std::chrono::milliseconds realTimeout = std::chrono::seconds(10)) const;
  bool waitForConnections(int n, std::chrono::milliseconds realTimeout = std::chrono::seconds(10)) const;
  bool waitForReplies(int n, std::chrono::milliseconds realTimeout = std::chrono::seconds(10)) const;
  bool waitForReboots(int n, std::chrono::milliseconds realTimeout = std::chrono::seconds(10)) const;

  // Longest command frame taken; a longer one ends the connection.
  static constexpr std::uint32_t kMaxCommandFrame = 1u << 20;

 private:
  struct State;
  Options options_;
  std::unique_ptr<State> state_;
};

}  // namespace zevasim
