// A board library that cannot be loaded: the port still exists and every board operation
// fails in its own way. (Own process: the binding is process-wide.)
#include <gtest/gtest.h>

#include <vector>

#include "Jotwell/Logger.h"
#include "Pellux/ScanDataPort.h"
#include "platform/ui.h"
#include "testsupport/TestEnv.h"

namespace {
class PelluxUnloadableLibTest : public testsupport::ZevaTest {
 protected:
  PelluxUnloadableLibTest() {
    previous_ =
        platform::ui::setMessageBoxHook([this](const std::string& text, const std::string&, unsigned) {
          boxes.push_back(text);
          return platform::ui::IDOK;
        });
  }
  ~PelluxUnloadableLibTest() override { platform::ui::setMessageBoxHook(previous_); }
  std::vector<std::string> boxes;

 private:
  platform::ui::MessageBoxHook previous_;
};
}  // namespace

TEST_F(PelluxUnloadableLibTest, InitPortLibFailsAndThePortCannotReachABoard) {
  EXPECT_FALSE(CScanDataPort::InitPortLib(PELLUX_UNLOADABLE_LIB));
  EXPECT_EQ(boxes, std::vector<std::string>{std::string("Failed to load OK library: ") +
                                            PELLUX_UNLOADABLE_LIB + ".\n"});
  EXPECT_FALSE(CScanDataPort::InitPortLib(PELLUX_UNLOADABLE_LIB));  // nothing got loaded

  const std::string bitFile = tempDir() + "/keth.bit";
  testsupport::writeFile(bitFile, "version=32");
  CScanDataPort port;
  boxes.clear();
  EXPECT_EQ(port.OpenDataPort(nullptr, bitFile.c_str()), PortStatusDeviceNotFound);
  EXPECT_EQ(boxes, std::vector<std::string>{"No ScanDataPort device found!"});
  EXPECT_EQ(port.OpenDataPort("SIM-KETH-0001", bitFile.c_str()), PortStatusConnectFailed);

  EXPECT_FALSE(port.IsPortOpen());
  EXPECT_FALSE(port.IsReady());
  EXPECT_FALSE(port.LoadFPGA(bitFile.c_str()));
  EXPECT_FALSE(port.SetOKTriggerIn(0x40, 15));
  EXPECT_FALSE(port.InitRunMode(eScanData, 0));
  EXPECT_FALSE(port.SetLaserOnOff(true, false));
  int s1 = 1, s2 = 2;
  EXPECT_FALSE(port.GetMiscFeedbackInfo(s1, s2));
  EXPECT_EQ(port.GetDeviceSNString(), "");
  EXPECT_EQ(port.GetLaserPower(true), 0);
  std::vector<unsigned char> buffer(16);
  EXPECT_THROW(port.GetScanData(buffer.data(), 16, 16), PortStatus);
}
