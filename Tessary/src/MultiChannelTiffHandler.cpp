#include "Tessary/MultiChannelTiffHandler.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "SampleLoops.h"
#include "StripEncoder.h"
#include "Tessary/TiffTags.h"
#include "TiffFile.h"
#include "platform/clock.h"
#include "platform/files.h"

using tessary::detail::ErrorText;

namespace {

constexpr std::int64_t kMiB = 1048576;
// Rows are copied in blocks of about this size, two taking turns: large enough that
// handing one to the writing thread costs next to nothing.
constexpr std::size_t kBlockBytes = std::size_t{4} << 20;
constexpr std::uint32_t kMax20Bit = 0xFFFFF;
// What a page adds to its pixels, at most: directory, tags, scan record and the strip
// offset and byte count tables (one strip per row at worst, 8 bytes each in 64-bit TIFF).
constexpr std::uint64_t kPageOverhead = 64 * 1024;
constexpr std::uint64_t kOverheadPerRow = 16;

[[noreturn]] void LogAndThrow(std::string text) {
  LogErrorNoFormat(text.c_str());
  throw text;
}

std::string InstallFolder() {
  return CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).ReadString(zeva::kInstallPathValue, "");
}

// The folder part of a file path, with its trailing '/'; the whole path for a file
// without a folder or directly under the root.
std::string FolderOf(const std::string& file) {
  const std::string folder = platform::directoryOf(file);
  return folder.size() > 2 ? folder : file;
}

void CheckFolderSpace(const std::string& folder, const std::string& file, std::int64_t required) {
  const auto free = tessary::detail::FreeSpace(folder);
  if (!free) {
    const int error = errno;
    LogAndThrow(FormatText("Failed to get drive '%s' disk free space: %s [error code = %d]", folder.c_str(),
                           ErrorText(error).c_str(), error));
  }
  const auto available = static_cast<std::int64_t>(std::min<std::uint64_t>(*free, INT64_MAX));
  if (required >= available) {
    LogAndThrow(
        FormatText("For %s : Not enough available disk space on drive. Total free bytes avaliable = %lld. "
                   "Required (estimated) = %lld",
                   file.c_str(), static_cast<long long>(available), static_cast<long long>(required)));
  }
}

// The largest sample a corrected 16-bit copy may hold: the channel's saturation value, or
// below an offset when the saturation lies beyond 16 bits. A channel without a
// saturation value (0) is limited by the sample range only.
int Maximum16(const TiffScanRecord& r) {
  const int saturation = r.saturation[0];
  if (saturation <= 0) return 65535;
  if (saturation <= 65535) return saturation;
  const long long limit = 65535 - static_cast<long long>(r.darkOffset[0].offset);
  return static_cast<int>(std::clamp<long long>(limit, 0, 65535));
}

int Maximum32(const TiffScanRecord& r) {
  const int saturation = r.saturation[0];
  return saturation > 0 ? std::min<int>(saturation, kMax20Bit) : static_cast<int>(kMax20Bit);
}

// The record of a merged or rotated page: the page's own record (identity, set-up) with
// the scan's values from the channel record `a` and, for two channels, `b` as channel 1.
TiffScanRecord BuildPageRecord(const TiffScanRecord& page, const TiffScanRecord& a, const TiffScanRecord* b,
                               bool rotated) {
  TiffScanRecord r = page;
  r.recordVersion = TiffScanRecord::kVersion;
  r.pmtChannel[0] = a.pmtChannel[0];
  r.pmtVoltage[0] = a.pmtVoltage[0];
  r.laserPower[0] = a.laserPower[0];
  r.darkOffset[0] = a.darkOffset[0];
  r.sensitivity[0] = a.sensitivity[0];
  r.saturation[0] = a.saturation[0];
  if (b) {
    r.pmtChannel[1] = b->pmtChannel[0];
    r.pmtVoltage[1] = b->pmtVoltage[0];
    r.laserPower[1] = b->laserPower[0];
    r.darkOffset[1] = b->darkOffset[0];
    r.sensitivity[1] = b->sensitivity[0];
    r.saturation[1] = b->saturation[0];
  }
  r.crossTalk.fill(0.0);
  for (std::size_t i = 0; i < 4; ++i) r.crossTalk[i + 4 * i] = 1.0;
  r.pixelSizeX = a.pixelSizeX;
  r.pixelSizeY = a.pixelSizeY;
  r.scanIdText = a.scanIdText;
  r.serialNumber = a.serialNumber;
  r.reScans = a.reScans;
  r.xBinning = a.xBinning;
  r.yBinning = a.yBinning;
  r.barcode = a.barcode;
  r.scanStatus = a.scanStatus;
  r.scanStatusMore = a.scanStatusMore;
  r.decimation = a.decimation;
  r.decimationFactor = a.decimationFactor;
  r.percentAutoFocusHold = a.percentAutoFocusHold;
  r.glassThickness = a.glassThickness;
  r.reserved1012 = a.reserved1012;
  r.sourceGuid = a.fileGuid;
  r.reserved1016.fill(0);
  r.reserved1032.fill(0);
  r.merged = 1;
  r.cropRegion = a.cropRegion;
  r.scanRegion = a.scanRegion;
  if (rotated) {
    std::swap(r.cropRegion[2], r.cropRegion[3]);
    std::swap(r.scanRegion[2], r.scanRegion[3]);
  } else {
    r.lineLength = a.lineLength;
    r.orientation = a.orientation;
  }
  return r;
}

// What the line-offset correction adds to every sample of a row: even rows move by half
// the offset one way, odd rows the other way (the odd half rounded up on the side that
// is lowered).
long long DdnShift(int ddn, bool oddRow) {
  const long long magnitude = ddn < 0 ? -static_cast<long long>(ddn) : ddn;
  const long long down = (magnitude + 1) / 2;  // ceil(|d| / 2)
  const long long up = magnitude / 2;          // floor(|d| / 2)
  if (!oddRow) return ddn < 0 ? -down : up;
  return ddn > 0 ? -down : up;
}

// Corrects one row in place; samples end within 0 and `maximum`. Samples hold at most 20
// bits and a shift at most 2^30, so 32-bit sums cannot overflow (and vectorise).
template <class T>
void CorrectRow(T* line, std::uint32_t width, int ddn, bool oddRow, int maximum) {
  const auto shift = static_cast<std::int32_t>(DdnShift(ddn, oddRow));
  const std::int32_t top = std::max(maximum, 0);
  for (std::uint32_t j = 0; j < width; ++j)
    line[j] = static_cast<T>(std::clamp<std::int32_t>(static_cast<std::int32_t>(line[j]) + shift, 0, top));
}

// Copies a row of 16-bit samples, corrected when `ddn` asks for it: one pass over them.
void CopyRow16(const std::uint16_t* from, std::uint16_t* to, std::uint32_t count, int ddn, bool oddRow,
               int maximum) {
  if (ddn == 0) {
    std::memcpy(to, from, std::size_t{count} * sizeof(std::uint16_t));
    return;
  }
  tessary::detail::ShiftSamples(from, to, count, static_cast<std::int32_t>(DdnShift(ddn, oddRow)),
                                std::max(maximum, 0));
}

void LogReadFailure(TiffHandler& source, std::uint32_t row) {
  const int error = errno;
  LogError("'%s' can't read scanline (%u) %s [error code: %d]", source.GetFilePath().c_str(), row,
           ErrorText(error).c_str(), error);
}

void LogWriteFailure(TiffHandler& destination, std::uint32_t row) {
  const int error = destination.LastError();
  LogError("'%s' can't write scanline (%u) %s [error code: %d]", destination.GetFilePath().c_str(), row,
           ErrorText(error).c_str(), error);
}

std::uint32_t RowsPerStrip(TIFF* tif) {
  std::uint32_t rows = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
  return rows;
}

