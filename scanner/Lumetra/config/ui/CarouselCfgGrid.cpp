#include "config/ui/CarouselCfgGrid.h"

#include <wx/dc.h>
#include <wx/menu.h>
#include <wx/odcombo.h>
#include <wx/renderer.h>

#include <algorithm>
#include <optional>

#include "config/ui/FolderPicker.h"
#include "config/ui/WxText.h"

namespace {

using lumetra::CarouselGridModel;
using lumetra::FromWx;
using lumetra::ToWx;
using M = CarouselGridModel;

// A drop list whose choices are asked of the grid each time it opens, and whose choice
// goes to every selected cell, not only the one being edited. It is drawn by wx itself, so
// it takes exactly its cell: the toolkit's own drop list cannot be made smaller than its
// minimum, about twice a cell here, and covered the neighbouring columns.
class DropListEditor : public wxGridCellEditor {
 public:
  explicit DropListEditor(CCarouselCfgGrid* owner) : m_Owner(owner) {}

  wxGridCellEditor* Clone() const override { return new DropListEditor(m_Owner); }

  void Create(wxWindow* parent, wxWindowID id, wxEvtHandler* handler) override {
    auto* list = new wxOwnerDrawnComboBox(parent, id, wxEmptyString, wxDefaultPosition, wxDefaultSize, 0,
                                          nullptr, wxCB_READONLY);
    // A click on an entry of the open list takes it. The entry under the pointer is the
    // list's highlight; the list sets its own value only after it closed.
    list->Bind(wxEVT_COMBOBOX_DROPDOWN, [this](wxCommandEvent& e) {
      e.Skip();
      wxWindow* entries = List()->GetPopupControl() ? List()->GetPopupControl()->GetControl() : nullptr;
      if (!entries || entries == m_Entries) return;
      m_Entries = entries;
      entries->Bind(wxEVT_LEFT_UP, [this](wxMouseEvent& click) {
        click.Skip();
        Take(Highlighted());
      });
    });
    // Closing the list, by a pick or by leaving it, ends the edit.
    list->Bind(wxEVT_COMBOBOX_CLOSEUP, [this](wxCommandEvent& e) {
      e.Skip();
      if (m_Grid) m_Grid->DisableCellEditControl();
    });
    m_control = list;
    wxGridCellEditor::Create(parent, id, handler);
    // The grid's handler in front of the control ends an edit when the control loses the
    // keyboard. A drop list is left by a pick, Escape or a click elsewhere in the grid; the
    // keyboard going to its open list, or to another window, is not leaving it. The control
    // itself still hears of the loss.
    wxEvtHandler* front = m_control->GetEventHandler();
    front->Bind(wxEVT_KILL_FOCUS, [front](wxFocusEvent& e) {
      if (wxEvtHandler* control = front->GetNextHandler()) control->ProcessEventLocally(e);
      e.Skip(false);  // handled: the grid's handler does not see it
    });
    // Typing moves through the entries (the first one starting with what was typed); only
    // Enter takes the entry shown. Escape, as leaving the cell, takes nothing.
    front->Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& e) {
      e.Skip();
      if (e.GetKeyCode() == WXK_RETURN || e.GetKeyCode() == WXK_NUMPAD_ENTER) Take(Highlighted());
    });
  }

  void BeginEdit(int row, int col, wxGrid* grid) override {
    m_Grid = grid;
    m_Value = grid->GetTable()->GetValue(row, col);
    wxArrayString items;
    for (const std::string& s : m_Owner->ListChoicesAt(row, col)) items.Add(ToWx(s));
    List()->Set(items);
    m_Taken.reset();
    Reset();
    List()->SetFocus();
  }

  bool EndEdit(int, int, const wxGrid*, const wxString&, wxString* newValue) override {
    // Leaving the list without taking an entry chooses nothing, whatever typing showed. An
    // entry taken counts even when it is the cell's value: it goes to every selected cell.
    if (!m_Taken || m_Taken->empty()) return false;
    m_Choice = *m_Taken;
    m_Taken.reset();
    if (newValue) *newValue = m_Choice;
    return true;
  }

  void ApplyEdit(int, int, wxGrid*) override { m_Owner->ApplyChoice(FromWx(m_Choice)); }

  // The edit ends however it ends (Escape, Enter, a click elsewhere): the open list goes
  // with the cell's control instead of staying on the screen.
  void Show(bool show, wxGridCellAttr* attr) override {
    if (!show && List()->IsPopupShown()) List()->HidePopup();
    wxGridCellEditor::Show(show, attr);
  }

  void Reset() override {
    if (!List()->SetStringSelection(m_Value)) List()->SetSelection(wxNOT_FOUND);
  }

  wxString GetValue() const override { return List()->wxItemContainer::GetStringSelection(); }

 private:
  wxOwnerDrawnComboBox* List() const { return static_cast<wxOwnerDrawnComboBox*>(m_control); }

  // The entry marked: in the open list the one under the pointer or the keys, else the
  // one the closed list shows.
  wxString Highlighted() const {
    auto* entries = dynamic_cast<wxVListBox*>(m_Entries);
    const int marked = List()->IsPopupShown() && entries ? entries->GetSelection() : List()->GetSelection();
    return marked == wxNOT_FOUND ? wxString() : List()->GetString(static_cast<unsigned>(marked));
  }
  void Take(const wxString& entry) {
    if (!entry.empty()) m_Taken = entry;
  }

  CCarouselCfgGrid* m_Owner;
  wxGrid* m_Grid = nullptr;
  wxWindow* m_Entries = nullptr;  // the open list's entries, once it opened
  wxString m_Value;
  wxString m_Choice;
  std::optional<wxString> m_Taken;  // by Enter or a click, for this edit
};

