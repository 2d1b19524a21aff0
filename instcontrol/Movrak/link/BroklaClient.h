#pragma once
// The application side of the connection manager's pipes: the hello, instrument
// enumeration, lock, query, unlock and status requests on the application pipe, and
// events in both directions on the event pipe. The pipes are process-wide.
//
// A request whose write or read fails, or whose reply is malformed (wrong type, wrong
// instrument id, length byte out of range), is a failure: no instruments, not locked.
// After a failed write or read both pipes are closed, so that a reply arriving late can
// never be taken for the next request's; the next enumeration says hello again.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/ConnectString.h"
#include "link/LanTypes.h"

// Opens the application pipe (20 ms apart, up to 1000 ms), sends the hello with the
// process id, opens the event pipe and announces the process on it. False, with both
// pipes closed, when any step fails.
bool ConnectToConnectionManager();
void DisconnectConnectionManager();
bool IsConnectionManagerConnected();

// A new table of the instruments the manager lists (type filter 255: all; else only
// that type), possibly empty; nullptr when the manager cannot be reached or answers
// wrongly, or closed the event pipe after the hello. Says hello first when the pipes are
// closed, and again (once) when a request cannot be written to pipes whose manager has gone.
std::unique_ptr<CLanInstr> EnumerateInstruments(int typeFilter);

// Lock (request true) or ask whether it is locked (false), for a table that exists.
// Throws the int error 566 when the manager no longer knows the instrument.
bool isLockedInstrument(CLanInstr* table, bool request);
// The same for the instrument a connect string "a.b.c.d_port" names: on a match `table`
// becomes a new one-entry table for it (address and port compared exactly). With no
// (or an empty) connect string, `table` must hold the table to use. When false comes
// because no instrument was found, `notFound` (if given) gets why: 643 when the manager
// gave no list, 597 when its list is empty, 513 when it lists others but not the named
// instrument; else it is left as is.
bool isLockedInstrument(const char* connectString, std::unique_ptr<CLanInstr>& table, bool request,
                        int* notFound = nullptr);

// One lock less; returns the remaining count, 0 on failure. Throws the int error 566
// when the manager no longer knows the instrument.
int UnlockInstrument(CLanInstr* table);

// The manager's COMM status and laser status bytes of the instrument.
bool GetInstrumentStatus(CLanInstr* table, std::uint8_t* comm, std::uint8_t* laser);
bool GetInstrumentCommStatus(CLanInstr* table, std::uint8_t* comm);
bool GetInstrumentLaserStatus(CLanInstr* table, std::uint8_t* laser);

// Posts CMD ABORT (bit 23: the process id is sent) or NEW APP (bit 2: `data` is sent).
bool PostInstrEvent(CLanInstr* table, EventMask mask, std::uint32_t data);
// Reads, without blocking, the first waiting event whose code is in `wantMask`
// (events of other codes are read and dropped): its code is set in `gotMask` and its
// data bytes go to `data`. False when none is waiting or the pipe failed.
bool GetInstrEvent(CLanInstr* table, EventMask wantMask, EventMask& gotMask, std::vector<std::uint8_t>& data);

// Interest in the reboot event (1), kept in the process only.
void RegisterInstrEvent(CLanInstr* table, EventMask mask);
void UnregisterInstrEvent(CLanInstr* table, EventMask mask);
