#include "link/LanComm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <future>
#include <thread>

#include "Jotwell/RegEdit.h"
#include "LinkFixture.h"
#include "link/ErrorIds.h"
#include "link/LanLink.h"
#include "link/LinkState.h"
#include "platform/localpipe.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

class CommandChannelTest : public LinkTest {
 protected:
  static int send(CLanComm& comm, const std::string& line) {
    int written = 0;
    return comm.WriteString(line.c_str(), static_cast<int>(line.size()), &written);
  }
  // The simulator answers "q" with exactly this payload.
  void answerQ(const std::string& payload) {
    sim.setHandler("q", [payload](const zevasim::Request&) {
      zevasim::Reply r;
      r.frames = {payload};
      return r;
    });
  }
  std::string runtimeFile() { return testsupport::readFile(tempDir() + "/runtime.bin"); }

  TestOwner owner;
};

TEST_F(CommandChannelTest, LockCountsAcrossOpenCommandsAndClose) {
  CLanComm comm(&owner);
  EXPECT_EQ(comm.GetTimeout(), 5000);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  EXPECT_TRUE(comm.IsConnected());
  EXPECT_EQ(comm.GetTimeout(), 10000);
  EXPECT_EQ(comm.GetConnectString(), connectString());
  EXPECT_EQ(owner.clockSets, 1);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 1);
  EXPECT_THAT(sim.lines(), testing::ElementsAre("peek 0"));
  EXPECT_THAT(log(), HasSubstr("Opened connection to scanner on "));
  EXPECT_THAT(log(), HasSubstr("Sent Peek, Response=00,00"));

  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(send(comm, "poke 10 " + std::to_string(i) + "\n"), 0);
    EXPECT_EQ(FindLockRecord(comm.GetInstrument())->lockCount, 1);
  }
  // Every command took and gave back a nested lock in the process; only the open's
  // lock reached the manager.
  EXPECT_EQ(manager.countRequests(brokla::kMsgLock, brokla::kLockOpLock), 1);
  EXPECT_EQ(manager.countRequests(brokla::kMsgLock, brokla::kLockOpUnlock), 0);
  EXPECT_EQ(sim.memory(0x10), 2);

  // Opening again only nests the lock; the close gives back every level.
  ASSERT_EQ(comm.OpenDevice(nullptr), 0);
  EXPECT_EQ(FindLockRecord(comm.GetInstrument())->lockCount, 2);
  EXPECT_EQ(comm.CloseDevice(), 0);
  EXPECT_FALSE(comm.IsConnected());
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
  EXPECT_EQ(manager.countRequests(brokla::kMsgLock, brokla::kLockOpUnlock), 1);
  EXPECT_TRUE(Link().records.empty());
  EXPECT_FALSE(IsInstrumentOpen());
  EXPECT_THAT(log(), HasSubstr("Closed connection to scanner on "));
  EXPECT_EQ(send(comm, "peek 0\n"), movrak::kErrConnectionLost);
  EXPECT_EQ(comm.CloseDevice(), 0);
}

TEST_F(CommandChannelTest, WithoutConnectStringTheFirstLockableScannerIsTaken) {
  // Listed first but gone by the time it is locked; then one of another type.
  manager.setVanished(kInstrumentId);
  manager.addInstrument({8, 0x0A000005, 3001, 2, "NOT-A-SCANNER"});
  manager.addInstrument(simEntry(9));
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(""), 0);
  EXPECT_EQ(comm.GetInstrument()->First().id, 9u);
  EXPECT_EQ(manager.lockCount(9), 1);
  EXPECT_EQ(Link().records.size(), 1u);  // the vanished one left no record behind
}

struct FailedOpen {
  const char* what;
  void (*arrange)(FakeConnectionManager&, zevasim::Instrument&);
  bool named;           // by connect string, else the first available instrument
  const char* connect;  // overrides the simulator's connect string
  int expected;
  int foreignLocks = 0;
};

