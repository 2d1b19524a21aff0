#pragma once
// Control of the simulated data board (libokFrontPanel.so stand-in) for tests and the
// demo. The board has no threads: everything that takes time (laser READY, photodiode
// ramps, the half-wave-plate motor, DCM lock, data arriving) follows platform::clock(),
// so a test on a manual clock decides when it happens.
//
// Board model in brief
// - Devices: a list of (model, serial); one model-4 board "SIM-KETH-0001" after a reset.
// - Configuring with a bit file: a missing file gives -7, an empty one -6; the version
//   (wire-out 0x29) is the number after "version=" in the file, else the default (32),
//   or what okSim_SetConfigVersion forces.
// - Wire-ins are latched by the update call; wire-outs are a snapshot taken by theirs.
// - DCM (per phase): positions from the reset position 0; done while the position lies
//   within [lowest, highest]; the correct pattern (config-OK bits) in the eye
//   [eyeStart, eyeStart + eyeWidth), windows of windowWidth with other patterns around it.
//   Lock and done come 20 ms after a reset.
// - Green laser: supply (trigger 0x40 bit 0/1), emission (wire-in 0x05 bit 15), set point
//   taken on the strobe's rising edge; READY readyDelay after the last change; PD =
//   set point x pdPerSetPoint, reached linearly over the ramp time.
// - Red laser: supply (bits 8/9), PD gain from the SPI word (bit 4; 16 = unity), half-wave
//   plate angle moved by the motor (wire-in 0x04) at rate x speed degrees per second;
//   PD = gain/16 x (min + (max - min) x cos^2(2 x angle)).
// - Photodiodes: besides the model above, optional jitter (+-amplitude, pseudo-random
//   per 100 ms of clock time) and drift (counts per second since it was set).
// - PMT voltages: the SPI word, written by trigger bits 2 (red) / 3 (green), and read
//   back as that word (or as the voltage it set, see okSim_SetPMTReadsVoltage).
// - Calibration light (switched by the instrument, so tests wire it here) and, per tube
//   when modelled, its raw samples (sampling code 0 red, 4 green): the offset samples of
//   the channel (code 2 / 6) plus signal = dark + light x (pmt / refCounts)^exponent with
//   the light on; the low value adds signal x (gain lo - offset lo) / (gain hi - offset
//   hi) of the channel's gain (code 1 / 5) and offset samples; the high value saturates
//   at 16383. Unmodelled: the fixed sample values.
// - Block pipe 0xA0 in the run mode of wire-in 0x02 (run bit 0x80):
//   scan (0x8000): `lines` lines of 32 + 8 x pixels bytes (layout below), produced at the
//     data rate from the run's start (0: all at once); the available count (wire-outs
//     0x2A/0x2B) is what was produced and not yet read; reading more gives -2;
//   measuring (no data-mode bit): 4-byte samples, low then high 14-bit value, little-endian,
//     per sampling code (gain 1, offset 2, green 4, gated 8); the buffer-full flag shows
//     fullDelay after the run starts;
//   fake (0x1000): 32-bit little-endian counter words.
//   Scan line: FF 33 11 01, line number (16 bits), direction (16 bits: line & 1), pixels
//   (32 bits), green PD, red PD (16 bits each), 16 zero bytes, then per pixel
//   p0 = count & 0xFF, p1 = count >> 8, red sum R = p3 p2 p5 and green sum G = p4 p7 p6
//   (24 bits, high byte first as listed); each sum is value x count / 4, the value that of
//   the slide being scanned (okSim/SlidePicture.h) where the pixel belongs.
// - The slide scan: the lines sample the slide's picture as the instrument does. Forward
//   (even) lines run left to right, backward (odd) lines right to left. A scan of R rows
//   sends first the 50 um / line resolution lines that the red channel's delay needs,
//   then the rows; with averaged pairs (and at 10 um) every row twice, forward then
//   backward at the same place. Pixel p of image row r (r < 0: the lines before the
//   region) lies at slide micrometres (originX + p x pixel size, originY + r x line
//   resolution). The red spot runs ahead and to the side of the green one, and backward
//   sweeps land to the side of forward ones, by the offsets given (the ones the
//   instrument's FLASH keys RedGreenOffsetDeltaH, RedGreenOffsetDeltaV and
//   LeftRightOffsetDeltaH describe); with the same values in the FLASH the processed image
//   is the picture itself.
#ifdef __cplusplus
#include <string>
#include <vector>
extern "C" {
#endif

#define OKSIM_API __attribute__((visibility("default")))

// Everything back to the power-on state (devices, faults, scripts, log, settings).
OKSIM_API void okSim_Reset(void);

// ---- devices and firmware ----
OKSIM_API void okSim_ClearDevices(void);
OKSIM_API void okSim_AddDevice(int model, const char* serial);
OKSIM_API void okSim_SetFirmwareVersion(int major, int minor);
// Forces the configuration version (-1: from the bit file again).
OKSIM_API void okSim_SetConfigVersion(int version);
// Whether a configuration with the host interface runs (as after a configure).
OKSIM_API int okSim_IsConfigured(void);

// ---- scripted results: the next call (one-shot, queued in order) or every call (sticky,
// until cleared) of `entry` returns `result` without acting. Every board entry that
// returns a value (okUsbFrontPanel_...) can be scripted; one-shot results come first.
OKSIM_API void okSim_ScriptResult(const char* entry, long result, int sticky);
OKSIM_API void okSim_ClearScripts(void);

// ---- the call log: one line per call of a board entry (okUsbFrontPanel_...), scripted or
// not, in order, e.g.
// "okUsbFrontPanel_SetWireInValue(0x02,0x8000,0xF003)", "okUsbFrontPanel_ActivateTriggerIn(0x40,15)",
// "okUsbFrontPanel_ReadFromBlockPipeOut(0xA0,1024,2048)". The log keeps the last 1,000,000.
OKSIM_API int okSim_CallCount(void);
// Copies entry `index` into `buffer`; returns its full length (-1 for a bad index).
OKSIM_API int okSim_CallEntry(int index, char* buffer, int size);
OKSIM_API void okSim_ClearCallLog(void);

// ---- wires ----
OKSIM_API unsigned okSim_GetWireIn(int ep);  // latched value
// Forces status bits (word 1 or 2) on or off: bits in setMask read 1, in clearMask 0.
OKSIM_API void okSim_ForceStatusBits(int word, unsigned setMask, unsigned clearMask);
OKSIM_API void okSim_SetSimpleErrorCounts(unsigned counts);
// 1: the SPI link reports busy for ever; 0: never.
OKSIM_API void okSim_SetSpiBusy(int busy);
OKSIM_API unsigned okSim_GetSpiWord(void);
// 0 (after a reset): a PMT's read-back is the word last set; 1: the voltage that word set,
// on the read-back range (16 bits over 1000 V), as a tube that reached its setting reads.
OKSIM_API void okSim_SetPMTReadsVoltage(int on);

// ---- DCM (odd: non-zero = odd phase) ----
enum {
  OKSIM_DCM_OK = 0,
  OKSIM_DCM_NEVER_LOCKS = 1,
  OKSIM_DCM_LOCKED_NEVER_DONE = 2,
  OKSIM_DCM_PHASE_ERROR = 3
};
// Done while lowest <= position <= highest; unbounded: always done.
OKSIM_API void okSim_SetDcmRange(int odd, int lowest, int highest, int unbounded);
OKSIM_API void okSim_SetDcmEye(int odd, int eyeStart, int eyeWidth, int windowWidth);
OKSIM_API void okSim_SetDcmFault(int odd, int fault);
// Phase shifts needed in the eye before the phase-OK bit shows (a reset undoes them).
OKSIM_API void okSim_SetDcmShiftsNeeded(int odd, int shifts);
OKSIM_API int okSim_GetDcmPosition(int odd);
OKSIM_API void okSim_SetDcmPosition(int odd, int position);
// The position after a configuration download.
OKSIM_API void okSim_SetDcmInitialPosition(int odd, int position);

// ---- lasers ----
OKSIM_API void okSim_SetGreenLaser(int readyDelayMs, double pdPerSetPoint, int rampMs);
OKSIM_API int okSim_GetGreenSetPoint(void);
OKSIM_API void okSim_SetRedLaser(int minPd, int maxPd, double degreesPerSecondPerSpeed);
OKSIM_API void okSim_SetRedPlateAngle(double degrees);
OKSIM_API double okSim_GetRedPlateAngle(void);
// Forces a photodiode reading (red non-zero: red); -1 lets the model read again.
OKSIM_API void okSim_ForcePd(int red, int pd);

// Photodiode jitter of +-amplitude counts (0: none), and a drift in counts per second
// from now on (0: none).
OKSIM_API void okSim_SetPdNoise(int red, int amplitude);
OKSIM_API void okSim_SetPdDrift(int red, double countsPerSecond);

// ---- PMT calibration ----
OKSIM_API void okSim_SetCalibrationLight(int on);
OKSIM_API int okSim_GetCalibrationLight(void);
// For an instrument that runs in another process: the board asks `probe` whether the
// light is on each time a tube is sampled (nullptr: the switch above decides again).
OKSIM_API void okSim_SetCalibrationLightProbe(int (*probe)(void* context), void* context);
// Models the tube's raw samples (red non-zero: red); see above. Exponent 0: the signal
// ignores the voltage; light 0: the light is not seen.
OKSIM_API void okSim_SetPmtResponse(int red, double dark, double light, int refCounts, double exponent);
OKSIM_API void okSim_ClearPmtResponse(int red);

// ---- faults ----
// After `after` more activations that work, the next `count` activations of trigger-in
// `ep` bit `bit` fail without acting (-1: every one; 0 clears the fault).
OKSIM_API void okSim_FailTrigger(int ep, int bit, int after, int count);
// Measuring runs of sampling code `code` deliver nothing (the read times out) once
// `after` runs have started from now (-1 clears the fault).
OKSIM_API void okSim_FailSampling(int code, int after);

// ---- data ----
// Scan geometry of the stream a scan run produces (lines 0: no data at all).
OKSIM_API void okSim_SetScanGeometry(int pixels, int lines);
// A board that stops sending: each scan run's stream ends after its first `lines` lines
// (the rest never arrives; reads for it time out); -1: the whole stream again.
OKSIM_API void okSim_SetScanLinesDelivered(int lines);
// An instrument that waits instead of overflowing: the board holds at most `bytes` of a
// scan run's stream unread, producing more only as it is read (0: no bound).
OKSIM_API void okSim_SetScanBuffer(long bytes);
OKSIM_API void okSim_SetIntegrationCount(int count);
// Bytes per second after the run starts; 0: all at once.
OKSIM_API void okSim_SetDataRate(long bytesPerSecond);
// The buffer-full flag of measuring and fake runs after this delay; -1: never.
OKSIM_API void okSim_SetBufferFullDelay(int ms);
// Sample values for a sampling code (0-15), or for all with code -1.
OKSIM_API void okSim_SetSampleValues(int code, int lo, int hi);
// The scan the stream belongs to: `slide` (the seed of its picture: the barcode), where
// the region lies on it (micrometres), the pixel size and line resolution (micrometres),
// and its size; averagedPairs: each row scanned twice (a double pass). Sets the
// geometry to `pixels` and the scan's lines (see above).
OKSIM_API void okSim_SetSlideScan(const char* slide, long originX, long originY, int pixelSize,
                                  int lineResolution, int pixels, int rows, int averagedPairs);
// The instrument's optics in micrometres (0 after a reset): red beside (H) and behind
// (50 + V) green, backward sweeps beside forward ones (LR).
OKSIM_API void okSim_SetScanOffsets(int redGreenH, int redGreenV, int leftRightH);
// For an instrument in another process: the file it describes each scan in when it starts
// it, one line "scan PIXELS ROWS ORIGIN-X ORIGIN-Y PIXEL-SIZE LINE-RESOLUTION PASSES
// SLIDE". The board follows it until a scan run's stream is first read ("": no file).
OKSIM_API void okSim_SetScanFile(const char* path);
// The lines of a scan run's stream as the board now stands.
OKSIM_API int okSim_ScanLines(void);
// A faulty board: backward lines sent left to right, as forward ones (0: as it should).
OKSIM_API void okSim_SetBackwardLinesUnmirrored(int on);

#ifdef __cplusplus
}

