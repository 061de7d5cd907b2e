#include <gtest/gtest.h>

#include <cstdint>

#include "protocol/format_configure.h"

using VELLORA::FormatConfigure;
using VELLORA::FormatPreConfigure;
using VELLORA::FormatSupport;

namespace {

constexpr uint64_t STEREO = 0x02;
constexpr uint64_t PCM16 = 0x200;
constexpr uint64_t FLOAT32 = 0x2000;
constexpr uint64_t DSD1_LSB_LE_32 = 0x2510000;  // DSD1, LSB first, little-endian, 32-bit words
constexpr uint64_t DSD1_MSB_BE_32 = 0x2A10000;
constexpr uint64_t F44100 = 1ull << 33;
constexpr uint64_t F48000 = 1ull << 34;
constexpr uint64_t F8000 = 1ull << 32;
constexpr uint64_t mult(int k) { return 1ull << (35 + k); }
constexpr uint64_t RATE_FIELD = 0xFFFF00000000ull;
// Bits no operation interprets; they must survive every setter.
constexpr uint64_t CARRIED = 0xABCD000000000000ull;

TEST(FormatConfigure, SetSpeedCoversEveryFamilyAndMultiplier) {
  for (int k = 0; k <= 12; ++k) {
    for (const auto& [base, family] : {std::pair{44100ul, F44100}, std::pair{48000ul, F48000}}) {
      const unsigned long rate = base << k;
      FormatConfigure f(CARRIED | STEREO | PCM16);
      ASSERT_TRUE(f.setSpeed(rate)) << rate;
      EXPECT_EQ(f.value, CARRIED | STEREO | PCM16 | family | mult(k)) << rate;
      EXPECT_EQ(f.getSpeed(), rate);
      EXPECT_EQ(f.getSpeedBase(), base);
      EXPECT_EQ(f.getSpeedMulti(), 1ul << k);
    }
  }
  FormatConfigure f(CARRIED | mult(3) | F48000);
  ASSERT_TRUE(f.setSpeed(8000));
  EXPECT_EQ(f.value, CARRIED | F8000);
  EXPECT_EQ(f.getSpeed(), 8000ul);
  EXPECT_EQ(f.getSpeedBase(), 8000ul);
  EXPECT_EQ(f.getSpeedMulti(), 0ul);
}

TEST(FormatConfigure, RateFieldsOfKnownRates) {
  const struct {
    unsigned long rate;
    uint64_t field;
  } cases[] = {{44100, 0x000A}, {48000, 0x000C}, {2822400, 0x0202}, {8000, 0x0001},
               {196608000, 0x8004}, {180633600, 0x8002}};
  for (const auto& c : cases) {
    FormatConfigure f;
    ASSERT_TRUE(f.setSpeed(c.rate)) << c.rate;
    EXPECT_EQ(f.value >> 32, c.field) << c.rate;
  }
}

TEST(FormatConfigure, SetSpeedRefusesOtherRatesAndKeepsTheWord) {
  const unsigned long refused[] = {0, 22050, 16000, 32000, 96001, 132300, 44100ul << 13,
                                   48000ul << 13, 11025, 1};
  for (unsigned long rate : refused) {
    FormatConfigure f(CARRIED | STEREO | PCM16 | F44100 | mult(1));
    EXPECT_FALSE(f.setSpeed(rate)) << rate;
    EXPECT_EQ(f.value, CARRIED | STEREO | PCM16 | F44100 | mult(1)) << rate;
  }
}

TEST(FormatConfigure, GetSpeedOfMalformedRateFields) {
  const struct {
    uint64_t word;
    unsigned long speed, base, multi;
  } cases[] = {
      {0, 0, 0, 0},
      {F44100, 0, 44100, 0},                      // family without multiplier
      {F44100 | mult(0) | mult(1), 0, 44100, 0},  // two multipliers
      {F44100 | F48000 | mult(0), 0, 0, 1},       // two families
      {F8000 | mult(0), 0, 0, 1},                 // 8000 takes no multiplier
      {mult(4), 0, 0, 16},                        // multiplier without family
      {F48000 | mult(12), 196608000, 48000, 4096},
      {F8000 | CARRIED, 8000, 8000, 0},           // carried bits do not disturb
  };
  for (const auto& c : cases) {
    const FormatConfigure f(c.word);
    EXPECT_EQ(f.getSpeed(), c.speed) << std::hex << c.word;
    EXPECT_EQ(f.getSpeedBase(), c.base) << std::hex << c.word;
    EXPECT_EQ(f.getSpeedMulti(), c.multi) << std::hex << c.word;
  }
}

TEST(FormatConfigure, Channels) {
  const struct {
    unsigned int count;
    uint64_t code;
  } accepted[] = {{1, 0x01}, {2, 0x02}, {4, 0x04}, {6, 0x08}, {8, 0x10}, {16, 0x20}};
  for (const auto& c : accepted) {
    FormatConfigure f(CARRIED | PCM16 | 0x3F);
    ASSERT_TRUE(f.setChannel(c.count)) << c.count;
    EXPECT_EQ(f.value, CARRIED | PCM16 | c.code);
    EXPECT_EQ(f.getChannel(), c.count);
  }
  for (unsigned int count : {0u, 3u, 5u, 7u, 12u, 32u}) {
    FormatConfigure f(STEREO | PCM16);
    EXPECT_FALSE(f.setChannel(count)) << count;
    EXPECT_EQ(f.value, STEREO | PCM16);
  }
  // Codes that name no single count read as stereo.
  for (uint64_t code : {0x00ull, 0x03ull, 0x40ull, 0x80ull, 0xFFull}) {
    EXPECT_EQ(FormatConfigure(code | PCM16).getChannel(), 2u) << code;
  }
}

TEST(FormatConfigure, WidthsBitsAndTypeTests) {
  const struct {
    uint64_t type;  // bits 8-31
    unsigned int wid, bits;
    bool pcm, isSigned, isFloat, dsd, dsd1, dsd4;
  } cases[] = {
      {0x0100, 1, 8, true, true, false, false, false, false},
      {0x0200, 2, 16, true, true, false, false, false, false},
      {0x0400, 3, 24, true, true, false, false, false, false},
      {0x0800, 4, 32, true, true, false, false, false, false},
      {0x1000, 8, 64, true, true, false, false, false, false},
      {0x2000, 4, 32, true, false, true, false, false, false},
      {0x4000, 8, 64, true, false, true, false, false, false},
      {0x8000, 2, 16, true, false, false, false, false, false},
      {0x0000, 2, 16, false, false, false, false, false, false},
      {0x0300, 2, 16, true, false, false, false, false, false},  // two PCM types
      {0x2510000, 4, 1, false, false, false, true, true, false},
      {0x0010000, 2, 1, false, false, false, true, true, false},  // 16-bit words
      {0x2020000, 4, 4, false, false, false, true, false, true},
      {0x0320000, 2, 4, false, false, false, true, false, true},  // size code 3: 16-bit words
      {0x2030000, 2, 16, false, false, false, true, false, false},  // DSD1 and DSD4
      {0x0010200, 2, 16, true, false, false, true, false, false},   // PCM and DSD
  };
  for (const auto& c : cases) {
    const FormatConfigure f(c.type | STEREO | F48000 | mult(0));
    SCOPED_TRACE(::testing::Message() << std::hex << c.type);
    EXPECT_EQ(f.getWid(), c.wid);
    EXPECT_EQ(f.getBits(), c.bits);
    EXPECT_EQ(f.isPCM(), c.pcm);
    EXPECT_EQ(f.isSigned(), c.isSigned);
    EXPECT_EQ(f.isFloat(), c.isFloat);
    EXPECT_EQ(f.isDSD(), c.dsd);
    EXPECT_EQ(f.isDSD1(), c.dsd1);
    EXPECT_EQ(f.isDSD4(), c.dsd4);
  }
}

TEST(FormatConfigure, DsdOrderBitsAndMuteByte) {
  const struct {
    uint64_t word;
    bool lsb, msb, little, big;
    unsigned char mute;
  } cases[] = {
      {STEREO | PCM16, false, false, false, false, 0x00},
      {STEREO | PCM16 | 0x100000, true, false, false, false, 0x00},  // order bits mean nothing for PCM
      {DSD1_LSB_LE_32, true, false, true, false, 0x69},
      {0x2910000, true, false, false, true, 0x69},
      {0x2610000, false, true, true, false, 0x96},
      {DSD1_MSB_BE_32, false, true, false, true, 0x96},
      {0x2010000, false, false, false, false, 0x96},  // DSD without bit order
      {0x2720000, true, true, true, false, 0x69},
  };
  for (const auto& c : cases) {
    const FormatConfigure f(c.word);
    SCOPED_TRACE(::testing::Message() << std::hex << c.word);
    EXPECT_EQ(f.isDSDlsb(), c.lsb);
    EXPECT_EQ(f.isDSDmsb(), c.msb);
    EXPECT_EQ(f.isDSDlittle(), c.little);
    EXPECT_EQ(f.isDSDbig(), c.big);
    EXPECT_EQ(f.getMuteByte(), c.mute);
  }
}

TEST(FormatConfigure, IsValid) {
  const uint64_t dsd64 = F44100 | mult(6);  // 2,822,400 Hz
  const struct {
    uint64_t word;
    bool valid;
  } cases[] = {
      {STEREO | PCM16, true},  // PCM needs no rate
      {STEREO | PCM16 | F48000 | mult(2), true},
      {0x20 | 0x4000 | F44100 | F48000, true},  // PCM does not look at the rate field
      {STEREO | PCM16 | 0x100000, false},       // DSD order bit on PCM
      {STEREO | PCM16 | 0x2000000, false},      // word size code on PCM
      {0x03 | PCM16, false},                    // channel code of no count
      {PCM16, false},                           // no channels
      {STEREO, false},                          // no type
      {STEREO | 0x0300, false},                 // two PCM types
      {STEREO | 0x8000, false},                 // PCM bit without meaning
      {STEREO | DSD1_LSB_LE_32 | dsd64, true},
      {STEREO | DSD1_MSB_BE_32 | F48000 | mult(12), true},
      {STEREO | 0x2520000 | dsd64, true},                 // DSD4
      {STEREO | DSD1_LSB_LE_32 | F44100 | mult(5), false},  // below 2,822,400 Hz
      {STEREO | DSD1_LSB_LE_32 | F48000 | mult(5), false},  // 1,536,000 Hz
      {STEREO | 0x2710000 | dsd64, false},                // LSB and MSB
      {STEREO | 0x2110000 | dsd64, false},                // no word order
      {STEREO | 0x2D10000 | dsd64, false},                // little and big
      {STEREO | 0x0510000 | dsd64, false},                // 16-bit words
      {STEREO | 0x3510000 | dsd64, false},                // word size code 3
      {STEREO | 0x2530000 | dsd64, false},                // DSD1 and DSD4
      {STEREO | DSD1_LSB_LE_32, false},                   // DSD without rate
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatConfigure(c.word).isValid(), c.valid) << std::hex << c.word;
  }
}

