#include "host/occupied_cpu.h"

#include <algorithm>
#include <climits>

#include "base/syslog.h"

namespace {

// No thread can be pinned beyond the 1024 CPUs of the affinity mask, so a
// larger range from the settings is not worth a larger table.
constexpr int32_t MAX_SLOTS = 1024;

// How many CPUs of the range first..first+count-1 are among the machine's
// first `cpus`; fewer than the range asks for are named in a warning.
int64_t cpusKept(const char* key, int32_t first, int32_t count, int32_t cpus) {
  const int64_t end = std::min<int64_t>(cpus, int64_t{first} + count);
  const int64_t kept = first < 0 ? 0 : std::max<int64_t>(end - first, 0);
  if (kept < count) {
    // Say which CPUs are used, not how many: "; 0 used" read as "CPU 0".
    if (kept == 0) {
      KALMO::SysLog::WARNING << "Setting: " << key << " " << first << "," << count
                             << " outside the CPUs 0 to " << cpus - 1 << "; none used";
    } else if (kept == 1) {
      KALMO::SysLog::WARNING << "Setting: " << key << " " << first << "," << count
                             << " outside the CPUs 0 to " << cpus - 1 << "; CPU " << first << " used";
    } else {
      KALMO::SysLog::WARNING << "Setting: " << key << " " << first << "," << count
                             << " outside the CPUs 0 to " << cpus - 1 << "; CPUs " << first << " to "
                             << first + kept - 1 << " used";
    }
  }
  return kept;
}

}  // namespace

void OccupiedCPU::resetUserCpu() {
  std::lock_guard<std::mutex> lock(useCountMutex);
  useCount.clear();
  const int32_t cpus = std::min(machineCpus, MAX_SLOTS);
  // The main and notify threads are pinned with 16-bit CPU numbers: a range
  // beyond the machine's CPUs would be cut to whatever its low bits name, so
  // it keeps only the CPUs that exist, and pins nothing when none does.
  if (cpuOther != -1 && rangeOther > 0) {
    const int64_t kept = cpusKept("CpuOther", cpuOther, rangeOther, cpus);
    if (kept > 0) {
      rangeOther = static_cast<int32_t>(kept);
    } else {
      cpuOther = -1;
      rangeOther = -1;
    }
  }
  if (rangeSend <= 0) return;
  // A range without a first CPU (-1) would hand out -1, which the nodes
  // take for "no CPU" and never give back.
  const int64_t slots = cpusKept("CpuSend", cpuSend, rangeSend, cpus);
  if (slots > 0) useCount.assign(static_cast<std::size_t>(slots), 0);
}

int OccupiedCPU::commitCpuSend() {
  std::lock_guard<std::mutex> lock(useCountMutex);
  if (useCount.empty()) return -1;
  // Only even offsets from the first CPU are handed out.
  std::size_t best = 0;
  for (std::size_t slot = 2; slot < useCount.size(); slot += 2) {
    if (useCount[slot] < useCount[best]) best = slot;
  }
  const long long cpu = static_cast<long long>(cpuSend) + static_cast<long long>(best);
  if (cpu > INT_MAX) return -1;
  ++useCount[best];
  return static_cast<int>(cpu);
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
