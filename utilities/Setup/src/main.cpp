// zevazodizo-setup: the first run of an installation for the user who runs it.
#include <cstdio>
#include <string>

#include "FirstRun.h"
#include "ServiceSteps.h"
#include "platform/dynlib.h"
#include "platform/files.h"

namespace {

const char* const kUsage =
    "Usage: zevazodizo-setup [--path FOLDER] [--version | --help]\n"
    "Sets up this installation for the user who runs it; run it once per user after\n"
    "installing, and again after moving the installation (it keeps the region files the\n"
    "user already has):\n"
    "  - the installation folder (logs, data, profiles, and the files every program reads\n"
    "    there: the region files ChipRegions.ini and RegionDB.sys, the run report's\n"
    "    logfile.dtd and logfile.xsl, and the data board's keth.bit when installed; each\n"
    "    copied from the installation when missing), registered as the registry value\n"
    "    \"Path\" (HKEY_LOCAL_MACHINE\\Software\\Tarsel\\ZevazOdizo);\n"
    "  - the installation's services file (the connection manager's ports), registered as\n"
    "    \"DataBasePath\" (HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters);\n"
    "  - the automation server \"Movrak.ScanCtrl\" and \"Movrak.ScanLL\" (the installation's\n"
    "    lib/zevazodizo/libMovrak.so), registered for this user.\n"
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
      std::printf("%s\n", platform::programVersionLine("zevazodizo-setup").c_str());
      return 0;
    }
    if (arg == "--path") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zevazodizo-setup: --path needs a folder (--path FOLDER)\n%s", kUsage);
        return 2;
      }
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
  options.serverLibrary = setup::ServerLibraryOf(platform::executablePath());

  const setup::FirstRunResult result = setup::RunFirstRun(options);
  for (const std::string& line : result.done) std::printf("zevazodizo-setup: %s\n", line.c_str());
  if (!result.ok) {
    std::fprintf(stderr, "zevazodizo-setup: stopped: %s\nzevazodizo-setup: exit code 1\n",
                 result.error.c_str());
    return 1;
  }
  // The steps name this installation's own files, so that they work wherever it is.
  const std::string unit = setup::ServiceUnitOf(platform::executablePath());
  const std::string brokla = setup::ShellWord(platform::directoryOf(platform::executablePath()) + "brokla");
  if (!platform::fileExists(unit)) {
    std::printf("zevazodizo-setup: done; start the connection manager with %s\n", brokla.c_str());
    return 0;
  }
  std::puts(
      "zevazodizo-setup: done; start the connection manager as a systemd user service, from your own "
      "session (a desktop or SSH login, not su or sudo):");
  for (const std::string& step : setup::ServiceStartSteps(unit)) std::printf("  %s\n", step.c_str());
  std::printf("zevazodizo-setup: without systemd, run %s in a terminal instead\n", brokla.c_str());
  return 0;
}
