// The connection diagnostics over fake probes of the machine and a private registry.
#include "diag/ConnectionDiagnostics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>

#include "platform/net.h"
#include "platform/registry.h"
#include "testsupport/TestEnv.h"

namespace {

using namespace lumetra;
using platform::HKEY_LOCAL_MACHINE;
using platform::icmp::EchoResult;
using platform::icmp::EchoStatus;
using platform::process::UnitState;
using testing::ElementsAre;
using testing::ElementsAreArray;
namespace registry = platform::registry;

const std::vector<std::string> kTitles{"Getting Dalmor info...", "CheckProgsRunning...",  "CheckServices...",
                                       "CheckDriversPresent...", "CheckScannerBootup...", "CheckNICConfig...",
                                       "CheckFireWall...",       "CheckBrokla..."};

// Only the connection manager is a service of this system; how to check it here.
const std::string kBroklaDown =
    "Connection Manager is not running. Check it with: systemctl --user status brokla";
const std::string kDriverDown =
    "AX88772 is not running.  Make sure the ASIX driver has been properly installed,\r\n the scanner is "
    "powered "
    "on, and the USB cable is connected to the PC";

struct Ping {
  std::string address;
  std::vector<std::uint8_t> payload;
  std::chrono::milliseconds timeout;
};

class FakeProbes : public DiagnosticsProbes {
 public:
  std::vector<platform::process::ProcessInfo> processes;
  std::set<std::string> services{"Brokla"};  // the one service this system installs
  std::map<std::string, UnitState> units;    // missing: inactive
  std::vector<platform::netif::Adapter> adapters;
  bool canPing = true;
  std::string whyNot;
  // The answer to the n-th attempt (1-based) at an address; timed out by default.
  std::function<EchoResult(const std::string& address, int attempt)> answer;
  std::vector<Ping> pings;
  bool throwFromAdapters = false;

  std::vector<platform::process::ProcessInfo> Processes() override { return processes; }
  bool ServiceRunning(const std::string& name) override { return services.count(name) != 0; }
  UnitState ServiceUnitState(const std::string& unit) override {
    const auto it = units.find(unit);
    return it == units.end() ? UnitState::inactive : it->second;
  }
  std::vector<platform::netif::Adapter> Adapters() override {
    if (throwFromAdapters) throw std::runtime_error("adapter list unreadable");
    return adapters;
  }
  std::unique_ptr<EchoSender> OpenEcho(std::string& why) override {
    if (!canPing) {
      why = whyNot;
      return nullptr;
    }
    return std::make_unique<Sender>(*this);
  }

 private:
  struct Sender : EchoSender {
    explicit Sender(FakeProbes& p) : probes(p) {}
    EchoResult Echo(std::uint32_t address, std::span<const std::uint8_t> payload,
                    std::chrono::milliseconds timeout) override {
      const std::string dotted = FormatIpAddress(address);
      probes.pings.push_back({dotted, {payload.begin(), payload.end()}, timeout});
      const int attempt = static_cast<int>(std::count_if(probes.pings.begin(), probes.pings.end(),
                                                         [&](const Ping& p) { return p.address == dotted; }));
      if (probes.answer) return probes.answer(dotted, attempt);
      return {EchoStatus::timedOut, {}};
    }
    FakeProbes& probes;
  };
};

platform::netif::Adapter Adapter(const std::string& name, const std::string& driver,
                                 std::vector<platform::netif::Ipv4Address> ipv4 = {}) {
  platform::netif::Adapter a;
  a.name = name;
  a.driver = driver;
  a.up = a.running = true;
  a.ipv4 = std::move(ipv4);
  return a;
}

platform::process::ProcessInfo Process(int pid, const std::string& executable,
                                       std::vector<std::string> arguments = {}) {
  platform::process::ProcessInfo p;
  p.pid = pid;
  p.executable = executable;
  p.name = executable.substr(executable.rfind('/') + 1).substr(0, 15);
  p.arguments = std::move(arguments);
  return p;
}

class DiagnosticsTest : public testsupport::ZevaTest {
 protected:
  static void Key(const std::string& key) {
    ASSERT_EQ(registry::createKey(HKEY_LOCAL_MACHINE, key), registry::kOk);
  }
  static void Dword(const std::string& key, const char* name, std::uint32_t v) {
    Key(key);
    ASSERT_EQ(registry::setValue(HKEY_LOCAL_MACHINE, key, name, registry::makeDword(v)), registry::kOk);
  }
  static void String(const std::string& key, const char* name, const std::string& v) {
    Key(key);
    ASSERT_EQ(registry::setValue(HKEY_LOCAL_MACHINE, key, name, registry::makeString(v)), registry::kOk);
  }
  static void Mac(const std::string& mac, std::optional<std::uint32_t> ip) {
    const std::string key = std::string(kDalmorMacKey) + "\\" + mac;
    Key(key);
    if (ip) Dword(key, "IpAddr", *ip);
  }

