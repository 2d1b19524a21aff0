// The simulated data board: every entry point the data port binds, with C linkage, and
// the okSim_ controls. One board state per process, guarded by one lock; no threads of
// its own: whatever takes time is computed from platform::clock() when asked.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "Pellux/okFrontPanelApi.h"
#include "okSim/okSim.h"
#include "platform/clock.h"
#include "platform/text.h"

// The entries, declared with C linkage from the interface the port binds, so that a
// definition that strays from it does not compile.
extern "C" {
#define OKSIM_DECLARE_ENTRY(name, ret, params) OKSIM_API ret name params;
OK_FRONTPANEL_ENTRIES(OKSIM_DECLARE_ENTRY)
#undef OKSIM_DECLARE_ENTRY
}

struct okBoardObject {
  bool open = false;
  std::string serial;
};

struct okClock22150Object {
  double reference = 48.0;
  int p = 400, q = 48;
  int div1Source = 1, div1Divider = 8, div2Source = 1, div2Divider = 8;
  int outputSource[6] = {2, 2, 2, 2, 2, 2};
  int outputEnable[6] = {1, 1, 0, 0, 0, 0};
};

struct okClock22393Object {
  double reference = 48.0;
  int p[3] = {400, 400, 400}, q[3] = {48, 48, 48}, enabled[3] = {1, 0, 0};
  int outputDivider[5] = {8, 8, 8, 8, 8}, outputSource[5] = {2, 2, 2, 2, 2},
      outputEnable[5] = {1, 0, 0, 0, 0};
};

namespace {

using platform::SteadyTime;
using Ms = std::chrono::milliseconds;

constexpr int kDataPipe = 0xA0;
constexpr std::size_t kCallLogLimit = 200000;
constexpr long kMiB = 1024L * 1024;

struct Dcm {
  int lowest = -100, highest = 100;
  bool unbounded = false;
  int eyeStart = -10, eyeWidth = 60, windowWidth = 60;
  int fault = OKSIM_DCM_OK;
  int shiftsNeeded = 0;
  int initialPosition = -60;

  int position = 0;
  int shifts = 0;
  std::optional<SteadyTime> resetAt;  // lock and done wait 20 ms after a reset
};

struct Script {
  std::deque<long> once;
  std::optional<long> sticky;
};

struct Board {
  // devices and configuration
  std::vector<std::pair<int, std::string>> devices;
  int fwMajor = 1, fwMinor = 3;
  int forcedVersion = -1;
  int defaultVersion = 32;
  bool configured = false;
  int configVersion = 0;
  okClock22150Object pll22150;
  okClock22393Object pll22393;
  std::vector<std::unique_ptr<okBoardObject>> boards;
  std::vector<std::unique_ptr<okClock22150Object>> clocks22150;
  std::vector<std::unique_ptr<okClock22393Object>> clocks22393;

  // wires
  unsigned pendingIn[32] = {};
  unsigned latchedIn[32] = {};
  unsigned wireOut[64] = {};
  unsigned forceSet[3] = {}, forceClear[3] = {};
  unsigned simpleErrCounts = 0;
  bool spiBusyForever = false;

  // DCM: [0] even, [1] odd
  Dcm dcm[2];

  // green laser
  bool greenSupply = false, greenEmission = false;
  int greenSetPoint = 0;
  int greenReadyDelayMs = 3000;
  double greenPdPerSetPoint = 0.5;
  int greenRampMs = 0;
  SteadyTime greenChangedAt{};
  double greenPdFrom = 0, greenPdTo = 0;
  int greenForcedPd = -1;

  // red laser
  bool redSupply = false;
  int redPdGain = 16;
  int redMinPd = 200, redMaxPd = 3000;
  double redRate = 0.01;  // degrees per second per speed unit
  double redAngle = 20.0;
  unsigned motorSpeed = 0;
  bool motorForward = false;
  SteadyTime motorSince{};
  int redForcedPd = -1;

  unsigned pmt[2] = {};  // [0] red, [1] green
  // The calibration light and what each tube makes of it ([0] red, [1] green).
  bool calibLight = false;
  struct PmtResponse {
    bool modelled = false;
    double dark = 0, light = 0;
    int refCounts = 1;
    double exponent = 1;
  } pmtResponse[2];
  // Photodiode misbehaviour ([0] green, [1] red): pseudo-random jitter per 100 ms slot
  // and a steady drift since it was set.
  int pdNoise[2] = {};
  double pdDrift[2] = {};
  SteadyTime pdDriftSince[2]{};
  // Trigger bits that fail: (endpoint, bit) -> activations that still pass, then those
  // that fail (-1: all).
  std::map<std::pair<int, int>, std::pair<int, int>> failingTriggers;
  // Measuring runs that fail to deliver: per sampling code, the runs that still deliver
  // (-1: no fault), and the runs started so far.
  int sampleFaultAfter[16];
  int samplingRuns[16] = {};
  bool pmtReadsVoltage = false;
  bool shutterClosed[2] = {};
  std::optional<SteadyTime> keepAliveAt;
  long masterTimeoutMs = 600000;

  // data
  bool running = false;
  SteadyTime runStart{};
  std::int64_t consumed = 0;
  int pixels = 100, lines = 10;
  int integrationCount = 40;
  long dataRate = 0;
  int fullDelayMs = 200;
  int sampleLo[16], sampleHi[16];
  long lastTransfer = 0;

  std::map<std::string, Script> scripts;
  std::deque<std::string> calls;

