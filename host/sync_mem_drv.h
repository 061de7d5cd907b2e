#pragma once
// Binds one attached output port to its virtual sound card: opens card
// device N of the bridge driver, maps the ring and control block, lets the
// card path fill the block, attaches the card, and runs the notify thread
// that tells the driver each time data was taken from the ring. A failed
// request on the card device stops the daemon through the owner's stop flag.

#include <atomic>
#include <string>
#include <thread>

#include "base/wake_word.h"
#include "host/bridge_driver.h"
#include "host/sync_mem.h"

// One error record and one line on standard error: a failure that ends
// the daemon, said where an operator sees it at any log level.
void reportFailure(const std::string& text);

class SyncMemDrv : public SyncMem {
 public:
  // The driver the daemon was built for (makeBridgeDriver).
  explicit SyncMemDrv(BridgeDriver& driver);
  ~SyncMemDrv();

  // Binds card memNo; on false no descriptor and no mapping remain.
  bool openMem(int memNo, const std::string& targetName, const std::string& portName,
               int cpuOther, int rangeOther, std::atomic<bool>* errorFlag);
  // Takes the card down; nothing when no card is bound.
  void close();
  int getMemNo() const { return memNo; }

  void wakeup() override;
  void notify() override;

  int cardFd = -1;
  int memNo = 0;
  uint8_t* mapBase = nullptr;
  std::thread notifyThread;
  std::atomic<bool> running{false};
  std::atomic<bool> pending{false};
  // Wakes the notify thread. The buffer worker (real time) hands over to
  // the idle-class notify thread through pending and this word only: no
  // lock that the notify thread could hold while it is crowded out.
  KALMO::WakeWord notifyWake;
  int notifyCpu = -1;
  int notifyCpuCount = 0;
  std::atomic<bool>* errorFlag = nullptr;
  // The longest time one notify() took (ns), logged when the thread ends.
  std::atomic<uint64_t> worstNotifyNs{0};

 private:
  void thread_notify_func();
  std::size_t mappingBytes() const;
  // Raises the owner's stop flag for a failed request of this card; the
  // failure that raises it first is the cause of the stop and is said.
  void raiseError(const char* request, long result);
  // Unmaps the card and closes its device.
  void releaseCard();

  BridgeDriver& driver_;
};
