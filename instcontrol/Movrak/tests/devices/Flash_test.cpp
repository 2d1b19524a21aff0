#include "devices/Flash.h"

#include <cstdio>
#include <cstring>
#include <future>

#include "DeviceFixture.h"
#include "devices/DeviceErrors.h"
#include "platform/files.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

class FlashTest : public DeviceTest {
 protected:
  FlashTest() { connect(); }
  CFlash& flash() { return scanner.GetFlash(); }
};

TEST_F(FlashTest, EachOperationSendsItsLineAndReadsItsReply) {
  devices.flash->set("Hex", "0x10");
  devices.flash->set("Octal", "010");
  devices.flash->set("Negative", "-42");
  devices.flash->set("Big", "4000000000");
  const struct {
    const char* what;
    std::function<std::string(CFlash&)> call;
    const char* line;
    const char* result;
  } cases[] = {
      {"string with blanks",
       [](CFlash& f) {
         f.SetString("Gain", "12 A");
         return std::string();
       },
       "setparam Gain 12 A", ""},
      {"long",
       [](CFlash& f) {
         f.SetLong("Offset", -5);
         return std::string();
       },
       "setparam Offset -5", ""},
      {"unsigned",
       [](CFlash& f) {
         f.SetUnsigned("Count", 4000000000UL);
         return std::string();
       },
       "setparam Count 4000000000", ""},
      {"get", [](CFlash& f) { return f.GetString("Gain"); }, "getparam Gain", "12 A"},
      {"hex", [](CFlash& f) { return std::to_string(f.GetLong("Hex")); }, "getparam Hex", "16"},
      {"octal", [](CFlash& f) { return std::to_string(f.GetLong("Octal")); }, "getparam Octal", "8"},
      {"negative", [](CFlash& f) { return std::to_string(f.GetLong("Negative")); }, "getparam Negative",
       "-42"},
      {"unsigned get", [](CFlash& f) { return std::to_string(f.GetUnsigned("Big")); }, "getparam Big",
       "4000000000"},
      {"erase",
       [](CFlash& f) {
         f.EraseKey("Gain");
         return std::string();
       },
       "erasekey Gain", ""},
      {"burn",
       [](CFlash& f) {
         f.Burn();
         return std::string();
       },
       "burnflash", ""},
      {"load",
       [](CFlash& f) {
         f.Load();
         return std::string();
       },
       "loadflash", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(flash()), c.result);
    EXPECT_EQ(lastLine(), c.line);
  }
  EXPECT_TRUE(flash().IsModified());
  EXPECT_EQ(devices.flash->get("Offset"), "-5");
  EXPECT_FALSE(devices.flash->get("Gain").has_value());
  EXPECT_EQ(devices.flash->burns(), 1);
  EXPECT_EQ(devices.flash->loads(), 1);
}

TEST_F(FlashTest, LoadGetsItsOwnTimeOutAndGivesTheChannelsBack) {
  flash().Load();
  EXPECT_EQ(lastTimeoutSec(), 90);
  EXPECT_EQ(scanner.GetComm().GetTimeout(), 10000);
  flash().Burn();
  EXPECT_EQ(lastTimeoutSec(), 10);
}

