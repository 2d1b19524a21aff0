#pragma once
// Proxies of the controller's three DSPs: peek and poke in their address spaces, data
// memory, DSP commands with binary parameters, program download (Motorola S-records),
// memory dump and write. Failures are thrown as int error ids.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

class IDeviceContext;

class CDSP {
 public:
  static constexpr std::size_t kMaxImageBytes = 98303;
  static constexpr int kResponsePolls = 100;
  static constexpr int kResponsePollMs = 300;

  // Throws 620 without an owner.
  CDSP(IDeviceContext* owner, std::uint32_t dspId, const char* name);
  virtual ~CDSP();
  CDSP(const CDSP&) = delete;
  CDSP& operator=(const CDSP&) = delete;

  std::string GetName() const { return m_strName; }
  std::uint32_t GetId() const { return m_nDspId; }

  virtual void Poke(std::uint32_t space, std::uint16_t address, std::uint16_t value);
  virtual std::uint16_t Peek(std::uint32_t space, std::uint16_t address);
  virtual std::uint16_t ReadDataMemory(std::uint16_t offset);
  virtual void WriteDataMemory(std::uint16_t offset, std::uint16_t value);
  // The controller's last DSP result; -1 when there is none.
  virtual int GetLastResult();
  virtual int GetResponse();
  // Parameters travel as 16-bit words after the command line, low byte first. With
  // getResponse the DSP's response is polled for (589 when it never comes); else -1.
  virtual int ExecuteCommand(std::uint16_t cmd, std::uint8_t numParams, const std::uint16_t* params,
                             bool getResponse);
  virtual void Download(const char* fileName);
  virtual void MemDump(std::uint16_t start, int numWords, std::uint16_t* buffer);
  virtual void MemWrite(std::uint16_t start, int numWords, const std::uint16_t* words);
  // Ten values in order; null pointers are skipped.
  virtual void GetVCDumpInfo(std::uint32_t* v0, std::uint32_t* v1, std::uint32_t* v2, std::uint32_t* v3,
                             std::uint32_t* v4, std::uint32_t* v5, std::uint32_t* v6, std::uint32_t* v7,
                             std::uint32_t* v8, std::uint32_t* v9);

  // The data bytes of the S1, S2 and S3 records of a DSP program file, in file order.
  // Throws 520 for a record that is not whole hexadecimal pairs or too short for its
  // header and checksum, 596 for an image above kMaxImageBytes.
  static std::vector<std::uint8_t> ConvertSRecords(std::istream& in);

 protected:
  IDeviceContext* m_pOwner;
  std::uint32_t m_nDspId;
  std::string m_strName;
};

class CScanDSP : public CDSP {
 public:
  CScanDSP(IDeviceContext* owner, std::uint32_t dspId, const char* name) : CDSP(owner, dspId, name) {}
  ~CScanDSP() override;
};
