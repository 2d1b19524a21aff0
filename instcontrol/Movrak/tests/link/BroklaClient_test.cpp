#include "link/BroklaClient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "LinkFixture.h"
#include "link/ErrorIds.h"
#include "link/LanLink.h"
#include "link/LinkState.h"
#include "platform/localpipe.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::HasSubstr;

class PipeClientTest : public LinkTest {
 protected:
  static std::uint32_t pid() { return static_cast<std::uint32_t>(platform::localpipe::currentProcessId()); }
  static Bytes u32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  }
  // A table of one entry for the instrument with this id.
  static std::unique_ptr<CLanInstr> tableFor(std::uint32_t id) {
    auto t = std::make_unique<CLanInstr>();
    t->entries.emplace_back();
    t->entries.back().id = id;
    return t;
  }
};

TEST_F(PipeClientTest, EnumerationSaysHelloOnceAndFiltersByType) {
  manager.addInstrument({8, 0x0A000005, 3001, 2, "OTHER-TYPE"});
  manager.addInstrument({9, 0x0A000006, 3002, 1, std::string(32, 'L')});
  auto all = EnumerateInstruments(255);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->Count(), 3);
  EXPECT_EQ(all->entries[1].id, 8u);
  EXPECT_EQ(all->entries[1].address, 0x0A000005u);
  EXPECT_EQ(all->entries[1].port, 3001);
  EXPECT_EQ(all->entries[1].type, 2u);
  EXPECT_EQ(all->entries[1].serialNumber, "OTHER-TYPE");
  EXPECT_EQ(all->entries[2].serialNumber, std::string(32, 'L'));

  auto scanners = EnumerateInstruments(1);
  ASSERT_TRUE(scanners);
  ASSERT_EQ(scanners->Count(), 2);
  EXPECT_EQ(scanners->entries[0].id, kInstrumentId);
  EXPECT_EQ(scanners->entries[1].id, 9u);

  // Hello with the process id on the application pipe, NEW APP on the event pipe.
  const auto requests = manager.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].type, brokla::kMsgHello);
  EXPECT_EQ(requests[0].data, u32(pid()));
  ASSERT_TRUE(manager.waitForEvents(1));
  EXPECT_EQ(manager.events()[0].type, brokla::kEventNewApp);
  EXPECT_EQ(manager.events()[0].data, u32(pid()));
  EXPECT_THAT(log(), HasSubstr("Connected to Connection Manager."));
  EXPECT_THAT(log(), HasSubstr("Connected to Event Manager."));
}

TEST_F(PipeClientTest, MalformedEnumerationRepliesGiveNoTable) {
  const struct {
    const char* what;
    Bytes reply;
  } cases[] = {
      {"wrong type", {2, brokla::kMsgLock}},
      {"length byte below the header", {1, brokla::kMsgEnumerate}},
      {"length byte beyond the bytes read", {45, brokla::kMsgEnumerate, 7, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    manager.scriptReply(brokla::kMsgEnumerate, c.reply);
    EXPECT_EQ(EnumerateInstruments(255), nullptr);
  }
  // A reply cut inside an entry keeps the whole entries only.
  Bytes cut = {2 + 43 + 10, brokla::kMsgEnumerate};
  CBroklaAppMessage m;
  brokla::PutInstrumentEntry(m, 0, simEntry());
  cut.insert(cut.end(), m.GetBuffer() + 2, m.GetBuffer() + 2 + 43);
  cut.resize(cut.size() + 10, 0xEE);
  manager.scriptReply(brokla::kMsgEnumerate, cut);
  auto table = EnumerateInstruments(255);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->Count(), 1);
  EXPECT_EQ(manager.countRequests(brokla::kMsgHello), 1);  // the pipes stayed open throughout
}

TEST_F(PipeClientTest, UnansweredRequestClosesThePipesSoALateReplyCannotBeMisread) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  ASSERT_TRUE(EnumerateInstruments(255));
  manager.scriptReply(brokla::kMsgEnumerate, {});  // no answer at all
  auto waiting = std::async(std::launch::async, [] { return EnumerateInstruments(255); });
  driveUntilReady(*clock, waiting);
  EXPECT_EQ(waiting.get(), nullptr);
  EXPECT_FALSE(IsConnectionManagerConnected());
  EXPECT_THAT(log(), HasSubstr("Timed out waiting for rsp from Connection Manager ("));
  // The next enumeration starts over with a hello.
  ASSERT_TRUE(EnumerateInstruments(255));
  EXPECT_EQ(manager.countRequests(brokla::kMsgHello), 2);
}

