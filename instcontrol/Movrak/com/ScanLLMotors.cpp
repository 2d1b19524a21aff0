// IScanLL: the motor axes (position, speed, moves, registers, tuning into a text file,
// enable and driver, limits, calibration, step test, controller parameters) and FlushDMA.
#include <new>
#include <vector>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "com/ComServer.h"
#include "com/ScanLL.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"
#include "platform/files.h"

using namespace movrak;
using platform::com::S_OK;

namespace {

constexpr int kDetailMotorDistance = 2007;
constexpr int kDetailMotorSpeed = 2008;
constexpr int kDetailMotorAddress = 2018;
constexpr int kDetailMotorAddressValue = 2019;
constexpr int kDetailMotorSpeedAccel = 2020;
constexpr int kErrFileAccess = 551;

}  // namespace

HRESULT CScanLL::FlushDMA() {
  return Run(kSrcFlushDMA, [&] { Scanner().FlushDMALatch(); });
}

HRESULT CScanLL::MotorGetPos(tagMotorIDs eMotorId, LONG* plVal) {
  return WithMotor(kSrcMotorGetPos, eMotorId, [&](CMotor& m) {
    const long pos = m.GetPos();
    if (plVal) *plVal = static_cast<LONG>(pos);
  });
}

HRESULT CScanLL::MotorGetPosPhys(tagMotorIDs eMotorId, LONG* plVal) {
  return WithMotor(kSrcMotorGetPosPhys, eMotorId, [&](CMotor& m) {
    const long pos = m.GetPosPhys();
    if (plVal) *plVal = static_cast<LONG>(pos);
  });
}

HRESULT CScanLL::MotorGetSpeed(tagMotorIDs eMotorId, LONG* plVal) {
  return WithMotor(kSrcMotorGetSpeed, eMotorId, [&](CMotor& m) {
    const long speed = m.GetSpeed();
    if (plVal) *plVal = static_cast<LONG>(speed);
  });
}

HRESULT CScanLL::MotorHome(tagMotorIDs eMotorId) {
  return WithMotor(kSrcMotorHome, eMotorId, [](CMotor& m) { m.Home(); });
}

HRESULT CScanLL::MotorInit(tagMotorIDs eMotorId) {
  // Only the initialisation: homing is MotorHome's.
  return WithMotor(kSrcMotorInit, eMotorId, [](CMotor& m) { m.Init(false); });
}

HRESULT CScanLL::MotorMove(tagMotorIDs eMotorId, LONG lDistance, BYTE bMoveType) {
  return WithMotor(
      kSrcMotorMove, eMotorId,
      [&](CMotor& m) { bMoveType == 0 ? m.MoveAbs(lDistance) : m.MoveRel(lDistance); },
      [&](const std::string& name) {
        return FormatMessageResource(kDetailMotorDistance, name.c_str(), static_cast<long>(lDistance));
      });
}

HRESULT CScanLL::MotorMovePhys(tagMotorIDs eMotorId, LONG lDistance, BYTE bMoveType) {
  return WithMotor(
      kSrcMotorMovePhys, eMotorId,
      [&](CMotor& m) { bMoveType == 0 ? m.MoveAbsPhys(lDistance) : m.MoveRelPhys(lDistance); },
      [&](const std::string& name) {
        return FormatMessageResource(kDetailMotorDistance, name.c_str(), static_cast<long>(lDistance));
      });
}

HRESULT CScanLL::MotorPeek(tagMotorIDs eMotorId, ULONG uAddress, ULONG* puVal) {
  return WithMotor(
      kSrcMotorPeek, eMotorId,
      [&](CMotor& m) {
        const std::uint32_t value = m.Peek(uAddress);
        if (puVal) *puVal = value;
      },
      [&](const std::string& name) {
        return FormatMessageResource(kDetailMotorAddress, name.c_str(), static_cast<unsigned>(uAddress));
      });
}

HRESULT CScanLL::MotorPoke(tagMotorIDs eMotorId, ULONG uAddress, ULONG uVal) {
  return WithMotor(
      kSrcMotorPoke, eMotorId, [&](CMotor& m) { m.Poke(uAddress, uVal); },
      [&](const std::string& name) {
        return FormatMessageResource(kDetailMotorAddressValue, name.c_str(), static_cast<unsigned>(uAddress),
                                     static_cast<unsigned>(uVal));
      });
}

HRESULT CScanLL::MotorSetSpeed(tagMotorIDs eMotorId, LONG lSpeed) {
  return WithMotor(
      kSrcMotorSetSpeed, eMotorId, [&](CMotor& m) { m.SetSpeed(lSpeed); },
      [&](const std::string& name) {
        return FormatMessageResource(kDetailMotorSpeed, name.c_str(), static_cast<long>(lSpeed));
      });
}

HRESULT CScanLL::MotorSetSpeedAcc(tagMotorIDs eMotorId, LONG lSpeed, LONG lAccel) {
  return WithMotor(
      kSrcMotorSetSpeedAcc, eMotorId, [&](CMotor& m) { m.SetSpeedAcc(lSpeed, lAccel); },
      [&](const std::string& name) {
        return FormatMessageResource(kDetailMotorSpeedAccel, name.c_str(), static_cast<long>(lSpeed),
                                     static_cast<long>(lAccel));
      });
}

