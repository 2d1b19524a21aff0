// Writing scan images at disk speed. A two-channel 16-bit scan with its decimated copies
// (2 um pixels over a 20 x 60 mm region) goes line by line through
// MultiChannelTiffHandler and is merged into the final image. Each round measures, one
// after another on the same machine:
//   the baseline, the disk's best: the image's bytes in 1 MiB writes and synced, once
//     written whole and then synced, once handed to the disk every 8 MiB on the way (as
//     the project's durable files are); the faster of the two counts;
//   (a) the whole path: lines in, merged image durable on disk, temporary files gone;
//   (b) the merge alone (CloseAndSaveScan), within (a);
//   (c) the merge with flip-and-rotate;
//   "tiffcp -c lzw" + an fsync of its output, and CompressTiff (which syncs its own), on
//     the default threads and on one core, all reading the merged image from the disk.
// Every output is checked against the pixels it must hold, hashed from the scan's own
// generator (never from an output): a step that fails or writes anything else ends the
// benchmark with a non-zero status and no figures. Reported, over the rounds: min, median
// and max of each round's ratio to its own baseline (tiffcp for the compressions), the
// seconds per GB, the peak resident memory of each step, the bytes sent towards the device
// during (a), and the load average at the start and the end, since figures from a busy
// machine are noisy.
//
// TESSARY_BENCH_SCALE (default 1) scales the scan length; TESSARY_BENCH_ROUNDS (default
// 5) sets the rounds; TESSARY_BENCH_CORRUPT=1 changes one byte of the merged image before
// it is checked, to show that the check catches it (the benchmark then fails);
// TESSARY_BENCH_COMPRESS=0 leaves the compressions out (for large scans, where they take
// most of the time).
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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
constexpr unsigned kDecimation = 10 / kPixelMicrons;
constexpr int kDdn[2] = {3, -2};  // ddn1 (red), ddn2 (green)

// ---- figures ------------------------------------------------------------------------

struct Series {
  std::vector<double> values;
  void Add(double v) { values.push_back(v); }
  double At(double q) const {
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
  }
  double Min() const { return At(0); }
  double Median() const { return At(0.5); }
  double Max() const { return At(1); }
};

struct Bench {
  std::string dir, temp;
  unsigned lines = 60000 / kPixelMicrons;  // 60 mm
  int rounds = 5;
  bool corrupt = false;
  bool compressions = true;
  // A few noisy lines per channel, repeated down the scan: data that compresses like a
  // scan, made once so that making it costs nothing in the timed loops.
  std::vector<std::vector<unsigned int>> pattern[2];
  std::uint64_t imageBytes = 0;
  // Expected page hashes: the merged image, and each turned file.
  std::vector<std::uint64_t> merged;
  std::vector<std::uint64_t> turned[4];
  // Per round.
  Series plain, behind, baseline, whole, merge, rotate, tiffcp, compress, compressOne;
  Series wholeX, mergeX, rotateX, compressX, compressOneX, deviceX;
  double peakWhole = 0, peakRotate = 0, peakCompress = 0;  // MiB, the largest of the rounds
  std::string loadStart, loadEnd;
};

Bench& B() {
  static Bench b;
  return b;
}

std::string MergedPath() { return B().dir + "/out/scan_01.tif"; }
std::string RotatedTarget() { return B().dir + "/rot/scan_01.tif"; }
const char* const kTurnedSuffix[4] = {"_Red", "_Green", "_Small_Red", "_Small_Green"};

[[noreturn]] void Fail(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fprintf(stderr, "\ntessary_bench FAILED: ");
  std::vfprintf(stderr, format, args);
  std::fprintf(stderr, "\nNo figures: a failed step makes every ratio meaningless.\n");
  va_end(args);
  std::error_code ec;
  fs::remove_all(B().dir, ec);
  std::exit(1);
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// The peak resident memory starts again from the current one.
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

double PeakMemoryMiB() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    long kib = 0;
    if (word == "VmHWM:" && status >> kib) return static_cast<double>(kib) / 1024.0;
  }
  return 0;
}

// Drops a finished file from the page cache. Memory a virtual machine's host has taken
// back costs a fault on the host at first touch, which is far dearer than the disk: a step
// that leaves its output cached would make the next step write into such memory. Each
// step starts from the same memory state instead.
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

// ---- expected pixels ----------------------------------------------------------------

