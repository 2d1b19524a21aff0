// A data job on a worker thread (or, for the measuring forms, on the caller's), reporting
// to a window.
#include "Pellux/ScanlineProc.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "Pellux/ScanDataPort.h"
#include "PortInternal.h"

using namespace pellux;

namespace {

constexpr std::uint64_t kReadChunk = 1024 * 1024;  // progress at least once per MiB
constexpr int kMaxRetries = 10;

// The given name with its extension replaced by "data"; the fallback when there is no
// name or the result is too short to be one.
std::string OutputName(const char* fileName, const std::string& fallback) {
  if (!fileName || !*fileName) return fallback;
  std::string name = fileName;
  ChangeExtension(name, "data");
  return name.size() < 5 ? fallback : name;
}

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Ends a claim on the object's one job, also when the job throws.
class JobClaim {
 public:
  explicit JobClaim(std::atomic<bool>& flag) : flag_(flag), owned_(!flag.exchange(true)) {}
  ~JobClaim() {
    if (owned_) flag_ = false;
  }
  bool owned() const { return owned_; }
  JobClaim(const JobClaim&) = delete;
  JobClaim& operator=(const JobClaim&) = delete;

 private:
  std::atomic<bool>& flag_;
  bool owned_;
};

}  // namespace

CScanlineProc::CScanlineProc() = default;

CScanlineProc::~CScanlineProc() {
  if (m_bJobRunning) SetAbort(true);
  (void)m_Worker.join();  // never its own thread: the join cannot fail
}

void CScanlineProc::Post(std::uintptr_t wParam, std::int64_t lParam) const {
  // Posted, never sent: the worker must not wait for the window's thread.
  if (m_pWindow) m_pWindow->post(kMessage, wParam, static_cast<std::intptr_t>(lParam));
}

bool CScanlineProc::AllocateDataBuffer() {
  if (m_pDataBuffer) return true;
  try {
    m_pDataBuffer = std::make_unique_for_overwrite<unsigned char[]>(kDataBufferSize);
    return true;
  } catch (const std::bad_alloc&) {
    LogError("<ScanlineProc::SetupRunMode> Failed to allocate the data buffer");
    return false;
  }
}

bool CScanlineProc::SetupRunMode(eDataModeType mode, unsigned samplingMode) {
  if (!AllocateDataBuffer()) return false;
  m_bAbort = false;
  return m_pPort && m_pPort->InitRunMode(mode, samplingMode);
}

bool CScanlineProc::SetupScan(CScanDataPort* port, int lines, int pixels, const char* fileName,
                              unsigned samplingMode) {
  if (m_bJobRunning || !port || !port->IsPortOpen() || lines < 1 || pixels < 1) return false;
  m_pPort = port;
  m_eRunMode = eScanData;
  m_strFileName = OutputName(fileName, DataFile("ScanData.data"));
  if (pixels != m_nPixels) m_LineBuffer.assign(static_cast<std::size_t>(pixels) * 2, 0);
  m_nLines = lines;
  m_nPixels = pixels;
  m_nReceived = 0;
  m_nBufferPos = 0;
  m_dProgress = 0.0;
  m_nLineBytes = 8ULL * static_cast<std::uint64_t>(pixels) + 32;
  m_nExpected = static_cast<std::uint64_t>(lines) * m_nLineBytes;
  return SetupRunMode(eScanData, samplingMode);
}

std::string CScanlineProc::DefaultMeasuringName(unsigned long count, unsigned samplingMode) const {
  std::string channel = (samplingMode & 0x04) ? "Green" : "Red";
  if (samplingMode & 0x08) channel += "_Gated";
  if (samplingMode & 0x01) channel += "_Gain";
  if (samplingMode & 0x02) channel += "_Offset";
  return DataFile(FormatText("Raw_%s_%d.data", channel.c_str(), static_cast<int>(count)));
}

