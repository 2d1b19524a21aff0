#include <wx/artprov.h>
#include <wx/dcclient.h>
#include <wx/menu.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/toolbar.h>
#include <wx/utils.h>

#include "Numbers.h"
#include "RegUtils.h"
#include "Windows.h"
#include "platform/ui.h"

namespace quillmark {

namespace {

enum {
  kIdNew = wxID_HIGHEST + 1,
  kIdModify,
  kIdDelete,
  kIdHelp,
  kIdAbout,
};

// The slide holder, the slide and a scan region, with the corners the limits name.
class HolderDrawing : public wxPanel {
 public:
  explicit HolderDrawing(wxWindow* parent) : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxSize(-1, 150)) {
    Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
      wxPaintDC dc(this);
      const wxSize s = GetClientSize();
      dc.SetFont(GetFont());
      dc.SetPen(*wxBLACK_PEN);
      dc.SetBrush(wxBrush(wxColour(220, 220, 220)));
      const wxRect holder(10, 18, s.x - 20, s.y - 28);
      dc.DrawRectangle(holder);
      dc.DrawText(" (0,0)", holder.x - 4, 2);
      dc.DrawText("Slide Holder", holder.x + holder.width - 90, 2);
      dc.SetBrush(*wxWHITE_BRUSH);
      const wxRect slide(holder.x + 30, holder.y + 20, holder.width - 60, holder.height - 40);
      dc.DrawRectangle(slide);
      dc.DrawText("Slide", slide.x + 4, slide.y + 2);
      dc.SetBrush(wxBrush(wxColour(170, 200, 255)));
      const wxRect region(slide.x + slide.width / 4, slide.y + slide.height / 3, slide.width / 2,
                          slide.height / 3);
      dc.DrawRectangle(region);
      dc.DrawText("Scan Region", region.x + 6, region.y + 4);
    });
  }
};

}  // namespace

int Twips(const wxWindow* w, int twips) { return w->FromDIP(twips / 15); }
wxString ToWx(const std::string& s) { return wxString::FromUTF8(s.c_str()); }
std::string FromWx(const wxString& s) { return std::string(s.utf8_str()); }

