// Status chains: which items of which devices make up the chain of one
// output port, in which order, and when two chains are the same.
#include "discovery/find.h"
#include "tests/common/seeded_rng.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using VELLORA::Find;

KALMO::IPAddress ep(const char* v6, uint16_t port = 0, uint32_t ifindex = 0) {
  KALMO::IPAddress a;
  EXPECT_TRUE(a.set_V6_str(v6)) << v6;
  a.port = htons(port);
  a.interfaceIndex = ifindex;
  return a;
}

struct Item {
  const char* key;  // control address
  uint16_t keyPort;
  uint32_t keyIf;
  uint16_t kind;
  uint16_t index;
  const char* link;  // link address and its port (own port index or a device's item index)
  uint16_t linkPort;
  const char* name;
};

struct Expected {
  const char* name;
  uint8_t chainEnd;
  uint8_t ownPort;
};

struct Case {
  const char* what;
  std::vector<Item> items;
  const char* port;  // P
  uint32_t portIf;
  uint16_t portIndex;
  bool kind1;
  std::vector<Expected> chain;
};

Find::StatusMap itemMap(const std::vector<Item>& items) {
  Find::StatusMap m;
  for (const Item& i : items) {
    Find::TargetStatusInfo info;
    info.kind = i.kind;
    info.index = i.index;
    info.linkAddress = ep(i.link, i.linkPort);
    info.itemName = i.name;
    info.targetName = "t";
    m[ep(i.key, i.keyPort, i.keyIf)] = info;
  }
  return m;
}

// Target A at fe80::a (interface 3) with its own items; devices B and C at
// fe80::b and fe80::c hang behind A's port 1.
const std::vector<Case> kCases = {
    {"no own item: nothing, not even linked items",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 2, "A-port2"}, {"fe80::b", 6001, 3, 0, 1, "fe80::a", 1, "B"}},
     "fe80::a", 3, 1, true, {}},
    {"two own items of port 1 in map order",
     {{"fe80::a", 5002, 3, 1, 2, "::1", 1, "A2"}, {"fe80::a", 5001, 3, 1, 1, "::1", 1, "A1"}},
     "fe80::a", 3, 1, true, {{"A1", 1, 1}, {"A2", 1, 1}}},
    {"own items need the port's address, interface, kind and index",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "own"},
      {"fe80::a", 5002, 4, 1, 2, "::1", 1, "other interface"},
      {"fe80::d", 5003, 3, 1, 3, "::1", 1, "other address"},
      {"fe80::a", 5004, 3, 2, 4, "::1", 1, "kind 2"},
      {"fe80::a", 5005, 3, 1, 5, "::1", 2, "port 2"},
      {"fe80::a", 5006, 3, 1, 6, "fe80::e", 1, "not on ::1"}},
     "fe80::a", 3, 1, true, {{"own", 1, 1}}},
    {"selector false starts with kind 2",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "kind1"}, {"fe80::a", 5002, 3, 2, 2, "::1", 1, "kind2"}},
     "fe80::a", 3, 1, false, {{"kind2", 1, 1}}},
    {"a line of two devices",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "A"},
      {"fe80::b", 6001, 3, 0, 1, "fe80::a", 1, "B"},
      {"fe80::c", 7001, 3, 0, 1, "fe80::b", 1, "C"}},
     "fe80::a", 3, 1, true, {{"A", 0, 1}, {"B", 0, 0}, {"C", 1, 0}}},
    {"the far device sorts first and joins in a later pass",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "A"},
      {"fe80::9", 6001, 3, 0, 1, "fe80::b", 1, "C"},
      {"fe80::b", 7001, 3, 0, 1, "fe80::a", 1, "B"}},
     "fe80::a", 3, 1, true, {{"A", 0, 1}, {"B", 0, 0}, {"C", 1, 0}}},
    {"two devices on one element: the later one directly behind it",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "A"},
      {"fe80::b", 6001, 3, 0, 1, "fe80::a", 1, "B"},
      {"fe80::c", 7001, 3, 0, 1, "fe80::a", 1, "C"}},
     "fe80::a", 3, 1, true, {{"A", 0, 1}, {"C", 1, 0}, {"B", 1, 0}}},
    {"a link must name the element's index, not just its address",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "A"}, {"fe80::b", 6001, 3, 0, 1, "fe80::a", 2, "B"}},
     "fe80::a", 3, 1, true, {{"A", 1, 1}}},
    {"a kind-0 item linked to ::1 never joins",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "A"}, {"fe80::b", 6001, 3, 0, 1, "::1", 1, "B"}},
     "fe80::a", 3, 1, true, {{"A", 1, 1}}},
    {"a device on another interface is left out",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "A"}, {"fe80::b", 6001, 4, 0, 1, "fe80::a", 1, "B"}},
     "fe80::a", 3, 1, true, {{"A", 1, 1}}},
    {"a device at ::1 joins whatever its interface",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "A"}, {"::1", 6001, 0, 0, 1, "fe80::a", 1, "B"}},
     "fe80::a", 3, 1, true, {{"A", 0, 1}, {"B", 1, 0}}},
    {"a port at ::1: nothing can link to an element at ::1",
     {{"::1", 5001, 0, 1, 1, "::1", 1, "A"}, {"fe80::b", 6001, 7, 0, 1, "::1", 1, "B"}},
     "::1", 0, 1, true, {{"A", 1, 1}}},
    {"a link naming nothing in the chain is left out",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "A"}, {"fe80::b", 6001, 3, 0, 1, "fe80::f", 1, "B"}},
     "fe80::a", 3, 1, true, {{"A", 1, 1}}},
    {"kind 1 or 2 items of devices do not join as links",
     {{"fe80::a", 5001, 3, 1, 1, "::1", 1, "A"}, {"fe80::b", 6001, 3, 2, 1, "fe80::a", 1, "B"}},
     "fe80::a", 3, 1, true, {{"A", 1, 1}}},
};

