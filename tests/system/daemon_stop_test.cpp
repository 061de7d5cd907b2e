// How the daemon ends: a signal while streaming, the kill command, no
// control device, an unreadable settings file, a failed driver request.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/driver/sim_card.h"
#include "tests/base/syslog_test_util.h"
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
  // The settings file named is not there either: both are said, in order.
  EXPECT_EQ(err, "settings file " + rig.dir() +
                     "/none.inf cannot be loaded (No such file or directory); running with the defaults\n"
                     "bridge.Initial Err\n");
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
  // No settings file beside the program, and none named, is no news: no
  // line at all.
  Child quiet;
  ASSERT_TRUE(quiet.start({SystemRig::program("vellora-bridge-sim")}, {{"VELLORA_SIM_DIR", rig.simDir()}}, -1,
                          rig.dir() + "/q.out", rig.dir() + "/q.err"));
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

// The daemon's log records at the default level (no "Debug" key): what an
// operator has of a run, with its priority (facility 16: 131 error, 132
// warning).
struct Record {
  int priority;
  std::string body;
};

std::vector<Record> drain(logtest::LogReceiver& receiver) {
  std::vector<Record> records;
  while (const std::optional<std::string> datagram = receiver.next(std::chrono::milliseconds(300))) {
    if (const auto parsed = logtest::parseRecord(*datagram)) records.push_back({parsed->priority, parsed->body});
  }
  return records;
}

std::vector<std::string> bodiesAt(const std::vector<Record>& records, int priority, const std::string& prefix) {
  std::vector<std::string> out;
  for (const Record& r : records) {
    if (r.priority == priority && r.body.compare(0, prefix.size(), prefix) == 0) out.push_back(r.body);
  }
  return out;
}

// Every failure leaves a trace at the default log level: a failure that
// ends the daemon is one error record and the same line on standard error,
// naming the request or step; a card the driver would not remove is a
// warning naming the card; a settings file named on the command line that
// cannot be loaded is one line on standard error (nothing is logged then).
TEST(DaemonStop, FailuresLeaveATraceAtTheDefaultLogLevel) {
  constexpr int ERROR_RECORD = 131;
  constexpr int WARNING_RECORD = 132;
  enum class Run { PLAY_UNTIL_IT_STOPS, STOPS_BY_ITSELF, SIGINT_WITH_A_CARD, SIGINT_WITHOUT_SETTINGS };
  struct Case {
    const char* what;
    const char* fail;  // VELLORA_SIM_FAIL
    Run run;
    int status;
    const char* stopLine;  // the one line on standard error and the one error record, "" for none
    bool cardsLeft;        // cards the driver refused to remove, each named in a warning
  };
  const Case cases[] = {
      {"a failed notify request", "notify", Run::PLAY_UNTIL_IT_STOPS, 1, "daemon stops: the notify request of card ",
       false},
      {"a failed wake-up request", "wakeup", Run::STOPS_BY_ITSELF, 1, "daemon stops: the wake-up request of card ",
       false},
      {"a refused card removal", "remove", Run::SIGINT_WITH_A_CARD, 0, "", true},
      {"a named settings file that is not there", "", Run::SIGINT_WITHOUT_SETTINGS, 0, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SystemRig rig;
    VELLORA_SETUP_RIG(rig);
    logtest::LogReceiver receiver(logtest::kLogPort);
    ASSERT_TRUE(receiver.ok());
    std::string settings = rig.dir() + "/missing.inf";
    if (c.run != Run::SIGINT_WITHOUT_SETTINGS) {
      ASSERT_TRUE(rig.startTargets({"--target", "amp", "--port", "out"})) << rig.targets().err();
      settings = rig.writeFile("quiet.inf", "Interface=" + rig.links().link(0).hostName + "\nThredMode=0\n");
    }
    Child daemon;
    ASSERT_TRUE(daemon.start({SystemRig::program("vellora-bridge-sim"), settings},
                             {{"VELLORA_SIM_DIR", rig.simDir()},
                              {"VELLORA_SIM_LOG", rig.driverLog()},
                              {"VELLORA_SIM_FAIL", c.fail}},
                             -1, rig.dir() + "/d.out", rig.dir() + "/d.err"));
    int status = -1;
    switch (c.run) {
      case Run::PLAY_UNTIL_IT_STOPS: {
        const int card = rig.waitCard("amp", "out");
        ASSERT_GE(card, 0);
        Child play;
        ASSERT_TRUE(rig.startPlay(play, card, rig.writePattern(48000 * 4 * 5, 2, "p"), PlayOptions{}));
        status = daemon.wait(std::chrono::seconds(30));
        break;
      }
      case Run::STOPS_BY_ITSELF:
        status = daemon.wait(std::chrono::seconds(60));
        break;
      case Run::SIGINT_WITH_A_CARD:
        ASSERT_GE(rig.waitCard("amp", "out"), 0);
        daemon.signal(SIGINT);
        status = daemon.wait(std::chrono::seconds(30));
        break;
      case Run::SIGINT_WITHOUT_SETTINGS: {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (daemon.err().empty() && std::chrono::steady_clock::now() < end) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(daemon.running()) << "it goes on with the defaults";
        daemon.signal(SIGINT);
        status = daemon.wait(std::chrono::seconds(30));
        break;
      }
    }
    const std::vector<Record> records = drain(receiver);
    const std::vector<std::string> err = vellora_system::linesStarting(daemon.err(), "");
    std::string seen;
    for (const Record& r : records) seen += "<" + std::to_string(r.priority) + ">" + r.body + "\n";
    seen += "standard error:\n" + daemon.err();
    SCOPED_TRACE(seen);

    EXPECT_EQ(status, c.status);
    if (*c.stopLine != '\0') {
      EXPECT_EQ(err.size(), 1u);
      const std::string line = err.empty() ? std::string() : err[0];
      EXPECT_EQ(line.compare(0, std::strlen(c.stopLine), c.stopLine), 0);
      EXPECT_EQ(bodiesAt(records, ERROR_RECORD, c.stopLine), std::vector<std::string>{line});
    } else if (c.run == Run::SIGINT_WITHOUT_SETTINGS) {
      EXPECT_EQ(err, std::vector<std::string>{"settings file " + settings +
                                              " cannot be loaded (No such file or directory); running with the "
                                              "defaults"});
      EXPECT_TRUE(records.empty()) << "nothing is logged without settings";
    } else {
      EXPECT_EQ(err, std::vector<std::string>{});
      EXPECT_TRUE(bodiesAt(records, ERROR_RECORD, "daemon stops").empty());
    }
    std::vector<std::string> named;
    for (int card : rig.cards()) {
      named.push_back("remove card " + std::to_string(card) + " refused: -1 (the card stays in the driver)");
    }
    EXPECT_EQ(named.empty(), !c.cardsLeft);
    EXPECT_EQ(bodiesAt(records, WARNING_RECORD, "remove card "), named);
  }
}

}  // namespace
