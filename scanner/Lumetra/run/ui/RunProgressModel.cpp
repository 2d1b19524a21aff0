#include "run/ui/RunProgressModel.h"

#include <algorithm>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "platform/files.h"
#include "run/Reporter.h"

namespace lumetra {

namespace {

int ToBar(int percent) { return std::clamp(percent, 0, 100); }

}  // namespace

void RunProgressModel::Report(int category, const std::string& text) {
  if (m_Report) m_Report(category, text);
}

void RunProgressModel::AppendStatus(const std::string& text) {
  if (m_strStatus.size() < 2 || m_strStatus.compare(m_strStatus.size() - 2, 2, "\r\n") != 0)
    m_strStatus += "\r\n";
  m_strStatus += text;
}

void RunProgressModel::OnStatusText(const std::string& text) {
  if (!text.empty()) AppendStatus(text);
}

std::optional<RunProgressModel::LineTreatment> RunProgressModel::TreatmentOf(int kind) {
  switch (kind) {
    case 0:
      return LineTreatment{std::nullopt, true};
    case 1:
      return LineTreatment{REPORT_HEADER, true};
    case 2:
      return LineTreatment{REPORT_HEADER, false};
    case 3:
      return LineTreatment{REPORT_INFO, true};
    case 4:
      return LineTreatment{REPORT_WARNING, false};
    case 5:
      return LineTreatment{REPORT_ERROR, true};
    case 6:
      return LineTreatment{std::nullopt, false};
    case 7:
      return LineTreatment{REPORT_ATTENTION1, true};
    case 8:
      return LineTreatment{REPORT_ATTENTION2, false};
    case 9:
      return LineTreatment{REPORT_ATTENTION3, false};
    default:
      return std::nullopt;
  }
}

bool RunProgressModel::OnStatusLine(int kind, const std::string& text) {
  const auto treatment = TreatmentOf(kind);
  if (text.empty() || !treatment) return false;
  if (treatment->reportCategory) Report(*treatment->reportCategory, text);
  if (treatment->shown) AppendStatus(text);
  return treatment->reportCategory || treatment->shown;
}

std::string RunProgressModel::ShortenFileName(const std::string& name, std::string* logLine) {
  if (name.size() <= kShownFileNameLength) return name;
  constexpr const char* kSeparators = "/\\";
  std::string shown;
  if (name.size() <= kMaxPath) {
    // The start of the path, "..." and the file name, in at most 45 characters (the
    // 46-character buffer keeps its terminator).
    constexpr std::size_t kMax = kShownFileNameLength - 1;
    const std::size_t last = name.find_last_of(kSeparators);
    if (last == std::string::npos) {
      shown = name.substr(0, kMax - 3) + "...";
    } else {
      const std::string file = name.substr(last);
      if (file.size() + 3 > kMax)
        shown = "..." + file.substr(0, kMax - 6) + "...";
      else
        shown = name.substr(0, kMax - 3 - file.size()) + "..." + file;
    }
    if (logLine)
      *logLine =
          FormatText("StatusDlg: scan file name is too long - '%s', compacted to '%s' by PathCompactPathEx",
                     name.c_str(), shown.c_str());
    return shown;
  }
  const std::size_t first = name.find_first_of(kSeparators);
  const std::size_t last = name.find_last_of(kSeparators);
  const char separator = first == std::string::npos ? '/' : name[first];
  shown = (first == std::string::npos ? std::string() : name.substr(0, first)) + separator + "..." +
          (last == std::string::npos ? name : name.substr(last));
  if (logLine)
    *logLine = FormatText("StatusDlg: scan file name is exceed MAX_PATH %d - '%s', compacted to '%s'",
                          static_cast<int>(kMaxPath), name.c_str(), shown.c_str());
  return shown;
}

std::optional<int> RunProgressModel::Percent(long long done, long long total) {
  if (total <= 0) return std::nullopt;
  return static_cast<int>(done * 100 / total);
}

void RunProgressModel::OnNewSlide(const run::ScanFileRecord& record) {
  m_strFullFileName = record.fileName ? record.fileName : "";
  Report(REPORT_HEADER, "Scanned image: " + m_strFullFileName + "\r\n");
  std::string logLine;
  m_strFileName = ShortenFileName(m_strFullFileName, &logLine);
  if (!logLine.empty()) LogDebugNoFormat(2, logLine.c_str());
  m_strBarcode = record.barcode ? record.barcode : "";
  m_strSlot = FormatText("%d", record.slot);
  m_nScanBar = 0;
  m_strScanProgress = "0 %";
  m_nExpectedLines = record.lines > 0 ? static_cast<unsigned>(record.lines) : 0;
  m_nLinesReceived = 0;
}

void RunProgressModel::UpdateCarouselProgress() {
  const auto percent = Percent(m_nCompletedSlides, m_nTotalSlides);
  if (!percent) return;  // no slide count to divide by: the bar and text stay
  m_strCarouselProgress =
      FormatText("%d %% (%d of %d slides completed)", *percent, m_nCompletedSlides, m_nTotalSlides);
  m_nCarouselBar = ToBar(*percent);
}

void RunProgressModel::OnSlideCompleted() {
  ++m_nCompletedSlides;
  UpdateCarouselProgress();
}

void RunProgressModel::OnTotalSlides(int total) {
  m_nTotalSlides = total;
  if (total > 0) UpdateCarouselProgress();
}

std::optional<int> RunProgressModel::OnScanData(unsigned code, std::intptr_t value, bool scanStarted) {
  switch (code) {
    case 1:
      m_nLinesReceived = 0;
      break;
    case 2:
      if (scanStarted) {
        m_nLinesReceived = value > 0 ? static_cast<unsigned>(value) : 0;
        if (const auto percent = Percent(m_nLinesReceived, m_nExpectedLines)) {
          m_strScanProgress = FormatText("%d %%", *percent);
          m_nScanBar = ToBar(*percent);
        }
      }
      break;
    case 5:
      return static_cast<int>(value);
    default:
      break;
  }
  return std::nullopt;
}

std::string RunProgressModel::AbortQuestion() {
  return std::string("Do you want to abort the carousel run now?") +
         "\r\n\r\nClick Yes to abort the run now; you may lose scan data." +
         "\r\nClick No to abort the run after the current scan is done." +
         "\r\nClick Cancel to cancel your abort command.";
}

std::string RunProgressModel::AbortLine(bool afterCurrentScan) {
  return std::string("Trying to abort carousel run ") + (afterCurrentScan ? "(pending) " : "") + "...";
}

RunProgressModel::RunEndActions RunProgressModel::OnRunEnded(const RunEndInput& input) {
  RunEndActions actions;
  if (input.outcome == 2) {
    AppendStatus(input.ejectFailedText.empty() ? std::string(kEjectFailedText) : input.ejectFailedText);
    LogError("Failed to eject chip.  Reinitializing.");
    actions.reinitialize = true;
  }
  if (!input.reportIncomplete.empty()) {
    // The report the operator opens next lacks entries: say so where the run ends.
    AppendStatus(input.reportIncomplete);
    LogErrorNoFormat(input.reportIncomplete.c_str());
  }
  actions.rearmLaserTimer = input.saverAutoTasks && input.scannerType != 0;
  m_bBusy = false;
  if (input.adcReset) {
    WriteAttentionBlock();
    actions.attentionMessage = AttentionMessage();
  }
  actions.showReport = input.autoDisplayReport != 0;
  return actions;
}

// Where the user finds the log files to send: the folder the log is written to (the
// message's fixed folder belongs to another platform's installation).
std::string RunProgressModel::LogFolder() {
  const std::string folder = platform::directoryOf(CLogger::m_FilePathStr);
  return folder.empty() ? std::string("Logs/") : folder;
}

void RunProgressModel::WriteAttentionBlock() {
  const std::pair<int, std::string> entries[] = {
      {REPORT_NORMAL, " "},
      {REPORT_NORMAL, " "},
      {REPORT_NORMAL, "****************************************"},
      {REPORT_ATTENTION1, "ATTENTION!"},
      {REPORT_NORMAL, " "},
      {REPORT_NORMAL, "New scanner diagnostic software has detected an intermittent Autofocus error "},
      {REPORT_NORMAL, "from which the scanner may or may not have recovered."},
      {REPORT_NORMAL, " "},
      {REPORT_NORMAL, "Check that all slides have been scanned successfully. If not, simply reboot the "},
      {REPORT_NORMAL, "scanner and rescan the skipped slides."},
      {REPORT_NORMAL, " "},
      {REPORT_NORMAL_IB, "Before rescanning or starting the next scan run..."},
      {REPORT_NORMAL, " "},
      {REPORT_NORMAL, "Copy all Scanner#.log files from:"},
      {REPORT_NORMAL, " "},
      {REPORT_HEADER, LogFolder()},
      {REPORT_NORMAL, " "},
      {REPORT_NORMAL, "to an archive folder [e.g., D:\\Support\\AF_errors\\Logs#1]"},
      {REPORT_NORMAL, "and e-mail them with the scanner serial number to:"},
      {REPORT_NORMAL, " "},
      {REPORT_ATTENTION3, kSupportAddress},
      {REPORT_NORMAL, " "},
      {REPORT_NORMAL, "and contact your local Tarsel support center"},
      {REPORT_NORMAL, " "},
      {REPORT_NORMAL, "****************************************"},
  };
  for (const auto& [category, text] : entries) Report(category, text);
}

std::string RunProgressModel::AttentionMessage() {
  return std::string("New scanner diagnostic software has detected an intermittent Autofocus error ") +
         "\r\n" + "from which the scanner may or may not have recovered." + "\r\n\r\n" +
         "Check that all slides have been scanned successfully. If not, simply reboot the " + "\r\n" +
         "scanner and rescan the skipped slides." +
         "\r\n\r\nBEFORE RESCANNING OR STARTING THE NEXT SCAN RUN..." + "\r\n\r\n\t" +
         "Copy all Scanner#.log files from:" + "\r\n\r\n\t\t" + LogFolder() + "\r\n\r\n\t" +
         "to an archive folder [e.g., D:\\Support\\AF_errors\\Logs#1]" + "\r\n\t" +
         "and e-mail them with the scanner serial number to:" + "\r\n\r\n\t\t" + kSupportAddress +
         "\r\n\r\n\t" + "and contact your local Tarsel support center" +
         "\r\n\r\n[You will see this message on the CAROUSEL REPORT LOG as well]";
}

}  // namespace lumetra
