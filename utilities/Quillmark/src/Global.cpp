#include "Global.h"

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "IniUtils.h"
#include "Numbers.h"
#include "RegUtils.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace quillmark {

namespace {

namespace profile = platform::profile;

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kOldBlockSize = 40;
constexpr std::size_t kRecordSize = 72;
constexpr std::size_t kRecordLimitsOffset = 40;
constexpr int kMaxRegionCount = 32767;

std::int32_t le32(std::string_view b, std::size_t at) {
  const auto byte = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + i]));
  };
  return static_cast<std::int32_t>(byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
}

RegionLimitsRecord limitsAt(std::string_view b, std::size_t at) {
  const auto mm = [&](int i) { return le32(b, at + 4 * static_cast<std::size_t>(i)) / 1000.0; };
  return RegionLimitsRecord{mm(0), mm(1), mm(2), mm(3), mm(4), mm(5), mm(6), mm(7)};
}

// n of "Region<n>" as the editor writes section names; 0 for anything else.
int regionNumber(std::string_view section) { return profile::sectionNumber(section, "Region"); }

// True when a region section other than `except` names `slide` as its slide section.
bool slideUsedByOthers(const profile::Document& doc, const std::string& slide, const std::string& except) {
  for (const std::string& s : doc.sectionNames()) {
    if (regionNumber(s) == 0 || platform::equalsFolded(s, except)) continue;
    if (platform::equalsFolded(doc.getString(s, "Type"), slide)) return true;
  }
  return false;
}

// A length of the file in micrometres as millimetre text; other text stays as read.
std::string fileToMM(const std::string& text, char sep) {
  const auto v = ParseNumber(text, '.');
  return v ? FormatMM(*v / 1000.0, sep) : text;
}

}  // namespace

void Global::LocateFiles(const std::string& programFolder) {
  const auto withSlash = [](std::string p) {
    p = Trim(p);
    if (!p.empty() && p.back() != '/') p += '/';
    return p;
  };
  InstallPath =
      withSlash(ReadRegValue(platform::HKEY_LOCAL_MACHINE, kInstallKey, zeva::kInstallPathValue, ""));
  IniPath = InstallPath + "ChipRegions.ini";
  // An empty Path names no folder (it would make the file system's root the install folder).
  if (InstallPath.empty() || !platform::fileExists(IniPath)) {
    InstallPath = withSlash(programFolder);
    IniPath = InstallPath + "ChipRegions.ini";
    if (!platform::fileExists(IniPath)) throw QuillError(kErrRefused, "Unable to locate " + IniPath);
  }
  RegionDbPath = InstallPath + "RegionDB.sys";
  if (!platform::fileExists(RegionDbPath)) throw QuillError(kErrRefused, "Unable to locate " + RegionDbPath);
}

std::string Global::ReadDb(std::size_t minimum) const {
  // The largest file the readers can need: the header and 32767 records. Anything larger,
  // or anything that is not a regular file (a FIFO would hold us for ever), is refused.
  constexpr std::size_t kMaxBytes = kHeaderSize + kRecordSize * 32767;
  auto read = platform::readStoredFile(RegionDbPath, kMaxBytes);
  if (!read) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR)
      throw QuillError(kErrRegionDb, "Unable to locate the scan region system file (" + RegionDbPath + ")");
    throw QuillError(kErrRegionDb, "The scan region system file cannot be read: " +
                                       platform::storedFileError(RegionDbPath, error, kMaxBytes));
  }
  std::string bytes = std::move(*read);
  if (bytes.size() < minimum)
    throw QuillError(kErrRegionDb, "The scan region system file (" + RegionDbPath +
                                       ") is damaged: it ends after " + std::to_string(bytes.size()) +
                                       " bytes");
  return bytes;
}

std::int32_t Global::ReadRegionDBHeader() const { return le32(ReadDb(kHeaderSize), 0); }

void Global::LoadScannerLimits() {
  const std::string db = ReadDb(kOldBlockSize);
  ModelName = "K7431A";
  RegionLimits = limitsAt(db, 8);
}