TEST_F(FlashTest, KeysAndValuesThatWouldBreakTheLineAreRefusedUnsent) {
  const struct {
    const char* what;
    std::function<void(CFlash&)> call;
    int error;
  } cases[] = {
      {"empty key", [](CFlash& f) { f.SetString("", "1"); }, movrak::kErrInvalidFlashKey},
      {"no key", [](CFlash& f) { f.SetString(nullptr, "1"); }, movrak::kErrInvalidFlashKey},
      {"key with blank", [](CFlash& f) { f.SetString("Max Pos", "1"); }, movrak::kErrInvalidFlashKey},
      {"key with line feed", [](CFlash& f) { f.SetString("A\nburnflash", "1"); },
       movrak::kErrInvalidFlashKey},
      {"empty value", [](CFlash& f) { f.SetString("Key", ""); }, movrak::kErrInvalidFlashValue},
      {"no value", [](CFlash& f) { f.SetString("Key", nullptr); }, movrak::kErrInvalidFlashValue},
      {"value with line feed", [](CFlash& f) { f.SetString("Key", "1\nburnflash"); },
       movrak::kErrInvalidFlashValue},
      {"value with tab", [](CFlash& f) { f.SetString("Key", "1\t2"); }, movrak::kErrInvalidFlashValue},
      {"long with bad key", [](CFlash& f) { f.SetLong("a b", 1); }, movrak::kErrInvalidFlashKey},
      {"get empty key", [](CFlash& f) { f.GetString(""); }, movrak::kErrInvalidFlashKey},
      {"get key with blank", [](CFlash& f) { f.GetLong("Max Pos"); }, movrak::kErrInvalidFlashKey},
      {"def with bad key", [](CFlash& f) { f.GetLongDef("x\r", 1); }, movrak::kErrInvalidFlashKey},
      {"erase key with line feed", [](CFlash& f) { f.EraseKey("x\nloadflash"); },
       movrak::kErrInvalidFlashKey},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(thrown([&] { c.call(flash()); }), c.error);
  }
  EXPECT_TRUE(lines().empty());
  EXPECT_FALSE(flash().IsModified());
  EXPECT_THAT(logLine("Setting FLASH key Max Pos returned error: 616"), HasSubstr("ERROR: "));
  EXPECT_THAT(log(), HasSubstr("Setting FLASH key Key returned error: 617"));
}

TEST_F(FlashTest, ControllerErrorsAreTranslatedLoggedAndThrown) {
  sim.injectFault("burnflash", {zevasim::Fault::Kind::errorStatus, 0x0C});
  EXPECT_EQ(thrown([&] { flash().Burn(); }), 4108);
  EXPECT_THAT(logLine("Burning FLASH failed with error: 4108."), HasSubstr("ERROR: "));
  EXPECT_EQ(thrown([&] { flash().EraseKey("Nope"); }), movrak::kErrNoSuchFlashKey);
  EXPECT_THAT(log(), HasSubstr("Erasing FLASH key Nope failed with error: 4109"));
  EXPECT_EQ(thrown([&] { flash().GetString("Nope"); }), movrak::kErrNoSuchFlashKey);
  EXPECT_THAT(logLine("Unable to get FLASH key Nope (errCode=4109)"), HasSubstr("DEBUG(1): "));
  sim.injectFault("setparam", {zevasim::Fault::Kind::errorStatus, 0x05});
  EXPECT_EQ(thrown([&] { flash().SetString("Key", "1"); }), 4101);
  EXPECT_FALSE(flash().IsModified());
  EXPECT_THROW(CFlash(nullptr), int);
}

