#include "host/bridge_scan.h"

#include <string>
#include <utility>

#include "base/syslog.h"

using KALMO::SysLog::INFO;

std::string scanAddressText(const KALMO::IPAddress& address) {
  std::string s;
  address.get_str(s);
  return s;
}

void planScan(std::map<KALMO::IPAddress, VELLORA::Find::StatusSort>& statusMap,
              std::map<KALMO::IPAddress, ScanNodeState>& nodes, const VELLORA::Find::PortMap& ports,
              const VELLORA::Find::StatusMap& items, std::set<KALMO::IPAddress>& failedNodes,
              ScanPlan& plan, bool& rescan) {
  // Ports that vanished: an idle node is counted down, then given up.
  for (auto it = statusMap.begin(); it != statusMap.end();) {
    const KALMO::IPAddress& address = it->first;
    if (ports.count(address) != 0) {
      ++it;
      continue;
    }
    auto node = nodes.find(address);
    if (node != nodes.end() && node->second.busy) {
      ++it;
      continue;
    }
    if (node != nodes.end() && node->second.aliveCount > 0) {
      --node->second.aliveCount;
      rescan = true;
      INFO << "Scan Mis 3 " << node->second.aliveCount << " " << scanAddressText(address);
      ++it;
      continue;
    }
    plan.lost.insert(address);
    it = statusMap.erase(it);
  }

  // Ports found: new ones are attached, changed ones counted down and then
  // attached again with their new chain.
  for (const auto& [address, record] : ports) {
    VELLORA::Find::StatusSort chain;
    VELLORA::Find::SortStatus(address, record.portIndex, true, items, chain);
    auto stored = statusMap.find(address);
    auto node = nodes.find(address);
    if (stored == statusMap.end()) {
      statusMap[address] = chain;
      plan.candidates[address] = ScanCandidate{record, std::move(chain)};
      continue;
    }
    if (stored->second == chain) {
      if (node != nodes.end() && node->second.aliveCount != SCAN_ALIVE_COUNT) {
        INFO << "Scan Rec  " << node->second.aliveCount << " " << scanAddressText(address);
        node->second.aliveCount = SCAN_ALIVE_COUNT;
      }
      continue;
    }
    if (node != nodes.end() && node->second.busy) continue;
    if (node != nodes.end() && node->second.aliveCount > 0) {
      --node->second.aliveCount;
      rescan = true;
      INFO << "Scan Mis 4 " << node->second.aliveCount << " " << scanAddressText(address);
      continue;
    }
    stored->second = chain;
    plan.lost.insert(address);
    plan.candidates[address] = ScanCandidate{record, std::move(chain)};
  }

  // Failed nodes are released and forgotten; the next scan sees their
  // ports as new. A failed port is not attached again in this scan even
  // when its changed chain made it a candidate: its entry is gone, so the
  // next scan would attach it a second time.
  for (const KALMO::IPAddress& address : failedNodes) {
    auto stored = statusMap.find(address);
    if (stored == statusMap.end()) continue;
    plan.lost.insert(address);
    statusMap.erase(stored);
    plan.candidates.erase(address);
  }
  failedNodes.clear();
}
