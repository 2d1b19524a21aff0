// ScanLL objects made through the COM layer: the connection check and its exemptions,
// connecting, the shared link, versions, downloads, FLASH keys and the error reports.
#include "ComFixture.h"
#include "Jotwell/Logger.h"
#include "platform/files.h"

namespace {

using platform::com::S_OK;
using testing::Contains;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;
using WORD = IScanLL::WORD;
using BYTE = IScanLL::BYTE;

class ScanLLComTest : public ComTest {
 protected:
  // The log line of a failure with its code and source.
  static std::string logLine(const std::string& message, int id, const std::string& source) {
    char code[16];
    std::snprintf(code, sizeof code, "%X", static_cast<unsigned>(id));
    return message + "\r\n\t\t[Error Code: 0x" + code + "  Source: IScanLL (" + source + ")]";
  }
};

// Every method with a connection check, called on an object that has not connected: 566
// with the method's source, and nothing reaches the instrument.
TEST_F(ScanLLComTest, MethodsRefuseWithoutAConnectionOfTheirOwn) {
  ComPtr<IScanLL> ll = createLL();
  const std::string text566 =
      "A connection to the scanner has been lost or has not been established yet.  Please connect to a "
      "scanner "
      "first.";
  LONG l = 0;
  ULONG u = 0;
  WORD w = 0;
  BYTE b = 0;
  BOOL32 f = 0;
  std::string s;
  double d = 0;
  float x = 0;
  const struct {
    const char* source;
    std::function<HRESULT(IScanLL&)> call;
  } cases[] = {
      {"GetVersionInfo", [&](IScanLL& o) { return o.GetVersionInfo(&s, &s, &s, &s, &u); }},
      {"DownloadFirmware", [&](IScanLL& o) { return o.DownloadFirmware("rt.bin"); }},
      {"DownloadDSP", [&](IScanLL& o) { return o.DownloadDSP("dsp.s", kScan); }},
      {"FlashBurn", [&](IScanLL& o) { return o.FlashBurn(); }},
      {"FlashLoad", [&](IScanLL& o) { return o.FlashLoad(); }},
      {"FlashDump", [&](IScanLL& o) { return o.FlashDump("flash.txt"); }},
      {"FlashErase", [&](IScanLL& o) { return o.FlashEraseKey("Model"); }},
      {"FlashGetString", [&](IScanLL& o) { return o.FlashGetString("Model", &s); }},
      {"FlashGetUnsignedDef", [&](IScanLL& o) { return o.FlashGetUnsignedDef("Model", 1, &u); }},
      {"FlashSetUnsigned", [&](IScanLL& o) { return o.FlashSetUnsigned("Model", 1); }},
      {"FlushDMA", [&](IScanLL& o) { return o.FlushDMA(); }},
      {"MotorGetPos", [&](IScanLL& o) { return o.MotorGetPos(kSlowStageMotor, &l); }},
      // The connection is checked before the motor id.
      {"MotorHome", [&](IScanLL& o) { return o.MotorHome(static_cast<tagMotorIDs>(9)); }},
      {"MotorTune", [&](IScanLL& o) { return o.MotorTune(kAFMotor, 3, 1, 1, "tune.txt"); }},
      {"MtrGetMinPos", [&](IScanLL& o) { return o.MotorGetMinPos(kAFMotor, &l); }},
      {"MotorStepTest", [&](IScanLL& o) { return o.MotorStepTest(kSlowStageMotor, 1, 1, 1, 1, nullptr); }},
      {"Peek", [&](IScanLL& o) { return o.Peek(0x100, &b); }},
      {"DSPPeek", [&](IScanLL& o) { return o.DSPPeek(static_cast<tagDSPIDs>(0), kDataSpace, 1, &w); }},
      {"DSPMemDump", [&](IScanLL& o) { return o.DSPMemWrite(kScan, 0, 1, "dump.txt"); }},
      {"WriteString", [&](IScanLL& o) { return o.WriteString("peek 0\n", &l); }},
      {"ReadString", [&](IScanLL& o) { return o.ReadString(-1, &s, &l); }},
      {"GetStatus", [&](IScanLL& o) { return o.GetStatus(&b); }},
      {"Timeout", [&](IScanLL& o) { return o.put_Timeout(5000); }},
      {"BootROMVerStr", [&](IScanLL& o) { return o.get_BootROMVerStr(&s); }},
      {"getdspversioninfo", [&](IScanLL& o) { return o.GetDSPVersion(&s, &s, &s, &s, &s, &s); }},
      {"RamSize", [&](IScanLL& o) { return o.get_ChipThickness(&d); }},
      {"FindFiducials", [&](IScanLL& o) { return o.FindFiducials(&x, &x, &x); }},
      {"PMTChangeVoltage", [&](IScanLL& o) { return o.PMTChangeVoltage(static_cast<tagPMTChannels>(7), 1); }},
      {"MeasureDarkOffset", [&](IScanLL& o) { return o.MeasureDarkOffset(1, 1, 1, &w); }},
      {"CheckSensors",
       [&](IScanLL& o) { return o.CheckSensors(&f, nullptr, nullptr, nullptr, nullptr, nullptr, &f); }},
      {"UnlockDoor", [&](IScanLL& o) { return o.UnLockDoor(); }},
      {"SetLED", [&](IScanLL& o) { return o.SetLED(1, 1, 1, 1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(c.call(*ll), Itf(566));
    EXPECT_EQ(description(), text566);
    EXPECT_THAT(log(), HasSubstr(logLine(text566, 566, c.source)));
  }
  EXPECT_THAT(lines(), IsEmpty());
  EXPECT_EQ(manager.connectedClients(), 0);
}

TEST_F(ScanLLComTest, MethodsWithoutAConnectionCheckDoNotAnswer566) {
  ComPtr<IScanLL> ll = createLL();
  BOOL32 match = 1;
  EXPECT_EQ(ll->CheckErrorCode(4147, 6, &match), S_OK);
  EXPECT_EQ(match, 1);
  EXPECT_EQ(ll->Disconnect(), S_OK);

  // Refused on this model whether connected or not.
  float v = 0;
  ULONG u = 0;
  const std::string note109 = "Unsupported scanner model. [CScanLL::";
  EXPECT_EQ(ll->CalibrateLasers(1, 1, &v, &v, &v, &v, &u), Itf(109));
  EXPECT_EQ(description(),
            "Unsupported scanner model. [CScanLL::CalibrateLasers() function is not for C scanner]");
  EXPECT_EQ(ll->CalibrateLasersRaw(1, 1, &u, &u, &u, &u, &u), Itf(109));
  EXPECT_EQ(description(),
            "Unsupported scanner model. [CScanLL::CalibrateLasers() function is not for C scanner]");
  EXPECT_EQ(ll->LaserPowerRequest(1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1), Itf(109));
  EXPECT_EQ(description(),
            "Unsupported scanner model. [CScanLL::LaserPowerRequest() function is not for C scanner]");
  EXPECT_EQ(ll->RemoveAllLaserPowerRequests(), Itf(109));
  EXPECT_EQ(
      description(),
      "Unsupported scanner model. [CScanLL::RemoveAllLaserPowerRequests() function is not for C scanner]");
  EXPECT_THAT(log(), HasSubstr(logLine("Unsupported scanner model.", 109, "CalibrateLasers")));

  // These go to the device model, whose closed link answers for itself: the failure
  // names the motor, which the connection check's never does.
  LONG l = 0;
  EXPECT_EQ(ll->MotorGetMaxPos(kAFMotor, &l), Itf(566));
  EXPECT_THAT(description(), testing::EndsWith("  Motor:  Autofocus Voice Coil"));
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (MtrGetMaxPos)]"));
  EXPECT_EQ(ll->MotorCalibrate(kAFMotor), Itf(566));
  EXPECT_THAT(description(), testing::EndsWith("  Motor:  Autofocus Voice Coil"));
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (MotorCalibrate)]"));
  EXPECT_THAT(log(), HasSubstr("Calibrating Autofocus Voice Coil motor."));
  BOOL32 reached = 1;
  EXPECT_NE(ll->CalibrateLaserEx(1, 1.0, 0.1, 1, 1, &reached), S_OK);
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (CalibrateLasers)]"));
  EXPECT_EQ(reached, 1);
  EXPECT_NE(ll->StopBrowseCarousel(), Itf(566));
  // Motor ids are still checked.
  EXPECT_EQ(ll->MotorGetMaxPos(static_cast<tagMotorIDs>(0), &l), Itf(606));
  EXPECT_THAT(log(), HasSubstr(logLine("Invalid motor type specified.", 606, "MtrGetMaxPos")));
  EXPECT_EQ(ll->MotorGetMaxPos(static_cast<tagMotorIDs>(6), &l), static_cast<HRESULT>(0x8004025E));
}

TEST_F(ScanLLComTest, ConnectingToTheFirstInstrumentAndFailingToConnect) {
  ComPtr<IScanLL> other = createLL();
  const HRESULT hr = other->Connect("127.0.0.1_1");  // no such instrument
  EXPECT_TRUE(platform::com::Failed(hr));
  EXPECT_THAT(description(), HasSubstr("  Scanner: 127.0.0.1_1."));
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (Connect)]"));
  EXPECT_EQ(other->FlashBurn(), Itf(566));

