#include "platform/netif.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "platform/files.h"
#include "testsupport/TestEnv.h"

namespace {

class NetifTest : public testsupport::ZevaTest {};

TEST_F(NetifTest, LoopbackIsListedOnceWithItsAddressAndNoDriver) {
  const auto list = platform::netif::adapters();
  ASSERT_EQ(std::count_if(list.begin(), list.end(), [](const auto& a) { return a.name == "lo"; }), 1);
  const auto lo = *std::find_if(list.begin(), list.end(), [](const auto& a) { return a.name == "lo"; });
  EXPECT_TRUE(lo.up);
  EXPECT_EQ(lo.driver, "");  // a virtual interface has no device
  EXPECT_THAT(lo.ipv4, testing::Contains(platform::netif::Ipv4Address{0x7F000001, 0xFF000000}));
}

TEST_F(NetifTest, DriverIsTheNameTheDeviceLinkPointsTo) {
  const std::string root = tempDir() + "/net";
  ASSERT_TRUE(platform::createDirectories(root + "/enx001122/device"));
  ASSERT_EQ(::symlink("../../../bus/usb/drivers/asix", (root + "/enx001122/device/driver").c_str()), 0);
  ASSERT_TRUE(platform::createDirectories(root + "/veth0"));  // virtual: no device

  struct Case {
    const char* name;
    const char* driver;
  } cases[] = {{"enx001122", "asix"}, {"veth0", ""}, {"missing", ""}, {"", ""}, {"..", ""},
               {"enx001122/..", ""}};
  for (const auto& c : cases) EXPECT_EQ(platform::netif::driverOf(c.name, root), c.driver) << c.name;
}

}  // namespace
