#include "link/LanComm.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>

#include "BroklaProtocol/BroklaAppMessage.h"
#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "link/BroklaClient.h"
#include "link/ErrorIds.h"
#include "link/LanLink.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/localpipe.h"
#include "platform/text.h"
#include "platform/thread.h"

using namespace movrak;

namespace {

using namespace std::chrono_literals;

constexpr int kMaxReply = 199;
constexpr int kBootReplyMax = 20;
constexpr auto kRebootPoll = 100ms;
constexpr int kErrUnknown = 512;  // a reply whose status is not hexadecimal

// Acquisitions of any channel's command mutex; for the log lines only.
std::atomic<int> g_commMutexCount{0};

int threadId() { return static_cast<int>(platform::currentThreadId()); }

// The hexadecimal status at the start of a reply: leading hex digits, then nothing but
// blanks and line ends up to `s`'s end (or up to the separator, which the caller cut off
// already). nullopt for no digits, other characters or more than 32 bits.
std::optional<unsigned> parseHexStatus(std::string_view s, std::size_t* digitsEnd = nullptr,
                                       bool wholeField = true) {
  std::size_t end = 0;
  const auto value = platform::parseLeadingHex(s, &end);
  if (!value) return std::nullopt;
  if (digitsEnd) *digitsEnd = end;
  if (wholeField)
    for (std::size_t k = end; k < s.size(); ++k)
      if (s[k] != ' ' && s[k] != '\r' && s[k] != '\n' && s[k] != '\0') return std::nullopt;
  return *value;
}

// Text values lose one trailing line end (the terminator of the reply line).
void stripTerminator(std::string& s) {
  if (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '\0')) s.pop_back();
}

}  // namespace

// Counts a call that uses the table for as long as it runs.
class CLanComm::TableUse {
 public:
  explicit TableUse(const CLanComm& comm) : comm_(comm) {
    std::lock_guard lock(comm_.useMutex_);
    ++comm_.tableUsers_;
  }
  ~TableUse() {
    std::lock_guard lock(comm_.useMutex_);
    if (--comm_.tableUsers_ == 0) comm_.useEnded_.notify_all();
  }
  TableUse(const TableUse&) = delete;
  TableUse& operator=(const TableUse&) = delete;

 private:
  const CLanComm& comm_;
};

std::unique_lock<std::mutex> CLanComm::ExclusiveTable() const {
  std::unique_lock lock(useMutex_);
  // The calls still using the table end on their own time-outs.
  useEnded_.wait(lock, [this] { return tableUsers_ == 0; });
  return lock;
}

void CLanComm::LockForOpenClose() {
  if (commMutex_.lock(std::chrono::milliseconds(0)) != platform::LockResult::timedOut) return;
  LogWarning("Waiting for the command in progress to end before opening or closing the connection.");
  while (commMutex_.lock(std::chrono::milliseconds(kCommMutexWaitMs)) == platform::LockResult::timedOut) {
  }
}

CLanComm::CLanComm(ILanCommOwner* owner) : owner_(owner) {
  if (!owner_) throw kErrCommNotConfigured;
}

CLanComm::~CLanComm() {
  try {
    CloseDevice();
  } catch (...) {
  }
  // Locks the manager still counts go with this process's pipes; nothing may use the
  // table or the connection once the channel is gone.
  const auto exclusive = ExclusiveTable();
  if (instrument_) {
    DisconnectConnectionManager();
    CloseInstrument(instrument_.get());
    DropInstrument();
  }
}

bool CLanComm::IsConnected() const {
  if (!owner_) {
    LogError("Internal Error: Instrument configuration object not configured.");
    return false;
  }
  return connected_;
}

std::string CLanComm::GetConnectedInstrument() const {
  TableUse use(*this);
  return instrument_ && !instrument_->entries.empty() ? ConnectStringOf(instrument_->First()) : std::string();
}

void CLanComm::LogOpened(const char* prefix) {
  std::string text = prefix;
  const std::string::size_type at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, platform::formatLocalTime("%A, %d-%b-%Y at %H:%M"));
  const std::string computer = platform::computerName();
  if (!computer.empty()) text += " from " + computer;
  text += ".";
  LogInfo("%s", text.c_str());
}

void CLanComm::DropInstrument() {
  if (!instrument_) return;
  ForgetInstrument(instrument_.get());
  instrument_.reset();
  connected_ = false;
  responses_.clear();
  readBuffer_.clear();
  readOffset_ = 0;
  replyReady_ = false;
}

