#pragma once
// The simulated controller's device commands, one family per part of the instrument:
// the FLASH store, the motor axes, the autoloader and door sensors with the barcode
// reader, the DSPs, the scan commands, and the controller's own odds and ends (versions,
// diagnostic ADC, LEDs, extended statuses, clock, command time-out).
//
// Replies follow the controller's convention: a hexadecimal status, then "," and the
// values (hexadecimal unless the command says otherwise). Raw 16-bit words (tuning and
// step samples, DSP memory dumps, scan lines) are big-endian. Every family keeps its
// state behind its own mutex, so tests may read and script it while commands arrive.
// Delays and other misbehaviour come from the instrument's fault injection.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zevasim/SimInstrument.h"

namespace zevasim {

// Controller statuses the families answer with.
inline constexpr int kStatusDspMailbox = 0x03;      // DSP command failed, non-zero mailbox
inline constexpr int kStatusBadParameters = 0x05;   // bad parameters
inline constexpr int kStatusFatalScan = 0x08;       // fatal error during scan
inline constexpr int kStatusNoFlashKey = 0x0D;      // no such FLASH key
inline constexpr int kStatusStageTimeout = 0x14;    // the slow stage did not arrive in time
inline constexpr int kStatusNotHomed = 0x19;        // the motor has not been homed
inline constexpr int kStatusNotInitialised = 0x1B;  // the motor has not been initialised
inline constexpr int kStatusNotSupported = 0x1C;    // the motor does not support the action
inline constexpr int kStatusMotorTimeout = 0x21;    // autoloader motors
inline constexpr int kStatusFastStageTimeout = 0x22;
inline constexpr int kStatusAutofocusTimeout = 0x23;
inline constexpr int kStatusVoiceCoilFatal = 0x2B;    // 43: ask for the extended DSP status
inline constexpr int kStatusNoBarcode = 0x30;         // no barcode found
inline constexpr int kStatusAutofocusPartial = 0x31;  // autofocus failed to home on some elements

// ---- FLASH store -------------------------------------------------------------------------
// "setparam KEY VALUE", "getparam KEY", "erasekey KEY", "getkeynum N", "loadflash",
// "burnflash". Keys keep the order they were first set in (the order "getkeynum" walks).
class FlashFamily final : public CommandFamily {
 public:
  FlashFamily();  // seeded with a plausible instrument's keys
  void registerCommands(Instrument& instrument) override;

  // Reads "KEY VALUE" lines (the value is the rest of the line; blank lines and lines
  // starting with '#' are skipped) and sets each key. False, with the reason in `error`,
  // when the file cannot be read, is no regular file or is larger than kMaxFlashFileBytes.
  static constexpr std::uint64_t kMaxFlashFileBytes = std::uint64_t{1} << 20;
  bool loadFile(const std::string& path, std::string* error = nullptr);
  void clear();
  void set(const std::string& key, const std::string& value);
  void erase(const std::string& key);
  std::optional<std::string> get(const std::string& key) const;
  std::vector<std::pair<std::string, std::string>> keys() const;
  int loads() const;
  int burns() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> keys_;
  int loads_ = 0;
  int burns_ = 0;
};

// ---- motors --------------------------------------------------------------------------------
// Per axis (by the controller's firmware id): initialised and homed flags, a position in
// device units (physical units = device units / physScale), limits, speed, registers,
// tuning and step samples. Moves need an initialised and homed axis and a target within
// the limits. The carousel's physical moves turn it by slots and the arm's take it to
// the holder (1) or the carousel (-1); the carousel's position is its slot. Homing the
// arm takes it to the carousel.
class MotorFamily final : public CommandFamily {
 public:
  static constexpr std::uint32_t kSlowStage = 0x2000001;
  static constexpr std::uint32_t kVCStage = 0x4000001;
  static constexpr std::uint32_t kAutofocus = 0x5000001;
  static constexpr std::uint32_t kCarousel = 0x6000001;
  static constexpr std::uint32_t kArm = 0x6000002;
  static constexpr int kArmAtCarousel = 1;
  static constexpr int kArmAtHolder = 2;

