#include "devices/Motor.h"

#include <cstdlib>
#include <optional>
#include <vector>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "devices/DeviceContext.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Flash.h"
#include "devices/ScannerTypes.h"
#include "link/LanComm.h"
#include "link/MessageTable.h"

using namespace movrak;

namespace {
constexpr const char* kStepTestFile = "SSTest_RawPosData.txt";
constexpr int kStatusChars = 3;

// Samples come as the instrument's 16-bit words lie in memory: low byte first.
std::uint16_t LE16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
}  // namespace

// ---- CMotor ------------------------------------------------------------------------------

CMotor::CMotor(IDeviceContext* owner, int motorId, std::uint32_t firmwareId, int nameId,
               const char* defaultName)
    : m_pOwner(owner), m_nMotorId(motorId), m_nFirmwareId(firmwareId) {
  if (!LoadMessageString(nameId, m_strName)) m_strName = defaultName ? defaultName : "";
  LogDebug(5, "%s Motor configured with firmware id 0x%X and motor id %u", m_strName.c_str(), m_nFirmwareId,
           static_cast<unsigned>(m_nMotorId));
}

CMotor::~CMotor() = default;

IDeviceContext& CMotor::Owner() const {
  if (!m_pOwner) throw kErrMotorNotConfigured;
  return *m_pOwner;
}

long CMotor::HexValue(const std::string& rest) {
  const auto v = ParseHex32(rest);
  if (!v) throw kErrUnknown;
  return *v;
}

std::string CMotor::Command(const std::string& line, const std::string& error, int timeoutMs) {
  CLanComm& comm = Owner().GetComm();
  std::string rest;
  int result = 0;
  {
    CCommLock lock(comm);
    if (timeoutMs > 0) {
      CTimeoutScope timeout(comm, timeoutMs);
      result = Exchange(comm, line, &rest);
    } else {
      result = Exchange(comm, line, &rest);
    }
  }
  if (result != 0) {
    if (!error.empty()) LogDebug(1, "%s", FormatText(error.c_str(), result).c_str());
    throw result;
  }
  return rest;
}

void CMotor::Init(bool home) {
  LogDebug(5, "%s %s Motor.", home ? "Init and Home" : "Init", m_strName.c_str());
  Command(FormatText("%s 0x%x %d\n", "initmotor", m_nFirmwareId, home ? 1 : 0),
          "Init " + m_strName + " Motor returned error: %d", kInitTimeoutMs);
}

void CMotor::Home() {
  LogDebug(5, "Home %s Motor", m_strName.c_str());
  Command(FormatText("%s 0x%x\n", "homemotor", m_nFirmwareId),
          "Home " + m_strName + " Motor returned error: %d", kMoveTimeoutMs);
}

long CMotor::GetPos() {
  LogDebug(5, "Getting %s Motor's position", m_strName.c_str());
  const long pos = HexValue(Command(FormatText("%s 0x%x 0x%x\n", "getmotorpos", m_nFirmwareId, 0u),
                                    "Getting position for " + m_strName + " Motor returned error: %d"));
  LogDebug(5, "Position for %s Motor is %ld", m_strName.c_str(), pos);
  return pos;
}

long CMotor::GetPosPhys() {
  LogDebug(5, "Getting %s Motor's physical position", m_strName.c_str());
  const long pos =
      HexValue(Command(FormatText("%s 0x%x 0x%x\n", "getmotorpos", m_nFirmwareId, 1u),
                       "Getting physical position for " + m_strName + " Motor returned error: %d"));
  LogDebug(5, "Physical position for %s Motor is %ld", m_strName.c_str(), pos);
  return pos;
}

void CMotor::Move(int physical, int relative, long value) {
  const std::string kind =
      FormatText("%s%s", relative ? "relative" : "absolute", physical ? " physical" : "");
  LogDebug(5, "Setting %s position of %s Motor to %ld", kind.c_str(), m_strName.c_str(), value);
  // The carousel turns slot by slot: 10 s plus 5 s per slot.
  int timeoutMs = kMoveTimeoutMs;
  if (physical && m_nMotorId == kALCarousel)
    timeoutMs = static_cast<int>(std::labs(value) * kCarouselSlotTimeoutMs + kCarouselBaseTimeoutMs);
  Command(FormatText("%s 0x%x 0x%x 0x%x %ld\n", "movemotor", m_nFirmwareId, static_cast<unsigned>(physical),
                     static_cast<unsigned>(relative), value),
          "Setting " + kind + " position for " + m_strName + " Motor returned error: %d", timeoutMs);
}

