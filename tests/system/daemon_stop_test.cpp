// How the daemon ends: a signal while streaming, the kill command, no
// control device, an unreadable settings file, a failed driver request.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim/driver/sim_card.h"
#include "tests/system/system_rig.h"

namespace {

using vellora_system::Child;
using vellora_system::PlayOptions;
using vellora_system::SystemRig;

TEST(DaemonStop, SigintWhileStreamingDisconnectsAndRemovesEveryCard) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  ASSERT_TRUE(rig.startTargets({"--target", "amp", "--port", "left", "--port", "right"}))
      << rig.targets().err();
  ASSERT_TRUE(rig.startDaemon());
  const int left = rig.waitCard("amp", "left");
  const int right = rig.waitCard("amp", "right");
  ASSERT_GE(left, 0);
  ASSERT_GE(right, 0);
  const std::string file = rig.writePattern(48000 * 4 * 30, 2, "long.pattern");
  Child playLeft;
  Child playRight;
  ASSERT_TRUE(rig.startPlay(playLeft, left, file, PlayOptions{}));
  ASSERT_TRUE(rig.startPlay(playRight, right, file, PlayOptions{}));
  ASSERT_TRUE(rig.waitHostStatus(left, 0xF, 0xF, std::chrono::seconds(15)));
  ASSERT_TRUE(rig.waitHostStatus(right, 0xF, 0xF, std::chrono::seconds(15)));

  EXPECT_EQ(rig.stopDaemon(), 0) << rig.daemon().err();
  EXPECT_EQ(rig.sanitizerReport(), "");
  EXPECT_TRUE(rig.cards().empty());
  for (const auto& [port, line] : rig.targetSummary()) {
    EXPECT_EQ(line.at("disconnects"), "1") << port << "\n" << rig.daemon().out();
    EXPECT_NE(line.at("bytes"), "0") << port;
  }
  // Each card: closed (a wake-up with status 0), then removed; the last
  // request ends it all.
  const std::vector<std::string> requests = rig.driverRequests();
  ASSERT_FALSE(requests.empty());
  for (int card : {left, right}) {
    const std::string removal = "remove " + std::to_string(card) + " 0 0";
    EXPECT_NE(std::find(requests.begin(), requests.end(), removal), requests.end()) << removal;
  }
  EXPECT_EQ(requests.back().compare(0, 9, "remove 0 "), 0) << requests.back();
  EXPECT_NE(playLeft.wait(std::chrono::seconds(20)), -1);
  EXPECT_NE(playRight.wait(std::chrono::seconds(20)), -1);
}

TEST(DaemonStop, SigintDuringAScanIsANormalStop) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  // The one link named forty times: the scan's first query sweeps it once
  // per name, three times over, so it lasts seconds and the signal lands in
  // one of its waits.
  const std::string link = rig.links().link(0).hostName;
  std::string names = link;
  for (int i = 1; i < 40; ++i) names += "," + link;
  const std::string settings = rig.writeFile("slow.inf", "Debug=debug\nInterface=" + names + "\nThredMode=0\n");
  Child daemon;
  ASSERT_TRUE(daemon.start({SystemRig::program("vellora-bridge-sim"), settings},
                           {{"VELLORA_SIM_DIR", rig.simDir()}, {"VELLORA_SIM_LOG", rig.driverLog()}}, -1,
                           rig.dir() + "/slow.out", rig.dir() + "/slow.err"));
  ASSERT_TRUE(daemon.waitOut("Find Multi Send", std::chrono::seconds(15))) << daemon.out();
  daemon.signal(SIGINT);
  // A stop that was asked for, not a failure of discovery.
  EXPECT_EQ(daemon.wait(std::chrono::seconds(30)), 0) << daemon.out();
  const std::vector<std::string> requests = rig.driverRequests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().compare(0, 9, "remove 0 "), 0) << requests.back();
}

TEST(DaemonStop, KillSendsTheStopRequestAndSaysNothing) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  std::string out;
  std::string err;
  const std::map<std::string, std::string> env{{"VELLORA_SIM_DIR", rig.simDir()},
                                               {"VELLORA_SIM_LOG", rig.driverLog()}};
  EXPECT_EQ(rig.run({SystemRig::program("vellora-bridge-sim"), "kill"}, env, &out, &err, std::chrono::seconds(10)),
            0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
  const std::vector<std::string> requests = rig.driverRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].compare(0, 5, "kill "), 0) << requests[0];
  // Without a driver at all: the same quiet success.
  EXPECT_EQ(rig.run({SystemRig::program("vellora-bridge-sim"), "kill"}, {{"VELLORA_SIM_DIR", "/dev/null/none"}},
                    &out, &err, std::chrono::seconds(10)),
            0);
  EXPECT_EQ(out + err, "");
}