TEST(StatusSort, ChainOrderAndFlags) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Find::StatusSort chain;
    chain.push_back(Find::StatusSortSt{});  // cleared first
    Find::SortStatus(ep(c.port, 4000, c.portIf), c.portIndex, c.kind1, itemMap(c.items), chain);
    ASSERT_EQ(chain.size(), c.chain.size());
    auto it = chain.begin();
    for (const Expected& e : c.chain) {
      EXPECT_EQ(it->itemName, e.name);
      EXPECT_EQ(it->chainEnd, e.chainEnd) << e.name;
      EXPECT_EQ(it->ownPort, e.ownPort) << e.name;
      ++it;
    }
  }
}

TEST(StatusSort, ElementsCopyTheItemAndItsKey) {
  Find::StatusMap items;
  Find::TargetStatusInfo info;
  info.productID = 77;
  info.index = 1;
  info.version = 2;
  info.targetName = "amp";
  info.kind = 1;
  info.linkAddress = ep("::1", 1);
  info.itemName = "volume";
  const KALMO::IPAddress key = ep("fe80::a", 5001, 3);
  items[key] = info;
  Find::StatusSort chain;
  Find::SortStatus(ep("fe80::a", 4000, 3), 1, true, items, chain);
  ASSERT_EQ(chain.size(), 1u);
  const Find::StatusSortSt& e = chain.front();
  EXPECT_EQ(e.productID, 77u);
  EXPECT_EQ(e.version, 2);
  EXPECT_EQ(e.targetName, "amp");
  EXPECT_EQ(e.kind, 1);
  EXPECT_TRUE(e.linkAddress == info.linkAddress);
  EXPECT_TRUE(e.controlAddress == key);
}

TEST(StatusSort, FindMatchesTheWholeControlAddress) {
  Find::StatusMap items = itemMap({{"fe80::a", 5001, 3, 1, 1, "::1", 1, "A"},
                                   {"fe80::b", 6001, 3, 0, 1, "fe80::a", 1, "B"}});
  Find::StatusSort chain;
  Find::SortStatus(ep("fe80::a", 4000, 3), 1, true, items, chain);
  ASSERT_EQ(chain.size(), 2u);
  auto found = chain.find(ep("fe80::b", 6001, 3));
  ASSERT_NE(found, chain.end());
  EXPECT_EQ(found->itemName, "B");
  EXPECT_EQ(chain.find(ep("fe80::b", 6002, 3)), chain.end());
  EXPECT_EQ(chain.find(ep("fe80::b", 6001, 4)), chain.end());
  EXPECT_EQ(chain.find(ep("fe80::c", 6001, 3)), chain.end());
}

Find::StatusSort chainOf(std::vector<Find::StatusSortSt> elements) {
  Find::StatusSort s;
  for (auto& e : elements) s.push_back(e);
  return s;
}

Find::StatusSortSt elem(const KALMO::IPAddress& control, const KALMO::IPAddress& link, uint16_t index,
                        const char* name = "x") {
  Find::StatusSortSt e;
  e.controlAddress = control;
  e.linkAddress = link;
  e.index = index;
  e.itemName = name;
  return e;
}

