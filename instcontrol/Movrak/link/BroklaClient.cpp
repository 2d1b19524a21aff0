#include "link/BroklaClient.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "BroklaProtocol/BroklaAppMessage.h"
#include "Jotwell/Logger.h"
#include "link/ErrorIds.h"
#include "link/LinkState.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kConnectTimeout = 1000ms;
constexpr auto kConnectRetry = 20ms;
// The manager answers at once, except a status request, which may take it 5 s.
constexpr auto kReplyTimeout = 30s;
constexpr auto kWriteTimeout = 5s;
// How long a new event pipe is watched for the manager's close before it counts as kept.
constexpr auto kEventCloseWait = 500ms;

constexpr std::size_t kHelloReplyMax = 1024;
constexpr std::size_t kEnumerateReplyMax = 1024;
constexpr std::size_t kLockReplyMax = 9;
constexpr std::size_t kStatusReplyMax = 10;

std::uint32_t processId() { return static_cast<std::uint32_t>(platform::localpipe::currentProcessId()); }

enum class Locks { forget, keep };

// The manager forgets this process's locks when the process closes its pipes. Pipes that
// failed under a request are closed too, but what this process holds stays its own: the
// manager is gone (or restarting) and took its lock table with it, and the commands of
// the open device go on locking the instrument locally until the device closes.
void closePipes(Locks locks = Locks::forget) {
  LinkState& link = Link();
  link.appPipe.close();
  {
    std::lock_guard lock(link.eventMutex);
    link.eventPipe.close();
  }
  if (locks == Locks::keep) return;
  std::lock_guard lock(link.cs);
  for (auto& r : link.records) {
    r->locked = false;
    r->lockCount = 0;
  }
}

enum class Exchange { ok, writeFailed, readFailed, malformed };

// One request and its reply on the application pipe (caller holds pipeMutex).
Exchange exchange(const CBroklaAppMessage& request, std::size_t maxReply, CBroklaAppMessage& reply,
                  int& error) {
  auto& pipe = Link().appPipe;
  error = 0;
  if (!pipe.isOpen()) {
    error = ENOTCONN;
    return Exchange::writeFailed;
  }
  if (!pipe.write(request.GetWire(), kWriteTimeout)) {
    error = pipe.error();
    return Exchange::writeFailed;
  }
  std::vector<std::uint8_t> buffer(maxReply);
  const auto r = pipe.read(buffer, kReplyTimeout);
  if (!r.ok() || r.size == 0) {
    error = pipe.error();
    return Exchange::readFailed;
  }
  if (!reply.Assign({buffer.data(), r.size})) return Exchange::malformed;
  return Exchange::ok;
}

// Logs a failed exchange with the request's own texts; pipes that failed are closed.
void reportExchange(Exchange e, int error, const char* what) {
  switch (e) {
    case Exchange::ok:
      break;
    case Exchange::writeFailed:
      LogError("Error writing message to Connection Manager (%d).", error);
      closePipes(Locks::keep);
      break;
    case Exchange::readFailed:
      LogError("Timed out waiting for rsp from Connection Manager (%d).", error);
      closePipes(Locks::keep);
      break;
    case Exchange::malformed:
      LogError("%s got a malformed response from Connection Manager.", what);
      break;
  }
}

CBroklaAppMessage makeRequest(int type, std::uint32_t id) {
  CBroklaAppMessage m;
  m.SetType(type);
  m.SetDataU32(0, id);
  m.SetDataLength(4);
  return m;
}

CLanInstrEntry copyEntry(CLanInstrEntry& source) {
  CLanInstrEntry e;
  e.id = source.id;
  e.address = source.address;
  e.port = source.port;
  e.type = source.type;
  e.serialNumber = source.serialNumber;
  for (int i = 0; i < kEventInterestLists; ++i) e.interest[i].splice(e.interest[i].end(), source.interest[i]);
  return e;
}

bool writeEvent(const CBroklaAppMessage& m, int& error) {
  LinkState& link = Link();
  std::lock_guard lock(link.eventMutex);
  if (!link.eventPipe.isOpen()) {
    error = ENOTCONN;
    return false;
  }
  if (link.eventPipe.write(m.GetWire(), kWriteTimeout)) return true;
  error = link.eventPipe.error();
  return false;
}

