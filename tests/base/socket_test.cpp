// UDP sockets: binding, exchange on ::1 and on a link-local address with
// its scope, truncation, the wait, and the bounded retry send.
#include "base/socket.h"

#include "tests/base/socket_test_util.h"
#include "tests/common/link_harness.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using KALMO::Buffer;
using KALMO::Clock;
using KALMO::IPAddress;
using KALMO::Socket;
using socktest::endpoint;
using socktest::openBound;
using socktest::text;
using socktest::view;

constexpr uint64_t kMs = 1'000'000'000ULL;

bool sameDestination(const sockaddr_in6& a, const sockaddr_in6& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(Socket, OpenStatesAndUnknownType) {
  Socket s;
  EXPECT_FALSE(s.is_open());
  EXPECT_EQ(s.receiveSize, 1500u);
  EXPECT_TRUE(s.getBlocking());
  EXPECT_EQ(s.interfaceIndex, 0u);

  EXPECT_FALSE(s.open(static_cast<Socket::Type>(6)));
  EXPECT_EQ(s.getDescriptor(), -1);

  ASSERT_TRUE(s.open(Socket::UDP_IPV6));
  const int first = s.getDescriptor();
  int v6only = 0;
  socklen_t len = sizeof v6only;
  ASSERT_EQ(::getsockopt(first, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len), 0);
  EXPECT_EQ(v6only, 1);
  ASSERT_TRUE(s.setBlocking(false));
  ASSERT_TRUE(s.open(Socket::UDP_DUAL));  // closes the first, blocking again
  EXPECT_TRUE(s.getBlocking());
  ASSERT_EQ(::getsockopt(s.getDescriptor(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len), 0);
  EXPECT_EQ(v6only, 0);
  s.close();
  EXPECT_FALSE(s.is_open());
  EXPECT_FALSE(s.setBlocking(false));
  EXPECT_TRUE(s.getBlocking());
}

TEST(Socket, BindWritesTheChosenPortBack) {
  VELLORA_REQUIRE_PRIVATE_NET();
  struct Case {
    const char* address;
    uint32_t index;
    uint32_t forced;  // expected interfaceIndex afterwards
  };
  const uint32_t lo = ::if_nametoindex("lo");
  ASSERT_NE(lo, 0u);
  const Case cases[] = {
      {"::", 0, 0},
      {"::1", 0, lo},  // the loopback interface's own index
      {"::1", lo, lo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    Socket s;
    IPAddress local = endpoint(c.address, 0, c.index);
    ASSERT_TRUE(openBound(s, local));
    EXPECT_NE(local.port, 0);
    EXPECT_EQ(s.interfaceIndex, c.forced);
    sockaddr_in6 bound{};
    socklen_t len = sizeof bound;
    ASSERT_EQ(::getsockname(s.fd, reinterpret_cast<sockaddr*>(&bound), &len), 0);
    EXPECT_EQ(bound.sin6_port, local.port);
  }
}

TEST(Socket, BindFailureKeepsTheError) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Socket a;
  IPAddress local = endpoint("::1", 0);
  ASSERT_TRUE(openBound(a, local));
  Socket b;
  ASSERT_TRUE(b.open(Socket::UDP_IPV6));
  IPAddress notMine = endpoint("2001:db8::1", 0);
  EXPECT_FALSE(b.bindV6(notMine, 1));
  EXPECT_EQ(b.lastError.load(), EADDRNOTAVAIL);
}

// A receiver and a sender, both on ::1 with ports of their own.
class SocketLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    if (vellora_test::privateNetwork()) ready = openBound(rx, rxAt) && openBound(tx, txAt);
  }
  // Waits for the next datagram and receives it.
  void receiveOne(Buffer& got, IPAddress& from) {
    ASSERT_EQ(rx.wait(Clock(1000 * kMs)), Socket::WAIT_READY);
    ASSERT_TRUE(rx.receiveFromV6(got, from));
  }
  Socket rx, tx;
  IPAddress rxAt = endpoint("::1", 0);
  IPAddress txAt = endpoint("::1", 0);
  bool ready = false;
};