RegionFrame::RegionFrame(Global& g)
    : wxFrame(nullptr, wxID_ANY, kEditorTitle, wxDefaultPosition, wxDefaultSize,
              wxDEFAULT_FRAME_STYLE & ~(wxRESIZE_BORDER | wxMAXIMIZE_BOX)),
      g_(g),
      list_(g) {
  auto* file = new wxMenu;
  file->Append(kIdNew, "&New Region");
  file->Append(kIdModify, "&Open Region");
  file->Append(kIdDelete, "&Delete Region");
  file->AppendSeparator();
  file->Append(wxID_EXIT, "&Exit");
  auto* help = new wxMenu;
  help->Append(kIdAbout, "&About");
  help->Append(kIdHelp, "&Help\tF1");
  auto* bar = new wxMenuBar;
  bar->Append(file, "&File");
  bar->Append(help, "&Help");
  SetMenuBar(bar);

  wxToolBar* toolbar = CreateToolBar(wxTB_HORIZONTAL | wxTB_FLAT);
  const auto art = [](const wxArtID& id) { return wxArtProvider::GetBitmap(id, wxART_TOOLBAR); };
  toolbar->AddSeparator();
  toolbar->AddTool(kIdNew, "new", art(wxART_NEW), "New Region")->SetLongHelp("New Region");
  toolbar->AddTool(kIdModify, "open", art(wxART_FILE_OPEN), "Open Region")->SetLongHelp("Open Region");
  toolbar->AddTool(kIdDelete, "delete", art(wxART_DELETE), "Delete Region")->SetLongHelp("Delete Region");
  toolbar->AddTool(kIdHelp, "help", art(wxART_HELP), "Help")->SetLongHelp("Help");
  toolbar->AddSeparator();
  toolbar->Realize();

  auto* panel = new wxPanel(this);
  auto* top = new wxBoxSizer(wxVERTICAL);
  lblScanner = new wxStaticText(panel, wxID_ANY, "Scanner ");
  lblScanner->SetFont(lblScanner->GetFont().Bold());
  top->Add(lblScanner, 0, wxALL, 6);
  top->Add(new HolderDrawing(panel), 0, wxEXPAND | wxLEFT | wxRIGHT, 6);
  auto* corners = new wxFlexGridSizer(2, 4, 8);
  corners->Add(new wxStaticText(panel, wxID_ANY, "Min upper left corner"));
  lblULC = new wxStaticText(panel, wxID_ANY, "");
  corners->Add(lblULC);
  corners->Add(new wxStaticText(panel, wxID_ANY, "Max lower right corner"));
  lblLRC = new wxStaticText(panel, wxID_ANY, "");
  corners->Add(lblLRC);
  top->Add(corners, 0, wxALL, 6);
  chkCustomOnly = new wxCheckBox(panel, wxID_ANY, "Show Custom regions only");
  top->Add(chkCustomOnly, 0, wxLEFT | wxRIGHT | wxBOTTOM, 6);
  MSFlexGrid1 = new wxGrid(panel, wxID_ANY);
  MSFlexGrid1->CreateGrid(0, kColumnCount);
  MSFlexGrid1->EnableEditing(false);
  MSFlexGrid1->HideRowLabels();
  MSFlexGrid1->SetSelectionMode(wxGrid::wxGridSelectRows);
  MSFlexGrid1->DisableDragRowSize();
  // The grid paints a selection without the keyboard in the desktop's shadow grey but
  // keeps the selection's text colour (white): dark text on a light highlight reads on
  // both.
  MSFlexGrid1->SetSelectionBackground(wxColour(170, 200, 255));
  MSFlexGrid1->SetSelectionForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));
  top->Add(MSFlexGrid1, 1, wxEXPAND | wxALL, 6);
  panel->SetSizer(top);
  SetupGrid();

  // The window keeps one size (9120 x 9750 twips, or what its contents need).
  const wxSize fixed(std::max(Twips(this, 9120), GetBestSize().x), std::max(Twips(this, 9750), 560));
  SetSize(fixed);
  SetSizeHints(fixed, fixed);

  Bind(
      wxEVT_MENU, [this](wxCommandEvent&) { NewRegion(); }, kIdNew);
  Bind(
      wxEVT_MENU, [this](wxCommandEvent&) { ModifyRegions(); }, kIdModify);
  Bind(
      wxEVT_MENU, [this](wxCommandEvent&) { DeleteRegions(); }, kIdDelete);
  Bind(
      wxEVT_MENU, [this](wxCommandEvent&) { Close(); }, wxID_EXIT);
  Bind(
      wxEVT_MENU, [this](wxCommandEvent&) { g_.ShowHelp(); }, kIdHelp);
  Bind(
      wxEVT_MENU,
      [this](wxCommandEvent&) {
        AboutDialog about(this, g_);
        about.ShowModal();
      },
      kIdAbout);
  chkCustomOnly->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) {
    LoadRegionList();
    SelectGridRows(1, 1);
    ShowInvalidMessage();
  });
  MSFlexGrid1->Bind(wxEVT_GRID_CELL_LEFT_DCLICK, [this](wxGridEvent& e) {
    SelectGridRows(e.GetRow() + 1, e.GetRow() + 1);
    ModifyRegions();
  });

  ChooseModel = [this] {
    SelectScannerDialog select(this, g_);
    return select.ShowModal() == wxID_OK;
  };
  EditRegion = [this](const std::string& mode) {
    EditRegionDialog edit(this, g_, mode);
    edit.ShowModal();
    return edit.Saved();
  };
}

void RegionFrame::SetupGrid() {
  if (MSFlexGrid1->GetNumberRows() > 0) MSFlexGrid1->DeleteRows(0, MSFlexGrid1->GetNumberRows());
  for (int c = 0; c < kColumnCount; ++c) {
    MSFlexGrid1->SetColLabelValue(c, RegionList::kHeaders[c]);
    if (RegionList::kWidths[c] == 0)
      MSFlexGrid1->HideCol(c);
    else
      SetColumnWidth(c, RegionList::kWidths[c]);
  }
  MSFlexGrid1->SetColLabelAlignment(wxALIGN_LEFT, wxALIGN_CENTRE);
  MSFlexGrid1->SetDefaultCellAlignment(wxALIGN_LEFT, wxALIGN_CENTRE);
}

void RegionFrame::SetColumnWidth(int col, int twips) {
  // At least as wide as its heading in the display's font.
  MSFlexGrid1->AutoSizeColLabelSize(col);
  MSFlexGrid1->SetColSize(col, std::max(MSFlexGrid1->GetColSize(col), Twips(this, twips)));
}