int folderButtonWidth(const wxRect& cell) { return std::min(cell.height + 4, cell.width); }

// The output-path cell: its text, and in the current cell a "..." button.
class FolderRenderer : public wxGridCellStringRenderer {
 public:
  wxGridCellRenderer* Clone() const override { return new FolderRenderer; }
  void Draw(wxGrid& grid, wxGridCellAttr& attr, wxDC& dc, const wxRect& rect, int row, int col,
            bool isSelected) override {
    wxGridCellStringRenderer::Draw(grid, attr, dc, rect, row, col, isSelected);
    if (row != grid.GetGridCursorRow() || col != grid.GetGridCursorCol()) return;
    auto& owner = static_cast<CCarouselCfgGrid&>(grid);
    if (owner.Model().ViewOf(row, col).kind != M::CellKind::Folder) return;
    const int width = folderButtonWidth(rect);
    const wxRect button(rect.GetRight() - width + 1, rect.y, width, rect.height);
    wxRendererNative::Get().DrawPushButton(&grid, dc, button, 0);
    dc.SetTextForeground(grid.GetForegroundColour());
    dc.DrawLabel("...", button, wxALIGN_CENTRE);
  }
};

}  // namespace

const wxColour CCarouselCfgGrid::kCellColour(255, 255, 208);

