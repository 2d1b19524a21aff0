#include "BoardModel.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <sstream>

#include "okSim/SlidePicture.h"
#include "platform/text.h"

namespace oksim {

constexpr int kDataPipe = 0xA0;
constexpr std::size_t kCallLogLimit = 200000;
constexpr long kMiB = 1024L * 1024;

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

// The lines of a scan of `rows` rows: the rows, and before them the lines the red channel's
// delay needs (50 um); each twice with averaged pairs (or at 10 um).
int scanLines(const SlideScan& scan, int rows) {
  const int leadIn = 50 / std::max(scan.lineResolution, 1);
  const bool pairs = scan.averagedPairs || scan.lineResolution == 10;
  return (rows + leadIn) * (pairs ? 2 : 1);
}

// Takes the scan the instrument last described, while the run has not been read from.
// "scan PIXELS ROWS ORIGIN-X ORIGIN-Y PIXEL-SIZE LINE-RESOLUTION PASSES SLIDE"; a file that
// says anything else is reported once and leaves the scan as it was.
void followScanFile() {
  Board& b = board();
  if (b.scanFile.empty() || b.consumed != 0) return;
  std::ifstream in(b.scanFile);
  std::string text;
  if (!in || !std::getline(in, text) || text == b.scanFileText) return;
  b.scanFileText = text;
  std::istringstream words(text);
  std::string keyword, slide;
  long pixels = 0, rows = 0, x = 0, y = 0, size = 0, resolution = 0, passes = 0;
  words >> keyword >> pixels >> rows >> x >> y >> size >> resolution >> passes >> std::ws;
  std::getline(words, slide);
  if (!words.fail() && keyword == "scan" && pixels > 0 && pixels <= 100000 && rows > 0 && rows <= 1000000 &&
      size > 0 && size <= 1000 && resolution > 0 && resolution <= 1000 && (passes == 1 || passes == 2) &&
      !slide.empty()) {
    b.scan.slide = slide;
    b.scan.originX = x;
    b.scan.originY = y;
    b.scan.pixelSize = static_cast<int>(size);
    b.scan.lineResolution = static_cast<int>(resolution);
    b.scan.averagedPairs = passes == 2;
    b.pixels = static_cast<int>(pixels);
    b.lines = scanLines(b.scan, static_cast<int>(rows));
    return;
  }
  std::fprintf(stderr, "simulated board: cannot use the scan '%s' of %s\n", text.c_str(), b.scanFile.c_str());
}

std::int64_t scanAvailable() {
  const Board& b = board();
  if (runKind() != RunKind::scan) return 0;
  followScanFile();
  const int lines = b.linesDelivered >= 0 ? std::min(b.lines, b.linesDelivered) : b.lines;
  const std::int64_t total = lines * lineBytes();
  std::int64_t produced = total;
  if (b.dataRate > 0) {
    const auto ms = std::chrono::duration_cast<Ms>(now() - b.runStart).count();
    produced = std::min<std::int64_t>(total, static_cast<std::int64_t>(ms) * b.dataRate / 1000);
  }
  if (b.bufferBytes > 0) produced = std::min(produced, b.consumed + b.bufferBytes);
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

// Where line `n` of the scan puts its samples: the image row (of the region; the lead-in
// lines lie above it) and column that each pixel of the line ends up in once the data
// processing has mirrored backward lines and registered the channels. The board samples
// the slide there, so that the processed image is the slide itself. The instrument's
// optics, that the processing undoes: the red spot runs 50 um + V ahead of the green one
// (the red line delay) and H to the side; backward sweeps land LR to the side, which
// the processing takes out of green's backward lines and of red's lines that share a
// row's parity with them as the delay decides.
struct LinePlacement {
  int greenRow, redRow;
  int greenFirst, greenStep;  // column of pixel j: first + step x j
  int redFirst, redStep;
};

LinePlacement placeLine(const SlideScan& scan, int pixels, std::int64_t n, bool unmirrored) {
  const int res = std::max(scan.lineResolution, 1);
  const double px = std::max(scan.pixelSize, 1);
  const bool pairs = scan.averagedPairs || scan.lineResolution == 10;
  const int leadIn = 50 / res;
  const int delay = static_cast<int>((50 + scan.redGreenV) / static_cast<double>(res) + 0.5);
  const int h = static_cast<int>(scan.redGreenH / px + 0.5);
  const int e = scan.lineResolution == 10 ? 0 : static_cast<int>(scan.leftRightH / px + 0.5);
  const bool backward = (n & 1) != 0;
  const int row = static_cast<int>(pairs ? n / 2 : n) - leadIn;
  LinePlacement at{};
  at.greenRow = row;
  at.redRow = row + delay;
  const bool mirrored = backward && !unmirrored;
  const int first = mirrored ? pixels - 1 : 0, step = mirrored ? -1 : 1;
  at.greenFirst = first + (backward ? e : 0);
  at.redFirst = first + h + ((backward != ((delay & 1) != 0)) ? e : 0);
  at.greenStep = at.redStep = step;
  return at;
}

// Fills `out` with the scan stream from byte `offset`.
void scanBytes(std::int64_t offset, unsigned char* out, long length) {
  const Board& b = board();
  const std::int64_t lb = lineBytes();
  const int green = greenPd(), red = redPd();
  const SlidePicture picture(b.scan.slide);
  const long px = b.scan.pixelSize, py = b.scan.lineResolution;
  const auto c = static_cast<std::uint32_t>(b.integrationCount);
  std::vector<unsigned char> line(static_cast<std::size_t>(lb));
  long done = 0;
  while (done < length) {
    const std::int64_t o = offset + done;
    const std::int64_t n = o / lb;
    unsigned char* h = line.data();
    std::fill(line.begin(), line.end(), 0);
    h[0] = 0xFF, h[1] = 0x33, h[2] = 0x11, h[3] = 0x01;
    h[4] = static_cast<unsigned char>(n), h[5] = static_cast<unsigned char>(n >> 8);
    h[6] = static_cast<unsigned char>(n & 1), h[7] = 0;
    for (int k = 0; k < 4; ++k)
      h[8 + k] = static_cast<unsigned char>(static_cast<unsigned>(b.pixels) >> (8 * k));
    h[12] = static_cast<unsigned char>(green), h[13] = static_cast<unsigned char>(green >> 8);
    h[14] = static_cast<unsigned char>(red), h[15] = static_cast<unsigned char>(red >> 8);
    const LinePlacement at = placeLine(b.scan, b.pixels, n, b.backwardUnmirrored);
    const long greenY = b.scan.originY + at.greenRow * py, redY = b.scan.originY + at.redRow * py;
    for (int p = 0; p < b.pixels; ++p) {
      unsigned char* pixel = h + 32 + 8 * p;
      pixel[0] = static_cast<unsigned char>(c & 0xFF);
      pixel[1] = static_cast<unsigned char>((c >> 8) & 0x03);
      const long greenX = b.scan.originX + static_cast<long>(at.greenFirst + at.greenStep * p) * px;
      const long redX = b.scan.originX + static_cast<long>(at.redFirst + at.redStep * p) * px;
      const auto sum = [c](int value) { return static_cast<std::uint32_t>(value) * c / 4; };
      put24(&pixel[3], &pixel[2], &pixel[5], sum(picture.Value(0, redX, redY)));
      put24(&pixel[4], &pixel[7], &pixel[6], sum(picture.Value(1, greenX, greenY)));
    }
    const std::int64_t from = o - n * lb;
    const long take = static_cast<long>(std::min<std::int64_t>(lb - from, length - done));
    std::memcpy(out + done, line.data() + from, static_cast<std::size_t>(take));
    done += take;
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
  bool light = b.calibLightProbe ? b.calibLightProbe(b.calibLightProbeContext) != 0 : b.calibLight;
  if (!light && !b.calibLightFile.empty()) {
    std::ifstream in(b.calibLightFile);
    light = in.get() == '1';
  }
  if (light && r.refCounts > 0)
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

std::string readConfigFile(const char* path, int& error) {
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

}  // namespace oksim
