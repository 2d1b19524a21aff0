#include "maindlg/ScanDlgCore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "MainDlgTestSupport.h"
#include "ReadOnlyFolder.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "run/OutputNaming.h"
#include "run/RunStatus.h"
#include "run/ScanMgr.h"
#include "testsupport/TestEnv.h"

namespace maindlg_test {
namespace {

using namespace lumetra::maindlg;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace ui = platform::ui;

CRegEdit scannerKey(HKEY root = HKEY_LOCAL_MACHINE) { return CRegEdit(root, zeva::kScannerKey); }

// ---- start-up --------------------------------------------------------------------------------------

TEST_F(MainDlgTest, StartUpOnlineConnectsLocksInitializesAndPolls) {
  core().m_strConnectString = "127.0.0.1_4001";
  startUp();
  EXPECT_EQ(view_.endCode, 0);
  EXPECT_FALSE(core().m_bOffline);
  EXPECT_TRUE(core().m_bBusy);  // until the first state message
  EXPECT_TRUE(core().m_bInitialized);
  EXPECT_EQ(core().m_nScannerType, 2);
  EXPECT_THAT(scan_->Calls("Connect"), ElementsAre("Connect(127.0.0.1_4001)"));
  const auto calls = scan_->Calls();
  const auto at = [&](const std::string& c) {
    return std::find(calls.begin(), calls.end(), c) - calls.begin();
  };
  EXPECT_LT(at("Connect(127.0.0.1_4001)"), at("LockDoor()"));
  EXPECT_LT(at("LockDoor()"), at("Initialize()"));
  EXPECT_EQ(scan_->CallCount("SDPKeepAlive"), 1);
  EXPECT_EQ(view_.timers[kKeepAliveTimer], 300000u);
  EXPECT_EQ(core().m_pScanMgr->GetPollState(), 2);
  EXPECT_THAT(view_.profiles, Contains("<Default>"));
  EXPECT_EQ(core().m_strCurProfile, "<Default>");
  EXPECT_EQ(view_.caption, "&Scan Slot 1-48");
  EXPECT_EQ(view_.startList, (std::vector<int>{1, 48, 1}));
  EXPECT_TRUE(logged("INFO: Connected scanner model = K7431C"));
}

TEST_F(MainDlgTest, BarcodeCountBelowZeroBecomesOneOtherValuesStay) {
  struct Case {
    std::optional<int> stored;
    int expected;
  };
  for (const Case c : {Case{std::nullopt, 1}, Case{0, 0}, Case{-5, 1}, Case{3, 3}}) {
    if (c.stored)
      scannerKey().WriteInt("BarcodeCount", *c.stored);
    else
      scannerKey().DeleteValue("BarcodeCount");
    core_.reset();
    startUp();
    EXPECT_EQ(scannerKey().ReadInt("BarcodeCount", -100), c.expected) << (c.stored ? *c.stored : -1);
  }
}

TEST_F(MainDlgTest, AnotherModelDisconnectsAndOffersOfflineModeNoEnds) {
  scan_->model = "K7431B";
  startUp();
  EXPECT_TRUE(logged("INFO: Connected scanner model = K7431B"));
  EXPECT_EQ(scan_->CallCount("Disconnect"), 1);
  ASSERT_EQ(view_.connectFailed.size(), 1u);
  EXPECT_EQ(
      view_.connectFailed[0],
      "Connected scanner is not K7431C, the software will disconnect from the scanner!\n\n\nContinue in "
      "offline mode?");
  EXPECT_EQ(view_.endCode, ui::IDCANCEL);
  EXPECT_EQ(scan_->CallCount("Initialize"), 0);
}

TEST_F(MainDlgTest, OfflineModeLoadsListsWithoutTouchingTheInstrument) {
  scan_->Fail("Connect", 643, 1, "Failed to communicate with Connection Manager.");
  view_.connectAnswer = ui::IDYES;
  startUp();
  ASSERT_EQ(view_.connectFailed.size(), 1u);
  EXPECT_THAT(view_.connectFailed[0], HasSubstr("Failed to connect to K7431C scanner!\n"));
  EXPECT_THAT(view_.connectFailed[0], HasSubstr("Failed to communicate with Connection Manager."));
  EXPECT_EQ(view_.endCode, 0);
  EXPECT_TRUE(core().m_bOffline);
  EXPECT_FALSE(core().m_bBusy);
  EXPECT_EQ(core().GetScannerType(false), 2);
  EXPECT_EQ(view_.timers.count(kKeepAliveTimer), 0u);
  EXPECT_EQ(scan_->CallCount("IsDoorClosed") + scan_->CallCount("LockDoor") + scan_->CallCount("UnLockDoor"),
            0);
  EXPECT_EQ(core().m_RegionMap.GetCount(), 3);
  EXPECT_THAT(view_.profiles, Contains("<Default>"));
  EXPECT_FALSE(view_.scanEnabled);
  EXPECT_EQ(view_.status, "Scanner Offline (or awaiting initialization).");  // why Scan is off
  // The Tools items that need the instrument are off; the rest stay.
  EXPECT_FALSE(core().IsCommandEnabled(ID_TOOLS_CAROUSEL_CHECK));
  EXPECT_FALSE(core().IsCommandEnabled(ID_TOOLS_UNLOCK_DOOR));
  EXPECT_TRUE(core().IsCommandEnabled(ID_APP_EXIT));
  EXPECT_TRUE(core().IsCommandEnabled(ID_TOOLS_PROFILE_EDITOR));
}

TEST_F(MainDlgTest, OpenDoorAtStartUpExitsThroughExitSavingTheProfile) {
  scan_->doorClosed = 0;
  startUp();
  EXPECT_TRUE(boxShown("Error: You must close the door first."));
  EXPECT_EQ(view_.endCode, ui::IDCANCEL);
  EXPECT_EQ(scan_->CallCount("Initialize"), 0);
  EXPECT_EQ(scan_->CallCount("Disconnect"), 1);
  EXPECT_EQ(scannerKey(HKEY_CURRENT_USER).ReadString("LastUsedProfile", ""), "<Default>");
  EXPECT_TRUE(view_.timers.empty());
}

TEST_F(MainDlgTest, LastUsedProfileThatIsGoneSelectsDefault) {
  testsupport::writeFile(appDir_ + "/CarouselCfg.pfl",
                         "[Profiles]\nCount=1\n[Profile1]\nName=Lab\nRegionName=Full Slide\nDyeChannel=R+G\n"
                         "ResolutionType=2\nPMTRed=100\nPMTGreen=100\n");
  scannerKey(HKEY_CURRENT_USER).WriteString("LastUsedProfile", "Removed");
  startUp();
  EXPECT_EQ(core().m_strCurProfile, "<Default>");
  EXPECT_EQ(view_.profileSelected, "<Default>");
  EXPECT_TRUE(boxes().empty()) << boxes().front();  // the first selection asks nothing
}

TEST_F(MainDlgTest, FailedInitializeEndsTheWindowWithItsText) {
  scan_->Fail("Initialize", 588, 1, "The instrument is not ready.");
  startUp();
  EXPECT_EQ(view_.endCode, ui::IDCANCEL);
  ASSERT_FALSE(boxes().empty());
  EXPECT_EQ(boxes().back(), "Failed to initialize the scanner: Description: The instrument is not ready.");
  EXPECT_FALSE(core().m_bBusy);
}

TEST_F(MainDlgTest, MissingServerEndsStartUpWithItsMessage) {
  core().m_CreateScanCtrl = [] { return platform::com::ComPtr<IScanCtrl>(); };
  startUp();
  EXPECT_EQ(view_.endCode, ui::IDCANCEL);
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_THAT(boxes()[0], HasSubstr("Cannot access scanner interface."));
  EXPECT_TRUE(logged("ERROR: Scanner Init:  Failed to create instance of scanner interface."));
}

TEST_F(MainDlgTest, AnUnregisteredServerIsMetWithTheCommandThatRegistersIt) {
  // What creating an unregistered class gives.
  core().m_CreateScanCtrl = []() -> platform::com::ComPtr<IScanCtrl> {
    platform::com::ComPtr<platform::com::IUnknown> unknown;
    platform::com::Check(
        platform::com::CreateInstance("Movrak.ScanCtrl", platform::com::IUnknown::kIID, unknown.put()));
    return unknown.as<IScanCtrl>();
  };
  startUp();
  EXPECT_EQ(view_.endCode, ui::IDCANCEL);
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_THAT(boxes()[0], HasSubstr("zevazodizo-setup"));
  EXPECT_THAT(boxes()[0], HasSubstr("movrak-register"));
  EXPECT_THAT(boxes()[0], testing::Not(HasSubstr("regsvr32")));
  EXPECT_THAT(boxes()[0], testing::Not(HasSubstr(".DLL")));
}

// ---- shut-down -------------------------------------------------------------------------------------

TEST_F(MainDlgTest, CloseWhileBusyIsRefusedAndTheWindowStays) {
  startUp();  // busy until the first state message
  ASSERT_TRUE(core().m_bBusy);
  EXPECT_FALSE(core().OnClose());
  EXPECT_FALSE(core().ExitApplication());
  EXPECT_EQ(view_.endCode, 0);
  ASSERT_EQ(boxes().size(), 2u) << testing::PrintToString(boxes());
  EXPECT_EQ(boxes()[0],
            "The application is busy.  Cannot exit until it is no longer busy or  scan is aborted.");
  EXPECT_EQ(scan_->CallCount("Disconnect"), 0);
}

TEST_F(MainDlgTest, CloseWhenIdleRunsTheWholeExit) {
  startReady();
  ASSERT_FALSE(core().m_bBusy);
  EXPECT_TRUE(core().OnClose());
  EXPECT_EQ(view_.endCode, ui::IDCANCEL);
  EXPECT_EQ(scan_->CallCount("Disconnect"), 1);
  EXPECT_EQ(core().m_pScanMgr->GetPollState(), 0);
  EXPECT_TRUE(view_.timers.empty());
  EXPECT_EQ(core().m_nKeepAliveTimer, -1);
  EXPECT_FALSE(core().m_pScanCtrl);
  core().OnDestroy();  // nothing held any more: no second disconnect
  EXPECT_EQ(scan_->CallCount("Disconnect"), 1);
  EXPECT_TRUE(logged("DEBUG(1): Exit application...."));
}

TEST_F(MainDlgTest, FailedUnlockLeavesTheWindowFreeToExitAndScan) {
  startReady();
  scan_->Fail("UnLockDoor", 634, 1,
              "Instrument is busy.  Another operation has locked access to the instrument.");
  EXPECT_FALSE(core().CheckDoorClosed(true));
  EXPECT_FALSE(core().m_bBusy);
  EXPECT_TRUE(
      boxShown("Description: Instrument is busy.  Another operation has locked access to the instrument."));
  EXPECT_TRUE(core().IsCommandEnabled(ID_APP_EXIT));
  EXPECT_TRUE(core().ExitApplication());
}

// ---- scanner state ---------------------------------------------------------------------------------

TEST_F(MainDlgTest, StateMessagesDriveDoorBusyAndScanButton) {
  startUp();
  scan_->ClearCalls();
  core().OnScannerStateMsg(0, kStateInitializing);
  EXPECT_EQ(scan_->Calls("LockDoor"), std::vector<std::string>{"LockDoor()"});
  EXPECT_TRUE(core().m_bBusy);
  EXPECT_FALSE(view_.scanEnabled);

  core().OnScannerStateMsg(0, kStateReady);  // after initialising: unlock, free, scan allowed
  EXPECT_EQ(scan_->CallCount("UnLockDoor"), 1);
  EXPECT_FALSE(core().m_bBusy);
  EXPECT_TRUE(view_.scanEnabled);
  EXPECT_EQ(view_.status, "Scanner ready.");
  EXPECT_EQ(core().m_nPrevState, kStateInitializing);

  core().OnScannerStateMsg(0, kStateReady);  // the same again only clears the run-ready flag
  EXPECT_EQ(scan_->CallCount("UnLockDoor"), 1);
  EXPECT_TRUE(view_.scanEnabled);
  core().CheckDoorClosed(true);
  EXPECT_FALSE(view_.scanEnabled);
  core().OnScannerStateMsg(1, kStateReady);  // forced: taken up again
  EXPECT_TRUE(view_.scanEnabled);

  core().OnScannerStateMsg(0, kStateCalibLasers);
  EXPECT_TRUE(core().m_bBusy);
  EXPECT_FALSE(view_.scanEnabled);

  core().OnScannerStateMsg(0, kStateError);
  EXPECT_TRUE(core().m_bOffline);
  EXPECT_FALSE(core().m_bBusy);
  EXPECT_THAT(scan_->Calls("SetFSMotorCtrlMode"), Contains("SetFSMotorCtrlMode(0)"));
  for (int id : {ID_TOOLS_CAROUSEL_CHECK, ID_TOOLS_UNLOCK_DOOR, ID_TOOLS_RESET_CALIB_WARNINGS,
                 ID_TOOLS_EXT_LASER_CALIB})
    EXPECT_FALSE(core().IsCommandEnabled(id)) << id;
}

TEST_F(MainDlgTest, FirstReadyAfterInitialisingSchedulesTheRedLaserCalibration) {
  struct Case {
    int registryMinutes;
    unsigned expectedMs;
  };
  for (const Case c : {Case{0, 60000u}, Case{5, 300000u}}) {
    core_.reset();
    view_.timers.clear();
    scan_->redLaserDid1stCalibration = 0;
    scannerKey().WriteInt("RLaserPower1stCalibWaitTimeMin", c.registryMinutes);
    startReady();
    EXPECT_EQ(view_.timers[kRedLaserCalibTimer], c.expectedMs) << c.registryMinutes;
    EXPECT_FALSE(core().m_bInitialized);
  }
}

TEST_F(MainDlgTest, StatusMessagesTable) {
  startReady();
  const auto send = [&](unsigned msg, std::uintptr_t w, std::intptr_t l) { core().OnMessage(msg, w, l); };
  view_.status = core().m_strStatus = "before";

  send(lumetra::run::WM_SCANNER_STATUS_TEXT, 0, reinterpret_cast<std::intptr_t>(""));
  EXPECT_EQ(view_.status, "before");  // an empty text changes nothing
  send(lumetra::run::WM_SCANNER_STATUS_TEXT, 0, reinterpret_cast<std::intptr_t>("Polling"));
  EXPECT_EQ(view_.status, "Polling");
  send(lumetra::run::WM_SCAN_STATUS_LINE, 0, reinterpret_cast<std::intptr_t>("100% of the time"));
  EXPECT_EQ(view_.status, "100% of the time");

  send(WM_SCAN_PROGRESS, 50, 200);
  EXPECT_EQ(view_.status, "Scanning: 25 % done");
  send(WM_SCAN_PROGRESS, 5, 0);  // no total: no percentage, nothing shown
  EXPECT_EQ(view_.status, "Scanning: 25 % done");

  lumetra::run::ScanFileRecord record;
  record.slot = 7;
  record.fileName = "/data/S1.tif";
  record.barcode = "2512345";
  send(lumetra::run::WM_SCAN_FILE_INFO, 0, reinterpret_cast<std::intptr_t>(&record));
  EXPECT_EQ(view_.status, "Scan File: /data/S1.tif\r\nBarCode: 2512345\r\nSlot: 7 \r\n");

  send(kRegionMapMessage, kRegionMapReloaded, 0);
  EXPECT_EQ(view_.gridRefreshes, 1);
  EXPECT_TRUE(logged("DEBUG(1): OnScanRegionFileModified: detected a LAST_WRITE change"));
}

TEST_F(MainDlgTest, RunEndMessageInitialisesOrUnlocks) {
  startReady();
  scan_->ClearCalls();
  core().OnMessage(lumetra::run::WM_RUN_ENDED, 0, 2);
  EXPECT_THAT(scan_->Calls(), ElementsAre("IsDoorClosed()", "LockDoor()", "Initialize()"));
  EXPECT_TRUE(core().m_bInitialized);
  scan_->ClearCalls();
  core().OnMessage(lumetra::run::WM_RUN_ENDED, 0, 0);
  EXPECT_THAT(scan_->Calls(), ElementsAre("UnLockDoor()"));
}

TEST(DeviceChange, ClassesAreTestedInOrderAndUnknownsStayQuiet) {
  struct Case {
    std::string id;
    int kind;
    std::string name;
  };
  const Case cases[] = {
      {kScanDataPortInterfaceClass, 1, "ScannerDataPort"},
      {"{4D36E972-E325-11CE-BFC1-08002BE10318}", 2, "ScannerCmdPort"},
      {"{4d36e978-e325-11ce-bfc1-08002be10318}", 3, "ScannerSerialPort"},
      {"{36fc9e60-c465-11cf-8056-444553540000}", 0, "ScanerHub"},
      {"{50906cb8-ba12-11d1-bf5d-0000f805f530}", 4, "TISerialAdapter"},
      {"{00000000-0000-0000-0000-000000000000}", 5, "Unknown port"},
      {"not a class", 5, "Unknown port"},
      {"", 5, "Unknown port"},
  };
  for (const Case& c : cases) {
    std::string name;
    EXPECT_EQ(ClassifyDeviceInterface(c.id, &name), c.kind) << c.id;
    EXPECT_EQ(name, c.name) << c.id;
  }
}

TEST_F(MainDlgTest, UsbHubArrivalIsLoggedUnknownPortsAreNot) {
  core().OnDeviceChange(DBT_DEVICEARRIVAL, true, "{36fc9e60-c465-11cf-8056-444553540000}");
  core().OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, true, kScanDataPortInterfaceClass);
  core().OnDeviceChange(DBT_DEVICEARRIVAL, false, kScanDataPortInterfaceClass);
  EXPECT_TRUE(logged("DEBUG(1): <Device_Arrival> Detected: device = ScanerHub"));
  EXPECT_TRUE(logged("DEBUG(1): <Device_Removed> Detected: device = ScannerDataPort"));
  EXPECT_EQ(loggedCount("DEBUG(1): <Device_Arrival> Detected: device = ScannerDataPort"), 0u);
}

// ---- the Scan button ----------------------------------------------------------------------------------

class ScanStartTest : public MainDlgTest {
 protected:
  void SetUp() override {
    startReady();
    ASSERT_TRUE(view_.scanEnabled);
    core().OnEndSlotChanged(2);
    view_.grid.SetSlotEnabled(1, true, nullptr);
    view_.grid.SetSlotEnabled(2, true, nullptr);
    clearBoxes();
    scan_->ClearCalls();
  }
};

TEST_F(ScanStartTest, RunsTheProgressDialogBetweenStartAndExitMarks) {
  CRegEdit(HKEY_LOCAL_MACHINE, zeva::kDataPortKey).WriteInt("DisableShutdownCtrl", 1);
  scan_->Fail("OnStartExitCarouselRun", 549, 1);  // the start mark fails: the run goes on
  std::vector<std::string> atRun;
  view_.duringRun = [&] { atRun = scan_->Calls(); };
  core().OnOK();
  EXPECT_EQ(view_.runs, 1);
  EXPECT_TRUE(boxes().empty()) << boxes().front();
  EXPECT_THAT(atRun, Contains("SDPEnablingShutdown(0)"));
  EXPECT_THAT(atRun, Contains("SetFSMotorCtrlMode(1)"));
  EXPECT_THAT(scan_->Calls("OnStartExitCarouselRun"),
              ElementsAre("OnStartExitCarouselRun(1)", "OnStartExitCarouselRun(0)"));
  EXPECT_EQ(scan_->Calls().back(), "SetFSMotorCtrlMode(0)");
  ASSERT_NE(core().m_pScanMgr->GetRunConfig(), nullptr);
  const CCarouselCfgInfo& cfg = *core().m_pScanMgr->GetRunConfig();
  EXPECT_EQ(cfg.FirstSlot, 1);
  EXPECT_EQ(cfg.LastSlot, 2);
  EXPECT_EQ(cfg.OperatorName, "Operator");
  ASSERT_NE(cfg.GetAt(2), nullptr);
  EXPECT_EQ(cfg.GetAt(3), nullptr);
  EXPECT_EQ(cfg.GetAt(2)->RegionWidth, 61000);
  EXPECT_EQ(cfg.GetAt(2)->ResolutionType, core().m_pCurProfile->ResolutionType);
}

TEST_F(ScanStartTest, ReinitialisesAfterARunWhenTheDialogAsks) {
  view_.duringRun = [&] { core().m_bReinitAfterRun = true; };
  core().OnOK();
  EXPECT_EQ(scan_->CallCount("Initialize"), 1);
  EXPECT_FALSE(core().m_bReinitAfterRun);
  EXPECT_TRUE(core().m_bInitialized);
}

TEST_F(ScanStartTest, AFullDiskStopsTheRunWithOneBox) {
  core().m_FileSystem.freeBytes = [](const std::string&, int*) { return std::optional<std::uint64_t>(1000); };
  core().OnOK();
  EXPECT_EQ(view_.runs, 0);
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_THAT(boxes()[0], HasSubstr("Couldn't start carousel run: Not enough free space on drive '"));
  EXPECT_EQ(scan_->CallCount("OnStartExitCarouselRun"), 0);
  // The state is taken up again: Ready unlocks the door and frees the window.
  EXPECT_FALSE(core().m_bBusy);
  EXPECT_EQ(scan_->Calls().back(), "SetFSMotorCtrlMode(0)");
}

// A folder the run could not write its images to stops the run before it starts, with
// the cause named, rather than skipping every slide with a naming failure.
TEST_F(ScanStartTest, AnOutputFolderThatRefusesNewFilesStopsTheRunAndSaysWhy) {
  const std::string folder = tempDir() + "/locked";
  ASSERT_TRUE(platform::createDirectories(folder));
  lumetra_test::ReadOnlyFolder readOnly(folder);
  if (!readOnly.Refuses()) GTEST_SKIP() << readOnly.Why();
  view_.grid.GetSlotCfg(2)->OutputPath = folder;
  core().OnOK();
  EXPECT_EQ(view_.runs, 0);
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_EQ(boxes()[0],
            "Couldn't start carousel run: " + FolderNotWritableText(folder, readOnly.ExpectedError()));
  EXPECT_EQ(scan_->CallCount("OnStartExitCarouselRun"), 0);
  EXPECT_FALSE(core().m_bBusy);
}

TEST_F(ScanStartTest, AnUnknownResolutionNamesTheSlot) {
  view_.grid.GetSlotCfg(2)->Resolution = "7 um";
  core().OnOK();
  EXPECT_EQ(view_.runs, 0);
  ASSERT_EQ(boxes().size(), 2u);
  EXPECT_EQ(boxes()[0],
            "LoadCarouselCfgInfo:  Failed to configurate scan for slot 2 - invalide scan resolution '7 um'.");
  EXPECT_EQ(boxes()[1], "Couldn't start carousel run: Failed to load carousel scanning configuration");
}

// ---- menu commands and lists ---------------------------------------------------------------------------

TEST(QuillmarkCommand, ModelArgumentByIndex) {
  EXPECT_EQ(QuillmarkCommandLine(0), "Quillmark K7431A");
  EXPECT_EQ(QuillmarkCommandLine(2), "Quillmark K7431C");
  EXPECT_EQ(QuillmarkCommandLine(3), "Quillmark");
}

TEST_F(MainDlgTest, QuillmarkStartsWithTheModelOrBareAndReportsFailures) {
  std::vector<std::vector<std::string>> started;
  core().m_Spawn = [&](const std::vector<std::string>& argv, int* error) {
    started.push_back(argv);
    *error = 2;  // ENOENT
    return started.size() == 1;
  };
  core().m_nScannerType = 3;
  core().m_bBusy = false;
  scan_->model = "unknown";
  core().OnCommand(ID_TOOLS_QUILLMARK);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].size(), 1u);  // no model: the bare command
  core().m_nScannerType = 1;
  core().OnCommand(ID_TOOLS_QUILLMARK);
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[1].back(), "K7431B");
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_EQ(boxes()[0], "Call Quillmark failed: No such file or directory");
  EXPECT_EQ(captions_[0], "Customize Scan Region Error");
}

