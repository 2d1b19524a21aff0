#pragma once
// The host's proxy of the controller's FLASH parameter store: named text values read and
// written one key at a time, typed getters with and without defaults, load, burn, walk
// by key number and dump to a text file. Failures are thrown as int error ids.
#include <string>

class IDeviceContext;

class CFlash {
 public:
  // Throws 621 without an owner.
  explicit CFlash(IDeviceContext* owner);
  virtual ~CFlash();
  CFlash(const CFlash&) = delete;
  CFlash& operator=(const CFlash&) = delete;

  // Keys must be one blank-free token (616); values must not hold control characters
  // (617): either would shift the command's fields or end its line early.
  void SetString(const char* key, const char* value);
  void SetLong(const char* key, long value);
  void SetUnsigned(const char* key, unsigned long value);
  std::string GetString(const char* key);
  // The value as a C number (decimal, 0x-hexadecimal, 0-octal).
  long GetLong(const char* key);
  unsigned long GetUnsigned(const char* key);
  // The default only when the store has no such key (4109); other errors are thrown.
  std::string GetStringDef(const char* key, const char* def);
  long GetLongDef(const char* key, long def);
  unsigned long GetUnsignedDef(const char* key, unsigned long def);

  void Load();
  void Burn();
  void EraseKey(const char* key);
  // Key n and its value (copied into `value`, at most size - 1 characters, terminated).
  // Returns 1 for a key, 0 past the last key (key and value then empty).
  int GetKeyByNumber(int n, std::string& key, char* value, int size);
  // Writes every key as "%-30s %s\r\n" to the file; the old file stays whole on failure.
  void Dump(const char* fileName);
  bool IsModified() const { return m_bModified; }

 private:
  IDeviceContext* m_pOwner;
  bool m_bModified = false;
};
