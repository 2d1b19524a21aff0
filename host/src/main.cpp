// scanner-host: opens the log of the operator's process, then the scanner window with the
// given connect string, and ends when the window is closed. --help and --version answer
// without a display.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "Lumetra/ScannerUI.h"
#include "platform/dynlib.h"

namespace {

const char* const kUsage =
    "Usage: scanner-host [CONNECT]\n"
    "Opens the scanner window. CONNECT is the instrument's connect string, its IPv4 address\n"
    "and TCP port as \"<address>_<port>\" (for example 127.0.0.1_4001); without it the first\n"
    "instrument the connection manager lists is used.\n"
    "\n"
    "  --connect CONNECT  the same as CONNECT\n"
    "  --version          show the version\n"
    "  --help             show this text\n"
    "\n"
    "It needs a display, the connection manager (brokla) and the registered automation\n"
    "server (zevazodizo-setup registers it).\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "scanner-host: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string connect;
  bool haveConnect = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("%s\n", platform::programVersionLine("scanner-host").c_str());
      return 0;
    }
    std::string value;
    if (arg == "--connect") {
      if (i + 1 >= argc) return Usage("--connect needs the connect string");
      value = argv[++i];
    } else if (arg.rfind("--connect=", 0) == 0) {
      value = arg.substr(10);
    } else if (arg.rfind("-", 0) == 0) {
      return Usage("unknown option '" + arg + "'");
    } else {
      value = arg;
    }
    if (haveConnect) return Usage("only one connect string may be given");
    connect = value;
    haveConnect = true;
  }

  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
    std::fputs("scanner-host: cannot start: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n",
               stderr);
    return 1;
  }
  CStartLogger log;
  CLogger::InitArchiver();
  ShowScannerUI(nullptr, connect.c_str());
  return 0;
}
