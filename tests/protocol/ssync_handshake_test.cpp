#include "tests/protocol/ssync_fixture.h"

#include <chrono>
#include <optional>

namespace {

using namespace vellora_test;
using VELLORA::SSync;
using VELLORA::SyncConvert;

constexpr uint64_t kDsdRate = kRate44k | mult(6);  // 2.8224 MHz
constexpr uint64_t kLsbLe = 0x02510000, kLsbBe = 0x02910000, kMsbLe = 0x02610000,
                   kMsbBe = 0x02A10000;

// Handshake: what the sink answers -> what the host keeps.
TEST(SSyncHandshake, AnswersGiveSupportLatencyAndLimits) {
  VELLORA_REQUIRE_PRIVATE_NET();
  struct Case {
    const char* what;
    vsim::SinkConfig sink;
    uint64_t wantLatencyPs;
    bool ok;
    uint64_t pcm, lsb, msb;
    uint16_t latency, maxSize, maxCount;
  };
  auto sink = [](auto edit) {
    vsim::SinkConfig c = pcmSink();
    edit(c);
    return c;
  };
  const uint64_t pcm = pcmSink().pcm;
  const Case cases[] = {
      {"plain PCM sink", pcmSink(), 0, true, pcm, 0, 0, 20, 1432, 0xFFFF},
      {"latency wish granted", pcmSink(), 5000 * kUs, true, pcm, 0, 0, 50, 1432, 0xFFFF},
      {"latency below 100 us takes the sink's", pcmSink(), 99 * kUs, true, pcm, 0, 0, 20, 1432,
       0xFFFF},
      // 6553.6 ms and more do not fit the 16-bit wish: held at its largest, not
      // wrapped to 0 (the sink's own) or to a few milliseconds.
      {"latency wish of 6553.6 ms", pcmSink(), 65536 * 100 * kUs, true, pcm, 0, 0, 0xFFFF, 1432, 0xFFFF},
      {"latency wish of 7 s", pcmSink(), 7000 * kMs, true, pcm, 0, 0, 0xFFFF, 1432, 0xFFFF},
      {"max ten times the mtu", sink([](auto& c) { c.dataSize = std::make_pair(uint16_t{1500}, uint16_t{15000}); }),
       0, true, pcm, 0, 0, 20, 1432, 10},
      {"no data size answer", sink([](auto& c) { c.dataSize.reset(); }), 0, true, pcm, 0, 0, 20, 1432, 10},
      {"large mtu", sink([](auto& c) { c.dataSize = std::make_pair(uint16_t{9000}, uint16_t{0xFFFF}); }),
       0, true, pcm, 0, 0, 20, 8936, 0xFFFF},
      // An MTU without room for a frame cannot be streamed to.
      {"mtu 0", sink([](auto& c) { c.dataSize = std::make_pair(uint16_t{0}, uint16_t{0xFFFF}); }),
       0, false, pcm, 0, 0, 20, 1432, 10},
      {"mtu below the headers", sink([](auto& c) { c.dataSize = std::make_pair(uint16_t{40}, uint16_t{100}); }),
       0, false, pcm, 0, 0, 20, 1432, 10},
      {"mtu without room for an 8-channel frame",
       sink([](auto& c) { c.dataSize = std::make_pair(uint16_t{64 + 24}, uint16_t{0xFFFF}); }), 0, false,
       pcm, 0, 0, 20, 1432, 10},
      {"DSD MSB only", sink([](auto& c) { c.pcm = 0; c.dsdMsb = 0x02 | kMsbBe | kDsdRate; }), 0, true, 0, 0,
       0x02 | kMsbBe | kDsdRate, 20, 1432, 0xFFFF},
      {"nothing supported", sink([](auto& c) { c.pcm = 0; }), 0, false, 0, 0, 0, 0, 1432, 10},
      {"no latency answer", sink([](auto& c) { c.answerLatency = false; }), 0, false, pcm, 0, 0, 0, 1432, 10},
  };
  for (const auto& c : cases) {
    vsim::TargetSim sim;
    vsim::Sink s(sim, vsim::ipv6("::1", 0), c.sink);
    SSync host;
    ASSERT_TRUE(host.open(kTestMode, 10 * kMs, 0, "h", 1, -1, -1, 0));
    EXPECT_EQ(host.setSink(s.address(), c.wantLatencyPs, false), c.ok) << c.what;
    EXPECT_EQ(static_cast<uint64_t>(host.sincSupportPCM), c.pcm) << c.what;
    EXPECT_EQ(static_cast<uint64_t>(host.sincSupportDSDlsb), c.lsb) << c.what;
    EXPECT_EQ(static_cast<uint64_t>(host.sincSupportDSDmsb), c.msb) << c.what;
    EXPECT_EQ(host.latency, c.latency) << c.what;
    EXPECT_EQ(host.maxPacketSize, c.maxSize) << c.what;
    EXPECT_EQ(host.maxPacketCount, c.maxCount) << c.what;
    if (c.ok) {
      EXPECT_EQ(host.hwLatency, 5) << c.what;
      EXPECT_EQ(host.sinkAddress.comp(s.address()), 0) << c.what;
      EXPECT_EQ(host.getLatency(), static_cast<uint64_t>(c.latency + 5) * 100 * kUs) << c.what;
      const size_t latencyRequests = sim.count(s.handshakeEndpoint(), VELLORA::LATENCY_REQ);
      EXPECT_EQ(latencyRequests, c.wantLatencyPs >= 100 * kUs ? 2u : 1u) << c.what;
      EXPECT_TRUE(host.is_active()) << c.what;
    }
  }
}

TEST(SSyncHandshake, ProbeOnlyWhenAskedAndSilenceToItIsNoFailure) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vsim::TargetSim sim;
  vsim::Sink s(sim, vsim::ipv6("::1", 0), pcmSink());
  SSync host;
  ASSERT_TRUE(host.open(kTestMode, 10 * kMs, 0, "h", 1, -1, -1, 0));
  ASSERT_TRUE(host.setSink(s.address(), 0, false));
  EXPECT_EQ(sim.count(s.handshakeEndpoint(), VELLORA::PROBE_REQ), 0u);
  vsim::Script silent;
  silent.action = vsim::Script::Action::SILENT;
  sim.script(s.handshakeEndpoint(), VELLORA::PROBE_REQ, silent);
  ASSERT_TRUE(host.setSink(s.address(), 0, true));
  EXPECT_EQ(sim.count(s.handshakeEndpoint(), VELLORA::PROBE_REQ), 3u);
}

