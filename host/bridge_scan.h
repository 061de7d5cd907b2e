#pragma once
// The bookkeeping of one target scan, apart from the nodes it decides about:
// which attached ports are counted down, which are given up and which are
// attached. The unit of a scan is the output port.

#include <cstdint>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/ip_address.h"
#include "discovery/find.h"

// How many scans a port may miss (or show a changed chain) while idle.
constexpr int32_t SCAN_ALIVE_COUNT = 3;

// What a scan knows of an attached port when it decides.
struct ScanNodeState {
  bool busy = false;        // its stream is connecting, connected or disconnecting
  int32_t aliveCount = -1;  // scans left before it is given up
};

// A port the scan attaches, with the record and chain it was found with.
struct ScanCandidate {
  VELLORA::Find::TargetConnectInfo record;
  VELLORA::Find::StatusSort chain;
};

struct ScanPlan {
  std::set<KALMO::IPAddress> lost;  // nodes to release
  std::map<KALMO::IPAddress, ScanCandidate> candidates;
};

// The decisions of one scan once discovery has answered: ports that
// vanished, ports found (new, unchanged, changed), failed nodes. Ports in
// `unlisted` (their target was not listed in this scan) are left as they
// are: neither counted down nor given up. Updates
// statusMap, the nodes' counts and failedNodes (emptied) and fills the
// plan; sets rescan when a port was counted down. No node is touched, so
// the bookkeeping can be checked on its own.
void planScan(std::map<KALMO::IPAddress, VELLORA::Find::StatusSort>& statusMap,
              std::map<KALMO::IPAddress, ScanNodeState>& nodes, const VELLORA::Find::PortMap& ports,
              const VELLORA::Find::StatusMap& items, const std::set<KALMO::IPAddress>& unlisted,
              std::set<KALMO::IPAddress>& failedNodes, ScanPlan& plan, bool& rescan);

// What the targets may cost one scan. Any node on the link can answer
// discovery from as many endpoints as it likes, and each one that then
// stays silent costs every later query's full wait; the scan runs on the
// thread of the card work and holds every countdown, release and attach
// until it ends. So:
//  - new targets (not seen answering their listing lately): at most
//    NEW_PER_ADDRESS per sender address and NEW_PER_SCAN in all are taken
//    in one scan, and none is taken or listed once the scan has run for
//    NEW_BUDGET; one that answered discovery but nothing of its listing is
//    passed over for the next SILENT_SCANS scans (as is one the budget left
//    out, so that the next scans reach the others);
//  - known targets (answered lately) are taken and listed until the scan
//    has run for LIST_BUDGET. One the budget leaves out is not listed in
//    this scan, so its ports are not counted as missing (its nodes keep
//    playing), and it comes first in the next scans, before those that
//    waited less: at least one target is listed in every scan, so every
//    known target is listed within as many scans as there are known
//    targets.
// Each kind of cut is logged once per scan with its count. Every record is
// bounded, whatever the number of senders seen.
class ScanGuard {
 public:
  static constexpr int NEW_PER_ADDRESS = 4;
  static constexpr int NEW_PER_SCAN = 8;
  static constexpr uint64_t NEW_BUDGET = 3'000'000'000'000ULL;  // 3 s
  // Time after which no further target is announced or listed. A listing
  // under way when it runs out ends by Find::listLimit (ports and items 5 s
  // each), so with ATTACH_BUDGET a scan stays under the 20 s between scans
  // even when every target answers as slowly as it may: about 4 s, one
  // listing of up to 11 s, the attaches' 2 s and one attach (at most
  // ATTACH_CONNECT_LIMIT and a stream handshake of a quarter second), plus
  // the releases. Targets that are merely silent cost far less (one listing
  // about 0.6 s).
  static constexpr uint64_t LIST_BUDGET = 4'000'000'000'000ULL;  // 4 s
  // Time for the attaches of one scan (one silent port costs about 40 ms of
  // control connect or stream handshake; card work runs between them). The
  // rest wait for the next scan.
  static constexpr uint64_t ATTACH_BUDGET = 2'000'000'000'000ULL;  // 2 s
  // Time one port's control connect may take. A chain of a few devices
  // takes milliseconds, about 30 of its exchanges at their slowest; one that
  // reports thousands of items and answers each late would hold the scan
  // for minutes.
  static constexpr uint64_t ATTACH_CONNECT_LIMIT = 1'000'000'000'000ULL;  // 1 s
  static constexpr int32_t SILENT_SCANS = 3;
  // Scans a known target stays known without answering.
  static constexpr int32_t KNOWN_SCANS = 8;
  static constexpr size_t MAX_KNOWN = 256;
  static constexpr size_t MAX_SILENT = 1024;

