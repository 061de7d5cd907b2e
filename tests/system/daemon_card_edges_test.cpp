// The end of a play through the real programs: a file whose length is not
// a whole number of periods, played by vellora-card-play into a card of
// vellora-bridge-sim, reaches vellora-target-sim as that file followed by
// nothing but the mute byte, in both modes of the period copy and in card
// geometries whose periods do not divide the file (or the buffer); a card
// prepared again in the middle of a play plays its new prefill whole; a
// pause loses nothing; and a play started as soon as the last one ended
// arrives whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim/card_play/card_play.h"
#include "sim/target/target_program.h"
#include "tests/common/audio_order.h"
#include "tests/system/system_rig.h"

namespace {

using vellora_system::lateCount;
using vellora_system::occurrences;
using vellora_system::SystemRig;
using vellora_test::playedInOrder;

// Waits until the port saw the stream end and its recording stopped growing.
void waitForTheEnd(SystemRig& rig, const std::string& key, const std::string& disconnectsBefore) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end &&
         rig.targetSummary()[key]["disconnects"] == disconnectsBefore) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::string bytes = rig.targetSummary()[key]["bytes"];
  for (int still = 0; still < 3 && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string now = rig.targetSummary()[key]["bytes"];
    still = now == bytes ? still + 1 : 0;
    bytes = now;
  }
}

// The recording of one stream: mute, the file, then only mute; with
// splits, each part of the file cut there may follow mute of its own.
::testing::AssertionResult fileThenMute(const std::vector<uint8_t>& recording,
                                        const std::vector<uint8_t>& file,
                                        const std::vector<std::size_t>& splits = {}) {
  std::size_t at = 0;
  std::size_t from = 0;
  std::vector<std::size_t> ends = splits;
  ends.push_back(file.size());
  for (const std::size_t end : ends) {
    while (at < recording.size() && recording[at] == 0) ++at;
    const std::size_t start = at;
    for (std::size_t i = from; i < end && at < recording.size(); ++i, ++at) {
      if (recording[at] != file[i]) {
        ::testing::AssertionResult r = ::testing::AssertionFailure();
        r << "file byte " << i << " differs; sent from there:";
        for (std::size_t j = i; j < std::min({i + 16, end, i + recording.size() - at}); ++j) {
          r << " " << int{recording[at + j - i]} << "/" << int{file[j]};
        }
        return r;
      }
    }
    if (at - start < end - from) {
      return ::testing::AssertionFailure() << "only " << at - start << " of " << end - from
                                           << " bytes from file byte " << from << " arrived after "
                                           << start << " recorded bytes";
    }
    from = end;
  }
  std::size_t after = 0;
  for (std::size_t i = at; i < recording.size(); ++i) after += recording[i] != 0;
  if (after != 0) {
    return ::testing::AssertionFailure() << after << " bytes other than the mute byte after the file, in "
                                         << recording.size() - at;
  }
  return ::testing::AssertionSuccess();
}

