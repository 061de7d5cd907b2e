#include "protocol/convert.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELLORA_CONVERT_X86 1
#endif

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

// What one converter does to each unit: reverse the bytes of each 32-bit
// word, reverse the bits of each byte, complement every bit. Words: only
// whole 32-bit words are written; otherwise every byte is.
struct Op {
  bool reverseBytes;
  bool reverseBits;
  bool complement;
  bool words;
};

constexpr Op kAntiPhase{false, false, true, false};
constexpr Op kByteSwap{true, false, false, true};
constexpr Op kByteSwapAnti{true, false, true, true};
constexpr Op kBitSwap{true, true, false, true};
constexpr Op kBitSwapAnti{true, true, true, true};
constexpr Op kBitByteSwap{false, true, false, true};
constexpr Op kBitByteSwapAnti{false, true, true, true};

// ---- portable kernels: masks and shifts on 64-bit words, which compilers
// turn into vector code on any target. The byte swap works inside each
// 32-bit half of the value, so it reverses the bytes of each word in memory
// whatever the host's byte order.

template <typename T>
constexpr T repeat(std::uint8_t byte) {
  T v = 0;
  for (unsigned i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | byte);
  return v;
}

template <Op O, typename T>
inline T transform(T v) {
  if constexpr (O.reverseBytes) {
    constexpr T m8 = static_cast<T>(0x00FF00FF00FF00FFull);
    constexpr T m16 = static_cast<T>(0x0000FFFF0000FFFFull);
    v = static_cast<T>(((v >> 8) & m8) | ((v & m8) << 8));
    v = static_cast<T>(((v >> 16) & m16) | ((v & m16) << 16));
  }
  if constexpr (O.reverseBits) {
    constexpr T m1 = repeat<T>(0x55), m2 = repeat<T>(0x33), m4 = repeat<T>(0x0F);
    v = static_cast<T>(((v >> 1) & m1) | ((v & m1) << 1));
    v = static_cast<T>(((v >> 2) & m2) | ((v & m2) << 2));
    v = static_cast<T>(((v >> 4) & m4) | ((v & m4) << 4));
  }
  if constexpr (O.complement) v = static_cast<T>(~v);
  return v;
}

template <Op O>
void portable(unsigned char* dst, const unsigned char* src, unsigned long bytes) {
  unsigned long i = 0;
  for (; i + 8 <= bytes; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, src + i, 8);
    v = transform<O>(v);
    std::memcpy(dst + i, &v, 8);
  }
  if (i + 4 <= bytes) {
    std::uint32_t v;
    std::memcpy(&v, src + i, 4);
    v = transform<O>(v);
    std::memcpy(dst + i, &v, 4);
    i += 4;
  }
  if constexpr (!O.words) {
    // Only the plain family has a byte tail, and it never reorders bytes.
    for (; i < bytes; ++i) dst[i] = transform<O>(src[i]);
  }
}

void copyBytes(unsigned char* dst, const unsigned char* src, unsigned long bytes) {
  // memcpy with a null pointer is undefined even for 0 bytes.
  if (bytes != 0) std::memcpy(dst, src, bytes);
}

struct Kernels {
  const char* name;
  SyncConvert::Converter antiPhase, byteSwap32, byteSwap32AntiPhase, bitSwap32,
      bitSwap32AntiPhase, bitByteSwap32, bitByteSwap32AntiPhase;
};

constexpr Kernels kPortable{"portable",          portable<kAntiPhase>,   portable<kByteSwap>,
                            portable<kByteSwapAnti>, portable<kBitSwap>, portable<kBitSwapAnti>,
                            portable<kBitByteSwap>,  portable<kBitByteSwapAnti>};

#ifdef VELLORA_CONVERT_X86

// Above this size the destination is written with streaming stores, as
// memcpy does for large copies: it is far bigger than the caches, so
// reading each line of it in before overwriting it only costs bandwidth.
constexpr unsigned long kStreamingBytes = 8ul << 20;

// ---- AVX2: 32-byte vectors, two per step.

