#pragma once
// The system set-up: the real programs of build/bin, the daemon built for
// the stand-in driver and the ALSA application stand-in in the test's own
// network namespace, the target stand-in in a second one, joined by a veth
// pair with fixed link-local addresses.
//
//   SystemRig rig;
//   ASSERT_TRUE(rig.setUp(...));             // links, directories
//   rig.startTargets({"--target", "amp", "--port", "left"});
//   rig.startDaemon();
//   int card = rig.waitCard("amp", "left");
//   rig.play(card, {...});                   // vellora-card-play
//   rig.targetCommand("summary"); ...
//
// Every child is killed and reaped when the rig goes, and every file it
// made is removed.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/common/link_harness.h"

namespace vellora_system {

// The whole file; empty when it cannot be read.
std::string readAll(const std::string& path);

// One child program. Its standard output and error go to files.
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts argv[0] with the extra environment; in the network namespace of
  // netnsFd when it is not -1. False when the program cannot be started.
  bool start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int netnsFd,
             const std::string& outPath, const std::string& errPath);
  bool running();
  void signal(int sig);
  // The exit status (0 to 255), -2 after a signal, -1 on time-out.
  int wait(std::chrono::milliseconds timeout);
  pid_t pid() const { return pid_; }
  std::string out() const;
  std::string err() const;
  // Waits until the standard output holds the text (at least `count` times).
  bool waitOut(const std::string& text, std::chrono::milliseconds timeout, size_t count = 1) const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string outPath_;
  std::string errPath_;
};

// One port's line of the target stand-in's summary, as key=value pairs.
using PortLine = std::map<std::string, std::string>;

struct PlayOptions {
  uint64_t format = 0x2;        // card format bit (16-bit little-endian PCM)
  uint64_t rate = 0x4;          // card rate bit (48 kHz)
  uint64_t channels = 0x2;      // card channel bit (stereo)
  int32_t volume = -1;          // card volume set before playing (-1: none)
  uint32_t periods = 0;         // periods of the card buffer (0: the player's choice)
  int timeoutMs = 15000;
  int patternSeconds = 0;       // with no file: a generated frame counter this long
};

class SystemRig {
 public:
  SystemRig() = default;
  ~SystemRig();
  SystemRig(const SystemRig&) = delete;
  SystemRig& operator=(const SystemRig&) = delete;

  // One veth link and a private directory; false with a reason.
  bool setUp(std::string& error);

  const vellora_test::LinkHarness& links() const { return links_; }
  // One more target-side address on the link, fe80::2:<b> (the first is
  // fe80::2:1), for a second target; its text, empty with a reason.
  std::string addTargetAddress(unsigned short b, std::string& error);
  const std::string& dir() const { return dir_; }
  std::string simDir() const { return dir_ + "/cards"; }
  std::string driverLog() const { return dir_ + "/requests.log"; }
  // Programs next to the test binary.
  static std::string program(const std::string& name);

  // vellora-target-sim in the target namespace on the link, with its
  // recordings and command FIFO in the rig's directory; waits for "ready".
  bool startTargets(const std::vector<std::string>& args);
  Child& targets() { return targets_; }
  // One command to the target stand-in; waits for its reply line.
  bool targetCommand(const std::string& line);
  // The summary lines per "target:port", asked afresh.
  std::map<std::string, PortLine> targetSummary();
  // The audio one port has received (from its recording).
  std::vector<uint8_t> recording(const std::string& target, const std::string& port);

  // vellora-bridge-sim with a settings file of these lines (logging to
  // standard output and the rig's link are added) and extra environment.
  bool startDaemon(const std::vector<std::string>& settingLines = {},
                   const std::map<std::string, std::string>& env = {});
  Child& daemon() { return daemon_; }
  // SIGINT, then the exit status; also checks that a sanitizer said nothing.
  int stopDaemon(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Sanitizer reports in the daemon's standard error, empty when none.
  std::string sanitizerReport() const;

  // The card the daemon made for a port (-1 when none within the time).
  // The default covers a first scan that missed the target and the next
  // one 20 s later, on a loaded machine.
  int waitCard(const std::string& target, const std::string& port,
               std::chrono::milliseconds timeout = std::chrono::seconds(50));
  // Waits until (the card's host status & mask) == value.
  bool waitHostStatus(int card, uint32_t mask, uint32_t value, std::chrono::milliseconds timeout);
  // Card numbers whose device files exist now.
  std::vector<int> cards() const;
  // The driver's request log, one "<kind> <card> <arg> <result>" per line.
  std::vector<std::string> driverRequests() const;

  // The frame-counter bytes vellora-card-play would write, in a file of the
  // rig's directory, and a play of that file into the card.
  std::string writePattern(uint64_t bytes, uint32_t sampleBytes, const std::string& name);
  int play(int card, const std::string& file, const PlayOptions& options, std::string* output = nullptr);
  // Starts a play without waiting for it.
  bool startPlay(Child& child, int card, const std::string& file, const PlayOptions& options);

  // Writes a file of the rig's directory; its path, empty on failure.
  std::string writeFile(const std::string& name, const std::string& text);

  // Runs a program to its end; its exit status, output into *out.
  int run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          std::string* out, std::string* err, std::chrono::milliseconds timeout);

 private:
  std::vector<std::string> playArgs(int card, const std::string& file, const PlayOptions& options) const;

  vellora_test::LinkHarness links_;
  std::string dir_;
  Child targets_;
  Child daemon_;
  int runs_ = 0;
};

// The daemon's log lines that start with the prefix, in order.
std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix);
// The number right after the prefix on each line that starts with it (and
// holds `mustHold` when given), in order: "Scan time : 120 ms" gives 120.
std::vector<long> loggedValues(const std::string& text, const std::string& prefix, const std::string& mustHold = "");
// How many times `what` occurs in the text.
size_t occurrences(const std::string& text, const std::string& what);
// How many times vellora-card-play says it was late ("late=N" in its
// output); -1 when it does not say.
long lateCount(const std::string& playerOutput);

}  // namespace vellora_system

// Sets up a rig or skips (fails when privileges are required).
#define VELLORA_SETUP_RIG(rig)                                      \
  do {                                                              \
    VELLORA_REQUIRE_PRIVATE_NET();                                  \
    std::string _rig_error;                                         \
    if (!(rig).setUp(_rig_error)) {                                 \
      if (::vellora_test::privilegeRequired()) FAIL() << _rig_error; \
      GTEST_SKIP() << _rig_error;                                   \
    }                                                               \
  } while (0)
