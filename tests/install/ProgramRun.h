#pragma once
// Runs an installed or built program the way a user would, and waits (bounded) for what
// it leaves behind.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace install_test {

using namespace std::chrono_literals;

struct RunResult {
  std::optional<int> exitCode;  // nullopt: it did not end within the time-out (it was killed)
  std::string out;
  std::string err;
};

// Runs `argv` in `folder` (its stdout and stderr kept in files there) until it ends.
RunResult run(const std::vector<std::string>& argv, const std::string& folder,
              std::chrono::milliseconds timeout = 60s);

// Until the file exists and holds `needle` ("" : exists at all); bounded.
bool waitForText(const std::string& path, const std::string& needle, std::chrono::milliseconds timeout = 20s);

// Services-file lines for the connection manager's three ports, each a loopback port free
// at the time of the call.
std::string servicesWithFreePorts();

// Sets or (nullptr) removes an environment variable for this process and the programs it
// starts, and puts the old value back when it goes.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace install_test
