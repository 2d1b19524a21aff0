// Stand-ins for scanner operations that land separately (drop at merge). Each either
// answers plainly or throws 556 ("Command is not implemented."), so that the automation
// layer's forwarding and error mapping can be built and tested meanwhile.
#include <map>
#include <memory>
#include <mutex>

#include "devices/DeviceErrors.h"
#include "devices/Scanner.h"
#include "platform/thread.h"

using namespace movrak;

namespace {

// The stand-in status threads, by scanner.
std::mutex g_threadsMutex;
std::map<const CScanner*, std::shared_ptr<platform::Thread>> g_threads;

[[noreturn]] void NotYet() { throw kErrNotImplemented; }

}  // namespace

std::string CScanner::LoadChip(int, int) { NotYet(); }
void CScanner::EjectChip() { NotYet(); }
void CScanner::LoadCarousel() { NotYet(); }
void CScanner::EjectCarousel() { NotYet(); }
void CScanner::StartBrowseCarousel(int, int, bool) { NotYet(); }
void CScanner::GetBrowseCarouselInfo(int, int*, char*, char*) { NotYet(); }
void CScanner::StopBrowseCarousel() { NotYet(); }
int CScanner::ChangeLaserSetPoint(bool, double, bool) { NotYet(); }
double CScanner::GetLaserPower(bool, bool) { NotYet(); }
int CScanner::GetPortCtrlStatus(bool) { NotYet(); }
int CScanner::SetOnOffLaserPowers(bool) { NotYet(); }
void CScanner::LaserWarmingUpStatus(bool&, bool&, bool, bool) { NotYet(); }
LaserStatus CScanner::CalibrateLaser(bool, double, double, int, int) { NotYet(); }
int CScanner::CheckLaserPowerSpec(bool) { NotYet(); }
void CScanner::TestLaserPowerMinMax(bool, double&, double&) { NotYet(); }
unsigned CScanner::CalculatePMTVoltage(int, double, unsigned) { NotYet(); }

// An unstable calibration that keeps the full voltages.
void CScanner::CalibratePMT(int, double, double, double, unsigned fullVoltRed, unsigned fullVoltGreen,
                            unsigned& newVoltRed, unsigned& newVoltGreen, int& badCalibration, double, double) {
  newVoltRed = fullVoltRed;
  newVoltGreen = fullVoltGreen;
  badCalibration = 1;
  throw 645;
}

void CScanner::SetDarkSubtractionValue(double, double, std::int32_t&, std::int32_t&) { NotYet(); }
int CScanner::SelfTest(bool) { return 0; }
void CScanner::InitializeSync() { NotYet(); }

// A status thread that asks "peek 0" once per pass until it is stopped.
void CScanner::StartStatusThread() {
  std::lock_guard lock(g_threadsMutex);
  auto& thread = g_threads[this];
  if (thread && thread->running()) return;
  thread = std::make_shared<platform::Thread>();
  m_bStatusThreadEnabled = true;
  m_bStatusThreadRunning = true;
  thread->start([this](platform::Event& stop) -> std::uint32_t {
    while (m_bStatusThreadEnabled) {
      try {
        Peek("0");
      } catch (int) {
      }
      if (!m_bStatusThreadEnabled || stop.wait(std::chrono::milliseconds(3000))) break;
    }
    m_bStatusThreadRunning = false;
    return 0;
  });
}
