#pragma once
// The instrument link's process-wide state: one instrument socket, the two connection-
// manager pipes, the critical section of the response lists and lock records, and the
// lock records themselves. One process talks to one instrument at a time.
#include <list>
#include <memory>
#include <mutex>

#include "link/LanTypes.h"
#include "platform/localpipe.h"
#include "platform/net.h"
#include "platform/sync.h"

struct LinkState {
  LinkState() = default;
  // At process exit a response monitor may still wait on the socket: wake it and let it
  // finish while everything it uses is still there.
  ~LinkState();
  LinkState(const LinkState&) = delete;
  LinkState& operator=(const LinkState&) = delete;

  // One request and its reply at a time on the application pipe (the response-monitor
  // thread sends unlocks while the caller's thread may ask for status).
  std::recursive_mutex pipeMutex;
  platform::localpipe::Pipe appPipe;
  std::mutex eventMutex;
  platform::localpipe::Pipe eventPipe;

  platform::net::Socket socket;  // not valid(): the "no socket" state

  // Guards the response lists while a monitor appends, and the lock records.
  platform::CriticalSection cs;
  std::list<std::unique_ptr<CLanInstrInfo>> records;
};

LinkState& Link();

// The lock record of a table, or nullptr.
CLanInstrInfo* FindLockRecord(const CLanInstr* instrument);
// The lock record of a table, created (not locked, count 0) when missing.
CLanInstrInfo& FindOrCreateLockRecord(CLanInstr* instrument);
// Removes a record (its monitor must have ended).
void RemoveLockRecord(CLanInstrInfo* record);
