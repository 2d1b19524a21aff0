// IScanLL: controller memory, the DSPs' memory, registers and commands, DSP memory
// blocks to and from text files, raw command lines and the command time-out.
#include <charconv>
#include <fstream>
#include <iterator>
#include <new>
#include <type_traits>
#include <vector>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "com/ComServer.h"
#include "com/ScanLL.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"
#include "platform/files.h"

using namespace movrak;
using platform::com::S_OK;

namespace {

constexpr int kDetailAddress = 2009;
constexpr int kDetailAddressValue = 2010;
constexpr int kDetailDSPAddressValue = 2013;
constexpr int kDetailDSPAddress = 2014;
constexpr int kDetailString = 2015;
constexpr int kDetailDSPId = 2022;
constexpr int kErrFileAccess = 551;

// Longer lines were cut and then sent as another command: they are refused instead.
constexpr std::size_t kMaxCommandLine = 511;
// The command time-outs the link can carry: whole seconds, 1 to 65535.
constexpr std::int32_t kMinTimeoutMs = 1000;
constexpr std::int32_t kMaxTimeoutMs = 65535000;
// DSP addresses are 16 bits: a block must end at or below the top.
constexpr long kDSPAddressSpace = 0x10000;

std::function<std::string()> DSPIdDetail(tagDSPIDs id) {
  return [id] { return FormatMessageResource(kDetailDSPId, static_cast<unsigned>(id)); };
}

// One word of a DSP memory file: a decimal number, signed as the DSP's words are read or
// unsigned as they are dumped, that fits 16 bits; nullopt for anything else.
std::optional<std::uint16_t> ParseWord(std::string_view token) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  long value = 0;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (ec != std::errc() || end != token.data() + token.size() || value < -32768 || value > 65535)
    return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// The first `count` words of a DSP memory file, separated by any white space; false when
// the file holds fewer or a token is no word.
bool ReadWords(std::istream& in, std::vector<std::uint16_t>& words, std::size_t count) {
  std::string token;
  for (std::size_t i = 0; i < count; ++i) {
    if (!(in >> token)) return false;
    const auto word = ParseWord(token);
    if (!word) return false;
    words[i] = *word;
  }
  return true;
}

}  // namespace

// ---- controller memory -----------------------------------------------------------------------

HRESULT CScanLL::Peek(LONG lAddress, BYTE* pbValue) {
  const std::string address = FormatText("0x%08X", static_cast<unsigned>(lAddress));
  return Run(
      kSrcPeek,
      [&] {
        const unsigned char value = Scanner().Peek(address.c_str());
        if (pbValue) *pbValue = value;
      },
      [&] { return FormatMessageResource(kDetailAddress, address.c_str()); });
}

HRESULT CScanLL::Poke(LONG lAddress, BYTE bValue) {
  const std::string address = FormatText("0x%08X", static_cast<unsigned>(lAddress));
  const std::string value = FormatText("0x%02X", static_cast<unsigned>(bValue));
  return Run(
      kSrcPoke, [&] { Scanner().Poke(address.c_str(), value.c_str()); },
      [&] { return FormatMessageResource(kDetailAddressValue, address.c_str(), value.c_str()); });
}

// ---- DSP words, registers and commands -----------------------------------------------------------

HRESULT CScanLL::ReadDSPDataMemory(tagDSPIDs eDSPId, WORD wOffset, WORD* pwValue) {
  return WithDSP(
      kSrcReadDSPDataMemory, eDSPId,
      [&](CDSP& dsp) {
        const std::uint16_t value = dsp.ReadDataMemory(wOffset);
        if (pwValue) *pwValue = value;
      },
      [&] { return FormatMessageResource(kDetailDSPAddress, static_cast<unsigned>(wOffset)); });
}

HRESULT CScanLL::WriteDSPDataMemory(tagDSPIDs eDSPId, WORD wOffset, WORD wValue) {
  return WithDSP(
      kSrcWriteDSPDataMemory, eDSPId, [&](CDSP& dsp) { dsp.WriteDataMemory(wOffset, wValue); },
      [&] {
        return FormatMessageResource(kDetailDSPAddressValue, static_cast<unsigned>(wOffset),
                                     static_cast<unsigned>(wValue));
      });
}

HRESULT CScanLL::DSPPoke(tagDSPIDs eDSPId, tagAddrSpaceIDs eAddrId, WORD wAddress, WORD wData) {
  return WithDSP(
      kSrcDSPPoke, eDSPId, [&](CDSP& dsp) { dsp.Poke(static_cast<std::uint32_t>(eAddrId), wAddress, wData); },
      [&] {
        return FormatMessageResource(kDetailDSPAddressValue, static_cast<unsigned>(wAddress),
                                     static_cast<unsigned>(wData));
      });
}

