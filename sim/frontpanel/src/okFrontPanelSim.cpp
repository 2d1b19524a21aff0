// The simulated data board's library entries: every entry point the data port binds, with
// C linkage, over the board model (BoardModel.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "BoardModel.h"

using namespace oksim;

// The entries, declared with C linkage from the interface the port binds, so that a
// definition that strays from it does not compile.
extern "C" {
#define OKSIM_DECLARE_ENTRY(name, ret, params) OKSIM_API ret name params;
OK_FRONTPANEL_ENTRIES(OKSIM_DECLARE_ENTRY)
#undef OKSIM_DECLARE_ENTRY
}

extern "C" {

int okFrontPanelDLL_GetVersion(char* text, int size) {
  Lock lock(lockOf());
  logCall("okFrontPanelDLL_GetVersion()");
  if (text && size > 0) std::snprintf(text, static_cast<std::size_t>(size), "%s", "sim 1.0");
  return 1;
}

// ---- first clock chip ----
okClock22150Handle okPLL22150_Construct(void) {
  Lock lock(lockOf());
  return adopt(board().clocks22150, std::make_unique<okClock22150Object>());
}
void okPLL22150_Destruct(okClock22150Handle pll) {
  Lock lock(lockOf());
  release(board().clocks22150, pll);
}
void okPLL22150_SetCrystalLoad(okClock22150Handle, double) {}
void okPLL22150_SetReference(okClock22150Handle pll, double freq, int) {
  if (pll) pll->reference = freq;
}
double okPLL22150_GetReference(okClock22150Handle pll) { return pll ? pll->reference : 0; }
int okPLL22150_SetVCOParameters(okClock22150Handle pll, int p, int q) {
  if (!pll) return 0;
  pll->p = p, pll->q = q;
  return 1;
}
int okPLL22150_GetVCOP(okClock22150Handle pll) { return pll ? pll->p : 0; }
int okPLL22150_GetVCOQ(okClock22150Handle pll) { return pll ? pll->q : 0; }
double okPLL22150_GetVCOFrequency(okClock22150Handle pll) {
  return pll && pll->q ? pll->reference * pll->p / pll->q : 0;
}
void okPLL22150_SetDiv1(okClock22150Handle pll, int source, int divider) {
  if (pll) pll->div1Source = source, pll->div1Divider = divider;
}
void okPLL22150_SetDiv2(okClock22150Handle pll, int source, int divider) {
  if (pll) pll->div2Source = source, pll->div2Divider = divider;
}
int okPLL22150_GetDiv1Source(okClock22150Handle pll) { return pll ? pll->div1Source : 0; }
int okPLL22150_GetDiv2Source(okClock22150Handle pll) { return pll ? pll->div2Source : 0; }
int okPLL22150_GetDiv1Divider(okClock22150Handle pll) { return pll ? pll->div1Divider : 0; }
int okPLL22150_GetDiv2Divider(okClock22150Handle pll) { return pll ? pll->div2Divider : 0; }
void okPLL22150_SetOutputSource(okClock22150Handle pll, int output, int source) {
  if (pll && output >= 0 && output < 6) pll->outputSource[output] = source;
}
void okPLL22150_SetOutputEnable(okClock22150Handle pll, int output, int enable) {
  if (pll && output >= 0 && output < 6) pll->outputEnable[output] = enable;
}
int okPLL22150_GetOutputSource(okClock22150Handle pll, int output) {
  return pll && output >= 0 && output < 6 ? pll->outputSource[output] : 0;
}
double okPLL22150_GetOutputFrequency(okClock22150Handle pll, int output) {
  if (!pll || output < 0 || output >= 6 || !pll->outputEnable[output]) return 0;
  const double vco = okPLL22150_GetVCOFrequency(pll);
  return pll->div1Divider ? vco / pll->div1Divider : 0;
}
int okPLL22150_IsOutputEnabled(okClock22150Handle pll, int output) {
  return pll && output >= 0 && output < 6 ? pll->outputEnable[output] : 0;
}
void okPLL22150_InitFromProgrammingInfo(okClock22150Handle, const unsigned char*) {}
void okPLL22150_GetProgrammingInfo(okClock22150Handle, unsigned char* info) {
  if (info) std::memset(info, 0, 16);
}

// ---- second clock chip ----
okClock22393Handle okPLL22393_Construct(void) {
  Lock lock(lockOf());
  return adopt(board().clocks22393, std::make_unique<okClock22393Object>());
}
void okPLL22393_Destruct(okClock22393Handle pll) {
  Lock lock(lockOf());
  release(board().clocks22393, pll);
}
void okPLL22393_SetCrystalLoad(okClock22393Handle, double) {}
void okPLL22393_SetReference(okClock22393Handle pll, double freq) {
  if (pll) pll->reference = freq;
}
double okPLL22393_GetReference(okClock22393Handle pll) { return pll ? pll->reference : 0; }
int okPLL22393_SetPLLParameters(okClock22393Handle pll, int n, int p, int q, int enable) {
  if (!pll || n < 0 || n >= 3) return 0;
  pll->p[n] = p, pll->q[n] = q, pll->enabled[n] = enable;
  return 1;
}
int okPLL22393_SetPLLLF(okClock22393Handle pll, int n, int) { return pll && n >= 0 && n < 3; }
int okPLL22393_SetOutputDivider(okClock22393Handle pll, int n, int divider) {
  if (!pll || n < 0 || n >= 5) return 0;
  pll->outputDivider[n] = divider;
  return 1;
}
int okPLL22393_SetOutputSource(okClock22393Handle pll, int n, int source) {
  if (!pll || n < 0 || n >= 5) return 0;
  pll->outputSource[n] = source;
  return 1;
}
void okPLL22393_SetOutputEnable(okClock22393Handle pll, int n, int enable) {
  if (pll && n >= 0 && n < 5) pll->outputEnable[n] = enable;
}
#ifndef OKSIM_PARTIAL
int okPLL22393_GetPLLP(okClock22393Handle pll, int n) { return pll && n >= 0 && n < 3 ? pll->p[n] : 0; }
#endif
int okPLL22393_GetPLLQ(okClock22393Handle pll, int n) { return pll && n >= 0 && n < 3 ? pll->q[n] : 0; }
double okPLL22393_GetPLLFrequency(okClock22393Handle pll, int n) {
  return pll && n >= 0 && n < 3 && pll->q[n] ? pll->reference * pll->p[n] / pll->q[n] : 0;
}
int okPLL22393_GetOutputDivider(okClock22393Handle pll, int n) {
  return pll && n >= 0 && n < 5 ? pll->outputDivider[n] : 0;
}
int okPLL22393_GetOutputSource(okClock22393Handle pll, int n) {
  return pll && n >= 0 && n < 5 ? pll->outputSource[n] : 0;
}
double okPLL22393_GetOutputFrequency(okClock22393Handle pll, int n) {
  if (!pll || n < 0 || n >= 5 || !pll->outputEnable[n] || !pll->outputDivider[n]) return 0;
  return okPLL22393_GetPLLFrequency(pll, 0) / pll->outputDivider[n];
}
int okPLL22393_IsOutputEnabled(okClock22393Handle pll, int n) {
  return pll && n >= 0 && n < 5 ? pll->outputEnable[n] : 0;
}
int okPLL22393_IsPLLEnabled(okClock22393Handle pll, int n) {
  return pll && n >= 0 && n < 3 ? pll->enabled[n] : 0;
}
void okPLL22393_InitFromProgrammingInfo(okClock22393Handle, const unsigned char*) {}
void okPLL22393_GetProgrammingInfo(okClock22393Handle, unsigned char* info) {
  if (info) std::memset(info, 0, 16);
}

// ---- the board ----
// Every board entry takes the lock and goes into the call log; every one that returns a
// value can be scripted.
#define OKSIM_ENTRY(...) \
  Lock lock(lockOf());   \
  logCall(format(__VA_ARGS__))
#define OKSIM_SCRIPTED(type) \
  if (auto r = scripted(__func__)) return static_cast<type>(*r)

okBoardHandle okUsbFrontPanel_Construct(void) {
  OKSIM_ENTRY("okUsbFrontPanel_Construct()");
  return adopt(board().boards, std::make_unique<okBoardObject>());
}

void okUsbFrontPanel_Destruct(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_Destruct()");
  release(board().boards, h);
}

int okUsbFrontPanel_Has16BitHostInterface(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_Has16BitHostInterface()");
  OKSIM_SCRIPTED(int);
  return validBoard(h) ? 1 : 0;
}

int okUsbFrontPanel_IsHighSpeed(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_IsHighSpeed()");
  OKSIM_SCRIPTED(int);
  return validBoard(h) ? 1 : 0;
}

int okUsbFrontPanel_GetBoardModel(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_GetBoardModel()");
  OKSIM_SCRIPTED(int);
  if (!isOpen(h)) return 0;
  for (const auto& [model, serial] : board().devices)
    if (serial == h->serial) return model;
  return 0;
}

ok_ErrorCode okUsbFrontPanel_WriteI2C(okBoardHandle h, int addr, int length, const unsigned char*) {
  OKSIM_ENTRY("okUsbFrontPanel_WriteI2C(0x%02X,%d)", addr, length);
  OKSIM_SCRIPTED(ok_ErrorCode);
  return isOpen(h) ? 0 : -8;
}

ok_ErrorCode okUsbFrontPanel_ReadI2C(okBoardHandle h, int addr, int length, unsigned char* data) {
  OKSIM_ENTRY("okUsbFrontPanel_ReadI2C(0x%02X,%d)", addr, length);
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (data && length > 0) std::memset(data, 0, static_cast<std::size_t>(length));
  return 0;
}

int okUsbFrontPanel_GetDeviceCount(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceCount()");
  OKSIM_SCRIPTED(int);
  return validBoard(h) ? static_cast<int>(board().devices.size()) : 0;
}

int okUsbFrontPanel_GetDeviceListModel(okBoardHandle h, int index) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceListModel(%d)", index);
  OKSIM_SCRIPTED(int);
  const auto& devices = board().devices;
  if (!validBoard(h) || index < 0 || index >= static_cast<int>(devices.size())) return 0;
  return devices[static_cast<std::size_t>(index)].first;
}

