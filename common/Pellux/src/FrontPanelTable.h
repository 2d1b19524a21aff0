#pragma once
// The process-wide table of the board library's entries (null when unbound).
#include "Pellux/okFrontPanelApi.h"

namespace pellux {

struct FrontPanelTable {
#define PELLUX_TABLE_SLOT(name, ret, params) ret(*name) params = nullptr;
  OK_FRONTPANEL_ENTRIES(PELLUX_TABLE_SLOT)
#undef PELLUX_TABLE_SLOT
};

// Filled once by LoadFrontPanelLibrary and read without locking afterwards.
const FrontPanelTable& okApi();

}  // namespace pellux
