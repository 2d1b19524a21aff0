#include "run/ScanDataProc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "platform/clock.h"
#include "run/ComError.h"

namespace lumetra::run {

using namespace std::chrono_literals;
using platform::com::ComError;

namespace {

constexpr std::uint8_t kMagic[4] = {0xFF, 0x33, 0x11, 0x01};
constexpr std::uint32_t kMax20Bit = 0xFFFFF;
// Windows thread priorities, as the logs have always shown them.
constexpr int kTimeCriticalPriority = 15;
constexpr int kHighestPriority = 2;

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// One colour's decoding for one line: value = factor x (sum - dark x count) x gain / count
// + offset, rounded, within 0 and the 20 bits an image sample can hold. Computed as
// sum x (factor x gain / count) + (offset + 0.5 - factor x gain x dark): a line has one
// integration count in practice, so the division is made once per count, not per pixel.
class SampleDecoder {
 public:
  SampleDecoder(double laserFactor, double dark, double gain, double offset)
      : scale_(laserFactor * gain), base_(offset + 0.5 - laserFactor * gain * dark) {}
  std::uint32_t operator()(std::uint32_t sum, std::uint32_t count) {
    if (count != count_) {
      count_ = count;
      perSum_ = scale_ / count;
    }
    const double v = static_cast<double>(sum) * perSum_ + base_;
    if (!(v >= 1.0)) return 0;  // below zero, or not a number
    return v >= kMax20Bit ? kMax20Bit : static_cast<std::uint32_t>(v);
  }

