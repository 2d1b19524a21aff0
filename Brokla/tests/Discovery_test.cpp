// Instruments finding the daemon: announcements, the ports handed out, duplicates,
// reboots, identify replies, two instruments at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/registry.h"
#include "support/DaemonFixture.h"

namespace brokla_test {
namespace {

namespace udp = zevasim::udp;

Bytes replyBytes(std::uint8_t type, std::uint32_t sequence, std::uint16_t port) {
  return {8,
          type,
          static_cast<std::uint8_t>(sequence >> 24),
          static_cast<std::uint8_t>(sequence >> 16),
          static_cast<std::uint8_t>(sequence >> 8),
          static_cast<std::uint8_t>(sequence),
          static_cast<std::uint8_t>(port >> 8),
          static_cast<std::uint8_t>(port)};
}

class DiscoveryTest : public DaemonTest {};

TEST_F(DiscoveryTest, PortsCycleThroughTenAndCarryOnAcrossRestarts) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto first = instrument(2, "SN-1");
  EXPECT_EQ(announce(*first), instrBase_);  // no "NextPortNum" yet: the base
  EXPECT_EQ(first->received(udp::kNewInstr).back().raw, replyBytes(udp::kNewInstr, 0, instrBase_));
  EXPECT_EQ(dword("NextPortNum"), instrBase_);
  ASSERT_EQ(stopDaemon(), 0);

  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto second = instrument(3, "SN-2");
  EXPECT_EQ(announce(*second), instrBase_ + 1);
  ASSERT_EQ(stopDaemon(), 0);

  // The last of the ten is followed by the first.
  setDword("NextPortNum", instrBase_ + 9);
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto third = instrument(4, "SN-3");
  EXPECT_EQ(announce(*third), instrBase_);
  auto fourth = instrument(5, "SN-4");
  EXPECT_EQ(announce(*fourth), instrBase_ + 1);
  EXPECT_EQ(dword("NextPortNum"), instrBase_ + 1);
}

TEST_F(DiscoveryTest, NewInstrumentDuplicateAnnouncementAndReboots) {
  // The application to start for a new instrument: it notes where it runs and what it got.
  const std::string folder = tempDir() + "/app";
  ::mkdir(folder.c_str(), 0755);
  testsupport::writeFile(folder + "/start.sh",
                         "#!/bin/sh\nprintf '%s|%s|%s' \"$PWD\" \"$1\" \"$#\" > started.tmp\n"
                         "mv started.tmp started.txt\n");
  ::chmod((folder + "/start.sh").c_str(), 0755);
  setDword("Spawn", 1);
  setString("SpawnApp", folder + "/start.sh");
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto owner = connectedApp();

  auto sim = instrument(2, "SN-NEW", 3);
  const auto port = announce(*sim);
  ASSERT_EQ(port, instrBase_);
  char hexPort[8];
  std::snprintf(hexPort, sizeof hexPort, "%04X", instrBase_);
  EXPECT_TRUE(log_.waitFor(std::string("New Instrument (IP=127.0.0.2, port=") + hexPort + ") Connected on"));
  ASSERT_TRUE(
      log_.waitFor("Event Monitor Spawning App: " + folder + "/start.sh 127.0.0.2_" + std::to_string(*port)));
  const auto started = std::chrono::steady_clock::now() + kWait;
  while (testsupport::readFile(folder + "/started.txt").empty() && std::chrono::steady_clock::now() < started)
    platform::sleepFor(5ms);
  EXPECT_EQ(testsupport::readFile(folder + "/started.txt"),
            folder + "|127.0.0.2_" + std::to_string(*port) + "|1");

  const auto entries = owner->enumerate();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], (brokla::InstrumentEntry{1, loopback(2), *port, 3, "SN-NEW"}));
  const auto locked = owner->lock(1, 1);
  ASSERT_TRUE(locked);
  ASSERT_EQ(locked->after, 1);

  // The same announcement again before anything else: a duplicate, answered alike.
  EXPECT_EQ(announce(*sim), port);
  EXPECT_TRUE(log_.waitFor("This IP address already exists! Duplicate event?"));
  EXPECT_EQ(sim->received(udp::kNewInstr).back().raw, replyBytes(udp::kNewInstr, 0, *port));

  // After other traffic an announcement means it restarted: the owner hears of it.
  ASSERT_TRUE(sim->sendStatusChange(0x10, 1));
  ASSERT_TRUE(log_.waitFor("COMM Status Changed from 0x0 to 0x10"));
  EXPECT_EQ(announce(*sim), port);
  EXPECT_TRUE(log_.waitFor("This IP address already exists! Instrument rebooted?"));
  auto event = owner->nextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->GetType(), brokla::kEventReboot);
  ASSERT_EQ(event->GetDataLength(), brokla::kInstrumentEntrySize);
  EXPECT_EQ(brokla::ParseInstrumentEntry(event->GetWire().subspan(2)), entries[0]);

  // A soft boot: taken only once the instrument has said something since announcing.
  ASSERT_TRUE(sim->sendReboot());  // right after the announcement: dropped
  ASSERT_TRUE(sim->sendStatusChange(0x11, 1));
  ASSERT_TRUE(log_.waitFor("COMM Status Changed from 0x10 to 0x11"));
  EXPECT_EQ(log_.count("Received INSTR_REBOOT event from instrument."), 0);
  ASSERT_TRUE(sim->sendReboot());
  ASSERT_TRUE(sim->waitForReceived(udp::kInstrReboot, 1));
  EXPECT_EQ(sim->received(udp::kInstrReboot)[0].raw, replyBytes(udp::kInstrReboot, 0, *port));
  EXPECT_TRUE(log_.waitFor("Soft-booted Instrument (IP=127.0.0.2) Connected on"));
  event = owner->nextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->GetType(), brokla::kEventReboot);

  // Only the new instrument started the application; nothing else is waiting.
  EXPECT_EQ(log_.count("Event Monitor Spawning App:"), 1);
  EXPECT_FALSE(owner->eventWaiting());
}

