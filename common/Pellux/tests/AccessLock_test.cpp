// The port's access lock between threads.
#include <future>
#include <thread>

#include "BoardFixture.h"
#include "platform/thread.h"

namespace {
using PelluxLockTest = BoardTest;
}

TEST_F(PelluxLockTest, ALockAbandonedByAFinishedThreadIsTaken) {
  CScanDataPort port;
  std::thread([&] { ASSERT_TRUE(port.LockAccess()); }).join();
  EXPECT_TRUE(port.LockAccess());
  EXPECT_TRUE(logHas("DataPortMutex: locked (WAIT_ABANDONED). [count = 1]"));
  EXPECT_TRUE(port.LockAccess());  // the owner may take it again
  EXPECT_TRUE(port.ReleaseAccess());
  EXPECT_TRUE(port.ReleaseAccess());
}

TEST_F(PelluxLockTest, ALockHeldElsewhereTimesOutAfterFiveSeconds) {
  clock_->setAutoAdvance(false);
  CScanDataPort port;
  ASSERT_TRUE(port.LockAccess());
  auto other = std::async(std::launch::async, [&] {
    const bool locked = port.LockAccess();
    const bool released = port.ReleaseAccess();  // not the owner
    return std::make_pair(locked, released);
  });
  ASSERT_TRUE(clock_->waitForWaiters(1));
  clock_->advance(std::chrono::milliseconds(4999));
  EXPECT_EQ(other.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  clock_->advance(std::chrono::milliseconds(1));
  const auto [locked, released] = other.get();
  EXPECT_FALSE(locked);
  EXPECT_FALSE(released);
  EXPECT_TRUE(logHas("DataPortMutex: timeout."));
  EXPECT_TRUE(logHas("DataPortMutex: unlock failed."));
  EXPECT_TRUE(port.ReleaseAccess());
}
