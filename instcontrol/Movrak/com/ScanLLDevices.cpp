// IScanLL: LEDs, the autoloader and door sensors, door lock, barcode reader, position
// detector, diagnostic ADC, carousel browsing and the error classes.
#include "com/ComServer.h"
#include "com/ScanLL.h"
#include "devices/Scanner.h"

using platform::com::S_OK;

HRESULT CScanLL::SetLED(BYTE bGreenMode, BYTE bYellowMode, BYTE bRedMode, BYTE bBoardMode) {
  return Run(kSrcSetLED, [&] { Scanner().SetLEDs(bGreenMode, bYellowMode, bRedMode, bBoardMode); });
}

HRESULT CScanLL::CheckSensors(BOOL32* bArmAtCarousel, BOOL32* bArmAtHolder, BOOL32* bChipInSlot,
                              BOOL32* bCarouselInSlot, BOOL32* bCarouselPresent, BOOL32* bCarouselHome,
                              BOOL32* bDoorClosed) {
  return Run(kSrcCheckSensors, [&] {
    CScanner& scanner = Scanner();
    const int location = scanner.GetArm().GetLocation();  // always asked
    if (bArmAtCarousel) *bArmAtCarousel = location == 1 ? 1 : 0;
    if (bArmAtHolder) *bArmAtHolder = location == 2 ? 1 : 0;
    CCarousel& carousel = scanner.GetCarousel();
    if (bChipInSlot) *bChipInSlot = carousel.IsChipPresent() ? 1 : 0;
    if (bCarouselInSlot) *bCarouselInSlot = carousel.IsCarouselAligned() ? 1 : 0;
    if (bCarouselPresent) *bCarouselPresent = carousel.IsPresent() ? 1 : 0;
    if (bCarouselHome) {
      // A home sensor that cannot be read counts as not at home.
      try {
        *bCarouselHome = carousel.IsHome() ? 1 : 0;
      } catch (int) {
        *bCarouselHome = 0;
      }
    }
    if (bDoorClosed) *bDoorClosed = scanner.IsDoorClosed() ? 1 : 0;
  });
}

HRESULT CScanLL::ClearBarcode() {
  return Run(kSrcClearBarcode, [&] { Scanner().PrepareBarcodeReader(); });
}

HRESULT CScanLL::get_Barcode(std::string* pVal) {
  return Run(kSrcBarcode, [&] {
    std::string barcode = Scanner().ReadBarcode();
    if (pVal) *pVal = std::move(barcode);
  });
}

HRESULT CScanLL::LockDoor() {
  return Run(kSrcLockDoor, [&] { Scanner().LockDoor(); });
}

HRESULT CScanLL::UnLockDoor() {
  return Run(kSrcUnlockDoor, [&] { Scanner().UnLockDoor(); });
}

HRESULT CScanLL::get_PSDVal(WORD* pwVal) {
  return Run(kSrcPSDVal, [&] {
    const std::uint16_t value = Scanner().ReadPSDVal();
    if (pwVal) *pwVal = value;
  });
}

HRESULT CScanLL::ReadDiagADC(BYTE channel, ULONG* pValue) {
  return Run(kSrcReadDiagADC, [&] {
    const std::uint32_t value = Scanner().ReadDiagADC(channel);
    if (pValue) *pValue = value;
  });
}

HRESULT CScanLL::StartBrowseCarousel(int nFirstSlot, int nLastSlot, BOOL32 bScanBarcodes) {
  return Run(
      kSrcBrowseCarousel, [&] { Scanner().StartBrowseCarousel(nFirstSlot, nLastSlot, bScanBarcodes != 0); },
      {}, false);
}

HRESULT CScanLL::GetBrowseCarouselInfo(int nSlotNo, BOOL32* pbChipInSlot, unsigned char* pcSymbology,
                                       unsigned char* pszBarcode) {
  return Run(
      kSrcBrowseCarousel,
      [&] { ReadBrowseCarouselInfo(Scanner(), nSlotNo, pbChipInSlot, pcSymbology, pszBarcode); }, {}, false);
}

HRESULT CScanLL::StopBrowseCarousel() {
  return Run(
      kSrcBrowseCarousel, [&] { Scanner().StopBrowseCarousel(); }, {}, false);
}

HRESULT CScanLL::CheckErrorCode(int iErrorCode, unsigned errorSymbol, BOOL32* pbMatch) {
  if (pbMatch) *pbMatch = IsErrorOfClass(iErrorCode, errorSymbol, ErrorClassTable::kScanLL) ? 1 : 0;
  return S_OK;
}
