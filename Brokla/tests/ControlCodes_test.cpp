// The service's control codes, through `brokla --control` and signals, checked in the
// registry values they write and the log lines they leave; and a clean stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "platform/files.h"
#include "platform/service.h"
#include "support/DaemonFixture.h"

namespace brokla_test {
namespace {

namespace udp = zevasim::udp;

class ControlCodesTest : public DaemonTest {};

TEST_F(ControlCodesTest, PublishBreakRefreshAndUnknownCodes) {
  setDword("BCastAddr", loopback(2));  // only the first instrument hears the refresh
  // A publication of an earlier run, longer than this one.
  setDword("InstrOnNetwork", 3);
  for (const char* stale : {"Instr1", "Instr2", "Instr3", "Instr9"}) setString(stale, "OLD 0 0");
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto a = instrument(2, "SN-A");
  auto b = instrument(3, "SN-B");
  auto c = instrument(4, "SN-C");
  for (auto* sim : {a.get(), b.get(), c.get()}) ASSERT_TRUE(announce(*sim));
  auto holder = connectedApp();
  ASSERT_EQ(holder->lock(2, 1).value_or(LockReply{}).after, 1);

  EXPECT_EQ(control(138), 0);
  EXPECT_TRUE(log_.waitFor("Display Instrument List Control Request."));
  EXPECT_EQ(dword("InstrOnNetwork"), 3u);
  EXPECT_EQ(string("Instr1"), "SN-A 7f000002 0");
  EXPECT_EQ(string("Instr2"), "SN-B 7f000003 1");
  EXPECT_EQ(string("Instr3"), "SN-C 7f000004 0");
  EXPECT_FALSE(string("Instr9"));
  EXPECT_FALSE(string("Instr0"));

  // Refresh: A answers; B does not but is locked; C does not and goes at the next list.
  const std::size_t asked = a->received(udp::kInstrIdentify).size();
  EXPECT_EQ(control(168), 0);
  EXPECT_TRUE(log_.waitFor("Refresh Instrument List Control Request."));
  EXPECT_TRUE(log_.waitFor("Received REFRESH request from service control handler."));
  ASSERT_TRUE(a->waitForReceived(udp::kInstrIdentify, asked + 1));
  ASSERT_TRUE(log_.waitFor("Received INSTR_IDENTIFY event from instrument."));
  EXPECT_EQ(control(138), 0);
  EXPECT_EQ(dword("InstrOnNetwork"), 2u);
  EXPECT_EQ(string("Instr1"), "SN-A 7f000002 0");
  EXPECT_EQ(string("Instr2"), "SN-B 7f000003 1");
  EXPECT_FALSE(string("Instr3"));
  EXPECT_EQ(holder->enumerate().size(), 2u);

  // Breaking a lock: nothing for an empty or unknown serial number, then B's.
  EXPECT_EQ(control(148), 0);
  setString("InstrToUnlock", "SN-NONE");
  EXPECT_EQ(control(148), 0);
  EXPECT_EQ(log_.count("Break Instrument Lock Control Request."), 2);
  auto other = connectedApp();
  EXPECT_EQ(other->lock(2, 1).value_or(LockReply{}).after, 1);  // still held
  setString("InstrToUnlock", "SN-B");
  EXPECT_EQ(control(148), 0);
  EXPECT_TRUE(log_.waitFor("Lock of instrument id=2 (SN: SN-B) broken."));
  const auto taken = other->lock(2, 1);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->before, 0);
  EXPECT_EQ(taken->after, 1);
  EXPECT_FALSE(holder->eventWaiting());  // nobody is told

