#include "Monitors.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "BroklaConfig.h"
#include "BroklaProtocol/BroklaAppMessage.h"
#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "platform/files.h"
#include "platform/process.h"

using namespace std::chrono_literals;

namespace {

// Replies go to a client that is waiting for them; one that does not read is not waited for.
constexpr auto kReplyTimeout = 1000ms;
constexpr auto kEventTimeout = 200ms;
// Requests kept behind a status request of the same application, at most.
constexpr std::size_t kMaxDeferred = 32;

// The data a request or event of a type needs at least; -1: not a type of that pipe.
int AppRequestDataNeeded(int type) {
  switch (type) {
    case brokla::kMsgHello:
      return 4;
    case brokla::kMsgEnumerate:
      return 0;
    case brokla::kMsgLock:
      return 5;
    case brokla::kMsgStatus:
      return 4;
    case brokla::kMsgLaserPowerRequest:
      return 48;
    case brokla::kMsgRemoveLaserTimers:
      return 4;
    default:
      return -1;
  }
}

CBroklaAppMessage MakeReply(int type, std::uint32_t id, std::initializer_list<std::uint8_t> bytes) {
  CBroklaAppMessage m;
  m.SetType(type);
  m.SetDataU32(0, id);
  int at = 4;
  for (std::uint8_t b : bytes) m.SetDataByte(at++, b);
  m.SetDataLength(at);
  return m;
}

brokla::InstrumentEntry EntryOf(const InstrSnapshot& s) {
  brokla::InstrumentEntry e;
  e.id = static_cast<std::uint32_t>(s.id);
  e.address = s.address;
  e.port = static_cast<std::uint16_t>(s.port);
  e.type = static_cast<std::uint8_t>(s.type);
  e.serialNumber = s.serialNumber;
  return e;
}

// Whether the process at the other end of a channel is the one it names. The name is the
// client's word; the peer's credentials are the system's. Refusals are logged.
bool StatedPidIsPeers(const CChannelMgr& channels, int channel, int statedPid, const char* what) {
  const auto peer = channels.GetPeerPid(channel);
  if (peer && *peer == statedPid) return true;
  LogError("Refused %s (channel %d): it states pid %d, but the process at that channel is %s.", what, channel,
           statedPid, peer ? ("pid " + std::to_string(*peer)).c_str() : "unknown");
  return false;
}

const char* LockRequestName(int operation) {
  return operation == LOCK_LOCK ? "LOCK" : operation == LOCK_UNLOCK ? "UNLOCK" : "LOCKSTAT";
}

}  // namespace

std::string LogTime() { return platform::formatLocalTime("%A, %d-%b-%Y at %H:%M"); }

// =======================================================================================
// Application monitor

CAppMonitor::CAppMonitor(CBroklaContext& context)
    : m_Ctx(context),
      m_Channels(
          brokla::kMaxApps, [&context] { return context.NewConnection(); }, "msg channel", "hello",
          kHelloWait) {}

CAppMonitor::~CAppMonitor() { Stop(); }

void CAppMonitor::Listen() {
  m_Channels.Listen(brokla::kAppPipe);
  LogDebug(2, "Adding channel to listen for apps %d", m_Channels.ListeningChannel());
}

void CAppMonitor::Start() {
  // Without its thread the pipe is served by nobody: as fatal as not serving it at all.
  const bool started = m_Thread.start(
      [this](platform::Event&) {
        Run();
        return 0u;
      },
      "AppMonitor");
  if (!started) FatalError("CreateThread (AppMonitor): %d", platform::lastError());
}

void CAppMonitor::Stop() {
  m_bStop = true;
  m_Channels.Wake();
  // Never called on the monitor's own thread: the join cannot fail.
  if (m_Thread.joinable()) (void)m_Thread.join();
}

