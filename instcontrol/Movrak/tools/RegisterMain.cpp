// movrak-register: writes (or removes) the automation server's classes in the registry,
// so that clients can create "Movrak.ScanCtrl" and "Movrak.ScanLL". The library's own
// DllRegisterServer does the writing; it stores the library's absolute path.
#include <cerrno>
#include <cstdio>
#include <string>

#include "Jotwell/Utilities.h"
#include "platform/com.h"
#include "platform/dynlib.h"
#include "platform/files.h"

namespace {

const char* const kUsage =
    "Usage: movrak-register [--unregister] [LIBRARY]\n"
    "Registers the automation server library (default: the installation's\n"
    "lib/zevazodizo/libMovrak.so, or the one beside this program in a build tree)\n"
    "in the registry ($ZEVA_REGISTRY_DIR), or removes its registration.\n"
    "\n"
    "  --unregister  remove the registration\n"
    "  --version     show the version\n"
    "  --help        show this text\n";

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  std::string library;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("%s\n", platform::programVersionLine("movrak-register").c_str());
      return 0;
    }
    if (arg == "--unregister") {
      unregister = true;
    } else if (!arg.empty() && arg[0] != '-' && library.empty()) {
      library = arg;
    } else {
      std::fprintf(stderr, "movrak-register: unexpected argument '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (library.empty()) library = platform::projectLibraryFolder(platform::executablePath()) + "libMovrak.so";
  if (!platform::isRegularFile(library)) {
    const int error = platform::lastError();
    // A bare name is looked for in the current folder only, so say where.
    const std::string where = library.find('/') == std::string::npos
                                  ? " in the current folder " + platform::currentDirectory()
                                  : std::string();
    const std::string what = error == ENOENT   ? "does not exist"
                             : error == EINVAL ? "is not a regular file"
                                               : "cannot be used: " + platform::systemErrorText(error);
    std::fprintf(stderr, "movrak-register: the library %s%s %s\n", library.c_str(), where.c_str(),
                 what.c_str());
    return 1;
  }
  // Loading a bare name would search the library path instead of the file just checked.
  if (library.find('/') == std::string::npos)
    library = platform::joinPath(platform::currentDirectory(), library);
  const platform::com::HRESULT hr = platform::com::RegisterLibrary(library, unregister);
  if (platform::com::Failed(hr)) {
    const auto info = platform::com::GetErrorInfo();
    std::fprintf(stderr, "movrak-register: %s failed: %s (0x%08X)\n",
                 unregister ? "unregistration" : "registration",
                 info ? info->description.c_str() : platform::com::ErrorMessage(hr).c_str(),
                 static_cast<unsigned>(hr));
    return 1;
  }
  std::printf("movrak-register: %s %s\n", unregister ? "unregistered" : "registered", library.c_str());
  return 0;
}
