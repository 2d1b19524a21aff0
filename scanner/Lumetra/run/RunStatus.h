#pragma once
// The run's messages to its status window (the run progress dialog, or the check-carousel
// dialog during a check) and the texts of the run's message ids.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/window.h"

namespace lumetra::run {

inline constexpr unsigned WM_SCANNER_STATUS_TEXT = platform::WM_USER + 100;
inline constexpr unsigned WM_SCANNER_STATE = platform::WM_USER + 101;
inline constexpr unsigned WM_SCAN_STATUS_LINE = platform::WM_USER + 102;  // sent: kind, const char* text
inline constexpr unsigned WM_SCAN_FILE_INFO = platform::WM_USER + 103;    // sent: 0, const ScanFileRecord*
inline constexpr unsigned WM_RUN_ENDED = platform::WM_USER + 105;  // posted: 0, 0 done / 1 failed / 2 re-init
inline constexpr unsigned WM_SLOT_RECORDED = platform::WM_USER + 106;     // posted: 0, slot
inline constexpr unsigned WM_CAROUSEL_CHECKED = platform::WM_USER + 107;  // sent: slides found, 0
inline constexpr unsigned WM_CHECK_CAROUSEL = platform::WM_USER + 108;

// Kinds of a status line (wParam of WM_SCAN_STATUS_LINE).
enum StatusLineKind : int {
  kLineProgress = 0,
  kLineSuccess = 1,
  kLineInfo = 2,
  kLineRetry = 3,
  kLineWarning = 4,
  kLineError = 5,
  kLineAttention = 7,
  kLineBarcodeMismatch = 8,
};

// What WM_SCAN_FILE_INFO points to; valid only while the message is handled.
struct ScanFileRecord {
  std::int32_t code = 1001;
  std::int32_t slot = 0;
  std::int32_t slidesDone = 0;
  const char* fileName = "";
  const char* barcode = "";
  std::int32_t lines = 0;
};

// The text of a message id in this library's string table; nullopt when it has none.
std::optional<std::string> LoadResourceString(int id);
using ResourceLookup = std::function<std::optional<std::string>(int)>;
// The string-table text, else the built-in fallback, else "Unknown message ID: %d" (and
// false). `lookup` replaces the string table (tests).
bool GetMessageText(int id, std::string& text, const ResourceLookup& lookup = LoadResourceString);

class CRunStatus {
 public:
  explicit CRunStatus(platform::Window* statusWindow = nullptr) : m_pStatusWindow(statusWindow) {}
  // Replaces the status window; returns the previous one.
  platform::Window* SetStatusWindow(platform::Window* window);
  platform::Window* GetStatusWindow() const { return m_pStatusWindow; }

  void SendStatusLine(const std::string& text, int kind);
  // The text of `id`, and a blank and the text of `id2` when id2 is set and has a text.
  void SendStatusMessage(int id, int id2, int kind);
  // The text of `id`, and "\r\n" and `extra` when extra is not empty.
  void SendStatusText(int id, const std::string& extra, int kind);
  // WM_RUN_ENDED without waiting.
  void SendAttention(int code, std::uintptr_t wParam);
  void SendScanFileInfo(const std::string& fileName, const std::string& barcode, int slot, int slidesDone,
                        int lines);

 private:
  platform::Window* m_pStatusWindow;
};

}  // namespace lumetra::run
