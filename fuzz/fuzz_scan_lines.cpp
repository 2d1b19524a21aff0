// The scan-data line decoder: the bytes the board's port hands over during a scan go
// through the ring into whole lines, whose headers are checked and whose pixel records
// are decoded into the image's channel files, which are then merged.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FakeScanCtrl.h"
#include "FuzzSupport.h"
#include "RegionFiles.h"
#include "platform/clock.h"
#include "run/ScanDataProc.h"

using lumetra::run::CScanDataProc;

namespace {

// A small ring, so that lines wrap around its end.
constexpr lumetra::run::RingGeometry kRing{4096, 3072, 512};
constexpr int kMaxPixels = (512 - 32) / 8;

struct Geometry {
  int lines, pixels, microns;
  bool wide, pairs;
};

Geometry GeometryOf(zeva_fuzz::Input& in) {
  Geometry g{};
  g.lines = 1 + in.Byte() % 4;
  g.pixels = 1 + in.Byte() % kMaxPixels;
  const std::uint8_t flags = in.Byte();
  g.microns = flags & 1 ? 10 : 5;
  g.wide = flags & 2;
  g.pairs = flags & 4;
  return g;
}

// One line as the board sends it: magic, line number, direction, pixels, the two
// photodiode counts, then 8 bytes a pixel (count, gain bits, 24-bit red and green sums).
std::string Line(int number, int pixels) {
  std::string line(32 + 8 * static_cast<std::size_t>(pixels), '\0');
  auto* h = reinterpret_cast<std::uint8_t*>(line.data());
  h[0] = 0xFF, h[1] = 0x33, h[2] = 0x11, h[3] = 0x01;
  h[4] = static_cast<std::uint8_t>(number), h[6] = static_cast<std::uint8_t>(number & 1);
  h[8] = static_cast<std::uint8_t>(pixels);
  h[12] = 0xE8, h[13] = 0x03, h[14] = 0xD0, h[15] = 0x07;  // 1000 and 2000
  for (int j = 0; j < pixels; ++j) {
    std::uint8_t* p = h + 32 + 8 * j;
    p[0] = 40;
    p[1] = j % 7 == 0 ? 0x40 : 0;
    p[2] = static_cast<std::uint8_t>(number * 3 + j), p[5] = static_cast<std::uint8_t>(j);
    p[7] = static_cast<std::uint8_t>(number + j), p[6] = 0x10;
  }
  return line;
}

}  // namespace

std::shared_ptr<platform::ManualClock> g_clock;

void zeva_fuzz::Setup() {
  SetUpInstallFolder();
  // Sleeps cost no time; timed waits end as the harness moves the time on.
  g_clock = std::make_shared<platform::ManualClock>();
  g_clock->setAutoAdvance(true);
  platform::setClock(g_clock);
}

void zeva_fuzz::WriteSeeds(const std::string& folder) {
  for (const auto& [lines, pixels, flags] :
       {std::tuple{2, 8, 0}, std::tuple{3, 24, 1}, std::tuple{1, 56, 6}}) {
    std::string input{static_cast<char>(lines - 1), static_cast<char>(pixels - 1), static_cast<char>(flags)};
    const int microns = flags & 1 ? 10 : 5;
    // The lead-in lines, the image's lines and the lines the red channel lags behind.
    for (int n = 0; n < lines + 50 / microns + 12; ++n) input += Line(n, pixels);
    WriteSeed(folder, "scan-" + std::to_string(lines) + "x" + std::to_string(pixels), input);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zeva_fuzz::Input in(data, size);
  const Geometry g = GeometryOf(in);
  const std::string_view stream = in.Rest();

  auto ctrl = lumetra_test::FakeScanCtrl::Create();
  ctrl->flash = {{"LaserSetPointMWatt_G", "1000"},
                 {"LaserPDCtToMWatt_G", "1"},
                 {"LaserSetPointMWatt_R", "2000"},
                 {"LaserPDCtToMWatt_R", "1"}};
  ctrl->AppendScanData({reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size()});
  CScanDataProc proc(ctrl.get(), "", kRing);
  if (proc.SetupRunMode(1, 0) != 1) std::abort();
  const std::string file = zeva_fuzz::Folder() + "/scan.tif";
  try {
    proc.CreateTiff(file.c_str(), static_cast<unsigned long>(g.pixels), static_cast<unsigned long>(g.lines),
                    2, g.microns, g.microns, g.wide, false, false);
  } catch (const std::string&) {
    return 0;  // a geometry the image files refuse, with their reason (a decimated line of no samples)
  }
  proc.SetLineResolution(g.microns);
  proc.SetPixelSizeX(g.microns);
  if (proc.PrepareScan(g.lines, g.pixels, g.pairs, 0) != 1) std::abort();
  proc.DoRecvScanData(nullptr);
  // The data threads' own waits are bounded (a minute at most): time moves on while they
  // wait, and a scan that has not ended after ten minutes hangs.
  for (int step = 0; !proc.WaitUntilDone(std::chrono::milliseconds::zero()); ++step) {
    if (step > 12000) std::abort();
    // A short look only: time moves on whether or not a thread waits yet.
    (void)g_clock->waitForWaiters(1, std::chrono::milliseconds(1));
    g_clock->advance(std::chrono::milliseconds(50));
  }
  if (proc.GetLinesWritten() > proc.GetLinesConsidered()) std::abort();
  try {
    proc.CloseAndSaveScan();
  } catch (const CNetworkFailedRedirected&) {
  }
  return 0;
}