  Board() {
    for (int i = 0; i < 16; ++i) {
      sampleFaultAfter[i] = -1;
      sampleLo[i] = 1000 + 10 * i;
      sampleHi[i] = 8000 + 10 * i;
    }
    devices.emplace_back(4, "SIM-KETH-0001");
  }
};

std::recursive_mutex& lockOf() {
  static std::recursive_mutex m;
  return m;
}

Board& board() {
  static Board b;
  return b;
}

SteadyTime now() { return platform::steadyNow(); }
long elapsedMs(SteadyTime since) {
  return static_cast<long>(std::chrono::duration_cast<Ms>(now() - since).count());
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  auto text = platform::formatV(fmt, args);
  va_end(args);
  return text ? std::move(*text) : std::string();
}

void logCall(std::string line) {
  auto& calls = board().calls;
  if (calls.size() >= kCallLogLimit) calls.pop_front();
  calls.push_back(std::move(line));
}

// A scripted result for this call, if one is waiting.
std::optional<long> scripted(const char* entry) {
  auto& scripts = board().scripts;
  const auto it = scripts.find(entry);
  if (it == scripts.end()) return std::nullopt;
  Script& s = it->second;
  if (!s.once.empty()) {
    const long r = s.once.front();
    s.once.pop_front();
    return r;
  }
  return s.sticky;
}

bool validBoard(okBoardHandle h) {
  for (const auto& b : board().boards)
    if (b.get() == h) return true;
  return false;
}
bool isOpen(okBoardHandle h) { return validBoard(h) && h->open; }

// ---- DCM -----------------------------------------------------------------------------

constexpr std::uint32_t kEyePattern[2] = {0x1500, 0x2A80};
constexpr std::uint32_t kOtherPatterns[2][4] = {{0x0500, 0x0140, 0x1400, 0x0050},
                                                {0x0A80, 0x02A0, 0x2A00, 0x00A8}};
constexpr std::uint32_t kLocked[2] = {0x0002, 0x0200}, kDone[2] = {0x0001, 0x0100};
constexpr std::uint32_t kPhaseOK[2] = {0x0040, 0x4000}, kPhaseErr[2] = {0x0080, 0x8000};

bool dcmInEye(const Dcm& d) { return d.position >= d.eyeStart && d.position < d.eyeStart + d.eyeWidth; }

std::uint32_t dcmPattern(int odd, const Dcm& d) {
  if (dcmInEye(d)) return kEyePattern[odd];
  const int w = std::max(d.windowWidth, 1);
  // Windows numbered outwards from the eye: -1, -2, ... below, 1, 2, ... above; the
  // patterns of neighbours always differ.
  int index;
  if (d.position < d.eyeStart) {
    const int k = (d.eyeStart - 1 - d.position) / w + 1;
    index = (2 * k) % 4;
  } else {
    const int k = (d.position - (d.eyeStart + d.eyeWidth)) / w + 1;
    index = (2 * k - 1) % 4;
  }
  return kOtherPatterns[odd][index];
}

bool dcmSettled(const Dcm& d) { return !d.resetAt || elapsedMs(*d.resetAt) >= 20; }

std::uint32_t dcmStatus(int odd, const Dcm& d) {
  if (!board().configured || !dcmSettled(d)) return 0;
  std::uint32_t s = 0;
  const bool inRange = d.unbounded || (d.position >= d.lowest && d.position <= d.highest);
  if (d.fault != OKSIM_DCM_NEVER_LOCKS) s |= kLocked[odd];
  if (d.fault != OKSIM_DCM_LOCKED_NEVER_DONE && inRange) s |= kDone[odd];
  if (d.fault == OKSIM_DCM_PHASE_ERROR)
    s |= kPhaseErr[odd];
  else if (dcmInEye(d) && d.shifts >= d.shiftsNeeded)
    s |= kPhaseOK[odd];
  return s;
}

// ---- lasers --------------------------------------------------------------------------------

// The photodiode reading after the faults of laser `red` (0 green, 1 red).
int misbehave(int red, double pd) {
  const Board& b = board();
  if (b.pdDrift[red] != 0)
    pd += b.pdDrift[red] * std::chrono::duration<double>(now() - b.pdDriftSince[red]).count();
  if (b.pdNoise[red] > 0) {
    const auto slot = static_cast<std::uint64_t>(
        std::chrono::duration_cast<Ms>(now().time_since_epoch()).count() / 100 + static_cast<unsigned>(red));
    std::uint64_t h = slot * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    const int span = 2 * b.pdNoise[red] + 1;
    pd += static_cast<int>(h % static_cast<std::uint64_t>(span)) - b.pdNoise[red];
  }
  return std::clamp(static_cast<int>(std::lround(pd)), 0, 65535);
}

double greenPdNow() {
  Board& b = board();
  if (b.greenRampMs <= 0) return b.greenPdTo;
  const double t = std::min(1.0, elapsedMs(b.greenChangedAt) / static_cast<double>(b.greenRampMs));
  return b.greenPdFrom + (b.greenPdTo - b.greenPdFrom) * t;
}

void greenChanged() {
  Board& b = board();
  const double from = greenPdNow();
  b.greenPdFrom = from;
  b.greenPdTo = (b.greenSupply && b.greenEmission) ? b.greenSetPoint * b.greenPdPerSetPoint : 0.0;
  b.greenChangedAt = now();
}

bool greenReady() {
  const Board& b = board();
  return b.greenSupply && b.greenEmission && elapsedMs(b.greenChangedAt) >= b.greenReadyDelayMs;
}

int greenPd() {
  const Board& b = board();
  if (b.greenForcedPd >= 0) return b.greenForcedPd;
  return misbehave(0, greenPdNow());
}

void advanceMotor() {
  Board& b = board();
  const SteadyTime t = now();
  const double seconds = std::chrono::duration<double>(t - b.motorSince).count();
  if (b.motorSpeed > 0)
    b.redAngle += (b.motorForward ? 1.0 : -1.0) * static_cast<double>(b.motorSpeed) * b.redRate * seconds;
  b.motorSince = t;
}

int redPd() {
  Board& b = board();
  if (b.redForcedPd >= 0) return b.redForcedPd;
  if (!b.redSupply) return 0;
  advanceMotor();
  const double c = std::cos(2.0 * b.redAngle * std::numbers::pi / 180.0);
  const double optical = b.redMinPd + (b.redMaxPd - b.redMinPd) * c * c;
  return misbehave(1, optical * b.redPdGain / 16.0);
}

// ---- data ----------------------------------------------------------------------------------------

enum class RunKind { none, scan, measuring, fake };

RunKind runKind() {
  const Board& b = board();
  if (!b.configured || !b.running) return RunKind::none;
  const unsigned mode = b.latchedIn[0x02];
  if (mode & 0x8000) return RunKind::scan;
  if (mode & 0x1000) return RunKind::fake;
  return RunKind::measuring;
}

int samplingCode() {
  const unsigned mode = board().latchedIn[0x02];
  return ((mode & 0x0002) ? 1 : 0) | ((mode & 0x0001) ? 2 : 0) | ((mode & 0x2000) ? 4 : 0) |
         ((mode & 0x4000) ? 8 : 0);
}

std::int64_t lineBytes() { return 32 + 8 * static_cast<std::int64_t>(board().pixels); }

std::int64_t scanAvailable() {
  const Board& b = board();
  if (runKind() != RunKind::scan) return 0;
  const std::int64_t total = b.lines * lineBytes();
  std::int64_t produced = total;
  if (b.dataRate > 0) {
    const auto ms = std::chrono::duration_cast<Ms>(now() - b.runStart).count();
    produced = std::min<std::int64_t>(total, static_cast<std::int64_t>(ms) * b.dataRate / 1000);
  }
  return std::max<std::int64_t>(0, produced - b.consumed);
}

bool bufferFull() {
  const Board& b = board();
  switch (runKind()) {
    case RunKind::scan:
      return scanAvailable() >= 32 * kMiB;
    case RunKind::measuring:
    case RunKind::fake:
      return b.fullDelayMs >= 0 && elapsedMs(b.runStart) >= b.fullDelayMs;
    case RunKind::none:
      break;
  }
  return false;
}

void put24(unsigned char* hi, unsigned char* mid, unsigned char* lo, std::uint32_t v) {
  *hi = static_cast<unsigned char>(v >> 16);
  *mid = static_cast<unsigned char>(v >> 8);
  *lo = static_cast<unsigned char>(v);
}

// Fills `out` with the scan stream from byte `offset`.
void scanBytes(std::int64_t offset, unsigned char* out, long length) {
  const Board& b = board();
  const std::int64_t lb = lineBytes();
  const int green = greenPd(), red = redPd();
  std::vector<unsigned char> line(static_cast<std::size_t>(lb));
  std::int64_t current = -1;
  for (long i = 0; i < length; ++i) {
    const std::int64_t o = offset + i;
    const std::int64_t n = o / lb;
    if (n != current) {
      current = n;
      std::fill(line.begin(), line.end(), 0);
      unsigned char* h = line.data();
      h[0] = 0xFF, h[1] = 0x33, h[2] = 0x11, h[3] = 0x01;
      h[4] = static_cast<unsigned char>(n), h[5] = static_cast<unsigned char>(n >> 8);
      h[6] = static_cast<unsigned char>(n & 1), h[7] = 0;
      for (int k = 0; k < 4; ++k)
        h[8 + k] = static_cast<unsigned char>(static_cast<unsigned>(b.pixels) >> (8 * k));
      h[12] = static_cast<unsigned char>(green), h[13] = static_cast<unsigned char>(green >> 8);
      h[14] = static_cast<unsigned char>(red), h[15] = static_cast<unsigned char>(red >> 8);
      const int c = b.integrationCount;
      for (int p = 0; p < b.pixels; ++p) {
        unsigned char* px = h + 32 + 8 * p;
        px[0] = static_cast<unsigned char>(c & 0xFF);
        px[1] = static_cast<unsigned char>((c >> 8) & 0x03);
        const auto sum = [&](int channel) {
          return static_cast<std::uint32_t>(okSim_PixelValue(static_cast<int>(n), p, channel)) *
                 static_cast<std::uint32_t>(c) / 4;
        };
        put24(&px[3], &px[2], &px[5], sum(0));  // red
        put24(&px[4], &px[7], &px[6], sum(1));  // green
      }
    }
    out[i] = line[static_cast<std::size_t>(o - n * lb)];
  }
}

// A tube's raw samples (sampling code 0 red, 4 green) when its response is modelled:
// the offset samples of its channel plus the signal, which is dark + light x
// (voltage / reference)^exponent with the calibration light on; the low range sees the
// signal divided by the gain samples' ratio; the high range saturates at 16383.
bool modelledSamples(int code, int& lo, int& hi) {
  const Board& b = board();
  if ((code & ~4) != 0) return false;
  const int green = (code & 4) ? 1 : 0;
  const Board::PmtResponse& r = b.pmtResponse[green];
  if (!r.modelled) return false;
  double signal = r.dark;
  if (b.calibLight && r.refCounts > 0)
    signal += r.light * std::pow(static_cast<double>(b.pmt[green]) / r.refCounts, r.exponent);
  const int offsetCode = 2 | (code & 4), gainCode = 1 | (code & 4);
  const double gainHi = b.sampleHi[gainCode] - b.sampleHi[offsetCode];
  const double gainLo = b.sampleLo[gainCode] - b.sampleLo[offsetCode];
  const double loShare = gainHi != 0 ? gainLo / gainHi : 1.0;
  hi = std::clamp(static_cast<int>(std::lround(b.sampleHi[offsetCode] + signal)), 0, 16383);
  lo = std::clamp(static_cast<int>(std::lround(b.sampleLo[offsetCode] + signal * loShare)), 0, 16383);
  return true;
}

void sampleBytes(std::int64_t offset, unsigned char* out, long length) {
  const Board& b = board();
  const int code = samplingCode();
  int loValue = b.sampleLo[code], hiValue = b.sampleHi[code];
  modelledSamples(code, loValue, hiValue);
  for (long i = 0; i < length; ++i) {
    const std::int64_t o = offset + i;
    const std::int64_t sample = o / 4;
    // Odd samples carry junk in the two bits above each 14-bit value.
    const unsigned junk = (sample & 1) ? 0xC0 : 0;
    const unsigned lo = static_cast<unsigned>(loValue) & 0x3FFF, hi = static_cast<unsigned>(hiValue) & 0x3FFF;
    switch (o % 4) {
      case 0:
        out[i] = static_cast<unsigned char>(lo);
        break;
      case 1:
        out[i] = static_cast<unsigned char>((lo >> 8) | junk);
        break;
      case 2:
        out[i] = static_cast<unsigned char>(hi);
        break;
      default:
        out[i] = static_cast<unsigned char>((hi >> 8) | junk);
        break;
    }
  }
}

void fakeBytes(std::int64_t offset, unsigned char* out, long length) {
  for (long i = 0; i < length; ++i) {
    const std::int64_t o = offset + i;
    out[i] = static_cast<unsigned char>(static_cast<std::uint32_t>(o / 4) >> (8 * (o % 4)));
  }
}

// ---- wires ---------------------------------------------------------------------------------------

unsigned status1() {
  const Board& b = board();
  unsigned s = 0;
  if (b.keepAliveAt && elapsedMs(*b.keepAliveAt) < b.masterTimeoutMs) s |= 0x0002;
  if (b.keepAliveAt && elapsedMs(*b.keepAliveAt) >= b.masterTimeoutMs && !(b.latchedIn[0x02] & 0x0200))
    s |= 0x0010;
  if (b.redSupply) s |= 0x8000;
  if (b.greenSupply) s |= 0x0100;
  if (b.greenSupply && b.greenEmission) s |= 0x0400;
  if (greenReady()) s |= 0x0040;
  if (b.shutterClosed[0]) s |= 0x2000;
  if (b.spiBusyForever) s |= 0x0001;
  return (s | b.forceSet[1]) & ~b.forceClear[1];
}

unsigned status2() {
  const Board& b = board();
  unsigned s = b.latchedIn[0x02] & 0x0300;  // duplication and time-out disabled
  return (s | b.forceSet[2]) & ~b.forceClear[2];
}

// The PMT read-back: the set word itself, or the voltage the tube reached on the 16-bit
// read-back range (1000 V full scale) that the 12-bit setting (4.095 counts per volt) gave.
unsigned pmtReading(int i) {
  const Board& b = board();
  if (!b.pmtReadsVoltage) return b.pmt[i];
  return static_cast<unsigned>(std::min(65535L, std::lround(b.pmt[i] * 65535.0 / 4095.0)));
}

void snapshotWireOuts() {
  Board& b = board();
  std::fill(std::begin(b.wireOut), std::end(b.wireOut), 0u);
  if (!b.configured) return;
  std::uint32_t bits = 0, dcm = 0;
  for (int odd = 0; odd < 2; ++odd) {
    if (dcmSettled(b.dcm[odd])) bits |= dcmPattern(odd, b.dcm[odd]);
    dcm |= dcmStatus(odd, b.dcm[odd]);
  }
  b.wireOut[0x21] = dcm;
  b.wireOut[0x26] = bits;
  b.wireOut[0x27] = bufferFull() ? 0x20 : 0;
  b.wireOut[0x29] = static_cast<unsigned>(b.configVersion) & 0x0FFF;
  const std::int64_t avail = std::min<std::int64_t>(scanAvailable(), 0xFFFFFFFF);
  b.wireOut[0x2A] = static_cast<unsigned>(avail & 0xFFFF);
  b.wireOut[0x2B] = static_cast<unsigned>((avail >> 16) & 0xFFFF);
  b.wireOut[0x2C] = static_cast<unsigned>(redPd());
  b.wireOut[0x2D] = static_cast<unsigned>(greenPd());
  b.wireOut[0x2E] = pmtReading(0);
  b.wireOut[0x2F] = pmtReading(1);
  b.wireOut[0x31] = status1();
  b.wireOut[0x32] = status2();
  b.wireOut[0x33] = b.simpleErrCounts;
}

void latchWireIns() {
  Board& b = board();
  const unsigned old5 = b.latchedIn[0x05], old4 = b.latchedIn[0x04], old2 = b.latchedIn[0x02];
  advanceMotor();
  std::copy(std::begin(b.pendingIn), std::end(b.pendingIn), std::begin(b.latchedIn));
  const unsigned new5 = b.latchedIn[0x05];
  bool greenChange = false;
  if ((old5 ^ new5) & 0x8000) {
    b.greenEmission = (new5 & 0x8000) != 0;
    greenChange = true;
  }
  if (!(old5 & 0x4000) && (new5 & 0x4000)) {  // the strobe's rising edge takes the set point
    b.greenSetPoint = static_cast<int>(new5 & 0x0FFF);
    greenChange = true;
  }
  if (greenChange) greenChanged();
  if (old4 != b.latchedIn[0x04]) {
    b.motorSpeed = b.latchedIn[0x04] & 0xFF;
    b.motorForward = (b.latchedIn[0x04] & 0x8000) != 0;
  }
  const unsigned new2 = b.latchedIn[0x02];
  if (!(old2 & 0x80) && (new2 & 0x80)) {
    b.running = true;
    b.runStart = now();
    b.consumed = 0;
    ++b.samplingRuns[samplingCode()];
  } else if ((old2 & 0x80) && !(new2 & 0x80)) {
    b.running = false;
  }
}

void triggerCtrl(int bit) {
  Board& b = board();
  switch (bit) {
    case 0:
      b.greenSupply = true;
      greenChanged();
      break;
    case 1:
      b.greenSupply = false;
      greenChanged();
      break;
    case 2:
      b.pmt[0] = b.latchedIn[0x00] & 0xFFFF;
      break;
    case 3:
      b.pmt[1] = b.latchedIn[0x00] & 0xFFFF;
      break;
    case 4:
      b.redPdGain = static_cast<int>(b.latchedIn[0x00] & 0xFFFF);
      break;
    case 8:
      b.redSupply = true;
      break;
    case 9:
      b.redSupply = false;
      break;
    case 10:
      b.shutterClosed[0] = true;
      break;
    case 11:
      b.shutterClosed[0] = false;
      break;
    case 12:
      b.shutterClosed[1] = true;
      break;
    case 13:
      b.shutterClosed[1] = false;
      break;
    case 15:
      b.keepAliveAt = now();
      break;
    default:
      break;  // 7 resets the SPI link: nothing to model
  }
}

// Whether a scripted failure of this trigger bit is due (and uses it up).
bool triggerFails(int ep, int bit) {
  auto& failing = board().failingTriggers;
  const auto it = failing.find({ep, bit});
  if (it == failing.end()) return false;
  auto& [passes, fails] = it->second;
  if (passes > 0) {
    --passes;
    return false;
  }
  if (fails > 0 && --fails == 0) failing.erase(it);
  return true;
}

void dcmStep(int odd, int delta) { board().dcm[odd].position += delta; }

void dcmShift(int odd) { ++board().dcm[odd].shifts; }

void dcmReset(int odd) {
  Dcm& d = board().dcm[odd];
  d.position = 0;
  d.shifts = 0;
  d.resetAt = now();
}

// Trigger-in 0x41: even DCM 0, 1, 2, 7 and odd DCM 8, 9, 14, 15 (up, down, shift, reset);
// 13 clears the simple error counts; 6 clears the misc error flags (none modelled).
void triggerIn41(int bit) {
  switch (bit) {
    case 0:
      dcmStep(0, 1);
      break;
    case 1:
      dcmStep(0, -1);
      break;
    case 2:
      dcmShift(0);
      break;
    case 7:
      dcmReset(0);
      break;
    case 8:
      dcmStep(1, 1);
      break;
    case 9:
      dcmStep(1, -1);
      break;
    case 14:
      dcmShift(1);
      break;
    case 15:
      dcmReset(1);
      break;
    case 13:
      board().simpleErrCounts = 0;
      break;
    default:
      break;
  }
}

[[maybe_unused]] std::string readConfigFile(const char* path, int& error) {
  error = -7;
  if (!path || !*path) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  error = 0;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (content.empty()) error = -6;
  return content;
}

void copyText(char* out, const std::string& text) {
  if (!out) return;
  const std::size_t n = std::min<std::size_t>(text.size(), kOkTextBufferSize - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

using Lock = std::lock_guard<std::recursive_mutex>;

long readPipe(okBoardHandle h, int ep, int blockSize, long length, unsigned char* data) {
  Board& b = board();
  b.lastTransfer = 0;
  if (!isOpen(h)) return -8;
  if (ep != kDataPipe) return -9;
  if (blockSize < 1 || blockSize > 1024 || length < 0 || length % blockSize != 0 || !data) return -10;
  if (length == 0) return 0;
  switch (runKind()) {
    case RunKind::scan:
      if (scanAvailable() < length) return -2;  // the data has not arrived: the transfer times out
      scanBytes(b.consumed, data, length);
      break;
    case RunKind::measuring: {
      const int code = samplingCode();
      if (!bufferFull()) return -2;
      if (b.sampleFaultAfter[code] >= 0 && b.samplingRuns[code] > b.sampleFaultAfter[code]) return -2;
      sampleBytes(b.consumed, data, length);
      break;
    }
    case RunKind::fake:
      if (!bufferFull()) return -2;
      fakeBytes(b.consumed, data, length);
      break;
    case RunKind::none:
      return -2;
  }
  b.consumed += length;
  b.lastTransfer = length;
  return length;
}

// The library's objects live in the board state; a handle is the object's address.
template <typename T>
T* adopt(std::vector<std::unique_ptr<T>>& owner, std::unique_ptr<T> object) {
  owner.push_back(std::move(object));
  return owner.back().get();
}
template <typename T>
void release(std::vector<std::unique_ptr<T>>& owner, T* object) {
  owner.erase(
      std::remove_if(owner.begin(), owner.end(), [object](const auto& o) { return o.get() == object; }),
      owner.end());
}

}  // namespace

// ==== the library's entries =================================================================

extern "C" {

int okFrontPanelDLL_GetVersion(char* text, int size) {
  Lock lock(lockOf());
  logCall("okFrontPanelDLL_GetVersion()");
  if (text && size > 0) std::snprintf(text, static_cast<std::size_t>(size), "%s", "sim 1.0");
  return 1;
}

// ---- first clock chip ----
okClock22150Handle okPLL22150_Construct(void) {
  Lock lock(lockOf());
  return adopt(board().clocks22150, std::make_unique<okClock22150Object>());
}
void okPLL22150_Destruct(okClock22150Handle pll) {
  Lock lock(lockOf());
  release(board().clocks22150, pll);
}
void okPLL22150_SetCrystalLoad(okClock22150Handle, double) {}
void okPLL22150_SetReference(okClock22150Handle pll, double freq, int) {
  if (pll) pll->reference = freq;
}
double okPLL22150_GetReference(okClock22150Handle pll) { return pll ? pll->reference : 0; }
int okPLL22150_SetVCOParameters(okClock22150Handle pll, int p, int q) {
  if (!pll) return 0;
  pll->p = p, pll->q = q;
  return 1;
}
int okPLL22150_GetVCOP(okClock22150Handle pll) { return pll ? pll->p : 0; }
int okPLL22150_GetVCOQ(okClock22150Handle pll) { return pll ? pll->q : 0; }
double okPLL22150_GetVCOFrequency(okClock22150Handle pll) {
  return pll && pll->q ? pll->reference * pll->p / pll->q : 0;
}
void okPLL22150_SetDiv1(okClock22150Handle pll, int source, int divider) {
  if (pll) pll->div1Source = source, pll->div1Divider = divider;
}
void okPLL22150_SetDiv2(okClock22150Handle pll, int source, int divider) {
  if (pll) pll->div2Source = source, pll->div2Divider = divider;
}
int okPLL22150_GetDiv1Source(okClock22150Handle pll) { return pll ? pll->div1Source : 0; }
int okPLL22150_GetDiv2Source(okClock22150Handle pll) { return pll ? pll->div2Source : 0; }
int okPLL22150_GetDiv1Divider(okClock22150Handle pll) { return pll ? pll->div1Divider : 0; }
int okPLL22150_GetDiv2Divider(okClock22150Handle pll) { return pll ? pll->div2Divider : 0; }
void okPLL22150_SetOutputSource(okClock22150Handle pll, int output, int source) {
  if (pll && output >= 0 && output < 6) pll->outputSource[output] = source;
}
void okPLL22150_SetOutputEnable(okClock22150Handle pll, int output, int enable) {
  if (pll && output >= 0 && output < 6) pll->outputEnable[output] = enable;
}
int okPLL22150_GetOutputSource(okClock22150Handle pll, int output) {
  return pll && output >= 0 && output < 6 ? pll->outputSource[output] : 0;
}
double okPLL22150_GetOutputFrequency(okClock22150Handle pll, int output) {
  if (!pll || output < 0 || output >= 6 || !pll->outputEnable[output]) return 0;
  const double vco = okPLL22150_GetVCOFrequency(pll);
  return pll->div1Divider ? vco / pll->div1Divider : 0;
}
int okPLL22150_IsOutputEnabled(okClock22150Handle pll, int output) {
  return pll && output >= 0 && output < 6 ? pll->outputEnable[output] : 0;
}
void okPLL22150_InitFromProgrammingInfo(okClock22150Handle, const unsigned char*) {}
void okPLL22150_GetProgrammingInfo(okClock22150Handle, unsigned char* info) {
  if (info) std::memset(info, 0, 16);
}

// ---- second clock chip ----
okClock22393Handle okPLL22393_Construct(void) {
  Lock lock(lockOf());
  return adopt(board().clocks22393, std::make_unique<okClock22393Object>());
}
void okPLL22393_Destruct(okClock22393Handle pll) {
  Lock lock(lockOf());
  release(board().clocks22393, pll);
}
void okPLL22393_SetCrystalLoad(okClock22393Handle, double) {}
void okPLL22393_SetReference(okClock22393Handle pll, double freq) {
  if (pll) pll->reference = freq;
}
double okPLL22393_GetReference(okClock22393Handle pll) { return pll ? pll->reference : 0; }
int okPLL22393_SetPLLParameters(okClock22393Handle pll, int n, int p, int q, int enable) {
  if (!pll || n < 0 || n >= 3) return 0;
  pll->p[n] = p, pll->q[n] = q, pll->enabled[n] = enable;
  return 1;
}
int okPLL22393_SetPLLLF(okClock22393Handle pll, int n, int) { return pll && n >= 0 && n < 3; }
int okPLL22393_SetOutputDivider(okClock22393Handle pll, int n, int divider) {
  if (!pll || n < 0 || n >= 5) return 0;
  pll->outputDivider[n] = divider;
  return 1;
}
int okPLL22393_SetOutputSource(okClock22393Handle pll, int n, int source) {
  if (!pll || n < 0 || n >= 5) return 0;
  pll->outputSource[n] = source;
  return 1;
}
void okPLL22393_SetOutputEnable(okClock22393Handle pll, int n, int enable) {
  if (pll && n >= 0 && n < 5) pll->outputEnable[n] = enable;
}
#ifndef OKSIM_PARTIAL
int okPLL22393_GetPLLP(okClock22393Handle pll, int n) { return pll && n >= 0 && n < 3 ? pll->p[n] : 0; }
#endif
int okPLL22393_GetPLLQ(okClock22393Handle pll, int n) { return pll && n >= 0 && n < 3 ? pll->q[n] : 0; }
double okPLL22393_GetPLLFrequency(okClock22393Handle pll, int n) {
  return pll && n >= 0 && n < 3 && pll->q[n] ? pll->reference * pll->p[n] / pll->q[n] : 0;
}
int okPLL22393_GetOutputDivider(okClock22393Handle pll, int n) {
  return pll && n >= 0 && n < 5 ? pll->outputDivider[n] : 0;
}
int okPLL22393_GetOutputSource(okClock22393Handle pll, int n) {
  return pll && n >= 0 && n < 5 ? pll->outputSource[n] : 0;
}
double okPLL22393_GetOutputFrequency(okClock22393Handle pll, int n) {
  if (!pll || n < 0 || n >= 5 || !pll->outputEnable[n] || !pll->outputDivider[n]) return 0;
  return okPLL22393_GetPLLFrequency(pll, 0) / pll->outputDivider[n];
}
int okPLL22393_IsOutputEnabled(okClock22393Handle pll, int n) {
  return pll && n >= 0 && n < 5 ? pll->outputEnable[n] : 0;
}
int okPLL22393_IsPLLEnabled(okClock22393Handle pll, int n) {
  return pll && n >= 0 && n < 3 ? pll->enabled[n] : 0;
}
void okPLL22393_InitFromProgrammingInfo(okClock22393Handle, const unsigned char*) {}
void okPLL22393_GetProgrammingInfo(okClock22393Handle, unsigned char* info) {
  if (info) std::memset(info, 0, 16);
}

// ---- the board ----
// Every board entry takes the lock and goes into the call log; every one that returns a
// value can be scripted.
#define OKSIM_ENTRY(...) \
  Lock lock(lockOf());   \
  logCall(format(__VA_ARGS__))
#define OKSIM_SCRIPTED(type) \
  if (auto r = scripted(__func__)) return static_cast<type>(*r)

okBoardHandle okUsbFrontPanel_Construct(void) {
  OKSIM_ENTRY("okUsbFrontPanel_Construct()");
  return adopt(board().boards, std::make_unique<okBoardObject>());
}

void okUsbFrontPanel_Destruct(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_Destruct()");
  release(board().boards, h);
}

int okUsbFrontPanel_Has16BitHostInterface(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_Has16BitHostInterface()");
  OKSIM_SCRIPTED(int);
  return validBoard(h) ? 1 : 0;
}

int okUsbFrontPanel_IsHighSpeed(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_IsHighSpeed()");
  OKSIM_SCRIPTED(int);
  return validBoard(h) ? 1 : 0;
}

int okUsbFrontPanel_GetBoardModel(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_GetBoardModel()");
  OKSIM_SCRIPTED(int);
  if (!isOpen(h)) return 0;
  for (const auto& [model, serial] : board().devices)
    if (serial == h->serial) return model;
  return 0;
}

ok_ErrorCode okUsbFrontPanel_WriteI2C(okBoardHandle h, int addr, int length, const unsigned char*) {
  OKSIM_ENTRY("okUsbFrontPanel_WriteI2C(0x%02X,%d)", addr, length);
  OKSIM_SCRIPTED(ok_ErrorCode);
  return isOpen(h) ? 0 : -8;
}

ok_ErrorCode okUsbFrontPanel_ReadI2C(okBoardHandle h, int addr, int length, unsigned char* data) {
  OKSIM_ENTRY("okUsbFrontPanel_ReadI2C(0x%02X,%d)", addr, length);
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (data && length > 0) std::memset(data, 0, static_cast<std::size_t>(length));
  return 0;
}

int okUsbFrontPanel_GetDeviceCount(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceCount()");
  OKSIM_SCRIPTED(int);
  return validBoard(h) ? static_cast<int>(board().devices.size()) : 0;
}

int okUsbFrontPanel_GetDeviceListModel(okBoardHandle h, int index) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceListModel(%d)", index);
  OKSIM_SCRIPTED(int);
  const auto& devices = board().devices;
  if (!validBoard(h) || index < 0 || index >= static_cast<int>(devices.size())) return 0;
  return devices[static_cast<std::size_t>(index)].first;
}

void okUsbFrontPanel_GetDeviceListSerial(okBoardHandle h, int index, char* serial) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceListSerial(%d)", index);
  const auto& devices = board().devices;
  const bool ok = validBoard(h) && index >= 0 && index < static_cast<int>(devices.size());
  copyText(serial, ok ? devices[static_cast<std::size_t>(index)].second : std::string());
}

ok_ErrorCode okUsbFrontPanel_OpenBySerial(okBoardHandle h, const char* serial) {
  OKSIM_ENTRY("okUsbFrontPanel_OpenBySerial(%s)", serial ? serial : "(null)");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!validBoard(h)) return -8;
  const std::string wanted = serial ? serial : "";
  for (const auto& [model, sn] : board().devices) {
    if (sn == wanted) {
      h->open = true;
      h->serial = sn;
      return 0;
    }
  }
  return -8;
}

