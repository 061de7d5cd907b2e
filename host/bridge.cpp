#include "host/bridge.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "base/syslog.h"
#include "protocol/ssync.h"

using KALMO::SysLog::DEBUG;
using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;
using KALMO::SysLog::NOTICE;
using KALMO::SysLog::WARNING;

namespace {

// The driver's removal of a card whose node is going. A refusal leaves the
// card in the driver with no node behind it: said, with the card.
void removeCard(BridgeDriver& driver, int control, int card) {
  const long result = driver.remove(control, card);
  if (result < 0) WARNING << "remove card " << card << " refused: " << result << " (the card stays in the driver)";
}

}  // namespace

void bridgeSleep(uint64_t picoseconds) {
  timespec left{static_cast<time_t>(picoseconds / 1'000'000'000'000ULL),
                static_cast<long>((picoseconds % 1'000'000'000'000ULL) / 1000)};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void VelloraCardBridge::ReleaseTracker::begin(int card) {
  std::lock_guard<std::mutex> lock(mutex);
  ++count;
  cards.insert(card);
}

void VelloraCardBridge::ReleaseTracker::removed(int card) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = cards.find(card);
  if (it != cards.end()) cards.erase(it);
}

bool VelloraCardBridge::ReleaseTracker::holds(int card) {
  std::lock_guard<std::mutex> lock(mutex);
  return cards.count(card) != 0;
}

void VelloraCardBridge::ReleaseTracker::end() {
  std::lock_guard<std::mutex> lock(mutex);
  --count;
  cond.notify_all();
}

int VelloraCardBridge::ReleaseTracker::running() {
  std::lock_guard<std::mutex> lock(mutex);
  return count;
}

bool VelloraCardBridge::ReleaseTracker::waitAll(uint64_t perThread) {
  std::unique_lock<std::mutex> lock(mutex);
  const auto bound = std::chrono::nanoseconds(perThread / 1000) * count;
  return cond.wait_for(lock, bound, [this] { return count == 0; });
}

void VelloraCardBridge::closeNode(AliveNodeSt* node) {
  // Closing alone ends the stream's threads without a word to the target,
  // which would go on waiting for audio: an open stream is disconnected
  // first (the disconnect exchange is bounded by the worker's retries).
  const int32_t state = node->syncState.load();
  if (state == VELLORA::SSync::Connecting || state == VELLORA::SSync::Connected ||
      state == VELLORA::SSync::Disconnecting) {
    node->VELLORA::SSyncBuffer::disconnect();
  }
  node->close();
}

VelloraCardBridge::VelloraCardBridge(BridgeDriver& driver, const VELLORA::Find::Setting& discoverySetting)
    : discovery(discoverySetting), driver_(driver), releases_(std::make_shared<ReleaseTracker>()) {}

VelloraCardBridge::~VelloraCardBridge() { (void)shutdown(); }

bool VelloraCardBridge::shutdown() {
  discovery.close();
  for (auto& [address, node] : aliveNodes) {
    closeNode(node);
    removeCard(driver_, controlFd, node->getMemNo());
    delete node;
  }
  aliveNodes.clear();
  // Release threads left running by a scan still use the allocator, the
  // driver and the control device.
  if (!releases_->waitAll(RELEASE_WAIT_STEP * RELEASE_WAIT_STEPS)) {
    ERR << "delete node: timeout at shutdown, " << releases_->running() << " left";
    return false;
  }
  if (controlFd >= 0) {
    (void)driver_.lastRequest(controlFd);
    driver_.close(controlFd);
    controlFd = -1;
  }
  return true;
}

bool VelloraCardBridge::workPass() {
  KALMO::Clock now;
  now.now();
  if (aliveNodes.empty()) {
    lastPass_ = KALMO::Clock();
    return true;
  }
  // From the end of the last pass: how long the cards waited, apart from
  // the time their own work took.
  if (lastPass_.get() != 0) {
    const uint64_t gap = now - lastPass_;
    workStats_.lastGap = gap;
    if (gap > workStats_.widestGap) workStats_.widestGap = gap;
    // Also the first pass after a scan: its attach step does no card work.
    if (scanSincePass_ && gap > workStats_.widestScanGap) workStats_.widestScanGap = gap;
    if (gap > WORK_GAP_LOG) {
      WARNING << "Card work gap : " << gap / 1'000'000'000ULL << " ms" << (scanSincePass_ ? " in scan" : "");
    }
  }
  scanSincePass_ = scanning_;
  ++workStats_.passes;
  bool ok = true;
  for (auto& [address, node] : aliveNodes) {
    // A failed node waits for the scan that releases it; the others go on.
    if (node == releasing_ || node == attaching_ || failedNodes.count(address) != 0) continue;
    if (!node->work()) {
      failedNodes.insert(address);
      ok = false;
      break;
    }
  }
  lastPass_.now();
  return ok;
}

