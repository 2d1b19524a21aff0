#pragma once
// The entry of the scanner user-interface library: opens the scanner window over the
// host's window and returns when the user has closed it.
#include "Lumetra/Export.h"

extern "C" {

// `hParent`: the host's window (a wxWindow* of a wx host), or null; anything that is not
// one of the process's windows counts as none. `connect`: the instrument's connect string
// ("<dotted IPv4 address>_<TCP port>"); null or empty takes the first instrument listed.
// Only one scanner window runs on a user's desktop: a second call brings the running one
// forward and returns at once.
LUMETRA_API void ShowScannerUI(void* hParent, const char* connect);
}