int okUsbFrontPanel_IsOpen(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_IsOpen()");
  OKSIM_SCRIPTED(int);
  return isOpen(h) ? 1 : 0;
}

void okUsbFrontPanel_SetTimeout(okBoardHandle, int milliseconds) {
  OKSIM_ENTRY("okUsbFrontPanel_SetTimeout(%d)", milliseconds);
}

void okUsbFrontPanel_EnableAsynchronousTransfers(okBoardHandle, int enable) {
  OKSIM_ENTRY("okUsbFrontPanel_EnableAsynchronousTransfers(%d)", enable);
}

int okUsbFrontPanel_GetDeviceMajorVersion(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceMajorVersion()");
  OKSIM_SCRIPTED(int);
  return isOpen(h) ? board().fwMajor : 0;
}

int okUsbFrontPanel_GetDeviceMinorVersion(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceMinorVersion()");
  OKSIM_SCRIPTED(int);
  return isOpen(h) ? board().fwMinor : 0;
}

ok_ErrorCode okUsbFrontPanel_ResetFPGA(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_ResetFPGA()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  board().configured = false;
  return 0;
}

#ifndef OKSIM_PARTIAL
void okUsbFrontPanel_GetSerialNumber(okBoardHandle h, char* serial) {
  OKSIM_ENTRY("okUsbFrontPanel_GetSerialNumber()");
  copyText(serial, isOpen(h) ? h->serial : std::string());
}
#endif

