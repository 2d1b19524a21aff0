#pragma once
// The autoloader sequences of the scanner: load and eject the carousel, load a slide from
// a slot (reading its barcode on the way), eject it back, bring a stranded arm to the
// holder, and browse the carousel for slides and barcodes. They work the motors, the
// command channel and the FLASH store they are given, and reach the scanner only through
// an IAutoloaderHost. Failures are thrown as int error ids.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "devices/ScannerTypes.h"

class CArm;
class CCarousel;
class CFlash;
class CLanComm;
class CMotor;
class CScanObj;
class CStage;

// What the sequences need of the scanner besides its devices: its state, the door and
// the barcode reader.
class IAutoloaderHost {
 public:
  virtual tagScannerState GetScannerState() const = 0;
  virtual void SetScannerState(tagScannerState state) = 0;
  virtual void SetStatusMsgId(unsigned id) = 0;
  virtual bool IsStatusThreadRunning() const = 0;
  virtual bool IsDoorClosed() = 0;
  virtual void PrepareBarcodeReader() = 0;
  virtual std::string ReadBarcode() = 0;

 protected:
  ~IAutoloaderHost() = default;
};

// The devices the sequences move and ask.
struct AutoloaderDevices {
  CLanComm& comm;
  CFlash& flash;
  CStage& slowStage;
  CStage& vcStage;
  CMotor& afMotor;
  CCarousel& carousel;
  CArm& arm;
  CScanObj& scan;
};

class CAutoloader {
 public:
  CAutoloader(const AutoloaderDevices& devices, IAutoloaderHost& host) : m_Dev(devices), m_Host(host) {}
  CAutoloader(const CAutoloader&) = delete;
  CAutoloader& operator=(const CAutoloader&) = delete;

  // The autoloader's sensors, read together and logged; each output may be null.
  void ReadAutoLoaderSensors(bool* armAtCarousel, bool* armAtHolder, bool* chipInSlot, bool* aligned,
                             bool* present, bool* atHome, bool* doorClosed);
  // Whether the arm may move with the slow stage where it is now: at most 100000, or
  // within 20 of "EjectStagePos". Throws the id of a failed position or FLASH read.
  bool IsArmMoveSafe();
  // Slots run 0 to GetCarouselSlotCount() - 1; 0 is the home slot, and LoadChip(.., 0)
  // loads the next slot (1).
  std::string LoadChip(int numTriesToReadBarcode, int slot);
  void EjectChip();
  void LoadCarousel();
  void EjectCarousel();
  bool RecoverArmToHolder();
  void StartBrowseCarousel(int firstSlot, int lastSlot, bool scanBarcodes);
  // present: 0/1; symbology and barcode may be null (skipped); barcode gets at most 49
  // chars + NUL.
  void GetBrowseCarouselInfo(int slot, int* present, char* symbology, char* barcode);
  void StopBrowseCarousel();
  // "ALCarouselNumSlots", read once.
  int GetCarouselSlotCount();

  int IsBrowseCarouselDone();
  void SetBrowseActive(bool on) { m_bBrowseActive = on; }
  bool IsBrowseActive() const { return m_bBrowseActive; }

 private:
  // A move of the arm to the holder; a time-out brings it back to the carousel when the
  // carousel is seated (4162), else 4163. Other failures pass through.
  void MoveArmToHolderWithRecovery(const char* failure);
  // The slow-stage check before the arm leaves the carousel; `sequence` ends the texts
  // ("LoadCarousel Terminating."). Throws 642 when the move is unsafe or undecidable.
  void CheckArmMoveSafe(const char* sequence);
  // One slot's record from the browse reply; a failure ends the browse and is thrown.
  void ReadBrowseSlot(int slot);
  // Reads exactly `count` characters of the browse reply: 0, a link error, or -1 when
  // the reply ended short.
  int ReadBrowseChars(char* buffer, int count);
  // The browse has read its last slot or failed: time-out back, mutex released (only
  // when the browse holds it), closing banner, scanner state restored when no status
  // thread does it.
  void EndBrowse();
  void FreeBrowseResults();

  // Browse state. The flags are read by the status thread; the rest belongs to the
  // browsing caller, under m_BrowseMutex.
  std::mutex m_BrowseMutex;
  std::atomic<bool> m_bBrowseActive{false};      // running: not yet past its last slot
  std::atomic<bool> m_bBrowseResults{false};     // results kept until StopBrowseCarousel
  std::atomic<bool> m_bBrowseHoldsMutex{false};  // the command mutex taken at its start
  bool m_bBrowseBarcodes = false;
  bool m_bBrowseCodeRead = false;
  int m_nBrowseFirst = 0;
  int m_nBrowseLast = -1;
  int m_nBrowseSlot = -1;  // next slot to read from the reply
  std::atomic<int> m_nSlotCount{-1};
  int m_nBrowseSavedTimeout = 0;
  tagScannerState m_eBrowseSavedState = kStateOffline;
  std::vector<std::uint8_t> m_BrowsePresence;
  std::vector<std::array<char, 51>> m_BrowseBarcodes;
  std::vector<std::pair<char, int>> m_BrowseInfo;  // symbology, error code

  AutoloaderDevices m_Dev;
  IAutoloaderHost& m_Host;
};
