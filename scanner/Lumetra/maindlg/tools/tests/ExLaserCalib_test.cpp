#include "maindlg/tools/ExLaserCalib.h"

#include <gtest/gtest.h>

#include "Jotwell/ProductKeys.h"
#include "ToolsFixture.h"

namespace tools_test {
namespace {

using lumetra::ExLaserCalibCommand;
using lumetra::ExLaserCalibWaitText;
using lumetra::OnExLaserCalibrating;

class ExLaserCalibTest : public ToolsTest {
 protected:
  void setTestPower(int value) {
    CRegEdit(HKEY_LOCAL_MACHINE, zeva::kScannerKey).WriteInt("ExLaserCalibTestPowerMinMax", value);
  }
  std::vector<std::string> instrumentCalls() const {
    std::vector<std::string> out;
    for (const auto& c : scanCtrl_->Calls())
      if (c.rfind("CheckErrorCode", 0) != 0) out.push_back(c);
    return out;
  }
};

TEST_F(ExLaserCalibTest, PowerTestsRunOnlyWhenTheRegistryAsks) {
  OnExLaserCalibrating(scanCtrl_.get());
  EXPECT_EQ(instrumentCalls(), (std::vector<std::string>{"TestLaserPowerMinMax(0)", "CalibrateLaser(0)",
                                                         "TestLaserPowerMinMax(1)", "CalibrateLaser(1)"}));
  EXPECT_TRUE(logged("Tested Green laser power: minimum = 1.25, maximum = 20.00"));
  EXPECT_TRUE(logged("Tested Red laser power: minimum = 2.50, maximum = 30.00"));
  EXPECT_TRUE(logged("BEGIN FUNCTION EXTENDED_LASER_CALIBRATION"));
  EXPECT_TRUE(logged("END FUNCTION EXTENDED_LASER_CALIBRATION"));

  setTestPower(0);
  scanCtrl_->ClearCalls();
  OnExLaserCalibrating(scanCtrl_.get());
  EXPECT_EQ(instrumentCalls(), (std::vector<std::string>{"CalibrateLaser(0)", "CalibrateLaser(1)"}));
}

TEST_F(ExLaserCalibTest, RedCalibrationErrorsDecideBetweenRetryAndStop) {
  constexpr int kError = 4200;
  struct Case {
    const char* what;
    unsigned group;  // the error's group (0: none of the three)
    int failures;    // how many red calibrations fail
    int redCalls;
    bool redFailedLine, calibrationFailedLine;
  } cases[] = {
      {"target missed, then fine", 47, 1, 2, false, false},
      {"out of specification, then fine", 35, 1, 2, false, false},
      {"out of specification twice", 35, 2, 2, true, false},
      {"fails its specification", 41, 1, 1, false, true},
      {"another error", 0, 1, 1, false, true},
  };
  for (const auto& c : cases) {
    auto scanCtrl = lumetra_test::FakeScanCtrl::Create();
    if (c.group) scanCtrl->errorClasses.insert({kError, c.group});
    scanCtrl->Hook("TestLaserPowerMinMax", [&, s = scanCtrl.get()] {
      // The red power test comes just before the red calibrations: script them now.
      if (s->CallCount("TestLaserPowerMinMax") == 2)
        s->Fail("CalibrateLaser", kError, c.failures, "Red trouble");
      return platform::com::S_OK;
    });
    const std::string before = log();
    OnExLaserCalibrating(scanCtrl.get());
    const std::string text = log().substr(before.size());
    EXPECT_EQ(scanCtrl->Calls("CalibrateLaser(1)").size(), static_cast<std::size_t>(c.redCalls)) << c.what;
    EXPECT_EQ(
        text.find("<OnExLaserCalibrating> Failed to calibrate the Red laser: Description: Red trouble") !=
            std::string::npos,
        c.redFailedLine)
        << c.what;
    EXPECT_EQ(text.find("Extended Laser Calibration failed: Description: Red trouble") != std::string::npos,
              c.calibrationFailedLine)
        << c.what;
    EXPECT_NE(text.find("END FUNCTION EXTENDED_LASER_CALIBRATION"), std::string::npos) << c.what;
    if (!c.redFailedLine && !c.calibrationFailedLine) {
      EXPECT_EQ(text.find("Failed"), std::string::npos) << c.what;
    }
  }
}

TEST_F(ExLaserCalibTest, AGreenFailureIsLoggedAndAFailedPowerTestEndsTheWork) {
  scanCtrl_->Fail("CalibrateLaser", 4100, 1, "Green trouble");
  OnExLaserCalibrating(scanCtrl_.get());
  EXPECT_TRUE(
      logged("<OnExLaserCalibrating> Failed to calibrate the Green laser: Description: Green trouble"));
  EXPECT_EQ(scanCtrl_->Calls("CalibrateLaser(1)").size(), 1u);

  scanCtrl_->ClearCalls();
  scanCtrl_->Fail("TestLaserPowerMinMax", 4101, 1, "No power reading");
  OnExLaserCalibrating(scanCtrl_.get());
  EXPECT_TRUE(logged("Extended Laser Calibration failed: Description: No power reading"));
  EXPECT_TRUE(scanCtrl_->Calls("CalibrateLaser").empty());
}

TEST_F(ExLaserCalibTest, WaitTextStartsAgainEveryTwentyTicks) {
  std::string text = "Please wait";
  for (unsigned tick = 0; tick < 45; ++tick) {
    text = ExLaserCalibWaitText(tick, text);
    const unsigned dots = tick % 20;
    EXPECT_EQ(text, "Please wait " + std::string(dots, '.')) << tick;
  }
}

TEST_F(ExLaserCalibTest, TheCommandLocksTheDoorAroundTheDialogAndReappliesTheState) {
  FakeScanDlgHooks hooks;
  hooks.messageAnswer = platform::ui::IDNO;
  bool ran = false;
  EXPECT_FALSE(ExLaserCalibCommand(hooks, scanCtrl_.get(), [&] { ran = true; }));
  EXPECT_FALSE(ran);
  ASSERT_EQ(hooks.actions.size(), 1u);
  EXPECT_EQ(hooks.actions[0],
            "box Warning: This feature is intended for service personel.  It will take over 5 minutes to "
            "complete\n "
            "and cannot be canceled once started.  Do you want to continue?");
  EXPECT_EQ(hooks.boxTypes[0] & platform::ui::MB_TYPEMASK, platform::ui::MB_YESNO);

  hooks.actions.clear();
  hooks.messageAnswer = platform::ui::IDYES;
  scanCtrl_->state = kStateWarming;
  EXPECT_TRUE(ExLaserCalibCommand(hooks, scanCtrl_.get(), [&] { hooks.actions.push_back("dialog"); }));
  EXPECT_EQ(hooks.actions, (std::vector<std::string>{hooks.actions[0], "door lock", "exlaser on", "dialog",
                                                     "state 1 5", "exlaser off", "door unlock"}));
}

}  // namespace
}  // namespace tools_test
