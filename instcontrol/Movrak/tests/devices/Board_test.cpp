// What the device model does through the scan-data port, on the simulated board: PMT
// channels, laser shutters and power, and the sequences that use them.
#include <future>

#include "BoardFixture.h"
#include "devices/DeviceErrors.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

TEST(ChannelConversionTest, TenthsOfVoltsAndPortCounts) {
  const struct {
    unsigned tenths;
    unsigned short counts;
  } toCounts[] = {{7000, 2866},    {0, 0},          {10, 4},         {10000, 4095},
                  {160036, 65534}, {160038, 65535}, {160040, 65535}, {4000000, 65535}};
  for (const auto& c : toCounts) EXPECT_EQ(CChannel::TenthsToCounts(c.tenths), c.counts) << c.tenths;
  const struct {
    unsigned counts;
    unsigned tenths;
  } toTenths[] = {{45875, 7000}, {45874, 6999}, {65535, 10000},  {0, 0},
                  {36700, 5600}, {36699, 5599}, {0x1FFFF, 10000}};
  for (const auto& c : toTenths) EXPECT_EQ(CChannel::CountsToTenths(c.counts), c.tenths) << c.counts;
}

TEST_F(BoardDeviceTest, VoltagesGoThroughThePortAsCounts) {
  channel(kRedPMT).ChangeVoltage(7000, true, false);
  EXPECT_EQ(okSim_GetSpiWord(), 2866u);
  EXPECT_EQ(pmtWrites(true), 1);
  channel(kGreenPMT).SetVoltageFromFlash(false);
  EXPECT_EQ(lastLine(), "getparam PMT2");
  EXPECT_EQ(okSim_GetSpiWord(), 2457u);  // 600.0 V
  EXPECT_EQ(pmtWrites(false), 1);
  channel(kYellowPMT).Reset();
  EXPECT_EQ(pmtWrites(false), 2);  // every channel but the first is driven as green
  EXPECT_EQ(okSim_GetSpiWord(), 0u);

  boardReads(true, 45875);
  EXPECT_EQ(channel(kRedPMT).GetVoltage(), 7000u);
  EXPECT_THAT(log(), HasSubstr("GetVoltage() for the Red channel returned 7000 (tenths of volts)"));
  EXPECT_THAT(log(), HasSubstr("Changing PMT voltage to 7000 (tenths of volts) for the Red channel (id: 0)"));
  EXPECT_THAT(logLine("Setting PMT voltage to FLASH settings (6000) for the Green channel (id: 1)"),
              HasSubstr("INFO: "));
}

