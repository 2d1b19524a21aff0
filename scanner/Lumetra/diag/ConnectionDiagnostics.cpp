#include "diag/ConnectionDiagnostics.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "Jotwell/Utilities.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/registry.h"

namespace lumetra {

namespace {

using platform::HKEY_LOCAL_MACHINE;
namespace registry = platform::registry;

// The sweep's defaults when the address server names no address: the instrument network
// of a real installation (the loopback-only guard refuses them in tests).
constexpr const char* kDefaultSweepPrefix = "10.0.0.";
constexpr int kDefaultSweepCount = 15;
constexpr int kPingAttempts = 3;
constexpr std::chrono::milliseconds kPingTimeout{500};
// The request's payload: the first four bytes of "Data Buffer".
constexpr std::uint8_t kPingPayload[] = {'D', 'a', 't', 'a'};

std::optional<std::uint32_t> ReadDword(const std::string& key, const char* name) {
  registry::Value v;
  if (registry::queryValue(HKEY_LOCAL_MACHINE, key, name, v) != registry::kOk) return std::nullopt;
  if (v.type != platform::REG_DWORD || v.data.size() != 4) return std::nullopt;
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | v.data[static_cast<std::size_t>(i)];  // little-endian
  return value;
}

std::optional<std::string> ReadString(const std::string& key, const char* name) {
  registry::Value v;
  if (registry::queryValue(HKEY_LOCAL_MACHINE, key, name, v) != registry::kOk) return std::nullopt;
  if (v.type != platform::REG_SZ && v.type != platform::REG_EXPAND_SZ) return std::nullopt;
  std::string text(v.data.begin(), v.data.end());
  return text.substr(0, text.find('\0'));
}

// Step 1: the address server's data.
void GetDalmorInfo(CConnectionDiagnostics& results, std::vector<std::string>& lines) {
  if (registry::keyExists(HKEY_LOCAL_MACHINE, kDalmorMacKey) != registry::kOk) return;
  std::vector<std::string> macs;
  // A list that cannot be read must not pass for an empty one.
  if (const long listed = registry::enumSubKeys(HKEY_LOCAL_MACHINE, kDalmorMacKey, macs);
      listed != registry::kOk)
    lines.push_back("ERROR-couldn't list the MAC sub-keys, last error:" + std::to_string(listed));
  for (const std::string& mac : macs) {
    const auto ip = ReadDword(std::string(kDalmorMacKey) + "\\" + mac, "IpAddr");
    if (!ip) continue;
    const std::string text = FormatIpAddress(*ip);
    results.m_MacIpAddrs.push_back(text);
    lines.push_back("MAC:" + mac + "; Ip:" + text);
  }
  if (results.m_MacIpAddrs.empty()) lines.emplace_back("No MAC ips specified");

  const long opened = registry::keyExists(HKEY_LOCAL_MACHINE, kDalmorKey);
  if (opened != registry::kOk) {
    lines.push_back("ERROR-couldn't open dalmor sub-key, last error:" + std::to_string(opened));
    return;
  }
  if (const auto iface = ReadDword(kDalmorKey, "IfaceAddr")) {
    results.m_strIfaceAddr = FormatIpAddress(*iface);
    lines.push_back("IfaceAddr:" + results.m_strIfaceAddr);
  } else {
    lines.emplace_back("No IfaceAddr specified");
  }
  if (const auto next = ReadDword(kDalmorKey, "NextIpAddr")) {
    results.m_strNextIpAddr = FormatIpAddress(*next);
    lines.push_back("NextIpAddr:" + results.m_strNextIpAddr);
  } else {
    lines.emplace_back("No NextIpAddr specified");
  }
}

// Step 2: programs that hold the instrument's link themselves.
void CheckProgsRunning(DiagnosticsProbes& probes, std::vector<std::string>& lines) {
  if (IsProcessRunning("hypertrm", probes))
    lines.emplace_back("Hyperterminal is running.  Try closing it and re-start.");
  if (IsProcessRunning("VrelTest", probes))
    lines.emplace_back("VrelTest is running. Try closing it and re-start.");
}

// Step 3: the sibling services. Of them this system installs only the connection
// manager (a systemd user service); the other two do not exist here, so asking for them
// would only ever report them missing.
void CheckServices(DiagnosticsProbes& probes, std::vector<std::string>& lines) {
  if (!probes.ServiceRunning("Brokla"))
    lines.emplace_back("Connection Manager is not running. Check it with: systemctl --user status brokla");
}

std::optional<platform::netif::Adapter> ScannerAdapter(DiagnosticsProbes& probes) {
  for (auto& a : probes.Adapters())
    if (a.driver == kScannerAdapterDriver) return std::move(a);
  return std::nullopt;
}

// Step 4: the adapter's driver is bound to a device.
void CheckDriversPresent(DiagnosticsProbes& probes, std::vector<std::string>& lines) {
  if (!ScannerAdapter(probes))
    lines.emplace_back(
        "AX88772 is not running.  Make sure the ASIX driver has been properly installed,\r\n the scanner is "
        "powered on, and the USB cable is connected to the PC");
}

// Step 5: does any scanner answer a ping.
void CheckScannerBootup(const CConnectionDiagnostics& results, DiagnosticsProbes& probes,
                        std::vector<std::string>& lines) {
  std::string whyNot;
  const std::unique_ptr<EchoSender> icmp = probes.OpenEcho(whyNot);
  if (!icmp) {
    lines.push_back("Cannot ping: " + (whyNot.empty() ? std::string("no ICMP socket") : whyNot));
    return;
  }
  std::vector<std::string> addresses = results.m_MacIpAddrs;
  if (addresses.empty() && !results.m_strIfaceAddr.empty()) addresses.push_back(results.m_strIfaceAddr);
  if (addresses.empty()) {
    lines.emplace_back("No custom IPs. Using defaults.");
    for (int i = 1; i <= kDefaultSweepCount; ++i)
      addresses.push_back(kDefaultSweepPrefix + std::to_string(i));
  }

  std::string detected;
  // Addresses the loopback-only guard refused: one line for all of them, where the first
  // refusal happened, since each would only repeat the same reason.
  std::vector<std::string> refused;
  std::string refusedWhy;
  std::size_t refusedLine = 0;
  for (const std::string& address : addresses) {
    const auto parsed = platform::net::parseAddress(address);
    if (!parsed) {
      lines.push_back("ping " + address + " failed: not an IPv4 address");
      continue;
    }
    for (int attempt = 1; attempt <= kPingAttempts && detected.empty(); ++attempt) {
      const auto r = icmp->Echo(*parsed, kPingPayload, kPingTimeout);
      const std::string n = std::to_string(attempt);
      if (r.status == platform::icmp::EchoStatus::reply) {
        lines.push_back("ping " + address + " successful - attempt " + n);
        detected = address;
      } else if (r.status == platform::icmp::EchoStatus::timedOut) {
        lines.push_back("ping " + address + " timed out after 0.5 seconds, " + n + " attempt");
      } else if (r.status == platform::icmp::EchoStatus::refused) {
        if (refused.empty()) {
          refusedLine = lines.size();
          refusedWhy = r.text;
          lines.emplace_back();
        }
        refused.push_back(address);
        break;  // asking again gives the same answer
      } else {
        lines.push_back("ping " + address + " failed: " + r.text + ", " + n + " attempt");
      }
    }
    if (!detected.empty()) break;
  }
  if (refused.size() == 1)
    lines[refusedLine] = "ping " + refused.front() + " refused: " + refusedWhy;
  else if (!refused.empty())
    lines[refusedLine] = "ping refused for " + std::to_string(refused.size()) + " addresses (" +
                         refused.front() + (refused.size() > 2 ? ", ..., " : ", ") + refused.back() +
                         "): " + refusedWhy;
  if (!detected.empty()) lines.push_back("Instrument detected on IP: " + detected);
}

// Step 6: the scanner adapter's address.
void CheckNICConfig(CConnectionDiagnostics& results, DiagnosticsProbes& probes,
                    std::vector<std::string>& lines) {
  const auto adapter = ScannerAdapter(probes);
  if (!adapter) return;
  results.m_strAdapterServiceName = adapter->name;
  if (adapter->ipv4.empty()) return;
  const auto& a = adapter->ipv4.front();
  lines.push_back("ASIX ip address:" + FormatIpAddress(a.address) +
                  " Subnet mask:" + FormatIpAddress(a.netmask) + ", should be 255.255.255.0");
}

// Step 7: the firewall. There is no per-program exception list to read here, so the
// check says which firewall service runs and what it cannot tell.
void CheckFireWall(CConnectionDiagnostics& results, DiagnosticsProbes& probes,
                   std::vector<std::string>& lines) {
  std::vector<std::string> active;
  bool unknown = false;
  for (const char* unit : kFirewallUnits) {
    const auto state = probes.ServiceUnitState(unit);
    if (state == platform::process::UnitState::active)
      active.emplace_back(std::string(unit).substr(0, std::strlen(unit) - std::strlen(".service")));
    unknown = unknown || state == platform::process::UnitState::unknown;
  }
  if (active.empty()) {
    if (unknown)
      lines.emplace_back(
          "Cannot tell whether a firewall service is running: the service manager (systemd) did not "
          "answer");
    return;
  }
  std::string names;
  for (const auto& a : active) names += (names.empty() ? "" : ", ") + a;
  lines.push_back("Firewall service running: " + names);
  if (!FindScannerConnection(results, probes)) {
    lines.emplace_back("No ASIX connection found");
    return;
  }
  lines.push_back("Scanner connection found. GUID:" + results.m_strAdapterServiceName +
                  ", Name:" + results.m_strConnectionName);
  lines.push_back(
      "Cannot tell whether the firewall lets the scanner software through on " + results.m_strConnectionName +
      ": it keeps no list of allowed programs. Make sure its rules allow UDP and TCP traffic on " +
      results.m_strConnectionName);
}

// "Instr1" holds "<serial> <address> <lock state>".
bool ParseInstrument(const std::string& value, std::string& address, int& lockState) {
  std::istringstream in(value);
  std::string serial, state;
  if (!(in >> serial >> address >> state)) return false;
  const char* end = state.data() + state.size();
  const auto [ptr, ec] = std::from_chars(state.data(), end, lockState);
  return ec == std::errc() && ptr == end;
}

// Step 8: the connection manager's data.
void CheckBrokla(std::vector<std::string>& lines) {
  if (registry::keyExists(HKEY_LOCAL_MACHINE, kBroklaKey) != registry::kOk) return;
  if (const auto instr = ReadString(kBroklaKey, "Instr1")) {
    std::string address;
    int state = 0;
    if (ParseInstrument(*instr, address, state))
      lines.push_back("Instrument on " + address + " is " + (state == 1 ? "Locked" : "Not locked"));
    else
      lines.push_back("Instr1:" + *instr);  // malformed: shown as it stands
  } else {
    lines.emplace_back("No instruments");
  }
  if (const auto unlock = ReadString(kBroklaKey, "InstrToUnlock"))
    lines.push_back("InstrToUnlock:" + *unlock);
  else
    lines.emplace_back("No instruments to Unlock");
  const auto onNetwork = ReadDword(kBroklaKey, "InstrOnNetwork");
  if (onNetwork && *onNetwork != 0)
    lines.push_back("InstrOnNetwork:" + std::to_string(*onNetwork));
  else
    lines.emplace_back("No instruments on Network");
}

// The base name of a program path, Windows-style folders included (programs run through a
// compatibility layer carry them in their first argument).
std::string BaseName(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return platform::stemOf(path);
}

}  // namespace

std::string FormatIpAddress(std::uint32_t value) {
  return FormatText("%d.%d.%d.%d", static_cast<int>(value >> 24 & 0xFF), static_cast<int>(value >> 16 & 0xFF),
                    static_cast<int>(value >> 8 & 0xFF), static_cast<int>(value & 0xFF));
}

std::uint32_t IsProcessRunning(const std::string& baseName, DiagnosticsProbes& probes) {
  for (const auto& p : probes.Processes()) {
    // A process whose program this user may not see is skipped, unless its first argument
    // names it.
    const bool match =
        (!p.executable.empty() && BaseName(p.executable) == baseName) ||
        (!p.arguments.empty() && !p.arguments.front().empty() && BaseName(p.arguments.front()) == baseName);
    if (match && p.pid > 0) return static_cast<std::uint32_t>(p.pid);
  }
  return 0;
}

std::uint32_t IsProcessRunning(const std::string& baseName) {
  return IsProcessRunning(baseName, *CurrentDiagnosticsProbes());
}

bool IsServiceRunning(const std::string& name) { return CurrentDiagnosticsProbes()->ServiceRunning(name); }

std::optional<platform::netif::Adapter> FindScannerConnection(CConnectionDiagnostics& results,
                                                              DiagnosticsProbes& probes) {
  if (results.m_strAdapterServiceName.empty()) return std::nullopt;
  for (auto& a : probes.Adapters()) {
    if (a.name == results.m_strAdapterServiceName) {
      results.m_strConnectionName = a.name;
      return std::move(a);
    }
  }
  return std::nullopt;
}

void RunConnectionDiagnostics(CConnectionDiagnostics& results, std::vector<std::string>& lines,
                              DiagnosticsProbes& probes) {
  results.m_MacIpAddrs.clear();
  results.m_strIfaceAddr.clear();
  results.m_strNextIpAddr.clear();
  results.m_strAdapterServiceName.clear();

  // Each check after its title; one that throws says so and the next one runs.
  const auto step = [&lines](const char* title, const std::function<void()>& check) {
    lines.emplace_back(title);
    try {
      check();
    } catch (const std::exception& e) {
      lines.push_back(std::string(title) + " failed: " + e.what());
    }
  };
  step("Getting Dalmor info...", [&] { GetDalmorInfo(results, lines); });
  step("CheckProgsRunning...", [&] { CheckProgsRunning(probes, lines); });
  step("CheckServices...", [&] { CheckServices(probes, lines); });
  step("CheckDriversPresent...", [&] { CheckDriversPresent(probes, lines); });
  step("CheckScannerBootup...", [&] { CheckScannerBootup(results, probes, lines); });
  step("CheckNICConfig...", [&] { CheckNICConfig(results, probes, lines); });
  step("CheckFireWall...", [&] { CheckFireWall(results, probes, lines); });
  step("CheckBrokla...", [&] { CheckBrokla(lines); });
}

void RunConnectionDiagnostics(CConnectionDiagnostics& results, std::vector<std::string>& lines) {
  RunConnectionDiagnostics(results, lines, *CurrentDiagnosticsProbes());
}

}  // namespace lumetra
