#include "Startup.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

#include "BroklaConfig.h"
#include "Jotwell/Logger.h"
#include "platform/files.h"
#include "platform/localpipe.h"
#include "platform/net.h"
#include "platform/service.h"

namespace net = platform::net;

namespace {

constexpr const char* kServicesFix =
    "run 'zevazodizo-setup' once (it registers the installed services file), or set ZEVA_SERVICES_FILE to a "
    "file with the \"vrelevent\" (udp), \"vrelcntrl\" (udp) and \"vrelinstr\" (tcp) entries";

std::string LogFilePath() {
  CLogger lock;
  return CLogger::m_File.isOpen() ? CLogger::m_File.path() : std::string();
}

// Where a service name was looked for, for the user to check: "in A (ZEVA_SERVICES_FILE)
// or /etc/services".
std::string SearchedPlaces() {
  const char* env = std::getenv("ZEVA_SERVICES_FILE");
  std::string places;
  for (const std::string& file : net::servicesFiles()) {
    places += file + (env && file == env ? " (ZEVA_SERVICES_FILE"
                                         : " (the installation's, registry \"DataBasePath\"");
    places += platform::fileExists(file) ? "), " : ", which does not exist), ";
  }
  if (places.empty())
    return ": ZEVA_SERVICES_FILE is not set, no installation's services file is registered, and "
           "/etc/services "
           "lacks it";
  return " in " + places + "or /etc/services";
}

// Known fatal start-up lines of the log and what fixes them.
std::string FixForLogLine(const std::string& line) {
  if (line.find("can't bind to") != std::string::npos)
    return "another program holds that port: end it, or give the service other ports in its services file "
           "(ZEVA_SERVICES_FILE, or the installation's share/zevazodizo/services)";
  if (line.find("protocol entry") != std::string::npos)
    return "the system's protocols database (/etc/protocols) lacks the entry: install the netbase package";
  return "";
}

}  // namespace

void ReportStartupFailure(const StartupFailure& failure, int exitCode) {
  std::string text = "brokla: cannot start: " + failure.cause + "\n";
  if (!failure.fix.empty()) text += "brokla: to fix it, " + failure.fix + "\n";
  const std::string log = LogFilePath();
  text += "brokla: exit code " + std::to_string(exitCode) + (log.empty() ? "" : "; the log is " + log) + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

std::optional<StartupFailure> MissingServiceEntry() {
  const struct {
    const char* name;
    const char* protocol;
  } entries[] = {
      {brokla::kControlService, "udp"}, {brokla::kEventService, "udp"}, {brokla::kInstrService, "tcp"}};
  for (const auto& e : entries) {
    if (net::servicePort(e.name, e.protocol)) continue;
    return StartupFailure{
        std::string("no port for the service \"") + e.name + "\" (" + e.protocol + ")" + SearchedPlaces(),
        kServicesFix};
  }
  return std::nullopt;
}

StartupFailure ControlSocketFailure(int error) {
  const std::string socket =
      platform::localpipe::pipePath(platform::service::controlPipeName(brokla::kServiceName));
  if (error == EADDRINUSE)
    return {"another brokla serves this user already (its control socket " + socket + " is in use)",
            "stop it first ('systemctl --user stop brokla', or 'brokla --control stop'), or keep using it"};
  std::string problem;
  if (platform::localpipe::runtimeDirectory(&problem).empty() && !problem.empty()) return {problem, ""};
  return {
      "its control socket " + socket + " cannot be served: " + std::strerror(error),
      "check that the runtime folder (ZEVA_RUNTIME_DIR, else $XDG_RUNTIME_DIR/zevazodizo) is this user's and "
      "writable"};
}

namespace {
// "CreatePipe: <errno>": one of its two pipes could not be served.
std::optional<StartupFailure> PipeFailure(const std::string& line) {
  constexpr std::string_view kPrefix = "CreatePipe: ";
  if (line.rfind(kPrefix, 0) != 0) return std::nullopt;
  int code = 0;
  const char* end = line.data() + line.size();
  if (const auto r = std::from_chars(line.data() + kPrefix.size(), end, code);
      r.ec != std::errc() || r.ptr != end)
    return std::nullopt;
  if (code == EEXIST) {
    for (const char* name : {"appmon", "eventmon"}) {
      const std::string path = platform::localpipe::pipePath(name);
      if (!path.empty() && platform::fileExists(path))
        return StartupFailure{
            "its pipe " + path + " cannot be made: a file that is not a pipe has that name (" + line + ")",
            "remove " + path + " (brokla keeps nothing in it), then start brokla again"};
    }
  }
  std::string problem;
  const std::string folder = platform::localpipe::runtimeDirectory(&problem);
  if (folder.empty() && !problem.empty()) return StartupFailure{problem, ""};
  return StartupFailure{
      "its pipes \"appmon\" and \"eventmon\" in the runtime folder " + folder +
          " cannot be made: " + std::strerror(code) + " (" + line + ")",
      "check that the runtime folder (ZEVA_RUNTIME_DIR, else $XDG_RUNTIME_DIR/zevazodizo) is "
      "this user's and writable"};
}
}  // namespace

StartupFailure DiagnoseFatalStartup() {
  if (auto missing = MissingServiceEntry()) return *missing;
  const std::string line = LastLogLine();
  if (line.empty()) return {"a fatal error ended it before it ran", "see its log"};
  if (auto pipe = PipeFailure(line)) return *pipe;
  // A socket error number at the end is said in words too.
  std::string cause = line;
  const auto colon = line.rfind(": ");
  int code = 0;
  const char* end = line.data() + line.size();
  if (colon != std::string::npos) {
    const auto r = std::from_chars(line.data() + colon + 2, end, code);
    if (r.ec == std::errc() && r.ptr == end && code >= 10000) cause += " (" + net::errorText(code) + ")";
  }
  return {cause, FixForLogLine(line)};
}

std::string LastLogLine() {
  const std::string path = LogFilePath();
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  // The tail is enough: a line of the log is short.
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(size > 4096 ? size - 4096 : 0);
  const std::string tail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t end = tail.size();
  while (end > 0 && (tail[end - 1] == '\n' || tail[end - 1] == '\r' || tail[end - 1] == ' ')) --end;
  if (end == 0) return {};
  const std::size_t newline = tail.find_last_of('\n', end - 1);
  const std::size_t from = newline == std::string::npos ? 0 : newline + 1;
  std::string line = tail.substr(from, end - from);
  // Stamps ("[...]") and the tag go; the words stay.
  while (!line.empty() && line[0] == '[') {
    const auto close = line.find(']');
    if (close == std::string::npos) break;
    line.erase(0, close + 1);
  }
  for (const char* tag : {"INFO: ", "STATUS: ", "WARNING: ", "ERROR: "})
    if (line.rfind(tag, 0) == 0) line.erase(0, std::strlen(tag));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n')) line.pop_back();
  return line;
}