TEST_F(SocketLoopback, ExchangeLeavesTheDefaultDestinationAlone) {
  VELLORA_REQUIRE_PRIVATE_NET();
  ASSERT_TRUE(ready);

  IPAddress preset = endpoint("::1", 9);
  tx.setToV6(preset);
  const sockaddr_in6 before = tx.defaultDestination;

  ASSERT_TRUE(tx.sendToV6(view("hello"), rxAt, false));
  EXPECT_TRUE(sameDestination(tx.defaultDestination, before));
  // A send that fails (port 0) leaves it alone too.
  EXPECT_FALSE(tx.sendToV6(view("x"), endpoint("::1", 0), false));
  EXPECT_NE(tx.lastError.load(), 0);
  EXPECT_TRUE(sameDestination(tx.defaultDestination, before));

  Buffer got;
  IPAddress from;
  ASSERT_NO_FATAL_FAILURE(receiveOne(got, from));
  EXPECT_EQ(text(got), "hello");
  EXPECT_TRUE(from.isLoopback());
  EXPECT_EQ(from.port, txAt.port);

  // The stored destination: setToV6 then sendToV6(buffer, retry).
  tx.setToV6(rxAt);
  ASSERT_TRUE(tx.sendToV6(view("again"), true));
  ASSERT_NO_FATAL_FAILURE(receiveOne(got, from));
  EXPECT_EQ(text(got), "again");
}

// A signal handled by the process (the daemon's stop request) may land on
// any thread; it must not turn a wait into a socket failure.
TEST_F(SocketLoopback, ASignalDuringTheWaitIsWaitedOut) {
  VELLORA_REQUIRE_PRIVATE_NET();
  ASSERT_TRUE(ready);
  struct Case {
    const char* name;
    uint64_t timeout;
    bool datagram;  // one is sent after the signals
    int expected;
  };
  const Case cases[] = {
      {"ready after the signals", 5000 * kMs, true, Socket::WAIT_READY},
      {"time-out after the signals", 600 * kMs, false, Socket::WAIT_TIMEOUT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const socktest::SignalledWait w = socktest::waitThroughSignals(
        [&] { return rx.wait(Clock(c.timeout)); },
        [&] {
          if (c.datagram) {
            EXPECT_TRUE(tx.sendToV6(view("after the signals"), rxAt, false));
          }
        });
    EXPECT_GT(w.signals, 0);
    EXPECT_TRUE(w.outlastedSignals) << "the wait ended at a signal";
    EXPECT_EQ(w.result, c.expected);
    if (c.datagram) {
      Buffer got;
      IPAddress from;
      ASSERT_TRUE(rx.receiveFromV6(got, from));
      EXPECT_EQ(text(got), "after the signals");
    } else {
      EXPECT_GE(w.took, std::chrono::milliseconds(550));
    }
  }
}

TEST_F(SocketLoopback, LongDatagramIsCutToTheReceiveSize) {
  VELLORA_REQUIRE_PRIVATE_NET();
  ASSERT_TRUE(ready);
  std::string big(2000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);

  ASSERT_TRUE(tx.sendToV6(view(big), rxAt, false));
  Buffer got;
  IPAddress from;
  ASSERT_NO_FATAL_FAILURE(receiveOne(got, from));
  EXPECT_EQ(text(got), big.substr(0, 1500));

  // Into caller memory: the span's size is the limit.
  ASSERT_TRUE(tx.sendToV6(view(big), rxAt, false));
  ASSERT_EQ(rx.wait(Clock(1000 * kMs)), Socket::WAIT_READY);
  uint8_t span[100];
  size_t n = 0;
  ASSERT_TRUE(rx.receiveFromV6(KALMO::BufferCS{span, sizeof span}, n, from));
  EXPECT_EQ(n, sizeof span);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(span), n), big.substr(0, 100));

  // An empty datagram is received as such, also into a grown buffer.
  got.assign(10, 1);
  ASSERT_TRUE(tx.sendToV6(view(""), rxAt, false));
  ASSERT_NO_FATAL_FAILURE(receiveOne(got, from));
  EXPECT_TRUE(got.empty());
}

TEST(Socket, NonBlockingReceiveWithNothingWaitingIsEmptyAndTrue) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Socket rx;
  IPAddress at = endpoint("::1", 0);
  ASSERT_TRUE(openBound(rx, at));
  ASSERT_TRUE(rx.setBlocking(false));
  EXPECT_FALSE(rx.getBlocking());
  Buffer got(5, 9);
  IPAddress from = endpoint("::1", 77);
  EXPECT_TRUE(rx.receiveFromV6(got, from));
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(ntohs(from.port), 77);  // untouched
  uint8_t span[8];
  size_t n = 3;
  EXPECT_TRUE(rx.receiveFromV6(KALMO::BufferCS{span, sizeof span}, n, from));
  EXPECT_EQ(n, 0u);
}

