#include "PortInternal.h"

#include <cstdio>
#include <vector>

#include "Jotwell/RegEdit.h"
#include "platform/files.h"

namespace pellux {

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    std::vector<char> buf(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, args);
    out.assign(buf.data(), static_cast<std::size_t>(n));
  }
  va_end(args);
  return out;
}

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(platform::systemNow().time_since_epoch()).count();
}

std::string DataFolder() {
  std::string install = CRegEdit(HKEY_LOCAL_MACHINE, kProductKey).ReadString("Path", "");
  if (install.empty()) return platform::tempDirectory();
  if (install.back() != '/') install += '/';
  const std::string folder = install + "Data";
  platform::createDirectories(folder);
  return folder;
}

std::string DataFile(const std::string& name) { return DataFolder() + "/" + name; }

}  // namespace pellux
