// The connection manager and the simulated instrument as processes of their own on
// loopback, started the way an installation runs them: the instrument announces itself,
// the manager lists it, and the carousel given on the instrument's command line is what
// the instrument reports; killed and started again, it is back in the list. A scan streams
// the status records of the rows it was set up for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <utility>

#include "../../sim/instrument/tests/SimClient.h"
#include "Programs.h"
#include "platform/net.h"
#include "testsupport/TestEnv.h"

namespace e2e_test {
namespace {

using testing::HasSubstr;

class SystemProcessesTest : public testsupport::ZevaTest {
 protected:
  SystemProcessesTest() : m_Daemon(BROKLA_PROGRAM, tempDir(), tempDir() + "/install") {}

  // The replies to one command, up to the one not flagged "more follow".
  static std::string Exchange(platform::net::Socket& socket, const std::string& line) {
    EXPECT_TRUE(socket.send(simclient::frame(line + "\n")).ok());
    std::string all;
    simclient::Bytes pending;
    for (bool more = true; more;) {
      const auto got = simclient::receive(socket, 16);
      if (got.empty()) break;
      pending.insert(pending.end(), got.begin(), got.end());
      while (more && pending.size() >= 16) {
        const std::size_t length = (static_cast<std::size_t>(pending[0]) << 24) | (pending[1] << 16) |
                                   (pending[2] << 8) | pending[3];
        if (pending.size() < length) break;
        const auto one = simclient::parse({pending.begin(), pending.begin() + static_cast<long>(length)});
        all += one.at(0).payload;
        more = (one.at(0).flags & 0x02) != 0;
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
      }
    }
    return all;
  }

