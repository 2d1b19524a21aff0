#pragma once
// Shared between the data port's source files.
#include <chrono>
#include <string>

#include "Jotwell/Utilities.h"
#include "Pellux/ScanDataPort.h"
#include "platform/clock.h"

namespace pellux {

// Endpoints of the board.
inline constexpr int kWireSPIData = 0x00;
inline constexpr int kWireMode = 0x02;
inline constexpr int kWirePixelDelay = 0x03;
inline constexpr int kWireHWPMotor = 0x04;
inline constexpr int kWireGreenLaser = 0x05;
inline constexpr unsigned kTriggerCtrl = 0x40;
inline constexpr unsigned kTriggerDCM = 0x41;
inline constexpr int kOutDCMStatus = 0x21;
inline constexpr int kOutPhaseBits = 0x26;
inline constexpr int kOutBufferFlags = 0x27;
inline constexpr int kOutCfgVersion = 0x29;
inline constexpr int kOutAvailLow = 0x2A;
inline constexpr int kOutAvailHigh = 0x2B;
inline constexpr int kOutPDRed = 0x2C;
inline constexpr int kOutPDGreen = 0x2D;
inline constexpr int kOutPMTRed = 0x2E;
inline constexpr int kOutPMTGreen = 0x2F;
inline constexpr int kOutCtrlStatus1 = 0x31;
inline constexpr int kOutCtrlStatus2 = 0x32;
inline constexpr int kOutSimpleErrCounts = 0x33;
inline constexpr int kPipeData = 0xA0;
inline constexpr unsigned kDataBufferFull = 0x20;

inline constexpr long kMiB = 1024L * 1024;

inline void SleepMs(long ms) { platform::sleepFor(std::chrono::milliseconds(ms)); }

// Holds the port's access lock for one whole operation: the board's state (its
// configuration, clock phases, run mode and the port's sample buffer) belongs to one
// sequence at a time. The lock is recursive, so a caller that holds it already may call in.
class AccessHold {
 public:
  explicit AccessHold(CScanDataPort& port) : port_(port), held_(port.LockAccessForOperation()) {}
  ~AccessHold() {
    if (held_) port_.ReleaseAccess();
  }
  AccessHold(const AccessHold&) = delete;
  AccessHold& operator=(const AccessHold&) = delete;
  bool held() const { return held_; }

 private:
  CScanDataPort& port_;
  bool held_;
};

// The error line of a whole operation that could not have the port, for `who` ("<DataPort::...>").
void LogPortInUse(const char* who);

// Seconds since 1970 on the clock in use.
std::int64_t NowSeconds();

// A file the port or the data job writes (the system's fixed file names), in
// InstallDataFolder().
std::string DataFile(const std::string& name);

}  // namespace pellux
