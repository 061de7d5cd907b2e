#pragma once
// The CPU ranges of the settings and the use counts of the sending CPUs:
// every streaming connection gets one CPU of the "CpuSend" range for its
// sending thread, spread over the range.

#include <cstdint>
#include <mutex>
#include <vector>

#include "base/thread_priority.h"

class OccupiedCPU {
 public:
  OccupiedCPU() = default;

  // Sizes the use table to rangeSend slots, all free (empty without a range),
  // but only over CPUs that exist: a worker pinned to a missing CPU streams
  // nothing, so such CPUs are never handed out. Keeps the "CpuOther" range
  // within the CPUs that exist too (-1 when none of it does).
  void resetUserCpu();
  // One CPU of the range, or -1 without a range.
  int commitCpuSend();
  // Gives back one use of a CPU handed out by commitCpuSend; anything else
  // changes nothing.
  void releaseCpuSend(int cpu);

  // Present count of the slot of this CPU; -1 when it is not in the table.
  int32_t useOf(int cpu);

  // Written only while the settings are read, before any node exists.
  int32_t cpuSend = -1;
  int32_t rangeSend = -1;
  int32_t cpuOther = -1;
  int32_t rangeOther = -1;
  // CPUs of the machine (configured); set apart for tests.
  int32_t machineCpus = KALMO::ThreadPriority::getCpuCore();

 private:
  std::vector<int32_t> useCount;
  std::mutex useCountMutex;
};
