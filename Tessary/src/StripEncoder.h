#pragma once
// Compressing an image's strips on several threads at once. Each strip is compressed on
// its own (the codec starts afresh for every strip), so strips encoded apart, each through
// libtiff's own codec, and then written in order make the file byte for byte as writing
// them one after another would.
#include <tiffio.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tessary::detail {

class StripEncoder {
 public:
  // Whether an image being written is one this encoder can compress: LZW strips of one
  // plane in this machine's byte order.
  static bool Suits(TIFF* out);

  // `out` has its layout and codec set and `rows` rows in all.
  StripEncoder(TIFF* out, std::uint32_t rows);
  ~StripEncoder();
  StripEncoder(const StripEncoder&) = delete;
  StripEncoder& operator=(const StripEncoder&) = delete;

  // Rows at a time that keep every thread busy: a whole number of strips.
  std::uint32_t BatchRows() const;

  // Compresses rows [first, first + count), which start a strip and end one (or the
  // image), and appends their strips to the file in order. False when a strip could not
  // be encoded or written (libtiff's handlers have said why).
  bool Write(const std::uint8_t* data, std::uint32_t first, std::uint32_t count);

 private:
  struct Job {
    const std::uint8_t* data = nullptr;
    std::uint32_t rows = 0;
    std::vector<std::uint8_t> file;  // the strips encoded into a file of their own
    std::vector<std::pair<std::uint64_t, std::uint64_t>> strips;  // offset and size of each in it
    bool ok = false;
  };

  void Encode(Job& job) const;
  void Work();     // a helper thread: takes part in each batch
  void RunJobs();  // takes jobs of the current batch until none is left

  TIFF* out_;
  std::uint32_t width_ = 0, rowsPerStrip_ = 1;
  std::uint16_t bits_ = 0, samples_ = 1, compression_ = 0, predictor_ = 0, fillOrder_ = 0, photometric_ = 0,
                sampleFormat_ = 0;
  std::uint64_t rowBytes_ = 0;
  std::uint32_t stripsPerJob_ = 1;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<Job> jobs_;
  std::size_t next_ = 0;      // the next job to take
  std::size_t finished_ = 0;  // jobs of the batch done
  std::uint64_t batch_ = 0;   // counts batches, so that helpers see a new one
  bool stop_ = false;
  std::vector<std::thread> helpers_;
};

}  // namespace tessary::detail
