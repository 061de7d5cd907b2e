#include "host/occupied_cpu.h"

void OccupiedCPU::resetUserCpu() {
  std::lock_guard<std::mutex> lock(useCountMutex);
  if (rangeSend > 0) {
    useCount.assign(static_cast<std::size_t>(rangeSend), 0);
  } else {
    useCount.clear();
  }
}

int OccupiedCPU::commitCpuSend() {
  std::lock_guard<std::mutex> lock(useCountMutex);
  if (useCount.empty()) return -1;
  // Only even offsets: the odd ones are the other hardware thread of a core.
  std::size_t best = 0;
  for (std::size_t slot = 2; slot < useCount.size(); slot += 2) {
    if (useCount[slot] < useCount[best]) best = slot;
  }
  ++useCount[best];
  return cpuSend + static_cast<int>(best);
}

void OccupiedCPU::releaseCpuSend(int cpu) {
  std::lock_guard<std::mutex> lock(useCountMutex);
  const long slot = static_cast<long>(cpu) - cpuSend;
  if (slot < 0 || slot >= static_cast<long>(useCount.size())) return;
  // A slot at 0 has nothing handed out: giving it back must not go negative.
  if (useCount[static_cast<std::size_t>(slot)] > 0) --useCount[static_cast<std::size_t>(slot)];
}

int32_t OccupiedCPU::useOf(int cpu) {
  std::lock_guard<std::mutex> lock(useCountMutex);
  const long slot = static_cast<long>(cpu) - cpuSend;
  if (slot < 0 || slot >= static_cast<long>(useCount.size())) return -1;
  return useCount[static_cast<std::size_t>(slot)];
}
