#include "FakeConnectionManager.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "platform/localpipe.h"

using platform::localpipe::PipeServer;
using Kind = PipeServer::Activity::Kind;

namespace {
constexpr int kAppListener = 0;
constexpr int kEventListener = 1;
}  // namespace

struct FakeConnectionManager::State {
  PipeServer server{15};
  std::thread thread;
  bool stopping = false;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<brokla::InstrumentEntry> instruments;
  std::map<std::uint32_t, Status> statuses;
  struct Lock {
    int owner = -1;  // client number of the holder; -2 another application
    int count = 0;
  };
  std::map<std::uint32_t, Lock> locks;
  std::map<int, std::deque<Bytes>> scripted;
  std::set<int> eventClients;
  std::set<std::uint32_t> vanished;
  std::vector<Seen> requests;
  std::vector<Seen> events;

  const brokla::InstrumentEntry* find(std::uint32_t id) const {
    for (const auto& e : instruments)
      if (e.id == id) return &e;
    return nullptr;
  }

  // The proper answer to a request (caller holds the mutex); nullopt: none.
  std::optional<CBroklaAppMessage> answer(int client, const CBroklaAppMessage& m) {
    CBroklaAppMessage reply;
    reply.SetType(m.GetType());
    const std::uint32_t id = m.GetDataU32(0);
    switch (m.GetType()) {
      case brokla::kMsgHello:
        return reply;
      case brokla::kMsgEnumerate: {
        int offset = 0;
        for (const auto& e : instruments) {
          if (!brokla::PutInstrumentEntry(reply, offset, e)) break;  // more than one message holds
          offset += brokla::kInstrumentEntrySize;
        }
        reply.SetDataLength(offset);
        return reply;
      }
      case brokla::kMsgLock: {
        reply.SetDataU32(0, id);
        if (!find(id) || vanished.count(id)) {
          reply.SetDataByte(4, 1);
          reply.SetDataLength(5);
          return reply;
        }
        Lock& lock = locks[id];
        const int before = lock.count;
        const int op = m.GetDataByte(4);
        const bool mine = lock.owner == client || lock.count == 0;
        if (op == brokla::kLockOpLock && mine) {
          lock.owner = client;
          ++lock.count;
        } else if (op == brokla::kLockOpUnlock && lock.owner == client && lock.count > 0) {
          --lock.count;
        }
        reply.SetDataByte(4, 0);
        reply.SetDataByte(5, static_cast<std::uint8_t>(before));
        reply.SetDataByte(6, static_cast<std::uint8_t>(lock.count));
        reply.SetDataLength(7);
        return reply;
      }
      case brokla::kMsgStatus: {
        reply.SetDataU32(0, id);
        const Status s = statuses.count(id) ? statuses[id] : Status{};
        const bool ok = find(id) && s.answered;
        reply.SetDataByte(4, ok ? 0 : 1);
        reply.SetDataByte(5, ok ? s.comm : 0);
        reply.SetDataByte(6, ok ? s.laser : 0);
        reply.SetDataLength(7);
        return reply;
      }
      default:
        return std::nullopt;
    }
  }

  void serve() {
    for (;;) {
      auto a = server.wait(platform::kInfinite);
      std::unique_lock lock(mutex);
      if (stopping) return;
      if (a.kind == Kind::closed) {
        eventClients.erase(a.client);
        for (auto& [id, l] : locks)
          if (l.owner == a.client) l = {};  // an application that leaves gives its locks up
        continue;
      }
      if (a.kind != Kind::message) continue;
      CBroklaAppMessage m;
      const bool whole = m.Assign(a.message);
      const Bytes data =
          whole ? Bytes(a.message.begin() + 2, a.message.begin() + m.GetTotalLength()) : a.message;
      if (a.listener == kEventListener) {
        events.push_back({whole ? m.GetType() : -1, data});
        if (whole && m.GetType() == brokla::kEventNewApp) eventClients.insert(a.client);
        changed.notify_all();
        continue;
      }
      requests.push_back({whole ? m.GetType() : -1, data});
      changed.notify_all();
      if (!whole) continue;
      if (auto s = scripted.find(m.GetType()); s != scripted.end() && !s->second.empty()) {
        const Bytes raw = s->second.front();
        s->second.pop_front();
        if (!raw.empty()) (void)server.send(a.client, raw);
        continue;
      }
      if (auto reply = answer(a.client, m)) (void)server.send(a.client, reply->GetWire());
    }
  }
};

