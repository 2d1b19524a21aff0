#include "InstrThread.h"

#include <algorithm>

#include "BroklaConfig.h"
#include "BroklaProtocol/BroklaAppMessage.h"
#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"

namespace net = platform::net;

namespace {

const char* OnOff(int laser) { return laser == 0 ? "OFF" : "ON"; }

const char* TypeName(int type) {
  switch (type) {
    case NEW_INSTR:
      return "NEW_INSTR";
    case INSTR_REBOOT:
      return "INSTR_REBOOT";
    case STATUS_CHANGE:
      return "STATUS_CHANGE";
    case INSTR_IDENTIFY:
      return "INSTR_IDENTIFY";
    default:
      return "datagram";
  }
}

// Data bytes a datagram of an instrument's type needs; -1: not a type instruments send.
int InstrumentDataNeeded(int type) {
  switch (type) {
    case NEW_INSTR:
      return 1;
    case INSTR_REBOOT:
      return 0;
    case STATUS_CHANGE:
      return 3;
    case INSTR_IDENTIFY:
      return 5;
    default:
      return -1;
  }
}

// The same for the internal commands on the control port.
int ControlDataNeeded(int type) {
  switch (type) {
    case GET_STATUS:
    case CMD_ABORT:
    case LASER_ON:
    case LASER_OFF:
      return 4;
    case REFRESH:
    case SVC_STOP:
      return 0;
    default:
      return -1;
  }
}

// An address the registry holds as a DWORD (first octet in the high byte).
std::uint32_t ReadAddress(const char* key, const char* name, std::uint32_t def) {
  return CRegEdit(HKEY_LOCAL_MACHINE, key).ReadUInt(name, static_cast<unsigned>(def));
}

}  // namespace

CInstrThread::CInstrThread(CBroklaContext& context)
    : m_Ctx(context), m_AppMonitor(context), m_EventMonitor(context) {}

void CInstrThread::Run(const std::function<void()>& ready) {
  LogInfo("CONNECTION MANAGER STARTING on %s", LogTime().c_str());
  LogInfo("VERSION STAMP: %s", GetVersionString(GetThisModule()).c_str());

  m_Ctx.m_pAppMonitor = &m_AppMonitor;
  m_Ctx.m_pEventMonitor = &m_EventMonitor;
  m_AppMonitor.Listen();
  m_EventMonitor.Listen();
  m_AppMonitor.Start();
  m_EventMonitor.Start();

  // Instruments are on another network in a real installation; with the loopback guard
  // on (tests, demos) nothing beyond this machine is listened to either.
  // Far more than a lab has; what bounds the list against a flood of made-up datagrams.
  const unsigned maxInstruments =
      CRegEdit(HKEY_LOCAL_MACHINE, zeva::kBroklaKey).ReadUInt("MaxInstruments", 64u);
  m_nMaxInstruments = std::clamp<unsigned>(maxInstruments, 2u, 4096u);

  const std::uint32_t listen = ReadAddress(zeva::kBroklaKey, "ListenAddr",
                                           net::loopbackOnly() ? net::kLoopbackAddress : net::kAnyAddress);
  m_Lan.OpenServer(listen);
  if (ready) ready();

  bool startup = true;
  for (;;) {
    if (m_Ctx.m_bStopRequested) break;  // asked before the control port was there to hear it
    if (startup) {
      startup = false;
      OnRefresh(true);
      continue;
    }
    const CBroklaLan::Incoming in = m_Lan.Receive();
    if (in.port == CBroklaLan::Port::control && in.parse == CBroklaLanMessage::Parse::ok &&
        in.from == m_Ctx.m_Sender.LocalEndpoint() && in.message.GetType() == SVC_STOP)
      break;
    Dispatch(in);
  }

  LogInfo("VrelSvc Stopped!  Exiting...");
  // The monitors first, so that no request arms a timer after they are all removed; then
  // nothing is left running that the clean-up could pull from under.
  m_AppMonitor.Stop();
  m_EventMonitor.Stop();
  if (m_Ctx.m_pScheduler) m_Ctx.m_pScheduler->LaserScheduler();
  InstrThreadCleanup();
  m_Ctx.m_pAppMonitor = nullptr;
  m_Ctx.m_pEventMonitor = nullptr;
  m_Lan.Close();
}