void okUsbFrontPanel_GetDeviceID(okBoardHandle h, char* id) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceID()");
  copyText(id, isOpen(h) ? std::string("Keth ") + h->serial : std::string());
}

void okUsbFrontPanel_SetDeviceID(okBoardHandle, const char* id) {
  OKSIM_ENTRY("okUsbFrontPanel_SetDeviceID(%s)", id ? id : "(null)");
}

#ifndef OKSIM_PARTIAL
ok_ErrorCode okUsbFrontPanel_ConfigureFPGA(okBoardHandle h, const char* bitFile) {
  OKSIM_ENTRY("okUsbFrontPanel_ConfigureFPGA(%s)", bitFile ? bitFile : "(null)");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  Board& b = board();
  int error = 0;
  const std::string content = readConfigFile(bitFile, error);
  if (error) return error;
  int version = b.defaultVersion;
  const auto at = content.find("version=");
  if (at != std::string::npos) version = std::atoi(content.c_str() + at + 8);
  if (b.forcedVersion >= 0) version = b.forcedVersion;
  b.configured = true;
  b.configVersion = version;
  std::fill(std::begin(b.pendingIn), std::end(b.pendingIn), 0u);
  std::fill(std::begin(b.latchedIn), std::end(b.latchedIn), 0u);
  b.running = false;
  for (Dcm& d : b.dcm) {
    d.position = d.initialPosition;
    d.shifts = d.shiftsNeeded;  // the download leaves the phase shifted as it was
    d.resetAt.reset();
  }
  return 0;
}
#endif

