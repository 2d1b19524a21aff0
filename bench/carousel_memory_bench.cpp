// Peak memory of a whole carousel run against the size of the scan data ring. Each case
// is one run of one slide in a process of its own (this program again, in its run mode):
// the run manager on the automation server (the built library) over the simulated
// instrument and board, with the data processor's ring of the case's size. The board
// sends as fast as it is read and holds at most 16 MiB unread (an instrument that waits
// rather than overflow), so only the path decides how full the ring gets. Reported per
// ring size, as ratios to it:
//   the run process's peak resident memory (getrusage of the child: everything the
//   process held, the fixture, libraries and simulators included);
//   the run's own share: the peak during the run above what the process held before it.
// One more run saves the image split and turned (flip-and-rotate, one file per channel):
// the rotation must stay in bounded memory however large the image.
//
// CAROUSEL_MEMORY_BENCH_LINES (default 5000) and CAROUSEL_MEMORY_BENCH_PIXELS (default
// 10000) size the scan (5 um pixels, 8 bytes a pixel from the board: 400 MB by default).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "BenchFolder.h"
#include "CarouselRunFixture.h"
#include "config/CarouselCfgInfo.h"
#include "okSim/okSim.h"
#include "run/ScanDataRing.h"
#include "zevasim/DeviceFamilies.h"

extern char** environ;

namespace {

constexpr const char* kRunMode = "--one-carousel-run";
constexpr const char* kRingVariable = "CAROUSEL_MEMORY_BENCH_RING";      // bytes, for the run mode
constexpr const char* kResultVariable = "CAROUSEL_MEMORY_BENCH_RESULT";  // file the run mode fills
constexpr const char* kRotateVariable = "CAROUSEL_MEMORY_BENCH_ROTATE";  // 1: split and turned
constexpr long kBoardBuffer = 16L << 20;

long StatusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    long value = 0;
    if (word == key && status >> value) return value;
  }
  return 0;
}

// ---- the run mode -----------------------------------------------------------------------

// The ring of a case: the default's proportions (wrap mark at 4/5, a read needs 1/10 free).
lumetra::run::RingGeometry RingOf(std::size_t capacity) {
  lumetra::run::RingGeometry ring;
  ring.capacity = capacity;
  ring.wrapMark = capacity / 5 * 4;
  ring.minRoom = capacity / 10;
  return ring;
}

class OneCarouselRun : public lumetra_test::CarouselRunTest {};

TEST_F(OneCarouselRun, OfOneSlide) {
  const long lines = bench::PositiveFromEnv("CAROUSEL_MEMORY_BENCH_LINES", 5000);
  const long pixels = bench::PositiveFromEnv("CAROUSEL_MEMORY_BENCH_PIXELS", 10000);
  const long ring = bench::PositiveFromEnv(kRingVariable, 0x14000000);
  const char* result = std::getenv(kResultVariable);
  ASSERT_TRUE(result);

  LoadCarousel({{1, "250000000001"}});
  sim.setHandler("getscanline",
                 [lines](const zevasim::Request&) { return zevasim::StatusRecordsReply(lines); });
  okSim_SetScanGeometry(static_cast<int>(pixels), static_cast<int>(lines) + kLeadIn);
  okSim_SetScanBuffer(kBoardBuffer);
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  const bool rotate = bench::PositiveFromEnv(kRotateVariable, 0) == 1;
  const auto config = MakeRunConfig(1, 1, {1});
  config->SplitAndRotate = rotate ? 1 : 0;
  CSlotScanCfgInfo& slot = *config->GetAt(1);
  slot.OriginX = 5000;
  slot.OriginY = 1000;
  slot.RegionLeft = 0;
  slot.RegionTop = 0;
  slot.RegionWidth = static_cast<int>(pixels) * kMicrons;
  slot.RegionHeight = static_cast<int>(lines) * kMicrons;
  lumetra_test::ProgressWindow window;

  const long before = StatusKiB("VmRSS:");
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  const RunResult run = RunCarousel(*ctrl, *config, window, RingOf(static_cast<std::size_t>(ring)));
  const long peak = StatusKiB("VmHWM:");
  ctrl->Disconnect();
  ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), 1u) << window.Transcript();
  // Turned, the image is a file per channel: <name>_Red.tif, <name>_Green.tif.
  const std::filesystem::path image(files[0].fileName);
  std::uintmax_t bytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(image.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (rotate ? name.starts_with(image.stem().string() + "_") : entry.path() == image)
      bytes += entry.file_size();
  }
  ASSERT_GT(bytes, 0u) << window.Transcript();
  std::ofstream(result) << before << " " << peak << " " << bytes << "\n";
}