  struct Axis {
    bool initialised = false;
    bool homed = false;
    bool enabled = true;
    bool driverOn = true;
    bool calibrated = false;
    std::int32_t position = 0;
    std::int32_t physScale = 1;
    std::int32_t minPos = -1000000;
    std::int32_t maxPos = 1000000;
    std::int32_t speed = 1000;
    std::int32_t ctrlMode = 0;
    std::vector<std::uint32_t> params;  // the last "mtrsetparams" values
    std::map<std::uint32_t, std::uint32_t> registers;
    int timeoutStatus = kStatusMotorTimeout;  // what a stuck move answers
    // A stuck axis stops this far short of each target and answers its time-out status.
    std::optional<std::int32_t> stuckShortfall;
    // Arm: a move that way times out and leaves the arm between its positions.
    bool stuckTowardsHolder = false;
    bool stuckTowardsCarousel = false;
    std::vector<std::uint16_t> tuneSamples;           // cycled; empty: 100, 101, 102 ...
    std::vector<std::array<std::uint16_t, 4>> steps;  // cycled; empty: from the step number
    // Carousel: the slot under the reader; arm: where it is (1 carousel, 2 holder, 0 unknown).
    int slot = 0;
    int location = kArmAtCarousel;
  };

  MotorFamily();
  void registerCommands(Instrument& instrument) override;

  Axis axis(std::uint32_t firmwareId) const;
  void setAxis(std::uint32_t firmwareId, const Axis& axis);
  // Changes one axis under the family's lock.
  template <typename F>
  void update(std::uint32_t firmwareId, F f) {
    std::lock_guard lock(mutex_);
    f(axes_.at(firmwareId));
  }
  int carouselSlots() const;
  void setCarouselSlots(int n);
  // Told of every arm move that arrived (from and to: 0 between, 1 carousel, 2 holder)
  // with the carousel's slot, under the family's lock: it must not call back.
  using ArmListener = std::function<void(int from, int to, int carouselSlot)>;
  void setArmListener(ArmListener listener);

 private:
  void armMoved(Axis& arm, int to);
  mutable std::mutex mutex_;
  std::map<std::uint32_t, Axis> axes_;
  int carouselSlots_ = 12;
  ArmListener armListener_;
};

// ---- autoloader, door, barcode reader -------------------------------------------------------
// "carouselathome", "carouselpresent", "chipincarousel", "fingerinslot", "armlocation",
// "readalsensor", "doorclosed", "lockdoor", "unlockdoor", "preparebcr", "readbarcode",
// "bcrlasercontrol", "mapcarousel". Slides sit in carousel slots; the arm takes the
// slide of the current slot to the holder and puts a held slide back into the current
// slot (into the tray without a carousel). The barcode read is that of the held slide,
// else of the current slot's.
//
// "mapcarousel B F,L" (hexadecimal slots F to L, B 1: with barcodes) streams its reply
// over several frames: "00," then per slot the presence ('1'/'0'), the symbology ('0'
// when none), a status "%02X," (30 when a slide has no readable barcode) and, with
// barcodes, the barcode text and "\n".
class AutoloaderFamily final : public CommandFamily {
 public:
  struct Slide {
    std::string barcode;
    std::string format = "7";  // the reader's symbology code
  };
  explicit AutoloaderFamily(std::shared_ptr<MotorFamily> motors);
  void registerCommands(Instrument& instrument) override;

  void putSlide(int slot, Slide slide);
  void removeSlide(int slot);
  std::optional<Slide> slide(int slot) const;
  std::optional<Slide> heldSlide() const;  // on the arm, at the holder
  void setHeldSlide(std::optional<Slide> slide);
  int slidesInTray() const;
  void setCarouselPresent(bool present);
  void setAligned(bool aligned);
  // A carousel that sits askew: not seen as present, but it trips the chip sensor.
  void setAskew(bool askew);
  // The map reply cut into frames of this many bytes (0: the code, then one frame per
  // slot), and cut short after this many bytes (nullopt: whole).
  void setMapFrameSize(std::size_t bytes);
  void setMapLength(std::optional<std::size_t> bytes);
  // The whole map reply for the arguments, as the instrument would stream it.
  std::string mapReply(bool barcodes, int first, int last) const;
  // Replaces a sensor's answer (for values other than 0 and 1): "carouselathome", ...
  void overrideSensor(const std::string& word, std::optional<std::uint32_t> value);
  void setDoorValue(std::uint32_t value);   // 1 closed, 0 open
  void setSensorWord(std::uint32_t value);  // "readalsensor"
  bool doorLocked() const;
  bool readerPrepared() const;
  bool readerLight() const;

