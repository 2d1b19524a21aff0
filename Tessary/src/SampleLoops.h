#pragma once
// Loops over every sample of a scan line or image, written so that the compiler turns
// them into vector code. Those defined in SampleLoops.cpp get a clone for processors with
// 256-bit vectors as well, chosen when the library is loaded: the portable build only has
// 128-bit ones, and these loops decide how fast lines reach the disk.
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tessary::detail {

// 16-bit samples from 32-bit ones; brighter ones saturate.
void NarrowSamples(const unsigned int* samples, std::uint16_t* line, std::size_t count);

// Column sums of the lines gathered for a decimated line: the first line starts them.
void StartColumnSums(const unsigned int* samples, std::uint64_t* sums, std::size_t count);
void AddColumnSums(const unsigned int* samples, std::uint64_t* sums, std::size_t count);

// Copies samples, each moved by `shift` and kept within 0 and `top` (`from` may be `to`).
void ShiftSamples(const std::uint16_t* from, std::uint16_t* to, std::size_t count, std::int32_t shift,
                  std::int32_t top);

// The rounded-down mean of each D x D block, from the column sums of D lines (D fixed at
// compile time for the common factors, `d` otherwise); brighter means saturate.
template <std::uint32_t D>
void AverageBlocks(const std::uint64_t* sums, std::uint16_t* line, std::uint32_t count, std::uint32_t d = D) {
  const std::uint32_t k = D != 0 ? D : d;
  const std::uint64_t block = std::uint64_t{k} * k;
  for (std::uint32_t j = 0; j < count; ++j) {
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < k; ++i) sum += sums[std::size_t{j} * k + i];
    line[j] = static_cast<std::uint16_t>(std::min<std::uint64_t>(sum / block, 65535u));
  }
}

}  // namespace tessary::detail
