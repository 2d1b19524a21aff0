#include "devices/Scanner.h"

#include <future>

#include "BroklaProtocol/BroklaAppMessage.h"
#include "DeviceFixture.h"
#include "devices/DeviceErrors.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using zevasim::Fault;

class ScannerTest : public DeviceTest {
 protected:
  ScannerTest() { connect(); }
  void failNext(const std::string& word, int status) {
    sim.injectFault(word, {Fault::Kind::errorStatus, status});
  }
};

// ---- the object and its state --------------------------------------------------------------------

TEST(ScannerStateTest, NamesAndStatusTextsOfEveryState) {
  const struct {
    int state;
    const char* name;
    const char* text;
  } cases[] = {
      {kStateError, "Error", "Fatal System Error."},
      {kStateOffline, "Offline", "Scanner Offline (or awaiting initialization)."},
      {kStateInitializing, "Initializing", "Initializing Scanner..."},
      {kStateReady, "Ready", "Scanner ready."},
      {kStateBrowsing, "Browsing Carousel", "Browsing Carousel..."},
      {kStateWarming, "Lasers Warming", "Lasers are warming up..."},
      {kStateLasersOff, "Lasers Off", "Lasers are powered off."},
      {kStateCalibLasers, "Calibrating Laser Power", "Calibrating Laser power..."},
      {kStateCarouselRun, "Carousel Running", nullptr},
      {9, "Unknown", nullptr},
      {-1, "Unknown", nullptr},
  };
  CScanner scanner;
  EXPECT_EQ(scanner.GetScannerState(), kStateOffline);
  EXPECT_EQ(scanner.GetStatusMsgId(), 3001u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_STREQ(CScanner::GetStateName(c.state), c.name);
    if (!c.text) continue;
    // While initialising the last text given stays; every other state shows its own.
    scanner.SetStatusMsgId(c.state == kStateInitializing ? 3002 : 3999);
    scanner.SetScannerState(static_cast<tagScannerState>(c.state));
    EXPECT_EQ(scanner.GetStatusMsg(), c.text);
    EXPECT_EQ(scanner.GetStatusMsgId(), 3000u + static_cast<unsigned>(c.state));
  }
}

TEST(ScannerStateTest, StatusTextsOfTheInitialisationStepsAndTheErrorState) {
  CScanner scanner;
  scanner.SetScannerState(kStateInitializing);
  scanner.SetStatusMsgId(3104);
  EXPECT_EQ(scanner.GetStatusMsg(), "Initializing stage....");
  scanner.SetStatusMsgId(3999);
  EXPECT_EQ(scanner.GetStatusMsg(), "Unknown status message");
  EXPECT_EQ(scanner.GetStatusMsgId(), 3999u);

  scanner.SetScannerState(kStateError);
  EXPECT_EQ(scanner.GetStatusMsg(), "Fatal System Error.");
  scanner.SetErrorId(4109);
  EXPECT_EQ(scanner.GetStatusMsg(), "Fatal System Error.\r\nNo such FLASH key.  (Reported by runtime.)");
  scanner.SetErrorId(557);  // an id without a text adds nothing
  EXPECT_EQ(scanner.GetStatusMsg(), "Fatal System Error.");
}

TEST(ScannerStateTest, DevicesAreBuiltWithTheirIdsAndNames) {
  CScanner scanner;
  const struct {
    int id;
    std::uint32_t firmware;
    const char* name;
  } motors[] = {{kSlowStageMotor, 0x2000001, "Slow Stage"},
                {kVCStageMotor, 0x4000001, "Voice Coil Stage"},
                {kAFMotor, 0x5000001, "Autofocus Voice Coil"},
                {kALCarousel, 0x6000001, "Autoloader Carousel"},
                {kALArm, 0x6000002, "Autoloader Arm"}};
  for (const auto& m : motors) {
    ASSERT_NE(scanner.GetMotor(m.id), nullptr);
    EXPECT_EQ(scanner.GetMotor(m.id)->GetMotorId(), m.id);
    EXPECT_EQ(scanner.GetMotor(m.id)->GetFirmwareId(), m.firmware);
    EXPECT_EQ(scanner.GetMotor(m.id)->GetName(), m.name);
  }
  EXPECT_EQ(scanner.GetMotor(0), nullptr);
  EXPECT_EQ(scanner.GetMotor(6), nullptr);
  const char* colours[] = {"Red", "Green", "Purple", "Yellow"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(scanner.GetChannel(i), nullptr);
    EXPECT_EQ(scanner.GetChannel(i)->GetName(), colours[i]);
    EXPECT_EQ(scanner.GetChannel(i)->GetId(), i);
  }
  EXPECT_EQ(scanner.GetChannel(4), nullptr);
  EXPECT_EQ(scanner.GetDSP(4), nullptr);
  EXPECT_FALSE(scanner.IsAutoInit());
  EXPECT_FALSE(scanner.IsStatusThreadEnabled());
  EXPECT_EQ(scanner.IsScanInProgress(), 0u);
}

