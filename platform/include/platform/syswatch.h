#pragma once
// Watches of the system's broadcasts: the wall clock being set, and devices arriving and
// leaving. Each watch runs one small thread that calls its callback there; the callback
// should only hand the event on (to the user-interface thread) and return. Stop wakes the
// thread and joins it, so no callback runs once Stop has returned.
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "platform/files.h"

namespace platform::syswatch {

// The device-interface classes a device-change broadcast names ("{...}" text).
inline constexpr const char* GUID_DEVCLASS_NET = "{4d36e972-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* GUID_DEVCLASS_PORTS = "{4d36e978-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* GUID_DEVCLASS_USB = "{36fc9e60-c465-11cf-8056-444553540000}";

// One kernel device event.
struct Uevent {
  std::string action;     // "add", "remove", "change", "bind" ...
  std::string devpath;    // "/devices/pci0000:00/0000:00:14.0/usb1/1-2"
  std::string subsystem;  // "usb", "net", "tty" ...
  std::string devtype;    // "usb_device", "usb_interface" ...; often empty
  // What names the device: USB "PRODUCT" (vendor/product/release, "46d/c52b/1211"), a
  // network interface's name, a device node's name; else the devpath.
  std::string id;
};

// Parses one kernel message, "action@devpath" then NUL-separated KEY=VALUE fields.
// nullopt when it is not one: no '@' header, no ACTION or SUBSYSTEM, ACTION or DEVPATH
// disagreeing with the header (the device manager's own messages start "libudev").
std::optional<Uevent> ParseUevent(std::span<const char> message);

enum class DeviceAction { Arrival, Removal };
struct DeviceChange {
  DeviceAction action = DeviceAction::Arrival;
  std::string classId;  // one of the GUID_DEVCLASS_* texts
  std::string id;       // Uevent::id
};

// The device-interface change an event stands for; nullopt for every other event.
// Reported: "add" and "remove" of every USB device (GUID_DEVCLASS_USB), of every network
// interface of a real device (GUID_DEVCLASS_NET) and of every serial port of a real device
// (GUID_DEVCLASS_PORTS). Virtual devices (consoles, bridges, tunnels) and USB interfaces
// (each device's parts) are not.
std::optional<DeviceChange> ClassifyUevent(const Uevent& event);

// A thread reading one descriptor until stopped.
class FdReader {
 public:
  FdReader() = default;
  ~FdReader() { stop(); }
  FdReader(const FdReader&) = delete;
  FdReader& operator=(const FdReader&) = delete;
  // Starts the thread; `onReadable` runs there whenever `fd` is readable and returns false
  // to end the watch (an error it has logged). False when the thread could not start.
  [[nodiscard]] bool start(UniqueFd fd, std::function<bool(int fd)> onReadable);
  void stop();
  bool running() const { return m_thread.joinable(); }

 private:
  UniqueFd m_fd;
  UniqueFd m_wake;
  std::thread m_thread;
};

// Calls `onClockSet` each time the wall clock is set (by hand, by time synchronisation,
// after a resume that stepped it).
class ClockWatch {
 public:
  // False (errno) when the system's timer cannot be made.
  [[nodiscard]] bool Start(std::function<void()> onClockSet);
  void Stop() { m_reader.stop(); }

 private:
  FdReader m_reader;
};

// Calls `onChange` for each device-interface change (ClassifyUevent) the kernel reports.
class DeviceWatch {
 public:
  // Listens to the kernel's device events (a local kernel socket, no privileges needed).
  // False (errno) when the socket cannot be opened.
  [[nodiscard]] bool Start(std::function<void(const DeviceChange&)> onChange);
  // The same on a datagram socket given by the caller (tests feed it fixture messages).
  [[nodiscard]] bool StartOn(UniqueFd socket, std::function<void(const DeviceChange&)> onChange);
  void Stop() { m_reader.stop(); }

 private:
  FdReader m_reader;
};

}  // namespace platform::syswatch