TEST_F(MainDlgTest, QuillmarkIsTheOneBesideTheRunningProgramNotInTheInstallationFolder) {
  // An installation: the programs in <prefix>/bin, the user's installation folder (where
  // the window's region files are) elsewhere.
  const std::string bin = tempDir() + "/prefix/bin";
  ASSERT_TRUE(platform::createDirectories(bin));
  testsupport::writeFile(bin + "/quillmark", "");
  testsupport::writeFile(tempDir() + "/quillmark", "");  // not this one
  core().m_strAppDir = tempDir() + "/";
  core().m_strProgramPath = bin + "/scanner-host";
  std::vector<std::string> started;
  core().m_Spawn = [&](const std::vector<std::string>& argv, int*) {
    started = argv;
    return true;
  };
  core().m_nScannerType = 3;
  core().m_bBusy = false;
  scan_->model = "unknown";
  core().OnCommand(ID_TOOLS_QUILLMARK);
  ASSERT_FALSE(started.empty());
  EXPECT_EQ(started[0], bin + "/quillmark");
  // Without one beside the program, PATH decides.
  std::filesystem::remove(bin + "/quillmark");
  core().OnCommand(ID_TOOLS_QUILLMARK);
  EXPECT_EQ(started[0], "quillmark");
}

// The log folder, the help file and the support address: a failure names what was
// opened, and this computer's handler's failures say what to install.
TEST_F(MainDlgTest, OpeningFoldersHelpAndSupportNamesWhatFailedAndWhatToInstall) {
  startReady();
  const std::string logs = tempDir() + "/logs", help = tempDir() + "/help/Scanner.pdf";
  const std::string link = "https://support.example.invalid/zeva";
  ASSERT_TRUE(platform::createDirectories(logs));
  ASSERT_TRUE(platform::createDirectories(tempDir() + "/help"));
  testsupport::writeFile(help, "%PDF");
  core().m_strAppDir = tempDir() + "/";
  CRegEdit(HKEY_LOCAL_MACHINE, std::string(zeva::kScannerKey) + "Logging")
      .WriteString("File", logs + "/host.log");
  CRegEdit(HKEY_CURRENT_USER, zeva::kScannerKey).WriteString("CurrentTechSupportHyperlink", link);
  int answer = 42;
  std::vector<std::string> opened;
  auto previous = ui::setShellOpenHook([&](const std::string& target) {
    opened.push_back(target);
    return answer;
  });
  struct Case {
    int command;
    int result;
    std::string box;
  };
  const Case cases[] = {
      {ID_HELP_LOG_FILE_FINDER, ui::kShellOpenNoProgram,
       "No program to open it was found: install a file manager for \"xdg-open\" (package xdg-utils) to "
       "start.\n\nLog file folder: " +
           logs + "/"},
      {ID_HELP_LOG_FILE_FINDER, 2, "File not found\n\nLog file folder: " + logs + "/"},
      {ID_HELP_ONLINE_HELP, ui::kShellOpenFailed,
       "Cannot open help file " + help +
           "\n\nThe program that \"xdg-open\" started for it failed: check that a PDF viewer is installed "
           "and "
           "works."},
      {ID_HELP_ONLINE_HELP, 2, "Cannot open help file " + help},
      {ID_HELP_TECH_SUPPORT, ui::kShellOpenerMissing,
       std::string(ui::kShellOpenerMissingText) + "\n\nTechnical support address: " + link},
      {ID_HELP_TECH_SUPPORT, ui::kShellOpenNoProgram,
       "No program to open it was found: install a web browser for \"xdg-open\" (package xdg-utils) to "
       "start.\n\nTechnical support address: " +
           link},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.box);
    const std::size_t before = boxes().size();
    answer = c.result;
    core().OnCommand(c.command);
    ASSERT_EQ(boxes().size(), before + 1);
    EXPECT_EQ(boxes().back(), c.box);
  }
  // Opened: no box.
  answer = 42;
  const std::size_t before = boxes().size();
  for (const int command : {ID_HELP_LOG_FILE_FINDER, ID_HELP_ONLINE_HELP, ID_HELP_TECH_SUPPORT})
    core().OnCommand(command);
  EXPECT_EQ(boxes().size(), before);
  EXPECT_THAT(std::vector<std::string>(opened.end() - 3, opened.end()), ElementsAre(logs + "/", help, link));
  ui::setShellOpenHook(std::move(previous));
}

