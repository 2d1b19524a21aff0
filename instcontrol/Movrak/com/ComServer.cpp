// The library's entry points as an in-process server: class objects, unloading,
// registration, and the message pump used while the scanner waits.
#include "com/ComServer.h"

#include <atomic>

#include "Movrak/Export.h"
#include "Movrak/IScanCtrl.h"
#include "com/ScanCtrl.h"
#include "devices/Scanner.h"
#include "platform/files.h"

using namespace platform::com;

namespace {

std::atomic<long> g_serverLocks{0};

void LockModule(bool lock) { lock ? ++g_serverLocks : --g_serverLocks; }

const ClassRegistration kClasses[] = {
    {CLSID_ScanCtrl, kScanCtrlProgId, kScanCtrlVersionedProgId, "ScanCtrl Class", "Apartment"},
};

void PumpHook() { PumpComMessages(); }

}  // namespace

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
  if (!(clsid == CLSID_ScanCtrl)) return CLASS_E_CLASSNOTAVAILABLE;
  ClassFactory* factory = new (std::nothrow) ClassFactory(&CScanCtrl::Create, &LockModule);
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

extern "C" MOVRAK_API HRESULT DllCanUnloadNow() {
  return CScanCtrl::ObjectCount() == 0 && g_serverLocks == 0 ? S_OK : S_FALSE;
}

extern "C" MOVRAK_API HRESULT DllRegisterServer() {
  return RegisterServer(platform::modulePathOf(reinterpret_cast<const void*>(&DllRegisterServer)), kClasses);
}

extern "C" MOVRAK_API HRESULT DllUnregisterServer() { return UnregisterServer(kClasses); }
