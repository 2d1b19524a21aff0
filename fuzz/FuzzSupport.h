#pragma once
// What every fuzz target shares: a folder of the run's own for the readers that take a
// path, the reading of a fuzz input in parts, and the writing of seed inputs.
//
// Each target defines zeva_fuzz::Setup() (once, before the first input) and
// zeva_fuzz::WriteSeeds(folder): run with ZEVA_FUZZ_WRITE_SEEDS=<folder>, a target writes
// its seed inputs there (made with the system's own writers where it has them) and ends.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace zeva_fuzz {

void Setup();
void WriteSeeds(const std::string& folder);

// The run's folder: created on first use under the temporary folder, removed at exit.
const std::string& Folder();
// Replaces Folder()/name with `bytes`; returns its path.
std::string WriteFile(const std::string& name, std::string_view bytes);
std::string ReadFile(const std::string& path);
// Writes one seed `name` into `folder`.
void WriteSeed(const std::string& folder, const std::string& name, std::string_view bytes);

// A fuzz input taken apart front to back; reads past its end give zeros and empty parts.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}
  std::uint8_t Byte();
  std::uint16_t U16();
  // A part of at most 65535 bytes: a 16-bit little-endian length, then the bytes.
  std::string_view Part();
  std::string_view Rest() { return std::exchange(rest_, std::string_view()); }
  bool Empty() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

// The inverse of Input for the seeds: a part with its length in front.
std::string MakePart(std::string_view bytes);

}  // namespace zeva_fuzz