  ComPtr<IScanLL> ll = createLL();
  ASSERT_EQ(ll->Connect(""), S_OK) << description();
  EXPECT_THAT(log(), HasSubstr("Connect():  No connection string specified.  Use first instrument found."));
  ULONG ram = 0;
  ASSERT_EQ(ll->get_RamSize(&ram), S_OK) << description();
  EXPECT_EQ(ram, 0x4000000u);
  ASSERT_EQ(ll->Disconnect(), S_OK);
  EXPECT_EQ(ll->get_RamSize(&ram), Itf(566));
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
}

TEST_F(ScanLLComTest, EachObjectConnectsItselfAndOneDisconnectLeavesTheOthersLinked) {
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  ComPtr<IScanLL> first = createLL();
  ComPtr<IScanLL> second = createLL();
  connect(*first);
  LONG pos = 0;
  EXPECT_EQ(second->MotorGetPos(kAFMotor, &pos), Itf(566));  // the same scanner, but not connected
  connect(*second);
  ASSERT_EQ(second->MotorGetPos(kAFMotor, &pos), S_OK) << description();

  // A service object's disconnect does not pull the link from under the others.
  ASSERT_EQ(first->Disconnect(), S_OK);
  first.reset();
  ASSERT_EQ(second->Disconnect(), S_OK);
  ASSERT_EQ(ctrl->Initialize(), S_OK);  // the status thread works on the same link
  std::string serial;
  ASSERT_EQ(ctrl->get_InstrumentSerialNumber(&serial), S_OK) << description();
  EXPECT_EQ(sim.connections(), 1);
  EXPECT_GT(manager.lockCount(kInstrumentId), 0);

  // A service object still connected keeps it when the scanning client disconnects.
  connect(*second);
  ASSERT_EQ(ctrl->Disconnect(), S_OK);
  ASSERT_EQ(second->MotorGetPos(kAFMotor, &pos), S_OK) << description();
  ASSERT_EQ(second->Disconnect(), S_OK);  // the last one closes it
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
}

