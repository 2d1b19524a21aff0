#include "devices/ScanObj.h"

#include <future>

#include "BroklaProtocol/BroklaAppMessage.h"
#include "DeviceFixture.h"
#include "devices/DeviceErrors.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using zevasim::Fault;

class ScanObjTest : public DeviceTest {
 protected:
  ScanObjTest() { connect(); }
  CScanObj& scan() { return scanner.GetScanObj(); }
  // The samples of one scan line as the instrument sends them.
  static std::vector<std::uint8_t> lineBytes(int line, int pixels, std::initializer_list<int> channels) {
    std::vector<std::uint8_t> bytes;
    for (int channel : channels)
      for (int pixel = 0; pixel < pixels; ++pixel) {
        const std::uint16_t v = zevasim::ScanFamily::sample(line, pixel, channel);
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        bytes.push_back(static_cast<std::uint8_t>(v & 0xFF));
      }
    return bytes;
  }
};

TEST_F(ScanObjTest, EachCommandSendsItsLine) {
  const struct {
    const char* what;
    std::function<void(CScanObj&)> call;
    const char* line;
    int timeoutSec;
  } cases[] = {
      {"package type", [](CScanObj& s) { s.SetPackageType(7); }, "setpackagetype 0x7", 10},
      {"scan region", [](CScanObj& s) { s.SetScanRegion(4000, 300, -2, 1000, 0.5, 2.25, 1, 2); },
       "setscanregion 0xfa0 0x12c 0xfffffffe 0x3e8 0.500000 2.250000 0x1 0x2", 10},
      {"lasers", [](CScanObj& s) { s.InitLasers(); }, "initlasers", 10},
      {"depth scan", [](CScanObj& s) { s.EnableDepthScan(100, 5, 20); }, "enabledepthscan 0x64 0x5 0x14", 10},
      {"EOM pot", [](CScanObj& s) { s.SetEOMDigitalPot(1, 0x80); }, "seteomdigpot 1,0x80", 10},
      {"dark subtraction", [](CScanObj& s) { s.SetDarkSubtractionValue(5, 6); },
       "setdarksubtractionvalue 0x5,0x6", 10},
      {"calibration light on", [](CScanObj& s) { s.CalibrationLightSource(true); }, "calibratepmt 1", 10},
      {"calibration light off", [](CScanObj& s) { s.CalibrationLightSource(false); }, "calibratepmt 0", 10},
      {"datum", [](CScanObj& s) { s.FindDatum(10, -20, 3); }, "findchrome 10,-20", 100},
      {"results", [](CScanObj& s) { s.GetResults(); }, "getscanresults", 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.call(scan());
    EXPECT_EQ(lastLine(), c.line);
    EXPECT_EQ(lastTimeoutSec(), c.timeoutSec);
    EXPECT_EQ(scanner.GetComm().GetTimeout(), 10000);
  }
  EXPECT_EQ(devices.scans->packageType(), 3);  // the datum search set its package first
  EXPECT_THAT(log(), HasSubstr("Setting Dark Subtraction Value (Red=5, Green=6)"));

  for (const char* word : {"setpackagetype", "initlasers", "calibratepmt"}) {
    SCOPED_TRACE(word);
    sim.injectFault(word, {Fault::Kind::errorStatus, 0x05});
  }
  EXPECT_EQ(thrown([&] { scan().SetPackageType(1); }), 4101);
  EXPECT_EQ(thrown([&] { scan().InitLasers(); }), 4101);
  EXPECT_EQ(thrown([&] { scan().CalibrationLightSource(true); }), 4101);
  sim.injectFault("setdarksubtractionvalue", {Fault::Kind::errorStatus, 0x05});
  EXPECT_EQ(thrown([&] { scan().SetDarkSubtractionValue(1, 1); }), 4101);
  EXPECT_THAT(log(), HasSubstr("CScanObj::SetDarkSubtractionValue Returned Error: 4101"));
  EXPECT_THROW(CScanObj(nullptr), int);
}

TEST_F(ScanObjTest, RepliesWithValuesAreParsedAndShortOnesSaySo) {
  double a = 0, b = 0, c = 0;
  scan().FindFiducials(&a, &b, &c);
  EXPECT_EQ(lastLine(), "findchrome");
  EXPECT_EQ(lastTimeoutSec(), 100);
  EXPECT_DOUBLE_EQ(a, 1.25);
  EXPECT_DOUBLE_EQ(b, 2.5);
  EXPECT_DOUBLE_EQ(c, 0.75);
  devices.scans->setFiducials("4.5,6.5");
  scan().FindFiducials(&a, &b, &c);
  EXPECT_DOUBLE_EQ(a, 4.5);
  EXPECT_DOUBLE_EQ(b, 6.5);
  EXPECT_DOUBLE_EQ(c, 0.75);  // not in the reply: left as it was
  EXPECT_THAT(logLine("Error converting FindFiducials return values, only converted 2 values"),
              HasSubstr("ERROR: "));

  devices.scans->setAutofocus(1.5, 3, 0xFFFFFFF6);
  int encoder = 0;
  EXPECT_DOUBLE_EQ(scan().EnableAutoFocus(100, 200, true, &encoder), 1.5);
  EXPECT_EQ(lastLine(), "enableautofocus 0x64 0xc8");
  EXPECT_EQ(lastTimeoutSec(), 60);
  EXPECT_EQ(encoder, -10);
  EXPECT_THAT(log(),
              HasSubstr("Got the Response to EnableAutofocus Command with the AF Homing status code [3]"));
  EXPECT_THAT(log(), HasSubstr("AF Encoder Pos after Homing is -10 microns from its rest position"));
  scan().EnableAutoFocus(1, 2);
  EXPECT_THAT(log(), HasSubstr("AF Encoder Position is not available"));
  sim.setHandler("enableautofocus", [](const zevasim::Request&) { return zevasim::Reply::ok("1.0,zz"); });
  scan().EnableAutoFocus(1, 2);
  EXPECT_THAT(log(),
              HasSubstr("Unable to Interpret Response to EnableAutofocus Command.Values may be Garbage."));

  long red = 0, green = 0;
  scan().UpdateLaserVoltage(0x10, 0x20, &red, &green);
  EXPECT_EQ(lastLine(), "updatelaservoltage 0x10 0x20");
  EXPECT_EQ(red, 0x100);
  EXPECT_EQ(green, 0x200);
  EXPECT_THAT(log(), HasSubstr("Power red is 256 - Power green is 512"));
  sim.setHandler("updatelaservoltage", [](const zevasim::Request&) { return zevasim::Reply::ok("12"); });
  EXPECT_EQ(thrown([&] { scan().UpdateLaserVoltage(1, 1, &red, &green); }), 512);
  EXPECT_THAT(log(), HasSubstr("UpdateLaserVoltage returned error: 512"));
}

TEST_F(ScanObjTest, AStartedScanStreamsItsLinesAfterEachRequest) {
  scan().SetScanRegion(3, 2, 0, 0, 1.0, 1.0, 1, 1);
  forget();
  scan().StartScan(0x3, 1, 0);
  EXPECT_THAT(lines(), ElementsAre("setledmode 0x2 0x0 0x3 0x0", "startscan 0x3 0x1 0x0", "getscanline"));
  EXPECT_EQ(sim.requests()[sim.requests().size() - 2].timeoutSec, 90);
  EXPECT_EQ(scanner.GetComm().GetTimeout(), 10000);
  std::vector<std::uint8_t> line(12);
  EXPECT_EQ(scan().GetData(line.data(), 12), 12);
  EXPECT_EQ(line, lineBytes(0, 3, {0, 1}));
  scan().GetScanLine();
  EXPECT_EQ(scan().GetData(line.data(), 12), 12);
  EXPECT_EQ(line, lineBytes(1, 3, {0, 1}));
  EXPECT_EQ(devices.scans->linesSent(), 2);
  EXPECT_EQ(thrown([&] { scan().GetScanLine(); }), 4101);  // past the last row
  EXPECT_THAT(log(), HasSubstr("GetScanLine error: 0x1005"));

  sim.injectFault("startscan", {Fault::Kind::errorStatus, 0x38});
  forget();
  EXPECT_EQ(thrown([&] { scan().StartScan(1, 0, 0); }), 4096 + 0x38);
  EXPECT_THAT(lines(),
              ElementsAre("setledmode 0x2 0x0 0x3 0x0", "startscan 0x1 0x0 0x0"));  // no line asked for
}

TEST_F(ScanObjTest, ScanDataThatDoesNotComeTimesOut) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  std::vector<std::uint8_t> buffer(16);
  auto result =
      std::async(std::launch::async, [&] { return thrown([&] { scan().GetData(buffer.data(), 16); }); });
  driveUntilReady(*clock, result);
  EXPECT_EQ(result.get(), movrak::kErrTimedOut);
  EXPECT_THAT(log(), HasSubstr("Got timeout error getting scan data"));
  EXPECT_EQ(thrown([&] { scan().GetData(nullptr, 1); }), movrak::kErrBadParameter);
}