bool VelloraCardBridge::listTargets(VELLORA::Find::TargetMap& targets, VELLORA::Find::PortMap& ports,
                                    VELLORA::Find::StatusMap& items, bool& rescan) {
  if (!discovery.findTarget(targets)) return false;
  const auto mode =
      static_cast<VELLORA::Find::MODE>(VELLORA::Find::MODE_PORT_KIND1 | VELLORA::Find::MODE_INDEX_OPTION0);
  // A listing that failed for one target is that target's miss alone: its
  // attached ports count down as missing ones, its new ones wait.
  auto missed = [this, &rescan](const KALMO::IPAddress& target, const char* what) {
    rescan = true;
    if (discovery.lastSendRefused()) {
      // The send failed for this target alone: it is lost for this scan.
      INFO << "Scan Drop : " << scanAddressText(target) << " " << std::strerror(discovery.lastSendError());
      return;
    }
    INFO << what << scanAddressText(target);
  };
  for (const KALMO::IPAddress& target : guard_.listOrder(targets)) {
    KALMO::Clock now;
    now.now();
    if (!guard_.mayList(target, now)) continue;
    const VELLORA::Find::TargetMap one{{target, targets.at(target)}};
    VELLORA::Find::PortMap found;
    const uint64_t before = discovery.answered();
    const bool portsListed = discovery.findTarget(one, found, mode);
    const bool answered = discovery.answered() != before;
    guard_.listed(target, answered);
    if (!portsListed) {
      missed(target, "Scan Mis 1 ");
      continue;
    }
    // A new target that answered nothing costs no status listing either.
    if (!answered && !guard_.known(target)) continue;
    VELLORA::Find::StatusMap foundItems;
    if (!discovery.findTarget(one, foundItems)) {
      // Its ports without their items would read as changed chains.
      missed(target, "Scan Mis 2 ");
      continue;
    }
    for (auto& [address, record] : found) ports[address] = std::move(record);
    for (auto& [address, record] : foundItems) items[address] = std::move(record);
  }
  return true;
}

bool VelloraCardBridge::targetUnlisted(const KALMO::IPAddress& port) const {
  auto target = portTargets_.find(port);
  return target != portTargets_.end() && guard_.unlisted().count(target->second) != 0;
}

std::set<KALMO::IPAddress> VelloraCardBridge::unlistedPorts(const VELLORA::Find::PortMap& ports) const {
  std::set<KALMO::IPAddress> unlisted;
  if (guard_.unlisted().empty()) return unlisted;
  for (const auto& entry : statusMap) {
    if (ports.count(entry.first) == 0 && targetUnlisted(entry.first)) unlisted.insert(entry.first);
  }
  return unlisted;
}

bool VelloraCardBridge::scan(bool& rescan) {
  rescan = false;
  std::lock_guard<std::mutex> lock(scanMutex);
  DEBUG << "SCAN Target interval";

  KALMO::Clock start;
  start.now();
  guard_.begin(start);
  backoff_.begin();
  scanning_ = true;
  scanSincePass_ = true;
  // The card work must not wait for discovery's answers, nor for answers
  // that never come.
  discovery.setIdleWork([this] { (void)workPass(); });
  discovery.screen = [this](const KALMO::IPAddress& target) {
    KALMO::Clock now;
    now.now();
    return guard_.admit(target, now);
  };
  discovery.priority = [this](const KALMO::IPAddress& target) { return guard_.waited(target); };
  VELLORA::Find::TargetMap targets;
  VELLORA::Find::PortMap ports;
  VELLORA::Find::StatusMap items;
  const bool listed = listTargets(targets, ports, items, rescan);
  discovery.setIdleWork(nullptr);
  discovery.screen = nullptr;
  discovery.priority = nullptr;
  guard_.end();
  auto finish = [this, &start] {
    KALMO::Clock end;
    end.now();
    workStats_.lastScan = end - start;
    scanning_ = false;
  };
  if (!listed) {
    finish();
    ERR << "Scan Error";
    rescan = true;
    return false;
  }

  for (const auto& [address, record] : ports) portTargets_[address] = record.targetAddress;
  const std::set<KALMO::IPAddress> unlisted = unlistedPorts(ports);
  std::map<KALMO::IPAddress, ScanNodeState> nodes;
  for (const auto& [address, node] : aliveNodes) {
    const int32_t state = node->syncState.load();
    nodes[address] = ScanNodeState{state >= VELLORA::SSync::Connecting && state <= VELLORA::SSync::Disconnecting,
                                   node->aliveCount};
  }
  ScanPlan plan;
  planScan(statusMap, nodes, ports, items, unlisted, failedNodes, plan, rescan);
  for (const auto& [address, state] : nodes) aliveNodes.at(address)->aliveCount = state.aliveCount;
  // A port that vanished from its target's listing starts over when it
  // comes back; one whose target was not listed keeps its records.
  backoff_.retain([&](const KALMO::IPAddress& a) {
    return ports.count(a) != 0 || targetUnlisted(a);
  });

  releaseLost(plan.lost);
  attach(plan.candidates);
  for (auto it = portTargets_.begin(); it != portTargets_.end();) {
    const KALMO::IPAddress& a = it->first;
    const bool keep = statusMap.count(a) != 0 || backoff_.holds(a) || ports.count(a) != 0;
    it = keep ? std::next(it) : portTargets_.erase(it);
  }
  finish();
  INFO << "Scan time : " << workStats_.lastScan / 1'000'000'000ULL << " ms";
  return true;
}

