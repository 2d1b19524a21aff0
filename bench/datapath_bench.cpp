// The scan data path at full speed: a paced simulated board hands scan lines out through
// SDPGetData (at most 1 MiB per read, its byte count growing with the pace), the read
// thread puts them into the ring, the write thread decodes, registers and writes them
// into the channel files, and the image is closed and merged. Each case is measured
// against the disk's best in the same run: the merged image's bytes written in 1 MiB
// pieces and synced. Reported per case (2 um and 5 um, 16 and 32 bit):
//   the whole path (scan start to merged image durable on disk) against the baseline;
//   the lines per second the path kept up with;
//   the path's peak memory above what the process held before, against the ring size.
//
// DATAPATH_BENCH_SCALE (default 1) scales the scan length; DATAPATH_BENCH_RATE (MB/s,
// default 0: as fast as the path reads) paces the board, which never holds more than
// 16 MiB (below the 24 MiB at which the path declares an overflow).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeScanCtrl.h"
#include "Jotwell/RegEdit.h"
#include "PlainWrite.h"
#include "platform/window.h"
#include "run/ScanDataProc.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using lumetra::run::CScanDataProc;

constexpr unsigned kWidthMicrons = 20000;   // 20 mm across
constexpr unsigned kHeightMicrons = 10000;  // 10 mm down
constexpr int kPatternLines = 61;

struct Case {
  const char* name;
  int microns;
  bool thirtyTwo;
  double plain = 0, whole = 0;
  std::uint64_t imageBytes = 0, rawBytes = 0;
  int lines = 0, pixels = 0;
  double peakMiB = 0;
  double readDone = 0, writeDone = 0;
  bool ok = false;
};

Case g_cases[] = {{"2 um, 16 bit", 2, false},
                  {"2 um, 32 bit", 2, true},
                  {"5 um, 16 bit", 5, false},
                  {"5 um, 32 bit", 5, true}};
std::string g_dir;
double g_scale = 1.0, g_rateMBs = 0;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Peak resident memory in KiB; ResetPeak starts a new peak from the current size.
long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    long value = 0;
    if (key == "VmHWM:" && status >> value) return value;
  }
  return 0;
}
long CurrentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    long value = 0;
    if (key == "VmRSS:" && status >> value) return value;
  }
  return 0;
}
void ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

std::uint64_t FolderBytes(const std::string& path) {
  std::uint64_t total = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(path, ec))
    if (entry.is_regular_file(ec)) total += entry.file_size(ec);
  return total;
}

// The board: scan lines made of a few patterned lines (header line number and direction
// set per line), handed out as the pace allows.
class PacedBoard {
 public:
  PacedBoard(int pixels, int records)
      : lineBytes_(32 + 8 * static_cast<std::size_t>(pixels)), records_(records) {
    total_ = lineBytes_ * static_cast<std::size_t>(records);
    for (int n = 0; n < kPatternLines; ++n) {
      std::vector<std::uint8_t> line(lineBytes_, 0);
      std::uint8_t* h = line.data();
      h[0] = 0xFF, h[1] = 0x33, h[2] = 0x11, h[3] = 0x01;
      std::memcpy(h + 8, &pixels, 4);
      h[12] = 0xE8, h[13] = 0x03;  // 1000 photodiode counts, both lasers
      h[14] = 0xE8, h[15] = 0x03;
      for (int j = 0; j < pixels; ++j) {
        std::uint8_t* px = h + 32 + 8 * static_cast<std::size_t>(j);
        const std::uint32_t count = 40;
        const auto sum = [&](int ch) {
          return static_cast<std::uint32_t>(3000 + 2500 * std::sin(j / 97.0 + n / 13.0 + ch)) * count / 4;
        };
        px[0] = count;
        const std::uint32_t r = sum(0), g = sum(1);
        px[3] = static_cast<std::uint8_t>(r >> 16), px[2] = static_cast<std::uint8_t>(r >> 8),
        px[5] = static_cast<std::uint8_t>(r);
        px[4] = static_cast<std::uint8_t>(g >> 16), px[7] = static_cast<std::uint8_t>(g >> 8),
        px[6] = static_cast<std::uint8_t>(g);
      }
      pattern_.push_back(std::move(line));
    }
  }
  void Start() { start_ = Clock::now(); }

