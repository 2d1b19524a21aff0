#include "config/NumberRange.h"

#include <cstdlib>
#include <utility>

#include "Jotwell/Utilities.h"
#include "platform/ui.h"

namespace lumetra {

void NumberRange::SetRange(long minimum, long maximum) {
  if (minimum > maximum) std::swap(minimum, maximum);
  m_Minimum = minimum;
  m_Maximum = maximum;
}

long NumberRange::ToNumber(const std::string& text) { return std::atol(text.c_str()); }

std::string NumberRange::Message() const {
  if (m_Minimum == m_Maximum) return FormatText("A valid value should be %ld", m_Minimum);
  return FormatText("A valid value should be between %ld and %ld", m_Minimum, m_Maximum);
}

bool NumberRange::ValidateNumber(const std::string& text) const {
  const long value = ToNumber(text);
  if (m_Minimum <= value && value <= m_Maximum) return true;
  platform::ui::messageBox(Message(), "Invalid Input", platform::ui::MB_OK | platform::ui::MB_ICONERROR);
  return false;
}

}  // namespace lumetra