HRESULT CScanLL::DSPPeek(tagDSPIDs eDSPId, tagAddrSpaceIDs eAddrId, WORD wAddress, WORD* pwValue) {
  return WithDSP(
      kSrcDSPPeek, eDSPId,
      [&](CDSP& dsp) {
        const std::uint16_t value = dsp.Peek(static_cast<std::uint32_t>(eAddrId), wAddress);
        if (pwValue) *pwValue = value;
      },
      [&] { return FormatMessageResource(kDetailDSPAddress, static_cast<unsigned>(wAddress)); });
}

HRESULT CScanLL::LastDSPResult(tagDSPIDs eDSPId, LONG* pVal) {
  return WithDSP(kSrcLastDSPResult, eDSPId, [&](CDSP& dsp) {
    const int value = dsp.GetLastResult();
    if (pVal) *pVal = value;
  });
}

HRESULT CScanLL::DSPResult(tagDSPIDs eDSPId, LONG* pVal) {
  return WithDSP(kSrcDspResult, eDSPId, [&](CDSP& dsp) {
    const int value = dsp.GetResponse();
    if (pVal) *pVal = value;
  });
}

HRESULT CScanLL::ExecuteDSPCmd(tagDSPIDs eDSPId, WORD cmdNum, BYTE numParams, const WORD* pParams,
                               LONG bGetResp, LONG* pResp) {
  return WithDSP(kSrcExecuteDSPCmd, eDSPId, [&](CDSP& dsp) {
    if (numParams > 0 && !pParams) throw kErrBadParameter;
    const int response = dsp.ExecuteCommand(cmdNum, numParams, pParams, bGetResp != 0);
    if (pResp) *pResp = response;
  });
}

HRESULT CScanLL::GetVCDumpInfo(tagDSPIDs eDSPId, LONG* usPerTick, LONG* numPoints, ULONG* startAddr0,
                               LONG* bytesPerPt0, ULONG* startAddr1, LONG* bytesPerPt1, ULONG* startAddr2,
                               LONG* bytesPerPt2, ULONG* startAddr3, LONG* bytesPerPt3) {
  return WithDSP(kSrcGetVCDumpInfo, eDSPId, [&](CDSP& dsp) {
    // The caller's values stay where the reply brings none.
    auto in = [](const auto* p) { return p ? static_cast<std::uint32_t>(*p) : 0u; };
    std::uint32_t v[10] = {in(usPerTick),  in(numPoints),   in(startAddr0), in(bytesPerPt0),
                           in(startAddr1), in(bytesPerPt1), in(startAddr2), in(bytesPerPt2),
                           in(startAddr3), in(bytesPerPt3)};
    dsp.GetVCDumpInfo(&v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]);
    auto out = [](auto* p, std::uint32_t value) {
      if (p) *p = static_cast<std::remove_pointer_t<decltype(p)>>(value);
    };
    out(usPerTick, v[0]);
    out(numPoints, v[1]);
    out(startAddr0, v[2]);
    out(bytesPerPt0, v[3]);
    out(startAddr1, v[4]);
    out(bytesPerPt1, v[5]);
    out(startAddr2, v[6]);
    out(bytesPerPt2, v[7]);
    out(startAddr3, v[8]);
    out(bytesPerPt3, v[9]);
  });
}

// ---- DSP memory blocks ------------------------------------------------------------------------------

HRESULT CScanLL::DSPMemDump(tagDSPIDs eDSPId, WORD wStartAddr, WORD wNumWords,
                            const std::string& bstrFileName) {
  std::vector<std::uint16_t> words;
  platform::File file;
  std::string path;
  HRESULT early = S_OK;
  const HRESULT hr = WithDSP(
      kSrcDSPMemDump, eDSPId,
      [&](CDSP& dsp) {
        words.resize(wNumWords);  // an allocation failure is 549, before the file is touched
        path = ServiceFilePath(bstrFileName);
        if (!file.openExclusive(path, platform::OpenMode::create)) {
          early = FileError(kSrcDSPMemDump, path);
          return;
        }
        dsp.MemDump(wStartAddr, wNumWords, words.data());
        std::string lines;
        for (const std::uint16_t w : words) lines += FormatText("%u\r\n", static_cast<unsigned>(w));
        if (!file.write(lines)) throw kErrFileAccess;
      },
      DSPIdDetail(eDSPId));
  return early != S_OK ? early : hr;
}

