#include "run/ui/CheckCarouselModel.h"

#include <algorithm>

#include "Jotwell/Utilities.h"

namespace lumetra {

int CheckCarouselModel::EstimatedSeconds(int startSlot, int endSlot, bool readBarcode) {
  const int slots = std::max(endSlot - startSlot + 1, 0);
  return slots * (readBarcode ? 12 : 1) + 25;
}

std::string CheckCarouselModel::DurationText(int seconds) {
  if (seconds >= 60) {
    const int minutes = seconds / 60 + (seconds % 60 >= 30 ? 1 : 0);
    return FormatText("%d %s.", minutes, minutes == 1 ? "minute" : "minutes");
  }
  return FormatText("%d %s.", seconds, "seconds");
}

std::string CheckCarouselModel::ActionInfo(bool readBarcode) const {
  std::string first =
      FormatText("Check the presence of slides from slot%d to slot%d", m_nStartSlot, m_nEndSlot);
  if (readBarcode) first += " and read the barcode";
  first += ".";
  const std::string second =
      FormatText("This operation will be completed in %s",
                 DurationText(EstimatedSeconds(m_nStartSlot, m_nEndSlot, readBarcode)).c_str());
  return first + "\r\n" + second;
}

void CheckCarouselModel::Begin(bool readBarcode) {
  m_bReadBarcode = readBarcode;
  m_bBusy = true;
  m_bCancelRequested = false;
  m_nSlotsDone = 0;
  m_nPercent = 0;
  m_strDoneText = "0 %";
}

CheckCarouselModel::MessageResult CheckCarouselModel::OnMessage(std::uintptr_t code, const char* text,
                                                                const run::BrowsedSlotRecord* slot) {
  MessageResult result;
  switch (code) {
    case run::kCheckFailed:
      m_bFailed = true;
      m_strProgressInfo = FormatText("%s failed:%s", m_bReadBarcode ? "Reading barcode" : "Browsing carousel",
                                     text ? text : "");
      break;
    case run::kCheckStarted:
      m_strProgressInfo = m_bReadBarcode ? "Start reading barcode..." : "Start browsing carousel...";
      m_nSlotsDone = 0;
      m_bFailed = false;
      break;
    case run::kCheckSlot:
      if (slot) {
        const bool present = slot->present != 0;
        const std::string barcode = slot->barcode ? slot->barcode : "";
        result.mark = SlotMark{slot->slot, present, barcode};
        ++m_nSlotsDone;
        if (!present)
          m_strProgressInfo = FormatText("Slot %d: ChipPresent = No", slot->slot);
        else if (m_bReadBarcode)
          m_strProgressInfo = FormatText("Slot %d: ChipPresent = Yes, Barcode = %s", slot->slot,
                                         barcode.empty() ? "NoBarcode" : barcode.c_str());
        else
          m_strProgressInfo = FormatText("Slot %d: ChipPresent = Yes, Barcode = <not read>", slot->slot);
      }
      break;
    case run::kCheckEnded:
      m_bBusy = false;
      m_bCancelRequested = false;
      result.finished = true;
      if (!m_bFailed)
        m_strProgressInfo = m_bReadBarcode ? "Reading barcode completed" : "Browsing carousel completed";
      break;
    default:
      break;
  }
  UpdateProgress();
  return result;
}

void CheckCarouselModel::UpdateProgress() {
  const int slots = m_nEndSlot - m_nStartSlot + 1;
  if (slots <= 0) return;
  m_nPercent = std::clamp(m_nSlotsDone * 100 / slots, 0, 100);
  m_strDoneText = FormatText("%d %%", m_nSlotsDone * 100 / slots);
}

}  // namespace lumetra