ok_ErrorCode okUsbFrontPanel_ConfigureFPGAFromMemory(okBoardHandle h, const unsigned char*,
                                                     unsigned long length) {
  OKSIM_ENTRY("okUsbFrontPanel_ConfigureFPGAFromMemory(%lu)", length);
  OKSIM_SCRIPTED(ok_ErrorCode);
  return isOpen(h) ? -15 : -8;
}

ok_ErrorCode okUsbFrontPanel_GetPLL22150Configuration(okBoardHandle h, okClock22150Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_GetPLL22150Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) *pll = board().pll22150;
  return 0;
}

ok_ErrorCode okUsbFrontPanel_SetPLL22150Configuration(okBoardHandle h, okClock22150Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_SetPLL22150Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) board().pll22150 = *pll;
  return 0;
}

ok_ErrorCode okUsbFrontPanel_GetEepromPLL22150Configuration(okBoardHandle h, okClock22150Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_GetEepromPLL22150Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) *pll = okClock22150Object{};
  return 0;
}

ok_ErrorCode okUsbFrontPanel_SetEepromPLL22150Configuration(okBoardHandle h, okClock22150Handle) {
  OKSIM_ENTRY("okUsbFrontPanel_SetEepromPLL22150Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  return isOpen(h) ? 0 : -8;
}

ok_ErrorCode okUsbFrontPanel_GetPLL22393Configuration(okBoardHandle h, okClock22393Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_GetPLL22393Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) *pll = board().pll22393;
  return 0;
}