  Daemon m_Daemon;
};

TEST_F(SystemProcessesTest, InstrumentProcessIsListedAndHoldsTheCarouselOfItsCommandLine) {
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  const std::vector<std::string> carousel{"--slide", "2:250000000001",     "--slide",
                                          "3:",      "--nominal-supplies", "--autofocus",
                                          "620.5",   "--scan-lines",       "40"};
  std::uint16_t port = 0;
  {
    Instrument instrument(ZEVASIM_PROGRAM, tempDir(), "127.0.0.2", "ZS000101", carousel);
    const auto serving = instrument.WaitServing();
    ASSERT_TRUE(serving) << instrument.program().Out() << instrument.program().Err();
    port = *serving;
    ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();

    auto socket = platform::net::Socket::create(platform::net::Socket::Type::stream);
    const auto address = platform::net::parseAddress("127.0.0.2");
    ASSERT_TRUE(address);
    ASSERT_TRUE(socket.connect({*address, port}, std::chrono::milliseconds(5000)));
    EXPECT_EQ(Exchange(socket, "mapcarousel 1 1,4"), "00,0000,\n1700,250000000001\n1030,\n0000,\n");

    // Gone without a word, as when its power fails.
    instrument.program().Kill();
  }
  // Started again, it announces itself anew and the manager takes it back.
  Instrument again(ZEVASIM_PROGRAM, tempDir(), "127.0.0.2", "ZS000101", carousel);
  ASSERT_TRUE(again.WaitServing()) << again.program().Out() << again.program().Err();
  EXPECT_TRUE(WaitForText(m_Daemon.LogPath(), "Reconnecting Instrument (127.0.0.2)")) << m_Daemon.Log();

  EXPECT_EQ(again.program().Stop(), 0);
  EXPECT_EQ(m_Daemon.program().Stop(), 0) << m_Daemon.program().Err();
}

TEST(ZevasimCarouselOptions, BadSlidesAndCountsAreRefusedByName) {
  testsupport::TempDir folder;
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--slide", "49:1"}, "bad slide '49:1'"},
      {{"--slide", "0:1"}, "bad slide '0:1'"},
      {{"--slide", "2"}, "bad slide '2'"},
      {{"--slide", "x:1"}, "bad slide 'x:1'"},
      {{"--slide", "2x:1"}, "bad slide '2x:1'"},
      {{"--slide", ":1"}, "bad slide ':1'"},
      {{"--scan-lines", "70000"}, "bad line count '70000'"},
      {{"--scan-lines", "0"}, "bad line count '0'"},
      {{"--scan-lines", "12x"}, "bad line count '12x'"},
      {{"--autofocus", "-3"}, "bad autofocus thickness '-3'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    std::vector<std::string> argv{ZEVASIM_PROGRAM};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Program program("zevasim", argv, folder.path());
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(program.Wait(), 2);
    EXPECT_THAT(program.Err(), HasSubstr(c.says));
  }
}

// Sends `line`, then reads its framed replies (their payloads) and the `raw` bytes the
// instrument sends after them.
std::pair<std::string, simclient::Bytes> ExchangeWithData(platform::net::Socket& socket,
                                                          const std::string& line, std::size_t raw) {
  EXPECT_TRUE(socket.send(simclient::frame(line + "\n")).ok());
  simclient::Bytes pending;
  const auto need = [&](std::size_t n) {
    while (pending.size() < n) {
      const auto got = simclient::receive(socket, n - pending.size());
      if (got.empty()) return false;
      pending.insert(pending.end(), got.begin(), got.end());
    }
    return true;
  };
  std::string payloads;
  for (bool more = true; more && need(16);) {
    const std::size_t length =
        (static_cast<std::size_t>(pending[0]) << 24) | (pending[1] << 16) | (pending[2] << 8) | pending[3];
    if (length < 16 || !need(length)) break;
    const auto one = simclient::parse({pending.begin(), pending.begin() + static_cast<long>(length)});
    payloads += one.at(0).payload;
    more = (one.at(0).flags & 0x02) != 0;
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
  }
  need(raw);
  return {payloads, pending};
}

TEST(ZevasimScanLines, AScanStreamsTheStatusRecordsOfItsRegionsRowsUnlessACountIsGiven) {
  testsupport::TempDir folder;
  const struct {
    std::vector<std::string> args;
    int rows, records;
  } cases[] = {
      {{}, 2500, 2500},  // taller than any fixed count the demo used to give
      {{}, 3, 3},
      {{"--scan-lines", "40"}, 2500, 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args) + " rows " + std::to_string(c.rows));
    std::vector<std::string> argv{ZEVASIM_PROGRAM, "--port", "0"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Program program("zevasim", argv, folder.path());
    ASSERT_TRUE(program.WaitForOutput("serving")) << program.Err();
    const std::string out = program.Out();
    const auto colon = out.rfind(':');
    ASSERT_NE(colon, std::string::npos) << out;
    const auto port = static_cast<std::uint16_t>(std::stoi(out.substr(colon + 1)));
    auto socket = platform::net::Socket::create(platform::net::Socket::Type::stream);
    const auto address = platform::net::parseAddress("127.0.0.1");
    ASSERT_TRUE(address);
    ASSERT_TRUE(socket.connect({*address, port}, std::chrono::milliseconds(5000)));

    char region[96];
    std::snprintf(region, sizeof region, "setscanregion 0x2 0x%x 0x3a98 0x1f4 5.000000 5.000000 0x1 0x1",
                  static_cast<unsigned>(c.rows));
    EXPECT_THAT(ExchangeWithData(socket, region, 0).first, testing::StartsWith("00"));
    EXPECT_THAT(ExchangeWithData(socket, "startscan 0x3 0x1 0x0", 0).first, testing::StartsWith("00"));
    constexpr std::size_t kRecord = 36;
    const auto [status, records] = ExchangeWithData(socket, "getscanline", c.records * kRecord);
    EXPECT_THAT(status, testing::StartsWith("00"));
    ASSERT_EQ(records.size(), c.records * kRecord);
    for (int line = 0; line < c.records; ++line)
      ASSERT_EQ((records[line * kRecord] << 8) | records[line * kRecord + 1], line & 0xFFFF) << line;
    // Nothing more came: the next reply is the next command's.
    EXPECT_THAT(ExchangeWithData(socket, "getscanresults", 0).first, testing::StartsWith("00"));
    EXPECT_EQ(program.Stop(), 0);
  }
}

}  // namespace
}  // namespace e2e_test
