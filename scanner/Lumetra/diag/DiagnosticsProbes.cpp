#include "diag/DiagnosticsProbes.h"

#include <mutex>

#include "platform/text.h"

namespace lumetra {

namespace {

class PingerSender : public EchoSender {
 public:
  explicit PingerSender(platform::icmp::Pinger pinger) : pinger_(std::move(pinger)) {}
  platform::icmp::EchoResult Echo(std::uint32_t address, std::span<const std::uint8_t> payload,
                                  std::chrono::milliseconds timeout) override {
    return pinger_.echo(address, payload, timeout);
  }

 private:
  platform::icmp::Pinger pinger_;
};

class SystemProbes : public DiagnosticsProbes {
 public:
  std::vector<platform::process::ProcessInfo> Processes() override {
    return platform::process::listProcesses();
  }

  bool ServiceRunning(const std::string& name) override {
    using platform::process::ServiceManager;
    using platform::process::UnitState;
    if (platform::process::isServiceRunning(name)) return true;
    // Units are named in lower case by custom ("brokla.service"); try the name as given too.
    // Only this user's service manager: an instance of the system's or of another user
    // serves other pipes than this user's programs use.
    const std::string lower = platform::foldedAscii(name);
    std::vector<std::string> units{lower + ".service"};
    if (lower != name) units.push_back(name + ".service");
    for (const auto& unit : units)
      if (platform::process::serviceUnitState(unit, ServiceManager::user) == UnitState::active) return true;
    return false;
  }

  platform::process::UnitState ServiceUnitState(const std::string& unit) override {
    return platform::process::serviceUnitState(unit);
  }

  std::vector<platform::netif::Adapter> Adapters() override { return platform::netif::adapters(); }

  std::unique_ptr<EchoSender> OpenEcho(std::string& whyNot) override {
    platform::icmp::Pinger pinger = platform::icmp::Pinger::open();
    if (!pinger.valid()) {
      whyNot = pinger.whyNot();
      return nullptr;
    }
    return std::make_unique<PingerSender>(std::move(pinger));
  }
};

std::mutex gMutex;
std::shared_ptr<DiagnosticsProbes> gProbes;

}  // namespace

std::shared_ptr<DiagnosticsProbes> SystemDiagnosticsProbes() { return std::make_shared<SystemProbes>(); }

std::shared_ptr<DiagnosticsProbes> SetDiagnosticsProbes(std::shared_ptr<DiagnosticsProbes> probes) {
  std::lock_guard lock(gMutex);
  std::swap(gProbes, probes);
  return probes;
}

std::shared_ptr<DiagnosticsProbes> CurrentDiagnosticsProbes() {
  {
    std::lock_guard lock(gMutex);
    if (gProbes) return gProbes;
  }
  return SystemDiagnosticsProbes();
}

}  // namespace lumetra
