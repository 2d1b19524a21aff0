// The FLASH seed file is read as the product reads its stored files: what is not a
// regular file, or is too large, is refused at once with the reason, and the program
// says so and ends instead of waiting or growing without end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "platform/process.h"
#include "testsupport/TestEnv.h"
#include "zevasim/DeviceFamilies.h"

namespace {

using testing::HasSubstr;

class FlashFileTest : public testsupport::ZevaTest {
 protected:
  struct Hostile {
    const char* name;
    std::function<void(const std::string&)> make;
    std::string reason;  // what the error says after the path
  };
  std::vector<Hostile> hostileFiles() const {
    constexpr auto kMax = zevasim::FlashFamily::kMaxFlashFileBytes;
    return {
        {"fifo", [](const std::string& p) { testsupport::makeFifo(p); },
         " is not a regular file (a pipe, socket or device); it is not read"},
        {"zero", [](const std::string& p) { ASSERT_EQ(::symlink("/dev/zero", p.c_str()), 0); },
         " is not a regular file (a pipe, socket or device); it is not read"},
        {"folder", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); },
         " is a folder, not a file"},
        {"large", [](const std::string& p) { testsupport::writeFile(p, std::string(kMax + 1, 'K')); },
         " is larger than " + std::to_string(kMax) + " bytes; it is not read"},
    };
  }
};

TEST_F(FlashFileTest, SeedLinesSetTheirKeys) {
  const std::string path = tempDir() + "/flash.txt";
  testsupport::writeFile(path, "# comment\r\n  Model  ZS-X two words\r\n\nEmptyKey\nPMT1 7000\n");
  zevasim::FlashFamily flash;
  std::string error;
  ASSERT_TRUE(flash.loadFile(path, &error)) << error;
  EXPECT_EQ(flash.get("Model"), "ZS-X two words");
  EXPECT_EQ(flash.get("EmptyKey"), "");
  EXPECT_EQ(flash.get("PMT1"), "7000");

  // Exactly at the bound is still read.
  testsupport::writeFile(path, "Big " + std::string(zevasim::FlashFamily::kMaxFlashFileBytes - 4, 'v'));
  EXPECT_TRUE(flash.loadFile(path, &error)) << error;
}

TEST_F(FlashFileTest, WhatIsNoRegularFileOrTooLargeIsRefusedWithTheReason) {
  for (const Hostile& c : hostileFiles()) {
    SCOPED_TRACE(c.name);
    const std::string path = tempDir() + "/" + c.name;
    c.make(path);
    zevasim::FlashFamily flash;
    bool loaded = true;
    std::string error;
    ASSERT_TRUE(testsupport::endsWithoutAWriter([&] { loaded = flash.loadFile(path, &error); }, path));
    EXPECT_FALSE(loaded);
    EXPECT_EQ(error, path + c.reason);
    EXPECT_EQ(flash.get("Model"), "ZS-C") << "the seeded keys stay as they were";
  }
}

TEST_F(FlashFileTest, TheProgramEndsAtOnceAndSaysWhy) {
  for (const Hostile& c : hostileFiles()) {
    SCOPED_TRACE(c.name);
    const std::string path = tempDir() + "/program-" + c.name;
    c.make(path);
    const std::string err = tempDir() + "/" + c.name + ".err";
    auto sim = platform::process::Child::spawn({ZEVASIM_PROGRAM, "--port", "0", "--flash", path},
                                               {tempDir(), tempDir() + "/" + c.name + ".out", err});
    ASSERT_GT(sim.pid(), 0);
    // The destructor kills a simulator still running at the time-out.
    EXPECT_EQ(sim.wait(std::chrono::seconds(10)), 2);
    EXPECT_THAT(testsupport::readFile(err),
                HasSubstr("zevasim: cannot read the FLASH file '" + path + "': " + path + c.reason));
  }
}

}  // namespace
