#include "host/sync_mem_drv.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <string>

#include "base/syslog.h"
#include "base/thread_priority.h"

using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;
using KALMO::SysLog::WARNING;

SyncMemDrv::SyncMemDrv(BridgeDriver& driver) : driver_(driver) {}

SyncMemDrv::~SyncMemDrv() { close(); }

std::size_t SyncMemDrv::mappingBytes() const {
  return std::size_t{alsaSetting.ringBytes()} + SYNC_MEM_CONTROL_SIZE;
}

void reportFailure(const std::string& text) {
  ERR << text.c_str();
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

void SyncMemDrv::raiseError(const char* request, long result) {
  if (errorFlag == nullptr || errorFlag->exchange(true)) return;
  reportFailure(std::string("daemon stops: the ") + request + " request of card " + std::to_string(memNo) +
                " failed (result " + std::to_string(result) + ")");
}

bool SyncMemDrv::openMem(int memNo_, const std::string& targetName, const std::string& portName,
                         int cpuOther, int rangeOther, std::atomic<bool>* errorFlag_) {
  notifyCpu = cpuOther;
  notifyCpuCount = rangeOther;
  errorFlag = errorFlag_;
  memNo = memNo_;

  const std::string path = driver_.cardPath(memNo);
  cardFd = driver_.openCard(memNo);
  INFO << "open " << path << " " << cardFd;
  if (cardFd < 0) {
    std::fprintf(stderr, "open error %s\n", path.c_str());
    std::fflush(stderr);
    cardFd = -1;
    return false;
  }
  mapBase = driver_.map(cardFd, mappingBytes());
  if (!mapBase) {
    ERR << "MAP_FAILED ";
    driver_.close(cardFd);
    cardFd = -1;
    return false;
  }
  std::memset(mapBase, 0, mappingBytes());

  // Fills the offer and posts the first status: its wake-up comes before
  // the attach.
  SyncMem::openMem(mapBase, targetName, portName);

  const long result = driver_.attach(cardFd, memNo);
  if (result < 0) {
    INFO << "VELLORA_BR_ATTACH  ERR";
    releaseCard();
    return false;
  }
  INFO << "VELLORA_BR_ATTACH  " << memNo << " " << cardFd << " " << result << " " << targetName
       << " " << portName;
  running = true;
  pending = false;
  try {
    notifyThread = std::thread([this] { thread_notify_func(); });
  } catch (...) {
    ERR << "Notify Thread start error " << targetName << " " << portName;
    running = false;
    releaseCard();
    return false;
  }
  return true;
}

void SyncMemDrv::thread_notify_func() {
  const unsigned long self = KALMO::ThreadPriority::getSelfThreadID();
  if (notifyCpu != -1 && notifyCpuCount > 0) {
    const std::list<KALMO::ThreadPriority::Cpus> cpus = {
        {static_cast<uint16_t>(notifyCpu), static_cast<uint16_t>(notifyCpuCount)}};
    if (KALMO::ThreadPriority::setCpuThread(self, cpus)) {
      INFO << "Notify Thread CPU set " << notifyCpu << "," << notifyCpuCount;
    } else {
      WARNING << "Notify Thread CPU set error " << notifyCpu << "," << notifyCpuCount;
    }
  }
  if (KALMO::ThreadPriority::setPriority(self, KALMO::ThreadPriority::IDLE)) {
    INFO << "Notify Thread Priority set IDLE";
  } else {
    WARNING << "Notify Thread Priority set Error";
  }

  for (;;) {
    // Read before the flags are tested: a notify() or close() after the
    // test changes the word, and the wait below returns at once.
    const uint32_t seen = notifyWake.value();
    if (!running.load()) {
      INFO << "Notify Thread worst hand-over " << worstNotifyNs.load() / 1000 << " us";
      return;
    }
    if (!pending.exchange(false)) {
      notifyWake.wait(seen);
      continue;
    }
    // Whatever notify() asks for while the request runs leaves pending set
    // for the next pass: requests merge, none is lost.
    const long result = driver_.notify(cardFd, memNo);
    if (result != 0) {
      INFO << "thread_notify_func ioctl error";
      running = false;
      raiseError("notify", result);
      return;
    }
  }
}

void SyncMemDrv::notify() {
  if (!running.load()) return;
  const auto start = std::chrono::steady_clock::now();
  pending = true;
  notifyWake.wake();
  const uint64_t ns = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
  if (ns > worstNotifyNs.load(std::memory_order_relaxed)) worstNotifyNs.store(ns, std::memory_order_relaxed);
}

void SyncMemDrv::wakeup() {
  if (cardFd == -1) return;
  const long result = driver_.wakeup(cardFd, memNo);
  if (result != 0) {
    ERR << "Error VELLORA_BR_WAKEUP  " << cardFd << " " << memNo << " " << result;
    raiseError("wake-up", result);
  }
}

void SyncMemDrv::close() {
  if (cardFd < 0) return;
  running = false;
  notifyWake.wake();
  if (notifyThread.joinable()) notifyThread.join();

  VELLORA::SSyncBuffer::close();
  cardStore(controlBlock->hostStatus, HOST_STATUS_CLOSED, std::memory_order_release);
  wantedStatus = postedStatus = 0;
  releaseSendCpu();
  wakeup();
  releaseCard();
}

void SyncMemDrv::releaseCard() {
  driver_.unmap(mapBase, mappingBytes());
  mapBase = nullptr;
  ring = nullptr;
  controlBlock = nullptr;
  periodCopy.attach(nullptr, 0, nullptr);
  driver_.close(cardFd);
  cardFd = -1;
}