// Whether the event pipe is still open at the manager's end (it may hold events). A
// manager with no event channel free closes a new one from another thread than the one
// that answers requests, and says nothing when it keeps it: so the close is given a
// moment to arrive before the pipe counts as kept.
bool eventPipeOpen(std::chrono::milliseconds wait) {
  LinkState& link = Link();
  std::lock_guard lock(link.eventMutex);
  return link.eventPipe.isOpen() && link.eventPipe.peekWithin(wait).has_value();
}

}  // namespace

bool ConnectToConnectionManager() {
  LinkState& link = Link();
  std::lock_guard lock(link.pipeMutex);
  link.appPipe = platform::localpipe::Pipe::connect(brokla::kAppPipe, kConnectTimeout, kConnectRetry);
  if (!link.appPipe.isOpen()) {
    LogError("Timed out trying to connect to Connection Manager.");
    LogError("Try re-starting the Connection Manager.");
    return false;
  }
  LogInfo("Connected to Connection Manager.");

  const CBroklaAppMessage hello = makeRequest(brokla::kMsgHello, processId());
  if (!link.appPipe.write(hello.GetWire(), kWriteTimeout)) {
    LogError("Unable to send startup message to Connection Manager (%d).", link.appPipe.error());
    LogError("Try re-starting the Connection Manager.");
    closePipes();
    return false;
  }
  std::vector<std::uint8_t> buffer(kHelloReplyMax);
  const auto r = link.appPipe.read(buffer, kReplyTimeout);
  if (!r.ok() || r.size == 0) {
    LogError("Timed out waiting for startup message response from Connection Manager (%d).",
             link.appPipe.error());
    LogError("Try re-starting the Connection Manager.");
    closePipes();
    return false;
  }
  CBroklaAppMessage reply;
  const bool whole = reply.Assign({buffer.data(), r.size});
  if (!whole || reply.GetType() != brokla::kMsgHello) {
    LogError("Received unexpected response from Connection Manager (%d, should be %d)",
             whole ? reply.GetType() : -1, brokla::kMsgHello);
    closePipes();
    return false;
  }

  {
    std::lock_guard eventLock(link.eventMutex);
    link.eventPipe = platform::localpipe::Pipe::connect(brokla::kEventPipe, kConnectTimeout, kConnectRetry);
  }
  if (!link.eventPipe.isOpen()) {
    LogError("Timed out trying to connect to Event Manager (%d).", link.eventPipe.error());
    LogError("Try re-starting the Connection Manager.");
    closePipes();
    return false;
  }
  LogInfo("Connected to Event Manager.");
  int error = 0;
  // Without its announcement the manager never attaches the event pipe: no events, no abort.
  if (!writeEvent(makeRequest(brokla::kEventNewApp, processId()), error)) {
    LogError("Error writing event NEW APP to Connection Manager (%d).", error);
    LogError("Try re-starting the Connection Manager.");
    closePipes();
    return false;
  }
  return true;
}

void DisconnectConnectionManager() {
  LogInfo("Shutting Down Connection Manager");
  std::lock_guard lock(Link().pipeMutex);
  closePipes();
}

bool IsConnectionManagerConnected() {
  std::lock_guard lock(Link().pipeMutex);
  return Link().appPipe.isOpen();
}

