#include "run/ScanDataRing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using lumetra::run::CScanDataRing;

// A small ring: capacity 1000, the writer starts over from 800, a read needs 100.
class RingTest : public ::testing::Test {
 protected:
  RingTest() : ring({1000, 800, 100}) { EXPECT_TRUE(ring.Allocate()); }

  // Writes `n` bytes of the running pattern; false when they do not fit in one span.
  bool Write(std::size_t n) {
    auto span = ring.WriteSpan();
    if (span.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) span[i] = static_cast<std::uint8_t>(written++ % 251);
    ring.Advance(n);
    return true;
  }
  // Takes `n` bytes and checks they continue the pattern.
  void Take(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    ASSERT_TRUE(ring.Take(out));
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_EQ(out[i], static_cast<std::uint8_t>(taken++ % 251)) << "byte " << i;
  }

  CScanDataRing ring;
  std::size_t written = 0, taken = 0;
};

TEST_F(RingTest, WriterPastTheWrapMarkStartsOverAndTheReaderCopiesAcrossTheWrap) {
  ASSERT_TRUE(Write(500));
  Take(450);
  ASSERT_TRUE(Write(400));  // the writer stands at 800 + 100 and wraps
  EXPECT_EQ(ring.WriteIndex(), 0u);
  EXPECT_EQ(ring.WrapMark(), 900u);
  EXPECT_EQ(ring.WriteSpan().size(), 450u);  // up to the reader
  ASSERT_TRUE(Write(100));
  EXPECT_EQ(ring.Filled(), 550u);
  Take(550);  // 450..900, then 0..100
  EXPECT_EQ(ring.ReadIndex(), 100u);
  EXPECT_EQ(ring.WrapMark(), 800u);
  EXPECT_EQ(ring.Filled(), 0u);
  ASSERT_TRUE(Write(300));
  Take(300);
}

TEST_F(RingTest, AWrapOntoAReaderAtZeroLeavesTheRingFullNotEmpty) {
  ASSERT_TRUE(Write(800));  // wraps with the reader still at 0
  EXPECT_EQ(ring.WriteIndex(), ring.ReadIndex());
  EXPECT_EQ(ring.Filled(), 800u);
  EXPECT_TRUE(ring.IsAvailable(800));
  EXPECT_FALSE(ring.HasRoom());
  EXPECT_EQ(ring.WriteSpan().size(), 0u);
  Take(300);
  Take(500);  // ends exactly at the wrap mark: the reader starts over too
  EXPECT_EQ(ring.ReadIndex(), 0u);
  EXPECT_EQ(ring.Filled(), 0u);
  EXPECT_FALSE(ring.IsAvailable(1));
  ASSERT_TRUE(Write(50));
  Take(50);
}

TEST_F(RingTest, RoomCountsTheFreeBytesOnBothSidesOfTheReader) {
  struct Case {
    std::size_t write, take;
    bool room;
  } cases[] = {
      {0, 0, true},                        // empty
      {850, 0, false},                     // wrapped onto the reader: full
      {850, 50, false},                    // 50 free before the reader
      {850, 99, false}, {850, 100, true},  // 100 free before the reader
      {700, 0, true},                      // 300 at the end
      {700, 700, true},
  };
  for (const Case& c : cases) {
    CScanDataRing r({1000, 800, 100});
    ASSERT_TRUE(r.Allocate());
    if (c.write > 0) r.Advance(c.write);
    std::vector<std::uint8_t> out(c.take);
    if (c.take > 0) {
      ASSERT_TRUE(r.Take(out));
    }
    EXPECT_EQ(r.HasRoom(), c.room) << "write " << c.write << " take " << c.take;
  }
}

TEST_F(RingTest, AnEmptyRingStartsOverAtItsBeginning) {
  ASSERT_TRUE(Write(300));
  Take(300);
  EXPECT_EQ(ring.WriteSpan().size(), 1000u);  // the whole ring again, from 0
  EXPECT_EQ(ring.WriteIndex(), 0u);
  ASSERT_TRUE(Write(700));
  Take(100);
  EXPECT_EQ(ring.WriteSpan().size(), 300u);  // not empty: the writer goes on where it is
  Take(600);
}

TEST_F(RingTest, TakingMoreThanIsStoredFailsAndLeavesTheRingAlone) {
  ASSERT_TRUE(Write(10));
  std::vector<std::uint8_t> out(11);
  EXPECT_FALSE(ring.Take(out));
  EXPECT_EQ(ring.Filled(), 10u);
  Take(10);
}

}  // namespace
