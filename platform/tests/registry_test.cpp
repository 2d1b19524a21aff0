#include "platform/registry.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/TestEnv.h"

namespace {

namespace reg = platform::registry;
using platform::HKEY;
using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr std::string_view kKey = "Software\\Tarsel\\ZevazOdizo";
constexpr HKEY HKLM = HKEY_LOCAL_MACHINE;

reg::Value raw(std::uint32_t type, std::string_view bytes) {
  reg::Value v;
  v.type = type;
  v.data.assign(bytes.begin(), bytes.end());
  return v;
}

std::string text(const reg::Value& v) { return std::string(v.data.begin(), v.data.end()); }

ino_t inodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class RegistryTest : public testsupport::ZevaTest {
 protected:
  // Points the registry at another folder; its hive files are then parsed afresh.
  static void useDir(const std::string& dir) { ::setenv("ZEVA_REGISTRY_DIR", dir.c_str(), 1); }

  // Copies the HKLM hive into a new folder and switches to it, so that what follows reads
  // only what the file says, never this process's cached copy.
  void reparseFromFile() {
    const std::string contents = testsupport::readFile(reg::hivePath(HKLM));
    fresh_.push_back(std::make_unique<testsupport::TempDir>());
    useDir(fresh_.back()->path());
    testsupport::writeFile(reg::hivePath(HKLM), contents);
  }

 private:
  std::vector<std::unique_ptr<testsupport::TempDir>> fresh_;
};

TEST_F(RegistryTest, EveryTypeRoundTripsThroughTheFile) {
  std::string longBinary;
  for (int i = 0; i < 60; ++i) longBinary += static_cast<char>(i * 7);
  struct Case {
    std::string name;
    reg::Value value;
    std::string line;  // how the file shows it; empty: checked separately
  };
  const std::vector<Case> cases = {
      {"Sz", reg::makeString("C:\\dir \"q\""), R"("Sz"="C:\\dir \"q\"")"},
      {"Empty", reg::makeString(""), R"("Empty"="")"},
      {"HighBytes", reg::makeString("caf\xE9 \x01\t"), "\"HighBytes\"=\"caf\xE9 \x01\t\""},
      {"", reg::makeString("default"), R"(@="default")"},
      {"na\"me\\", reg::makeDword(1), R"("na\"me\\"=dword:00000001)"},
      {"@", reg::makeDword(2), R"("@"=dword:00000002)"},
      // REG_SZ data that "text" could not give back exactly.
      {"NoNul", raw(platform::REG_SZ, "ab"), R"("NoNul"=hex(1):61,62)"},
      {"TwoNuls", raw(platform::REG_SZ, std::string("ab\0\0", 4)), R"("TwoNuls"=hex(1):61,62,00,00)"},
      {"Newline", reg::makeString("a\nb\r"), R"("Newline"=hex(1):61,0a,62,0d,00)"},
      {"ZeroBytes", raw(platform::REG_SZ, ""), R"("ZeroBytes"=hex(1):)"},
      {"Expand", reg::makeString("%HOME%", platform::REG_EXPAND_SZ),
       R"("Expand"=hex(2):25,48,4f,4d,45,25,00)"},
      {"Dword", reg::makeDword(10), R"("Dword"=dword:0000000a)"},
      {"DwordMax", reg::makeDword(0xFFFFFFFFu), R"("DwordMax"=dword:ffffffff)"},
      {"DwordShort", raw(platform::REG_DWORD, "\x01\x02\x03"), R"("DwordShort"=hex(4):01,02,03)"},
      {"Qword", reg::makeQword(0x0102030405060708ull), R"("Qword"=hex(b):08,07,06,05,04,03,02,01)"},
      {"Binary", reg::makeBinary("\x00\xff\x10", 3), R"("Binary"=hex:00,ff,10)"},
      {"BinaryEmpty", reg::makeBinary(nullptr, 0), R"("BinaryEmpty"=hex:)"},
      {"BinaryLong", reg::makeBinary(longBinary.data(), longBinary.size()), ""},
      {"Multi", reg::makeString(std::string("a\0bc\0", 5), platform::REG_MULTI_SZ),
       R"("Multi"=hex(7):61,00,62,63,00,00)"},
      {"None", raw(platform::REG_NONE, ""), R"("None"=hex(0):)"},
      {"NoneData", raw(platform::REG_NONE, "\x05"), R"("NoneData"=hex(0):05)"},
      {"OddType", raw(0x12345u, "\xff"), R"("OddType"=hex(12345):ff)"},
      {"MaxType", raw(0xFFFFFFFFu, ""), R"("MaxType"=hex(ffffffff):)"},
  };
  ASSERT_EQ(reg::createKey(HKLM, kKey), reg::kOk);
  for (const auto& c : cases) ASSERT_EQ(reg::setValue(HKLM, kKey, c.name, c.value), reg::kOk) << c.name;

  const std::string file = testsupport::readFile(reg::hivePath(HKLM));
  for (const auto& c : cases) {
    if (!c.line.empty()) {
      EXPECT_THAT(file, HasSubstr("\n" + c.line + "\n")) << c.name;
    }
  }
  // A long list is wrapped with a trailing backslash, and no line gets unreadably long.
  EXPECT_THAT(file, HasSubstr("\"BinaryLong\"=hex:00,07,0e,"));
  EXPECT_THAT(file, HasSubstr(",\\\n  "));
  std::istringstream lines(file);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;

  reparseFromFile();
  std::vector<std::pair<std::string, reg::Value>> values;
  ASSERT_EQ(reg::enumValues(HKLM, kKey, values), reg::kOk);
  ASSERT_EQ(values.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(values[i].first, cases[i].name);
    EXPECT_EQ(values[i].second.type, cases[i].value.type);
    EXPECT_EQ(values[i].second.data, cases[i].value.data);
  }
}

TEST_F(RegistryTest, AHiveThatIsAFifoIsRefusedWithoutHoldingTheRegistry) {
  testsupport::TempDir dir;
  useDir(dir.path());
  ::mkdir(reg::directory().c_str(), 0700);
  testsupport::makeFifo(reg::hivePath(HKLM));
  long result = reg::kOk;
  ASSERT_TRUE(testsupport::endsWithoutAWriter(
      [&] {
        reg::Value v;
        result = reg::queryValue(HKLM, "Software", "Any", v);
      },
      reg::hivePath(HKLM)));
  EXPECT_NE(result, reg::kOk);
  // The other hives are served meanwhile and after.
  EXPECT_EQ(reg::createKey(HKEY_CURRENT_USER, "Software\\Test"), reg::kOk);
  EXPECT_EQ(reg::setValue(HKEY_CURRENT_USER, "Software\\Test", "Name", reg::makeString("five")), reg::kOk);
}

TEST_F(RegistryTest, SmallHiveFileReadsAsAPersonExpects) {
  ASSERT_EQ(reg::createKey(HKLM, kKey), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, kKey, "Path", reg::makeString("/opt/zeva")), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, kKey, "", reg::makeString("x")), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, kKey, "Count", reg::makeDword(10)), reg::kOk);
  ASSERT_EQ(reg::createKey(HKLM, "Software\\Other"), reg::kOk);
  EXPECT_EQ(testsupport::readFile(reg::directory() + "/HKEY_LOCAL_MACHINE.reg"),
            "REGEDIT4\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Tarsel]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Tarsel\\ZevazOdizo]\n"
            "\"Path\"=\"/opt/zeva\"\n"
            "@=\"x\"\n"
            "\"Count\"=dword:0000000a\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
            "\n");
}

