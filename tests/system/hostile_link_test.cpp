// The daemon, a well-behaved target and a hostile node or a misbehaving
// target on one link. The hostile node answers every discovery request from
// its silent UDP ports (and once from source port 0); the misbehaving target
// leaves one service of its ports unanswered, as a target whose firmware
// hangs does. The daemon must keep running, keep its cards, give the
// well-behaved target its card, stream to it exactly, release it when it
// goes, and keep every card's work and every scan short.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "sim/card_play/card_play.h"
#include "sim/driver/sim_card.h"
#include "sim/target/target_program.h"
#include "tests/system/system_rig.h"

namespace {

using vellora_system::Child;
using vellora_system::lateCount;
using vellora_system::linesStarting;
using vellora_system::loggedValues;
using vellora_system::PlayOptions;
using vellora_system::SystemRig;

struct Hostility {
  const char* name;
  unsigned flood;  // silent answering ports
  bool portZero;   // one answer from source port 0
};
void PrintTo(const Hostility& h, std::ostream* os) { *os << h.name; }

// The card-work gaps scans held, as the daemon reported them ("Card work
// gap : N ms in scan", logged from 100 ms), and the widest of them.
std::vector<long> scanGapsMs(const std::string& log) { return loggedValues(log, "Card work gap : ", " in scan"); }
long widestScanGapMs(const std::string& log) {
  const std::vector<long> gaps = scanGapsMs(log);
  return gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
}

// Waits until the port's connection has ended, and its received bytes stop
// growing (the stand-in reads data on a thread of its own).
void waitStreamEnd(SystemRig& rig, const std::string& key) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < end && rig.targetSummary()[key]["disconnects"] == "0") {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::string seen = rig.targetSummary()[key]["bytes"];
  for (int still = 0; still < 3 && std::chrono::steady_clock::now() < end + std::chrono::seconds(10);) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string now = rig.targetSummary()[key]["bytes"];
    still = now == seen ? still + 1 : 0;
    seen = now;
  }
}

// What a scan may hold the card work up: 250 ms is the aim; the daemon's
// loop runs in the idle scheduling class, so a loaded machine adds to it.
constexpr long kScanGapMs = 1000;