void CInstrThread::InstrThreadCleanup() {
  std::lock_guard lock(m_Ctx.m_ListLock);
  m_Ctx.m_InstrList.RemoveAll();
}

void CInstrThread::Dispatch(const CBroklaLan::Incoming& in) {
  const std::string source = net::formatEndpoint(in.from);
  if (in.parse == CBroklaLanMessage::Parse::tooSmall) {
    // A short datagram is the sender's fault, not a reason to stop the service.
    LogError("Recvfrom: packet too small: %d bytes", static_cast<int>(in.bytes));
    return;
  }
  if (in.parse == CBroklaLanMessage::Parse::badLength) {
    LogError("Dropped a datagram from %s: its length field is below %d.", source.c_str(),
             CBroklaLanMessage::kHeaderSize);
    return;
  }
  const CBroklaLanMessage& m = in.message;
  const int type = m.GetType();

  if (in.port == CBroklaLan::Port::control) {
    // Internal commands come from the service's own sender and nowhere else.
    if (in.from != m_Ctx.m_Sender.LocalEndpoint()) {
      LogError("Dropped a control datagram from %s: not from this service.", source.c_str());
      return;
    }
    const int needed = ControlDataNeeded(type);
    if (needed < 0) return;  // not a command: dropped without a word
    if (m.GetDataLength() < needed) {
      LogError("Dropped control message %d: %d data bytes, %d needed.", type, m.GetDataLength(), needed);
      return;
    }
    const std::uint32_t address = m.GetDataU32(0);
    switch (type) {
      case GET_STATUS:
        LogInfo("Received GET_STATUS event from app monitor.");
        SendLanEvent(INSTR_IDENTIFY, address, address);
        break;
      case REFRESH:
        OnRefresh(false);
        break;
      case CMD_ABORT:
        LogInfo("Received CMD_ABORT from event monitor.");
        LogInfo("Sending ABORT message to Instrument (%s) on %s.", DottedAddress(address).c_str(),
                LogTime().c_str());
        SendLanEvent(CMD_ABORT, address, address);
        break;
      case LASER_ON:
      case LASER_OFF:
        LogInfo(type == LASER_ON ? "Instrument Thread Received LASER_ON event from laser scheduler."
                                 : "Instrument Thread Received LASER_OFF event from laser scheduler.");
        SendLanEvent(type, address, address);
        break;
      default:
        break;
    }
    return;
  }

  // The event port: what instruments send. Commands are never taken from the network.
  const int needed = InstrumentDataNeeded(type);
  if (needed < 0) return;
  // An identify with just the target address is a request (our own broadcast, heard
  // back), not an answer.
  if (type == INSTR_IDENTIFY && m.GetDataLength() == 4) return;
  if (m.GetDataLength() < needed) {
    LogError("Dropped %s from %s: %d data bytes, %d needed.", TypeName(type), source.c_str(),
             m.GetDataLength(), needed);
    return;
  }
  const std::uint32_t address = in.from.address;
  switch (type) {
    case NEW_INSTR:
      OnNewInstr(address, in.from, m);
      break;
    case INSTR_REBOOT:
      OnReboot(address, in.from, m);
      break;
    case STATUS_CHANGE:
      OnStatusChange(address, m);
      break;
    case INSTR_IDENTIFY:
      OnIdentify(address, m);
      break;
  }
}

bool CInstrThread::IsRepeat(std::uint32_t address, std::uint32_t sequence) {
  const auto it = m_Peers.find(address);
  const std::uint32_t expected = it == m_Peers.end() ? 0 : it->second.expected;
  if (sequence >= expected) return false;
  LogInfo("Ignoring Repeat Packet");
  LogInfo("Incoming Sequence Number: %d", static_cast<int>(sequence));
  LogInfo("Previous Sequence Number: %d", static_cast<int>(expected));
  return true;
}

