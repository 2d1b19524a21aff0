#pragma once
// Loading a library by name, and the module identity and version of loaded modules.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace platform {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  [[nodiscard]] bool open(const std::string& path);
  bool isOpen() const { return handle_ != nullptr; }
  void close();
  // nullptr when missing; error() then says why.
  void* symbol(const char* name);
  template <typename F>
  F function(const char* name) {
    return reinterpret_cast<F>(symbol(name));
  }
  const std::string& error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// A loaded module (executable or shared library), identified by its load base, the
// stand-in for a module handle. nullptr = none.
//
// The load base is the address where the module's lowest loadable segment is mapped
// (where its ELF header lies; the same as dladdr's dli_fbase). It is not the load bias
// (dlpi_addr), which is 0 for a main program built without PIE: the base is non-null and
// distinct for every module, the main program included.
using ModuleHandle = const void*;

// The module containing `address` (nullptr when the address is in none).
ModuleHandle moduleOf(const void* address);
// The running executable.
ModuleHandle mainProgramModule();
// The module a library of this base name (e.g. "libJotwell.so") was loaded as; nullptr
// when no such module is loaded. An exact file name wins; else a versioned file of that
// name matches ("libz.so" finds "libz.so.1"). The executable's own file name finds it.
ModuleHandle findLoadedModule(const std::string& baseName);
std::string modulePath(ModuleHandle module);

struct ModuleVersion {
  std::uint16_t major = 0, minor = 0, third = 0, fourth = 0;
  std::string buildDate;  // "Mmm dd yyyy" as the compiler gives it
  std::string buildTime;  // "hh:mm:ss"
};
// The version note the build embedded in the module (cmake: zeva_module_version);
// nullopt when the module carries none.
std::optional<ModuleVersion> moduleVersion(ModuleHandle module);
// The line every program's --version prints, from its own version note (the project's
// version, which CMake gives every module): "<program> 1.2.3.4 (built Mmm dd yyyy hh:mm:ss)";
// "<program> (no version)" without a note.
std::string programVersionLine(const std::string& program);

// The version note among the notes of one PT_NOTE segment (`align`: the segment's note
// alignment, 4 or 8); nullopt when none is there or the bytes are malformed. Every length
// is checked against `notes` before it is used. (moduleVersion's reader, open to tests.)
std::optional<ModuleVersion> findVersionNote(std::span<const std::byte> notes, std::size_t align = 4);

}  // namespace platform