void okUsbFrontPanel_GetDeviceListSerial(okBoardHandle h, int index, char* serial) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceListSerial(%d)", index);
  const auto& devices = board().devices;
  const bool ok = validBoard(h) && index >= 0 && index < static_cast<int>(devices.size());
  copyText(serial, ok ? devices[static_cast<std::size_t>(index)].second : std::string());
}

ok_ErrorCode okUsbFrontPanel_OpenBySerial(okBoardHandle h, const char* serial) {
  OKSIM_ENTRY("okUsbFrontPanel_OpenBySerial(%s)", serial ? serial : "(null)");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!validBoard(h)) return -8;
  const std::string wanted = serial ? serial : "";
  for (const auto& [model, sn] : board().devices) {
    if (sn == wanted) {
      h->open = true;
      h->serial = sn;
      return 0;
    }
  }
  return -8;
}

int okUsbFrontPanel_IsOpen(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_IsOpen()");
  OKSIM_SCRIPTED(int);
  return isOpen(h) ? 1 : 0;
}

void okUsbFrontPanel_SetTimeout(okBoardHandle, int milliseconds) {
  OKSIM_ENTRY("okUsbFrontPanel_SetTimeout(%d)", milliseconds);
}

void okUsbFrontPanel_EnableAsynchronousTransfers(okBoardHandle, int enable) {
  OKSIM_ENTRY("okUsbFrontPanel_EnableAsynchronousTransfers(%d)", enable);
}