void CAppMonitor::Run() {
  while (!m_bStop) {
    std::chrono::milliseconds timeout = platform::kInfinite;
    std::optional<platform::SteadyTime> first;
    for (const auto& p : m_Pending)
      if (!first || p.deadline < *first) first = p.deadline;
    if (first)
      timeout = std::max(std::chrono::ceil<std::chrono::milliseconds>(*first - platform::steadyNow()), 0ms);
    auto a = m_Channels.WaitChannelActivity(timeout);
    if (m_bStop) break;
    switch (a.code) {
      case CChannelMgr::MSG_RECEIVED:
        OnAppRequest(a.channel, a.connection, a.message, a.truncated);
        break;
      case CChannelMgr::CLOSED:
        AppMonitor(a.channel, a.connection);
        break;
      default:
        break;
    }
    CheckPendingStatus();
  }
}

bool CAppMonitor::HasPending(LockOwner connection) const {
  return std::any_of(m_Pending.begin(), m_Pending.end(),
                     [&](const auto& p) { return p.connection == connection; });
}

void CAppMonitor::OnAppRequest(int channel, LockOwner connection, const std::vector<std::uint8_t>& bytes,
                               bool truncated) {
  // An application waits for each reply before it asks again; should one not, its
  // requests are still answered in the order they came.
  if (HasPending(connection)) {
    auto& waiting = m_Deferred[connection];
    if (waiting.size() >= kMaxDeferred) {
      LogError("Ignoring a request from Application (msg channel %d): %zu wait for a status answer already.",
               channel, waiting.size());
      return;
    }
    waiting.emplace_back(bytes, truncated);
    return;
  }
  Handle(channel, connection, bytes, truncated);
}

void CAppMonitor::Handle(int channel, LockOwner connection, const std::vector<std::uint8_t>& bytes,
                         bool truncated) {
  CBroklaAppMessage m;
  if (truncated || !m.Assign(bytes)) {
    LogError("Ignoring a malformed request (%zu bytes) from Application (msg channel %d).", bytes.size(),
             channel);
    return;
  }
  const int type = m.GetType();
  const int needed = AppRequestDataNeeded(type);
  if (needed < 0) {
    LogError("Unrecognized Request %d Received from Application", type);
    return;
  }
  if (m.GetDataLength() < needed) {
    LogError("Ignoring Request %d from Application (msg channel %d): %d data bytes, %d needed.", type,
             channel, m.GetDataLength(), needed);
    return;
  }
  switch (type) {
    case brokla::kMsgHello:
      OnHello(channel, connection, static_cast<int>(m.GetDataU32(0)));
      break;
    case brokla::kMsgEnumerate:
      LogInfo("Instrument Enumeration Requested from App (msg channel %d).", channel);
      OnEnumerate(channel);
      break;
    case brokla::kMsgLock:
      OnLock(channel, connection, m.GetDataU32(0), m.GetDataByte(4));
      break;
    case brokla::kMsgStatus:
      OnStatus(channel, connection, m.GetDataU32(0));
      break;
    case brokla::kMsgLaserPowerRequest:
      OnLaserRequest(channel, m);
      break;
    case brokla::kMsgRemoveLaserTimers:
      OnRemoveTimers(channel, m.GetDataU32(0));
      break;
  }
}

bool CAppMonitor::Reply(int channel, const CBroklaAppMessage& m) {
  if (m_Channels.Send(channel, m.GetWire(), kReplyTimeout)) return true;
  LogError("Unable to reply %d to Application (msg channel %d).", m.GetType(), channel);
  return false;
}

