// The server's shared helpers: the message pump a waiting thread runs, DSP ids and the
// detail formats.
#include "com/ComServer.h"

#include <gtest/gtest.h>

#include "platform/com.h"

namespace {

// A loop with `messages` waiting, the last `quitAt` (0: none) being the quit message.
class ScriptedLoop : public platform::com::MessageLoop {
 public:
  ScriptedLoop(int messages, int quitAt, int idleRounds)
      : waiting(messages), quitAt(quitAt), idleRounds(idleRounds) {}
  bool HasMessage() override { return waiting > 0; }
  bool PumpMessage() override {
    --waiting;
    ++pumped;
    return pumped != quitAt;
  }
  bool OnIdle(long count) override {
    idleCounts.push_back(count);
    return count + 1 < idleRounds;
  }
  int waiting, quitAt, idleRounds;
  int pumped = 0;
  std::vector<long> idleCounts;
};

TEST(ComServerPump, DispatchesWhatWaitsThenIdlesUntilNoMoreWork) {
  EXPECT_TRUE(PumpComMessages());  // no loop on this thread: nothing to do

  ScriptedLoop loop(3, 0, 3);
  platform::com::SetThreadMessageLoop(&loop);
  EXPECT_TRUE(PumpComMessages());
  EXPECT_EQ(loop.pumped, 3);
  EXPECT_EQ(loop.idleCounts, (std::vector<long>{0, 1, 2}));

  ScriptedLoop quitting(5, 2, 3);
  platform::com::SetThreadMessageLoop(&quitting);
  EXPECT_FALSE(PumpComMessages());
  EXPECT_EQ(quitting.pumped, 2);
  EXPECT_TRUE(quitting.idleCounts.empty());
  platform::com::SetThreadMessageLoop(nullptr);
}

TEST(ComServerHelpers, DspIdsAndDetailFormats) {
  for (int id : {1, 2, 3}) EXPECT_TRUE(IsValidDSPId(id)) << id;
  for (int id : {0, 4, -1}) EXPECT_FALSE(IsValidDSPId(id)) << id;
  EXPECT_EQ(FormatMessageResource(2022, 4u), "DSP id: 4");
  EXPECT_EQ(FormatMessageResource(2013, 0x2001u, 0xC001u), "Address: 0x2001    Value:  0xC001.");
  EXPECT_EQ(FormatMessageResource(1999, 1u), "Missing message resource: 1999");
}

}  // namespace
