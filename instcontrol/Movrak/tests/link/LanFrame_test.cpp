#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/LanLink.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(LanFrame, BinaryFrameIsTheBigEndianHeaderThenExactlyTheBytes) {
  const struct {
    int timeoutSec;
    std::uint8_t timeoutHigh, timeoutLow;
  } cases[] = {{0, 0, 5}, {10, 0, 10}, {300, 0x01, 0x2C}, {65535, 0xFF, 0xFF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timeoutSec);
    LanFrame f = LanFrame::Binary(std::string("peek 0\n"));
    f.SetTimeout(c.timeoutSec);
    f.SetInstrId(0x01020304);
    const auto wire = f.Finalize();
    const Bytes expected = {0,
                            0,
                            0,
                            23,  // length: payload + 16
                            1,
                            2,
                            3,
                            4,     // instrId
                            1,     // flags: binary
                            0x4B,  // cmdId 'K'
                            c.timeoutHigh,
                            c.timeoutLow,
                            0,
                            0,
                            0,
                            0,  // reserved
                            'p',
                            'e',
                            'e',
                            'k',
                            ' ',
                            '0',
                            '\n'};
    EXPECT_EQ(Bytes(wire.begin(), wire.end()), expected);
  }
}

TEST(LanFrame, TextFrameSendsAnUncountedNul) {
  LanFrame f = LanFrame::Text("abc");
  f.SetTimeout(1);
  const auto wire = f.Finalize();
  ASSERT_EQ(wire.size(), 20u);
  EXPECT_EQ(wire[3], 19);  // length field
  EXPECT_EQ(wire[8], 0);   // flags: text
  EXPECT_EQ(std::string(wire.begin() + 16, wire.end()), std::string("abc\0", 4));
}

TEST(LanFrame, BinaryFrameWithoutBytesSendsNothing) {
  LanFrame f = LanFrame::Binary(std::string());
  EXPECT_FALSE(f.HasBuffer());
  EXPECT_TRUE(f.Finalize().empty());
}

TEST(LanFrame, HeaderDecodesWhatItEncodes) {
  LanHeader h;
  h.length = 0x80000010;  // beyond a signed 32-bit number
  h.instrId = 0xA1B2C3D4;
  h.flags = LanHeader::kFlagMore;
  h.timeoutSec = 0xBEEF;
  h.reserved = 0x11223344;
  std::uint8_t raw[16];
  h.Encode(raw);
  EXPECT_EQ(raw[0], 0x80);
  EXPECT_EQ(raw[10], 0xBE);
  const LanHeader back = LanHeader::Decode(raw);
  EXPECT_EQ(back.length, h.length);
  EXPECT_EQ(back.instrId, h.instrId);
  EXPECT_EQ(back.flags, h.flags);
  EXPECT_EQ(back.cmdId, 0x4B);
  EXPECT_EQ(back.timeoutSec, h.timeoutSec);
  EXPECT_EQ(back.reserved, h.reserved);
}

}  // namespace
