#pragma once
// The first run of an installation for one user: the settings every program of the
// installation looks for. The installation folder ("Path") is the user's own, since the
// programs write there (logs, data, the edited region files); the installed files stay
// read-only where `cmake --install` put them.
#include <string>
#include <vector>

namespace setup {

struct FirstRunOptions {
  std::string shareFolder;    // the installation's shared files (<prefix>/share/zevazodizo)
  std::string installFolder;  // becomes "Path"
  std::string serverLibrary;  // the automation server (<prefix>/lib/zevazodizo/libMovrak.so)
};

struct FirstRunResult {
  bool ok = false;
  std::vector<std::string> done;  // what was set up, one line each, for the user
  std::string error;              // why it stopped, in words, when !ok
};

// The user's installation folder unless one is given: $XDG_DATA_HOME/zevazodizo, else
// ~/.local/share/zevazodizo; "" when neither HOME nor XDG_DATA_HOME is set. A relative
// XDG_DATA_HOME is ignored, as the convention that defines it says.
std::string DefaultInstallFolder();

// The shared files of the installation that holds `programPath` (<prefix>/bin/...).
std::string ShareFolderOf(const std::string& programPath);
// The automation server's library of the installation (or build tree) that holds
// `programPath`.
std::string ServerLibraryOf(const std::string& programPath);

// Sets up the user's installation; safe to run again (files the user already has, edited
// or not, are kept; where one is expected, something that is no regular file, or a link
// to a file that does not exist, stops the run with what was found). Steps, in order:
//  1. the installation folder with its "Logs" folder, and the files every program reads
//     there, copied from the shared files when missing: the region files (ChipRegions.ini,
//     RegionDB.sys), the run report's logfile.dtd and logfile.xsl, and the data board's
//     configuration file keth.bit when the installation has one;
//  2. the registry: "Path" (HKEY_LOCAL_MACHINE\Software\Tarsel\ZevazOdizo) = that folder,
//     "File" (...\Scanner\Logging) = the scanner host's log in its "Logs" folder, and
//     "DataBasePath" (the net layer's services-file folder) = the shared files;
//  3. the automation server's classes ("Movrak.ScanCtrl", "Movrak.ScanLL"), registered by
//     the server library itself.
FirstRunResult RunFirstRun(const FirstRunOptions& options);

}  // namespace setup