const FailedOpen kFailedOpens[] = {
    {"held by another application", [](auto& m, auto&) { m.setForeignLock(7, 1); }, true, nullptr,
     movrak::kErrLockFailed, 1},
    {"held by another application, first available", [](auto& m, auto&) { m.setForeignLock(7, 1); }, false,
     nullptr, movrak::kErrLockFailed, 1},
    // The connect string names an instrument the manager does not list: not found, not
    // a refused lock, and not "no instruments" while the manager lists one.
    {"not listed", [](auto&, auto&) {}, true, "127.0.0.1_1", movrak::kErrScannerNotFound},
    {"no instruments, named", [](auto& m, auto&) { m.removeInstrument(7); }, true, nullptr,
     movrak::kErrNoInstruments},
    {"vanished", [](auto& m, auto&) { m.setVanished(7); }, true, nullptr, movrak::kErrConnectionLost},
    {"no instruments", [](auto& m, auto&) { m.removeInstrument(7); }, false, nullptr,
     movrak::kErrNoInstruments},
    {"peek fails twice",
     [](auto&, auto& s) {
       s.injectFault("peek", {zevasim::Fault::Kind::closeMidReply, 0, 2});
     },
     true, nullptr, movrak::kErrConnectionLost},
};

void PrintTo(const FailedOpen& c, std::ostream* os) { *os << c.what; }

class FailedOpenTest : public CommandChannelTest, public testing::WithParamInterface<FailedOpen> {};

TEST_P(FailedOpenTest, SaysWhyAndLeavesNothingLocked) {
  const FailedOpen& c = GetParam();
  c.arrange(manager, sim);
  CLanComm comm(&owner);
  const std::string connect = !c.named ? "" : c.connect ? c.connect : connectString();
  EXPECT_EQ(comm.OpenDevice(connect.c_str()), c.expected);
  EXPECT_FALSE(comm.IsConnected());
  EXPECT_FALSE(IsInstrumentOpen());
  EXPECT_EQ(manager.lockCount(kInstrumentId), c.foreignLocks);  // none of ours
  EXPECT_TRUE(Link().records.empty());                          // no record left for a table that is gone
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedOpenTest, testing::ValuesIn(kFailedOpens),
                         [](const testing::TestParamInfo<FailedOpen>& info) {
                           std::string name;
                           for (const char* p = info.param.what; *p; ++p)
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           return name;
                         });

TEST_F(CommandChannelTest, RepliesSplitIntoStatusAndValues) {
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  const struct {
    const char* payload;
    int status;
    const char* rest;
  } cases[] = {
      {"00,1A,2\n", 0, "1A,2"},
      {"0\n", 0, ""},
      {"3F\n", 4096 + 0x3F, ""},
      {"3f,12\n", 4096 + 0x3F, "12"},
      {"14,pos 12\r", 4096 + 0x14, "pos 12"},
      {"0,two\n\n", 0, "two\n"},  // one terminator goes, no more
      {" 5 ,a\n", 4096 + 5, "a"},
      {"zz\n", 512, ""},
      {"0x5,a\n", 512, "a"},
      {"1FFFFFFFF\n", 512, ""},
      {",x\n", 512, "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.payload)));
    answerQ(c.payload);
    ASSERT_EQ(send(comm, "q\n"), 0);
    int status = -1;
    std::string rest = "stale";
    ASSERT_EQ(comm.ReadResponse(&status, rest), 0);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(rest, c.rest);
  }
  EXPECT_THAT(owner.translated, testing::ElementsAre(0x3Fu, 0x3Fu, 0x14u, 5u));

  answerQ("00,1A,2\n");
  ASSERT_EQ(send(comm, "q\n"), 0);
  int status = -1;
  char small[3];
  ASSERT_EQ(comm.ReadResponseString(&status, small, sizeof small), 0);
  EXPECT_STREQ(small, "1A");
  EXPECT_EQ(comm.ReadResponseString(&status, small, 0), movrak::kErrBadParameter);
  std::string text;
  EXPECT_EQ(comm.ReadResponse(nullptr, text), movrak::kErrBadParameter);

  // A counted reply: status, separator, then the values.
  answerQ("4,12,34\n");
  ASSERT_EQ(send(comm, "q\n"), 0);
  char values[16];
  ASSERT_EQ(comm.ReadResponseCount(&status, values, 4), 0);
  EXPECT_EQ(status, 4096 + 4);
  EXPECT_STREQ(values, "12,");
  answerQ("00,12,34\n");
  ASSERT_EQ(send(comm, "q\n"), 0);
  ASSERT_EQ(comm.ReadResponseCount(&status, values, sizeof values), 0);
  EXPECT_EQ(status, 0);
  EXPECT_STREQ(values, "12,34");
}

TEST_F(CommandChannelTest, UnreadRestOfAReplyIsFlushedByTheNextCommand) {
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  answerQ("00,abcdefgh\n");
  ASSERT_EQ(send(comm, "q\n"), 0);
  char buffer[8];
  int read = 0;
  ASSERT_EQ(comm.ReadString(buffer, 7, &read), 0);
  EXPECT_EQ(std::string(buffer, 7), "00,abcd");
  ASSERT_EQ(send(comm, "q\n"), 0);
  EXPECT_THAT(log(), HasSubstr("WriteString: flushing 5 unread bytes"));
  ASSERT_EQ(comm.ReadString(buffer, 7, &read), 0);
  EXPECT_EQ(std::string(buffer, 7), "00,abcd");  // the new reply from its start
}

TEST_F(CommandChannelTest, CommandMutexTimesOutWith634WhileAnotherThreadHoldsIt) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  CLanComm comm(&owner);
  std::promise<void> held, release;
  std::thread holder([&] {
    ASSERT_TRUE(comm.LockComm());
    ASSERT_TRUE(comm.LockComm());  // recursive for its owner, no wait
    held.set_value();
    release.get_future().wait();
    comm.UnlockComm();
    comm.UnlockComm();
  });
  held.get_future().wait();

  auto waiter = std::async(std::launch::async, [&] {
    try {
      CCommLock lock(comm);
    } catch (int e) {
      return e;
    }
    return 0;
  });
  ASSERT_TRUE(clock->waitForWaiters(1));
  clock->advance(4999ms);
  EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
  clock->advance(1ms);
  ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(waiter.get(), movrak::kErrInstrumentBusy);
  EXPECT_THAT(log(), HasSubstr("CommMutex timeout."));

  release.set_value();
  holder.join();
  EXPECT_TRUE(comm.LockComm());
  EXPECT_TRUE(comm.UnlockComm());
  EXPECT_FALSE(comm.UnlockComm());  // not held any more
}