void CMotor::MoveAbs(long pos) { Move(0, 0, pos); }
void CMotor::MoveRel(long distance) { Move(0, 1, distance); }
void CMotor::MoveAbsPhys(long pos) { Move(1, 0, pos); }
void CMotor::MoveRelPhys(long distance) { Move(1, 1, distance); }

long CMotor::GetSpeed() {
  LogDebug(5, "Getting speed of %s Motor", m_strName.c_str());
  const long speed = HexValue(Command(FormatText("%s 0x%x\n", "motorgetspeed", m_nFirmwareId),
                                      "Getting speed for " + m_strName + " Motor returned error: %d"));
  LogDebug(5, "Speed of %s Motor is %ld", m_strName.c_str(), speed);
  return speed;
}

long CMotor::GetMaxPos() {
  return HexValue(Command(FormatText("%s 0x%x\n", "mtrgetmaxpos", m_nFirmwareId), ""));
}

long CMotor::GetMinPos() {
  return HexValue(Command(FormatText("%s 0x%x\n", "mtrgetminpos", m_nFirmwareId), ""));
}

void CMotor::SetSpeed(long speed) {
  LogDebug(5, "Setting speed of %s Motor to %ld", m_strName.c_str(), speed);
  Command(FormatText("%s 0x%x %ld\n", "motorsetspeed", m_nFirmwareId, speed),
          "Setting speed for " + m_strName + " Motor returned error: %d");
}

void CMotor::SetSpeedAcc(long speed, long accel) {
  CCommLock lock(Owner().GetComm());
  LogDebug(5, "Setting speed of %s Motor to %ld", m_strName.c_str(), speed);
  LogDebug(5, "Setting acceleration of %s Motor to %ld", m_strName.c_str(), accel);
  LogDebug(1, "Setting speed and acceleration for %s Motor returned error: %d", m_strName.c_str(),
           kErrNotImplemented);
  throw kErrNotImplemented;
}

void CMotor::Poke(std::uint32_t address, std::uint32_t value) {
  LogDebug(5, "Setting address 0x%x of %s Motor to 0x%x", address, m_strName.c_str(), value);
  Command(FormatText("%s 0x%x 0x%x 0x%x\n", "mtrpoke", m_nFirmwareId, address, value),
          "Setting address for " + m_strName + " Motor returned error: %d");
}

std::uint32_t CMotor::Peek(std::uint32_t address) {
  LogDebug(5, "Getting address 0x%x of %s Motor", address, m_strName.c_str());
  const std::string rest = Command(FormatText("%s 0x%x 0x%x \n", "mtrpeek", m_nFirmwareId, address),
                                   "Getting address for " + m_strName + " Motor returned error: %d");
  char* end = nullptr;
  const unsigned long long v = std::strtoull(rest.c_str(), &end, 0);
  if (end == rest.c_str() || v > 0xFFFFFFFFull) throw kErrUnknown;
  const auto value = static_cast<std::uint32_t>(v);
  LogDebug(5, "Value at address 0x%x for %s Motor is 0x%x", address, m_strName.c_str(), value);
  return value;
}

void CMotor::RawCommand(const std::string& line, const std::string& error, std::uint8_t* data, int bytes,
                        int timeoutMs) {
  IDeviceContext& owner = Owner();
  CLanComm& comm = owner.GetComm();
  int result = 0;
  {
    CCommLock lock(comm);
    std::optional<CTimeoutScope> timeout;
    if (timeoutMs > 0) timeout.emplace(comm, timeoutMs);
    int written = 0;
    result = comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (result == 0) result = ReadRawStatus(comm, kStatusChars);
    if (result == 0 && bytes > 0) result = ReadRawBytes(comm, data, bytes);
  }
  if (result != 0) {
    LogDebug(1, "%s", FormatText(error.c_str(), result).c_str());
    throw result;
  }
}

