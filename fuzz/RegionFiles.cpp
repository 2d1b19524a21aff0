#include "RegionFiles.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "FuzzSupport.h"
#include "Jotwell/ProductKeys.h"
#include "platform/registry.h"

namespace zeva_fuzz {

namespace {

void PutLe32(std::string& out, std::int32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(static_cast<std::uint32_t>(v) >> (8 * i)));
}

// A version 2 database: the header, then 72-byte records of name, model mask and limits.
std::string MakeDb(int records) {
  std::string db;
  PutLe32(db, 2);
  PutLe32(db, records);
  for (int r = 0; r < records; ++r) {
    std::string name = "K7431" + std::string(1, static_cast<char>('A' + r));
    name.resize(32, '\0');
    db += name;
    PutLe32(db, 1 << r);
    PutLe32(db, 0);
    for (const std::int32_t v : {2000, 500, 63000, 22100, 61000, 21600, 1000, 1000}) PutLe32(db, v);
  }
  return db;
}

}  // namespace

const std::string& InstallFolder() {
  static const std::string folder = Folder() + "/install";
  return folder;
}

void SetUpInstallFolder() {
  const std::string registry = Folder() + "/registry";
  std::filesystem::create_directories(registry);
  std::filesystem::create_directories(InstallFolder());
  setenv("ZEVA_REGISTRY_DIR", registry.c_str(), 1);
  namespace reg = platform::registry;
  for (const char* key : {zeva::kProductKey, "Software\\Tarsel\\Zevazodizo"}) {
    // A run without its installation folder would read nothing it means to.
    if (reg::createKey(platform::HKEY_LOCAL_MACHINE, key) != reg::kOk ||
        reg::setValue(platform::HKEY_LOCAL_MACHINE, key, zeva::kInstallPathValue,
                      reg::makeString(InstallFolder() + "/")) != reg::kOk)
      std::abort();
  }
}

std::string ReadDistFile(const std::string& name) {
  return ReadFile(std::string(ZEVA_DIST_DIR) + "/" + name);
}

RegionInput SplitRegionInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  RegionInput r;
  r.selector = in.Byte();
  r.ini = in.Part();
  r.db = in.Rest();
  return r;
}

std::string MakeRegionInput(std::uint8_t selector, std::string_view ini, std::string_view db) {
  return std::string(1, static_cast<char>(selector)) + MakePart(ini) + std::string(db);
}

void WriteRegionSeeds(const std::string& folder) {
  const std::string ini = ReadDistFile("ChipRegions.ini");
  const std::string db = ReadDistFile("RegionDB.sys");
  WriteSeed(folder, "shipped", MakeRegionInput(0, ini, db));
  WriteSeed(folder, "shipped-model-b", MakeRegionInput(1, ini, db));
  WriteSeed(folder, "one-record", MakeRegionInput(0, ini, MakeDb(1)));
  std::string old;
  PutLe32(old, 1);
  for (const std::int32_t v : {0, 0, 2000, 500, 63000, 22100, 61000, 21600, 1000, 1000}) PutLe32(old, v);
  WriteSeed(folder, "old-version", MakeRegionInput(0, ini, old));
  WriteSeed(folder, "custom-region",
            MakeRegionInput(
                2,
                "[ScanRegions]\r\nNumRegions=2\r\n[TarselDefault]\r\nRegion=Region1\r\nX=2000\r\nY=500\r\n"
                "AFX=500\r\nAFY=500\r\n[Region1]\r\nName=Full Slide\r\nType=TarselDefault\r\nX=0\r\nY=0\r\n"
                "W=61000\r\nH=21600\r\n[Region2]\r\nName=Mine\r\nType=CustomerSlide1\r\nCustom=YES\r\n"
                "X=-5\r\nY=99999999999\r\nW=1000\r\nH=1000\r\n[CustomerSlide1]\r\nX=1\r\nY=2\r\nAFX=3\r\n"
                "AFY=4\r\nPKG=1\r\n",
                MakeDb(3)));
}

}  // namespace zeva_fuzz