// Nibble tables of the bit reversal: a byte's low nibble lands reversed in
// the high nibble, its high nibble reversed in the low one; a complement is
// folded into both halves, which never share a bit.
struct NibbleTables {
  alignas(32) unsigned char fromLow[32], fromHigh[32];
  constexpr explicit NibbleTables(bool complement) : fromLow{}, fromHigh{} {
    for (unsigned n = 0; n < 16; ++n) {
      const unsigned r = ((n & 1) << 3) | ((n & 2) << 1) | ((n & 4) >> 1) | ((n & 8) >> 3);
      const unsigned l = (complement ? ~(r << 4) : (r << 4)) & 0xF0;
      const unsigned h = (complement ? ~r : r) & 0x0F;
      fromLow[n] = fromLow[n + 16] = static_cast<unsigned char>(l);
      fromHigh[n] = fromHigh[n + 16] = static_cast<unsigned char>(h);
    }
  }
};
constexpr NibbleTables kNibbles{false};
constexpr NibbleTables kNibblesAnti{true};

// Byte k of each word from byte 3 - k (the shuffle works within each
// 128-bit lane).
alignas(32) constexpr unsigned char kWordOrder[32] = {3,  2,  1,  0,  7,  6,  5,  4,  11, 10, 9,
                                                      8,  15, 14, 13, 12, 3,  2,  1,  0,  7,  6,
                                                      5,  4,  11, 10, 9,  8,  15, 14, 13, 12};

__attribute__((target("avx2"), always_inline)) inline __m256i load32(const unsigned char* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// One vector through the op, bits reversed by two nibble look-ups.
template <Op O>
struct Avx2Op {
  static __attribute__((target("avx2"), always_inline)) inline __m256i apply(__m256i v) {
    if constexpr (O.reverseBytes) v = _mm256_shuffle_epi8(v, load32(kWordOrder));
    if constexpr (O.reverseBits) {
      const NibbleTables& t = O.complement ? kNibblesAnti : kNibbles;
      const __m256i low = _mm256_set1_epi8(0x0F);
      const __m256i l = _mm256_and_si256(v, low);
      const __m256i h = _mm256_and_si256(_mm256_srli_epi16(v, 4), low);
      return _mm256_or_si256(_mm256_shuffle_epi8(load32(t.fromLow), l),
                             _mm256_shuffle_epi8(load32(t.fromHigh), h));
    }
    if constexpr (O.complement) v = _mm256_xor_si256(v, _mm256_set1_epi8(-1));
    return v;
  }
};

// The same with the bit reversal (and its complement) as one affine
// transform over GF(2): row j of the matrix picks source bit j for result
// bit 7 - j.
template <Op O>
struct GfniOp {
  static __attribute__((target("avx2,gfni"), always_inline)) inline __m256i apply(__m256i v) {
    if constexpr (O.reverseBits) {
      if constexpr (O.reverseBytes) v = _mm256_shuffle_epi8(v, load32(kWordOrder));
      const __m256i matrix = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
      return _mm256_gf2p8affine_epi64_epi8(v, matrix, O.complement ? 0xFF : 0x00);
    } else {
      return Avx2Op<O>::apply(v);
    }
  }
};

// The loop around one vector op, for each instruction set. Streaming
// stores need an aligned destination, reached in whole words (the word
// converters write nothing else) only from a word boundary. Each vector is
// read before its destination is written, so converting in place stays
// correct on every path.
#define VELLORA_VECTOR_CONVERTER(NAME, TARGET, OPS)                                          \
  template <Op O, bool Streaming>                                                            \
  __attribute__((target(TARGET), always_inline)) inline unsigned long NAME##Loop(            \
      unsigned char* dst, const unsigned char* src, unsigned long i, unsigned long bytes) {  \
    for (; i + 64 <= bytes; i += 64) {                                                       \
      const __m256i a = OPS<O>::apply(load32(src + i));                                      \
      const __m256i b = OPS<O>::apply(load32(src + i + 32));                                 \
      if constexpr (Streaming) {                                                             \
        _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i), a);                         \
        _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i + 32), b);                    \
      } else {                                                                               \
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), a);                         \
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 32), b);                    \
      }                                                                                      \
    }                                                                                        \
    return i;                                                                                \
  }                                                                                          \
  template <Op O>                                                                            \
  __attribute__((target(TARGET))) void NAME(unsigned char* dst, const unsigned char* src,    \
                                            unsigned long bytes) {                           \
    unsigned long i = 0;                                                                     \
    const auto address = reinterpret_cast<std::uintptr_t>(dst);                              \
    if (bytes >= kStreamingBytes && address % 4 == 0) {                                      \
      const unsigned long head = (32 - address % 32) % 32;                                   \
      portable<O>(dst, src, head);                                                           \
      i = NAME##Loop<O, true>(dst, src, head, bytes);                                        \
      _mm_sfence();                                                                          \
    } else {                                                                                 \
      i = NAME##Loop<O, false>(dst, src, 0, bytes);                                          \
    }                                                                                        \
    if (i + 32 <= bytes) {                                                                   \
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), OPS<O>::apply(load32(src + i))); \
      i += 32;                                                                               \
    }                                                                                        \
    portable<O>(dst + i, src + i, bytes - i);                                                \
  }

