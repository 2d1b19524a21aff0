#include "maindlg/SingleInstance.h"

#include <gtest/gtest.h>

#include <atomic>

#include "testsupport/TestEnv.h"

namespace {

using namespace lumetra::maindlg;

class SingleInstanceTest : public testsupport::ZevaTest {};

TEST_F(SingleInstanceTest, ASecondWindowFindsTheFirstAndBringsItForward) {
  EXPECT_EQ(FindRunningInstance([] { FAIL() << "nothing runs yet"; }), RunningInstance::none);

  std::atomic<bool> hostFound{true};
  std::atomic<int> hostAsked{0}, windowRaised{0};
  CScannerGuiServer first({[&] {
                             ++hostAsked;
                             return hostFound.load();
                           },
                           [&] { ++windowRaised; }});
  ASSERT_TRUE(first.Start());
  CScannerGuiServer second({});
  EXPECT_FALSE(second.Start());  // the name is taken

  int told = 0;
  EXPECT_EQ(FindRunningInstance([&] { ++told; }), RunningInstance::hostRaised);
  EXPECT_EQ(told, 0);  // the host's window came forward: nothing to say
  EXPECT_EQ(windowRaised.load(), 0);

  hostFound = false;
  EXPECT_EQ(FindRunningInstance([&] { ++told; }), RunningInstance::windowRaised);
  EXPECT_EQ(told, 1);
  EXPECT_EQ(windowRaised.load(), 1);
  EXPECT_EQ(hostAsked.load(), 2);

  first.Stop();
  EXPECT_EQ(FindRunningInstance([&] { ++told; }), RunningInstance::none);
  CScannerGuiServer third({});
  EXPECT_TRUE(third.Start());  // free again once the first has gone
}

}  // namespace
