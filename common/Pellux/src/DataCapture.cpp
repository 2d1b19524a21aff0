// The reads of the block pipe (scan lines, measuring samples, the test pattern), the
// measuring family built on them, and the statistics over raw samples.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "FrontPanelTable.h"
#include "Jotwell/Logger.h"
#include "Pellux/ScanDataPort.h"
#include "PortInternal.h"
#include "platform/ui.h"

using pellux::okApi;
using namespace pellux;

// Holds the port's busy flag for one read; on the way out (return or throw) clears it and
// sends a keep-alive that was deferred meanwhile.
class CScanDataPortBusyClaim {
 public:
  CScanDataPortBusyClaim(CScanDataPort& port, const char* who) : port_(port), who_(who) {}
  bool claim() { return claimed_ = !port_.m_bBusy.exchange(true); }
  ~CScanDataPortBusyClaim() {
    if (!claimed_) return;
    port_.m_bBusy = false;
    try {
      port_.SendPendingKeepAlive(who_);
    } catch (...) {
    }
  }
  CScanDataPortBusyClaim(const CScanDataPortBusyClaim&) = delete;
  CScanDataPortBusyClaim& operator=(const CScanDataPortBusyClaim&) = delete;

 private:
  CScanDataPort& port_;
  const char* who_;
  bool claimed_ = false;
};

namespace {

std::string ReadErrorText(const char* prefix, long code) {
  switch (code) {
    case -9:
      return FormatText("%sRead data - Invalid end point. [error code = %d]", prefix, static_cast<int>(code));
    case -2:
      return FormatText("%sRead data - Timeout. [error code = %d]", prefix, static_cast<int>(code));
    case -1:
      return FormatText("%sRead data failed. [error code = %d]", prefix, static_cast<int>(code));
    default:
      return FormatText("%sRead data failed - Unknown. [error code = %d]", prefix, static_cast<int>(code));
  }
}

std::string FakeReadErrorText(long code) {
  switch (code) {
    case -9:
      return FormatText("Read fake data - Invalid end point. [error code = %d]", static_cast<int>(code));
    case -2:
      return FormatText("Read fake data - Timeout. [error code = %d]", static_cast<int>(code));
    case -1:
      return FormatText("Read fake data failed. [error code = %d]", static_cast<int>(code));
    default:
      return FormatText("Read fake data failed - Unknown. [error code = %d]", static_cast<int>(code));
  }
}

// As few transfers as the block rule allows: whole kilobytes, then 8-byte blocks, then single bytes.
long BlockSizeFor(long remaining) { return remaining > 1024 ? 1024 : (remaining > 8 ? 8 : 1); }

}  // namespace

long CScanDataPort::ReadPipe(long blockSize, long length, unsigned char* buffer) {
  std::lock_guard guard(m_BoardGuard);
  if (!okApi().okUsbFrontPanel_ReadFromBlockPipeOut) return kOkUnsupportedFeature;
  const long got = okApi().okUsbFrontPanel_ReadFromBlockPipeOut(m_hBoard, kPipeData,
                                                                static_cast<int>(blockSize), length, buffer);
  // A library claiming more than was asked for would push the counters past the buffer.
  return std::min(got, length);
}

bool CScanDataPort::WaitForDataBufferFull() {
  for (int poll = 0; poll < 100; ++poll) {
    SleepMs(100);
    if (ReadWireOut(kOutBufferFlags) & kDataBufferFull) return true;
  }
  return false;
}

// ---- scan data -----------------------------------------------------------------------------

