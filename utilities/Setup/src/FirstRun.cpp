#include "FirstRun.h"

#include <cstdlib>

#include "Jotwell/ProductKeys.h"
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

}  // namespace

std::string DefaultInstallFolder() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
    return WithoutTrailingSlash(data) + "/zevazodizo";
  if (const char* home = std::getenv("HOME"); home && *home)
    return WithoutTrailingSlash(home) + "/.local/share/zevazodizo";
  return {};
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
  for (const char* name : {"services", kRegionFiles[0], kRegionFiles[1]}) {
    if (!platform::fileExists(share + "/" + name)) {
      result.error = "the installation's file " + share + "/" + name +
                     " is missing: run the zevazodizo-setup of a complete installation (cmake --install)";
      return result;
    }
  }

  // 1. The installation folder and its region files.
  if (!platform::createDirectories(folder + "/Logs")) {
    const int error = platform::lastError();
    result.error = "cannot create the installation folder " + folder +
                   "/Logs: " + platform::systemErrorText(error) + "; give another one with --path";
    return result;
  }
  result.done.push_back("installation folder " + folder + " (logs in " + folder + "/Logs)");
  for (const char* name : kRegionFiles) {
    const std::string target = folder + "/" + name;
    if (platform::fileExists(target)) {
      result.done.push_back("kept " + target);
      continue;
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

  // 3. Registering the automation server (the "Movrak.ScanCtrl" class and its library's
  //    path under HKEY_CLASSES_ROOT) is added here, as the last step, once the library
  //    registers itself.

  result.ok = true;
  return result;
}

}  // namespace setup
