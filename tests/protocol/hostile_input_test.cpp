// Hostile input for what the protocol layer reads from the network: random
// and cut datagrams and every length word through the Receive record,
// random format words and setFormat chains, and random feedback through
// the control law. Fixed seeds, so a failure is repeatable. Received bytes
// are held in storage of exactly their size, so a read past them is an
// AddressSanitizer report.
#include "protocol/feedback.h"
#include "protocol/format_configure.h"
#include "protocol/message.h"
#include "tests/common/seeded_rng.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using VELLORA::FormatConfigure;
using VELLORA::FormatPreConfigure;
using VELLORA::FormatSupport;
using VELLORA::Receive;
using VELLORA::SendBuffer;

using Rng = vtest::SeededRng;

Receive received(const uint8_t* bytes, size_t size) {
  Receive r;
  r.datagram.assign(bytes, bytes + size);
  r.datagram.shrink_to_fit();
  return r;
}

// What must hold for any received bytes: a valid record's payload lies
// within them and every reader agrees on it; an invalid one has none.
void expectSafeReaders(const Receive& r, const std::string& what) {
  const bool valid = static_cast<bool>(r);
  const size_t size = r.datagram.size();
  const uint64_t n = r.size_data();
  const KALMO::BufferCS_const view = r.get_data_CS();
  std::string text;
  r.get_str(text);
  KALMO::IPAddress address{};
  address.interfaceIndex = 5;
  std::string rest;
  r.get_add_str(address, rest);
  EXPECT_EQ(address.interfaceIndex, 5u) << what;
  (void)r.getOption();
  (void)r.getMessage();
  if (!valid) {
    EXPECT_EQ(n, 0u) << what;
    EXPECT_EQ(view.size, 0u) << what;
    EXPECT_TRUE(text.empty()) << what;
    EXPECT_TRUE(rest.empty()) << what;
    return;
  }
  ASSERT_GE(size, 16u) << what;
  const uint16_t length = static_cast<uint16_t>(r.datagram[2] | (r.datagram[3] << 8));
  EXPECT_EQ(r.datagram[0], 100) << what;
  EXPECT_EQ(r.datagram[1], 0) << what;
  EXPECT_LE(static_cast<size_t>(length & ~7u), size) << what;
  ASSERT_LE(16 + n, size) << what;
  EXPECT_EQ(n, static_cast<uint64_t>((length ^ 7) - 23)) << what;
  ASSERT_EQ(view.size, n) << what;
  ASSERT_EQ(text.size(), n) << what;
  if (n != 0) {
    EXPECT_EQ(view.data, r.datagram.data() + 16) << what;
    EXPECT_EQ(std::memcmp(text.data(), r.datagram.data() + 16, n), 0) << what;
  }
  EXPECT_EQ(rest.size(), n > 18 ? n - 18 : 0) << what;
  if (n >= 18) {
    EXPECT_EQ(std::memcmp(address.address, r.datagram.data() + 16, 16), 0) << what;
  }
}

TEST(HostileDatagram, RandomBytesOfEverySize) {
  Rng rng(0xda7a);
  std::vector<uint8_t> bytes;
  for (int round = 0; round < 5000; ++round) {
    const size_t size = rng.chance(90) ? rng.below(200) : rng.below(70000);
    bytes.resize(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng.next());
    // Most with the right magic, so the length word is what decides.
    if (size >= 2 && rng.chance(80)) bytes[0] = 100, bytes[1] = 0;
    if (size >= 4 && rng.chance(50)) {
      const uint16_t length = static_cast<uint16_t>(rng.chance(50) ? (size & ~size_t{7}) | rng.below(8) : rng.next());
      bytes[2] = static_cast<uint8_t>(length);
      bytes[3] = static_cast<uint8_t>(length >> 8);
    }
    expectSafeReaders(received(bytes.data(), bytes.size()), "round " + std::to_string(round));
  }
}

