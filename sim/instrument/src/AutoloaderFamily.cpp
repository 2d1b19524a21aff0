#include "FamilyUtil.h"
#include "zevasim/DeviceFamilies.h"

namespace zevasim {

using namespace detail;

AutoloaderFamily::AutoloaderFamily(std::shared_ptr<MotorFamily> motors) : motors_(std::move(motors)) {}

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
         [this](const MotorFamily::Axis& c) -> std::uint32_t { return present_ && c.slot == 0; });
  sensor("carouselpresent", [this](const MotorFamily::Axis&) -> std::uint32_t { return present_; });
  sensor("chipincarousel", [this](const MotorFamily::Axis& c) -> std::uint32_t {
    return present_ && slides_.count(c.slot) > 0;
  });
  sensor("fingerinslot", [this](const MotorFamily::Axis&) -> std::uint32_t { return present_ && aligned_; });
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
    const auto it = slides_.find(slot);
    if (!present_ || it == slides_.end() || it->second.barcode.empty()) return Reply::error(kStatusNoBarcode);
    return Reply::ok(it->second.barcode + "," + it->second.format);
  });
}

}  // namespace zevasim