void CMotor::Tune(long time, long position, std::uint16_t* samples, long count) {
  LogDebug(5, "Tuning %s Motor", m_strName.c_str());
  if ((count > 0 && !samples) || count < 0 || count > 0x7FFFFFFF / 2) throw kErrBadParameter;
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(count) * 2);
  RawCommand(FormatText("%s 0x%x 0x%x 0x%x 0x%x\n", "tunemotor", m_nFirmwareId, static_cast<unsigned>(count),
                        static_cast<unsigned>(time), static_cast<unsigned>(position)),
             "Tuning " + m_strName + " Motor returned error: %d", raw.data(), static_cast<int>(raw.size()),
             0);
  for (long i = 0; i < count; ++i) samples[i] = LE16(&raw[static_cast<std::size_t>(i) * 2]);
}

void CMotor::Enable() {
  LogDebug(5, "Enabling %s Motor", m_strName.c_str());
  Command(FormatText("%s 0x%x\n", "mtrenable", m_nFirmwareId),
          "Enabling " + m_strName + " Motor returned error: %d");
}

void CMotor::Disable() {
  LogDebug(5, "Disabling %s Motor", m_strName.c_str());
  Command(FormatText("%s 0x%x\n", "mtrdisable", m_nFirmwareId),
          "Disabling " + m_strName + " Motor returned error: %d");
}

void CMotor::DriverOn() {
  LogDebug(5, "Turning driver on for %s Motor", m_strName.c_str());
  Command(FormatText("%s 0x%x\n", "mtrdriveron", m_nFirmwareId),
          "Turning driver on for " + m_strName + " Motor returned error: %d");
}

void CMotor::DriverOff() {
  LogDebug(5, "Turning driver off for %s Motor", m_strName.c_str());
  Command(FormatText("%s 0x%x\n", "mtrdriveroff", m_nFirmwareId),
          "Turning driver off for " + m_strName + " Motor returned error: %d");
}

void CMotor::Calibrate() {
  LogDebug(5, "Calibrating %s Motor", m_strName.c_str());
  Command(FormatText("%s 0x%x\n", "motorcalibrate", m_nFirmwareId),
          "Calibration of " + m_strName + " Motor returned error: %d");
}

void CMotor::SetOpenLoopMode() {
  CCommLock lock(Owner().GetComm());
  LogDebug(5, "Setting %s Motor to open loop mode", m_strName.c_str());
  SetSpeed(-1);
}

void CMotor::StepTest(int move1, int move2, unsigned readDelay, std::uint16_t* samples, unsigned numSteps) {
  Owner();
  LogDebug(5, "Step test for %s Motor: NumSteps=%u, ReadDelay=%u, Step1stMoveCt=%d, Step2ndMoveCt=%d",
           m_strName.c_str(), numSteps, readDelay, move1, move2);
  if (m_nMotorId != kSlowStageMotor) throw kErrInvalidMotor;
  if ((numSteps > 0 && !samples) || numSteps > 0x7FFFFFFFu / 8) throw kErrBadParameter;
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(numSteps) * 8);
  RawCommand(FormatText("%s 0x%x 0x%x 0x%x 0x%x 0x%x\n", "mtrstep", m_nFirmwareId, numSteps, readDelay,
                        static_cast<unsigned>(move1), static_cast<unsigned>(move2)),
             m_strName + " Motor step test returned error: %d", raw.data(), static_cast<int>(raw.size()),
             kMoveTimeoutMs);
  std::string text;
  for (unsigned i = 0; i < numSteps; ++i) {
    const std::uint8_t* step = &raw[static_cast<std::size_t>(i) * 8];
    for (int k = 0; k < 4; ++k) samples[i * 4 + static_cast<unsigned>(k)] = LE16(step + 2 * k);
    text += FormatText("%u\t%u\t%u\t%d\r\n", LE16(step), LE16(step + 2), LE16(step + 4),
                       static_cast<int>(static_cast<std::int16_t>(LE16(step + 6))));
  }
  // A file that cannot be written costs only the file.
  const std::string path = InstallDataFolder() + "/" + kStepTestFile;
  if (!WriteWholeFile(path, text)) LogDebug(1, "Unable to write the step test file %s", path.c_str());
}

