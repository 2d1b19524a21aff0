// The data port's records and texts, without a board.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "Pellux/ScanDataPort.h"
#include "Pellux/ScanlineProc.h"

TEST(PelluxErrorCodeText, NamesEveryCodeWithItsNumber) {
  EXPECT_EQ(CScanDataPort::GetOKErrCodeString(0), "");
  EXPECT_EQ(CScanDataPort::GetOKErrCodeString(-1), "Failed [okErrCode = -1]");
  EXPECT_EQ(CScanDataPort::GetOKErrCodeString(-2), "Timeout [okErrCode = -2]");
  EXPECT_EQ(CScanDataPort::GetOKErrCodeString(-8),
            "Communication with a device is not established [okErrCode = -8]");
  EXPECT_EQ(CScanDataPort::GetOKErrCodeString(-15), "Unsupported feature [okErrCode = -15]");
  EXPECT_EQ(CScanDataPort::GetOKErrCodeString(-16), "Unknown error [okErrCode = -16]");
  EXPECT_EQ(CScanDataPort::GetOKErrCodeString(-99), "Unknown error [okErrCode = -99]");
  EXPECT_EQ(CScanDataPort::GetOKErrCodeString(3), "Unknown error [okErrCode = 3]");
}

TEST(PelluxCtrlStatusText, ListsTheBitsInOrder) {
  PortCtrlStatus status;
  EXPECT_EQ(status.GetStatusString(0),
            "MasterAlive = No, PMTFault_R = No, PMTFault_G = No, LaserPwrOn_R = No, LaserPwrOn_G = No, "
            "LaserOn_G = No, LaserReady_G = No, Shutter1On = Yes, SPIBusy = No, MasterTimeout = No, "
            "DuplicationDisabled = No, TimeoutDisabled = No");
  status.dwStatus1 = 0x8000 | 0x2000 | 0x0002 | 0x0200 | 0x0020;
  status.dwStatus2 = 0x0200;
  EXPECT_EQ(
      status.GetStatusString(1),
      "MasterAlive = Yes, PMTFault_R = No, PMTFault_G = No, LaserPwrOn_R = Yes, LaserPwrOn_G = No, "
      "LaserOn_G = No, LaserReady_G = No, Shutter1On = No, SPIBusy = No, MasterTimeout = No, "
      "DuplicationDisabled = No, TimeoutDisabled = Yes, LaserOverCurrent_G = Yes, LaserOverTemp_G = No, "
      "LaserHSOverTemp_G = Yes");
}

