#pragma once
// Each test gets its own registry and folders, a log file without stamps whose text it can
// read, an installation folder registered as "Path", and message boxes that are recorded
// instead of shown.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "RegionDbBuilder.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "testsupport/TestEnv.h"

class ConfigTest : public testsupport::ZevaTest {
 protected:
  ConfigTest() {
    CRegEdit lm(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo");
    lm.WriteInt("EnableTimestamp", 0u);
    lm.WriteInt("EnableThreadIdStamp", 0u);
    lm.WriteInt("DebugLevel", 1u);
    CLogger::SetRegKey(nullptr);
    CLogger::SetDebugLogging(true);
    logPrefix_ = tempDir() + "/test";
    CLogger::Open(logPrefix_.c_str());
    install_ = tempDir() + "/install";
    EXPECT_TRUE(platform::createDirectories(install_));
    lm.WriteString("Path", install_);
    previousHook_ = platform::ui::setMessageBoxHook(
        [this](const std::string& text, const std::string& caption, unsigned type) {
          boxes_.push_back(text);
          captions_.push_back(caption);
          types_.push_back(type);
          return platform::ui::defaultAnswer(type);
        });
  }
  ~ConfigTest() override {
    platform::ui::setMessageBoxHook(previousHook_);
    CLogger::Close();
  }

  // Everything logged so far.
  std::string log() const { return testsupport::readFile(logPrefix_ + "0.log"); }
  bool logged(const std::string& line) const { return log().find(line + "\r\n") != std::string::npos; }
  std::size_t loggedCount(const std::string& line) const {
    const std::string text = log();
    std::size_t n = 0;
    for (auto at = text.find(line + "\r\n"); at != std::string::npos; at = text.find(line + "\r\n", at + 1))
      ++n;
    return n;
  }

  const std::string& install() const { return install_; }
  void writeDb(const std::string& bytes) const { testsupport::writeFile(install_ + "/RegionDB.sys", bytes); }
  void writeSampleDb() const { writeDb(regiondb::version2(regiondb::sampleModels())); }

  std::vector<std::string> boxes_, captions_;
  std::vector<unsigned> types_;

 private:
  std::string logPrefix_, install_;
  platform::ui::MessageBoxHook previousHook_;
};
