#include "DeviceFixture.h"

#include <sstream>

#include "Jotwell/RegEdit.h"
#include "platform/files.h"

DeviceTest::DeviceTest() : install(tempDir() + "/install"), devices(zevasim::addDeviceFamilies(sim)) {
  EXPECT_TRUE(platform::createDirectories(install));
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo").WriteString("Path", install);
}

DeviceTest::~DeviceTest() { releaseReplies(); }

void DeviceTest::holdReplies(const std::string& word, zevasim::Reply reply) {
  {
    std::lock_guard lock(holdMutex_);
    released_ = false;
  }
  sim.setHandler(word, [this, reply](const zevasim::Request&) {
    std::unique_lock lock(holdMutex_);
    holdChanged_.wait(lock, [this] { return released_; });
    return reply;
  });
}

void DeviceTest::releaseReplies() {
  {
    std::lock_guard lock(holdMutex_);
    released_ = true;
  }
  holdChanged_.notify_all();
}

void DeviceTest::connect() {
  ASSERT_EQ(scanner.GetComm().OpenDevice(connectString().c_str()), 0);
  forget();
}

void DeviceTest::forget() { mark_ = sim.lines().size(); }

std::vector<std::string> DeviceTest::lines() const {
  const auto all = sim.lines();
  return {all.begin() + static_cast<long>(std::min(mark_, all.size())), all.end()};
}

std::string DeviceTest::lastLine() const {
  const auto all = sim.lines();
  return all.size() > mark_ ? all.back() : std::string();
}

int DeviceTest::lastTimeoutSec() const {
  const auto requests = sim.requests();
  return requests.empty() ? -1 : requests.back().timeoutSec;
}

std::string DeviceTest::lastPayload() const {
  const auto requests = sim.requests();
  return requests.empty() ? std::string()
                          : std::string(requests.back().payload.begin(), requests.back().payload.end());
}

int DeviceTest::thrown(const std::function<void()>& f) {
  try {
    f();
  } catch (int e) {
    return e;
  }
  return 0;
}

int DeviceTest::logCount(const std::string& text) const {
  std::istringstream in(log());
  int n = 0;
  for (std::string line; std::getline(in, line);)
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

std::string DeviceTest::logLine(const std::string& text) const {
  std::istringstream in(log());
  for (std::string line; std::getline(in, line);)
    if (line.find(text) != std::string::npos) return line;
  return {};
}
