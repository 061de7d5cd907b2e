// The buffered audio source: the ring and its silence through a subclass
// that starts no streaming worker, then whole connections to the stand-in
// sink with a hook that fills blocks with a frame counter.
#include "protocol/ssync_buffer.h"

#include "base/syslog.h"
#include "tests/base/syslog_test_util.h"
#include "tests/common/test_env.h"
#include "tests/protocol/ssync_fixture.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace vellora_test;
using VELLORA::FormatConfigure;
using VELLORA::SSync;
using VELLORA::SSyncBuffer;
using VELLORA::Stream;

constexpr uint64_t kStereo16At44k = 0x02 | 0x0200 | kRate44k | mult(0);
constexpr uint64_t kSix24At44k = 0x08 | 0x0400 | kRate44k | mult(0);
// DSD64 (44.1 kHz x 64) in 32-bit little-endian words, stereo.
constexpr uint64_t kDsdLsb = 0x02 | 0x2510000 | kRate44k | mult(6);
constexpr uint64_t kDsdMsb = 0x02 | 0x2610000 | kRate44k | mult(6);

// Log records collected in the process, from any thread.
class LogCapture {
 public:
  LogCapture() {
    logtest::resetLogger();
    active = this;
    (void)KALMO::SysLog::initialize(KALMO::SysLog::LOCAL0, &collect);
    VELLORA::SysLogVellora::vellora_log = 6;
  }
  ~LogCapture() {
    logtest::resetLogger();
    active = nullptr;
  }
  // Bodies of the records at `priority` (-1: any) that start with `prefix`.
  std::vector<std::string> with(const std::string& prefix, int priority = -1) const {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::string> out;
    for (const auto& r : records) {
      const auto parsed = logtest::parseRecord(r);
      if (!parsed || parsed->body.rfind(prefix, 0) != 0) continue;
      if (priority >= 0 && parsed->priority != priority) continue;
      out.push_back(parsed->body);
    }
    return out;
  }

 private:
  static void collect(const char* record) {
    if (active == nullptr) return;
    std::lock_guard<std::mutex> lock(active->mu);
    active->records.emplace_back(record);
  }
  static inline LogCapture* active = nullptr;
  mutable std::mutex mu;
  std::vector<std::string> records;
};

constexpr int kWarning = 16 * 8 + 4;

// The ring alone: no streaming worker is ever started, the tests read
// through getNewStream themselves. The hook records its calls.
class RingOnly : public SSyncBuffer {
 public:
  bool startSyncWorker() override { return true; }
  void notifyStreamDone(Stream& block, bool first) override {
    std::lock_guard<std::mutex> lock(mu);
    firsts.push_back(first);
    block.fill(static_cast<unsigned char>(0x40 + firsts.size()));
    cv.notify_all();
  }
  bool waitCalls(size_t n) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, 2s, [&] { return firsts.size() >= n; });
  }
  std::vector<bool> calls() {
    std::lock_guard<std::mutex> lock(mu);
    return firsts;
  }
  void setup(uint64_t format, unsigned long frames, unsigned long count, bool wait = false) {
    hostFormat = format;
    setupBuffer(frames, count, wait, 0);
  }
  // Block i of the ring holds byte i (the silence is replaced).
  void markBlocks() {
    for (size_t i = 0; i < blockRing.size(); ++i) blockRing[i].fill(static_cast<unsigned char>(i));
  }
  ~RingOnly() {
    syncState = Idle;
    close();
  }

  std::mutex mu;
  std::condition_variable cv;
  std::vector<bool> firsts;
};

bool allBytes(const Stream& s, uint8_t value) {
  return std::all_of(s.data, s.data + s.size, [&](uint8_t b) { return b == value; });
}