 private:
  std::shared_ptr<MotorFamily> motors_;
  mutable std::mutex mutex_;
  std::map<int, Slide> slides_;
  std::optional<Slide> held_;
  int tray_ = 0;
  bool present_ = true;
  bool aligned_ = true;
  bool askew_ = false;
  std::size_t mapFrameSize_ = 0;
  std::optional<std::size_t> mapLength_;
  std::map<std::string, std::uint32_t> overrides_;
  std::uint32_t door_ = 1;
  std::uint32_t sensorWord_ = 0;
  bool locked_ = false;
  bool prepared_ = false;
  bool light_ = false;
};

// ---- DSPs ------------------------------------------------------------------------------------
// "dsppoke", "dsppeek", "dmr", "dmw", "dspmemdump", "dmwmulti", "getlastdspresult",
// "sdsp" (binary parameters after its line), "gdsp", "DownLoadDSP" (an image after its
// 25-character header), "getvcdumpinfo". Memory per DSP and address space; data memory
// ("dmr", "dmw", "dspmemdump", "dmwmulti") is address space 1.
class DspFamily final : public CommandFamily {
 public:
  struct Command {
    unsigned cmd = 0;
    std::vector<std::uint16_t> params;
  };
  struct Download {
    unsigned dspId = 0;
    std::vector<std::uint8_t> image;
  };

  void registerCommands(Instrument& instrument) override;

  std::uint16_t memory(unsigned dspId, unsigned space, std::uint32_t address) const;
  void setMemory(unsigned dspId, unsigned space, std::uint32_t address, std::uint16_t value);
  // What "getlastdspresult" answers (-1: none).
  void setLastResult(std::int32_t result);
  // After each "sdsp", "gdsp" answers -1 `pendingPolls` times, then `response`.
  void setResponse(std::int32_t response, int pendingPolls);
  void setVCDumpInfo(std::vector<std::uint32_t> values);  // answered comma-separated as given
  std::vector<Command> commands() const;
  std::vector<Download> downloads() const;
  int responsePolls() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::array<std::uint32_t, 3>, std::uint16_t> memory_;
  std::int32_t lastResult_ = -1;
  std::int32_t response_ = 0;
  int pendingPolls_ = 0;
  int remainingPolls_ = 0;
  int responsePolls_ = 0;
  std::vector<std::uint32_t> vcDump_ = {10, 200, 0x1000, 2, 0x2000, 2, 0x3000, 4, 0x4000, 4};
  std::vector<Command> commands_;
  std::vector<Download> downloads_;
};

// ---- scans -------------------------------------------------------------------------------------
// "setpackagetype", "findchrome", "setscanregion", "enableautofocus", "startscan",
// "getscanline" (the line's samples follow the reply unframed), "getscanresults",
// "getautofocusstats", "initlasers", "updatelaservoltage", "enabledepthscan",
// "seteomdigpot", "setdarksubtractionvalue", "calibratepmt".
//
// A scan line holds, for each channel of the scan's mask (bit 0 first), `pixels` 16-bit
// big-endian samples with the value sample(line, pixel, channel).
//
// A run on the board takes its samples from the board and asks "getscanline" only for the
// status records: StatusRecordsReply answers the first request with the 18-word record of
// every line of the scan at once, the line number in each record's first word.
Reply StatusRecordsReply(long lines);

class ScanFamily final : public CommandFamily {
 public:
  struct AFRecord {
    std::uint16_t row = 0;
    std::uint16_t errors = 0;
  };
  // The scan a "startscan" started: the last "setscanregion" (pixels, rows, voice-coil and
  // stage start in micrometres, their increments and binning) and the passes asked for.
  struct ScanStart {
    int pixels = 0, rows = 0;
    long vcStart = 0, stageStart = 0;
    double vcIncrement = 0, stageIncrement = 0;
    int binX = 1, binY = 1;
    int passes = 1;
  };
  static std::uint16_t sample(int line, int pixel, int channel);

  void registerCommands(Instrument& instrument) override;

