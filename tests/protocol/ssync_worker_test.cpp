// The running worker: its wait modes, what lateness does to the cycles and
// to the profile in use, and the send-time trace on the log port.

#include "tests/base/syslog_test_util.h"
#include "tests/protocol/ssync_fixture.h"

#include <dirent.h>
#include <fcntl.h>

#include <fstream>
#include <set>
#include <string>

namespace {

using namespace vellora_test;
using VELLORA::SSync;

// Thread ids of this process.
std::set<long> taskIds() {
  std::set<long> ids;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return ids;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') ids.insert(std::stol(e->d_name));
  }
  ::closedir(dir);
  return ids;
}

// Times a thread gave up the CPU by blocking (a yield does not count).
long blockedTimes(long tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  return -1;
}

// Every record on the log port, read once the stream has ended.
std::vector<std::string> bodies(logtest::LogReceiver& rx) {
  std::vector<std::string> out;
  while (auto record = rx.next(std::chrono::milliseconds(200))) {
    if (auto parsed = logtest::parseRecord(*record)) out.push_back(parsed->body);
  }
  return out;
}

size_t countStarting(const std::vector<std::string>& records, const std::string& text) {
  size_t n = 0;
  for (const auto& b : records) n += b.rfind(text, 0) == 0 ? 1 : 0;
  return n;
}

constexpr size_t kTraceBytes = 353 * 4;

// Records the worker's log to [::1]:19640 at `level` while it lives.
class LogToPort {
 public:
  explicit LogToPort(KALMO::SysLog::SysLogLevel level) : rx(logtest::kLogPort) {
    logtest::resetLogger();
    ok = rx.ok() && VELLORA::SysLogVellora::initialize(KALMO::SysLog::LOCAL0, logtest::kLogPort, false) &&
         VELLORA::SysLogVellora::changeLevel(level, logtest::kLogPort);
  }
  ~LogToPort() { logtest::resetLogger(); }
  logtest::LogReceiver rx;
  bool ok = false;
};

// Cycle lengths in packets, between the cycle-end marks.
std::vector<size_t> cycleRuns(const std::vector<vsim::SinkPacket>& packets) {
  std::vector<size_t> runs;
  size_t start = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    if (!packets[i].cycleEnd) continue;
    runs.push_back(i + 1 - start);
    start = i + 1;
  }
  return runs;
}

// ---------------------------------------------------------------- wait modes

struct WaitCase {
  const char* what;
  int32_t mode;
  uint64_t cycleUs;
  bool blocks;  // the worker may block on the socket between cycles
};

void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.what; }

class SSyncWaitModes : public ::testing::TestWithParam<WaitCase> {};

// Whatever the wait, the audio arrives byte for byte; the spinning modes,
// and the short-sleep mode when no wait is over 100 us, never block.
TEST_P(SSyncWaitModes, StreamByteForByteAndBlockOnlyWhereTheModeAllows) {
  VELLORA_REQUIRE_PRIVATE_NET();
  const WaitCase& c = GetParam();
  StreamRun r;
  r.mode = static_cast<SSync::THRED_MODE>(c.mode);
  // One packet per cycle, 48 frames per millisecond.
  const VELLORA::Profile p = cycleProfile(c.cycleUs, 1, 0, static_cast<uint32_t>(48 * 16384 * c.cycleUs / 1000));
  const std::set<long> before = taskIds();
  r.stream(kStereo16At48k, 48 * 500, [&](SSync& h) {
    h.setConfigTransfer(p);
    return true;
  }, StreamRun::PLAYING);
  if (HasFatalFailure()) return;
  std::vector<long> started;
  for (long id : taskIds()) {
    if (!before.count(id)) started.push_back(id);
  }
  ASSERT_EQ(started.size(), 1u) << "the worker is the one new thread";
  const long worker = started.front();

  // Over 200 ms of cycles once the stream runs.
  const uint64_t cycles = 200 * 1000 / c.cycleUs;
  ASSERT_TRUE(r.sink->waitStats([](const vsim::SinkStats& s) { return s.packets >= 20; },
                                std::chrono::seconds(10)));
  const uint64_t p0 = r.sink->stats().packets;
  const long b0 = blockedTimes(worker);
  ASSERT_TRUE(r.sink->waitStats([&](const vsim::SinkStats& s) { return s.packets >= p0 + cycles; },
                                std::chrono::seconds(20)));
  const long b1 = blockedTimes(worker);
  const uint64_t sent = r.sink->stats().packets - p0;
  ASSERT_GE(b0, 0);
  if (c.blocks) {
    EXPECT_GE(static_cast<uint64_t>(b1 - b0), sent / 4) << c.what;
  } else {
    EXPECT_LE(static_cast<uint64_t>(b1 - b0), 5 + sent / 50) << c.what;
  }

  ASSERT_TRUE(eventually([&] { return r.host.allHandedOut(); }, std::chrono::seconds(30)));
  ASSERT_TRUE(r.sink->waitAudio(r.expected.size() + 4, std::chrono::seconds(30)));
  r.host.disconnect();
  EXPECT_EQ(r.host.syncState.load(), SSync::Idle);
  EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true)) << c.what;
  EXPECT_EQ(r.sink->stats().gaps, 0u) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SSyncWaitModes,
    ::testing::Values(
        WaitCase{"sleeping", 0, 1000, true},
        WaitCase{"sleeping, 100 us cycle", 0, 100, true},
        WaitCase{"short sleeps spun, 1 ms cycle", SSync::NOSHORTSLEEP, 1000, true},
        WaitCase{"short sleeps spun, 100 us cycle", SSync::NOSHORTSLEEP, 100, false},
        WaitCase{"no sleep for a core", SSync::NOSLEEP4CORE, 1000, false},
        WaitCase{"no sleep forced", SSync::NOSLEEPFORCE, 1000, false},
        WaitCase{"yield once, sleeping", SSync::IDLEONCE, 1000, true},
        WaitCase{"yield always, sleeping", SSync::IDLEALWAYS, 1000, true},
        WaitCase{"yield once, spinning", SSync::IDLEONCE | SSync::NOSLEEP4CORE, 1000, false},
        WaitCase{"yield always, spinning", SSync::IDLEALWAYS | SSync::NOSLEEPFORCE, 1000, false}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return "Row" + std::to_string(info.index); });

