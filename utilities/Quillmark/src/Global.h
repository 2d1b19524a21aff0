#pragma once
// The editor's shared data and routines: the chosen model's limits, the region being
// worked on, the region database readers, and the region file's load, write and delete.
//
// Every change of the region file is converted and checked first, applied to a copy of the
// file and written back in one replacement, so a failure leaves the file as it was and the
// scanner window never reads a half-written region.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Errors.h"
#include "platform/profile.h"

namespace quillmark {

// The title of the editor's windows and message boxes.
inline constexpr const char* kEditorTitle = "Scan Region Editor";
inline constexpr const char* kUnknown = "*Unknown*";

// One region as text, lengths in millimetres as shown.
struct RegionRecord {
  std::string Section, Name, Type, Custom, X, Y, Width, Height, SlideX, SlideY, AFX, AFY, PKG;
  bool operator==(const RegionRecord&) const = default;
};

// The chosen model's limits in millimetres.
struct RegionLimitsRecord {
  double MinX = 0, MinY = 0, MaxX = 0, MaxY = 0, MaxWidth = 0, MaxHeight = 0, MinWidth = 0, MinHeight = 0;
};

class Global {
 public:
  explicit Global(char decimalSeparator = '.') : Sep(decimalSeparator) {}

  RegionRecord CurrentRegion;
  RegionLimitsRecord RegionLimits;
  std::string ModelName;
  std::string InstallPath;  // ends in '/'
  std::string IniPath;
  std::string RegionDbPath;
  std::vector<std::string> Models;
  char Sep;

  // Start-up: the installation folder from the registry (else `programFolder`) holding
  // ChipRegions.ini and RegionDB.sys. Throws 5001 "Unable to locate ...".
  void LocateFiles(const std::string& programFolder);

  // Region database readers; every one checks the file's size first (5000 when missing,
  // too short or naming no such model).
  std::int32_t ReadRegionDBHeader() const;
  void LoadScannerLimits();
  void LoadScannerModels();
  bool ModelExists(const std::string& name) const;
  void LoadModelRegionLimits(const std::string& model);
  static std::string FixedToString(std::string_view bytes);

  std::string FormatMM(double value) const;

  // "NumRegions" of the file: 0 when missing or empty; 5001 when it is not a whole
  // number from 0 to 32767 (nothing may be written on a guess).
  int ReadRegionCount(const platform::profile::Document& doc) const;
  platform::profile::Document ReadIni() const;  // 5001 when the file cannot be read

  // Fills CurrentRegion from the file and returns it.
  RegionRecord LoadRegion(const std::string& section);
  RegionRecord LoadRegion(const platform::profile::Document& doc, const std::string& section) const;
  void ClearCurrentRegion() { CurrentRegion = RegionRecord{}; }
  // Writes `region` (a new region gets the next section and its own slide section) and,
  // once written, makes it CurrentRegion. Throws 500 or 5001; the file is then unchanged.
  RegionRecord WriteRegion(const RegionRecord& region, bool isNew);
  // Removes the region and moves the regions after it down by one, sections verbatim.
  // Throws 500 or 5001; the file is then unchanged.
  void DeleteRegion(const RegionRecord& region);
  // True when a region section other than `section` carries `name` (any letter case).
  bool NameExists(const std::string& name, const std::string& section) const;

  // Opens the help document, or says that it is missing.
  void ShowHelp() const;

 private:
  std::string ReadDb(std::size_t minimum) const;
};

}  // namespace quillmark
