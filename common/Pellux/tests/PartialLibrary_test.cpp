// A board library lacking some entry points: each missing name is reported while binding
// goes on, and only the operations needing them fail. (Own process: the binding is
// process-wide.)
#include "BoardFixture.h"

TEST(PelluxPartialLibTest, MissingEntriesDisableOnlyWhatNeedsThem) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(CScanDataPort::InitPortLib(PELLUX_PARTIAL_LIB));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to load okPLL22393_GetPLLP. Error code 127\n"
            "Failed to load okUsbFrontPanel_GetSerialNumber. Error code 127\n"
            "Failed to load okUsbFrontPanel_ConfigureFPGA. Error code 127\n");
}

namespace {
class PelluxPartialBoardTest : public BoardTest {};
}  // namespace

TEST_F(PelluxPartialBoardTest, TheOpenSequenceStopsAtTheDownload) {
  ASSERT_TRUE(CScanDataPort::InitPortLib(PELLUX_PARTIAL_LIB));
  CScanDataPort port;
  EXPECT_EQ(port.OpenDataPort(nullptr, bitFile_.c_str()), PortStatusConfigureFailed);
  EXPECT_TRUE(logHas("<DataPort::LoadFPGA> Failed to download configuration file " + bitFile_ +
                     " to the Scan Data Port: Unsupported feature [okErrCode = -15]"));
  EXPECT_TRUE(port.IsPortOpen());
  EXPECT_EQ(port.GetDeviceVersionString(), "1.3");
  EXPECT_EQ(port.GetDeviceSNString(), "");
  EXPECT_EQ(port.GetDeviceIDString(), "Keth SIM-KETH-0001");
}
