#include "PortInternal.h"

#include <cstdio>
#include <vector>

#include "Jotwell/Logger.h"

namespace pellux {

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(platform::systemNow().time_since_epoch()).count();
}

std::string DataFile(const std::string& name) { return InstallDataFolder() + "/" + name; }

void LogPortInUse(const char* who) {
  LogError("%s The port is in use by other operations that did not end within %d s", who,
           static_cast<int>(CScanDataPort::kOperationLockWait.count()));
}

}  // namespace pellux