// A source's rows in memory, each at its own address. Where the file holds them
// uncompressed in this machine's byte order they are read in place from the mapped file,
// without a copy, whatever order the merge needs them in; otherwise libtiff reads the
// image whole into memory.
class SourceRows {
 public:
  bool Open(TiffHandler& source, const tessary::detail::TiffFile* file, std::uint32_t rows,
            std::size_t rowBytes) {
    rows_ = rows;
    rowBytes_ = rowBytes;
    if (rows == 0) return true;
    if (file && MapStrips(source.GetTiffPtr(), *file)) return true;
    return ReadWhole(source);
  }

  const std::uint8_t* Row(std::uint32_t r) const {
    return base_ + offsets_[r / rowsPerStrip_] + std::size_t{r % rowsPerStrip_} * rowBytes_;
  }

  // Gives back the memory that rows [first, first + count), read for now, hold in the
  // mapping (the file keeps them; a later read maps them again); a merge would otherwise
  // hold a whole channel's pages at its end.
  void Release(std::uint32_t first, std::uint32_t count) const {
    if (!mapped_ || count == 0) return;
    // In runs of rows that lie one after another: strips need not.
    for (std::uint32_t row = first, end = first + count; row < end;) {
      std::uint32_t next = row;
      while (next < end) {
        next = std::min(end, (next / rowsPerStrip_ + 1) * rowsPerStrip_);
        if (next < end && Row(next) != Row(next - 1) + rowBytes_) break;
      }
      const std::uint8_t* from = Row(row);
      mapped_.release(static_cast<std::size_t>(from - base_),
                      static_cast<std::size_t>(Row(next - 1) + rowBytes_ - from));
      row = next;
    }
  }

  // Whether rows [first, first + count) lie one after another in memory.
  bool Contiguous(std::uint32_t first, std::uint32_t count) const {
    if (count == 0) return true;
    const std::size_t stripBytes = std::size_t{rowsPerStrip_} * rowBytes_;
    for (std::uint32_t s = first / rowsPerStrip_; s < (first + count - 1) / rowsPerStrip_; ++s)
      if (offsets_[s + 1] != offsets_[s] + stripBytes) return false;
    return true;
  }

 private:
  bool MapStrips(TIFF* tif, const tessary::detail::TiffFile& file) {
    std::uint16_t planar = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    if (!tessary::detail::SamplesStoredAsIs(tif) || planar != PLANARCONFIG_CONTIG || TIFFIsTiled(tif))
      return false;
    const std::uint32_t rowsPerStrip = std::min(RowsPerStrip(tif), rows_);
    if (rowsPerStrip == 0) return false;
    const std::uint32_t strips = (rows_ + rowsPerStrip - 1) / rowsPerStrip;
    const std::uint64_t* offsets = nullptr;
    const std::uint64_t* counts = nullptr;
    if (TIFFNumberOfStrips(tif) < strips || !TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) ||
        !TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) || !offsets || !counts)
      return false;
    platform::MappedFile mapped = file.Map();
    if (!mapped) return false;
    // Every row must lie within the file: a short strip is left to libtiff to report. A
    // strip at an odd offset (which libtiff never writes) could not be read as 16-bit
    // samples in place.
    for (std::uint32_t s = 0; s < strips; ++s) {
      const std::uint64_t bytes = std::uint64_t{std::min(rowsPerStrip, rows_ - s * rowsPerStrip)} * rowBytes_;
      if (counts[s] < bytes || offsets[s] > mapped.size() || mapped.size() - offsets[s] < bytes ||
          offsets[s] % alignof(std::uint16_t) != 0)
        return false;
    }
    offsets_.assign(offsets, offsets + strips);
    rowsPerStrip_ = rowsPerStrip;
    mapped_ = std::move(mapped);
    base_ = mapped_.data();
    return true;
  }

  bool ReadWhole(TiffHandler& source) {
    owned_ = std::make_unique_for_overwrite<std::uint8_t[]>(std::size_t{rows_} * rowBytes_);
    for (std::uint32_t r = 0; r < rows_; ++r) {
      if (TIFFReadScanline(source.GetTiffPtr(), owned_.get() + std::size_t{r} * rowBytes_, r, 0) < 0) {
        LogReadFailure(source, r);
        return false;
      }
    }
    offsets_.assign(1, 0);
    rowsPerStrip_ = rows_;
    base_ = owned_.get();
    return true;
  }

  std::uint32_t rows_ = 0;
  std::size_t rowBytes_ = 0;
  std::uint32_t rowsPerStrip_ = 1;
  std::vector<std::uint64_t> offsets_;
  const std::uint8_t* base_ = nullptr;
  platform::MappedFile mapped_;
  std::unique_ptr<std::uint8_t[]> owned_;
};

// Writes a destination's rows in order, whole strips at a time straight from the
// caller's memory: an uncompressed strip goes to the file as it is, without a copy
// through libtiff's buffer; a compressed one goes through the codec.
//
// Rows can also be written behind: a thread of the writer's own writes them while the
// caller makes the next ones, so that the copy into the file (and the codec) cost no time
// of their own. Only that thread touches the destination until Finish().
class StripWriter {
 public:
  StripWriter(TiffHandler& destination, std::uint32_t rows, std::size_t rowBytes)
      : destination_(destination),
        rows_(rows),
        rowBytes_(rowBytes),
        rowsPerStrip_(std::clamp(RowsPerStrip(destination.GetTiffPtr()), 1u, std::max(rows, 1u))),
        raw_(tessary::detail::SamplesStoredAsIs(destination.GetTiffPtr())) {}

  StripWriter(const StripWriter&) = delete;
  StripWriter& operator=(const StripWriter&) = delete;

  // Waits for the rows handed over: their memory may go once the writer has.
  ~StripWriter() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  // Whether strips go out untouched (so that they may come from read-only memory).
  bool Raw() const { return raw_; }

  // A number of rows near `wanted` that makes whole strips.
  std::uint32_t BlockRows(std::uint32_t wanted) const {
    return std::max(rowsPerStrip_, wanted / rowsPerStrip_ * rowsPerStrip_);
  }

  // Writes rows [first, first + count), which start a strip and end one (or the image).
  bool Write(const std::uint8_t* data, std::uint32_t first, std::uint32_t count) {
    TIFF* tif = destination_.GetTiffPtr();
    // Compressing is what takes the time: the strips are compressed on every thread at once.
    if (!raw_ && tessary::detail::StripEncoder::Suits(tif)) {
      if (!encoder_) encoder_ = std::make_unique<tessary::detail::StripEncoder>(tif, rows_);
      if (encoder_->Write(data, first, count)) return true;
      LogWriteFailure(destination_, first);
      return false;
    }
    for (std::uint32_t row = first; row < first + count;) {
      const std::uint32_t n = std::min({rowsPerStrip_, first + count - row, rows_ - row});
      const auto bytes = static_cast<tmsize_t>(std::size_t{n} * rowBytes_);
      auto* strip = const_cast<std::uint8_t*>(data + std::size_t{row - first} * rowBytes_);
      const std::uint32_t index = row / rowsPerStrip_;
      const tmsize_t written = raw_ ? TIFFWriteRawStrip(tif, index, strip, bytes)
                                    : TIFFWriteEncodedStrip(tif, index, strip, bytes);
      if (written != bytes) {
        LogWriteFailure(destination_, row);
        return false;
      }
      row += n;
    }
    return true;
  }

