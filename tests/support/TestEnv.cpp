#include "testsupport/TestEnv.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("ZEVA_TEST_TMP");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zeva-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

struct ZevaTest::Saved {
  std::map<std::string, std::optional<std::string>> vars;
};

ZevaTest::ZevaTest() : saved_(std::make_unique<Saved>()) {
  const std::pair<const char*, std::string> vars[] = {{"ZEVA_REGISTRY_DIR", registry_.path()},
                                                      {"ZEVA_RUNTIME_DIR", runtime_.path()},
                                                      {"ZEVA_DATA_DIR", data_.path()},
                                                      {"TMPDIR", temp_.path()}};
  for (const auto& [name, value] : vars) {
    const char* old = std::getenv(name);
    saved_->vars[name] = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv(name, value.c_str(), 1);
  }
}

ZevaTest::~ZevaTest() {
  for (const auto& [name, value] : saved_->vars) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

}  // namespace testsupport
