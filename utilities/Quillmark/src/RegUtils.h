#pragma once
// Registry text values through the platform's registry layer.
#include <string>

#include "platform/registry.h"

namespace quillmark {

// A text value; `def` when the key or value is missing or the value is not text.
std::string ReadRegValue(platform::HKEY root, const std::string& subKey, const std::string& valueName,
                         const std::string& def = {});
// Creates the key when needed and stores the value as text; false when that fails.
bool WriteRegValue(platform::HKEY root, const std::string& subKey, const std::string& valueName,
                   const std::string& value);

// The product's keys in the editor's own spelling (the same keys as zeva::kProductKey and
// zeva::kScanOptionsKey: key names compare case-insensitively).
inline constexpr const char* kInstallKey = "Software\\Tarsel\\Zevazodizo\\";
inline constexpr const char* kScanOptionsKey = "Software\\Tarsel\\Zevazodizo\\Scanner\\ScanOptions\\";

}  // namespace quillmark
