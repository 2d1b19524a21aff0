#pragma once
// The simulated data board's state and behaviour, behind the library's C entries
// (okFrontPanelSim.cpp) and the okSim_ controls (okSimControls.cpp). One board state per
// process, guarded by one lock; no threads of its own: whatever takes time is computed
// from platform::clock() when asked.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Pellux/okFrontPanelApi.h"
#include "okSim/okSim.h"
#include "platform/clock.h"

// The library's objects; a handle is the address of one of these.
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
namespace oksim {

using platform::SteadyTime;
using Ms = std::chrono::milliseconds;

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

// The scan the board's stream belongs to: which slide, where on it and how finely, and the
// instrument's optics that the data processing corrects (micrometres).
struct SlideScan {
  std::string slide = "SIM-SLIDE-0001";
  long originX = 12000, originY = 5000;
  int pixelSize = 5, lineResolution = 5;
  bool averagedPairs = false;
  int redGreenH = 0, redGreenV = 0, leftRightH = 0;
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
  int (*calibLightProbe)(void*) = nullptr;
  void* calibLightProbeContext = nullptr;
  // A file whose first byte '1' also switches the light on: how an instrument that runs
  // in another process (the demo's) reaches it.
  std::string calibLightFile;
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
  SlideScan scan;
  // A file the instrument (another process) describes each scan in; read until the stream
  // of a run is first read from, so that it follows the scan the instrument started.
  std::string scanFile;
  std::string scanFileText;         // what was last taken from it
  bool backwardUnmirrored = false;  // fault: backward lines sent left to right
  int linesDelivered = -1;          // lines of a scan run's stream the board sends (-1: all)
  std::int64_t bufferBytes = 0;     // scan data the board holds unread at most (0: no bound)
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

// Every entry and control holds this lock while it works on the board.
using Lock = std::lock_guard<std::recursive_mutex>;
std::recursive_mutex& lockOf();
Board& board();

SteadyTime now();
long elapsedMs(SteadyTime since);
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The call log and scripted results.
void logCall(std::string line);
// A scripted result for this call, if one is waiting.
std::optional<long> scripted(const char* entry);

bool validBoard(okBoardHandle h);
bool isOpen(okBoardHandle h);

// What the entries set off on the board.
void advanceMotor();
void greenChanged();
void snapshotWireOuts();
void latchWireIns();
void triggerCtrl(int bit);
bool triggerFails(int ep, int bit);
void triggerIn41(int bit);
// A bit file's bytes; `error` -7 for a missing file, -6 for an empty one, else 0.
std::string readConfigFile(const char* path, int& error);
// Copies text into a caller's buffer of the library's text size.
void copyText(char* out, const std::string& text);
// The lines a scan of `rows` rows sends (with the lead-in, and doubled in averaged pairs).
int scanLines(const SlideScan& scan, int rows);
// A read of the block pipe: the bytes of the run in progress, or the library's error.
long readPipe(okBoardHandle h, int ep, int blockSize, long length, unsigned char* data);

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
}  // namespace oksim
