#include "maindlg/SingleInstance.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "Jotwell/Logger.h"
#include "maindlg/ScanDlgCore.h"
#include "platform/ui.h"

namespace lumetra::maindlg {

namespace {

constexpr std::string_view kQuery = "ScannerGUI";
constexpr std::string_view kActivate = "Activate";

std::span<const std::uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

CScannerGuiServer::CScannerGuiServer(Handlers handlers) : m_Handlers(std::move(handlers)) {}

CScannerGuiServer::~CScannerGuiServer() { Stop(); }

bool CScannerGuiServer::Start() {
  if (m_Thread.running()) return true;
  m_pServer = std::make_unique<platform::localpipe::PipeServer>(4);
  if (m_pServer->listen(kScannerGuiChannel) < 0) {
    const int error = m_pServer->error();
    m_pServer.reset();
    if (error == EADDRINUSE) return false;
    LogError("The scanner window cannot serve its desktop channel: %s", std::strerror(error));
    return false;
  }
  if (!m_Thread.start([this](platform::Event& stop) { return Serve(stop); }, "ScannerGUI")) {
    m_pServer.reset();
    return false;
  }
  return true;
}

void CScannerGuiServer::Stop() {
  if (m_pServer) m_pServer->wake();
  m_Thread.requestStop();
  if (m_Thread.joinable()) (void)m_Thread.join();  // never on its own thread: the join cannot fail
  m_pServer.reset();
}

std::uint32_t CScannerGuiServer::Serve(platform::Event& stop) {
  using Kind = platform::localpipe::PipeServer::Activity::Kind;
  while (!stop.isSet()) {
    auto activity = m_pServer->wait();
    if (activity.kind == Kind::woken || activity.kind == Kind::failed) break;
    if (activity.kind != Kind::message) continue;
    const std::string_view text(reinterpret_cast<const char*>(activity.message.data()),
                                activity.message.size());
    if (text == kQuery) {
      const bool host = m_Handlers.raiseHost && m_Handlers.raiseHost();
      const auto answer = static_cast<std::uint32_t>(kScannerGuiAnswer);
      std::array<std::uint8_t, 5> reply{};
      std::memcpy(reply.data(), &answer, 4);
      reply[4] = host ? 1 : 0;
      (void)m_pServer->send(activity.client, reply);  // a client gone misses only its own answer
    } else if (text == kActivate) {
      if (m_Handlers.raiseWindow) m_Handlers.raiseWindow();
      (void)m_pServer->send(activity.client, Bytes("OK"));  // likewise
    }
  }
  return 0;
}

RunningInstance FindRunningInstance(const std::function<void()>& tell, std::chrono::milliseconds timeout) {
  auto pipe = platform::localpipe::Pipe::connect(kScannerGuiChannel, std::chrono::milliseconds(0));
  if (!pipe.isOpen()) return RunningInstance::none;
  if (!pipe.write(Bytes(kQuery), timeout)) return RunningInstance::none;
  std::array<std::uint8_t, 8> reply{};
  const auto got = pipe.read(reply, timeout);
  std::uint32_t answer = 0;
  if (got.ok() && got.size >= 5) std::memcpy(&answer, reply.data(), 4);
  // A window that took the call but is too busy to answer still runs; a wrong answer is
  // something else holding the name.
  if (got.ok() && answer != static_cast<std::uint32_t>(kScannerGuiAnswer)) return RunningInstance::none;
  if (got.ok() && reply[4]) return RunningInstance::hostRaised;
  if (tell)
    tell();
  else
    platform::ui::messageBox("Application is already running", kHostWindowTitle,
                             platform::ui::MB_ICONWARNING);
  // The answer only acknowledges the call: the other window is asked to come up either way.
  if (pipe.write(Bytes(kActivate), timeout)) (void)pipe.read(reply, timeout);
  return RunningInstance::windowRaised;
}

}  // namespace lumetra::maindlg