TEST(DaemonStop, NoControlDeviceIsAStartFailure) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  std::string out;
  std::string err;
  EXPECT_EQ(rig.run({SystemRig::program("vellora-bridge-sim"), rig.dir() + "/none.inf"},
                    {{"VELLORA_SIM_DIR", "/dev/null/none"}}, &out, &err, std::chrono::seconds(10)),
            255);
  EXPECT_EQ(err, "bridge.Initial Err\n");
  EXPECT_EQ(out, "");
}

TEST(DaemonStop, DiscoveryThatCannotStartIsAStartFailureThatClosesTheDriver) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  const std::string settings = rig.writeFile("nolink.inf", "Interface=vellora-none\n");
  std::string out;
  std::string err;
  EXPECT_EQ(rig.run({SystemRig::program("vellora-bridge-sim"), settings},
                    {{"VELLORA_SIM_DIR", rig.simDir()}, {"VELLORA_SIM_LOG", rig.driverLog()}}, &out, &err,
                    std::chrono::seconds(10)),
            255);
  EXPECT_EQ(err, "bridge.Start Err\n");
  // The probe, then the last request on the way out.
  const std::vector<std::string> requests = rig.driverRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].compare(0, 6, "probe "), 0) << requests[0];
  EXPECT_EQ(requests[1].compare(0, 9, "remove 0 "), 0) << requests[1];
}

TEST(DaemonStop, UnloadableSettingsFileRunsWithDefaultsAndSaysSo) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  const std::string bad = rig.writeFile("bad.inf", "Debug=stdout\n\tInterface=none\n");
  Child daemon;
  ASSERT_TRUE(daemon.start({SystemRig::program("vellora-bridge-sim"), bad}, {{"VELLORA_SIM_DIR", rig.simDir()}}, -1,
                           rig.dir() + "/bad.out", rig.dir() + "/bad.err"));
  // It runs: the control device is opened and probed, discovery scans.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (daemon.err().empty() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(daemon.running());
  daemon.signal(SIGINT);
  EXPECT_EQ(daemon.wait(std::chrono::seconds(20)), 0);
  EXPECT_EQ(vellora_system::linesStarting(daemon.err(), "settings file " + bad).size(), 1u) << daemon.err();
  EXPECT_EQ(daemon.out(), "");  // nothing is logged without settings
  // A missing file is no news: no line at all.
  std::string out;
  std::string err;
  Child quiet;
  ASSERT_TRUE(quiet.start({SystemRig::program("vellora-bridge-sim"), rig.dir() + "/missing.inf"},
                          {{"VELLORA_SIM_DIR", rig.simDir()}}, -1, rig.dir() + "/q.out", rig.dir() + "/q.err"));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  quiet.signal(SIGINT);
  EXPECT_EQ(quiet.wait(std::chrono::seconds(20)), 0);
  EXPECT_EQ(quiet.err() + quiet.out(), "");
}

TEST(DaemonStop, FailedDriverRequestEndsTheDaemonWithFailure) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  ASSERT_TRUE(rig.startTargets({"--target", "amp", "--port", "out"})) << rig.targets().err();
  ASSERT_TRUE(rig.startDaemon({}, {{"VELLORA_SIM_FAIL", "notify"}}));
  const int card = rig.waitCard("amp", "out");
  ASSERT_GE(card, 0);
  Child play;
  ASSERT_TRUE(rig.startPlay(play, card, rig.writePattern(48000 * 4 * 5, 2, "p"), PlayOptions{}));
  // The first notify fails: the daemon stops on its own, cleanly.
  EXPECT_EQ(rig.daemon().wait(std::chrono::seconds(30)), 1) << rig.daemon().out();
  EXPECT_EQ(rig.sanitizerReport(), "");
  EXPECT_EQ(vellora_system::linesStarting(rig.daemon().out(), "thread_notify_func ioctl error").size(), 1u);
  EXPECT_TRUE(rig.cards().empty());
}

}  // namespace
