#include "EditRegionModel.h"

#include <cmath>

#include "Numbers.h"
#include "platform/ui.h"

namespace quillmark {

namespace ui = platform::ui;

void EditRegionModel::Load() {
  loaded_ = g_.CurrentRegion;
  const RegionLimitsRecord& L = g_.RegionLimits;
  lblMinX = FormatMM(L.MinX);
  lblMaxX = FormatMM(L.MaxX - L.MinWidth);
  lblMinY = FormatMM(L.MinY);
  lblMaxY = FormatMM(L.MaxY - L.MinHeight);
  lblMinWidth = FormatMM(L.MinWidth);
  maxWidthRed = maxHeightRed = false;
  if (const auto x = ParseNumber(loaded_.SlideX, g_.Sep))
    UpdateMaxWidth(*x);
  else
    lblMaxWidth = FormatMM(L.MaxWidth);
  lblMinHeight = FormatMM(L.MinHeight);
  if (const auto y = ParseNumber(loaded_.SlideY, g_.Sep))
    UpdateMaxHeight(*y);
  else
    lblMaxHeight = FormatMM(L.MaxHeight);
}

std::string EditRegionModel::Activate() {
  if (IsNew()) return "Add New Region";
  SetText(Box::Name, loaded_.Name);
  SetText(Box::Width, loaded_.Width);
  SetText(Box::Height, loaded_.Height);
  SetText(Box::XPos, loaded_.SlideX);
  SetText(Box::YPos, loaded_.SlideY);
  return "Modify Region";
}

const std::string& EditRegionModel::Text(Box box) const {
  static const std::string none;
  switch (box) {
    case Box::Name:
      return name_;
    case Box::XPos:
      return xpos_;
    case Box::YPos:
      return ypos_;
    case Box::Width:
      return width_;
    case Box::Height:
      return height_;
    case Box::None:
      break;
  }
  return none;
}

void EditRegionModel::SetText(Box box, const std::string& text) {
  const std::size_t limit = box == Box::Name ? kNameLimit : kLengthLimit;
  const std::string cut = text.substr(0, limit);
  switch (box) {
    case Box::Name:
      name_ = cut;
      break;
    case Box::XPos:
      xpos_ = cut;
      break;
    case Box::YPos:
      ypos_ = cut;
      break;
    case Box::Width:
      width_ = cut;
      break;
    case Box::Height:
      height_ = cut;
      break;
    case Box::None:
      break;
  }
}

void EditRegionModel::ClearFields() {
  name_.clear(), xpos_.clear(), ypos_.clear(), width_.clear(), height_.clear();
}

int EditRegionModel::NumericKeys(const std::string& text, int keyCode, int selStart, int selLength,
                                 char sep) {
  const int sepKey = static_cast<unsigned char>(sep);
  if (keyCode == sepKey && text.find(sep) != std::string::npos) {
    // Typing replaces the selection: a second separator is fine only instead of the first.
    const std::size_t start = static_cast<std::size_t>(std::max(0, selStart));
    const std::size_t length = static_cast<std::size_t>(std::max(0, selLength));
    const std::string selected = start < text.size() ? text.substr(start, length) : std::string();
    return selected.find(sep) != std::string::npos ? keyCode : 0;
  }
  if (keyCode == sepKey || (keyCode >= '0' && keyCode <= '9')) return keyCode;
  if (keyCode == 8 || keyCode == 13 || keyCode == 3 || keyCode == 22 || keyCode == 24) return keyCode;
  return 0;
}

bool EditRegionModel::LimitDecimals(std::string& text, int& caret, char sep) {
  bool changed = false;
  for (;;) {
    const std::size_t at = text.find(sep);
    if (at == std::string::npos || text.size() - at - 1 <= 2) return changed;
    text.pop_back();
    text = Trim(text);
    caret = std::max(0, std::min(caret - 1, static_cast<int>(text.size())));
    changed = true;
  }
}

void EditRegionModel::LostFocus(Box box) {
  switch (box) {
    case Box::Width:
    case Box::Height: {
      // Formatted even when not numeric: such text stays, trimmed.
      const std::string t = Trim(Text(box));
      const auto v = ParseNumber(t, g_.Sep);
      SetText(box, v ? FormatMM(*v) : t);
      break;
    }
    case Box::XPos:
    case Box::YPos: {
      const bool isX = box == Box::XPos;
      (isX ? maxWidthRed : maxHeightRed) = false;
      const std::string t = Trim(Text(box));
      if (const auto v = ParseNumber(t, g_.Sep)) {
        SetText(box, FormatMM(*v));
        // The number as shown, so the bound agrees with what the user sees.
        const double shown = ParseNumber(Text(box), g_.Sep).value_or(*v);
        isX ? UpdateMaxWidth(shown) : UpdateMaxHeight(shown);
      }
      break;
    }
    default:
      break;
  }
}

void EditRegionModel::UpdateMaxWidth(double x) {
  const RegionLimitsRecord& L = g_.RegionLimits;
  maxWidthRed = false;
  const double room = L.MaxX - x;
  if (IsLess(room, L.MaxWidth)) {
    if (IsLess(room, L.MinWidth)) maxWidthRed = true;
    lblMaxWidth = FormatMM(room >= 0 ? room : 0.0);
  } else {
    lblMaxWidth = FormatMM(L.MaxWidth);
  }
}

void EditRegionModel::UpdateMaxHeight(double y) {
  const RegionLimitsRecord& L = g_.RegionLimits;
  maxHeightRed = false;
  const double room = L.MaxY - y;
  if (IsLess(room, L.MaxHeight)) {
    if (IsLess(room, L.MinHeight)) maxHeightRed = true;
    lblMaxHeight = FormatMM(room >= 0 ? room : 0.0);
  } else {
    lblMaxHeight = FormatMM(L.MaxHeight);
  }
}

void EditRegionModel::ValidateFields() {
  for (Box b : {Box::Name, Box::XPos, Box::YPos, Box::Width, Box::Height}) SetText(b, Trim(Text(b)));
  const char sep = g_.Sep;
  // Control characters (a pasted line break) cannot be kept in the region file.
  if (name_.empty() || HasControlChar(name_)) throw ValidationError("Please enter a valid Name", Box::Name);
  const auto X = ParseNumber(xpos_, sep);
  if (!X) throw ValidationError("Please enter a valid X position", Box::XPos);
  const auto Y = ParseNumber(ypos_, sep);
  if (!Y) throw ValidationError("Please enter a valid Y position", Box::YPos);
  const auto W = ParseNumber(width_, sep);
  if (!W) throw ValidationError("Please enter a valid width", Box::Width);
  const auto H = ParseNumber(height_, sep);
  if (!H) throw ValidationError("Please enter a valid height", Box::Height);

  const RegionLimitsRecord& L = g_.RegionLimits;
  if (IsLess(*X, L.MinX) || IsGreater(*X, L.MaxX - L.MinWidth))
    throw ValidationError("X coordinate must be between " + lblMinX + " and " + lblMaxX, Box::XPos);
  if (IsLess(*Y, L.MinY) || IsGreater(*Y, L.MaxY - L.MinHeight))
    throw ValidationError("Y coordinate must be between " + lblMinY + " and " + lblMaxY, Box::YPos);
  const double wmin = ParseNumber(lblMinWidth, sep).value_or(0),
               wmax = ParseNumber(lblMaxWidth, sep).value_or(0);
  if (IsGreater(*W, wmax) || IsLess(*W, wmin))
    throw ValidationError("Width must be between " + lblMinWidth + " and " + lblMaxWidth, Box::Width);
  const double hmin = ParseNumber(lblMinHeight, sep).value_or(0),
               hmax = ParseNumber(lblMaxHeight, sep).value_or(0);
  if (IsGreater(*H, hmax) || IsLess(*H, hmin))
    throw ValidationError("Height must be between " + lblMinHeight + " and " + lblMaxHeight, Box::Height);
  if (IsGreater(*X + *W, L.MaxX))
    throw ValidationError("X coordinate + Width cannot be greater than " + FormatMM(L.MaxX) +
                              "\r\nEither reduce the X coordinate or the Width.",
                          Box::Width);
  if (IsGreater(*Y + *H, L.MaxY))
    throw ValidationError("Y coordinate + Height cannot be greater than " + FormatMM(L.MaxY) +
                              "\r\nEither reduce the Y coordinate or the Height.",
                          Box::Height);
  if (g_.NameExists(name_, loaded_.Section))
    throw ValidationError("This region name already exists. Please rename your region.", Box::Name);
}

RegionRecord EditRegionModel::FillRegionRecord(bool isNew) const {
  RegionRecord r = loaded_;
  if (isNew) {
    const int n = g_.ReadRegionCount(g_.ReadIni());
    r.Section = "Region" + std::to_string(n + 1);
    r.Type = "CustomerSlide" + std::to_string(n);
  }
  r.Name = Trim(name_);
  r.Custom = "YES";
  r.X = "0";
  r.Y = "0";
  r.Width = width_;
  r.Height = height_;
  r.SlideX = xpos_;
  r.SlideY = ypos_;
  // The autofocus point 1.5 mm left of the whole millimetre nearest to X (halves to even).
  const double x = ParseNumber(xpos_, g_.Sep).value_or(0.0);
  std::string afx = FormatFileNumber(std::nearbyint(x) - 1.5);
  for (char& c : afx)
    if (c == '.') c = g_.Sep;
  r.AFX = afx;
  r.AFY = ypos_;
  r.PKG = "5";
  return r;
}

EditRegionModel::Outcome EditRegionModel::Save() {
  try {
    ValidateFields();
    const bool changed = ypos_ != loaded_.SlideY || xpos_ != loaded_.SlideX || height_ != loaded_.Height ||
                         width_ != loaded_.Width || name_ != loaded_.Name;
    if (changed) {
      g_.WriteRegion(FillRegionRecord(IsNew()), IsNew());
      wrote_ = true;
      ClearFields();
    }
    return {true, Box::None};
  } catch (const ValidationError& e) {
    ui::messageBox(e.what(), kEditorTitle, ui::MB_OK);
    return {false, e.focus};
  } catch (const std::exception& e) {
    // A writer failure, or the region file unreadable while names are compared: the Save
    // ends here and the entries stay for another try.
    ui::messageBox(e.what(), kEditorTitle, ui::MB_OK);
    return {false, Box::None};
  }
}

EditRegionModel::Outcome EditRegionModel::Exit() {
  if (IsNew()) return {true, Box::None};
  SetText(Box::Name, loaded_.Name);
  SetText(Box::Width, loaded_.Width);
  SetText(Box::Height, loaded_.Height);
  SetText(Box::XPos, loaded_.SlideX);
  SetText(Box::YPos, loaded_.SlideY);
  try {
    ValidateFields();
    return {true, Box::None};
  } catch (const ValidationError& e) {
    const int answer = ui::messageBox(std::string("The original values for this region are incorrect.\r\n") +
                                          e.what() + "\r\nAre you sure you want to exit?",
                                      kEditorTitle, ui::MB_YESNO);
    return {answer == ui::IDYES, e.focus};
  } catch (const std::exception&) {
    return {true, Box::None};
  }
}

}  // namespace quillmark
