#pragma once
#include <memory>

#include "Jotwell/Export.h"
#include "platform/sync.h"

// A recursive lock owning its system object; the logger's one lock.
class JOTWELL_API CCritSection {
 public:
  CCritSection() : m_pSection(std::make_unique<platform::CriticalSection>()) {}
  CCritSection(const CCritSection&) = delete;
  CCritSection& operator=(const CCritSection&) = delete;
  void Lock() { m_pSection->lock(); }
  void Unlock() { m_pSection->unlock(); }

 private:
  std::unique_ptr<platform::CriticalSection> m_pSection;
};
