#include "Jotwell/RegEdit.h"

#include <cstdio>
#include <cstring>

namespace reg = platform::registry;

CRegEdit::CRegEdit(HKEY root, const std::string& subKey) : m_strSubKey(subKey) { SetRootKey(root); }

CRegEdit::~CRegEdit() {
  m_bKeyOpen = false;
  m_hRootKey = 0;
}

bool CRegEdit::FreeSecurityAttributes(SECURITY_ATTRIBUTES**) { return true; }

bool CRegEdit::GetSecurityAttributes(SECURITY_ATTRIBUTES** sa) {
  if (sa) *sa = nullptr;
  return true;
}

void CRegEdit::SetRootKey(HKEY root) {
  if (reg::isPredefinedRoot(root)) m_hRootKey = root;
}

const char* CRegEdit::GetRootKeyName(HKEY root) {
  switch (root) {
    case HKEY_CLASSES_ROOT:
      return "HKEY_CLASSES_ROOT ";
    case HKEY_CURRENT_USER:
      return "HKEY_CURRENT_USER ";
    case HKEY_LOCAL_MACHINE:
      return "HKEY_LOCAL_MACHINE ";
    case HKEY_USERS:
      return "HKEY_USERS ";
    default:
      return "Unknown Key ";
  }
}

bool CRegEdit::OpenKey() {
  if (!CloseKey()) return false;
  if (m_strSubKey.empty()) return false;
  m_bKeyOpen = reg::keyExists(m_hRootKey, m_strSubKey) == reg::kOk;
  return m_bKeyOpen;
}

bool CRegEdit::CreateKey() {
  if (!CloseKey()) return false;
  SECURITY_ATTRIBUTES* sa = nullptr;
  if (!GetSecurityAttributes(&sa)) return false;
  bool ok = false;
  if (!m_strSubKey.empty()) ok = reg::createKey(m_hRootKey, m_strSubKey) == reg::kOk;
  FreeSecurityAttributes(&sa);
  m_bKeyOpen = ok;
  return ok;
}

bool CRegEdit::CloseKey() {
  m_bKeyOpen = false;
  return true;
}

bool CRegEdit::QueryValue(const std::string& name, std::uint32_t type, void* data, std::uint32_t size) {
  // Strings go through ReadString, which terminates them.
  if (type == REG_SZ) return false;
  if (!OpenKey()) return false;
  reg::Value v;
  const bool ok = reg::queryValue(m_hRootKey, m_strSubKey, name, v) == reg::kOk && v.type == type &&
                  v.data.size() <= size;
  if (ok && !v.data.empty()) std::memcpy(data, v.data.data(), v.data.size());
  return CloseKey() && ok;
}

bool CRegEdit::SetValue(const std::string& name, std::uint32_t type, const void* data, std::uint32_t size) {
  if (!CreateKey()) return false;
  reg::Value v;
  v.type = type;
  if (size)
    v.data.assign(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
  const bool ok = reg::setValue(m_hRootKey, m_strSubKey, name, v) == reg::kOk;
  return CloseKey() && ok;
}

bool CRegEdit::DeleteKey(const std::string& name) {
  if (!CreateKey()) return false;
  const bool ok = reg::deleteKey(m_hRootKey, m_strSubKey, name) == reg::kOk;
  return CloseKey() && ok;
}

bool CRegEdit::DeleteValue(const std::string& name) {
  if (!CreateKey()) return false;
  const bool ok = reg::deleteValue(m_hRootKey, m_strSubKey, name) == reg::kOk;
  return CloseKey() && ok;
}

namespace {
// A value of exactly `size` bytes and the wanted type, or nothing.
template <typename T>
bool ReadExact(CRegEdit& r, const std::string& name, std::uint32_t type, T& out) {
  if (!r.OpenKey()) return false;
  reg::Value v;
  const bool ok = reg::queryValue(r.GetRootKey(), r.GetSubKey(), name, v) == reg::kOk && v.type == type &&
                  v.data.size() == sizeof(T);
  if (ok) std::memcpy(&out, v.data.data(), sizeof(T));
  return r.CloseKey() && ok;
}
}  // namespace

bool CRegEdit::ReadDword(const std::string& name, std::uint32_t& out) {
  return ReadExact(*this, name, REG_DWORD, out);
}

double CRegEdit::ReadDouble(std::string name, double def) {
  double v = 0;
  return ReadExact(*this, name, REG_BINARY, v) ? v : def;
}

double CRegEdit::ReadDoubleText(std::string name, double def) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lg", def);
  const std::string text = ReadString(name, buf);
  double v = 0;
  return std::sscanf(text.c_str(), "%lg", &v) == 1 ? v : def;
}