TEST_F(PipeClientTest, ConnectStringMatchesAddressAndPortExactly) {
  manager.addInstrument({20, 0x0A000005, 300, 1, "PORT300"});
  manager.addInstrument({21, 0x0A000005, 3001, 1, "PORT3001"});
  const struct {
    const char* connect;
    int id;  // 0: no match
  } cases[] = {
      {"10.0.0.5_3001", 21}, {"10.0.0.5_300", 20},  {"10.0.0.5_30", 0},  {"10.0.0.5_3002", 0},
      {"10.0.0.5_300 ", 0},  {"10.0.0.05_300", 20}, {"10.0.0.5:300", 0}, {"10.0.0.5_70000", 0},
      {"10.0.0.256_300", 0}, {"garbage", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.connect);
    std::unique_ptr<CLanInstr> table;
    const bool locked = isLockedInstrument(c.connect, table, false);
    if (c.id == 0) {
      EXPECT_FALSE(locked);
      EXPECT_EQ(table, nullptr);  // untouched
    } else {
      ASSERT_TRUE(table);
      ASSERT_EQ(table->Count(), 1);
      EXPECT_EQ(table->First().id, static_cast<std::uint32_t>(c.id));
      ForgetInstrument(table.get());
    }
  }
  EXPECT_THAT(log(), HasSubstr("Illegal port number: 70000\r\n"));
  EXPECT_THAT(log(), HasSubstr("Illegal internet address: 10.0.0.256\r\n"));
  EXPECT_THAT(log(), HasSubstr("Lock Request on Unknown Instrument"));
}

TEST_F(PipeClientTest, NestedLocksStayInTheProcessUntilTheLast) {
  std::unique_ptr<CLanInstr> table;
  ASSERT_TRUE(isLockedInstrument(connectString().c_str(), table, true));
  EXPECT_EQ(manager.lockCount(kInstrumentId), 1);
  const int lockRequests = manager.countRequests(brokla::kMsgLock);

  ASSERT_TRUE(isLockedInstrument(table.get(), true));   // nested: local only
  EXPECT_TRUE(isLockedInstrument(table.get(), false));  // query while held: local only
  EXPECT_EQ(manager.countRequests(brokla::kMsgLock), lockRequests);
  EXPECT_EQ(UnlockInstrument(table.get()), 1);
  EXPECT_EQ(manager.countRequests(brokla::kMsgLock), lockRequests);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 1);

  EXPECT_EQ(UnlockInstrument(table.get()), 0);  // the last one goes to the manager
  EXPECT_EQ(manager.countRequests(brokla::kMsgLock, brokla::kLockOpUnlock), 1);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
  ForgetInstrument(table.get());
}

