#pragma once
// The private tags of scan images. libtiff learns them through a tag extender that is
// installed once per process (chaining the extender installed before it); libtiff's
// error and warning messages go to the process log from then on.
#include <cstdint>

#include "Tessary/Export.h"

inline constexpr std::uint32_t kTagPrivateLong = 33445;      // LONG, count passed, never written here
inline constexpr std::uint32_t kTagPrivateRational = 33446;  // RATIONAL, count passed, never written here
inline constexpr std::uint32_t kTagPrivateShort = 33447;     // SHORT, count passed, never written here
inline constexpr std::uint32_t kTagScanRecord = 37701;       // BYTE, the 3176-byte scan record
inline constexpr std::uint32_t kTagDescription = 37702;      // ASCII, counted with its terminating NUL

// Installs the tag extender and the log handlers; later calls do nothing.
TESSARY_API void InstallTiffTagExtender();