bool CScanlineProc::SetupData(CScanDataPort* port, unsigned long count, const char* fileName,
                              eDataModeType mode, unsigned samplingMode) {
  if (m_bJobRunning || !port || !port->IsPortOpen()) return false;
  if (mode == eMeasuringData) {
    // The count is checked before it is multiplied.
    if (count < 1 || count > kMaxMeasuringBytes / 4) return false;
    m_nExpected = static_cast<std::uint64_t>(count) * 4;
    m_strFileName = OutputName(fileName, DefaultMeasuringName(count, samplingMode));
  } else if (mode == eFakeData) {
    m_nExpected = kDataBufferSize;
    m_strFileName =
        OutputName(fileName, DataFile(FormatText("TestFakeData_%ld.data", static_cast<long>(m_nExpected))));
  } else {
    return false;
  }
  m_pPort = port;
  m_eRunMode = mode;
  m_nReceived = 0;
  m_nBufferPos = 0;
  m_dProgress = 0.0;
  return SetupRunMode(mode, samplingMode);
}

void CScanlineProc::SetAbort(bool bAbort) {
  m_bAbort = bAbort;
  if (m_pPort) m_pPort->SetAbort(bAbort);
}

void CScanlineProc::SetPixelSize(int x, int y) {
  m_nPixelSize[0] = x;
  m_nPixelSize[1] = y;
}

// ---- the job ----------------------------------------------------------------------------------

CScanlineProc::Outcome CScanlineProc::DoGetDataJob(unsigned char* target, std::uint64_t capacity) {
  if (!m_pPort || !target) return {kJobAborted, 0};
  FilePtr file(nullptr, std::fclose);
  if (m_bSaveToFile) {
    file.reset(std::fopen(m_strFileName.c_str(), "wb"));
    if (!file) {
      LogError("ScanlineProc::DoGetDataJob: Failed to open the output file %s", m_strFileName.c_str());
      return {kJobAborted, 0};
    }
  }
  m_nBufferPos = 0;
  if (m_eRunMode == eFakeData) {
    m_nExpected = kDataBufferSize;
    m_nReceived = 0;
  } else if (m_eRunMode == eMeasuringData) {
    m_nExpected = std::min(m_nExpected, kMaxMeasuringBytes);
    m_nReceived = 0;
  }
  const std::uint64_t expected = m_nExpected;
  int retries = 0;
  while (m_nReceived < expected && retries <= kMaxRetries) {
    if (m_bAbort) return {kJobAborted, m_nReceived};
    const std::uint64_t room = capacity > m_nBufferPos ? capacity - m_nBufferPos : 0;
    if (room == 0) {
      SleepMs(500);
      ++retries;
      continue;
    }
    retries = 0;
    std::uint64_t asked = 0;
    long got = 0;
    unsigned char* at = target + m_nBufferPos;
    switch (m_eRunMode) {
      case eScanData:
        asked = std::min({expected - m_nReceived, kReadChunk, room});
        got = m_pPort->GetScanData(at, static_cast<long>(asked), static_cast<long>(asked));
        break;
      case eMeasuringData:
        asked = std::min(expected, room);
        got = m_pPort->GetSampleData(target, static_cast<long>(asked));
        at = target;
        break;
      case eFakeData:
        asked = std::min(expected - m_nReceived, room);
        got = m_pPort->GetFakeData(at, static_cast<long>(asked));
        break;
    }
    if (got < 1) {
      if (m_bAbort) return {kJobAborted, m_nReceived};  // the read stopped for the abort
      LogDebug(1,
               "The Scan Data Port didn't receive any data we expected for one-read (expected = %lu). No "
               "more waitting!",
               static_cast<unsigned long>(asked));
      break;
    }
    const auto bytes = static_cast<std::uint64_t>(got);
    if (file) {
      if (std::fwrite(at, 1, bytes, file.get()) != bytes) {
        LogError("ScanlineProc::DoGetDataJob: Failed to write the output file %s", m_strFileName.c_str());
        return {kJobAborted, m_nReceived};
      }
    } else if (m_eRunMode != eMeasuringData) {
      m_nBufferPos += bytes;
    } else {
      m_nBufferPos = bytes;
    }
    m_nReceived += bytes;
    m_dProgress = expected ? static_cast<double>(m_nReceived) / static_cast<double>(expected) : 1.0;
    const std::uint64_t progress =
        m_eRunMode == eScanData && m_nLineBytes ? m_nReceived / m_nLineBytes : m_nReceived.load();
    Post(kJobProgress, static_cast<std::int64_t>(progress));
    if (bytes < asked) {
      LogDebug(1,
               "The Scan Data Port didn't receive the amount data we expected for one-read (expected = %lu, "
               "recved = %lu).",
               static_cast<unsigned long>(asked), static_cast<unsigned long>(bytes));
      SleepMs(500);
    }
  }
  if (m_eRunMode == eScanData)
    LogDebug(1, "ScanlineProc::DoGetDataJob: ExpectToGet = %lu, TotalRecved = %lu, LeftOnPort = %lu",
             static_cast<unsigned long>(expected), static_cast<unsigned long>(m_nReceived.load()),
             static_cast<unsigned long>(m_pPort->GetAvailableDataByteCnt()));
  else if (m_eRunMode == eMeasuringData)
    LogDebug(1, "ScanlineProc::DoGetDataJob (raw data): ExpectToGet = %lu, TotalRecved = %lu",
             static_cast<unsigned long>(expected), static_cast<unsigned long>(m_nReceived.load()));
  if (file && std::fclose(file.release()) != 0) {
    LogError("ScanlineProc::DoGetDataJob: Failed to write the output file %s", m_strFileName.c_str());
    return {kJobAborted, m_nReceived};
  }
  return {kJobDone, m_nReceived};
}

