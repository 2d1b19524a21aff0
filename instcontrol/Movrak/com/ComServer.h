#pragma once
// The server side of the library: its classes for registration, the module's lock count
// and the message pump that lets a waiting client thread go on dispatching its messages.

#include <string>

// True for the DSP ids 1 to 3 (tagDSPIDs).
bool IsValidDSPId(int id);
// The table's detail format `id` filled with the arguments, or "Missing message resource:
// %d" when the table has no such entry.
std::string FormatMessageResource(int id, ...);

// Installs PumpComMessages as the device model's pump (once; later calls do nothing).
void InstallMessagePump();
// Lets the calling thread's message loop (platform::com::SetThreadMessageLoop) dispatch
// what is waiting, then do its idle work; false when it met the quit message. Without a
// loop on the thread it does nothing and returns true.
bool PumpComMessages();
