#include "platform/files.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "testsupport/TestEnv.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using testsupport::readFile;
using testsupport::writeFile;

class FilesTest : public testsupport::ZevaTest {};

[[gnu::noinline]] int localFunction() { return 1; }

TEST_F(FilesTest, ExclusiveOpenTellsBadPathInUseAndOtherApart) {
  const std::string held = tempDir() + "/held.log";
  const std::string plainFile = tempDir() + "/plain";
  writeFile(plainFile, "x");
  File holder;
  ASSERT_TRUE(holder.openExclusive(held, OpenMode::append));

  struct Case {
    std::string path;
    OpenError error;
    int code;
  };
  const Case cases[] = {
      {tempDir() + "/missing-folder/a.log", OpenError::badPath, ENOENT},
      {plainFile + "/a.log", OpenError::badPath, ENOTDIR},  // a file where a folder should be
      {tempDir() + "/" + std::string(300, 'n'), OpenError::badPath, ENAMETOOLONG},
      {"", OpenError::badPath, ENOENT},
      // flock belongs to the open file description: a second open in this very process
      // is refused like one from another process.
      {held, OpenError::inUse, EWOULDBLOCK},
      {tempDir(), OpenError::other, EISDIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    for (const OpenMode mode : {OpenMode::create, OpenMode::append}) {
      File f;
      EXPECT_FALSE(f.openExclusive(c.path, mode));
      EXPECT_FALSE(f.isOpen());
      EXPECT_EQ(f.error(), c.error);
      EXPECT_EQ(f.errorCode(), c.code);
    }
  }

  // Once the holder lets go, the file is free again.
  holder.close();
  File after;
  EXPECT_TRUE(after.openExclusive(held, OpenMode::append));
  EXPECT_EQ(after.error(), OpenError::none);
}

TEST_F(FilesTest, CreateEmptiesAppendKeepsAndNeitherTouchesAFileHeldByAnotherWriter) {
  const std::string path = tempDir() + "/scan.log";
  writeFile(path, "old\n");
  {
    File f;
    ASSERT_TRUE(f.openExclusive(path, OpenMode::append));
    EXPECT_EQ(f.size(), 4u);
    ASSERT_TRUE(f.write("more\n"));
    ASSERT_TRUE(f.flush());
    // Written straight to the kernel: a reader sees it while the file is still open.
    EXPECT_EQ(readFile(path), "old\nmore\n");

    File intruder;
    EXPECT_FALSE(intruder.openExclusive(path, OpenMode::create));
    EXPECT_EQ(intruder.error(), OpenError::inUse);
    EXPECT_EQ(readFile(path), "old\nmore\n") << "a refused create must not empty the holder's file";
  }
  {
    File f;
    ASSERT_TRUE(f.openExclusive(path, OpenMode::create));
    EXPECT_EQ(f.size(), 0u);
    ASSERT_TRUE(f.write(std::string_view("new")));
  }
  EXPECT_EQ(readFile(path), "new");

  File created;
  ASSERT_TRUE(created.openExclusive(tempDir() + "/fresh", OpenMode::append));
  EXPECT_EQ(created.size(), 0u);
}

TEST_F(FilesTest, FileMovesKeepTheLockAndClosedFilesRefuseWrites) {
  const std::string path = tempDir() + "/moved.log";
  File a;
  ASSERT_TRUE(a.openExclusive(path, OpenMode::create));
  File b(std::move(a));
  EXPECT_FALSE(a.isOpen());  // NOLINT(bugprone-use-after-move): moved-from state is specified
  ASSERT_TRUE(b.isOpen());
  EXPECT_EQ(b.path(), path);

  File c;
  ASSERT_TRUE(c.openExclusive(tempDir() + "/other.log", OpenMode::create));
  c = std::move(b);  // closes c's own file, takes over b's
  EXPECT_TRUE(c.write("x"));
  File probe;
  EXPECT_FALSE(probe.openExclusive(path, OpenMode::append));
  EXPECT_TRUE(probe.openExclusive(tempDir() + "/other.log", OpenMode::append));

  c.close();
  EXPECT_FALSE(c.write("y"));
  EXPECT_EQ(c.errorCode(), EBADF);
  EXPECT_EQ(readFile(path), "x");
}

TEST_F(FilesTest, CopyNoOverwriteRefusesAnExistingTargetAndLeavesNothingPartial) {
  const std::string src = tempDir() + "/src.bin";
  std::string payload(200'000, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  writeFile(src, payload);

  const std::string dst = tempDir() + "/dst.bin";
  ASSERT_TRUE(copyFileNoOverwrite(src, dst));
  EXPECT_EQ(readFile(dst), payload);

  const std::string existing = tempDir() + "/existing.bin";
  writeFile(existing, "keep me");
  EXPECT_FALSE(copyFileNoOverwrite(src, existing));
  EXPECT_EQ(lastError(), EEXIST);
  EXPECT_EQ(readFile(existing), "keep me");

  EXPECT_FALSE(copyFileNoOverwrite(tempDir() + "/none", tempDir() + "/out1"));
  EXPECT_EQ(lastError(), ENOENT);
  EXPECT_FALSE(fileExists(tempDir() + "/out1"));

  // A folder cannot be copied as a file; nothing is left at the target.
  EXPECT_FALSE(copyFileNoOverwrite(tempDir(), tempDir() + "/out2"));
  EXPECT_EQ(lastError(), EISDIR);
  EXPECT_FALSE(fileExists(tempDir() + "/out2"));
}

// What may sit where a writer or a copier expects a stored file: none of it may hold the
// caller (a FIFO without a peer), run it without end (a device) or be written through.
TEST_F(FilesTest, WritersAndCopiersTakeOnlyRegularFilesAndNeverBlock) {
  const std::string dir = tempDir();
  testsupport::makeFifo(dir + "/fifo");
  testsupport::makeFifo(dir + "/read-fifo");
  ASSERT_EQ(::symlink("/dev/zero", (dir + "/zero").c_str()), 0);
  ASSERT_EQ(::mkdir((dir + "/folder").c_str(), 0700), 0);
  // A FIFO with a reader lets a writer's open through at once: the type check must still refuse it.
  const int reader = ::open((dir + "/read-fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const UniqueFd readerGuard(reader);

  const struct {
    const char* name;
    int error;
  } cases[] = {
      {"fifo", ENODEV},
      {"read-fifo", ENODEV},
      {"zero", ENODEV},
      {"folder", EISDIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/" + c.name;
    const std::string copy = dir + "/copy-of-" + c.name;
    for (const OpenMode mode : {OpenMode::create, OpenMode::append}) {
      File f;
      bool opened = true;
      ASSERT_TRUE(testsupport::endsWithoutAReader([&] { opened = f.openExclusive(path, mode); }, path));
      EXPECT_FALSE(opened);
      EXPECT_EQ(f.error(), OpenError::other);
      EXPECT_EQ(f.errorCode(), c.error);
    }
    for (const FileAccess access : {FileAccess::read, FileAccess::readWrite, FileAccess::create}) {
      UniqueFd fd;
      int error = 0;
      const auto open = [&] {
        fd = openFile(path, access);
        error = fd ? 0 : errno;
      };
      ASSERT_TRUE(access == FileAccess::read ? testsupport::endsWithoutAWriter(open, path)
                                             : testsupport::endsWithoutAReader(open, path));
      EXPECT_FALSE(fd);
      EXPECT_EQ(error, c.error);
    }
    bool copied = true;
    int error = 0;
    ASSERT_TRUE(testsupport::endsWithoutAWriter(
        [&] {
          copied = copyFileNoOverwrite(path, copy);
          error = copied ? 0 : errno;
        },
        path));
    EXPECT_FALSE(copied);
    EXPECT_EQ(error, c.error);
    EXPECT_FALSE(fileExists(copy)) << "a refused copy leaves nothing at the target";
  }
  EXPECT_EQ(fileErrorText(ENODEV), "it is not a regular file (a pipe, socket or device)");
  EXPECT_EQ(fileErrorText(ENOENT), systemErrorText(ENOENT));
}

TEST_F(FilesTest, ExistenceSizeTimesAndFolders) {
  const std::string file = tempDir() + "/a.txt";
  writeFile(file, "12345");
  EXPECT_TRUE(fileExists(file));
  EXPECT_FALSE(fileExists(tempDir()));
  EXPECT_FALSE(fileExists(file + ".missing"));
  EXPECT_TRUE(directoryExists(tempDir()));
  EXPECT_FALSE(directoryExists(file));
  EXPECT_EQ(fileSize(file), 5u);
  EXPECT_EQ(fileSize(tempDir()), std::nullopt);

  const auto created = creationTime(file);
  const auto modified = modificationTime(file);
  ASSERT_TRUE(created && modified);
  EXPECT_LE(*created, *modified);
  EXPECT_EQ(creationTime(file + ".missing"), std::nullopt);

  const std::string deep = tempDir() + "/x/y/z";
  EXPECT_FALSE(createDirectory(deep));  // one level only
  EXPECT_TRUE(createDirectories(deep));
  EXPECT_TRUE(createDirectories(deep));  // already there
  EXPECT_TRUE(directoryExists(deep));
  EXPECT_FALSE(createDirectories(file + "/sub"));

  EXPECT_TRUE(removeFile(file));
  EXPECT_FALSE(removeFile(file));
  EXPECT_EQ(lastError(), ENOENT);
}

TEST_F(FilesTest, ListDirectoryMatchesThePatternAndSorts) {
  for (const char* name : {"b.log", "a.log", "c.txt", ".hidden.log", "A.LOG"})
    writeFile(tempDir() + "/" + name, "");
  EXPECT_TRUE(createDirectory(tempDir() + "/d.log"));
  EXPECT_THAT(listDirectory(tempDir(), "*.log"), ElementsAre(".hidden.log", "a.log", "b.log", "d.log"));
  EXPECT_THAT(listDirectory(tempDir()),
              ElementsAre(".hidden.log", "A.LOG", "a.log", "b.log", "c.txt", "d.log"));
  EXPECT_TRUE(listDirectory(tempDir() + "/missing").empty());
}

TEST_F(FilesTest, FreeSpaceAndMountPointFollowTheNearestExistingParent) {
  const auto space = freeSpace(tempDir());
  ASSERT_TRUE(space);
  EXPECT_GT(*space, 0u);
  EXPECT_TRUE(freeSpace(tempDir() + "/not/yet/made"));

  const std::string mp = mountPoint(tempDir());
  ASSERT_FALSE(mp.empty());
  char* real = ::realpath(tempDir().c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  const std::string canonicalTemp = real;
  ::free(real);
  EXPECT_TRUE(mp == "/" || canonicalTemp == mp || canonicalTemp.rfind(mp + "/", 0) == 0) << mp;
  EXPECT_EQ(mountPoint(tempDir() + "/not/yet/made"), mp);
  EXPECT_EQ(mountPoint("/"), "/");

  EXPECT_NE(driveKind(tempDir()), DriveKind::noRoot);
  EXPECT_NE(driveKind(tempDir()), DriveKind::remote);
  EXPECT_EQ(driveKind("/proc"), DriveKind::local);
}

TEST_F(FilesTest, DriveKindsComeFromTheFileSystemTypeAndItsBlockDevice) {
  // A sysfs of four disks: fixed, a USB stick with a partition, an optical drive.
  const std::string sys = tempDir() + "/sys";
  for (const char* dir : {"/block/sda/device", "/block/sdb/sdb1", "/block/sr0/device", "/dev/block"})
    ASSERT_TRUE(createDirectories(sys + dir));
  writeFile(sys + "/block/sda/removable", "0\n");
  writeFile(sys + "/block/sda/device/type", "0\n");
  writeFile(sys + "/block/sdb/removable", "1\n");
  writeFile(sys + "/block/sr0/removable", "1\n");
  writeFile(sys + "/block/sr0/device/type", "5\n");
  const std::pair<const char*, const char*> links[] = {{"8:0", "sda"}, {"8:17", "sdb/sdb1"}, {"11:0", "sr0"}};
  for (const auto& [devno, target] : links)
    ASSERT_EQ(
        ::symlink((std::string("../../block/") + target).c_str(), (sys + "/dev/block/" + devno).c_str()), 0);

  struct Case {
    const char* type;
    unsigned major, minor;
    DriveKind kind;
  };
  const Case cases[] = {
      {"ext4", 8, 0, DriveKind::local},
      {"vfat", 8, 17, DriveKind::removable},
      {"iso9660", 11, 0, DriveKind::cdrom},
      {"udf", 11, 0, DriveKind::cdrom},
      {"ext4", 11, 0, DriveKind::cdrom},
      {"iso9660", 7, 3, DriveKind::cdrom},  // a loop-mounted image
      {"udf", 7, 0, DriveKind::cdrom},
      {"tmpfs", 0, 31, DriveKind::ramDisk},
      // UDF on a disk is a disk like any other: a disc only on an optical or loop device.
      {"udf", 8, 0, DriveKind::local},
      {"udf", 8, 17, DriveKind::removable},
      {"udf", 9, 9, DriveKind::local},
      {"ramfs", 0, 32, DriveKind::ramDisk},
      {"nfs4", 0, 50, DriveKind::remote},
      {"fuse.sshfs", 0, 51, DriveKind::remote},
      {"proc", 0, 22, DriveKind::local},
      {"xfs", 9, 9, DriveKind::local},  // a device sysfs does not describe
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " on " + std::to_string(c.major) + ":" + std::to_string(c.minor));
    EXPECT_EQ(classifyDrive(c.type, c.major, c.minor, sys), c.kind);
  }

  // A real RAM disk: /dev/shm is tmpfs.
  const std::string shm = "/dev/shm/zeva-drive-" + std::to_string(::getpid());
  ASSERT_TRUE(createDirectory(shm));
  EXPECT_EQ(driveKind(shm), DriveKind::ramDisk);
  EXPECT_EQ(driveKind(shm + "/not/yet/made"), DriveKind::ramDisk);
  ::rmdir(shm.c_str());
}

TEST_F(FilesTest, TempFilesAreUniqueAndInTheTempFolder) {
  EXPECT_EQ(tempDirectory(), tempDir());  // the fixture's TMPDIR
  ::setenv("TMPDIR", (tempDir() + "//").c_str(), 1);
  EXPECT_EQ(tempDirectory(), tempDir());
  ::setenv("TMPDIR", "", 1);
  EXPECT_EQ(tempDirectory(), "/tmp");

  const std::string a = uniqueTempFile(tempDir(), "scan");
  const std::string b = uniqueTempFile(tempDir() + "/", "scan");
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_NE(a, b);
  EXPECT_EQ(directoryOf(a), tempDir() + "/");
  EXPECT_EQ(fileNameOf(b).rfind("scan", 0), 0u);
  EXPECT_EQ(fileSize(a), 0u);
  EXPECT_EQ(uniqueTempFile(tempDir() + "/missing", "scan"), "");
}

TEST_F(FilesTest, DeferredRemovalTakesTheNameAtOnceAndFreesTheFileLater) {
  const std::string big = tempDir() + "/big.bin";
  writeFile(big, std::string(3 << 20, 'x'));
  const std::string link = tempDir() + "/link";
  ASSERT_EQ(::symlink(big.c_str(), link.c_str()), 0);

  EXPECT_TRUE(removeFileDeferred(big));
  EXPECT_FALSE(fileExists(big));  // the name is gone before the call returns
  // A link is removed as a link; its target is not touched.
  writeFile(big, "kept");
  EXPECT_TRUE(removeFileDeferred(link));
  EXPECT_EQ(readFile(big), "kept");
  EXPECT_FALSE(removeFileDeferred(tempDir() + "/missing"));
  EXPECT_EQ(errno, ENOENT);
  waitForDeferredRemovals();
  waitForDeferredRemovals();  // nothing pending: returns at once
}

TEST_F(FilesTest, ProcessIdentity) {
  const std::string name = computerName();
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 15u);
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(std::string(host).substr(0, 15), name);

  const std::string exe = executablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe.front(), '/');
  EXPECT_TRUE(fileExists(exe));

  const auto args = commandLineArguments();
  ASSERT_FALSE(args.empty());
  EXPECT_EQ(fileNameOf(args.front()), fileNameOf(exe));

  // The main program resolves to the executable's file, not dladdr's argv[0]-like name.
  static const int inThisProgram = 0;
  EXPECT_EQ(modulePathOf(&inThisProgram), exe);
  EXPECT_EQ(modulePathOf(reinterpret_cast<const void*>(&localFunction)), exe);
  // A shared library resolves to its own file.
  const std::string library = modulePathOf(reinterpret_cast<const void*>(&modulePathOf));
  ASSERT_FALSE(library.empty());
  EXPECT_EQ(library.front(), '/');
  EXPECT_NE(library, exe);
  EXPECT_TRUE(fileExists(library));
  EXPECT_EQ(modulePathOf(nullptr), "");

  // What the kernel maps: the files themselves; nothing for memory of no file.
  EXPECT_EQ(mappedFileAt(reinterpret_cast<const void*>(&localFunction)), exe);
  EXPECT_EQ(mappedFileAt(reinterpret_cast<const void*>(&modulePathOf)), library);
  const int onTheStack = 0;
  EXPECT_EQ(mappedFileAt(&onTheStack), "");
  EXPECT_EQ(mappedFileAt(nullptr), "");
}

TEST_F(FilesTest, ErrorTexts) {
  EXPECT_FALSE(systemErrorText(ENOENT).empty());
  EXPECT_FALSE(systemErrorText(EACCES).empty());
  EXPECT_EQ(systemErrorText(98765), "");
  EXPECT_EQ(systemErrorText(-3), "");
  setLastError(EEXIST);
  EXPECT_EQ(lastError(), EEXIST);
}

TEST(PathPieces, SplitOnSlashes) {
  struct Case {
    std::string path, dir, name, stem, ext;
  };
  const Case cases[] = {
      {"/data/scan/image.tif", "/data/scan/", "image.tif", "image", ".tif"},
      {"image.tif", "", "image.tif", "image", ".tif"},
      {"/image", "/", "image", "image", ""},
      {"archive.tar.gz", "", "archive.tar.gz", "archive.tar", ".gz"},
      {"/data/.profile", "/data/", ".profile", ".profile", ""},  // a leading dot is no extension
      {"/data/.old.ini", "/data/", ".old.ini", ".old", ".ini"},
      {"dir.d/file", "dir.d/", "file", "file", ""},  // a dot in a folder is not the file's
      {"/data/scan/", "/data/scan/", "", "", ""},
      {"name.", "", "name.", "name", "."},
      {"..", "", "..", "..", ""},
      {"", "", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(directoryOf(c.path), c.dir);
    EXPECT_EQ(fileNameOf(c.path), c.name);
    EXPECT_EQ(stemOf(c.path), c.stem);
    EXPECT_EQ(extensionOf(c.path), c.ext);
  }
}

TEST_F(FilesTest, ProjectLibrariesAreInTheirOwnFolderWhenInstalledElseBesideTheProgram) {
  const std::string prefix = tempDir() + "/prefix";
  ASSERT_TRUE(createDirectories(prefix + "/bin"));
  EXPECT_EQ(projectLibraryFolder(prefix + "/bin/brokla"), prefix + "/bin/");  // a build tree
  ASSERT_TRUE(createDirectories(prefix + "/lib/zevazodizo"));
  EXPECT_EQ(projectLibraryFolder(prefix + "/bin/brokla"), prefix + "/lib/zevazodizo/");
  EXPECT_EQ(projectLibraryFolder(prefix + "/bin//brokla"), prefix + "/lib/zevazodizo/");
  EXPECT_EQ(projectLibraryFolder("brokla"), "");
}

TEST_F(FilesTest, OpenFileByAccess) {
  const std::string file = tempDir() + "/data.bin";
  const std::string missing = tempDir() + "/missing.bin";
  writeFile(file, "kept bytes");

  struct Case {
    std::string path;
    FileAccess access;
    int error;  // 0: opens
  };
  const Case cases[] = {
      {file, FileAccess::read, 0},
      {file, FileAccess::readWrite, 0},
      {file, FileAccess::create, 0},
      {missing, FileAccess::read, ENOENT},
      {missing, FileAccess::readWrite, ENOENT},
      {tempDir(), FileAccess::read, EISDIR},  // a folder opens for reading in POSIX: refused here
      {tempDir(), FileAccess::readWrite, EISDIR},
      {tempDir() + "/no-folder/x", FileAccess::create, ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " access " + std::to_string(static_cast<int>(c.access)));
    errno = 0;
    const UniqueFd fd = openFile(c.path, c.access);
    EXPECT_EQ(static_cast<bool>(fd), c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(errno, c.error);
    }
  }
  // Creating opens an existing file without cutting it, and makes a missing one.
  EXPECT_EQ(readFile(file), "kept bytes");
  EXPECT_TRUE(openFile(missing, FileAccess::create));
  EXPECT_EQ(fileSize(missing), 0u);
}

TEST_F(FilesTest, PositionalReadsAndWritesSizeTruncateSyncAndRename) {
  const std::string target = tempDir() + "/image.tif";
  writeFile(target, "old");
  std::string temp;
  UniqueFd fd = createSiblingFile(target, ".part-", temp);
  ASSERT_TRUE(fd);
  EXPECT_EQ(temp.rfind(target + ".part-", 0), 0u);
  EXPECT_EQ(temp.size(), target.size() + 6 + 6);

  int error = -1;
  EXPECT_EQ(writeAt(fd.get(), "world", 5, 6, error), 5u);  // past the end: a hole before it
  EXPECT_EQ(error, 0);
  EXPECT_EQ(writeAt(fd.get(), "hello,", 6, 0, error), 6u);
  EXPECT_EQ(openFileSize(fd.get()), 11u);

  char buf[32] = {};
  EXPECT_EQ(readAt(fd.get(), buf, sizeof buf, 0, error), 11u);  // stops at the end
  EXPECT_EQ(error, 0);
  EXPECT_EQ(std::string(buf, 11), "hello,world");
  EXPECT_EQ(readAt(fd.get(), buf, 4, 20, error), 0u);
  EXPECT_EQ(error, 0);
  // A mapping sees the written bytes.
  {
    const MappedFile mapped = MappedFile::map(fd.get(), 11);
    ASSERT_TRUE(mapped);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapped.data()), mapped.size()), "hello,world");
  }
  EXPECT_FALSE(MappedFile::map(fd.get(), 0));
  // Pages given back are read again from the file, unchanged; ranges reaching past the
  // end, or lying beyond it, are no fault.
  {
    std::string pages(3 * 4096 + 7, '\0');
    for (std::size_t i = 0; i < pages.size(); ++i) pages[i] = static_cast<char>('a' + i % 23);
    const std::string path = tempDir() + "/pages.bin";
    {
      UniqueFd out = openFile(path, FileAccess::create);
      ASSERT_EQ(writeAt(out.get(), pages.data(), pages.size(), 0, error), pages.size());
    }
    const UniqueFd in = openFile(path, FileAccess::read);
    const MappedFile mapped = MappedFile::map(in.get(), pages.size());
    ASSERT_TRUE(mapped);
    auto seen = [&] { return std::string(reinterpret_cast<const char*>(mapped.data()), mapped.size()); };
    ASSERT_EQ(seen(), pages);
    for (auto [offset, length] : {std::pair<std::size_t, std::size_t>{100, 2 * 4096 + 50},
                                  {0, pages.size()},
                                  {4096, std::size_t{1} << 40},
                                  {pages.size() + 4096, 4096}}) {
      mapped.release(offset, length);
      EXPECT_EQ(seen(), pages) << offset << " " << length;
    }
  }

  EXPECT_TRUE(truncateFile(fd.get(), 5));
  EXPECT_EQ(openFileSize(fd.get()), 5u);
  EXPECT_TRUE(syncFile(fd.get()));
  EXPECT_TRUE(fd.close());
  EXPECT_TRUE(renameFile(temp, target));
  EXPECT_EQ(readFile(target), "hello");
  EXPECT_FALSE(fileExists(temp));

  // A descriptor open for reading only: the write fails and says why.
  const UniqueFd reader = openFile(target, FileAccess::read);
  EXPECT_EQ(writeAt(reader.get(), "x", 1, 0, error), 0u);
  EXPECT_EQ(error, EBADF);
  EXPECT_FALSE(renameFile(tempDir() + "/gone", target));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, SiblingFilesAreNewEachTime) {
  const std::string target = tempDir() + "/out.tif";
  std::string a, b;
  const UniqueFd fa = createSiblingFile(target, ".part-", a);
  const UniqueFd fb = createSiblingFile(target, ".part-", b);
  ASSERT_TRUE(fa);
  ASSERT_TRUE(fb);
  EXPECT_NE(a, b);
  EXPECT_FALSE(fileExists(target));
  std::string c;
  EXPECT_FALSE(createSiblingFile(tempDir() + "/no-folder/out.tif", ".part-", c));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, SameFileAndRegularFile) {
  const std::string a = tempDir() + "/a";
  const std::string b = tempDir() + "/b";
  writeFile(a, "1");
  writeFile(b, "1");
  EXPECT_TRUE(sameFile(a, a));
  EXPECT_TRUE(sameFile(a, tempDir() + "/./a"));
  EXPECT_FALSE(sameFile(a, b));  // same contents, other file
  EXPECT_FALSE(sameFile(a, tempDir() + "/missing"));

  EXPECT_TRUE(isRegularFile(a));
  EXPECT_FALSE(isRegularFile(tempDir()));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(isRegularFile(tempDir() + "/missing"));
  EXPECT_EQ(errno, ENOENT);

  // A link tells where it points whether or not that exists; anything else is no link.
  ASSERT_EQ(::symlink("missing/target", (tempDir() + "/dangling").c_str()), 0);
  ASSERT_EQ(::symlink(a.c_str(), (tempDir() + "/to-a").c_str()), 0);
  EXPECT_EQ(linkTarget(tempDir() + "/dangling"), "missing/target");
  EXPECT_EQ(linkTarget(tempDir() + "/to-a"), a);
  EXPECT_FALSE(isRegularFile(tempDir() + "/dangling"));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(linkTarget(a), std::nullopt);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(linkTarget(tempDir() + "/missing"), std::nullopt);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, StoredFilesAreReadWithoutBlockingOnlyWhenRegularAndWithinTheirBound) {
  const std::string dir = tempDir();
  writeFile(dir + "/plain", "line one\nline two\n");
  writeFile(dir + "/large", std::string(65, 'x'));
  writeFile(dir + "/exact", std::string(64, 'x'));
  testsupport::makeFifo(dir + "/fifo");
  ASSERT_EQ(::symlink("/dev/zero", (dir + "/zero").c_str()), 0);
  ASSERT_EQ(::symlink((dir + "/plain").c_str(), (dir + "/link").c_str()), 0);
  const struct {
    const char* name;
    std::optional<std::string> contents;
    int error;
  } cases[] = {
      {"plain", "line one\nline two\n", 0},
      {"link", "line one\nline two\n", 0},  // a link to a regular file is that file
      {"exact", std::string(64, 'x'), 0},
      {"large", std::nullopt, EFBIG},
      {"missing", std::nullopt, ENOENT},
      {"fifo", std::nullopt, ENODEV},
      {"zero", std::nullopt, ENODEV},
      {".", std::nullopt, EISDIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/" + c.name;
    std::optional<std::string> read;
    int error = 0;
    ASSERT_TRUE(testsupport::endsWithoutAWriter(
        [&] {
          read = platform::readStoredFile(path, 64);
          error = read ? 0 : errno;
        },
        dir + "/fifo"));
    EXPECT_EQ(read, c.contents);
    EXPECT_EQ(error, c.error);
  }
  EXPECT_EQ(platform::storedFileError("/x/fifo", ENODEV),
            "/x/fifo is not a regular file (a pipe, socket or device); it is not read");
  EXPECT_EQ(platform::storedFileError("/x/big", EFBIG, 64), "/x/big is larger than 64 bytes; it is not read");
}

}  // namespace
}  // namespace platform
