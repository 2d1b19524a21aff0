#pragma once
// The command channel of the process's one scanner is shared by all its automation
// objects. Each object that opened it is one user of it; it is closed only when its last
// user disconnects, so that one object's Disconnect never pulls the link from under
// another object (or the status thread a ScanCtrl object started).
class CScanner;

class CLinkUser {
 public:
  CLinkUser() = default;
  CLinkUser(const CLinkUser&) = delete;
  CLinkUser& operator=(const CLinkUser&) = delete;

  // Opens the scanner's channel (or takes it again when it is open) with
  // CLanComm::OpenDevice; on success this object counts as a user. Returns the error id.
  int Open(CScanner& scanner, const char* connectString);
  // Stops counting this object; the channel is closed when no user is left.
  void Close(CScanner& scanner);
  // Stops counting this object without closing anything (the object goes away while
  // connected: the scanner keeps its link for the others).
  void Leave(CScanner& scanner);
  bool IsOpen() const;

  // The objects using the scanner's channel.
  static int Users(const CScanner& scanner);

 private:
  bool m_bUser = false;  // under the module's lock
};
