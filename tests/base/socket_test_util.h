#pragma once
// Small helpers for the socket tests.

#include "base/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace socktest {

inline KALMO::IPAddress endpoint(const char* v6, unsigned short port, uint32_t index = 0) {
  KALMO::IPAddress a;
  EXPECT_EQ(::inet_pton(AF_INET6, v6, a.address), 1) << v6;
  a.port = htons(port);
  a.interfaceIndex = index;
  return a;
}

inline KALMO::IPAddress endpoint(const in6_addr& address, unsigned short port, uint32_t index) {
  KALMO::IPAddress a;
  std::memcpy(a.address, &address, 16);
  a.port = htons(port);
  a.interfaceIndex = index;
  return a;
}

inline KALMO::BufferCS_const view(const std::string& s) {
  return KALMO::BufferCS_const{reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

inline std::string text(const KALMO::Buffer& b) { return std::string(b.begin(), b.end()); }

// An open UDP/IPv6 socket bound to the endpoint (its port filled in).
inline bool openBound(KALMO::Socket& s, KALMO::IPAddress& local) {
  return s.open(KALMO::Socket::UDP_IPV6) && s.bindV6(local, 1);
}

// Runs a shell command of the test's own network set-up.
inline bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// A copy of fd numbered at least `atLeast` (the soft limit raised as
// needed); -1 when the process may not have that many descriptors.
inline int highCopy(int fd, int atLeast) {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  if (lim.rlim_cur <= static_cast<rlim_t>(atLeast)) {
    if (lim.rlim_max <= static_cast<rlim_t>(atLeast)) return -1;
    lim.rlim_cur = static_cast<rlim_t>(atLeast) + 16;
    if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  }
  return ::fcntl(fd, F_DUPFD_CLOEXEC, atLeast);
}

}  // namespace socktest
