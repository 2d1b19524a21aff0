#include "ChannelMgr.h"

#include <algorithm>

#include "BroklaLan.h"
#include "Jotwell/Logger.h"

using Kind = platform::localpipe::PipeServer::Activity::Kind;

using namespace std::chrono_literals;

CChannelMgr::CChannelMgr(int maxChannels, std::function<LockOwner()> newConnection, const char* channelName,
                         const char* awaited, std::chrono::milliseconds admitWait)
    : m_Server(maxChannels),
      m_NewConnection(std::move(newConnection)),
      m_Connections(static_cast<std::size_t>(maxChannels), 0),
      m_ChannelName(channelName),
      m_Awaited(awaited),
      m_AdmitWait(admitWait),
      m_AdmitBy(static_cast<std::size_t>(maxChannels)) {}

void CChannelMgr::Listen(const char* pipeName) {
  if (m_Server.listen(pipeName) < 0) FatalError("CreatePipe: %d", m_Server.error());
}

CChannelMgr::Activity CChannelMgr::WaitChannelActivity(std::chrono::milliseconds timeout) {
  // One end for the whole call: what arrives meanwhile (a refused client above all) must
  // not start the caller's time-out, or a silent connection's, over again.
  const platform::SteadyTime end =
      timeout < 0ms ? platform::SteadyTime::max() : platform::steadyNow() + timeout;
  for (;;) {
    const platform::SteadyTime now = platform::steadyNow();
    const int first = FirstToAdmit();
    if (first >= 0 && *m_AdmitBy[static_cast<std::size_t>(first)] <= now) {
      Activity out;
      out.code = CLOSED;
      out.channel = first;
      out.connection = GetConnection(first);
      LogError("Dropping the connection on %s %d: no %s within %lld s.", m_ChannelName, first, m_Awaited,
               static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(m_AdmitWait).count()));
      Disconnect(first);
      return out;
    }
    const platform::SteadyTime until =
        first >= 0 ? std::min(end, *m_AdmitBy[static_cast<std::size_t>(first)]) : end;
    const std::chrono::milliseconds wait =
        until == platform::SteadyTime::max()
            ? platform::kInfinite
            : std::max(std::chrono::ceil<std::chrono::milliseconds>(until - now), 0ms);
    auto a = m_Server.wait(wait);
    Activity out;
    out.channel = a.client;
    switch (a.kind) {
      case Kind::connected:
        m_Connections[static_cast<std::size_t>(a.client)] = m_NewConnection();
        m_AdmitBy[static_cast<std::size_t>(a.client)] = platform::steadyNow() + m_AdmitWait;
        LogInfo("Message pipe established.");
        LogInfo(" %d Apps Running.", m_Server.clientCount());
        out.code = CONNECTED;
        out.connection = m_Connections[static_cast<std::size_t>(a.client)];
        return out;
      case Kind::message:
        out.code = MSG_RECEIVED;
        out.connection = GetConnection(a.client);
        out.message = std::move(a.message);
        out.truncated = a.truncated;
        return out;
      case Kind::closed:
        out.code = CLOSED;
        out.connection = GetConnection(a.client);
        m_Connections[static_cast<std::size_t>(a.client)] = 0;
        m_AdmitBy[static_cast<std::size_t>(a.client)].reset();
        LogInfo("Closing pipes on channel %d", a.client);
        LogInfo("Disconnecting from app.");
        LogInfo("%d Apps Running.", m_Server.clientCount());
        return out;
      case Kind::refused:
        // One client too many is turned away; the service and its clients go on.
        LogError("Maximum number of pipe channels exceeded!");
        continue;
      case Kind::timedOut:
        if (platform::steadyNow() < end) continue;  // a silent connection's time is up
        return out;
      case Kind::woken:
        return out;
      case Kind::failed:
        FatalError("WaitForMultipleObjects: %d", m_Server.error());
    }
  }
}

LockOwner CChannelMgr::GetConnection(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(m_Connections.size())) return 0;
  return m_Connections[static_cast<std::size_t>(channel)];
}

std::optional<int> CChannelMgr::GetPeerPid(int channel) const {
  if (GetConnection(channel) == 0) return std::nullopt;
  const auto peer = m_Server.peer(channel);
  if (!peer || peer->pid <= 0) return std::nullopt;
  return peer->pid;
}

bool CChannelMgr::Send(int channel, std::span<const std::uint8_t> message,
                       std::chrono::milliseconds timeout) {
  return m_Server.send(channel, message, timeout);
}

void CChannelMgr::Disconnect(int channel) {
  if (GetConnection(channel) == 0) {
    LogInfo("Channel %d already deleted!", channel);
    return;
  }
  LogInfo("Disconnecting from app.");
  m_Server.disconnect(channel);
  m_Connections[static_cast<std::size_t>(channel)] = 0;
  m_AdmitBy[static_cast<std::size_t>(channel)].reset();
  LogInfo("%d Apps Running.", m_Server.clientCount());
}

int CChannelMgr::ListeningChannel() const {
  for (std::size_t i = 0; i < m_Connections.size(); ++i)
    if (m_Connections[i] == 0) return static_cast<int>(i);
  return -1;
}

void CChannelMgr::Admit(int channel) {
  if (channel < 0 || channel >= static_cast<int>(m_AdmitBy.size())) return;
  m_AdmitBy[static_cast<std::size_t>(channel)].reset();
}

int CChannelMgr::FirstToAdmit() const {
  int first = -1;
  for (std::size_t i = 0; i < m_AdmitBy.size(); ++i)
    if (m_AdmitBy[i] && (first < 0 || *m_AdmitBy[i] < *m_AdmitBy[static_cast<std::size_t>(first)]))
      first = static_cast<int>(i);
  return first;
}
