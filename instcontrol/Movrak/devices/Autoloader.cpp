// The browse is one unblocked command whose streamed reply is read slot by slot as the
// caller asks.
#include "devices/Autoloader.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "Jotwell/Logger.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Flash.h"
#include "devices/Motor.h"
#include "devices/ScanObj.h"
#include "link/LanComm.h"
#include "platform/clock.h"
#include "platform/text.h"

using namespace movrak;

namespace {

constexpr long kAlwaysSafeSlowStagePos = 100000;
constexpr long kEjectPosTolerance = 20;
constexpr int kBrowseTimeoutMs = 180000;
constexpr int kAbortTimeoutMs = 10000;
constexpr auto kAbortSettle = std::chrono::milliseconds(1000);
constexpr int kBarcodeField = 50;  // characters kept of a browsed barcode
constexpr int kBarcodeOut = 49;    // characters handed out (the caller's buffer holds 50)
constexpr int kArmAtCarousel = 1;
constexpr int kArmAtHolder = 2;

constexpr unsigned kMsgInitVCStage = 3100;
constexpr unsigned kMsgAutofocusNominal = 3101;
constexpr unsigned kMsgInitArm = 3103;
constexpr unsigned kMsgInitStage = 3104;
constexpr unsigned kMsgStageToLoad = 3105;
constexpr unsigned kMsgInitCarousel = 3106;
constexpr unsigned kMsgEjectingChip = 3107;
constexpr unsigned kMsgChipFromLaserPath = 3109;
constexpr unsigned kMsgRetractingArm = 3110;
constexpr unsigned kMsgLoadingChip = 3111;
constexpr unsigned kMsgRotatingCarousel = 3112;
constexpr unsigned kMsgReadingBarcode = 3113;
constexpr unsigned kMsgBrowsing = 3004;

constexpr const char* kBrowseStarting = "-------------------BrowseCarousel Starting------------------";
constexpr const char* kBrowseComplete = "-------------------BrowseCarousel Complete------------------";

bool IsNotHomed(int e) { return e == kErrMotorNotHomed || e == kErrMotorNotInitialised; }

// Reads and drops what is left of an unblocked command's reply, until the command has
// ended and the link is free for the next one (or the link fails).
void DrainUnblockedReply(CLanComm& comm) {
  for (;;) {
    char c = 0;
    int read = 0;
    if (comm.ReadStringUnblocked(&c, 1, &read) != 0 || read == 0) break;
  }
}

// Runs a sequence between its banners: any failure logs the closing banner before it
// is thrown on.
template <typename Body>
auto Sequence(const std::string& starting, const std::string& complete, Body body) {
  LogInfo("%s", starting.c_str());
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      LogInfo("%s", complete.c_str());
    } else {
      auto result = body();
      LogInfo("%s", complete.c_str());
      return result;
    }
  } catch (int) {
    LogInfo("%s", complete.c_str());
    throw;
  }
}

// Runs `step`; a failure logs `error` and is thrown on.
template <typename Step>
auto Logged(const std::string& error, Step step) {
  try {
    return step();
  } catch (int) {
    LogError("%s", error.c_str());
    throw;
  }
}

}  // namespace

// ---- sensors and the slow-stage rule ------------------------------------------------------

void CAutoloader::ReadAutoLoaderSensors(bool* armAtCarousel, bool* armAtHolder, bool* chipInSlot,
                                        bool* aligned, bool* present, bool* atHome, bool* doorClosed) {
  LogInfo("Reading AutoLoader Sensors...");
  if (armAtCarousel || armAtHolder) {
    const int location = m_Dev.arm.GetLocation();
    if (armAtCarousel) *armAtCarousel = location == kArmAtCarousel;
    if (armAtHolder) *armAtHolder = location == kArmAtHolder;
    LogInfo("%s", location == kArmAtCarousel ? "--Arm at Carousel"
                  : location == kArmAtHolder ? "--Arm at Holder"
                                             : "--Arm at UNKNOWN position!");
  }
  if (chipInSlot) {
    *chipInSlot = m_Dev.carousel.IsChipPresent();
    LogInfo("-%sChip in Current Slot", *chipInSlot ? "" : "-No ");
  }
  if (aligned) {
    *aligned = m_Dev.carousel.IsCarouselAligned();
    LogInfo("--Carousel %s", *aligned ? "Properly Seated" : "Not Seated Properly");
  }
  if (present) {
    *present = m_Dev.carousel.IsPresent();
    LogInfo("--Carousel is %s", *present ? "Present" : "Not Present");
  }
  if (atHome) {
    try {
      *atHome = m_Dev.carousel.IsHome();
    } catch (int) {
      *atHome = false;
    }
    LogInfo("--Carousel is %s", *atHome ? "at Home Slot" : "Not at Home Slot");
  }
  if (doorClosed) {
    *doorClosed = m_Host.IsDoorClosed();
    LogInfo("--Door is %s", *doorClosed ? "Closed" : "Open");
  }
  LogInfo("Done Reading AutoLoader Sensors");
}