CCarouselCfgGrid::CCarouselCfgGrid(wxWindow* parent, wxWindowID id)
    : wxGrid(parent, id, wxDefaultPosition, wxSize(900, 400), wxWANTS_CHARS | wxBORDER_SUNKEN) {
  CreateGrid(m_Model.RowCount(), M::kColumnCount, wxGridSelectCells);
  m_DefaultFont = GetDefaultCellFont();
  m_BoldFont = m_DefaultFont.Bold();
  SetDefaultCellAlignment(wxALIGN_LEFT, wxALIGN_CENTRE);
  SetDefaultCellBackgroundColour(kCellColour);
  SetDefaultRowSize(20, true);
  SetColLabelSize(30);
  DisableDragRowSize();
  EnableDragColSize(true);
  EnableDragColMove(false);
  SetColLabelAlignment(wxALIGN_LEFT, wxALIGN_CENTRE);
  SetCornerLabelValue(ToWx(M::Heading(-1)));
  SetCornerLabelAlignment(wxALIGN_CENTRE, wxALIGN_CENTRE);
  for (int col = 0; col < M::kColumnCount; ++col) {
    SetColLabelValue(col, ToWx(M::Heading(col)));
    SetColSize(col, M::ColumnWidth(col));
    auto* attr = new wxGridCellAttr;
    if (col == M::kColOutputPath)
      attr->SetRenderer(new FolderRenderer);
    else if (col != M::kColSlideID && col != M::kColDescription)
      attr->SetEditor(new DropListEditor(this));
    SetColAttr(col, attr);
  }
  for (int row = 0; row < m_Model.RowCount(); ++row)
    SetRowLabelValue(row, wxString::Format("%d", m_Model.SlotOfRow(row)));

  Bind(wxEVT_GRID_CELL_LEFT_CLICK, &CCarouselCfgGrid::OnLeftClick, this);
  Bind(wxEVT_GRID_CELL_LEFT_DCLICK, &CCarouselCfgGrid::OnLeftDoubleClick, this);
  Bind(wxEVT_GRID_CELL_RIGHT_CLICK, &CCarouselCfgGrid::OnRightClick, this);
  Bind(wxEVT_GRID_CELL_CHANGING, &CCarouselCfgGrid::OnCellChanging, this);
  Bind(wxEVT_GRID_CELL_CHANGED, &CCarouselCfgGrid::OnCellChanged, this);
  Bind(wxEVT_GRID_SELECT_CELL, [this](wxGridEvent& e) {
    e.Skip();
    // The folder button follows the current cell.
    CallAfter([this] { GetGridWindow()->Refresh(); });
  });
  Bind(wxEVT_MENU, [this](wxCommandEvent& e) { RunMenuCommand(e.GetId()); });
  GetGridWindow()->Bind(wxEVT_MOTION, &CCarouselCfgGrid::OnCellMotion, this);
  GetGridColLabelWindow()->Bind(wxEVT_MOTION, &CCarouselCfgGrid::OnHeadingMotion, this);
  SetHint(GetGridRowLabelWindow(), m_Model.Hint(-1, -1));
  SetHint(GetGridCornerLabelWindow(), m_Model.Hint(-1, -1));
  RefreshRows(false, false);
}

// --- range and slots

bool CCarouselCfgGrid::SetSlotRange(int first, int last) {
  // The selected slots, by slot number, before the rows change meaning.
  const wxGridBlocks blocks = GetSelectedBlocks();
  bool hadSelection = false;
  int fromSlot = 0, toSlot = 0, fromCol = 0, toCol = 0;
  for (const wxGridBlockCoords& b : blocks) {
    const int top = m_Model.SlotOfRow(b.GetTopRow()), bottom = m_Model.SlotOfRow(b.GetBottomRow());
    if (!top || !bottom) continue;
    fromSlot = hadSelection ? std::min(fromSlot, top) : top;
    toSlot = hadSelection ? std::max(toSlot, bottom) : bottom;
    fromCol = hadSelection ? std::min(fromCol, b.GetLeftCol()) : b.GetLeftCol();
    toCol = hadSelection ? std::max(toCol, b.GetRightCol()) : b.GetRightCol();
    hadSelection = true;
  }
  if (!m_Model.SetSlotRange(first, last)) return false;

  if (IsCellEditControlEnabled()) DisableCellEditControl();
  BeginBatch();
  const int rows = m_Model.RowCount();
  if (GetNumberRows() < rows)
    AppendRows(rows - GetNumberRows());
  else if (GetNumberRows() > rows)
    DeleteRows(rows, GetNumberRows() - rows);
  for (int row = 0; row < rows; ++row) SetRowLabelValue(row, wxString::Format("%d", m_Model.SlotOfRow(row)));
  ClearSelection();
  if (hadSelection)
    if (const auto kept = m_Model.RowsOfSlots(fromSlot, toSlot))
      SelectBlock(kept->first, fromCol, kept->second, toCol);
  EndBatch();
  return true;
}

