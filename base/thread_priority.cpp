#include "base/thread_priority.h"

#include <pthread.h>
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

namespace {

// The policy and priority of a class; false for a value outside the enum.
bool schedulingOf(ThreadPriority::Priority priority, int& policy, sched_param& param) {
  param = sched_param{};
  switch (priority) {
    case ThreadPriority::CRITICAL:
      policy = SCHED_FIFO;
      param.sched_priority = 99;
      return true;
    case ThreadPriority::HIGH:
      policy = SCHED_RR;
      param.sched_priority = 10;
      return true;
    case ThreadPriority::NORMAL:
      policy = SCHED_OTHER;
      return true;
    case ThreadPriority::IDLE:
      policy = SCHED_IDLE;
      return true;
  }
  return false;
}

}  // namespace

bool ThreadPriority::setPriority(unsigned long thread, Priority priority) {
  int policy = SCHED_OTHER;
  sched_param param{};
  if (!schedulingOf(priority, policy, param)) return false;
  return ::sched_setscheduler(static_cast<pid_t>(thread), policy, &param) == 0;
}

bool ThreadPriority::setPriority(std::thread& thread, Priority priority) {
  int policy = SCHED_OTHER;
  sched_param param{};
  if (!thread.joinable() || !schedulingOf(priority, policy, param)) return false;
  return ::pthread_setschedparam(thread.native_handle(), policy, &param) == 0;
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
