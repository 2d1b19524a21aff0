// The process's shared scanner: handed out by process id, counted, grown by five, and
// deleted only after its status thread has ended.
#include "com/ScanList.h"

#include <gtest/gtest.h>

#include "devices/Scanner.h"
#include "platform/clock.h"
#include "testsupport/TestEnv.h"

namespace {

// The status threads' waits cost no real time.
class ScanListTest : public testsupport::ZevaTest {
 protected:
  ScanListTest() : clock_(std::make_shared<platform::ManualClock>()), scoped_(clock_) {
    clock_->setAutoAdvance(true);
  }
  std::shared_ptr<platform::ManualClock> clock_;
  platform::ScopedClock scoped_;
};

TEST_F(ScanListTest, OneScannerPerProcessCountedByItsUsers) {
  CScanList list;
  CScanner* first = list.GetScanner(100);
  EXPECT_EQ(list.GetScanner(100), first);
  EXPECT_EQ(list.GetRefCount(100), 2);
  list.ReleaseScanner(100);
  EXPECT_EQ(list.GetRefCount(100), 1);
  list.ReleaseScanner(100);
  EXPECT_EQ(list.GetRefCount(100), 0);
  list.ReleaseScanner(100);  // no entry: nothing happens
  list.ReleaseScanner(555);
  EXPECT_EQ(list.GetRefCount(100), 0);
}

TEST_F(ScanListTest, TheTableGrowsByFiveAndReusesFreeEntries) {
  CScanList list;
  EXPECT_EQ(list.GetCapacity(), 5);
  for (int pid = 1; pid <= 5; ++pid) list.GetScanner(pid);
  EXPECT_EQ(list.GetCapacity(), 5);
  list.GetScanner(6);
  EXPECT_EQ(list.GetCapacity(), 10);
  EXPECT_EQ(list.GetRefCount(6), 1);
  list.ReleaseScanner(3);
  list.GetScanner(7);  // takes the freed entry
  EXPECT_EQ(list.GetCapacity(), 10);
  for (int pid : {1, 2, 4, 5, 6, 7}) list.ReleaseScanner(pid);
}

TEST_F(ScanListTest, TheLastReleaseWaitsForTheStatusThreadToEnd) {
  CScanList list;
  CScanner* scanner = list.GetScanner(42);
  scanner->StartStatusThread();
  ASSERT_TRUE(scanner->IsStatusThreadRunning());
  list.ReleaseScanner(42);  // stops the thread, waits, deletes (the sanitizer sees any use after)
  EXPECT_EQ(list.GetRefCount(42), 0);

  // The list's own end does the same for what is left.
  auto other = std::make_unique<CScanList>();
  other->GetScanner(43)->StartStatusThread();
  other.reset();
}

}  // namespace