TEST_F(CommandChannelTest, SerialPollAndAbortGoThroughTheManager) {
  CLanComm comm(&owner);
  EXPECT_EQ(comm.SerialPoll(), 255);
  EXPECT_EQ(comm.AbortCommand(), movrak::kErrConnectionLost);
  bool online = false;
  EXPECT_EQ(comm.IsRuntimeOnline(&online), movrak::kErrConnectionLost);

  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  manager.setStatus(kInstrumentId, {true, 0x42, 1});
  EXPECT_EQ(comm.SerialPoll(), 0x42);
  EXPECT_EQ(comm.IsRuntimeOnline(&online), 0);
  EXPECT_TRUE(online);

  EXPECT_EQ(comm.AbortCommand(), 0);
  ASSERT_TRUE(manager.waitForEvents(2));  // NEW APP, then CMD ABORT
  EXPECT_EQ(manager.events()[1].type, brokla::kEventCmdAbort);

  manager.setStatus(kInstrumentId, {false, 0, 0});
  EXPECT_EQ(comm.SerialPoll(), 255);
}

TEST_F(CommandChannelTest, RuntimeDownloadWaitsForThisInstrumentsReboot) {
  const std::string file = tempDir() + "/runtime.bin";
  testsupport::writeFile(file, std::string(1000, 'R'));
  sim.injectFault("boot", {zevasim::Fault::Kind::reboot, 1});  // comes back on a new port
  sim.setRebootListener([&](zevasim::Instrument& in) {
    brokla::InstrumentEntry other = simEntry();
    other.serialNumber = "SOMEONE-ELSE";
    other.port = 1;
    manager.sendRebootEvent(other);
    brokla::InstrumentEntry self = simEntry(kInstrumentId);
    self.port = in.port();
    manager.sendRebootEvent(self);
  });
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  const std::uint16_t oldPort = sim.port();

  EXPECT_EQ(comm.DownloadRuntime(file.c_str()), 0);
  EXPECT_NE(sim.port(), oldPort);
  EXPECT_EQ(comm.GetInstrument()->First().port, sim.port());
  EXPECT_THAT(sim.lines(), testing::ElementsAre("peek 0", "boot", "peek 0"));
  EXPECT_EQ(CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Services\\Dalmor")
                .ReadString("RuntimeFile", ""),
            file);
  EXPECT_TRUE(comm.GetInstrument()->First().interest[brokla::kEventReboot].empty());
  EXPECT_THAT(log(), HasSubstr("Downloading 68K Runtime: " + file));
  EXPECT_THAT(log(), HasSubstr("SOMEONE-ELSE"));
  EXPECT_EQ(send(comm, "peek 0\n"), 0);

  EXPECT_EQ(comm.DownloadRuntime((tempDir() + "/missing.bin").c_str()), movrak::kErrCannotReadFirmware);
  EXPECT_EQ(comm.DownloadRuntime(tempDir().c_str()), movrak::kErrCannotReadFirmware);
  EXPECT_EQ(sim.lines().size(), 4u);  // no "boot" for a file that cannot be read
}