bool CAutoloader::IsArmMoveSafe() {
  const long position = m_Dev.slowStage.GetPos();
  // Below the bound the stage is out of the arm's way wherever the eject position is,
  // so the key is only read when it matters.
  if (position <= kAlwaysSafeSlowStagePos) return true;
  std::int32_t eject = 0;
  try {
    eject = static_cast<std::int32_t>(m_Dev.flash.GetLong("EjectStagePos"));
  } catch (int e) {
    LogError("Unable to read the FLASH key EjectStagePos [error code: %d].", e);
    return false;
  }
  return std::llabs(static_cast<long long>(position) - eject) <= kEjectPosTolerance;
}

void CAutoloader::CheckArmMoveSafe(const char* sequence) {
  LogInfo("First Check the Slow Stage Position...");
  bool safe = false;
  try {
    safe = IsArmMoveSafe();
  } catch (int e) {
    if (IsNotHomed(e))
      LogError(
          "Slow stage not homed.  Cannot determine if it's safe to home it since we don't know it's current "
          "position and the arm is in the carousel position.  %s",
          sequence);
    else
      LogError(
          "Unable to read slow stage position. Unsafe to move arm without knowing slow stage position. %s",
          sequence);
    throw kErrArmMoveUnsafe;
  }
  if (!safe) {
    LogError(
        "Slow stage position is close to but not at the eject position.  Cannot determine if slow stage will "
        "interfere with the arm movement. %s",
        sequence);
    throw kErrArmMoveUnsafe;
  }
}

void CAutoloader::MoveArmToHolderWithRecovery(const char* failure) {
  try {
    m_Dev.arm.MoveToHolder();
    return;
  } catch (int e) {
    int error = e;
    if (e == kErrMotorTimedOut) {
      bool aligned = false;
      try {
        aligned = m_Dev.carousel.IsCarouselAligned();
      } catch (int) {
        aligned = false;
      }
      LogInfo("Check Carousel Alignment: %s", aligned ? "properly seated" : "not seated properly");
      if (aligned) {
        LogInfo("----------------RecoverArmToCarousel Starting-----------------");
        LogInfo("Moving Arm to the Carousel Position.");
        try {
          m_Dev.arm.MoveToCarousel();
          error = kErrArmToHolderTimedOut;
        } catch (int back) {
          error = kErrArmToHolderTimedOutUnrecovered;
          LogError("Unable to move arm back to carousel position [error code: %d].", back);
        }
        LogInfo("----------------RecoverArmToCarousel Complete-----------------");
      }
    }
    LogError("%s", failure);
    throw error;
  }
}

int CAutoloader::GetCarouselSlotCount() {
  if (m_nSlotCount < 0) m_nSlotCount = m_Dev.carousel.GetNumSlots();
  return m_nSlotCount;
}

// ---- sequences ------------------------------------------------------------------------------

bool CAutoloader::RecoverArmToHolder() {
  static const char* const kComplete = "----------------RecoverArmToHolder Complete-----------------";
  LogInfo("----------------RecoverArmToHolder Starting-----------------");
  bool atCarousel = false, atHolder = false, chip = false, aligned = false, present = false, home = false,
       door = false;
  ReadAutoLoaderSensors(&atCarousel, &atHolder, &chip, &aligned, &present, &home, &door);
  if (chip || !aligned) return false;

  bool safe = false;
  try {
    safe = IsArmMoveSafe();
  } catch (int) {
    LogError("Unable to read slow stage position. Unsafe to move arm without knowing slow stage position.");
    LogInfo("%s", kComplete);
    return false;
  }
  if (!safe) {
    LogError(
        "Slow stage position is close to but not at the eject position.  Cannot determine if slow stage will "
        "interfere with the arm movement. Unsafe to move the arm.");
    LogInfo("%s", kComplete);
    return false;
  }
  LogInfo("Put Autofocus Motor in open loop mode.");
  try {
    m_Dev.afMotor.SetOpenLoopMode();
  } catch (int) {
    LogError("Unable to put autofocus motor in open loop mode.");
    LogInfo("%s", kComplete);
    return false;
  }
  LogInfo("Moving Arm to the Holder Position.");
  try {
    m_Dev.arm.MoveToHolder();
  } catch (int) {
    LogError("Unable to move arm to holder position.");
    LogInfo("%s", kComplete);
    return false;
  }
  LogInfo("%s", kComplete);
  return true;
}

