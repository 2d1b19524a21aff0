// The simulated autoloader: the carousel map streamed over several frames, the arm that
// carries slides between slot, holder and tray, and the fault switches of the sensors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimClient.h"
#include "testsupport/TestEnv.h"
#include "zevasim/DeviceFamilies.h"
#include "zevasim/SimInstrument.h"

namespace {

using namespace std::chrono_literals;
using platform::net::Socket;
using simclient::Response;
using Motors = zevasim::MotorFamily;

class AutoloaderFamilyTest : public testsupport::ZevaTest {
 protected:
  AutoloaderFamilyTest() : devices(zevasim::addDeviceFamilies(sim)) {
    EXPECT_TRUE(sim.start());
    socket = Socket::create(Socket::Type::stream);
    EXPECT_TRUE(socket.connect({platform::net::kLoopbackAddress, sim.port()}, 5000ms));
    for (auto id : {Motors::kCarousel, Motors::kArm})
      devices.motors->update(id, [](Motors::Axis& a) { a.initialised = a.homed = true; });
  }

  // The replies to one command, up to the one that is not flagged "more follow".
  std::vector<Response> exchange(const std::string& line) {
    EXPECT_TRUE(socket.send(simclient::frame(line + "\n")).ok());
    std::vector<Response> replies;
    simclient::Bytes pending;
    while (replies.empty() || (replies.back().flags & 0x02)) {
      const auto got = simclient::receive(socket, 16);
      if (got.empty()) break;
      pending.insert(pending.end(), got.begin(), got.end());
      // Whole frames only; the rest waits for more bytes.
      while (pending.size() >= 16) {
        const std::size_t length = (static_cast<std::size_t>(pending[0]) << 24) | (pending[1] << 16) |
                                   (pending[2] << 8) | pending[3];
        if (pending.size() < length) break;
        const auto one = simclient::parse({pending.begin(), pending.begin() + static_cast<long>(length)});
        replies.push_back(one.at(0));
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
      }
    }
    return replies;
  }
  std::string answer(const std::string& line) {
    const auto replies = exchange(line);
    return replies.empty() ? std::string() : replies.back().payload;
  }
  static std::string joined(const std::vector<Response>& replies) {
    std::string all;
    for (const auto& r : replies) all += r.payload;
    return all;
  }

