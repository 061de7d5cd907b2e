// The daemon, a well-behaved target and a hostile node on one link. The
// hostile node answers every discovery request from its silent UDP ports
// (and once from source port 0); the daemon must keep running, keep its
// cards, stream to the well-behaved target exactly and keep every card's
// work going.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sim/card_play/card_play.h"
#include "sim/driver/sim_card.h"
#include "sim/target/target_program.h"
#include "tests/system/system_rig.h"

namespace {

using vellora_system::Child;
using vellora_system::linesStarting;
using vellora_system::PlayOptions;
using vellora_system::SystemRig;

struct Hostility {
  const char* name;
  unsigned flood;  // silent answering ports
  bool portZero;   // one answer from source port 0
};

// The widest card-work gap the daemon reported ("Card work gap : N ms").
long widestGapMs(const std::string& log) {
  long widest = 0;
  for (const std::string& line : linesStarting(log, "Card work gap : ")) {
    widest = std::max(widest, std::strtol(line.c_str() + 16, nullptr, 10));
  }
  return widest;
}

// Waits until the port reports `n` disconnects, and its received bytes stop
// growing (the stand-in reads data on a thread of its own).
void waitStreamEnd(SystemRig& rig, const std::string& key, unsigned n) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < end &&
         std::strtoul(rig.targetSummary()[key]["disconnects"].c_str(), nullptr, 10) < n) {
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

  // Audio that must arrive exactly, then plays that each need the card work
  // to connect and to disconnect again, spread over a second scan.
  const uint32_t sampleBytes = 2;
  const uint64_t bytes = 48000 * 2 * sampleBytes;  // one second
  const std::string file = rig.writePattern(bytes, sampleBytes, "exact.pattern");
  ASSERT_FALSE(file.empty());
  PlayOptions o;
  o.periods = 32;
  std::string out;
  ASSERT_EQ(rig.play(card, file, o, &out), 0) << out << rig.daemon().out();
  waitStreamEnd(rig, "amp:out", 1);
  const std::vector<uint8_t> played = vsim::CardPlay::pattern(0, bytes, sampleBytes);
  const vsim::RecordingMatch m = vsim::matchRecording(played, rig.recording("amp", "out"));
  EXPECT_TRUE(m.identical) << vsim::describeMatch(played, m) << "\n" << out;

  constexpr unsigned kPlays = 4;
  o.patternSeconds = 2;
  for (unsigned i = 0; i < kPlays; ++i) {
    ASSERT_EQ(rig.play(card, "", o, &out), 0) << "play " << i << "\n" << out;
    waitStreamEnd(rig, "amp:out", 2 + i);
    std::this_thread::sleep_for(std::chrono::seconds(3));
  }
  // Every play connected and disconnected once.
  const vellora_system::PortLine port = rig.targetSummary()["amp:out"];
  EXPECT_EQ(port.at("connects"), std::to_string(1 + kPlays));
  EXPECT_EQ(port.at("disconnects"), std::to_string(1 + kPlays));

  ASSERT_TRUE(rig.daemon().running()) << rig.daemon().out();
  const std::string log = rig.daemon().out();
  EXPECT_TRUE(linesStarting(log, "Scan Error").empty()) << log;
  EXPECT_TRUE(linesStarting(log, "lost node:").empty()) << log;
  EXPECT_FALSE(watched.removed());
  EXPECT_LE(widestGapMs(log), 250) << log;
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

}  // namespace
