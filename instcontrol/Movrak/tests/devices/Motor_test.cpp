#include "devices/Motor.h"

#include <future>

#include "DeviceFixture.h"
#include "devices/DeviceErrors.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using Axis = zevasim::MotorFamily::Axis;
using Motors = zevasim::MotorFamily;

class MotorTest : public DeviceTest {
 protected:
  MotorTest() {
    for (auto id :
         {Motors::kSlowStage, Motors::kVCStage, Motors::kAutofocus, Motors::kCarousel, Motors::kArm})
      devices.motors->update(id, [](Axis& a) { a.initialised = a.homed = true; });
    connect();
  }
  CMotor& motor(int id) { return *scanner.GetMotor(id); }
};

TEST_F(MotorTest, EachOperationSendsItsLineWithItsTimeOutAndReadsItsReply) {
  devices.motors->update(Motors::kAutofocus, [](Axis& a) { a.minPos = -70000; });
  const struct {
    const char* what;
    std::function<long(CScanner&)> call;
    const char* line;
    int timeoutSec;
    long result;
  } cases[] = {
      {"init and home",
       [](CScanner& s) {
         s.GetSlowStage().Init(true);
         return 0L;
       },
       "initmotor 0x2000001 1", 30, 0},
      {"init",
       [](CScanner& s) {
         s.GetVCStage().Init(false);
         return 0L;
       },
       "initmotor 0x4000001 0", 30, 0},
      {"home",
       [](CScanner& s) {
         s.GetAFMotor().Home();
         return 0L;
       },
       "homemotor 0x5000001", 90, 0},
      {"absolute",
       [](CScanner& s) {
         s.GetSlowStage().MoveAbs(1500);
         return 0L;
       },
       "movemotor 0x2000001 0x0 0x0 1500", 90, 0},
      {"relative",
       [](CScanner& s) {
         s.GetSlowStage().MoveRel(-500);
         return 0L;
       },
       "movemotor 0x2000001 0x0 0x1 -500", 90, 0},
      {"position", [](CScanner& s) { return s.GetSlowStage().GetPos(); }, "getmotorpos 0x2000001 0x0", 10,
       1000},
      {"absolute physical",
       [](CScanner& s) {
         s.GetVCStage().MoveAbsPhys(20);
         return 0L;
       },
       "movemotor 0x4000001 0x1 0x0 20", 90, 0},
      {"relative physical",
       [](CScanner& s) {
         s.GetVCStage().MoveRelPhys(5);
         return 0L;
       },
       "movemotor 0x4000001 0x1 0x1 5", 90, 0},
      {"physical position", [](CScanner& s) { return s.GetVCStage().GetPosPhys(); },
       "getmotorpos 0x4000001 0x1", 10, 25},
      {"carousel clockwise",
       [](CScanner& s) {
         s.GetCarousel().RotateClockwise(3);
         return 0L;
       },
       "movemotor 0x6000001 0x1 0x0 -3", 25, 0},
      {"carousel counter-clockwise",
       [](CScanner& s) {
         s.GetCarousel().RotateCounterClockwise(2);
         return 0L;
       },
       "movemotor 0x6000001 0x1 0x0 2", 20, 0},
      {"carousel in steps",
       [](CScanner& s) {
         s.GetCarousel().MoveRel(1000);
         return 0L;
       },
       "movemotor 0x6000001 0x0 0x1 1000", 90, 0},
      {"set speed",
       [](CScanner& s) {
         s.GetAFMotor().SetSpeed(250);
         return 0L;
       },
       "motorsetspeed 0x5000001 250", 10, 0},
      {"speed", [](CScanner& s) { return s.GetAFMotor().GetSpeed(); }, "motorgetspeed 0x5000001", 10, 250},
      {"open loop",
       [](CScanner& s) {
         s.GetAFMotor().SetOpenLoopMode();
         return 0L;
       },
       "motorsetspeed 0x5000001 -1", 10, 0},
      {"maximum", [](CScanner& s) { return s.GetVCStage().GetMaxPos(); }, "mtrgetmaxpos 0x4000001", 10,
       100000},
      {"negative minimum", [](CScanner& s) { return s.GetAFMotor().GetMinPos(); }, "mtrgetminpos 0x5000001",
       10, -70000},
      {"poke",
       [](CScanner& s) {
         s.GetAFMotor().Poke(0x10, 0xBEEF);
         return 0L;
       },
       "mtrpoke 0x5000001 0x10 0xbeef", 10, 0},
      {"peek", [](CScanner& s) { return static_cast<long>(s.GetAFMotor().Peek(0x10)); },
       "mtrpeek 0x5000001 0x10 ", 10, 0xBEEF},
      {"enable",
       [](CScanner& s) {
         s.GetArm().Enable();
         return 0L;
       },
       "mtrenable 0x6000002", 10, 0},
      {"disable",
       [](CScanner& s) {
         s.GetArm().Disable();
         return 0L;
       },
       "mtrdisable 0x6000002", 10, 0},
      {"driver on",
       [](CScanner& s) {
         s.GetArm().DriverOn();
         return 0L;
       },
       "mtrdriveron 0x6000002", 10, 0},
      {"driver off",
       [](CScanner& s) {
         s.GetArm().DriverOff();
         return 0L;
       },
       "mtrdriveroff 0x6000002", 10, 0},
      {"calibrate",
       [](CScanner& s) {
         s.GetArm().Calibrate();
         return 0L;
       },
       "motorcalibrate 0x6000002", 10, 0},
      {"parameters",
       [](CScanner& s) {
         s.GetSlowStage().SetParams(-2, 3, 4, 5, 0x12345, -1);
         return 0L;
       },
       "mtrsetparams 0x2000001 0xfffe 0x3 0x4 0x5 0x1 0x2345 0xffff 0xffff", 10, 0},
      {"control mode",
       [](CScanner& s) {
         s.GetVCStage().SetCtrlMode(kMotorCtrlTracking);
         return 0L;
       },
       "mtrsetctrlmode 0x4000001 0x2", 10, 0},
      {"negative control mode",
       [](CScanner& s) {
         s.GetVCStage().SetCtrlMode(-1);
         return 0L;
       },
       "mtrsetctrlmode 0x4000001 0xffff", 10, 0},
      {"arm to holder",
       [](CScanner& s) {
         s.GetArm().MoveToHolder();
         return 0L;
       },
       "movemotor 0x6000002 0x1 0x0 1", 90, 0},
      {"arm location", [](CScanner& s) { return static_cast<long>(s.GetArm().GetLocation()); }, "armlocation",
       10, 2},
      {"arm to carousel",
       [](CScanner& s) {
         s.GetArm().MoveToCarousel();
         return 0L;
       },
       "movemotor 0x6000002 0x1 0x0 -1", 90, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(scanner), c.result);
    EXPECT_EQ(lastLine(), c.line);
    EXPECT_EQ(lastTimeoutSec(), c.timeoutSec);
    EXPECT_EQ(scanner.GetComm().GetTimeout(), 10000);
  }
  const Axis carousel = devices.motors->axis(Motors::kCarousel);
  EXPECT_EQ(carousel.slot, (0 - 3 + 2 + 12) % 12);
  const Axis slow = devices.motors->axis(Motors::kSlowStage);
  EXPECT_EQ(slow.params, (std::vector<std::uint32_t>{0xfffe, 3, 4, 5, 1, 0x2345, 0xffff, 0xffff}));
  EXPECT_THAT(log(), HasSubstr("Setting relative physical position of Voice Coil Stage Motor to 5"));
  EXPECT_THAT(log(),
              HasSubstr("Set Slow Stage Motor parameters: kp=-2, ki=3, kd=4, iMax=5, accel=74565, vel=-1"));
}