int okUsbFrontPanel_GetDeviceMajorVersion(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceMajorVersion()");
  OKSIM_SCRIPTED(int);
  return isOpen(h) ? board().fwMajor : 0;
}

int okUsbFrontPanel_GetDeviceMinorVersion(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceMinorVersion()");
  OKSIM_SCRIPTED(int);
  return isOpen(h) ? board().fwMinor : 0;
}

ok_ErrorCode okUsbFrontPanel_ResetFPGA(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_ResetFPGA()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  board().configured = false;
  return 0;
}

#ifndef OKSIM_PARTIAL
void okUsbFrontPanel_GetSerialNumber(okBoardHandle h, char* serial) {
  OKSIM_ENTRY("okUsbFrontPanel_GetSerialNumber()");
  copyText(serial, isOpen(h) ? h->serial : std::string());
}
#endif

void okUsbFrontPanel_GetDeviceID(okBoardHandle h, char* id) {
  OKSIM_ENTRY("okUsbFrontPanel_GetDeviceID()");
  copyText(id, isOpen(h) ? std::string("Keth ") + h->serial : std::string());
}

void okUsbFrontPanel_SetDeviceID(okBoardHandle, const char* id) {
  OKSIM_ENTRY("okUsbFrontPanel_SetDeviceID(%s)", id ? id : "(null)");
}

