// The okSim_ controls of the simulated data board (okSim/okSim.h): what tests and the demo
// set and read on the board model.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "BoardModel.h"

using namespace oksim;

extern "C" {

void okSim_Reset(void) {
  Lock lock(lockOf());
  Board& b = board();
  // Objects the ports still hold stay valid.
  auto boards = std::move(b.boards);
  auto clocks22150 = std::move(b.clocks22150);
  auto clocks22393 = std::move(b.clocks22393);
  b = Board{};
  b.boards = std::move(boards);
  b.clocks22150 = std::move(clocks22150);
  b.clocks22393 = std::move(clocks22393);
  for (auto& handle : b.boards) *handle = okBoardObject{};
  b.motorSince = now();
  b.greenChangedAt = now();
}

void okSim_ClearDevices(void) {
  Lock lock(lockOf());
  board().devices.clear();
}

void okSim_AddDevice(int model, const char* serial) {
  Lock lock(lockOf());
  board().devices.emplace_back(model, serial ? serial : "");
}

void okSim_SetFirmwareVersion(int major, int minor) {
  Lock lock(lockOf());
  board().fwMajor = major;
  board().fwMinor = minor;
}

void okSim_SetConfigVersion(int version) {
  Lock lock(lockOf());
  board().forcedVersion = version;
}

int okSim_IsConfigured(void) {
  Lock lock(lockOf());
  return board().configured ? 1 : 0;
}

void okSim_ScriptResult(const char* entry, long result, int sticky) {
  Lock lock(lockOf());
  if (!entry) return;
  Script& s = board().scripts[entry];
  if (sticky)
    s.sticky = result;
  else
    s.once.push_back(result);
}

void okSim_ClearScripts(void) {
  Lock lock(lockOf());
  board().scripts.clear();
}

int okSim_CallCount(void) {
  Lock lock(lockOf());
  return static_cast<int>(board().calls.size());
}

int okSim_CallEntry(int index, char* buffer, int size) {
  Lock lock(lockOf());
  const auto& calls = board().calls;
  if (index < 0 || index >= static_cast<int>(calls.size())) return -1;
  const std::string& line = calls[static_cast<std::size_t>(index)];
  if (buffer && size > 0) {
    const std::size_t n = std::min(line.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, line.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int>(line.size());
}

void okSim_ClearCallLog(void) {
  Lock lock(lockOf());
  board().calls.clear();
}

unsigned okSim_GetWireIn(int ep) {
  Lock lock(lockOf());
  return ep >= 0 && ep < 32 ? board().latchedIn[ep] : 0;
}

void okSim_ForceStatusBits(int word, unsigned setMask, unsigned clearMask) {
  Lock lock(lockOf());
  if (word != 1 && word != 2) return;
  board().forceSet[word] = setMask;
  board().forceClear[word] = clearMask;
}

void okSim_SetSimpleErrorCounts(unsigned counts) {
  Lock lock(lockOf());
  board().simpleErrCounts = counts & 0xFFFF;
}

void okSim_SetPMTReadsVoltage(int on) {
  Lock lock(lockOf());
  board().pmtReadsVoltage = on != 0;
}

void okSim_SetSpiBusy(int busy) {
  Lock lock(lockOf());
  board().spiBusyForever = busy != 0;
}

unsigned okSim_GetSpiWord(void) {
  Lock lock(lockOf());
  return board().latchedIn[0x00];
}

void okSim_SetDcmRange(int odd, int lowest, int highest, int unbounded) {
  Lock lock(lockOf());
  Dcm& d = board().dcm[odd ? 1 : 0];
  d.lowest = lowest;
  d.highest = highest;
  d.unbounded = unbounded != 0;
}

void okSim_SetDcmEye(int odd, int eyeStart, int eyeWidth, int windowWidth) {
  Lock lock(lockOf());
  Dcm& d = board().dcm[odd ? 1 : 0];
  d.eyeStart = eyeStart;
  d.eyeWidth = eyeWidth;
  d.windowWidth = windowWidth;
}

void okSim_SetDcmFault(int odd, int fault) {
  Lock lock(lockOf());
  board().dcm[odd ? 1 : 0].fault = fault;
}

void okSim_SetDcmShiftsNeeded(int odd, int shifts) {
  Lock lock(lockOf());
  board().dcm[odd ? 1 : 0].shiftsNeeded = shifts;
}

int okSim_GetDcmPosition(int odd) {
  Lock lock(lockOf());
  return board().dcm[odd ? 1 : 0].position;
}

void okSim_SetDcmPosition(int odd, int position) {
  Lock lock(lockOf());
  board().dcm[odd ? 1 : 0].position = position;
}

void okSim_SetDcmInitialPosition(int odd, int position) {
  Lock lock(lockOf());
  board().dcm[odd ? 1 : 0].initialPosition = position;
}

void okSim_SetGreenLaser(int readyDelayMs, double pdPerSetPoint, int rampMs) {
  Lock lock(lockOf());
  Board& b = board();
  b.greenReadyDelayMs = readyDelayMs;
  b.greenPdPerSetPoint = pdPerSetPoint;
  b.greenRampMs = rampMs;
}

int okSim_GetGreenSetPoint(void) {
  Lock lock(lockOf());
  return board().greenSetPoint;
}

void okSim_SetRedLaser(int minPd, int maxPd, double degreesPerSecondPerSpeed) {
  Lock lock(lockOf());
  Board& b = board();
  advanceMotor();
  b.redMinPd = minPd;
  b.redMaxPd = maxPd;
  b.redRate = degreesPerSecondPerSpeed;
}

void okSim_SetRedPlateAngle(double degrees) {
  Lock lock(lockOf());
  advanceMotor();
  board().redAngle = degrees;
}

double okSim_GetRedPlateAngle(void) {
  Lock lock(lockOf());
  advanceMotor();
  return board().redAngle;
}

void okSim_ForcePd(int red, int pd) {
  Lock lock(lockOf());
  (red ? board().redForcedPd : board().greenForcedPd) = pd;
}

void okSim_SetCalibrationLight(int on) {
  Lock lock(lockOf());
  board().calibLight = on != 0;
}

void okSim_SetCalibrationLightProbe(int (*probe)(void* context), void* context) {
  Lock lock(lockOf());
  board().calibLightProbe = probe;
  board().calibLightProbeContext = context;
}

int okSim_GetCalibrationLight(void) {
  Lock lock(lockOf());
  return board().calibLight ? 1 : 0;
}

void okSim_SetPmtResponse(int red, double dark, double light, int refCounts, double exponent) {
  Lock lock(lockOf());
  Board::PmtResponse& r = board().pmtResponse[red ? 0 : 1];
  r.modelled = true;
  r.dark = dark;
  r.light = light;
  r.refCounts = refCounts;
  r.exponent = exponent;
}

void okSim_ClearPmtResponse(int red) {
  Lock lock(lockOf());
  board().pmtResponse[red ? 0 : 1] = Board::PmtResponse{};
}

void okSim_SetPdNoise(int red, int amplitude) {
  Lock lock(lockOf());
  board().pdNoise[red ? 1 : 0] = std::max(amplitude, 0);
}

void okSim_SetPdDrift(int red, double countsPerSecond) {
  Lock lock(lockOf());
  Board& b = board();
  b.pdDrift[red ? 1 : 0] = countsPerSecond;
  b.pdDriftSince[red ? 1 : 0] = now();
}

void okSim_FailTrigger(int ep, int bit, int after, int count) {
  Lock lock(lockOf());
  auto& failing = board().failingTriggers;
  if (count == 0)
    failing.erase({ep, bit});
  else
    failing[{ep, bit}] = {std::max(after, 0), count < 0 ? -1 : count};
}

void okSim_FailSampling(int code, int after) {
  Lock lock(lockOf());
  if (code < 0 || code > 15) return;
  board().sampleFaultAfter[code] = after;
  board().samplingRuns[code] = 0;
}

void okSim_SetScanGeometry(int pixels, int lines) {
  Lock lock(lockOf());
  board().pixels = std::max(pixels, 1);
  board().lines = std::max(lines, 0);
}

void okSim_SetScanLinesDelivered(int lines) {
  Lock lock(lockOf());
  board().linesDelivered = std::max(lines, -1);
}

void okSim_SetScanBuffer(long bytes) {
  Lock lock(lockOf());
  board().bufferBytes = std::max(bytes, 0L);
}

void okSim_SetIntegrationCount(int count) {
  Lock lock(lockOf());
  board().integrationCount = std::clamp(count, 0, 1023);
}

void okSim_SetDataRate(long bytesPerSecond) {
  Lock lock(lockOf());
  board().dataRate = std::max(bytesPerSecond, 0L);
}

void okSim_SetBufferFullDelay(int ms) {
  Lock lock(lockOf());
  board().fullDelayMs = ms;
}

void okSim_SetSampleValues(int code, int lo, int hi) {
  Lock lock(lockOf());
  Board& b = board();
  for (int i = 0; i < 16; ++i) {
    if (code == -1 || code == i) {
      b.sampleLo[i] = lo;
      b.sampleHi[i] = hi;
    }
  }
}

void okSim_SetSlideScan(const char* slide, long originX, long originY, int pixelSize, int lineResolution,
                        int pixels, int rows, int averagedPairs) {
  Lock lock(lockOf());
  Board& b = board();
  b.scan.slide = slide ? slide : "";
  b.scan.originX = originX;
  b.scan.originY = originY;
  b.scan.pixelSize = std::max(pixelSize, 1);
  b.scan.lineResolution = std::max(lineResolution, 1);
  b.scan.averagedPairs = averagedPairs != 0;
  b.pixels = std::max(pixels, 1);
  b.lines = scanLines(b.scan, std::max(rows, 0));
}

void okSim_SetScanOffsets(int redGreenH, int redGreenV, int leftRightH) {
  Lock lock(lockOf());
  Board& b = board();
  b.scan.redGreenH = redGreenH;
  b.scan.redGreenV = redGreenV;
  b.scan.leftRightH = leftRightH;
}

void okSim_SetScanFile(const char* path) {
  Lock lock(lockOf());
  board().scanFile = path ? path : "";
  board().scanFileText.clear();
}

int okSim_ScanLines(void) {
  Lock lock(lockOf());
  return board().lines;
}

void okSim_SetBackwardLinesUnmirrored(int on) {
  Lock lock(lockOf());
  board().backwardUnmirrored = on != 0;
}

}  // extern "C"
