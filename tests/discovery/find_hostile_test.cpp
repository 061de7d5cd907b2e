// Discovery against a hostile node on the link: answers that lead nowhere
// must cost the daemon neither its discovery run nor its card work.
#include "discovery/find.h"
#include "sim/target/discovery.h"
#include "sim/target/hostile_node.h"
#include "sim/target/target_sim.h"
#include "tests/common/link_harness.h"
#include "tests/common/test_env.h"
#include "tests/host/log_capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using VELLORA::Find;
using vellora_test::NsScope;
using Steady = std::chrono::steady_clock;

KALMO::IPAddress at(const in6_addr& address, uint16_t port, uint32_t scope) {
  KALMO::IPAddress a;
  std::memcpy(a.address, &address, 16);
  a.port = htons(port);
  a.interfaceIndex = scope;
  return a;
}

constexpr auto kMode = static_cast<Find::MODE>(Find::MODE_PORT_KIND1 | Find::MODE_INDEX_OPTION0);

class FindHostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELLORA_REQUIRE_PRIVATE_NET();
    VELLORA_SETUP_LINKS(net, 1);
    std::string error;
    // The hostile node has an address of its own on the link.
    ASSERT_TRUE(net.addTargetAddress(0, vellora_test::linkLocal(3, 1), &error)) << error;
    ASSERT_TRUE(engine.running());
    vsim::TargetSpec layout;
    layout.address = at(net.link(0).targetAddresses.at(0), 19642, net.link(0).targetIndex);
    layout.device = net.link(0).targetName;
    layout.name = "amp";
    vsim::PortSpec p;
    p.index = 1;
    p.name = "out";
    layout.ports = {p};
    NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    good = targets.addTarget(layout);
    ASSERT_GE(good, 0);
  }

  void TearDown() override {
    if (hostile) {
      NsScope in(net.targetNs());
      hostile->stop();
    }
  }

  void startHostile(unsigned flood, bool portZero) {
    vsim::HostileOptions o;
    o.device = net.link(0).targetName;
    o.address = "fe80::3:1";
    o.floodPorts = flood;
    o.portZeroAnswer = portZero;
    NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    hostile = std::make_unique<vsim::HostileNode>(o);
    std::string error;
    ASSERT_TRUE(hostile->start(error)) << error;
  }

  KALMO::IPAddress goodSeen() const {
    return at(net.link(0).targetAddresses.at(0), 19642, net.link(0).hostIndex);
  }

  Find::Setting setting() const {
    Find::Setting s;
    s.productID = 0;
    s.name = "REZO ZOZU";
    return s;
  }

  vellora_test::LinkHarness net;
  vsim::TargetSim engine;
  vsim::DiscoverySim targets{engine};
  int good = -1;
  std::unique_ptr<vsim::HostileNode> hostile;
};

TEST_F(FindHostileTest, AnswerFromSourcePortZeroIsNoTargetAndDiscoveryGoesOn) {
  ASSERT_NO_FATAL_FAILURE(startHostile(0, true));
  host_test::LogCapture log;
  Find find(setting());
  ASSERT_TRUE(find.open(std::list<std::string>{net.link(0).hostName}));
  Find::TargetMap found;
  ASSERT_TRUE(find.findTarget(found));
  ASSERT_GE(hostile->portZeroSent(), 1u);
  EXPECT_EQ(found.size(), 1u);
  EXPECT_EQ(found.count(goodSeen()), 1u);
  for (const auto& [endpoint, t] : found) EXPECT_NE(endpoint.port, 0) << t.targetName;
  // One line for the run, with how many such answers it saw.
  const std::vector<std::string> cut = log.starting("Find Skip source port 0 : ");
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_GE(std::stoi(cut[0].substr(std::strlen("Find Skip source port 0 : "))), 1);
  EXPECT_EQ(targets.announcedNames(good), std::vector<std::string>{"REZO ZOZU"});

  // The well-behaved target is listed as always.
  Find::PortMap ports;
  ASSERT_TRUE(find.findTarget(found, ports, kMode));
  EXPECT_EQ(ports.size(), 1u);
}

