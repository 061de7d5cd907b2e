#include "host/card_format.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr uint64_t bit(unsigned n) { return uint64_t{1} << n; }
constexpr uint64_t F8000 = bit(32), F44100 = bit(33), F48000 = bit(34);
constexpr uint64_t mult(unsigned j) { return bit(35 + j); }
constexpr uint64_t DSD_LSB_LE = 0x2510000, DSD_MSB_BE = 0x2A10000;

struct OfferCase {
  const char* name;
  uint64_t pcm, lsb, msb;
  uint64_t rateMask, formatMask, channelMask;
};

TEST(CardOffer, MasksFromSupportWords) {
  const OfferCase cases[] = {
      {"two families, x1 x2 x4", F44100 | F48000 | mult(0) | mult(1) | mult(2) | 0x200 | 0x02, 0, 0,
       0x7E, 0x2, 0x2},
      {"8000 joins only with x1", F8000 | F44100 | F48000 | mult(0) | mult(1) | mult(2) | 0x200 | 0x02,
       0, 0, 0x7F, 0x2, 0x2},
      {"8000 without x1", F8000 | mult(1) | 0x200 | 0x02, 0, 0, 0x0, 0x2, 0x2},
      {"44100 up to x4096", F44100 | mult(12) | 0x800 | 0x01, 0, 0, bit(25), 0x80, 0x1},
      {"every PCM type", F48000 | mult(0) | 0x7F00 | 0x02, 0, 0, 0x4, 0x1A8B, 0x2},
      {"every channel code", F48000 | mult(0) | 0x200 | 0x3F, 0, 0, 0x4, 0x2, 0x80AB},
      {"DSD64 only", 0, DSD_LSB_LE | F44100 | mult(6) | 0x02, 0, 0x8, 0x0F000000, 0x2},
      {"DSD in either order sets all four", 0, 0, DSD_MSB_BE | F48000 | mult(12) | 0x02, bit(16),
       0x0F000000, 0x2},
      {"DSD words without 32-bit flag: rates, no formats", 0, 0x0110000 | F44100 | mult(6) | mult(7),
       0, 0x8 | 0x20, 0x0, 0x0},
      {"DSD multipliers below x64 are no DSD rate", 0, DSD_LSB_LE | F44100 | mult(5) | 0x02, 0, 0x0,
       0x0F000000, 0x2},
      {"PCM and DSD channels join", F44100 | mult(0) | 0x400 | 0x02, DSD_LSB_LE | F44100 | mult(6) | 0x20,
       0, 0x2 | 0x8, 0x8 | 0x0F000000, 0x2 | 0x8000},
      {"nothing", 0, 0, 0, 0, 0, 0},
  };
  for (const OfferCase& c : cases) {
    const CardOffer o = cardOffer(c.pcm, c.lsb, c.msb);
    EXPECT_EQ(o.rateMask, c.rateMask) << c.name;
    EXPECT_EQ(o.formatMask, c.formatMask) << c.name;
    EXPECT_EQ(o.channelMask, c.channelMask) << c.name;
  }
}

struct ChoiceCase {
  const char* name;
  uint64_t format, rate, channels;
  bool usable;
  unsigned long speed;  // checked when usable
  unsigned channelCount;
};