TEST(Socket, ReceiveIntoAnOffsetBeyondTheSpanIsRefused) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Socket rx;
  IPAddress at = endpoint("::1", 0);
  ASSERT_TRUE(openBound(rx, at));
  ASSERT_TRUE(rx.setBlocking(false));
  uint8_t span[8];
  size_t n = 5;
  EXPECT_FALSE(rx.receiveOff(KALMO::BufferCS{span, sizeof span}, 9, n));
  EXPECT_EQ(n, 0u);
  size_t sent = 7;
  EXPECT_FALSE(rx.sendNoBlock(view("abc"), 4, sent));
  EXPECT_EQ(sent, 0u);

  // Offsets a growable buffer cannot reach: one that wraps round with the
  // receive size (which would aim the receive just before the buffer), and
  // one beyond what a vector can hold. A datagram is waiting for each.
  Socket tx;
  IPAddress txAt = endpoint("::1", 0);
  ASSERT_TRUE(openBound(tx, txAt));
  for (size_t offset : {SIZE_MAX - 999, static_cast<size_t>(PTRDIFF_MAX)}) {
    SCOPED_TRACE(offset);
    ASSERT_TRUE(tx.sendToV6(view("must stay in the socket"), at, false));
    ASSERT_EQ(rx.wait(Clock(1000 * kMs)), Socket::WAIT_READY);
    KALMO::Buffer grown{1, 2, 3};
    EXPECT_FALSE(rx.receiveOff(grown, offset));
    EXPECT_TRUE(grown.empty());
    KALMO::Buffer got;
    IPAddress from;
    ASSERT_TRUE(rx.receiveFromV6(got, from));
    EXPECT_EQ(text(got), "must stay in the socket");
  }
}

TEST(Socket, WaitConvertsTheTimeoutToMicroseconds) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Socket s;
  IPAddress at = endpoint("::1", 0);
  ASSERT_TRUE(openBound(s, at));
  struct Case {
    uint64_t timeout;
    std::chrono::milliseconds atLeast;
    std::chrono::milliseconds below;
  };
  const Case cases[] = {
      {1'500'000'000'000ULL, std::chrono::milliseconds(1450), std::chrono::milliseconds(3000)},
      {999'999ULL, std::chrono::milliseconds(0), std::chrono::milliseconds(100)},  // polls
      {0, std::chrono::milliseconds(0), std::chrono::milliseconds(100)},
      {50 * kMs + 999'999ULL, std::chrono::milliseconds(45), std::chrono::milliseconds(1000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.timeout);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.wait(Clock(c.timeout)), Socket::WAIT_TIMEOUT);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
  }
  EXPECT_EQ(s.wait(), Socket::WAIT_TIMEOUT);
}

TEST(Socket, WaitOnAClosedOrHighDescriptor) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Socket closed;
  EXPECT_EQ(closed.wait(Clock(200 * kMs)), Socket::WAIT_ERROR);
  EXPECT_EQ(closed.wait(), Socket::WAIT_ERROR);

  Socket rx;
  IPAddress at = endpoint("::1", 0);
  ASSERT_TRUE(openBound(rx, at));
  const int high = socktest::highCopy(rx.fd, FD_SETSIZE + 100);
  if (high < 0) GTEST_SKIP() << "the process may not open descriptors above FD_SETSIZE";
  Socket moved;
  moved.fd = high;
  moved.type = Socket::UDP_IPV6;
  EXPECT_EQ(moved.wait(Clock(10 * kMs)), Socket::WAIT_TIMEOUT);
  Socket tx;
  IPAddress txAt = endpoint("::1", 0);
  ASSERT_TRUE(openBound(tx, txAt));
  ASSERT_TRUE(tx.sendToV6(view("up high"), at, false));
  EXPECT_EQ(moved.wait(Clock(1000 * kMs)), Socket::WAIT_READY);
}

KALMO::IPAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, unsigned short port) {
  KALMO::IPAddress e;
  e.address[10] = e.address[11] = 0xff;
  e.address[12] = a;
  e.address[13] = b;
  e.address[14] = c;
  e.address[15] = d;
  e.port = htons(port);
  return e;
}

