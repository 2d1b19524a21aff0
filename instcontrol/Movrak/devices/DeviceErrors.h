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
inline constexpr int kErrCarouselNotPresent = 627;  // the carousel is not there
inline constexpr int kErrArmPositionUnknown = 628;  // the arm is neither at the carousel nor at the holder
inline constexpr int kErrNoChipToLoad = 631;       // "Cannot load chip.  A chip is not in the carousel slot."
inline constexpr int kErrChipEjectedToHome = 633;  // a chip was ejected into the home slot
inline constexpr int kErrUnexpectedDSP = 636;      // unexpected DSP in the extended status
inline constexpr int kErrPMTVoltage = 637;         // PMT voltage not within 20 percent
inline constexpr int kErrCarouselAskew = 638;      // the carousel may be misaligned
inline constexpr int kErrChipInHomeSlot = 639;     // a chip is in the home slot
inline constexpr int kErrArmMoveUnsafe = 642;      // "Cannot load chip, moving the arm may be unsafe."
inline constexpr int kErrNoBrowse = 644;           // "Internal Error:  Browse carousel not configured."
inline constexpr int kErrInitAborted = 635;        // "Scanner initialization aborted."

// Controller statuses as error ids (kRuntimeStatusBase + code).
inline constexpr int kErrNoSuchFlashKey = kRuntimeStatusBase + 0x0D;         // 4109
inline constexpr int kErrMotorNotHomed = kRuntimeStatusBase + 0x19;          // 4121
inline constexpr int kErrMotorNotInitialised = kRuntimeStatusBase + 0x1B;    // 4123
inline constexpr int kErrMotorTimedOut = kRuntimeStatusBase + 0x21;          // 4129 "Motor timed out."
inline constexpr int kErrFastStageTimeout = kRuntimeStatusBase + 0x22;       // 4130
inline constexpr int kErrBarcodeUnrecognisable = kRuntimeStatusBase + 0x2F;  // 4143
inline constexpr int kErrNoBarcode = kRuntimeStatusBase + 0x30;              // 4144
inline constexpr int kErrAutofocusPartialHome = kRuntimeStatusBase + 0x31;   // 4145

// The arm timed out on its way to the holder and was brought back to the carousel
// (4162), or could not be (4163).
inline constexpr int kErrArmToHolderTimedOut = kRuntimeStatusBase + 0x42;             // 4162
inline constexpr int kErrArmToHolderTimedOutUnrecovered = kRuntimeStatusBase + 0x43;  // 4163

// Extended voice-coil statuses with a follow-up of their own.
inline constexpr int kErrAutofocusTempMonitor = 10864;  // autofocus temperature monitor failure
inline constexpr int kErrFastStageTempMonitor = 11120;  // fast-axis stage temperature monitor failure

// Data port errors.
inline constexpr int kErrDataPortUnknown = 12001;  // "Unknown Data Port error."
inline constexpr int kErrDataPortBusy = 12010;     // the port's access lock was not obtained

// PMT calibration.
inline constexpr int kErrPMTCalibUnstable = 645;  // the last known good voltage was used
inline constexpr int kErrPMTCalibLost = 646;      // the factory voltage was used
inline constexpr int kErrPMTRawGain = 651;
inline constexpr int kErrPMTRawOffset = 652;
inline constexpr int kErrPMTRawData = 653;

// Lasers (data port ids).
inline constexpr int kErrDataPortNotConnected = 12009;
inline constexpr int kErrDataPortCommand = 12101;  // "Data Port command failed."
inline constexpr int kErrGreenHSOverTemp = 12102;
inline constexpr int kErrGreenOverTemp = 12103;
inline constexpr int kErrGreenPowerOff = 12104;
inline constexpr int kErrGreenOverCurrent = 12105;
inline constexpr int kErrGreenLaserOff = 12106;
inline constexpr int kErrRedLaserOff = 12107;
inline constexpr int kErrRedSpecFailed = 12115;  // red failed its specification, also derated
inline constexpr int kErrRedBelowSpec = 12116;
inline constexpr int kErrRedAboveSpec = 12117;
inline constexpr int kErrGreenSpecFailed = 12118;  // green failed its specification, also derated
inline constexpr int kErrGreenBelowSpec = 12119;
inline constexpr int kErrGreenAboveSpec = 12120;
inline constexpr int kErrGreenUnstable = 12121;
inline constexpr int kErrRedUnstable = 12122;

}  // namespace movrak