TEST_F(RegistryTest, ReadsHandWrittenHives) {
  // The tolerances a person's editor or another tool brings: the newer header, CRLF,
  // comments, indentation, upper-case type words, spaced and continued hex lists, a child
  // section before its parent, a repeated value (the later line wins) and root values.
  testsupport::writeFile(reg::hivePath(HKLM),
                         "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                         "\r\n"
                         "; written by hand\r\n"
                         "[HKEY_LOCAL_MACHINE\\Software\\Tarsel\\ZevazOdizo]\r\n"
                         "  \"Path\" = \"/opt/zeva\"\r\n"
                         "\"Count\"=DWORD:A\r\n"
                         "\"Q\"=HEX(B):01, 02,03,04,\\\r\n"
                         "    05,06,07,\\\r\n"
                         "08\r\n"
                         "\"Count\"=dword:0000000b\r\n"
                         "\r\n"
                         "[hkey_local_machine\\Software]\r\n"
                         "\"\"=\"default by empty name\"\r\n"
                         "[HKEY_LOCAL_MACHINE]\r\n"
                         "\"AtRoot\"=hex:\r\n");
  reg::Value v;
  ASSERT_EQ(reg::queryValue(HKLM, kKey, "Path", v), reg::kOk);
  EXPECT_EQ(text(v), std::string("/opt/zeva\0", 10));
  ASSERT_EQ(reg::queryValue(HKLM, kKey, "Count", v), reg::kOk);
  EXPECT_EQ(v.data, reg::makeDword(11).data);
  ASSERT_EQ(reg::queryValue(HKLM, kKey, "Q", v), reg::kOk);
  EXPECT_EQ(v.type, platform::REG_QWORD);
  EXPECT_EQ(v.data, reg::makeQword(0x0807060504030201ull).data);
  ASSERT_EQ(reg::queryValue(HKLM, "Software", "", v), reg::kOk);
  EXPECT_EQ(text(v), std::string("default by empty name\0", 22));
  ASSERT_EQ(reg::queryValue(HKLM, "", "AtRoot", v), reg::kOk);
  EXPECT_EQ(v.type, platform::REG_BINARY);
  std::vector<std::string> names;
  ASSERT_EQ(reg::enumSubKeys(HKLM, "", names), reg::kOk);
  EXPECT_THAT(names, ElementsAre("Software"));

  // Once rewritten it is in the canonical layout, and nothing was lost on the way.
  ASSERT_EQ(reg::setValue(HKLM, kKey, "New", reg::makeDword(1)), reg::kOk);
  reparseFromFile();
  ASSERT_EQ(reg::queryValue(HKLM, kKey, "Q", v), reg::kOk);
  EXPECT_EQ(v.data, reg::makeQword(0x0807060504030201ull).data);
  ASSERT_EQ(reg::queryValue(HKLM, "", "AtRoot", v), reg::kOk);
  EXPECT_THAT(testsupport::readFile(reg::hivePath(HKLM)),
              HasSubstr("REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\"AtRoot\"=hex:\n"));
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirCase) {
  ASSERT_EQ(reg::createKey(HKLM, kKey), reg::kOk);
  ASSERT_EQ(reg::createKey(HKLM, "SOFTWARE\\tarsel\\Second"), reg::kOk);
  EXPECT_EQ(reg::keyExists(HKLM, "software\\TARSEL\\zevazodizo"), reg::kOk);

  ASSERT_EQ(reg::setValue(HKLM, kKey, "Path", reg::makeString("a")), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, "SOFTWARE\\TARSEL\\ZEVAZODIZO", "PATH", reg::makeString("b")), reg::kOk);
  reparseFromFile();
  reg::Value v;
  ASSERT_EQ(reg::queryValue(HKLM, "software\\tarsel\\zevazodizo", "pAtH", v), reg::kOk);
  EXPECT_EQ(text(v), std::string("b\0", 2));

  std::vector<std::string> keys;
  ASSERT_EQ(reg::enumSubKeys(HKLM, "software", keys), reg::kOk);
  EXPECT_THAT(keys, ElementsAre("Tarsel"));
  ASSERT_EQ(reg::enumSubKeys(HKLM, "Software\\Tarsel", keys), reg::kOk);
  EXPECT_THAT(keys, ElementsAre("ZevazOdizo", "Second"));
  std::vector<std::pair<std::string, reg::Value>> values;
  ASSERT_EQ(reg::enumValues(HKLM, kKey, values), reg::kOk);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].first, "Path");
}