VELLORA_VECTOR_CONVERTER(avx2, "avx2", Avx2Op)
VELLORA_VECTOR_CONVERTER(gfni, "avx2,gfni", GfniOp)
#undef VELLORA_VECTOR_CONVERTER

constexpr Kernels kAvx2{"avx2",
                        avx2<kAntiPhase>,
                        avx2<kByteSwap>,
                        avx2<kByteSwapAnti>,
                        avx2<kBitSwap>,
                        avx2<kBitSwapAnti>,
                        avx2<kBitByteSwap>,
                        avx2<kBitByteSwapAnti>};

constexpr Kernels kAvx2Gfni{"avx2+gfni",
                            avx2<kAntiPhase>,
                            avx2<kByteSwap>,
                            avx2<kByteSwapAnti>,
                            gfni<kBitSwap>,
                            gfni<kBitSwapAnti>,
                            gfni<kBitByteSwap>,
                            gfni<kBitByteSwapAnti>};

#endif

// Every path this CPU runs, the portable one first, the fastest last.
struct PathList {
  const Kernels* paths[3];
  unsigned count = 0;
  PathList() {
    paths[count++] = &kPortable;
#ifdef VELLORA_CONVERT_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
      paths[count++] = &kAvx2;
      if (__builtin_cpu_supports("gfni")) paths[count++] = &kAvx2Gfni;
    }
#endif
  }
};

const PathList& pathList() {
  static const PathList list;
  return list;
}

const Kernels& best() {
  static const Kernels& k = *pathList().paths[pathList().count - 1];
  return k;
}

}  // namespace

const std::array<unsigned char, 256> SyncConvert::swapBitsTable = makeSwapBits(false);
const std::array<unsigned char, 256> SyncConvert::swapBitsTableAntiPhase = makeSwapBits(true);

void SyncConvert::memcpySyncOrg(unsigned char* dst, const unsigned char* src, unsigned long bytes) {
  copyBytes(dst, src, bytes);
}

void SyncConvert::memcpySyncAntiPhase(unsigned char* dst, const unsigned char* src,
                                      unsigned long bytes) {
  best().antiPhase(dst, src, bytes);
}

void SyncConvert::memcpySyncByteSwap32(unsigned char* dst, const unsigned char* src,
                                       unsigned long bytes) {
  best().byteSwap32(dst, src, bytes);
}

void SyncConvert::memcpySyncByteSwap32AntiPhase(unsigned char* dst, const unsigned char* src,
                                                unsigned long bytes) {
  best().byteSwap32AntiPhase(dst, src, bytes);
}

void SyncConvert::memcpySyncBitSwap32(unsigned char* dst, const unsigned char* src,
                                      unsigned long bytes) {
  best().bitSwap32(dst, src, bytes);
}

void SyncConvert::memcpySyncBitSwap32AntiPhase(unsigned char* dst, const unsigned char* src,
                                               unsigned long bytes) {
  best().bitSwap32AntiPhase(dst, src, bytes);
}

void SyncConvert::memcpySyncBitByteSwap32(unsigned char* dst, const unsigned char* src,
                                          unsigned long bytes) {
  best().bitByteSwap32(dst, src, bytes);
}

void SyncConvert::memcpySyncBitByteSwap32AntiPhase(unsigned char* dst, const unsigned char* src,
                                                   unsigned long bytes) {
  best().bitByteSwap32AntiPhase(dst, src, bytes);
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

std::vector<SyncConvert::Path> SyncConvert::paths() {
  std::vector<Path> out;
  const PathList& list = pathList();
  for (unsigned i = 0; i < list.count; ++i) {
    const Kernels& k = *list.paths[i];
    out.push_back(Path{k.name,
                       {copyBytes, k.antiPhase, k.byteSwap32, k.byteSwap32AntiPhase, k.bitSwap32,
                        k.bitSwap32AntiPhase, k.bitByteSwap32, k.bitByteSwap32AntiPhase}});
  }
  return out;
}

const char* SyncConvert::pathInUse() { return best().name; }

}  // namespace VELLORA
