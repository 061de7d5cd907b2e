#pragma once
// The bookkeeping of one target scan, apart from the nodes it decides about:
// which attached ports are counted down, which are given up and which are
// attached. The unit of a scan is the output port.

#include <cstdint>
#include <map>
#include <set>
#include <string>

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
// vanished, ports found (new, unchanged, changed), failed nodes. Updates
// statusMap, the nodes' counts and failedNodes (emptied) and fills the
// plan; sets rescan when a port was counted down. No node is touched, so
// the bookkeeping can be checked on its own.
void planScan(std::map<KALMO::IPAddress, VELLORA::Find::StatusSort>& statusMap,
              std::map<KALMO::IPAddress, ScanNodeState>& nodes, const VELLORA::Find::PortMap& ports,
              const VELLORA::Find::StatusMap& items, std::set<KALMO::IPAddress>& failedNodes,
              ScanPlan& plan, bool& rescan);

// What the targets a scan has not seen answer before may cost it. Any node
// on the link can answer discovery from as many endpoints as it likes, and
// each one that then stays silent costs every later query's full wait; the
// scan runs on the thread of the card work. Targets that answered their
// listing lately ("known") are never cut, so the cards of well-behaved
// targets keep their countdowns as before. For new targets:
//  - at most NEW_PER_ADDRESS per sender address and NEW_PER_SCAN in all are
//    taken in one scan;
//  - none is taken or listed once the scan has run for NEW_BUDGET;
//  - one that answered discovery but nothing of its listing is passed over
//    for the next SILENT_SCANS scans (as is one the budget left out, so that
//    the next scans reach the others).
// Each kind of cut is logged once per scan with its count. Every record is
// bounded, whatever the number of senders seen.
class ScanGuard {
 public:
  static constexpr int NEW_PER_ADDRESS = 4;
  static constexpr int NEW_PER_SCAN = 8;
  static constexpr uint64_t NEW_BUDGET = 3'000'000'000'000ULL;  // 3 s
  static constexpr int32_t SILENT_SCANS = 3;
  // Scans a known target stays known without answering.
  static constexpr int32_t KNOWN_SCANS = 8;
  static constexpr size_t MAX_KNOWN = 256;
  static constexpr size_t MAX_SILENT = 1024;

  struct Cuts {
    unsigned silent = 0;   // passed over, silent lately
    unsigned sender = 0;   // over the sender address's share
    unsigned perScan = 0;  // over the scan's share
    unsigned budget = 0;   // past the scan's time for new targets
  };

  // A new scan that began at `start`: ages the records.
  void begin(const KALMO::Clock& start);
  // Discovery answered from `target`: may its name be announced and the
  // target be kept?
  bool admit(const KALMO::IPAddress& target, const KALMO::Clock& now);
  // May the target be listed now? False (counted) for a new target past
  // the budget.
  bool mayList(const KALMO::IPAddress& target, const KALMO::Clock& now);
  // The target's listing ended; `answered` when any of its queries got an
  // answer.
  void listed(const KALMO::IPAddress& target, bool answered);
  bool known(const KALMO::IPAddress& target) const { return known_.count(target) != 0; }
  // Logs the cuts of this scan, one line per kind that cut anything.
  void end();

  const Cuts& cuts() const { return cuts_; }
  size_t knownCount() const { return known_.size(); }
  size_t silentCount() const { return silent_.size(); }

 private:
  void skipLater(const KALMO::IPAddress& target);

  KALMO::Clock start_;
  Cuts cuts_;
  int newThisScan_ = 0;
  std::map<KALMO::IPAddress, int> newPerAddress_;  // key: address and scope, port 0
  std::map<KALMO::IPAddress, int32_t> known_;      // scans left without an answer
  std::map<KALMO::IPAddress, int32_t> silent_;     // scans still passed over
};

// An endpoint as the scan's log lines print it (address and port).
std::string scanAddressText(const KALMO::IPAddress& address);
