#include "StripEncoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

namespace tessary::detail {

namespace {

// Raw bytes a job compresses: small enough that a batch splits into many, so that the
// threads finish together.
constexpr std::uint64_t kJobBytes = 256 << 10;
constexpr unsigned kMaxThreads = 8;
constexpr std::uint64_t kMaxStripBytes = 16 << 20;

// A file in memory that the strips of one job are encoded into.
struct MemoryFile {
  std::vector<std::uint8_t>& bytes;
  std::uint64_t pos = 0;
};

tmsize_t MemoryRead(thandle_t h, void* data, tmsize_t size) {
  auto& f = *static_cast<MemoryFile*>(h);
  if (size < 0 || f.pos >= f.bytes.size()) return 0;
  const auto n = static_cast<std::size_t>(
      std::min<std::uint64_t>(static_cast<std::uint64_t>(size), f.bytes.size() - f.pos));
  std::memcpy(data, f.bytes.data() + f.pos, n);
  f.pos += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t MemoryWrite(thandle_t h, void* data, tmsize_t size) {
  auto& f = *static_cast<MemoryFile*>(h);
  if (size < 0) return -1;
  const auto n = static_cast<std::size_t>(size);
  // Called from libtiff's C code: no exception may pass through it.
  try {
    if (f.pos + n > f.bytes.size()) f.bytes.resize(f.pos + n);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
  std::memcpy(f.bytes.data() + f.pos, data, n);
  f.pos += n;
  return size;
}

toff_t MemorySeek(thandle_t h, toff_t offset, int whence) {
  auto& f = *static_cast<MemoryFile*>(h);
  const std::uint64_t base = whence == SEEK_CUR ? f.pos : whence == SEEK_END ? f.bytes.size() : 0;
  f.pos = base + offset;
  return f.pos;
}

int MemoryClose(thandle_t) { return 0; }
toff_t MemorySize(thandle_t h) { return static_cast<MemoryFile*>(h)->bytes.size(); }
int MemoryMap(thandle_t, void**, toff_t*) { return 0; }
void MemoryUnmap(thandle_t, void*, toff_t) {}

}  // namespace

bool StripEncoder::Suits(TIFF* out) {
  std::uint16_t compression = 0, planar = 0;
  std::uint32_t rowsPerStrip = 0;
  TIFFGetFieldDefaulted(out, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(out, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(out, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
  // A strip is held whole in memory to be encoded: huge ones are left to be encoded line
  // by line.
  return compression == COMPRESSION_LZW && planar == PLANARCONFIG_CONTIG && !TIFFIsTiled(out) &&
         !TIFFIsByteSwapped(out) && std::uint64_t{rowsPerStrip} * TIFFScanlineSize64(out) <= kMaxStripBytes;
}

StripEncoder::StripEncoder(TIFF* out, std::uint32_t rows) : out_(out) {
  TIFFGetField(out, TIFFTAG_IMAGEWIDTH, &width_);
  TIFFGetFieldDefaulted(out, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip_);
  rowsPerStrip_ = std::clamp(rowsPerStrip_, 1u, std::max(rows, 1u));
  TIFFGetFieldDefaulted(out, TIFFTAG_BITSPERSAMPLE, &bits_);
  TIFFGetFieldDefaulted(out, TIFFTAG_SAMPLESPERPIXEL, &samples_);
  TIFFGetFieldDefaulted(out, TIFFTAG_COMPRESSION, &compression_);
  TIFFGetFieldDefaulted(out, TIFFTAG_PREDICTOR, &predictor_);
  TIFFGetFieldDefaulted(out, TIFFTAG_FILLORDER, &fillOrder_);
  TIFFGetFieldDefaulted(out, TIFFTAG_SAMPLEFORMAT, &sampleFormat_);
  if (!TIFFGetField(out, TIFFTAG_PHOTOMETRIC, &photometric_)) photometric_ = PHOTOMETRIC_MINISBLACK;
  rowBytes_ = TIFFScanlineSize64(out);
  const std::uint64_t stripBytes = std::max<std::uint64_t>(std::uint64_t{rowsPerStrip_} * rowBytes_, 1);
  stripsPerJob_ = static_cast<std::uint32_t>(std::max<std::uint64_t>(kJobBytes / stripBytes, 1));
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
  for (unsigned i = 1; i < threads; ++i) {
    try {
      helpers_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;  // fewer threads: the work still gets done
    }
  }
}

StripEncoder::~StripEncoder() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (auto& t : helpers_) t.join();
}

std::uint32_t StripEncoder::BatchRows() const {
  // A few jobs for each thread.
  return stripsPerJob_ * rowsPerStrip_ * static_cast<std::uint32_t>(4 * (helpers_.size() + 1));
}

void StripEncoder::Encode(Job& job) const {
  job.ok = false;
  job.file.clear();
  job.strips.clear();
  MemoryFile file{job.file};
  TIFF* t = TIFFClientOpen("strips", "w", &file, MemoryRead, MemoryWrite, MemorySeek, MemoryClose, MemorySize,
                           MemoryMap, MemoryUnmap);
  if (!t) return;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width_);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, job.rows);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<int>(bits_));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<int>(samples_));
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, static_cast<int>(photometric_));
  TIFFSetField(t, TIFFTAG_FILLORDER, static_cast<int>(fillOrder_));
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, static_cast<int>(sampleFormat_));
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip_);
  TIFFSetField(t, TIFFTAG_COMPRESSION, static_cast<int>(compression_));
  if (predictor_ != PREDICTOR_NONE) TIFFSetField(t, TIFFTAG_PREDICTOR, static_cast<int>(predictor_));
  bool ok = true;
  const std::uint32_t strips = (job.rows + rowsPerStrip_ - 1) / rowsPerStrip_;
  for (std::uint32_t s = 0; ok && s < strips; ++s) {
    const std::uint32_t rows = std::min(rowsPerStrip_, job.rows - s * rowsPerStrip_);
    const auto bytes = static_cast<tmsize_t>(rows * rowBytes_);
    auto* data = const_cast<std::uint8_t*>(job.data + std::uint64_t{s} * rowsPerStrip_ * rowBytes_);
    ok = TIFFWriteEncodedStrip(t, s, data, bytes) == bytes;
  }
  const std::uint64_t* offsets = nullptr;
  const std::uint64_t* counts = nullptr;
  if (ok && TIFFGetField(t, TIFFTAG_STRIPOFFSETS, &offsets) &&
      TIFFGetField(t, TIFFTAG_STRIPBYTECOUNTS, &counts) && offsets && counts) {
    for (std::uint32_t s = 0; s < strips; ++s) {
      if (offsets[s] > job.file.size() || job.file.size() - offsets[s] < counts[s]) ok = false;
      job.strips.emplace_back(offsets[s], counts[s]);
    }
    job.ok = ok;
  }
  TIFFCleanup(t);  // the memory file is the job's: nothing to write out
}

