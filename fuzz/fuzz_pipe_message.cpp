// The connection manager's pipe messages as both ends take them in: the whole-message
// check, the typed reads of the data, and the instrument entries of an enumeration reply
// and of a reboot event.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "BroklaProtocol/BroklaAppMessage.h"
#include "FuzzSupport.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// An entry read back from its own writing is the entry again.
void CheckEntry(std::span<const std::uint8_t> bytes) {
  const auto entry = brokla::ParseInstrumentEntry(bytes);
  Check(entry.has_value() == (bytes.size() >= 11));
  if (!entry) return;
  Check(entry->serialNumber.size() <= static_cast<std::size_t>(brokla::kSerialNumberSize));
  CBroklaAppMessage m;
  Check(brokla::PutInstrumentEntry(m, 0, *entry));
  Check(m.SetDataLength(brokla::kInstrumentEntrySize));
  const auto again = brokla::ParseInstrumentEntry(
      {m.GetBuffer() + CBroklaAppMessage::kHeaderSize, brokla::kInstrumentEntrySize});
  Check(again && *again == *entry);
}

}  // namespace

void zeva_fuzz::Setup() {}

void zeva_fuzz::WriteSeeds(const std::string& folder) {
  const auto wire = [](const CBroklaAppMessage& m) {
    const auto w = m.GetWire();
    return std::string(reinterpret_cast<const char*>(w.data()), w.size());
  };
  CBroklaAppMessage hello;
  hello.SetType(brokla::kMsgHello);
  hello.SetDataLength(4);
  hello.SetDataU32(0, 4242);
  WriteSeed(folder, "hello", wire(hello));

  CBroklaAppMessage enumerate;
  enumerate.SetType(brokla::kMsgEnumerate);
  enumerate.SetDataLength(2 * brokla::kInstrumentEntrySize);
  brokla::PutInstrumentEntry(enumerate, 0, {1, 0x7F000001, 40001, 1, "K7431-000123"});
  brokla::PutInstrumentEntry(enumerate, brokla::kInstrumentEntrySize,
                             {2, 0x7F000002, 40002, 1, "K7431-SERIAL-NUMBER-OF-32-CHARS!"});
  WriteSeed(folder, "enumerate-reply", wire(enumerate));

  CBroklaAppMessage lock;
  lock.SetType(brokla::kMsgLock);
  lock.SetDataLength(7);
  lock.SetDataU32(0, 1);
  lock.SetDataByte(4, 0);
  lock.SetDataByte(5, 0);
  lock.SetDataByte(6, 1);
  WriteSeed(folder, "lock-reply", wire(lock));

  CBroklaAppMessage reboot;
  reboot.SetType(brokla::kEventReboot);
  reboot.SetDataLength(brokla::kInstrumentEntrySize);
  brokla::PutInstrumentEntry(reboot, 0, {3, 0x7F000001, 40003, 1, "K7431-000123"});
  WriteSeed(folder, "reboot-event", wire(reboot));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  CBroklaAppMessage m;
  const bool whole = m.Assign(bytes);
  Check(whole == (size >= 2 && data[0] >= 2 && data[0] <= size));
  if (!whole) {
    Check(m.GetTotalLength() == CBroklaAppMessage::kHeaderSize && m.GetDataLength() == 0);
    CheckEntry(bytes);
    return 0;
  }
  // The message is exactly the bytes its length byte counts.
  const auto wire = m.GetWire();
  Check(wire.size() == data[0]);
  for (std::size_t i = 0; i < wire.size(); ++i) Check(wire[i] == data[i]);

  // Reads inside the data give its bytes; reads reaching outside give nothing.
  const int n = m.GetDataLength();
  for (int at = -4; at <= n + 4; ++at) {
    const bool inside = at >= 0 && at < n;
    Check(m.GetDataByte(at) == (inside ? data[2 + at] : 0));
    std::uint8_t four[4] = {};
    Check(m.GetData(at, four, 4) == (at >= 0 && at + 4 <= n));
    if (at < 0 || at + 2 > n) Check(m.GetDataU16(at) == 0);
    if (at < 0 || at + 4 > n) Check(m.GetDataU32(at) == 0);
  }

  // As the enumeration reply and the reboot event are read.
  const std::uint8_t* dataBytes = m.GetBuffer() + CBroklaAppMessage::kHeaderSize;
  for (int at = 0; at + brokla::kInstrumentEntrySize <= n; at += brokla::kInstrumentEntrySize)
    CheckEntry({dataBytes + at, static_cast<std::size_t>(brokla::kInstrumentEntrySize)});
  CheckEntry({dataBytes, static_cast<std::size_t>(n)});
  return 0;
}
