#pragma once
// Registry places that several programs share (all under HKEY_LOCAL_MACHINE unless a
// reader says otherwise). A key that only one program reads stays with that program.
// Key names compare case-insensitively and a leading or trailing backslash is ignored, so
// a reader may append "\\name" to any of these.
namespace zeva {

// The product's key; its value "Path" names the installation folder (logs, data, the
// region files), which an installation's first run writes.
inline constexpr const char* kProductKey = "Software\\Tarsel\\ZevazOdizo";
inline constexpr const char* kInstallPathValue = "Path";

// The instrument settings (under HKEY_LOCAL_MACHINE) and the user's scan settings (the
// same path under HKEY_CURRENT_USER).
inline constexpr const char* kScannerKey = "Software\\Tarsel\\ZevazOdizo\\Scanner\\";
inline constexpr const char* kScanOptionsKey = "Software\\Tarsel\\ZevazOdizo\\Scanner\\ScanOptions";

// The services: the boot service's settings, the connection manager's (a subkey per
// instrument serial number below it) and the data port's.
inline constexpr const char* kDalmorKey = "Software\\Tarsel\\ZevazOdizo\\Services\\Dalmor\\";
inline constexpr const char* kBroklaKey = "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla\\";
inline constexpr const char* kDataPortKey = "Software\\Tarsel\\ZevazOdizo\\Services\\DataPort\\";

// The address server's table: a subkey per MAC address with its value "IpAddr".
inline constexpr const char* kDalmorMacKey = "Software\\Tarsel\\ZevazOdizo\\Services\\Dalmor\\MAC\\";

}  // namespace zeva