TEST_F(FlashTest, DefaultsOnlyForAMissingKeyAndLoggedByHowExpectedTheGapIs) {
  const struct {
    std::function<std::string(CFlash&)> call;
    const char* result;
    const char* logged;  // nullptr: no fallback line
    const char* level;
  } cases[] = {
      {[](CFlash& f) { return std::to_string(f.GetLongDef("PMT_MaxDeltaIncrease", 10)); }, "10",
       "No FLASH key for PMT_MaxDeltaIncrease.  Using default value: 10", "INFO: "},
      {[](CFlash& f) { return std::to_string(f.GetLongDef("MinStagePosition", -7)); }, "-7",
       "No FLASH key for MinStagePosition.  Using default value: -7", "WARNING: "},
      {[](CFlash& f) { return f.GetStringDef("LaserCompensationRequired_R", "0"); }, "0",
       "No FLASH key for LaserCompensationRequired_R.  Using default value: 0", "INFO: "},
      {[](CFlash& f) { return std::to_string(f.GetUnsignedDef("LaserCompensationRequired_G", 1)); }, "1",
       "No FLASH key for LaserCompensationRequired_G.  Using default value: 1", "WARNING: "},
      {[](CFlash& f) { return std::to_string(f.GetUnsignedDef("PMTCalibErrorFlag", 3)); }, "3",
       "No FLASH key for PMTCalibErrorFlag.  Using default value: 3", "INFO: "},
      {[](CFlash& f) { return f.GetStringDef("Colour", "blue"); }, "blue",
       "No FLASH key for Colour.  Using default value: blue", "WARNING: "},
      {[](CFlash& f) { return std::to_string(f.GetLongDef("MaxStagePos", 1)); }, "200000", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    EXPECT_EQ(c.call(flash()), c.result);
    if (c.logged) {
      EXPECT_THAT(logLine(c.logged), HasSubstr(c.level));
    }
  }
  EXPECT_EQ(logCount("No FLASH key for MaxStagePos"), 0);

  // Any other failure is no reason for a default.
  sim.injectFault("getparam", {zevasim::Fault::Kind::errorStatus, 0x05});
  EXPECT_EQ(thrown([&] { flash().GetLongDef("PMT_MaxDeltaIncrease", 10); }), 4101);
}

TEST_F(FlashTest, ADefaultGetterPassesATimeOutOn) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  holdReplies("getparam");
  auto result =
      std::async(std::launch::async, [&] { return thrown([&] { flash().GetLongDef("MinStagePos", 0); }); });
  driveUntilReady(*clock, result);
  releaseReplies();
  EXPECT_EQ(result.get(), movrak::kErrTimedOut);
  EXPECT_EQ(logCount("Using default value"), 0);
}

TEST_F(FlashTest, KeyByNumberCopiesAtMostSizeMinusOneAndEndsQuietly) {
  std::string key;
  char value[8];
  std::memset(value, '#', sizeof value);
  EXPECT_EQ(flash().GetKeyByNumber(0, key, value, 5), 1);
  EXPECT_EQ(lastLine(), "getkeynum 0x0");
  EXPECT_EQ(key, "InstSerialNum");
  EXPECT_STREQ(value, "ZS00");
  EXPECT_EQ(value[5], '#');  // nothing beyond the caller's size

  const int past = static_cast<int>(devices.flash->keys().size());
  std::memset(value, '#', sizeof value);
  EXPECT_EQ(flash().GetKeyByNumber(past, key, value, sizeof value), 0);
  char expected[32];
  std::snprintf(expected, sizeof expected, "getkeynum 0x%x", static_cast<unsigned>(past));
  EXPECT_EQ(lastLine(), expected);
  EXPECT_EQ(key, "");
  EXPECT_STREQ(value, "");

  forget();
  EXPECT_EQ(thrown([&] { flash().GetKeyByNumber(0, key, value, 0); }), movrak::kErrBadKeyNumberParam);
  EXPECT_EQ(thrown([&] { flash().GetKeyByNumber(0, key, nullptr, 8); }), movrak::kErrBadKeyNumberParam);
  EXPECT_TRUE(lines().empty());

  sim.setHandler("getkeynum", [](const zevasim::Request&) { return zevasim::Reply::ok("NoBlankHere"); });
  EXPECT_EQ(thrown([&] { flash().GetKeyByNumber(2, key, value, sizeof value); }),
            movrak::kErrBadKeyNumString);
  EXPECT_THAT(log(), HasSubstr("Getting FLASH key by number (2) failed with error: 618"));
}

TEST_F(FlashTest, DumpWritesOneAlignedLinePerKey) {
  devices.flash->clear();
  devices.flash->set("Alpha", "1");
  devices.flash->set("Beta", "two words");
  devices.flash->set("A_Very_Long_Key_Name_Beyond_30_Chars", "x");
  const std::string file = tempDir() + "/flash.txt";
  flash().Dump(file.c_str());
  EXPECT_EQ(testsupport::readFile(file),
            "Alpha                          1\r\n"
            "Beta                           two words\r\n"
            "A_Very_Long_Key_Name_Beyond_30_Chars x\r\n");
  EXPECT_THAT(lines(), ElementsAre("getkeynum 0x0", "getkeynum 0x1", "getkeynum 0x2", "getkeynum 0x3"));
  EXPECT_THAT(log(), HasSubstr("FlashDump wrote 3 keys to the file " + file));
}

