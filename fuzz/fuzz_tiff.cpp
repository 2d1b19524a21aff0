// Scan images as the TIFF library reads them back: the directories, the private tags and
// the scan record, and the copy of tags and lines that a merge makes from them.
#include <tiffio.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Tessary/MultiChannelTiffHandler.h"
#include "Tessary/TiffHandler.h"
#include "Tessary/TiffTags.h"
#include "platform/clock.h"

namespace {

// The merge's copy steps, reached as a merge reaches them.
struct Merge : MultiChannelTiffHandler {
  using MultiChannelTiffHandler::CopyImage16;
  using MultiChannelTiffHandler::CopyImage32;
  using MultiChannelTiffHandler::CopyTags;
};

// Lines a copy may take per input, so that a header's claims cannot make one input run long.
constexpr std::uint64_t kMaxSamples = 1 << 16;

void ReadBack(TiffHandler& source, int ddn) {
  std::uint32_t length = 0;
  TIFFGetField(source.GetTiffPtr(), TIFFTAG_IMAGELENGTH, &length);
  const std::uint64_t samples = std::uint64_t{source.GetLineLength()} * length;
  const bool wide = source.GetDepth() == 32;
  if (samples == 0 || samples > kMaxSamples || (source.GetDepth() != 16 && !wide)) return;
  const std::string out = zeva_fuzz::Folder() + "/copy.tif";
  TiffHandler destination;
  if (destination.CreateTiff(out.c_str()) != 0) return;
  Merge::CopyTags(source, destination, false);
  if (destination.SetupTiff(source.GetLineLength(), 1, wide ? 32 : 16, 0, false, wide) == 0) {
    if (wide)
      Merge::CopyImage32(source, destination, ddn, 0xFFFFF);
    else
      Merge::CopyImage16(source, destination, ddn, 0xFFFF);
  }
  destination.Save();
  destination.Close();
}

}  // namespace

void zeva_fuzz::Setup() {
  // A file that will not open is tried again after a pause: the pause costs no time here.
  static auto clock = std::make_shared<platform::ManualClock>();
  clock->setAutoAdvance(true);
  platform::setClock(clock);
  InstallTiffTagExtender();
}

void zeva_fuzz::WriteSeeds(const std::string& folder) {
  // Channel files as the scan writes them: 16-bit and packed 20-bit lines with the record.
  for (const int depth : {16, 32}) {
    const std::string path = Folder() + "/seed.tif";
    {
      TiffHandler t;
      t.CreateTiff(path.c_str());
      t.SetupTiff(6, 2, depth, 0, false, depth == 32);
      t.SetBarcode("SLIDE-0042");
      t.SetScanStatus("Complete");
      t.SetDescription("a seed");
      t.SetPMTChannel(1);
      t.SetDarkOffSet(1, 2.5, 100.0, 3.0);
      t.SetCrossTalk(0, 1, 0.125);
      t.SetResolution(5, 5);
      if (depth == 32 && t.GetStru()) t.GetStru()->merged = 1;
      for (unsigned row = 0; row < 4; ++row) {
        const unsigned int line[6] = {row, 1000 + row, 65535, 0, 0xFFFFF, 7};
        t.AddScanline(line);
      }
      t.WriteVbqStru();
      t.Save();
      t.Close();
    }
    WriteSeed(folder, "channel-" + std::to_string(depth) + ".tif", ReadFile(path));
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path =
      zeva_fuzz::WriteFile("in.tif", std::string_view(reinterpret_cast<const char*>(data), size));
  TiffHandler source;
  if (source.OpenTiff(path.c_str()) != 0) return 0;
  for (int directory = 0; directory < 4; ++directory) {
    if (directory > 0 && source.ReadDir(directory) != 0) break;
    int channel = 0;
    source.GetPMTChannel(channel);
    int type = 0;
    double offset = 0, mean = 0, stdDev = 0;
    source.GetDarkOffSet(type, offset, mean, stdDev);
    (void)source.GetSaturationValue();
    if (const TiffScanRecord* record = source.GetStru()) (void)record->Serialize();
    if (directory == 0) ReadBack(source, static_cast<int>(size % 5) - 2);
  }
  source.Close();
  return 0;
}