TEST(LaserBitsTest, EachTestReadsItsLasersBit) {
  using namespace PortCtrlLaser;
  const struct {
    const char* what;
    bool (*test)(std::uint32_t, bool);
    std::uint32_t greenBit;  // 0: never for green
    bool redReadsPowerBit;
  } cases[] = {{"heat-sink over-temperature", IsLaserHSOverTemp, 0x20, false},
               {"over-temperature", IsLaserOverTemp, 0x80, false},
               {"ready", IsLaserReady, 0x40, true},
               {"power on", IsLaserPowerOn, 0x100, true},
               {"over-current", IsLaserOverCurrent, 0x200, false},
               {"on", IsLaserOn, 0x400, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(c.test(c.greenBit, false));
    EXPECT_FALSE(c.test(~c.greenBit, false));
    EXPECT_EQ(c.test(0x8000, true), c.redReadsPowerBit);
    EXPECT_FALSE(c.test(0xFFFFFFFFu & ~0x8000u, true));
  }
  EXPECT_TRUE(IsRedLaserPowerOn(0x8000));
  EXPECT_FALSE(IsRedLaserPowerOn(0x7FFF));
}

TEST(BarcodeCheckTest, OnlyTheSystemsOwnFormats) {
  const struct {
    const char* barcode;
    const char* format;
    bool ours;
  } cases[] = {
      {"250000000001", "7", true},        {"16000000000001", "7X", true}, {"25000000001", "7", false},
      {"2500000000012", "7", false},      {"260000000001", "7", false},   {"1600000000000A", "7", false},
      {"16000000000001", "8", false},     {"250000000001", "", false},    {"", "7", false},
      {"16000000000001", nullptr, false}, {nullptr, "7", false},          {"25000000000 1", "7", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.barcode ? c.barcode : "(null)") + "/" + (c.format ? c.format : "(null)"));
    EXPECT_EQ(IsTarselBarcode(c.barcode, c.format), c.ours);
  }
}

// ---- error translation -----------------------------------------------------------------------------

