#include <gtest/gtest.h>

#include "BroklaList.h"
#include "Jotwell/RegEdit.h"
#include "testsupport/TestEnv.h"

namespace {

using namespace std::chrono_literals;
const platform::SystemTime t0 = platform::SystemTime(std::chrono::hours(24 * 365 * 50));

class LaserMinutesTest : public testsupport::ZevaTest {
 protected:
  unsigned minutesOf(const std::string& serial) {
    return CRegEdit(HKEY_LOCAL_MACHINE,
                    std::string("Software\\Tarsel\\ZevazOdizo\\Services\\Brokla\\") + serial)
        .ReadUInt("LaserOnMinutes", 0u);
  }
};

TEST_F(LaserMinutesTest, OnTimeIsKeptWhileOnAndCountedWhenItGoesOff) {
  CBroklaInstr instr(1, 0x7F000002, 4000, 1, "SN-1");
  instr.SetStatus(0, 0);

  auto r = instr.ApplyStatus(0x10, 1, t0);  // on
  EXPECT_TRUE(r.laserChanged);
  EXPECT_TRUE(r.commChanged);
  EXPECT_FALSE(r.minutesOn);
  // Another "on" value is no change and keeps the on-time.
  r = instr.ApplyStatus(0x10, 2, t0 + 40s);
  EXPECT_FALSE(r.laserChanged);
  EXPECT_FALSE(r.commChanged);
  r = instr.ApplyStatus(0x10, 0, t0 + 150s);  // off after 2.5 minutes
  EXPECT_TRUE(r.laserChanged);
  ASSERT_TRUE(r.minutesOn);
  EXPECT_EQ(*r.minutesOn, 2);
  UpdateLaserOnMinutes("SN-1", r);
  EXPECT_EQ(minutesOf("SN-1"), 2u);

  // Off stays off: nothing to count; on again for 61 s adds one more minute.
  EXPECT_FALSE(instr.ApplyStatus(0x10, 0, t0 + 200s).minutesOn);
  instr.ApplyStatus(0x10, 1, t0 + 300s);
  r = instr.ApplyStatus(0x10, 0, t0 + 361s);
  UpdateLaserOnMinutes("SN-1", r);
  EXPECT_EQ(minutesOf("SN-1"), 3u);
}

TEST_F(LaserMinutesTest, LessThanAMinuteOrATimeGoingBackAddsNothing) {
  CBroklaInstr instr(1, 0x7F000002, 4000, 1, "SN-2");
  instr.SetStatus(0, 1);
  instr.SetLaserOnTime(t0);
  auto r = instr.ApplyStatus(0, 0, t0 + 59s);
  ASSERT_TRUE(r.minutesOn);
  EXPECT_EQ(*r.minutesOn, 0);
  UpdateLaserOnMinutes("SN-2", r);
  instr.ApplyStatus(0, 1, t0 + 10min);
  r = instr.ApplyStatus(0, 0, t0);  // the clock went back
  UpdateLaserOnMinutes("SN-2", r);
  EXPECT_EQ(minutesOf("SN-2"), 0u);
  EXPECT_FALSE(
      CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla\\SN-2").OpenKey());

  // Off with no recorded on-time (flag cleared): nothing is counted.
  instr.ApplyStatus(0, 1, t0 + 20min);
  instr.ClearLaserOnFlag();
  EXPECT_FALSE(instr.ApplyStatus(0, 0, t0 + 30min).minutesOn);
}

}  // namespace