  // Hands rows [first, first + count) over to be written behind, once those handed over
  // before are written; false when a write failed. `data` must stay as it is until the
  // next call or Finish().
  bool WriteBehind(const std::uint8_t* data, std::uint32_t first, std::uint32_t count) {
    if (!Finish()) return false;
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { Run(); });
      } catch (const std::system_error&) {
        return Write(data, first, count);  // no thread to be had: written here instead
      }
    }
    {
      std::lock_guard lock(mutex_);
      job_ = Job{data, first, count};
    }
    wake_.notify_one();
    return true;
  }

  // Waits for the rows handed over; false when any write failed.
  bool Finish() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return !job_; });
    return ok_;
  }

 private:
  struct Job {
    const std::uint8_t* data;
    std::uint32_t first;
    std::uint32_t count;
  };

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return job_ || stop_; });
      if (!job_) return;
      const Job job = *job_;
      lock.unlock();
      const bool ok = Write(job.data, job.first, job.count);
      lock.lock();
      ok_ = ok_ && ok;
      job_.reset();
      done_.notify_all();
    }
  }

  TiffHandler& destination_;
  std::uint32_t rows_;
  std::size_t rowBytes_;
  std::uint32_t rowsPerStrip_;
  bool raw_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::optional<Job> job_;
  bool ok_ = true;
  bool stop_ = false;
  std::unique_ptr<tessary::detail::StripEncoder> encoder_;
  std::thread thread_;
};

// Asks the processor to start loading a range it will read soon.
void Prefetch(const std::uint8_t* p, std::size_t bytes) {
  for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(p + at);
}

std::uint32_t ImageLength(TiffHandler& h) {
  std::uint32_t rows = 0;
  TIFFGetField(h.GetTiffPtr(), TIFFTAG_IMAGELENGTH, &rows);
  return rows;
}

// The source's lines hold `width` samples of `bytes` each, as the copy expects.
bool SourceLayoutIs(TiffHandler& source, std::uint32_t width, int bytes) {
  if (TIFFIsTiled(source.GetTiffPtr()) ||
      TIFFScanlineSize64(source.GetTiffPtr()) !=
          static_cast<std::uint64_t>(width) * static_cast<unsigned>(bytes)) {
    LogError("'%s': the scan lines do not have the expected layout", source.GetFilePath().c_str());
    return false;
  }
  return true;
}

void CopyCountedTag(TIFF* source, TIFF* destination, std::uint32_t tag) {
  std::uint16_t count = 0;
  void* data = nullptr;
  if (TIFFGetField(source, tag, &count, &data) && data && count > 0)
    TIFFSetField(destination, tag, count, data);
}

}  // namespace

MultiChannelTiffHandler::MultiChannelTiffHandler(std::string label) : m_strLabel(std::move(label)) {
  InstallTiffTagExtender();
}

MultiChannelTiffHandler::~MultiChannelTiffHandler() = default;

// ---------------------------------------------------------------- folders and names

std::string MultiChannelTiffHandler::GetTempScanPath() {
  const std::string install = InstallFolder();
  // Without an install folder the system's temporary folder stands in for "<Path>/Temp".
  const std::string fallback =
      install.empty() ? platform::tempDirectory() : platform::joinPath(install, "Temp");
  return CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).ReadString("TemporaryImageFolder", fallback);
}

std::string MultiChannelTiffHandler::GetTempScanFile(long index) {
  const std::string folder = GetTempScanPath();
  if (!platform::directoryExists(folder) && !platform::createDirectories(folder))
    LogAndThrow(FormatText("Failed to Create temporary Path '%s' -- Cannot create temporary tiff file",
                           folder.c_str()));
  const std::string name = platform::uniqueTempFile(folder, "SCN");
  if (name.empty()) {
    const int error = errno;
    LogAndThrow(FormatText("%s -- %s", folder.c_str(), ErrorText(error).c_str()));
  }
  LogInfo("Creating Temporary Scan Output for channel %ld as '%s'", index + 1, name.c_str());
  return name;
}

std::int64_t MultiChannelTiffHandler::EstimateScanFileBytes(unsigned long pixelsPerLine, unsigned long lines,
                                                            int depth, int channels, int xMicrons) {
  const auto pixels = static_cast<std::int64_t>(pixelsPerLine) * static_cast<std::int64_t>(lines);
  std::int64_t perChannel = depth / 8 * pixels + kMiB;
  const std::int64_t k = xMicrons > 0 ? 10 / xMicrons : 0;
  if (k > 0) perChannel += 2 * pixels / (k * k) + kMiB;
  return channels * perChannel;
}

void MultiChannelTiffHandler::CheckForScanFileSpace(const std::string& file, unsigned long pixelsPerLine,
                                                    unsigned long lines, int depth, int channels,
                                                    int xMicrons, int /*yMicrons*/, bool /*decimatedSet*/) {
  const std::string folder = FolderOf(file);
  CheckFolderSpace(folder, file, EstimateScanFileBytes(pixelsPerLine, lines, depth, channels, xMicrons));
  // A folder that cannot be made fails the file's creation, which says why with the path.
  if (!platform::directoryExists(folder)) (void)platform::createDirectories(folder);
}

void MultiChannelTiffHandler::CheckSpace(const std::string& scanFile, unsigned long pixelsPerLine,
                                         unsigned long lines, int xMicrons) {
  const std::int64_t required = EstimateScanFileBytes(pixelsPerLine, lines, static_cast<int>(m_nDepth),
                                                      static_cast<int>(m_nChannels), xMicrons);
  const std::string target = FolderOf(scanFile);
  const std::string temp = GetTempScanPath();
  // The temporary files and the merged image exist side by side until the merge is done.
  const std::string targetDrive = platform::mountPoint(target);
  const bool sameDrive = !targetDrive.empty() && targetDrive == platform::mountPoint(temp);
  CheckFolderSpace(temp, temp, required);
  CheckFolderSpace(target, scanFile, sameDrive ? 2 * required : required);
  // A folder that cannot be made fails the move into it, which says why with the path.
  if (!platform::directoryExists(target)) (void)platform::createDirectories(target);
}

bool MultiChannelTiffHandler::GetLocalDataDirectory(const std::string& file, std::string& folder) {
  const auto kind = tessary::detail::DriveKind(file);
  if (kind != platform::DriveKind::remote && kind != platform::DriveKind::noRoot) return false;
  const std::string install = InstallFolder();
  if (install.empty()) {
    LogError("No local backup folder for '%s': the installation folder is not set", file.c_str());
    return false;
  }
  folder = platform::joinPath(install, "NetDataBackup");
  return platform::directoryExists(folder) || platform::createDirectories(folder);
}

bool MultiChannelTiffHandler::GenLocalFileName(const std::string& file, const std::string& folder,
                                               std::string& result) {
  const std::string stem = platform::stemOf(file);
  const std::string extension = platform::extensionOf(file);
  std::size_t digitsAt = stem.size();
  while (digitsAt > 0 && stem[digitsAt - 1] >= '0' && stem[digitsAt - 1] <= '9') --digitsAt;
  if (digitsAt == stem.size()) return false;
  const std::string prefix = stem.substr(0, digitsAt);
  const std::string digits = stem.substr(digitsAt);

  // A name is taken when the image or any file the merge may write for it exists.
  auto taken = [&](const std::string& base) {
    if (platform::fileExists(platform::joinPath(folder, base + extension))) return true;
    for (int channel = 0; channel < 4; ++channel) {
      const std::string name = TiffHandler::ChannelName(channel);
      if (platform::fileExists(platform::joinPath(folder, base + "_" + name + ".tif")) ||
          platform::fileExists(platform::joinPath(folder, base + "_Small_" + name + ".tif")))
        return true;
    }
    return false;
  };
  if (!taken(stem)) {
    result = platform::joinPath(folder, stem + extension);
    return true;
  }
  if (digits.size() > 2 && digits.find_first_not_of('0') != std::string::npos &&
      digits.find_first_not_of('0') < digits.size() - 2)
    return false;  // already 100 or more
  for (long number = std::strtol(digits.c_str(), nullptr, 10) + 1; number < 100; ++number) {
    const std::string base = prefix + FormatText("%.2ld", number);
    if (!taken(base)) {
      result = platform::joinPath(folder, base + extension);
      return true;
    }
  }
  return false;
}

