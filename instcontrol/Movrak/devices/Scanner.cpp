#include "devices/Scanner.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "Jotwell/Logger.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/PMTCalibration.h"
#include "link/MessageTable.h"
#include "platform/text.h"

using namespace movrak;

namespace {

constexpr int kRawReply = 200;
constexpr int kStatusChars = 3;
constexpr int kSlowStageTimeoutCode = 20;
constexpr int kMaxDiagChannel = 15;

std::atomic<MessagePumpHook> g_messagePump{nullptr};

// Translations in progress on this thread: a command sent while translating is not
// translated specially again, so a failing follow-up cannot start another follow-up.
thread_local int t_translationDepth = 0;

struct TranslationScope {
  TranslationScope() { ++t_translationDepth; }
  ~TranslationScope() { --t_translationDepth; }
  TranslationScope(const TranslationScope&) = delete;
  TranslationScope& operator=(const TranslationScope&) = delete;
};

}  // namespace

// ---- free functions ------------------------------------------------------------------------

bool IsTarselBarcode(const char* barcode, const char* format) {
  if (!barcode || !format || format[0] != '7') return false;
  const std::size_t length = std::strlen(barcode);
  for (std::size_t i = 0; i < length; ++i)
    if (barcode[i] < '0' || barcode[i] > '9') return false;
  return (length == 12 && std::strncmp(barcode, "25", 2) == 0) ||
         (length == 14 && std::strncmp(barcode, "16", 2) == 0);
}

MessagePumpHook SetMessagePumpHook(MessagePumpHook hook) { return g_messagePump.exchange(hook); }

void PumpWaitingMessages() {
  if (const MessagePumpHook pump = g_messagePump.load()) pump();
}

// ---- CInstrument -----------------------------------------------------------------------------

CInstrument::CInstrument() : m_Comm(this), m_Flash(this) {}

CInstrument::~CInstrument() = default;

// ---- CScanner: construction and state ---------------------------------------------------------

CScanner::CScanner() {
  m_pSlowStage = std::make_unique<CStage>(this, kSlowStageMotor, 0x2000001, 101, "Slow Stage", "MinStagePos",
                                          "MaxStagePos");
  m_pVCStage = std::make_unique<CStage>(this, kVCStageMotor, 0x4000001, 102, "Voice Coil Stage", "", "");
  m_pAFMotor = std::make_unique<CMotor>(this, kAFMotor, 0x5000001, 103, "Autofocus Voice Coil");
  m_pCarousel = std::make_unique<CCarousel>(this, kALCarousel, 0x6000001, 105, "Autoloader Carousel",
                                            "ALCarouselNumSlots");
  m_pArm = std::make_unique<CArm>(this, kALArm, 0x6000002, 106, "Autoloader Arm");
  m_pScanDSP = std::make_unique<CScanDSP>(this, kScan, "Scan DSP");
  m_pVCStageDSP = std::make_unique<CDSP>(this, kVCStage, "VC Stage DSP");
  m_pAFDSP = std::make_unique<CDSP>(this, kVCAF, "Autofocus DSP");
  m_pScanObj = std::make_unique<CScanObj>(this);
  m_pAutoloader =
      std::make_unique<CAutoloader>(AutoloaderDevices{m_Comm, m_Flash, *m_pSlowStage, *m_pVCStage,
                                                      *m_pAFMotor, *m_pCarousel, *m_pArm, *m_pScanObj},
                                    *this);
  static const char* const kColours[] = {"Red", "Green", "Purple", "Yellow"};
  static const char* const kKeys[] = {"PMT1", "PMT2", "PMT3", "PMT4"};
  for (int i = 0; i < 4; ++i)
    m_Channels[static_cast<std::size_t>(i)].Configure(this, i, kColours[i], kKeys[i]);
  m_DSPs = {nullptr, m_pScanDSP.get(), m_pVCStageDSP.get(), m_pAFDSP.get()};
}

CScanner::~CScanner() { ShutdownStatusThread(); }

const char* CScanner::GetStateName(int state) {
  switch (state) {
    case kStateError:
      return "Error";
    case kStateOffline:
      return "Offline";
    case kStateInitializing:
      return "Initializing";
    case kStateReady:
      return "Ready";
    case kStateBrowsing:
      return "Browsing Carousel";
    case kStateWarming:
      return "Lasers Warming";
    case kStateLasersOff:
      return "Lasers Off";
    case kStateCalibLasers:
      return "Calibrating Laser Power";
    case kStateCarouselRun:
      return "Carousel Running";
    default:
      return "Unknown";
  }
}