#ifndef OKSIM_PARTIAL
ok_ErrorCode okUsbFrontPanel_ConfigureFPGA(okBoardHandle h, const char* bitFile) {
  OKSIM_ENTRY("okUsbFrontPanel_ConfigureFPGA(%s)", bitFile ? bitFile : "(null)");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  Board& b = board();
  int error = 0;
  const std::string content = readConfigFile(bitFile, error);
  if (error) return error;
  int version = b.defaultVersion;
  const auto at = content.find("version=");
  if (at != std::string::npos) version = std::atoi(content.c_str() + at + 8);
  if (b.forcedVersion >= 0) version = b.forcedVersion;
  b.configured = true;
  b.configVersion = version;
  std::fill(std::begin(b.pendingIn), std::end(b.pendingIn), 0u);
  std::fill(std::begin(b.latchedIn), std::end(b.latchedIn), 0u);
  b.running = false;
  for (Dcm& d : b.dcm) {
    d.position = d.initialPosition;
    d.shifts = d.shiftsNeeded;  // the download leaves the phase shifted as it was
    d.resetAt.reset();
  }
  return 0;
}
#endif

ok_ErrorCode okUsbFrontPanel_ConfigureFPGAFromMemory(okBoardHandle h, const unsigned char*,
                                                     unsigned long length) {
  OKSIM_ENTRY("okUsbFrontPanel_ConfigureFPGAFromMemory(%lu)", length);
  OKSIM_SCRIPTED(ok_ErrorCode);
  return isOpen(h) ? -15 : -8;
}

ok_ErrorCode okUsbFrontPanel_GetPLL22150Configuration(okBoardHandle h, okClock22150Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_GetPLL22150Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) *pll = board().pll22150;
  return 0;
}

ok_ErrorCode okUsbFrontPanel_SetPLL22150Configuration(okBoardHandle h, okClock22150Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_SetPLL22150Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) board().pll22150 = *pll;
  return 0;
}

ok_ErrorCode okUsbFrontPanel_GetEepromPLL22150Configuration(okBoardHandle h, okClock22150Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_GetEepromPLL22150Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) *pll = okClock22150Object{};
  return 0;
}

ok_ErrorCode okUsbFrontPanel_SetEepromPLL22150Configuration(okBoardHandle h, okClock22150Handle) {
  OKSIM_ENTRY("okUsbFrontPanel_SetEepromPLL22150Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  return isOpen(h) ? 0 : -8;
}

ok_ErrorCode okUsbFrontPanel_GetPLL22393Configuration(okBoardHandle h, okClock22393Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_GetPLL22393Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) *pll = board().pll22393;
  return 0;
}

ok_ErrorCode okUsbFrontPanel_SetPLL22393Configuration(okBoardHandle h, okClock22393Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_SetPLL22393Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) board().pll22393 = *pll;
  return 0;
}

