#pragma once
// Registry text values through the platform's registry layer.
#include <string>

#include "Jotwell/ProductKeys.h"
#include "platform/registry.h"

namespace quillmark {

// A text value; `def` when the key or value is missing or the value is not text.
std::string ReadRegValue(platform::HKEY root, const std::string& subKey, const std::string& valueName,
                         const std::string& def = {});
// Creates the key when needed and stores the value as text; false when that fails.
bool WriteRegValue(platform::HKEY root, const std::string& subKey, const std::string& valueName,
                   const std::string& value);

// The product's keys that the editor shares with the scanner program.
inline constexpr const char* kInstallKey = zeva::kProductKey;
using zeva::kScanOptionsKey;

}  // namespace quillmark
