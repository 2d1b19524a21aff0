#include "Tessary/TiffCompress.h"

#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "Jotwell/Logger.h"
#include "StripEncoder.h"
#include "Tessary/TiffTags.h"
#include "TiffFile.h"
#include "platform/files.h"

using tessary::detail::ErrorText;
using tessary::detail::StripEncoder;
using tessary::detail::TiffFile;

namespace {

// Lines, strips or tiles larger than this come only from damaged files.
constexpr std::uint64_t kMaxBuffer = std::uint64_t{1} << 30;

enum class Kind { u16, u32, rational, ascii, f64, u16Pair, rationalArray, u16Counted };

struct DescriptiveTag {
  std::uint32_t tag;
  Kind kind;
};

// The standard descriptive tags carried over when the source has them.
constexpr DescriptiveTag kDescriptiveTags[] = {
    {TIFFTAG_SUBFILETYPE, Kind::u32},
    {TIFFTAG_THRESHHOLDING, Kind::u16},
    {TIFFTAG_DOCUMENTNAME, Kind::ascii},
    {TIFFTAG_IMAGEDESCRIPTION, Kind::ascii},
    {TIFFTAG_MAKE, Kind::ascii},
    {TIFFTAG_MODEL, Kind::ascii},
    {TIFFTAG_MINSAMPLEVALUE, Kind::u16},
    {TIFFTAG_MAXSAMPLEVALUE, Kind::u16},
    {TIFFTAG_XRESOLUTION, Kind::rational},
    {TIFFTAG_YRESOLUTION, Kind::rational},
    {TIFFTAG_PAGENAME, Kind::ascii},
    {TIFFTAG_XPOSITION, Kind::rational},
    {TIFFTAG_YPOSITION, Kind::rational},
    {TIFFTAG_RESOLUTIONUNIT, Kind::u16},
    {TIFFTAG_SOFTWARE, Kind::ascii},
    {TIFFTAG_DATETIME, Kind::ascii},
    {TIFFTAG_ARTIST, Kind::ascii},
    {TIFFTAG_HOSTCOMPUTER, Kind::ascii},
    {TIFFTAG_WHITEPOINT, Kind::rationalArray},
    {TIFFTAG_PRIMARYCHROMATICITIES, Kind::rationalArray},
    {TIFFTAG_HALFTONEHINTS, Kind::u16Pair},
    {TIFFTAG_INKSET, Kind::u16},
    {TIFFTAG_DOTRANGE, Kind::u16Pair},
    {TIFFTAG_TARGETPRINTER, Kind::ascii},
    {TIFFTAG_SAMPLEFORMAT, Kind::u16},
    {TIFFTAG_YCBCRCOEFFICIENTS, Kind::rationalArray},
    {TIFFTAG_YCBCRSUBSAMPLING, Kind::u16Pair},
    {TIFFTAG_YCBCRPOSITIONING, Kind::u16},
    {TIFFTAG_REFERENCEBLACKWHITE, Kind::rationalArray},
    {TIFFTAG_EXTRASAMPLES, Kind::u16Counted},
    {TIFFTAG_SMINSAMPLEVALUE, Kind::f64},
    {TIFFTAG_SMAXSAMPLEVALUE, Kind::f64},
    {TIFFTAG_STONITS, Kind::f64},
};

void CopyDescriptiveTag(TIFF* in, TIFF* out, const DescriptiveTag& t) {
  switch (t.kind) {
    case Kind::u16: {
      std::uint16_t v = 0;
      if (TIFFGetField(in, t.tag, &v)) TIFFSetField(out, t.tag, v);
      break;
    }
    case Kind::u32: {
      std::uint32_t v = 0;
      if (TIFFGetField(in, t.tag, &v)) TIFFSetField(out, t.tag, v);
      break;
    }
    case Kind::rational: {
      float v = 0;
      if (TIFFGetField(in, t.tag, &v)) TIFFSetField(out, t.tag, static_cast<double>(v));
      break;
    }
    case Kind::ascii: {
      const char* v = nullptr;
      if (TIFFGetField(in, t.tag, &v) && v) TIFFSetField(out, t.tag, v);
      break;
    }
    case Kind::f64: {
      double v = 0;
      if (TIFFGetField(in, t.tag, &v)) TIFFSetField(out, t.tag, v);
      break;
    }
    case Kind::u16Pair: {
      std::uint16_t a = 0, b = 0;
      if (TIFFGetField(in, t.tag, &a, &b)) TIFFSetField(out, t.tag, a, b);
      break;
    }
    case Kind::rationalArray: {
      const float* v = nullptr;
      if (TIFFGetField(in, t.tag, &v) && v) TIFFSetField(out, t.tag, v);
      break;
    }
    case Kind::u16Counted: {
      std::uint16_t count = 0;
      const std::uint16_t* v = nullptr;
      if (TIFFGetField(in, t.tag, &count, &v) && v) TIFFSetField(out, t.tag, count, v);
      break;
    }
    default:
      TIFFWarning(TIFFFileName(in), "Data type %d is not supported, tag %d skipped.",
                  static_cast<int>(t.kind), static_cast<int>(t.tag));
  }
}

void CopyPrivateTags(TIFF* in, TIFF* out) {
  for (std::uint32_t tag : {kTagPrivateLong, kTagPrivateRational, kTagPrivateShort}) {
    std::uint16_t count = 0;
    void* data = nullptr;
    if (TIFFGetField(in, tag, &count, &data) && data && count > 0) TIFFSetField(out, tag, count, data);
  }
  // The description and the scan record are counted 32-bit.
  for (std::uint32_t tag : {kTagDescription, kTagScanRecord}) {
    std::uint32_t count = 0;
    void* data = nullptr;
    if (TIFFGetField(in, tag, &count, &data) && data && count > 0) TIFFSetField(out, tag, count, data);
  }
}

bool ReadRows(TIFF* in, std::uint8_t* rows, std::uint64_t rowBytes, std::uint32_t first, std::uint32_t count,
              std::uint16_t plane) {
  for (std::uint32_t k = 0; k < count; ++k) {
    if (TIFFReadScanline(in, rows + k * rowBytes, first + k, plane) < 0) {
      TIFFError(TIFFFileName(in), "Error, can't read scanline %lu", static_cast<unsigned long>(first + k));
      return false;
    }
  }
  return true;
}

bool CopyStrips(TIFF* in, TIFF* out, std::uint32_t length, std::uint16_t planes) {
  const std::uint64_t size = TIFFScanlineSize64(in);
  if (size == 0 || size > kMaxBuffer) {
    TIFFError("tiffcp", "%s: Don't know how to copy/convert image.\n", TIFFFileName(in));
    return false;
  }
  // Compressing is what takes the time: strips are compressed on every thread at once,
  // a batch of rows at a time.
  if (planes == 1 && StripEncoder::Suits(out) && TIFFScanlineSize64(out) == size) {
    StripEncoder encoder(out, length);
    const std::uint32_t batch = std::min(encoder.BatchRows(), std::max(length, 1u));
    std::vector<std::uint8_t> rows(std::uint64_t{batch} * size);
    for (std::uint32_t first = 0; first < length; first += batch) {
      const std::uint32_t count = std::min(batch, length - first);
      if (!ReadRows(in, rows.data(), size, first, count, 0)) return false;
      if (!encoder.Write(rows.data(), first, count)) {
        TIFFError(TIFFFileName(out), "Error, can't write scanline %lu", static_cast<unsigned long>(first));
        return false;
      }
    }
    return true;
  }
  std::vector<std::uint8_t> line(size);
  for (std::uint16_t s = 0; s < planes; ++s) {
    for (std::uint32_t row = 0; row < length; ++row) {
      if (TIFFReadScanline(in, line.data(), row, s) < 0) {
        TIFFError(TIFFFileName(in), "Error, can't read scanline %lu", static_cast<unsigned long>(row));
        return false;
      }
      if (TIFFWriteScanline(out, line.data(), row, s) != 1) {
        TIFFError(TIFFFileName(out), "Error, can't write scanline %lu", static_cast<unsigned long>(row));
        return false;
      }
    }
  }
  return true;
}

bool CopyTiles(TIFF* in, TIFF* out) {
  const std::uint64_t size = TIFFTileSize64(in);
  if (size == 0 || size > kMaxBuffer) {
    TIFFError("tiffcp", "%s: Don't know how to copy/convert image.\n", TIFFFileName(in));
    return false;
  }
  std::vector<std::uint8_t> tile(size);
  const std::uint32_t tiles = TIFFNumberOfTiles(in);
  for (std::uint32_t t = 0; t < tiles; ++t) {
    const tmsize_t n = TIFFReadEncodedTile(in, t, tile.data(), static_cast<tmsize_t>(size));
    if (n < 0) {
      TIFFError(TIFFFileName(in), "Error, can't read tile %lu", static_cast<unsigned long>(t));
      return false;
    }
    if (TIFFWriteEncodedTile(out, t, tile.data(), n) < 0) {
      TIFFError(TIFFFileName(out), "Error, can't write tile %lu", static_cast<unsigned long>(t));
      return false;
    }
  }
  return true;
}

bool CopyDirectory(TIFF* in, TIFF* out, std::uint16_t compression) {
  std::uint32_t width = 0, length = 0;
  std::uint16_t bits = 1, samples = 1, planar = PLANARCONFIG_CONTIG;
  TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
  TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &planar);
  TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(out, TIFFTAG_IMAGELENGTH, length);
  TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, static_cast<int>(bits));
  TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, static_cast<int>(samples));
  TIFFSetField(out, TIFFTAG_COMPRESSION, static_cast<int>(compression));

  std::uint16_t v = 0;
  if (TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &v)) TIFFSetField(out, TIFFTAG_PHOTOMETRIC, static_cast<int>(v));
  if (TIFFGetField(in, TIFFTAG_FILLORDER, &v)) TIFFSetField(out, TIFFTAG_FILLORDER, static_cast<int>(v));

  // Pixels are copied as they lie: orientations that would need a mirror image are
  // declared as the nearest one that does not.
  std::uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(in, TIFFTAG_ORIENTATION, &orientation);
  switch (orientation) {
    case ORIENTATION_BOTRIGHT:
    case ORIENTATION_RIGHTBOT:
      TIFFWarning(TIFFFileName(in), "using bottom-left orientation");
      orientation = ORIENTATION_BOTLEFT;
      break;
    case ORIENTATION_LEFTBOT:
    case ORIENTATION_BOTLEFT:
      break;
    case ORIENTATION_TOPRIGHT:
    case ORIENTATION_RIGHTTOP:
      TIFFWarning(TIFFFileName(in), "using top-left orientation");
      orientation = ORIENTATION_TOPLEFT;
      break;
    case ORIENTATION_TOPLEFT:
    case ORIENTATION_LEFTTOP:
      break;
    default:
      TIFFWarning(TIFFFileName(in), "using top-left orientation");
      orientation = ORIENTATION_TOPLEFT;
  }
  TIFFSetField(out, TIFFTAG_ORIENTATION, static_cast<int>(orientation));

  const bool tiled = TIFFIsTiled(in) != 0;
  if (tiled) {
    std::uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(in, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(in, TIFFTAG_TILELENGTH, &tileLength);
    // Tile by tile copying needs the source's tile size unchanged.
    TIFFSetField(out, TIFFTAG_TILEWIDTH, tileWidth);
    TIFFSetField(out, TIFFTAG_TILELENGTH, tileLength);
  } else {
    std::uint32_t rowsPerStrip = 0;
    if (!TIFFGetField(in, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip) || rowsPerStrip == 0)
      rowsPerStrip = TIFFDefaultStripSize(out, 0);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
  }
  TIFFSetField(out, TIFFTAG_PLANARCONFIG, static_cast<int>(planar));

  if (compression == COMPRESSION_LZW && TIFFGetField(in, TIFFTAG_PREDICTOR, &v))
    TIFFSetField(out, TIFFTAG_PREDICTOR, static_cast<int>(v));

  std::uint32_t profileLength = 0;
  void* profile = nullptr;
  if (TIFFGetField(in, TIFFTAG_ICCPROFILE, &profileLength, &profile) && profile)
    TIFFSetField(out, TIFFTAG_ICCPROFILE, profileLength, profile);
  std::uint16_t page = 0, pages = 0;
  if (TIFFGetField(in, TIFFTAG_PAGENUMBER, &page, &pages)) TIFFSetField(out, TIFFTAG_PAGENUMBER, page, pages);

  for (const auto& t : kDescriptiveTags) CopyDescriptiveTag(in, out, t);

  // Tables that depend on the sample layout, after the extra samples are known.
  std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (samples <= 4 && TIFFGetField(in, TIFFTAG_TRANSFERFUNCTION, &red, &green, &blue) && red)
    TIFFSetField(out, TIFFTAG_TRANSFERFUNCTION, red, green, blue);
  red = green = blue = nullptr;
  if (TIFFGetField(in, TIFFTAG_COLORMAP, &red, &green, &blue) && red && green && blue)
    TIFFSetField(out, TIFFTAG_COLORMAP, red, green, blue);
  std::uint16_t inks = 0;
  const char* inkNames = nullptr;
  if (TIFFGetField(in, TIFFTAG_NUMBEROFINKS, &inks) && TIFFGetField(in, TIFFTAG_INKNAMES, &inkNames) &&
      inkNames) {
    // The names of all inks, each with its NUL.
    int total = 0;
    const char* p = inkNames;
    for (std::uint16_t i = 0; i < inks; ++i) {
      const int n = static_cast<int>(std::char_traits<char>::length(p)) + 1;
      total += n;
      p += n;
    }
    TIFFSetField(out, TIFFTAG_INKNAMES, total, inkNames);
  }

  CopyPrivateTags(in, out);

  const bool copied =
      tiled ? CopyTiles(in, out) : CopyStrips(in, out, length, planar == PLANARCONFIG_SEPARATE ? samples : 1);
  return copied && TIFFWriteDirectory(out);
}

