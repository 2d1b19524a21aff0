#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "ConfigFixture.h"
#include "config/ScanRegionInfoMap.h"
#include "platform/profile.h"
#include "platform/window.h"

namespace {

using namespace std::chrono_literals;

// Records the messages it gets; posts can be awaited with a bound.
class RecordingWindow : public platform::Window {
 public:
  struct Message {
    unsigned message;
    std::uintptr_t wParam;
    bool operator==(const Message&) const = default;
  };
  bool post(unsigned message, std::uintptr_t wParam, std::intptr_t) override {
    std::lock_guard lock(mutex_);
    posts_.push_back({message, wParam});
    cv_.notify_all();
    return true;
  }
  bool postText(unsigned message, std::uintptr_t wParam, std::string) override {
    return post(message, wParam, 0);
  }
  std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t) override {
    std::lock_guard lock(mutex_);
    sends_.push_back({message, wParam});
    return 0;
  }
  bool waitForPosts(std::size_t n) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, 20s, [&] { return posts_.size() >= n; });
  }
  std::vector<Message> posts() {
    std::lock_guard lock(mutex_);
    return posts_;
  }
  std::vector<Message> sends() {
    std::lock_guard lock(mutex_);
    return sends_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Message> posts_, sends_;
};

const char* const kRegions =
    "[ScanRegions]\nNumRegions=1\n"
    "[TarselDefault]\nRegion=Region1\nX=2000\nY=500\nAFX=500\nAFY=500\n"
    "[Region1]\nName=Full Slide\nType=TarselDefault\nX=0\nY=0\nW=61000\nH=21600\n";

class MonitorTest : public ConfigTest {
 protected:
  MonitorTest() : path_(tempDir() + "/regions/ChipRegions.ini") {
    writeSampleDb();
    EXPECT_TRUE(platform::createDirectories(tempDir() + "/regions"));
    testsupport::writeFile(path_, kRegions);
  }
  // What the region editor does: one rewrite of the file.
  void rename(const std::string& name) {
    ASSERT_TRUE(platform::profile::writeString(path_, "Region1", "Name", name));
  }

  const RecordingWindow::Message changed{kRegionMapMessage, kRegionFileChanged};
  const RecordingWindow::Message reloaded{kRegionMapMessage, kRegionMapReloaded};
  std::string path_;
  RecordingWindow window_;
};

TEST_F(MonitorTest, EachSaveIsReportedOnceAndReloadedOnTheCallersThread) {
  CScanRegionInfoMap map;
  ASSERT_EQ(map.LoadScanRegions(path_.c_str(), 0), 1);
  EXPECT_FALSE(map.ReloadIfChanged());  // right after a load
  ASSERT_TRUE(map.StartMonitor(&window_));

  rename("First");
  ASSERT_TRUE(window_.waitForPosts(1));
  EXPECT_EQ(map.Lookup("Full Slide")->Name, "Full Slide");  // the thread itself reloads nothing
  EXPECT_TRUE(map.ReloadIfChanged());
  EXPECT_NE(map.Lookup("First"), nullptr);
  EXPECT_EQ(window_.sends(), std::vector{reloaded});
  EXPECT_FALSE(map.ReloadIfChanged());

  // Another file of the folder wakes the thread but is no change of the region file; the
  // next save is. Events are taken in order, so two posts in all means none for the rest.
  testsupport::writeFile(tempDir() + "/regions/other.txt", "x");
  rename("Second");
  ASSERT_TRUE(window_.waitForPosts(2));
  EXPECT_TRUE(map.StopMonitor());
  EXPECT_EQ(window_.posts(), (std::vector{changed, changed}));
  EXPECT_TRUE(map.ReloadIfChanged());
  EXPECT_NE(map.Lookup("Second"), nullptr);
  EXPECT_TRUE(logged("DEBUG(1): ChipRegion file monitoring started..."));
  EXPECT_TRUE(logged("DEBUG(1): Try to stop ChipRegion file monitoring..."));
  EXPECT_TRUE(logged("DEBUG(1): ChipRegion file monitoring stopped"));
  EXPECT_TRUE(logged("DEBUG(1): Detected the " + path_ + " file might have been modified"));
}

TEST_F(MonitorTest, AChangeBeforeTheStartIsReportedAtOnce) {
  CScanRegionInfoMap map;
  ASSERT_EQ(map.LoadScanRegions(path_.c_str(), 0), 1);
  rename("Meanwhile");
  ASSERT_TRUE(map.StartMonitor(&window_));
  ASSERT_TRUE(window_.waitForPosts(1));
  EXPECT_TRUE(map.ReloadIfChanged());
  EXPECT_NE(map.Lookup("Meanwhile"), nullptr);
}

TEST_F(MonitorTest, StartsOnlyWithAPathAndEndsWithTheMap) {
  {
    CScanRegionInfoMap map;
    EXPECT_FALSE(map.StartMonitor(&window_));  // nothing loaded: no path
    CFileChangeMonitor monitor;
    EXPECT_FALSE(monitor.Start(&map, "", CFileChangeMonitor::kNotifyLastWrite));
    EXPECT_FALSE(monitor.Start(nullptr, path_.c_str(), CFileChangeMonitor::kNotifyLastWrite));
    EXPECT_FALSE(monitor.Start(&map, (tempDir() + "/none/ChipRegions.ini").c_str()));
    EXPECT_FALSE(monitor.IsRunning());
    EXPECT_TRUE(monitor.Stop());

    ASSERT_EQ(map.LoadScanRegions(path_.c_str(), 0), 1);
    ASSERT_TRUE(map.StartMonitor(&window_));
    EXPECT_FALSE(map.StartMonitor(&window_));  // one watch at a time
  }                                            // the map's end stops and joins the thread
  EXPECT_TRUE(logged("DEBUG(1): ChipRegion file monitoring stopped"));
  EXPECT_TRUE(window_.posts().empty());
}

}  // namespace
