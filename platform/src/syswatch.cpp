#include "platform/syswatch.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform::syswatch {

// ---- parsing ---------------------------------------------------------------------------------------

std::optional<Uevent> ParseUevent(std::span<const char> message) {
  std::string_view rest(message.data(), message.size());
  const auto nextField = [&rest]() {
    const std::size_t end = rest.find('\0');
    const std::string_view field = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return field;
  };
  const std::string_view header = nextField();
  const std::size_t at = header.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == header.size()) return std::nullopt;

  Uevent event;
  std::string product, interfaceName, devname;
  bool sawAction = false, sawDevpath = false;
  while (!rest.empty()) {
    const std::string_view field = nextField();
    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = field.substr(0, eq);
    const std::string value(field.substr(eq + 1));
    if (key == "ACTION") {
      event.action = value;
      sawAction = true;
    } else if (key == "DEVPATH") {
      event.devpath = value;
      sawDevpath = true;
    } else if (key == "SUBSYSTEM") {
      event.subsystem = value;
    } else if (key == "DEVTYPE") {
      event.devtype = value;
    } else if (key == "PRODUCT") {
      product = value;
    } else if (key == "INTERFACE") {
      interfaceName = value;
    } else if (key == "DEVNAME") {
      devname = value;
    }
  }
  // The header must agree with the fields it summarises.
  if (!sawAction || !sawDevpath || event.subsystem.empty() || header.substr(0, at) != event.action ||
      header.substr(at + 1) != event.devpath)
    return std::nullopt;
  if (!product.empty())
    event.id = product;
  else if (!interfaceName.empty())
    event.id = interfaceName;
  else if (!devname.empty())
    event.id = devname;
  else
    event.id = event.devpath;
  return event;
}

std::optional<DeviceChange> ClassifyUevent(const Uevent& event) {
  DeviceChange change;
  if (event.action == "add")
    change.action = DeviceAction::Arrival;
  else if (event.action == "remove")
    change.action = DeviceAction::Removal;
  else
    return std::nullopt;
  const bool isVirtual = event.devpath.rfind("/devices/virtual/", 0) == 0;
  if (event.subsystem == "usb" && event.devtype == "usb_device")
    change.classId = GUID_DEVCLASS_USB;
  else if (event.subsystem == "net" && !isVirtual)
    change.classId = GUID_DEVCLASS_NET;
  else if (event.subsystem == "tty" && !isVirtual)
    change.classId = GUID_DEVCLASS_PORTS;
  else
    return std::nullopt;
  change.id = event.id;
  return change;
}

// ---- the reading thread ----------------------------------------------------------------------------

bool FdReader::start(UniqueFd fd, std::function<bool(int fd)> onReadable) {
  stop();
  if (!fd) {
    errno = EBADF;
    return false;
  }
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return false;
  m_fd = std::move(fd);
  m_wake = std::move(wake);
  try {
    m_thread = std::thread([fd = m_fd.get(), wakeFd = m_wake.get(), onReadable = std::move(onReadable)] {
      for (;;) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (fds[0].revents) return;
        if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL) && !(fds[1].revents & POLLIN)) return;
        if (fds[1].revents && !onReadable(fd)) return;
      }
    });
  } catch (const std::system_error& e) {
    m_fd.reset();
    m_wake.reset();
    errno = e.code().value();
    return false;
  }
  return true;
}

void FdReader::stop() {
  if (m_thread.joinable()) {
    const std::uint64_t one = 1;
    // An eventfd write cannot fail short of overflow, and one wake is enough.
    [[maybe_unused]] const ssize_t n = ::write(m_wake.get(), &one, sizeof one);
    m_thread.join();
  }
  m_fd.reset();
  m_wake.reset();
}

// ---- the clock -------------------------------------------------------------------------------------

namespace {

// A timer far in the future on the wall clock, cancelled whenever that clock is set.
bool ArmClockTimer(int fd) {
  itimerspec spec{};
  spec.it_value.tv_sec = static_cast<time_t>(INT32_MAX);  // 2038: never reached while watched
  return ::timerfd_settime(fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr) == 0;
}

}  // namespace

bool ClockWatch::Start(std::function<void()> onClockSet) {
  UniqueFd fd(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!fd || !ArmClockTimer(fd.get())) return false;
  return m_reader.start(std::move(fd), [onClockSet = std::move(onClockSet)](int timer) {
    std::uint64_t expirations = 0;
    const ssize_t n = ::read(timer, &expirations, sizeof expirations);
    if (n < 0 && errno == ECANCELED) {
      // Arm again so that the next setting is seen too.
      if (!ArmClockTimer(timer)) return false;
      onClockSet();
      return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    // The timer ran out (the clock passed the far date): keep watching from a new one.
    return n >= 0 && ArmClockTimer(timer);
  });
}

// ---- devices ---------------------------------------------------------------------------------------

bool DeviceWatch::Start(std::function<void(const DeviceChange&)> onChange) {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT));
  if (!fd) return false;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = 1;  // the kernel's own events (not the device manager's)
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
  return StartOn(std::move(fd), std::move(onChange));
}

bool DeviceWatch::StartOn(UniqueFd socket, std::function<void(const DeviceChange&)> onChange) {
  return m_reader.start(
      std::move(socket), [onChange = std::move(onChange), buffer = std::vector<char>(16384)](int fd) mutable {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0)
          return errno == EAGAIN || errno == EINTR || errno == ENOBUFS;  // ENOBUFS: events lost, go on
        if (n == 0) return true;
        // Only the kernel speaks on this socket; a truncated message is not parsed.
        if (from.ss_family == AF_NETLINK && reinterpret_cast<const sockaddr_nl&>(from).nl_pid != 0)
          return true;
        if (static_cast<std::size_t>(n) > buffer.size()) return true;
        const auto event = ParseUevent(std::span<const char>(buffer.data(), static_cast<std::size_t>(n)));
        if (!event) return true;
        if (const auto change = ClassifyUevent(*event)) onChange(*change);
        return true;
      });
}

}  // namespace platform::syswatch