void CCarouselCfgGrid::ChangeSlotRange(int first, int last) {
  if (SetSlotRange(first, last)) RefreshRows(false, false);
}

void CCarouselCfgGrid::SetSlotEnabled(int slot, bool used, const std::string* slideId) {
  m_Model.SetSlotEnabled(slot, used, slideId);
  RefreshRows(false, true);
}

std::pair<int, int> CCarouselCfgGrid::GetSelectedColumns() const {
  const M::Selection s = CurrentSelection();
  if (s.Empty() || IsSelection() == false) return {0, 0};
  return {std::max(s.firstCol, 0), std::max(s.lastCol, 0)};
}

std::pair<int, int> CCarouselCfgGrid::GetSelectedRows() const {
  const M::Selection s = CurrentSelection();
  if (s.Empty() || IsSelection() == false) return {0, 0};
  return {std::max(s.firstRow, 0), std::max(s.lastRow, 0)};
}

std::vector<int> CCarouselCfgGrid::GetSelectedSlots() const {
  std::vector<int> slots;
  const M::Selection s = CurrentSelection();
  for (int row = s.firstRow; row <= s.lastRow; ++row)
    if (const int slot = m_Model.SlotOfRow(row)) slots.push_back(slot);
  return slots;
}

M::Selection CCarouselCfgGrid::CurrentSelection() const {
  M::Selection s;
  bool any = false;
  for (const wxGridBlockCoords& b : GetSelectedBlocks()) {
    s.firstRow = any ? std::min(s.firstRow, b.GetTopRow()) : b.GetTopRow();
    s.lastRow = any ? std::max(s.lastRow, b.GetBottomRow()) : b.GetBottomRow();
    s.firstCol = any ? std::min(s.firstCol, b.GetLeftCol()) : b.GetLeftCol();
    s.lastCol = any ? std::max(s.lastCol, b.GetRightCol()) : b.GetRightCol();
    any = true;
  }
  if (any) {
    s.isSelected = [this](int row, int col) { return IsInSelection(row, col); };
    return s;
  }
  // Nothing selected: the current cell is meant.
  const int row = GetGridCursorRow(), col = GetGridCursorCol();
  if (row >= 0 && col >= 0) s = M::Selection{row, row, col, col, {}};
  return s;
}

// --- display

void CCarouselCfgGrid::WriteCell(int row, int col, const M::CellView& view) {
  SetCellValue(row, col, ToWx(view.text));
  auto* attr = new wxGridCellAttr;
  attr->SetFont(view.bold ? m_BoldFont : m_DefaultFont);
  attr->SetReadOnly(view.readOnly || view.kind == M::CellKind::Plain || view.kind == M::CellKind::Folder);
  if (view.kind == M::CellKind::Plain) {
    // No drop list or folder button on a cell that only shows a value.
    attr->SetEditor(new wxGridCellTextEditor);
    attr->SetRenderer(new wxGridCellStringRenderer);
  }
  SetAttr(row, col, attr);
}

void CCarouselCfgGrid::RefreshRows(bool selectedBlockOnly, bool keepTopRow) {
  int r0 = 0, r1 = m_Model.RowCount() - 1, c0 = 0, c1 = M::kColumnCount - 1;
  if (selectedBlockOnly) {
    const M::Selection s = CurrentSelection();
    if (s.Empty()) {
      ForceRefresh();
      return;
    }
    r0 = s.firstRow;
    r1 = s.lastRow;
    c0 = s.firstCol;
    c1 = s.lastCol;
  }
  int viewX = 0, viewY = 0;
  GetViewStart(&viewX, &viewY);
  BeginBatch();
  m_Model.RefreshCells(r0, r1, c0, c1,
                       [this](int row, int col, const M::CellView& v) { WriteCell(row, col, v); });
  EndBatch();
  Scroll(viewX, keepTopRow ? viewY : 0);
  ForceRefresh();
}

