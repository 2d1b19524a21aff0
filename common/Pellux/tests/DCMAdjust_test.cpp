// The DCM clock-phase adjustment on the simulated board's phase eye.
#include "BoardFixture.h"

namespace {
class PelluxDcmTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    open(port);
  }
  // Both phases get the same eye (and neighbouring windows), and stand outside it.
  static void eyes(int width, int shiftsNeeded = 0, int windowWidth = 60) {
    for (int odd = 0; odd < 2; ++odd) {
      okSim_SetDcmEye(odd, kEyeStart, width, windowWidth);
      okSim_SetDcmShiftsNeeded(odd, shiftsNeeded);
      okSim_SetDcmPosition(odd, -60);
    }
    okSim_ClearCallLog();
  }
  static bool inEye(int odd, int width) {
    const int pos = okSim_GetDcmPosition(odd);
    return pos >= kEyeStart && pos < kEyeStart + width;
  }
  std::string logFrom(std::size_t offset) const { return log().substr(offset); }

  static constexpr int kEyeStart = -10;
  CScanDataPort port;
};
}  // namespace

TEST_F(PelluxDcmTest, EyeWidthThresholdsOfBothMethods) {
  struct Case {
    bool v2;
    int eye;
    bool adjusted;
    const char* line;
  };
  const Case cases[] = {
      {false, 47, false,
       "DoDCMPhaseAutoAdjust: found eye-width for 1 is too narrow, will re-try the auto adjustment"},
      {false, 48, true, "DoDCMPhaseAutoAdjust: Odd phase adjustment  succeeded, retry = 0"},
      {true, 35, false,
       "<DataPort::DoDCMPhaseAutoAdjust_V2> Found Odd phase eye-width is too narrow [width = 35]"},
      {true, 36, true,
       "<DataPort::DoDCMPhaseAutoAdjust_V2> Odd phase adjustment done: eye-width = 36, startPos = -10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.v2 ? "V2" : "V1") << " eye " << c.eye);
    eyes(c.eye);
    const std::size_t before = log().size();
    EXPECT_EQ(c.v2 ? port.DoDCMPhaseAutoAdjust_V2(1) : port.DoDCMPhaseAutoAdjust_V1(1), c.adjusted);
    EXPECT_NE(logFrom(before).find(c.line), std::string::npos) << c.line;
    if (c.adjusted) {
      EXPECT_TRUE(inEye(1, c.eye)) << okSim_GetDcmPosition(1);
      DCMStatusInfo info;
      ASSERT_TRUE(port.GetDCMConfigInfo(&info));
      EXPECT_TRUE(info.IsDCMConfigOK(1));
    }
  }
}

TEST_F(PelluxDcmTest, TheMethodOptionChoosesTheCombination) {
  // Windows of 40 steps beside the eye: V1 takes them for too narrow a band and stops
  // outside the eye; V2 finds the eye.
  struct Case {
    int option;
    int effective;
    bool result;
    bool v1, v2;
  };
  const Case cases[] = {
      {1, 1, true, true, true},   {0, 1, true, true, true},  {9, 1, true, true, true},
      {2, 2, false, true, false}, {3, 3, true, false, true}, {4, 4, true, false, true},
      {5, 5, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    setDataPortDword("DCMPhaseAdjustMethodOption", c.option);
    eyes(60, 0, 40);
    const std::size_t before = log().size();
    EXPECT_EQ(port.AutoAdjustDCMPhases(), c.result);
    const std::string text = logFrom(before);
    EXPECT_NE(text.find("<DataPort::AutoAdjustDCMPhasesEx> DCMPhaseAdjustMethodOption = " +
                        std::to_string(c.effective)),
              std::string::npos);
    const auto v1 = text.find("<DataPort::AutoAdjustDCMPhases> ");
    const auto v2 = text.find("<DataPort::AutoAdjustDCMPhases_V2> ");
    EXPECT_EQ(v1 != std::string::npos, c.v1);
    EXPECT_EQ(v2 != std::string::npos, c.v2);
    if (c.v1 && c.v2) {
      EXPECT_LT(v1, v2);
    }
    EXPECT_EQ(port.IsDCMPhaseOK(), c.result);
    if (c.result) {
      EXPECT_TRUE(inEye(1, 60) && inEye(0, 60));
    }
  }

  setDataPortDword("DCMPhaseAdjustMethodOption", 3);
  eyes(60, 0, 40);
  EXPECT_TRUE(port.DoDCMPhaseAutoAdjust(0));
  EXPECT_TRUE(logHas("<DataPort::DoDCMPhaseAutoAdjustEx> Phase = Even adjustMethod = 3"));
  EXPECT_TRUE(inEye(0, 60));
  EXPECT_EQ(okSim_GetDcmPosition(1), -60);  // the other phase untouched
}

TEST_F(PelluxDcmTest, AFailedResetBetweenTheMethodsEndsTheAdjustment) {
  setDataPortDword("DCMPhaseAdjustMethodOption", 1);
  eyes(60, 0, 40);
  okSim_ScriptResult("okUsbFrontPanel_ActivateTriggerIn", -1, 1);
  EXPECT_FALSE(port.AutoAdjustDCMPhases());
  EXPECT_TRUE(logHas("ERROR: <DataPort::AutoAdjustDCMPhasesEx> Reset Odd-phase Falied"));
  EXPECT_FALSE(logHas("<DataPort::AutoAdjustDCMPhases_V2>"));
}

TEST_F(PelluxDcmTest, TheBoundaryTestGivesUpAfterFiveAttempts) {
  struct Case {
    const char* name;
    std::function<void()> fault;
    const char* failure;
  };
  const Case cases[] = {
      {"never locks", [] { okSim_SetDcmFault(1, OKSIM_DCM_NEVER_LOCKS); }, "Reset failed to lock phase"},
      {"locked, never done", [] { okSim_SetDcmFault(1, OKSIM_DCM_LOCKED_NEVER_DONE); },
       "Reset failed to get phase done"},
      {"done without bound", [] { okSim_SetDcmRange(1, 0, 0, 1); }, "The phase stayed done for 1024 steps"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    okSim_SetDcmFault(1, OKSIM_DCM_OK);
    okSim_SetDcmRange(1, -100, 100, 0);
    c.fault();
    okSim_ClearCallLog();
    const std::size_t before = log().size();
    unsigned forward = 9, backward = 9;
    EXPECT_FALSE(port.TestPhaseResetBoundary(1, forward, backward));
    const std::string text = logFrom(before);
    const std::string attempt =
        std::string("TestPhaseResetBoundary: Failed - ") + c.failure + " [Phase = Odd, Dir = Forward";
    int attempts = 0;
    for (auto at = text.find(attempt); at != std::string::npos; at = text.find(attempt, at + 1)) ++attempts;
    EXPECT_EQ(attempts, 5);
    EXPECT_NE(text.find(std::string("TestPhaseResetBoundary: Failed - ") + c.failure + "\r\n"),
              std::string::npos);
    EXPECT_EQ(oksim::calls("(0x41,15)").size(), 5u);  // one reset per attempt
  }
  EXPECT_EQ(oksim::calls("(0x41,8)").size(), 5u * 1024);  // the capped walks
}

TEST_F(PelluxDcmTest, TheV1EyeMeasurementLeavesAnOddEyeJustBelowItsMiddle) {
  okSim_SetDcmEye(1, kEyeStart, 49, 60);
  okSim_SetDcmPosition(1, -60);
  EXPECT_TRUE(port.DoDCMPhaseAutoAdjust_V1(1));
  EXPECT_EQ(okSim_GetDcmPosition(1), kEyeStart + 49 - (49 / 2 + 1));
  EXPECT_TRUE(logHas("DoDCMPhaseAutoAdjust: phase = Odd, eye-width = 49"));
  EXPECT_TRUE(logHas("DoDCMPhaseAutoAdjust: Odd phase adjustment  succeeded, retry = 0"));
}

TEST_F(PelluxDcmTest, PhaseShiftsUntilThePhaseIsOK) {
  struct Case {
    bool v2;
    int shiftsNeeded;
    bool adjusted;
    const char* failure;
  };
  const Case cases[] = {
      {false, 3, true, nullptr},
      {false, 8, false, "DoDCMPhaseAutoAdjust: error code = 6"},
      {true, 3, true, nullptr},
      {true, 8, false,
       "<DataPort::DoDCMPhaseAutoAdjust_V2> Odd phase adjustment falied: Couldn't find the correcct phase"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.v2 ? "V2" : "V1") << " shifts " << c.shiftsNeeded);
    eyes(60, c.shiftsNeeded);
    EXPECT_EQ(c.v2 ? port.DoDCMPhaseAutoAdjust_V2(1) : port.DoDCMPhaseAutoAdjust_V1(1), c.adjusted);
    if (c.adjusted) {
      DCMStatusInfo info;
      ASSERT_TRUE(port.GetDCMConfigInfo(&info));
      EXPECT_TRUE(info.IsDCMConfigOK(1));
    } else {
      EXPECT_TRUE(logHas(c.failure)) << c.failure;
    }
  }
}
