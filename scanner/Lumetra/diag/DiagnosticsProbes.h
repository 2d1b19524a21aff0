#pragma once
// What the connection diagnostics ask of the machine, behind one small interface: the
// running programs, the services, the network adapters, systemd units and ICMP echo. The
// system's answers by default; tests install fakes, so that no check depends on this
// machine and no echo leaves it.
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/icmp.h"
#include "platform/netif.h"
#include "platform/process.h"

namespace lumetra {

// An open ICMP echo sender.
class EchoSender {
 public:
  virtual ~EchoSender() = default;
  virtual platform::icmp::EchoResult Echo(std::uint32_t address, std::span<const std::uint8_t> payload,
                                          std::chrono::milliseconds timeout) = 0;
};

class DiagnosticsProbes {
 public:
  virtual ~DiagnosticsProbes() = default;
  virtual std::vector<platform::process::ProcessInfo> Processes() = 0;
  // A service of the scanner installation runs for this user: its control socket answers,
  // a program of its name runs as this user, or this user's systemd manager has its unit
  // active.
  virtual bool ServiceRunning(const std::string& name) = 0;
  // The system manager's view of a unit ("firewalld.service").
  virtual platform::process::UnitState ServiceUnitState(const std::string& unit) = 0;
  virtual std::vector<platform::netif::Adapter> Adapters() = 0;
  // Null, with the reason in whyNot, when this process may not ping.
  virtual std::unique_ptr<EchoSender> OpenEcho(std::string& whyNot) = 0;
};

// The machine's own answers.
std::shared_ptr<DiagnosticsProbes> SystemDiagnosticsProbes();
// The probes the diagnostics use when none are passed; nullptr puts the system's back.
// Returns the previous ones.
std::shared_ptr<DiagnosticsProbes> SetDiagnosticsProbes(std::shared_ptr<DiagnosticsProbes> probes);
std::shared_ptr<DiagnosticsProbes> CurrentDiagnosticsProbes();

}  // namespace lumetra