namespace oksim {
// The call log, optionally only the lines containing `filter`.
inline std::vector<std::string> calls(const std::string& filter = {}) {
  std::vector<std::string> out;
  const int n = okSim_CallCount();
  for (int i = 0; i < n; ++i) {
    const int len = okSim_CallEntry(i, nullptr, 0);
    if (len < 0) continue;
    std::string line(static_cast<std::size_t>(len) + 1, '\0');
    okSim_CallEntry(i, line.data(), len + 1);
    line.resize(static_cast<std::size_t>(len));
    if (filter.empty() || line.find(filter) != std::string::npos) out.push_back(std::move(line));
  }
  return out;
}

// The data port's opens in the call log, one letter a step: O open, P clock set-up,
// C configuration download, D the clock-phase walk (its first trigger). A port that
// opens whole, one open after another, gives "OPCD" again and again.
inline std::string openSteps() {
  std::string steps;
  for (const std::string& c : calls()) {
    if (c.rfind("okUsbFrontPanel_OpenBySerial", 0) == 0)
      steps += 'O';
    else if (c.rfind("okUsbFrontPanel_LoadDefaultPLLConfiguration", 0) == 0)
      steps += 'P';
    else if (c.rfind("okUsbFrontPanel_ConfigureFPGA", 0) == 0)
      steps += 'C';
    else if (c.rfind("okUsbFrontPanel_ActivateTriggerIn(0x41,", 0) == 0 &&
             (steps.empty() || steps.back() != 'D'))
      steps += 'D';
  }
  return steps;
}
}  // namespace oksim
#endif
