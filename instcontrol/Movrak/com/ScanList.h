#pragma once
// The process's shared scanner: every automation object of a process works on one
// CScanner, handed out by process id and counted by its users. The table is locked, since
// objects are created and released from several threads.
#include <mutex>
#include <vector>

class CScanner;

class CScanList {
 public:
  static constexpr int kInitialCapacity = 5;
  static constexpr int kGrowBy = 5;

  CScanList();
  // Stops each remaining scanner's status thread, waits for it to end and deletes it.
  ~CScanList();
  CScanList(const CScanList&) = delete;
  CScanList& operator=(const CScanList&) = delete;

  // The calling process's scanner, created on first use (549 when it cannot be).
  CScanner* GetScanner();
  // Drops one reference; the last one stops the status thread, waits for it and deletes
  // the scanner. Nothing happens without an entry.
  void ReleaseScanner();

  // The same for a given process id (the table's key).
  CScanner* GetScanner(int pid);
  void ReleaseScanner(int pid);
  int GetCapacity() const;
  int GetRefCount(int pid) const;

  // The module's one list.
  static CScanList& Instance();

 private:
  struct Entry {
    int refCount = 0;
    int pid = 0;
    CScanner* scanner = nullptr;  // null marks a free entry
  };
  static void DeleteScanner(CScanner* scanner);

  mutable std::mutex m_Mutex;
  std::vector<Entry> m_Entries;
};
