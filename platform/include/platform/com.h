#pragma once
// In-process component objects: HRESULTs, GUIDs, an IUnknown-style base with an atomic
// reference count and QueryInterface by interface id, class factories, registration of
// classes under HKEY_CLASSES_ROOT of the registry layer, creation by class id or ProgID
// (the registered library is loaded with dlopen), per-thread error information, and
// ComError, which clients throw for a failed HRESULT.
//
// Strings cross the interfaces as UTF-8 std::string (outputs as std::string*); there is
// no IDispatch and no type library. A server library exports the four C entry points
// DllGetClassObject, DllCanUnloadNow, DllRegisterServer and DllUnregisterServer.
#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

namespace platform::com {

// ---- HRESULT ---------------------------------------------------------------------------------
using HRESULT = std::int32_t;

constexpr HRESULT MakeHResult(std::uint32_t severity, std::uint32_t facility, std::uint32_t code) {
  return static_cast<HRESULT>((severity << 31) | (facility << 16) | (code & 0xFFFFu));
}
constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }
constexpr std::uint32_t HResultCode(HRESULT hr) { return static_cast<std::uint32_t>(hr) & 0xFFFFu; }
constexpr std::uint32_t HResultFacility(HRESULT hr) {
  return (static_cast<std::uint32_t>(hr) >> 16) & 0x1FFFu;
}

inline constexpr std::uint32_t FACILITY_ITF = 4;
// An interface-specific failure: 0x80040000 | code.
constexpr HRESULT ItfError(std::uint32_t code) { return MakeHResult(1, FACILITY_ITF, code); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3u);
inline constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8u);
inline constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9u);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201u);

// A short text for the HRESULTs above ("Unknown error 0x%08X" otherwise).
std::string ErrorMessage(HRESULT hr);

// ---- GUID ---------------------------------------------------------------------------------------
struct GUID {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};

  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.data4[i] != b.data4[i]) return false;
    return true;
  }
};
using IID = GUID;
using CLSID = GUID;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
std::string ToString(const GUID& guid);
// Reads that form (braces optional, either case); nullopt for anything else.
std::optional<GUID> GuidFromString(std::string_view text);