TEST(SSyncBufferRing, SetupGivesAFullRingOfSilenceThenTenMillisecondsOfIt) {
  struct Case {
    const char* name;
    uint64_t format;
    unsigned long frames;
    uint64_t blockBytes;
    uint64_t tenMs;
    uint8_t mute;
  };
  const Case cases[] = {
      {"16-bit stereo 48 kHz", kStereo16At48k, 480, 1920, 1920, 0x00},
      {"16-bit stereo 44.1 kHz", kStereo16At44k, 480, 1920, 1764, 0x00},
      {"24-bit 6 channels 44.1 kHz", kSix24At44k, 100, 1800, 7938, 0x00},
      {"DSD64 LSB first", kDsdLsb, 100, 800, 7056, 0x69},
      {"DSD64 MSB first", kDsdMsb, 100, 800, 7056, 0x96},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    RingOnly b;
    b.setup(c.format, c.frames, 8);
    ASSERT_EQ(b.blockRing.size(), 9u);
    EXPECT_EQ(b.blockBytes, c.blockBytes);
    for (const Stream& block : b.blockRing) {
      EXPECT_EQ(block.size, c.blockBytes);
      EXPECT_TRUE(allBytes(block, c.mute));
    }
    EXPECT_EQ(b.getLastBufferCount(), 8u);
    EXPECT_FALSE(b.buffer_empty());
    Stream out;
    for (size_t i = 1; i <= 8; ++i) {
      ASSERT_TRUE(b.getNewStream(out));
      EXPECT_EQ(out.data, b.blockRing[i].data);  // a view: no audio is copied
      EXPECT_TRUE(out.own.empty());
      EXPECT_EQ(out.size, c.blockBytes);
    }
    EXPECT_TRUE(b.buffer_empty());
    EXPECT_EQ(b.getLastBufferCount(), 0u);
    ASSERT_TRUE(b.getNewStream(out));
    EXPECT_EQ(out.size, c.tenMs);
    EXPECT_TRUE(allBytes(out, c.mute));
    EXPECT_EQ(log.with("SyncBuffer not enough mute data return ", kWarning),
              std::vector<std::string>{"SyncBuffer not enough mute data return " +
                                       std::to_string(c.tenMs)});
  }
}