void CInstrThread::Reply(int type, std::uint16_t port, const net::Endpoint& to) {
  CBroklaLanMessage reply;
  reply.SetType(type);
  reply.SetDataU16(0, port);
  Peer& peer = m_Peers[to.address];
  reply.SetSequence(peer.sendCounter++);
  if (const int e = m_Lan.Send(reply, to)) LogError("Sendto: error %d", e);
}

int CInstrThread::AddInstrument(std::uint32_t address, int port, int type, const std::string& serial,
                                std::uint16_t comm, std::uint8_t laser, bool answered) {
  std::vector<InstrSnapshot> dropped;
  int id = 0;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    const std::size_t reserve = std::max<std::size_t>(1, m_nMaxInstruments / 8);
    if (m_Ctx.m_InstrList.MakeRoom(m_nMaxInstruments, reserve, answered, dropped)) {
      CBroklaInstr& r =
          m_Ctx.m_InstrList.AddInstr(address, port, type, serial, comm, laser, platform::systemNow());
      if (answered) r.SetAnswered();
      id = r.GetId();
    }
  }
  for (const InstrSnapshot& d : dropped) {
    LogWarning(
        "Instrument list near its bound (%zu): dropped instrument id=%d (IP=%s, SN: %s), which never "
        "answered an identify request.",
        m_nMaxInstruments, d.id, DottedAddress(d.address).c_str(), d.serialNumber.c_str());
    m_Peers.erase(d.address);
  }
  if (id == 0) {
    LogWarning("Instrument list full (%zu): dropped the instrument at %s (SN: %s).", m_nMaxInstruments,
               DottedAddress(address).c_str(), serial.c_str());
    if (!answered) m_Peers.erase(address);
  }
  return id;
}

void CInstrThread::AskIfNearBound() {
  std::vector<std::uint32_t> ask;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (m_Ctx.m_InstrList.GetCount() < m_nMaxInstruments / 2) return;
    for (const InstrSnapshot& s : m_Ctx.m_InstrList.Snapshot()) {
      const auto it = m_Peers.find(s.address);
      if (!s.answered && (it == m_Peers.end() || !it->second.asked)) ask.push_back(s.address);
    }
  }
  for (std::uint32_t address : ask) SendLanEvent(INSTR_IDENTIFY, address, address);
}

void CInstrThread::SendLanEvent(int type, std::uint32_t address, std::uint32_t dataAddress) {
  CBroklaLanMessage m = MakeLanMessage(type, dataAddress);
  Peer& peer = m_Peers[address];
  if (type == INSTR_IDENTIFY) peer.asked = true;
  m.SetSequence(peer.sendCounter++);
  const int e = m_Lan.Send(m, {address, m_Lan.EventPort()});
  if (e == 0) return;
  // An instrument that cannot be reached is no reason to stop serving the others.
  if (type == INSTR_IDENTIFY)
    LogDebug(1, "SendLanEvent INSTR_IDENTIFY: error %d, (target=%s)", e, DottedAddress(address).c_str());
  else
    LogError("Sendto: error %d", e);
}

