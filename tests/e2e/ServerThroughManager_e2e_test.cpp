// The automation server, created through the COM layer from the built library in this
// process, reaches the simulated instrument program through the connection manager
// program: both processes of their own on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "Movrak/IScanCtrl.h"
#include "Pellux/ScanDataPort.h"
#include "Programs.h"
#include "okSim/okSim.h"
#include "platform/com.h"
#include "platform/dynlib.h"
#include "platform/localpipe.h"
#include "testsupport/TestEnv.h"

namespace e2e_test {
namespace {

using platform::com::ComPtr;

class ServerThroughManagerTest : public testsupport::ZevaTest {
 protected:
  static void SetUpTestSuite() { s_PortLib = CScanDataPort::InitPortLib(""); }

  ServerThroughManagerTest() : m_Daemon(BROKLA_PROGRAM, tempDir(), tempDir() + "/install") {
    CRegEdit reg(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo");
    reg.WriteInt("DebugLevel", 6);
    reg.WriteInt("EnableTimestamp", 0);
    CLogger::SetDebugLogging(true);
    CLogger::Open((tempDir() + "/com").c_str());
    okSim_Reset();
    testsupport::writeFile(tempDir() + "/keth.bit", "simulated configuration version=32\n");
    CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Services\\DataPort\\")
        .WriteString("KethConfigFile", tempDir() + "/keth.bit");
    if (!m_Library.open(MOVRAK_LIBRARY)) ADD_FAILURE() << m_Library.error();
    if (platform::com::RegisterLibrary(MOVRAK_LIBRARY) != platform::com::S_OK)
      ADD_FAILURE() << "registration failed";
  }
  ~ServerThroughManagerTest() override { CLogger::Close(); }

  static std::string Description() {
    const auto info = platform::com::GetErrorInfo();
    return info ? info->description : std::string();
  }
  std::string ServerLog() const { return testsupport::readFile(CLogger::m_File.path()); }

  static inline bool s_PortLib = false;
  Daemon m_Daemon;
  platform::DynamicLibrary m_Library;
};

TEST_F(ServerThroughManagerTest, ConnectsToTheInstrumentProgramTheManagerLists) {
  ASSERT_TRUE(s_PortLib);
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  Instrument instrument(ZEVASIM_PROGRAM, tempDir(), "127.0.0.2", "ZS000101",
                        {"--slide", "2:250000000001", "--nominal-supplies"});
  const auto port = instrument.WaitServing();
  ASSERT_TRUE(port) << instrument.program().Out() << instrument.program().Err();
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();

  ComPtr<IScanCtrl> ctrl;
  ASSERT_EQ(platform::com::CreateInstance(kScanCtrlProgId, IScanCtrl::kIID, ctrl.put()), platform::com::S_OK)
      << Description();
  // One the manager does not list is named as not found, not as "no instruments".
  EXPECT_EQ(ctrl->Connect("127.0.0.9_1234"), platform::com::ItfError(513)) << Description();
  EXPECT_EQ(Description(), "The scanner 127.0.0.9_1234 was not found.  Connection failed.");
  ASSERT_EQ(ctrl->Connect("127.0.0.2_" + std::to_string(*port)), platform::com::S_OK) << Description() << "\n"
                                                                                      << ServerLog() << "\n"
                                                                                      << m_Daemon.Log();
  EXPECT_EQ(ctrl->Disconnect(), platform::com::S_OK) << Description();
  ctrl.reset();
  EXPECT_EQ(instrument.program().Stop(), 0);
  EXPECT_EQ(m_Daemon.program().Stop(), 0) << m_Daemon.program().Err();
}

TEST_F(ServerThroughManagerTest, AConnectAfterTheManagerRestartedSaysHelloAgain) {
  ASSERT_TRUE(s_PortLib);
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  ComPtr<IScanCtrl> ctrl;
  ASSERT_EQ(platform::com::CreateInstance(kScanCtrlProgId, IScanCtrl::kIID, ctrl.put()), platform::com::S_OK)
      << Description();
  // An instrument the manager does not list: the pipes stay open after the enumeration.
  EXPECT_TRUE(platform::com::Failed(ctrl->Connect("127.0.0.9_1")));
  ASSERT_EQ(m_Daemon.program().Stop(), 0) << m_Daemon.program().Err();

  Daemon restarted(BROKLA_PROGRAM, tempDir(), tempDir() + "/install");
  ASSERT_TRUE(restarted.program().Started());
  ASSERT_TRUE(WaitForText(restarted.LogPath(), "Processing the startup REFRESH request", 2))
      << restarted.Log();
  Instrument instrument(ZEVASIM_PROGRAM, tempDir(), "127.0.0.3", "ZS000103",
                        {"--slide", "2:250000000001", "--nominal-supplies"});
  const auto port = instrument.WaitServing();
  ASSERT_TRUE(port) << instrument.program().Out() << instrument.program().Err();
  ASSERT_TRUE(WaitForText(restarted.LogPath(), "New Instrument (IP=127.0.0.3")) << restarted.Log();

  EXPECT_EQ(ctrl->Connect("127.0.0.3_" + std::to_string(*port)), platform::com::S_OK) << Description() << "\n"
                                                                                      << ServerLog();
  EXPECT_EQ(ctrl->Disconnect(), platform::com::S_OK) << Description();
  ctrl.reset();
  EXPECT_EQ(instrument.program().Stop(), 0);
  EXPECT_EQ(restarted.program().Stop(), 0) << restarted.program().Err();
}

TEST_F(ServerThroughManagerTest, AConnectWhoseEventPipeTheManagerClosesFails) {
  ASSERT_TRUE(s_PortLib);
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  Instrument instrument(ZEVASIM_PROGRAM, tempDir(), "127.0.0.2", "ZS000102",
                        {"--slide", "2:250000000001", "--nominal-supplies"});
  const auto port = instrument.WaitServing();
  ASSERT_TRUE(port) << instrument.program().Out() << instrument.program().Err();
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();
  const std::string target = "127.0.0.2_" + std::to_string(*port);

  // Every event channel is taken by a connection that says nothing.
  std::vector<platform::localpipe::Pipe> silent;
  for (int i = 0; i < 14; ++i) {
    silent.push_back(platform::localpipe::Pipe::connect("eventmon", 5s));
    ASSERT_TRUE(silent.back().isOpen()) << i;
  }
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "Message pipe established.", 14)) << m_Daemon.Log();
  ComPtr<IScanCtrl> ctrl;
  ASSERT_EQ(platform::com::CreateInstance(kScanCtrlProgId, IScanCtrl::kIID, ctrl.put()), platform::com::S_OK)
      << Description();
  EXPECT_EQ(ctrl->Connect(target), platform::com::ItfError(643)) << Description();
  // The manager's close meets either the announcement or the check after the first answer.
  const std::string log = ServerLog();
  EXPECT_TRUE(log.find("The Connection Manager closed the event pipe") != std::string::npos ||
              log.find("Error writing event NEW APP to Connection Manager") != std::string::npos)
      << "the server's log does not say why:\n"
      << log;

  // The manager drops them soon; then the application is served whole.
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "no NEW APP within 5 s.", 14)) << m_Daemon.Log();
  EXPECT_EQ(ctrl->Connect(target), platform::com::S_OK) << Description() << "\n" << ServerLog();
  EXPECT_TRUE(WaitForText(m_Daemon.LogPath(), "Event Monitor Connection Established")) << m_Daemon.Log();
  EXPECT_EQ(ctrl->Disconnect(), platform::com::S_OK) << Description();
  ctrl.reset();
  EXPECT_EQ(instrument.program().Stop(), 0);
  EXPECT_EQ(m_Daemon.program().Stop(), 0) << m_Daemon.program().Err();
}

}  // namespace
}  // namespace e2e_test
