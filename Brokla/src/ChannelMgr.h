#pragma once
// The channels of one pipe server: the connected applications of one monitor, each
// with the number of its connection (never reused, so a channel number that a new
// client took over can never be mistaken for the old one). Driven by the monitor's own
// thread; Wake() may be called from any thread.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "BroklaList.h"
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

  CChannelMgr(int maxChannels, std::function<LockOwner()> newConnection);

  // Serves a pipe name; fatal when it cannot ("CreatePipe: %d").
  void Listen(const char* pipeName);
  // The next activity; refused clients (beyond the limit) are logged and waited past.
  Activity WaitChannelActivity(std::chrono::milliseconds timeout);
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
  platform::localpipe::PipeServer m_Server;
  std::function<LockOwner()> m_NewConnection;
  std::vector<LockOwner> m_Connections;
};