// ---------------------------------------------------------------- lateness

// After the worker was held for 30 cycles: double cycles until the schedule
// is met, or with NOFASTFEEDBACK single cycles back to back. Each late
// cycle logs "over time "; threshold 5 records no send-time trace.
TEST(SSyncLateness, HeldWorkerCatchesUpByDoubleOrBackToBackCycles) {
  VELLORA_REQUIRE_PRIVATE_NET();
  struct Case {
    const char* what;
    bool noFastFeedback;
  } cases[] = {{"double cycles", false}, {"back to back", true}};
  for (const auto& c : cases) {
    LogToPort log(KALMO::SysLog::NOTICE);
    ASSERT_TRUE(log.ok);
    vsim::SinkConfig config = pcmSink();
    config.answerSynchroNode = false;  // cycle ends are seen on the control port
    config.latency = 3000;             // above 200 ms, NOFASTFEEDBACK is kept
    StreamRun r(config);
    if (c.noFastFeedback) r.mode = SSync::NOFASTFEEDBACK;
    r.host.stallAt = 6;
    r.host.stallFor = std::chrono::milliseconds(30);
    r.stream(kStereo16At48k, 48 * 300, [&](SSync& h) {
      h.setConfigTransfer(cycleProfile(1000, 3, 64, 16 * 16384));
      return true;
    });
    if (HasFatalFailure()) return;
    EXPECT_EQ((r.host.workMode.load() & SSync::NOFASTFEEDBACK) != 0, c.noFastFeedback) << c.what;
    EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true)) << c.what;
    EXPECT_EQ(r.sink->stats().gaps, 0u) << c.what;

    const std::vector<size_t> runs = cycleRuns(r.sink->packets());
    size_t streak = 0, longest = 0;
    for (size_t run : runs) {
      if (c.noFastFeedback) {
        EXPECT_EQ(run, 3u) << c.what;
      } else {
        EXPECT_TRUE(run == 3 || run == 6) << c.what << " " << run;
      }
      streak = run == 6 ? streak + 1 : 0;
      longest = std::max(longest, streak);
    }
    // 30 cycles behind: each double cycle makes up one.
    if (!c.noFastFeedback) {
      EXPECT_GE(longest, 10u) << c.what;
    }

    const auto records = bodies(log.rx);
    EXPECT_GE(countStarting(records, "over time "), c.noFastFeedback ? 20u : 10u) << c.what;
    for (const auto& b : records) EXPECT_NE(b.size(), kTraceBytes) << c.what;
  }
}

