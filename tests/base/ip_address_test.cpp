#include "base/ip_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

namespace {

using KALMO::IPAddress;
using Groups = std::array<uint16_t, 8>;

IPAddress fromGroups(const Groups& g, uint16_t port = 0, uint32_t index = 0) {
  IPAddress a{};
  for (int k = 0; k < 8; ++k) {
    a.address[2 * k] = static_cast<uint8_t>(g[k] >> 8);
    a.address[2 * k + 1] = static_cast<uint8_t>(g[k]);
  }
  a.port = htons(port);
  a.interfaceIndex = index;
  return a;
}

Groups groupsOf(const IPAddress& a) {
  Groups g{};
  for (int k = 0; k < 8; ++k) g[k] = static_cast<uint16_t>((a.address[2 * k] << 8) | a.address[2 * k + 1]);
  return g;
}

IPAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port = 0, uint32_t index = 0) {
  return fromGroups({0, 0, 0, 0, 0, 0xffff, static_cast<uint16_t>(a << 8 | b),
                     static_cast<uint16_t>(c << 8 | d)},
                    port, index);
}

template <void (IPAddress::*F)(std::string&) const>
std::string text(const IPAddress& a) {
  std::string s = "stale";
  (a.*F)(s);
  return s;
}

TEST(IPAddress, NewEndpointIsAllZero) {
  const IPAddress a;
  EXPECT_TRUE(a.isUnspecified());
  EXPECT_EQ(a.port, 0);
  EXPECT_EQ(a.interfaceIndex, 0u);
}

TEST(IPAddress, OrderIsAddressThenPortThenIndex) {
  const IPAddress sorted[] = {
      fromGroups({0, 0, 0, 0, 0, 0, 0, 1}),
      fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 0x12ff, 9),
      fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 0x1234 + 0xcc, 1),  // 0x1300
      fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 0x1300, 2),
      fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 0x1300, 0x10000),
      fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 2}, 0, 1),
      fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 0x100}),
  };
  const size_t n = sizeof sorted / sizeof sorted[0];
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      const int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(sorted[i].comp(sorted[j]), expected) << i << " vs " << j;
    }
  }
  // The Part's own three: index 2 before index 3 before fe80::2.
  EXPECT_EQ(fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 0x1234, 2)
                .comp(fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 0x1234, 3)),
            -1);
  EXPECT_EQ(fromGroups({0, 0, 0, 0, 0, 0, 0, 1}).comp(fromGroups({0x8000, 0, 0, 0, 0, 0, 0, 0})), -1);

  std::map<IPAddress, int> m;
  m[sorted[3]] = 3;
  m[sorted[0]] = 0;
  m[sorted[5]] = 5;
  m[fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 0x1300, 2)] = 33;
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m.begin()->second, 0);
  EXPECT_EQ(m[sorted[3]], 33);
}

TEST(IPAddress, AddressClasses) {
  EXPECT_TRUE(v4(1, 2, 3, 4).isV4Mapped());
  EXPECT_FALSE(fromGroups({0, 0, 0, 0, 1, 0xffff, 0, 0}).isV4Mapped());
  EXPECT_FALSE(fromGroups({0, 0, 0, 0, 0, 0xfffe, 0, 0}).isV4Mapped());
  EXPECT_TRUE(fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 7}).isLinkLocal());
  EXPECT_FALSE(fromGroups({0xfe81, 0, 0, 0, 0, 0, 0, 7}).isLinkLocal());
  EXPECT_FALSE(fromGroups({0xfebf, 0, 0, 0, 0, 0, 0, 7}).isLinkLocal());
  EXPECT_TRUE(fromGroups({0, 0, 0, 0, 0, 0, 0, 1}).isLoopback());
  EXPECT_FALSE(fromGroups({0, 0, 0, 0, 0, 0, 1, 1}).isLoopback());
  EXPECT_FALSE(fromGroups({0, 0, 0, 0, 0, 0, 0, 1}).isUnspecified());
}

