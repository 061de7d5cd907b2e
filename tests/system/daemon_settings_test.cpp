// Settings that cannot stream, as an operator writes them, through the real
// programs: the daemon must hold each at a value that streams, so a short
// play ends in about its own length and arrives unchanged.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim/card_play/card_play.h"
#include "sim/target/target_program.h"
#include "tests/system/system_rig.h"

namespace {

using vellora_system::lateCount;
using vellora_system::occurrences;
using vellora_system::PlayOptions;
using vellora_system::SystemRig;

// The log lines around the first line holding `what`, to show why it came.
std::string around(const std::string& log, const std::string& what) {
  const auto at = log.find(what);
  if (at == std::string::npos) return "";
  size_t from = at;
  for (int lines = 0; from > 0 && lines < 40; --from) lines += log[from - 1] == '\n';
  size_t to = at;
  for (int lines = 0; to < log.size() && lines < 10; ++to) lines += log[to] == '\n';
  return log.substr(from, to - from);
}

struct Played {
  int status = -1;
  double seconds = 0;
  bool identical = false;
  std::string out;
};

// Two seconds of the frame counter at 48 kHz, 16-bit stereo; the player
// gives up after 20 s.
Played playTwoSeconds(SystemRig& rig, int card) {
  constexpr uint64_t bytes = 48000 * 4 * 2;
  Played p;
  const std::string file = rig.writePattern(bytes, 2, "out.pattern");
  PlayOptions o;
  o.timeoutMs = 20000;
  const auto start = std::chrono::steady_clock::now();
  p.status = rig.play(card, file, o, &p.out);
  p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The stream ends once the card is no longer prepared; then the bytes the
  // port received stop growing.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string seen;
  for (int still = 0; still < 3 && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto summary = rig.targetSummary();
    const std::string now = summary["amp:out"]["bytes"];
    still = now == seen && summary["amp:out"]["disconnects"] != "0" ? still + 1 : 0;
    seen = now;
  }
  p.identical = vsim::matchRecording(vsim::CardPlay::pattern(0, bytes, 2), rig.recording("amp", "out")).identical;
  return p;
}

TEST(DaemonSettings, UnusableValuesAreHeldSoThatAPlayStreams) {
  const struct {
    const char* what;
    std::vector<std::string> lines;
    const char* warning;
  } cases[] = {
      {"a cycle of 1 us", {"CycleTime=1"}, "Setting: CycleTime 1 held at 400"},
      {"a 32-byte ring", {"periodMax=4", "periodSizeMax=8"}, "Setting: periodSizeMax 8 held at "},
      {"a cycle longer than the card buffer", {"CycleTime=100000"}, "Setting: CycleTime 100000 held at "},
      {"a random cycle whose shortest draw the card's hold passes",
       {"FlexCycle=random", "CycleTime=100000", "CycleMinTime=60000"}, "Setting: CycleMinTime 60000 held at "},
      // The worker steps to the second entry (searched from the file's
      // cycle) when it falls behind: that cycle is held for the card buffer.
      {"an automatic profile with a long second entry", {"TargetProfileLimitTime=400", "CycleTime=100000"},
       "Setting: CycleTime 100000 held at "},
      // Beyond what a key takes: held at its end, named as written.
      {"a cycle beyond 32 bits", {"CycleTime=2147483648"}, "Setting: CycleTime 2147483648 held at 2147483647"},
      {"an info interval of 0", {"InfoCycle=0"}, "Setting: InfoCycle 0 held at 1000"},
      {"a worker mode of no known bit", {"ThredMode=4096"}, "Setting: ThredMode 4096 held at 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SystemRig rig;
    VELLORA_SETUP_RIG(rig);
    ASSERT_TRUE(rig.startTargets({"--target", "amp", "--port", "out"})) << rig.targets().err();
    ASSERT_TRUE(rig.startDaemon(c.lines));
    const int card = rig.waitCard("amp", "out");
    ASSERT_GE(card, 0) << rig.daemon().out();
    // A player that a loaded machine kept from writing before the daemon
    // read leaves old ring bytes in the stream, as an underrun would, and
    // says so ("late=N"); such a play proves nothing and is played again.
    Played p = playTwoSeconds(rig, card);
    for (int again = 0; again < 2 && !p.identical && lateCount(p.out) > 0; ++again) {
      p = playTwoSeconds(rig, card);
    }
    const std::string log = rig.daemon().out();
    std::printf("[ figures  ] %s: play %.1f s, status %d, identical %d, \"over time\" %zu, "
                "\"SyncBuffer not enough mute\" %zu, profile changes %zu\n",
                c.what, p.seconds, p.status, p.identical ? 1 : 0, occurrences(log, "over time "),
                occurrences(log, "SyncBuffer not enough mute"),
                occurrences(log, "over time change profile"));
    std::string chosen;  // what the daemon chose for the stream
    for (const char* prefix : {"start cycle=", "Buffer count=", "syncBuffer size = ", "Setting: syncBufferCount"}) {
      for (const std::string& l : vellora_system::linesStarting(log, prefix)) chosen += l + "\n";
    }
    EXPECT_EQ(p.status, 0) << p.out;
    EXPECT_LT(p.seconds, 10.0) << "a 2 s play\n" << p.out << chosen;
    EXPECT_TRUE(p.identical) << p.out << chosen;
    EXPECT_EQ(occurrences(log, "SyncBuffer not enough mute"), 0u) << around(log, "SyncBuffer not enough mute");
    EXPECT_GE(occurrences(log, c.warning), 1u) << log.substr(0, 4000);
    EXPECT_EQ(rig.stopDaemon(), 0);
    EXPECT_EQ(rig.sanitizerReport(), "");
  }
}

}  // namespace
