// A small server library for the com tests: one counter class and one whose construction
// fails, registered as "ComFixture.Counter" / "ComFixture.Counter.1" and "ComFixture.Broken".
#include "com_fixture.h"

#include <atomic>
#include <new>
#include <string>

#include "platform/files.h"

namespace {

using namespace platform::com;

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

class Counter final : public Object<comfixture::ICounter> {
 public:
  Counter() { ++g_objects; }
  HRESULT Increment(int* count) override {
    if (!count) return E_POINTER;
    *count = ++count_;
    return S_OK;
  }
  HRESULT Fail(int id) override {
    SetErrorInfo({"failed: " + std::to_string(id), "ComFixture.Counter", comfixture::ICounter::kIID});
    return ItfError(static_cast<std::uint32_t>(id));
  }

 private:
  ~Counter() override { --g_objects; }
  int count_ = 0;
};

HRESULT CreateCounter(const IID& iid, void** object) {
  Counter* counter = new Counter;
  const HRESULT hr = counter->QueryInterface(iid, object);
  counter->Release();
  return hr;
}

HRESULT CreateBroken(const IID&, void**) { throw std::bad_alloc(); }

void Lock(bool lock) { lock ? ++g_locks : --g_locks; }

const ClassRegistration kClasses[] = {
    {comfixture::kCLSID_Counter, "ComFixture.Counter", "ComFixture.Counter.1", "Counter", "Apartment"},
    {comfixture::kCLSID_Broken, "ComFixture.Broken", "", "Broken", "Apartment"},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(const CLSID& clsid,
                                                                            const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ClassFactory* factory = nullptr;
  if (clsid == comfixture::kCLSID_Counter)
    factory = new ClassFactory(&CreateCounter, &Lock);
  else if (clsid == comfixture::kCLSID_Broken)
    factory = new ClassFactory(&CreateBroken, &Lock);
  else
    return CLASS_E_CLASSNOTAVAILABLE;
  const HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  return RegisterServer(platform::modulePathOf(reinterpret_cast<const void*>(&DllCanUnloadNow)), kClasses);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
  return UnregisterServer(kClasses);
}