long CScanDataPort::GetScanData(unsigned char* buffer, long bufferSize, long expected) {
  // Polling a closed port would show its "not available" box on every poll.
  if (!IsPortOpen()) {
    LogError("<DataPort::GetScanData> Port is not open!");
    throw PortStatusNotConnected;
  }
  CScanDataPortBusyClaim busy(*this, "GetScanData");
  if (!busy.claim()) {
    LogError("<DataPort::GetScanData> Port is busy!");
    throw PortStatusBusy;
  }
  if (expected <= 0) {
    LogError("<DataPort::GetScanData> Invalid expected data amount to read!");
    throw PortStatusInvalidParameter;
  }
  if (!buffer || bufferSize < expected) {
    LogError("<DataPort::GetScanData> Not enough data buffer provided!");
    throw PortStatusBufferTooSmall;
  }
  std::memset(buffer, 0, static_cast<std::size_t>(bufferSize));

  const bool firstPacket = !m_bFirstScanPacketReceived;
  long available = 0;
  int polls = 0;
  while (polls < 100) {
    available = GetAvailableDataByteCnt();
    ++polls;
    if (firstPacket && polls == 1)
      LogDebug(
          1, "<DataPort::GetScanData> Detected %d bytes scan data available for the first packet [first try]",
          static_cast<int>(available));
    if (available >= expected) break;
    if (m_bAbort) {
      LogInfo("<DataPort::GetScanData> Got the ABORT flag when waiting for data available...");
      return 0;
    }
    SleepMs(100);
  }
  const int waitedMs = polls * 100;
  if (firstPacket)
    LogDebug(1,
             "<DataPort::GetScanData> Detected total %d bytes scan data available for the first packet "
             "[waited for %d ms]",
             static_cast<int>(available), waitedMs);
  long toRead = expected;
  if (available < expected) {
    LogWarning(
        "<DataPort::GetScanData> Not enough data available: expacted = %d, available = %d [waited for %d "
        "ms], get "
        "whatever the available data anyway...",
        static_cast<int>(expected), static_cast<int>(available), waitedMs);
    toRead = std::max(available, 0L);
  }

  long total = 0;
  while (total < toRead) {
    if (m_bAbort) {
      LogInfo(
          "<DataPort::GetScanData> Got the ABORT flag during reading data... [AskToRead = %ld, Available = "
          "%d, "
          "TotalRead = %ld]",
          expected, static_cast<int>(available), total);
      break;
    }
    const long remaining = toRead - total;
    const long block = BlockSizeFor(remaining);
    const long got = ReadPipe(block, remaining / block * block, buffer + total);
    if (got <= 0) {
      const std::string text =
          got == 0 ? std::string("<DataPort::GetScanData> Read data failed - Bogus, 0 byte data read!")
                   : ReadErrorText("<DataPort::GetScanData> ", got);
      LogError("%s", text.c_str());
      LogDebug(1, "<DataPort::GetScanData> Read data failed: expacted = %d, available = %d received = %d",
               static_cast<int>(expected), static_cast<int>(available), static_cast<int>(total));
      throw PortStatusReceiveFailed;
    }
    if (!m_bFirstScanPacketReceived.exchange(true))
      LogDebug(1, "<DataPort::GetScanData> Got first packet of scan data [%ld bytes]", got);
    total += got;
  }
  return total;
}

// ---- measuring samples ---------------------------------------------------------------------------

long CScanDataPort::GetSampleData(unsigned char* buffer, long count) {
  CScanDataPortBusyClaim busy(*this, "GetSampleData");
  if (!busy.claim()) {
    LogError("<DataPort::GetSampleData> Port is busy!");
    throw PortStatusBusy;
  }
  if (!buffer) {
    LogError("<DataPort::GetSampleData> Not enough data buffer provided!");
    throw PortStatusBufferTooSmall;
  }
  if (count < 1) {
    LogError("<DataPort::GetSampleData> Invalid expected data amount to read!");
    throw PortStatusInvalidParameter;
  }
  std::memset(buffer, 0, static_cast<std::size_t>(count));
  if (!WaitForDataBufferFull()) {
    LogError("<DataPort::GetSampleData> Failed to wait for reading sample data!");
    throw PortStatusWaitTimeout;
  }
  count = std::min(count, kMaxSampleBytes);
  const long blocks = (count + kMiB - 1) / kMiB;
  const long remainder = count % kMiB;
  // The board sends whole MiB blocks; the part of the last one that the caller's buffer
  // has no room for lands here and is dropped.
  std::vector<unsigned char> bounce;
  long counted = 0;
  for (long b = 0; b < blocks; ++b) {
    const bool partial = b == blocks - 1 && remainder != 0;
    if (partial) bounce.assign(static_cast<std::size_t>(kMiB), 0);
    unsigned char* target = partial ? bounce.data() : buffer + counted;
    const long got = ReadPipe(1024, kMiB, target);
    if (got < 0) {
      LogError("%s", ReadErrorText("<DataPort::GetSampleData> ", got).c_str());
      throw PortStatusReceiveFailed;
    }
    if (partial) {
      const long keep = std::min(got, remainder);
      std::memcpy(buffer + counted, bounce.data(), static_cast<std::size_t>(keep));
      counted += keep;
    } else {
      counted += got;
    }
  }
  return counted;
}