// vellora-card-play into the card with these arguments.
std::vector<std::string> playerCommand(SystemRig& rig, int card, const std::vector<std::string>& args) {
  std::vector<std::string> command = {SystemRig::program("vellora-card-play"), "--dir", rig.simDir(), "--card",
                                      std::to_string(card)};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

// Plays into the card with vellora-card-play and checks what the port
// recorded. A player held up by a loaded machine leaves a gap (sent
// muted); such a play proves nothing and is played again, up to 3 times.
void playChecked(SystemRig& rig, int card, const std::vector<std::string>& args,
                 const std::function<::testing::AssertionResult(const std::vector<uint8_t>&)>& check) {
  for (int attempt = 1;; ++attempt) {
    const std::string disconnects = rig.targetSummary()["amp:out"]["disconnects"];
    const size_t logFrom = rig.daemon().out().size();
    const std::vector<std::string> command = playerCommand(rig, card, args);
    std::string out;
    const int status = rig.run(command, {}, &out, nullptr, std::chrono::seconds(120));
    ASSERT_EQ(status, 0) << out;
    waitForTheEnd(rig, "amp:out", disconnects);
    const ::testing::AssertionResult r = check(rig.recording("amp", "out"));
    const long late = lateCount(out);
    ASSERT_GE(late, 0) << out;
    if (r || late == 0 || attempt == 3) {
      // What the daemon met during this play, to tell a held-up daemon
      // from a fault of the copy.
      const std::string log = rig.daemon().out().substr(logFrom);
      EXPECT_TRUE(r) << out << "daemon during the play: " << occurrences(log, "over time ") << " \"over time\", "
                     << occurrences(log, "Buffer underrun") << " \"Buffer underrun\", "
                     << occurrences(log, "SyncBuffer not enough") << " \"SyncBuffer not enough\"";
      return;
    }
  }
}

// A pattern of 1.5 s of 48 kHz 16-bit stereo in the rig's directory.
constexpr uint64_t PLAY_BYTES = 288000;

struct Geometry {
  uint32_t bufferBytes, periods;
};

std::vector<std::string> stereo16(const Geometry& g, const std::string& file) {
  return {"--format", "0x2", "--rate", "0x4", "--channels", "0x2", "--buffer", std::to_string(g.bufferBytes),
          "--periods", std::to_string(g.periods), "--raw", file, "--timeout-ms", "15000"};
}

// One target with one port, the daemon with these settings, the card it
// made for the port, and a pattern file of PLAY_BYTES in the rig's
// directory. The caller returns when this failed or skipped.
struct OnePort {
  int card = -1;
  std::string file;
};

void startOnePort(SystemRig& rig, const std::vector<std::string>& settings, const std::string& fileName,
                  OnePort& port) {
  VELLORA_SETUP_RIG(rig);
  ASSERT_TRUE(rig.startTargets({"--target", "amp", "--port", "out"})) << rig.targets().err();
  ASSERT_TRUE(rig.startDaemon(settings));
  port.card = rig.waitCard("amp", "out");
  ASSERT_GE(port.card, 0) << rig.daemon().out();
  port.file = rig.writePattern(PLAY_BYTES, 2, fileName);
  ASSERT_FALSE(port.file.empty());
}

void playFileEnds(const std::vector<std::string>& settings) {
  SystemRig rig;
  OnePort port;
  ASSERT_NO_FATAL_FAILURE(startOnePort(rig, settings, "end.pattern", port));
  if (::testing::Test::IsSkipped()) return;

  // Ending inside a period in each geometry (3332, 3333 with a 1-byte
  // block, 12288 bytes).
  const std::vector<uint8_t> played = vsim::CardPlay::pattern(0, PLAY_BYTES, 2);
  const Geometry geometries[] = {{9996, 3}, {10000, 3}, {61440, 5}};
  for (const Geometry& g : geometries) {
    SCOPED_TRACE(testing::Message() << g.bufferBytes << "/" << g.periods);
    playChecked(rig, port.card, stereo16(g, port.file),
                [&](const std::vector<uint8_t>& recording) { return fileThenMute(recording, played); });
  }
  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
}

TEST(DaemonCardEdges, FileEndingInsideAPeriodIsFollowedOnlyByMute) { playFileEnds({}); }

TEST(DaemonCardEdges, DelayLineDeliversTheLastWriteThenMute) { playFileEnds({"unInitMemDet=enable"}); }

// An application recovering from an underrun prepares the card again
// without leaving the prepared state, after the daemon's read position has
// gone halfway round the buffer (100800 bytes are 10.5 buffers of 9600):
// the driver's counters start again from zero, and the new prefill must
// play from its first byte.
TEST(DaemonCardEdges, CardPreparedAgainPlaysTheNewPrefillFromItsStart) {
  SystemRig rig;
  OnePort port;
  ASSERT_NO_FATAL_FAILURE(startOnePort(rig, {}, "again.pattern", port));
  if (::testing::Test::IsSkipped()) return;

  const std::vector<uint8_t> played = vsim::CardPlay::pattern(0, PLAY_BYTES, 2);
  const std::size_t again = 100800;
  ASSERT_NE(played[again], 0) << "the second part must not start with the mute byte";
  std::vector<std::string> args = stereo16({9600, 4}, port.file);
  args.insert(args.end(), {"--prepare-again-after", std::to_string(again)});
  playChecked(rig, port.card, args,
              [&](const std::vector<uint8_t>& recording) { return fileThenMute(recording, played, {again}); });
  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
}

// A pause: the application stops the card and starts it again 200 ms later
// without a new prepare; or it drains and stops the card and prepares it
// again 200 ms later. The buffer has fewer periods than the daemon's
// stream buffer has blocks. Every byte arrives in order, silence only
// where the card did not run.
TEST(DaemonCardEdges, PauseLosesNoByte) {
  SystemRig rig;
  OnePort port;
  ASSERT_NO_FATAL_FAILURE(startOnePort(rig, {}, "pause.pattern", port));
  if (::testing::Test::IsSkipped()) return;
  const std::vector<uint8_t> played = vsim::CardPlay::pattern(0, PLAY_BYTES, 2);
  const struct {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"stopped and started again", {"--restart-after", "96000"}},
      {"drained, prepared again after a pause", {"--prepare-again-after", "100800", "--pause-ms", "200"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = stereo16({9600, 4}, port.file);
    args.insert(args.end(), c.args.begin(), c.args.end());
    playChecked(rig, port.card, args,
                [&](const std::vector<uint8_t>& recording) { return playedInOrder(recording, played, 1); });
  }
  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
}

// The next play starts as soon as the last one has ended, while the daemon
// is still ending that stream: the new play's prefill must not be
// overwritten by the silence of the connect that follows.
TEST(DaemonCardEdges, PlayStartedAsTheLastOneEndsArrivesWhole) {
  SystemRig rig;
  OnePort port;
  ASSERT_NO_FATAL_FAILURE(startOnePort(rig, {}, "next.pattern", port));
  if (::testing::Test::IsSkipped()) return;
  const std::vector<uint8_t> played = vsim::CardPlay::pattern(0, PLAY_BYTES, 2);
  const std::vector<std::string> command = playerCommand(rig, port.card, stereo16({30720, 4}, port.file));
  for (int attempt = 1;; ++attempt) {
    const std::string disconnects = rig.targetSummary()["amp:out"]["disconnects"];
    const size_t logFrom = rig.daemon().out().size();
    std::string first, next;
    ASSERT_EQ(rig.run(command, {}, &first, nullptr, std::chrono::seconds(120)), 0) << first;
    ASSERT_EQ(rig.run(command, {}, &next, nullptr, std::chrono::seconds(120)), 0) << next;
    waitForTheEnd(rig, "amp:out", disconnects);
    const ::testing::AssertionResult r = fileThenMute(rig.recording("amp", "out"), played);
    const long late = std::max(lateCount(first), lateCount(next));
    if (r || late == 0 || attempt == 3) {
      const std::string log = rig.daemon().out().substr(logFrom);
      EXPECT_TRUE(r) << first << next << "connects during the plays: " << occurrences(log, "connect DONE");
      break;
    }
  }
  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
}

}  // namespace
