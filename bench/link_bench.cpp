// The instrument link's command round trip: CLanComm::WriteString of "peek 0" and
// ReadResponse of its reply, against a bare TCP echo of the same sizes (23 bytes out, 22
// back) measured in the same run, with blocking sockets and nothing else on the path.
// The link goes against two servers on loopback: a minimal framed responder thread, so
// that the ratio says what the link's own path (framing, lock nesting, stale-byte check,
// deadline, reply parsing) costs; and the simulated instrument (zevasim), the server
// every test and the demo use, whose ratio adds its command dispatch and request log.
//
// A small stand-in for the connection manager serves the pipes for the one lock taken at
// the open; after that every command nests the lock in the process. All of it runs in
// this process on loopback; LINK_BENCH_ROUNDS (default 20000) sets the round trips.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BroklaProtocol/BroklaAppMessage.h"
#include "Jotwell/Logger.h"
#include "link/LanComm.h"
#include "platform/localpipe.h"
#include "zevasim/SimInstrument.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kRequest = 16 + 7;  // header and "peek 0\n"
const std::string kReplyPayload = "00,5A\n";
constexpr std::size_t kReply = 16 + 6;

struct Bench {
  std::string dir;
  long rounds = 20000;
  double echo = 0, link = 0, sim = 0;  // seconds per round trip
};

Bench& B() {
  static Bench b;
  return b;
}

bool ReadExact(int fd, std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// A loopback listener on a free port; its port in `port`.
int Listen(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    std::perror("listen");
    std::exit(1);
  }
  port = ntohs(a.sin_port);
  return fd;
}

void NoDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Serves one connection: for every request (`request` bytes, or one framed command when
// `framed`) sends `reply`. A request is taken with one receive when it came whole, as
// the echo's is, so that both servers cost the same.
std::thread Serve(int listener, bool framed, std::vector<std::uint8_t> reply) {
  return std::thread([listener, framed, reply] {
    const int fd = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    if (fd < 0) return;
    NoDelay(fd);
    std::uint8_t buffer[256];
    for (;;) {
      std::size_t need = kRequest;
      std::size_t got = 0;
      while (got < need) {
        const ssize_t r = ::recv(fd, buffer + got, sizeof buffer - got, 0);
        if (r <= 0) {
          ::close(fd);
          return;
        }
        got += static_cast<std::size_t>(r);
        if (framed && got >= 16) {
          need = (std::size_t{buffer[0]} << 24) | (std::size_t{buffer[1]} << 16) | (std::size_t{buffer[2]} << 8) |
                 buffer[3];
          if (need < 16 || need > sizeof buffer) {
            ::close(fd);
            return;
          }
        }
      }
      if (!WriteAll(fd, reply.data(), reply.size())) break;
    }
    ::close(fd);
  });
}

// The connection manager's part in an open: hello, enumeration of one instrument, lock.
class Manager {
 public:
  explicit Manager(std::uint16_t instrumentPort) : server_(4), port_(instrumentPort) {
    if (server_.listen(brokla::kAppPipe) < 0 || server_.listen(brokla::kEventPipe) < 0) {
      std::fprintf(stderr, "cannot serve the manager's pipes\n");
      std::exit(1);
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~Manager() {
    stop_ = true;
    server_.wake();
    thread_.join();
  }

 private:
  void Run() {
    int lockCount = 0;
    while (!stop_) {
      auto a = server_.wait();
      if (a.kind != platform::localpipe::PipeServer::Activity::Kind::message) continue;
      CBroklaAppMessage in, out;
      if (!in.Assign(a.message)) continue;
      out.SetType(in.GetType());
      switch (in.GetType()) {
        case brokla::kMsgHello:
          break;
        case brokla::kMsgEnumerate:
          brokla::PutInstrumentEntry(out, 0, {1, 0x7F000001, port_, 1, "BENCH"});
          out.SetDataLength(brokla::kInstrumentEntrySize);
          break;
        case brokla::kMsgLock: {
          const int before = lockCount;
          const int op = in.GetDataByte(4);
          if (op == brokla::kLockOpLock) ++lockCount;
          if (op == brokla::kLockOpUnlock && lockCount > 0) --lockCount;
          out.SetDataU32(0, 1);
          out.SetDataByte(4, 0);
          out.SetDataByte(5, static_cast<std::uint8_t>(before));
          out.SetDataByte(6, static_cast<std::uint8_t>(lockCount));
          out.SetDataLength(7);
          break;
        }
        default:
          continue;  // events: no reply
      }
      server_.send(a.client, out.GetWire());
    }
  }

  platform::localpipe::PipeServer server_;
  std::uint16_t port_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class Owner : public ILanCommOwner {
 public:
  int TranslateRuntimeError(unsigned code) override { return 4096 + static_cast<int>(code); }
  void Set68KCurrentDateTime() override {}
};

void BM_BareEcho(benchmark::State& state) {
  auto& b = B();
  std::uint16_t port = 0;
  const int listener = Listen(port);
  std::thread server = Serve(listener, false, std::vector<std::uint8_t>(kReply, 'R'));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) state.SkipWithError("connect failed");
  NoDelay(fd);
  std::uint8_t out[kRequest] = {};
  std::uint8_t in[kReply];
  for (auto _ : state) {
    const auto start = Clock::now();
    for (long i = 0; i < b.rounds; ++i)
      if (!WriteAll(fd, out, sizeof out) || !ReadExact(fd, in, sizeof in)) {
        state.SkipWithError("echo failed");
        break;
      }
    b.echo = std::chrono::duration<double>(Clock::now() - start).count() / static_cast<double>(b.rounds);
  }
  ::close(fd);
  server.join();
  state.counters["us_per_round_trip"] = b.echo * 1e6;
}

void BM_LinkCommand(benchmark::State& state) {
  auto& b = B();
  std::uint16_t port = 0;
  const int listener = Listen(port);
  std::vector<std::uint8_t> reply(16, 0);
  reply[3] = static_cast<std::uint8_t>(kReply);
  reply[9] = 0x4B;
  reply.insert(reply.end(), kReplyPayload.begin(), kReplyPayload.end());
  std::thread server = Serve(listener, true, reply);
  {
    Manager manager(port);
    Owner owner;
    CLanComm comm(&owner);
    const std::string connect = "127.0.0.1_" + std::to_string(port);
    if (comm.OpenDevice(connect.c_str()) != 0) state.SkipWithError("open failed");
    const std::string line = "peek 0\n";
    for (auto _ : state) {
      const auto start = Clock::now();
      for (long i = 0; i < b.rounds; ++i) {
        int written = 0, status = -1;
        std::string text;
        if (comm.WriteString(line.c_str(), static_cast<int>(line.size()), &written) != 0 ||
            comm.ReadResponse(&status, text) != 0 || status != 0 || text != "5A") {
          state.SkipWithError("command failed");
          break;
        }
      }
      b.link = std::chrono::duration<double>(Clock::now() - start).count() / static_cast<double>(b.rounds);
    }
    comm.CloseDevice();
  }
  server.join();
  state.counters["us_per_round_trip"] = b.link * 1e6;
  if (b.echo > 0) state.counters["x_bare_echo"] = b.link / b.echo;
}

// The same commands against the simulated instrument, whose "peek" answers the byte at
// the address: the same 22 bytes back.
void BM_LinkCommandSim(benchmark::State& state) {
  auto& b = B();
  zevasim::Options options;
  options.address = 0x7F000001;
  zevasim::Instrument sim(options);
  if (!sim.start()) {
    state.SkipWithError("the simulated instrument did not start");
    return;
  }
  sim.setMemory(0, 0x5A);
  {
    Manager manager(sim.port());
    Owner owner;
    CLanComm comm(&owner);
    const std::string connect = "127.0.0.1_" + std::to_string(sim.port());
    if (comm.OpenDevice(connect.c_str()) != 0) state.SkipWithError("open failed");
    const std::string line = "peek 0\n";
    for (auto _ : state) {
      const auto start = Clock::now();
      for (long i = 0; i < b.rounds; ++i) {
        int written = 0, status = -1;
        std::string text;
        if (comm.WriteString(line.c_str(), static_cast<int>(line.size()), &written) != 0 ||
            comm.ReadResponse(&status, text) != 0 || status != 0 || text != "5A") {
          state.SkipWithError("command failed");
          break;
        }
      }
      b.sim = std::chrono::duration<double>(Clock::now() - start).count() / static_cast<double>(b.rounds);
    }
    comm.CloseDevice();
  }
  sim.stop();
  state.counters["us_per_round_trip"] = b.sim * 1e6;
  if (b.echo > 0) state.counters["x_bare_echo"] = b.sim / b.echo;
}

// The baseline first: the ratios need it.
BENCHMARK(BM_BareEcho)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinkCommand)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinkCommandSim)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void Prepare() {
  auto& b = B();
  if (const char* rounds = std::getenv("LINK_BENCH_ROUNDS")) {
    const long n = std::atol(rounds);
    if (n > 0) b.rounds = n;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/link-bench-XXXXXX";
  if (!::mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  b.dir = templ;
  // Pipes, registry and log of its own; only loopback is ever reached.
  ::setenv("ZEVA_RUNTIME_DIR", (b.dir + "/run").c_str(), 1);
  ::setenv("ZEVA_REGISTRY_DIR", (b.dir + "/registry").c_str(), 1);
  ::setenv("ZEVA_NET_LOOPBACK_ONLY", "1", 1);
  ::mkdir((b.dir + "/run").c_str(), 0700);  // the pipes' folder is for this user only
  CLogger::Open((b.dir + "/link").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Prepare();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  const auto& b = B();
  if (b.echo > 0 && b.link > 0)
    std::printf("\nCommand round trip: %.2f x bare TCP echo of the same sizes (%.1f us vs %.1f us, %ld rounds)\n",
                b.link / b.echo, b.link * 1e6, b.echo * 1e6, b.rounds);
  if (b.echo > 0 && b.sim > 0)
    std::printf("Command round trip against the simulated instrument: %.2f x bare TCP echo of the same sizes "
                "(%.1f us vs %.1f us, %ld rounds)\n",
                b.sim / b.echo, b.sim * 1e6, b.echo * 1e6, b.rounds);
  benchmark::Shutdown();
  CLogger::Close();
  std::error_code ec;
  std::filesystem::remove_all(b.dir, ec);
  return 0;
}
