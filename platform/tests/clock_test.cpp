#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using platform::ManualClock;

// 2021-03-04 05:06:07 UTC
const platform::SystemTime kStart = platform::SystemTime(std::chrono::seconds(1614834367));

// Pins the time zone so that local times are predictable.
class UtcZone {
 public:
  UtcZone() {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  ~UtcZone() {
    if (saved_)
      ::setenv("TZ", saved_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(ClockTest, InstalledClockIsUsedAndScopeRestoresThePrevious) {
  platform::Clock* system = &platform::clock();
  auto manual = std::make_shared<ManualClock>(kStart);
  {
    platform::ScopedClock scoped(manual);
    EXPECT_EQ(&platform::clock(), manual.get());
    EXPECT_EQ(platform::systemNow(), kStart);
    {
      platform::ScopedClock inner(std::make_shared<ManualClock>());
      EXPECT_NE(&platform::clock(), manual.get());
    }
    EXPECT_EQ(&platform::clock(), manual.get());
  }
  EXPECT_EQ(&platform::clock(), system);

  // nullptr puts the system clock back; the one returned is the one replaced.
  EXPECT_EQ(platform::setClock(manual).get(), system);
  EXPECT_EQ(platform::setClock(nullptr), manual);
  EXPECT_EQ(&platform::clock(), system);
}

TEST(ClockTest, LocalTimeTickCountAndFormattingFollowTheInstalledClock) {
  UtcZone utc;
  auto manual = std::make_shared<ManualClock>(kStart);
  platform::ScopedClock scoped(manual);

  const std::uint64_t ticks = platform::tickCountMs();
  manual->advance(90min + 250ms);
  EXPECT_EQ(platform::tickCountMs() - ticks, 5'400'250u);

  const std::tm tm = platform::localTime();
  EXPECT_EQ(tm.tm_year, 121);
  EXPECT_EQ(tm.tm_hour, 6);
  EXPECT_EQ(tm.tm_min, 36);
  EXPECT_EQ(platform::formatLocalTime("%Y-%m-%d %H:%M:%S"), "2021-03-04 06:36:07");

  // Setting the wall clock leaves the tick counter alone.
  manual->setSystemTime(kStart - 24h);
  EXPECT_EQ(platform::formatLocalTime("%d"), "03");
  EXPECT_EQ(platform::tickCountMs() - ticks, 5'400'250u);
}

TEST(ClockTest, FormatLocalTimeEdgeCases) {
  UtcZone utc;
  std::string longFormat, longExpected;
  for (int i = 0; i < 300; ++i) {
    longFormat += "%c|";
    longExpected += "Thu Mar  4 05:06:07 2021|";
  }
  const struct {
    const char* format;
    std::string expected;
  } cases[] = {
      {"", ""},
      {"%%", "%"},
      {"%H:%M", "05:06"},
      {longFormat.c_str(), longExpected},  // result far longer than the format
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::formatLocalTime(c.format, kStart), c.expected) << c.format;
  }
}

TEST(ManualClockTest, AutoAdvanceTurnsSleepsIntoTimeSteps) {
  auto manual = std::make_shared<ManualClock>(kStart);
  platform::ScopedClock scoped(manual);
  manual->setAutoAdvance(true);
  const auto t0 = platform::steadyNow();
  platform::sleepFor(120s);
  platform::sleepFor(-5s);  // negative sleeps do not move time backwards
  platform::sleepFor(3000ms);
  EXPECT_EQ(platform::steadyNow() - t0, 123s);
  EXPECT_EQ(platform::systemNow() - kStart, 123s);
  EXPECT_EQ(manual->waiters(), 0);
}

TEST(ManualClockTest, SleepEndsOnlyWhenTimeReachesItsEnd) {
  auto manual = std::make_shared<ManualClock>(kStart);
  std::atomic<bool> woke{false};
  std::jthread sleeper([&] {
    manual->sleepFor(10s);
    woke = true;
  });
  ASSERT_TRUE(manual->waitForWaiters(1));
  manual->advance(9999ms);
  EXPECT_FALSE(woke);
  EXPECT_EQ(manual->waiters(), 1);
  manual->advance(1ms);
  sleeper.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(manual->waiters(), 0);
}

TEST(ManualClockTest, SwitchingAutoAdvanceOnReleasesASleeperAtItsEnd) {
  auto manual = std::make_shared<ManualClock>(kStart);
  const auto t0 = manual->steadyNow();
  std::jthread sleeper([&] { manual->sleepFor(1h); });
  ASSERT_TRUE(manual->waitForWaiters(1));
  manual->setAutoAdvance(true);
  sleeper.join();
  EXPECT_EQ(manual->steadyNow() - t0, 1h);
}

// A timed wait on a condition variable ends by its predicate or by the fake time.
TEST(ManualClockTest, WaitUntilEndsByPredicateOrByAdvancedTime) {
  enum class Ending { predicate, timeout };
  for (Ending ending : {Ending::predicate, Ending::timeout}) {
    SCOPED_TRACE(ending == Ending::predicate ? "predicate" : "timeout");
    auto manual = std::make_shared<ManualClock>(kStart);
    std::mutex m;
    std::condition_variable cv;
    bool flag = false;
    std::optional<bool> result;
    std::jthread waiter([&] {
      std::unique_lock lock(m);
      const bool r = manual->waitUntil(cv, lock, manual->steadyNow() + 120s, [&] { return flag; });
      result = r;
    });
    ASSERT_TRUE(manual->waitForWaiters(1));
    if (ending == Ending::predicate) {
      {
        std::lock_guard lock(m);
        flag = true;
      }
      cv.notify_all();
    } else {
      manual->advance(119s);
      EXPECT_EQ(manual->waiters(), 1);
      manual->advance(1s);
    }
    waiter.join();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, ending == Ending::predicate);
    EXPECT_EQ(manual->waiters(), 0);
  }
}

TEST(ManualClockTest, WaitForWaitersGivesUpAfterItsRealTimeout) {
  ManualClock manual(kStart);
  EXPECT_FALSE(manual.waitForWaiters(1, 1ms));
  EXPECT_TRUE(manual.waitForWaiters(0, 1ms));
}

}  // namespace