// ---- interfaces ------------------------------------------------------------------------------------
// Every interface derives from IUnknown and names its id as `static constexpr IID kIID`.
// Objects are created with a reference count of 1 and delete themselves at the last
// Release. Methods never let an exception out: failures are HRESULTs.
class IUnknown {
 public:
  static constexpr IID kIID{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  [[nodiscard]] virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
 public:
  static constexpr IID kIID{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  [[nodiscard]] virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
  [[nodiscard]] virtual HRESULT LockServer(bool lock) = 0;
};

// The reference count and QueryInterface of a class that implements `Interfaces`.
template <typename... Interfaces>
class Object : public Interfaces... {
  static_assert(sizeof...(Interfaces) > 0, "an object implements at least one interface");

 public:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IUnknown::kIID) {
      *object = static_cast<IUnknown*>(static_cast<First*>(this));
    } else {
      ((iid == Interfaces::kIID && !*object ? (void)(*object = static_cast<Interfaces*>(this)) : (void)0),
       ...);
    }
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  std::uint32_t AddRef() override { return ++references_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  ~Object() override = default;

 private:
  using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
  std::atomic<std::uint32_t> references_{1};
};

// Holds one reference; Release at the end of its life.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over a reference the caller owns.
  explicit ComPtr(T* owned) : p_(owned) {}
  ComPtr(const ComPtr& other) : p_(other.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { reset(); }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For creation functions that hand out a reference: releases the current one.
  void** put() {
    reset();
    return reinterpret_cast<void**>(&p_);
  }
  // Another interface of the same object; empty when it has none.
  template <typename U>
  ComPtr<U> as() const {
    ComPtr<U> other;
    if (p_) (void)p_->QueryInterface(U::kIID, other.put());  // refused: `other` stays empty
    return other;
  }

 private:
  T* p_ = nullptr;
};

// A class factory whose objects come from `create`, which reports a failing construction
// as its HRESULT (never by throwing). `lockServer` (optional) counts LockServer calls for
// the server's DllCanUnloadNow. Aggregation is refused with CLASS_E_NOAGGREGATION.
class ClassFactory final : public Object<IClassFactory> {
 public:
  using Creator = HRESULT (*)(const IID& iid, void** object);
  using LockCounter = void (*)(bool lock);
  ClassFactory(Creator create, LockCounter lockServer) : create_(create), lockServer_(lockServer) {}

  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override;
  HRESULT LockServer(bool lock) override;

 private:
  ~ClassFactory() override = default;
  Creator create_;
  LockCounter lockServer_;
};

// ---- error information (per thread) ---------------------------------------------------------------
struct ErrorInfo {
  std::string description;
  std::string source;
  IID iid;
};
// Replaces the calling thread's error information.
void SetErrorInfo(ErrorInfo info);
// Takes the calling thread's error information (it is cleared); nullopt when none is set.
std::optional<ErrorInfo> GetErrorInfo();
void ClearErrorInfo();

// A failed HRESULT with its description, as clients throw and catch it.
class ComError : public std::exception {
 public:
  ComError(HRESULT hr, std::string description, IID iid = {});
  HRESULT Error() const { return hr_; }
  // The description of the error information, or the HRESULT's standard text.
  const std::string& Description() const { return description_; }
  const IID& Iid() const { return iid_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  HRESULT hr_;
  std::string description_;
  IID iid_;
};
// Throws ComError for a failed HRESULT, with the thread's error information (taken) when
// it was set for `iid` (any interface when `iid` is the null GUID); returns hr otherwise.
HRESULT Check(HRESULT hr, const IID& iid = {});

// ---- servers and creation -----------------------------------------------------------------------------
struct ClassRegistration {
  CLSID clsid;
  std::string progId;           // "Movrak.ScanCtrl"
  std::string versionedProgId;  // "Movrak.ScanCtrl.1"
  std::string description;
  std::string threadingModel = "Apartment";
};

// Writes the classes under HKEY_CLASSES_ROOT: each ProgID (its CLSID, CurVer), the
// versioned ProgID (its CLSID) and CLSID\{...} with ProgID, VersionIndependentProgID and
// InprocServer32 = `libraryPath` made absolute, with its ThreadingModel.
// SELFREG_E_CLASS when a key or value cannot be written.
[[nodiscard]] HRESULT RegisterServer(const std::string& libraryPath,
                                     std::span<const ClassRegistration> classes);
// Removes what RegisterServer wrote (missing keys are no error); SELFREG_E_CLASS when a
// key stays.
[[nodiscard]] HRESULT UnregisterServer(std::span<const ClassRegistration> classes);

// The class id of a ProgID (versioned or not, following CurVer), or of a "{...}" text.
// CO_E_CLASSSTRING when neither is registered or parses.
[[nodiscard]] HRESULT ClsidFromProgId(std::string_view progId, CLSID* clsid);
// The registered library path of a class; REGDB_E_CLASSNOTREG when there is none.
[[nodiscard]] HRESULT GetInprocServerPath(const CLSID& clsid, std::string* path);

// Loads the class's registered library (once per process; it stays loaded until
// FreeUnusedLibraries finds it unused) and asks its DllGetClassObject.
// REGDB_E_CLASSNOTREG, CO_E_DLLNOTFOUND (loading failed), CO_E_ERRORINDLL (no entry
// point), or the server's own result.
[[nodiscard]] HRESULT GetClassObject(const CLSID& clsid, const IID& iid, void** object);
// GetClassObject, then IClassFactory::CreateInstance.
[[nodiscard]] HRESULT CreateInstance(const CLSID& clsid, IUnknown* outer, const IID& iid, void** object);
[[nodiscard]] HRESULT CreateInstance(std::string_view progId, const IID& iid, void** object);
// Unloads every library loaded by GetClassObject whose DllCanUnloadNow answers S_OK.
void FreeUnusedLibraries();

// The entry points a server library exports (C linkage).
using DllGetClassObjectFn = HRESULT (*)(const CLSID& clsid, const IID& iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

// Calls a library's DllRegisterServer or DllUnregisterServer (loading it for the call).
[[nodiscard]] HRESULT RegisterLibrary(const std::string& libraryPath, bool unregister = false);

// ---- the apartment's message loop --------------------------------------------------------------------
// The window messages of a thread, as the thread's owner (the user interface) offers them
// to server code that waits on that thread.
class MessageLoop {
 public:
  virtual ~MessageLoop() = default;
  // True when a message is waiting (without removing it).
  virtual bool HasMessage() = 0;
  // Dispatches one message; false when it was the quit message.
  virtual bool PumpMessage() = 0;
  // Idle processing with the count of calls so far in this idle period; true while it
  // wants more.
  virtual bool OnIdle(long count) = 0;
};
// Sets the calling thread's loop (nullptr: none); returns the previous one.
MessageLoop* SetThreadMessageLoop(MessageLoop* loop);
MessageLoop* GetThreadMessageLoop();

}  // namespace platform::com
