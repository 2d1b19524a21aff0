#include "platform/syswatch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "testsupport/TestEnv.h"

namespace {

using namespace platform::syswatch;
using namespace std::string_literals;

class SyswatchTest : public testsupport::ZevaTest {};

// Kernel messages as they arrive: fields separated by NUL, the last one ending in NUL.
const std::string kUsbAdd =
    "add@/devices/pci0000:00/0000:00:14.0/usb1/1-2\0ACTION=add\0DEVPATH=/devices/pci0000:00/0000:00:14.0/"
    "usb1/1-2\0"
    "SUBSYSTEM=usb\0MAJOR=189\0MINOR=3\0DEVNAME=bus/usb/001/004\0DEVTYPE=usb_device\0PRODUCT=46d/c52b/1211\0"
    "TYPE=0/0/0\0BUSNUM=001\0DEVNUM=004\0SEQNUM=4711\0"s;
const std::string kUsbInterfaceAdd =
    "add@/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0\0ACTION=add\0"
    "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0\0SUBSYSTEM=usb\0DEVTYPE=usb_interface\0"
    "PRODUCT=46d/c52b/1211\0INTERFACE=3/1/1\0SEQNUM=4712\0"s;
const std::string kNetRemove =
    "remove@/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/net/enx00112233\0ACTION=remove\0"
    "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/net/enx00112233\0SUBSYSTEM=net\0"
    "INTERFACE=enx00112233\0IFINDEX=7\0SEQNUM=4713\0"s;
const std::string kVirtualNetAdd =
    "add@/devices/virtual/net/veth12\0ACTION=add\0DEVPATH=/devices/virtual/net/veth12\0SUBSYSTEM=net\0"
    "INTERFACE=veth12\0IFINDEX=9\0SEQNUM=4714\0"s;
const std::string kSerialAdd =
    "add@/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB0/tty/ttyUSB0\0ACTION=add\0"
    "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB0/tty/ttyUSB0\0SUBSYSTEM=tty\0"
    "MAJOR=188\0MINOR=0\0DEVNAME=ttyUSB0\0SEQNUM=4715\0"s;
const std::string kConsoleAdd =
    "add@/devices/virtual/tty/tty7\0ACTION=add\0DEVPATH=/devices/virtual/tty/tty7\0SUBSYSTEM=tty\0"
    "DEVNAME=tty7\0SEQNUM=4716\0"s;
const std::string kUsbBind =
    "bind@/devices/pci0000:00/0000:00:14.0/usb1/1-2\0ACTION=bind\0DEVPATH=/devices/pci0000:00/0000:00:14.0/"
    "usb1/1-2\0"
    "SUBSYSTEM=usb\0DEVTYPE=usb_device\0PRODUCT=46d/c52b/1211\0DRIVER=usb\0SEQNUM=4717\0"s;

std::span<const char> Span(const std::string& s) { return {s.data(), s.size()}; }

TEST_F(SyswatchTest, ParsesTheHeaderAndFieldsAndNamesTheDevice) {
  const auto usb = ParseUevent(Span(kUsbAdd));
  ASSERT_TRUE(usb);
  EXPECT_EQ(usb->action, "add");
  EXPECT_EQ(usb->devpath, "/devices/pci0000:00/0000:00:14.0/usb1/1-2");
  EXPECT_EQ(usb->subsystem, "usb");
  EXPECT_EQ(usb->devtype, "usb_device");
  EXPECT_EQ(usb->id, "46d/c52b/1211");  // the product wins over the node's name

  const auto net = ParseUevent(Span(kNetRemove));
  ASSERT_TRUE(net);
  EXPECT_EQ(net->action, "remove");
  EXPECT_EQ(net->devtype, "");
  EXPECT_EQ(net->id, "enx00112233");

  const auto tty = ParseUevent(Span(kSerialAdd));
  ASSERT_TRUE(tty);
  EXPECT_EQ(tty->id, "ttyUSB0");

  // Without a trailing NUL, and with a field that is no KEY=VALUE.
  const auto bare =
      ParseUevent(Span("remove@/devices/x\0junk\0ACTION=remove\0DEVPATH=/devices/x\0SUBSYSTEM=usb"s));
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->subsystem, "usb");
  EXPECT_EQ(bare->id, "/devices/x");  // nothing better names it
}

