#pragma once
// The rules every editor of scan settings shares: resolution names, the allowed
// extended-dynamic-range (Dyx) ratios and the check of output file names. No state.
#include <string>

std::string GetResolutionName(int type, bool doublePass);
// Exact, case-sensitive; outputs untouched when the name is not one of the table.
bool ParseResolutionName(const std::string& text, int* type, bool* doublePass);

bool IsValidDyxRatio(double ratio);
bool CheckDyxRatio(double ratio, unsigned pmtA, unsigned pmtB);
double GetMinDyxRatio(unsigned pmtA, unsigned pmtB);
double SnapDyxRatio(double ratio);
std::string FormatDyxRatio(double ratio);
double ParseDyxRatio(const std::string& text);
int GetDyxRatioType(double ratio);
// The ratio of a ratio type (0 = none, 1 = 0.5, 2 = 0.33, 3 = 0.2, 4 = 0.1, 5 = 0.05);
// 0.0 for any other type.
double GetDyxRatio(int type);

// The characters a file name may not hold.
inline constexpr const char* kFileNameRefusedChars = "\\/:*?\"<>|";
// False, with the message in an error box when showMessage, for an empty name or one
// holding any of \ / : * ? " < > |.
bool CheckFileName(const char* name, bool showMessage, const char* label);
// The message CheckFileName would show; empty when the name is fine.
std::string FileNameProblem(const char* name, const char* label);
