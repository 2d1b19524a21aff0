#pragma once
// The connect string that names an instrument: "a.b.c.d_port", as the automation
// interface's Connect takes it and the link matches it against the manager's list.
#include <optional>
#include <string>
#include <string_view>

#include "link/LanTypes.h"

// The numbers of a connect string as written, before any range check.
struct ConnectTarget {
  long octets[4] = {};
  long port = 0;
};

// "a.b.c.d_port", decimal numbers and nothing else; nullopt when it is not of that form.
std::optional<ConnectTarget> parseConnectString(std::string_view s);

// Whether a connect string "a.b.c.d_port" names this instrument (address and port
// compared exactly).
bool ConnectStringNames(const char* connectString, const CLanInstrEntry& entry);
// The connect string that names an instrument: "a.b.c.d_port".
std::string ConnectStringOf(const CLanInstrEntry& entry);
