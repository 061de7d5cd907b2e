// Discovery over real link-local scopes: the client in the test's own
// namespace, stand-in targets in a second namespace behind veth links.
#include "discovery/find.h"
#include "sim/target/discovery.h"
#include "sim/target/target_sim.h"
#include "tests/common/link_harness.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using VELLORA::Find;
using vellora_test::LinkHarness;
using vellora_test::NsScope;

KALMO::IPAddress at(const in6_addr& address, uint16_t port, uint32_t scope) {
  KALMO::IPAddress a;
  std::memcpy(a.address, &address, 16);
  a.port = htons(port);
  a.interfaceIndex = scope;
  return a;
}

class FindLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELLORA_REQUIRE_PRIVATE_NET();
    VELLORA_SETUP_LINKS(net, 2);
    std::string error;
    // Link 1 carries a second target; both links carry fe80::9 as well, so
    // one address answers on two links.
    ASSERT_TRUE(net.addTargetAddress(0, vellora_test::linkLocal(3, 1), &error)) << error;
    ASSERT_TRUE(net.addTargetAddress(0, vellora_test::linkLocal(0, 9), &error)) << error;
    ASSERT_TRUE(net.addTargetAddress(1, vellora_test::linkLocal(0, 9), &error)) << error;
    ASSERT_TRUE(engine.running());
  }

  // A target with two ports on address `which` of link `link`.
  int addTarget(size_t link, size_t which, const std::string& name) {
    const auto& l = net.link(link);
    vsim::TargetSpec layout;
    layout.address = at(l.targetAddresses.at(which), 19642, l.targetIndex);
    layout.device = l.targetName;
    layout.name = name;
    vsim::PortSpec a;
    a.index = 1;
    a.name = name + " left";
    a.sync[0] = 0x51;
    vsim::PortSpec b = a;
    b.index = 2;
    b.name = name + " right";
    layout.ports = {a, b};
    NsScope in(net.targetNs());
    EXPECT_TRUE(in.ok());
    const int id = targets.addTarget(layout);
    EXPECT_GE(id, 0) << name;
    return id;
  }

  // Discovery on every link-local interface of the host side.
  void discover(Find& find, Find::TargetMap& found, size_t expected) {
    ASSERT_TRUE(find.open());
    ASSERT_TRUE(find.findTarget(found));
    ASSERT_EQ(found.size(), expected);
  }

  // Where the host sees a target: its address with the host side's scope.
  KALMO::IPAddress seenAt(size_t link, size_t which, uint16_t port = 19642) const {
    return at(net.link(link).targetAddresses.at(which), port, net.link(link).hostIndex);
  }

  LinkHarness net;
  vsim::TargetSim engine;
  vsim::DiscoverySim targets{engine};
};

TEST_F(FindLinkTest, SweepFindsEveryTargetOnEveryLinkOnceAndAnnouncesTheName) {
  const int a = addTarget(0, 0, "a");
  const int b = addTarget(0, 1, "b");
  const int c = addTarget(1, 0, "c");
  Find::Setting setting;
  setting.productID = 0;
  setting.name = "REZO ZOZU";
  Find find(setting);
  Find::TargetMap found;
  discover(find, found, 3);  // every link-local interface, read at each sweep
  if (HasFatalFailure()) return;
  EXPECT_EQ(found.at(seenAt(0, 0)).targetName, "a");
  EXPECT_EQ(found.at(seenAt(0, 1)).targetName, "b");
  EXPECT_EQ(found.at(seenAt(1, 0)).targetName, "c");
  for (int t : {a, b, c}) {
    EXPECT_EQ(targets.announcedNames(t), std::vector<std::string>{"REZO ZOZU"}) << t;
    EXPECT_EQ(engine.count(targets.endpoint(t), VELLORA::FIND_REQ), 0u) << "multicast only";
  }

  // The ports of every target, with SYNCHRO_NODE_REQ over the link's scope.
  Find::PortMap ports;
  ASSERT_TRUE(find.findTarget(found, ports,
                              static_cast<Find::MODE>(Find::MODE_PORT_KIND1 | Find::MODE_INDEX_OPTION0)));
  ASSERT_EQ(ports.size(), 6u);
  for (auto [t, link, which] : {std::tuple{a, 0, 0}, std::tuple{b, 0, 1}, std::tuple{c, 1, 0}}) {
    for (uint16_t index : {1, 2}) {
      const KALMO::IPAddress key = seenAt(link, which, vsim::portOf(targets.portAddress(t, index)));
      ASSERT_EQ(ports.count(key), 1u) << t << " " << index;
      const Find::TargetConnectInfo& r = ports.at(key);
      EXPECT_EQ(r.portIndex, index);
      EXPECT_TRUE(r.multiport);
      EXPECT_EQ(r.syncInfo.option0, 0x51);
      EXPECT_TRUE(r.targetAddress == seenAt(link, which));
      EXPECT_EQ(engine.count(targets.portEndpoint(t, index), VELLORA::SYNCHRO_NODE_REQ), 1u);
    }
  }
}

