#include "devices/ScanObj.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "Jotwell/Logger.h"
#include "Pellux/ScanDataPort.h"
#include "devices/DeviceContext.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "link/LanComm.h"
#include "platform/clock.h"
#include "platform/text.h"

using namespace movrak;

namespace {

constexpr int kRawReply = 200;
constexpr int kStatusChars = 3;
constexpr int kAFRecord = 10;
constexpr int kCountedReply = 200;
constexpr int kSafeAFX = 36000;
constexpr int kSafeAFY = 28300;

enum : std::uint8_t { kPollReady = 0, kPollBusy = 1, kPollMoreData = 16 };

// Up to `n` comma-separated numbers at the start of `text`; returns how many converted.
int ParseDoubles(const std::string& text, double* out, int n) {
  const char* p = text.c_str();
  int converted = 0;
  for (; converted < n; ++converted) {
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p) break;
    out[converted] = v;
    p = end;
    if (*p != ',') {
      ++converted;
      break;
    }
    ++p;
  }
  return std::min(converted, n);
}

// The text after the status and its separator of a raw reply.
std::string AfterStatus(const std::string& reply) {
  const auto comma = reply.find(',');
  return comma == std::string::npos ? std::string() : reply.substr(comma + 1);
}

}  // namespace

CScanObj::CScanObj(IDeviceContext* scanner) : m_pScanner(scanner) {
  if (!m_pScanner) throw kErrScanNotConfigured;
}

CScanObj::~CScanObj() = default;

void CScanObj::SimpleCommand(const char* name, const char* line) {
  LogDebug(5, "%s", name);
  CLanComm& comm = m_pScanner->GetComm();
  int error = 0;
  {
    CCommLock lock(comm);
    int written = 0;
    error = comm.WriteString(line, static_cast<int>(std::char_traits<char>::length(line)), &written);
    if (error == 0) error = ReadRawStatus(comm, kRawReply);
  }
  if (error != 0) throw error;
}

void CScanObj::SetPackageType(int packageType) {
  SimpleCommand("CScanObj::SetPackageType()",
                FormatText("%s 0x%x\n", "setpackagetype", static_cast<unsigned>(packageType)).c_str());
}

void CScanObj::FindFiducials(double* v1, double* v2, double* v3) {
  LogDebug(5, "CScanObj::FindFiducials()");
  CLanComm& comm = m_pScanner->GetComm();
  std::string reply;
  int error = 0;
  {
    CCommLock lock(comm);
    CTimeoutScope timeout(comm, kFindTimeoutMs);
    const std::string line = FormatText("%s\n", "findchrome");
    int written = 0;
    error = comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (error == 0) error = ReadRawStatus(comm, kRawReply, &reply);
  }
  if (error != 0) throw error;
  double values[3] = {0, 0, 0};
  const int converted = ParseDoubles(AfterStatus(reply), values, 3);
  if (converted != 3)
    LogError("Error converting FindFiducials return values, only converted %d values", converted);
  double* out[3] = {v1, v2, v3};
  for (int i = 0; i < converted; ++i)  // what did not convert is left as it was
    if (out[i]) *out[i] = values[i];
}

void CScanObj::FindDatum(int x, int y, int packageType) {
  LogDebug(5, "CScanObj::FindDatum()");
  CLanComm& comm = m_pScanner->GetComm();
  int error = 0;
  {
    CCommLock lock(comm);
    SetPackageType(packageType);
    CTimeoutScope timeout(comm, kFindTimeoutMs);
    const std::string line = FormatText("%s %d,%d\n", "findchrome", x, y);
    int written = 0;
    error = comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (error == 0) {
      char values[kCountedReply];
      int status = 0;
      error = comm.ReadResponseCount(&status, values, sizeof values);
      if (error == 0) error = status;
    }
  }
  if (error != 0) throw error;
}

void CScanObj::SetScanRegion(int pixels, int rows, int vcStart, int stageStart, double vcIncrement,
                             double stageIncrement, int binX, int binY) {
  SimpleCommand("CScanObj::SetScanRegion()",
                FormatText("%s 0x%x 0x%x 0x%x 0x%x %f %f 0x%x 0x%x\n", "setscanregion",
                           static_cast<unsigned>(pixels), static_cast<unsigned>(rows),
                           static_cast<unsigned>(vcStart), static_cast<unsigned>(stageStart), vcIncrement,
                           stageIncrement, static_cast<unsigned>(binX), static_cast<unsigned>(binY))
                    .c_str());
}

