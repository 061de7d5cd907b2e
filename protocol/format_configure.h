#pragma once
// Audio format words: one unsigned 64-bit value per format.
//
// Layout (a single format has one bit per one-hot group; a capability set
// may have several):
//   bits  0-7   channel code: 0x01 1 ch, 0x02 2, 0x04 4, 0x08 6, 0x10 8, 0x20 16
//   bits  8-15  PCM type: 0x0100 int8, 0x0200 int16, 0x0400 int24, 0x0800 int32,
//               0x1000 int64, 0x2000 float32, 0x4000 float64
//   bits 16-19  DSD kind: 0x10000 DSD1, 0x20000 DSD4
//   bits 20-21  DSD bit order: 0x100000 LSB first, 0x200000 MSB first
//   bits 22-23  DSD word order: 0x400000 little-endian, 0x800000 big-endian
//   bits 24-31  DSD word size code: 2 = 32-bit words, anything else 16-bit
//   bits 32-34  rate family: bit 32 8000 Hz, bit 33 44100 Hz, bit 34 48000 Hz
//   bits 35-47  rate multiplier, one-hot: bit 35 x1 ... bit 47 x4096
//   bits 48-63  carried along, not interpreted
//
// The classes are plain values with no virtual operations; they convert to
// and from the raw word so they travel as 64-bit options unchanged.

#include <cstdint>

namespace VELLORA {

// A format word, or a group of its bits, in the layout above.
using FormatID = uint64_t;

// Pre-type of the connect-prepare word, in place (bits 8-15).
enum FormatPreID : uint64_t {
  PRE_INT = 0x0100,
  PRE_FLOAT = 0x0200,
  PRE_DSD1 = 0x0400,
  PRE_DSD4 = 0x0800,
};

// One format.
class FormatConfigure {
 public:
  constexpr FormatConfigure() = default;
  constexpr FormatConfigure(uint64_t word) : value(word) {}
  constexpr operator uint64_t() const { return value; }

  bool isPCM() const;
  bool isSigned() const;
  bool isFloat() const;
  bool isDSD() const;
  bool isDSD1() const;
  bool isDSD4() const;
  bool isDSDlsb() const;
  bool isDSDmsb() const;
  bool isDSDlittle() const;
  bool isDSDbig() const;
  bool isValid() const;

  // Bytes per sample container.
  unsigned int getWid() const;
  // Bits per sample (DSD1 1, DSD4 4).
  unsigned int getBits() const;
  // Channel count; an unknown code reads as 2.
  unsigned int getChannel() const;
  // 44100, 48000 or 8000 Hz, 0 when the rate field names none of them.
  unsigned long getSpeedBase() const;
  // 1 to 4096, 0 without exactly one multiplier bit.
  unsigned long getSpeedMulti() const;
  // Sample rate in Hz (for DSD the bit rate per channel), 0 when unset.
  unsigned long getSpeed() const;
  // The byte that sounds as silence in this format.
  unsigned char getMuteByte() const;

  // Accepts 8000 Hz and 44100 or 48000 Hz times 2^0 to 2^12; any other rate
  // leaves the word unchanged and gives false.
  bool setSpeed(unsigned long rate);
  // Accepts 1, 2, 4, 6, 8 and 16.
  bool setChannel(unsigned int count);
  // Replaces each of the channel, type (bits 8-31) and rate groups that id
  // sets and keeps the others; false, unchanged, when id sets none of them.
  bool setFormat(FormatID id);

  uint64_t value = 0;
};

// What a sink accepts: the same layout read as a set.
class FormatSupport {
 public:
  constexpr FormatSupport() = default;
  constexpr FormatSupport(uint64_t word) : value(word) {}
  constexpr operator uint64_t() const { return value; }

  // Channel counts of the lowest / highest channel bit, 0 without one.
  unsigned int getChMin() const;
  unsigned int getChMax() const;
  bool havePCM() const;
  bool haveDSD() const;
  // Smallest / largest bits per sample of the set's types, 0 without one.
  unsigned int getBitsMin() const;
  unsigned int getBitsMax() const;
  unsigned long getSpeedBaseMin() const;
  unsigned long getSpeedBaseMax() const;
  // Multiplier of the lowest / highest multiplier bit, 0 without one.
  unsigned long getSpeedMultMin() const;
  unsigned long getSpeedMultMax() const;

  uint64_t value = 0;
};

// The connect-prepare word:
//   bits  0-7   channel code of the format
//   bits  8-15  pre-type: 0x01 integer PCM, 0x02 float PCM, 0x04 DSD1, 0x08 DSD4
//   bits 16-31  latency in units of 100 us
//   bits 32-63  bits 32-63 of the format (rate and the carried bits)
class FormatPreConfigure {
 public:
  constexpr FormatPreConfigure() = default;
  // Explicit so that a format is never taken for a finished word by mistake.
  constexpr explicit FormatPreConfigure(uint64_t word) : value(word) {}
  FormatPreConfigure(FormatConfigure format, unsigned short latency);
  constexpr operator uint64_t() const { return value; }

  // Same channel code, pre-type and rate as format would give (the latency
  // is taken from this word).
  bool operator==(FormatConfigure format) const;

  bool isPCM() const;
  bool isSigned() const;
  bool isFloat() const;
  bool isDSD() const;
  bool isDSD1() const;
  bool isDSD4() const;

  void setLatency(unsigned short latency);
  unsigned short getLatency() const;
  void setPreFormat(FormatPreID id);
  FormatPreID getPreFormat() const;

  uint64_t value = 0;
};

}  // namespace VELLORA
