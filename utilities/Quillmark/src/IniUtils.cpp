#include "IniUtils.h"

#include "platform/profile.h"

namespace quillmark {

namespace {
std::string fileOrDefault(const std::string& file) { return file.empty() ? std::string("win.ini") : file; }
}  // namespace

std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& def,
                         const std::string& file) {
  return platform::profile::getString(fileOrDefault(file), section, key, def);
}

bool WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                   const std::string& file) {
  if (key.empty() && value.empty()) return platform::profile::deleteSection(fileOrDefault(file), section);
  return platform::profile::writeString(fileOrDefault(file), section, key, value);
}

}  // namespace quillmark