// ---- the test pattern ----------------------------------------------------------------------------

long CScanDataPort::ReadPipeBlocks(unsigned char* buffer, long length, bool stopOnAbort, long* lastResult) {
  long total = 0;
  *lastResult = 1;
  while (total < length) {
    if (stopOnAbort && m_bAbort) break;
    const long remaining = length - total;
    const long chunk = remaining >= kMiB ? kMiB : remaining;
    const long block = chunk == kMiB ? 1024 : BlockSizeFor(chunk);
    const long got = ReadPipe(block, chunk / block * block, buffer + total);
    *lastResult = got;
    if (got <= 0) break;
    total += got;
  }
  return total;
}

long CScanDataPort::GetFakeData(unsigned char* buffer, long count) {
  if (!buffer || count < 1) {
    platform::ui::messageBox("No data buffer provided!");
    return 0;
  }
  CScanDataPortBusyClaim busy(*this, "GetFakeData");
  if (!busy.claim()) {
    LogError("<DataPort::GetFakeData> Port is busy!");
    return 0;
  }
  std::memset(buffer, 0, static_cast<std::size_t>(count));
  if (!InitRunMode(eFakeData, 0)) return 0;
  if (!WaitForDataBufferFull()) {
    platform::ui::messageBox("Failed to wait for reading fake data!");
    return 0;
  }
  count = std::min(count, kMaxSampleBytes);
  long last = 0;
  const long total = ReadPipeBlocks(buffer, count, true, &last);
  if (last < 0) platform::ui::messageBox(FakeReadErrorText(last));
  return total;
}

long CScanDataPort::ReadFakeData(bool bSaveData) {
  CScanDataPortBusyClaim busy(*this, "ReadFakeData");
  if (!busy.claim()) {
    LogError("<DataPort::ReadFakeData> Port is busy!");
    return 0;
  }
  if (!InitRunMode(eFakeData, 0)) return 0;
  if (!WaitForDataBufferFull()) {
    platform::ui::messageBox("Failed to wait for reading fake data!");
    return 0;
  }
  std::vector<unsigned char> data(0x8000);
  const long got = ReadPipe(1024, static_cast<long>(data.size()), data.data());
  if (got < 0) {
    platform::ui::messageBox(FakeReadErrorText(got));
    return 0;
  }
  if (bSaveData && got > 0) {
    const std::string path = DataFile("OK_FakeData.dmp");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file || std::fwrite(data.data(), 1, static_cast<std::size_t>(got), file.get()) !=
                     static_cast<std::size_t>(got))
      LogError("<DataPort::ReadFakeData> Failed to write %s", path.c_str());
  }
  return got;
}

// ---- the measuring family -----------------------------------------------------------------------------

