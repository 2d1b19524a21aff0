// Worker threads' messages to a wx window: order, the sender's wait, and a window that
// goes while a worker waits on it.
#include "run/ui/WxMessageTarget.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wx/thread.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RunWindowsFixture.h"
#include "platform/sync.h"

namespace {

using lumetra::WxMessageTarget;
using ::testing::ElementsAre;

class MessageTargetTest : public wxtest::RunWindowTest {};

TEST_F(MessageTargetTest, PostedAndSentMessagesRunInOrderOnTheWindowsThread) {
  std::vector<std::string> handled;
  bool allOnMainThread = true;
  auto target = WxMessageTarget::Create([&](unsigned m, std::uintptr_t w, std::intptr_t, bool sent) {
    allOnMainThread = allOnMainThread && wxThread::IsMain();
    handled.push_back(std::to_string(m) + (sent ? " sent " : " posted ") + std::to_string(w));
    return static_cast<std::intptr_t>(w * 2);
  });
  std::intptr_t answer = 0;
  std::thread worker([&] {
    target->post(1, 1, 0);
    answer = target->send(2, 21, 0);  // waits for the window
    target->post(3, 3, 0);
  });
  EXPECT_TRUE(wxtest::runUntil([&] { return handled.size() == 3; }));
  worker.join();
  EXPECT_THAT(handled, ElementsAre("1 posted 1", "2 sent 21", "3 posted 3"));
  EXPECT_TRUE(allOnMainThread);
  EXPECT_EQ(answer, 42);
  EXPECT_EQ(target->send(4, 5, 0), 10);  // from the window's own thread: at once
}

TEST_F(MessageTargetTest, ADetachedWindowReleasesItsWaitingSenderAndDropsQueuedPosts) {
  int handled = 0;
  auto target =
      WxMessageTarget::Create([&](unsigned, std::uintptr_t, std::intptr_t, bool) { return ++handled; });
  platform::Event sending(true), returned(true);
  std::intptr_t answer = -1;
  std::thread worker([&] {
    target->post(7, 0, 77);
    target->postText(6, 0, "queued");  // owned by the message: dropped with it
    sending.set();
    answer = target->send(8, 0, 88);  // nobody runs the window's events
    returned.set();
  });
  ASSERT_TRUE(sending.wait(std::chrono::seconds(30)));
  target->Detach();  // the window closes
  EXPECT_TRUE(returned.wait(std::chrono::seconds(30)));
  worker.join();
  EXPECT_EQ(answer, 0);
  EXPECT_FALSE(target->post(9, 0, 99));
  EXPECT_FALSE(target->postText(9, 0, "late"));
  EXPECT_EQ(target->send(10, 0, 0), 0);
  wxtest::settle();  // the queued posts meet the detached window
  EXPECT_EQ(handled, 0);
}

TEST_F(MessageTargetTest, APostedTextReachesTheHandlerAfterTheSendersCopyIsGone) {
  std::vector<std::string> texts;
  auto target = WxMessageTarget::Create([&](unsigned, std::uintptr_t, std::intptr_t l, bool sent) {
    texts.push_back(std::string(sent ? "sent " : "posted ") + reinterpret_cast<const char*>(l));
    return 0;
  });
  std::thread worker([&] {
    {
      std::string text = "Polling scanner status";
      ASSERT_TRUE(target->postText(1, 0, text));
    }  // the worker's string is gone before the window runs
    ASSERT_TRUE(target->postText(1, 0, std::string(5000, 'x')));
  });
  worker.join();
  EXPECT_TRUE(wxtest::runUntil([&] { return texts.size() == 2; }));
  EXPECT_THAT(texts, ElementsAre("posted Polling scanner status", "posted " + std::string(5000, 'x')));
}

}  // namespace
