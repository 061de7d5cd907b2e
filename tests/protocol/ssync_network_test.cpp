// A frame counter streamed through a hostile network to the stand-in sink,
// under fixed seeds: lost, bursty, duplicated and reordered stream packets;
// lost, duplicated, stale and reordered feedback and resend requests;
// feedback at the ends of the correction range; a sink that stops taking
// anything in for a while. What the sink kept must be exactly what was
// written, in order; the worker must keep its schedule and the disconnect
// must end the stream in time.

#include <random>
#include <sstream>

#include "tests/protocol/ssync_fixture.h"

namespace {

using namespace vellora_test;
using VELLORA::SSync;

struct NetCase {
  const char* name;
  uint32_t seed;
  // Profile: cycle, packets per cycle, bytes per packet (0: frames decide).
  uint64_t cycleUs;
  uint16_t packets;
  uint32_t bytes;
  uint32_t framesQ14;
  uint64_t frames;  // of 16-bit stereo at 48 kHz
  // Per mille, per datagram.
  int loss;         // a stream packet is lost
  int burst;        // a burst of 2 to 12 lost packets begins
  int lastOfCycle;  // the packet that ends a cycle is lost
  int duplicate;    // a stream packet arrives twice
  int reorder;      // a stream packet is held back 1 to 4 ms
  int replyLoss;    // resend request or feedback lost
  int replyDuplicate;
  int replyStale;  // held back up to staleMs
  int staleMs;
  bool extremeFeedback;  // feedback drawn from the ends of the range
  int pauses;            // the sink stops taking anything in, 20 to 150 ms each
};

// The network: one engine of decisions for both directions. Both run on
// the stand-in's engine thread, under the sink's lock.
struct Network {
  explicit Network(const NetCase& c) : c(c), random(c.seed) {}

  bool chance(int perMille) { return perMille > 0 && static_cast<int>(random() % 1000) < perMille; }

  vsim::NetFate packet(const vsim::WirePacket& p) {
    vsim::NetFate f;
    if (burstLeft > 0) {
      burstLeft -= 1;
      f.drop = true;
      return f;
    }
    if (chance(c.burst)) {
      burstLeft = 1 + static_cast<int>(random() % 11);
      f.drop = true;
      return f;
    }
    if (chance(c.loss) || (p.cycleEnd && chance(c.lastOfCycle))) {
      f.drop = true;
      return f;
    }
    if (chance(c.duplicate)) f.copies = 2;
    if (chance(c.reorder)) f.delay = std::chrono::milliseconds(1 + random() % 4);
    return f;
  }

  vsim::NetFate reply(vsim::ToHost kind) {
    vsim::NetFate f;
    if (kind == vsim::ToHost::OTHER) return f;  // the closing answer
    if (chance(c.replyLoss)) {
      f.drop = true;
      return f;
    }
    if (chance(c.replyDuplicate)) f.copies = 2;
    if (chance(c.replyStale)) f.delay = std::chrono::milliseconds(1 + random() % c.staleMs);
    return f;
  }

  const NetCase& c;
  std::mt19937 random;
  int burstLeft = 0;
};

// Feedback from both ends of each kind, and neutral.
vsim::SinkFeedback extremeFeedback(uint32_t draw) {
  static const vsim::SinkFeedback table[] = {
      {0x7FFF, 0, 0},  // kind 1, far too full
      {0x0001, 0, 0},  // kind 1, far too empty
      {0xBFFF, 0, 0},  // kind 2, +16383
      {0xC000, 0, 0},  // kind 2, -16384
      {0, 0xFFFF, 1},  // kind 3, saturates high
      {0, 0, 0xFFFF},  // kind 3, -1.0
      {0x2000, 0, 0},  // neutral
      {0, 0, 0},       // no error
  };
  return table[draw % std::size(table)];
}

class SSyncNetwork : public ::testing::TestWithParam<NetCase> {};

TEST_P(SSyncNetwork, SinkKeepsExactlyTheAudioWrittenInOrder) {
  VELLORA_REQUIRE_PRIVATE_NET();
  const NetCase& c = GetParam();
  vsim::SinkConfig config = pcmSink();
  config.answerSynchroNode = false;  // 16-bit sequence numbers on the control port
  StreamRun r(config);
  Network net(c);
  r.sink->setNetwork([&net](const vsim::WirePacket& p) { return net.packet(p); },
                     [&net](vsim::ToHost k) { return net.reply(k); });

  ASSERT_TRUE(openTo(r.host, *r.sink));
  ASSERT_TRUE(r.host.setSinkConfigure(kStereo16At48k));
  r.host.setConfigTransfer(cycleProfile(c.cycleUs, c.packets, c.bytes, c.framesQ14));
  r.expected = frameCounter(c.frames, 4);
  r.host.setAudio(r.expected, 480 * 4, 0);

  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(connectHost(r.host));
  r.host.play();

  // The test's own draws: feedback values and the sink's pauses.
  std::mt19937 drive(c.seed ^ 0x5eed);
  int pausesLeft = c.pauses;
  const auto audioTime = std::chrono::microseconds(c.frames * 1000000 / 48000);
  while (!r.host.allHandedOut() && r.host.syncState.load() == SSync::Connected &&
         std::chrono::steady_clock::now() - t0 < audioTime * 3 + std::chrono::seconds(5)) {
    if (c.extremeFeedback) r.sink->setFeedback(extremeFeedback(drive()));
    if (pausesLeft > 0 && drive() % 8 == 0) {
      pausesLeft -= 1;
      r.sink->pause(std::chrono::milliseconds(20 + drive() % 131));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + drive() % 30));
  }
  ASSERT_TRUE(r.host.allHandedOut()) << "state " << int(r.host.syncState.load());
  EXPECT_EQ(r.host.syncState.load(), SSync::Connected);

