// quillmark: the region definition editor. Its only argument is the scanner model.
// --help and --version answer without a display; whatever keeps it from starting is said
// on stderr with the setting that fixes it.
#include <wx/utils.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "App.h"
#include "platform/dynlib.h"
#include "platform/localpipe.h"

wxIMPLEMENT_APP_NO_MAIN(quillmark::QuillmarkApp);

namespace {

const char* const kUsage =
    "Usage: quillmark [MODEL]\n"
    "The region definition editor: keeps the custom scan regions of the scanner in\n"
    "ChipRegions.ini and checks them against the limits of the scanner model in\n"
    "RegionDB.sys. MODEL (the whole command line) is the scanner model; without one the\n"
    "editor asks when the region database knows several.\n"
    "\n"
    "  --version  show the version\n"
    "  --help     show this text\n"
    "\n"
    "The region files are in the installation folder, the registry value \"Path\" of\n"
    "HKEY_LOCAL_MACHINE\\Software\\Tarsel\\Zevazodizo (written by zevazodizo-setup), else beside\n"
    "the program. It needs a display, and the runtime folder ($ZEVA_RUNTIME_DIR, else\n"
    "$XDG_RUNTIME_DIR/zevazodizo) for its one-instance lock.\n";

int CannotStart(const std::string& cause, const std::string& fix) {
  std::fprintf(stderr, "quillmark: cannot start: %s\n", cause.c_str());
  if (!fix.empty()) std::fprintf(stderr, "quillmark: to fix it, %s\n", fix.c_str());
  std::fprintf(stderr, "quillmark: exit code 1\n");
  return 1;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("%s\n", platform::programVersionLine("quillmark").c_str());
    return 0;
  }
  // Checked before the windows start, so that the reason is never lost in a dialog.
  if (Env("DISPLAY").empty() && Env("WAYLAND_DISPLAY").empty())
    return CannotStart("there is no display to show its windows on (DISPLAY is not set)",
                       "run it in the operator's desktop session, or set DISPLAY");
  std::string problem;
  if (platform::localpipe::runtimeDirectory(&problem).empty()) return CannotStart(problem, "");

  // Scroll bars that show only near the pointer hide that the region list has more rows.
  if (!wxGetEnv("GTK_OVERLAY_SCROLLING", nullptr)) wxSetEnv("GTK_OVERLAY_SCROLLING", "0");
  const int rc = wxEntry(argc, argv);
  if (!quillmark::QuillmarkApp::Initialised())
    return CannotStart("the display \"" + Env("DISPLAY") + "\" cannot be opened",
                       "set DISPLAY to the operator's display (and XAUTHORITY to its key)");
  if (const std::string failure = quillmark::QuillmarkApp::StartupFailure(); !failure.empty())
    return CannotStart(
        failure,
        "set the registry value \"Path\" (HKEY_LOCAL_MACHINE\\Software\\Tarsel\\Zevazodizo) to the "
        "folder holding ChipRegions.ini and RegionDB.sys - 'zevazodizo-setup' does this - or put "
        "the files beside the program");
  return rc;
}