  // What the board holds: produced at the pace, but never more than its own buffer (a
  // fast instrument that waits rather than overflow), so only the path limits the speed.
  std::size_t Available() const {
    std::size_t produced = std::min(total_, consumed_ + kBoardBuffer);
    if (g_rateMBs > 0)
      produced = std::min<std::size_t>(produced, static_cast<std::size_t>(Seconds(start_) * g_rateMBs * 1e6));
    return produced - std::min(produced, consumed_);
  }
  static constexpr std::size_t kBoardBuffer = 16 << 20;
  long Read(unsigned char* buffer, long size, long request) {
    std::size_t want = static_cast<std::size_t>(std::min(size, request));
    // The port waits until the request is there.
    while (Available() < want && consumed_ < total_) std::this_thread::yield();
    want = std::min(want, Available());
    for (std::size_t done = 0; done < want;) {
      const std::size_t line = consumed_ / lineBytes_, at = consumed_ % lineBytes_;
      const std::size_t n = std::min(want - done, lineBytes_ - at);
      const auto& source = pattern_[line % kPatternLines];
      std::memcpy(buffer + done, source.data() + at, n);
      const std::uint8_t header[3] = {static_cast<std::uint8_t>(line), static_cast<std::uint8_t>(line >> 8),
                                      static_cast<std::uint8_t>(line & 1)};
      for (std::size_t off = 4; off < 7; ++off)
        if (at <= off && at + n > off) buffer[done + off - at] = header[off - 4];
      done += n;
      consumed_ += n;
    }
    return static_cast<long>(want);
  }

 private:
  std::size_t lineBytes_;
  int records_;
  std::size_t total_ = 0, consumed_ = 0;
  std::vector<std::vector<std::uint8_t>> pattern_;
  Clock::time_point start_ = Clock::now();
};

class NullWindow : public platform::Window {
 public:
  bool post(unsigned, std::uintptr_t, std::intptr_t) override { return true; }
  bool postText(unsigned, std::uintptr_t, std::string) override { return true; }
  std::intptr_t send(unsigned, std::uintptr_t, std::intptr_t) override { return 0; }
};

bool SyncFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

