#include "BroklaService.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "BroklaConfig.h"
#include "InstrThread.h"
#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "Startup.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/registry.h"
#include "platform/ui.h"

using platform::service::State;

namespace {

// "Instr" followed by a number from 1: one published instrument.
bool IsPublishedInstrValue(const std::string& name) {
  if (name.size() < 6 || name.compare(0, 5, "Instr") != 0) return false;
  for (std::size_t i = 5; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

}  // namespace

std::string LogFileBaseName() {
  const std::string path = CRegEdit(HKEY_LOCAL_MACHINE, zeva::kBroklaKey).ReadString("LogFile", "");
  if (path.empty()) return {};
  return platform::directoryOf(path) + platform::stemOf(path);
}

namespace {

// Why the log cannot go where its settings put it; "" when it can (or when the logger's
// own "File" setting decides).
std::string LogFolderProblem(const std::string& name, const std::string& install) {
  if (!name.empty()) {
    const std::string folder = platform::directoryOf(name);
    if (folder.empty() || platform::directoryExists(folder)) return {};
    return "its folder " + folder + " (from \"LogFile\") does not exist";
  }
  if (install.empty()) return {};
  if (!CRegEdit(HKEY_LOCAL_MACHINE, std::string(zeva::kBroklaKey) + "Logging").ReadString("File", "").empty())
    return {};
  if (!platform::directoryExists(install))
    return "the installation folder " + install + " (registry \"Path\") does not exist";
  const std::string logs = platform::joinPath(install, "Logs");
  if (!platform::directoryExists(logs)) return "its folder " + logs + " does not exist";
  return {};
}

}  // namespace

void OpenServiceLog() {
  std::string name = LogFileBaseName();
  const std::string install =
      CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).ReadString(zeva::kInstallPathValue, "");
  if (name.empty() && install.empty()) {
    // No installation folder yet: the user's own folder, not the temporary folder that
    // every user shares (and that the unit's private /tmp hides from the administrator).
    const std::string folder = platform::userDataFolder();
    if (!folder.empty() && platform::createDirectories(folder + "/Logs")) name = folder + "/Logs/brokla";
  }
  const std::string problem = LogFolderProblem(name, install);
  const bool open = CLogger::Open(name.empty() ? nullptr : name.c_str());
  CLogger::InitArchiver();  // archives beside the log, not in the folder brokla started in
  if (problem.empty()) return;
  // The logger falls back to the temporary folder; whoever looks for the log must hear
  // where it went, or that there is none.
  std::string path;
  {
    CLogger lock;
    if (CLogger::m_File.isOpen()) path = CLogger::m_File.path();
  }
  std::string text = "brokla: the log cannot go where its settings put it: " + problem + ";\n";
  text += open && !path.empty() ? "brokla: it goes to " + path + " instead\n"
                                : "brokla: there is no log: the temporary folder " +
                                      platform::tempDirectory() + " takes none either\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  LogWarning("The log is not where its settings put it: %s.", problem.c_str());
}

CBroklaService::CBroklaService() : m_Host(brokla::kServiceName) {}

CBroklaService::~CBroklaService() {
  m_Host.stop();
  SetFatalCleanup({});
}

int CBroklaService::ServiceMain() {
  // Until the service runs, a fatal error is a start-up failure: the user hears why on
  // stderr, not only in the log.
  SetFatalCleanup([] { ReportStartupFailure(DiagnoseFatalStartup(), 1); });
  m_Ctx.m_Sender.Open();
  // The instrument ports are needed only when the first instrument announces itself; a
  // service without them would end then, so it does not start.
  if (!platform::net::servicePort(brokla::kInstrService, "tcp"))
    FatalError(" [VREL_SVC] Unable to find %s in services file", brokla::kInstrService);
  m_Ctx.m_pScheduler = std::make_unique<CLaserScheduler>(
      [this](int type, int instrumentId) { SendLaserCommand(type, instrumentId); });
  SetFatalCleanup([this] {
    if (!m_bRunning) ReportStartupFailure(DiagnoseFatalStartup(), 1);
    if (m_Ctx.m_pScheduler) m_Ctx.m_pScheduler->LaserScheduler();
  });
  if (!m_Host.start([this](std::uint32_t code) { ServiceCtrlHandler(code); },
                    [](const std::string& text) { LogError("%s", text.c_str()); })) {
    // Typically another instance serves already.
    LogError("StartServiceCtrlDispatcher error = %d", m_Host.error());
    ReportStartupFailure(ControlSocketFailure(m_Host.error()), 1);
    return 1;
  }
  {
    CInstrThread instrThread(m_Ctx);
    instrThread.Run([this] {
      m_bRunning = true;
      m_Host.reportStatus(State::running);
    });
  }
  // Stopped only now that the instrument thread has cleaned up.
  m_Host.reportStatus(State::stopped);
  m_Host.stop();
  SetFatalCleanup({});
  m_Ctx.m_pScheduler.reset();
  return 0;
}

void CBroklaService::ServiceCtrlHandler(std::uint32_t code) {
  switch (code) {
    case platform::service::SERVICE_CONTROL_STOP:
      LogInfo("Leaving Connection Manager Service.");
      m_Ctx.m_bStopRequested = true;
      // Pending until the instrument thread has returned from its clean-up.
      m_Host.reportStatus(State::stopPending);
      m_Ctx.m_Sender.Send(SVC_STOP);
      return;
    case platform::service::SERVICE_CONTROL_INTERROGATE:
      break;
    case 138:
      LogInfo("Display Instrument List Control Request.");
      PublishInstrumentList();
      break;
    case 148:
      LogInfo("Break Instrument Lock Control Request.");
      BreakInstrumentLock();
      break;
    case 158:
      LogInfo("Log File Change Control Request.");
      ReopenLog();
      break;
    case 168:
      LogInfo("Refresh Instrument List Control Request.");
      RefreshInstrumentList();
      break;
    default:
      LogInfo("Unrecognized opcode %d", static_cast<int>(code));
      break;
  }
}

void CBroklaService::PublishInstrumentList() {
  std::vector<int> pruned;
  std::vector<InstrSnapshot> all;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (m_Ctx.m_bRefreshPending.exchange(false)) pruned = m_Ctx.m_InstrList.PruneUnseen();
    all = m_Ctx.m_InstrList.Snapshot();
  }
  for (int id : pruned) LogInfo("Instrument id=%d did not answer the refresh: removed from the list.", id);

