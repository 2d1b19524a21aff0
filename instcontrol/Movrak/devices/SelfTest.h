#pragma once
// The self test's verdict line for one fixed supply of the diagnostic ADC.
#include <optional>
#include <string>

// The line for `value` (volts, or amps on the current channels) read on `channel`;
// nullopt for the channels that measure nothing (9 to 12).
std::optional<std::string> FormatDiagADCLine(int channel, double value);
