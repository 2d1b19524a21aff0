#include "config/CarouselGridModel.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "Jotwell/Utilities.h"
#include "config/ScanCfgRules.h"
#include "config/ScanRegionInfoMap.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace lumetra {

namespace {

namespace ui = platform::ui;

constexpr const char* kNoDyx = "<No Dyx>";
constexpr const char* k16Bit = "16 bit";
constexpr const char* k20Bit = "20 bit";
constexpr double kRatioTable[] = {0.0, 0.5, 0.33, 0.2, 0.1, 0.05};

// Stores `value` into `field` when it differs; true when it did.
template <class T>
bool store(T& field, const T& value) {
  if (field == value) return false;
  field = value;
  return true;
}

// Copies a row's value of one column from another row; true when it changed.
using CopyColumn = bool (*)(tagSlotCfgRow& row, const tagSlotCfgRow& from);
template <auto Member>
bool copyMember(tagSlotCfgRow& row, const tagSlotCfgRow& from) {
  return store(row.*Member, from.*Member);
}

struct ColumnInfo {
  const char* heading;
  int width;
  const char* hint;
  CopyColumn copy;
};
constexpr ColumnInfo kColumns[CarouselGridModel::kColumnCount] = {
    {"Slide ID", 180, "Slide Identifer", copyMember<&tagSlotCfgRow::SlideID>},
    {"Channels", 80, "Dye channel", copyMember<&tagSlotCfgRow::DyeChannels>},
    {"Scan Region", 200, "Scan Region", copyMember<&tagSlotCfgRow::RegionName>},
    {"Resolution", 120, "Scan Resolution", copyMember<&tagSlotCfgRow::Resolution>},
    {"TIFF", 80,
     "TIFF file dynamic range:\r\n  16 bit: Conventional TIFF\r\n  20 bit: High dynamic range TIFF",
     copyMember<&tagSlotCfgRow::Tiff20Bit>},
    {"R PMT", 80, "Red PMT Gain", copyMember<&tagSlotCfgRow::PMTRed>},
    {"G PMT", 80, "Green PMT Gain", copyMember<&tagSlotCfgRow::PMTGreen>},
    {"Dyx", 100, "Ratio of High PMT to Low PMT gain for \r\nDouble-Scan Dyxwide scanning",
     copyMember<&tagSlotCfgRow::DyxRatio>},
    {"Output Path", 250, "Output path", copyMember<&tagSlotCfgRow::OutputPath>},
    {"Description", 300, "Slide description", copyMember<&tagSlotCfgRow::Description>},
};

bool isEstimateColumn(int col) {
  using M = CarouselGridModel;
  return col == M::kColChannels || col == M::kColRegion || col == M::kColResolution || col == M::kColTiff ||
         col == M::kColDyx;
}

unsigned gainValue(const std::string& text) {
  const int g = CarouselGridModel::GainOf(text);
  return g > 0 ? static_cast<unsigned>(g) : 0u;
}

}  // namespace

CarouselGridModel::CarouselGridModel() { m_Used.fill(true); }

int CarouselGridModel::SlotOfRow(int row) const {
  if (row < 0 || row >= RowCount()) return 0;
  return m_FirstSlot + row;
}

int CarouselGridModel::RowOfSlot(int slot) const {
  if (slot < m_FirstSlot || slot > m_LastSlot) return -1;
  return slot - m_FirstSlot;
}

std::optional<std::pair<int, int>> CarouselGridModel::RowsOfSlots(int fromSlot, int toSlot) const {
  const int from = std::max(fromSlot, m_FirstSlot);
  const int to = std::min(toSlot, m_LastSlot);
  if (from > to) return std::nullopt;
  return std::make_pair(RowOfSlot(from), RowOfSlot(to));
}

bool CarouselGridModel::SetSlotRange(int first, int last) {
  if (first < 1 || last > kSlotCount || first > last) return false;
  if (first == m_FirstSlot && last == m_LastSlot) return false;
  m_FirstSlot = first;
  m_LastSlot = last;
  return true;
}

