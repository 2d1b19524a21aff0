// Scanner information and version texts, the channel files' header values, and the text
// of a COM error.
#include "run/ScannerInfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeScanCtrl.h"
#include "Jotwell/Utilities.h"
#include "RunTestSupport.h"
#include "Tessary/TiffHandler.h"
#include "platform/dynlib.h"
#include "run/ComError.h"
#include "run/ScanDataProc.h"

namespace {

using namespace lumetra::run;
using lumetra_test::FakeScanCtrl;
using testing::HasSubstr;

class ScannerInfoTest : public lumetra_test::RunTest {
 protected:
  ScannerInfoTest() : ctrl(FakeScanCtrl::Create()) {}
  platform::com::ComPtr<FakeScanCtrl> ctrl;
};

TEST_F(ScannerInfoTest, ComErrorTextIsTheDescriptionOrTheStandardText) {
  EXPECT_EQ(FormatComError(platform::com::ComError(platform::com::ItfError(566), "Not connected.")),
            "Description: Not connected.");
  EXPECT_EQ(FormatComError(platform::com::ComError(platform::com::E_OUTOFMEMORY, "")),
            "Description: " + platform::com::ErrorMessage(platform::com::E_OUTOFMEMORY));
  ctrl->Fail("get_InstrumentModel", 588, 1, "The instrument is not ready.");
  std::string model;
  try {
    CheckScanCtrl(ctrl->get_InstrumentModel(&model));
    FAIL() << "no error";
  } catch (const platform::com::ComError& e) {
    EXPECT_EQ(FormatComError(e), "Description: The instrument is not ready.");
    EXPECT_EQ(platform::com::HResultCode(e.Error()), 588u);
  }
}

TEST_F(ScannerInfoTest, ReadScannerInfoFillsElevenTexts) {
  CScannerInfoTexts t;
  ASSERT_TRUE(ReadScannerInfo(ctrl.get(), t));
  EXPECT_EQ(t.hostVersion, GetVersionString(platform::mainProgramModule()));
  EXPECT_EQ(t.movrakVersion, ctrl->softwareVersion);
  EXPECT_EQ(t.model, "K7431B");
  EXPECT_EQ(t.serialNumber, "SN000001");
  EXPECT_EQ(t.firmwareRuntime, "RT 1.0");
  EXPECT_EQ(t.bootRom, "BOOT 1.0");
  EXPECT_EQ(t.ramSize, "0x100000");
  EXPECT_EQ(t.scanDsp, "SCAN 1.0");
  EXPECT_EQ(t.vcDsp, "VC 1.0");
  EXPECT_EQ(t.afDsp, "AF 1.0");

  // Runtime offline: the software versions only.
  ctrl->runtimeOnline = 0;
  ASSERT_TRUE(ReadScannerInfo(ctrl.get(), t));
  EXPECT_EQ(t.movrakVersion, ctrl->softwareVersion);
  for (const std::string* s : {&t.model, &t.serialNumber, &t.firmwareRuntime, &t.bootRom, &t.scanDsp,
                               &t.vcDsp, &t.afDsp, &t.ramSize})
    EXPECT_EQ(*s, "Unknown");

  // A failure keeps what was read before it and says false.
  ctrl->runtimeOnline = 1;
  ctrl->Fail("FirmwareVersion", 603, 1, "Command timed out.");
  EXPECT_FALSE(ReadScannerInfo(ctrl.get(), t));
  EXPECT_EQ(t.serialNumber, "SN000001");
  EXPECT_EQ(t.firmwareRuntime, "Unknown");
  EXPECT_EQ(t.scanDsp, "Unknown");
  EXPECT_THAT(logText(), HasSubstr("Description: Command timed out."));
}

TEST_F(ScannerInfoTest, SoftwareTextHasEightLines) {
  for (bool mainHost : {true, false}) {
    const std::string text = BuildSoftwareText(mainHost, "M", "R", "S", "V", "A", "B");
    std::size_t lines = 0;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++lines;
    EXPECT_EQ(lines, 8u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_THAT(text, HasSubstr(mainHost ? "Scanner: " : "VrelTest: "));
    EXPECT_THAT(text, HasSubstr(mainHost ? "\r\nLumetra: " : "\r\nPyrvane: "));
    EXPECT_THAT(
        text,
        HasSubstr("\r\nMovrak: M\r\nRuntime: R\r\nScan DSP: S\r\nVC DSP: V\r\nAF DSP: A\r\nBoot ROM: B\r\n"));
  }
}

TEST_F(ScannerInfoTest, HeaderValuesGoIntoEveryChannelFile) {
  struct Case {
    unsigned channels;
    std::array<int, 2> pmt;
    const char* description;
  } cases[] = {{1, {1, 0}, ""}, {2, {0, 1}, "slide 4"}};
  for (const Case& c : cases) {
    CScanDataProc proc(ctrl.get(), "");
    const std::string file = outDir() + "/h.tif";
    proc.CreateTiff(file.c_str(), 10, 10, static_cast<int>(c.channels), 5, 5, false, false, false);
    TiffHeaderValues v;
    v.channelCount = c.channels;
    v.channels = c.pmt;
    v.binY = 2;
    v.originX = 1000, v.originY = 2000, v.width = 300, v.height = 400;
    v.description = c.description;
    SetTiffHeaderInfo(ctrl.get(), proc, v);
    for (unsigned i = 0; i < c.channels; ++i) {
      TiffHandler* f = proc.GetTiffByChannel(static_cast<int>(i));
      const TiffScanRecord* r = f->GetStru();
      ASSERT_NE(r, nullptr);
      int pmt = -1;
      f->GetPMTChannel(pmt);
      EXPECT_EQ(pmt, c.pmt[i]);
      EXPECT_EQ(r->pmtVoltage[0], ctrl->pmtVoltageSetting[c.pmt[i]]);
      EXPECT_EQ(r->scanRegion[0], 1000.0);
      EXPECT_EQ(r->scanRegion[2], 1300.0);
      EXPECT_EQ(r->scanRegion[3], 2400.0);
      EXPECT_EQ(r->reScans, 1u);
      EXPECT_EQ(TiffScanRecord::Text(r->serialNumber), "SN000001");
      for (unsigned a = 0; a < 4; ++a)
        for (unsigned b = 0; b < 4; ++b)
          EXPECT_EQ(r->crossTalk[a + 4 * b], a == b && a < c.channels ? 1.0 : 0.0) << a << "," << b;
    }
    EXPECT_EQ(ctrl->CallCount("FirmwareVersion"), 1) << "versions are read once per image";
    ctrl->ClearCalls();
    proc.CloseAndRemoveScan();
  }
}

TEST_F(ScannerInfoTest, AFailedReadIsRaisedAndNothingIsWrittenWithoutAnInterface) {
  CScanDataProc proc(ctrl.get(), "");
  const std::string file = outDir() + "/h.tif";
  proc.CreateTiff(file.c_str(), 10, 10, 1, 5, 5, false, false, false);
  TiffHeaderValues v;
  v.channelCount = 1;
  ctrl->Fail("get_PMTVoltageSetting", 566, 1, "Not connected.");
  EXPECT_THROW(SetTiffHeaderInfo(ctrl.get(), proc, v), platform::com::ComError);
  SetTiffHeaderInfo(nullptr, proc, v);
  EXPECT_THAT(logText(), HasSubstr("Movrak was not set in ScanMgr."));
  proc.CloseAndRemoveScan();
}

TEST_F(ScannerInfoTest, AboutTextsAreReadUnlessTheScannerIsOfflineOrBusy) {
  struct Case {
    bool offline, busy;
    const char* message;
  } cases[] = {{false, false, ""},
               {true, false,
                "Some system information are not available right now since the scanner is not connected "
                "yet.\n\nPlease "
                "try later."},
               {false, true,
                "Some system information are not available right now since the scanner is busy.\n\nPlease "
                "try later."}};
  for (const Case& c : cases) {
    CAboutInfo info;
    EXPECT_EQ(ReadAboutInfo(ctrl.get(), c.offline, c.busy, info), c.message);
    EXPECT_EQ(info.movrak, ctrl->softwareVersion);
    EXPECT_EQ(info.host, GetVersionString(platform::mainProgramModule()));
    const bool read = !c.offline && !c.busy;
    EXPECT_EQ(info.model, read ? "K7431B" : "Unknown");
    EXPECT_EQ(info.afDsp, read ? "AF 1.0" : "Unknown");
  }
  CAboutInfo info;
  ctrl->Fail("DSPVersion", 603, 1, "Command timed out.");
  EXPECT_EQ(ReadAboutInfo(ctrl.get(), false, false, info), "");
  EXPECT_EQ(info.bootRom, "BOOT 1.0");
  EXPECT_EQ(info.scanDsp, "Unknown");
}

}  // namespace