// Plays one second of a frame counter into the card `plays` times, a few
// seconds apart, and checks that each arrived exactly at the port `key`
// ("target:port"); the stand-in records each connection afresh. A player
// that was late (a loaded machine kept it from writing in time) proves
// nothing and plays again. Counts the plays made, retries included; false
// when a play could not run at all.
bool playExactly(SystemRig& rig, int card, unsigned plays, const std::string& key, unsigned& attempts) {
  const uint32_t sampleBytes = 2;
  const uint64_t bytes = 48000 * 2 * sampleBytes;  // one second
  const std::string file = rig.writePattern(bytes, sampleBytes, "exact.pattern");
  if (file.empty()) {
    ADD_FAILURE() << "no pattern file";
    return false;
  }
  const std::vector<uint8_t> played = vsim::CardPlay::pattern(0, bytes, sampleBytes);
  const size_t colon = key.find(':');
  PlayOptions o;
  o.periods = 32;
  attempts = 0;
  for (unsigned i = 0; i < plays; ++i) {
    for (int attempt = 1;; ++attempt) {
      std::string out;
      ++attempts;
      const int status = rig.play(card, file, o, &out);
      EXPECT_EQ(status, 0) << "play " << i << "\n" << out << rig.daemon().out();
      if (status != 0) return false;
      waitStreamEnd(rig, key);
      const vsim::RecordingMatch m =
          vsim::matchRecording(played, rig.recording(key.substr(0, colon), key.substr(colon + 1)));
      if (m.identical) break;
      if (lateCount(out) == 0 || attempt == 3) {
        ADD_FAILURE() << "play " << i << ": " << vsim::describeMatch(played, m) << "\n"
                      << out << rig.daemon().out();
        break;
      }
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
  }
  return true;
}

class HostileLinkTest : public ::testing::TestWithParam<Hostility> {};

TEST_P(HostileLinkTest, DaemonKeepsRunningAndStreamingToTheWellBehavedTarget) {
  const Hostility h = GetParam();
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  std::string error;
  const std::string hostileAt = rig.addTargetAddress(3, error);
  ASSERT_FALSE(hostileAt.empty()) << error;
  ASSERT_TRUE(rig.startTargets({"--target", "amp", "--address", "fe80::2:1", "--port", "out"}))
      << rig.targets().err();
  Child hostile;
  std::vector<std::string> argv{SystemRig::program("vellora-hostile-sim"), "--device",
                                rig.links().link(0).targetName, "--address", hostileAt, "--flood",
                                std::to_string(h.flood)};
  if (h.portZero) argv.push_back("--port-zero");
  ASSERT_TRUE(hostile.start(argv, {}, rig.links().targetNs().fd(), rig.dir() + "/hostile.out",
                            rig.dir() + "/hostile.err"));
  ASSERT_TRUE(hostile.waitOut("ready\n", std::chrono::seconds(10))) << hostile.err();

  ASSERT_TRUE(rig.startDaemon());
  const int card = rig.waitCard("amp", "out", std::chrono::seconds(30));
  ASSERT_GE(card, 0) << rig.daemon().out();
  vsim::SimCard watched;
  ASSERT_TRUE(watched.open(card, rig.simDir()));

  // Plays spread over at least two scans: each needs the card work to
  // connect and to disconnect again.
  unsigned attempts = 0;
  ASSERT_TRUE(playExactly(rig, card, 5, "amp:out", attempts));
  EXPECT_EQ(linesStarting(rig.daemon().out(), "connect DONE").size(), attempts);

  ASSERT_TRUE(rig.daemon().running()) << rig.daemon().out();
  const std::string log = rig.daemon().out();
  EXPECT_TRUE(linesStarting(log, "Scan Error").empty()) << log;
  EXPECT_TRUE(linesStarting(log, "lost node:").empty()) << log;
  EXPECT_FALSE(watched.removed());
  EXPECT_LE(widestScanGapMs(log), kScanGapMs) << log;
  std::printf("flood %u%s: widest card-work gap held by a scan %ld ms (logged from 100 ms), cut lines %zu\n",
              h.flood, h.portZero ? " and port 0" : "", widestScanGapMs(log), linesStarting(log, "Scan Cut ").size());
  if (h.portZero) {
    EXPECT_FALSE(linesStarting(log, "Find Skip source port 0 : ").empty()) << log;
  }
  if (h.flood > 0) {
    EXPECT_FALSE(linesStarting(log, "Scan Cut ").empty()) << log;
  }

  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
  // The hostile node answered at least two scans (three sweeps each).
  hostile.signal(SIGINT);
  EXPECT_EQ(hostile.wait(std::chrono::seconds(10)), 0);
  const std::string said = hostile.out();
  const size_t at = said.find("requests=");
  ASSERT_NE(at, std::string::npos) << said;
  EXPECT_GE(std::strtoul(said.c_str() + at + 9, nullptr, 10), 6u) << said;
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileLinkTest,
                         ::testing::Values(Hostility{"PortZeroAnswer", 0, true},
                                           Hostility{"SilentFlood", 100, false},
                                           Hostility{"FloodAndPortZero", 100, true}),
                         [](const ::testing::TestParamInfo<Hostility>& info) { return info.param.name; });

// A node beside the well-behaved target that answers badly.
enum class Misbehaving {
  SILENT_SYNC,     // a target's port endpoint leaves SYNCHRO_NODE_REQ unanswered
  SILENT_CONTROL,  // a target's ports, extra ones too, never answer on their control endpoints
  SILENT_STREAM,   // a target's ports, extra ones too, never answer the stream handshake
  KNOWN_SILENT,    // endpoints that answer their listing until the daemon knows them all,
                   // then only discovery, the name announcement and the port count
};

struct Misbehaviour {
  const char* name;
  Misbehaving kind;
  unsigned count;  // the target's extra ports, or the node's endpoints
  unsigned ports;  // the port count the node's endpoints answer once they hang
};
void PrintTo(const Misbehaviour& m, std::ostream* os) { *os << m.name; }

constexpr std::chrono::seconds kScanInterval{20};
// What one scan may take, discovery, listings and attaches together, with
// slack for a loaded machine: the listings have a time after which no more
// are started, the one under way then a time of its own, the attaches
// theirs. Well under the 20 s between scans.
constexpr long kScanTimeMs = 12000;
// A card comes with the first scan after its target arrived: that scan
// starts within 20 s and ends within its time; slack for a loaded machine.
constexpr auto kOneScan = kScanInterval + std::chrono::milliseconds(kScanTimeMs) + std::chrono::seconds(5);
// An idle port that vanished is released by the fourth scan that misses it.
constexpr auto kFourScans = 4 * kScanInterval + std::chrono::milliseconds(kScanTimeMs) + std::chrono::seconds(15);
// A scan-held card-work gap this wide may happen once on a loaded machine,
// not scan after scan: 250 ms is the aim, and a scan that attaches eight
// silent ports without card work between them holds one of about 250 ms.
constexpr long kRepeatedGapMs = 150;

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

class MisbehavingNodeTest : public ::testing::TestWithParam<Misbehaviour> {};

TEST_P(MisbehavingNodeTest, WellBehavedTargetGetsItsCardPlaysAndIsReleased) {
  const Misbehaviour m = GetParam();
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  std::string error;
  // The misbehaving target (fe80::2:1) sorts before the well-behaved one, so
  // whatever the daemon does port by port in address order meets it first.
  // The silent endpoints (fe80::2:6 on) sort after it: the share of new
  // targets a scan takes is not what this test is about.
  const std::string ampAt = rig.addTargetAddress(5, error);
  ASSERT_FALSE(ampAt.empty()) << error;
  std::vector<std::string> targets{"--target", "amp", "--address", ampAt, "--port", "main"};
  Child hostile;
  if (m.kind == Misbehaving::KNOWN_SILENT) {
    // Four endpoints per address at most, as many new ones as a scan takes
    // from one address: the scans' share of new targets alone sets how fast
    // they become known. Known, they stay so while they answer the name
    // announcement.
    std::vector<std::string> argv{SystemRig::program("vellora-hostile-sim"), "--device", rig.links().link(0).targetName,
                                  "--flood", std::to_string(m.count), "--known-ports", std::to_string(m.ports),
                                  // Known after three scans, at 0, 20 and 40 s.
                                  "--behave-for", "50"};
    for (unsigned short b = 6; b < 6 + (m.count + 3) / 4; ++b) {
      const std::string at = rig.addTargetAddress(b, error);
      ASSERT_FALSE(at.empty()) << error;
      argv.insert(argv.end(), {"--address", at});
    }
    ASSERT_TRUE(hostile.start(argv, {}, rig.links().targetNs().fd(), rig.dir() + "/hostile.out",
                              rig.dir() + "/hostile.err"));
    ASSERT_TRUE(hostile.waitOut("ready\n", std::chrono::seconds(10))) << hostile.err();
  } else {
    const char* what = m.kind == Misbehaving::SILENT_SYNC      ? "sync"
                       : m.kind == Misbehaving::SILENT_CONTROL ? "control"
                                                               : "stream";
    targets.insert(targets.end(), {"--target", "bad", "--address", "fe80::2:1", "--port", "out", "--hang", what,
                                   "--extra-ports", std::to_string(m.count)});
  }
  ASSERT_TRUE(rig.startTargets(targets)) << rig.targets().err();
  // The well-behaved target arrives once the daemon has met the other node.
  ASSERT_TRUE(rig.targetCommand("vanish amp"));
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(rig.startDaemon());
  (void)rig.daemon().waitOut("Scan time : ", std::chrono::seconds(5));
  ASSERT_TRUE(rig.targetCommand("appear amp"));
  const auto arrived = std::chrono::steady_clock::now();
  const int card = rig.waitCard("amp", "main", kOneScan);
  ASSERT_GE(card, 0) << "no card within one scan of the target's arrival\n" << rig.daemon().out();
  const double cardAfter = secondsSince(arrived);
  vsim::SimCard watched;
  ASSERT_TRUE(watched.open(card, rig.simDir()));
  unsigned attempts = 0;
  ASSERT_TRUE(playExactly(rig, card, 3, "amp:main", attempts));

  // Gone: three scans count it down and the fourth releases it, whatever
  // the other node costs them.
  ASSERT_TRUE(rig.targetCommand("vanish amp"));
  const auto vanished = std::chrono::steady_clock::now();
  EXPECT_TRUE(rig.daemon().waitOut("lost node:" + std::to_string(card) + " ", kFourScans)) << rig.daemon().out();
  const double releasedAfter = secondsSince(vanished);
  EXPECT_TRUE(watched.removed());

  ASSERT_TRUE(rig.daemon().running()) << rig.daemon().out();
  const std::string log = rig.daemon().out();
  EXPECT_TRUE(linesStarting(log, "Scan Error").empty()) << log;
  EXPECT_EQ(linesStarting(log, "connect DONE").size(), attempts) << log;
  // Counted down by three scans: missing, or seen without its status items
  // when it vanished between the two listings of a scan.
  EXPECT_GE(linesStarting(log, "Scan Mis 3 ").size() + linesStarting(log, "Scan Mis 4 ").size(), 3u) << log;
  // The card work went on through every scan.
  const std::vector<long> gaps = scanGapsMs(log);
  const auto repeated = std::count_if(gaps.begin(), gaps.end(), [](long g) { return g >= kRepeatedGapMs; });
  const long widest = widestScanGapMs(log);
  EXPECT_LE(widest, kScanGapMs) << log;
  EXPECT_LE(repeated, 1) << log;
  // Every scan ended within its time; the daemon says so at the end of each.
  const std::vector<long> times = loggedValues(log, "Scan time : ");
  const auto ran = static_cast<size_t>(secondsSince(started) / static_cast<double>(kScanInterval.count()));
  EXPECT_GE(times.size(), std::max<size_t>(ran, 2) - 1) << "scans that reported their time\n" << log;
  const long longest = times.empty() ? 0 : *std::max_element(times.begin(), times.end());
  EXPECT_LE(longest, kScanTimeMs) << log;
  if (m.kind == Misbehaving::SILENT_SYNC) {
    // The target's failed listing is its own miss, logged with its address.
    EXPECT_FALSE(linesStarting(log, "Scan Mis 1 ").empty()) << log;
  }
  long askedFor = 0;
  if (m.kind == Misbehaving::KNOWN_SILENT) {
    // How long a scan kept asking the silent endpoints, as they saw it.
    hostile.signal(SIGINT);
    EXPECT_EQ(hostile.wait(std::chrono::seconds(10)), 0);
    const std::string said = hostile.out();
    const size_t answered = said.find("listing=");
    ASSERT_NE(answered, std::string::npos) << said;
    const size_t at = said.find("longest=");
    ASSERT_NE(at, std::string::npos) << said;
    EXPECT_GT(std::strtoul(said.c_str() + answered + 8, nullptr, 10), 0u) << said;
    askedFor = std::strtol(said.c_str() + at + 8, nullptr, 10);
    EXPECT_LE(askedFor, kScanTimeMs) << said;
  }
  std::printf(
      "%s: card %.1f s after arrival, %zu handshakes; scans %zu, longest %ld ms%s; widest scan-held card-work gap "
      "%ld ms, %ld of %ld ms or more; released %.1f s after vanishing; attaches deferred %zu times\n",
      m.name, cardAfter, linesStarting(log, "Status : main").size(), times.size(), longest,
      askedFor != 0 ? (", asked for up to " + std::to_string(askedFor) + " ms").c_str() : "", widest,
      static_cast<long>(repeated), kRepeatedGapMs, releasedAfter, linesStarting(log, "Scan Cut attach : ").size());

  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
}

INSTANTIATE_TEST_SUITE_P(Misbehaving, MisbehavingNodeTest,
                         ::testing::Values(Misbehaviour{"SilentSync", Misbehaving::SILENT_SYNC, 0, 0},
                                           Misbehaviour{"SilentControl8", Misbehaving::SILENT_CONTROL, 8, 0},
                                           Misbehaviour{"SilentControl600", Misbehaving::SILENT_CONTROL, 600, 0},
                                           Misbehaviour{"SilentStream8", Misbehaving::SILENT_STREAM, 8, 0},
                                           Misbehaviour{"SilentStream600", Misbehaving::SILENT_STREAM, 600, 0},
                                           // Each costs its listing's waits once it hangs, 2.3 s.
                                           Misbehaviour{"KnownSilent17", Misbehaving::KNOWN_SILENT, 17, 20}),
                         [](const ::testing::TestParamInfo<Misbehaviour>& info) { return info.param.name; });

}  // namespace