tagSlotCfgRow* CarouselGridModel::RowRecord(int row) {
  const int slot = SlotOfRow(row);
  return slot ? &m_Rows[slot - 1] : nullptr;
}

tagSlotCfgRow* CarouselGridModel::GetSlotCfg(int slot) { return RowRecord(RowOfSlot(slot)); }

bool CarouselGridModel::IsSlotUsed(int slot) const {
  return slot >= 1 && slot <= kSlotCount && m_Used[slot - 1];
}

void CarouselGridModel::SetSlotEnabled(int slot, bool used, const std::string* slideId) {
  if (slot < 1 || slot > kSlotCount)
    throw std::invalid_argument(
        FormatText("SetSlotEnabled: slot %d is not a carousel slot (1 to %d)", slot, kSlotCount));
  m_Used[slot - 1] = used;
  tagSlotCfgRow& row = m_Rows[slot - 1];
  if (!used)
    ResetRow(row);
  else if (slideId && *slideId != row.SlideID)
    row.SlideID = *slideId;
}

void CarouselGridModel::ResetRow(tagSlotCfgRow& row) const {
  row = m_ProfileValues;
  row.SlideID.clear();
}

bool CarouselGridModel::RegionLoaded(const std::string& name) const {
  // Without a region map there is nothing to check against.
  if (!m_Profile || !m_Profile->RegionMap) return true;
  return m_Profile->RegionMap->Lookup(name) != nullptr;
}

std::string CarouselGridModel::GainText(int gain) { return FormatText("%d%%", gain); }

int CarouselGridModel::GainOf(const std::string& text) { return std::atoi(text.c_str()); }

const std::vector<std::string>& CarouselGridModel::ResolutionChoices() {
  static const std::vector<std::string> k = {
      "2 um", "3 um", "5 um", "10 um", "2 um double pass", "3 um double pass", "5 um double pass"};
  return k;
}

const std::vector<std::string>& CarouselGridModel::ChannelChoices() {
  static const std::vector<std::string> k = {"R", "G", "R+G"};
  return k;
}

const std::vector<std::string>& CarouselGridModel::GainChoices() {
  static const std::vector<std::string> k = [] {
    std::vector<std::string> v;
    for (int g : {100, 90, 80, 70, 60, 50, 40, 30, 20, 10, 5, 2, 1}) v.push_back(GainText(g));
    return v;
  }();
  return k;
}

bool CarouselGridModel::FitRatioToGains(tagSlotCfgRow& row) {
  if (row.DyxRatio < 0.05) return false;
  const double minimum = GetMinDyxRatio(gainValue(row.PMTRed), gainValue(row.PMTGreen));
  if (minimum < 0.05) return store(row.DyxRatio, 0.0);
  if (row.DyxRatio < minimum) return store(row.DyxRatio, minimum);
  return false;
}

// --- profile

CarouselGridModel::EditResult CarouselGridModel::SetCurrentProfile(tagScanCfgStruct* profile,
                                                                   bool applyToAll) {
  EditResult result;
  result.refresh = result.fullRefresh = true;
  result.estimateChanged = true;
  m_Profile = profile;
  m_ProfileValues = tagSlotCfgRow{};
  if (!profile) return result;

  if (CScanRegionInfoMap* map = profile->RegionMap; map && !map->Lookup(profile->RegionName)) {
    if (const ScanRegionInfo* def = map->GetDefaultRegion()) {
      ui::messageBox(FormatText("The scan region '%s' defined in the profile is not loaded by the system "
                                "currently.",
                                profile->RegionName.c_str()) +
                         "\r\nThe Tarsel default region will be used instead.",
                     "Load Profile for Carousel configuration Setting", ui::MB_OK | ui::MB_ICONWARNING);
      profile->RegionName = def->Name;
    } else {
      profile->RegionName.clear();
    }
  }

  tagSlotCfgRow& v = m_ProfileValues;
  v.RegionName = profile->RegionName;
  v.PMTRed = GainText(profile->PMTRed);
  v.PMTGreen = GainText(profile->PMTGreen);
  v.DyxRatio = GetDyxRatio(profile->DyxRatioType);
  v.Resolution = GetResolutionName(profile->ResolutionType, profile->DoublePassScan != 0);
  v.Tiff20Bit = profile->Tiff32Bit ? 1 : 0;
  v.DyeChannels = profile->DyeChannel;
  v.OutputPath = profile->OutputPath;
  v.Description = profile->ScanDescription;
  if (profile->SplitAndRotate || profile->Tiff32Bit) v.DyxRatio = 0.0;
  if (profile->SplitAndRotate && profile->Tiff32Bit) v.Tiff20Bit = 0;

  if (applyToAll) {
    std::vector<int> rows(RowCount());
    for (int r = 0; r < RowCount(); ++r) rows[r] = r;
    ApplyProfileToRows(nullptr, rows, false);
  }
  return result;
}

