#include "FamilyUtil.h"
#include "zevasim/DeviceFamilies.h"

namespace zevasim {

using namespace detail;

MotorFamily::MotorFamily() {
  Axis slow;
  slow.timeoutStatus = kStatusStageTimeout;
  slow.minPos = 0;
  slow.maxPos = 200000;
  Axis vc;
  vc.timeoutStatus = kStatusFastStageTimeout;
  vc.minPos = 0;
  vc.maxPos = 100000;
  Axis af;
  af.timeoutStatus = kStatusAutofocusTimeout;
  Axis carousel;
  carousel.physScale = 1000;  // device steps per slot
  Axis arm;
  axes_ = {{kSlowStage, slow}, {kVCStage, vc}, {kAutofocus, af}, {kCarousel, carousel}, {kArm, arm}};
}

MotorFamily::Axis MotorFamily::axis(std::uint32_t firmwareId) const {
  std::lock_guard lock(mutex_);
  return axes_.at(firmwareId);
}

void MotorFamily::setAxis(std::uint32_t firmwareId, const Axis& axis) {
  std::lock_guard lock(mutex_);
  axes_.at(firmwareId) = axis;
}

int MotorFamily::carouselSlots() const {
  std::lock_guard lock(mutex_);
  return carouselSlots_;
}

void MotorFamily::setCarouselSlots(int n) {
  std::lock_guard lock(mutex_);
  carouselSlots_ = n;
}

void MotorFamily::setArmListener(ArmListener listener) {
  std::lock_guard lock(mutex_);
  armListener_ = std::move(listener);
}

void MotorFamily::armMoved(Axis& arm, int to) {
  const int from = arm.location;
  arm.location = to;
  if (armListener_) armListener_(from, to, axes_.at(kCarousel).slot);
}

void MotorFamily::registerCommands(Instrument& in) {
  // Every motor command names its axis first; `minArgs` counts that one too.
  auto on = [this, &in](const char* word, std::size_t minArgs, auto body) {
    in.setHandler(word, [this, minArgs, body](const Request& r) -> Reply {
      if (r.args.size() < minArgs) return bad();
      const auto id = word32(r.args[0]);
      std::lock_guard lock(mutex_);
      const auto it = id ? axes_.find(*id) : axes_.end();
      if (it == axes_.end()) return bad();
      return body(it->first, it->second, r);
    });
  };
  auto flag = [](bool Axis::*member, bool value) {
    return [member, value](std::uint32_t, Axis& a, const Request&) {
      a.*member = value;
      return Reply::ok();
    };
  };

  on("initmotor", 2, [this](std::uint32_t id, Axis& a, const Request& r) {
    const auto home = number(r.args[1]);
    if (!home) return bad();
    a.initialised = true;
    if (*home) {
      a.homed = true;
      a.position = 0;
      if (id == kCarousel) a.slot = 0;
      if (id == kArm) armMoved(a, kArmAtCarousel);
    }
    return Reply::ok();
  });
  on("homemotor", 1, [this](std::uint32_t id, Axis& a, const Request&) {
    if (!a.initialised) return Reply::error(kStatusNotInitialised);
    a.homed = true;
    a.position = 0;
    if (id == kCarousel) a.slot = 0;
    if (id == kArm) armMoved(a, kArmAtCarousel);
    return Reply::ok();
  });
  on("getmotorpos", 2, [](std::uint32_t id, Axis& a, const Request& r) {
    const auto phys = number(r.args[1]);
    if (!phys || *phys < 0 || *phys > 1) return bad();
    if (!a.initialised) return Reply::error(kStatusNotInitialised);
    if (id == kCarousel) return Reply::ok(hex(static_cast<std::uint32_t>(a.slot)));
    const std::int32_t pos = *phys ? a.position / a.physScale : a.position;
    return Reply::ok(hex(static_cast<std::uint32_t>(pos)));
  });
  on("movemotor", 4, [this](std::uint32_t id, Axis& a, const Request& r) {
    const auto phys = number(r.args[1]);
    const auto relative = number(r.args[2]);
    const auto value = number(r.args[3]);
    if (!phys || !relative || !value || *phys < 0 || *phys > 1 || *relative < 0 || *relative > 1)
      return bad();
    if (!a.initialised) return Reply::error(kStatusNotInitialised);
    if (!a.homed) return Reply::error(kStatusNotHomed);
    Reply reply = Reply::ok();
    if (*phys && id == kCarousel) {  // turns by slots
      const int n = carouselSlots_ > 0 ? carouselSlots_ : 1;
      a.slot = static_cast<int>(((a.slot + *value) % n + n) % n);
      a.position = a.slot * a.physScale;
      return reply;
    }
    if (*phys && id == kArm) {
      if (*value != 1 && *value != -1) return bad();
      const bool toHolder = *value == 1;
      if (a.stuckShortfall || (toHolder && a.stuckTowardsHolder) || (!toHolder && a.stuckTowardsCarousel)) {
        armMoved(a, 0);
        return Reply::error(a.timeoutStatus);
      }
      armMoved(a, toHolder ? kArmAtHolder : kArmAtCarousel);
      return reply;
    }
    const std::int64_t amount = *phys ? *value * a.physScale : *value;
    const std::int64_t target = *relative ? a.position + amount : amount;
    if (target < a.minPos || target > a.maxPos) return bad();
    if (a.stuckShortfall) {
      const std::int64_t shortfall = target >= a.position ? *a.stuckShortfall : -*a.stuckShortfall;
      a.position = static_cast<std::int32_t>(target - shortfall);
      reply.status = a.timeoutStatus;
      reply.rest = hex(static_cast<std::uint32_t>(a.position));
      return reply;
    }
    a.position = static_cast<std::int32_t>(target);
    return reply;
  });
  on("motorgetspeed", 1, [](std::uint32_t, Axis& a, const Request&) {
    return Reply::ok(hex(static_cast<std::uint32_t>(a.speed)));
  });
  on("mtrgetmaxpos", 1, [](std::uint32_t, Axis& a, const Request&) {
    return Reply::ok(hex(static_cast<std::uint32_t>(a.maxPos)));
  });
  on("mtrgetminpos", 1, [](std::uint32_t, Axis& a, const Request&) {
    return Reply::ok(hex(static_cast<std::uint32_t>(a.minPos)));
  });
  on("motorsetspeed", 2, [](std::uint32_t, Axis& a, const Request& r) {
    const auto v = word32(r.args[1]);
    if (!v) return bad();
    a.speed = static_cast<std::int32_t>(*v);
    return Reply::ok();
  });
  on("mtrpoke", 3, [](std::uint32_t, Axis& a, const Request& r) {
    const auto address = word32(r.args[1]);
    const auto value = word32(r.args[2]);
    if (!address || !value) return bad();
    a.registers[*address] = *value;
    return Reply::ok();
  });
  on("mtrpeek", 2, [](std::uint32_t, Axis& a, const Request& r) {
    const auto address = word32(r.args[1]);
    if (!address) return bad();
    return Reply::ok("0x" + hex(a.registers[*address]));
  });
  on("tunemotor", 4, [](std::uint32_t, Axis& a, const Request& r) {
    const auto count = word32(r.args[1]);
    if (!count || *count > 20000 || !word32(r.args[2]) || !word32(r.args[3])) return bad();
    std::string bytes;
    for (std::uint32_t i = 0; i < *count; ++i)
      putLE16(bytes, a.tuneSamples.empty() ? static_cast<std::uint16_t>(100 + i)
                                           : a.tuneSamples[i % a.tuneSamples.size()]);
    return rawReply(bytes);
  });
  on("mtrenable", 1, flag(&Axis::enabled, true));
  on("mtrdisable", 1, flag(&Axis::enabled, false));
  on("mtrdriveron", 1, flag(&Axis::driverOn, true));
  on("mtrdriveroff", 1, flag(&Axis::driverOn, false));
  on("motorcalibrate", 1, flag(&Axis::calibrated, true));
  on("mtrstep", 5, [](std::uint32_t id, Axis& a, const Request& r) {
    if (id != kSlowStage) return Reply::error(kStatusNotSupported);
    const auto steps = word32(r.args[1]);
    if (!steps || *steps > 10000 || !word32(r.args[2]) || !word32(r.args[3]) || !word32(r.args[4]))
      return bad();
    std::string bytes;
    for (std::uint32_t i = 0; i < *steps; ++i) {
      const std::array<std::uint16_t, 4> step =
          a.steps.empty()
              ? std::array<std::uint16_t, 4>{static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(2 * i),
                                             static_cast<std::uint16_t>(3 * i),
                                             static_cast<std::uint16_t>(-static_cast<int>(i))}
              : a.steps[i % a.steps.size()];
      for (std::uint16_t v : step) putLE16(bytes, v);
    }
    return rawReply(bytes);
  });
  on("mtrsetparams", 9, [](std::uint32_t, Axis& a, const Request& r) {
    std::vector<std::uint32_t> values;
    for (std::size_t i = 1; i < 9; ++i) {
      const auto v = word32(r.args[i]);
      if (!v) return bad();
      values.push_back(*v);
    }
    a.params = values;
    return Reply::ok();
  });
  on("mtrsetctrlmode", 2, [](std::uint32_t, Axis& a, const Request& r) {
    const auto mode = word32(r.args[1]);
    if (!mode) return bad();
    a.ctrlMode = static_cast<std::int32_t>(*mode);
    return Reply::ok();
  });
}

}  // namespace zevasim
