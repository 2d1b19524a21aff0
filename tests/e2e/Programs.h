#pragma once
// The system's programs run as processes of their own for whole-system tests: the
// connection manager `brokla` with its own services file (free loopback ports), log and
// registry, and the simulated instrument `zevasim` on a loopback address of its own that
// announces itself to it. Each keeps its output in the test's folder; every wait is
// bounded, and a program still running when its object goes is killed.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace e2e_test {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kProgramWait = 20s;

// Until the file holds `needle` at least `n` times (bounded; the file is another
// process's, so it is looked at again and again).
bool WaitForText(const std::string& path, const std::string& needle, int n = 1,
                 std::chrono::milliseconds timeout = kProgramWait);
int CountText(const std::string& path, const std::string& needle);

// One program started by the test; stdout and stderr go to "<folder>/<name>.out|.err".
// The files are appended to, so that a program started again under the same name keeps
// what the one before it said; each Program reads only what its own process wrote.
class Program {
 public:
  Program(std::string name, const std::vector<std::string>& argv, const std::string& folder);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool Started() const { return m_Child.pid() > 0; }
  bool Running() { return m_Child.running(); }
  std::string Out() const;
  std::string Err() const;
  const std::string& OutPath() const { return m_Out; }
  // Until its stdout holds `needle` (false when it ended or the time-out passed first).
  bool WaitForOutput(const std::string& needle, int n = 1, std::chrono::milliseconds timeout = kProgramWait);
  // Until it ends by itself: its exit code (nullopt: still running at the time-out).
  std::optional<int> Wait(std::chrono::milliseconds timeout = kProgramWait);
  // SIGTERM and the exit code (nullopt: it did not end; it is then killed).
  std::optional<int> Stop(std::chrono::milliseconds timeout = kProgramWait);
  // SIGKILL, as when the machine it runs on loses power; waits for its end.
  void Kill();

 private:
  std::string m_Name, m_Out, m_Err;
  std::size_t m_OutStart = 0, m_ErrStart = 0;  // sizes of the files before this process
  platform::process::Child m_Child;
};

// `brokla` with a services file of free loopback ports in `folder` (ZEVA_SERVICES_FILE is
// set for this process and the programs it starts later), its installation folder (and
// so its log) in `installDir`, and its identify broadcast sent where nobody listens.
class Daemon {
 public:
  Daemon(const std::string& program, const std::string& folder, const std::string& installDir);
  // Started, serving, and the log says so.
  bool Ready();
  std::string LogPath() const { return m_Log; }
  std::string Log() const;
  Program& program() { return m_Program; }

 private:
  static std::string Prepare(const std::string& folder, const std::string& installDir);
  std::string m_Log;
  Program m_Program;
};

// `zevasim` on `address`, announced to the daemon on 127.0.0.1 and serving the TCP port
// the daemon hands out (the one it lists to applications), with `extra` options
// (slides, FLASH file, faults).
class Instrument {
 public:
  // `port` 0: the one the daemon hands out; else that port (an instrument that comes back
  // where it was).
  Instrument(const std::string& program, const std::string& folder, const std::string& address,
             const std::string& serial, const std::vector<std::string>& extra, std::uint16_t port = 0);
  // Serving and announced; its TCP port then.
  std::optional<std::uint16_t> WaitServing();
  Program& program() { return m_Program; }

 private:
  Program m_Program;
};

// Sets an environment variable for this process and the programs it starts; the old
// value comes back when it goes.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string m_Name;
  std::optional<std::string> m_Old;
};

// "KEY VALUE" lines of a FLASH file for zevasim.
void WriteFlashFile(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values);

}  // namespace e2e_test