void MultiChannelTiffHandler::ChangeSuffixAndExtension(std::string& path, const std::string& suffix,
                                                       const std::string& extension) {
  const auto slash = path.find_last_of('/');
  const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  const std::string name = path.substr(nameAt);
  if (name.empty() || name == "." || name == "..") return;
  const auto dot = name.rfind('.');
  const std::string base = dot != std::string::npos && dot > 0 ? name.substr(0, dot) : name;
  std::string ext = extension;
  if (!ext.empty() && ext.front() != '.') ext.insert(0, ".");
  path = path.substr(0, nameAt) + base + suffix + ext;
}

// ---------------------------------------------------------------- the scan

void MultiChannelTiffHandler::CreateTiff(const char* scanFile, unsigned long pixelsPerLine,
                                         unsigned long lines, int depth, int channels, int xMicrons,
                                         int yMicrons, bool decimatedSet) {
  if (m_nFileCount > 0) CloseAndRemoveScan();
  m_strScanFileName = scanFile ? scanFile : "";
  if (channels < 1 || channels > 2 || (depth != 16 && depth != 32))
    LogAndThrow(FormatText("For %s : a scan of %d channels at %d bits cannot be written",
                           m_strScanFileName.c_str(), channels, depth));
  m_nChannels = static_cast<unsigned>(channels);
  m_nDepth = static_cast<unsigned>(depth);
  m_bDecimatedSet = decimatedSet;
  m_nFileCount = 0;
  CheckSpace(m_strScanFileName, pixelsPerLine, lines, xMicrons);

  const unsigned total = decimatedSet ? 2 * m_nChannels : m_nChannels;
  const int decimation = xMicrons > 0 ? 10 / xMicrons : 0;
  for (unsigned i = 0; i < total; ++i) {
    const std::string temp = GetTempScanFile(static_cast<long>(i));
    const bool decimated = i >= m_nChannels;
    // The channel file's size is known from the scan's size: past what classic TIFF
    // addresses it is 64-bit TIFF from the start.
    const std::uint64_t rows =
        decimated && decimation > 0 ? lines / static_cast<unsigned>(decimation) : lines;
    const std::uint64_t samples =
        decimated && decimation > 0 ? pixelsPerLine / static_cast<unsigned>(decimation) : pixelsPerLine;
    const std::uint64_t bytes = rows * samples * (decimated ? 2u : static_cast<unsigned>(depth) / 8) +
                                kPageOverhead + kOverheadPerRow * rows;
    const bool big = NeedsBigTiff(bytes);
    if (big)
      LogInfo("For %s : '%s' is written as 64-bit TIFF (BigTIFF): %llu bytes expected",
              m_strScanFileName.c_str(), temp.c_str(), static_cast<unsigned long long>(bytes));
    try {
      m_nFileCount = i + 1;
      if (m_Files[i].CreateScratchTiff(temp.c_str(), pixelsPerLine, decimated ? 16 : depth,
                                       decimated ? decimation : 0, big) != 0)
        LogAndThrow(FormatText("For %s : cannot set up lines of %lu samples in '%s'",
                               m_strScanFileName.c_str(), pixelsPerLine, temp.c_str()));
      m_Files[i].SetResolution(static_cast<unsigned>(std::max(xMicrons, 0)),
                               static_cast<unsigned>(std::max(yMicrons, 0)));
    } catch (...) {
      (void)platform::removeFile(temp);  // clean-up after the failure being thrown on
      CloseAndRemoveScan();
      throw;
    }
  }
}

TiffHandler* MultiChannelTiffHandler::GetTiffByChannel(int i) {
  return i >= 0 && i < 4 ? &m_Files[static_cast<std::size_t>(i)] : nullptr;
}

void MultiChannelTiffHandler::SetBarcode(const char* text) {
  for (unsigned i = 0; i < m_nFileCount; ++i) m_Files[i].SetBarcode(text);
}
void MultiChannelTiffHandler::SetScanStatus(const char* text) {
  for (unsigned i = 0; i < m_nFileCount; ++i) m_Files[i].SetScanStatus(text);
}
void MultiChannelTiffHandler::SetPercentAutoFocusHold(double value) {
  for (unsigned i = 0; i < m_nFileCount; ++i) m_Files[i].SetPercentAutoFocusHold(value);
}
void MultiChannelTiffHandler::SetGlassThickness(double value) {
  for (unsigned i = 0; i < m_nFileCount; ++i) m_Files[i].SetGlassThickness(value);
}
void MultiChannelTiffHandler::SetDyxScanIDInfo(const char* scanId, int pass) {
  for (unsigned i = 0; i < m_nFileCount; ++i) m_Files[i].SetDyxScanIDInfo(scanId, pass);
}
void MultiChannelTiffHandler::SetScanDDNInfo(int ddn1, int ddn2) {
  for (unsigned i = 0; i < m_nFileCount; ++i) m_Files[i].SetScanDDNInfo(ddn1, ddn2);
}
void MultiChannelTiffHandler::SetBinning(unsigned int x, unsigned int y) {
  for (unsigned i = 0; i < m_nFileCount; ++i) {
    m_Files[i].SetXBinning(static_cast<int>(x));
    m_Files[i].SetYBinning(static_cast<int>(y));
  }
}

namespace {
// Saves a page whose pixels were copied; a failed copy or save throws the new file away.
bool SavePageOrDiscard(TiffHandler& out, int copied, const std::string& target) {
  if (copied != 0) {
    out.Discard();
    return false;
  }
  if (!out.Save()) {
    LogError("%s: Failed to write Scan -- %s", target.c_str(), ErrorText(out.LastError()).c_str());
    out.Discard();
    return false;
  }
  return true;
}
}  // namespace

int MultiChannelTiffHandler::CloseAndSaveScan(int compression, int noDdnCorrection, int ddn1, int ddn2,
                                              bool flipAndRotate) {
  if (m_nFileCount == 0) {
    LogError("For %s : there is no scan to save", m_strScanFileName.c_str());
    return -1;
  }
  // A channel without a single line cannot become an image (nor a readable TIFF file).
  for (unsigned i = 0; i < m_nChannels; ++i) {
    if (!m_Files[i].IsOpen() || ImageLength(m_Files[i]) == 0) {
      LogError("For %s : no scan line was written; there is nothing to save", m_strScanFileName.c_str());
      CloseAndRemoveScan();
      return -1;
    }
  }
  // Fewer lines than one decimated block: the image goes without its decimated pages.
  for (unsigned i = m_nChannels; m_bDecimatedSet && i < m_nFileCount; ++i) {
    if (m_Files[i].IsOpen() && ImageLength(m_Files[i]) > 0) continue;
    LogWarning("For %s : the scan is too short for decimated pages; they are left out",
               m_strScanFileName.c_str());
    for (unsigned j = m_nChannels; j < m_nFileCount; ++j) {
      const std::string path = m_Files[j].GetFilePath();
      m_Files[j].Discard();
      (void)platform::removeFile(path);  // an unused file's leftover harms nothing
    }
    m_nFileCount = m_nChannels;
    m_bDecimatedSet = false;
  }
  const std::string now = platform::formatLocalTime("%Y:%m:%d %H:%M:%S");
  const std::string computer = platform::computerName();
  if (m_bDecimatedSet) {
    for (unsigned i = m_nChannels; i < m_nFileCount; ++i) {
      int channel = 0;
      m_Files[i - m_nChannels].GetPMTChannel(channel);
      m_Files[i].SetPMTChannel(channel);
    }
  }
  bool allWritten = true;
  for (unsigned i = 0; i < m_nFileCount; ++i) {
    TiffHandler& f = m_Files[i];
    m_TempPaths[i] = f.GetFilePath();
    m_FileChannel[i] = 0;
    f.GetPMTChannel(m_FileChannel[i]);
    m_FileDecimated[i] = m_bDecimatedSet && i >= m_nChannels;
    f.SetComputerNameA(computer.c_str());
    f.SetDateTime(now.c_str());
    f.SetCropRegion(0, 0, 0, 0);
    f.WriteVbqStru();
    if (f.Close() != 0) allWritten = false;
  }

  int result = -1;
  if (!allWritten) {
    // Incomplete channel files are no image: they stay where they are, nothing is made of them.
    LogError("For %s : the scan data could not be written completely", m_strScanFileName.c_str());
    for (unsigned i = 0; i < m_nFileCount; ++i)
      LogError("For %s : scan data kept in '%s'", m_strScanFileName.c_str(), m_TempPaths[i].c_str());
    m_nFileCount = 0;
    return -1;
  }
  {
    try {
      result = MergeInto(m_strScanFileName, compression, noDdnCorrection, ddn1, ddn2, flipAndRotate);
    } catch (const std::string&) {
      // The target could not be created or written: on a network drive the image goes
      // into the local backup folder instead.
      result = -1;
      std::string folder, local;
      if (GetLocalDataDirectory(m_strScanFileName, folder) &&
          GenLocalFileName(m_strScanFileName, folder, local)) {
        const std::string message =
            FormatText("Network drive became unaccessible for file: %s; File backed-up into: %s",
                       m_strScanFileName.c_str(), local.c_str());
        int backup = -1;
        try {
          backup = MergeInto(local, compression, noDdnCorrection, ddn1, ddn2, flipAndRotate);
        } catch (const std::string&) {
          backup = -1;
        }
        if (backup == 0) {
          LogInfoNoFormat(message.c_str());
          RemoveTemporaryFiles();
          m_nFileCount = 0;
          throw CNetworkFailedRedirected(message);
        }
      }
    }
  }

  if (result == 0 || RecoverFromMergeFailure() == 0) {
    RemoveTemporaryFiles();
  } else {
    for (unsigned i = 0; i < m_nFileCount; ++i)
      LogError("For %s : scan data kept in '%s'", m_strScanFileName.c_str(), m_TempPaths[i].c_str());
  }
  m_nFileCount = 0;
  return result;
}

