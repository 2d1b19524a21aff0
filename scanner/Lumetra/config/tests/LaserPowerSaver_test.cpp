#include "config/LaserPowerSaver.h"

#include <gtest/gtest.h>

#include "ConfigFixture.h"

namespace {

constexpr const char* kKey = "Software\\Tarsel\\ZevazOdizo\\Scanner\\LaserPowerSaver";

class LaserSettingsTest : public ConfigTest {};

TEST_F(LaserSettingsTest, StoredValuesAreCheckedOnLoad) {
  LaserPowerSaverSettings s;
  LoadLaserPowerSaverSettings(&s);  // nothing stored: the defaults
  EXPECT_EQ(s.EnableSaverAutoTasks, 0);
  EXPECT_EQ(s.AutoDailyOnOption, 1);
  EXPECT_EQ(s.DailyTurnOnAt, 420);
  EXPECT_EQ(s.DailyTurnOffAt, 1020);
  EXPECT_EQ(s.MaxNonUsePeriod, 60);
  EXPECT_EQ(s.PendingOffDelay, 60);

  struct Case {
    int on, off, idle;
    int expectOn, expectOff, expectIdle;
  } cases[] = {
      {1440, 1440, 1440, 0, 0, 1440},  // 1440 is midnight again; 1440 minutes idle is allowed
      {1500, 1439, 4, 420, 1439, 60},
      {-1, -30, -5, 420, 1020, 60},  // negative times of day fall back to the defaults
      {0, 0, 5, 0, 0, 5},
  };
  for (const auto& c : cases) {
    CRegEdit reg(HKEY_LOCAL_MACHINE, kKey);
    reg.WriteInt("DailyTurnOnAt", c.on);
    reg.WriteInt("DailyTurnOffAt", c.off);
    reg.WriteInt("MaxNonUsePeriod", c.idle);
    LaserPowerSaverSettings loaded;
    LoadLaserPowerSaverSettings(&loaded);
    EXPECT_EQ(loaded.DailyTurnOnAt, c.expectOn) << c.on;
    EXPECT_EQ(loaded.DailyTurnOffAt, c.expectOff) << c.off;
    EXPECT_EQ(loaded.MaxNonUsePeriod, c.expectIdle) << c.idle;
  }
  EXPECT_TRUE(logged("ERROR: Invalid daily-on time '1500', use default value '420'."));
  EXPECT_TRUE(logged("ERROR: Invalid daily-on time '-1', use default value '420'."));
  EXPECT_TRUE(logged("ERROR: Invalid daily-off time '-30', use default value '1020'."));
  EXPECT_FALSE(logged("ERROR: Invalid daily-on time '1440', use default value '420'."));
  EXPECT_EQ(log().find("daily-off time '1440'"), std::string::npos);

  LoadLaserPowerSaverSettings(nullptr);
  SaveLaserPowerSaverSettings(nullptr);
}

TEST_F(LaserSettingsTest, SavedSettingsLoadBack) {
  const LaserPowerSaverSettings s{1, 2, 0, 0, 480, 1080, 90, 15};
  SaveLaserPowerSaverSettings(&s);
  LaserPowerSaverSettings back{};
  LoadLaserPowerSaverSettings(&back);
  EXPECT_EQ(std::vector<int>({back.EnableSaverAutoTasks, back.AutoDailyOnOption, back.EnableDailyOff,
                              back.EnableMaxNonUsePeriod, back.DailyTurnOnAt, back.DailyTurnOffAt,
                              back.MaxNonUsePeriod, back.PendingOffDelay}),
            std::vector<int>({1, 2, 0, 0, 480, 1080, 90, 15}));
}

TEST(LaserTimeOfDay, FormatAndParse) {
  struct Format {
    unsigned minutes;
    bool twelve;
    const char* text;
  } formats[] = {{0, true, "12:00 AM"},    {750, true, "12:30 PM"}, {1019, false, "16:30"},
                 {29, false, "00:00"},     {420, false, "07:00"},   {779, true, "12:30 PM"},
                 {1439, true, "11:30 PM"}, {60, true, "1:00 AM"}};
  for (const auto& c : formats) EXPECT_EQ(FormatTimeOfDay(c.minutes, c.twelve), c.text) << c.minutes;

  struct Parse {
    const char* text;
    unsigned minutes;
  } parses[] = {{"12:30 AM", 30},  {"12:00 PM", 720},           {"5:30 PM", 1050}, {"07:00", 420},
                {"7:30 AM", 450},  {"11:30 PM", 1410},          {"9", 540},        {"", 0},
                {"1:30 PMx", 810}, {"99999999999:00", 60000000}};
  for (const auto& c : parses) EXPECT_EQ(ParseTimeOfDay(c.text), c.minutes) << c.text;
}

}  // namespace