  CRegEdit reg(HKEY_LOCAL_MACHINE, zeva::kBroklaKey);
  // Every earlier publication goes, however many it held.
  std::vector<std::pair<std::string, platform::registry::Value>> values;
  if (const long listed = platform::registry::enumValues(HKEY_LOCAL_MACHINE, zeva::kBroklaKey, values);
      listed != platform::registry::kOk && listed != platform::registry::kErrorFileNotFound)
    LogError("The published instrument list cannot be read (error %ld): earlier entries may stay.", listed);
  for (const auto& [name, value] : values)
    if (IsPublishedInstrValue(name)) reg.DeleteValue(name);

  int n = 0;
  for (const InstrSnapshot& s : all) {
    char text[96];
    std::snprintf(text, sizeof text, "%s %x %d", s.serialNumber.c_str(), s.address, s.lockCount);
    reg.WriteString("Instr" + std::to_string(++n), text);
  }
  reg.WriteInt("InstrOnNetwork", n);
}

void CBroklaService::BreakInstrumentLock() {
  const std::string serial = CRegEdit(HKEY_LOCAL_MACHINE, zeva::kBroklaKey).ReadString("InstrToUnlock", "");
  if (serial.empty()) return;
  int id = 0, before = 0;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    CBroklaInstr* r = m_Ctx.m_InstrList.FindBySN(serial);
    if (!r) return;
    id = r->GetId();
    before = r->GetLockCount();
    r->Lock(0, LOCK_FORCE_CLEAR);
  }
  if (before == 0) return;
  LogInfo("Lock of instrument id=%d (SN: %s) broken.", id, serial.c_str());
  // Its idle timers were waiting for the lock to end: now it has.
  m_Ctx.m_pScheduler->ResumeIdle(id);
}

void CBroklaService::ReopenLog() {
  const std::string name = LogFileBaseName();
  if (name.empty()) return;
  LogInfo("Changing to: %s.", name.c_str());
  CLogger::Close();
  CLogger::Open(name.c_str());
  CLogger::InitArchiver();
}

void CBroklaService::RefreshInstrumentList() {
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    m_Ctx.m_InstrList.ClearSeen();
  }
  m_Ctx.m_bRefreshPending = true;
  m_Ctx.m_Sender.Send(REFRESH);
}

void CBroklaService::SendLaserCommand(int type, int instrumentId) {
  std::optional<std::uint32_t> address;
  {
    std::lock_guard lock(m_Ctx.m_ListLock);
    if (CBroklaInstr* r = m_Ctx.m_InstrList.FindById(instrumentId)) address = r->GetAddress();
  }
  if (!address) {
    LogWarning("Laser timer of instrument id=%d fired, but the instrument is not listed: nothing sent.",
               instrumentId);
    return;
  }
  m_Ctx.m_Sender.Send(type, *address);
}
