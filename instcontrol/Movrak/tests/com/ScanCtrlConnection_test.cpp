// ScanCtrl objects made through the COM layer: creation and error reports, the shared
// scanner's lifetime, refusals and argument checks, error classes, connect and disconnect.
#include <climits>
#include <future>

#include "ComFixture.h"
#include "Jotwell/RegEdit.h"
#include "okSim/okSim.h"
#include "platform/dynlib.h"
#include "platform/files.h"
#include "platform/net.h"

namespace {

using platform::com::S_OK;
using testing::HasSubstr;
using testing::IsEmpty;

using ScanCtrlComTest = ComTest;

TEST_F(ScanCtrlComTest, CreatedByProgIdAndClassIdWithItsInterfaces) {
  ComPtr<IScanCtrl> byProgId = create();
  ASSERT_TRUE(byProgId);
  ComPtr<IScanCtrl> byClsid;
  ASSERT_EQ(platform::com::CreateInstance(CLSID_ScanCtrl, nullptr, IScanCtrl::kIID, byClsid.put()), S_OK);
  EXPECT_NE(byProgId.get(), byClsid.get());
  EXPECT_TRUE(byProgId.as<platform::com::IUnknown>());
  void* none = nullptr;
  EXPECT_EQ(byProgId->QueryInterface(platform::com::IClassFactory::kIID, &none),
            platform::com::E_NOINTERFACE);

  tagScannerState state = kStateError;
  EXPECT_EQ(byProgId->get_ScannerState(&state), S_OK);
  EXPECT_EQ(state, kStateOffline);
  std::string version;
  EXPECT_EQ(byProgId->get_SoftwareVersion(&version), S_OK);
  EXPECT_THAT(version, testing::MatchesRegex("Version [A-Z]+\\.[0-9]+\\.[0-9]+\\.[0-9]+   .+"));
}

TEST_F(ScanCtrlComTest, FailuresCarryTheIdTextAndOneLogLine) {
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  std::string value;
  // An id of the table, and a controller status that has no text.
  EXPECT_EQ(ctrl->FlashGetString("NoSuchKey", &value), Itf(4109));
  EXPECT_EQ(description(), "No such FLASH key.  (Reported by runtime.)");
  EXPECT_THAT(log(), HasSubstr("No such FLASH key.  (Reported by runtime.)\r\n\t\t[Error Code: 0x100D]"));
  sim.injectFault("getparam", {zevasim::Fault::Kind::errorStatus, 0x7E});
  EXPECT_EQ(ctrl->FlashGetString("PMT1", &value), Itf(4096 + 0x7E));
  EXPECT_EQ(description(), "Unknown error: 4222");
  EXPECT_THAT(log(), HasSubstr("Unknown error: 4222\r\n\t\t[Error Code: 0x107E]"));
  EXPECT_TRUE(value.empty());  // outputs only on success
  // A port status thrown by the data port.
  std::vector<unsigned char> buffer(64);
  okSim_ScriptResult("okUsbFrontPanel_IsOpen", 0, 1);
  ULONG count = 99;
  EXPECT_EQ(ctrl->SDPGetData(1, buffer.data(), 64, 64, &count), Itf(12009));
  EXPECT_EQ(description(), "The Scan Data Port is not connected.");
  EXPECT_EQ(count, 99u);
  okSim_ClearScripts();
  ASSERT_EQ(ctrl->Disconnect(), S_OK);
}

TEST_F(ScanCtrlComTest, AMissingDataPortConfigurationNamesWhereItWasLookedForAndWhatBelongsThere) {
  // No file named in the registry: the one in the installation folder, which is missing.
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Services\\DataPort\\")
      .DeleteValue("KethConfigFile");
  ComPtr<IScanCtrl> ctrl = create();
  EXPECT_EQ(ctrl->Connect(connectString()), Itf(12004));
  const std::string text = description();  // taken once, as error information is
  EXPECT_THAT(text,
              testing::StartsWith("Failed to find the configuration file for the Data Port. It was looked "
                                  "for at " +
                                  tempDir() +
                                  "/install/keth.bit: put the data board's configuration file "
                                  "there"));
  EXPECT_THAT(text, HasSubstr("\"KethConfigFile\""));
  ctrl->Disconnect();
}

TEST_F(ScanCtrlComTest, ObjectsShareOneScannerThatOutlivesAllButTheLast) {
  ComPtr<IScanCtrl> first = create();
  ComPtr<IScanCtrl> second = create();
  ComPtr<IScanCtrl> third = create();
  connect(*first);
  // The status thread runs from here on; held in its first pause, it leaves the
  // instrument to the other objects.
  clock_->setAutoAdvance(false);
  ASSERT_EQ(first->Initialize(), S_OK);
  ASSERT_TRUE(clock_->waitForWaiters(1));
  EXPECT_EQ(manager.lockCount(kInstrumentId), 1);

  // The others work on the same, connected scanner.
  first.reset();
  std::string serial;
  ASSERT_EQ(second->get_InstrumentSerialNumber(&serial), S_OK) << description();
  EXPECT_EQ(serial, "ZS000001");
  second.reset();
  BOOL32 closed = 0;
  ASSERT_EQ(third->IsDoorClosed(&closed), S_OK) << description();
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(sim.connections(), 1);

  // The last one ends the thread and the scanner, whose channel goes with it.
  clock_->setAutoAdvance(true);
  third.reset();
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
  platform::DynamicLibrary library;
  ASSERT_TRUE(library.open(MOVRAK_LIBRARY)) << library.error();
  const auto canUnload = library.function<platform::com::DllCanUnloadNowFn>("DllCanUnloadNow");
  ASSERT_NE(canUnload, nullptr);
  EXPECT_EQ(canUnload(), S_OK);

  // A new object starts on a new scanner.
  ComPtr<IScanCtrl> fresh = create();
  EXPECT_EQ(canUnload(), platform::com::S_FALSE);
  tagScannerState state = kStateError;
  ASSERT_EQ(fresh->get_ScannerState(&state), S_OK);
  EXPECT_EQ(state, kStateOffline);
}

TEST_F(ScanCtrlComTest, RefusedMethodsSendNothing) {
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  float x = 0, y = 0, slope = 0;
  const struct {
    const char* method;
    std::function<HRESULT()> call;
  } cases[] = {
      {"StartScan", [&] { return ctrl->StartScan(&x, &y, &slope); }},
      {"StartScanAF", [&] { return ctrl->StartScanAF(&x, &y, &slope, 1); }},
      {"CalibrateLasers", [&] { return ctrl->CalibrateLasers(); }},
      {"CheckLaserStatus", [&] { return ctrl->CheckLaserStatus(); }},
      {"LaserPowerRequest", [&] { return ctrl->LaserPowerRequest(1, 1); }},
      {"RemoveAllLaserPowerRequests", [&] { return ctrl->RemoveAllLaserPowerRequests(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(static_cast<std::uint32_t>(c.call()), 0x8004006Du);
    EXPECT_EQ(description(), std::string("Unsupported scanner model. [CScanCtrl::") + c.method +
                                 "() function is not for C scanner]");
  }
  float red = 1, green = 1;
  EXPECT_EQ(ctrl->GetLaserSetPointChange(&red, &green), S_OK);
  EXPECT_THAT(log(), HasSubstr("CScanCtrl::GetLaserSetPointChange() function is not for C scanner"));
  EXPECT_THAT(lines(), IsEmpty());
  EXPECT_EQ(okSim_CallCount(), 0);
  ASSERT_EQ(ctrl->Disconnect(), S_OK);
}

TEST_F(ScanCtrlComTest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  std::vector<std::uint16_t> points(8);
  std::vector<unsigned char> bytes(16);
  double volts = 0;
  ULONG voltage = 0;
  BOOL32 ok = 0;
  ULONG count = 0;
  float x = 0, y = 0, slope = 0;
  const std::string dump = tempDir() + "/dump.txt";
  const struct {
    const char* what;
    std::function<HRESULT()> call;
    int id;
  } cases[] = {
      {"no points", [&] { return ctrl->GetScanLine(0, points.data()); }, 600},
      {"negative points", [&] { return ctrl->GetScanLine(-4, points.data()); }, 600},
      {"points past the byte count", [&] { return ctrl->GetScanLine(INT_MAX, points.data()); }, 600},
      {"no line buffer", [&] { return ctrl->GetScanLine(4, nullptr); }, 600},
      {"PMT setting of channel 4", [&] { return ctrl->get_PMTVoltageSetting(4, &volts); }, 607},
      {"PMT change of channel 4", [&] { return ctrl->PMTChangeVoltageEx(tagPMTChannels(4), 6000, 0); }, 607},
      {"PMT read of channel -1", [&] { return ctrl->PMTGetVoltage(tagPMTChannels(-1), &voltage); }, 607},
      {"PMT calculation for channel 5",
       [&] { return ctrl->CalculatePMTVoltage(tagPMTChannels(5), 0.5, 6000, &voltage); }, 607},
      {"DSP id 4", [&] { return ctrl->DSPMemDump(tagDSPIDs(4), 0x100, 3, dump); }, 619},
      {"raw data without a buffer", [&] { return ctrl->SDPGetRawData(4, 0, nullptr, 16, &ok); }, 600},
      {"raw data in a short buffer", [&] { return ctrl->SDPGetRawGainData(5, 0, bytes.data(), 16, &ok); },
       600},
      {"raw data of no samples", [&] { return ctrl->SDPGetRawGatedData(0, 0, bytes.data(), 16, &ok); }, 600},
      {"raw data of a huge count",
       [&] { return ctrl->SDPGetRawOffsetData(INT_MAX / 2, 1, bytes.data(), 16, &ok); }, 600},
      {"measuring data in a short buffer",
       [&] { return ctrl->SDPGetMeasuringData(5, 1, bytes.data(), 16, &ok); }, 600},
      {"port data without a buffer", [&] { return ctrl->SDPGetData(2, nullptr, 16, 16, &count); }, 600},
      {"fast-stage tracking mode", [&] { return ctrl->SetFSMotorCtrlMode(kMotorCtrlTracking); }, 600},
      {"zero pixel size",
       [&] {
         ctrl->put_PixelSizeX(0);
         const HRESULT hr = ctrl->InitStartScan(&x, &y, &slope, 0);
         ctrl->put_PixelSizeX(5);
         return hr;
       },
       600},
      {"zero bin",
       [&] {
         ctrl->put_BinY(0);
         LONG stats = 0;
         const HRESULT a = ctrl->InitStartScan(&x, &y, &slope, 0);
         ctrl->put_BinY(1);
         ctrl->put_PixelSizeY(0);
         const HRESULT b = ctrl->GetAFStats(&stats);
         ctrl->put_PixelSizeY(5);
         return a == b ? a : S_OK;
       },
       600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), Itf(c.id)) << description();
  }
  EXPECT_THAT(lines(), IsEmpty());
  EXPECT_EQ(okSim_CallCount(), 0);
  EXPECT_FALSE(platform::fileExists(dump));

  // The texts of the two refusals that describe their argument.
  EXPECT_EQ(ctrl->DSPMemDump(tagDSPIDs(4), 0, 1, dump), Itf(619));
  EXPECT_EQ(description(), "DSP id: 4");
  EXPECT_EQ(ctrl->SetFSMotorCtrlMode(kMotorCtrlTracking), Itf(600));
  EXPECT_EQ(description(),
            "Failed to set Fast-Stage motor control mode: Bad parameter specified. [mode = 2]");
  ASSERT_EQ(ctrl->Disconnect(), S_OK);
}

TEST_F(ScanCtrlComTest, ErrorClassesOfBothTablesWithoutAnInstrument) {
  ComPtr<IScanCtrl> ctrl = create();
  const struct {
    int id;
    unsigned errorClass;
    bool match;
  } cases[] = {
      // single conditions and the members of every group class
      {10816, 24, true}, {10816, 18, true},  {10816, 16, false}, {4147, 6, true},    {4152, 6, false},
      {12112, 49, true}, {12112, 48, true},  {12112, 47, true},  {12112, 50, true},  {12113, 49, false},
      {566, 51, true},   {566, 0, false},    {600, 0, false},    {600, 24, false},   {603, 26, true},
      {631, 25, true},   {645, 27, true},    {646, 28, true},    {650, 31, true},    {651, 29, true},
      {652, 29, true},   {653, 29, true},    {4109, 30, true},   {4162, 32, true},   {4161, 23, true},
      {4145, 24, true},  {4146, 24, true},   {4161, 24, true},   {10753, 24, true},  {10754, 24, true},
      {10832, 24, true}, {10833, 24, true},  {10834, 24, true},  {10835, 24, true},  {4148, 6, true},
      {4149, 6, true},   {4150, 6, true},    {4151, 6, true},    {4154, 6, true},    {4151, 4, true},
      {8212, 13, true},  {8217, 13, true},   {8217, 12, true},   {8213, 7, false},   {12108, 35, true},
      {12110, 35, true}, {12109, 38, true},  {12111, 38, true},  {12109, 35, false}, {12115, 41, true},
      {12117, 41, true}, {12118, 44, true},  {12120, 44, true},  {12118, 41, false}, {12114, 47, true},
      {12120, 50, true}, {12121, 50, false}, {12121, 33, true},  {12122, 34, true},  {4145, 5, false},
      {12108, 5, false}, {0, 0, false},      {-1, 6, false},
  };
  for (const auto& c : cases) {
    BOOL32 match = -1;
    EXPECT_EQ(ctrl->CheckErrorCode(c.id, c.errorClass, &match), S_OK);
    EXPECT_EQ(match, c.match ? 1 : 0) << c.id << " in " << c.errorClass;
  }
  // Every class is answered, none of them for an id outside the table.
  for (unsigned errorClass = 0; errorClass <= 60; ++errorClass) {
    BOOL32 match = -1;
    ctrl->CheckErrorCode(600, errorClass, &match);
    EXPECT_EQ(match, 0) << errorClass;
  }
  EXPECT_EQ(sim.connections(), 0);
}

TEST_F(ScanCtrlComTest, ConnectAndDisconnect) {
  ComPtr<IScanCtrl> ctrl = create();
  ComPtr<IScanCtrl> other = create();
  ASSERT_EQ(ctrl->Connect(""), S_OK) << description();  // the first instrument listed
  EXPECT_THAT(log(), HasSubstr("Connect():  No connection string specified.  Use first instrument found."));
  EXPECT_THAT(log(), HasSubstr("Connecting to Instrument"));
  EXPECT_THAT(log(), HasSubstr("Scanner Serial Number: ZS000001"));
  EXPECT_EQ(manager.lockCount(kInstrumentId), 1);
  BOOL32 open = 0;
  ASSERT_EQ(ctrl->SDPIsOpen(&open), S_OK);
  EXPECT_EQ(open, 1);

  // An object that never connected leaves the shared channel alone.
  ASSERT_EQ(other->Disconnect(), S_OK);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 1);

  ASSERT_EQ(ctrl->Disconnect(), S_OK);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
  EXPECT_THAT(log(), HasSubstr("Disconnecting from Instrument"));
  const std::string before = log();
  ASSERT_EQ(ctrl->Disconnect(), S_OK);  // not connected: nothing happens
  EXPECT_EQ(log(), before);

  manager.removeInstrument(kInstrumentId);
  EXPECT_TRUE(platform::com::Failed(ctrl->Connect(connectString())));
}

TEST_F(ScanCtrlComTest, ADataPortThatDoesNotOpenLeavesAChannelThatDisconnectCloses) {
  ComPtr<IScanCtrl> ctrl = create();
  okSim_ScriptResult("okUsbFrontPanel_OpenBySerial", -1, 0);
  EXPECT_EQ(ctrl->Connect(connectString()), Itf(12005));
  EXPECT_THAT(log(), HasSubstr("<CScanCtrl::Connect> Failed to open Data Port: "));
  EXPECT_THAT(log(), HasSubstr("[code = 5]"));
  EXPECT_EQ(manager.lockCount(kInstrumentId), 1);  // the channel is still open and locked
  ASSERT_EQ(ctrl->Disconnect(), S_OK);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
  EXPECT_THAT(log(), HasSubstr("Disconnecting from Instrument"));
}

TEST_F(ScanCtrlComTest, DisconnectClosesOnlyAfterTheStatusThreadHasEnded) {
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  clock_->setAutoAdvance(false);
  holdReplies("lockdoor");  // the initialisation's first command
  const std::size_t sent = sim.lines().size();
  ASSERT_EQ(ctrl->Initialize(), S_OK);
  // The first pass leaves Offline and pauses; the next one initialises.
  ASSERT_TRUE(clock_->waitForWaiters(1));
  clock_->advance(std::chrono::milliseconds(3000));
  ASSERT_TRUE(sim.waitForLines(sent + 1));  // the thread's pass is in a command

  auto disconnected = std::async(std::launch::async, [&] { return ctrl->Disconnect(); });
  ASSERT_TRUE(clock_->waitForWaiters(1));  // the disconnect waits for the thread
  clock_->advance(std::chrono::milliseconds(2000));
  ASSERT_TRUE(clock_->waitForWaiters(1));
  EXPECT_EQ(disconnected.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 1);  // not closed under the running thread

  releaseReplies();
  clock_->setAutoAdvance(true);
  driveUntilReady(disconnected);
  EXPECT_EQ(disconnected.get(), S_OK);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
  std::string status;
  ASSERT_EQ(ctrl->get_StatusMsg(&status), S_OK);
}

TEST_F(ScanCtrlComTest, DisconnectWaitsForACallInFlightAndLaterCallsFailWith566) {
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  clock_->setAutoAdvance(false);
  holdReplies("getparam");
  const std::size_t sent = sim.lines().size();
  auto serial = std::async(std::launch::async, [&] {
    std::string value;
    return ctrl->get_InstrumentSerialNumber(&value);
  });
  ASSERT_TRUE(sim.waitForLines(sent + 1));  // the call is inside its command

  auto disconnected = std::async(std::launch::async, [&] { return ctrl->Disconnect(); });
  const std::string waiting =
      "Waiting for the command in progress to end before opening or closing the connection.";
  const auto start = std::chrono::steady_clock::now();
  while (log().find(waiting) == std::string::npos) {
    ASSERT_NE(disconnected.wait_for(std::chrono::milliseconds(10)), std::future_status::ready)
        << "Disconnect returned while a call was in flight";
    ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30))
        << "Disconnect did not wait";
  }
  EXPECT_EQ(manager.lockCount(kInstrumentId), 1);

