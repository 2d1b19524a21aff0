#include "devices/DeviceUtil.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "Pellux/ScanDataPort.h"
#include "devices/DeviceErrors.h"
#include "link/ErrorIds.h"
#include "platform/files.h"
#include "platform/text.h"

namespace movrak {

namespace {
constexpr int kMaxRawRead = 4096;
}  // namespace

PortAccess::PortAccess(CScanDataPort& port) : port_(port) {
  if (!port_.LockAccess()) throw kErrDataPortBusy;
}

PortAccess::~PortAccess() { port_.ReleaseAccess(); }

int Exchange(CLanComm& comm, const std::string& line, std::string* rest) {
  int written = 0;
  if (const int r = comm.WriteString(line.data(), static_cast<int>(line.size()), &written); r != 0) return r;
  int status = 0;
  std::string text;
  if (const int r = comm.ReadResponse(&status, text); r != 0) return r;
  if (rest) *rest = std::move(text);
  return status;
}

int ExchangeBinary(CLanComm& comm, const std::string& bytes, std::string* rest) {
  int written = 0;
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  if (const int r = comm.WriteBinaryString(data, static_cast<int>(bytes.size()), &written); r != 0) return r;
  int status = 0;
  std::string text;
  if (const int r = comm.ReadResponse(&status, text); r != 0) return r;
  if (rest) *rest = std::move(text);
  return status;
}

int ReadRawStatus(CLanComm& comm, int max, std::string* text) {
  if (max < 1) max = 1;
  std::vector<char> buffer(static_cast<std::size_t>(max));
  int read = 0;
  if (const int r = comm.ReadString(buffer.data(), max, &read); r != 0) return r;
  read = std::clamp(read, 0, max);
  const std::string_view reply(buffer.data(), static_cast<std::size_t>(read));
  if (text) text->assign(reply);
  const auto status = platform::parseLeadingHex(reply);
  if (!status) return kErrUnknown;
  return *status == 0 ? 0 : comm.TranslateStatus(*status);
}

int ReadRawBytes(CLanComm& comm, std::uint8_t* buffer, int count) {
  int done = 0;
  while (done < count) {
    int read = 0;
    const int r =
        comm.ReadString(reinterpret_cast<char*>(buffer) + done, std::min(count - done, kMaxRawRead), &read);
    if (r != 0) return r;
    if (read <= 0) return kErrTimedOut;  // the reply held fewer bytes than announced
    done += read;
  }
  return 0;
}

std::optional<std::int32_t> ParseHex32(std::string_view text) {
  const auto v = platform::parseLeadingHex(text);
  if (!v) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

bool IsSingleToken(const char* text) {
  if (!text || !*text) return false;
  for (const char* p = text; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool HasControlCharacters(const char* text) {
  if (!text) return false;
  for (const char* p = text; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool WriteWholeFile(const std::string& path, std::string_view contents) {
  return platform::replaceFileContents(path, contents);
}

}  // namespace movrak
