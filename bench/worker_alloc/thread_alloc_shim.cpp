// Preloaded into a real program, counts heap allocations per thread and
// relates them to the thread's audio packets, so that the streaming worker
// of the daemon can be measured without changing the daemon.
//
// A thread's streaming window runs from its first to its last audio packet
// (a datagram of more than 100 bytes to an address other than loopback; the
// log records go to loopback). A cycle is counted at an audio packet when
// the thread waited or received since its previous audio packet: inside a
// cycle the worker only sends. At exit the thread with the most audio
// packets is reported to $VELLORA_ALLOC_OUT (standard error without it):
//
//   packets=P cycles=C allocations=A cpu_ns_per_cycle=T
//
// (T: the worker's own CPU time per cycle, sampled every 64th packet.)
// With VELLORA_ALLOC_STACKS=1 the call stacks of the worker's allocations
// in its window are written too (binary offsets, for addr2line).
// With VELLORA_ALLOC_LATE=N every Nth audio packet is held back by 12 ms,
// which makes the following cycle start late on the real path.

#include <execinfo.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

constexpr int kSlots = 512;
constexpr int kStacks = 64;
constexpr int kDepth = 12;

struct Slot {
  std::atomic<uint64_t> allocations{0};
  uint64_t allocationsAtFirst = 0;
  uint64_t allocationsAtLast = 0;
  uint64_t packets = 0;
  uint64_t cycles = 0;
  bool waited = false;
  bool streaming = false;
  // The thread's CPU time at its first audio packet and at every 64th.
  uint64_t cpuAtFirst = 0;
  uint64_t cpuAtLast = 0;
  uint64_t cyclesAtCpuLast = 0;
};

uint64_t threadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

struct Stack {
  void* frames[kDepth];
  int depth;
  uint64_t count;
};

Slot g_slots[kSlots];
std::atomic<int> g_nextSlot{0};
Stack g_stacks[kStacks];
int g_stackCount = 0;
std::atomic<bool> g_stackLock{false};
bool g_wantStacks = false;
uint64_t g_lateEvery = 0;
bool g_ready = false;

__attribute__((tls_model("initial-exec"))) thread_local int t_slot = -1;
__attribute__((tls_model("initial-exec"))) thread_local bool t_inHook = false;

Slot* mySlot() {
  if (t_slot < 0) {
    const int s = g_nextSlot.fetch_add(1);
    t_slot = s < kSlots ? s : kSlots;  // kSlots: not tracked
  }
  return t_slot < kSlots ? &g_slots[t_slot] : nullptr;
}

void recordStack() {
  void* frames[kDepth + 2];
  const int n = backtrace(frames, kDepth + 2);
  const int depth = n > 2 ? n - 2 : 0;
  bool expected = false;
  while (!g_stackLock.compare_exchange_weak(expected, true)) expected = false;
  int i = 0;
  for (; i < g_stackCount; ++i) {
    if (g_stacks[i].depth == depth && std::memcmp(g_stacks[i].frames, frames + 2, depth * sizeof(void*)) == 0) break;
  }
  if (i == g_stackCount && g_stackCount < kStacks) {
    std::memcpy(g_stacks[i].frames, frames + 2, depth * sizeof(void*));
    g_stacks[i].depth = depth;
    g_stacks[i].count = 0;
    g_stackCount += 1;
  }
  if (i < g_stackCount) g_stacks[i].count += 1;
  g_stackLock.store(false);
}

void counted() {
  if (!g_ready || t_inHook) return;
  t_inHook = true;
  if (Slot* s = mySlot()) {
    s->allocations.fetch_add(1, std::memory_order_relaxed);
    if (g_wantStacks && s->streaming) recordStack();
  }
  t_inHook = false;
}

void marked() {
  if (!g_ready) return;
  if (Slot* s = mySlot()) s->waited = true;
}

void audioPacket() {
  Slot* s = mySlot();
  if (s == nullptr) return;
  const uint64_t a = s->allocations.load(std::memory_order_relaxed);
  if (!s->streaming) {
    s->streaming = true;
    s->allocationsAtFirst = a;
    s->cycles = 1;
    s->cpuAtFirst = threadCpuNs();
    s->cpuAtLast = s->cpuAtFirst;
    s->cyclesAtCpuLast = 1;
  } else if (s->waited) {
    s->cycles += 1;
  }
  s->waited = false;
  s->allocationsAtLast = a;
  s->packets += 1;
  if (s->packets % 64 == 0) {
    s->cpuAtLast = threadCpuNs();
    s->cyclesAtCpuLast = s->cycles;
  }
  if (g_lateEvery != 0 && s->packets % g_lateEvery == 0) {
    const timespec hold{0, 12 * 1000 * 1000};
    nanosleep(&hold, nullptr);
  }
}

