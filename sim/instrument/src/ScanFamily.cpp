#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "FamilyUtil.h"
#include "zevasim/DeviceFamilies.h"

namespace zevasim {

using namespace detail;

std::uint16_t ScanFamily::sample(int line, int pixel, int channel) {
  return static_cast<std::uint16_t>((line * 257 + pixel * 3 + channel * 1000) & 0xFFFF);
}

void ScanFamily::setFiducials(std::string reply) {
  std::lock_guard lock(mutex_);
  fiducials_ = std::move(reply);
}

void ScanFamily::setAutofocus(double thickness, unsigned homingStatus, unsigned encoderPos) {
  std::lock_guard lock(mutex_);
  thickness_ = thickness;
  homing_ = homingStatus;
  encoder_ = encoderPos;
}

void ScanFamily::setAFStats(std::vector<AFRecord> records, int status) {
  std::lock_guard lock(mutex_);
  afStats_ = std::move(records);
  afStatus_ = status;
}

void ScanFamily::setLaserPowers(unsigned red, unsigned green) {
  std::lock_guard lock(mutex_);
  redPower_ = red;
  greenPower_ = green;
}

void ScanFamily::setExtraScanBytes(std::size_t n) {
  std::lock_guard lock(mutex_);
  extra_ = n;
}

int ScanFamily::packageType() const {
  std::lock_guard lock(mutex_);
  return packageType_;
}

int ScanFamily::linesSent() const {
  std::lock_guard lock(mutex_);
  return line_;
}

bool ScanFamily::scanning() const {
  std::lock_guard lock(mutex_);
  return scanning_;
}

bool ScanFamily::calibrationLight() const {
  std::lock_guard lock(mutex_);
  return light_;
}

void ScanFamily::onCalibrationLight(std::function<void(bool)> observer) {
  std::lock_guard lock(mutex_);
  lightObserver_ = std::move(observer);
}

Reply ScanFamily::switchCalibrationLight(const Request& r) {
  const auto on = r.args.size() == 1 ? word32(r.args[0]) : std::nullopt;
  if (!on || *on > 1) return bad();
  std::function<void(bool)> observer;
  {
    std::lock_guard lock(mutex_);
    light_ = *on == 1;
    observer = lightObserver_;
  }
  if (observer) observer(*on == 1);
  return Reply::ok();
}

void ScanFamily::onScanStarted(std::function<void(const ScanStart&)> observer) {
  std::lock_guard lock(mutex_);
  scanObserver_ = std::move(observer);
}

std::string ScanFamily::region() const {
  std::lock_guard lock(mutex_);
  return region_;
}

ScanFamily::ScanStart ScanFamily::currentScan() const {
  std::lock_guard lock(mutex_);
  return scan_;
}

void ScanFamily::registerCommands(Instrument& in) {
  // Commands that only need their argument count right.
  for (const auto& [word, count] : std::initializer_list<std::pair<const char*, std::size_t>>{
           {"initlasers", 0}, {"enabledepthscan", 3}, {"seteomdigpot", 1}, {"setdarksubtractionvalue", 1}})
    in.setHandler(word,
                  [count = count](const Request& r) { return r.args.size() == count ? Reply::ok() : bad(); });
  in.setHandler("calibratepmt", [this](const Request& r) { return switchCalibrationLight(r); });

  in.setHandler("setpackagetype", [this](const Request& r) {
    const auto type = r.args.size() == 1 ? word32(r.args[0]) : std::nullopt;
    if (!type) return bad();
    std::lock_guard lock(mutex_);
    packageType_ = static_cast<int>(*type);
    return Reply::ok();
  });
  in.setHandler("findchrome", [this](const Request& r) {
    if (r.args.size() > 1) return bad();
    std::lock_guard lock(mutex_);
    return Reply::ok(fiducials_);
  });
  in.setHandler("setscanregion", [this](const Request& r) {
    if (r.args.size() != 8) return bad();
    const auto pixels = word32(r.args[0]);
    const auto rows = word32(r.args[1]);
    const auto vcStart = word32(r.args[2]), stageStart = word32(r.args[3]);
    const auto binX = word32(r.args[6]), binY = word32(r.args[7]);
    const auto increment = [](const std::string& text) -> std::optional<double> {
      char* end = nullptr;
      const double v = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end != '\0' || !(v >= 0 && v <= 100000)) return std::nullopt;
      return v;
    };
    const auto vcIncrement = increment(r.args[4]), stageIncrement = increment(r.args[5]);
    if (!pixels || !rows || *pixels > 20000 || *rows > 100000 || !vcStart || !stageStart || !vcIncrement ||
        !stageIncrement || !binX || !binY || *binX > 64 || *binY > 64)
      return bad();
    std::lock_guard lock(mutex_);
    pixels_ = static_cast<int>(*pixels);
    rows_ = static_cast<int>(*rows);
    region_ = restOfLine(r.line, 1);
    // The starts travel as 32-bit words: negative ones as their two's complement.
    scan_ = {pixels_,
             rows_,
             static_cast<std::int32_t>(*vcStart),
             static_cast<std::int32_t>(*stageStart),
             *vcIncrement,
             *stageIncrement,
             static_cast<int>(*binX),
             static_cast<int>(*binY),
             1};
    return Reply::ok();
  });
  in.setHandler("enableautofocus", [this](const Request& r) {
    if (r.args.size() != 2) return bad();
    std::lock_guard lock(mutex_);
    char values[96];
    std::snprintf(values, sizeof values, "%f,%x,%x", thickness_, homing_, encoder_);
    return Reply::ok(std::string(values));
  });
  in.setHandler("startscan", [this](const Request& r) {
    const auto mask = r.args.size() == 3 ? word32(r.args[0]) : std::nullopt;
    const auto passes = r.args.size() == 3 ? word32(r.args[1]) : std::nullopt;
    if (!mask || !passes) return bad();
    std::function<void(const ScanStart&)> observer;
    ScanStart started;
    {
      std::lock_guard lock(mutex_);
      mask_ = *mask;
      line_ = 0;
      scanning_ = true;
      scan_.passes = *passes == 2 ? 2 : 1;
      started = scan_;
      observer = scanObserver_;
    }
    if (observer) observer(started);
    return Reply::ok();
  });
  in.setHandler("getscanline", [this](const Request&) {
    std::lock_guard lock(mutex_);
    if (!scanning_ || line_ >= rows_) return bad();
    Reply reply = Reply::ok();
    for (int channel = 0; channel < 4; ++channel) {
      if (!(mask_ & (1u << channel))) continue;
      for (int pixel = 0; pixel < pixels_; ++pixel) {
        const std::uint16_t v = sample(line_, pixel, channel);
        reply.rawAfter.push_back(static_cast<std::uint8_t>(v >> 8));
        reply.rawAfter.push_back(static_cast<std::uint8_t>(v & 0xFF));
      }
    }
    reply.rawAfter.insert(reply.rawAfter.end(), extra_, 0xEE);
    ++line_;
    return reply;
  });
  in.setHandler("getscanresults", [this](const Request&) {
    std::lock_guard lock(mutex_);
    scanning_ = false;
    return Reply::ok();
  });
  in.setHandler("getautofocusstats", [this](const Request&) {
    std::lock_guard lock(mutex_);
    char status[8];
    std::snprintf(status, sizeof status, "%02X,", static_cast<unsigned>(afStatus_) & 0xFF);
    std::string payload = status;
    for (const AFRecord& rec : afStats_) {
      char record[16];
      std::snprintf(record, sizeof record, "%04X,%04X\n", rec.row, rec.errors);
      payload += record;
    }
    Reply reply;
    reply.frames = {payload};
    return reply;
  });
  in.setHandler("updatelaservoltage", [this](const Request& r) {
    if (r.args.size() != 2 || !word32(r.args[0]) || !word32(r.args[1])) return bad();
    std::lock_guard lock(mutex_);
    return Reply::ok(hex(redPower_) + "," + hex(greenPower_));
  });
}

Reply StatusRecordsReply(long lines) {
  constexpr std::size_t kRecordBytes = 36;  // 18 words
  Reply reply = Reply::ok();
  reply.rawAfter.assign(static_cast<std::size_t>(std::max(lines, 0L)) * kRecordBytes, 0);
  for (long line = 0; line < lines; ++line) {
    reply.rawAfter[static_cast<std::size_t>(line) * kRecordBytes] = static_cast<std::uint8_t>(line >> 8);
    reply.rawAfter[static_cast<std::size_t>(line) * kRecordBytes + 1] = static_cast<std::uint8_t>(line);
  }
  return reply;
}

}  // namespace zevasim
