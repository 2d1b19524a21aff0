#pragma once
// Lengths as the editor shows them: millimetres with two decimals and the user's decimal
// separator; comparisons with a tolerance of 0.01 mm.
#include <optional>
#include <string>
#include <string_view>

namespace quillmark {

// The user's decimal separator (from the locale settings of the environment, whatever
// the process's own locale is); "." when it cannot be had or is not one byte.
std::string GetDecimalSpecifier();

// "#0.00": at least one integer digit and exactly two decimals; a value at an exact half
// (of its 15 significant digits) rounds away from zero.
std::string FormatMM(double value, char sep);
// A strict decimal number: blanks around it, an optional sign, digits with at most one
// `sep` and at least one digit. nullopt for anything else.
std::optional<double> ParseNumber(std::string_view text, char sep);
inline bool IsNumeric(std::string_view text, char sep) { return ParseNumber(text, sep).has_value(); }

// True when a - b (or b - a) is 0.01 or more, in plain double arithmetic.
bool IsGreater(double a, double b);
bool IsLess(double a, double b);

// A number as the region file stores it: rounded to 15 significant digits, no trailing
// zeros or separator ("2010" for 2009.9999999999998).
std::string FormatFileNumber(double value);

std::string Trim(std::string_view text);
// True when the text holds a control character (line breaks, tabs, NUL ...).
bool HasControlChar(std::string_view text);

}  // namespace quillmark
