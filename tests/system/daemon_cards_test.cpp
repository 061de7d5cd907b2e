// The daemon end to end: discovery gives one card per output port, with
// the profile of its "target:port" group; what an application plays on a
// card reaches the target byte for byte; the volume and the state words.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/card_format.h"
#include "host/sync_mem_control.h"
#include "sim/card_play/card_play.h"
#include "sim/driver/sim_card.h"
#include "sim/target/target_program.h"
#include "tests/system/system_rig.h"

namespace {

using vellora_system::lateCount;
using vellora_system::PlayOptions;
using vellora_system::SystemRig;

// Plays a frame counter into the card once and compares what the port
// received with it.
vsim::RecordingMatch playOnce(SystemRig& rig, int card, const std::string& target, const std::string& port,
                              const PlayOptions& o, uint64_t bytes, uint32_t sampleBytes, std::string* out) {
  const std::string file = rig.writePattern(bytes, sampleBytes, port + ".pattern");
  EXPECT_FALSE(file.empty());
  EXPECT_EQ(rig.play(card, file, o, out), 0) << *out;
  // The stream ends once the card is no longer prepared.
  std::map<std::string, vellora_system::PortLine> summary;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    summary = rig.targetSummary();
    if (summary[target + ":" + port]["disconnects"] != "0") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  } while (std::chrono::steady_clock::now() < end);
  // The stand-in reads its data port on a thread of its own, which on a
  // slow (sanitized) build can still hold packets sent before the closing
  // exchange it already counted: wait until the bytes it received stop
  // growing.
  std::string bytesSeen = summary[target + ":" + port]["bytes"];
  for (int still = 0; still < 3 && std::chrono::steady_clock::now() < end + std::chrono::seconds(10);) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string now = rig.targetSummary()[target + ":" + port]["bytes"];
    still = now == bytesSeen ? still + 1 : 0;
    bytesSeen = now;
  }
  const std::vector<uint8_t> played = vsim::CardPlay::pattern(0, bytes, sampleBytes);
  return vsim::matchRecording(played, rig.recording(target, port));
}

// Plays a frame counter into the card and checks that the port received it
// unchanged. A player that was late (a loaded machine kept it from writing
// before the daemon read) left old ring bytes in the stream, as an underrun
// would; such a play proves nothing and is played again, at most three
// times.
void playAndCompare(SystemRig& rig, int card, const std::string& target, const std::string& port,
                    const PlayOptions& o, uint64_t bytes, uint32_t sampleBytes) {
  for (int attempt = 1;; ++attempt) {
    std::string out;
    const vsim::RecordingMatch m = playOnce(rig, card, target, port, o, bytes, sampleBytes, &out);
    const long late = lateCount(out);
    ASSERT_GE(late, 0) << out;
    if (m.identical) return;
    if (late == 0 || attempt == 3) {
      const std::vector<uint8_t> played = vsim::CardPlay::pattern(0, bytes, sampleBytes);
      ADD_FAILURE() << vsim::describeMatch(played, m) << "\n"
                    << (late == 0 ? "" : "the player was late in every try\n") << out;
      return;
    }
  }
}

TEST(DaemonCards, TwoPortsGiveTwoCardsWithTheirProfiles) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  ASSERT_TRUE(rig.startTargets({"--target", "amp", "--port", "left", "--port", "right"}))
      << rig.targets().err();
  ASSERT_TRUE(rig.startDaemon({"[amp:left]", "CycleTime=2000"}));
  const int left = rig.waitCard("amp", "left");
  const int right = rig.waitCard("amp", "right");
  ASSERT_GE(left, 0) << rig.daemon().out();
  ASSERT_GE(right, 0) << rig.daemon().out();
  EXPECT_NE(left, right);
  EXPECT_EQ(rig.cards().size(), 2u);
  // The log lines come a little after the cards.
  EXPECT_TRUE(rig.daemon().waitOut("add node:", std::chrono::seconds(5), 2));
  const std::string log = rig.daemon().out();
  EXPECT_EQ(vellora_system::linesStarting(log, "detect profie : amp:left").size(), 1u) << log;
  EXPECT_EQ(vellora_system::linesStarting(log, "default profie").size(), 1u) << log;
  EXPECT_EQ(vellora_system::linesStarting(log, "add node:").size(), 2u) << log;
  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
}