bool isLoopback(const sockaddr* to) {
  if (to == nullptr) return false;
  if (to->sa_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(to);
    return IN6_IS_ADDR_LOOPBACK(&a->sin6_addr);
  }
  if (to->sa_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(to);
    return (ntohl(a->sin_addr.s_addr) >> 24) == 127;
  }
  return false;
}

using SendTo = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
using PPoll = int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*);
using RecvFrom = ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*);

SendTo realSendTo() {
  static SendTo f = reinterpret_cast<SendTo>(dlsym(RTLD_NEXT, "sendto"));
  return f;
}
PPoll realPPoll() {
  static PPoll f = reinterpret_cast<PPoll>(dlsym(RTLD_NEXT, "ppoll"));
  return f;
}
RecvFrom realRecvFrom() {
  static RecvFrom f = reinterpret_cast<RecvFrom>(dlsym(RTLD_NEXT, "recvfrom"));
  return f;
}

__attribute__((constructor)) void start() {
  t_inHook = true;
  void* warm[4];
  (void)backtrace(warm, 4);  // loads the unwinder before anything is counted
  (void)realSendTo();
  (void)realPPoll();
  (void)realRecvFrom();
  const char* stacks = std::getenv("VELLORA_ALLOC_STACKS");
  g_wantStacks = stacks != nullptr && std::strcmp(stacks, "1") == 0;
  if (const char* late = std::getenv("VELLORA_ALLOC_LATE")) g_lateEvery = std::strtoull(late, nullptr, 10);
  t_inHook = false;
  g_ready = true;
}

__attribute__((destructor)) void report() {
  g_ready = false;
  int best = -1;
  const int used = g_nextSlot.load() < kSlots ? g_nextSlot.load() : kSlots;
  for (int i = 0; i < used; ++i) {
    if (g_slots[i].packets > 0 && (best < 0 || g_slots[i].packets > g_slots[best].packets)) best = i;
  }
  const char* path = std::getenv("VELLORA_ALLOC_OUT");
  int fd = path ? ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644) : 2;
  if (fd < 0) return;
  char line[256];
  if (best < 0) {
    int n = std::snprintf(line, sizeof line, "packets=0 cycles=0 allocations=0\n");
    (void)!::write(fd, line, n);
  } else {
    const Slot& s = g_slots[best];
    const uint64_t cpuCycles = s.cyclesAtCpuLast > 1 ? s.cyclesAtCpuLast - 1 : 1;
    int n = std::snprintf(line, sizeof line, "packets=%llu cycles=%llu allocations=%llu cpu_ns_per_cycle=%llu\n",
                          static_cast<unsigned long long>(s.packets), static_cast<unsigned long long>(s.cycles),
                          static_cast<unsigned long long>(s.allocationsAtLast - s.allocationsAtFirst),
                          static_cast<unsigned long long>((s.cpuAtLast - s.cpuAtFirst) / cpuCycles));
    (void)!::write(fd, line, n);
  }
  for (int i = 0; i < g_stackCount; ++i) {
    int n = std::snprintf(line, sizeof line, "stack count=%llu\n", static_cast<unsigned long long>(g_stacks[i].count));
    (void)!::write(fd, line, n);
    backtrace_symbols_fd(g_stacks[i].frames, g_stacks[i].depth, fd);
  }
  if (fd != 2) ::close(fd);
}

}  // namespace

extern "C" {

void* malloc(size_t n) {
  counted();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
  counted();
  return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
  if (n != 0) counted();
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
void* memalign(size_t a, size_t n) {
  counted();
  return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) {
  counted();
  return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
  counted();
  void* p = __libc_memalign(a, n);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}

ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* to, socklen_t toLength) {
  if (g_ready && size > 100 && !isLoopback(to)) audioPacket();
  return realSendTo()(fd, data, size, flags, to, toLength);
}

int ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask) {
  marked();
  return realPPoll()(fds, n, timeout, mask);
}

ssize_t recvfrom(int fd, void* data, size_t size, int flags, sockaddr* from, socklen_t* fromLength) {
  marked();
  return realRecvFrom()(fd, data, size, flags, from, fromLength);
}

}  // extern "C"
