// The scan's bookkeeping over several scans of one or two output ports:
// counting down, giving up, re-attaching with a new chain, failed nodes, a
// port that never gets a second node, ports of a target left unlisted; the
// scan's budget over known targets, and the back-off and order of attaches.
// Then the bridge itself against the stand-in driver and stand-in targets
// over a veth link: a card number the driver cannot have handed out, a
// release that outlives its scan, and a misbehaving target beside a good one.
#include "host/bridge_scan.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/bridge.h"
#include "sim/driver/sim_driver.h"
#include "sim/target/discovery.h"
#include "sim/target/hostile_node.h"
#include "sim/target/target_program.h"
#include "tests/common/link_harness.h"
#include "tests/common/test_env.h"
#include "tests/host/log_capture.h"

namespace {

using VELLORA::Find;

constexpr uint32_t kScope = 7;

KALMO::IPAddress endpoint(const char* v6, uint16_t port, uint32_t scope) {
  KALMO::IPAddress a;
  EXPECT_TRUE(a.set_V6_str(v6));
  a.port = htons(port);
  a.interfaceIndex = scope;
  return a;
}

const KALMO::IPAddress kPortA = endpoint("fe80::2:1", 40001, kScope);
const KALMO::IPAddress kPortB = endpoint("fe80::2:1", 40002, kScope);

// What discovery answers in one scan: the ports present and, per port, a
// chain of its own item plus `linked` devices behind it.
struct Answer {
  std::map<KALMO::IPAddress, int> ports;  // port -> linked devices behind it

  void add(Find::PortMap& portMap, Find::StatusMap& items) const {
    uint16_t index = 1;
    for (const auto& [address, linked] : ports) {
      Find::TargetConnectInfo r;
      r.portIndex = index;
      r.targetName = "amp";
      r.portName = "out" + std::to_string(index);
      portMap[address] = r;
      Find::TargetStatusInfo own;
      own.kind = 1;
      own.index = index;
      own.linkAddress = endpoint("::1", index, 0);
      const KALMO::IPAddress ownKey = endpoint("fe80::2:1", static_cast<uint16_t>(19700 + index * 10), kScope);
      items[ownKey] = own;
      uint16_t behind = index;
      for (int j = 1; j <= linked; ++j) {
        Find::TargetStatusInfo dev;
        dev.kind = 0;
        dev.index = static_cast<uint16_t>(index * 10 + j);
        dev.linkAddress = endpoint("fe80::2:1", behind, 0);
        items[endpoint("fe80::2:1", static_cast<uint16_t>(19700 + index * 10 + j), kScope)] = dev;
        behind = dev.index;
      }
      ++index;
    }
  }
};

// The bridge's side of the plan, as the scan applies it when every attach
// succeeds: lost nodes go, candidates become idle nodes at the full count.
struct Book {
  std::map<KALMO::IPAddress, Find::StatusSort> statusMap;
  std::map<KALMO::IPAddress, ScanNodeState> nodes;
  std::set<KALMO::IPAddress> failed;
  std::set<KALMO::IPAddress> busy;
  std::set<KALMO::IPAddress> unlisted;  // ports whose target was not listed
  std::vector<KALMO::IPAddress> attachFails;  // attaches that fail, once each
  int attached = 0;