TEST_F(RegistryTest, StraySeparatorsNameTheSameKey) {
  ASSERT_EQ(reg::createKey(HKLM, "\\\\Software\\\\Tarsel\\ZevazOdizo\\"), reg::kOk);
  for (const std::string_view path :
       {"Software\\Tarsel\\ZevazOdizo", "\\Software\\Tarsel\\ZevazOdizo", "Software\\Tarsel\\ZevazOdizo\\",
        "Software\\\\Tarsel\\\\\\ZevazOdizo"}) {
    EXPECT_EQ(reg::keyExists(HKLM, path), reg::kOk) << path;
  }
  std::vector<std::string> keys;
  ASSERT_EQ(reg::enumSubKeys(HKLM, "\\", keys), reg::kOk);
  EXPECT_THAT(keys, ElementsAre("Software"));
  EXPECT_THAT(testsupport::readFile(reg::hivePath(HKLM)),
              HasSubstr("[HKEY_LOCAL_MACHINE\\Software\\Tarsel\\ZevazOdizo]\n"));
}

TEST_F(RegistryTest, CreateKeyMakesMissingParentsAndLeavesExistingKeysAlone) {
  EXPECT_EQ(reg::keyExists(HKLM, "A"), reg::kErrorFileNotFound);
  ASSERT_EQ(reg::createKey(HKLM, "A\\B\\C"), reg::kOk);
  std::vector<std::string> keys;
  ASSERT_EQ(reg::enumSubKeys(HKLM, "", keys), reg::kOk);
  EXPECT_THAT(keys, ElementsAre("A"));
  ASSERT_EQ(reg::enumSubKeys(HKLM, "A", keys), reg::kOk);
  EXPECT_THAT(keys, ElementsAre("B"));
  ASSERT_EQ(reg::enumSubKeys(HKLM, "A\\B", keys), reg::kOk);
  EXPECT_THAT(keys, ElementsAre("C"));
  ASSERT_EQ(reg::enumSubKeys(HKLM, "A\\B\\C", keys), reg::kOk);
  EXPECT_TRUE(keys.empty());

  // Creating what exists changes nothing, so the file is not rewritten.
  const ino_t before = inodeOf(reg::hivePath(HKLM));
  ASSERT_EQ(reg::createKey(HKLM, "a\\b"), reg::kOk);
  ASSERT_EQ(reg::createKey(HKLM, ""), reg::kOk);
  EXPECT_EQ(inodeOf(reg::hivePath(HKLM)), before);
}

