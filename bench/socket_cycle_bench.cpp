// What one cycle of the streaming worker costs in sends, for a cycle of 5
// packets of 1,400 bytes on the control socket and, in MS mode, the data
// socket too: all but the last packet non-blocking, the last one blocking.
// Either the sockets are switched between the two modes twice per cycle, or
// they stay blocking and the non-blocking sends are asked for per send.
// Runs in a private network namespace of its own (loopback only); needs
// root. Measurements, not pass/fail.

#include <benchmark/benchmark.h>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/ip_address.h"
#include "base/socket.h"

namespace {

constexpr int kPackets = 5;

bool privateLoopback() {
  if (::unshare(CLONE_NEWNET) != 0) return false;
  const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  if (ok) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  }
  ::close(fd);
  return ok;
}

// A receiver on [::1] that drains what arrives, and the senders aimed at it.
struct Link {
  KALMO::Socket receiver;
  KALMO::Socket senders[2];
  std::vector<uint8_t> packet = std::vector<uint8_t>(1400, 0x5A);
  std::vector<uint8_t> sink = std::vector<uint8_t>(2048);

  bool open() {
    KALMO::IPAddress local;
    local.address[15] = 1;
    if (!receiver.open(KALMO::Socket::UDP_IPV6) || !receiver.bindV6(local, 1) ||
        !receiver.setBlocking(false)) {
      return false;
    }
    for (KALMO::Socket& s : senders) {
      KALMO::IPAddress mine;
      mine.address[15] = 1;
      if (!s.open(KALMO::Socket::UDP_IPV6) || !s.bindV6(mine, 1)) return false;
      s.setToV6(local);
    }
    return true;
  }
  void drain() {
    size_t got = 0;
    KALMO::IPAddress from;
    do {
      got = 0;
      if (!receiver.receiveFromV6(KALMO::BufferCS{sink.data(), sink.size()}, got, from)) break;
    } while (got > 0);
  }
  KALMO::BufferCS_const bytes() const { return {packet.data(), packet.size()}; }
};

void cycleSwitching(benchmark::State& state) {
  Link link;
  if (!link.open()) {
    state.SkipWithError("no loopback sockets");
    return;
  }
  const int sockets = static_cast<int>(state.range(0));
  for (auto _ : state) {
    for (int s = 0; s < sockets; ++s) (void)link.senders[s].setBlocking(false);
    for (int k = 1; k <= kPackets; ++k) {
      if (k == kPackets) {
        for (int s = 0; s < sockets; ++s) (void)link.senders[s].setBlocking(true);
      }
      benchmark::DoNotOptimize(link.senders[sockets - 1].sendToV6(link.bytes(), true));
    }
    link.drain();  // the same for both ways, so their difference is the switching
  }
}

void cycleNoWait(benchmark::State& state) {
  Link link;
  if (!link.open()) {
    state.SkipWithError("no loopback sockets");
    return;
  }
  const int sockets = static_cast<int>(state.range(0));
  for (auto _ : state) {
    for (int k = 1; k <= kPackets; ++k) {
      KALMO::Socket& s = link.senders[sockets - 1];
      benchmark::DoNotOptimize(k == kPackets ? s.sendToV6(link.bytes(), true)
                                             : s.sendToV6NoWait(link.bytes(), true));
    }
    link.drain();  // the same for both ways, so their difference is the switching
  }
}

// Argument: sockets that change mode (1 control only, 2 in MS mode).
BENCHMARK(cycleSwitching)->Arg(1)->Arg(2);
BENCHMARK(cycleNoWait)->Arg(1)->Arg(2);

}  // namespace

int main(int argc, char** argv) {
  if (!privateLoopback()) {
    std::fprintf(stderr, "socket_cycle_bench needs root: it runs in a network namespace of its own\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
