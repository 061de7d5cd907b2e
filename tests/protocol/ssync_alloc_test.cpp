// The streaming worker allocates nothing from the heap while it streams:
// steady cycles, late cycles, resends and feedback, with and without the
// data socket, below and at the debug log level.
//
// Every allocation of this test binary is counted per thread. The source's
// getNewStream runs on the worker thread, so it reads the worker's count at
// every block it hands out; the difference between two blocks well inside
// the stream is what the worker allocated in between.

#include "tests/protocol/ssync_fixture.h"

#include "base/syslog.h"

#include <cstdlib>
#include <new>

namespace {

thread_local uint64_t t_allocations = 0;
thread_local uint64_t t_records = 0;

void* counted(std::size_t n) {
  t_allocations += 1;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

void* countedAligned(std::size_t n, std::align_val_t a) {
  t_allocations += 1;
  const std::size_t align = static_cast<std::size_t>(a);
  const std::size_t size = (n + align - 1) / align * align;
  if (void* p = std::aligned_alloc(align, size ? size : align)) return p;
  throw std::bad_alloc();
}

}  // namespace

// The replacements keep malloc and free paired, which the compiler cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) { return counted(n); }
void* operator new[](std::size_t n) { return counted(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  t_allocations += 1;
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  t_allocations += 1;
  return std::malloc(n ? n : 1);
}
void* operator new(std::size_t n, std::align_val_t a) { return countedAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return countedAligned(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using namespace vellora_test;
using VELLORA::SSync;

// Counts the records that end on each thread; sends nothing anywhere.
void countRecord(const char*) { t_records += 1; }

// The frame counter source that also reads the worker's counts.
class CountingSource : public FrameSource {
 public:
  bool getNewStream(VELLORA::Stream& s) override {
    const uint64_t n = handedOut.fetch_add(1) + 1;
    if (n == fromBlock) {
      allocationsAtFrom = t_allocations;
      recordsAtFrom = t_records;
    } else if (n > fromBlock) {
      allocationsAtLast = t_allocations;
      recordsAtLast = t_records;
      blocksCounted = n - fromBlock;
    }
    return FrameSource::getNewStream(s);
  }

  uint64_t fromBlock = 5;
  std::atomic<uint64_t> handedOut{0};
  std::atomic<uint64_t> allocationsAtFrom{0}, allocationsAtLast{0};
  std::atomic<uint64_t> recordsAtFrom{0}, recordsAtLast{0};
  std::atomic<uint64_t> blocksCounted{0};
};

struct CountingRun {
  vsim::TargetSim sim;
  std::unique_ptr<vsim::Sink> sink;
  CountingSource host;
  explicit CountingRun(const vsim::SinkConfig& config) {
    sink = std::make_unique<vsim::Sink>(sim, vsim::ipv6("::1", 0), config);
  }
  ~CountingRun() { host.close(); }
};

// Puts a logger in place whose records only count, at the given level, and
// puts the previous one back at the end.
class CountingLogger {
 public:
  explicit CountingLogger(int level)
      : previous_(KALMO::SysLog::getOwn()), threshold_(KALMO::SysLog::threshold.load()) {
    (void)KALMO::SysLog::initialize(KALMO::SysLog::LOCAL0, countRecord);
    KALMO::SysLog::threshold = level;
  }
  ~CountingLogger() {
    KALMO::SysLog::threshold = threshold_;
    KALMO::SysLog::reinitialize(previous_);
  }
  CountingLogger(const CountingLogger&) = delete;
  CountingLogger& operator=(const CountingLogger&) = delete;

 private:
  void* previous_;
  int threshold_;
};

TEST(SSyncAllocation, WorkerStreamsWithoutHeapAllocation) {
  VELLORA_REQUIRE_PRIVATE_NET();
  struct Case {
    const char* what;
    bool dataPort;  // the sink offers the data socket (headerless packets)
    int level;      // log threshold
  } cases[] = {
      {"control socket, errors only", false, 3},
      {"data socket, errors only", true, 3},
      {"control socket, debug level", false, 6},
      {"data socket, debug level", true, 6},
  };
  for (const auto& c : cases) {
    CountingLogger logger(c.level);
    // What one record costs the logging front by itself, measured here;
    // the worker's records may cost that much and nothing more.
    const uint64_t before = t_allocations;
    { KALMO::SysLog::INFO << "probe " << 1; }
    const uint64_t perRecord = c.level >= 6 ? t_allocations - before : 0;

    vsim::SinkConfig config = pcmSink();
    config.answerSynchroNode = c.dataPort;
    config.offerDataPort = c.dataPort;
    CountingRun r(config);
    r.sink->dropEvery(40);
    // One hold of the worker well inside the counted blocks: the cycles
    // after it start late and are caught up.
    r.host.stallAt = 12;
    r.host.stallFor = std::chrono::milliseconds(6);

    VELLORA::FormatConfigure f(kStereo16At48k);
    const uint32_t bpf = f.getWid() * f.getChannel();
    ASSERT_TRUE(openTo(r.host, *r.sink)) << c.what;
    ASSERT_TRUE(r.host.setSinkConfigure(kStereo16At48k)) << c.what;
    ASSERT_TRUE(var1ms(r.host)) << c.what;
    const std::vector<uint8_t> audio = frameCounter(48000, bpf);
    r.host.setAudio(audio, 480 * bpf, f.getMuteByte());
    ASSERT_TRUE(connectHost(r.host)) << c.what;
    r.host.play();
    ASSERT_TRUE(eventually([&] { return r.host.allHandedOut(); }, std::chrono::seconds(30))) << c.what;
    ASSERT_TRUE(r.sink->waitAudio(audio.size() + bpf, std::chrono::seconds(30))) << c.what;
    r.host.disconnect();

    const vsim::SinkStats st = r.sink->stats();
    EXPECT_GE(st.dropped, 2u) << c.what;
    EXPECT_EQ(st.gaps, st.dropped) << c.what;
    EXPECT_GE(r.host.blocksCounted.load(), 80u) << c.what;
    const uint64_t allocations = r.host.allocationsAtLast - r.host.allocationsAtFrom;
    const uint64_t records = r.host.recordsAtLast - r.host.recordsAtFrom;
    if (c.level < 6) {
      EXPECT_EQ(records, 0u) << c.what;
    }
    EXPECT_EQ(allocations, records * perRecord)
        << c.what << ": " << allocations << " allocations, " << records << " records of "
        << perRecord << " allocations each";
  }
}

}  // namespace