eTiffCompressError Rewrite(const char* source, const char* destination, std::uint16_t compression) {
  InstallTiffTagExtender();
  const std::string src = source ? source : "";
  const bool inPlace = !destination || *destination == '\0' || platform::sameFile(src, destination);
  const std::string dst = inPlace ? src : destination;

  if (inPlace && !platform::isRegularFile(src)) {
    const int error = errno != 0 ? errno : EINVAL;
    LogError("Failed to rewrite '%s' in place %s [error code: %d]", src.c_str(), ErrorText(error).c_str(),
             error);
    return kTiffCompressMoveFailed;
  }
  // The source is opened first: a missing source never costs an existing destination.
  int error = 0;
  auto in = TiffFile::Open(src, TiffFile::Kind::read, error);
  if (!in) {
    LogError("Failed to open '%s' %s [error code: %d]", src.c_str(), ErrorText(error).c_str(), error);
    return kTiffCompressOpenFailed;
  }
  // The copy takes its source's form: a 64-bit TIFF (BigTIFF) stays one. A classic file
  // whose copy grows past what classic TIFF addresses (an image uncompressed) is copied
  // again in the 64-bit form.
  bool big = TIFFIsBigTIFF(in->tif()) != 0;
  std::unique_ptr<TiffFile> out;
  for (;;) {
    out = TiffFile::Open(dst, TiffFile::Kind::atomic, error, big);
    if (!out) {
      LogError("Failed to create '%s' %s [error code: %d]", dst.c_str(), ErrorText(error).c_str(), error);
      return kTiffCompressCreateFailed;
    }
    bool ok = true;
    while (ok) {
      if (!CopyDirectory(in->tif(), out->tif(), compression)) {
        ok = false;
        break;
      }
      if (TIFFLastDirectory(in->tif())) break;
      ok = TIFFReadDirectory(in->tif()) != 0;
    }
    if (ok) break;
    out->Discard();
    if (big || !out->ClassicLimitHit()) {
      in->Close();
      return kTiffCompressCopyFailed;
    }
    LogWarning("'%s' does not fit classic TIFF; it is written again as 64-bit TIFF", dst.c_str());
    big = true;
    if (!TIFFSetDirectory(in->tif(), 0)) {
      in->Close();
      return kTiffCompressCopyFailed;
    }
  }
  in->Close();
  // Syncs the new file and renames it onto the destination (the source, in place).
  if (!out->Close()) {
    const int code = out->error();
    LogError("Failed to write '%s' %s [error code: %d]", dst.c_str(), ErrorText(code).c_str(), code);
    return kTiffCompressCopyFailed;
  }
  return kTiffCompressOk;
}

}  // namespace

eTiffCompressError CompressTiff(const char* source, const char* destination) {
  return Rewrite(source, destination, COMPRESSION_LZW);
}

eTiffCompressError UncompressTiff(const char* source, const char* destination) {
  return Rewrite(source, destination, COMPRESSION_NONE);
}
