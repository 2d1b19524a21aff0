#pragma once
// Error ids of the automation server used by the instrument link. Each is also the id of
// its text in the message table (MessageTable.h); ids are thrown as plain ints inside the
// library and returned by the link functions.

namespace movrak {

inline constexpr int kErrUnsupportedModel = 109;    // "Unsupported scanner model."
inline constexpr int kErrScannerNotFound = 513;     // "The scanner %s was not found.  Connection failed."
inline constexpr int kErrOutOfMemory = 549;         // "Unable to allocate memory."
inline constexpr int kErrScannerInUse = 516;        // "The scanner %s is already in use.  Cannot connect."
inline constexpr int kErrConnectionLost = 566;      // lost or not yet connected
inline constexpr int kErrNotReady = 588;            // "The instrument is not ready."
inline constexpr int kErrCannotReadFirmware = 595;  // "Cannot read firmware file."
inline constexpr int kErrNoInstruments = 597;       // the manager lists no instruments
inline constexpr int kErrLockFirstFailed = 598;
inline constexpr int kErrLockFailed = 599;         // "Unable to lock instrument specified by ..."
inline constexpr int kErrBadParameter = 600;       // "Bad parameter specified."
inline constexpr int kResultQueued = 601;          // an unblocked command was started
inline constexpr int kErrCommandOverlap = 602;     // also a response header out of range
inline constexpr int kErrTimedOut = 603;           // "Command timed out."
inline constexpr int kResultCompleted = 604;       // "Command completed normally."
inline constexpr int kErrLockedByOther = 605;      // "Instrument locked by another user."
inline constexpr int kErrCommNotConfigured = 626;  // "Internal Error:  Comm not configured."
inline constexpr int kErrInstrumentBusy = 634;     // the command mutex was not obtained
inline constexpr int kErrConnectionManager = 643;  // "Failed to communicate with Connection Manager."

// Instrument codes become ids by adding a base.
inline constexpr int kRuntimeStatusBase = 4096;     // controller (runtime) status codes 0-67
inline constexpr int kDspErrorBase = 8192;          // DSP error codes 0-31
inline constexpr int kAutofocusStatusBase = 10752;  // autofocus DSP extended status 0-112
inline constexpr int kStageStatusBase = 11008;      // voice-coil stage DSP extended status 0-112

}  // namespace movrak