TEST_F(FindLinkTest, OneAddressOnTwoLinksIsTwoTargets) {
  addTarget(0, 2, "first link");
  addTarget(1, 1, "second link");
  Find::Setting setting;
  setting.productID = 0;
  Find find(setting);
  Find::TargetMap found;
  discover(find, found, 2);
  if (HasFatalFailure()) return;
  EXPECT_EQ(found.at(seenAt(0, 2)).targetName, "first link");
  EXPECT_EQ(found.at(seenAt(1, 1)).targetName, "second link");
}

TEST_F(FindLinkTest, OpeningByNameSearchesOnlyThatLink) {
  addTarget(0, 0, "a");
  const int c = addTarget(1, 0, "c");
  Find::Setting setting;
  setting.productID = 0;
  Find find(setting);
  ASSERT_TRUE(find.open(std::list<std::string>{net.link(1).hostName}));
  ASSERT_EQ(find.localAddresses.size(), 1u);
  EXPECT_EQ(find.localAddresses.front().interfaceIndex, net.link(1).hostIndex);
  Find::TargetMap found;
  ASSERT_TRUE(find.findTarget(found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found.begin()->first == seenAt(1, 0));

  // And a single port looked up by address alone, without discovery.
  KALMO::IPAddress endpoint;
  Find::TargetConnectInfo record;
  KALMO::IPAddress where = seenAt(1, 0);
  where.interfaceIndex = 0;
  ASSERT_TRUE(find.getOutput(where, 2, endpoint, record));
  EXPECT_TRUE(endpoint == seenAt(1, 0, vsim::portOf(targets.portAddress(c, 2))));
  EXPECT_EQ(record.targetName, "c");
  EXPECT_EQ(record.portName, "c right");
}

TEST_F(FindLinkTest, OpeningByIndexSearchesOnlyThatLink) {
  const int targetOf[2] = {addTarget(0, 0, "a"), addTarget(1, 0, "c")};
  Find::Setting setting;
  setting.productID = 0;
  for (size_t link : {0u, 1u}) {
    Find find(setting);
    ASSERT_TRUE(find.open(static_cast<uint16_t>(net.link(link).hostIndex))) << link;
    ASSERT_EQ(find.localAddresses.size(), 1u) << link;
    EXPECT_EQ(find.localAddresses.front().interfaceIndex, net.link(link).hostIndex) << link;
    Find::TargetMap found;
    ASSERT_TRUE(find.findTarget(found)) << link;
    ASSERT_EQ(found.size(), 1u) << link;
    EXPECT_TRUE(found.begin()->first == seenAt(link, 0)) << link;
    // Each target hears the name once, on the sweep of its own link.
    EXPECT_EQ(targets.announcedNames(targetOf[link]).size(), 1u) << link;
    EXPECT_EQ(targets.announcedNames(targetOf[1 - link]).size(), link) << link;
  }
}

// FIND_REQs that reached the target side of a link.
// The stand-in logs on its own thread, so the last sweep's requests may
// still be on their way into its log when findTarget returns: wait (a
// bounded while) until `expected` are there. Every request has been sent by
// then, so a count above `expected` still shows.
size_t findRequestsOn(const vsim::TargetSim& engine, unsigned targetIndex, size_t expected) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    size_t n = 0;
    for (const auto& d : engine.received(vsim::NO_ENDPOINT, VELLORA::FIND_REQ)) {
      n += d.sender.interfaceIndex == targetIndex ? 1 : 0;
    }
    if (n >= expected || std::chrono::steady_clock::now() >= until) return n;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// A link whose host side has a second link-local address: chosen by name,
// only the address first in order is used, so each sweep goes out once;
// chosen by index, both are, and each sweep goes out twice.
TEST_F(FindLinkTest, ASecondAddressOnAnInterfaceCountsOnlyWhenChosenByIndex) {
  addTarget(0, 0, "a");
  addTarget(1, 0, "c");
  struct Case {
    const char* what;
    size_t link;
    in6_addr second;
    bool secondFirst;  // the added address comes first in order
  } cases[] = {{"lower address added", 0, vellora_test::linkLocal(0, 0x10), true},
               {"higher address added", 1, vellora_test::linkLocal(9, 1), false}};
  Find::Setting setting;
  setting.productID = 0;
  // One discovery run with a clean request log. A newly added address can
  // make the first run on a loaded machine miss the target's answers (the
  // stand-in may still be resolving the new neighbour), so a run that finds
  // nothing is tried again, at most three times.
  const auto discoverOnce = [this](Find& find, Find::TargetMap& found) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(attempt == 0 ? 0 : 200));
      engine.clearLog();
      found.clear();
      if (!find.findTarget(found)) return false;
      if (!found.empty()) return true;
    }
    return true;
  };
  for (const auto& c : cases) {
    std::string error;
    ASSERT_TRUE(net.addHostAddress(c.link, c.second, &error)) << error;
    const auto& l = net.link(c.link);
    const in6_addr& first = c.secondFirst ? c.second : l.hostAddress;
    Find byName(setting);
    ASSERT_TRUE(byName.open(std::list<std::string>{l.hostName})) << c.what;
    ASSERT_EQ(byName.localAddresses.size(), 1u) << c.what;
    EXPECT_EQ(std::memcmp(byName.localAddresses.front().address, &first, 16), 0) << c.what;
    EXPECT_EQ(byName.localAddresses.front().interfaceIndex, l.hostIndex) << c.what;
    Find::TargetMap found;
    ASSERT_TRUE(discoverOnce(byName, found)) << c.what;
    ASSERT_EQ(found.size(), 1u) << c.what;
    EXPECT_TRUE(found.begin()->first == seenAt(c.link, 0)) << c.what;
    EXPECT_EQ(findRequestsOn(engine, l.targetIndex, 3), 3u) << c.what;

    Find byIndex(setting);
    ASSERT_TRUE(byIndex.open(static_cast<uint16_t>(l.hostIndex))) << c.what;
    EXPECT_EQ(byIndex.localAddresses.size(), 2u) << c.what;
    ASSERT_TRUE(discoverOnce(byIndex, found)) << c.what;
    EXPECT_EQ(found.size(), 1u) << c.what;
    EXPECT_EQ(findRequestsOn(engine, l.targetIndex, 6), 6u) << c.what;
  }
}

