// The connection manager under a minute of load: the `brokla` program with thirteen
// applications and five simulated instruments at about 100 datagrams a second, every
// answer checked (Brokla/tests/support/LoadDriver.h). The baseline is the status round
// trip of one application with nothing else going on, at the load's sparse pace (one
// every 50 ms), measured in the same run before the load; the figures are the round trip under load against
// it, the rates reached, the daemon's memory and descriptors before and after the warm-up and at the end, and
// how it stopped. BROKLA_LOAD_SECONDS (default 60) sets the measured phase.
//
// Its own registry, runtime folder and log; loopback only.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "BenchFolder.h"
#include "support/LoadDriver.h"

namespace {

using brokla_test::LoadResult;

struct Bench {
  std::string dir;
  long seconds = 60;
  LoadResult result;
  bool ran = false;
};

Bench& B() {
  static Bench b;
  return b;
}

void BM_BroklaLoad(benchmark::State& state) {
  auto& b = B();
  for (auto _ : state) {
    brokla_test::LoadOptions o;
    o.program = BROKLA_PROGRAM;
    o.folder = b.dir;
    o.warmUp = std::chrono::seconds(5);
    o.load = std::chrono::seconds(b.seconds);
    o.debugLevel = 1;  // as installed
    o.baselineRounds = 200;
    b.result = brokla_test::RunLoad(o);
    b.ran = true;
  }
  const LoadResult& r = b.result;
  if (!r.faults.empty()) state.SkipWithError("faults under load (listed below)");
  state.counters["datagrams_per_s"] = static_cast<double>(r.datagrams) / std::max(r.loadSeconds, 1e-9);
  state.counters["requests_per_s"] = static_cast<double>(r.requests) / std::max(r.loadSeconds, 1e-9);
  state.counters["status_us_alone"] = r.statusIdle.medianUs;
  state.counters["status_us_loaded"] = r.statusLoaded.medianUs;
  if (r.statusIdle.medianUs > 0) state.counters["x_alone"] = r.statusLoaded.medianUs / r.statusIdle.medianUs;
}

BENCHMARK(BM_BroklaLoad)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void Prepare() {
  auto& b = B();
  b.seconds = bench::PositiveFromEnv("BROKLA_LOAD_SECONDS", b.seconds);
  b.dir = bench::MakeSystemFolder("brokla-load");
}

void Report() {
  const auto& b = B();
  if (!b.ran) return;
  const LoadResult& r = b.result;
  const auto per = [&](std::uint64_t n) { return static_cast<double>(n) / std::max(r.loadSeconds, 1e-9); };
  std::printf("\nbrokla under load, %.1f s measured after a 5 s warm-up (13 applications, 5 instruments):\n",
              r.loadSeconds);
  std::printf(
      "  datagrams to and from the daemon: %llu (%.1f/s); application requests answered: %llu (%.1f/s)\n",
      static_cast<unsigned long long>(r.datagrams), per(r.datagrams),
      static_cast<unsigned long long>(r.requests), per(r.requests));
  std::printf(
      "  checked over the run: %llu replies, %llu events, %llu commands at the instruments, "
      "%llu comings back of an application\n",
      static_cast<unsigned long long>(r.checkedReplies), static_cast<unsigned long long>(r.checkedEvents),
      static_cast<unsigned long long>(r.checkedCommands), static_cast<unsigned long long>(r.reconnects));
  std::printf("  status round trip alone:      median %.0f us, p99 %.0f us, max %.0f us (%zu)\n",
              r.statusIdle.medianUs, r.statusIdle.p99Us, r.statusIdle.maxUs, r.statusIdle.count);
  std::printf("  status round trip under load: median %.0f us, p99 %.0f us, max %.0f us (%zu)\n",
              r.statusLoaded.medianUs, r.statusLoaded.p99Us, r.statusLoaded.maxUs, r.statusLoaded.count);
  if (r.statusIdle.medianUs > 0)
    std::printf("  under load: %.2f x the round trip alone (median), %.2f x (p99)\n",
                r.statusLoaded.medianUs / r.statusIdle.medianUs,
                r.statusIdle.p99Us > 0 ? r.statusLoaded.p99Us / r.statusIdle.p99Us : 0.0);
  std::printf(
      "  daemon (pid %d) VmRSS: %ld KiB before the warm-up, %ld after, %ld at the end (%+ld KiB while "
      "measured)\n",
      r.daemonPid, r.beforeWarmUp.rssKiB, r.afterWarmUp.rssKiB, r.atEnd.rssKiB,
      r.atEnd.rssKiB - r.afterWarmUp.rssKiB);
  std::printf("  daemon descriptors: %d before the warm-up, %d after, %d at the end\n", r.beforeWarmUp.fds,
              r.afterWarmUp.fds, r.atEnd.fds);
  std::printf("  stop: exit code %s, %.0f ms after SIGTERM; files left in its runtime folder: %zu\n",
              r.exitCode ? std::to_string(*r.exitCode).c_str() : "none (did not end)", r.stopMs,
              r.leftInRuntime.size());
  std::printf("  faults: %zu\n", r.faults.size());
  for (const auto& f : r.faults) std::printf("    %s\n", f.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Prepare();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  Report();
  benchmark::Shutdown();
  const int rc = B().result.faults.empty() ? 0 : 1;
  std::error_code ec;
  std::filesystem::remove_all(B().dir, ec);
  return rc;
}
