#include "ChannelMgr.h"

#include "BroklaLan.h"
#include "Jotwell/Logger.h"

using Kind = platform::localpipe::PipeServer::Activity::Kind;

CChannelMgr::CChannelMgr(int maxChannels, std::function<LockOwner()> newConnection)
    : m_Server(maxChannels),
      m_NewConnection(std::move(newConnection)),
      m_Connections(static_cast<std::size_t>(maxChannels), 0) {}

void CChannelMgr::Listen(const char* pipeName) {
  if (m_Server.listen(pipeName) < 0) FatalError("CreatePipe: %d", m_Server.error());
}

CChannelMgr::Activity CChannelMgr::WaitChannelActivity(std::chrono::milliseconds timeout) {
  for (;;) {
    auto a = m_Server.wait(timeout);
    Activity out;
    out.channel = a.client;
    switch (a.kind) {
      case Kind::connected:
        m_Connections[static_cast<std::size_t>(a.client)] = m_NewConnection();
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
        LogInfo("Closing pipes on channel %d", a.client);
        LogInfo("Disconnecting from app.");
        LogInfo("%d Apps Running.", m_Server.clientCount());
        return out;
      case Kind::refused:
        // One client too many is turned away; the service and its clients go on.
        LogError("Maximum number of pipe channels exceeded!");
        continue;
      case Kind::timedOut:
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
  LogInfo("%d Apps Running.", m_Server.clientCount());
}

int CChannelMgr::ListeningChannel() const {
  for (std::size_t i = 0; i < m_Connections.size(); ++i)
    if (m_Connections[i] == 0) return static_cast<int>(i);
  return -1;
}
