#include "zevasim/SimUdp.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/TestEnv.h"

namespace {

using namespace std::chrono_literals;
namespace net = platform::net;
using zevasim::UdpOptions;
using zevasim::UdpSide;
namespace udp = zevasim::udp;

using Bytes = std::vector<std::uint8_t>;

// The manager's end: 127.0.0.1 on the event port the instrument uses.
class SimUdpTest : public testsupport::ZevaTest {
 protected:
  void SetUp() override {
    ::setenv("ZEVA_NET_LOOPBACK_ONLY", "1", 1);
    manager_ = net::Socket::create(net::Socket::Type::datagram);
    ASSERT_TRUE(manager_.bind({net::kLoopbackAddress, 0}));
    port_ = manager_.localEndpoint()->port;
    testsupport::writeFile(tempDir() + "/services", "vrelevent " + std::to_string(port_) + "/udp\n");
    ::setenv("ZEVA_SERVICES_FILE", (tempDir() + "/services").c_str(), 1);
  }
  void TearDown() override { ::unsetenv("ZEVA_SERVICES_FILE"); }

  Bytes receive(net::Endpoint* from = nullptr, std::chrono::milliseconds timeout = 5000ms) {
    Bytes buffer(512);
    const auto r = manager_.receiveFrom(buffer, from, timeout);
    if (!r.ok()) return {};
    buffer.resize(r.bytes);
    return buffer;
  }
  void sendToSim(const UdpSide& sim, const Bytes& bytes) {
    ASSERT_TRUE(manager_.sendTo(bytes, {sim.address(), port_}).ok());
  }