TEST(IPAddress, TextFormsOfWholeEndpoints) {
  struct Case {
    IPAddress a;
    const char* str;
    const char* full;
    const char* v6ifn;
  } const cases[] = {
      {v4(192, 168, 1, 77, 8080, 3), "192.168.1.77,8080", "192.168.1.77%3,8080", "::ffff:c0a8:14d%3"},
      {fromGroups({0xfe80, 0, 0, 0, 0x1234, 0x5678, 0x9abc, 0xdef0}, 19642, 2),
       "fe80::1234:5678:9abc:def0,19642", "fe80::1234:5678:9abc:def0%2,19642",
       "fe80::1234:5678:9abc:def0%2"},
      {fromGroups({0, 0, 0, 0, 0, 0, 0, 1}, 1, 65536), "::1,1", "::1%0,1", "::1%0"},
      {IPAddress{}, "::,0", "::%0,0", "::%0"},
      {fromGroups({0, 0, 0, 0, 0, 0, 0, 1}, 65535, 74565), "::1,65535", "::1%9029,65535", "::1%9029"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text<&IPAddress::get_str>(c.a), c.str);
    EXPECT_EQ(text<&IPAddress::get_full_str>(c.a), c.full);
    EXPECT_EQ(text<&IPAddress::get_V6IFN_str>(c.a), c.v6ifn);
  }
  const IPAddress e = v4(10, 0, 0, 255, 0, 74565);
  EXPECT_EQ(text<&IPAddress::get_if_str>(e), "9029");
  EXPECT_EQ(text<&IPAddress::get_port_str>(e), "0");
  EXPECT_EQ(text<&IPAddress::get_V4_str>(e), "10.0.0.255");
  EXPECT_EQ(text<&IPAddress::get_add_str>(e), "10.0.0.255");
  // Dotted decimal of the last four bytes, whatever the rest holds.
  EXPECT_EQ(text<&IPAddress::get_V4_str>(fromGroups({0xfe80, 0, 0, 0, 0, 0, 0x0102, 0x0304})), "1.2.3.4");
}

TEST(IPAddress, V6TextCompressesTheFirstZeroRun) {
  struct Case {
    Groups g;
    const char* text;
  } const cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
      {{1, 0, 0, 0, 0, 0, 0, 0}, "1::"},
      {{0x2001, 0, 5, 6, 7, 8, 9, 0xa}, "2001:0:5:6:7:8:9:a"},
      {{1, 0, 0, 2, 0, 0, 0, 3}, "1::2:0:0:0:3"},
      {{1, 2, 3, 4, 5, 6, 0, 0}, "1:2:3:4:5:6::"},
      {{1, 2, 3, 4, 5, 6, 7, 0}, "1:2:3:4:5:6:7:0"},
      {{0, 1, 0, 0, 0, 0, 0, 0}, "0:1::"},
      {{0, 0, 0, 0, 0, 0xffff, 0xc0a8, 0x14d}, "::ffff:c0a8:14d"},
      {{1, 2, 0, 0, 3, 4, 0, 0}, "1:2::3:4:0:0"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{0xABCD, 0xffff, 0x10, 0x100, 0x1000, 1, 0, 2}, "abcd:ffff:10:100:1000:1:0:2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text<&IPAddress::get_V6_str>(fromGroups(c.g)), c.text);
  }
}

TEST(IPAddress, SetV6Str) {
  struct Case {
    const char* text;
    bool ok;
    Groups g;
  } const cases[] = {
      {"fe80::1", true, {0xfe80, 0, 0, 0, 0, 0, 0, 1}},
      {"::", true, {}},
      {"1::", true, {1, 0, 0, 0, 0, 0, 0, 0}},
      {"1:2:3:4:5::6", true, {1, 2, 3, 4, 5, 0, 0, 6}},
      {"1:2:3:4:5:6::7", true, {1, 2, 3, 4, 5, 6, 0, 7}},
      {":1:2:3:4:5:6:7", true, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"1:2:3:4:5:6:7:", true, {1, 2, 3, 4, 5, 6, 7, 0}},
      {"1:2:3::4:5:6", true, {1, 2, 3, 0, 0, 4, 5, 6}},
      {"FE80:0:0:0:ABCD:ef01:2:3", true, {0xfe80, 0, 0, 0, 0xabcd, 0xef01, 2, 3}},
      {"::ffff:c0a8:14d", true, {0, 0, 0, 0, 0, 0xffff, 0xc0a8, 0x14d}},
      {"::1:2:3:4:5:6:7", false, {}},
      {"1:2:3:4:5:6:7::", false, {}},
      {"1:2:3:4:5:6:7", false, {}},
      {"12345::1", false, {}},
      {"1::2::3", false, {}},
      {"1:::2", false, {}},
      {"fe80::1%2", false, {}},
      {"", false, {}},
      {"::ffff:192.168.1.1", false, {}},
      {"1:2:3:4:5:6:7:8:9", false, {}},
  };
  for (const Case& c : cases) {
    IPAddress a = fromGroups({0xaaaa, 0xaaaa, 0xaaaa, 0xaaaa, 0xaaaa, 0xaaaa, 0xaaaa, 0xaaaa}, 77, 5);
    EXPECT_EQ(a.set_V6_str(c.text), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(groupsOf(a), c.g) << c.text;
    }
    EXPECT_EQ(ntohs(a.port), 77) << c.text;
    EXPECT_EQ(a.interfaceIndex, 5u) << c.text;
  }
}

