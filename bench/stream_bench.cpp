// Costs on the streaming path: each sample converter against memcpy of the
// same bytes, building and sending one data packet against a bare sendto of
// the same size on loopback, and the allocations of the steady-state cycle
// of a real stream to the stand-in sink. Measurements, not pass/fail.

#include "protocol/convert.h"
#include "protocol/message.h"
#include "protocol/ssync.h"
#include "sim/target/sink.h"
#include "sim/target/target_sim.h"

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

// ---- allocation counting (only on threads that ask for it)

namespace {
thread_local bool g_countHere = false;
std::atomic<uint64_t> g_allocations{0};
}  // namespace

// The replacements keep malloc and free paired, which the compiler cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (g_countHere) g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using VELLORA::SyncConvert;

// In cache: source and destination together fit the core's L2. Out of
// cache: both are far larger than the last-level cache, so every pass
// streams from and to memory.
constexpr size_t kInCache = 64 * 1024;
constexpr size_t kOutOfCache = 64 * 1024 * 1024;

struct Buffers {
  std::vector<unsigned char> src, dst;
  explicit Buffers(size_t n) : src(n), dst(n) {
    for (size_t i = 0; i < n; ++i) src[i] = static_cast<unsigned char>(i * 131 + 7);
    // Touch the destination so page faults stay out of the timed loop.
    std::memset(dst.data(), 0, n);
  }
};