HRESULT CScanLL::DSPMemWrite(tagDSPIDs eDSPId, WORD wStartAddr, LONG nNumWords,
                             const std::string& bstrFileName) {
  HRESULT early = S_OK;
  const HRESULT hr = WithDSP(
      kSrcDSPMemDump, eDSPId,
      [&](CDSP& dsp) {
        if (nNumWords < 0) throw kErrOutOfMemory;
        // Words past the top of the address space would wrap round to its bottom.
        if (static_cast<long>(wStartAddr) + nNumWords > kDSPAddressSpace) throw kErrBadParameter;
        std::vector<std::uint16_t> words(static_cast<std::size_t>(nNumWords));
        const std::string path = ServiceFilePath(bstrFileName);
        std::ifstream in(path);
        if (!in.is_open() || !ReadWords(in, words, words.size())) {
          early = FileError(kSrcDSPMemDump, path);
          return;
        }
        in.close();
        dsp.MemWrite(wStartAddr, nNumWords, words.data());
      },
      DSPIdDetail(eDSPId));
  return early != S_OK ? early : hr;
}

HRESULT CScanLL::DSPMemRead(tagDSPIDs eDSPId, WORD wStartAddr, WORD wNumWords, WORD* pWordData) {
  return WithDSP(
      kSrcDSPMemDump, eDSPId,
      [&](CDSP& dsp) {
        if (!pWordData) throw kErrBadParameter;
        dsp.MemDump(wStartAddr, wNumWords, pWordData);
      },
      DSPIdDetail(eDSPId));
}

// ---- raw command lines and the link ---------------------------------------------------------------------

HRESULT CScanLL::WriteString(const std::string& bStr, LONG* plCount) {
  return Run(
      kSrcWriteString,
      [&] {
        if (bStr.size() > kMaxCommandLine) throw kErrBadParameter;
        CLanComm& comm = Scanner().GetComm();
        int written = 0;
        int r = 0;
        {
          // A whole command with its reply, not between a status pass's commands.
          CCommLock lock(comm);
          r = comm.WriteString(bStr.c_str(), static_cast<int>(bStr.size()), &written);
        }
        if (r != 0) throw r;
        if (plCount) *plCount = written;
        LogDebug(6, "%ld bytes written", static_cast<long>(written));
      },
      [&] { return FormatMessageResource(kDetailString, bStr.c_str()); });
}

HRESULT CScanLL::ReadString(LONG lLength, std::string* pbstrVal, LONG* plCount) {
  return Run(kSrcReadString, [&] {
    if (lLength < 0) throw kErrBadParameter;
    std::vector<char> buffer(static_cast<std::size_t>(lLength) + 1, '\0');
    CLanComm& comm = Scanner().GetComm();
    int count = 0;
    int r = 0;
    {
      CCommLock lock(comm);
      r = comm.ReadString(buffer.data(), lLength, &count);
    }
    if (r != 0) throw r;
    if (count > 0) buffer[static_cast<std::size_t>(count) - 1] = '\0';  // as a rule the line end
    const std::string text(buffer.data());
    if (pbstrVal) *pbstrVal = text;
    if (plCount) *plCount = count;
    LogDebug(6, "String read: %s", text.c_str());
    LogDebug(6, "%ld bytes read", static_cast<long>(count));
  });
}

HRESULT CScanLL::IsRuntimeOnline(BYTE* pbOnline) {
  return Run(kSrcIsRuntimeOnline, [&] {
    bool online = false;
    if (const int r = Scanner().GetComm().IsRuntimeOnline(&online); r != 0) throw r;
    if (pbOnline) *pbOnline = online ? 1 : 0;
  });
}

HRESULT CScanLL::AbortCmd() {
  return Run(kSrcAbortCmd, [&] {
    if (const int r = Scanner().GetComm().AbortCommand(); r != 0) throw r;
  });
}

HRESULT CScanLL::GetStatus(BYTE* bStatus) {
  return Run(kSrcGetStatus, [&] {
    const std::uint8_t status = Scanner().GetComm().SerialPoll();
    if (bStatus) *bStatus = status;
  });
}

HRESULT CScanLL::get_Timeout(LONG* pVal) {
  return Run(kSrcTimeout, [&] {
    const int timeout = Scanner().GetComm().GetTimeout();
    if (pVal) *pVal = timeout;
  });
}

HRESULT CScanLL::put_Timeout(LONG newVal) {
  return Run(kSrcTimeout, [&] {
    // Below a second nothing would wait at all; above 65535 s it no longer fits a command.
    if (newVal < kMinTimeoutMs || newVal > kMaxTimeoutMs) throw kErrBadParameter;
    Scanner().GetComm().SetTimeout(newVal);
  });
}
