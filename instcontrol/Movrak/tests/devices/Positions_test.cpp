// Glass positions, the instrument clock, the carousel-run hook and the browse test.
#include <ctime>
#include <future>

#include "BroklaProtocol/BroklaAppMessage.h"
#include "DeviceFixture.h"
#include "devices/DeviceErrors.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

class PositionsTest : public DeviceTest {
 protected:
  PositionsTest() { connect(); }
};

TEST_F(PositionsTest, GlassCoordinatesBecomeStagePositionsFromTheDatum) {
  // A glass and datums of this test's own (not the simulator's defaults).
  devices.flash->set("GlassULCornerXCoord_00", "60000");
  devices.flash->set("GlassULCornerYCoord_00", "25000");
  devices.flash->set("DatumVCStagePos", "1000");
  devices.flash->set("DatumStagePos", "50000");
  devices.flash->set("GlassULCornerXCoord_07", "61000");
  devices.flash->set("GlassULCornerYCoord_07", "26000");
  devices.flash->set("GlassULCornerYCoord_-1", "25000");
  const struct {
    long coordinate;
    int packageType;
    bool bY;
    long position;  // 0 with an error
    int error;
  } cases[] = {
      {59000, 0, false, 1000 + 1000, 0},  // X: datum + (corner - coordinate)
      {60000, 0, false, 1000, 0},         // at the corner
      {60001, 0, false, 0, movrak::kErrBadParameter},
      {24000, 0, true, 50000 - 2 * 1000, 0},  // Y: datum - 2 x (corner - coordinate)
      {25001, 0, true, 0, movrak::kErrBadParameter},
      {25001, -1, true, 50000 + 2, 0},  // beyond the corner is allowed without a package
      {60000, 7, false, 1000 + 1000, 0},
      {26000, 7, true, 50000, 0},
      {1, 3, false, 0, movrak::kErrNoSuchFlashKey},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.coordinate) + (c.bY ? " Y " : " X ") + std::to_string(c.packageType));
    long position = 0;
    EXPECT_EQ(thrown([&] { position = scanner.GlassCoordToStagePos(c.coordinate, c.packageType, c.bY); }),
              c.error);
    EXPECT_EQ(position, c.position);
  }
  forget();
  scanner.GlassCoordToStagePos(60000, 7, false);
  scanner.GlassCoordToStagePos(26000, 7, true);
  EXPECT_THAT(lines(), ElementsAre("getparam GlassULCornerXCoord_07", "getparam DatumVCStagePos",
                                   "getparam GlassULCornerYCoord_07", "getparam DatumStagePos"));
}

TEST_F(PositionsTest, TheInstrumentClockGetsDateAndTimeInItsBytes) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  std::tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 5;
  local.tm_hour = 14;
  local.tm_min = 7;
  local.tm_sec = 9;
  local.tm_isdst = -1;
  clock->setSystemTime(std::chrono::system_clock::from_time_t(std::mktime(&local)));
  scanner.Set68KCurrentDateTime();
  EXPECT_EQ(lastLine(), "sethostdatetimeinfo 0x7e80305 0xe0709");
  EXPECT_EQ(devices.controller->hostDateTime(),
            (std::pair<std::uint32_t, std::uint32_t>{0x7E80305, 0xE0709}));
  EXPECT_THAT(log(), HasSubstr("CScanner::Set68KCurrentDateTime (DateVal = 132645637 TimeVal = 919305)"));

  sim.injectFault("sethostdatetimeinfo", {zevasim::Fault::Kind::errorStatus, 0x05});
  EXPECT_EQ(thrown([&] { scanner.Set68KCurrentDateTime(); }), 4101);
}

TEST_F(PositionsTest, OpeningTheChannelSetsTheInstrumentClock) {
  EXPECT_TRUE(devices.controller->hostDateTime().has_value());
  scanner.GetComm().CloseDevice();
  sim.injectFault("sethostdatetimeinfo", {zevasim::Fault::Kind::errorStatus, 0x05});
  EXPECT_EQ(scanner.GetComm().OpenDevice(connectString().c_str()), 0);  // a failure does not stop the open
  EXPECT_THAT(log(), HasSubstr("Set68KCurrentDateTime() Failed: error code = 4101"));
}

TEST_F(PositionsTest, ACarouselRunStartsOnlyFromReady) {
  const struct {
    tagScannerState state;
    bool start;
    int result;
    int flagAfter;
    const char* logged;
  } steps[] = {
      {kStateInitializing, true, 0, 0, "Can not switch to 'CarouselRun' state"},
      {kStateReady, false, 1, 0,
       "We are being asked to exit Carousel Run but the Starting flag has not been set yet!"},
      {kStateReady, true, 1, 1,
       "Start CarouselRun state: the current sacnner state is Ready [current state code = 3]"},
      {kStateWarming, false, 1, 0, "Exit CarouselRun state: the current sacnner state is Lasers Warming"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.logged);
    scanner.SetScannerState(s.state);
    EXPECT_EQ(scanner.OnStartExitCarouselRun(s.start), s.result);
    EXPECT_EQ(scanner.IsCarouselRunStarting(), s.flagAfter);
    EXPECT_EQ(scanner.GetScannerState(), s.state);
    EXPECT_THAT(log(), HasSubstr(s.logged));
  }
}

TEST_F(PositionsTest, ABrowseIsDoneWhenNotActiveAndTheInstrumentIsNotBusy) {
  const int before = manager.countRequests(brokla::kMsgStatus);
  scanner.SetBrowseActive(true);
  EXPECT_EQ(scanner.IsBrowseCarouselDone(), 0);
  EXPECT_EQ(manager.countRequests(brokla::kMsgStatus), before);  // no poll while a browse runs
  scanner.SetBrowseActive(false);
  for (const auto& [poll, done] : {std::pair<std::uint8_t, int>{1, 0}, {0, 1}, {16, 1}}) {
    manager.setStatus(kInstrumentId, {true, poll, 0});
    EXPECT_EQ(scanner.IsBrowseCarouselDone(), done);
  }
}

}  // namespace
