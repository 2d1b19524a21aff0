#pragma once
// The region edit form without its window: the five entries, the range labels (which the
// checks read back, so they are state), validation, and the Save and Exit sequences.
// Message boxes go through platform::ui; the window mirrors the texts and the focus.
#include <string>

#include "Global.h"

namespace quillmark {

enum class Box { Name, XPos, YPos, Width, Height, None };

// A failed validation rule: its message and the box to focus.
struct ValidationError : QuillError {
  ValidationError(const std::string& message, Box focusBox)
      : QuillError(kErrValidation, message), focus(focusBox) {}
  Box focus;
};

class EditRegionModel {
 public:
  static constexpr std::size_t kNameLimit = 30;
  static constexpr std::size_t kLengthLimit = 5;

  explicit EditRegionModel(Global& g) : g_(g) {}

  // "New" adds a region; any other mode modifies CurrentRegion.
  std::string Mode;
  bool IsNew() const { return Mode == "New"; }

  // Window load: range labels from the limits and CurrentRegion; remembers the loaded
  // values (CurrentRegion) to which Exit returns and against which Save compares.
  void Load();
  // Window activation: the caption; in modify mode the boxes get the loaded values.
  std::string Activate();

  // Box texts, cut to the box's limit.
  const std::string& Text(Box box) const;
  void SetText(Box box, const std::string& text);
  void ClearFields();

  // The key filter of the four length boxes: the key, or 0 to swallow it.
  static int NumericKeys(const std::string& text, int keyCode, int selStart, int selLength, char sep);
  // At most two characters after the first separator: drops trailing characters (the
  // caret moves back with them). True when the text changed.
  static bool LimitDecimals(std::string& text, int& caret, char sep);
  void LostFocus(Box box);
  void UpdateMaxWidth(double x);
  void UpdateMaxHeight(double y);

  // Throws ValidationError for the first rule that fails; NameExists' read failures pass on.
  void ValidateFields();
  RegionRecord FillRegionRecord(bool isNew) const;

  struct Outcome {
    bool close;
    Box focus;  // where the window puts the focus when it stays open
  };
  // The Save button: validates, writes when something changed, closes. A failure is shown
  // (OK only) and the window stays with the entries as they are.
  Outcome Save();
  // The Exit button: in modify mode the loaded values come back and are checked; values
  // outside the limits ask whether to leave anyway.
  Outcome Exit();

  std::string lblMinX, lblMaxX, lblMinY, lblMaxY, lblMinWidth, lblMaxWidth, lblMinHeight, lblMaxHeight;
  bool maxWidthRed = false, maxHeightRed = false;
  const RegionRecord& Loaded() const { return loaded_; }
  // True once a Save wrote the region.
  bool Wrote() const { return wrote_; }

 private:
  std::string FormatMM(double v) const { return g_.FormatMM(v); }
  Global& g_;
  RegionRecord loaded_;
  bool wrote_ = false;
  std::string name_, xpos_, ypos_, width_, height_;
};

}  // namespace quillmark