  void setFiducials(std::string reply);  // the values after the status, e.g. "1.5,2.5,3.5"
  void setAutofocus(double thickness, unsigned homingStatus, unsigned encoderPos);
  void setAFStats(std::vector<AFRecord> records, int status = 0);
  void setLaserPowers(unsigned red, unsigned green);
  // Bytes that trail each "getscanline" reply beyond the line (as if the scan had more).
  void setExtraScanBytes(std::size_t n);
  // The PMT calibration light ("calibratepmt 0/1"); the observer hears every switch
  // (tests pass it on to the simulated board, whose tubes see the light).
  bool calibrationLight() const;
  void onCalibrationLight(std::function<void(bool)> observer);
  // The observer hears every scan start, before the instrument answers it (the simulated
  // board, in this process or through a file, scans the same slide region).
  void onScanStarted(std::function<void(const ScanStart&)> observer);
  int packageType() const;
  int linesSent() const;
  bool scanning() const;
  std::string region() const;  // the arguments of the last "setscanregion"
  // The region the last "setscanregion" set (its passes those of the last "startscan").
  ScanStart currentScan() const;

 private:
  mutable std::mutex mutex_;
  std::string fiducials_ = "1.250000,2.500000,0.750000";
  double thickness_ = 1.0;
  unsigned homing_ = 0;
  unsigned encoder_ = 25;
  std::vector<AFRecord> afStats_;
  int afStatus_ = 0;
  unsigned redPower_ = 0x100;
  unsigned greenPower_ = 0x200;
  std::size_t extra_ = 0;
  int packageType_ = 0;
  int pixels_ = 0;
  int rows_ = 0;
  unsigned mask_ = 0;
  int line_ = 0;
  bool scanning_ = false;
  std::string region_;
  ScanStart scan_;
  std::function<void(const ScanStart&)> scanObserver_;
  bool light_ = false;
  std::function<void(bool)> lightObserver_;

  Reply switchCalibrationLight(const Request& r);
};

// ---- the controller's own commands ----------------------------------------------------------
// "getversioninfo", "getdspversioninfo", "readdiagadc", "psdval", "flushdmalatch",
// "setledmode", "dspextstatus", "getpicstatus", "sethostdatetimeinfo", "setcmdtimeout".
class ControllerFamily final : public CommandFamily {
 public:
  void registerCommands(Instrument& instrument) override;

  void setVersionInfo(std::string text);  // the values after the status
  void setDspVersionInfo(std::string text);
  void setDiagADC(unsigned channel, std::uint32_t value);
  // Every diagnostic ADC channel reads what a healthy instrument's supplies, door solenoid
  // and slow-stage current give (the ADC spans -10 V to +10 V over 4096 counts, behind
  // each channel's divider).
  void setNominalSupplies();
  void setPSD(std::uint16_t value);
  void setFlushDMAStatus(int status);
  void setExtendedStatus(unsigned dspId, unsigned status);
  void setPICStatus(int n, std::uint32_t value);
  std::array<unsigned, 4> leds() const;  // green, yellow, red, mode
  // The last "sethostdatetimeinfo" values.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> hostDateTime() const;
  long commandTimeout() const;

 private:
  mutable std::mutex mutex_;
  std::string version_ = "B,1,2,3,BOOT-FIELD,Boot ROM 2009\nR,4,5,6,RT-FIELD,Runtime 2011\n4000000\n";
  std::string dspVersion_ = "S,1,0,2,SCAN,Scan DSP\nV,2,1,0,VCS,Stage DSP\nA,3,0,1,VCAF,Autofocus DSP\n";
  std::map<unsigned, std::uint32_t> adc_;
  std::uint16_t psd_ = 0x1234;
  int flushStatus_ = 0;
  unsigned extDsp_ = 2;
  unsigned extStatus_ = 0;
  std::map<int, std::uint32_t> pic_;
  std::array<unsigned, 4> leds_{};
  std::optional<std::pair<std::uint32_t, std::uint32_t>> dateTime_;
  long cmdTimeout_ = 30000;
};

// All device families, registered on one instrument.
struct DeviceFamilies {
  std::shared_ptr<FlashFamily> flash;
  std::shared_ptr<MotorFamily> motors;
  std::shared_ptr<AutoloaderFamily> autoloader;
  std::shared_ptr<DspFamily> dsps;
  std::shared_ptr<ScanFamily> scans;
  std::shared_ptr<ControllerFamily> controller;
};
DeviceFamilies addDeviceFamilies(Instrument& instrument);

}  // namespace zevasim