TEST(SSyncHandshake, MtuTestAndItsRefusals) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vsim::TargetSim sim;
  vsim::Sink s(sim, vsim::ipv6("::1", 0), pcmSink());
  SSync host;
  ASSERT_TRUE(host.open(kTestMode, 10 * kMs, 0, "h", 1, -1, -1, 0));
  ASSERT_TRUE(host.setSink(s.address(), 0, false));
  unsigned short mtu = 1200;
  EXPECT_TRUE(host.mtuTest(mtu));
  EXPECT_EQ(mtu, 1200);
  // Sizes that leave no payload, or a payload no record can carry.
  for (unsigned short bad : {0, 10, 64}) {
    mtu = bad;
    EXPECT_FALSE(host.mtuTest(mtu)) << bad;
    EXPECT_EQ(mtu, 0) << bad;
  }
  // A sink that never answers: bounded, no MTU.
  vsim::Script silent;
  silent.action = vsim::Script::Action::SILENT;
  sim.script(s.handshakeEndpoint(), VELLORA::DATASIZE_REQ, silent);
  mtu = 1200;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(host.mtuTest(mtu));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(mtu, 0);
}

TEST(SSyncHandshake, PackSizeFromMtu) {
  SSync host;
  host.setPackSize(1500, 0xFFFF);
  EXPECT_EQ(host.maxPacketSize, 1432);
  EXPECT_EQ(host.maxPacketCount, 0xFFFF);
  host.setPackSize(1500, 15000);
  EXPECT_EQ(host.maxPacketCount, 10);
  host.setPackSize(1000, 15000);
  EXPECT_EQ(host.maxPacketSize, 936);
  // No room for the headers: the limits stay as they were.
  host.setPackSize(0, 100);
  host.setPackSize(64, 100);
  EXPECT_EQ(host.maxPacketSize, 936);
  EXPECT_EQ(host.maxPacketCount, 15);
}

