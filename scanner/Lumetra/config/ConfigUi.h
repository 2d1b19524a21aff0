#pragma once
// Message boxes of the configuration side: they go through the platform's hook, so the
// operator's process shows dialogs, headless runs log them and tests script the answer.
#include <string>

#include "platform/ui.h"

namespace lumetra {

// The caption of every message box of the scanner window.
inline constexpr const char* kMessageCaption = "Tarsel Halvorn";

inline int ShowErrorMessage(const std::string& text) {
  return platform::ui::messageBox(text, kMessageCaption, platform::ui::MB_OK | platform::ui::MB_ICONERROR);
}

// The registry key of the laser power saver's settings (only the scanner window reads it).
inline constexpr const char* kLaserPowerSaverKey = "Software\\Tarsel\\ZevazOdizo\\Scanner\\LaserPowerSaver";

}  // namespace lumetra
