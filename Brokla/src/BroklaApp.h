#pragma once
// The applications connected to the service. Guarded, with the instrument list, by the
// service's list mutex.
#include <cstdint>
#include <list>

#include "BroklaList.h"

struct CBroklaApp {
  int m_nRequestChannel = -1;   // its app-monitor channel
  LockOwner m_RequestConn = 0;  // that connection's number: the owner of its locks
  int m_nEventChannel = -1;     // its event-monitor channel, once attached
  LockOwner m_EventConn = 0;
  int m_nPid = 0;
  bool m_bRequestClosed = false;
  bool m_bEventClosed = false;
};

class CBroklaAppList {
 public:
  CBroklaApp& Add(const CBroklaApp& app) {
    m_Apps.push_back(app);
    return m_Apps.back();
  }
  CBroklaApp* FindByPid(int pid) {
    return Find([&](const CBroklaApp& a) { return a.m_nPid == pid; });
  }
  CBroklaApp* FindByRequestConn(LockOwner c) {
    return Find([&](const CBroklaApp& a) { return a.m_RequestConn == c; });
  }
  CBroklaApp* FindByEventConn(LockOwner c) {
    return Find([&](const CBroklaApp& a) { return c != 0 && a.m_EventConn == c; });
  }
  void Remove(const CBroklaApp* app) {
    m_Apps.remove_if([&](const CBroklaApp& a) { return &a == app; });
  }
  std::size_t GetCount() const { return m_Apps.size(); }

 private:
  template <typename Pred>
  CBroklaApp* Find(Pred pred) {
    for (auto& a : m_Apps)
      if (pred(a)) return &a;
    return nullptr;
  }
  std::list<CBroklaApp> m_Apps;
};
