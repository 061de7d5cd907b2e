#pragma once
// A wake-up between threads of different priorities that never makes the
// waking thread wait: a 32-bit word bumped on every wake and a futex on it.
//
// A mutex or condition variable shared with a thread of low priority can be
// held by that thread (the mutex itself, or the condition variable's own
// internal lock on a time-out) while it is preempted, and a real-time
// thread that wakes it then waits behind it. Here the waker only bumps the
// word and, when someone sleeps on it, makes one futex wake call.
//
// Use: a waiter reads value(), tests its condition, and calls wait(seen) or
// waitFor(seen, t) with the value read before the test; the waker changes
// the condition (atomically) before wake(). A wake that comes between the
// test and the wait changes the word, so the wait returns at once: no
// wake-up is lost. Waits may also return early (signals, spurious); callers
// test their condition again.

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>

namespace KALMO {

class WakeWord {
 public:
  uint32_t value() const { return word_.load(std::memory_order_seq_cst); }

  // Wakes every thread waiting on the word.
  void wake() {
    word_.fetch_add(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) != 0) futex(FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
  }

  // Sleeps while the word still holds `seen`.
  void wait(uint32_t seen) { sleep(seen, nullptr); }

  // Sleeps until done() holds or `timeout` has passed, whichever is first;
  // done() is tested after each wake, with the word read before the test.
  template <typename Done>
  void waitUntil(std::chrono::nanoseconds timeout, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const uint32_t seen = value();
      if (done()) return;
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return;
      waitFor(seen, deadline - now);
    }
  }

  // The same, for at most `timeout`.
  void waitFor(uint32_t seen, std::chrono::nanoseconds timeout) {
    if (timeout.count() <= 0) return;
    timespec t{};
    t.tv_sec = static_cast<time_t>(timeout.count() / 1'000'000'000);
    t.tv_nsec = static_cast<long>(timeout.count() % 1'000'000'000);
    sleep(seen, &t);
  }

 private:
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the futex is the atomic word");
  static_assert(std::atomic<uint32_t>::is_always_lock_free, "the futex is the atomic word");

  void sleep(uint32_t seen, const timespec* timeout) {
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    // The kernel compares the word with `seen` under its own lock: a wake
    // after the caller's test but before this call makes it return at once.
    if (word_.load(std::memory_order_seq_cst) == seen) futex(FUTEX_WAIT_PRIVATE, seen, timeout);
    waiters_.fetch_sub(1, std::memory_order_seq_cst);
  }

  long futex(int op, uint32_t value, const timespec* timeout) {
    return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word_), op, value, timeout, nullptr, 0);
  }

  std::atomic<uint32_t> word_{0};
  std::atomic<uint32_t> waiters_{0};
};

}  // namespace KALMO
