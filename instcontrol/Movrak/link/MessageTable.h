#pragma once
// The message string table of the automation server: error texts, device names, state
// and step texts, operation names and the detail formats of error reports, by id.
// Ids inside a range may have no text (557, 1091 ...): such a lookup fails.
#include <string>

#include "link/ErrorIds.h"

namespace movrak {

// The text of an id; nullptr when the table has none.
const char* FindMessageText(int id);
// Like the resource string loader: false (and `text` empty) when the id has no text.
bool LoadMessageString(int id, std::string& text);
// The text of an error id, or "Unknown error: <id>" when it has none.
std::string GetErrorText(int id);
// A detail format of an error report, or "Missing message resource: <id>" when missing.
std::string GetDetailFormat(int id);

}  // namespace movrak
