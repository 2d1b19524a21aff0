#include "link/LinkState.h"

#include <algorithm>

LinkState::~LinkState() {
  // Only wakes the monitors: the socket goes anyway, and no monitor ends the link itself.
  if (socket.valid()) (void)socket.shutdown();
  for (auto& r : records)
    if (r->monitor) (void)r->monitor->join();
}

LinkState& Link() {
  static LinkState state;
  return state;
}

CLanInstrInfo* FindLockRecord(const CLanInstr* instrument) {
  if (!instrument) return nullptr;
  LinkState& link = Link();
  std::lock_guard lock(link.cs);
  for (auto& r : link.records)
    if (r->instrument == instrument) return r.get();
  return nullptr;
}

CLanInstrInfo& FindOrCreateLockRecord(CLanInstr* instrument) {
  LinkState& link = Link();
  std::lock_guard lock(link.cs);
  if (CLanInstrInfo* found = FindLockRecord(instrument)) return *found;
  auto record = std::make_unique<CLanInstrInfo>();
  record->instrument = instrument;
  record->instrument2 = instrument;
  link.records.push_back(std::move(record));
  return *link.records.back();
}

void RemoveLockRecord(CLanInstrInfo* record) {
  LinkState& link = Link();
  std::lock_guard lock(link.cs);
  link.records.remove_if([&](const std::unique_ptr<CLanInstrInfo>& r) { return r.get() == record; });
}
