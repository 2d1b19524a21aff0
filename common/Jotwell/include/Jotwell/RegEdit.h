#pragma once
// Typed registry values with defaults under a root key and a subkey. Every operation
// opens the key, does its work and closes it again; nothing throws.
#include <cstdint>
#include <string>

#include "platform/registry.h"

using platform::HKEY;
using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;
using platform::HKEY_USERS;
using platform::REG_BINARY;
using platform::REG_DWORD;
using platform::REG_EXPAND_SZ;
using platform::REG_MULTI_SZ;
using platform::REG_NONE;
using platform::REG_QWORD;
using platform::REG_SZ;

struct SECURITY_ATTRIBUTES;

class CRegEdit {
 public:
  CRegEdit() = default;
  CRegEdit(HKEY root, const std::string& subKey);
  virtual ~CRegEdit();
  CRegEdit(const CRegEdit&) = default;
  CRegEdit& operator=(const CRegEdit&) = default;

  virtual bool FreeSecurityAttributes(SECURITY_ATTRIBUTES** sa);
  virtual bool GetSecurityAttributes(SECURITY_ATTRIBUTES** sa);

  void SetRootKey(HKEY root);
  void SetSubKey(const std::string& subKey) { m_strSubKey = subKey; }
  void SetClass(const std::string& cls) { m_strClass = cls; }
  HKEY GetRootKey() const { return m_hRootKey; }
  const std::string& GetSubKey() const { return m_strSubKey; }
  static const char* GetRootKeyName(HKEY root);

  bool OpenKey();
  bool CreateKey();
  bool CloseKey();
  bool IsKeyOpen() const { return m_bKeyOpen; }

  bool QueryValue(const std::string& name, std::uint32_t type, void* data, std::uint32_t size);
  bool SetValue(const std::string& name, std::uint32_t type, const void* data, std::uint32_t size);
  bool DeleteKey(const std::string& name);
  bool DeleteValue(const std::string& name);

  double ReadDouble(std::string name, double def);
  double ReadDoubleText(std::string name, double def);
  int ReadInt(std::string name, int def);
  long ReadInt(std::string name, long def);
  unsigned ReadUInt(std::string name, unsigned def);
  unsigned long ReadUInt(std::string name, unsigned long def);
  char ReadChar(std::string name, char def);
  unsigned char ReadChar(std::string name, unsigned char def);
  std::string ReadString(std::string name, const std::string& def);
  bool ReadBinary(std::string name, void* buffer, std::uint32_t size);

  bool WriteBinary(std::string name, const void* data, std::uint32_t size);
  bool WriteDouble(std::string name, double value);
  bool WriteDoubleText(std::string name, double value);
  bool WriteInt(std::string name, int value);
  bool WriteInt(std::string name, long value);
  bool WriteInt(std::string name, unsigned value);
  bool WriteInt(std::string name, unsigned long value);
  bool WriteChar(std::string name, char value);
  bool WriteChar(std::string name, unsigned char value);
  bool WriteString(std::string name, const std::string& value);

 private:
  bool ReadDword(const std::string& name, std::uint32_t& out);
  bool WriteDword(const std::string& name, std::uint32_t value);

  std::string m_strClass;
  std::string m_strSubKey;
  bool m_bKeyOpen = false;  // the stand-in for the open key handle
  HKEY m_hRootKey = 0;
};
