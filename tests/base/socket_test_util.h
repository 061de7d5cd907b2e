#pragma once
// Small helpers for the socket tests.

#include "base/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace socktest {

inline KALMO::IPAddress endpoint(const char* v6, unsigned short port, uint32_t index = 0) {
  KALMO::IPAddress a;
  EXPECT_EQ(::inet_pton(AF_INET6, v6, a.address), 1) << v6;
  a.port = htons(port);
  a.interfaceIndex = index;
  return a;
}

inline KALMO::IPAddress endpoint(const in6_addr& address, unsigned short port, uint32_t index) {
  KALMO::IPAddress a;
  std::memcpy(a.address, &address, 16);
  a.port = htons(port);
  a.interfaceIndex = index;
  return a;
}

inline KALMO::BufferCS_const view(const std::string& s) {
  return KALMO::BufferCS_const{reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

inline std::string text(const KALMO::Buffer& b) { return std::string(b.begin(), b.end()); }

// An open UDP/IPv6 socket bound to the endpoint (its port filled in).
inline bool openBound(KALMO::Socket& s, KALMO::IPAddress& local) {
  return s.open(KALMO::Socket::UDP_IPV6) && s.bindV6(local, 1);
}

// Runs a shell command of the test's own network set-up.
inline bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// A copy of fd numbered at least `atLeast` (the soft limit raised as
// needed); -1 when the process may not have that many descriptors.
inline int highCopy(int fd, int atLeast) {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  if (lim.rlim_cur <= static_cast<rlim_t>(atLeast)) {
    if (lim.rlim_max <= static_cast<rlim_t>(atLeast)) return -1;
    lim.rlim_cur = static_cast<rlim_t>(atLeast) + 16;
    if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  }
  return ::fcntl(fd, F_DUPFD_CLOEXEC, atLeast);
}

// A wait run on a thread of its own that gets a handled signal (as the
// daemon's stop request is) three times while it waits.
struct SignalledWait {
  int result = -1;
  bool outlastedSignals = false;  // still waiting after the last signal
  int signals = 0;                // signals the handler saw
  std::chrono::steady_clock::duration took{};
};

inline std::atomic<int>& signalCount() {
  static std::atomic<int> count{0};
  return count;
}

inline void countSignal(int) { signalCount().fetch_add(1); }

// Runs `wait` on a new thread, signals it with SIGUSR1 from 100 ms on, then
// calls `afterSignals` (to make the wait end) and joins.
inline SignalledWait waitThroughSignals(const std::function<int()>& wait,
                                        const std::function<void()>& afterSignals) {
  struct sigaction handler {};
  struct sigaction saved {};
  handler.sa_handler = countSignal;
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = 0;  // no SA_RESTART (poll and select never restart anyway)
  SignalledWait w;
  if (::sigaction(SIGUSR1, &handler, &saved) != 0) return w;
  signalCount().store(0);
  std::atomic<int> result{-1};
  std::atomic<bool> started{false};
  std::thread waiter([&] {
    started.store(true);
    const auto start = std::chrono::steady_clock::now();
    result.store(wait());
    w.took = std::chrono::steady_clock::now() - start;
  });
  while (!started.load()) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (int i = 0; i < 3 && result.load() == -1; ++i) {
    ::pthread_kill(waiter.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  w.outlastedSignals = result.load() == -1;
  afterSignals();
  waiter.join();
  ::sigaction(SIGUSR1, &saved, nullptr);
  w.result = result.load();
  w.signals = signalCount().load();
  return w;
}

}  // namespace socktest
