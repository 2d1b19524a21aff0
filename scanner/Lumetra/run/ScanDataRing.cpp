#include "run/ScanDataRing.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace lumetra::run {

CScanDataRing::CScanDataRing(Geometry geometry) : m_Geometry(geometry), m_nWrapMark(geometry.wrapMark) {}

bool CScanDataRing::Allocate() {
  if (m_pData) return true;
  m_pData.reset(new (std::nothrow) std::uint8_t[m_Geometry.capacity]);
  return m_pData != nullptr;
}

void CScanDataRing::Reset() {
  std::lock_guard lock(m_CritSection);
  m_nWrite = m_nRead = m_nFilled = 0;
  m_nWrapMark = m_Geometry.wrapMark;
  m_bWrapped = false;
}

bool CScanDataRing::HasRoom() const {
  std::lock_guard lock(m_CritSection);
  const std::size_t room = m_bWrapped ? m_nRead - m_nWrite : (m_Geometry.capacity - m_nWrite) + m_nRead;
  return room >= m_Geometry.minRoom;
}

std::span<std::uint8_t> CScanDataRing::WriteSpan() {
  std::lock_guard lock(m_CritSection);
  if (!m_pData) return {};
  // An empty ring starts over at its beginning: while the reader keeps up, the data stays
  // in the same few (cached, already mapped) pages instead of sweeping the whole ring.
  // Safe here: with nothing stored, the reader is not copying.
  if (m_nFilled == 0 && !m_bWrapped) {
    m_nWrite = m_nRead = 0;
    m_nWrapMark = m_Geometry.wrapMark;
  }
  const std::size_t free = m_bWrapped ? m_nRead - m_nWrite : m_Geometry.capacity - m_nWrite;
  return {m_pData.get() + m_nWrite, free};
}

void CScanDataRing::Advance(std::size_t count) {
  std::lock_guard lock(m_CritSection);
  const std::size_t free = m_bWrapped ? m_nRead - m_nWrite : m_Geometry.capacity - m_nWrite;
  count = std::min(count, free);
  m_nWrite += count;
  m_nFilled += count;
  if (!m_bWrapped && m_nWrite >= m_nWrapMark) {
    m_nWrapMark = m_nWrite;
    m_nWrite = 0;
    m_bWrapped = true;
  }
}

std::size_t CScanDataRing::Filled() const {
  std::lock_guard lock(m_CritSection);
  return m_nFilled;
}

bool CScanDataRing::Take(std::span<std::uint8_t> out) {
  const std::size_t k = out.size();
  std::size_t read = 0, mark = 0;
  bool wrapped = false;
  {
    std::lock_guard lock(m_CritSection);
    if (m_nFilled < k || !m_pData) return false;
    read = m_nRead;
    mark = m_nWrapMark;
    wrapped = m_bWrapped;
  }
  // The bytes [read, read + k) (across the mark) belong to the reader now: the writer
  // only writes into free room, so the copy needs no lock.
  const bool split = wrapped && mark - read < k;
  const std::size_t first = split ? mark - read : k;
  std::memcpy(out.data(), m_pData.get() + read, first);
  if (split) std::memcpy(out.data() + first, m_pData.get(), k - first);

  std::lock_guard lock(m_CritSection);
  m_nFilled -= k;
  if (split) {
    m_nRead = k - first;
    m_nWrapMark = m_Geometry.wrapMark;
    m_bWrapped = false;
  } else {
    m_nRead += k;
    if (m_bWrapped && m_nRead == m_nWrapMark) {
      m_nRead = 0;
      m_nWrapMark = m_Geometry.wrapMark;
      m_bWrapped = false;
    }
  }
  return true;
}

std::size_t CScanDataRing::WriteIndex() const {
  std::lock_guard lock(m_CritSection);
  return m_nWrite;
}
std::size_t CScanDataRing::ReadIndex() const {
  std::lock_guard lock(m_CritSection);
  return m_nRead;
}
std::size_t CScanDataRing::WrapMark() const {
  std::lock_guard lock(m_CritSection);
  return m_nWrapMark;
}

}  // namespace lumetra::run
