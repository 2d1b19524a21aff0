#include "platform/com.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/dynlib.h"
#include "platform/registry.h"

namespace platform::com {

// ---- HRESULT ------------------------------------------------------------------------------------

std::string ErrorMessage(HRESULT hr) {
  switch (hr) {
    case S_OK:
      return "The operation completed successfully.";
    case S_FALSE:
      return "The operation completed with a false result.";
    case E_UNEXPECTED:
      return "Catastrophic failure.";
    case E_NOTIMPL:
      return "Not implemented.";
    case E_NOINTERFACE:
      return "No such interface supported.";
    case E_POINTER:
      return "Invalid pointer.";
    case E_FAIL:
      return "Unspecified error.";
    case E_OUTOFMEMORY:
      return "Not enough memory.";
    case E_INVALIDARG:
      return "The parameter is incorrect.";
    case CLASS_E_NOAGGREGATION:
      return "Class does not support aggregation.";
    case CLASS_E_CLASSNOTAVAILABLE:
      return "Class not available from this library.";
    case REGDB_E_CLASSNOTREG:
      return "Class not registered.";
    case CO_E_CLASSSTRING:
      return "Invalid class string.";
    case CO_E_DLLNOTFOUND:
      return "The server library could not be loaded.";
    case CO_E_ERRORINDLL:
      return "The server library has no entry point for this.";
    case SELFREG_E_CLASS:
      return "The class could not be registered.";
    default: {
      char text[40];
      std::snprintf(text, sizeof text, "Unknown error 0x%08X", static_cast<unsigned>(hr));
      return text;
    }
  }
}

// ---- GUID -----------------------------------------------------------------------------------------

std::string ToString(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2,
                g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                g.data4[7]);
  return text;
}

std::optional<GUID> GuidFromString(std::string_view text) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  std::uint8_t bytes[16];
  std::size_t at = 0;
  for (int i = 0; i < 16; ++i) {
    if (at == 8 || at == 13 || at == 18 || at == 23) {
      if (text[at] != '-') return std::nullopt;
      ++at;
    }
    unsigned value = 0;
    for (int k = 0; k < 2; ++k, ++at) {
      const char c = text[at];
      if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
      value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    bytes[i] = static_cast<std::uint8_t>(value);
  }
  GUID g;
  g.data1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
            (std::uint32_t{bytes[2]} << 8) | bytes[3];
  g.data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  g.data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) g.data4[i] = bytes[8 + i];
  return g;
}

// ---- class factory ----------------------------------------------------------------------------------

