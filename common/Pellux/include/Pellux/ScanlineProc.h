#pragma once
// One data job against a data port: sets the run mode, then reads scan lines, measuring
// samples or the test pattern into a large buffer of its own (or streams them to a file)
// on a worker thread, reporting start, progress and end to a window with
// WM_USER + 300 (wParam 1 started, 2 progress, 3 done, 4 aborted or failed).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Pellux/DataPortTypes.h"
#include "Pellux/Export.h"
#include "platform/thread.h"
#include "platform/window.h"

class CScanDataPort;

// The fields of a scan line's 32-byte header after its magic bytes FF 33 11 01: four
// 16-bit words (bytes 4-11: line number, direction, pixel count low and high) and one
// 32-bit value (bytes 12-15: green and red laser PD), low byte first as the board sends them.
struct PELLUX_API ScanLineDataHeader {
  std::uint16_t wWords[4] = {};
  std::uint32_t dwValue = 0;
};

class PELLUX_API CScanlineProc {
 public:
  static constexpr unsigned kMessage = platform::WM_USER + 300;
  static constexpr std::uint64_t kDataBufferSize = 192ULL * 1024 * 1024;
  static constexpr std::uint64_t kMaxMeasuringBytes = 32ULL * 1024 * 1024;
  enum : std::uintptr_t { kJobStarted = 1, kJobProgress = 2, kJobDone = 3, kJobAborted = 4 };

  CScanlineProc();
  virtual ~CScanlineProc();  // aborts a running job and waits for it
  CScanlineProc(const CScanlineProc&) = delete;
  CScanlineProc& operator=(const CScanlineProc&) = delete;

  // Scan job of lines x pixels (32 + 8 x pixels bytes per line); false unless the port is
  // open, both counts are at least 1 and no job runs.
  bool SetupScan(CScanDataPort* port, int lines, int pixels, const char* fileName, unsigned samplingMode);
  // Test-pattern (192 MiB) or measuring (count samples, 1 to 8,388,608) job.
  bool SetupData(CScanDataPort* port, unsigned long count, const char* fileName, eDataModeType mode,
                 unsigned samplingMode);
  // Posts wParam 1 and starts the job on a worker thread; false (nothing posted) while a
  // job runs.
  bool DoRecvScanData(platform::Window* window, bool saveToFile);
  void SetAbort(bool bAbort);
  void SetPixelSize(int x, int y);

  // Measuring jobs on the calling thread (two attempts); the port must be ready.
  bool GetMeasuringData(CScanDataPort* port, unsigned long count, unsigned samplingMode,
                        const char* fileName);
  unsigned char* GetMeasuringData(CScanDataPort* port, unsigned long count, unsigned samplingMode);
  bool GetMeasuringData(CScanDataPort* port, unsigned long count, unsigned samplingMode,
                        unsigned char* buffer, unsigned long bufferSize);
  bool GetRawData(CScanDataPort* port, unsigned long count, bool bGreen, const char* fileName);
  unsigned char* GetRawData(CScanDataPort* port, unsigned long count, bool bGreen);
  bool GetRawData(CScanDataPort* port, unsigned long count, bool bGreen, unsigned char* buffer,
                  unsigned long size);
  bool GetRawGainData(CScanDataPort* port, unsigned long count, bool bGreen, const char* fileName);
  unsigned char* GetRawGainData(CScanDataPort* port, unsigned long count, bool bGreen);
  bool GetRawGainData(CScanDataPort* port, unsigned long count, bool bGreen, unsigned char* buffer,
                      unsigned long size);
  bool GetRawOffsetData(CScanDataPort* port, unsigned long count, bool bGreen, const char* fileName);
  unsigned char* GetRawOffsetData(CScanDataPort* port, unsigned long count, bool bGreen);
  bool GetRawOffsetData(CScanDataPort* port, unsigned long count, bool bGreen, unsigned char* buffer,
                        unsigned long size);
  bool GetRawDataStats(CScanDataPort* port, unsigned long count, bool bGreen, RawDataStatsInfo* stats);
  bool GetRawGainStats(CScanDataPort* port, unsigned long count, bool bGreen, RawDataStatsInfo* stats);
  bool GetRawOffsetStats(CScanDataPort* port, unsigned long count, bool bGreen, RawDataStatsInfo* stats);

  // Throws std::runtime_error "Internal Error" (no header) or "Magic header mismatch".
  static void ReadLineHeader(const unsigned char* data, std::uint64_t offset, ScanLineDataHeader* header);
  // Converts received line `line` of the data buffer into the line buffer (two values per
  // pixel); false when that line has not been received into the buffer.
  bool ProcessLine(std::uint64_t line);

  bool IsJobRunning() const { return m_bJobRunning; }
  std::uint64_t GetExpectedBytes() const { return m_nExpected; }
  std::uint64_t GetReceivedBytes() const { return m_nReceived; }
  std::uint64_t GetLineBytes() const { return m_nLineBytes; }
  const std::string& GetOutputFileName() const { return m_strFileName; }
  const unsigned char* GetDataBuffer() const { return m_pDataBuffer.get(); }
  const std::vector<std::int32_t>& GetLineBuffer() const { return m_LineBuffer; }
  double GetProgress() const { return m_dProgress; }

 protected:
  bool SetupRunMode(eDataModeType mode, unsigned samplingMode);
  bool StartScan();

 private:
  struct Outcome {
    std::uintptr_t wParam;
    std::uint64_t bytes;
  };
  // Reads the job into `target` (capacity bytes); throws the port's PortStatus.
  Outcome DoGetDataJob(unsigned char* target, std::uint64_t capacity);
  bool StartClaimedJob();
  void Post(std::uintptr_t wParam, std::int64_t lParam) const;
  bool AllocateDataBuffer();
  bool PrepareMeasuring(CScanDataPort* port, unsigned long count, unsigned samplingMode, const char* fileName,
                        bool saveToFile);
  bool RunMeasuring(unsigned samplingMode, unsigned char* target, std::uint64_t capacity);
  std::string DefaultMeasuringName(unsigned long count, unsigned samplingMode) const;
  bool StatsOf(CScanDataPort* port, unsigned long count, unsigned samplingMode, RawDataStatsInfo* stats);

  platform::Window* m_pWindow = nullptr;
  CScanDataPort* m_pPort = nullptr;
  eDataModeType m_eRunMode = eScanData;
  std::atomic<bool> m_bAbort{false};
  std::string m_strFileName;
  int m_nLines = 0;
  int m_nPixels = 0;
  std::uint64_t m_nExpected = 0;
  std::atomic<std::uint64_t> m_nReceived{0};
  std::unique_ptr<unsigned char[]> m_pDataBuffer;
  std::uint64_t m_nBufferPos = 0;
  std::vector<std::int32_t> m_LineBuffer;  // two values per pixel
  std::uint64_t m_nLineBytes = 0;
  bool m_bSaveToFile = false;
  std::atomic<double> m_dProgress{0.0};
  int m_nPixelSize[2] = {5, 5};  // the first is the statistics' group factor
  std::atomic<bool> m_bJobRunning{false};
  platform::Thread m_Worker;
};