  struct Cuts {
    unsigned silent = 0;   // passed over, silent lately
    unsigned sender = 0;   // over the sender address's share
    unsigned perScan = 0;  // over the scan's share
    unsigned budget = 0;   // new targets past the scan's time for them
    unsigned known = 0;    // known targets past the scan's time
  };

  // A new scan that began at `start`: ages the records.
  void begin(const KALMO::Clock& start);
  // Discovery answered from `target`: may its name be announced and the
  // target be kept?
  bool admit(const KALMO::IPAddress& target, const KALMO::Clock& now);
  // May the target be listed now? False (counted) past the budget.
  bool mayList(const KALMO::IPAddress& target, const KALMO::Clock& now);
  // The target's listing ended; `answered` when any of its queries got an
  // answer.
  void listed(const KALMO::IPAddress& target, bool answered);
  bool known(const KALMO::IPAddress& target) const { return known_.count(target) != 0; }
  // Scans in a row up to the last one in which the budget left the target
  // out (0: listed, or not cut, last scan). The longer it waited, the
  // earlier it is announced and listed now.
  unsigned waited(const KALMO::IPAddress& target) const;
  // The order in which the targets are listed: by waited(), longest first,
  // then in key order.
  std::vector<KALMO::IPAddress> listOrder(const VELLORA::Find::TargetMap& targets) const;
  // The targets the budget left out in this scan (not listed, not missing).
  const std::set<KALMO::IPAddress>& unlisted() const { return cut_; }
  // Logs the cuts of this scan, one line per kind that cut anything.
  void end();

  const Cuts& cuts() const { return cuts_; }
  size_t knownCount() const { return known_.size(); }
  size_t silentCount() const { return silent_.size(); }

 private:
  void skipLater(const KALMO::IPAddress& target);
  void cut(const KALMO::IPAddress& target);
  // True while the scan has run no longer than the budget (ps).
  bool within(const KALMO::Clock& now, uint64_t budget) const;

  KALMO::Clock start_;
  Cuts cuts_;
  int newThisScan_ = 0;
  int listedThisScan_ = 0;
  std::map<KALMO::IPAddress, int> newPerAddress_;  // key: address and scope, port 0
  std::map<KALMO::IPAddress, int32_t> known_;      // scans left without an answer
  std::map<KALMO::IPAddress, int32_t> silent_;     // scans still passed over
  std::set<KALMO::IPAddress> cut_;                 // left out by the budget in this scan
  std::map<KALMO::IPAddress, unsigned> waits_;     // ... with their waited() of the next scan
  std::map<KALMO::IPAddress, unsigned> waited_;    // waited() in this scan
};

// When a port whose target missed its control connect or stream handshake
// is tried again: after 1, 2, 4, then every MAX_WAIT_SCANS scans while it
// keeps failing with the same chain. A changed chain starts over; so does a
// port that vanished and came back (its record is dropped by retain).
class AttachBackoff {
 public:
  static constexpr int32_t MAX_WAIT_SCANS = 8;
  // A port without a record is simply tried at every scan.
  static constexpr size_t MAX_RECORDS = 4096;

  // Scans to wait after the n-th failure in a row (n >= 1).
  static int32_t waitScans(int32_t failures);

  // A new scan.
  void begin() { ++scan_; }
  // May the port be attached in this scan? Drops the record of a port whose
  // chain changed.
  bool due(const KALMO::IPAddress& port, const VELLORA::Find::StatusSort& chain);
  void failed(const KALMO::IPAddress& port, const VELLORA::Find::StatusSort& chain);
  void connected(const KALMO::IPAddress& port) { records_.erase(port); }
  // Failures in a row so far (0 without a record).
  int32_t failures(const KALMO::IPAddress& port) const;
  bool holds(const KALMO::IPAddress& port) const { return records_.count(port) != 0; }
  // Keeps the records of the ports for which `keep` is true.
  template <typename Keep>
  void retain(Keep keep) {
    for (auto it = records_.begin(); it != records_.end();) it = keep(it->first) ? std::next(it) : records_.erase(it);
  }
  size_t size() const { return records_.size(); }

 private:
  struct Record {
    int32_t failures = 0;
    uint64_t nextScan = 0;
    VELLORA::Find::StatusSort chain;
  };
  uint64_t scan_ = 0;
  std::map<KALMO::IPAddress, Record> records_;
};

// The order of a scan's attaches: ports that failed fewer times first, and
// among those, one port of every target in turn (key order within a target
// and between targets), so neither a target with many ports nor one whose
// ports keep failing holds back the first card of another.
std::vector<KALMO::IPAddress> attachOrder(const std::map<KALMO::IPAddress, ScanCandidate>& candidates,
                                          const AttachBackoff& backoff);

// An endpoint as the scan's log lines print it (address and port).
std::string scanAddressText(const KALMO::IPAddress& address);
