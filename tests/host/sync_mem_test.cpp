#include "host/sync_mem_drv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "sim/card_play/card_play.h"
#include "sim/driver/sim_dir.h"
#include "sim/driver/sim_driver.h"
#include "sim/target/control.h"
#include "sim/target/sink.h"
#include "sim/target/target_sim.h"
#include "tests/common/audio_order.h"
#include "tests/common/test_env.h"

namespace {

using vsim::CardPlay;
using vsim::CardPlayOptions;
using vsim::Req;

constexpr uint64_t bit(unsigned n) { return uint64_t{1} << n; }
constexpr uint64_t F44100 = bit(33), F48000 = bit(34);
constexpr uint64_t mult(unsigned j) { return bit(35 + j); }

template <typename Pred>
bool eventually(Pred pred, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

vsim::SinkConfig pcmSink() {
  vsim::SinkConfig c;
  c.pcm = 0x02 | 0x0200 | 0x0400 | F44100 | F48000 | mult(0) | mult(1) | mult(2);
  return c;
}

// A chain of one device whose control endpoint ends the chain.
VELLORA::Find::StatusSort chainTo(const KALMO::IPAddress& control) {
  VELLORA::Find::StatusSort chain;
  VELLORA::Find::StatusSortSt e;
  e.itemName = "Volume";
  e.controlAddress = control;
  e.chainEnd = 1;
  chain.push_back(e);
  return chain;
}

// One node of the daemon on a simulated card, streaming to a stand-in sink
// on [::1], with a thread in the main loop's place calling work() every 10 ms.
class CardPath : public ::testing::Test {
 protected:
  void start(const vsim::SinkConfig& config = pcmSink(), bool delayLine = false,
             bool alsaUnderrun = true, VELLORA::Find::StatusSort chain = {}) {
    ASSERT_TRUE(dir.ok());
    sink = std::make_unique<vsim::Sink>(sim, vsim::ipv6("::1", 0), config);
    control = driver.openControl();
    ASSERT_GE(control, 0);
    node = std::make_unique<SyncMemDrv>(driver);
    node->alsaSetting.unInitMemDet = delayLine;
    node->alsaSetting.alsaUnderrun = alsaUnderrun;
    node->profile.syncWorkerMode = 0;  // round-robin, sleeping waits
    if (setUpNode) setUpNode(*node);
    const int card = static_cast<int>(driver.create(control, node->alsaSetting.ringBytes()));
    ASSERT_EQ(card, 0);
    ASSERT_TRUE(node->open(static_cast<VELLORA::SSync::THRED_MODE>(0), 10'000'000'000ull, 0,
                           "test host", 77, -1, -1, 0));
    ASSERT_TRUE(node->setSink(sink->address(), chain, 0, false));
    ASSERT_TRUE(node->openMem(card, "Target", "Port", -1, -1, &stop));
    startLoop();
  }
  // A thread in the main loop's place.
  void startLoop() {
    quit = false;
    loop = std::thread([this] {
      while (!quit) {
        if (!node->work()) failures++;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  // Ends that thread: what work() wrote can then be read without a race
  // (the card mapping's atomics are at another address in the player's
  // mapping, so they order nothing for the race detector).
  void stopLoop() {
    quit = true;
    if (loop.joinable()) loop.join();
  }
  void TearDown() override {
    stopLoop();
    if (node) node->close();
    node.reset();
    if (control >= 0) {
      driver.remove(control, 0);
      driver.close(control);
    }
    control = -1;
  }
  CardPlayOptions options(uint64_t bytes) const {
    CardPlayOptions o;
    o.dir = dir.path();
    o.bytes = bytes;
    o.timeoutMs = 10000;
    // A long buffer: a writer held up by a loaded machine must not let the
    // reader catch up (that is an underrun, not what these tests look at).
    o.periodCount = 32;
    return o;
  }
  // 16-bit stereo at 48000 Hz, whatever the player would pick.
  CardPlayOptions stereo16(uint64_t bytes) const {
    CardPlayOptions o = options(bytes);
    o.format = 0x2;
    o.rate = 0x4;
    o.channels = 0x2;
    return o;
  }
  // A port with one volume item at -1500, and the card as the application
  // maps it.
  struct VolumePort {
    explicit VolumePort(vsim::TargetSim& sim)
        : controls(sim), ep(controls.add({vsim::ControlItemSpec::volume(-1500)})) {}
    vsim::ControlSim controls;
    vsim::EndpointId ep;
    vsim::SimCard card;
  };
  // A node on that port; the offer carries the target's volume.
  void startWithVolume(VolumePort& port) {
    start(pcmSink(), false, true, chainTo(sim.address(port.ep)));
    ASSERT_TRUE(port.card.open(0, dir.path()));
    EXPECT_EQ(port.card.volume(), 7501) << "the target's volume at the offer";
  }
  // Opens, prepares, fills and starts the card, until the daemon plays it.
  ::testing::AssertionResult startPlaying(CardPlay& player) {
    if (!player.open() || !player.choose()) return ::testing::AssertionFailure() << "no card";
    const uint32_t status = player.prepare();
    if (status != 0x7) return ::testing::AssertionFailure() << "prepare gave " << status;
    player.prefillBuffer();
    player.start();
    if (!eventually([&] { return player.card().hostStatus() == 0xF; })) {
      return ::testing::AssertionFailure() << "not playing";
    }
    return ::testing::AssertionSuccess();
  }
  // Another format than stereo16's, and another geometry.
  CardPlayOptions anotherChoice(uint64_t format, uint64_t bytes) const {
    CardPlayOptions o = stereo16(bytes);
    o.format = format;
    o.bufferBytes = 32 * 2880;
    return o;
  }
  // Prepares the card again with the player's choice between two passes of
  // the periodic work, which so never sees it unprepared. The old stream's
  // status still stands, so the prepare does not wait. `before`: how many
  // wake-ups were posted until then.
  ::testing::AssertionResult prepareBetweenPasses(CardPlay& again, std::size_t& before) {
    stopLoop();
    before = posted().size();
    const bool prepared = again.open() && again.choose() && again.prepare() != 0;
    startLoop();
    if (!prepared) return ::testing::AssertionFailure() << "the card was not prepared again";
    return ::testing::AssertionSuccess();
  }
  // Host statuses of the wake-ups so far.
  std::vector<uint32_t> posted() const {
    std::vector<uint32_t> out;
    for (const auto& r : driver.requests()) {
      if (r.kind == Req::Wakeup) out.push_back(r.hostStatus);
    }
    return out;
  }

  // Changes the node's settings before it opens.
  std::function<void(SyncMemDrv&)> setUpNode;
  vsim::SimDirectory dir;
  vsim::SimDriver driver{dir.path()};
  vsim::TargetSim sim;
  std::unique_ptr<vsim::Sink> sink;
  int control = -1;
  std::unique_ptr<OccupiedCPU> cpus;  // outlives the node, which gives CPUs back
  std::unique_ptr<SyncMemDrv> node;
  std::atomic<bool> stop{false};
  std::atomic<bool> quit{false};
  std::atomic<int> failures{0};
  std::thread loop;
};

bool streamIsActive(const SyncMemDrv& node) {
  const VELLORA::SSync::SyncState s = node.syncState.load();
  return s == VELLORA::SSync::Connecting || s == VELLORA::SSync::Connected ||
         s == VELLORA::SSync::Disconnecting;
}

// What arrived is silence, then exactly the audio, then silence.
::testing::AssertionResult arrivedAsPlayed(const std::vector<uint8_t>& got,
                                           const std::vector<uint8_t>& played, uint8_t mute) {
  std::size_t start = 0;
  while (start < got.size() && got[start] == mute) ++start;
  if (got.size() - start < played.size()) {
    return ::testing::AssertionFailure() << "only " << got.size() - start << " of "
                                         << played.size() << " bytes arrived";
  }
  for (std::size_t i = 0; i < played.size(); ++i) {
    if (got[start + i] != played[i]) {
      return ::testing::AssertionFailure() << "byte " << i << " differs";
    }
  }
  for (std::size_t i = start + played.size(); i < got.size(); ++i) {
    if (got[i] != mute) return ::testing::AssertionFailure() << "byte " << i << " after the audio";
  }
  return ::testing::AssertionSuccess();
}

TEST_F(CardPath, StatusFollowsTheCard) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start();
  CardPlay player(options(48000 * 4));
  ASSERT_TRUE(player.open());
  EXPECT_EQ(player.card().hostStatus(), HOST_STATUS_READY);
  ASSERT_TRUE(player.choose());
  EXPECT_EQ(player.prepare(), 0x7u);
  player.start();
  EXPECT_TRUE(eventually([&] { return player.card().hostStatus() == 0xF; }));
  EXPECT_TRUE(eventually([&] { return node->playFlag.load(); }));
  player.stop();
  EXPECT_TRUE(eventually([&] { return player.card().hostStatus() == 0x7; }));
  EXPECT_TRUE(eventually([&] { return !node->playFlag.load(); })) << "alsaUnderrun stops the stream";
  player.start();
  EXPECT_TRUE(eventually([&] { return player.card().hostStatus() == 0xF; }));
  player.unprepare();
  EXPECT_TRUE(eventually([&] { return player.card().hostStatus() == 0x3; }));
  EXPECT_TRUE(eventually([&] { return node->syncState.load() == VELLORA::SSync::Idle; }));
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(stop.load());
  // Every change was followed by a wake-up, the first before the attach.
  const std::vector<uint32_t> seen = posted();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), HOST_STATUS_READY);
}

TEST_F(CardPath, PlayedAudioArrivesByteForByte) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start();
  CardPlayOptions o = options(0);
  o.format = 0x8;  // 24-bit
  o.rate = 0x4;    // 48000
  o.channels = 0x2;
  o.periodCount = 32;
  o.bufferBytes = 32 * 14400;  // 50 ms periods, 1.6 s of audio
  o.seconds = 10;
  CardPlay player(o);
  ASSERT_TRUE(player.run());
  const std::vector<uint8_t> played = CardPlay::pattern(0, player.written(), 3);
  EXPECT_EQ(player.written(), 10u * 48000 * 6);
  eventually([&] { return arrivedAsPlayed(sink->audio(), played, 0); });
  EXPECT_TRUE(arrivedAsPlayed(sink->audio(), played, 0))
      << "underruns " << node->periodCopy.stats().underruns.load() << " gaps "
      << sink->stats().gaps << " duplicates " << sink->stats().duplicates;
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(CardPath, DelayLineModeDeliversAPrefilledBufferInOrder) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start(pcmSink(), true);
  CardPlayOptions o = options(0);
  o.seconds = 1;
  CardPlay player(o);
  ASSERT_TRUE(player.run());
  // Also the write still held in the delay line when the card stopped.
  const std::vector<uint8_t> played = CardPlay::pattern(0, player.written(), 2);
  eventually([&] { return arrivedAsPlayed(sink->audio(), played, 0); });
  EXPECT_TRUE(arrivedAsPlayed(sink->audio(), played, 0));
  EXPECT_EQ(node->periodCopy.stats().detections, 0u);
  EXPECT_EQ(node->periodCopy.stats().released, 1u);
}

TEST_F(CardPath, Dsd64ArrivesAsTheConnectionConvertsIt) {
  VELLORA_REQUIRE_PRIVATE_NET();
  const struct {
    const char* name;
    uint64_t lsbMask;
    bool swapped;  // the sink takes big-endian words only
    int seconds;
  } cases[] = {
      {"same order", 0x2510000 | 0x02 | F44100 | mult(6), false, 10},
      {"byte-swapped words", 0x2910000 | 0x02 | F44100 | mult(6), true, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    quit = false;
    failures = 0;
    vsim::SinkConfig config;
    config.dsdLsb = c.lsbMask;
    start(config);
    EXPECT_EQ(node->controlBlock->formatMask, 0x0F000000u);
    EXPECT_EQ(node->controlBlock->rateMask, 0x8u);
    CardPlayOptions o = options(0);
    o.format = 0x01000000;  // LSB first, little-endian words
    o.periodCount = 32;
    o.bufferBytes = 32 * 35280;  // 50 ms periods
    o.seconds = c.seconds;
    CardPlay player(o);
    ASSERT_TRUE(player.run());
    std::vector<uint8_t> played = CardPlay::pattern(0, player.written(), 4);
    if (c.swapped) {
      for (std::size_t i = 0; i + 3 < played.size(); i += 4) {
        std::swap(played[i], played[i + 3]);
        std::swap(played[i + 1], played[i + 2]);
      }
    }
    EXPECT_EQ(player.written(), 88200u * 8 * c.seconds);
    eventually([&] { return arrivedAsPlayed(sink->audio(), played, 0x69); });
    EXPECT_TRUE(arrivedAsPlayed(sink->audio(), played, 0x69));
    sink.reset();
  }
}

TEST_F(CardPath, UnusableChoiceAlternatesReadyAndError) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start();
  CardPlayOptions o = options(1920);
  o.format = 0;  // no format at all
  CardPlay player(o);
  ASSERT_TRUE(player.open());
  ASSERT_TRUE(player.choose());
  player.card().openSubstream();
  cardStore(player.card().block().format, uint64_t{0});
  cardStore(player.card().block().rate, uint64_t{0x4});
  cardStore(player.card().block().channels, uint64_t{0x2});
  cardStore(player.card().block().bufferBytes, 7680u);
  cardStore(player.card().block().periodCount, 4u);
  player.card().prepare();
  ASSERT_TRUE(eventually([&] {
    const std::vector<uint32_t> p = posted();
    int errors = 0;
    for (uint32_t s : p) errors += s == 0x80000007u;
    return errors >= 3;
  }));
  const std::vector<uint32_t> p = posted();
  for (std::size_t i = 1; i + 1 < p.size(); ++i) {
    if (p[i] == 0x80000007u) {
      EXPECT_EQ(p[i + 1], HOST_STATUS_READY) << i;
    }
  }
  EXPECT_EQ(failures.load(), 0) << "an unusable format is no failed connect";
  EXPECT_EQ(node->syncState.load(), VELLORA::SSync::Idle);
}

TEST_F(CardPath, HostileGeometryIsAnUnusableFormat) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start();
  const uint32_t ring = node->alsaSetting.ringBytes();
  const struct {
    const char* name;
    uint32_t bufferBytes, periodCount;
  } cases[] = {
      {"buffer 0", 0, 4},
      {"buffer past the ring", ring + 8, 4},
      {"no periods", 7680, 0},
      {"periods of 0 bytes", 7680, 7681},
      {"periods smaller than a frame", 7680, 3000},
      {"one period larger than the card offered", ring, 1},
  };
  CardPlay player(options(1920));
  ASSERT_TRUE(player.open());
  for (const auto& c : cases) {
    SyncMemControl& b = player.card().block();
    player.card().hwFree();
    ASSERT_TRUE(eventually([&] { return player.card().hostStatus() == HOST_STATUS_READY; }));
    cardStore(b.format, uint64_t{0x2});
    cardStore(b.rate, uint64_t{0x4});
    cardStore(b.channels, uint64_t{0x2});
    cardStore(b.bufferBytes, c.bufferBytes);
    cardStore(b.periodCount, c.periodCount);
    player.card().prepare();
    EXPECT_TRUE(eventually([&] { return player.card().hostStatus() == 0x80000007u; })) << c.name;
    EXPECT_EQ(node->syncState.load(), VELLORA::SSync::Idle) << c.name;
  }
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(CardPath, GeometryChangedUnderARunningStreamGivesSilenceNotACrash) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start();
  CardPlay player(options(48000 * 4));
  ASSERT_TRUE(startPlaying(player));
  // Between two passes of the periodic work only the copy sees the change.
  stopLoop();
  cardStore(player.card().block().bufferBytes, 0xFFFFFFF0u);
  cardStore(player.card().block().periodCount, 1u);
  EXPECT_TRUE(eventually([&] { return node->periodCopy.stats().refused > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(stop.load());
  // The next pass ends the stream; the geometry cannot be connected again.
  startLoop();
  EXPECT_TRUE(eventually([&] { return posted().back() == 0x80000007u; }));
  EXPECT_FALSE(stop.load());
  EXPECT_EQ(failures.load(), 0);
}

// An application that prepares the card again with another choice faster
// than the periodic work looks never shows it an unprepared card: the
// stream connected with the old choice must not carry the new audio.
TEST_F(CardPath, CardPreparedAgainWithAnotherChoiceIsConnectedAgain) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start();
  {
    CardPlay first(stereo16(48000 * 4));
    ASSERT_TRUE(startPlaying(first));
  }
  const uint64_t format16 = sink->wireFormat();

  CardPlay again(anotherChoice(0x8 /* 24-bit */, 48000 * 6 / 2));
  std::size_t before = 0;
  ASSERT_TRUE(prepareBetweenPasses(again, before));

  // The old stream ends (3) and a new one is connected (7) in the new format.
  ASSERT_TRUE(eventually([&] {
    const std::vector<uint32_t> p = posted();
    return p.size() >= before + 2 && p[p.size() - 2] == HOST_STATUS_READY && p.back() == 0x7;
  })) << testing::PrintToString(posted());
  EXPECT_NE(sink->wireFormat(), format16);
  again.prefillBuffer();
  again.start();
  ASSERT_TRUE(eventually([&] { return again.card().hostStatus() == 0xF; }));
  again.playAll();
  ASSERT_TRUE(again.drain());
  again.stop();
  const std::vector<uint8_t> played = CardPlay::pattern(0, again.written(), 3);
  eventually([&] { return arrivedAsPlayed(sink->audio(), played, 0); });
  EXPECT_TRUE(arrivedAsPlayed(sink->audio(), played, 0));
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(stop.load());
}

// The same in delay-line mode: the write held back when the application
// prepares the card again with another choice was taken in under the old
// one, and reaches the old stream before it ends.
TEST_F(CardPath, DelayLineServesItsHeldWriteBeforeAChoiceChangeEndsTheStream) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start(pcmSink(), true);
  CardPlay first(stereo16(48000 * 4 / 2));
  ASSERT_TRUE(startPlaying(first));
  first.playAll();
  ASSERT_TRUE(first.drain());

  // A format the card does not offer, so that no new stream replaces what
  // the old one delivered.
  CardPlay again(anotherChoice(0x4, 0));
  std::size_t before = 0;
  ASSERT_TRUE(prepareBetweenPasses(again, before));

  ASSERT_TRUE(eventually([&] {
    const std::vector<uint32_t> p = posted();
    return p.size() > before && p.back() == 0x80000007u;
  })) << testing::PrintToString(posted());
  const std::vector<uint8_t> played = CardPlay::pattern(0, first.written(), 2);
  EXPECT_TRUE(arrivedAsPlayed(sink->audio(), played, 0));
  EXPECT_EQ(node->periodCopy.stats().released, 1u);
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(CardPath, StreamDroppedByTheTargetIsConnectedAgain) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start();
  CardPlay player(options(0));
  ASSERT_TRUE(startPlaying(player));

  const std::size_t before = posted().size();
  sink->setSilent(true);
  std::thread writer([&] { player.play(48000 * 4 * 3); });
  // The stream ends by itself; the next work posts 3, connects again and
  // posts 7, and PLAY comes back once RUNNING is seen with the new stream.
  auto reconnected = [&] {
    const std::vector<uint32_t> p = posted();
    const uint32_t order[] = {HOST_STATUS_READY, 0x7, 0xF};
    std::size_t k = 0;
    for (std::size_t i = before; i < p.size() && k < 3; ++i) k += p[i] == order[k];
    return k == 3;
  };
  EXPECT_TRUE(eventually(reconnected));
  sink->setSilent(false);
  writer.join();
}

// The application starts its next play as soon as the last one ended,
// while the daemon is still ending that stream. The card must not say
// connected before the new stream is: the connect fills the ring with
// silence, over whatever the application prefilled on a stale status.
TEST_F(CardPath, PlayStartedWhileTheLastStreamEndsArrivesWhole) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start();
  CardPlay first(stereo16(48000 * 4 / 2));
  ASSERT_TRUE(first.run());
  // The daemon saw the card unprepared and is ending the stream.
  ASSERT_TRUE(eventually([&] { return node->disconnectReq.load(); }));
  const uint32_t statusWhileEnding = posted().back();
  const bool stillEnding = streamIsActive(*node);
  CardPlay next(stereo16(48000 * 4));
  ASSERT_TRUE(next.run());
  EXPECT_TRUE(stillEnding) << "the next play came after the stream had ended";
  EXPECT_EQ(statusWhileEnding & HOST_STATUS_CONNECTED, 0u);
  const std::vector<uint8_t> played = CardPlay::pattern(0, next.written(), 2);
  eventually([&] { return arrivedAsPlayed(sink->audio(), played, 0); });
  EXPECT_TRUE(arrivedAsPlayed(sink->audio(), played, 0))
      << "underruns " << node->periodCopy.stats().underruns.load() << " unwritten "
      << node->periodCopy.stats().unwritten.load();
  EXPECT_EQ(failures.load(), 0);
}

// A pause: the application stops the card and starts it again without a
// new prepare, with a buffer of fewer periods than the stream buffer has
// blocks. What it wrote before the pause and all it writes after arrive in
// order, with silence only where the card did not run: whether the stream
// stopped with the card (alsaUnderrun) or played on.
TEST_F(CardPath, PausedCardResumesWithEveryByteInOrder) {
  VELLORA_REQUIRE_PRIVATE_NET();
  const struct {
    const char* name;
    bool delayLine, alsaUnderrun;
  } cases[] = {
      {"simple copy, stream stopped", false, true},
      {"simple copy, stream played on", false, false},
      {"delay line, stream stopped", true, true},
      {"delay line, stream played on", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A player held up by a loaded machine leaves a gap of its own: such a
    // play proves nothing and is played again, up to 3 times.
    for (int attempt = 1;; ++attempt) {
      TearDown();
      quit = false;
      failures = 0;
      start(pcmSink(), c.delayLine, c.alsaUnderrun);
      CardPlayOptions o = stereo16(48000 * 4 * 2);
      o.bufferBytes = 9600;
      o.periodCount = 4;
      CardPlay player(o);
      ASSERT_TRUE(startPlaying(player));
      player.play(48000 * 4 / 2);
      player.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      player.start();
      player.playAll();
      ASSERT_TRUE(player.drain());
      player.stop();
      const std::vector<uint8_t> played = CardPlay::pattern(0, player.written(), 2);
      eventually([&] { return vellora_test::playedInOrder(sink->audio(), played, 1); });
      const ::testing::AssertionResult r = vellora_test::playedInOrder(sink->audio(), played, 1);
      if (r || player.late() == 0 || attempt == 3) {
        EXPECT_TRUE(r) << "late " << player.late() << " underruns "
                       << node->periodCopy.stats().underruns.load() << " unwritten "
                       << node->periodCopy.stats().unwritten.load() << " mute served "
                       << node->workerStats.muteServed.load();
        EXPECT_EQ(failures.load(), 0);
        break;
      }
    }
  }
}

TEST_F(CardPath, WithoutUnderrunStopTheStreamKeepsPlaying) {
  VELLORA_REQUIRE_PRIVATE_NET();
  start(pcmSink(), false, false);
  CardPlay player(options(48000 * 4));
  ASSERT_TRUE(player.open());
  ASSERT_TRUE(player.choose());
  ASSERT_EQ(player.prepare(), 0x7u);
  player.start();
  ASSERT_TRUE(eventually([&] { return player.card().hostStatus() == 0xF; }));
  player.stop();
  ASSERT_TRUE(eventually([&] { return player.card().hostStatus() == 0x7; }));
  EXPECT_TRUE(node->playFlag.load());
  player.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(player.card().hostStatus(), 0x7u) << "PLAY returns only with a new connect";
}

TEST_F(CardPath, VolumeIsMirroredBothWays) {
  VELLORA_REQUIRE_PRIVATE_NET();
  VolumePort port(sim);
  ASSERT_NO_FATAL_FAILURE(startWithVolume(port));

  const struct {
    int32_t card;
    int64_t target;
    int32_t back;
  } steps[] = {{5000, -3000, 5001}, {1, -6000, 1}, {10001, 0, 10001}, {-7, -6000, 1}};
  for (const auto& s : steps) {
    port.controls.clearWrites();
    port.card.setVolume(s.card);
    ASSERT_TRUE(eventually([&] { return !port.controls.writes().empty(); })) << s.card;
    EXPECT_TRUE(eventually([&] { return port.card.volume() == s.back; })) << s.card;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto writes = port.controls.writes();
    ASSERT_EQ(writes.size(), 1u) << s.card;
    EXPECT_EQ(writes[0].value, s.target) << s.card;
    EXPECT_EQ(port.controls.volume(port.ep, 1), s.target);
  }
}

// The application moves its volume again while the daemon is still setting
// the target to the previous value: the newer value is neither overwritten
// by the read-back nor lost, it goes to the target next.
TEST_F(CardPath, VolumeWrittenWhileTheTargetIsSetIsKept) {
  VELLORA_REQUIRE_PRIVATE_NET();
  VolumePort port(sim);
  ASSERT_NO_FATAL_FAILURE(startWithVolume(port));
  vsim::ControlFault late;
  late.reply = vsim::Reply::late(std::chrono::milliseconds(5));
  port.controls.fault(port.ep, VELLORA::CONTROLVALUE_REQ, late);

  port.controls.clearWrites();
  port.card.setVolume(5000);
  // The write to the target has arrived; its answer is still on its way.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (port.controls.writes().empty() && std::chrono::steady_clock::now() < end) {
    std::this_thread::yield();
  }
  port.card.setVolume(3000);
  EXPECT_TRUE(eventually([&] { return port.controls.volume(port.ep, 1) == -4200; }))
      << "target " << port.controls.volume(port.ep, 1) << " card " << port.card.volume();
  EXPECT_TRUE(eventually([&] { return port.card.volume() == 3001; })) << port.card.volume();
}

TEST_F(CardPath, WithoutAVolumeItemTheCardKeepsItsValue) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vsim::ControlSim controls(sim);
  const vsim::EndpointId ep = controls.add({vsim::ControlItemSpec::play()});
  start(pcmSink(), false, true, chainTo(sim.address(ep)));
  vsim::SimCard card;
  ASSERT_TRUE(card.open(0, dir.path()));
  EXPECT_EQ(card.volume(), 0);
  card.setVolume(4000);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(card.volume(), 4000);
  EXPECT_TRUE(controls.writes().empty());
  card.close();
}

