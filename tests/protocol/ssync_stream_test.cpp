// Streaming against the stand-in sink: sequence numbers, prefill, cycle ends
// and info requests, packet sizes, the data port, the audio byte for byte.

#include "tests/protocol/ssync_fixture.h"

#include <sys/socket.h>

#include <set>

namespace {

using namespace vellora_test;
using VELLORA::SSync;

TEST(SSyncStream, SequencePrefillCycleEndAndInfoRequests) {
  VELLORA_REQUIRE_PRIVATE_NET();
  // Cycle ends are seen on the control port only.
  vsim::SinkConfig config = pcmSink();
  config.answerSynchroNode = false;
  StreamRun r(config);
  // Three packets per 1 ms cycle, equal sizes.
  VELLORA::Profile p;
  p.cycle = 1000 * kUs;
  p.packetsPerCycle = 3;
  p.fixedPacketBytes = 64;
  p.maxPacketBytes = 64;
  p.framesPerPacketQ14 = 16 * 16384;
  p.mode = VELLORA::TRANSFER_VAR;
  r.host.playAtStart = true;
  r.stream(kStereo16At48k, 24000, [&](SSync& h) {
    h.setConfigTransfer(p);
    return true;
  });
  EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true));
  const auto packets = r.sink->packets();
  ASSERT_GT(packets.size(), 100u);
  const vsim::SinkStats st = r.sink->stats();
  EXPECT_EQ(st.gaps, 0u);
  EXPECT_EQ(st.duplicates, 0u);
  EXPECT_GE(st.disconnects, 1u);
  EXPECT_FALSE(r.sink->connectedMs());
  size_t infos = 0;
  size_t lastEnd = 0, onTime = 0, ends = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].index, i);
    EXPECT_EQ(packets[i].bytes, 64u);
    // The last packet of each cycle ends it: three packets per cycle, six
    // when a late cycle is doubled; only a cycle end asks for info.
    if (packets[i].cycleEnd) {
      const size_t run = i + 1 - lastEnd;
      EXPECT_TRUE(run == 3 || run == 6) << i << " " << run;
      onTime += run == 3;
      ++ends;
      lastEnd = i + 1;
    }
    if (packets[i].infoRequest) {
      EXPECT_TRUE(packets[i].cycleEnd) << i;
      ++infos;
    }
  }
  EXPECT_GT(onTime, ends / 2);
  // One info request per 10 ms: about one per 30 packets.
  EXPECT_GT(infos, packets.size() / 60);
  EXPECT_LT(infos, packets.size() / 15);
  // Prefill: packets 0 to 2 are silence; audio starts with packet 3.
  const auto audio = r.sink->audio();
  for (size_t i = 0; i < 3 * 64; ++i) ASSERT_EQ(audio[i], 0) << i;
  EXPECT_NE(audio[3 * 64], 0);
  EXPECT_EQ(r.sink->hostName(), "test host");
  EXPECT_EQ(r.sink->hostTag(), 77u);
  EXPECT_NE(r.sink->connectPre(), 0u);
}

TEST(SSyncStream, FractionalFramesAlternatePacketSizes) {
  VELLORA_REQUIRE_PRIVATE_NET();
  StreamRun r;
  VELLORA::Profile p;
  p.cycle = 1000 * kUs;
  p.packetsPerCycle = 1;
  p.framesPerPacketQ14 = 16384 * 3 / 2;  // 1.5 frames per packet
  p.maxPacketBytes = 8;
  p.mode = VELLORA::TRANSFER_FIX;
  r.stream(kStereo16At48k, 300, [&](SSync& h) {
    h.setConfigTransfer(p);
    return true;
  });
  EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true));
  const auto packets = r.sink->packets();
  ASSERT_GT(packets.size(), 20u);
  EXPECT_EQ(packets[0].bytes, 4u);  // the prefill: whole frames of 1.5
  for (size_t i = 1; i + 1 < packets.size(); ++i) {
    EXPECT_EQ(packets[i].bytes, i % 2 == 1 ? 4u : 8u) << i;
  }
}

TEST(SSyncStream, DataPortCarriesTagsAndAudio) {
  VELLORA_REQUIRE_PRIVATE_NET();
  StreamRun r;
  r.stream(kStereo16At48k, 48000 / 2, var1ms);
  EXPECT_TRUE(r.sink->connectedMs());
  EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true));
  const auto packets = r.sink->packets();
  ASSERT_GT(packets.size(), 100u);
  size_t infos = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_TRUE(packets[i].headerless);
    EXPECT_EQ(packets[i].index, i);
    EXPECT_EQ(packets[i].tag & 0x7F, i & 0x7F) << i;
    infos += packets[i].infoRequest ? 1 : 0;
  }
  EXPECT_GT(infos, 10u);
}

