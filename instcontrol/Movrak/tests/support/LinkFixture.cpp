#include "LinkFixture.h"

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "link/BroklaClient.h"
#include "link/LinkState.h"
#include "platform/net.h"

namespace {
zevasim::Options simOptions() {
  zevasim::Options o;
  o.serialNumber = "ZS000001";
  return o;
}
}  // namespace

LinkTest::LinkTest() : sim(simOptions()) {
  CRegEdit reg(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo");
  reg.WriteInt("DebugLevel", 6);
  reg.WriteInt("MaxSize", 50000000);
  reg.WriteInt("EnableTimestamp", 0);
  reg.WriteInt("EnableThreadIdStamp", 0);
  CLogger::SetDebugLogging(true);
  CLogger::Open((tempDir() + "/link").c_str());
  if (!sim.start()) ADD_FAILURE() << "simulator did not start";
  manager.addInstrument(simEntry());
}

LinkTest::~LinkTest() {
  // The link is process-wide: leave nothing behind for the next test in this process.
  DisconnectConnectionManager();
  for (auto& r : Link().records) {
    if (!r->monitor) continue;
    if (r->unblockedBusy) (void)Link().socket.shutdown();
    (void)r->monitor->join();
  }
  Link().records.clear();
  Link().socket.close();
  sim.stop();
  CLogger::Close();
}

brokla::InstrumentEntry LinkTest::simEntry(std::uint32_t id) const {
  return {id, platform::net::kLoopbackAddress, sim.port(), 1, kSerial};
}

std::string LinkTest::connectString() const { return "127.0.0.1_" + std::to_string(sim.port()); }

std::string LinkTest::log() const { return testsupport::readFile(CLogger::m_File.path()); }