TEST_F(MainDlgTest, ResetCalibrationWarningsResetsOnlyTheFlagsSet) {
  startReady();
  scan_->flash["LaserCompensationRequired_G"] = "1";
  core().OnCommand(ID_TOOLS_RESET_CALIB_WARNINGS);
  EXPECT_THAT(scan_->Calls("FlashSetUnsigned"),
              ElementsAre("FlashSetUnsigned(LaserCompensationRequired_G,0)"));
  EXPECT_EQ(scan_->CallCount("FlashBurn"), 1);
  EXPECT_EQ(view_.status, "Reset calibration warning flag: Green Laser");

  scan_->flash["LaserCompensationRequired_G"] = "0";
  core().OnCommand(ID_TOOLS_RESET_CALIB_WARNINGS);
  EXPECT_EQ(scan_->CallCount("FlashBurn"), 1);
  EXPECT_EQ(view_.status, "No calibration warning flag needs to be reset.");
  EXPECT_TRUE(logged("INFO: Detected no calibration warning flag has been set on this instrument."));
}

TEST_F(MainDlgTest, SlotListsKeepTheStartAtOrBelowTheEnd) {
  startReady();
  core().OnStartSlotChanged(12);
  EXPECT_EQ(view_.endList, (std::vector<int>{12, 48, 48}));  // the end list offers 12..48 only
  EXPECT_EQ(view_.caption, "&Scan Slot 12-48");
  EXPECT_EQ(view_.grid.FirstSlot(), 12);
  core().OnEndSlotChanged(10);  // not offered: ignored
  EXPECT_EQ(core().m_nEndSlot, 48);
  core().OnEndSlotChanged(12);
  EXPECT_EQ(view_.startList, (std::vector<int>{1, 12, 12}));
  EXPECT_EQ(view_.caption, "&Scan Slot 12");
  EXPECT_EQ(view_.grid.LastSlot(), 12);
}