TEST(HostileDatagram, EveryLengthWordAgainstShortAndExactDatagrams) {
  std::vector<uint8_t> bytes(0x10000 + 16, 0xA5);
  bytes[0] = 100;
  bytes[1] = 0;
  for (uint32_t length = 0; length <= 0xFFFF; ++length) {
    bytes[2] = static_cast<uint8_t>(length);
    bytes[3] = static_cast<uint8_t>(length >> 8);
    const size_t padded = length & ~7u;
    std::vector<size_t> sizes = {16, 17, 23, 24, 31, 32, 40};
    // Around the padded size: all of them where that is cheap, a sample above.
    if (padded <= 4096 || length % 61 == 0) {
      if (padded > 0) sizes.push_back(padded - 1);
      sizes.push_back(padded);
      sizes.push_back(padded + 1);
    }
    for (size_t size : sizes) {
      if (size < 16) continue;
      const Receive r = received(bytes.data(), size);
      expectSafeReaders(r, "length word " + std::to_string(length) + " size " + std::to_string(size));
      if (size >= padded && (length ^ 7u) >= 23u) {
        EXPECT_TRUE(static_cast<bool>(r)) << length << " " << size;
      }
      if (size < padded) {
        EXPECT_FALSE(static_cast<bool>(r)) << length << " " << size;
      }
    }
    if (HasFatalFailure()) return;
  }
}

TEST(HostileDatagram, CutDatagramsAreValidOnlyWhenWhole) {
  Rng rng(0xc07);
  for (int round = 0; round < 400; ++round) {
    SendBuffer record;
    const size_t n = rng.chance(80) ? rng.below(64) : rng.below(1500);
    ASSERT_TRUE(record.resize(n));
    for (size_t i = 0; i < n; ++i) record.get_data()[i] = static_cast<uint8_t>(rng.next());
    record.set(static_cast<VELLORA::MessageID>(rng.below(0x50)), static_cast<VELLORA::StatusID>(rng.next()),
               rng.next64());
    record.update();
    const KALMO::BufferCS_const whole = record;
    for (size_t cut = 0; cut <= whole.size; ++cut) {
      const Receive r = received(whole.data, cut);
      const std::string what = "payload " + std::to_string(n) + " cut " + std::to_string(cut);
      expectSafeReaders(r, what);
      ASSERT_EQ(static_cast<bool>(r), cut == whole.size) << what;
    }
    const Receive r = received(whole.data, whole.size);
    std::string text;
    r.get_str(text);
    ASSERT_EQ(text.size(), n);
    EXPECT_EQ(std::memcmp(text.data(), record.get_data(), n), 0);
    EXPECT_EQ(r.getOption(), static_cast<uint64_t>(record.getOption0()) |
                                 (static_cast<uint64_t>(record.getOption1()) << 16) |
                                 (static_cast<uint64_t>(record.getOption2()) << 32) |
                                 (static_cast<uint64_t>(record.getOption3()) << 48));
  }
}

// ------------------------------------------------------------ format words

// Words built from a few bits of each group, so one-hot and clashing
// values both turn up; a fifth are fully random.
uint64_t randomFormatWord(Rng& rng) {
  if (rng.chance(20)) return rng.next64();
  uint64_t v = 0;
  const auto someBits = [&](int from, int count) {
    const int k = static_cast<int>(rng.below(3));
    for (int i = 0; i < k; ++i) v |= uint64_t{1} << (from + static_cast<int>(rng.below(static_cast<uint32_t>(count))));
  };
  someBits(0, 8);
  someBits(8, 8);
  if (rng.chance(30)) someBits(16, 4);
  if (rng.chance(30)) someBits(20, 4);
  if (rng.chance(30)) v |= uint64_t{rng.chance(70) ? 2u : rng.below(256)} << 24;
  someBits(32, 3);
  someBits(35, 13);
  if (rng.chance(10)) someBits(48, 16);
  return v;
}

bool isRate(unsigned long rate) {
  if (rate == 8000) return true;
  for (int k = 0; k <= 12; ++k) {
    if (rate == (44100ul << k) || rate == (48000ul << k)) return true;
  }
  return false;
}

