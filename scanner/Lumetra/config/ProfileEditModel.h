#pragma once
// The profile editor without a display: the profile being edited and its edited copy,
// the property-grid items (texts, choices, read-only and hidden states) that the editor
// window shows, the consistency rules between Dyx ratio, TIFF range and split-and-rotate,
// saving, and the profile list operations (save as, remove, import, export). Every
// message goes through the platform's message-box hook.
#include <map>
#include <string>
#include <vector>

#include "config/CarouselCfgInfo.h"

class CCarouselCfgProfileMap;

namespace lumetra {

class ProfileEditModel {
 public:
  // Item ids (also the ids of their captions and descriptions).
  enum ItemId {
    kDescription = 62031,
    kDyeChannel = 62032,
    kScanRegion = 62033,
    kResolution = 62034,
    kTiffRange = 62035,
    kRedGain = 62036,
    kGreenGain = 62037,
    kDyxRatio = 62038,
    kOutputPath = 62039,
    kSlideDescription = 62040,
    kPrefix1 = 62041,
    kCustom1 = 62042,
    kPrefix2 = 62043,
    kCustom2 = 62044,
    kSplitRotate = 62046,
    kCompressTiff = 62047,
  };
  enum class Kind { Text, List, Folder, YesNo };

  struct Item {
    int id = 0;
    int parent = 0;  // the item this one is a child of, or 0
    Kind kind = Kind::Text;
    std::string category;
    std::string caption;
    std::string description;
    std::string text;
    std::vector<std::string> choices;
    bool readOnly = false;
    bool hidden = false;
  };

  static constexpr const char* kCustomize = "<Customize>";

  // `map` is the caller's, changed in place; `currentProfile` the main window's profile.
  ProfileEditModel(CCarouselCfgProfileMap* map, std::string currentProfile);
  ProfileEditModel(const ProfileEditModel&) = delete;
  ProfileEditModel& operator=(const ProfileEditModel&) = delete;

  // Loads the main window's profile; false (nothing loaded) without a map or when the
  // map does not hold it.
  bool Open();
  bool Loaded() const { return m_Profile != nullptr; }
  const std::string& LoadedName() const { return m_LoadedName; }
  std::vector<std::string> ProfileNames() const;
  const tagScanCfgStruct& Edited() const { return m_Edited; }
  CCarouselCfgProfileMap* Map() const { return m_Map; }

  // The items in grid order; empty while nothing is loaded.
  const std::vector<int>& ItemOrder() const;
  const Item& GetItem(int id) const;
  const std::string& Text(int id) const { return GetItem(id).text; }

  // An edit of an item, before it is taken: false refuses it (the message was shown).
  bool Changing(int id, const std::string& value);
  // An edit taken.
  void Changed(int id, const std::string& value);
  // The region list is about to open: the region map reloads itself if its file changed.
  void RegionListOpening();

  bool SaveEnabled() const { return Loaded() && Unsaved; }
  bool RemoveEnabled() const;

  // The grid texts into the edited copy; false (with its message) refuses a save.
  bool ApplyGridTexts();
  enum class SaveResult { Saved, Unchanged, Refused };
  SaveResult Save();
  // The combo box chose `name`: false when the editor stays on the loaded profile.
  bool SelectProfile(const std::string& name);

  // Save As's name dialog: true to close it with OK; `name` is trimmed.
  static bool NameDialogAccepts(const CCarouselCfgProfileMap* map, std::string& name);
  bool SaveAs(const std::string& newName);
  bool Remove();
  struct ImportResult {
    int total = 0;  // profiles in the file, "<Default>" not counted
    int added = 0;
    int overwritten = 0;
  };
  ImportResult Import(const std::string& path);
  bool Export(const std::string& path);
  static std::string FileFilter();
  static std::string ProposedExportName();

  // Result flags for the caller.
  bool Unsaved = false;
  bool ListChanged = false;
  bool CurrentChanged = false;
  bool DefaultChanged = false;

 private:
  void LoadProfile(tagScanCfgStruct* profile);
  void UpdateStates();
  Item& At(int id) { return m_Items.at(id); }
  std::vector<std::string> RatioChoices(unsigned red, unsigned green) const;
  bool NoDyx() const;
  bool Is20Bit() const;

  CCarouselCfgProfileMap* m_Map;
  std::string m_CurrentName;
  tagScanCfgStruct* m_Profile = nullptr;
  tagScanCfgStruct m_Edited;
  std::string m_LoadedName;
  std::map<int, Item> m_Items;
};

}  // namespace lumetra
