#pragma once
// The carousel configuration grid of the main window: one row per slot of the shown
// range, ten columns of scan settings, differences from the current profile in bold.
// What it shows and how edits change the settings is CarouselGridModel's; this window
// draws the model, offers its drop lists, the folder button and the context menu, and
// hands every edit back to it.
#include <wx/grid.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/CarouselGridModel.h"

class CCarouselCfgGrid : public wxGrid {
 public:
  enum MenuCommand { kMenuReset = 1001, kMenuFitColumns = 3001, kMenuBestFit = 3002, kMenuRefresh = 1003 };
  static constexpr const char* kFolderTitle = "Select A File Directory";
  static const wxColour kCellColour;

  explicit CCarouselCfgGrid(wxWindow* parent, wxWindowID id = wxID_ANY);

  lumetra::CarouselGridModel& Model() { return m_Model; }

  // --- what the main window and the carousel check use
  // Shows first..last and refreshes everything when the range changed.
  void ChangeSlotRange(int first, int last);
  // False when unchanged or not a range of slots 1..48. Selected slots that stay shown
  // stay selected.
  bool SetSlotRange(int first, int last);
  // Throws std::invalid_argument for a slot outside 1..48.
  void SetSlotEnabled(int slot, bool used, const std::string* slideId);
  tagSlotCfgRow* GetSlotCfg(int slot) { return m_Model.GetSlotCfg(slot); }
  bool IsSlotUsed(int slot) const { return m_Model.IsSlotUsed(slot); }
  // First and last selected column / row; 0 when nothing is selected.
  std::pair<int, int> GetSelectedColumns() const;
  std::pair<int, int> GetSelectedRows() const;
  std::vector<int> GetSelectedSlots() const;
  void RefreshRows(bool selectedBlockOnly, bool keepTopRow);
  void SetCurrentProfile(tagScanCfgStruct* profile, bool applyToAllSlots);
  void ApplyProfileToRows(const tagSlotCfgRow* source, bool selectedRowsOnly, bool keepTopRow,
                          bool pmtColumnsOnly);
  void ResetToProfile(int firstRow, int lastRow, int firstCol, int lastCol, bool selectedCellsOnly);

  // Called after a change of a field the run estimates depend on.
  std::function<void()> EstimateChanged;

  // --- the edits, as the cell editors, the folder button and the menu deliver them
  std::vector<std::string> ListChoicesAt(int row, int col) const;
  // A drop-list choice, applied to the selected cells (or the current one).
  void ApplyChoice(const std::string& choice);
  // The folder button of the current cell.
  void ChooseOutputFolder();
  void RunMenuCommand(int id);
  // Whether the context menu opened on the cell offers "Reset to Profile Value".
  bool ResetOffered(int row, int col) const { return m_Model.ResetAllowed(row, col); }
  // The hint shown over a cell; row -1 is the heading row.
  std::string HintAt(int row, int col) const { return m_Model.Hint(row, col); }

 private:
  lumetra::CarouselGridModel::Selection CurrentSelection() const;
  void WriteCell(int row, int col, const lumetra::CarouselGridModel::CellView& view);
  void AfterEdit(const lumetra::CarouselGridModel::EditResult& result);
  void FitColumns(bool bestFit);
  void OnLeftClick(wxGridEvent& event);
  void OnLeftDoubleClick(wxGridEvent& event);
  void OnRightClick(wxGridEvent& event);
  void OnCellChanging(wxGridEvent& event);
  void OnCellChanged(wxGridEvent& event);
  void OnCellMotion(wxMouseEvent& event);
  void OnHeadingMotion(wxMouseEvent& event);
  void SetHint(wxWindow* window, const std::string& hint);

  lumetra::CarouselGridModel m_Model;
  wxFont m_DefaultFont;
  wxFont m_BoldFont;
  bool m_RefreshAfterEdit = false;
};