TEST_F(DiscoveryTest, InstrumentsAnsweringTheIdentifyBroadcastsAreListedWithTheirOwnPorts) {
  // The default broadcast reaches one instrument, the customised interface's the other.
  setDword("BCastAddr", loopback(2));
  const std::string dalmor = "Software\\Tarsel\\ZevazOdizo\\Services\\Dalmor";
  EXPECT_EQ(platform::registry::createKey(platform::HKEY_LOCAL_MACHINE, dalmor), platform::registry::kOk);
  EXPECT_EQ(platform::registry::setValue(platform::HKEY_LOCAL_MACHINE, dalmor, "IfaceAddr",
                                         platform::registry::makeDword(0x7F000201)),
            platform::registry::kOk);
  setDword("Spawn", 1);
  setString("SpawnApp", tempDir() + "/never.sh");

  zevasim::UdpOptions o;
  o.eventPort = eventPort_;
  o.address = loopback(2);
  o.serialNumber = "SN-DEFAULT";
  o.tcpPort = 3001;
  o.commStatus = 0x21;
  o.laserState = 1;
  zevasim::UdpSide a(o);
  o.address = 0x7F0002FF;  // 127.0.2.255
  o.serialNumber = "SN-CUSTOM";
  o.tcpPort = 3002;
  zevasim::UdpSide b(o);
  ASSERT_TRUE(a.start() && b.start());
  ASSERT_NO_FATAL_FAILURE(startDaemon());

  ASSERT_TRUE(a.waitForReceived(udp::kInstrIdentify, 1));
  ASSERT_TRUE(b.waitForReceived(udp::kInstrIdentify, 1));
  EXPECT_EQ(a.received(udp::kInstrIdentify)[0].dataU32(0), loopback(2));
  EXPECT_EQ(b.received(udp::kInstrIdentify)[0].dataU32(0), 0x7F0002FFu);
  EXPECT_TRUE(log_.waitFor("Found a customized lan interface address (IfaceAddr=127.0.2.1)"));
  ASSERT_TRUE(log_.waitFor("New Instrument has Identified Itself", 2));

  auto app = connectedApp();
  auto entries = app->enumerate();
  ASSERT_EQ(entries.size(), 2u);
  std::sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.port < y.port; });
  EXPECT_EQ(entries[0].serialNumber, "SN-DEFAULT");
  EXPECT_EQ(entries[0].port, 3001);
  EXPECT_EQ(entries[1].serialNumber, "SN-CUSTOM");
  EXPECT_EQ(entries[1].port, 3002);
  // Found this way, they start no application and got no port of the range.
  EXPECT_EQ(log_.count("Event Monitor Notified of New Instrument Arrival"), 0);
  EXPECT_FALSE(dword("NextPortNum"));
  // An identify with nothing but a target address is a request, not an answer.
  ASSERT_TRUE(a.sendRaw(udp::encode(udp::kInstrIdentify, 50, Bytes{127, 0, 0, 2})));
  ASSERT_TRUE(a.sendStatusChange(0x21, 0));
  ASSERT_TRUE(log_.waitFor("Instrument (IP=127.0.0.2) Laser Power Status is now OFF"));
  EXPECT_EQ(log_.count("Received INSTR_IDENTIFY event from instrument."), 2);
}

