// Applications sharing instruments: locks, an application that dies holding one, status
// requests, laser events for the lock owner only, aborts and laser timers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/DaemonFixture.h"

namespace brokla_test {
namespace {

namespace udp = zevasim::udp;

class ArbitrationTest : public DaemonTest {
 protected:
  // A daemon with instruments at 127.0.0.2, .3 ... announced in that order (ids 1, 2 ...).
  void startWithInstruments(int count) {
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    for (int i = 0; i < count; ++i) {
      sims_.push_back(instrument(2 + i, "SN-" + std::string(1, static_cast<char>('A' + i))));
      ASSERT_TRUE(announce(*sims_.back()));
    }
  }
  static LockReply lock(TestApp& app, std::uint32_t id, int operation) {
    const auto r = app.lock(id, operation);
    EXPECT_TRUE(r) << "no reply to lock request " << operation;
    return r.value_or(LockReply{});
  }
  std::vector<std::unique_ptr<zevasim::UdpSide>> sims_;
};

TEST_F(ArbitrationTest, TwoApplicationsArbitrateOneInstrument) {
  ASSERT_NO_FATAL_FAILURE(startWithInstruments(1));
  auto a = connectedApp();
  auto b = connectedApp();
  const struct {
    TestApp* app;
    int operation;
    LockReply reply;
  } steps[] = {
      {a.get(), 1, {0, 0, 1}},                           // A takes it
      {b.get(), 1, {0, 1, 1}},                           // B is refused: the holder's count, unchanged
      {a.get(), 1, {0, 1, 2}},                           // A nests
      {b.get(), 0, {0, 2, 2}},                           // B cannot unlock A's lock
      {a.get(), 0, {0, 2, 1}}, {b.get(), 2, {0, 1, 1}},  // B asks: still taken
      {a.get(), 0, {0, 1, 0}},                           // A lets go
      {b.get(), 1, {0, 0, 1}},                           // now B has it
      {a.get(), 1, {0, 1, 1}},
  };
  for (const auto& s : steps) EXPECT_EQ(lock(*s.app, 1, s.operation), s.reply) << "pid " << s.app->pid();
  // An id the daemon does not know.
  EXPECT_EQ(lock(*a, 99, 1).status, 1);
  EXPECT_TRUE(log_.waitFor("LOCKSTAT Request from Application (msg channel 1)."));
}

TEST_F(ArbitrationTest, AnApplicationThatEndsHoldingALockReleasesIt) {
  ASSERT_NO_FATAL_FAILURE(startWithInstruments(1));
  auto other = connectedApp();
  enum class Ending { requestsFirst, eventsFirst, noEventChannel };
  for (Ending ending : {Ending::requestsFirst, Ending::eventsFirst, Ending::noEventChannel}) {
    SCOPED_TRACE(static_cast<int>(ending));
    auto dying = app();
    const std::string unlocked =
        "Unlocking instrument id=1 (SN: SN-A), lock owner pid=" + std::to_string(dying->pid());
    const std::string removed =
        "App " + std::to_string(dying->pid()) + " exiting...Removed app from app list";
    ASSERT_TRUE(ending == Ending::noEventChannel ? dying->connectRequestsOnly() : dying->connect());
    EXPECT_EQ(lock(*dying, 1, 1), (LockReply{0, 0, 1}));
    EXPECT_EQ(lock(*dying, 1, 1), (LockReply{0, 1, 2}));
    EXPECT_EQ(lock(*other, 1, 1).after, 2);  // refused while it holds it

    if (ending == Ending::eventsFirst) {
      // Its event pipe alone closing frees nothing: it may still use the instrument.
      const int seen = log_.count("EventMonitor: Trying to unlock instrument");
      dying->closeEvents();
      ASSERT_TRUE(log_.waitFor("EventMonitor: Trying to unlock instrument", seen + 1));
      EXPECT_EQ(lock(*other, 1, 1).after, 2);
      EXPECT_EQ(log_.count(removed), 0);
    }
    // Its request pipe closing releases the lock at once, whatever holds the rest.
    dying->closeRequests();
    ASSERT_TRUE(log_.waitFor(unlocked));
    EXPECT_EQ(lock(*other, 1, 1), (LockReply{0, 0, 1}));
    EXPECT_EQ(lock(*other, 1, 0), (LockReply{0, 1, 0}));
    if (ending == Ending::requestsFirst) {
      EXPECT_EQ(log_.count(removed), 0);  // listed until its event pipe closes too
      dying->closeEvents();
    }
    EXPECT_TRUE(log_.waitFor(removed));
    EXPECT_EQ(log_.count(unlocked), 1);
  }
}

TEST_F(ArbitrationTest, StatusRequestsAreAnsweredOrTimeOutWithoutHoldingUpOthers) {
  ASSERT_NO_FATAL_FAILURE(startWithInstruments(2));
  sims_[0]->setStatus(0x1234, 1);
  sims_[1]->setAnswerIdentify(false);
  auto a = connectedApp();
  auto b = connectedApp();

  const auto answered = a->status(1);
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 0);
  EXPECT_EQ(answered->comm, 0x34);  // the low byte
  EXPECT_EQ(answered->laser, 1);
  ASSERT_TRUE(sims_[0]->waitForReceived(udp::kInstrIdentify, 1));
  EXPECT_EQ(sims_[0]->received(udp::kInstrIdentify)[0].dataU32(0), loopback(2));

