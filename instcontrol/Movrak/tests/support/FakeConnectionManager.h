#pragma once
// A stand-in for the connection manager, serving the application and event pipes over
// real local sockets in the test's runtime folder: it lists scripted instruments, keeps
// lock counts per instrument and owner, answers status requests, records every request
// and event, and can send events or scripted (malformed) replies.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BroklaProtocol/BroklaAppMessage.h"

class FakeConnectionManager {
 public:
  using Bytes = std::vector<std::uint8_t>;

  struct Seen {
    int type = 0;
    Bytes data;
  };
  struct Status {
    bool answered = true;
    std::uint8_t comm = 0;
    std::uint8_t laser = 0;
  };

  FakeConnectionManager();  // listens at once; serves on a thread of its own
  ~FakeConnectionManager();
  FakeConnectionManager(const FakeConnectionManager&) = delete;
  FakeConnectionManager& operator=(const FakeConnectionManager&) = delete;

  void addInstrument(const brokla::InstrumentEntry& entry);
  // The instrument is gone: lock requests for it are answered "unknown" (status 1).
  void removeInstrument(std::uint32_t id);
  // Still listed, but gone by the time it is locked: lock requests answer "unknown".
  void setVanished(std::uint32_t id);
  void setStatus(std::uint32_t id, Status status);
  // Another application holds the instrument with this count.
  void setForeignLock(std::uint32_t id, int count);
  int lockCount(std::uint32_t id) const;

  // The next request of `type` gets `reply` (raw bytes) instead of the proper answer; an
  // empty reply means no answer at all.
  void scriptReply(int type, Bytes reply);

  // Sends an event to every application that announced itself on the event pipe.
  bool sendEvent(int type, const Bytes& data);
  bool sendRawEvent(const Bytes& bytes);
  bool sendRebootEvent(const brokla::InstrumentEntry& entry);
  // Applications announced on the event pipe.
  bool waitForEventClients(int n) const;

  std::vector<Seen> requests() const;  // application pipe, in order
  std::vector<Seen> events() const;    // event pipe, in order
  int countRequests(int type, int lockOperation = -1) const;
  bool waitForEvents(std::size_t n) const;
  int connectedClients() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};
