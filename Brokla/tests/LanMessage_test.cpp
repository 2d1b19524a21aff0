#include <gtest/gtest.h>

#include <vector>

#include "BroklaLan.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Parse = CBroklaLanMessage::Parse;

struct Case {
  const char* what;
  Bytes bytes;
  Parse parse;
  int dataLength;  // when parsed
};

TEST(LanMessageTest, LengthByteIsNeverTrustedBeyondTheBytesReceived) {
  const Case cases[] = {
      {"nothing", {}, Parse::tooSmall, 0},
      {"five bytes", {6, 0, 0, 0, 0}, Parse::tooSmall, 0},
      {"header only", {6, 3, 0, 0, 0, 9}, Parse::ok, 0},
      {"length below the header", {5, 3, 0, 0, 0, 9, 1}, Parse::badLength, 0},
      {"length 0", {0, 3, 0, 0, 0, 9, 1, 2}, Parse::badLength, 0},
      {"length beyond the bytes", {200, 3, 0, 0, 0, 9, 1, 2}, Parse::ok, 2},
      {"bytes beyond the length", {7, 3, 0, 0, 0, 9, 1, 2, 3}, Parse::ok, 1},
      {"length 255", Bytes(255, 0xFF), Parse::ok, 249},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CBroklaLanMessage m;
    EXPECT_EQ(m.Assign(c.bytes), c.parse);
    EXPECT_EQ(m.GetDataLength(), c.dataLength);
    EXPECT_EQ(m.GetWire().size(), static_cast<std::size_t>(6 + c.dataLength));
    // Reads past the data give 0, whatever the length byte said.
    EXPECT_EQ(m.GetDataByte(c.dataLength), 0);
    EXPECT_EQ(m.GetDataU32(c.dataLength - 3), 0u);
  }
}

TEST(LanMessageTest, FieldsAreBigEndianAndTextStopsAtItsNulOrLimit) {
  CBroklaLanMessage m;
  ASSERT_EQ(m.Assign(Bytes{14, 4, 0x01, 0x02, 0x03, 0x04, 0x15, 1, 0x0F, 0xA1, 7, 'S', 'N', 0}), Parse::ok);
  EXPECT_EQ(m.GetType(), 4);
  EXPECT_EQ(m.GetSequence(), 0x01020304u);
  EXPECT_EQ(m.GetDataU16(2), 0x0FA1);
  EXPECT_EQ(m.GetDataText(5, 31), "SN");
  EXPECT_EQ(m.GetDataText(5, 1), "S");
  EXPECT_EQ(m.GetDataText(50, 31), "");

  const CBroklaLanMessage out = MakeLanMessage(CMD_ABORT, 0x7F000002);
  EXPECT_EQ(Bytes(out.GetWire().begin(), out.GetWire().end()), (Bytes{10, 23, 0, 0, 0, 0, 127, 0, 0, 2}));
  CBroklaLanMessage reply;
  reply.SetType(NEW_INSTR);
  reply.SetSequence(5);
  reply.SetDataU16(0, 4021);
  EXPECT_EQ(Bytes(reply.GetWire().begin(), reply.GetWire().end()), (Bytes{8, 0, 0, 0, 0, 5, 0x0F, 0xB5}));
}

}  // namespace