TEST(FormatConfigure, SetFormatReplacesOnlyTheGroupsItNames) {
  const uint64_t start = CARRIED | STEREO | DSD1_LSB_LE_32 | F44100 | mult(6);
  const struct {
    uint64_t id;
    uint64_t result;
  } cases[] = {
      // A PCM type clears the whole type group, DSD order bits included.
      {0x400, CARRIED | STEREO | 0x400 | F44100 | mult(6)},
      {0x10, CARRIED | 0x10 | DSD1_LSB_LE_32 | F44100 | mult(6)},
      {F48000 | mult(1), CARRIED | STEREO | DSD1_LSB_LE_32 | F48000 | mult(1)},
      {DSD1_MSB_BE_32, CARRIED | STEREO | DSD1_MSB_BE_32 | F44100 | mult(6)},
      // Every group at once; bits 48-63 of the argument are ORed in.
      {0x0001000000000000ull | 0x01 | PCM16 | F8000,
       CARRIED | 0x0001000000000000ull | 0x01 | PCM16 | F8000},
  };
  for (const auto& c : cases) {
    FormatConfigure f(start);
    EXPECT_TRUE(f.setFormat(c.id)) << std::hex << c.id;
    EXPECT_EQ(f.value, c.result) << std::hex << c.id;
  }
  // Nothing in any group: refused, even with carried bits.
  for (uint64_t id : {0ull, 0x0001000000000000ull}) {
    FormatConfigure f(start);
    EXPECT_FALSE(f.setFormat(id));
    EXPECT_EQ(f.value, start);
  }
}