HRESULT CScanLL::MotorTune(tagMotorIDs eMotorId, LONG lNumPts, LONG lTime, LONG lPosition,
                           const std::string& bstrFileName) {
  platform::com::ClearErrorInfo();
  if (const HRESULT hr = Connected(kSrcMotorTune); hr != S_OK) return hr;
  std::string text;
  if (const int id = ValidateMotorId(eMotorId, kSrcMotorTune, text); id != 0) return ReportError(text, id);
  // A tuning run of no samples (or fewer) is no run: nothing is allocated or sent.
  if (lNumPts <= 0) return Fail(kErrBadParameter, kSrcMotorTune);
  std::vector<std::uint16_t> samples;
  try {
    samples.resize(static_cast<std::size_t>(lNumPts));
  } catch (const std::bad_alloc&) {
    return Fail(kErrOutOfMemory, kSrcMotorTune);
  }
  const std::string path = ServiceFilePath(bstrFileName);
  platform::File file;
  if (!file.openExclusive(path, platform::OpenMode::create)) return FileError(kSrcMotorTune, path);
  return WithMotor(kSrcMotorTune, eMotorId, [&](CMotor& m) {
    m.Tune(lTime, lPosition, samples.data(), lNumPts);
    std::string lines;
    for (const std::uint16_t sample : samples) lines += FormatText("%u\r\n", static_cast<unsigned>(sample));
    if (!file.write(lines)) throw kErrFileAccess;
  });
}

HRESULT CScanLL::MotorEnable(tagMotorIDs eMotorId) {
  return WithMotor(kSrcMotorEnable, eMotorId, [](CMotor& m) { m.Enable(); });
}

HRESULT CScanLL::MotorDisable(tagMotorIDs eMotorId) {
  return WithMotor(kSrcMotorDisable, eMotorId, [](CMotor& m) { m.Disable(); });
}

HRESULT CScanLL::MotorDriverOn(tagMotorIDs eMotorId) {
  return WithMotor(kSrcMotorDriverOn, eMotorId, [](CMotor& m) { m.DriverOn(); });
}

HRESULT CScanLL::MotorDriverOff(tagMotorIDs eMotorId) {
  return WithMotor(kSrcMotorDriverOff, eMotorId, [](CMotor& m) { m.DriverOff(); });
}

HRESULT CScanLL::MotorGetMaxPos(tagMotorIDs eMotorId, LONG* plVal) {
  return WithMotor(
      kSrcMtrGetMaxPos, eMotorId,
      [&](CMotor& m) {
        const long pos = m.GetMaxPos();
        if (plVal) *plVal = static_cast<LONG>(pos);
      },
      {}, false);
}

HRESULT CScanLL::MotorGetMinPos(tagMotorIDs eMotorId, LONG* plVal) {
  return WithMotor(kSrcMtrGetMinPos, eMotorId, [&](CMotor& m) {
    const long pos = m.GetMinPos();
    if (plVal) *plVal = static_cast<LONG>(pos);
  });
}

HRESULT CScanLL::MotorCalibrate(tagMotorIDs eMotorId) {
  return WithMotor(
      kSrcMotorCalibrate, eMotorId,
      [](CMotor& m) {
        LogDebug(5, "CScanLL:MotorCalibrate()");
        LogDebug(1, "Calibrating %s motor.", m.GetName().c_str());
        m.Calibrate();
      },
      {}, false);
}

HRESULT CScanLL::MotorStepTest(tagMotorIDs eMotorId, WORD lNumSteps, WORD uDelay, SHORT iStep1stMoveCt,
                               SHORT iStep2ndMoveCt, WORD* pStepPosBuf) {
  platform::com::ClearErrorInfo();
  if (const HRESULT hr = Connected(kSrcMotorStepTest); hr != S_OK) return hr;
  std::string text;
  if (const int id = ValidateMotorId(eMotorId, kSrcMotorStepTest, text); id != 0)
    return ReportError(text, id);
  if (!pStepPosBuf) return Fail(kErrOutOfMemory, kSrcMotorStepTest);
  return WithMotor(kSrcMotorStepTest, eMotorId, [&](CMotor& m) {
    m.StepTest(iStep1stMoveCt, iStep2ndMoveCt, uDelay, pStepPosBuf, lNumSteps);
  });
}

HRESULT CScanLL::MotorSetParams(tagMotorIDs eMotorId, SHORT iPIDKp, SHORT iPIDKi, SHORT iPIDKd,
                                SHORT iPIDImax, ULONG lAccel, ULONG lVel) {
  return WithMotor(kSrcMotorSetParams, eMotorId, [&](CMotor& m) {
    m.SetParams(iPIDKp, iPIDKi, iPIDKd, iPIDImax, static_cast<long>(lAccel), static_cast<long>(lVel));
  });
}
