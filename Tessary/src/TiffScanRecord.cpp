#include "Tessary/TiffScanRecord.h"

#include <bit>
#include <cassert>

namespace {

// Both directions walk the fields in file order through the same Visit, so reading and
// writing cannot drift apart; each field states its offset and the walk checks it.
class Writer {
 public:
  explicit Writer(TiffScanRecord::Bytes& out) : out_(out) {}
  void At(std::size_t offset) { pos_ = offset; }
  std::size_t Pos() const { return pos_; }

  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_[pos_++] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void F64(double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    for (int i = 0; i < 8; ++i) out_[pos_++] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  template <std::size_t N>
  void Chars(const std::array<char, N>& v) {
    for (char c : v) out_[pos_++] = static_cast<std::uint8_t>(c);
  }
  template <std::size_t N>
  void Raw(const std::array<std::uint8_t, N>& v) {
    for (auto b : v) out_[pos_++] = b;
  }

 private:
  TiffScanRecord::Bytes& out_;
  std::size_t pos_ = 0;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t, TiffScanRecord::kSize> in) : in_(in) {}
  void At(std::size_t offset) { pos_ = offset; }
  std::size_t Pos() const { return pos_; }

  void U32(std::uint32_t& v) {
    v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(in_[pos_++]) << (8 * i);
  }
  void I32(std::int32_t& v) {
    std::uint32_t u = 0;
    U32(u);
    v = static_cast<std::int32_t>(u);
  }
  void F64(double& v) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(in_[pos_++]) << (8 * i);
    v = std::bit_cast<double>(bits);
  }
  template <std::size_t N>
  void Chars(std::array<char, N>& v) {
    for (char& c : v) c = static_cast<char>(in_[pos_++]);
  }
  template <std::size_t N>
  void Raw(std::array<std::uint8_t, N>& v) {
    for (auto& b : v) b = in_[pos_++];
  }

 private:
  std::span<const std::uint8_t, TiffScanRecord::kSize> in_;
  std::size_t pos_ = 0;
};

template <class IO, class Rec>
void Visit(IO& io, Rec& r) {
  using R = TiffScanRecord;
  auto at = [&io](std::size_t offset) {
    assert(io.Pos() == offset);
    io.At(offset);
  };
  at(R::kOffRecordVersion);
  io.U32(r.recordVersion);
  at(R::kOffChannelCount);
  io.I32(r.channelCount);
  at(R::kOffPmtChannel);
  for (auto& v : r.pmtChannel) io.I32(v);
  at(R::kOffCrossTalk);
  for (auto& v : r.crossTalk) io.F64(v);
  at(R::kOffPixelSizeX);
  io.F64(r.pixelSizeX);
  at(R::kOffPixelSizeY);
  io.F64(r.pixelSizeY);
  at(R::kOffScanIdText);
  io.Chars(r.scanIdText);
  at(R::kOffSerialNumber);
  io.Chars(r.serialNumber);
  at(R::kOffDecimation);
  io.I32(r.decimation);
  at(R::kOffDecimationFactor);
  io.U32(r.decimationFactor);
  at(R::kOffReScans);
  io.U32(r.reScans);
  at(R::kOffCropRegion);
  for (auto& v : r.cropRegion) io.F64(v);
  at(R::kOffScanRegion);
  for (auto& v : r.scanRegion) io.F64(v);
  at(R::kOffPmtVoltage);
  for (auto& v : r.pmtVoltage) io.F64(v);
  at(R::kOffLaserPower);
  for (auto& v : r.laserPower) io.F64(v);
  at(R::kOffFileGuid);
  io.Raw(r.fileGuid);
  at(R::kOffSourceGuid);
  io.Raw(r.sourceGuid);
  at(R::kOffDarkOffset);
  for (auto& d : r.darkOffset) {
    io.I32(d.type);
    io.F64(d.offset);
    io.F64(d.mean);
    io.F64(d.stdDev);
  }
  at(R::kOffXBinning);
  io.I32(r.xBinning);
  at(R::kOffYBinning);
  io.I32(r.yBinning);
  at(R::kOffBarcode);
  io.Chars(r.barcode);
  at(R::kOffScanStatus);
  io.Chars(r.scanStatus);
  at(R::kOffReserved1012);
  io.U32(r.reserved1012);
  at(R::kOffReserved1016);
  io.Raw(r.reserved1016);
  at(R::kOffLineLength);
  io.F64(r.lineLength);
  at(R::kOffReserved1032);
  io.Raw(r.reserved1032);
  at(R::kOffDecimatedSetPresent);
  io.I32(r.decimatedSetPresent);
  at(R::kOffPercentAutoFocusHold);
  io.F64(r.percentAutoFocusHold);
  at(R::kOffSensitivity);
  for (auto& v : r.sensitivity) io.F64(v);
  at(R::kOffMerged);
  io.I32(r.merged);
  at(R::kOffChannelCountHalf);
  io.I32(r.channelCountHalf);
  at(R::kOffOrientation);
  io.Chars(r.orientation);
  at(R::kOffSaturation);
  for (auto& v : r.saturation) io.I32(v);
  at(R::kOffGlassThickness);
  io.F64(r.glassThickness);
  at(R::kOffScanStatusMore);
  io.Chars(r.scanStatusMore);
  assert(io.Pos() == R::kSize);
}

}  // namespace

TiffScanRecord::Bytes TiffScanRecord::Serialize() const {
  Bytes out{};
  Writer w(out);
  Visit(w, *this);
  return out;
}

TiffScanRecord TiffScanRecord::Deserialize(std::span<const std::uint8_t, kSize> bytes) {
  TiffScanRecord r;
  Reader rd(bytes);
  Visit(rd, r);
  return r;
}
