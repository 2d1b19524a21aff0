#pragma once
// What the benchmarks that start the system's programs share: a scratch folder of their
// own holding the pipes' runtime folder and the registry (loopback only, always), and
// positive counts taken from the environment.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

// A fresh folder under $TMPDIR (or /tmp) named after `name`; exits when it cannot be made.
inline std::string MakeSystemFolder(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
  if (!::mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  ::setenv("ZEVA_RUNTIME_DIR", (templ + "/run").c_str(), 1);
  ::setenv("ZEVA_REGISTRY_DIR", (templ + "/registry").c_str(), 1);
  ::setenv("ZEVA_NET_LOOPBACK_ONLY", "1", 1);
  ::mkdir((templ + "/run").c_str(), 0700);  // the pipes' folder is for this user only
  return templ;
}

// The environment variable's value when it is a positive number, else `fallback`.
inline long PositiveFromEnv(const char* variable, long fallback) {
  if (const char* s = std::getenv(variable)) {
    const long n = std::atol(s);
    if (n > 0) return n;
  }
  return fallback;
}

}  // namespace bench