void CScanner::SetScannerState(tagScannerState state) {
  LogDebug(1, "Scanner State is: %s", GetStateName(state));
  m_eState = state;
  if (state == kStateWarming) m_Lasers.OnEnterWarming();
}

std::string CScanner::GetStatusMsg() {
  const tagScannerState state = m_eState;
  // While initialising, the step texts stay.
  if (state != kStateInitializing) m_nStatusMsgId = kStatusMsgBase + static_cast<unsigned>(state);
  std::string text;
  if (!LoadMessageString(static_cast<int>(m_nStatusMsgId.load()), text)) text = "Unknown status message";
  std::string error;
  if (state == kStateError && m_nErrorId != 0 && LoadMessageString(m_nErrorId, error)) text += "\r\n" + error;
  return text;
}

CMotor* CScanner::GetMotor(int motorId) {
  switch (motorId) {
    case kSlowStageMotor:
      return m_pSlowStage.get();
    case kVCStageMotor:
      return m_pVCStage.get();
    case kAFMotor:
      return m_pAFMotor.get();
    case kALCarousel:
      return m_pCarousel.get();
    case kALArm:
      return m_pArm.get();
    default:
      return nullptr;
  }
}

CChannel* CScanner::GetChannel(int channel) {
  return channel >= 0 && channel < 4 ? &m_Channels[static_cast<std::size_t>(channel)] : nullptr;
}

// ---- error translation ------------------------------------------------------------------------

int CScanner::TranslateDSPError(unsigned code) {
  return code == 0 ? 0 : kDspErrorBase + static_cast<int>(code);
}

int CScanner::TranslateRuntimeError(unsigned code) {
  if (code == 0) return 0;
  const int plain = kRuntimeStatusBase + static_cast<int>(code);
  if (t_translationDepth > 0) return plain;
  TranslationScope scope;
  return TranslateSpecial(code);
}

int CScanner::TranslateSpecial(unsigned code) {
  const int plain = kRuntimeStatusBase + static_cast<int>(code);
  switch (code) {
    case 3:
    case 8: {
      // The scan DSP says what went wrong; without a result of its own the code stands.
      try {
        const int result = m_pScanDSP->GetLastResult();
        if (result < 0) return plain;
        const int id = TranslateDSPError(static_cast<unsigned>(result));
        return id != 0 ? id : plain;
      } catch (int) {
        return plain;
      }
    }
    case kSlowStageTimeoutCode: {
      char position[200] = {};
      int read = 0;
      m_Comm.ReadString(position, 199, &read);
      std::string text(position, static_cast<std::size_t>(std::clamp(read, 0, 199)));
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '\0'))
        text.pop_back();
      LogDebug(1, "Slow Stage Timeout.  Position is: %s", text.c_str());
      return plain;
    }
    case 43:
    case 44:
      try {
        const int id = GetDSPExtendedStatus();
        if (id == kErrFastStageTempMonitor)
          LogError("Fast stage temperature monitor failure, PIC status = 0x%x.", GetPICStatus(2));
        else if (id == kErrAutofocusTempMonitor)
          LogError("Autofocus stage temperature monitor failure, PIC status = 0x%x.", GetPICStatus(3));
        return id;
      } catch (int) {
        return plain;
      }
    default:
      return plain;
  }
}

// ---- instrument commands -------------------------------------------------------------------------

std::string CScanner::Command(const std::string& line, const char* failure) {
  std::string rest;
  int error = 0;
  {
    CCommLock lock(m_Comm);
    error = Exchange(m_Comm, line, &rest);
  }
  if (error != 0) {
    if (failure) LogDebug(1, "%s", FormatText(failure, error).c_str());
    throw error;
  }
  return rest;
}

namespace {
// A hexadecimal value that must be there (512 when it is not).
std::uint32_t HexValue(const std::string& rest) {
  const auto v = platform::parseLeadingHex(rest);
  if (!v) throw kErrUnknown;
  return *v;
}
}  // namespace

bool CScanner::IsInstrumentReady() {
  for (int i = 0; i < kReadyPolls; ++i) {
    PumpWaitingMessages();
    if ((m_Comm.SerialPoll() & 0xFF) == 0) return true;
  }
  return false;
}

void CScanner::Poke(const char* address, const char* value) {
  LogDebug(5, "Poke():  Address: %s   Value: %s", address ? address : "", value ? value : "");
  if (!IsSingleToken(address) || !IsSingleToken(value)) throw kErrBadParameter;
  int error = 0;
  {
    CCommLock lock(m_Comm);
    if (!IsInstrumentReady()) throw kErrNotReady;
    const std::string line = FormatText("%s %s %s\n", "poke", address, value);
    int written = 0;
    error = m_Comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (error == 0) error = ReadRawStatus(m_Comm, kStatusChars);
  }
  if (error != 0) throw error;
}

