// Several writers, in this process and in a forked child, share one hive file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <latch>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "testsupport/TestEnv.h"

namespace {

namespace reg = platform::registry;
using platform::HKEY_CURRENT_USER;
using ::testing::HasSubstr;

constexpr int kValuesPerWriter = 100;
constexpr std::string_view kKey = "Software\\Tarsel\\Shared";

struct Writer {
  const char* name;
  std::uint32_t id;
};
constexpr Writer kWriters[] = {{"child", 1}, {"threadA", 2}, {"threadB", 3}};

std::string valueName(const Writer& w, int i) { return std::string(w.name) + "-" + std::to_string(i); }
std::uint32_t valueData(const Writer& w, int i) { return w.id << 16 | static_cast<std::uint32_t>(i); }

bool writeAll(const Writer& w) {
  for (int i = 0; i < kValuesPerWriter; ++i)
    if (reg::setValue(HKEY_CURRENT_USER, kKey, valueName(w, i), reg::makeDword(valueData(w, i))) != reg::kOk)
      return false;
  return true;
}

class RegistryProcessesTest : public testsupport::ZevaTest {};

TEST_F(RegistryProcessesTest, ConcurrentWritersInTwoProcessesLoseNothing) {
  ASSERT_EQ(reg::createKey(HKEY_CURRENT_USER, kKey), reg::kOk);
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  // Forked before any thread starts, so the child inherits no held lock.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(go[1]);
    ::alarm(60);  // a stuck child ends rather than hangs the test
    pollfd p{go[0], POLLIN, 0};
    char c = 0;
    const bool started = ::poll(&p, 1, 30000) == 1 && ::read(go[0], &c, 1) == 1;
    ::_exit(started && writeAll(kWriters[0]) ? 0 : 1);
  }
  ::close(go[0]);

  std::latch start(4);
  std::atomic<bool> writing{true};
  std::atomic<bool> okA{false}, okB{false};
  std::atomic<int> readerFaults{0};
  std::thread a([&] {
    start.arrive_and_wait();
    okA = writeAll(kWriters[1]);
  });
  std::thread b([&] {
    start.arrive_and_wait();
    okB = writeAll(kWriters[2]);
  });
  // A reader alongside never sees a half-written file or a value go missing.
  std::thread reader([&] {
    start.arrive_and_wait();
    std::size_t seen = 0;
    std::vector<std::pair<std::string, reg::Value>> values;
    while (writing) {
      if (reg::enumValues(HKEY_CURRENT_USER, kKey, values) != reg::kOk || values.size() < seen)
        ++readerFaults;
      seen = values.size();
    }
  });
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  start.arrive_and_wait();
  a.join();
  b.join();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  writing = false;
  reader.join();
  ::close(go[1]);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);
  EXPECT_EQ(readerFaults, 0);

  std::vector<std::pair<std::string, reg::Value>> values;
  ASSERT_EQ(reg::enumValues(HKEY_CURRENT_USER, kKey, values), reg::kOk);
  std::map<std::string, std::vector<std::uint8_t>> byName;
  for (const auto& [name, value] : values) byName[name] = value.data;
  EXPECT_EQ(byName.size(), std::size(kWriters) * kValuesPerWriter);
  const std::string file = testsupport::readFile(reg::hivePath(HKEY_CURRENT_USER));
  for (const auto& w : kWriters) {
    for (int i = 0; i < kValuesPerWriter; ++i) {
      const std::string name = valueName(w, i);
      EXPECT_EQ(byName[name], reg::makeDword(valueData(w, i)).data) << name;
      char line[64];
      std::snprintf(line, sizeof line, "\"%s\"=dword:%08x\n", name.c_str(), valueData(w, i));
      EXPECT_THAT(file, HasSubstr(line));
    }
  }
}

}  // namespace
