// The library's entry points as an in-process server: class objects, unloading,
// registration, and the message pump used while the scanner waits.
#include "com/ComServer.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Jotwell/BaseException.h"
#include "Movrak/Export.h"
#include "Movrak/IScanCtrl.h"
#include "Movrak/IScanLL.h"
#include "com/ScanCtrl.h"
#include "com/ScanLL.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"
#include "link/MessageTable.h"
#include "platform/files.h"

using namespace platform::com;

namespace {

std::atomic<long> g_serverLocks{0};

void LockModule(bool lock) { lock ? ++g_serverLocks : --g_serverLocks; }

const ClassRegistration kClasses[] = {
    {CLSID_ScanCtrl, kScanCtrlProgId, kScanCtrlVersionedProgId, "ScanCtrl Class", "Apartment"},
    {CLSID_ScanLL, kScanLLProgId, kScanLLVersionedProgId, "ScanLL Class", "Apartment"},
};

constexpr int kPortStatusBase = 12000;
constexpr std::size_t kMaxBarcode = 49;

void PumpHook() { PumpComMessages(); }

}  // namespace

const char* FlashKeyArg(const std::string& key) {
  if (key.find('\0') != std::string::npos || key.size() > kMaxFlashKey) throw movrak::kErrBadParameter;
  return key.c_str();
}

std::optional<CaughtError> CatchError(const std::function<void()>& body) {
  using namespace movrak;
  try {
    body();
    return std::nullopt;
  } catch (int id) {
    return CaughtError{id, {}};
  } catch (PortStatus status) {
    return CaughtError{kPortStatusBase + static_cast<int>(status), {}};
  } catch (const std::bad_alloc&) {
    return CaughtError{kErrOutOfMemory, {}};
  } catch (const CBaseException& e) {
    // Its id, when it has one of the table, else the general failure with its text.
    const int id = e.GetMessageID() > 0 && FindMessageText(e.GetMessageID()) ? e.GetMessageID() : kErrUnknown;
    return CaughtError{id, e.GetMessageText()};
  } catch (const std::exception& e) {
    return CaughtError{kErrUnknown, *e.what() ? e.what() : movrak::GetErrorText(kErrUnknown)};
  } catch (const char* text) {
    return CaughtError{kErrUnknown, text && *text ? text : movrak::GetErrorText(kErrUnknown)};
  } catch (const std::string& text) {
    return CaughtError{kErrUnknown, text.empty() ? movrak::GetErrorText(kErrUnknown) : text};
  } catch (...) {
    return CaughtError{kErrUnknown, {}};
  }
}

void ReadScanLine(CScanner& scanner, std::int32_t points, std::uint16_t* samples) {
  // Two bytes a point, and the byte count must fit the reader's count.
  if (!samples || points <= 0 || points > INT_MAX / 2) throw movrak::kErrBadParameter;
  scanner.GetScanObj().GetData(reinterpret_cast<std::uint8_t*>(samples), static_cast<int>(points) * 2);
}

void ReadBrowseCarouselInfo(CScanner& scanner, int slot, std::int32_t* chipInSlot, unsigned char* symbology,
                            unsigned char* barcode) {
  int present = 0;
  char code = 0;
  // The client's buffer holds 50 bytes: the barcode is read into one of our own and
  // handed on cut to 49 characters.
  char text[kMaxBarcode + 1] = {};
  scanner.GetBrowseCarouselInfo(slot, &present, symbology ? &code : nullptr, barcode ? text : nullptr);
  if (chipInSlot) *chipInSlot = present;
  if (symbology) *symbology = static_cast<unsigned char>(code);
  if (barcode) {
    const auto length = static_cast<std::size_t>(std::find(text, text + kMaxBarcode, '\0') - text);
    std::memcpy(barcode, text, length);
    barcode[length] = 0;
  }
}

bool PumpComMessages() {
  MessageLoop* loop = GetThreadMessageLoop();
  if (!loop) return true;
  while (loop->HasMessage())
    if (!loop->PumpMessage()) return false;
  for (long count = 0; loop->OnIdle(count); ++count) {
  }
  return true;
}

void InstallMessagePump() {
  static const bool installed = (SetMessagePumpHook(&PumpHook), true);
  (void)installed;
}

extern "C" MOVRAK_API HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ClassFactory::Creator create = nullptr;
  if (clsid == CLSID_ScanCtrl)
    create = &CScanCtrl::Create;
  else if (clsid == CLSID_ScanLL)
    create = &CScanLL::Create;
  else
    return CLASS_E_CLASSNOTAVAILABLE;
  ClassFactory* factory = new (std::nothrow) ClassFactory(create, &LockModule);
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

extern "C" MOVRAK_API HRESULT DllCanUnloadNow() {
  return CScanCtrl::ObjectCount() == 0 && CScanLL::ObjectCount() == 0 && g_serverLocks == 0 ? S_OK : S_FALSE;
}

extern "C" MOVRAK_API HRESULT DllRegisterServer() {
  return RegisterServer(platform::modulePathOf(reinterpret_cast<const void*>(&DllRegisterServer)), kClasses);
}

extern "C" MOVRAK_API HRESULT DllUnregisterServer() { return UnregisterServer(kClasses); }