TEST_F(ScanLLComTest, VersionsAreReadOnceUntilTheNextConnect) {
  ComPtr<IScanLL> ll = createLL();
  connect(*ll);
  std::string bootVer, bootName, runVer, runName;
  ULONG ram = 0;
  ASSERT_EQ(ll->GetVersionInfo(&bootVer, &bootName, &runVer, &runName, &ram), S_OK) << description();
  std::string bootText, runText;
  ASSERT_EQ(ll->get_BootROMVerStr(&bootText), S_OK);
  ASSERT_EQ(ll->get_RuntimeVerStr(&runText), S_OK);
  EXPECT_EQ(bootText, bootName + "  " + bootVer);
  EXPECT_EQ(runText, runName + " " + runVer);
  EXPECT_FALSE(bootVer.empty());
  EXPECT_FALSE(runName.empty());
  EXPECT_EQ(ram, 0x4000000u);
  std::string dsp[6];
  ASSERT_EQ(ll->GetDSPVersion(&dsp[0], &dsp[1], &dsp[2], &dsp[3], &dsp[4], &dsp[5]), S_OK);
  for (const auto& text : dsp) EXPECT_FALSE(text.empty());
  auto count = [&](const std::string& word) {
    const auto sent = lines();
    return std::count_if(sent.begin(), sent.end(),
                         [&](const std::string& l) { return l.rfind(word, 0) == 0; });
  };
  EXPECT_EQ(count("getversioninfo"), 1);
  EXPECT_EQ(count("getdspversioninfo"), 1);

  // A read that fails is not tried again until the next Connect.
  ComPtr<IScanLL> fresh = createLL();
  connect(*fresh);
  sim.injectFault("getversioninfo", {zevasim::Fault::Kind::errorStatus, 0x05, 1});
  ASSERT_EQ(fresh->get_RamSize(&ram), S_OK);
  EXPECT_EQ(ram, 0u);
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (GetVersionInfo)]"));
  ASSERT_EQ(fresh->get_RamSize(&ram), S_OK);
  EXPECT_EQ(ram, 0u);
  connect(*fresh);
  ASSERT_EQ(fresh->get_RamSize(&ram), S_OK);
  EXPECT_EQ(ram, 0x4000000u);
}