CarouselGridModel::EditResult CarouselGridModel::ApplyProfileToRows(const tagSlotCfgRow* source,
                                                                    const std::vector<int>& rows,
                                                                    bool pmtOnly) {
  EditResult result;
  result.refresh = true;
  const bool fromProfile = source == nullptr;
  const tagSlotCfgRow& src = fromProfile ? m_ProfileValues : *source;
  const int c0 = pmtOnly ? kColPMTRed : kColSlideID;
  const int c1 = pmtOnly ? kColPMTGreen : kColDescription;

  std::vector<int> slots;
  for (int row : rows)
    if (const int slot = SlotOfRow(row)) slots.push_back(slot);
  if (fromProfile)
    for (int slot : slots) m_Used[slot - 1] = true;
  const auto usedCount = std::count_if(slots.begin(), slots.end(), [this](int s) { return m_Used[s - 1]; });

  for (int slot : slots) {
    if (!m_Used[slot - 1]) continue;
    tagSlotCfgRow& r = m_Rows[slot - 1];
    for (int col = c0; col <= c1; ++col) {
      bool changed = false;
      switch (col) {
        case kColSlideID:
          if (usedCount == 1 || fromProfile) changed = store(r.SlideID, src.SlideID);
          break;
        case kColPMTGreen:
          changed = kColumns[col].copy(r, src);
          // A ratio the new gains no longer allow would fail the run.
          if (pmtOnly && FitRatioToGains(r)) result.changed = result.estimateChanged = true;
          break;
        default:
          changed = kColumns[col].copy(r, src);
          break;
      }
      if (changed) {
        result.changed = true;
        if (isEstimateColumn(col)) result.estimateChanged = true;
      }
    }
  }

  // Slots outside the shown range follow the profile too, so that widening the range
  // later shows them set up alike.
  const bool allRows = static_cast<int>(slots.size()) == RowCount();
  if (((fromProfile && allRows) || pmtOnly) && RowCount() < kSlotCount) {
    for (int slot = 1; slot <= kSlotCount; ++slot) {
      if (RowOfSlot(slot) >= 0) continue;
      tagSlotCfgRow& r = m_Rows[slot - 1];
      r.PMTRed = src.PMTRed;
      r.PMTGreen = src.PMTGreen;
      r.DyxRatio = src.DyxRatio;
      if (fromProfile) {
        r.SlideID = src.SlideID;
        r.RegionName = src.RegionName;
        r.Resolution = src.Resolution;
        r.Tiff20Bit = src.Tiff20Bit;
        r.DyeChannels = src.DyeChannels;
        r.OutputPath = src.OutputPath;
        r.Description = src.Description;
      }
    }
  }
  return result;
}

// --- display

std::string CarouselGridModel::Heading(int col) {
  if (col == -1) return "Slot";
  if (col < 0 || col >= kColumnCount) return "Unknown";
  return FormatText(" %s ", kColumns[col].heading);
}

int CarouselGridModel::ColumnWidth(int col) {
  return col >= 0 && col < kColumnCount ? kColumns[col].width : 0;
}

