#include "base/thread_priority.h"

#include <sched.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace KALMO {

namespace {

constexpr unsigned kMaskCpus = 1024;  // a 128-byte mask

void addRange(cpu_set_t& set, unsigned first, unsigned count) {
  if (count == 0 || first >= kMaskCpus) return;
  unsigned last = first + count - 1;  // at most 1023 + 65535: no wrap
  if (last >= kMaskCpus) last = kMaskCpus - 1;
  for (unsigned cpu = first; cpu <= last; ++cpu) CPU_SET_S(cpu, sizeof set, &set);
}

}  // namespace

unsigned long ThreadPriority::getSelfThreadID() {
  return static_cast<unsigned long>(::syscall(SYS_gettid));
}

bool ThreadPriority::setPriority(unsigned long thread, Priority priority) {
  sched_param param{};
  param.sched_priority = 0;
  int policy = SCHED_RR;  // with priority 0, which the system refuses
  switch (priority) {
    case CRITICAL:
      policy = SCHED_FIFO;
      param.sched_priority = 99;
      break;
    case HIGH:
      policy = SCHED_RR;
      param.sched_priority = 10;
      break;
    case NORMAL:
      policy = SCHED_OTHER;
      break;
    case IDLE:
      policy = SCHED_IDLE;
      break;
  }
  return ::sched_setscheduler(static_cast<pid_t>(thread), policy, &param) == 0;
}

bool ThreadPriority::setCpuThread(unsigned long thread, const std::list<Cpus>& cpus) {
  static_assert(sizeof(cpu_set_t) * 8 == kMaskCpus, "mask of 1024 CPUs expected");
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpus.empty()) {
    const unsigned configured = static_cast<uint16_t>(getCpuCore());
    addRange(set, 0, configured);
  } else {
    for (const Cpus& range : cpus) addRange(set, range.first, range.count);
  }
  return ::sched_setaffinity(static_cast<pid_t>(thread), sizeof set, &set) == 0;
}

int ThreadPriority::getCpuCore() { return ::get_nprocs_conf(); }

void ThreadPriority::idle() { ::sched_yield(); }

}  // namespace KALMO
