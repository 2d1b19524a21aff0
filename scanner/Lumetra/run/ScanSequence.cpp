#include "run/ScanMgr.h"

namespace lumetra::run {

void CScanMgr::DoScan(const std::string&) { throw RunMessage{9952}; }

}  // namespace lumetra::run
