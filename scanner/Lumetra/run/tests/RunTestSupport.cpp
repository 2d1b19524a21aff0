#include "RunTestSupport.h"

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "platform/files.h"
#include "run/RunStatus.h"

namespace lumetra_test {

RunTest::RunTest() : clock_(std::make_shared<platform::ManualClock>()), scopedClock_(clock_) {
  clock_->setAutoAdvance(true);
  CRegEdit reg(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo");
  reg.WriteInt("DebugLevel", 6);
  reg.WriteInt("MaxSize", 50000000);
  reg.WriteInt("EnableTimestamp", 0);
  reg.WriteInt("EnableThreadIdStamp", 0);
  install_ = tempDir() + "/install";
  outDir_ = tempDir() + "/out";
  EXPECT_TRUE(platform::createDirectories(install_ + "/Temp"));
  EXPECT_TRUE(platform::createDirectories(outDir_));
  reg.WriteString("Path", install_);
  CopyReportFiles(install_);
  CLogger::SetDebugLogging(true);
  CLogger::Open((tempDir() + "/run").c_str());
}

RunTest::~RunTest() { CLogger::Close(); }

std::string RunTest::logText() const { return testsupport::readFile(CLogger::m_File.path()); }

void CopyReportFiles(const std::string& installFolder) {
  const std::string programs = platform::directoryOf(platform::executablePath());
  for (const char* name : {"logfile.dtd", "logfile.xsl"})
    (void)platform::copyFileNoOverwrite(programs + name, platform::joinPath(installFolder, name));
}

std::vector<std::uint8_t> MakeLine(int lineNumber, int direction, int pixels, int greenPd, int redPd,
                                   const std::function<RawPixel(int)>& pixel) {
  std::vector<std::uint8_t> line(32 + 8 * static_cast<std::size_t>(pixels), 0);
  std::uint8_t* h = line.data();
  h[0] = 0xFF, h[1] = 0x33, h[2] = 0x11, h[3] = 0x01;
  h[4] = static_cast<std::uint8_t>(lineNumber), h[5] = static_cast<std::uint8_t>(lineNumber >> 8);
  h[6] = static_cast<std::uint8_t>(direction), h[7] = static_cast<std::uint8_t>(direction >> 8);
  for (int k = 0; k < 4; ++k) h[8 + k] = static_cast<std::uint8_t>(static_cast<unsigned>(pixels) >> (8 * k));
  h[12] = static_cast<std::uint8_t>(greenPd), h[13] = static_cast<std::uint8_t>(greenPd >> 8);
  h[14] = static_cast<std::uint8_t>(redPd), h[15] = static_cast<std::uint8_t>(redPd >> 8);
  for (int j = 0; j < pixels; ++j) {
    const RawPixel p = pixel(j);
    std::uint8_t* px = h + 32 + 8 * static_cast<std::size_t>(j);
    px[0] = static_cast<std::uint8_t>(p.count & 0xFF);
    px[1] =
        static_cast<std::uint8_t>(((p.count >> 8) & 0x03) | (p.greenLow ? 0x40 : 0) | (p.redLow ? 0x80 : 0));
    const std::uint32_t r = p.redSum / 4, g = p.greenSum / 4;
    px[3] = static_cast<std::uint8_t>(r >> 16), px[2] = static_cast<std::uint8_t>(r >> 8),
    px[5] = static_cast<std::uint8_t>(r);
    px[4] = static_cast<std::uint8_t>(g >> 16), px[7] = static_cast<std::uint8_t>(g >> 8),
    px[6] = static_cast<std::uint8_t>(g);
  }
  return line;
}

std::string StatusText(int id) {
  std::string text;
  lumetra::run::GetMessageText(id, text);
  return text;
}

std::string ReportEntry(const std::string& category, const std::string& text) {
  return "<log category=\"" + category + "\"> " + text + " </log>";
}

}  // namespace lumetra_test