// A hash of a page: its size, then its rows' bytes in order.
class PageHash {
 public:
  PageHash(std::uint32_t width, std::uint32_t length) { Mix(std::uint64_t{width} << 32 | length); }
  void Row(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      Mix(w);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p + i, bytes - i);
    Mix(tail ^ bytes);
  }
  std::uint64_t Value() const { return h_; }

 private:
  void Mix(std::uint64_t w) { h_ = (h_ ^ w) * 0x100000001B3ull + (h_ >> 29); }
  std::uint64_t h_ = 0xCBF29CE484222325ull;
};

// The line-offset correction of one sample, as the merge must apply it: even rows move
// by half the offset one way, odd rows the other (the odd half rounded up on the side
// that is lowered); 16-bit samples, no saturation value set.
std::uint16_t Corrected(std::uint32_t v, int ddn, bool oddRow) {
  const long magnitude = std::labs(ddn);
  const long down = (magnitude + 1) / 2, up = magnitude / 2;
  long shift = 0;
  if (!oddRow)
    shift = ddn < 0 ? -down : up;
  else
    shift = ddn > 0 ? -down : up;
  return static_cast<std::uint16_t>(std::clamp<long>(std::min<long>(v, 65535) + shift, 0, 65535));
}

// Channel ch's full-resolution row r as the image holds it, corrected or not.
std::vector<std::uint16_t> FullRow(int ch, unsigned r, bool correct) {
  const auto& samples = B().pattern[ch][r % kPatternLines];
  std::vector<std::uint16_t> row(kWidth);
  for (unsigned c = 0; c < kWidth; ++c)
    row[c] = correct ? Corrected(samples[c], kDdn[ch], r % 2 == 1)
                     : static_cast<std::uint16_t>(std::min(samples[c], 65535u));
  return row;
}

// Channel ch's decimated row R: means of blocks of kDecimation x kDecimation samples.
std::vector<std::uint16_t> DecimatedRow(int ch, unsigned R) {
  std::vector<std::uint16_t> row(kWidth / kDecimation);
  for (unsigned c = 0; c < row.size(); ++c) {
    std::uint64_t sum = 0;
    for (unsigned i = 0; i < kDecimation; ++i)
      for (unsigned j = 0; j < kDecimation; ++j)
        sum += B().pattern[ch][(R * kDecimation + i) % kPatternLines][c * kDecimation + j];
    row[c] = static_cast<std::uint16_t>(std::min<std::uint64_t>(sum / (kDecimation * kDecimation), 65535));
  }
  return row;
}

// The rows of one source (full: corrected; decimated: as they are) in a table of the
// distinct ones: row r is rows[Index(r)].
struct SourceImage {
  unsigned width = 0, height = 0;
  std::vector<std::vector<std::uint16_t>> rows;
  std::function<std::size_t(unsigned)> index;
};

SourceImage Source(int ch, bool decimated) {
  SourceImage s;
  const unsigned lines = B().lines;
  if (!decimated) {
    s.width = kWidth;
    s.height = lines;
    for (unsigned v = 0; v < 2 * kPatternLines; ++v) s.rows.push_back(FullRow(ch, v, true));
    // Rows alike in pattern line and parity are alike.
    s.index = [](unsigned r) { return static_cast<std::size_t>(r % (2 * kPatternLines)); };
  } else {
    s.width = kWidth / kDecimation;
    s.height = lines / kDecimation;
    for (unsigned v = 0; v < kPatternLines; ++v) s.rows.push_back(DecimatedRow(ch, v));
    s.index = [](unsigned r) { return static_cast<std::size_t>(r % kPatternLines); };
  }
  return s;
}

std::uint64_t HashSource(const SourceImage& s) {
  PageHash h(s.width, s.height);
  for (unsigned r = 0; r < s.height; ++r) h.Row(s.rows[s.index(r)].data(), s.width * 2);
  return h.Value();
}

// Turned a quarter: output row k, column c holds source row height-1-c, column width-1-k.
std::uint64_t HashTurned(const SourceImage& s) {
  PageHash h(s.height, s.width);
  std::vector<std::uint16_t> row(s.height);
  std::vector<const std::uint16_t*> source(s.height);
  for (unsigned c = 0; c < s.height; ++c) source[c] = s.rows[s.index(s.height - 1 - c)].data();
  for (unsigned k = 0; k < s.width; ++k) {
    const unsigned column = s.width - 1 - k;
    for (unsigned c = 0; c < s.height; ++c) row[c] = source[c][column];
    h.Row(row.data(), row.size() * 2);
  }
  return h.Value();
}

