#pragma once
// The bookkeeping of one target scan, apart from the nodes it decides about:
// which attached ports are counted down, which are given up and which are
// attached. The unit of a scan is the output port.

#include <cstdint>
#include <map>
#include <set>
#include <string>

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

// An endpoint as the scan's log lines print it (address and port).
std::string scanAddressText(const KALMO::IPAddress& address);
