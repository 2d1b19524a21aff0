#pragma once
// What a device of the scanner reaches of the instrument it belongs to: the command
// channel, the FLASH store, the scan-data port and the front LEDs. The instrument
// implements it and outlives its devices; no device sees the scanner itself.
class CLanComm;
class CFlash;
class CScanDataPort;

class IDeviceContext {
 public:
  virtual CLanComm& GetComm() = 0;
  virtual CFlash& GetFlash() = 0;
  virtual CScanDataPort& GetDataPort() = 0;
  virtual void SetLEDs(unsigned char green, unsigned char yellow, unsigned char red, unsigned char mode) = 0;
  // After a laser power conversion factor was written to the store.
  virtual void LoadLaserPowerFactors() = 0;

 protected:
  ~IDeviceContext() = default;
};