  std::vector<std::string> Run() {
    lines_.clear();
    RunConnectionDiagnostics(results_, lines_, probes_);
    return lines_;
  }
  // The lines a step added (between its title and the next one).
  std::vector<std::string> Step(const std::string& title) const {
    auto it = std::find(lines_.begin(), lines_.end(), title);
    EXPECT_NE(it, lines_.end()) << title;
    std::vector<std::string> out;
    for (++it; it != lines_.end() && std::find(kTitles.begin(), kTitles.end(), *it) == kTitles.end(); ++it)
      out.push_back(*it);
    return out;
  }

  FakeProbes probes_;
  CConnectionDiagnostics results_;
  std::vector<std::string> lines_;
};

TEST_F(DiagnosticsTest, BrokenInstallationGivesEveryFindingInOrder) {
  Mac("00-11-22-33-44-55", 0x0A000007);
  Mac("00-11-22-33-44-66", std::nullopt);  // an entry without an address is passed over
  Dword(kDalmorKey, "IfaceAddr", 0x0A000001);
  probes_.processes = {Process(40, "/usr/bin/bash"), Process(41, "/usr/local/bin/hypertrm"),
                       // a Windows program under a compatibility layer
                       Process(42, "/usr/lib/wine/wine64-preloader", {"C:\\Tools\\VrelTest.exe", "-x"})};
  probes_.services.clear();
  probes_.adapters = {Adapter("lo", ""), Adapter("eth0", "virtio_net", {{0xC0A80105, 0xFFFFFF00}})};
  probes_.units["ufw.service"] = UnitState::active;
  String(kBroklaKey, "Instr1", "SN-A 7f000002 1");
  Dword(kBroklaKey, "InstrOnNetwork", 0);

  EXPECT_THAT(Run(), ElementsAreArray(std::vector<std::string>{
                         "Getting Dalmor info...",
                         "MAC:00-11-22-33-44-55; Ip:10.0.0.7",
                         "IfaceAddr:10.0.0.1",
                         "No NextIpAddr specified",
                         "CheckProgsRunning...",
                         "Hyperterminal is running.  Try closing it and re-start.",
                         "VrelTest is running. Try closing it and re-start.",
                         "CheckServices...",
                         kBroklaDown,
                         "CheckDriversPresent...",
                         kDriverDown,
                         "CheckScannerBootup...",
                         "ping 10.0.0.7 timed out after 0.5 seconds, 1 attempt",
                         "ping 10.0.0.7 timed out after 0.5 seconds, 2 attempt",
                         "ping 10.0.0.7 timed out after 0.5 seconds, 3 attempt",
                         "CheckNICConfig...",
                         "CheckFireWall...",
                         "Firewall service running: ufw",
                         "No ASIX connection found",
                         "CheckBrokla...",
                         "Instrument on 7f000002 is Locked",
                         "No instruments to Unlock",
                         "No instruments on Network",
                     }));
  // With MAC entries the interface address is not pinged.
  ASSERT_EQ(probes_.pings.size(), 3u);
  for (const Ping& p : probes_.pings) {
    EXPECT_EQ(p.address, "10.0.0.7");
    EXPECT_EQ(std::string(p.payload.begin(), p.payload.end()), "Data");
    EXPECT_EQ(p.timeout, std::chrono::milliseconds(500));
  }
  EXPECT_THAT(results_.m_MacIpAddrs, ElementsAre("10.0.0.7"));
  EXPECT_EQ(results_.m_strIfaceAddr, "10.0.0.1");
  EXPECT_EQ(results_.m_strNextIpAddr, "");
  EXPECT_EQ(results_.m_strAdapterServiceName, "");
}

TEST_F(DiagnosticsTest, WorkingInstallationReportsTheScannerAndItsAdapter) {
  Key(kDalmorMacKey);
  Dword(kDalmorKey, "IfaceAddr", 0x0A000001);
  Dword(kDalmorKey, "NextIpAddr", 0x0A000002);
  // Names compare case-sensitively.
  probes_.processes = {Process(7, "/usr/bin/HyperTrm"), Process(8, "/usr/bin/vreltest")};
  probes_.adapters = {
      Adapter("lo", "", {{0x7F000001, 0xFF000000}}),
      Adapter("enx001122334455", "asix", {{0x0A000001, 0xFFFFFF00}, {0x0A000063, 0xFFFFFF00}})};
  probes_.units["firewalld.service"] = UnitState::active;
  probes_.units["nftables.service"] = UnitState::active;
  // The first attempt meets an error, which is told apart from a time-out.
  probes_.answer = [](const std::string&, int attempt) {
    return attempt == 1 ? EchoResult{EchoStatus::failed, "destination host unreachable"}
                        : EchoResult{EchoStatus::reply, {}};
  };
  String(kBroklaKey, "Instr1", "SN-A 7f000002 0");
  String(kBroklaKey, "InstrToUnlock", "SN-A");
  Dword(kBroklaKey, "InstrOnNetwork", 1);

  EXPECT_THAT(Run(),
              ElementsAreArray(std::vector<std::string>{
                  "Getting Dalmor info...",
                  "No MAC ips specified",
                  "IfaceAddr:10.0.0.1",
                  "NextIpAddr:10.0.0.2",
                  "CheckProgsRunning...",
                  "CheckServices...",
                  "CheckDriversPresent...",
                  "CheckScannerBootup...",
                  "ping 10.0.0.1 failed: destination host unreachable, 1 attempt",
                  "ping 10.0.0.1 successful - attempt 2",
                  "Instrument detected on IP: 10.0.0.1",
                  "CheckNICConfig...",
                  "ASIX ip address:10.0.0.1 Subnet mask:255.255.255.0, should be 255.255.255.0",
                  "CheckFireWall...",
                  "Firewall service running: firewalld, nftables",
                  "Scanner connection found. GUID:enx001122334455, Name:enx001122334455",
                  "Cannot tell whether the firewall lets the scanner software through on enx001122334455: "
                  "it keeps no list of allowed programs. Make sure its rules allow UDP and TCP traffic on "
                  "enx001122334455",
                  "CheckBrokla...",
                  "Instrument on 7f000002 is Not locked",
                  "InstrToUnlock:SN-A",
                  "InstrOnNetwork:1",
              }));
  EXPECT_EQ(results_.m_strAdapterServiceName, "enx001122334455");
  EXPECT_EQ(results_.m_strConnectionName, "enx001122334455");
}

TEST_F(DiagnosticsTest, DefaultSweepTriesFifteenAddressesThreeTimesAndStopsAtTheFirstAnswer) {
  Key(kDalmorMacKey);  // no MAC entries, no IfaceAddr
  Run();
  std::vector<std::string> expected{"No custom IPs. Using defaults."};
  std::vector<std::string> order;
  for (int i = 1; i <= 15; ++i)
    for (int attempt = 1; attempt <= 3; ++attempt) {
      const std::string a = "10.0.0." + std::to_string(i);
      expected.push_back("ping " + a + " timed out after 0.5 seconds, " + std::to_string(attempt) +
                         " attempt");
      order.push_back(a);
    }
  EXPECT_THAT(Step("CheckScannerBootup..."), ElementsAreArray(expected));
  std::vector<std::string> pinged;
  for (const Ping& p : probes_.pings) pinged.push_back(p.address);
  EXPECT_EQ(pinged, order);

  probes_.pings.clear();
  probes_.answer = [](const std::string& address, int) {
    return address == "10.0.0.4" ? EchoResult{EchoStatus::reply, {}} : EchoResult{EchoStatus::timedOut, {}};
  };
  Run();
  const auto step = Step("CheckScannerBootup...");
  ASSERT_EQ(step.size(), 1u + 9u + 2u);
  EXPECT_EQ(step[9], "ping 10.0.0.3 timed out after 0.5 seconds, 3 attempt");
  EXPECT_EQ(step[10], "ping 10.0.0.4 successful - attempt 1");
  EXPECT_EQ(step[11], "Instrument detected on IP: 10.0.0.4");
  EXPECT_EQ(probes_.pings.size(), 10u);
}

TEST_F(DiagnosticsTest, SweepAddressesComeFromMacEntriesElseTheInterfaceAddress) {
  Dword(kDalmorKey, "IfaceAddr", 0x7F000009);
  Key(kDalmorMacKey);
  Run();
  EXPECT_THAT(Step("CheckScannerBootup..."),
              ElementsAre("ping 127.0.0.9 timed out after 0.5 seconds, 1 attempt",
                          "ping 127.0.0.9 timed out after 0.5 seconds, 2 attempt",
                          "ping 127.0.0.9 timed out after 0.5 seconds, 3 attempt"));

  // Without the MAC key the first step ends at once: the interface address is not read,
  // so the sweep falls back to its defaults.
  ASSERT_EQ(registry::deleteKey(HKEY_LOCAL_MACHINE, kDalmorKey, "MAC"), registry::kOk);
  probes_.answer = [](const std::string&, int) { return EchoResult{EchoStatus::reply, {}}; };
  Run();
  EXPECT_THAT(Step("Getting Dalmor info..."), ElementsAre());
  EXPECT_EQ(results_.m_strIfaceAddr, "");
  EXPECT_THAT(Step("CheckScannerBootup..."),
              ElementsAre("No custom IPs. Using defaults.", "ping 10.0.0.1 successful - attempt 1",
                          "Instrument detected on IP: 10.0.0.1"));
}

TEST_F(DiagnosticsTest, PingFailuresAndRefusalsAreToldApartFromTimeOuts) {
  Mac("aa", 0x0A000005);
  Mac("bb", 0x0A000006);
  probes_.answer = [](const std::string& address, int) {
    return address == "10.0.0.5"
               ? EchoResult{EchoStatus::refused, "ZEVA_NET_LOOPBACK_ONLY=1 allows only 127.0.0.0/8"}
               : EchoResult{EchoStatus::failed, "Network is unreachable"};
  };
  Run();
  EXPECT_THAT(Step("CheckScannerBootup..."),
              ElementsAre("ping 10.0.0.5 refused: ZEVA_NET_LOOPBACK_ONLY=1 allows only 127.0.0.0/8",
                          "ping 10.0.0.6 failed: Network is unreachable, 1 attempt",
                          "ping 10.0.0.6 failed: Network is unreachable, 2 attempt",
                          "ping 10.0.0.6 failed: Network is unreachable, 3 attempt"));

  // Refusals among answers: one line where the first was, naming the refused addresses.
  Mac("cc", 0x0A000007);
  Mac("dd", 0x7F000001);
  probes_.answer = [](const std::string& address, int) {
    return address == "127.0.0.1"
               ? EchoResult{EchoStatus::timedOut, {}}
               : EchoResult{EchoStatus::refused, "ZEVA_NET_LOOPBACK_ONLY=1 allows only 127.0.0.0/8"};
  };
  Run();
  EXPECT_THAT(Step("CheckScannerBootup..."),
              ElementsAre("ping refused for 3 addresses (10.0.0.5, ..., 10.0.0.7): ZEVA_NET_LOOPBACK_ONLY=1 "
                          "allows only 127.0.0.0/8",
                          "ping 127.0.0.1 timed out after 0.5 seconds, 1 attempt",
                          "ping 127.0.0.1 timed out after 0.5 seconds, 2 attempt",
                          "ping 127.0.0.1 timed out after 0.5 seconds, 3 attempt"));

  probes_.canPing = false;
  probes_.whyNot = "raw ICMP sockets: Permission denied";
  Run();
  EXPECT_THAT(Step("CheckScannerBootup..."), ElementsAre("Cannot ping: raw ICMP sockets: Permission denied"));
}

TEST_F(DiagnosticsTest, RealEchoToLoopbackAndRefusalOfTheDefaults) {
  // The system's pinger with the loopback-only guard on: the real echo goes to 127.0.0.1
  // only, and the instrument network's defaults are refused without a packet sent.
  class RealEcho : public FakeProbes {
   public:
    std::unique_ptr<EchoSender> OpenEcho(std::string& why) override { return system->OpenEcho(why); }
    std::shared_ptr<DiagnosticsProbes> system = SystemDiagnosticsProbes();
  } probes;
  std::string why;
  if (!probes.OpenEcho(why)) GTEST_SKIP() << "this user may not ping here: " << why;
  if (testsupport::readFile("/proc/sys/net/ipv4/icmp_echo_ignore_all").starts_with("1"))
    GTEST_SKIP() << "this machine ignores echo requests (net.ipv4.icmp_echo_ignore_all=1)";
  ASSERT_TRUE(platform::net::loopbackOnly());

  Key(kDalmorMacKey);
  RunConnectionDiagnostics(results_, lines_, probes);
  // One line for the whole refused sweep, not one per address.
  EXPECT_THAT(
      Step("CheckScannerBootup..."),
      ElementsAre("No custom IPs. Using defaults.",
                  "ping refused for 15 addresses (10.0.0.1, ..., 10.0.0.15): ZEVA_NET_LOOPBACK_ONLY=1 "
                  "allows only 127.0.0.0/8"));

  Mac("00-00-00-00-00-00", 0x7F000001);
  lines_.clear();
  RunConnectionDiagnostics(results_, lines_, probes);
  EXPECT_THAT(Step("CheckScannerBootup..."),
              ElementsAre("ping 127.0.0.1 successful - attempt 1", "Instrument detected on IP: 127.0.0.1"));
}

TEST_F(DiagnosticsTest, QuietChecksAddNoLines) {
  // Nothing to report anywhere but the sweep, which cannot ping.
  probes_.adapters = {Adapter("enx00", "asix")};  // present, but without an address
  probes_.canPing = false;
  probes_.whyNot = "no socket";
  std::vector<std::string> expected = kTitles;
  expected.insert(expected.begin() + 5, "Cannot ping: no socket");
  EXPECT_THAT(Run(), ElementsAreArray(expected));
  EXPECT_EQ(results_.m_strAdapterServiceName, "enx00");
}

TEST_F(DiagnosticsTest, FirewallStepSaysWhatItCanAndCannotTell) {
  const std::string cannotAsk =
      "Cannot tell whether a firewall service is running: the service manager (systemd) did not answer";
  struct Case {
    std::map<std::string, UnitState> units;
    bool adapter;
    std::vector<std::string> lines;
  } cases[] = {
      {{}, true, {}},
      {{{"firewalld.service", UnitState::unknown},
        {"ufw.service", UnitState::unknown},
        {"nftables.service", UnitState::unknown},
        {"netfilter-persistent.service", UnitState::unknown}},
       true,
       {cannotAsk}},
      {{{"netfilter-persistent.service", UnitState::active}, {"ufw.service", UnitState::unknown}},
       false,
       {"Firewall service running: netfilter-persistent", "No ASIX connection found"}},
  };
  for (const auto& c : cases) {
    probes_.units = c.units;
    probes_.adapters.clear();
    if (c.adapter) probes_.adapters.push_back(Adapter("usb0", "asix"));
    Run();
    EXPECT_THAT(Step("CheckFireWall..."), ElementsAreArray(c.lines));
  }
}

TEST_F(DiagnosticsTest, InstrumentValueMalformedIsShownAsItStands) {
  struct Case {
    std::string value;
    std::string line;
  } cases[] = {
      {"SN-A 7f000002 1", "Instrument on 7f000002 is Locked"},
      {"  SN-A\t7f000002   1 trailing", "Instrument on 7f000002 is Locked"},
      {"SN-A 7f000002 2", "Instrument on 7f000002 is Not locked"},
      {"SN-A 7f000002 -1", "Instrument on 7f000002 is Not locked"},
      {"SN-A 7f000002", "Instr1:SN-A 7f000002"},
      {"SN-A 7f000002 x", "Instr1:SN-A 7f000002 x"},
      {"SN-A 7f000002 1x", "Instr1:SN-A 7f000002 1x"},
      {"SN-A 7f000002 99999999999", "Instr1:SN-A 7f000002 99999999999"},
      {"", "Instr1:"},
  };
  for (const auto& c : cases) {
    String(kBroklaKey, "Instr1", c.value);
    Run();
    EXPECT_EQ(Step("CheckBrokla...").at(0), c.line) << c.value;
  }
  // A value of another type is no instrument entry.
  ASSERT_EQ(registry::setValue(HKEY_LOCAL_MACHINE, kBroklaKey, "Instr1", registry::makeDword(1)),
            registry::kOk);
  ASSERT_EQ(registry::setValue(HKEY_LOCAL_MACHINE, kBroklaKey, "InstrOnNetwork", registry::makeString("3")),
            registry::kOk);
  String(kBroklaKey, "InstrToUnlock", "");
  Run();
  EXPECT_THAT(Step("CheckBrokla..."),
              ElementsAre("No instruments", "InstrToUnlock:", "No instruments on Network"));
}

TEST_F(DiagnosticsTest, ResultsStartAfreshAndAThrowingCheckStopsNothing) {
  Mac("aa", 0x0A000005);
  Dword(kDalmorKey, "IfaceAddr", 0x0A000001);
  Run();
  Run();
  EXPECT_THAT(results_.m_MacIpAddrs, ElementsAre("10.0.0.5"));

  probes_.throwFromAdapters = true;
  Run();
  EXPECT_THAT(Step("CheckDriversPresent..."),
              ElementsAre("CheckDriversPresent... failed: adapter list unreadable"));
  EXPECT_THAT(Step("CheckNICConfig..."), ElementsAre("CheckNICConfig... failed: adapter list unreadable"));
  EXPECT_EQ(lines_.back(), "CheckBrokla...");  // ran to the end
}

TEST(DiagnosticsHelpers, IpAddressTextAndProcessLookUp) {
  struct {
    std::uint32_t value;
    const char* text;
  } addresses[] = {
      {0x0A000001, "10.0.0.1"}, {0, "0.0.0.0"}, {0xFFFFFFFF, "255.255.255.255"}, {0xC0A80102, "192.168.1.2"}};
  for (const auto& a : addresses) EXPECT_EQ(FormatIpAddress(a.value), a.text);

  FakeProbes probes;
  probes.processes = {Process(5, ""),  // program not visible, no arguments: skipped
                      Process(6, "/opt/tools/hypertrm.bin"), Process(9, "/usr/bin/hypertrm")};
  EXPECT_EQ(IsProcessRunning("hypertrm", probes), 6u);  // the first, without its extension
  EXPECT_EQ(IsProcessRunning("Hypertrm", probes), 0u);
  EXPECT_EQ(IsProcessRunning("", probes), 0u);
}

}  // namespace
