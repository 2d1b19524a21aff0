#include "link/LanLink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "Jotwell/Logger.h"
#include "link/BroklaClient.h"
#include "link/ErrorIds.h"
#include "link/LinkState.h"
#include "platform/net.h"

using namespace movrak;
namespace net = platform::net;

namespace {

using namespace std::chrono_literals;

constexpr int kMaxTimeoutSec = 65535;
constexpr int kFlushChunk = 100;
constexpr auto kConnectTimeout = 10s;
constexpr auto kConnectRetryPause = 3000ms;

void logBogusHeader(const LanHeader& h) {
  LogError(
      "LAN: Bogus header data received - failed to fully flush the pipeline after an aborted command? [HDR: "
      "len = "
      "0x%x <%ld>, instrId = 0x%x, flags = 0x%x, cmdId = 0x%x, timeoutSec = 0x%x, reserved = 0x%x]",
      h.length, static_cast<long>(h.length), h.instrId, h.flags, h.cmdId, h.timeoutSec, h.reserved);
}

// Unlocks after a command; a failure to unlock must not hide the command's own result.
void unlockQuietly(CLanInstr* instrument) {
  try {
    UnlockInstrument(instrument);
  } catch (...) {
  }
}

// Lock for a command: true, or the result to give back (566 or 605) in `result`.
bool lockForCommand(CLanInstr* instrument, const char* refusal, int& result) {
  try {
    if (isLockedInstrument(instrument, true)) return true;
  } catch (...) {
    result = kErrConnectionLost;
    return false;
  }
  LogError("%s", refusal);
  result = kErrLockedByOther;
  return false;
}

platform::SteadyTime deadlineIn(int timeoutSec) {
  return platform::steadyNow() + std::chrono::seconds(timeoutSec);
}

// Takes `count` bytes of the reply stream into `out`, bytes read earlier first, all by
// `deadline`: 0; 603 when the deadline passed first; 566 when the connection failed or
// ended. `missing` is what did not come. One deadline for the whole read, however the
// bytes trickle in.
int readStream(std::uint8_t* out, int count, int& missing, platform::SteadyTime deadline, int timeoutSec) {
  LinkState& link = Link();
  net::Socket& socket = link.socket;
  missing = count;
  auto takeBuffered = [&] {
    const auto n = std::min<std::size_t>(link.rxEnd - link.rxBegin, static_cast<std::size_t>(missing));
    if (n > 0) {
      std::memcpy(out + (count - missing), link.rx.data() + link.rxBegin, n);
      link.rxBegin += n;
      missing -= static_cast<int>(n);
    }
    if (link.rxBegin == link.rxEnd) link.rxBegin = link.rxEnd = 0;
  };
  takeBuffered();
  while (missing > 0) {
    if (!socket.valid()) return kErrConnectionLost;
    // Whatever arrived is read first; the end of the stream only counts when bytes are
    // still missing after that (a reply sent just before a close is not lost).
    const platform::SteadyTime now = platform::steadyNow();
    const auto left = now >= deadline ? std::chrono::milliseconds::zero()
                                      : std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    const net::Wait w = socket.waitReadable(left);
    if (w == net::Wait::timedOut) {
      if (timeoutSec != 0)
        LogDebug(1, "DoRecv: WSAWaitForMultipleEvents timed out (GetLastError: %d).", net::lastError());
      return kErrTimedOut;
    }
    if (w == net::Wait::failed) {
      LogError("WSAEnumNetworkEvents error (%d)", net::lastError());
      return kErrConnectionLost;
    }
    // A large rest goes straight to its place; a small one takes what is there, up to a
    // chunk, so that a header and its payload come in one call.
    const bool direct = static_cast<std::size_t>(missing) >= LinkState::kRxChunk;
    const std::span<std::uint8_t> into =
        direct ? std::span(out + (count - missing), static_cast<std::size_t>(missing)) : std::span(link.rx);
    const net::IoResult r = socket.receive(into, std::chrono::milliseconds::zero());
    if (r.error == net::WSAETIMEDOUT) {  // readiness without bytes
      LogDebug(5, "WSARecv: No network events set (0x%x). timeOutSec = %d", 0, timeoutSec);
      if (timeoutSec == 0) return kErrTimedOut;
      continue;
    }
    if (!r.ok()) {
      switch (r.error) {
        case net::WSAECONNABORTED:
          LogError("Connection with Instrument Terminated");
          break;
        case net::WSAECONNRESET:
          LogError("Connection Reset by Instrument");
          break;
        case net::WSAENETDOWN:
          LogError("WSARecv: connection closed, network down");
          break;
        default:
          LogError("WSARecv: %d", r.error);
          break;
      }
      return kErrConnectionLost;
    }
    if (r.bytes == 0) {
      LogError("WSARecv: Connection terminated gracefully.");
      return kErrConnectionLost;
    }
    if (direct) {
      missing -= static_cast<int>(r.bytes);
    } else {
      link.rxBegin = 0;
      link.rxEnd = r.bytes;
      takeBuffered();
    }
  }
  return 0;
}

// Bytes waiting that no command asked for yet.
bool staleBytesWaiting() {
  LinkState& link = Link();
  return link.rxEnd > link.rxBegin || link.socket.available() > 0;
}

// Whether the bytes read beyond the last response begin with what can only be another
// response's header: within range, the command id, this instrument's id.
bool responseHeaderFollows(std::uint32_t instrId) {
  const LinkState& link = Link();
  if (link.rxEnd - link.rxBegin < LanHeader::kSize) return false;
  const LanHeader h = LanHeader::Decode(link.rx.data() + link.rxBegin);
  return h.cmdId == LanHeader::kCmdId && h.instrId == instrId && (h.flags & ~0x03u) == 0 &&
         ResponsePayloadLength(h) >= 0;
}

void markOutOfStep(const char* why) {
  if (!Link().outOfStep) Link().outOfStep = why;
}

// Receives one framed response, its header and its payload, by one deadline. 0, or a
// link result.
int receiveResponse(LanResponse& node, platform::SteadyTime deadline, int timeoutSec) {
  std::uint8_t raw[LanHeader::kSize];
  int missing = 0;
  int r = readStream(raw, static_cast<int>(LanHeader::kSize), missing, deadline, timeoutSec);
  if (r != 0) return r;
  node.header = LanHeader::Decode(raw);
  const std::int64_t length = ResponsePayloadLength(node.header);
  if (length < 0) {
    logBogusHeader(node.header);
    return kErrCommandOverlap;
  }
  LogDebug(4, "ExecuteInstrCmd: Recv RspBufLen = %d", static_cast<int>(length));
  try {
    node.data.assign(static_cast<std::size_t>(length) + 1, 0);
  } catch (const std::bad_alloc&) {
    LogError("LAN: Unrecoverable error: unable to allocate memory for response structure!");
    return kErrOutOfMemory;
  }
  return length > 0 ? readStream(node.data.data(), static_cast<int>(length), missing, deadline, timeoutSec)
                    : 0;
}

// What a failed receive says about the stream: after a time-out the rest of the reply
// may still come, and after a header out of range its payload is still there.
void noteFailedReceive(int result) {
  if (result == kErrTimedOut) markOutOfStep("a reply did not come whole in time");
  if (result == kErrCommandOverlap) markOutOfStep("a response header was out of range");
  if (result == kErrConnectionLost) markOutOfStep("the connection failed");
}

// Ends a response monitor. One still receiving is woken at once by shutting the socket
// down (it ends with 566), so only callers that close or replace the socket afterwards
// may stop a busy one; one that has finished its command is only joined.
void stopMonitor(CLanInstrInfo& record) {
  if (!record.monitor) return;
  // The shutdown only wakes it (a socket already down has nothing to wake), and a monitor
  // never stops itself: the join cannot fail.
  if (record.unblockedBusy) (void)Link().socket.shutdown();
  (void)record.monitor->join();
  record.monitor.reset();
}

void stopAllMonitors() {
  std::vector<CLanInstrInfo*> records;
  {
    std::lock_guard lock(Link().cs);
    for (auto& r : Link().records) records.push_back(r.get());
  }
  for (CLanInstrInfo* r : records) stopMonitor(*r);
}

std::uint32_t respMonitor(CLanInstrInfo* record) {
  LinkState& link = Link();
  // Like a blocking command, a time-out of 0 waits 5 s (it was sent as 5).
  const int timeoutSec = record->timeoutSec ? record->timeoutSec : kDefaultCommandTimeoutSec;
  {
    std::lock_guard lock(link.cs);
    if (record->responses) record->responses->clear();
  }
  int result = 0;
  for (;;) {
    // Each response has the command's time-out, from the end of the one before.
    LanResponse node;
    result = receiveResponse(node, deadlineIn(timeoutSec), timeoutSec);
    if (result != 0) {
      noteFailedReceive(result);
      break;
    }
    const bool last = (node.header.flags & LanHeader::kFlagMore) == 0;
    {
      std::lock_guard lock(link.cs);
      if (record->responses) record->responses->push_back(std::move(node));
    }
    record->activity.set();
    if (last) break;
  }
  unlockQuietly(record->instrument2);
  record->result = result ? result : kResultCompleted;
  record->unblockedBusy = false;
  record->completion.set();
  record->activity.set();
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Connection

bool CreateTCPSocket(std::uint32_t address, std::uint16_t port) {
  LogDebug(5, "CreateTCPSocket()");
  LinkState& link = Link();
  link.socket.close();
  link.ResetStream();
  for (int attempt = 1; attempt <= 2; ++attempt) {
    net::Socket s = net::Socket::create(net::Socket::Type::stream);
    if (!s) {
      LogError("Can't create tcp socket: %d", net::lastError());
      return false;
    }
    // Commands are small and answered at once: send them without waiting to coalesce.
    (void)s.setNoDelay(true);  // without it commands only go a little later
    if (s.connect({address, port}, kConnectTimeout)) {
      link.socket = std::move(s);
      return true;
    }
    LogError("Can't connect to %s (%d): %d\n", net::formatAddress(address).c_str(), static_cast<int>(port),
             net::lastError());
    if (attempt == 1) {
      LogDebug(1, "Trying again...");
      platform::sleepFor(kConnectRetryPause);
    }
  }
  return false;
}

int OpenInstrument(CLanInstr* instrument) {
  if (!instrument || instrument->entries.empty()) return kErrConnectionLost;
  const CLanInstrEntry& e = instrument->First();
  if (!CreateTCPSocket(e.address, e.port)) return kErrConnectionLost;
  LogInfo("Connected to instrument at %s, port %d", net::formatAddress(e.address).c_str(),
          static_cast<int>(e.port));
  return 0;
}

bool ReconnectInstrument(CLanInstr* instrument) {
  stopAllMonitors();
  Link().socket.close();
  Link().ResetStream();
  if (!instrument || instrument->entries.empty()) return false;
  const CLanInstrEntry& e = instrument->First();
  if (!CreateTCPSocket(e.address, e.port)) return false;
  LogInfo("Connected to instrument at %s, port %d", net::formatAddress(e.address).c_str(),
          static_cast<int>(e.port));
  return true;
}

void CloseInstrument(CLanInstr* instrument) {
  LogInfo("Shutting Down Instrument");
  LinkState& link = Link();
  // The monitor must be gone before the socket and the record it uses.
  stopAllMonitors();
  if (CLanInstrInfo* record = FindLockRecord(instrument)) {
    if (record->lockCount == 0) {
      RemoveLockRecord(record);
    } else {
      LogWarning("All locks have not been released.");
    }
  }
  link.socket.close();
  link.ResetStream();
}

void ForgetInstrument(CLanInstr* instrument) {
  if (CLanInstrInfo* record = FindLockRecord(instrument)) {
    stopMonitor(*record);
    RemoveLockRecord(record);
  }
}

bool IsInstrumentOpen() { return Link().socket.valid(); }

// ---------------------------------------------------------------------------------------
// Sending and receiving

namespace {

int sendBytes(std::span<const std::uint8_t> bytes, int timeoutSec) {
  net::Socket& socket = Link().socket;
  if (!socket.valid()) return kErrConnectionLost;
  const auto timeout = timeoutSec == 0 ? net::kNoLimit : std::chrono::milliseconds(timeoutSec * 1000LL);
  const net::IoResult r = socket.send(bytes, timeout);
  if (r.ok()) return 0;
  switch (r.error) {
    case net::WSAETIMEDOUT:
      LogError("Timeout waiting on send completion");
      return kErrTimedOut;
    case net::WSAECONNABORTED:
      LogError("Connection with Instrument Terminated");
      return kErrConnectionLost;
    case net::WSAECONNRESET:
      LogError("Connection Reset by Instrument");
      return kErrConnectionLost;
    default:
      LogError("WSARecv: %d", r.error);
      return kErrConnectionLost;
  }
}

}  // namespace

int DoSend(std::span<const std::uint8_t> bytes, int timeoutSec) {
  // Bytes of an earlier, aborted command must not be read as this command's response.
  int flushes = 0;
  while (staleBytesWaiting()) {
    std::uint8_t scratch[kFlushChunk];
    int count = kFlushChunk;
    if (DoRecv(count, scratch, 0) != 0 && count == kFlushChunk) break;
    ++flushes;
  }
  if (flushes > 0)
    LogWarning("DoSend: Flushed receive pipe %d times. Buffer size is %d. (hdr sz %d).", flushes, kFlushChunk,
               static_cast<int>(LanHeader::kSize));
  return sendBytes(bytes, timeoutSec);
}

int DoRecv(int& count, std::uint8_t* buffer, int timeoutSec) {
  LogDebug(6, "--Entering DoRecv");
  if (!Link().socket.valid() || count < 0 || (count > 0 && !buffer)) return kErrConnectionLost;
  int missing = 0;
  const int r = readStream(buffer, count, missing, deadlineIn(timeoutSec), timeoutSec);
  count = missing;
  return r;
}

// ---------------------------------------------------------------------------------------
// Commands

int ExecuteInstrCmd(CLanInstr* instrument, LanFrame& frame, LanResponseList& responses, int timeoutSec,
                    bool blocking) {
  LinkState& link = Link();
  if (timeoutSec < 0 || timeoutSec > kMaxTimeoutSec || !instrument || instrument->entries.empty()) {
    LogError("ExecuteInstrCmd Parameter Error");
    return kErrBadParameter;
  }
  if (!link.socket.valid()) {
    if (const int r = OpenInstrument(instrument); r != 0) return r;
  }
  CLanInstrInfo* record = FindLockRecord(instrument);
  if (!record) {
    LogError("ExecuteInstrCmd called on unknown instrument");
    return kErrConnectionLost;
  }
  if (record->unblockedBusy) {
    LogError("ExecuteInstrCmd called while unblocked command still in progress");
    return kErrLockedByOther;
  }
  int refused = 0;
  if (!lockForCommand(instrument, "ExecuteInstrCmd unable to lock instrument", refused)) return refused;

  frame.SetTimeout(timeoutSec);
  frame.SetInstrId(instrument->First().id);
  const std::span<const std::uint8_t> bytes = frame.Finalize();
  if (frame.HasBuffer()) {
    if (record->unblockedBusy) {
      LogError("ExecuteInstrCmd called before previous command completed");
      unlockQuietly(instrument);
      return kErrCommandOverlap;
    }
    {
      std::lock_guard lock(link.cs);
      for (std::size_t i = 0; i < responses.size(); ++i) LogDebug(4, "ExecuteInstrCmd: Flushing Unread Data");
      responses.clear();
    }
    // A stream that may still bring an earlier command's bytes is not read again: a new
    // connection cannot hold them. Flushing what happens to be there would not do: the
    // rest of a late reply may come a moment later.
    const char* why = link.outOfStep.load();
    if (!why && staleBytesWaiting()) why = "bytes that no command asked for were waiting";
    if (why) {
      LogWarning("LAN: Reply stream out of step (%s): reconnecting before the next command.", why);
      if (!ReconnectInstrument(instrument)) {
        unlockQuietly(instrument);
        return kErrConnectionLost;
      }
    }
    if (const int r = sendBytes(bytes, timeoutSec); r != 0) {
      markOutOfStep("a command went out in part only");
      unlockQuietly(instrument);
      return r;
    }
    record->responsePending = true;
  }

  if (blocking) {
    // A time-out of 0 went out as 5 s: wait as long here (0 would only look). One
    // deadline for the whole reply, from the moment the command went out.
    const int waitSec = timeoutSec ? timeoutSec : kDefaultCommandTimeoutSec;
    LanResponse node;
    const int r = receiveResponse(node, deadlineIn(waitSec), waitSec);
    if (r == kErrTimedOut)
      LogDebug(1, node.data.empty()
                      ? "ExecuteInstrCmd: Wait for Response (Blocking I/O Request) timed out!"
                      : "ExecuteInstrCmd: Receive response message (Blocking I/O Request) timed out!");
    if (r != 0) noteFailedReceive(r);
    // Further responses are announced, but a blocking command reads one: they would be
    // the next command's reply.
    if (r == 0 && (node.header.flags & LanHeader::kFlagMore) != 0)
      markOutOfStep("a blocking command's reply announced further responses");
    // Another response right behind this one, read with it: one of the two answers an
    // earlier command (an instrument that answered twice), and which one cannot be told.
    // Scan data may follow a reply as well, but it does not look like a response header.
    if (r == 0 && responseHeaderFollows(instrument->First().id)) {
      LogError("LAN: Two responses arrived for one command; neither is taken.");
      markOutOfStep("two responses arrived for one command");
      unlockQuietly(instrument);
      record->responsePending = false;
      std::lock_guard lock(link.cs);
      responses.clear();
      return kErrCommandOverlap;
    }
    {
      std::lock_guard lock(link.cs);
      responses.clear();
      if (r == 0) responses.push_back(std::move(node));
    }
    unlockQuietly(instrument);
    record->responsePending = false;
    return r == 0 ? kResultCompleted : r;
  }

  // Unblocked: a response-monitor thread collects the responses and releases the lock.
  stopMonitor(*record);  // the previous one has finished (unblockedBusy was clear): only joined
  record->timeoutSec = timeoutSec;
  record->result = kResultQueued;
  record->unblockedBusy = true;
  record->responses = &responses;
  record->instrument2 = instrument;
  record->completion.reset();
  record->activity.reset();
  record->monitor = std::make_unique<platform::Thread>();
  if (!record->monitor->start([record](platform::Event&) { return respMonitor(record); }, "respMonitor")) {
    LogError("Unable to create respMonitor thread (%d)", errno);
    record->monitor.reset();
    record->unblockedBusy = false;
    record->responsePending = false;
    record->result = kErrOutOfMemory;
    unlockQuietly(instrument);
    return kErrOutOfMemory;
  }
  return kResultQueued;
}

int AwaitInstrCmd(CLanInstr* instrument, int timeoutSec, bool wait) {
  CLanInstrInfo* record = FindLockRecord(instrument);
  if (!record) {
    LogError("AwaitInstrCmd called on unknown instrument");
    return kErrConnectionLost;
  }
  if (record->responsePending && !record->unblockedBusy) {
    record->responsePending = false;
    return record->result;
  }
  if (wait) {
    const auto timeout =
        timeoutSec == 0 ? platform::kInfinite : std::chrono::milliseconds(timeoutSec * 1000LL);
    if (!record->completion.wait(timeout)) return kErrTimedOut;
    record->responsePending = false;
    return record->result;
  }
  return record->responsePending ? kResultQueued : record->result.load();
}

int GetScanData(CLanInstr* instrument, std::uint8_t* buffer, int& count, int timeoutSec) {
  if (timeoutSec < 0 || timeoutSec > kMaxTimeoutSec || count < 0 || (count > 0 && !buffer) || !instrument ||
      instrument->entries.empty()) {
    LogError("GetScanData Parameter Error");
    return kErrBadParameter;
  }
  if (!Link().socket.valid()) {
    if (const int r = OpenInstrument(instrument); r != 0) return r;
  }
  CLanInstrInfo* record = FindLockRecord(instrument);
  if (!record) {
    LogError("GetScanData called on unknown instrument");
    return kErrConnectionLost;
  }
  if (record->unblockedBusy) {
    LogError("GetScanData called before previous command completed");
    return kErrCommandOverlap;
  }
  int refused = 0;
  if (!lockForCommand(instrument, "GetScanData unable to lock instrument", refused)) return refused;
  const int wanted = count;
  const int r = DoRecv(count, buffer, timeoutSec);
  count = wanted - count;
  unlockQuietly(instrument);
  return r == 0 ? kResultCompleted : r;
}

// ---------------------------------------------------------------------------------------
// Response lists

bool TakeFirstResponse(LanResponseList& list, std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(Link().cs);
  if (list.empty()) return false;
  LanResponse& first = list.front();
  bytes.assign(first.data.begin(), first.data.begin() + static_cast<long>(first.Length()));
  list.clear();
  return true;
}

bool TakeFirstResponseString(LanResponseList& list, std::string& text) {
  std::vector<std::uint8_t> bytes;
  if (!TakeFirstResponse(list, bytes)) return false;
  // Up to the first NUL, as a C string would be read.
  const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
  text.assign(bytes.begin(), end);
  return true;
}

std::vector<std::uint8_t> CollectUnblockedResponses(CLanInstr* instrument, LanResponseList& list) {
  LinkState& link = Link();
  auto takeAll = [&](std::vector<std::uint8_t>& out) {
    std::lock_guard lock(link.cs);
    if (list.empty()) return false;
    LanResponseList chain;
    chain.splice(chain.end(), list);
    std::size_t total = 0;
    for (const auto& n : chain) total += n.Length();
    out.reserve(total);
    for (const auto& n : chain)
      out.insert(out.end(), n.data.begin(), n.data.begin() + static_cast<long>(n.Length()));
    return true;
  };
  CLanInstrInfo* record = FindLockRecord(instrument);
  if (!record) throw kErrConnectionLost;
  std::vector<std::uint8_t> out;
  for (;;) {
    if (takeAll(out)) return out;
    const int r = AwaitInstrCmd(instrument, 0, false);
    if (r == kResultQueued) {
      // Woken by the next response or by the end; no polling.
      (void)record->activity.wait(platform::kInfinite);  // no limit: it returns once set
      continue;
    }
    // The last response may have arrived between the look above and the end: look again.
    if (takeAll(out)) return out;
    throw r;
  }
}

void FreeResponseList(LanResponseList& list) {
  std::lock_guard lock(Link().cs);
  list.clear();
}

bool RemoveAllLaserRequests() {
  LogDebug(1, "RemoveAllLaserRequests() function is not for C scanner");
  return false;
}

bool SetupLaserPowerRequest() {
  LogDebug(1, "SetupLaserPowerRequest() function is not for C scanner");
  return false;
}