int CarouselGridModel::ListOf(int row, int col) const {
  if (SlotOfRow(row) == 0) return kListNone;
  switch (col) {
    case kColChannels:
      return kListChannels;
    case kColRegion:
      return kListRegion;
    case kColResolution:
      return kListResolution;
    case kColTiff:
      return SplitAndRotate() ? kListNone : kListTiff;
    case kColPMTRed:
    case kColPMTGreen:
      return kListPMT;
    case kColDyx:
      return kListDyx;
    default:
      return kListNone;
  }
}

CarouselGridModel::CellView CarouselGridModel::ViewOf(int row, int col) const {
  CellView v;
  const int slot = SlotOfRow(row);
  if (!slot || col < 0 || col >= kColumnCount) return v;
  const tagSlotCfgRow& r = m_Rows[slot - 1];
  const tagSlotCfgRow& p = m_ProfileValues;
  if (!m_Used[slot - 1]) {
    v.kind = CellKind::Plain;
    v.readOnly = true;
    if (col == kColSlideID) {
      v.text = kNoChip;
      v.bold = true;
    }
    return v;
  }
  v.list = ListOf(row, col);
  v.kind = v.list ? CellKind::DropList : CellKind::Text;
  switch (col) {
    case kColSlideID:
      v.bold = !r.SlideID.empty();
      v.text = r.SlideID.empty() ? kAutoDetect : r.SlideID;
      break;
    case kColChannels:
      v.text = r.DyeChannels;
      v.bold = r.DyeChannels != p.DyeChannels;
      break;
    case kColRegion:
      v.text = r.RegionName;
      v.bold = r.RegionName != p.RegionName;
      break;
    case kColResolution:
      v.text = r.Resolution;
      v.bold = r.Resolution != p.Resolution;
      break;
    case kColTiff: {
      const int flag = SplitAndRotate() ? 0 : r.Tiff20Bit;
      if (SplitAndRotate()) {
        v.kind = CellKind::Plain;
        v.readOnly = true;
      }
      v.text = flag ? k20Bit : k16Bit;
      v.bold = (flag != 0) != (p.Tiff20Bit != 0);
      break;
    }
    case kColPMTRed:
      v.text = r.PMTRed;
      v.bold = r.PMTRed != p.PMTRed;
      break;
    case kColPMTGreen:
      v.text = r.PMTGreen;
      v.bold = r.PMTGreen != p.PMTGreen;
      break;
    case kColDyx: {
      const bool noDyx = SplitAndRotate() || r.Tiff20Bit;
      const double ratio = noDyx ? 0.0 : r.DyxRatio;
      v.readOnly = noDyx;
      v.text = FormatDyxRatio(ratio);
      v.bold = ratio != p.DyxRatio;
      break;
    }
    case kColOutputPath:
      v.kind = CellKind::Folder;
      v.text = r.OutputPath;
      v.bold = r.OutputPath != p.OutputPath;
      break;
    case kColDescription:
      v.text = r.Description;
      v.bold = r.Description != p.Description;
      break;
    default:
      break;
  }
  return v;
}

void CarouselGridModel::RefreshCells(int r0, int r1, int c0, int c1,
                                     const std::function<void(int row, int col, const CellView&)>& cell) {
  r0 = std::max(r0, 0);
  r1 = std::min(r1, RowCount() - 1);
  c0 = std::max(c0, 0);
  c1 = std::min(c1, kColumnCount - 1);
  std::vector<std::string> invalid;
  for (int row = r0; row <= r1; ++row) {
    const int slot = SlotOfRow(row);
    tagSlotCfgRow& r = m_Rows[slot - 1];
    if (m_Used[slot - 1]) {
      if (c0 <= kColRegion && kColRegion <= c1 && r.RegionName != m_ProfileValues.RegionName &&
          !RegionLoaded(r.RegionName)) {
        if (std::find(invalid.begin(), invalid.end(), r.RegionName) == invalid.end())
          invalid.push_back(r.RegionName);
        r.RegionName = m_ProfileValues.RegionName;
      }
      if (c0 <= kColTiff && kColTiff <= c1 && SplitAndRotate()) r.Tiff20Bit = 0;
      if (c0 <= kColDyx && kColDyx <= c1 && (SplitAndRotate() || r.Tiff20Bit)) r.DyxRatio = 0.0;
    }
    for (int col = c0; col <= c1; ++col) cell(row, col, ViewOf(row, col));
  }
  if (invalid.empty()) return;
  std::string names;
  for (const std::string& n : invalid) names += n + ",";
  names.back() = '.';
  ui::messageBox(
      "Detected some specified scan regions are invalid: might be caused by an updating of the chip region "
      "list "
      "file.\r\nAffected scan has been reset with the profile's default region.  Please verify your settings"
      "\r\n\r\nInvalid region: " +
          names,
      "Invalid Scan Region Found", ui::MB_OK | ui::MB_ICONWARNING);
}