  // Unknown ids are answered at once.
  const auto unknown = a->status(42, 2s);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 1);

  // An instrument that keeps quiet: the answer comes after the wait, and meanwhile the
  // other application is served.
  const auto start = std::chrono::steady_clock::now();
  CBroklaAppMessage ask;
  ask.SetType(brokla::kMsgStatus);
  ask.SetDataU32(0, 2);
  ask.SetDataLength(4);
  const std::size_t asked = sims_[1]->received(udp::kInstrIdentify).size();
  ASSERT_TRUE(a->requestPipe().write(ask.GetWire(), 1s));
  ASSERT_TRUE(sims_[1]->waitForReceived(udp::kInstrIdentify, asked + 1));
  EXPECT_EQ(b->enumerate().size(), 2u);
  // Had the daemon waited for the instrument first, A's answer would be there before B's.
  EXPECT_EQ(a->requestPipe().peek(), std::optional<std::size_t>(0));
  const auto late = a->readRaw(15s);
  ASSERT_TRUE(late);
  EXPECT_EQ(*late, (Bytes{9, brokla::kMsgStatus, 2, 0, 0, 0, 1, 0, 0}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 4500ms);
}

TEST_F(ArbitrationTest, LaserChangesGoToTheLockOwnerOnlyAndAbortsToItsInstrument) {
  ASSERT_NO_FATAL_FAILURE(startWithInstruments(3));
  auto a = connectedApp();
  auto b = connectedApp();
  ASSERT_EQ(lock(*a, 1, 1).after, 1);
  ASSERT_EQ(lock(*b, 2, 1).after, 1);

  // Announced instruments count as lit: going off is a change, and under a minute on.
  ASSERT_TRUE(sims_[0]->sendStatusChange(0, 0));
  auto event = a->nextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->GetType(), brokla::kEventLaserPowerChange);
  EXPECT_EQ(event->GetDataLength(), 0);
  EXPECT_TRUE(log_.waitFor("Instrument (IP=127.0.0.2) Laser Power Status is now OFF"));
  EXPECT_TRUE(log_.waitFor("Unable to update laser ON time."));
  EXPECT_TRUE(log_.waitFor("Time Laser Went ON: "));
  EXPECT_FALSE(dword("LaserOnMinutes", "SN-A"));

  // Nobody holds the third: nobody hears of it.
  ASSERT_TRUE(sims_[2]->sendStatusChange(0, 0));
  ASSERT_TRUE(log_.waitFor("Event Monitor Notified of Instrument Laser Power Change", 2));

  // B asks for an abort: it goes to B's instrument. Handled after the events above, so
  // by now any event meant for B would be in its pipe.
  ASSERT_TRUE(b->postEvent(brokla::kEventCmdAbort, static_cast<std::uint32_t>(b->pid())));
  ASSERT_TRUE(sims_[1]->waitForReceived(udp::kCmdAbort, 1));
  EXPECT_EQ(sims_[1]->received(udp::kCmdAbort)[0].dataU32(0), loopback(3));
  EXPECT_TRUE(log_.waitFor("Sending ABORT message to Instrument (127.0.0.3)"));
  EXPECT_FALSE(b->eventWaiting());
  EXPECT_FALSE(a->eventWaiting());
  EXPECT_TRUE(sims_[0]->received(udp::kCmdAbort).empty());

  // An abort in another's name is not taken.
  ASSERT_TRUE(a->postEvent(brokla::kEventCmdAbort, static_cast<std::uint32_t>(b->pid())));
  EXPECT_TRUE(log_.waitFor("Refused CMD_ABORT from Application (channel 0): it states pid " +
                           std::to_string(b->pid()) + ", but the process at that channel is pid " +
                           std::to_string(a->pid())));
  EXPECT_EQ(sims_[1]->received(udp::kCmdAbort).size(), 1u);

  ASSERT_TRUE(sims_[1]->sendStatusChange(0, 0));
  event = b->nextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->GetType(), brokla::kEventLaserPowerChange);
  ASSERT_TRUE(sims_[0]->sendStatusChange(0, 1));
  event = a->nextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->GetType(), brokla::kEventLaserPowerChange);
}

