#include "platform/sync.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::Event;
using platform::kInfinite;
using platform::LockResult;
using platform::TimedMutex;

bool isInfinite(std::chrono::milliseconds timeout) { return timeout < 0ms; }

// Every test runs on a ManualClock: timed waits end only when the test moves the time,
// and the clock tells when a thread is blocked.
class OnTestClock : public ::testing::Test {
 protected:
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
};
class EventTest : public OnTestClock {};
class TimedMutexTest : public OnTestClock {};

// ---------------------------------------------------------------------------------------
// Event

TEST_F(EventTest, ManualAndAutoResetSemantics) {
  const struct {
    bool manual, initiallySet;
    bool firstWait, secondWait, setAfterwards;
  } cases[] = {
      {true, true, true, true, true},     // a manual event stays set for every waiter
      {false, true, true, false, false},  // an auto event is taken by the first wait
      {true, false, false, false, false},
      {false, false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "manual=" << c.manual << " initiallySet=" << c.initiallySet);
    Event e(c.manual, c.initiallySet);
    EXPECT_EQ(e.isSet(), c.initiallySet);
    EXPECT_EQ(e.wait(0ms), c.firstWait);
    EXPECT_EQ(e.wait(0ms), c.secondWait);
    EXPECT_EQ(e.isSet(), c.setAfterwards);

    e.set();
    e.set();  // setting twice is still one signal
    EXPECT_TRUE(e.wait(0ms));
    EXPECT_EQ(e.wait(0ms), c.manual);
    e.reset();
    EXPECT_FALSE(e.isSet());
    EXPECT_FALSE(e.wait(0ms));
  }
}

// The waiters are surely blocked before set(): only a real wake-up can release them.
TEST_F(EventTest, SetWakesABlockedWaiter) {
  enum class Api { wait, waitAny };
  const struct {
    Api api;
    bool manual;
  } cases[] = {{Api::wait, true}, {Api::wait, false}, {Api::waitAny, true}, {Api::waitAny, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "waitAny=" << (c.api == Api::waitAny) << " manual=" << c.manual);
    Event other(c.manual), target(c.manual);
    const std::array<Event*, 2> ptrs{&other, &target};
    int result = -2;
    std::jthread waiter([&] {
      result = c.api == Api::wait ? (target.wait(kInfinite) ? 1 : -1) : Event::waitAny(ptrs, kInfinite);
    });
    ASSERT_TRUE(clock_->waitForUntimedWaiters(1));
    target.set();
    waiter.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(target.isSet(), c.manual);
  }
}

TEST_F(EventTest, AutoResetReleasesOneWaiterPerSet) {
  Event e(false);
  Event oneWoke(true);
  std::atomic<int> woken{0};
  auto waiter = [&] {
    (void)e.wait(kInfinite);
    ++woken;
    oneWoke.set();
  };
  std::jthread a(waiter), b(waiter);
  ASSERT_TRUE(clock_->waitForUntimedWaiters(2));
  e.set();
  ASSERT_TRUE(oneWoke.wait(kInfinite));
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(clock_->untimedWaiters(), 1);
  EXPECT_FALSE(e.isSet());
  e.set();
  a.join();
  b.join();
  EXPECT_EQ(woken, 2);
}

// Many quick hand-overs: a set() racing with a waiter going to sleep
// must not be lost.
TEST_F(EventTest, SetRacingWithTheWaiterIsNeverLost) {
  std::array<Event, 3> events{Event(false), Event(false), Event(true)};
  const std::array<Event*, 3> ptrs{&events[0], &events[1], &events[2]};
  for (int i = 0; i < 300; ++i) {
    const int which = i % 3;
    int got = -2;
    std::jthread waiter([&] {
      if (i % 2)
        got = Event::waitAny(ptrs, kInfinite);
      else
        got = events[which].wait(kInfinite) ? which : -1;
    });
    events[which].set();
    waiter.join();
    ASSERT_EQ(got, which) << "round " << i;
    events[2].reset();
  }
}

