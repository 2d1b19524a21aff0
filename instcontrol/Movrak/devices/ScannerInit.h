#pragma once
// Bringing a connected scanner into a known condition, and the status thread that then
// keeps its state current: reboots, laser warm-up, lasers switched off, the end of a
// carousel browse, and the front-panel LEDs.
#include <chrono>
#include <cstdint>

class CScanner;

inline constexpr std::chrono::milliseconds kStatusCycle{3000};
inline constexpr std::chrono::milliseconds kLasingPoll{1000};
inline constexpr int kLasingPolls = 300;

// The initialisation steps; throws an int error id (635 when the run flag was cleared).
void DoInitSteps(CScanner& scanner, bool skipLasers);
// The status thread's initialisation: the steps with the lasers, then the self test. A
// failure leaves the scanner in kStateError with the error recorded; nothing is thrown.
void InitializeScanner(CScanner& scanner);
// The status thread's body; returns 0.
std::uint32_t StatusProc(CScanner& scanner);
