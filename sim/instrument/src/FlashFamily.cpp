#include <algorithm>
#include <cerrno>
#include <sstream>

#include "FamilyUtil.h"
#include "platform/files.h"
#include "zevasim/DeviceFamilies.h"

namespace zevasim {

using namespace detail;

FlashFamily::FlashFamily()
    : keys_{{"InstSerialNum", "ZS000001"},
            {"Model", "ZS-C"},
            {"MinStagePos", "0"},
            {"MaxStagePos", "200000"},
            {"ALCarouselNumSlots", "12"},
            {"EjectStagePos", "150000"},
            {"PMT1", "6000"},
            {"PMT2", "6000"},
            {"PMT3", "6000"},
            {"PMT4", "6000"},
            // The glass (75000 x 25000 um) within both stages' travel: the voice-coil
            // stage at 100000 - x (its upper end at the glass's left edge), the slow stage
            // at 2 y (its lower end at the top edge). A start beyond the corner values
            // lies off the glass. The custom regions' package type shares the maker's glass.
            {"GlassULCornerXCoord_00", "75000"},
            {"GlassULCornerYCoord_00", "25000"},
            {"GlassULCornerXCoord_05", "75000"},
            {"GlassULCornerYCoord_05", "25000"},
            {"DatumVCStagePos", "25000"},
            {"DatumStagePos", "50000"},
            {"LaserMWattToSetPointCt_G", "174.5"},
            {"LaserPDCtToMWatt_G", "2228.6"},
            {"LaserPDCtToMWatt_R", "2920.0"}} {}

bool FlashFamily::loadFile(const std::string& path, std::string* error) {
  // Read as the product reads its stored files: a FIFO does not hold the start, and a
  // device or a huge file does not grow the simulator until memory runs out.
  const auto text = platform::readStoredFile(path, kMaxFlashFileBytes);
  if (!text) {
    if (error) *error = platform::storedFileError(path, errno, kMaxFlashFileBytes);
    return false;
  }
  std::istringstream in(*text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    const auto keyEnd = line.find_first_of(" \t", start);
    const std::string key = line.substr(start, keyEnd - start);
    std::string value;
    if (keyEnd != std::string::npos) {
      const auto valueStart = line.find_first_not_of(" \t", keyEnd);
      if (valueStart != std::string::npos) value = line.substr(valueStart);
    }
    set(key, value);
  }
  return true;
}

void FlashFamily::clear() {
  std::lock_guard lock(mutex_);
  keys_.clear();
}

void FlashFamily::set(const std::string& key, const std::string& value) {
  std::lock_guard lock(mutex_);
  const auto it = std::find_if(keys_.begin(), keys_.end(), [&](const auto& kv) { return kv.first == key; });
  if (it != keys_.end())
    it->second = value;
  else
    keys_.emplace_back(key, value);
}

void FlashFamily::erase(const std::string& key) {
  std::lock_guard lock(mutex_);
  std::erase_if(keys_, [&](const auto& kv) { return kv.first == key; });
}

std::optional<std::string> FlashFamily::get(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const auto it = std::find_if(keys_.begin(), keys_.end(), [&](const auto& kv) { return kv.first == key; });
  if (it == keys_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::pair<std::string, std::string>> FlashFamily::keys() const {
  std::lock_guard lock(mutex_);
  return keys_;
}

int FlashFamily::loads() const {
  std::lock_guard lock(mutex_);
  return loads_;
}

int FlashFamily::burns() const {
  std::lock_guard lock(mutex_);
  return burns_;
}

void FlashFamily::registerCommands(Instrument& in) {
  in.setHandler("setparam", [this](const Request& r) {
    if (r.args.size() < 2) return bad();
    set(r.args[0], restOfLine(r.line, 2));  // the value may hold blanks
    return Reply::ok();
  });
  in.setHandler("getparam", [this](const Request& r) {
    if (r.args.size() != 1) return bad();
    const auto value = get(r.args[0]);
    return value ? Reply::ok(*value) : Reply::error(kStatusNoFlashKey);
  });
  in.setHandler("erasekey", [this](const Request& r) {
    if (r.args.size() != 1) return bad();
    if (!get(r.args[0])) return Reply::error(kStatusNoFlashKey);
    erase(r.args[0]);
    return Reply::ok();
  });
  in.setHandler("getkeynum", [this](const Request& r) {
    const auto n = r.args.size() == 1 ? number(r.args[0]) : std::nullopt;
    if (!n) return bad();
    std::lock_guard lock(mutex_);
    if (*n < 0 || *n >= static_cast<std::int64_t>(keys_.size())) return Reply::error(kStatusNoFlashKey);
    const auto& kv = keys_[static_cast<std::size_t>(*n)];
    return Reply::ok(kv.first + " " + kv.second);
  });
  in.setHandler("loadflash", [this](const Request&) {
    std::lock_guard lock(mutex_);
    ++loads_;
    return Reply::ok();
  });
  in.setHandler("burnflash", [this](const Request&) {
    std::lock_guard lock(mutex_);
    ++burns_;
    return Reply::ok();
  });
}

}  // namespace zevasim