TEST_F(BoardDeviceTest, TheCheckAllowsTwentyPercentAndRetriesOnceOrTwiceAfterAFault) {
  const struct {
    const char* what;
    unsigned actualCounts;  // what the board reads after the first set
    bool fault;
    int error;
    int extraSets;  // PMT writes by the check
  } cases[] = {
      {"at 80 percent", 36700, false, 0, 0},
      {"at 120 percent", 55050, false, 0, 0},  // 8400.0 tenths
      {"just below 80 percent", 36699, false, movrak::kErrPMTVoltage, 1},
      {"just above 120 percent", 55056, false, movrak::kErrPMTVoltage, 1},
      {"out of range after a fault", 45875, true, movrak::kErrPMTVoltage, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    okSim_ForceStatusBits(1, 0, 0x1000);
    channel(kRedPMT).ChangeVoltage(7000, true, false);
    boardReads(true, c.actualCounts);
    if (c.fault) okSim_ForceStatusBits(1, 0x1000, 0);
    okSim_ClearCallLog();
    EXPECT_EQ(thrown([&] { channel(kRedPMT).CheckVoltage(); }), c.error);
    EXPECT_EQ(pmtWrites(true), c.extraSets);
  }
  EXPECT_THAT(log(), HasSubstr("--Desired PMT: 700.0 Volts  Actual PMT: 560.0 Volts"));
  EXPECT_THAT(logLine("PMT Voltage Not Within Thresholds.  Trying Again."), HasSubstr("WARNING: "));
  EXPECT_THAT(logLine("PMT Fault detected for the Red channel.  Will attempt to reset"),
              HasSubstr("WARNING: "));
  EXPECT_THAT(log(),
              HasSubstr("PMT Fault. Try a third time.  Desired PMT: 700.0 Volts  Actual PMT: 43.7 Volts"));
  EXPECT_THAT(
      logLine("Unable to set PMT voltage.  Desired PMT: 700.0 Volts  Actual PMT: 43.7 Volts.  Giving Up."),
      HasSubstr("ERROR: "));
}

TEST_F(BoardDeviceTest, AVoltageFromFlashIsCheckedAgainstFlash) {
  devices.flash->set("PMT2", "400");
  channel(kGreenPMT).SetVoltageFromFlash(true);
  boardReads(false, 2622);  // 40.0 V
  forget();
  channel(kGreenPMT).CheckVoltage();
  EXPECT_THAT(lines(), ElementsAre("getparam PMT2"));
  EXPECT_THAT(log(), HasSubstr("--PMT Voltage Okay"));
  devices.flash->erase("PMT2");
  EXPECT_EQ(thrown([&] { channel(kGreenPMT).CheckVoltage(); }), movrak::kErrNoSuchFlashKey);
}

TEST_F(BoardDeviceTest, ChannelsRefuseWhatTheyCannotDo) {
  CChannel unconfigured;
  EXPECT_EQ(thrown([&] { unconfigured.GetName(); }), movrak::kErrChannelNotConfigured);
  EXPECT_EQ(thrown([&] { unconfigured.ChangeVoltage(1, false, false); }), movrak::kErrChannelNotConfigured);
  EXPECT_EQ(thrown([&] { unconfigured.GetVoltage(); }), movrak::kErrChannelNotConfigured);
  EXPECT_EQ(thrown([&] { unconfigured.Configure(&scanner, 4, "x", "PMT1"); }), movrak::kErrInvalidPMTChannel);
  EXPECT_EQ(thrown([&] { unconfigured.Configure(&scanner, -1, "x", "PMT1"); }),
            movrak::kErrInvalidPMTChannel);
  EXPECT_FALSE(unconfigured.IsConfigured());

  // Another thread holds the port for longer than 5 s.
  std::promise<void> held, release;
  std::thread holder([&] {
    scanner.GetDataPort().LockAccess();
    held.set_value();
    release.get_future().wait();
    scanner.GetDataPort().ReleaseAccess();
  });
  held.get_future().wait();
  auto result =
      std::async(std::launch::async, [&] { return thrown([&] { channel(kRedPMT).GetVoltage(); }); });
  ASSERT_TRUE(clock_->waitForWaiters(1));
  clock_->advance(std::chrono::milliseconds(5000));
  EXPECT_EQ(result.get(), movrak::kErrDataPortBusy);
  release.set_value();
  holder.join();

  CScanner offline;  // its port was never opened
  EXPECT_EQ(thrown([&] { offline.GetChannel(0)->ChangeVoltage(100, true, false); }), movrak::kErrPMTVoltage);
  EXPECT_EQ(thrown([&] { offline.GetChannel(0)->CheckVoltage(); }), movrak::kErrDataPortUnknown);
  EXPECT_THAT(log(), HasSubstr("SetPMTVoltage for the Red channel failed"));
}

TEST_F(BoardDeviceTest, LasersAreBlockedAndUnblockedByBothShutters) {
  const struct {
    int a, b;
    std::vector<int> bits;
  } cases[] = {{0, 0, {10, 12}}, {0, 1, {11, 13}}, {2, 2, {11, 13}}};
  for (const auto& c : cases) {
    okSim_ClearCallLog();
    scanner.GetScanObj().ControlLasers(c.a, c.b);
    EXPECT_EQ(triggers(), c.bits) << c.a << "," << c.b;
  }
  EXPECT_THAT(log(), HasSubstr("<CScanObj::ControlLasers> Send command to block both lasers"));
  okSim_ScriptResult("okUsbFrontPanel_ActivateTriggerIn", -2, 0);
  EXPECT_EQ(thrown([&] { scanner.GetScanObj().ControlLasers(1, 1); }), movrak::kErrDataPortUnknown);

  okSim_ForcePd(1, 1234);
  okSim_ForcePd(0, 567);
  long red = 0, green = 0;
  scanner.GetScanObj().ReadLaserPower(&red, &green);
  EXPECT_EQ(red, 1234);
  EXPECT_EQ(green, 567);
}

TEST_F(BoardDeviceTest, AutofocusEnableParksTheFastStageThenHomesOnTheGlass) {
  devices.scans->setAutofocus(1.25, 0, 7);
  sim.injectFault("movemotor", {zevasim::Fault::Kind::errorStatus, 0x22});  // the park times out, but arrives
  double thickness = 0;
  scanner.DoEnableAutofocus(59000, 24000, 0, &thickness);
  EXPECT_DOUBLE_EQ(thickness, 1.25);
  EXPECT_THAT(lines(), ElementsAre("getparam GlassULCornerXCoord_00", "getparam DatumVCStagePos",
                                   "getparam GlassULCornerYCoord_00", "getparam DatumStagePos",
                                   "getmotorpos 0x2000001 0x0", "getmotorpos 0x4000001 0x0",
                                   "mtrgetmaxpos 0x4000001", "movemotor 0x4000001 0x0 0x0 99500",
                                   "getmotorpos 0x4000001 0x0", "movemotor 0x2000001 0x0 0x0 48000",
                                   "movemotor 0x4000001 0x0 0x0 41000", "enableautofocus 0xe678 0x5dc0"));
  EXPECT_EQ(triggers(), (std::vector<int>{10, 12, 11, 13}));  // closed first, opened for the autofocus
  EXPECT_THAT(
      log(),
      HasSubstr("Detected the current FS position = 99500 after the motor timed out [errCode = 4130]"));
  EXPECT_THAT(log(), HasSubstr("Movinge S-Stage to AF Homing raw position [48000]"));
}

TEST_F(BoardDeviceTest, AutofocusEnableStopsWhenTheParkedStageIsTooFarOff) {
  const struct {
    const char* what;
    std::function<void(zevasim::DeviceFamilies&, zevasim::Instrument&)> arrange;
    long x;
    int error;
  } cases[] = {
      {"501 counts short",
       [](auto& d, auto&) { d.motors->update(Motors::kVCStage, [](Axis& a) { a.stuckShortfall = 501; }); },
       59000, movrak::kErrFastStageTimeout},
      {"another error",
       [](auto&, auto& s) {
         s.injectFault("movemotor", {zevasim::Fault::Kind::errorStatus, 0x05});
       },
       59000, 4101},
      {"beyond the glass", [](auto&, auto&) {}, 75001, movrak::kErrBadParameter},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange(devices, sim);
    forget();
    okSim_ClearCallLog();
    EXPECT_EQ(thrown([&] { scanner.DoEnableAutofocus(c.x, 24000, 0, nullptr); }), c.error);
    EXPECT_EQ(triggers(), (std::vector<int>{10, 12}));  // the shutters stay closed
    for (const std::string& line : lines()) EXPECT_THAT(line, testing::Not(HasSubstr("0x2000001 0x0 0x0")));
  }
  EXPECT_THAT(log(), HasSubstr("The current FS position is not within 500 counts of where it should be"));
}

TEST_F(BoardDeviceTest, ASquareStartRunsTheWholeSetUpUnderOneLock) {
  scanner.GetScanObj().SquareStart(100, 50, 2000, 2.5, 1, 1, 1, 0, 0, 0x3, 3000, 0.5);
  EXPECT_THAT(lines(), ElementsAre("setledmode 0x2 0x0 0x3 0x0", "setpackagetype 0x1", "findchrome",
                                   "setscanregion 0x64 0x32 0xbb8 0x7d0 0.500000 2.500000 0x1 0x1",
                                   "enableautofocus 0x8ca0 0x6e8c", "setledmode 0x2 0x0 0x3 0x0",
                                   "startscan 0x3 0x0 0x0", "getscanline"));
  EXPECT_EQ(triggers(), (std::vector<int>{11, 13, 10, 12}));
  EXPECT_TRUE(devices.scans->scanning());
}

}  // namespace