bool CScanDataPort::GetMeasuringData(long numSamples, unsigned samplingMode, unsigned char* buffer,
                                     long bufferSize) {
  if (numSamples < 1) {
    LogDebug(1, "<DataPort::GetMeasuringData> Specified number (%d) of sample is invalied!",
             static_cast<int>(numSamples));
    return false;
  }
  // Compared before multiplying, so a huge count cannot wrap into a small one.
  if (numSamples > kMaxSamples) {
    LogDebug(1, "<DataPort::GetMeasuringData> Asked number (%d) of sample is over the maximum!",
             static_cast<int>(numSamples));
    return false;
  }
  if (!buffer || bufferSize < numSamples * 4) {
    LogDebug(1, "<DataPort::GetMeasuringData> Provided data buffer is not enough for read!");
    return false;
  }
  // The run-mode switch and the read belong together: another thread's switch in between
  // would hand this one the other's samples.
  AccessHold access(*this);
  if (!access.held()) {
    LogDebug(1, "<DataPort::GetMeasuringData> Port is busy!");
    throw PortStatusBusy;
  }
  if (!IsReady()) {
    LogDebug(1, "<DataPort::GetMeasuringData> Port is not ready!");
    return false;
  }
  if (m_bBusy) {
    LogDebug(1, "<DataPort::GetMeasuringData> Port is busy!");
    throw PortStatusBusy;
  }
  if (!InitRunMode(eMeasuringData, samplingMode)) return false;
  GetSampleData(buffer, numSamples * 4);
  return true;
}

unsigned char* CScanDataPort::GetMeasuringData(long numSamples, unsigned samplingMode) {
  // The buffer is the port's: another thread's larger request would replace it mid-read.
  AccessHold access(*this);
  if (!access.held()) {
    LogDebug(1, "<DataPort::GetMeasuringData> Port is busy!");
    return nullptr;
  }
  if (numSamples >= 1 && numSamples <= kMaxSamples) {
    const auto bytes = static_cast<std::size_t>(numSamples) * 4;
    try {
      if (m_SampleBuffer.size() < bytes) m_SampleBuffer.resize(bytes);
    } catch (const std::bad_alloc&) {
      LogError("Failed to allocate memory for measuring data");
      return nullptr;
    }
    std::fill_n(m_SampleBuffer.begin(), bytes, 0);
  }
  if (!GetMeasuringData(numSamples, samplingMode, m_SampleBuffer.data(),
                        static_cast<long>(m_SampleBuffer.size())))
    return nullptr;
  return m_SampleBuffer.data();
}

bool CScanDataPort::StatsOf(long numSamples, unsigned samplingMode, int groupFactor, int& saturated,
                            double& hiAve, double& hiStDev, double& loAve, double& loStDev,
                            const char* dumpFile) {
  // Held until the statistics are done with the port's buffer.
  AccessHold access(*this);
  if (!access.held()) {
    LogDebug(1, "<DataPort::GetMeasuringData> Port is busy!");
    return false;
  }
  const unsigned char* data = GetMeasuringData(numSamples, samplingMode);
  if (!data) return false;
  return RawArrayStats(data, numSamples * 4, groupFactor, hiAve, hiStDev, loAve, loStDev, saturated,
                       dumpFile);
}

bool CScanDataPort::GetMeasuringStats(long numSamples, unsigned samplingMode, int groupFactor, int& saturated,
                                      double& hiAve, double& hiStDev, double& loAve, double& loStDev,
                                      const char* dumpFile) {
  return StatsOf(numSamples, samplingMode, groupFactor, saturated, hiAve, hiStDev, loAve, loStDev, dumpFile);
}

namespace {
// Sampling modes of the raw family, red / green.
constexpr unsigned kRaw = 0, kGain = 1, kOffset = 2, kGated = 8, kGreen = 4;
unsigned Mode(unsigned base, bool green) { return base | (green ? kGreen : 0); }
}  // namespace

bool CScanDataPort::GetRawData(long n, bool g, unsigned char* b, long s) {
  return GetMeasuringData(n, Mode(kRaw, g), b, s);
}
unsigned char* CScanDataPort::GetRawData(long n, bool g) { return GetMeasuringData(n, Mode(kRaw, g)); }
bool CScanDataPort::GetRawGainData(long n, bool g, unsigned char* b, long s) {
  return GetMeasuringData(n, Mode(kGain, g), b, s);
}
unsigned char* CScanDataPort::GetRawGainData(long n, bool g) { return GetMeasuringData(n, Mode(kGain, g)); }
bool CScanDataPort::GetRawOffsetData(long n, bool g, unsigned char* b, long s) {
  return GetMeasuringData(n, Mode(kOffset, g), b, s);
}
unsigned char* CScanDataPort::GetRawOffsetData(long n, bool g) {
  return GetMeasuringData(n, Mode(kOffset, g));
}
bool CScanDataPort::GetRawGatedData(long n, bool g, unsigned char* b, long s) {
  return GetMeasuringData(n, Mode(kGated, g), b, s);
}
unsigned char* CScanDataPort::GetRawGatedData(long n, bool g) { return GetMeasuringData(n, Mode(kGated, g)); }