TEST(StatusSort, ChainsAreTheSameOnlyElementByElement) {
  const auto a = ep("fe80::a", 5001, 3);
  const auto b = ep("fe80::b", 6001, 3);
  const auto own = ep("::1", 1);
  const auto base = chainOf({elem(a, own, 1), elem(b, ep("fe80::a", 1), 1)});
  struct Variant {
    const char* what;
    Find::StatusSort chain;
    bool same;
  };
  Find::StatusSortSt renamed = elem(b, ep("fe80::a", 1), 1, "other name");
  renamed.kind = 9;
  renamed.productID = 5;
  renamed.chainEnd = 1;
  const std::vector<Variant> variants = {
      {"identical", chainOf({elem(a, own, 1), elem(b, ep("fe80::a", 1), 1)}), true},
      {"names, kinds and product IDs differ", chainOf({elem(a, own, 1), renamed}), true},
      {"one element fewer", chainOf({elem(a, own, 1)}), false},
      {"same length, other control address", chainOf({elem(a, own, 1), elem(ep("fe80::c", 6001, 3), ep("fe80::a", 1), 1)}), false},
      {"control port moved", chainOf({elem(a, own, 1), elem(ep("fe80::b", 6002, 3), ep("fe80::a", 1), 1)}), false},
      {"control interface changed", chainOf({elem(a, own, 1), elem(ep("fe80::b", 6001, 4), ep("fe80::a", 1), 1)}), false},
      {"link address bytes", chainOf({elem(a, own, 1), elem(b, ep("fe80::d", 1), 1)}), false},
      {"link port", chainOf({elem(a, own, 1), elem(b, ep("fe80::a", 2), 1)}), false},
      {"link interface index", chainOf({elem(a, own, 1), elem(b, ep("fe80::a", 1, 2), 1)}), false},
      {"index", chainOf({elem(a, own, 1), elem(b, ep("fe80::a", 1), 2)}), false},
      {"order", chainOf({elem(b, ep("fe80::a", 1), 1), elem(a, own, 1)}), false},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.what);
    EXPECT_EQ(base == v.chain, v.same);
    EXPECT_EQ(v.chain == base, v.same);
  }
  EXPECT_TRUE(Find::StatusSort() == Find::StatusSort());
}

// A line of devices, each hanging on the one listed before it, whose control
// addresses sort the other way round: every pass over the map can add only
// one device. Listings allow thousands of items per target, so building the
// chain must not take a time that grows with the cube of that.
TEST(StatusSort, ALongLineAgainstTheMapOrderIsSortedQuickly) {
  constexpr uint16_t kDevices = 2000;
  Find::StatusMap items = itemMap({{"fe80::a", 60000, 3, 1, 1, "::1", 1, "own"}});
  for (uint16_t j = 2; j <= kDevices + 1; ++j) {
    Find::TargetStatusInfo info;
    info.index = j;
    info.linkAddress = j == 2 ? ep("fe80::a", 1) : ep("fe80::b", static_cast<uint16_t>(j - 1));
    info.itemName = std::to_string(j);
    items[ep("fe80::b", static_cast<uint16_t>(50000 - j), 3)] = info;
  }
  Find::StatusSort chain;
  const auto start = std::chrono::steady_clock::now();
  Find::SortStatus(ep("fe80::a", 4000, 3), 1, true, items, chain);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took.count(), 2.0);

  ASSERT_EQ(chain.size(), size_t{kDevices} + 1);
  auto e = chain.begin();
  EXPECT_EQ(e->itemName, "own");
  EXPECT_EQ(e->ownPort, 1);
  for (uint16_t j = 2; j <= kDevices + 1; ++j) {
    ++e;
    ASSERT_EQ(e->itemName, std::to_string(j));
    EXPECT_EQ(e->ownPort, 0);
    EXPECT_EQ(e->chainEnd, j == kDevices + 1 ? 1 : 0) << j;
  }
}

