#include "FuzzSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <utility>

namespace fs = std::filesystem;

namespace zeva_fuzz {

namespace {

std::string MakeFolder() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path p = fs::temp_directory_path() / ("zeva-fuzz-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) return p.string();
  }
  std::cerr << "fuzz: cannot create a folder under " << fs::temp_directory_path() << "\n";
  std::abort();
}

void RemoveFolder() {
  std::error_code ec;
  fs::remove_all(Folder(), ec);
}

}  // namespace

const std::string& Folder() {
  static const std::string folder = [] {
    std::string f = MakeFolder();
    return f;
  }();
  static const bool registered = (std::atexit(RemoveFolder), true);
  (void)registered;
  return folder;
}

std::string WriteFile(const std::string& name, std::string_view bytes) {
  const std::string path = Folder() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::cerr << "fuzz: cannot write " << path << "\n";
    std::abort();
  }
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteSeed(const std::string& folder, const std::string& name, std::string_view bytes) {
  fs::create_directories(folder);
  std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::uint8_t Input::Byte() {
  if (rest_.empty()) return 0;
  const auto b = static_cast<std::uint8_t>(rest_.front());
  rest_.remove_prefix(1);
  return b;
}

std::uint16_t Input::U16() {
  const std::uint16_t low = Byte();
  return static_cast<std::uint16_t>(low | (Byte() << 8));
}

std::string_view Input::Part() {
  const std::size_t n = std::min<std::size_t>(U16(), rest_.size());
  const std::string_view part = rest_.substr(0, n);
  rest_.remove_prefix(n);
  return part;
}

std::string MakePart(std::string_view bytes) {
  const std::size_t n = std::min<std::size_t>(bytes.size(), 0xFFFF);
  std::string out;
  out.push_back(static_cast<char>(n & 0xFF));
  out.push_back(static_cast<char>(n >> 8));
  out.append(bytes.substr(0, n));
  return out;
}

}  // namespace zeva_fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* seeds = std::getenv("ZEVA_FUZZ_WRITE_SEEDS"); seeds && *seeds) {
    zeva_fuzz::Setup();
    zeva_fuzz::WriteSeeds(seeds);
    std::exit(0);
  }
  // Nothing a target does may reach beyond this machine.
  setenv("ZEVA_NET_LOOPBACK_ONLY", "1", 1);
  zeva_fuzz::Setup();
  return 0;
}