int RunMode(int argc, char** argv) {
  std::vector<char*> args{argv[0]};
  std::string filter = "--gtest_filter=OneCarouselRun.*";
  args.push_back(filter.data());
  for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  int n = static_cast<int>(args.size());
  testing::InitGoogleTest(&n, args.data());
  return RUN_ALL_TESTS();
}

// ---- the benchmark -----------------------------------------------------------------------

struct Case {
  long ringMiB;
  bool rotate = false;
  bool ok = false;
  double peakMiB = 0;                // of the run's process
  double beforeMiB = 0, runMiB = 0;  // before the run; the run's peak above that
  double imageMB = 0;
  double seconds = 0;
};

std::vector<Case> g_cases = {{16}, {64}, {320}, {64, true}};
std::string g_dir, g_self;

void BM_CarouselPeakMemory(benchmark::State& state) {
  Case& c = g_cases[static_cast<std::size_t>(state.range(0))];
  for (auto _ : state) {
    const std::string result =
        g_dir + "/run-" + std::to_string(c.ringMiB) + (c.rotate ? "-turned" : "") + ".txt";
    std::filesystem::remove(result);
    const std::string ring = std::to_string(c.ringMiB << 20);
    ::setenv(kRingVariable, ring.c_str(), 1);
    ::setenv(kRotateVariable, c.rotate ? "1" : "0", 1);
    ::setenv(kResultVariable, result.c_str(), 1);
    std::vector<char*> args{g_self.data(), const_cast<char*>(kRunMode), nullptr};
    const auto start = std::chrono::steady_clock::now();
    // The run's own output goes to a file, shown when the run fails.
    const std::string output = result + ".out";
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, g_self.c_str(), &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      state.SkipWithError("cannot start the run");
      return;
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::ifstream failed(output);
      std::fprintf(stderr, "%s\n", std::string(std::istreambuf_iterator<char>(failed), {}).c_str());
      state.SkipWithError("the run failed (its output is above)");
      return;
    }
    c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long before = 0, peak = 0;
    double image = 0;
    std::ifstream in(result);
    if (!(in >> before >> peak >> image)) {
      state.SkipWithError("the run left no figures");
      return;
    }
    c.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
    c.beforeMiB = before / 1024.0;
    c.runMiB = (peak - before) / 1024.0;
    c.imageMB = image / 1e6;
    c.ok = true;
  }
  const double ring = static_cast<double>(c.ringMiB);
  state.SetLabel("ring " + std::to_string(c.ringMiB) + " MiB" + (c.rotate ? ", turned" : ""));
  state.counters["peak_MiB"] = c.peakMiB;
  state.counters["peak_x_ring"] = c.peakMiB / ring;
  state.counters["run_MiB"] = c.runMiB;
  state.counters["run_x_ring"] = c.runMiB / ring;
  state.counters["run_above_ring_MiB"] = c.runMiB - ring;
}

}  // namespace

BENCHMARK(BM_CarouselPeakMemory)->DenseRange(0, 3)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], kRunMode) == 0) return RunMode(argc, argv);
  g_dir = bench::MakeSystemFolder("carousel-memory-bench");
  g_self = std::filesystem::read_symlink("/proc/self/exe").string();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  const long lines = bench::PositiveFromEnv("CAROUSEL_MEMORY_BENCH_LINES", 5000);
  const long pixels = bench::PositiveFromEnv("CAROUSEL_MEMORY_BENCH_PIXELS", 10000);
  std::printf("\nWhole carousel run of one slide, %ld x %ld px at 5 um, 2 channels: %.0f MB from the board\n",
              pixels, lines, (32.0 + 8.0 * static_cast<double>(pixels)) * static_cast<double>(lines) / 1e6);
  for (const Case& c : g_cases) {
    const char* kind = c.rotate ? ", split and turned" : "";
    if (!c.ok) {
      std::printf("  ring %4ld MiB%s: not measured\n", c.ringMiB, kind);
      continue;
    }
    std::printf(
        "  ring %4ld MiB%s: process peak %.0f MiB = %.2f x ring; the run's own peak %.0f MiB (above the %.0f "
        "MiB "
        "held before) = %.2f x ring, ring %+.0f MiB (image %.0f MB, %.1f s)\n",
        c.ringMiB, kind, c.peakMiB, c.peakMiB / static_cast<double>(c.ringMiB), c.runMiB, c.beforeMiB,
        c.runMiB / static_cast<double>(c.ringMiB), c.runMiB - static_cast<double>(c.ringMiB), c.imageMB,
        c.seconds);
  }
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
  return 0;
}
