#include "devices/DSP.h"

#include <chrono>
#include <fstream>
#include <istream>

#include "Jotwell/Logger.h"
#include "devices/DeviceContext.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "link/LanComm.h"
#include "link/MessageTable.h"
#include "platform/clock.h"
#include "platform/text.h"

using namespace movrak;

namespace {
constexpr int kStatusChars = 3;
}  // namespace

CDSP::CDSP(IDeviceContext* owner, std::uint32_t dspId, const char* name)
    : m_pOwner(owner), m_nDspId(dspId), m_strName(name ? name : "") {
  if (!m_pOwner) throw kErrDSPNotConfigured;
}

CDSP::~CDSP() = default;

CScanDSP::~CScanDSP() = default;

void CDSP::Poke(std::uint32_t space, std::uint16_t address, std::uint16_t value) {
  LogDebug(5, "DSP Poke: DSP Id: %u   Address Space Id:  %u   Address: %04X   Value: %04X", m_nDspId, space,
           static_cast<unsigned>(address), static_cast<unsigned>(value));
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(),
                     FormatText("%s %X %X 0x%X 0x%X\n", "dsppoke", m_nDspId, space,
                                static_cast<unsigned>(address), static_cast<unsigned>(value)));
  }
  if (error != 0) {
    LogDebug(5, "DSP Poke exited with error code: %d", error);
    throw error;
  }
}

std::uint16_t CDSP::Peek(std::uint32_t space, std::uint16_t address) {
  LogDebug(5, "DSP Peek: DSP Id:  %u   Address Space Id:  %u   Address: 0x%04X", m_nDspId, space,
           static_cast<unsigned>(address));
  std::string rest;
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(
        m_pOwner->GetComm(),
        FormatText("%s %X %X 0x%X\n", "dsppeek", m_nDspId, space, static_cast<unsigned>(address)), &rest);
  }
  const auto value = platform::parseLeadingHex(rest);
  if (error == 0 && !value) error = kErrUnknown;
  if (error != 0) {
    LogDebug(5, "DSP Peek failed with error: %d", error);
    throw error;
  }
  const auto word = static_cast<std::uint16_t>(*value);
  LogDebug(5, "DSP Peek Result: 0x%04X", static_cast<unsigned>(word));
  return word;
}

std::uint16_t CDSP::ReadDataMemory(std::uint16_t offset) {
  LogDebug(5, "Read DSP Data Memory: DSP id:  %u   Offset: %04X", m_nDspId, static_cast<unsigned>(offset));
  std::string rest;
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(),
                     FormatText("%s %X %04X\n", "dmr", m_nDspId, static_cast<unsigned>(offset)), &rest);
  }
  const auto value = platform::parseLeadingHex(rest);
  if (error == 0 && !value) error = kErrUnknown;
  if (error != 0) {
    LogDebug(5, "Read DSP Data Memory failed with error: %d", error);
    throw error;
  }
  const auto word = static_cast<std::uint16_t>(*value);
  LogDebug(5, "Read DSP Data Memory returned: 0x%04X", static_cast<unsigned>(word));
  return word;
}

void CDSP::WriteDataMemory(std::uint16_t offset, std::uint16_t value) {
  LogDebug(5, "Write DSP Data Memory:  DSP Id:  %u  Offset: %04X    Value: %04X", m_nDspId,
           static_cast<unsigned>(offset), static_cast<unsigned>(value));
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(),
                     FormatText("%s %X %04X %04X\n", "dmw", m_nDspId, static_cast<unsigned>(offset),
                                static_cast<unsigned>(value)));
  }
  if (error != 0) {
    LogDebug(5, "Write DSP Data Memory failed with error: %d", error);
    throw error;
  }
}

