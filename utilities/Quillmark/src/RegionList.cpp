#include "RegionList.h"

#include "Numbers.h"
#include "RegUtils.h"
#include "platform/ui.h"

namespace quillmark {

namespace ui = platform::ui;

void RegionList::Load(bool customOnly) {
  Rows.clear();
  InvalidFound = false;
  const platform::profile::Document doc = g_.ReadIni();
  const int n = g_.ReadRegionCount(doc);
  if (n < 1) return;
  const std::string defaultSection = doc.getString("TarselDefault", "Region", kUnknown);
  MakerDefaultName = doc.getString(defaultSection, "Name", kUnknown);
  const RegionLimitsRecord& L = g_.RegionLimits;
  for (int i = 1; i <= n; ++i) {
    const std::string section = "Region" + std::to_string(i);
    if (customOnly && doc.getString(section, "Custom", "NO") != "YES") continue;
    const RegionRecord r = g_.LoadRegion(doc, section);
    GridRow row;
    row.cells = {r.Custom, r.Name, r.SlideX, r.SlideY, r.Width, r.Height, r.Section};
    const auto x = ParseNumber(r.SlideX, g_.Sep);
    const auto y = ParseNumber(r.SlideY, g_.Sep);
    const auto w = ParseNumber(r.Width, g_.Sep);
    const auto h = ParseNumber(r.Height, g_.Sep);
    row.invalid[kColX] = !x || IsGreater(*x, L.MaxX) || IsLess(*x, L.MinX);
    row.invalid[kColY] = !y || IsGreater(*y, L.MaxY) || IsLess(*y, L.MinY);
    row.invalid[kColWidth] =
        !w || IsGreater(*w, L.MaxWidth) || IsLess(*w, L.MinWidth) || (x && IsGreater(*x + *w, L.MaxX));
    row.invalid[kColHeight] =
        !h || IsGreater(*h, L.MaxHeight) || IsLess(*h, L.MinHeight) || (y && IsGreater(*y + *h, L.MaxY));
    for (const bool bad : row.invalid) InvalidFound = InvalidFound || bad;
    Rows.push_back(std::move(row));
  }
}

bool RegionList::ReadDefaultRegionName() {
  DefaultRegionName = Trim(ReadRegValue(platform::HKEY_CURRENT_USER, kScanOptionsKey, "RegionName", ""));
  return !DefaultRegionName.empty();
}

void RegionList::SetDefaultRegionName(const std::string& name) {
  // "*Unknown*" is no region: the scanner window then falls back to the maker's default.
  const std::string stored = name == kUnknown ? std::string() : name;
  WriteRegValue(platform::HKEY_CURRENT_USER, kScanOptionsKey, "RegionName", stored);
  DefaultRegionName = stored;
}

void RegionList::IniFileReadOnly() const {
  if (platform::profile::isReadOnly(g_.IniPath))
    throw QuillError(kErrRefused, "Unable to open readonly file ");
}

bool RegionList::RunCommand(const std::function<void()>& fn) {
  try {
    fn();
    return true;
  } catch (const QuillError& e) {
    ui::messageBox(e.what(), kEditorTitle, ui::MB_OK);
  } catch (const std::exception& e) {
    ui::messageBox(e.what(), kEditorTitle, ui::MB_OK);
  }
  return false;
}

void RegionList::NewRegion(const EditRegionFn& edit) {
  RunCommand([&] {
    IniFileReadOnly();
    g_.ClearCurrentRegion();
    edit("New");
  });
}

void RegionList::ModifyRegions(int first, int last, const EditRegionFn& edit) {
  RunCommand([&] {
    IniFileReadOnly();
    if (first < 1 || last < 1) {
      ui::messageBox(Rows.empty() ? "No regions to modify" : " Select a scan region to modify", kEditorTitle,
                     ui::MB_OK);
      return;
    }
    for (int row = first; row <= last && row <= static_cast<int>(Rows.size()); ++row) {
      const GridRow& r = Rows[static_cast<std::size_t>(row - 1)];
      if (r.cells[kColCustom] == "NO") {
        ui::messageBox("Cannot modify Tarsel supplied regions " + r.cells[kColName], kEditorTitle, ui::MB_OK);
        continue;
      }
      g_.LoadRegion(r.cells[kColSection]);
      const bool wasDefault = DefaultRegionName == g_.CurrentRegion.Name;
      // CurrentRegion changes only when the edit window wrote the region, so the registry
      // follows only a rename that reached the file.
      if (edit("Modify") && wasDefault && DefaultRegionName != g_.CurrentRegion.Name)
        SetDefaultRegionName(g_.CurrentRegion.Name);
    }
  });
}

void RegionList::DeleteRegions(int first, int last) {
  RunCommand([&] {
    IniFileReadOnly();
    if (first < 1 || last < 1) {
      ui::messageBox(Rows.empty() ? "No regions to delete" : " Select a scan region to delete", kEditorTitle,
                     ui::MB_OK);
      return;
    }
    if (ui::messageBox("Are you sure you want to delete scan region(s)?", kEditorTitle, ui::MB_YESNO) !=
        ui::IDYES)
      return;
    // From the last row up: the rows still to do keep their section names while each
    // delete renumbers the sections after it.
    for (int row = std::min(last, static_cast<int>(Rows.size())); row >= first; --row) {
      const GridRow& r = Rows[static_cast<std::size_t>(row - 1)];
      if (r.cells[kColCustom] == "NO")
        throw QuillError(kErrRefused, "Cannot delete Tarsel supplied region " + r.cells[kColName]);
      const RegionRecord region = g_.LoadRegion(r.cells[kColSection]);
      g_.DeleteRegion(region);
      if (region.Name == DefaultRegionName) SetDefaultRegionName(MakerDefaultName);
    }
  });
}

}  // namespace quillmark
