// The daemon under a few seconds of load: thirteen applications and five instruments at
// about 100 datagrams a second. Nothing may be lost or reach the wrong application, its
// memory and descriptors stay flat once warm, and it still stops cleanly. The same run
// for a minute, with its figures, is bench/brokla_load_bench.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "support/LoadDriver.h"
#include "support/StandIn.h"
#include "testsupport/TestEnv.h"

namespace brokla_test {
namespace {

using testing::IsEmpty;

// What a warm daemon may still gain in a few seconds: a log file rotated in at the moment
// of a sample, and the allocator's rounding (the daemon keeps nothing per request).
constexpr int kFdSlack = 2;
constexpr long kRssSlackKiB = 2048;

class LoadTest : public testsupport::ZevaTest {};

TEST_F(LoadTest, EveryAnswerReachesItsAskerAndTheDaemonStaysFlat) {
  LoadOptions o;
  o.program = BROKLA_PROGRAM;
  o.folder = tempDir();
  o.warmUp = std::chrono::milliseconds(1500);
  o.load = std::chrono::milliseconds(3000);
  const LoadResult r = RunLoad(o);

  EXPECT_THAT(r.faults, IsEmpty());
  // The load really ran: questions were answered and datagrams flowed while measured.
  EXPECT_GT(r.requests, 0u);
  EXPECT_GT(r.datagrams, 0u);
  EXPECT_GT(r.checkedEvents, 0u);
  ASSERT_TRUE(r.sampled);
  EXPECT_LE(r.atEnd.fds, r.afterWarmUp.fds + kFdSlack);
  EXPECT_LE(r.atEnd.rssKiB, r.afterWarmUp.rssKiB + kRssSlackKiB);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_THAT(r.leftInRuntime, IsEmpty());

  std::printf(
      "load: %.1f s, %llu datagrams (%.0f/s), %llu requests answered; replies checked %llu, events %llu, "
      "commands %llu, %llu comings back\n"
      "brokla (pid %d): fds %d / %d / %d, VmRSS %ld / %ld / %ld KiB (before warm-up / after / end); "
      "exit %d after %.0f ms\n",
      r.loadSeconds, static_cast<unsigned long long>(r.datagrams),
      r.datagrams / std::max(r.loadSeconds, 1e-9), static_cast<unsigned long long>(r.requests),
      static_cast<unsigned long long>(r.checkedReplies), static_cast<unsigned long long>(r.checkedEvents),
      static_cast<unsigned long long>(r.checkedCommands), static_cast<unsigned long long>(r.reconnects),
      r.daemonPid, r.beforeWarmUp.fds, r.afterWarmUp.fds, r.atEnd.fds, r.beforeWarmUp.rssKiB,
      r.afterWarmUp.rssKiB, r.atEnd.rssKiB, r.exitCode.value_or(-1), r.stopMs);
  if (HasFailure())
    std::printf("---- brokla log ----\n%s---- brokla stderr ----\n%s",
                LogWatch(tempDir() + "/logs").text().c_str(),
                testsupport::readFile(tempDir() + "/brokla.stderr").c_str());
}

}  // namespace
}  // namespace brokla_test
