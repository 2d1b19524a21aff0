#pragma once
// A region map of three regions (one the maker's default), ready-made profiles on it,
// and message boxes answered from a script: what the grid and profile editor tests share.
#include <deque>
#include <memory>
#include <string>

#include "ConfigFixture.h"
#include "config/CarouselCfgInfo.h"
#include "config/CarouselCfgProfileMap.h"
#include "config/ScanRegionInfoMap.h"

class ProfileTest : public ConfigTest {
 protected:
  static constexpr const char* kRegions =
      "[ScanRegions]\nNumRegions=3\n"
      "[TarselDefault]\nRegion=Region1\nX=2000\nY=500\nAFX=500\nAFY=500\n"
      "[Region1]\nName=Full Slide\nType=TarselDefault\nX=0\nY=0\nW=61000\nH=21600\n"
      "[Region2]\nName=left Half\nType=TarselDefault\nX=0\nY=0\nW=30500\nH=21600\n"
      "[Region3]\nName=Array B\nType=TarselDefault\nX=100\nY=200\nW=20000\nH=10000\n";

  ProfileTest() {
    writeSampleDb();
    regionFile_ = tempDir() + "/ChipRegions.ini";
    testsupport::writeFile(regionFile_, kRegions);
    regions_.LoadScanRegions(regionFile_.c_str(), 0);
    platform::ui::setMessageBoxHook(
        [this](const std::string& text, const std::string& caption, unsigned type) {
          boxes_.push_back(text);
          captions_.push_back(caption);
          types_.push_back(type);
          if (answers_.empty()) return platform::ui::defaultAnswer(type);
          const int answer = answers_.front();
          answers_.pop_front();
          return answer;
        });
  }

  // A plain profile: both channels at 100 %, 5 um, 16 bit, no Dyx, on "Full Slide".
  tagScanCfgStruct profile(const std::string& name) {
    tagScanCfgStruct p;
    p.Name = name;
    p.Description = name + " settings";
    p.RegionMap = &regions_;
    p.RegionName = "Full Slide";
    p.PMTRed = 100;
    p.PMTGreen = 100;
    p.DyeChannel = "R+G";
    p.ResolutionType = 2;
    p.AutoNamingPrefix1 = "<Instrument Serial #>";
    p.AutoNamingPrefix2 = "<Slot #>";
    p.OutputPath = dataDir();
    p.ScanDescription = "slides of " + name;
    return p;
  }
  tagScanCfgStruct* add(CCarouselCfgProfileMap& map, const tagScanCfgStruct& p) {
    auto owned = std::make_unique<tagScanCfgStruct>(p);
    return map.SetAt(std::move(owned));
  }
  void clearBoxes() {
    boxes_.clear();
    captions_.clear();
    types_.clear();
  }

  std::string regionFile_;
  CScanRegionInfoMap regions_;
  std::deque<int> answers_;
};
