#pragma once
// The laser power-saver schedule: its settings record, their registry storage and the
// time-of-day texts that show and edit its times (to the half hour).
#include <cstdint>
#include <string>

struct LaserPowerSaverSettings {
  std::int32_t EnableSaverAutoTasks = 0;
  std::int32_t AutoDailyOnOption = 1;  // 0 none, 1 weekdays only, 2 every day
  std::int32_t EnableDailyOff = 1;
  std::int32_t EnableMaxNonUsePeriod = 1;
  std::int32_t DailyTurnOnAt = 420;    // minutes after midnight
  std::int32_t DailyTurnOffAt = 1020;  // minutes after midnight
  std::int32_t MaxNonUsePeriod = 60;   // minutes
  std::int32_t PendingOffDelay = 60;
};

inline constexpr std::int32_t kDefaultDailyTurnOnAt = 420;
inline constexpr std::int32_t kDefaultDailyTurnOffAt = 1020;
inline constexpr std::int32_t kDefaultMaxNonUsePeriod = 60;

void LoadLaserPowerSaverSettings(LaserPowerSaverSettings* settings);
void SaveLaserPowerSaverSettings(const LaserPowerSaverSettings* settings);
std::string FormatTimeOfDay(unsigned minutes, bool twelveHour);
unsigned ParseTimeOfDay(const std::string& text);
