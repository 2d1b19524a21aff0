#pragma once
// The ring that carries raw scan data from the read thread to the write thread. The port
// writes straight into it (at WriteSpan), the write thread copies whole lines out (Take).
// The writer never writes across the end: once its index reaches the wrap mark it starts
// again at 0 and the mark remembers where the data ends. A fill count tells a full ring
// from an empty one, so the writer never wraps onto the reader unnoticed.
//
// One thread writes, one reads. The indices, the mark and the fill count change under
// the ring's lock; the bytes themselves are copied outside it (each side only touches
// bytes the other has handed over).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

namespace lumetra::run {

struct RingGeometry {
  std::size_t capacity = 0x14000000;  // 320 MiB
  std::size_t wrapMark = 0x10000000;  // 256 MiB: where the writer starts over
  std::size_t minRoom = 0x2000000;    // 32 MiB: the room a read needs
};

class CScanDataRing {
 public:
  using Geometry = RingGeometry;

  explicit CScanDataRing(Geometry geometry = {});
  // Allocates the bytes once; false when the memory cannot be had.
  bool Allocate();
  bool IsAllocated() const { return m_pData != nullptr; }
  const Geometry& GetGeometry() const { return m_Geometry; }
  // Empty again: both indices 0, the wrap mark at its start.
  void Reset();

  // Whether the writer has at least minRoom free, counting the part before the reader
  // when the writer is ahead.
  bool HasRoom() const;
  // Where the next bytes go and how many fit there without crossing the end or the
  // reader (the writer's call: an empty ring starts over at 0).
  std::span<std::uint8_t> WriteSpan();
  // The writer stored `count` bytes at WriteSpan().
  void Advance(std::size_t count);

  // Bytes stored and not yet taken.
  std::size_t Filled() const;
  bool IsAvailable(std::size_t count) const { return Filled() >= count; }
  // Copies `out.size()` bytes out (across the wrap when needed); false when fewer are stored.
  bool Take(std::span<std::uint8_t> out);

  // For logs and tests.
  std::size_t WriteIndex() const;
  std::size_t ReadIndex() const;
  std::size_t WrapMark() const;

 private:
  Geometry m_Geometry;
  std::unique_ptr<std::uint8_t[]> m_pData;
  mutable std::mutex m_CritSection;
  std::size_t m_nWrite = 0;
  std::size_t m_nRead = 0;
  std::size_t m_nWrapMark = 0;
  std::size_t m_nFilled = 0;
  bool m_bWrapped = false;  // the writer is a lap ahead: data lies at [read, mark) and [0, write)
};

}  // namespace lumetra::run
