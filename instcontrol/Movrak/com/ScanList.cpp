#include "com/ScanList.h"

#include <chrono>
#include <new>

#include "Jotwell/Logger.h"
#include "devices/DeviceErrors.h"
#include "devices/Scanner.h"
#include "platform/clock.h"
#include "platform/localpipe.h"

using namespace movrak;

namespace {
constexpr std::chrono::milliseconds kThreadEndPoll{50};
}

CScanList::CScanList() {
  try {
    m_Entries.resize(kInitialCapacity);
  } catch (const std::bad_alloc&) {
    throw kErrOutOfMemory;
  }
}

CScanList::~CScanList() {
  std::lock_guard lock(m_Mutex);
  for (Entry& e : m_Entries) {
    if (e.scanner) DeleteScanner(e.scanner);
    e = Entry{};
  }
}

CScanList& CScanList::Instance() {
  static CScanList list;
  return list;
}

void CScanList::DeleteScanner(CScanner* scanner) {
  // The status thread works on the scanner: it must have ended before the scanner goes.
  scanner->StopStatusThread();
  while (scanner->IsStatusThreadRunning()) platform::sleepFor(kThreadEndPoll);
  delete scanner;
}

CScanner* CScanList::GetScanner() {
  return GetScanner(static_cast<int>(platform::localpipe::currentProcessId()));
}

void CScanList::ReleaseScanner() {
  ReleaseScanner(static_cast<int>(platform::localpipe::currentProcessId()));
}

CScanner* CScanList::GetScanner(int pid) {
  std::lock_guard lock(m_Mutex);
  for (Entry& e : m_Entries) {
    if (e.scanner && e.pid == pid) {
      ++e.refCount;
      return e.scanner;
    }
  }
  std::size_t slot = 0;
  while (slot < m_Entries.size() && m_Entries[slot].scanner) ++slot;
  try {
    if (slot == m_Entries.size()) m_Entries.resize(m_Entries.size() + kGrowBy);
    m_Entries[slot] = {1, pid, new CScanner};
  } catch (const std::bad_alloc&) {
    throw kErrOutOfMemory;
  }
  return m_Entries[slot].scanner;
}

void CScanList::ReleaseScanner(int pid) {
  std::lock_guard lock(m_Mutex);
  for (Entry& e : m_Entries) {
    if (!e.scanner || e.pid != pid) continue;
    if (--e.refCount <= 0) {
      CScanner* scanner = e.scanner;
      e = Entry{};
      DeleteScanner(scanner);
    }
    return;
  }
}

int CScanList::GetCapacity() const {
  std::lock_guard lock(m_Mutex);
  return static_cast<int>(m_Entries.size());
}

int CScanList::GetRefCount(int pid) const {
  std::lock_guard lock(m_Mutex);
  for (const Entry& e : m_Entries)
    if (e.scanner && e.pid == pid) return e.refCount;
  return 0;
}
