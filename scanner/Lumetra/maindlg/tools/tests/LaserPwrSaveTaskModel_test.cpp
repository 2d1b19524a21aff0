#include "maindlg/tools/LaserPwrSaveTaskModel.h"

#include <gtest/gtest.h>

#include "FakeLaserControl.h"
#include "ToolsFixture.h"

namespace tools_test {
namespace {

using lumetra::LaserPwrSaveTaskModel;
using Item = LaserPwrSaveTaskModel::Item;
using OkResult = LaserPwrSaveTaskModel::OkResult;

class LaserPwrSaveTaskModelTest : public ToolsTest {
 protected:
  LaserPowerSaverSettings record_;  // the defaults
};

TEST_F(LaserPwrSaveTaskModelTest, OpeningShowsTheIdlePeriodInWholeHours) {
  for (auto [minutes, hours] : {std::pair{60, 1}, {30, 1}, {0, 1}, {150, 2}, {1440, 24}}) {
    record_.MaxNonUsePeriod = minutes;
    LaserPwrSaveTaskModel model(record_);
    EXPECT_EQ(model.Edit.IdleHours, hours) << minutes;
    EXPECT_EQ(model.OpenedIdleHours(), hours) << minutes;
  }
}

TEST_F(LaserPwrSaveTaskModelTest, ItemsAreReadOnlyWhileTheirSwitchIsOff) {
  struct Case {
    int master, dailyOn, dailyOff, idle;
    std::vector<Item> readOnly;
  } cases[] = {
      {0,
       2,
       1,
       1,
       {Item::DailyOn, Item::DailyOnAt, Item::DailyOff, Item::DailyOffAt, Item::NonUseOff, Item::IdleHours}},
      {1, 2, 1, 1, {}},
      {1, 0, 1, 1, {Item::DailyOnAt}},
      {1, 1, 0, 1, {Item::DailyOffAt}},
      {1, 1, 1, 0, {Item::IdleHours}},
  };
  const Item all[] = {Item::EnableAuto, Item::DailyOn,   Item::DailyOnAt, Item::DailyOff,
                      Item::DailyOffAt, Item::NonUseOff, Item::IdleHours};
  for (const auto& c : cases) {
    LaserPwrSaveTaskModel model(record_);
    model.Edit.EnableSaverAutoTasks = c.master;
    model.Edit.AutoDailyOnOption = c.dailyOn;
    model.Edit.EnableDailyOff = c.dailyOff;
    model.Edit.EnableMaxNonUsePeriod = c.idle;
    for (Item item : all) {
      const bool expected = std::find(c.readOnly.begin(), c.readOnly.end(), item) != c.readOnly.end();
      EXPECT_EQ(model.IsReadOnly(item), expected) << &c - cases << " item " << static_cast<int>(item);
    }
    EXPECT_EQ(model.ResetEnabled(), c.master != 0);
    EXPECT_EQ(model.IdleCollapsed(), c.idle == 0);
  }
}

TEST_F(LaserPwrSaveTaskModelTest, OkRefusesEqualTimesAndChangesTheRecordOnlyAfterAnEdit) {
  record_.MaxNonUsePeriod = 90;  // shown as 1 hour
  const LaserPowerSaverSettings before = record_;
  LaserPwrSaveTaskModel model(record_);
  EXPECT_EQ(model.Apply(record_), OkResult::Unchanged);
  EXPECT_EQ(record_.MaxNonUsePeriod, 90);

  model.Edit.DailyTurnOffAt = model.Edit.DailyTurnOnAt;
  EXPECT_EQ(model.Apply(record_), OkResult::SameOnOff);
  EXPECT_EQ(boxes_,
            std::vector<std::string>{
                "Laser power Save Task: The daily ON and OFF time can not be the same.  Please modify your "
                "schedule again."});
  EXPECT_EQ(record_.DailyTurnOffAt, before.DailyTurnOffAt);

  model.Edit.DailyTurnOffAt = 1080;
  model.Edit.IdleHours = 3;
  model.Edit.AutoDailyOnOption = 0;
  EXPECT_EQ(model.Apply(record_), OkResult::Changed);
  EXPECT_EQ(record_.DailyTurnOffAt, 1080);
  EXPECT_EQ(record_.MaxNonUsePeriod, 180);
  EXPECT_EQ(record_.AutoDailyOnOption, 0);
  EXPECT_EQ(record_.PendingOffDelay, before.PendingOffDelay);
}

TEST_F(LaserPwrSaveTaskModelTest, ResetSetsTheScheduleDefaultsInTheEditedCopy) {
  record_.EnableSaverAutoTasks = 1;
  record_.AutoDailyOnOption = 2;
  record_.EnableDailyOff = 0;
  record_.EnableMaxNonUsePeriod = 0;
  record_.DailyTurnOnAt = 360;
  record_.DailyTurnOffAt = 1200;
  record_.MaxNonUsePeriod = 300;
  LaserPwrSaveTaskModel model(record_);
  model.Reset();
  EXPECT_EQ(model.Edit.EnableSaverAutoTasks, 1);
  EXPECT_EQ(model.Edit.DailyTurnOnAt, 360u);
  EXPECT_EQ(model.Edit.AutoDailyOnOption, 1);
  EXPECT_EQ(model.Edit.EnableDailyOff, 1);
  EXPECT_EQ(model.Edit.EnableMaxNonUsePeriod, 1);
  EXPECT_EQ(model.Edit.DailyTurnOffAt, 1020u);
  EXPECT_EQ(model.Edit.IdleHours, 1);
  // Cancel after Reset keeps the record; OK saves the reset schedule.
  EXPECT_EQ(record_.DailyTurnOffAt, 1200);
  EXPECT_EQ(model.Apply(record_), OkResult::Changed);
  EXPECT_EQ(record_.MaxNonUsePeriod, 60);
  EXPECT_EQ(record_.DailyTurnOffAt, 1020);
  EXPECT_EQ(record_.DailyTurnOnAt, 360);
}

TEST_F(LaserPwrSaveTaskModelTest, ChoiceTexts) {
  for (auto [text, option] :
       {std::pair{"No", 0}, {"Weekdays only", 1}, {"Every day", 2}, {"", 0}, {"every day", 0}})
    EXPECT_EQ(LaserPwrSaveTaskModel::DailyOnOptionOf(text), option) << text;
  const auto twelve = LaserPwrSaveTaskModel::HalfHourChoices(true);
  ASSERT_EQ(twelve.size(), 48u);
  EXPECT_EQ(twelve[0], "12:00 AM");
  EXPECT_EQ(twelve[25], "12:30 PM");
  EXPECT_EQ(twelve[47], "11:30 PM");
  const auto day = LaserPwrSaveTaskModel::HalfHourChoices(false);
  EXPECT_EQ(day[14], "07:00");
  EXPECT_EQ(day[47], "23:30");
  for (std::size_t i = 0; i < 48; ++i) EXPECT_EQ(ParseTimeOfDay(twelve[i]), i * 30) << twelve[i];
  EXPECT_TRUE(LaserPwrSaveTaskModel::UseTwelveHour("3:04:05 PM"));
  EXPECT_TRUE(LaserPwrSaveTaskModel::UseTwelveHour("15:04:05 nachm."));
  EXPECT_FALSE(LaserPwrSaveTaskModel::UseTwelveHour("15:04:05"));
}

TEST_F(LaserPwrSaveTaskModelTest, TheLaserButton) {
  FakeLaserControl control;
  LaserPwrSaveTaskModel model(record_);
  struct Opening {
    bool portNotReady, statusFails, on;
    bool enabled;
    const char* text;
  } openings[] = {
      {false, false, true, true, "&Turn Lasers Off Now"},
      {false, false, false, true, "&Turn Lasers on Now"},
      {true, false, true, false, "&Turn Lasers on Now"},
      {false, true, true, false, "&Turn Lasers on Now"},
  };
  for (const auto& o : openings) {
    control.portNotReady = o.portNotReady;
    control.statusFails = o.statusFails;
    control.on = o.on;
    model.ReadLaserState(control);
    EXPECT_EQ(model.LaserButtonEnabled(), o.enabled) << &o - openings;
    EXPECT_EQ(model.LaserButtonText(), o.text) << &o - openings;
  }

  control = FakeLaserControl{};
  model.ReadLaserState(control);
  model.OnLaserButton(control);
  EXPECT_EQ(control.switched, std::vector<bool>{false});
  EXPECT_EQ(model.LaserButtonText(), "&Turn Lasers on Now");
  EXPECT_TRUE(logged("The laser power has been turned off - asked by user"));
  model.OnLaserButton(control);
  EXPECT_TRUE(control.on);
  EXPECT_TRUE(logged("The laser power has been turned on - asked by user"));

  // A failed switch leaves the button on what the lasers are.
  control.switchFails = true;
  model.OnLaserButton(control);
  EXPECT_TRUE(model.LasersOn());

  control.busy = true;
  model.OnLaserButton(control);
  control.offline = true;
  model.OnLaserButton(control);
  EXPECT_EQ(boxes_, (std::vector<std::string>{
                        "Laser power Save Task: Scanner is busy right now, please try later",
                        "Laser power Save Task: Scanner is offline right now, please try later"}));
  EXPECT_EQ(control.switched.size(), 3u);
}

TEST_F(LaserPwrSaveTaskModelTest, TheNoticeButtonSwitchesOnOnlyWhatIsOff) {
  FakeLaserControl control;
  lumetra::TurnOnLasersAsked(control);
  EXPECT_TRUE(control.switched.empty());
  EXPECT_TRUE(logged("User is asking to turn on laser powers, but the laser(s) are ON alrady"));
  control.on = false;
  lumetra::TurnOnLasersAsked(control);
  EXPECT_EQ(control.switched, std::vector<bool>{true});
  EXPECT_TRUE(logged("User is asking to turn on laser powers\r\n"));
}

}  // namespace
}  // namespace tools_test
