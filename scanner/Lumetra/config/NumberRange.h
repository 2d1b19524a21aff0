#pragma once
// The range of a whole-number settings item and the check of a typed or slid value
// against it, with the message the operator sees. No display needed.
#include <string>

namespace lumetra {

class NumberRange {
 public:
  // Taken as given (a reversed pair stays reversed until SetRange).
  NumberRange(long minimum, long maximum) : m_Minimum(minimum), m_Maximum(maximum) {}

  // Stores both, the smaller as the minimum.
  void SetRange(long minimum, long maximum);
  long Minimum() const { return m_Minimum; }
  long Maximum() const { return m_Maximum; }

  // The C library's atol: leading blanks skipped, stops at the first non-digit, 0 for a
  // text without digits.
  static long ToNumber(const std::string& text);
  // "A valid value should be ..." for this range.
  std::string Message() const;
  // True when the text's number lies in the range; else the message in an error box
  // captioned "Invalid Input" and false.
  bool ValidateNumber(const std::string& text) const;

 private:
  long m_Minimum;
  long m_Maximum;
};

}  // namespace lumetra
