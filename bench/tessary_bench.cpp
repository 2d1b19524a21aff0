// Writing scan images at disk speed. A two-channel 16-bit scan with its decimated copies
// (2 um pixels over a 20 x 60 mm region) goes line by line through
// MultiChannelTiffHandler and is merged into the final image. Everything is measured
// against the disk's best in the same run: the same bytes written in 1 MiB pieces and
// synced (the best of three). Reported:
//   (a) the whole path: lines in, merged image durable on disk, temporary files gone;
//   (b) the merge alone (CloseAndSaveScan);
//   (c) the merge with flip-and-rotate;
//   and the bytes the process sent towards the device during (a), against the image size.
// Then CompressTiff rewrites the merged image with LZW, against "tiffcp -c lzw" followed
// by an fsync of its output (CompressTiff syncs its own), both reading the image from the
// disk.
//
// TESSARY_BENCH_SCALE (default 1) scales the scan length for a quicker run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Jotwell/RegEdit.h"
#include "PlainWrite.h"
#include "Tessary/MultiChannelTiffHandler.h"
#include "Tessary/TiffCompress.h"
#include "platform/files.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr unsigned kPixelMicrons = 2;
constexpr unsigned kWidth = 20000 / kPixelMicrons;  // 20 mm
constexpr unsigned kPatternLines = 61;

struct Bench {
  std::string dir;
  unsigned lines = 60000 / kPixelMicrons;  // 60 mm
  // A few noisy lines per channel, repeated down the scan: data that compresses like a
  // scan, made once so that making it costs nothing in the timed loops.
  std::vector<std::vector<unsigned int>> pattern[2];
  std::string merged;
  std::uint64_t imageBytes = 0;
  double plain = 0, whole = 0, merge = 0, rotate = 0, tiffcp = 0, compress = 0;
  double deviceBytes = 0;
};

Bench& B() {
  static Bench b;
  return b;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::uint64_t ScanBytes() { return std::uint64_t{2} * kWidth * B().lines * sizeof(std::uint16_t); }

// Drops a finished file from the page cache. Memory a virtual machine's host has taken
// back costs a fault on the host at first touch, which is far dearer than the disk: a step
// that leaves its output cached would make the next step write into such memory, and the
// baseline (measured first) into memory already touched. Each step starts from the same
// memory state instead.
void DropFromCache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

bool SyncFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Bytes this process caused to be sent to storage, less those cancelled before they went
// (dirty pages of files deleted or truncated in time).
double DeviceWriteBytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  double value = 0, written = 0, cancelled = 0;
  while (io >> key >> value) {
    if (key == "write_bytes:") written = value;
    if (key == "cancelled_write_bytes:") cancelled = value;
  }
  return written - cancelled;
}

std::uint64_t FolderBytes(const std::string& path) {
  std::uint64_t total = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(path, ec))
    if (entry.is_regular_file(ec)) total += entry.file_size(ec);
  return total;
}

bool FolderEmpty(const std::string& path) {
  std::error_code ec;
  return fs::is_empty(path, ec);
}

// Writes the scan's lines; returns the handler ready for CloseAndSaveScan.
bool WriteScan(MultiChannelTiffHandler& m, const std::string& target) {
  auto& b = B();
  // 16-bit at 2 um: with the decimated copies, as the scan-data writer makes it.
  m.CreateTiff(target.c_str(), kWidth, b.lines, 16, 2, kPixelMicrons, kPixelMicrons, true);
  for (int ch = 0; ch < 2; ++ch) m.GetTiffByChannel(ch)->SetPMTChannel(ch);
  for (unsigned row = 0; row < b.lines; ++row) {
    for (int ch = 0; ch < 2; ++ch) {
      const auto& samples = b.pattern[ch][row % kPatternLines];
      m.GetTiffByChannel(ch)->AddScanline(samples.data());
      m.GetTiffByChannel(2 + ch)->AddScanline(samples.data());
    }
  }
  return true;
}

