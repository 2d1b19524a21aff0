#pragma once
// Scan data processing: while the instrument scans, a read thread pulls raw blocks from
// the scan-data port (IScanCtrl::SDPGetData) into a 320 MiB ring, and a write thread takes
// whole scan lines out of it, checks each line's header, turns each pixel's integration
// sums into calibrated red and green values, registers the two channels and adds the lines
// to the scan image's channel files. Both report to a status window with WM_USER+300.
// At the end the line offset (DDN) of each channel is measured and the image closed and
// merged. Scan preparation (GetStatsSummary, PrepareScan) fills the calibration first.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Movrak/IScanCtrl.h"
#include "Tessary/MultiChannelTiffHandler.h"
#include "platform/com.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "run/ScanDataRing.h"

namespace lumetra::run {

// WM_USER+300 and its codes (wParam).
inline constexpr unsigned WM_SCANDATA_PROGRESS = platform::WM_USER + 300;
enum ScanDataMessage : unsigned {
  kScanDataStarted = 1,
  kScanDataProgress = 2,
  kScanDataDone = 3,
  kScanDataAborted = 4,
  kScanDataFailed = 5,
};
// Status codes of a failure (lParam of kScanDataFailed).
enum ScanDataStatus : int {
  kDataStatusOK = 0,
  kDataStatusInvalidHeader = 1,
  kDataStatusIncomplete = 2,
  kDataStatusNoValidLine = 3,
  kDataStatusNoDiskSpace = 4,
  kDataStatusWriteFailed = 5,
  kDataStatusOverflow = 6,
  kDataStatusReadFailed = 7,
};

class CScanDataProc {
 public:
  static constexpr std::uint32_t kHeaderBytes = 32;
  static constexpr std::uint32_t kPixelBytes = 8;
  static constexpr std::uint32_t kMaxRequest = 0x100000;     // 1 MiB per port read
  static constexpr std::uint32_t kPortOverflow = 0x1800000;  // 24 MiB waiting on the port
  static constexpr int kReadRetries = 400;
  static constexpr int kWriteWaits = 5600;  // of 10 ms without a new line
  static constexpr int kDefaultLineSlots = 50;

  // Holds a reference on `scanCtrl` (may be null). An empty label stands for the default
  // temporary image folder.
  CScanDataProc(IScanCtrl* scanCtrl, const std::string& label,
                CScanDataRing::Geometry ring = CScanDataRing::Geometry{});
  // Stops and joins the data threads if they still run (they use this object's buffers).
  ~CScanDataProc();
  CScanDataProc(const CScanDataProc&) = delete;
  CScanDataProc& operator=(const CScanDataProc&) = delete;

  // ---- set-up ----------------------------------------------------------------------------
  int SetupRunMode(unsigned int runMode, unsigned int samplingMode);
  // Throws the TIFF library's text (std::string) when the files cannot be created.
  void CreateTiff(const char* file, unsigned long pixelsPerLine, unsigned long lines, int channels,
                  int xMicrons, int yMicrons, bool highDynamicRange, bool splitAndRotate, bool compress);
  void SetBarcode(const char* text) { m_Tiff.SetBarcode(text); }
  void SetScanStatus(const char* text) { m_Tiff.SetScanStatus(text); }
  void SetPercentAutoFocusHold(double value) { m_Tiff.SetPercentAutoFocusHold(value); }
  void SetGlassThickness(double value) { m_Tiff.SetGlassThickness(value); }
  void SetDyxScanIDInfo(const char* scanId, int pass) { m_Tiff.SetDyxScanIDInfo(scanId, pass); }
  void SetBinning(unsigned int x, unsigned int y) { m_Tiff.SetBinning(x, y); }
  // Line resolution (y) and pixel size (x) of the scan in micrometres (before GetStatsSummary).
  void SetLineResolution(int microns) { m_nLineResolution = microns; }
  void SetPixelSizeX(int microns) { m_nPixelSizeX = microns; }
  int GetLineResolution() const { return m_nLineResolution; }
  int GetPixelSizeX() const { return m_nPixelSizeX; }

