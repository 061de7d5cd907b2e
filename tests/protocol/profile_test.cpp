#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "protocol/profile_maker.h"

using VELLORA::FormatConfigure;
using VELLORA::Profile;
using VELLORA::ProfileMaker;

namespace {

constexpr uint64_t US = 1'000'000;  // picoseconds
constexpr uint64_t MS = 1'000 * US;

constexpr uint64_t F8000 = 1ull << 32;
constexpr uint64_t F44100 = 1ull << 33;
constexpr uint64_t F48000 = 1ull << 34;
constexpr uint64_t X1 = 1ull << 35;
// Stereo 16-bit PCM: 4 bytes per frame.
constexpr FormatConfigure S16_48K(0x02 | 0x200 | F48000 | X1);  // 192,000 bytes/s
constexpr FormatConfigure S16_44K(0x02 | 0x200 | F44100 | X1);  // 176,400 bytes/s
constexpr FormatConfigure S16_8K(0x02 | 0x200 | F8000);         // 32,000 bytes/s
constexpr FormatConfigure S16_NORATE(0x02 | 0x200);
// Stereo DSD1, LSB first, little-endian 32-bit words, at 44100 x 64 Hz:
// 705,600 bytes/s, 8 bytes per frame.
constexpr FormatConfigure DSD64(0x02 | 0x2510000 | F44100 | (1ull << 41));
// 16 channels of 64-bit float at 48000 x 4096 Hz: 25,165,824,000 bytes/s,
// more than 32 bits hold; 128 bytes per frame.
constexpr FormatConfigure F64_HUGE(0x20 | 0x4000 | F48000 | (1ull << 47));

constexpr uint32_t Q(uint32_t frames) { return frames * 16384; }

ProfileMaker maker(FormatConfigure format, unsigned short packetSize, unsigned short packetCount,
                   uint64_t limitCycle = 400 * US) {
  ProfileMaker m;
  m.setConfig(format, limitCycle, packetSize, packetCount);
  return m;
}

struct Expect {
  uint64_t cycle;
  uint32_t fixedPacketBytes;
  uint32_t maxPacketBytes;
  uint32_t framesPerPacketQ14;
  uint16_t packetsPerCycle;
  VELLORA::TransferMode mode;
};

void expectProfile(const ProfileMaker& m, const Expect& e) {
  EXPECT_EQ(uint64_t(m.cycle), e.cycle);
  EXPECT_EQ(m.fixedPacketBytes, e.fixedPacketBytes);
  EXPECT_EQ(m.maxPacketBytes, e.maxPacketBytes);
  EXPECT_EQ(m.framesPerPacketQ14, e.framesPerPacketQ14);
  EXPECT_EQ(m.packetsPerCycle, e.packetsPerCycle);
  EXPECT_EQ(m.mode, e.mode);
}

using Computation = std::function<bool(ProfileMaker&)>;
Computation fix(uint64_t cycle, int n) { return [=](ProfileMaker& m) { return m.configTransferFix(cycle, n); }; }
Computation var(uint64_t cycle, int n) { return [=](ProfileMaker& m) { return m.configTransferVar(cycle, n); }; }
Computation fixAuto(uint64_t cycle) { return [=](ProfileMaker& m) { return m.configTransferFixAuto(cycle); }; }
Computation varAuto(uint64_t cycle) { return [=](ProfileMaker& m) { return m.configTransferVarAuto(cycle); }; }
Computation sizeFix(unsigned long bytes) {
  return [=](ProfileMaker& m) { return m.configTransferSizeFix(bytes); };
}
Computation random(uint64_t shortest, uint64_t cycle) {
  return [=](ProfileMaker& m) { return m.configTransferRandom(shortest, cycle, 0); };
}

TEST(ProfileMaker, Construction) {
  const ProfileMaker m;
  EXPECT_EQ(uint64_t(m.cycle), 1000 * MS);
  EXPECT_EQ(m.packetsPerCycle, 1);
  EXPECT_EQ(m.fixedPacketBytes | m.maxPacketBytes | m.framesPerPacketQ14, 0u);
  EXPECT_EQ(uint64_t(m.minCycle), 0u);
  EXPECT_EQ(m.mode, VELLORA::TRANSFER_VAR);
  EXPECT_EQ(m.min | m.max | m.profileId | m.PackDataSize | m.PackDataCount, 0);
  EXPECT_EQ(m.baseMin | m.frameMax, 0u);
  EXPECT_FALSE(m.autoCount || m.standardCycle);
}

TEST(ProfileMaker, GoldenSingleComputations) {
  const struct {
    const char* name;
    unsigned short size, count;
    Computation run;
    Expect e;
    FormatConfigure format = S16_48K;
  } cases[] = {
      // One cycle's audio plus 3% (197.76 bytes) fits: 200 bytes, 48 frames a
      // packet, the largest packet 50 frames.
      {"fix 1 ms", 1432, 10, fix(1 * MS, 0), {1 * MS, 0, 200, Q(48), 1, VELLORA::TRANSFER_FIX}},
      // (1000 x 1e-6) x 192000 in single precision is just above 192: 49 frames.
      {"var 1 ms", 1432, 10, var(1 * MS, 0), {1 * MS, 196, 196, Q(49), 1, VELLORA::TRANSFER_VAR}},
      {"var 500 us", 1432, 10, var(500 * US, 0),
       {500 * US, 100, 100, Q(25), 1, VELLORA::TRANSFER_VAR}},
      // 100 bytes last 520.83 us: the cycle shrinks to 521 us.
      {"var over the limit", 100, 1, var(1 * MS, 0),
       {521 * US, 100, 100, Q(25), 1, VELLORA::TRANSFER_VAR}},
      // 196 bytes in two packets of whole frames: 2 x 96.
      {"var two packets", 100, 2, var(1 * MS, 0),
       {1 * MS, 96, 96, Q(24), 2, VELLORA::TRANSFER_VAR}},
      // 500 us needs 100 bytes (not below the limit), 450 us 92.
      {"fix shortened", 100, 1, fix(1 * MS, 0),
       {450 * US, 0, 92, 353894, 1, VELLORA::TRANSFER_FIX}},
      // 336 frames a packet: Q x 491 passes 2^31.
      {"fix 336 frames", 1432, 10, fix(7 * MS, 1),
       {7 * MS, 0, 1388, Q(336), 1, VELLORA::TRANSFER_FIX}},
      // An hour shrinks to 72.35 ms without stepping through it.
      {"fix one hour", 1432, 10, fix(3'600'000 * MS, 0),
       {72'350 * US, 0, 1432, 5689835, 10, VELLORA::TRANSFER_FIX}},
      // 4000 bytes last 20,833.3 us; halved twice to fit 1432.
      {"size 4000", 1432, 10, sizeFix(4000),
       {20'834 * US, 1000, 1000, Q(250), 4, VELLORA::TRANSFER_VAR}},
      {"random", 1432, 10, random(500 * US, 1 * MS),
       {1 * MS, 0, 200, Q(48), 1, VELLORA::TRANSFER_RANDOM}},
      // Count search: one packet gives 450 us, two 950 us, three keep 1 ms.
      {"fix count search", 100, 20, fixAuto(1 * MS),
       {1 * MS, 0, 100, Q(24), 2, VELLORA::TRANSFER_FIX}},
      // More packets stop changing the cycle at PackDataCount: the count before.
      {"fix count saturates", 100, 1, fixAuto(1 * MS),
       {450 * US, 0, 92, 353894, 1, VELLORA::TRANSFER_FIX}},
      {"var count search", 100, 20, varAuto(1 * MS),
       {1 * MS, 96, 96, Q(24), 2, VELLORA::TRANSFER_VAR}},
      {"var count saturates", 100, 1, varAuto(1 * MS),
       {521 * US, 100, 100, Q(25), 1, VELLORA::TRANSFER_VAR}},
      // One and two packets both last 1 us (rounded up): the search keeps
      // the single packet.
      {"var count, same cycle", 128, 10, varAuto(1 * MS),
       {1 * US, 128, 128, Q(1), 1, VELLORA::TRANSFER_VAR}, F64_HUGE},
      // 25.9 MB a cycle within 65535 x 65535 bytes; neither the byte rate nor
      // the packet limit fit 32 bits. 396 packets of 2.525 us hold 496.5 frames.
      {"fix at a huge rate", 65535, 65535, fix(1 * MS, 0),
       {1 * MS, 0, 65536, 8134407, 396, VELLORA::TRANSFER_FIX}, F64_HUGE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProfileMaker m = maker(c.format, c.size, c.count);
    ASSERT_TRUE(c.run(m));
    expectProfile(m, c.e);
    // Inputs stay as they were.
    EXPECT_EQ(m.PackDataSize, c.size);
    EXPECT_EQ(m.PackDataCount, c.count);
    EXPECT_EQ(m.format.value, c.format.value);
  }
}

TEST(ProfileMaker, RandomNeedsAMinimumBelowTheCycle) {
  for (uint64_t shortest : {uint64_t{0}, US - 1, 1 * MS, 2 * MS}) {
    ProfileMaker m = maker(S16_48K, 1432, 10);
    EXPECT_FALSE(m.configTransferRandom(shortest, 1 * MS, 0)) << shortest;
    EXPECT_NE(m.mode, VELLORA::TRANSFER_RANDOM);
  }
  ProfileMaker m = maker(S16_48K, 1432, 10);
  ASSERT_TRUE(m.configTransferRandom(US, 1 * MS, 0));
  EXPECT_EQ(uint64_t(m.minCycle), US);
}

TEST(ProfileMaker, FixThatCannotFitFails) {
  // Even 50 us needs 12 bytes.
  ProfileMaker m = maker(S16_48K, 4, 1);
  EXPECT_FALSE(m.configTransferFix(1 * MS, 0));
  EXPECT_FALSE(m.configTransferFix(50 * US, 0));
  EXPECT_FALSE(m.configTransferRandom(100 * US, 1 * MS, 0));
}

// The plain 50 us stepping the fixed profile is defined by, to hold the
// bisection to it over many cycles and limits.
uint64_t steppedFixCycle(uint64_t cycle, uint64_t limit) {
  for (uint64_t c = cycle; c >= US; c -= 50 * US) {
    const float bytes = float(c / US) * 1.03e-6f * float(192000);
    const uint64_t size = (uint64_t(std::ceil(bytes)) + 3) / 4 * 4;
    if (size < limit) return c;
    if (c < 51 * US) break;
  }
  return 0;
}

TEST(ProfileMaker, FixFindsTheCycleThatSteppingFinds) {
  for (unsigned short size : {12, 100, 333, 1432}) {
    for (uint64_t cycle = 1 * US; cycle <= 40 * MS; cycle += 137 * US + 1) {
      ProfileMaker m = maker(S16_48K, size, 1);
      const uint64_t want = steppedFixCycle(cycle, size);
      ASSERT_EQ(m.configTransferFix(cycle, 1), want != 0) << size << " " << cycle;
      if (want != 0) {
        ASSERT_EQ(uint64_t(m.cycle), want) << size << " " << cycle;
      }
    }
  }
}

// 16 channels of 32-bit PCM at 48000 Hz: 64 bytes a frame, 3,072,000 bytes/s.
constexpr FormatConfigure S32x16_48K(0x20 | 0x800 | F48000 | X1);

// Runs `check(format, frame bytes)` over every sample type, channel count and
// rate given, until a check fails fatally.
template <class Check>
void eachFormat(std::initializer_list<uint64_t> types, std::initializer_list<unsigned> channels,
                std::initializer_list<unsigned long> rates, Check check) {
  for (uint64_t type : types) {
    for (unsigned ch : channels) {
      for (unsigned long rate : rates) {
        FormatConfigure f(type);
        ASSERT_TRUE(f.setChannel(ch) && f.setSpeed(rate));
        check(f, f.getWid() * f.getChannel());
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

TEST(ProfileMaker, FixPacketsOfLargeFramesFitThePacketSize) {
  // 2.2 ms with 3% needs 6976 bytes, seven packets of 1000 by size alone;
  // but 15.07 frames a packet makes the accumulator send 16 frames (1024
  // bytes) in some, which the worker would cut. Eight packets hold 13.2.
  ProfileMaker m = maker(S32x16_48K, 1000, 10);
  ASSERT_TRUE(m.configTransferFix(2200 * US, 0));
  expectProfile(m, {2200 * US, 0, 896, 216268, 8, VELLORA::TRANSFER_FIX});
  // Ten packets of 15.12 frames at 3.15 ms, and no more packets allowed:
  // the next shorter cycle, 3.1 ms, has 14.88.
  ASSERT_TRUE(m.configTransferFix(3150 * US, 0));
  expectProfile(m, {3100 * US, 0, 1024, 243793, 10, VELLORA::TRANSFER_FIX});

  // Over formats with large frames and packet sizes below the usual 1432,
  // no packet the frame accumulator makes is larger than the packet size.
  eachFormat({0x400, 0x800, 0x1000, 0x4000}, {6, 8, 16}, {8000, 44100, 48000, 96000, 192000},
             [](const FormatConfigure& f, uint32_t fb) {
               for (unsigned short size : {512, 1000, 1200, 1400, 1464}) {
                 for (uint64_t cycle = 400 * US; cycle <= 20 * MS; cycle += 250 * US) {
                   ProfileMaker p = maker(f, size, 10);
                   if (!p.configTransferFix(cycle, 0)) continue;
                   const uint64_t largest = (p.framesPerPacketQ14 + 16383) / 16384 * fb;
                   ASSERT_LE(largest, size) << f.value << " " << size << " " << cycle;
                   ASSERT_LE(uint64_t(p.cycle), cycle);
                   ASSERT_LE(p.packetsPerCycle, 10);
                 }
               }
             });
}

// Bytes one cycle of the profile sends: equal packets, or what the frame
// accumulator hands out on average.
double bytesPerCycle(const ProfileMaker& m, uint32_t fb) {
  if (m.fixedPacketBytes != 0) return double(m.fixedPacketBytes) * m.packetsPerCycle;
  return double(m.framesPerPacketQ14) / 16384.0 * fb * m.packetsPerCycle;
}

// The audio a cycle lasts, in bytes.
double bytesOfCycle(const ProfileMaker& m, FormatConfigure f) {
  const double bps = double(f.getSpeed()) * f.getBits() * f.getChannel() / 8;
  return bps * double(uint64_t(m.cycle)) / 1e12;
}

TEST(ProfileMaker, EveryCycleCarriesTheAudioItLasts) {
  // 8 channels of 32-bit PCM at 176.4 kHz (32-byte frames) and 16 channels
  // of 32-bit PCM at 768 kHz (64-byte frames).
  const FormatConfigure s32x8(0x10 | 0x800 | F44100 | (1ull << 37));
  const FormatConfigure s32x16(0x20 | 0x800 | F48000 | (1ull << 39));
  const struct {
    const char* name;
    FormatConfigure format;
    unsigned short size, count;
    Computation run;
    Expect e;
  } cases[] = {
      // The 10200-byte limit makes packets of 128, not 136: 9600 bytes last
      // 1700.7 us, not the 1807 us of the limit.
      {"var over a limit of partial frames", s32x8, 136, 75, var(10 * MS, 0),
       {1701 * US, 128, 128, Q(4), 75, VELLORA::TRANSFER_VAR}},
      // 5664 bytes in 42 packets of whole frames are 42 x 128 = 5376 bytes:
      // 952.4 us of audio, so not a 1 ms cycle.
      {"var packets short of the cycle", s32x8, 136, 100, var(1 * MS, 0),
       {953 * US, 128, 128, Q(4), 42, VELLORA::TRANSFER_VAR}},
      // 250 us in 9 packets is 27.8 us a packet, 21.33 frames; counted as
      // 27 us it would be 20.74 frames and 3% of the audio missing.
      {"fix of short packets", s32x16, 1432, 10, fix(1 * MS, 0),
       {250 * US, 0, 1408, 349525, 9, VELLORA::TRANSFER_FIX}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProfileMaker m = maker(c.format, c.size, c.count);
    ASSERT_TRUE(c.run(m));
    expectProfile(m, c.e);
    const uint32_t fb = c.format.getWid() * c.format.getChannel();
    EXPECT_GE(bytesPerCycle(m, fb) + fb, bytesOfCycle(m, c.format));
  }

  // Over formats with large frames beside small packets, every profile
  // sends at least the audio its cycle lasts (less the rounding of the
  // cycle to whole microseconds, and for a variable cycle the up to 2% of
  // rounding it keeps), so the stream never falls behind the sink by more
  // than the feedback's reach.
  eachFormat({0x400, 0x800, 0x4000}, {2, 8, 16}, {44100, 192000, 768000},
             [](const FormatConfigure& f, uint32_t fb) {
               const double bps = double(f.getSpeed()) * f.getBits() * f.getChannel() / 8;
               for (unsigned short size : {136, 200, 520, 1432}) {
                 for (uint64_t cycle = 100 * US; cycle <= 10 * MS; cycle = cycle * 3 / 2) {
                   for (bool variable : {false, true}) {
                     ProfileMaker p = maker(f, size, 40);
                     if (!(variable ? p.configTransferVar(cycle, 0) : p.configTransferFix(cycle, 0))) {
                       continue;
                     }
                     const double missing = bytesOfCycle(p, f) - bytesPerCycle(p, fb);
                     const double kept = variable ? 0.02 * bytesOfCycle(p, f) : 0.0;
                     ASSERT_LE(missing, bps * 1e-6 + fb + kept)
                         << f.value << " " << size << " " << cycle << " " << variable;
                   }
                 }
               }
             });
}

// A sink that takes one cycle only (min = max) with variable cycles: packets
// of whole frames a little short of the cycle keep it, and the feedback
// makes up the rest. Cut to the time the packets last, the cycle would fall
// below the sink's minimum, the choice would fail, and the fallback would
// pick a cycle the sink never offered.
TEST(ProfileMaker, ExactSinkCycleSurvivesASmallRoundingShortfall) {
  const struct {
    const char* name;
    unsigned channels;
    unsigned long rate;
    unsigned short size, count, sinkCycle;  // sinkCycle in 10 us units
    Expect e;
  } cases[] = {
      // 176.4 bytes a cycle, 2 packets of 88: 0.23% short.
      {"mono 44.1 kHz", 1, 44100, 136, 4, 200, {2000 * US, 88, 88, Q(44), 2, VELLORA::TRANSFER_VAR}},
      // 705.6 bytes a cycle, 6 packets of 116: 1.4% short.
      {"mono 176.4 kHz", 1, 176400, 136, 16, 200,
       {2000 * US, 116, 116, Q(58), 6, VELLORA::TRANSFER_VAR}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FormatConfigure f(0x200);
    ASSERT_TRUE(f.setChannel(c.channels) && f.setSpeed(c.rate));
    ProfileMaker m = maker(f, c.size, c.count);
    ASSERT_TRUE(m.setParameter(c.sinkCycle, c.sinkCycle,
                               VELLORA::PROFILE_VAR | VELLORA::PROFILE_AUTOCOUNT, 0, 0));
    ASSERT_TRUE(m.configTransferAuto());
    expectProfile(m, c.e);
    m.configTransferAuto(KALMO::Clock(0));
    expectProfile(m, c.e);
  }
}

TEST(ProfileMaker, ComputationsWithNothingToSendFail) {
  const struct {
    const char* name;
    FormatConfigure format;
    unsigned short size, count;
    Computation run;
  } cases[] = {
      {"fix, packet size 0", S16_48K, 0, 10, fix(1 * MS, 0)},
      {"fix, packet count 0", S16_48K, 1432, 0, fix(1 * MS, 0)},
      {"fix, no rate", S16_NORATE, 1432, 10, fix(1 * MS, 0)},
      {"fix, cycle 0", S16_48K, 1432, 10, fix(0, 0)},
      {"fix, cycle below 1 us", S16_48K, 1432, 10, fix(US - 1, 0)},
      {"fix, negative count", S16_48K, 1432, 10, fix(1 * MS, -1)},
      // 4 one-byte packets in 2 us: no frame left in a packet.
      {"fix, packets without frames", S16_48K, 1, 10, fix(2 * US, 0)},
      {"var, packet size 0", S16_48K, 0, 10, var(1 * MS, 0)},
      {"var, packet count 0", S16_48K, 1432, 0, var(1 * MS, 0)},
      {"var, no rate", S16_NORATE, 1432, 10, var(1 * MS, 0)},
      {"var, cycle 0", S16_48K, 1432, 10, var(0, 0)},
      {"var, negative count", S16_48K, 1432, 10, var(1 * MS, -3)},
      // Packets smaller than a frame: no audio would ever be sent.
      {"var, packets below a frame", S16_48K, 3, 10, var(1 * MS, 0)},
      {"fix search, packet size 0", S16_48K, 0, 10, fixAuto(1 * MS)},
      {"fix search, no rate", S16_NORATE, 1432, 10, fixAuto(1 * MS)},
      {"fix search, never fits", S16_48K, 4, 1, fixAuto(1 * MS)},
      {"var search, packet count 0", S16_48K, 1432, 0, varAuto(1 * MS)},
      {"var search, cycle 0", S16_48K, 1432, 10, varAuto(0)},
      {"size, packet size 0", S16_48K, 0, 10, sizeFix(4000)},
      {"size, no rate", S16_NORATE, 1432, 10, sizeFix(4000)},
      {"size, 0 bytes", S16_48K, 1432, 10, sizeFix(0)},
      // 2^40 bytes in one-byte packets: more packets than 16 bits count.
      {"size, too many packets", S16_48K, 1, 10, sizeFix(1ul << 40)},
      {"random, packet size 0", S16_48K, 0, 10, random(100 * US, 1 * MS)},
  };
  for (const auto& c : cases) {
    ProfileMaker m = maker(c.format, c.size, c.count);
    EXPECT_FALSE(c.run(m)) << c.name;
  }
}

struct Sink {
  unsigned short min, max;
  VELLORA::ProfileID flags;
  unsigned int baseMin = 4, frameMax = 4;
};

// A maker set up with the host's limits and a sink's parameters.
struct AutoSetup {
  const char* name;
  FormatConfigure format;
  unsigned short size, count;
  Sink sink;
};

ProfileMaker configured(const AutoSetup& a) {
  ProfileMaker m = maker(a.format, a.size, a.count);
  m.setParameter(a.sink.min, a.sink.max, a.sink.flags, a.sink.baseMin, a.sink.frameMax);
  return m;
}

TEST(ProfileMaker, GoldenAutomaticChoices) {
  using namespace VELLORA;
  const struct {
    AutoSetup setup;
    Expect e;
  } cases[] = {
      // One trial at the sink's maximum of 5 ms.
      {{"fix at the maximum", S16_48K, 1432, 10, {100, 500, 0}},
       {5 * MS, 0, 992, Q(240), 1, TRANSFER_FIX}},
      {{"var with limit", S16_48K, 1432, 10, {0, 50, PROFILE_VAR | PROFILE_LIMIT}},
       {500 * US, 100, 100, Q(25), 1, TRANSFER_VAR}},
      // The search starts at the sink's minimum of 1 ms, which fits.
      {{"fix search", S16_48K, 1432, 10, {100, 200, PROFILE_SEARCH}},
       {1 * MS, 0, 200, Q(48), 1, TRANSFER_FIX}},
      {{"fix search, packet count", S16_48K, 100, 20, {100, 200, PROFILE_SEARCH | PROFILE_AUTOCOUNT}},
       {1 * MS, 0, 100, Q(24), 2, TRANSFER_FIX}},
      // The sink's 1 ms minimum as 192 bytes, one packet.
      {{"sink cycle", S16_48K, 1432, 10, {100, 0, PROFILE_SINKCYCLE}},
       {1 * MS, 192, 192, Q(48), 1, TRANSFER_SINKCYCLE}},
      // Two packets of 93 bytes (23 frames) fall short of 1 ms; three do not.
      {{"sink cycle, split", S16_48K, 100, 10, {100, 0, PROFILE_SINKCYCLE}},
       {1'437'500'000, 92, 92, Q(23), 3, TRANSFER_SINKCYCLE}},
      // 60 bytes last 312.5 us, above the sink's 300 us but below the host's
      // 400 us limit: two packets a cycle.
      {{"sink cycle below the limit", S16_48K, 1432, 10, {30, 0, PROFILE_SINKCYCLE}},
       {625 * US, 60, 60, Q(15), 2, TRANSFER_SINKCYCLE}},
      // 1/300 s on the standard grid: 640 bytes.
      {{"grid", S16_48K, 1432, 10, {104, 0, PROFILE_SINKCYCLE}},
       {3'333'333'333, 640, 640, Q(160), 1, TRANSFER_SINKCYCLE}},
      {{"grid, four packets", S16_48K, 300, 10, {104, 0, PROFILE_SINKCYCLE}},
       {3'333'333'333, 160, 160, Q(40), 4, TRANSFER_SINKCYCLE}},
      // 44100 / 300 halved is 294 bytes, not whole frames: the sink-cycle split.
      {{"grid fragment", S16_44K, 300, 10, {104, 0, PROFILE_SINKCYCLE}},
       {1'043'083'900, 184, 184, Q(46), 1, TRANSFER_SINKCYCLE}},
      {{"grid at 8000 Hz", S16_8K, 1432, 10, {104, 0, PROFILE_SINKCYCLE}},
       {1'125'000'000, 36, 36, Q(9), 1, TRANSFER_SINKCYCLE}},
      // The sink's 5 ms in its 6-byte frames is 1326 bytes, 221 frames; the
      // wire's DSD frames are 8 bytes, so 221 of them would pass the packet
      // size. 179 fit, three packets reach 5 ms.
      {{"sink cycle, wire frames larger", DSD64, 1432, 10, {500, 0, PROFILE_SINKCYCLE, 6, 6}},
       {6'088'435'374, 1432, 1432, Q(179), 3, TRANSFER_SINKCYCLE}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setup.name);
    ProfileMaker m = configured(c.setup);
    ASSERT_TRUE(m.configTransferAuto());
    expectProfile(m, c.e);
  }
}

TEST(ProfileMaker, AutomaticChoicesThatFail) {
  using namespace VELLORA;
  const AutoSetup cases[] = {
      {"no sink parameters", S16_48K, 1432, 10, {0, 0, 0}},
      // 400 us at the sink's maximum is below 1.03 x 400 us.
      {"var below 1.03 x limit", S16_48K, 1432, 10, {0, 40, PROFILE_VAR | PROFILE_LIMIT}},
      {"fix above the maximum", S16_48K, 1432, 10, {100, 50, 0}},
      // Every start shrinks to 450 us, below the sink's 1 ms minimum.
      {"fix search rejected", S16_48K, 100, 1, {100, 200, PROFILE_SEARCH}},
      {"var search rejected", S16_48K, 100, 1, {100, 300, PROFILE_VAR | PROFILE_SEARCH}},
      {"sink cycle without rate", S16_NORATE, 1432, 10, {100, 0, PROFILE_SINKCYCLE}},
      {"sink cycle, frameMax 0", S16_48K, 1432, 10, {100, 0, PROFILE_SINKCYCLE, 4, 0}},
      {"sink cycle, baseMin 0", S16_48K, 1432, 10, {100, 0, PROFILE_SINKCYCLE, 0, 4}},
      {"sink cycle, packet size 0", S16_48K, 0, 10, {100, 0, PROFILE_SINKCYCLE}},
      // No sink formats (the 0xFFFFFFFF of an empty walk) in one-byte packets.
      {"sink cycle, hostile baseMin", S16_48K, 1, 10, {65535, 0, PROFILE_SINKCYCLE, 0xFFFFFFFF, 4}},
      {"search, packet size 0", S16_48K, 0, 10, {100, 200, PROFILE_SEARCH}},
      {"search, no rate", S16_NORATE, 1432, 10, {100, 200, PROFILE_SEARCH | PROFILE_VAR}},
  };
  for (const auto& c : cases) {
    ProfileMaker m = configured(c);
    EXPECT_FALSE(m.configTransferAuto()) << c.name;
    EXPECT_EQ(m.PackDataCount, c.count) << c.name;
  }
}

TEST(ProfileMaker, SearchesThatFindNothingEnd) {
  using namespace VELLORA;
  // One-byte packets, one a cycle: nothing fits even 50 us, so every fixed
  // trial fails and the search would step upwards for ever.
  ProfileMaker m = maker(S16_48K, 1, 1);
  m.setParameter(100, 200, PROFILE_SEARCH | PROFILE_AUTOCOUNT, 4, 4);
  EXPECT_FALSE(m.configTransferAuto());
  // The fallback then finds cycles of only 50 us and never reaches 1.03 x
  // the limit; it gives up and restores its inputs.
  EXPECT_FALSE(m.configTransferAuto(0));
  EXPECT_EQ(m.PackDataCount, 1);
  EXPECT_FALSE(m.autoCount);
}

TEST(ProfileMaker, AutomaticChoiceFallsBackToTheLimitCycle) {
  using namespace VELLORA;
  // Both automatic searches are rejected (every cycle is 521 us, below the
  // sink's 1 ms); the fallback lifts the packet count and steps up from the
  // limit cycle: 400 us is below 1.03 x 400 us, 450 us is not.
  ProfileMaker m = maker(S16_48K, 100, 1);
  m.setParameter(100, 300, PROFILE_VAR | PROFILE_SEARCH, 4, 4);
  EXPECT_TRUE(m.configTransferAuto(0));
  expectProfile(m, {450 * US, 88, 88, Q(22), 1, TRANSFER_VAR});
  EXPECT_EQ(m.PackDataCount, 1);
  EXPECT_FALSE(m.autoCount);

  // A start above the limit is where the fallback begins.
  EXPECT_TRUE(m.configTransferAuto(2 * MS));
  expectProfile(m, {2 * MS, 96, 96, Q(24), 4, TRANSFER_VAR});

  // When the first choice succeeds, nothing else runs.
  ProfileMaker ok = maker(S16_48K, 1432, 10);
  ok.setParameter(100, 500, 0, 4, 4);
  EXPECT_TRUE(ok.configTransferAuto(0));
  expectProfile(ok, {5 * MS, 0, 992, Q(240), 1, TRANSFER_FIX});
}

// The packet limits a sink's DATASIZE answer (mtu, max) gives the host.
uint16_t packetSizeOf(uint16_t mtu) { return uint16_t((mtu - 64) & ~7u); }
uint16_t packetCountOf(uint16_t mtu, uint16_t max) { return max == 0xFFFF ? 0xFFFF : max / mtu; }

// What the host keeps of one automatic choice: the entry is the maker's
// profile, whatever the choice reported.
struct Stored {
  bool found;
  Profile profile;
};
Stored storedChoice(FormatConfigure format, uint16_t size, uint16_t count, const Sink& sink, uint64_t limit,
                    bool autoCount) {
  ProfileMaker m = maker(format, size, count, limit);
  m.setParameter(sink.min, sink.max, sink.flags, sink.baseMin, sink.frameMax);
  m.autoCount = autoCount;
  const bool found = m.configTransferAuto(KALMO::Clock(0));
  return {found, Profile(m)};
}

// An entry a stream could start from: a cycle and packets to cut it into.
bool streamable(const Profile& p) { return uint64_t(p.cycle) != 0 && p.packetsPerCycle != 0; }

constexpr FormatConfigure S32x8_192K(0x10 | 0x800 | F48000 | (1ull << 37));  // 6,144,000 bytes/s

// Tiny packets at a high rate: neither the sink's one cycle (10 us) nor the
// fallback reaches 1.03 x the limit, as the packet-count search stalls on a
// cycle of 50 or 100 us. The last profile tried must not be left behind for
// a stream to run at 20,000 cycles a second.
TEST(ProfileMaker, AutomaticChoiceThatGivesUpLeavesNothingToStream) {
  const struct {
    const char* name;
    FormatConfigure format;
    uint16_t mtu, max;
  } cases[] = {
      {"stereo 16-bit 48 kHz, mtu 72", S16_48K, 72, 100},
      {"8 channels 32-bit 192 kHz, mtu 296", S32x8_192K, 296, 100},
      {"8 channels 32-bit 192 kHz, mtu 296, no count limit", S32x8_192K, 296, 0xFFFF},
  };
  // The two entries of the host's choice: TargetProfileLimitTime 400 us,
  // then CycleTime 1 ms with the packet count searched.
  const struct {
    uint64_t limit;
    bool autoCount;
  } entries[] = {{400 * US, false}, {1 * MS, true}};
  for (const auto& c : cases) {
    for (const auto& e : entries) {
      SCOPED_TRACE(std::string(c.name) + ", limit " + std::to_string(e.limit / US) + " us");
      const Stored s = storedChoice(c.format, packetSizeOf(c.mtu), packetCountOf(c.mtu, c.max), {1, 1, 0},
                                    e.limit, e.autoCount);
      EXPECT_FALSE(s.found);
      EXPECT_FALSE(streamable(s.profile)) << uint64_t(s.profile.cycle) / US << " us x "
                                          << s.profile.packetsPerCycle;
    }
  }
}

// Whatever the sink and the packet limits, an automatic choice either finds
// a cycle no shorter than the host's limit (no shorter than 1.03 x the limit
// when only the fallback found it) or leaves an entry that cannot be
// streamed.
TEST(ProfileMaker, StoredAutomaticProfileNeverRunsBelowTheLimit) {
  using namespace VELLORA;
  const FormatConfigure formats[] = {S16_48K, S16_8K, S32x8_192K, DSD64};
  const uint16_t mtus[] = {72, 120, 296, 1500};
  const uint16_t maxes[] = {100, 1500, 15000, 0xFFFF};
  const Sink sinks[] = {
      {1, 1, 0},
      {100, 500, 0},
      {0, 50, PROFILE_VAR | PROFILE_LIMIT},
      {100, 300, PROFILE_VAR | PROFILE_SEARCH},
      {100, 200, PROFILE_SEARCH | PROFILE_AUTOCOUNT},
      {1, 1, PROFILE_VAR},
      {30, 0, PROFILE_SINKCYCLE},
  };
  const uint64_t limits[] = {400 * US, 1 * MS};
  int given = 0;
  int found = 0;
  for (const FormatConfigure& f : formats) {
    for (uint16_t mtu : mtus) {
      for (uint16_t max : maxes) {
        for (const Sink& sink : sinks) {
          for (uint64_t limit : limits) {
            for (bool autoCount : {false, true}) {
              const uint16_t size = packetSizeOf(mtu);
              const uint16_t count = packetCountOf(mtu, max);
              const Stored s = storedChoice(f, size, count, sink, limit, autoCount);
              // Which search found it: the first choices, or the fallback.
              ProfileMaker first = maker(f, size, count, limit);
              first.setParameter(sink.min, sink.max, sink.flags, sink.baseMin, sink.frameMax);
              first.autoCount = autoCount;
              bool direct = first.configTransferAuto();
              first.autoCount = true;
              direct = direct || first.configTransferAuto();
              const uint64_t floor = direct ? limit : uint64_t(double(float(limit / US)) * 1.03) * US;
              const std::string where = std::to_string(f.value) + " mtu " + std::to_string(mtu) + " max " +
                                        std::to_string(max) + " sink " + std::to_string(sink.min) + "/" +
                                        std::to_string(sink.max) + "/" + std::to_string(sink.flags) +
                                        " limit " + std::to_string(limit / US) + (autoCount ? " count" : "");
              if (s.found) {
                ++found;
                ASSERT_TRUE(streamable(s.profile)) << where;
                ASSERT_GE(uint64_t(s.profile.cycle), floor) << where;
              } else {
                ++given;
                ASSERT_FALSE(streamable(s.profile)) << where << ": " << uint64_t(s.profile.cycle) / US << " us x "
                                                    << s.profile.packetsPerCycle;
              }
            }
          }
        }
      }
    }
  }
  // Both outcomes occur in the table.
  EXPECT_GT(found, 0);
  EXPECT_GT(given, 0);
}

TEST(ProfileMaker, SetParameter) {
  using namespace VELLORA;
  const struct {
    unsigned short min, max;
    ProfileID flags;
    bool result, standard;
  } cases[] = {
      {3, 0, PROFILE_SINKCYCLE, true, true},
      {3, 0, 0, true, false},
      {5, 0, 0, true, true},
      {104, 300, PROFILE_VAR, true, true},
      {105, 300, PROFILE_VAR, true, false},
      {33333, 0, 0, true, true},
      {0, 0, PROFILE_VAR, true, false},
  };
  for (const auto& c : cases) {
    ProfileMaker m;
    m.cycle = 5 * MS;
    EXPECT_EQ(m.setParameter(c.min, c.max, c.flags, 8, 16), c.result) << c.min;
    EXPECT_EQ(m.standardCycle, c.standard) << c.min;
    EXPECT_EQ(uint64_t(m.cycle), 0u);
    EXPECT_EQ(m.baseMin, 8u);
    EXPECT_EQ(m.frameMax, 16u);
  }
  // All zero: refused, and the grid flag is left as it was.
  ProfileMaker m;
  m.standardCycle = true;
  EXPECT_FALSE(m.setParameter(0, 0, 0, 8, 16));
  EXPECT_TRUE(m.standardCycle);
}

TEST(ProfileMaker, ConvertsToItsProfile) {
  ProfileMaker m = maker(S16_48K, 1432, 10);
  ASSERT_TRUE(m.configTransferRandom(300 * US, 1 * MS, 0));
  const Profile p = m;
  EXPECT_EQ(uint64_t(p.cycle), 1 * MS);
  EXPECT_EQ(p.fixedPacketBytes, 0u);
  EXPECT_EQ(p.maxPacketBytes, 200u);
  EXPECT_EQ(p.framesPerPacketQ14, Q(48));
  EXPECT_EQ(p.packetsPerCycle, 1);
  EXPECT_EQ(uint64_t(p.minCycle), 300 * US);
  EXPECT_EQ(p.mode, VELLORA::TRANSFER_RANDOM);
}

}  // namespace