  zevasim::Instrument sim;
  zevasim::DeviceFamilies devices;
  Socket socket;
};

TEST_F(AutoloaderFamilyTest, MapStreamsTheCodeThenOneFramePerSlot) {
  devices.autoloader->putSlide(2, {"250000000001", "7"});
  devices.autoloader->putSlide(3, {"", "7"});  // a slide without a readable label

  const auto withBarcodes = exchange("mapcarousel 1 1,4");
  ASSERT_EQ(withBarcodes.size(), 5u);
  EXPECT_EQ(withBarcodes[0].payload, "00,");
  EXPECT_EQ(withBarcodes[1].payload, "0000,\n");
  EXPECT_EQ(withBarcodes[2].payload, "1700,250000000001\n");
  EXPECT_EQ(withBarcodes[3].payload, "1030,\n");
  EXPECT_EQ(withBarcodes[4].payload, "0000,\n");
  for (std::size_t i = 0; i + 1 < withBarcodes.size(); ++i) EXPECT_EQ(withBarcodes[i].flags, 0x02);
  EXPECT_EQ(withBarcodes.back().flags, 0);

  EXPECT_EQ(joined(exchange("mapcarousel 0 2,3")), "00,1000,1000,");
  EXPECT_EQ(joined(exchange("mapcarousel 0 a,b")), "00,0000,0000,");  // hexadecimal slots
}

TEST_F(AutoloaderFamilyTest, MapFramesCanCutRecordsAndTheReplyCanEndShort) {
  devices.autoloader->putSlide(1, {"16000000000001", "7"});
  devices.autoloader->setMapFrameSize(4);
  const auto cut = exchange("mapcarousel 1 1,2");
  EXPECT_EQ(joined(cut), "00,1700,16000000000001\n0000,\n");
  EXPECT_EQ(cut.size(), (joined(cut).size() + 3) / 4);

  devices.autoloader->setMapLength(7);
  EXPECT_EQ(joined(exchange("mapcarousel 1 1,2")), "00,1700");
}

TEST_F(AutoloaderFamilyTest, MapRefusesMalformedRanges) {
  for (const std::string line : {"mapcarousel 1", "mapcarousel 2 1,2", "mapcarousel 1 3,2",
                                 "mapcarousel 1 1,c", "mapcarousel 1 1;2"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(answer(line), "05\n");
  }
}

TEST_F(AutoloaderFamilyTest, TheArmCarriesSlidesBetweenSlotHolderAndTray) {
  devices.autoloader->putSlide(0, {"250000000007", "7"});
  EXPECT_EQ(answer("movemotor 0x6000002 0x1 0x0 1"), "00\n");  // to the holder
  EXPECT_FALSE(devices.autoloader->slide(0));
  ASSERT_TRUE(devices.autoloader->heldSlide());
  EXPECT_EQ(answer("chipincarousel"), "00,0\n");
  EXPECT_EQ(answer("readbarcode"), "00,250000000007,7\n");  // the slide on the arm

  EXPECT_EQ(answer("movemotor 0x6000001 0x1 0x1 3"), "00\n");
  EXPECT_EQ(answer("getmotorpos 0x6000001 0x0"), "00,3\n");     // the carousel counts slots
  EXPECT_EQ(answer("movemotor 0x6000002 0x1 0x0 -1"), "00\n");  // back: into slot 3
  EXPECT_TRUE(devices.autoloader->slide(3));
  EXPECT_FALSE(devices.autoloader->heldSlide());

  EXPECT_EQ(answer("movemotor 0x6000002 0x1 0x0 1"), "00\n");
  devices.autoloader->setCarouselPresent(false);
  EXPECT_EQ(answer("movemotor 0x6000002 0x1 0x0 -1"), "00\n");
  EXPECT_EQ(devices.autoloader->slidesInTray(), 1);
  EXPECT_FALSE(devices.autoloader->heldSlide());
}

TEST_F(AutoloaderFamilyTest, AnArmStuckOneWayTimesOutInTheMiddleAndStillMovesTheOther) {
  devices.motors->update(Motors::kArm, [](Motors::Axis& a) { a.stuckTowardsHolder = true; });
  EXPECT_EQ(answer("movemotor 0x6000002 0x1 0x0 1"), "21\n");
  EXPECT_EQ(answer("armlocation"), "00,0\n");
  EXPECT_EQ(answer("movemotor 0x6000002 0x1 0x0 -1"), "00\n");
  EXPECT_EQ(answer("armlocation"), "00,1\n");

  devices.motors->update(Motors::kArm, [](Motors::Axis& a) { a.stuckTowardsCarousel = true; });
  EXPECT_EQ(answer("movemotor 0x6000002 0x1 0x0 -1"), "21\n");
  EXPECT_EQ(answer("initmotor 0x6000002 1"), "00\n");  // homing brings it to the carousel
  EXPECT_EQ(answer("armlocation"), "00,1\n");
}

TEST_F(AutoloaderFamilyTest, AnAskewCarouselTripsTheChipSensorButIsNotSeenAsPresent) {
  devices.autoloader->setAskew(true);
  EXPECT_EQ(answer("carouselpresent"), "00,0\n");
  EXPECT_EQ(answer("chipincarousel"), "00,1\n");
  EXPECT_EQ(answer("fingerinslot"), "00,0\n");
  EXPECT_EQ(answer("carouselathome"), "00,0\n");
  devices.autoloader->setAskew(false);
  EXPECT_EQ(answer("carouselpresent"), "00,1\n");
  EXPECT_EQ(answer("chipincarousel"), "00,0\n");
}

// Not the autoloader, but the same families: the 16-bit words that DSPs and motors move as
// raw bytes go as the instrument holds them in memory, low byte first, both ways.
TEST_F(AutoloaderFamilyTest, RawWordsOfDspsAndMotorsGoLowByteFirst) {
  devices.dsps->setMemory(1, 1, 0x10, 0x1234);
  devices.dsps->setMemory(1, 1, 0x11, 0x80FF);
  EXPECT_EQ(answer("dspmemdump 1 0010 0002"), std::string("00,\x34\x12\xFF\x80", 7));

  devices.motors->update(Motors::kAutofocus, [](Motors::Axis& a) { a.tuneSamples = {0x1234, 0x00FF}; });
  EXPECT_EQ(answer("tunemotor 0x5000001 0x2 0x5 0x0"), std::string("00,\x34\x12\xFF\x00", 7));

  devices.motors->update(Motors::kSlowStage, [](Motors::Axis& a) {
    a.steps = {{0x0102, 0x0304, 0x8001, 0xFFFE}};
  });
  EXPECT_EQ(answer("mtrstep 0x2000001 0x1 0x32 0xa 0x14"),
            std::string("00,\x02\x01\x04\x03\x01\x80\xFE\xFF", 11));

  ASSERT_TRUE(socket.send(simclient::frame(std::string("sdsp 12 02\n\x02\x01\xFE\xFF", 15))).ok());
  ASSERT_EQ(simclient::parse(simclient::receive(socket, 16 + 3)).at(0).payload, "00\n");
  ASSERT_EQ(devices.dsps->commands().size(), 1u);
  EXPECT_THAT(devices.dsps->commands()[0].params, testing::ElementsAre(0x0102, 0xFFFE));
}

}  // namespace
