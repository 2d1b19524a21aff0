// Registry hive files as the registry layer reads them: the parse of a hive on disk, the
// walk over its keys and values, and a hive that the layer wrote back and read again.
// A hive that cannot be parsed must stay as it is.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "platform/registry.h"

namespace reg = platform::registry;
using platform::HKEY_LOCAL_MACHINE;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string g_hive;

// The hive is read again at the next call: the layer keeps a generation count in the lock
// file, which every writer bumps.
void Touch() {
  static std::uint64_t generation = 1000;
  ++generation;
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(generation >> (8 * i));
  std::fstream lock(g_hive + ".lock", std::ios::binary | std::ios::in | std::ios::out);
  if (!lock) lock.open(g_hive + ".lock", std::ios::binary | std::ios::out | std::ios::trunc);
  lock.seekp(0);
  lock.write(bytes.data(), 8);
}

using Snapshot = std::map<std::string, std::pair<std::uint32_t, std::vector<std::uint8_t>>>;

// Every key and value, as far as a bounded walk goes; false when a call failed.
bool Walk(const std::string& path, int depth, int& budget, Snapshot& out) {
  if (--budget < 0 || depth > 16) return true;
  std::vector<std::pair<std::string, reg::Value>> values;
  if (reg::enumValues(HKEY_LOCAL_MACHINE, path, values) != reg::kOk) return false;
  for (auto& [name, value] : values) {
    reg::Value queried;
    if (reg::queryValue(HKEY_LOCAL_MACHINE, path, name, queried) != reg::kOk) return false;
    out[path + "|" + name] = {value.type, value.data};
  }
  std::vector<std::string> keys;
  if (reg::enumSubKeys(HKEY_LOCAL_MACHINE, path, keys) != reg::kOk) return false;
  for (const std::string& k : keys) {
    const std::string child = path.empty() ? k : path + "\\" + k;
    if (reg::keyExists(HKEY_LOCAL_MACHINE, child) != reg::kOk) return false;
    out[child] = {};
    if (!Walk(child, depth + 1, budget, out)) return false;
  }
  return true;
}

}  // namespace

void zeva_fuzz::Setup() {
  const std::string dir = Folder() + "/registry";
  std::filesystem::create_directories(dir);
  setenv("ZEVA_REGISTRY_DIR", dir.c_str(), 1);
  g_hive = reg::hivePath(HKEY_LOCAL_MACHINE);
}

void zeva_fuzz::WriteSeeds(const std::string& folder) {
  // What the layer itself writes: every type of value, nested keys, odd names.
  const char* key = "Software\\Tarsel\\ZevazOdizo";
  Check(reg::createKey(HKEY_LOCAL_MACHINE, key) == reg::kOk);
  Check(reg::setValue(HKEY_LOCAL_MACHINE, key, "Path", reg::makeString("/opt/zeva/")) == reg::kOk);
  Check(reg::setValue(HKEY_LOCAL_MACHINE, key, "", reg::makeString("default \"quoted\" \\ value")) ==
        reg::kOk);
  Check(reg::setValue(HKEY_LOCAL_MACHINE, key, "Count", reg::makeDword(42)) == reg::kOk);
  Check(reg::setValue(HKEY_LOCAL_MACHINE, key, "Big", reg::makeQword(0x1122334455667788ull)) == reg::kOk);
  const std::uint8_t bytes[] = {0, 1, 2, 0xFE, 0xFF};
  Check(reg::setValue(HKEY_LOCAL_MACHINE, key, "Blob", reg::makeBinary(bytes, sizeof bytes)) == reg::kOk);
  Check(reg::setValue(HKEY_LOCAL_MACHINE, key, "List",
                      reg::makeString(std::string("one\0two\0", 8), platform::REG_MULTI_SZ)) == reg::kOk);
  Check(reg::setValue(HKEY_LOCAL_MACHINE, key, "Expand",
                      reg::makeString("%HOME%/x", platform::REG_EXPAND_SZ)) == reg::kOk);
  reg::Value odd{0x1234, {9, 8, 7}};
  Check(reg::setValue(HKEY_LOCAL_MACHINE, key, "Odd type", odd) == reg::kOk);
  Check(reg::createKey(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\Brokla\\Instruments") == reg::kOk);
  WriteSeed(folder, "written.reg", zeva_fuzz::ReadFile(g_hive));
  WriteSeed(
      folder, "version5.reg",
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n\"A\"=hex:01,02,\\\r\n"
      "  03\r\n\"B\"=hex(7):61,00,00,00\r\n; comment\r\n[-HKEY_LOCAL_MACHINE\\Gone]\r\n");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(g_hive, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  Touch();
  const long state = reg::keyExists(HKEY_LOCAL_MACHINE, "");
  if (state != reg::kOk) {
    // A hive it cannot use is never written over.
    Check(state == reg::kErrorBadDb);
    Check(reg::createKey(HKEY_LOCAL_MACHINE, "Fuzz") == reg::kErrorBadDb);
    Check(zeva_fuzz::ReadFile(g_hive) == text);
    return 0;
  }
  Snapshot before;
  int budget = 400;
  Check(Walk("", 0, budget, before));
  const bool whole = budget >= 0;

  // Written back by the layer and read again, the hive holds what it held.
  if (reg::setValue(HKEY_LOCAL_MACHINE, "", "Zeva fuzz mark", reg::makeDword(1)) != reg::kOk) return 0;
  Touch();
  Snapshot after;
  budget = 400;
  Check(Walk("", 0, budget, after));
  after.erase("|Zeva fuzz mark");
  before.erase("|Zeva fuzz mark");
  if (whole && budget >= 0) Check(before == after);
  return 0;
}
