// The region editor's readers of the shared region files: the region database's header,
// models and limits, the region list of ChipRegions.ini, and the edits it writes back.
// Every failure is a QuillError with its text; nothing else may come out.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "Global.h"
#include "RegionFiles.h"
#include "RegionList.h"

using quillmark::Global;
using quillmark::QuillError;

void zeva_fuzz::Setup() { SetUpInstallFolder(); }

void zeva_fuzz::WriteSeeds(const std::string& folder) { WriteRegionSeeds(folder); }

namespace {

template <typename Fn>
void Try(Fn&& fn) {
  try {
    fn();
  } catch (const QuillError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = zeva_fuzz::SplitRegionInput(data, size);
  Global g(input.selector & 0x80 ? ',' : '.');
  g.InstallPath = zeva_fuzz::InstallFolder() + "/";
  g.IniPath = zeva_fuzz::WriteFile("install/ChipRegions.ini", input.ini);
  g.RegionDbPath = zeva_fuzz::WriteFile("install/RegionDB.sys", input.db);

  Try([&] {
    if (g.ReadRegionDBHeader() < 2) {
      g.LoadScannerLimits();
      return;
    }
    g.LoadScannerModels();
    // The editor loads the limits of the one model chosen; a few stand for that here.
    for (std::size_t i = 0; i < g.Models.size() && i < 3; ++i) {
      if (!g.ModelExists(g.Models[i])) std::abort();
      g.LoadModelRegionLimits(g.Models[i]);
    }
  });
  quillmark::RegionList list(g);
  Try([&] { list.Load(input.selector & 1); });
  Try([&] { g.NameExists("Full Slide", "Region1"); });

  // The edits: a region deleted (the ones after it move down) and a new one written.
  // Each changes the count by one, and the new region reads back as written.
  const std::string section = "Region" + std::to_string(1 + (input.selector >> 1) % 3);
  Try([&] {
    const int before = g.ReadRegionCount(g.ReadIni());
    g.DeleteRegion(g.LoadRegion(section));
    if (g.ReadRegionCount(g.ReadIni()) != before - 1) std::abort();
  });
  Try([&] {
    quillmark::RegionRecord r;
    r.Name = "Fuzz region";
    r.Custom = "YES";
    r.X = "1";
    r.Y = "2";
    r.Width = "10.5";
    r.Height = "3";
    r.SlideX = r.SlideY = r.AFX = r.AFY = "0";
    r.PKG = "0";
    const int before = g.ReadRegionCount(g.ReadIni());
    const quillmark::RegionRecord written = g.WriteRegion(r, true);
    const auto doc = g.ReadIni();
    if (g.ReadRegionCount(doc) != before + 1) std::abort();
    const quillmark::RegionRecord back = g.LoadRegion(doc, written.Section);
    if (back.Name != r.Name || back.Custom != r.Custom || back.X != r.X || back.Y != r.Y) std::abort();
    list.Load(false);
  });
  return 0;
}