TEST_F(MotorTest, ControllerStatusesBecomeErrorIdsWithTheOperationsMessage) {
  const struct {
    const char* what;
    std::function<void(zevasim::MotorFamily&)> arrange;
    std::function<void(CScanner&)> call;
    int error;
    const char* logged;
  } cases[] = {
      {"not initialised",
       [](auto& m) { m.update(Motors::kSlowStage, [](Axis& a) { a.initialised = false; }); },
       [](CScanner& s) { s.GetSlowStage().MoveAbs(10); }, 4123,
       "Setting absolute position for Slow Stage Motor returned error: 4123"},
      {"not homed", [](auto& m) { m.update(Motors::kVCStage, [](Axis& a) { a.homed = false; }); },
       [](CScanner& s) { s.GetVCStage().MoveRelPhys(10); }, 4121,
       "Setting relative physical position for Voice Coil Stage Motor returned error: 4121"},
      {"home before init",
       [](auto& m) { m.update(Motors::kAutofocus, [](Axis& a) { a.initialised = false; }); },
       [](CScanner& s) { s.GetAFMotor().Home(); }, 4123,
       "Home Autofocus Voice Coil Motor returned error: 4123"},
      {"beyond the limit", [](auto&) {}, [](CScanner& s) { s.GetVCStage().MoveAbs(100001); }, 4101,
       "Setting absolute position for Voice Coil Stage Motor returned error: 4101"},
      {"fast stage stuck",
       [](auto& m) { m.update(Motors::kVCStage, [](Axis& a) { a.stuckShortfall = 40; }); },
       [](CScanner& s) { s.GetVCStage().MoveAbs(1000); }, 4130, nullptr},
      {"autofocus stuck",
       [](auto& m) { m.update(Motors::kAutofocus, [](Axis& a) { a.stuckShortfall = 1; }); },
       [](CScanner& s) { s.GetAFMotor().MoveRel(10); }, 4131, nullptr},
      {"arm stuck", [](auto& m) { m.update(Motors::kArm, [](Axis& a) { a.stuckShortfall = 1; }); },
       [](CScanner& s) { s.GetArm().MoveToHolder(); }, 4129, nullptr},
      {"slow stage stuck",
       [](auto& m) { m.update(Motors::kSlowStage, [](Axis& a) { a.stuckShortfall = 3; }); },
       [](CScanner& s) { s.GetSlowStage().MoveAbs(100); }, 4116, "Slow Stage Timeout.  Position is: "},
      {"position of an uninitialised axis",
       [](auto& m) { m.update(Motors::kArm, [](Axis& a) { a.initialised = false; }); },
       [](CScanner& s) { s.GetArm().GetPos(); }, 4123,
       "Getting position for Autoloader Arm Motor returned error: 4123"},
  };
  const std::vector<std::pair<std::uint32_t, Axis>> fresh = {
      {Motors::kSlowStage, devices.motors->axis(Motors::kSlowStage)},
      {Motors::kVCStage, devices.motors->axis(Motors::kVCStage)},
      {Motors::kAutofocus, devices.motors->axis(Motors::kAutofocus)},
      {Motors::kArm, devices.motors->axis(Motors::kArm)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& [id, axis] : fresh) devices.motors->setAxis(id, axis);
    c.arrange(*devices.motors);
    EXPECT_EQ(thrown([&] { c.call(scanner); }), c.error);
    if (c.logged) {
      EXPECT_THAT(logLine(c.logged), HasSubstr("DEBUG(1): "));
    }
    EXPECT_EQ(scanner.GetComm().GetTimeout(), 10000);
  }
}