TEST_F(ScanObjTest, EndFlushesWhatIsLeftAndJudgesTheSerialPoll) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  const struct {
    std::uint8_t poll;
    int error;
  } cases[] = {{0, 0},
               {1, movrak::kErrEndScanBusy},
               {16, movrak::kErrEndScanMoreData},
               {5, movrak::kErrEndScanNotReady}};
  devices.scans->setExtraScanBytes(3000);  // one whole block and a short one beyond the line
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.poll));
    manager.setStatus(kInstrumentId, {true, 0, 0});
    scan().SetScanRegion(2, 1, 0, 0, 1.0, 1.0, 1, 1);
    scan().StartScan(0x1, 0, 0);
    std::uint8_t line[4];
    ASSERT_EQ(scan().GetData(line, 4), 4);
    manager.setStatus(kInstrumentId, {true, c.poll, 0});
    forget();
    auto result = std::async(std::launch::async, [&] { return thrown([&] { scan().End(); }); });
    driveUntilReady(*clock, result);
    EXPECT_EQ(result.get(), c.error);
    EXPECT_THAT(lines(), ElementsAre("getscanresults"));
    EXPECT_EQ(scanner.GetComm().GetTimeout(), 10000);
  }
  EXPECT_THAT(log(), HasSubstr("Reading extra data at end of scan: 2048 bytes read"));
  EXPECT_THAT(log(), HasSubstr("Reading extra data at end of scan: 952 bytes read"));
  EXPECT_THAT(log(), HasSubstr("FlushData: Read extra data 2 times at end of scan"));
  EXPECT_THAT(log(), HasSubstr("Error flushing scan data in EndScan: 611"));
  EXPECT_THAT(log(), HasSubstr("End Scan, scan result returned SUCCESS"));

  sim.injectFault("getscanresults", {Fault::Kind::errorStatus, 0x08});
  manager.setStatus(kInstrumentId, {true, 0, 0});
  devices.dsps->setLastResult(0);
  auto result = std::async(std::launch::async, [&] { return thrown([&] { scan().End(); }); });
  driveUntilReady(*clock, result);
  EXPECT_EQ(result.get(), 4104);
  EXPECT_THAT(log(), HasSubstr("GetResults returned error: 0x1008"));
  EXPECT_THAT(log(), HasSubstr("End Scan, scan result returned: 0x1008"));
}