TEST(DaemonCards, PlayedAudioArrivesByteForByte) {
  struct Case {
    const char* what;
    PlayOptions options;
    uint32_t sampleBytes;
    uint64_t bytes;
    uint64_t dropEvery;
  };
  // Card bits: format 0x2 16-bit, 0x80 32-bit, 0x01000000 DSD in 32-bit
  // little-endian words; rate 0x4 48 kHz, 0x40 192 kHz, 0x8 88200 words/s
  // (DSD64); channels 0x2 stereo, 0x80 eight.
  // A card buffer of 32 periods (about 200 to 320 ms), so that a player on
  // a loaded machine is seldom late.
  const auto choice = [](uint64_t format, uint64_t rate, uint64_t channels) {
    PlayOptions o{format, rate, channels};
    o.periods = 32;
    return o;
  };
  const Case cases[] = {
      {"48 kHz 16-bit stereo", choice(0x2, 0x4, 0x2), 2, 48000 * 4 * 2, 0},
      {"192 kHz 32-bit 8 channels", choice(0x80, 0x40, 0x80), 4, 192000 * 32 * 1, 0},
      {"DSD64 stereo", choice(0x01000000, 0x8, 0x2), 4, 88200 * 8 * 2, 0},
      {"48 kHz with 1 packet in 100 dropped", choice(0x2, 0x4, 0x2), 2, 48000 * 4 * 3, 100},
  };
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  ASSERT_TRUE(rig.startTargets({"--target", "amp", "--port", "out"})) << rig.targets().err();
  ASSERT_TRUE(rig.startDaemon());
  const int card = rig.waitCard("amp", "out");
  ASSERT_GE(card, 0) << rig.daemon().out();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(rig.targetCommand("drop " + std::to_string(c.dropEvery)));
    playAndCompare(rig, card, "amp", "out", c.options, c.bytes, c.sampleBytes);
    if (c.dropEvery != 0) {
      const auto s = rig.targetSummary()["amp:out"];
      EXPECT_NE(s.at("resends"), "0");
      EXPECT_NE(s.at("gaps"), "0");
    }
  }
  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(rig.sanitizerReport(), "");
}

// An application driving the card step by step (as the driver reports it):
// the host status follows each state, and a volume set on the card reaches
// the target.
TEST(DaemonCards, VolumeReachesTheTargetAndTheHostFollowsTheCardStates) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  ASSERT_TRUE(rig.startTargets({"--target", "amp", "--port", "out", "--volume", "-1200"})) << rig.targets().err();
  ASSERT_TRUE(rig.startDaemon());
  const int n = rig.waitCard("amp", "out");
  ASSERT_GE(n, 0) << rig.daemon().out();
  vsim::SimCard card;
  ASSERT_TRUE(card.open(n, rig.simDir()));
  ASSERT_TRUE(rig.waitHostStatus(n, ~0u, HOST_STATUS_READY, std::chrono::seconds(10))) << card.hostStatus();
  EXPECT_EQ(card.volume(), cardVolumeFromTarget(-1200));

  // The card's volume, set while idle, becomes the target's.
  const int32_t cardVolume = cardVolumeFromTarget(-3000);
  const std::string wanted = std::to_string(targetVolumeFromCard(cardVolume));
  card.setVolume(cardVolume);
  std::string seen;
  for (int i = 0; i < 100 && seen != wanted; ++i) {
    seen = rig.targetSummary()["amp:out"]["volume"];
    if (seen != wanted) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(seen, wanted);

  // open, prepared (connected), running (playing), stopped, closed.
  card.openSubstream();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(card.hostStatus(), HOST_STATUS_READY);
  ASSERT_TRUE(card.hwParams(0x2, 0x4, 0x2, 7680, 4));
  card.prepare();
  EXPECT_TRUE(rig.waitHostStatus(n, ~0u, HOST_STATUS_READY | HOST_STATUS_CONNECTED, std::chrono::seconds(20)))
      << card.hostStatus() << "\n" << rig.daemon().out();
  card.start();
  EXPECT_TRUE(rig.waitHostStatus(n, ~0u, HOST_STATUS_READY | HOST_STATUS_CONNECTED | HOST_STATUS_PLAY,
                                 std::chrono::seconds(10)))
      << card.hostStatus();
  // A volume change while streaming reaches the target too.
  const int32_t louder = cardVolumeFromTarget(-600);
  card.setVolume(louder);
  card.stop();
  EXPECT_TRUE(rig.waitHostStatus(n, ~0u, HOST_STATUS_READY | HOST_STATUS_CONNECTED, std::chrono::seconds(10)))
      << card.hostStatus();
  card.hwFree();
  EXPECT_TRUE(rig.waitHostStatus(n, ~0u, HOST_STATUS_READY, std::chrono::seconds(10))) << card.hostStatus();
  card.closeSubstream();
  std::map<std::string, vellora_system::PortLine> summary;
  for (int i = 0; i < 100; ++i) {
    summary = rig.targetSummary();
    if (summary["amp:out"]["disconnects"] == "1") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(summary["amp:out"]["connects"], "1");
  EXPECT_EQ(summary["amp:out"]["disconnects"], "1");
  EXPECT_EQ(summary["amp:out"]["volume"], std::to_string(targetVolumeFromCard(louder)));

  // The daemon's stop closes the card before removing it.
  EXPECT_EQ(rig.stopDaemon(), 0);
  EXPECT_EQ(card.hostStatus(), HOST_STATUS_CLOSED);
  EXPECT_TRUE(card.removed());
  EXPECT_EQ(rig.sanitizerReport(), "");
}

}  // namespace