int CLanComm::Execute(const std::uint8_t* bytes, int count) {
  frame_.AssignBinary(std::span(bytes, static_cast<std::size_t>(count)));
  return ExecuteInstrCmd(instrument_.get(), frame_, responses_, timeoutMs_ / 1000, true);
}

int CLanComm::IncompleteReply(std::string_view read) {
  LogError("Reply from instrument without its line end: \"%.*s\"", static_cast<int>(read.size()),
           read.data());
  return kErrTimedOut;
}

int CLanComm::SendPeek() {
  const std::string line = "peek 0\n";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(line.data());
  int r = Execute(bytes, static_cast<int>(line.size()));
  if (r == kErrConnectionLost) {
    if (!ReconnectInstrument(instrument_.get())) return kErrConnectionLost;
    r = Execute(bytes, static_cast<int>(line.size()));
  }
  if (r == kResultCompleted) {
    std::string reply;
    TakeFirstResponseString(responses_, reply);
    stripTerminator(reply);
    LogInfo("Sent Peek, Response=%s", reply.c_str());
  }
  return r;
}

int CLanComm::OpenDevice(const char* connectString) {
  const bool named = connectString && *connectString;
  if (named)
    LogDebug(5, "OpenDevice(): Connect String: %s", connectString);
  else
    LogDebug(5, "OpenDevice()");
  if (!owner_) return kErrConnectionLost;

  auto setClock = [this] {
    try {
      owner_->Set68KCurrentDateTime();
    } catch (int e) {
      LogError("Set68KCurrentDateTime() Failed: error code = %d", e);
    } catch (...) {
      LogError("Set68KCurrentDateTime() Failed: Unknown error");
    }
  };

  const std::string requested =
      named ? std::string(connectString).substr(0, kMaxConnectString) : std::string();
  // Already connected: the same instrument is locked once more. One process holds one
  // instrument, so a connect string naming another one is refused, never taken for it.
  auto lockAgain = [&]() -> std::optional<int> {
    TableUse use(*this);
    if (!instrument_) return std::nullopt;
    if (named && !ConnectStringNames(requested.c_str(), instrument_->First())) {
      LogError("OpenDevice(): connected to the scanner %s; the connect string %s names another one.",
               ConnectStringOf(instrument_->First()).c_str(), requested.c_str());
      return kErrScannerInUse;
    }
    try {
      if (!isLockedInstrument(instrument_.get(), true)) return kErrLockFailed;
    } catch (...) {
      return kErrConnectionLost;
    }
    return 0;
  };
  if (IsConnected()) {
    if (const auto r = lockAgain()) {
      if (*r == 0) setClock();
      return *r;
    }
  }

  // Opening takes the command mutex, so that no command runs on a half-made channel.
  LockForOpenClose();
  struct Release {
    platform::TimedMutex& mutex;
    ~Release() { (void)mutex.unlock(); }  // this thread's own lock: the unlock cannot fail
  } release{commMutex_};
  if (IsConnected()) {  // another thread opened it meanwhile
    if (const auto r = lockAgain()) {
      if (*r == 0) setClock();
      return *r;
    }
  }

  auto take = [this](std::unique_ptr<CLanInstr> table) {
    const auto exclusive = ExclusiveTable();
    instrument_ = std::move(table);
    connected_ = true;
  };
  connectString_ = named ? std::string(connectString).substr(0, kMaxConnectString) : std::string();
  if (!connectString_.empty()) {
    std::unique_ptr<CLanInstr> table;
    bool locked = false;
    int notFound = 0;
    try {
      locked = isLockedInstrument(connectString_.c_str(), table, true, &notFound);
    } catch (...) {
      ForgetInstrument(table.get());
      return kErrConnectionLost;
    }
    if (!locked) {
      ForgetInstrument(table.get());
      // An instrument that is not there is not a refused lock: say which it is.
      return notFound != 0 ? notFound : kErrLockFailed;
    }
    take(std::move(table));
  } else {
    auto list = EnumerateInstruments(1);
    if (!list) return kErrConnectionManager;
    for (auto& entry : list->entries) {
      auto one = std::make_unique<CLanInstr>();
      one->entries.push_back(std::move(entry));
      bool locked = false;
      try {
        locked = isLockedInstrument(one.get(), true);
      } catch (...) {
        ForgetInstrument(one.get());  // it vanished meanwhile: try the next one
        continue;
      }
      if (!locked) {
        ForgetInstrument(one.get());
        return kErrLockFailed;
      }
      take(std::move(one));
      break;
    }
    if (!instrument_) return kErrNoInstruments;
  }

  timeoutMs_ = kOpenTimeoutMs;
  LogOpened("Opened connection to scanner on %s");
  const int r = SendPeek();
  if (r != kResultCompleted) {
    // A channel that cannot even peek is of no use: close it and say why.
    CloseDevice();
    return r;
  }
  setClock();
  return 0;
}