ok_ErrorCode okUsbFrontPanel_GetEepromPLL22393Configuration(okBoardHandle h, okClock22393Handle pll) {
  OKSIM_ENTRY("okUsbFrontPanel_GetEepromPLL22393Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (pll) *pll = okClock22393Object{};
  return 0;
}

ok_ErrorCode okUsbFrontPanel_SetEepromPLL22393Configuration(okBoardHandle h, okClock22393Handle) {
  OKSIM_ENTRY("okUsbFrontPanel_SetEepromPLL22393Configuration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  return isOpen(h) ? 0 : -8;
}

ok_ErrorCode okUsbFrontPanel_LoadDefaultPLLConfiguration(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_LoadDefaultPLLConfiguration()");
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  board().pll22150 = okClock22150Object{};
  return 0;
}

int okUsbFrontPanel_IsFrontPanelEnabled(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_IsFrontPanelEnabled()");
  OKSIM_SCRIPTED(int);
  return isOpen(h) && board().configured ? 1 : 0;
}

int okUsbFrontPanel_IsFrontPanel3Supported(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_IsFrontPanel3Supported()");
  OKSIM_SCRIPTED(int);
  return isOpen(h) ? 1 : 0;
}

void okUsbFrontPanel_UpdateWireIns(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_UpdateWireIns()");
  if (isOpen(h) && board().configured) latchWireIns();
}

ok_ErrorCode okUsbFrontPanel_SetWireInValue(okBoardHandle h, int ep, unsigned value, unsigned mask) {
  OKSIM_ENTRY("okUsbFrontPanel_SetWireInValue(0x%02X,0x%04X,0x%04X)", ep, value, mask);
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if (ep < 0 || ep > 0x1F) return -9;
  unsigned& w = board().pendingIn[ep];
  w = ((w & ~mask) | (value & mask)) & 0xFFFF;
  return 0;
}

void okUsbFrontPanel_UpdateWireOuts(okBoardHandle h) {
  OKSIM_ENTRY("okUsbFrontPanel_UpdateWireOuts()");
  if (isOpen(h)) snapshotWireOuts();
}

int okUsbFrontPanel_GetWireOutValue(okBoardHandle h, int ep) {
  OKSIM_ENTRY("okUsbFrontPanel_GetWireOutValue(0x%02X)", ep);
  OKSIM_SCRIPTED(int);
  if (!isOpen(h) || ep < 0x20 || ep > 0x3F) return 0;
  return static_cast<int>(board().wireOut[ep] & 0xFFFF);
}

ok_ErrorCode okUsbFrontPanel_ActivateTriggerIn(okBoardHandle h, int ep, int bit) {
  OKSIM_ENTRY("okUsbFrontPanel_ActivateTriggerIn(0x%02X,%d)", ep, bit);
  OKSIM_SCRIPTED(ok_ErrorCode);
  if (!isOpen(h)) return -8;
  if ((ep != 0x40 && ep != 0x41) || bit < 0 || bit > 15) return -9;
  if (!board().configured) return -1;
  if (triggerFails(ep, bit)) return -1;
  if (ep == 0x40)
    triggerCtrl(bit);
  else
    triggerIn41(bit);
  return 0;
}

void okUsbFrontPanel_UpdateTriggerOuts(okBoardHandle) { OKSIM_ENTRY("okUsbFrontPanel_UpdateTriggerOuts()"); }

int okUsbFrontPanel_IsTriggered(okBoardHandle, int ep, int mask) {
  OKSIM_ENTRY("okUsbFrontPanel_IsTriggered(0x%02X,0x%04X)", ep, mask);
  OKSIM_SCRIPTED(int);
  return 0;  // the board has no trigger-outs
}

long okUsbFrontPanel_GetLastTransferLength(okBoardHandle) {
  OKSIM_ENTRY("okUsbFrontPanel_GetLastTransferLength()");
  OKSIM_SCRIPTED(long);
  return board().lastTransfer;
}

long okUsbFrontPanel_WriteToPipeIn(okBoardHandle h, int ep, long length, const unsigned char*) {
  OKSIM_ENTRY("okUsbFrontPanel_WriteToPipeIn(0x%02X,%ld)", ep, length);
  OKSIM_SCRIPTED(long);
  return isOpen(h) ? -9 : -8;  // the board has no pipe-ins
}

long okUsbFrontPanel_WriteToBlockPipeIn(okBoardHandle h, int ep, int blockSize, long length,
                                        const unsigned char*) {
  OKSIM_ENTRY("okUsbFrontPanel_WriteToBlockPipeIn(0x%02X,%d,%ld)", ep, blockSize, length);
  OKSIM_SCRIPTED(long);
  return isOpen(h) ? -9 : -8;
}

long okUsbFrontPanel_ReadFromPipeOut(okBoardHandle h, int ep, long length, unsigned char* data) {
  OKSIM_ENTRY("okUsbFrontPanel_ReadFromPipeOut(0x%02X,%ld)", ep, length);
  OKSIM_SCRIPTED(long);
  return readPipe(h, ep, 1, length, data);
}

long okUsbFrontPanel_ReadFromBlockPipeOut(okBoardHandle h, int ep, int blockSize, long length,
                                          unsigned char* data) {
  OKSIM_ENTRY("okUsbFrontPanel_ReadFromBlockPipeOut(0x%02X,%d,%ld)", ep, blockSize, length);
  OKSIM_SCRIPTED(long);
  return readPipe(h, ep, blockSize, length, data);
}

}  // extern "C"