TEST(SSyncHandshake, BaseMinAndFrameMax) {
  SSync host;
  EXPECT_EQ(host.getNoneBaseMin(), 0xFFFFFFFFu);
  EXPECT_EQ(host.getFrameMax(), 0u);
  host.sincSupportPCM = pcmSink().pcm;  // 32 bits, 8 channels, x1 lowest
  host.sincSupportDSDmsb = 0x02 | kMsbBe | kDsdRate;  // 1 bit, 2 channels, x64
  EXPECT_EQ(host.getNoneBaseMin(), 16u);  // DSD: 64 * 1 * 2 / 8
  EXPECT_EQ(host.getFrameMax(), 32u);
  // A mask whose product is below 8 is skipped.
  host.sincSupportPCM = 0;
  host.sincSupportDSDmsb = 0x01 | kMsbBe | kRate44k | mult(0);
  EXPECT_EQ(host.getNoneBaseMin(), 0xFFFFFFFFu);
}

// Format choice: sink masks and host format -> wire format and converter.
TEST(SSyncHandshake, FormatChoiceTable) {
  struct Case {
    const char* what;
    uint64_t pcm, lsb, msb, format;
    bool ok;
    uint64_t wireType;  // bits 16-31 of the wire format (0: unchanged host format)
    SyncConvert::Converter converter;
  };
  const uint64_t st = 0x02;
  const uint64_t f16 = kStereo16At48k;
  const uint64_t lsbLe = st | kLsbLe | kDsdRate, lsbBe = st | kLsbBe | kDsdRate,
                 msbLe = st | kMsbLe | kDsdRate, msbBe = st | kMsbBe | kDsdRate;
  const Case cases[] = {
      {"PCM taken unchanged", pcmSink().pcm, 0, 0, f16, true, 0, SyncConvert::memcpySyncOrg},
      {"PCM not offered", 0x02 | 0x0800 | kRate48k | mult(0), 0, 0, f16, false, 0, nullptr},
      {"DSD taken unchanged", 0, lsbLe, 0, lsbLe, true, 0, SyncConvert::memcpySyncOrg},
      {"LSB LE -> LSB BE", 0, lsbBe, 0, lsbLe, true, kLsbBe, SyncConvert::memcpySyncByteSwap32},
      {"LSB BE -> LSB LE", 0, lsbLe, 0, lsbBe, true, kLsbLe, SyncConvert::memcpySyncByteSwap32},
      {"MSB LE -> MSB BE", 0, 0, msbBe, msbLe, true, kMsbBe, SyncConvert::memcpySyncByteSwap32},
      {"MSB BE -> MSB LE", 0, 0, msbLe, msbBe, true, kMsbLe, SyncConvert::memcpySyncByteSwap32},
      {"LSB LE -> MSB BE", 0, 0, msbBe, lsbLe, true, kMsbBe, SyncConvert::memcpySyncBitByteSwap32},
      {"LSB LE -> MSB LE", 0, 0, msbLe, lsbLe, true, kMsbLe, SyncConvert::memcpySyncBitSwap32},
      {"LSB BE -> MSB LE", 0, 0, msbLe, lsbBe, true, kMsbLe, SyncConvert::memcpySyncBitByteSwap32},
      {"LSB BE -> MSB BE", 0, 0, msbBe, lsbBe, true, kMsbBe, SyncConvert::memcpySyncBitSwap32},
      {"MSB LE -> LSB BE", 0, lsbBe, 0, msbLe, true, kLsbBe, SyncConvert::memcpySyncBitByteSwap32},
      {"MSB LE -> LSB LE", 0, lsbLe, 0, msbLe, true, kLsbLe, SyncConvert::memcpySyncBitSwap32},
      {"MSB BE -> LSB LE", 0, lsbLe, 0, msbBe, true, kLsbLe, SyncConvert::memcpySyncBitByteSwap32},
      {"MSB BE -> LSB BE", 0, lsbBe, 0, msbBe, true, kLsbBe, SyncConvert::memcpySyncBitSwap32},
      // The first applicable row decides: a rate the LSB mask lacks fails
      // without trying the MSB mask.
      {"LSB LE at an unlisted rate", 0, st | kLsbBe | kRate44k | mult(7), msbLe, lsbLe, false, 0,
       nullptr},
      {"16-bit DSD words", 0, st | 0x01910000 | kDsdRate, 0, st | 0x01510000 | kDsdRate, false, 0,
       nullptr},
      {"no 32-bit words offered", 0, st | 0x01910000 | kDsdRate, st | 0x01A10000 | kDsdRate, lsbLe,
       false, 0, nullptr},
      {"DSD4 is not converted", 0, st | 0x02920000 | kDsdRate, 0, st | 0x02520000 | kDsdRate, false,
       0, nullptr},
  };
  for (const auto& c : cases) {
    SSync host;
    host.sincSupportPCM = c.pcm;
    host.sincSupportDSDlsb = c.lsb;
    host.sincSupportDSDmsb = c.msb;
    // Leftovers of an earlier choice stay when a choice fails.
    host.wireFormat = 0x1234;
    host.hostFormat = 0x5678;
    host.converter = SyncConvert::memcpySyncAntiPhase;
    EXPECT_EQ(host.setSinkConfigure(c.format), c.ok) << c.what;
    if (!c.ok) {
      EXPECT_EQ(static_cast<uint64_t>(host.wireFormat), 0x1234u) << c.what;
      EXPECT_EQ(static_cast<uint64_t>(host.hostFormat), 0x5678u) << c.what;
      EXPECT_EQ(host.converter.load(), SyncConvert::memcpySyncAntiPhase) << c.what;
      continue;
    }
    const uint64_t wire = c.wireType ? (c.format & ~0xFFFF0000ull) | c.wireType : c.format;
    EXPECT_EQ(static_cast<uint64_t>(host.wireFormat), wire) << c.what;
    EXPECT_EQ(static_cast<uint64_t>(host.hostFormat), c.format) << c.what;
    EXPECT_EQ(host.converter.load(), c.converter) << c.what;
    EXPECT_TRUE(host.checkSinkSupport(host.wireFormat)) << c.what;
  }
}