void CCarouselCfgGrid::SetCurrentProfile(tagScanCfgStruct* profile, bool applyToAllSlots) {
  m_Model.SetCurrentProfile(profile, applyToAllSlots);
  RefreshRows(false, !applyToAllSlots);
}

void CCarouselCfgGrid::ApplyProfileToRows(const tagSlotCfgRow* source, bool selectedRowsOnly, bool keepTopRow,
                                          bool pmtColumnsOnly) {
  std::vector<int> rows;
  if (selectedRowsOnly) {
    const M::Selection s = CurrentSelection();
    for (int row = s.firstRow; row <= s.lastRow; ++row) rows.push_back(row);
  } else {
    for (int row = 0; row < m_Model.RowCount(); ++row) rows.push_back(row);
  }
  m_Model.ApplyProfileToRows(source, rows, pmtColumnsOnly);
  RefreshRows(selectedRowsOnly, keepTopRow);
}

void CCarouselCfgGrid::ResetToProfile(int firstRow, int lastRow, int firstCol, int lastCol,
                                      bool selectedCellsOnly) {
  M::Selection s{firstRow, lastRow, firstCol, lastCol,
                 [this](int row, int col) { return IsInSelection(row, col); }};
  AfterEdit(m_Model.ResetToProfile(s, selectedCellsOnly));
}

void CCarouselCfgGrid::AfterEdit(const M::EditResult& result) {
  if (result.refresh) RefreshRows(!result.fullRefresh, true);
  if (result.estimateChanged && EstimateChanged) EstimateChanged();
}

// --- edits

std::vector<std::string> CCarouselCfgGrid::ListChoicesAt(int row, int col) const {
  const M::Selection s = CurrentSelection();
  return m_Model.ListChoices(row, col, !s.Empty() && s.firstCol != s.lastCol);
}

void CCarouselCfgGrid::ApplyChoice(const std::string& choice) {
  AfterEdit(m_Model.ApplyChoice(CurrentSelection(), choice));
}

void CCarouselCfgGrid::ChooseOutputFolder() {
  const int row = GetGridCursorRow();
  if (row < 0 || GetGridCursorCol() != M::kColOutputPath ||
      m_Model.ViewOf(row, M::kColOutputPath).kind != M::CellKind::Folder)
    return;  // no button on a slot that is not in use
  CFolderPicker picker(this, kFolderTitle);
  picker.InitialFolder = FromWx(GetCellValue(row, M::kColOutputPath));
  if (!picker.DoModal()) return;
  M::Selection s = CurrentSelection();
  if (!s.Contains(row, M::kColOutputPath) || row < s.firstRow || row > s.lastRow)
    s = M::Selection{row, row, M::kColOutputPath, M::kColOutputPath, {}};
  AfterEdit(m_Model.SetOutputFolder(s, picker.GetPath()));
}

void CCarouselCfgGrid::OnLeftClick(wxGridEvent& event) {
  const int row = event.GetRow(), col = event.GetCol();
  if (col == M::kColOutputPath && row == GetGridCursorRow() && col == GetGridCursorCol()) {
    const wxRect cell = CellToRect(row, col);
    const wxPoint at = CalcUnscrolledPosition(event.GetPosition());
    if (at.x > cell.GetRight() - folderButtonWidth(cell)) {
      ChooseOutputFolder();
      return;
    }
  }
  event.Skip();
}

void CCarouselCfgGrid::OnLeftDoubleClick(wxGridEvent& event) {
  if (event.GetCol() == M::kColOutputPath) {
    SetGridCursor(event.GetRow(), event.GetCol());
    ChooseOutputFolder();
    return;
  }
  event.Skip();
}

void CCarouselCfgGrid::OnCellChanging(wxGridEvent& event) {
  const int col = event.GetCol();
  if (col != M::kColSlideID && col != M::kColDescription) return;  // drop lists apply themselves
  switch (m_Model.EndTextEdit(event.GetRow(), col, FromWx(event.GetString()))) {
    case M::EditEnd::Stored:
      m_RefreshAfterEdit = true;
      break;
    case M::EditEnd::Refused:
    case M::EditEnd::Unchanged:
      event.Veto();
      break;
  }
}