TEST(SSyncStream, SinkWithoutDataPortGetsControlPortStream) {
  VELLORA_REQUIRE_PRIVATE_NET();
  struct Case {
    bool synchroNode, dataPort;
  } cases[] = {{false, true}, {true, false}};
  for (const auto& c : cases) {
    vsim::SinkConfig config = pcmSink();
    config.answerSynchroNode = c.synchroNode;
    config.offerDataPort = c.dataPort;
    StreamRun r(config);
    r.stream(kStereo16At48k, 4800, var1ms);
    EXPECT_FALSE(r.sink->connectedMs());
    EXPECT_FALSE(r.host.dataSocket.is_open());
    EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true));
    EXPECT_FALSE(r.sink->packets().front().headerless);
  }
}

TEST(SSyncStream, StoppedStreamSendsSilenceAndReconnects) {
  VELLORA_REQUIRE_PRIVATE_NET();
  StreamRun r;
  r.stream(kStereo16At48k, 4800, var1ms, StreamRun::ALL_ARRIVED);
  r.host.stop();
  const uint64_t before = r.sink->stats().audioBytes;
  ASSERT_TRUE(r.sink->waitAudio(before + 19200, std::chrono::seconds(10)));
  // Disconnect while stopped: the final packet follows at once.
  r.host.disconnect();
  EXPECT_EQ(r.host.syncState.load(), SSync::Idle);
  EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true));
  // The same object connects again, from sequence 0.
  r.host.setAudio(r.expected, 1920, 0);
  ASSERT_TRUE(connectHost(r.host));
  r.host.play();
  ASSERT_TRUE(r.sink->waitAudio(r.expected.size(), std::chrono::seconds(10)));
  r.host.disconnect();
  EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true));
  EXPECT_EQ(r.sink->packets().front().index, 0u);
}

// DSD through a byte-swapping converter arrives converted, silence included.
TEST(SSyncStream, DsdByteSwapOnTheWire) {
  VELLORA_REQUIRE_PRIVATE_NET();
  constexpr uint64_t rate = kRate44k | mult(6);
  vsim::SinkConfig config;
  config.dsdLsb = 0x02 | 0x02910000 | rate;
  StreamRun r(config);
  const uint64_t host = 0x02 | 0x02510000 | rate;
  r.stream(host, 20000, var1ms);
  EXPECT_EQ(r.sink->wireFormat(), 0x02 | 0x02910000 | rate);
  std::vector<uint8_t> converted(r.expected.size());
  VELLORA::SyncConvert::memcpySyncByteSwap32(converted.data(), r.expected.data(), converted.size());
  EXPECT_TRUE(audioMatches(r.sink->audio(), converted, 0x69, true));
}

TEST(SSyncStream, SinkPhaseInvertsAudioAndSilence) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vsim::SinkConfig config = pcmSink();
  config.inverted = true;
  StreamRun r(config);
  r.stream(kStereo16At48k, 4800, var1ms);
  std::vector<uint8_t> inverted(r.expected);
  for (auto& b : inverted) b = static_cast<uint8_t>(~b);
  EXPECT_TRUE(audioMatches(r.sink->audio(), inverted, 0xFF, true));
}

TEST(SSyncStream, PhaseTurnedDuringTheStream) {
  VELLORA_REQUIRE_PRIVATE_NET();
  StreamRun r;
  r.stream(kStereo16At48k, 48000, var1ms, StreamRun::PLAYING);
  ASSERT_TRUE(r.sink->waitAudio(r.expected.size() / 4, std::chrono::seconds(10)));
  r.sink->setInverted(true);
  ASSERT_TRUE(eventually([&] { return r.host.converter.load() == VELLORA::SyncConvert::memcpySyncAntiPhase; },
                         std::chrono::seconds(5)));
  ASSERT_TRUE(eventually([&] { return r.host.allHandedOut(); }, std::chrono::seconds(30)));
  ASSERT_TRUE(r.sink->waitAudio(r.expected.size() + 4, std::chrono::seconds(10)));
  r.host.disconnect();
  // Every frame is the source's, first as it is and from one point on
  // complemented.
  const auto got = r.sink->audio();
  size_t start = 0;
  while (start < got.size() && got[start] == 0) ++start;
  bool flipped = false;
  size_t i = 0;
  for (; i < r.expected.size() && start + i < got.size(); ++i) {
    const uint8_t want = flipped ? static_cast<uint8_t>(~r.expected[i]) : r.expected[i];
    if (got[start + i] != want) {
      ASSERT_FALSE(flipped) << "byte " << i;
      ASSERT_EQ(got[start + i], static_cast<uint8_t>(~r.expected[i])) << "byte " << i;
      flipped = true;
    }
  }
  EXPECT_TRUE(flipped);
  EXPECT_EQ(i, r.expected.size());
}