double CScanObj::EnableAutoFocus(int x, int y, bool wantEncoder, int* encoderPos) {
  LogDebug(5, "CScanObj::EnableAutoFocus()");
  CLanComm& comm = m_pScanner->GetComm();
  std::string rest;
  int error = 0;
  {
    CCommLock lock(comm);
    CTimeoutScope timeout(comm, kAutofocusTimeoutMs);
    error = Exchange(
        comm,
        FormatText("%s 0x%x 0x%x\n", "enableautofocus", static_cast<unsigned>(x), static_cast<unsigned>(y)),
        &rest);
  }
  if (error != 0) throw error;

  double thickness = 0;
  long homing = 0, encoder = 0;
  int converted = 0;
  {
    const char* p = rest.c_str();
    char* end = nullptr;
    thickness = std::strtod(p, &end);
    if (end != p && *end == ',') {
      ++converted;
      p = end + 1;
      homing = static_cast<long>(std::strtoul(p, &end, 16));
      if (end != p && *end == ',') {
        ++converted;
        p = end + 1;
        encoder = static_cast<long>(static_cast<std::int32_t>(std::strtoul(p, &end, 16)));
        if (end != p) ++converted;
      }
    } else if (end != p) {
      ++converted;
    }
  }
  if (converted != 3)
    LogDebug(1, "Unable to Interpret Response to EnableAutofocus Command.Values may be Garbage.");
  LogDebug(1, "Got the Response to EnableAutofocus Command with the AF Homing status code [%d]",
           static_cast<int>(homing));
  if (wantEncoder && converted == 3) {
    LogDebug(1, "AF Encoder Pos after Homing is %d microns from its rest position",
             static_cast<int>(encoder));
    LogDebug(1, "Glass Thickness is %f microns", thickness);
    if (encoderPos) *encoderPos = static_cast<int>(encoder);
  } else {
    LogDebug(1, "AF Encoder Position is not available");
  }
  return thickness;
}

void CScanObj::StartScan(unsigned mask, unsigned rescans, unsigned outShift) {
  LogDebug(5, "CScanObj::StartScan()");
  m_pScanner->SetLEDs(2, 0, 3, 0);  // the scanning pattern
  CLanComm& comm = m_pScanner->GetComm();
  int error = 0;
  {
    CCommLock lock(comm);
    CTimeoutScope timeout(comm, kStartTimeoutMs);
    const std::string line = FormatText("%s 0x%x 0x%x 0x%x\n", "startscan", mask, rescans, outShift);
    int written = 0;
    error = comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (error == 0) error = ReadRawStatus(comm, kRawReply);
  }
  if (error != 0) throw error;
  GetScanLine();
}

void CScanObj::SquareStart(int pixels, int rows, int stageStart, double stageIncrement, int packageType,
                           int binX, int binY, unsigned rescans, unsigned outShift, unsigned mask,
                           int vcStart, double vcIncrement) {
  LogDebug(5, "CScanObj::SquareStart()");
  CCommLock lock(m_pScanner->GetComm());
  m_pScanner->SetLEDs(2, 0, 3, 0);
  SetPackageType(packageType);
  FindFiducials(nullptr, nullptr, nullptr);
  SetScanRegion(pixels, rows, vcStart, stageStart, vcIncrement, stageIncrement, binX, binY);
  EnableAutoFocus(kSafeAFX, kSafeAFY, false);
  ControlLasers(2, 2);
  StartScan(mask, rescans, outShift);
  ControlLasers(0, 0);
}

void CScanObj::GetScanLine() {
  LogDebug(5, "Sending the 68K the GetScanLine command");
  CLanComm& comm = m_pScanner->GetComm();
  int error = 0;
  {
    CCommLock lock(comm);
    const std::string line = FormatText("%s\n", "getscanline");
    int written = 0;
    error = comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (error == 0) error = ReadRawStatus(comm, kRawReply);
  }
  if (error != 0) {
    LogDebug(1, "GetScanLine error: 0x%X", static_cast<unsigned>(error));
    throw error;
  }
}

int CScanObj::GetResults() {
  LogDebug(5, "CScanObj::GetResults()");
  CLanComm& comm = m_pScanner->GetComm();
  int status = 0;
  {
    CCommLock lock(comm);
    status = Exchange(comm, FormatText("%s\n", "getscanresults"));
  }
  LogDebug(5, "GetResults response is %d", status);
  if (status != 0) throw status;
  return status;
}

