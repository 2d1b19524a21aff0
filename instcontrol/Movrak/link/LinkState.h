#pragma once
// The instrument link's process-wide state: one instrument socket, the two connection-
// manager pipes, the critical section of the response lists and lock records, and the
// lock records themselves. One process talks to one instrument at a time.
#include <atomic>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

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

  // What a read took from the socket beyond the bytes asked for (the next frame of a
  // reply, the scan data after it): the next read starts here. One reader at a time.
  static constexpr std::size_t kRxChunk = 4096;
  std::vector<std::uint8_t> rx = std::vector<std::uint8_t>(kRxChunk);
  std::size_t rxBegin = 0;
  std::size_t rxEnd = 0;
  // Why the stream may still bring bytes of an earlier command (a reply past its
  // time-out, frames that no command reads); null while it is in step. The next command
  // reconnects before it sends, so that such bytes are never taken for its reply.
  std::atomic<const char*> outOfStep{nullptr};

  // A new or closed connection: nothing buffered, nothing owed.
  void ResetStream() {
    rxBegin = rxEnd = 0;
    outOfStep = nullptr;
  }

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