ok_ErrorCode okUsbFrontPanel_SetPLL22393Configuration(okBoardHandle h, okClock22393Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_SetPLL22393Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) board().pll22393 = *pll;
  return 0;
}

ok_ErrorCode okUsbFrontPanel_GetEepromPLL22393Configuration(okBoardHandle h, okClock22393Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_GetEepromPLL22393Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) *pll = okClock22393Object{};
  return 0;
}

ok_ErrorCode okUsbFrontPanel_SetEepromPLL22393Configuration(okBoardHandle h, okClock22393Handle) {
  OKSIM_ENTRY("okUsbFrontPanel_SetEepromPLL22393Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  return isOpen(h) ? 0 : -8;
}

ok_ErrorCode okUsbFrontPanel_LoadDefaultPLLConfiguration(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_LoadDefaultPLLConfiguration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  board().pll22150 = okClock22150Object{};
  return 0;
}

int okUsbFrontPanel_IsFrontPanelEnabled(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_IsFrontPanelEnabled()");
  OKSIM_SCRIPTED(int);
  return isOpen(h) && board().configured ? 1 : 0;
}

int okUsbFrontPanel_IsFrontPanel3Supported(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_IsFrontPanel3Supported()");
  OKSIM_SCRIPTED(int);
  return isOpen(h) ? 1 : 0;
}

void okUsbFrontPanel_UpdateWireIns(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_UpdateWireIns()");
  if (isOpen(h) && board().configured) latchWireIns();
}

ok_ErrorCode okUsbFrontPanel_SetWireInValue(okBoardHandle h, int ep, unsigned value, unsigned mask) {
  OKSIM_ENTRY("okUsbFrontPanel_SetWireInValue(0x%02X,0x%04X,0x%04X)", ep, value, mask);
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (ep < 0 || ep > 0x1F) return -9;
  unsigned& w = board().pendingIn[ep];
  w = ((w & ~mask) | (value & mask)) & 0xFFFF;
  return 0;
}

void okUsbFrontPanel_UpdateWireOuts(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_UpdateWireOuts()");
  if (isOpen(h)) snapshotWireOuts();
}

int okUsbFrontPanel_GetWireOutValue(okBoardHandle h, int ep) {
  OKSIM_ENTRY("okUsbFrontPanel_GetWireOutValue(0x%02X)", ep);
  OKSIM_SCRIPTED(int);
  if (!isOpen(h) || ep < 0x20 || ep > 0x3F) return 0;
  return static_cast<int>(board().wireOut[ep] & 0xFFFF);
}

ok_ErrorCode okUsbFrontPanel_ActivateTriggerIn(okBoardHandle h, int ep, int bit) {
  OKSIM_ENTRY("okUsbFrontPanel_ActivateTriggerIn(0x%02X,%d)", ep, bit);
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if ((ep != 0x40 && ep != 0x41) || bit < 0 || bit > 15) return -9;
  if (!board().configured) return -1;
  if (triggerFails(ep, bit)) return -1;
  if (ep == 0x40)
    triggerCtrl(bit);
  else
    triggerIn41(bit);
  return 0;
}

void okUsbFrontPanel_UpdateTriggerOuts(okBoardHandle) { OKSIM_ENTRY("okUsbFrontPanel_UpdateTriggerOuts()"); }

int okUsbFrontPanel_IsTriggered(okBoardHandle, int ep, int mask) {
  OKSIM_ENTRY("okUsbFrontPanel_IsTriggered(0x%02X,0x%04X)", ep, mask);
  OKSIM_SCRIPTED(int);
  return 0;  // the board has no trigger-outs
}

long okUsbFrontPanel_GetLastTransferLength(okBoardHandle) {
  OKSIM_ENTRY("okUsbFrontPanel_GetLastTransferLength()");
  OKSIM_SCRIPTED(long);
  return board().lastTransfer;
}

long okUsbFrontPanel_WriteToPipeIn(okBoardHandle h, int ep, long length, const unsigned char*) {
  OKSIM_ENTRY("okUsbFrontPanel_WriteToPipeIn(0x%02X,%ld)", ep, length);
  OKSIM_SCRIPTED(long);
  return isOpen(h) ? -9 : -8;  // the board has no pipe-ins
}

long okUsbFrontPanel_WriteToBlockPipeIn(okBoardHandle h, int ep, int blockSize, long length,
                                        const unsigned char*) {
  OKSIM_ENTRY("okUsbFrontPanel_WriteToBlockPipeIn(0x%02X,%d,%ld)", ep, blockSize, length);
  OKSIM_SCRIPTED(long);
  return isOpen(h) ? -9 : -8;
}

long okUsbFrontPanel_ReadFromPipeOut(okBoardHandle h, int ep, long length, unsigned char* data) {
  OKSIM_ENTRY("okUsbFrontPanel_ReadFromPipeOut(0x%02X,%ld)", ep, length);
  OKSIM_SCRIPTED(long);
  return readPipe(h, ep, 1, length, data);
}

long okUsbFrontPanel_ReadFromBlockPipeOut(okBoardHandle h, int ep, int blockSize, long length,
                                          unsigned char* data) {
  OKSIM_ENTRY("okUsbFrontPanel_ReadFromBlockPipeOut(0x%02X,%d,%ld)", ep, blockSize, length);
  OKSIM_SCRIPTED(long);
  return readPipe(h, ep, blockSize, length, data);
}

// ==== controls ================================================================================

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

int okSim_PixelValue(int line, int pixel, int channel) {
  return static_cast<int>((static_cast<unsigned>(line) * 31u + static_cast<unsigned>(pixel) * 17u +
                           static_cast<unsigned>(channel) * 1009u) %
                          4096u);
}

}  // extern "C"
