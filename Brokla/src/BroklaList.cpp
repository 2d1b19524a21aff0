#include "BroklaList.h"

#include <algorithm>
#include <climits>

#include "BroklaConfig.h"
#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"

CBroklaInstr::CBroklaInstr(int id, std::uint32_t address, int port, int type, const std::string& serial)
    : m_Address(address), m_nPort(port), m_nType(type), m_nId(id), m_SerialNumber(CutSerialNumber(serial)) {}

void CBroklaInstr::SetSerialNumber(const std::string& serial) { m_SerialNumber = CutSerialNumber(serial); }

bool CBroklaInstr::Lock(LockOwner owner, int operation, int* count, LockOwner* ownerOut) {
  bool result = false;
  switch (operation) {
    case LOCK_UNLOCK:
      if (owner == m_LockOwner && m_nLockCount > 0) --m_nLockCount;
      result = true;
      break;
    case LOCK_LOCK:
      if (m_nLockCount == 0) {
        m_nLockCount = 1;
        m_LockOwner = owner;
      } else if (owner == m_LockOwner && m_nLockCount < kMaxLockCount) {
        // The count travels as one signed byte: it stops at 127 instead of wrapping.
        ++m_nLockCount;
      }
      break;
    case LOCK_FORCE_CLEAR:
      m_nLockCount = 0;
      result = true;
      break;
    default:  // query, and anything unknown
      break;
  }
  if (count) *count = m_nLockCount;
  if (ownerOut) *ownerOut = m_LockOwner;
  return result;
}

CBroklaInstr::StatusResult CBroklaInstr::ApplyStatus(std::uint16_t comm, std::uint8_t laser,
                                                     platform::SystemTime now) {
  StatusResult r;
  r.oldComm = m_CommStatus;
  r.commChanged = comm != m_CommStatus;
  // On and off are what count: a laser reported on with another non-zero value has not
  // changed, and keeps its on-time.
  const bool wasOn = m_LaserState != 0;
  const bool isOn = laser != 0;
  SetStatus(comm, laser);
  if (!isOn && !wasOn) {
    m_bLaserOn = false;
    return r;
  }
  if (isOn && wasOn) {
    if (!m_bLaserOn) SetLaserOnTime(now);
    return r;
  }
  r.laserChanged = true;
  if (isOn) {
    SetLaserOnTime(now);
  } else if (m_bLaserOn) {
    const auto on = now - m_LaserOnTime;
    r.minutesOn = std::chrono::duration_cast<std::chrono::minutes>(on).count();
    r.onTime = m_LaserOnTime;
    r.offTime = now;
    m_bLaserOn = false;
  }
  return r;
}

CBroklaInstr& CBroklaList::AddInstr(std::uint32_t address, int port, int type, const std::string& serial,
                                    std::uint16_t comm, std::uint8_t laser, platform::SystemTime now) {
  auto record = std::make_unique<CBroklaInstr>(m_nNextId++, address, port, type, serial);
  record->SetStatus(comm, laser);
  record->SetLaserOnTime(now);
  m_Records.push_back(std::move(record));
  return *m_Records.back();
}

CBroklaInstr* CBroklaList::FindByIP(std::uint32_t address) {
  for (auto& r : m_Records)
    if (r->GetAddress() == address) return r.get();
  return nullptr;
}

CBroklaInstr* CBroklaList::FindById(int id) {
  for (auto& r : m_Records)
    if (r->GetId() == id) return r.get();
  return nullptr;
}

CBroklaInstr* CBroklaList::FindBySN(const std::string& serial) {
  for (auto& r : m_Records)
    if (r->GetSerialNumber() == serial) return r.get();
  return nullptr;
}

CBroklaInstr* CBroklaList::FindByOwner(LockOwner owner) {
  for (auto& r : m_Records)
    if (r->GetLockOwner() == owner && r->GetLockCount() > 0) return r.get();
  return nullptr;
}

