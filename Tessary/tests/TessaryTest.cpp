#include "TessaryTest.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "Tessary/TiffTags.h"
#include "platform/files.h"

extern char** environ;

namespace tessary_test {

TiffScanRecord Page::Record() const {
  EXPECT_EQ(record.size(), TiffScanRecord::kSize);
  if (record.size() != TiffScanRecord::kSize) return {};
  return TiffScanRecord::Deserialize(
      std::span<const std::uint8_t, TiffScanRecord::kSize>(record.data(), record.size()));
}

std::vector<Page> ReadPages(const std::string& path) {
  std::vector<Page> pages;
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif) {
    ADD_FAILURE() << "libtiff cannot open " << path;
    return pages;
  }
  do {
    Page p;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.length);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &p.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &p.compression);
    const char* text = nullptr;
    if (TIFFGetField(tif, TIFFTAG_PAGENAME, &text) && text) p.pageName = text;
    text = nullptr;
    if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) && text) p.imageDescription = text;
    text = nullptr;
    if (TIFFGetField(tif, 37702, &p.descriptionCount, &text) && text) {
      p.hasDescription = true;
      p.description.assign(text, std::find(text, text + p.descriptionCount, '\0'));
    }
    std::uint32_t count = 0;
    const std::uint8_t* bytes = nullptr;
    if (TIFFGetField(tif, 37701, &count, &bytes) && bytes) {
      p.hasRecord = true;
      p.record.assign(bytes, bytes + count);
    }
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &p.xResolution);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &p.yResolution);
    TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &p.resolutionUnit);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize(tif)));
    for (std::uint32_t r = 0; r < p.length; ++r) {
      if (TIFFReadScanline(tif, line.data(), r, 0) < 0) {
        ADD_FAILURE() << path << ": cannot read row " << r;
        break;
      }
      std::vector<std::uint32_t> row(p.width);
      for (std::uint32_t c = 0; c < p.width; ++c) {
        if (p.bits == 16) {
          std::uint16_t v;
          std::memcpy(&v, &line[c * 2], 2);
          row[c] = v;
        } else if (p.bits == 32) {
          std::memcpy(&row[c], &line[c * 4], 4);
        } else {
          row[c] = line[c];
        }
      }
      p.rows.push_back(std::move(row));
    }
    pages.push_back(std::move(p));
  } while (TIFFReadDirectory(tif));
  TIFFClose(tif);
  return pages;
}

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args) {
  ToolResult result;
  std::string outName = platform::tempDirectory() + "/tool-output-XXXXXX";
  const int out = ::mkstemp(outName.data());
  if (out < 0) return result;
  ::unlink(outName.c_str());
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, out, 2);
  pid_t pid = 0;
  if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  ::lseek(out, 0, SEEK_SET);
  char buf[4096];
  for (ssize_t n; (n = ::read(out, buf, sizeof buf)) > 0;)
    result.output.append(buf, static_cast<std::size_t>(n));
  ::close(out);
  return result;
}

bool HaveTiffTools() { return std::strlen(TIFFDUMP_PATH) > 0 && std::strlen(TIFFINFO_PATH) > 0; }
ToolResult TiffDump(const std::string& path) { return RunTool(TIFFDUMP_PATH, {path}); }
ToolResult TiffInfo(const std::string& path) { return RunTool(TIFFINFO_PATH, {path}); }

std::uint32_t U32At(const std::vector<std::uint8_t>& b, std::size_t offset) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b.at(offset + i)) << (8 * i);
  return v;
}

double F64At(const std::vector<std::uint8_t>& b, std::size_t offset) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(b.at(offset + i)) << (8 * i);
  return std::bit_cast<double>(v);
}

std::string TextAt(const std::vector<std::uint8_t>& b, std::size_t offset, std::size_t size) {
  std::string s;
  for (std::size_t i = 0; i < size && b.at(offset + i) != 0; ++i) s += static_cast<char>(b[offset + i]);
  return s;
}

TessaryTest::TessaryTest() : clock_(std::make_shared<platform::ManualClock>()), scopedClock_(clock_) {
  clock_->setAutoAdvance(true);
  InstallTiffTagExtender();
  install_ = tempDir() + "/install";
  outDir_ = tempDir() + "/out";
  platform::createDirectories(install_);
  platform::createDirectories(outDir_);
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo").WriteString("Path", install_);
  CLogger::Close();
  CLogger::SetDebugLogging(true);
  CLogger::m_nDebugLevel = 1;
  logPrefix_ = tempDir() + "/tessary";
  CLogger::Open(logPrefix_.c_str());
}

TessaryTest::~TessaryTest() {
  tessary::SetFileSystemHooks({});
  CLogger::Close();
}

std::string TessaryTest::logText() const { return testsupport::readFile(logPrefix_ + "0.log"); }

std::vector<std::string> TessaryTest::FilesIn(const std::string& dir) {
  auto names = platform::listDirectory(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string UnwritableFolder(const std::string& dir) {
  const std::string blocker = dir + "/not-a-folder";
  testsupport::writeFile(blocker, "x");
  return blocker + "/scans";
}

}  // namespace tessary_test