int CLanComm::CloseDevice() {
  LogDebug(5, "CloseDevice()");
  if (!IsConnected()) return 0;
  // A command in progress ends first, and nothing else may use the table while it goes.
  LockForOpenClose();
  struct Release {
    platform::TimedMutex& mutex;
    ~Release() { (void)mutex.unlock(); }  // this thread's own lock: the unlock cannot fail
  } release{commMutex_};
  const auto exclusive = ExclusiveTable();
  if (!instrument_) return 0;
  int count = 0;
  int previous = INT_MAX;
  for (;;) {
    try {
      count = UnlockInstrument(instrument_.get());
    } catch (...) {
      count = 1;
      break;
    }
    // A count that does not fall would keep this loop going for ever.
    if (count <= 0 || count >= previous) break;
    previous = count;
  }
  LogDebug(5, "CloseDevice:  Lock count after close is: %d", count);
  if (count < 1) {
    DisconnectConnectionManager();
    CloseInstrument(instrument_.get());
    DropInstrument();
    LogOpened("Closed connection to scanner on %s");
  }
  return 0;
}

int CLanComm::WriteString(const char* line, int count, int* written) {
  TableUse use(*this);
  if (!line || count < 0) return kErrBadParameter;
  LogDebug(5, "WriteString(): %.*s", count, line);
  if (!IsConnected()) return kErrConnectionLost;
  replyReady_ = false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(line);
  int r = Execute(bytes, count);
  if (r != kResultCompleted) {
    if (r != kErrConnectionLost) return r;
    if (!ReconnectInstrument(instrument_.get())) return kErrConnectionLost;
    r = Execute(bytes, count);
    if (r != kResultCompleted) return r;
  }
  if (readOffset_ < readBuffer_.size())
    LogDebug(4, "WriteString: flushing %d unread bytes", static_cast<int>(readBuffer_.size() - readOffset_));
  readBuffer_.clear();
  readOffset_ = 0;
  replyReady_ = true;
  if (written) *written = count;
  return 0;
}

int CLanComm::WriteBinaryString(const std::uint8_t* bytes, int count, int* written) {
  TableUse use(*this);
  LogDebug(5, "WriteBinaryString()");
  if (!bytes || count < 0) return kErrBadParameter;
  if (!IsConnected()) return kErrConnectionLost;
  replyReady_ = false;
  int r = Execute(bytes, count);
  if (r != kResultCompleted) {
    if (r != kErrConnectionLost) return r;
    if (!ReconnectInstrument(instrument_.get())) return kErrConnectionLost;
    r = Execute(bytes, count);
    if (r != kResultCompleted) return r;
  }
  readBuffer_.clear();
  readOffset_ = 0;
  replyReady_ = true;
  if (written) *written = count;
  return 0;
}

int CLanComm::CopyFromReadBuffer(char* buffer, int room) {
  const auto n = std::min<std::size_t>(readBuffer_.size() - readOffset_, static_cast<std::size_t>(room));
  std::memcpy(buffer, readBuffer_.data() + readOffset_, n);
  readOffset_ += n;
  return static_cast<int>(n);
}

int CLanComm::ReadString(char* buffer, int max, int* read) {
  TableUse use(*this);
  LogDebug(5, "ReadString()");
  if (read) *read = 0;
  if (!IsConnected()) return kErrConnectionLost;
  if (!buffer || max < 0) return kErrBadParameter;
  if (!replyReady_) return 0;
  int copied = 0;
  bool tookNext = false;
  while (copied < max) {
    if (readOffset_ < readBuffer_.size()) {
      copied += CopyFromReadBuffer(buffer + copied, max - copied);
      continue;
    }
    readBuffer_.clear();  // read to its end
    readOffset_ = 0;
    if (tookNext || !TakeFirstResponse(responses_, readBuffer_)) break;
    tookNext = true;
    const char last = readBuffer_.empty() ? 'x' : static_cast<char>(readBuffer_.back());
    replyTerminated_ = last == '\n' || last == '\r' || last == '\0';
  }
  if (readOffset_ >= readBuffer_.size()) {
    readBuffer_.clear();
    readOffset_ = 0;
  }
  if (read) *read = copied;
  return 0;
}