// The manager dies while this process holds the instrument: the failed request closes
// the pipes, but the commands of the open device go on taking the lock locally (asking a
// manager that is gone would fail every one of them as "locked by another user").
TEST_F(PipeClientTest, AManagerLostWhileTheInstrumentIsHeldLeavesItToThisProcess) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  std::unique_ptr<CLanInstr> table;
  ASSERT_TRUE(isLockedInstrument(connectString().c_str(), table, true));
  manager.scriptReply(brokla::kMsgStatus, {});  // no answer any more
  auto status = std::async(std::launch::async, [&] {
    std::uint8_t comm = 0, laser = 0;
    return GetInstrumentStatus(table.get(), &comm, &laser);
  });
  driveUntilReady(*clock, status);
  EXPECT_FALSE(status.get());
  EXPECT_FALSE(IsConnectionManagerConnected());
  const int lockRequests = manager.countRequests(brokla::kMsgLock);

  for (int command = 0; command < 3; ++command) {
    ASSERT_TRUE(isLockedInstrument(table.get(), true));
    EXPECT_EQ(UnlockInstrument(table.get()), 1);
  }
  EXPECT_EQ(manager.countRequests(brokla::kMsgLock), lockRequests);
  // Letting go needs the manager: the last unlock fails, and closing the link forgets the lock.
  EXPECT_EQ(UnlockInstrument(table.get()), 0);
  EXPECT_THAT(log(), HasSubstr("Error writing message to Connection Manager ("));
  DisconnectConnectionManager();
  EXPECT_FALSE(isLockedInstrument(table.get(), false));
  ForgetInstrument(table.get());
}

TEST_F(PipeClientTest, LockHeldElsewhereIsRefusedAndAVanishedInstrumentThrows566) {
  manager.setForeignLock(kInstrumentId, 2);
  std::unique_ptr<CLanInstr> table;
  EXPECT_FALSE(isLockedInstrument(connectString().c_str(), table, true));  // before 2, after 2
  ASSERT_TRUE(table);
  EXPECT_TRUE(isLockedInstrument(table.get(), false));  // a query: someone holds it
  EXPECT_EQ(UnlockInstrument(table.get()), 0);
  EXPECT_THAT(log(), HasSubstr("UnlockInstrument: tried to unlock somebody else's instrument"));

  manager.removeInstrument(kInstrumentId);
  EXPECT_THROW(isLockedInstrument(table.get(), true), int);
  try {
    isLockedInstrument(table.get(), true);
  } catch (int e) {
    EXPECT_EQ(e, movrak::kErrConnectionLost);
  }
  EXPECT_THAT(log(), HasSubstr("Unable to Lock instrument - no longer available."));
  ForgetInstrument(table.get());
}