int CDSP::GetLastResult() {
  LogDebug(5, "Get Last DSP Result: DSP Id: %u", m_nDspId);
  std::string rest;
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(), FormatText("%s\n", "getlastdspresult"), &rest);
  }
  const auto value = ParseHex32(rest);
  if (error == 0 && !value) error = kErrUnknown;
  if (error != 0) {
    LogDebug(1, "Get Last DSP Result failed with error: %d", error);
    throw error;
  }
  // -1 (no result) has no text of its own.
  const std::string text = *value >= 0 ? GetErrorText(kDspErrorBase + *value) : std::string("none");
  LogDebug(1, "Get Last DSP Result returned: (%d) %s", *value, text.c_str());
  return *value;
}

int CDSP::GetResponse() {
  LogDebug(6, "Getting DSP Response (GDSP) for DSP Id: %u", m_nDspId);
  std::string rest;
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(), FormatText("%s\n", "gdsp"), &rest);
  }
  const auto value = ParseHex32(rest);
  if (error == 0 && !value) error = kErrUnknown;
  if (error != 0) {
    LogDebug(6, "Get DSP Response (GDSP) failed with error: %d", error);
    throw error;
  }
  LogDebug(6, "Get DSP Response (GDSP) returned: %d", *value);
  return *value;
}

int CDSP::ExecuteCommand(std::uint16_t cmd, std::uint8_t numParams, const std::uint16_t* params,
                         bool getResponse) {
  LogDebug(6, "Execute DSP Command (SDSP): DSPId: %u   Cmd: 0x%X  numParams: %u  GetResp: %u", m_nDspId,
           static_cast<unsigned>(cmd), static_cast<unsigned>(numParams), getResponse ? 1u : 0u);
  if (numParams > 0 && !params) throw kErrBadParameter;
  std::string frame =
      FormatText("%s %02X %02X\n", "sdsp", static_cast<unsigned>(cmd), static_cast<unsigned>(numParams));
  // The parameters go as the 16-bit words lie in memory on both ends: low byte first.
  for (unsigned i = 0; i < numParams; ++i) {
    frame.push_back(static_cast<char>(params[i] & 0xFF));
    frame.push_back(static_cast<char>(params[i] >> 8));
  }
  CCommLock lock(m_pOwner->GetComm());
  int error = ExchangeBinary(m_pOwner->GetComm(), frame);
  int response = -1;
  if (error == 0 && getResponse) {
    try {
      for (int sleeps = 0;; ++sleeps) {
        response = GetResponse();
        if (response != -1) break;
        if (sleeps == kResponsePolls) {
          error = kErrDSPCommandIncomplete;
          break;
        }
        platform::sleepFor(std::chrono::milliseconds(kResponsePollMs));
      }
    } catch (int e) {
      error = e;
    }
  }
  if (error != 0) {
    LogDebug(6, "Execute DSP Command failed with error: %d", error);
    throw error;
  }
  LogDebug(6, "Execute DSP Command returned with response: %d", response);
  return response;
}

std::vector<std::uint8_t> CDSP::ConvertSRecords(std::istream& in) {
  std::vector<std::uint8_t> image;
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.size() < 2 || line[0] != 'S' || line[1] < '1' || line[1] > '3') continue;
    // Type, count, 4, 6 or 8 address digits; the checksum is the last two digits.
    const std::size_t header = 2 + 2 + 2 * static_cast<std::size_t>(line[1] - '1' + 2);
    if (line.size() < header + 2 || (line.size() - header - 2) % 2 != 0) throw kErrDownloadFailed;
    for (std::size_t i = header; i + 2 < line.size(); i += 2) {
      const int hi = platform::hexDigit(line[i]);
      const int lo = platform::hexDigit(line[i + 1]);
      if (hi < 0 || lo < 0) throw kErrDownloadFailed;
      image.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
      if (image.size() > kMaxImageBytes) return image;  // too large already: no need to read on
    }
  }
  return image;
}