void BM_memcpy(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  Buffers b(n);
  for (auto _ : state) {
    std::memcpy(b.dst.data(), b.src.data(), n);
    benchmark::DoNotOptimize(b.dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_memcpy)->Arg(kInCache)->Arg(kOutOfCache);

template <SyncConvert::Converter C>
void BM_convert(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  Buffers b(n);
  for (auto _ : state) {
    C(b.dst.data(), b.src.data(), n);
    benchmark::DoNotOptimize(b.dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
#define VELLORA_CONVERT_BENCH(fn, label) \
  BENCHMARK(BM_convert<SyncConvert::fn>)->Name("convert/" label)->Arg(kInCache)->Arg(kOutOfCache)
VELLORA_CONVERT_BENCH(memcpySyncOrg, "Org");
VELLORA_CONVERT_BENCH(memcpySyncAntiPhase, "AntiPhase");
VELLORA_CONVERT_BENCH(memcpySyncByteSwap32, "ByteSwap32");
VELLORA_CONVERT_BENCH(memcpySyncByteSwap32AntiPhase, "ByteSwap32AntiPhase");
VELLORA_CONVERT_BENCH(memcpySyncBitSwap32, "BitSwap32");
VELLORA_CONVERT_BENCH(memcpySyncBitSwap32AntiPhase, "BitSwap32AntiPhase");
VELLORA_CONVERT_BENCH(memcpySyncBitByteSwap32, "BitByteSwap32");
VELLORA_CONVERT_BENCH(memcpySyncBitByteSwap32AntiPhase, "BitByteSwap32AntiPhase");
#undef VELLORA_CONVERT_BENCH

// ---- one packet: build + send, against a bare sendto

constexpr size_t kPayload = 1432;

struct Loopback {
  int receiver = -1;
  sockaddr_in6 to{};
  Loopback() {
    receiver = ::socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    ::bind(receiver, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof to;
    ::getsockname(receiver, reinterpret_cast<sockaddr*>(&to), &len);
  }
  ~Loopback() { ::close(receiver); }
  // Keeps the receive queue from filling up.
  void drain() {
    char buf[2048];
    while (::recv(receiver, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
  }
  KALMO::IPAddress endpoint() const {
    KALMO::IPAddress e{};
    std::memcpy(e.address, &to.sin6_addr, 16);
    e.port = to.sin6_port;
    return e;
  }
};

void BM_bareSendto(benchmark::State& state) {
  Loopback lo;
  const int s = ::socket(AF_INET6, SOCK_DGRAM, 0);
  std::vector<uint8_t> bytes(kPayload + VELLORA::HEADER_SIZE, 0x55);
  uint64_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(::sendto(s, bytes.data(), bytes.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&lo.to), sizeof lo.to));
    if (++n % 64 == 0) lo.drain();
  }
  ::close(s);
}
BENCHMARK(BM_bareSendto);

// What the worker does per new packet: header, payload size, the audio
// through the converter, header copy, send with retry.
void BM_buildAndSendPacket(benchmark::State& state) {
  Loopback lo;
  KALMO::Socket s;
  s.open(KALMO::Socket::UDP_IPV6);
  KALMO::IPAddress local{};
  s.bindV6(local, 1000);
  s.setToV6(lo.endpoint());
  VELLORA::SSync::STresendList r;
  r.reserve(kPayload + 1);
  std::vector<uint8_t> audio(kPayload, 0x33);
  const SyncConvert::Converter conv = SyncConvert::memcpySyncOrg;
  uint16_t sequence = 0;
  uint64_t n = 0;
  for (auto _ : state) {
    r.set(VELLORA::STREAMDATA_REQ, 0, sequence++, 0, 0, 0);
    if (!r.resize(kPayload)) state.SkipWithError("resize");
    conv(r.get_data(), audio.data(), kPayload);
    r.statusUpdate(VELLORA::CYCLE_END | VELLORA::INFO_REQ, VELLORA::CYCLE_END);
    benchmark::DoNotOptimize(s.sendToV6(r, true));
    if (++n % 64 == 0) lo.drain();
  }
}
BENCHMARK(BM_buildAndSendPacket);

// ---- ratios

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // CPU time, not wall time: on a shared machine a preempted run would
  // otherwise count the other processes' time. With repetitions the median
  // stands for the benchmark.
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type == Run::RT_Iteration) {
        times.try_emplace(r.run_name.str(), r.GetAdjustedCPUTime());
      } else if (r.aggregate_name == "median") {
        times[r.run_name.str()] = r.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

// ---- allocations of the steady-state cycle

class CountingSource : public VELLORA::SSync {
 public:
  std::vector<uint8_t> block = std::vector<uint8_t>(1920, 0x11);
  std::atomic<bool> counting{false};
  bool getNewStream(VELLORA::Stream& s) override {
    g_countHere = counting.load();
    if (syncState.load() == Disconnecting) return false;
    s.data = block.data();
    s.size = block.size();
    return true;
  }
  bool getNewStreamCmp() override {
    g_countHere = counting.load();
    cycles.fetch_add(1);
    return true;
  }
  std::atomic<uint64_t> cycles{0};
};

void steadyStateAllocations() {
  vsim::TargetSim sim;
  vsim::SinkConfig config;
  config.pcm = 0x02 | 0x0200 | (1ull << 34) | (1ull << 35);
  vsim::Sink sink(sim, vsim::ipv6("::1", 0), config);
  CountingSource host;
  const auto mode = static_cast<VELLORA::SSync::THRED_MODE>(0);
  if (!host.open(mode, 10'000'000'000ull, 0, "bench", 1, -1, -1, 0) ||
      !host.setSink(sink.address(), 0, false) || !host.setSinkConfigure(config.pcm) ||
      !host.configTransferVar(1'000'000'000ull, 0) || !host.connectPrepare() || !host.connect(-1) ||
      !host.connectWait() || host.syncState.load() != VELLORA::SSync::Connected) {
    std::printf("steady-state allocations: no stream to the stand-in sink (needs loopback and a real-time priority)\n");
    return;
  }
  host.play();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const uint64_t c0 = host.cycles.load();
  g_allocations = 0;
  host.counting = true;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  host.counting = false;
  const uint64_t allocations = g_allocations.load();
  const uint64_t cycles = host.cycles.load() - c0;
  host.disconnect();
  std::printf("steady-state allocations on the worker: %llu over %llu cycles that took a block\n",
              static_cast<unsigned long long>(allocations), static_cast<unsigned long long>(cycles));
}

}  // namespace

int main(int argc, char** argv) {
  // Unless told otherwise, every benchmark runs five times in random order
  // and the ratios use the medians, so a burst of load on a shared machine
  // falls on memcpy and the converters alike.
  std::vector<char*> args(argv, argv + argc);
  bool repetitionsGiven = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) repetitionsGiven = true;
  }
  char repetitions[] = "--benchmark_repetitions=5";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  if (!repetitionsGiven) {
    args.push_back(repetitions);
    args.push_back(interleave);
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto& t = reporter.times;
  auto time = [&](const std::string& name) {
    auto it = t.find(name);
    return it == t.end() ? 0.0 : it->second;
  };
  // Converter time / memcpy time of the same bytes, in the order above.
  const char* const converters[] = {"Org",           "AntiPhase",          "ByteSwap32",
                                    "ByteSwap32AntiPhase", "BitSwap32", "BitSwap32AntiPhase",
                                    "BitByteSwap32", "BitByteSwap32AntiPhase"};
  const double copyIn = time("BM_memcpy/" + std::to_string(kInCache));
  const double copyOut = time("BM_memcpy/" + std::to_string(kOutOfCache));
  if (copyIn > 0 || copyOut > 0) {
    std::printf("\nconverters on the %s path\n", SyncConvert::pathInUse());
    std::printf("converter time / memcpy time   in cache (64 KiB)   out of cache (64 MiB)\n");
    auto ratio = [&](const char* c, size_t n, double copy) {
      const double v = time(std::string("convert/") + c + "/" + std::to_string(n));
      return copy > 0 && v > 0 ? v / copy : 0.0;
    };
    for (const char* c : converters) {
      std::printf("  %-28s %8.2f %20.2f\n", c, ratio(c, kInCache, copyIn),
                  ratio(c, kOutOfCache, copyOut));
    }
  }
  const double bare = time("BM_bareSendto");
  if (bare > 0) {
    std::printf("build+send packet / bare sendto (%zu bytes): %.2f\n", kPayload,
                time("BM_buildAndSendPacket") / bare);
  }
  steadyStateAllocations();
  benchmark::Shutdown();
  return 0;
}