  releaseReplies();
  clock_->setAutoAdvance(true);
  driveUntilReady(serial);
  EXPECT_EQ(serial.get(), S_OK) << description();
  driveUntilReady(disconnected);
  EXPECT_EQ(disconnected.get(), S_OK);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);

  const std::size_t before = sim.lines().size();
  std::string value;
  EXPECT_EQ(ctrl->get_InstrumentSerialNumber(&value), Itf(566));
  EXPECT_EQ(description(),
            "A connection to the scanner has been lost or has not been established yet.  Please connect to a "
            "scanner first.");
  EXPECT_EQ(sim.lines().size(), before);
}

TEST_F(ScanCtrlComTest, AConnectStringNamingAnotherInstrumentIsRefusedWhileConnected) {
  ComPtr<IScanCtrl> ctrl = create();
  ComPtr<IScanCtrl> other = create();
  ComPtr<IScanLL> ll = createLL();
  connect(*ctrl);
  constexpr std::uint32_t kOtherId = 8;
  const auto otherPort = static_cast<std::uint16_t>(sim.port() == 65535 ? 1 : sim.port() + 1);
  manager.addInstrument({kOtherId, platform::net::kLoopbackAddress, otherPort, 1, "ZS000002"});
  const std::string otherInstrument = "127.0.0.1_" + std::to_string(otherPort);
  const std::string refusal = "The scanner " + connectString() + " is already in use.  Cannot connect.";

  for (const std::string& name :
       {otherInstrument, connectString() + "0", "127.0.0.2_" + std::to_string(sim.port()),
        std::string("not an instrument")}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ctrl->Connect(name), Itf(516));
    EXPECT_EQ(description(), refusal);
    EXPECT_EQ(other->Connect(name), Itf(516));  // another object of the process alike
    EXPECT_EQ(description(), refusal);
    EXPECT_EQ(static_cast<std::uint32_t>(ll->Connect(name)), 0x80040204u);
    EXPECT_EQ(description(), refusal + "  Scanner: " + name + ".");
  }
  EXPECT_THAT(log(), HasSubstr("OpenDevice(): connected to the scanner " + connectString() +
                               "; the connect string " + otherInstrument + " names another one."));
  EXPECT_EQ(manager.lockCount(kOtherId), 0);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 1);
  std::string serial;
  ASSERT_EQ(ctrl->get_InstrumentSerialNumber(&serial), S_OK);
  EXPECT_EQ(serial, "ZS000001");

  // The instrument held, named or not, is taken again.
  EXPECT_EQ(other->Connect(connectString()), S_OK) << description();
  EXPECT_EQ(ll->Connect(""), S_OK) << description();
  EXPECT_EQ(other->Disconnect(), S_OK);
  EXPECT_EQ(ll->Disconnect(), S_OK);
  EXPECT_EQ(ctrl->Disconnect(), S_OK);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
  EXPECT_EQ(manager.lockCount(kOtherId), 0);
}