void CAppMonitor::OnHello(int channel, LockOwner connection, int pid) {
  LogInfo("New Application (pid=%d) Connection Request to App Monitor", pid);
  // A process id decides whose locks and event channel are whose: one the pipe's own
  // process does not have is not taken, and the pipe is closed (the client sees its end
  // at once instead of waiting for a reply).
  if (!StatedPidIsPeers(m_Channels, channel, pid, "New Application")) {
    m_Channels.Disconnect(channel);
    AppMonitor(channel, connection);
    return;
  }
  struct Old {
    CBroklaApp app;
    std::vector<std::pair<InstrSnapshot, int>> released;
  };
  std::optional<Old> old;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    CBroklaApp* self = m_Ctx.m_AppList.FindByRequestConn(connection);
    CBroklaApp* dup = m_Ctx.m_AppList.FindByPid(pid);
    if (dup && dup != self) {
      old = Old{*dup, m_Ctx.m_InstrList.ReleaseOwner(dup->m_RequestConn)};
      m_Ctx.m_AppList.Remove(dup);
    }
    if (self) {
      self->m_nPid = pid;  // the same connection says hello again
    } else {
      CBroklaApp app;
      app.m_nRequestChannel = channel;
      app.m_RequestConn = connection;
      app.m_nPid = pid;
      m_Ctx.m_AppList.Add(app);
    }
  }
  if (old) {
    // What the replaced application still waits for goes with it: its answers would
    // otherwise reach whoever holds its channel number next.
    DropPendingWork(old->app.m_RequestConn);
    LogError("Duplicate Process ID (%d)!", pid);
    LogError("Closing pipes and freeing msg channel %d", old->app.m_nRequestChannel);
    if (!old->app.m_bRequestClosed &&
        m_Channels.GetConnection(old->app.m_nRequestChannel) == old->app.m_RequestConn)
      m_Channels.Disconnect(old->app.m_nRequestChannel);
    if (old->app.m_EventConn != 0 && !old->app.m_bEventClosed) {
      LogError("Closing pipes and freeing event channel %d", old->app.m_nEventChannel);
      if (m_Ctx.m_pEventMonitor)
        m_Ctx.m_pEventMonitor->PostDropChannel(old->app.m_nEventChannel, old->app.m_EventConn);
    }
    for (const auto& [instr, before] : old->released) {
      LogInfo("Unlocking instrument id=%d (SN: %s), lock owner pid=%d", instr.id, instr.serialNumber.c_str(),
              pid);
      m_Ctx.m_pScheduler->ResumeIdle(instr.id);
    }
    LogError("Removed app from app list");
  }
  m_Channels.Admit(channel);
  LogDebug(2, "New app (pid=%d) gets channel %d, Global channel for listening now %d", pid, channel,
           m_Channels.ListeningChannel());
  LogInfo("App Monitor Connection Established on %s", LogTime().c_str());
  CBroklaAppMessage reply;
  reply.SetType(brokla::kMsgHello);
  Reply(channel, reply);
}

void CAppMonitor::OnEnumerate(int channel) {
  std::vector<InstrSnapshot> all;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    all = m_Ctx.m_InstrList.ListingOrder();
  }
  CBroklaAppMessage reply;
  reply.SetType(brokla::kMsgEnumerate);
  std::string text;
  const std::size_t listed = std::min<std::size_t>(all.size(), brokla::kMaxInstrumentsPerMessage);
  for (std::size_t i = 0; i < listed; ++i) {
    const InstrSnapshot& s = all[i];
    brokla::PutInstrumentEntry(reply, static_cast<int>(i) * brokla::kInstrumentEntrySize, EntryOf(s));
    char line[160];
    std::snprintf(line, sizeof line, "Instrument #%d: ID=%d", static_cast<int>(i + 1), s.id);
    text += line;
    std::snprintf(line, sizeof line, " IP=%s", DottedAddress(s.address).c_str());
    text += line;
    std::snprintf(line, sizeof line, " PORT=%d", s.port);
    text += line;
    std::snprintf(line, sizeof line, " SN=%s\r\n", s.serialNumber.c_str());
    text += line;
  }
  reply.SetDataLength(static_cast<int>(listed) * brokla::kInstrumentEntrySize);
  // One message holds five entries; the others are left out rather than cut in half.
  if (listed < all.size())
    LogWarning("Enumeration lists %zu of %zu instruments: one reply holds no more.", listed, all.size());
  LogInfo("%s", text.c_str());
  Reply(channel, reply);
}

