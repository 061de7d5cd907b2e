// The test harness itself: the process runs in a network namespace of its
// own, with a working IPv6 loopback, so fixed ports never clash.
#include "tests/common/test_env.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

TEST(PrivateNet, LoopbackCarriesADatagramOnAFixedPort) {
  VELLORA_REQUIRE_PRIVATE_NET();
  int rx = ::socket(AF_INET6, SOCK_DGRAM, 0);
  int tx = ::socket(AF_INET6, SOCK_DGRAM, 0);
  ASSERT_GE(rx, 0);
  ASSERT_GE(tx, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(19640);
  a.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const char msg[] = "x";
  ASSERT_EQ(::sendto(tx, msg, 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 1);
  char got = 0;
  EXPECT_EQ(::recv(rx, &got, 1, 0), 1);
  EXPECT_EQ(got, 'x');
  ::close(rx);
  ::close(tx);
}