TEST_F(DiscoveryTest, TwoInstrumentsInterleavedKeepTheirOwnSequenceNumbers) {
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  auto a = instrument(2, "SN-A");
  auto b = instrument(3, "SN-B");
  ASSERT_TRUE(announce(*a));
  ASSERT_TRUE(announce(*b));
  // Both number their datagrams from 1 after the announcement, interleaved.
  ASSERT_TRUE(a->sendStatusChange(0xA1, 1));
  ASSERT_TRUE(b->sendStatusChange(0xB1, 1));
  ASSERT_TRUE(a->sendStatusChange(0xA2, 1));
  ASSERT_TRUE(b->sendStatusChange(0xB2, 1));
  for (const char* change :
       {"from 0x0 to 0xa1", "from 0x0 to 0xb1", "from 0xa1 to 0xa2", "from 0xb1 to 0xb2"})
    EXPECT_TRUE(log_.waitFor(change)) << change;
  EXPECT_EQ(log_.count("Ignoring Repeat Packet"), 0);

  // An old number from one of them is a repeat, and changes nothing.
  a->setNextSequence(1);
  ASSERT_TRUE(a->sendStatusChange(0xA3, 0));
  ASSERT_TRUE(log_.waitFor("Ignoring Repeat Packet"));
  EXPECT_TRUE(log_.waitFor("Incoming Sequence Number: 1"));
  EXPECT_TRUE(log_.waitFor("Previous Sequence Number: 3"));
  ASSERT_TRUE(b->sendStatusChange(0xB3, 1));
  ASSERT_TRUE(log_.waitFor("from 0xb2 to 0xb3"));
  EXPECT_EQ(log_.count("to 0xa3"), 0);
  EXPECT_EQ(log_.count("Laser Power Status is now OFF"), 0);
}

TEST_F(DiscoveryTest, AFloodOfMadeUpIdentifyRepliesNeitherGrowsTheListNorHidesARealInstrument) {
  setDword("MaxInstruments", 16);
  ASSERT_NO_FATAL_FAILURE(startDaemon());
  // Identify replies from addresses where nothing answers an identify request.
  int sent = 0;
  auto flood = [&](int n) {
    for (int i = 0; i < n; ++i, ++sent) {
      const std::string serial = "FAKE-" + std::to_string(sent);
      Bytes data{0, 0, 0x0B, 0xB8, 1};
      data.insert(data.end(), serial.begin(), serial.end());
      ASSERT_TRUE(sendDatagram(udp::encode(udp::kInstrIdentify, 0, data), eventPort_,
                               0x7F010000u + static_cast<std::uint32_t>(sent + 1)));
    }
    ASSERT_TRUE(log_.waitFor("Received INSTR_IDENTIFY event from instrument.", sent));
  };
  ASSERT_NO_FATAL_FAILURE(flood(40));
  auto real = instrument(2, "SN-REAL");
  ASSERT_TRUE(announce(*real));
  ASSERT_TRUE(real->waitForReceived(udp::kInstrIdentify, 1));  // asked who it is, it answers
  ASSERT_TRUE(log_.waitFor("Received INSTR_IDENTIFY event from instrument.", sent + 1));
  ASSERT_NO_FATAL_FAILURE(flood(40));

  auto app = connectedApp();
  const auto entries = app->enumerate();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0].serialNumber, "SN-REAL");
  EXPECT_EQ(entries[0].address, loopback(2));
  EXPECT_TRUE(
      log_.waitFor("Instrument list near its bound (16): dropped instrument id=1 (IP=127.1.0.1, SN: "
                   "FAKE-0), which never answered an identify request."));
  // Of 81 instruments heard of, at most 16 are kept: the oldest made-up ones went first.
  EXPECT_GE(log_.count("which never answered an identify request."), 81 - 16);
  EXPECT_EQ(log_.count("SN: SN-REAL), which never"), 0);
}

}  // namespace
}  // namespace brokla_test