TEST_F(ScanCtrlComTest, AnInstrumentTheManagerDoesNotListIsNamedNotFound) {
  ComPtr<IScanCtrl> ctrl = create();
  ComPtr<IScanLL> ll = createLL();
  const std::string unlisted = "127.0.0.9_1234";
  const std::string noInstruments = "Connection Manager reports that there are no instruments.";

  // With nothing listed at all the manager's answer is "no instruments".
  manager.removeInstrument(kInstrumentId);
  EXPECT_EQ(ctrl->Connect(unlisted), Itf(597));
  EXPECT_EQ(description(), noInstruments);
  EXPECT_EQ(ctrl->Connect(""), Itf(597));
  EXPECT_EQ(description(), noInstruments);

  // The manager lists an instrument, just not this one: the text names the one asked for.
  manager.addInstrument({kInstrumentId, platform::net::kLoopbackAddress, sim.port(), 1, "ZS000001"});
  const std::string notFound = "The scanner " + unlisted + " was not found.  Connection failed.";
  EXPECT_EQ(ctrl->Connect(unlisted), Itf(513));
  EXPECT_EQ(description(), notFound);
  EXPECT_EQ(static_cast<std::uint32_t>(ll->Connect(unlisted)), 0x80040201u);
  EXPECT_EQ(description(), notFound + "  Scanner: " + unlisted + ".");
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);

  // The listed one is still there to be taken.
  ASSERT_EQ(ctrl->Connect(connectString()), S_OK) << description();
  EXPECT_EQ(ctrl->Disconnect(), S_OK);
  EXPECT_EQ(manager.lockCount(kInstrumentId), 0);
}

