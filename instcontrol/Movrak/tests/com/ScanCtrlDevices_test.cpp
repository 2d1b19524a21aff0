// Carousel, slide, PMT, door, FLASH and DSP-memory methods through the COM layer.
#include <functional>

#include "ComFixture.h"
#include "platform/files.h"

namespace {

using platform::com::S_OK;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;
using Axis = zevasim::MotorFamily::Axis;

class ScanCtrlDevicesTest : public ComTest {
 protected:
  ScanCtrlDevicesTest() {
    ctrl = create();
    connect(*ctrl);
  }
  ~ScanCtrlDevicesTest() override {
    if (ctrl) ctrl->Disconnect();
  }
  ComPtr<IScanCtrl> ctrl;
};

TEST_F(ScanCtrlDevicesTest, AdvancingWithTheArmAtTheHolderAndAChipInTheSlotIsRefused) {
  devices.motors->update(zevasim::MotorFamily::kArm,
                         [](Axis& a) { a.location = zevasim::MotorFamily::kArmAtHolder; });
  devices.autoloader->putSlide(0, {"250000000001", "7"});
  const int slot = devices.motors->axis(zevasim::MotorFamily::kCarousel).slot;
  EXPECT_EQ(ctrl->AdvanceCarousel(kCounterClockwise, 3), Itf(629));
  EXPECT_EQ(devices.motors->axis(zevasim::MotorFamily::kCarousel).slot, slot);
  EXPECT_THAT(log(), HasSubstr("Advancing Carousel"));
}

TEST_F(ScanCtrlDevicesTest, AFailingLoadSwitchesTheReaderLightOffBeforeItIsReported) {
  ctrl->LoadChip(1, 2);  // whatever the load answers, the light goes on and off around it
  EXPECT_THAT(lines(), Contains("bcrlasercontrol 1"));
  EXPECT_EQ(lines().back(), "bcrlasercontrol 0");
  EXPECT_FALSE(devices.autoloader->readerLight());
}

TEST_F(ScanCtrlDevicesTest, PMTSettingsFromFlash) {
  devices.flash->set("PMT2", "6500");
  double volts = 0;
  ASSERT_EQ(ctrl->get_PMTVoltageSetting(1, &volts), S_OK) << description();
  EXPECT_DOUBLE_EQ(volts, 650.0);
  ULONG value = 77;
  ASSERT_EQ(ctrl->PMTGetFlashVoltage(kPurplePMT, &value), S_OK);  // only red and green are answered
  EXPECT_EQ(value, 77u);
  ASSERT_EQ(ctrl->PMTGetFlashVoltage(kGreenPMT, &value), S_OK);
  EXPECT_EQ(value, 6500u);
}

TEST_F(ScanCtrlDevicesTest, AnUnstablePMTCalibrationStillHandsOutItsFallbackSettings) {
  // With the instrument's light source marked unusable the calibration ends unstable
  // (645), estimating from the full voltages it was given (at full sensitivity: them).
  devices.flash->set("PMTCalibErrorFlag", "1");
  devices.flash->set("PMT1_NominalCalibrationSignal", "1000");
  devices.flash->set("PMT2_NominalCalibrationSignal", "1000");
  unsigned red = 0, green = 0;
  BOOL32 bad = 0;
  EXPECT_EQ(ctrl->CalibratePMT(3, 1.0, 1.0, 6100, 6200, &red, &green, &bad, 1.0f, 1.0f), Itf(645));
  EXPECT_EQ(red, 6100u);
  EXPECT_EQ(green, 6200u);
  EXPECT_EQ(bad, 1);
}

TEST_F(ScanCtrlDevicesTest, FlashValuesKeepTheirBits) {
  ASSERT_EQ(ctrl->FlashSetUnsigned("SomeKey", 4294967295u), S_OK) << description();
  EXPECT_EQ(devices.flash->get("SomeKey"), std::optional<std::string>("-1"));
  ULONG value = 0;
  ASSERT_EQ(ctrl->FlashGetUnsignedDef("NoSuchKey", 42, &value), S_OK);
  EXPECT_EQ(value, 42u);
}

TEST_F(ScanCtrlDevicesTest, FlashKeysWithANulOrPastTheLimitAreRefusedOnBothInterfaces) {
  using namespace std::string_literals;
  ComPtr<IScanLL> ll = createLL();
  connect(*ll);
  devices.flash->set("PMT1", "7000");
  const std::string longest(255, 'K');
  for (const std::string& key : {"PMT1\0Backup"s, "\0"s, std::string(256, 'K'), std::string(1 << 20, 'K')}) {
    SCOPED_TRACE(key.size());
    std::string text;
    LONG number = 0;
    ULONG unsignedValue = 0;
    const std::function<HRESULT()> calls[] = {
        [&] { return ctrl->FlashSetUnsigned(key, 5); },
        [&] { return ctrl->FlashGetString(key, &text); },
        [&] { return ctrl->FlashGetLong(key, &number); },
        [&] { return ctrl->FlashGetUnsigned(key, &unsignedValue); },
        [&] { return ctrl->FlashGetUnsignedDef(key, 1, &unsignedValue); },
        [&] { return ll->FlashSetString(key, "5"); },
        [&] { return ll->FlashSetLong(key, 5); },
        [&] { return ll->FlashSetUnsigned(key, 5); },
        [&] { return ll->FlashGetString(key, &text); },
        [&] { return ll->FlashGetUnsigned(key, &unsignedValue); },
        [&] { return ll->FlashEraseKey(key); },
    };
    for (const auto& call : calls) EXPECT_EQ(call(), Itf(600));
    EXPECT_THAT(description(), HasSubstr("Bad parameter specified."));
  }
  // A value cut at a NUL would be stored as another value.
  EXPECT_EQ(ll->FlashSetString("PMT1",
                               "5\0"
                               "000"s),
            Itf(600));
  EXPECT_THAT(lines(), testing::IsEmpty());
  EXPECT_EQ(devices.flash->get("PMT1"), std::optional<std::string>("7000"));

  ASSERT_EQ(ctrl->FlashSetUnsigned(longest, 5), S_OK) << description();
  EXPECT_EQ(devices.flash->get(longest), std::optional<std::string>("5"));
  ll->Disconnect();
}

TEST_F(ScanCtrlDevicesTest, DoorLockNeedsAClosedDoor) {
  devices.autoloader->setDoorValue(0);
  EXPECT_EQ(ctrl->LockDoor(), Itf(588));
  EXPECT_EQ(description(), "Door is not closed.  Lock failed.");
  EXPECT_THAT(lines(), Not(Contains("lockdoor")));
  devices.autoloader->setDoorValue(1);
  ASSERT_EQ(ctrl->LockDoor(), S_OK) << description();
  EXPECT_TRUE(devices.autoloader->doorLocked());
}

TEST_F(ScanCtrlDevicesTest, CarouselSeatingIsLogged) {
  devices.autoloader->setAligned(false);
  BOOL32 aligned = 1;
  ASSERT_EQ(ctrl->IsCarouselAligned(&aligned), S_OK) << description();
  EXPECT_EQ(aligned, 0);
  EXPECT_THAT(log(), HasSubstr("Check Carousel Sensor: Carousel not seated properly"));
}

TEST_F(ScanCtrlDevicesTest, DSPMemoryDumpWritesOneDecimalWordPerLine) {
  for (std::uint16_t i = 0; i < 3; ++i)
    devices.dsps->setMemory(1, 1, 0x100u + i, static_cast<std::uint16_t>(65535 - i));
  const std::string file = tempDir() + "/dump.txt";
  testsupport::writeFile(file, "old contents that are longer than the dump\n");
  ASSERT_EQ(ctrl->DSPMemDump(kScan, 0x100, 3, file), S_OK) << description();
  EXPECT_EQ(testsupport::readFile(file), "65535\r\n65534\r\n65533\r\n");
  EXPECT_EQ(ctrl->DSPMemDump(kScan, 0x100, 3, tempDir() + "/no/such/folder/dump.txt"), Itf(551));
  EXPECT_EQ(description(), "Error Opening file.");
}

}  // namespace
