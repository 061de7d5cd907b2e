#include "host/card_format.h"

namespace {

constexpr uint64_t bit(unsigned n) { return uint64_t{1} << n; }

constexpr uint64_t FAMILY_8000 = bit(32);
constexpr uint64_t FAMILY_44100 = bit(33);
constexpr uint64_t FAMILY_48000 = bit(34);
constexpr unsigned MULTIPLIER_BIT = 35;  // bit 35 + j stands for x 2^j
constexpr uint64_t DSD_WORD32 = bit(25);
constexpr uint64_t CARD_DSD_FORMATS = 0x0F000000;

// Card format bit and the protocol format word it stands for.
struct FormatPair {
  uint64_t card;
  uint64_t word;
  bool dsd;
};
constexpr FormatPair FORMATS[] = {
    {0x1, 0x100, false},          {0x2, 0x200, false},         {0x8, 0x400, false},
    {0x80, 0x800, false},         {0x200, 0x1000, false},      {0x800, 0x2000, false},
    {0x1000, 0x4000, false},      {0x01000000, 0x2510000, true}, {0x02000000, 0x2910000, true},
    {0x04000000, 0x2610000, true}, {0x08000000, 0x2A10000, true},
};

// Protocol channel code and the card's channel bit.
struct ChannelPair {
  uint64_t code;
  uint64_t card;
};
constexpr ChannelPair CHANNELS[] = {
    {0x01, 0x1}, {0x02, 0x2}, {0x04, 0x8}, {0x08, 0x20}, {0x10, 0x80}, {0x20, 0x8000},
};

// A DSD stream's rate bit stands for 32-bit words per second.
constexpr unsigned long DSD_WORD_BITS = 32;

}  // namespace

CardOffer cardOffer(uint64_t pcm, uint64_t dsdLsb, uint64_t dsdMsb) {
  const uint64_t dsd = dsdLsb | dsdMsb;
  CardOffer offer;
  if ((pcm & FAMILY_8000) && (pcm & bit(MULTIPLIER_BIT))) offer.rateMask |= bit(0);
  for (unsigned k = 0; k <= 12; ++k) {
    if (!(pcm & bit(MULTIPLIER_BIT + k))) continue;
    if (pcm & FAMILY_44100) offer.rateMask |= bit(2 * k + 1);
    if (pcm & FAMILY_48000) offer.rateMask |= bit(2 * k + 2);
  }
  for (unsigned m = 6; m <= 12; ++m) {
    if (!(dsd & bit(MULTIPLIER_BIT + m))) continue;
    if (dsd & FAMILY_44100) offer.rateMask |= bit(2 * (m - 5) + 1);
    if (dsd & FAMILY_48000) offer.rateMask |= bit(2 * (m - 5) + 2);
  }
  for (const FormatPair& f : FORMATS) {
    if (!f.dsd && (pcm & f.word)) offer.formatMask |= f.card;
  }
  if (dsd & DSD_WORD32) offer.formatMask |= CARD_DSD_FORMATS;
  const uint64_t codes = (pcm | dsd) & 0xFF;
  for (const ChannelPair& c : CHANNELS) {
    if (codes & c.code) offer.channelMask |= c.card;
  }
  return offer;
}

bool cardFormatWord(uint64_t format, uint64_t rate, uint64_t channels,
                    VELLORA::FormatConfigure& word) {
  word = VELLORA::FormatConfigure();
  bool known = false;
  bool dsd = false;
  for (const FormatPair& f : FORMATS) {
    if (format == f.card) {
      word.setFormat(static_cast<VELLORA::FormatID>(f.word));
      known = true;
      dsd = f.dsd;
      break;
    }
  }

  unsigned long speed = 0;
  if (rate == 1) {
    speed = 8000;
  } else {
    const uint64_t pairs = rate >> 1;
    for (unsigned i = 0; i < 30; ++i) {
      const uint64_t pair = (pairs >> (2 * i)) & 3;
      if (pair == 0) continue;
      speed = ((pair & 2) ? 48000ul : 44100ul) << i;
      break;
    }
  }
  // The offer puts DSD on the scale of 32-bit words; the stream needs the
  // DSD bit rate back.
  if (dsd) speed *= DSD_WORD_BITS;
  const bool speedSet = speed != 0 && word.setSpeed(speed);

  bool channelSet = false;
  for (unsigned b = 0; b < 30; ++b) {
    if (channels & bit(b)) {
      channelSet = word.setChannel(b + 1);
      break;
    }
  }
  return known && speedSet && channelSet && word.isValid();
}

int32_t cardVolumeFromTarget(int16_t target) {
  if (target >= 0) return 10001;
  if (target <= -6000) return 1;
  return (int32_t{target} + 6000) * 10000 / 6000 + 1;
}

int16_t targetVolumeFromCard(int32_t card) {
  if (card >= 10000) return 0;
  if (card <= 0) return -6000;
  return static_cast<int16_t>((card - 10001) * 6000 / 10000);
}
