#include "platform/thread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

using namespace std::chrono_literals;
using platform::Event;
using platform::kInfinite;
using platform::Thread;
using platform::ThreadPriority;

std::uint32_t waitForStop(Event& stop) {
  (void)stop.wait(kInfinite);
  return 0;
}

TEST(ThreadTest, LifecycleExitCodeAndRestart) {
  Thread t;
  EXPECT_FALSE(t.running());
  EXPECT_EQ(t.id(), 0);
  EXPECT_FALSE(t.exitCode());
  EXPECT_TRUE(t.join(0ms));  // nothing to wait for

  std::atomic<long> seenId{0};
  ASSERT_TRUE(t.start(
      [&](Event& stop) {
        seenId = platform::currentThreadId();
        (void)stop.wait(kInfinite);
        return 7u;
      },
      "lifecycle"));
  EXPECT_TRUE(t.running());
  EXPECT_TRUE(t.joinable());
  EXPECT_NE(t.id(), 0);
  EXPECT_NE(t.id(), platform::currentThreadId());
  EXPECT_FALSE(t.exitCode());
  EXPECT_FALSE(t.join(0ms));
  EXPECT_FALSE(t.start(waitForStop));  // one run at a time

  t.requestStop();
  EXPECT_TRUE(t.join());
  EXPECT_FALSE(t.running());
  EXPECT_FALSE(t.joinable());
  EXPECT_EQ(t.exitCode(), 7u);
  EXPECT_EQ(seenId, t.id());

  // A second run starts with a clear stop event and reports its own exit code.
  ASSERT_TRUE(t.start([](Event& stop) { return stop.isSet() ? 1u : 2u; }));
  EXPECT_TRUE(t.join());
  EXPECT_EQ(t.exitCode(), 2u);
}

// A refused start leaves its reason in errno, for the caller's report.
TEST(ThreadTest, ARefusedStartSaysWhy) {
  Thread t;
  ASSERT_TRUE(t.start(waitForStop));
  errno = 0;
  EXPECT_FALSE(t.start(waitForStop));
  EXPECT_EQ(errno, EBUSY);
  t.requestStop();
  EXPECT_TRUE(t.join());
}

TEST(ThreadTest, JoinTimesOutOnTheInstalledClock) {
  auto manual = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(manual);
  Thread t;
  ASSERT_TRUE(t.start(waitForStop));
  std::optional<bool> joined;
  std::thread joiner([&] { joined = t.join(30s); });
  EXPECT_TRUE(manual->waitForWaiters(1));
  manual->advance(30s);
  joiner.join();
  EXPECT_EQ(joined, false);
  EXPECT_TRUE(t.running());
  t.requestStop();
  EXPECT_TRUE(t.join(30s));
  EXPECT_EQ(t.exitCode(), 0u);
}

TEST(ThreadTest, DestructorStopsAndJoins) {
  std::atomic<bool> sawStop{false};
  {
    Thread t;
    ASSERT_TRUE(t.start([&](Event& stop) {
      sawStop = stop.wait(kInfinite);
      return 0u;
    }));
  }
  EXPECT_TRUE(sawStop);
}

TEST(ThreadTest, ExceptionEscapingTheBodyIsReportedAndEndsTheThread) {
  const struct {
    const char* name;
    std::function<void()> thrower;
    const char* expectedText;
  } cases[] = {
      {"std::exception", [] { throw std::runtime_error("carousel jammed"); }, "carousel jammed"},
      {"other type", [] { throw 42; }, "unknown type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Thread t;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(t.start(
        [&](Event&) -> std::uint32_t {
          c.thrower();
          return 0;
        },
        "loader"));
    EXPECT_TRUE(t.join());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(t.exitCode(), Thread::kUncaughtExceptionExit);
    EXPECT_THAT(err, testing::HasSubstr(c.expectedText));
    EXPECT_THAT(err, testing::HasSubstr("loader"));
  }
}

TEST(ThreadTest, NameIsVisibleToTheSystemCutTo15Characters) {
  const struct {
    std::string given, expected;
  } cases[] = {{"status", "status"}, {"instrument-status-poller", "instrument-stat"}};
  for (const auto& c : cases) {
    Thread t;
    std::string seen;
    ASSERT_TRUE(t.start(
        [&](Event&) {
          char buf[32] = {};
          ::pthread_getname_np(::pthread_self(), buf, sizeof buf);
          seen = buf;
          return 0u;
        },
        c.given));
    EXPECT_TRUE(t.join());
    EXPECT_EQ(seen, c.expected);
  }
}

