#include "BroklaProtocol/BroklaAppMessage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(BroklaAppMessage, LengthByteIsUnsignedAndBoundsTheData) {
  CBroklaAppMessage m;
  EXPECT_EQ(m.GetHeaderSize(), 2);
  EXPECT_EQ(m.GetTotalLength(), 2);
  EXPECT_EQ(m.GetDataLength(), 0);
  EXPECT_EQ(m.GetWire().size(), 2u);

  EXPECT_TRUE(m.SetDataLength(200));  // 202 on the wire: beyond a signed byte
  EXPECT_EQ(m.GetTotalLength(), 202);
  EXPECT_EQ(m.GetDataLength(), 200);
  EXPECT_TRUE(m.SetDataLength(CBroklaAppMessage::kMaxDataLength));
  EXPECT_EQ(m.GetTotalLength(), 255);
  for (int bad : {-1, 254, 1000}) {
    EXPECT_FALSE(m.SetDataLength(bad)) << bad;
    EXPECT_EQ(m.GetDataLength(), 253);
  }
}

TEST(BroklaAppMessage, ValuesAreLittleEndianAtTheirDataOffsets) {
  CBroklaAppMessage m;
  m.SetType(52);
  ASSERT_TRUE(m.SetDataU32(0, 0x11223344u));
  ASSERT_TRUE(m.SetDataByte(4, 1));
  ASSERT_TRUE(m.SetDataU16(5, 0xBEEF));
  ASSERT_TRUE(m.SetDataLength(7));
  const Bytes wire(m.GetWire().begin(), m.GetWire().end());
  EXPECT_EQ(wire, (Bytes{9, 52, 0x44, 0x33, 0x22, 0x11, 1, 0xEF, 0xBE}));
  EXPECT_EQ(m.GetDataU32(0), 0x11223344u);
  EXPECT_EQ(m.GetDataU16(5), 0xBEEF);
  EXPECT_FALSE(m.SetData(250, "1234", 4));  // beyond the room of one message
  EXPECT_FALSE(m.SetDataByte(-1, 0));
}

TEST(BroklaAppMessage, ReceivedBytesMustHoldAWholeMessage) {
  const struct {
    Bytes bytes;
    bool valid;
    int type, dataLength;
  } cases[] = {
      {{}, false, 0, 0},
      {{2}, false, 0, 0},
      {{1, 50}, false, 0, 0},  // length below the header
      {{0, 50, 1}, false, 0, 0},
      {{5, 50, 1, 2}, false, 0, 0},        // more announced than arrived
      {{2, 50}, true, 50, 0},              // no data
      {{4, 51, 7, 8, 9, 9}, true, 51, 2},  // bytes past the length are not the message's
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    CBroklaAppMessage m;
    m.SetType(99);
    EXPECT_EQ(m.Assign(c.bytes), c.valid);
    EXPECT_EQ(m.GetType(), c.type);
    EXPECT_EQ(m.GetDataLength(), c.dataLength);
  }
  // Reads stay inside the received data, never in the rest of the buffer.
  CBroklaAppMessage m;
  ASSERT_TRUE(m.Assign(Bytes{4, 51, 7, 8, 9, 9}));
  EXPECT_EQ(m.GetDataByte(1), 8);
  EXPECT_EQ(m.GetDataByte(2), 0);
  std::uint8_t out[2] = {0xAA, 0xAA};
  EXPECT_FALSE(m.GetData(1, out, 2));
  EXPECT_EQ(out[0], 0xAA);
  EXPECT_EQ(m.GetDataU32(0), 0u);
}

TEST(BroklaAppMessage, InstrumentEntriesTravelIn43BytesFiveToAMessage) {
  const brokla::InstrumentEntry entries[] = {
      {7, 0x0A000005, 3001, 1, "SN-0007"},
      {8, 0x7F000001, 65535, 2, std::string(32, 'S')},  // a full field has no NUL
  };
  CBroklaAppMessage m;
  int offset = 0;
  for (const auto& e : entries) {
    ASSERT_TRUE(brokla::PutInstrumentEntry(m, offset, e));
    offset += brokla::kInstrumentEntrySize;
  }
  ASSERT_TRUE(m.SetDataLength(offset));
  const std::uint8_t* data = m.GetBuffer() + 2;
  EXPECT_EQ(Bytes(data, data + 11), (Bytes{7, 0, 0, 0, 5, 0, 0, 10, 0xB9, 0x0B, 1}));
  for (int i = 0; i < 2; ++i) {
    auto parsed = brokla::ParseInstrumentEntry({data + i * 43, 43});
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, entries[i]);
  }

  EXPECT_EQ(brokla::kMaxInstrumentsPerMessage, 5);
  EXPECT_TRUE(brokla::PutInstrumentEntry(m, 4 * 43, entries[0]));
  EXPECT_FALSE(brokla::PutInstrumentEntry(m, 5 * 43, entries[0]));

  // Short entries: the fixed part is required; the serial number ends with the bytes.
  EXPECT_FALSE(brokla::ParseInstrumentEntry({data, 10}));
  auto shortSerial = brokla::ParseInstrumentEntry({data, 14});
  ASSERT_TRUE(shortSerial);
  EXPECT_EQ(shortSerial->serialNumber, "SN-");
}

}  // namespace
