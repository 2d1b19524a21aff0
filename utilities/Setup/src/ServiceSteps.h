#pragma once
// How the user starts the installed connection manager after the first run: the commands,
// with the installation's real paths, ready to paste into a shell.
#include <string>
#include <vector>

namespace setup {

// `word` as the shell reads it back as one word: as it is when it holds nothing the shell
// treats specially, else in single quotes.
std::string ShellWord(const std::string& word);

// The installation's user unit (<prefix>/lib/systemd/user/brokla.service) of the program
// at `programPath` (<prefix>/bin/...).
std::string ServiceUnitOf(const std::string& programPath);

// The commands that start the connection manager as a systemd user service from the
// installed `unit`: link it (systemd looks for units only in some prefixes, not /opt),
// reload, enable and start it, and keep it running without a session.
std::vector<std::string> ServiceStartSteps(const std::string& unit);

}  // namespace setup