void MultiChannelTiffHandler::CloseAndRemoveScan() {
  for (unsigned i = 0; i < m_nFileCount; ++i) {
    const std::string path = m_Files[i].GetFilePath();
    m_Files[i].Discard();
    if (!path.empty()) (void)platform::removeFile(path);  // missing already is fine
  }
  m_nFileCount = 0;
}

void MultiChannelTiffHandler::RemoveTemporaryFiles() {
  for (unsigned i = 0; i < m_nFileCount; ++i) {
    LogDebug(1, "Removing temporary file '%s'", m_TempPaths[i].c_str());
    // The name goes now; the blocks are freed off the path that waits for the next slide.
    if (!platform::removeFileDeferred(m_TempPaths[i]))
      LogWarning("Temporary file '%s' could not be removed: %s", m_TempPaths[i].c_str(),
                 platform::systemErrorText(platform::lastError()).c_str());
  }
}

std::string MultiChannelTiffHandler::FileSuffix(unsigned i) const {
  std::string suffix =
      (m_FileDecimated[i] ? "_Small_" : "_") + std::string(TiffHandler::ChannelName(m_FileChannel[i]));
  // Two files of one channel must not end up under one name.
  for (unsigned j = 0; j < i; ++j)
    if (m_FileChannel[j] == m_FileChannel[i] && m_FileDecimated[j] == m_FileDecimated[i])
      return suffix + "_" + std::to_string(i + 1);
  return suffix;
}

int MultiChannelTiffHandler::RecoverFromMergeFailure() {
  for (unsigned i = 0; i < m_nFileCount; ++i) {
    std::string target = m_strScanFileName;
    ChangeSuffixAndExtension(target, FileSuffix(i), "tif");
    int error = 0;
    if (!tessary::detail::CopyFileReplacing(m_TempPaths[i], target, error)) {
      LogError("Failed to copy '%s' to '%s' %s [error code: %d]", m_TempPaths[i].c_str(), target.c_str(),
               ErrorText(error).c_str(), error);
      return -1;
    }
    LogInfo("Scan data of '%s' recovered into '%s'", m_strScanFileName.c_str(), target.c_str());
  }
  return 0;
}

int MultiChannelTiffHandler::MergeInto(const std::string& target, int compression, int noDdnCorrection,
                                       int ddn1, int ddn2, bool flipAndRotate) {
  return flipAndRotate ? MergeTiffsFlipAndRotate(target, compression, noDdnCorrection, ddn1, ddn2)
                       : MergeTiffs(target, compression, noDdnCorrection, ddn1, ddn2);
}

// ---------------------------------------------------------------- merging

int MultiChannelTiffHandler::MergeTiffs(const std::string& target, int compression, int noDdnCorrection,
                                        int ddn1, int ddn2) {
  struct Page {
    unsigned file;
    bool decimated;
    int ddn;
  };
  const unsigned full = m_bDecimatedSet ? m_nFileCount / 2 : m_nFileCount;
  std::vector<Page> pages;
  for (unsigned i = 0; i < full; ++i) pages.push_back({i, false, i == 0 ? ddn1 : ddn2});
  if (m_bDecimatedSet)
    for (unsigned i = 0; i < full; ++i) pages.push_back({full + i, true, 0});

  // The records as they went into the channel files, and the size of the image's pixels.
  std::array<TiffScanRecord, 4> records{};
  std::array<unsigned long, 4> lineLengths{};
  std::uint64_t bytes = 0;
  for (unsigned i = 0; i < m_nFileCount; ++i) {
    TiffHandler source;
    const int opened = source.OpenTiff(m_TempPaths[i].c_str());
    if (opened != 0) return opened;
    if (!source.GetStru()) {
      LogError("'%s' holds no scan record", m_TempPaths[i].c_str());
      return -1;
    }
    records[i] = *source.GetStru();
    lineLengths[i] = source.GetLineLength();
    const std::uint64_t rows = ImageLength(source);
    const bool packed = source.GetDepth() == 32 && !(m_bDecimatedSet && i >= full);
    const std::uint64_t rowBytes = packed ? std::uint64_t{4} * TiffHandler::PackedLineLength(lineLengths[0])
                                          : std::uint64_t{2} * lineLengths[i];
    bytes += rows * rowBytes + kPageOverhead + kOverheadPerRow * rows;
  }

  // Writes the whole image into `out`, in the 64-bit form when `big`.
  const auto writeImage = [&](TiffHandler& out, bool big) -> int {
    out.CreateFile(target.c_str(), false, big);  // throws when the target cannot be created
    for (const Page& page : pages) {
      TiffHandler source;
      const int opened = source.OpenTiff(m_TempPaths[page.file].c_str());
      if (opened != 0) {
        out.Discard();
        return opened;
      }
      const TiffScanRecord& own = records[page.file];
      const int depth = source.GetDepth();
      if (page.decimated)
        out.SetupTiff(lineLengths[0], static_cast<int>(m_nFileCount), 16, own.decimation, true, false);
      else
        out.SetupTiff(lineLengths[0], static_cast<int>(m_nFileCount), depth, 0, true, true);
      // The source's pixel sizes already hold its decimation: they are written as they are.
      out.WriteResolution(own.pixelSizeX, own.pixelSizeY);
      out.SetCompression(compression == 1);
      out.SetImageDescription(TiffHandler::ChannelName(m_FileChannel[page.file]));

      TiffScanRecord record =
          BuildPageRecord(*out.GetStru(), records[0], full > 1 ? &records[1] : nullptr, false);
      record.decimatedSetPresent = m_bDecimatedSet ? 1 : 0;
      record.lineLength = static_cast<double>(out.GetLineLength());
      if (m_bDecimatedSet) record.channelCount = static_cast<std::int32_t>(full);
      if (page.decimated) {
        record.decimation = own.decimation;
        record.decimationFactor = own.decimationFactor;
        record.pixelSizeX = own.pixelSizeX;
        record.pixelSizeY = own.pixelSizeY;
      }
      *out.GetStru() = record;
      out.WriteVbqStru();
      CopyTags(source, out, false);
      if (out.IsPacked()) {
        TIFFSetField(out.GetTiffPtr(), TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(out.GetStoredWidth()));
        TIFFSetField(out.GetTiffPtr(), TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(out.GetTiffPtr(), 0));
      }

      // Decimated rows are means over lines of both scan directions: no line offset to correct.
      const int ddn = noDdnCorrection == 0 && !page.decimated ? page.ddn : 0;
      const int copied = depth == 32 && !page.decimated ? CopyImage32(source, out, ddn, Maximum32(own))
                                                        : CopyImage16(source, out, ddn, Maximum16(own));
      source.Close();
      if (!SavePageOrDiscard(out, copied, target)) return -1;
    }
    return out.Close() == 0 ? 0 : -1;
  };

  // Compressed pages are counted at their full size, which they hardly ever reach: an image
  // that runs into the classic limit all the same is written again in the 64-bit form.
  bool big = NeedsBigTiff(bytes);
  for (;;) {
    LogInfo("For %s : the image is written as %s (%llu bytes%s)", target.c_str(),
            big ? "64-bit TIFF (BigTIFF)" : "classic TIFF", static_cast<unsigned long long>(bytes),
            compression == 1 ? " before compression" : "");
    TiffHandler out;
    const int result = writeImage(out, big);
    if (result == 0 || big || !out.m_bClassicLimitHit) return result;
    LogWarning("For %s : the image does not fit classic TIFF; it is written again as 64-bit TIFF",
               target.c_str());
    big = true;
  }
}