unsigned char CScanner::Peek(const char* address) {
  LogDebug(5, "Peek():  Address: %s", address ? address : "");
  if (!IsSingleToken(address)) throw kErrBadParameter;
  unsigned char result = 0xFF;
  int error = 0;
  {
    CCommLock lock(m_Comm);
    if (!IsInstrumentReady()) throw kErrNotReady;
    const std::string line = FormatText("%s %s\n", "peek", address);
    int written = 0;
    error = m_Comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (error == 0) error = ReadRawStatus(m_Comm, kStatusChars);
    if (error == 0) {
      char value[kRawReply + 1] = {};
      int read = 0;
      error = m_Comm.ReadString(value, kRawReply, &read);
      read = std::clamp(read, 0, kRawReply);
      // The value, without the reply's line end.
      if (error == 0 && read > 0) {
        if (const auto v =
                platform::parseLeadingHex(std::string_view(value, static_cast<std::size_t>(read - 1))))
          result = static_cast<unsigned char>(*v);
      }
    }
  }
  if (error != 0) {
    LogDebug(1, "Peek failed with error %d", error);
    throw error;
  }
  LogDebug(5, "Peek():  Result: 0x%X", static_cast<unsigned>(result));
  return result;
}

void CScanner::SetLEDs(unsigned char green, unsigned char yellow, unsigned char red, unsigned char mode) {
  LogDebug(1, "SetLEDs():  green: %d  yellow: %d  red: %d", green, yellow, red);
  int error = 0;
  {
    CCommLock lock(m_Comm);
    const std::string line =
        FormatText("%s 0x%x 0x%x 0x%x 0x%x\n", "setledmode", static_cast<unsigned>(green),
                   static_cast<unsigned>(yellow), static_cast<unsigned>(red), static_cast<unsigned>(mode));
    int written = 0;
    error = m_Comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (error == 0) error = ReadRawStatus(m_Comm, kRawReply);
  }
  if (error != 0) throw error;
}

void CScanner::SetADC(long, long, long) { LogDebug(1, "CScanner::SetADC() function is not for C scanner"); }

std::uint32_t CScanner::ReadDiagADC(unsigned char channel) {
  LogDebug(5, "ReadDiagADC():  Channel: %u", static_cast<unsigned>(channel));
  if (channel > kMaxDiagChannel) throw kErrInvalidDiagChannel;
  const std::uint32_t value =
      HexValue(Command(FormatText("%s 0x%X\n", "readdiagadc", static_cast<unsigned>(channel)), nullptr));
  LogDebug(5, "ReadDiagADC():  Channel: %u  Value: %u", static_cast<unsigned>(channel), value);
  return value;
}

std::uint16_t CScanner::ReadPSDVal() {
  LogDebug(5, "ReadPSDVal()");
  const auto value = static_cast<std::uint16_t>(HexValue(Command(FormatText("%s\n", "psdval"), nullptr)));
  LogDebug(5, "ReadPSDVal():  Value: 0x%X", static_cast<unsigned>(value));
  return value;
}

void CScanner::FlushDMALatch() {
  LogDebug(5, "FlushDMALatch()");
  int error = 0;
  {
    CCommLock lock(m_Comm);
    const std::string line = FormatText("%s\n", "flushdmalatch");
    int written = 0;
    error = m_Comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    int status = 0;
    std::string rest;
    if (error == 0) error = m_Comm.ReadResponse(&status, rest);
    // Whatever the instrument answers short of success means the latch was not flushed;
    // a link failure stays what it is.
    if (error == 0 && status != 0) error = kErrFlushDMA;
  }
  if (error != 0) throw error;
}

int CScanner::GetDSPExtendedStatus() {
  LogDebug(5, "GetDSPExtendedStatus()");
  std::string rest;
  try {
    rest = Command(FormatText("%s\n", "dspextstatus"), nullptr);
  } catch (int e) {
    LogDebug(1, "GetDSPExtendedStatus failed with error: 0x%x", static_cast<unsigned>(e));
    throw;
  }
  const auto comma = rest.find(',');
  const auto dsp = platform::parseLeadingHex(rest);
  const auto status =
      comma == std::string::npos ? std::nullopt : platform::parseLeadingHex(rest.substr(comma + 1));
  if (!dsp || !status) {
    LogDebug(1, "GetDSPExtendedStatus failed with error: 0x%x", static_cast<unsigned>(kErrUnknown));
    throw kErrUnknown;
  }
  LogDebug(1, "DSP extended status:  DSP: %s  Status: 0x%x", *dsp == kVCStage ? "Fast Stage" : "Autofocus",
           *status);
  if (*dsp == kVCStage) return kStageStatusBase + static_cast<int>(*status);
  if (*dsp == kVCAF) return kAutofocusStatusBase + static_cast<int>(*status);
  return kErrUnexpectedDSP;
}

