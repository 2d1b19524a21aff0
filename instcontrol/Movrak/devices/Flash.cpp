#include "devices/Flash.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "Jotwell/Logger.h"
#include "devices/DeviceContext.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "link/LanComm.h"

using namespace movrak;

namespace {

constexpr int kLoadTimeoutMs = 90000;
constexpr int kDumpValueSize = 500;
constexpr int kMaxDumpKeys = 65536;

// Keys that an instrument may lack without anything being wrong with it.
bool IsOptionalKey(std::string_view key, bool stringForm) {
  for (const char* k : {"PMT_MaxDeltaIncrease", "PMT_MaxDeltaDecrease", "PMTCalibErrorFlag"})
    if (key == k) return true;
  if (stringForm)
    for (const char* k : {"LaserCompensationRequired_R", "LaserCompensationRequired_G"})
      if (key == k) return true;
  return false;
}

const char* Text(const char* s) { return s ? s : ""; }

}  // namespace

CFlash::CFlash(IDeviceContext* owner) : m_pOwner(owner) {
  if (!m_pOwner) throw kErrFlashNotConfigured;
}

CFlash::~CFlash() = default;

void CFlash::SetString(const char* key, const char* value) {
  LogInfo("Setting FLASH key %s with value %s", Text(key), Text(value));
  int error = 0;
  if (!IsSingleToken(key))
    error = kErrInvalidFlashKey;
  else if (!value || !*value || HasControlCharacters(value))
    error = kErrInvalidFlashValue;
  if (error == 0) {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(), FormatText("%s %s %s\n", "setparam", key, value));
  }
  if (error != 0) {
    LogError("Setting FLASH key %s returned error: %d", Text(key), error);
    throw error;
  }
  m_bModified = true;
  if (std::strcmp(key, "LaserPDCtToMWatt_G") == 0 || std::strcmp(key, "LaserPDCtToMWatt_R") == 0)
    m_pOwner->LoadLaserPowerFactors();
}

void CFlash::SetLong(const char* key, long value) { SetString(key, FormatText("%ld", value).c_str()); }

void CFlash::SetUnsigned(const char* key, unsigned long value) {
  SetString(key, FormatText("%lu", value).c_str());
}

std::string CFlash::GetString(const char* key) {
  LogDebug(5, "Getting FLASH key %s", Text(key));
  int error = 0;
  std::string value;
  if (!IsSingleToken(key)) {
    error = kErrInvalidFlashKey;
  } else {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(), FormatText("%s %s\n", "getparam", key), &value);
  }
  if (error != 0) {
    LogDebug(1, "Unable to get FLASH key %s (errCode=%d)", Text(key), error);
    throw error;
  }
  LogDebug(5, "Getting FLASH key %s returned %s", key, value.c_str());
  return value;
}

long CFlash::GetLong(const char* key) { return std::strtol(GetString(key).c_str(), nullptr, 0); }

unsigned long CFlash::GetUnsigned(const char* key) {
  return std::strtoul(GetString(key).c_str(), nullptr, 0);
}

std::string CFlash::GetStringDef(const char* key, const char* def) {
  try {
    return GetString(key);
  } catch (int e) {
    if (e != kErrNoSuchFlashKey) throw;
  }
  if (IsOptionalKey(Text(key), true))
    LogInfo("No FLASH key for %s.  Using default value: %s", Text(key), Text(def));
  else
    LogWarning("No FLASH key for %s.  Using default value: %s", Text(key), Text(def));
  return Text(def);
}

long CFlash::GetLongDef(const char* key, long def) {
  try {
    return GetLong(key);
  } catch (int e) {
    if (e != kErrNoSuchFlashKey) throw;
  }
  if (IsOptionalKey(Text(key), false))
    LogInfo("No FLASH key for %s.  Using default value: %ld", Text(key), def);
  else
    LogWarning("No FLASH key for %s.  Using default value: %ld", Text(key), def);
  return def;
}

unsigned long CFlash::GetUnsignedDef(const char* key, unsigned long def) {
  try {
    return GetUnsigned(key);
  } catch (int e) {
    if (e != kErrNoSuchFlashKey) throw;
  }
  if (IsOptionalKey(Text(key), false))
    LogInfo("No FLASH key for %s.  Using default value: %lu", Text(key), def);
  else
    LogWarning("No FLASH key for %s.  Using default value: %lu", Text(key), def);
  return def;
}