int MultiChannelTiffHandler::MergeTiffsFlipAndRotate(const std::string& target, int compression,
                                                     int noDdnCorrection, int ddn1, int ddn2) {
  // Filling fresh memory is costly: one working buffer serves every file of the merge.
  std::unique_ptr<std::uint16_t[]> band;
  std::size_t bandSize = 0;
  for (unsigned i = 0; i < m_nFileCount; ++i) {
    const std::string name = TiffHandler::ChannelName(m_FileChannel[i]);
    std::string output = target;
    ChangeSuffixAndExtension(output, FileSuffix(i), "tif");

    // The rotated file holds the source's pixels, turned.
    std::uint64_t bytes = 0;
    {
      TiffHandler source;
      const int opened = source.OpenTiff(m_TempPaths[i].c_str());
      if (opened != 0) return opened;
      const std::uint64_t width = source.GetLineLength();
      bytes = width * ImageLength(source) * 2 + kPageOverhead + kOverheadPerRow * width;
    }
    const auto writeFile = [&](TiffHandler& out, bool big) -> int {
      out.CreateFile(output.c_str(), false, big);  // throws when the output cannot be created
      TiffHandler source;
      const int opened = source.OpenTiff(m_TempPaths[i].c_str());
      if (opened != 0) {
        out.Discard();
        return opened;
      }
      if (source.GetDepth() != 16 || !source.GetStru()) {
        LogError("'%s': only 16-bit channel files can be rotated", m_TempPaths[i].c_str());
        out.Discard();
        return -1;
      }
      const TiffScanRecord own = *source.GetStru();
      const std::uint32_t sourceRows = ImageLength(source);
      out.SetupTiff(sourceRows, 1, 16, 0, true, false);
      TiffScanRecord record = BuildPageRecord(*out.GetStru(), own, nullptr, true);
      record.decimatedSetPresent = 0;
      record.lineLength = sourceRows;
      TiffScanRecord::SetText(record.orientation, "FsPortUp");
      // A quarter turn swaps the axes, and with them the pixel sizes.
      out.WriteResolution(own.pixelSizeY, own.pixelSizeX);
      record.pixelSizeX = own.pixelSizeY;
      record.pixelSizeY = own.pixelSizeX;
      out.SetCompression(compression == 1);
      out.SetImageDescription(name.c_str());
      *out.GetStru() = record;
      out.WriteVbqStru();
      CopyTags(source, out, true);

      const int ddn = noDdnCorrection == 0 && !m_FileDecimated[i] ? (m_FileChannel[i] != 0 ? ddn2 : ddn1) : 0;
      const int copied = CopyImageFlipAndRotate(source, out, ddn, Maximum16(own), band, bandSize);
      source.Close();
      if (!SavePageOrDiscard(out, copied, output)) return -1;
      return out.Close() != 0 ? -1 : 0;
    };

    bool big = NeedsBigTiff(bytes);
    for (;;) {
      LogInfo("For %s : '%s' is written as %s (%llu bytes%s)", target.c_str(), output.c_str(),
              big ? "64-bit TIFF (BigTIFF)" : "classic TIFF", static_cast<unsigned long long>(bytes),
              compression == 1 ? " before compression" : "");
      TiffHandler out;
      const int result = writeFile(out, big);
      if (result == 0) break;
      if (big || !out.m_bClassicLimitHit) return result;
      LogWarning("For %s : '%s' does not fit classic TIFF; it is written again as 64-bit TIFF",
                 target.c_str(), output.c_str());
      big = true;
    }
  }
  return 0;
}

bool MultiChannelTiffHandler::NeedsBigTiff(std::uint64_t bytes) { return bytes >= s_nClassicTiffLimit; }

long MultiChannelTiffHandler::DDNCorrect(long value, int ddn, bool oddRow, int maximum) {
  return static_cast<long>(
      std::clamp<long long>(static_cast<long long>(value) + DdnShift(ddn, oddRow), 0, std::max(maximum, 0)));
}

int MultiChannelTiffHandler::CopyImage16(TiffHandler& source, TiffHandler& destination, int ddn,
                                         int maximum) {
  const auto width = static_cast<std::uint32_t>(source.GetLineLength());
  const std::uint32_t rows = ImageLength(source);
  if (!SourceLayoutIs(source, width, 2) || destination.GetStoredWidth() != width) return -1;
  const std::size_t rowBytes = std::size_t{width} * sizeof(std::uint16_t);
  SourceRows in;
  if (!in.Open(source, source.m_File.get(), rows, rowBytes)) return -1;
  // Two blocks take turns: one is written behind while the next is made. Made before the
  // writer, which reads them until it ends.
  std::unique_ptr<std::uint16_t[]> blocks;
  StripWriter writer(destination, rows, rowBytes);
  const std::uint32_t blockRows =
      writer.BlockRows(static_cast<std::uint32_t>(kBlockBytes / std::max<std::size_t>(rowBytes, 1)));
  const std::size_t blockSamples = std::size_t{blockRows} * width;
  for (std::uint32_t start = 0, turn = 0; start < rows; start += blockRows, turn ^= 1) {
    const std::uint32_t count = std::min(blockRows, rows - start);
    const std::uint8_t* data = nullptr;
    // Rows that need no change go to the file straight from the source.
    if (ddn == 0 && writer.Raw() && in.Contiguous(start, count)) {
      data = in.Row(start);
    } else {
      if (!blocks) blocks = std::make_unique_for_overwrite<std::uint16_t[]>(2 * blockSamples);
      std::uint16_t* const block = &blocks[turn * blockSamples];
      for (std::uint32_t k = 0; k < count; ++k) {
        CopyRow16(reinterpret_cast<const std::uint16_t*>(in.Row(start + k)), &block[std::size_t{k} * width],
                  width, ddn, (start + k) % 2 == 1, maximum);
      }
      data = reinterpret_cast<const std::uint8_t*>(block);
    }
    if (!writer.WriteBehind(data, start, count)) return -1;
    // The block before is written: its source rows are done with.
    if (start > 0) in.Release(start - blockRows, blockRows);
  }
  if (!writer.Finish()) return -1;
  TIFFSetField(destination.GetTiffPtr(), TIFFTAG_IMAGELENGTH, rows);
  return 0;
}

