#pragma once
// What the carousel configuration grid shows and how its edits change the slot settings,
// without a display: one settings row per carousel slot, the slot-used flags, the current
// profile's values in row form, the cell texts with their bold marks, the drop-list
// choices and the Dyx consistency rules. The grid window draws what this model says and
// hands every edit back to it.
//
// Rows and slots: row r (0-based) of the shown range FirstSlot..LastSlot is slot
// FirstSlot + r, whose record is element FirstSlot + r - 1 of the 48 records. SlotOfRow
// and RowOfSlot are the only places that convert.
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/CarouselCfgInfo.h"

// The settings of one slot as the grid shows them.
struct tagSlotCfgRow {
  int Tiff20Bit = 0;      // 1: "20 bit" high dynamic range TIFF
  double DyxRatio = 0.0;  // 0.0: no Dyx scan
  std::string SlideID;    // empty: detect by barcode
  std::string RegionName;
  std::string PMTRed;  // "100%"
  std::string PMTGreen;
  std::string Spare;
  std::string Resolution;   // GetResolutionName text
  std::string DyeChannels;  // "R", "G" or "R+G"
  std::string OutputPath;
  std::string Description;
};

namespace lumetra {

class CarouselGridModel {
 public:
  static constexpr int kSlotCount = 48;
  static constexpr int kColumnCount = 10;

  enum Column {
    kColSlideID = 0,
    kColChannels,
    kColRegion,
    kColResolution,
    kColTiff,
    kColPMTRed,
    kColPMTGreen,
    kColDyx,
    kColOutputPath,
    kColDescription
  };
  // The list parameter of a drop-list cell.
  enum List {
    kListNone = 0,
    kListRegion = 101,
    kListResolution,
    kListChannels,
    kListPMT,
    kListDyx,
    kListTiff
  };
  enum class CellKind { Text, DropList, Folder, Plain };

  static constexpr const char* kResetChoice = "Reset to Profile Value";
  static constexpr const char* kNoChip = "<No chip>";
  static constexpr const char* kAutoDetect = "<Auto detect>";

  struct CellView {
    std::string text;
    bool bold = false;
    bool readOnly = false;
    CellKind kind = CellKind::Text;
    int list = kListNone;
  };

  // The cells an edit applies to: a bounding block of rows and columns and which of its
  // cells are selected (all of them when isSelected is empty).
  struct Selection {
    int firstRow = 0, lastRow = -1, firstCol = 0, lastCol = -1;
    std::function<bool(int row, int col)> isSelected;
    bool Contains(int row, int col) const { return !isSelected || isSelected(row, col); }
    bool Empty() const { return lastRow < firstRow || lastCol < firstCol; }
  };

  // What the window must redraw after an edit.
  struct EditResult {
    bool changed = false;
    bool refresh = false;          // redraw at all
    bool fullRefresh = false;      // every row, not only the selected block
    bool estimateChanged = false;  // channels, region, resolution, TIFF or Dyx ratio
  };

  CarouselGridModel();

  // --- rows and slots
  int FirstSlot() const { return m_FirstSlot; }
  int LastSlot() const { return m_LastSlot; }
  int RowCount() const { return m_LastSlot - m_FirstSlot + 1; }
  // The slot of a row, 0 for a row outside the shown range.
  int SlotOfRow(int row) const;
  // The row of a slot, -1 for a slot outside the shown range.
  int RowOfSlot(int slot) const;
  // The rows now showing the slots fromSlot..toSlot, or none when none of them is shown.
  std::optional<std::pair<int, int>> RowsOfSlots(int fromSlot, int toSlot) const;
  // False, changing nothing, when the range equals the current one or is not a range of
  // 1..48 slots.
  bool SetSlotRange(int first, int last);

  tagSlotCfgRow* RowRecord(int row);
  // Null for a slot outside FirstSlot..LastSlot.
  tagSlotCfgRow* GetSlotCfg(int slot);
  bool IsSlotUsed(int slot) const;
  // Throws std::invalid_argument for a slot outside 1..48.
  void SetSlotEnabled(int slot, bool used, const std::string* slideId);

  // --- profile
  const tagScanCfgStruct* CurrentProfile() const { return m_Profile; }
  const tagSlotCfgRow& ProfileValues() const { return m_ProfileValues; }
  // Makes the profile current; with applyToAll every slot takes its values. The window
  // then refreshes everything (keeping the top row unless applyToAll).
  EditResult SetCurrentProfile(tagScanCfgStruct* profile, bool applyToAll);
  // Copies `source` (the profile values when null) into the rows' slots.
  EditResult ApplyProfileToRows(const tagSlotCfgRow* source, const std::vector<int>& rows, bool pmtOnly);

  // --- display
  // The refresh pass over rows r0..r1 and columns c0..c1: repairs what the profile no
  // longer allows (a region no longer loaded, 20 bit or a Dyx ratio under
  // split-and-rotate), hands each cell's view to `cell` and reports repaired regions in
  // one message box.
  void RefreshCells(int r0, int r1, int c0, int c1,
                    const std::function<void(int row, int col, const CellView&)>& cell);
  // The view of one cell without repairing anything.
  CellView ViewOf(int row, int col) const;
  int ListOf(int row, int col) const;
  // Hint of a cell; row -1 is the heading row, col -1 the row headings.
  std::string Hint(int row, int col) const;
  static std::string Heading(int col);
  static int ColumnWidth(int col);
  // "Reset to Profile Value" of the context menu is offered for the cell.
  bool ResetAllowed(int row, int col) const;

  // --- editing
  // The choices of a drop list opened on the cell.
  std::vector<std::string> ListChoices(int row, int col, bool multiColumnSelection) const;
  EditResult ApplyChoice(const Selection& selection, const std::string& choice);
  EditResult ResetToProfile(const Selection& selection, bool selectedOnly);
  EditResult SetOutputFolder(const Selection& selection, const std::string& folder);
  enum class EditEnd { Unchanged, Stored, Refused };
  // The end of typing in a text cell (slide identifier or description).
  EditEnd EndTextEdit(int row, int col, const std::string& text);

  // The texts the grid offers.
  static const std::vector<std::string>& ResolutionChoices();
  static const std::vector<std::string>& ChannelChoices();
  static const std::vector<std::string>& GainChoices();
  static std::string GainText(int gain);
  static int GainOf(const std::string& text);

 private:
  bool SplitAndRotate() const { return m_Profile && m_Profile->SplitAndRotate; }
  bool RegionLoaded(const std::string& name) const;
  // The choice is one the cell's list can offer (no list reload).
  bool Offers(int row, int col, const std::string& choice) const;
  void ResetRow(tagSlotCfgRow& row) const;
  // After a gain change: a ratio the new gains no longer allow goes to 0 or up to the
  // smallest allowed; true when it changed.
  static bool FitRatioToGains(tagSlotCfgRow& row);

  int m_FirstSlot = 1;
  int m_LastSlot = kSlotCount;
  std::array<tagSlotCfgRow, kSlotCount> m_Rows{};
  std::array<bool, kSlotCount> m_Used{};
  tagScanCfgStruct* m_Profile = nullptr;
  tagSlotCfgRow m_ProfileValues;
};

}  // namespace lumetra