  net::Socket manager_;
  std::uint16_t port_ = 0;
};

Bytes be16(std::uint16_t v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }

TEST_F(SimUdpTest, AnnouncementCarriesTypeAndSerialAndTheReplyAssignsThePort) {
  UdpOptions o;
  o.serialNumber = "ZS42";
  o.type = 7;
  UdpSide sim(o);
  std::vector<std::uint16_t> heard;
  sim.setPortListener([&](std::uint16_t p) { heard.push_back(p); });
  ASSERT_TRUE(sim.start());
  EXPECT_EQ(sim.eventPort(), port_);  // from the services file

  sim.setNextSequence(9);
  ASSERT_TRUE(sim.announce());
  net::Endpoint from;
  EXPECT_EQ(receive(&from), (Bytes{12, udp::kNewInstr, 0, 0, 0, 0, 7, 'Z', 'S', '4', '2', 0}));
  EXPECT_EQ(from, (net::Endpoint{0x7F000002, port_}));

  sendToSim(sim, udp::encode(udp::kNewInstr, 0, be16(4021)));
  ASSERT_TRUE(sim.waitForReceived(udp::kNewInstr, 1));
  EXPECT_EQ(sim.assignedPort(), 4021);
  EXPECT_THAT(heard, testing::ElementsAre(4021));

  // A soft boot goes on with the numbering; a status change follows it.
  ASSERT_TRUE(sim.sendReboot());
  EXPECT_EQ(receive(), (Bytes{6, udp::kInstrReboot, 0, 0, 0, 1}));
  ASSERT_TRUE(sim.sendStatusChange(0x1234, 1));
  EXPECT_EQ(receive(), (Bytes{9, udp::kStatusChange, 0, 0, 0, 2, 0x12, 0x34, 1}));
  sim.setNextSequence(0x01020304);
  ASSERT_TRUE(sim.sendStatusChange(0, 0));
  EXPECT_EQ(receive(), (Bytes{9, udp::kStatusChange, 1, 2, 3, 4, 0, 0, 0}));
}

TEST_F(SimUdpTest, IdentifyRequestsAreAnsweredUnlessTurnedOffAndRequestsAreRecorded) {
  UdpOptions o;
  o.address = 0x7F000003;
  o.serialNumber = "SN-3";
  o.type = 2;
  o.tcpPort = 3001;
  o.commStatus = 0x15;
  o.reportLaserChanges = true;
  UdpSide sim(o);
  ASSERT_TRUE(sim.start());

  const Bytes target = {127, 0, 0, 3};
  sendToSim(sim, udp::encode(udp::kInstrIdentify, 5, target));
  EXPECT_EQ(receive(),
            (Bytes{16, udp::kInstrIdentify, 0, 0, 0, 0, 0x15, 0, 0x0B, 0xB9, 2, 'S', 'N', '-', '3', 0}));

  sim.setAnswerIdentify(false);
  sendToSim(sim, udp::encode(udp::kInstrIdentify, 6, target));
  sendToSim(sim, udp::encode(udp::kCmdAbort, 7, target));
  ASSERT_TRUE(sim.waitForReceived(udp::kCmdAbort, 1));
  // Datagrams are taken in order: had the second identify been answered, it would be here.
  EXPECT_TRUE(receive(nullptr, 0ms).empty());

  // A laser request switches the laser and, as asked, reports the change.
  sendToSim(sim, udp::encode(udp::kLaserOn, 8, target));
  EXPECT_EQ(receive(), (Bytes{9, udp::kStatusChange, 0, 0, 0, 1, 0, 0x15, 1}));
  EXPECT_EQ(sim.laserState(), 1);
  const auto aborts = sim.received(udp::kCmdAbort);
  ASSERT_EQ(aborts.size(), 1u);
  EXPECT_EQ(aborts[0].sequence, 7u);
  EXPECT_EQ(aborts[0].dataU32(0), 0x7F000003u);

  // Raw bytes go out untouched, malformed or not.
  ASSERT_TRUE(sim.sendRaw(Bytes{200, 3, 0}));
  EXPECT_EQ(receive(), (Bytes{200, 3, 0}));
  EXPECT_FALSE(sim.sendRaw(Bytes{6, 0, 0, 0, 0, 0}, {0x0A000001, port_}));  // never off loopback

  sim.stop();
  EXPECT_FALSE(sim.announce());
}

// A controller back from a boot on another port: the manager hears the new port first
// (it updates its record from an identify reply) and then the boot, which it only takes
// once it has numbered something after the announcement; later answers keep the port.
TEST_F(SimUdpTest, ARebootReportsTheNewPortAheadOfTheBoot) {
  UdpOptions o;
  o.address = 0x7F000005;
  o.serialNumber = "ZS5";
  UdpSide sim(o);
  ASSERT_TRUE(sim.start());
  ASSERT_TRUE(sim.announce());
  EXPECT_EQ(receive().at(1), udp::kNewInstr);
  sendToSim(sim, udp::encode(udp::kNewInstr, 0, be16(4021)));
  ASSERT_TRUE(sim.waitForReceived(udp::kNewInstr, 1));

  ASSERT_TRUE(sim.reportReboot(4500));
  EXPECT_EQ(receive(), (Bytes{15, udp::kInstrIdentify, 0, 0, 0, 1, 0, 0, 0x11, 0x94, 1, 'Z', 'S', '5', 0}));
  EXPECT_EQ(receive(), (Bytes{6, udp::kInstrReboot, 0, 0, 0, 2}));
  sendToSim(sim, udp::encode(udp::kInstrIdentify, 5, Bytes{127, 0, 0, 5}));
  EXPECT_EQ(receive(), (Bytes{15, udp::kInstrIdentify, 0, 0, 0, 3, 0, 0, 0x11, 0x94, 1, 'Z', 'S', '5', 0}));
}

// A status change sent by the test while the receiving thread answers identify requests:
// whichever thread sends, the numbers go out in order (the manager drops one below a
// number it took), and an answer never tells a laser state ahead of the changes sent.
TEST_F(SimUdpTest, NumberedDatagramsLeaveInOrderWhicheverThreadSends) {
  UdpOptions o;
  o.address = 0x7F000004;
  UdpSide sim(o);
  ASSERT_TRUE(sim.start());
  constexpr int kEach = 60;  // of each: all of them fit the receive buffer of the manager's end
  std::vector<Bytes> got;
  std::thread reader([&] {
    for (Bytes b; got.size() < 2 * kEach && !(b = receive()).empty();) got.push_back(b);
  });
  std::thread changes([&] {
    for (int i = 1; i <= kEach; ++i) sim.sendStatusChange(0, static_cast<std::uint8_t>(i % 2));
  });
  const Bytes target = {127, 0, 0, 4};
  for (int i = 0; i < kEach; ++i) sendToSim(sim, udp::encode(udp::kInstrIdentify, 0, target));
  changes.join();
  reader.join();
  ASSERT_EQ(got.size(), 2u * kEach);
  int laser = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    const Bytes& d = got[i];
    ASSERT_GE(d.size(), 9u);
    const std::uint32_t sequence = (std::uint32_t{d[2]} << 24) | (d[3] << 16) | (d[4] << 8) | d[5];
    EXPECT_EQ(sequence, i) << "datagram " << i;
    if (d[1] == udp::kStatusChange) {
      laser = d[8];
    } else {
      EXPECT_EQ(d[7], laser) << "answer " << i;
    }
  }
}

TEST_F(SimUdpTest, RefusesAnAddressOffLoopback) {
  UdpOptions o;
  o.address = 0x0A000005;
  UdpSide sim(o);
  EXPECT_FALSE(sim.start());
}

}  // namespace
