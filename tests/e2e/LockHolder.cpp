// e2e_lock_holder: another application on this machine that takes an instrument's lock
// at the connection manager and keeps it, for the tests across processes. It says hello
// on the request pipe, announces itself on the event pipe (so the manager knows both of
// its pipes and can clean up after it), finds the instrument by address, asks for its
// lock and says what it got on stdout. It then holds on until SIGTERM (it unlocks and
// ends) or until it is killed (the manager must then free the lock itself).
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "BroklaProtocol/BroklaAppMessage.h"
#include "platform/localpipe.h"
#include "platform/net.h"

namespace {

using namespace std::chrono_literals;
using platform::localpipe::Pipe;

const char* const kUsage =
    "Usage: e2e_lock_holder --address A | --help | --version\n"
    "Takes the connection manager's lock of the instrument at loopback address A and holds\n"
    "it until SIGTERM. Prints \"lock holder: locked ...\" or \"lock holder: refused ...\".\n";

CBroklaAppMessage Message(int type, const std::vector<std::uint8_t>& data) {
  CBroklaAppMessage m;
  m.SetType(type);
  m.SetData(0, data.data(), static_cast<int>(data.size()));
  m.SetDataLength(static_cast<int>(data.size()));
  return m;
}

std::vector<std::uint8_t> Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

std::optional<CBroklaAppMessage> Request(Pipe& pipe, int type, const std::vector<std::uint8_t>& data) {
  if (!pipe.write(Message(type, data).GetWire(), 5s)) return std::nullopt;
  std::vector<std::uint8_t> buffer(1024);
  const auto r = pipe.read(buffer, 10s);
  CBroklaAppMessage reply;
  if (!r.ok() || !reply.Assign({buffer.data(), r.size}) || reply.GetType() != type) return std::nullopt;
  return reply;
}

int Fail(const char* why) {
  std::fprintf(stderr, "e2e_lock_holder: %s\n", why);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::uint32_t> address;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("e2e_lock_holder (test equipment)");
      return 0;
    }
    if (std::strcmp(argv[i], "--address") == 0 && i + 1 < argc) {
      address = platform::net::parseAddress(argv[++i]);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (!address) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  // SIGTERM is taken by sigwait below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const auto pid = static_cast<std::uint32_t>(platform::localpipe::currentProcessId());
  Pipe requests = Pipe::connect(brokla::kAppPipe, 5s);
  if (!requests.isOpen()) return Fail("cannot reach the connection manager's request pipe");
  if (!Request(requests, brokla::kMsgHello, Le32(pid))) return Fail("no answer to the hello");
  Pipe events = Pipe::connect(brokla::kEventPipe, 5s);
  if (!events.isOpen() || !events.write(Message(brokla::kEventNewApp, Le32(pid)).GetWire(), 5s))
    return Fail("cannot announce itself on the event pipe");

  const auto listing = Request(requests, brokla::kMsgEnumerate, {});
  if (!listing) return Fail("no answer to the enumeration");
  std::optional<brokla::InstrumentEntry> instrument;
  for (int at = 0; at + brokla::kInstrumentEntrySize <= listing->GetDataLength();
       at += brokla::kInstrumentEntrySize)
    if (auto e = brokla::ParseInstrumentEntry(
            listing->GetWire().subspan(static_cast<std::size_t>(2 + at), brokla::kInstrumentEntrySize));
        e && e->address == *address)
      instrument = e;
  if (!instrument) return Fail("the instrument is not listed");

  std::vector<std::uint8_t> lock = Le32(instrument->id);
  lock.push_back(brokla::kLockOpLock);
  const auto reply = Request(requests, brokla::kMsgLock, lock);
  if (!reply || reply->GetDataU32(0) != instrument->id || reply->GetDataByte(4) != 0)
    return Fail("the lock request was not answered for the instrument");
  const int before = static_cast<std::int8_t>(reply->GetDataByte(5));
  const int after = static_cast<std::int8_t>(reply->GetDataByte(6));
  std::printf("lock holder: %s instrument %u (pid %u, lock count %d -> %d)\n",
              after == before + 1 ? "locked" : "refused", static_cast<unsigned>(instrument->id),
              static_cast<unsigned>(pid), before, after);
  std::fflush(stdout);

  int signal = 0;
  sigwait(&signals, &signal);
  if (after == before + 1) {
    std::vector<std::uint8_t> unlock = Le32(instrument->id);
    unlock.push_back(brokla::kLockOpUnlock);
    Request(requests, brokla::kMsgLock, unlock);
  }
  return 0;
}