TEST_F(EventTest, WaitAnyPicksASetEventAndConsumesOnlyThatOne) {
  enum Kind { A = 0, M = 1 };  // auto or manual reset
  const struct {
    const char* name;
    std::vector<Kind> kinds;
    std::vector<int> set;
    int expected;
    std::vector<bool> setAfterwards;
  } cases[] = {
      {"only the last is set", {A, A, A}, {2}, 2, {false, false, false}},
      {"lowest index wins, others keep their signal", {A, A}, {0, 1}, 0, {false, true}},
      {"a manual winner stays set", {M, A}, {0, 1}, 0, {true, true}},
      {"none set", {A, M}, {}, -1, {false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<Event>> events;
    std::vector<Event*> ptrs;
    for (Kind k : c.kinds) {
      events.push_back(std::make_unique<Event>(k == M));
      ptrs.push_back(events.back().get());
    }
    for (int i : c.set) events[i]->set();
    EXPECT_EQ(Event::waitAny(ptrs, 0ms), c.expected);
    for (std::size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i]->isSet(), c.setAfterwards[i]) << i;
  }
  EXPECT_EQ(Event::waitAny({}, 0ms), -1);
}

// A two-minute wait that ends by the fake time or by a set() in between; no real time passes.
TEST_F(EventTest, TimedWaitsEndByTimeOutOrBySet) {
  enum class Api { wait, waitAny };
  const struct {
    Api api;
    bool setBeforeTimeout;
  } cases[] = {{Api::wait, false}, {Api::wait, true}, {Api::waitAny, false}, {Api::waitAny, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "waitAny=" << (c.api == Api::waitAny)
                                    << " set=" << c.setBeforeTimeout);
    Event first(false), second(false);
    const std::array<Event*, 2> ptrs{&first, &second};
    std::optional<int> result;
    std::jthread waiter(
        [&] { result = c.api == Api::wait ? (second.wait(120s) ? 1 : -1) : Event::waitAny(ptrs, 120s); });
    ASSERT_TRUE(clock_->waitForWaiters(1));
    clock_->advance(119s);
    EXPECT_EQ(clock_->waiters(), 1);
    if (c.setBeforeTimeout)
      second.set();
    else
      clock_->advance(1s);
    waiter.join();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, c.setBeforeTimeout ? 1 : -1);
    EXPECT_FALSE(second.isSet());
    EXPECT_EQ(clock_->waiters(), 0);
  }
}

// ---------------------------------------------------------------------------------------
// TimedMutex

TEST_F(TimedMutexTest, RecursionAndOwnership) {
  TimedMutex m;
  EXPECT_FALSE(m.unlock());  // nobody owns it
  EXPECT_EQ(m.lock(), LockResult::acquired);
  EXPECT_EQ(m.lock(0ms), LockResult::acquired);
  EXPECT_EQ(m.recursionCount(), 2);
  EXPECT_TRUE(m.ownedByCurrentThread());

  // Another thread can neither release nor take it.
  std::jthread([&] {
    EXPECT_FALSE(m.ownedByCurrentThread());
    EXPECT_FALSE(m.unlock());
    EXPECT_EQ(m.lock(0ms), LockResult::timedOut);
  }).join();
  EXPECT_EQ(m.recursionCount(), 2);
  EXPECT_TRUE(m.ownedByCurrentThread());

  EXPECT_TRUE(m.unlock());
  EXPECT_EQ(m.recursionCount(), 1);
  EXPECT_TRUE(m.unlock());
  EXPECT_EQ(m.recursionCount(), 0);
  EXPECT_FALSE(m.ownedByCurrentThread());
  EXPECT_FALSE(m.unlock());

  // Released properly, it is simply free for the next thread.
  std::jthread([&] {
    EXPECT_EQ(m.lock(0ms), LockResult::acquired);
    EXPECT_TRUE(m.unlock());
  }).join();
}

