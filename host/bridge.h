#pragma once
// The daemon's one application object: the settings, the discovery client,
// the driver's control device and the attached output ports ("nodes", one
// card and one streaming connection each). The target scan keeps the nodes
// in step with what discovery finds: the unit of a scan is the output port.
//
// Everything here runs on the main thread, except the release threads: a
// node that is given up is closed, its card removed and the node freed on a
// detached thread of its own, which the scan waits for up to 10 s. Shutdown
// waits for the release threads that outlived their scan before it sends
// the driver its last request, so none of them touches the allocator, the
// driver or the control device after they are gone.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "base/clock.h"
#include "base/ip_address.h"
#include "discovery/find.h"
#include "host/alsa_setting.h"
#include "host/bridge_driver.h"
#include "host/bridge_scan.h"
#include "host/occupied_cpu.h"
#include "host/sync_mem_drv.h"

class VelloraCardBridge {
 public:
  // One attached output port: its card binding and streaming connection.
  // Always deleted as itself (final), never through a base.
  struct AliveNodeSt final : public SyncMemDrv {
    explicit AliveNodeSt(BridgeDriver& driver) : SyncMemDrv(driver) {}
    int32_t aliveCount = -1;
  };

  // Counts the release threads that have not ended yet, and the cards they
  // have not removed yet; shared with them, so it outlives whichever side
  // finishes last.
  class ReleaseTracker {
   public:
    void begin(int card);
    // The thread's card has been removed (its number is free again).
    void removed(int card);
    void end();
    // True while a release thread still holds the card.
    bool holds(int card);
    // True when no release thread is left within the time (picoseconds per
    // thread still running at the call).
    bool waitAll(uint64_t perThread);
    int running();

   private:
    std::mutex mutex;
    std::condition_variable cond;
    int count = 0;
    std::multiset<int> cards;
  };

  // The hand-over record between the scan and one release thread.
  struct ReleaseNodeSt {
    int32_t controlFd = -1;
    std::atomic<bool> done{false};  // written by the thread only
    std::atomic<bool> ack{false};   // written by the scan only
    AliveNodeSt* node = nullptr;
    BridgeDriver* driver = nullptr;
    std::shared_ptr<ReleaseTracker> tracker;
  };

  VelloraCardBridge(BridgeDriver& driver, const VELLORA::Find::Setting& discoverySetting);
  ~VelloraCardBridge();
  VelloraCardBridge(const VelloraCardBridge&) = delete;
  VelloraCardBridge& operator=(const VelloraCardBridge&) = delete;

  // One target scan; false only when the discovery of targets failed.
  // Card work goes on while its queries wait (workPass every 10 ms).
  bool scan(bool& rescan);

  // One pass of card work: work() on every node in key order, passing over
  // nodes whose work failed since the last scan. False at the first
  // failure, whose port is then in failedNodes.
  bool workPass();

  // Card work seen from outside: the widest gap between two passes while
  // nodes were attached, and the time of the last scan (also logged at the
  // end of every scan that got past discovery: "Scan time : " ms " ms").
  struct WorkStats {
    uint64_t widestGap = 0;      // ps, from the end of one pass to the start of the next
    uint64_t widestScanGap = 0;  // ps, the same while a scan ran
    uint64_t lastGap = 0;    // ps, of the newest pass
    uint64_t lastScan = 0;   // ps the last scan took
    uint64_t passes = 0;
  };
  const WorkStats& workStats() const { return workStats_; }
  const ScanGuard& scanGuard() const { return guard_; }
  const AttachBackoff& attachBackoff() const { return backoff_; }
  // A gap this wide between passes is logged ("Card work gap : " ms, and
  // " in scan" when a scan held it).
  static constexpr uint64_t WORK_GAP_LOG = 100'000'000'000ULL;  // 100 ms

  // Closes discovery, closes every node and removes its card, waits for the
  // release threads, then sends the last request and closes the control
  // device. False when a release thread did not end within its bound: the
  // control device, the allocator and the driver must then stay as they are
  // until the process ends. A second call does nothing more.
  bool shutdown();

  BridgeDriver& driver() { return driver_; }

  // --- members ---
  std::map<KALMO::IPAddress, VELLORA::Find::StatusSort> statusMap;
  std::map<std::string, AlsaProfile> profiles;
  AlsaSetting alsaSetting;
  OccupiedCPU occupiedCpu;
  int controlFd = -1;
  std::map<KALMO::IPAddress, AliveNodeSt*> aliveNodes;
  std::set<KALMO::IPAddress> failedNodes;
  VELLORA::Find discovery;
  std::string bridgeName;
  std::mutex scanMutex;
  std::atomic<bool> stopFlag{false};

  // How long the scan and shutdown wait for one release thread.
  static constexpr int RELEASE_WAIT_STEPS = 1000;
  static constexpr uint64_t RELEASE_WAIT_STEP = 10'000'000'000ULL;  // 10 ms

 private:
  void releaseLost(const std::set<KALMO::IPAddress>& lost);
  // The candidates in attachOrder, within ATTACH_BUDGET, with card work
  // after each attach; the ones left out (or backing off) stay candidates
  // for the next scan.
  void attach(std::map<KALMO::IPAddress, ScanCandidate>& candidates);
  // One candidate; false when the remaining candidates wait for a later scan.
  bool attachOne(const KALMO::IPAddress& address, ScanCandidate& candidate);
  // A candidate not attached in this scan is one again in the next.
  void attachLater(const KALMO::IPAddress& address);
  void dropNode(const KALMO::IPAddress& address, AliveNodeSt* node);
  // True when a node other than `except` is bound to card `card`, or a
  // release thread has not removed it yet.
  bool cardInUse(int card, const AliveNodeSt* except) const;
  static void releaseThread(ReleaseNodeSt* record);
  // Disconnects an open stream, then takes the node's card down.
  static void closeNode(AliveNodeSt* node);

  // Discovery of one scan: targets, then the ports and status items of one
  // target after the other, so that a target can be cut, dropped or missed
  // on its own: a target whose ports ("Scan Mis 1") or items ("Scan Mis 2")
  // cannot be listed adds nothing, and sets rescan. False only when the
  // discovery of targets failed.
  bool listTargets(VELLORA::Find::TargetMap& targets, VELLORA::Find::PortMap& ports,
                   VELLORA::Find::StatusMap& items, bool& rescan);
  // The known ports whose target the budget left unlisted in this scan.
  std::set<KALMO::IPAddress> unlistedPorts(const VELLORA::Find::PortMap& ports) const;
  // True when the port's target was left unlisted by the budget in this scan.
  bool targetUnlisted(const KALMO::IPAddress& port) const;

  BridgeDriver& driver_;
  std::shared_ptr<ReleaseTracker> releases_;
  ScanGuard guard_;
  AttachBackoff backoff_;
  // The discovery endpoint of every port the scan keeps a record of.
  std::map<KALMO::IPAddress, KALMO::IPAddress> portTargets_;
  WorkStats workStats_;
  KALMO::Clock lastPass_;       // end of the last pass with nodes; 0: none yet
  bool scanning_ = false;
  bool scanSincePass_ = false;  // a scan ran since the last pass began
  const AliveNodeSt* releasing_ = nullptr;  // out of work while its release is awaited
  const AliveNodeSt* attaching_ = nullptr;  // out of work until its attach ends
};

// Sleeps for the time (picoseconds); a sleep cut short by a signal goes on
// with the time left.
void bridgeSleep(uint64_t picoseconds);
