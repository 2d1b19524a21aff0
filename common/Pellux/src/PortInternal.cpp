#include "PortInternal.h"

#include <cstdio>
#include <vector>

namespace pellux {

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(platform::systemNow().time_since_epoch()).count();
}

std::string DataFile(const std::string& name) { return InstallDataFolder() + "/" + name; }

}  // namespace pellux
