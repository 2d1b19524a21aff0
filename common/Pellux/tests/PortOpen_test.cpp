// Loading the board's library, and the outcomes of opening the port.
#include <functional>

#include "BoardFixture.h"
#include "Jotwell/ProductKeys.h"
#include "platform/dynlib.h"

namespace {
using PelluxOpenTest = BoardTest;
}

TEST_F(PelluxOpenTest, InitPortLibLoadsTheLibraryBesideTheExecutableAndOnlyOnce) {
  const platform::ModuleHandle module = platform::findLoadedModule("libokFrontPanel.so");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(platform::modulePath(module),
            platform::directoryOf(platform::executablePath()) + "libokFrontPanel.so");
  // Already loaded: another path is not even tried.
  EXPECT_TRUE(CScanDataPort::InitPortLib("/nonexistent/libokFrontPanel.so"));
  EXPECT_TRUE(boxes().empty());
}

TEST_F(PelluxOpenTest, OpenDataPortOutcomes) {
  struct Case {
    const char* name;
    std::function<void(PelluxOpenTest&)> setup;
    bool serialGiven;
    const char* bitFile;  // "" = none given, "missing" = a file that does not exist
    PortStatus expected;
    const char* box;      // the one message box expected, or null
    const char* logLine;  // a line the log must hold, or null
  };
  const Case cases[] = {
      {"no device", [](PelluxOpenTest&) { okSim_ClearDevices(); }, false, "good", PortStatusDeviceNotFound,
       "No ScanDataPort device found!", nullptr},
      {"no valid device",
       [](PelluxOpenTest&) {
         okSim_ClearDevices();
         okSim_AddDevice(3, "OTHER-BOARD");
       },
       false, "good", PortStatusDeviceNotFound, "No valid ScanDataPort device found!", nullptr},
      {"open refused", [](PelluxOpenTest&) { okSim_ScriptResult("okUsbFrontPanel_OpenBySerial", -1, 0); },
       true, "good", PortStatusConnectFailed, nullptr,
       "<DataPort::OpenDataPort> Task [Open Port] failed [ErrCode = 5]"},
      {"clock configuration refused",
       [](PelluxOpenTest&) { okSim_ScriptResult("okUsbFrontPanel_LoadDefaultPLLConfiguration", -5, 0); },
       false, "good", PortStatusLoadPLLFailed, nullptr,
       "Task [Load default PLL configuration] failed [ErrCode = 6]"},
      {"bit file given but missing", [](PelluxOpenTest&) {}, false, "missing", PortStatusConfigureFailed,
       nullptr, "File error occurred during open or read [okErrCode = -7]"},
      {"download fails", [](PelluxOpenTest&) { okSim_ScriptResult("okUsbFrontPanel_ConfigureFPGA", -6, 0); },
       false, "good", PortStatusConfigureFailed, nullptr,
       "The bitstream is not properly formatted [okErrCode = -6]"},
      {"old configuration", [](PelluxOpenTest&) { okSim_SetConfigVersion(19); }, false, "good",
       PortStatusConfigFileInvalid,
       "<DataPort::OpenDataPort> Invalid FPGA configuration file (might be an old version) loaded to the "
       "Scan Data Port!",
       nullptr},
      {"DCM never locks",
       [](PelluxOpenTest&) {
         okSim_SetDcmFault(1, OKSIM_DCM_NEVER_LOCKS);
         okSim_SetDcmFault(0, OKSIM_DCM_NEVER_LOCKS);
       },
       false, "good", PortStatusDCMAdjustFailed, nullptr,
       "Task [Auto adjust DCM phases] failed [ErrCode = 8]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    okSim_Reset();
    {
      CScanDataPort port;
      c.setup(*this);
      const std::string missing = tempDir() + "/missing.bit";
      const std::string file = std::string(c.bitFile) == "missing" ? missing : bitFile_;
      const PortStatus result = port.OpenDataPort(c.serialGiven ? "SIM-KETH-0001" : nullptr, file.c_str());
      EXPECT_EQ(result, c.expected);
      const auto shown = boxes();
      if (c.box) {
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back(), c.box);
      }
      if (c.logLine) {
        EXPECT_TRUE(logHas(c.logLine)) << c.logLine;
      }
      EXPECT_FALSE(port.IsReady());
    }
  }
  // The old configuration was downloaded, then refused before any DCM step.
  EXPECT_TRUE(logHas("Invalid FPGA configuration file (might be an old version)"));
}

