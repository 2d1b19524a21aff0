#include "com/SharedLink.h"

#include <map>
#include <mutex>

#include "devices/Scanner.h"

namespace {

// Users per scanner. Opening and closing run under the lock, so that a channel is never
// closed while another object is taking it.
std::mutex g_Mutex;
std::map<const CScanner*, int> g_Users;

void Drop(const CScanner& scanner, bool& user) {
  if (!user) return;
  user = false;
  if (--g_Users[&scanner] <= 0) g_Users.erase(&scanner);
}

}  // namespace

int CLinkUser::Open(CScanner& scanner, const char* connectString) {
  std::lock_guard lock(g_Mutex);
  const int r = scanner.GetComm().OpenDevice(connectString);
  if (r == 0 && !m_bUser) {
    m_bUser = true;
    ++g_Users[&scanner];
  }
  return r;
}

void CLinkUser::Close(CScanner& scanner) {
  std::lock_guard lock(g_Mutex);
  Drop(scanner, m_bUser);
  if (g_Users.find(&scanner) == g_Users.end()) scanner.GetComm().CloseDevice();
}

void CLinkUser::Leave(CScanner& scanner) {
  std::lock_guard lock(g_Mutex);
  Drop(scanner, m_bUser);
}

bool CLinkUser::IsOpen() const {
  std::lock_guard lock(g_Mutex);
  return m_bUser;
}

int CLinkUser::Users(const CScanner& scanner) {
  std::lock_guard lock(g_Mutex);
  const auto it = g_Users.find(&scanner);
  return it == g_Users.end() ? 0 : it->second;
}
