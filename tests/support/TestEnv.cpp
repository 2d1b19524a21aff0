#include "testsupport/TestEnv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
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

void makeFifo(const std::string& path) {
  if (::mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << path;
}

bool endsWithoutAWriter(const std::function<void()>& reader, const std::string& fifo) {
  auto done = std::async(std::launch::async, reader);
  if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
    done.get();
    return true;
  }
  // The reader waits for a writer in open(): give it one that writes nothing.
  for (int i = 0; i < 1000 && done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready;
       ++i) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  }
  return false;
}

bool endsWithoutAReader(const std::function<void()>& writer, const std::string& fifo) {
  auto done = std::async(std::launch::async, writer);
  if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
    done.get();
    return true;
  }
  // The writer waits for a reader in open() or in a full pipe: be one until it ends, so
  // that it never writes into a pipe nobody reads.
  const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  for (int i = 0; i < 1000 && done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready;
       ++i) {
    char drain[4096];
    while (fd >= 0 && ::read(fd, drain, sizeof drain) > 0) {
    }
  }
  if (fd >= 0) ::close(fd);
  return false;
}

}  // namespace testsupport