  // ---- scan preparation ------------------------------------------------------------------
  int GetStatsSummary();
  int SetRawDataStats(long sampleCount, long green);
  int SetRawOffsetStats(long sampleCount, long green);
  int SetRawGainStats(long sampleCount, long green);
  int PrepareScan(int lines, int pixelsPerLine, bool averagedPair, unsigned int samplingMode);

  // ---- the scan --------------------------------------------------------------------------
  // Receive-thread body: remembers the status window (may be null) and starts the scan.
  void DoRecvScanData(platform::Window* statusWindow);
  // Derives the decoding offsets, resets the counters and starts the read thread (and, in
  // scan mode, the write thread).
  void StartScan();
  void DoGetDataJob(bool notify);
  void DoProcessLines();
  // Waits for the write thread, measures the DDN and closes the image (merging it); may
  // throw CNetworkFailedRedirected. 0 when saved (or nothing to save), else the failure.
  int CloseAndSaveScan();
  void CloseAndRemoveScan();
  // The last CloseAndSaveScan removed the image instead of saving it: the scan never
  // started, wrote no line past the lead-in, or was aborted while split and rotated.
  bool WasImageRemoved() const { return m_bImageRemoved; }
  void SetAbort(bool abort);
  static std::string GetStatusText(int code);

  bool IsDoneReading() const { return m_bReadDone.load(); }
  bool IsDoneWriting() const { return m_bWriteDone.load(); }
  // The first failure the data threads reported in this scan (kDataStatusOK when none).
  int GetFailureStatus() const { return m_nFailure.load(); }
  // Blocks until both threads have finished (clock wait; kInfinite: no limit).
  bool WaitUntilDone(std::chrono::milliseconds timeout = platform::kInfinite);
  // The same for the read thread alone and for the write thread alone.
  bool WaitUntilDoneReading(std::chrono::milliseconds timeout) { return m_ReadDoneEvent.wait(timeout); }
  bool WaitUntilDoneWriting(std::chrono::milliseconds timeout) { return m_WriteDoneEvent.wait(timeout); }
  bool IsAborted() const { return m_bAbort.load(); }

  MultiChannelTiffHandler& GetTiffHandler() { return m_Tiff; }
  TiffHandler* GetTiffByChannel(int i) { return m_Tiff.GetTiffByChannel(i); }
  int GetChannelCount() const { return m_nChannels; }

  // ---- what the scan did (for the run, logs and tests) -------------------------------------
  std::int64_t GetExpectedBytes() const { return m_nExpectedBytes; }
  std::int64_t GetReceivedBytes() const { return m_nReceived.load(); }
  std::int64_t GetProcessedBytes() const { return m_nProcessed.load(); }
  int GetLinesConsidered() const { return m_nLinesConsidered.load(); }
  int GetLinesWritten() const { return m_nLinesWritten.load(); }
  int GetLinesSkipped() const { return m_nLinesSkipped; }
  int GetZeroPowerLines() const { return m_nZeroPowerLines; }
  int GetLeadInLines() const;
  int GetRedLineDelay() const { return m_nRedLineDelay; }
  std::uint32_t GetLineLength() const { return m_nLineLength; }
  int GetLineSlotCount() const { return static_cast<int>(m_LineSlots.size()); }
  std::array<std::uint16_t, 4> GetLaserPowerRange() const {  // red min, red max, green min, green max
    return {m_nRedMin, m_nRedMax, m_nGreenMin, m_nGreenMax};
  }
  // DDN sums and counts: [channel 0 red, 1 green][0 forward, 1 backward].
  double GetDDNSum(int channel, int backward) const { return m_DDNSum[channel][backward]; }
  int GetDDNCount(int channel, int backward) const { return m_DDNCount[channel][backward]; }

  // Calibration values (filled by the preparation; public for the run's logs and tests).
  struct Colour {
    double rawMean = 0, rawStDev = 0, adjustedRawMean = 0;
    double offsetLevel = 0, offsetLevelLow = 0;  // dark per integration count, normal and low gain
    double gainLevel = 0, gainLevelLow = 0;
    double lowGainRatio = 1.0;
    double channelOffset = 0;
    double decodeOffset = 0, decodeOffsetLow = 0;  // derived by StartScan
    float referencePower = 0;
  };
  Colour m_Red, m_Green;
  std::int32_t m_nRedGreenOffsetH = 0, m_nRedGreenOffsetV = 0, m_nOddEvenOffset = 0;
  int m_nRedBaseOffsetV = 50;  // micrometres