void CCarouselCfgGrid::OnCellChanged(wxGridEvent& event) {
  event.Skip();
  if (!m_RefreshAfterEdit) return;
  m_RefreshAfterEdit = false;
  RefreshRows(true, true);
}

void CCarouselCfgGrid::OnRightClick(wxGridEvent& event) {
  const int row = event.GetRow(), col = event.GetCol();
  if (row < 0 || col < 0) return;
  if (!IsInSelection(row, col)) SetGridCursor(row, col);
  wxMenu menu;
  menu.Append(kMenuReset, "Reset to Profile Value");
  menu.AppendSeparator();
  menu.Append(kMenuFitColumns, "Fit Column(s) to Window");
  menu.Append(kMenuBestFit, "Best Fit Column Sizes");
  menu.AppendSeparator();
  menu.Append(kMenuRefresh, "Refresh Table");
  menu.Enable(kMenuReset, ResetOffered(row, col));
  PopupMenu(&menu);
}

void CCarouselCfgGrid::RunMenuCommand(int id) {
  switch (id) {
    case kMenuReset: {
      const M::Selection s = CurrentSelection();
      if (!s.Empty())
        ResetToProfile(s.firstRow, s.lastRow, s.firstCol, s.lastCol, static_cast<bool>(s.isSelected));
      break;
    }
    case kMenuFitColumns:
      FitColumns(false);
      break;
    case kMenuBestFit:
      FitColumns(true);
      break;
    case kMenuRefresh:
      ForceRefresh();
      break;
    default:
      break;
  }
}

void CCarouselCfgGrid::FitColumns(bool bestFit) {
  int c0 = 0, c1 = M::kColumnCount - 1;
  const M::Selection s = CurrentSelection();
  if (IsSelection() && !s.Empty() && s.firstCol >= 0) {
    c0 = s.firstCol;
    c1 = s.lastCol;
  }
  BeginBatch();
  if (bestFit) {
    for (int col = c0; col <= c1; ++col) AutoSizeColumn(col, false);
  } else {
    // The chosen columns share what the others leave of the window, in their proportions.
    int others = 0, chosen = 0;
    for (int col = 0; col < M::kColumnCount; ++col)
      (col >= c0 && col <= c1 ? chosen : others) += GetColSize(col);
    const int room = GetClientSize().x - GetRowLabelSize() - others;
    if (room > 0 && chosen > 0) {
      int given = 0;
      for (int col = c0; col <= c1; ++col) {
        const int width = col == c1 ? room - given : GetColSize(col) * room / chosen;
        SetColSize(col, std::max(width, 10));
        given += width;
      }
    }
  }
  EndBatch();
  if (wxWindow* parent = GetParent()) parent->Refresh();
  ForceRefresh();
}

// --- hints

void CCarouselCfgGrid::SetHint(wxWindow* window, const std::string& hint) {
  const wxString text = ToWx(hint);
  if (window->GetToolTipText() == text) return;
  if (text.empty())
    window->UnsetToolTip();
  else
    window->SetToolTip(text);
}

void CCarouselCfgGrid::OnCellMotion(wxMouseEvent& event) {
  event.Skip();
  const wxGridCellCoords cell = XYToCell(CalcUnscrolledPosition(event.GetPosition()));
  SetHint(GetGridWindow(), cell.GetRow() >= 0 ? m_Model.Hint(cell.GetRow(), cell.GetCol()) : std::string());
}

void CCarouselCfgGrid::OnHeadingMotion(wxMouseEvent& event) {
  event.Skip();
  const int col = XToCol(CalcUnscrolledPosition(event.GetPosition()).x);
  SetHint(GetGridColLabelWindow(), col >= 0 ? m_Model.Hint(-1, col) : std::string());
}
