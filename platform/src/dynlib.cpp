#include "platform/dynlib.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <utility>

#include "platform/files.h"

namespace platform {

// ---- DynamicLibrary ----------------------------------------------------------------

DynamicLibrary::~DynamicLibrary() { close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, nullptr);
    error_ = std::move(other.error_);
  }
  return *this;
}

bool DynamicLibrary::open(const std::string& path) {
  close();
  error_.clear();
  ::dlerror();  // drop a stale message so the one read below is ours
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* e = ::dlerror();
    error_ = e ? e : "cannot load " + path;
    return false;
  }
  return true;
}

void DynamicLibrary::close() {
  if (handle_) {
    ::dlclose(handle_);
    handle_ = nullptr;
  }
}

void* DynamicLibrary::symbol(const char* name) {
  if (!handle_) {
    error_ = "library not loaded";
    return nullptr;
  }
  if (!name) {
    error_ = "no symbol name";
    return nullptr;
  }
  ::dlerror();
  void* p = ::dlsym(handle_, name);
  if (!p) {
    const char* e = ::dlerror();
    error_ = e ? e : std::string(name) + ": symbol has a null address";
  }
  return p;
}

// ---- loaded modules -------------------------------------------------------------------

namespace {

// What one entry of the loaded-object list tells about its module.
struct ModuleInfo {
  const void* base = nullptr;
  ElfW(Addr) bias = 0;
  const ElfW(Phdr) * phdr = nullptr;
  ElfW(Half) phnum = 0;
  const char* name = nullptr;
  bool isMain = false;
};

ModuleInfo describe(const dl_phdr_info& info, bool isMain) {
  ModuleInfo m;
  m.bias = info.dlpi_addr;
  m.phdr = info.dlpi_phdr;
  m.phnum = info.dlpi_phnum;
  m.name = info.dlpi_name;
  m.isMain = isMain;
  ElfW(Addr) lowest = ~ElfW(Addr){0};
  for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i)
    if (info.dlpi_phdr[i].p_type == PT_LOAD) lowest = std::min(lowest, info.dlpi_phdr[i].p_vaddr);
  if (lowest != ~ElfW(Addr){0}) {
    // Page-aligned like the mapping itself, so that it equals dladdr's dli_fbase.
    static const auto page = static_cast<ElfW(Addr)>(::sysconf(_SC_PAGESIZE));
    m.base = reinterpret_cast<const void*>((info.dlpi_addr + lowest) & ~(page - 1));
  }
  return m;
}

// Calls f(const ModuleInfo&) for every loaded module until it returns true. The main
// program comes first. f must not throw: the loader's list is locked meanwhile.
template <typename F>
void forEachModule(F f) {
  struct State {
    F* f;
    bool first = true;
  } state{&f};
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) noexcept -> int {
        auto* s = static_cast<State*>(data);
        const bool isMain = std::exchange(s->first, false);
        return (*s->f)(describe(*info, isMain)) ? 1 : 0;
      },
      &state);
}

