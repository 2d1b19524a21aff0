#include "config/ProfileEditModel.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <tuple>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "config/CarouselCfgProfileMap.h"
#include "config/CarouselGridModel.h"
#include "config/ScanCfgRules.h"
#include "config/ScanRegionInfoMap.h"
#include "platform/ui.h"

namespace lumetra {

namespace {

namespace ui = platform::ui;
using M = ProfileEditModel;

constexpr const char* kNoDyx = "<No Dyx>";
constexpr const char* k16Bit = "16 bit";
constexpr const char* k20Bit = "20 bit";
constexpr const char* kYes = "Yes";
constexpr const char* kNo = "No";
constexpr double kRatioTable[] = {0.0, 0.5, 0.33, 0.2, 0.1, 0.05};

struct ItemInfo {
  int id;
  int parent;
  M::Kind kind;
  const char* category;
  const char* caption;
  const char* description;
};

const ItemInfo kItems[] = {
    {M::kDescription, 0, M::Kind::Text, "General", "Description", ""},
    {M::kDyeChannel, 0, M::Kind::List, "Scan Settings", "Dye channel",
     "Dye channels to acquire.  Choices are Red, Green, or Red+Green."},
    {M::kScanRegion, 0, M::Kind::List, "Scan Settings", "Scan region",
     "Scan region to acquire.  Use Tools | Quillmark to view scan region details."},
    {M::kResolution, 0, M::Kind::List, "Scan Settings", "Scan resolution",
     "Pixel size.  Use \"double pass\" settings to average two scan lines for each row of pixels."},
    {M::kTiffRange, 0, M::Kind::List, "Scan Settings", "Tiff file dynamic range",
     "Utilize full instrument dynamic range (20 bit); or, acquire conventional TIFF images (16 bit).  "
     "Selecting a 20-bit Tiff file resuts in a increased dyanmic range of approximately 10-fold over a "
     "conventional 16-bit Tiff."},
    {M::kRedGain, 0, M::Kind::List, "Scan Settings", "Red PMT gain",
     "Red PMT sensitivity. Default (100%) corresponds to factory calibration setting."},
    {M::kGreenGain, 0, M::Kind::List, "Scan Settings", "Green PMT gain",
     "Green PMT sensitivity. Default (100%) corresponds to factory calibration setting."},
    {M::kDyxRatio, 0, M::Kind::List, "Scan Settings", "Dyx Ratio",
     "Sensitivity ratio between high and low PMT gains for Dyx scans.  For example, to scan at 100% and 10% "
     "PMT "
     "sensitivity, set Dyx ratio to 0.1"},
    {M::kOutputPath, 0, M::Kind::Folder, "Image File Settings", "Output path",
     "Folder in which scan files should be stored."},
    {M::kSlideDescription, 0, M::Kind::Text, "Image File Settings", "Slide description",
     "Description to include in scan file."},
    {M::kPrefix1, 0, M::Kind::List, "Image File Settings", "Naming prefix 1",
     "First prefix for scan file name."},
    {M::kCustom1, M::kPrefix1, M::Kind::Text, "Image File Settings", "Customized",
     "User defined first prefix for scan file name."},
    {M::kPrefix2, 0, M::Kind::List, "Image File Settings", "Naming prefix 2",
     "Second prefix for scan file name."},
    {M::kCustom2, M::kPrefix2, M::Kind::Text, "Image File Settings", "Customized",
     "User defined second prefix for scan file name."},
    {M::kCompressTiff, 0, M::Kind::YesNo, "Image File Settings", "Compress Tiff",
     "Compress scan files to save disk space.  The compression algorithm uses lossless compression."},
    {M::kSplitRotate, 0, M::Kind::YesNo, "Image File Settings", "Split/rotate image",
     "Reformat scan files for non-Tarsel image analysis software.  This setting can only be used for 16-bit "
     "scans.  Splits the red and green channels into separate files and rotates the image by 90 degrees to "
     "be "
     "imported into a non-Tarsel image analysis software package."},
};

const std::vector<std::string> kPrefix1Choices = {"<Instrument Serial #>", "<Slide ID>", M::kCustomize};
const std::vector<std::string> kPrefix2Choices = {"<Slide ID>", "<Scan DateTime>", "<Slot #>", M::kCustomize};

unsigned gainValue(const std::string& text) {
  const int g = CarouselGridModel::GainOf(text);
  return g > 0 ? static_cast<unsigned>(g) : 0u;
}

bool refuse(const char* text, const char* caption) {
  ui::messageBox(text, caption, ui::MB_OK | ui::MB_ICONERROR);
  return false;
}

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

ProfileEditModel::ProfileEditModel(CCarouselCfgProfileMap* map, std::string currentProfile)
    : m_Map(map), m_CurrentName(std::move(currentProfile)) {}

bool ProfileEditModel::Open() {
  if (!m_Map) return false;
  tagScanCfgStruct* current = m_Map->Lookup(m_CurrentName);
  if (!current) return false;
  LoadProfile(current);
  return true;
}

std::vector<std::string> ProfileEditModel::ProfileNames() const {
  std::vector<std::string> names;
  if (m_Map)
    for (const auto& entry : m_Map->Profiles()) names.push_back(entry.first);
  return names;
}

const std::vector<int>& ProfileEditModel::ItemOrder() const {
  static const std::vector<int> order = [] {
    std::vector<int> v;
    for (const ItemInfo& i : kItems) v.push_back(i.id);
    return v;
  }();
  static const std::vector<int> none;
  return Loaded() ? order : none;
}

const ProfileEditModel::Item& ProfileEditModel::GetItem(int id) const {
  static const Item empty;
  const auto it = m_Items.find(id);
  return it == m_Items.end() ? empty : it->second;
}

bool ProfileEditModel::NoDyx() const { return Text(kDyxRatio) == kNoDyx; }
bool ProfileEditModel::Is20Bit() const { return Text(kTiffRange) == k20Bit; }

std::vector<std::string> ProfileEditModel::RatioChoices(unsigned red, unsigned green) const {
  std::vector<std::string> choices;
  for (double ratio : kRatioTable)
    if (ratio == 0.0 || CheckDyxRatio(ratio, red, green)) choices.push_back(FormatDyxRatio(ratio));
  return choices;
}

void ProfileEditModel::LoadProfile(tagScanCfgStruct* profile) {
  m_Profile = profile;
  m_LoadedName = profile ? profile->Name : std::string();
  m_Items.clear();
  Unsaved = false;
  if (!profile) return;
  m_Edited = tagScanCfgStruct{};
  m_Edited.CopyFrom(profile);

  for (const ItemInfo& info : kItems) {
    Item item;
    item.id = info.id;
    item.parent = info.parent;
    item.kind = info.kind;
    item.category = info.category;
    item.caption = info.caption;
    item.description = info.description;
    m_Items[info.id] = std::move(item);
  }
  const tagScanCfgStruct& e = m_Edited;
  At(kDescription).text = e.Description;
  At(kDyeChannel).text = e.DyeChannel;
  At(kDyeChannel).choices = CarouselGridModel::ChannelChoices();
  At(kScanRegion).text = e.RegionName;
  At(kResolution).text = GetResolutionName(e.ResolutionType, e.DoublePassScan != 0);
  At(kResolution).choices = CarouselGridModel::ResolutionChoices();
  At(kTiffRange).text = e.Tiff32Bit ? k20Bit : k16Bit;
  At(kRedGain).text = CarouselGridModel::GainText(e.PMTRed);
  At(kRedGain).choices = CarouselGridModel::GainChoices();
  At(kGreenGain).text = CarouselGridModel::GainText(e.PMTGreen);
  At(kGreenGain).choices = CarouselGridModel::GainChoices();
  At(kDyxRatio).text = FormatDyxRatio(GetDyxRatio(e.DyxRatioType));
  At(kOutputPath).text = e.OutputPath;
  At(kSlideDescription).text = e.ScanDescription;
  At(kPrefix1).choices = kPrefix1Choices;
  At(kPrefix2).choices = kPrefix2Choices;
  const auto prefix = [this](int listId, int customId, std::string& field,
                             const std::vector<std::string>& known) {
    if (std::find(known.begin(), known.end() - 1, field) != known.end() - 1) {
      At(listId).text = field;
    } else {
      At(customId).text = field;
      At(listId).text = kCustomize;
      field = kCustomize;
    }
  };
  prefix(kPrefix1, kCustom1, m_Edited.AutoNamingPrefix1, kPrefix1Choices);
  prefix(kPrefix2, kCustom2, m_Edited.AutoNamingPrefix2, kPrefix2Choices);
  At(kCompressTiff).text = e.CompressTiff ? kYes : kNo;
  At(kCompressTiff).choices = {kYes, kNo};
  At(kSplitRotate).text = e.SplitAndRotate ? kYes : kNo;
  At(kSplitRotate).choices = {kYes, kNo};

  if ((e.Tiff32Bit || e.SplitAndRotate) && e.DyxRatioType > 0) {
    // A combination the rules forbid: loaded without the ratio, to be saved so.
    m_Edited.DyxRatioType = 0;
    At(kDyxRatio).text = kNoDyx;
    Unsaved = true;
  }
  UpdateStates();
}

void ProfileEditModel::UpdateStates() {
  if (!Loaded()) return;
  const bool split = m_Edited.SplitAndRotate != 0;
  const bool bit20 = Is20Bit();
  const bool noDyx = NoDyx();
  if (CScanRegionInfoMap* regions = m_Profile->RegionMap) {
    std::vector<std::string> names;
    for (const auto& entry : regions->Regions()) names.push_back(entry.second->Name);
    At(kScanRegion).choices = names;
  }
  Item& ratio = At(kDyxRatio);
  ratio.choices = split || bit20 ? RatioChoices(0, 0)
                                 : RatioChoices(gainValue(Text(kRedGain)), gainValue(Text(kGreenGain)));
  ratio.readOnly = split || bit20;

  Item& tiff = At(kTiffRange);
  tiff.choices = {k16Bit};
  if (!split && (noDyx || bit20)) tiff.choices.push_back(k20Bit);
  tiff.readOnly = tiff.choices.size() < 2;

  At(kSplitRotate).readOnly = bit20 || !noDyx;
  At(kCustom1).hidden = Text(kPrefix1) != kCustomize;
  At(kCustom2).hidden = Text(kPrefix2) != kCustomize;
}

bool ProfileEditModel::Changing(int id, const std::string& value) {
  if (!Loaded()) return false;
  if (id == kResolution || id == kTiffRange || id == kDyxRatio) {
    if (m_Edited.SplitAndRotate) {
      constexpr const char* kText =
          "This option can't be selected for combining with 'Split And Rotate' option";
      if (id == kTiffRange && value != k16Bit) return refuse(kText, "Tiff Dynamic Range Option");
      if (id == kDyxRatio && value != kNoDyx) return refuse(kText, "Dyx Scan Option");
    }
  }
  // The TIFF choice on the grid counts, saved or not.
  if (id == kDyxRatio && value != kNoDyx && Is20Bit())
    return refuse("This option can't be selected for combining with '20-bit Dynamic Range' option",
                  "Dyx Scan Option");
  if (id == kTiffRange && value == k20Bit && !NoDyx())
    return refuse("This option can't be selected for a Dyx scan", "TIFF File Dynamic Range Option");
  if (id == kSplitRotate && value == kYes && !m_Edited.SplitAndRotate) {
    if (!NoDyx())
      return refuse("This option can't be selected for a Dyx scan", "Select Split And Rotate Option");
    if (Text(kTiffRange) != k16Bit)
      return refuse("This option can't be selected for a high dynamic range TIFF",
                    "Select Split And Rotate Option");
  }
  return true;
}

void ProfileEditModel::Changed(int id, const std::string& value) {
  if (!Loaded() || !m_Items.count(id)) return;
  At(id).text = value;
  bool modified = true;
  switch (id) {
    case kDescription:
      m_Edited.Description = value;
      break;
    case kDyeChannel:
      m_Edited.DyeChannel = value;
      break;
    case kScanRegion:
      m_Edited.RegionName = value;
      break;
    case kOutputPath:
      m_Edited.OutputPath = value;
      break;
    case kSlideDescription:
      m_Edited.ScanDescription = value;
      break;
    case kPrefix1:
      m_Edited.AutoNamingPrefix1 = value;
      break;
    case kPrefix2:
      m_Edited.AutoNamingPrefix2 = value;
      break;
    case kCompressTiff:
      m_Edited.CompressTiff = value == kYes ? 1 : 0;
      break;
    case kSplitRotate:
      m_Edited.SplitAndRotate = value == kYes ? 1 : 0;
      break;
    case kRedGain:
    case kGreenGain: {
      const double ratio = ParseDyxRatio(Text(kDyxRatio));
      if (ratio >= 0.05) {
        const double minimum = GetMinDyxRatio(gainValue(Text(kRedGain)), gainValue(Text(kGreenGain)));
        if (minimum < 0.05)
          At(kDyxRatio).text = kNoDyx;
        else if (ratio < minimum)
          At(kDyxRatio).text = FormatDyxRatio(minimum);
      }
      break;
    }
    case kCustom1:
    case kCustom2:
      modified = value.empty() || CheckFileName(value.c_str(), true, nullptr);
      break;
    default:
      break;
  }
  if (modified) Unsaved = true;
  UpdateStates();
}

void ProfileEditModel::RegionListOpening() {
  if (!Loaded() || !m_Profile->RegionMap) return;
  m_Profile->RegionMap->ReloadIfChanged();
  UpdateStates();
}

bool ProfileEditModel::RemoveEnabled() const {
  return Loaded() && m_LoadedName != m_CurrentName && m_LoadedName != kDefaultProfileName;
}

bool ProfileEditModel::ApplyGridTexts() {
  if (!Loaded()) return false;
  int type = m_Edited.ResolutionType;
  bool doublePass = m_Edited.DoublePassScan != 0;
  ParseResolutionName(Text(kResolution), &type, &doublePass);
  m_Edited.ResolutionType = type;
  m_Edited.DoublePassScan = doublePass ? 1 : 0;
  m_Edited.Tiff32Bit = Is20Bit() ? 1 : 0;
  m_Edited.PMTRed = CarouselGridModel::GainOf(Text(kRedGain));
  m_Edited.PMTGreen = CarouselGridModel::GainOf(Text(kGreenGain));
  m_Edited.DyxRatioType = GetDyxRatioType(std::strtod(Text(kDyxRatio).c_str(), nullptr));
  // The prefix lists decide: a custom text counts only while its list reads "<Customize>".
  for (const auto& [listId, customId, field] :
       {std::tuple{kPrefix1, kCustom1, &m_Edited.AutoNamingPrefix1},
        std::tuple{kPrefix2, kCustom2, &m_Edited.AutoNamingPrefix2}}) {
    if (Text(listId) != kCustomize) {
      *field = Text(listId);
      continue;
    }
    const std::string& custom = Text(customId);
    if (!custom.empty() && !CheckFileName(custom.c_str(), true, nullptr)) return false;
    *field = custom;
  }
  m_Edited.RegionMap = m_Profile->RegionMap;
  return true;
}

ProfileEditModel::SaveResult ProfileEditModel::Save() {
  if (!ApplyGridTexts()) return SaveResult::Refused;
  if (m_Edited.IsEqual(m_Profile)) return SaveResult::Unchanged;
  m_Profile->CopyFrom(&m_Edited);
  ListChanged = true;
  if (m_LoadedName == kDefaultProfileName) DefaultChanged = true;
  if (m_LoadedName == m_CurrentName) CurrentChanged = true;
  Unsaved = false;
  return SaveResult::Saved;
}

bool ProfileEditModel::SelectProfile(const std::string& name) {
  if (Loaded() && name == m_LoadedName) return true;
  tagScanCfgStruct* chosen = m_Map ? m_Map->Lookup(name) : nullptr;
  if (!chosen) return false;
  if (Loaded() && Unsaved &&
      ui::messageBox("Loaded profile has been modified. Do you want to save the change?", "Select Profile",
                     ui::MB_YESNO | ui::MB_ICONQUESTION) == ui::IDYES &&
      Save() == SaveResult::Refused)
    return false;  // the edits would be lost: stay on them
  LoadProfile(chosen);
  return true;
}

bool ProfileEditModel::NameDialogAccepts(const CCarouselCfgProfileMap* map, std::string& name) {
  name = trimmed(name);
  if (name.empty()) {
    // A profile without a name would not be read back from the profile file.
    ui::messageBox("Please enter a name for the new profile.", "Save Profile As",
                   ui::MB_OK | ui::MB_ICONERROR);
    return false;
  }
  if (map && map->Lookup(name)) {
    ui::messageBox("A profile with the specified name already exists.", "Profile Exists",
                   ui::MB_OK | ui::MB_ICONERROR);
    return false;
  }
  return true;
}

bool ProfileEditModel::SaveAs(const std::string& newName) {
  if (!Loaded() || !ApplyGridTexts()) return false;
  if (newName == m_LoadedName) {
    ui::messageBox("Please change the name for the new profile.",
                   FormatText("Save Profile '%s' As '%s'", m_LoadedName.c_str(), newName.c_str()),
                   ui::MB_OK | ui::MB_ICONERROR);
    return false;
  }
  if (m_Map->Lookup(newName)) {
    ui::messageBox("A profile with the specified name already exists.", "Profile Exists",
                   ui::MB_OK | ui::MB_ICONERROR);
    return false;
  }
  auto profile = std::make_unique<tagScanCfgStruct>();
  profile->CopyFrom(&m_Edited);
  profile->Name = newName;
  m_Profile = m_Map->SetAt(std::move(profile));
  m_Edited.Name = newName;
  m_LoadedName = newName;
  ListChanged = true;
  Unsaved = false;
  return true;
}

bool ProfileEditModel::Remove() {
  if (!Loaded() || m_LoadedName == kDefaultProfileName) return false;
  const std::string caption = FormatText("Remove Profile '%s'", m_LoadedName.c_str());
  const auto fail = [&](const char* text) {
    ui::messageBox(text, caption, ui::MB_OK | ui::MB_ICONERROR);
    return false;
  };
  if (m_LoadedName == m_CurrentName) return fail("The profile you are trying to remove is currently in use.");
  if (!m_Map->Lookup(m_LoadedName)) return fail("Failed to remove specified profile - Unknown System Error");
  ListChanged = true;
  const std::string removed = m_LoadedName;
  // Forget the profile and its unsaved edits before it goes, so that nothing offers to
  // save into it afterwards.
  LoadProfile(nullptr);
  const bool removedOk = m_Map->RemoveKey(removed);
  LoadProfile(m_Map->GetDefault());
  return removedOk || fail("Failed to remove specified profile - unknown system error");
}

ProfileEditModel::ImportResult ProfileEditModel::Import(const std::string& path) {
  constexpr const char* kCaption = "Import Profile";
  ImportResult result;
  if (!m_Map) return result;
  CScanRegionInfoMap* regions = Loaded() ? m_Profile->RegionMap : nullptr;
  if (!regions)
    if (const tagScanCfgStruct* def = m_Map->GetDefault()) regions = def->RegionMap;

  CCarouselCfgProfileMap imported;
  imported.LoadCfgProfiles(path.c_str(), regions);
  // The reader adds the default profile built from the registry; that one is not part
  // of the file and must not replace the list's own.
  imported.RemoveKey(kDefaultProfileName);
  result.total = imported.GetCount();
  if (result.total == 0) {
    ui::messageBox("No any vaild profile found from the import file!", kCaption,
                   ui::MB_OK | ui::MB_ICONERROR);
    return result;
  }
  int added = 0, modified = 0;
  for (const auto& [name, profile] : imported.Profiles()) {
    const tagScanCfgStruct* existing = m_Map->Lookup(name);
    if (!existing)
      ++added;
    else if (!existing->IsEqual(profile.get()))
      ++modified;
  }
  if (added == 0 && modified == 0) {
    ui::messageBox("No new or modified profiles found in file", kCaption, ui::MB_OK | ui::MB_ICONWARNING);
    return result;
  }
  const auto plural = [](int n) { return n == 1 ? "" : "s"; };
  bool overwrite = false;
  if (added && modified) {
    const int answer =
        ui::messageBox(FormatText("Total %d profiles found from the import file", result.total) +
                           FormatText(": New profile = %d, modified = %d", added, modified) +
                           ".\r\nDo you want to update current list?" +
                           "\r\n\r\nClick Yes to add new and overwrite existing profile;" +
                           "\r\nClick No to add new profile only;" + "\r\nClick Cancel to stop importing.",
                       kCaption, ui::MB_YESNOCANCEL | ui::MB_ICONQUESTION);
    if (answer == ui::IDCANCEL) return result;
    overwrite = answer == ui::IDYES;
  } else if (modified) {
    if (ui::messageBox(
            FormatText("Total %d modified profile%s found from the import file", modified, plural(modified)) +
                ".\r\nDo you want to overwrite existing profile on current list?",
            kCaption, ui::MB_YESNO | ui::MB_ICONQUESTION) != ui::IDYES)
      return result;
    overwrite = true;
  } else if (ui::messageBox(
                 FormatText("Total %d new profile%s found from the import file", added, plural(added)) +
                     ".\r\nDo you want to add new profile to current list?",
                 kCaption, ui::MB_YESNO | ui::MB_ICONQUESTION) != ui::IDYES) {
    return result;
  }

  std::vector<std::string> names;
  for (const auto& entry : imported.Profiles()) names.push_back(entry.first);
  for (const std::string& name : names) {
    tagScanCfgStruct* existing = m_Map->Lookup(name);
    tagScanCfgStruct* incoming = imported.Lookup(name);
    if (!existing) {
      auto owned = std::make_unique<tagScanCfgStruct>();
      owned->CopyFrom(incoming);
      m_Map->SetAt(std::move(owned));
      ++result.added;
      continue;
    }
    if (!overwrite || existing->IsEqual(incoming)) continue;
    existing->CopyFrom(incoming);
    ++result.overwritten;
    if (name == m_CurrentName) CurrentChanged = true;
    if (Loaded() && name == m_LoadedName) LoadProfile(existing);
  }
  ListChanged = true;
  return result;
}

bool ProfileEditModel::Export(const std::string& path) {
  if (!m_Map) return false;
  if (m_Map->SaveCfgProfiles(path.c_str())) return true;
  ui::messageBox(FormatText("Failed to export the profiles to '%s'.", path.c_str()),
                 "Export Carousel Configuration Profile", ui::MB_OK | ui::MB_ICONERROR);
  return false;
}

std::string ProfileEditModel::FileFilter() {
  // The wildcard of the file dialogs (the list terminator of the classic form dropped).
  return FormatText("Tarsel Carousel Configuration Profile Files(*%s)|*%s", "pfl", "pfl");
}

std::string ProfileEditModel::ProposedExportName() { return FormatText("New%s", "CarouselCfg.pfl"); }

}  // namespace lumetra