namespace {
// The record count of a file with records, checked against the file's length.
std::size_t recordCount(const std::string& db, const std::string& path) {
  const auto count = static_cast<std::int16_t>(le32(db, 4));
  if (count < 0 || db.size() < kHeaderSize + kRecordSize * static_cast<std::size_t>(count))
    throw QuillError(kErrRegionDb, "The scan region system file (" + path +
                                       ") is damaged: it does not hold the " + std::to_string(count) +
                                       " records it announces");
  return static_cast<std::size_t>(count);
}
}  // namespace

void Global::LoadScannerModels() {
  Models.clear();
  const std::string db = ReadDb(kHeaderSize);
  const std::size_t count = recordCount(db, RegionDbPath);
  for (std::size_t i = 0; i < count; ++i)
    Models.push_back(FixedToString(std::string_view(db).substr(kHeaderSize + i * kRecordSize, 32)));
}

bool Global::ModelExists(const std::string& name) const {
  return std::find(Models.begin(), Models.end(), name) != Models.end();
}

void Global::LoadModelRegionLimits(const std::string& model) {
  const std::string db = ReadDb(kHeaderSize);
  const std::size_t count = recordCount(db, RegionDbPath);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = kHeaderSize + i * kRecordSize;
    if (FixedToString(std::string_view(db).substr(at, 32)) != model) continue;
    ModelName = model;
    RegionLimits = limitsAt(db, at + kRecordLimitsOffset);
    return;
  }
  throw QuillError(kErrRegionDb,
                   "Unable to locate the scan region " + model + " in system file (" + RegionDbPath + ")");
}