TEST_F(MotorTest, AStuckFastStageStopsShortOfItsTarget) {
  devices.motors->update(Motors::kVCStage, [](Axis& a) { a.stuckShortfall = 40; });
  EXPECT_EQ(thrown([&] { motor(kVCStageMotor).MoveAbs(1000); }), movrak::kErrFastStageTimeout);
  EXPECT_EQ(motor(kVCStageMotor).GetPos(), 960);
}

TEST_F(MotorTest, LimitsAndSensorsSayNothingWhenTheyFail) {
  sim.injectFault("mtrgetmaxpos", {zevasim::Fault::Kind::errorStatus, 0x05});
  EXPECT_EQ(thrown([&] { motor(kVCStageMotor).GetMaxPos(); }), 4101);
  EXPECT_EQ(logCount("4101"), 0);

  const struct {
    std::optional<std::uint32_t> value;
    bool expected;
  } sensorValues[] = {{1, true}, {2, false}, {0, false}};
  CCarousel& carousel = scanner.GetCarousel();
  const struct {
    const char* word;
    bool (CCarousel::*call)();
  } sensors[] = {{"carouselathome", &CCarousel::IsHome},
                 {"carouselpresent", &CCarousel::IsPresent},
                 {"chipincarousel", &CCarousel::IsChipPresent},
                 {"fingerinslot", &CCarousel::IsCarouselAligned}};
  for (const auto& s : sensors)
    for (const auto& v : sensorValues) {
      SCOPED_TRACE(std::string(s.word) + " " + std::to_string(*v.value));
      devices.autoloader->overrideSensor(s.word, v.value);
      EXPECT_EQ((carousel.*s.call)(), v.expected);
      EXPECT_EQ(lastLine(), s.word);
    }
  for (const auto& [value, location] : {std::pair{1u, 1}, {2u, 2}, {3u, 0}, {0u, 0}}) {
    devices.autoloader->overrideSensor("armlocation", value);
    EXPECT_EQ(scanner.GetArm().GetLocation(), location);
  }
  sim.injectFault("carouselpresent", {zevasim::Fault::Kind::errorStatus, 0x05});
  EXPECT_EQ(thrown([&] { carousel.IsPresent(); }), 4101);
  EXPECT_THAT(log(), HasSubstr("Carousel motor IsPresent returned error: 4101"));
}