TEST(IPAddress, SetV6StrFailureKeepsEarlierGroupsAndTheRest) {
  IPAddress a = fromGroups({9, 9, 9, 9, 9, 9, 9, 9});
  EXPECT_FALSE(a.set_V6_str(""));
  EXPECT_EQ(groupsOf(a), (Groups{0, 9, 9, 9, 9, 9, 9, 9}));
  a = fromGroups({9, 9, 9, 9, 9, 9, 9, 9});
  EXPECT_FALSE(a.set_V6_str("1:2:x"));
  EXPECT_EQ(groupsOf(a), (Groups{1, 2, 9, 9, 9, 9, 9, 9}));
}

// Long and many-group inputs stay inside the address: the fields and the
// neighbours of the endpoint are untouched.
TEST(IPAddress, SetV6StrNeverWritesOutsideTheAddress) {
  struct Guarded {
    uint8_t before[16];
    IPAddress a;
    uint8_t after[16];
  };
  const std::string inputs[] = {
      std::string(4000, ':'),
      "1:2:3:4:5:6:7:8:9:a:b:c:d:e:f:10:11:12",
      "::1:2:3:4:5:6:7:8:9:a:b",
      "1:2:3:4:5:6:7:8:",
      "1:2:3:4:5:6:7:8::",
      "1:2:3:4:5:6:7::8",
      std::string(5000, 'f'),
      "0000000000000000000000000000000000000001::",
      [] {
        std::string s;
        for (int i = 0; i < 300; ++i) s += "ff:";
        return s;
      }(),
  };
  for (const std::string& in : inputs) {
    Guarded g;
    std::memset(g.before, 0x5c, sizeof g.before);
    std::memset(g.after, 0x5c, sizeof g.after);
    g.a.port = htons(4242);
    g.a.interfaceIndex = 7;
    EXPECT_FALSE(g.a.set_V6_str(in)) << in.substr(0, 40);
    EXPECT_EQ(ntohs(g.a.port), 4242);
    EXPECT_EQ(g.a.interfaceIndex, 7u);
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(g.before[i], 0x5c);
      EXPECT_EQ(g.after[i], 0x5c);
    }
  }
}

TEST(IPAddress, SetPortStrAndSetStr) {
  struct PortCase {
    const char* text;
    bool ok;
    uint16_t port;
  } const ports[] = {
      {"8080", true, 8080}, {"", true, 0},      {"65536", true, 0},
      {"70000", true, 4464}, {"-1", false, 99}, {" 1", false, 99},
      {"12a", false, 99},    {"99999999999999999999999", true, 65535},  // 10^23 - 1 mod 65536
  };
  for (const PortCase& c : ports) {
    IPAddress a{};
    a.port = htons(99);
    EXPECT_EQ(a.set_port_str(c.text), c.ok) << c.text;
    EXPECT_EQ(ntohs(a.port), c.port) << c.text;
  }

  IPAddress a{};
  a.interfaceIndex = 4;
  ASSERT_TRUE(a.set_str("fe80::1,19642"));
  EXPECT_EQ(a, fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 19642, 4));
  ASSERT_TRUE(a.set_str("::2,"));
  EXPECT_EQ(a, fromGroups({0, 0, 0, 0, 0, 0, 0, 2}, 0, 4));
  // No comma: nothing changes.
  EXPECT_FALSE(a.set_str("::3"));
  EXPECT_EQ(a, fromGroups({0, 0, 0, 0, 0, 0, 0, 2}, 0, 4));
  // A bad port leaves the address set and the port as it was.
  a.port = htons(5);
  EXPECT_FALSE(a.set_str("::4,x"));
  EXPECT_EQ(a, fromGroups({0, 0, 0, 0, 0, 0, 0, 4}, 5, 4));
  // IPv4 text, as get_str writes it, is not read back here.
  std::string s;
  v4(192, 168, 1, 77, 8080).get_str(s);
  EXPECT_FALSE(a.set_str(s));
  IPAddress b;
  ASSERT_TRUE(b.set_V4_str(s));
  EXPECT_EQ(b, v4(192, 168, 1, 77, 8080));
}

