#pragma once
// One PMT channel: its identity, its FLASH key of the default voltage, and the voltage
// set and read through the scan-data port (in tenths of volts), with the check that a
// set voltage arrived within 20 percent. Failures are thrown as int error ids.
#include <string>

class IDeviceContext;

class CChannel {
 public:
  static constexpr double kSetScale = 4.095;               // port counts per volt when setting
  static constexpr double kSetCountsPerKilovolt = 4095.0;  // the same, exactly
  static constexpr double kReadScale = 1000.0 / 65535.0;   // volts per port count when reading

  CChannel() = default;
  virtual ~CChannel() = default;
  CChannel(const CChannel&) = delete;
  CChannel& operator=(const CChannel&) = delete;

  // 607 for an id outside 0-3.
  void Configure(IDeviceContext* owner, int id, const char* name, const char* flashKey);
  std::string GetName() const;
  int GetId() const { return m_nId; }
  bool IsConfigured() const { return m_bConfigured; }

  void ChangeVoltage(unsigned tenths, bool remember, bool disableShutdown);
  void SetVoltageFromFlash(bool disableShutdown);
  unsigned GetVoltage();
  void CheckVoltage();
  void Reset() { ChangeVoltage(0, false, false); }

  // The conversions, in floating point and truncated.
  static unsigned short TenthsToCounts(unsigned tenths);
  static unsigned CountsToTenths(unsigned counts);

 private:
  void RequireConfigured() const;
  unsigned FlashVoltage();
  unsigned Desired();
  bool InRange(unsigned desired, unsigned actual) const;
  // Sets the desired voltage again (from FLASH or the remembered value) and reads it back.
  unsigned SetAgain(unsigned desired);

  int m_nId = -1;
  std::string m_strName = "Not Configured";
  bool m_bConfigured = false;
  IDeviceContext* m_pOwner = nullptr;
  unsigned m_nLastSetTenths = 0;
  bool m_bFromFlash = false;
  std::string m_strFlashKey;
};