  // Disconnect while the last blocks are still on their way: the closing
  // steps end within the receive limit and the DSICONNECT exchange.
  const auto d0 = std::chrono::steady_clock::now();
  r.host.disconnect();
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_LT(t1 - d0, std::chrono::milliseconds(3500));
  EXPECT_EQ(r.host.syncState.load(), SSync::Idle);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // late duplicates settle
  r.sink->setNetwork({}, {});

  const vsim::SinkStats st = r.sink->stats();
  const auto summary = [&] {
    std::ostringstream o;
    o << c.name << ": wire " << st.wire << " lost " << st.netDropped << " kept " << st.audioBytes
      << " gaps " << st.gaps << " duplicates " << st.duplicates << " resend requests "
      << st.resendRequests << " feedbacks " << st.feedbacks << " disconnects " << st.disconnects;
    return o.str();
  };
  EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true)) << summary();
  if (c.loss + c.burst + c.lastOfCycle > 0) {
    EXPECT_GT(st.netDropped, 0u) << summary();
  }
  EXPECT_GE(st.disconnects, 1u) << summary();

  // On schedule: the worker never sends faster than its cycles allow (the
  // correction shortens them by at most 3%), however it is pushed.
  const double seconds = std::chrono::duration<double>(t1 - t0).count();
  const double cycles = seconds * 1e6 / static_cast<double>(c.cycleUs);
  EXPECT_LE(static_cast<double>(st.wire), (cycles * 1.05 + 4) * c.packets) << summary();
}

// Stereo 16-bit at 48 kHz: 48 frames (192 bytes) per millisecond.
INSTANTIATE_TEST_SUITE_P(
    Seeds, SSyncNetwork,
    ::testing::Values(
        // name, seed, cycle us, packets, bytes, framesQ14, frames,
        // loss, burst, lastOfCycle, dup, reorder, replyLoss, replyDup,
        // replyStale, staleMs, extreme feedback, pauses
        NetCase{"loss", 11, 2000, 4, 96, 0, 72000, 20, 3, 100, 0, 0, 0, 0, 0, 1, false, 0},
        NetCase{"reorderAndDuplicates", 23, 2000, 4, 96, 0, 72000, 10, 0, 0, 30, 40, 0, 0, 0, 1,
                false, 0},
        NetCase{"repliesLostDuplicatedStale", 37, 1000, 2, 96, 0, 72000, 20, 2, 50, 10, 10, 150,
                100, 100, 300, false, 0},
        NetCase{"extremeFeedbackAndPauses", 41, 1000, 1, 0, 48 * 16384, 72000, 10, 1, 0, 10, 10,
                100, 50, 50, 50, true, 4},
        // 24 packets per 1 ms cycle: the 16-bit sequence wraps after 2.7 s.
        NetCase{"acrossTheWrap", 53, 1000, 24, 8, 0, 140000, 2, 1, 20, 5, 5, 100, 50, 50, 30, false,
                1}),
    [](const ::testing::TestParamInfo<NetCase>& info) { return std::string(info.param.name); });

}  // namespace
