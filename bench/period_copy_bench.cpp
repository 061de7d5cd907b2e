// Cost of taking one period out of a card's ring, in the simple copy and in
// the delay-line mode, with the log threshold at the daemon's default
// (notice): the writer stand-in puts one period into the ring, the copy
// takes one block out. Measurements, not pass/fail. The "allocs/block"
// counter is the heap allocations made per block in the timed loop: the
// simple copy is meant to make none once its block has its size; the delay
// line allocates the buffer of each write it takes in.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "host/period_copy.h"
#include "protocol/syslog_vellora.h"
#include "sim/driver/sim_card.h"

namespace {
std::atomic<uint64_t> allocations{0};
}  // namespace

// Every allocation of the program is counted; the timed loops read the
// count before and after. (g++ takes the malloc and free inside these
// replacements for a mismatched pair.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Audio of the writer: quiet 16-bit PCM (the high bytes are mostly 0x00 and
// 0xFF, the low ones are not), or bytes with no silence-like run at all.
std::vector<uint8_t> audio(size_t n, bool quiet) {
  std::vector<uint8_t> v(n);
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    const uint8_t r = static_cast<uint8_t>(x >> 16);
    if (quiet && i % 2 == 1) {
      v[i] = (r & 1) ? 0xFF : 0x00;
    } else {
      v[i] = static_cast<uint8_t>(r | 0x01) == 0xA5 ? 0x17 : static_cast<uint8_t>(r | 0x01);
    }
  }
  return v;
}

// args: period bytes, delay line (0/1), quiet audio (0/1).
void BM_periodCopy(benchmark::State& state) {
  const uint32_t period = static_cast<uint32_t>(state.range(0));
  const bool delayLine = state.range(1) != 0;
  const bool quiet = state.range(2) != 0;
  VELLORA::SysLogVellora::vellora_log = KALMO::SysLog::NOTICE;
  vsim::MemoryCard card(period * 4);
  card.geometry(card.ringBytes, 4);
  card.run(true);
  PeriodCopy copy;
  copy.attach(card.ring, card.ringBytes, card.block);
  copy.reset(card.ringBytes, 4);
  // Enough different periods that no write repeats the one before.
  const std::vector<uint8_t> source = audio(size_t{period} * 7, quiet);
  VELLORA::Stream out;
  size_t at = 0;
  // One block first, so that the block has its size before the count.
  vsim::cardWrite(card.ring, card.ringBytes, *card.block, source.data(), period);
  copy.fill(out, delayLine, 0x00);
  at = period;
  const uint64_t before = allocations.load(std::memory_order_relaxed);
  for (auto _ : state) {
    vsim::cardWrite(card.ring, card.ringBytes, *card.block, source.data() + at, period);
    at = (at + period) % (size_t{period} * 7);
    benchmark::DoNotOptimize(copy.fill(out, delayLine, 0x00));
    benchmark::DoNotOptimize(out.data);
  }
  const uint64_t made = allocations.load(std::memory_order_relaxed) - before;
  state.counters["allocs/block"] =
      static_cast<double>(made) / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * period);
}
// 10 ms periods: 48 kHz 16-bit stereo, 192 kHz 32-bit eight channels.
BENCHMARK(BM_periodCopy)
    ->ArgNames({"period", "delayLine", "quiet"})
    ->Args({1920, 0, 0})
    ->Args({1920, 1, 0})
    ->Args({1920, 1, 1})
    ->Args({61440, 0, 0})
    ->Args({61440, 1, 0})
    ->Args({61440, 1, 1});

}  // namespace

BENCHMARK_MAIN();
