// The scan record of private tag 37701: every 3176-byte block reads as typed fields and
// writes back as the same bytes, so that a record copied from file to file stays whole.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "FuzzSupport.h"
#include "Tessary/TiffScanRecord.h"

void zeva_fuzz::Setup() {}

void zeva_fuzz::WriteSeeds(const std::string& folder) {
  TiffScanRecord r;
  r.recordVersion = TiffScanRecord::kVersion;
  r.channelCount = 2;
  r.pmtChannel = {1, 0, -1, -1};
  r.crossTalk[5] = 0.25;
  r.pixelSizeX = r.pixelSizeY = 5.0;
  TiffScanRecord::SetText(r.scanIdText, "scan 1");
  TiffScanRecord::SetText(r.serialNumber, "K7431-000123");
  TiffScanRecord::SetText(r.barcode, "SLIDE-0042");
  TiffScanRecord::SetText(r.orientation, "landscape");
  r.lineLength = 12000;
  r.darkOffset[1] = {1, 12.5, 100.25, 3.5};
  r.merged = 1;
  const auto bytes = r.Serialize();
  WriteSeed(folder, "record", std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TiffScanRecord::Bytes bytes{};
  std::copy_n(data, std::min(size, bytes.size()), bytes.begin());
  const TiffScanRecord record =
      TiffScanRecord::Deserialize(std::span<const std::uint8_t, TiffScanRecord::kSize>(bytes));
  if (record.Serialize() != bytes) std::abort();
  (void)TiffScanRecord::Text(record.barcode);
  (void)TiffScanRecord::Text(record.scanStatusMore);
  return 0;
}