TEST_F(MainDlgTest, CancellingTheProfileQuestionKeepsThePreviousProfile) {
  testsupport::writeFile(appDir_ + "/CarouselCfg.pfl",
                         "[Profiles]\nCount=1\n[Profile1]\nName=Lab\nRegionName=Array B\nDyeChannel=R\n"
                         "ResolutionType=2\nPMTRed=100\nPMTGreen=100\n");
  startReady();
  ASSERT_NE(core().m_ProfileMap.Lookup("Lab"), nullptr);
  answers_ = {ui::IDCANCEL};
  core().OnProfileSelected("Lab");
  EXPECT_EQ(core().m_strCurProfile, "<Default>");
  EXPECT_EQ(view_.profileSelected, "<Default>");
  EXPECT_EQ(view_.grid.CurrentProfile(), core().m_ProfileMap.GetDefault());
  ASSERT_FALSE(boxes().empty());
  EXPECT_EQ(boxes().back(),
            "Selecting a new profile will overwrite the slot settings.\r\n\r\nClick OK to continue.");

  core().OnProfileSelected("Lab");  // OK this time
  EXPECT_EQ(core().m_strCurProfile, "Lab");
  EXPECT_EQ(view_.grid.GetSlotCfg(1)->RegionName, "Array B");
}

