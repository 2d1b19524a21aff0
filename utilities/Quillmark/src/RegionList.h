#pragma once
// The region list without its window: the grid's rows with their out-of-limit marks, the
// user's default region, and the New, Modify and Delete commands. Message boxes go
// through platform::ui; the edit window is reached through a callback.
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "Global.h"

namespace quillmark {

enum Column { kColCustom = 0, kColName, kColX, kColY, kColWidth, kColHeight, kColSection, kColumnCount };

struct GridRow {
  std::array<std::string, kColumnCount> cells;
  std::array<bool, kColumnCount> invalid{};  // drawn in red
};

// Shows the edit window modally in the mode given ("New" or "Modify") over
// Global::CurrentRegion; true when it wrote the region.
using EditRegionFn = std::function<bool(const std::string& mode)>;

class RegionList {
 public:
  explicit RegionList(Global& g) : g_(g) {}

  static constexpr const char* kHeaders[kColumnCount] = {
      "Custom", "Name", "X Pos (mm)", "Y Pos (mm)", "Width (mm)", "Height (mm)", "SectionName"};
  // Column widths in twips (1/1440 inch); 0 hides a column.
  static constexpr int kWidths[kColumnCount] = {0, 2797, 1000, 1000, 1100, 1100, 0};
  static constexpr const char* kInvalidRegionsMessage =
      "Invalid regions are detected for this model of the scanner. \r\n"
      "These could be valid regions for different models of the scanner. \r\n"
      "Invalid regions will be rejected by this model until they are fixed.";

  // Fills Rows from the file and checks them against the limits. Throws on a failure.
  void Load(bool customOnly);
  // The "Height (mm)" column's width after a load (twips).
  int HeightColumnWidth() const { return Rows.size() + 1 > 6 ? 1100 : 1340; }

  // The user's default region from the registry (start-up); false when it is not set.
  bool ReadDefaultRegionName();

  // The commands; rows are grid rows (1 = the first region). Failures are shown in a
  // message box and end the command; the caller reloads the list afterwards.
  void NewRegion(const EditRegionFn& edit);
  void ModifyRegions(int first, int last, const EditRegionFn& edit);
  void DeleteRegions(int first, int last);

  // Throws 5001 when the region file has the read-only attribute.
  void IniFileReadOnly() const;
  // Runs `fn`, showing a failure's text in a message box with only OK; false on failure.
  static bool RunCommand(const std::function<void()>& fn);

  std::vector<GridRow> Rows;
  std::string MakerDefaultName = kUnknown;
  std::string DefaultRegionName;
  bool InvalidFound = false;

 private:
  void SetDefaultRegionName(const std::string& name);
  Global& g_;
};

}  // namespace quillmark
