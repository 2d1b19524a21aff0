// brokla: the connection manager daemon. Without options it runs the service in the
// foreground; `brokla --control CODE` hands a control code to the running service.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "BroklaConfig.h"
#include "BroklaService.h"
#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "platform/dynlib.h"
#include "platform/localpipe.h"
#include "platform/service.h"
#include "platform/text.h"
#include "platform/ui.h"

using platform::service::State;

namespace {

const char* const kUsage =
    "Usage: brokla [--control CODE | --version | --help]\n"
    "The connection manager: keeps the list of scanner instruments on the network and\n"
    "arbitrates them among local applications. Without options it runs in the foreground\n"
    "until SIGTERM or SIGINT (SIGHUP reopens the log file); under systemd it is the user\n"
    "service brokla.service.\n"
    "\n"
    "  --control CODE  hand a control code to the running service and wait for it; CODE is\n"
    "                  the name or the number (no other codes are taken):\n"
    "                    stop         1    stop the service\n"
    "                    interrogate  4    only report the service's state\n"
    "                    publish      138  publish the instrument list (\"Instr1\" ...)\n"
    "                    break-lock   148  break the lock of the instrument \"InstrToUnlock\"\n"
    "                    reopen-log   158  reopen the log file (\"LogFile\")\n"
    "                    refresh      168  ask the instruments to identify themselves again\n"
    "  --version       show the version\n"
    "  --help          show this text\n"
    "\n"
    "Settings: the registry key HKEY_LOCAL_MACHINE\\Software\\Tarsel\\ZevazOdizo\\Services\\Brokla\n"
    "(\"LogFile\", \"BCastAddr\" ...) in $ZEVA_REGISTRY_DIR (default ~/.config/zevazodizo/registry);\n"
    "its ports \"vrelevent\", \"vrelcntrl\" (udp) and \"vrelinstr\" (tcp) from $ZEVA_SERVICES_FILE,\n"
    "else the installation's services file (registered by zevazodizo-setup), else /etc/services;\n"
    "its pipes in the runtime folder ($ZEVA_RUNTIME_DIR, else $XDG_RUNTIME_DIR/zevazodizo).\n";

struct NamedCode {
  const char* name;
  std::uint32_t code;
  const char* done;  // what the service did, for the user
};
constexpr NamedCode kControlCodes[] = {
    {"stop", platform::service::SERVICE_CONTROL_STOP, "asked the service to stop"},
    {"interrogate", platform::service::SERVICE_CONTROL_INTERROGATE, "asked the service for its state"},
    {"publish", 138,
     "published the instrument list in the registry (\"InstrOnNetwork\", \"Instr1\" ... under "
     "HKEY_LOCAL_MACHINE\\Software\\Tarsel\\ZevazOdizo\\Services\\Brokla)"},
    {"break-lock", 148,
     "broke the lock of the instrument named by \"InstrToUnlock\" (if it is listed and locked; the log says "
     "so)"},
    {"reopen-log", platform::service::kControlReopenLog, "reopened the log file (\"LogFile\")"},
    {"refresh", 168,
     "asked the instruments to identify themselves again; those that do not answer leave the list at the "
     "next "
     "publish"},
};

// A control code by number or by name, in any case; only the codes the service knows.
const NamedCode* ParseControlCode(std::string_view text) {
  std::uint32_t code = 0;
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, code);
  const bool number = !text.empty() && r.ec == std::errc() && r.ptr == end;
  for (const NamedCode& c : kControlCodes) {
    if (number ? c.code == code : platform::equalsFolded(std::string_view(c.name), text)) return &c;
  }
  return nullptr;
}

const char* StateName(State s) {
  switch (s) {
    case State::stopped:
      return "stopped";
    case State::startPending:
      return "start pending";
    case State::stopPending:
      return "stop pending";
    case State::running:
      return "running";
  }
  return "unknown";
}

int SendControl(const char* text) {
  const NamedCode* code = ParseControlCode(text);
  if (!code) {
    std::fprintf(stderr,
                 "brokla: bad control code '%s': give one of stop (1), interrogate (4), publish (138), "
                 "break-lock (148), reopen-log (158), refresh (168)\n",
                 text);
    return 2;
  }
  const auto state = platform::service::sendControl(brokla::kServiceName, code->code);
  if (!state) {
    const std::string socket =
        platform::localpipe::pipePath(platform::service::controlPipeName(brokla::kServiceName));
    std::fprintf(
        stderr,
        "brokla: the service is not running (or did not answer): nobody serves %s\n"
        "brokla: start it ('systemctl --user start brokla', or 'brokla'), with the same runtime folder "
        "(ZEVA_RUNTIME_DIR)\n",
        socket.empty() ? "its control socket" : socket.c_str());
    return 1;
  }
  std::printf("brokla: %s; the service is %s\n", code->done, StateName(*state));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const std::string option = argv[1];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (option == "--version") {
      std::printf("%s\n", platform::programVersionLine("brokla").c_str());
      return 0;
    }
    if (option == "--control") {
      if (argc == 3) return SendControl(argv[2]);
      std::fprintf(stderr, "brokla: --control takes one code (a number or a name)\n%s", kUsage);
      return 2;
    }
    std::fprintf(stderr, "brokla: unknown option '%s'\n%s", option.c_str(), kUsage);
    return 2;
  }

  // Before any thread exists, so that the signals reach the service's handler only.
  platform::service::ServiceHost::blockControlSignals();
  // Headless: whatever would have asked the user goes to the log.
  platform::ui::setMessageBoxHook([](const std::string& text, const std::string& caption, unsigned type) {
    LogWarning("%s%s%s", caption.c_str(), caption.empty() ? "" : ": ", text.c_str());
    return platform::ui::defaultAnswer(type);
  });
  CLogger::SetRegKey((std::string(zeva::kBroklaKey) + "Logging").c_str());
  OpenServiceLog();
  int rc = 0;
  {
    CBroklaService service;
    rc = service.ServiceMain();
  }
  CLogger::Close();
  return rc;
}
