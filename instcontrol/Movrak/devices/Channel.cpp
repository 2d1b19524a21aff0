#include "devices/Channel.h"

#include <cmath>

#include "Jotwell/Logger.h"
#include "Pellux/ScanDataPort.h"
#include "devices/DeviceContext.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Flash.h"
#include "devices/ScannerTypes.h"
#include "link/LanComm.h"

using namespace movrak;

namespace {

double Volts(unsigned tenths) { return tenths / 10.0; }

}  // namespace

unsigned short CChannel::TenthsToCounts(unsigned tenths) {
  // tenths / 10 x 4.095, as one division of whole numbers so that the truncation sees the
  // exact value (4.095 itself has no exact binary form); beyond the port's 16 bits the
  // largest setting is sent, never a wrapped small one.
  const double counts = std::trunc(tenths * kSetCountsPerKilovolt / 10000.0);
  return counts >= 65535.0 ? static_cast<unsigned short>(65535) : static_cast<unsigned short>(counts);
}

unsigned CChannel::CountsToTenths(unsigned counts) {
  // counts x 1000 / 65535 volts, in tenths.
  return static_cast<unsigned>(std::trunc((counts & 0xFFFFu) * 10000.0 / 65535.0));
}

void CChannel::Configure(IDeviceContext* owner, int id, const char* name, const char* flashKey) {
  LogDebug(3, "Configuring the %s PMT channel (id: %u)", name ? name : "", static_cast<unsigned>(id));
  if (id < 0 || id > 3) throw kErrInvalidPMTChannel;
  m_pOwner = owner;
  m_nId = id;
  m_strName = name ? name : "";
  m_strFlashKey = flashKey ? flashKey : "";
  m_bConfigured = true;
}

void CChannel::RequireConfigured() const {
  if (!m_bConfigured || !m_pOwner) throw kErrChannelNotConfigured;
}

std::string CChannel::GetName() const {
  RequireConfigured();
  return m_strName;
}

void CChannel::ChangeVoltage(unsigned tenths, bool remember, bool disableShutdown) {
  LogDebug(1, "Changing PMT voltage to %u (tenths of volts) for the %s channel (id: %u)", tenths,
           m_strName.c_str(), static_cast<unsigned>(m_nId));
  RequireConfigured();
  bool ok = false;
  {
    CScanDataPort& port = m_pOwner->GetDataPort();
    PortAccess access(port);
    ok = port.SetPMTVoltage(TenthsToCounts(tenths), m_nId == kRedPMT, disableShutdown);
  }
  if (!ok) {
    LogDebug(1, "SetPMTVoltage for the %s channel failed", m_strName.c_str());
    throw kErrPMTVoltage;
  }
  if (remember) {
    m_nLastSetTenths = tenths;
    m_bFromFlash = false;
  }
}

unsigned CChannel::FlashVoltage() {
  CCommLock lock(m_pOwner->GetComm());
  return static_cast<unsigned>(m_pOwner->GetFlash().GetUnsigned(m_strFlashKey.c_str()));
}

void CChannel::SetVoltageFromFlash(bool disableShutdown) {
  LogDebug(2, "Setting PMT voltage to FLASH settings for the %s channel (id: %u)", m_strName.c_str(),
           static_cast<unsigned>(m_nId));
  RequireConfigured();
  const unsigned value = FlashVoltage();
  LogInfo("Setting PMT voltage to FLASH settings (%d) for the %s channel (id: %u)", static_cast<int>(value),
          m_strName.c_str(), static_cast<unsigned>(m_nId));
  ChangeVoltage(value, false, disableShutdown);
  m_nLastSetTenths = 0;
  m_bFromFlash = true;
}

unsigned CChannel::GetVoltage() {
  LogDebug(3, "Getting PMT voltage for the %s channel (id: %u)", m_strName.c_str(),
           static_cast<unsigned>(m_nId));
  RequireConfigured();
  unsigned counts = 0;
  {
    CScanDataPort& port = m_pOwner->GetDataPort();
    PortAccess access(port);
    counts = static_cast<unsigned>(port.GetPMTVoltage(m_nId == kRedPMT)) & 0xFFFFu;
  }
  const unsigned tenths = CountsToTenths(counts);
  LogDebug(1, "GetVoltage() for the %s channel returned %lu (tenths of volts)", m_strName.c_str(),
           static_cast<unsigned long>(tenths));
  return tenths;
}

unsigned CChannel::Desired() { return m_bFromFlash ? FlashVoltage() : m_nLastSetTenths; }

bool CChannel::InRange(unsigned desired, unsigned actual) const {
  // 0.8 x desired <= actual <= 1.2 x desired, in whole numbers.
  const unsigned long long a = actual, d = desired;
  return a * 10 >= d * 8 && a * 10 <= d * 12;
}

unsigned CChannel::SetAgain(unsigned desired) {
  if (m_bFromFlash)
    SetVoltageFromFlash(true);
  else
    ChangeVoltage(desired, true, true);
  return GetVoltage();
}

void CChannel::CheckVoltage() {
  LogDebug(1, "Checking that PMT voltage for the %s channel is within +-20%% of Desired Value (id: %u)",
           m_strName.c_str(), static_cast<unsigned>(m_nId));
  RequireConfigured();
  unsigned actual = GetVoltage();

  PortCtrlStatus status;
  {
    CScanDataPort& port = m_pOwner->GetDataPort();
    PortAccess access(port);
    if (!port.GetCtrlStatus(&status)) throw kErrDataPortUnknown;
  }
  const bool fault = status.IsPMTFault(m_nId == kRedPMT);
  if (fault) {
    LogWarning("PMT Fault detected for the %s channel.  Will attempt to reset", m_strName.c_str());
    Reset();
    actual = 0;
  }

  const unsigned desired = Desired();
  LogInfo("--Desired PMT: %4.1f Volts  Actual PMT: %4.1f Volts", Volts(desired), Volts(actual));
  if (InRange(desired, actual)) {
    LogInfo("--PMT Voltage Okay");
    return;
  }
  LogWarning("PMT Voltage Not Within Thresholds.  Trying Again.");
  actual = SetAgain(desired);
  if (InRange(desired, actual)) {
    LogInfo("--PMT Voltage Okay");
    return;
  }
  if (fault) {
    LogWarning("PMT Fault. Try a third time.  Desired PMT: %4.1f Volts  Actual PMT: %4.1f Volts",
               Volts(desired), Volts(actual));
    actual = SetAgain(desired);
    if (InRange(desired, actual)) {
      LogInfo("--PMT Voltage Okay");
      return;
    }
  }
  LogError("Unable to set PMT voltage.  Desired PMT: %4.1f Volts  Actual PMT: %4.1f Volts.  Giving Up.",
           Volts(desired), Volts(actual));
  throw kErrPMTVoltage;
}