void CAutoloader::LoadCarousel() {
  Sequence("--------------------LoadCarousel Starting-------------------",
           "--------------------LoadCarousel Complete-------------------", [this] {
             bool atCarousel = false, atHolder = false, chip = false, present = false;
             ReadAutoLoaderSensors(&atCarousel, &atHolder, &chip, nullptr, &present, nullptr, nullptr);
             if (!atCarousel && !atHolder) {
               if (!RecoverArmToHolder()) {
                 LogInfo("Unknown Arm Position. Is it in the Middle? LoadCarousel Terminating.");
                 throw kErrArmPositionUnknown;
               }
               ReadAutoLoaderSensors(&atCarousel, &atHolder, nullptr, nullptr, nullptr, nullptr, nullptr);
             }
             if (!present) {
               LogInfo("Carousel Not Present Sensor Tripped.  LoadCarousel Terminating.");
               if (chip) {
                 LogInfo("Chip Present Sensor Tripped so Carousel Must be Askew");
                 throw kErrCarouselAskew;
               }
               LogInfo("Chip Present Sensor Not Tripped so Carousel is Just Missing");
               throw kErrCarouselNotPresent;
             }
             LogInfo("Initializing and Homing the Carousel...");
             m_Host.SetStatusMsgId(kMsgInitCarousel);
             m_Dev.carousel.Init(true);
             if (m_Dev.carousel.IsChipPresent()) {
               LogInfo("Chip Found in the Home Slot!  LoadCarousel Terminating.");
               throw kErrChipInHomeSlot;
             }
             if (atCarousel) {
               LogInfo("Arm is in Carousel Position, Arm must be Retracted.");
               CheckArmMoveSafe("LoadCarousel Terminating.");
               LogInfo("Moving Arm to the Holder Position.");
               m_Host.SetStatusMsgId(kMsgRetractingArm);
               m_Dev.arm.MoveToHolder();
             }
           });
}