TEST_F(PelluxOpenTest, AConfigurationFileFromTheRegistryThatIsMissingFailsBeforeTheBoardIsTouched) {
  ASSERT_TRUE(
      CRegEdit(HKEY_LOCAL_MACHINE, kDataPortKey).WriteString("KethConfigFile", tempDir() + "/gone.bit"));
  CScanDataPort port;
  okSim_ClearCallLog();
  EXPECT_EQ(port.OpenDataPort("SIM-KETH-0001", nullptr), PortStatusConfigFileInvalid);
  EXPECT_TRUE(oksim::calls("okUsbFrontPanel_OpenBySerial").empty());
  EXPECT_EQ(port.GetConfigFilePath(), tempDir() + "/gone.bit");  // for the user's message

  // The registry's file, when present, is the one downloaded.
  ASSERT_TRUE(CRegEdit(HKEY_LOCAL_MACHINE, kDataPortKey).WriteString("KethConfigFile", bitFile_));
  EXPECT_EQ(port.OpenDataPort("SIM-KETH-0001", nullptr), PortStatusSuccess);
  EXPECT_EQ(oksim::calls("okUsbFrontPanel_ConfigureFPGA").back(),
            "okUsbFrontPanel_ConfigureFPGA(" + bitFile_ + ")");
}

TEST_F(PelluxOpenTest, WithoutARegistryFileTheConfigurationIsTheOneInTheInstallationFolder) {
  const std::string install = tempDir() + "/install";
  ASSERT_TRUE(platform::createDirectories(install));
  ASSERT_TRUE(CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).WriteString(zeva::kInstallPathValue, install));
  CScanDataPort port;
  EXPECT_EQ(port.OpenDataPort("SIM-KETH-0001", nullptr), PortStatusConfigFileInvalid);
  EXPECT_EQ(port.GetConfigFilePath(), install + "/keth.bit");
  EXPECT_TRUE(platform::copyFileNoOverwrite(bitFile_, install + "/keth.bit"));
  EXPECT_EQ(port.OpenDataPort("SIM-KETH-0001", nullptr), PortStatusSuccess);
}

TEST_F(PelluxOpenTest, ASuccessfulOpenConfiguresAdjustsAndRecordsTheVersion) {
  setDataPortDword("LastLoadedKethCfgBitsVersion", 20);
  setDataPortDword("RLaserPowerReadyToAdjustWaitTimeMin", -5);
  testsupport::writeFile(bitFile_, "version=33");
  CScanDataPort port;
  EXPECT_EQ(port.GetFPGABitVersionString(), "Unknown");
  EXPECT_TRUE(port.IsInitCfgSkipped());
  open(port);

  EXPECT_TRUE(port.IsReady());
  EXPECT_TRUE(port.IsPortConfigured());
  EXPECT_TRUE(port.IsInitDCMAdjusted());
  EXPECT_FALSE(port.IsInitCfgSkipped());
  EXPECT_EQ(port.GetFPGABitVersionString(), "33");
  EXPECT_EQ(CRegEdit(HKEY_LOCAL_MACHINE, kDataPortKey).ReadInt("LastLoadedKethCfgBitsVersion", 0), 33);
  EXPECT_EQ(port.GetLaserPowerReadyToAdjustMinWaitTimeRed(), 30);  // a negative setting means the default
  EXPECT_EQ(port.GetDeviceVersionString(), "1.3");
  EXPECT_EQ(port.GetDeviceSNString(), "SIM-KETH-0001");
  EXPECT_FALSE(port.GetDeviceIDString().empty());
  PLLConfigInfo pll;
  EXPECT_EQ(port.GetPLLConfigInfo(&pll, 0), 0);
  EXPECT_GT(pll.dReference, 0);
  EXPECT_GT(pll.outputs[0].dFrequency, 0);
  CScanDataPort closed;
  EXPECT_NE(closed.GetPLLConfigInfo(&pll, 1), 0);
  EXPECT_EQ(pll.strMessage, "Failed to get PLL config info - Device Not Open!");
  EXPECT_EQ(simArgs("okUsbFrontPanel_ActivateTriggerIn").back(),
            "(0x41,6)");  // misc error flags cleared last
  EXPECT_FALSE(oksim::calls("okUsbFrontPanel_ActivateTriggerIn(0x40,15)").empty());  // the master kept alive
  EXPECT_TRUE(logHas("INFO: Connecting to DataPort device [DeviceSN = SIM-KETH-0001]"));
  EXPECT_TRUE(logHas("DEBUG(1): <DataPort::OpenDataPort> Port has been configurated with '" + bitFile_ +
                     "' [ver = 33]"));
  EXPECT_TRUE(logHas("DEBUG(1): <DataPort::OpenDataPort> Exiting status: MasterAlive = Yes"));
  EXPECT_TRUE(boxes().empty());
}

TEST_F(PelluxOpenTest, ARedLaserFoundOnWhenOpeningStartsItsOnTime) {
  setDataPortDword("RLaserPowerReadyToAdjustWaitTimeMin", 12);
  {
    CScanDataPort first;
    open(first);
    ASSERT_TRUE(first.TurnOnOffRedLaser(true));
  }
  CScanDataPort port;
  open(port);
  EXPECT_EQ(port.GetLaserPowerReadyToAdjustMinWaitTimeRed(), 12);
  clock_->advance(std::chrono::minutes(3));
  EXPECT_EQ(port.GetRedLaserLastOnMinutes(), 3);
}