FakeConnectionManager::FakeConnectionManager() : state_(std::make_unique<State>()) {
  if (state_->server.listen(brokla::kAppPipe) != kAppListener ||
      state_->server.listen(brokla::kEventPipe) != kEventListener)
    throw std::runtime_error("fake connection manager cannot listen");
  state_->thread = std::thread([this] { state_->serve(); });
}

FakeConnectionManager::~FakeConnectionManager() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->server.wake();
  state_->thread.join();
}

void FakeConnectionManager::addInstrument(const brokla::InstrumentEntry& entry) {
  std::lock_guard lock(state_->mutex);
  state_->instruments.push_back(entry);
}

void FakeConnectionManager::removeInstrument(std::uint32_t id) {
  std::lock_guard lock(state_->mutex);
  auto& list = state_->instruments;
  list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& e) { return e.id == id; }), list.end());
}

void FakeConnectionManager::setVanished(std::uint32_t id) {
  std::lock_guard lock(state_->mutex);
  state_->vanished.insert(id);
}

void FakeConnectionManager::setStatus(std::uint32_t id, Status status) {
  std::lock_guard lock(state_->mutex);
  state_->statuses[id] = status;
}

void FakeConnectionManager::setForeignLock(std::uint32_t id, int count) {
  std::lock_guard lock(state_->mutex);
  state_->locks[id] = {-2, count};
}

int FakeConnectionManager::lockCount(std::uint32_t id) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->locks.find(id);
  return it == state_->locks.end() ? 0 : it->second.count;
}

void FakeConnectionManager::scriptReply(int type, Bytes reply) {
  std::lock_guard lock(state_->mutex);
  state_->scripted[type].push_back(std::move(reply));
}

bool FakeConnectionManager::sendRawEvent(const Bytes& bytes) {
  std::set<int> clients;
  {
    std::lock_guard lock(state_->mutex);
    clients = state_->eventClients;
  }
  bool sent = !clients.empty();
  for (int c : clients) sent = state_->server.send(c, bytes) && sent;
  return sent;
}

bool FakeConnectionManager::sendEvent(int type, const Bytes& data) {
  CBroklaAppMessage m;
  m.SetType(type);
  if (!data.empty()) m.SetData(0, data.data(), static_cast<int>(data.size()));
  m.SetDataLength(static_cast<int>(data.size()));
  return sendRawEvent(Bytes(m.GetWire().begin(), m.GetWire().end()));
}

bool FakeConnectionManager::sendRebootEvent(const brokla::InstrumentEntry& entry) {
  CBroklaAppMessage m;
  m.SetType(brokla::kEventReboot);
  brokla::PutInstrumentEntry(m, 0, entry);
  m.SetDataLength(brokla::kInstrumentEntrySize);
  return sendRawEvent(Bytes(m.GetWire().begin(), m.GetWire().end()));
}

bool FakeConnectionManager::waitForEventClients(int n) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::seconds(10),
                                  [&] { return static_cast<int>(state_->eventClients.size()) >= n; });
}

std::vector<FakeConnectionManager::Seen> FakeConnectionManager::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

std::vector<FakeConnectionManager::Seen> FakeConnectionManager::events() const {
  std::lock_guard lock(state_->mutex);
  return state_->events;
}

int FakeConnectionManager::countRequests(int type, int lockOperation) const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(std::count_if(state_->requests.begin(), state_->requests.end(), [&](const Seen& s) {
    return s.type == type && (lockOperation < 0 || (s.data.size() > 4 && s.data[4] == lockOperation));
  }));
}

bool FakeConnectionManager::waitForEvents(std::size_t n) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::seconds(10), [&] { return state_->events.size() >= n; });
}

int FakeConnectionManager::connectedClients() const { return state_->server.clientCount(); }
