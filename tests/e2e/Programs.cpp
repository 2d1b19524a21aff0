#include "Programs.h"

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <utility>

#include "Jotwell/RegEdit.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "testsupport/TestEnv.h"

namespace e2e_test {

namespace {

std::string ReadIfThere(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec) ? testsupport::readFile(path) : std::string();
}

std::size_t SizeIfThere(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<std::size_t>(size);
}

std::string ReadFrom(const std::string& path, std::size_t start) {
  const std::string text = ReadIfThere(path);
  return start < text.size() ? text.substr(start) : std::string();
}

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++n;
  return n;
}

std::uint16_t FreePort(platform::net::Socket::Type type) {
  namespace net = platform::net;
  auto s = net::Socket::create(type);
  if (!s || !s.bind({net::kLoopbackAddress, 0})) return 0;
  return s.localEndpoint().value_or(net::Endpoint{}).port;
}

}  // namespace

int CountText(const std::string& path, const std::string& needle) { return Count(ReadIfThere(path), needle); }

bool WaitForText(const std::string& path, const std::string& needle, int n,
                 std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (CountText(path, needle) >= n) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    platform::sleepFor(10ms);  // another process's file: looked at again until the time-out
  }
}

Program::Program(std::string name, const std::vector<std::string>& argv, const std::string& folder)
    : m_Name(std::move(name)), m_Out(folder + "/" + m_Name + ".out"), m_Err(folder + "/" + m_Name + ".err") {
  // A wait for a line must not be answered by an earlier process of the same name.
  m_OutStart = SizeIfThere(m_Out);
  m_ErrStart = SizeIfThere(m_Err);
  m_Child = platform::process::Child::spawn(argv, {folder, m_Out, m_Err});
}

Program::~Program() {
  if (m_Child.pid() > 0 && m_Child.running()) Kill();
}

std::string Program::Out() const { return ReadFrom(m_Out, m_OutStart); }
std::string Program::Err() const { return ReadFrom(m_Err, m_ErrStart); }

bool Program::WaitForOutput(const std::string& needle, int n, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (Count(Out(), needle) >= n) return true;
    if (!Started() || !m_Child.running() || std::chrono::steady_clock::now() >= end)
      return Count(Out(), needle) >= n;
    platform::sleepFor(10ms);
  }
}

std::optional<int> Program::Wait(std::chrono::milliseconds timeout) {
  if (!Started()) return std::nullopt;
  return m_Child.wait(timeout);
}

std::optional<int> Program::Stop(std::chrono::milliseconds timeout) {
  if (!Started()) return std::nullopt;
  // One that ends meanwhile is no failure: the wait tells how it ended.
  if (m_Child.running()) (void)m_Child.signal(SIGTERM);
  const auto code = m_Child.wait(timeout);
  if (!code) Kill();
  return code;
}

void Program::Kill() {
  if (!Started()) return;
  // Only reaping is left to do: neither outcome changes anything.
  (void)m_Child.signal(SIGKILL);
  (void)m_Child.wait(kProgramWait);
}

std::string Daemon::Prepare(const std::string& folder, const std::string& installDir) {
  std::filesystem::create_directories(installDir + "/Logs");
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo").WriteString("Path", installDir);
  // The identify broadcast goes to a loopback address nobody listens on.
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla")
      .WriteInt("BCastAddr", static_cast<int>(0x7F0000FE));
  namespace net = platform::net;
  const std::string services = folder + "/services";
  testsupport::writeFile(
      services, "vrelevent " + std::to_string(FreePort(net::Socket::Type::datagram)) + "/udp\nvrelcntrl " +
                    std::to_string(FreePort(net::Socket::Type::datagram)) + "/udp\nvrelinstr " +
                    std::to_string(FreePort(net::Socket::Type::stream)) + "/tcp\n");
  ::setenv("ZEVA_SERVICES_FILE", services.c_str(), 1);
  return installDir + "/Logs/brokla0.log";
}

Daemon::Daemon(const std::string& program, const std::string& folder, const std::string& installDir)
    : m_Log(Prepare(folder, installDir)), m_Program("brokla", {program}, folder) {}

bool Daemon::Ready() {
  return m_Program.Started() && WaitForText(m_Log, "Processing the startup REFRESH request");
}

std::string Daemon::Log() const { return ReadIfThere(m_Log); }

Instrument::Instrument(const std::string& program, const std::string& folder, const std::string& address,
                       const std::string& serial, const std::vector<std::string>& extra, std::uint16_t port)
    : m_Program(
          "zevasim-" + serial,
          [&] {
            std::vector<std::string> argv{program,
                                          "--address",
                                          address,
                                          "--announce",
                                          "127.0.0.1",
                                          "--port",
                                          port ? std::to_string(port) : "assigned",
                                          "--serial",
                                          serial};
            argv.insert(argv.end(), extra.begin(), extra.end());
            return argv;
          }(),
          folder) {}

std::optional<std::uint16_t> Instrument::WaitServing() {
  if (!m_Program.WaitForOutput(" serving ") || !m_Program.WaitForOutput("zevasim: announced to"))
    return std::nullopt;
  std::smatch m;
  const std::string out = m_Program.Out();
  if (!std::regex_search(out, m, std::regex("serving [0-9.]+:([0-9]+)"))) return std::nullopt;
  return static_cast<std::uint16_t>(std::stoi(m[1].str()));
}

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : m_Name(name) {
  if (const char* old = std::getenv(name)) m_Old = old;
  ::setenv(name, value, 1);
}

ScopedEnvironment::~ScopedEnvironment() {
  if (m_Old)
    ::setenv(m_Name.c_str(), m_Old->c_str(), 1);
  else
    ::unsetenv(m_Name.c_str());
}

void WriteFlashFile(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text;
  for (const auto& [key, value] : values) text += key + " " + value + "\n";
  testsupport::writeFile(path, text);
}

}  // namespace e2e_test
