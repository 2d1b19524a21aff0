#include "platform/netif.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "platform/files.h"

namespace platform::netif {

std::string driverOf(const std::string& interfaceName, const std::string& sysClassNet) {
  // A name from outside must not walk out of the folder.
  if (interfaceName.empty() || interfaceName == "." || interfaceName == ".." ||
      interfaceName.find('/') != std::string::npos)
    return {};
  char target[PATH_MAX];
  const std::string link = sysClassNet + "/" + interfaceName + "/device/driver";
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return {};
  return fileNameOf(std::string(target, static_cast<std::size_t>(n)));
}

std::vector<Adapter> adapters() {
  std::vector<Adapter> result;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return result;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_name) continue;
    auto it =
        std::find_if(result.begin(), result.end(), [&](const Adapter& a) { return a.name == i->ifa_name; });
    if (it == result.end()) {
      Adapter a;
      a.name = i->ifa_name;
      a.driver = driverOf(a.name);
      result.push_back(std::move(a));
      it = std::prev(result.end());
    }
    it->up = it->up || (i->ifa_flags & IFF_UP) != 0;
    it->running = it->running || (i->ifa_flags & IFF_RUNNING) != 0;
    if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) {
      Ipv4Address a;
      a.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
      if (i->ifa_netmask)
        a.netmask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
      it->ipv4.push_back(a);
    }
  }
  ::freeifaddrs(list);
  return result;
}

}  // namespace platform::netif
