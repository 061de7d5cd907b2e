#pragma once
// Sample converters: copy audio into a packet while adapting it to the
// sink's byte order, bit order and phase.

#include <array>
#include <vector>

namespace VELLORA {

// The converters are static members here so that the streaming connection
// exposes them under its own name (it derives from this class).
class SyncConvert {
 public:
  // (destination, source, bytes); no result.
  using Converter = void (*)(unsigned char*, const unsigned char*, unsigned long);

  // Entry i is i with its eight bits reversed.
  static const std::array<unsigned char, 256> swapBitsTable;
  // Entry i is the complement of swapBitsTable[i].
  static const std::array<unsigned char, 256> swapBitsTableAntiPhase;

  // Plain family: byte copies (the tail after whole words is handled too).
  static void memcpySyncOrg(unsigned char* dst, const unsigned char* src, unsigned long bytes);
  static void memcpySyncAntiPhase(unsigned char* dst, const unsigned char* src, unsigned long bytes);
  // The word families work on bytes / 4 whole 32-bit words; bytes after the
  // last whole word are not written.
  static void memcpySyncByteSwap32(unsigned char* dst, const unsigned char* src, unsigned long bytes);
  static void memcpySyncByteSwap32AntiPhase(unsigned char* dst, const unsigned char* src,
                                            unsigned long bytes);
  static void memcpySyncBitSwap32(unsigned char* dst, const unsigned char* src, unsigned long bytes);
  static void memcpySyncBitSwap32AntiPhase(unsigned char* dst, const unsigned char* src,
                                           unsigned long bytes);
  static void memcpySyncBitByteSwap32(unsigned char* dst, const unsigned char* src,
                                      unsigned long bytes);
  static void memcpySyncBitByteSwap32AntiPhase(unsigned char* dst, const unsigned char* src,
                                               unsigned long bytes);

  // The member of current's family that is anti-phase exactly when
  // antiPhase is set; anything outside the three word families counts as
  // the plain family.
  static Converter phaseConverter(Converter current, bool antiPhase);

  // The converters come in one set per instruction-set path; the static
  // members above run the fastest set this CPU has. Every set gives the
  // same bytes, which the tests and benchmarks check path by path.
  struct Path {
    const char* name;
    // Org, AntiPhase, ByteSwap32, ByteSwap32AntiPhase, BitSwap32,
    // BitSwap32AntiPhase, BitByteSwap32, BitByteSwap32AntiPhase.
    Converter converters[8];
  };
  // The sets this CPU can run, the portable one first, the one in use last.
  static std::vector<Path> paths();
  static const char* pathInUse();
};

}  // namespace VELLORA