TEST_F(FindHostileTest, SendRefusedForOneAnswererDropsOnlyThatAnswerer) {
  Find find(setting());
  ASSERT_TRUE(find.open(std::list<std::string>{net.link(0).hostName}));
  // Which errors are the destination's and which the socket's own.
  for (int e : {EINVAL, ENETUNREACH, EHOSTUNREACH, ECONNREFUSED, EACCES, EPERM, EADDRNOTAVAIL}) {
    EXPECT_TRUE(Find::namesDestination(e)) << e;
  }
  for (int e : {EBADF, ENOTSOCK, ENOMEM, EMSGSIZE, EFAULT, 0}) EXPECT_FALSE(Find::namesDestination(e)) << e;

  // A send to port 0 fails with EINVAL: the exchange fails, and says it was
  // the destination.
  KALMO::IPAddress zero = goodSeen();
  zero.port = 0;
  VELLORA::Receive answer;
  EXPECT_EQ(find.sendAck(zero, VELLORA::Send(VELLORA::FIND_REQ, 0), VELLORA::FIND_ANS, answer, true),
            Find::ACK_SOCKET_ERROR);
  EXPECT_TRUE(find.lastSendRefused());
  EXPECT_EQ(find.lastSendError(), EINVAL);
  // The next exchange starts clean.
  EXPECT_EQ(find.sendAck(goodSeen(), VELLORA::Send(VELLORA::FIND_REQ, 0), VELLORA::FIND_ANS, answer, true),
            Find::ACK_OK);
  EXPECT_FALSE(find.lastSendRefused());
  // A closed socket is the client's own failure.
  find.close();
  EXPECT_EQ(find.sendAck(goodSeen(), VELLORA::Send(VELLORA::FIND_REQ, 0), VELLORA::FIND_ANS, answer, true),
            Find::ACK_SOCKET_ERROR);
  EXPECT_FALSE(find.lastSendRefused());
}

// Idle work during exchanges with silent answerers: called at its slice
// while answers are awaited, also when stray datagrams keep arriving.
TEST_F(FindHostileTest, IdleWorkRunsWhileExchangesWaitEvenUnderStrayTraffic) {
  Find find(setting());
  ASSERT_TRUE(find.open(std::list<std::string>{net.link(0).hostName}));
  sockaddr_in6 own{};
  socklen_t len = sizeof own;
  ASSERT_EQ(::getsockname(find.socket.getDescriptor(), reinterpret_cast<sockaddr*>(&own), &len), 0);

  // Junk every 2 ms from the target side, so no wait ever times out quietly.
  std::atomic<bool> stop{false};
  std::thread stray([&] {
    NsScope in(net.targetNs());
    const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = net.link(0).hostAddress;
    to.sin6_port = own.sin6_port;
    to.sin6_scope_id = net.link(0).targetIndex;
    const uint8_t junk[24] = {1, 2, 3};
    while (!stop.load()) {
      (void)::sendto(fd, junk, sizeof junk, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::close(fd);
  });

  std::vector<Steady::time_point> calls;
  find.setIdleWork([&] { calls.push_back(Steady::now()); });
  // Nobody answers at this port.
  KALMO::IPAddress silent = goodSeen();
  silent.port = htons(40999);
  const auto begin = Steady::now();
  VELLORA::Receive answer;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(find.sendAck(silent, VELLORA::Send(VELLORA::PORT_REQ, 0), VELLORA::PORT_ANS, answer, true),
              Find::ACK_TIMEOUT);
  }
  const auto end = Steady::now();
  find.setIdleWork(nullptr);
  stop = true;
  stray.join();

  ASSERT_GE(calls.size(), 20u);  // 500 ms of waiting, a call about every 10 ms
  auto widest = calls.front() - begin;
  for (size_t i = 1; i < calls.size(); ++i) widest = std::max(widest, calls[i] - calls[i - 1]);
  widest = std::max(widest, end - calls.back());
  // Generous for a loaded machine: without the slices the work would wait
  // the whole 500 ms.
  EXPECT_LT(widest, std::chrono::milliseconds(200));
}

TEST_F(FindHostileTest, AnswerThatArrivedWhileIdleWorkRanIsStillTaken) {
  Find find(setting());
  ASSERT_TRUE(find.open(std::list<std::string>{net.link(0).hostName}));
  // Idle work longer than a whole exchange window: the answer is queued by
  // the time it returns, after the window's end.
  int calls = 0;
  find.setIdleWork([&] {
    ++calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  VELLORA::Receive answer;
  EXPECT_EQ(find.sendAck(goodSeen(), VELLORA::Send(VELLORA::FIND_REQ, 0), VELLORA::FIND_ANS, answer, true),
            Find::ACK_OK);
  EXPECT_GE(calls, 1);
  std::string name;
  answer.get_str(name);
  EXPECT_EQ(name, "amp");
}

}  // namespace