// A cycle of more packets than the resend ring holds (a sink with a tiny
// MTU and no packet limit, a long cycle): the first cycle is all prefill and
// goes round the ring, and every packet of it must still carry its own
// sequence number. A bare sink on [::1], driven by the test thread itself,
// answers the connect and takes the stream into a receive buffer large
// enough for the whole cycle.
TEST(SSyncStream, PrefillLongerThanTheRingKeepsItsSequenceNumbers) {
  VELLORA_REQUIRE_PRIVATE_NET();
  constexpr uint16_t kPackets = 33000;  // the ring holds at most 32768
  KALMO::Socket handshake, stream;
  KALMO::IPAddress at = vsim::ipv6("::1", 0), streamAt = vsim::ipv6("::1", 0);
  ASSERT_TRUE(handshake.open(KALMO::Socket::UDP_IPV6) && handshake.bindV6(at, 1000));
  ASSERT_TRUE(stream.open(KALMO::Socket::UDP_IPV6) && stream.bindV6(streamAt, 1000));
  const int big = 256 << 20;
  if (::setsockopt(stream.getDescriptor(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0) {
    GTEST_SKIP() << "no room for a whole cycle in the receive buffer";
  }

  SSync host;
  // The bare sink never answers an info request; the stream would end for
  // the sink's silence after max(8 info cycles, 1 s). An info cycle as long
  // as the stream's cycle keeps it up while a slow build sends the first
  // cycle and the test looks at the state.
  ASSERT_TRUE(host.open(kTestMode, 2000 * kMs, 0, "test host", 77, -1, -1, 0));
  host.sinkAddress = at;
  host.sincSupportPCM = pcmSink().pcm;
  ASSERT_TRUE(host.setSinkConfigure(kStereo16At48k));
  host.setConfigTransfer(cycleProfile(2000000, kPackets, 4, 16384));

  ASSERT_TRUE(host.connect(-1));
  // CONNECT_ANS naming the stream socket as the control port (SYNCHRO_NODE_REQ
  // stays unanswered, so the stream takes the control port). Answered here,
  // not from a thread of its own: the worker builds a ring of 32768 packets
  // before it asks, which takes a while under a sanitizer on a busy machine,
  // and the connect waits 10 s a try for the answer.
  bool answered = false;
  const auto answerBy = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!answered && std::chrono::steady_clock::now() < answerBy) {
    if (handshake.wait(100 * kMs) != KALMO::Socket::WAIT_READY) continue;
    VELLORA::Receive r;
    KALMO::IPAddress from;
    if (!handshake.receiveFromV6(r.datagram, from) || !r) continue;
    if (r.getMessage() != VELLORA::CONNECT_REQ) continue;
    const uint16_t port = static_cast<uint16_t>((streamAt.port >> 8) | (streamAt.port << 8));
    VELLORA::Send ack(VELLORA::CONNECT_ANS, VELLORA::STATUS_ACK, port, 0, 0, 0);
    answered = handshake.sendToV6(ack, from, true);
  }
  ASSERT_TRUE(answered) << "no CONNECT_REQ to answer";
  ASSERT_TRUE(host.connectWait());
  ASSERT_EQ(host.syncState.load(), SSync::Connected);

  std::vector<uint16_t> sequences;
  KALMO::IPAddress from;
  const auto receiveBy = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (sequences.size() < kPackets && std::chrono::steady_clock::now() < receiveBy) {
    if (stream.wait(100 * kMs) != KALMO::Socket::WAIT_READY) continue;
    VELLORA::Receive r;
    ASSERT_TRUE(stream.receiveFromV6(r.datagram, from));
    if (r && r.getMessage() == VELLORA::STREAMDATA_REQ) sequences.push_back(r.getOption0());
  }
  host.close();
  ASSERT_EQ(sequences.size(), kPackets);
  for (size_t i = 0; i < sequences.size(); ++i) {
    ASSERT_EQ(sequences[i], i) << "packet " << i << " of the first cycle";
  }
}

}  // namespace