void CAutoloader::EjectChip() {
  Sequence(
      "---------------------EjectChip Starting---------------------",
      "----------------------EjectChip Complete--------------------", [this] {
        LogDebug(1, "CScanner:EjectChip()");
        bool atCarousel = false, atHolder = false, chip = false, aligned = false, present = false;
        ReadAutoLoaderSensors(&atCarousel, &atHolder, &chip, &aligned, &present, nullptr, nullptr);
        if (!atCarousel && !atHolder) {
          if (!RecoverArmToHolder()) {
            LogInfo("Unknown Arm Position. Is it in the Middle? EjectChip Terminating.");
            throw kErrArmPositionUnknown;
          }
          ReadAutoLoaderSensors(&atCarousel, &atHolder, &chip, &aligned, &present, nullptr, nullptr);
        }

        if (!present) {
          LogInfo("Carousel Not Present Sensor Tripped.");
          if (chip) {
            LogError("Chip Present Sensor Tripped so Carousel Must be Askew.");
            throw kErrCarouselAskew;
          }
          LogInfo(
              "EjectChip Continuing... if a chip is in the holder, it will be ejected into the sheet metal "
              "tray.");
        }

        if (!aligned || chip) {
          if (!aligned)
            LogInfo("Arm not lined up with a carousel slot. Homing carousel...");
          else
            LogInfo("A Chip is in the current slot. Arm is at the %s position. Homing carousel...",
                    atHolder ? "holder" : "carousel");
          m_Host.SetStatusMsgId(kMsgInitCarousel);
          Logged("Unable to home carousel. EjectChip Terminating.", [this] { m_Dev.carousel.Init(true); });
          ReadAutoLoaderSensors(&atCarousel, &atHolder, &chip, &aligned, &present, nullptr, nullptr);
          if (chip) {
            LogError("Chip in home slot! EjectChip Terminating.");
            throw kErrChipInHomeSlot;
          }
        }

        m_Host.SetStatusMsgId(kMsgAutofocusNominal);
        LogInfo("Put Autofocus Motor in open loop mode.");
        m_Dev.afMotor.SetOpenLoopMode();

        if (atCarousel) {
          LogInfo("Slot is Empty. Arm is in Carousel Position, Need to Retract the Arm.");
          CheckArmMoveSafe("EjectChip Terminating.");
          LogInfo("Moving Arm to the Holder Position.");
          Logged("Unable to move arm to holder position.", [this] { m_Dev.arm.MoveToHolder(); });
        }

        LogInfo("At an Empty Slot with the Arm in the Holder Position, Move slow stage to eject position...");
        m_Dev.scan.ControlLasers(0, 0);
        m_Host.SetStatusMsgId(kMsgStageToLoad);
        const auto eject = static_cast<std::int32_t>(m_Dev.flash.GetLong("EjectStagePos"));
        try {
          m_Dev.slowStage.MoveAbs(eject);
        } catch (int e) {
          if (!IsNotHomed(e)) {
            LogError("Unable to move the slow stage to the eject position. EjectChip Terminating.");
            throw;
          }
          LogInfo("Slow stage not homed yet. Prepare to Home Slow Stage.");
          LogInfo("Must Park Fast Stage to the Far Left. Determine Leftmost Position");
          static const char* const kNoLeftmost =
              "Unable to get fast stage leftmost position. EjectChip Terminating.";
          long leftmost = 0;
          try {
            leftmost = m_Dev.vcStage.GetMinPos();
          } catch (int minError) {
            if (!IsNotHomed(minError)) {
              LogError("%s", kNoLeftmost);
              throw;
            }
            LogInfo("Fast stage not homed  yet, homing...");
            m_Host.SetStatusMsgId(kMsgInitVCStage);
            Logged("Unable to home fast stage. EjectChip Terminating.", [this] { m_Dev.vcStage.Init(true); });
            leftmost = Logged(kNoLeftmost, [this] { return m_Dev.vcStage.GetMinPos(); });
          }
          LogInfo("Leftmost position is %d", static_cast<int>(leftmost));
          m_Host.SetStatusMsgId(kMsgChipFromLaserPath);
          LogInfo("Parking fast stage at leftmost position (%d)", static_cast<int>(leftmost));
          Logged("Unable to park the fast stage. EjectChip Terminating.",
                 [this, leftmost] { m_Dev.vcStage.MoveAbs(leftmost); });
          m_Host.SetStatusMsgId(kMsgInitStage);
          LogInfo("Homing Slow Stage Now...");
          Logged("Unable to home the slow stage. EjectChip Terminating.",
                 [this] { m_Dev.slowStage.Init(true); });
          LogInfo("Moving Slow Stage to Eject Position Now...");
          m_Host.SetStatusMsgId(kMsgStageToLoad);
          Logged("Unable to move the slow stage to the eject position. EjectChip Terminating.",
                 [this, eject] { m_Dev.slowStage.MoveAbs(eject); });
        }

        static const char* const kNoArmMove =
            "Error trying to move arm to carousel position. EjectChip Terminating.";
        LogInfo("Moving arm to carousel position, possibly ejecting a chip...");
        m_Host.SetStatusMsgId(kMsgEjectingChip);
        try {
          m_Dev.arm.MoveToCarousel();
        } catch (int e) {
          if (!IsNotHomed(e)) {
            LogError("%s", kNoArmMove);
            throw;
          }
          LogInfo("Arm not initialized yet, initializing...");
          m_Host.SetStatusMsgId(kMsgInitArm);
          Logged("Unable to initialize the arm. EjectChip Terminating", [this] { m_Dev.arm.Init(true); });
          m_Host.SetStatusMsgId(kMsgEjectingChip);
          LogInfo("Now move arm to carousel position, possibly ejecting a chip...");
          Logged(kNoArmMove, [this] { m_Dev.arm.MoveToCarousel(); });
        }

        bool home = false;
        ReadAutoLoaderSensors(nullptr, nullptr, &chip, nullptr, &present, &home, nullptr);
        if (chip) {
          LogInfo("A chip was ejected into the carousel");
          if (home) {
            LogError("A chip was ejected into the home slot.");
            throw kErrChipEjectedToHome;
          }
        } else if (!present) {
          LogInfo("A chip was ejected into the sheet metal tray.");
        } else {
          LogInfo("No chip was ejected into the carousel.");
        }
      });
}

void CAutoloader::EjectCarousel() {
  Sequence("-------------------EjectCarousel Starting-------------------",
           "--------------------EjectCarousel Complete------------------", [this] {
             LogDebug(1, "CScanner:EjectCarousel()");
             LogInfo("First, call EjectChip to clear the chip holder...");
             EjectChip();
             m_Host.SetStatusMsgId(kMsgInitCarousel);
             LogInfo("Now initialize and home the carousel.");
             Logged("Unable to home the carousel", [this] { m_Dev.carousel.Init(true); });
             bool atCarousel = false, atHolder = false, chip = false, aligned = false, present = false,
                  home = false, door = false;
             ReadAutoLoaderSensors(&atCarousel, &atHolder, &chip, &aligned, &present, &home, &door);
             if (atCarousel) {
               LogInfo("Arm is in Carousel Position, Arm must be Retracted.");
               if (chip) {
                 LogError("Chip Found in the Home Slot!  Cannot retract the arm. EjectCarousel Terminating.");
                 throw kErrChipInHomeSlot;
               }
               CheckArmMoveSafe("EjectCarousel Terminating.");
               LogInfo("Moving Arm to the Holder Position.");
               m_Host.SetStatusMsgId(kMsgRetractingArm);
               Logged("Unable to retract the arm. EjectCarousel Terminating.",
                      [this] { m_Dev.arm.MoveToHolder(); });
             }
           });
}