void CAppMonitor::OnLock(int channel, LockOwner connection, std::uint32_t id, int operation) {
  LogInfo("%s Request from Application (msg channel %d).", LockRequestName(operation), channel);
  int before = 0, after = 0;
  bool found = false;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaInstr* r = m_Ctx.m_InstrList.FindById(static_cast<int>(id))) {
      found = true;
      r->Lock(connection, LOCK_QUERY, &before);
      r->Lock(connection, operation, &after);
    }
  }
  if (!found) {
    Reply(channel, MakeReply(brokla::kMsgLock, id, {1}));
    return;
  }
  Reply(channel, MakeReply(brokla::kMsgLock, id,
                           {0, static_cast<std::uint8_t>(before), static_cast<std::uint8_t>(after)}));
  // Idle timers run only while nobody holds the instrument.
  if (before == 0 && after > 0) m_Ctx.m_pScheduler->SuspendIdle(static_cast<int>(id));
  if (before > 0 && after == 0) m_Ctx.m_pScheduler->ResumeIdle(static_cast<int>(id));
}

void CAppMonitor::OnStatus(int channel, LockOwner connection, std::uint32_t id) {
  LogInfo("Instrument Status Request from Application (msg channel %d).", channel);
  std::optional<std::uint32_t> address;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaInstr* r = m_Ctx.m_InstrList.FindById(static_cast<int>(id))) {
      r->SetSeen(false);
      address = r->GetAddress();
    }
  }
  if (!address) {
    Reply(channel, MakeReply(brokla::kMsgStatus, id, {1, 0, 0}));
    return;
  }
  // The answer comes through the instrument thread; meanwhile other applications are served.
  m_Pending.push_back({channel, connection, static_cast<int>(id), platform::steadyNow() + kStatusWait});
  m_Ctx.m_Sender.Send(GET_STATUS, *address);
  LogDebug(2, "DoInstrStatus: Sent GET_STATUS to instrument thread.");
}

void CAppMonitor::CheckPendingStatus() {
  const auto now = platform::steadyNow();
  std::vector<LockOwner> done;
  for (auto it = m_Pending.begin(); it != m_Pending.end();) {
    bool seen = false, listed = false;
    std::uint16_t comm = 0;
    std::uint8_t laser = 0;
    {
      std::lock_guard lock(m_Ctx.m_ListLock);
      if (CBroklaInstr* r = m_Ctx.m_InstrList.FindById(it->instrumentId)) {
        listed = true;
        seen = r->GetSeen();
        comm = r->GetCommStatus();
        laser = r->GetLaserState();
      }
    }
    if (!seen && listed && now < it->deadline) {
      ++it;
      continue;
    }
    const auto id = static_cast<std::uint32_t>(it->instrumentId);
    if (m_Channels.GetConnection(it->channel) != it->connection) {
      // The asker is gone and its channel may be another application's by now.
      LogInfo("Dropped the status answer for msg channel %d: its application is gone.", it->channel);
    } else if (seen) {
      Reply(it->channel,
            MakeReply(brokla::kMsgStatus, id, {0, static_cast<std::uint8_t>(comm & 0xFF), laser}));
    } else {
      Reply(it->channel, MakeReply(brokla::kMsgStatus, id, {1, 0, 0}));
    }
    done.push_back(it->connection);
    it = m_Pending.erase(it);
  }
  for (LockOwner c : done) RunDeferred(c);
}

void CAppMonitor::RunDeferred(LockOwner connection) {
  auto it = m_Deferred.find(connection);
  while (it != m_Deferred.end() && !it->second.empty() && !HasPending(connection)) {
    auto [bytes, truncated] = std::move(it->second.front());
    it->second.pop_front();
    const int channel = [&] {
      for (int c = 0; c < brokla::kMaxApps; ++c)
        if (m_Channels.GetConnection(c) == connection) return c;
      return -1;
    }();
    if (channel >= 0) Handle(channel, connection, bytes, truncated);
    it = m_Deferred.find(connection);
  }
  if (it != m_Deferred.end() && it->second.empty()) m_Deferred.erase(it);
}