TEST_F(ArbitrationTest, AReplacedApplicationsPendingAnswerNeverReachesTheNextOnItsChannel) {
  ASSERT_NO_FATAL_FAILURE(startWithInstruments(2));
  sims_[0]->setAnswerIdentify(false);
  sims_[1]->setAnswerIdentify(false);
  auto first = connectedApp();
  // A status request that waits for a silent instrument, and a request queued behind it.
  CBroklaAppMessage ask;
  ask.SetType(brokla::kMsgStatus);
  ask.SetDataU32(0, 1);
  ask.SetDataLength(4);
  ASSERT_TRUE(first->requestPipe().write(ask.GetWire(), 1s));
  ASSERT_TRUE(first->sendRaw({2, brokla::kMsgEnumerate}));
  ASSERT_TRUE(log_.waitFor("DoInstrStatus: Sent GET_STATUS to instrument thread."));

  // Another application of the same process says hello: the first one is dropped, and
  // the next application takes its channel number.
  auto second = first->twin();
  ASSERT_TRUE(second->connect());
  ASSERT_TRUE(log_.waitFor("Duplicate Process ID (" + std::to_string(first->pid()) + ")!"));
  auto third = connectedApp();
  const auto own = third->status(2, 15s);
  ASSERT_TRUE(own);
  EXPECT_EQ(own->status, 1);
  // Its first answer is its own (instrument 2), not the first application's (1).
  CBroklaAppMessage again;
  again.SetType(brokla::kMsgEnumerate);
  const auto next = third->request(again, 2s);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->GetType(), brokla::kMsgEnumerate);
}

TEST_F(ArbitrationTest, AProcessCannotSpeakInAnothersName) {
  ASSERT_NO_FATAL_FAILURE(startWithInstruments(1));
  auto victim = connectedApp();
  ASSERT_EQ(lock(*victim, 1, 1), (LockReply{0, 0, 1}));

  // A hello in the victim's name is refused and its pipe closed; the victim keeps all.
  auto liar = app();
  const int liarPid = liar->pid();
  liar->statePid(victim->pid());
  EXPECT_FALSE(liar->connectRequestsOnly());
  EXPECT_TRUE(log_.waitFor("Refused New Application (channel 1): it states pid " +
                           std::to_string(victim->pid()) + ", but the process at that channel is pid " +
                           std::to_string(liarPid) + "."));
  EXPECT_EQ(log_.count("Duplicate Process ID"), 0);
  EXPECT_EQ(lock(*victim, 1, 2), (LockReply{0, 1, 1}));

  // An announcement on the event pipe in its name takes nothing over either.
  auto other = connectedApp();
  ASSERT_TRUE(other->postEvent(brokla::kEventNewApp, static_cast<std::uint32_t>(victim->pid())));
  EXPECT_TRUE(log_.waitFor("Refused Event 2 from Application"));
  ASSERT_TRUE(sims_[0]->sendStatusChange(0, 0));
  const auto event = victim->nextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->GetType(), brokla::kEventLaserPowerChange);
  EXPECT_FALSE(other->eventWaiting());
}

TEST_F(ArbitrationTest, LaserTimerRequestsReachTheirInstrumentAndAreRemovedWithTheirKeys) {
  ASSERT_NO_FATAL_FAILURE(startWithInstruments(2));
  auto a = connectedApp();
  // bPowerOn, bOneShot, nMinutesDelay, bRecurring, nRecurrenceInterval, bEnableSkip,
  // nPreloadCount, nSkipCycles, nOnCycles, bIdleTimer, nMinutesIdle
  EXPECT_EQ(a->laserRequest(2, {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);  // on, now
  ASSERT_TRUE(sims_[1]->waitForReceived(udp::kLaserOn, 1));
  EXPECT_EQ(sims_[1]->received(udp::kLaserOn)[0].dataU32(0), loopback(3));
  EXPECT_TRUE(log_.waitFor("Instrument Thread Received LASER_ON event from laser scheduler."));
  EXPECT_TRUE(sims_[0]->received(udp::kLaserOn).empty());

  EXPECT_EQ(a->laserRequest(1, {0, 0, 30, 1, 60, 0, 0, 0, 0, 0, 0}), 0);  // off every hour
  EXPECT_EQ(a->laserRequest(1, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 20}), 0);   // off when idle
  EXPECT_EQ(a->laserRequest(1, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 1);    // names no timer
  EXPECT_EQ(a->laserRequest(9, {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 1);    // no such instrument
  EXPECT_TRUE(keyExists("RecurringTimer0"));
  EXPECT_EQ(dword("InstrumentId", "RecurringTimer0"), 1u);
  EXPECT_EQ(dword("nMinutesIdle", "IdleTimer0"), 20u);

  EXPECT_EQ(a->removeTimers(1), 0);
  EXPECT_TRUE(log_.waitFor("Remove All Laser Power Timers from Application."));
  EXPECT_FALSE(keyExists("RecurringTimer0"));
  EXPECT_FALSE(keyExists("IdleTimer0"));
  ASSERT_EQ(stopDaemon(), 0);
  EXPECT_THAT(daemonStderr(), testing::HasSubstr("LaserScheduler: Removed 2 timers from system\n"));
  EXPECT_THAT(daemonStderr(), testing::HasSubstr("LaserScheduler: Removed 0 timers from system\n"));
}

}  // namespace
}  // namespace brokla_test