bool CScanlineProc::StartClaimedJob() {
  (void)m_Worker.join();  // the previous job's thread, already past its last message
  m_dProgress = 0.0;
  if (m_eRunMode == eScanData) {
    m_nReceived = 0;
    m_nBufferPos = 0;
  }
  Post(kJobStarted, 0);
  const bool started = m_Worker.start(
      [this](platform::Event&) -> std::uint32_t {
        Outcome outcome{kJobAborted, 0};
        try {
          outcome = DoGetDataJob(m_pDataBuffer.get(), kDataBufferSize);
        } catch (PortStatus status) {
          LogError("ScanlineProc::DoGetDataJob: Reading from the Scan Data Port failed [PortStatus = %d]",
                   static_cast<int>(status));
          outcome = {kJobAborted, m_nReceived};
        } catch (...) {
          LogError("ScanlineProc::DoGetDataJob: Reading from the Scan Data Port failed - unknown error");
          outcome = {kJobAborted, m_nReceived};
        }
        // The job is over before its last message, so a window reacting to it may start
        // the next one at once.
        platform::Window* window = m_pWindow;
        m_bJobRunning = false;
        if (window) window->post(kMessage, outcome.wParam, static_cast<std::intptr_t>(outcome.bytes));
        return 0;
      },
      "ScanlineProc");
  if (!started) {
    LogError("<ScanlineProc> Failed to start the data job thread");
    m_bJobRunning = false;
    Post(kJobAborted, 0);
  }
  return started;
}

bool CScanlineProc::DoRecvScanData(platform::Window* window, bool saveToFile) {
  if (m_bJobRunning.exchange(true)) {
    LogDebug(1, "<ScanlineProc::DoRecvScanData> A data job is already running");
    return false;
  }
  m_pWindow = window;
  m_bSaveToFile = saveToFile;
  return StartClaimedJob();
}

bool CScanlineProc::StartScan() {
  if (m_bJobRunning.exchange(true)) return false;
  return StartClaimedJob();
}

// ---- the measuring forms -------------------------------------------------------------------------

bool CScanlineProc::PrepareMeasuring(CScanDataPort* port, unsigned long count, unsigned samplingMode,
                                     const char* fileName, bool saveToFile) {
  if (!port || !port->IsReady()) return false;
  if (count < 1 || count > kMaxMeasuringBytes / 4) return false;
  m_pPort = port;
  m_eRunMode = eMeasuringData;
  m_nExpected = static_cast<std::uint64_t>(count) * 4;
  m_bSaveToFile = saveToFile;
  if (saveToFile) m_strFileName = OutputName(fileName, DefaultMeasuringName(count, samplingMode));
  return true;
}

