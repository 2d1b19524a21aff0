#include "run/ScanMgr.h"

namespace lumetra::run {

void CScanMgr::SendStatusLine(const std::string&, int) {}
std::string CScanMgr::ReadInstrumentSerialNumber() { return m_Info.serialNumber; }
bool CScanMgr::UseTwoPassSuffixes() const { return false; }

}  // namespace lumetra::run