std::string CarouselGridModel::Hint(int row, int col) const {
  if (row < 0) {
    if (col == -1) return "Carousel Slot #";
    return col >= 0 && col < kColumnCount ? kColumns[col].hint : "";
  }
  const int slot = SlotOfRow(row);
  if (!slot || !m_Used[slot - 1]) return {};
  const tagSlotCfgRow& r = m_Rows[slot - 1];
  if (col == kColRegion) {
    const ScanRegionInfo* info =
        m_Profile && m_Profile->RegionMap ? m_Profile->RegionMap->Lookup(r.RegionName) : nullptr;
    if (!info) return {};
    // Where the scan starts on the slide: the slide origin less the region's own corner,
    // as the scan start places it (a maker region right of the origin has a negative X).
    return FormatText("Size=(%ldx%ld), Origin=(%ld, %ld)", static_cast<long>(info->Right - info->Left),
                      static_cast<long>(info->Bottom - info->Top),
                      static_cast<long>(info->OriginX - info->Left),
                      static_cast<long>(info->OriginY - info->Top));
  }
  if (col == kColDyx) {
    if (!(r.DyxRatio > 0.0)) return "No Dyx scan defined";
    return FormatText("Dyx-Lo scan PMT scales (%%): Red=%d, Green=%d",
                      static_cast<int>(GainOf(r.PMTRed) * r.DyxRatio),
                      static_cast<int>(GainOf(r.PMTGreen) * r.DyxRatio));
  }
  return {};
}

bool CarouselGridModel::ResetAllowed(int row, int col) const {
  return !(col == kColDyx && ViewOf(row, kColTiff).text == k20Bit);
}

// --- editing

bool CarouselGridModel::Offers(int row, int col, const std::string& choice) const {
  const auto in = [&choice](const std::vector<std::string>& list) {
    return std::find(list.begin(), list.end(), choice) != list.end();
  };
  switch (ListOf(row, col)) {
    case kListRegion:
      return m_Profile && m_Profile->RegionMap && m_Profile->RegionMap->Lookup(choice);
    case kListResolution:
      return in(ResolutionChoices());
    case kListChannels:
      return in(ChannelChoices());
    case kListPMT:
      return in(GainChoices());
    case kListDyx:
      return choice == FormatDyxRatio(ParseDyxRatio(choice));
    case kListTiff:
      return choice == k16Bit || (choice == k20Bit && !SplitAndRotate());
    default:
      return false;
  }
}

std::vector<std::string> CarouselGridModel::ListChoices(int row, int col, bool multiColumnSelection) const {
  if (multiColumnSelection) return {kResetChoice};
  const int slot = SlotOfRow(row);
  switch (ListOf(row, col)) {
    case kListRegion: {
      std::vector<std::string> names;
      if (!m_Profile || !m_Profile->RegionMap) return names;
      // The region editor may have changed the file since the map was loaded.
      m_Profile->RegionMap->ReloadIfChanged();
      for (const auto& entry : m_Profile->RegionMap->Regions()) names.push_back(entry.second->Name);
      std::sort(names.begin(), names.end(),
                [](const std::string& a, const std::string& b) { return platform::lessFolded(a, b); });
      return names;
    }
    case kListResolution:
      return ResolutionChoices();
    case kListChannels:
      return ChannelChoices();
    case kListPMT:
      return GainChoices();
    case kListDyx: {
      const tagSlotCfgRow& r = m_Rows[slot - 1];
      if (SplitAndRotate() || r.Tiff20Bit) return {kNoDyx};
      std::vector<std::string> choices;
      for (double ratio : kRatioTable)
        if (ratio == 0.0 || CheckDyxRatio(ratio, gainValue(r.PMTRed), gainValue(r.PMTGreen)))
          choices.push_back(FormatDyxRatio(ratio));
      return choices;
    }
    case kListTiff:
      if (SplitAndRotate()) return {k16Bit};
      return {k16Bit, k20Bit};
    default:
      return {};
  }
}