bool CScanlineProc::RunMeasuring(unsigned samplingMode, unsigned char* target, std::uint64_t capacity) {
  for (int retry = 0; retry < 2; ++retry) {
    std::string failure;
    if (!SetupRunMode(eMeasuringData, samplingMode)) {
      failure = "Failed to setup RUN mode";
    } else {
      try {
        const Outcome outcome =
            DoGetDataJob(target ? target : m_pDataBuffer.get(), target ? capacity : kDataBufferSize);
        Post(outcome.wParam, static_cast<std::int64_t>(outcome.bytes));
        if (outcome.wParam == kJobDone) return true;
        failure = "Unknown error";
      } catch (PortStatus status) {
        failure = FormatText("Error code = %d", static_cast<int>(status));
      } catch (...) {
        failure = "Unknown error";
      }
    }
    LogDebug(1, "<CScanlineProc::GetMeasuringData> Failed to get measuring data: %s, [retry = %d]",
             failure.c_str(), retry);
  }
  return false;
}

bool CScanlineProc::GetMeasuringData(CScanDataPort* port, unsigned long count, unsigned samplingMode,
                                     const char* fileName) {
  JobClaim claim(m_bJobRunning);
  if (!claim.owned() || !PrepareMeasuring(port, count, samplingMode, fileName, true)) return false;
  if (!RunMeasuring(samplingMode, nullptr, 0)) return false;
  double hiAve = 0, hiStDev = 0, loAve = 0, loStDev = 0;
  int saturated = 0;
  RawArrayStats(m_pDataBuffer.get(), static_cast<long>(m_nReceived.load()), m_nPixelSize[0], hiAve, hiStDev,
                loAve, loStDev, saturated, nullptr);
  LogDebug(1,
           "Stats info for %s: HiMean = %.3f, HiStDev = %.3f, LoMean = %.3f, LoStDev = %.3f [Simples = %ld]",
           m_strFileName.c_str(), hiAve, hiStDev, loAve, loStDev, static_cast<long>(count));
  return true;
}

unsigned char* CScanlineProc::GetMeasuringData(CScanDataPort* port, unsigned long count,
                                               unsigned samplingMode) {
  JobClaim claim(m_bJobRunning);
  if (!claim.owned() || !PrepareMeasuring(port, count, samplingMode, nullptr, false)) return nullptr;
  return RunMeasuring(samplingMode, nullptr, 0) ? m_pDataBuffer.get() : nullptr;
}

bool CScanlineProc::GetMeasuringData(CScanDataPort* port, unsigned long count, unsigned samplingMode,
                                     unsigned char* buffer, unsigned long bufferSize) {
  JobClaim claim(m_bJobRunning);
  if (!claim.owned() || !PrepareMeasuring(port, count, samplingMode, nullptr, false)) return false;
  if (!buffer || bufferSize < static_cast<unsigned long>(m_nExpected)) return false;
  return RunMeasuring(samplingMode, buffer, bufferSize);
}

namespace {
constexpr unsigned kRaw = 0, kGain = 1, kOffset = 2, kGreen = 4;
unsigned Mode(unsigned base, bool green) { return base | (green ? kGreen : 0); }
}  // namespace

bool CScanlineProc::GetRawData(CScanDataPort* p, unsigned long n, bool g, const char* f) {
  return GetMeasuringData(p, n, Mode(kRaw, g), f);
}
unsigned char* CScanlineProc::GetRawData(CScanDataPort* p, unsigned long n, bool g) {
  return GetMeasuringData(p, n, Mode(kRaw, g));
}
bool CScanlineProc::GetRawData(CScanDataPort* p, unsigned long n, bool g, unsigned char* b, unsigned long s) {
  return GetMeasuringData(p, n, Mode(kRaw, g), b, s);
}
bool CScanlineProc::GetRawGainData(CScanDataPort* p, unsigned long n, bool g, const char* f) {
  return GetMeasuringData(p, n, Mode(kGain, g), f);
}
unsigned char* CScanlineProc::GetRawGainData(CScanDataPort* p, unsigned long n, bool g) {
  return GetMeasuringData(p, n, Mode(kGain, g));
}
bool CScanlineProc::GetRawGainData(CScanDataPort* p, unsigned long n, bool g, unsigned char* b,
                                   unsigned long s) {
  return GetMeasuringData(p, n, Mode(kGain, g), b, s);
}
bool CScanlineProc::GetRawOffsetData(CScanDataPort* p, unsigned long n, bool g, const char* f) {
  return GetMeasuringData(p, n, Mode(kOffset, g), f);
}
unsigned char* CScanlineProc::GetRawOffsetData(CScanDataPort* p, unsigned long n, bool g) {
  return GetMeasuringData(p, n, Mode(kOffset, g));
}
bool CScanlineProc::GetRawOffsetData(CScanDataPort* p, unsigned long n, bool g, unsigned char* b,
                                     unsigned long s) {
  return GetMeasuringData(p, n, Mode(kOffset, g), b, s);
}