  ScanPlan scan(const Answer& answer, bool* rescanOut = nullptr) {
    Find::PortMap ports;
    Find::StatusMap items;
    answer.add(ports, items);
    for (auto& [address, state] : nodes) state.busy = busy.count(address) != 0;
    ScanPlan plan;
    bool rescan = false;
    planScan(statusMap, nodes, ports, items, unlisted, failed, plan, rescan);
    if (rescanOut) *rescanOut = rescan;
    for (const KALMO::IPAddress& a : plan.lost) nodes.erase(a);
    for (const auto& [a, c] : plan.candidates) {
      EXPECT_EQ(nodes.count(a), 0u) << "a second node for one port";
      auto f = std::find(attachFails.begin(), attachFails.end(), a);
      if (f != attachFails.end()) {
        attachFails.erase(f);
        continue;
      }
      nodes[a] = ScanNodeState{false, SCAN_ALIVE_COUNT};
      ++attached;
    }
    return plan;
  }
};

TEST(BridgeScan, NewPortsOfOneTargetAreTwoCandidatesWithTheirOwnChains) {
  Book book;
  const ScanPlan plan = book.scan(Answer{{{kPortA, 1}, {kPortB, 0}}});
  ASSERT_EQ(plan.candidates.size(), 2u);
  EXPECT_TRUE(plan.lost.empty());
  EXPECT_EQ(plan.candidates.at(kPortA).chain.size(), 2u);  // own item, one device behind it
  EXPECT_EQ(plan.candidates.at(kPortB).chain.size(), 1u);
  EXPECT_EQ(plan.candidates.at(kPortB).record.portName, "out2");
  EXPECT_EQ(book.statusMap.size(), 2u);
  // Seen again unchanged: nothing to do and nothing to log.
  host_test::LogCapture log;
  const ScanPlan again = book.scan(Answer{{{kPortA, 1}, {kPortB, 0}}});
  EXPECT_TRUE(again.candidates.empty());
  EXPECT_TRUE(again.lost.empty());
  EXPECT_EQ(log.count("Scan"), 0u);
}

TEST(BridgeScan, IdlePortMissingIsReleasedAtTheFourthScan) {
  Book book;
  book.scan(Answer{{{kPortA, 0}}});
  host_test::LogCapture log;
  const std::string a = scanAddressText(kPortA);
  for (int expected : {2, 1, 0}) {
    bool rescan = false;
    const ScanPlan plan = book.scan(Answer{}, &rescan);
    EXPECT_TRUE(rescan);
    EXPECT_TRUE(plan.lost.empty());
    EXPECT_EQ(book.nodes.at(kPortA).aliveCount, expected);
  }
  const ScanPlan fourth = book.scan(Answer{});
  EXPECT_EQ(fourth.lost, std::set<KALMO::IPAddress>{kPortA});
  EXPECT_TRUE(book.statusMap.empty());
  EXPECT_EQ(log.starting("Scan Mis 3 "),
            (std::vector<std::string>{"Scan Mis 3 2 " + a, "Scan Mis 3 1 " + a, "Scan Mis 3 0 " + a}));
  // Back once forgotten: a new port.
  EXPECT_EQ(book.scan(Answer{{{kPortA, 0}}}).candidates.size(), 1u);
}

TEST(BridgeScan, PortBackAfterOneMissedScanIsKept) {
  Book book;
  book.scan(Answer{{{kPortA, 0}}});
  book.scan(Answer{});
  host_test::LogCapture log;
  const ScanPlan plan = book.scan(Answer{{{kPortA, 0}}});
  EXPECT_TRUE(plan.lost.empty());
  EXPECT_TRUE(plan.candidates.empty());
  EXPECT_EQ(book.nodes.at(kPortA).aliveCount, SCAN_ALIVE_COUNT);
  EXPECT_EQ(log.starting("Scan Rec  "), std::vector<std::string>{"Scan Rec  2 " + scanAddressText(kPortA)});
}

TEST(BridgeScan, BusyNodeIsNeverCountedDown) {
  struct Case {
    const char* what;
    Answer later;
  };
  const Case cases[] = {
      {"target vanished", Answer{}},
      {"chain changed", Answer{{{kPortA, 2}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Book book;
    book.scan(Answer{{{kPortA, 0}}});
    book.busy.insert(kPortA);
    for (int i = 0; i < 6; ++i) {
      bool rescan = true;
      const ScanPlan plan = book.scan(c.later, &rescan);
      EXPECT_FALSE(rescan);
      EXPECT_TRUE(plan.lost.empty());
      EXPECT_TRUE(plan.candidates.empty());
    }
    EXPECT_EQ(book.nodes.at(kPortA).aliveCount, SCAN_ALIVE_COUNT);
    EXPECT_EQ(book.statusMap.at(kPortA).size(), 1u);  // the stored chain stays
    // Once idle, the countdown starts.
    book.busy.clear();
    book.scan(c.later);
    EXPECT_EQ(book.nodes.at(kPortA).aliveCount, SCAN_ALIVE_COUNT - 1);
  }
}

TEST(BridgeScan, ChangedChainReattachesThePortInTheFourthScan) {
  Book book;
  book.scan(Answer{{{kPortA, 0}}});
  host_test::LogCapture log;
  for (int expected : {2, 1, 0}) {
    const ScanPlan plan = book.scan(Answer{{{kPortA, 1}}});
    EXPECT_TRUE(plan.candidates.empty());
    EXPECT_EQ(book.nodes.at(kPortA).aliveCount, expected);
    EXPECT_EQ(book.statusMap.at(kPortA).size(), 1u);
  }
  const ScanPlan fourth = book.scan(Answer{{{kPortA, 1}}});
  EXPECT_EQ(fourth.lost, std::set<KALMO::IPAddress>{kPortA});
  ASSERT_EQ(fourth.candidates.count(kPortA), 1u);
  EXPECT_EQ(fourth.candidates.at(kPortA).chain.size(), 2u);
  EXPECT_EQ(book.statusMap.at(kPortA).size(), 2u);
  EXPECT_EQ(log.count("Scan Mis 4 "), 3u);
  EXPECT_EQ(book.attached, 2);
  // The new chain is the one kept now.
  EXPECT_TRUE(book.scan(Answer{{{kPortA, 1}}}).candidates.empty());
}

TEST(BridgeScan, FailedAttachIsNotRetriedWhileThePortStaysTheSame) {
  Book book;
  book.attachFails.push_back(kPortA);
  book.scan(Answer{{{kPortA, 0}}});
  EXPECT_EQ(book.nodes.count(kPortA), 0u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(book.scan(Answer{{{kPortA, 0}}}).candidates.empty());
  // Missing once: forgotten at once (no node to count down), then new again.
  const ScanPlan gone = book.scan(Answer{});
  EXPECT_EQ(gone.lost, std::set<KALMO::IPAddress>{kPortA});
  EXPECT_TRUE(book.statusMap.empty());
  EXPECT_EQ(book.scan(Answer{{{kPortA, 0}}}).candidates.size(), 1u);
  // A changed chain of a port without a node is attached at once.
  Book other;
  other.attachFails.push_back(kPortA);
  other.scan(Answer{{{kPortA, 0}}});
  EXPECT_EQ(other.scan(Answer{{{kPortA, 1}}}).candidates.size(), 1u);
}

TEST(BridgeScan, FailedNodeIsReleasedAndAttachedAgainOneScanLater) {
  Book book;
  book.scan(Answer{{{kPortA, 0}, {kPortB, 0}}});
  book.failed.insert(kPortA);
  const ScanPlan plan = book.scan(Answer{{{kPortA, 0}, {kPortB, 0}}});
  EXPECT_EQ(plan.lost, std::set<KALMO::IPAddress>{kPortA});
  EXPECT_TRUE(plan.candidates.empty());
  EXPECT_TRUE(book.failed.empty());
  EXPECT_EQ(book.statusMap.count(kPortA), 0u);
  EXPECT_EQ(book.nodes.count(kPortB), 1u);
  const ScanPlan next = book.scan(Answer{{{kPortA, 0}, {kPortB, 0}}});
  EXPECT_EQ(next.candidates.size(), 1u);
  EXPECT_EQ(next.candidates.count(kPortA), 1u);
  // A failed port that is no longer in the status map has nothing to release.
  book.failed.insert(endpoint("fe80::9", 1, kScope));
  EXPECT_TRUE(book.scan(Answer{{{kPortA, 0}, {kPortB, 0}}}).lost.empty());
}

TEST(BridgeScan, NodeFailingWhenItsChangedChainEndsItsCountdownGetsOneNode) {
  Book book;
  book.scan(Answer{{{kPortA, 0}}});
  for (int i = 0; i < 3; ++i) book.scan(Answer{{{kPortA, 1}}});
  ASSERT_EQ(book.nodes.at(kPortA).aliveCount, 0);
  book.failed.insert(kPortA);
  const ScanPlan plan = book.scan(Answer{{{kPortA, 1}}});
  EXPECT_EQ(plan.lost, std::set<KALMO::IPAddress>{kPortA});
  EXPECT_EQ(plan.candidates.count(kPortA), 0u) << "attached while its entry is forgotten";
  EXPECT_EQ(book.nodes.count(kPortA), 0u);
  // The next scan attaches it as new, once, and the one after keeps it.
  EXPECT_EQ(book.scan(Answer{{{kPortA, 1}}}).candidates.size(), 1u);
  EXPECT_TRUE(book.scan(Answer{{{kPortA, 1}}}).candidates.empty());
  EXPECT_EQ(book.attached, 2);
}

TEST(BridgeScan, PortsOfAnUnlistedTargetAreNeitherCountedDownNorGivenUp) {
  Book book;
  book.scan(Answer{{{kPortA, 0}, {kPortB, 0}}});
  book.scan(Answer{{{kPortB, 0}}});  // A missed once: 2 left
  host_test::LogCapture log;
  // A's target is left out by the budget for several scans; B's is listed
  // and B has vanished from it.
  book.unlisted = {kPortA};
  for (int i = 0; i < 6; ++i) {
    bool rescan = false;
    const ScanPlan plan = book.scan(Answer{}, &rescan);
    EXPECT_FALSE(plan.lost.count(kPortA)) << i;
  }
  EXPECT_EQ(book.nodes.at(kPortA).aliveCount, SCAN_ALIVE_COUNT - 1);
  EXPECT_EQ(book.statusMap.count(kPortA), 1u);
  EXPECT_EQ(log.starting("Scan Mis 3 ").size(), 2u);  // B's alone: 1, then 0
  EXPECT_EQ(book.nodes.count(kPortB), 0u);
  // Listed again: back to the full count; missing while listed: counted.
  book.unlisted.clear();
  book.scan(Answer{{{kPortA, 0}}});
  EXPECT_EQ(book.nodes.at(kPortA).aliveCount, SCAN_ALIVE_COUNT);
  book.scan(Answer{});
  EXPECT_EQ(book.nodes.at(kPortA).aliveCount, SCAN_ALIVE_COUNT - 1);
}

TEST(BridgeScan, NoTargetAtAllCountsDownEveryPort) {
  Book book;
  book.scan(Answer{{{kPortA, 0}, {kPortB, 1}}});
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(book.scan(Answer{}).lost.empty());
  const ScanPlan fourth = book.scan(Answer{});
  EXPECT_EQ(fourth.lost, (std::set<KALMO::IPAddress>{kPortA, kPortB}));
  EXPECT_TRUE(book.nodes.empty());
  EXPECT_TRUE(book.statusMap.empty());
}

// What new targets may cost one scan. Times are picoseconds after the
// scan's start.
KALMO::Clock at(uint64_t ms) { return KALMO::Clock(1'000'000'000'000'000ULL + ms * 1'000'000'000ULL); }

KALMO::IPAddress sender(unsigned host, uint16_t port) {
  KALMO::IPAddress a = endpoint("fe80::3:1", port, kScope);
  a.address[15] = static_cast<uint8_t>(host);
  return a;
}

TEST(ScanGuard, NewTargetsAreTakenWithinTheirSharesAndTheBudget) {
  struct Case {
    const char* what;
    std::vector<std::pair<unsigned, uint16_t>> answers;  // sender host, port, in map order
    uint64_t atMs;                                       // when they are screened
    size_t taken;
    ScanGuard::Cuts cuts;
  };
  std::vector<std::pair<unsigned, uint16_t>> oneHost, manyHosts;
  for (uint16_t p = 1; p <= 100; ++p) oneHost.push_back({1, static_cast<uint16_t>(40000 + p)});
  for (unsigned h = 1; h <= 12; ++h) manyHosts.push_back({h, 19642});
  const Case cases[] = {
      {"a few new ones", {{1, 19642}, {2, 19642}}, 10, 2, {}},
      {"one host answering from 100 ports", oneHost, 10, 4, {0, 96, 0, 0}},
      {"twelve hosts", manyHosts, 10, 8, {0, 0, 4, 0}},
      {"after the budget", {{1, 19642}, {2, 19642}}, 3001, 0, {0, 0, 0, 2}},
  };
  for (const Case& c : cases) {
    ScanGuard guard;
    guard.begin(at(0));
    size_t taken = 0;
    for (const auto& [host, port] : c.answers) taken += guard.admit(sender(host, port), at(c.atMs));
    EXPECT_EQ(taken, c.taken) << c.what;
    EXPECT_EQ(guard.cuts().sender, c.cuts.sender) << c.what;
    EXPECT_EQ(guard.cuts().perScan, c.cuts.perScan) << c.what;
    EXPECT_EQ(guard.cuts().budget, c.cuts.budget) << c.what;
  }
}

TEST(ScanGuard, SilentTargetIsPassedOverForThreeScansAndKnownOnesOutlastTheNewBudget) {
  ScanGuard guard;
  const KALMO::IPAddress silent = sender(1, 40001);
  const KALMO::IPAddress good = sender(2, 19642);
  guard.begin(at(0));
  ASSERT_TRUE(guard.admit(silent, at(1)));
  ASSERT_TRUE(guard.admit(good, at(1)));
  guard.listed(silent, false);
  guard.listed(good, true);
  for (int scan = 1; scan <= 3; ++scan) {
    guard.begin(at(0));
    EXPECT_FALSE(guard.admit(silent, at(1))) << scan;
    EXPECT_EQ(guard.cuts().silent, 1u) << scan;
    // Known: taken and listed past the budget of new ones.
    EXPECT_TRUE(guard.admit(good, at(3500))) << scan;
    EXPECT_TRUE(guard.mayList(good, at(3500))) << scan;
    guard.listed(good, true);
  }
  guard.begin(at(0));
  EXPECT_TRUE(guard.admit(silent, at(1)));
  // A new target the budget left unlisted waits too, so the next scans
  // reach the ones after it.
  EXPECT_FALSE(guard.mayList(silent, at(3001)));
  guard.begin(at(0));
  EXPECT_FALSE(guard.admit(silent, at(1)));
}

// Known targets whose listings are slow: each scan lists what its budget
// holds; the ones left out come first in the next scan (announced and
// listed), are not counted as missing, and every target is listed within a
// bounded number of scans. Times in ms after the scan's start.
TEST(ScanGuard, KnownTargetsLeftOutByTheBudgetComeFirstInTheNextScan) {
  struct Case {
    const char* what;
    unsigned targets;
    uint64_t discoveryMs;  // what discovery took before the first listing
    uint64_t listingMs;    // each listing
    size_t perScan;        // listed in each scan
  };
  const Case cases[] = {
      {"three fit", 7, 100, 1500, 3},
      {"one fits", 5, 100, 3950, 1},
      {"discovery used it all", 4, 4500, 100, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScanGuard guard;
    Find::TargetMap targets;
    for (unsigned h = 1; h <= c.targets; ++h) targets[sender(h, 19642)] = Find::FindTargetSt{};
    guard.begin(at(0));
    for (const auto& entry : targets) guard.listed(entry.first, true);  // all known
    std::map<KALMO::IPAddress, int> lastListed;
    std::set<KALMO::IPAddress> cutBefore;
    const int scans = static_cast<int>((c.targets + c.perScan - 1) / c.perScan) + 1;
    for (int scan = 1; scan <= scans; ++scan) {
      guard.begin(at(0));
      // Discovery announces the ones left out last scan first.
      for (const auto& entry : targets) EXPECT_EQ(guard.waited(entry.first) != 0, cutBefore.count(entry.first) != 0);
      const std::vector<KALMO::IPAddress> order = guard.listOrder(targets);
      ASSERT_EQ(order.size(), targets.size());
      for (size_t i = 0; i < cutBefore.size(); ++i) EXPECT_EQ(cutBefore.count(order[i]), 1u) << scan;
      uint64_t clock = c.discoveryMs;
      size_t listedNow = 0;
      for (const KALMO::IPAddress& t : order) {
        if (!guard.mayList(t, at(clock))) continue;
        clock += c.listingMs;
        guard.listed(t, true);
        lastListed[t] = scan;
        ++listedNow;
      }
      EXPECT_EQ(listedNow, std::min<size_t>(c.perScan, targets.size())) << scan;
      EXPECT_EQ(guard.unlisted().size(), targets.size() - listedNow) << scan;
      EXPECT_EQ(guard.cuts().known, targets.size() - listedNow) << scan;
      EXPECT_EQ(guard.cuts().budget, 0u) << scan;
      cutBefore = guard.unlisted();
      guard.end();
    }
    // Every one listed within the bound, and still known.
    for (const auto& entry : targets) {
      EXPECT_EQ(lastListed.count(entry.first), 1u);
      EXPECT_TRUE(guard.known(entry.first));
    }
  }
  // Discovery's own announcements stop at the budget too.
  ScanGuard guard;
  const KALMO::IPAddress t = sender(1, 19642);
  guard.begin(at(0));
  guard.listed(t, true);
  guard.begin(at(0));
  EXPECT_TRUE(guard.admit(t, at(ScanGuard::LIST_BUDGET / 1'000'000'000ULL)));
  EXPECT_FALSE(guard.admit(t, at(ScanGuard::LIST_BUDGET / 1'000'000'000ULL + 1)));
  EXPECT_EQ(guard.unlisted(), std::set<KALMO::IPAddress>{t});
  guard.begin(at(0));
  EXPECT_EQ(guard.waited(t), 1u);
}

TEST(AttachBackoff, FailingPortWaitsLongerAndLongerUntilItsChainChanges) {
  // Scans waited after each failure in a row.
  const std::pair<int32_t, int32_t> waits[] = {{1, 1}, {2, 2}, {3, 4}, {4, 8}, {5, 8}, {40, 8}};
  for (const auto& [failures, scans] : waits) EXPECT_EQ(AttachBackoff::waitScans(failures), scans) << failures;

  Find::StatusSort chain;
  chain.push_back(Find::StatusSortSt{});
  Find::StatusSort other = chain;
  other.front().index = 9;
  AttachBackoff backoff;
  std::string tried;  // one letter per scan: x tried (and failed), . waited
  for (int scan = 1; scan <= 24; ++scan) {
    backoff.begin();
    if (backoff.due(kPortA, chain)) {
      backoff.failed(kPortA, chain);
      tried += 'x';
    } else {
      tried += '.';
    }
  }
  EXPECT_EQ(tried, "xx.x...x.......x.......x");
  EXPECT_EQ(backoff.failures(kPortA), 6);
  // Another port is not held back by it.
  EXPECT_TRUE(backoff.due(kPortB, chain));
  // A changed chain is tried at once, and starts over from one scan.
  backoff.begin();
  ASSERT_FALSE(backoff.due(kPortA, chain));
  EXPECT_TRUE(backoff.due(kPortA, other));
  EXPECT_EQ(backoff.failures(kPortA), 0);
  backoff.failed(kPortA, other);
  backoff.begin();
  EXPECT_TRUE(backoff.due(kPortA, other));
  // Connected: forgotten.
  backoff.connected(kPortA);
  EXPECT_FALSE(backoff.holds(kPortA));
  // A port dropped from the records (vanished) starts over too.
  backoff.failed(kPortB, chain);
  backoff.failed(kPortB, chain);
  backoff.retain([](const KALMO::IPAddress&) { return false; });
  EXPECT_EQ(backoff.size(), 0u);
  EXPECT_TRUE(backoff.due(kPortB, chain));
}

TEST(AttachBackoff, AttachOrderTakesOnePortOfEveryTargetInTurnFailingOnesLast) {
  const KALMO::IPAddress many = endpoint("fe80::2:1", 19642, kScope);
  const KALMO::IPAddress one = endpoint("fe80::3:1", 19642, kScope);
  std::map<KALMO::IPAddress, ScanCandidate> candidates;
  std::vector<KALMO::IPAddress> manyPorts;
  for (uint16_t p = 1; p <= 5; ++p) {
    const KALMO::IPAddress a = endpoint("fe80::2:1", static_cast<uint16_t>(40000 + p), kScope);
    candidates[a].record.targetAddress = many;
    manyPorts.push_back(a);
  }
  const KALMO::IPAddress single = endpoint("fe80::3:1", 40001, kScope);
  candidates[single].record.targetAddress = one;
  AttachBackoff backoff;
  EXPECT_EQ(attachOrder(candidates, backoff),
            (std::vector<KALMO::IPAddress>{manyPorts[0], single, manyPorts[1], manyPorts[2], manyPorts[3],
                                           manyPorts[4]}));
  // The ports that failed before go after those that did not.
  backoff.begin();
  backoff.failed(manyPorts[0], Find::StatusSort{});
  backoff.failed(single, Find::StatusSort{});
  EXPECT_EQ(attachOrder(candidates, backoff),
            (std::vector<KALMO::IPAddress>{manyPorts[1], manyPorts[2], manyPorts[3], manyPorts[4], manyPorts[0],
                                           single}));
}

TEST(ScanGuard, RecordsStayBoundedWhateverTheNumberOfSenders) {
  ScanGuard guard;
  for (int scan = 0; scan < 40; ++scan) {
    guard.begin(at(0));
    for (unsigned host = 0; host < 256; ++host) {
      for (uint16_t port = 1; port <= 8; ++port) {
        const KALMO::IPAddress t = sender(host, static_cast<uint16_t>(scan * 8 + port));
        // Every one is listed, half of them answering.
        if (guard.mayList(t, at(1))) guard.listed(t, (host + port) % 2 == 0);
      }
    }
  }
  EXPECT_LE(guard.knownCount(), ScanGuard::MAX_KNOWN);
  EXPECT_LE(guard.silentCount(), ScanGuard::MAX_SILENT);
}

// The daemon's bridge in this process: the stand-in driver on a private
// directory, discovery on the host side of one link, and the target
// program's engine with one target of one port on the other side. Scans are
// called directly, so a countdown takes no 20 s per step.
class BridgeLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELLORA_REQUIRE_PRIVATE_NET();
    VELLORA_SETUP_LINKS(net, 1);
    char pattern[] = "/tmp/vellora-bridge-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    driver = std::make_unique<vsim::SimDriver>(dir);

    vsim::ProgramOptions o;
    o.device = net.link(0).targetName;
    o.targets = programTargets();
    {
      vellora_test::NsScope in(net.targetNs());
      ASSERT_TRUE(in.ok());
      targets = std::make_unique<vsim::TargetProgram>(o);
      std::string error;
      ASSERT_TRUE(targets->start(error)) << error;
    }

    VELLORA::Find::Setting s;
    s.productID = 0;
    s.nameValue = ~uint64_t{0};
    s.name = "bridge test";
    bridge = std::make_unique<VelloraCardBridge>(*driver, s);
    bridge->bridgeName = s.name;
    bridge->controlFd = driver->openControl();
    ASSERT_GE(bridge->controlFd, 0);
    ASSERT_TRUE(bridge->discovery.open(std::list<std::string>{net.link(0).hostName}));
  }

  void TearDown() override {
    bridge.reset();
    targets.reset();
    driver.reset();
    if (!dir.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  }

  // The targets on the far side of the link.
  virtual std::vector<vsim::ProgramTarget> programTargets() {
    vsim::ProgramTarget t;
    t.name = "amp";
    t.ports = {"out"};
    return {t};
  }

  bool scan() {
    bool rescan = false;
    return bridge->scan(rescan);
  }

  int requests(vsim::Req kind, int card) const {
    int n = 0;
    for (const vsim::RequestRecord& r : driver->requests()) n += r.kind == kind && r.card == card;
    return n;
  }

  host_test::LogCapture log;
  vellora_test::LinkHarness net;
  std::string dir;
  std::unique_ptr<vsim::SimDriver> driver;
  std::unique_ptr<vsim::TargetProgram> targets;
  std::unique_ptr<VelloraCardBridge> bridge;
};

TEST_F(BridgeLinkTest, CardNumberBeyondTheDriversRangeIsNotUsed) {
  // 300 names no card device; as a request number it would be card 44's.
  driver->failRequest(vsim::Req::Create, 300, 1);
  ASSERT_TRUE(scan());
  EXPECT_EQ(log.count("Add Bridge  Err"), 1u);
  EXPECT_EQ(log.count("add node:"), 0u);
  EXPECT_TRUE(bridge->aliveNodes.empty());
  EXPECT_EQ(driver->count(vsim::Req::Remove), 0);
  EXPECT_EQ(driver->count(vsim::Req::Attach), 0);
  EXPECT_EQ(driver->openDescriptors(), 1);  // the control device only
  EXPECT_EQ(driver->liveMappings(), 0);
  // The port keeps its chain, so it is not tried again while it stays so.
  ASSERT_TRUE(scan());
  EXPECT_EQ(driver->count(vsim::Req::Create), 1);
}

// A target that misses its control connect once (the machine or the link
// was busy) gets its card from the next scan; a port whose card the driver
// refused keeps the old rule and is not tried again while it stays so.
TEST_F(BridgeLinkTest, APortWhoseTargetMissedTheConnectIsTriedAgainNextScan) {
  std::string reply;
  ASSERT_TRUE(targets->command("refuse amp:out " + std::to_string(VELLORA::Control::ACK_TRIES), reply)) << reply;
  ASSERT_TRUE(scan());
  EXPECT_EQ(log.count("control connect error"), 1u);
  EXPECT_EQ(log.count("setSink Err"), 1u);
  EXPECT_TRUE(bridge->aliveNodes.empty());
  EXPECT_EQ(driver->count(vsim::Req::Create), 0);
  ASSERT_TRUE(scan());
  ASSERT_EQ(bridge->aliveNodes.size(), 1u);
  EXPECT_EQ(driver->count(vsim::Req::Create), 1);
  EXPECT_EQ(log.count("add node:"), 1u);
  // Kept from then on like any other port.
  ASSERT_TRUE(scan());
  EXPECT_EQ(driver->count(vsim::Req::Create), 1);
  EXPECT_EQ(bridge->aliveNodes.size(), 1u);
}

class BridgeTwoTargetTest : public BridgeLinkTest {
 protected:
  // A second target on an address of its own.
  std::vector<vsim::ProgramTarget> programTargets() override {
    std::vector<vsim::ProgramTarget> t = BridgeLinkTest::programTargets();
    std::string error;
    if (!net.addTargetAddress(0, vellora_test::linkLocal(3, 1), &error)) ADD_FAILURE() << error;
    // Both named: the device's first address could be either of them now.
    t.front().address = "fe80::2:1";
    t.push_back(t.front());
    t.back().name = "dac";
    t.back().address = "fe80::3:1";
    return t;
  }
};

TEST_F(BridgeTwoTargetTest, CardNumberAnotherNodeHoldsIsNotUsed) {
  std::string reply;
  ASSERT_TRUE(targets->command("vanish dac", reply)) << reply;
  ASSERT_TRUE(scan());
  ASSERT_EQ(bridge->aliveNodes.size(), 1u);
  VelloraCardBridge::AliveNodeSt* amp = bridge->aliveNodes.begin()->second;
  ASSERT_EQ(amp->getMemNo(), 0);
  ASSERT_STREQ(amp->controlBlock->targetName, "amp");

  // The driver answers the next card with the number amp's node holds.
  driver->failRequest(vsim::Req::Create, 0, 1);
  {
    vellora_test::NsScope in(net.targetNs());  // its sockets live there
    ASSERT_TRUE(in.ok());
    ASSERT_TRUE(targets->command("appear dac", reply)) << reply;
  }
  ASSERT_TRUE(scan());
  EXPECT_EQ(log.count("TargetName : dac:out"), 1u);
  EXPECT_EQ(log.count("Add Bridge  Err"), 1u);
  ASSERT_EQ(bridge->aliveNodes.size(), 1u);
  EXPECT_EQ(bridge->aliveNodes.begin()->second, amp);
  // amp's card is left as its node filled it: nobody cleared or renamed it,
  // and it was neither attached again nor removed.
  EXPECT_STREQ(amp->controlBlock->targetName, "amp");
  EXPECT_EQ(cardLoad(amp->controlBlock->hostStatus), HOST_STATUS_READY);
  EXPECT_EQ(requests(vsim::Req::Attach, 0), 1);
  EXPECT_EQ(driver->count(vsim::Req::Remove), 0);
  EXPECT_EQ(driver->liveMappings(), 1);
}

TEST_F(BridgeTwoTargetTest, CardNumberAReleaseStillHoldsIsNotUsedUntilRemoved) {
  std::string reply;
  ASSERT_TRUE(targets->command("vanish dac", reply)) << reply;
  ASSERT_TRUE(scan());
  ASSERT_EQ(bridge->aliveNodes.size(), 1u);
  ASSERT_EQ(bridge->aliveNodes.begin()->second->getMemNo(), 0);

  // amp's release outlives its scan: the removal of card 0 hangs.
  ASSERT_TRUE(targets->command("vanish amp", reply)) << reply;
  driver->holdRequest(vsim::Req::Remove);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(scan());
  ASSERT_EQ(log.count("delete node: timeout"), 1u);
  ASSERT_TRUE(bridge->aliveNodes.empty());
  ASSERT_TRUE(driver->waitHeld(vsim::Req::Remove, 1, 1000));

  // The driver hands out 0 again for dac's new port: that card is still
  // the release's, and its pending remove would take it from dac's node.
  driver->failRequest(vsim::Req::Create, 0, 1);
  {
    vellora_test::NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    ASSERT_TRUE(targets->command("appear dac", reply)) << reply;
  }
  ASSERT_TRUE(scan());
  EXPECT_EQ(log.count("TargetName : dac:out"), 1u);
  EXPECT_EQ(log.count("Add Bridge  Err"), 1u);
  EXPECT_TRUE(bridge->aliveNodes.empty());
  EXPECT_EQ(requests(vsim::Req::Attach, 0), 1);

  driver->releaseRequest(vsim::Req::Remove);
  for (int i = 0; i < 200 && log.count("delete node:0") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(log.count("delete node:0"), 1u);
  EXPECT_EQ(requests(vsim::Req::Remove, 0), 1);

  // Once removed, the number is free again: dac, forgotten while away and
  // back, gets card 0.
  ASSERT_TRUE(targets->command("vanish dac", reply)) << reply;
  ASSERT_TRUE(scan());
  {
    vellora_test::NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    ASSERT_TRUE(targets->command("appear dac", reply)) << reply;
  }
  ASSERT_TRUE(scan());
  ASSERT_EQ(bridge->aliveNodes.size(), 1u);
  EXPECT_EQ(bridge->aliveNodes.begin()->second->getMemNo(), 0);
  EXPECT_STREQ(bridge->aliveNodes.begin()->second->controlBlock->targetName, "dac");
  EXPECT_EQ(driver->liveMappings(), 1);
}

TEST_F(BridgeLinkTest, ShutdownWaitsForAReleaseThatOutlivedItsScan) {
  // Card 0 belongs to someone else, so the node's card (1) differs from the
  // last request (which reads as a removal of card 0).
  ASSERT_EQ(driver->create(bridge->controlFd, 4096), 0);
  ASSERT_TRUE(scan());
  ASSERT_EQ(bridge->aliveNodes.size(), 1u);
  ASSERT_EQ(bridge->aliveNodes.begin()->second->getMemNo(), 1);

  std::string reply;
  ASSERT_TRUE(targets->command("vanish amp", reply)) << reply;
  driver->holdRequest(vsim::Req::Remove);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(scan());
  EXPECT_EQ(log.count("Scan Mis 3 "), 3u);
  // The fourth scan gives the node up; its release hangs on the removal.
  ASSERT_TRUE(scan());
  EXPECT_EQ(log.count("lost node:1 "), 1u);
  EXPECT_EQ(log.count("delete node: timeout"), 1u);
  EXPECT_TRUE(bridge->aliveNodes.empty());
  ASSERT_TRUE(driver->waitHeld(vsim::Req::Remove, 1, 1000));

  std::thread stopper([this] { EXPECT_TRUE(bridge->shutdown()); });
  // Shutdown waits for the release before its own last request.
  EXPECT_FALSE(driver->waitHeld(vsim::Req::Remove, 2, 1000));
  driver->releaseRequest(vsim::Req::Remove);
  stopper.join();
  EXPECT_EQ(log.count("delete node:1"), 1u);
  EXPECT_EQ(bridge->controlFd, -1);

  const std::vector<vsim::RequestRecord> r = driver->requests();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.back().kind, vsim::Req::Remove);
  EXPECT_EQ(r.back().card, 0);  // the last request
  EXPECT_EQ(requests(vsim::Req::Remove, 1), 1);
  EXPECT_EQ(driver->openDescriptors(), 0);
  EXPECT_EQ(driver->liveMappings(), 0);
}

class BridgeFloodTest : public BridgeLinkTest {
 protected:
  static constexpr unsigned kFlood = 100;

  void SetUp() override {
    BridgeLinkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string error;
    ASSERT_TRUE(net.addTargetAddress(0, vellora_test::linkLocal(3, 1), &error)) << error;
    vsim::HostileOptions o;
    o.device = net.link(0).targetName;
    o.address = "fe80::3:1";
    o.floodPorts = kFlood;
    vellora_test::NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    hostile = std::make_unique<vsim::HostileNode>(o);
    ASSERT_TRUE(hostile->start(error)) << error;
  }

  void TearDown() override {
    if (hostile) {
      vellora_test::NsScope in(net.targetNs());
      hostile->stop();
    }
    BridgeLinkTest::TearDown();
  }

  std::unique_ptr<vsim::HostileNode> hostile;
};

TEST_F(BridgeFloodTest, ScansUnderASilentFloodAreBoundedAndCardWorkGoesOn) {
  using Steady = std::chrono::steady_clock;
  ASSERT_TRUE(scan());
  ASSERT_EQ(bridge->aliveNodes.size(), 1u);
  EXPECT_EQ(log.count("Scan Cut sender : " + std::to_string(kFlood - ScanGuard::NEW_PER_ADDRESS)), 1u);
  // A scan's bound: the well-behaved target plus the new targets' share.
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(bridge->workPass());  // as the main loop does between scans
    const auto begin = Steady::now();
    ASSERT_TRUE(scan());
    EXPECT_LT(Steady::now() - begin, std::chrono::seconds(6)) << "scan " << i;
    EXPECT_LT(bridge->workStats().lastScan, 6'000'000'000'000ULL);
  }
  EXPECT_GE(hostile->requests(), 15u);
  // The card's work ran all along: about every 10 ms, 250 ms at most on a
  // quiet machine, 1 s here to leave room for a loaded one (without it the
  // work waited for the whole scan).
  EXPECT_LT(bridge->workStats().widestScanGap, 1'000'000'000'000ULL);
  EXPECT_GT(bridge->workStats().passes, 50u);
  // Silent answerers wait their turn, and the amp's port is never counted down.
  EXPECT_GE(log.count("Scan Cut silent : "), 1u);
  EXPECT_EQ(log.count("Scan Mis "), 0u);
  EXPECT_EQ(bridge->aliveNodes.size(), 1u);
}

// The well-behaved amp beside a second target on the same link that
// misbehaves as the test scripts it: its ports are listed by discovery,
// and what they do with the queries after that is up to each test.
class BridgeBadNeighbourTest : public BridgeLinkTest {
 protected:
  void TearDown() override {
    bad.reset();
    engine.reset();
    BridgeLinkTest::TearDown();
  }

  // Starts the neighbour at fe80::3:1 with `ports` output ports, each with
  // its own status item (so each has a control endpoint of its own).
  void startNeighbour(uint16_t ports, const vsim::Reply& syncReply) {
    std::string error;
    ASSERT_TRUE(net.addTargetAddress(0, vellora_test::linkLocal(3, 1), &error)) << error;
    vellora_test::NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    engine = std::make_unique<vsim::TargetSim>();
    bad = std::make_unique<vsim::DiscoverySim>(*engine);
    vsim::TargetSpec wanted;
    wanted.address = vsim::ipv6("fe80::3:1", Find::DISCOVERY_PORT);
    wanted.device = net.link(0).targetName;
    wanted.name = "bad";
    for (uint16_t i = 1; i <= ports; ++i) {
      vsim::PortSpec port;
      port.index = i;
      port.name = "p" + std::to_string(i);
      port.syncReply = syncReply;
      wanted.ports.push_back(port);
      vsim::StatusItemSpec item;
      item.index = i;
      item.kind = 1;
      item.name = "item" + std::to_string(i);
      item.link = vsim::ipv6("::1", i);
      wanted.items.push_back(item);
    }
    badId = bad->addTarget(wanted);
    ASSERT_GE(badId, 0);
  }

  // Every control endpoint of the neighbour drops what it gets.
  void silenceControl(uint16_t ports) {
    vsim::Script silent;
    silent.action = vsim::Script::Action::SILENT;
    for (uint16_t i = 1; i <= ports; ++i) engine->script(bad->itemEndpoint(badId, i), vsim::ANY_CODE, silent);
  }

  std::unique_ptr<vsim::TargetSim> engine;
  std::unique_ptr<vsim::DiscoverySim> bad;
  vsim::DiscoverySim::TargetId badId = -1;
};

// A target whose port endpoint never answers SYNCHRO_NODE_REQ fails its own
// listing, and only its own: the amp beside it gets its card, and a node
// whose work failed is still released.
TEST_F(BridgeBadNeighbourTest, SilentPortEndpointIsItsTargetsMissOnly) {
  startNeighbour(1, vsim::Reply::silent());
  ASSERT_FALSE(HasFatalFailure());
  const std::string badAt = scanAddressText(bad->address(badId));
  ASSERT_TRUE(scan());
  EXPECT_EQ(log.count("Scan Mis 1 " + badAt), 1u);
  ASSERT_EQ(bridge->aliveNodes.size(), 1u) << "the amp got no card";
  EXPECT_STREQ(bridge->aliveNodes.begin()->second->controlBlock->targetName, "amp");
  EXPECT_EQ(driver->count(vsim::Req::Create), 1);

  // The amp's node fails its work while the neighbour keeps failing: the
  // next scan releases it, and the one after attaches the port again.
  const KALMO::IPAddress ampPort = bridge->aliveNodes.begin()->first;
  bridge->failedNodes.insert(ampPort);
  ASSERT_TRUE(scan());
  EXPECT_EQ(log.count("lost node:"), 1u);
  EXPECT_TRUE(bridge->failedNodes.empty());
  ASSERT_TRUE(scan());
  ASSERT_EQ(bridge->aliveNodes.count(ampPort), 1u);
  EXPECT_EQ(log.count("Scan Mis 1 " + badAt), 3u);  // once per scan
  EXPECT_EQ(log.count("Scan Mis 1"), 3u);
}

// Ports whose control endpoints never answer: the amp's card work goes on
// between their attaches, and they are not tried again at every scan.
TEST_F(BridgeBadNeighbourTest, SilentControlEndpointsNeitherHoldCardWorkNorRetryEveryScan) {
  constexpr uint16_t kSilent = 16;
  startNeighbour(kSilent, vsim::Reply{});
  ASSERT_FALSE(HasFatalFailure());
  silenceControl(kSilent);
  ASSERT_TRUE(scan());
  ASSERT_EQ(bridge->aliveNodes.size(), 1u);
  EXPECT_STREQ(bridge->aliveNodes.begin()->second->controlBlock->targetName, "amp");
  EXPECT_EQ(log.count("setSink Err"), kSilent);
  // The silent ports are tried again in the next scan, while the amp's card
  // has work to do; the gap shows at the pass after it, as the main loop's.
  ASSERT_TRUE(bridge->workPass());
  ASSERT_TRUE(scan());
  ASSERT_TRUE(bridge->workPass());
  EXPECT_EQ(log.count("setSink Err"), 2u * kSilent);
  // 40-60 ms per silent port, and without card work in between they add up
  // (about 1 s for these); with it, a pass after every attach.
  EXPECT_LT(bridge->workStats().widestScanGap, 250'000'000'000ULL)
      << "widest gap " << bridge->workStats().widestScanGap / 1'000'000'000ULL << " ms";
  // Then after 2 and 4 more scans, not at every scan.
  std::vector<size_t> tries;
  for (int i = 0; i < 6; ++i) {
    const size_t before = log.count("setSink Err");
    ASSERT_TRUE(scan());
    ASSERT_TRUE(bridge->workPass());
    tries.push_back((log.count("setSink Err") - before) / kSilent);
  }
  EXPECT_EQ(tries, (std::vector<size_t>{0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(bridge->aliveNodes.size(), 1u);
}

// A port whose control endpoint answers every query, each just in time
// for the host's second try: its one attach takes most of a second, and
// the amp's card keeps its work meanwhile.
TEST_F(BridgeBadNeighbourTest, SlowControlEndpointDoesNotHoldCardWorkForItsWholeAttach) {
  startNeighbour(1, vsim::Reply{});
  ASSERT_FALSE(HasFatalFailure());
  vsim::Script slow;
  slow.answer.option = 40;  // 40 items, and no value answer names its item
  slow.delay = std::chrono::milliseconds(15);
  engine->script(bad->itemEndpoint(badId, 1), vsim::ANY_CODE, slow);
  ASSERT_TRUE(scan());
  ASSERT_EQ(bridge->aliveNodes.size(), 1u);
  EXPECT_EQ(log.count("setSink Err"), 1u);
  EXPECT_GE(engine->count(bad->itemEndpoint(badId, 1), VELLORA::CONTROLITEM_REQ), 41u);
  // Tried again in the next scan, while the amp's card has work to do.
  ASSERT_TRUE(bridge->workPass());
  ASSERT_TRUE(scan());
  ASSERT_TRUE(bridge->workPass());
  EXPECT_EQ(log.count("setSink Err"), 2u);
  EXPECT_LT(bridge->workStats().widestScanGap, 250'000'000'000ULL)
      << "widest gap " << bridge->workStats().widestScanGap / 1'000'000'000ULL << " ms";
}

// Targets that answered once and are silent since stay known for a while;
// each costs every scan the time-outs of its announcement and listing. The
// scan lists what its budget holds, the amp's card is never counted down for
// it, and the ones left out come next.
TEST_F(BridgeLinkTest, KnownButSilentTargetsDoNotStretchTheScan) {
  constexpr unsigned kSilent = 14;
  std::string error;
  for (unsigned i = 1; i <= kSilent; ++i) {
    ASSERT_TRUE(net.addTargetAddress(0, vellora_test::linkLocal(4, static_cast<unsigned short>(i)), &error)) << error;
  }
  vsim::TargetSim engine;
  std::vector<vsim::DiscoverySim::TargetId> ids;
  std::unique_ptr<vsim::DiscoverySim> quiet;
  {
    vellora_test::NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    quiet = std::make_unique<vsim::DiscoverySim>(engine);
    for (unsigned i = 1; i <= kSilent; ++i) {
      vsim::TargetSpec wanted;
      char text[16];
      std::snprintf(text, sizeof text, "fe80::4:%x", i);
      wanted.address = vsim::ipv6(text, Find::DISCOVERY_PORT);
      wanted.device = net.link(0).targetName;
      wanted.name = "quiet" + std::to_string(i);
      ids.push_back(quiet->addTarget(wanted));
      ASSERT_GE(ids.back(), 0);
    }
  }
  // Answering, they become known (new ones are taken a few per scan).
  for (int i = 0; i < 4 && bridge->scanGuard().knownCount() < kSilent + 1; ++i) ASSERT_TRUE(scan());
  ASSERT_EQ(bridge->scanGuard().knownCount(), kSilent + 1);
  ASSERT_EQ(bridge->aliveNodes.size(), 1u);
  // From now on they answer discovery's multicast only.
  vsim::Script silent;
  silent.action = vsim::Script::Action::SILENT;
  for (auto id : ids) engine.script(quiet->endpoint(id), vsim::ANY_CODE, silent);
  engine.clearLog();

  using Steady = std::chrono::steady_clock;
  auto timedScan = [this] {
    const auto begin = Steady::now();
    EXPECT_TRUE(scan());
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - begin).count();
  };
  // About 0.6 s each without a bound (8.5 s for these); the budget and one
  // listing with it, with room for a loaded machine.
  const long long first = timedScan();
  EXPECT_LT(first, 6500) << "first scan";
  std::set<vsim::DiscoverySim::TargetId> unlisted;
  for (auto id : ids) {
    if (engine.count(quiet->endpoint(id), VELLORA::PORT_REQ) == 0) unlisted.insert(id);
  }
  EXPECT_FALSE(unlisted.empty());
  EXPECT_EQ(log.count("Scan Cut known : " + std::to_string(unlisted.size())), 1u);
  engine.clearLog();
  const long long second = timedScan();
  EXPECT_LT(second, 6500) << "second scan";
  // The ones left out went first.
  std::set<vsim::DiscoverySim::TargetId> listed;
  for (auto id : ids) {
    if (engine.count(quiet->endpoint(id), VELLORA::PORT_REQ) != 0) listed.insert(id);
  }
  ASSERT_FALSE(listed.empty());
  if (listed.size() <= unlisted.size()) {
    EXPECT_TRUE(std::includes(unlisted.begin(), unlisted.end(), listed.begin(), listed.end()));
  }
  // The amp's card was never counted down, listed or not.
  EXPECT_EQ(log.count("Scan Mis 3 "), 0u);
  EXPECT_EQ(bridge->aliveNodes.size(), 1u);
  quiet.reset();
}

}  // namespace