void StripEncoder::RunJobs() {
  for (;;) {
    std::size_t i = 0;
    {
      std::lock_guard lock(mutex_);
      if (next_ >= jobs_.size()) return;
      i = next_++;
    }
    Encode(jobs_[i]);
    std::lock_guard lock(mutex_);
    if (++finished_ == jobs_.size()) done_.notify_all();
  }
}

void StripEncoder::Work() {
  std::unique_lock lock(mutex_);
  std::uint64_t seen = 0;
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || batch_ != seen; });
    if (stop_) return;
    seen = batch_;
    lock.unlock();
    RunJobs();
    lock.lock();
  }
}

bool StripEncoder::Write(const std::uint8_t* data, std::uint32_t first, std::uint32_t count) {
  if (count == 0) return true;
  const std::uint32_t jobRows = stripsPerJob_ * rowsPerStrip_;
  const std::size_t jobs = (count + jobRows - 1) / jobRows;
  {
    std::lock_guard lock(mutex_);
    jobs_.resize(jobs);  // kept between batches: their memory files are reused
    for (std::size_t j = 0; j < jobs; ++j) {
      jobs_[j].data = data + j * jobRows * rowBytes_;
      jobs_[j].rows = std::min<std::uint32_t>(jobRows, count - static_cast<std::uint32_t>(j) * jobRows);
    }
    next_ = 0;
    finished_ = 0;
    ++batch_;
  }
  wake_.notify_all();
  RunJobs();
  {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return finished_ == jobs_.size(); });
  }
  std::uint32_t strip = first / rowsPerStrip_;
  for (const Job& job : jobs_) {
    if (!job.ok) {
      TIFFErrorExt(nullptr, TIFFFileName(out_), "Cannot compress the strips from row %u", first);
      return false;
    }
    for (const auto& [offset, size] : job.strips) {
      const auto bytes = static_cast<tmsize_t>(size);
      auto* encoded = const_cast<std::uint8_t*>(job.file.data() + offset);
      if (TIFFWriteRawStrip(out_, strip++, encoded, bytes) != bytes) return false;
    }
  }
  return true;
}

}  // namespace tessary::detail
