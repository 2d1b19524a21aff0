#include "CarouselE2eFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "okSim/okSim.h"
#include "testsupport/TestEnv.h"

namespace e2e_test {

CarouselRunE2eTest::CarouselRunE2eTest()
    : m_Runtime(MakeRuntime(tempDir() + "/runtime")),
      m_RuntimeEnv("ZEVA_RUNTIME_DIR", m_Runtime.c_str()),
      m_Daemon(BROKLA_PROGRAM, tempDir(), installDir()),
      m_InstrumentLog(tempDir() + "/zevasim-commands.log") {
  WriteFlashFile(tempDir() + "/flash.txt", FlashValues());
  // The instrument runs elsewhere: the board sees the light the instrument last
  // switched, from the commands it logged before answering them.
  okSim_SetCalibrationLightProbe(&LightFromInstrumentLog, &m_InstrumentLog);
  // The board scans what the instrument says it started.
  okSim_SetScanFile(ScanFileBeside(m_InstrumentLog).c_str());
}

CarouselRunE2eTest::~CarouselRunE2eTest() {
  okSim_SetCalibrationLightProbe(nullptr, nullptr);
  okSim_SetScanFile("");
}

std::optional<std::uint16_t> CarouselRunE2eTest::StartInstrument(const std::vector<Slide>& slides,
                                                                 std::uint16_t at, int scanLines,
                                                                 const std::vector<std::string>& extra) {
  std::vector<std::string> args{
      "--homed",      "--nominal-supplies",      "--autofocus", "620.5",
      "--scan-lines", std::to_string(scanLines), "--flash",     tempDir() + "/flash.txt",
      "--log",        m_InstrumentLog,           "--scan-file", ScanFileBeside(m_InstrumentLog)};
  for (const Slide& slide : slides) {
    args.push_back("--slide");
    args.push_back(std::to_string(slide.slot) + ":" + slide.barcode);
  }
  args.insert(args.end(), extra.begin(), extra.end());
  m_Instrument.reset();
  m_Instrument.emplace(ZEVASIM_PROGRAM, tempDir(), "127.0.0.2", kSerial, args, at);
  const auto port = m_Instrument->WaitServing();
  if (!port) ADD_FAILURE() << m_Instrument->program().Out() << m_Instrument->program().Err();
  return port;
}

void CarouselRunE2eTest::ExpectWholeImages(const RunResult& run, const lumetra_test::ProgressWindow& window,
                                           std::size_t slides) {
  ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), slides) << window.Transcript();
  for (const auto& file : files) ExpectExactImage(file.fileName, run.darkRed, run.darkGreen);
}

int LightFromInstrumentLog(void* context) {
  const std::string text = testsupport::readFile(*static_cast<const std::string*>(context));
  const auto at = text.rfind("calibratepmt ");
  return at != std::string::npos && text.compare(at, 14, "calibratepmt 1") == 0 ? 1 : 0;
}

std::string ScanFileBeside(const std::string& commandLog) {
  return std::filesystem::path(commandLog).parent_path().string() + "/zevasim-scan.txt";
}

std::string CarouselRunE2eTest::MakeRuntime(const std::string& path) {
  std::filesystem::create_directories(path);
  ::chmod(path.c_str(), 0700);
  return path;
}

}  // namespace e2e_test
