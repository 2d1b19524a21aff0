#include "PortInternal.h"

#include <cstdio>
#include <vector>

#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "platform/files.h"

namespace pellux {

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(platform::systemNow().time_since_epoch()).count();
}

std::string DataFolder() {
  std::string install = CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).ReadString(zeva::kInstallPathValue, "");
  if (install.empty()) return platform::tempDirectory();
  if (install.back() != '/') install += '/';
  const std::string folder = install + "Data";
  platform::createDirectories(folder);
  return folder;
}

std::string DataFile(const std::string& name) { return DataFolder() + "/" + name; }

}  // namespace pellux