// Sustained lateness moves the stream to the second profile at the next
// feedback, and once on time again back to the first.
TEST(SSyncLateness, ProfileStepsUpWhenLateAndBackWhenOnTime) {
  VELLORA_REQUIRE_PRIVATE_NET();
  LogToPort log(KALMO::SysLog::NOTICE);
  ASSERT_TRUE(log.ok);
  vsim::SinkConfig config = pcmSink();
  config.answerSynchroNode = false;
  StreamRun r(config);
  // 60 cycles behind: a score of about 300, over the 199 that steps.
  r.host.stallAt = 6;
  r.host.stallFor = std::chrono::milliseconds(60);
  r.stream(kStereo16At48k, 48 * 600, [&](SSync& h) {
    // The same rate either way: 3 x 64 bytes a millisecond, 3 x 128 every two.
    h.setConfigTransfer(cycleProfile(1000, 3, 64, 16 * 16384));
    h.profiles[1] = cycleProfile(2000, 3, 128, 32 * 16384);
    h.profileCount = 2;
    return true;
  });
  if (HasFatalFailure()) return;
  EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true));
  EXPECT_EQ(r.sink->stats().gaps, 0u);
  const auto packets = r.sink->packets();
  size_t firstLarge = packets.size(), smallAgain = packets.size();
  for (size_t i = 0; i < packets.size(); ++i) {
    ASSERT_TRUE(packets[i].bytes == 64 || packets[i].bytes == 128) << i << " " << packets[i].bytes;
    if (packets[i].bytes == 128 && firstLarge == packets.size()) firstLarge = i;
    if (packets[i].bytes == 64 && firstLarge < i && smallAgain == packets.size()) smallAgain = i;
  }
  EXPECT_LT(firstLarge, packets.size()) << "never stepped to the second profile";
  EXPECT_LT(smallAgain, packets.size()) << "never stepped back";
  const auto records = bodies(log.rx);
  EXPECT_GE(countStarting(records, "over time change profile 0 to 1"), 1u);
  EXPECT_GE(countStarting(records, "over time recover profile 1 to 0"), 1u);
}

// The second entry of the table is what a failed search left: no cycle and
// no packets. Sustained lateness must not step the stream onto it (it would
// send nothing and spin on a schedule that never moves); the stream stays
// on the first profile and every byte arrives.
TEST(SSyncLateness, LatenessNeverStepsOntoAnUnusableProfile) {
  VELLORA_REQUIRE_PRIVATE_NET();
  LogToPort log(KALMO::SysLog::NOTICE);
  ASSERT_TRUE(log.ok);
  vsim::SinkConfig config = pcmSink();
  config.answerSynchroNode = false;
  StreamRun r(config);
  r.host.stallAt = 6;
  r.host.stallFor = std::chrono::milliseconds(60);
  r.stream(kStereo16At48k, 48 * 600, [&](SSync& h) {
    h.setConfigTransfer(cycleProfile(1000, 3, 64, 16 * 16384));
    h.profiles[1] = VELLORA::Profile{};
    h.profileCount = 2;
    return true;
  });
  if (HasFatalFailure()) return;
  EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true));
  EXPECT_EQ(r.sink->stats().gaps, 0u);
  for (const auto& p : r.sink->packets()) ASSERT_EQ(p.bytes, 64u);
  const auto records = bodies(log.rx);
  EXPECT_GE(countStarting(records, "over time "), 1u);
  EXPECT_EQ(countStarting(records, "over time change profile"), 0u);
}

// ---------------------------------------------------------------- trace

