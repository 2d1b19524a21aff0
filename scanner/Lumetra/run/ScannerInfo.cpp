#include "run/ScannerInfo.h"

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "platform/dynlib.h"
#include "run/ComError.h"
#include "run/ScanDataProc.h"

namespace lumetra::run {

using platform::com::ComError;

namespace {

std::string HostProgramVersion() { return GetVersionString(platform::mainProgramModule()); }
std::string LibraryVersion() { return GetVersionString(GetThisModule()); }

}  // namespace

bool ReadScannerInfo(IScanCtrl* scanCtrl, CScannerInfoTexts& texts) {
  texts.hostVersion = HostProgramVersion();
  texts.libraryVersion = LibraryVersion();
  for (std::string* t : {&texts.model, &texts.serialNumber, &texts.movrakVersion, &texts.firmwareRuntime,
                         &texts.bootRom, &texts.scanDsp, &texts.afDsp, &texts.vcDsp, &texts.ramSize})
    *t = "Unknown";
  if (!scanCtrl) return false;
  try {
    CheckScanCtrl(scanCtrl->get_SoftwareVersion(&texts.movrakVersion));
    IScanCtrl::BOOL32 online = 0;
    CheckScanCtrl(scanCtrl->IsRuntimeOnline(&online));
    if (!online) return true;
    CheckScanCtrl(scanCtrl->get_InstrumentModel(&texts.model));
    CheckScanCtrl(scanCtrl->get_InstrumentSerialNumber(&texts.serialNumber));
    std::string run, boot;
    IScanCtrl::ULONG ram = 0;
    CheckScanCtrl(scanCtrl->FirmwareVersion(&run, &boot, &ram));
    texts.firmwareRuntime = run;
    texts.bootRom = boot;
    texts.ramSize = FormatText("0x%X", static_cast<unsigned>(ram));
    std::string scan, vc, af;
    CheckScanCtrl(scanCtrl->DSPVersion(&scan, &vc, &af));
    texts.scanDsp = scan;
    texts.afDsp = af;
    texts.vcDsp = vc;
    return true;
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
    return false;
  }
}

std::string BuildSoftwareText(bool mainHost, const std::string& movrak, const std::string& runtime,
                              const std::string& scanDsp, const std::string& vcDsp, const std::string& afDsp,
                              const std::string& boot) {
  return FormatText(
      "%s: %s\r\n%s: %s\r\nMovrak: %s\r\nRuntime: %s\r\nScan DSP: %s\r\nVC DSP: %s\r\nAF DSP: "
      "%s\r\nBoot ROM: %s\r\n",
      mainHost ? "Scanner" : "VrelTest", HostProgramVersion().c_str(), mainHost ? "Lumetra" : "Pyrvane",
      LibraryVersion().c_str(), movrak.c_str(), runtime.c_str(), scanDsp.c_str(), vcDsp.c_str(),
      afDsp.c_str(), boot.c_str());
}

void SetTiffHeaderInfo(IScanCtrl* scanCtrl, CScanDataProc& dataProc, const TiffHeaderValues& v) {
  if (!scanCtrl) {
    LogError("Movrak was not set in ScanMgr.");
    return;
  }
  dataProc.SetBinning(v.binX, v.binY);
  const unsigned count = std::min<unsigned>(v.channelCount, 2);
  for (unsigned i = 0; i < count; ++i) {
    TiffHandler* f = dataProc.GetTiffByChannel(static_cast<int>(i));
    if (!f) continue;
    f->SetScanRegion(static_cast<double>(v.originX), static_cast<double>(v.originY),
                     static_cast<double>(v.originX + v.width), static_cast<double>(v.originY + v.height));
    if (!v.description.empty()) f->SetDescription(v.description.c_str());
    if (!v.operatorName.empty()) f->SetOperator(v.operatorName.c_str());
    std::string serial, model;
    CheckScanCtrl(scanCtrl->get_InstrumentSerialNumber(&serial));
    f->SetScannerSerialNumber(serial.c_str());
    f->SetScannerMake("Tarsel Technologies Scanner");
    CheckScanCtrl(scanCtrl->get_InstrumentModel(&model));
    f->SetScannerModel(model.c_str());
  }

  std::string movrak, run, boot, scan, vc, af;
  IScanCtrl::ULONG ram = 0;
  CheckScanCtrl(scanCtrl->get_SoftwareVersion(&movrak));
  CheckScanCtrl(scanCtrl->FirmwareVersion(&run, &boot, &ram));
  CheckScanCtrl(scanCtrl->DSPVersion(&scan, &vc, &af));
  const std::string software = BuildSoftwareText(v.mainHost, movrak, run, scan, vc, af, boot);
  for (unsigned i = 0; i < count; ++i)
    if (TiffHandler* f = dataProc.GetTiffByChannel(static_cast<int>(i)))
      f->SetSoftwareVersion(software.c_str());

  for (unsigned i = 0; i < count; ++i) {
    TiffHandler* f = dataProc.GetTiffByChannel(static_cast<int>(i));
    if (!f) continue;
    for (unsigned a = 0; a < count; ++a)
      for (unsigned b = 0; b < count; ++b)
        f->SetCrossTalk(static_cast<int>(a), static_cast<int>(b), a == b ? 1.0 : 0.0);
    f->SetReScans(1);
    f->SetPMTChannel(v.channels[i]);
    double volts = 0;
    CheckScanCtrl(scanCtrl->get_PMTVoltageSetting(v.channels[i], &volts));
    f->SetPMTVoltage(volts);
  }
}

std::string ReadAboutInfo(IScanCtrl* scanCtrl, bool offline, bool busy, CAboutInfo& info) {
  info.host = HostProgramVersion();
  info.lumetra = LibraryVersion();
  if (!scanCtrl) return {};
  try {
    std::string movrak;
    CheckScanCtrl(scanCtrl->get_SoftwareVersion(&movrak));
    info.movrak = movrak;
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
  }
  if (offline || busy)
    return FormatText(
        "Some system information are not available right now since the scanner is %s.\n\nPlease try "
        "later.",
        offline ? "not connected yet" : "busy");
  try {
    std::string text;
    CheckScanCtrl(scanCtrl->get_InstrumentModel(&text));
    info.model = text;
    CheckScanCtrl(scanCtrl->get_InstrumentSerialNumber(&text));
    info.serialNumber = text;
    std::string run, boot;
    IScanCtrl::ULONG ram = 0;
    CheckScanCtrl(scanCtrl->FirmwareVersion(&run, &boot, &ram));
    info.runtime = run;
    info.bootRom = boot;
    std::string scan, vc, af;
    CheckScanCtrl(scanCtrl->DSPVersion(&scan, &vc, &af));
    info.scanDsp = scan;
    info.vcDsp = vc;
    info.afDsp = af;
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
  }
  return {};
}

}  // namespace lumetra::run