TEST_F(RegistryTest, DeleteKeyRefusesKeysWithSubkeys) {
  ASSERT_EQ(reg::createKey(HKLM, "A\\B\\C"), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, "A\\B\\C", "V", reg::makeDword(1)), reg::kOk);

  EXPECT_EQ(reg::deleteKey(HKLM, "", "A"), reg::kErrorAccessDenied);
  EXPECT_EQ(reg::deleteKey(HKLM, "A", "b"), reg::kErrorAccessDenied);
  EXPECT_EQ(reg::keyExists(HKLM, "A\\B\\C"), reg::kOk);

  EXPECT_EQ(reg::deleteKey(HKLM, "A", "B\\Missing"), reg::kErrorFileNotFound);
  EXPECT_EQ(reg::deleteKey(HKLM, "Missing", "B"), reg::kErrorFileNotFound);
  EXPECT_EQ(reg::deleteKey(HKLM, "A", ""), reg::kErrorInvalidParameter);

  // A key with values but no subkeys goes, values and all; `child` may be a path.
  EXPECT_EQ(reg::deleteKey(HKLM, "a", "b\\c"), reg::kOk);
  EXPECT_EQ(reg::keyExists(HKLM, "A\\B\\C"), reg::kErrorFileNotFound);
  EXPECT_EQ(reg::deleteKey(HKLM, "A", "B"), reg::kOk);
  EXPECT_EQ(reg::deleteKey(HKLM, "", "A"), reg::kOk);
  reparseFromFile();
  EXPECT_EQ(reg::keyExists(HKLM, "A"), reg::kErrorFileNotFound);
  EXPECT_EQ(testsupport::readFile(reg::hivePath(HKLM)), "REGEDIT4\n\n");
}

