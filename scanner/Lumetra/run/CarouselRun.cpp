// The carousel run: the run thread, the run body (run start, slot loop with its passes,
// run end), the slot record, the senders to the status window and the naming host.
#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "Jotwell/BaseException.h"
#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "Tessary/MultiChannelTiffHandler.h"
#include "config/CarouselCfgInfo.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "run/ComError.h"
#include "run/OutputNaming.h"
#include "run/RunStatus.h"
#include "run/ScanLogFile.h"
#include "run/ScanMgr.h"

namespace lumetra::run {

using platform::com::ComError;

namespace {

// Run end codes (lParam of WM_RUN_ENDED).
constexpr int kRunCompleted = 0;
constexpr int kRunFailed = 1;
constexpr int kRunNotEjected = 2;

// Error classes of IScanCtrl::CheckErrorCode that the run tells apart.
constexpr unsigned kClassAutofocus = 24;
constexpr unsigned kClassNoSlide = 25;
constexpr unsigned kClassTimeout = 26;
constexpr unsigned kClassPMTUnstable = 27;
constexpr unsigned kClassPMTLost = 28;
constexpr unsigned kClassPMTCalibration = 29;
constexpr unsigned kClassThickness = 31;
constexpr unsigned kClassArmTimeout = 32;
constexpr unsigned kClassRedLaserSpec = 35;
constexpr unsigned kClassLaserTarget = 47;
constexpr unsigned kClassLaserPower = 50;

constexpr std::size_t kMaxScanStatus = 2046;
constexpr std::size_t kMaxExceptionText = 255;
constexpr auto kAbortScanWait = std::chrono::milliseconds(3000);

// Slide thickness limits: the maker's slides, and any slide on the first scanner model.
constexpr double kTarselThicknessMin = 594.865, kTarselThicknessMax = 657.483;
constexpr double kThicknessMin = 594.8653726, kThicknessMax = 657.4827802;
constexpr double kThicknessScale = 1.597;
constexpr double kAFHoldExtended = 8.0, kAFHoldLonger = 2.0;
constexpr int kBarcodeOverlapEdge = 11000;

// What a pass that is scanned again says in its image and to the user.
constexpr const char* kRetryStatus = "Scan incomplete; the scan will be repeated.\r\n";

std::string MessageText(int id) {
  std::string text;
  GetMessageText(id, text);
  return text;
}

// The text of a run message id, "Unknown error: %d" when it has none.
std::string RunMessageText(int id) {
  std::string text;
  if (!GetMessageText(id, text)) text = FormatText("Unknown error: %d", id);
  return text;
}

// The C library's time text ("Wed Jun 30 21:49:08 1993"), without its line end.
std::string TimeText() {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::tm t = platform::localTime();
  return FormatText("%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[(t.tm_wday % 7 + 7) % 7],
                    kMonths[(t.tm_mon % 12 + 12) % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                    1900 + t.tm_year);
}

std::string WithoutTifExtension(const std::string& path) {
  constexpr std::string_view kTif = ".tif";
  if (path.size() >= kTif.size() && path.compare(path.size() - kTif.size(), kTif.size(), kTif) == 0)
    return path.substr(0, path.size() - kTif.size());
  return path;
}

// A failure caught in a step of the run, as the run tells it apart.
struct Failure {
  enum class Kind { none, instrument, message, text, unknown };
  Kind kind = Kind::none;
  std::string text;
  int messageId = 0;          // of a run message
  std::uint64_t classes = 0;  // of an instrument failure: bit n set when it is of error class n
  bool Is(unsigned errorClass) const { return errorClass < 64 && ((classes >> errorClass) & 1u) != 0; }
  // The user's abort, not a fault.
  bool IsAbort() const { return kind == Kind::message && messageId == 9918; }
  // The lasers or the instrument can no longer be trusted: the run ends at once.
  bool EndsRun() const { return kind == Kind::instrument && (Is(kClassLaserPower) || Is(kClassTimeout)); }
  explicit operator bool() const { return kind != Kind::none; }
};

// The error classes a failure is checked against.
constexpr unsigned kRunErrorClasses[] = {kClassAutofocus,   kClassNoSlide,    kClassTimeout,
                                         kClassPMTUnstable, kClassPMTLost,    kClassPMTCalibration,
                                         kClassThickness,   kClassArmTimeout, kClassRedLaserSpec,
                                         kClassLaserTarget, kClassLaserPower};

}  // namespace

// One run of the carousel: the state of the run, of the slot and of the pass that the
// manager's members do not hold.
class CCarouselRun {
 public:
  explicit CCarouselRun(CScanMgr& mgr) : m(mgr), m_pScan(mgr.m_pScanCtrl.get()) {}

  // The run body; returns the run end code (sent by the caller).
  int Run();
  // After an exception escaped the body: leaves the instrument and the image in order.
  void CleanUpAfterEscape();
  // The run's end line about scan-history lines that could not be written, if any.
  void ReportUnrecordedSlots();

 private:
  int RunStart();
  // One slot; whether the slot loop goes on.
  enum class SlotEnd { next, stop, runEnded };
  SlotEnd DoSlot(int slot);
  void StartSlot(int slot);
  void AnnounceSlot(int slot);
  // Loads the slide and prepares its scan; nullopt when its passes follow.
  std::optional<SlotEnd> LoadSlide(int slot, const CSlotScanCfgInfo& settings);
  void PrepareSlot(int slot, const CSlotScanCfgInfo& settings, const std::string& read);
  SlotEnd EndSlot(int slot);
  // The summary's lines naming the slots that were skipped or failed, if any.
  void ReportSlotOutcomes();
  // History result of the slot, its history line and WM_SLOT_RECORDED. A line that could
  // not be written is told at the run's end.
  void RecordSlotResult(int slot);
  // The passes of a slide: once, or twice at two sensitivities, each repeated when it was
  // cut short and retries are left.
  void StartPass();
  void StartPassComment();
  // The image's name, told to the operator; false when the slide cannot be named.
  bool NamePass(int slot);
  bool CreatePassImage();
  void SetPassPercents(const CSlotScanCfgInfo& settings);
  // False when the run ends at once.
  bool ScanPass(int slot);
  // True when the run ends at once.
  bool ScanFailed(const Failure& failure);
  void RequestRetry(const std::string& text);
  // A pass cut short: lasers blocked and the instrument told to stop.
  void StopPass();
  void ReportPassQuality();
  void ReportLaserCompensation();
  void SaveImage();
  void NextPass();
  int RunEnd();

  bool AbortNow() const { return m.GetAbortRequest() == 1; }
  bool AbortRequested() const { return m.GetAbortRequest() != 0; }
  void CheckAbortNow() const {
    if (AbortNow()) throw RunMessage{9918};
  }
  bool IsClass(const ComError& e, unsigned errorClass) const;
  // The failure being handled: call only inside a catch block.
  Failure CaughtFailure() const;
  // Logs a failure of the slot (the user's abort as information) and, with `inComment`,
  // says it in the image's comment.
  void LogSlotFailure(const Failure& failure, bool inComment);
  COutputNaming& Naming();
  // Base path of the slide, with the local backup folder when the output folder fails.
  std::string MakeBatchFileName(int slot);
  void PresetPMT(tagPMTChannels channel, unsigned percent, bool secondDyx);
  void PresetPMTs(bool red, unsigned redPercent, bool green, unsigned greenPercent, bool secondDyx);
  void BlockLasers();
  void CloseAndSave();
  void CloseAndRemove();
  void SetScanStatus(const std::string& comment);

