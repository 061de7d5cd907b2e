// Output ports and status items against stand-in targets on [::1].
#include "tests/discovery/find_fixture.h"

#include <set>
#include <vector>

namespace disc_test {
namespace {

using namespace std::chrono_literals;

// Slow sanitizer builds take seconds for thousands of exchanges.
constexpr uint64_t kNoBudget = 300'000'000'000'000ULL;  // 300 s

const Find::MODE kMode = static_cast<Find::MODE>(Find::MODE_PORT_KIND1 | Find::MODE_INDEX_OPTION0);

vsim::PortSpec port(uint16_t index, const char* name, uint16_t kind = 1) {
  vsim::PortSpec p;
  p.index = index;
  p.name = name;
  p.kind = kind;
  return p;
}

vsim::StatusItemSpec item(uint16_t index, uint16_t kind, const KALMO::IPAddress& link, const char* name) {
  vsim::StatusItemSpec i;
  i.index = index;
  i.kind = kind;
  i.link = link;
  i.name = name;
  return i;
}

// Port indexes asked one by one (option0) at an endpoint.
std::multiset<uint16_t> askedPorts(const vsim::TargetSim& engine, vsim::EndpointId ep) {
  std::multiset<uint16_t> asked;
  for (const auto& d : engine.received(ep, VELLORA::PORT_REQ)) {
    if (d.option0() != 0) asked.insert(d.option0());
  }
  return asked;
}

std::multiset<uint16_t> askedItems(const vsim::TargetSim& engine, vsim::EndpointId ep) {
  std::multiset<uint16_t> asked;
  for (const auto& d : engine.received(ep, VELLORA::STATUSITEM_REQ)) {
    if (d.option0() != 0) asked.insert(d.option0());
  }
  return asked;
}

TEST_F(FindTest, PortListingFillsEveryRecord) {
  vsim::TargetSpec a = elsewhere();
  a.productID = 3;
  a.infoText = "at [myaddress] and [myaddress]";
  a.ports = {port(1, "front"), port(2, "rear")};
  a.ports[0].version = 1;
  a.ports[0].sync[0] = 11;
  a.ports[0].sync[3] = 44;
  const int ta = add(a);
  vsim::TargetSpec b = elsewhere();
  b.ports = {port(1, "only")};
  const int tb = add(b);
  vsim::Script refuse;
  refuse.action = vsim::Script::Action::REFUSE;
  engine.script(targets.endpoint(tb), VELLORA::TARGETINFO_REQ, refuse);

  Find::TargetMap found = this->found({ta, tb});
  found[targets.address(ta)].productID = 3;
  Find::PortMap ports;
  ASSERT_TRUE(client().findTarget(found, ports, kMode));
  ASSERT_EQ(ports.size(), 3u);

  const Find::TargetConnectInfo& front = ports.at(targets.portAddress(ta, 1));
  EXPECT_EQ(front.productID, 3u);
  EXPECT_EQ(front.portIndex, 1);
  EXPECT_EQ(front.version, 1);
  EXPECT_EQ(front.targetName, found[targets.address(ta)].targetName);
  EXPECT_EQ(front.infoText, "at [::1] and [myaddress]");
  EXPECT_TRUE(front.targetAddress == targets.address(ta));
  EXPECT_EQ(front.portName, "front");
  EXPECT_TRUE(front.multiport);
  EXPECT_EQ(front.syncInfo, (Find::SynchroNodeInfo{11, 0, 0, 44}));
  const Find::TargetConnectInfo& rear = ports.at(targets.portAddress(ta, 2));
  EXPECT_EQ(rear.portName, "rear");
  EXPECT_TRUE(rear.multiport);
  const Find::TargetConnectInfo& only = ports.at(targets.portAddress(tb, 1));
  EXPECT_FALSE(only.multiport);
  EXPECT_EQ(only.infoText, "");
  // Every target on ::1 shares the address, so only A's own view is telling.
  EXPECT_TRUE(Find::is_multiport(ports, targets.portAddress(ta, 1)));

  for (int t : {ta, tb}) {
    EXPECT_EQ(targets.announcedNames(t), std::vector<std::string>{"REZO ZOZU"});
    EXPECT_EQ(engine.count(targets.portEndpoint(t, 1), VELLORA::SYNCHRO_NODE_REQ), 1u);
  }
}

TEST_F(FindTest, PortCountsPickWhichPortsAreAsked) {
  struct Case {
    const char* what;
    std::vector<uint16_t> ports;
    bool bitmap;
    int reported;
    size_t asked;
    uint16_t first;
    uint16_t last;
  };
  const std::vector<Case> cases = {
      {"bitmap byte 0x0a: ports 1 and 3", {1, 3}, true, -1, 2, 1, 3},
      {"no bitmap: every port up to the count", {1, 3}, false, 3, 3, 1, 3},
      {"a count past the bitmap ignores it and stops at the cap", {1}, true, 65535, Find::MAX_PORTS, 1, Find::MAX_PORTS},
      {"count 0", {}, true, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::TargetSpec layout = elsewhere();
    for (uint16_t i : c.ports) layout.ports.push_back(port(i, "p"));
    layout.bitmap = c.bitmap;
    layout.reportedPorts = c.reported;
    const int t = add(layout);
    client().listLimit = kNoBudget;  // the cap, not the clock, ends this listing
    Find::PortMap ports;
    ASSERT_TRUE(client().findTarget(found({t}), ports, kMode));
    EXPECT_EQ(ports.size(), c.ports.size());
    const auto asked = askedPorts(engine, targets.endpoint(t));
    EXPECT_EQ(asked.size(), c.asked);
    if (!asked.empty()) {
      EXPECT_EQ(*asked.begin(), c.first);
      EXPECT_EQ(*asked.rbegin(), c.last);
    }
  }
}

TEST_F(FindTest, PortCountKinds) {
  struct Case {
    const char* what;
    uint16_t countKind;
    uint16_t mode;
    uint16_t count0;
    uint16_t count1;
    size_t requests;
  };
  // Ports 1..3 of kind 1 and 1..5 of kind 2.
  const std::vector<Case> cases = {
      {"kind 0 answer taken as it is for kind 1", 0, Find::MODE_PORT_KIND1 | Find::MODE_INDEX_OPTION0, 5, 0, 1},
      {"kind 0 answer does not fit kind 2", 0, Find::MODE_PORT_KIND2 | Find::MODE_INDEX_OPTION0, 0, 0, 1},
      {"kind answer asks again for kind 1", 2, Find::MODE_PORT_KIND1 | Find::MODE_INDEX_OPTION0, 3, 0, 2},
      {"kind answer asks again for kind 2, count 1", 1, Find::MODE_PORT_KIND2 | Find::MODE_INDEX_OPTION1, 0, 5, 2},
      {"both counts", 1, Find::MODE_PORT_KIND1 | Find::MODE_INDEX_OPTION0 | Find::MODE_INDEX_OPTION1, 3, 3, 2},
      {"no kind bit accepts nothing", 0, Find::MODE_INDEX_OPTION0, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::TargetSpec layout = elsewhere();
    for (uint16_t i = 1; i <= 3; ++i) layout.ports.push_back(port(i, "a", 1));
    for (uint16_t i = 1; i <= 5; ++i) layout.ports.push_back(port(i, "b", 2));
    layout.countKind = c.countKind;
    const int t = add(layout);
    uint16_t count0 = 99;
    uint16_t count1 = 99;
    uint8_t bitmap0[512];
    uint8_t bitmap1[512];
    ASSERT_TRUE(client().getPort(targets.address(t), static_cast<Find::MODE>(c.mode), count0, count1, bitmap0,
                                 bitmap1));
    EXPECT_EQ(count0, c.count0);
    EXPECT_EQ(count1, c.count1);
    EXPECT_EQ(engine.count(targets.endpoint(t), VELLORA::PORT_REQ), c.requests);
  }
}

TEST_F(FindTest, BitmapsStayAllOnesWithoutTheirPayload) {
  vsim::TargetSpec layout = elsewhere();
  layout.ports = {port(1, "p")};
  layout.bitmap = false;
  const int t = add(layout);
  uint16_t count0 = 0;
  uint16_t count1 = 0;
  uint8_t bitmap0[512];
  uint8_t bitmap1[512] = {};
  ASSERT_TRUE(client().getPort(targets.address(t), kMode, count0, count1, bitmap0, bitmap1));
  EXPECT_EQ(count0, 1);
  for (int i = 0; i < 512; ++i) ASSERT_EQ(bitmap0[i] & bitmap1[i], 0xFF) << i;
}

uint64_t options(uint16_t o0, uint16_t o1, uint16_t o2, uint16_t o3) {
  return uint64_t{o0} | (uint64_t{o1} << 16) | (uint64_t{o2} << 32) | (uint64_t{o3} << 48);
}

// A target whose one port and one status item answer with `option0` (and
// `option1`) of its own choosing: a count, a sequence number, anything. The
// answers are taken by their code and sender; what a target puts in the
// words that carry nothing for these answers must not lose a port or item.
struct FreeWordsTarget {
  FreeWordsTarget(vsim::TargetSim& engine, uint16_t word0, uint16_t word1) : engine(engine) {
    target = engine.addEndpoint(vsim::ipv6("::1", 0));
    port = engine.addEndpoint(vsim::ipv6("::1", 0));
    control = engine.addEndpoint(vsim::ipv6("::1", 0));
    const uint16_t portNumber = ntohs(engine.address(port).port);
    const uint16_t controlNumber = ntohs(engine.address(control).port);
    engine.onCode(target, VELLORA::PORT_REQ, [=](vsim::TargetSim& sim, const vsim::Datagram& d) {
      if (d.option0() == 0 && d.option1() == 0) {
        // One port; kind 0 means no second count query. No bitmap: ask it.
        return sim.reply(d, vsim::Answer{-1, VELLORA::STATUS_ACK, options(1, 1, 0, 0), {}});
      }
      return sim.reply(d, vsim::Answer::withText("out", options(word0, word1, portNumber, 1)));
    });
    engine.onCode(target, VELLORA::STATUSITEM_REQ, [=](vsim::TargetSim& sim, const vsim::Datagram& d) {
      if (d.option0() == 0) return sim.reply(d, vsim::Answer{-1, VELLORA::STATUS_ACK, options(1, 0, 0, 0), {}});
      std::vector<uint8_t> payload(18, 0);
      payload[15] = 1;  // hangs on ::1, own port 1
      payload[17] = 1;
      payload.insert(payload.end(), {'v', 'o', 'l'});
      return sim.reply(d, vsim::Answer{-1, VELLORA::STATUS_ACK, options(word0, 1, controlNumber, 1), payload});
    });
  }
  ~FreeWordsTarget() {
    for (vsim::EndpointId e : {target, port, control}) engine.removeEndpoint(e);
  }
  KALMO::IPAddress address() const { return engine.address(target); }
  KALMO::IPAddress portAddress() const { return engine.address(port); }
  KALMO::IPAddress controlAddress() const { return engine.address(control); }

  vsim::TargetSim& engine;
  vsim::EndpointId target, port, control;
};

TEST_F(FindTest, AnswersAreTakenByCodeAndSenderWhateverTheirFreeWordsHold) {
  const Find::MODE byOption1 = static_cast<Find::MODE>(Find::MODE_PORT_KIND1 | Find::MODE_INDEX_OPTION1);
  const struct {
    const char* what;
    Find::MODE mode;
    uint16_t word0, word1;
  } cases[] = {
      {"the index echoed", kMode, 1, 0},
      {"nothing", kMode, 0, 0},
      {"a port count in option0", kMode, 3, 0},
      {"all ones", kMode, 0xFFFF, 0xFFFF},
      {"index in option1, option1 holds a count", byOption1, 0, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FreeWordsTarget t(engine, c.word0, c.word1);
    KALMO::IPAddress endpoint;
    uint16_t version = 0;
    std::string name;
    Find::SynchroNodeInfo sync;
    ASSERT_TRUE(client().getPort(t.address(), c.mode, 1, endpoint, version, name, sync));
    EXPECT_TRUE(endpoint == t.portAddress());
    EXPECT_EQ(name, "out");
    EXPECT_EQ(version, 1);

    KALMO::IPAddress control;
    KALMO::IPAddress link;
    uint16_t kind = 0;
    ASSERT_TRUE(client().getStatus(t.address(), 1, control, version, name, link, kind));
    EXPECT_TRUE(control == t.controlAddress());
    EXPECT_EQ(kind, 1);
    EXPECT_EQ(name, "vol");
  }

  // The daemon's listings, with a target that counts in option0.
  FreeWordsTarget t(engine, 3, 0);
  Find::TargetMap found;
  found[t.address()].targetName = "free";
  Find::PortMap ports;
  ASSERT_TRUE(client().findTarget(found, ports, kMode));
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_TRUE(ports.begin()->first == t.portAddress());
  EXPECT_EQ(ports.begin()->second.portIndex, 1);
  Find::StatusMap items;
  ASSERT_TRUE(client().findTarget(found, items));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(items.begin()->first == t.controlAddress());
  EXPECT_EQ(items.begin()->second.itemName, "vol");
}

TEST_F(FindTest, TwoIndexesNamingOnePortLeaveOneRecordThatIsNotMultiport) {
  vsim::TargetSpec layout = elsewhere();
  layout.ports = {port(1, "first"), port(2, "again")};
  layout.ports[0].udpPort = 35001;
  layout.ports[1].reportPort = 35001;
  const int t = add(layout);
  Find::PortMap ports;
  ASSERT_TRUE(client().findTarget(found({t}), ports, kMode));
  ASSERT_EQ(ports.size(), 1u);
  const Find::TargetConnectInfo& r = ports.begin()->second;
  EXPECT_EQ(r.portIndex, 2);
  EXPECT_EQ(r.portName, "again");
  EXPECT_FALSE(r.multiport);
}

TEST_F(FindTest, PortAnswersThatAreSkipped) {
  struct Case {
    const char* what;
    uint16_t hostVersion;
    uint16_t portVersion;
    vsim::Reply reply;
    vsim::Reply syncReply;
    bool listed;
    bool result;
  };
  const vsim::EndpointId third = targets.endpoint(add(elsewhere()));
  vsim::Reply refusalFromThird = vsim::Reply::refuse();
  refusalFromThird.from = third;
  const std::vector<Case> cases = {
      {"plain", 1, 1, {}, {}, true, true},
      {"accepted answer from a third endpoint", 1, 1, vsim::Reply::fromEndpoint(third), {}, false, true},
      {"refusal from a third endpoint", 1, 1, refusalFromThird, {}, false, true},
      {"synchro answered from a third endpoint", 1, 1, {}, vsim::Reply::fromEndpoint(third), false, false},
      {"newer protocol", 1, 2, {}, {}, false, true},
      {"version check off", 0, 9, {}, {}, true, true},
      {"refused", 1, 1, vsim::Reply::refuse(), {}, false, true},
      {"echoed", 1, 1, vsim::Reply::echo(), {}, false, true},
      {"silent", 1, 1, vsim::Reply::silent(), {}, false, true},
      {"synchro refused", 1, 1, {}, vsim::Reply::refuse(), true, true},
      {"synchro silent ends the listing", 1, 1, {}, vsim::Reply::silent(), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::TargetSpec layout = elsewhere();
    layout.ports = {port(2, "p")};
    layout.ports[0].version = c.portVersion;
    layout.ports[0].reply = c.reply;
    layout.ports[0].syncReply = c.syncReply;
    layout.ports[0].sync[1] = 7;
    layout.bitmap = false;  // port 1 is asked too and answers "no such port"
    const int t = add(layout);
    setting.version = c.hostVersion;
    Find f(setting);
    ASSERT_TRUE(f.open());
    Find::PortMap ports;
    EXPECT_EQ(f.findTarget(found({t}), ports, kMode), c.result);
    ASSERT_EQ(ports.size(), c.listed ? 1u : 0u);
    if (c.listed) {
      const uint16_t sync = c.syncReply.kind == vsim::Reply::Kind::ANSWER ? 7 : 0;
      EXPECT_EQ(ports.begin()->second.syncInfo.option1, sync);
    }
    EXPECT_EQ(askedPorts(engine, targets.endpoint(t)), (std::multiset<uint16_t>{1, 2}));
  }
}

TEST_F(FindTest, ItemAnswersThatAreSkipped) {
  struct Case {
    const char* what;
    uint16_t hostVersion;
    uint16_t itemVersion;
    vsim::Reply reply;
    bool listed;
  };
  const vsim::EndpointId third = targets.endpoint(add(elsewhere()));
  const std::vector<Case> cases = {
      {"plain", 1, 1, {}, true},
      {"newer protocol", 1, 2, {}, false},
      {"version check off", 0, 9, {}, true},
      {"refused", 1, 1, vsim::Reply::refuse(), false},
      {"echoed", 1, 1, vsim::Reply::echo(), false},
      {"silent", 1, 1, vsim::Reply::silent(), false},
      {"answered from a third endpoint", 1, 1, vsim::Reply::fromEndpoint(third), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::TargetSpec layout = elsewhere();
    layout.items = {item(2, 1, vsim::ipv6("::1", 1), "volume")};
    layout.items[0].version = c.itemVersion;
    layout.items[0].reply = c.reply;
    const int t = add(layout);  // item 1 is refused as absent
    setting.version = c.hostVersion;
    Find f(setting);
    ASSERT_TRUE(f.open());
    Find::StatusMap items;
    EXPECT_TRUE(f.findTarget(found({t}), items));
    ASSERT_EQ(items.size(), c.listed ? 1u : 0u);
    if (c.listed) {
      EXPECT_EQ(items.begin()->second.itemName, "volume");
      EXPECT_EQ(items.begin()->second.index, 2);
    }
    EXPECT_EQ(askedItems(engine, targets.endpoint(t)), (std::multiset<uint16_t>{1, 2}));
  }
}

TEST_F(FindTest, AnUnansweredNameAnnouncementDoesNotStopDiscovery) {
  struct Case {
    const char* what;
    vsim::Script::Action action;
  };
  const std::vector<Case> cases = {{"refused", vsim::Script::Action::REFUSE},
                                   {"echoed", vsim::Script::Action::ECHO},
                                   {"silent", vsim::Script::Action::SILENT}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::TargetSpec layout = elsewhere();
    layout.ports = {port(1, "p")};
    layout.items = {item(1, 1, vsim::ipv6("::1", 1), "i")};
    const int t = add(layout);
    vsim::Script s;
    s.action = c.action;
    engine.script(targets.endpoint(t), VELLORA::NOTISNAME_REQ, s);
    Find::PortMap ports;
    Find::StatusMap items;
    EXPECT_TRUE(client().findTarget(found({t}), ports, kMode));
    EXPECT_TRUE(client().findTarget(found({t}), items));
    EXPECT_EQ(ports.size(), 1u);
    EXPECT_EQ(items.size(), 1u);
    uint64_t id = 0;
    std::string name;
    EXPECT_TRUE(client().getTarget(targets.address(t), id, name));
    EXPECT_EQ(name, "target");
  }
}

TEST_F(FindTest, CountAnswersThatListNothing) {
  for (const vsim::Reply& reply : {vsim::Reply::refuse(), vsim::Reply::echo(), vsim::Reply::silent()}) {
    vsim::TargetSpec layout = elsewhere();
    layout.ports = {port(1, "p")};
    layout.items = {item(1, 1, vsim::ipv6("::1", 1), "i")};
    layout.portCountReply = reply;
    layout.itemCountReply = reply;
    const int t = add(layout);
    Find::PortMap ports;
    Find::StatusMap items;
    EXPECT_TRUE(client().findTarget(found({t}), ports, kMode));
    EXPECT_TRUE(client().findTarget(found({t}), items));
    EXPECT_TRUE(ports.empty());
    EXPECT_TRUE(items.empty());
    EXPECT_TRUE(askedPorts(engine, targets.endpoint(t)).empty());
    EXPECT_TRUE(askedItems(engine, targets.endpoint(t)).empty());
  }
}

TEST_F(FindTest, AnAcknowledgedProbeStopsTheQueries) {
  for (const bool acknowledged : {false, true}) {
    SCOPED_TRACE(acknowledged ? "acknowledged" : "refused");
    vsim::TargetSpec layout = elsewhere();
    layout.ports = {port(1, "p")};
    layout.items = {item(1, 1, vsim::ipv6("::1", 1), "i")};
    layout.acknowledgeProbe = acknowledged;
    const int t = add(layout);
    setting.probeActive = true;
    Find f(setting);
    ASSERT_TRUE(f.open());
    Find::PortMap ports;
    Find::StatusMap items;
    EXPECT_EQ(f.findTarget(found({t}), ports, kMode), !acknowledged);
    EXPECT_EQ(f.findTarget(found({t}), items), !acknowledged);
    EXPECT_EQ(ports.size(), acknowledged ? 0u : 1u);
    EXPECT_EQ(items.size(), acknowledged ? 0u : 1u);
    EXPECT_EQ(engine.count(targets.endpoint(t), VELLORA::PORT_REQ), acknowledged ? 0u : 2u);
  }
}

TEST_F(FindTest, AListingStopsAtItsTimeBudget) {
  vsim::TargetSpec layout = elsewhere();
  layout.ports = {port(1, "p")};
  layout.reportedPorts = 4000;
  layout.bitmap = false;                      // so every port is asked
  layout.absentPort = vsim::Reply::silent();  // 100 ms for each of 3999 ports
  layout.items = {item(1, 1, vsim::ipv6("::1", 1), "i")};
  layout.reportedItems = 4000;
  layout.absentItem = vsim::Reply::silent();
  const int t = add(layout);
  Find& f = client();
  f.listLimit = 1'000'000'000'000ULL;  // 1 s
  Find::PortMap ports;
  Find::StatusMap items;
  bool listedPorts = false;
  bool listedItems = false;
  const long long ms = timedMs([&] {
    listedPorts = f.findTarget(found({t}), ports, kMode);
    listedItems = f.findTarget(found({t}), items);
  });
  EXPECT_TRUE(listedPorts);
  EXPECT_TRUE(listedItems);
  EXPECT_EQ(ports.size(), 1u);  // what came before the budget ran out stays
  EXPECT_EQ(items.size(), 1u);
  EXPECT_LT(ms, 5000);
  EXPECT_GE(ms, 1900);
  EXPECT_LT(askedPorts(engine, targets.endpoint(t)).size(), 30u);
  EXPECT_LT(askedItems(engine, targets.endpoint(t)).size(), 30u);
}

TEST_F(FindTest, StatusItemsOfATargetAndOfADeviceLinkedBehindIt) {
  vsim::TargetSpec amp = elsewhere();
  amp.productID = 8;
  amp.ports = {port(1, "out")};
  amp.items = {item(1, 1, vsim::ipv6("::1", 1), "amp volume"), item(2, 2, vsim::ipv6("::1", 1), "amp mute")};
  amp.items[0].version = 1;
  const int ta = add(amp);
  // A speaker that hangs on the amplifier's item 1.
  vsim::TargetSpec speaker = elsewhere();
  KALMO::IPAddress link = targets.itemAddress(ta, 1);
  link.port = htons(1);
  link.interfaceIndex = 0;
  speaker.items = {item(1, 0, link, "speaker")};
  const int ts = add(speaker);

  Find::TargetMap found = this->found({ta, ts});
  found[targets.address(ta)].productID = 8;
  Find::StatusMap items;
  ASSERT_TRUE(client().findTarget(found, items));
  ASSERT_EQ(items.size(), 3u);
  const Find::TargetStatusInfo& volume = items.at(targets.itemAddress(ta, 1));
  EXPECT_EQ(volume.productID, 8u);
  EXPECT_EQ(volume.index, 1);
  EXPECT_EQ(volume.version, 1);
  EXPECT_EQ(volume.kind, 1);
  EXPECT_EQ(volume.itemName, "amp volume");
  EXPECT_TRUE(volume.linkAddress == vsim::ipv6("::1", 1));
  const Find::TargetStatusInfo& s = items.at(targets.itemAddress(ts, 1));
  EXPECT_EQ(s.kind, 0);
  EXPECT_TRUE(s.linkAddress == link);
  EXPECT_EQ(targets.announcedNames(ts).size(), 1u);

}

TEST_F(FindTest, ShortItemPayloadsKeepTheLinkAddress) {
  struct Case {
    int limit;
    bool linkRead;
    const char* name;
  };
  const std::vector<Case> cases = {{-1, true, "tweeter"}, {18, true, ""}, {17, false, ""}, {10, false, ""}, {0, false, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    vsim::TargetSpec layout = elsewhere();
    layout.items = {item(1, 0, vsim::ipv6("fe80::77", 3), "tweeter")};
    layout.items[0].payloadLimit = c.limit;
    const int t = add(layout);
    Find::StatusMap items;
    ASSERT_TRUE(client().findTarget(found({t}), items));
    ASSERT_EQ(items.size(), 1u);
    const Find::TargetStatusInfo& i = items.begin()->second;
    EXPECT_EQ(i.itemName, c.name);
    EXPECT_TRUE(i.linkAddress == (c.linkRead ? vsim::ipv6("fe80::77", 3) : KALMO::IPAddress{}));
  }
}

TEST_F(FindTest, StatusCountIsCapped) {
  vsim::TargetSpec layout = elsewhere();
  layout.items = {item(1, 1, vsim::ipv6("::1", 1), "i")};
  layout.reportedItems = 65535;
  const int t = add(layout);
  client().listLimit = kNoBudget;
  Find::StatusMap items;
  ASSERT_TRUE(client().findTarget(found({t}), items));
  EXPECT_EQ(items.size(), 1u);
  const auto asked = askedItems(engine, targets.endpoint(t));
  EXPECT_EQ(asked.size(), Find::MAX_STATUS_ITEMS);
  EXPECT_EQ(*asked.rbegin(), Find::MAX_STATUS_ITEMS);
}

TEST_F(FindTest, SingleOutputLookupOnLoopback) {
  vsim::TargetSpec layout;  // [::1]:19642
  layout.name = "desk";
  layout.infoText = "[myaddress]";
  layout.ports = {port(1, "a"), port(2, "b")};
  const int t = add(layout);
  Find& f = client();
  KALMO::IPAddress endpoint;
  Find::TargetConnectInfo record;
  record.productID = 42;
  ASSERT_TRUE(f.getOutput(vsim::ipv6("::1", 5555), 2, endpoint, record));
  EXPECT_TRUE(endpoint == targets.portAddress(t, 2));
  EXPECT_EQ(record.portIndex, 2);
  EXPECT_EQ(record.portName, "b");
  EXPECT_EQ(record.targetName, "desk");
  EXPECT_EQ(record.infoText, "[::1]");
  EXPECT_TRUE(record.targetAddress == vsim::ipv6("::1", 19642));
  EXPECT_EQ(record.productID, 42u);

  ASSERT_TRUE(f.getOutput(vsim::ipv6("::1", 0), 3, endpoint, record));
  EXPECT_TRUE(endpoint == KALMO::IPAddress{});
}

TEST(FindMultiport, SameAddressAndInterfaceOtherPort) {
  Find::PortMap ports;
  ports[vsim::ipv6("fe80::1", 100, 2)] = {};
  struct Case {
    KALMO::IPAddress endpoint;
    bool multi;
  };
  const std::vector<Case> cases = {
      {vsim::ipv6("fe80::1", 101, 2), true},
      {vsim::ipv6("fe80::1", 100, 2), false},
      {vsim::ipv6("fe80::1", 101, 3), false},
      {vsim::ipv6("fe80::2", 101, 2), false},
  };
  for (const Case& c : cases) EXPECT_EQ(Find::is_multiport(ports, c.endpoint), c.multi);
  EXPECT_FALSE(Find::is_multiport(Find::PortMap{}, vsim::ipv6("fe80::1", 1, 2)));
}

}  // namespace
}  // namespace disc_test
