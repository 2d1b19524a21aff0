#include "maindlg/tools/LaserPwrSaveTaskModel.h"

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "platform/ui.h"

namespace lumetra {

namespace {

int ErrorBox(const std::string& text) {
  return platform::ui::messageBox(text, kLaserPwrSaveCaption,
                                  platform::ui::MB_OK | platform::ui::MB_ICONERROR);
}

// A stored time of day as the grid offers it: one of the 48 half hours.
unsigned HalfHourOf(std::int32_t minutes) {
  if (minutes < 0 || minutes > 1439) return 0;
  return static_cast<unsigned>(minutes);
}

}  // namespace

LaserPwrSaveTaskModel::LaserPwrSaveTaskModel(const LaserPowerSaverSettings& r) {
  Edit.EnableSaverAutoTasks = r.EnableSaverAutoTasks ? 1 : 0;
  Edit.AutoDailyOnOption = r.AutoDailyOnOption == 1 || r.AutoDailyOnOption == 2 ? r.AutoDailyOnOption : 0;
  Edit.DailyTurnOnAt = HalfHourOf(r.DailyTurnOnAt);
  Edit.EnableDailyOff = r.EnableDailyOff ? 1 : 0;
  Edit.DailyTurnOffAt = HalfHourOf(r.DailyTurnOffAt);
  Edit.EnableMaxNonUsePeriod = r.EnableMaxNonUsePeriod ? 1 : 0;
  int hours = r.MaxNonUsePeriod / 60;
  if (hours == 0) hours = 1;
  Edit.IdleHours = hours;
  m_OpenedIdleHours = hours;
}

bool LaserPwrSaveTaskModel::IsReadOnly(Item item) const {
  if (item == Item::EnableAuto) return false;
  if (!Edit.EnableSaverAutoTasks) return true;
  switch (item) {
    case Item::DailyOnAt:
      return Edit.AutoDailyOnOption == 0;
    case Item::DailyOffAt:
      return !Edit.EnableDailyOff;
    case Item::IdleHours:
      return !Edit.EnableMaxNonUsePeriod;
    default:
      return false;
  }
}

void LaserPwrSaveTaskModel::Reset() {
  Edit.AutoDailyOnOption = 1;
  Edit.EnableDailyOff = 1;
  Edit.EnableMaxNonUsePeriod = 1;
  Edit.DailyTurnOffAt = 1020;
  Edit.IdleHours = 1;
}

LaserPwrSaveTaskModel::OkResult LaserPwrSaveTaskModel::Apply(LaserPowerSaverSettings& r) const {
  if (Edit.DailyTurnOnAt == Edit.DailyTurnOffAt) {
    ErrorBox("The daily ON and OFF time can not be the same.  Please modify your schedule again.");
    return OkResult::SameOnOff;
  }
  const bool same =
      Edit.EnableSaverAutoTasks == r.EnableSaverAutoTasks && Edit.AutoDailyOnOption == r.AutoDailyOnOption &&
      static_cast<std::int32_t>(Edit.DailyTurnOnAt) == r.DailyTurnOnAt &&
      Edit.EnableDailyOff == r.EnableDailyOff &&
      static_cast<std::int32_t>(Edit.DailyTurnOffAt) == r.DailyTurnOffAt &&
      Edit.EnableMaxNonUsePeriod == r.EnableMaxNonUsePeriod && Edit.IdleHours == m_OpenedIdleHours;
  if (same) return OkResult::Unchanged;
  r.EnableSaverAutoTasks = Edit.EnableSaverAutoTasks;
  r.AutoDailyOnOption = Edit.AutoDailyOnOption;
  r.DailyTurnOnAt = static_cast<std::int32_t>(Edit.DailyTurnOnAt);
  r.EnableDailyOff = Edit.EnableDailyOff;
  r.DailyTurnOffAt = static_cast<std::int32_t>(Edit.DailyTurnOffAt);
  r.EnableMaxNonUsePeriod = Edit.EnableMaxNonUsePeriod;
  r.MaxNonUsePeriod = Edit.IdleHours * 60;
  return OkResult::Changed;
}

const std::vector<std::string>& LaserPwrSaveTaskModel::DailyOnChoices() {
  static const std::vector<std::string> choices = {"No", "Weekdays only", "Every day"};
  return choices;
}

int LaserPwrSaveTaskModel::DailyOnOptionOf(const std::string& choice) {
  if (choice == "Weekdays only") return 1;
  if (choice == "Every day") return 2;
  return 0;
}

std::vector<std::string> LaserPwrSaveTaskModel::HalfHourChoices(bool twelveHour) {
  std::vector<std::string> out;
  for (unsigned m = 0; m < 1440; m += 30) out.push_back(FormatTimeOfDay(m, twelveHour));
  return out;
}

bool LaserPwrSaveTaskModel::UseTwelveHour(const std::string& localeTimeNow) {
  return localeTimeNow.find_first_of("apmAPM") != std::string::npos;
}

void LaserPwrSaveTaskModel::ReadLaserState(ILaserPowerControl& control) {
  m_LasersOn = false;
  m_LaserButtonEnabled = false;
  bool on = false;
  if (control.IsDataPortNotReady() || !control.GetLaserPowerStatus(&on)) return;
  m_LasersOn = on;
  m_LaserButtonEnabled = true;
}

std::string LaserPwrSaveTaskModel::LaserButtonText() const {
  return FormatText("&Turn Lasers %s Now", m_LasersOn ? "Off" : "on");
}

void LaserPwrSaveTaskModel::OnLaserButton(ILaserPowerControl& control) {
  if (control.IsOffline()) {
    ErrorBox("Scanner is offline right now, please try later");
    return;
  }
  if (control.IsBusy()) {
    ErrorBox("Scanner is busy right now, please try later");
    return;
  }
  // The button acts on what it offered; LasersOn then follows the last query.
  bool queried = m_LasersOn;
  if (!control.GetLaserPowerStatus(&queried)) queried = m_LasersOn;
  const bool want = !m_LasersOn;
  bool now = false;
  if (control.SetLaserPower(want) && control.GetLaserPowerStatus(&now)) {
    queried = now;
    if (now == want) LogInfo("The laser power has been turned %s - asked by user", want ? "on" : "off");
  }
  m_LasersOn = queried;
}

void TurnOnLasersAsked(ILaserPowerControl& control) {
  bool on = false;
  if (!control.GetLaserPowerStatus(&on)) {
    // The state cannot be read; asking to switch on is still what the user wants.
    on = false;
  }
  if (on) {
    LogDebug(1, "User is asking to turn on laser powers, but the laser(s) are ON alrady");
    return;
  }
  LogInfo("User is asking to turn on laser powers");
  control.SetLaserPower(true);
}

}  // namespace lumetra