void CFlash::Load() {
  LogInfo("Loading FLASH.");
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    CTimeoutScope timeout(m_pOwner->GetComm(), kLoadTimeoutMs);
    error = Exchange(m_pOwner->GetComm(), FormatText("%s\n", "loadflash"));
  }
  if (error != 0) {
    LogError("Loading FLASH failed with error %d", error);
    throw error;
  }
}

void CFlash::Burn() {
  LogInfo("Burning FLASH.");
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(), FormatText("%s\n", "burnflash"));
  }
  if (error != 0) {
    LogError("Burning FLASH failed with error: %d.", error);
    throw error;
  }
}

void CFlash::EraseKey(const char* key) {
  LogInfo("Erasing FLASH key: %s", Text(key));
  int error = 0;
  if (!IsSingleToken(key)) {
    error = kErrInvalidFlashKey;
  } else {
    CCommLock lock(m_pOwner->GetComm());
    error = Exchange(m_pOwner->GetComm(), FormatText("%s %s\n", "erasekey", key));
  }
  if (error != 0) {
    LogError("Erasing FLASH key %s failed with error: %d", Text(key), error);
    throw error;
  }
}

int CFlash::GetKeyByNumber(int n, std::string& key, char* value, int size) {
  key.clear();
  if (!value || size < 1) throw kErrBadKeyNumberParam;
  value[0] = '\0';
  LogDebug(5, "Getting FLASH key by number: %d", n);
  std::string rest;
  int error = 0;
  {
    CCommLock lock(m_pOwner->GetComm());
    error =
        Exchange(m_pOwner->GetComm(), FormatText("%s 0x%x\n", "getkeynum", static_cast<unsigned>(n)), &rest);
  }
  if (error == kErrNoSuchFlashKey) return 0;  // past the last key
  if (error == 0) {
    const auto blank = rest.find(' ');
    if (blank == std::string::npos) {
      error = kErrBadKeyNumString;
    } else {
      key = rest.substr(0, blank);
      const std::size_t n2 = std::min(rest.size() - blank - 1, static_cast<std::size_t>(size - 1));
      std::memcpy(value, rest.data() + blank + 1, n2);
      value[n2] = '\0';
      return 1;
    }
  }
  LogError("Getting FLASH key by number (%d) failed with error: %d", n, error);
  throw error;
}

void CFlash::Dump(const char* fileName) {
  LogDebug(1, "Dumping FLASH to the file: %s", Text(fileName));
  CCommLock lock(m_pOwner->GetComm());
  // Written beside the target and renamed over it at the end, so that a failed dump
  // leaves an earlier one whole.
  const std::string target = Text(fileName);
  const std::string temporary = target + ".partial";
  std::ofstream out;
  if (!target.empty()) out.open(temporary, std::ios::binary | std::ios::trunc);
  if (!out.is_open()) {
    LogError("Dumping FLASH to file failed with error: %d", kErrFlashDumpFile);
    throw kErrFlashDumpFile;
  }
  auto discard = [&] {
    out.close();
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
  };
  int count = 0;
  for (int n = 0;; ++n) {
    std::string key;
    char value[kDumpValueSize];
    try {
      GetKeyByNumber(n, key, value, sizeof value);
    } catch (int e) {
      LogError("FlashDump failed retrieving key %d with error %d", n, e);
      discard();
      throw;
    }
    if (key.empty()) break;
    if (n >= kMaxDumpKeys) {  // a store that never ends is a broken one
      LogError("FlashDump failed retrieving key %d with error %d", n, kErrBadKeyNumString);
      discard();
      throw kErrBadKeyNumString;
    }
    out << FormatText("%-30s %s\r\n", key.c_str(), value);
    ++count;
  }
  out.close();
  std::error_code renamed;
  if (!out || (std::filesystem::rename(temporary, target, renamed), renamed)) {
    discard();
    LogError("Dumping FLASH to file failed with error: %d", kErrFlashDumpFile);
    throw kErrFlashDumpFile;
  }
  LogDebug(1, "FlashDump wrote %d keys to the file %s", count, target.c_str());
}