TEST_F(FlashTest, AStoreSeededFromAFileIsWalkedInItsOrder) {
  const std::string seed = tempDir() + "/flash.seed";
  testsupport::writeFile(seed, "# instrument 7\r\nZeta 1\r\n\r\n  Alpha   0x10 and more\nBeta\nZeta 2\n");
  devices.flash->clear();
  ASSERT_TRUE(devices.flash->loadFile(seed));
  EXPECT_FALSE(devices.flash->loadFile(tempDir() + "/none.seed"));
  const std::string file = tempDir() + "/flash.txt";
  flash().Dump(file.c_str());
  EXPECT_EQ(testsupport::readFile(file),
            "Zeta                           2\r\n"
            "Alpha                          0x10 and more\r\n"
            "Beta                           \r\n");
  EXPECT_EQ(flash().GetLong("Alpha"), 16);  // the number at the start of the text
}

TEST_F(FlashTest, AFailedDumpLeavesTheEarlierFileWhole) {
  const std::string file = tempDir() + "/flash.txt";
  testsupport::writeFile(file, "earlier dump\r\n");
  int calls = 0;
  sim.setHandler("getkeynum", [&calls](const zevasim::Request&) {
    return ++calls == 2 ? zevasim::Reply::error(0x05) : zevasim::Reply::ok("Key value");
  });
  EXPECT_EQ(thrown([&] { flash().Dump(file.c_str()); }), 4101);
  EXPECT_EQ(testsupport::readFile(file), "earlier dump\r\n");
  EXPECT_THAT(log(), HasSubstr("FlashDump failed retrieving key 1 with error 4101"));
  EXPECT_THAT(platform::listDirectory(tempDir()), testing::Not(testing::Contains(HasSubstr("partial"))));

  forget();
  EXPECT_EQ(thrown([&] { flash().Dump((tempDir() + "/missing/flash.txt").c_str()); }),
            movrak::kErrFlashDumpFile);
  EXPECT_EQ(thrown([&] { flash().Dump(""); }), movrak::kErrFlashDumpFile);
  EXPECT_TRUE(lines().empty());
  EXPECT_THAT(log(), HasSubstr("Dumping FLASH to file failed with error: 584"));
  EXPECT_TRUE(scanner.GetComm().LockComm());  // nothing left locked
  EXPECT_TRUE(scanner.GetComm().UnlockComm());
}

TEST_F(FlashTest, WritingALaserFactorReloadsTheFactors) {
  flash().SetString("LaserPDCtToMWatt_R", "3000.5");
  EXPECT_DOUBLE_EQ(scanner.GetRedPDFactor(), 3000.5);
  EXPECT_DOUBLE_EQ(scanner.GetGreenPDFactor(), 2228.6);
  EXPECT_THAT(lines(), ElementsAre("setparam LaserPDCtToMWatt_R 3000.5", "getparam LaserMWattToSetPointCt_G",
                                   "getparam LaserPDCtToMWatt_G", "getparam LaserPDCtToMWatt_R"));

  devices.flash->erase("LaserMWattToSetPointCt_G");
  forget();
  flash().SetString("LaserPDCtToMWatt_G", "2000");
  EXPECT_DOUBLE_EQ(scanner.GetGreenPDFactor(), 2000);
  EXPECT_DOUBLE_EQ(scanner.GetGreenSetPointFactor(), 174.5);
  EXPECT_THAT(logLine("No FLASH value for LaserMWattToSetPointCt_G, using default value of 174.500000"),
              HasSubstr("INFO: "));
  flash().SetString("LaserOther", "1");
  EXPECT_EQ(lines().size(), 5u);  // no reload for another key
}

}  // namespace