TEST_F(PipeClientTest, MalformedLockAndStatusRepliesAreFailures) {
  ASSERT_TRUE(EnumerateInstruments(255));
  auto table = tableFor(kInstrumentId);
  const Bytes id = u32(kInstrumentId);
  auto reply = [&](int type, Bytes data) {
    Bytes b = {static_cast<std::uint8_t>(data.size() + 2), static_cast<std::uint8_t>(type)};
    b.insert(b.end(), data.begin(), data.end());
    return b;
  };
  auto with = [&](Bytes head, Bytes tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const struct {
    const char* what;
    Bytes reply;
  } cases[] = {
      {"wrong type", reply(brokla::kMsgStatus, with(id, {0, 0, 1}))},
      {"wrong id", reply(brokla::kMsgLock, with(u32(99), {0, 0, 1}))},
      {"no counts", reply(brokla::kMsgLock, with(id, {0}))},
      {"no status", reply(brokla::kMsgLock, id)},
      {"unknown status byte", reply(brokla::kMsgLock, with(id, {7, 0, 1}))},
      {"length beyond the bytes", {40, brokla::kMsgLock, 7, 0, 0, 0, 0, 0, 1}},
      {"length below the header", {1, brokla::kMsgLock, 7, 0, 0, 0, 0, 0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    manager.scriptReply(brokla::kMsgLock, c.reply);
    EXPECT_FALSE(isLockedInstrument(table.get(), true));
    ASSERT_TRUE(FindLockRecord(table.get()));
    EXPECT_FALSE(FindLockRecord(table.get())->locked);
  }
  const struct {
    const char* what;
    Bytes reply;
  } statusCases[] = {
      {"wrong type", reply(brokla::kMsgLock, with(id, {0, 5, 6}))},
      {"wrong id", reply(brokla::kMsgStatus, with(u32(99), {0, 5, 6}))},
      {"not answered", reply(brokla::kMsgStatus, with(id, {1, 0, 0}))},
      {"no status bytes", reply(brokla::kMsgStatus, with(id, {0}))},
      {"length beyond the bytes", {12, brokla::kMsgStatus, 7, 0, 0, 0, 0, 5, 6}},
  };
  for (const auto& c : statusCases) {
    SCOPED_TRACE(c.what);
    manager.scriptReply(brokla::kMsgStatus, c.reply);
    std::uint8_t comm = 0xAA, laser = 0xAA;
    EXPECT_FALSE(GetInstrumentStatus(table.get(), &comm, &laser));
    EXPECT_EQ(comm, 0xAA);
  }
  manager.setStatus(kInstrumentId, {true, 0x42, 1});
  std::uint8_t comm = 0, laser = 0;
  EXPECT_TRUE(GetInstrumentStatus(table.get(), &comm, &laser));
  EXPECT_EQ(comm, 0x42);
  EXPECT_EQ(laser, 1);
  ForgetInstrument(table.get());
}

TEST_F(PipeClientTest, EventsNotAskedForAreReadAndDropped) {
  ASSERT_TRUE(EnumerateInstruments(255));
  ASSERT_TRUE(manager.waitForEventClients(1));
  ASSERT_TRUE(manager.sendEvent(brokla::kEventLaserPowerChange, {}));
  ASSERT_TRUE(manager.sendEvent(9, {1, 2, 3}));
  ASSERT_TRUE(manager.sendRawEvent({40, brokla::kEventReboot, 1}));  // length beyond the bytes
  ASSERT_TRUE(manager.sendRebootEvent(simEntry()));

  EventMask want;
  want.SetBit(brokla::kEventReboot);
  EventMask got;
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(GetInstrEvent(nullptr, want, got, data));
  EXPECT_TRUE(got.TestBit(brokla::kEventReboot));
  EXPECT_FALSE(got.TestBit(brokla::kEventLaserPowerChange));
  ASSERT_EQ(data.size(), 43u);
  EXPECT_EQ(brokla::ParseInstrumentEntry(data)->serialNumber, kSerial);
  EXPECT_FALSE(GetInstrEvent(nullptr, want, got, data));  // nothing left, and no wait

  EventMask abort;
  abort.SetBit(brokla::kEventCmdAbort);
  EXPECT_TRUE(PostInstrEvent(nullptr, abort, 0));
  ASSERT_TRUE(manager.waitForEvents(2));
  EXPECT_EQ(manager.events()[1].type, brokla::kEventCmdAbort);
  EXPECT_EQ(manager.events()[1].data, u32(pid()));
  EXPECT_FALSE(PostInstrEvent(nullptr, EventMask(1u << 7), 0));
  EXPECT_THAT(log(), HasSubstr("PostInstrEvent called for unrecognized event!"));
}

TEST_F(PipeClientTest, HelloAnsweredWronglyLeavesThePipesClosed) {
  manager.scriptReply(brokla::kMsgHello, {2, brokla::kMsgEnumerate});
  EXPECT_EQ(EnumerateInstruments(255), nullptr);
  EXPECT_FALSE(IsConnectionManagerConnected());
  EXPECT_THAT(log(), HasSubstr("Received unexpected response from Connection Manager (51, should be 50)"));
}

class NoManagerTest : public testsupport::ZevaTest {};

TEST_F(NoManagerTest, MissingManagerIsGivenUpAfterOneSecond) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  clock->setAutoAdvance(true);
  const auto before = clock->steadyNow();
  EXPECT_EQ(EnumerateInstruments(255), nullptr);
  EXPECT_GE(clock->steadyNow() - before, std::chrono::milliseconds(1000));
  EXPECT_FALSE(IsConnectionManagerConnected());
}

}  // namespace