TEST(PelluxDCMStatus, PredicatesPerPhase) {
  struct Case {
    const char* name;
    std::uint32_t bits, status;
    int odd;
    bool locked, done, ok, err, inPattern, inPatternV2, hasPattern, configOK;
    int value;
  };
  const Case cases[] = {
      {"odd eye", 0x2A80, 0x4300, 1, true, true, true, false, true, true, false, true, 0x78},
      {"odd eye and more", 0x2AAA, 0x4300, 1, true, true, true, false, true, false, true, true, 0x7F},
      {"odd eye with error", 0x2A80, 0xC300, 1, true, true, true, true, true, true, false, false, 0x78},
      {"odd three bits", 0x0A80, 0x4300, 1, true, true, true, false, false, false, false, false, 0x38},
      {"odd run from bit 1", 0x00AA, 0x0300, 1, true, true, false, false, true, true, true, false, 0x0F},
      {"even eye", 0x1500, 0x0043, 0, true, true, true, false, true, true, false, true, 0x70},
      {"even eye, odd bits ignored", 0x3FFF & ~0x00AAu & ~0x0055u, 0x0043, 0, true, true, true, false, true,
       true, false, true, 0x70},
      {"even run from bit 2, not locked", 0x0054, 0x0041, 0, false, true, true, false, true, true, true,
       false, 0x0E},
      {"even nothing", 0, 0, 0, false, false, false, false, false, false, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DCMStatusInfo info;
    info.dwPhaseBits = c.bits;
    info.dwStatus = c.status;
    EXPECT_EQ(info.IsLocked(c.odd), c.locked);
    EXPECT_EQ(info.IsDone(c.odd), c.done);
    EXPECT_EQ(info.IsPhaseOK(c.odd), c.ok);
    EXPECT_EQ(info.IsPhaseErr(c.odd), c.err);
    EXPECT_EQ(info.IsPhaseInPattern(c.odd), c.inPattern);
    EXPECT_EQ(info.IsPhaseInPattern_V2(c.odd), c.inPatternV2);
    EXPECT_EQ(info.HasPhasePattern(c.odd), c.hasPattern);
    EXPECT_EQ(info.IsDCMConfigOK(c.odd), c.configOK);
    EXPECT_EQ(info.GetPhaseBitsValue(c.odd), c.value);
  }
  DCMStatusInfo both;
  both.dwPhaseBits = 0x2A80 | 0x1500;
  both.dwStatus = 0x4300 | 0x0043;
  EXPECT_TRUE(both.IsDCMConfigOK());
  both.dwStatus &= ~0x0040u;
  EXPECT_FALSE(both.IsDCMConfigOK());
}

TEST(PelluxLaserRange, BandsAndTolerances) {
  EXPECT_DOUBLE_EQ(CheckLaserPowerInRange(95, 100, 5), 0);
  EXPECT_DOUBLE_EQ(CheckLaserPowerInRange(94, 100, 5), -1);
  EXPECT_DOUBLE_EQ(CheckLaserPowerInRange(106, 100, 5), 1);
  EXPECT_DOUBLE_EQ(CheckLaserPowerInRange(94, 100, 0), -6);
  EXPECT_EQ(CheckLaserPowerPDInRange(94, 100, 5), -1);
  EXPECT_EQ(CheckLaserPowerPDInRange(1000, 2000, 3), -940);
  EXPECT_EQ(CheckLaserPowerPDInRange(1000, 333, 10), 633);  // 633.7 truncated toward zero

  EXPECT_TRUE(IsMeasuredLaserPDDesired(990, 1000, 1.0));
  EXPECT_FALSE(IsMeasuredLaserPDDesired(990, 1000, 0));
  EXPECT_TRUE(IsMeasuredLaserPDDesired(1000, 1000, 0));
  EXPECT_FALSE(IsMeasuredLaserPDDesired(1051, 1000, 5.0));
  EXPECT_TRUE(IsMeasuredLaserPDDesired(50, 0, 5.0));  // nothing wanted: nothing to miss
}

TEST(PelluxDeviceGuid, IsFixedAndNotZero) {
  const PortDeviceGUID a = CScanDataPort::GetScanDataPortDevGUID();
  const PortDeviceGUID b = CScanDataPort::GetScanDataPortDevGUID();
  EXPECT_NE(a.Data1, 0u);
  EXPECT_EQ(a.Data1, b.Data1);
  EXPECT_EQ(0, std::memcmp(a.Data4, b.Data4, sizeof a.Data4));
}

TEST(PelluxScanLineHeader, ChecksTheMagicAndReadsTheWords) {
  unsigned char line[40] = {0xFF, 0x33, 0x11, 0x01, 0x34, 0x12, 0x01, 0x00,
                            0x20, 0x03, 0x00, 0x00, 0xE8, 0x03, 0xD0, 0x07};
  ScanLineDataHeader header;
  CScanlineProc::ReadLineHeader(line, 0, &header);
  EXPECT_EQ(header.wWords[0], 0x1234);  // line number
  EXPECT_EQ(header.wWords[1], 1);       // direction
  EXPECT_EQ(header.wWords[2], 800);     // pixels
  EXPECT_EQ(header.dwValue, 1000u | (2000u << 16));

  auto message = [&](const unsigned char* data, std::uint64_t offset, ScanLineDataHeader* h) -> std::string {
    try {
      CScanlineProc::ReadLineHeader(data, offset, h);
      return "none";
    } catch (const std::runtime_error& e) {
      return e.what();
    }
  };
  EXPECT_EQ(message(line, 0, nullptr), "Internal Error");
  EXPECT_EQ(message(line, 4, &header), "Magic header mismatch");
  line[3] = 0x02;
  EXPECT_EQ(message(line, 0, &header), "Magic header mismatch");
}
