#pragma once
// The machine's network adapters: their IPv4 addresses (getifaddrs) and the kernel driver
// bound to each (/sys/class/net/<name>/device/driver). Read-only; nothing is changed.
#include <cstdint>
#include <string>
#include <vector>

namespace platform::netif {

struct Ipv4Address {
  std::uint32_t address = 0;  // host order, first octet in the high byte
  std::uint32_t netmask = 0;
  friend bool operator==(const Ipv4Address&, const Ipv4Address&) = default;
};

struct Adapter {
  std::string name;      // the interface name ("eth0", "enx0011223344aa" ...)
  std::string driver;    // the bound driver's name ("asix" ...); empty for virtual interfaces
  bool up = false;       // administratively up
  bool running = false;  // up with a carrier
  std::vector<Ipv4Address> ipv4;
};

// Every interface, in the kernel's order, each once.
std::vector<Adapter> adapters();
// The driver bound to an interface's device under `sysClassNet` ("" when none or unknown).
std::string driverOf(const std::string& interfaceName, const std::string& sysClassNet = "/sys/class/net");

}  // namespace platform::netif