std::string CAutoloader::LoadChip(int numTriesToReadBarcode, int slot) {
  // A slot outside the carousel is refused before anything moves: a negative one would
  // otherwise wrap round to a real slot and load the wrong slide.
  if (slot < 0 || slot >= GetCarouselSlotCount()) {
    LogError("LoadChip: Non-existent slot (%d) requested; the carousel has slots 0 to %d", slot,
             GetCarouselSlotCount() - 1);
    throw kErrBadParameter;
  }
  const int count = GetCarouselSlotCount();
  return Sequence(
      FormatText("----------------------LoadChip Starting <slot %d>---------------------", slot),
      FormatText("-------------------LoadChip Complete <slot %d>------------------------", slot),
      [this, numTriesToReadBarcode, slot, count] {
        LogDebug(1, "CScanner:LoadChip()");
        bool chip = false, present = false;
        ReadAutoLoaderSensors(nullptr, nullptr, &chip, nullptr, &present, nullptr, nullptr);
        if (!present && !chip) {
          LogInfo("Carousel Not Present. Call EjectCarousel and Terminate...");
          EjectCarousel();
          throw kErrCarouselNotPresent;
        }

        LogInfo("Calling EjectChip to Clear Chip Holder...");
        EjectChip();

        static const char* const kNoPosition =
            "Unable to read current slot position. LoadChip Terminating...";
        LogInfo("Reading Current Slot Position...");
        long position = 0;
        try {
          position = m_Dev.carousel.GetPos();
        } catch (int e) {
          if (!IsNotHomed(e)) {
            LogError("%s", kNoPosition);
            throw;
          }
          LogDebug(1, "Carousel not initialized yet, initialize and home now...");
          m_Host.SetStatusMsgId(kMsgInitCarousel);
          Logged("Unable to initialize the carousel. LoadChip Terminating...", [this] {
            m_Dev.carousel.Init(true);
            bool inHome = false;
            ReadAutoLoaderSensors(nullptr, nullptr, &inHome, nullptr, nullptr, nullptr, nullptr);
            if (inHome) {
              LogError("Chip in home slot! LoadChip Terminating...");
              throw kErrChipInHomeSlot;
            }
          });
          LogInfo("Now Read Current Slot Position...");
          position = Logged(kNoPosition, [this] { return m_Dev.carousel.GetPos(); });
        }
        LogInfo("Current Slot Position is %d", static_cast<int>(position));

        // Counter-clockwise: slot 0 means the next slot; a slot behind the current one
        // is reached by going round.
        long rotate = 0;
        if (slot == 0)
          rotate = 1;
        else if (slot < position)
          rotate = count - (position - slot);
        else
          rotate = slot - position;
        if (rotate > 0) {
          m_Host.SetStatusMsgId(kMsgRotatingCarousel);
          LogInfo("Moving Carousel CCW by %d Slots", static_cast<int>(rotate));
          Logged(FormatText("Unable to rotate carousel ccw %d slot(s). LoadChip Terminating...",
                            static_cast<int>(rotate)),
                 [this, rotate] { m_Dev.carousel.MoveRelPhys(rotate); });
        }

        bool atCarousel = false, atHolder = false, aligned = false, home = false, door = false;
        ReadAutoLoaderSensors(&atCarousel, &atHolder, &chip, &aligned, &present, &home, &door);
        position = m_Dev.carousel.GetPos();
        if (position == 0 || position >= count) {
          LogInfo("%s", position == 0 ? "Current Position is Home, Just re-home the carousel..."
                                      : "Current Position is the Last Slot, Just re-home the carousel...");
          m_Host.SetStatusMsgId(kMsgInitCarousel);
          m_Dev.carousel.Init(true);
          LogInfo("Calling EjectCarousel...");
          EjectCarousel();
          if (m_Dev.carousel.IsChipPresent()) {
            LogInfo("Chip in Home Slot. LoadChip Terminating.");
            throw kErrChipInHomeSlot;
          }
          LogInfo("No More Chips to Load.  LoadChip Terminating.");
          throw kErrNoChipToLoad;
        }
        if (!chip) {
          LogInfo("No Chip in this Slot to Load.  LoadChip Terminating.");
          throw kErrNoChipToLoad;
        }

        static const char* const kNoHolder = "Unable to move arm to holder position. LoadChip Terminating.";
        if (numTriesToReadBarcode <= 0) {
          LogInfo("No Barcode Reading Desired. Moving Arm to Holder Now...");
          m_Host.SetStatusMsgId(kMsgLoadingChip);
          MoveArmToHolderWithRecovery(kNoHolder);
          return std::string();
        }

        // A read that finds no barcode, or none it recognises, is one more failed try.
        auto readBarcode = [this](std::string& barcode) {
          try {
            barcode = m_Host.ReadBarcode();
          } catch (int e) {
            if (e != kErrNoBarcode && e != kErrBarcodeUnrecognisable) throw;
            barcode.clear();
          }
          return !barcode.empty();
        };
        LogInfo("Attempt to Read Barcode");
        m_Host.PrepareBarcodeReader();
        m_Host.SetStatusMsgId(kMsgReadingBarcode);
        std::string barcode;
        for (int attempt = 1; attempt <= numTriesToReadBarcode; ++attempt) {
          LogInfo("Moving Arm to Holder.");
          MoveArmToHolderWithRecovery("Unable to move arm to holder position. LoadChip Terminating");
          bool read = readBarcode(barcode);
          if (!read) {
            m_Host.PrepareBarcodeReader();
            LogInfo("Moving Arm to Carousel.");
            Logged("Unable to move arm to carousel position. LoadChip Terminating.",
                   [this] { m_Dev.arm.MoveToCarousel(); });
            read = readBarcode(barcode);
          }
          if (read) {
            LogInfo("Read barcode %s in %u attempt(s)", barcode.c_str(), static_cast<unsigned>(attempt));
            break;
          }
        }

        m_Host.SetStatusMsgId(kMsgLoadingChip);
        if (m_Dev.arm.GetLocation() != kArmAtHolder) {
          LogInfo("Moving Arm Back to Holder Position.");
          MoveArmToHolderWithRecovery(kNoHolder);
        }
        if (barcode.empty()) LogInfo("No Barcode Read");
        return barcode;
      });
}

