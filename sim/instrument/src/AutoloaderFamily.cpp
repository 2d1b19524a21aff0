#include <algorithm>

#include "FamilyUtil.h"
#include "zevasim/DeviceFamilies.h"

namespace zevasim {

using namespace detail;

AutoloaderFamily::AutoloaderFamily(std::shared_ptr<MotorFamily> motors) : motors_(std::move(motors)) {
  // The arm carries the slides: to the holder it takes the current slot's, back at the
  // carousel it leaves what it holds in the current slot (or, without a carousel, drops
  // it into the tray).
  motors_->setArmListener([this](int from, int to, int slot) {
    std::lock_guard lock(mutex_);
    if (to == MotorFamily::kArmAtHolder && from == MotorFamily::kArmAtCarousel && present_ && !askew_ &&
        !held_) {
      if (const auto it = slides_.find(slot); it != slides_.end()) {
        held_ = it->second;
        slides_.erase(it);
      }
    } else if (to == MotorFamily::kArmAtCarousel && held_) {
      if (!present_ || askew_) {
        ++tray_;
        held_.reset();
      } else if (slides_.count(slot) == 0) {
        slides_[slot] = *held_;
        held_.reset();
      }
    }
  });
}

std::optional<AutoloaderFamily::Slide> AutoloaderFamily::slide(int slot) const {
  std::lock_guard lock(mutex_);
  const auto it = slides_.find(slot);
  if (it == slides_.end()) return std::nullopt;
  return it->second;
}

std::optional<AutoloaderFamily::Slide> AutoloaderFamily::heldSlide() const {
  std::lock_guard lock(mutex_);
  return held_;
}

void AutoloaderFamily::setHeldSlide(std::optional<Slide> slide) {
  std::lock_guard lock(mutex_);
  held_ = std::move(slide);
}

int AutoloaderFamily::slidesInTray() const {
  std::lock_guard lock(mutex_);
  return tray_;
}

void AutoloaderFamily::setAskew(bool askew) {
  std::lock_guard lock(mutex_);
  askew_ = askew;
}

void AutoloaderFamily::setMapFrameSize(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  mapFrameSize_ = bytes;
}

void AutoloaderFamily::setMapLength(std::optional<std::size_t> bytes) {
  std::lock_guard lock(mutex_);
  mapLength_ = bytes;
}

std::string AutoloaderFamily::mapReply(bool barcodes, int first, int last) const {
  std::lock_guard lock(mutex_);
  std::string reply = "00,";
  for (int slot = first; slot <= last; ++slot) {
    const auto it = present_ && !askew_ ? slides_.find(slot) : slides_.end();
    const bool there = it != slides_.end();
    const bool readable = there && barcodes && !it->second.barcode.empty();
    reply += there ? '1' : '0';
    reply += readable && !it->second.format.empty() ? it->second.format[0] : '0';
    reply += there && barcodes && !readable ? "30," : "00,";
    if (barcodes) reply += (readable ? it->second.barcode : std::string()) + "\n";
  }
  return reply;
}

void AutoloaderFamily::putSlide(int slot, Slide slide) {
  std::lock_guard lock(mutex_);
  slides_[slot] = std::move(slide);
}

void AutoloaderFamily::removeSlide(int slot) {
  std::lock_guard lock(mutex_);
  slides_.erase(slot);
}

void AutoloaderFamily::setCarouselPresent(bool present) {
  std::lock_guard lock(mutex_);
  present_ = present;
}

void AutoloaderFamily::setAligned(bool aligned) {
  std::lock_guard lock(mutex_);
  aligned_ = aligned;
}

void AutoloaderFamily::overrideSensor(const std::string& word, std::optional<std::uint32_t> value) {
  std::lock_guard lock(mutex_);
  if (value)
    overrides_[word] = *value;
  else
    overrides_.erase(word);
}

void AutoloaderFamily::setDoorValue(std::uint32_t value) {
  std::lock_guard lock(mutex_);
  door_ = value;
}

void AutoloaderFamily::setSensorWord(std::uint32_t value) {
  std::lock_guard lock(mutex_);
  sensorWord_ = value;
}

bool AutoloaderFamily::doorLocked() const {
  std::lock_guard lock(mutex_);
  return locked_;
}

bool AutoloaderFamily::readerPrepared() const {
  std::lock_guard lock(mutex_);
  return prepared_;
}

bool AutoloaderFamily::readerLight() const {
  std::lock_guard lock(mutex_);
  return light_;
}

void AutoloaderFamily::registerCommands(Instrument& in) {
  // A sensor answers its override, else what `value` says of the instrument now.
  auto sensor = [this, &in](const char* word, auto value) {
    in.setHandler(word, [this, word = std::string(word), value](const Request&) {
      const MotorFamily::Axis carousel = motors_->axis(MotorFamily::kCarousel);
      std::lock_guard lock(mutex_);
      const auto it = overrides_.find(word);
      const std::uint32_t v = it != overrides_.end() ? it->second : value(carousel);
      return Reply::ok(hex(v));
    });
  };
  sensor("carouselathome",
         [this](const MotorFamily::Axis& c) -> std::uint32_t { return present_ && !askew_ && c.slot == 0; });
  sensor("carouselpresent",
         [this](const MotorFamily::Axis&) -> std::uint32_t { return present_ && !askew_; });
  sensor("chipincarousel", [this](const MotorFamily::Axis& c) -> std::uint32_t {
    return askew_ || (present_ && slides_.count(c.slot) > 0);
  });
  sensor("fingerinslot",
         [this](const MotorFamily::Axis&) -> std::uint32_t { return present_ && aligned_ && !askew_; });
  sensor("readalsensor", [this](const MotorFamily::Axis&) -> std::uint32_t { return sensorWord_; });
  sensor("doorclosed", [this](const MotorFamily::Axis&) -> std::uint32_t { return door_; });

  in.setHandler("armlocation", [this](const Request&) {
    const int location = motors_->axis(MotorFamily::kArm).location;
    std::lock_guard lock(mutex_);
    const auto it = overrides_.find("armlocation");
    return Reply::ok(hex(it != overrides_.end() ? it->second : static_cast<std::uint32_t>(location)));
  });
  in.setHandler("lockdoor", [this](const Request&) {
    std::lock_guard lock(mutex_);
    locked_ = true;
    return Reply::ok();
  });
  in.setHandler("unlockdoor", [this](const Request&) {
    std::lock_guard lock(mutex_);
    locked_ = false;
    return Reply::ok();
  });
  in.setHandler("preparebcr", [this](const Request&) {
    std::lock_guard lock(mutex_);
    prepared_ = true;
    return Reply::ok();
  });
  in.setHandler("bcrlasercontrol", [this](const Request& r) {
    const auto on = r.args.size() == 1 ? number(r.args[0]) : std::nullopt;
    if (!on || *on < 0 || *on > 1) return bad();
    std::lock_guard lock(mutex_);
    light_ = *on == 1;
    return Reply::ok();
  });
  in.setHandler("readbarcode", [this](const Request&) {
    const int slot = motors_->axis(MotorFamily::kCarousel).slot;
    std::lock_guard lock(mutex_);
    std::optional<Slide> slide = held_;
    if (!slide && present_ && !askew_) {
      if (const auto it = slides_.find(slot); it != slides_.end()) slide = it->second;
    }
    if (!slide || slide->barcode.empty()) return Reply::error(kStatusNoBarcode);
    return Reply::ok(slide->barcode + "," + slide->format);
  });
  in.setHandler("mapcarousel", [this](const Request& r) {
    // "mapcarousel B F,L"
    if (r.args.size() != 2) return bad();
    const auto barcodes = number(r.args[0]);
    const auto comma = r.args[1].find(',');
    if (!barcodes || *barcodes < 0 || *barcodes > 1 || comma == std::string::npos) return bad();
    const auto first = platform::parseHexNumber(r.args[1].substr(0, comma));
    const auto last = platform::parseHexNumber(r.args[1].substr(comma + 1));
    const int slots = motors_->carouselSlots();
    if (!first || !last || *first > *last || *last >= static_cast<std::uint32_t>(slots)) return bad();
    std::string stream = mapReply(*barcodes == 1, static_cast<int>(*first), static_cast<int>(*last));
    std::lock_guard lock(mutex_);
    if (mapLength_) stream.resize(std::min(stream.size(), *mapLength_));
    Reply reply;
    if (mapFrameSize_ > 0) {
      for (std::size_t at = 0; at < stream.size(); at += mapFrameSize_)
        reply.frames.push_back(stream.substr(at, mapFrameSize_));
    } else {
      // The code, then each slot's record in a frame of its own.
      const std::size_t record = 5;
      std::size_t at = std::min<std::size_t>(3, stream.size());
      reply.frames.push_back(stream.substr(0, at));
      while (at < stream.size()) {
        std::size_t end = std::min(stream.size(), at + record);
        if (*barcodes == 1) {
          const auto newline = stream.find('\n', end);
          end = newline == std::string::npos ? stream.size() : newline + 1;
        }
        reply.frames.push_back(stream.substr(at, end - at));
        at = end;
      }
    }
    if (reply.frames.empty()) reply.frames.push_back("");
    return reply;
  });
}

}  // namespace zevasim