void VelloraCardBridge::releaseLost(const std::set<KALMO::IPAddress>& lost) {
  for (const KALMO::IPAddress& address : lost) {
    auto it = aliveNodes.find(address);
    if (it == aliveNodes.end()) continue;
    AliveNodeSt* node = it->second;
    INFO << "lost node:" << node->getMemNo() << " " << scanAddressText(address);

    auto* record = new (std::nothrow) ReleaseNodeSt;
    if (record == nullptr) {
      // Without a record the node is released here, on the scan's thread.
      const int n = node->getMemNo();
      closeNode(node);
      removeCard(driver_, controlFd, n);
      delete node;
      aliveNodes.erase(it);
      INFO << "delete node:" << n;
      continue;
    }
    record->controlFd = controlFd;
    record->node = node;
    record->driver = &driver_;
    record->tracker = releases_;
    releases_->begin(node->getMemNo());
    try {
      std::thread(releaseThread, record).detach();
    } catch (const std::system_error&) {
      // No thread to be had: the same work on this one.
      record->ack = true;
      releaseThread(record);
      aliveNodes.erase(it);
      continue;
    }
    bool done = false;
    // The other nodes keep their card work while this release is awaited.
    releasing_ = node;
    for (int i = 0; i < RELEASE_WAIT_STEPS && !done; ++i) {
      done = record->done.load();
      if (!done) {
        bridgeSleep(RELEASE_WAIT_STEP);
        (void)workPass();
      }
    }
    releasing_ = nullptr;
    if (!done) done = record->done.load();
    if (!done) INFO << "delete node: timeout";
    // From here the record and the node belong to the thread.
    record->ack.store(true);
    aliveNodes.erase(it);
    // A failure it met while the others' releases were awaited was its own.
    failedNodes.erase(address);
  }
}

void VelloraCardBridge::releaseThread(ReleaseNodeSt* record) {
  AliveNodeSt* node = record->node;
  const int n = node->getMemNo();
  closeNode(node);
  removeCard(*record->driver, record->controlFd, n);
  // Freed before done is set, so a scan that saw the release end may take
  // the number again at once.
  record->tracker->removed(n);
  delete node;
  record->node = nullptr;
  record->done.store(true);
  while (!record->ack.load()) bridgeSleep(RELEASE_WAIT_STEP);
  INFO << "delete node:" << n;
  std::shared_ptr<ReleaseTracker> tracker = std::move(record->tracker);
  delete record;
  tracker->end();
}

void VelloraCardBridge::dropNode(const KALMO::IPAddress& address, AliveNodeSt* node) {
  delete node;
  aliveNodes.erase(address);
}

bool VelloraCardBridge::cardInUse(int card, const AliveNodeSt* except) const {
  for (const auto& [address, node] : aliveNodes) {
    if (node != except && node->cardFd >= 0 && node->getMemNo() == card) return true;
  }
  // A release that outlived its scan may still be closing the card, and
  // its remove would take the card away from a new node.
  return releases_->holds(card);
}