std::string executableFile() {
  std::string buf(PATH_MAX, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
  if (n < 0 || static_cast<std::size_t>(n) >= buf.size()) return {};
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

std::string_view baseNameOf(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// "libz.so.1.2" is a versioned file of "libz.so".
bool isVersionedName(std::string_view file, std::string_view base) {
  if (file.size() <= base.size() + 1 || file.substr(0, base.size()) != base || file[base.size()] != '.')
    return false;
  const auto rest = file.substr(base.size() + 1);
  return std::all_of(rest.begin(), rest.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

constexpr std::uint32_t kVersionNoteType = 0x5a455631u;
constexpr char kVersionNoteOwner[] = "ZEVA";  // namesz 5, with the NUL
constexpr std::size_t kVersionDescSize = 32;  // uint16[4], char[12], char[12]

std::uint32_t readU32(const std::byte* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::string fixedText(const std::byte* p, std::size_t size) {
  const auto* c = reinterpret_cast<const char*>(p);
  return std::string(c, ::strnlen(c, size));
}

}  // namespace

ModuleHandle moduleOf(const void* address) {
  if (!address) return nullptr;
  const auto a = reinterpret_cast<ElfW(Addr)>(address);
  ModuleHandle found = nullptr;
  forEachModule([&](const ModuleInfo& m) noexcept {
    for (ElfW(Half) i = 0; i < m.phnum; ++i) {
      const ElfW(Phdr)& ph = m.phdr[i];
      if (ph.p_type != PT_LOAD) continue;
      const ElfW(Addr) start = m.bias + ph.p_vaddr;
      if (a >= start && a - start < ph.p_memsz) {
        found = m.base;
        return true;
      }
    }
    return false;
  });
  return found;
}

ModuleHandle mainProgramModule() {
  ModuleHandle found = nullptr;
  forEachModule([&](const ModuleInfo& m) noexcept {
    found = m.base;
    return true;
  });
  return found;
}

ModuleHandle findLoadedModule(const std::string& baseName) {
  if (baseName.empty()) return nullptr;
  const std::string exe = executableFile();
  ModuleHandle exact = nullptr, versioned = nullptr;
  forEachModule([&](const ModuleInfo& m) noexcept {
    const std::string_view file = m.isMain ? baseNameOf(exe) : baseNameOf(m.name ? m.name : "");
    if (file == baseName) {
      exact = m.base;
      return true;
    }
    if (!versioned && isVersionedName(file, baseName)) versioned = m.base;
    return false;
  });
  return exact ? exact : versioned;
}

std::string modulePath(ModuleHandle module) {
  if (!module) return {};
  bool found = false, isMain = false;
  std::string name;
  forEachModule([&](const ModuleInfo& m) noexcept {
    if (m.base != module) return false;
    found = true;
    isMain = m.isMain;
    if (m.name) name = m.name;
    return true;
  });
  if (!found) return {};
  if (isMain) return executableFile();
  if (!name.empty() && name.front() == '/') return name;
  // Loaded by a relative name (or the vdso): ask the kernel which file is mapped there.
  std::string mapped = mappedFileAt(module);
  return mapped.empty() ? name : mapped;
}

std::optional<ModuleVersion> findVersionNote(std::span<const std::byte> notes, std::size_t align) {
  if (align != 8) align = 4;
  // Name and description start at offsets aligned within the segment (which is itself
  // aligned), so padding depends on the offset, not only on the sizes.
  const auto up = [align](std::uint64_t n) { return (n + align - 1) / align * align; };
  const std::uint64_t size = notes.size();
  std::uint64_t off = 0;
  while (off < size && size - off >= 12) {
    const std::byte* h = notes.data() + off;
    const std::uint64_t nameSize = readU32(h), descSize = readU32(h + 4);
    const std::uint32_t type = readU32(h + 8);
    const std::uint64_t nameOff = off + 12;
    if (nameSize > size - nameOff) return std::nullopt;  // runs past the segment
    const std::uint64_t descOff = up(nameOff + nameSize);
    if (descOff > size || descSize > size - descOff) return std::nullopt;
    if (type == kVersionNoteType && nameSize == sizeof kVersionNoteOwner &&
        std::memcmp(notes.data() + nameOff, kVersionNoteOwner, sizeof kVersionNoteOwner) == 0 &&
        descSize >= kVersionDescSize) {
      const std::byte* d = notes.data() + descOff;
      ModuleVersion v;
      std::uint16_t parts[4];
      std::memcpy(parts, d, sizeof parts);
      v.major = parts[0];
      v.minor = parts[1];
      v.third = parts[2];
      v.fourth = parts[3];
      v.buildDate = fixedText(d + 8, 12);
      v.buildTime = fixedText(d + 20, 12);
      return v;
    }
    off = up(descOff + descSize);  // may pass the end when the last note's padding is cut
  }
  return std::nullopt;
}

std::string programVersionLine(const std::string& program) {
  const auto v = moduleVersion(mainProgramModule());
  if (!v) return program + " (no version)";
  return program + " " + std::to_string(v->major) + "." + std::to_string(v->minor) + "." +
         std::to_string(v->third) + "." + std::to_string(v->fourth) + " (built " + v->buildDate + " " +
         v->buildTime + ")";
}

std::optional<ModuleVersion> moduleVersion(ModuleHandle module) {
  if (!module) return std::nullopt;
  std::optional<ModuleVersion> result;
  forEachModule([&](const ModuleInfo& m) noexcept {
    if (m.base != module) return false;
    for (ElfW(Half) i = 0; i < m.phnum && !result; ++i) {
      const ElfW(Phdr)& ph = m.phdr[i];
      if (ph.p_type != PT_NOTE) continue;
      // Only what is mapped from the file can be read; p_memsz beyond p_filesz is not notes.
      const auto* start = reinterpret_cast<const std::byte*>(m.bias + ph.p_vaddr);
      result = findVersionNote(std::span(start, std::min(ph.p_filesz, ph.p_memsz)), ph.p_align);
    }
    return true;
  });
  return result;
}

}  // namespace platform