TEST_F(MotorTest, RepliesThatAreNoNumbersAreErrors) {
  const struct {
    const char* reply;
    long position;
    int error;
  } cases[] = {{"00,1F4\n", 500, 0}, {"0,1f4\n", 500, 0}, {"00,FFFFFFFD\n", -3, 0},
               {"00,zz\n", 0, 512},  {"00\n", 0, 512},    {"00,123456789\n", 0, 512}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    sim.setHandler("getmotorpos", [reply = std::string(c.reply)](const zevasim::Request&) {
      zevasim::Reply r;
      r.frames = {reply};
      return r;
    });
    long position = 0;
    EXPECT_EQ(thrown([&] { position = motor(kSlowStageMotor).GetPos(); }), c.error);
    EXPECT_EQ(position, c.position);
  }
}

TEST_F(MotorTest, ACommandPastItsTimeOutFailsWith603AndTheTimeOutComesBack) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  for (const auto& [answerAfter, expected] :
       {std::pair{std::chrono::seconds(29), 0}, {std::chrono::seconds(0), movrak::kErrTimedOut}}) {
    SCOPED_TRACE(expected);
    holdReplies("initmotor");
    const std::size_t before = sim.lines().size();
    auto result =
        std::async(std::launch::async, [&] { return thrown([&] { motor(kSlowStageMotor).Init(false); }); });
    ASSERT_TRUE(sim.waitForLines(before + 1));
    if (expected == 0) {
      clock->advance(answerAfter);  // within the init's 30 s
      releaseReplies();
    } else {
      driveUntilReady(*clock, result);  // the instrument never answers
      releaseReplies();
    }
    EXPECT_EQ(result.get(), expected);
    ASSERT_TRUE(sim.waitForReplies(static_cast<int>(before) + 1));  // the late answer is out too
    EXPECT_EQ(lastTimeoutSec(), 30);
    EXPECT_EQ(scanner.GetComm().GetTimeout(), 10000);
  }
  EXPECT_THAT(log(), HasSubstr("Init Slow Stage Motor returned error: 603"));
  // The late answer is flushed, not taken for the next command's.
  long position = -1;
  EXPECT_EQ(thrown([&] { position = motor(kSlowStageMotor).GetPos(); }), 0);
  EXPECT_EQ(position, 0);
}

TEST_F(MotorTest, SpeedAndAccelerationIsNotImplementedButTakesTheLock) {
  EXPECT_EQ(thrown([&] { motor(kALArm).SetSpeedAcc(10, 20); }), movrak::kErrNotImplemented);
  EXPECT_TRUE(lines().empty());
  EXPECT_THAT(log(), HasSubstr("Setting acceleration of Autoloader Arm Motor to 20"));
  EXPECT_THAT(log(),
              HasSubstr("Setting speed and acceleration for Autoloader Arm Motor returned error: 556"));
  auto other = std::async(std::launch::async, [&] {
    const bool locked = scanner.GetComm().LockComm();
    if (locked) scanner.GetComm().UnlockComm();
    return locked;
  });
  EXPECT_TRUE(other.get());
}

TEST_F(MotorTest, TuneReadsLittleEndianSamplesAfterThreeStatusCharacters) {
  devices.motors->update(Motors::kAutofocus, [](Axis& a) { a.tuneSamples = {100, 200, 65535}; });
  std::uint16_t samples[4] = {1, 1, 1, 7};
  motor(kAFMotor).Tune(5, -7, samples, 3);
  EXPECT_EQ(lastLine(), "tunemotor 0x5000001 0x3 0x5 0xfffffff9");
  EXPECT_THAT(samples, ElementsAre(100, 200, 65535, 7));

  // The samples' bytes as they come: low byte first.
  sim.setHandler("tunemotor", [](const zevasim::Request&) {
    zevasim::Reply r;
    r.frames = {std::string("00,\x34\x12\xFF\x00\x01\x80", 9)};
    return r;
  });
  motor(kAFMotor).Tune(5, -7, samples, 3);
  EXPECT_THAT(samples, ElementsAre(0x1234, 0x00FF, 0x8001, 7));

  // Fewer bytes than asked for, or a failing status.
  sim.setHandler("tunemotor", [](const zevasim::Request&) {
    zevasim::Reply r;
    r.frames = {std::string("00,\x01\x02", 5)};
    return r;
  });
  EXPECT_EQ(thrown([&] { motor(kAFMotor).Tune(5, 1, samples, 3); }), movrak::kErrTimedOut);
  sim.setHandler("tunemotor", [](const zevasim::Request&) { return zevasim::Reply::error(0x1C); });
  EXPECT_EQ(thrown([&] { motor(kAFMotor).Tune(5, 1, samples, 3); }), 4124);
  EXPECT_THAT(log(), HasSubstr("Tuning Autofocus Voice Coil Motor returned error: 4124"));
}

