// ICMP echo on this machine's loopback; nothing is sent anywhere else.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/icmp.h"
#include "platform/net.h"
#include "testsupport/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using platform::icmp::EchoStatus;
using platform::icmp::Pinger;

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

class IcmpTest : public testsupport::ZevaTest {
 protected:
  void TearDown() override { platform::net::setLogHook(nullptr); }
};

TEST_F(IcmpTest, LoopbackAnswersSmallAndLargeEchoes) {
  Pinger pinger = Pinger::open();
  if (!pinger.valid()) GTEST_SKIP() << "this user may open no ICMP socket here: " << pinger.whyNot();
  if (testsupport::readFile("/proc/sys/net/ipv4/icmp_echo_ignore_all").starts_with("1"))
    GTEST_SKIP() << "this machine ignores echo requests (net.ipv4.icmp_echo_ignore_all=1)";
  const auto small = bytes("Data");
  // A reply longer than the request's header and payload would fit in a small buffer.
  const std::vector<std::uint8_t> large(1400, 0xA5);
  for (int round = 0; round < 2; ++round) {  // a second request is matched by its own sequence
    const auto r = pinger.echo(platform::net::kLoopbackAddress, small, 2000ms);
    EXPECT_EQ(r.status, EchoStatus::reply) << r.text;
  }
  const auto r = pinger.echo(platform::net::kLoopbackAddress, large, 2000ms);
  EXPECT_EQ(r.status, EchoStatus::reply) << r.text;
  EXPECT_NE(pinger.kind(), Pinger::Kind::none);
}

TEST_F(IcmpTest, LoopbackOnlyGuardRefusesOtherAddressesBeforeSending) {
  std::vector<std::string> reports;
  platform::net::setLogHook([&](const std::string& line) { reports.push_back(line); });
  Pinger pinger = Pinger::open();
  const auto r = pinger.echo(0x0A000001, bytes("Data"), 500ms);
  EXPECT_EQ(r.status, EchoStatus::refused);
  EXPECT_THAT(r.text, testing::HasSubstr("ZEVA_NET_LOOPBACK_ONLY=1"));
  EXPECT_THAT(reports, testing::ElementsAre(testing::HasSubstr("refused to reach 10.0.0.1")));
}

TEST(IcmpFormat, ChecksumAndErrorTexts) {
  // The worked example of the Internet checksum: 0001 f203 f4f5 f6f7 sums to ddf2.
  const std::vector<std::uint8_t> even{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
  EXPECT_EQ(platform::icmp::checksum(even), 0x220D);
  // An odd byte counts as the high byte of a last word.
  const std::vector<std::uint8_t> odd{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7, 0x01};
  EXPECT_EQ(platform::icmp::checksum(odd), 0x210D);
  // A message with its checksum in place sums to zero.
  std::vector<std::uint8_t> msg{8, 0, 0, 0, 0x12, 0x34, 0, 1, 'D', 'a', 't', 'a'};
  const std::uint16_t sum = platform::icmp::checksum(msg);
  msg[2] = static_cast<std::uint8_t>(sum >> 8);
  msg[3] = static_cast<std::uint8_t>(sum);
  EXPECT_EQ(platform::icmp::checksum(msg), 0);

  EXPECT_EQ(platform::icmp::errorMessageText(3, 1), "destination host unreachable");
  EXPECT_EQ(platform::icmp::errorMessageText(3, 13), "communication administratively prohibited");
  EXPECT_EQ(platform::icmp::errorMessageText(3, 40), "destination unreachable (code 40)");
  EXPECT_EQ(platform::icmp::errorMessageText(11, 0), "time to live exceeded in transit");
  EXPECT_EQ(platform::icmp::errorMessageText(5, 1), "ICMP error type 5 code 1");
}

}  // namespace