TEST(SSyncHandshake, ConnectionCallsOutOfTurn) {
  SSync host;
  // Nothing to wait for, nothing to end.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(host.connectWait());
  host.disconnect();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(host.syncState.load(), SSync::Idle);
  // No valid wire format, then no profile: both refused before any thread.
  EXPECT_FALSE(host.connect(-1));
  host.wireFormat = kStereo16At48k;
  EXPECT_FALSE(host.connect(-1));
  EXPECT_FALSE(host.workerThread.joinable());
  EXPECT_EQ(host.syncState.load(), SSync::Idle);
}

// Profile operations keep entry 0 unless a computation succeeds.
TEST(SSyncHandshake, ProfileSelection) {
  SSync host;
  host.wireFormat = kStereo16At48k;
  host.maxPacketSize = 1432;
  host.maxPacketCount = 10;
  ASSERT_TRUE(host.configTransferVar(1000 * kUs, 0));
  EXPECT_EQ(host.profileCount, 1);
  EXPECT_EQ(host.getMode(), VELLORA::TRANSFER_VAR);
  EXPECT_EQ(host.getCycleSize(), int64_t{host.profiles[0].packetsPerCycle} * host.profiles[0].fixedPacketBytes);
  EXPECT_GT(host.getCycleSize(), 0);
  ASSERT_TRUE(host.configTransferFix(1000 * kUs, 0));
  EXPECT_EQ(host.getCycleSize(), 0);
  EXPECT_EQ(host.getCycleTime(), 1000 * kUs);
  const VELLORA::Profile before = host.profiles[0];
  EXPECT_FALSE(host.configTransferRandom(0, 1000 * kUs, 0));
  EXPECT_EQ(host.profiles[0].cycle, before.cycle);
  EXPECT_EQ(host.profiles[0].mode, before.mode);
  EXPECT_EQ(host.profileCount, 1);
  host.configTransferAuto(400 * kUs, 0, 1000 * kUs);
  EXPECT_EQ(host.profileCount, 2);
  EXPECT_EQ(host.getCycleTime(), host.profiles[0].cycle);
}

}  // namespace