TEST_F(ScanObjTest, AutofocusStatisticsGiveTheShareOfErrorsAndTheWorstRows) {
  std::vector<zevasim::ScanFamily::AFRecord> records;
  for (int row = 0; row < 25; ++row)
    records.push_back({static_cast<std::uint16_t>(row), static_cast<std::uint16_t>(row == 7 ? 500 : row)});
  devices.scans->setAFStats(records);
  EXPECT_DOUBLE_EQ(scan().GetAFStats(10000), (300.0 - 7 + 500) / 10000 * 100.0);
  EXPECT_EQ(lastLine(), "getautofocusstats");
  EXPECT_THAT(logLine("793 errors on 25 rows received from GetAutoFocusStats"), HasSubstr("INFO: "));
  EXPECT_EQ(logCount("largest AF errors -  row: "), 20);
  EXPECT_THAT(logLine("largest AF errors -  row: "), HasSubstr("row: 7   error count: 500"));
  EXPECT_EQ(logCount("row: 4   error count"), 0);  // not among the largest twenty
  EXPECT_THAT(log(), HasSubstr("Percent Auto Focus Hold (10000 total pixels) = 7.930000 percent."));

  devices.scans->setAFStats({{1, 10}}, 0x31);  // failed to home on some elements: still statistics
  EXPECT_DOUBLE_EQ(scan().GetAFStats(100), 10.0);
  devices.scans->setAFStats({}, 0x05);
  EXPECT_EQ(thrown([&] { scan().GetAFStats(100); }), 4101);
  devices.scans->setAFStats({});
  EXPECT_DOUBLE_EQ(scan().GetAFStats(100), 0.0);

  forget();
  EXPECT_EQ(thrown([&] { scan().GetAFStats(0); }), movrak::kErrBadParameter);
  EXPECT_EQ(thrown([&] { scan().GetAFStats(-5); }), movrak::kErrBadParameter);
  EXPECT_TRUE(lines().empty());
}

TEST_F(ScanObjTest, AbortAndTheOperationsThisModelLacks) {
  scanner.GetComm().SetTimeout(30000);
  scan().Abort();
  EXPECT_EQ(scanner.GetComm().GetTimeout(), 10000);
  ASSERT_TRUE(manager.waitForEvents(2));
  EXPECT_EQ(manager.events().back().type, brokla::kEventCmdAbort);
  EXPECT_THAT(log(), HasSubstr("Aborting last command..."));

  scan().CalibrateLasers();
  EXPECT_EQ(thrown([&] { scan().MeasureDarkOffset(); }), movrak::kErrUnsupportedModel);
  EXPECT_EQ(thrown([&] { scan().CheckLaserStatus(); }), movrak::kErrUnsupportedModel);
  for (const char* name : {"CalibrateLasers", "MeasureDarkOffset", "CheckLaserStatus"})
    EXPECT_THAT(log(), HasSubstr(std::string("CScanObj::") + name + "() function is not for C scanner"));
}

}  // namespace