TEST_F(SyswatchTest, RefusesWhatIsNoKernelEvent) {
  const std::string cases[] = {
      ""s,
      "libudev\0\xfe\xed\xca\xfe\0ACTION=add\0DEVPATH=/devices/x\0SUBSYSTEM=usb\0"s,  // the device manager's
      "add/devices/x\0ACTION=add\0DEVPATH=/devices/x\0SUBSYSTEM=usb\0"s,              // no '@'
      "@/devices/x\0ACTION=add\0DEVPATH=/devices/x\0SUBSYSTEM=usb\0"s,                // no action
      "add@\0ACTION=add\0DEVPATH=/devices/x\0SUBSYSTEM=usb\0"s,                       // no path
      "add@/devices/x\0DEVPATH=/devices/x\0SUBSYSTEM=usb\0"s,                         // no ACTION
      "add@/devices/x\0ACTION=add\0SUBSYSTEM=usb\0"s,                                 // no DEVPATH
      "add@/devices/x\0ACTION=add\0DEVPATH=/devices/x\0"s,                            // no SUBSYSTEM
      "add@/devices/x\0ACTION=remove\0DEVPATH=/devices/x\0SUBSYSTEM=usb\0"s,          // disagreeing action
      "add@/devices/x\0ACTION=add\0DEVPATH=/devices/y\0SUBSYSTEM=usb\0"s,             // disagreeing path
  };
  for (const std::string& message : cases)
    EXPECT_FALSE(ParseUevent(Span(message))) << testing::PrintToString(message);
}

TEST_F(SyswatchTest, ReportsArrivalsAndRemovalsOfUsbDevicesNetworkAdaptersAndSerialPorts) {
  struct Case {
    const std::string* message;
    bool reported;
    DeviceAction action;
    const char* classId;
  };
  const Case cases[] = {
      {&kUsbAdd, true, DeviceAction::Arrival, GUID_DEVCLASS_USB},
      {&kNetRemove, true, DeviceAction::Removal, GUID_DEVCLASS_NET},
      {&kSerialAdd, true, DeviceAction::Arrival, GUID_DEVCLASS_PORTS},
      {&kUsbInterfaceAdd, false, {}, ""},  // a part of a device already reported
      {&kVirtualNetAdd, false, {}, ""},
      {&kConsoleAdd, false, {}, ""},
      {&kUsbBind, false, {}, ""},  // neither arrival nor removal
  };
  for (const Case& c : cases) {
    const auto event = ParseUevent(Span(*c.message));
    ASSERT_TRUE(event) << *c.message;
    const auto change = ClassifyUevent(*event);
    ASSERT_EQ(change.has_value(), c.reported) << *c.message;
    if (!change) continue;
    EXPECT_EQ(change->action, c.action) << *c.message;
    EXPECT_EQ(change->classId, c.classId) << *c.message;
    EXPECT_EQ(change->id, event->id);
  }
}

// Collects the watch's reports from its thread.
struct Collector {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<DeviceChange> changes;
  void Add(const DeviceChange& c) {
    std::lock_guard lock(mutex);
    changes.push_back(c);
    changed.notify_all();
  }
  bool WaitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return changes.size() >= count; });
  }
};

TEST_F(SyswatchTest, DeviceWatchDeliversReportedEventsInOrderAndStopsWhenAsked) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
  platform::UniqueFd feed(pair[0]);
  Collector collected;
  DeviceWatch watch;
  ASSERT_TRUE(watch.StartOn(platform::UniqueFd(pair[1]), [&](const DeviceChange& c) { collected.Add(c); }));
  const std::string messages[] = {
      "libudev\0garbage\0"s, kUsbInterfaceAdd, kUsbAdd, kConsoleAdd, kNetRemove, ""s,
  };
  for (const std::string& m : messages)
    ASSERT_EQ(::send(feed.get(), m.data(), m.size(), 0), ssize_t(m.size()));
  ASSERT_TRUE(collected.WaitFor(2));
  watch.Stop();  // joins: nothing more is delivered
  ASSERT_EQ(collected.changes.size(), 2u);
  EXPECT_EQ(collected.changes[0].classId, GUID_DEVCLASS_USB);
  EXPECT_EQ(collected.changes[0].action, DeviceAction::Arrival);
  EXPECT_EQ(collected.changes[1].classId, GUID_DEVCLASS_NET);
  EXPECT_EQ(collected.changes[1].action, DeviceAction::Removal);
  watch.Stop();  // a second stop is harmless
}

TEST_F(SyswatchTest, WatchesOfTheSystemStartAndStop) {
  // Nothing can be made to happen here (setting the clock or plugging a device needs the
  // machine), so this only shows that the watches open and end without hanging.
  ClockWatch clock;
  ASSERT_TRUE(clock.Start([] {}));
  clock.Stop();
  ASSERT_TRUE(clock.Start([] {}));  // again after a stop
  DeviceWatch devices;
  if (devices.Start([](const DeviceChange&) {})) devices.Stop();
}

}  // namespace