TEST(Socket, Ipv4ExchangeReportsMappedSenders) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Socket rx;
  Socket tx;
  ASSERT_TRUE(rx.open(Socket::UDP_IPV4));
  ASSERT_TRUE(tx.open(Socket::UDP_IPV4));
  ASSERT_TRUE(rx.bindV4(v4(127, 0, 0, 1, 19650)));
  ASSERT_TRUE(tx.bindV4(v4(127, 0, 0, 1, 19651)));
  ASSERT_TRUE(tx.sendToV4(view("four"), v4(127, 0, 0, 1, 19650), false));
  ASSERT_EQ(rx.wait(Clock(1000 * kMs)), Socket::WAIT_READY);
  Buffer got;
  IPAddress from;
  from.interfaceIndex = 5;
  ASSERT_TRUE(rx.receiveFromV4(got, from));
  EXPECT_EQ(text(got), "four");
  EXPECT_EQ(from, [] {
    IPAddress e = v4(127, 0, 0, 1, 19651);
    e.interfaceIndex = 5;  // left as it was
    return e;
  }());
  // Joining a group on every local IPv4 address (here only 127.0.0.1).
  EXPECT_TRUE(rx.memberV4(v4(239, 1, 2, 3, 0)));
}

TEST(Socket, MovingHandsTheDescriptorOver) {
  Socket a;
  ASSERT_TRUE(a.open(Socket::UDP_IPV6));
  const int fd = a.fd;
  Socket b(std::move(a));
  EXPECT_EQ(b.fd, fd);
  EXPECT_FALSE(a.is_open());  // NOLINT: the moved-from state is defined
  Socket c;
  ASSERT_TRUE(c.open(Socket::UDP_IPV6));
  c = std::move(b);
  EXPECT_EQ(c.fd, fd);
  EXPECT_FALSE(b.is_open());  // NOLINT
}

// Across a veth pair to a second namespace, on link-local addresses.
class SocketLink : public ::testing::Test {
 protected:
  vellora_test::LinkHarness net;
};

TEST_F(SocketLink, LinkLocalExchangeUsesTheBoundScope) {
  VELLORA_REQUIRE_PRIVATE_NET();
  VELLORA_SETUP_LINKS(net, 1);
  const auto& link = net.link(0);

  Socket host;
  IPAddress hostAt = endpoint(link.hostAddress, 0, link.hostIndex);
  ASSERT_TRUE(openBound(host, hostAt));
  EXPECT_EQ(host.interfaceIndex, link.hostIndex);

  Socket target;
  IPAddress targetAt = endpoint(link.targetAddresses[0], 0, link.targetIndex);
  {
    vellora_test::NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    ASSERT_TRUE(openBound(target, targetAt));
  }

  // The destination carries a wrong index: the bound one replaces it.
  IPAddress to = targetAt;
  to.interfaceIndex = link.hostIndex + 1000;
  ASSERT_TRUE(host.sendToV6(view("over the link"), to, false));
  ASSERT_EQ(target.wait(Clock(2000 * kMs)), Socket::WAIT_READY);
  Buffer got;
  IPAddress from;
  ASSERT_TRUE(target.receiveFromV6(got, from));
  EXPECT_EQ(text(got), "over the link");
  EXPECT_EQ(from.port, hostAt.port);
  EXPECT_EQ(std::memcmp(from.address, &link.hostAddress, 16), 0);
  EXPECT_EQ(from.interfaceIndex, link.targetIndex);

  // The stored destination also gets the bound scope; reading it back
  // reports index 0.
  host.setToV6(to);
  EXPECT_EQ(host.defaultDestination.sin6_scope_id, link.hostIndex);
  IPAddress back;
  host.getToV6(back);
  EXPECT_EQ(back.interfaceIndex, 0u);
  EXPECT_EQ(back.port, targetAt.port);
  ASSERT_TRUE(host.sendToV6(view("stored"), false));
  ASSERT_EQ(target.wait(Clock(2000 * kMs)), Socket::WAIT_READY);
  ASSERT_TRUE(target.receiveFromV6(got, from));
  EXPECT_EQ(text(got), "stored");
}

