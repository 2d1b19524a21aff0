// The board's settings for a process that loads it without knowing it is simulated (the
// demo's scanner window): when $ZEVA_BOARD_SETUP names a file, its lines are applied as the
// library loads, each the okSim_ control of the same name without its prefix and its
// numbers, e.g. "SetScanGeometry 60 50", "CalibrationLightFile PATH" (the light is on
// while PATH starts with '1') and "ScanFile PATH" (the instrument's description of each
// scan, okSim_SetScanFile). Blank lines and '#' comments are skipped; a line
// it cannot use is reported on stderr and skipped.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BoardModel.h"
#include "okSim/okSim.h"

namespace {

bool applyControl(const std::string& name, const std::vector<double>& n) {
  const auto i = [&](std::size_t k) { return static_cast<int>(n[k]); };
  if (name == "SetScanGeometry" && n.size() == 2) return okSim_SetScanGeometry(i(0), i(1)), true;
  if (name == "SetIntegrationCount" && n.size() == 1) return okSim_SetIntegrationCount(i(0)), true;
  if (name == "ForcePd" && n.size() == 2) return okSim_ForcePd(i(0), i(1)), true;
  if (name == "SetPMTReadsVoltage" && n.size() == 1) return okSim_SetPMTReadsVoltage(i(0)), true;
  if (name == "SetSampleValues" && n.size() == 3) return okSim_SetSampleValues(i(0), i(1), i(2)), true;
  if (name == "SetCalibrationLight" && n.size() == 1) return okSim_SetCalibrationLight(i(0)), true;
  if (name == "SetPmtResponse" && n.size() == 5)
    return okSim_SetPmtResponse(i(0), n[1], n[2], i(3), n[4]), true;
  if (name == "SetScanOffsets" && n.size() == 3) return okSim_SetScanOffsets(i(0), i(1), i(2)), true;
  if (name == "SetScanBuffer" && n.size() == 1) return okSim_SetScanBuffer(static_cast<long>(n[0])), true;
  if (name == "SetDataRate" && n.size() == 1) return okSim_SetDataRate(static_cast<long>(n[0])), true;
  return false;
}

struct SetupFromEnvironment {
  SetupFromEnvironment() {
    const char* path = std::getenv("ZEVA_BOARD_SETUP");
    if (!path || !*path) return;
    std::ifstream in(path);
    if (!in) {
      std::fprintf(stderr, "simulated board: cannot read the setup file '%s'\n", path);
      return;
    }
    int number = 0;
    for (std::string line; std::getline(in, line);) {
      ++number;
      std::istringstream words(line);
      std::string name;
      if (!(words >> name) || name[0] == '#') continue;
      if (name == "CalibrationLightFile") {
        std::string file;
        if (words >> file) {
          oksim::Lock lock(oksim::lockOf());
          oksim::board().calibLightFile = file;
          continue;
        }
      }
      if (name == "ScanFile") {
        std::string file;
        if (words >> file) {
          okSim_SetScanFile(file.c_str());
          continue;
        }
      }
      std::vector<double> numbers;
      for (double v; words >> v;) numbers.push_back(v);
      if (!words.eof() || !applyControl(name, numbers))
        std::fprintf(stderr, "simulated board: %s line %d: cannot use '%s'\n", path, number, line.c_str());
    }
  }
} setupFromEnvironment;

}  // namespace
