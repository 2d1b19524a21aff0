#pragma once
// Load on the real `brokla` program: applications (each a process of its own to the
// daemon) and simulated instruments keep up requests, events and datagrams at a paced
// rate, and every answer is checked against what was asked: each reply is the one meant
// for its asker, each event reaches the application that holds the instrument and no
// other, each command reaches the instrument it names. The daemon's memory and
// descriptors are sampled before and after a warm-up and at the end, and it is stopped
// with SIGTERM at the end. Loopback only; every wait is bounded.
//
// The traffic, about 100 datagrams a second in all: every application asks the status
// of an instrument twice a second (a datagram to the daemon's control port, an identify
// request to the instrument and its answer each) and between those enumerates, queries,
// nests and tries locks, and asks about instruments that do not exist; the instruments
// switch their lasers and soft-boot in turn; each instrument's holder aborts it now and
// then. The first `instruments` applications each hold one instrument throughout; the
// last one goes and comes back as a new process every 2 s.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brokla_test {

// What /proc tells of a process.
struct ProcessSample {
  long rssKiB = -1;  // VmRSS
  int fds = -1;      // open descriptors
};
std::optional<ProcessSample> SampleProcess(int pid);

struct LoadOptions {
  std::string program;  // the brokla program
  // Where the services file, the daemon's log and output go; it must exist. The
  // registry and the runtime folder are the caller's (ZEVA_REGISTRY_DIR, ZEVA_RUNTIME_DIR).
  std::string folder;
  int applications = 13;  // 14 at most: the daemon serves 14 at once
  int instruments = 5;    // 5 at most: one enumeration reply lists 5
  std::chrono::milliseconds warmUp{1000};
  std::chrono::milliseconds load{3000};
  int debugLevel = 2;  // of the daemon's log
  // Status round trips timed with nothing else going on, before the load, one every 50 ms.
  int baselineRounds = 0;
  bool churn = true;  // the last application (holding nothing) goes and comes back every 2 s
};

struct Latency {
  std::size_t count = 0;
  double medianUs = 0, p99Us = 0, maxUs = 0;
};

struct LoadResult {
  // Every lost, misrouted or wrong answer, and whatever else kept the run from its end.
  std::vector<std::string> faults;

  int daemonPid = -1;
  ProcessSample beforeWarmUp, afterWarmUp, atEnd;
  bool sampled = false;  // all three samples were taken

  double loadSeconds = 0;        // the measured phase (after the warm-up)
  std::uint64_t datagrams = 0;   // to and from the daemon in that phase
  std::uint64_t requests = 0;    // application requests answered in that phase
  std::uint64_t events = 0;      // events delivered over the whole run
  std::uint64_t reconnects = 0;  // comings back of the application that churns
  std::uint64_t checkedReplies = 0, checkedEvents = 0, checkedCommands = 0;  // whole run
  Latency statusIdle, statusLoaded;

  std::optional<int> exitCode;             // of the daemon after SIGTERM (nullopt: it did not end)
  double stopMs = 0;                       // from SIGTERM to its end
  std::vector<std::string> leftInRuntime;  // its files still in the runtime folder after it ended
};

LoadResult RunLoad(const LoadOptions& options);

}  // namespace brokla_test
