#pragma once
// Connection diagnostics: a fixed sequence of checks of the PC's side of the scanner link
// (address-server data, competing programs, services, the adapter's driver, a ping sweep,
// the adapter's address, the firewall, the connection manager's data). Each check appends
// text lines for what it finds; nothing is repaired, and a failing check never stops the
// later ones.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Jotwell/ProductKeys.h"
#include "diag/DiagnosticsProbes.h"

namespace lumetra {

// What the checks learn and later checks use.
struct CConnectionDiagnostics {
  std::vector<std::string> m_MacIpAddrs;  // one dotted address per MAC entry of the address server
  std::string m_strIfaceAddr;             // the address server's "IfaceAddr"
  std::string m_strNextIpAddr;            // the address server's "NextIpAddr"
  std::string m_strAdapterServiceName;    // the scanner adapter's interface name
  std::string m_strConnectionName;        // the scanner connection's name
};

// The registry keys the diagnostics read, under HKEY_LOCAL_MACHINE.
using zeva::kBroklaKey;
using zeva::kDalmorKey;
using zeva::kDalmorMacKey;

// The kernel driver of the scanner's USB-to-Ethernet adapter.
inline constexpr const char* kScannerAdapterDriver = "asix";
// Firewall services whose state the firewall check reports, as systemd units.
inline constexpr const char* kFirewallUnits[] = {"firewalld.service", "ufw.service", "nftables.service",
                                                 "netfilter-persistent.service"};

// "a.b.c.d", most significant byte first.
std::string FormatIpAddress(std::uint32_t value);

// Process id of the first running process whose program's base name (without folder and
// extension) is `baseName`, case-sensitive; 0 when none.
std::uint32_t IsProcessRunning(const std::string& baseName, DiagnosticsProbes& probes);
std::uint32_t IsProcessRunning(const std::string& baseName);
bool IsServiceRunning(const std::string& name);

// The scanner adapter (the one the adapter check named), storing its name as the
// connection name; nullopt when there is none.
std::optional<platform::netif::Adapter> FindScannerConnection(CConnectionDiagnostics& results,
                                                              DiagnosticsProbes& probes);

// Clears the results, then runs every check in order, each after its title line.
void RunConnectionDiagnostics(CConnectionDiagnostics& results, std::vector<std::string>& lines,
                              DiagnosticsProbes& probes);
// With the current probes (SetDiagnosticsProbes).
void RunConnectionDiagnostics(CConnectionDiagnostics& results, std::vector<std::string>& lines);

}  // namespace lumetra
