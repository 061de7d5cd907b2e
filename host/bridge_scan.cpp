#include "host/bridge_scan.h"

#include <iterator>
#include <string>
#include <utility>

#include "base/syslog.h"

using KALMO::SysLog::INFO;

void ScanGuard::begin(const KALMO::Clock& start) {
  start_ = start;
  cuts_ = Cuts{};
  newThisScan_ = 0;
  newPerAddress_.clear();
  for (auto it = silent_.begin(); it != silent_.end();) {
    it = --it->second <= 0 ? silent_.erase(it) : std::next(it);
  }
  for (auto it = known_.begin(); it != known_.end();) {
    it = --it->second <= 0 ? known_.erase(it) : std::next(it);
  }
}

bool ScanGuard::admit(const KALMO::IPAddress& target, const KALMO::Clock& now) {
  if (known(target)) return true;
  if (silent_.count(target) != 0) {
    ++cuts_.silent;
    return false;
  }
  KALMO::IPAddress sender = target;
  sender.port = 0;
  int& fromSender = newPerAddress_[sender];
  if (fromSender >= NEW_PER_ADDRESS) {
    ++cuts_.sender;
    return false;
  }
  if (newThisScan_ >= NEW_PER_SCAN) {
    ++cuts_.perScan;
    return false;
  }
  if (KALMO::Clock(now - start_).Comp(KALMO::Clock(NEW_BUDGET)) > 0) {
    ++cuts_.budget;
    return false;
  }
  ++fromSender;
  ++newThisScan_;
  return true;
}

bool ScanGuard::mayList(const KALMO::IPAddress& target, const KALMO::Clock& now) {
  if (known(target)) return true;
  if (KALMO::Clock(now - start_).Comp(KALMO::Clock(NEW_BUDGET)) <= 0) return true;
  ++cuts_.budget;
  skipLater(target);
  return false;
}

void ScanGuard::listed(const KALMO::IPAddress& target, bool answered) {
  if (answered) {
    auto it = known_.find(target);
    if (it != known_.end()) {
      it->second = KNOWN_SCANS;
    } else if (known_.size() < MAX_KNOWN) {
      known_[target] = KNOWN_SCANS;
    }
    silent_.erase(target);
    return;
  }
  // A known target that went quiet is left to the countdown of its ports.
  if (!known(target)) skipLater(target);
}

void ScanGuard::skipLater(const KALMO::IPAddress& target) {
  // With the record full the target is simply tried again: the shares and
  // the budget still bound what it costs.
  if (silent_.size() < MAX_SILENT || silent_.count(target) != 0) silent_[target] = SILENT_SCANS + 1;
}

void ScanGuard::end() {
  if (cuts_.silent != 0) INFO << "Scan Cut silent : " << cuts_.silent;
  if (cuts_.sender != 0) INFO << "Scan Cut sender : " << cuts_.sender;
  if (cuts_.perScan != 0) INFO << "Scan Cut new : " << cuts_.perScan;
  if (cuts_.budget != 0) INFO << "Scan Cut budget : " << cuts_.budget;
}

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
