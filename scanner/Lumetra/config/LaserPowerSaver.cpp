#include "config/LaserPowerSaver.h"

#include <cstdio>

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "config/ConfigUi.h"
#include "platform/text.h"

namespace {

// A stored time of day: 1440 is midnight again; anything else outside 0..1439 (negative
// included) is not a time.
bool timeOfDay(std::int32_t& minutes) {
  if (minutes == 1440) minutes = 0;
  return minutes >= 0 && minutes <= 1439;
}

// Digits from `pos` (after blanks), saturated: no text can overflow the result.
unsigned leadingNumber(const std::string& text, std::size_t pos) {
  while (pos < text.size() && platform::isBlank(text[pos])) ++pos;
  unsigned v = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    v = v * 10 + static_cast<unsigned>(text[pos] - '0');
    if (v > 1000000) return 1000000;
  }
  return v;
}

}  // namespace

void LoadLaserPowerSaverSettings(LaserPowerSaverSettings* s) {
  if (!s) return;
  CRegEdit reg(HKEY_LOCAL_MACHINE, lumetra::kLaserPowerSaverKey);
  s->EnableSaverAutoTasks = reg.ReadInt("EnableSaverAutoTasks", 0);
  s->AutoDailyOnOption = reg.ReadInt("AutoDailyOnOption", 1);
  s->EnableDailyOff = reg.ReadInt("EnableDailyOff", 1);
  s->EnableMaxNonUsePeriod = reg.ReadInt("EnableMaxNonUsePeriod", 1);
  s->DailyTurnOnAt = reg.ReadInt("DailyTurnOnAt", kDefaultDailyTurnOnAt);
  if (!timeOfDay(s->DailyTurnOnAt)) {
    LogError("Invalid daily-on time '%d', use default value '%d'.", s->DailyTurnOnAt, kDefaultDailyTurnOnAt);
    s->DailyTurnOnAt = kDefaultDailyTurnOnAt;
  }
  s->DailyTurnOffAt = reg.ReadInt("DailyTurnOffAt", kDefaultDailyTurnOffAt);
  if (!timeOfDay(s->DailyTurnOffAt)) {
    LogError("Invalid daily-off time '%d', use default value '%d'.", s->DailyTurnOffAt,
             kDefaultDailyTurnOffAt);
    s->DailyTurnOffAt = kDefaultDailyTurnOffAt;
  }
  s->MaxNonUsePeriod = reg.ReadInt("MaxNonUsePeriod", kDefaultMaxNonUsePeriod);
  if (s->MaxNonUsePeriod < 5 || s->MaxNonUsePeriod > 1440) s->MaxNonUsePeriod = kDefaultMaxNonUsePeriod;
  s->PendingOffDelay = reg.ReadInt("PendingOffDelay", 60);
}

void SaveLaserPowerSaverSettings(const LaserPowerSaverSettings* s) {
  if (!s) return;
  CRegEdit reg(HKEY_LOCAL_MACHINE, lumetra::kLaserPowerSaverKey);
  reg.WriteInt("EnableSaverAutoTasks", s->EnableSaverAutoTasks);
  reg.WriteInt("AutoDailyOnOption", s->AutoDailyOnOption);
  reg.WriteInt("EnableDailyOff", s->EnableDailyOff);
  reg.WriteInt("DailyTurnOnAt", s->DailyTurnOnAt);
  reg.WriteInt("DailyTurnOffAt", s->DailyTurnOffAt);
  reg.WriteInt("EnableMaxNonUsePeriod", s->EnableMaxNonUsePeriod);
  reg.WriteInt("MaxNonUsePeriod", s->MaxNonUsePeriod);
  reg.WriteInt("PendingOffDelay", s->PendingOffDelay);
}

std::string FormatTimeOfDay(unsigned minutes, bool twelveHour) {
  const unsigned h = minutes / 60;
  const char* m = minutes - 60 * h >= 30 ? "30" : "00";
  char text[48];
  if (twelveHour) {
    const unsigned h12 = h % 12 == 0 ? 12 : h % 12;
    std::snprintf(text, sizeof text, "%u:%s %s", h12, m, h < 12 ? "AM" : "PM");
  } else {
    std::snprintf(text, sizeof text, "%.2u:%s", h, m);
  }
  return text;
}

unsigned ParseTimeOfDay(const std::string& text) {
  unsigned h = leadingNumber(text, 0);
  const std::size_t colon = text.find(':');
  const unsigned m = colon == std::string::npos ? 0 : leadingNumber(text, colon + 1);
  const auto after = [&](const char* word) {
    return text.size() > 1 && text.find(word, 1) != std::string::npos;
  };
  if (after("AM")) {
    if (h == 12) h = 0;
  } else if (after("PM")) {
    if (h != 12) h += 12;
  }
  return h * 60 + m;
}