void CAppMonitor::OnLaserRequest(int channel, const CBroklaAppMessage& m) {
  LogInfo("Laser Power Request from Application (msg channel %d).", channel);
  const std::uint32_t id = m.GetDataU32(0);
  std::array<std::uint32_t, 11> fields{};
  for (std::size_t i = 0; i < fields.size(); ++i) fields[i] = m.GetDataU32(4 + 4 * static_cast<int>(i));
  bool listed = false, locked = false;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaInstr* r = m_Ctx.m_InstrList.FindById(static_cast<int>(id))) {
      listed = true;
      locked = r->GetLockCount() > 0;
    }
  }
  bool armed = false;
  if (!listed)
    LogWarning("Laser Power Request for instrument id=%u, which is not listed; nothing armed.", id);
  else
    armed = m_Ctx.m_pScheduler->HandOver(static_cast<int>(id), LaserTimerRequest::FromFields(fields), locked);
  Reply(channel, MakeReply(brokla::kMsgLaserPowerRequest, id, {static_cast<std::uint8_t>(armed ? 0 : 1)}));
}

void CAppMonitor::OnRemoveTimers(int channel, std::uint32_t id) {
  LogInfo("Remove All Laser Power Timers from Application.");
  m_Ctx.m_pScheduler->LaserScheduler();
  Reply(channel, MakeReply(brokla::kMsgRemoveLaserTimers, id, {0}));
}

void CAppMonitor::DropPendingWork(LockOwner connection) {
  m_Pending.erase(std::remove_if(m_Pending.begin(), m_Pending.end(),
                                 [&](const auto& p) { return p.connection == connection; }),
                  m_Pending.end());
  m_Deferred.erase(connection);
}

void CAppMonitor::AppMonitor(int channel, LockOwner connection) {
  DropPendingWork(connection);
  int pid = 0;
  bool listed = false, removed = false;
  std::vector<std::pair<InstrSnapshot, int>> released;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    CBroklaApp* app = m_Ctx.m_AppList.FindByRequestConn(connection);
    // Its locks go with its connection, whether or not it ever attached an event channel.
    released = m_Ctx.m_InstrList.ReleaseOwner(connection);
    if (app) {
      listed = true;
      pid = app->m_nPid;
      app->m_bRequestClosed = true;
      if (app->m_EventConn == 0 || app->m_bEventClosed) {
        m_Ctx.m_AppList.Remove(app);
        removed = true;
      }
    }
  }
  if (listed)
    LogDebug(2, "AppMonitor: Trying to unlock instrument on channel %d, lock owner pid=%d", channel, pid);
  for (const auto& [instr, before] : released) {
    LogInfo("Unlocking instrument id=%d (SN: %s), lock owner pid=%d", instr.id, instr.serialNumber.c_str(),
            pid);
    m_Ctx.m_pScheduler->ResumeIdle(instr.id);
  }
  if (removed) LogInfo("App %d exiting...Removed app from app list", pid);
}

// =======================================================================================
// Event monitor

CEventMonitor::CEventMonitor(CBroklaContext& context)
    : m_Ctx(context),
      m_Channels(
          brokla::kMaxApps, [&context] { return context.NewConnection(); }, "event channel", "NEW APP",
          kAnnounceWait) {}

CEventMonitor::~CEventMonitor() { Stop(); }

void CEventMonitor::Listen() {
  m_Channels.Listen(brokla::kEventPipe);
  LogDebug(2, "Adding event channel to listen for apps %d", m_Channels.ListeningChannel());
}

void CEventMonitor::Start() {
  // Without its thread the pipe is served by nobody: as fatal as not serving it at all.
  const bool started = m_Thread.start(
      [this](platform::Event&) {
        Run();
        return 0u;
      },
      "EventMonitor");
  if (!started) FatalError("CreateThread (EventMonitor): %d", platform::lastError());
}

void CEventMonitor::Stop() {
  m_bStop = true;
  m_Channels.Wake();
  // Never called on the monitor's own thread: the join cannot fail.
  if (m_Thread.joinable()) (void)m_Thread.join();
}

void CEventMonitor::Post(InstrEvent event) {
  {
    std::lock_guard lock(m_QueueMutex);
    m_Queue.push_back({false, std::move(event), -1, 0});
  }
  m_Channels.Wake();
}

void CEventMonitor::PostDropChannel(int channel, LockOwner connection) {
  {
    std::lock_guard lock(m_QueueMutex);
    m_Queue.push_back({true, {}, channel, connection});
  }
  m_Channels.Wake();
}