// At threshold 6 every packet sent is traced: (send time in us, bytes on
// the wire) pairs, flushed as one raw record at 176 pairs or once 50 ms
// have passed since the first pair.
TEST(SSyncTrace, EveryPacketSentIsTracedInBoundedRecords) {
  VELLORA_REQUIRE_PRIVATE_NET();
  struct Case {
    const char* what;
    uint16_t packets;
    uint32_t bytes;
    bool fullRecords;  // more than 176 packets go out in 50 ms
  } cases[] = {{"flushed by time", 3, 64, false}, {"flushed by count", 6, 32, true}};
  for (const auto& c : cases) {
    LogToPort log(KALMO::SysLog::INFO);
    ASSERT_TRUE(log.ok);
    vsim::SinkConfig config = pcmSink();
    config.answerSynchroNode = false;
    StreamRun r(config);
    const uint32_t framesQ14 = c.bytes / 4 * 16384;
    r.stream(kStereo16At48k, 48 * 400, [&](SSync& h) {
      h.setConfigTransfer(cycleProfile(1000, c.packets, c.bytes, framesQ14));
      return true;
    });
    if (HasFatalFailure()) return;
    const uint64_t sent = r.sink->stats().packets;
    uint64_t traced = 0;
    size_t full = 0, byTime = 0;
    bool havePrevious = false;
    uint32_t previousLast = 0;
    for (const auto& b : bodies(log.rx)) {
      if (b.size() != kTraceBytes) continue;
      uint32_t w[353];
      std::memcpy(w, b.data(), sizeof w);
      ASSERT_EQ(w[0] & 0xFF00FFFFu, 0x01000000u) << c.what;
      const uint32_t pairs = (w[0] >> 16) & 0xFF;
      ASSERT_GE(pairs, 1u) << c.what;
      ASSERT_LE(pairs, 176u) << c.what;
      for (uint32_t i = 1 + 2 * pairs; i < 353; ++i) ASSERT_EQ(w[i], 0u) << c.what << " word " << i;
      const uint32_t first = w[1];
      // Times only move on, within a record and from one to the next.
      if (havePrevious) {
        EXPECT_LT(first - previousLast, 1u << 31) << c.what;
      }
      for (uint32_t k = 0; k < pairs; ++k) {
        EXPECT_EQ(w[2 + 2 * k], 16 + c.bytes + 74) << c.what << " pair " << k;
        if (k > 0) {
          EXPECT_LT(w[1 + 2 * k] - w[2 * k - 1], 1u << 31) << c.what << " pair " << k;
        }
        // Only the pair that ends a record may lie 50 ms after its first.
        if (k + 1 < pairs) {
          EXPECT_LE(w[1 + 2 * k] - first, 49999u) << c.what << " pair " << k;
        }
      }
      const uint32_t span = w[2 * pairs - 1] - first;
      if (pairs == 176) {
        ++full;
      } else {
        EXPECT_GT(span, 49999u) << c.what << ": flushed early with " << pairs << " pairs";
        ++byTime;
      }
      havePrevious = true;
      previousLast = w[2 * pairs - 1];
      traced += pairs;
    }
    // The pairs not yet flushed when the stream ended are never logged.
    EXPECT_LE(traced, sent) << c.what;
    EXPECT_GT(traced + 176, sent) << c.what;
    EXPECT_GT(c.fullRecords ? full : byTime, 2u) << c.what;
  }
}

// The descriptor itself is in non-blocking mode.
bool nonBlocking(const KALMO::Socket& s) {
  const int flags = ::fcntl(s.getDescriptor(), F_GETFL);
  return flags != -1 && (flags & O_NONBLOCK) != 0;
}

// Cycles of several packets send all but the last without blocking, yet
// leave both sockets blocking between cycles; sockets that SOCKETNOBLOCK
// made non-blocking stay so while it is set and turn blocking once it is
// cleared while streaming.
TEST(SSyncSockets, CyclesOfSeveralPacketsLeaveTheSocketsBlocking) {
  VELLORA_REQUIRE_PRIVATE_NET();
  struct Case {
    const char* what;
    int32_t openMode;
    int32_t laterMode;
    bool nonBlockingAtFirst;
    bool nonBlockingLater;
  } cases[] = {
      {"default mode", 0, 0, false, false},
      {"SOCKETNOBLOCK kept", SSync::SOCKETNOBLOCK, SSync::SOCKETNOBLOCK, true, true},
      {"SOCKETNOBLOCK cleared", SSync::SOCKETNOBLOCK, 0, true, false},
  };
  for (const auto& c : cases) {
    StreamRun r;  // the sink offers the data socket: both sockets send
    r.mode = static_cast<SSync::THRED_MODE>(c.openMode);
    r.stream(kStereo16At48k, 48 * 1500, [&](SSync& h) {
      h.setConfigTransfer(cycleProfile(1000, 3, 64, 16 * 16384));
      return true;
    }, StreamRun::PLAYING);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(r.host.dataSocket.is_open()) << c.what;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(nonBlocking(r.host.socket), c.nonBlockingAtFirst) << c.what;
    EXPECT_EQ(nonBlocking(r.host.dataSocket), c.nonBlockingAtFirst) << c.what;
    r.host.changeWorkMode(static_cast<SSync::THRED_MODE>(c.laterMode));
    // Several cycles pass; a sample between two sends of one cycle would
    // still find a blocking socket.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(nonBlocking(r.host.socket), c.nonBlockingLater) << c.what;
      EXPECT_EQ(nonBlocking(r.host.dataSocket), c.nonBlockingLater) << c.what;
      std::this_thread::sleep_for(std::chrono::microseconds(700));
    }
    ASSERT_TRUE(eventually([&] { return r.host.allHandedOut(); }, std::chrono::seconds(30))) << c.what;
    ASSERT_TRUE(r.sink->waitAudio(r.expected.size() + 4, std::chrono::seconds(30))) << c.what;
    r.host.disconnect();
    EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true)) << c.what;
    EXPECT_EQ(r.sink->stats().gaps, 0u) << c.what;
  }
}

}  // namespace