 private:
  double scale_, base_;
  std::uint32_t count_ = 0;
  double perSum_ = 0;
};

}  // namespace

CScanDataProc::CScanDataProc(IScanCtrl* scanCtrl, const std::string& label, CScanDataRing::Geometry ring)
    : m_Tiff(label.empty() ? MultiChannelTiffHandler::GetTempScanPath() : label), m_Ring(ring) {
  if (scanCtrl) {
    scanCtrl->AddRef();
    m_pScanCtrl = platform::com::ComPtr<IScanCtrl>(scanCtrl);
  }
}

CScanDataProc::~CScanDataProc() {
  // The threads work in this object's ring and buffers: they must end before it goes.
  if (m_ReadThread.running() || m_WriteThread.running()) {
    m_bAbort = true;
    if (m_pScanCtrl) m_pScanCtrl->SDPSetAbort(1);
    m_DataEvent.set();
  }
  // Neither thread destroys the processor: the joins cannot fail.
  (void)m_ReadThread.join();
  (void)m_WriteThread.join();
}

// ---------------------------------------------------------------- messages

void CScanDataProc::Post(unsigned code, std::intptr_t value) {
  NoteFailure(code, value);
  if (m_pStatusWindow) m_pStatusWindow->post(WM_SCANDATA_PROGRESS, code, value);
}

void CScanDataProc::Send(unsigned code, std::intptr_t value) {
  NoteFailure(code, value);
  if (m_pStatusWindow) m_pStatusWindow->send(WM_SCANDATA_PROGRESS, code, value);
}

// The scan learns of a failure from this object too: a posted report may still be queued
// at the status window (or there may be none) when the scan asks whether its data is whole.
void CScanDataProc::NoteFailure(unsigned code, std::intptr_t value) {
  if (code != kScanDataFailed) return;
  int none = kDataStatusOK;
  m_nFailure.compare_exchange_strong(
      none, value != kDataStatusOK ? static_cast<int>(value) : kDataStatusReadFailed);
}

std::string CScanDataProc::GetStatusText(int code) {
  switch (code) {
    case kDataStatusOK:
      return "Data processing status OK";
    case kDataStatusInvalidHeader:
      return "Received a line with an invalid header in the middle of the scan";
    case kDataStatusIncomplete:
      return "Expecting more data -- scan is not complete";
    case kDataStatusNoValidLine:
      return "Never received a valid data packet containing a scanline";
    case kDataStatusNoDiskSpace:
      return "Not enough disk space to write the scan file";
    case kDataStatusWriteFailed:
      return "Failed to write to the scan file";
    case kDataStatusOverflow:
      return "Scanner generating data too fast for PC (Scanner buffer overflow). Partial scan created.";
    case kDataStatusReadFailed:
      return "Failed to read scan data off the instrument -- Connection Failure. Partial scan created.";
    default:
      return "Unknown data processing status code";
  }
}

// ---------------------------------------------------------------- set-up

int CScanDataProc::SetupRunMode(unsigned int runMode, unsigned int samplingMode) {
  try {
    if (!m_Ring.Allocate()) {
      LogError("<ScanFataProc::SetupRunMode> Failed to allocate DataBuffer");
      return 0;
    }
  } catch (...) {
    LogError("<ScanFataProc::SetupRunMode> Failed to allocate DataBuffer -- exception generated");
    return 0;
  }
  m_bAbort = false;
  if (!m_pScanCtrl) return 0;
  IScanCtrl::BOOL32 result = 0;
  CheckScanCtrl(m_pScanCtrl->SDPInitRunMode(runMode, samplingMode, &result));
  return result;
}

void CScanDataProc::CreateTiff(const char* file, unsigned long pixelsPerLine, unsigned long lines,
                               int channels, int xMicrons, int yMicrons, bool highDynamicRange,
                               bool splitAndRotate, bool compress) {
  const int depth = highDynamicRange ? 32 : 16;
  const bool decimatedSet = highDynamicRange || (xMicrons < 5 && !splitAndRotate);
  m_nChannels = channels;
  m_bDecimatedSet = decimatedSet;
  m_bSplitAndRotate = highDynamicRange ? false : splitAndRotate;
  m_bCompress = compress;
  m_Tiff.CreateTiff(file, pixelsPerLine, lines, depth, channels, xMicrons, yMicrons, decimatedSet);
}

int CScanDataProc::GetLeadInLines() const { return m_nLineResolution > 0 ? 50 / m_nLineResolution : 0; }

void CScanDataProc::SetAbort(bool abort) {
  m_bAbort = abort;
  if (abort) m_DataEvent.set();
  if (m_pScanCtrl) CheckScanCtrl(m_pScanCtrl->SDPSetAbort(abort ? 1 : 0));
}

void CScanDataProc::AbortPort(const char* where) {
  m_bAbort = true;
  m_DataEvent.set();
  if (!m_pScanCtrl) return;
  try {
    CheckScanCtrl(m_pScanCtrl->SDPSetAbort(1));
  } catch (const ComError& e) {
    LogError("%s Failed to tell the Scan Data Port to abort: %s", where, FormatComError(e).c_str());
  }
}

// ---------------------------------------------------------------- the scan

void CScanDataProc::DoRecvScanData(platform::Window* statusWindow) {
  LogInfo("DoRecvScanData: Get current thread's priority = %d [ThreadId = %ld]", 0,
          platform::currentThreadId());
  m_pStatusWindow = statusWindow;
  StartScan();
}

void CScanDataProc::StartScan() {
  // Threads of the previous scan have ended (both done flags were set); let them go. The
  // scan is never started on one of them: the joins cannot fail.
  (void)m_ReadThread.join();
  (void)m_WriteThread.join();

  for (Colour* c : {&m_Red, &m_Green}) {
    c->decodeOffset = c->channelOffset - (c->rawMean - c->offsetLevel);
    c->decodeOffsetLow = c->channelOffset - (c->rawMean - c->offsetLevelLow);
  }
  m_nReceived = 0;
  m_nProcessed = 0;
  m_nLeftOnPort = 0;
  m_nLinesConsidered = 0;
  m_nLinesWritten = 0;
  m_nRecordsConsidered = 0;
  m_nLinesSkipped = 0;
  m_nRedMin = m_nGreenMin = 65535;
  m_nRedMax = m_nGreenMax = 0;
  m_nZeroPowerLines = 0;
  for (auto& row : m_DDNSum) row[0] = row[1] = 0;
  for (auto& row : m_DDNCount) row[0] = row[1] = 0;
  m_bWriteFailed = false;
  m_nFailure = kDataStatusOK;
  m_Ring.Reset();
  m_WaitStats.assign(static_cast<std::size_t>(std::max(0, m_nLines + GetLeadInLines())), 0);
  m_DataEvent.reset();
  m_RoomEvent.reset();
  m_RoomWaited = {};
  m_bScanStarted = true;
  m_bReadDone = false;
  m_ReadDoneEvent.reset();
  m_bWriteDone = m_nRunMode != 1;
  if (!m_bWriteDone) m_WriteDoneEvent.reset();
  m_DoneEvent.reset();

  Send(kScanDataStarted, 0);

  const auto ended = [this] {
    if (m_bReadDone && m_bWriteDone) m_DoneEvent.set();
  };
  const bool readStarted = m_ReadThread.start(
      [this, ended](platform::Event&) -> std::uint32_t {
        try {
          DoGetDataJob(false);
        } catch (const std::exception& e) {
          LogError("<CScanDataProc::DoGetDataJob> Unexpected failure: %s", e.what());
        } catch (...) {
          LogError("<CScanDataProc::DoGetDataJob> Unexpected failure");
        }
        m_bReadDone = true;
        m_ReadDoneEvent.set();
        m_DataEvent.set();
        ended();
        return 0;
      },
      "ScanDataRead");
  if (!readStarted) {
    // Nothing will read: stand for the thread so that every wait on it ends.
    LogError("<CScanDataProc::StartScan> Failed to start the read thread.");
    m_bAbort = true;
    m_bReadDone = true;
    m_ReadDoneEvent.set();
    Post(kScanDataFailed, kDataStatusReadFailed);
  }
  // The real-time class is asked for per thread here: Linux schedules threads, not processes.
  const platform::Scheduling readScheduling =
      m_ReadThread.raiseToRealTime(platform::ThreadPriority::timeCritical);
  LogInfo("<CScanDataProc::StartScan> Starting Read Thread: priority = %d, ThreadId = %ld",
          kTimeCriticalPriority, m_ReadThread.id());
  if (m_nRunMode == 1) {
    const bool writeStarted = m_WriteThread.start(
        [this, ended](platform::Event&) -> std::uint32_t {
          try {
            DoProcessLines();
          } catch (const std::exception& e) {
            LogError("<CScanDataProc::DoProcessLines> Unexpected failure: %s", e.what());
          } catch (...) {
            LogError("<CScanDataProc::DoProcessLines> Unexpected failure");
          }
          m_bWriteDone = true;
          m_WriteDoneEvent.set();
          ended();
          return 0;
        },
        "ScanDataWrite");
    if (!writeStarted) {
      LogError("<CScanDataProc::StartScan> Failed to start the write thread.");
      m_bAbort = true;
      m_DataEvent.set();
      m_bWriteDone = true;
      m_WriteDoneEvent.set();
      Post(kScanDataFailed, kDataStatusWriteFailed);
      ended();
    }
    const platform::Scheduling writeScheduling =
        m_WriteThread.raiseToRealTime(platform::ThreadPriority::highest);
    LogInfo("<CScanDataProc::StartScan> Starting Write Thread: priority = %d, ThreadId = %ld",
            kHighestPriority, m_WriteThread.id());
    LogInfo("<CScanDataProc::StartScan> Scheduling obtained: read thread %s, write thread %s",
            readScheduling.describe().c_str(), writeScheduling.describe().c_str());
  } else {
    LogInfo("<CScanDataProc::StartScan> Scheduling obtained: read thread %s",
            readScheduling.describe().c_str());
    ended();
  }
}

bool CScanDataProc::WaitUntilDone(std::chrono::milliseconds timeout) { return m_DoneEvent.wait(timeout); }

// ---------------------------------------------------------------- read thread

void CScanDataProc::DoGetDataJob(bool notify) {
  if (m_nRunMode == 1)
    ReadScanData();
  else
    ReadRawData(notify);
}

bool CScanDataProc::PortByteCount(std::uint32_t& count) {
  try {
    IScanCtrl::ULONG n = 0;
    CheckScanCtrl(m_pScanCtrl->SDPGetAvailableByteCnt(&n));
    count = n;
    m_nLeftOnPort = n;
    return true;
  } catch (const ComError& e) {
    LogError("<ScanDataProc::DoGetDataJob> Failed to ask the Scan Data Port for its byte count: %s",
             FormatComError(e).c_str());
  }
  AbortPort("<ScanDataProc::DoGetDataJob>");
  Post(kScanDataFailed, kDataStatusReadFailed);
  return false;
}

bool CScanDataProc::ReadIntoRing(std::uint32_t request, std::uint32_t& got) {
  got = 0;
  const std::span<std::uint8_t> room = m_Ring.WriteSpan();
  // The port clears the whole buffer it is given: hand it only what this read may fill.
  const auto size = static_cast<IScanCtrl::LONG>(std::min<std::size_t>(request, room.size()));
  try {
    IScanCtrl::ULONG n = 0;
    CheckScanCtrl(m_pScanCtrl->SDPGetData(1, room.data(), size, size, &n));
    got = std::min<std::uint32_t>(n, static_cast<std::uint32_t>(size));
    return true;
  } catch (const ComError& e) {
    LogError("<ScanDataProc::DoGetDataJob> After receiving %lld bytes, reading scan data failed: %s",
             static_cast<long long>(m_nReceived.load()), FormatComError(e).c_str());
  }
  AbortPort("<ScanDataProc::DoGetDataJob>");
  Post(kScanDataFailed, kDataStatusReadFailed);
  return false;
}

int CScanDataProc::WaitForRoom() {
  // A retry is 50 ms of waiting; the wait ends early when the write thread takes a line,
  // and the time waited so far counts towards the next retry.
  const auto start = platform::steadyNow();
  (void)m_RoomEvent.wait(50ms);  // the time waited counts, not why the wait ended
  m_RoomWaited += platform::steadyNow() - start;
  const auto retries = static_cast<int>(m_RoomWaited / 50ms);
  m_RoomWaited -= retries * std::chrono::nanoseconds(50ms);
  return retries;
}

void CScanDataProc::Overflow(std::uint32_t onPort) {
  LogError(
      "Buffer Overflow: PC is not keeping up with scanner -- aborting scan (Scanner has %lu bytes in its "
      "buffer)",
      static_cast<unsigned long>(onPort));
  AbortPort("<ScanDataProc::DoGetDataJob>");
  Post(kScanDataFailed, kDataStatusOverflow);
}

void CScanDataProc::ReadScanData() {
  if (!m_pScanCtrl) return;
  const auto logState = [this](const char* text) {
    LogInfo("%s ExpectToGet = %lld, TotalRecved = %lld, TotalProcessed = %lld, LeftOnPort = %lld", text,
            static_cast<long long>(m_nExpectedBytes), static_cast<long long>(m_nReceived.load()),
            static_cast<long long>(m_nProcessed.load()), static_cast<long long>(m_nLeftOnPort.load()));
  };
  int fullLogged = -1;
  const auto bufferFull = [this, &fullLogged](int retry) {
    const int at = retry == 0 ? 0 : (retry >= kReadRetries - 1 ? kReadRetries - 1 : -1);
    if (at < 0 || at == fullLogged) return;
    fullLogged = at;
    LogWarning(
        "WriteTest Failed -- buffer FULL TotalBytesRecved = %lld, TotalBytesProcessed = %lld, "
        "LeftOnOpalKelly = "
        "%lu;  Retried %d times",
        static_cast<long long>(m_nReceived.load()), static_cast<long long>(m_nProcessed.load()),
        static_cast<unsigned long>(m_nLeftOnPort.load()), retry);
  };

  int retry = 0;
  bool first = true;
  bool overflow = false;
  while (m_nReceived < m_nExpectedBytes && retry < kReadRetries) {
    if (m_bAbort) {
      Send(kScanDataAborted, m_nLinesWritten);
      logState("<ScanDataProc::DoGetDataJob> Abort: ");
      return;
    }
    std::uint32_t onPort = 0;
    if (!first && !m_Ring.HasRoom()) {
      bufferFull(retry);
      retry += WaitForRoom();
      if (!PortByteCount(onPort)) return;
      if (onPort > kPortOverflow) {
        Overflow(onPort);
        overflow = true;
        break;
      }
      continue;
    }
    std::int64_t request = m_nExpectedBytes - m_nReceived;
    if (m_nLinesSkipped > 0 && request <= 0x200000) request += std::int64_t{m_nLinesSkipped} * m_nLineLength;
    request = std::min<std::int64_t>(request, kMaxRequest);

    std::uint32_t got = 0;
    if (!ReadIntoRing(static_cast<std::uint32_t>(request), got)) return;
    if (!PortByteCount(onPort)) return;
    if (first)
      LogInfo(
          "<ScanDataProc::DoGetDataJob> Received first data packet, there is now %lu bytes left to read on "
          "OK "
          "board.",
          static_cast<unsigned long>(onPort));
    first = false;
    if (got > 0) {
      m_Ring.Advance(got);
      m_DataEvent.set();
      if (onPort > kPortOverflow) {
        m_nReceived += got;
        Overflow(onPort);
        overflow = true;
        break;
      }
    }
    if (got < 1 && m_bAbort) continue;  // the port gave up on the abort: reported at the top
    if (got < 1) {
      LogError(
          "<ScanDataProc::DoGetDataJob> After receiving %lld bytes, the Scan Data Port failed to retrieve "
          "any of the "
          "data we expected for current request (expected = %lu). Aborting Scan.",
          static_cast<long long>(m_nReceived.load()), static_cast<unsigned long>(request));
      AbortPort("<ScanDataProc::DoGetDataJob>");
      Post(kScanDataFailed, kDataStatusReadFailed);
      return;
    }
    m_nReceived += got;
    if (got < request) {
      LogInfo(
          "The Scan Data Port didn't receive the amount data we expected for one-read (expected = %lu, "
          "recved = "
          "%lu).",
          static_cast<unsigned long>(request), static_cast<unsigned long>(got));
      platform::sleepFor(500ms);
    } else if (onPort < std::min<std::int64_t>(kMaxRequest, m_nExpectedBytes - m_nReceived)) {
      // Less than the next read waits on the port: give it time to gather. With more
      // waiting, reading on at once keeps the port's own buffer low.
      platform::sleepFor(10ms);
    }
  }

  // The scanner may send more than the lines expected (lines it repeated or skipped).
  if (!overflow && m_nLeftOnPort > 0 && m_nProcessed < m_nExpectedBytes) {
    platform::sleepFor(50ms);
    LogInfo("<ScanDataProc::DoGetDataJob> Getting Extra Bytes");
    std::uint32_t onPort = m_nLeftOnPort;
    while (onPort > 0 && m_nProcessed < m_nExpectedBytes && retry < kReadRetries) {
      if (m_bAbort) {
        Send(kScanDataAborted, m_nLinesWritten);
        logState("<ScanDataProc::DoGetDataJob> ABORTED: ");
        return;
      }
      if (!m_Ring.HasRoom()) {
        bufferFull(retry);
        retry += WaitForRoom();
        if (!PortByteCount(onPort)) return;
        if (onPort > kPortOverflow) {
          Overflow(onPort);
          break;
        }
        continue;
      }
      const auto request = static_cast<std::uint32_t>(
          std::min<std::int64_t>({m_nExpectedBytes - m_nProcessed, std::int64_t{onPort}, kMaxRequest}));
      std::uint32_t got = 0;
      if (!ReadIntoRing(request, got)) return;
      platform::sleepFor(1ms);
      if (!PortByteCount(onPort)) return;
      if (got == 0) break;
      m_Ring.Advance(got);
      m_DataEvent.set();
      m_nReceived += got;
      if (onPort > kPortOverflow) {
        Overflow(onPort);
        break;
      }
    }
  }
  logState("<ScanDataProc::DoGetDataJob> Ending: ");
}

void CScanDataProc::ReadRawData(bool notify) {
  if (!m_pScanCtrl) return;
  const std::int64_t capacity = static_cast<std::int64_t>(m_Ring.GetGeometry().capacity);
  const std::int64_t expected =
      m_nRunMode == 0
          ? capacity
          : std::min<std::int64_t>(m_nExpectedBytes > 0 ? m_nExpectedBytes : 0x2000000, 0x2000000);
  if (notify) Send(kScanDataStarted, 0);
  try {
    if (m_nRunMode == 2) {
      const std::span<std::uint8_t> room = m_Ring.WriteSpan();
      const auto size = static_cast<IScanCtrl::LONG>(std::min<std::int64_t>(expected, std::ssize(room)));
      IScanCtrl::ULONG got = 0;
      CheckScanCtrl(m_pScanCtrl->SDPGetData(2, room.data(), size, 0, &got));
      m_nReceived = std::min<std::int64_t>(got, size);
      if (notify) Send(kScanDataProgress, static_cast<std::intptr_t>(m_nReceived.load()));
    } else if (m_nRunMode == 0) {
      while (m_nReceived < expected && !m_bAbort) {
        const std::span<std::uint8_t> room = m_Ring.WriteSpan();
        // The port refuses an empty buffer: it is handed the room there is.
        const auto size = static_cast<IScanCtrl::LONG>(
            std::min<std::int64_t>({expected - m_nReceived, std::ssize(room), std::int64_t{0x7FFFFFFF}}));
        if (size <= 0) break;
        IScanCtrl::ULONG got = 0;
        CheckScanCtrl(m_pScanCtrl->SDPGetData(0, room.data(), size, 0, &got));
        const std::int64_t n = std::min<std::int64_t>(got, size);
        if (n <= 0) break;
        m_Ring.Advance(static_cast<std::size_t>(n));
        m_nReceived += n;
        if (notify) Send(kScanDataProgress, static_cast<std::intptr_t>(m_nReceived.load()));
      }
    }
  } catch (const ComError& e) {
    LogError("<ScanDataProc::DoGetDataJob> Reading raw data failed: %s", FormatComError(e).c_str());
    AbortPort("<ScanDataProc::DoGetDataJob>");
    Post(kScanDataFailed, kDataStatusReadFailed);
    return;
  }
  LogInfo("<ScanDataProc::DoGetDataJob>: (raw data): ExpectToGet = %lld, TotalRecved = %lld",
          static_cast<long long>(expected), static_cast<long long>(m_nReceived.load()));
  if (notify) Send(kScanDataDone, static_cast<std::intptr_t>(m_nReceived.load()));
}

// ---------------------------------------------------------------- write thread

bool CScanDataProc::FileZeroIsGreen() {
  int channel = 0;
  TiffHandler* file0 = m_Tiff.GetTiffByChannel(0);
  return file0 && file0->IsOpen() && file0->GetPMTChannel(channel) == 0 && channel == kGreenPMT;
}

void CScanDataProc::DoProcessLines() {
  const int leadIn = GetLeadInLines();
  const auto pixels = static_cast<std::size_t>(std::max(m_nPixels, 0));
  std::vector<std::uint8_t> line(m_nLineLength + 1);
  m_GreenLine.assign(pixels, 0);
  m_RedLine.assign(pixels, 0);
  m_bFileZeroGreen = FileZeroIsGreen();
  const int progressEvery = std::max(1, static_cast<int>(m_nLines * 0.02));
  const bool pairs = m_bAveragedPair || m_nLineResolution == 10;
  bool sawGoodLine = false;
  int waits = 0;

  const auto writePending = [&] {
    while (m_nLinesWritten < m_nLinesConsidered) {
      WriteLine(m_nLinesWritten);
      const int written = ++m_nLinesWritten;
      if (written > leadIn && (written - leadIn) % progressEvery == 0)
        Post(kScanDataProgress, written - leadIn);
    }
  };

  while (waits < kWriteWaits && !m_bAbort) {
    if (m_nLineLength > 0 && m_Ring.IsAvailable(m_nLineLength)) {
      const int record = m_nRecordsConsidered;
      if (record >= 0 && static_cast<std::size_t>(record) < m_WaitStats.size())
        m_WaitStats[static_cast<std::size_t>(record)] = waits;
      waits = 0;
      // Always the expected length: a bad header must not decide how much is skipped.
      m_Ring.Take({line.data(), m_nLineLength});
      m_RoomEvent.set();
      const std::uint8_t* h = line.data();
      Header header;
      header.lineNumber = U16(h + 4);
      header.direction = U16(h + 6);
      header.pixels = U32(h + 8);
      header.greenPower = U16(h + 12);
      header.redPower = U16(h + 14);
      m_Header = header;
      const bool magicOK = std::memcmp(h, kMagic, sizeof kMagic) == 0;
      const bool lineOK = magicOK && header.pixels == pixels;
      if (!magicOK) {
        LogError("Failed to Read Magic Number at %lld of %lld bytes to process",
                 static_cast<long long>(m_nProcessed.load()), static_cast<long long>(m_nExpectedBytes));
        AbortPort("<CScanDataProc>DoProcessLines::");
      }
      if (record < 4)
        LogInfo(
            "TEMPORARY LOG MESSAGE:  Debug log message to sanity check scanline direction. Scanner has "
            "Processed "
            "%d lines.  LineOK is %d. Line Direction is %d ",
            record, lineOK ? 1 : 0, header.direction);
      if (lineOK) {
        m_nProcessed += m_nLineLength;
        DecodeLine(line.data(), header, record);
        sawGoodLine = true;
        m_nRecordsConsidered = record + 1;
        m_nLinesConsidered = pairs ? m_nRecordsConsidered / 2 : m_nRecordsConsidered;
      } else if (magicOK && !sawGoodLine) {
        const int skipped = ++m_nLinesSkipped;
        LogInfo(
            "<CScanDataProc>DoProcessLines:: Skipping line because the line header didn't contain the proper "
            "number of pixels. Scanner is attempting to process line %d ",
            record);
        LogInfo(
            "<CScanDataProc>DoProcessLines:: The suspect header contains 'LineNumber' as %d, 'Direction' as "
            "%d, "
            "'GreenLaserPower' as %d 'RedLaserPower' as %d and 'pixelsPerLine' as %d",
            header.lineNumber, header.direction, header.greenPower, header.redPower,
            static_cast<int>(header.pixels));
        LogInfo(
            "<CScanDataProc>DoProcessLines:: Scanner is expecting to process %d bytes and received a line "
            "with %d "
            "bytes",
            static_cast<int>(m_nLineLength),
            static_cast<int>(std::min<std::uint64_t>(
                std::uint64_t{header.pixels} * kPixelBytes + kHeaderBytes, 0x7FFFFFFF)));
        if (skipped > 10) {
          AbortPort("<CScanDataProc>DoProcessLines::");
          LogError("Scan Failed -- too many skipped lines -- no scan generated");
          Post(kScanDataFailed, kDataStatusNoValidLine);
        }
      } else {
        LogError("Scan Failed -- Header data invalid on scanline '%d'",
                 std::max(m_nLinesConsidered.load() - leadIn, 0) + 1);
        AbortPort("<CScanDataProc>DoProcessLines::");
        Post(kScanDataFailed, kDataStatusInvalidHeader);
      }
    } else {
      // Reading has ended and no whole line is left: none will come.
      if (m_bReadDone && !m_Ring.IsAvailable(std::max<std::uint32_t>(m_nLineLength, 1))) break;
      const auto start = platform::steadyNow();
      (void)m_DataEvent.wait(10ms);  // the time waited counts, not why the wait ended
      const auto waited =
          std::chrono::duration_cast<std::chrono::milliseconds>(platform::steadyNow() - start);
      waits += std::max(1, static_cast<int>(waited / 10ms));
    }
    writePending();
    if (m_nProcessed >= m_nExpectedBytes) break;
  }
  writePending();

  if (waits >= kReadRetries)
    LogInfo(
        "<CScanDataProc>DoProcessLines thread timed out. It retried %d times, Considered %d lines (No Red "
        "for %d "
        "lines), Processed %d lines, Skipped (because of invalid header) %d lines. ",
        waits, m_nLinesConsidered.load(), m_nZeroPowerLines, m_nLinesWritten.load(), m_nLinesSkipped.load());

  const int beyondLeadIn = std::max(m_nLinesWritten.load() - leadIn, 0);
  if (m_bAbort) {
    Post(kScanDataProgress, beyondLeadIn);
    Post(kScanDataDone, beyondLeadIn);
  } else if (m_nLinesConsidered < m_nLines + leadIn) {
    LogError("Scan Failed -- Received and processed '%d' out of '%d' scanlines",
             std::max(m_nLinesConsidered.load() - leadIn, 0), m_nLines);
    Post(kScanDataFailed, kDataStatusIncomplete);
  } else {
    Post(kScanDataProgress, beyondLeadIn);
    Post(kScanDataDone, beyondLeadIn);
  }

  LogInfo(
      "Laser power stability measure (PD counts) for the current scan: RedMin = %d, RedMax = %d, GreenMin = "
      "%d, "
      "GreenMax = %d",
      m_nRedMin, m_nRedMax, m_nGreenMin, m_nGreenMax);
  if (m_nZeroPowerLines > 0)
    LogInfo("Laser power was calculated as zero for %d lines in the image", m_nZeroPowerLines);
  m_GreenLine = {};
  m_RedLine = {};
  LogInfo("<CScanDataProc::DoProcessLines>  done writing");
}

void CScanDataProc::DecodeLine(const std::uint8_t* line, const Header& header, int record) {
  const int n = m_nPixels;
  const int slots = static_cast<int>(m_LineSlots.size());
  if (slots == 0 || n <= 0) return;
  const bool pairs = m_bAveragedPair || m_nLineResolution == 10;
  const int row = pairs ? record / 2 : record;
  const int k = row % slots;
  const int r = (k + m_nRedLineDelay) % slots;
  const bool backward = header.direction != 0;

  // Laser normalisation against the reference powers.
  double greenFactor = 1.0, redFactor = 1.0;
  const bool zeroGreen = header.greenPower == 0, zeroRed = header.redPower == 0;
  if (!zeroGreen) {
    greenFactor = static_cast<double>(m_Green.referencePower) / header.greenPower;
    m_nGreenMin = std::min(m_nGreenMin, header.greenPower);
    m_nGreenMax = std::max(m_nGreenMax, header.greenPower);
  }
  if (!zeroRed) {
    redFactor = static_cast<double>(m_Red.referencePower) / header.redPower;
    m_nRedMin = std::min(m_nRedMin, header.redPower);
    m_nRedMax = std::max(m_nRedMax, header.redPower);
  }
  if (zeroGreen || zeroRed) {
    if (m_nZeroPowerLines < 5) {
      if (zeroRed)
        LogWarning(
            "<CScanDataProc::DoProcessLines> starting on Scanline %d the red laser power returned is 0",
            record);
      if (zeroGreen)
        LogWarning(
            "<CScanDataProc::DoProcessLines> starting on Scanline %d the green laser power returned is 0",
            record);
    }
    ++m_nZeroPowerLines;
  }

  const double pixel = m_nPixelSizeX > 0 ? m_nPixelSizeX : 1;
  const int h = static_cast<int>(m_nRedGreenOffsetH / pixel + 0.5);
  const int e = m_nLineResolution == 10 ? 0 : static_cast<int>(m_nOddEvenOffset / pixel + 0.5);
  const bool sameParity = (r % 2) == (k % 2);
  const int greenShift = backward ? e : 0;
  const int redShift = h + (backward ? (sameParity ? e : 0) : (sameParity ? 0 : e));
  std::uint32_t* greenSlot = m_LineSlots[static_cast<std::size_t>(k)].data();
  std::uint32_t* redSlot = m_LineSlots[static_cast<std::size_t>(r)].data();
  const bool average = pairs && backward;

  const Colour& g = m_Green;
  const Colour& rc = m_Red;
  SampleDecoder greenNormal(greenFactor, g.offsetLevel, 1.0, g.decodeOffset);
  SampleDecoder greenLowGain(greenFactor, g.offsetLevelLow, g.lowGainRatio, g.decodeOffsetLow);
  SampleDecoder redNormal(redFactor, rc.offsetLevel, 1.0, rc.decodeOffset);
  SampleDecoder redLowGain(redFactor, rc.offsetLevelLow, rc.lowGainRatio, rc.decodeOffsetLow);
  double greenSum = 0, redSum = 0;
  int greenCount = 0, redCount = 0;
  for (int j = 0; j < n; ++j) {
    const std::uint8_t* p = line + kHeaderBytes + static_cast<std::size_t>(j) * kPixelBytes;
    std::uint32_t count = p[0] | ((p[1] & 0x03u) << 8);
    if (count == 0) count = 50;
    const bool greenLow = (p[1] & 0x40) != 0, redLow = (p[1] & 0x80) != 0;
    const std::uint32_t greenRaw = ((std::uint32_t{p[4]} << 16) | (std::uint32_t{p[7]} << 8) | p[6]) * 4;
    const std::uint32_t redRaw = ((std::uint32_t{p[3]} << 16) | (std::uint32_t{p[2]} << 8) | p[5]) * 4;
    const std::uint32_t gv = greenLow ? greenLowGain(greenRaw, count) : greenNormal(greenRaw, count);
    const std::uint32_t rv = redLow ? redLowGain(redRaw, count) : redNormal(redRaw, count);
    const int base = backward ? n - 1 - j : j;
    const int gp = base + greenShift;
    if (gp >= 0 && gp < n) {
      std::uint32_t& dst = greenSlot[2 * gp];
      dst = average ? (dst + gv) / 2 : gv;
      greenSum += gv;
      ++greenCount;
    }
    const int rp = base + redShift;
    if (rp >= 0 && rp < n) {
      std::uint32_t& dst = redSlot[2 * rp + 1];
      dst = average ? (dst + rv) / 2 : rv;
      redSum += rv;
      ++redCount;
    }
  }
  if (!pairs) {
    const int dir = backward ? 1 : 0;
    m_DDNSum[1][dir] += greenSum / std::max(greenCount, 1);
    ++m_DDNCount[1][dir];
    m_DDNSum[0][dir] += redSum / std::max(redCount, 1);
    ++m_DDNCount[0][dir];
  }
}

void CScanDataProc::WriteLine(int row) {
  const int slots = static_cast<int>(m_LineSlots.size());
  if (slots == 0) return;
  std::vector<std::uint32_t>& slot = m_LineSlots[static_cast<std::size_t>(row % slots)];
  if (row >= GetLeadInLines() && !m_bWriteFailed) {
    const std::size_t n = m_GreenLine.size();
    for (std::size_t p = 0; p < n; ++p) {
      m_GreenLine[p] = slot[2 * p];
      m_RedLine[p] = slot[2 * p + 1];
    }
    try {
      const auto add = [this](int file, const std::vector<std::uint32_t>& values) {
        if (TiffHandler* f = m_Tiff.GetTiffByChannel(file)) f->AddScanline(values.data());
      };
      if (m_nChannels == 2) {
        add(0, m_RedLine);
        add(1, m_GreenLine);
        if (m_bDecimatedSet) {
          add(2, m_RedLine);
          add(3, m_GreenLine);
        }
      } else {
        const auto& values = m_bFileZeroGreen ? m_GreenLine : m_RedLine;
        add(0, values);
        if (m_bDecimatedSet) add(1, values);
      }
    } catch (const std::string& text) {
      LogError("%s", text.c_str());
      m_bWriteFailed = true;
      AbortPort("<CScanDataProc::DoProcessLines>");
      Send(kScanDataFailed, kDataStatusWriteFailed);
    }
  }
  // A slot holds the next line's red ahead of time; whatever a line leaves must not reach
  // the line that uses the slot next.
  std::fill(slot.begin(), slot.end(), 0u);
}

// ---------------------------------------------------------------- closing

int CScanDataProc::CloseAndSaveScan() {
  while (!m_bWriteDone) (void)m_WriteDoneEvent.wait(1000ms);  // the flag decides

  const int leadIn = GetLeadInLines();
  m_bImageRemoved = !m_bScanStarted || m_nLinesWritten <= leadIn || (m_bAbort && m_bSplitAndRotate);
  if (m_bImageRemoved) {
    m_Tiff.CloseAndRemoveScan();
    m_bScanStarted = false;
    return -1;
  }

  int noDdnCorrection = 0;
  int ddn[2] = {0, 0};
  if (m_bAveragedPair || m_nLineResolution == 10) {
    m_Tiff.SetBinning(1, 2);
    noDdnCorrection = 1;
  } else {
    const char* names[2] = {"Red", "Green"};
    for (int c = 0; c < 2; ++c) {
      // A channel without lines of one direction has no offset to measure.
      const double odd = m_DDNCount[c][1] > 0 ? m_DDNSum[c][1] / m_DDNCount[c][1] : 0.0;
      const double even = m_DDNCount[c][0] > 0 ? m_DDNSum[c][0] / m_DDNCount[c][0] : 0.0;
      ddn[c] =
          m_DDNCount[c][0] > 0 && m_DDNCount[c][1] > 0 ? static_cast<int>(std::floor(odd - even + 0.5)) : 0;
      LogInfo(
          "<CScanDataProc::CloseAndSaveScan> %s Scan image has DDN noise of OddRowAve = %.1f, EvenRowAve = "
          "%.1f",
          names[c], odd, even);
    }
    if (m_nChannels == 2)
      m_Tiff.SetScanDDNInfo(ddn[0], ddn[1]);
    else
      m_Tiff.SetScanDDNInfo(m_bFileZeroGreen ? ddn[1] : ddn[0], 0);
  }
  const int ddn1 = m_nChannels == 2 ? ddn[0] : (m_bFileZeroGreen ? ddn[1] : ddn[0]);
  const int ddn2 = m_nChannels == 2 ? ddn[1] : 0;
  m_bScanStarted = false;
  const int result =
      m_Tiff.CloseAndSaveScan(m_bCompress ? 1 : 0, noDdnCorrection, ddn1, ddn2, m_bSplitAndRotate);
  if (result != 0) Send(kScanDataFailed, kDataStatusWriteFailed);
  return result;
}

void CScanDataProc::CloseAndRemoveScan() {
  while (!m_bWriteDone) (void)m_WriteDoneEvent.wait(1000ms);  // the flag decides
  m_bScanStarted = false;
  m_Tiff.CloseAndRemoveScan();
}

}  // namespace lumetra::run