TEST(HostileFormatWord, RandomWordsGiveOnlyMeaningfulAnswers) {
  Rng rng(0xf0a7);
  for (int round = 0; round < 20000; ++round) {
    const uint64_t word = randomFormatWord(rng);
    const FormatConfigure f{word};
    const std::string what = "word " + std::to_string(word);
    const unsigned ch = f.getChannel();
    EXPECT_TRUE(ch == 1 || ch == 2 || ch == 4 || ch == 6 || ch == 8 || ch == 16) << what;
    const unsigned wid = f.getWid();
    EXPECT_TRUE(wid == 1 || wid == 2 || wid == 3 || wid == 4 || wid == 8) << what;
    const unsigned bits = f.getBits();
    EXPECT_TRUE(bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32 || bits == 64) << what;
    const unsigned long speed = f.getSpeed();
    if (speed != 0) {
      EXPECT_TRUE(isRate(speed)) << what;
      FormatConfigure again{0};
      ASSERT_TRUE(again.setSpeed(speed)) << what;
      EXPECT_EQ(again.getSpeed(), speed) << what;
      EXPECT_EQ(again.value >> 32 & 0xFFFF, word >> 32 & 0xFFFF) << what;
    }
    (void)f.getSpeedBase();
    (void)f.getSpeedMulti();
    const unsigned char mute = f.getMuteByte();
    EXPECT_TRUE(mute == 0x00 || mute == 0x69 || mute == 0x96) << what;
    if (f.isValid()) {
      EXPECT_TRUE(f.isSigned() || f.isFloat() || f.isDSD1() || f.isDSD4()) << what;
      if (f.isDSD()) {
        EXPECT_GE(speed, 2822400u) << what;
      }
    }
    EXPECT_FALSE(f.isSigned() && f.isFloat()) << what;
    EXPECT_FALSE(f.isDSD1() && f.isDSD4()) << what;

    const FormatSupport s{word};
    EXPECT_LE(s.getChMin(), s.getChMax()) << what;
    EXPECT_LE(s.getBitsMin(), s.getBitsMax()) << what;
    EXPECT_LE(s.getSpeedBaseMin(), s.getSpeedBaseMax()) << what;
    EXPECT_LE(s.getSpeedMultMin(), s.getSpeedMultMax()) << what;
    EXPECT_EQ(s.getChMin() == 0, (word & 0x3F) == 0) << what;
    EXPECT_EQ(s.getSpeedMultMin() == 0, (word & 0xFFF800000000ull) == 0) << what;

    const auto latency = static_cast<unsigned short>(rng.next());
    FormatPreConfigure pre(f, latency);
    EXPECT_EQ(pre.getLatency(), latency) << what;
    EXPECT_TRUE(pre == f) << what;
    EXPECT_EQ(int{pre.isSigned()} + int{pre.isFloat()} + int{pre.isDSD1()} + int{pre.isDSD4()}, 1) << what;
    const auto other = static_cast<unsigned short>(rng.next());
    pre.setLatency(other);
    EXPECT_EQ(pre.getLatency(), other);
    EXPECT_TRUE(pre == f) << what;
  }
}

TEST(HostileFormatWord, RandomSetterChainsKeepEveryGroupConsistent) {
  Rng rng(0x5e7f);
  constexpr uint64_t groups[] = {0xFFull, 0xFFFFFF00ull, 0xFFFF00000000ull};
  for (int round = 0; round < 3000; ++round) {
    FormatConfigure f{randomFormatWord(rng)};
    const int steps = 1 + static_cast<int>(rng.below(12));
    for (int s = 0; s < steps; ++s) {
      const uint64_t before = f.value;
      switch (rng.below(3)) {
        case 0: {
          const uint64_t id = randomFormatWord(rng);
          const bool ok = f.setFormat(id);
          if ((id & 0xFFFFFFFFFFFFull) == 0) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(f.value, before);
            break;
          }
          EXPECT_TRUE(ok);
          for (uint64_t g : groups) {
            EXPECT_EQ(f.value & g, (id & g) != 0 ? id & g : before & g) << before << " " << id;
          }
          EXPECT_EQ(f.value >> 48, (before | id) >> 48);
          break;
        }
        case 1: {
          const unsigned long rate = rng.chance(50) ? (rng.chance(50) ? 44100ul : 48000ul) << rng.below(14)
                                                    : rng.next();
          const bool ok = f.setSpeed(rate);
          EXPECT_EQ(ok, isRate(rate)) << rate;
          if (ok) {
            EXPECT_EQ(f.getSpeed(), rate);
          } else {
            EXPECT_EQ(f.value, before);
          }
          EXPECT_EQ(f.value & ~0xFFFF00000000ull, before & ~0xFFFF00000000ull);
          break;
        }
        default: {
          const unsigned count = rng.below(20);
          const bool ok = f.setChannel(count);
          if (ok) {
            EXPECT_EQ(f.getChannel(), count);
          } else {
            EXPECT_EQ(f.value, before);
          }
          EXPECT_EQ(f.value & ~0xFFull, before & ~0xFFull);
          break;
        }
      }
    }
  }
}

