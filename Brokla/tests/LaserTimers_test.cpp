#include "LaserTimers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "BroklaLan.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "testsupport/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using Sent = std::pair<int, int>;  // type, instrument id

LaserTimerRequest OneShot(bool on, std::uint32_t delay) {
  LaserTimerRequest r;
  r.bPowerOn = on;
  r.bOneShot = 1;
  r.nMinutesDelay = delay;
  return r;
}

LaserTimerRequest Idle(bool on, std::uint32_t minutes) {
  LaserTimerRequest r;
  r.bPowerOn = on;
  r.bIdleTimer = 1;
  r.nMinutesIdle = minutes;
  return r;
}

class LaserTimersTest : public testsupport::ZevaTest {
 protected:
  std::vector<Sent> sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  // Until the scheduler's timers have run n times (each run is one timer firing,
  // whether or not it sent anything); bounded in real time.
  void waitRuns(std::uint64_t n) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (scheduler_.TimerRuns() < n) {
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "timers did not run";
      std::this_thread::sleep_for(1ms);
    }
  }
  bool keyExists(const std::string& name) {
    return platform::registry::keyExists(platform::HKEY_LOCAL_MACHINE,
                                         "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla\\" + name) ==
           platform::registry::kOk;
  }
  std::uint32_t keyDword(const std::string& key, const std::string& name) {
    platform::registry::Value v;
    (void)platform::registry::queryValue(platform::HKEY_LOCAL_MACHINE,
                                         "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla\\" + key, name, v);
    if (v.data.size() != 4) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(v.data[0]) | (static_cast<std::uint32_t>(v.data[1]) << 8) |
           (static_cast<std::uint32_t>(v.data[2]) << 16) | (static_cast<std::uint32_t>(v.data[3]) << 24);
  }

  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::mutex mutex_;
  std::vector<Sent> sent_;
  CLaserScheduler scheduler_{[this](int type, int id) {
    std::lock_guard lock(mutex_);
    sent_.emplace_back(type, id);
  }};
};

TEST_F(LaserTimersTest, OneShotAndRecurringTimersSendForTheirOwnInstrument) {
  ASSERT_TRUE(scheduler_.HandOver(7, OneShot(true, 5), false));
  LaserTimerRequest recurring;
  recurring.bRecurring = 1;
  recurring.nMinutesDelay = 1;
  recurring.nRecurrenceInterval = 2;
  recurring.bEnableSkip = 1;  // rounds of two cycles on, one skipped
  recurring.nOnCycles = 2;
  recurring.nSkipCycles = 1;
  ASSERT_TRUE(scheduler_.HandOver(8, recurring, false));
  EXPECT_TRUE(keyExists("RecurringTimer0"));
  EXPECT_EQ(keyDword("RecurringTimer0", "InstrumentId"), 8u);
  EXPECT_EQ(keyDword("RecurringTimer0", "nRecurrenceInterval"), 2u);

  clock_->advance(1min);  // cycle 0
  waitRuns(1);
  clock_->advance(2min);  // cycle 1
  waitRuns(2);
  EXPECT_THAT(sent(), testing::ElementsAre(Sent{LASER_OFF, 8}, Sent{LASER_OFF, 8}));
  clock_->advance(2min);  // cycle 2 is skipped; the one-shot is due
  waitRuns(4);
  EXPECT_THAT(sent(), testing::ElementsAre(Sent{LASER_OFF, 8}, Sent{LASER_OFF, 8}, Sent{LASER_ON, 7}));
  clock_->advance(2min);  // cycle 3 acts again
  waitRuns(5);
  EXPECT_EQ(sent().back(), (Sent{LASER_OFF, 8}));
  EXPECT_EQ(scheduler_.ArmedCount(), 1);  // the one-shot is done
}