TEST_F(SocketLink, InterfaceIndexKeepsAll32BitsForBindAndReply) {
  VELLORA_REQUIRE_PRIVATE_NET();
  VELLORA_SETUP_LINKS(net, 1);
  // A second link whose indexes do not fit 16 bits.
  const std::string targetNs =
      "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(net.targetNs().fd());
  const std::string inTarget = "nsenter --net=" + targetNs + " ";
  ASSERT_TRUE(socktest::run("ip link add name vbig index 70000 type veth peer name vbigp netns " +
                            targetNs + " index 70001"));
  ASSERT_TRUE(socktest::run("ip addr add fe80::70:1/64 dev vbig nodad && ip link set vbig up"));
  ASSERT_TRUE(socktest::run(inTarget + "ip addr add fe80::70:2/64 dev vbigp nodad"));
  ASSERT_TRUE(socktest::run(inTarget + "ip link set vbigp up"));

  Socket host;
  IPAddress hostAt = endpoint("fe80::70:1", 0, 70000);
  ASSERT_TRUE(openBound(host, hostAt));
  EXPECT_EQ(host.interfaceIndex, 70000u);

  // The target side listens on any address, so its reply is addressed by
  // the index the datagram came with.
  Socket target;
  IPAddress targetAt = endpoint("::", 0);
  {
    vellora_test::NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    ASSERT_TRUE(openBound(target, targetAt));
  }
  IPAddress to = endpoint("fe80::70:2", ntohs(targetAt.port));
  // The link may need a moment before it carries traffic.
  bool arrived = false;
  Buffer got;
  IPAddress from;
  for (int i = 0; i < 20 && !arrived; ++i) {
    ASSERT_TRUE(host.sendToV6(view("big index"), to, false));
    arrived = target.wait(Clock(100 * kMs)) == Socket::WAIT_READY;
  }
  ASSERT_TRUE(arrived);
  ASSERT_TRUE(target.receiveFromV6(got, from));
  EXPECT_EQ(from.interfaceIndex, 70001u);
  ASSERT_TRUE(target.sendToV6(view("reply"), from, false));
  ASSERT_EQ(host.wait(Clock(2000 * kMs)), Socket::WAIT_READY);
  ASSERT_TRUE(host.receiveFromV6(got, from));
  EXPECT_EQ(text(got), "reply");
  EXPECT_EQ(from.interfaceIndex, 70000u);
  socktest::run("ip link del vbig");
}

// Fills the send queue of a non-blocking socket: true when a send came
// back with EAGAIN.
bool fillQueue(Socket& s, const IPAddress& to) {
  const std::string packet(1000, 'p');
  for (int i = 0; i < 1000; ++i) {
    if (!s.sendToV6(view(packet), to, false)) return s.lastError.load() == EAGAIN;
  }
  return false;
}

bool nonBlockingFlag(const Socket& s) { return (::fcntl(s.fd, F_GETFL) & O_NONBLOCK) != 0; }

TEST_F(SocketLink, RetrySendWaitsForRoomButOnlyBriefly) {
  VELLORA_REQUIRE_PRIVATE_NET();
  VELLORA_SETUP_LINKS(net, 2);
  // A token bucket on each host end holds the packets, so the socket's
  // small send buffer stays full until the bucket lets them go: link 0
  // drains far too slowly for the retry, link 1 fast enough.
  const char* rates[] = {"8kbit", "10mbit"};
  for (size_t i = 0; i < 2; ++i) {
    if (!socktest::run("tc qdisc add dev " + net.link(i).hostName + " root tbf rate " + rates[i] +
                       " burst 1600 limit 1000000 2>/dev/null")) {
      if (vellora_test::privilegeRequired()) FAIL() << "tc with tbf is needed";
      GTEST_SKIP() << "tc with tbf is not available";
    }
  }
  const std::string packet(1000, 'r');
  struct Case {
    size_t link;
    bool sent;
    std::chrono::milliseconds atLeast;
  };
  for (const Case& c : {Case{0, false, std::chrono::milliseconds(10)},
                        Case{1, true, std::chrono::milliseconds(0)}}) {
    SCOPED_TRACE(rates[c.link]);
    const auto& link = net.link(c.link);
    Socket s;
    IPAddress at = endpoint(link.hostAddress, 0, link.hostIndex);
    ASSERT_TRUE(openBound(s, at));
    int small = 4096;
    ASSERT_EQ(::setsockopt(s.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_TRUE(s.setBlocking(false));
    const IPAddress to = endpoint(link.targetAddresses[0], 9, link.targetIndex);
    ASSERT_TRUE(fillQueue(s, to));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.sendToV6(view(packet), to, true), c.sent);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    if (!c.sent) {
      EXPECT_EQ(s.lastError.load(), EAGAIN);
    }
    // The mode is what it was: non-blocking.
    EXPECT_FALSE(s.getBlocking());
    EXPECT_TRUE(nonBlockingFlag(s));
  }
}

}  // namespace
