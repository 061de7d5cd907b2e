// The link-local harness itself: what the discovery tests rely on from it.
#include "tests/common/link_harness.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

using vellora_test::LinkHarness;
using vellora_test::NsScope;

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

sockaddr_in6 endpoint(const in6_addr& a, unsigned short port, unsigned scope) {
  sockaddr_in6 s{};
  s.sin6_family = AF_INET6;
  s.sin6_addr = a;
  s.sin6_port = htons(port);
  s.sin6_scope_id = scope;
  return s;
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

// Receives one datagram with its arrival interface and destination address.
bool receiveWithInfo(int fd, sockaddr_in6* from, in6_pktinfo* info) {
  char data[64];
  alignas(cmsghdr) char control[128];
  iovec iov{data, sizeof data};
  msghdr m{};
  m.msg_name = from;
  m.msg_namelen = sizeof *from;
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  if (::recvmsg(fd, &m, 0) < 0) return false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      std::memcpy(info, CMSG_DATA(c), sizeof *info);
      return true;
    }
  }
  return false;
}

// Answers from a chosen source address of the receiving socket.
bool sendFrom(int fd, const in6_addr& source, unsigned ifindex, const sockaddr_in6& to) {
  char byte = 'a';
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))]{};
  iovec iov{&byte, 1};
  msghdr m{};
  m.msg_name = const_cast<sockaddr_in6*>(&to);
  m.msg_namelen = sizeof to;
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = IPPROTO_IPV6;
  c->cmsg_type = IPV6_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
  in6_pktinfo info{};
  info.ipi6_addr = source;
  info.ipi6_ifindex = ifindex;
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  return ::sendmsg(fd, &m, 0) == 1;
}

TEST(LinkHarness, MulticastReachesTheTargetSideOfEachLinkAndAnswersKeepTheirSource) {
  VELLORA_REQUIRE_PRIVATE_NET();
  LinkHarness net;
  VELLORA_SETUP_LINKS(net, 2);
  std::string error;
  const in6_addr second = vellora_test::linkLocal(3, 1);
  ASSERT_TRUE(net.addTargetAddress(0, second, &error)) << error;

  int targetFd = -1;
  {
    NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    targetFd = ::socket(AF_INET6, SOCK_DGRAM, 0);
  }
  Fd target(targetFd);
  ASSERT_GE(target.fd, 0);
  const int on = 1;
  ASSERT_EQ(::setsockopt(target.fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on), 0);
  sockaddr_in6 any = endpoint(in6addr_any, 19642, 0);
  ASSERT_EQ(::bind(target.fd, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);

  Fd host(::socket(AF_INET6, SOCK_DGRAM, 0));
  ASSERT_GE(host.fd, 0);
  in6_addr group{};
  ASSERT_EQ(::inet_pton(AF_INET6, "ff02::1", &group), 1);

  for (std::size_t i = 0; i < net.linkCount(); ++i) {
    const auto& link = net.link(i);
    sockaddr_in6 to = endpoint(group, 19642, link.hostIndex);
    ASSERT_EQ(::sendto(host.fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 1) << strerror(errno);
    ASSERT_TRUE(readable(target.fd, 2000)) << "link " << i;
    sockaddr_in6 from{};
    in6_pktinfo info{};
    ASSERT_TRUE(receiveWithInfo(target.fd, &from, &info));
    EXPECT_EQ(info.ipi6_ifindex, static_cast<int>(link.targetIndex));
    EXPECT_EQ(std::memcmp(&from.sin6_addr, &link.hostAddress, 16), 0);

    // Every address of the link answers from itself.
    for (const in6_addr& source : link.targetAddresses) {
      ASSERT_TRUE(sendFrom(target.fd, source, link.targetIndex, from));
      ASSERT_TRUE(readable(host.fd, 2000));
      sockaddr_in6 answer{};
      socklen_t len = sizeof answer;
      char byte = 0;
      ASSERT_EQ(::recvfrom(host.fd, &byte, 1, 0, reinterpret_cast<sockaddr*>(&answer), &len), 1);
      EXPECT_EQ(std::memcmp(&answer.sin6_addr, &source, 16), 0);
      EXPECT_EQ(ntohs(answer.sin6_port), 19642);
      EXPECT_EQ(answer.sin6_scope_id, link.hostIndex);
    }
  }
}

TEST(LinkHarness, TearDownRemovesTheLinksSoANewHarnessCanReuseTheirNames) {
  VELLORA_REQUIRE_PRIVATE_NET();
  {
    LinkHarness net;
    VELLORA_SETUP_LINKS(net, 1);
    EXPECT_NE(::if_nametoindex(net.link(0).hostName.c_str()), 0u);
  }
  EXPECT_EQ(::if_nametoindex("vhost1"), 0u);
  LinkHarness again;
  VELLORA_SETUP_LINKS(again, 1);
  EXPECT_NE(again.link(0).hostIndex, 0u);
}

}  // namespace