TEST_F(LaserTimersTest, IdleTimerWaitsWhileItsOwnInstrumentIsLockedAndStartsAfreshAfter) {
  ASSERT_TRUE(scheduler_.HandOver(1, Idle(false, 10), false));
  ASSERT_TRUE(scheduler_.HandOver(2, Idle(false, 10), false));
  EXPECT_TRUE(keyExists("IdleTimer0"));
  EXPECT_TRUE(keyExists("IdleTimer1"));
  clock_->advance(6min);
  testing::internal::CaptureStderr();
  scheduler_.SuspendIdle(1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Idle Timer Disabled\n");
  EXPECT_EQ(scheduler_.SuspendedCount(), 1);

  clock_->advance(4min);  // instrument 2 is idle long enough; 1 is locked
  waitRuns(1);
  EXPECT_THAT(sent(), testing::ElementsAre(Sent{LASER_OFF, 2}));

  scheduler_.ResumeIdle(1);                                      // its whole idle time again, from now
  ASSERT_TRUE(scheduler_.HandOver(3, OneShot(true, 9), false));  // a probe just before
  clock_->advance(9min);
  waitRuns(2);
  EXPECT_THAT(sent(), testing::ElementsAre(Sent{LASER_OFF, 2}, Sent{LASER_ON, 3}));
  clock_->advance(1min);
  waitRuns(3);
  EXPECT_EQ(sent().back(), (Sent{LASER_OFF, 1}));

  // Asked for while its instrument is locked: it waits for the unlock.
  ASSERT_TRUE(scheduler_.HandOver(4, Idle(true, 1), true));
  EXPECT_EQ(scheduler_.SuspendedCount(), 1);
  const int armed = scheduler_.ArmedCount();
  scheduler_.ResumeIdle(4);
  EXPECT_EQ(scheduler_.ArmedCount(), armed + 1);
  EXPECT_EQ(scheduler_.SuspendedCount(), 0);
}

TEST_F(LaserTimersTest, RemovalCountsEveryTimerDeletesTheKeysAndNothingFiresAfter) {
  LaserTimerRequest recurring;
  recurring.bRecurring = 1;
  recurring.nRecurrenceInterval = 5;
  recurring.nMinutesDelay = 5;
  ASSERT_TRUE(scheduler_.HandOver(1, recurring, false));
  ASSERT_TRUE(scheduler_.HandOver(1, Idle(false, 3), false));
  ASSERT_TRUE(scheduler_.HandOver(2, OneShot(true, 4), false));
  ASSERT_TRUE(scheduler_.HandOver(3, Idle(false, 3), true));  // waiting, not armed
  testing::internal::CaptureStderr();
  EXPECT_EQ(scheduler_.LaserScheduler(), 3);
  EXPECT_EQ(
      testing::internal::GetCapturedStderr(),
      "  Timer Removed\n  Timer Removed\n  Timer Removed\nLaserScheduler: Removed 3 timers from system\n");
  EXPECT_FALSE(keyExists("RecurringTimer0"));
  EXPECT_FALSE(keyExists("IdleTimer0"));
  EXPECT_FALSE(keyExists("IdleTimer1"));
  EXPECT_EQ(scheduler_.SuspendedCount(), 0);
  scheduler_.ResumeIdle(3);
  EXPECT_EQ(scheduler_.ArmedCount(), 0);

  // A probe shows the time has passed every removed timer's moment.
  ASSERT_TRUE(scheduler_.HandOver(9, OneShot(true, 60), false));
  clock_->advance(60min);
  waitRuns(1);
  EXPECT_THAT(sent(), testing::ElementsAre(Sent{LASER_ON, 9}));

  testing::internal::CaptureStderr();
  EXPECT_EQ(scheduler_.LaserScheduler(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "LaserScheduler: Removed 0 timers from system\n");
}

TEST_F(LaserTimersTest, RequestsThatNameNoTimerOrFindNoSlotAreRefused) {
  EXPECT_FALSE(scheduler_.HandOver(1, LaserTimerRequest{}, false));
  LaserTimerRequest spinning;
  spinning.bRecurring = 1;
  spinning.nRecurrenceInterval = 0;
  EXPECT_FALSE(scheduler_.HandOver(1, spinning, false));
  for (int i = 0; i < CLaserScheduler::kMaxTimers; ++i)
    ASSERT_TRUE(scheduler_.HandOver(1, OneShot(true, 30), false));
  EXPECT_FALSE(scheduler_.HandOver(1, OneShot(true, 30), false));
  EXPECT_EQ(scheduler_.ArmedCount(), CLaserScheduler::kMaxTimers);
  testing::internal::CaptureStderr();
  EXPECT_EQ(scheduler_.LaserScheduler(), CLaserScheduler::kMaxTimers);
  testing::internal::GetCapturedStderr();
}

}  // namespace
