#include "run/RunStatus.h"

#include "Jotwell/Utilities.h"

namespace lumetra::run {

namespace {

struct IdText {
  int id;
  const char* text;
};

// The library's string table: the run's texts.
constexpr IdText kStringTable[] = {
    {9901,
     "Cannot access file format interface.  You may be missing a DLL called QovFile.DLL.\r\n\r\n Or if you "
     "have that "
     "file try executing the command\r\n\r\n\t\tregsvr32 QovFile.DLL\r\n\r\nfrom the directory where "
     "QovFile.DLL "
     "lives.  If that works, try restarting the scanner software."},
    {9902, "Loading carousel..."},
    {9903, "Advancing carousel..."},
    {9904, "Loading chip..."},
    {9905, "Preparing for scan..."},
    {9906, "Starting scan..."},
    {9907, "Scan completed."},
    {9908, "Scan Error."},
    {9909, "Scan failed."},
    {9910, "Aborting Scan..."},
    {9911, "Scan aborted."},
    {9912, "Saving any collected data."},
    {9913, "Saving file..."},
    {9914, "Ejecting chip..."},
    {9915, "Ejecting carousel..."},
    {9916, "Failed to eject the chip.  Will attempt to re-initialize the scanner."},
    {9917,
     "A chip is not present in the carousel.  Please load a chip in the carousel in the first slot south of "
     "(or "
     "clockwise from) the home slot position."},
    {9918, "Operation aborted by user."},
    {9919,
     "An unhandled error occurred.  This means the software detected an error condition that it does not "
     "understand. "},
    {9920, "Scanner status thread error."},
    {9921, "You must close the door first"},
    // Here the server is a library registered per user; the command that registers it
    // takes the place of the Windows advice.
    {9922,
     "Cannot access scanner interface.  The automation server \"Movrak.ScanCtrl\" is not registered for "
     "this user, or its library libMovrak.so cannot be loaded.\r\n\r\nRegister it with the command"
     "\r\n\r\n\t\tzevazodizo-setup\r\n\r\n(or movrak-register with the path of libMovrak.so, in the "
     "installation's lib/zevazodizo folder).  If that works, try restarting the scanner software."},
    {9931, "Maximum Red Laser Power is below the threshold.  You need to contact Customer Support!"},
    {9932, "Maximum Red Laser Power is above the threshold. You need to contact Customer Support!"},
    {9933, "Minimum Red Laser Power is above the threshold.  You need to contact Customer Support!"},
    {9934, "Maximum Green Laser Power is below the threshold.  You need to contact Customer Support!"},
    {9935, "Maximum Green Laser Power is above the threshold. You need to contact Customer Support!"},
    {9936, "Minimum Green Laser Power is above the threshold.  You need to contact Customer Support!"},
    {9937, "Carousel run completed."},
    {9938, "Carousel run not started. No slide in the slot #1."},
    {9939,
     "Warning: The laser power does not fall within expected thresholds. Please contact an Tarsel "
     "representative.\r\n"},
    {9940, "Calibrating laser..."},
    {9941, "Calibrating PMT..."},
    {9942, "Measuring dark offset..."},
    {9943, "Scanning..."},
    {9944, "Skipping Slide..."},
    {9945, "Checking carousel..."},
    {9946, "Checking carousel failed."},
    {9947, "Carousel run aborted."},
    {9948, "Failed to load the chip."},
    {9949,
     "Failed the automatic file naming (may caused by an invalid output folder path, invalid 'Prefix', or "
     "the "
     "'ScanNumber' exceed the limit)."},
    {9950, "PMT calibration may be unstable.  Using last known good PMT setting."},
    {9951,
     "PMT calibration lost! Using factory default settings.  Contact your local Tarsel support center "
     "immediately."},
    {9952, "Failed to process scan data"},
    {9953, "Calibrating red laser power..."},
    {9954, "Calibrating green laser power..."},
};

// Built in, for a library whose string table lacks an id.
constexpr IdText kFallbackTexts[] = {
    {9901, kStringTable[0].text},
    {9902, "Loading carousel..."},
    {9903, "Advancing carousel..."},
    {9904, "Loading chip..."},
    {9905, "Preparing for scan..."},
    {9906, "Starting scan..."},
    {9907, "Scan completed."},
    {9908, "Scan Error."},
    {9909, "Scan failed."},
    {9910, "Aborting Scan..."},
    {9911, "Scan aborted."},
    {9912, "Saving any collected data."},
    {9913, "Saving file..."},
    {9914, "Ejecting slide..."},
    {9915, "Ejecting carousel..."},
    {9916, "Failed to eject the chip.  Will attempt to re-initialize the scanner."},
    {9917, kStringTable[16].text},
    {9918, "Operation aborted by user."},
    {9919, kStringTable[18].text},
    {9920, "Scanner status thread error."},
    {9921, "You must close the door first"},
    {9922, kStringTable[21].text},
    {9937, "Carousel run completed."},
    {9939, kStringTable[30].text},
    {9940, "Calibrating laser..."},
    {9941, "Calibrating PMT..."},
    {9942, "Measuring dark offset..."},
    {9943, "Scanning..."},
    {9944, "Skipping Slide..."},
    {9945, "Checking carousel..."},
    {9946, "Checking carousel failed."},
    {9947, "Carousel run aborted."},
    {9948, "Failed to load the chip."},
    {9949,
     "Failed the automatic file naming (may caused by an invalid output folder path, invalid 'Prefix' or the "
     "'scannumber' exceed the limit)."},
    {9953, "Calibrating red laser power..."},
    {9954, "Calibrating green laser power..."},
};
static_assert(std::size(kFallbackTexts) == 36);
static_assert(kStringTable[0].id == 9901 && kStringTable[16].id == 9917 && kStringTable[18].id == 9919 &&
              kStringTable[21].id == 9922 && kStringTable[30].id == 9939);

}  // namespace

std::optional<std::string> LoadResourceString(int id) {
  for (const IdText& t : kStringTable)
    if (t.id == id) return std::string(t.text);
  return std::nullopt;
}

bool GetMessageText(int id, std::string& text, const ResourceLookup& lookup) {
  if (lookup) {
    if (auto resource = lookup(id)) {
      text = std::move(*resource);
      return true;
    }
  }
  for (const IdText& t : kFallbackTexts) {
    if (t.id == id) {
      text = t.text;
      return true;
    }
  }
  text = FormatText("Unknown message ID: %d", id);
  return false;
}

platform::Window* CRunStatus::SetStatusWindow(platform::Window* window) {
  platform::Window* previous = m_pStatusWindow;
  m_pStatusWindow = window;
  return previous;
}

void CRunStatus::SendStatusLine(const std::string& text, int kind) {
  // Sent: the text stays valid until the window has handled it.
  if (m_pStatusWindow)
    m_pStatusWindow->send(WM_SCAN_STATUS_LINE, static_cast<std::uintptr_t>(kind),
                          reinterpret_cast<std::intptr_t>(text.c_str()));
}

void CRunStatus::SendStatusMessage(int id, int id2, int kind) {
  std::string text;
  GetMessageText(id, text);
  if (id2 != 0) {
    std::string second;
    GetMessageText(id2, second);
    if (!second.empty()) text += " " + second;
  }
  SendStatusLine(text, kind);
}

void CRunStatus::SendStatusText(int id, const std::string& extra, int kind) {
  std::string text;
  GetMessageText(id, text);
  if (!extra.empty()) text += "\r\n" + extra;
  SendStatusLine(text, kind);
}

void CRunStatus::SendAttention(int code, std::uintptr_t wParam) {
  if (m_pStatusWindow) m_pStatusWindow->post(WM_RUN_ENDED, wParam, code);
}

void CRunStatus::SendScanFileInfo(const std::string& fileName, const std::string& barcode, int slot,
                                  int slidesDone, int lines) {
  if (!m_pStatusWindow) return;
  ScanFileRecord record;
  record.slot = slot;
  record.slidesDone = slidesDone;
  record.fileName = fileName.c_str();
  record.barcode = barcode.c_str();
  record.lines = lines;
  m_pStatusWindow->send(WM_SCAN_FILE_INFO, 0, reinterpret_cast<std::intptr_t>(&record));
}

}  // namespace lumetra::run
