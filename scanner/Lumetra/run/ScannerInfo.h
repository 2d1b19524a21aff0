#pragma once
// The scanner's identity and the versions of every part of the system: the run manager's
// information texts, the values each scan image's channel files carry in their header,
// and the texts the About box shows.
#include <array>
#include <string>

#include "Movrak/IScanCtrl.h"

namespace lumetra::run {

class CScanDataProc;

// The run manager's eleven information texts.
struct CScannerInfoTexts {
  std::string model, serialNumber, hostVersion, libraryVersion, movrakVersion, firmwareRuntime, bootRom,
      scanDsp, afDsp, vcDsp, ramSize;
};

// Refreshes the texts; false when an instrument call failed (logged; texts not read stay
// "Unknown"). Never throws.
bool ReadScannerInfo(IScanCtrl* scanCtrl, CScannerInfoTexts& texts);

struct TiffHeaderValues {
  bool mainHost = true;  // "Scanner"/"Lumetra", else "VrelTest"/"Pyrvane"
  unsigned channelCount = 0;
  std::array<int, 2> channels{};  // PMT channel per image channel
  unsigned binX = 1, binY = 1;
  long originX = 0, originY = 0, width = 0, height = 0;
  std::string description, operatorName;
};

// The eight-line software text of the channel files.
std::string BuildSoftwareText(bool mainHost, const std::string& movrak, const std::string& runtime,
                              const std::string& scanDsp, const std::string& vcDsp, const std::string& afDsp,
                              const std::string& boot);

// Fills the header values of the data processor's channel files. A failed instrument
// read is thrown (platform::com::ComError); files written before keep their values.
void SetTiffHeaderInfo(IScanCtrl* scanCtrl, CScanDataProc& dataProc, const TiffHeaderValues& values);

// What the About box shows, each "Unknown" until read.
struct CAboutInfo {
  std::string host = "Unknown", movrak = "Unknown", lumetra = "Unknown", runtime = "Unknown",
              bootRom = "Unknown", scanDsp = "Unknown", vcDsp = "Unknown", afDsp = "Unknown",
              model = "Unknown", serialNumber = "Unknown";
};
// Reads the texts; when the scanner is offline or busy only the software versions are
// read and the message the box shows about it is returned ("" otherwise).
std::string ReadAboutInfo(IScanCtrl* scanCtrl, bool offline, bool busy, CAboutInfo& info);

}  // namespace lumetra::run
