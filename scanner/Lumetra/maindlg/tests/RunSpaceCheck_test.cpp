#include "maindlg/RunSpaceCheck.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "ReadOnlyFolder.h"
#include "config/CarouselCfgInfo.h"
#include "platform/files.h"
#include "testsupport/TestEnv.h"

namespace {

using namespace lumetra::maindlg;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

// Folders under /mnt/<drive>/...: the drive is the second path element.
class FakeDrives {
 public:
  std::map<std::string, DriveType> types{{"/mnt/a", DriveType::local},
                                         {"/mnt/b", DriveType::local},
                                         {"/mnt/net", DriveType::remote},
                                         {"/mnt/cd", DriveType::cdrom},
                                         {"/mnt/ram", DriveType::ramDisk}};
  std::map<std::string, std::uint64_t> free;
  std::string temp = "/mnt/a/tmp";
  // Folders that refuse new files, with the error they give; and the folders tried.
  std::map<std::string, int> unwritable;
  std::vector<std::string> tried;

  FileSystemQueries queries() {
    FileSystemQueries fs;
    fs.folderExists = [](const std::string& p) {
      return p.rfind("/mnt/", 0) == 0 && p.find("missing") == std::string::npos &&
             p.find("file") == std::string::npos;
    };
    fs.fileExists = [](const std::string& p) { return p.find("file") != std::string::npos; };
    fs.writeTrial = [this](const std::string& p) {
      tried.push_back(p);
      const auto found = unwritable.find(p);
      return found == unwritable.end() ? 0 : found->second;
    };
    fs.driveOf = [](const std::string& p) { return p.substr(0, p.find('/', 5)); };
    fs.driveType = [this](const std::string& p) { return types.at(p.substr(0, p.find('/', 5))); };
    fs.freeBytes = [this](const std::string& d, int* error) -> std::optional<std::uint64_t> {
      if (!free.count(d)) {
        *error = 5;
        return std::nullopt;
      }
      return free.at(d);
    };
    fs.tempScanPath = [this] { return temp; };
    return fs;
  }
};

class SpaceCheckTest : public ::testing::Test {
 protected:
  SpaceCheckTest() {
    cfg_.FirstSlot = 1;
    cfg_.LastSlot = 48;
  }
  std::int64_t addSlot(int slot, const std::string& folder, int width = 20000, int height = 10000) {
    auto info = CSlotScanCfgInfo::CreateObject();
    info->OutputPath = folder;
    info->RegionWidth = width;
    info->RegionHeight = height;
    info->ResolutionType = 2;
    const std::int64_t bytes = info->EstimateImageBytes();
    cfg_.SetAt(slot, std::move(info));
    cfg_.SlotUsed[slot - 1] = 1;
    return bytes;
  }
  std::string failure() {
    try {
      CheckDiskSpace(&cfg_, drives_.queries());
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return {};
  }
  CCarouselCfgInfo cfg_;
  FakeDrives drives_;
};

TEST_F(SpaceCheckTest, SlotsOnOneDriveAddUpAndTheTemporaryDriveNeedsThreeLargestImages) {
  const std::int64_t small = addSlot(1, "/mnt/b/out");
  const std::int64_t large = addSlot(2, "/mnt/b/out2", 40000, 20000);
  addSlot(3, "/mnt/a/images", 20000, 10000);
  ASSERT_GT(large, small);
  const std::int64_t onA = small + 3 * large;  // slot 3's image (as big as slot 1's) plus the temporary files

  struct Case {
    std::int64_t freeB, freeA;
    std::string failureStart;
  };
  const Case cases[] = {
      {small + large + 1, onA + 1, ""},
      {small + large, onA + 1, "Not enough free space on drive '/mnt/b': Total free bytes available = "},
      {small + large + 1, onA,
       "Not enough free space on drive '/mnt/a': Total free bytes available = " + std::to_string(onA) +
           ", Required (images + temporary files) = " + std::to_string(onA)},
  };
  for (const Case& c : cases) {
    drives_.free = {{"/mnt/b", static_cast<std::uint64_t>(c.freeB)},
                    {"/mnt/a", static_cast<std::uint64_t>(c.freeA)}};
    const std::string text = failure();
    if (c.failureStart.empty())
      EXPECT_EQ(text, "");
    else
      EXPECT_EQ(text.substr(0, c.failureStart.size()), c.failureStart);
  }
  drives_.free = {{"/mnt/b", static_cast<std::uint64_t>(small + large)}, {"/mnt/a", 1ull << 50}};
  EXPECT_EQ(failure(), "Not enough free space on drive '/mnt/b': Total free bytes available = " +
                           std::to_string(small + large) + ", Required = " + std::to_string(small + large));
}

TEST_F(SpaceCheckTest, FoldersAndDrivesNoRunMayUse) {
  drives_.free = {
      {"/mnt/a", 1ull << 50}, {"/mnt/net", 1ull << 50}, {"/mnt/cd", 1ull << 50}, {"/mnt/ram", 1ull << 50}};
  struct Case {
    std::string folder;
    std::string failure;
  };
  const Case cases[] = {
      {"/mnt/net/share", ""},  // a network mount is asked for its own space
      {"/mnt/ram/scans", ""},
      {"/mnt/cd/disc", "Invalid output path '/mnt/cd/disc': The drive is a CD-ROM drive"},
      {"/mnt/a/missing", "Output Path '/mnt/a/missing' does not exist"},
      {"", "Output Path '' does not exist"},
      {"/mnt/a/file.tif",
       "Output Path '/mnt/a/file.tif' is a file, not a folder. Choose a folder as the output path."},
      {"/mnt/a/readonly",
       "Output Path '/mnt/a/readonly' is not writable: Read-only file system. Choose "
       "another output folder, or give this user write access to it."},
      {"/mnt/a/locked", "Output Path '/mnt/a/locked' is not writable: Permission denied."},
      {"/mnt/b/x", "Failed to get drive '/mnt/b' disk free space: "},
  };
  drives_.unwritable = {{"/mnt/a/readonly", EROFS}, {"/mnt/a/locked", EACCES}, {"/mnt/cd/disc", EROFS}};
  for (const Case& c : cases) {
    cfg_.RemoveAll();
    cfg_.ClearSlotFlags();
    addSlot(5, c.folder);
    if (c.failure.empty()) {
      EXPECT_EQ(failure(), "") << c.folder;
    } else {
      EXPECT_EQ(failure().substr(0, c.failure.size()), c.failure) << c.folder;
    }
  }
  drives_.types["/mnt/a"] = DriveType::noRoot;
  cfg_.RemoveAll();
  addSlot(5, "/mnt/a/x");
  EXPECT_EQ(failure(), "Invalid output path '/mnt/a/x': The drive root path is invalid");
}

// Each folder is tried once however many slots write there, and only once it passed the
// checks before: a missing folder or a CD-ROM says what it is, not that it is not writable.
TEST_F(SpaceCheckTest, EachFolderIsTriedForWritingOnceAfterItsOtherChecks) {
  drives_.free = {{"/mnt/a", 1ull << 50}, {"/mnt/b", 1ull << 50}, {"/mnt/cd", 1ull << 50}};
  addSlot(1, "/mnt/a/x");
  addSlot(2, "/mnt/a/x");
  addSlot(3, "/mnt/b/y");
  EXPECT_EQ(failure(), "");
  EXPECT_EQ(drives_.tried, (std::vector<std::string>{"/mnt/a/x", "/mnt/b/y"}));

  addSlot(4, "/mnt/a/missing");
  EXPECT_EQ(failure(), "Output Path '/mnt/a/missing' does not exist");
  addSlot(4, "/mnt/cd/disc");
  EXPECT_EQ(failure(), "Invalid output path '/mnt/cd/disc': The drive is a CD-ROM drive");
  EXPECT_THAT(drives_.tried, Not(Contains("/mnt/a/missing")));
  EXPECT_THAT(drives_.tried, Not(Contains("/mnt/cd/disc")));
  // Slot 3's folder refuses new files: the run is refused before any space is asked for.
  drives_.unwritable = {{"/mnt/b/y", EACCES}};
  cfg_.SlotUsed[3] = 0;
  drives_.free.clear();
  EXPECT_THAT(failure(), HasSubstr("Output Path '/mnt/b/y' is not writable: Permission denied."));
}

// The system's own answers: a file where the folder should be, and a folder that refuses
// new files (the trial leaves nothing behind in a folder that takes them).
TEST(SpaceCheckSystem, AFileInTheFoldersPlaceAndAFolderThatRefusesNewFiles) {
  testsupport::TempDir dir;
  const FileSystemQueries fs = FileSystemQueries::System();
  std::string text;

  const std::string file = dir.path() + "/scans";
  ASSERT_TRUE(platform::replaceFileContents(file, "x"));
  EXPECT_FALSE(CheckOutputPath(fs, file, text));
  EXPECT_EQ(text, "Output Path '" + file + "' is a file, not a folder. Choose a folder as the output path.");

  const std::string open = dir.path() + "/open";
  ASSERT_TRUE(platform::createDirectories(open));
  EXPECT_TRUE(CheckOutputPath(fs, open, text));
  EXPECT_TRUE(CheckOutputPathWritable(fs, open, text)) << text;
  EXPECT_TRUE(platform::listDirectory(open).empty());

  const std::string locked = dir.path() + "/locked";
  ASSERT_TRUE(platform::createDirectories(locked));
  lumetra_test::ReadOnlyFolder readOnly(locked);
  if (!readOnly.Refuses()) GTEST_SKIP() << readOnly.Why();
  EXPECT_TRUE(CheckOutputPath(fs, locked, text));
  EXPECT_FALSE(CheckOutputPathWritable(fs, locked, text));
  EXPECT_EQ(text, "Output Path '" + locked +
                      "' is not writable: " + platform::systemErrorText(readOnly.ExpectedError()) +
                      ". Choose another output folder, or give this user write access to it.");
}

// The system's own answers: a folder on a RAM disk (/dev/shm is tmpfs) is one, and a run
// may write there.
TEST(SpaceCheckSystem, ARamDiskFolderIsARamDiskAndMayBeWrittenTo) {
  const FileSystemQueries fs = FileSystemQueries::System();
  EXPECT_EQ(fs.driveType("/dev/shm"), DriveType::ramDisk);
  std::string text;
  EXPECT_TRUE(CheckDriveType(DriveType::ramDisk, text));
  EXPECT_FALSE(CheckDriveType(DriveType::cdrom, text));
  EXPECT_EQ(text, "The drive is a CD-ROM drive");
}

TEST_F(SpaceCheckTest, OnlyUsedSlotsInTheRangeCount) {
  drives_.free = {{"/mnt/a", 1ull << 50}};
  addSlot(1, "/mnt/cd/disc");
  cfg_.SlotUsed[0] = 0;  // not used
  addSlot(40, "/mnt/a/missing");
  cfg_.LastSlot = 39;  // outside the range
  EXPECT_EQ(failure(), "");
  EXPECT_FALSE(CheckDiskSpace(nullptr, drives_.queries()));
}

}  // namespace