TEST(SSyncBufferRing, EveryObjectKeepsItsOwnSilence) {
  struct Part {
    uint64_t format;
    uint8_t mute;
    uint64_t tenMs;
  };
  const Part parts[] = {{kStereo16At48k, 0x00, 1920}, {kDsdLsb, 0x69, 7056}, {kDsdMsb, 0x96, 7056},
                        {kStereo16At44k, 0x00, 1764}};
  RingOnly buffers[4];
  Stream views[4];
  for (int i = 0; i < 4; ++i) {
    buffers[i].setup(parts[i].format, 16, 0);  // a ring that is always empty
    ASSERT_TRUE(buffers[i].getNewStream(views[i]));
  }
  // Serving silence in one object leaves what the others served intact.
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(views[i].size, parts[i].tenMs);
    EXPECT_TRUE(allBytes(views[i], parts[i].mute));
  }
  // The same while every object serves on a thread of its own.
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&, i] {
      Stream s;
      for (int k = 0; k < 300; ++k) {
        if (!buffers[i].getNewStream(s) || s.size != parts[i].tenMs ||
            !allBytes(s, parts[i].mute)) {
          wrong.fetch_add(1);
        }
      }
    });
  }
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(SSyncBufferRing, SeekMovesTheReadPositionWithinTheRing) {
  struct Case {
    const char* name;
    int read;      // blocks taken first
    int refill;    // then blocks written through setStream
    long seek;     // 0: seek_front
    uint64_t readable;
    int next;      // marker of the next block handed out, -1: the ring is empty
  };
  const Case cases[] = {
      {"forward past the written blocks empties the ring", 6, 0, 3, 0, -1},
      {"forward on an empty ring", 8, 0, 2, 0, -1},
      {"backward on a full ring", 0, 0, -1, 8, 1},
      {"backward over blocks read before", 5, 0, -2, 5, 4},
      {"forward within the readable blocks", 5, 0, 2, 1, 8},
      {"front makes the whole ring readable", 5, 0, 0, 8, 1},
      {"backward across the ring's end", 8, 3, -4, 7, 5},
      {"backward stops at a full ring", 8, 3, -20, 8, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RingOnly b;
    b.setup(kStereo16At48k, 4, 8);
    b.markBlocks();
    Stream out;
    for (int i = 0; i < c.read; ++i) ASSERT_TRUE(b.getNewStream(out));
    for (int i = 0; i < c.refill; ++i) {
      Stream fresh;
      fresh.resize(16, static_cast<unsigned char>(b.writeBlock.load() - b.blockRing.data()));
      b.setStream(fresh);
      EXPECT_EQ(fresh.size, 16u);  // the caller got the ring's old block
    }
    if (c.seek == 0) {
      b.seek_front();
    } else {
      b.seek(c.seek);
    }
    EXPECT_EQ(b.getLastBufferCount(), c.readable);
    if (c.next < 0) {
      EXPECT_TRUE(b.buffer_empty());
    } else {
      ASSERT_TRUE(b.getNewStream(out));
      ASSERT_GT(out.size, 0u);
      EXPECT_EQ(out.data[0], c.next);
    }
  }
}

TEST(SSyncBufferRing, ADisconnectRequestEndsTheAudioAfterTheRemainingBlocks) {
  for (bool flgset : {true, false}) {
    SCOPED_TRACE(flgset ? "pre_disconnect(true)" : "pre_disconnect(false)");
    LogCapture log;
    RingOnly b;
    b.setup(kStereo16At48k, 480, 8);
    b.markBlocks();
    b.syncState = SSync::Connected;
    b.pre_disconnect(flgset);
    Stream out;
    for (int i = 1; i <= 8; ++i) {
      ASSERT_TRUE(b.getNewStream(out));
      EXPECT_EQ(out.data[0], i);
    }
    // The end: an empty block, and the state the worker closes the stream
    // on; a request seen while Connected would otherwise end it on a
    // time-out without the closing exchange.
    for (int i = 0; i < 3; ++i) {
      EXPECT_FALSE(b.getNewStream(out));
      EXPECT_EQ(out.size, 0u);
      EXPECT_EQ(out.data, nullptr);
    }
    EXPECT_EQ(b.syncState.load(), SSync::Disconnecting);
    EXPECT_EQ(log.with("discone flgset").size(), 1u);
    b.syncState = SSync::Idle;
  }
}

TEST(SSyncBufferStop, ReturnsOnceTheRingDrainedAndSilenceWasServed) {
  RingOnly b;
  b.setup(kStereo16At48k, 240, 8);  // 960-byte blocks, 10 ms of silence is 1920
  b.markBlocks();
  b.syncState = SSync::Connected;
  b.play();
  std::mutex mu;
  std::vector<std::pair<uint64_t, int>> got;  // size, first byte
  std::atomic<bool> done{false};
  std::thread reader([&] {
    Stream s;
    while (!done.load()) {
      if (b.playFlag.load() && b.getNewStream(s)) {
        std::lock_guard<std::mutex> lock(mu);
        got.emplace_back(s.size, s.size ? s.data[0] : -1);
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  b.stop();
  done = true;
  reader.join();
  EXPECT_FALSE(b.playFlag.load());
  EXPECT_TRUE(b.stopAck.load());
  ASSERT_GE(got.size(), 9u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(got[i], std::make_pair(uint64_t{960}, i + 1)) << i;
  EXPECT_EQ(got[8], std::make_pair(uint64_t{960}, 0));  // one silent block of blockBytes
  Stream s;
  ASSERT_TRUE(b.getNewStream(s));  // stopped: silence of blockBytes on
  EXPECT_EQ(s.size, 960u);
  b.play();
  ASSERT_TRUE(b.getNewStream(s));  // playing on an empty ring: 10 ms of silence
  EXPECT_EQ(s.size, 1920u);
  EXPECT_FALSE(b.stopAck.load());
}

TEST(SSyncBufferStop, WaitIsBoundedWhenNothingReadsTheRing) {
  struct Case {
    const char* name;
    SSync::SyncState state;
    bool playing;
    bool waits;
  };
  const Case cases[] = {
      {"no connection", SSync::Idle, true, false},
      {"connected, not playing", SSync::Connected, false, false},
      {"playing, but the worker is gone", SSync::Connected, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    RingOnly b;
    b.setup(kStereo16At48k, 480, 8);
    b.syncState = c.state;
    b.playFlag = c.playing;
    const auto t0 = std::chrono::steady_clock::now();
    b.stop();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_FALSE(b.playFlag.load());
    if (c.waits) {
      EXPECT_GE(took, 900ms);
      EXPECT_LT(took, 5s);
      EXPECT_EQ(log.with("SSyncBuffer::stop timeout").size(), 1u);
    } else {
      EXPECT_LT(took, 500ms);
      EXPECT_TRUE(log.with("SSyncBuffer::stop timeout").empty());
    }
    b.syncState = SSync::Idle;
  }
}

TEST(SSyncBufferWait, AReaderThatWaitsForDataWaitsAtMostTenMilliseconds) {
  // A writer 4 ms after the reader began to wait: the reader takes its block
  // and says how long it waited. On a loaded machine the writer can miss the
  // 10 ms slice; such a round (the reader timed out) is played again.
  bool taken = false;
  for (int round = 0; round < 5 && !taken; ++round) {
    LogCapture log;
    RingOnly b;
    b.setup(kStereo16At48k, 480, 8, true);
    Stream out;
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(b.getNewStream(out));
    std::thread writer([&] {
      std::this_thread::sleep_for(4ms);
      Stream block;
      block.resize(64, 0x5A);
      b.setStream(block);
    });
    taken = b.getNewStream(out);
    writer.join();
    if (!taken) {
      EXPECT_EQ(log.with("SyncBuffer not enough Timeout", kWarning).size(), 1u);
      continue;
    }
    EXPECT_EQ(out.size, 64u);
    EXPECT_TRUE(allBytes(out, 0x5A));
    const auto late = log.with("SyncBuffer not enough ", kWarning);
    ASSERT_EQ(late.size(), 1u);
    const int ms = std::stoi(late[0].substr(std::string("SyncBuffer not enough ").size()));
    EXPECT_GE(ms, 3);
    // One 10 ms slice, stretched by the scheduling of a loaded machine.
    EXPECT_LE(ms, 500);
  }
  ASSERT_TRUE(taken);
}

TEST(SSyncBufferWait, AReaderWithNothingToReadTimesOutAfterOneSlice) {
  LogCapture log;
  RingOnly b;
  b.setup(kStereo16At48k, 480, 8, true);
  Stream out;
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(b.getNewStream(out));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(b.getNewStream(out));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 9ms);
  EXPECT_EQ(log.with("SyncBuffer not enough Timeout", kWarning).size(), 1u);
}

TEST(SSyncBufferWorker, FillsFreeBlocksAndMarksTheFirstAfterAConsumedCycle) {
  LogCapture log;
  RingOnly b;
  b.setup(kStereo16At48k, 480, 4);
  b.syncState = SSync::Connected;
  ASSERT_TRUE(b.startBufferWorker());
  std::this_thread::sleep_for(30ms);
  EXPECT_TRUE(b.calls().empty());  // a full ring is left alone
  Stream out;
  b.getNewStreamCmp();  // the worker finished a cycle with a block
  ASSERT_TRUE(b.getNewStream(out));
  ASSERT_TRUE(b.waitCalls(1));
  ASSERT_TRUE(b.getNewStream(out));
  ASSERT_TRUE(b.waitCalls(2));
  EXPECT_EQ(b.calls(), (std::vector<bool>{true, false}));
  EXPECT_EQ(b.getLastBufferCount(), 4u);
  // The filled blocks are handed out in ring order after the silent ones.
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(b.getNewStream(out));
    EXPECT_EQ(out.data[0], 0);
  }
  ASSERT_TRUE(b.waitCalls(4));
  ASSERT_TRUE(b.getNewStream(out));
  EXPECT_EQ(out.data[0], 0x41);
  ASSERT_TRUE(b.getNewStream(out));
  EXPECT_EQ(out.data[0], 0x42);

  // A stop request pauses the filling; the end of the connection ends the
  // worker and acknowledges any stop.
  b.stopReq = true;
  const size_t before = b.calls().size();
  while (b.getNewStream(out) && !b.stopAck.load()) {
  }
  std::this_thread::sleep_for(30ms);
  EXPECT_LE(b.calls().size(), before + 1);  // at most the block in hand
  b.play();
  b.syncState = SSync::Idle;
  b.close();
  EXPECT_FALSE(b.bufferThread.joinable());
  EXPECT_TRUE(b.stopReq.load());
  EXPECT_TRUE(b.stopAck.load());
  EXPECT_EQ(log.with("finish BufferWorker").size(), 1u);
  EXPECT_EQ(log.with("done BufferWorker").size(), 1u);
}

// The connect runs on the daemon's idle-class main thread. The buffer
// worker must be real-time as soon as it exists, not only once it has run
// far enough to raise itself: on a busy machine an idle-class thread may
// not run for tens of milliseconds while the stream already plays.
TEST(SSyncBufferWorker, IsRealTimeFromItsStartWhenStartedFromAnIdleThread) {
  VELLORA_REQUIRE_ROOT();
  int policy = -1;
  std::thread starter([&policy] {
    const sched_param none{};
    if (::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &none) != 0) return;
    RingOnly b;
    b.setup(kStereo16At48k, 480, 4);
    b.syncState = SSync::Connected;
    if (!b.startBufferWorker()) return;
    sched_param param{};
    if (::pthread_getschedparam(b.bufferThread.native_handle(), &policy, &param) != 0) policy = -2;
    b.syncState = SSync::Idle;
    b.close();
  });
  starter.join();
  EXPECT_EQ(policy, SCHED_RR) << "SCHED_IDLE is " << SCHED_IDLE;
}

// SSync::connect needs a valid wire format and profile; no worker is
// started by the subclass.
void makeConnectable(SSyncBuffer& b) {
  b.wireFormat = kStereo16At48k;
  b.hostFormat = kStereo16At48k;
  b.maxPacketSize = 1432;
  VELLORA::Profile p;
  p.cycle = 1000 * kUs;
  p.packetsPerCycle = 1;
  p.framesPerPacketQ14 = 48 * 16384;
  b.setConfigTransfer(p);
}

TEST(SSyncBufferConnect, AConnectReplacesABufferWorkerThatIsStillThere) {
  RingOnly b;
  makeConnectable(b);
  b.setup(kStereo16At48k, 480, 4);
  ASSERT_TRUE(b.connect(true, -1));
  EXPECT_EQ(b.syncState.load(), SSync::Connecting);
  ASSERT_TRUE(b.bufferThread.joinable());
  // A second connect while the first still runs: one buffer worker only.
  ASSERT_TRUE(b.connect(true, -1));
  EXPECT_TRUE(b.bufferThread.joinable());
  // The connection ends by itself; the next set-up and connect go on.
  b.syncState = SSync::Idle;
  b.setup(kStereo16At48k, 480, 4);
  EXPECT_FALSE(b.bufferThread.joinable());
  ASSERT_TRUE(b.connect(true, -1));
  EXPECT_FALSE(b.stopReq.load());
}

TEST(SSyncBufferConnect, ABufferWorkerThatCannotStartFailsTheConnect) {
  struct NoWorker : RingOnly {
    bool startBufferWorker() override { return false; }
  };
  LogCapture log;
  NoWorker b;
  makeConnectable(b);
  b.setup(kStereo16At48k, 480, 4);
  EXPECT_FALSE(b.connect(true, -1));
  EXPECT_EQ(log.with("Buffer Worker Start Error").size(), 1u);
  EXPECT_EQ(b.syncState.load(), SSync::Idle);
}

}  // namespace

// ------------------------------------------------------------ with the sink

// Fills every block with the next frames of the counter; after `limit`
// blocks it leaves them empty, so the ring runs dry and silence is served.
class CounterBuffer : public SSyncBuffer {
 public:
  explicit CounterBuffer(uint64_t limitBlocks = UINT64_MAX) : limit(limitBlocks) {}
  ~CounterBuffer() { close(); }

  void notifyStreamDone(Stream& block, bool) override {
    if (blocks >= limit) {
      block.resize(0);
      return;
    }
    const uint32_t bpf = hostFormat.getWid() * hostFormat.getChannel();
    const uint64_t frames = blockBytes / bpf;
    block.resize(frames * bpf);
    const uint64_t first = produced.load();
    for (uint64_t f = 0; f < frames; ++f) {
      for (uint32_t j = 0; j < bpf; ++j) block.data[f * bpf + j] = patternByte(first + f, j);
    }
    produced = first + frames;
    ++blocks;
  }

  std::atomic<uint64_t> produced{0};  // frames written into blocks
  std::atomic<uint64_t> blocks{0};
  const uint64_t limit;
};

std::vector<uint8_t> counterBytes(uint64_t first, uint64_t frames, uint32_t bpf) {
  std::vector<uint8_t> out(frames * bpf);
  for (uint64_t f = 0; f < frames; ++f) {
    for (uint32_t j = 0; j < bpf; ++j) out[f * bpf + j] = patternByte(first + f, j);
  }
  return out;
}

// The audio without its silence: the counter never holds a silence byte.
std::vector<uint8_t> withoutSilence(const std::vector<uint8_t>& audio, uint8_t mute) {
  std::vector<uint8_t> out;
  for (uint8_t b : audio) {
    if (b != mute) out.push_back(b);
  }
  return out;
}

::testing::AssertionResult isCounter(const std::vector<uint8_t>& got, uint64_t first, uint32_t bpf) {
  if (got.size() % bpf != 0) {
    return ::testing::AssertionFailure() << got.size() << " bytes are not whole frames";
  }
  const std::vector<uint8_t> want = counterBytes(first, got.size() / bpf, bpf);
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
  if (diff.first != got.end()) {
    return ::testing::AssertionFailure() << "byte " << (diff.first - got.begin()) << " of "
                                         << got.size() << " differs from the counter";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult startStream(SSyncBuffer& host, const vsim::Sink& sink, uint64_t format) {
  if (auto r = openTo(host, sink); !r) return r;
  if (!host.setSinkConfigure(format)) return ::testing::AssertionFailure() << "format refused";
  if (!var1ms(host)) return ::testing::AssertionFailure() << "no profile";
  host.setupBuffer(480, 8, false, 0);
  if (!host.connectPrepare()) return ::testing::AssertionFailure() << "connectPrepare failed";
  if (!host.connect(true, -1)) return ::testing::AssertionFailure() << "connect failed";
  (void)host.connectWait();
  if (host.syncState.load() != SSync::Connected) {
    return ::testing::AssertionFailure() << "state " << int(host.syncState.load());
  }
  host.play();
  return ::testing::AssertionSuccess();
}

constexpr uint64_t kRingSilence = 8 * 1920;  // the ring's first lap at 480 frames
constexpr uint64_t k300ms = 48000 * 4 * 3 / 10;

TEST(SSyncBufferStream, AFrameCounterArrivesByteForByteAcrossStopAndPlay) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vsim::TargetSim sim;
  vsim::Sink sink(sim, vsim::ipv6("::1", 0), pcmSink());
  CounterBuffer host;
  ASSERT_TRUE(startStream(host, sink, kStereo16At48k));
  ASSERT_TRUE(sink.waitAudio(kRingSilence + k300ms, 10s));

  host.stop();
  EXPECT_FALSE(host.playFlag.load());
  const uint64_t stoppedAt = sink.stats().audioBytes;
  ASSERT_TRUE(sink.waitAudio(stoppedAt + 19200, 10s));
  {
    // Packets on their way when stop returned may still land; after them
    // only silence while stopped.
    const auto audio = sink.audio();
    EXPECT_TRUE(std::all_of(audio.begin() + stoppedAt + 4800, audio.begin() + stoppedAt + 19200,
                            [](uint8_t b) { return b == 0; }));
  }

  host.play();
  ASSERT_TRUE(sink.waitAudio(sink.stats().audioBytes + k300ms, 10s));
  host.disconnect();
  EXPECT_EQ(host.syncState.load(), SSync::Idle);
  EXPECT_FALSE(host.bufferThread.joinable());
  EXPECT_GE(sink.stats().disconnects, 1u);

  const auto audio = withoutSilence(sink.audio(), 0);
  EXPECT_TRUE(isCounter(audio, 0, 4));
  EXPECT_GE(audio.size(), 2 * k300ms - kRingSilence);
}

TEST(SSyncBufferStream, AConnectionTheSinkEndedIsConnectedAgainAtOnce) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vsim::TargetSim sim;
  vsim::Sink sink(sim, vsim::ipv6("::1", 0), pcmSink());
  CounterBuffer host;
  ASSERT_TRUE(startStream(host, sink, kStereo16At48k));
  ASSERT_TRUE(sink.waitAudio(kRingSilence + k300ms, 10s));

  ASSERT_TRUE(sink.sendToHost(VELLORA::DSICONNECT_ANS, VELLORA::STATUS_ACK, 0));
  ASSERT_TRUE(eventually([&] { return host.syncState.load() == SSync::Idle; }, 5000ms));
  const auto firstStream = withoutSilence(sink.audio(), 0);
  EXPECT_TRUE(isCounter(firstStream, 0, 4));
  EXPECT_GE(firstStream.size(), k300ms / 2);
  // The buffer worker acknowledged on its way out: stop does not wait.
  const auto t0 = std::chrono::steady_clock::now();
  host.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);

  // The card stays prepared: connect again at once, as the card path does;
  // the connect itself ends the old buffer worker.
  ASSERT_TRUE(host.bufferThread.joinable());
  ASSERT_TRUE(host.connectPrepare());
  const uint64_t first = host.produced.load();
  ASSERT_TRUE(host.connect(true, -1));
  (void)host.connectWait();
  ASSERT_EQ(host.syncState.load(), SSync::Connected);
  host.play();
  ASSERT_TRUE(sink.waitAudio(k300ms, 10s));
  // A stop and a play within the new connection lose and repeat nothing.
  host.stop();
  EXPECT_FALSE(host.playFlag.load());
  ASSERT_TRUE(sink.waitAudio(sink.stats().audioBytes + 19200, 10s));
  host.play();
  ASSERT_TRUE(sink.waitAudio(sink.stats().audioBytes + k300ms, 10s));
  host.disconnect();
  EXPECT_EQ(host.syncState.load(), SSync::Idle);
  EXPECT_GE(sink.stats().disconnects, 1u);

  // The second stream's audio (the sink starts afresh on a connect): the
  // blocks the first connection left in the ring come first, then what the
  // hook fills from where it stood; one counter without a gap or a repeat,
  // starting after the first stream's audio (what the ended worker had
  // taken but not sent is gone with it) and no later than the hook. The
  // whole audio is compared: the counter repeats itself for short runs.
  const auto audio = withoutSilence(sink.audio(), 0);
  ASSERT_GE(audio.size(), k300ms);
  uint64_t start = firstStream.size() / 4;
  while (start < first && !isCounter(audio, start, 4)) ++start;
  EXPECT_TRUE(isCounter(audio, start, 4));
}

TEST(SSyncBufferStream, ADisconnectAtAnyMomentOfTheConnectEndsTheConnection) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vsim::TargetSim sim;
  vsim::Sink sink(sim, vsim::ipv6("::1", 0), pcmSink());
  CounterBuffer host;
  ASSERT_TRUE(openTo(host, sink));
  ASSERT_TRUE(host.setSinkConfigure(kStereo16At48k));
  ASSERT_TRUE(var1ms(host));
  // From before the worker has sent anything to well after the sink
  // answered: whichever of the two changes the state first, the connection
  // ends, both threads are joined, and the state is Idle.
  for (int k = 0; k < 30; ++k) {
    SCOPED_TRACE(k);
    host.setupBuffer(480, 8, false, 0);
    ASSERT_TRUE(host.connect(true, -1));
    std::this_thread::sleep_for(std::chrono::microseconds(200 * k));
    const auto t0 = std::chrono::steady_clock::now();
    host.disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_EQ(host.syncState.load(), SSync::Idle);
    EXPECT_FALSE(host.workerThread.joinable());
    EXPECT_FALSE(host.bufferThread.joinable());
  }
}

TEST(SSyncBufferStream, ConnectionsWithDifferentSilenceStreamAtOnce) {
  VELLORA_REQUIRE_PRIVATE_NET();
  struct Part {
    uint64_t format;
    uint8_t mute;
  };
  const Part parts[] = {{kStereo16At48k, 0x00}, {kDsdLsb, 0x69}, {kDsdMsb, 0x96}};
  vsim::TargetSim sim;
  std::vector<std::unique_ptr<vsim::Sink>> sinks;
  std::vector<std::unique_ptr<CounterBuffer>> hosts;
  for (const Part& p : parts) {
    vsim::SinkConfig config;
    const FormatConfigure f(p.format);
    if (f.isDSDlsb()) {
      config.dsdLsb = p.format;
    } else if (f.isDSDmsb()) {
      config.dsdMsb = p.format;
    } else {
      config = pcmSink();
    }
    sinks.push_back(std::make_unique<vsim::Sink>(sim, vsim::ipv6("::1", 0), config));
    // 20 blocks of the counter, then the ring runs dry and serves silence.
    hosts.push_back(std::make_unique<CounterBuffer>(20));
    ASSERT_TRUE(startStream(*hosts.back(), *sinks.back(), p.format));
  }
  for (size_t i = 0; i < hosts.size(); ++i) {
    ASSERT_TRUE(eventually([&] { return hosts[i]->blocks >= 20; }, 10000ms));
  }
  std::this_thread::sleep_for(300ms);  // silence from every ring at once
  for (auto& h : hosts) h->disconnect();
  for (size_t i = 0; i < hosts.size(); ++i) {
    SCOPED_TRACE(i);
    const FormatConfigure f(parts[i].format);
    const uint32_t bpf = f.getWid() * f.getChannel();
    const auto expected = counterBytes(0, 20 * 480, bpf);
    EXPECT_TRUE(audioMatches(sinks[i]->audio(), expected, parts[i].mute, true));
    EXPECT_GE(sinks[i]->stats().disconnects, 1u);
  }
}

TEST(SSyncBufferStream, ARequestOnAnEmptyRingEndsTheStreamWithTheClosingExchange) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vsim::TargetSim sim;
  vsim::Sink sink(sim, vsim::ipv6("::1", 0), pcmSink());
  CounterBuffer host(0);  // the ring stays empty: silence is served
  ASSERT_TRUE(startStream(host, sink, kStereo16At48k));
  ASSERT_TRUE(sink.waitAudio(kRingSilence + 19200, 10s));
  // The request alone, while the state still says Connected.
  host.pre_disconnect(false);
  ASSERT_TRUE(eventually([&] { return host.syncState.load() == SSync::Idle; }, 10000ms));
  EXPECT_EQ(sink.stats().disconnects, 1u);
  host.disconnect();
  EXPECT_FALSE(host.workerThread.joinable());
}

TEST(SSyncBufferStream, ADisconnectWhileConnectingGivesTheAttemptUpAtOnce) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vsim::SinkConfig config = pcmSink();
  config.answerConnect = false;  // the worker would try for 3 x 10 s
  vsim::TargetSim sim;
  vsim::Sink sink(sim, vsim::ipv6("::1", 0), config);
  CounterBuffer host;
  ASSERT_TRUE(openTo(host, sink));
  ASSERT_TRUE(host.setSinkConfigure(kStereo16At48k));
  ASSERT_TRUE(var1ms(host));
  host.setupBuffer(480, 8, false, 0);
  ASSERT_TRUE(host.connectPrepare());
  ASSERT_TRUE(host.connect(true, -1));
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(host.syncState.load(), SSync::Connecting);
  const auto t0 = std::chrono::steady_clock::now();
  host.disconnect();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_EQ(host.syncState.load(), SSync::Idle);
  EXPECT_FALSE(host.workerThread.joinable());
  EXPECT_FALSE(host.bufferThread.joinable());
}