CarouselGridModel::EditResult CarouselGridModel::ApplyChoice(const Selection& selection,
                                                             const std::string& choice) {
  EditResult result;
  const bool reset = choice == kResetChoice;
  const tagSlotCfgRow& p = m_ProfileValues;
  for (int col = selection.firstCol; col <= selection.lastCol; ++col) {
    for (int row = selection.firstRow; row <= selection.lastRow; ++row) {
      if (!selection.Contains(row, col)) continue;
      tagSlotCfgRow* r = RowRecord(row);
      if (!r) continue;
      bool changed = false;
      bool gainChanged = false;
      if (reset) {
        switch (col) {
          case kColSlideID:
            changed = store(r->SlideID, std::string());
            break;
          case kColChannels:
            changed = store(r->DyeChannels, p.DyeChannels);
            break;
          case kColRegion:
            changed = store(r->RegionName, p.RegionName);
            break;
          case kColResolution:
            changed = store(r->Resolution, p.Resolution);
            break;
          case kColTiff:
            changed = store(r->Tiff20Bit, p.Tiff20Bit);
            if (changed) result.fullRefresh = true;  // the Dyx cell of the row follows the flag
            break;
          case kColPMTRed:
            changed = gainChanged = store(r->PMTRed, p.PMTRed);
            break;
          case kColPMTGreen:
            changed = gainChanged = store(r->PMTGreen, p.PMTGreen);
            break;
          case kColDyx:
            changed = store(r->DyxRatio, p.DyxRatio);
            break;
          case kColOutputPath:
            changed = store(r->OutputPath, p.OutputPath);
            break;
          case kColDescription:
            changed = store(r->Description, p.Description);
            break;
          default:
            break;
        }
      } else if (Offers(row, col, choice)) {
        switch (ListOf(row, col)) {
          case kListRegion:
            changed = store(r->RegionName, choice);
            break;
          case kListResolution:
            changed = store(r->Resolution, choice);
            break;
          case kListChannels:
            changed = store(r->DyeChannels, choice);
            break;
          case kListPMT:
            changed = gainChanged = store(col == kColPMTRed ? r->PMTRed : r->PMTGreen, choice);
            break;
          case kListDyx: {
            double ratio = ParseDyxRatio(choice);
            if (ratio > 0.0) {
              const double minimum = GetMinDyxRatio(gainValue(r->PMTRed), gainValue(r->PMTGreen));
              // Gains too low for any ratio (a multi-row choice can reach such a slot)
              // allow no Dyx scan at all.
              if (minimum <= 0.0)
                ratio = 0.0;
              else if (ratio < minimum)
                ratio = minimum;
            }
            changed = store(r->DyxRatio, ratio);
            break;
          }
          case kListTiff: {
            changed = store(r->Tiff20Bit, choice == k20Bit ? 1 : 0);
            if (changed) {
              result.fullRefresh = true;
              if (r->Tiff20Bit) r->DyxRatio = 0.0;
            }
            break;
          }
          default:
            break;
        }
      }
      if (gainChanged && FitRatioToGains(*r)) {
        result.fullRefresh = true;
        result.estimateChanged = true;
      }
      if (changed) {
        result.changed = true;
        if (isEstimateColumn(col)) result.estimateChanged = true;
      }
    }
  }
  result.refresh = result.changed || reset;
  return result;
}