void CEventMonitor::Run() {
  while (!m_bStop) {
    auto a = m_Channels.WaitChannelActivity(platform::kInfinite);
    if (m_bStop) break;
    switch (a.code) {
      case CChannelMgr::MSG_RECEIVED:
        OnEventRequest(a.channel, a.connection, a.message, a.truncated);
        break;
      case CChannelMgr::CLOSED:
        EventMonitor(a.channel, a.connection);
        break;
      default:
        break;
    }
    DrainQueue();
  }
}

void CEventMonitor::DrainQueue() {
  for (;;) {
    Item item;
    {
      std::lock_guard lock(m_QueueMutex);
      if (m_Queue.empty()) return;
      item = std::move(m_Queue.front());
      m_Queue.pop_front();
    }
    if (item.drop) {
      if (m_Channels.GetConnection(item.channel) == item.connection) m_Channels.Disconnect(item.channel);
    } else {
      OnInstrEvent(item.event);
    }
  }
}

void CEventMonitor::OnEventRequest(int channel, LockOwner connection, const std::vector<std::uint8_t>& bytes,
                                   bool truncated) {
  CBroklaAppMessage m;
  if (truncated || !m.Assign(bytes)) {
    LogError("Ignoring a malformed event (%zu bytes) from Application (event channel %d).", bytes.size(),
             channel);
    return;
  }
  const int type = m.GetType();
  // Applications post these two; instrument events come from the instrument thread only.
  if (type != brokla::kEventNewApp && type != brokla::kEventCmdAbort) return;
  if (m.GetDataLength() < 4) {
    LogError("Ignoring Event %d from Application (event channel %d): %d data bytes, 4 needed.", type, channel,
             m.GetDataLength());
    return;
  }
  const int pid = static_cast<int>(m.GetDataU32(0));
  // Only an application's own process speaks for it: an announcement in another's name
  // would take over its event channel, an abort in another's name abort its instrument.
  if (!StatedPidIsPeers(
          m_Channels, channel, pid,
          type == brokla::kEventCmdAbort ? "CMD_ABORT from Application" : "Event 2 from Application"))
    return;
  if (type == brokla::kEventCmdAbort) {
    LogInfo("Application (pid=%d) Requests CMD_ABORT.", pid);
    DoCmdAbort(connection, pid);
    return;
  }
  LogInfo("New Application (pid=%d) Connection Request to Event Monitor", pid);
  bool found = false;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaApp* app = m_Ctx.m_AppList.FindByPid(pid)) {
      found = true;
      app->m_nEventChannel = channel;
      app->m_EventConn = connection;
      app->m_bEventClosed = false;
    }
  }
  if (!found) {
    LogInfo("New app event received, but app not listed in table! (pid=%d)", pid);
    return;
  }
  m_Channels.Admit(channel);
  LogDebug(2, "New app (pid=%d) gets event channel %d, Global channel for listening now %d", pid, channel,
           m_Channels.ListeningChannel());
  LogInfo("Event Monitor Connection Established on %s", LogTime().c_str());
}

void CEventMonitor::OnInstrEvent(const InstrEvent& e) {
  switch (e.type) {
    case brokla::kEventNewInstrument:
      LogInfo("Event Monitor Notified of New Instrument Arrival");
      AutoSpawn(e.text);
      break;
    case brokla::kEventReboot:
      LogInfo("Event Monitor Notified of Instrument Soft-Boot");
      NotifyOwner(brokla::kEventReboot, e.instrumentId);
      break;
    case brokla::kEventLaserPowerChange:
      LogInfo("Event Monitor Notified of Instrument Laser Power Change");
      NotifyOwner(brokla::kEventLaserPowerChange, e.instrumentId);
      break;
    default:
      break;
  }
}