std::string Global::FixedToString(std::string_view bytes) {
  if (const auto nul = bytes.find('\0'); nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  return Trim(bytes);
}

std::string Global::FormatMM(double value) const { return quillmark::FormatMM(value, Sep); }

int Global::ReadRegionCount(const profile::Document& doc) const {
  const std::string text = doc.getString("ScanRegions", "NumRegions", "0");
  if (text.empty()) return 0;
  const auto n = ParseNumber(text, '\0');  // whole numbers only
  if (!n || *n < 0 || *n > kMaxRegionCount)
    throw QuillError(kErrRefused, "The region count NumRegions=" + text + " in " + IniPath + " is not valid");
  return static_cast<int>(*n);
}

profile::Document Global::ReadIni() const {
  auto doc = profile::read(IniPath);
  if (!doc)
    throw QuillError(kErrRefused,
                     "Unable to read " + IniPath + ": " + platform::systemErrorText(platform::lastError()));
  return std::move(*doc);
}

RegionRecord Global::LoadRegion(const profile::Document& doc, const std::string& section) const {
  RegionRecord r;
  r.Section = section;
  r.Type = doc.getString(section, "Type", kUnknown);
  r.Name = doc.getString(section, "Name", kUnknown);
  r.Custom = doc.getString(section, "Custom", "NO");
  r.X = doc.getString(section, "X", "0");
  r.Y = doc.getString(section, "Y", "0");
  r.Width = fileToMM(doc.getString(section, "W", "0"), Sep);
  r.Height = fileToMM(doc.getString(section, "H", "0"), Sep);
  r.SlideX = fileToMM(doc.getString(r.Type, "X", "0"), Sep);
  r.SlideY = fileToMM(doc.getString(r.Type, "Y", "0"), Sep);
  r.AFX = fileToMM(doc.getString(r.Type, "AFX", "0"), Sep);
  r.AFY = fileToMM(doc.getString(r.Type, "AFY", "0"), Sep);
  r.PKG = doc.getString(r.Type, "PKG", "0");
  return r;
}

RegionRecord Global::LoadRegion(const std::string& section) {
  CurrentRegion = LoadRegion(ReadIni(), section);
  return CurrentRegion;
}

RegionRecord Global::WriteRegion(const RegionRecord& region, bool isNew) {
  const std::string firstStep = isNew ? "Error writing ScanRegions in" : "Error writing Region Type in";
  // Every value is converted and checked before anything is written.
  const auto text = [&](const std::string& value, const char* step) {
    if (HasControlChar(value))
      throw QuillError(kErrWrite, std::string(step) + " " + IniPath + ": the text holds a control character");
    return value;
  };
  const auto times1000 = [&](const std::string& value, const char* step) {
    const auto v = ParseNumber(value, Sep);
    if (!v)
      throw QuillError(kErrWrite, std::string(step) + " " + IniPath + ": '" + value + "' is not a number");
    return FormatFileNumber(*v * 1000.0);
  };
  RegionRecord out = region;
  text(out.Name, "Error writing Region Name in");
  text(out.Custom, "Error writing Region Custom in");
  text(out.X, "Error writing Region X in");
  text(out.Y, "Error writing Region Y in");
  text(out.PKG, "Error writing Slide PKG in");
  const std::string w = times1000(out.Width, "Error writing Region Width in");
  const std::string h = times1000(out.Height, "Error writing Region Height in");
  const std::string sx = times1000(out.SlideX, "Error writing Slide X in");
  const std::string sy = times1000(out.SlideY, "Error writing Slide Y in");
  const std::string afx = times1000(out.AFX, "Error writing Slide AFX in");
  const std::string afy = times1000(out.AFY, "Error writing Slide AFY in");

  const bool ok = profile::edit(IniPath, [&](profile::Document& doc) {
    const int n = ReadRegionCount(doc);
    if (isNew) {
      out.Section = "Region" + std::to_string(n + 1);
      out.Type = "CustomerSlide" + std::to_string(n);
      if (slideUsedByOthers(doc, out.Type, out.Section))
        throw QuillError(kErrRefused, "The slide section " + out.Type + " of " + IniPath +
                                          " belongs to another region; the new region was not written");
      (void)doc.set("ScanRegions", "NumRegions", std::to_string(n + 1));  // fixed names and a number
    } else {
      const int k = regionNumber(out.Section);
      if (k < 1 || k > n || !doc.hasSection(out.Section))
        throw QuillError(kErrRefused, "Unable to locate the region " + out.Name + " in " + IniPath);
      // The maker's slide section and one shared with other regions would move them too.
      if (platform::equalsFolded(out.Type, "TarselDefault") || platform::equalsFolded(out.Type, kUnknown))
        throw QuillError(kErrRefused, "Cannot modify Tarsel supplied regions " + out.Name);
      if (slideUsedByOthers(doc, out.Type, out.Section))
        throw QuillError(kErrRefused, "The region " + out.Name + " shares its slide section " + out.Type +
                                          " with another region and cannot be modified");
    }
    const struct {
      const std::string& section;
      const char* key;
      const std::string& value;
      const char* step;
    } keys[] = {
        {out.Section, "Type", out.Type, "Error writing Region Type in"},
        {out.Section, "Name", out.Name, "Error writing Region Name in"},
        {out.Section, "Custom", out.Custom, "Error writing Region Custom in"},
        {out.Section, "X", out.X, "Error writing Region X in"},
        {out.Section, "Y", out.Y, "Error writing Region Y in"},
        {out.Section, "W", w, "Error writing Region Width in"},
        {out.Section, "H", h, "Error writing Region Height in"},
        {out.Type, "X", sx, "Error writing Slide X in"},
        {out.Type, "Y", sy, "Error writing Slide Y in"},
        {out.Type, "AFX", afx, "Error writing Slide AFX in"},
        {out.Type, "AFY", afy, "Error writing Slide AFY in"},
        {out.Type, "PKG", out.PKG, "Error writing Slide PKG in"},
    };
    for (const auto& k : keys)
      if (!doc.set(k.section, k.key, k.value))
        throw QuillError(kErrWrite, std::string(k.step) + " " + IniPath + ": " +
                                        platform::systemErrorText(platform::lastError()));
    return true;
  });
  if (!ok)
    throw QuillError(kErrWrite,
                     firstStep + " " + IniPath + ": " + platform::systemErrorText(platform::lastError()));
  CurrentRegion = out;
  return out;
}

void Global::DeleteRegion(const RegionRecord& region) {
  const int k = regionNumber(region.Section);
  const auto refuse = [&](const std::string& why) { throw QuillError(kErrRefused, why); };
  if (k < 1) refuse("Unable to locate the region " + region.Name + " in " + IniPath);
  const bool ok = profile::edit(IniPath, [&](profile::Document& doc) {
    const int n = ReadRegionCount(doc);
    if (k > n) refuse("Unable to locate the region " + region.Name + " in " + IniPath);
    const std::string makerDefault = doc.getString("TarselDefault", "Region");
    if (platform::equalsFolded(makerDefault, region.Section))
      refuse("Cannot delete Tarsel supplied region " + region.Name);
    const auto failed = [&](const char* what) {
      throw QuillError(kErrWrite, std::string(what) + " " + IniPath);
    };

    const std::string slide = doc.getString(region.Section, "Type", kUnknown);
    (void)doc.removeSection(region.Section);  // a missing section needs no removal
    // The maker's section and a slide section other regions use stay.
    if (!platform::equalsFolded(slide, "TarselDefault") && !platform::equalsFolded(slide, kUnknown) &&
        !slideUsedByOthers(doc, slide, region.Section))
      (void)doc.removeSection(slide);  // a slide section that is missing needs no removal
    if (!doc.set("ScanRegions", "NumRegions", std::to_string(n - 1)))
      failed("Error writing/deleting region in");

    for (int i = k + 1; i <= n; ++i) {
      const std::string from = "Region" + std::to_string(i);
      const std::string to = "Region" + std::to_string(i - 1);
      if (!doc.hasSection(from)) continue;
      if (!doc.renameSection(from, to)) failed("Error writing/deleting region in");
      if (platform::equalsFolded(makerDefault, from) && !doc.set("TarselDefault", "Region", to))
        failed("Error writing/deleting region in");
      // A custom slide section of this region alone follows the region's new number.
      const std::string type = doc.getString(to, "Type");
      const std::string wanted = "CustomerSlide" + std::to_string(i - 2);
      if (!platform::startsWithFolded(type, "CustomerSlide") || platform::equalsFolded(type, wanted) ||
          slideUsedByOthers(doc, type, to) || doc.hasSection(wanted))
        continue;
      if (doc.hasSection(type) && !doc.renameSection(type, wanted))
        failed("Error writing/deleting region in");
      if (!doc.set(to, "Type", wanted)) failed("Error writing/deleting region in");
    }
    return true;
  });
  if (!ok)
    throw QuillError(kErrWrite, "Error writing/deleting section in " + IniPath + ": " +
                                    platform::systemErrorText(platform::lastError()));
}

bool Global::NameExists(const std::string& name, const std::string& section) const {
  const profile::Document doc = ReadIni();
  const int n = ReadRegionCount(doc);
  const std::string wanted = Trim(name);
  for (int i = 1; i <= n; ++i) {
    const std::string s = "Region" + std::to_string(i);
    if (s == section) continue;
    if (platform::equalsFolded(doc.getString(s, "Name", kUnknown), wanted)) return true;
  }
  return false;
}

void Global::ShowHelp() const {
  const std::string path = InstallPath + "Help/Penmoor.pdf";
  if (!platform::fileExists(path)) {
    platform::ui::messageBox("Unable to locate " + path, kEditorTitle, platform::ui::MB_OK);
    return;
  }
  // Not waited for: the viewer may stay open; a failure is told when the handler ends.
  const auto tell = [path](int result) {
    std::string reason = platform::ui::shellOpenErrorText(result, path);
    platform::ui::messageBox("Unable to open " + path + (reason.empty() ? "" : "\n\n" + reason), kEditorTitle,
                             platform::ui::MB_OK);
  };
  const int result = platform::ui::shellOpen(path, [tell](int outcome) {
    if (outcome < 32) tell(outcome);
  });
  if (result < 32) tell(result);
}

}  // namespace quillmark