  // Interrogate only answers. Codes the service does not know are refused by the
  // command; arriving on the control socket all the same, they are logged.
  EXPECT_EQ(control(4), 0);
  EXPECT_EQ(testsupport::readFile(tempDir() + "/control.stdout"),
            "brokla: asked the service for its state; the service is running\n");
  EXPECT_EQ(control(5), 2);
  EXPECT_EQ(log_.count("Unrecognized opcode 5"), 0);
  EXPECT_EQ(platform::service::sendControl("Brokla", 5), platform::service::State::running);
  EXPECT_EQ(platform::service::sendControl("Brokla", 999), platform::service::State::running);
  EXPECT_TRUE(log_.waitFor("Unrecognized opcode 5"));
  EXPECT_TRUE(log_.waitFor("Unrecognized opcode 999"));
}

TEST_F(ControlCodesTest, LogFileChangesOnSighupAndOnTheCode) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  // The log's archive folder is beside it, and follows it when it moves.
  EXPECT_TRUE(platform::directoryExists(tempDir() + "/logs/Archive"));
  setString("LogFile", tempDir() + "/logs/moved.txt");
  ASSERT_TRUE(signalDaemon(SIGHUP));
  EXPECT_TRUE(log_.waitFor("Log File Change Control Request."));
  EXPECT_TRUE(log_.waitFor("Changing to: " + tempDir() + "/logs/moved."));
  // The extension is dropped; the logger numbers its files.
  EXPECT_EQ(control(138), 0);
  EXPECT_THAT(testsupport::readFile(tempDir() + "/logs/moved0.log"),
              testing::HasSubstr("Display Instrument List Control Request."));
  EXPECT_THAT(testsupport::readFile(tempDir() + "/logs/brokla0.log"),
              testing::Not(testing::HasSubstr("Display Instrument List Control Request.")));

  setString("LogFile", tempDir() + "/logs/back.log");
  EXPECT_EQ(control(158), 0);
  EXPECT_EQ(control(138), 0);
  EXPECT_THAT(testsupport::readFile(tempDir() + "/logs/back0.log"),
              testing::HasSubstr("Display Instrument List Control Request."));
  // With no name set the log stays where it is.
  setString("LogFile", "");
  EXPECT_EQ(control(158), 0);
  EXPECT_EQ(control(168), 0);
  EXPECT_THAT(testsupport::readFile(tempDir() + "/logs/back0.log"),
              testing::HasSubstr("Refresh Instrument List Control Request."));

  ASSERT_TRUE(platform::createDirectory(tempDir() + "/elsewhere"));
  setString("LogFile", tempDir() + "/elsewhere/brokla.log");
  EXPECT_EQ(control(158), 0);
  EXPECT_TRUE(platform::directoryExists(tempDir() + "/elsewhere/Archive"));
}

TEST_F(ControlCodesTest, StopIsCleanAndOneInstanceServesAtATime) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto sim = instrument(2, "SN-A");
  ASSERT_TRUE(announce(*sim));
  auto client = connectedApp();

  EXPECT_EQ(runSecondDaemon(), 1);
  EXPECT_TRUE(log_.waitFor("StartServiceCtrlDispatcher error = 98"));  // EADDRINUSE
  EXPECT_EQ(client->enumerate().size(), 1u);                           // the first one serves on

  ASSERT_EQ(stopDaemon(), 0);
  const std::string log = log_.text();
  const auto leaving = log.find("Leaving Connection Manager Service.");
  const auto stopped = log.find("VrelSvc Stopped!  Exiting...");
  ASSERT_NE(leaving, std::string::npos);
  ASSERT_NE(stopped, std::string::npos);
  EXPECT_LT(leaving, stopped);
  EXPECT_THAT(daemonStderr(), testing::HasSubstr("LaserScheduler: Removed 0 timers from system"));
  // Nothing is left serving.
  EXPECT_FALSE(platform::localpipe::Pipe::connect(brokla::kAppPipe, 0ms).isOpen());
  EXPECT_FALSE(platform::service::sendControl("Brokla", 4, 1s));
  EXPECT_EQ(control(4), 1);
  EXPECT_FALSE(client->request(brokla::kMsgEnumerate, {}, 1s));

  // Started again, the code stops it too.
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  EXPECT_EQ(control(1), 0);
  // Stop pending until the instrument thread has cleaned up (it may be done already).
  EXPECT_THAT(testsupport::readFile(tempDir() + "/control.stdout"),
              testing::AnyOf("brokla: asked the service to stop; the service is stop pending\n",
                             "brokla: asked the service to stop; the service is stopped\n"));
  EXPECT_EQ(waitDaemonExit(), 0);
  EXPECT_TRUE(log_.waitFor("VrelSvc Stopped!  Exiting...", 2));
}

}  // namespace
}  // namespace brokla_test
