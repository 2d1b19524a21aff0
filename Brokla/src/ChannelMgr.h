#pragma once
// The channels of one pipe server: the connected applications of one monitor, each
// with the number of its connection (never reused, so a channel number that a new
// client took over can never be mistaken for the old one). Driven by the monitor's own
// thread; Wake() may be called from any thread.
//
// A new connection has a few seconds to say what it came for (Admit()); one that stays
// silent is dropped with a log line, so that silent connections cannot hold every channel.
// The deadlines hold whatever else the pipe sees meanwhile.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "BroklaList.h"
#include "platform/clock.h"
#include "platform/localpipe.h"

class CChannelMgr {
 public:
  enum ChannelActivity : int {
    ACTIVITY_NONE = 0,
    MSG_RECEIVED = 1,
    WRITE_COMPLETE = 2,
    CONNECTED = 3,
    CLOSED = 4
  };

  struct Activity {
    int code = ACTIVITY_NONE;  // NONE: woken, or the time-out passed
    int channel = -1;
    LockOwner connection = 0;  // of the channel (for CLOSED: the one that closed)
    std::vector<std::uint8_t> message;
    bool truncated = false;
  };

  // `channelName` ("msg channel") and `awaited` ("hello") word the drop's log line.
  CChannelMgr(int maxChannels, std::function<LockOwner()> newConnection, const char* channelName,
              const char* awaited, std::chrono::milliseconds admitWait);

  // Serves a pipe name; fatal when it cannot ("CreatePipe: %d").
  void Listen(const char* pipeName);
  // The next activity, within `timeout` at most; refused clients (beyond the limit) are
  // logged and waited past. A connection whose time to be admitted has passed is
  // disconnected here and comes back as CLOSED.
  Activity WaitChannelActivity(std::chrono::milliseconds timeout);
  // The connection on a channel said what it came for: it is no longer dropped for silence.
  void Admit(int channel);
  void Wake() { m_Server.wake(); }

  LockOwner GetConnection(int channel) const;
  // The process id at the other end of a channel, as the system knows it (not as the
  // client says it); nullopt when it cannot be told.
  std::optional<int> GetPeerPid(int channel) const;
  // Sends one message; a client whose queue stays full for `timeout` does not get it.
  bool Send(int channel, std::span<const std::uint8_t> message, std::chrono::milliseconds timeout);
  // Closes a channel from this side (no CLOSED activity follows).
  void Disconnect(int channel);
  // The channel the next client will get (-1: none free).
  int ListeningChannel() const;
  int AppsRunning() const { return m_Server.clientCount(); }

 private:
  // The channel whose time to be admitted ends first, else -1.
  int FirstToAdmit() const;

  platform::localpipe::PipeServer m_Server;
  std::function<LockOwner()> m_NewConnection;
  std::vector<LockOwner> m_Connections;
  const char* m_ChannelName;
  const char* m_Awaited;
  std::chrono::milliseconds m_AdmitWait;
  // Per channel: until when its connection may stay silent; nullopt once admitted (or free).
  std::vector<std::optional<platform::SteadyTime>> m_AdmitBy;
};
