#pragma once
// A carousel run across processes on loopback: the connection manager and the simulated
// instrument are programs of their own (started per test), the automation server, the
// board and the run manager are in the test's process (the run manager's fixture).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CarouselRunFixture.h"
#include "Programs.h"

namespace e2e_test {

inline constexpr const char* kSerial = "ZS000101";

// The board's calibration light as the instrument program last switched it, from the
// commands it logged (`context`: the path of its command log, a std::string).
int LightFromInstrumentLog(void* context);

// Where the instrument program whose command log is `commandLog` describes its scans for
// the board (its --scan-file).
std::string ScanFileBeside(const std::string& commandLog);

class CarouselRunE2eTest : public lumetra_test::CarouselRunTest {
 protected:
  CarouselRunE2eTest();
  ~CarouselRunE2eTest() override;

  // The instrument program with `slides` in its carousel, whose scans have `scanLines`
  // lines, with `extra` options (faults); its port, or nullopt.
  std::optional<std::uint16_t> StartInstrument(const std::vector<Slide>& slides, std::uint16_t at = 0,
                                               int scanLines = kLines,
                                               const std::vector<std::string>& extra = {});

  // A run that ended well: code 0, one image per slide, every one of them exact.
  void ExpectWholeImages(const RunResult& run, const lumetra_test::ProgressWindow& window,
                         std::size_t slides);

  static std::string MakeRuntime(const std::string& path);

  // The connection manager's pipes in a folder of their own: the fixture's stand-in for
  // it keeps the test's usual one.
  std::string m_Runtime;
  ScopedEnvironment m_RuntimeEnv;
  Daemon m_Daemon;
  std::string m_InstrumentLog;
  std::optional<Instrument> m_Instrument;
};

}  // namespace e2e_test
