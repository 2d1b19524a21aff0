#include "TessaryTest.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
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

TIFF* CreateGrey16(const std::string& path, const char* mode, std::uint32_t width, std::uint32_t rows,
                   std::uint32_t rowsPerStrip, std::uint16_t compression) {
  TIFF* tif = TIFFOpen(path.c_str(), mode);
  if (!tif) return nullptr;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  return tif;
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

namespace {

std::uint64_t Fnv(std::uint64_t h, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ull;
  return h;
}

std::string Hex(std::uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace

std::string Checksum(const std::string& text) {
  return Hex(Fnv(0xcbf29ce484222325ull, reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string StableLayout(const std::string& path) {
  const std::string content = testsupport::readFile(path);
  const std::vector<std::uint8_t> b(content.begin(), content.end());
  if (b.size() < 8 || b[0] != 'I' || b[1] != 'I' || b[2] != 42) return "not a little-endian TIFF file";
  auto u16 = [&](std::size_t at) { return static_cast<std::uint32_t>(b.at(at) | b.at(at + 1) << 8); };
  constexpr std::uint32_t kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  std::string out;
  int page = 0;
  for (std::uint32_t ifd = U32At(b, 4); ifd != 0 && page < 100;
       ifd = U32At(b, ifd + 2 + 12 * u16(ifd)), ++page) {
    const std::uint32_t entries = u16(ifd);
    out += "page " + std::to_string(page) + ": " + std::to_string(entries) + " entries\n";
    std::vector<std::uint32_t> offsets, counts;
    for (std::uint32_t e = 0; e < entries; ++e) {
      const std::size_t at = ifd + 2 + 12 * e;
      const std::uint32_t tag = u16(at), type = u16(at + 2), count = U32At(b, at + 4);
      const std::size_t bytes = (type < 13 ? kTypeSize[type] : 1) * std::size_t{count};
      const std::size_t data = bytes <= 4 ? at + 8 : U32At(b, at + 8);
      if (data + bytes > b.size()) return out + "entry " + std::to_string(tag) + " beyond the end\n";
      std::vector<std::uint8_t> value(b.begin() + static_cast<std::ptrdiff_t>(data),
                                      b.begin() + static_cast<std::ptrdiff_t>(data + bytes));
      auto values = [&] {
        std::vector<std::uint32_t> v(count);
        for (std::uint32_t i = 0; i < count; ++i)
          v[i] = type == 3 ? u16(data + 2 * i) : U32At(b, data + 4 * i);
        return v;
      };
      out += "  " + std::to_string(tag) + " type " + std::to_string(type) + " count " + std::to_string(count);
      if (tag == TIFFTAG_STRIPOFFSETS) {
        offsets = values();
        out += " at first strip +";
        for (std::uint32_t o : offsets) out += " " + std::to_string(o - offsets.front());
      } else if (tag == TIFFTAG_DATETIME || tag == TIFFTAG_HOSTCOMPUTER) {
        out += " (masked)";
      } else {
        if (tag == TIFFTAG_STRIPBYTECOUNTS) counts = values();
        if (tag == 37701 && value.size() == TiffScanRecord::kSize)
          for (std::size_t at : {TiffScanRecord::kOffFileGuid, TiffScanRecord::kOffSourceGuid})
            std::fill_n(value.begin() + static_cast<std::ptrdiff_t>(at), 16, 0);
        out += bytes > 64 ? " data " + Hex(Fnv(0xcbf29ce484222325ull, value.data(), value.size())) : " =";
        if (bytes <= 64)
          for (std::uint8_t v : value) out += " " + std::to_string(v);
      }
      out += "\n";
    }
    std::uint64_t strips = 0xcbf29ce484222325ull;
    for (std::size_t s = 0; s < offsets.size() && s < counts.size(); ++s) {
      if (std::size_t{offsets[s]} + counts[s] > b.size()) return out + "strip beyond the end\n";
      strips = Fnv(strips, b.data() + offsets[s], counts[s]);
    }
    out += "  strip data " + Hex(strips) + "\n";
  }
  return out;
}

TessaryTest::TessaryTest() : clock_(std::make_shared<platform::ManualClock>()), scopedClock_(clock_) {
  clock_->setAutoAdvance(true);
  InstallTiffTagExtender();
  install_ = tempDir() + "/install";
  outDir_ = tempDir() + "/out";
  EXPECT_TRUE(platform::createDirectories(install_));
  EXPECT_TRUE(platform::createDirectories(outDir_));
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
