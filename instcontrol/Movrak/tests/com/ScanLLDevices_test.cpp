// ScanLL methods on a connected object: the command each sends and what it makes of the
// reply, argument refusals that send nothing, the DSP memory and motor tuning files, raw
// command lines, sensors, PMTs and scans.
#include <cstring>

#include "ComFixture.h"
#include "okSim/okSim.h"
#include "platform/files.h"

namespace {

using platform::com::S_OK;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using WORD = IScanLL::WORD;
using BYTE = IScanLL::BYTE;
using Axis = zevasim::MotorFamily::Axis;

class ScanLLDevicesTest : public ComTest {
 protected:
  ScanLLDevicesTest() {
    ll = createLL();
    connect(*ll);
    okSim_ClearCallLog();
  }
  ~ScanLLDevicesTest() override {
    if (ll) ll->Disconnect();
    if (ctrl) ctrl->Disconnect();
  }
  std::string dataFile(const std::string& name) const { return tempDir() + "/install/Data/" + name; }
  // The scan-data port is opened by the scanning client's Connect, not by the service
  // object's: methods that reach it need one connected beside.
  void openDataPort() {
    ctrl = create();
    connect(*ctrl);
  }
  ComPtr<IScanLL> ll;
  ComPtr<IScanCtrl> ctrl;
};

// One call, the line it sends, and the check of what it hands out.
TEST_F(ScanLLDevicesTest, EachMethodSendsItsCommandAndHandsOutTheReply) {
  devices.motors->update(zevasim::MotorFamily::kAutofocus, [](Axis& a) {
    a.position = -1234;
    a.speed = 777;
    a.registers[0x40] = 0xCAFE;
    a.minPos = -5000;
    a.maxPos = 90000;
  });
  devices.dsps->setMemory(2, 1, 0x30, 0xBEEF);
  devices.dsps->setMemory(3, 2, 0x31, 0x1234);
  devices.dsps->setLastResult(7);
  sim.setMemory(0x100, 0xA5);
  devices.controller->setPSD(0x4321);
  devices.controller->setDiagADC(3, 0x777);
  LONG l = 0;
  ULONG u = 0;
  WORD w = 0;
  BYTE b = 0;
  const struct {
    const char* what;
    std::function<HRESULT()> call;
    const char* line;
    std::function<void()> check;
  } cases[] = {
      {"MotorGetPos", [&] { return ll->MotorGetPos(kAFMotor, &l); }, "getmotorpos 0x5000001 0x0",
       [&] { EXPECT_EQ(l, -1234); }},
      {"MotorGetPosPhys", [&] { return ll->MotorGetPosPhys(kAFMotor, &l); }, "getmotorpos 0x5000001 0x1",
       [&] { EXPECT_EQ(l, -1234); }},
      {"MotorGetSpeed", [&] { return ll->MotorGetSpeed(kAFMotor, &l); }, "motorgetspeed 0x5000001",
       [&] { EXPECT_EQ(l, 777); }},
      {"MotorMove absolute", [&] { return ll->MotorMove(kAFMotor, 500, 0); },
       "movemotor 0x5000001 0x0 0x0 500",
       [&] { EXPECT_EQ(devices.motors->axis(zevasim::MotorFamily::kAutofocus).position, 500); }},
      {"MotorMove relative", [&] { return ll->MotorMove(kAFMotor, 500, 1); },
       "movemotor 0x5000001 0x0 0x1 500",
       [&] { EXPECT_EQ(devices.motors->axis(zevasim::MotorFamily::kAutofocus).position, 1000); }},
      {"MotorMovePhys relative", [&] { return ll->MotorMovePhys(kAFMotor, -100, 7); },
       "movemotor 0x5000001 0x1 0x1 -100",
       [&] { EXPECT_EQ(devices.motors->axis(zevasim::MotorFamily::kAutofocus).position, 900); }},
      {"MotorPeek", [&] { return ll->MotorPeek(kAFMotor, 0x40, &u); }, "mtrpeek 0x5000001 0x40 ",
       [&] { EXPECT_EQ(u, 0xCAFEu); }},
      {"MotorPoke", [&] { return ll->MotorPoke(kAFMotor, 0x41, 0x99); }, "mtrpoke 0x5000001 0x41 0x99",
       [&] { EXPECT_EQ(devices.motors->axis(zevasim::MotorFamily::kAutofocus).registers.at(0x41), 0x99u); }},
      {"MotorSetSpeed", [&] { return ll->MotorSetSpeed(kAFMotor, 321); }, "motorsetspeed 0x5000001 321",
       [&] { EXPECT_EQ(devices.motors->axis(zevasim::MotorFamily::kAutofocus).speed, 321); }},
      {"MotorHome", [&] { return ll->MotorHome(kAFMotor); }, "homemotor 0x5000001",
       [&] { EXPECT_EQ(devices.motors->axis(zevasim::MotorFamily::kAutofocus).position, 0); }},
      {"MotorInit", [&] { return ll->MotorInit(kAFMotor); }, "initmotor 0x5000001 0", [] {}},
      {"MotorGetMinPos", [&] { return ll->MotorGetMinPos(kAFMotor, &l); }, "mtrgetminpos 0x5000001",
       [&] { EXPECT_EQ(l, -5000); }},
      {"MotorGetMaxPos", [&] { return ll->MotorGetMaxPos(kAFMotor, &l); }, "mtrgetmaxpos 0x5000001",
       [&] { EXPECT_EQ(l, 90000); }},
      {"MotorDisable", [&] { return ll->MotorDisable(kALArm); }, "mtrdisable 0x6000002",
       [&] { EXPECT_FALSE(devices.motors->axis(zevasim::MotorFamily::kArm).enabled); }},
      {"MotorEnable", [&] { return ll->MotorEnable(kALArm); }, "mtrenable 0x6000002",
       [&] { EXPECT_TRUE(devices.motors->axis(zevasim::MotorFamily::kArm).enabled); }},
      {"MotorDriverOff", [&] { return ll->MotorDriverOff(kALCarousel); }, "mtrdriveroff 0x6000001",
       [&] { EXPECT_FALSE(devices.motors->axis(zevasim::MotorFamily::kCarousel).driverOn); }},
      {"MotorDriverOn", [&] { return ll->MotorDriverOn(kALCarousel); }, "mtrdriveron 0x6000001",
       [&] { EXPECT_TRUE(devices.motors->axis(zevasim::MotorFamily::kCarousel).driverOn); }},
      {"MotorCalibrate", [&] { return ll->MotorCalibrate(kVCStageMotor); }, "motorcalibrate 0x4000001",
       [&] { EXPECT_TRUE(devices.motors->axis(zevasim::MotorFamily::kVCStage).calibrated); }},
      {"MotorSetParams", [&] { return ll->MotorSetParams(kVCStageMotor, 1, -2, 3, 4, 0x10002, 5); },
       "mtrsetparams 0x4000001 0x1 0xfffe 0x3 0x4 0x1 0x2 0x0 0x5", [] {}},
      {"Peek", [&] { return ll->Peek(0x100, &b); }, "peek 0x00000100", [&] { EXPECT_EQ(b, 0xA5); }},
      {"Poke", [&] { return ll->Poke(0x101, 0x5A); }, "poke 0x00000101 0x5A",
       [&] { EXPECT_EQ(sim.memory(0x101), 0x5A); }},
      {"ReadDSPDataMemory", [&] { return ll->ReadDSPDataMemory(kVCStage, 0x30, &w); }, "dmr 2 0030",
       [&] { EXPECT_EQ(w, 0xBEEF); }},
      {"WriteDSPDataMemory", [&] { return ll->WriteDSPDataMemory(kVCStage, 0x32, 0xFFFF); },
       "dmw 2 0032 FFFF", [&] { EXPECT_EQ(devices.dsps->memory(2, 1, 0x32), 0xFFFF); }},
      {"DSPPeek", [&] { return ll->DSPPeek(kVCAF, kProgramSpace, 0x31, &w); }, "dsppeek 3 2 0x31",
       [&] { EXPECT_EQ(w, 0x1234); }},
      {"DSPPoke", [&] { return ll->DSPPoke(kVCAF, kIOSpace, 0x33, 0x44); }, "dsppoke 3 3 0x33 0x44",
       [&] { EXPECT_EQ(devices.dsps->memory(3, 3, 0x33), 0x44); }},
      {"LastDSPResult", [&] { return ll->LastDSPResult(kScan, &l); }, "getlastdspresult",
       [&] { EXPECT_EQ(l, 7); }},
      {"FlushDMA", [&] { return ll->FlushDMA(); }, "flushdmalatch", [] {}},
      {"SetLED", [&] { return ll->SetLED(1, 2, 3, 4); }, "setledmode 0x1 0x2 0x3 0x4",
       [&] {
         EXPECT_EQ(devices.controller->leds(), (std::array<unsigned, 4>{1, 2, 3, 4}));
       }},
      {"PSDVal", [&] { return ll->get_PSDVal(&w); }, "psdval", [&] { EXPECT_EQ(w, 0x4321); }},
      {"ReadDiagADC", [&] { return ll->ReadDiagADC(3, &u); }, "readdiagadc 0x3",
       [&] { EXPECT_EQ(u, 0x777u); }},
      {"LockDoor", [&] { return ll->LockDoor(); }, "lockdoor",
       [&] { EXPECT_TRUE(devices.autoloader->doorLocked()); }},
      {"UnLockDoor", [&] { return ll->UnLockDoor(); }, "unlockdoor",
       [&] { EXPECT_FALSE(devices.autoloader->doorLocked()); }},
      {"ClearBarcode", [&] { return ll->ClearBarcode(); }, "preparebcr",
       [&] { EXPECT_TRUE(devices.autoloader->readerPrepared()); }},
      {"SetPackageType", [&] { return ll->SetPackageType(3); }, "setpackagetype 0x3",
       [&] { EXPECT_EQ(devices.scans->packageType(), 3); }},
      {"DepthScan", [&] { return ll->DepthScan(1, 2, 3); }, "enabledepthscan 0x1 0x2 0x3", [] {}},
      {"SetEOMDigitalPot", [&] { return ll->SetEOMDigitalPot(kGreenPMT, 200); }, "seteomdigpot 1,0xc8",
       [] {}},
      {"LaserInit", [&] { return ll->LaserInit(); }, "initlasers", [] {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    forget();
    ASSERT_EQ(c.call(), S_OK) << description();
    EXPECT_THAT(lines(), Contains(c.line));
    c.check();
  }
}

// Argument refusals: the id, the method's source, and nothing sent.
TEST_F(ScanLLDevicesTest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  LONG l = 55;
  WORD w = 0;
  std::string s = "untouched";
  const struct {
    const char* what;
    std::function<HRESULT()> call;
    int id;
    const char* source;
    const char* description;
  } cases[] = {
      {"motor 0", [&] { return ll->MotorHome(static_cast<tagMotorIDs>(0)); }, 606, "MotorHome",
       "Invalid motor type specified."},
      {"motor 6", [&] { return ll->MotorGetPos(static_cast<tagMotorIDs>(6), &l); }, 606, "MotorGetPos",
       "Invalid motor type specified."},
      {"tune motor", [&] { return ll->MotorTune(static_cast<tagMotorIDs>(-1), 3, 1, 1, "t.txt"); }, 606,
       "MotorTune", "Invalid motor type specified."},
      {"step test motor", [&] { return ll->MotorStepTest(static_cast<tagMotorIDs>(6), 1, 1, 1, 1, &w); }, 606,
       "MotorStepTest", "Invalid motor type specified."},
      {"channel 7", [&] { return ll->PMTChangeVoltage(static_cast<tagPMTChannels>(7), 6000); }, 607,
       "PMTChangeVoltage", "Invalid PMT channel specified."},
      {"channel -1", [&] { return ll->PMTSetVoltageEx(static_cast<tagPMTChannels>(-1), 1); }, 607,
       "PMTSetVoltage", "Invalid PMT channel specified."},
      {"channel 4", [&] { return ll->PMTGetVoltage(static_cast<tagPMTChannels>(4), nullptr); }, 607,
       "PMTGetVoltage", "Invalid PMT channel specified."},
      {"DSP 0", [&] { return ll->ReadDSPDataMemory(static_cast<tagDSPIDs>(0), 1, &w); }, 619,
       "ReadDSPDataMemory", "Invalid DSP id specified.  DSP id: 0"},
      {"DSP 4", [&] { return ll->DSPMemWrite(static_cast<tagDSPIDs>(4), 0, 1, "d.txt"); }, 619, "DSPMemDump",
       "Invalid DSP id specified.  DSP id: 4"},
      {"DSP 4 command", [&] { return ll->ExecuteDSPCmd(static_cast<tagDSPIDs>(4), 1, 0, nullptr, 0, &l); },
       619, "ExecuteDSPCmd", "Invalid DSP id specified.  DSP id: 4"},
      {"DSP 9 result", [&] { return ll->DSPResult(static_cast<tagDSPIDs>(9), &l); }, 619, "dspresult",
       "Invalid DSP id specified.  DSP id: 9"},
      {"no step buffer", [&] { return ll->MotorStepTest(kSlowStageMotor, 2, 1, 1, 1, nullptr); }, 549,
       "MotorStepTest", "Unable to allocate memory."},
      {"tune without points", [&] { return ll->MotorTune(kAFMotor, 0, 1, 1, "t.txt"); }, 600, "MotorTune",
       "Bad parameter specified."},
      {"tune with negative points", [&] { return ll->MotorTune(kAFMotor, -4, 1, 1, "t.txt"); }, 600,
       "MotorTune", "Bad parameter specified."},
      {"negative read length", [&] { return ll->ReadString(-1, &s, &l); }, 600, "ReadString",
       "Bad parameter specified."},
      {"no words buffer", [&] { return ll->DSPMemRead(kScan, 0, 4, nullptr); }, 600, "DSPMemDump",
       "Bad parameter specified.  DSP id: 1"},
      {"no parameter words", [&] { return ll->ExecuteDSPCmd(kScan, 1, 1, nullptr, 0, &l); }, 600,
       "ExecuteDSPCmd", "Bad parameter specified."},
      {"no line buffer", [&] { return ll->GetScanLine(4, nullptr); }, 600, "GetScanLine",
       "Bad parameter specified."},
      {"no line", [&] { return ll->GetScanLine(0, &w); }, 600, "GetScanLine", "Bad parameter specified."},
      {"line too long", [&] { return ll->GetScanLine(0x40000000, &w); }, 600, "GetScanLine",
       "Bad parameter specified."},
      {"past the top", [&] { return ll->DSPMemWrite(kScan, 0xFFFF, 2, "d.txt"); }, 600, "DSPMemDump",
       "Bad parameter specified.  DSP id: 1"},
      {"negative word count", [&] { return ll->DSPMemWrite(kScan, 0, -1, "d.txt"); }, 549, "DSPMemDump",
       "Unable to allocate memory.  DSP id: 1"},
      {"time-out", [&] { return ll->put_Timeout(500); }, 600, "Timeout", "Bad parameter specified."},
      {"dark offset", [&] { return ll->MeasureDarkOffset(3, 10, 10, &w); }, 109, "MeasureDarkOffset",
       "Unsupported scanner model."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    forget();
    EXPECT_EQ(c.call(), Itf(c.id));
    EXPECT_EQ(description(), c.description);
    EXPECT_THAT(log(), HasSubstr(std::string("Source: IScanLL (") + c.source + ")]"));
    EXPECT_THAT(lines(), IsEmpty());
  }
  EXPECT_EQ(l, 55);
  EXPECT_EQ(s, "untouched");
}

TEST_F(ScanLLDevicesTest, ADumpedBlockIsWrittenBackWordForWord) {
  const std::vector<std::uint16_t> words = {0, 1, 32767, 32768, 40000, 65535};
  for (std::size_t i = 0; i < words.size(); ++i)
    devices.dsps->setMemory(1, 1, 0x200 + static_cast<unsigned>(i), words[i]);
  ASSERT_EQ(ll->DSPMemDump(kScan, 0x200, 6, "block.txt"), S_OK) << description();
  EXPECT_EQ(testsupport::readFile(dataFile("block.txt")), "0\r\n1\r\n32767\r\n32768\r\n40000\r\n65535\r\n");
  for (std::size_t i = 0; i < words.size(); ++i)
    devices.dsps->setMemory(2, 1, 0x300 + static_cast<unsigned>(i), 7);
  forget();
  ASSERT_EQ(ll->DSPMemWrite(kVCStage, 0x300, 6, dataFile("block.txt")), S_OK) << description();
  for (std::size_t i = 0; i < words.size(); ++i)
    EXPECT_EQ(devices.dsps->memory(2, 1, 0x300 + static_cast<unsigned>(i)), words[i]) << i;
  EXPECT_THAT(lines(), ElementsAre("dmwmulti 2 0300 0006\n0 1 32767 32768 40000 65535 "));

  // Signed words, as a DSP's words are also read, take the same bits.
  testsupport::writeFile(dataFile("signed.txt"), "-1\n-32768 +5\n");
  ASSERT_EQ(ll->DSPMemWrite(kScan, 0xFFFD, 3, "signed.txt"), S_OK) << description();
  EXPECT_EQ(devices.dsps->memory(1, 1, 0xFFFD), 65535);
  EXPECT_EQ(devices.dsps->memory(1, 1, 0xFFFE), 32768);
  EXPECT_EQ(devices.dsps->memory(1, 1, 0xFFFF), 5);

  WORD read[3] = {};
  ASSERT_EQ(ll->DSPMemRead(kScan, 0x203, 3, read), S_OK);
  EXPECT_THAT(read, ElementsAre(32768, 40000, 65535));
}

TEST_F(ScanLLDevicesTest, AFileThatCannotGiveTheWordsSendsNothing) {
  const std::string cannot = "Unable to access or create the file ";
  const struct {
    const char* what;
    const char* contents;  // nullptr: no file
    int words;
  } cases[] = {
      {"fewer words than asked", "1\r\n2\r\n", 3}, {"no file", nullptr, 1},
      {"not a number", "1\r\nx\r\n", 2},           {"beyond 16 bits", "65536\r\n", 1},
      {"below 16 bits", "-32769\r\n", 1},          {"half a number", "12ab\r\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dataFile(std::string("short-") + std::to_string(&c - cases) + ".txt");
    if (c.contents) testsupport::writeFile(path, c.contents);
    forget();
    EXPECT_EQ(ll->DSPMemWrite(kScan, 0, c.words, path), Itf(551));
    EXPECT_EQ(description(), cannot + path + ".");
    EXPECT_THAT(lines(), IsEmpty());
  }
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (DSPMemDump)]"));
}

TEST_F(ScanLLDevicesTest, DumpFilesAreCreatedEvenWhenTheDumpFails) {
  testsupport::writeFile(dataFile("old.txt"), "old contents\n");
  // No words: the file is emptied, and the DSP's own refusal of an empty block is reported.
  EXPECT_EQ(ll->DSPMemDump(kScan, 0, 0, "old.txt"), Itf(600));
  EXPECT_EQ(testsupport::readFile(dataFile("old.txt")), "");
  sim.injectFault("dspmemdump", {zevasim::Fault::Kind::errorStatus, 0x05, 1});
  EXPECT_NE(ll->DSPMemDump(kScan, 0, 4, "failed.txt"), S_OK);
  EXPECT_THAT(description(), HasSubstr("  DSP id: 1"));
  EXPECT_TRUE(platform::fileExists(dataFile("failed.txt")));
  EXPECT_EQ(testsupport::readFile(dataFile("failed.txt")), "");
  const std::string nowhere = tempDir() + "/no/such/folder/dump.txt";
  EXPECT_EQ(ll->DSPMemDump(kScan, 0, 4, nowhere), Itf(551));
  EXPECT_EQ(description(), "Unable to access or create the file " + nowhere + ".");
}

TEST_F(ScanLLDevicesTest, ATuningRunWritesOneSampleALine) {
  devices.motors->update(zevasim::MotorFamily::kVCStage, [](Axis& a) { a.tuneSamples = {100, 200, 65535}; });
  ASSERT_EQ(ll->MotorTune(kVCStageMotor, 3, 10, 20, "tune.txt"), S_OK) << description();
  EXPECT_EQ(testsupport::readFile(dataFile("tune.txt")), "100\r\n200\r\n65535\r\n");
  EXPECT_THAT(lines(), ElementsAre("tunemotor 0x4000001 0x3 0xa 0x14"));

  const std::string nowhere = tempDir() + "/no/such/folder/tune.txt";
  forget();
  EXPECT_EQ(ll->MotorTune(kVCStageMotor, 3, 10, 20, nowhere), static_cast<HRESULT>(0x80040227));
  EXPECT_EQ(description(), "Unable to access or create the file " + nowhere + ".");
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (MotorTune)]"));
  EXPECT_THAT(lines(), IsEmpty());

  sim.injectFault("tunemotor", {zevasim::Fault::Kind::errorStatus, 0x1C, 1});
  EXPECT_EQ(ll->MotorTune(kVCStageMotor, 3, 10, 20, "tune.txt"), Itf(4096 + 0x1C));
  EXPECT_THAT(description(), HasSubstr("  Motor:  "));
  EXPECT_EQ(testsupport::readFile(dataFile("tune.txt")), "");
}

TEST_F(ScanLLDevicesTest, MotorFailuresNameTheMotor) {
  EXPECT_EQ(ll->MotorSetSpeedAcc(kSlowStageMotor, 10, 20), static_cast<HRESULT>(0x8004022C));
  EXPECT_EQ(description(), "Command is not implemented.  Motor: Slow Stage   Speed: 10   Accel: 20");
  devices.motors->update(zevasim::MotorFamily::kAutofocus, [](Axis& a) { a.initialised = false; });
  LONG pos = 99;
  EXPECT_EQ(ll->MotorGetPos(kAFMotor, &pos), Itf(4096 + 0x1B));
  EXPECT_EQ(pos, 99);
  EXPECT_THAT(description(), testing::EndsWith("  Motor:  Autofocus Voice Coil"));
  EXPECT_EQ(ll->MotorMove(kAFMotor, -7, 0), Itf(4096 + 0x1B));
  EXPECT_THAT(description(), testing::EndsWith("  Motor: Autofocus Voice Coil   Distance: -7."));
}

TEST_F(ScanLLDevicesTest, RawCommandLinesAndTheirReplies) {
  LONG count = 0;
  ASSERT_EQ(ll->WriteString("peek 0x100\n", &count), S_OK) << description();
  EXPECT_EQ(count, 11);
  EXPECT_THAT(lines(), ElementsAre("peek 0x100"));
  std::string text;
  // The kept reply "00,00\n" (6 bytes): its line end is dropped from the text.
  ASSERT_EQ(ll->ReadString(100, &text, &count), S_OK) << description();
  EXPECT_EQ(count, 6);
  EXPECT_EQ(text, "00,00");
  ASSERT_EQ(ll->WriteString("peek 0x100\n", &count), S_OK);
  ASSERT_EQ(ll->ReadString(2, &text, &count), S_OK);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(text, "0");
  ASSERT_EQ(ll->ReadString(0, &text, &count), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(text, "");

  BYTE online = 0;
  ASSERT_EQ(ll->IsRuntimeOnline(&online), S_OK);
  EXPECT_EQ(online, 1);
  BYTE status = 9;
  ASSERT_EQ(ll->GetStatus(&status), S_OK);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(ll->AbortCmd(), S_OK);
}

TEST_F(ScanLLDevicesTest, DSPCommandsPassTheirParametersAndResponse) {
  const WORD params[2] = {0x1234, 0xFFFF};
  devices.dsps->setResponse(42, 0);
  LONG response = 0;
  ASSERT_EQ(ll->ExecuteDSPCmd(kScan, 0x21, 2, params, 5, &response), S_OK) << description();
  EXPECT_EQ(response, 42);
  ASSERT_FALSE(devices.dsps->commands().empty());
  EXPECT_EQ(devices.dsps->commands().back().cmd, 0x21u);
  EXPECT_EQ(devices.dsps->commands().back().params, (std::vector<std::uint16_t>{0x1234, 0xFFFF}));
  ASSERT_EQ(ll->ExecuteDSPCmd(kScan, 0x22, 0, nullptr, 0, &response), S_OK) << description();
  EXPECT_EQ(response, -1);  // no response asked for

  devices.dsps->setVCDumpInfo({1, 2, 3, 4, 5, 6, 7, 8, 9, 0xFFFFFFFF});
  LONG tick = 0, points = 0, b0 = 0, b1 = 0, b2 = 0, b3 = 0;
  ULONG a0 = 0, a1 = 0, a2 = 0, a3 = 0;
  ASSERT_EQ(ll->GetVCDumpInfo(kVCStage, &tick, &points, &a0, &b0, &a1, &b1, &a2, &b2, &a3, &b3), S_OK);
  EXPECT_EQ(tick, 1);
  EXPECT_EQ(a2, 7u);
  EXPECT_EQ(b3, -1);
}

TEST_F(ScanLLDevicesTest, SensorsAreGatheredInOneCall) {
  devices.motors->update(zevasim::MotorFamily::kArm,
                         [](Axis& a) { a.location = zevasim::MotorFamily::kArmAtHolder; });
  devices.autoloader->putSlide(0, {"250000000001", "7"});
  devices.autoloader->setDoorValue(0);
  BOOL32 atCarousel = 7, atHolder = 7, chip = 7, inSlot = 7, present = 7, home = 7, door = 7;
  ASSERT_EQ(ll->CheckSensors(&atCarousel, &atHolder, &chip, &inSlot, &present, &home, &door), S_OK)
      << description();
  EXPECT_EQ(atCarousel, 0);
  EXPECT_EQ(atHolder, 1);
  EXPECT_EQ(chip, 1);
  EXPECT_EQ(inSlot, 1);
  EXPECT_EQ(present, 1);
  EXPECT_EQ(door, 0);

  // All flags absent: only the arm is asked.
  forget();
  ASSERT_EQ(ll->CheckSensors(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_THAT(lines(), ElementsAre(testing::StartsWith("armlocation")));

  // A home sensor that fails counts as not home; the call succeeds.
  sim.injectFault("carouselathome", {zevasim::Fault::Kind::errorStatus, 0x05, 1});
  home = 1;
  ASSERT_EQ(ll->CheckSensors(nullptr, nullptr, nullptr, nullptr, nullptr, &home, &door), S_OK)
      << description();
  EXPECT_EQ(home, 0);
  sim.injectFault("doorclosed", {zevasim::Fault::Kind::errorStatus, 0x05, 1});
  EXPECT_NE(ll->CheckSensors(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &door), S_OK);
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (CheckSensors)]"));
}

TEST_F(ScanLLDevicesTest, PlainAndExtendedPMTFormsAgree) {
  openDataPort();
  ASSERT_EQ(ll->PMTChangeVoltage(kGreenPMT, 6000), S_OK) << description();
  ULONG plain = 0;
  ASSERT_EQ(ll->PMTGetVoltage(kGreenPMT, &plain), S_OK);
  ASSERT_EQ(ll->PMTChangeVoltageEx(kGreenPMT, 6000, 0), S_OK);
  ULONG extended = 0;
  ASSERT_EQ(ll->PMTGetVoltage(kGreenPMT, &extended), S_OK);
  EXPECT_EQ(plain, extended);
  EXPECT_EQ(ll->PMTChangeVoltage(static_cast<tagPMTChannels>(7), 6000), static_cast<HRESULT>(0x8004025F));
}

TEST_F(ScanLLDevicesTest, AutofocusUsesTheStoredPackageTypeAndKeepsTheThickness) {
  openDataPort();
  // The glass corner of package type 5 only: the homing point lies on its glass.
  devices.flash->set("GlassULCornerXCoord_05", "40000");
  devices.flash->set("GlassULCornerYCoord_05", "40000");
  devices.flash->set("DatumStagePos", "100000");
  devices.flash->set("DatumVCStagePos", "50000");
  double thickness = -1;
  ASSERT_EQ(ll->get_ChipThickness(&thickness), S_OK);
  EXPECT_EQ(thickness, 0.0);
  devices.scans->setAutofocus(1.5, 0, 25);
  ASSERT_EQ(ll->EnableAutoFocus(30001, 20001), S_OK) << description();
  EXPECT_THAT(lines(), Contains("getparam GlassULCornerXCoord_05"));  // none set yet: 5
  EXPECT_THAT(log(), HasSubstr("Homing autofocus at coordinate (30001,20001)..."));
  ASSERT_EQ(ll->get_ChipThickness(&thickness), S_OK);
  EXPECT_DOUBLE_EQ(thickness, 1.5);

  // A package type the instrument refuses is not kept.
  sim.injectFault("setpackagetype", {zevasim::Fault::Kind::errorStatus, 0x05, 1});
  EXPECT_NE(ll->SetPackageType(2), S_OK);
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (SetPackType)]"));
  forget();
  ASSERT_EQ(ll->EnableAutoFocus(30001, 20001), S_OK) << description();
  EXPECT_THAT(lines(), Contains("getparam GlassULCornerXCoord_05"));
  // One it takes is.
  ASSERT_EQ(ll->SetPackageType(2), S_OK);
  EXPECT_EQ(ll->EnableAutoFocus(30001, 20001), Itf(4109));
  EXPECT_THAT(lines(), Contains("getparam GlassULCornerXCoord_02"));
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (EnableAF)]"));
}

TEST_F(ScanLLDevicesTest, ASetADCChangesNothing) {
  ASSERT_EQ(ll->SetADC(1, 2, 3), S_OK);
  EXPECT_THAT(lines(), IsEmpty());
}

TEST_F(ScanLLDevicesTest, AScanLineIsReadAsTwiceItsPointsInBytes) {
  ASSERT_EQ(ll->SetScanRegion(4, 2, 0, 0, 1, 1, 1, 1), S_OK) << description();
  ASSERT_EQ(ll->StartScan(1, 1, 0), S_OK) << description();
  std::vector<WORD> line(4, 0);
  ASSERT_EQ(ll->GetScanLine(4, line.data()), S_OK) << description();
  for (int p = 0; p < 4; ++p) {
    const std::uint16_t expected = zevasim::ScanFamily::sample(0, p, 0);
    EXPECT_EQ(line[static_cast<std::size_t>(p)], static_cast<WORD>((expected >> 8) | (expected << 8))) << p;
  }
}

TEST_F(ScanLLDevicesTest, BrowsingHasNoConnectionCheckOfItsOwn) {
  openDataPort();
  ComPtr<IScanLL> other = createLL();  // not connected, but the scanner's link is open
  ASSERT_EQ(other->StartBrowseCarousel(1, 2, 0), S_OK) << description();
  BOOL32 chip = 7;
  unsigned char symbology = 0;
  unsigned char barcode[50];
  std::memset(barcode, 'x', sizeof barcode);
  ASSERT_EQ(other->GetBrowseCarouselInfo(1, &chip, &symbology, barcode), S_OK) << description();
  EXPECT_EQ(chip, 0);
  ASSERT_EQ(other->StopBrowseCarousel(), S_OK);
  EXPECT_EQ(other->GetBrowseCarouselInfo(1, &chip, &symbology, barcode), Itf(644));
  EXPECT_THAT(log(), HasSubstr("Source: IScanLL (BrowseCarousel)]"));
}

}  // namespace