TEST_F(ScanCtrlComTest, InitializeSetsTheBarcodeCountOnlyWhenMissing) {
  ComPtr<IScanCtrl> ctrl = create();
  const char* key = "Software\\Tarsel\\ZevazOdizo\\Scanner\\";
  ASSERT_EQ(ctrl->Initialize(), S_OK);
  EXPECT_EQ(CRegEdit(HKEY_LOCAL_MACHINE, key).ReadInt("BarcodeCount", -1), 2);
  CRegEdit(HKEY_LOCAL_MACHINE, key).WriteInt("BarcodeCount", 5);
  ASSERT_EQ(ctrl->Initialize(), S_OK);
  EXPECT_EQ(CRegEdit(HKEY_LOCAL_MACHINE, key).ReadInt("BarcodeCount", -1), 5);
}

TEST_F(ScanCtrlComTest, StateTextsAndIdentity) {
  ComPtr<IScanCtrl> ctrl = create();
  const struct {
    int state;
    const char* text;
  } cases[] = {{0, "Fatal System Error."}, {3, "Scanner ready."}, {9, "Turning on Red laser..."},
               {10, "Unknown state"},      {12, "Unknown state"}, {108, "Unknown state"},
               {-1, "Unknown state"}};
  for (const auto& c : cases) {
    std::string text;
    ASSERT_EQ(ctrl->ScannerStateMsg(tagScannerState(c.state), &text), S_OK);
    EXPECT_EQ(text, c.text) << c.state;
  }
  connect(*ctrl);
  std::string run, boot, scan, vc, af, model;
  ULONG ram = 0;
  ASSERT_EQ(ctrl->FirmwareVersion(&run, &boot, &ram), S_OK) << description();
  EXPECT_EQ(run, "Version R.4.5.6 Runtime 2011");
  EXPECT_EQ(boot, "Version B.1.2.3 Boot ROM 2009");
  EXPECT_EQ(ram, 0x4000000u);
  ASSERT_EQ(ctrl->DSPVersion(&scan, &vc, &af), S_OK) << description();
  EXPECT_EQ(scan, "Version S.1.0.2 Scan DSP");
  EXPECT_EQ(vc, "Version V.2.1.0 Stage DSP");
  EXPECT_EQ(af, "VCAF Version A.3.0.1 Autofocus DSP");
  ASSERT_EQ(ctrl->get_InstrumentModel(&model), S_OK);
  EXPECT_EQ(model, "ZS-C");
  ASSERT_EQ(ctrl->Disconnect(), S_OK);
}

}  // namespace