int CRegEdit::ReadInt(std::string name, int def) {
  std::uint32_t v = 0;
  return ReadDword(name, v) ? static_cast<std::int32_t>(v) : def;
}

long CRegEdit::ReadInt(std::string name, long def) {
  std::uint32_t v = 0;
  return ReadDword(name, v) ? static_cast<long>(static_cast<std::int32_t>(v)) : def;
}

unsigned CRegEdit::ReadUInt(std::string name, unsigned def) {
  std::uint32_t v = 0;
  return ReadDword(name, v) ? v : def;
}

unsigned long CRegEdit::ReadUInt(std::string name, unsigned long def) {
  std::uint32_t v = 0;
  return ReadDword(name, v) ? v : def;
}

char CRegEdit::ReadChar(std::string name, char def) {
  char v = 0;
  return ReadExact(*this, name, REG_BINARY, v) ? v : def;
}

unsigned char CRegEdit::ReadChar(std::string name, unsigned char def) {
  unsigned char v = 0;
  return ReadExact(*this, name, REG_BINARY, v) ? v : def;
}

std::string CRegEdit::ReadString(std::string name, const std::string& def) {
  if (!OpenKey()) return def;
  reg::Value v;
  const bool ok = reg::queryValue(m_hRootKey, m_strSubKey, name, v) == reg::kOk && v.type == REG_SZ;
  CloseKey();
  if (!ok) return def;
  // The text ends at the first NUL (the stored terminator, or an early one).
  const auto* bytes = reinterpret_cast<const char*>(v.data.data());
  return std::string(bytes, strnlen(bytes, v.data.size()));
}

bool CRegEdit::ReadBinary(std::string name, void* buffer, std::uint32_t size) {
  return QueryValue(name, REG_BINARY, buffer, size);
}

bool CRegEdit::WriteBinary(std::string name, const void* data, std::uint32_t size) {
  return SetValue(name, REG_BINARY, data, size);
}

bool CRegEdit::WriteDouble(std::string name, double value) {
  return SetValue(name, REG_BINARY, &value, sizeof value);
}

bool CRegEdit::WriteDoubleText(std::string name, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lg", value);
  return WriteString(name, buf);
}

bool CRegEdit::WriteDword(const std::string& name, std::uint32_t value) {
  return SetValue(name, REG_DWORD, &value, sizeof value);
}

bool CRegEdit::WriteInt(std::string name, int value) {
  return WriteDword(name, static_cast<std::uint32_t>(value));
}
bool CRegEdit::WriteInt(std::string name, long value) {
  return WriteDword(name, static_cast<std::uint32_t>(value));
}
bool CRegEdit::WriteInt(std::string name, unsigned value) { return WriteDword(name, value); }
bool CRegEdit::WriteInt(std::string name, unsigned long value) {
  return WriteDword(name, static_cast<std::uint32_t>(value));
}

bool CRegEdit::WriteChar(std::string name, char value) { return SetValue(name, REG_BINARY, &value, 1); }
bool CRegEdit::WriteChar(std::string name, unsigned char value) {
  return SetValue(name, REG_BINARY, &value, 1);
}

bool CRegEdit::WriteString(std::string name, const std::string& value) {
  return SetValue(name, REG_SZ, value.c_str(), static_cast<std::uint32_t>(value.size() + 1));
}