TEST_F(FindLinkTest, ItemsOfADeviceBehindAPortJoinThatPortsChain) {
  const auto& l = net.link(0);
  vsim::TargetSpec amp;
  amp.address = at(l.targetAddresses[0], 19642, l.targetIndex);
  amp.name = "amp";
  vsim::PortSpec out;
  out.index = 1;
  amp.ports = {out};
  vsim::StatusItemSpec volume;
  volume.index = 1;
  volume.kind = 1;
  volume.link = vsim::ipv6("::1", 1);
  volume.name = "amp volume";
  amp.items = {volume};
  vsim::TargetSpec speaker;
  speaker.address = at(l.targetAddresses[1], 19642, l.targetIndex);
  speaker.name = "speaker";
  vsim::StatusItemSpec level;
  level.index = 1;
  level.kind = 0;
  level.link = at(l.targetAddresses[0], 1, 0);  // behind the amplifier's item 1
  level.name = "speaker level";
  speaker.items = {level};
  {
    NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    ASSERT_GE(targets.addTarget(amp), 0);
    ASSERT_GE(targets.addTarget(speaker), 0);
  }
  Find::Setting setting;
  setting.productID = 0;
  Find find(setting);
  Find::TargetMap found;
  discover(find, found, 2);
  if (HasFatalFailure()) return;
  Find::PortMap ports;
  Find::StatusMap items;
  ASSERT_TRUE(find.findTarget(found, ports, static_cast<Find::MODE>(9)));
  ASSERT_TRUE(find.findTarget(found, items));
  ASSERT_EQ(ports.size(), 1u);
  ASSERT_EQ(items.size(), 2u);

  Find::StatusSort chain;
  Find::SortStatus(ports.begin()->first, ports.begin()->second.portIndex, true, items, chain);
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain.front().itemName, "amp volume");
  EXPECT_EQ(chain.front().chainEnd, 0);
  EXPECT_EQ(chain.front().ownPort, 1);
  EXPECT_EQ(chain.back().itemName, "speaker level");
  EXPECT_EQ(chain.back().chainEnd, 1);
  EXPECT_EQ(chain.back().ownPort, 0);
  EXPECT_EQ(chain.back().controlAddress.interfaceIndex, l.hostIndex);
}

}  // namespace
