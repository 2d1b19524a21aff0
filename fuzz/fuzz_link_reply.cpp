// The instrument command channel's reading of replies: response frames (header check,
// payload, "more follow"), the reply buffer handed out in pieces, the split into hex
// status and text, unblocked commands, raw scan data and the reboot event of a runtime
// download. Frames come from the input through the link stand-in; no socket is opened.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "LinkStandIn.h"
#include "link/LanComm.h"
#include "link/LanLink.h"
#include "platform/clock.h"

namespace {

class Owner : public ILanCommOwner {
 public:
  int TranslateRuntimeError(unsigned code) override { return 4096 + static_cast<int>(code & 0xFFFF); }
  void Set68KCurrentDateTime() override {}
};

std::string Frame(std::string_view payload, bool more = false) {
  LanHeader h;
  h.length = static_cast<std::uint32_t>(LanHeader::kSize + payload.size());
  h.instrId = 1;
  h.flags = more ? LanHeader::kFlagMore : 0;
  h.timeoutSec = 5;
  std::string out(LanHeader::kSize, '\0');
  h.Encode(reinterpret_cast<std::uint8_t*>(out.data()));
  return out + std::string(payload);
}

enum Op : std::uint8_t {
  kResponse,
  kResponseString,
  kResponseCount,
  kRead,
  kUnblocked,
  kBinary,
  kScanData,
  kDownload,
  kOps
};

std::string g_firmware;

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

void zeva_fuzz::Setup() {
  const std::string registry = Folder() + "/registry";
  std::filesystem::create_directories(registry);
  setenv("ZEVA_REGISTRY_DIR", registry.c_str(), 1);
  g_firmware = WriteFile("runtime.bin", "firmware");
  // The reboot wait of a download polls every 100 ms: here that costs no time.
  static auto clock = std::make_shared<platform::ManualClock>();
  clock->setAutoAdvance(true);
  platform::setClock(clock);
}

void zeva_fuzz::WriteSeeds(const std::string& folder) {
  const auto op = [](Op o, std::uint8_t size, const std::string& wire) {
    return std::string{static_cast<char>(o), static_cast<char>(size)} + MakePart(wire);
  };
  WriteSeed(folder, "status-and-text",
            op(kResponse, 0, Frame("0,12345\n")) + op(kResponseString, 8, Frame("1A,a longer text\r\n")) +
                op(kResponseCount, 4, Frame("0 99,98\n")));
  WriteSeed(folder, "split-reply",
            op(kRead, 3, Frame("0,abc", true) + Frame("def\n")) + op(kBinary, 1, Frame("0\n")));
  WriteSeed(folder, "unblocked", op(kUnblocked, 16, Frame("line 1\n", true) + Frame("line 2\n")));
  WriteSeed(folder, "malformed",
            op(kResponse, 0, Frame("zz\n")) + op(kResponse, 0, Frame("0")) +
                op(kResponse, 0, std::string(16, '\xFF')));
  // A download: the boot reply, then the connection manager's reboot event of this instrument.
  std::string event(43, '\0');
  event[0] = 2, event[4] = 1, event[7] = 0x7F, event[8] = 0x41, event[9] = 0x9C, event[10] = 1;
  std::memcpy(event.data() + 11, "K7431-000123", 12);
  WriteSeed(folder, "download", op(kDownload, 0, Frame("0\n") + Frame("0\n")) + MakePart(event));
  WriteSeed(folder, "scan-data", op(kScanData, 200, std::string(300, '\x11')));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zeva_fuzz::Input in(data, size);
  Owner owner;
  CLanComm comm(&owner);
  static const std::string peek = Frame("0\n");
  link_standin::g_wire = peek;
  Check(comm.OpenDevice("127.0.0.1_40001") == 0);

  for (int ops = 0; ops < 16 && !in.Empty(); ++ops) {
    const Op op = static_cast<Op>(in.Byte() % kOps);
    const int room = in.Byte();
    link_standin::g_wire = in.Part();
    int written = 0, status = 0, count = 0;
    std::vector<char> buffer(static_cast<std::size_t>(room) + 1, '\0');
    switch (op) {
      case kResponse: {
        if (comm.WriteString("stat\n", 5, &written) != 0) break;
        std::string text;
        comm.ReadResponse(&status, text);
        Check(text.size() < 200);
        break;
      }
      case kResponseString:
        if (comm.WriteString("stat\n", 5, &written) != 0) break;
        comm.ReadResponseString(&status, buffer.data(), room + 1);
        Check(std::memchr(buffer.data(), '\0', buffer.size()) != nullptr);
        break;
      case kResponseCount:
        if (comm.WriteString("stat\n", 5, &written) != 0) break;
        comm.ReadResponseCount(&status, buffer.data(), room + 1);
        Check(std::memchr(buffer.data(), '\0', buffer.size()) != nullptr);
        break;
      case kRead:
      case kBinary: {
        static const std::uint8_t bytes[] = {0x01, 0x02, 0x00, 0xFF};
        const int r = op == kRead ? comm.WriteString("get\n", 4, &written)
                                  : comm.WriteBinaryString(bytes, sizeof bytes, &written);
        if (r != 0) break;
        for (int k = 0; k < 1000; ++k) {
          if (comm.ReadString(buffer.data(), room, &count) != 0 || count == 0) break;
          Check(count > 0 && count <= room);
        }
        break;
      }
      case kUnblocked:
        if (comm.SendUnblockedCommand("scan\n", 5) != 0) break;
        for (int k = 0; k < 1000; ++k) {
          if (comm.ReadStringUnblocked(buffer.data(), room, &count) != 0 || count == 0) break;
          Check(count > 0 && count <= room);
        }
        break;
      case kScanData:
        count = room;
        comm.ReadScanData(reinterpret_cast<std::uint8_t*>(buffer.data()), &count, 1);
        Check(count >= 0 && count <= room);
        break;
      case kDownload: {
        const auto event = in.Part();
        link_standin::g_event.assign(event.begin(), event.end());
        comm.DownloadRuntime(g_firmware.c_str());
        link_standin::g_event.clear();
        break;
      }
      case kOps:
        break;
    }
  }
  comm.CloseDevice();
  return 0;
}
