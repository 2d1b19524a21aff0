#pragma once
// Runs the real `brokla` program for a test: its own ports (a services file of the
// test's), registry, runtime folder and log, loopback only. Applications talk to it over
// the real pipes; simulated instruments over loopback UDP. Every wait is bounded.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "BroklaProtocol/BroklaAppMessage.h"
#include "platform/localpipe.h"
#include "platform/net.h"
#include "platform/process.h"
#include "support/StandIn.h"
#include "testsupport/TestEnv.h"
#include "zevasim/SimUdp.h"

namespace brokla_test {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline constexpr const char* kServiceKey = "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla";

struct LockReply {
  int status = -1;
  int before = -1;
  int after = -1;
  friend bool operator==(const LockReply&, const LockReply&) = default;
  friend std::ostream& operator<<(std::ostream& os, const LockReply& r) {
    return os << "{status " << r.status << ", " << r.before << " -> " << r.after << "}";
  }
};
struct StatusReply {
  int status = -1;
  int comm = -1;
  int laser = -1;
};

// One application: the request pipe and the event pipe, as an application uses them,
// connected by a process of its own (or of another TestApp, for two applications in one
// process).
class TestApp {
 public:
  explicit TestApp(const LogWatch& log, std::shared_ptr<StandInProcess> process = nullptr)
      : log_(log),
        process_(process ? std::move(process) : std::make_shared<StandInProcess>()),
        pid_(process_->pid()) {}
  int pid() const { return pid_; }
  // The process id it states in its hello and events (its own unless told otherwise).
  void statePid(int pid) { pid_ = pid; }
  // Another application in the same process.
  std::unique_ptr<TestApp> twin() const { return std::make_unique<TestApp>(log_, process_); }

  // Hello on "appmon" (answered), then the event pipe and its announcement (waited for
  // in the log, so that events for this application find it).
  bool connect();
  bool connectRequestsOnly();

  std::optional<CBroklaAppMessage> request(const CBroklaAppMessage& m,
                                           std::chrono::milliseconds timeout = kWait);
  std::optional<CBroklaAppMessage> request(int type, const Bytes& data,
                                           std::chrono::milliseconds timeout = kWait);
  bool sendRaw(const Bytes& bytes);
  std::optional<Bytes> readRaw(std::chrono::milliseconds timeout);
  std::vector<brokla::InstrumentEntry> enumerate();
  std::optional<LockReply> lock(std::uint32_t id, int operation);
  std::optional<StatusReply> status(std::uint32_t id, std::chrono::milliseconds timeout = kWait);
  // 54: the eleven values after the id.
  std::optional<int> laserRequest(std::uint32_t id, const std::vector<std::uint32_t>& fields);
  std::optional<int> removeTimers(std::uint32_t id);
  bool postEvent(int type, std::uint32_t value);
  bool postRawEvent(const Bytes& bytes);
  std::optional<CBroklaAppMessage> nextEvent(std::chrono::milliseconds timeout = kWait);
  bool eventWaiting();

  void closeRequests() { app_.close(); }
  void closeEvents() { events_.close(); }
  platform::localpipe::Pipe& requestPipe() { return app_; }
  platform::localpipe::Pipe& eventPipe() { return events_; }

 private:
  const LogWatch& log_;
  std::shared_ptr<StandInProcess> process_;
  int pid_;
  platform::localpipe::Pipe app_;
  platform::localpipe::Pipe events_;
};

class DaemonTest : public testsupport::ZevaTest {
 protected:
  DaemonTest();
  ~DaemonTest() override;
  void TearDown() override;

  // Registry values under the service key (or a sub-key of it).
  void setDword(const std::string& name, std::uint32_t value, const std::string& subKey = {});
  void setString(const std::string& name, const std::string& value, const std::string& subKey = {});
  std::optional<std::uint32_t> dword(const std::string& name, const std::string& subKey = {}) const;
  std::optional<std::string> string(const std::string& name, const std::string& subKey = {}) const;
  bool keyExists(const std::string& subKey) const;

  // Starts the daemon and waits until it serves (its startup refresh is out).
  void startDaemon();
  // SIGTERM, and the daemon's exit code (nullopt: it did not end in time).
  std::optional<int> stopDaemon();
  bool daemonRunning() { return daemon_.running(); }
  bool signalDaemon(int signalNumber) { return daemon_.signal(signalNumber); }
  std::optional<int> waitDaemonExit() { return daemon_.wait(kWait); }
  // Another `brokla` beside the running one: its exit code.
  std::optional<int> runSecondDaemon();
  // `brokla --control CODE`: its exit code.
  int control(std::uint32_t code);
  std::string daemonStderr() const;

  // A simulated instrument at 127.0.0.<host> on the test's event port, started.
  std::unique_ptr<zevasim::UdpSide> instrument(int host, const std::string& serial, std::uint8_t type = 1);
  // Announces it and waits for the reply: the port it was given.
  std::optional<std::uint16_t> announce(zevasim::UdpSide& instrument);
  // The id the daemon gave the instrument at `address` (its enumeration entry).
  std::optional<std::uint32_t> idOf(TestApp& app, std::uint32_t address);

  std::unique_ptr<TestApp> app() { return std::make_unique<TestApp>(log_); }
  std::unique_ptr<TestApp> connectedApp();

  // Sends from a socket of its own (not the daemon's), for malformed-input tests.
  bool sendDatagram(const Bytes& bytes, std::uint16_t port, std::uint32_t from = 0x7F000063);

  // Free ports for this test, written to its services file.
  void choosePorts();

  std::uint16_t eventPort_ = 0;
  std::uint16_t controlPort_ = 0;
  std::uint16_t instrBase_ = 0;
  LogWatch log_;

 private:
  platform::process::Child daemon_;
};

// The address of 127.0.0.<host>.
inline std::uint32_t loopback(int host) { return 0x7F000000u | static_cast<std::uint32_t>(host); }

}  // namespace brokla_test