// Holds a mutex on its own thread until told to go, then releases it or not.
class Holder {
 public:
  Holder(TimedMutex& m, bool unlockAtEnd, int depth = 1)
      : thread_([this, &m, unlockAtEnd, depth] {
          for (int i = 0; i < depth; ++i) (void)m.lock();
          locked_.set();
          (void)release_.wait(kInfinite);
          if (unlockAtEnd)
            for (int i = 0; i < depth; ++i) (void)m.unlock();
        }) {
    (void)locked_.wait(kInfinite);
  }
  // Lets the thread finish and waits until it has ended.
  void end() {
    release_.set();
    if (thread_.joinable()) thread_.join();
  }
  ~Holder() { end(); }

 private:
  Event locked_, release_;
  std::jthread thread_;
};

TEST_F(TimedMutexTest, LockTimesOutWhileALiveThreadHoldsIt) {
  TimedMutex m;
  Holder holder(m, /*unlockAtEnd=*/true);
  std::optional<LockResult> result;
  std::jthread contender([&] { result = m.lock(5000ms); });
  ASSERT_TRUE(clock_->waitForWaiters(1));
  clock_->advance(4999ms);
  EXPECT_EQ(clock_->waiters(), 1);
  clock_->advance(1ms);
  contender.join();
  EXPECT_EQ(result, LockResult::timedOut);
  EXPECT_FALSE(m.ownedByCurrentThread());

  holder.end();
  EXPECT_EQ(m.lock(0ms), LockResult::acquired);  // released properly: not abandoned
  EXPECT_TRUE(m.unlock());
}

TEST_F(TimedMutexTest, OwnerThatEndedHoldingItLeavesItAbandoned) {
  TimedMutex m;
  Holder(m, /*unlockAtEnd=*/false, /*depth=*/2).end();

  EXPECT_EQ(m.lock(0ms), LockResult::abandoned);
  EXPECT_TRUE(m.ownedByCurrentThread());
  EXPECT_EQ(m.recursionCount(), 1);  // the new owner's count, not the dead one's
  EXPECT_TRUE(m.unlock());
  EXPECT_FALSE(m.ownedByCurrentThread());
  EXPECT_EQ(m.lock(0ms), LockResult::acquired);  // abandonment is reported once
  EXPECT_TRUE(m.unlock());
}

// Two waiters blocked on the owner: when it releases the mutex, or ends holding it (one
// then gets it abandoned), both must get it in turn.
TEST_F(TimedMutexTest, BlockedWaitersGetItInTurnWhenTheOwnerLetsGo) {
  const struct {
    const char* name;
    std::chrono::milliseconds timeout;
    bool ownerUnlocks;
    LockResult first;
  } cases[] = {
      {"released, infinite wait", kInfinite, true, LockResult::acquired},
      {"owner ended, timed wait", 60000ms, false, LockResult::abandoned},       // the clock never gets there
      {"owner ended, infinite wait", kInfinite, false, LockResult::abandoned},  // not polled: needs a wake-up
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TimedMutex m;
    Holder holder(m, c.ownerUnlocks);
    std::vector<LockResult> results;
    std::mutex resultsMutex;
    {
      auto waiter = [&] {
        const LockResult r = m.lock(c.timeout);
        {
          std::lock_guard lock(resultsMutex);
          results.push_back(r);
        }
        if (r != LockResult::timedOut) {
          EXPECT_TRUE(m.unlock());
        }
      };
      std::jthread w1(waiter), w2(waiter);
      // The holder's own thread is an untimed waiter too (on its release event).
      EXPECT_TRUE(isInfinite(c.timeout) ? clock_->waitForUntimedWaiters(3) : clock_->waitForWaiters(2));
      holder.end();
    }
    EXPECT_THAT(results, testing::UnorderedElementsAre(c.first, LockResult::acquired));
  }
}

}  // namespace