void CEventMonitor::NotifyOwner(int type, int instrumentId) {
  std::optional<InstrSnapshot> instr;
  int eventChannel = -1, pid = 0;
  LockOwner eventConn = 0;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    CBroklaInstr* r = m_Ctx.m_InstrList.FindById(instrumentId);
    if (!r || r->GetLockCount() <= 0) return;  // nobody holds it: nobody to tell
    CBroklaApp* app = m_Ctx.m_AppList.FindByRequestConn(r->GetLockOwner());
    if (!app || app->m_EventConn == 0 || app->m_bEventClosed) return;
    instr = CBroklaList::SnapshotOf(*r);
    eventChannel = app->m_nEventChannel;
    eventConn = app->m_EventConn;
    pid = app->m_nPid;
  }
  if (m_Channels.GetConnection(eventChannel) != eventConn) return;
  CBroklaAppMessage m;
  m.SetType(type);
  if (type == brokla::kEventReboot) {
    LogDebug(2, "Sending REBOOT event to app ASYNC channel %d", eventChannel);
    LogInfo("Event Monitor Notified App (pid=%d) of Reboot Event", pid);
    brokla::PutInstrumentEntry(m, 0, EntryOf(*instr));
    m.SetDataLength(brokla::kInstrumentEntrySize);
  } else {
    LogDebug(2, "Sending LASERPOWER_CHANGE event to app ASYNC channel %d", eventChannel);
    LogInfo("Event Monitor Notified App (pid=%d) of Laser Power Change Event", pid);
  }
  if (!m_Channels.Send(eventChannel, m.GetWire(), kEventTimeout))
    LogError("Unable to send event %d to App (pid=%d).", type, pid);
}

void CEventMonitor::DoCmdAbort(LockOwner connection, int pid) {
  std::optional<std::uint32_t> address;
  bool known = false;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    // Only an application's own event channel speaks for it.
    CBroklaApp* app = m_Ctx.m_AppList.FindByPid(pid);
    if (app && app->m_EventConn == connection) {
      known = true;
      if (CBroklaInstr* r = m_Ctx.m_InstrList.FindByOwner(app->m_RequestConn)) address = r->GetAddress();
    }
  }
  if (!known) {
    LogInfo("DoCmdAbort: Unable to find this app in the appList. (pid=%d)", pid);
    return;
  }
  if (!address) {
    LogInfo("DoCmdAbort: This app (pid=%d) doesn't have a lock on any instrument.", pid);
    return;
  }
  m_Ctx.m_Sender.Send(CMD_ABORT, *address);
  LogDebug(2, "DoCmdAbort: Sent ABORT to instrument thread.");
}

void CEventMonitor::AutoSpawn(const std::string& text) {
  CRegEdit reg(HKEY_LOCAL_MACHINE, zeva::kBroklaKey);
  const unsigned spawn = reg.ReadUInt("Spawn", 0u);
  const std::string app = reg.ReadString("SpawnApp", "");
  if (spawn == 0) {
    LogInfo("Auto-spawning Disabled in Registry (HKEY_LOCAL_MACHINE), No App Spawned.");
    LogInfo("Auto-spawning Enable Specified in: %s%s", zeva::kBroklaKey, "Spawn");
    return;
  }
  if (app.empty()) {
    LogInfo("No App Specified in Registry (HKEY_LOCAL_MACHINE).");
    LogInfo("App Name Should be Specified in: %s%s", zeva::kBroklaKey, "SpawnApp");
    return;
  }
  LogInfo("Event Monitor Spawning App: %s %s", app.c_str(), text.c_str());
  // The application starts in its own folder, with the instrument's "address_port".
  int error = 0;
  if (!platform::process::spawnDetached({app, text}, platform::directoryOf(app), &error))
    LogError("Error spawning app: %d", error);
}

void CEventMonitor::EventMonitor(int channel, LockOwner connection) {
  int pid = 0, requestChannel = -1;
  bool removed = false;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    CBroklaApp* app = m_Ctx.m_AppList.FindByEventConn(connection);
    if (!app) return;
    pid = app->m_nPid;
    requestChannel = app->m_nRequestChannel;
    app->m_bEventClosed = true;
    if (app->m_bRequestClosed) {
      m_Ctx.m_AppList.Remove(app);
      removed = true;
    }
  }
  LogDebug(2, "EventMonitor: Trying to unlock instrument on channel %d, lock owner pid=%d", requestChannel,
           pid);
  (void)channel;
  if (removed) LogInfo("App %d exiting...Removed app from app list", pid);
}
