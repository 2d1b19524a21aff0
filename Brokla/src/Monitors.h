#pragma once
// The application monitor (pipe "appmon": requests and their replies) and the event
// monitor (pipe "eventmon": applications' event channels, and the instrument thread's
// events through an in-process queue). Each monitor's channels are touched only by its
// own thread; other threads reach it through Post()/Wake().
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "BroklaContext.h"
#include "BroklaProtocol/BroklaAppMessage.h"
#include "ChannelMgr.h"
#include "platform/clock.h"
#include "platform/thread.h"

class CAppMonitor {
 public:
  explicit CAppMonitor(CBroklaContext& context);
  ~CAppMonitor();
  // Serves "appmon" (fatal when it cannot); then Start() runs the monitor thread (fatal
  // when it cannot either).
  void Listen();
  void Start();
  void Stop();
  // The instrument thread heard from an instrument: a waiting status request may be done.
  void Wake() { m_Channels.Wake(); }

  // How long a status request waits for the instrument's answer.
  static constexpr std::chrono::milliseconds kStatusWait{5000};
  // How long a new connection has to say hello before it is dropped: silent connections
  // would otherwise hold every channel.
  static constexpr std::chrono::milliseconds kHelloWait{5000};

 private:
  struct PendingStatus {
    int channel;
    LockOwner connection;
    int instrumentId;
    platform::SteadyTime deadline;
  };

  void Run();
  void OnAppRequest(int channel, LockOwner connection, const std::vector<std::uint8_t>& bytes,
                    bool truncated);
  void Handle(int channel, LockOwner connection, const std::vector<std::uint8_t>& bytes, bool truncated);
  void OnHello(int channel, LockOwner connection, int pid);
  void OnEnumerate(int channel);
  void OnLock(int channel, LockOwner connection, std::uint32_t id, int operation);
  void OnStatus(int channel, LockOwner connection, std::uint32_t id);
  void OnLaserRequest(int channel, const CBroklaAppMessage& m);
  void OnRemoveTimers(int channel, std::uint32_t id);
  void AppMonitor(int channel, LockOwner connection);
  void CheckPendingStatus();
  void RunDeferred(LockOwner connection);
  bool Reply(int channel, const CBroklaAppMessage& m);
  // Drops what waits for an application's answers (its connection ended or was replaced).
  void DropPendingWork(LockOwner connection);
  bool HasPending(LockOwner connection) const;

  CBroklaContext& m_Ctx;
  CChannelMgr m_Channels;
  platform::Thread m_Thread;
  std::atomic<bool> m_bStop{false};
  std::vector<PendingStatus> m_Pending;
  // Requests that came in behind a status request of the same connection.
  std::map<LockOwner, std::deque<std::pair<std::vector<std::uint8_t>, bool>>> m_Deferred;
};

class CEventMonitor {
 public:
  explicit CEventMonitor(CBroklaContext& context);
  ~CEventMonitor();
  void Listen();
  void Start();
  void Stop();
  // From the instrument thread.
  void Post(InstrEvent event);
  // From the app monitor: close an application's event channel (a duplicate process id).
  void PostDropChannel(int channel, LockOwner connection);

  // How long a new event connection has to announce its application (NEW APP) before it
  // is dropped: silent connections would otherwise hold every channel.
  static constexpr std::chrono::milliseconds kAnnounceWait{5000};

 private:
  struct Item {
    bool drop = false;
    InstrEvent event;
    int channel = -1;
    LockOwner connection = 0;
  };

  void Run();
  void DrainQueue();
  void OnEventRequest(int channel, LockOwner connection, const std::vector<std::uint8_t>& bytes,
                      bool truncated);
  void OnInstrEvent(const InstrEvent& e);
  void NotifyOwner(int type, int instrumentId);
  void DoCmdAbort(LockOwner connection, int pid);
  void AutoSpawn(const std::string& text);
  void EventMonitor(int channel, LockOwner connection);

  CBroklaContext& m_Ctx;
  CChannelMgr m_Channels;
  platform::Thread m_Thread;
  std::atomic<bool> m_bStop{false};
  std::mutex m_QueueMutex;
  std::deque<Item> m_Queue;
};
