#pragma once
// The server side of the library: its classes for registration, the module's lock count
// and the message pump that lets a waiting client thread go on dispatching its messages.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class CScanner;

// True for the DSP ids 1 to 3 (tagDSPIDs).
bool IsValidDSPId(int id);
// The longest FLASH key a client may name (the instrument keeps shorter ones).
inline constexpr std::size_t kMaxFlashKey = 255;
// A client's FLASH key as the C string the FLASH store takes; throws 600 for a key that
// holds a NUL (the instrument would get the part before it: another key) or is longer
// than kMaxFlashKey.
const char* FlashKeyArg(const std::string& key);
// The table's detail format `id` filled with the arguments, or "Missing message resource:
// %d" when the table has no such entry.
std::string FormatMessageResource(int id, ...);

// Installs PumpComMessages as the device model's pump (once; later calls do nothing).
void InstallMessagePump();
// Lets the calling thread's message loop (platform::com::SetThreadMessageLoop) dispatch
// what is waiting, then do its idle work; false when it met the quit message. Without a
// loop on the thread it does nothing and returns true.
bool PumpComMessages();

// A failure caught at the interface, as an error id; `text` is the failure's own text
// when it brought one (an exception that is not an error id), else empty.
struct CaughtError {
  int id = 0;
  std::string text;
};
// Runs `body`: nullopt when it returned, else what it threw as an error id: an id as it
// is, a PortStatus as 12000 + status, an allocation failure as 549, any other exception
// as 512 with its own text (an exception of the family with an id of the table as that
// id). Both automation objects build their method frames on it.
std::optional<CaughtError> CatchError(const std::function<void()>& body);

// One line of `points` 16-bit samples of the running scan into `samples` (two bytes a
// point); 600 for a missing buffer or a count that is not positive or does not fit.
void ReadScanLine(CScanner& scanner, std::int32_t points, std::uint16_t* samples);
// The browse result of one slot; `barcode`, when not null, gets at most 49 characters
// and a NUL.
void ReadBrowseCarouselInfo(CScanner& scanner, int slot, std::int32_t* chipInSlot, unsigned char* symbology,
                            unsigned char* barcode);

// The error classes of CheckErrorCode: IScanLL's table is IScanCtrl's without the few
// ids only the scanning client meets (566, 650-653, 4161, 4162).
enum class ErrorClassTable { kScanCtrl, kScanLL };
bool IsErrorOfClass(int id, unsigned errorClass, ErrorClassTable table);