void CMotor::SetParams(short kp, short ki, short kd, short iMax, long accel, long vel) {
  LogDebug(5, "Set %s Motor parameters: kp=%d, ki=%d, kd=%d, iMax=%d, accel=%ld, vel=%ld", m_strName.c_str(),
           kp, ki, kd, iMax, accel, vel);
  const auto a = static_cast<std::uint32_t>(accel);
  const auto v = static_cast<std::uint32_t>(vel);
  Command(FormatText("%s 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x\n", "mtrsetparams", m_nFirmwareId,
                     static_cast<unsigned short>(kp), static_cast<unsigned short>(ki),
                     static_cast<unsigned short>(kd), static_cast<unsigned short>(iMax), a >> 16, a & 0xFFFF,
                     v >> 16, v & 0xFFFF),
          "Setting params for " + m_strName + " Motor returned error: %d");
}

void CMotor::SetCtrlMode(short mode) {
  LogDebug(5, "Set %s Motor ctrl mode: mode type = %d", m_strName.c_str(), mode);
  Command(
      FormatText("%s 0x%x 0x%x\n", "mtrsetctrlmode", m_nFirmwareId, static_cast<unsigned short>(mode)),
      FormatText("Setting ctrl mode to mode type %d for ", mode) + m_strName + " Motor returned error: %d");
}

// ---- CStage ------------------------------------------------------------------------------

CStage::CStage(IDeviceContext* owner, int motorId, std::uint32_t firmwareId, int nameId,
               const char* defaultName, const char* minKey, const char* maxKey)
    : CMotor(owner, motorId, firmwareId, nameId, defaultName),
      m_strMinKey(minKey ? minKey : ""),
      m_strMaxKey(maxKey ? maxKey : "") {}

CStage::~CStage() = default;

long CStage::FlashLimit(const std::string& key, const char* which) {
  IDeviceContext& owner = Owner();
  CCommLock lock(owner.GetComm());
  LogDebug(5, "Getting %s position for %s Motor", which, m_strName.c_str());
  try {
    const long value = owner.GetFlash().GetLong(key.c_str());
    LogDebug(1, "%c%s position for %s Motor is: %ld", which[0] - 'a' + 'A', which + 1, m_strName.c_str(),
             value);
    return value;
  } catch (int e) {
    LogDebug(1, "Getting %s position for %s Motor returned error: %d", which, m_strName.c_str(), e);
    throw;
  }
}

long CStage::GetFlashMinPos() { return FlashLimit(m_strMinKey, "minimum"); }

long CStage::GetFlashMaxPos() { return FlashLimit(m_strMaxKey, "maximum"); }

// ---- CCarousel -----------------------------------------------------------------------------

CCarousel::CCarousel(IDeviceContext* owner, int motorId, std::uint32_t firmwareId, int nameId,
                     const char* defaultName, const char* slotsKey)
    : CMotor(owner, motorId, firmwareId, nameId, defaultName), m_strSlotsKey(slotsKey ? slotsKey : "") {}

CCarousel::~CCarousel() = default;

int CCarousel::GetNumSlots() {
  IDeviceContext& owner = Owner();
  CCommLock lock(owner.GetComm());
  LogDebug(5, "Getting number of carousel slots");
  try {
    m_nSlots = static_cast<int>(owner.GetFlash().GetLong(m_strSlotsKey.c_str()));
  } catch (int e) {
    LogDebug(1, "Getting number of carousel slots flash key returned error: %d", e);
    throw;
  }
  LogDebug(5, "Number of carousel slots is %d", m_nSlots);
  return m_nSlots;
}

bool CCarousel::Sensor(const char* word, const char* error) {
  if (!m_pOwner) throw kErrSensorsNotConfigured;
  const long value = HexValue(Command(FormatText("%s\n", word), error));
  return value == 1;
}

bool CCarousel::IsHome() { return Sensor("carouselathome", "Carousel motor IsHome returned error: %d"); }
bool CCarousel::IsPresent() {
  return Sensor("carouselpresent", "Carousel motor IsPresent returned error: %d");
}
bool CCarousel::IsChipPresent() {
  return Sensor("chipincarousel", "Carousel motor IsChipPresent returned error: %d");
}
bool CCarousel::IsCarouselAligned() {
  return Sensor("fingerinslot", "Carousel motor IsCarouselAligned returned error: %d");
}

// ---- CArm ------------------------------------------------------------------------------------

CArm::~CArm() = default;

int CArm::GetLocation() {
  if (!m_pOwner) throw kErrSensorsNotConfigured;
  const long value =
      HexValue(Command(FormatText("%s\n", "armlocation"), "Arm motor GetLocation returned error: %d"));
  return value == 1 || value == 2 ? static_cast<int>(value) : kLocationUnknown;
}