void ComputeExpected() {
  auto& b = B();
  const SourceImage sources[4] = {Source(0, false), Source(1, false), Source(0, true), Source(1, true)};
  for (const SourceImage& s : sources) b.merged.push_back(HashSource(s));
  for (int i = 0; i < 4; ++i) b.turned[i] = {HashTurned(sources[i])};
}

// The page hashes of a TIFF file as libtiff reads it (any compression); empty with
// `error` set when it cannot be read.
std::vector<std::uint64_t> HashFile(const std::string& path, std::string& error) {
  std::vector<std::uint64_t> pages;
  // Read, not mapped: the check's own memory stays out of the steps' figures.
  TIFF* tif = TIFFOpen(path.c_str(), "rm");
  if (!tif) {
    error = "cannot open " + path;
    return {};
  }
  do {
    std::uint32_t width = 0, length = 0;
    std::uint16_t bits = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    if (bits != 16 || TIFFScanlineSize64(tif) != std::uint64_t{width} * 2) {
      error = path + ": a page is not of 16-bit samples";
      pages.clear();
      break;
    }
    PageHash h(width, length);
    std::vector<std::uint8_t> row(std::size_t{width} * 2);
    for (std::uint32_t r = 0; r < length; ++r) {
      if (TIFFReadScanline(tif, row.data(), r, 0) < 0) {
        error = path + ": cannot read row " + std::to_string(r);
        pages.clear();
        break;
      }
      h.Row(row.data(), row.size());
    }
    if (!error.empty()) break;
    pages.push_back(h.Value());
  } while (TIFFReadDirectory(tif));
  TIFFClose(tif);
  return pages;
}

void Check(const char* step, const std::string& path, const std::vector<std::uint64_t>& expected) {
  std::string error;
  const auto pages = HashFile(path, error);
  DropFromCache(path);
  if (!error.empty()) Fail("%s: %s", step, error.c_str());
  if (pages.size() != expected.size())
    Fail("%s: %s has %zu pages instead of %zu", step, path.c_str(), pages.size(), expected.size());
  for (std::size_t p = 0; p < pages.size(); ++p)
    if (pages[p] != expected[p])
      Fail("%s: page %zu of %s does not hold the expected pixels", step, p, path.c_str());
}

// Changes one byte in the first page's pixels (TESSARY_BENCH_CORRUPT).
void CorruptOneByte(const std::string& path) {
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  const std::uint64_t* offsets = nullptr;
  std::uint64_t at = 0;
  if (tif && TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) && offsets) at = offsets[0] + 1000;
  if (tif) TIFFClose(tif);
  const int fd = ::open(path.c_str(), O_RDWR);
  unsigned char byte = 0;
  if (at == 0 || fd < 0 || ::pread(fd, &byte, 1, static_cast<off_t>(at)) != 1)
    Fail("cannot corrupt %s", path.c_str());
  byte ^= 0x01;
  if (::pwrite(fd, &byte, 1, static_cast<off_t>(at)) != 1) Fail("cannot corrupt %s", path.c_str());
  ::close(fd);
  std::printf("  (one byte of the merged image changed on purpose: the check must fail)\n");
}

// ---- the steps ----------------------------------------------------------------------

// Writes the scan's lines; returns with the handler ready for CloseAndSaveScan.
void WriteScan(MultiChannelTiffHandler& m, const std::string& target) {
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
}

