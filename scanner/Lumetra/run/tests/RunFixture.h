#pragma once
// The run side's tests: the configuration fixture (own registry, log without stamps,
// installation folder as "Path", recorded message boxes) plus a fixed clock in UTC, so
// that dates and times in files are known.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "ConfigFixture.h"
#include "platform/clock.h"

class RunTest : public ConfigTest {
 protected:
  // Tue Mar  5 14:07:09 2024 UTC
  static constexpr std::int64_t kStart = 1709647629;

  RunTest()
      : clock_(std::make_shared<platform::ManualClock>(platform::SystemTime(std::chrono::seconds(kStart)))),
        scopedClock_(clock_) {
    if (const char* tz = std::getenv("TZ")) savedTz_ = tz;
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
  }
  ~RunTest() override {
    if (savedTz_)
      ::setenv("TZ", savedTz_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

  std::shared_ptr<platform::ManualClock> clock_;

 private:
  platform::ScopedClock scopedClock_;
  std::optional<std::string> savedTz_;
};
