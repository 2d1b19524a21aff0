#pragma once
// What the run progress dialog shows and reports, without a display: the status box, the
// current slide, the two progress percentages, how each kind of status line is shown and
// reported, the abort question and the decisions at the end of a run.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "run/RunStatus.h"

namespace lumetra {

class RunProgressModel {
 public:
  // Receives each report entry (category number of the run report, text).
  using ReportSink = std::function<void(int category, const std::string& text)>;

  static constexpr int kDefaultTotalSlides = 48;
  static constexpr std::size_t kShownFileNameLength = 46;
  static constexpr std::size_t kMaxPath = 260;

  static constexpr const char* kCaption = "Scan Progress";
  static constexpr const char* kBusyText = "Cannot exit..., system is busy.";
  static constexpr const char* kAbortCaption = "Carousel Run Abort";
  static constexpr const char* kReportTitle = "TARSEL SCANNER -- CAROUSEL REPORT LOG";
  static constexpr const char* kAttentionCaption = "TARSEL ZEVAZODIZO SCANNER - ATTENTION!";
  static constexpr const char* kSupportAddress = "scanner-support@tarsel.example";
  static constexpr int kEjectFailedTextId = 114;
  static constexpr const char* kEjectFailedText =
      "The slide failed to eject. Pressing CLOSE button will reinitialize the instrument.";

  explicit RunProgressModel(ReportSink report = {}) : m_Report(std::move(report)) {}
  void SetReportSink(ReportSink report) { m_Report = std::move(report); }

  // ---- what the controls show -------------------------------------------------------------
  const std::string& FileName() const { return m_strFileName; }  // shortened for display
  const std::string& FullFileName() const { return m_strFullFileName; }
  const std::string& Barcode() const { return m_strBarcode; }
  const std::string& SlotNumber() const { return m_strSlot; }
  const std::string& StatusText() const { return m_strStatus; }
  const std::string& ScanProgressText() const { return m_strScanProgress; }
  const std::string& CarouselProgressText() const { return m_strCarouselProgress; }
  int ScanBar() const { return m_nScanBar; }          // 0..100
  int CarouselBar() const { return m_nCarouselBar; }  // 0..100
  int TotalSlides() const { return m_nTotalSlides; }
  int CompletedSlides() const { return m_nCompletedSlides; }
  unsigned ExpectedLines() const { return m_nExpectedLines; }
  unsigned LinesReceived() const { return m_nLinesReceived; }

  // The run is busy from its start to its end message: closing is refused meanwhile.
  bool IsBusy() const { return m_bBusy; }
  void SetBusy(bool busy) { m_bBusy = busy; }

  // ---- the run's messages -------------------------------------------------------------------
  // A status line: a CR LF first unless the status text already ends with one.
  void AppendStatus(const std::string& text);
  // WM_USER+100: the text appended (an empty text: nothing).
  void OnStatusText(const std::string& text);
  // WM_USER+102: reported and/or shown by its kind; false when it changed nothing.
  bool OnStatusLine(int kind, const std::string& text);
  // WM_USER+103: a new slide.
  void OnNewSlide(const run::ScanFileRecord& record);
  // WM_USER+106: one more slide completed.
  void OnSlideCompleted();
  // WM_USER+107: the run's slide count.
  void OnTotalSlides(int total);
  // WM_USER+300: line progress of the current scan. `scanStarted` is the run manager's
  // scan-started flag. Returns the data status to store with the run manager (code 5).
  std::optional<int> OnScanData(unsigned code, std::intptr_t value, bool scanStarted);

  // ---- how a status line is treated ---------------------------------------------------------
  struct LineTreatment {
    std::optional<int> reportCategory;  // none: not reported
    bool shown = false;                 // appended to the status box
  };
  // Kinds 0 to 9; nullopt for any other kind.
  static std::optional<LineTreatment> TreatmentOf(int kind);

  // The file name as the dialog shows it: unchanged up to 46 characters, else shortened.
  // `logLine` receives the debug line that says how.
  static std::string ShortenFileName(const std::string& name, std::string* logLine = nullptr);

  // A whole percentage (done x 100 / total, integer division); nullopt when there is
  // nothing to divide by.
  static std::optional<int> Percent(long long done, long long total);

  // ---- abort --------------------------------------------------------------------------------
  static std::string AbortQuestion();
  // The status line of an abort request ("(pending) " when after the current scan).
  static std::string AbortLine(bool afterCurrentScan);

  // ---- the end of the run -------------------------------------------------------------------
  struct RunEndInput {
    int outcome = 0;                      // lParam of WM_USER+105
    std::string ejectFailedText;          // string 114, or empty (the built-in text is taken)
    bool saverAutoTasks = false;          // EnableSaverAutoTasks
    int scannerType = 0;                  // CScanDlg::GetScannerType(TRUE)
    bool adcReset = false;                // CScanMgr::IsADCReset
    std::uint32_t autoDisplayReport = 1;  // "AutoDisplayScanReport"
    // CReporter::IncompleteText after a last try to write what it kept (empty: whole).
    std::string reportIncomplete;
  };
  struct RunEndActions {
    bool reinitialize = false;     // set the main window's m_bReinitAfterRun
    bool rearmLaserTimer = false;  // SetLPSTimer(5, TRUE, 0)
    bool showReport = false;
    std::string attentionMessage;  // empty: none
  };
  // Appends and reports what the end says and ends the busy state.
  RunEndActions OnRunEnded(const RunEndInput& input);
  // The attention entries written into the report after an ADC reset.
  void WriteAttentionBlock();
  static std::string AttentionMessage();
  // The folder of the log files, as the attention texts name it.
  static std::string LogFolder();

 private:
  void Report(int category, const std::string& text);
  void UpdateCarouselProgress();

  ReportSink m_Report;
  std::string m_strFileName, m_strFullFileName, m_strBarcode, m_strSlot;
  std::string m_strStatus, m_strScanProgress, m_strCarouselProgress;
  int m_nScanBar = 0, m_nCarouselBar = 0;
  int m_nTotalSlides = kDefaultTotalSlides;
  int m_nCompletedSlides = 0;
  unsigned m_nExpectedLines = 0;
  unsigned m_nLinesReceived = 0;
  bool m_bBusy = false;
};

}  // namespace lumetra
