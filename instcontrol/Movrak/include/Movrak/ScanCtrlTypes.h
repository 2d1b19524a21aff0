#pragma once
// The enumerations of the automation interfaces, with their fixed values. Clients use
// them with IScanCtrl; the device model uses them for motor, DSP and channel ids and
// for the scanner state.

enum tagMotorIDs : int {
  kSlowStageMotor = 1,
  kVCStageMotor = 2,
  kAFMotor = 3,
  kALCarousel = 4,
  kALArm = 5,
};

enum tagDSPIDs : int {
  kScan = 1,
  kVCStage = 2,
  kVCAF = 3,
};

enum tagAddrSpaceIDs : int {
  kDataSpace = 1,
  kProgramSpace = 2,
  kIOSpace = 3,
};

enum tagPMTChannels : int {
  kRedPMT = 0,
  kGreenPMT = 1,
  kPurplePMT = 2,
  kYellowPMT = 3,
};

enum tagCarouselDir : int {
  kClockwise = 1,
  kCounterClockwise = 2,
};

enum tagScannerState : int {
  kStateError = 0,
  kStateOffline = 1,
  kStateInitializing = 2,
  kStateReady = 3,
  kStateBrowsing = 4,
  kStateWarming = 5,
  kStateLasersOff = 6,
  kStateCalibLasers = 7,
  kStateCarouselRun = 8,
};

enum tagMotorCtrlMode : int {
  kMotorCtrlOpen = 0,
  kMotorCtrlHold = 1,
  kMotorCtrlTracking = 2,
};