void CInstrThread::OnNewInstr(std::uint32_t address, const net::Endpoint& from, const CBroklaLanMessage& m) {
  LogInfo("Received NEW_INSTR event from instrument.");
  Peer& peer = m_Peers[address];
  const bool reboot = peer.expected != 1;
  peer.expected = 1;
  peer.sendCounter = 0;
  const int type = m.GetDataByte(0);
  const std::string serial = m.GetDataText(1, CBroklaInstr::kSerialMax);
  const auto now = platform::systemNow();

  std::optional<InstrSnapshot> known;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaInstr* r = m_Ctx.m_InstrList.FindByIP(address)) {
      r->SetLaserOnTime(now);
      known = CBroklaList::SnapshotOf(*r);
    }
  }
  if (known) {
    LogInfo("This IP address already exists! %s", reboot ? "Instrument rebooted?" : "Duplicate event?");
    LogInfo("Reconnecting Instrument (%s) on %s.", DottedAddress(address).c_str(), LogTime().c_str());
    Reply(NEW_INSTR, static_cast<std::uint16_t>(known->port), from);
    if (reboot) {
      LogInfo("Notifying event monitor of REBOOT");
      m_EventMonitor.Post({brokla::kEventReboot, known->id, {}});
    }
    return;
  }

  // An announcement is only what a datagram says: the instrument proves itself by
  // answering an identify request (below), and until then it may be dropped for room.
  const int id = AddInstrument(address, 0, type, serial, 0, 1, false);
  if (id == 0) return;
  const std::uint16_t port = m_Ports.GetNextPortNum();
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaInstr* r = m_Ctx.m_InstrList.FindById(id)) r->SetPort(port);
  }
  LogInfo("New Instrument (IP=%s, port=%04X) Connected on %s.", DottedAddress(address).c_str(),
          static_cast<unsigned>(port), LogTime().c_str());
  Reply(NEW_INSTR, port, from);
  AskIfNearBound();
  m_EventMonitor.Post({brokla::kEventNewInstrument, id, DottedAddress(address) + "_" + std::to_string(port)});
  // A new instrument starts its idle countdown afresh.
  m_Ctx.m_pScheduler->SuspendIdle(id);
  m_Ctx.m_pScheduler->ResumeIdle(id);
}

void CInstrThread::OnReboot(std::uint32_t address, const net::Endpoint& from, const CBroklaLanMessage& m) {
  const auto it = m_Peers.find(address);
  if (it != m_Peers.end() && it->second.expected == 1) return;  // just announced: nothing to reboot from
  LogInfo("Received INSTR_REBOOT event from instrument.");
  std::optional<InstrSnapshot> known;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaInstr* r = m_Ctx.m_InstrList.FindByIP(address)) {
      r->SetLaserOnTime(platform::systemNow());
      known = CBroklaList::SnapshotOf(*r);
    }
  }
  if (!known) {
    LogError("Received REBOOT message from unrecognized instrument");
    LogError("Try rebooting the instrument...");
    return;
  }
  LogInfo("Soft-booted Instrument (IP=%s) Connected on %s.", DottedAddress(address).c_str(),
          LogTime().c_str());
  Peer& peer = m_Peers[address];
  peer.sendCounter = 0;
  Reply(INSTR_REBOOT, static_cast<std::uint16_t>(known->port), from);
  m_EventMonitor.Post({brokla::kEventReboot, known->id, {}});
  peer.expected = m.GetSequence() + 1;
}

void CInstrThread::OnStatusChange(std::uint32_t address, const CBroklaLanMessage& m) {
  if (IsRepeat(address, m.GetSequence())) return;
  const std::uint16_t comm = m.GetDataU16(0);
  const std::uint8_t laser = m.GetDataByte(2);
  std::optional<InstrSnapshot> instr;
  CBroklaInstr::StatusResult result;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaInstr* r = m_Ctx.m_InstrList.FindByIP(address)) {
      result = r->ApplyStatus(comm, laser, platform::systemNow());
      instr = CBroklaList::SnapshotOf(*r);
    }
  }
  if (!instr) {
    LogError("Received STATUS_CHANGE message from unrecognized instrument");
    return;
  }
  m_Peers[address].expected = m.GetSequence() + 1;
  const std::string dotted = DottedAddress(address);
  if (result.laserChanged)
    LogInfo("Instrument (IP=%s) Laser Power Status is now %s", dotted.c_str(), OnOff(laser));
  UpdateLaserOnMinutes(instr->serialNumber, result);
  if (result.laserChanged) m_EventMonitor.Post({brokla::kEventLaserPowerChange, instr->id, {}});
  if (result.commChanged)
    LogDebug(2, "Instrument (IP=%s) COMM Status Changed from 0x%x to 0x%x", dotted.c_str(), result.oldComm,
             comm);
}