bool CScanDataPort::GetRawDataStats(long n, bool g, int gf, int& sat, double& hiAve, double& hiStDev,
                                    double& loAve, double& loStDev, const char* dump) {
  return StatsOf(n, Mode(kRaw, g), gf, sat, hiAve, hiStDev, loAve, loStDev, dump);
}

bool CScanDataPort::GetRawDataStats(long n, bool g, int gf, RawDataStatsInfo* st, const char* dump) {
  if (!st) return false;
  return StatsOf(n, Mode(kRaw, g), gf, st->bIsSaturated, st->dHiAve, st->dHiStDev, st->dLoAve, st->dLoStDev,
                 dump);
}

#define PELLUX_RAW_STATS(Name, base)                                                              \
  bool CScanDataPort::Name(long n, bool g, int gf, double& hiAve, double& hiStDev, double& loAve, \
                           double& loStDev, const char* dump) {                                   \
    int saturated = 0;                                                                            \
    return StatsOf(n, Mode(base, g), gf, saturated, hiAve, hiStDev, loAve, loStDev, dump);        \
  }                                                                                               \
  bool CScanDataPort::Name(long n, bool g, int gf, RawDataStatsInfo* st, const char* dump) {      \
    if (!st) return false;                                                                        \
    return Name(n, g, gf, st->dHiAve, st->dHiStDev, st->dLoAve, st->dLoStDev, dump);              \
  }
PELLUX_RAW_STATS(GetRawGainStats, kGain)
PELLUX_RAW_STATS(GetRawOffsetStats, kOffset)
PELLUX_RAW_STATS(GetRawGatedStats, kGated)
#undef PELLUX_RAW_STATS

// ---- statistics -----------------------------------------------------------------------------------

bool RawArrayStats(const unsigned char* data, long byteCount, int groupFactor, double& hiAve, double& hiStDev,
                   double& loAve, double& loStDev, int& saturated, const char* /*dumpFile*/) {
  hiAve = hiStDev = loAve = loStDev = 0;
  saturated = 0;
  if (!data || groupFactor < 1 || byteCount < 0) return false;
  const long groupSize = static_cast<long>(groupFactor) * 44;
  const long groups = (byteCount / 4) / groupSize;
  if (groups < 2) return false;  // a standard deviation needs two groups

  double sumHi = 0, sumLo = 0, squaresHi = 0, squaresLo = 0;
  const unsigned char* p = data;
  for (long g = 0; g < groups; ++g) {
    std::int64_t lo = 0, hi = 0;
    for (long i = 0; i < groupSize; ++i, p += 4) {
      const unsigned low = p[0] | ((p[1] & 0x3Fu) << 8);
      const unsigned high = p[2] | ((p[3] & 0x3Fu) << 8);
      if (high >= 16383) saturated = 1;
      lo += low;
      hi += high;
    }
    const double meanLo = static_cast<double>(lo) / static_cast<double>(groupSize);
    const double meanHi = static_cast<double>(hi) / static_cast<double>(groupSize);
    sumLo += meanLo;
    sumHi += meanHi;
    squaresLo += meanLo * meanLo;
    squaresHi += meanHi * meanHi;
  }
  const double n = static_cast<double>(groups);
  hiAve = sumHi / n;
  loAve = sumLo / n;
  // Rounding can leave the difference a hair below zero for equal means.
  hiStDev = std::sqrt(std::max(0.0, (squaresHi - n * hiAve * hiAve) / (n - 1)));
  loStDev = std::sqrt(std::max(0.0, (squaresLo - n * loAve * loAve) / (n - 1)));
  hiAve *= 4.0;
  hiStDev *= 4.0;
  loAve *= 4.0;
  loStDev *= 4.0;
  return true;
}
