#pragma once
// A full disk without privileges: while a FileSizeLimit lives, no file of the process may
// grow past a size (RLIMIT_FSIZE). A write that crosses it is cut short there and the next
// one fails (EFBIG instead of SIGXFSZ, which is ignored), as writes on a disk that runs
// full are. The limit holds for every thread of the process.
#include <signal.h>
#include <sys/resource.h>

namespace testsupport {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    m_bSet = ::getrlimit(RLIMIT_FSIZE, &m_Old) == 0;
    rlimit limit = m_Old;
    limit.rlim_cur = bytes;
    m_bSet = m_bSet && ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    if (m_bSet) ::setrlimit(RLIMIT_FSIZE, &m_Old);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool IsSet() const { return m_bSet; }

 private:
  rlimit m_Old{};
  bool m_bSet = false;
};

}  // namespace testsupport