TEST(IPAddress, SetV4Str) {
  struct Case {
    const char* text;
    bool ok;
    IPAddress result;
  } const cases[] = {
      {"192.168.1.77,8080", true, v4(192, 168, 1, 77, 8080)},
      {"256.257.1.2", true, v4(0, 1, 1, 2)},
      {"1.2.3.4.5", true, v4(1, 2, 3, 4)},
      {"a.b.c.d", true, v4(0, 0, 0, 0)},
      {"1.2.3.4,70000", true, v4(1, 2, 3, 4, 4464)},
      {" 1.+2.3x.4", true, v4(1, 2, 3, 4)},
      {"1.2.3", false, {}},
      {"-1.2.3.4", false, {}},
      {"1.2.3.4,-5", false, {}},
      {"1.2.3.-0", true, v4(1, 2, 3, 0)},
  };
  for (const Case& c : cases) {
    IPAddress a = fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 33, 6);
    const IPAddress old = a;
    EXPECT_EQ(a.set_V4_str(c.text), c.ok) << c.text;
    EXPECT_EQ(a, c.ok ? c.result : old) << c.text;
  }
}

TEST(IPAddress, SetV4StrWithPrefix) {
  struct Case {
    const char* text;
    bool ok;
    int prefix;
    IPAddress result;
  } const cases[] = {
      {"10.0.0.0/8,80", true, 8, v4(10, 0, 0, 0)},
      {"10.1.2.3", true, 31, v4(10, 1, 2, 3)},
      {"10.1.2.3,7/24", true, 24, v4(10, 1, 2, 3, 7)},
      {"10.1.2.3/", true, 0, v4(10, 1, 2, 3)},
      {"10.1.2.3/32", true, 32, v4(10, 1, 2, 3)},
      {"10.1.2.3/33", false, 33, {}},
      {"10.1.2.3/-1", false, -1, {}},
      {"10.1.2/8", false, 8, {}},
  };
  for (const Case& c : cases) {
    IPAddress a = fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 33, 6);
    const IPAddress old = a;
    int prefix = 1234;
    EXPECT_EQ(a.set_V4_str(c.text, prefix), c.ok) << c.text;
    EXPECT_EQ(prefix, c.prefix) << c.text;
    EXPECT_EQ(a, c.ok ? c.result : old) << c.text;
  }
}

TEST(IPAddress, MuchAddress) {
  const IPAddress a77 = v4(192, 168, 1, 77, 1, 1);
  const IPAddress a76 = v4(192, 168, 1, 76, 2, 2);
  const IPAddress b = v4(192, 169, 1, 77);
  const IPAddress six = fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 5, 5);
  const IPAddress six2 = fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 2});
  const IPAddress six3 = fromGroups({0xfe81, 0, 0, 0, 0, 0, 0, 1});
  const IPAddress zero{};
  struct Case {
    const IPAddress* x;
    const IPAddress* y;
    int prefix;
    bool match;
  } const cases[] = {
      {&a77, &a76, 31, true},  {&a77, &a76, 32, false},  {&a77, &a77, 32, true},
      {&a77, &b, 15, true},    {&a77, &b, 16, false},    {&a77, &b, 0, true},
      {&a77, &six, 0, false},  {&six, &a77, 0, false},   {&six, &six2, 126, true},
      {&six, &six2, 127, false}, {&six, &six, 128, true}, {&six, &six3, 15, true},
      {&six, &six3, 16, false}, {&zero, &zero, 0, false}, {&six, &zero, 0, false},
      {&zero, &six, 0, false}, {&a77, &a76, 200, false}, {&a77, &a76, -5, true},
      {&six, &six2, 1000, false},
  };
  for (const Case& c : cases) {
    std::string x, y;
    c.x->get_full_str(x);
    c.y->get_full_str(y);
    EXPECT_EQ(c.x->much_address(*c.y, c.prefix), c.match) << x << " ~ " << y << " /" << c.prefix;
  }
}

}  // namespace