std::unique_ptr<CLanInstr> EnumerateInstruments(int typeFilter) {
  LinkState& link = Link();
  std::lock_guard lock(link.pipeMutex);
  bool hello = false;
  if (!link.appPipe.isOpen()) {
    if (!ConnectToConnectionManager()) return nullptr;
    hello = true;
  }

  CBroklaAppMessage query;
  query.SetType(brokla::kMsgEnumerate);
  CBroklaAppMessage reply;
  int error = 0;
  Exchange e = exchange(query, kEnumerateReplyMax, reply, error);
  if (e == Exchange::writeFailed && !hello) {
    // Pipes of an earlier hello: the manager that served them has gone (restarted, most
    // likely). The request never reached anyone, so it goes again after a new hello.
    reportExchange(e, error, "Enumerate");
    LogInfo("Connecting to the Connection Manager again.");
    if (!ConnectToConnectionManager()) return nullptr;
    hello = true;
    e = exchange(query, kEnumerateReplyMax, reply, error);
  }
  if (e != Exchange::ok) {
    reportExchange(e, error, "Enumerate");
    return nullptr;
  }
  if (hello && !eventPipeOpen(kEventCloseWait)) {
    // A manager with no channel free takes the event pipe and closes it at once (the pipe
    // gives no word of its own on success).
    // Going on would leave the application without reboot and laser events and CMD ABORT.
    LogError("The Connection Manager closed the event pipe (all its event channels may be taken).");
    LogError("Try again in a few seconds, or re-start the Connection Manager.");
    closePipes();
    return nullptr;
  }
  if (reply.GetType() != brokla::kMsgEnumerate) {
    LogError("Enumerate got unexpected response (%d, should be %d).", reply.GetType(), brokla::kMsgEnumerate);
    return nullptr;
  }
  const int count = reply.GetDataLength() / brokla::kInstrumentEntrySize;
  if (reply.GetDataLength() % brokla::kInstrumentEntrySize != 0)
    LogWarning("Enumerate response holds %d bytes beyond its %d instrument entries; ignored.",
               reply.GetDataLength() % brokla::kInstrumentEntrySize, count);

  auto table = std::make_unique<CLanInstr>();
  const std::uint8_t* data = reply.GetBuffer() + CBroklaAppMessage::kHeaderSize;
  for (int i = 0; i < count; ++i) {
    const auto parsed = brokla::ParseInstrumentEntry(
        {data + static_cast<std::size_t>(i) * brokla::kInstrumentEntrySize, brokla::kInstrumentEntrySize});
    if (!parsed) continue;
    if (typeFilter != 255 && parsed->type != typeFilter) continue;
    CLanInstrEntry entry;
    entry.id = parsed->id;
    entry.address = parsed->address;
    entry.port = parsed->port;
    entry.type = parsed->type;
    entry.serialNumber = parsed->serialNumber;
    table->entries.push_back(std::move(entry));
  }
  return table;
}

bool isLockedInstrument(const char* connectString, std::unique_ptr<CLanInstr>& table, bool request,
                        int* notFound) {
  if (!connectString || !*connectString) return isLockedInstrument(table.get(), request);

  const auto target = parseConnectString(connectString);
  if (target) {
    if (target->port > 65535) LogError("Illegal port number: %ld\r\n", target->port);
    const long* o = target->octets;
    if (o[0] > 255 || o[1] > 255 || o[2] > 255 || o[3] > 255)
      LogError("Illegal internet address: %ld.%ld.%ld.%ld\r\n", o[0], o[1], o[2], o[3]);
  }
  auto list = EnumerateInstruments(255);
  if (!list) {
    LogError("No instruments found or Connection Manager not installed");
    if (notFound) *notFound = movrak::kErrConnectionManager;
    return false;
  }
  std::unique_ptr<CLanInstr> found;
  for (auto& entry : list->entries) {
    if (ConnectStringNames(connectString, entry)) {
      found = std::make_unique<CLanInstr>();
      found->entries.push_back(copyEntry(entry));
      break;
    }
  }
  if (!found) {
    LogError("Lock Request on Unknown Instrument");
    // "No instruments" only when the list is empty; else the named one is not among them.
    if (notFound) *notFound = list->entries.empty() ? movrak::kErrNoInstruments : movrak::kErrScannerNotFound;
    return false;
  }
  table = std::move(found);
  return isLockedInstrument(table.get(), request);
}