// ---- carousel browse ------------------------------------------------------------------------

void CAutoloader::StartBrowseCarousel(int firstSlot, int lastSlot, bool scanBarcodes) {
  LogInfo("%s", kBrowseStarting);
  LogInfo("Starting BrowseCarousel: slot %d through slot %d, %s scan barcodes.", firstSlot, lastSlot,
          scanBarcodes ? "Do" : "Do not");
  LogDebug(1, "CScanner::StartBrowseCarousel()");
  std::unique_lock browse(m_BrowseMutex, std::try_to_lock);
  if (!browse.owns_lock() || m_bBrowseActive) {
    LogInfo("%s", kBrowseComplete);
    throw kErrInstrumentBusy;
  }

  try {
    EjectChip();
    bool atCarousel = false, atHolder = false, chip = false, aligned = false, present = false, home = false,
         door = false;
    ReadAutoLoaderSensors(&atCarousel, &atHolder, &chip, &aligned, &present, &home, &door);
    if (!atCarousel && !atHolder) {
      LogInfo("Unknown Arm Position. Is it in the Middle? BrowseCarousel Terminating.");
      throw kErrArmPositionUnknown;
    }
    if (!present) {
      LogInfo("Carousel Not Present Sensor Tripped.");
      LogInfo("Carousel Not Present. Call EjectCarousel and Terminate...");
      EjectCarousel();
      throw kErrCarouselNotPresent;
    }

    // Slots 1 (the first after the home slot) to count - 1.
    const int count = GetCarouselSlotCount();
    if (count < 1) {
      LogError("StartBrowseCarousel: the carousel has no slots (%d)", count);
      throw kErrBadParameter;
    }
    if (firstSlot < 1) {
      LogError("StartBrowseCarousel: first slot must be >= 1");
      firstSlot = 1;
    }
    if (lastSlot < firstSlot) {
      LogError("StartBrowseCarousel: last slot must be >= first slot");
      lastSlot = firstSlot;
    }
    if (lastSlot > count - 1) {
      LogError("StartBrowseCarousel: Non-existent slot (%d) requested", lastSlot);
      lastSlot = count - 1;
    }
    firstSlot = std::min(firstSlot, lastSlot);

    if (!m_Dev.comm.LockComm()) throw kErrInstrumentBusy;
    m_bBrowseHoldsMutex = true;
    m_nBrowseFirst = firstSlot;
    m_nBrowseLast = lastSlot;
    m_nBrowseSlot = firstSlot;
    m_bBrowseBarcodes = scanBarcodes;
    m_bBrowseCodeRead = false;
    const auto slots = static_cast<std::size_t>(lastSlot - firstSlot + 1);
    m_BrowsePresence.assign(slots, 0);
    m_BrowseBarcodes.assign(scanBarcodes ? slots : 0, std::array<char, kBarcodeField + 1>{});
    m_BrowseInfo.assign(slots, {'\0', 0});

    const std::string line = FormatText("%s %x %x,%x\n", "mapcarousel", scanBarcodes ? 1u : 0u,
                                        static_cast<unsigned>(firstSlot), static_cast<unsigned>(lastSlot));
    m_nBrowseSavedTimeout = m_Dev.comm.SetTimeout(kBrowseTimeoutMs);
    if (const int error = m_Dev.comm.SendUnblockedCommand(line.data(), static_cast<int>(line.size()));
        error != 0) {
      LogError("StartBrowseCarousel: sending mapcarousel failed with error: %d", error);
      FreeBrowseResults();
      m_Dev.comm.SetTimeout(m_nBrowseSavedTimeout);
      // The mutex taken above is given back, or every later command would be refused.
      m_bBrowseHoldsMutex = false;
      m_Dev.comm.UnlockComm();
      throw error;
    }
  } catch (int) {
    LogInfo("%s", kBrowseComplete);
    throw;
  }

  m_bBrowseResults = true;
  m_bBrowseActive = true;
  m_Host.SetStatusMsgId(kMsgBrowsing);
  // The state to go back to when no status thread does it (a finished browse that was
  // not stopped yet still shows browsing: keep what it saved).
  if (m_Host.GetScannerState() != kStateBrowsing) m_eBrowseSavedState = m_Host.GetScannerState();
  m_Host.SetScannerState(kStateBrowsing);
}

