// The instrument link's command round trip: CLanComm::WriteString of "peek 0" and
// ReadResponse of its reply, against a bare TCP echo of the same sizes (23 bytes out, 22
// back), with blocking sockets and nothing else on the path. The link goes against a
// minimal framed responder thread on loopback, so that the ratio says what the link's own
// path (framing, lock nesting, stale-byte check, deadline, reply parsing) costs. (The link
// keeps one socket per instrument per process, so a second server in this process would
// be reached through the first one's socket: the simulated instrument is not measured
// here.)
//
// Both are measured in one run, in turns of short blocks after a warm-up round of each,
// so that both see the same machine: a shared machine's load comes and goes, and what
// runs first would otherwise pay for starting cold. The ratio is the median of the
// blocks' ratios.
//
// A small stand-in for the connection manager serves the pipes for the one lock the link
// takes at its open; after that every command nests the lock in the process. All of it
// runs in this process on loopback; LINK_BENCH_ROUNDS (default 20000) sets the round
// trips of each kind. LINK_BENCH_ONLY=echo or =link runs that kind alone and prints no
// ratio: for counting its system calls per round trip, e.g. the difference between
// "strace -f -c" of two runs of different LINK_BENCH_ROUNDS, divided by the difference
// in rounds.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchFolder.h"
#include "BroklaProtocol/BroklaAppMessage.h"
#include "Jotwell/Logger.h"
#include "link/LanComm.h"
#include "platform/localpipe.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kRequest = 16 + 7;  // header and "peek 0\n"
const std::string kReplyPayload = "00,5A\n";
constexpr std::size_t kReply = 16 + 6;

struct Bench {
  std::string dir;
  long rounds = 20000;
  std::string only;           // "echo" or "link": that kind alone
  double echo = 0, link = 0;  // seconds per round trip (means)
  double linkRatio = 0;       // median of the blocks' ratios
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
          need = (std::size_t{buffer[0]} << 24) | (std::size_t{buffer[1]} << 16) |
                 (std::size_t{buffer[2]} << 8) | buffer[3];
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

// The connection manager's part in an open: hello, enumeration, lock. It lists one
// instrument on 127.0.0.1 per port given, with ids from 1.
class Manager {
 public:
  explicit Manager(std::vector<std::uint16_t> instrumentPorts)
      : server_(4), ports_(std::move(instrumentPorts)) {
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
    std::vector<int> lockCount(ports_.size(), 0);
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
          for (std::size_t i = 0; i < ports_.size(); ++i)
            brokla::PutInstrumentEntry(
                out, static_cast<int>(i) * brokla::kInstrumentEntrySize,
                {static_cast<std::uint32_t>(i + 1), 0x7F000001, ports_[i], 1, "BENCH"});
          out.SetDataLength(static_cast<int>(ports_.size()) * brokla::kInstrumentEntrySize);
          break;
        case brokla::kMsgLock: {
          const std::uint32_t id = in.GetDataU32(0);
          out.SetDataU32(0, id);
          if (id < 1 || id > ports_.size()) {
            out.SetDataByte(4, 1);
            out.SetDataLength(5);
            break;
          }
          int& count = lockCount[id - 1];
          const int before = count;
          const int op = in.GetDataByte(4);
          if (op == brokla::kLockOpLock) ++count;
          if (op == brokla::kLockOpUnlock && count > 0) --count;
          out.SetDataByte(4, 0);
          out.SetDataByte(5, static_cast<std::uint8_t>(before));
          out.SetDataByte(6, static_cast<std::uint8_t>(count));
          out.SetDataLength(7);
          break;
        }
        default:
          continue;  // events: no reply
      }
      (void)server_.send(a.client, out.GetWire());  // a client gone misses only its own reply
    }
  }

  platform::localpipe::PipeServer server_;
  std::vector<std::uint16_t> ports_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class Owner : public ILanCommOwner {
 public:
  int TranslateRuntimeError(unsigned code) override { return 4096 + static_cast<int>(code); }
  void Set68KCurrentDateTime() override {}
};

// One round trip of each kind; false when it failed.
bool EchoOnce(int fd) {
  static const std::uint8_t out[kRequest] = {};
  std::uint8_t in[kReply];
  return WriteAll(fd, out, sizeof out) && ReadExact(fd, in, sizeof in);
}

bool CommandOnce(CLanComm& comm) {
  static const std::string line = "peek 0\n";
  int written = 0, status = -1;
  std::string text;
  return comm.WriteString(line.c_str(), static_cast<int>(line.size()), &written) == 0 &&
         comm.ReadResponse(&status, text) == 0 && status == 0 && text == "5A";
}