void CDSP::Download(const char* fileName) {
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    std::ifstream file;
    if (fileName && *fileName) file.open(fileName, std::ios::binary);
    if (!file.is_open()) throw kErrCannotReadFirmware;
    std::vector<std::uint8_t> image;
    try {
      image = ConvertSRecords(file);
    } catch (int e) {
      error = e;
    }
    if (error == 0 && image.size() > kMaxImageBytes) {
      LogError("DSP Binary Too Large!");
      error = kErrBinTooLarge;
    }
    if (error == 0) {
      std::string frame =
          FormatText("DownLoadDSP 0x%02x 0x%05x\n", m_nDspId, static_cast<unsigned>(image.size()));
      frame.append(image.begin(), image.end());
      error = ExchangeBinary(m_pOwner->GetComm(), frame);
    }
  }
  if (error != 0) {
    LogDebug(5, "Download DSP file failed with error: %d", error);
    throw error;
  }
}

void CDSP::MemDump(std::uint16_t start, int numWords, std::uint16_t* buffer) {
  LogDebug(5, "DSP Memory Dump: DSP id:  %u   Start Address: %04X  Num Words: %04X", m_nDspId,
           static_cast<unsigned>(start), static_cast<unsigned>(numWords));
  if (!buffer || numWords < 1) throw kErrBadParameter;
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(numWords) * 2);
  int error = 0;
  {
    CLanComm& comm = m_pOwner->GetComm();
    CCommLock lock(comm);
    const std::string line = FormatText("%s %X %04X %04X\n", "dspmemdump", m_nDspId,
                                        static_cast<unsigned>(start), static_cast<unsigned>(numWords));
    int written = 0;
    error = comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (error == 0) error = ReadRawStatus(comm, kStatusChars);
    if (error == 0) error = ReadRawBytes(comm, raw.data(), static_cast<int>(raw.size()));
  }
  if (error != 0) {
    LogDebug(5, "DSP Memory Dump failed with error: %d", error);
    throw error;
  }
  for (std::size_t i = 0; i < static_cast<std::size_t>(numWords); ++i)
    buffer[i] = static_cast<std::uint16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));  // low byte first
}

void CDSP::MemWrite(std::uint16_t start, int numWords, const std::uint16_t* words) {
  LogDebug(5, "DSP Memory Write: DSP id:  %u   Start Address: %04X  Num Words: %04X", m_nDspId,
           static_cast<unsigned>(start), static_cast<unsigned>(numWords));
  if (!words || numWords < 1) throw kErrBadParameter;
  std::string values;
  for (int i = 0; i < numWords; ++i) values += FormatText("%u ", static_cast<unsigned>(words[i]));
  values += "\n";
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(),
                     FormatText("%s %X %04X %04X\n%s", "dmwmulti", m_nDspId, static_cast<unsigned>(start),
                                static_cast<unsigned>(numWords), values.c_str()));
  }
  if (error != 0) {
    LogDebug(5, "DSP Memory Write failed with error: %d", error);
    throw error;
  }
}

void CDSP::GetVCDumpInfo(std::uint32_t* v0, std::uint32_t* v1, std::uint32_t* v2, std::uint32_t* v3,
                         std::uint32_t* v4, std::uint32_t* v5, std::uint32_t* v6, std::uint32_t* v7,
                         std::uint32_t* v8, std::uint32_t* v9) {
  LogDebug(5, "GetVCDumpInfo from DSP id %u", m_nDspId);
  std::string rest;
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(), FormatText("%s %d\n", "getvcdumpinfo", static_cast<int>(m_nDspId)),
                     &rest);
  }
  if (error != 0) {
    LogDebug(1, "GetVCDumpInfo failed with error: %d", error);
    throw error;
  }
  std::uint32_t* out[10] = {v0, v1, v2, v3, v4, v5, v6, v7, v8, v9};
  int converted = 0;
  std::string_view text(rest);
  for (; converted < 10; ++converted) {
    const auto v = platform::parseLeadingHex(text);
    if (!v) break;
    if (out[converted]) *out[converted] = *v;
    const auto comma = text.find(',');
    if (converted < 9 && comma == std::string_view::npos) {
      ++converted;
      break;
    }
    text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
  }
  if (converted < 10)
    LogError("Error converting GetVCDumpInfo return values, only converted %d values", converted);
}