bool isLockedInstrument(CLanInstr* table, bool request) {
  if (!table || table->entries.empty()) {
    LogError("isLockedInstrument Parameter Error!");
    return false;
  }
  LinkState& link = Link();
  CLanInstrInfo& record = FindOrCreateLockRecord(table);
  const int pid = static_cast<int>(processId());
  {
    std::lock_guard lock(link.cs);
    if (record.locked && record.ownerPid == pid) {
      if (request) ++record.lockCount;
      return true;
    }
  }

  std::lock_guard pipeLock(link.pipeMutex);
  const std::uint32_t id = table->First().id;
  CBroklaAppMessage query = makeRequest(brokla::kMsgLock, id);
  query.SetDataByte(4, request ? brokla::kLockOpLock : brokla::kLockOpQuery);
  query.SetDataLength(5);
  CBroklaAppMessage reply;
  int error = 0;
  const Exchange e = exchange(query, kLockReplyMax, reply, error);
  if (e != Exchange::ok) {
    reportExchange(e, error, "Lock");
    return false;
  }
  if (reply.GetType() != brokla::kMsgLock) {
    LogError("Lock got unexpected response (%d, should be %d).", reply.GetType(), brokla::kMsgLock);
    return false;
  }
  if (reply.GetDataLength() < 5) {
    reportExchange(Exchange::malformed, 0, "Lock");
    return false;
  }
  if (reply.GetDataU32(0) != id) {
    LogError("Lock response for wrong instrument id (%d, should be %d).",
             static_cast<int>(reply.GetDataU32(0)), static_cast<int>(id));
    return false;
  }
  const int status = reply.GetDataByte(4);
  if (status == 1) {
    LogError("Unable to Lock instrument - no longer available.");
    throw movrak::kErrConnectionLost;
  }
  if (status != 0 || reply.GetDataLength() < 7) {
    reportExchange(Exchange::malformed, 0, "Lock");
    return false;
  }
  const int before = reply.GetDataByte(5);
  const int after = reply.GetDataByte(6);
  std::lock_guard lock(link.cs);
  if (request) {
    if (after != before + 1) return false;  // someone else holds it
    record.locked = true;
    record.ownerPid = pid;
    record.lockCount = after;
    return true;
  }
  if (after < 1) {
    record.locked = false;
    record.lockCount = 0;
    return false;
  }
  return true;
}

int UnlockInstrument(CLanInstr* table) {
  LinkState& link = Link();
  CLanInstrInfo* record = FindLockRecord(table);
  if (!record || table->entries.empty()) {
    LogError("UnlockInstrument: tried to unlock unknown instrument");
    return 0;
  }
  {
    std::lock_guard lock(link.cs);
    if (!record->locked || record->ownerPid != static_cast<int>(processId())) {
      LogError("UnlockInstrument: tried to unlock somebody else's instrument");
      return 0;
    }
    if (record->lockCount > 1) return --record->lockCount;
  }

  std::lock_guard pipeLock(link.pipeMutex);
  const std::uint32_t id = table->First().id;
  CBroklaAppMessage query = makeRequest(brokla::kMsgLock, id);
  query.SetDataByte(4, brokla::kLockOpUnlock);
  query.SetDataLength(5);
  CBroklaAppMessage reply;
  int error = 0;
  const Exchange e = exchange(query, kLockReplyMax, reply, error);
  if (e != Exchange::ok) {
    reportExchange(e, error, "Unlock");
    return 0;
  }
  if (reply.GetType() != brokla::kMsgLock) {
    LogError("Unlock got unexpected response (%d, should be %d).", reply.GetType(), brokla::kMsgLock);
    return 0;
  }
  if (reply.GetDataLength() < 5) {
    reportExchange(Exchange::malformed, 0, "Unlock");
    return 0;
  }
  if (reply.GetDataU32(0) != id) {
    LogError("Unlock response for wrong instrument id (%d, should be %d).",
             static_cast<int>(reply.GetDataU32(0)), static_cast<int>(id));
    return 0;
  }
  if (reply.GetDataByte(4) == 1) {
    LogError("Unable to Unlock instrument - no longer available.");
    throw movrak::kErrConnectionLost;
  }
  if (reply.GetDataByte(4) != 0 || reply.GetDataLength() < 7) {
    reportExchange(Exchange::malformed, 0, "Unlock");
    return 0;
  }
  std::lock_guard lock(link.cs);
  record->lockCount = reply.GetDataByte(6);
  return record->lockCount;
}

