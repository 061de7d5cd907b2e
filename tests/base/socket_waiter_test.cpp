// Waiting on several sockets at once.
#include "base/socket_waiter.h"

#include "tests/base/socket_test_util.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <memory>

namespace {

using KALMO::Clock;
using KALMO::IPAddress;
using KALMO::Socket;
using socktest::endpoint;
using socktest::openBound;
using socktest::view;

constexpr uint64_t kMs = 1'000'000'000ULL;

class SocketWaiter : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!vellora_test::privateNetwork()) return;
    a_at = endpoint("::1", 0);
    b_at = endpoint("::1", 0);
    IPAddress tx_at = endpoint("::1", 0);
    ready = openBound(a, a_at) && openBound(b, b_at) && openBound(tx, tx_at);
  }
  Socket a, b, tx;
  IPAddress a_at, b_at;
  bool ready = false;
};

TEST_F(SocketWaiter, TellsWhichOfTwoSocketsIsReadable) {
  VELLORA_REQUIRE_PRIVATE_NET();
  ASSERT_TRUE(ready);
  Socket::Waiter w;
  EXPECT_TRUE(w.empty());
  EXPECT_TRUE(w.set(a));
  EXPECT_TRUE(w.set(b));
  EXPECT_FALSE(w.empty());
  ASSERT_TRUE(tx.sendToV6(view("for b"), b_at, false));
  EXPECT_EQ(w.wait(Clock(1000 * kMs)), Socket::WAIT_READY);
  EXPECT_FALSE(w.check(a));
  EXPECT_TRUE(w.check(b));
}

TEST_F(SocketWaiter, TimeOutLeavesEverySocketUnchecked) {
  VELLORA_REQUIRE_PRIVATE_NET();
  ASSERT_TRUE(ready);
  Socket::Waiter w;
  w.set(a);
  w.set(b);
  // A readable socket from an earlier wait must not stay marked.
  ASSERT_TRUE(tx.sendToV6(view("x"), a_at, false));
  ASSERT_EQ(w.wait(Clock(1000 * kMs)), Socket::WAIT_READY);
  KALMO::Buffer drained;
  IPAddress from;
  ASSERT_TRUE(a.receiveFromV6(drained, from));

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(w.wait(Clock(50 * kMs)), Socket::WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_FALSE(w.check(a));
  EXPECT_FALSE(w.check(b));
}

TEST_F(SocketWaiter, ASignalDuringTheWaitIsWaitedOut) {
  VELLORA_REQUIRE_PRIVATE_NET();
  ASSERT_TRUE(ready);
  Socket::Waiter w;
  w.set(a);
  w.set(b);
  const socktest::SignalledWait s = socktest::waitThroughSignals(
      [&] { return w.wait(Clock(5000 * kMs)); },
      [&] { EXPECT_TRUE(tx.sendToV6(view("for b"), b_at, false)); });
  EXPECT_GT(s.signals, 0);
  EXPECT_TRUE(s.outlastedSignals) << "the wait ended at a signal";
  EXPECT_EQ(s.result, Socket::WAIT_READY);
  EXPECT_FALSE(w.check(a));
  EXPECT_TRUE(w.check(b));
}

TEST_F(SocketWaiter, RegistrationCountsOnceAndIgnoresClosedSockets) {
  VELLORA_REQUIRE_PRIVATE_NET();
  ASSERT_TRUE(ready);
  Socket::Waiter w;
  w.set(a);
  w.set(a);
  w.clear(a);
  EXPECT_TRUE(w.empty());

  Socket closed;
  EXPECT_FALSE(w.set(closed));
  EXPECT_TRUE(w.empty());
  w.set(b);
  w.clear(closed);
  EXPECT_FALSE(w.empty());
  w.clear();
  EXPECT_TRUE(w.empty());

  // Nothing registered: the wait is a sleep.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(w.wait(Clock(30 * kMs)), Socket::WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
}

TEST_F(SocketWaiter, ASocketClosedAfterRegistrationIsAnError) {
  VELLORA_REQUIRE_PRIVATE_NET();
  ASSERT_TRUE(ready);
  Socket::Waiter w;
  w.set(a);
  w.set(b);
  // Another descriptor must not take the closed one's number meanwhile.
  const int number = b.getDescriptor();
  b.close();
  ASSERT_EQ(::fcntl(number, F_GETFD), -1);
  EXPECT_EQ(w.wait(Clock(100 * kMs)), Socket::WAIT_ERROR);
  EXPECT_FALSE(w.check(a));
  EXPECT_FALSE(w.check(b));
}

TEST_F(SocketWaiter, DescriptorsBeyondTheSetAreRefusedNotWritten) {
  VELLORA_REQUIRE_PRIVATE_NET();
  ASSERT_TRUE(ready);
  const int number = socktest::highCopy(a.getDescriptor(), FD_SETSIZE + 50);
  if (number < 0) GTEST_SKIP() << "the process may not open descriptors above FD_SETSIZE";
  Socket high;
  high.fd = number;
  high.type = Socket::UDP_IPV6;

  Socket::Waiter w;
  EXPECT_FALSE(w.set(high));
  EXPECT_TRUE(w.empty());
  EXPECT_FALSE(w.check(high));

  // The bare set operations skip it as well.
  std::unique_ptr<Socket::Waiter::fbsType, void (*)(Socket::Waiter::fbsType*)> set(
      Socket::Waiter::fbsNew(), &Socket::Waiter::fbsDelere);
  ASSERT_NE(set, nullptr);
  const std::set<unsigned long> list{static_cast<unsigned long>(b.getDescriptor()),
                                     static_cast<unsigned long>(number)};
  EXPECT_EQ(Socket::Waiter::fbsSetup(set.get(), list, 0), static_cast<unsigned long>(b.getDescriptor()));
  EXPECT_TRUE(Socket::Waiter::fbsCheck(set.get(), b));
  EXPECT_FALSE(Socket::Waiter::fbsCheck(set.get(), high));
  EXPECT_EQ(Socket::Waiter::fbsSetup(set.get(), list, 7000), 7000u);

  ASSERT_TRUE(tx.sendToV6(view("y"), b_at, false));
  // A highest descriptor past the set is not looked beyond.
  EXPECT_EQ(Socket::Waiter::fbsSelect(set.get(), nullptr, 7000, Clock(1000 * kMs)), Socket::WAIT_READY);
  EXPECT_TRUE(Socket::Waiter::fbsCheck(set.get(), b));
  Socket::Waiter::fbsDelere(nullptr);
}

}  // namespace