 private:
  struct Header {
    std::uint16_t lineNumber = 0, direction = 0;
    std::uint32_t pixels = 0;
    std::uint16_t greenPower = 0, redPower = 0;
  };
  void Post(unsigned code, std::intptr_t value);
  void Send(unsigned code, std::intptr_t value);
  void NoteFailure(unsigned code, std::intptr_t value);
  void AbortPort(const char* why);
  // Read thread, scan mode; the raw modes.
  void ReadScanData();
  void ReadRawData(bool notify);
  // One port read into the ring; false after a failure (reported).
  bool ReadIntoRing(std::uint32_t request, std::uint32_t& got);
  bool PortByteCount(std::uint32_t& count);
  // Waits for the write thread to make room (at most 50 ms); the retries it stands for.
  int WaitForRoom();
  std::chrono::nanoseconds m_RoomWaited{};
  void Overflow(std::uint32_t onPort);
  // Write thread.
  void DecodeLine(const std::uint8_t* line, const Header& header, int record);
  void WriteLine(int row);
  bool FileZeroIsGreen();
  int StatsFetch(const char* function, const char* kind, long sampleCount, long green);

  platform::com::ComPtr<IScanCtrl> m_pScanCtrl;
  platform::Window* m_pStatusWindow = nullptr;
  MultiChannelTiffHandler m_Tiff;
  CScanDataRing m_Ring;

  unsigned m_nRunMode = 1;
  std::atomic<bool> m_bAbort{false};
  std::atomic<bool> m_bReadDone{true};
  std::atomic<bool> m_bWriteDone{true};
  std::atomic<int> m_nFailure{0};
  bool m_bScanStarted = false;
  platform::Event m_DataEvent{false};            // auto reset: the ring got bytes, or reading ended
  platform::Event m_RoomEvent{false};            // auto reset: the write thread took a line
  platform::Event m_DoneEvent{true, true};       // manual: set while no data thread runs
  platform::Event m_WriteDoneEvent{true, true};  // manual: set while no write thread runs
  platform::Event m_ReadDoneEvent{true, true};   // manual: set while no read thread runs
  platform::Thread m_ReadThread, m_WriteThread;

  // Geometry.
  int m_nLines = 0;
  int m_nPixels = 0;
  int m_nLineResolution = 5;
  int m_nPixelSizeX = 5;
  bool m_bAveragedPair = false;
  std::uint32_t m_nLineLength = 0;
  int m_nRedLineDelay = 0;

  // Counters.
  std::int64_t m_nExpectedBytes = 0;
  std::atomic<std::int64_t> m_nReceived{0}, m_nProcessed{0};
  std::atomic<std::uint32_t> m_nLeftOnPort{0};
  std::atomic<int> m_nLinesConsidered{0}, m_nLinesWritten{0};
  bool m_bImageRemoved = false;  // run thread only
  int m_nRecordsConsidered = 0;
  std::atomic<int> m_nLinesSkipped{0};
  Header m_Header;
  std::uint16_t m_nRedMin = 65535, m_nRedMax = 0, m_nGreenMin = 65535, m_nGreenMax = 0;
  int m_nZeroPowerLines = 0;
  std::vector<int> m_WaitStats;

  // Line slots (even entries green, odd red) and the two channel lines.
  int m_nLineSlots = kDefaultLineSlots;
  std::vector<std::vector<std::uint32_t>> m_LineSlots;
  std::vector<std::uint32_t> m_GreenLine, m_RedLine;
  bool m_bWriteFailed = false;
  bool m_bFileZeroGreen = false;

  double m_DDNSum[2][2] = {};
  int m_DDNCount[2][2] = {};

  int m_nChannels = 0;
  bool m_bDecimatedSet = false, m_bSplitAndRotate = false, m_bCompress = false;
};

}  // namespace lumetra::run
