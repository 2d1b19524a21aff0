#pragma once
// Reading and writing the INI files through the platform's profile layer.
#include <string>

namespace quillmark {

// The key's value; `def` when it is missing. Without a file name: "win.ini" (in the
// current folder), as the classic functions have it.
std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& def = {},
                         const std::string& file = {});
// Writes the key; with an empty key and value, deletes the section. True on success.
bool WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                   const std::string& file = {});

}  // namespace quillmark