double CScanObj::GetAFStats(long totalPixels) {
  LogDebug(5, "CScanObj::GetAFStats()");
  // The hold percentage is a share of the pixels: without any there is none to give.
  if (totalPixels < 1) throw kErrBadParameter;
  CLanComm& comm = m_pScanner->GetComm();
  std::vector<std::pair<int, int>> rows;  // row, error count
  long sum = 0;
  int error = 0;
  {
    CCommLock lock(comm);
    const std::string line = FormatText("%s\n", "getautofocusstats");
    int written = 0;
    error = comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (error == 0) error = ReadRawStatus(comm, kStatusChars);
    if (error == kErrAutofocusPartialHome) error = 0;
    while (error == 0) {
      char record[kAFRecord + 1] = {};
      int read = 0;
      error = comm.ReadString(record, kAFRecord, &read);
      if (error != 0 || read < kAFRecord) break;
      const auto row = platform::parseLeadingHex(std::string_view(record, 4));
      const auto count =
          record[4] == ',' ? platform::parseLeadingHex(std::string_view(record + 5, 5)) : std::nullopt;
      if (!row || !count || *row > 0xFFFF || *count > 0xFFFF) break;  // not a record: the end
      rows.emplace_back(static_cast<int>(*row), static_cast<int>(*count));
      sum += static_cast<long>(*count);
    }
  }
  if (error != 0) throw error;
  LogInfo("%d errors on %d rows received from GetAutoFocusStats", static_cast<int>(sum),
          static_cast<int>(rows.size()));
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  if (rows.size() > static_cast<std::size_t>(kMaxAFRows)) rows.resize(kMaxAFRows);
  for (const auto& [row, count] : rows)
    LogDebug(4, "largest AF errors -  row: %d   error count: %d", row, count);
  const double percent = static_cast<double>(sum) / static_cast<double>(totalPixels) * 100.0;
  LogDebug(1, "Percent Auto Focus Hold (%d total pixels) = %f percent.", static_cast<int>(totalPixels),
           percent);
  return percent;
}

void CScanObj::InitLasers() { SimpleCommand("CScanObj::InitLasers()", "initlasers\n"); }

void CScanObj::UpdateLaserVoltage(unsigned red, unsigned green, long* redPower, long* greenPower) {
  LogDebug(5, "CScanObj::UpdateLaserVoltage()");
  if (!m_pScanner) throw kErrMotorNotConfigured;
  LogInfo("Update Laser Voltage");
  CLanComm& comm = m_pScanner->GetComm();
  std::string rest;
  int error = 0;
  {
    CCommLock lock(comm);
    error = Exchange(comm, FormatText("%s 0x%x 0x%x\n", "updatelaservoltage", red, green), &rest);
  }
  const auto comma = rest.find(',');
  const auto r = ParseHex32(rest);
  const auto g =
      comma == std::string::npos ? std::nullopt : ParseHex32(std::string_view(rest).substr(comma + 1));
  if (error == 0 && (!r || !g)) error = kErrUnknown;
  if (error != 0) {
    LogDebug(1, "UpdateLaserVoltage returned error: %d", error);
    throw error;
  }
  const auto red32 = r.value_or(0), green32 = g.value_or(0);
  if (redPower) *redPower = red32;
  if (greenPower) *greenPower = green32;
  LogDebug(1, "Power red is %ld - Power green is %ld", static_cast<long>(red32), static_cast<long>(green32));
}

void CScanObj::EnableDepthScan(unsigned start, unsigned increment, unsigned lines) {
  SimpleCommand("CScanObj::EnableDepthScan()",
                FormatText("%s 0x%x 0x%x 0x%x\n", "enabledepthscan", start, increment, lines).c_str());
}

void CScanObj::SetEOMDigitalPot(int channel, unsigned value) {
  SimpleCommand("CScanObj::SetEOMDigitalPot()",
                FormatText("%s %d,0x%x\n", "seteomdigpot", channel, value).c_str());
}

void CScanObj::SetDarkSubtractionValue(unsigned red, unsigned green) {
  LogDebug(5, "CScanObj::SetDarkSubtractionValue()");
  if (!m_pScanner) throw kErrMotorNotConfigured;
  LogInfo("Setting Dark Subtraction Value (Red=%d, Green=%d)", static_cast<int>(red),
          static_cast<int>(green));
  CLanComm& comm = m_pScanner->GetComm();
  int error = 0;
  {
    CCommLock lock(comm);
    error = Exchange(comm, FormatText("%s 0x%x,0x%x\n", "setdarksubtractionvalue", red, green));
  }
  if (error != 0) {
    LogDebug(1, "CScanObj::SetDarkSubtractionValue Returned Error: %d", error);
    throw error;
  }
}

void CScanObj::CalibrationLightSource(bool on) {
  SimpleCommand("CScanObj::CalibrationLightSource()",
                FormatText("%s %d\n", "calibratepmt", on ? 1 : 0).c_str());
}

