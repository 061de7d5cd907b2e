// The send that never blocks on a blocking socket: with a full send queue
// it comes back at once (or after the bounded retry), and the socket's mode
// is the same afterwards.
#include "base/socket.h"

#include "tests/base/socket_test_util.h"
#include "tests/common/link_harness.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

namespace {

using KALMO::IPAddress;
using KALMO::Socket;
using socktest::endpoint;
using socktest::openBound;
using socktest::view;

bool nonBlockingFlag(const Socket& s) { return (::fcntl(s.fd, F_GETFL) & O_NONBLOCK) != 0; }

class SocketNoWait : public ::testing::Test {
 protected:
  vellora_test::LinkHarness net;
};

// A token bucket on the host end holds the packets, so a small send buffer
// stays full: a blocking send would wait for the bucket, the no-wait send
// must not.
TEST_F(SocketNoWait, FullQueueNeverBlocksAndTheModeStays) {
  VELLORA_REQUIRE_PRIVATE_NET();
  VELLORA_SETUP_LINKS(net, 1);
  const auto& link = net.link(0);
  if (!socktest::run("tc qdisc add dev " + link.hostName +
                     " root tbf rate 8kbit burst 1600 limit 1000000 2>/dev/null")) {
    if (vellora_test::privilegeRequired()) FAIL() << "tc with tbf is needed";
    GTEST_SKIP() << "tc with tbf is not available";
  }
  const std::string packet(1000, 'n');
  struct Case {
    const char* what;
    bool blocking;  // the socket's mode
    bool retry;
    std::chrono::milliseconds atLeast;
  } cases[] = {
      {"blocking, no retry", true, false, std::chrono::milliseconds(0)},
      {"blocking, bounded retry", true, true, std::chrono::milliseconds(10)},
      {"non-blocking, no retry", false, false, std::chrono::milliseconds(0)},
  };
  for (const auto& c : cases) {
    Socket s;
    IPAddress at = endpoint(link.hostAddress, 0, link.hostIndex);
    ASSERT_TRUE(openBound(s, at)) << c.what;
    int small = 4096;
    ASSERT_EQ(::setsockopt(s.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_TRUE(s.setBlocking(c.blocking)) << c.what;
    s.setToV6(endpoint(link.targetAddresses[0], 9, link.targetIndex));

    // The first sends are taken; then the queue is full and one comes back.
    bool refused = false;
    for (int i = 0; i < 1000 && !refused; ++i) refused = !s.sendToV6NoWait(view(packet), false);
    ASSERT_TRUE(refused) << c.what;
    EXPECT_EQ(s.lastError.load(), EAGAIN) << c.what;

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.sendToV6NoWait(view(packet), c.retry)) << c.what;
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, c.atLeast) << c.what;
    EXPECT_LT(took, std::chrono::milliseconds(1000)) << c.what;
    EXPECT_EQ(s.lastError.load(), EAGAIN) << c.what;
    EXPECT_EQ(s.getBlocking(), c.blocking) << c.what;
    EXPECT_EQ(nonBlockingFlag(s), !c.blocking) << c.what;
  }
}

// On a queue with room it sends like sendToV6 to the stored destination.
TEST(SocketNoWaitLoopback, SendsToTheStoredDestination) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Socket rx, tx;
  IPAddress rxAt = endpoint("::1", 0);
  IPAddress txAt = endpoint("::1", 0);
  ASSERT_TRUE(openBound(rx, rxAt));
  ASSERT_TRUE(openBound(tx, txAt));
  tx.setToV6(rxAt);
  ASSERT_TRUE(tx.sendToV6NoWait(view("no wait"), true));
  ASSERT_EQ(rx.wait(KALMO::Clock(1000ull * 1000000000ull)), Socket::WAIT_READY);
  KALMO::Buffer got;
  IPAddress from;
  ASSERT_TRUE(rx.receiveFromV6(got, from));
  EXPECT_EQ(socktest::text(got), "no wait");
  EXPECT_EQ(from.port, txAt.port);
  EXPECT_TRUE(tx.getBlocking());
  EXPECT_FALSE(nonBlockingFlag(tx));
}

}  // namespace