// The temporary files are removed off the critical path; the whole path ends when they
// are gone. A bounded wait: a file left behind after it is a failure.
bool WaitForTemporariesGone(const std::string& folder) {
  const auto until = Clock::now() + std::chrono::seconds(60);
  while (!FolderEmpty(folder)) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void BM_PlainWriteAndSync(benchmark::State& state) {
  auto& b = B();
  for (auto _ : state) {
    // The best of a few: the first write may have to wait for memory the system has not
    // touched for a while (in a virtual machine that costs more than the disk), which the
    // paths measured against it do not.
    b.plain = -1;
    for (int i = 0; i < 3; ++i) {
      const double seconds = bench::WritePlainAndSync(b.dir + "/plain.bin", b.imageBytes);
      if (seconds < 0) {
        state.SkipWithError("plain write failed");
        break;
      }
      b.plain = b.plain < 0 ? seconds : std::min(b.plain, seconds);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(b.imageBytes));
}

void BM_ScanWriteAndMerge(benchmark::State& state) {
  auto& b = B();
  b.merged = b.dir + "/out/scan_01.tif";
  const std::string temp = b.dir + "/install/Temp";
  for (auto _ : state) {
    fs::remove(b.merged);
    const double device = DeviceWriteBytes();
    const auto start = Clock::now();
    try {
      MultiChannelTiffHandler m;
      WriteScan(m, b.merged);
      const auto mergeStart = Clock::now();
      if (m.CloseAndSaveScan(0, 0, 3, -2, false) != 0) state.SkipWithError("merge failed");
      b.merge = Seconds(mergeStart);
    } catch (const std::string& text) {
      state.SkipWithError(text.c_str());
    }
    if (!WaitForTemporariesGone(temp)) state.SkipWithError("temporary files left behind");
    b.whole = Seconds(start);
    // Untimed: the freed temporaries' unwritten pages count as cancelled only once freed.
    platform::waitForDeferredRemovals();
    b.deviceBytes = DeviceWriteBytes() - device;
    DropFromCache(b.merged);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(ScanBytes()));
}

void BM_FlipAndRotate(benchmark::State& state) {
  auto& b = B();
  const std::string target = b.dir + "/rot/scan_01.tif";
  const std::string temp = b.dir + "/install/Temp";
  for (auto _ : state) {
    try {
      MultiChannelTiffHandler m;
      WriteScan(m, target);
      const auto start = Clock::now();
      if (m.CloseAndSaveScan(0, 0, 3, -2, true) != 0) state.SkipWithError("rotated merge failed");
      b.rotate = Seconds(start);
    } catch (const std::string& text) {
      state.SkipWithError(text.c_str());
    }
    WaitForTemporariesGone(temp);
  }
  std::error_code ec;
  fs::remove_all(b.dir + "/rot", ec);
}

void BM_TiffcpLzw(benchmark::State& state) {
  auto& b = B();
  const std::string out = b.dir + "/tiffcp.tif";
  for (auto _ : state) {
    DropFromCache(b.merged);  // both compressions read the image from the disk
    const auto start = Clock::now();
    std::vector<std::string> args{"tiffcp", "-c", "lzw", b.merged, out};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Its warnings about the private tags it does not know are of no interest here.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int status = -1;
    if (::posix_spawnp(&pid, "tiffcp", &actions, nullptr, argv.data(), environ) == 0)
      ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0 || !SyncFile(out)) state.SkipWithError("tiffcp failed (is libtiff-tools installed?)");
    b.tiffcp = Seconds(start);
  }
  ::unlink(out.c_str());
}

void BM_CompressTiff(benchmark::State& state) {
  auto& b = B();
  const std::string out = b.dir + "/compressed.tif";
  for (auto _ : state) {
    DropFromCache(b.merged);
    const auto start = Clock::now();
    if (CompressTiff(b.merged.c_str(), out.c_str()) != kTiffCompressOk)
      state.SkipWithError("CompressTiff failed");
    b.compress = Seconds(start);
  }
  ::unlink(out.c_str());
}

void Prepare() {
  auto& b = B();
  if (const char* scale = std::getenv("TESSARY_BENCH_SCALE")) {
    const double s = std::atof(scale);
    if (s > 0) b.lines = std::max(1u, static_cast<unsigned>(b.lines * s));
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessary-bench-XXXXXX";
  if (!::mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  b.dir = templ;
  // A registry of its own: the install folder (and with it the temporary image folder)
  // lies in the benchmark's folder.
  ::setenv("ZEVA_REGISTRY_DIR", (b.dir + "/registry").c_str(), 1);
  fs::create_directories(b.dir + "/install/Temp");
  fs::create_directories(b.dir + "/out");
  fs::create_directories(b.dir + "/rot");
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo").WriteString("Path", b.dir + "/install");

  std::mt19937 rng(12345);
  for (int ch = 0; ch < 2; ++ch) {
    b.pattern[ch].assign(kPatternLines, std::vector<unsigned int>(kWidth));
    for (unsigned r = 0; r < kPatternLines; ++r)
      for (unsigned c = 0; c < kWidth; ++c)
        b.pattern[ch][r][c] =
            static_cast<unsigned int>(3000 + 2500 * std::sin(c / 97.0 + r / 13.0 + ch) + (rng() & 0x1FF));
  }
  // The baseline writes as many bytes as the merged image holds: measured once, untimed.
  {
    MultiChannelTiffHandler m;
    WriteScan(m, b.dir + "/out/size.tif");
    m.CloseAndSaveScan(0, 0, 3, -2, false);
    b.imageBytes = FolderBytes(b.dir + "/out");
    fs::remove(b.dir + "/out/size.tif");
    WaitForTemporariesGone(b.dir + "/install/Temp");
  }
}

}  // namespace

// Registered in this order: the ratios need the baseline measured first.
BENCHMARK(BM_PlainWriteAndSync)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanWriteAndMerge)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlipAndRotate)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffcpLzw)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressTiff)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  Prepare();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  const auto& b = B();
  std::printf("\nScan of %u x %u pixels, 2 channels, 16 bit, decimated copies (image %.0f MB):\n", kWidth,
              b.lines, b.imageBytes / 1e6);
  std::printf("  baseline: the image's bytes in 1 MiB writes + fsync: %.2f s\n", b.plain);
  if (b.plain > 0) {
    std::printf("  (a) whole path (lines in, image durable, temporaries gone): %.2f x (%.2f s)\n",
                b.whole / b.plain, b.whole);
    std::printf("  (b) merge alone (CloseAndSaveScan)                     : %.2f x (%.2f s)\n",
                b.merge / b.plain, b.merge);
    std::printf("  (c) merge with flip-and-rotate                          : %.2f x (%.2f s)\n",
                b.rotate / b.plain, b.rotate);
  }
  if (b.imageBytes > 0)
    std::printf("  bytes towards the device during (a): %.2f x the image size\n",
                b.deviceBytes / static_cast<double>(b.imageBytes));
  if (b.tiffcp > 0 && b.compress > 0)
    std::printf("  CompressTiff (LZW): %.2f x tiffcp -c lzw + fsync (%.2f s vs %.2f s)\n",
                b.compress / b.tiffcp, b.compress, b.tiffcp);
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(b.dir, ec);
  return 0;
}
