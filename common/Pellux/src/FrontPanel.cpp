// Loading the board's library and binding its entries; the wrapper class and the names
// of the library's error codes.
#include "Pellux/FrontPanel.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#include "FrontPanelTable.h"
#include "Jotwell/Utilities.h"
#include "Pellux/ScanDataPort.h"
#include "PortInternal.h"
#include "platform/dynlib.h"
#include "platform/files.h"
#include "platform/ui.h"

namespace pellux {
namespace {

// Never destroyed: port objects may outlive static destruction order, and nothing ever
// unloads the library.
template <typename T>
class Immortal {
 public:
  Immortal() { std::construct_at(reinterpret_cast<T*>(storage_)); }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

struct Binding {
  platform::DynamicLibrary library;
  FrontPanelTable table;
  std::mutex mutex;  // loading only; the table is read without it once loaded
};

Binding& binding() {
  static Immortal<Binding> instance;
  return instance.get();
}

// The code reported for an entry the library does not export (the classic "procedure
// not found" number, for log readers who know it).
constexpr int kEntryNotFoundCode = 127;

}  // namespace

const FrontPanelTable& okApi() { return binding().table; }

}  // namespace pellux

bool LoadFrontPanelLibrary(const char* path) {
  pellux::Binding& b = pellux::binding();
  std::lock_guard lock(b.mutex);
  if (b.library.isOpen()) return true;
  if (!b.library.open(path ? path : "libokFrontPanel.so")) return false;

#define PELLUX_BIND_ENTRY(name, ret, params)               \
  b.table.name = b.library.function<ret(*) params>(#name); \
  if (!b.table.name) std::printf("Failed to load %s. Error code %d\n", #name, pellux::kEntryNotFoundCode);
  OK_FRONTPANEL_ENTRIES(PELLUX_BIND_ENTRY)
#undef PELLUX_BIND_ENTRY
  std::fflush(stdout);
  return true;
}

// ---- okCUsbFrontPanel ----------------------------------------------------------------

using pellux::okApi;

okCUsbFrontPanel::okCUsbFrontPanel() {
  if (okApi().okUsbFrontPanel_Construct) m_hBoard = okApi().okUsbFrontPanel_Construct();
}

okCUsbFrontPanel::~okCUsbFrontPanel() {
  if (m_hBoard && okApi().okUsbFrontPanel_Destruct) okApi().okUsbFrontPanel_Destruct(m_hBoard);
}

std::string okCUsbFrontPanel::GetDeviceListSerial(int index) {
  if (!okApi().okUsbFrontPanel_GetDeviceListSerial) return {};
  char serial[kOkTextBufferSize] = {};
  okApi().okUsbFrontPanel_GetDeviceListSerial(m_hBoard, index, serial);
  serial[kOkTextBufferSize - 1] = '\0';
  return serial;
}

std::string okCUsbFrontPanel::GetSerialNumber() {
  if (!okApi().okUsbFrontPanel_GetSerialNumber) return {};
  char serial[kOkTextBufferSize] = {};
  okApi().okUsbFrontPanel_GetSerialNumber(m_hBoard, serial);
  serial[kOkTextBufferSize - 1] = '\0';
  return serial;
}

std::string okCUsbFrontPanel::GetDeviceID() {
  if (!okApi().okUsbFrontPanel_GetDeviceID) return {};
  char id[kOkTextBufferSize] = {};
  okApi().okUsbFrontPanel_GetDeviceID(m_hBoard, id);
  id[kOkTextBufferSize - 1] = '\0';
  return id;
}

ok_ErrorCode okCUsbFrontPanel::ConfigureFPGA(const std::string& bitFile) {
  if (!okApi().okUsbFrontPanel_ConfigureFPGA) return kOkUnsupportedFeature;
  return okApi().okUsbFrontPanel_ConfigureFPGA(m_hBoard, bitFile.c_str());
}

ok_ErrorCode okCUsbFrontPanel::SetWireInValue(int ep, unsigned value, unsigned mask) {
  if (!okApi().okUsbFrontPanel_SetWireInValue) return kOkUnsupportedFeature;
  return okApi().okUsbFrontPanel_SetWireInValue(m_hBoard, ep, value, mask);
}

// ---- CScanDataPort: the library's side ----------------------------------------------------

bool CScanDataPort::InitPortLib(const char* path) {
  std::string libPath;
  if (path && *path) {
    libPath = path;
  } else {
    // Beside the running program, not wherever the loader's search would find one.
    const std::string app = GetAppPath();
    if (app.empty()) {
      platform::ui::messageBox(FormatText("Error splitting path. Error code %d.\n", EINVAL));
      return false;
    }
    const std::string dir = platform::directoryOf(app);
    if (dir.empty()) {
      platform::ui::messageBox(FormatText("Error creating path. Error code %d.\n", EINVAL));
      return false;
    }
    libPath = dir + "libokFrontPanel.so";
  }
  if (!LoadFrontPanelLibrary(libPath.c_str())) {
    platform::ui::messageBox(FormatText("Failed to load OK library: %s.\n", libPath.c_str()));
    return false;
  }
  return true;
}

std::string CScanDataPort::GetOKErrCodeString(ok_ErrorCode code) {
  static const char* const kTexts[] = {
      "Failed",
      "Timeout",
      "FPGA DONE signal did not assert after configuration",
      "USB error has occurred during download",
      "Communication error with the firmware",
      "The bitstream is not properly formatted",
      "File error occurred during open or read",
      "Communication with a device is not established",
      "Invalid endpoint",
      "Invalid block size",
      "Read from a restricted I2C address",
      "I2C bit error occurred",
      "I2C device responded with NACK",
      "Unknown result status",
      "Unsupported feature",
  };
  if (code == 0) return {};
  const char* text = (code <= -1 && code >= -15) ? kTexts[-code - 1] : "Unknown error";
  return FormatText("%s [okErrCode = %d]", text, code);
}
