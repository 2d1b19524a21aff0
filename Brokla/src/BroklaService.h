#pragma once
// The service shell: the program's entry, the service main and the control handler with
// its codes (1 stop, 4 interrogate, 138 publish the instrument list, 148 break a lock,
// 158 reopen the log, 168 refresh the instrument list).
#include <atomic>
#include <cstdint>
#include <string>

#include "BroklaContext.h"
#include "platform/service.h"

class CBroklaService {
 public:
  CBroklaService();
  ~CBroklaService();
  CBroklaService(const CBroklaService&) = delete;
  CBroklaService& operator=(const CBroklaService&) = delete;

  // Runs the service until it is stopped; the process's exit code.
  int ServiceMain();
  void ServiceCtrlHandler(std::uint32_t code);

 private:
  void PublishInstrumentList();
  void BreakInstrumentLock();
  void ReopenLog();
  void RefreshInstrumentList();
  void SendLaserCommand(int type, int instrumentId);

  CBroklaContext m_Ctx;
  platform::service::ServiceHost m_Host;
  // Set once the service reports running: a fatal error before is a start-up failure.
  std::atomic<bool> m_bRunning{false};
};

// The log's name from "LogFile": its folder and file name without the extension; ""
// when "LogFile" is empty.
std::string LogFileBaseName();
// Opens the log under that name (the logger's own default when there is none).
void OpenServiceLog();