// ------------------------------------------------------------ feedback

TEST(HostileFeedback, RandomFeedbackKeepsTheCorrectionInItsRange) {
  Rng rng(0xfeed);
  for (int stream = 0; stream < 300; ++stream) {
    VELLORA::FeedbackLaw law;
    // Out-of-range windows are clamped, not used as counts.
    const int window = static_cast<int>(rng.below(24)) - 8;
    // Profile cycles up to the largest a settings file can give (2^31 us).
    const uint64_t cycle = rng.chance(50) ? rng.below(100'000'000) * 1000ull
                                          : (rng.next64() % (uint64_t{1} << 31)) * 1'000'000ull;
    const uint32_t framesQ14 = rng.chance(50) ? rng.below(1 << 24) : rng.next();
    for (int message = 0; message < 40; ++message) {
      const uint16_t o0 = rng.chance(30) ? 0 : static_cast<uint16_t>(rng.next());
      const uint16_t o1 = static_cast<uint16_t>(rng.next());
      const uint16_t o2 = rng.chance(20) ? 0 : static_cast<uint16_t>(rng.next());
      const VELLORA::FeedbackError e = VELLORA::feedbackError(o0, o1, o2);
      EXPECT_GE(e.kind, 0);
      EXPECT_LE(e.kind, 3);
      const int16_t average = law.update(e.error, window);
      EXPECT_GE(law.correction, VELLORA::kCorrectionMin);
      EXPECT_LE(law.correction, VELLORA::kCorrectionMax);
      law.previousAverage = average;

      const uint64_t corrected = VELLORA::correctedCycle(cycle, law.correction);
      EXPECT_GE(corrected, cycle - cycle * 491 / 16384 - 1);
      EXPECT_LE(corrected, cycle + cycle * 1638 / 16384 + 1);
      const uint64_t frames = VELLORA::correctedFrames(framesQ14, law.correction);
      if (uint64_t{framesQ14} * (16384 + 491) / 16384 <= 0xFFFFFFFFu) {
        EXPECT_GE(frames, uint64_t{framesQ14} - uint64_t{framesQ14} * 1638 / 16384 - 1);
        EXPECT_LE(frames, uint64_t{framesQ14} + uint64_t{framesQ14} * 491 / 16384 + 1);
      }
      char text[8];
      VELLORA::formatQ14(rng.chance(10) ? static_cast<int32_t>(rng.next()) : average, text);
      EXPECT_EQ(std::strlen(text), 7u);
      EXPECT_TRUE(text[0] == ' ' || text[0] == '-');
      EXPECT_TRUE(text[1] == '0' || text[1] == '1');
      EXPECT_EQ(text[2], '.');
      for (int i = 3; i < 7; ++i) EXPECT_TRUE(text[i] >= '0' && text[i] <= '9') << text;
    }
  }
  char text[8];
  VELLORA::formatQ14(INT32_MIN, text);
  EXPECT_EQ(std::strlen(text), 7u);
}

TEST(HostileFeedback, RandomResendRequestsStayWithinTheRingAndWhatWasSent) {
  Rng rng(0x7e5e);
  for (int round = 0; round < 20000; ++round) {
    const auto sequence = static_cast<uint16_t>(rng.next());
    const auto first = static_cast<uint16_t>(rng.chance(50) ? sequence - rng.below(300) : rng.next());
    const uint32_t ring = rng.chance(10) ? rng.next() : rng.below(512);
    const uint64_t sent = rng.chance(50) ? rng.below(1000) : rng.next64();
    const int32_t count = VELLORA::resendRequestCount(sequence, first, ring, sent);
    if (count < 0) {
      EXPECT_EQ(count, -1);
      continue;
    }
    EXPECT_LT(static_cast<uint32_t>(count), ring);
    EXPECT_LE(static_cast<uint64_t>(count), sent);
    EXPECT_EQ(static_cast<uint16_t>(first + count), sequence);
  }
}

}  // namespace