  CScanMgr& m;
  IScanCtrl* m_pScan;
  CCarouselCfgInfo* m_pCfg = nullptr;
  // What the run keeps from slot to slot.
  struct RunState {
    std::string hiSuffix, loSuffix;  // of two-pass names
    long barcodeCount = 0;
    int slidesDone = 0;
    bool loadFailed = false;
    bool ejectFailed = false;
    std::string errorText;  // told to the operator at the end
    int compressImage = 0;  // of every image of the run
    // Slots whose scan-history line could not be written, told at the run's end.
    std::vector<int> unrecordedSlots;
    // Slides recorded as scanned, and the slots given up or failed, for the run's summary.
    int slidesScanned = 0;
    std::vector<int> skippedSlots, failedSlots;
  };
  // The slide in the slot being scanned.
  struct SlotState {
    int number = 0;
    std::array<int, 9> region{};  // the slot's region as taken over
    bool autoNaming = false;
    std::string imageBarcode;  // the barcode the image carries
    int twentyBitImage = 0;
    bool error = false;    // the slide failed
    bool skipped = false;  // the slide was given up, the run goes on
    std::string namingBarcode;
    bool hasBarcode = false;
    std::string base, firstName, secondName;
    unsigned loRed = 0, loGreen = 0;
    bool twoPass = false, loFirst = false, secondPass = false;
    int retries = 0, maxRetries = 0;
    std::string dyxId;          // shared by both images of a two-pass slide
    std::string commentBefore;  // the comment both passes start from
    std::string passComment;    // the comment a repeated pass starts from
    bool repeating = false;
    bool done = false;
  };
  // The pass being scanned.
  struct PassState {
    std::string path;
    bool low = false;  // at the lower sensitivity
    bool imageCreated = false;
    bool retryRequested = false;
    bool abortScan = false;
    bool scanFinished = false;
  };
  RunState m_Run;
  SlotState m_Slot;
  PassState m_Pass;
};

bool CCarouselRun::IsClass(const ComError& e, unsigned errorClass) const {
  IScanCtrl::BOOL32 match = 0;
  const int code = static_cast<int>(platform::com::HResultCode(e.Error()));
  if (!m_pScan || platform::com::Failed(m_pScan->CheckErrorCode(code, errorClass, &match))) return false;
  return match != 0;
}

Failure CCarouselRun::CaughtFailure() const {
  Failure failure;
  try {
    throw;
  } catch (const ComError& e) {
    failure.kind = Failure::Kind::instrument;
    failure.text = FormatComError(e);
    for (const unsigned errorClass : kRunErrorClasses)
      if (IsClass(e, errorClass)) failure.classes |= std::uint64_t{1} << errorClass;
  } catch (const RunMessage& r) {
    failure.kind = Failure::Kind::message;
    failure.messageId = r.id;
    failure.text = RunMessageText(r.id);
  } catch (const std::string& text) {
    failure.kind = Failure::Kind::text;
    failure.text = text;
  } catch (const std::exception& e) {
    failure.kind = Failure::Kind::text;
    failure.text = e.what();
  } catch (...) {
    failure.kind = Failure::Kind::unknown;
    failure.text = MessageText(9919);
  }
  return failure;
}

void CCarouselRun::LogSlotFailure(const Failure& failure, bool inComment) {
  if (failure.IsAbort()) {
    LogInfoNoFormat(failure.text.c_str());
    if (inComment) m.m_strScanComment += "Scan aborted by user.";
  } else {
    LogErrorNoFormat(failure.text.c_str());
    if (inComment) m.m_strScanComment += "Scan Error. " + failure.text;
  }
}

COutputNaming& CCarouselRun::Naming() {
  if (!m.m_pNaming) m.m_pNaming = std::make_unique<COutputNaming>(m);
  return *m.m_pNaming;
}

int CCarouselRun::Run() {
  m_pCfg = m.GetRunConfig();
  if (!m_pScan || !m_pCfg) {
    const std::string text = m_pScan ? "Internal error: the carousel run has no run configuration."
                                     : "Movrak was not set in ScanMgr.";
    LogErrorNoFormat(text.c_str());
    m.SendStatusText(9909, text, kLineError);
    return kRunFailed;
  }
  if (const int code = RunStart(); code >= 0) return code;

  for (int slot = m.m_nStartSlot.load(); slot <= m.m_nEndSlot.load() && !AbortRequested(); ++slot) {
    const SlotEnd end = DoSlot(slot);
    if (end == SlotEnd::runEnded) {
      ReportSlotOutcomes();
      return kRunFailed;
    }
    if (end == SlotEnd::stop) break;
  }
  return RunEnd();
}

// The run start; -1 to go on with the slots, else the run end code.
int CCarouselRun::RunStart() {
  // Fresh scanner texts and run state. Factors of a previous run must not reach this
  // run's end-of-run calibration when no slide of this run is scanned.
  ReadScannerInfo(m_pScan, m.m_Info);
  m.m_nScanStarted = 0;
  m.m_strScanComment.clear();
  m.SetDataStatus(0);
  m.m_fRedLaserFactor = 1.0f;
  m.m_fGreenLaserFactor = 1.0f;
  m_Run.compressImage = m_pCfg->CompressTiff;
  CRegEdit runKey(HKEY_LOCAL_MACHINE, zeva::kScannerKey);

  // Carousel check.
  CLogger::OnFunctionBegin(CLogger::CAROUSEL_CHECK);
  m.SendStatusText(9945, "", kLineProgress);
  m_pCfg->ClearSlotFlags();
  if (!m.CheckSlotRange(m_pCfg->FirstSlot, m_pCfg->LastSlot)) {
    m.SendStatusText(9946, "", kLineError);
    CLogger::OnFunctionEnd(CLogger::CAROUSEL_CHECK);
    return kRunFailed;
  }
  CLogger::OnFunctionEnd(CLogger::CAROUSEL_CHECK);
  const int start = m.m_nStartSlot.load(), end = m.m_nEndSlot.load();

  if (m_pCfg->DyxScanNameUseSuffix) {
    m_Run.hiSuffix = "_H";
    m_Run.loSuffix = "_L";
  }

  m.SendStatusLine("Scanner SN: " + m.m_Info.serialNumber, kLineInfo);
  m.SendStatusLine(FormatText("Carousel run requested from Slot %d to Slot %d", start, end), kLineInfo);

  const int found = m.CheckCarouselForRun(start, end, m_pCfg->SlotUsed);
  if (found < 0) {
    if (AbortRequested()) m.SendStatusText(9947, MessageText(9918), kLineAttention);
    return kRunFailed;
  }
  if (platform::Window* window = m.GetStatusWindow())
    window->send(WM_CAROUSEL_CHECKED, static_cast<std::uintptr_t>(found), 0);
  if (found == 0) {
    m.SendStatusText(9909, "There is no chip to scan.", kLineAttention);
    return kRunFailed;
  }
  m.SendStatusLine(FormatText("Total number of slide(s) detected: %d.", found), kLineSuccess);
  std::string empty;
  for (int slot = start; slot <= end; ++slot) {
    if (m_pCfg->SlotUsed[slot - 1]) continue;
    if (!empty.empty()) empty += ", ";
    empty += std::to_string(slot);
  }
  if (!empty.empty()) m.SendStatusLine("No slide present in slot(#): " + empty + ".", kLineSuccess);

  m.SendStatusText(9902, "", kLineProgress);
  bool loaded = false;
  Failure failure;
  try {
    CheckScanCtrl(m_pScan->LoadCarousel());
    loaded = true;
    CheckAbortNow();
    m.LoadLastGoodPMTVoltages();
  } catch (...) {
    failure = CaughtFailure();
  }
  if (failure) {
    LogErrorNoFormat(failure.text.c_str());
    if (!loaded) {
      m.SendStatusLine(failure.text, kLineError);
      return kRunFailed;
    }
    m_Slot.error = true;
    m.SendStatusText(AbortRequested() ? 9947 : 9909, failure.text, kLineProgress);
    return kRunFailed;
  }

  try {
    CheckScanCtrl(m_pScan->ResetADCResetFlag());
  } catch (...) {
    LogErrorNoFormat(CaughtFailure().text.c_str());
  }

  m_Run.barcodeCount = runKey.ReadInt("BarcodeCount", 0L);
  GetScanLog().Open(m.m_Info.serialNumber);
  return -1;
}

void CCarouselRun::PresetPMT(tagPMTChannels channel, unsigned percent, bool secondDyx) {
  try {
    IScanCtrl::ULONG base = channel == kRedPMT ? m.m_nLastGoodRedVoltage : m.m_nLastGoodGreenVoltage;
    if (base == 0) CheckScanCtrl(m_pScan->PMTGetFlashVoltage(channel, &base));
    IScanCtrl::ULONG voltage = 0;
    CheckScanCtrl(m_pScan->CalculatePMTVoltage(channel, percent / 100.0, base, &voltage));
    const int value = static_cast<int>(voltage);
    if (channel == kRedPMT)
      LogDebug(1,
               secondDyx ? "Pre-set Red PMT voltage for the 2nd Dyx scan: %d" : "Pre-set Red PMT voltage: %d",
               value);
    else
      LogDebug(
          1,
          secondDyx ? "Pre-set Green PMT voltage for the 2nd Dyx scan: %d" : "Pre-set Green PMT voltage: %d",
          value);
    CheckScanCtrl(m_pScan->PMTChangeVoltageEx(channel, voltage, 1));
  } catch (const ComError& e) {
    LogError("Falied to pre-set PMT voltage: %s", FormatComError(e).c_str());
  }
}

void CCarouselRun::PresetPMTs(bool red, unsigned redPercent, bool green, unsigned greenPercent,
                              bool secondDyx) {
  if (red) PresetPMT(kRedPMT, redPercent, secondDyx);
  if (green) PresetPMT(kGreenPMT, greenPercent, secondDyx);
}

void CCarouselRun::BlockLasers() {
  try {
    CheckScanCtrl(m_pScan->SDPBlockLasers(1));
  } catch (const ComError& e) {
    LogError("Failed to block lasers: %s", FormatComError(e).c_str());
  }
}

std::string CCarouselRun::MakeBatchFileName(int slot) {
  COutputNaming& naming = Naming();
  std::string name =
      naming.GetBatchFileName(m_Slot.hasBarcode, m_Slot.namingBarcode, slot, &m.m_strScanComment);
  if (!name.empty()) return name;
  const std::string oldFolder = naming.m_strOutputFolder;
  std::string local;
  if (MultiChannelTiffHandler::GetLocalDataDirectory(oldFolder, local)) {
    naming.m_strOutputFolder = local;
    name = naming.GetBatchFileName(m_Slot.hasBarcode, m_Slot.namingBarcode, slot, &m.m_strScanComment);
    if (!name.empty())
      m.SendStatusLine(FormatText("ERROR: Network drive %s inaccessible; image has been saved in %s.\r\n",
                                  oldFolder.c_str(), local.c_str()),
                       kLineError);
  }
  return name;
}

void CCarouselRun::SetScanStatus(const std::string& comment) {
  if (comment.empty()) return;
  if (comment.size() > kMaxScanStatus) LogInfo("File comment has been truncated.");
  if (CScanDataProc* dp = m.GetDataProc()) dp->SetScanStatus(comment.substr(0, kMaxScanStatus).c_str());
}

void CCarouselRun::CloseAndSave() {
  CScanDataProc* dp = m.GetDataProc();
  m_Pass.imageCreated = false;
  if (!dp) return;
  try {
    dp->CloseAndSaveScan();
    if (dp->WasImageRemoved()) {
      // The operator was told this image's name when its pass began.
      const char* why = !m.m_nScanStarted                               ? "the scan did not start"
                        : dp->GetLinesWritten() <= dp->GetLeadInLines() ? "no scan line was written"
                                                                        : "the scan was aborted";
      const std::string text = FormatText("No image was kept for '%s': %s.", m_Pass.path.c_str(), why);
      LogWarningNoFormat(text.c_str());
      m.SendStatusLine(text, kLineError);
    }
    if (const int status = m.GetDataStatus(); status != 0) {
      const std::string text = CScanDataProc::GetStatusText(status);
      LogErrorNoFormat(text.c_str());
      m_Run.errorText += text + "\r\n";
      m.SendStatusLine(text, kLineError);
    }
  } catch (const ComError& e) {
    const std::string text = FormatComError(e);
    LogErrorNoFormat(text.c_str());
    m_Run.errorText += text + "\r\n";
  } catch (const CNetworkFailedRedirected& redirected) {
    m.SendStatusLine(redirected.GetMessage() + "\r\n", kLineError);
  } catch (const std::string& text) {
    m_Run.errorText += text + "\r\n";
    if (m.GetDataStatus() != 0)
      m.SendStatusLine(text, kLineError);
    else
      LogErrorNoFormat(text.c_str());
  }
}

void CCarouselRun::CloseAndRemove() {
  m_Pass.imageCreated = false;
  CScanDataProc* dp = m.GetDataProc();
  if (!dp) return;
  try {
    dp->CloseAndRemoveScan();
  } catch (const ComError& e) {
    const std::string text = FormatComError(e);
    LogErrorNoFormat(text.c_str());
    m_Run.errorText += text + "\r\n";
  } catch (const std::string& text) {
    LogErrorNoFormat(text.c_str());
  }
}

// The slot's mode, channels, region, barcode and image names; a failure is thrown.
void CCarouselRun::PrepareSlot(int slot, const CSlotScanCfgInfo& settings, const std::string& read) {
  // Mode of the slot.
  const bool twoPass = settings.DyxRatio > 0;
  m.m_bSlotTwoPass = twoPass;
  if (twoPass) {
    m_Slot.loRed = static_cast<unsigned>(settings.PMTRed * settings.DyxRatio);
    m_Slot.loGreen = static_cast<unsigned>(settings.PMTGreen * settings.DyxRatio);
  }
  m.m_nDoublePass = (settings.ResolutionType == 1 || settings.ResolutionType == 4) ? 0 : settings.DoublePass;
  m_Slot.twentyBitImage = settings.Tiff32Bit;
  m.SetChannelSettings(settings.ResolutionType, settings.UseGreen != 0, settings.UseRed != 0,
                       static_cast<unsigned>(settings.PMTRed), static_cast<unsigned>(settings.PMTGreen));
  m_Slot.region = {settings.OriginX,   settings.OriginY,     settings.RegionLeft,
                   settings.RegionTop, settings.AFX,         settings.AFY,
                   settings.PKG,       settings.RegionWidth, settings.RegionHeight};
  COutputNaming& naming = Naming();
  naming.SetStringParams(settings.OutputPath, settings.ScanDescription, m_pCfg->OperatorName,
                         m_pCfg->AutoNamingPrefix1, m_pCfg->AutoNamingPrefix2, m_pCfg->ScanNumberToken,
                         m_pCfg->Text4, m_pCfg->UseSlideID != 0);
  m_Slot.autoNaming = naming.m_bAutoNaming;
  m.m_strScanComment = naming.m_strScanComment;

  // Barcode check.
  std::string imageBarcode = read;
  m_Slot.namingBarcode = read;
  if (!settings.SlideID.empty()) {
    m_Slot.namingBarcode = settings.SlideID;
    if (read.empty()) {
      imageBarcode = settings.SlideID;
      m.SendStatusLine("No barcode read.  Using user entered barcode\r\n", kLineInfo);
    } else if (read != settings.SlideID) {
      m.SendStatusLine(
          FormatText("Read barcode (%s) mismatches with user entered (%s). Using read barcode\r\n",
                     read.c_str(), settings.SlideID.c_str()),
          kLineBarcodeMismatch);
    }
  }
  m_Slot.imageBarcode = imageBarcode;

  // Scan region.
  m.SetLumetraParams(m_Slot.region, false);
  if (m.m_ScanRegion[0] < kBarcodeOverlapEdge && !read.empty())
    m.SendStatusLine(
        "The left side of the scan region used for this slide may overlap with the barcode."
        "  This might cause Autofocus errors and a poor scan image.",
        kLineWarning);

  // Naming.
  m_Slot.hasBarcode = false;
  if (m_Slot.autoNaming) {
    if (m_Slot.namingBarcode.empty()) {
      m_Slot.imageBarcode = "NOBARCODE";
      if (naming.m_strNamingTemplate1 == kTemplateSlideId) naming.m_strNamingTemplate1 = kTemplateSlot;
      if (naming.m_strNamingTemplate2 == kTemplateSlideId) naming.m_strNamingTemplate2 = kTemplateSlot;
      m.SendStatusLine("Slot number used as file name prefix\r\n", kLineInfo);
    } else {
      m_Slot.hasBarcode = true;
    }
  }
  m_Slot.base = MakeBatchFileName(slot);
  if (m_Slot.base.empty()) {
    m_Slot.skipped = true;
    throw RunMessage{9949};
  }

  // Two-pass names.
  if (twoPass) {
    const bool loFirst = m_pCfg->DyxScanLoPMTFirst != 0;
    if (!m_Run.hiSuffix.empty()) {
      m_Slot.firstName = m_Slot.base + (loFirst ? m_Run.loSuffix : m_Run.hiSuffix) + ".tif";
      m_Slot.secondName = m_Slot.base + (loFirst ? m_Run.hiSuffix : m_Run.loSuffix) + ".tif";
    } else {
      m_Slot.firstName = m_Slot.base + ".tif";
    }
  }

  CheckAbortNow();
}

void CCarouselRun::StartSlot(int slot) {
  m.m_nScanStarted = 0;
  m.m_strScanComment.clear();
  m.m_bSlotTwoPass = false;
  m_Run.loadFailed = false;
  // The run's error text lives on until a pass starts or a slide is skipped: an empty
  // slot after a slide must not wipe what that slide reported from the summary.
  m_Slot = SlotState{};
  m_Slot.number = slot;
  m_Pass = PassState{};
}

void CCarouselRun::AnnounceSlot(int slot) {
  m.SendStatusLine(" ", kLineInfo);
  m.SendStatusLine(FormatText("Slot %d ----------------\r\n", slot), kLineInfo);
  m.SendStatusLine(FormatText("Loading chip (Slot %d)...", slot), kLineProgress);
  LogInfo("******************************************************");
  LogInfo("Starting Scan of Slide (Slot %d) at Time: %s [%s]", slot, TimeText().c_str(),
          m.m_Info.serialNumber.c_str());
  GetScanLog().SetStartTime(
      std::chrono::duration_cast<std::chrono::seconds>(platform::systemNow().time_since_epoch()).count());
}

CCarouselRun::SlotEnd CCarouselRun::DoSlot(int slot) {
  StartSlot(slot);
  if (!m_pCfg->SlotUsed[slot - 1]) return SlotEnd::next;
  const CSlotScanCfgInfo* settingsOf = m_pCfg->GetAt(slot);
  if (!settingsOf) {
    const std::string text =
        FormatText("Slot %d holds a slide but has no scan settings; slot skipped.", slot);
    LogErrorNoFormat(text.c_str());
    m.SendStatusText(9909, text, kLineError);
    return SlotEnd::next;
  }
  const CSlotScanCfgInfo settings = *settingsOf;
  GetScanLog().SetSlotConfig(settings);
  AnnounceSlot(slot);

  // The tubes settle while the slide is loaded.
  m_Slot.loFirst = m_pCfg->DyxScanLoPMTFirst != 0;
  const bool firstLow = settings.DyxRatio > 0 && m_Slot.loFirst;
  PresetPMTs(settings.UseRed != 0,
             firstLow ? static_cast<unsigned>(settings.PMTRed * settings.DyxRatio)
                      : static_cast<unsigned>(settings.PMTRed),
             settings.UseGreen != 0,
             firstLow ? static_cast<unsigned>(settings.PMTGreen * settings.DyxRatio)
                      : static_cast<unsigned>(settings.PMTGreen),
             false);
  if (const std::optional<SlotEnd> end = LoadSlide(slot, settings)) return *end;

  m_Slot.twoPass = m.m_bSlotTwoPass;
  m_Slot.maxRetries = m.m_bMainHost ? m.GetScanRetries() : 0;
  m_Slot.dyxId = CScanMgr::GetTimeStamp();
  m_Slot.commentBefore = m.m_strScanComment;
  while (!m_Slot.done && !AbortNow()) {
    StartPass();
    if (!NamePass(slot) || !CreatePassImage()) break;
    SetPassPercents(settings);
    if (!ScanPass(slot)) return SlotEnd::runEnded;
    StopPass();
    if (m.m_nScanStarted) ReportPassQuality();
    if (m_Pass.imageCreated) SaveImage();
    NextPass();
  }
  return EndSlot(slot);
}

std::optional<CCarouselRun::SlotEnd> CCarouselRun::LoadSlide(int slot, const CSlotScanCfgInfo& settings) {
  bool loaded = false;
  Failure failure;
  try {
    CLogger::OnFunctionBegin(CLogger::SLIDE_LOADING);
    CheckScanCtrl(m_pScan->LoadChip(static_cast<int>(m_Run.barcodeCount), slot));
    loaded = true;
    CheckAbortNow();
    std::string read;
    CheckScanCtrl(m_pScan->get_Barcode(&read));
    GetScanLog().SetBarcode(read);
    PrepareSlot(slot, settings, read);
    return std::nullopt;
  } catch (...) {
    failure = CaughtFailure();
  }
  if (!loaded) {
    CLogger::OnFunctionEnd(CLogger::SLIDE_LOADING);
    if (failure.Is(kClassNoSlide)) {
      m.SendStatusLine("No slide found.", kLineAttention);
      LogError("No slide found in the slot %d, it was detected (when CheckCarousel) before the carousel run",
               slot);
      return SlotEnd::next;
    }
    if (failure.Is(kClassArmTimeout)) {
      m.SendStatusText(9909,
                       FormatText("The slide failed to load [%s]; slide was skipped.", failure.text.c_str()),
                       kLineError);
      m.SendStatusLine(
          "NOTE: The Autoloader may be out of alignment or the slide holder may need to be replaced."
          " Be careful when removing the carousel not to bump the Autoloader Guide Bracket.",
          kLineAttention);
      // Recorded as what it is: a skipped slide, not a success.
      m_Slot.skipped = true;
      RecordSlotResult(slot);
      ++m_Run.slidesDone;
      m_Slot.error = false;
      return SlotEnd::next;
    }
    m_Run.loadFailed = true;
  }
  LogSlotFailure(failure, failure.kind == Failure::Kind::message);
  m_Slot.error = true;
  m_Run.errorText += failure.text + "\r\n";
  if (failure.kind == Failure::Kind::message && failure.messageId == 9949) {
    // Naming says only that it failed; a folder that refuses new files is the usual cause.
    const std::string folder = Naming().m_strOutputFolder;
    if (platform::directoryExists(folder)) {
      if (const int error = TryWriteInFolder(folder); error != 0) {
        const std::string cause = FolderNotWritableText(folder, error);
        LogErrorNoFormat(cause.c_str());
        m_Run.errorText += cause + "\r\n";
      }
    }
  }
  CloseAndRemove();
  if (!m_Slot.skipped) return SlotEnd::stop;
  m.SendStatusText(9909, m_Run.errorText, kLineError);
  RecordSlotResult(slot);
  ++m_Run.slidesDone;
  m_Slot.error = false;
  m_Run.errorText.clear();
  return SlotEnd::next;
}

void CCarouselRun::StartPass() {
  m_Run.errorText.clear();
  m.m_nScanStarted = 0;
  // A second pass that fails must not pass for finished because its first pass did.
  m_Pass = PassState{};
  m_Pass.low = m_Slot.twoPass && (m_Slot.secondPass ? !m_Slot.loFirst : m_Slot.loFirst);
}

void CCarouselRun::StartPassComment() {
  // A repeated pass starts its image's comment over: what the cut-short attempt said
  // belongs to the image it replaces.
  if (m_Slot.repeating)
    m.m_strScanComment = m_Slot.passComment;
  else
    m_Slot.passComment = m.m_strScanComment;
  m_Slot.repeating = false;
}

bool CCarouselRun::NamePass(int slot) {
  std::string line;
  if (m_Slot.twoPass) {
    const char* which = m_Pass.low ? "Lo" : "Hi";
    if (!m_Slot.secondPass) {
      m_Pass.path = m_Slot.firstName;
    } else {
      if (m_Slot.secondName.empty()) {
        const std::string base = MakeBatchFileName(slot);
        if (base.empty()) {
          const std::string text = RunMessageText(9949);
          LogErrorNoFormat(text.c_str());
          m_Run.errorText += text + "\r\n";
          m_Slot.skipped = true;
          m.SendStatusText(9909, m_Run.errorText, kLineError);
          return false;
        }
        m_Slot.secondName = base + ".tif";
      }
      m_Pass.path = m_Slot.secondName;
      m.m_strScanComment = m_Slot.commentBefore;
    }
    StartPassComment();
    LogInfo("Creating file for Dyxwide scan (%s): %s", which, m_Pass.path.c_str());
    line = m.m_strScanComment.empty()
               ? FormatText("Creating file for Dyxwide scan (%s): %s \r\nPreparing Scan.", which,
                            m_Pass.path.c_str())
               : m.m_strScanComment + "\r\nPreparing Scan.";
  } else {
    m_Pass.path = m_Slot.base;
    StartPassComment();
    LogInfo("Creating file: %s", m_Pass.path.c_str());
    line = m.m_strScanComment.empty()
               ? FormatText("Creating file: %s \r\nPreparing Scan.", m_Pass.path.c_str())
               : m.m_strScanComment + "\r\nPreparing Scan.";
  }
  m.SendStatusLine(line, kLineProgress);
  return true;
}

bool CCarouselRun::CreatePassImage() {
  try {
    CScanDataProc* dp = m.GetDataProc();
    if (!dp) throw std::string("The scan data processor is missing.");
    const int psx = std::max(m.m_nPixelSizeX, 1), psy = std::max(m.m_nPixelSizeY, 1);
    const bool split = m_pCfg->SplitAndRotate != 0;
    dp->CreateTiff(m_Pass.path.c_str(), static_cast<unsigned long>(m.m_ScanRegion[7] / psx),
                   static_cast<unsigned long>(m.m_ScanRegion[8] / psy), m.m_nChannelCount, psx, psy,
                   split ? false : m_Slot.twentyBitImage != 0, split, m_Run.compressImage != 0);
    m_Pass.imageCreated = true;
    dp->SetBarcode(m_Slot.imageBarcode.c_str());
    return true;
  } catch (...) {
    const Failure failure = CaughtFailure();
    const bool message = failure.kind == Failure::Kind::message;
    LogSlotFailure(failure, message);
    // An image that cannot be created skips the slide; the run goes on.
    if (!message && failure.kind != Failure::Kind::unknown) {
      m_Slot.skipped = true;
      m.SendStatusText(9909, failure.text, kLineError);
    }
    m_Slot.error = true;
    m_Run.errorText += failure.text + "\r\n";
    CloseAndRemove();
    return false;
  }
}

void CCarouselRun::SetPassPercents(const CSlotScanCfgInfo& settings) {
  if (m_Slot.twoPass) {
    m.m_nRedPercent = m_Pass.low ? m_Slot.loRed : static_cast<unsigned>(settings.PMTRed);
    m.m_nGreenPercent = m_Pass.low ? m_Slot.loGreen : static_cast<unsigned>(settings.PMTGreen);
    if (m_Slot.secondPass)
      PresetPMTs(m.m_bRedEnable, m.m_nRedPercent, m.m_bGreenEnable, m.m_nGreenPercent, true);
  } else {
    m.m_nRedPercent = static_cast<unsigned>(settings.PMTRed);
    m.m_nGreenPercent = static_cast<unsigned>(settings.PMTGreen);
  }
}

bool CCarouselRun::ScanPass(int slot) {
  try {
    m.SendScanFileInfo(m_Pass.path, m_Slot.imageBarcode, slot, m_Run.slidesDone);
    TiffHeaderValues header;
    header.mainHost = m.m_bMainHost;
    header.channelCount = static_cast<unsigned>(std::max(m.m_nChannelCount, 0));
    header.channels = m.m_Channels;
    header.binX = static_cast<unsigned>(m.m_nBinX);
    header.binY = static_cast<unsigned>(m.m_nBinY);
    header.originX = m.m_ScanRegion[0];
    header.originY = m.m_ScanRegion[1];
    header.width = m.m_ScanRegion[7];
    header.height = m.m_ScanRegion[8];
    header.description = Naming().m_strScanDescription;
    header.operatorName = Naming().m_strOperatorName;
    if (CScanDataProc* dp = m.GetDataProc()) SetTiffHeaderInfo(m_pScan, *dp, header);
    CheckAbortNow();
    CLogger::OnFunctionBegin(CLogger::SCANNING);
    m.DoScan(m_Pass.path);
    CLogger::OnFunctionEnd(CLogger::SCANNING);
    m_Pass.scanFinished = true;
    return true;
  } catch (...) {
    Failure failure = CaughtFailure();
    if (failure.kind == Failure::Kind::text) failure.text = failure.text.substr(0, kMaxExceptionText);
    return !ScanFailed(failure);
  }
}

void CCarouselRun::RequestRetry(const std::string& text) {
  m_Pass.retryRequested = true;
  const std::string retryLine = text + "***Scan retry***\r\n";
  m_Run.errorText += retryLine;
  m.SendStatusLine(retryLine, kLineRetry);
}

bool CCarouselRun::ScanFailed(const Failure& failure) {
  const std::string& text = failure.text;
  const bool retriesLeft = m_Slot.retries < m_Slot.maxRetries && m_Slot.maxRetries != 0;
  if (failure.Is(kClassAutofocus)) {
    if (retriesLeft) {
      RequestRetry(text);
    } else {
      const std::string dump = WithoutTifExtension(m_Pass.path) + "_AF_MemDump.log";
      LogInfo("Autofocus Error - Creating DSP memdump log file: %s", dump.c_str());
      try {
        CheckScanCtrl(m_pScan->DSPMemDump(kVCAF, 0x2000, 0x1700, dump));
      } catch (const ComError& dumpError) {
        LogErrorNoFormat(FormatComError(dumpError).c_str());
      }
      m.m_strScanComment = text;
      m_Run.errorText += text + "\r\n";
      m_Slot.skipped = true;
      m.SendStatusLine(m_Run.errorText, kLineWarning);
    }
  } else if (failure.Is(kClassThickness) || failure.Is(kClassPMTCalibration)) {
    if (retriesLeft) {
      RequestRetry(text);
    } else {
      m_Run.errorText += text + "\r\n";
      m_Slot.skipped = true;
      m.SendStatusLine(m_Run.errorText, kLineError);
    }
  } else if (failure.kind == Failure::Kind::message && failure.messageId == 9952 && m.m_nScanStarted) {
    if (retriesLeft) {
      RequestRetry(text);
      m_Pass.abortScan = true;
    } else {
      const std::string failed = FormatText("Scan failed: Failed to process scan data - %s.",
                                            CScanDataProc::GetStatusText(m.GetDataStatus()).c_str());
      m.SendStatusLine(failed, kLineError);
      m.m_strScanComment += failed;
      LogErrorNoFormat(failed.c_str());
      m_Slot.skipped = true;
      m_Run.errorText += text + "\r\n";
      m_Slot.error = true;
    }
  } else {
    LogSlotFailure(failure, true);
    m_Run.errorText += text + "\r\n";
    m_Slot.error = true;
    if (failure.EndsRun()) {
      // The run ends here: lasers blocked before anything else, the partial image
      // kept, and the run end sent by the caller only after the last instrument call.
      BlockLasers();
      if (m_Pass.imageCreated) {
        SetScanStatus(m.m_strScanComment);
        CloseAndSave();
      }
      // The slide's history line, as for any other failed slide.
      RecordSlotResult(m_Slot.number);
      m.SendStatusText(9909, m_Run.errorText, kLineError);
      return true;
    }
  }
  return false;
}

void CCarouselRun::StopPass() {
  if (m.m_nScanStarted && !m_Pass.scanFinished) BlockLasers();
  if (AbortNow() || (m_Slot.error && m.m_nScanStarted && !m_Pass.scanFinished) || m_Pass.abortScan) {
    LogInfo("Aborting Scanning");
    try {
      CheckScanCtrl(m_pScan->AbortScan());
    } catch (const ComError& e) {
      m_Run.errorText += FormatComError(e) + "\r\n";
    }
    platform::sleepFor(kAbortScanWait);
  }
}

void CCarouselRun::ReportPassQuality() {
  CScanDataProc* dp = m.GetDataProc();
  try {
    BlockLasers();
    CheckScanCtrl(m_pScan->EndScan());
    IScanCtrl::LONG afStats = 0;
    CheckScanCtrl(m_pScan->GetAFStats(&afStats));
    const double measured = afStats;
    const double percent = std::clamp(measured, 0.0, 100.0);
    if (percent != measured)
      LogDebug(1, "ScanMgr: percent AF hold has been adjusted from %.4f to %.4f", measured, percent);
    else
      LogDebug(1, "ScanMgr: percent AF hold = %.4f", percent);
    if (percent >= kAFHoldExtended) {
      m.SendStatusLine(
          FormatText("AutoFocus was suspended for an extended period of time during the scan [%.4f percent].",
                     percent) +
              "  Check the scan image for anomalies.  To rectify, eliminate any contamination on the "
              "surface of the slide,"
              " insure that the scan region does not overlap the barcode or other non-transparent areas, "
              "then rescan.",
          kLineError);
    } else if (percent > kAFHoldLonger) {
      m.SendStatusLine(
          FormatText("AutoFocus was suspended longer than normal during the scan [%.4f percent].", percent) +
              "  Eliminate any contamination on the surface of the slide, and make sure that the scan "
              "region does not overlap the barcode or other non-transparent areas."
              "  Check the scan image and rescan, if necessary.",
          kLineWarning);
    }
    if (dp) dp->SetPercentAutoFocusHold(percent);

    double thickness = 0;
    CheckScanCtrl(m_pScan->get_ChipThickness(&thickness));
    IScanCtrl::LONG tarsel = 0;
    CheckScanCtrl(m_pScan->get_IsTarselBarcode(&tarsel));
    if (tarsel) {
      if (thickness < kTarselThicknessMin || thickness > kTarselThicknessMax)
        m.SendStatusLine(
            "The Autofocus pre-scan calibration obtained a slide thickness that is inconsistent with the "
            "known thickness range of Tarsel zevazodizos."
            " Inspect the scan image for anomalies such as red/green feature misalignment."
            " Before scanning, insure that slides are free of hybridization residue and an appropriate "
            "scan region is selected.",
            kLineWarning);
    } else if (m.GetScannerModel() == 0 && (thickness < kThicknessMin || thickness > kThicknessMax)) {
      LogInfo(
          "The slide has a thickness of %.3f which is outside the allowable thickness range (%.3f -  "
          "%.3f).",
          thickness, kThicknessMin, kThicknessMax);
      m.SendStatusLine(
          "Warning: the scanner has detected a glass slide that is outside the allowable thickness range "
          "or "
          "the selected scan region contains an obstruction to the initial focus positions."
          "This slide may damage the scanner.  Please remove the slide from the carousel.",
          kLineAttention);
    }
    if (dp) dp->SetGlassThickness(thickness * kThicknessScale);
    ReportLaserCompensation();
  } catch (const ComError& e) {
    const std::string text = FormatComError(e);
    LogErrorNoFormat(text.c_str());
    m_Run.errorText += text + "\r\n";
    if (m.m_strScanComment.empty()) m.m_strScanComment = "Scan Error. " + text;
    m.SendStatusLine(text, kLineError);
  }
}

void CCarouselRun::ReportLaserCompensation() {
  try {
    IScanCtrl::ULONG red = 0, green = 0;
    CheckScanCtrl(m_pScan->FlashGetUnsignedDef("LaserCompensationRequired_R", 0, &red));
    CheckScanCtrl(m_pScan->FlashGetUnsignedDef("LaserCompensationRequired_G", 0, &green));
    std::string text;
    if (red && green)
      text = "Both laser powers are low.";
    else if (red || green)
      text = FormatText("%s laser power is low.", red ? "Red" : "Green");
    if (!text.empty()) {
      text += " Software correction is applied.";
      m.m_strScanComment += text;
      m.SendStatusLine(text, kLineWarning);
    }
  } catch (const ComError& e) {
    LogError("Failed to check Laser Calibration Warning flag: %s", FormatComError(e).c_str());
  }
}

void CCarouselRun::SaveImage() {
  const bool dataWhole = m.GetDataStatus() == 0;
  if (m_Slot.skipped) {
    m.m_strScanComment += "Slide skipped.\r\n";
    m.SendStatusLine("Slide skipped.\r\n\r\n", kLineAttention);
  } else if (!m.m_nScanStarted) {
    m.m_strScanComment += "Scan not started.";
  } else if (m_Pass.retryRequested) {
    // A pass cut short for a retry holds a partial image: never "completed".
    m.m_strScanComment += kRetryStatus;
    m.SendStatusLine(kRetryStatus, kLineRetry);
  } else if (!AbortNow() && !m_Slot.error) {
    m.m_strScanComment += "Scan completed.\r\n";
    m.SendStatusLine("Scan completed.\r\n\r\n", kLineSuccess);
  }
  CScanDataProc* dp = m.GetDataProc();
  if (m_Slot.twoPass && dp) {
    if (m_Slot.dyxId.empty()) {
      if (!m_Slot.secondPass) {
        m_Slot.dyxId = CScanMgr::GetTimeStamp();
        LogInfo("Failed to get the first Dyx scan file GUID as DyxID, use the time-stamp instead.");
      } else {
        LogInfo("Failed to add DyxID info to the 2nd Dyx scan file");
      }
    }
    dp->SetDyxScanIDInfo(m_Slot.dyxId.c_str(), m_Pass.low ? 2 : 1);
  }
  SetScanStatus(m.m_strScanComment);
  if (AbortNow())
    m.SendStatusMessage(9911, 9912, kLineProgress);
  else if (m_Slot.error)
    m.SendStatusMessage(9909, 9912, kLineProgress);
  else
    m.SendStatusMessage(9913, 0, kLineProgress);
  CloseAndSave();
  // Data that came whole but could not be saved (a full disk) is no scanned slide: the
  // slot fails, and the run stops rather than fill the disk's last room slide by slide.
  if (dataWhole && m.GetDataStatus() != 0 && !m_Pass.retryRequested && !m_Slot.skipped) m_Slot.error = true;
}

void CCarouselRun::NextPass() {
  if (m_Pass.retryRequested && m_Slot.maxRetries != 0 && m_Slot.retries < m_Slot.maxRetries) {
    ++m_Slot.retries;
    m_Slot.repeating = true;
  } else if (m_Slot.twoPass && !m_Slot.secondPass && !m_Pass.retryRequested && !m_Slot.error &&
             !m_Slot.skipped) {
    // A slide given up in its first pass is not scanned a second time.
    m_Slot.secondPass = true;
    m_Slot.retries = 0;
  } else {
    m_Slot.done = true;
  }
}

void CCarouselRun::RecordSlotResult(int slot) {
  CScanLogFile& history = GetScanLog();
  history.SetResult(m_Slot.error ? "Failed" : "Success");
  if (m_Slot.skipped) history.SetResult("Skipped");
  if (m_Slot.skipped)
    m_Run.skippedSlots.push_back(slot);
  else if (m_Slot.error)
    m_Run.failedSlots.push_back(slot);
  else
    ++m_Run.slidesScanned;
  if (!history.WriteRecord()) {
    LogWarning("The scan-history line of slot %d was not written.", slot);
    m_Run.unrecordedSlots.push_back(slot);
  }
  if (platform::Window* window = m.GetStatusWindow()) window->post(WM_SLOT_RECORDED, 0, slot);
}

CCarouselRun::SlotEnd CCarouselRun::EndSlot(int slot) {
  LogInfo("Ending Scan of Slide at Time: %s \r\n", TimeText().c_str());
  RecordSlotResult(slot);
  ++m_Run.slidesDone;
  if (AbortNow()) return SlotEnd::stop;
  if (m_Slot.error && !m_Slot.skipped) return SlotEnd::stop;
  if (m_Slot.skipped) {
    m_Slot.error = false;
    m_Run.errorText.clear();
  }
  return SlotEnd::next;
}

void CCarouselRun::ReportSlotOutcomes() {
  const auto joined = [](const std::vector<int>& slots) {
    std::string text;
    for (const int slot : slots) text += (text.empty() ? "" : ", ") + std::to_string(slot);
    return text;
  };
  if (!m_Run.skippedSlots.empty())
    m.SendStatusLine("Slide skipped in slot(#): " + joined(m_Run.skippedSlots) + ".", kLineError);
  if (!m_Run.failedSlots.empty())
    m.SendStatusLine("Slide failed in slot(#): " + joined(m_Run.failedSlots) + ".", kLineError);
}

int CCarouselRun::RunEnd() {
  // PMT calibration at 100 percent of the channels this run did not confirm.
  if (m.m_bCalibrationDue && !m_Slot.error) {
    unsigned mask = 0;
    if (!m.m_nRedConfirmed) {
      mask |= 1;
      m.m_nRedPercent = 100;
    }
    if (!m.m_nGreenConfirmed) {
      mask |= 2;
      m.m_nGreenPercent = 100;
    }
    if (mask) {
      m.SendStatusText(9941, "", kLineProgress);
      unsigned newRed = 0, newGreen = 0;
      IScanCtrl::BOOL32 failed = 0;
      try {
        CheckScanCtrl(m_pScan->CalibratePMT(mask, m.m_nRedPercent / 100.0, m.m_nGreenPercent / 100.0,
                                            m.m_nLastGoodRedVoltage, m.m_nLastGoodGreenVoltage, &newRed,
                                            &newGreen, &failed, m.m_fRedLaserFactor, m.m_fGreenLaserFactor));
      } catch (const ComError& e) {
        failed = 1;
        const std::string text = FormatComError(e);
        LogErrorNoFormat(text.c_str());
        if (IsClass(e, kClassPMTUnstable) || IsClass(e, kClassPMTLost)) {
          m.SendStatusLine(" ", kLineInfo);
          m.SendStatusLine("End of carousel run maintenance tasks ----------------", kLineInfo);
          m.SendStatusLine(text, kLineWarning);
        } else {
          m.SendStatusLine(text, kLineProgress);
        }
      }
      m.m_nCalibrationFailed = failed ? 1 : 0;
      if (!failed) {
        m.m_nNewRedVoltage = newRed;
        m.m_nNewGreenVoltage = newGreen;
        if (mask & 1) {
          m.m_nLastGoodRedVoltage = newRed;
          m.m_nRedConfirmed = 1;
        }
        if (mask & 2) {
          m.m_nLastGoodGreenVoltage = newGreen;
          m.m_nGreenConfirmed = 1;
        }
      }
    }
  }

  if (m.m_nRedConfirmed && m.m_nGreenConfirmed) m.StoreLastGoodPMTVoltages();

  // First red-laser calibration.
  try {
    IScanCtrl::BOOL32 ready = 0;
    CheckScanCtrl(m_pScan->IsRedLaserReadyToAdjust(&ready));
    if (ready) {
      m.SendStatusText(9953, "", kLineProgress);
      IScanCtrl::BOOL32 done = 0;
      try {
        CheckScanCtrl(m_pScan->CalibrateLaser(1, &done));
      } catch (const ComError& e) {
        if (!IsClass(e, kClassRedLaserSpec) && !IsClass(e, kClassLaserTarget)) throw;
        CheckScanCtrl(m_pScan->CalibrateLaser(1, &done));
      }
    }
  } catch (...) {
    const Failure failure = CaughtFailure();
    if (failure.kind == Failure::Kind::instrument) m.SendStatusLine(failure.text, kLineError);
    LogError("Failed to calibrate red laser: %s", failure.text.c_str());
  }

  // Eject.
  if (!m_Run.loadFailed) {
    if (AbortRequested())
      m.SendStatusMessage(9947, 9915, kLineProgress);
    else
      m.SendStatusText(9915, "", kLineProgress);
    try {
      try {
        CheckScanCtrl(m_pScan->EjectCarousel());
      } catch (const ComError& e) {
        // The slide may still sit in the holder: the scanner must be initialised again.
        const std::string text = FormatComError(e);
        LogErrorNoFormat(text.c_str());
        m_Run.errorText += text + "\r\n" + MessageText(9916);
        m_Run.ejectFailed = true;
      }
      if (!m_Run.ejectFailed) {
        try {
          CheckScanCtrl(m_pScan->UnLockDoor());
        } catch (const ComError& e) {
          const std::string text = FormatComError(e);
          LogErrorNoFormat(text.c_str());
          m_Run.errorText += text + "\r\n";
        }
      }
      try {
        CheckScanCtrl(m_pScan->SetFSMotorCtrlMode(kMotorCtrlOpen));
      } catch (const ComError& e) {
        LogErrorNoFormat(FormatComError(e).c_str());
      }
    } catch (...) {
      m_Run.errorText += CaughtFailure().text + MessageText(9916);
      m_Run.ejectFailed = true;
    }
  }

  // Summary.
  m.SendStatusLine(" ", kLineInfo);
  if (AbortRequested()) {
    if (AbortNow()) m.SendStatusText(9911, "", kLineAttention);
    m.SendStatusMessage(9947, 9918, kLineAttention);
  } else if (m_Run.loadFailed) {
    m.SendStatusText(9948, m_Run.errorText, kLineError);
  } else if (m_Slot.error) {
    m.SendStatusText(9909, m_Run.errorText, kLineError);
  } else if (m_Run.ejectFailed) {
    m.SendStatusLine(m_Run.errorText, kLineError);
  } else if (m_Run.slidesDone == 0 && !m.m_nScanStarted) {
    m.SendStatusText(9938, m_Run.errorText, kLineAttention);
  } else if (m_Run.slidesScanned == 0) {
    // Every slide was skipped: nothing of this run was scanned, so it did not complete.
    std::string text = "Carousel run ended without scanning a slide.";
    if (!m_Run.errorText.empty()) text += "\r\n" + m_Run.errorText;
    m.SendStatusLine(text, kLineError);
  } else {
    m.SendStatusText(9937, m_Run.errorText, kLineSuccess);
  }
  // A slide that failed before its history line also failed the run.
  if (m_Slot.error &&
      std::find(m_Run.failedSlots.begin(), m_Run.failedSlots.end(), m_Slot.number) == m_Run.failedSlots.end())
    m_Run.failedSlots.push_back(m_Slot.number);
  ReportSlotOutcomes();

  if (m_Run.ejectFailed) return kRunNotEjected;
  if (m_Slot.error || AbortRequested() || m_Run.slidesScanned == 0) return kRunFailed;
  return kRunCompleted;
}

void CCarouselRun::CleanUpAfterEscape() {
  try {
    if (m_pScan && m.m_nScanStarted && !m_Pass.scanFinished) BlockLasers();
    if (m_Pass.imageCreated) {
      if (m.m_nScanStarted) {
        // Keep what was scanned, marked as the failure it is.
        SetScanStatus(m.m_strScanComment + "Scan Error. " + MessageText(9919));
        CloseAndSave();
      } else {
        CloseAndRemove();
      }
    }
  } catch (...) {
    LogError("The scan image could not be closed after an unhandled error.");
  }
}

void CCarouselRun::ReportUnrecordedSlots() {
  if (m_Run.unrecordedSlots.empty()) return;
  std::string slots;
  for (const int slot : m_Run.unrecordedSlots) slots += (slots.empty() ? "" : ", ") + std::to_string(slot);
  const CScanLogFile& history = GetScanLog();
  const std::string reason = platform::fileErrorText(history.GetErrorCode());
  // The slides were scanned; only their record is missing, and the operator must see
  // that the scan history lacks them (an error line is shown, a warning only reported).
  const std::string text =
      FormatText("The scan-history line of slot(s) %s could not be written to '%s'%s%s.", slots.c_str(),
                 history.GetFilePath().c_str(), reason.empty() ? "" : ": ", reason.c_str());
  LogErrorNoFormat(text.c_str());
  m.SendStatusLine(text, kLineError);
  m_Run.unrecordedSlots.clear();
}

// ---- CScanMgr ----------------------------------------------------------------------------------

void CScanMgr::DoCarouselRun() {
  CCarouselRun run(*this);
  int code = kRunFailed;
  try {
    code = run.Run();
  } catch (...) {
    try {
      throw;
    } catch (const std::exception& e) {
      LogError("Carousel run: %s", e.what());
    } catch (...) {
    }
    run.CleanUpAfterEscape();
    run.ReportUnrecordedSlots();
    SendAttention(kRunFailed, 0);
    throw;
  }
  run.ReportUnrecordedSlots();
  SendAttention(code, 0);
}

std::uint32_t CScanMgr::CarouselRunThreadProc() {
  m_nRunInProgress.store(1);
  InstallSETranslator();
  CLogger::OnFunctionBegin(CLogger::CAROUSEL_RUN);
  try {
    DoCarouselRun();
  } catch (const SE_Exception& e) {
    LogError("An unhandled error occurred. [Caught a SE_Exception: %s]",
             e.GetMessageText("ScanThread").c_str());
  } catch (...) {
    LogError("An unhandled error occurred. [Unknown error in ScanThread()]");
  }
  m_nRunInProgress.store(0);
  CLogger::OnFunctionEnd(CLogger::CAROUSEL_RUN);
  return 0;
}

bool CScanMgr::StartCarouselRunThread() {
  if (m_nRunInProgress.load()) {
    LogError("ScanMgr: a carousel run is still in progress.");
    return false;
  }
  // A thread past its body only has its last log lines left.
  if (m_RunThread.joinable() && !m_RunThread.join(kThreadWait)) {
    LogError("ScanMgr: the previous carousel run thread has not ended.");
    return false;
  }
  CheckSlotRange(kFirstSlot, kLastSlot);
  m_nRunInProgress.store(1);
  if (!m_RunThread.start([this](platform::Event&) { return CarouselRunThreadProc(); }, "CarouselRun")) {
    m_nRunInProgress.store(0);
    LogError("ScanMgr: cannot start the carousel run thread.");
    return false;
  }
  return true;
}

bool CScanMgr::WaitForCarouselRun(std::chrono::milliseconds timeout) {
  return !m_RunThread.joinable() || m_RunThread.join(timeout);
}

void CScanMgr::StopCarouselRun() {
  if (!m_RunThread.joinable()) return;
  // No window may wait for this thread's messages while it is being joined.
  m_pStatusWindow.store(nullptr);
  m_pMainWindow.store(nullptr);
  if (m_RunThread.running()) {
    try {
      RequestAbort(true, false);
    } catch (const ComError& e) {
      m_nAbortRequest.store(1);
      LogErrorNoFormat(FormatComError(e).c_str());
    }
  }
  if (!m_RunThread.join(kRunThreadWait)) {
    // It works on this object: it must end before the members go.
    LogError(
        "ScanMgr: the carousel run thread did not end within %d s after the abort; still waiting for it.",
        static_cast<int>(kRunThreadWait.count()));
    (void)m_RunThread.join();  // without a limit: it returns once the thread ended
  }
}

// ---- status messages -----------------------------------------------------------------------------

void CScanMgr::SendStatusLine(const std::string& text, int kind) {
  CRunStatus(m_pStatusWindow.load()).SendStatusLine(text, kind);
}

void CScanMgr::SendStatusMessage(int id, int id2, int kind) {
  CRunStatus(m_pStatusWindow.load()).SendStatusMessage(id, id2, kind);
}

void CScanMgr::SendStatusText(int id, const std::string& extra, int kind) {
  CRunStatus(m_pStatusWindow.load()).SendStatusText(id, extra, kind);
}

void CScanMgr::SendAttention(int code, std::uintptr_t wParam) {
  CRunStatus(m_pStatusWindow.load()).SendAttention(code, wParam);
}

void CScanMgr::SendScanFileInfo(const std::string& fileName, const std::string& barcode, int slot,
                                int slidesDone) {
  const int lines =
      m_nPixelSizeY > 0
          ? static_cast<int>(static_cast<unsigned>(m_ScanRegion[8]) / static_cast<unsigned>(m_nPixelSizeY))
          : 0;
  CRunStatus(m_pStatusWindow.load()).SendScanFileInfo(fileName, barcode, slot, slidesDone, lines);
}

// ---- naming host ---------------------------------------------------------------------------------

std::string CScanMgr::ReadInstrumentSerialNumber() {
  if (!m_pScanCtrl) throw ComError(platform::com::E_POINTER, "Movrak was not set in ScanMgr.");
  std::string serial;
  CheckScanCtrl(m_pScanCtrl->get_InstrumentSerialNumber(&serial));
  return serial;
}

bool CScanMgr::UseTwoPassSuffixes() const { return m_pRunConfig && m_pRunConfig->DyxScanNameUseSuffix != 0; }

}  // namespace lumetra::run
