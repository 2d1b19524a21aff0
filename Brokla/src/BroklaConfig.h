#pragma once
// Names and registry places of the connection manager.
#include <cstdint>

#include "Jotwell/ProductKeys.h"

namespace brokla {

inline constexpr const char* kServiceName = "Brokla";
// The service's key under HKEY_LOCAL_MACHINE is zeva::kBroklaKey (Jotwell/ProductKeys.h);
// sub-keys are appended to it.

// Services-file entries.
inline constexpr const char* kEventService = "vrelevent";    // udp
inline constexpr const char* kControlService = "vrelcntrl";  // udp
inline constexpr const char* kInstrService = "vrelinstr";    // tcp: base of the ten command ports

// Addresses in host order (first octet in the high byte). The identify broadcast and
// the interface address stay the real installation's defaults; "BCastAddr" and
// "IfaceAddr" point them elsewhere (tests and demos at loopback).
inline constexpr std::uint32_t kDefaultBroadcast = 0x0A0000FF;  // 10.0.0.255
inline constexpr std::uint32_t kDefaultIfaceAddr = 0x0A000001;  // 10.0.0.1

// Applications served at once on each pipe (15 channels, one of them listening).
inline constexpr int kMaxApps = 14;

}  // namespace brokla