int MultiChannelTiffHandler::CopyImage32(TiffHandler& source, TiffHandler& destination, int ddn,
                                         int maximum) {
  const auto width = static_cast<std::uint32_t>(source.GetLineLength());
  const std::uint32_t rows = ImageLength(source);
  const auto packedWidth = static_cast<std::uint32_t>(TiffHandler::PackedLineLength(width));
  if (!SourceLayoutIs(source, width, 4) || destination.GetStoredWidth() != packedWidth) return -1;
  const std::size_t rowBytes = std::size_t{width} * sizeof(std::uint32_t);
  SourceRows in;
  if (!in.Open(source, source.m_File.get(), rows, rowBytes)) return -1;
  const std::size_t packedBytes = std::size_t{packedWidth} * sizeof(std::uint32_t);
  // Two blocks take turns: one is written behind while the next is made. Made before the
  // writer, which reads them until it ends.
  std::unique_ptr<std::uint32_t[]> blocks;
  StripWriter writer(destination, rows, packedBytes);
  const std::uint32_t blockRows =
      writer.BlockRows(static_cast<std::uint32_t>(kBlockBytes / std::max<std::size_t>(packedBytes, 1)));
  const std::size_t blockWords = std::size_t{blockRows} * packedWidth;
  blocks = std::make_unique_for_overwrite<std::uint32_t[]>(2 * blockWords);
  std::vector<std::uint32_t> line(width);
  for (std::uint32_t start = 0, turn = 0; start < rows; start += blockRows, turn ^= 1) {
    const std::uint32_t count = std::min(blockRows, rows - start);
    std::uint32_t* const block = &blocks[turn * blockWords];
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::uint32_t row = start + k;
      std::memcpy(line.data(), in.Row(row), rowBytes);
      // Packing keeps 20 bits: brighter samples saturate instead of wrapping.
      for (std::uint32_t& v : line) v = std::min(v, kMax20Bit);
      if (ddn != 0) CorrectRow(line.data(), width, ddn, row % 2 == 1, maximum);
      TiffHandler::PackBuffer(&block[std::size_t{k} * packedWidth], line.data(), packedWidth, width);
    }
    if (!writer.WriteBehind(reinterpret_cast<const std::uint8_t*>(block), start, count)) return -1;
    in.Release(start, count);
  }
  if (!writer.Finish()) return -1;
  TIFFSetField(destination.GetTiffPtr(), TIFFTAG_IMAGELENGTH, rows);
  return 0;
}

namespace {

using Samples8 = std::uint16_t __attribute__((vector_size(16)));
using Pairs4 = std::uint32_t __attribute__((vector_size(16)));
using Quads2 = std::uint64_t __attribute__((vector_size(16)));

// Turns 8 x 8 samples in registers: afterwards v[b][a] holds what v[a][b] held.
inline void Transpose8(Samples8 (&v)[8]) {
  Pairs4 p[8];
  for (int i = 0; i < 4; ++i) {
    p[2 * i] =
        reinterpret_cast<Pairs4>(__builtin_shufflevector(v[2 * i], v[2 * i + 1], 0, 8, 1, 9, 2, 10, 3, 11));
    p[2 * i + 1] =
        reinterpret_cast<Pairs4>(__builtin_shufflevector(v[2 * i], v[2 * i + 1], 4, 12, 5, 13, 6, 14, 7, 15));
  }
  Quads2 q[8];
  for (int i = 0; i < 2; ++i) {
    const Pairs4& a = p[4 * i];
    const Pairs4& b = p[4 * i + 2];
    const Pairs4& c = p[4 * i + 1];
    const Pairs4& d = p[4 * i + 3];
    q[4 * i] = reinterpret_cast<Quads2>(__builtin_shufflevector(a, b, 0, 4, 1, 5));
    q[4 * i + 1] = reinterpret_cast<Quads2>(__builtin_shufflevector(a, b, 2, 6, 3, 7));
    q[4 * i + 2] = reinterpret_cast<Quads2>(__builtin_shufflevector(c, d, 0, 4, 1, 5));
    q[4 * i + 3] = reinterpret_cast<Quads2>(__builtin_shufflevector(c, d, 2, 6, 3, 7));
  }
  for (int i = 0; i < 4; ++i) {
    v[2 * i] = reinterpret_cast<Samples8>(__builtin_shufflevector(q[i], q[4 + i], 0, 2));
    v[2 * i + 1] = reinterpret_cast<Samples8>(__builtin_shufflevector(q[i], q[4 + i], 1, 3));
  }
}

// Turns `rows` rows of `count` samples (a band's part of consecutive source rows) into the
// band: band row k, column `last` - i takes sample count-1-k of row i. Blocks of 8 x 8
// are turned in registers; the edges sample by sample.
void TurnStrip(const std::uint16_t* strip, std::uint32_t rows, std::uint32_t count, std::uint16_t* band,
               std::size_t stride, std::size_t last) {
  auto at = [&](std::uint32_t i, std::uint32_t x) { return strip[std::size_t{i} * count + x]; };
  const std::uint32_t fullRows = rows / 8 * 8;
  std::uint32_t k = 0;
  for (; k + 8 <= count; k += 8) {
    const std::uint32_t x0 = count - 8 - k;  // columns x0 + b become band rows k + 7 - b
    for (std::uint32_t i = 0; i < fullRows; i += 8) {
      Samples8 v[8];
      // Row i + 7 - a first: the band's columns run the other way.
      for (int a = 0; a < 8; ++a)
        std::memcpy(&v[a], &strip[std::size_t{i + 7 - a} * count + x0], sizeof v[a]);
      Transpose8(v);
      for (int b = 0; b < 8; ++b)
        std::memcpy(band + std::size_t{k + 7 - b} * stride + (last - i - 7), &v[b], sizeof v[b]);
    }
    for (std::uint32_t kk = k; kk < k + 8; ++kk)
      for (std::uint32_t i = fullRows; i < rows; ++i)
        band[std::size_t{kk} * stride + last - i] = at(i, count - 1 - kk);
  }
  for (; k < count; ++k)
    for (std::uint32_t i = 0; i < rows; ++i) band[std::size_t{k} * stride + last - i] = at(i, count - 1 - k);
}

}  // namespace

