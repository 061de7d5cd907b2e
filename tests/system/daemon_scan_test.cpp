// The daemon's target scan against real targets over the link: a target
// that vanishes while idle is given up at the fourth scan that misses it, one
// that is back after one missed scan is kept, a playing port is never
// counted down, and a changed status chain gets the port a new card.
//
// Scans come every 20 s, so each test here runs for about 80 s; the two run
// side by side under ctest -j.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/sync_mem_control.h"
#include "sim/driver/sim_card.h"
#include "tests/system/system_rig.h"

namespace {

using vellora_system::Child;
using vellora_system::linesStarting;
using vellora_system::PlayOptions;
using vellora_system::SystemRig;

// Four scans after the first one, with room for a loaded machine.
constexpr auto kFourScans = std::chrono::seconds(150);

// The port endpoint ("address,port") the daemon attached for a card, from
// its "add node:<endpoint> <card>" lines; the newest wins.
std::string endpointOf(const std::string& log, int card) {
  std::string found;
  for (const std::string& line : linesStarting(log, "add node:")) {
    std::istringstream in(line.substr(9));
    std::string endpoint;
    int n = -1;
    if (in >> endpoint >> n && n == card) found = endpoint;
  }
  return found;
}

// The daemon's lines that start with the prefix and end with the endpoint.
std::vector<std::string> linesAbout(const std::string& log, const std::string& prefix, const std::string& endpoint) {
  std::vector<std::string> out;
  for (const std::string& line : linesStarting(log, prefix)) {
    if (line.size() > endpoint.size() && line.compare(line.size() - endpoint.size(), endpoint.size(), endpoint) == 0 &&
        line[line.size() - endpoint.size() - 1] == ' ') {
      out.push_back(line);
    }
  }
  return out;
}

// Two targets of one port each, on their own addresses; their cards.
struct TwoTargets {
  int first = -1;
  int second = -1;
  std::string firstAt;
  std::string secondAt;
};

void startTwoTargets(SystemRig& rig, const std::string& a, const std::string& b, TwoTargets& t) {
  // Each target on an address of its own, both given: with two addresses
  // on the device, which one comes first is not fixed.
  std::string error;
  const std::string second = rig.addTargetAddress(2, error);
  ASSERT_FALSE(second.empty()) << error;
  ASSERT_TRUE(rig.startTargets({"--target", a, "--address", "fe80::2:1", "--port", "out", "--target", b,
                                "--address", second, "--port", "out"}))
      << rig.targets().err();
  ASSERT_TRUE(rig.startDaemon());
  t.first = rig.waitCard(a, "out");
  t.second = rig.waitCard(b, "out");
  ASSERT_GE(t.first, 0) << rig.daemon().out();
  ASSERT_GE(t.second, 0) << rig.daemon().out();
  ASSERT_TRUE(rig.daemon().waitOut("add node:", std::chrono::seconds(10), 2));
  const std::string log = rig.daemon().out();
  t.firstAt = endpointOf(log, t.first);
  t.secondAt = endpointOf(log, t.second);
  ASSERT_FALSE(t.firstAt.empty()) << log;
  ASSERT_FALSE(t.secondAt.empty()) << log;
}

TEST(DaemonScan, VanishedIdleTargetIsReleasedAtTheFourthScanAndOneBackInTimeIsKept) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  TwoTargets t;
  ASSERT_NO_FATAL_FAILURE(startTwoTargets(rig, "gone", "back", t));
  vsim::SimCard goneCard;
  ASSERT_TRUE(goneCard.open(t.first, rig.simDir()));

  ASSERT_TRUE(rig.targetCommand("vanish gone"));
  ASSERT_TRUE(rig.targetCommand("vanish back"));
  // One missed scan for both, then "back" answers again.
  ASSERT_TRUE(rig.daemon().waitOut("Scan Mis 3 2 ", std::chrono::seconds(60), 2)) << rig.daemon().out();
  ASSERT_TRUE(rig.targetCommand("appear back"));
  ASSERT_TRUE(rig.daemon().waitOut("delete node:", kFourScans)) << rig.daemon().out();

  const std::string log = rig.daemon().out();
  EXPECT_EQ(linesAbout(log, "Scan Mis 3 ", t.firstAt),
            (std::vector<std::string>{"Scan Mis 3 2 " + t.firstAt, "Scan Mis 3 1 " + t.firstAt,
                                      "Scan Mis 3 0 " + t.firstAt}))
      << log;
  EXPECT_EQ(linesStarting(log, "lost node:"),
            std::vector<std::string>{"lost node:" + std::to_string(t.first) + " " + t.firstAt});
  EXPECT_EQ(linesStarting(log, "delete node:"), std::vector<std::string>{"delete node:" + std::to_string(t.first)});
  // The lost line comes after the three countdown lines.
  EXPECT_GT(log.find("lost node:"), log.find("Scan Mis 3 0 " + t.firstAt));
  EXPECT_TRUE(goneCard.removed());
  EXPECT_EQ(rig.cards(), std::vector<int>{t.second});

