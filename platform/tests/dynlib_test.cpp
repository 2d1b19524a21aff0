#include "platform/dynlib.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

// Built beside this test by platform/tests/CMakeLists.txt.
#ifndef ZEVA_FIXTURE_LIB
#error "ZEVA_FIXTURE_LIB (path of the fixture library with a version note) is not defined"
#endif

namespace platform {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

std::string exePath() {
  std::array<char, PATH_MAX> buf{};
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  return n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string();
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(DynamicLibrary, LoadsResolvesAndExplainsFailures) {
  DynamicLibrary lib;
  EXPECT_EQ(lib.symbol("zevaFixtureAnswer"), nullptr);
  EXPECT_FALSE(lib.error().empty());

  EXPECT_FALSE(lib.open("/nonexistent/libnothing.so"));
  EXPECT_FALSE(lib.isOpen());
  EXPECT_THAT(lib.error(), HasSubstr("libnothing.so"));

  ASSERT_TRUE(lib.open(ZEVA_FIXTURE_LIB)) << lib.error();
  const auto answer = lib.function<int (*)()>("zevaFixtureAnswer");
  ASSERT_NE(answer, nullptr) << lib.error();
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(*static_cast<int*>(lib.symbol("zevaFixtureObject")), 7);

  EXPECT_EQ(lib.symbol("zevaNoSuchSymbol"), nullptr);
  EXPECT_THAT(lib.error(), HasSubstr("zevaNoSuchSymbol"));

  // Moving hands the library over; the moved-from object no longer owns it.
  DynamicLibrary other(std::move(lib));
  EXPECT_FALSE(lib.isOpen());  // NOLINT(bugprone-use-after-move)
  ASSERT_TRUE(other.isOpen());
  EXPECT_EQ(other.function<int (*)()>("zevaFixtureAnswer")(), 42);
  other.close();
  EXPECT_FALSE(other.isOpen());
}

TEST(Modules, IdentifyLoadedModulesByAddressAndName) {
  const std::string exe = exePath();
  const ModuleHandle main = mainProgramModule();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(moduleOf(reinterpret_cast<const void*>(&exePath)), main);
  EXPECT_EQ(modulePath(main), exe);
  EXPECT_EQ(findLoadedModule(baseName(exe)), main);

  DynamicLibrary lib;
  ASSERT_TRUE(lib.open(ZEVA_FIXTURE_LIB)) << lib.error();
  const ModuleHandle fixture = moduleOf(lib.symbol("zevaFixtureAnswer"));
  ASSERT_NE(fixture, nullptr);
  EXPECT_NE(fixture, main);
  EXPECT_EQ(moduleOf(lib.symbol("zevaFixtureObject")), fixture);  // data segment, same module
  EXPECT_EQ(findLoadedModule(baseName(ZEVA_FIXTURE_LIB)), fixture);
  EXPECT_EQ(modulePath(fixture), ZEVA_FIXTURE_LIB);

  // A versioned file is found by its unversioned name.
  const ModuleHandle libc = findLoadedModule("libc.so");
  ASSERT_NE(libc, nullptr);
  EXPECT_EQ(baseName(modulePath(libc)), "libc.so.6");

  EXPECT_EQ(findLoadedModule("libzevanothing.so"), nullptr);
  EXPECT_EQ(findLoadedModule(""), nullptr);
  EXPECT_EQ(moduleOf(nullptr), nullptr);
  EXPECT_EQ(modulePath(nullptr), "");
  lib.close();
  EXPECT_EQ(findLoadedModule(baseName(ZEVA_FIXTURE_LIB)), nullptr);
}

TEST(Modules, ReadTheVersionNoteOfModulesThatCarryOne) {
  const auto own = moduleVersion(mainProgramModule());
  ASSERT_TRUE(own);
  EXPECT_EQ(own->major, 2);
  EXPECT_EQ(own->minor, 7);
  EXPECT_EQ(own->third, 1);
  EXPECT_EQ(own->fourth, 8);
  EXPECT_THAT(own->buildDate, MatchesRegex("[A-Z][a-z][a-z] [ 1-3][0-9] [0-9]{4}"));
  EXPECT_THAT(own->buildTime, MatchesRegex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]"));
  EXPECT_EQ(programVersionLine("prog"), "prog 2.7.1.8 (built " + own->buildDate + " " + own->buildTime + ")");

  DynamicLibrary withNote, plain;
  ASSERT_TRUE(withNote.open(ZEVA_FIXTURE_LIB)) << withNote.error();
  ASSERT_TRUE(plain.open(ZEVA_FIXTURE_PLAIN_LIB)) << plain.error();
  const auto v = moduleVersion(moduleOf(withNote.symbol("zevaFixtureAnswer")));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->major, 3);
  EXPECT_EQ(v->minor, 14);
  EXPECT_EQ(v->third, 159);
  EXPECT_EQ(v->fourth, 65535);
  EXPECT_THAT(v->buildDate, MatchesRegex("[A-Z][a-z][a-z] [ 1-3][0-9] [0-9]{4}"));

  EXPECT_EQ(moduleVersion(moduleOf(plain.symbol("zevaFixtureAnswer"))), std::nullopt);
  EXPECT_EQ(moduleVersion(findLoadedModule("libc.so.6")), std::nullopt);  // other owners' notes only
  EXPECT_EQ(moduleVersion(nullptr), std::nullopt);
}

// Builds one note the way the linker lays it out (name and description padded to `align`).
std::vector<std::byte> note(std::uint32_t nameSize, std::uint32_t descSize, std::uint32_t type,
                            const std::string& name, const std::vector<std::uint8_t>& desc,
                            std::size_t align = 4) {
  std::vector<std::byte> out;
  const auto put = [&](const void* p, std::size_t n) {
    const auto* b = static_cast<const std::byte*>(p);
    out.insert(out.end(), b, b + n);
  };
  const auto pad = [&] {
    while (out.size() % align) out.push_back(std::byte{0});
  };
  put(&nameSize, 4);
  put(&descSize, 4);
  put(&type, 4);
  put(name.data(), name.size());
  pad();
  put(desc.data(), desc.size());
  pad();
  return out;
}

std::vector<std::uint8_t> versionDesc(std::uint16_t major, const char* date, const char* time) {
  std::vector<std::uint8_t> d(32, 0);
  const std::uint16_t v[4] = {major, 2, 3, 4};
  std::memcpy(d.data(), v, sizeof v);
  std::memcpy(d.data() + 8, date, std::min<std::size_t>(12, std::strlen(date)));
  std::memcpy(d.data() + 20, time, std::min<std::size_t>(12, std::strlen(time)));
  return d;
}

std::vector<std::byte> concat(std::initializer_list<std::vector<std::byte>> parts) {
  std::vector<std::byte> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(VersionNote, ParsesWellFormedAndRejectsMalformedNotes) {
  constexpr std::uint32_t kType = 0x5a455631u;
  const std::string owner("ZEVA\0", 5);
  const auto good = note(5, 32, kType, owner, versionDesc(9, "Jan  2 2024", "10:11:12"));
  const auto buildId = note(4, 20, 3, std::string("GNU\0", 4), std::vector<std::uint8_t>(20, 0xab));

  struct Case {
    const char* what;
    std::vector<std::byte> bytes;
    std::optional<std::uint16_t> major;  // nullopt: no version expected
  };
  auto truncated = good;
  truncated.resize(good.size() - 1);
  auto hugeDesc = good;
  hugeDesc[4] = std::byte{0xff};
  hugeDesc[7] = std::byte{0x7f};
  auto hugeName = buildId;
  hugeName[0] = std::byte{0xff};
  hugeName[3] = std::byte{0xff};
  auto noTerminator = note(5, 32, kType, owner, versionDesc(1, "", ""));
  std::memset(noTerminator.data() + 12 + 8 + 8, 'x', 24);  // date and time without NUL

  const Case cases[] = {
      {"alone", good, 9},
      {"after another owner's note", concat({buildId, good}), 9},
      {"after empty padding notes", concat({std::vector<std::byte>(24, std::byte{0}), good}), 9},
      {"empty segment", {}, std::nullopt},
      {"header only, cut short", std::vector<std::byte>(good.begin(), good.begin() + 11), std::nullopt},
      {"description cut short", truncated, std::nullopt},
      {"description size past the end", hugeDesc, std::nullopt},
      {"name size past the end before it", concat({hugeName, good}), std::nullopt},
      {"wrong type", note(5, 32, kType + 1, owner, versionDesc(1, "d", "t")), std::nullopt},
      {"wrong owner", note(5, 32, kType, std::string("ZEVB\0", 5), versionDesc(1, "d", "t")), std::nullopt},
      {"owner without NUL", note(4, 32, kType, "ZEVA", versionDesc(1, "d", "t")), std::nullopt},
      {"description too small", note(5, 31, kType, owner, std::vector<std::uint8_t>(31, 1)), std::nullopt},
      {"texts without terminator", noTerminator, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto v = findVersionNote(c.bytes);
    ASSERT_EQ(v.has_value(), c.major.has_value());
    if (!v) continue;
    EXPECT_EQ(v->major, *c.major);
    EXPECT_LE(v->buildDate.size(), 12u);
    EXPECT_LE(v->buildTime.size(), 12u);
  }

  const auto v = findVersionNote(good);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->minor, 2);
  EXPECT_EQ(v->third, 3);
  EXPECT_EQ(v->fourth, 4);
  EXPECT_EQ(v->buildDate, "Jan  2 2024");
  EXPECT_EQ(v->buildTime, "10:11:12");

  // In segments of 8-aligned notes the description starts at the next multiple of 8.
  const auto eight = note(5, 32, kType, owner, versionDesc(5, "d", "t"), 8);
  const auto v8 = findVersionNote(eight, 8);
  ASSERT_TRUE(v8);
  EXPECT_EQ(v8->major, 5);
  EXPECT_EQ(v8->buildDate, "d");
  EXPECT_NE(findVersionNote(eight, 4).value_or(ModuleVersion{}).buildDate, "d");
}

}  // namespace
}  // namespace platform