int MultiChannelTiffHandler::CopyImageFlipAndRotate(TiffHandler& source, TiffHandler& destination, int ddn,
                                                    int maximum, std::unique_ptr<std::uint16_t[]>& band,
                                                    std::size_t& bandSize) {
  const auto width = static_cast<std::uint32_t>(source.GetLineLength());
  const std::uint32_t height = ImageLength(source);
  if (!SourceLayoutIs(source, width, 2) || destination.GetStoredWidth() != height) return -1;
  if (width == 0 || height == 0) return -1;
  // Output row k is source column width-1-k read from the bottom up. Compressed output is
  // made in bands of rows, each from one pass down the source; the source is read in place
  // (mapped), so a pass reads only the columns its band needs. A pass takes the band's
  // part of a block of source rows into a strip that stays in the cache, corrects it
  // there and turns it into runs of the band's rows: reads and writes both go in runs of
  // several hundred bytes. Two bands take turns: one is written to the file on a thread of
  // its own while the next is turned, so the copy into the file costs no time of its own.
  constexpr std::uint32_t kBlock = 256;  // source rows per strip
  constexpr std::uint32_t kAhead = 8;
  SourceRows in;
  if (!in.Open(source, source.m_File.get(), height, std::size_t{width} * sizeof(std::uint16_t))) return -1;
  const std::size_t rowBytes = std::size_t{height} * sizeof(std::uint16_t);
  TIFF* const tif = destination.GetTiffPtr();
  tessary::detail::TiffFile* const file = destination.m_File.get();
  if (file && tessary::detail::SamplesStoredAsIs(tif)) {
    // Strips that go to the file as they are: their room is taken first, at the offsets
    // strips written in order get, and then the source is read once, from the top down, in
    // blocks of rows. Each block becomes a run of columns of every output row, written
    // into its place. Memory and time stay in proportion to a block, not to the image
    // (bands would read the whole source once per band).
    const std::uint32_t rowsPerStrip = std::clamp(RowsPerStrip(tif), 1u, width);
    const std::uint32_t strips = (width + rowsPerStrip - 1) / rowsPerStrip;
    static const std::uint8_t kNothing = 0;  // read by no one: reserving takes room only
    bool reserved = file->Reserve(true);
    for (std::uint32_t s = 0; reserved && s < strips; ++s) {
      const auto bytes =
          static_cast<tmsize_t>(std::size_t{std::min(rowsPerStrip, width - s * rowsPerStrip)} * rowBytes);
      reserved = TIFFWriteRawStrip(tif, s, const_cast<std::uint8_t*>(&kNothing), bytes) == bytes;
    }
    reserved = file->Reserve(false) && reserved;
    const std::uint64_t* offsets = nullptr;
    if (!reserved || !TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) || !offsets) {
      LogWriteFailure(destination, 0);
      return -1;
    }
    // A block of source rows becomes `blockRows` columns of all `width` output rows.
    const std::uint32_t blockRows = static_cast<std::uint32_t>(std::clamp<std::size_t>(
        s_nRotationBandBytes / (std::size_t{width} * sizeof(std::uint16_t)), 1, height));
    if (bandSize < std::size_t{blockRows} * width) {
      band.reset();
      band = std::make_unique_for_overwrite<std::uint16_t[]>(std::size_t{blockRows} * width);
      bandSize = std::size_t{blockRows} * width;
    }
    std::unique_ptr<std::uint16_t[]> strip;
    for (std::uint32_t r0 = 0; r0 < height; r0 += blockRows) {
      const std::uint32_t nr = std::min(height - r0, blockRows);
      // Source row r0 + i is output column height-1-r0-i: the block's columns start at
      // height-r0-nr, and its row i lands in column nr-1-i of the block.
      for (std::uint32_t j0 = 0; j0 < nr; j0 += kBlock) {
        const std::uint32_t n = std::min(nr - j0, kBlock);
        const std::uint16_t* rows = nullptr;
        if (ddn == 0 && in.Contiguous(r0 + j0, n)) {
          rows = reinterpret_cast<const std::uint16_t*>(in.Row(r0 + j0));
        } else {
          if (!strip) strip = std::make_unique_for_overwrite<std::uint16_t[]>(std::size_t{kBlock} * width);
          for (std::uint32_t i = 0; i < n; ++i)
            CopyRow16(reinterpret_cast<const std::uint16_t*>(in.Row(r0 + j0 + i)),
                      &strip[std::size_t{i} * width], width, ddn, (r0 + j0 + i) % 2 == 1, maximum);
          rows = strip.get();
        }
        TurnStrip(rows, n, width, band.get(), nr, nr - 1 - j0);
        in.Release(r0 + j0, n);
      }
      const std::uint64_t column = std::uint64_t{height - r0 - nr} * sizeof(std::uint16_t);
      for (std::uint32_t k = 0; k < width; ++k) {
        const std::uint64_t at =
            offsets[k / rowsPerStrip] + std::uint64_t{k % rowsPerStrip} * rowBytes + column;
        if (!file->Fill(&band[std::size_t{k} * nr], std::size_t{nr} * sizeof(std::uint16_t), at)) {
          LogWriteFailure(destination, k);
          return -1;
        }
      }
    }
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, width);
    return 0;
  }
  // The band is the caller's: it outlives the rows written behind.
  StripWriter writer(destination, width, rowBytes);
  const std::uint32_t bandRows =
      std::min(width, writer.BlockRows(static_cast<std::uint32_t>(
                          std::clamp<std::size_t>(s_nRotationBandBytes / rowBytes, 1, width))));
  // Every sample of a band is written before it is read: no need to clear it first.
  const std::size_t bandSamples = std::size_t{bandRows} * height;
  const int bands = bandRows < width ? 2 : 1;
  if (bandSize < bands * bandSamples) {
    band.reset();
    band = std::make_unique_for_overwrite<std::uint16_t[]>(bands * bandSamples);
    bandSize = bands * bandSamples;
    // Tiles write to many rows of the band at once: large pages keep that from costing
    // an address translation per row.
    platform::adviseLargePages(band.get(), bandSize * sizeof(std::uint16_t));
  }
  auto strip = std::make_unique_for_overwrite<std::uint16_t[]>(std::size_t{kBlock} * bandRows);
  for (std::uint32_t first = 0, turn = 0; first < width; first += bandRows, turn ^= 1) {
    const std::uint32_t count = std::min(bandRows, width - first);
    std::uint16_t* const out = band.get() + turn * bandSamples;  // a single band: turn stays 0
    // The band's source columns, leftmost first: width-first-count .. width-1-first.
    const std::size_t left = std::size_t{width - first - count} * sizeof(std::uint16_t);
    for (std::uint32_t r0 = 0; r0 < height; r0 += kBlock) {
      const std::uint32_t nr = std::min(height - r0, kBlock);
      for (std::uint32_t i = 0; i < nr; ++i) {
        // Each part lies in a page of its own: asking for later parts early lets their
        // reads overlap instead of waiting one after another.
        if (i + kAhead < nr)
          Prefetch(in.Row(r0 + i + kAhead) + left, std::size_t{count} * sizeof(std::uint16_t));
        CopyRow16(reinterpret_cast<const std::uint16_t*>(in.Row(r0 + i) + left),
                  &strip[std::size_t{i} * count], count, ddn, (r0 + i) % 2 == 1, maximum);
      }
      TurnStrip(strip.get(), nr, count, out, height, height - 1 - r0);
      // The pass is done with these rows: the next one maps them again. Kept, every pass
      // would leave its pages behind, and the whole source would end up resident.
      in.Release(r0, nr);
    }
    if (!writer.WriteBehind(reinterpret_cast<const std::uint8_t*>(out), first, count)) return -1;
  }
  if (!writer.Finish()) return -1;
  TIFFSetField(destination.GetTiffPtr(), TIFFTAG_IMAGELENGTH, width);
  return 0;
}

void MultiChannelTiffHandler::CopyTags(TiffHandler& source, TiffHandler& destination, bool swap) {
  TIFF* s = source.GetTiffPtr();
  TIFF* d = destination.GetTiffPtr();
  for (std::uint32_t tag : {kTagPrivateLong, kTagPrivateRational, kTagPrivateShort})
    CopyCountedTag(s, d, tag);
  std::uint32_t count = 0;
  const char* text = nullptr;
  if (TIFFGetField(s, kTagDescription, &count, &text) && text) {
    const std::string value(text, std::find(text, text + count, '\0'));
    TIFFSetField(d, kTagDescription, static_cast<std::uint32_t>(value.size() + 1), value.c_str());
  }
  for (std::uint32_t tag : {TIFFTAG_SOFTWARE, TIFFTAG_ARTIST, TIFFTAG_DATETIME, TIFFTAG_MAKE, TIFFTAG_MODEL,
                            TIFFTAG_HOSTCOMPUTER}) {
    const char* value = nullptr;
    if (TIFFGetField(s, tag, &value) && value) TIFFSetField(d, tag, value);
  }
  std::uint32_t width = 0, length = 0;
  std::uint16_t bits = 0;
  TIFFGetField(s, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(s, TIFFTAG_IMAGELENGTH, &length);
  TIFFGetFieldDefaulted(s, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFSetField(d, TIFFTAG_IMAGEWIDTH, swap ? length : width);
  TIFFSetField(d, TIFFTAG_IMAGELENGTH, swap ? width : length);
  TIFFSetField(d, TIFFTAG_BITSPERSAMPLE, static_cast<int>(bits));
  TIFFSetField(d, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(d, 0));
}
