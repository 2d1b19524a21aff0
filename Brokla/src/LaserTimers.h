#pragma once
// Laser timers: applications ask for an instrument's lasers to be switched on or off
// after a delay (one-shot), on a schedule (recurring, optionally skipping cycles), or
// after a time without a lock (idle). When a timer fires the scheduler has LASER_ON or
// LASER_OFF sent for the instrument it was asked for. Idle timers wait while their
// instrument is locked. Every armed recurring or idle timer has a registry key under
// the service's key ("RecurringTimer" + n, "IdleTimer" + n) holding its request.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/timerqueue.h"

// The request of one application call: eighteen 32-bit words, 72 bytes.
struct LaserTimerRequest {
  std::uint32_t bPowerOn = 0;
  std::uint32_t bOneShot = 0;
  std::uint32_t nMinutesDelay = 0;
  std::uint32_t bRecurring = 0;
  std::uint32_t nRecurrenceInterval = 0;
  std::uint32_t bEnableSkip = 0;
  std::uint32_t nPreloadCount = 0;
  std::uint32_t reserved7 = 0;
  std::uint32_t nSkipCycles = 0;
  std::uint32_t reserved9 = 0;
  std::uint32_t nOnCycles = 0;
  std::uint32_t reserved11 = 0;
  std::uint32_t bIdleTimer = 0;
  std::uint32_t nMinutesIdle = 0;
  std::uint32_t reserved14 = 0;
  std::uint32_t reserved15 = 0;
  std::uint32_t reserved16 = 0;
  std::uint32_t reserved17 = 0;

  // The eleven values as a request carries them after the instrument id, in order.
  static LaserTimerRequest FromFields(const std::array<std::uint32_t, 11>& fields);
};
static_assert(sizeof(LaserTimerRequest) == 72);

class CLaserScheduler {
 public:
  static constexpr int kMaxTimers = 100;
  // Sends LASER_ON (25) or LASER_OFF (26) for an instrument id; runs on the timer thread.
  using Sender = std::function<void(int type, int instrumentId)>;

  explicit CLaserScheduler(Sender sender);
  ~CLaserScheduler();
  CLaserScheduler(const CLaserScheduler&) = delete;
  CLaserScheduler& operator=(const CLaserScheduler&) = delete;

  // Arms the request for the instrument (an idle timer of a locked instrument waits
  // until it is unlocked). False, with a log line, when it names no timer or all 100
  // slots are taken.
  bool HandOver(int instrumentId, const LaserTimerRequest& request, bool instrumentLocked);
  // The instrument was locked (count 0 -> 1): its idle timers wait.
  void SuspendIdle(int instrumentId);
  // The instrument was unlocked (count -> 0): its waiting idle timers start again with
  // their whole idle time.
  void ResumeIdle(int instrumentId);
  // Removes every timer and its registry key; the number of timers removed.
  int LaserScheduler();

  // For tests: armed slots and waiting idle requests.
  int ArmedCount() const;
  int SuspendedCount() const;
  std::uint64_t TimerRuns() const { return m_Queue.runs(); }

 private:
  enum class Kind { oneShot, recurring, idle };
  struct Slot {
    bool used = false;
    Kind kind = Kind::oneShot;
    int instrumentId = 0;
    std::shared_ptr<const LaserTimerRequest> request;
    platform::TimerQueue::TimerId timer = 0;  // 0 once a one-shot or idle timer has fired
    std::uint64_t arming = 0;                 // tells a stale callback from the current one
    std::uint64_t cycle = 0;
    int keyIndex = -1;  // n of its "RecurringTimer" + n or "IdleTimer" + n key
  };
  struct Saved {
    int instrumentId = 0;
    std::shared_ptr<const LaserTimerRequest> request;
    int keyIndex = -1;
  };

  // Caller holds m_Mutex.
  bool Arm(int instrumentId, std::shared_ptr<const LaserTimerRequest> request, int keyIndex);
  void Fire(int slot, std::uint64_t arming);
  void WriteKey(const std::string& name, int instrumentId, const LaserTimerRequest& r);

  Sender m_Sender;
  mutable std::mutex m_Mutex;
  std::array<Slot, kMaxTimers> m_Slots{};
  std::vector<Saved> m_Saved;
  std::uint64_t m_nArmings = 0;
  int m_nRecurringTimerCount = 0;
  int m_nIdleTimerCount = 0;
  // Last, so it goes first: no callback runs once the rest is being torn down.
  platform::TimerQueue m_Queue;
};
