#pragma once
// Registry places that several programs share (all under HKEY_LOCAL_MACHINE).
namespace zeva {

// The product's key; its value "Path" names the installation folder (logs, data, the
// region files), which an installation's first run writes.
inline constexpr const char* kProductKey = "Software\\Tarsel\\ZevazOdizo";
inline constexpr const char* kInstallPathValue = "Path";

}  // namespace zeva
