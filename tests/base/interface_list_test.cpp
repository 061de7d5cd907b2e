// The machine's own addresses, in a private namespace whose links the test
// made itself: lo, one veth end with a fixed link-local address, and the
// non-link-local addresses the test adds.
#include "base/socket.h"

#include "tests/base/socket_test_util.h"
#include "tests/common/link_harness.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <sys/resource.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using KALMO::IPAddress;
using KALMO::Socket;
using socktest::endpoint;

std::vector<std::pair<std::string, std::string>> entries(const Socket::InterfaceMap& map) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [key, value] : map) {
    std::string address;
    key.get_V6_str(address);
    out.emplace_back(address + "%" + std::to_string(key.interfaceIndex) + "," +
                         std::to_string(ntohs(key.port)),
                     value.name + (value.spare.empty() ? "" : "+" + value.spare));
  }
  return out;
}

in6_addr parse(const char* text) {
  in6_addr a{};
  EXPECT_EQ(::inet_pton(AF_INET6, text, &a), 1);
  return a;
}

class InterfaceList : public ::testing::Test {
 protected:
  vellora_test::LinkHarness net;
};

TEST_F(InterfaceList, LinkLocalListHoldsLoopbackFirstAndDropsOtherAddresses) {
  VELLORA_REQUIRE_PRIVATE_NET();
  VELLORA_SETUP_LINKS(net, 1);
  const auto& link = net.link(0);
  std::string error;
  ASSERT_TRUE(net.addHostAddress(0, parse("2001:db8::5"), &error)) << error;
  ASSERT_TRUE(net.addHostAddress(0, parse("fe90::5"), &error)) << error;
  const std::string lo = std::to_string(::if_nametoindex("lo"));
  const std::string host = std::to_string(link.hostIndex);

  Socket::InterfaceMap all;
  ASSERT_TRUE(Socket::getMyAddresV6(all));
  using Row = std::pair<std::string, std::string>;
  EXPECT_EQ(entries(all), (std::vector<Row>{
                              {"::1%" + lo + ",0", "lo"},
                              {"2001:db8::5%" + host + ",0", link.hostName},
                              {"fe80::1:1%" + host + ",0", link.hostName},
                              {"fe90::5%" + host + ",0", link.hostName},
                          }));

  Socket::InterfaceMap local;
  local[endpoint("fe80::dead", 1)].name = "stale entry";
  ASSERT_TRUE(Socket::getMyLocalAddresV6(local, true));
  EXPECT_EQ(entries(local), (std::vector<Row>{
                                {"::1%" + lo + ",0", "lo"},
                                {"fe80::1:1%" + host + ",0", link.hostName},
                            }));
  ASSERT_TRUE(Socket::getMyLocalAddresV6(local, false));
  EXPECT_EQ(entries(local), (std::vector<Row>{{"fe80::1:1%" + host + ",0", link.hostName}}));
}

TEST_F(InterfaceList, AnIndexAbove16BitsIsKeptWhole) {
  VELLORA_REQUIRE_PRIVATE_NET();
  VELLORA_REQUIRE_ROOT();
  if (!socktest::run("ip link add name vwide index 70000 type veth peer name vwidep") ||
      !socktest::run("ip addr add fe80::70:1/64 dev vwide nodad")) {
    if (vellora_test::privilegeRequired()) FAIL() << "cannot add a veth pair";
    GTEST_SKIP() << "cannot add a veth pair";
  }
  Socket::InterfaceMap local;
  ASSERT_TRUE(Socket::getMyLocalAddresV6(local, false));
  const auto it = local.find(endpoint("fe80::70:1", 0, 70000));
  ASSERT_NE(it, local.end());
  EXPECT_EQ(it->second.name, "vwide");

  // Binding to it reaches the interface by the whole index.
  Socket s;
  IPAddress at = it->first;
  EXPECT_TRUE(socktest::openBound(s, at));
  EXPECT_EQ(s.interfaceIndex, 70000u);
  socktest::run("ip link del vwide");
}

TEST(InterfaceListV4, LoopbackIsListedAsAMappedAddress) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Socket::InterfaceMap v4;
  ASSERT_TRUE(Socket::getMyAddresV4(v4));
  IPAddress loopback;
  loopback.address[10] = 0xff;
  loopback.address[11] = 0xff;
  loopback.address[12] = 127;
  loopback.address[15] = 1;
  loopback.interfaceIndex = ::if_nametoindex("lo");
  const auto it = v4.find(loopback);
  ASSERT_NE(it, v4.end());
  EXPECT_EQ(it->second.name, "lo");
  for (const auto& entry : v4) EXPECT_TRUE(entry.first.isV4Mapped());
}

TEST(InterfaceListFailure, AListThatCannotBeReadLeavesTheMapEmpty) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Socket s;
  ASSERT_TRUE(s.open(Socket::UDP_IPV6));
  Socket::InterfaceMap map;
  map[endpoint("fe80::1", 0)].name = "old";
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // No descriptor can be opened, so the system cannot be asked.
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const bool listed = Socket::getMyAddresV6(map);
  IPAddress loopback = endpoint("::1", 0);
  const bool bound = s.bindV6(loopback, 1);  // needs the list for ::1's index
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(listed);
  EXPECT_TRUE(map.empty());
  EXPECT_FALSE(bound);
  EXPECT_EQ(loopback.port, 0);
}

}  // namespace
