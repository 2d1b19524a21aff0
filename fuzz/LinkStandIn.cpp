// The instrument link's socket and pipe side, played from the fuzz input: each command
// takes its response frames from the bytes the target hands over, read with the link's
// own frame decoding and header check. The command channel (LanComm.cpp) is the real one.
#include "LinkStandIn.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "link/BroklaClient.h"
#include "link/ErrorIds.h"
#include "link/LanLink.h"

using namespace movrak;

namespace link_standin {

std::string_view g_wire;
std::vector<std::uint8_t> g_event;
int g_executed = 0;

}  // namespace link_standin

using link_standin::g_wire;

namespace {

// Responses of one command, as the link receives them: a header, the payload it
// announces, and more while the header says more follow.
int receiveResponses(LanResponseList& responses) {
  responses.clear();
  for (;;) {
    if (g_wire.size() < LanHeader::kSize) return kErrTimedOut;
    LanResponse node;
    node.header = LanHeader::Decode(reinterpret_cast<const std::uint8_t*>(g_wire.data()));
    const std::int64_t length = ResponsePayloadLength(node.header);
    if (length < 0) return kErrCommandOverlap;
    g_wire.remove_prefix(LanHeader::kSize);
    if (g_wire.size() < static_cast<std::size_t>(length)) return kErrTimedOut;
    node.data.assign(static_cast<std::size_t>(length) + 1, 0);
    std::memcpy(node.data.data(), g_wire.data(), static_cast<std::size_t>(length));
    g_wire.remove_prefix(static_cast<std::size_t>(length));
    const bool last = (node.header.flags & LanHeader::kFlagMore) == 0;
    responses.push_back(std::move(node));
    if (last) return 0;
  }
}

LanResponseList* g_unblocked = nullptr;
int g_unblockedResult = kResultCompleted;

}  // namespace

int ExecuteInstrCmd(CLanInstr*, LanFrame& frame, LanResponseList& responses, int, bool blocking) {
  ++link_standin::g_executed;
  (void)frame.Finalize();
  const int r = receiveResponses(responses);
  if (blocking) return r == 0 ? kResultCompleted : r;
  g_unblocked = &responses;
  g_unblockedResult = r == 0 ? kResultCompleted : r;
  return kResultQueued;
}

std::vector<std::uint8_t> CollectUnblockedResponses(CLanInstr*, LanResponseList& list) {
  std::vector<std::uint8_t> out;
  if (list.empty()) throw g_unblockedResult;
  for (const auto& n : list)
    out.insert(out.end(), n.data.begin(), n.data.begin() + static_cast<long>(n.Length()));
  list.clear();
  return out;
}

bool TakeFirstResponse(LanResponseList& list, std::vector<std::uint8_t>& bytes) {
  if (list.empty()) return false;
  LanResponse& first = list.front();
  bytes.assign(first.data.begin(), first.data.begin() + static_cast<long>(first.Length()));
  list.clear();
  return true;
}

bool TakeFirstResponseString(LanResponseList& list, std::string& text) {
  std::vector<std::uint8_t> bytes;
  if (!TakeFirstResponse(list, bytes)) return false;
  text.assign(bytes.begin(), std::find(bytes.begin(), bytes.end(), std::uint8_t{0}));
  return true;
}

int GetScanData(CLanInstr*, std::uint8_t* buffer, int& count, int) {
  const auto n = std::min<std::size_t>(static_cast<std::size_t>(std::max(count, 0)), g_wire.size());
  if (buffer) std::memcpy(buffer, g_wire.data(), n);
  g_wire.remove_prefix(n);
  count = static_cast<int>(n);
  return 0;
}

bool ReconnectInstrument(CLanInstr*) { return false; }
void CloseInstrument(CLanInstr*) {}
void ForgetInstrument(CLanInstr*) {}

// The connection manager: one instrument, always granted.
namespace {
std::unique_ptr<CLanInstr> oneInstrument() {
  auto t = std::make_unique<CLanInstr>();
  CLanInstrEntry e;
  e.id = 1;
  e.address = 0x7F000001;
  e.port = 40001;
  e.type = 1;
  e.serialNumber = "K7431-000123";
  t->entries.push_back(std::move(e));
  return t;
}
}  // namespace

void DisconnectConnectionManager() {}
std::unique_ptr<CLanInstr> EnumerateInstruments(int) { return oneInstrument(); }
bool isLockedInstrument(CLanInstr*, bool) { return true; }
bool isLockedInstrument(const char*, std::unique_ptr<CLanInstr>& table, bool, int*) {
  table = oneInstrument();
  return true;
}
int UnlockInstrument(CLanInstr*) { return 0; }
bool GetInstrumentCommStatus(CLanInstr*, std::uint8_t* comm) {
  if (comm) *comm = 0;
  return true;
}
bool PostInstrEvent(CLanInstr*, EventMask, std::uint32_t) { return true; }
// The reboot event's data, once.
bool GetInstrEvent(CLanInstr*, EventMask want, EventMask& got, std::vector<std::uint8_t>& data) {
  if (link_standin::g_event.empty()) return false;
  got = want;
  data = std::exchange(link_standin::g_event, {});
  return true;
}
void RegisterInstrEvent(CLanInstr*, EventMask) {}
void UnregisterInstrEvent(CLanInstr*, EventMask) {}