// With a limit set the automatic profile is used. A search that finds a
// profile connects with it, and a cycle of 1 ms or more also takes the
// worker off its spinning modes; one that gives up leaves nothing to
// stream, so the connect is refused and reported as a failed one.
// With an automatic profile the worker steps to the second entry, searched
// from the file's cycle, when it falls behind. That entry must neither
// overtake what the application wrote ahead (a cycle held for the card
// buffer, like a fixed one) nor outlast the stream buffer.
TEST_F(CardPath, AutomaticProfileEntriesFitTheCardAndTheStreamBuffer) {
  VELLORA_REQUIRE_PRIVATE_NET();
  constexpr uint64_t PS_PER_US = 1'000'000;
  const struct {
    const char* name;
    uint32_t bufferBytes, periodCount;  // 48 kHz, 16-bit stereo: 192 bytes a millisecond
  } cases[] = {
      {"a 40 ms card buffer of 4 periods", 7680, 4},
      {"a 400 ms card buffer of 32 periods", 76800, 32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    setUpNode = [&](SyncMemDrv& n) {
      n.profile.targetProfileLimitTime = KALMO::Clock(400 * PS_PER_US);
      n.profile.cycleTime = KALMO::Clock(100000 * PS_PER_US);
    };
    start();
    CardPlayOptions o = stereo16(0);
    o.bufferBytes = c.bufferBytes;
    o.periodCount = c.periodCount;
    CardPlay player(o);
    ASSERT_TRUE(player.open());
    ASSERT_TRUE(player.choose());
    ASSERT_EQ(player.prepare(), 0x7u);
    stopLoop();
    ASSERT_EQ(node->usableProfileCount(), 2);
    const uint64_t bufferUs = c.bufferBytes / 192 * 1000;
    for (int i = 0; i < node->usableProfileCount(); ++i) {
      EXPECT_LT(node->profiles[i].cycle.get() / PS_PER_US, bufferUs) << "entry " << i;
    }
    const uint64_t periodUs = c.bufferBytes / c.periodCount * 1000 / 192;
    ASSERT_GE(node->blockRing.size(), 2u);
    EXPECT_GE((node->blockRing.size() - 1) * periodUs, node->getLongestCycleTime().get() / PS_PER_US)
        << node->blockRing.size() - 1 << " blocks of " << periodUs << " us";
    sink.reset();
  }
}

TEST_F(CardPath, AutomaticProfileConnectsOnlyWhenItsSearchSucceeds) {
  VELLORA_REQUIRE_PRIVATE_NET();
  using VELLORA::SSync;
  constexpr int32_t MODE = SSync::NOSLEEP4CORE | SSync::NOSLEEPFORCE | SSync::IDLEONCE;
  const struct {
    const char* name;
    std::pair<uint16_t, uint16_t> dataSize;  // the sink's MTU and byte limit
    uint64_t limitUs;
    bool searchFinds;
    bool cycleOf1msOrMore;
    int32_t workMode;  // open() gave 0
  } cases[] = {
      // One packet of 8 bytes a cycle: no cycle the search accepts carries the audio.
      {"search finds nothing", {72, 72}, 400, false, false, 0},
      {"cycle below 1 ms", {1500, 0xFFFF}, 400, true, false, 0},
      {"cycle of 1 ms or more", {1500, 0xFFFF}, 2000, true, true, SSync::IDLEONCE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    quit = false;
    failures = 0;
    vsim::SinkConfig config = pcmSink();
    config.dataSize = c.dataSize;
    const KALMO::Clock limit(c.limitUs * 1'000'000);
    setUpNode = [&](SyncMemDrv& n) {
      n.profile.targetProfileLimitTime = limit;
      n.profile.syncWorkerMode = MODE;
    };
    start(config);
    CardPlay player(stereo16(0));
    ASSERT_TRUE(player.open());
    ASSERT_TRUE(player.choose());
    EXPECT_EQ(player.prepare(), c.searchFinds ? 0x7u : 0x80000007u);
    stopLoop();
    if (c.searchFinds) {
      EXPECT_EQ(failures.load(), 0);
    } else {
      EXPECT_GE(failures.load(), 1) << "the refused connect is a failed one";
    }
    EXPECT_EQ(streamIsActive(*node), c.searchFinds);
    EXPECT_EQ(node->profileCount, 2) << "both automatic searches were run";
    EXPECT_EQ(node->getCycleTime().get() > 999'999'999, c.cycleOf1msOrMore);
    EXPECT_EQ(node->workMode.load(), c.workMode);
    // The node's own inputs to the first search, searched again.
    VELLORA::ProfileMaker again = node->profileMaker;
    again.setConfig(node->wireFormat, limit, node->maxPacketSize, node->maxPacketCount);
    EXPECT_EQ(again.configTransferAuto(KALMO::Clock(0)), c.searchFinds);
    sink.reset();
  }
}

// The stream's sending CPU comes from the allocator, or is none (-1)
// without one; it goes back when the card is no longer prepared.
TEST_F(CardPath, SendingCpuComesFromTheAllocatorOrIsNone) {
  VELLORA_REQUIRE_PRIVATE_NET();
  const struct {
    const char* name;
    bool allocator;
    int32_t cpu;
  } cases[] = {{"no allocator", false, -1}, {"range 4-7", true, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    quit = false;
    failures = 0;
    cpus = std::make_unique<OccupiedCPU>();
    cpus->cpuSend = 4;
    cpus->rangeSend = 4;
    cpus->resetUserCpu();
    setUpNode = [&](SyncMemDrv& n) { n.occupiedCpu = c.allocator ? cpus.get() : nullptr; };
    start();
    CardPlay player(options(0));
    ASSERT_TRUE(player.open());
    ASSERT_TRUE(player.choose());
    ASSERT_EQ(player.prepare(), 0x7u);
    stopLoop();
    EXPECT_EQ(node->sendCpu, c.cpu);
    EXPECT_EQ(node->workerCpu, c.cpu) << "the CPU the stream was connected with";
    EXPECT_EQ(cpus->useOf(4), c.allocator ? 1 : 0);
    startLoop();
    player.unprepare();
    ASSERT_TRUE(eventually([&] { return player.card().hostStatus() == HOST_STATUS_READY; }));
    EXPECT_TRUE(eventually([&] { return cpus->useOf(4) == 0; }));
    stopLoop();
    EXPECT_EQ(node->sendCpu, -1);
    EXPECT_EQ(failures.load(), 0);
  }
}

// Whatever the driver writes into its fields while a stream plays, nothing
// outside the ring is touched, the daemon is not stopped, the stream stays
// connected, and the card streams byte for byte again after a new prepare.
TEST_F(CardPath, HostileDriverFieldsWhilePlayingAreSurvived) {
  VELLORA_REQUIRE_PRIVATE_NET();
  const struct {
    const char* name;
    void (*scribble)(SyncMemControl&);
  } scribbles[] = {
      {"write position past the ring", [](SyncMemControl& b) { cardStore(b.writePos, 0xFFFFFFFFu); }},
      {"read position past the ring", [](SyncMemControl& b) { cardStore(b.readPos, 0xFFFFFFF0u); }},
      {"write position at the read position",
       [](SyncMemControl& b) { cardStore(b.writePos, cardLoad(b.readPos)); }},
      {"counters jump ahead",
       [](SyncMemControl& b) {
         cardStore(b.writeTotal, cardLoad(b.writeTotal) + 0x80000000u);
         cardStore(b.periodSeq, cardLoad(b.periodSeq) + 0x7FFFFFFFu, std::memory_order_release);
       }},
      {"counters run backwards",
       [](SyncMemControl& b) {
         cardStore(b.writeTotal, cardLoad(b.writeTotal) - 100000u);
         cardStore(b.periodSeq, cardLoad(b.periodSeq) - 5u, std::memory_order_release);
       }},
      {"sizes past the ring",
       [](SyncMemControl& b) {
         for (uint32_t& s : b.periodSizes) cardStore(s, 0xFFFFFFFFu);
         cardStore(b.writeTotal, cardLoad(b.writeTotal) + 5u);
         cardStore(b.periodSeq, cardLoad(b.periodSeq) + 5u, std::memory_order_release);
       }},
      {"every status bit", [](SyncMemControl& b) { cardStore(b.memStatus, 0xFFFFFFFFu); }},
      {"lowest volume", [](SyncMemControl& b) { cardStore(b.volume, INT32_MIN); }},
      {"highest volume", [](SyncMemControl& b) { cardStore(b.volume, INT32_MAX); }},
  };
  for (bool delayLine : {false, true}) {
    SCOPED_TRACE(delayLine ? "delay line" : "simple copy");
    TearDown();
    quit = false;
    failures = 0;
    start(pcmSink(), delayLine);
    CardPlayOptions o = stereo16(48000 * 4);
    o.bufferBytes = 32 * 1920;  // 10 ms periods
    {
      CardPlay player(o);
      ASSERT_TRUE(startPlaying(player));
      SyncMemControl& b = player.card().block();
      for (const auto& s : scribbles) {
        s.scribble(b);
        // Two blocks taken with the field as written.
        for (int i = 0; i < 2; ++i) {
          const uint32_t at = player.card().readPos();
          EXPECT_TRUE(eventually([&] { return player.card().readPos() != at; })) << s.name;
        }
        EXPECT_FALSE(stop.load()) << s.name;
        EXPECT_TRUE(streamIsActive(*node)) << s.name;
      }
      cardStore(b.memStatus, MEM_STATUS_OPEN | MEM_STATUS_PREPARED | MEM_STATUS_RUNNING);
      EXPECT_TRUE(eventually([&] { return player.card().hostStatus() == 0xF; }));
      player.stop();
      player.unprepare();
      player.close();
    }
    // Until READY is posted the next prepare would see the old stream's 7.
    ASSERT_TRUE(eventually([&] { return posted().back() == HOST_STATUS_READY; }));
    o.bytes = 48000 * 4 / 2;
    CardPlay again(o);
    ASSERT_TRUE(again.run());
    // In delay-line mode too: the held write goes out when the card stops.
    const std::vector<uint8_t> played = CardPlay::pattern(0, again.written(), 2);
    // The sink keeps the audio of its present stream only.
    eventually([&] { return arrivedAsPlayed(sink->audio(), played, 0); });
    EXPECT_TRUE(arrivedAsPlayed(sink->audio(), played, 0));
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(stop.load());
  }
}

}  // namespace