CarouselGridModel::EditResult CarouselGridModel::ResetToProfile(const Selection& selection,
                                                                bool selectedOnly) {
  EditResult result;
  const tagSlotCfgRow& p = m_ProfileValues;
  bool skipUnselected = selectedOnly;
  const auto refused = [&](const char* caption) {
    ui::messageBox("The default value is not valid this time. Please check with your current setting!",
                   caption, ui::MB_OK | ui::MB_ICONERROR);
    result.refresh = result.fullRefresh = true;
    return result;
  };
  for (int col = selection.firstCol; col <= selection.lastCol; ++col) {
    for (int row = selection.firstRow; row <= selection.lastRow; ++row) {
      if (skipUnselected && !selection.Contains(row, col)) continue;
      const int slot = SlotOfRow(row);
      if (!slot) continue;
      tagSlotCfgRow& r = m_Rows[slot - 1];
      bool changed = false;
      switch (col) {
        case kColSlideID:
          changed = store(r.SlideID, std::string());
          if (!m_Used[slot - 1]) {
            // Bringing a slot back into use: from here on the whole block is meant.
            m_Used[slot - 1] = true;
            skipUnselected = false;
            result.fullRefresh = true;
            changed = true;
          }
          break;
        case kColTiff:
          changed = kColumns[col].copy(r, p);
          if (changed) result.fullRefresh = true;
          break;
        case kColPMTRed:
        case kColPMTGreen: {
          const bool red = col == kColPMTRed;
          const std::string& gain = red ? p.PMTRed : p.PMTGreen;
          if (gain == (red ? r.PMTRed : r.PMTGreen)) break;
          const unsigned other = gainValue(red ? r.PMTGreen : r.PMTRed);
          if (p.DyxRatio >= 0.05 && !CheckDyxRatio(p.DyxRatio, gainValue(gain), other))
            return refused("Set PMT Scale");
          changed = store(red ? r.PMTRed : r.PMTGreen, gain);
          if (FitRatioToGains(r)) result.fullRefresh = result.estimateChanged = true;
          break;
        }
        case kColDyx:
          if (p.DyxRatio == r.DyxRatio) break;
          if (p.DyxRatio >= 0.05 && !CheckDyxRatio(p.DyxRatio, gainValue(r.PMTRed), gainValue(r.PMTGreen)))
            return refused("Set Dyx-Lo PMT Factor");
          changed = store(r.DyxRatio, p.DyxRatio);
          break;
        default:
          changed = kColumns[col].copy(r, p);
          break;
      }
      if (changed) {
        result.changed = true;
        if (isEstimateColumn(col)) result.estimateChanged = true;
      }
    }
  }
  result.refresh = result.changed;
  return result;
}

CarouselGridModel::EditResult CarouselGridModel::SetOutputFolder(const Selection& selection,
                                                                 const std::string& folder) {
  EditResult result;
  for (int row = selection.firstRow; row <= selection.lastRow; ++row) {
    if (!selection.Contains(row, kColOutputPath)) continue;
    if (tagSlotCfgRow* r = RowRecord(row); r && store(r->OutputPath, folder)) result.changed = true;
  }
  result.refresh = true;
  return result;
}

CarouselGridModel::EditEnd CarouselGridModel::EndTextEdit(int row, int col, const std::string& text) {
  tagSlotCfgRow* r = RowRecord(row);
  if (!r || !m_Used[SlotOfRow(row) - 1]) return EditEnd::Unchanged;
  if (col == kColDescription) return store(r->Description, text) ? EditEnd::Stored : EditEnd::Unchanged;
  if (col != kColSlideID || text == ViewOf(row, col).text) return EditEnd::Unchanged;
  if (text.empty() || text == kAutoDetect)
    return store(r->SlideID, std::string()) ? EditEnd::Stored : EditEnd::Unchanged;
  if (!CheckFileName(text.c_str(), true, "Slide ID")) return EditEnd::Refused;
  r->SlideID = text;
  return EditEnd::Stored;
}

}  // namespace lumetra
