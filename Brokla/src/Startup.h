#pragma once
// Start-up failures as the user sees them: besides the log line the service writes, the
// cause in words, the setting that fixes it and the exit code go to stderr, so that a
// service that cannot start never ends silently.
#include <optional>
#include <string>

struct StartupFailure {
  std::string cause;
  std::string fix;  // "" when the cause already says it
};

// Writes the failure to stderr: "brokla: cannot start: <cause>", the fix, and the exit
// code with the log file's path.
void ReportStartupFailure(const StartupFailure& failure, int exitCode);

// The first of the service's three services-file entries that cannot be found, with
// where it was looked for.
std::optional<StartupFailure> MissingServiceEntry();

// Why the control socket could not be served (the error of ServiceHost::start).
StartupFailure ControlSocketFailure(int error);

// A fatal error before the service runs: a missing services entry, else what the log's
// last line says, with the fix for the failures known to happen at start.
StartupFailure DiagnoseFatalStartup();

// The last line written to the log file (without its stamps); "" when there is none.
std::string LastLogLine();