TEST(CardChoice, BackToFormatWord) {
  const ChoiceCase cases[] = {
      {"16-bit stereo 48000", 0x2, 0x4, 0x2, true, 48000, 2},
      {"24-bit at 44100", 0x8, 0x2, 0x2, true, 44100, 2},
      {"both family bits: 48000 wins", 0x2, 0x6, 0x2, true, 48000, 2},
      {"bits 0 and 3 give 88200", 0x2, 0x9, 0x2, true, 88200, 2},
      {"8000", 0x2, 0x1, 0x1, true, 8000, 1},
      {"768000 float", 0x800, bit(10), 0x80, true, 768000, 8},
      {"lowest channel bit wins", 0x2, 0x4, 0x8 | 0x80, true, 48000, 4},
      {"sixteen channels", 0x80, 0x4, 0x8000, true, 48000, 16},
      {"two format bits", 0x3, 0x4, 0x2, false, 0, 0},
      {"no format", 0x0, 0x4, 0x2, false, 0, 0},
      {"three channels", 0x2, 0x4, 0x4, false, 0, 0},
      {"no channels", 0x2, 0x4, 0x0, false, 0, 0},
      {"PCM without rate", 0x2, 0x0, 0x2, false, 0, 0},
      {"PCM rate past the table", 0x2, bit(27), 0x2, false, 0, 0},
      {"DSD64 LSB little", 0x01000000, 0x8, 0x2, true, 2822400, 2},
      {"DSD128 MSB big", 0x08000000, 0x20, 0x2, true, 5644800, 2},
      {"DSD 48k family", 0x02000000, 0x10, 0x2, true, 3072000, 2},
      {"DSD top of the offer", 0x04000000, bit(16), 0x2, true, 196608000, 2},
      {"DSD below 64x", 0x01000000, 0x2, 0x2, false, 0, 0},
      {"DSD rate past the table", 0x01000000, bit(17), 0x2, false, 0, 0},
      {"DSD at 8000", 0x01000000, 0x1, 0x2, false, 0, 0},
  };
  for (const ChoiceCase& c : cases) {
    VELLORA::FormatConfigure word;
    EXPECT_EQ(cardFormatWord(c.format, c.rate, c.channels, word), c.usable) << c.name;
    if (!c.usable) continue;
    EXPECT_TRUE(word.isValid()) << c.name;
    EXPECT_EQ(word.getSpeed(), c.speed) << c.name;
    EXPECT_EQ(word.getChannel(), c.channelCount) << c.name;
  }
}

TEST(CardChoice, FormatBitsNameTheirWords) {
  const struct {
    uint64_t card;
    uint64_t typeGroup;  // bits 8-31 of the word
  } cases[] = {
      {0x1, 0x100},         {0x2, 0x200},         {0x8, 0x400},         {0x80, 0x800},
      {0x200, 0x1000},      {0x800, 0x2000},      {0x1000, 0x4000},     {0x01000000, 0x2510000},
      {0x02000000, 0x2910000}, {0x04000000, 0x2610000}, {0x08000000, 0x2A10000},
  };
  for (const auto& c : cases) {
    VELLORA::FormatConfigure word;
    const bool dsd = c.typeGroup > 0xFFFF;
    ASSERT_TRUE(cardFormatWord(c.card, dsd ? 0x8 : 0x4, 0x2, word)) << std::hex << c.card;
    EXPECT_EQ(word.value & 0xFFFFFF00, c.typeGroup) << std::hex << c.card;
  }
}

TEST(CardVolume, BothScales) {
  const struct {
    int16_t target;
    int32_t card;
  } toCard[] = {{0, 10001}, {100, 10001}, {-1, 9999}, {-3000, 5001}, {-5999, 2},
                {-6000, 1},  {-6001, 1},   {-32768, 1}};
  for (const auto& c : toCard) EXPECT_EQ(cardVolumeFromTarget(c.target), c.card) << c.target;

  const struct {
    int32_t card;
    int16_t target;
  } toTarget[] = {{10001, 0}, {10000, 0}, {99999, 0}, {9999, -1},    {5000, -3000},
                  {1, -6000}, {0, -6000}, {-5, -6000}, {INT32_MIN, -6000}, {INT32_MAX, 0}};
  for (const auto& c : toTarget) EXPECT_EQ(targetVolumeFromCard(c.card), c.target) << c.card;

  // A driver value comes back one step off after going to the target and back.
  EXPECT_EQ(cardVolumeFromTarget(targetVolumeFromCard(5000)), 5001);
}

}  // namespace