bool CScanlineProc::StatsOf(CScanDataPort* port, unsigned long count, unsigned samplingMode,
                            RawDataStatsInfo* stats) {
  if (!stats) return false;
  const unsigned char* data = GetMeasuringData(port, count, samplingMode);
  if (!data) return false;
  return RawArrayStats(data, static_cast<long>(count) * 4, m_nPixelSize[0], stats->dHiAve, stats->dHiStDev,
                       stats->dLoAve, stats->dLoStDev, stats->bIsSaturated, nullptr);
}

bool CScanlineProc::GetRawDataStats(CScanDataPort* p, unsigned long n, bool g, RawDataStatsInfo* s) {
  return StatsOf(p, n, Mode(kRaw, g), s);
}
bool CScanlineProc::GetRawGainStats(CScanDataPort* p, unsigned long n, bool g, RawDataStatsInfo* s) {
  return StatsOf(p, n, Mode(kGain, g), s);
}
bool CScanlineProc::GetRawOffsetStats(CScanDataPort* p, unsigned long n, bool g, RawDataStatsInfo* s) {
  return StatsOf(p, n, Mode(kOffset, g), s);
}

// ---- scan lines ------------------------------------------------------------------------------------

void CScanlineProc::ReadLineHeader(const unsigned char* data, std::uint64_t offset,
                                   ScanLineDataHeader* header) {
  if (!header || !data) throw std::runtime_error("Internal Error");
  const unsigned char* p = data + offset;
  if (p[0] != 0xFF || p[1] != 0x33 || p[2] != 0x11 || p[3] != 0x01)
    throw std::runtime_error("Magic header mismatch");
  // The board sends its words low byte first.
  for (int i = 0; i < 4; ++i)
    header->wWords[i] = static_cast<std::uint16_t>(p[4 + 2 * i] | (p[5 + 2 * i] << 8));
  header->dwValue = p[12] | (static_cast<std::uint32_t>(p[13]) << 8) |
                    (static_cast<std::uint32_t>(p[14]) << 16) | (static_cast<std::uint32_t>(p[15]) << 24);
}

bool CScanlineProc::ProcessLine(std::uint64_t line) {
  if (!m_pDataBuffer || m_nPixels < 1 || m_eRunMode != eScanData || m_bSaveToFile) return false;
  const std::uint64_t offset = line * m_nLineBytes;
  if (line >= static_cast<std::uint64_t>(m_nLines) || offset + m_nLineBytes > m_nBufferPos) return false;
  ScanLineDataHeader header;
  ReadLineHeader(m_pDataBuffer.get(), offset, &header);
  const unsigned char* pixel = m_pDataBuffer.get() + offset + 32;
  for (int i = 0; i < m_nPixels; ++i, pixel += 8) {
    // The pixel's first word: count in bits 0-9, flags in bits 15 and 14; then the
    // readings A and B as the next two words.
    const unsigned word = pixel[0] | (pixel[1] << 8);
    const unsigned count = word & 0x03FF;
    const double a = pixel[2] | (pixel[3] << 8);
    const double b = pixel[4] | (pixel[5] << 8);
    std::int32_t first = 0, second = 0;
    if (count != 0) {  // no integration, no value
      const double c = count;
      first = static_cast<std::int32_t>((word & 0x8000) ? (a + 100.4) * 0.096 * 128 / c
                                                        : (a - 6.2) * 1.01 * 128 / c);
      second = static_cast<std::int32_t>((word & 0x4000) ? 128 / c * (b - 23.1) * 0.1 : 128 / c * (b - 4.1));
    }
    m_LineBuffer[2 * static_cast<std::size_t>(i)] = first;
    m_LineBuffer[2 * static_cast<std::size_t>(i) + 1] = second;
  }
  return true;
}
