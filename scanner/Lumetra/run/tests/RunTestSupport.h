#pragma once
// Shared by the run side's tests: a fixture with its own registry, install and image
// folders, the process log in the test's folder and a clock whose sleeps cost nothing;
// scan lines as the board sends them; merged images read back (TiffPages.h).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TiffPages.h"
#include "platform/clock.h"
#include "testsupport/TestEnv.h"

namespace lumetra_test {

class RunTest : public testsupport::ZevaTest {
 protected:
  RunTest();
  ~RunTest() override;
  std::string logText() const;
  const std::string& outDir() const { return outDir_; }
  const std::string& install() const { return install_; }

  std::shared_ptr<platform::ManualClock> clock_;

 private:
  platform::ScopedClock scopedClock_;
  std::string install_, outDir_;
};

// One pixel record's content.
struct RawPixel {
  std::uint32_t count = 40;                // integration count (10 bits)
  std::uint32_t redSum = 0, greenSum = 0;  // what the sums stand for (multiples of 4)
  bool redLow = false, greenLow = false;
};
// One scan line as the board sends it: header (magic, line number, direction, pixels,
// green and red photodiode counts) and the pixel records.
// Copies the run report's DTD and style sheet from beside the test program (where the build
// puts them) into an installation folder, as the first run does.
void CopyReportFiles(const std::string& installFolder);

std::vector<std::uint8_t> MakeLine(int lineNumber, int direction, int pixels, int greenPd, int redPd,
                                   const std::function<RawPixel(int)>& pixel);

// The run's status text `id`, and one entry of the run report as it stands in the file.
std::string StatusText(int id);
std::string ReportEntry(const std::string& category, const std::string& text);

}  // namespace lumetra_test