// Seconds for `n` round trips of one kind; negative when one failed.
template <typename Once>
double Block(long n, Once once) {
  const auto start = Clock::now();
  for (long i = 0; i < n; ++i)
    if (!once()) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void BM_CommandRoundTrips(benchmark::State& state) {
  auto& b = B();
  constexpr long kBlocks = 20;
  const long perBlock = std::max(1L, b.rounds / kBlocks);

  // The bare echo.
  std::uint16_t echoPort = 0;
  std::thread echoServer = Serve(Listen(echoPort), false, std::vector<std::uint8_t>(kReply, 'R'));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(echoPort);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) state.SkipWithError("connect failed");
  NoDelay(fd);

  // The minimal framed responder.
  std::uint16_t framedPort = 0;
  std::vector<std::uint8_t> reply(16, 0);
  reply[3] = static_cast<std::uint8_t>(kReply);
  reply[9] = 0x4B;
  reply.insert(reply.end(), kReplyPayload.begin(), kReplyPayload.end());
  std::thread framedServer = Serve(Listen(framedPort), true, reply);

  std::vector<double> linkRatios;
  double echoTotal = 0, linkTotal = 0;
  bool failed = false;
  {
    Manager manager({framedPort});
    Owner owner;
    CLanComm link(&owner);
    if (link.OpenDevice(("127.0.0.1_" + std::to_string(framedPort)).c_str()) != 0) {
      state.SkipWithError("open failed");
      failed = true;
    }
    const auto echoOnce = [fd] { return EchoOnce(fd); };
    const auto linkOnce = [&link] { return CommandOnce(link); };
    for (auto _ : state) {
      if (failed) break;
      if (!b.only.empty()) {
        // One kind alone, for counting its system calls.
        if ((b.only == "echo" ? Block(b.rounds, echoOnce) : Block(b.rounds, linkOnce)) < 0) {
          state.SkipWithError("round trip failed");
          failed = true;
        }
        continue;  // the one iteration
      }
      // Warm: each path once, not counted.
      if (Block(perBlock, echoOnce) < 0 || Block(perBlock, linkOnce) < 0) {
        state.SkipWithError("round trip failed");
        failed = true;
        break;
      }
      for (long k = 0; k < kBlocks; ++k) {
        const double e = Block(perBlock, echoOnce), l = Block(perBlock, linkOnce);
        if (e <= 0 || l < 0) {
          state.SkipWithError("round trip failed");
          failed = true;
          break;
        }
        echoTotal += e;
        linkTotal += l;
        linkRatios.push_back(l / e);
      }
    }
    link.CloseDevice();
  }
  ::close(fd);
  echoServer.join();
  framedServer.join();

  const double rounds = static_cast<double>(perBlock * static_cast<long>(linkRatios.size()));
  if (rounds > 0 && !failed) {
    b.rounds = static_cast<long>(rounds);
    b.echo = echoTotal / rounds;
    b.link = linkTotal / rounds;
    b.linkRatio = Median(linkRatios);
  }
  state.counters["us_echo"] = b.echo * 1e6;
  state.counters["us_link"] = b.link * 1e6;
  state.counters["x_echo_link"] = b.linkRatio;
}

BENCHMARK(BM_CommandRoundTrips)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void Prepare() {
  auto& b = B();
  b.rounds = bench::PositiveFromEnv("LINK_BENCH_ROUNDS", b.rounds);
  if (const char* only = std::getenv("LINK_BENCH_ONLY")) b.only = only;
  if (!b.only.empty() && b.only != "echo" && b.only != "link") {
    std::fprintf(stderr, "LINK_BENCH_ONLY is echo or link, not '%s'\n", b.only.c_str());
    std::exit(2);
  }
  // Pipes, registry and log of its own; only loopback is ever reached.
  b.dir = bench::MakeSystemFolder("link-bench");
  CLogger::Open((b.dir + "/link").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Prepare();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  const auto& b = B();
  if (b.linkRatio > 0)
    std::printf(
        "\nCommand round trip: %.2f x bare TCP echo of the same sizes (%.1f us vs %.1f us, %ld rounds "
        "each)\n",
        b.linkRatio, b.link * 1e6, b.echo * 1e6, b.rounds);
  benchmark::Shutdown();
  CLogger::Close();
  std::error_code ec;
  std::filesystem::remove_all(b.dir, ec);
  return 0;
}
