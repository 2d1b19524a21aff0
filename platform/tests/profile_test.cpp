#include "platform/profile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "testsupport/TestEnv.h"

namespace {

namespace profile = platform::profile;
using profile::Document;
using ::testing::ElementsAre;
using testsupport::readFile;
using testsupport::writeFile;

class ProfileTest : public testsupport::ZevaTest {
 protected:
  std::string path(const std::string& name = "test.ini") const { return tempDir() + "/" + name; }
  std::vector<std::string> folderEntries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(tempDir())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

// A file as people and older programs leave them: mixed line ends, comments, blanks
// around names and values, a repeated section and key, text before the first section.
const char* const kMessy =
    "\xEF\xBB\xBF[First]\r\n"
    "orphan line without equals\n"
    "  Name = Alpha Beta  \r\n"
    "name=shadowed\n"
    "; Hidden=comment\n"
    "Empty=\n"
    "Num= -42xyz\n"
    "\n"
    "[ second ]\n"
    "Key=v2\n"
    "[FIRST]\n"
    "Name=in the duplicate section\n"
    "Other=only here\n"
    "[Last]\n"
    "Tail=no line end";

TEST_F(ProfileTest, AFileThatIsAFifoOrADeviceIsRefusedAndNeverWaitedOn) {
  const std::string fifo = tempDir() + "/fifo.ini";
  testsupport::makeFifo(fifo);
  const std::string zero = tempDir() + "/zero.ini";
  ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
  for (const std::string& path : {fifo, zero}) {
    SCOPED_TRACE(path);
    std::optional<profile::Document> doc{profile::Document{}};
    bool edited = true;
    ASSERT_TRUE(testsupport::endsWithoutAWriter(
        [&] {
          doc = profile::read(path);
          edited = profile::edit(path, [](profile::Document&) { return true; });
        },
        fifo));
    EXPECT_FALSE(doc);
    EXPECT_FALSE(edited);
    EXPECT_EQ(profile::getString(path, "Section", "Key", "default"), "default");
  }
}

TEST_F(ProfileTest, ReadsWithClassicSemantics) {
  const Document d(kMessy);
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> expect;
  } cases[] = {
      {"First", "Name", "Alpha Beta"},    // trimmed, first key wins, BOM not part of the name
      {"first", "NAME", "Alpha Beta"},    // case-insensitive
      {"First", "Hidden", std::nullopt},  // comment
      {"First", "orphan line without equals", std::nullopt},
      {"First", "Empty", ""},
      {"First", "Other", std::nullopt},  // only the first section of a name counts
      {"Second", "key", "v2"},           // blanks inside the brackets are trimmed
      {"Last", "Tail", "no line end"},
      {"Missing", "Name", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(d.get(c.section, c.key), c.expect) << c.section << "/" << c.key;
  EXPECT_EQ(d.getString("Missing", "x", "dflt"), "dflt");
  EXPECT_THAT(d.sectionNames(), ElementsAre("First", "second", "Last"));
  EXPECT_THAT(d.keyNames("first"), ElementsAre("Name", "Empty", "Num"));
  EXPECT_EQ(d.text(), kMessy);  // parsing alone changes nothing
}

TEST_F(ProfileTest, ReadsWholeNumbersLikeTheClassicReader) {
  struct Case {
    const char* value;
    int expect;
  } cases[] = {
      {"12", 12},
      {" +7 ", 7},
      {"-42xyz", -42},
      {"abc", 0},
      {"", -1},  // empty: the default
      {"2147483647", INT_MAX},
      {"99999999999", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-99999999999", INT_MIN},
  };
  for (const auto& c : cases) {
    Document d;
    ASSERT_TRUE(d.set("S", "K", c.value));
    EXPECT_EQ(d.getInt("S", "K", -1), c.expect) << "'" << c.value << "'";
  }
  EXPECT_EQ(Document().getInt("S", "K", INT_MIN), INT_MIN);
}

TEST_F(ProfileTest, ChangesTouchOnlyWhatTheyChange) {
  Document d(
      "; header comment\r\n"
      "[A]\r\n"
      "x = 1\r\n"
      "\r\n"
      "[B]\r\n"
      "y=2\r\n");
  ASSERT_TRUE(d.set("a", "X", "10"));  // existing key keeps its spelling
  ASSERT_TRUE(d.set("A", "z", "3"));   // new key after the section's last non-blank line
  ASSERT_TRUE(d.set("C", "w", "4"));   // new section after a blank line
  EXPECT_EQ(d.text(),
            "; header comment\r\n"
            "[A]\r\n"
            "x=10\r\n"
            "z=3\r\n"
            "\r\n"
            "[B]\r\n"
            "y=2\r\n"
            "\r\n"
            "[C]\r\n"
            "w=4\r\n");
  ASSERT_TRUE(d.removeKey("A", "x"));
  EXPECT_FALSE(d.removeKey("A", "x"));
  ASSERT_TRUE(d.removeSection("b"));
  EXPECT_FALSE(d.removeSection("b"));
  EXPECT_EQ(d.text(),
            "; header comment\r\n"
            "[A]\r\n"
            "z=3\r\n"
            "\r\n"
            "[C]\r\n"
            "w=4\r\n");

  // Without any line end in the file, new lines use LF; a last line without one gets one.
  Document bare("[S]\nk=v");
  ASSERT_TRUE(bare.set("S", "n", "1"));
  EXPECT_EQ(bare.text(), "[S]\nk=v\nn=1\n");
}

TEST_F(ProfileTest, RenameMovesASectionVerbatim) {
  Document d("[Region5]\nName=  Spaced  \n; note\nW=12345\n\n[CustomerSlide4]\nX=1\n");
  ASSERT_TRUE(d.renameSection("region5", "Region4"));
  EXPECT_EQ(d.text(), "[Region4]\nName=  Spaced  \n; note\nW=12345\n\n[CustomerSlide4]\nX=1\n");
  EXPECT_FALSE(d.renameSection("Region4", "customerslide4"));  // would make a duplicate
  EXPECT_EQ(errno, EEXIST);
  EXPECT_FALSE(d.renameSection("Nothing", "Else"));
  EXPECT_TRUE(d.renameSection("Region4", "REGION4"));  // a new spelling of its own name
  EXPECT_TRUE(d.hasSection("region4"));
}

TEST_F(ProfileTest, CopyTakesASectionAcrossByteForByte) {
  // Values set() would refuse (a lone CR, a NUL), a comment, CRLF and a last line without
  // a line end: all of it reaches the copy as it was.
  const std::string body = std::string("Name=Odd\r\nDesc=one\rtwo\nNul=a\0b\n; note\r\nLast=x", 45);
  const Document from("[Other]\nA=1\n[Profile3]\r\n" + body);
  Document to("[Profiles]\nCount=1\n");
  ASSERT_TRUE(to.copySection(from, "profile3", "Profile1"));
  EXPECT_EQ(to.text(), "[Profiles]\nCount=1\n\n[Profile1]\n" + body + "\n");
  EXPECT_EQ(to.get("Profile1", "Desc"), "one\rtwo");
  EXPECT_EQ(to.get("Profile1", "Nul"), std::string("a\0b", 3));

  const std::string before = to.text();
  const struct {
    const char* fromSection;
    const char* to;
    int error;
  } refused[] = {
      {"Profile3", "profile1", EEXIST},  // already there, in any case
      {"Missing", "Profile2", ENOENT},
      {"Profile3", "Bad]", EINVAL},
      {"Profile3", "", EINVAL},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.to);
    errno = 0;
    EXPECT_FALSE(to.copySection(from, c.fromSection, c.to));
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(to.text(), before);
  }
}

TEST_F(ProfileTest, RefusesWhatWouldBreakTheFile) {
  struct Case {
    std::string section, key, value;
  } cases[] = {
      {"S", "K", "line\r\nbreak"},
      {"S", "K", "lf\nonly"},
      {"S", "K", std::string("nul\0x", 5)},
      {"", "K", "v"},
      {"S", "", "v"},
      {"S]", "K", "v"},
      {"S", "K=1", "v"},
      {"S", "[K", "v"},
      {"S", ";K", "v"},
      {"S\n", "K", "v"},
  };
  for (const auto& c : cases) {
    Document d("[S]\nK=old\n");
    errno = 0;
    EXPECT_FALSE(d.set(c.section, c.key, c.value)) << c.section << "|" << c.key;
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(d.text(), "[S]\nK=old\n");
  }
}

TEST_F(ProfileTest, WritesReplaceTheFileWholeAndKeepItsMode) {
  const std::string p = path();
  ASSERT_TRUE(profile::writeString(p, "S", "K", "v"));  // creates
  EXPECT_EQ(readFile(p), "[S]\nK=v\n");
  ::chmod(p.c_str(), 0640);
  const auto before = profile::fileStamp(p);
  ASSERT_TRUE(profile::edit(p, [](Document& d) { return d.set("S", "K", "w") && d.set("T", "a", "1"); }));
  const auto after = profile::fileStamp(p);
  ASSERT_TRUE(before && after);
  EXPECT_NE(before->inode, after->inode);  // replaced, not rewritten in place
  struct stat st {};
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(profile::getString(p, "s", "k"), "w");
  EXPECT_EQ(profile::getInt(p, "T", "a", 0), 1);

  // An edit that changes nothing, or gives up, leaves the very same file.
  ASSERT_TRUE(profile::deleteKey(p, "S", "missing"));
  EXPECT_FALSE(profile::edit(p, [](Document& d) { return d.set("S", "K", "lost") && false; }));
  EXPECT_EQ(profile::fileStamp(p), after);
  EXPECT_EQ(readFile(p), "[S]\nK=w\n\n[T]\na=1\n");

  ASSERT_TRUE(profile::deleteSection(p, "S"));
  EXPECT_THAT(profile::sectionNames(p), ElementsAre("T"));
  EXPECT_THAT(folderEntries(), ElementsAre("test.ini"));  // no temporary file left behind
}

TEST_F(ProfileTest, FailedWritesLeaveTheOldFileAsItWas) {
  // Read-only attribute: refused even for root, which rename() would let through.
  const std::string ro = path("ro.ini");
  writeFile(ro, "[S]\r\nK=1\r\n");
  ::chmod(ro.c_str(), 0444);
  EXPECT_TRUE(profile::isReadOnly(ro));
  EXPECT_FALSE(profile::writeString(ro, "S", "K", "2"));
  EXPECT_EQ(platform::lastError(), EACCES);
  EXPECT_EQ(readFile(ro), "[S]\r\nK=1\r\n");

  // No folder.
  EXPECT_FALSE(profile::writeString(path("missing/x.ini"), "S", "K", "v"));
  EXPECT_EQ(platform::lastError(), ENOENT);

  // A file too large to be read is neither read nor overwritten.
  const std::string big = path("big.ini");
  writeFile(big, "[S]\nK=1\n" + std::string(profile::kMaxFileBytes, ';'));
  EXPECT_FALSE(profile::read(big).has_value());
  EXPECT_EQ(platform::lastError(), EFBIG);
  EXPECT_EQ(profile::getString(big, "S", "K", "dflt"), "dflt");
  EXPECT_FALSE(profile::writeString(big, "S", "K", "2"));
  EXPECT_EQ(*platform::fileSize(big), 8 + profile::kMaxFileBytes);

  // A folder where the file should be.
  std::filesystem::create_directory(path("dir.ini"));
  EXPECT_FALSE(profile::read(path("dir.ini")).has_value());
  EXPECT_FALSE(profile::writeString(path("dir.ini"), "S", "K", "v"));
  EXPECT_TRUE(std::filesystem::is_directory(path("dir.ini")));

  EXPECT_THAT(folderEntries(), ElementsAre("big.ini", "dir.ini", "ro.ini"));
}

TEST_F(ProfileTest, AWriteThroughALinkKeepsTheLink) {
  std::filesystem::create_directory(path("real"));
  writeFile(path("real/a.ini"), "[S]\nK=1\n");
  std::filesystem::create_symlink(path("real/a.ini"), path("link.ini"));
  ASSERT_TRUE(profile::writeString(path("link.ini"), "S", "K", "2"));
  EXPECT_TRUE(std::filesystem::is_symlink(path("link.ini")));
  EXPECT_EQ(readFile(path("real/a.ini")), "[S]\nK=2\n");
}

TEST_F(ProfileTest, ConcurrentEditsLoseNothing) {
  const std::string p = path();
  constexpr int kPerThread = 50;
  const auto bump = [&] {
    for (int i = 0; i < kPerThread; ++i)
      ASSERT_TRUE(profile::edit(
          p, [](Document& d) { return d.set("C", "n", std::to_string(d.getInt("C", "n", 0) + 1)); }));
  };
  std::thread a(bump), b(bump);
  a.join();
  b.join();
  EXPECT_EQ(profile::getInt(p, "C", "n", 0), 2 * kPerThread);
}

TEST_F(ProfileTest, FileStampTellsReplacedFilesApart) {
  const std::string p = path();
  EXPECT_FALSE(profile::fileStamp(p).has_value());
  writeFile(p, "[S]\nK=1\n");
  const auto first = profile::fileStamp(p);
  ASSERT_TRUE(profile::writeString(p, "S", "K", "2"));  // same size
  const auto second = profile::fileStamp(p);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size, second->size);
  EXPECT_NE(first, second);
  EXPECT_EQ(profile::fileStamp(p), second);
}

TEST_F(ProfileTest, FolderWatchWakesOnChangesAndOnRequest) {
  profile::FolderWatch watch;
  EXPECT_EQ(watch.wait(), profile::FolderWatch::Wake::failed);  // not open
  EXPECT_FALSE(watch.open(path("missing")));
  ASSERT_TRUE(watch.open(tempDir()));

  watch.wake();  // kept for the next wait
  EXPECT_EQ(watch.wait(), profile::FolderWatch::Wake::woken);

  ASSERT_TRUE(profile::writeString(path(), "S", "K", "v"));
  EXPECT_EQ(watch.wait(), profile::FolderWatch::Wake::changed);  // every pending event at once

  // A waiter on another thread is woken from here (whether it already waits or not).
  profile::FolderWatch::Wake seen = profile::FolderWatch::Wake::failed;
  std::thread t([&] { seen = watch.wait(); });
  watch.wake();
  t.join();
  EXPECT_EQ(seen, profile::FolderWatch::Wake::woken);
}

TEST(ProfileNames, NumberedSectionNames) {
  struct Case {
    std::string_view name;
    int number;
  };
  const Case cases[] = {
      {"Region7", 7},  {"region12", 12}, {"REGION999999999", 999999999},
      {"Region07", 0}, {"Region", 0},    {"Region-1", 0},
      {"Region1x", 0}, {"Profile3", 0},  {"Region1000000000", 0},  // ten digits
      {"Regio", 0},    {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    EXPECT_EQ(profile::sectionNumber(c.name, "Region"), c.number);
  }
}

}  // namespace