TEST_F(ScanLLComTest, ADSPDownloadReadsTheVersionsAgainAndRestoresDebugLines) {
  ComPtr<IScanLL> ll = createLL();
  connect(*ll);
  ULONG ram = 0;
  ASSERT_EQ(ll->get_RamSize(&ram), S_OK);
  EXPECT_TRUE(platform::createDirectories(tempDir() + "/install/Data"));
  testsupport::writeFile(tempDir() + "/install/Data/prog.s", "S1050000123484\n");
  ASSERT_EQ(ll->DownloadDSP("prog.s", kVCStage), S_OK) << description();  // in the data folder
  ASSERT_EQ(devices.dsps->downloads().size(), 1u);
  EXPECT_EQ(devices.dsps->downloads()[0].dspId, 2u);
  EXPECT_EQ(devices.dsps->downloads()[0].image, (std::vector<std::uint8_t>{0x12, 0x34}));
  forget();
  ASSERT_EQ(ll->get_RamSize(&ram), S_OK);
  EXPECT_THAT(lines(), Contains(testing::StartsWith("getversioninfo")));

  // A bad DSP id: 619 with its detail, and debug lines come back on.
  EXPECT_EQ(ll->DownloadDSP("prog.s", static_cast<tagDSPIDs>(0)), Itf(619));
  EXPECT_EQ(description(), "Invalid DSP id specified.  DSP id: 0");
  EXPECT_TRUE(CLogger::m_bDebugOn);
  EXPECT_EQ(ll->DownloadDSP("missing.s", kScan), Itf(595));
  EXPECT_EQ(description(), "Cannot read firmware file.  DSP (1) from firmware file: missing.s.");
  EXPECT_TRUE(CLogger::m_bDebugOn);

  // A download leaves debug lines as it found them, even off.
  CLogger::SetDebugLogging(false);
  EXPECT_EQ(ll->DownloadFirmware(tempDir() + "/no-such-runtime.bin"), Itf(595));
  EXPECT_FALSE(CLogger::m_bDebugOn);
  EXPECT_EQ(ll->DownloadDSP("missing.s", kScan), Itf(595));
  EXPECT_FALSE(CLogger::m_bDebugOn);
  CLogger::SetDebugLogging(true);
  EXPECT_THAT(description(), HasSubstr("missing.s"));
}

TEST_F(ScanLLComTest, OverLongNamesAndLinesAreRefusedNotCut) {
  ComPtr<IScanLL> ll = createLL();
  connect(*ll);
  const std::string longName = tempDir() + "/" + std::string(300, 'f');
  EXPECT_EQ(ll->DownloadFirmware(longName), Itf(600));
  EXPECT_EQ(ll->DownloadDSP(longName, kScan), Itf(600));
  LONG count = 77;
  EXPECT_EQ(ll->WriteString("peek 0 " + std::string(505, '0') + "\n", &count), Itf(600));
  EXPECT_EQ(count, 77);
  EXPECT_THAT(lines(), IsEmpty());
  // The longest line that fits is sent whole.
  const std::string longest = "peek " + std::string(505, '0') + "\n";
  ASSERT_EQ(longest.size(), 511u);
  ASSERT_EQ(ll->WriteString(longest, &count), S_OK) << description();
  EXPECT_EQ(count, 511);
}

