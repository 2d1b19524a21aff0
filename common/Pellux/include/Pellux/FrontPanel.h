#pragma once
// The binding to the board's USB library: loaded once per process by path, every entry
// bound by name. A missing entry stays unbound and the operations that need it fail with
// code -15 ("Unsupported feature"); nothing ever unloads the library.
#include <string>

#include "Pellux/Export.h"
#include "Pellux/okFrontPanelApi.h"

inline constexpr ok_ErrorCode kOkUnsupportedFeature = -15;

// Loads the library at `path` ("libokFrontPanel.so" by the loader's search when null)
// and binds its entries; true at once when a library is already loaded. A missing entry
// is reported on standard output and binding goes on.
PELLUX_API bool LoadFrontPanelLibrary(const char* path);

// One board object of the library (a handle the library creates), with the few
// operations the port calls through it. Not copyable: it owns the handle.
class PELLUX_API okCUsbFrontPanel {
 public:
  okCUsbFrontPanel();
  ~okCUsbFrontPanel();
  okCUsbFrontPanel(const okCUsbFrontPanel&) = delete;
  okCUsbFrontPanel& operator=(const okCUsbFrontPanel&) = delete;

  // Serial of the n-th attached board ("" when unbound).
  std::string GetDeviceListSerial(int index);
  // The open board's serial and device id ("" when unbound).
  std::string GetSerialNumber();
  std::string GetDeviceID();
  ok_ErrorCode ConfigureFPGA(const std::string& bitFile);
  ok_ErrorCode SetWireInValue(int ep, unsigned value, unsigned mask);

 protected:
  okBoardHandle m_hBoard = nullptr;
};
