#pragma once
// Shared fixture of the TIFF library's tests: private registry and folders, an install
// folder, the process log in the test's folder, a clock whose sleeps cost nothing, and
// helpers that read files back with libtiff and with the libtiff tools.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Tessary/FileSystemHooks.h"
#include "Tessary/TiffScanRecord.h"
#include "platform/clock.h"
#include "testsupport/TestEnv.h"

namespace tessary_test {

// One directory of a TIFF file as libtiff reads it.
struct Page {
  std::uint32_t width = 0, length = 0;
  std::uint16_t bits = 0, compression = 0;
  std::string pageName, imageDescription;
  bool hasDescription = false;
  std::uint32_t descriptionCount = 0;
  std::string description;  // 37702 up to its first NUL
  bool hasRecord = false;
  std::vector<std::uint8_t> record;  // 37701 as stored
  float xResolution = 0, yResolution = 0;
  std::uint16_t resolutionUnit = 0;
  std::vector<std::vector<std::uint32_t>> rows;  // samples as stored (16 or 32 bit)

  TiffScanRecord Record() const;
};

std::vector<Page> ReadPages(const std::string& path);

// Starts a one-sample 16-bit image as other programs may write it (`mode` as TIFFOpen
// takes it); null when it cannot be created.
TIFF* CreateGrey16(const std::string& path, const char* mode, std::uint32_t width, std::uint32_t rows,
                   std::uint32_t rowsPerStrip, std::uint16_t compression);

struct ToolResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};
// Runs a program (argument vector, no shell) and collects its output.
ToolResult RunTool(const std::string& program, const std::vector<std::string>& args);
ToolResult TiffDump(const std::string& path);
ToolResult TiffInfo(const std::string& path);
bool HaveTiffTools();

// Everything of a little-endian TIFF file that does not change from run to run or machine
// to machine, as text: per directory every entry (tag, type, count, value bytes), strip
// offsets relative to the directory's first strip, and a checksum of the strip data. The
// date, the computer's name and the scan record's identifiers are masked.
std::string StableLayout(const std::string& path);
// A 64-bit FNV-1a checksum of text, in hex.
std::string Checksum(const std::string& text);

// Little-endian reads from a byte block.
std::uint32_t U32At(const std::vector<std::uint8_t>& b, std::size_t offset);
double F64At(const std::vector<std::uint8_t>& b, std::size_t offset);
std::string TextAt(const std::vector<std::uint8_t>& b, std::size_t offset, std::size_t size);

class TessaryTest : public testsupport::ZevaTest {
 protected:
  TessaryTest();
  ~TessaryTest() override;

  const std::string& install() const { return install_; }
  std::string tempFolder() const { return install_ + "/Temp"; }
  // A folder for output files.
  std::string outDir() const { return outDir_; }
  // Everything the process log holds so far.
  std::string logText() const;
  // Files in a folder (names), sorted.
  static std::vector<std::string> FilesIn(const std::string& dir);

 private:
  std::shared_ptr<platform::ManualClock> clock_;
  platform::ScopedClock scopedClock_;
  std::string install_, outDir_, logPrefix_;
};

// A path beneath a regular file: no one can create anything there, root included.
std::string UnwritableFolder(const std::string& dir);

}  // namespace tessary_test
