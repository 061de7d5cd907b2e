#pragma once
// Scheduling class and CPU affinity of one thread, named by its kernel id.
// Each thread applies these to itself (or its starter does, for a thread
// just started); nothing is kept between calls.

#include <cstdint>
#include <list>
#include <thread>

namespace KALMO {

class ThreadPriority {
 public:
  enum Priority : int {
    CRITICAL = 0,  // SCHED_FIFO 99
    HIGH = 1,      // SCHED_RR 10
    NORMAL = 2,    // SCHED_OTHER
    IDLE = 3,      // SCHED_IDLE
  };

  // One range of consecutive CPUs; a list of them is used as their union.
  struct Cpus {
    uint16_t first;
    uint16_t count;
  };

  // Kernel thread id of the calling thread.
  static unsigned long getSelfThreadID();

  // Applies the class's policy and priority; false when the system refuses
  // (real-time classes need the privilege; values outside 0..3 always fail).
  static bool setPriority(unsigned long thread, Priority priority);
  // The same for a thread just started, from the thread that started it:
  // it then runs in its class from its first step, however busy the
  // machine (a thread takes its creator's class, and one started from an
  // idle-class thread may wait long before it can raise itself).
  static bool setPriority(std::thread& thread, Priority priority);

  // Pins the thread to the union of the ranges (all configured CPUs for an
  // empty list). Ranges beyond the 1024-CPU mask are skipped; a mask left
  // empty, or one naming no usable CPU, is refused and gives false.
  static bool setCpuThread(unsigned long thread, const std::list<Cpus>& cpus);

  // Number of configured CPUs.
  static int getCpuCore();

  // Gives up the CPU once.
  static void idle();
};

}  // namespace KALMO
