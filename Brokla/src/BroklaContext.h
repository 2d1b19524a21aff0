#pragma once
// What the service's threads share: the instrument and application lists under one
// mutex (held only for short, never across a wait, a send or registry work), the sender
// of internal commands, the laser scheduler and the two monitors.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "BroklaApp.h"
#include "BroklaLan.h"
#include "BroklaList.h"
#include "LaserTimers.h"

class CAppMonitor;
class CEventMonitor;

// What the instrument thread tells the event monitor: new instrument (0, with the text
// "%s_%d"), soft boot (1) or laser change (5) of an instrument, named by its id.
struct InstrEvent {
  int type = 0;
  int instrumentId = 0;
  std::string text;
};

class CBroklaContext {
 public:
  std::mutex m_ListLock;
  CBroklaList m_InstrList;
  CBroklaAppList m_AppList;

  CBroklaLanSender m_Sender;
  std::unique_ptr<CLaserScheduler> m_pScheduler;
  CAppMonitor* m_pAppMonitor = nullptr;
  CEventMonitor* m_pEventMonitor = nullptr;

  std::atomic<bool> m_bRefreshPending{false};
  std::atomic<bool> m_bStopRequested{false};

  LockOwner NewConnection() { return m_NextConnection++; }

 private:
  std::atomic<LockOwner> m_NextConnection{1};
};

// Local time for the log lines: "%A, %d-%b-%Y at %H:%M".
std::string LogTime();