int CAutoloader::ReadBrowseChars(char* buffer, int count) {
  int read = 0;
  const int error = m_Dev.comm.ReadStringUnblocked(buffer, count, &read);
  if (error != 0) return error;
  return read == count ? 0 : -1;
}

void CAutoloader::ReadBrowseSlot(int slot) {
  // A short reply ends the browse with 603 and the line naming what was missing; a link
  // failure ends it with the link's error.
  auto fail = [this, slot](int result, const char* text) {
    if (result == -1) {
      LogError(text, slot);
      result = kErrTimedOut;
    } else {
      LogError("GetBrowseCarouselInfo: reading the reply for slot %d failed with error: %d", slot, result);
    }
    EndBrowse();
    throw result;
  };

  if (!m_bBrowseCodeRead) {
    char code[3];
    if (const int r = ReadBrowseChars(code, 3); r != 0)
      fail(r, "GetBrowseCarouselInfo: not enough data when reading response code");
    m_bBrowseCodeRead = true;
    const auto status = platform::parseLeadingHex(std::string_view(code, 2));
    if (!status || *status != 0) {
      const int error = status ? m_Dev.comm.TranslateStatus(*status) : kErrUnknown;
      LogError("GetBrowseCarouselInfo: mapcarousel returned error: %d", error);
      // The command mutex goes back only when the refused command has really ended:
      // another command sent before that would be refused as overlapping.
      DrainUnblockedReply(m_Dev.comm);
      EndBrowse();
      throw error;
    }
  }

  const auto index = static_cast<std::size_t>(slot - m_nBrowseFirst);
  char presence = 0, symbology = 0;
  char error[3];
  if (const int r = ReadBrowseChars(&presence, 1); r != 0)
    fail(r, "GetBrowseCarouselInfo: not enough data reading presence flag for slot %d");
  if (const int r = ReadBrowseChars(&symbology, 1); r != 0)
    fail(r, "GetBrowseCarouselInfo: not enough data reading symbology for slot %d");
  if (const int r = ReadBrowseChars(error, 3); r != 0)
    fail(r, "GetBrowseCarouselInfo: not enough data reading error code for slot %d");
  m_BrowsePresence[index] = presence == '1' ? 1 : 0;
  m_BrowseInfo[index] = {symbology,
                         static_cast<int>(platform::parseLeadingHex(std::string_view(error, 2)).value_or(0))};

  if (m_bBrowseBarcodes) {
    // The text ends at a line end; what goes beyond the field is read and dropped.
    auto& field = m_BrowseBarcodes[index];
    int kept = 0;
    for (;;) {
      char c = 0;
      if (const int r = ReadBrowseChars(&c, 1); r != 0)
        fail(r, "GetBrowseCarouselInfo: not enough data reading barcode for slot %d");
      if (c == '\n' || c == '\0') break;
      if (c == '\r') continue;
      if (kept < kBarcodeField) field[static_cast<std::size_t>(kept++)] = c;
    }
    field[static_cast<std::size_t>(kept)] = '\0';
    LogDebug(1, "BrowseCarousel: Slot %d: %s Type %c Barcode %s", slot,
             m_BrowsePresence[index] ? "PRESENT" : "EMPTY", symbology ? symbology : ' ', field.data());
  } else {
    LogDebug(1, "BrowseCarousel: Slot %d: %s", slot, m_BrowsePresence[index] ? "PRESENT" : "EMPTY");
  }
  m_nBrowseSlot = slot + 1;
}

