#pragma once
// The instruments the service has heard of, their locks and their laser-on time. The
// list is guarded by the service's list mutex (CBroklaContext); records never leave it:
// other threads and events name an instrument by its id.
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"

// Who holds a lock: one number per application connection, never reused while the
// service runs (0: nobody).
using LockOwner = std::uint64_t;

enum LockOp : int { LOCK_UNLOCK = 0, LOCK_LOCK = 1, LOCK_QUERY = 2, LOCK_FORCE_CLEAR = 3 };

class CBroklaInstr {
 public:
  static constexpr int kSerialMax = 31;
  static constexpr int kMaxLockCount = 127;

  CBroklaInstr(int id, std::uint32_t address, int port, int type, const std::string& serial);

  std::uint32_t GetAddress() const { return m_Address; }
  int GetPort() const { return m_nPort; }
  void SetPort(int port) { m_nPort = port; }
  int GetType() const { return m_nType; }
  void SetType(int type) { m_nType = type; }
  int GetId() const { return m_nId; }
  const std::string& GetSerialNumber() const { return m_SerialNumber; }
  void SetSerialNumber(const std::string& serial);
  int GetLockCount() const { return m_nLockCount; }
  LockOwner GetLockOwner() const { return m_LockOwner; }
  void SetStatus(std::uint16_t comm, std::uint8_t laser) {
    m_CommStatus = comm;
    m_LaserState = laser;
  }
  std::uint16_t GetCommStatus() const { return m_CommStatus; }
  std::uint8_t GetLaserState() const { return m_LaserState; }
  bool GetSeen() const { return m_bSeen; }
  void SetSeen(bool seen) { m_bSeen = seen; }
  // It answered an identify request sent to it (not only announced itself): a sender
  // that answers is there, whatever a datagram with a made-up source says.
  bool GetAnswered() const { return m_bAnswered; }
  void SetAnswered() { m_bAnswered = true; }
  bool GetLaserOnFlag() const { return m_bLaserOn; }
  platform::SystemTime GetLaserOnTime() const { return m_LaserOnTime; }
  void SetLaserOnTime(platform::SystemTime t) {
    m_LaserOnTime = t;
    m_bLaserOn = true;
  }
  void ClearLaserOnFlag() { m_bLaserOn = false; }

  // The lock state machine: 0 unlock (by the owner; never below 0), 1 lock (a free
  // instrument, or again by its owner up to 127 times; anyone else is refused), 2 query,
  // 3 force clear. The result is true for unlock and force clear. `count` and `owner`
  // receive the state afterwards.
  bool Lock(LockOwner owner, int operation, int* count = nullptr, LockOwner* ownerOut = nullptr);

  // What a STATUS_CHANGE did to the laser bookkeeping.
  struct StatusResult {
    bool laserChanged = false;
    bool commChanged = false;
    std::uint16_t oldComm = 0;
    // A laser that went off after a recorded on-time: the whole minutes it was on (may
    // be out of range: below 1 or above 2147483647), and the two times.
    std::optional<std::int64_t> minutesOn;
    platform::SystemTime onTime{};
    platform::SystemTime offTime{};
  };
  // Stores the new status and keeps the laser-on time (now is the time it arrived).
  StatusResult ApplyStatus(std::uint16_t comm, std::uint8_t laser, platform::SystemTime now);

 private:
  std::uint32_t m_Address;
  int m_nPort;
  int m_nType;
  int m_nId;
  std::string m_SerialNumber;
  int m_nLockCount = 0;
  LockOwner m_LockOwner = 0;
  std::uint16_t m_CommStatus = 0;
  std::uint8_t m_LaserState = 0;
  bool m_bSeen = false;
  bool m_bAnswered = false;
  bool m_bLaserOn = false;
  platform::SystemTime m_LaserOnTime{};
};

// A copy of what a record holds, for use outside the list mutex.
struct InstrSnapshot {
  int id = 0;
  std::uint32_t address = 0;
  int port = 0;
  int type = 0;
  std::string serialNumber;
  int lockCount = 0;
  LockOwner lockOwner = 0;
  std::uint16_t commStatus = 0;
  std::uint8_t laserState = 0;
  bool answered = false;
};

class CBroklaList {
 public:
  CBroklaInstr& AddInstr(std::uint32_t address, int port, int type, const std::string& serial,
                         std::uint16_t comm, std::uint8_t laser, platform::SystemTime now);
  CBroklaInstr* FindByIP(std::uint32_t address);
  CBroklaInstr* FindById(int id);
  CBroklaInstr* FindBySN(const std::string& serial);
  // The first record whose lock this owner holds.
  CBroklaInstr* FindByOwner(LockOwner owner);
  void ClearSeen();
  // Room for one more record within `bound` records, of which the last `reserve` are
  // kept for instruments that answered: unlocked records that never answered are
  // dropped, the oldest first, until the new one fits. False when it does not (the new
  // one is then not to be added). What was dropped goes to `dropped`.
  bool MakeRoom(std::size_t bound, std::size_t reserve, bool answered, std::vector<InstrSnapshot>& dropped);
  // Removes unlocked records that did not answer since the last ClearSeen; their ids.
  std::vector<int> PruneUnseen();
  // Force-clears every lock of `owner`: the instruments and their counts before.
  std::vector<std::pair<InstrSnapshot, int>> ReleaseOwner(LockOwner owner);
  void RemoveAll();
  std::vector<InstrSnapshot> Snapshot() const;
  // As enumeration lists them: the instruments that answered an identify request first,
  // then those that only announced themselves, each in arrival order.
  std::vector<InstrSnapshot> ListingOrder() const;
  std::size_t GetCount() const { return m_Records.size(); }

  static InstrSnapshot SnapshotOf(const CBroklaInstr& r);

 private:
  std::list<std::unique_ptr<CBroklaInstr>> m_Records;
  int m_nNextId = 1;
};

// Adds the minutes of a laser that went off to "LaserOnMinutes" under the service key's
// sub-key of the serial number (when they are 1 to 2147483647), and logs what it did.
void UpdateLaserOnMinutes(const std::string& serial, const CBroklaInstr::StatusResult& result);

// The serial number an instrument sent, as the record keeps it: to its NUL, at most 31
// characters.
std::string CutSerialNumber(const std::string& text);
// The registry key name of a serial number (backslashes and control characters become
// '_', so that an instrument's text can never name another key).
std::string SerialKeyName(const std::string& serial);