TEST_F(RegistryTest, DeleteValueRemovesOnlyThatValue) {
  ASSERT_EQ(reg::createKey(HKLM, kKey), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, kKey, "", reg::makeString("default")), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, kKey, "Keep", reg::makeDword(1)), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, kKey, "Drop", reg::makeDword(2)), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, kKey, "Last", reg::makeDword(3)), reg::kOk);

  // The values after a deleted one must still be found by name.
  EXPECT_EQ(reg::deleteValue(HKLM, kKey, ""), reg::kOk);
  EXPECT_EQ(reg::deleteValue(HKLM, kKey, "DROP"), reg::kOk);
  EXPECT_EQ(reg::deleteValue(HKLM, kKey, "Drop"), reg::kErrorFileNotFound);
  reg::Value v;
  ASSERT_EQ(reg::queryValue(HKLM, kKey, "keep", v), reg::kOk);
  EXPECT_EQ(v.data, reg::makeDword(1).data);
  ASSERT_EQ(reg::queryValue(HKLM, kKey, "last", v), reg::kOk);
  EXPECT_EQ(v.data, reg::makeDword(3).data);
  ASSERT_EQ(reg::setValue(HKLM, kKey, "LAST", reg::makeDword(4)), reg::kOk);

  reparseFromFile();
  std::vector<std::pair<std::string, reg::Value>> values;
  ASSERT_EQ(reg::enumValues(HKLM, kKey, values), reg::kOk);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].first, "Keep");
  EXPECT_EQ(values[1].first, "Last");
  EXPECT_EQ(values[1].second.data, reg::makeDword(4).data);
}

TEST_F(RegistryTest, MissingKeysValuesAndBadArguments) {
  ASSERT_EQ(reg::createKey(HKLM, kKey), reg::kOk);
  reg::Value v;
  std::vector<std::string> keys;
  std::vector<std::pair<std::string, reg::Value>> values;
  const std::string longName(256, 'k');
  const std::string longValueName(16384, 'v');
  struct Case {
    const char* what;
    std::function<long()> call;
    long expected;
  };
  const Case cases[] = {
      {"query in missing key", [&] { return reg::queryValue(HKLM, "Software\\Nope", "X", v); },
       reg::kErrorFileNotFound},
      {"query missing value", [&] { return reg::queryValue(HKLM, kKey, "Nope", v); },
       reg::kErrorFileNotFound},
      {"query missing default", [&] { return reg::queryValue(HKLM, kKey, "", v); }, reg::kErrorFileNotFound},
      {"set in missing key", [&] { return reg::setValue(HKLM, "Software\\Nope", "X", reg::makeDword(1)); },
       reg::kErrorFileNotFound},
      {"delete value in missing key", [&] { return reg::deleteValue(HKLM, "Nope", "X"); },
       reg::kErrorFileNotFound},
      {"enum keys of missing key", [&] { return reg::enumSubKeys(HKLM, "Nope", keys); },
       reg::kErrorFileNotFound},
      {"enum values of missing key", [&] { return reg::enumValues(HKLM, "Nope", values); },
       reg::kErrorFileNotFound},
      {"same path in another root", [&] { return reg::keyExists(HKEY_CURRENT_USER, kKey); },
       reg::kErrorFileNotFound},
      {"unknown root", [&] { return reg::createKey(0x80000010u, "A"); }, reg::kErrorInvalidParameter},
      {"unknown root read", [&] { return reg::keyExists(0, ""); }, reg::kErrorInvalidParameter},
      {"key name with newline", [&] { return reg::createKey(HKLM, "A\nB"); }, reg::kErrorInvalidParameter},
      {"key name too long", [&] { return reg::createKey(HKLM, longName); }, reg::kErrorInvalidParameter},
      {"value name with CR", [&] { return reg::setValue(HKLM, kKey, "A\rB", reg::makeDword(1)); },
       reg::kErrorInvalidParameter},
      {"value name with NUL",
       [&] { return reg::setValue(HKLM, kKey, std::string_view("A\0B", 3), reg::makeDword(1)); },
       reg::kErrorInvalidParameter},
      {"value name too long", [&] { return reg::setValue(HKLM, kKey, longValueName, reg::makeDword(1)); },
       reg::kErrorInvalidParameter},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
  EXPECT_TRUE(keys.empty());
  EXPECT_TRUE(values.empty());
  EXPECT_EQ(reg::keyExists(HKLM, "A"), reg::kErrorFileNotFound);
  EXPECT_EQ(reg::setValue(HKLM, kKey, std::string(16383, 'v'), reg::makeDword(1)), reg::kOk);
  EXPECT_EQ(reg::createKey(HKLM, std::string(255, 'k')), reg::kOk);
}

TEST_F(RegistryTest, OrderOfKeysAndValuesSurvivesRewrites) {
  for (const char* k : {"Zeta", "alpha", "Mid"})
    ASSERT_EQ(reg::createKey(HKLM, std::string("R\\") + k), reg::kOk);
  for (const char* n : {"z", "A", "m"}) ASSERT_EQ(reg::setValue(HKLM, "R", n, reg::makeDword(1)), reg::kOk);
  // Overwriting keeps a value's place; deleting and adding again moves it to the end.
  ASSERT_EQ(reg::setValue(HKLM, "R", "a", reg::makeString("changed")), reg::kOk);
  ASSERT_EQ(reg::deleteValue(HKLM, "R", "z"), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, "R", "z", reg::makeDword(2)), reg::kOk);
  ASSERT_EQ(reg::deleteKey(HKLM, "R", "alpha"), reg::kOk);
  EXPECT_EQ(reg::keyExists(HKLM, "R\\mid"), reg::kOk);  // still found after the one before it went
  ASSERT_EQ(reg::createKey(HKLM, "R\\alpha"), reg::kOk);

  reparseFromFile();
  ASSERT_EQ(reg::setValue(HKLM, "R", "last", reg::makeDword(3)), reg::kOk);  // one more rewrite
  std::vector<std::string> keys;
  ASSERT_EQ(reg::enumSubKeys(HKLM, "R", keys), reg::kOk);
  EXPECT_THAT(keys, ElementsAre("Zeta", "Mid", "alpha"));
  std::vector<std::pair<std::string, reg::Value>> values;
  ASSERT_EQ(reg::enumValues(HKLM, "R", values), reg::kOk);
  std::vector<std::string> names;
  for (const auto& [name, value] : values) names.push_back(name);
  EXPECT_THAT(names, ElementsAre("A", "m", "z", "last"));
}

