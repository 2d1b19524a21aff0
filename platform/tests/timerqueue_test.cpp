#include "platform/timerqueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace {

using namespace std::chrono_literals;
using platform::ManualClock;
using platform::TimerQueue;

// What the timers did, in order; waits are bounded in real time so a lost run fails.
class Record {
 public:
  void add(const std::string& what) {
    std::lock_guard lock(mutex_);
    runs_.push_back(what);
    changed_.notify_all();
  }
  bool waitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return runs_.size() >= n; });
  }
  std::vector<std::string> runs() {
    std::lock_guard lock(mutex_);
    return runs_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> runs_;
};

class TimerQueueTest : public ::testing::Test {
 protected:
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  platform::ScopedClock scoped_{clock_};
  Record record_;
};

TEST_F(TimerQueueTest, TimersRunInTheOrderOfTheirTimesOnTheClock) {
  TimerQueue queue;
  queue.schedule(60min, [&] { record_.add("hour"); });
  queue.schedule(1min, [&] { record_.add("minute"); });
  queue.schedule(59min, [&] { record_.add("probe"); });
  queue.schedule(-5ms, [&] { record_.add("now"); });  // a delay below 0 is no delay
  ASSERT_TRUE(record_.waitFor(1));
  clock_->advance(59min);
  ASSERT_TRUE(record_.waitFor(3));
  // The probe at 59 minutes ran, so the queue saw that time, and the hour was not due.
  EXPECT_THAT(record_.runs(), testing::ElementsAre("now", "minute", "probe"));
  EXPECT_EQ(queue.size(), 1u);
  clock_->advance(1min);
  ASSERT_TRUE(record_.waitFor(4));
  EXPECT_EQ(record_.runs().back(), "hour");
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(TimerQueueTest, PeriodicTimerRepeatsUntilCancelledAndDoesNotMakeUpMissedPeriods) {
  TimerQueue queue;
  const auto id = queue.schedule(
      10s, [&] { record_.add("tick"); }, 30s);
  clock_->advance(10s);
  ASSERT_TRUE(record_.waitFor(1));
  clock_->advance(30s);
  ASSERT_TRUE(record_.waitFor(2));
  // Far behind: one run, then on from now.
  clock_->advance(10min);
  ASSERT_TRUE(record_.waitFor(3));
  queue.schedule(29s, [&] { record_.add("probe"); });
  clock_->advance(29s);
  ASSERT_TRUE(record_.waitFor(4));
  EXPECT_THAT(record_.runs(), testing::ElementsAre("tick", "tick", "tick", "probe"));
  EXPECT_TRUE(queue.isScheduled(id));
  EXPECT_TRUE(queue.cancel(id));
  EXPECT_FALSE(queue.isScheduled(id));
  EXPECT_FALSE(queue.cancel(id));
  queue.schedule(2min, [&] { record_.add("probe2"); });
  clock_->advance(2min);
  ASSERT_TRUE(record_.waitFor(5));
  EXPECT_EQ(record_.runs().back(), "probe2");
  EXPECT_EQ(record_.runs().size(), 5u);
}

TEST_F(TimerQueueTest, CancelWaitsForARunningCallbackAndWorksFromInsideOne) {
  TimerQueue queue;
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  const auto slow = queue.schedule(0ms, [&] {
    entered.set_value();
    released.wait();
    record_.add("slow");
  });
  entered.get_future().wait();
  auto cancelled = std::async(std::launch::async, [&] { return queue.cancel(slow); });
  EXPECT_EQ(cancelled.wait_for(50ms), std::future_status::timeout);
  release.set_value();
  EXPECT_FALSE(cancelled.get());  // it had left the schedule when it started
  EXPECT_THAT(record_.runs(), testing::ElementsAre("slow"));

  TimerQueue::TimerId self = 0;
  std::promise<TimerQueue::TimerId> idKnown;
  auto idFuture = idKnown.get_future().share();
  self = queue.schedule(
      1s, [&] { record_.add(queue.cancel(idFuture.get()) ? "cancelled itself" : "not scheduled"); }, 1s);
  idKnown.set_value(self);
  clock_->advance(1s);
  ASSERT_TRUE(record_.waitFor(2));
  EXPECT_EQ(record_.runs().back(), "cancelled itself");
  EXPECT_FALSE(queue.isScheduled(self));
}

TEST_F(TimerQueueTest, DestructionDropsPendingTimersWithoutRunningThem) {
  {
    TimerQueue queue;
    queue.schedule(1s, [&] { record_.add("never"); });
    queue.schedule(0ms, [&] { record_.add("now"); });
    ASSERT_TRUE(record_.waitFor(1));
    queue.cancelAll();
    EXPECT_EQ(queue.size(), 0u);
    queue.schedule(1s, [&] { record_.add("never either"); });
  }
  clock_->advance(1h);
  EXPECT_THAT(record_.runs(), testing::ElementsAre("now"));
}

}  // namespace
