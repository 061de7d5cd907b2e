#include "protocol/format_configure.h"

#include <initializer_list>
#include <iterator>

namespace VELLORA {

namespace {

constexpr uint64_t CHANNEL_GROUP = 0xFFull;
constexpr uint64_t PCM_GROUP = 0xFF00ull;
constexpr uint64_t DSD_GROUP = 0xF0000ull;
// PCM type and DSD kind together: the "type" a format has.
constexpr uint64_t TYPE_GROUP = 0xFFF00ull;
constexpr uint64_t DSD_DETAIL = 0xFFF00000ull;  // bits 20-31
constexpr uint64_t SET_TYPE_GROUP = 0xFFFFFF00ull;  // bits 8-31, as setFormat replaces them
constexpr uint64_t RATE_GROUP = 0xFFFF00000000ull;
constexpr uint64_t FAMILY_GROUP = 0x700000000ull;
constexpr uint64_t MULTI_GROUP = 0xFFF800000000ull;

constexpr uint64_t FAMILY_8000 = 1ull << 32;
constexpr uint64_t FAMILY_44100 = 2ull << 32;
constexpr uint64_t FAMILY_48000 = 4ull << 32;
constexpr int MULTI_SHIFT = 35;
constexpr int MULTI_BITS = 13;

constexpr uint64_t DSD1 = 0x10000;
constexpr uint64_t DSD4 = 0x20000;
constexpr uint64_t DSD_LSB = 0x100000;
constexpr uint64_t DSD_MSB = 0x200000;
constexpr uint64_t DSD_LITTLE = 0x400000;
constexpr uint64_t DSD_BIG = 0x800000;

constexpr unsigned long RATE_44100 = 44100;
constexpr unsigned long RATE_48000 = 48000;
constexpr unsigned long RATE_8000 = 8000;
// Lowest DSD rate a format may have: 44100 x 64.
constexpr unsigned long DSD_MIN_RATE = 2822400;

struct TypeInfo {
  uint64_t type;
  unsigned int wid;
  unsigned int bits;
};
constexpr TypeInfo PCM_TYPES[] = {
    {0x0100, 1, 8},  {0x0200, 2, 16}, {0x0400, 3, 24}, {0x0800, 4, 32},
    {0x1000, 8, 64}, {0x2000, 4, 32}, {0x4000, 8, 64},
};

struct ChannelCode {
  uint64_t code;
  unsigned int count;
};
constexpr ChannelCode CHANNELS[] = {
    {0x01, 1}, {0x02, 2}, {0x04, 4}, {0x08, 6}, {0x10, 8}, {0x20, 16},
};

constexpr bool oneBit(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

constexpr int bitIndex(uint64_t oneHot) {
  int b = 0;
  while ((oneHot >> b) != 1) ++b;
  return b;
}

constexpr uint64_t lowestBit(uint64_t v) { return v & (~v + 1); }

constexpr uint64_t highestBit(uint64_t v) {
  uint64_t h = 0;
  while (v != 0) {
    h = v;
    v &= v - 1;
  }
  return h;
}

const TypeInfo* pcmType(uint64_t typeGroup) {
  for (const TypeInfo& t : PCM_TYPES) {
    if (t.type == typeGroup) return &t;
  }
  return nullptr;
}

const ChannelCode* channelCode(uint64_t code) {
  for (const ChannelCode& c : CHANNELS) {
    if (c.code == code) return &c;
  }
  return nullptr;
}

// Multiplier of a one-hot bit of bits 35-47 (already isolated).
constexpr unsigned long multiplierOf(uint64_t bit) {
  return 1ul << (bitIndex(bit) - MULTI_SHIFT);
}

// The 16-bit rate field R for a rate, 0 when the rate cannot be carried.
uint64_t rateField(unsigned long rate) {
  if (rate == RATE_8000) return 0x0001;
  for (int k = 0; k < MULTI_BITS; ++k) {
    if (rate == (RATE_44100 << k)) return 0x0002 | (uint64_t{8} << k);
    if (rate == (RATE_48000 << k)) return 0x0004 | (uint64_t{8} << k);
  }
  return 0;
}

}  // namespace

// ---- FormatConfigure ----

bool FormatConfigure::isPCM() const { return (value & PCM_GROUP) != 0; }

bool FormatConfigure::isSigned() const {
  const uint64_t t = value & TYPE_GROUP;
  return t == 0x0100 || t == 0x0200 || t == 0x0400 || t == 0x0800 || t == 0x1000;
}

bool FormatConfigure::isFloat() const {
  const uint64_t t = value & TYPE_GROUP;
  return t == 0x2000 || t == 0x4000;
}

bool FormatConfigure::isDSD() const { return (value & DSD_GROUP) != 0; }
bool FormatConfigure::isDSD1() const { return (value & TYPE_GROUP) == DSD1; }
bool FormatConfigure::isDSD4() const { return (value & TYPE_GROUP) == DSD4; }
bool FormatConfigure::isDSDlsb() const { return (value & DSD_LSB) != 0; }
bool FormatConfigure::isDSDmsb() const { return (value & DSD_MSB) != 0; }
bool FormatConfigure::isDSDlittle() const { return (value & DSD_LITTLE) != 0; }
bool FormatConfigure::isDSDbig() const { return (value & DSD_BIG) != 0; }

bool FormatConfigure::isValid() const {
  if (channelCode(value & CHANNEL_GROUP) == nullptr) return false;
  const uint64_t t = value & TYPE_GROUP;
  if (pcmType(t) != nullptr) return (value & DSD_DETAIL) == 0;
  if (t != DSD1 && t != DSD4) return false;
  const bool lsb = isDSDlsb();
  const bool little = isDSDlittle();
  return lsb != isDSDmsb() && little != isDSDbig() && ((value >> 24) & 0xFF) == 2 &&
         getSpeed() >= DSD_MIN_RATE;
}

unsigned int FormatConfigure::getWid() const {
  const uint64_t t = value & TYPE_GROUP;
  if (const TypeInfo* p = pcmType(t)) return p->wid;
  if (t == DSD1 || t == DSD4) return ((value >> 24) & 0xFF) == 2 ? 4 : 2;
  return 2;
}

unsigned int FormatConfigure::getBits() const {
  const uint64_t t = value & TYPE_GROUP;
  if (const TypeInfo* p = pcmType(t)) return p->bits;
  if (t == DSD1) return 1;
  if (t == DSD4) return 4;
  return 16;
}

unsigned int FormatConfigure::getChannel() const {
  const ChannelCode* c = channelCode(value & CHANNEL_GROUP);
  return c != nullptr ? c->count : 2;
}

unsigned long FormatConfigure::getSpeedBase() const {
  const uint64_t family = value & FAMILY_GROUP;
  if (family == FAMILY_44100) return RATE_44100;
  if (family == FAMILY_48000) return RATE_48000;
  if ((value & RATE_GROUP) == FAMILY_8000) return RATE_8000;
  return 0;
}

unsigned long FormatConfigure::getSpeedMulti() const {
  const uint64_t m = value & MULTI_GROUP;
  return oneBit(m) ? multiplierOf(m) : 0;
}

unsigned long FormatConfigure::getSpeed() const {
  const uint64_t family = value & FAMILY_GROUP;
  const uint64_t m = value & MULTI_GROUP;
  if (family == FAMILY_44100 || family == FAMILY_48000) {
    if (!oneBit(m)) return 0;
    return (family == FAMILY_44100 ? RATE_44100 : RATE_48000) * multiplierOf(m);
  }
  if (family == FAMILY_8000 && m == 0) return RATE_8000;
  return 0;
}

unsigned char FormatConfigure::getMuteByte() const {
  if (!isDSD()) return 0x00;
  return isDSDlsb() ? 0x69 : 0x96;
}

bool FormatConfigure::setSpeed(unsigned long rate) {
  const uint64_t r = rateField(rate);
  if (r == 0) return false;
  value = (value & ~RATE_GROUP) | (r << 32);
  return true;
}

bool FormatConfigure::setChannel(unsigned int count) {
  for (const ChannelCode& c : CHANNELS) {
    if (c.count == count) {
      value = (value & ~CHANNEL_GROUP) | c.code;
      return true;
    }
  }
  return false;
}

bool FormatConfigure::setFormat(FormatID id) {
  uint64_t clear = 0;
  for (uint64_t group : {CHANNEL_GROUP, SET_TYPE_GROUP, RATE_GROUP}) {
    if ((id & group) != 0) clear |= group;
  }
  if (clear == 0) return false;
  value = (value & ~clear) | id;
  return true;
}

// ---- FormatSupport ----

namespace {

unsigned int channelsOfBit(uint64_t bit) {
  const ChannelCode* c = channelCode(bit);
  return c != nullptr ? c->count : 0;
}

// Bits per sample in the order of a search, first match wins.
struct BitsStep {
  uint64_t types;
  unsigned int bits;
};
constexpr BitsStep BITS_UPWARDS[] = {
    {DSD1, 1}, {DSD4, 4}, {0x0100, 8}, {0x0200, 16}, {0x0400, 24}, {0x0800 | 0x2000, 32},
    {0x1000 | 0x4000, 64},
};

}  // namespace

unsigned int FormatSupport::getChMin() const {
  return channelsOfBit(lowestBit(value & 0x3F));
}

unsigned int FormatSupport::getChMax() const {
  return channelsOfBit(highestBit(value & 0x3F));
}

bool FormatSupport::havePCM() const { return (value & PCM_GROUP) != 0; }
bool FormatSupport::haveDSD() const { return (value & DSD_GROUP) != 0; }

unsigned int FormatSupport::getBitsMin() const {
  for (const BitsStep& s : BITS_UPWARDS) {
    if ((value & s.types) != 0) return s.bits;
  }
  return 0;
}

unsigned int FormatSupport::getBitsMax() const {
  for (auto it = std::rbegin(BITS_UPWARDS); it != std::rend(BITS_UPWARDS); ++it) {
    if ((value & it->types) != 0) return it->bits;
  }
  return 0;
}

unsigned long FormatSupport::getSpeedBaseMin() const {
  if (value & FAMILY_8000) return RATE_8000;
  if (value & FAMILY_44100) return RATE_44100;
  if (value & FAMILY_48000) return RATE_48000;
  return 0;
}

unsigned long FormatSupport::getSpeedBaseMax() const {
  if (value & FAMILY_48000) return RATE_48000;
  if (value & FAMILY_44100) return RATE_44100;
  if (value & FAMILY_8000) return RATE_8000;
  return 0;
}

unsigned long FormatSupport::getSpeedMultMin() const {
  const uint64_t m = value & MULTI_GROUP;
  return m != 0 ? multiplierOf(lowestBit(m)) : 0;
}

unsigned long FormatSupport::getSpeedMultMax() const {
  const uint64_t m = value & MULTI_GROUP;
  return m != 0 ? multiplierOf(highestBit(m)) : 0;
}

// ---- FormatPreConfigure ----

namespace {

constexpr uint64_t PRE_GROUP = 0xFF00ull;
constexpr uint64_t LATENCY_GROUP = 0xFFFF0000ull;

}  // namespace

FormatPreConfigure::FormatPreConfigure(FormatConfigure format, unsigned short latency) {
  uint64_t pre;
  if (format.isPCM()) {
    pre = format.isFloat() ? PRE_FLOAT : PRE_INT;
  } else {
    pre = format.isDSD4() ? PRE_DSD4 : PRE_DSD1;
  }
  value = (format.value & CHANNEL_GROUP) | pre | (uint64_t{latency} << 16) |
          (format.value & 0xFFFFFFFF00000000ull);
}

bool FormatPreConfigure::operator==(FormatConfigure format) const {
  return FormatPreConfigure(format, getLatency()).value == value;
}

bool FormatPreConfigure::isPCM() const { return isSigned() || isFloat(); }
bool FormatPreConfigure::isSigned() const { return (value & PRE_GROUP) == PRE_INT; }
bool FormatPreConfigure::isFloat() const { return (value & PRE_GROUP) == PRE_FLOAT; }
bool FormatPreConfigure::isDSD() const { return isDSD1() || isDSD4(); }
bool FormatPreConfigure::isDSD1() const { return (value & PRE_GROUP) == PRE_DSD1; }
bool FormatPreConfigure::isDSD4() const { return (value & PRE_GROUP) == PRE_DSD4; }

void FormatPreConfigure::setLatency(unsigned short latency) {
  value = (value & ~LATENCY_GROUP) | (uint64_t{latency} << 16);
}

unsigned short FormatPreConfigure::getLatency() const {
  return static_cast<unsigned short>((value & LATENCY_GROUP) >> 16);
}

void FormatPreConfigure::setPreFormat(FormatPreID id) {
  value = (value & ~PRE_GROUP) | static_cast<uint64_t>(id);
}

FormatPreID FormatPreConfigure::getPreFormat() const {
  return static_cast<FormatPreID>(value & PRE_GROUP);
}

}  // namespace VELLORA
