#include "LaserTimers.h"

#include <cstdio>

#include "BroklaConfig.h"
#include "BroklaLan.h"
#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"

namespace {
std::chrono::milliseconds Minutes(std::uint32_t n) { return std::chrono::minutes(n); }
}  // namespace

LaserTimerRequest LaserTimerRequest::FromFields(const std::array<std::uint32_t, 11>& f) {
  LaserTimerRequest r;
  r.bPowerOn = f[0];
  r.bOneShot = f[1];
  r.nMinutesDelay = f[2];
  r.bRecurring = f[3];
  r.nRecurrenceInterval = f[4];
  r.bEnableSkip = f[5];
  r.nPreloadCount = f[6];
  r.nSkipCycles = f[7];
  r.nOnCycles = f[8];
  r.bIdleTimer = f[9];
  r.nMinutesIdle = f[10];
  return r;
}

CLaserScheduler::CLaserScheduler(Sender sender) : m_Sender(std::move(sender)) {}

CLaserScheduler::~CLaserScheduler() { m_Queue.cancelAll(); }

bool CLaserScheduler::HandOver(int instrumentId, const LaserTimerRequest& request, bool instrumentLocked) {
  if (!request.bOneShot && !request.bRecurring && !request.bIdleTimer) {
    LogWarning("Laser Power Request for instrument id=%d names no timer; nothing armed.", instrumentId);
    return false;
  }
  if (!request.bOneShot && request.bRecurring && request.nRecurrenceInterval == 0) {
    LogWarning("Laser Power Request for instrument id=%d recurs every 0 minutes; nothing armed.",
               instrumentId);
    return false;
  }
  auto shared = std::make_shared<const LaserTimerRequest>(request);
  std::lock_guard lock(m_Mutex);
  const bool idle = !request.bOneShot && !request.bRecurring;
  if (idle && instrumentLocked) {
    m_Saved.push_back({instrumentId, std::move(shared), m_nIdleTimerCount++});
    return true;
  }
  int keyIndex = -1;
  if (idle) keyIndex = m_nIdleTimerCount++;
  if (!request.bOneShot && request.bRecurring) keyIndex = m_nRecurringTimerCount++;
  return Arm(instrumentId, std::move(shared), keyIndex);
}

bool CLaserScheduler::Arm(int instrumentId, std::shared_ptr<const LaserTimerRequest> request, int keyIndex) {
  int index = -1;
  for (int i = 0; i < kMaxTimers && index < 0; ++i)
    if (!m_Slots[static_cast<std::size_t>(i)].used) index = i;
  if (index < 0) {
    LogError("Laser Power Request refused: all %d laser timers are in use.", kMaxTimers);
    return false;
  }
  const LaserTimerRequest& r = *request;
  Slot& s = m_Slots[static_cast<std::size_t>(index)];
  s = Slot{};
  s.used = true;
  s.instrumentId = instrumentId;
  s.request = request;
  s.arming = ++m_nArmings;
  s.keyIndex = keyIndex;
  const std::uint64_t arming = s.arming;
  auto fire = [this, index, arming] { Fire(index, arming); };
  if (r.bOneShot) {
    s.kind = Kind::oneShot;
    s.timer = m_Queue.schedule(Minutes(r.nMinutesDelay), fire);
  } else if (r.bRecurring) {
    s.kind = Kind::recurring;
    s.cycle = r.nPreloadCount;
    s.timer = m_Queue.schedule(Minutes(r.nMinutesDelay), fire, Minutes(r.nRecurrenceInterval));
    WriteKey("RecurringTimer" + std::to_string(keyIndex), instrumentId, r);
  } else {
    s.kind = Kind::idle;
    s.timer = m_Queue.schedule(Minutes(r.nMinutesIdle), fire);
    WriteKey("IdleTimer" + std::to_string(keyIndex), instrumentId, r);
  }
  return true;
}

