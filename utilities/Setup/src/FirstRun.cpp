#include "FirstRun.h"

#include <cerrno>
#include <cstdlib>

#include "Jotwell/ProductKeys.h"
#include "platform/com.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/registry.h"

namespace setup {

namespace reg = platform::registry;

namespace {

// The installation's region files: the scanner window and the region editor read them
// from "Path", and the editor changes ChipRegions.ini.
constexpr const char* kRegionFiles[] = {"ChipRegions.ini", "RegionDB.sys"};
// The program that opens the scanner window; its log is named after it.
constexpr const char* kScannerHostProgram = "scanner-host";
// Read from "Path" too: the run report's DTD and style sheet, always installed, and the
// data board's configuration file, which only the simulators component installs.
constexpr const char* kInstalledFiles[] = {"logfile.dtd", "logfile.xsl"};
constexpr const char* kOptionalFiles[] = {"keth.bit"};

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Creates the key when missing and writes a text value; "" or why it failed.
std::string WriteString(const char* key, const char* name, const std::string& value) {
  long rc = reg::createKey(platform::HKEY_LOCAL_MACHINE, key);
  if (rc == reg::kOk) rc = reg::setValue(platform::HKEY_LOCAL_MACHINE, key, name, reg::makeString(value));
  if (rc == reg::kOk) return {};
  return "cannot write the registry value \"" + std::string(name) + "\" of HKEY_LOCAL_MACHINE\\" + key +
         " in " + reg::hivePath(platform::HKEY_LOCAL_MACHINE) + " (error " + std::to_string(rc) +
         "); ZEVA_REGISTRY_DIR chooses another registry folder";
}

// Why `path`, which isRegularFile refused with `error`, is not taken as a file.
std::string NotAFile(const std::string& path, int error) {
  if (error != EINVAL) return path + ": " + platform::systemErrorText(error);
  if (platform::directoryExists(path)) return path + " is a folder, not a file";
  return path + " is not a regular file (a pipe, socket or device)";
}

}  // namespace

std::string DefaultInstallFolder() { return platform::userDataFolder(); }

std::string ServerLibraryOf(const std::string& programPath) {
  return platform::projectLibraryFolder(programPath) + "libMovrak.so";
}

std::string ShareFolderOf(const std::string& programPath) {
  // <prefix>/bin/program -> <prefix>/share/zevazodizo
  const std::string bin = WithoutTrailingSlash(platform::directoryOf(programPath));
  return platform::directoryOf(bin) + "share/zevazodizo";
}

FirstRunResult RunFirstRun(const FirstRunOptions& options) {
  FirstRunResult result;
  const std::string share = WithoutTrailingSlash(options.shareFolder);
  const std::string folder = WithoutTrailingSlash(options.installFolder);
  if (folder.empty() || folder[0] != '/') {
    result.error = "the installation folder must be an absolute path (got \"" + options.installFolder + "\")";
    return result;
  }
  // Nothing is written before the installed files are known to be there.
  for (const char* name :
       {"services", kRegionFiles[0], kRegionFiles[1], kInstalledFiles[0], kInstalledFiles[1]}) {
    if (!platform::fileExists(share + "/" + name)) {
      result.error = "the installation's file " + share + "/" + name +
                     " is missing: run the zevazodizo-setup of a complete installation (cmake --install)";
      return result;
    }
  }
  if (!platform::fileExists(options.serverLibrary)) {
    result.error = "the automation server's library " + options.serverLibrary +
                   " is missing: run the zevazodizo-setup of a complete installation (cmake --install)";
    return result;
  }

  // 1. The installation folder and its region files.
  if (!platform::createDirectories(folder + "/Logs")) {
    const int error = platform::lastError();
    result.error = "cannot create the installation folder " + folder +
                   "/Logs: " + platform::systemErrorText(error) + "; give another one with --path";
    return result;
  }
  result.done.push_back("installation folder " + folder + " (logs in " + folder + "/Logs)");
  std::vector<std::string> files(std::begin(kRegionFiles), std::end(kRegionFiles));
  files.insert(files.end(), std::begin(kInstalledFiles), std::end(kInstalledFiles));
  for (const char* name : kOptionalFiles)
    if (platform::fileExists(share + "/" + name)) files.push_back(name);
  for (const std::string& name : files) {
    const std::string target = folder + "/" + name;
    if (platform::isRegularFile(target)) {
      result.done.push_back("kept " + target);
      continue;
    }
    // Whatever else has the name is the user's: never replaced, but named, so that the
    // user can put it right (a link may point at a share that is not mounted just now).
    if (const int error = platform::lastError(); error != ENOENT) {
      result.error = NotAFile(target, error) + "; move it away, then run zevazodizo-setup again";
      return result;
    }
    if (const auto link = platform::linkTarget(target)) {
      result.error = target + " is a link to " + *link +
                     ", which does not exist; restore that file, or remove the link for the installation's "
                     "copy, then run zevazodizo-setup again";
      return result;
    }
    if (!platform::copyFileNoOverwrite(share + "/" + name, target)) {
      const int error = platform::lastError();
      result.error =
          "cannot copy " + share + "/" + name + " to " + target + ": " + platform::systemErrorText(error);
      return result;
    }
    result.done.push_back("copied " + target);
  }

  // 2. The registry values the programs look for.
  if (std::string e = WriteString(zeva::kProductKey, zeva::kInstallPathValue, folder); !e.empty()) {
    result.error = e;
    return result;
  }
  result.done.push_back(std::string("registry \"") + zeva::kInstallPathValue + "\" = " + folder);
  // Where the scanner window's log is (the host program logs under "Path"), for its Log
  // File Finder.
  const std::string scannerLog = folder + "/Logs/" + kScannerHostProgram;
  const std::string scannerLogging = std::string(zeva::kScannerKey) + "Logging";
  if (std::string e = WriteString(scannerLogging.c_str(), "File", scannerLog); !e.empty()) {
    result.error = e;
    return result;
  }
  result.done.push_back("registry \"File\" = " + scannerLog + " (the scanner window's log)");
  if (std::string e =
          WriteString(platform::net::kServicesDatabaseKey, platform::net::kServicesDatabaseValue, share);
      !e.empty()) {
    result.error = e;
    return result;
  }
  result.done.push_back(std::string("registry \"") + platform::net::kServicesDatabaseValue + "\" = " + share +
                        " (the services file " + share + "/services)");

  // 3. The automation server, registered by its library (the library's absolute path is
  //    what clients load).
  if (const platform::com::HRESULT hr = platform::com::RegisterLibrary(options.serverLibrary);
      platform::com::Failed(hr)) {
    const auto info = platform::com::GetErrorInfo();
    result.error = "cannot register the automation server " + options.serverLibrary + ": " +
                   (info ? info->description : platform::com::ErrorMessage(hr)) +
                   "; 'movrak-register' registers it again";
    return result;
  }
  result.done.push_back("registered the automation server \"Movrak.ScanCtrl\" and \"Movrak.ScanLL\" (" +
                        options.serverLibrary + ")");

  result.ok = true;
  return result;
}

}  // namespace setup