void CInstrThread::OnIdentify(std::uint32_t address, const CBroklaLanMessage& m) {
  LogInfo("Received INSTR_IDENTIFY event from instrument.");
  if (IsRepeat(address, m.GetSequence())) return;
  const std::uint8_t comm = m.GetDataByte(0);
  const std::uint8_t laser = m.GetDataByte(1);
  const std::uint16_t port = m.GetDataU16(2);
  const int type = m.GetDataByte(4);
  const std::string serial = m.GetDataText(5, CBroklaInstr::kSerialMax);
  const std::string dotted = DottedAddress(address);

  // An answer to a request of ours, or a datagram that only says it is one.
  const auto peerIt = m_Peers.find(address);
  const bool answered = peerIt != m_Peers.end() && peerIt->second.asked;
  bool added = false, outOfSync = false, commChanged = false, laserChanged = false, known = false;
  std::uint16_t oldComm = 0;
  int id = 0;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaInstr* r = m_Ctx.m_InstrList.FindByIP(address)) {
      known = true;
      if (answered) r->SetAnswered();
      outOfSync = r->GetPort() != port || r->GetType() != type || r->GetSerialNumber() != serial;
      if (outOfSync) {
        r->SetPort(port);
        r->SetType(type);
        r->SetSerialNumber(serial);
      }
      oldComm = r->GetCommStatus();
      commChanged = oldComm != comm;
      laserChanged = (r->GetLaserState() != 0) != (laser != 0);
      r->SetStatus(comm, laser);
      r->SetSeen(true);
      id = r->GetId();
    }
  }
  if (!known) {
    id = AddInstrument(address, port, type, serial, comm, laser, answered);
    if (id == 0) return;
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaInstr* r = m_Ctx.m_InstrList.FindById(id)) r->SetSeen(true);
    added = true;
  }
  m_Peers[address].expected = m.GetSequence() + 1;
  if (added) {
    LogInfo("New Instrument has Identified Itself (IP=%s) on %s.", dotted.c_str(), LogTime().c_str());
    if (!answered) AskIfNearBound();
    m_Ctx.m_pScheduler->SuspendIdle(id);
    m_Ctx.m_pScheduler->ResumeIdle(id);
  } else {
    if (outOfSync) LogDebug(1, "Instrument (%s) Info Out of Synch! Updating.", dotted.c_str());
    if (commChanged)
      LogDebug(2, "Instrument (IP=%s) COMM Status Changed from 0x%x to 0x%x", dotted.c_str(), oldComm, comm);
    if (laserChanged)
      LogInfo("Instrument (IP=%s) Laser Power Status is now %s", dotted.c_str(), OnOff(laser));
    LogDebug(2, "COMM Status = 0x%x Laser is %s", comm, OnOff(laser));
  }
  // A status request may be waiting for this answer.
  m_AppMonitor.Wake();
}

void CInstrThread::OnRefresh(bool startup) {
  LogInfo(startup ? "Processing the startup REFRESH request"
                  : "Received REFRESH request from service control handler.");
  const std::uint32_t broadcast = ReadAddress(zeva::kBroklaKey, "BCastAddr", brokla::kDefaultBroadcast);
  LogInfo("Broadcast the INSTR_IDENTIFY message to the default interface (BCastAddr=%s)",
          DottedAddress(broadcast).c_str());
  auto send = [&](std::uint32_t target) {
    CBroklaLanMessage m = MakeLanMessage(INSTR_IDENTIFY, target);
    m.SetSequence(m_nBroadcastCounter++);
    if (const int e = m_Lan.Send(m, {target, m_Lan.EventPort()}))
      LogDebug(1, "SendLanEvent INSTR_IDENTIFY: error %d, (target=%s)", e, DottedAddress(target).c_str());
  };
  send(broadcast);
  const std::uint32_t iface = ReadAddress(zeva::kDalmorKey, "IfaceAddr", brokla::kDefaultIfaceAddr);
  if (iface != brokla::kDefaultIfaceAddr) {
    const std::uint32_t second = (iface & 0xFFFFFF00u) | 0xFFu;
    LogInfo("Found a customized lan interface address (IfaceAddr=%s)", DottedAddress(iface).c_str());
    LogInfo("Broadcast the INSTR_IDENTIFY message to the customized interface (BCastAddr=%s)",
            DottedAddress(second).c_str());
    send(second);
  }
}