bool CBroklaList::MakeRoom(std::size_t bound, std::size_t reserve, bool answered,
                           std::vector<InstrSnapshot>& dropped) {
  // Senders that only announced themselves may fill the list up to the reserve; the
  // last places are for instruments that answer.
  const std::size_t limit = answered ? bound : (bound > reserve ? bound - reserve : 0);
  for (auto it = m_Records.begin(); m_Records.size() >= limit && it != m_Records.end();) {
    if ((*it)->GetAnswered() || (*it)->GetLockCount() > 0) {
      ++it;
      continue;
    }
    dropped.push_back(SnapshotOf(**it));
    it = m_Records.erase(it);
  }
  return m_Records.size() < limit;
}

void CBroklaList::ClearSeen() {
  for (auto& r : m_Records) r->SetSeen(false);
}

std::vector<int> CBroklaList::PruneUnseen() {
  std::vector<int> removed;
  for (auto it = m_Records.begin(); it != m_Records.end();) {
    if (!(*it)->GetSeen() && (*it)->GetLockCount() == 0) {
      removed.push_back((*it)->GetId());
      it = m_Records.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

std::vector<std::pair<InstrSnapshot, int>> CBroklaList::ReleaseOwner(LockOwner owner) {
  std::vector<std::pair<InstrSnapshot, int>> released;
  if (owner == 0) return released;
  for (auto& r : m_Records) {
    if (r->GetLockOwner() != owner || r->GetLockCount() == 0) continue;
    const int before = r->GetLockCount();
    r->Lock(owner, LOCK_FORCE_CLEAR);
    released.emplace_back(SnapshotOf(*r), before);
  }
  return released;
}

void CBroklaList::RemoveAll() { m_Records.clear(); }

std::vector<InstrSnapshot> CBroklaList::Snapshot() const {
  std::vector<InstrSnapshot> all;
  for (const auto& r : m_Records) all.push_back(SnapshotOf(*r));
  return all;
}

std::vector<InstrSnapshot> CBroklaList::ListingOrder() const {
  std::vector<InstrSnapshot> all = Snapshot();
  std::stable_partition(all.begin(), all.end(), [](const InstrSnapshot& s) { return s.answered; });
  return all;
}

InstrSnapshot CBroklaList::SnapshotOf(const CBroklaInstr& r) {
  InstrSnapshot s;
  s.id = r.GetId();
  s.address = r.GetAddress();
  s.port = r.GetPort();
  s.type = r.GetType();
  s.serialNumber = r.GetSerialNumber();
  s.lockCount = r.GetLockCount();
  s.lockOwner = r.GetLockOwner();
  s.commStatus = r.GetCommStatus();
  s.laserState = r.GetLaserState();
  s.answered = r.GetAnswered();
  return s;
}

std::string CutSerialNumber(const std::string& text) {
  std::string s = text.substr(0, text.find('\0'));
  if (s.size() > static_cast<std::size_t>(CBroklaInstr::kSerialMax)) s.resize(CBroklaInstr::kSerialMax);
  return s;
}

std::string SerialKeyName(const std::string& serial) {
  std::string name = serial;
  for (char& c : name)
    if (c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
  return name.empty() ? "_" : name;
}

void UpdateLaserOnMinutes(const std::string& serial, const CBroklaInstr::StatusResult& result) {
  if (!result.minutesOn) return;
  const std::int64_t minutes = *result.minutesOn;
  if (minutes >= 1 && minutes <= INT_MAX) {
    const std::string key = std::string(zeva::kBroklaKey) + SerialKeyName(serial);
    CRegEdit reg(HKEY_LOCAL_MACHINE, key);
    const std::uint64_t total = std::min<std::uint64_t>(
        reg.ReadUInt("LaserOnMinutes", 0u) + static_cast<std::uint64_t>(minutes), UINT32_MAX);
    reg.WriteInt("LaserOnMinutes", static_cast<unsigned>(total));
    LogInfo("This Iteration: Laser has Been ON for %d Minutes.", static_cast<int>(minutes));
    LogInfo("Updating registry key %s%s to %d", (key + "\\").c_str(), "LaserOnMinutes",
            static_cast<int>(total));
    return;
  }
  const char* const format = "%A, %d-%b-%Y at %H:%M:%S";
  LogInfo("Unable to update laser ON time.");
  LogInfo("Time Laser Went ON: %s,  Time Now: %s", platform::formatLocalTime(format, result.onTime).c_str(),
          platform::formatLocalTime(format, result.offTime).c_str());
}
