#include "ServiceSteps.h"

#include "platform/files.h"

namespace setup {

std::string ShellWord(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_./,:+=@%-") == std::string::npos;
  if (plain) return word;
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'')
      quoted += "'\\''";  // end the quote, an escaped quote, quote again
    else
      quoted += c;
  }
  return quoted + "'";
}

std::string ServiceUnitOf(const std::string& programPath) {
  // <prefix>/bin/program -> <prefix>/lib/systemd/user/brokla.service
  std::string bin = platform::directoryOf(programPath);
  while (bin.size() > 1 && bin.back() == '/') bin.pop_back();
  return platform::directoryOf(bin) + "lib/systemd/user/brokla.service";
}

std::vector<std::string> ServiceStartSteps(const std::string& unit) {
  return {"systemctl --user link " + ShellWord(unit), "systemctl --user daemon-reload",
          "systemctl --user enable --now brokla", "loginctl enable-linger $USER"};
}

}  // namespace setup
