#pragma once
// A region file and database of the test's own, the editor's data pointing at them, and
// message boxes recorded and answered from a script.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "Global.h"
#include "RegionDbBuilder.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "testsupport/TestEnv.h"

class QuillTest : public testsupport::ZevaTest {
 protected:
  QuillTest() {
    g_.InstallPath = tempDir() + "/";
    g_.IniPath = g_.InstallPath + "ChipRegions.ini";
    g_.RegionDbPath = g_.InstallPath + "RegionDB.sys";
    testsupport::writeFile(g_.RegionDbPath, regiondb::version2(regiondb::sampleModels()));
    g_.LoadScannerModels();
    g_.LoadModelRegionLimits("K7431A");  // MinX 2, MinY 0.5, MaxX 63, MaxY 22.1, W 1..61, H 1..21.6
    previous_ = platform::ui::setMessageBoxHook(
        [this](const std::string& text, const std::string& caption, unsigned type) {
          boxes.push_back(text);
          captions.push_back(caption);
          if (!answers.empty()) {
            const int a = answers.front();
            answers.pop_front();
            return a;
          }
          return platform::ui::defaultAnswer(type);
        });
  }
  ~QuillTest() override { platform::ui::setMessageBoxHook(previous_); }

  void writeIni(const std::string& text) const { testsupport::writeFile(g_.IniPath, text); }
  std::string ini() const { return testsupport::readFile(g_.IniPath); }

  quillmark::Global g_;
  std::vector<std::string> boxes, captions;
  std::deque<int> answers;

 private:
  platform::ui::MessageBoxHook previous_;
};

// Two maker regions and the given number of custom ones, as the editor writes them.
inline std::string regionFile(int custom, int makers = 2) {
  std::string s = "[ScanRegions]\nNumRegions=" + std::to_string(makers + custom) +
                  "\n\n[TarselDefault]\nRegion=Region1\nX=2000\nY=500\nAFX=500\nAFY=500\nPKG=0\n";
  for (int i = 1; i <= makers; ++i)
    s += "\n[Region" + std::to_string(i) + "]\nName=Maker " + std::to_string(i) +
         "\nType=TarselDefault\nCustom=NO\nX=0\nY=0\nW=" + std::to_string(10000 * i) + "\nH=20000\n";
  for (int j = 1; j <= custom; ++j) {
    const int k = makers + j;
    s += "\n[Region" + std::to_string(k) + "]\nType=CustomerSlide" + std::to_string(k - 1) +
         "\nName=Custom " + std::to_string(j) +
         "\nCustom=YES\nX=0\nY=0\nW=" + std::to_string(1000 * j + 345) + "\nH=5000\n";
    s += "\n[CustomerSlide" + std::to_string(k - 1) + "]\nX=" + std::to_string(3000 + j) +
         "\nY=1000\nAFX=1500\nAFY=1000\nPKG=5\n";
  }
  return s;
}