int niceOf(long tid) { return ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid)); }

// Lowering a priority is always allowed, so these must take effect; raising it may be
// refused, which must pass silently.
TEST(ThreadTest, PriorityIsAppliedToThatThreadAlone) {
  const int baseline = niceOf(platform::currentThreadId());
  enum class When { beforeStart, whileRunning, fromInside };
  const struct {
    When when;
    ThreadPriority priority;
    int nice;
  } cases[] = {
      {When::beforeStart, ThreadPriority::lowest, 10},
      {When::whileRunning, ThreadPriority::idle, 19},
      {When::fromInside, ThreadPriority::belowNormal, 5},
  };
  for (const auto& c : cases) {
    if (c.nice < baseline) continue;  // the process itself already runs lower
    Thread t;
    Event check, checked;
    std::atomic<int> seen{-100};
    if (c.when == When::beforeStart) t.setPriority(c.priority);
    ASSERT_TRUE(t.start([&](Event& stop) {
      if (c.when == When::fromInside) platform::setCurrentThreadPriority(c.priority);
      (void)check.wait(kInfinite);
      seen = niceOf(platform::currentThreadId());
      checked.set();
      (void)stop.wait(kInfinite);
      return 0u;
    }));
    if (c.when == When::whileRunning) t.setPriority(c.priority);
    check.set();
    EXPECT_TRUE(checked.wait(10s));
    EXPECT_EQ(seen, c.nice);
    t.setPriority(ThreadPriority::timeCritical);  // usually refused: no error either way
    t.requestStop();
    EXPECT_TRUE(t.join());
  }
  EXPECT_EQ(niceOf(platform::currentThreadId()), baseline);
}

TEST(ThreadTest, TheRealTimeClassIsTheNearestSchedulingTheLimitsAllow) {
  using platform::Scheduling;
  using platform::SchedulingLimits;
  const struct {
    SchedulingLimits limits;
    int currentNice;
    ThreadPriority priority;
    Scheduling expected;
  } cases[] = {
      {{99, -20}, 0, ThreadPriority::timeCritical, {true, 30}},  // CAP_SYS_NICE
      {{99, -20}, 0, ThreadPriority::highest, {true, 25}},
      {{10, 20}, 0, ThreadPriority::timeCritical, {true, 10}},  // RLIMIT_RTPRIO 10
      {{10, 20}, 0, ThreadPriority::idle, {true, 1}},
      {{0, 20}, 0, ThreadPriority::timeCritical, {false, 0}},  // nothing: stays as it is
      {{0, 20}, 5, ThreadPriority::timeCritical, {false, 5}},
      {{0, 10}, 0, ThreadPriority::timeCritical, {false, 0}},   // never less urgent than now
      {{0, -5}, 0, ThreadPriority::timeCritical, {false, -5}},  // RLIMIT_NICE 25
      {{0, -5}, 0, ThreadPriority::aboveNormal, {false, -5}},
      {{0, -20}, 0, ThreadPriority::highest, {false, -10}},
      {{0, -20}, 0, ThreadPriority::lowest, {false, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected.describe());
    EXPECT_EQ(platform::chooseRealTimeScheduling(c.priority, c.limits, c.currentNice), c.expected);
  }
  EXPECT_EQ((Scheduling{true, 30}).describe(), "real-time round-robin, priority 30");
  EXPECT_EQ((Scheduling{false, -5}).describe(), "time-sharing, nice -5");

  // On this system: the thread gets what the limits allow (or stays as it was when the
  // system refuses after all, as a container may), and no other thread changes.
  const Scheduling mine = platform::currentScheduling(platform::currentThreadId());
  Thread idle;
  EXPECT_EQ(idle.raiseToRealTime(ThreadPriority::timeCritical), Scheduling{});  // not running
  Thread t;
  ASSERT_TRUE(t.start(waitForStop));
  const Scheduling before = platform::currentScheduling(t.id());
  ASSERT_FALSE(before.realTime);
  const Scheduling allowed = platform::chooseRealTimeScheduling(ThreadPriority::timeCritical,
                                                                platform::schedulingLimits(), before.value);
  const Scheduling got = t.raiseToRealTime(ThreadPriority::timeCritical);
  EXPECT_TRUE(got == allowed || got == before) << got.describe() << " / " << allowed.describe();
  EXPECT_EQ(platform::currentScheduling(t.id()), got);
  EXPECT_EQ(platform::currentScheduling(platform::currentThreadId()), mine);
  t.requestStop();
  EXPECT_TRUE(t.join());
}

}  // namespace
