#pragma once
// The instrument command channel: opens and closes the connection by connect string,
// holds the recursive command mutex that makes a command and its reply one unit,
// buffers replies and splits them (hex status, then an optional comma and the rest),
// downloads a new controller runtime and reconnects after the instrument rebooted.
//
// Results are error ids (0 success); 566 means not connected. Reply lines end with
// "\n"; the text values handed out lose one trailing CR, LF or NUL. A reply split by
// ReadResponse* must end with one of them: without it the reply did not come whole, and
// reading it gives 603 as a reply that never came would.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "link/LanLink.h"
#include "link/LanTypes.h"
#include "platform/sync.h"

// What the channel needs from the instrument that owns it.
class ILanCommOwner {
 public:
  virtual ~ILanCommOwner() = default;
  // The error id of a non-zero controller status (4096 + code, or a finer id).
  virtual int TranslateRuntimeError(unsigned code) = 0;
  // Sets the instrument's clock to the host's; throws an int error id on failure.
  virtual void Set68KCurrentDateTime() = 0;
};

class CLanComm {
 public:
  static constexpr int kInitialTimeoutMs = 5000;
  static constexpr int kOpenTimeoutMs = 10000;
  static constexpr int kCommMutexWaitMs = 5000;
  static constexpr int kMaxConnectString = 31;

  // Throws the int error 626 without an owner.
  explicit CLanComm(ILanCommOwner* owner);
  virtual ~CLanComm();  // closes the device when still open
  CLanComm(const CLanComm&) = delete;
  CLanComm& operator=(const CLanComm&) = delete;

  // Connect string "a.b.c.d_port", or empty/nullptr for the first available instrument.
  // While connected, a connect string naming another instrument is refused with 516.
  int OpenDevice(const char* connectString);
  // Waits for the command in progress (the holder of the command mutex) to end first;
  // calls after it get 566.
  int CloseDevice();
  bool IsConnected() const;

  // One command line (or raw bytes), blocking; its reply is kept for the readers.
  int WriteString(const char* line, int count, int* written);
  int WriteBinaryString(const std::uint8_t* bytes, int count, int* written);
  // Up to `max` bytes of the kept reply.
  int ReadString(char* buffer, int max, int* read);
  // Up to `max` bytes of an unblocked command's replies, waiting for them as needed;
  // read = 0 once the command ended and everything was read.
  int ReadStringUnblocked(char* buffer, int max, int* read);
  int SendUnblockedCommand(const char* line, int count);

  // Reads the kept reply (up to 199 characters) and splits it: *status is 0 or the
  // owner's translation of the hex status; `text` is what follows the first comma.
  int ReadResponse(int* status, std::string& text);
  // The owner's error id of a non-zero controller status.
  int TranslateStatus(unsigned code) { return owner_->TranslateRuntimeError(code); }
  // The same into a buffer of `size` bytes (at least 1), always NUL-terminated.
  int ReadResponseString(int* status, char* buffer, int size);
  // Reads up to max + 2 characters: the hex status from the start, then what follows
  // its separator into `buffer`, a buffer of `max` bytes (NUL-terminated).
  int ReadResponseCount(int* status, char* buffer, int max);
  // Raw scan bytes (no frame); *count becomes the bytes received.
  int ReadScanData(std::uint8_t* buffer, int* count, int timeoutSec);

  // The command mutex: recursive for its owner, waits at most 5000 ms.
  bool LockComm();
  bool UnlockComm();

  // The COMM status byte the connection manager reports, 255 when unknown.
  std::uint8_t SerialPoll();
  int IsRuntimeOnline(bool* online);
  int GetTimeout();
  int SetTimeout(int timeoutMs);  // returns the previous time-out

  int DownloadRuntime(const char* fileName);
  // 0 when CMD ABORT was posted, -1 when not, 566 when not connected.
  int AbortCommand();
  void RegisterEventInterest(int code);
  void UnregisterEventInterest(int code);
  // Reads one pending reboot (1) or laser power (5) event and notes it; true when one
  // was read (its data bytes in `data`).
  bool CheckEvents(std::vector<std::uint8_t>& data);
  // After this instrument rebooted: takes the new address and port and reconnects
  // (true). False when no reboot of this instrument is pending. Throws the int error
  // id of a failed reconnection.
  bool ReopenAfterReboot();

  bool IsLaserPowerChanged() const { return laserPowerChanged_; }
  void ClearLaserPowerChanged() { laserPowerChanged_ = false; }

  // This scanner model has no laser power requests: each throws 109.
  [[noreturn]] void LaserPowerStatus();
  [[noreturn]] void LaserPowerRequest();
  [[noreturn]] void RemoveAllLaserPowerRequests();

  const std::string& GetConnectString() const { return connectString_; }
  // "a.b.c.d_port" of the instrument held; empty when not connected.
  std::string GetConnectedInstrument() const;
  // The locked instrument table; nullptr when not connected.
  CLanInstr* GetInstrument() const { return instrument_.get(); }

 private:
  int Execute(const std::uint8_t* bytes, int count);
  // The kept reply did not end with its line end: logged, and 603 for the reader.
  int IncompleteReply(std::string_view read);
  // "peek 0" after a (re)connection: 604, or the failure after one reconnect.
  int SendPeek();
  void LogOpened(const char* prefix);
  void TakeEventEntry(const std::vector<std::uint8_t>& data, bool& sameInstrument);
  // Ends a table: its lock record goes with it. Under ExclusiveTable().
  void DropInstrument();
  // The command mutex for opening and closing: waits as long as the command in progress
  // runs (each command has its own time-out), saying so in the log.
  void LockForOpenClose();
  // Copies what is left of the current reply (at most `room` bytes); returns the count.
  int CopyFromReadBuffer(char* buffer, int room);

  platform::TimedMutex commMutex_;
  ILanCommOwner* owner_;
  std::string connectString_;
  int timeoutMs_ = kInitialTimeoutMs;
  std::unique_ptr<CLanInstr> instrument_;
  // Commands run under commMutex_, but some calls run beside a command (abort, status,
  // scan data, events) or without the mutex: every call that uses the table counts itself
  // in tableUsers_, and the table is replaced or dropped only when none is left, under
  // useMutex_ (which keeps new ones out meanwhile).
  class TableUse;
  std::unique_lock<std::mutex> ExclusiveTable() const;
  mutable std::mutex useMutex_;
  mutable std::condition_variable useEnded_;
  mutable int tableUsers_ = 0;
  std::atomic<bool> connected_{false};
  LanResponseList responses_;
  std::size_t readOffset_ = 0;
  std::vector<std::uint8_t> readBuffer_;
  bool replyTerminated_ = false;  // the reply in readBuffer_ ends with its line end
  bool replyReady_ = false;
  LanFrame frame_ = LanFrame::Binary(std::string_view());  // reused for every command
  std::atomic<bool> laserPowerChanged_{false};
  bool rebooted_ = false;
  std::vector<std::uint8_t> rebootEvent_;  // data of the last reboot event seen
};

// Holds a channel's command mutex for a scope; throws the int error 634 when it cannot
// be had within 5000 ms.
class CCommLock {
 public:
  explicit CCommLock(CLanComm& comm);
  ~CCommLock();
  CCommLock(const CCommLock&) = delete;
  CCommLock& operator=(const CCommLock&) = delete;

 private:
  CLanComm& comm_;
};