TEST(FormatSupport, MinimaAndMaxima) {
  const struct {
    uint64_t word;
    unsigned int chMin, chMax, bitsMin, bitsMax;
    unsigned long baseMin, baseMax, multMin, multMax;
    bool pcm, dsd;
  } cases[] = {
      {0, 0, 0, 0, 0, 0, 0, 0, 0, false, false},
      {0x02 | 0x0600 | F44100 | F48000 | mult(0) | mult(1) | mult(2), 2, 2, 16, 24, 44100, 48000,
       1, 4, true, false},
      {0x3F | 0x7F00 | F8000 | F44100 | F48000 | mult(0) | mult(12), 1, 16, 8, 64, 8000, 48000, 1,
       4096, true, false},
      {0x08 | 0x2000 | F8000, 6, 6, 32, 32, 8000, 8000, 0, 0, true, false},
      {0x10 | 0x4000 | mult(3), 8, 8, 64, 64, 0, 0, 8, 8, true, false},
      {0x06 | 0x2510000 | F44100 | mult(6) | mult(8), 2, 4, 1, 1, 44100, 44100, 64, 256, false,
       true},
      {0x20 | 0x30000 | 0x0100, 16, 16, 1, 8, 0, 0, 0, 0, true, true},
      {0x20000, 0, 0, 4, 4, 0, 0, 0, 0, false, true},
      {0xC0 | 0x8000, 0, 0, 0, 0, 0, 0, 0, 0, true, false},  // bits without a count or size
  };
  for (const auto& c : cases) {
    const FormatSupport s(c.word);
    SCOPED_TRACE(::testing::Message() << std::hex << c.word);
    EXPECT_EQ(s.getChMin(), c.chMin);
    EXPECT_EQ(s.getChMax(), c.chMax);
    EXPECT_EQ(s.getBitsMin(), c.bitsMin);
    EXPECT_EQ(s.getBitsMax(), c.bitsMax);
    EXPECT_EQ(s.getSpeedBaseMin(), c.baseMin);
    EXPECT_EQ(s.getSpeedBaseMax(), c.baseMax);
    EXPECT_EQ(s.getSpeedMultMin(), c.multMin);
    EXPECT_EQ(s.getSpeedMultMax(), c.multMax);
    EXPECT_EQ(s.havePCM(), c.pcm);
    EXPECT_EQ(s.haveDSD(), c.dsd);
  }
}

