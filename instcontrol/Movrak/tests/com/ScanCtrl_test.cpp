// The method frame of the automation object: every kind of failure becomes an HRESULT
// with error information and one error line in the log.
#include "com/ScanCtrl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "Jotwell/BaseException.h"
#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "Pellux/DataPortTypes.h"
#include "testsupport/TestEnv.h"

namespace {

using platform::com::ItfError;
using testing::HasSubstr;

class ScanCtrlFrameTest : public testsupport::ZevaTest {
 protected:
  ScanCtrlFrameTest() {
    CRegEdit reg(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo");
    reg.WriteInt("EnableTimestamp", 0);
    reg.WriteInt("EnableThreadIdStamp", 0);
    CLogger::Open((tempDir() + "/frame").c_str());
  }
  ~ScanCtrlFrameTest() override { CLogger::Close(); }
  static std::string log() { return testsupport::readFile(CLogger::m_File.path()); }
};

TEST_F(ScanCtrlFrameTest, EveryFailureBecomesAnHResultWithItsTextAndOneLogLine) {
  const struct {
    const char* what;
    void (*body)();
    int id;
    const char* description;
  } cases[] = {
      {"thrown id", [] { throw 607; }, 607, "Invalid PMT channel specified."},
      {"id without a text", [] { throw 4222; }, 4222, "Unknown error: 4222"},
      {"port status", [] { throw PortStatusBusy; }, 12010,
       "Data Port is busy.  Another operation has locked access to the port."},
      {"allocation failure", [] { throw std::bad_alloc(); }, 549, "Unable to allocate memory."},
      {"standard exception", [] { throw std::runtime_error("disk on fire"); }, 512, "disk on fire"},
      {"thrown text", [] { throw "a thrown text"; }, 512, "a thrown text"},
      {"thrown string", [] { throw std::string("a thrown string"); }, 512, "a thrown string"},
      {"exception of the family with a table id", [] { throw CGenException(600); }, 600,
       "Bad parameter specified."},
      {"something else", [] { throw 2.5; }, 512, "Unknown error occurred."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CScanCtrl::Frame(c.body), ItfError(static_cast<std::uint32_t>(c.id)));
    const auto info = platform::com::GetErrorInfo();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->description, c.description);
    EXPECT_EQ(info->iid, IScanCtrl::kIID);
    char line[128];
    std::snprintf(line, sizeof line, "\r\n\t\t[Error Code: 0x%X]", static_cast<unsigned>(c.id));
    EXPECT_THAT(log(), HasSubstr(std::string(c.description) + line));
  }
  EXPECT_EQ(static_cast<std::uint32_t>(ItfError(549)), 0x80040225u);
}

TEST_F(ScanCtrlFrameTest, SuccessClearsStaleErrorInformation) {
  platform::com::SetErrorInfo({"stale", "x", IScanCtrl::kIID});
  EXPECT_EQ(CScanCtrl::Frame([] {}), platform::com::S_OK);
  EXPECT_FALSE(platform::com::GetErrorInfo().has_value());
}

TEST_F(ScanCtrlFrameTest, ClientTextIsNeverALogFormat) {
  EXPECT_EQ(CScanCtrl::Frame([] { throw std::runtime_error("100%s %n done"); }), ItfError(512));
  EXPECT_THAT(log(), HasSubstr("100%s %n done\r\n\t\t[Error Code: 0x200]"));
}

TEST_F(ScanCtrlFrameTest, RefusalsCarryTheMethodsSuffix) {
  EXPECT_EQ(static_cast<std::uint32_t>(
                CScanCtrl::Refuse(" [CScanCtrl::StartScan() function is not for C scanner]")),
            0x8004006Du);
  const auto info = platform::com::GetErrorInfo();
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->description,
            "Unsupported scanner model. [CScanCtrl::StartScan() function is not for C scanner]");
  EXPECT_THAT(log(), HasSubstr("Unsupported scanner model.\r\n\t\t[Error Code: 0x6D]"));
}

}  // namespace
