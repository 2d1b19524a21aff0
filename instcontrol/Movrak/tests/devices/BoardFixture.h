#pragma once
// A scanner connected to the simulated instrument whose data port is open on the
// simulated board (the board's library is loaded beside the executable, so this
// process's board is the one the tests script), on a manual clock whose sleeps cost no
// time. The instrument's calibration light is wired to the board's tubes.
#include <memory>
#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "okSim/okSim.h"
#include "platform/clock.h"
#include "platform/files.h"

// The control trigger's bits in the board's call log, in order.
inline std::vector<int> ControlTriggerBits() {
  std::vector<int> bits;
  const std::string prefix = "okUsbFrontPanel_ActivateTriggerIn(0x40,";
  for (const std::string& call : oksim::calls(prefix)) bits.push_back(std::stoi(call.substr(prefix.size())));
  return bits;
}

class BoardDeviceTest : public DeviceTest {
 protected:
  using Axis = zevasim::MotorFamily::Axis;
  using Motors = zevasim::MotorFamily;

  BoardDeviceTest() : clock_(std::make_shared<platform::ManualClock>()), scoped_(clock_) {
    clock_->setAutoAdvance(true);  // the board's settling sleeps cost no time
    okSim_Reset();
    CScanner::ResetLaserWarmUpValues();
    const std::string bitFile = tempDir() + "/keth.bit";
    testsupport::writeFile(bitFile, "simulated configuration version=32\n");
    if (loaded_) opened_ = scanner.GetDataPort().OpenDataPort(nullptr, bitFile.c_str()) == PortStatusSuccess;
    for (auto id :
         {Motors::kSlowStage, Motors::kVCStage, Motors::kAutofocus, Motors::kCarousel, Motors::kArm})
      devices.motors->update(id, [](Axis& a) { a.initialised = a.homed = true; });
    devices.scans->onCalibrationLight([](bool on) { okSim_SetCalibrationLight(on ? 1 : 0); });
    connect();
    okSim_ClearCallLog();
  }
  ~BoardDeviceTest() override { devices.scans->onCalibrationLight(nullptr); }
  // As in the system, the board's library is loaded before a scanner (and its port) exists.
  static void SetUpTestSuite() { loaded_ = CScanDataPort::InitPortLib(""); }
  void SetUp() override {
    ASSERT_TRUE(loaded_);
    ASSERT_TRUE(opened_);
  }

  static std::vector<int> triggers() { return ControlTriggerBits(); }
  static int pmtWrites(bool red) {
    int n = 0;
    for (int bit : triggers()) n += bit == (red ? 2 : 3);
    return n;
  }
  // The voltage the board reports for a channel from now on (as if the tube had it).
  void boardReads(bool red, unsigned counts) {
    ASSERT_TRUE(scanner.GetDataPort().SetPMTVoltage(static_cast<unsigned short>(counts), red, false));
  }
  CChannel& channel(int id) { return *scanner.GetChannel(id); }

  std::shared_ptr<platform::ManualClock> clock_;
  platform::ScopedClock scoped_;
  static inline bool loaded_ = false;
  bool opened_ = false;
};