TEST_F(ScannerTest, ControllerStatusesTranslateWithTheirFollowUps) {
  const struct {
    const char* what;
    int status;
    std::function<void(zevasim::DeviceFamilies&, zevasim::Instrument&)> arrange;
    int expected;
    std::vector<std::string> followUps;
  } cases[] = {
      {"plain", 0x3F, [](auto&, auto&) {}, 4096 + 0x3F, {}},
      {"DSP mailbox without a DSP error",
       3,
       [](auto& d, auto&) { d.dsps->setLastResult(0); },
       4099,
       {"getlastdspresult"}},
      {"DSP mailbox with DSP error 5",
       3,
       [](auto& d, auto&) { d.dsps->setLastResult(5); },
       8197,
       {"getlastdspresult"}},
      {"fatal scan error, no DSP result",
       8,
       [](auto& d, auto&) { d.dsps->setLastResult(-1); },
       4104,
       {"getlastdspresult"}},
      {"DSP result query failing the same way",
       3,
       [](auto&, auto& s) {
         s.injectFault("getlastdspresult", {Fault::Kind::errorStatus, 3});
       },
       4099,
       {"getlastdspresult"}},
      {"fast stage temperature",
       43,
       [](auto& d, auto&) { d.controller->setExtendedStatus(2, 0x70); },
       11120,
       {"dspextstatus", "getpicstatus 2"}},
      {"autofocus temperature",
       44,
       [](auto& d, auto&) { d.controller->setExtendedStatus(3, 0x70); },
       10864,
       {"dspextstatus", "getpicstatus 3"}},
      {"other autofocus status",
       43,
       [](auto& d, auto&) { d.controller->setExtendedStatus(3, 5); },
       10752 + 5,
       {"dspextstatus"}},
      {"unexpected DSP",
       44,
       [](auto& d, auto&) { d.controller->setExtendedStatus(1, 5); },
       636,
       {"dspextstatus"}},
      {"extended status query failing the same way",
       43,
       [](auto&, auto& s) {
         s.injectFault("dspextstatus", {Fault::Kind::errorStatus, 43});
       },
       4096 + 43,
       {"dspextstatus"}},
      {"PIC status query failing",
       43,
       [](auto& d, auto& s) {
         d.controller->setExtendedStatus(2, 0x70);
         s.injectFault("getpicstatus", {Fault::Kind::errorStatus, 5});
       },
       4096 + 43,
       {"dspextstatus", "getpicstatus 2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim.clearFaults();
    c.arrange(devices, sim);
    failNext("lockdoor", c.status);
    forget();
    EXPECT_EQ(thrown([&] { scanner.LockDoor(); }), c.expected);
    std::vector<std::string> expected = {"lockdoor"};
    expected.insert(expected.end(), c.followUps.begin(), c.followUps.end());
    EXPECT_EQ(lines(), expected);
  }
  EXPECT_THAT(logLine("Fast stage temperature monitor failure, PIC status = 0x0."), HasSubstr("ERROR: "));
  EXPECT_THAT(log(), HasSubstr("DSP extended status:  DSP: Fast Stage  Status: 0x70"));
  EXPECT_THAT(log(), HasSubstr("DSP extended status:  DSP: Autofocus  Status: 0x5"));
  EXPECT_EQ(scanner.TranslateDSPError(0), 0);
  EXPECT_EQ(scanner.TranslateDSPError(5), 8197);
  EXPECT_EQ(scanner.TranslateRuntimeError(0), 0);
}

TEST_F(ScannerTest, ASlowStageTimeOutLogsWhatFollowsItsStatus) {
  // A raw status read leaves the rest of the reply for the translation to log.
  sim.setHandler("tunemotor", [](const zevasim::Request&) {
    zevasim::Reply r;
    r.frames = {"14,at 1F40\n"};
    return r;
  });
  std::uint16_t samples[1];
  EXPECT_EQ(thrown([&] { scanner.GetSlowStage().Tune(1, 1, samples, 1); }), 4116);
  EXPECT_THAT(logLine("Slow Stage Timeout.  Position is: at 1F40"), HasSubstr("DEBUG(1): "));
}

// ---- instrument commands -----------------------------------------------------------------------------

TEST_F(ScannerTest, EachCommandSendsItsLineAndReadsItsValue) {
  devices.controller->setDiagADC(3, 0x300);
  devices.autoloader->setSensorWord(0xA5);
  devices.controller->setPICStatus(2, 0x77);
  const struct {
    const char* what;
    std::function<long(CScanner&)> call;
    const char* line;
    long result;
  } cases[] = {
      {"diagnostic ADC", [](CScanner& s) { return static_cast<long>(s.ReadDiagADC(3)); }, "readdiagadc 0x3",
       0x300},
      {"last diagnostic channel", [](CScanner& s) { return static_cast<long>(s.ReadDiagADC(15)); },
       "readdiagadc 0xF", 0xF00},
      {"position-sensing detector", [](CScanner& s) { return static_cast<long>(s.ReadPSDVal()); }, "psdval",
       0x1234},
      {"DMA latch",
       [](CScanner& s) {
         s.FlushDMALatch();
         return 0L;
       },
       "flushdmalatch", 0},
      {"PIC status", [](CScanner& s) { return static_cast<long>(s.GetPICStatus(2)); }, "getpicstatus 2",
       0x77},
      {"extended DSP status", [](CScanner& s) { return static_cast<long>(s.GetDSPExtendedStatus()); },
       "dspextstatus", 11008},
      {"autoloader sensor", [](CScanner& s) { return static_cast<long>(s.ReadAutoloaderSensor()); },
       "readalsensor", 0xA5},
      {"door closed", [](CScanner& s) { return static_cast<long>(s.IsDoorClosed()); }, "doorclosed", 1},
      {"lock door",
       [](CScanner& s) {
         s.LockDoor();
         return 0L;
       },
       "lockdoor", 0},
      {"unlock door",
       [](CScanner& s) {
         s.UnLockDoor();
         return 0L;
       },
       "unlockdoor", 0},
      {"prepare reader",
       [](CScanner& s) {
         s.PrepareBarcodeReader();
         return 0L;
       },
       "preparebcr", 0},
      {"reader light on",
       [](CScanner& s) {
         s.BarcodeReaderLaserControl(true);
         return 0L;
       },
       "bcrlasercontrol 1", 0},
      {"reader light off",
       [](CScanner& s) {
         s.BarcodeReaderLaserControl(false);
         return 0L;
       },
       "bcrlasercontrol 0", 0},
      {"LEDs",
       [](CScanner& s) {
         s.SetLEDs(1, 2, 3, 4);
         return 0L;
       },
       "setledmode 0x1 0x2 0x3 0x4", 0},
      {"command time-out", [](CScanner& s) { return s.SetCmdTimeout(45000); }, "setcmdtimeout 45000", 30000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(scanner), c.result);
    EXPECT_EQ(lastLine(), c.line);
  }
  EXPECT_EQ(devices.controller->leds(), (std::array<unsigned, 4>{1, 2, 3, 4}));
  EXPECT_EQ(devices.controller->commandTimeout(), 45000);
  EXPECT_THAT(logLine("Turned Barcode Reader Light OFF"), HasSubstr("INFO: "));
  EXPECT_THAT(log(), HasSubstr("SetLEDs():  green: 1  yellow: 2  red: 3"));
  EXPECT_THAT(log(), HasSubstr("ReadDiagADC():  Channel: 3  Value: 768"));

  forget();
  scanner.SetADC(1, 2, 3);
  EXPECT_EQ(thrown([&] { scanner.ReadDiagADC(16); }), movrak::kErrInvalidDiagChannel);
  EXPECT_TRUE(lines().empty());
  EXPECT_THAT(log(), HasSubstr("CScanner::SetADC() function is not for C scanner"));
}

TEST_F(ScannerTest, CommandFailuresAreLoggedWithTheirMessages) {
  const struct {
    const char* word;
    std::function<void(CScanner&)> call;
    int error;
    const char* logged;
  } cases[] = {
      {"doorclosed", [](CScanner& s) { s.IsDoorClosed(); }, 4101, "IsDoorClosed failed with error: 4101"},
      {"lockdoor", [](CScanner& s) { s.LockDoor(); }, 4101, "LockDoor failed with error: 4101"},
      {"unlockdoor", [](CScanner& s) { s.UnLockDoor(); }, 4101, "UnLockDoor failed with error: 4101"},
      {"preparebcr", [](CScanner& s) { s.PrepareBarcodeReader(); }, 4101,
       "PrepareBarcodeReader failed with error: 4101"},
      {"bcrlasercontrol", [](CScanner& s) { s.BarcodeReaderLaserControl(true); }, 4101,
       "BarcodeReaderLaserControl failed with error: 4101"},
      {"readalsensor", [](CScanner& s) { s.ReadAutoloaderSensor(); }, 4101,
       "Sensor read returned error: 4101"},
      {"getpicstatus", [](CScanner& s) { s.GetPICStatus(3); }, 4101,
       "GetPICStatus failed with error: 0x1005"},
      {"dspextstatus", [](CScanner& s) { s.GetDSPExtendedStatus(); }, 4101,
       "GetDSPExtendedStatus failed with error: 0x1005"},
      {"getversioninfo",
       [](CScanner& s) {
         std::string a, b, c, d;
         s.GetFWVersion(a, b, c, d, nullptr);
       },
       4101, "GetFWVersion returned error: 4101"},
      {"setcmdtimeout", [](CScanner& s) { s.SetCmdTimeout(1); }, 4101,
       "SetCmdTimeout failed with error: 0x1005"},
      {"flushdmalatch", [](CScanner& s) { s.FlushDMALatch(); }, movrak::kErrFlushDMA, nullptr},
      {"setledmode", [](CScanner& s) { s.SetLEDs(0, 0, 0, 0); }, 4101, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    failNext(c.word, 5);
    EXPECT_EQ(thrown([&] { c.call(scanner); }), c.error);
    if (c.logged) {
      EXPECT_THAT(logLine(c.logged), HasSubstr("DEBUG(1): "));
    }
  }
  EXPECT_EQ(devices.autoloader->doorLocked(), false);
  sim.injectFault("flushdmalatch", {Fault::Kind::closeMidReply, 0, 2});  // the connection goes, twice
  EXPECT_EQ(thrown([&] { scanner.FlushDMALatch(); }), movrak::kErrConnectionLost);
  devices.autoloader->setDoorValue(2);
  EXPECT_FALSE(scanner.IsDoorClosed());
}

TEST_F(ScannerTest, ValuesThatAreNoNumbersAreErrors) {
  const struct {
    const char* word;
    const char* rest;  // nullptr: no comma at all
    std::function<long(CScanner&)> call;
    long result;  // when no error
    int error;
  } cases[] = {
      {"readdiagadc", "zz", [](CScanner& s) { return static_cast<long>(s.ReadDiagADC(1)); }, 0, 512},
      {"readdiagadc", nullptr, [](CScanner& s) { return static_cast<long>(s.ReadDiagADC(1)); }, 0, 512},
      {"readdiagadc", "1FFFFFFFF", [](CScanner& s) { return static_cast<long>(s.ReadDiagADC(1)); }, 0, 512},
      {"psdval", "", [](CScanner& s) { return static_cast<long>(s.ReadPSDVal()); }, 0, 512},
      {"doorclosed", "x1", [](CScanner& s) { return static_cast<long>(s.IsDoorClosed()); }, 0, 512},
      {"dspextstatus", "2", [](CScanner& s) { return static_cast<long>(s.GetDSPExtendedStatus()); }, 0, 512},
      {"dspextstatus", "2,", [](CScanner& s) { return static_cast<long>(s.GetDSPExtendedStatus()); }, 0, 512},
      {"dspextstatus", "3,1F,9", [](CScanner& s) { return static_cast<long>(s.GetDSPExtendedStatus()); },
       10752 + 0x1F, 0},
      {"setcmdtimeout", "", [](CScanner& s) { return s.SetCmdTimeout(5); }, 0, 512},
      {"getpicstatus", "12 34", [](CScanner& s) { return static_cast<long>(s.GetPICStatus(2)); }, 0x12, 0},
      {"peek", "", [](CScanner& s) { return static_cast<long>(s.Peek("1")); }, 0xFF, 0},
      {"peek", "12F", [](CScanner& s) { return static_cast<long>(s.Peek("1")); }, 0x2F, 0},  // a byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.word) + " " + (c.rest ? c.rest : "(none)"));
    sim.setHandler(c.word, [rest = c.rest ? std::optional<std::string>(c.rest) : std::nullopt](
                               const zevasim::Request&) { return zevasim::Reply::ok(rest); });
    long result = -1;
    EXPECT_EQ(thrown([&] { result = c.call(scanner); }), c.error);
    if (c.error == 0) {
      EXPECT_EQ(result, c.result);
    }
  }
}

TEST_F(ScannerTest, VersionRepliesAreTwoOrThreeLinesOfFields) {
  devices.controller->setVersionInfo("B,a,2,3,BOOT,Boot ROM 2009\nR,4,5,1F,RT,Runtime build 7\n4000000\n");
  std::string boot, bootField, runtime, runtimeField;
  std::uint32_t ram = 0;
  scanner.GetFWVersion(boot, bootField, runtime, runtimeField, &ram);
  EXPECT_EQ(lastLine(), "getversioninfo");
  EXPECT_EQ(boot, "Version B.10.2.3 Boot ROM 2009");
  EXPECT_EQ(bootField, "BOOT");
  EXPECT_EQ(runtime, "Version R.4.5.31 Runtime build 7");
  EXPECT_EQ(runtimeField, "RT");
  EXPECT_EQ(ram, 0x4000000u);

  std::array<std::string, 3> versions, fields;
  scanner.GetDSPVersion(versions, fields);
  EXPECT_EQ(lastLine(), "getdspversioninfo");
  EXPECT_THAT(versions, ElementsAre("Version S.1.0.2 Scan DSP", "Version V.2.1.0 Stage DSP",
                                    "Version A.3.0.1 Autofocus DSP"));
  EXPECT_THAT(fields, ElementsAre("SCAN", "VCS", "VCAF"));

  for (const char* bad :
       {"B,1,2,3,BOOT,Boot\n", "B,1,2,3,BOOT,Boot\nR,4,5,6,RT,Run\n",
        "B,1,2,3,BOOT,Boot\nR,4,5,x,RT,Run\n4000\n", "B,1,2,3,Boot\nR,4,5,6,RT,Run\n4000\n", ""}) {
    SCOPED_TRACE(bad);
    devices.controller->setVersionInfo(bad);
    boot = "kept";
    EXPECT_EQ(thrown([&] { scanner.GetFWVersion(boot, bootField, runtime, runtimeField, &ram); }), 512);
    EXPECT_EQ(boot, "kept");
  }
  devices.controller->setDspVersionInfo("S,1,0,2,SCAN,Scan DSP\nV,2,1,0,VCS,Stage DSP\n");
  EXPECT_EQ(thrown([&] { scanner.GetDSPVersion(versions, fields); }), 512);
}

TEST_F(ScannerTest, BarcodesAreCheckedAgainstTheSystemsOwnFormats) {
  const struct {
    const char* reply;
    const char* barcode;
    int check;
    const char* nonTarselLine;
  } cases[] = {
      {"250000000001,7", "250000000001", 1, nullptr},
      {"16000000000001,7", "16000000000001", 1, nullptr},
      {"1600000000000A,7", "1600000000000A", 0, "Barcode = 1600000000000A, format = 7 [non-Tarsel barcode]"},
      {"250000000001,9X", "250000000001", 0, "Barcode = 250000000001, format = 9 [non-Tarsel barcode]"},
      {"25,00,7", "25,00", 0, "Barcode = 25,00, format = 7 [non-Tarsel barcode]"},
      {"250000000001,", "250000000001", 0, "Barcode = 250000000001, format = ??? [non-Tarsel barcode]"},
      {"250000000001", "", 0, "Barcode = , format = ??? [non-Tarsel barcode]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    sim.setHandler("readbarcode", [reply = std::string(c.reply)](const zevasim::Request&) {
      return zevasim::Reply::ok(reply);
    });
    EXPECT_EQ(scanner.ReadBarcode(), c.barcode);
    EXPECT_EQ(scanner.GetBarcodeCheck(), c.check);
    if (c.nonTarselLine) {
      EXPECT_THAT(logLine(c.nonTarselLine), HasSubstr("DEBUG(1): "));
    }
  }
}

TEST_F(ScannerTest, TheBarcodeIsThatOfTheSlideUnderTheReader) {
  devices.autoloader->putSlide(0, {"250000000042", "7"});
  devices.autoloader->putSlide(2, {"160000000000AB", "7"});
  EXPECT_EQ(scanner.ReadBarcode(), "250000000042");
  EXPECT_EQ(scanner.GetBarcodeCheck(), 1);
  devices.motors->update(zevasim::MotorFamily::kCarousel, [](auto& a) { a.slot = 1; });
  EXPECT_EQ(thrown([&] { scanner.ReadBarcode(); }), 4144);
  EXPECT_EQ(scanner.GetBarcodeCheck(), 0);  // cleared before each read
  EXPECT_THAT(log(), HasSubstr("ReadBarcode failed with error: 4144"));
  devices.motors->update(zevasim::MotorFamily::kCarousel, [](auto& a) { a.slot = 2; });
  EXPECT_EQ(scanner.ReadBarcode(), "160000000000AB");
  EXPECT_EQ(scanner.GetBarcodeCheck(), 0);
}

TEST_F(ScannerTest, PeekAndPokePassTheirTextsOnButOnlyAsSingleTokens) {
  scanner.Poke("10", "2A");
  EXPECT_EQ(lastLine(), "poke 10 2A");
  EXPECT_EQ(sim.memory(0x10), 0x2A);
  EXPECT_EQ(scanner.Peek("10"), 0x2A);
  EXPECT_EQ(lastLine(), "peek 10");
  EXPECT_THAT(log(), HasSubstr("Peek():  Result: 0x2A"));

  forget();
  const std::function<void()> refused[] = {
      [&] { scanner.Poke("1 0", "2"); }, [&] { scanner.Poke("10", "2\npoke 11 3"); },
      [&] { scanner.Poke("10", ""); },   [&] { scanner.Poke(nullptr, "1"); },
      [&] { scanner.Peek("10\nboot"); }, [&] { scanner.Peek(""); },
  };
  for (const auto& call : refused) EXPECT_EQ(thrown(call), movrak::kErrBadParameter);
  EXPECT_TRUE(lines().empty());

  EXPECT_EQ(thrown([&] { scanner.Poke("10", "1FF"); }), 4101);  // the instrument's byte range
  sim.setHandler("peek", [](const zevasim::Request&) { return zevasim::Reply::error(5); });
  EXPECT_EQ(thrown([&] { scanner.Peek("10"); }), 4101);
  EXPECT_THAT(log(), HasSubstr("Peek failed with error 4101"));
}

TEST_F(ScannerTest, PeekAndPokeWaitForTheInstrumentAndPumpMessagesMeanwhile) {
  static std::atomic<int> pumped{0};
  pumped = 0;
  const MessagePumpHook previous = SetMessagePumpHook([] { ++pumped; });
  manager.setStatus(kInstrumentId, {true, 1, 0});
  const int polls = manager.countRequests(brokla::kMsgStatus);
  EXPECT_EQ(thrown([&] { scanner.Peek("10"); }), movrak::kErrNotReady);
  EXPECT_EQ(thrown([&] { scanner.Poke("10", "1"); }), movrak::kErrNotReady);
  EXPECT_EQ(manager.countRequests(brokla::kMsgStatus) - polls, 20);
  EXPECT_EQ(pumped, 20);
  EXPECT_TRUE(lines().empty());

  manager.setStatus(kInstrumentId, {true, 0, 0});
  scanner.Poke("10", "1");
  EXPECT_EQ(pumped, 21);
  SetMessagePumpHook(previous);
}

// ---- serial number and model ---------------------------------------------------------------------------

TEST_F(ScannerTest, SerialNumberAndModelComeFromFlashWithFallbacks) {
  EXPECT_EQ(scanner.GetSerialNumber(), "ZS000001");
  EXPECT_EQ(lastLine(), "getparam InstSerialNum");
  EXPECT_EQ(scanner.GetModel(), "ZS-C");
  EXPECT_EQ(lastLine(), "getparam Model");

  devices.flash->erase("InstSerialNum");
  devices.flash->erase("Model");
  EXPECT_EQ(scanner.GetSerialNumber(), "Unknown Serial Number");
  EXPECT_THAT(logLine("No serial number set in FLASH for this instrument"), HasSubstr("WARNING: "));
  EXPECT_EQ(scanner.GetModel(), "Unknown scanner model.");
  EXPECT_THAT(logLine("No model set in FLASH for this instrument"), HasSubstr("WARNING: "));

  failNext("getparam", 5);
  EXPECT_EQ(thrown([&] { scanner.GetSerialNumber(); }), 4101);
  failNext("getparam", 5);
  EXPECT_EQ(thrown([&] { scanner.GetModel(); }), 4101);
}

TEST_F(ScannerTest, ABusyInstrumentGivesNoSerialNumberAndTheLastModel) {
  EXPECT_EQ(scanner.GetModel(), "ZS-C");
  devices.flash->set("Model", "ZS-D");
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  std::promise<void> held, release;
  std::thread holder([&] {
    scanner.GetComm().LockComm();
    held.set_value();
    release.get_future().wait();
    scanner.GetComm().UnlockComm();
  });
  held.get_future().wait();
  forget();
  for (const auto& [call, expected] : {std::pair<std::function<std::string()>, std::string>{
                                           [&] { return scanner.GetSerialNumber(); }, "unavailable"},
                                       {[&] { return scanner.GetModel(); }, "ZS-C"}}) {
    auto result = std::async(std::launch::async, call);
    ASSERT_TRUE(clock->waitForWaiters(1));
    clock->advance(std::chrono::milliseconds(5000));
    EXPECT_EQ(result.get(), expected);
  }
  release.set_value();
  holder.join();
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(scanner.GetModel(), "ZS-D");
}

}  // namespace
