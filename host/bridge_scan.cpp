#include "host/bridge_scan.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <string>
#include <utility>

#include "base/syslog.h"

using KALMO::SysLog::INFO;

void ScanGuard::begin(const KALMO::Clock& start) {
  start_ = start;
  cuts_ = Cuts{};
  newThisScan_ = 0;
  listedThisScan_ = 0;
  waited_ = std::move(waits_);
  waits_.clear();
  cut_.clear();
  newPerAddress_.clear();
  for (auto it = silent_.begin(); it != silent_.end();) {
    it = --it->second <= 0 ? silent_.erase(it) : std::next(it);
  }
  for (auto it = known_.begin(); it != known_.end();) {
    it = --it->second <= 0 ? known_.erase(it) : std::next(it);
  }
}

bool ScanGuard::within(const KALMO::Clock& now, uint64_t budget) const {
  return KALMO::Clock(now - start_).Comp(KALMO::Clock(budget)) <= 0;
}

bool ScanGuard::admit(const KALMO::IPAddress& target, const KALMO::Clock& now) {
  if (known(target)) {
    if (within(now, LIST_BUDGET)) return true;
    ++cuts_.known;
    cut(target);
    return false;
  }
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
  if (!within(now, NEW_BUDGET)) {
    ++cuts_.budget;
    return false;
  }
  ++fromSender;
  ++newThisScan_;
  return true;
}

bool ScanGuard::mayList(const KALMO::IPAddress& target, const KALMO::Clock& now) {
  if (known(target)) {
    // The first listing of a scan is never cut: the round robin must get on
    // even when discovery alone used up the time.
    if (within(now, LIST_BUDGET) || listedThisScan_ == 0) {
      ++listedThisScan_;
      return true;
    }
    ++cuts_.known;
    cut(target);
    return false;
  }
  if (within(now, NEW_BUDGET)) {
    ++listedThisScan_;
    return true;
  }
  ++cuts_.budget;
  skipLater(target);
  cut(target);
  return false;
}

void ScanGuard::cut(const KALMO::IPAddress& target) {
  // Bounded by the known targets and the new ones a scan takes.
  if (!cut_.insert(target).second) return;
  const unsigned before = waited(target);
  waits_[target] = before < UINT_MAX ? before + 1 : before;
}

unsigned ScanGuard::waited(const KALMO::IPAddress& target) const {
  auto it = waited_.find(target);
  return it == waited_.end() ? 0 : it->second;
}

std::vector<KALMO::IPAddress> ScanGuard::listOrder(const VELLORA::Find::TargetMap& targets) const {
  std::vector<KALMO::IPAddress> order;
  order.reserve(targets.size());
  for (const auto& entry : targets) order.push_back(entry.first);
  std::stable_sort(order.begin(), order.end(), [this](const KALMO::IPAddress& a, const KALMO::IPAddress& b) {
    return waited(a) > waited(b);
  });
  return order;
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
  if (cuts_.known != 0) INFO << "Scan Cut known : " << cuts_.known;
}

int32_t AttachBackoff::waitScans(int32_t failures) {
  if (failures <= 1) return 1;
  if (failures > 4) return MAX_WAIT_SCANS;
  return std::min<int32_t>(int32_t{1} << (failures - 1), MAX_WAIT_SCANS);
}

bool AttachBackoff::due(const KALMO::IPAddress& port, const VELLORA::Find::StatusSort& chain) {
  auto it = records_.find(port);
  if (it == records_.end()) return true;
  if (!(it->second.chain == chain)) {
    records_.erase(it);
    return true;
  }
  return it->second.nextScan <= scan_;
}

void AttachBackoff::failed(const KALMO::IPAddress& port, const VELLORA::Find::StatusSort& chain) {
  auto it = records_.find(port);
  if (it == records_.end()) {
    if (records_.size() >= MAX_RECORDS) return;
    it = records_.emplace(port, Record{}).first;
  }
  Record& r = it->second;
  if (!(r.chain == chain)) r = Record{};
  if (r.failures < INT32_MAX) ++r.failures;
  r.chain = chain;
  r.nextScan = scan_ + static_cast<uint64_t>(waitScans(r.failures));
}

int32_t AttachBackoff::failures(const KALMO::IPAddress& port) const {
  auto it = records_.find(port);
  return it == records_.end() ? 0 : it->second.failures;
}

std::vector<KALMO::IPAddress> attachOrder(const std::map<KALMO::IPAddress, ScanCandidate>& candidates,
                                          const AttachBackoff& backoff) {
  struct Entry {
    int32_t failures;
    size_t rank;  // the port's place among its target's candidates
    KALMO::IPAddress address;
  };
  std::vector<Entry> entries;
  entries.reserve(candidates.size());
  std::map<KALMO::IPAddress, size_t> perTarget;
  for (const auto& [address, candidate] : candidates) {
    entries.push_back(Entry{backoff.failures(address), perTarget[candidate.record.targetAddress]++, address});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.failures != b.failures) return a.failures < b.failures;
    return a.rank < b.rank;
  });
  std::vector<KALMO::IPAddress> order;
  order.reserve(entries.size());
  for (const Entry& e : entries) order.push_back(e.address);
  return order;
}

std::string scanAddressText(const KALMO::IPAddress& address) {
  std::string s;
  address.get_str(s);
  return s;
}

void planScan(std::map<KALMO::IPAddress, VELLORA::Find::StatusSort>& statusMap,
              std::map<KALMO::IPAddress, ScanNodeState>& nodes, const VELLORA::Find::PortMap& ports,
              const VELLORA::Find::StatusMap& items, const std::set<KALMO::IPAddress>& unlisted,
              std::set<KALMO::IPAddress>& failedNodes, ScanPlan& plan, bool& rescan) {
  // Ports that vanished: an idle node is counted down, then given up. A
  // port whose target was not listed has not vanished.
  for (auto it = statusMap.begin(); it != statusMap.end();) {
    const KALMO::IPAddress& address = it->first;
    if (ports.count(address) != 0 || unlisted.count(address) != 0) {
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