bool GetInstrumentStatus(CLanInstr* table, std::uint8_t* comm, std::uint8_t* laser) {
  if (!table || table->entries.empty()) return false;
  LinkState& link = Link();
  std::lock_guard pipeLock(link.pipeMutex);
  const std::uint32_t id = table->First().id;
  CBroklaAppMessage reply;
  int error = 0;
  const Exchange e = exchange(makeRequest(brokla::kMsgStatus, id), kStatusReplyMax, reply, error);
  if (e != Exchange::ok) {
    reportExchange(e, error, "Status request");
    return false;
  }
  if (reply.GetType() != brokla::kMsgStatus) {
    LogError("Status request got unexpected response (%d, should be %d).", reply.GetType(),
             brokla::kMsgStatus);
    return false;
  }
  if (reply.GetDataLength() < 5) {
    reportExchange(Exchange::malformed, 0, "Status request");
    return false;
  }
  if (reply.GetDataU32(0) != id) {
    LogError("Status Request response for wrong instrument id (%d, should be %d).",
             static_cast<int>(reply.GetDataU32(0)), static_cast<int>(id));
    return false;
  }
  if (reply.GetDataByte(4) != 0) {
    LogDebug(1, "Status request failed (%d). Instrument off-line?", reply.GetDataByte(4));
    return false;
  }
  if (reply.GetDataLength() < 7) {
    reportExchange(Exchange::malformed, 0, "Status request");
    return false;
  }
  if (comm) *comm = reply.GetDataByte(5);
  if (laser) *laser = reply.GetDataByte(6);
  return true;
}

bool GetInstrumentCommStatus(CLanInstr* table, std::uint8_t* comm) {
  return GetInstrumentStatus(table, comm, nullptr);
}

bool GetInstrumentLaserStatus(CLanInstr* table, std::uint8_t* laser) {
  return GetInstrumentStatus(table, nullptr, laser);
}

bool PostInstrEvent(CLanInstr* /*table*/, EventMask mask, std::uint32_t data) {
  int error = 0;
  if (mask.TestBit(brokla::kEventCmdAbort)) {
    LogInfo("Posting CMD ABORT event.");
    if (!writeEvent(makeRequest(brokla::kEventCmdAbort, processId()), error))
      LogError("Error writing event CMD ABORT to Connection Manager (%d).", error);
    return true;
  }
  if (mask.TestBit(brokla::kEventNewApp)) {
    if (!writeEvent(makeRequest(brokla::kEventNewApp, data), error))
      LogError("Error writing event NEW APP to Connection Manager (%d).", error);
    return true;
  }
  LogInfo("PostInstrEvent called for unrecognized event!");
  return false;
}

bool GetInstrEvent(CLanInstr* /*table*/, EventMask wantMask, EventMask& gotMask,
                   std::vector<std::uint8_t>& data) {
  LinkState& link = Link();
  std::lock_guard lock(link.eventMutex);
  for (;;) {
    const auto waiting = link.eventPipe.peek();
    if (!waiting) {
      LogError("Error peeking event pipe %d", link.eventPipe.error());
      return false;
    }
    if (*waiting == 0) return false;
    std::vector<std::uint8_t> bytes(*waiting);
    const auto r = link.eventPipe.read(bytes, 0ms);
    if (!r.ok()) {
      LogError("Error retrieving event from Event Manager (%d).", link.eventPipe.error());
      return false;
    }
    CBroklaAppMessage event;
    if (!event.Assign({bytes.data(), r.size})) {
      LogWarning("Dropped a malformed event (%d bytes) from Event Manager.", static_cast<int>(r.size));
      continue;
    }
    if (!wantMask.TestBit(event.GetType())) continue;  // not asked for: consumed and dropped
    gotMask.SetBit(event.GetType());
    const std::uint8_t* begin = event.GetBuffer() + CBroklaAppMessage::kHeaderSize;
    data.assign(begin, begin + event.GetDataLength());
    return true;
  }
}

void RegisterInstrEvent(CLanInstr* table, EventMask mask) {
  if (!table || table->entries.empty() || !mask.TestBit(brokla::kEventReboot)) return;
  std::lock_guard lock(Link().cs);
  table->First().interest[brokla::kEventReboot].push_back({static_cast<int>(processId()), 0});
}

void UnregisterInstrEvent(CLanInstr* table, EventMask mask) {
  if (!table || table->entries.empty() || !mask.TestBit(brokla::kEventReboot)) return;
  std::lock_guard lock(Link().cs);
  auto& list = table->First().interest[brokla::kEventReboot];
  const int pid = static_cast<int>(processId());
  const auto it =
      std::find_if(list.begin(), list.end(), [&](const CEventInterest& i) { return i.processId == pid; });
  if (it != list.end()) list.erase(it);
}
