#pragma once
// The instrument TCP link: one connection to the instrument's controller, carrying
// framed commands and bringing back framed responses, with the connection manager's
// lock taken around each command. Results are the ids of ErrorIds.h: 604 a command
// completed, 601 an unblocked command started, 603 time-out, 566 connection lost, 602 a
// response header out of range, 605 lock refused, 600 bad parameter, 549 no memory.
//
// Process-wide: one socket, so one instrument per process.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/LanTypes.h"

// Longest response payload the link accepts.
inline constexpr std::int64_t kMaxResponsePayload = 100000;
// What a time-out of 0 means for a command: sent as 5 s, and waited for 5 s.
inline constexpr int kDefaultCommandTimeoutSec = 5;

// The payload length a received header announces, or -1 when it is out of range (a
// stale or garbled header must never size an allocation).
std::int64_t ResponsePayloadLength(const LanHeader& header);

// One command's frame: header and payload in one buffer.
class LanFrame {
 public:
  // A text frame: the line, then a NUL that is sent but not counted in the length.
  static LanFrame Text(std::string_view line);
  // A binary frame: exactly these bytes. Without bytes the frame has no buffer: nothing
  // is sent and the command only receives.
  static LanFrame Binary(std::span<const std::uint8_t> bytes);
  static LanFrame Binary(std::string_view bytes);
  // Makes this frame a binary frame of these bytes, keeping its buffer: a channel that
  // sends one command after another needs no allocation per command.
  void AssignBinary(std::span<const std::uint8_t> bytes);

  // The command's time-out in whole seconds (0 becomes 5).
  void SetTimeout(int timeoutSec);
  void SetInstrId(std::uint32_t id) { header_.instrId = id; }
  const LanHeader& Header() const { return header_; }
  bool HasBuffer() const { return !buffer_.empty(); }
  // Copies the header into the buffer; the bytes to send (empty without a buffer).
  std::span<const std::uint8_t> Finalize();

 private:
  LanHeader header_;
  std::vector<std::uint8_t> buffer_;
};

int OpenInstrument(CLanInstr* instrument);
// Connects the link's socket: at most two attempts, 3 s apart.
bool CreateTCPSocket(std::uint32_t address, std::uint16_t port);
bool ReconnectInstrument(CLanInstr* instrument);
// Closes the socket. The table's lock record goes when its count is 0 (any running
// response monitor is stopped first).
void CloseInstrument(CLanInstr* instrument);
// Drops the lock record of a table that is about to be deleted, whatever its count.
void ForgetInstrument(CLanInstr* instrument);
bool IsInstrumentOpen();

// Sends one command and, when blocking, receives its response into `responses`
// (604); unblocked, a response-monitor thread collects the responses (601). A reply
// waits at most timeoutSec (0: 5 s) as a whole. After a reply that did not come whole in
// time, a header out of range or responses that no command reads, the stream is out of
// step: the next command reconnects before it sends (and logs why), so that no command
// ever takes an earlier command's bytes for its reply.
int ExecuteInstrCmd(CLanInstr* instrument, LanFrame& frame, LanResponseList& responses, int timeoutSec,
                    bool blocking);
// The state or end of an unblocked command: 601 while it runs (without wait), else its
// result; with wait, waits up to timeoutSec (0: no limit) and gives 603 on time-out.
int AwaitInstrCmd(CLanInstr* instrument, int timeoutSec, bool wait);

// Sends every byte, after throwing away stale bytes waiting in the socket. (A command
// does more: it reconnects when the stream is out of step, see ExecuteInstrCmd.)
int DoSend(std::span<const std::uint8_t> bytes, int timeoutSec);
// Receives exactly `count` bytes within timeoutSec from the call (0: only looks).
// `count` ends as the number of bytes still missing (0 on success).
int DoRecv(int& count, std::uint8_t* buffer, int timeoutSec);
// Raw bytes of a running scan (no frame); `count` becomes the bytes received.
int GetScanData(CLanInstr* instrument, std::uint8_t* buffer, int& count, int timeoutSec);

// The first response's payload (list emptied); false when there is none.
bool TakeFirstResponse(LanResponseList& list, std::vector<std::uint8_t>& bytes);
bool TakeFirstResponseString(LanResponseList& list, std::string& text);
// Everything an unblocked command received so far, in order, once there is something;
// throws the command's result as an int when it ended with nothing more (604: no more
// data).
std::vector<std::uint8_t> CollectUnblockedResponses(CLanInstr* instrument, LanResponseList& list);
void FreeResponseList(LanResponseList& list);

// Not offered by this scanner model.
bool RemoveAllLaserRequests();
bool SetupLaserPowerRequest();