void VelloraCardBridge::attach(std::map<KALMO::IPAddress, ScanCandidate>& candidates) {
  KALMO::Clock start;
  start.now();
  bool tried = false;
  unsigned cut = 0;
  for (const KALMO::IPAddress& address : attachOrder(candidates, backoff_)) {
    ScanCandidate& candidate = candidates.at(address);
    if (!backoff_.due(address, candidate.chain)) {
      attachLater(address);
      continue;
    }
    KALMO::Clock now;
    now.now();
    // At least one attach per scan, so that the ports left out get on.
    if (tried && KALMO::Clock(now - start).Comp(KALMO::Clock(ScanGuard::ATTACH_BUDGET)) > 0) {
      ++cut;
      attachLater(address);
      continue;
    }
    tried = true;
    const bool goOn = attachOne(address, candidate);
    // Each attach may wait for a target that never answers: the cards get
    // their work between two of them.
    (void)workPass();
    if (!goOn) break;
  }
  if (cut != 0) INFO << "Scan Cut attach : " << cut;
}

void VelloraCardBridge::attachLater(const KALMO::IPAddress& address) {
  // Without its entry the next scan sees the port as new.
  if (aliveNodes.count(address) == 0) statusMap.erase(address);
}

bool VelloraCardBridge::attachOne(const KALMO::IPAddress& address, ScanCandidate& candidate) {
  // A port has one node and one card at most.
  if (aliveNodes.count(address) != 0) {
    INFO << "add node: kept " << scanAddressText(address);
    return true;
  }
  const VELLORA::Find::TargetConnectInfo& record = candidate.record;
  const std::string name = record.targetName + ":" + record.portName;
  NOTICE << "TargetName : " << name;

  auto* node = new (std::nothrow) AliveNodeSt(driver_);
  if (node == nullptr) return false;
  aliveNodes[address] = node;
  node->aliveCount = SCAN_ALIVE_COUNT;
  node->occupiedCpu = &occupiedCpu;

  auto profile = profiles.find(name);
  if (profile != profiles.end()) {
    INFO << "detect profie : " << name;
    node->profile = profile->second;
  } else {
    INFO << "default profie";
    node->profile = profiles[""];
  }
  node->profile.dump();
  node->alsaSetting = alsaSetting;

  const AlsaProfile& p = node->profile;
  if (!node->VELLORA::SSync::open(static_cast<VELLORA::SSync::THRED_MODE>(p.syncWorkerMode), p.syncInfoCycle,
                                  static_cast<unsigned short>(address.interfaceIndex & 0xFFFF), bridgeName,
                                  ~0ul, -1, occupiedCpu.cpuOther, occupiedCpu.rangeOther)) {
    INFO << "Socket Err";
    dropNode(address, node);
    return false;
  }
  // A control chain that answers slowly holds the connect for as long as
  // it likes: the other cards get their work between its exchanges.
  attaching_ = node;
  node->control.connectLimit = ScanGuard::ATTACH_CONNECT_LIMIT;
  node->control.setIdleWork([this] { (void)workPass(); });
  const bool sinkSet = node->setSink(address, candidate.chain, p.latencyBuffer, false);
  node->control.setIdleWork(nullptr);
  attaching_ = nullptr;
  if (!sinkSet) {
    INFO << "setSink Err";
    dropNode(address, node);
    // The target did not answer its control connect or the stream's
    // handshake: on a busy machine or a lossy link that happens once, so
    // the port is tried again (kept, it would never get a card while its
    // chain stays the same); a target that keeps failing waits longer and
    // longer, so it cannot cost every scan its waits.
    backoff_.failed(address, candidate.chain);
    attachLater(address);
    return true;
  }
  backoff_.connected(address);
  const long card = driver_.create(controlFd, alsaSetting.ringBytes());
  if (card < 0 || card > BRIDGE_CARD_MAX || cardInUse(static_cast<int>(card), node)) {
    // A number beyond 255 names no card device, and a remove for it would
    // reach another card. A number another node (or a release still under
    // way) holds is that node's card: binding it would clear the ring and
    // block it is streaming from, and a remove would take it away from
    // under it.
    INFO << "Add Bridge  Err";
    dropNode(address, node);
    return true;
  }
  INFO << "Add Bridge  " << card;
  const int n = static_cast<int>(card);
  if (!node->openMem(n, record.targetName, record.portName, occupiedCpu.cpuOther, occupiedCpu.rangeOther,
                     &stopFlag)) {
    removeCard(driver_, controlFd, n);
    dropNode(address, node);
    return true;
  }
  INFO << "add node:" << scanAddressText(address) << " " << n;
  return true;
}