TEST_F(ScanLLComTest, FlashKeysAndTheirErrorTexts) {
  ComPtr<IScanLL> ll = createLL();
  connect(*ll);
  ASSERT_EQ(ll->FlashSetUnsigned("SomeKey", 4294967295u), S_OK) << description();
  EXPECT_EQ(devices.flash->get("SomeKey"), std::optional<std::string>("-1"));
  ULONG u = 0;
  ASSERT_EQ(ll->FlashGetUnsigned("SomeKey", &u), S_OK);
  EXPECT_EQ(u, 4294967295u);
  LONG l = 0;
  ASSERT_EQ(ll->FlashGetLongDef("NoSuchKey", -5, &l), S_OK);
  EXPECT_EQ(l, -5);
  std::string s = "untouched";
  ASSERT_EQ(ll->FlashGetStringDef("NoSuchKey", "fallback", &s), S_OK);
  EXPECT_EQ(s, "fallback");
  ASSERT_EQ(ll->FlashSetString("Model", "ZS-9"), S_OK);
  ASSERT_EQ(ll->FlashGetString("Model", &s), S_OK);
  EXPECT_EQ(s, "ZS-9");
  ASSERT_EQ(ll->FlashEraseKey("Model"), S_OK);
  EXPECT_FALSE(devices.flash->get("Model"));

  // A missing key: the store's id, the key as detail; outputs untouched.
  s = "untouched";
  EXPECT_EQ(ll->FlashGetString("Model", &s), Itf(4109));
  EXPECT_EQ(s, "untouched");
  const std::string missing = "No such FLASH key.  (Reported by runtime.)";
  EXPECT_EQ(description(), missing + "  Key: Model.");
  EXPECT_THAT(log(), HasSubstr(logLine(missing + "  Key: Model.", 4109, "FlashGetString")));
  // Client text with conversions is logged as it is, never used as a format.
  EXPECT_EQ(ll->FlashGetLong("%s%n%d", &l), Itf(4109));
  EXPECT_THAT(log(), HasSubstr(logLine(missing + "  Key: %s%n%d.", 4109, "FlashGetLong")));
  EXPECT_EQ(ll->FlashSetLong("Bad Key", -3), Itf(616));
  EXPECT_EQ(description(), "Invalid FLASH key parameter specified.  Key: Bad Key   Value: -3.");
  EXPECT_EQ(ll->FlashSetUnsigned("Bad Key", 4294967295u), Itf(616));
  EXPECT_EQ(description(),
            "Invalid FLASH key parameter specified.  Key: Bad Key   Value: 4294967295 (0xFFFFFFFF).");
  EXPECT_EQ(ll->FlashSetString("Bad Key", "v"), Itf(616));
  EXPECT_EQ(description(), "Invalid FLASH key parameter specified.  Key: Bad Key   Value: v.");

  const int burns = devices.flash->burns();
  ASSERT_EQ(ll->FlashBurn(), S_OK);
  EXPECT_EQ(devices.flash->burns(), burns + 1);
  ASSERT_EQ(ll->FlashDump("flash.txt"), S_OK) << description();  // in the data folder
  EXPECT_THAT(testsupport::readFile(tempDir() + "/install/Data/flash.txt"), HasSubstr("SomeKey"));
  EXPECT_EQ(ll->FlashDump(tempDir() + "/no/such/folder/flash.txt"), Itf(584));
  EXPECT_THAT(description(), HasSubstr("  File: " + tempDir() + "/no/such/folder/flash.txt."));
}

TEST_F(ScanLLComTest, TheCommandTimeOutTakesOnlyWhatTheLinkCanCarry) {
  ComPtr<IScanLL> ll = createLL();
  connect(*ll);
  LONG timeout = 0;
  for (const LONG bad : {-1, 0, 999, 65535001, 2147483647}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ll->put_Timeout(bad), Itf(600));
  }
  for (const LONG good : {1000, 65535000, 7000}) {
    SCOPED_TRACE(good);
    ASSERT_EQ(ll->put_Timeout(good), S_OK);
    ASSERT_EQ(ll->get_Timeout(&timeout), S_OK);
    EXPECT_EQ(timeout, good);
  }
}

TEST_F(ScanLLComTest, AnIdWithoutTextIsReportedAsUnknown) {
  ComPtr<IScanLL> ll = createLL();
  connect(*ll);
  sim.injectFault("mtrenable", {zevasim::Fault::Kind::errorStatus, 0x7E, 1});
  const HRESULT hr = ll->MotorEnable(kAFMotor);
  const int id = static_cast<int>(platform::com::HResultCode(hr));
  EXPECT_EQ(description(), "Unknown error: " + std::to_string(id) + "  Motor:  Autofocus Voice Coil");
}

TEST_F(ScanLLComTest, ErrorClassesOfTheServiceTable) {
  ComPtr<IScanLL> ll = createLL();
  const struct {
    int id;
    unsigned cls;
    bool match;
  } cases[] = {
      {12120, 45, true}, {12120, 50, true},  {12120, 46, false}, {4154, 6, true},   {4154, 5, false},
      {566, 51, false},  {4161, 23, false},  {4161, 24, false},  {650, 31, false},  {651, 29, false},
      {4162, 32, false}, {603, 26, true},    {10816, 18, true},  {10816, 24, true}, {600, 0, false},
      {12112, 47, true}, {12113, 49, false}, {8217, 13, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << "/" << c.cls);
    BOOL32 match = 7;
    ASSERT_EQ(ll->CheckErrorCode(c.id, c.cls, &match), S_OK);
    EXPECT_EQ(match, c.match ? 1 : 0);
  }
  // The scanning client's table keeps its own ids.
  ComPtr<IScanCtrl> ctrl = create();
  BOOL32 match = 0;
  ASSERT_EQ(ctrl->CheckErrorCode(566, 51, &match), S_OK);
  EXPECT_EQ(match, 1);
}

}  // namespace
