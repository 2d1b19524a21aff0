#include <cmath>

#include "FamilyUtil.h"
#include "zevasim/DeviceFamilies.h"

namespace zevasim {

using namespace detail;

void ControllerFamily::setVersionInfo(std::string text) {
  std::lock_guard lock(mutex_);
  version_ = std::move(text);
}

void ControllerFamily::setDspVersionInfo(std::string text) {
  std::lock_guard lock(mutex_);
  dspVersion_ = std::move(text);
}

void ControllerFamily::setDiagADC(unsigned channel, std::uint32_t value) {
  std::lock_guard lock(mutex_);
  adc_[channel] = value;
}

void ControllerFamily::setNominalSupplies() {
  struct Channel {
    unsigned channel;
    double value;    // volts, or amps for channels 7 and 8
    double divider;  // value per ADC volt
  };
  static constexpr Channel kChannels[] = {
      {0, 28.0, 4.01},    {1, 18.0, 4.01}, {2, -18.0, 4.01}, {3, 12.0, 4.01},
      {4, 15.0, 2.0},     {5, -15.0, 2.0}, {6, 5.0, 1.0},    {7, 0.4, 1 / 7.49},
      {8, 0.1, 1 / 7.49}, {9, 0.0, 1.0},   {10, 0.0, 1.0},   {11, 0.0, 1.0},
      {12, 0.0, 1.0},     {13, 5.0, 1.0},  {14, -5.0, 1.0},  {15, 5.0, 1.0}};
  std::lock_guard lock(mutex_);
  for (const Channel& c : kChannels)
    adc_[c.channel] = static_cast<std::uint32_t>(std::lround((c.value / c.divider + 10.0) * 4096.0 / 20.0));
}

void ControllerFamily::setPSD(std::uint16_t value) {
  std::lock_guard lock(mutex_);
  psd_ = value;
}

void ControllerFamily::setFlushDMAStatus(int status) {
  std::lock_guard lock(mutex_);
  flushStatus_ = status;
}

void ControllerFamily::setExtendedStatus(unsigned dspId, unsigned status) {
  std::lock_guard lock(mutex_);
  extDsp_ = dspId;
  extStatus_ = status;
}

void ControllerFamily::setPICStatus(int n, std::uint32_t value) {
  std::lock_guard lock(mutex_);
  pic_[n] = value;
}

std::array<unsigned, 4> ControllerFamily::leds() const {
  std::lock_guard lock(mutex_);
  return leds_;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> ControllerFamily::hostDateTime() const {
  std::lock_guard lock(mutex_);
  return dateTime_;
}

long ControllerFamily::commandTimeout() const {
  std::lock_guard lock(mutex_);
  return cmdTimeout_;
}

void ControllerFamily::registerCommands(Instrument& in) {
  in.setHandler("getversioninfo", [this](const Request&) {
    std::lock_guard lock(mutex_);
    return Reply::ok(version_);
  });
  in.setHandler("getdspversioninfo", [this](const Request&) {
    std::lock_guard lock(mutex_);
    return Reply::ok(dspVersion_);
  });
  in.setHandler("readdiagadc", [this](const Request& r) {
    const auto channel = r.args.size() == 1 ? platform::parseHexNumber(r.args[0]) : std::nullopt;
    if (!channel || *channel > 15) return bad();
    std::lock_guard lock(mutex_);
    const auto it = adc_.find(*channel);
    return Reply::ok(hex(it != adc_.end() ? it->second : 0x100 * *channel));
  });
  in.setHandler("psdval", [this](const Request&) {
    std::lock_guard lock(mutex_);
    return Reply::ok(hex(psd_));
  });
  in.setHandler("flushdmalatch", [this](const Request&) {
    std::lock_guard lock(mutex_);
    return flushStatus_ ? Reply::error(flushStatus_) : Reply::ok();
  });
  in.setHandler("setledmode", [this](const Request& r) {
    if (r.args.size() != 4) return bad();
    std::array<unsigned, 4> values{};
    for (std::size_t i = 0; i < 4; ++i) {
      const auto v = word32(r.args[i]);
      if (!v || *v > 0xFF) return bad();
      values[i] = *v;
    }
    std::lock_guard lock(mutex_);
    leds_ = values;
    return Reply::ok();
  });
  in.setHandler("dspextstatus", [this](const Request&) {
    std::lock_guard lock(mutex_);
    return Reply::ok(hex(extDsp_) + "," + hex(extStatus_));
  });
  in.setHandler("getpicstatus", [this](const Request& r) {
    const auto n = r.args.size() == 1 ? number(r.args[0]) : std::nullopt;
    if (!n || *n < 2 || *n > 3) return bad();
    std::lock_guard lock(mutex_);
    const auto it = pic_.find(static_cast<int>(*n));
    return Reply::ok(hex(it != pic_.end() ? it->second : 0));
  });
  in.setHandler("sethostdatetimeinfo", [this](const Request& r) {
    const auto date = r.args.size() == 2 ? word32(r.args[0]) : std::nullopt;
    const auto time = r.args.size() == 2 ? word32(r.args[1]) : std::nullopt;
    if (!date || !time) return bad();
    std::lock_guard lock(mutex_);
    dateTime_ = {*date, *time};
    return Reply::ok();
  });
  in.setHandler("setcmdtimeout", [this](const Request& r) {
    const auto value = r.args.size() == 1 ? number(r.args[0]) : std::nullopt;
    if (!value || *value < 0 || *value > INT32_MAX) return bad();
    std::lock_guard lock(mutex_);
    const long previous = cmdTimeout_;
    cmdTimeout_ = static_cast<long>(*value);
    return Reply::ok(hex(static_cast<std::uint32_t>(previous)));
  });
}

DeviceFamilies addDeviceFamilies(Instrument& instrument) {
  DeviceFamilies f;
  f.flash = std::make_shared<FlashFamily>();
  f.motors = std::make_shared<MotorFamily>();
  f.autoloader = std::make_shared<AutoloaderFamily>(f.motors);
  f.dsps = std::make_shared<DspFamily>();
  f.scans = std::make_shared<ScanFamily>();
  f.controller = std::make_shared<ControllerFamily>();
  instrument.addFamily(f.flash);
  instrument.addFamily(f.motors);
  instrument.addFamily(f.autoloader);
  instrument.addFamily(f.dsps);
  instrument.addFamily(f.scans);
  instrument.addFamily(f.controller);
  return f;
}

}  // namespace zevasim
