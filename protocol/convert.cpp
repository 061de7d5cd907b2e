#include "protocol/convert.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace VELLORA {

namespace {

constexpr std::array<unsigned char, 256> makeSwapBits(bool complement) {
  std::array<unsigned char, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned r = 0;
    for (unsigned b = 0; b < 8; ++b) {
      if (i & (1u << b)) r |= 0x80u >> b;
    }
    t[i] = static_cast<unsigned char>(complement ? ~r : r);
  }
  return t;
}

// Byte k of each destination word = table[source byte 3 - k].
inline void reverseWords(unsigned char* dst, const unsigned char* src, unsigned long bytes,
                         const std::array<unsigned char, 256>& table) {
  const unsigned long words = bytes / 4;
  for (unsigned long w = 0; w < words; ++w, dst += 4, src += 4) {
    const unsigned char b0 = src[0], b1 = src[1], b2 = src[2], b3 = src[3];
    dst[0] = table[b3];
    dst[1] = table[b2];
    dst[2] = table[b1];
    dst[3] = table[b0];
  }
}

// Byte k of each destination word = table[source byte k].
inline void mapWords(unsigned char* dst, const unsigned char* src, unsigned long bytes,
                     const std::array<unsigned char, 256>& table) {
  const unsigned long n = (bytes / 4) * 4;
  for (unsigned long i = 0; i < n; ++i) dst[i] = table[src[i]];
}

inline void byteSwapWords(unsigned char* dst, const unsigned char* src, unsigned long bytes,
                          std::uint32_t mask) {
  const unsigned long words = bytes / 4;
  for (unsigned long w = 0; w < words; ++w, dst += 4, src += 4) {
    std::uint32_t v;
    std::memcpy(&v, src, 4);
    v = __builtin_bswap32(v) ^ mask;
    std::memcpy(dst, &v, 4);
  }
}

}  // namespace

const std::array<unsigned char, 256> SyncConvert::swapBitsTable = makeSwapBits(false);
const std::array<unsigned char, 256> SyncConvert::swapBitsTableAntiPhase = makeSwapBits(true);

void SyncConvert::memcpySyncOrg(unsigned char* dst, const unsigned char* src, unsigned long bytes) {
  // memcpy with a null pointer is undefined even for 0 bytes.
  if (bytes != 0) std::memcpy(dst, src, bytes);
}

void SyncConvert::memcpySyncAntiPhase(unsigned char* dst, const unsigned char* src,
                                      unsigned long bytes) {
  unsigned long i = 0;
  for (; i + 16 <= bytes; i += 16) {
    std::uint64_t a, b;
    std::memcpy(&a, src + i, 8);
    std::memcpy(&b, src + i + 8, 8);
    a = ~a;
    b = ~b;
    std::memcpy(dst + i, &a, 8);
    std::memcpy(dst + i + 8, &b, 8);
  }
  if (i + 8 <= bytes) {
    std::uint64_t a;
    std::memcpy(&a, src + i, 8);
    a = ~a;
    std::memcpy(dst + i, &a, 8);
    i += 8;
  }
  for (; i < bytes; ++i) dst[i] = static_cast<unsigned char>(~src[i]);
}

void SyncConvert::memcpySyncByteSwap32(unsigned char* dst, const unsigned char* src,
                                       unsigned long bytes) {
  byteSwapWords(dst, src, bytes, 0);
}

void SyncConvert::memcpySyncByteSwap32AntiPhase(unsigned char* dst, const unsigned char* src,
                                                unsigned long bytes) {
  byteSwapWords(dst, src, bytes, 0xFFFFFFFFu);
}

void SyncConvert::memcpySyncBitSwap32(unsigned char* dst, const unsigned char* src,
                                      unsigned long bytes) {
  reverseWords(dst, src, bytes, swapBitsTable);
}

void SyncConvert::memcpySyncBitSwap32AntiPhase(unsigned char* dst, const unsigned char* src,
                                               unsigned long bytes) {
  reverseWords(dst, src, bytes, swapBitsTableAntiPhase);
}

void SyncConvert::memcpySyncBitByteSwap32(unsigned char* dst, const unsigned char* src,
                                          unsigned long bytes) {
  mapWords(dst, src, bytes, swapBitsTable);
}

void SyncConvert::memcpySyncBitByteSwap32AntiPhase(unsigned char* dst, const unsigned char* src,
                                                   unsigned long bytes) {
  mapWords(dst, src, bytes, swapBitsTableAntiPhase);
}

SyncConvert::Converter SyncConvert::phaseConverter(Converter current, bool antiPhase) {
  if (current == memcpySyncByteSwap32 || current == memcpySyncByteSwap32AntiPhase) {
    return antiPhase ? memcpySyncByteSwap32AntiPhase : memcpySyncByteSwap32;
  }
  if (current == memcpySyncBitSwap32 || current == memcpySyncBitSwap32AntiPhase) {
    return antiPhase ? memcpySyncBitSwap32AntiPhase : memcpySyncBitSwap32;
  }
  if (current == memcpySyncBitByteSwap32 || current == memcpySyncBitByteSwap32AntiPhase) {
    return antiPhase ? memcpySyncBitByteSwap32AntiPhase : memcpySyncBitByteSwap32;
  }
  return antiPhase ? memcpySyncAntiPhase : memcpySyncOrg;
}

}  // namespace VELLORA
