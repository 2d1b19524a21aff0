#pragma once
// The instrument thread: the service's main loop. It owns the UDP sockets, keeps the
// instrument list up to date from what instruments send, answers them, forwards status,
// abort and laser requests, and tells the event monitor of new instruments, soft boots
// and laser changes.
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "BroklaContext.h"
#include "BroklaLan.h"
#include "Monitors.h"

class CInstrThread {
 public:
  explicit CInstrThread(CBroklaContext& context);
  // Runs until SVC_STOP; `ready` is called once the pipes and sockets serve.
  void Run(const std::function<void()>& ready);

 private:
  // What the thread knows of each instrument address: the sequence number it expects
  // next and the one it stamps on what it sends there.
  struct Peer {
    std::uint32_t expected = 0;
    std::uint32_t sendCounter = 0;
    bool asked = false;  // an identify request went to this address
  };

  void Dispatch(const CBroklaLan::Incoming& in);
  void OnNewInstr(std::uint32_t address, const platform::net::Endpoint& from, const CBroklaLanMessage& m);
  void OnReboot(std::uint32_t address, const platform::net::Endpoint& from, const CBroklaLanMessage& m);
  void OnStatusChange(std::uint32_t address, const CBroklaLanMessage& m);
  void OnIdentify(std::uint32_t address, const CBroklaLanMessage& m);
  void OnRefresh(bool startup);
  bool IsRepeat(std::uint32_t address, std::uint32_t sequence);
  void Reply(int type, std::uint16_t port, const platform::net::Endpoint& to);
  // SendLanEvent: a message to an instrument's event port.
  void SendLanEvent(int type, std::uint32_t address, std::uint32_t dataAddress);
  void InstrThreadCleanup();
  // Adds a record within the list's bound (making room as CBroklaList::MakeRoom does,
  // and logging what went); 0 when it does not fit and was dropped itself.
  int AddInstrument(std::uint32_t address, int port, int type, const std::string& serial, std::uint16_t comm,
                    std::uint8_t laser, bool answered);
  // Once the list is half full: an identify request to every listed instrument that has
  // neither answered nor been asked, so that the real ones prove themselves before
  // records are dropped for room.
  void AskIfNearBound();

  CBroklaContext& m_Ctx;
  CBroklaLan m_Lan;
  CPortCycle m_Ports;
  CAppMonitor m_AppMonitor;
  CEventMonitor m_EventMonitor;
  std::map<std::uint32_t, Peer> m_Peers;
  std::uint32_t m_nBroadcastCounter = 0;
  std::size_t m_nMaxInstruments = 64;  // "MaxInstruments"
};
