#pragma once
// What a card offers the application, built from the sink's support words,
// the way back from the application's choice to a protocol format word, and
// the two volume scales.

#include <cstdint>

#include "protocol/format_configure.h"

struct CardOffer {
  uint64_t rateMask = 0;
  uint64_t formatMask = 0;
  uint64_t channelMask = 0;
};

// pcm, dsdLsb and dsdMsb are the sink's answers to the format inquiry.
CardOffer cardOffer(uint64_t pcm, uint64_t dsdLsb, uint64_t dsdMsb);

// Turns the card's format, rate and channels words into a format word.
// True when the word is usable for a stream: a known sample format, a rate
// the format word can carry (for DSD the offered word rate times 32) and a
// channel count it can carry. The word is filled as far as it goes either way.
bool cardFormatWord(uint64_t format, uint64_t rate, uint64_t channels,
                    VELLORA::FormatConfigure& word);

// Card volume (1..10001) from the target's volume value (0 full, -6000 floor).
int32_t cardVolumeFromTarget(int16_t target);

// Target volume value from the card's volume.
int16_t targetVolumeFromCard(int32_t card);