  // "back" was missed once, then seen again: kept, its count back to full.
  EXPECT_EQ(linesAbout(log, "Scan Mis 3 ", t.secondAt), std::vector<std::string>{"Scan Mis 3 2 " + t.secondAt});
  EXPECT_EQ(linesAbout(log, "Scan Rec  ", t.secondAt), std::vector<std::string>{"Scan Rec  2 " + t.secondAt});
  EXPECT_EQ(rig.waitCard("back", "out", std::chrono::seconds(1)), t.second);

  // A run with a release ends clean under the sanitizers.
  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
}

// A target that misses the daemon's first control connect (a busy machine,
// a lost datagram) gets its card from the next scan, and it plays.
TEST(DaemonScan, ATargetThatMissedItsFirstConnectGetsItsCardNextScan) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  ASSERT_TRUE(rig.startTargets({"--target", "amp", "--port", "out"})) << rig.targets().err();
  ASSERT_TRUE(rig.targetCommand("refuse amp:out 3"));
  ASSERT_TRUE(rig.startDaemon());
  ASSERT_TRUE(rig.daemon().waitOut("setSink Err", std::chrono::seconds(30))) << rig.daemon().out();
  const int card = rig.waitCard("amp", "out");
  ASSERT_GE(card, 0) << rig.daemon().out();
  // The card is bound a moment before its line is written.
  ASSERT_TRUE(rig.daemon().waitOut("add node:", std::chrono::seconds(10))) << rig.daemon().out();
  const std::string log = rig.daemon().out();
  EXPECT_EQ(linesStarting(log, "control connect error").size(), 1u) << log;
  EXPECT_EQ(linesStarting(log, "add node:").size(), 1u) << log;
  EXPECT_LT(log.find("setSink Err"), log.find("add node:"));
  constexpr uint64_t bytes = 48000 * 4 / 2;
  const std::string file = rig.writePattern(bytes, 2, "half.pattern");
  std::string out;
  EXPECT_EQ(rig.play(card, file, PlayOptions{}, &out), 0) << out;
  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
}

TEST(DaemonScan, PlayingPortIsNeverCountedDownAndAChangedChainGetsANewCard) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  TwoTargets t;
  ASSERT_NO_FATAL_FAILURE(startTwoTargets(rig, "live", "chain", t));
  vsim::SimCard liveCard;
  vsim::SimCard oldChainCard;
  ASSERT_TRUE(liveCard.open(t.first, rig.simDir()));
  ASSERT_TRUE(oldChainCard.open(t.second, rig.simDir()));

  // "live" plays for longer than the four scans take.
  PlayOptions o;
  o.patternSeconds = 240;
  Child play;
  ASSERT_TRUE(rig.startPlay(play, t.first, "", o));
  ASSERT_TRUE(liveCard.waitHostStatus(HOST_STATUS_PLAY, 30000)) << rig.daemon().out();
  ASSERT_TRUE(rig.targetCommand("vanish live"));
  ASSERT_TRUE(rig.targetCommand("link chain sub"));

  ASSERT_TRUE(rig.daemon().waitOut("add node:", kFourScans, 3)) << rig.daemon().out();
  const std::string log = rig.daemon().out();
  EXPECT_EQ(linesAbout(log, "Scan Mis 4 ", t.secondAt),
            (std::vector<std::string>{"Scan Mis 4 2 " + t.secondAt, "Scan Mis 4 1 " + t.secondAt,
                                      "Scan Mis 4 0 " + t.secondAt}))
      << log;
  EXPECT_EQ(linesStarting(log, "lost node:"),
            std::vector<std::string>{"lost node:" + std::to_string(t.second) + " " + t.secondAt});
  // The old card went, and the port has a card again.
  EXPECT_TRUE(oldChainCard.removed());
  const int newChain = rig.waitCard("chain", "out", std::chrono::seconds(10));
  EXPECT_GE(newChain, 0);
  EXPECT_EQ(linesAbout(log, "add node:", std::to_string(newChain)).size(), newChain == t.second ? 2u : 1u);
  EXPECT_EQ(endpointOf(log, newChain), t.secondAt);

  // The playing port saw four scans without its target and was left alone.
  EXPECT_TRUE(linesAbout(log, "Scan Mis 3 ", t.firstAt).empty()) << log;
  EXPECT_FALSE(liveCard.removed());
  EXPECT_TRUE(play.running()) << play.out() << play.err();
  EXPECT_NE(liveCard.hostStatus() & HOST_STATUS_PLAY, 0u);

  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
  EXPECT_NE(play.wait(std::chrono::seconds(30)), -1);
}

}  // namespace