TEST_F(MotorTest, StepTestIsForTheSlowStageAndWritesItsFileToTheDataFolder) {
  devices.motors->update(Motors::kSlowStage, [](Axis& a) {
    a.steps = {{1, 2, 3, 0xFFFE}, {40000, 5, 6, 7}};
  });
  std::uint16_t samples[8] = {};
  motor(kSlowStageMotor).StepTest(10, -20, 50, samples, 2);
  EXPECT_EQ(lastLine(), "mtrstep 0x2000001 0x2 0x32 0xa 0xffffffec");
  EXPECT_EQ(lastTimeoutSec(), 90);
  EXPECT_THAT(samples, ElementsAre(1, 2, 3, 0xFFFE, 40000, 5, 6, 7));
  EXPECT_EQ(testsupport::readFile(install + "/Data/SSTest_RawPosData.txt"),
            "1\t2\t3\t-2\r\n40000\t5\t6\t7\r\n");
  EXPECT_THAT(log(), HasSubstr("Step test for Slow Stage Motor: NumSteps=2, ReadDelay=50, Step1stMoveCt=10, "
                               "Step2ndMoveCt=-20"));

  // Each step's four words as they come: low byte first.
  sim.setHandler("mtrstep", [](const zevasim::Request&) {
    zevasim::Reply r;
    r.frames = {std::string("00,\x34\x12\xFF\x00\x01\x80\xFE\xFF", 11)};
    return r;
  });
  motor(kSlowStageMotor).StepTest(10, -20, 50, samples, 1);
  EXPECT_THAT(samples, ElementsAre(0x1234, 0x00FF, 0x8001, 0xFFFE, 40000, 5, 6, 7));
  EXPECT_EQ(testsupport::readFile(install + "/Data/SSTest_RawPosData.txt"), "4660\t255\t32769\t-2\r\n");

  forget();
  EXPECT_EQ(thrown([&] { motor(kVCStageMotor).StepTest(1, 1, 1, samples, 1); }), movrak::kErrInvalidMotor);
  EXPECT_TRUE(lines().empty());
}

TEST_F(MotorTest, StageLimitsComeFromFlashAndTheVoiceCoilStageHasNone) {
  EXPECT_EQ(scanner.GetSlowStage().GetFlashMinPos(), 0);
  EXPECT_EQ(scanner.GetSlowStage().GetFlashMaxPos(), 200000);
  EXPECT_THAT(lines(), ElementsAre("getparam MinStagePos", "getparam MaxStagePos"));
  EXPECT_THAT(log(), HasSubstr("Maximum position for Slow Stage Motor is: 200000"));
  forget();
  EXPECT_EQ(thrown([&] { scanner.GetVCStage().GetFlashMaxPos(); }), movrak::kErrInvalidFlashKey);
  EXPECT_TRUE(lines().empty());
  EXPECT_THAT(log(), HasSubstr("Getting maximum position for Voice Coil Stage Motor returned error: 616"));
  EXPECT_EQ(scanner.GetCarousel().GetNumSlots(), 12);
  EXPECT_EQ(lastLine(), "getparam ALCarouselNumSlots");
}

TEST_F(MotorTest, WithoutAnOwnerNothingIsSent) {
  CMotor motor(nullptr, kAFMotor, 0x5000001, 103, "x");
  CCarousel carousel(nullptr, kALCarousel, 0x6000001, 105, "x", "ALCarouselNumSlots");
  CArm arm(nullptr, kALArm, 0x6000002, 106, "x");
  EXPECT_EQ(motor.GetName(), "Autofocus Voice Coil");
  EXPECT_EQ(CMotor(nullptr, 9, 1, 99999, "Fallback").GetName(), "Fallback");
  const std::function<void()> calls[] = {
      [&] { motor.Init(true); },
      [&] { motor.GetPos(); },
      [&] { motor.MoveAbsPhys(1); },
      [&] { motor.SetSpeedAcc(1, 1); },
      [&] { motor.GetMaxPos(); },
      [&] { carousel.GetNumSlots(); },
      [&] { carousel.RotateClockwise(1); },
      [&] { motor.SetOpenLoopMode(); },
  };
  for (const auto& call : calls) EXPECT_EQ(thrown(call), movrak::kErrMotorNotConfigured);
  EXPECT_EQ(thrown([&] { carousel.IsHome(); }), movrak::kErrSensorsNotConfigured);
  EXPECT_EQ(thrown([&] { arm.GetLocation(); }), movrak::kErrSensorsNotConfigured);
  EXPECT_TRUE(lines().empty());
}

}  // namespace
