#pragma once
// What the link stand-in plays: the bytes the instrument sends (response frames, scan
// data) and the event data the connection manager hands over.
#include <cstdint>
#include <string_view>
#include <vector>

namespace link_standin {

extern std::string_view g_wire;
extern std::vector<std::uint8_t> g_event;
extern int g_executed;

}  // namespace link_standin
