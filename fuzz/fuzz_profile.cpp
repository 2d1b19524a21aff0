// INI files as the profile layer reads them (region files, the profile file, every
// program's settings): the parse, the reads, and changes written back and read again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace profile = platform::profile;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

void zeva_fuzz::Setup() {}

void zeva_fuzz::WriteSeeds(const std::string& folder) {
  profile::Document doc;
  // Fixed names and numbers: nothing set() could refuse.
  (void)doc.set("ScanRegions", "NumRegions", "1");
  (void)doc.set("Region1", "Name", "Whole slide");
  (void)doc.set("Region1", "X", "1000");
  (void)doc.set("Profiles", "Count", "0");
  WriteSeed(folder, "written", doc.text());
  WriteSeed(
      folder, "crlf-comments",
      "; settings\r\n[General]\r\nKey = value \r\n\r\n[general]\r\nkey=second\r\n[Empty]\r\nloose line\r\n"
      "Number=-12abc\r\nlast=no line end");
  WriteSeed(folder, "odd-lines", "=no key\n[unclosed\n[ spaced ]\n a = b = c\n;x=1\n[]\nk=\n");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  profile::Document doc(text);
  // Nothing is lost or changed by reading.
  Check(doc.text() == text);

  const auto sections = doc.sectionNames();
  for (const std::string& s : sections) {
    Check(doc.hasSection(s));
    for (const std::string& k : doc.keyNames(s)) {
      const auto value = doc.get(s, k);
      Check(value.has_value());
      Check(doc.getString(s, k, "?") == *value);
      (void)doc.getInt(s, k, -1);
    }
  }
  (void)profile::sectionNumber(sections.empty() ? "" : sections.front(), "Region");

  // A value written is read back, from the document and from its text.
  const std::string section = sections.empty() ? "Fuzz" : sections.front();
  const auto keys = doc.keyNames(section);
  const std::string key = keys.empty() ? "Key" : keys.front();
  profile::Document changed = doc;
  if (changed.set(section, key, "written value")) {
    Check(changed.get(section, key) == std::optional<std::string>("written value"));
    const profile::Document again(changed.text());
    Check(again.get(section, key) == std::optional<std::string>("written value"));
    Check(again.text() == changed.text());
  }
  if (changed.set("Zeva Fuzz New", "Added", "1")) {
    const profile::Document again(changed.text());
    Check(again.getInt("Zeva Fuzz New", "Added", 0) == 1);
  }
  // Removing and renaming leave a document that reads as itself.
  profile::Document removed = doc;
  (void)removed.removeKey(section, key);  // removed or not there: it reads as itself either way
  Check(profile::Document(removed.text()).text() == removed.text());
  (void)removed.removeSection(section);
  Check(profile::Document(removed.text()).text() == removed.text());
  profile::Document renamed = doc;
  if (renamed.renameSection(section, "Renamed By Fuzz")) Check(renamed.hasSection("Renamed By Fuzz"));

  // The file forms: what is written is read back whole.
  const std::string path = zeva_fuzz::WriteFile("profile.ini", text);
  const auto read = profile::read(path);
  Check(read && read->text() == text);
  Check(profile::writeString(path, section, key, "from the file form") ==
        profile::Document(text).set(section, key, "from the file form"));
  return 0;
}
