#pragma once
// Proxies of the scanner's motor axes. Every operation is one command to the controller
// through the owner's channel, named by the axis's firmware id; failures are thrown as
// int error ids. CStage adds the FLASH limits, CCarousel the slot moves and sensors,
// CArm the two arm positions and the location sensor.
#include <cstdint>
#include <string>

class IDeviceContext;

class CMotor {
 public:
  static constexpr int kInitTimeoutMs = 30000;
  static constexpr int kMoveTimeoutMs = 90000;
  static constexpr int kCarouselBaseTimeoutMs = 10000;
  static constexpr int kCarouselSlotTimeoutMs = 5000;

  CMotor(IDeviceContext* owner, int motorId, std::uint32_t firmwareId, int nameId, const char* defaultName);
  virtual ~CMotor();
  CMotor(const CMotor&) = delete;
  CMotor& operator=(const CMotor&) = delete;

  int GetMotorId() const { return m_nMotorId; }
  std::uint32_t GetFirmwareId() const { return m_nFirmwareId; }

  virtual void Calibrate();
  virtual std::string GetName() const { return m_strName; }
  virtual void Init(bool home);
  virtual void Home();
  virtual long GetPos();
  virtual long GetPosPhys();
  virtual void MoveAbs(long pos);
  virtual void MoveRel(long distance);
  virtual void MoveAbsPhys(long pos);
  virtual void MoveRelPhys(long distance);
  virtual long GetSpeed();
  virtual long GetMaxPos();
  virtual long GetMinPos();
  virtual void SetSpeed(long speed);
  virtual void SetSpeedAcc(long speed, long accel);
  virtual void Poke(std::uint32_t address, std::uint32_t value);
  virtual std::uint32_t Peek(std::uint32_t address);
  // `count` samples of the controller's tuning move into `samples`.
  virtual void Tune(long time, long position, std::uint16_t* samples, long count);
  virtual void Enable();
  virtual void Disable();
  virtual void DriverOn();
  virtual void DriverOff();
  virtual void SetOpenLoopMode();
  // Slow stage only (606 otherwise): numSteps x 4 words into `samples`, also written to
  // SSTest_RawPosData.txt in the data folder.
  virtual void StepTest(int move1, int move2, unsigned readDelay, std::uint16_t* samples, unsigned numSteps);
  virtual void SetParams(short kp, short ki, short kd, short iMax, long accel, long vel);
  virtual void SetCtrlMode(short mode);

 protected:
  // Lock, optional time-out, one command line, status (and the rest); logs `error` with the
  // id and throws it. Returns the rest of the reply.
  std::string Command(const std::string& line, const std::string& error, int timeoutMs = 0);
  // The rest of a reply as a 32-bit hexadecimal value.
  static long HexValue(const std::string& rest);
  void Move(int physical, int relative, long value);
  // Tune and StepTest: status in three characters, then `bytes` raw bytes.
  void RawCommand(const std::string& line, const std::string& error, std::uint8_t* data, int bytes,
                  int timeoutMs);
  IDeviceContext& Owner() const;  // throws 614 without one

  IDeviceContext* m_pOwner;
  int m_nMotorId;
  std::uint32_t m_nFirmwareId;
  std::string m_strName;
};

class CStage : public CMotor {
 public:
  CStage(IDeviceContext* owner, int motorId, std::uint32_t firmwareId, int nameId, const char* defaultName,
         const char* minKey, const char* maxKey);
  ~CStage() override;

  // The limits kept in the FLASH store (616 for a stage without limit keys). The
  // controller's own limits stay GetMinPos and GetMaxPos.
  long GetFlashMinPos();
  long GetFlashMaxPos();

 private:
  long FlashLimit(const std::string& key, const char* which);
  std::string m_strMinKey;
  std::string m_strMaxKey;
};

class CCarousel : public CMotor {
 public:
  CCarousel(IDeviceContext* owner, int motorId, std::uint32_t firmwareId, int nameId, const char* defaultName,
            const char* slotsKey);
  ~CCarousel() override;

  void RotateClockwise(long slots) { MoveAbsPhys(-slots); }
  void RotateCounterClockwise(long slots) { MoveAbsPhys(slots); }
  int GetNumSlots();
  bool IsHome();
  bool IsPresent();
  bool IsChipPresent();
  bool IsCarouselAligned();

 private:
  bool Sensor(const char* word, const char* error);
  std::string m_strSlotsKey;
  int m_nSlots = 0;
};

class CArm : public CMotor {
 public:
  static constexpr int kLocationUnknown = 0;

  using CMotor::CMotor;
  ~CArm() override;

  void MoveToHolder() { MoveAbsPhys(1); }
  void MoveToCarousel() { MoveAbsPhys(-1); }
  // 1 or 2 as the controller reports; anything else 0.
  int GetLocation();
};