void CLaserScheduler::Fire(int index, std::uint64_t arming) {
  int type = 0, instrumentId = 0;
  bool act = true;
  {
    std::lock_guard lock(m_Mutex);
    Slot& s = m_Slots[static_cast<std::size_t>(index)];
    if (!s.used || s.arming != arming) return;  // removed or suspended meanwhile
    const LaserTimerRequest& r = *s.request;
    type = r.bPowerOn ? LASER_ON : LASER_OFF;
    instrumentId = s.instrumentId;
    switch (s.kind) {
      case Kind::oneShot:
        s = Slot{};
        break;
      case Kind::recurring:
        // With skipping on, cycles run in rounds of nOnCycles acting and nSkipCycles
        // skipped, counted from nPreloadCount.
        if (r.bEnableSkip) {
          const std::uint64_t round = static_cast<std::uint64_t>(r.nOnCycles) + r.nSkipCycles;
          if (round > 0) act = s.cycle % round < r.nOnCycles;
        }
        ++s.cycle;
        break;
      case Kind::idle:
        s.timer = 0;  // done until the instrument is locked and unlocked again
        break;
    }
  }
  if (act && m_Sender) m_Sender(type, instrumentId);
}

void CLaserScheduler::SuspendIdle(int instrumentId) {
  std::vector<platform::TimerQueue::TimerId> timers;
  {
    std::lock_guard lock(m_Mutex);
    for (Slot& s : m_Slots) {
      if (!s.used || s.kind != Kind::idle || s.instrumentId != instrumentId) continue;
      if (s.timer) timers.push_back(s.timer);
      m_Saved.push_back({instrumentId, s.request, s.keyIndex});
      s = Slot{};
      std::fprintf(stderr, "Idle Timer Disabled\n");
    }
  }
  for (auto t : timers) m_Queue.cancel(t);
}

void CLaserScheduler::ResumeIdle(int instrumentId) {
  std::lock_guard lock(m_Mutex);
  for (auto it = m_Saved.begin(); it != m_Saved.end();) {
    if (it->instrumentId != instrumentId) {
      ++it;
      continue;
    }
    if (!Arm(it->instrumentId, it->request, it->keyIndex)) break;  // no slot: it waits on
    it = m_Saved.erase(it);
  }
}

int CLaserScheduler::LaserScheduler() {
  std::vector<platform::TimerQueue::TimerId> timers;
  std::vector<std::string> keys;
  int removed = 0;
  {
    std::lock_guard lock(m_Mutex);
    for (Slot& s : m_Slots) {
      if (!s.used) continue;
      if (s.timer) timers.push_back(s.timer);
      std::fprintf(stderr, "  Timer Removed\n");
      ++removed;
      s = Slot{};
    }
    m_Saved.clear();
    keys.push_back("IdleTimer0");
    for (int n = 1; n < m_nIdleTimerCount; ++n) keys.push_back("IdleTimer" + std::to_string(n));
    for (int n = 0; n < m_nRecurringTimerCount; ++n) keys.push_back("RecurringTimer" + std::to_string(n));
    m_nIdleTimerCount = 0;
    m_nRecurringTimerCount = 0;
  }
  for (auto t : timers) m_Queue.cancel(t);
  CRegEdit reg(HKEY_LOCAL_MACHINE, zeva::kBroklaKey);
  for (const auto& k : keys) reg.DeleteKey(k);
  std::fprintf(stderr, "LaserScheduler: Removed %d timers from system\n", removed);
  std::fflush(stderr);
  return removed;
}

int CLaserScheduler::ArmedCount() const {
  std::lock_guard lock(m_Mutex);
  int n = 0;
  for (const Slot& s : m_Slots) n += s.used ? 1 : 0;
  return n;
}

int CLaserScheduler::SuspendedCount() const {
  std::lock_guard lock(m_Mutex);
  return static_cast<int>(m_Saved.size());
}

void CLaserScheduler::WriteKey(const std::string& name, int instrumentId, const LaserTimerRequest& r) {
  CRegEdit reg(HKEY_LOCAL_MACHINE, std::string(zeva::kBroklaKey) + name);
  reg.WriteInt("InstrumentId", instrumentId);
  const std::pair<const char*, std::uint32_t> values[] = {{"bPowerOn", r.bPowerOn},
                                                          {"bOneShot", r.bOneShot},
                                                          {"nMinutesDelay", r.nMinutesDelay},
                                                          {"bRecurring", r.bRecurring},
                                                          {"nRecurrenceInterval", r.nRecurrenceInterval},
                                                          {"bEnableSkip", r.bEnableSkip},
                                                          {"nPreloadCount", r.nPreloadCount},
                                                          {"nSkipCycles", r.nSkipCycles},
                                                          {"nOnCycles", r.nOnCycles},
                                                          {"bIdleTimer", r.bIdleTimer},
                                                          {"nMinutesIdle", r.nMinutesIdle}};
  for (const auto& [valueName, value] : values) reg.WriteInt(valueName, static_cast<unsigned>(value));
}