void RunPath(Case& c, benchmark::State& state) {
  c.pixels = static_cast<int>(kWidthMicrons / static_cast<unsigned>(c.microns));
  c.lines = std::max(1, static_cast<int>(kHeightMicrons / static_cast<unsigned>(c.microns) * g_scale));
  const std::string out = g_dir + "/out";
  fs::remove_all(out);
  fs::create_directories(out);
  const std::string file = out + "/scan.tif";

  auto ctrl = lumetra_test::FakeScanCtrl::Create();
  ctrl->flash = {{"LaserSetPointMWatt_G", "1000"},
                 {"LaserPDCtToMWatt_G", "1"},
                 {"LaserSetPointMWatt_R", "1000"},
                 {"LaserPDCtToMWatt_R", "1"}};
  NullWindow window;
  const long before = CurrentKiB();
  ResetPeak();
  const auto start = Clock::now();
  {
    CScanDataProc proc(ctrl.get(), "");
    proc.CreateTiff(file.c_str(), static_cast<unsigned long>(c.pixels), static_cast<unsigned long>(c.lines),
                    2, c.microns, c.microns, c.thirtyTwo, false, false);
    proc.SetLineResolution(c.microns);
    proc.SetPixelSizeX(c.microns);
    if (proc.PrepareScan(c.lines, c.pixels, false, 0) != 1) {
      state.SkipWithError("preparation failed");
      return;
    }
    PacedBoard board(c.pixels, c.lines + proc.GetLeadInLines());
    c.rawBytes = static_cast<std::uint64_t>(proc.GetExpectedBytes());
    std::mutex boardMutex;
    ctrl->DataSource = [&](unsigned char* buffer, long size, long request) {
      std::lock_guard lock(boardMutex);
      return board.Read(buffer, size, request);
    };
    ctrl->PortBacklog = [&] {
      std::lock_guard lock(boardMutex);
      return static_cast<std::uint32_t>(std::min<std::size_t>(board.Available(), 0xFFFFFFFFu));
    };
    board.Start();
    proc.DoRecvScanData(&window);
    // When reading and writing ended (polled: the bench only watches).
    while (!proc.IsDoneWriting()) {
      if (proc.IsDoneReading() && c.readDone == 0) c.readDone = Seconds(start);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (c.readDone == 0) c.readDone = Seconds(start);
    c.writeDone = Seconds(start);
    proc.WaitUntilDone();
    if (proc.GetLinesWritten() != c.lines + proc.GetLeadInLines()) state.SkipWithError("lines lost");
    if (proc.CloseAndSaveScan() != 0) state.SkipWithError("close failed");
    if (!SyncFile(file)) state.SkipWithError("no image");
  }
  c.whole = Seconds(start);
  c.peakMiB = (PeakKiB() - before) / 1024.0;
  c.imageBytes = FolderBytes(out);
  c.ok = true;
}

void RunPlain(Case& c, benchmark::State& state) {
  c.plain = bench::WritePlainAndSync(g_dir + "/plain.bin", c.imageBytes);
  if (c.plain < 0) state.SkipWithError("plain write failed");
}

void BM_DataPath(benchmark::State& state) {
  Case& c = g_cases[state.range(0)];
  for (auto _ : state) {
    RunPath(c, state);
    // The baseline right after, on the same disk in the same state.
    RunPlain(c, state);
  }
  state.SetLabel(c.name);
  state.SetBytesProcessed(static_cast<std::int64_t>(c.rawBytes));
}

void Prepare() {
  if (const char* s = std::getenv("DATAPATH_BENCH_SCALE")) g_scale = std::max(0.001, std::atof(s));
  if (const char* r = std::getenv("DATAPATH_BENCH_RATE")) g_rateMBs = std::max(0.0, std::atof(r));
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/datapath-bench-XXXXXX";
  if (!::mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  g_dir = templ;
  ::setenv("ZEVA_REGISTRY_DIR", (g_dir + "/registry").c_str(), 1);
  fs::create_directories(g_dir + "/install/Temp");
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo").WriteString("Path", g_dir + "/install");
}

}  // namespace

BENCHMARK(BM_DataPath)->DenseRange(0, 3)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  Prepare();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  const double ringMiB = 0x14000000 / 1048576.0;
  std::printf("\nScan data path, 2 channels, %u x %u um region%s:\n", kWidthMicrons, kHeightMicrons,
              g_rateMBs > 0 ? "" : ", board unpaced (data there as fast as the path reads)");
  for (const Case& c : g_cases) {
    if (!c.ok || c.plain <= 0) {
      std::printf("  %-13s: not measured\n", c.name);
      continue;
    }
    std::printf("  %-13s: %d x %d px, raw %.0f MB, image %.0f MB\n", c.name, c.pixels, c.lines,
                c.rawBytes / 1e6, c.imageBytes / 1e6);
    std::printf(
        "      whole path %.2f s = %.2f x plain write + fsync of the image bytes (%.2f s); %.0f lines/s\n",
        c.whole, c.whole / c.plain, c.plain, c.lines / c.whole);
    std::printf("      reading ended after %.2f s, writing after %.2f s, closing took %.2f s\n", c.readDone,
                c.writeDone, c.whole - c.writeDone);
    std::printf("      peak memory above the start: %.0f MiB (ring %.0f MiB, ring + 64 MiB = %.0f MiB)\n",
                c.peakMiB, ringMiB, ringMiB + 64);
  }
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(g_dir, ec);
  return 0;
}
