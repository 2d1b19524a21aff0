// Writing scan images. A two-channel 16-bit scan of realistic size (2 um pixels over a
// 20 x 60 mm region) is written line by line through MultiChannelTiffHandler and merged
// into the final image; the baseline writes and syncs the same number of bytes with
// plain write(). Then CompressTiff rewrites the merged image with LZW, against
// "tiffcp -c lzw" (followed by an fsync of its output, as CompressTiff syncs its own)
// on the same file. Both ratios come from one run on one disk.
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
#include <random>
#include <string>
#include <vector>

#include "Jotwell/RegEdit.h"
#include "Tessary/MultiChannelTiffHandler.h"
#include "Tessary/TiffCompress.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

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
  double plain = 0, scan = 0, tiffcp = 0, compress = 0;
};

Bench& B() {
  static Bench b;
  return b;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::uint64_t ScanBytes() { return std::uint64_t{2} * kWidth * B().lines * sizeof(std::uint16_t); }

bool SyncFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

void BM_PlainWriteAndSync(benchmark::State& state) {
  auto& b = B();
  const std::string path = b.dir + "/plain.bin";
  std::vector<std::uint16_t> line(kWidth);
  for (auto _ : state) {
    const auto start = Clock::now();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = fd >= 0;
    for (unsigned row = 0; ok && row < b.lines; ++row) {
      for (const auto& channel : b.pattern) {
        const auto& samples = channel[row % kPatternLines];
        for (unsigned c = 0; c < kWidth; ++c)
          line[c] = static_cast<std::uint16_t>(std::min(samples[c], 65535u));
        ok = ::write(fd, line.data(), kWidth * sizeof(std::uint16_t)) ==
             static_cast<ssize_t>(kWidth * sizeof(std::uint16_t));
      }
    }
    ok = ok && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    b.plain = Seconds(start);
    if (!ok) state.SkipWithError("plain write failed");
  }
  ::unlink(path.c_str());
  state.SetBytesProcessed(static_cast<std::int64_t>(ScanBytes()));
}

void BM_ScanWriteAndMerge(benchmark::State& state) {
  auto& b = B();
  b.merged = b.dir + "/scan_01.tif";
  for (auto _ : state) {
    const auto start = Clock::now();
    try {
      MultiChannelTiffHandler m;
      // 16-bit at 2 um: with the decimated copies, as the scan-data writer makes it.
      m.CreateTiff(b.merged.c_str(), kWidth, b.lines, 16, 2, kPixelMicrons, kPixelMicrons, true);
      for (int ch = 0; ch < 2; ++ch) m.GetTiffByChannel(ch)->SetPMTChannel(ch);
      for (unsigned row = 0; row < b.lines; ++row) {
        for (int ch = 0; ch < 2; ++ch) {
          const auto& samples = b.pattern[ch][row % kPatternLines];
          m.GetTiffByChannel(ch)->AddScanline(samples.data());
          m.GetTiffByChannel(2 + ch)->AddScanline(samples.data());
        }
      }
      if (m.CloseAndSaveScan(0, 0, 3, -2, false) != 0) state.SkipWithError("merge failed");
    } catch (const std::string& text) {
      state.SkipWithError(text.c_str());
    }
    b.scan = Seconds(start);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(ScanBytes()));
  if (b.plain > 0) state.counters["x_plain_write"] = b.scan / b.plain;
}

void BM_TiffcpLzw(benchmark::State& state) {
  auto& b = B();
  const std::string out = b.dir + "/tiffcp.tif";
  for (auto _ : state) {
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
    const auto start = Clock::now();
    if (CompressTiff(b.merged.c_str(), out.c_str()) != kTiffCompressOk)
      state.SkipWithError("CompressTiff failed");
    b.compress = Seconds(start);
  }
  ::unlink(out.c_str());
  if (b.tiffcp > 0) state.counters["x_tiffcp"] = b.compress / b.tiffcp;
}

// Registered in this order: each ratio needs its baseline measured first.
BENCHMARK(BM_PlainWriteAndSync)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanWriteAndMerge)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffcpLzw)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressTiff)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

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
  std::filesystem::create_directories(b.dir + "/install");
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo").WriteString("Path", b.dir + "/install");

  std::mt19937 rng(12345);
  for (int ch = 0; ch < 2; ++ch) {
    b.pattern[ch].assign(kPatternLines, std::vector<unsigned int>(kWidth));
    for (unsigned r = 0; r < kPatternLines; ++r)
      for (unsigned c = 0; c < kWidth; ++c)
        b.pattern[ch][r][c] =
            static_cast<unsigned int>(3000 + 2500 * std::sin(c / 97.0 + r / 13.0 + ch) + (rng() & 0x1FF));
  }
}

}  // namespace

int main(int argc, char** argv) {
  Prepare();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  const auto& b = B();
  std::printf("\nScan of %u x %u pixels, 2 channels, 16 bit (%.0f MB):\n", kWidth, b.lines,
              ScanBytes() / 1e6);
  if (b.plain > 0 && b.scan > 0)
    std::printf("  write line by line and merge : %.2f x plain write + fsync (%.2f s vs %.2f s)\n",
                b.scan / b.plain, b.scan, b.plain);
  if (b.tiffcp > 0 && b.compress > 0)
    std::printf("  CompressTiff (LZW)           : %.2f x tiffcp -c lzw + fsync (%.2f s vs %.2f s)\n",
                b.compress / b.tiffcp, b.compress, b.tiffcp);
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(b.dir, ec);
  return 0;
}