// Reads and writes of a hive file that cannot be parsed fail, leave it byte for byte and
// report the file and line once; other roots carry on.
TEST_F(RegistryTest, MalformedHivesAreNeverOverwritten) {
  struct Case {
    const char* what;
    std::string contents;
    int line;
  };
  const std::string ok = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n";
  const std::vector<Case> cases = {
      {"garbage line", ok + "\"V\"=dword:1\nthis is not a value\n", 5},
      {"no header", "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:1\n", 1},
      {"wrong header", "REGEDIT5\n\n[HKEY_LOCAL_MACHINE\\A]\n", 1},
      {"UTF-16 file", std::string("\xFF\xFER\0E\0G\0", 8), 1},
      {"binary garbage", std::string("REGEDIT4\n\0\0\x01\x02", 13), 2},
      {"bad hex digit", ok + "\"B\"=hex:01,zz,03\n", 4},
      {"hex byte too long", ok + "\"B\"=hex:123\n", 4},
      {"empty hex item", ok + "\"B\"=hex:01,,02\n", 4},
      {"trailing comma", ok + "\"B\"=hex:01,\n", 4},
      {"bad type number", ok + "\"B\"=hex(zz):00\n", 4},
      {"unclosed type", ok + "\"B\"=hex(2:00\n", 4},
      {"hex continued past end", ok + "\"B\"=hex:01,\\\n", 4},
      {"dword too long", ok + "\"D\"=dword:123456789\n", 4},
      {"dword not hex", ok + "\"D\"=dword:xyz\n", 4},
      {"unterminated text", ok + "\"S\"=\"abc\n", 4},
      {"truncated mid-line", ok + "\"S\"=\"ab", 4},
      {"unterminated name", ok + "\"S=dword:1\n", 4},
      {"bad escape", ok + "\"S\"=\"a\\qb\"\n", 4},
      {"text after quote", ok + "\"S\"=\"a\" b\n", 4},
      {"missing equals", ok + "\"S\" \"a\"\n", 4},
      {"unknown kind", ok + "\"S\"=word:1\n", 4},
      {"value deletion", ok + "\"S\"=-\n", 4},
      {"value before section", "REGEDIT4\n\n\"V\"=dword:1\n[HKEY_LOCAL_MACHINE\\A]\n", 3},
      {"other root's section", ok + "\n[HKEY_CURRENT_USER\\A]\n", 5},
      {"prefix of root name", "REGEDIT4\n\n[HKEY_LOCAL_MACHINEX\\A]\n", 3},
      {"key deletion", "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\A]\n", 3},
      {"unclosed section", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\n", 3},
      {"empty key name", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 3},
      {"key name too long", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n", 3},
      {"keys nested too deeply",
       [] {
         std::string s = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE";
         for (int i = 0; i < 600; ++i) s += "\\k";
         return s + "]\n";
       }(),
       3},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    // A folder per case, so no case sees a hive cached from the one before.
    const std::string dir = registryDir() + "/case" + std::to_string(i);
    std::filesystem::create_directories(dir);
    useDir(dir);
    const std::string path = reg::hivePath(HKLM);
    testsupport::writeFile(path, c.contents);

    ::testing::internal::CaptureStderr();
    reg::Value v;
    std::vector<std::string> keys;
    EXPECT_EQ(reg::keyExists(HKLM, "A"), reg::kErrorBadDb);
    EXPECT_EQ(reg::queryValue(HKLM, "A", "V", v), reg::kErrorBadDb);
    EXPECT_EQ(reg::enumSubKeys(HKLM, "", keys), reg::kErrorBadDb);
    EXPECT_EQ(reg::createKey(HKLM, "A\\New"), reg::kErrorBadDb);
    EXPECT_EQ(reg::setValue(HKLM, "A", "V", reg::makeDword(1)), reg::kErrorBadDb);
    EXPECT_EQ(reg::deleteValue(HKLM, "A", "V"), reg::kErrorBadDb);
    EXPECT_EQ(reg::deleteKey(HKLM, "", "A"), reg::kErrorBadDb);
    // Touched but not changed: read again, and still reported only once.
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    EXPECT_EQ(reg::keyExists(HKLM, "A"), reg::kErrorBadDb);
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(testsupport::readFile(path), c.contents);
    EXPECT_THAT(err, HasSubstr(path + " line " + std::to_string(c.line) + ":"));
    EXPECT_EQ(err.find(path), err.rfind(path)) << "reported more than once:\n" << err;

    EXPECT_EQ(reg::createKey(HKEY_CURRENT_USER, "Unaffected"), reg::kOk);
    EXPECT_EQ(reg::keyExists(HKEY_CURRENT_USER, "Unaffected"), reg::kOk);
  }
}

TEST_F(RegistryTest, RepairedHiveIsUsableAgain) {
  const std::string path = reg::hivePath(HKLM);
  testsupport::writeFile(path, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\nbroken\n");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(reg::keyExists(HKLM, "A"), reg::kErrorBadDb);
  ::testing::internal::GetCapturedStderr();

  testsupport::writeFile(path, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:00000007\n");
  reg::Value v;
  ASSERT_EQ(reg::queryValue(HKLM, "A", "V", v), reg::kOk);
  EXPECT_EQ(v.data, reg::makeDword(7).data);
}

TEST_F(RegistryTest, EditsByOthersAreSeen) {
  ASSERT_EQ(reg::createKey(HKLM, "A"), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, "A", "V", reg::makeDword(1)), reg::kOk);
  // Rewritten in place (same inode) by an editor.
  testsupport::writeFile(reg::hivePath(HKLM),
                         "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:2\n\"W\"=\"x\"\n");
  reg::Value v;
  ASSERT_EQ(reg::queryValue(HKLM, "A", "V", v), reg::kOk);
  EXPECT_EQ(v.data, reg::makeDword(2).data);
  EXPECT_EQ(reg::queryValue(HKLM, "A", "W", v), reg::kOk);
}

TEST_F(RegistryTest, EmptyAndOversizedFiles) {
  const std::string path = reg::hivePath(HKLM);
  // A zero-length file holds nothing and is taken as an empty hive.
  testsupport::writeFile(path, "");
  EXPECT_EQ(reg::keyExists(HKLM, "A"), reg::kErrorFileNotFound);
  EXPECT_EQ(reg::createKey(HKLM, "A"), reg::kOk);
  EXPECT_EQ(testsupport::readFile(path), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\n");

  // A huge file is refused before it is read, and left alone.
  const off_t huge = off_t{65} << 20;
  ASSERT_EQ(::truncate(path.c_str(), huge), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(reg::keyExists(HKLM, "A"), reg::kErrorBadDb);
  EXPECT_EQ(reg::createKey(HKLM, "B"), reg::kErrorBadDb);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr(path));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, huge);
}

TEST_F(RegistryTest, FailedWriteKeepsTheOldFileAndTheOldValues) {
  ASSERT_EQ(reg::createKey(HKLM, "A"), reg::kOk);
  ASSERT_EQ(reg::setValue(HKLM, "A", "V", reg::makeDword(1)), reg::kOk);
  const std::string before = testsupport::readFile(reg::hivePath(HKLM));
  // A folder where the temporary file would go makes the write fail.
  const std::string blocker = reg::directory() + "/.HKEY_LOCAL_MACHINE.reg.tmp";
  std::filesystem::create_directories(blocker + "/inside");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(reg::setValue(HKLM, "A", "V", reg::makeDword(2)), reg::kErrorWriteFault);
  EXPECT_EQ(reg::createKey(HKLM, "A\\New"), reg::kErrorWriteFault);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("cannot write " + reg::hivePath(HKLM)));
  EXPECT_EQ(testsupport::readFile(reg::hivePath(HKLM)), before);
  // The refused changes are not kept in memory either.
  reg::Value v;
  ASSERT_EQ(reg::queryValue(HKLM, "A", "V", v), reg::kOk);
  EXPECT_EQ(v.data, reg::makeDword(1).data);
  EXPECT_EQ(reg::keyExists(HKLM, "A\\New"), reg::kErrorFileNotFound);

  std::filesystem::remove_all(blocker);
  EXPECT_EQ(reg::setValue(HKLM, "A", "V", reg::makeDword(2)), reg::kOk);
}

TEST_F(RegistryTest, FolderComesFromTheEnvironmentAtEveryCall) {
  EXPECT_EQ(reg::directory(), registryDir());
  EXPECT_EQ(reg::hivePath(HKEY_CURRENT_USER), registryDir() + "/HKEY_CURRENT_USER.reg");
  EXPECT_EQ(reg::hivePath(0x1234), "");

  // Reading a folder that does not exist finds nothing and creates nothing; writing creates it.
  const std::string nested = registryDir() + "/x/y";
  useDir(nested + "/");
  EXPECT_EQ(reg::directory(), nested);
  EXPECT_EQ(reg::keyExists(HKLM, "A"), reg::kErrorFileNotFound);
  EXPECT_FALSE(std::filesystem::exists(nested));
  EXPECT_EQ(reg::createKey(HKLM, "A"), reg::kOk);
  EXPECT_TRUE(std::filesystem::exists(nested + "/HKEY_LOCAL_MACHINE.reg"));

  // A folder that cannot be made is a write fault, and an empty hive to readers.
  const std::string file = registryDir() + "/plainfile";
  testsupport::writeFile(file, "x");
  useDir(file + "/sub");
  EXPECT_EQ(reg::keyExists(HKLM, "A"), reg::kErrorFileNotFound);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(reg::createKey(HKLM, "A"), reg::kErrorWriteFault);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr(file));

  const char* oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome ? oldHome : "";
  ::unsetenv("ZEVA_REGISTRY_DIR");
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(reg::directory(), "/home/someone/.config/zevazodizo/registry");
  if (oldHome)
    ::setenv("HOME", savedHome.c_str(), 1);
  else
    ::unsetenv("HOME");
}

TEST(RegistryValues, Constructors) {
  EXPECT_EQ(reg::makeString("").data, std::vector<std::uint8_t>{0});
  EXPECT_EQ(reg::makeString("ab", platform::REG_EXPAND_SZ).type, platform::REG_EXPAND_SZ);
  EXPECT_EQ(reg::makeDword(0x01020304).data, (std::vector<std::uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(reg::makeQword(0x0102030405060708ull).data, (std::vector<std::uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(reg::makeBinary(nullptr, 5).data.size(), 0u);
  EXPECT_TRUE(reg::isPredefinedRoot(platform::HKEY_USERS));
  EXPECT_FALSE(reg::isPredefinedRoot(0x80000004u));
  EXPECT_EQ(reg::rootName(platform::HKEY_CLASSES_ROOT), "HKEY_CLASSES_ROOT");
}

}  // namespace