// The chain as the rule states it: own items in map order, then passes
// over the whole map, each item inserted directly behind the first element
// from the start of the chain that it hangs on.
Find::StatusSort passByPass(const KALMO::IPAddress& port, uint16_t portIndex, bool kind1,
                            const Find::StatusMap& items) {
  Find::StatusSort chain;
  const auto make = [](const KALMO::IPAddress& key, const Find::TargetStatusInfo& item, uint8_t own) {
    Find::StatusSortSt e;
    e.index = item.index;
    e.kind = item.kind;
    e.linkAddress = item.linkAddress;
    e.itemName = item.itemName;
    e.controlAddress = key;
    e.chainEnd = 1;
    e.ownPort = own;
    return e;
  };
  for (const auto& [key, item] : items) {
    if (item.kind == (kind1 ? 1 : 2) && item.linkAddress.isLoopback() &&
        std::memcmp(key.address, port.address, 16) == 0 && key.interfaceIndex == port.interfaceIndex &&
        ntohs(item.linkAddress.port) == portIndex) {
      chain.push_back(make(key, item, 1));
    }
  }
  for (bool inserted = !chain.empty(); inserted;) {
    inserted = false;
    for (const auto& [key, item] : items) {
      if (item.kind != 0 || item.linkAddress.isLoopback()) continue;
      if (!port.isLoopback() && !key.isLoopback() && key.interfaceIndex != port.interfaceIndex) continue;
      if (chain.find(key) != chain.end()) continue;
      for (auto n = chain.begin(); n != chain.end(); ++n) {
        if (n->index != ntohs(item.linkAddress.port) ||
            std::memcmp(n->controlAddress.address, item.linkAddress.address, 16) != 0) {
          continue;
        }
        n->chainEnd = 0;
        chain.insert(std::next(n), make(key, item, 0));
        inserted = true;
        break;
      }
    }
  }
  return chain;
}

// Small pools of addresses, ports and indexes, so that items often hang on
// each other, several elements share address bytes and index, and lines
// run both with and against the map order.
TEST(StatusSort, TheSameChainAsPassAfterPassOverTheMap) {
  vtest::SeededRng rng(0x5027);
  static const char* const hosts[] = {"fe80::1", "fe80::2", "fe80::3", "::1"};
  size_t linked = 0;
  for (int round = 0; round < 4000; ++round) {
    const auto pick = [&](uint32_t ports) {
      return ep(hosts[rng.below(4)], static_cast<uint16_t>(rng.below(ports)), rng.below(2));
    };
    const KALMO::IPAddress port = pick(3);
    const auto portIndex = static_cast<uint16_t>(rng.below(3));
    const bool kind1 = rng.chance(70);
    Find::StatusMap items;
    std::vector<std::pair<KALMO::IPAddress, uint16_t>> made;  // key and index of each item
    const int n = static_cast<int>(rng.below(40));
    for (int i = 0; i < n; ++i) {
      Find::TargetStatusInfo info;
      info.index = static_cast<uint16_t>(rng.below(4));
      info.kind = static_cast<uint16_t>(rng.below(3));
      info.linkAddress = pick(4);
      info.itemName = "i" + std::to_string(i);
      KALMO::IPAddress key = pick(12);
      const uint32_t shape = rng.below(10);
      if (shape < 2) {  // an own item of the port, mostly
        key = port;
        key.port = htons(static_cast<uint16_t>(rng.below(12)));
        info.kind = rng.chance(90) ? (kind1 ? 1 : 2) : 0;
        info.linkAddress = ep("::1", rng.chance(90) ? portIndex : static_cast<uint16_t>(rng.below(3)));
      } else if (shape < 8 && !made.empty()) {  // a device on an item made before, mostly
        const auto& [on, onIndex] = made[rng.below(static_cast<uint32_t>(made.size()))];
        info.kind = rng.chance(90) ? 0 : 1;
        info.linkAddress = on;
        info.linkAddress.port = htons(onIndex);
        info.linkAddress.interfaceIndex = 0;
        if (rng.chance(80)) key.interfaceIndex = port.interfaceIndex;
      }
      items[key] = info;
      made.emplace_back(key, info.index);
    }
    const Find::StatusSort want = passByPass(port, portIndex, kind1, items);
    Find::StatusSort got;
    Find::SortStatus(port, portIndex, kind1, items, got);
    ASSERT_EQ(got.size(), want.size()) << "round " << round;
    auto w = want.begin();
    for (auto g = got.begin(); g != got.end(); ++g, ++w) {
      ASSERT_EQ(g->itemName, w->itemName) << "round " << round;
      EXPECT_EQ(g->chainEnd, w->chainEnd) << "round " << round << " " << g->itemName;
      EXPECT_EQ(g->ownPort, w->ownPort) << "round " << round << " " << g->itemName;
      linked += g->ownPort == 0 ? 1 : 0;
    }
  }
  EXPECT_GT(linked, 2000u);  // the sweep reaches the linking passes
}

}  // namespace
