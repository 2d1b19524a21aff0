// CScanDlgCore: launching a carousel run and the slot and profile selection it starts from.
#include <charconv>
#include <exception>
#include <stdexcept>
#include <utility>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "config/ScanCfgRules.h"
#include "maindlg/ScanDlgCore.h"
#include "maindlg/ScanDlgShared.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "run/ComError.h"
#include "run/RunStatus.h"
#include "run/ScanMgr.h"
#include "run/ScannerInfo.h"

namespace lumetra::maindlg {

using platform::com::ComError;
using run::CheckScanCtrl;
using run::FormatComError;
namespace ui = platform::ui;
using detail::UnhandledText;

namespace {

// The leading whole number of a "%d%%" text (0 when there is none).
int LeadingNumber(const std::string& text) {
  int value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace

// ---- carousel run ----------------------------------------------------------------------------------

void CScanDlgCore::TakeUpScannerState() {
  int state = m_nCurState;
  if (m_pScanCtrl) {
    try {
      tagScannerState s = kStateOffline;
      CheckScanCtrl(m_pScanCtrl->get_ScannerState(&s));
      state = s;
    } catch (const ComError& e) {
      LogError("Failed to get the current scanner's state info: %s", FormatComError(e).c_str());
    }
  }
  OnScannerStateMsg(1, state);
  ShowStateText(state);
}

void CScanDlgCore::OnOK() {
  if (!m_pScanCtrl || !m_pScanMgr) return;
  if (!CheckDoorClosed(false)) return;
  const auto motor = [this](tagMotorCtrlMode mode) { CheckScanCtrl(m_pScanCtrl->SetFSMotorCtrlMode(mode)); };
  try {
    if (!LoadCarouselCfgInfo()) throw std::runtime_error("Failed to load carousel scanning configuration");
    if (!CheckDiskSpace(m_pCarouselCfg.get(), m_FileSystem))
      throw std::runtime_error("Invalid carousel run configuration");
    const tagScanCfgStruct& p = *m_pCurProfile;
    LogDebug(
        1,
        "Loaded profile info: Name = %s, Prefix1 = %s, Prefix2 = %s, CompressTiff = %s, SplitAndRotate = %s",
        p.Name.c_str(), p.AutoNamingPrefix1.c_str(), p.AutoNamingPrefix2.c_str(),
        p.CompressTiff ? "On" : "Off", p.SplitAndRotate ? "On" : "Off");
    const int disable = CRegEdit(HKEY_LOCAL_MACHINE, zeva::kDataPortKey).ReadInt("DisableShutdownCtrl", 0);
    CheckScanCtrl(m_pScanCtrl->SDPEnablingShutdown(disable == 0 ? 1 : 0));
    m_pScanMgr->RequestAbort(false, false);
    if (!m_View.CreateStatusDlg(*m_pScanMgr)) {
      SetStatusText(std::string());
      throw std::runtime_error(MainDlgText(2003, "Memory allocation failed"));
    }
    m_bRunDialogOpen = true;
    SetStatusText(std::string());
    try {
      motor(kMotorCtrlHold);
      try {
        CheckScanCtrl(m_pScanCtrl->OnStartExitCarouselRun(1));
      } catch (const ComError& e) {
        LogDebug(1, "Failed to notify ScanCtrl to start the carousel run: %s", FormatComError(e).c_str());
      }
      m_View.RunStatusDlg();
    } catch (...) {
      m_View.DestroyStatusDlg();
      m_bRunDialogOpen = false;
      m_pScanMgr->SetStatusWindow(m_pWindow);
      throw;
    }
    try {
      CheckScanCtrl(m_pScanCtrl->OnStartExitCarouselRun(0));
    } catch (const ComError& e) {
      LogDebug(1, "Failed to notify ScanCtrl to exit the carousel run: %s", FormatComError(e).c_str());
    }
    m_pScanMgr->SetStatusWindow(m_pWindow);
    m_View.DestroyStatusDlg();
    m_bRunDialogOpen = false;
    TakeUpScannerState();
    if (m_bReinitAfterRun) {
      if (PowerSavingApplies()) m_View.SetNonUseLpsTimer(false);
      try {
        CheckScanCtrl(m_pScanCtrl->Initialize());
      } catch (const ComError& e) {
        const std::string text = FormatComError(e);
        LogErrorNoFormat(text.c_str());
        ErrorBox(text);
      }
      m_bInitialized = true;
      m_bReinitAfterRun = false;
    }
    try {
      motor(kMotorCtrlOpen);
    } catch (const ComError& e) {
      LogError("%s", FormatComError(e).c_str());
    }
  } catch (const std::exception& e) {
    std::string reason;
    if (const auto* com = dynamic_cast<const ComError*>(&e))
      reason = FormatComError(*com);
    else if (dynamic_cast<const std::runtime_error*>(&e))
      reason = e.what();
    else
      reason = "Unknown error";
    const std::string text = "Couldn't start carousel run: " + reason;
    LogErrorNoFormat(text.c_str());
    ErrorBox(text);
    TakeUpScannerState();
    try {
      motor(kMotorCtrlOpen);
    } catch (const ComError& com) {
      LogError("%s", FormatComError(com).c_str());
    }
  }
}

bool CScanDlgCore::LoadCarouselCfgInfo() {
  if (!m_pCarouselCfg) m_pCarouselCfg = std::make_unique<CCarouselCfgInfo>();
  CCarouselCfgInfo& cfg = *m_pCarouselCfg;
  cfg.RemoveAll();
  cfg.Reset(CCarouselCfgInfo::kSlotCount);

  cfg.OperatorName = m_View.OperatorName();
  cfg.FirstSlot = m_nStartSlot;
  cfg.LastSlot = m_nEndSlot;
  if (m_pCurProfile) {
    cfg.SplitAndRotate = m_pCurProfile->SplitAndRotate;
    cfg.RotateType = m_pCurProfile->RotateType;
    cfg.CompressTiff = m_pCurProfile->CompressTiff;
    cfg.AutoNamingPrefix1 = m_pCurProfile->AutoNamingPrefix1;
    cfg.AutoNamingPrefix2 = m_pCurProfile->AutoNamingPrefix2;
  }
  CRegEdit options(HKEY_CURRENT_USER, zeva::kScanOptionsKey);
  cfg.DyxScanLoPMTFirst = options.ReadInt("DyxScanLoPMTFirst", 0);
  cfg.DyxScanNameUseSuffix = options.ReadInt("DyxScanNameUseSuffix", 1);
  cfg.ScanNumberToken = "<Scan #>";
  cfg.UseSlideID = cfg.AutoNamingPrefix1 == "<Slide ID>" || cfg.AutoNamingPrefix2 == "<Slide ID>";

  CarouselGridModel& grid = m_View.GridModel();
  CScanRegionInfoMap* regions = m_pCurProfile ? m_pCurProfile->RegionMap : nullptr;
  for (int slot = 1; slot <= CCarouselCfgInfo::kSlotCount; ++slot) {
    cfg.SlotUsed[slot - 1] = grid.IsSlotUsed(slot) ? 1 : 0;
    if (slot < cfg.FirstSlot || slot > cfg.LastSlot) {
      cfg.SetAt(slot, nullptr);
      continue;
    }
    const tagSlotCfgRow* row = grid.GetSlotCfg(slot);
    if (!row) {
      ErrorBox(UnhandledText());
      LogError("LoadCarouselCfgInfo():  Failed to access the ScanCfgInfo object of slot %d.", slot);
      return false;
    }
    auto info = CSlotScanCfgInfo::CreateObject();
    info->ScanDescription = row->Description;
    info->OutputPath = row->OutputPath;
    info->SlideID = row->SlideID;
    info->RegionName = row->RegionName;
    info->PMTGreen = LeadingNumber(row->PMTGreen);
    info->PMTRed = LeadingNumber(row->PMTRed);
    info->DyxRatio = row->DyxRatio;
    info->Tiff32Bit = row->Tiff20Bit;
    info->UseGreen = row->DyeChannels != "R";
    info->UseRed = row->DyeChannels != "G";
    int type = 0;
    bool doublePass = false;
    if (!ParseResolutionName(row->Resolution, &type, &doublePass)) {
      const std::string text = FormatText(
          "LoadCarouselCfgInfo:  Failed to configurate scan for slot %d - invalide scan resolution '%s'.",
          slot, row->Resolution.c_str());
      LogErrorNoFormat(text.c_str());
      ErrorBox(text);
      return false;
    }
    info->ResolutionType = type;
    info->DoublePass = doublePass ? 1 : 0;
    const ScanRegionInfo* region = regions ? regions->Lookup(info->RegionName) : nullptr;
    if (!region) {
      ErrorBox("Invalid scan region defined.");
      LogError("LoadCarouselCfgInfo():  Failed to access RegionInfo object - invalid scan region?.");
      return false;
    }
    info->RegionLeft = region->Left;
    info->RegionTop = region->Top;
    info->RegionWidth = region->Right - region->Left;
    info->RegionHeight = region->Bottom - region->Top;
    info->OriginX = region->OriginX;
    info->OriginY = region->OriginY;
    info->AFX = region->AFX;
    info->AFY = region->AFY;
    info->PKG = region->PKG;
    cfg.SetAt(slot, std::move(info));
  }
  if (m_pScanMgr) m_pScanMgr->SetRunConfig(m_pCarouselCfg.get());
  return true;
}

// ---- selection lists ----------------------------------------------------------------------------------

void CScanDlgCore::SetScanButtonCaption() { m_View.SetScanCaption(ScanCaption(m_nStartSlot, m_nEndSlot)); }

void CScanDlgCore::OnStartSlotChanged(int slot) {
  if (slot == m_nStartSlot || slot < 1 || slot > m_nEndSlot) return;
  m_nStartSlot = slot;
  m_View.FillEndSlotList(m_nStartSlot, 48, m_nEndSlot);
  m_View.GridChangeSlotRange(m_nStartSlot, m_nEndSlot);
  UpdateStatusBar(true);
  UpdateControls();
  SetScanButtonCaption();
}

void CScanDlgCore::OnEndSlotChanged(int slot) {
  if (slot == m_nEndSlot || slot < m_nStartSlot || slot > 48) return;
  m_nEndSlot = slot;
  m_View.FillStartSlotList(1, m_nEndSlot, m_nStartSlot);
  m_View.GridChangeSlotRange(m_nStartSlot, m_nEndSlot);
  UpdateStatusBar(true);
  UpdateControls();
  SetScanButtonCaption();
}

void CScanDlgCore::OnProfileSelected(const std::string& name) {
  if (name == m_strCurProfile) return;
  tagScanCfgStruct* profile = m_ProfileMap.Lookup(name);
  if (!profile) return;
  if (!m_strCurProfile.empty()) {
    const int answer = m_View.MessageBox(
        "Selecting a new profile will overwrite the slot settings.\r\n\r\nClick OK to continue.",
        "New Profile Selected", ui::MB_OKCANCEL | ui::MB_ICONWARNING);
    if (answer == ui::IDCANCEL) {
      std::vector<std::string> names;
      for (const auto& entry : m_ProfileMap.Profiles()) names.push_back(entry.first);
      m_View.FillProfileList(names, m_strCurProfile);
      return;
    }
  }
  m_strCurProfile = name;
  m_pCurProfile = profile;
  m_View.GridSetCurrentProfile(profile, true);
  UpdateStatusBar(false);
}

}  // namespace lumetra::maindlg