HRESULT ClassFactory::CreateInstance(IUnknown* outer, const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!create_) return E_UNEXPECTED;
  try {
    return create_(iid, object);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT ClassFactory::LockServer(bool lock) {
  if (lockServer_) lockServer_(lock);
  return S_OK;
}

// ---- error information -------------------------------------------------------------------------------

namespace {
thread_local std::optional<ErrorInfo> t_errorInfo;
thread_local MessageLoop* t_messageLoop = nullptr;
}  // namespace

void SetErrorInfo(ErrorInfo info) { t_errorInfo = std::move(info); }

std::optional<ErrorInfo> GetErrorInfo() { return std::exchange(t_errorInfo, std::nullopt); }

void ClearErrorInfo() { t_errorInfo.reset(); }

ComError::ComError(HRESULT hr, std::string description, IID iid)
    : hr_(hr), description_(description.empty() ? ErrorMessage(hr) : std::move(description)), iid_(iid) {}

HRESULT Check(HRESULT hr, const IID& iid) {
  if (Succeeded(hr)) return hr;
  std::optional<ErrorInfo> info = GetErrorInfo();
  if (info && (iid == IID{} || info->iid == iid)) throw ComError(hr, std::move(info->description), info->iid);
  throw ComError(hr, {}, iid);
}

// ---- registration ----------------------------------------------------------------------------------------

namespace {

using namespace platform::registry;

bool WriteDefault(std::string_view key, std::string_view name, std::string_view value) {
  return createKey(HKEY_CLASSES_ROOT, key) == kOk &&
         setValue(HKEY_CLASSES_ROOT, key, name, makeString(value)) == kOk;
}

std::optional<std::string> ReadString(std::string_view key, std::string_view name = {}) {
  Value v;
  if (queryValue(HKEY_CLASSES_ROOT, key, name, v) != kOk) return std::nullopt;
  if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return std::nullopt;
  std::string text(v.data.begin(), v.data.end());
  // Up to the first NUL (the stored terminator).
  if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

// Removes a key with everything under it; false when some of it stays.
bool DeleteTree(const std::string& key) {
  std::vector<std::string> children;
  bool gone = true;
  if (enumSubKeys(HKEY_CLASSES_ROOT, key, children) == kOk)
    for (const std::string& child : children) gone = DeleteTree(key + "\\" + child) && gone;
  const long deleted = deleteKey(HKEY_CLASSES_ROOT, "", key);
  return gone && (deleted == kOk || deleted == kErrorFileNotFound);
}

std::string ClsidKey(const CLSID& clsid) { return "CLSID\\" + ToString(clsid); }

}  // namespace

HRESULT RegisterServer(const std::string& libraryPath, std::span<const ClassRegistration> classes) {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(libraryPath, ec);
  if (ec || libraryPath.empty()) return SELFREG_E_CLASS;
  path = path.lexically_normal();
  for (const ClassRegistration& c : classes) {
    const std::string id = ToString(c.clsid);
    const std::string key = ClsidKey(c.clsid);
    bool ok = WriteDefault(key, "", c.description) &&
              WriteDefault(key + "\\InprocServer32", "", path.string()) &&
              WriteDefault(key + "\\InprocServer32", "ThreadingModel", c.threadingModel);
    if (!c.versionedProgId.empty())
      ok = ok && WriteDefault(key + "\\ProgID", "", c.versionedProgId) &&
           WriteDefault(c.versionedProgId, "", c.description) &&
           WriteDefault(c.versionedProgId + "\\CLSID", "", id);
    if (!c.progId.empty()) {
      ok = ok && WriteDefault(key + "\\VersionIndependentProgID", "", c.progId) &&
           WriteDefault(c.progId, "", c.description) && WriteDefault(c.progId + "\\CLSID", "", id);
      if (!c.versionedProgId.empty()) ok = ok && WriteDefault(c.progId + "\\CurVer", "", c.versionedProgId);
    }
    if (!ok) return SELFREG_E_CLASS;
  }
  return S_OK;
}

HRESULT UnregisterServer(std::span<const ClassRegistration> classes) {
  // Everything that can go goes; a key that stays makes the whole a failure.
  bool gone = true;
  for (const ClassRegistration& c : classes) {
    gone = DeleteTree(ClsidKey(c.clsid)) && gone;
    // A ProgID that another class has taken over meanwhile stays.
    for (const std::string& progId : {c.progId, c.versionedProgId}) {
      if (progId.empty()) continue;
      const auto owner = ReadString(progId + "\\CLSID");
      if (owner && GuidFromString(*owner) == std::optional<GUID>(c.clsid)) gone = DeleteTree(progId) && gone;
    }
  }
  return gone ? S_OK : SELFREG_E_CLASS;
}

HRESULT ClsidFromProgId(std::string_view progId, CLSID* clsid) {
  if (!clsid) return E_POINTER;
  if (!progId.empty() && progId.front() == '{') {
    const auto parsed = GuidFromString(progId);
    if (!parsed) return CO_E_CLASSSTRING;
    *clsid = *parsed;
    return S_OK;
  }
  if (progId.empty() || progId.find('\\') != std::string_view::npos) return CO_E_CLASSSTRING;
  std::string name(progId);
  auto text = ReadString(name + "\\CLSID");
  if (!text) {
    // A version-independent ProgID may name only its current version.
    const auto current = ReadString(name + "\\CurVer");
    if (current && current->find('\\') == std::string::npos) text = ReadString(*current + "\\CLSID");
  }
  const auto parsed = text ? GuidFromString(*text) : std::nullopt;
  if (!parsed) return CO_E_CLASSSTRING;
  *clsid = *parsed;
  return S_OK;
}

HRESULT GetInprocServerPath(const CLSID& clsid, std::string* path) {
  if (!path) return E_POINTER;
  const auto text = ReadString(ClsidKey(clsid) + "\\InprocServer32");
  if (!text || text->empty()) return REGDB_E_CLASSNOTREG;
  *path = *text;
  return S_OK;
}

// ---- loaded servers
// ------------------------------------------------------------------------------------------

namespace {

struct Server {
  DynamicLibrary library;
  DllGetClassObjectFn getClassObject = nullptr;
  DllCanUnloadNowFn canUnloadNow = nullptr;
};

struct Servers {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Server>> byPath;
};

Servers& LoadedServers() {
  static Servers servers;
  return servers;
}

}  // namespace

HRESULT GetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  std::string path;
  if (const HRESULT hr = GetInprocServerPath(clsid, &path); Failed(hr)) return hr;
  DllGetClassObjectFn entry = nullptr;
  {
    Servers& servers = LoadedServers();
    std::lock_guard lock(servers.mutex);
    auto& server = servers.byPath[path];
    if (!server) {
      auto loaded = std::make_unique<Server>();
      if (!loaded->library.open(path)) {
        servers.byPath.erase(path);
        SetErrorInfo(
            {"Cannot load " + path + ": " + loaded->library.error(), "platform::com", IClassFactory::kIID});
        return CO_E_DLLNOTFOUND;
      }
      loaded->getClassObject = loaded->library.function<DllGetClassObjectFn>("DllGetClassObject");
      loaded->canUnloadNow = loaded->library.function<DllCanUnloadNowFn>("DllCanUnloadNow");
      if (!loaded->getClassObject) {
        servers.byPath.erase(path);
        return CO_E_ERRORINDLL;
      }
      server = std::move(loaded);
    }
    entry = server->getClassObject;
  }
  return entry(clsid, iid, object);
}

HRESULT CreateInstance(const CLSID& clsid, IUnknown* outer, const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  if (const HRESULT hr = GetClassObject(clsid, IClassFactory::kIID, factory.put()); Failed(hr)) return hr;
  return factory->CreateInstance(outer, iid, object);
}

HRESULT CreateInstance(std::string_view progId, const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  CLSID clsid;
  if (const HRESULT hr = ClsidFromProgId(progId, &clsid); Failed(hr)) return hr;
  return CreateInstance(clsid, nullptr, iid, object);
}

void FreeUnusedLibraries() {
  Servers& servers = LoadedServers();
  std::lock_guard lock(servers.mutex);
  for (auto it = servers.byPath.begin(); it != servers.byPath.end();) {
    if (it->second->canUnloadNow && it->second->canUnloadNow() == S_OK)
      it = servers.byPath.erase(it);
    else
      ++it;
  }
}

HRESULT RegisterLibrary(const std::string& libraryPath, bool unregister) {
  DynamicLibrary library;
  if (!library.open(libraryPath)) {
    SetErrorInfo({"Cannot load " + libraryPath + ": " + library.error(), "platform::com", IID{}});
    return CO_E_DLLNOTFOUND;
  }
  const auto entry =
      library.function<DllRegisterServerFn>(unregister ? "DllUnregisterServer" : "DllRegisterServer");
  if (!entry) return CO_E_ERRORINDLL;
  return entry();
}

// ---- message loop
// ----------------------------------------------------------------------------------------------

MessageLoop* SetThreadMessageLoop(MessageLoop* loop) { return std::exchange(t_messageLoop, loop); }

MessageLoop* GetThreadMessageLoop() { return t_messageLoop; }

}  // namespace platform::com