int CLanComm::ReadStringUnblocked(char* buffer, int max, int* read) {
  TableUse use(*this);
  if (read) *read = 0;
  if (!IsConnected()) return kErrConnectionLost;
  if (!buffer || max < 0) return kErrBadParameter;
  if (!replyReady_) return 0;
  int copied = 0;
  while (copied < max) {
    if (readOffset_ < readBuffer_.size()) {
      copied += CopyFromReadBuffer(buffer + copied, max - copied);
      continue;
    }
    readBuffer_.clear();
    readOffset_ = 0;
    try {
      readBuffer_ = CollectUnblockedResponses(instrument_.get(), responses_);
    } catch (int result) {
      if (result != kResultCompleted) return result;
      if (copied == 0) replyReady_ = false;  // the command ended and all was read
      break;
    }
  }
  if (read) *read = copied;
  return 0;
}

int CLanComm::SendUnblockedCommand(const char* line, int count) {
  TableUse use(*this);
  if (!line || count < 0) return kErrBadParameter;
  if (!IsConnected()) return kErrConnectionLost;
  replyReady_ = false;
  readOffset_ = 0;
  readBuffer_.clear();
  LanFrame frame = LanFrame::Binary(std::string_view(line, static_cast<std::size_t>(count)));
  const int r = ExecuteInstrCmd(instrument_.get(), frame, responses_, timeoutMs_ / 1000, false);
  if (r != kResultQueued && r != kResultCompleted) return r;
  replyReady_ = true;  // the replies are read with ReadStringUnblocked
  return 0;
}

int CLanComm::ReadResponse(int* status, std::string& text) {
  text.clear();
  if (!status) return kErrBadParameter;
  char buffer[kMaxReply + 1];
  int count = 0;
  if (const int r = ReadString(buffer, kMaxReply, &count); r != 0) return r;
  if (count < 0 || count > kMaxReply) {
    LogError(
        "Internal error.  Detected bad count value reading response.\r\n\tCount value was %lu.  Valid range "
        "is 0 to "
        "%lu.",
        static_cast<unsigned long>(count), static_cast<unsigned long>(kMaxReply));
    count = std::clamp(count, 0, kMaxReply);
  }
  const std::string reply(buffer, static_cast<std::size_t>(count));
  if (count > 0 && !replyTerminated_) return IncompleteReply(reply);
  const std::string::size_type comma = reply.find(',');
  const auto code = parseHexStatus(std::string_view(reply).substr(0, comma));
  if (comma != std::string::npos) {
    text = reply.substr(comma + 1);
    stripTerminator(text);
  }
  if (!code) {
    LogError("Malformed reply from instrument: \"%s\"", reply.c_str());
    *status = kErrUnknown;
    return 0;
  }
  *status = *code == 0 ? 0 : owner_->TranslateRuntimeError(*code);
  return 0;
}

int CLanComm::ReadResponseString(int* status, char* buffer, int size) {
  if (!status || !buffer || size < 1) return kErrBadParameter;
  std::string text;
  const int r = ReadResponse(status, text);
  const auto n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return r;
}

int CLanComm::ReadResponseCount(int* status, char* buffer, int max) {
  if (!status || !buffer || max < 1) return kErrBadParameter;
  buffer[0] = '\0';
  std::vector<char> reply(static_cast<std::size_t>(max) + 2);
  int count = 0;
  if (const int r = ReadString(reply.data(), max + 2, &count); r != 0) return r;
  if (count < 0 || count > max + 2) {
    LogError(
        "Internal error.  Detected bad count value reading response.\r\n\tCount value was %lu.  Valid range "
        "is 0 to "
        "%lu.",
        static_cast<unsigned long>(count), static_cast<unsigned long>(max - 1));
    count = std::clamp(count, 0, max - 1);
  }
  const std::string_view view(reply.data(), static_cast<std::size_t>(count));
  if (count > 0 && !replyTerminated_) return IncompleteReply(view);
  std::size_t end = 0;
  const auto code = parseHexStatus(view, &end, false);
  if (!code) {
    LogError("Malformed reply from instrument: \"%s\"", std::string(view).c_str());
    *status = kErrUnknown;
    return 0;
  }
  *status = *code == 0 ? 0 : owner_->TranslateRuntimeError(*code);
  std::string rest(view.substr(std::min(end + 1, view.size())));
  stripTerminator(rest);
  const auto n = std::min<std::size_t>(rest.size(), static_cast<std::size_t>(max - 1));
  std::memcpy(buffer, rest.data(), n);
  buffer[n] = '\0';
  return 0;
}

