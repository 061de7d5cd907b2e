// The machine's own interface addresses, from getifaddrs.
#include "base/socket.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <iterator>

namespace KALMO {

namespace {

// Lists every address of the given family; the key's index is the one
// if_nametoindex gives for the interface's name, all 32 bits of it, since
// these keys are bound to and sent from.
bool listAddresses(Socket::InterfaceMap& map, int family) {
  map.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  for (const ifaddrs* e = list; e != nullptr; e = e->ifa_next) {
    if (e->ifa_addr == nullptr || e->ifa_addr->sa_family != family) continue;
    IPAddress key;
    if (family == AF_INET6) {
      const auto* s6 = reinterpret_cast<const sockaddr_in6*>(e->ifa_addr);
      std::memcpy(key.address, &s6->sin6_addr, 16);
    } else {
      const auto* s4 = reinterpret_cast<const sockaddr_in*>(e->ifa_addr);
      key.address[10] = 0xff;
      key.address[11] = 0xff;
      std::memcpy(key.address + 12, &s4->sin_addr, 4);
    }
    const char* name = e->ifa_name != nullptr ? e->ifa_name : "";
    key.interfaceIndex = ::if_nametoindex(name);
    map[key].name = name;
  }
  ::freeifaddrs(list);
  return true;
}

}  // namespace

bool Socket::getMyAddresV6(InterfaceMap& map) { return listAddresses(map, AF_INET6); }

bool Socket::getMyAddresV4(InterfaceMap& map) { return listAddresses(map, AF_INET); }

bool Socket::getMyLocalAddresV6(InterfaceMap& map, bool includeLoopback) {
  if (!getMyAddresV6(map)) return false;
  for (auto it = map.begin(); it != map.end();) {
    const bool keep = it->first.isLinkLocal() || (includeLoopback && it->first.isLoopback());
    it = keep ? std::next(it) : map.erase(it);
  }
  return true;
}

}  // namespace KALMO
