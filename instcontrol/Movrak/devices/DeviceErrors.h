#pragma once
// Error ids the device model throws (as plain ints), beyond those of the link
// (link/ErrorIds.h). Each is also the id of its text in the message table.
#include "link/ErrorIds.h"

namespace movrak {

inline constexpr int kErrDownloadFailed = 520;        // "Unable to download firmware file."
inline constexpr int kErrFlushDMA = 533;              // "Failed to flush DMA (or no pending DMAs)."
inline constexpr int kErrNotImplemented = 556;        // "Command is not implemented."
inline constexpr int kErrBadKeyNumberParam = 583;     // bad parameter for a FLASH key by number
inline constexpr int kErrFlashDumpFile = 584;         // cannot dump FLASH contents to the file
inline constexpr int kErrDSPCommandIncomplete = 589;  // "The DSP command did not complete."
inline constexpr int kErrBinTooLarge = 596;           // "Bin file is too large."
inline constexpr int kErrInvalidMotor = 606;          // "Invalid motor type specified."
inline constexpr int kErrInvalidPMTChannel = 607;     // "Invalid PMT channel specified."
inline constexpr int kErrInvalidDiagChannel = 608;    // "Invalid diagnostic channel specified."
inline constexpr int kErrEndScanBusy = 610;
inline constexpr int kErrEndScanMoreData = 611;
inline constexpr int kErrEndScanNotReady = 612;
inline constexpr int kErrAbortScan = 613;  // "Unable to abort scan."
inline constexpr int kErrMotorNotConfigured = 614;
inline constexpr int kErrChannelNotConfigured = 615;
inline constexpr int kErrInvalidFlashKey = 616;    // "Invalid FLASH key parameter specified."
inline constexpr int kErrInvalidFlashValue = 617;  // "Invalid FLASH parameter specified."
inline constexpr int kErrBadKeyNumString = 618;    // poorly formatted key-by-number reply
inline constexpr int kErrDSPNotConfigured = 620;
inline constexpr int kErrFlashNotConfigured = 621;
inline constexpr int kErrSensorsNotConfigured = 622;
inline constexpr int kErrScanNotConfigured = 625;
inline constexpr int kErrUnexpectedDSP = 636;  // unexpected DSP in the extended status
inline constexpr int kErrPMTVoltage = 637;     // PMT voltage not within 20 percent
inline constexpr int kErrInitAborted = 635;    // "Scanner initialization aborted."

// Controller statuses as error ids (kRuntimeStatusBase + code).
inline constexpr int kErrNoSuchFlashKey = kRuntimeStatusBase + 0x0D;        // 4109
inline constexpr int kErrFastStageTimeout = kRuntimeStatusBase + 0x22;      // 4130
inline constexpr int kErrAutofocusPartialHome = kRuntimeStatusBase + 0x31;  // 4145

// Extended voice-coil statuses with a follow-up of their own.
inline constexpr int kErrAutofocusTempMonitor = 10864;  // autofocus temperature monitor failure
inline constexpr int kErrFastStageTempMonitor = 11120;  // fast-axis stage temperature monitor failure

// Data port errors.
inline constexpr int kErrDataPortUnknown = 12001;     // "Unknown Data Port error."
inline constexpr int kErrDataPortBusy = 12010;        // the port's access lock was not obtained
inline constexpr int kErrDataPortNotOpen = 12009;     // "The Scan Data Port is not connected."
inline constexpr int kErrGreenLaserPowerOff = 12104;  // "The green laser power is OFF."
inline constexpr int kErrRedLaserOff = 12107;         // "The red laser is OFF."

}  // namespace movrak