TEST_F(MainDlgTest, ProfileEditorRemovingTheCurrentProfileFallsBackToDefault) {
  testsupport::writeFile(appDir_ + "/CarouselCfg.pfl",
                         "[Profiles]\nCount=1\n[Profile1]\nName=Lab\nRegionName=Array B\nDyeChannel=R\n"
                         "ResolutionType=2\nPMTRed=100\nPMTGreen=100\n");
  startReady();
  core().OnProfileSelected("Lab");
  view_.editProfiles = [](CCarouselCfgProfileMap& map, const std::string&) {
    map.RemoveKey("Lab");
    return ProfileEditResult{ui::IDOK, false, true, true};
  };
  core().OnCommand(ID_TOOLS_PROFILE_EDITOR);
  EXPECT_EQ(core().m_strCurProfile, "<Default>");
  EXPECT_EQ(core().m_pCurProfile, core().m_ProfileMap.GetDefault());
  EXPECT_EQ(view_.grid.CurrentProfile(), core().m_ProfileMap.GetDefault());
  EXPECT_EQ(view_.profileSelected, "<Default>");
}

TEST_F(MainDlgTest, StatusBarPanesShowTheProfileAndTotals) {
  startReady();
  core().m_pCurProfile->CompressTiff = 1;
  core().m_pCurProfile->AutoNamingPrefix1 = "<Instrument Serial #>";
  core().m_pCurProfile->AutoNamingPrefix2 = "";
  core().UpdateStatusBar(false);
  EXPECT_EQ(view_.panes[kPaneCompress], " Compress:  [On]");
  EXPECT_EQ(view_.panes[kPaneSplitRotate], " Split/Rotate:  [Off]");
  EXPECT_EQ(view_.panes[kPaneNaming], "Naming:  SN000001_S<Scan #>");
  const CCarouselCfgInfo& cfg = *core().m_pCarouselCfg;
  const double bytes = static_cast<double>(cfg.GetTotalImageBytes(0, 0));
  ASSERT_GE(bytes, 1000.0 * 1024 * 1024);
  EXPECT_EQ(view_.panes[kPaneFileSize], FormatText(" Total file size:  %.1f GB", bytes / 1073741824.0));
  const unsigned minutes = cfg.GetTotalScanTime(0, 0);
  EXPECT_EQ(view_.panes[kPaneRunTime],
            FormatText(" Total run time:  %u hr %u min", minutes / 60, minutes % 60));
  core().OnEndSlotChanged(1);
  for (int slot = 1; slot <= 48; ++slot) view_.grid.SetSlotEnabled(slot, false, nullptr);
  core().UpdateStatusBar(true);
  EXPECT_EQ(view_.panes[kPaneFileSize], " Total file size:  0.0 MB");
  EXPECT_EQ(view_.panes[kPaneRunTime], " Total run time:  0 hr 0 min");
}

TEST(ScanDlgTexts, ShellErrorsAndCaptions) {
  EXPECT_EQ(ShellErrorText(0), "The operating system is out of memory or resources");
  EXPECT_EQ(ShellErrorText(31), "No association for file extension");
  EXPECT_EQ(ShellErrorText(platform::ui::kShellOpenerMissing),
            "No program to open it was found: \"xdg-open\" is not installed (package xdg-utils).");
  EXPECT_EQ(ShellErrorText(1), "Unknown error");
  EXPECT_EQ(ScanCaption(3, 3), "&Scan Slot 3");
  EXPECT_EQ(ProgressText(1, 3), "Scanning: 33 % done");
  EXPECT_EQ(ProgressText(1, -1), "");
}

}  // namespace
}  // namespace maindlg_test
