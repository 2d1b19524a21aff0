#include "Tessary/TiffHandler.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <random>
#include <span>
#include <utility>

#include "Jotwell/Logger.h"
#include "SampleLoops.h"
#include "Tessary/TiffTags.h"
#include "TiffFile.h"
#include "platform/clock.h"

using tessary::detail::ErrorText;
using tessary::detail::TiffFile;

namespace {

constexpr const char* kChannelNames[4] = {"Red", "Green", "Purple", "Yellow"};
constexpr std::size_t kMaxDescription = 511;
constexpr std::size_t kScanIdMax = 39;
constexpr int kGuidFailure = static_cast<int>(0x80004005u);  // the generic failure code

[[noreturn]] void LogAndThrow(std::string text) {
  LogErrorNoFormat(text.c_str());
  throw text;
}

// A random (version 4) identifier in the usual in-memory GUID layout.
TiffScanRecord::Guid NewGuid() {
  std::random_device rd;
  TiffScanRecord::Guid g{};
  for (std::size_t i = 0; i < g.size(); i += 4) {
    const std::uint32_t v = rd();
    for (std::size_t k = 0; k < 4; ++k) g[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  g[7] = static_cast<std::uint8_t>((g[7] & 0x0F) | 0x40);
  g[8] = static_cast<std::uint8_t>((g[8] & 0x3F) | 0x80);
  return g;
}

// "DDN" entry value: "0000" for 0, else a sign digit (2 positive, 1 negative) and the
// magnitude in at least three digits.
std::string DdnValue(int v) {
  if (v == 0) return "0000";
  const long long magnitude = v < 0 ? -static_cast<long long>(v) : v;
  return FormatText("%c%.3lld", v > 0 ? '2' : '1', magnitude);
}

// Puts a new Dyx or DDN entry into the scan id text, keeping the entry of the other kind.
std::string ReplaceScanIdEntry(const std::string& current, const std::string& keyword,
                               const std::string& other, std::size_t otherLengthWithoutEnd,
                               const std::string& entry) {
  std::string kept = current;
  const auto pos = current.find(keyword);
  if (pos != std::string::npos) {
    if (pos > 0) {
      kept = current.substr(0, pos);
    } else {
      const auto semi = current.find(';');
      kept = semi == std::string::npos ? std::string() : current.substr(semi + 1);
    }
  }
  if (kept.size() + entry.size() > kScanIdMax) {
    std::string only;
    const auto o = kept.find(other);
    if (o != std::string::npos) {
      only = kept.substr(o);
      const auto semi = only.find(';');
      only = semi != std::string::npos ? only.substr(0, semi) : only.substr(0, otherLengthWithoutEnd);
      if (!only.empty()) only += ';';
    }
    kept = only;
  }
  std::string result = kept + entry;
  if (result.size() > kScanIdMax) result.resize(kScanIdMax);
  return result;
}

}  // namespace

const char* TiffHandler::ChannelName(int channel) {
  return channel >= 0 && channel < 4 ? kChannelNames[channel] : "Unknown";
}

TiffHandler::TiffHandler() { InstallTiffTagExtender(); }

TiffHandler::~TiffHandler() { Close(); }

TiffHandler::TiffHandler(TiffHandler&& other) noexcept { *this = std::move(other); }

TiffHandler& TiffHandler::operator=(TiffHandler&& other) noexcept {
  if (this == &other) return *this;
  Close();
  m_File = std::move(other.m_File);
  m_pTiff = std::exchange(other.m_pTiff, nullptr);
  m_pRecord = std::move(other.m_pRecord);
  m_nLineLength = std::exchange(other.m_nLineLength, 0);
  m_nStoredWidth = std::exchange(other.m_nStoredWidth, 0);
  m_nDepth = std::exchange(other.m_nDepth, 0);
  m_strFilePath = std::move(other.m_strFilePath);
  m_bTwoPass = std::exchange(other.m_bTwoPass, true);
  m_nDecimationFactor = std::exchange(other.m_nDecimationFactor, 0);
  m_Line16 = std::move(other.m_Line16);
  m_Accumulator = std::move(other.m_Accumulator);
  m_nLinesGathered = std::exchange(other.m_nLinesGathered, 0);
  m_bPacked = std::exchange(other.m_bPacked, false);
  m_nDDN1 = std::exchange(other.m_nDDN1, 0);
  m_nDDN2 = std::exchange(other.m_nDDN2, 0);
  m_bClassicLimitHit = std::exchange(other.m_bClassicLimitHit, false);
  return *this;
}

// ---------------------------------------------------------------- opening and creating

int TiffHandler::CreateFile(const char* path, bool scratch, bool big) {
  Close();
  m_strFilePath = path ? path : "";
  m_bClassicLimitHit = false;
  int error = 0;
  m_File =
      TiffFile::Open(m_strFilePath, scratch ? TiffFile::Kind::scratch : TiffFile::Kind::atomic, error, big);
  if (!m_File) {
    if (error == 0) error = EIO;
    LogAndThrow(FormatText("Failed to create '%s' %s [error code: %d]", m_strFilePath.c_str(),
                           ErrorText(error).c_str(), error));
  }
  m_pTiff = m_File->tif();
  m_pRecord = std::make_unique<TiffScanRecord>();
  try {
    m_pRecord->fileGuid = NewGuid();
  } catch (const std::exception&) {
    Discard();
    LogAndThrow(
        FormatText("For file '%s' Cannot Create GUID Com error %d", m_strFilePath.c_str(), kGuidFailure));
  }
  m_pRecord->recordVersion = TiffScanRecord::kVersion;
  TiffScanRecord::SetText(m_pRecord->orientation, "BsLandLeft");
  return 0;
}

int TiffHandler::CreateTiff(const char* path) { return CreateFile(path, false); }

int TiffHandler::CreateTiff(const char* path, unsigned long lineLength, int depth, int decimation) {
  CreateFile(path, false);
  const int result = SetupTiff(lineLength, 1, depth, decimation, false, false);
  m_pRecord->decimatedSetPresent = 0;
  return result;
}

int TiffHandler::CreateScratchTiff(const char* path, unsigned long lineLength, int depth, int decimation,
                                   bool big) {
  CreateFile(path, true, big);
  const int result = SetupTiff(lineLength, 1, depth, decimation, false, false);
  m_pRecord->decimatedSetPresent = 0;
  return result;
}

int TiffHandler::OpenFile(const char* path, bool edit) {
  Close();
  m_strFilePath = path ? path : "";
  const auto kind = edit ? TiffFile::Kind::edit : TiffFile::Kind::read;
  int error = 0;
  m_File = TiffFile::Open(m_strFilePath, kind, error);
  // A failure without an error number is sometimes a file still being let go by
  // another program: give it a second.
  if (!m_File && (error == 0 || ErrorText(error) == "no error")) {
    platform::sleepFor(std::chrono::milliseconds(1000));
    m_File = TiffFile::Open(m_strFilePath, kind, error);
  }
  if (!m_File) {
    errno = error;
    return HandleOpenError(m_strFilePath.c_str());
  }
  m_pTiff = m_File->tif();
  return ReadDir(0);
}

int TiffHandler::OpenTiff(const char* path) { return OpenFile(path, false); }

// libtiff opens "rw" read-only; "r+" is its mode for reading and rewriting.
int TiffHandler::OpenAndEditTiff(const char* path) { return OpenFile(path, true); }

int TiffHandler::HandleOpenError(const char* path) {
  if (IsOpen()) return 0;
  const int error = errno;
  LogError("Failed to open '%s' %s [error code: %d]", path ? path : "", ErrorText(error).c_str(), error);
  return -2;
}

int TiffHandler::ReadDir(int directory) {
  if (!m_pTiff) return -1;
  if (directory < 0 || !TIFFSetDirectory(m_pTiff, static_cast<tdir_t>(directory))) {
    LogError("'%s': cannot read directory %d", m_strFilePath.c_str(), directory);
    return -1;
  }
  std::uint32_t width = 0;
  std::uint16_t bits = 0;
  TIFFGetField(m_pTiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetFieldDefaulted(m_pTiff, TIFFTAG_BITSPERSAMPLE, &bits);
  m_nLineLength = width;
  m_nStoredWidth = width;
  m_nDepth = bits;

  std::uint32_t count = 0;
  const std::uint8_t* bytes = nullptr;
  if (TIFFGetField(m_pTiff, kTagScanRecord, &count, &bytes) && bytes) {
    if (count == TiffScanRecord::kSize) {
      m_pRecord = std::make_unique<TiffScanRecord>(
          TiffScanRecord::Deserialize(std::span<const std::uint8_t, TiffScanRecord::kSize>(bytes, count)));
    } else {
      LogWarning("'%s': the scan record holds %u bytes instead of %u and is ignored", m_strFilePath.c_str(),
                 count, static_cast<unsigned>(TiffScanRecord::kSize));
    }
  }

  // A packed page stores PackedLineLength(n) words for a record line length of n. For
  // n = 2 and 3 both lengths agree; only merged pages are ever packed, so the record's
  // merged flag tells those apart from unpacked 32-bit channel files.
  m_bPacked = false;
  if (m_nDepth == 32 && m_pRecord) {
    const double n = m_pRecord->lineLength;
    if (std::isfinite(n) && n >= 1 && n <= 4294967295.0) {
      const auto samples = static_cast<unsigned long>(n);
      if (PackedLineLength(samples) == width && (samples != width || m_pRecord->merged == 1)) {
        m_nLineLength = static_cast<std::uint32_t>(samples);
        m_bPacked = true;
      }
    }
  }
  return 0;
}

int TiffHandler::SetupTiff(unsigned long lineLength, int channels, int depth, int decimation,
                           bool halveChannels, bool packed) {
  m_bPacked = packed;
  if (!m_pTiff) return -1;
  if (depth != 8 && depth != 16 && depth != 32) {
    LogError("'%s': %d bits per sample cannot be written", m_strFilePath.c_str(), depth);
    return -1;
  }
  const unsigned long length =
      decimation < 1 ? lineLength : lineLength / static_cast<unsigned long>(decimation);
  if (length == 0 || length > 0xFFFFFFFFul) {
    LogError("'%s': a line of %lu samples cannot be written", m_strFilePath.c_str(), lineLength);
    return -1;
  }
  m_nDecimationFactor = decimation < 1 ? 0 : decimation;
  m_nLineLength = static_cast<std::uint32_t>(length);
  // Decimated lines are 16-bit block means whatever depth was asked for.
  m_nDepth = decimation < 1 ? static_cast<std::uint32_t>(depth) : 16;
  m_bPacked = m_nDepth == 32 && packed;
  m_nStoredWidth = m_bPacked ? static_cast<std::uint32_t>(PackedLineLength(m_nLineLength)) : m_nLineLength;

  if (m_pRecord) {
    m_pRecord->decimation = m_nDecimationFactor;
    m_pRecord->decimationFactor = static_cast<std::uint32_t>(m_nDecimationFactor);
    m_pRecord->lineLength = static_cast<double>(m_nLineLength);
    m_pRecord->channelCount = channels;
    m_pRecord->channelCountHalf = channels > 1 && halveChannels ? channels / 2 : channels;
  }

  TIFFSetField(m_pTiff, TIFFTAG_IMAGEWIDTH, m_nStoredWidth);
  TIFFSetField(m_pTiff, TIFFTAG_BITSPERSAMPLE, static_cast<int>(m_nDepth));
  TIFFSetField(m_pTiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(m_pTiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(m_pTiff, TIFFTAG_SUBFILETYPE, 0);

  m_Line16.assign(m_nLineLength, 0);
  m_Accumulator.clear();
  m_nLinesGathered = 0;
  return 0;
}

int TiffHandler::Save() {
  if (!m_pTiff) return 0;
  // A directory read from the file is rewritten; a new one is appended.
  const bool existing = m_File->kind() == TiffFile::Kind::edit;
  return existing ? TIFFRewriteDirectory(m_pTiff) : TIFFWriteDirectory(m_pTiff);
}

int TiffHandler::Close() {
  int result = 0;
  if (m_File) {
    const bool closed = m_File->Close();
    m_bClassicLimitHit = m_File->ClassicLimitHit();
    if (!closed) {
      const int error = m_File->error();
      LogError("'%s' could not be written completely %s [error code: %d]", m_strFilePath.c_str(),
               ErrorText(error).c_str(), error);
      result = -1;
    }
    m_File.reset();
  }
  ReleaseFile();
  return result;
}

void TiffHandler::Discard() {
  if (m_File) {
    m_File->Discard();
    m_bClassicLimitHit = m_File->ClassicLimitHit();
    m_File.reset();
  }
  ReleaseFile();
}

int TiffHandler::LastError() const {
  const int error = m_File ? m_File->error() : 0;
  return error != 0 ? error : errno;
}

void TiffHandler::ReleaseFile() {
  m_pTiff = nullptr;
  m_pRecord.reset();
  ResetBuffers();
}

void TiffHandler::ResetBuffers() {
  m_Line16 = {};
  m_Accumulator = {};
  m_nLinesGathered = 0;
}

int TiffHandler::WriteVbqStru() {
  if (!m_pTiff || !m_pRecord) return -1;
  const auto bytes = m_pRecord->Serialize();
  TIFFSetField(m_pTiff, kTagScanRecord, static_cast<std::uint32_t>(bytes.size()), bytes.data());
  return 0;
}

// ---------------------------------------------------------------- lines

namespace {

// Whether a file's lines can be appended as they are to its one strip: libtiff would
// only copy them through its own buffer on their way to the same place in the file.
bool AppendsRawLines(TIFF* tif) {
  std::uint32_t rowsPerStrip = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
  return rowsPerStrip == 0xFFFFFFFFu && tessary::detail::SamplesStoredAsIs(tif);
}

}  // namespace

int TiffHandler::WriteRow(const void* data, int row) {
  // libtiff answers 1 for a written line, -1 for a refused call and 0 when the data could
  // not be written out.
  const auto bytes = TIFFScanlineSize(m_pTiff);
  const bool written =
      row >= 0 &&
      (AppendsRawLines(m_pTiff)
           ? TIFFWriteRawStrip(m_pTiff, 0, const_cast<void*>(data), bytes) == bytes
           : TIFFWriteScanline(m_pTiff, const_cast<void*>(data), static_cast<std::uint32_t>(row), 0) == 1);
  if (!written) {
    const int error = LastError();
    LogAndThrow(FormatText("'%s' can't write scanline (%d) %s [error code: %d]", m_strFilePath.c_str(), row,
                           ErrorText(error).c_str(), error));
  }
  TIFFSetField(m_pTiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(row + 1));
  return row + 1;
}

int TiffHandler::AddScanline(const unsigned int* samples) {
  if (!m_pTiff) return 0;
  if (!samples) return -1;
  std::uint32_t rows = 0;
  TIFFGetField(m_pTiff, TIFFTAG_IMAGELENGTH, &rows);
  const int row = static_cast<int>(rows);
  return m_nDecimationFactor < 1 ? AddFullScanLine(samples, row) : AddDecimatedScanLine(samples, row);
}

int TiffHandler::AddFullScanLine(const unsigned int* samples, int row) {
  if (!m_pTiff || !samples) return -1;
  if (m_nDepth != 16) return WriteRow(samples, row);  // already 32-bit (and packed when the file is)
  if (m_Line16.size() < m_nLineLength) m_Line16.assign(m_nLineLength, 0);
  tessary::detail::NarrowSamples(samples, m_Line16.data(), m_nLineLength);
  return WriteRow(m_Line16.data(), row);
}

int TiffHandler::AddDecimatedScanLine(const unsigned int* samples, int row) {
  using namespace tessary::detail;
  if (!m_pTiff || !samples || m_nDecimationFactor < 1) return -1;
  const auto d = static_cast<std::uint32_t>(m_nDecimationFactor);
  // The lines of a block are summed column by column (a pass the processor does in wide
  // vectors), and the blocks' columns only once the block's last line is in.
  const std::size_t columns = std::size_t{m_nLineLength} * d;
  if (m_Accumulator.size() < columns) m_Accumulator.assign(columns, 0);
  if (m_Line16.size() < m_nLineLength) m_Line16.assign(m_nLineLength, 0);
  if (m_nLinesGathered == 0)
    StartColumnSums(samples, m_Accumulator.data(), columns);
  else
    AddColumnSums(samples, m_Accumulator.data(), columns);
  if (++m_nLinesGathered < d) return row;
  // The factors a scan uses (10 um divided by the pixel size) get loops of fixed length.
  const std::uint64_t* sums = m_Accumulator.data();
  std::uint16_t* line = m_Line16.data();
  switch (d) {
    case 1:
      AverageBlocks<1>(sums, line, m_nLineLength);
      break;
    case 2:
      AverageBlocks<2>(sums, line, m_nLineLength);
      break;
    case 3:
      AverageBlocks<3>(sums, line, m_nLineLength);
      break;
    case 5:
      AverageBlocks<5>(sums, line, m_nLineLength);
      break;
    default:
      AverageBlocks<0>(sums, line, m_nLineLength, d);
  }
  m_nLinesGathered = 0;
  return WriteRow(m_Line16.data(), row);
}

unsigned long TiffHandler::PackedLineLength(unsigned long n) {
  return n / 2 + n % 2 + n / 8 + (n % 8 != 0 ? 1 : 0);
}

void TiffHandler::PackBuffer(std::uint32_t* packed, const std::uint32_t* samples, unsigned long packedLength,
                             unsigned long n) {
  const unsigned long words = PackedLineLength(n);
  if (!packed || !samples || packedLength < words) return;
  std::fill(packed, packed + words, 0u);
  const unsigned long nibbleBase = n / 2 + n % 2;
  for (unsigned long i = 0; i < n; ++i) {
    const std::uint32_t s = samples[i];
    packed[i / 2] |= (s & 0xFFFFu) << ((i % 2) * 16);
    packed[nibbleBase + i / 8] |= ((s >> 16) & 0xFu) << ((i % 8) * 4);
  }
}

void TiffHandler::UnPackBuffer(const std::uint32_t* packed, std::uint32_t* samples,
                               unsigned long packedLength, unsigned long n) {
  const unsigned long words = PackedLineLength(n);
  if (!packed || !samples || packedLength < words) return;
  const unsigned long nibbleBase = n / 2 + n % 2;
  for (unsigned long i = 0; i < n; ++i) {
    const std::uint32_t low = (packed[i / 2] >> ((i % 2) * 16)) & 0xFFFFu;
    const std::uint32_t high = (packed[nibbleBase + i / 8] >> ((i % 8) * 4)) & 0xFu;
    samples[i] = low | (high << 16);
  }
}

// ---------------------------------------------------------------- standard tags

void TiffHandler::WriteResolution(double xMicrons, double yMicrons) {
  if (m_pTiff && xMicrons > 0 && yMicrons > 0) {
    TIFFSetField(m_pTiff, TIFFTAG_XRESOLUTION, 10000.0 / xMicrons);
    TIFFSetField(m_pTiff, TIFFTAG_YRESOLUTION, 10000.0 / yMicrons);
    TIFFSetField(m_pTiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
  }
  if (m_pRecord) {
    m_pRecord->pixelSizeX = xMicrons;
    m_pRecord->pixelSizeY = yMicrons;
  }
}

int TiffHandler::SetResolution(unsigned int xMicrons, unsigned int yMicrons) {
  double x = xMicrons, y = yMicrons;
  if (m_nDecimationFactor > 0) {
    x *= m_nDecimationFactor;
    y *= m_nDecimationFactor;
  }
  WriteResolution(x, y);
  return 0;
}

int TiffHandler::SetCompression(bool lzw) {
  if (!m_pTiff) return 0;
  return TIFFSetField(m_pTiff, TIFFTAG_COMPRESSION, lzw ? COMPRESSION_LZW : COMPRESSION_NONE);
}

int TiffHandler::SetTextTag(std::uint32_t tag, const char* text) {
  if (!m_pTiff) return -1;
  TIFFSetField(m_pTiff, tag, text ? text : "");
  return 0;
}

int TiffHandler::SetImageDescription(const char* text) {
  SetTextTag(TIFFTAG_IMAGEDESCRIPTION, text);
  return SetTextTag(TIFFTAG_PAGENAME, text);
}

int TiffHandler::SetPMTChannel(int channel) {
  if (m_pRecord) m_pRecord->pmtChannel[0] = channel;
  return SetImageDescription(ChannelName(channel));
}

int TiffHandler::GetPMTChannel(int& channel) const {
  if (!m_pRecord) return -1;
  channel = m_pRecord->pmtChannel[0];
  return 0;
}

int TiffHandler::SetSoftwareVersion(const char* text) { return SetTextTag(TIFFTAG_SOFTWARE, text); }
int TiffHandler::SetOperator(const char* text) { return SetTextTag(TIFFTAG_ARTIST, text); }
int TiffHandler::SetDateTime(const char* text) { return SetTextTag(TIFFTAG_DATETIME, text); }
int TiffHandler::SetScannerMake(const char* text) { return SetTextTag(TIFFTAG_MAKE, text); }
int TiffHandler::SetScannerModel(const char* text) { return SetTextTag(TIFFTAG_MODEL, text); }
int TiffHandler::SetComputerNameA(const char* text) { return SetTextTag(TIFFTAG_HOSTCOMPUTER, text); }

int TiffHandler::SetDescription(const char* text) {
  if (!m_pTiff) return -1;
  std::string value = text ? text : "";
  if (value.size() > kMaxDescription) value.resize(kMaxDescription);
  // Counted with the terminating NUL: without it a reader drops the last character.
  TIFFSetField(m_pTiff, kTagDescription, static_cast<std::uint32_t>(value.size() + 1), value.c_str());
  return 0;
}

// ---------------------------------------------------------------- record fields

int TiffHandler::SetBarcode(const char* text) {
  if (!m_pRecord) return -1;
  TiffScanRecord::SetText(m_pRecord->barcode, text ? text : "");
  return 0;
}

int TiffHandler::SetScannerSerialNumber(const char* text) {
  if (!m_pRecord) return -1;
  TiffScanRecord::SetText(m_pRecord->serialNumber, text ? text : "");
  return 0;
}

int TiffHandler::SetScanStatus(const char* text) {
  if (!m_pRecord) return -1;
  std::string status = text ? text : "";
  for (std::size_t i = 0; i + 1 < status.size(); ++i) {
    if (status[i] == '\r' && status[i + 1] == '\n') status[i] = status[i + 1] = ' ';
  }
  constexpr std::size_t kFirst = 255;
  TiffScanRecord::SetText(m_pRecord->scanStatusMore, "");
  if (status.size() <= kFirst) {
    TiffScanRecord::SetText(m_pRecord->scanStatus, status);
  } else {
    // The second field goes on where the first one ends, so no character is lost.
    TiffScanRecord::SetText(m_pRecord->scanStatus, std::string_view(status).substr(0, kFirst));
    TiffScanRecord::SetText(m_pRecord->scanStatusMore, std::string_view(status).substr(kFirst));
  }
  return 0;
}

int TiffHandler::SetDyxScanIDInfo(const char* scanId, int pass) {
  if (!m_pRecord) return -1;
  const std::string id = std::string(scanId ? scanId : "").substr(0, 14);
  const std::string entry = "Dyx" + id + ":" + std::to_string(pass == 1 || pass == 2 ? pass : 0) + ";";
  const std::string current = TiffScanRecord::Text(m_pRecord->scanIdText);
  TiffScanRecord::SetText(m_pRecord->scanIdText, ReplaceScanIdEntry(current, "Dyx", "DDN", 11, entry));
  return 0;
}

int TiffHandler::SetScanDDNInfo(int ddn1, int ddn2) {
  m_nDDN1 = ddn1;
  m_nDDN2 = ddn2;
  m_bTwoPass = false;
  if (!m_pRecord) return -1;
  const std::string entry = "DDN" + DdnValue(ddn1) + DdnValue(ddn2) + ";";
  const std::string current = TiffScanRecord::Text(m_pRecord->scanIdText);
  TiffScanRecord::SetText(m_pRecord->scanIdText, ReplaceScanIdEntry(current, "DDN", "Dyx", 19, entry));
  return 0;
}

int TiffHandler::SetXBinning(int value) {
  if (!m_pRecord) return -1;
  m_pRecord->xBinning = value * (m_nDecimationFactor > 0 ? m_nDecimationFactor : 1);
  return 0;
}

int TiffHandler::SetYBinning(int value) {
  if (!m_pRecord) return -1;
  m_pRecord->yBinning = value * (m_nDecimationFactor > 0 ? m_nDecimationFactor : 1);
  return 0;
}

int TiffHandler::SetDarkOffSet(int type, double offset, double mean, double stdDev) {
  if (!m_pRecord) return -1;
  m_pRecord->darkOffset[0] = TiffDarkOffset{type, offset, mean, stdDev};
  return 0;
}

int TiffHandler::GetDarkOffSet(int& type, double& offset, double& mean, double& stdDev) const {
  if (!m_pRecord) return -1;
  const auto& d = m_pRecord->darkOffset[0];
  type = d.type;
  offset = d.offset;
  mean = d.mean;
  stdDev = d.stdDev;
  return 0;
}

int TiffHandler::SetScanRegion(double a, double b, double c, double d) {
  if (!m_pRecord) return -1;
  m_pRecord->scanRegion = {a, b, c, d};
  return 0;
}

int TiffHandler::SetCropRegion(double a, double b, double c, double d) {
  if (!m_pRecord) return -1;
  m_pRecord->cropRegion = {a, b, c, d};
  return 0;
}

int TiffHandler::SetReScans(unsigned int count) {
  if (!m_pRecord) return -1;
  m_pRecord->reScans = count;
  return 0;
}

int TiffHandler::SetLaserPower(double value) {
  if (!m_pRecord) return -1;
  m_pRecord->laserPower[0] = value;
  return 0;
}

int TiffHandler::SetPMTVoltage(double value) {
  if (!m_pRecord) return -1;
  m_pRecord->pmtVoltage[0] = value;
  return 0;
}

int TiffHandler::SetCrossTalk(int row, int column, double value) {
  if (!m_pRecord || row < 0 || row > 3 || column < 0 || column > 3) return -1;
  m_pRecord->crossTalk[static_cast<std::size_t>(column + 4 * row)] = value;
  return 0;
}

int TiffHandler::SetSensitivity(double value) {
  if (!m_pRecord) return -1;
  m_pRecord->sensitivity[0] = value;
  return 0;
}

int TiffHandler::SetPercentAutoFocusHold(double value) {
  if (!m_pRecord) return -1;
  m_pRecord->percentAutoFocusHold = value;
  return 0;
}

int TiffHandler::SetGlassThickness(double value) {
  if (!m_pRecord) return -1;
  m_pRecord->glassThickness = value;
  return 0;
}

int TiffHandler::SetSaturationValue(int value) {
  if (!m_pRecord) return -1;
  m_pRecord->saturation[0] = value;
  return 0;
}

int TiffHandler::GetSaturationValue() const { return m_pRecord ? m_pRecord->saturation[0] : 0; }
