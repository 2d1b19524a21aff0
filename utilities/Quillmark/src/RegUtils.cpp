#include "RegUtils.h"

namespace quillmark {

std::string ReadRegValue(platform::HKEY root, const std::string& subKey, const std::string& valueName,
                         const std::string& def) {
  platform::registry::Value v;
  if (platform::registry::queryValue(root, subKey, valueName, v) != platform::registry::kOk) return def;
  if (v.type != platform::REG_SZ) return def;
  std::string text(v.data.begin(), v.data.end());
  if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

bool WriteRegValue(platform::HKEY root, const std::string& subKey, const std::string& valueName,
                   const std::string& value) {
  namespace reg = platform::registry;
  return reg::createKey(root, subKey) == reg::kOk &&
         reg::setValue(root, subKey, valueName, reg::makeString(value)) == reg::kOk;
}

}  // namespace quillmark