int CLanComm::ReadScanData(std::uint8_t* buffer, int* count, int timeoutSec) {
  TableUse use(*this);
  if (!IsConnected()) return kErrConnectionLost;
  if (!count) return kErrBadParameter;
  return GetScanData(instrument_.get(), buffer, *count, timeoutSec);
}

bool CLanComm::LockComm() {
  LogDebug(5, "Thread %d> Trying to lock CommMutex. Count = %d", threadId(), g_commMutexCount.load());
  switch (commMutex_.lock(std::chrono::milliseconds(kCommMutexWaitMs))) {
    case platform::LockResult::acquired:
      LogDebug(5, "Thread %d> CommMutex locked. Count = %d", threadId(), ++g_commMutexCount);
      return true;
    case platform::LockResult::abandoned:
      g_commMutexCount = 1;
      LogDebug(5, "Thread %d> CommMutex locked (WAIT_ABANDONED). Count = %d", threadId(), 1);
      return true;
    case platform::LockResult::timedOut:
      break;
  }
  LogDebug(1, "Thread %d> CommMutex timeout.", threadId());
  return false;
}

bool CLanComm::UnlockComm() {
  if (commMutex_.unlock()) {
    LogDebug(5, "Thread %d> CommMutex unlocked. Count = %d", threadId(), --g_commMutexCount);
    return true;
  }
  LogDebug(1, "Thread %d> CommMutex unlock failed. Count = %d", threadId(), g_commMutexCount.load());
  return false;
}

std::uint8_t CLanComm::SerialPoll() {
  TableUse use(*this);
  LogDebug(6, "SerialPoll()");
  if (!IsConnected()) return 255;
  std::uint8_t comm = 0;
  if (!GetInstrumentCommStatus(instrument_.get(), &comm)) {
    ReconnectInstrument(instrument_.get());
    if (!GetInstrumentCommStatus(instrument_.get(), &comm)) return 255;
  }
  LogDebug(6, "SerialPoll():  Result: %d", comm);
  return comm;
}

int CLanComm::IsRuntimeOnline(bool* online) {
  if (!online) return 0;
  if (!IsConnected()) return kErrConnectionLost;
  *online = true;
  return 0;
}

int CLanComm::GetTimeout() {
  LogDebug(5, "GetTimeout()");
  return timeoutMs_;
}

int CLanComm::SetTimeout(int timeoutMs) {
  LogDebug(5, "SetTimeout(): %ld", static_cast<long>(timeoutMs));
  const int previous = timeoutMs_;
  timeoutMs_ = timeoutMs;
  return previous;
}

void CLanComm::TakeEventEntry(const std::vector<std::uint8_t>& data, bool& sameInstrument) {
  sameInstrument = false;
  const auto entry = brokla::ParseInstrumentEntry(data);
  if (!entry || !instrument_ || entry->serialNumber != instrument_->First().serialNumber) {
    LogDebug(1, "Ignoring the reboot event of another instrument (SN: %s).",
             entry ? entry->serialNumber.c_str() : "?");
    return;
  }
  CLanInstrEntry& e = instrument_->First();
  e.id = entry->id;
  e.address = entry->address;
  e.port = entry->port;
  e.type = entry->type;
  sameInstrument = true;
}

