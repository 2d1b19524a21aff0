// The connection manager's datagrams as its instrument thread takes them in: the length
// byte that is not trusted, the typed big-endian reads and the serial-number text.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "BroklaLan.h"
#include "FuzzSupport.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string Wire(const CBroklaLanMessage& m) {
  const auto w = m.GetWire();
  return std::string(reinterpret_cast<const char*>(w.data()), w.size());
}

}  // namespace

void zeva_fuzz::Setup() {}

void zeva_fuzz::WriteSeeds(const std::string& folder) {
  // As the instruments send them: announce, reboot, status change, identify answer.
  CBroklaLanMessage announce;
  announce.SetType(NEW_INSTR);
  announce.SetSequence(0);
  announce.SetData(0, "\x01K7431-000123", 14);
  WriteSeed(folder, "new-instr", Wire(announce));

  CBroklaLanMessage reboot = announce;
  reboot.SetType(INSTR_REBOOT);
  reboot.SetSequence(1);
  WriteSeed(folder, "reboot", Wire(reboot));

  CBroklaLanMessage status;
  status.SetType(STATUS_CHANGE);
  status.SetSequence(7);
  status.SetDataU16(0, 0x0102);
  status.SetData(2, "\x01", 1);
  WriteSeed(folder, "status-change", Wire(status));

  CBroklaLanMessage identify;
  identify.SetType(INSTR_IDENTIFY);
  identify.SetSequence(2);
  identify.SetData(0, "\x00\x01", 2);
  identify.SetDataU16(2, 40001);
  identify.SetData(4, "\x01K7431-000123", 14);
  WriteSeed(folder, "identify", Wire(identify));

  WriteSeed(folder, "get-status", Wire(MakeLanMessage(GET_STATUS, 0x7F000001)));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A datagram is cut where the receiver cuts it.
  const std::size_t taken = std::min(size, CBroklaLanMessage::kMaxReceive);
  CBroklaLanMessage m;
  const auto parse = m.Assign({data, taken});
  if (taken < static_cast<std::size_t>(CBroklaLanMessage::kHeaderSize)) {
    Check(parse == CBroklaLanMessage::Parse::tooSmall);
    return 0;
  }
  if (data[0] < CBroklaLanMessage::kHeaderSize) {
    Check(parse == CBroklaLanMessage::Parse::badLength && m.GetDataLength() == 0);
    return 0;
  }
  Check(parse == CBroklaLanMessage::Parse::ok);
  const std::size_t length = std::min<std::size_t>(data[0], taken);
  const int n = m.GetDataLength();
  Check(n == static_cast<int>(length) - CBroklaLanMessage::kHeaderSize);
  Check(m.GetType() == data[1]);
  Check(m.GetSequence() == (std::uint32_t{data[2]} << 24 | std::uint32_t{data[3]} << 16 |
                            std::uint32_t{data[4]} << 8 | data[5]));
  for (int at = -4; at <= n + 4; ++at) {
    const bool inside = at >= 0 && at < n;
    Check(m.GetDataByte(at) == (inside ? data[6 + at] : 0));
    if (at < 0 || at + 2 > n) Check(m.GetDataU16(at) == 0);
    if (at < 0 || at + 4 > n) Check(m.GetDataU32(at) == 0);
    const std::string text = m.GetDataText(at, 32);
    Check(text.size() <= 32 && text.find('\0') == std::string::npos);
    Check(inside || text.empty());
  }
  // What was taken is written out again unchanged (as a reply built from it would be).
  CBroklaLanMessage copy;
  copy.SetType(m.GetType());
  copy.SetSequence(m.GetSequence());
  if (n > 0) Check(copy.SetData(0, data + CBroklaLanMessage::kHeaderSize, n));
  const std::string a = Wire(copy), b = Wire(m);
  Check(a.substr(1) == b.substr(1) && a.size() == b.size());
  return 0;
}