std::uint32_t CScanner::GetPICStatus(int n) {
  LogDebug(5, "GetPICStatus():  %d", n);
  try {
    return HexValue(Command(FormatText("%s %d\n", "getpicstatus", n), nullptr));
  } catch (int e) {
    LogDebug(1, "GetPICStatus failed with error: 0x%x", static_cast<unsigned>(e));
    throw;
  }
}

namespace {

// One version line "L,h,h,h,field,text": false when it is not of that form.
bool ParseVersionLine(std::string_view line, std::string& version, std::string& field) {
  if (line.size() < 2 || line[1] != ',') return false;
  const char letter = line[0];
  line.remove_prefix(2);
  unsigned numbers[3];
  for (unsigned& n : numbers) {
    const auto comma = line.find(',');
    if (comma == std::string_view::npos) return false;
    const auto v = platform::parseLeadingHex(line.substr(0, comma));
    if (!v) return false;
    n = *v;
    line.remove_prefix(comma + 1);
  }
  const auto comma = line.find(',');
  if (comma == std::string_view::npos || comma == 0) return false;
  field.assign(line.substr(0, comma));
  const std::string text(line.substr(comma + 1));
  if (text.empty()) return false;
  version = FormatText("Version %c.%u.%u.%u %s", letter, numbers[0], numbers[1], numbers[2], text.c_str());
  return true;
}

// The reply's lines, without their line ends.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

}  // namespace

void CScanner::GetFWVersion(std::string& bootVersion, std::string& bootField, std::string& runtimeVersion,
                            std::string& runtimeField, std::uint32_t* ramSize) {
  LogDebug(5, "GetFWVersion()");
  const char* failure = "GetFWVersion returned error: %d";
  const std::string rest = Command(FormatText("%s\n", "getversioninfo"), failure);
  LogDebug(5, "Firmware Version String is %s", rest.c_str());
  const auto lines = Lines(rest);
  std::string boot, bootF, runtime, runtimeF;
  const bool ok = lines.size() >= 3 && ParseVersionLine(lines[0], boot, bootF) &&
                  ParseVersionLine(lines[1], runtime, runtimeF) &&
                  platform::parseLeadingHex(lines[2]).has_value();
  if (!ok) {
    LogDebug(1, failure, kErrUnknown);
    throw kErrUnknown;
  }
  bootVersion = boot;
  bootField = bootF;
  runtimeVersion = runtime;
  runtimeField = runtimeF;
  if (ramSize) *ramSize = *platform::parseLeadingHex(lines[2]);
}

void CScanner::GetDSPVersion(std::array<std::string, 3>& versions, std::array<std::string, 3>& fields) {
  LogDebug(5, "GetDSPVersion()");
  const char* failure = "GetDSPVersion returned error: %d";
  const std::string rest = Command(FormatText("%s\n", "getdspversioninfo"), failure);
  LogDebug(5, "DSP Version String is %s", rest.c_str());
  const auto lines = Lines(rest);
  std::array<std::string, 3> v, f;
  bool ok = lines.size() >= 3;
  for (std::size_t i = 0; ok && i < 3; ++i) ok = ParseVersionLine(lines[i], v[i], f[i]);
  if (!ok) {
    LogDebug(1, failure, kErrUnknown);
    throw kErrUnknown;
  }
  versions = v;
  fields = f;
}

std::uint32_t CScanner::ReadAutoloaderSensor() {
  LogDebug(5, "ReadAutoloaderSensor()");
  const std::uint32_t value =
      HexValue(Command(FormatText("%s\n", "readalsensor"), "Sensor read returned error: %d"));
  LogDebug(5, "Sensor read back value: 0x%X", value);
  return value;
}

bool CScanner::IsDoorClosed() {
  LogDebug(5, "IsDoorClosed()");
  return HexValue(Command(FormatText("%s\n", "doorclosed"), "IsDoorClosed failed with error: %d")) == 1;
}

void CScanner::LockDoor() {
  LogDebug(5, "LockDoor()");
  LogInfo("Locking Door");
  Command(FormatText("%s\n", "lockdoor"), "LockDoor failed with error: %d");
}