TEST(FormatPreConfigure, WordOfAFormat) {
  const struct {
    uint64_t format;
    unsigned short latency;
    uint64_t word;
  } cases[] = {
      // Stereo float at 48000 Hz, latency 20: 0x0C in bits 32-63.
      {STEREO | FLOAT32 | F48000 | mult(0), 20, 0x0000000C00140202ull},
      {0x10 | 0x0400 | F44100 | mult(2), 0xFFFF, (F44100 | mult(2)) | 0xFFFF0000 | 0x0100 | 0x10},
      {STEREO | DSD1_LSB_LE_32 | F44100 | mult(6), 7, (F44100 | mult(6)) | (7 << 16) | 0x0400 | 2},
      {STEREO | 0x2520000 | F44100 | mult(6), 0, (F44100 | mult(6)) | 0x0800 | 2},
      // Carried bits 48-63 travel; no type at all counts as DSD1.
      {CARRIED | 0x01, 1, CARRIED | (1 << 16) | 0x0400 | 0x01},
  };
  for (const auto& c : cases) {
    const FormatPreConfigure pre(FormatConfigure(c.format), c.latency);
    EXPECT_EQ(pre.value, c.word) << std::hex << c.format;
    EXPECT_EQ(pre.getLatency(), c.latency);
  }
}

TEST(FormatPreConfigure, PreTypeTests) {
  const struct {
    VELLORA::FormatPreID id;
    bool pcm, isSigned, isFloat, dsd, dsd1, dsd4;
  } cases[] = {
      {VELLORA::PRE_INT, true, true, false, false, false, false},
      {VELLORA::PRE_FLOAT, true, false, true, false, false, false},
      {VELLORA::PRE_DSD1, false, false, false, true, true, false},
      {VELLORA::PRE_DSD4, false, false, false, true, false, true},
      {VELLORA::FormatPreID(0x0300), false, false, false, false, false, false},
  };
  for (const auto& c : cases) {
    FormatPreConfigure pre(0xFFFFFFFFFFFFFFFFull);
    pre.setPreFormat(c.id);
    SCOPED_TRACE(::testing::Message() << std::hex << uint64_t(c.id));
    EXPECT_EQ(pre.value, 0xFFFFFFFFFFFF00FFull | c.id);
    EXPECT_EQ(pre.getPreFormat(), c.id);
    EXPECT_EQ(pre.isPCM(), c.pcm);
    EXPECT_EQ(pre.isSigned(), c.isSigned);
    EXPECT_EQ(pre.isFloat(), c.isFloat);
    EXPECT_EQ(pre.isDSD(), c.dsd);
    EXPECT_EQ(pre.isDSD1(), c.dsd1);
    EXPECT_EQ(pre.isDSD4(), c.dsd4);
  }
}

TEST(FormatPreConfigure, LatencyAndComparisonWithAFormat) {
  const FormatConfigure fmt(STEREO | PCM16 | F44100 | mult(1));
  FormatPreConfigure pre(fmt, 30);
  pre.setLatency(0x1234);
  EXPECT_EQ(pre.getLatency(), 0x1234);
  EXPECT_EQ(pre.value, FormatPreConfigure(fmt, 0x1234).value);
  // The latency does not take part; channels, pre-type and rate do.
  EXPECT_TRUE(pre == fmt);
  EXPECT_TRUE(pre == FormatConfigure(STEREO | 0x0800 | F44100 | mult(1)));  // still integer PCM
  EXPECT_FALSE(pre == FormatConfigure(STEREO | FLOAT32 | F44100 | mult(1)));
  EXPECT_FALSE(pre == FormatConfigure(0x01 | PCM16 | F44100 | mult(1)));
  EXPECT_FALSE(pre == FormatConfigure(STEREO | PCM16 | F48000 | mult(1)));
  EXPECT_FALSE(pre == FormatConfigure(CARRIED | STEREO | PCM16 | F44100 | mult(1)));
}

}  // namespace