TEST_F(CommandChannelTest, RuntimeDownloadGivesUpWhenNoRebootIsAnnounced) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  clock->setAutoAdvance(true);  // the 100 ms polls cost no real time
  const std::string file = tempDir() + "/runtime.bin";
  testsupport::writeFile(file, std::string(250000, 'R'));
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  const auto before = clock->steadyNow();
  EXPECT_EQ(comm.DownloadRuntime(file.c_str()), movrak::kErrNotReady);
  // 12 s plus 2 s per whole 100000 bytes: 160 polls of 100 ms.
  EXPECT_EQ(clock->steadyNow() - before, 16000ms);
}

TEST_F(CommandChannelTest, ReopenAfterRebootOnlyForItsOwnInstrument) {
  CLanComm comm(&owner);
  ASSERT_EQ(comm.OpenDevice(connectString().c_str()), 0);
  ASSERT_TRUE(manager.waitForEventClients(1));
  EXPECT_FALSE(comm.ReopenAfterReboot());  // nothing happened

  sim.injectFault("poke", {zevasim::Fault::Kind::reboot, 1});
  ASSERT_EQ(send(comm, "poke 1 1\n"), 0);
  ASSERT_TRUE(sim.waitForReboots(1));

  brokla::InstrumentEntry other = simEntry(99);
  other.serialNumber = "SOMEONE-ELSE";
  ASSERT_TRUE(manager.sendRebootEvent(other));
  EXPECT_FALSE(comm.ReopenAfterReboot());
  EXPECT_EQ(sim.lines().size(), 2u);  // no peek for another instrument's reboot
  EXPECT_EQ(comm.GetInstrument()->First().id, kInstrumentId);

  ASSERT_TRUE(manager.sendRebootEvent(simEntry()));
  EXPECT_TRUE(comm.ReopenAfterReboot());
  EXPECT_EQ(comm.GetInstrument()->First().port, sim.port());
  EXPECT_EQ(sim.lines().back(), "peek 0");
  EXPECT_THAT(log(), HasSubstr("Instrument rebooted.  Opened connection to scanner on "));

  // A laser power event is noted, not taken for a reboot.
  ASSERT_TRUE(manager.sendEvent(brokla::kEventLaserPowerChange, {}));
  EXPECT_FALSE(comm.ReopenAfterReboot());
  EXPECT_TRUE(comm.IsLaserPowerChanged());
}

TEST_F(CommandChannelTest, LaserPowerRequestsAreNotForThisModel) {
  CLanComm comm(&owner);
  for (auto call :
       {&CLanComm::LaserPowerStatus, &CLanComm::LaserPowerRequest, &CLanComm::RemoveAllLaserPowerRequests}) {
    try {
      (comm.*call)();
      ADD_FAILURE() << "no error";
    } catch (int e) {
      EXPECT_EQ(e, movrak::kErrUnsupportedModel);
    }
  }
  EXPECT_THROW(CLanComm(nullptr), int);
}

class NoManagerChannelTest : public testsupport::ZevaTest {};

TEST_F(NoManagerChannelTest, OpenWithoutAManagerGives643) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  clock->setAutoAdvance(true);
  TestOwner owner;
  CLanComm comm(&owner);
  EXPECT_EQ(comm.OpenDevice(nullptr), movrak::kErrConnectionManager);
  EXPECT_FALSE(comm.IsConnected());
}

}  // namespace
