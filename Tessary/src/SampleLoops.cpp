#include "SampleLoops.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VECTOR_CLONES
#endif

namespace tessary::detail {

VECTOR_CLONES void NarrowSamples(const unsigned int* samples, std::uint16_t* line, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) line[i] = static_cast<std::uint16_t>(std::min(samples[i], 65535u));
}

VECTOR_CLONES void StartColumnSums(const unsigned int* samples, std::uint64_t* sums, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) sums[i] = samples[i];
}

VECTOR_CLONES void AddColumnSums(const unsigned int* samples, std::uint64_t* sums, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) sums[i] += samples[i];
}

VECTOR_CLONES void ShiftSamples(const std::uint16_t* from, std::uint16_t* to, std::size_t count,
                                std::int32_t shift, std::int32_t top) {
  // Samples hold 16 bits and the shift at most 2^30: 32-bit sums cannot overflow.
  for (std::size_t i = 0; i < count; ++i)
    to[i] = static_cast<std::uint16_t>(std::clamp<std::int32_t>(std::int32_t{from[i]} + shift, 0, top));
}

}  // namespace tessary::detail