bool RegionFrame::Startup(const std::string& modelAsked, const std::string& programFolder) {
  Centre();
  bool chosen = true;
  const bool ok = RegionList::RunCommand([&] {
    g_.LocateFiles(programFolder);
    if (g_.ReadRegionDBHeader() == 1) {
      g_.LoadScannerLimits();
    } else {
      g_.LoadScannerModels();
      if (g_.ModelExists(modelAsked))
        g_.LoadModelRegionLimits(modelAsked);
      else
        chosen = ChooseModel();
    }
    if (!chosen) return;
    lblScanner->SetLabel(ToWx("Scanner " + g_.ModelName));
    const RegionLimitsRecord& L = g_.RegionLimits;
    lblULC->SetLabel(ToWx("(" + g_.FormatMM(L.MinX) + ", " + g_.FormatMM(L.MinY) + ")"));
    lblLRC->SetLabel(ToWx("(" + g_.FormatMM(L.MaxX) + ", " + g_.FormatMM(L.MaxY) + ")"));
  });
  // Without a model there are no limits to check against: the editor ends.
  if (!ok || !chosen) return false;
  LoadRegionList();
  SelectGridRows(1, 1);
  Show();
  if (!list_.ReadDefaultRegionName())
    platform::ui::messageBox("Default scan region is not set.", kEditorTitle,
                             platform::ui::MB_OK | platform::ui::MB_ICONINFORMATION);
  ShowInvalidMessage();
  return true;
}

void RegionFrame::ShowInvalidMessage() {
  if (!list_.InvalidFound) return;
  platform::ui::messageBox(RegionList::kInvalidRegionsMessage, kEditorTitle, platform::ui::MB_OK);
  list_.InvalidFound = false;
}

void RegionFrame::LoadRegionList() {
  wxBusyCursor busy;
  MSFlexGrid1->BeginBatch();
  SetupGrid();
  RegionList::RunCommand([&] { list_.Load(chkCustomOnly->GetValue()); });
  MSFlexGrid1->AppendRows(static_cast<int>(list_.Rows.size()));
  for (std::size_t r = 0; r < list_.Rows.size(); ++r) {
    const GridRow& row = list_.Rows[r];
    for (int c = 0; c < kColumnCount; ++c) {
      MSFlexGrid1->SetCellValue(static_cast<int>(r), c, ToWx(row.cells[static_cast<std::size_t>(c)]));
      MSFlexGrid1->SetCellTextColour(
          static_cast<int>(r), c, row.invalid[static_cast<std::size_t>(c)] ? wxColour(255, 0, 0) : *wxBLACK);
    }
  }
  SetColumnWidth(kColHeight, list_.HeightColumnWidth());
  MSFlexGrid1->EndBatch();
  MSFlexGrid1->ForceRefresh();
}

void RegionFrame::SelectGridRows(int first, int last) {
  const int rows = MSFlexGrid1->GetNumberRows();
  MSFlexGrid1->ClearSelection();
  if (rows == 0 || first < 1) return;
  if (first > rows) first = last = rows;
  last = std::min(std::max(last, first), rows);
  MSFlexGrid1->SetGridCursor(first - 1, kColName);
  MSFlexGrid1->SelectBlock(first - 1, 0, last - 1, kColumnCount - 1);
  MSFlexGrid1->MakeCellVisible(first - 1, kColName);
}

std::pair<int, int> RegionFrame::GetSelectedRows() const {
  const wxArrayInt rows = MSFlexGrid1->GetSelectedRows();
  if (rows.empty()) {
    const int cursor = MSFlexGrid1->GetGridCursorRow();
    if (cursor < 0 || MSFlexGrid1->GetNumberRows() == 0) return {0, 0};
    return {cursor + 1, cursor + 1};
  }
  int first = rows[0], last = rows[0];
  for (const int r : rows) first = std::min(first, r), last = std::max(last, r);
  return {first + 1, last + 1};
}

void RegionFrame::NewRegion() {
  const auto [first, last] = GetSelectedRows();
  const std::size_t before = list_.Rows.size();
  list_.NewRegion(EditRegion);
  LoadRegionList();
  if (list_.Rows.size() != before)
    SelectGridRows(static_cast<int>(list_.Rows.size()), static_cast<int>(list_.Rows.size()));
  else
    SelectGridRows(first, last);
}

void RegionFrame::ModifyRegions() {
  const auto [first, last] = GetSelectedRows();
  list_.ModifyRegions(first, last, EditRegion);
  LoadRegionList();
  SelectGridRows(first, last);
}

void RegionFrame::DeleteRegions() {
  auto [first, last] = GetSelectedRows();
  {
    wxBusyCursor busy;
    list_.DeleteRegions(first, last);
  }
  LoadRegionList();
  const int rows = static_cast<int>(list_.Rows.size());
  if (first > rows) first = rows;
  SelectGridRows(first, first);
}

}  // namespace quillmark
