#pragma once
// What the check-carousel dialog shows, without a display: the action text with its time
// estimate, the progress texts of each check message and the slot marks for the grid.
#include <cstdint>
#include <optional>
#include <string>

#include "run/ScanMgr.h"

namespace lumetra {

class CheckCarouselModel {
 public:
  CheckCarouselModel(int startSlot, int endSlot) : m_nStartSlot(startSlot), m_nEndSlot(endSlot) {}

  int StartSlot() const { return m_nStartSlot; }
  int EndSlot() const { return m_nEndSlot; }

  // Seconds the check takes: (end - start + 1) x (12 with barcodes, else 1) + 25.
  static int EstimatedSeconds(int startSlot, int endSlot, bool readBarcode);
  // "%d minute(s)." from 60 s on (rounded to the nearest minute), else "%d seconds.".
  static std::string DurationText(int seconds);
  // The two lines of the action text, joined by CR LF.
  std::string ActionInfo(bool readBarcode) const;

  // The check starts (the Check button): busy, no cancel, no slot done.
  void Begin(bool readBarcode);
  // The user cancels a running check.
  void RequestCancel() { m_bCancelRequested = true; }

  // A slot as the grid marks it.
  struct SlotMark {
    int slot = 0;
    bool used = false;
    std::string slideId;
  };
  struct MessageResult {
    std::optional<SlotMark> mark;  // code 2: the slot to mark
    bool finished = false;         // code 3: refresh the grid, Close, unlock the door
  };
  // WM_USER+108 with its code; `text` for code 0, `slot` for code 2 (null: nothing to mark).
  MessageResult OnMessage(std::uintptr_t code, const char* text, const run::BrowsedSlotRecord* slot);

  bool IsBusy() const { return m_bBusy; }
  bool IsCancelRequested() const { return m_bCancelRequested; }
  bool IsFailed() const { return m_bFailed; }
  bool ReadsBarcodes() const { return m_bReadBarcode; }
  int SlotsDone() const { return m_nSlotsDone; }
  const std::string& ProgressInfo() const { return m_strProgressInfo; }
  const std::string& DoneText() const { return m_strDoneText; }
  int Percent() const { return m_nPercent; }  // 0..100

 private:
  void UpdateProgress();

  int m_nStartSlot;
  int m_nEndSlot;
  bool m_bReadBarcode = false;
  bool m_bBusy = false;
  bool m_bCancelRequested = false;
  bool m_bFailed = false;
  int m_nSlotsDone = 0;
  int m_nPercent = 0;
  std::string m_strProgressInfo;
  std::string m_strDoneText = "0 %";
};

}  // namespace lumetra
