#include "ComFixture.h"

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "Pellux/ScanDataPort.h"
#include "okSim/okSim.h"
#include "platform/files.h"
#include "platform/net.h"

#ifndef MOVRAK_LIBRARY
#error "MOVRAK_LIBRARY (path of the built libMovrak.so) is not defined"
#endif

void ComTest::SetUpTestSuite() {
  // As in the system: the board's library is loaded by the client, before any object.
  portLibLoaded_ = CScanDataPort::InitPortLib("");
}

ComTest::ComTest()
    : clock_(std::make_shared<platform::ManualClock>()),
      scopedClock_(clock_),
      devices(zevasim::addDeviceFamilies(sim)) {
  clock_->setAutoAdvance(true);  // settling sleeps cost no time
  CRegEdit reg(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo");
  reg.WriteInt("DebugLevel", 6);
  reg.WriteInt("MaxSize", 50000000);
  reg.WriteInt("EnableTimestamp", 0);
  reg.WriteInt("EnableThreadIdStamp", 0);
  const std::string install = tempDir() + "/install";
  EXPECT_TRUE(platform::createDirectories(install));
  reg.WriteString("Path", install);
  CLogger::SetDebugLogging(true);
  CLogger::Open((tempDir() + "/com").c_str());

  okSim_Reset();
  bitFile = tempDir() + "/keth.bit";
  testsupport::writeFile(bitFile, "simulated configuration version=32\n");
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Services\\DataPort\\")
      .WriteString("KethConfigFile", bitFile);

  if (!sim.start()) ADD_FAILURE() << "simulator did not start";
  manager.addInstrument({kInstrumentId, platform::net::kLoopbackAddress, sim.port(), 1, "ZS000001"});
  for (auto id :
       {zevasim::MotorFamily::kSlowStage, zevasim::MotorFamily::kVCStage, zevasim::MotorFamily::kAutofocus,
        zevasim::MotorFamily::kCarousel, zevasim::MotorFamily::kArm})
    devices.motors->update(id, [](zevasim::MotorFamily::Axis& a) { a.initialised = a.homed = true; });

  if (!library_.open(MOVRAK_LIBRARY)) ADD_FAILURE() << library_.error();
  if (platform::com::RegisterLibrary(MOVRAK_LIBRARY) != platform::com::S_OK)
    ADD_FAILURE() << "registration failed";
}

ComTest::~ComTest() {
  releaseReplies();
  sim.stop();
  CLogger::Close();
}

void ComTest::SetUp() { ASSERT_TRUE(portLibLoaded_); }

ComPtr<IScanCtrl> ComTest::create() {
  ComPtr<IScanCtrl> ctrl;
  const HRESULT hr = platform::com::CreateInstance(kScanCtrlProgId, IScanCtrl::kIID, ctrl.put());
  EXPECT_EQ(hr, platform::com::S_OK) << description();
  return ctrl;
}

ComPtr<IScanLL> ComTest::createLL() {
  ComPtr<IScanLL> ll;
  const HRESULT hr = platform::com::CreateInstance(kScanLLProgId, IScanLL::kIID, ll.put());
  EXPECT_EQ(hr, platform::com::S_OK) << description();
  return ll;
}

void ComTest::connect(IScanLL& ll) {
  ASSERT_EQ(ll.Connect(connectString()), platform::com::S_OK) << description();
  forget();
}

std::string ComTest::connectString() const { return "127.0.0.1_" + std::to_string(sim.port()); }

void ComTest::connect(IScanCtrl& ctrl) {
  ASSERT_EQ(ctrl.Connect(connectString()), platform::com::S_OK) << description();
  forget();
  okSim_ClearCallLog();
}

std::vector<std::string> ComTest::lines() const {
  const auto all = sim.lines();
  return {all.begin() + static_cast<long>(std::min(mark_, all.size())), all.end()};
}

void ComTest::forget() { mark_ = sim.lines().size(); }

std::string ComTest::log() const { return testsupport::readFile(CLogger::m_File.path()); }

std::string ComTest::description() {
  const auto info = platform::com::GetErrorInfo();
  return info ? info->description : std::string();
}

void ComTest::holdReplies(const std::string& word) {
  {
    std::lock_guard lock(holdMutex_);
    released_ = false;
  }
  sim.setHandler(word, [this](const zevasim::Request&) {
    std::unique_lock lock(holdMutex_);
    holdChanged_.wait(lock, [this] { return released_; });
    return zevasim::Reply::ok();
  });
}

void ComTest::releaseReplies() {
  {
    std::lock_guard lock(holdMutex_);
    released_ = true;
  }
  holdChanged_.notify_all();
}