void CScanner::UnLockDoor() {
  LogDebug(5, "UnLockDoor()");
  LogInfo("Unlocking Door");
  Command(FormatText("%s\n", "unlockdoor"), "UnLockDoor failed with error: %d");
}

void CScanner::PrepareBarcodeReader() {
  LogDebug(5, "PrepareBarcodeReader()");
  Command(FormatText("%s\n", "preparebcr"), "PrepareBarcodeReader failed with error: %d");
}

std::string CScanner::ReadBarcode() {
  LogDebug(5, "ReadBarcode()");
  m_nBarcodeCheck = 0;
  const std::string rest = Command(FormatText("%s\n", "readbarcode"), "ReadBarcode failed with error: %d");
  LogDebug(4, "Barcode read: %s", rest.c_str());
  const auto comma = rest.rfind(',');
  const std::string format = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
  const std::string barcode = comma == std::string::npos ? std::string() : rest.substr(0, comma);
  const bool ours = IsTarselBarcode(barcode.c_str(), format.c_str());
  m_nBarcodeCheck = ours ? 1 : 0;
  LogDebug(4, "Barcode: %s  Format: %s IsTarselBarcode: %d", barcode.c_str(), format.c_str(), ours ? 1 : 0);
  if (!ours)
    LogDebug(1, "Barcode = %s, format = %s [non-Tarsel barcode]", barcode.c_str(),
             format.empty() ? "???" : format.substr(0, 1).c_str());
  return barcode;
}

void CScanner::BarcodeReaderLaserControl(bool on) {
  LogDebug(5, "BarcodeReaderLaserControl()");
  Command(FormatText("%s %d\n", "bcrlasercontrol", on ? 1 : 0),
          "BarcodeReaderLaserControl failed with error: %d");
  LogInfo("Turned Barcode Reader Light %s", on ? "ON" : "OFF");
}

// ---- serial number and model ---------------------------------------------------------------------

std::optional<std::string> CScanner::ReadIdentity(const char* key, bool& busy) {
  busy = !m_Comm.LockComm();
  if (busy) return std::nullopt;
  std::optional<std::string> value;
  try {
    value = m_Flash.GetString(key);
  } catch (int e) {
    m_Comm.UnlockComm();
    if (e != kErrNoSuchFlashKey) throw;
    return std::nullopt;
  }
  m_Comm.UnlockComm();
  return value;
}

std::string CScanner::GetSerialNumber() {
  bool busy = false;
  if (auto serial = ReadIdentity("InstSerialNum", busy)) return *serial;
  if (busy) return "unavailable";
  LogWarning("No serial number set in FLASH for this instrument");
  std::string text;
  return LoadMessageString(107, text) ? text : "Unknown Serial number";
}

std::string CScanner::GetModel() {
  bool busy = false;
  if (auto model = ReadIdentity("Model", busy)) {
    m_strModel = *model;
    return *model;
  }
  if (busy) return m_strModel;  // the last one known
  LogWarning("No model set in FLASH for this instrument");
  std::string text;
  return LoadMessageString(108, text) ? text : "Unknown scanner model";
}

// ---- PMT calibration -------------------------------------------------------------------------

unsigned CScanner::CalculatePMTVoltage(int channel, double ratio, unsigned referenceVoltage) {
  CInstrumentPMTBench bench(m_Flash, m_Channels, m_DataPort, *m_pScanObj);
  return CPMTCalibration(bench).CalculatePMTVoltage(channel, ratio, referenceVoltage);
}

void CScanner::CalibratePMT(int channelMask, unsigned pixelSizeX, double ratioRed, double ratioGreen,
                            unsigned fullVoltRed, unsigned fullVoltGreen, unsigned& newVoltRed,
                            unsigned& newVoltGreen, int& badCalibration, float /*laserCompensationRed*/,
                            float /*laserCompensationGreen*/) {
  CInstrumentPMTBench bench(m_Flash, m_Channels, m_DataPort, *m_pScanObj);
  CPMTCalibration(bench).Calibrate(channelMask, pixelSizeX, ratioRed, ratioGreen, fullVoltRed, fullVoltGreen,
                                   newVoltRed, newVoltGreen, badCalibration);
}

void CScanner::SetDarkSubtractionValue(double redMean, double greenMean, std::int32_t& redValue,
                                       std::int32_t& greenValue) {
  CInstrumentPMTBench bench(m_Flash, m_Channels, m_DataPort, *m_pScanObj);
  CPMTCalibration(bench).SetDarkSubtractionValue(redMean, greenMean, redValue, greenValue);
}