void CAutoloader::GetBrowseCarouselInfo(int slot, int* present, char* symbology, char* barcode) {
  std::lock_guard browse(m_BrowseMutex);
  if (!m_bBrowseResults) throw kErrNoBrowse;
  if (slot < m_nBrowseFirst) {
    LogError("GetBrowseCarouselInfo: slot %d was not browsed (slots %d to %d)", slot, m_nBrowseFirst,
             m_nBrowseLast);
    throw kErrBadParameter;
  }
  if (slot > m_nBrowseLast) {
    LogError("GetBrowseCarouselInfo: slot # > lastSlot, returning last slot info");
    slot = m_nBrowseLast;
  }
  while (m_nBrowseSlot <= slot) {
    if (!m_bBrowseActive) {
      // The browse ended early (a failure was thrown then): this slot never came.
      LogError("GetBrowseCarouselInfo: not enough data reading presence flag for slot %d", m_nBrowseSlot);
      throw kErrTimedOut;
    }
    ReadBrowseSlot(m_nBrowseSlot);
    if (m_nBrowseSlot > m_nBrowseLast) {
      // The last slot read; the reply's end is what remains (see the refused map above).
      DrainUnblockedReply(m_Dev.comm);
      EndBrowse();
    }
  }

  const auto index = static_cast<std::size_t>(slot - m_nBrowseFirst);
  if (present) *present = m_BrowsePresence[index];
  if (symbology) *symbology = m_bBrowseBarcodes ? m_BrowseInfo[index].first : '\0';
  if (barcode) {
    if (m_bBrowseBarcodes) {
      const char* text = m_BrowseBarcodes[index].data();
      const std::size_t n = std::min<std::size_t>(std::strlen(text), kBarcodeOut);
      std::memcpy(barcode, text, n);
      barcode[n] = '\0';
    } else {
      barcode[0] = '\0';
    }
  }
}

void CAutoloader::EndBrowse() {
  if (!m_bBrowseActive.exchange(false)) return;
  m_Dev.comm.SetTimeout(m_nBrowseSavedTimeout);
  if (m_bBrowseHoldsMutex.exchange(false) && !m_Dev.comm.UnlockComm())
    LogError("BrowseCarousel: the command mutex was taken by another thread and could not be released here");
  LogInfo("%s", kBrowseComplete);
  // The status thread takes the scanner back out of browsing; without one, nothing would.
  if (!m_Host.IsStatusThreadRunning() && m_Host.GetScannerState() == kStateBrowsing)
    m_Host.SetScannerState(m_eBrowseSavedState);
}

void CAutoloader::FreeBrowseResults() {
  m_bBrowseResults = false;
  m_BrowsePresence.clear();
  m_BrowseBarcodes.clear();
  m_BrowseInfo.clear();
}

void CAutoloader::StopBrowseCarousel() {
  std::lock_guard browse(m_BrowseMutex);
  // Only a browse that still holds the command mutex has a command running to abort;
  // after its last slot it gave both up, and an abort now would hit another command.
  const bool running = m_bBrowseActive && m_bBrowseHoldsMutex;
  if (running) {
    LogDebug(1, "Sending ABORT Message to Instrument");
    m_Dev.comm.SetTimeout(kAbortTimeoutMs);
  }
  LogInfo("BrowseCarousel Terminating.");
  FreeBrowseResults();
  if (!running) {
    m_bBrowseActive = false;
    return;
  }
  const bool aborted = m_Dev.comm.AbortCommand() == 0;
  if (aborted) {
    platform::sleepFor(kAbortSettle);
    DrainUnblockedReply(m_Dev.comm);
  }
  EndBrowse();
  if (!aborted) throw kErrAbortScan;
}

int CAutoloader::IsBrowseCarouselDone() {
  if (m_bBrowseActive) return 0;
  return m_Dev.comm.SerialPoll() == 1 ? 0 : 1;
}
