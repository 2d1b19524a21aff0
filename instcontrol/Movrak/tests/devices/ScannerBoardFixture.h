#pragma once
// A scanner on both simulators: the instrument (with healthy supplies) and the data
// board, opened and configured, with every motor initialised and homed, on a test clock.
#include <memory>
#include <string>
#include <vector>

#include "BoardFixture.h"
#include "DeviceFixture.h"
#include "okSim/okSim.h"
#include "platform/clock.h"

class ScannerBoardTest : public DeviceTest {
 protected:
  using Motors = zevasim::MotorFamily;

  explicit ScannerBoardTest(std::shared_ptr<platform::Clock> clock) : scoped_(std::move(clock)) {
    okSim_Reset();
    // The warm-up rules keep their values per process: each test starts from none.
    CScanner::ResetLaserWarmUpValues();
    // The tubes reach the voltages they are set to.
    okSim_SetPMTReadsVoltage(1);
    const std::string bitFile = tempDir() + "/keth.bit";
    testsupport::writeFile(bitFile, "simulated configuration version=32\n");
    if (loaded_) opened_ = scanner.GetDataPort().OpenDataPort(nullptr, bitFile.c_str()) == PortStatusSuccess;
    for (auto id :
         {Motors::kSlowStage, Motors::kVCStage, Motors::kAutofocus, Motors::kCarousel, Motors::kArm})
      devices.motors->update(id, [](Motors::Axis& a) { a.initialised = a.homed = true; });
    devices.controller->setNominalSupplies();
    connect();
    scanner.LoadLaserPowerFactors();
    forget();
    okSim_ClearCallLog();
  }
  // As in the system, the board's library is loaded before a scanner (and its port) exists.
  static void SetUpTestSuite() { loaded_ = CScanDataPort::InitPortLib(""); }
  void SetUp() override {
    ASSERT_TRUE(loaded_);
    ASSERT_TRUE(opened_);
  }

  static std::vector<int> triggers() { return ControlTriggerBits(); }
  // The voltage (tenths of volts) a PMT was last set to, as the board got it.
  unsigned boardVoltage(int channel) {
    unsigned tenths = 0;
    if (!scanner.GetDataPort().LockAccess()) ADD_FAILURE() << "data port busy";
    const int counts = scanner.GetDataPort().GetPMTVoltage(channel == kRedPMT);
    scanner.GetDataPort().ReleaseAccess();
    tenths = CChannel::CountsToTenths(static_cast<unsigned>(counts));
    return tenths;
  }
  // Instrument lines of one command word since the last forget().
  std::vector<std::string> linesOf(const std::string& word) const {
    std::vector<std::string> out;
    for (const std::string& line : lines())
      if (line == word || line.rfind(word + " ", 0) == 0) out.push_back(line);
    return out;
  }

 private:
  platform::ScopedClock scoped_;
  static inline bool loaded_ = false;
  bool opened_ = false;
};