int CLanComm::DownloadRuntime(const char* fileName) {
  TableUse use(*this);
  CRegEdit reg(HKEY_LOCAL_MACHINE, zeva::kDalmorKey);
  if (!IsConnected()) return kErrConnectionLost;
  std::uint64_t length = 0;
  {
    const std::string path = fileName ? fileName : "";
    std::ifstream file(path, std::ios::binary);
    const auto size = platform::fileSize(path);
    if (path.empty() || !platform::fileExists(path) || !file || !size) return kErrCannotReadFirmware;
    length = *size;
  }
  reg.WriteString("RuntimeFile", fileName);

  RegisterEventInterest(brokla::kEventReboot);
  struct Unregister {
    CLanComm* self;
    ~Unregister() { self->UnregisterEventInterest(brokla::kEventReboot); }
  } unregister{this};

  const std::string boot = "boot\n";
  int written = 0;
  if (const int r = WriteString(boot.c_str(), static_cast<int>(boot.size()), &written); r != 0) return r;
  char reply[kBootReplyMax + 1] = {};
  int count = 0;
  if (const int r = ReadString(reply, kBootReplyMax, &count); r != 0) return r;
  const auto status = parseHexStatus(std::string_view(reply, static_cast<std::size_t>(count)));
  if (!status) return kErrUnknown;
  if (*status != 0) return static_cast<int>(*status);

  LogInfo("Downloading 68K Runtime: %s", fileName);
  CloseInstrument(instrument_.get());  // the instrument restarts and loads the runtime

  const std::uint64_t polls = ((length / 100000) * 2000 + 12000) / 100;
  bool back = false;
  for (std::uint64_t i = 0; i < polls && !back; ++i) {
    EventMask want;
    want.SetBit(brokla::kEventReboot);
    EventMask got;
    std::vector<std::uint8_t> data;
    if (GetInstrEvent(instrument_.get(), want, got, data)) {
      TakeEventEntry(data, back);
      continue;
    }
    platform::sleepFor(kRebootPoll);
  }
  if (!back) return kErrNotReady;

  LogOpened("Opened connection to scanner on %s");
  const int r = SendPeek();
  return r == kResultCompleted ? 0 : r;
}

int CLanComm::AbortCommand() {
  TableUse use(*this);
  LogInfo("Aborting command...");
  if (!IsConnected()) return kErrConnectionLost;
  EventMask mask;
  mask.SetBit(brokla::kEventCmdAbort);
  return PostInstrEvent(instrument_.get(), mask,
                        static_cast<std::uint32_t>(platform::localpipe::currentProcessId()))
             ? 0
             : -1;
}

void CLanComm::RegisterEventInterest(int code) {
  TableUse use(*this);
  LogDebug(5, "Registering interest in event: 0x%X", static_cast<unsigned>(code));
  EventMask mask;
  mask.SetBit(code);
  RegisterInstrEvent(instrument_.get(), mask);
}

void CLanComm::UnregisterEventInterest(int code) {
  TableUse use(*this);
  LogDebug(5, "Unregistering interest in event: 0x%X", static_cast<unsigned>(code));
  EventMask mask;
  mask.SetBit(code);
  UnregisterInstrEvent(instrument_.get(), mask);
}

bool CLanComm::CheckEvents(std::vector<std::uint8_t>& data) {
  TableUse use(*this);
  if (!IsConnected()) return false;
  EventMask want;
  want.SetBit(brokla::kEventReboot);
  want.SetBit(brokla::kEventLaserPowerChange);
  EventMask got;
  if (!GetInstrEvent(instrument_.get(), want, got, data)) return false;
  if (got.TestBit(brokla::kEventReboot)) {
    rebooted_ = true;
    rebootEvent_ = data;
  }
  if (got.TestBit(brokla::kEventLaserPowerChange)) laserPowerChanged_ = true;
  return true;
}

bool CLanComm::ReopenAfterReboot() {
  TableUse use(*this);
  if (!rebooted_) {
    std::vector<std::uint8_t> data;
    CheckEvents(data);
  }
  if (!rebooted_) return false;
  rebooted_ = false;
  bool same = false;
  TakeEventEntry(rebootEvent_, same);
  rebootEvent_.clear();
  if (!same) return false;  // another instrument rebooted: nothing to do here

  LogOpened("Instrument rebooted.  Opened connection to scanner on %s");
  const int r = SendPeek();
  if (r != kResultCompleted) throw r;
  return true;
}

void CLanComm::LaserPowerStatus() {
  LogDebug(1, "CLanComm::LaserPowerStatus(): function is not for C scanner");
  throw kErrUnsupportedModel;
}

void CLanComm::LaserPowerRequest() {
  LogDebug(1, "CLanComm::LaserPowerRequest(): function is not for C scanner");
  throw kErrUnsupportedModel;
}

void CLanComm::RemoveAllLaserPowerRequests() {
  LogDebug(1, "CLanComm::RemoveAllLaserPowerRequests(): function is not for C scanner");
  throw kErrUnsupportedModel;
}

CCommLock::CCommLock(CLanComm& comm) : comm_(comm) {
  if (!comm_.LockComm()) throw kErrInstrumentBusy;
}

CCommLock::~CCommLock() { comm_.UnlockComm(); }