void CScanObj::ControlLasers(int a, int b) {
  const bool unblock = a != 0 || b != 0;
  LogDebug(1, "<CScanObj::ControlLasers> Send command to %s both lasers", unblock ? "unblock" : "block");
  CScanDataPort& port = m_pScanner->GetDataPort();
  if (!port.SetShutterOpenClose(unblock, true) || !port.SetShutterOpenClose(unblock, false))
    throw kErrDataPortUnknown;
}

void CScanObj::ReadLaserPower(long* red, long* green) {
  CScanDataPort& port = m_pScanner->GetDataPort();
  const long r = port.GetLaserPower(true);
  const long g = port.GetLaserPower(false);
  LogDebug(1, "Power red is %ld - Power green is %ld", r, g);
  if (red) *red = r;
  if (green) *green = g;
}

int CScanObj::GetData(std::uint8_t* buffer, int count) {
  if (!buffer || count < 0) throw kErrBadParameter;
  CLanComm& comm = m_pScanner->GetComm();
  int received = count;
  const int r = comm.ReadScanData(buffer, &received, comm.GetTimeout() / 1000);
  if (r == kErrTimedOut) {
    LogDebug(1, "Got timeout error getting scan data");
    throw r;
  }
  if (r != 0 && r != kResultCompleted) throw r;
  if (received < count) LogDebug(1, "GetData: Got back %d of %d bytes", received, count);
  return received;
}

void CScanObj::Abort() {
  CLanComm& comm = m_pScanner->GetComm();
  comm.SetTimeout(kAbortTimeoutMs);
  LogInfo("Aborting last command...");
  if (comm.AbortCommand() != 0) throw kErrAbortScan;
}

void CScanObj::FlushData() {
  CLanComm& comm = m_pScanner->GetComm();
  LogDebug(5, "SerialPoll at start of CScanObj::FlushData() is %d", comm.SerialPoll());
  int reads = 0;
  for (;;) {
    std::uint8_t block[kFlushBlock];
    int received = kFlushBlock;
    const int r = comm.ReadScanData(block, &received, kFlushReadTimeoutSec);
    if (r == kErrTimedOut) {
      if (received > 0) {  // the last, short block
        ++reads;
        LogDebug(1, "Reading extra data at end of scan: %lu bytes read",
                 static_cast<unsigned long>(received));
      }
      break;
    }
    if (r != 0 && r != kResultCompleted) {
      LogError("Error (0x%x) trying to flush scan data.", static_cast<unsigned>(r));
      throw r;
    }
    ++reads;
    LogDebug(1, "Reading extra data at end of scan: %lu bytes read", static_cast<unsigned long>(received));
  }
  LogDebug(1, "FlushData: Read extra data %d times at end of scan", reads);
  platform::sleepFor(std::chrono::milliseconds(1000));
  const std::uint8_t poll = comm.SerialPoll();
  LogDebug(1, "Serial Poll after flushing: 0x%x", static_cast<unsigned>(poll));
  switch (poll) {
    case kPollReady:
      return;
    case kPollBusy:
      throw kErrEndScanBusy;
    case kPollMoreData:
      throw kErrEndScanMoreData;
    default:
      throw kErrEndScanNotReady;
  }
}

void CScanObj::End() {
  CLanComm& comm = m_pScanner->GetComm();
  const int previousTimeout = comm.GetTimeout();
  int first = 0;
  {
    CCommLock lock(comm);
    LogDebug(5, "CScanObj::End()");
    try {
      FlushData();
    } catch (int e) {
      LogError("Error flushing scan data in EndScan: %d", e);
      first = e;
    }
    int results = 0;
    try {
      GetResults();
    } catch (int e) {
      LogError("GetResults returned error: 0x%X", static_cast<unsigned>(e));
      results = e;
      if (first == 0) first = e;
    }
    if (results == 0)
      LogInfo("End Scan, scan result returned SUCCESS");
    else
      LogInfo("End Scan, scan result returned: 0x%X", static_cast<unsigned>(results));
  }
  comm.SetTimeout(previousTimeout);
  if (first != 0) throw first;
}

void CScanObj::CalibrateLasers() { LogDebug(1, "CScanObj::CalibrateLasers() function is not for C scanner"); }

void CScanObj::MeasureDarkOffset() {
  LogDebug(1, "CScanObj::MeasureDarkOffset() function is not for C scanner");
  throw kErrUnsupportedModel;
}

void CScanObj::CheckLaserStatus() {
  LogDebug(1, "CScanObj::CheckLaserStatus() function is not for C scanner");
  throw kErrUnsupportedModel;
}