// The temporary files are removed off the critical path; the whole path ends when they
// are gone. A bounded wait: a file left behind after it is a failure.
bool WaitForTemporariesGone() {
  const auto until = Clock::now() + std::chrono::seconds(60);
  std::error_code ec;
  while (!fs::is_empty(B().temp, ec)) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Lines in, merged (turned when `rotate`); the seconds of the merge alone in `mergeSeconds`.
void WriteAndMerge(const char* step, const std::string& target, bool rotate, double& mergeSeconds) {
  try {
    MultiChannelTiffHandler m;
    WriteScan(m, target);
    const auto start = Clock::now();
    if (m.CloseAndSaveScan(0, 0, kDdn[0], kDdn[1], rotate) != 0) Fail("%s: CloseAndSaveScan failed", step);
    mergeSeconds = Seconds(start);
  } catch (const std::string& text) {
    Fail("%s: %s", step, text.c_str());
  }
}

double Baseline(bool writeBehind) {
  const double seconds = bench::WriteAndSync(B().dir + "/plain.bin", B().imageBytes, writeBehind);
  if (seconds < 0) Fail("baseline: a write failed");
  return seconds;
}

void WholePath() {
  auto& b = B();
  fs::remove(MergedPath());
  const double device = DeviceWriteBytes();
  ResetPeakMemory();
  const auto start = Clock::now();
  double merge = 0;
  WriteAndMerge("(a) whole path", MergedPath(), false, merge);
  if (!WaitForTemporariesGone()) Fail("(a) whole path: temporary files left behind");
  const double whole = Seconds(start);
  b.peakWhole = std::max(b.peakWhole, PeakMemoryMiB());
  // Untimed: the freed temporaries' unwritten pages count as cancelled only once freed.
  platform::waitForDeferredRemovals();
  b.deviceX.Add((DeviceWriteBytes() - device) / static_cast<double>(b.imageBytes));
  b.whole.Add(whole);
  b.merge.Add(merge);
  DropFromCache(MergedPath());
  if (b.corrupt) CorruptOneByte(MergedPath());
  Check("(a) whole path", MergedPath(), b.merged);
}

void FlipAndRotate() {
  auto& b = B();
  ResetPeakMemory();
  double seconds = 0;
  WriteAndMerge("(c) flip-and-rotate", RotatedTarget(), true, seconds);
  b.peakRotate = std::max(b.peakRotate, PeakMemoryMiB());
  b.rotate.Add(seconds);
  if (!WaitForTemporariesGone()) Fail("(c) flip-and-rotate: temporary files left behind");
  for (int i = 0; i < 4; ++i) {
    std::string path = RotatedTarget();
    MultiChannelTiffHandler::ChangeSuffixAndExtension(path, kTurnedSuffix[i], "tif");
    DropFromCache(path);
    Check("(c) flip-and-rotate", path, b.turned[i]);
    fs::remove(path);
  }
  platform::waitForDeferredRemovals();
}

double Tiffcp() {
  const std::string out = B().dir + "/tiffcp.tif";
  DropFromCache(MergedPath());  // every compression reads the image from the disk
  const auto start = Clock::now();
  std::vector<std::string> args{"tiffcp", "-c", "lzw", MergedPath(), out};
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
  if (status != 0 || !SyncFile(out)) Fail("tiffcp failed (is libtiff-tools installed?)");
  const double seconds = Seconds(start);
  Check("tiffcp -c lzw", out, B().merged);
  ::unlink(out.c_str());
  return seconds;
}

// CompressTiff, on every processor this process may use or on one core only (its helper
// threads inherit the calling thread's processors).
double Compress(bool oneCore) {
  auto& b = B();
  const std::string out = b.dir + "/compressed.tif";
  cpu_set_t all, one;
  CPU_ZERO(&one);
  ::sched_getaffinity(0, sizeof all, &all);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  if (oneCore) ::sched_setaffinity(0, sizeof one, &one);
  DropFromCache(MergedPath());
  ResetPeakMemory();
  const auto start = Clock::now();
  const auto result = CompressTiff(MergedPath().c_str(), out.c_str());
  const double seconds = Seconds(start);
  b.peakCompress = std::max(b.peakCompress, PeakMemoryMiB());
  if (oneCore) ::sched_setaffinity(0, sizeof all, &all);
  if (result != kTiffCompressOk) Fail("CompressTiff failed (%d)", static_cast<int>(result));
  Check(oneCore ? "CompressTiff on one core" : "CompressTiff", out, b.merged);
  ::unlink(out.c_str());
  return seconds;
}

void Round(int round) {
  auto& b = B();
  // The two baselines take turns in which goes first.
  const double plain = round % 2 ? Baseline(false) : 0;
  const double behind = Baseline(true);
  const double plainAfter = round % 2 ? plain : Baseline(false);
  const double baseline = std::min(plainAfter, behind);
  b.plain.Add(plainAfter);
  b.behind.Add(behind);
  b.baseline.Add(baseline);
  WholePath();
  FlipAndRotate();
  b.wholeX.Add(b.whole.values.back() / baseline);
  b.mergeX.Add(b.merge.values.back() / baseline);
  b.rotateX.Add(b.rotate.values.back() / baseline);
  if (b.compressions) {
    const double tiffcp = Tiffcp();
    const double compress = Compress(false);
    const double compressOne = Compress(true);
    b.tiffcp.Add(tiffcp);
    b.compress.Add(compress);
    b.compressOne.Add(compressOne);
    b.compressX.Add(compress / tiffcp);
    b.compressOneX.Add(compressOne / tiffcp);
  }
  std::printf(
      "  round %d: baseline %.2f s (plain %.2f, write-behind %.2f); whole %.2f x, merge %.2f x, "
      "rotate %.2f x; CompressTiff %.2f x, on one core %.2f x tiffcp; load %s\n",
      round + 1, baseline, plainAfter, behind, b.wholeX.values.back(), b.mergeX.values.back(),
      b.rotateX.values.back(), b.compressions ? b.compressX.values.back() : 0.0,
      b.compressions ? b.compressOneX.values.back() : 0.0, LoadAverage().c_str());
  std::fflush(stdout);
}

void Prepare() {
  auto& b = B();
  if (const char* scale = std::getenv("TESSARY_BENCH_SCALE")) {
    const double s = std::atof(scale);
    if (s > 0) b.lines = std::max(kDecimation, static_cast<unsigned>(b.lines * s));
  }
  if (const char* rounds = std::getenv("TESSARY_BENCH_ROUNDS")) b.rounds = std::max(1, std::atoi(rounds));
  if (const char* corrupt = std::getenv("TESSARY_BENCH_CORRUPT")) b.corrupt = std::atoi(corrupt) != 0;
  if (const char* compress = std::getenv("TESSARY_BENCH_COMPRESS")) b.compressions = std::atoi(compress) != 0;
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessary-bench-XXXXXX";
  if (!::mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  b.dir = templ;
  b.temp = b.dir + "/install/Temp";
  // A registry of its own: the install folder (and with it the temporary image folder)
  // lies in the benchmark's folder.
  ::setenv("ZEVA_REGISTRY_DIR", (b.dir + "/registry").c_str(), 1);
  fs::create_directories(b.temp);
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
  ComputeExpected();
  // Untimed, once: the merged image's size (the baseline writes as many bytes), and a
  // first check that the path works at all.
  double unused = 0;
  WriteAndMerge("sizing merge", MergedPath(), false, unused);
  b.imageBytes = FolderBytes(b.dir + "/out");
  Check("sizing merge", MergedPath(), b.merged);
  fs::remove(MergedPath());
  if (!WaitForTemporariesGone()) Fail("sizing merge: temporary files left behind");
  platform::waitForDeferredRemovals();
}

void Line(const char* name, const Series& x, const Series& seconds, double gb) {
  std::printf("  %-52s: %.2f / %.2f / %.2f x   (median %.2f s, %.2f s/GB)\n", name, x.Min(), x.Median(),
              x.Max(), seconds.Median(), seconds.Median() / gb);
}

}  // namespace

int main() {
  auto& b = B();
  b.loadStart = LoadAverage();
  Prepare();
  const double gb = static_cast<double>(b.imageBytes) / 1e9;
  std::printf("Scan of %u x %u pixels, 2 channels, 16 bit, decimated copies: image %.2f GB; %d rounds\n",
              kWidth, b.lines, gb, b.rounds);
  std::fflush(stdout);
  for (int round = 0; round < b.rounds; ++round) Round(round);
  b.loadEnd = LoadAverage();

  std::printf("\nImage %.2f GB, %d rounds; load average %s at the start, %s at the end\n", gb, b.rounds,
              b.loadStart.c_str(), b.loadEnd.c_str());
  std::printf("Ratios min / median / max over the rounds, each to its own round's baseline:\n");
  std::printf(
      "  baseline (best of plain and write-behind write + fsync): median %.2f s, %.2f s/GB "
      "(plain median %.2f s, write-behind median %.2f s)\n",
      b.baseline.Median(), b.baseline.Median() / gb, b.plain.Median(), b.behind.Median());
  Line("(a) whole path (lines in, image durable, temps gone)", b.wholeX, b.whole, gb);
  Line("(b) merge alone (CloseAndSaveScan)", b.mergeX, b.merge, gb);
  Line("(c) merge with flip-and-rotate", b.rotateX, b.rotate, gb);
  std::printf("  bytes towards the device during (a): %.2f / %.2f / %.2f x the image size\n", b.deviceX.Min(),
              b.deviceX.Median(), b.deviceX.Max());
  std::printf("  peak resident memory: (a) %.0f MiB, (c) %.0f MiB, CompressTiff %.0f MiB\n", b.peakWhole,
              b.peakRotate, b.peakCompress);
  if (b.compressions) {
    std::printf("CompressTiff (LZW) against tiffcp -c lzw + fsync (median %.2f s):\n", b.tiffcp.Median());
    Line("on the default threads", b.compressX, b.compress, gb);
    Line("on one core", b.compressOneX, b.compressOne, gb);
  } else {
    std::printf("CompressTiff: not run (TESSARY_BENCH_COMPRESS=0)\n");
  }
  std::error_code ec;
  fs::remove_all(b.dir, ec);
  return 0;
}
