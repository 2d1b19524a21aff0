// zevazodizo-setup: the first run of an installation for the user who runs it.
#include <cstdio>
#include <string>

#include "FirstRun.h"
#include "platform/dynlib.h"
#include "platform/files.h"

namespace {

const char* const kUsage =
    "Usage: zevazodizo-setup [--path FOLDER] [--version | --help]\n"
    "Sets up this installation for the user who runs it; run it once per user after\n"
    "installing, and again after moving the installation (it keeps the region files the\n"
    "user already has):\n"
    "  - the installation folder (logs, data, the region files ChipRegions.ini and\n"
    "    RegionDB.sys, copied from the installation when missing), registered as the\n"
    "    registry value \"Path\" (HKEY_LOCAL_MACHINE\\Software\\Tarsel\\ZevazOdizo);\n"
    "  - the installation's services file (the connection manager's ports), registered as\n"
    "    \"DataBasePath\" (HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters).\n"
    "The registry is in $ZEVA_REGISTRY_DIR (default ~/.config/zevazodizo/registry).\n"
    "\n"
    "  --path FOLDER  the installation folder (default $XDG_DATA_HOME/zevazodizo, else\n"
    "                 ~/.local/share/zevazodizo); the brokla service may write only below\n"
    "                 the home folder\n"
    "  --version      show the version\n"
    "  --help         show this text\n";

}  // namespace

int main(int argc, char** argv) {
  setup::FirstRunOptions options;
  options.installFolder = setup::DefaultInstallFolder();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      const auto v = platform::moduleVersion(platform::mainProgramModule());
      std::printf("zevazodizo-setup %u.%u.%u.%u\n", v ? v->major : 0u, v ? v->minor : 0u, v ? v->third : 0u,
                  v ? v->fourth : 0u);
      return 0;
    }
    if (arg == "--path" && i + 1 < argc) {
      options.installFolder = argv[++i];
      continue;
    }
    std::fprintf(stderr, "zevazodizo-setup: unknown option '%s'\n%s", arg.c_str(), kUsage);
    return 2;
  }
  if (options.installFolder.empty()) {
    std::fputs(
        "zevazodizo-setup: cannot choose the installation folder: HOME is not set; give one with --path\n",
        stderr);
    return 1;
  }
  options.shareFolder = setup::ShareFolderOf(platform::executablePath());

  const setup::FirstRunResult result = setup::RunFirstRun(options);
  for (const std::string& line : result.done) std::printf("zevazodizo-setup: %s\n", line.c_str());
  if (!result.ok) {
    std::fprintf(stderr, "zevazodizo-setup: stopped: %s\nzevazodizo-setup: exit code 1\n",
                 result.error.c_str());
    return 1;
  }
  std::puts(
      "zevazodizo-setup: done; start the connection manager with 'systemctl --user enable --now brokla'");
  return 0;
}
