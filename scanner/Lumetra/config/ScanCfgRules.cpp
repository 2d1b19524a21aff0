#include "config/ScanCfgRules.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ConfigUi.h"

namespace {

// Whole hundredths of a ratio, truncated toward zero; bounded so that no ratio from
// outside overflows the conversion.
int hundredths(double ratio) {
  const double h = ratio * 100.0;
  if (!(h > -1e6)) return -1000000;  // also NaN
  if (h > 1e6) return 1000000;
  return static_cast<int>(h);
}

bool isAllowedHundredths(int h) { return h == 0 || h == 5 || h == 10 || h == 20 || h == 33 || h == 50; }

}  // namespace

std::string GetResolutionName(int type, bool doublePass) {
  switch (type) {
    case 1:
      return "10 um";
    case 3:
      return doublePass ? "3 um double pass" : "3 um";
    case 5:
      return doublePass ? "2 um double pass" : "2 um";
    default:
      return doublePass ? "5 um double pass" : "5 um";
  }
}

bool ParseResolutionName(const std::string& text, int* type, bool* doublePass) {
  static const struct {
    const char* name;
    int type;
    bool doublePass;
  } kNames[] = {
      {"10 um", 1, false},           {"5 um", 2, false}, {"5 um double pass", 2, true}, {"3 um", 3, false},
      {"3 um double pass", 3, true}, {"2 um", 5, false}, {"2 um double pass", 5, true}};
  for (const auto& n : kNames) {
    if (text != n.name) continue;
    if (type) *type = n.type;
    if (doublePass) *doublePass = n.doublePass;
    return true;
  }
  return false;
}

bool IsValidDyxRatio(double ratio) { return isAllowedHundredths(hundredths(ratio)); }

bool CheckDyxRatio(double ratio, unsigned pmtA, unsigned pmtB) {
  const unsigned m = pmtA < pmtB ? pmtA : pmtB;
  return ratio >= 0.05 && m >= 10 && IsValidDyxRatio(ratio) && static_cast<double>(m) * ratio >= 1.0;
}

double GetMinDyxRatio(unsigned pmtA, unsigned pmtB) {
  const unsigned m = pmtA < pmtB ? pmtA : pmtB;
  if (m >= 20) return 0.05;
  if (m >= 10) return 0.1;
  return 0.0;
}

double SnapDyxRatio(double ratio) {
  const int h = hundredths(ratio);
  if (h < 5 || h > 50) return 0.0;
  if (h >= 34) return 0.5;
  if (h >= 21) return 0.33;
  if (h >= 11) return 0.2;
  if (h == 5) return 0.05;
  return 0.1;
}

std::string FormatDyxRatio(double ratio) {
  const double snapped = SnapDyxRatio(ratio);
  const int h = hundredths(snapped);
  if (h == 0 || !isAllowedHundredths(h)) return "<No Dyx>";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", snapped);
  return text;
}

double ParseDyxRatio(const std::string& text) { return SnapDyxRatio(std::strtod(text.c_str(), nullptr)); }

int GetDyxRatioType(double ratio) {
  if (!(ratio > 0.0)) return 0;
  if (ratio >= 0.5) return 1;
  if (ratio >= 0.33) return 2;
  if (ratio >= 0.2) return 3;
  if (ratio >= 0.1) return 4;
  if (ratio >= 0.05) return 5;
  return 0;
}

double GetDyxRatio(int type) {
  static const double kRatios[] = {0.0, 0.5, 0.33, 0.2, 0.1, 0.05};
  return type >= 0 && type <= 5 ? kRatios[type] : 0.0;
}

std::string FileNameProblem(const char* name, const char* label) {
  const bool hasLabel = label && *label;
  if (!name || !*name) return std::string(hasLabel ? label : "File name") + " is empty";
  if (std::strpbrk(name, kFileNameRefusedChars))
    return std::string(hasLabel ? label : "A file name") +
           " cannot contain any of the following characters:\r\n\t\\ / : * ? \" < > |";
  return {};
}

bool CheckFileName(const char* name, bool showMessage, const char* label) {
  const std::string problem = FileNameProblem(name, label);
  if (problem.empty()) return true;
  if (showMessage) lumetra::ShowErrorMessage(problem);
  return false;
}
